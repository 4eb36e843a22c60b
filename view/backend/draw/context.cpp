#include "view/backend/draw/context.hpp"

#include <algorithm>
#include <cmath>

#include "datatypes/image.hpp"
#include "runtime/cycles.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"

namespace qel::view::backend::draw {

Context::~Context() { end(*this); }

// ---- beginning and ending -------------------------------------------------------------------

namespace {

void start(Context& ctx) {
  ctx.cr = cairo_create(ctx.surface);
  if (cairo_status(ctx.cr) != CAIRO_STATUS_SUCCESS) {
    end(ctx);
    fire(Err::internal_no_memory);
  }
  ctx.st = State{};
  ctx.st.pen.type = PAINT_SOLID;  // opaque black
  ctx.st.saved_pen_type = PAINT_SOLID;
  ctx.shadows.clear();
  ctx.clips.clear();
  ctx.cycle_depth = cycles::depth();
  ctx.shape.reset();
  apply_state(ctx);
}

// The image's pixels when its record holds all of them (nullptr otherwise).
u32* image_pixels(const Cell* img) {
  u32 rec = image::record(img);
  if (!rec) return nullptr;
  u64 bytes = u64(image::width(img)) * image::height(img) * 4;
  if (bytes == 0 || mem::buffer_of(rec)->used() < bytes) return nullptr;
  return image::pixels(rec);
}

}  // namespace

void begin_image(Context& ctx, const Cell* img) {
  end(ctx);
  copy_cell(img, ctx.image.get());
  u32 w = image::width(img), h = image::height(img);
  u32* px = image_pixels(img);
  if (!px) fire(Err::script_invalid_arg, img);
  ctx.surface = surface_from_pixels(px, w, h);
  if (!ctx.surface) fire(Err::internal_no_memory);
  ctx.image_target = true;
  ctx.grey_text = true;
  ctx.width = w;
  ctx.height = h;
  start(ctx);
}

void begin_surface(Context& ctx, cairo_surface_t* surface, u32 width, u32 height) {
  end(ctx);
  ctx.surface = cairo_surface_reference(surface);
  ctx.width = width;
  ctx.height = height;
  start(ctx);
}

void end(Context& ctx) {
  if (ctx.cr) {
    // Layers still open are painted onto the target: no group stays open.
    clip_pop_to(ctx, 0);
    cairo_destroy(ctx.cr);
    ctx.cr = nullptr;
  }
  if (ctx.surface) {
    if (ctx.image_target) {
      u32* px = image_pixels(ctx.image.get());
      if (px) pixels_from_surface(ctx.surface, px, ctx.width, ctx.height);
    }
    cairo_surface_destroy(ctx.surface);
    ctx.surface = nullptr;
  }
  ctx.image_target = false;
  ctx.grey_text = false;
  make_none(ctx.image.get());
  ctx.shape.reset();
  ctx.shadows.clear();
  ctx.st = State{};
}

void check_status(Context& ctx) {
  if (ctx.cr && cairo_status(ctx.cr) != CAIRO_STATUS_SUCCESS) fire(Err::internal_no_memory);
}

// ---- applying the state ---------------------------------------------------------------------

namespace {

void apply_dashes(Context& ctx) {
  const State& st = ctx.st;
  if (st.dashes.empty() || !(st.line_width > 0)) {
    cairo_set_dash(ctx.cr, nullptr, 0, 0);
    return;
  }
  // Dashes far below a device pixel draw a solid line: they would only cost
  // time (a long line cut into millions of pieces).
  double period = 0;
  for (double d : st.dashes) period += d;
  double scale = std::sqrt(std::fabs(st.matrix.xx * st.matrix.yy - st.matrix.xy * st.matrix.yx));
  if (!(period * st.line_width * scale >= 0.05)) {
    cairo_set_dash(ctx.cr, nullptr, 0, 0);
    return;
  }
  double stack_buf[256];
  std::vector<double> heap;
  double* d = stack_buf;
  if (st.dashes.size() > 256) {
    heap.resize(st.dashes.size());
    d = heap.data();
  }
  for (std::size_t i = 0; i < st.dashes.size(); ++i) d[i] = st.dashes[i] * st.line_width;
  cairo_set_dash(ctx.cr, d, int(st.dashes.size()), 0);
}

constexpr cairo_line_join_t kJoins[] = {CAIRO_LINE_JOIN_MITER, CAIRO_LINE_JOIN_BEVEL,
                                        CAIRO_LINE_JOIN_ROUND, CAIRO_LINE_JOIN_MITER};
constexpr cairo_line_cap_t kCaps[] = {CAIRO_LINE_CAP_BUTT, CAIRO_LINE_CAP_SQUARE, CAIRO_LINE_CAP_ROUND};

}  // namespace

void apply_matrix(Context& ctx) {
  cairo_t* cr = ctx.cr;
  if (!cr) return;
  // A singular matrix would put cairo into an error state for good: the
  // drawing goes on with nothing drawn until the matrix is usable again.
  ctx.degenerate = !matrix::invertible(&ctx.st.matrix);
  if (ctx.degenerate) {
    cairo_identity_matrix(cr);
  } else {
    cairo_set_matrix(cr, &ctx.st.matrix);
  }
  apply_dashes(ctx);  // their length is checked against the scale
}

void apply_state(Context& ctx) {
  cairo_t* cr = ctx.cr;
  if (!cr) return;
  const State& st = ctx.st;
  apply_matrix(ctx);
  cairo_set_line_width(cr, st.line_width);
  cairo_set_line_join(cr, kJoins[st.join & 3]);
  cairo_set_line_cap(cr, kCaps[st.cap < 3 ? st.cap : 0]);
  cairo_set_miter_limit(cr, 10.0);
  // Curves are flattened to within 0.02 pixels (cairo's default, 0.1, shows
  // on the edges of arcs as steps of several levels).
  cairo_set_tolerance(cr, 0.02);
  cairo_set_antialias(cr, st.anti_alias ? CAIRO_ANTIALIAS_DEFAULT : CAIRO_ANTIALIAS_NONE);
  if (ctx.grey_text) {
    // Sub-pixel text needs to know the screen's pixels: images get grey
    // levels.
    cairo_font_options_t* o = cairo_font_options_create();
    cairo_font_options_set_antialias(o, CAIRO_ANTIALIAS_GRAY);
    cairo_set_font_options(cr, o);
    cairo_font_options_destroy(o);
  }
}

// ---- pens and stroke settings ---------------------------------------------------------------

namespace {

// A pen installed while the line width is 0 stays hidden until the width
// grows again.
void hide_pen_if_no_width(State& st) {
  if (st.line_width == 0) {
    st.saved_pen_type = st.pen.type;
    st.pen.type = PAINT_OFF;
  }
}

}  // namespace

void set_pen_colour(Context& ctx, u32 colour, bool off) {
  State& st = ctx.st;
  if (off) {
    st.pen = Paint{};
    st.saved_pen_type = PAINT_OFF;
    return;
  }
  if (!st.text.font_colour) st.text.colour = colour;
  st.pen = Paint{};
  st.pen.type = PAINT_SOLID;
  st.pen.colour = colour;
  hide_pen_if_no_width(st);
}

void set_fill_colour(Context& ctx, u32 colour, bool off) {
  State& st = ctx.st;
  st.fill = Paint{};
  if (off) return;
  st.fill.type = PAINT_SOLID;
  st.fill.colour = colour;
}

void set_paint(Context& ctx, Paint&& paint, bool fill) {
  State& st = ctx.st;
  if (fill) {
    st.fill = std::move(paint);
    return;
  }
  st.pen = std::move(paint);
  if (st.pen.type == PAINT_OFF) {
    st.saved_pen_type = PAINT_OFF;
    return;
  }
  hide_pen_if_no_width(st);
}

void set_line_width(Context& ctx, double width) {
  State& st = ctx.st;
  if (!(width > 0)) width = 0;  // negative and NaN widths draw no outline
  width = finite(width);
  if (width == st.line_width) return;
  if (width == 0) {
    st.saved_pen_type = st.pen.type;
    st.pen.type = PAINT_OFF;
  } else if (st.line_width == 0) {
    st.pen.type = st.saved_pen_type;
  }
  st.line_width = width;
  if (ctx.cr) {
    cairo_set_line_width(ctx.cr, width);
    apply_dashes(ctx);
  }
}

void set_line_join(Context& ctx, Join join) {
  ctx.st.join = join;
  if (ctx.cr) cairo_set_line_join(ctx.cr, kJoins[join & 3]);
}

void set_line_cap(Context& ctx, Cap cap) {
  ctx.st.cap = cap;
  if (ctx.cr) cairo_set_line_cap(ctx.cr, kCaps[cap < 3 ? cap : 0]);
}

void set_line_pattern(Context& ctx, const double* dashes, u32 count) {
  std::vector<double>& d = ctx.st.dashes;
  d.assign(dashes, dashes + count);
  // Lengths all 0 make no pattern cairo could follow: a solid line.
  bool any = false;
  for (double& v : d) {
    v = finite(v < 0 ? 0 : v);
    any = any || v > 0;
  }
  if (!any) d.clear();
  if (ctx.cr) apply_dashes(ctx);
}

void set_anti_alias(Context& ctx, bool on) {
  ctx.st.anti_alias = on;
  if (ctx.cr) cairo_set_antialias(ctx.cr, on ? CAIRO_ANTIALIAS_DEFAULT : CAIRO_ANTIALIAS_NONE);
}

// ---- drawing state and clips ----------------------------------------------------------------

void state_push(Context& ctx, SavedState& saved) {
  saved.st = ctx.st;
  saved.clip_depth = ctx.clip_depth();
}

void state_pop(Context& ctx, SavedState& saved) {
  clip_pop_to(ctx, saved.clip_depth);
  ctx.st = std::move(saved.st);
  apply_state(ctx);
}

bool axis_aligned(const cairo_matrix_t& m) {
  const double eps = double(1e-6f);
  double a = std::fabs(m.xx), b = std::fabs(m.yx), c = std::fabs(m.xy), d = std::fabs(m.yy);
  return (b <= eps * a && c <= eps * d) || (a <= eps * b && d <= eps * c);
}

namespace {

// A cairo clip level: cairo_save, then the current path clipped by.
void push_cairo_clip(Context& ctx) {
  cairo_save(ctx.cr);
  ctx.clips.push_back(ClipLevel{});
  if (ctx.degenerate) {
    // Nothing can be seen through a clip made under a singular matrix.
    cairo_new_path(ctx.cr);
    cairo_rectangle(ctx.cr, 0, 0, 0, 0);
  }
  cairo_set_fill_rule(ctx.cr, CAIRO_FILL_RULE_WINDING);
  cairo_clip(ctx.cr);
}

}  // namespace

void clip_push_path(Context& ctx) {
  if (ctx.degenerate) {
    push_cairo_clip(ctx);
    return;
  }
  cairo_path_t* mask = cairo_copy_path(ctx.cr);
  if (mask->status != CAIRO_STATUS_SUCCESS) {
    cairo_path_destroy(mask);
    mask = nullptr;
  }
  cairo_new_path(ctx.cr);
  ctx.clips.push_back(ClipLevel{true, mask});
  cairo_push_group(ctx.cr);
}

void clip_push_rect(Context& ctx, double x0, double y0, double x1, double y1) {
  cairo_new_path(ctx.cr);
  double x = std::min(x0, x1), y = std::min(y0, y1);
  cairo_rectangle(ctx.cr, x, y, std::max(x0, x1) - x, std::max(y0, y1) - y);
  if (ctx.clip_depth() < MAX_RECT_CLIPS && axis_aligned(ctx.st.matrix)) {
    push_cairo_clip(ctx);
  } else {
    clip_push_path(ctx);
  }
}

void clip_pop(Context& ctx) {
  if (ctx.clips.empty()) return;
  clip_pop_to(ctx, ctx.clip_depth() - 1);
}

void clip_pop_to(Context& ctx, u32 depth) {
  if (ctx.clip_depth() <= depth) return;
  cairo_t* cr = ctx.cr;
  while (ctx.clip_depth() > depth) {
    ClipLevel level = ctx.clips.back();
    ctx.clips.pop_back();
    if (!level.layer) {
      cairo_restore(cr);
      continue;
    }
    // Back in the state of the push (its matrix is the mask path's), the
    // group is painted through the mask.
    cairo_pop_group_to_source(cr);
    cairo_new_path(cr);
    if (level.mask) {
      cairo_append_path(cr, level.mask);
      cairo_path_destroy(level.mask);
      cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
      cairo_fill(cr);
    }
    cairo_new_path(cr);
  }
  apply_state(ctx);
}

// ---- drawing ---------------------------------------------------------------------------------

namespace {

bool needs_box(const Paint& p, bool fit) {
  if (p.type == PAINT_FITTED && fit) return true;
  return (p.type == PAINT_FITTED || p.type == PAINT_GRADIENT) && p.gradient &&
         p.gradient->kind == GradientKind::diamond;
}

}  // namespace

void draw_current_path(Context& ctx, bool fit) { paint_current_path(ctx, true, fit, nullptr); }

void paint_current_path(Context& ctx, bool fill, bool fit, const double* given_box) {
  cairo_t* cr = ctx.cr;
  const State& st = ctx.st;
  bool filling = fill && st.fill.type != PAINT_OFF;
  if (ctx.degenerate || (!filling && st.pen.type == PAINT_OFF)) {
    cairo_new_path(cr);
    return;
  }
  double box[4] = {0, 0, 0, 0};
  if (given_box) {
    std::copy(given_box, given_box + 4, box);
  } else if ((filling && needs_box(st.fill, fit)) || needs_box(st.pen, fit)) {
    // The widened bounds: what the outline covers, or the path itself when
    // there is no width.
    if (st.line_width > 0) {
      cairo_stroke_extents(cr, &box[0], &box[1], &box[2], &box[3]);
    } else {
      cairo_path_extents(cr, &box[0], &box[1], &box[2], &box[3]);
    }
  }
  if (filling && set_source(ctx, st.fill, box, fit)) {
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
    cairo_fill_preserve(cr);
  }
  if (st.pen.type != PAINT_OFF && set_source(ctx, st.pen, box, fit)) cairo_stroke_preserve(cr);
  cairo_new_path(cr);
}

void draw_path(Context& ctx, const Path& path) {
  cairo_new_path(ctx.cr);
  path.emit(ctx.cr);
  draw_current_path(ctx, true);
}

}  // namespace qel::view::backend::draw
