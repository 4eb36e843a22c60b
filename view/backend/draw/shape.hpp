// SHAPE paths: the figure a `shape` command or a shape clip builds, segment by
// segment, before it reaches cairo.
//
// A Path holds user-space segments (moves, lines, cubic Béziers, closes); it
// is handed to cairo in one go when the figure is drawn or clipped. Shape is
// the SHAPE state of a draw context: the path, the current point, and the
// last control point of the previous Bézier segment, which the smooth forms
// reflect. Elliptic arcs are given as SVG gives them (end point, radii,
// rotation, large and sweep flags) and become cubic Béziers here.
#pragma once

#include <cairo.h>

#include <vector>

#include "runtime/cell.hpp"

namespace qel::view::backend::draw {

class Path {
 public:
  enum Op : u8 { MOVE, LINE, CURVE, CLOSE };

  void clear() {
    ops_.clear();
    xy_.clear();
  }
  bool empty() const { return ops_.empty(); }
  void move_to(double x, double y) { add(MOVE, {x, y}); }
  void line_to(double x, double y) { add(LINE, {x, y}); }
  void curve_to(double x1, double y1, double x2, double y2, double x, double y) {
    add(CURVE, {x1, y1, x2, y2, x, y});
  }
  void close() { ops_.push_back(CLOSE); }
  // Appends the segments to cairo's current path (cairo's matrix applies).
  void emit(cairo_t* cr) const;

  const std::vector<Op>& ops() const { return ops_; }
  const std::vector<double>& coords() const { return xy_; }

 private:
  void add(Op op, std::initializer_list<double> xy) {
    ops_.push_back(op);
    xy_.insert(xy_.end(), xy);
  }
  std::vector<Op> ops_;
  std::vector<double> xy_;
};

// The centre form of an SVG elliptic arc from (x1, y1) to (x2, y2): radii
// enlarged when they cannot span the two points, the centre, the start angle
// and the signed sweep (radians, positive clockwise on screen).
struct ArcCentre {
  bool line;  // a zero radius: the arc is a straight line
  bool none;  // the end points coincide: nothing is added
  double cx, cy, rx, ry, theta, delta;
};
ArcCentre arc_centre(double x1, double y1, double x2, double y2, double rx, double ry,
                     double rotation_degrees, bool large, bool sweep);
// Appends the arc to the path as cubic Béziers of at most a quarter turn each
// (a line when a radius is 0, nothing when the end points coincide).
void append_arc(Path& path, double x1, double y1, double x2, double y2, double rx, double ry,
                double rotation_degrees, bool large, bool sweep);

struct Shape {
  bool active = false;          // a figure is being built
  bool close_and_draw = false;  // it is for `shape` (false: for a clip)
  bool last_curve = false;      // the previous segment was a Bézier segment
  double x = 0, y = 0;          // current point
  double cx = 0, cy = 0;        // last control point of that segment
  Path path;

  // Starts a figure: an empty path whose first sub-figure begins at 0x0.
  void begin(bool close_and_draw);
  void reset() {
    active = false;
    last_curve = false;
    path.clear();
  }
  void move(double px, double py, bool relative);
  // Lines through n points (xy holds 2n numbers).
  void line(const double* xy, u32 n, bool relative);
  void hvline(double v, bool relative, bool horizontal);
  void arc(double ex, double ey, double rx, double ry, double rotation, bool sweep, bool large,
           bool relative);
  // The Bézier family over n points: cubic groups of 3 (curve), smooth cubic
  // groups of 2 (curv), quadratic groups of 2 (qcurve), smooth quadratic
  // single points (qcurv); an incomplete trailing group is not drawn.
  void curve(const double* xy, u32 n, bool relative);
  void curv(const double* xy, u32 n, bool relative);
  void qcurve(const double* xy, u32 n, bool relative);
  void qcurv(const double* xy, u32 n, bool relative);
  void close();

 private:
  void cubic_to(double x1, double y1, double x2, double y2, double ex, double ey);
  void quad_to(double qx, double qy, double ex, double ey);
  void reflected(double* rx, double* ry) const;
};

}  // namespace qel::view::backend::draw
