// Case changes of string values (the uppercase and lowercase natives).
#include <algorithm>

#include "datatypes/ownership.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "runtime/casefold.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"

namespace qel::string {

Cell* change_case(Cell* value, const Cell* part, bool upper) {
  Type t = type_of(value);
  if (t == TYPE_CHAR) {
    set_char_payload(value, casefold::fold_case_char(char_of(value), upper));
    return value;
  }
  if (!is_any_string_type(t)) {
    Cell call, type, name;
    stack::get_call(&call);
    make_datatype(&type, t);
    make_none(&name);
    fire(Err::script_expect_arg, &call, &type, &name);
  }
  u32 node = series_node(value);
  mem::Buffer* b = mem::buffer_of(node);
  i64 total = b->used() / unicode::unit_of(b);
  i64 index = std::clamp<i64>(series_index(value), 0, total);
  set_series_index(value, i32(index));
  i64 count = total - index;
  if (part) {
    if (type_of(part) == TYPE_INTEGER) {
      count = int_of(part);
    } else if (type_of(part) == t && series_node(part) == node) {
      count = i64(series_index(part)) - index;
    } else {
      // The word part goes in the first argument once words exist.
      fire(Err::script_invalid_refine_arg, series::arg_word(series::ArgWord::part), part);
    }
    count = std::clamp<i64>(count, 0, total - index);
  }
  i64 i = index;
  // One-byte units: ASCII folds in place, up to the first other character
  // (which may widen the buffer when it folds).
  if (mem::Buffer* b1 = mem::buffer_of(node); unicode::unit_of(b1) == 1) {
    u8* p = b1->head_ptr();
    for (; i < index + count && p[i] < 0x80; ++i) p[i] = u8(casefold::fold_case_char(p[i], upper));
  }
  // Each write may widen (and so move) the buffer: positions are unit
  // indexes, read back through the node every time.
  for (; i < index + count; ++i) {
    mem::Buffer* cur = mem::buffer_of(node);
    u32 unit = unicode::unit_of(cur);
    u32 cp = get_char(cur->head_ptr() + u64(i) * unit, unit);
    u32 folded = casefold::fold_case_char(cp, upper);
    if (folded != cp) poke_char(node, u32(i), folded);
  }
  // An owning object hears of the change as of any other: its
  // on-deep-change* gets the native's word, the index and the count.
  if (mem::buffer_of(node)->flags & mem::SERIES_OWNED) {
    Cell action = *intern_word(upper ? "uppercase" : "lowercase");
    ownership::check(value, &action, nullptr, i32(index), i32(count));
  }
  return value;
}

}  // namespace qel::string
