// Gradients, pattern brushes and bitmap brushes.
//
// Linear and radial gradients are cairo gradients; a gradient with its own
// geometry is made once, a fitted one for each shape from the shape's box.
// Diamond gradients (the colour follows the sum of the distances along the
// two axes, so that lines of one colour are diamonds) are drawn for each
// shape into an image of the pixels it covers.
//
// Image brushes tile a source rectangle of an image or of a recording
// surface. cairo repeats, reflects or pads in both axes at once, so the
// tiles that mirror in one axis only are drawn once into a tile twice as
// large (mirrored copy beside or below) which then repeats.
#include <algorithm>
#include <cmath>

#include "datatypes/image.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "view/backend/draw/context.hpp"
#include "view/backend/draw/walker.hpp"

namespace qel::view::backend::draw {

// ---- colour stops -------------------------------------------------------------------------

std::vector<Stop> stop_positions(const std::vector<StopSpec>& specs) {
  std::vector<Stop> stops;
  stops.reserve(specs.size());
  double step = specs.size() > 1 ? 1.0 / double(specs.size() - 1) : 0.0;
  double running = 0.0;
  for (const StopSpec& s : specs) {
    if (s.has_offset) {
      running = s.offset;
      stops.push_back({s.offset, s.colour});
    } else {
      stops.push_back({running, s.colour});
      running += step;
    }
  }
  for (Stop& s : stops) s.offset = s.offset == s.offset ? std::clamp(s.offset, 0.0, 1.0) : 0.0;
  return stops;
}

namespace {

constexpr cairo_extend_t kExtend[] = {CAIRO_EXTEND_PAD, CAIRO_EXTEND_REPEAT, CAIRO_EXTEND_REFLECT};

void add_stops(cairo_pattern_t* p, const Gradient& g) {
  for (const Stop& s : g.stops) {
    Rgba c = rgba_of(s.colour);
    cairo_pattern_add_color_stop_rgba(p, s.offset, c.r, c.g, c.b, c.a);
  }
  cairo_pattern_set_extend(p, kExtend[int(g.spread)]);
}

cairo_pattern_t* make_linear(const Gradient& g, double x0, double y0, double x1, double y1) {
  cairo_pattern_t* p = cairo_pattern_create_linear(x0, y0, x1, y1);
  add_stops(p, g);
  return p;
}

// Radial gradients are circular (the dialect gives one radius).
cairo_pattern_t* make_radial(const Gradient& g, double cx, double cy, double r, double fx, double fy) {
  cairo_pattern_t* p = cairo_pattern_create_radial(fx, fy, 0, cx, cy, r < 0 ? -r : r);
  add_stops(p, g);
  return p;
}

// ---- diamond gradients -----------------------------------------------------------------------
//
// Drawn by our own pixel code: an image of the gradient over the device
// pixels the shape can touch, each pixel the colour at its centre. (cairo's
// mesh patterns, the vector way, rasterise with colours in steps of 8 and
// patches overdrawing their neighbours' edges: errors of 20 levels.)

// The level of a point: 0 at the focal point, 1 on the diamond, the sum of
// the distances along the axes in units of the radii. With a focal point,
// the diamond of level t is centred at f + (c - f) t.
struct Diamond {
  double cx, cy, rx, ry, fx, fy;
  double level(double px, double py) const {
    double a = (px - fx) / rx, b = (py - fy) / ry;
    double u = (cx - fx) / rx, v = (cy - fy) / ry;
    if (u == 0 && v == 0) return std::fabs(a) + std::fabs(b);
    // |a - u t| + |b - v t| = t: one of the four sign cases holds.
    double best = 0;
    for (int sx = -1; sx <= 1; sx += 2) {
      for (int sy = -1; sy <= 1; sy += 2) {
        double den = 1 + sx * u + sy * v;
        if (den <= 0) continue;
        double t = (sx * a + sy * b) / den;
        if (t >= 0 && sx * (a - u * t) >= -1e-9 && sy * (b - v * t) >= -1e-9) best = std::max(best, t);
      }
    }
    return best;
  }
};

// Colours of a gradient's levels 0..1 in LEVELS steps, premultiplied.
constexpr int LEVELS = 1024;

std::vector<u32> colour_table(const Gradient& g) {
  std::vector<Stop> s = g.stops;
  std::stable_sort(s.begin(), s.end(), [](const Stop& a, const Stop& b) { return a.offset < b.offset; });
  std::vector<u32> table(LEVELS + 1);
  std::size_t k = 0;
  for (int i = 0; i <= LEVELS; ++i) {
    double t = double(i) / LEVELS;
    while (k + 1 < s.size() && s[k + 1].offset <= t) ++k;
    u32 c;
    if (t <= s.front().offset) {
      c = s.front().colour;
    } else if (k + 1 >= s.size()) {
      c = s.back().colour;
    } else {
      double span = s[k + 1].offset - s[k].offset;
      double f = span > 0 ? (t - s[k].offset) / span : 1.0;
      c = 0;
      for (int shift = 0; shift < 32; shift += 8) {
        double a = double((s[k].colour >> shift) & 0xFF), b = double((s[k + 1].colour >> shift) & 0xFF);
        c |= u32(std::lround(a + (b - a) * f)) << shift;
      }
    }
    // The colour value (r g b transparency) as a premultiplied ARGB word.
    u32 alpha = 255 - (c >> 24);
    table[std::size_t(i)] = premultiply(alpha << 24 | (c & 0xFF) << 16 | (c & 0xFF00) | (c >> 16 & 0xFF));
  }
  return table;
}

double spread_level(double t, Spread spread) {
  if (!(t == t)) return 0;
  switch (spread) {
    case Spread::repeat: return t - std::floor(t);
    case Spread::reflect: {
      double m = std::fmod(std::fabs(t), 2.0);
      return m > 1 ? 2 - m : m;
    }
    default: return std::clamp(t, 0.0, 1.0);
  }
}

// The diamond gradient over the device pixels of the box; brush_to_user
// maps brush space to user space. Answers null when nothing shows.
cairo_pattern_t* make_diamond(Context& ctx, const Gradient& g, const Diamond& d,
                              const cairo_matrix_t& brush_to_user, const double box[4]) {
  int area[4];
  if (!device_area(ctx, box, area)) return nullptr;
  // device -> user -> brush
  cairo_matrix_t to_brush;
  cairo_get_matrix(ctx.cr, &to_brush);
  matrix::multiply(&to_brush, &brush_to_user, true);
  if (!matrix::invert(&to_brush)) return nullptr;
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, area[2], area[3]);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    fire(Err::internal_no_memory);
  }
  std::vector<u32> table = colour_table(g);
  u8* data = cairo_image_surface_get_data(s);
  int stride = cairo_image_surface_get_stride(s);
  for (int j = 0; j < area[3]; ++j) {
    u32* row = reinterpret_cast<u32*>(data + std::size_t(j) * std::size_t(stride));
    for (int i = 0; i < area[2]; ++i) {
      double x = area[0] + i + 0.5, y = area[1] + j + 0.5;
      cairo_matrix_transform_point(&to_brush, &x, &y);
      double t = spread_level(d.level(x, y), g.spread);
      row[i] = table[std::size_t(std::lround(t * LEVELS))];
    }
  }
  cairo_surface_mark_dirty(s);
  cairo_pattern_t* p = cairo_pattern_create_for_surface(s);
  cairo_surface_destroy(s);
  // user -> device -> the image's pixels
  cairo_matrix_t m;
  cairo_get_matrix(ctx.cr, &m);
  matrix::translate(&m, -area[0], -area[1], false);
  cairo_pattern_set_matrix(p, &m);
  cairo_pattern_set_filter(p, CAIRO_FILTER_NEAREST);
  cairo_pattern_set_extend(p, CAIRO_EXTEND_PAD);
  return p;
}

}  // namespace

bool device_area(Context& ctx, const double box[4], int area[4]) {
  double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
  for (int i = 0; i < 4; ++i) {
    double x = box[i & 1 ? 2 : 0], y = box[i & 2 ? 3 : 1];
    cairo_user_to_device(ctx.cr, &x, &y);
    x0 = std::min(x0, x);
    y0 = std::min(y0, y);
    x1 = std::max(x1, x);
    y1 = std::max(y1, y);
  }
  double cx0, cy0, cx1, cy1;
  cairo_clip_extents(ctx.cr, &cx0, &cy0, &cx1, &cy1);
  double ux[] = {cx0, cx1}, uy[] = {cy0, cy1};
  double dx0 = 1e300, dy0 = 1e300, dx1 = -1e300, dy1 = -1e300;
  for (double x : ux) {
    for (double y : uy) {
      double px = x, py = y;
      cairo_user_to_device(ctx.cr, &px, &py);
      dx0 = std::min(dx0, px);
      dy0 = std::min(dy0, py);
      dx1 = std::max(dx1, px);
      dy1 = std::max(dy1, py);
    }
  }
  x0 = std::max(std::floor(std::max(x0, dx0)) - 1, -COORD_LIMIT);
  y0 = std::max(std::floor(std::max(y0, dy0)) - 1, -COORD_LIMIT);
  x1 = std::min(std::ceil(std::min(x1, dx1)) + 1, COORD_LIMIT);
  y1 = std::min(std::ceil(std::min(y1, dy1)) + 1, COORD_LIMIT);
  if (!(x1 > x0) || !(y1 > y0)) return false;
  area[0] = int(x0);
  area[1] = int(y0);
  area[2] = int(x1 - x0);
  area[3] = int(y1 - y0);
  return true;
}

// ---- installing gradients -------------------------------------------------------------------

void set_gradient(Context& ctx, Gradient&& g, bool has_geometry, bool fill) {
  Paint p;
  p.type = has_geometry ? PAINT_GRADIENT : PAINT_FITTED;
  if (!has_geometry) {
    g.x0 = g.y0 = 0;
    g.x1 = 1;
    g.y1 = 0;
    g.cx = g.cy = 1;
    g.rx = g.ry = 1;
    g.fx = g.fy = 1;
  }
  // A fitted gradient keeps a pattern of its default geometry for the
  // shapes it is not fitted to.
  auto shared = std::make_shared<Gradient>(std::move(g));
  const Gradient& gg = *shared;
  if (gg.kind == GradientKind::linear) {
    p.pattern = PatternRef(make_linear(gg, gg.x0, gg.y0, gg.x1, gg.y1));
  } else if (gg.kind == GradientKind::radial) {
    p.pattern = PatternRef(make_radial(gg, gg.cx, gg.cy, gg.rx, gg.fx, gg.fy));
  }
  p.gradient = std::move(shared);
  set_paint(ctx, std::move(p), fill);
}

void set_positional_gradient(Context& ctx, GradientKind kind, std::vector<Stop>&& stops, double ox,
                             double oy, double start, double stop, double angle, double sx,
                             double sy, bool fill) {
  Gradient g;
  g.kind = kind;
  g.stops = std::move(stops);
  if (kind == GradientKind::linear) {
    g.x0 = ox + start;
    g.y0 = oy;
    g.x1 = ox + stop;
    g.y1 = oy;
  } else {
    g.cx = g.fx = ox;
    g.cy = g.fy = oy;
    g.rx = g.ry = std::fabs(stop - start);
  }
  Paint p;
  p.type = PAINT_GRADIENT;
  auto shared = std::make_shared<Gradient>(std::move(g));
  if (kind == GradientKind::linear) {
    p.pattern = PatternRef(make_linear(*shared, shared->x0, shared->y0, shared->x1, shared->y1));
  } else if (kind == GradientKind::radial) {
    p.pattern = PatternRef(make_radial(*shared, ox, oy, shared->rx, ox, oy));
  }
  p.gradient = std::move(shared);
  // The angle and the scales turn and stretch the gradient about its own
  // offset point.
  if (angle != 0.0) matrix::rotate(&p.brush, angle, ox, oy, true);
  if (sx != 1.0 || sy != 1.0) matrix::scale(&p.brush, sx, sy, ox, oy, true);
  set_paint(ctx, std::move(p), fill);
}

// ---- the source of a shape ---------------------------------------------------------------------

bool set_source(Context& ctx, const Paint& paint, const double box[4], bool fit) {
  cairo_t* cr = ctx.cr;
  switch (paint.type) {
    case PAINT_OFF:
      return false;
    case PAINT_SOLID:
      set_source_colour(cr, paint.colour);
      return true;
    case PAINT_IMAGE: {
      cairo_matrix_t m;
      cairo_matrix_init_translate(&m, paint.ox, paint.oy);
      matrix::multiply(&m, &paint.brush, false);
      if (!matrix::invert(&m)) return false;
      cairo_pattern_set_matrix(paint.pattern.get(), &m);
      cairo_set_source(cr, paint.pattern.get());
      return true;
    }
    default:
      break;
  }
  const Gradient& g = *paint.gradient;
  cairo_matrix_t m = paint.brush;  // brush space to user space
  double gx0 = g.x0, gy0 = g.y0, gx1 = g.x1, gy1 = g.y1;
  Diamond d{g.cx, g.cy, g.rx, g.ry, g.fx, g.fy};
  bool fitted = paint.type == PAINT_FITTED && fit;
  if (fitted) {
    double x1 = std::min(box[0], box[2]), x2 = std::max(box[0], box[2]);
    double y1 = std::min(box[1], box[3]), y2 = std::max(box[1], box[3]);
    double w = x2 - x1, h = y2 - y1;
    gx0 = gy0 = gy1 = 0;
    gx1 = w;
    double r = std::min(w, h) / 2;
    d = Diamond{w / 2, h / 2, r, r, w / 2, h / 2};
    matrix::translate(&m, x1, y1, true);
  }
  cairo_matrix_t user_to_brush = m;
  if (!matrix::invert(&user_to_brush)) return false;
  PatternRef made;
  cairo_pattern_t* p = paint.pattern.get();
  if (g.kind == GradientKind::diamond) {
    if (!(d.rx > 0) || !(d.ry > 0)) {
      // No diamond at all: everything lies past its edge.
      std::vector<Stop> stops = g.stops;
      set_source_colour(cr, std::max_element(stops.begin(), stops.end(), [](const Stop& a, const Stop& b) {
                              return a.offset < b.offset;
                            })->colour);
      return true;
    }
    // A focal point on or outside the diamond would leave levels without a
    // point: it is drawn in to just inside.
    double n = std::fabs((d.cx - d.fx) / d.rx) + std::fabs((d.cy - d.fy) / d.ry);
    if (n > 0.95) {
      d.fx = d.cx - (d.cx - d.fx) * 0.95 / n;
      d.fy = d.cy - (d.cy - d.fy) * 0.95 / n;
    }
    made = PatternRef(make_diamond(ctx, g, d, m, box));
    if (!made) return false;
    cairo_set_source(cr, made.get());
    return true;
  } else if (fitted) {
    made = PatternRef(g.kind == GradientKind::linear ? make_linear(g, gx0, gy0, gx1, gy1)
                                                     : make_radial(g, d.cx, d.cy, d.rx, d.cx, d.cy));
    p = made.get();
  }
  cairo_pattern_set_matrix(p, &user_to_brush);
  cairo_set_source(cr, p);
  return true;
}

// ---- image brushes ------------------------------------------------------------------------------

void set_image_paint(Context& ctx, cairo_surface_t* source, double width, double height,
                     const TileSpec& spec, bool fill) {
  auto cut = [](double v, double limit) { return v == v ? std::clamp(v, 0.0, limit) : 0.0; };
  double x0 = spec.has_start ? cut(spec.x0, width) : 0, y0 = spec.has_start ? cut(spec.y0, height) : 0;
  double x1 = spec.has_end ? cut(spec.x1, width) : width, y1 = spec.has_end ? cut(spec.y1, height) : height;
  double tw = x1 - x0, th = y1 - y0;
  if (!(tw > 0) || !(th > 0)) {
    // Nothing to tile: the brush goes off.
    set_paint(ctx, Paint{}, fill);
    return;
  }
  int mx = spec.mode == TileMode::flip_x || spec.mode == TileMode::flip_xy ? 2 : 1;
  int my = spec.mode == TileMode::flip_y || spec.mode == TileMode::flip_xy ? 2 : 1;
  cairo_surface_t* tile;
  if (cairo_surface_get_type(source) == CAIRO_SURFACE_TYPE_RECORDING) {
    cairo_rectangle_t r{0, 0, tw * mx, th * my};
    tile = cairo_recording_surface_create(CAIRO_CONTENT_COLOR_ALPHA, &r);
  } else {
    tile = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, int(std::ceil(tw)) * mx, int(std::ceil(th)) * my);
  }
  cairo_t* cr = cairo_create(tile);
  for (int i = 0; i < mx; ++i) {
    for (int j = 0; j < my; ++j) {
      cairo_save(cr);
      // Copy (i, j) of the tile: mirrored in x when i is 1, in y when j is 1.
      cairo_translate(cr, i ? 2 * tw : 0, j ? 2 * th : 0);
      cairo_scale(cr, i ? -1 : 1, j ? -1 : 1);
      cairo_rectangle(cr, 0, 0, tw, th);
      cairo_clip(cr);
      cairo_set_source_surface(cr, source, -x0, -y0);
      cairo_paint(cr);
      cairo_restore(cr);
    }
  }
  cairo_status_t status = cairo_status(cr);
  cairo_destroy(cr);
  Paint p;
  p.type = PAINT_IMAGE;
  p.pattern = PatternRef(cairo_pattern_create_for_surface(tile));
  cairo_surface_destroy(tile);
  if (status != CAIRO_STATUS_SUCCESS || cairo_pattern_status(p.pattern.get()) != CAIRO_STATUS_SUCCESS) {
    fire(Err::internal_no_memory);
  }
  cairo_pattern_set_extend(p.pattern.get(), spec.mode == TileMode::clamp ? CAIRO_EXTEND_PAD : CAIRO_EXTEND_REPEAT);
  cairo_pattern_set_filter(p.pattern.get(), CAIRO_FILTER_BILINEAR);
  p.ox = x0;
  p.oy = y0;
  set_paint(ctx, std::move(p), fill);
}

cairo_surface_t* image_surface(Context& ctx, const Cell* img) {
  u32 rec = image::record(img);
  u32 w = image::width(img), h = image::height(img);
  if (!(ctx.image_target && image::record(ctx.image.get()) == rec)) return surface_from_pixels(image::pixels(rec), w, h);
  // The image being drawn into: its current pixels are those of the
  // target, not yet written back.
  cairo_surface_flush(ctx.surface);
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, int(w), int(h));
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    return nullptr;
  }
  cairo_t* cr = cairo_create(s);
  cairo_set_source_surface(cr, ctx.surface, 0, 0);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_destroy(cr);
  return s;
}

void set_bitmap(Context& ctx, const Cell* img, const TileSpec& spec, bool fill) {
  u32 rec = img ? image::record(img) : 0;
  u32 w = img ? image::width(img) : 0, h = img ? image::height(img) : 0;
  if (!rec || !w || !h || mem::buffer_of(rec)->used() < u64(w) * h * 4) {
    set_paint(ctx, Paint{}, fill);
    return;
  }
  cairo_surface_t* s = image_surface(ctx, img);
  if (!s) fire(Err::internal_no_memory);
  struct Release {
    cairo_surface_t* s;
    ~Release() { cairo_surface_destroy(s); }
  } release{s};
  set_image_paint(ctx, s, double(w), double(h), spec, fill);
}

void set_pattern(Context& ctx, double width, double height, const Cell* block, const TileSpec& spec,
                 bool fill) {
  width = finite(width);
  height = finite(height);
  if (!(width > 0) || !(height > 0)) {
    set_paint(ctx, Paint{}, fill);
    return;
  }
  cairo_rectangle_t extents{0, 0, width, height};
  struct Recording {
    cairo_surface_t* s;
    ~Recording() { cairo_surface_destroy(s); }
  } rec{cairo_recording_surface_create(CAIRO_CONTENT_COLOR_ALPHA, &extents)};
  {
    struct Nested {
      Context& ctx;
      cairo_t* outer;
      std::vector<ClipLevel> outer_clips;
      SavedState saved;
      // However the walk ends, the outer target, clips and state come back.
      ~Nested() {
        clip_pop_to(ctx, 0);
        cairo_destroy(ctx.cr);
        ctx.cr = outer;
        ctx.clips = std::move(outer_clips);
        state_pop(ctx, saved);
      }
    } nested{ctx, ctx.cr, {}, {}};
    state_push(ctx, nested.saved);
    nested.outer_clips = std::move(ctx.clips);
    ctx.clips.clear();
    ctx.cr = cairo_create(rec.s);
    matrix::identity(&ctx.st.matrix);
    apply_state(ctx);
    parse_draw(ctx, block);
    clip_pop_to(ctx, 0);
    check_status(ctx);
  }
  set_image_paint(ctx, rec.s, width, height, spec, fill);
}

}  // namespace qel::view::backend::draw
