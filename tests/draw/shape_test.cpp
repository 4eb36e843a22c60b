// SHAPE geometry: SVG arcs from end points to centres, smooth curves, the
// current point of relative segments.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "view/backend/draw/shape.hpp"

namespace qel::view::backend::draw {
namespace {

// The segments of a path, one word each: "M x y", "L x y", "C x1 y1 x2 y2 x y", "Z",
// numbers rounded to 0.01.
std::string segments(const Path& p) {
  std::string out;
  const double* xy = p.coords().data();
  auto num = [&](double d) {
    char b[32];
    std::snprintf(b, sizeof b, "%g", std::round(d * 100) / 100 + 0.0);
    out += ' ';
    out += b;
  };
  for (Path::Op op : p.ops()) {
    if (!out.empty()) out += " | ";
    switch (op) {
      case Path::MOVE: out += 'M'; num(xy[0]); num(xy[1]); xy += 2; break;
      case Path::LINE: out += 'L'; num(xy[0]); num(xy[1]); xy += 2; break;
      case Path::CURVE:
        out += 'C';
        for (int i = 0; i < 6; ++i) num(xy[i]);
        xy += 6;
        break;
      case Path::CLOSE: out += 'Z'; break;
    }
  }
  return out;
}

TEST(SvgArc, CentreOfEachFlagPair) {
  // From 0x0 to 20x0 with radius 20: two circles pass through both points,
  // centred above and below; the flags choose the circle and the side.
  struct Row {
    bool large, sweep;
    double cy, delta_degrees;
  } rows[] = {
      {false, false, -17.32, -60}, {false, true, 17.32, 60},
      {true, false, 17.32, -300}, {true, true, -17.32, 300},
  };
  for (const Row& r : rows) {
    ArcCentre a = arc_centre(0, 0, 20, 0, 20, 20, 0, r.large, r.sweep);
    std::string what = std::string("large ") + (r.large ? "1" : "0") + " sweep " + (r.sweep ? "1" : "0");
    EXPECT_FALSE(a.line || a.none) << what;
    EXPECT_NEAR(a.cx, 10, 1e-6) << what;
    EXPECT_NEAR(a.cy, r.cy, 0.01) << what;
    EXPECT_NEAR(a.rx, 20, 1e-9) << what;
    EXPECT_NEAR(a.delta * 180 / M_PI, r.delta_degrees, 0.01) << what;
  }
}

TEST(SvgArc, RadiiTooSmallGrowToSpanThePoints) {
  // Radius 5 cannot span 20 units: it grows to 10, the half-circle, whatever
  // the flags.
  for (int flags = 0; flags < 4; ++flags) {
    ArcCentre a = arc_centre(0, 0, 20, 0, 5, 5, 0, flags & 1, flags & 2);
    EXPECT_NEAR(a.rx, 10, 1e-9);
    EXPECT_NEAR(a.ry, 10, 1e-9);
    EXPECT_NEAR(a.cx, 10, 1e-9);
    EXPECT_NEAR(a.cy, 0, 1e-9);
    EXPECT_NEAR(std::fabs(a.delta), M_PI, 1e-9);
  }
  // An ellipse keeps its ratio: 2:1 radii between (0,0) and (0,10) rotated by 90.
  ArcCentre e = arc_centre(0, 0, 0, 10, 1, 0.5, 90, false, true);
  EXPECT_NEAR(e.rx / e.ry, 2, 1e-9);
  EXPECT_NEAR(e.rx, 5, 1e-9);
}

TEST(SvgArc, DegenerateArcs) {
  EXPECT_TRUE(arc_centre(5, 5, 5, 5, 10, 10, 0, false, false).none);
  EXPECT_TRUE(arc_centre(0, 0, 10, 0, 0, 10, 0, false, false).line);
  EXPECT_TRUE(arc_centre(0, 0, 10, 0, -3, 0, 0, false, false).line);
  // Negative radii count as their size.
  EXPECT_NEAR(arc_centre(0, 0, 20, 0, -10, -10, 0, false, true).rx, 10, 1e-9);
  Path p;
  p.move_to(0, 0);
  append_arc(p, 0, 0, 5, 5, 0, 3, 0, false, false);
  append_arc(p, 5, 5, 5, 5, 3, 3, 0, false, false);
  EXPECT_EQ(segments(p), "M 0 0 | L 5 5");
}

TEST(SvgArc, BeziersFollowTheEllipse) {
  // A large clockwise arc of radius 10 from 0x0 to 20x0: three quarters or
  // more of the circle; every end point lies on the circle, the last one
  // exactly at the end.
  Path p;
  append_arc(p, 0, 0, 20, 0, 10, 10, 0, true, true);
  ASSERT_GE(p.ops().size(), 2u);
  const auto& xy = p.coords();
  for (std::size_t i = 0; i < p.ops().size(); ++i) {
    double x = xy[i * 6 + 4], y = xy[i * 6 + 5];
    EXPECT_NEAR(std::hypot(x - 10, y), 10, 1e-9);
    // The control points' midpoint stays near the circle (the cubic bulges
    // at most a hair beyond it).
    double mx = 0.125 * ((i ? xy[i * 6 - 2] : 0) + 3 * xy[i * 6] + 3 * xy[i * 6 + 2] + x);
    double my = 0.125 * ((i ? xy[i * 6 - 1] : 0) + 3 * xy[i * 6 + 1] + 3 * xy[i * 6 + 3] + y);
    EXPECT_NEAR(std::hypot(mx - 10, my), 10, 0.01);
  }
  EXPECT_EQ(xy[xy.size() - 2], 20);
  EXPECT_EQ(xy[xy.size() - 1], 0);
}

TEST(ShapeState, SegmentsAndCurrentPoint) {
  struct Row {
    const char* what;
    void (*build)(Shape&);
    const char* want;
  } rows[] = {
      {"relative lines from a move, closed",
       [](Shape& s) {
         s.move(10, 10, false);
         double pts[] = {10, 0, 0, 10};
         s.line(pts, 2, true);
         s.close();
       },
       "M 0 0 | M 10 10 | L 20 10 | L 20 20 | Z | M 20 20"},
      {"hline and vline, relative, from 0x0",
       [](Shape& s) {
         s.hvline(5, true, true);
         s.hvline(5, true, false);
         s.hvline(1, false, true);
       },
       "M 0 0 | L 5 0 | L 5 5 | L 1 5"},
      {"the smooth cubic reflects the last control point through the current point",
       [](Shape& s) {
         double c[] = {0, 0, 10, 0, 10, 10};
         s.curve(c, 3, false);
         double v[] = {20, 20, 20, 10};
         s.curv(v, 2, false);
       },
       "M 0 0 | C 0 0 10 0 10 10 | C 10 20 20 20 20 10"},
      {"a smooth quadratic with no curve before uses the current point",
       [](Shape& s) {
         double q[] = {10, 10};
         s.qcurv(q, 1, false);
       },
       "M 0 0 | C 0 0 3.33 3.33 10 10"},
      {"a quadratic becomes the cubic with controls two thirds towards its control",
       [](Shape& s) {
         double q[] = {3, 6, 6, 0, 9, 6};
         s.qcurve(q, 3, false);  // one group; the trailing point is not drawn
         double r[] = {3, 0};
         s.qcurv(r, 1, true);    // reflects 3x6 through 6x0: 9x-6
       },
       "M 0 0 | C 2 4 4 4 6 0 | C 8 -4 9 -4 9 0"},
      {"relative curves add every written point to the start point",
       [](Shape& s) {
         s.move(5, 5, false);
         double c[] = {1, 0, 2, 0, 3, 3, 9, 9};
         s.curve(c, 4, true);  // the fourth point starts no complete group
         double v[] = {1, 1, 2, 2};
         s.curv(v, 2, true);   // reflection of 7x5 through 8x8 is 9x11
       },
       "M 0 0 | M 5 5 | C 6 5 7 5 8 8 | C 9 11 9 9 10 10"},
      {"a line segment ends the smoothness",
       [](Shape& s) {
         double c[] = {0, 0, 10, 0, 10, 10};
         s.curve(c, 3, false);
         s.hvline(20, false, true);
         double v[] = {30, 30, 30, 10};
         s.curv(v, 2, false);
       },
       "M 0 0 | C 0 0 10 0 10 10 | L 20 10 | C 20 10 30 30 30 10"},
      {"relative arc ends where its end point says",
       [](Shape& s) {
         s.move(10, 0, false);
         s.arc(0, 20, 10, 10, 0, true, false, true);
         double l[] = {1, 0};
         s.line(l, 1, true);
       },
       "M 0 0 | M 10 0 | C 15.52 0 20 4.48 20 10 | C 20 15.52 15.52 20 10 20 | L 11 20"},
  };
  for (const Row& r : rows) {
    Shape s;
    s.begin(true);
    r.build(s);
    EXPECT_EQ(segments(s.path), r.want) << r.what;
  }
}

}  // namespace
}  // namespace qel::view::backend::draw
