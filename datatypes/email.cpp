#include "datatypes/email.hpp"
#include "datatypes/word.hpp"

#include <string>

#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/stack.hpp"
#include "runtime/words.hpp"

namespace qel::email {

namespace {

i32 h_mold(Cell* email, Cell* buffer, bool, bool, bool, Cell* part, i32 budget, i32) {
  return string::form(email, buffer, part, budget);
}

bool is_word(const Cell* element, words::Id id) {
  return type_of(element) == TYPE_WORD &&
         symbol::resolve(word::symbol_of(element)) == symbol::resolve(words::symbol(id));
}

// The code points from the index, the user part before the first @.
std::u32string text_of(const Cell* email) {
  std::u32string text;
  u32 total = string::length_from_head(email);
  u32 from = u32(series_index(email) < 0 ? 0 : series_index(email));
  for (u32 i = from; i < total; ++i) text.push_back(char32_t(string::char_at(email, i)));
  return text;
}

Cell* push_text(const std::u32string& text) {
  Cell* out = string::make_at(stack::push(), u32(text.size()) + 1);
  for (char32_t c : text) string::append_char(out, u32(c));
  return out;
}

Cell* h_eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  if (type_of(element) == TYPE_INTEGER) {
    auto string_path = reinterpret_cast<act::EvalPath>(types::table[TYPE_STRING][ACT_eval_path]);
    return string_path(parent, element, value, step);
  }
  bool user = is_word(element, words::W_USER);
  if (!user && !is_word(element, words::W_HOST)) {
    Cell path, e = *element;
    if (step.path) copy_cell(step.path, &path); else make_none(&path);
    fire(Err::script_invalid_path, &e, &path);
  }
  std::u32string text = text_of(parent);
  std::size_t at = text.find(U'@');
  std::u32string name = at == std::u32string::npos ? text : text.substr(0, at);
  std::u32string host = at == std::u32string::npos ? std::u32string() : text.substr(at + 1);
  if (!value) return push_text(user ? name : host);
  if (!is_any_string_type(type_of(value))) fire(Err::script_invalid_arg, value);
  (user ? name : host) = text_of(value);
  // The address is rewritten in its own buffer, from its index.
  // By node: the parent cell may lie in a block that moves as the text grows.
  u32 node = series_node(parent);
  u32 from = u32(series_index(parent) < 0 ? 0 : series_index(parent));
  string::truncate_buffer(node, from);
  for (char32_t c : name) string::append_char(node, u32(c));
  if (at != std::u32string::npos || !host.empty()) string::append_char(node, '@');
  for (char32_t c : host) string::append_char(node, u32(c));
  return value;
}

}  // namespace

void init() {
  ActionTable t;  // the string's, but for these
  t.mold = h_mold;
  t.eval_path = h_eval_path;
  t.random = nullptr;
  types::register_datatype({TYPE_EMAIL, TYPE_STRING, "email!", t});
}

}  // namespace qel::email
