// triple!: an internal value of three signed 32-bit integers in words 1, 2
// and 3 of the cell (the PARSE engine keeps nested positions in them). The
// type only prints: "make triple! [1 -2 3]"; every other action is empty.
#pragma once

#include "runtime/cell.hpp"

namespace qel::triple {

void init();  // registers triple!

// Integer i (0, 1 or 2).
inline i32 part(const Cell* cell, u32 i) {
  QEL_CHECK_TYPE(cell, TYPE_TRIPLE);
  return i32(i == 0 ? cell->w1 : i == 1 ? cell->w2 : cell->w3);
}

inline Cell* make_at(Cell* cell, i32 a, i32 b, i32 c) {
  cell->header = TYPE_TRIPLE;
  cell->w1 = u32(a);
  cell->w2 = u32(b);
  cell->w3 = u32(c);
  return cell;
}

}  // namespace qel::triple
