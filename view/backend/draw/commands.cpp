// The DRAW commands that build figures (lines, boxes, polygons, ellipses,
// arcs, curves, splines), clips and transformations.
//
// Figures are filled with the fill brush (even-odd) and then outlined with
// the pen; a figure that begins hollow (a two-point line, an open arc, a
// curve) is only outlined. Fitted (type 3) brushes are fitted to the widened
// bounds of the figure, except for arcs.
#include "view/backend/draw/commands.hpp"

#include <algorithm>
#include <cmath>

#include "runtime/error.hpp"
#include "view/backend/draw/shadow.hpp"
#include "view/backend/draw/arguments.hpp"

namespace qel::view::backend::draw {

namespace {

constexpr double DEGREES = M_PI / 180.0;
// The length of the control arms of a cubic Bézier quarter circle.
constexpr double KAPPA = 0.55228474983079339840;

Point pt(const CommandArgs& a, u32 i) { return point_of(a.at(i)); }
double num(const CommandArgs& a, u32 i) { return number_of(a.at(i)); }

// ---- figures --------------------------------------------------------------------------------

// A closed ellipse, clockwise on screen from its rightmost point.
void append_ellipse(Path& p, double cx, double cy, double rx, double ry) {
  double kx = rx * KAPPA, ky = ry * KAPPA;
  p.move_to(cx + rx, cy);
  p.curve_to(cx + rx, cy + ky, cx + kx, cy + ry, cx, cy + ry);
  p.curve_to(cx - kx, cy + ry, cx - rx, cy + ky, cx - rx, cy);
  p.curve_to(cx - rx, cy - ky, cx - kx, cy - ry, cx, cy - ry);
  p.curve_to(cx + kx, cy - ry, cx + rx, cy - ky, cx + rx, cy);
  p.close();
}

// A rectangle with corners rounded by r (0: square corners).
void append_box(Path& p, double x, double y, double w, double h, double r) {
  r = std::min({std::fabs(r), w / 2, h / 2});
  if (!(r > 0)) {
    p.move_to(x, y);
    p.line_to(x + w, y);
    p.line_to(x + w, y + h);
    p.line_to(x, y + h);
    p.close();
    return;
  }
  double k = r * (1 - KAPPA);
  p.move_to(x + r, y);
  p.line_to(x + w - r, y);
  p.curve_to(x + w - k, y, x + w, y + k, x + w, y + r);
  p.line_to(x + w, y + h - r);
  p.curve_to(x + w, y + h - k, x + w - k, y + h, x + w - r, y + h);
  p.line_to(x + r, y + h);
  p.curve_to(x + k, y + h, x, y + h - k, x, y + h - r);
  p.line_to(x, y + r);
  p.curve_to(x, y + k, x + k, y, x + r, y);
  p.close();
}

// A box, circle or ellipse whose outline box is (x, y, w, h): its shadows
// first when they are on, then the figure.
void draw_with_shadows(Context& ctx, const Path& path, double x, double y, double w, double h) {
  if (ctx.st.shadow_on && !ctx.shadows.empty() && !ctx.degenerate) draw_shadows(ctx, path, x, y, w, h);
  draw_path(ctx, path);
}

void draw_ellipse(Context& ctx, double cx, double cy, double rx, double ry) {
  rx = std::fabs(rx);
  ry = std::fabs(ry);
  Path p;
  append_ellipse(p, cx, cy, rx, ry);
  draw_with_shadows(ctx, p, cx - rx, cy - ry, 2 * rx, 2 * ry);
}

// A figure through the points from first to last.
void points_path(Context& ctx, const CommandArgs& a, bool close) {
  cairo_t* cr = ctx.cr;
  cairo_new_path(cr);
  for (u32 i = a.first; i <= a.last; ++i) {
    Point p = pt(a, i);
    if (i == a.first) {
      cairo_move_to(cr, p.x, p.y);
    } else {
      cairo_line_to(cr, p.x, p.y);
    }
  }
  if (close) cairo_close_path(cr);
}

// One straight line, outlined only; a fitted pen spans the box of its ends.
void single_line(Context& ctx, Point p, Point q) {
  cairo_new_path(ctx.cr);
  cairo_move_to(ctx.cr, p.x, p.y);
  cairo_line_to(ctx.cr, q.x, q.y);
  double box[4] = {std::min(p.x, q.x), std::min(p.y, q.y), std::max(p.x, q.x), std::max(p.y, q.y)};
  paint_current_path(ctx, false, true, box);
}

bool box(Context& ctx, const CommandArgs& a) {
  Point p = pt(a, a.first), q = pt(a, a.first + 1);
  double radius = a.last == a.first + 2 ? num(a, a.last) : 0.0;
  double x = std::min(p.x, q.x), y = std::min(p.y, q.y);
  double w = std::max(p.x, q.x) - x, h = std::max(p.y, q.y) - y;
  Path path;
  append_box(path, x, y, w, h, radius);
  draw_with_shadows(ctx, path, x, y, w, h);
  return true;
}

bool line(Context& ctx, const CommandArgs& a) {
  if (a.last == a.first + 1) {
    single_line(ctx, pt(a, a.first), pt(a, a.last));
    return true;
  }
  // An open figure, filled when there is a fill brush.
  points_path(ctx, a, false);
  draw_current_path(ctx, true);
  return true;
}

bool polygon(Context& ctx, const CommandArgs& a) {
  points_path(ctx, a, true);
  draw_current_path(ctx, true);
  return true;
}

bool circle(Context& ctx, const CommandArgs& a) {
  Point c = pt(a, a.first);
  double rx = num(a, a.first + 1);
  double ry = a.last == a.first + 2 ? num(a, a.last) : rx;
  draw_ellipse(ctx, c.x, c.y, rx, ry);
  return true;
}

bool ellipse(Context& ctx, const CommandArgs& a) {
  Point p = pt(a, a.first), s = pt(a, a.last);
  draw_ellipse(ctx, p.x + s.x / 2, p.y + s.y / 2, s.x / 2, s.y / 2);
  return true;
}

bool arc(Context& ctx, const CommandArgs& a) {
  Point c = pt(a, a.first), r = pt(a, a.first + 1);
  double start_deg = num(a, a.first + 2), sweep_deg = num(a, a.first + 3);
  bool closed = a.flag;
  if (sweep_deg >= 359.998993 || sweep_deg <= -359.998993) {
    draw_ellipse(ctx, c.x, c.y, r.x, r.y);
    return true;
  }
  double start = start_deg * DEGREES, end = (start_deg + sweep_deg) * DEGREES;
  if (r.x != r.y) {
    // Angles on the ellipse's circle become angles of its parametric form.
    start = std::atan2(std::sin(start) * r.x, std::cos(start) * r.y);
    end = std::atan2(std::sin(end) * r.x, std::cos(end) * r.y);
    if (std::fabs(end - start) > M_PI) (end > start ? end : start) -= 2 * M_PI;
  }
  double x1 = c.x + r.x * std::cos(start), y1 = c.y + r.y * std::sin(start);
  double x2 = c.x + r.x * std::cos(end), y2 = c.y + r.y * std::sin(end);
  bool clockwise = sweep_deg >= 0, large = sweep_deg >= 180 || sweep_deg <= -180;
  Path p;
  if (closed) {
    p.move_to(c.x, c.y);
    p.line_to(x1, y1);
  } else {
    p.move_to(x1, y1);
  }
  append_arc(p, x1, y1, x2, y2, r.x, r.y, 0, large, clockwise);
  if (closed) p.close();
  cairo_new_path(ctx.cr);
  p.emit(ctx.cr);
  paint_current_path(ctx, closed, false, nullptr);
  return true;
}

bool curve(Context& ctx, const CommandArgs& a) {
  cairo_t* cr = ctx.cr;
  Point p0 = pt(a, a.first), p1 = pt(a, a.first + 1), p2 = pt(a, a.first + 2);
  cairo_new_path(cr);
  cairo_move_to(cr, p0.x, p0.y);
  if (a.last == a.first + 3) {
    Point p3 = pt(a, a.last);
    cairo_curve_to(cr, p1.x, p1.y, p2.x, p2.y, p3.x, p3.y);
  } else {
    // The quadratic, traced exactly by a cubic.
    cairo_curve_to(cr, (p0.x + 2 * p1.x) / 3, (p0.y + 2 * p1.y) / 3, (2 * p1.x + p2.x) / 3,
                   (2 * p1.y + p2.y) / 3, p2.x, p2.y);
  }
  paint_current_path(ctx, false, true, nullptr);
  return true;
}

// The Catmull-Rom segment from p1 to p2, as 25 lines.
constexpr int SPLINE_STEPS = 25;

void spline_segment(cairo_t* cr, Point p0, Point p1, Point p2, Point p3) {
  for (int k = 1; k <= SPLINE_STEPS; ++k) {
    double t = k / double(SPLINE_STEPS), t2 = t * t, t3 = t2 * t;
    auto at = [&](double a, double b, double c, double d) {
      return 0.5 * (2 * b + (c - a) * t + (2 * a - 5 * b + 4 * c - d) * t2 + (3 * (b - c) + d - a) * t3);
    };
    cairo_line_to(cr, at(p0.x, p1.x, p2.x, p3.x), at(p0.y, p1.y, p2.y, p3.y));
  }
}

bool spline(Context& ctx, const CommandArgs& a) {
  u32 n = a.last - a.first + 1;
  if (n == 2) {
    single_line(ctx, pt(a, a.first), pt(a, a.last));
    return true;
  }
  std::vector<Point> p(n);
  for (u32 i = 0; i < n; ++i) p[i] = pt(a, a.first + i);
  cairo_t* cr = ctx.cr;
  cairo_new_path(cr);
  cairo_move_to(cr, p[0].x, p[0].y);
  spline_segment(cr, a.flag ? p[n - 1] : p[0], p[0], p[1], p[2]);
  for (u32 i = 0; i + 3 < n; ++i) spline_segment(cr, p[i], p[i + 1], p[i + 2], p[i + 3]);
  if (a.flag) {
    spline_segment(cr, p[n - 3], p[n - 2], p[n - 1], p[0]);
    spline_segment(cr, p[n - 2], p[n - 1], p[0], p[1]);
    cairo_close_path(cr);
  } else {
    spline_segment(cr, p[n - 3], p[n - 2], p[n - 1], p[n - 1]);
  }
  draw_current_path(ctx, true);
  return true;
}

// ---- clips ----------------------------------------------------------------------------------

// A clip narrows the clips in force, whatever its mode word: a rectangle
// from the first to the last point, or the SHAPE figure, closed, filled by
// the winding rule.
bool clip(Context& ctx, const CommandArgs& a) {
  if (a.flag) {
    Point p = pt(a, a.first), q = pt(a, a.last);
    clip_push_rect(ctx, p.x, p.y, q.x, q.y);
    return true;
  }
  cairo_t* cr = ctx.cr;
  cairo_new_path(cr);
  ctx.shape.path.emit(cr);
  cairo_close_path(cr);
  ctx.shape.reset();
  clip_push_path(ctx);
  return true;
}

// ---- transformations ------------------------------------------------------------------------
//
// Each operation's matrix goes in front of the target's: it acts in the
// coordinate system the earlier ones set up. The target is the drawing's
// matrix, or the brush space of the pen or fill; a solid or absent brush has
// none and is left alone.

cairo_matrix_t* target_matrix(Context& ctx, Target t) {
  if (t == TARGET_DRAWING) return &ctx.st.matrix;
  Paint& p = t == TARGET_PEN ? ctx.st.pen : ctx.st.fill;
  if (p.type == PAINT_OFF || p.type == PAINT_SOLID) return nullptr;
  return &p.brush;
}

template <class Change>
bool transform_target(Context& ctx, Target t, Change change) {
  cairo_matrix_t* m = target_matrix(ctx, t);
  if (!m) return true;
  change(m);
  if (t == TARGET_DRAWING) apply_matrix(ctx);
  return true;
}

bool rotate(Context& ctx, const CommandArgs& a) {
  double angle = num(a, a.first);
  Point c = a.extra[0] != NO_POS ? pt(a, u32(a.extra[0])) : Point{0, 0};
  return transform_target(ctx, a.target, [&](cairo_matrix_t* m) { matrix::rotate(m, angle, c.x, c.y, true); });
}

bool scale(Context& ctx, const CommandArgs& a) {
  double sx = num(a, a.first), sy = num(a, a.first + 1);
  Point c = a.last == a.first + 2 ? pt(a, a.last) : Point{0, 0};
  return transform_target(ctx, a.target, [&](cairo_matrix_t* m) { matrix::scale(m, sx, sy, c.x, c.y, true); });
}

bool translate(Context& ctx, const CommandArgs& a) {
  Point d = pt(a, a.first);
  return transform_target(ctx, a.target, [&](cairo_matrix_t* m) { matrix::translate(m, d.x, d.y, true); });
}

bool skew(Context& ctx, const CommandArgs& a) {
  double x = num(a, a.first), y = 0;
  Point c{0, 0};
  for (u32 i = a.first + 1; i <= a.last; ++i) {
    if (is_point(a.at(i))) {
      c = pt(a, i);
    } else {
      y = num(a, i);
    }
  }
  return transform_target(ctx, a.target, [&](cairo_matrix_t* m) { matrix::skew(m, x, y, c.x, c.y, true); });
}

bool transform(Context& ctx, const CommandArgs& a) {
  u32 sx_pos = u32(a.extra[0]), angle_pos = sx_pos - 1;
  Point c = a.first != angle_pos ? pt(a, a.first) : Point{0, 0};
  double angle = num(a, angle_pos), sx = num(a, sx_pos), sy = num(a, sx_pos + 1);
  Point t = pt(a, a.last);
  // Rotation about the centre, then scaling about it, then the translation.
  cairo_matrix_t op;
  matrix::identity(&op);
  matrix::rotate(&op, angle, c.x, c.y, false);
  matrix::scale(&op, sx, sy, c.x, c.y, false);
  matrix::translate(&op, t.x, t.y, false);
  return transform_target(ctx, a.target, [&](cairo_matrix_t* m) { matrix::multiply(m, &op, true); });
}

bool matrix_op(Context& ctx, const CommandArgs& a) {
  const Cell* b = a.at(a.first);
  const Cell* v = mem::buffer_of(series_node(b))->cells() + (series_index(b) < 0 ? 0 : series_index(b));
  cairo_matrix_t op;
  cairo_matrix_init(&op, number_of(v), number_of(v + 1), number_of(v + 2), number_of(v + 3), number_of(v + 4),
                    number_of(v + 5));
  return transform_target(ctx, a.target, [&](cairo_matrix_t* m) { matrix::multiply(m, &op, true); });
}

bool reset_matrix(Context& ctx, const CommandArgs& a) {
  return transform_target(ctx, a.target, [](cairo_matrix_t* m) { matrix::identity(m); });
}

bool invert_matrix(Context& ctx, const CommandArgs& a) {
  // A singular matrix has no inverse and stays as it is.
  return transform_target(ctx, a.target, [](cairo_matrix_t* m) { matrix::invert(m); });
}

// Text and fonts before the text engine puts in its own: nothing drawn.
bool no_text(Context&, const CommandArgs&) { return false; }

// Shadows for the figures that follow (off: none).
bool shadow(Context& ctx, const CommandArgs& a) {
  if (a.word) {
    ctx.shadows.clear();
    ctx.st.shadow_on = false;
    return true;
  }
  ShadowRecord r;
  Point o = point_of(a.at(a.first));
  r.dx = o.x;
  r.dy = o.y;
  if (a.extra[0] != NO_POS) r.blur = number_of(a.at(a.extra[0]));
  if (a.extra[1] != NO_POS) r.spread = number_of(a.at(a.extra[1]));
  if (a.extra[2] != NO_POS) colour_of(a.at(a.extra[2]), &r.colour);
  r.inset = a.flag;  // kept; drawn as any other shadow
  // The first shadow since they were off starts a new list; the others
  // join it.
  if (!ctx.st.shadow_on) ctx.shadows.clear();
  ctx.shadows.push_back(r);
  ctx.st.shadow_on = true;
  return true;
}

}  // namespace

CommandTable commands = {
    box,        line,  polygon,       polygon,   circle,    ellipse, no_text,
    no_text,    arc,   curve,         spline,    ops::image, shadow,      clip,
    rotate,     scale, translate,     skew,      transform, matrix_op, reset_matrix,
    invert_matrix,
};

}  // namespace qel::view::backend::draw
