#include "datatypes/triple.hpp"

#include <string>

#include "datatypes/integer.hpp"
#include "datatypes/string.hpp"
#include "runtime/actions.hpp"

namespace qel::triple {

namespace {

i32 h_form(Cell* value, Cell* buffer, Cell*, i32 limit) {
  // The three integers are read before the string grows (the cell may lie in
  // a block that the string's growth can move).
  const i32 parts[3] = {triple::part(value, 0), triple::part(value, 1), triple::part(value, 2)};
  std::string text = "make triple! [";
  for (int i = 0; i < 3; ++i) {
    if (i) text.push_back(' ');
    text += integer::form_signed(parts[i]);
  }
  text.push_back(']');
  string::append_ascii(buffer, text.data(), text.size());
  return limit - i32(text.size());
}

i32 h_mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 limit, i32) {
  return h_form(value, buffer, arg, limit);
}

}  // namespace

void init() {
  types::register_datatype({TYPE_TRIPLE, TYPE_NO_TYPE, "triple!", {.form = h_form, .mold = h_mold}});
}

}  // namespace qel::triple
