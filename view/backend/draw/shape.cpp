#include "view/backend/draw/shape.hpp"

#include <cmath>

namespace qel::view::backend::draw {

void Path::emit(cairo_t* cr) const {
  const double* p = xy_.data();
  for (Op op : ops_) {
    switch (op) {
      case MOVE: cairo_move_to(cr, p[0], p[1]); p += 2; break;
      case LINE: cairo_line_to(cr, p[0], p[1]); p += 2; break;
      case CURVE: cairo_curve_to(cr, p[0], p[1], p[2], p[3], p[4], p[5]); p += 6; break;
      case CLOSE: cairo_close_path(cr); break;
    }
  }
}

// ---- elliptic arcs ----------------------------------------------------------------------

namespace {

constexpr double DEGREES = M_PI / 180.0;

double vector_angle(double ux, double uy, double vx, double vy) {
  return std::atan2(ux * vy - uy * vx, ux * vx + uy * vy);
}

}  // namespace

ArcCentre arc_centre(double x1, double y1, double x2, double y2, double rx, double ry,
                     double rotation_degrees, bool large, bool sweep) {
  ArcCentre a{};
  if (x1 == x2 && y1 == y2) {
    a.none = true;
    return a;
  }
  rx = std::fabs(rx);
  ry = std::fabs(ry);
  if (rx == 0 || ry == 0) {
    a.line = true;
    return a;
  }
  double phi = rotation_degrees * DEGREES;
  double c = std::cos(phi), s = std::sin(phi);
  double dx = (x1 - x2) / 2, dy = (y1 - y2) / 2;
  double xp = c * dx + s * dy, yp = -s * dx + c * dy;
  // Radii too small to reach from one point to the other grow, keeping
  // their ratio, until the arc just spans them.
  double lambda = (xp * xp) / (rx * rx) + (yp * yp) / (ry * ry);
  if (lambda > 1) {
    double k = std::sqrt(lambda);
    rx *= k;
    ry *= k;
  }
  double rx2 = rx * rx, ry2 = ry * ry;
  double num = rx2 * ry2 - rx2 * yp * yp - ry2 * xp * xp;
  double den = rx2 * yp * yp + ry2 * xp * xp;
  double coef = den > 0 && num > 0 ? std::sqrt(num / den) : 0.0;
  if (large == sweep) coef = -coef;
  double cxp = coef * rx * yp / ry, cyp = -coef * ry * xp / rx;
  a.cx = c * cxp - s * cyp + (x1 + x2) / 2;
  a.cy = s * cxp + c * cyp + (y1 + y2) / 2;
  a.rx = rx;
  a.ry = ry;
  double ux = (xp - cxp) / rx, uy = (yp - cyp) / ry;
  double vx = (-xp - cxp) / rx, vy = (-yp - cyp) / ry;
  a.theta = vector_angle(1, 0, ux, uy);
  double delta = vector_angle(ux, uy, vx, vy);
  if (!sweep && delta > 0) delta -= 2 * M_PI;
  if (sweep && delta < 0) delta += 2 * M_PI;
  a.delta = delta;
  return a;
}

void append_arc(Path& path, double x1, double y1, double x2, double y2, double rx, double ry,
                double rotation_degrees, bool large, bool sweep) {
  ArcCentre a = arc_centre(x1, y1, x2, y2, rx, ry, rotation_degrees, large, sweep);
  if (a.none) return;
  if (a.line) {
    path.line_to(x2, y2);
    return;
  }
  double phi = rotation_degrees * DEGREES;
  double c = std::cos(phi), s = std::sin(phi);
  int pieces = int(std::ceil(std::fabs(a.delta) / (M_PI / 2) - 1e-9));
  if (pieces < 1) pieces = 1;
  double step = a.delta / pieces;
  double k = 4.0 / 3.0 * std::tan(step / 4);
  // A point of the ellipse at angle t, and its derivative.
  auto at = [&](double t, double* px, double* py, double* dx, double* dy) {
    double ex = a.rx * std::cos(t), ey = a.ry * std::sin(t);
    *px = a.cx + c * ex - s * ey;
    *py = a.cy + s * ex + c * ey;
    double tx = -a.rx * std::sin(t), ty = a.ry * std::cos(t);
    *dx = c * tx - s * ty;
    *dy = s * tx + c * ty;
  };
  double t0 = a.theta;
  double px, py, dx0, dy0;
  at(t0, &px, &py, &dx0, &dy0);
  for (int i = 0; i < pieces; ++i) {
    double t1 = t0 + step;
    double qx, qy, dx1, dy1;
    at(t1, &qx, &qy, &dx1, &dy1);
    if (i == pieces - 1) {
      qx = x2;
      qy = y2;
    }
    path.curve_to(px + k * dx0, py + k * dy0, qx - k * dx1, qy - k * dy1, qx, qy);
    px = qx;
    py = qy;
    dx0 = dx1;
    dy0 = dy1;
    t0 = t1;
  }
}

// ---- the SHAPE state ----------------------------------------------------------------------

void Shape::begin(bool draw) {
  path.clear();
  active = true;
  close_and_draw = draw;
  x = y = 0;
  last_curve = false;
  path.move_to(0, 0);
}

void Shape::move(double px, double py, bool relative) {
  if (relative) {
    px += x;
    py += y;
  }
  x = px;
  y = py;
  path.move_to(x, y);
  last_curve = false;
}

void Shape::line(const double* xy, u32 n, bool relative) {
  for (u32 i = 0; i < n; ++i) {
    double px = xy[2 * i], py = xy[2 * i + 1];
    if (relative) {
      px += x;
      py += y;
    }
    x = px;
    y = py;
    path.line_to(x, y);
  }
  last_curve = false;
}

void Shape::hvline(double v, bool relative, bool horizontal) {
  double& c = horizontal ? x : y;
  c = relative ? c + v : v;
  path.line_to(x, y);
  last_curve = false;
}

void Shape::arc(double ex, double ey, double rx, double ry, double rotation, bool sweep, bool large,
                bool relative) {
  if (relative) {
    ex += x;
    ey += y;
  }
  append_arc(path, x, y, ex, ey, rx, ry, rotation, large, sweep);
  x = ex;
  y = ey;
  last_curve = false;
}

void Shape::reflected(double* rx, double* ry) const {
  if (last_curve) {
    *rx = 2 * x - cx;
    *ry = 2 * y - cy;
  } else {
    *rx = x;
    *ry = y;
  }
}

void Shape::curve(const double* xy, u32 n, bool relative) {
  for (u32 i = 0; i + 3 <= n; i += 3) {
    const double* p = xy + 2 * i;
    double ox = relative ? x : 0, oy = relative ? y : 0;
    cubic_to(p[0] + ox, p[1] + oy, p[2] + ox, p[3] + oy, p[4] + ox, p[5] + oy);
  }
}

void Shape::curv(const double* xy, u32 n, bool relative) {
  for (u32 i = 0; i + 2 <= n; i += 2) {
    const double* p = xy + 2 * i;
    double x1, y1;
    reflected(&x1, &y1);
    double ox = relative ? x : 0, oy = relative ? y : 0;
    cubic_to(x1, y1, p[0] + ox, p[1] + oy, p[2] + ox, p[3] + oy);
  }
}

void Shape::cubic_to(double x1, double y1, double x2, double y2, double ex, double ey) {
  path.curve_to(x1, y1, x2, y2, ex, ey);
  cx = x2;
  cy = y2;
  x = ex;
  y = ey;
  last_curve = true;
}

void Shape::quad_to(double qx, double qy, double ex, double ey) {
  // The cubic that traces the quadratic exactly; the quadratic's control
  // point is the one a smooth segment reflects.
  cubic_to(x + 2.0 / 3.0 * (qx - x), y + 2.0 / 3.0 * (qy - y), ex + 2.0 / 3.0 * (qx - ex),
           ey + 2.0 / 3.0 * (qy - ey), ex, ey);
  cx = qx;
  cy = qy;
}

void Shape::qcurve(const double* xy, u32 n, bool relative) {
  for (u32 i = 0; i + 2 <= n; i += 2) {
    const double* p = xy + 2 * i;
    double ox = relative ? x : 0, oy = relative ? y : 0;
    quad_to(p[0] + ox, p[1] + oy, p[2] + ox, p[3] + oy);
  }
}

void Shape::qcurv(const double* xy, u32 n, bool relative) {
  for (u32 i = 0; i < n; ++i) {
    const double* p = xy + 2 * i;
    double qx, qy;
    reflected(&qx, &qy);
    double ox = relative ? x : 0, oy = relative ? y : 0;
    quad_to(qx, qy, p[0] + ox, p[1] + oy);
  }
}

void Shape::close() {
  path.close();
  // The next sub-figure begins at the current point, which closing leaves
  // where the last segment ended.
  path.move_to(x, y);
  last_curve = false;
}

}  // namespace qel::view::backend::draw
