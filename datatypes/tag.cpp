#include "datatypes/tag.hpp"

#include "datatypes/string.hpp"
#include "runtime/actions.hpp"

namespace qel::tag {

namespace {

i32 h_form(Cell* tag, Cell* buffer, Cell* part, i32 budget) {
  budget = string::write_ascii(buffer, "<", budget);
  budget = string::form(tag, buffer, part, budget);
  return string::write_ascii(buffer, ">", budget);
}

i32 h_mold(Cell* tag, Cell* buffer, bool, bool, bool, Cell* part, i32 budget, i32) {
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
