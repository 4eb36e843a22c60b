// pair!: two signed 32-bit integers written 10x20 (sizes and offsets).
//
// Cell: header type 37, x in word 2, y in word 3; word 1 carries nothing.
//
// Arithmetic runs per coordinate with integer! arithmetic; a result that
// leaves 32 bits, a multiply or divide by a float, and an operation with a
// point2D! answer a point2D! instead.
#pragma once

#include "runtime/cell.hpp"

namespace qel::pair {

void init();  // registers pair!

inline i32 x(const Cell* c) { QEL_CHECK_TYPE(c, TYPE_PAIR); return i32(c->w2); }
inline i32 y(const Cell* c) { QEL_CHECK_TYPE(c, TYPE_PAIR); return i32(c->w3); }
inline void set_x(Cell* c, i32 v) { c->w2 = u32(v); }
inline void set_y(Cell* c, i32 v) { c->w3 = u32(v); }

Cell* make_at(Cell* cell, i32 x, i32 y);  // keeps the cell's new-line flag
Cell* make_in(u32 block, i32 x, i32 y);
Cell* push(i32 x, i32 y);

}  // namespace qel::pair
