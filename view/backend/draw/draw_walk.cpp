// The DRAW walk: each keyword's arguments checked by their datatypes, then
// its operation called (walker.hpp); and the entry points that begin a
// drawing on an image or a window's surface.
#include "view/backend/draw/walker.hpp"

#include <cmath>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/float.hpp"
#include "datatypes/image.hpp"
#include "datatypes/object.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/cycles.hpp"
#include "runtime/error.hpp"
#include "runtime/hooks.hpp"
#include "runtime/memory.hpp"
#include "view/backend/draw/arguments.hpp"
#include "view/backend/draw/commands.hpp"
#include "view/backend/draw/walk.hpp"
#include "view/backend/draw/words.hpp"
#include "view/face.hpp"

namespace qel::view::backend::draw {

namespace {

// Saves the drawing state and restores it however the scope ends.
class StateScope {
 public:
  explicit StateScope(Context& ctx) : ctx_(ctx) { state_push(ctx_, saved_); }
  ~StateScope() { state_pop(ctx_, saved_); }
  StateScope(const StateScope&) = delete;
  StateScope& operator=(const StateScope&) = delete;

 private:
  Context& ctx_;
  SavedState saved_;
};

class DrawWalk {
 public:
  DrawWalk(Context& ctx, const Cell* block) : ctx_(ctx), w_(block) {}

  void run() { each_value(w_, *this); }

  // The loop's handlers (walk.hpp).
  static constexpr bool lit_words = false;
  [[noreturn]] void fail(u32 i) { throw_draw_error(ctx_, w_.block(), i, false); }
  void nested(const Cell* block) { parse_draw(ctx_, block); }
  u32 keyword(u32 i, Word kw, bool /*lit*/) {
    switch (kw) {
      case W_PEN: return pen(i, false);
      case W_FILL_PEN: return pen(i, true);
      case W_BOX: return two_then_number(i, true, commands.box);
      case W_LINE: return point_run(i, 2, commands.line, false);
      case W_LINE_WIDTH:
        if (!w_.number(i + 1)) fail(i + 1);
        set_line_width(ctx_, number_of(w_.at(i + 1)));
        return i + 2;
      case W_LINE_JOIN: {
        if (w_.type_at(i + 1) != TYPE_WORD) fail(i + 1);
        Word j = w_.word(i + 1);
        set_line_join(ctx_, j == W_MITER_BEVEL ? JOIN_MITER_BEVEL
                            : j == W_ROUND     ? JOIN_ROUND
                            : j == W_BEVEL     ? JOIN_BEVEL
                                               : JOIN_MITER);
        return i + 2;
      }
      case W_LINE_CAP: {
        if (w_.type_at(i + 1) != TYPE_WORD) fail(i + 1);
        Word c = w_.word(i + 1);
        set_line_cap(ctx_, c == W_SQUARE ? CAP_SQUARE : c == W_ROUND ? CAP_ROUND : CAP_FLAT);
        return i + 2;
      }
      case W_LINE_PATTERN: return line_pattern(i);
      case W_TRIANGLE: {
        for (u32 k = 1; k <= 3; ++k) {
          if (!w_.point(i + k)) fail(i + k);
        }
        CommandArgs a = args(i);
        a.first = i + 1;
        a.last = i + 3;
        call(commands.triangle, a);
        return i + 4;
      }
      case W_POLYGON: return point_run(i, 3, commands.polygon, false);
      case W_CIRCLE: return two_then_number(i, false, commands.circle);
      case W_ELLIPSE: {
        if (!w_.point(i + 1)) fail(i + 1);
        if (!w_.point(i + 2)) fail(i + 2);
        CommandArgs a = args(i);
        a.first = i + 1;
        a.last = i + 2;
        call(commands.ellipse, a);
        return i + 3;
      }
      case W_ANTI_ALIAS:
        if (w_.type_at(i + 1) != TYPE_WORD) fail(i + 1);
        set_anti_alias(ctx_, w_.word(i + 1) != W_OFF);
        return i + 2;
      case W_FONT: {
        const Cell* v = w_.at(i + 1);
        if (w_.type_at(i + 1) == TYPE_WORD) v = word_value(v);
        if (!v || type_of(v) != TYPE_OBJECT) fail(i + 1);
        CommandArgs a = args(i);
        a.first = a.last = i + 1;
        call(commands.font, a);
        return i + 2;
      }
      case W_TEXT: {
        if (!w_.point(i + 1)) fail(i + 1);
        Type t = w_.type_at(i + 2);
        if (t != TYPE_STRING && t != TYPE_OBJECT) fail(i + 2);
        CommandArgs a = args(i);
        a.first = i + 1;
        a.last = i + 2;
        if (!commands.text(ctx_, a)) fail(i + 2);
        check_status(ctx_);
        return i + 3;
      }
      case W_ARC: {
        if (!w_.point(i + 1)) fail(i + 1);
        if (!w_.point(i + 2)) fail(i + 2);
        if (!w_.number(i + 3)) fail(i + 3);
        if (!w_.number(i + 4)) fail(i + 4);
        CommandArgs a = args(i);
        a.first = i + 1;
        a.last = i + 4;
        if (w_.word(i + 5) == W_CLOSED) {
          a.flag = true;
          a.last = i + 5;
        }
        call(commands.arc, a);
        return a.last + 1;
      }
      case W_CURVE: {
        for (u32 k = 1; k <= 3; ++k) {
          if (!w_.point(i + k)) fail(i + k);
        }
        CommandArgs a = args(i);
        a.first = i + 1;
        a.last = w_.point(i + 4) ? i + 4 : i + 3;
        call(commands.curve, a);
        return a.last + 1;
      }
      case W_SPLINE: return point_run(i, 2, commands.spline, true);
      case W_IMAGE: return image(i);
      case W_SHADOW: return shadow(i);
      case W_CLIP: return clip(i);
      case W_SHAPE: {
        if (w_.type_at(i + 1) != TYPE_BLOCK) fail(i + 1);
        Cell block = *w_.at(i + 1);
        parse_shape(ctx_, &block, true, false);
        return i + 2;
      }
      case W_ROTATE:
      case W_SCALE:
      case W_TRANSLATE:
      case W_SKEW:
      case W_TRANSFORM: return transformation(i, kw);
      case W_PUSH: {
        if (w_.type_at(i + 1) != TYPE_BLOCK) fail(i + 1);
        nested_with_state(i + 1, [] {});
        return i + 2;
      }
      case W_MATRIX:
      case W_RESET_MATRIX:
      case W_INVERT_MATRIX: return matrix_command(i, kw);
      default:
        fail(i);
    }
  }

 private:
  Context& ctx_;
  Walk w_;

  CommandArgs args(u32 keyword) const {
    CommandArgs a;
    a.node = w_.node();
    a.keyword = keyword;
    return a;
  }

  void call(Command cmd, const CommandArgs& a) {
    cmd(ctx_, a);
    check_status(ctx_);
  }

  // Consumes points from i on; answers the position after the last.
  u32 points_from(u32 i) const {
    while (w_.point(i)) ++i;
    return i;
  }

  // A point, a point (else a number), and an optional number: box's corners
  // and corner radius, circle's centre and radius and second radius.
  u32 two_then_number(u32 i, bool second_point, Command cmd) {
    if (!w_.point(i + 1)) fail(i + 1);
    if (!(second_point ? w_.point(i + 2) : w_.number(i + 2))) fail(i + 2);
    CommandArgs a = args(i);
    a.first = i + 1;
    a.last = w_.number(i + 3) ? i + 3 : i + 2;
    call(cmd, a);
    return a.last + 1;
  }

  // A keyword followed by at least `least` points (and, with closed, the
  // optional word `closed`): the command gets the first and the last point.
  // Too few points are reported at the first one (or in its place).
  u32 point_run(u32 i, u32 least, Command cmd, bool closed) {
    u32 end = points_from(i + 1);
    if (end < i + 1 + least) fail(i + 1);
    CommandArgs a = args(i);
    a.first = i + 1;
    a.last = end - 1;
    if (closed && w_.word(end) == W_CLOSED) {
      a.flag = true;
      ++end;
    }
    call(cmd, a);
    return end;
  }

  // A walk of the nested block at i, with the state saved around it and the
  // operation applied inside.
  template <class Apply>
  void nested_with_state(u32 block_pos, Apply apply) {
    StateScope scope(ctx_);
    apply();
    Cell nested = *w_.at(block_pos);
    parse_draw(ctx_, &nested);
  }


  // ---- pens and brushes -----------------------------------------------------------------------

  u32 pen(u32 i, bool fill) {
    u32 j = i + 1;
    switch (w_.word(j)) {
      case W_OFF:
        if (fill) set_fill_colour(ctx_, 0, true); else set_pen_colour(ctx_, 0, true);
        return j + 1;
      case W_LINEAR: return gradient(j, GradientKind::linear, fill);
      case W_RADIAL: return gradient(j, GradientKind::radial, fill);
      case W_DIAMOND: return gradient(j, GradientKind::diamond, fill);
      case W_PATTERN: return pattern(j, fill);
      case W_BITMAP: return bitmap(j, fill);
      default: break;
    }
    u32 colour;
    if (!w_.colour(j, &colour)) fail(j);
    if (fill) set_fill_colour(ctx_, colour, false); else set_pen_colour(ctx_, colour, false);
    return j + 1;
  }

  // Colour stops from k: a colour, then (when numbers_too) any number or
  // (otherwise) a float! that gives its offset.
  u32 stops_from(u32 k, bool numbers_too, std::vector<StopSpec>* stops) const {
    for (;;) {
      u32 colour;
      if (w_.colour(k, &colour)) {
        stops->push_back({colour, false, 0.0});
        ++k;
        continue;
      }
      bool offset = numbers_too ? w_.number(k) : w_.type_at(k) == TYPE_FLOAT && is_finite(w_.at(k));
      if (offset && !stops->empty()) {
        stops->back().has_offset = true;
        stops->back().offset = number_of(w_.at(k));
        ++k;
        continue;
      }
      return k;
    }
  }

  void check_stops(u32 gradient_pos, u32 at, const std::vector<StopSpec>& stops) {
    if (stops.size() < 2) fail(at);
    if (stops.size() > MAX_STOPS) fail(gradient_pos);
  }

  u32 gradient(u32 j, GradientKind kind, bool fill) {
    u32 k = j + 1;
    std::vector<StopSpec> stops;
    if (w_.point(k)) {
      // offset, start, stop, [angle [scale-x [scale-y]]], stops
      Point o = point_of(w_.at(k));
      if (w_.type_at(k + 1) != TYPE_INTEGER) fail(k + 1);
      if (w_.type_at(k + 2) != TYPE_INTEGER) fail(k + 2);
      double start = number_of(w_.at(k + 1)), stop = number_of(w_.at(k + 2));
      double opt[3] = {0.0, 1.0, 1.0};
      u32 m = k + 3;
      for (int n = 0; n < 3 && w_.number(m); ++n, ++m) opt[n] = number_of(w_.at(m));
      u32 end = stops_from(m, true, &stops);
      check_stops(j, end, stops);
      set_positional_gradient(ctx_, kind, stop_positions(stops), o.x, o.y, start, stop, opt[0],
                              opt[1], opt[2], fill);
      return end;
    }
    if (!w_.colour(k)) fail(k);
    k = stops_from(k, false, &stops);
    check_stops(j, k, stops);
    Gradient g;
    g.kind = kind;
    g.stops = stop_positions(stops);
    bool geometry = false;
    if (w_.point(k)) {
      geometry = true;
      Point p = point_of(w_.at(k));
      if (kind == GradientKind::radial) {
        if (!w_.number(k + 1)) fail(k + 1);
        double r = number_of(w_.at(k + 1));
        g.cx = g.fx = p.x;
        g.cy = g.fy = p.y;
        g.rx = g.ry = r;
      } else {
        if (!w_.point(k + 1)) fail(k + 1);
        Point q = point_of(w_.at(k + 1));
        if (kind == GradientKind::linear) {
          g.x0 = p.x;
          g.y0 = p.y;
          g.x1 = q.x;
          g.y1 = q.y;
        } else {
          // diamond: the centre, then the radii along x and y
          g.cx = g.fx = p.x;
          g.cy = g.fy = p.y;
          g.rx = q.x < 0 ? -q.x : q.x;
          g.ry = q.y < 0 ? -q.y : q.y;
        }
      }
      k += 2;
      if (kind != GradientKind::linear && w_.point(k)) {
        Point f = point_of(w_.at(k));
        g.fx = f.x;
        g.fy = f.y;
        ++k;
      }
    }
    switch (w_.word(k)) {
      case W_PAD: g.spread = Spread::pad; ++k; break;
      case W_REPEAT: g.spread = Spread::repeat; ++k; break;
      case W_REFLECT: g.spread = Spread::reflect; ++k; break;
      default: break;
    }
    set_gradient(ctx_, std::move(g), geometry, fill);
    return k;
  }

  // [start] [end] [tile mode] from k; answers the position after them.
  u32 tile_spec(u32 k, TileSpec* spec) const {
    if (w_.point(k)) {
      Point p = point_of(w_.at(k++));
      spec->has_start = true;
      spec->x0 = p.x;
      spec->y0 = p.y;
      if (w_.point(k)) {
        Point q = point_of(w_.at(k++));
        spec->has_end = true;
        spec->x1 = q.x;
        spec->y1 = q.y;
      }
    }
    switch (w_.word(k)) {
      case W_TILE: spec->mode = TileMode::tile; return k + 1;
      case W_FLIP_X: spec->mode = TileMode::flip_x; return k + 1;
      case W_FLIP_Y: spec->mode = TileMode::flip_y; return k + 1;
      case W_FLIP_XY: spec->mode = TileMode::flip_xy; return k + 1;
      case W_CLAMP: spec->mode = TileMode::clamp; return k + 1;
      default: return k;
    }
  }

  u32 pattern(u32 j, bool fill) {
    u32 k = j + 1;
    if (!w_.point(k)) fail(k);
    Point size = point_of(w_.at(k));
    TileSpec spec;
    k = tile_spec(k + 1, &spec);
    if (w_.type_at(k) != TYPE_BLOCK) fail(k);
    Cell block = *w_.at(k);
    set_pattern(ctx_, size.x, size.y, &block, spec, fill);
    return k + 1;
  }

  u32 bitmap(u32 j, bool fill) {
    u32 k = j + 1;
    api::Values img(1);
    Type t = w_.type_at(k);
    if (t == TYPE_WORD) {
      const Cell* v = word_value(w_.at(k));
      if (v && type_of(v) == TYPE_IMAGE) copy_cell(v, img[0]);
    } else if (t == TYPE_IMAGE) {
      copy_cell(w_.at(k), img[0]);
    } else {
      fail(k);
    }
    TileSpec spec;
    u32 end = tile_spec(k + 1, &spec);
    set_bitmap(ctx_, type_of(img[0]) == TYPE_IMAGE ? img[0] : nullptr, spec, fill);
    return end;
  }

  u32 line_pattern(u32 i) {
    std::vector<double> dashes;
    u32 k = i + 1;
    for (; w_.type_at(k) == TYPE_INTEGER; ++k) {
      i32 n = int_of(w_.at(k));
      if (n < 0) fail(k);  // a dash cannot be shorter than nothing
      dashes.push_back(double(n));
    }
    set_line_pattern(ctx_, dashes.data(), u32(dashes.size()));
    return k;
  }

  // ---- images, shadows and clips ----------------------------------------------------------------

  u32 image(u32 i) {
    u32 k = i + 1;
    const Cell* v = w_.at(k);
    if (w_.type_at(k) == TYPE_WORD) v = word_value(v);
    if (!v || type_of(v) != TYPE_IMAGE) fail(k);
    CommandArgs a = args(i);
    a.first = k++;
    u32 end = points_from(k);
    if (end > k) {
      a.extra[0] = i32(k);
      a.extra[1] = i32(end - 1);
    }
    k = end;
    if (w_.word(k) != W_BORDER && w_.word(k) != W_CROP && w_.colour(k)) {
      a.extra[2] = i32(k++);
    }
    if (w_.word(k) == W_BORDER) {
      a.flag = true;
      ++k;
    } else if (w_.word(k) == W_CROP) {
      if (!w_.point(k + 1)) fail(k + 1);
      if (!w_.point(k + 2)) fail(k + 2);
      a.extra[3] = i32(k + 1);
      k += 3;
    }
    a.last = k - 1;
    if (!commands.image(ctx_, a)) {
      Cell img = *w_.at(a.first);
      if (type_of(&img) == TYPE_WORD) img = *word_value(&img);
      fire(Err::internal_no_memory, &img);
    }
    check_status(ctx_);
    return k;
  }

  u32 shadow(u32 i) {
    u32 k = i + 1;
    CommandArgs a = args(i);
    if (w_.word(k) == W_OFF) {
      a.word = symbol_of_word(W_OFF);
      a.first = a.last = k;
      call(commands.shadow, a);
      return k + 1;
    }
    if (w_.type_at(k) != TYPE_PAIR) fail(k);
    a.first = k++;
    if (w_.type_at(k) == TYPE_INTEGER) {
      a.extra[0] = i32(k++);
      if (w_.type_at(k) == TYPE_INTEGER) a.extra[1] = i32(k++);
    }
    Type t = w_.type_at(k);
    if (t == TYPE_TUPLE || t == TYPE_WORD) {
      if (!w_.colour(k)) fail(k);
      a.extra[2] = i32(k++);
      if (w_.word(k) == W_INSET) {
        a.flag = true;
        ++k;
      }
    }
    a.last = k - 1;
    call(commands.shadow, a);
    return k;
  }

  u32 clip(u32 i) {
    u32 k = i + 1;
    CommandArgs a = args(i);
    if (w_.point(k)) {
      if (!w_.point(k + 1)) fail(k + 1);
      a.flag = true;
      a.first = k;
      a.last = k + 1;
      k += 2;
    } else if (w_.type_at(k) == TYPE_BLOCK) {
      Cell block = *w_.at(k);
      parse_shape(ctx_, &block, false, false);
      a.first = a.last = k++;
    } else {
      fail(k);
    }
    a.word = symbol_of_word(W_REPLACE);
    switch (w_.word(k)) {
      case W_REPLACE: case W_INTERSECT: case W_UNION: case W_XOR: case W_EXCLUDE:
        a.word = symbol_of_word(w_.word(k));
        ++k;
        break;
      default: break;
    }
    if (w_.type_at(k) == TYPE_BLOCK) {
      nested_with_state(k, [&] { call(commands.clip, a); });
      return k + 1;
    }
    call(commands.clip, a);
    return k;
  }

  // ---- transformations --------------------------------------------------------------------------

  // The optional 'pen or 'fill-pen target at k; answers the position after it.
  u32 target_at(u32 k, Target* target) const {
    *target = TARGET_DRAWING;
    if (w_.type_at(k) != TYPE_LIT_WORD) return k;
    Word w = word_of(w_.at(k));
    if (w == W_PEN) *target = TARGET_PEN;
    else if (w == W_FILL_PEN) *target = TARGET_FILL;
    else return k;
    return k + 1;
  }

  u32 transformation(u32 i, Word kw) {
    CommandArgs a = args(i);
    u32 k = target_at(i + 1, &a.target);
    Command cmd = nullptr;
    switch (kw) {
      case W_ROTATE:
        if (!w_.number(k)) fail(k);
        a.first = a.last = k++;
        if (w_.point(k)) a.extra[0] = i32(a.last = k++);
        cmd = commands.rotate;
        break;
      case W_SCALE:
        if (!w_.scale(k)) fail(k);
        if (!w_.scale(k + 1)) fail(k + 1);
        a.first = k;
        a.last = k + 1;
        k += 2;
        if (w_.point(k)) a.last = k++;
        cmd = commands.scale;
        break;
      case W_TRANSLATE:
        if (!w_.point(k)) fail(k);
        a.first = a.last = k++;
        cmd = commands.translate;
        break;
      case W_SKEW:
        if (!w_.number(k)) fail(k);
        a.first = a.last = k++;
        if (w_.number(k)) a.last = k++;
        if (w_.point(k)) a.last = k++;
        cmd = commands.skew;
        break;
      default:  // transform: [centre] angle scale-x scale-y translation
        a.first = k;
        if (w_.point(k)) ++k;
        if (!w_.number(k)) fail(k);
        if (!w_.scale(k + 1)) fail(k + 1);
        if (!w_.scale(k + 2)) fail(k + 2);
        if (!w_.point(k + 3)) fail(k + 3);
        a.extra[0] = i32(k + 1);
        a.last = k + 3;
        k += 4;
        cmd = commands.transform;
        break;
    }
    if (w_.type_at(k) == TYPE_BLOCK) {
      nested_with_state(k, [&] { call(cmd, a); });
      return k + 1;
    }
    call(cmd, a);
    return k;
  }

  u32 matrix_command(u32 i, Word kw) {
    CommandArgs a = args(i);
    u32 k = target_at(i + 1, &a.target);
    if (kw == W_RESET_MATRIX || kw == W_INVERT_MATRIX) {
      call(kw == W_RESET_MATRIX ? commands.reset_matrix : commands.invert_matrix, a);
      return k;
    }
    if (w_.type_at(k) != TYPE_BLOCK) fail(k);
    const Cell* b = w_.at(k);
    u32 node = series_node(b);
    i32 from = series_index(b) < 0 ? 0 : series_index(b);
    i32 n = i32(mem::buffer_of(node)->used() / sizeof(Cell)) - from;
    bool ok = n == 6;
    for (i32 m = 0; ok && m < 6; ++m) ok = is_number(mem::buffer_of(node)->cells() + from + m);
    if (!ok) fail(k - 1);
    for (i32 m = 0; m < 6; ++m) {
      if (!is_finite(mem::buffer_of(node)->cells() + from + m)) {
        Cell inner = *b;  // the number is reported in its own block
        throw_draw_error(ctx_, &inner, u32(from + m), false);
      }
    }
    a.first = a.last = k;
    call(commands.matrix, a);
    return k + 1;
  }
};

}  // namespace

void parse_draw(Context& ctx, const Cell* block) {
  init_words();
  cycles::Scope entry(checked_node(ctx, block));
  DrawWalk(ctx, block).run();
}

bool run(Context& ctx, const Cell* commands) {
  if (type_of(commands) != TYPE_BLOCK) return true;
  api::Values mark(0);  // a quiet stop leaves the stack as it found it
  try {
    parse_draw(ctx, commands);
    check_status(ctx);
    return true;
  } catch (const SilentStop&) {
    return false;
  }
}

void draw_image(const Cell* image, const Cell* commands) {
  if (type_of(image) != TYPE_IMAGE || !image::width(image) || !image::height(image)) return;
  if (type_of(commands) != TYPE_BLOCK || block::length_from_index(commands) <= 0) return;
  Context ctx;
  begin_image(ctx, image);
  run(ctx, commands);
  end(ctx);
}

void begin_window(Context& ctx, cairo_surface_t* surface, u32 width, u32 height, const Cell* face_in,
                  const cairo_rectangle_int_t* area) {
  begin_surface(ctx, surface, width, height);
  api::Values v(2);  // the face, a block holding the text command's arguments
  Cell* face = copy_cell(face_in, v[0]);
  cairo_t* cr = ctx.cr;
  if (area) {
    // Below every clip the drawing makes (each saves the state, and gives
    // it back).
    cairo_rectangle(cr, area->x, area->y, area->width, area->height);
    cairo_clip(cr);
  }
  // The background: the face's colour, or fully transparent.
  const Cell* colour = view::face::facet(face, view::face::COLOR);
  u32 c = 0xFF000000u;
  if (colour && type_of(colour) == TYPE_TUPLE) c = colour_of_tuple(colour);
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  set_source_colour(cr, c);
  cairo_paint(cr);
  cairo_restore(cr);
  // The face's image, scaled to the face's size.
  const Cell* img = view::face::facet(face, view::face::IMAGE);
  const Cell* size = view::face::facet(face, view::face::SIZE);
  if (img && type_of(img) == TYPE_IMAGE && image::record(img) && size && is_point(size)) {
    u32 w = image::width(img), h = image::height(img);
    Point sz = point_of(size);
    cairo_surface_t* s = surface_from_pixels(image::pixels(image::record(img)), w, h);
    if (!s) fire(Err::internal_no_memory);
    if (sz.x > 0 && sz.y > 0) {
      cairo_save(cr);
      cairo_scale(cr, sz.x / w, sz.y / h);
      cairo_set_source_surface(cr, s, 0, 0);
      cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
      cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);  // edges do not fade
      cairo_rectangle(cr, 0, 0, w, h);
      cairo_fill(cr);
      cairo_restore(cr);
    }
    cairo_surface_destroy(s);
  }
  // The face's own text, for a face that is no window.
  const Cell* text = view::face::facet(face, view::face::TEXT);
  if (view::face::is_type(face, "window") || !text || type_of(text) != TYPE_STRING) return;
  constexpr u32 FONT_COLOR = 4;  // font! words: name size style angle color ...
  const Cell* font_colour = view::face::facet(view::face::facet(face, view::face::FONT), FONT_COLOR);
  // (The system's window-text colour, on Linux, is black.)
  ctx.st.text.colour = font_colour && type_of(font_colour) == TYPE_TUPLE ? colour_of_tuple(font_colour) : 0;
  block::make_at(v[1], 2);
  Cell origin;
  pair::make_at(&origin, 0, 0);
  block::append_copy(v[1], &origin);
  block::append_copy(v[1], v[0]);
  CommandArgs a;
  a.node = series_node(v[1]);
  a.keyword = a.first = 0;
  a.last = 1;
  a.flag = true;  // the face's own text: its background is painted already
  try {
    commands.text(ctx, a);
  } catch (const SilentStop&) {
  }
  ctx.st.text.colour = 0;
}

}  // namespace qel::view::backend::draw
