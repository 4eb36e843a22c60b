#include "view/backend/draw/graphics.hpp"

#include <cmath>
#include <cstring>

#include "datatypes/tuple.hpp"

namespace qel::view::backend::draw {

u32 colour_of_tuple(const Cell* t, bool* has_alpha) {
  u32 n = tuple::count(t);
  u32 c = u32(tuple::byte(t, 0)) | u32(tuple::byte(t, 1)) << 8 | u32(tuple::byte(t, 2)) << 16;
  if (n > 3) c |= u32(tuple::byte(t, 3)) << 24;
  if (has_alpha) *has_alpha = n > 3;
  return c;
}

namespace matrix {

namespace {
constexpr double DEGREES = M_PI / 180.0;
}

void identity(cairo_matrix_t* m) { cairo_matrix_init_identity(m); }

void multiply(cairo_matrix_t* m, const cairo_matrix_t* op, bool prepend) {
  cairo_matrix_t r;
  if (prepend) {
    cairo_matrix_multiply(&r, op, m);
  } else {
    cairo_matrix_multiply(&r, m, op);
  }
  *m = r;
}

void translate(cairo_matrix_t* m, double x, double y, bool prepend) {
  cairo_matrix_t op;
  cairo_matrix_init_translate(&op, x, y);
  multiply(m, &op, prepend);
}

void scale(cairo_matrix_t* m, double sx, double sy, double cx, double cy, bool prepend) {
  cairo_matrix_t op;
  cairo_matrix_init(&op, sx, 0, 0, sy, cx - sx * cx, cy - sy * cy);
  multiply(m, &op, prepend);
}

void rotate(cairo_matrix_t* m, double degrees, double cx, double cy, bool prepend) {
  double s = std::sin(degrees * DEGREES), c = std::cos(degrees * DEGREES);
  cairo_matrix_t op;
  // Translate by -centre, rotate, translate back.
  cairo_matrix_init(&op, c, s, -s, c, cx - c * cx + s * cy, cy - s * cx - c * cy);
  multiply(m, &op, prepend);
}

void skew(cairo_matrix_t* m, double x_degrees, double y_degrees, double cx, double cy, bool prepend) {
  double tx = std::tan(x_degrees * DEGREES), ty = std::tan(y_degrees * DEGREES);
  cairo_matrix_t op;
  cairo_matrix_init(&op, 1, ty, tx, 1, -cy * tx, -cx * ty);
  multiply(m, &op, prepend);
}

bool invertible(const cairo_matrix_t* m) {
  double det = m->xx * m->yy - m->yx * m->xy;
  return std::isfinite(det) && det != 0.0 && std::isfinite(m->x0) && std::isfinite(m->y0);
}

bool invert(cairo_matrix_t* m) {
  if (!invertible(m)) return false;
  cairo_matrix_t copy = *m;
  if (cairo_matrix_invert(&copy) != CAIRO_STATUS_SUCCESS) return false;
  *m = copy;
  return true;
}

}  // namespace matrix

cairo_surface_t* surface_from_pixels(const u32* pixels, u32 width, u32 height) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, int(width), int(height));
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    return nullptr;
  }
  cairo_surface_flush(s);
  u8* data = cairo_image_surface_get_data(s);
  int stride = cairo_image_surface_get_stride(s);
  for (u32 y = 0; y < height; ++y) {
    u32* row = reinterpret_cast<u32*>(data + std::size_t(y) * std::size_t(stride));
    const u32* src = pixels + std::size_t(y) * width;
    for (u32 x = 0; x < width; ++x) row[x] = premultiply(src[x]);
  }
  cairo_surface_mark_dirty(s);
  return s;
}

void pixels_from_surface(cairo_surface_t* s, u32* pixels, u32 width, u32 height) {
  cairo_surface_flush(s);
  const u8* data = cairo_image_surface_get_data(s);
  if (!data) return;
  int stride = cairo_image_surface_get_stride(s);
  u32 w = std::min<u32>(width, u32(cairo_image_surface_get_width(s)));
  u32 h = std::min<u32>(height, u32(cairo_image_surface_get_height(s)));
  for (u32 y = 0; y < h; ++y) {
    const u32* row = reinterpret_cast<const u32*>(data + std::size_t(y) * std::size_t(stride));
    u32* dst = pixels + std::size_t(y) * width;
    for (u32 x = 0; x < w; ++x) {
      u32 p = row[x];
      if (premultiply(dst[x]) != p) dst[x] = unpremultiply(p);
    }
  }
}

}  // namespace qel::view::backend::draw
