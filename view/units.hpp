// Logical units and pixels. Faces hold positions and sizes in logical units
// (GTK's application pixels); the backend converts with the scale of the
// window concerned: pixels = trunc(logical x scale + 0.5), logical =
// pixels / scale. The current DPI state is set by the backend's set-up and
// whenever it works on a window of another scale.
#pragma once

#include <cmath>

#include "runtime/cell.hpp"

namespace qel::view::units {

struct Dpi {
  i32 dpi = 96;        // the current DPI (x and y alike)
  double scale = 1.0;  // dpi / 96
  i32 depth = 0;       // nesting of enter/leave window DPI
};
extern Dpi current;

// Sets the current DPI and the scale that goes with it.
void set_dpi(i32 dpi);

inline i32 to_pixels(float logical, double scale = current.scale) {
  double p = double(logical) * scale + 0.5;
  if (!(p > -2147483648.0)) return std::isnan(p) ? 0 : INT32_MIN;
  if (p >= 2147483647.0) return INT32_MAX;
  return i32(p);  // truncated toward zero
}
inline double to_logical(double pixels, double scale = current.scale) {
  return scale > 0 ? pixels / scale : pixels;
}

// A pair! or point2D! (a face's offset or size) as two numbers; false for
// any other value (x and y untouched).
bool read_point(const Cell* v, double* x, double* y);
// The same in pixels at the current scale.
bool read_pixels(const Cell* v, int* x, int* y);

// A position or size in pixels as the value events and faces carry: a
// pair! of logical units truncated when pairs is set, else a point2D!.
Cell* logical_point(double x, double y, bool pairs, Cell* out, double scale = current.scale);

}  // namespace qel::view::units
