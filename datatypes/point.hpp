// point2D! and point3D!: two or three 32-bit float coordinates written
// (1.5, 2) and (1, 2, 3). The two types share one module: they differ only
// in the number of coordinates.
//
// Cell: header type 51 or 52, coordinate x in word 1, y in word 2, z in
// word 3 (point3D! only; 0 in a point2D!), each a float32. Coordinates are
// computed in float64 and stored rounded to float32.
#pragma once

#include <cstring>

#include "runtime/cell.hpp"

namespace qel::point {

void init();  // registers point2D! and point3D!

inline u32 dimensions(const Cell* c) { return type_of(c) == TYPE_POINT3D ? 3 : 2; }
// The float32 bits of coordinate i (0 x, 1 y, 2 z).
inline bool is_point_cell(Type t) { return t == TYPE_POINT2D || t == TYPE_POINT3D; }
inline u32 coord_bits(const Cell* c, u32 i) {
  QEL_CHECK_KIND(c, is_point_cell);
  return i == 0 ? c->w1 : i == 1 ? c->w2 : c->w3;
}
// Coordinate i.
inline float coord(const Cell* c, u32 i) {
  u32 w = coord_bits(c, i);
  float f;
  std::memcpy(&f, &w, sizeof f);
  return f;
}
inline void set_coord(Cell* c, u32 i, float f) {
  u32 w;
  std::memcpy(&w, &f, sizeof w);
  (i == 0 ? c->w1 : i == 1 ? c->w2 : c->w3) = w;
}

// Keep the cell's new-line flag.
Cell* make_2d_at(Cell* cell, float x, float y);
Cell* make_3d_at(Cell* cell, float x, float y, float z);
Cell* push_2d(float x, float y);
Cell* push_3d(float x, float y, float z);

// The arithmetic worker on the two cells at the frame base, the left one a
// point (pair! hands its point operations here).
void do_math(int op);

}  // namespace qel::point
