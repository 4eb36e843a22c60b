// The graphics device layer of the draw engine: colour values, the 3x2
// matrix helpers and the bridge between image! pixels and cairo surfaces.
//
// Colour values are 32 bits: bytes 0, 1 and 2 hold the colour tuple's first
// three components (red, green, blue), byte 3 its transparency (0 opaque,
// 255 fully transparent), as the language writes colours.
//
// Matrices are cairo_matrix_t and hold the same six numbers as the 3x2 row
// vector matrices the dialect speaks of: xx m11, yx m12, xy m21, yy m22, x0 dx,
// y0 dy. A product A x B applies A first, then B (cairo_matrix_multiply).
#pragma once

#include <cairo.h>

#include "runtime/cell.hpp"

namespace qel::view::backend::draw {

struct Rgba {
  double r, g, b, a;
};

inline Rgba rgba_of(u32 colour) {
  return {double(colour & 0xFF) / 255.0, double((colour >> 8) & 0xFF) / 255.0,
          double((colour >> 16) & 0xFF) / 255.0, double(255 - (colour >> 24)) / 255.0};
}

// The colour value of a tuple! (a 3-component tuple is opaque); *has_alpha
// tells whether it had a fourth component.
u32 colour_of_tuple(const Cell* tuple, bool* has_alpha = nullptr);

inline void set_source_colour(cairo_t* cr, u32 colour) {
  Rgba c = rgba_of(colour);
  cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a);
}

// Numbers read from DRAW blocks reach cairo finite and within the range its
// fixed-point coordinates hold: NaN becomes 0, the rest is clamped.
inline constexpr double COORD_LIMIT = 4.0e6;
inline double finite(double d) {
  if (!(d == d)) return 0.0;
  return d < -COORD_LIMIT ? -COORD_LIMIT : d > COORD_LIMIT ? COORD_LIMIT : d;
}

namespace matrix {

// Every helper combines the operation's matrix O with m: m x O, or O x m when
// prepend is set (the operation then acts in the coordinate system m sets up).
void identity(cairo_matrix_t* m);
void multiply(cairo_matrix_t* m, const cairo_matrix_t* op, bool prepend);
void translate(cairo_matrix_t* m, double x, double y, bool prepend);
// Scaling about the centre, which stays in place.
void scale(cairo_matrix_t* m, double sx, double sy, double cx, double cy, bool prepend);
// Rotation by degrees (clockwise on screen, y pointing down) about the centre.
void rotate(cairo_matrix_t* m, double degrees, double cx, double cy, bool prepend);
// Skew by the x and y angles in degrees about the centre.
void skew(cairo_matrix_t* m, double x_degrees, double y_degrees, double cx, double cy, bool prepend);
// Inverts m; a singular matrix answers false and is left as it was.
bool invert(cairo_matrix_t* m);
bool invertible(const cairo_matrix_t* m);

}  // namespace matrix

// ---- image pixels and cairo surfaces ----------------------------------------------------
//
// image! pixels are straight-alpha words 0xAARRGGBB; cairo's ARGB32 surfaces
// hold premultiplied words of the same layout.

// A new ARGB32 surface of the pixels, premultiplied; nullptr when cairo
// cannot make one.
cairo_surface_t* surface_from_pixels(const u32* pixels, u32 width, u32 height);
// Writes the surface's pixels back as straight alpha. A pixel whose
// premultiplied form is what the surface holds keeps its exact value, so
// that what was not drawn over loses no precision.
void pixels_from_surface(cairo_surface_t* surface, u32* pixels, u32 width, u32 height);

inline u32 premultiply(u32 p) {
  u32 a = p >> 24;
  if (a == 255) return p;
  if (a == 0) return 0;
  auto mul = [a](u32 c) { u32 t = c * a + 128; return (t + (t >> 8)) >> 8; };
  return a << 24 | mul((p >> 16) & 0xFF) << 16 | mul((p >> 8) & 0xFF) << 8 | mul(p & 0xFF);
}

inline u32 unpremultiply(u32 p) {
  u32 a = p >> 24;
  if (a == 255) return p;
  if (a == 0) return 0;
  auto div = [a](u32 c) { u32 v = (c * 255 + a / 2) / a; return v > 255 ? 255u : v; };
  return a << 24 | div((p >> 16) & 0xFF) << 16 | div((p >> 8) & 0xFF) << 8 | div(p & 0xFF);
}

}  // namespace qel::view::backend::draw
