#include "datatypes/tag.hpp"

#include "datatypes/string.hpp"
#include "runtime/api.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/stack.hpp"

namespace qel::tag {

namespace {

i32 h_form(Cell* tag, Cell* buffer, Cell* part, i32 budget) {
  budget = string::write_ascii(buffer, "<", budget);
  budget = string::form(tag, buffer, part, budget);
  return string::write_ascii(buffer, ">", budget);
}

// A tag has no escapes: a text holding ">" outside quotes, a quote that is
// not closed, a line break or nothing at all would be written as text that
// loads back as something else. Such a tag is checked by loading its text
// back; when that does not give the same tag, mold raises invalid-chars
// rather than write it.
bool loads_back(const Cell* tag) {
  u32 start = u32(series_index(tag));
  u32 n = string::length_from_index(tag);
  bool plain = n > 0;
  for (u32 i = 0; i < n && plain; ++i) {
    u32 c = string::char_at(tag, start + i);
    plain = c != '>' && c != '<' && c != '"' && c != '\'' && c != '\n' && c != '\r';
  }
  if (plain) return true;
  stack::Mark mark;
  Cell* value = stack::push_cell(tag);
  Cell* text = make_none(stack::push());
  string::make_at(text, n + 2, 1);
  h_form(value, text, nullptr, 0x7FFFFFFF);
  Cell* loaded = make_none(stack::push());
  bool same = api::services.load_first(text, loaded) && type_of(loaded) == TYPE_TAG &&
              string::length_from_index(loaded) == n;
  start = u32(series_index(value));
  for (u32 i = 0; i < n && same; ++i) {
    same = string::char_at(loaded, u32(series_index(loaded)) + i) == string::char_at(value, start + i);
  }
  return same;
}

i32 h_mold(Cell* tag, Cell* buffer, bool, bool, bool, Cell* part, i32 budget, i32) {
  if (!part && !loads_back(tag)) fire(Err::script_invalid_chars);
  return h_form(tag, buffer, part, budget);
}

}  // namespace

void init() {
  ActionTable t;  // the string's, but for the text and random
  t.form = h_form;
  t.mold = h_mold;
  t.random = nullptr;
  types::register_datatype({TYPE_TAG, TYPE_STRING, "tag!", t});
}

}  // namespace qel::tag
