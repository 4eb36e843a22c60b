// actions::compare_values (runtime/actions.hpp): logic values, natives and
// functions order by their identity (the entry index, the more series); the
// other values by their datatype's compare handler.
#include "datatypes/function.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/native.hpp"
#include "runtime/actions.hpp"

namespace qel::actions {

i32 compare_values(Cell* v1, Cell* v2, i32 op) {
  auto h = handler<act::Compare>(v1, ACT_compare);
  auto order = [](u32 a, u32 b) { return a < b ? -1 : (a > b ? 1 : 0); };
  switch (type_of(v1)) {
    case TYPE_LOGIC: return i32(logic::flag(v1)) - i32(logic::flag(v2));
    case TYPE_NATIVE: case TYPE_ACTION: case TYPE_OP:
      return order(native::index_of(v1), native::index_of(v2));
    case TYPE_FUNCTION: case TYPE_ROUTINE:
      return order(function::more_of(v1), function::more_of(v2));
    default: return h(v1, v2, op);
  }
}

}  // namespace qel::actions
