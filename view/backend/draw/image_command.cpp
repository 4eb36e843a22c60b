// The `image` command: an image at a point, in a rectangle, or mapped onto
// a quadrilateral by a perspective map.
//
// The source is the image's pixels (for the image being drawn into, as drawn
// so far), cut by `crop`. Rectangles are drawn by cairo with its good
// filter, the image's edge pixels standing for what lies past them.
// Quadrilaterals (three or four points) go through our own projective
// rasteriser over the device pixels they can touch, and that raster fills
// the quadrilateral's outline, so its edges are anti-aliased as any figure's.
// The key colour and `border` are accepted and change nothing.
#include <algorithm>
#include <cmath>
#include <vector>

#include "datatypes/image.hpp"
#include "datatypes/image_perspective.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "view/backend/draw/commands.hpp"
#include "view/backend/draw/arguments.hpp"

namespace qel::view::backend::draw {

namespace {

struct SurfaceRef {
  cairo_surface_t* s = nullptr;
  ~SurfaceRef() {
    if (s) cairo_surface_destroy(s);
  }
};

// The source rectangle in image pixels and how far a cut left or top edge
// moves the destination.
struct Source {
  int x = 0, y = 0, w = 0, h = 0;
  double shift_x = 0, shift_y = 0;
};

// The crop rectangle from offset to offset + size, reordered; its left and
// top edges cut to 0 (moving the destination as much), its right and bottom
// edges cut to the image. False when nothing is left.
bool crop_source(const CommandArgs& a, int width, int height, Source* s) {
  s->w = width;
  s->h = height;
  if (a.extra[3] == NO_POS) return width > 0 && height > 0;
  Point o = point_of(a.at(a.extra[3])), z = point_of(a.at(a.extra[3] + 1));
  double x0 = std::round(std::min(o.x, o.x + z.x)), x1 = std::round(std::max(o.x, o.x + z.x));
  double y0 = std::round(std::min(o.y, o.y + z.y)), y1 = std::round(std::max(o.y, o.y + z.y));
  if (x1 <= 0 || y1 <= 0) return false;
  if (x0 < 0) {
    s->shift_x = -x0;
    x0 = 0;
  }
  if (y0 < 0) {
    s->shift_y = -y0;
    y0 = 0;
  }
  x1 = std::min(x1, double(width));
  y1 = std::min(y1, double(height));
  if (!(x1 > x0) || !(y1 > y0)) return false;
  *s = {int(x0), int(y0), int(x1 - x0), int(y1 - y0), s->shift_x, s->shift_y};
  return true;
}

// The source rectangle as a surface of its own (the image's when it is all
// of it). nullptr when cairo cannot make one.
cairo_surface_t* source_surface(Context& ctx, const Cell* img, const Source& src) {
  cairo_surface_t* whole = image_surface(ctx, img);
  if (!whole || (src.x == 0 && src.y == 0 && u32(src.w) == image::width(img) && u32(src.h) == image::height(img))) {
    return whole;
  }
  SurfaceRef release{whole};
  cairo_surface_t* part = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, src.w, src.h);
  if (cairo_surface_status(part) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(part);
    return nullptr;
  }
  cairo_t* cr = cairo_create(part);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(cr, whole, -src.x, -src.y);
  cairo_paint(cr);
  cairo_destroy(cr);
  return part;
}

// The source drawn into the rectangle at (x, y) of size w x h (negative
// sizes mirror it).
void draw_rect(Context& ctx, cairo_surface_t* s, const Source& src, double x, double y, double w, double h) {
  if (w == 0 || h == 0) return;
  cairo_t* cr = ctx.cr;
  cairo_pattern_t* p = cairo_pattern_create_for_surface(s);
  cairo_matrix_t m;
  cairo_matrix_init_scale(&m, src.w / w, src.h / h);
  cairo_matrix_translate(&m, -x, -y);
  cairo_pattern_set_matrix(p, &m);
  cairo_pattern_set_filter(p, CAIRO_FILTER_GOOD);
  cairo_pattern_set_extend(p, CAIRO_EXTEND_PAD);
  cairo_set_source(cr, p);
  cairo_pattern_destroy(p);
  cairo_new_path(cr);
  cairo_rectangle(cr, x, y, w, h);
  cairo_fill(cr);
}

// The source mapped onto the quadrilateral (user space, TL TR BR BL). A
// quadrilateral no rectangle maps onto draws nothing. False when memory
// runs out.
bool draw_quad(Context& ctx, cairo_surface_t* s, const Source& src, const double ux[4], const double uy[4]) {
  cairo_t* cr = ctx.cr;
  double dx[4], dy[4];
  for (int i = 0; i < 4; ++i) {
    dx[i] = ux[i];
    dy[i] = uy[i];
    cairo_user_to_device(cr, &dx[i], &dy[i]);
  }
  std::optional<perspective::Map> to_quad = perspective::image_to_quad(src.w, src.h, dx, dy);
  if (!to_quad) return true;
  std::optional<perspective::Map> to_image = perspective::inverse(*to_quad);
  if (!to_image) return true;
  double box[4] = {*std::min_element(ux, ux + 4), *std::min_element(uy, uy + 4), *std::max_element(ux, ux + 4),
                   *std::max_element(uy, uy + 4)};
  int area[4];
  if (!device_area(ctx, box, area)) return true;
  SurfaceRef raster{cairo_image_surface_create(CAIRO_FORMAT_ARGB32, area[2], area[3])};
  if (cairo_surface_status(raster.s) != CAIRO_STATUS_SUCCESS) return false;
  cairo_surface_flush(s);
  cairo_surface_flush(raster.s);
  perspective::render(reinterpret_cast<const u32*>(cairo_image_surface_get_data(s)),
                      cairo_image_surface_get_stride(s) / 4, src.w, src.h, *to_image,
                      reinterpret_cast<u32*>(cairo_image_surface_get_data(raster.s)),
                      cairo_image_surface_get_stride(raster.s) / 4, area[0], area[1], area[2], area[3]);
  cairo_surface_mark_dirty(raster.s);
  // The raster lies on device pixels: user -> device -> its pixels.
  cairo_pattern_t* p = cairo_pattern_create_for_surface(raster.s);
  cairo_matrix_t m;
  cairo_get_matrix(cr, &m);
  matrix::translate(&m, -area[0], -area[1], false);
  cairo_pattern_set_matrix(p, &m);
  cairo_pattern_set_filter(p, CAIRO_FILTER_NEAREST);
  cairo_pattern_set_extend(p, CAIRO_EXTEND_PAD);
  cairo_set_source(cr, p);
  cairo_pattern_destroy(p);
  cairo_new_path(cr);
  cairo_move_to(cr, ux[0], uy[0]);
  for (int i = 1; i < 4; ++i) cairo_line_to(cr, ux[i], uy[i]);
  cairo_close_path(cr);
  cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
  cairo_fill(cr);
  return true;
}

}  // namespace

namespace ops {

bool image(Context& ctx, const CommandArgs& a) {
  const Cell* img = a.at(a.first);
  if (type_of(img) == TYPE_WORD) img = word_value(img);
  int width = int(image::width(img)), height = int(image::height(img));
  u32 rec = image::record(img);
  // An image without pixels draws nothing.
  if (!rec || width < 1 || height < 1 || mem::buffer_of(rec)->used() < u64(width) * u64(height) * 4) return true;
  Source src;
  if (!crop_source(a, width, height, &src)) return true;
  if (ctx.degenerate) return true;
  SurfaceRef s{source_surface(ctx, img, src)};
  if (!s.s) return false;
  int points = a.extra[0] == NO_POS ? 0 : a.extra[1] - a.extra[0] + 1;
  if (points <= 2) {
    Point p = points ? point_of(a.at(a.extra[0])) : Point{0, 0};
    Point q = points == 2 ? point_of(a.at(a.extra[1])) : Point{p.x + src.w, p.y + src.h};
    draw_rect(ctx, s.s, src, p.x + src.shift_x, p.y + src.shift_y, q.x - p.x, q.y - p.y);
    return true;
  }
  double x[4], y[4];
  for (int i = 0; i < 3; ++i) {
    Point p = point_of(a.at(a.extra[0] + i));
    x[i] = p.x;
    y[i] = p.y;
  }
  if (points == 3) {
    x[3] = x[0];  // the bottom-left corner: under the first, level with the third
    y[3] = y[2];
  } else {
    Point p = point_of(a.at(a.extra[0] + 3));
    x[3] = p.x;
    y[3] = p.y;
  }
  return draw_quad(ctx, s.s, src, x, y);
}

}  // namespace ops

}  // namespace qel::view::backend::draw
