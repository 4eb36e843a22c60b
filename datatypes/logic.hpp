// unset!, none! and logic!, the shared cells and the truth rules.
//
// Truth: none! and logic! false are false; every other value is true; an
// unset value where a condition is expected is an error. A logic! value is
// true only when its flag is exactly 1.
#pragma once

#include "runtime/cell.hpp"

namespace qel {

namespace values {
extern const Cell unset_cell;
extern const Cell none_cell;
extern const Cell true_cell;
extern const Cell false_cell;
}  // namespace values

namespace unset {
void init();
Cell* push();
}  // namespace unset

namespace none {
void init();
Cell* push();
}  // namespace none

namespace logic {
void init();
Cell* push(bool b);
inline bool flag(const Cell* c) { return logic_of(c); }
inline void set_flag(Cell* c, bool b) { c->w1 = b ? 1 : 0; }
// Truth of a value: unset answers true unless check is set, which raises
// script no-value naming `name` (may be nullptr).
bool true_value(const Cell* c, bool check = false, const Cell* name = nullptr);
bool true_base();    // truth of the base cell; unset raises script no-return
bool false_base();   // base cell is none or a logic! whose flag is not 1
inline bool is_false(const Cell* c) {
  Type t = type_of(c);
  return t == TYPE_NONE || (t == TYPE_LOGIC && c->w1 != 1);
}
}  // namespace logic

namespace datatype_type {
void init();
}

}  // namespace qel
