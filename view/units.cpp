#include "view/units.hpp"

#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"

namespace qel::view::units {

Dpi current;

void set_dpi(i32 dpi) {
  if (dpi <= 0) dpi = 96;
  current.dpi = dpi;
  current.scale = double(dpi) / 96.0;
}

bool read_point(const Cell* v, double* x, double* y) {
  if (!v) return false;
  if (type_of(v) == TYPE_PAIR) {
    *x = pair::x(v);
    *y = pair::y(v);
    return true;
  }
  if (type_of(v) == TYPE_POINT2D) {
    *x = point::coord(v, 0);
    *y = point::coord(v, 1);
    return true;
  }
  return false;
}

bool read_pixels(const Cell* v, int* x, int* y) {
  double lx, ly;
  if (!read_point(v, &lx, &ly)) return false;
  *x = to_pixels(float(lx));
  *y = to_pixels(float(ly));
  return true;
}

Cell* logical_point(double x, double y, bool pairs, Cell* out, double scale) {
  double lx = to_logical(x, scale), ly = to_logical(y, scale);
  make_none(out);
  if (!pairs) return point::make_2d_at(out, float(lx), float(ly));
  auto clamp = [](double v) -> i32 {
    if (std::isnan(v)) return 0;
    return v >= 2147483647.0 ? INT32_MAX : v <= -2147483648.0 ? INT32_MIN : i32(v);
  };
  return pair::make_at(out, clamp(lx), clamp(ly));
}

}  // namespace qel::view::units
