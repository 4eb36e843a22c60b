// Gradients, pattern brushes and bitmap brushes.
//
// Linear and radial gradients are cairo gradients; a gradient with its own
// geometry is made once, a fitted one for each shape from the shape's box.
// Diamond gradients (the colour follows the sum of the distances along the
// two axes, so that lines of one colour are diamonds) are cairo mesh
// patterns: rings of four straight-edged patches between the diamonds of two
// successive stops, made for each shape out to the diamond that covers it.
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

namespace qel::draw {

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

// ---- diamond gradients as meshes ---------------------------------------------------------------

u32 lerp_colour(u32 a, u32 b, double t) {
  u32 out = 0;
  for (int k = 0; k < 32; k += 8) {
    double ca = double((a >> k) & 0xFF), cb = double((b >> k) & 0xFF);
    out |= u32(std::lround(ca + (cb - ca) * t)) << k;
  }
  return out;
}

// The stops sorted and stretched to cover 0..1 with the colours the spread
// mode gives at the two ends.
std::vector<Stop> full_period(const Gradient& g) {
  std::vector<Stop> s = g.stops;
  std::stable_sort(s.begin(), s.end(), [](const Stop& a, const Stop& b) { return a.offset < b.offset; });
  const Stop first = s.front(), last = s.back();
  u32 c0 = first.colour, c1 = last.colour;
  if (g.spread == Spread::repeat) {
    double gap = (1.0 - last.offset) + first.offset;
    u32 wrap = gap > 0 ? lerp_colour(last.colour, first.colour, (1.0 - last.offset) / gap) : first.colour;
    c0 = c1 = wrap;
  }
  if (first.offset > 0) s.insert(s.begin(), Stop{0.0, c0});
  if (last.offset < 1) s.push_back(Stop{1.0, c1});
  return s;
}

struct Diamond {
  double cx, cy, rx, ry, fx, fy;
  // Vertex v (0 right, 1 bottom, 2 left, 3 top) of the diamond of level t:
  // its centre moves from the focal point (t = 0) to the centre (t = 1).
  void vertex(double t, int v, double* x, double* y) const {
    double ox = fx + (cx - fx) * t, oy = fy + (cy - fy) * t;
    static const int kDx[] = {1, 0, -1, 0}, kDy[] = {0, 1, 0, -1};
    *x = ox + kDx[v & 3] * rx * t;
    *y = oy + kDy[v & 3] * ry * t;
  }
};

void add_band(cairo_pattern_t* mesh, const Diamond& d, double ta, double tb, u32 ca, u32 cb) {
  if (!(tb > ta)) return;
  Rgba a = rgba_of(ca), b = rgba_of(cb);
  for (int q = 0; q < 4; ++q) {
    double x, y;
    cairo_mesh_pattern_begin_patch(mesh);
    d.vertex(ta, q, &x, &y);
    cairo_mesh_pattern_move_to(mesh, x, y);
    d.vertex(tb, q, &x, &y);
    cairo_mesh_pattern_line_to(mesh, x, y);
    d.vertex(tb, q + 1, &x, &y);
    cairo_mesh_pattern_line_to(mesh, x, y);
    d.vertex(ta, q + 1, &x, &y);
    cairo_mesh_pattern_line_to(mesh, x, y);
    cairo_mesh_pattern_set_corner_color_rgba(mesh, 0, a.r, a.g, a.b, a.a);
    cairo_mesh_pattern_set_corner_color_rgba(mesh, 1, b.r, b.g, b.b, b.a);
    cairo_mesh_pattern_set_corner_color_rgba(mesh, 2, b.r, b.g, b.b, b.a);
    cairo_mesh_pattern_set_corner_color_rgba(mesh, 3, a.r, a.g, a.b, a.a);
    cairo_mesh_pattern_end_patch(mesh);
  }
}

constexpr int MAX_PERIODS = 512;

// The mesh of the diamond gradient out to level t_max.
cairo_pattern_t* make_diamond(const Gradient& g, Diamond d, double t_max) {
  cairo_pattern_t* mesh = cairo_pattern_create_mesh();
  std::vector<Stop> s = full_period(g);
  int periods = g.spread == Spread::pad ? 1 : int(std::min<double>(std::ceil(t_max), MAX_PERIODS));
  if (periods < 1) periods = 1;
  for (int k = 0; k < periods; ++k) {
    bool mirrored = g.spread == Spread::reflect && (k & 1);
    for (std::size_t i = 0; i + 1 < s.size(); ++i) {
      if (mirrored) {
        add_band(mesh, d, k + 1 - s[i + 1].offset, k + 1 - s[i].offset, s[i + 1].colour, s[i].colour);
      } else {
        add_band(mesh, d, k + s[i].offset, k + s[i + 1].offset, s[i].colour, s[i + 1].colour);
      }
    }
  }
  // Past the last period (for pad, past level 1) the colour at the edge
  // goes on.
  u32 edge = g.spread == Spread::reflect && (periods & 1) == 0 ? s.front().colour : s.back().colour;
  add_band(mesh, d, double(periods), t_max + 1, edge, edge);
  return mesh;
}

// The diamond level that covers every corner of the box, given in user
// space, seen through brush space (inverse of the brush transform).
double diamond_reach(Diamond& d, const cairo_matrix_t& user_to_brush, const double box[4]) {
  // A focal point on or outside the diamond would make the levels stop
  // nesting: it is drawn in to just inside.
  double dx = (d.cx - d.fx) / d.rx, dy = (d.cy - d.fy) / d.ry;
  double n = std::fabs(dx) + std::fabs(dy);
  if (n > 0.95) {
    double k = 0.95 / n;
    d.fx = d.cx - (d.cx - d.fx) * k;
    d.fy = d.cy - (d.cy - d.fy) * k;
    n = 0.95;
  }
  double reach = 1.0;
  const double xs[] = {box[0], box[2]}, ys[] = {box[1], box[3]};
  for (double x : xs) {
    for (double y : ys) {
      double px = x, py = y;
      cairo_matrix_transform_point(&user_to_brush, &px, &py);
      double t = (std::fabs(px - d.fx) / d.rx + std::fabs(py - d.fy) / d.ry) / (1.0 - n);
      if (t == t) reach = std::max(reach, t);
    }
  }
  return std::min(reach, 1e6);
}

}  // namespace

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
      set_source_colour(cr, full_period(g).back().colour);
      return true;
    }
    double reach = diamond_reach(d, user_to_brush, box);
    made = PatternRef(make_diamond(g, d, reach));
    p = made.get();
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

void set_bitmap(Context& ctx, const Cell* img, const TileSpec& spec, bool fill) {
  u32 rec = img ? image::record(img) : 0;
  u32 w = img ? image::width(img) : 0, h = img ? image::height(img) : 0;
  if (!rec || !w || !h || mem::buffer_of(rec)->used() < u64(w) * h * 4) {
    set_paint(ctx, Paint{}, fill);
    return;
  }
  cairo_surface_t* s;
  if (ctx.image_target && image::record(ctx.image.get()) == rec) {
    // The image being drawn into: its current pixels are those of the
    // target, not yet written back.
    cairo_surface_flush(ctx.surface);
    s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, int(w), int(h));
    cairo_t* cr = cairo_create(s);
    cairo_set_source_surface(cr, ctx.surface, 0, 0);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_destroy(cr);
  } else {
    s = surface_from_pixels(image::pixels(rec), w, h);
  }
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
      u32 outer_depth;
      SavedState saved;
      // However the walk ends, the outer target, clips and state come back.
      ~Nested() {
        clip_pop_to(ctx, 0);
        cairo_destroy(ctx.cr);
        ctx.cr = outer;
        ctx.clip_depth = outer_depth;
        state_pop(ctx, saved);
      }
    } nested{ctx, ctx.cr, ctx.clip_depth, {}};
    state_push(ctx, nested.saved);
    ctx.cr = cairo_create(rec.s);
    ctx.clip_depth = 0;
    matrix::identity(&ctx.st.matrix);
    apply_state(ctx);
    parse_draw(ctx, block);
    clip_pop_to(ctx, 0);
    check_status(ctx);
  }
  set_image_paint(ctx, rec.s, width, height, spec, fill);
}

}  // namespace qel::draw
