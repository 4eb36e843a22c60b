// The draw context: one drawing's target, its pens and brushes, its stroke
// settings, transformation, clips and the SHAPE figure being built.
//
// The context keeps its own drawing state (State) and cairo only follows it:
// after draw-begin and after every cairo_restore the state is applied to the
// cairo context again, so cairo's state is never the source of truth. The
// cairo save stack holds clips and nothing else. A clip level is one of two
// kinds, recorded in the level itself so that a pop always undoes what its
// push did: an axis-aligned rectangle (at a depth of 32 or less, while the
// matrix keeps rectangles upright) is cairo_save then cairo_clip, popped by
// cairo_restore; every other clip is a layer, a cairo group into which the
// drawing goes on, painted through its mask path onto what lies below when
// it is popped. Pushing the drawing state copies State (brushes are shared
// by reference); popping it restores the copy and pops the clips pushed
// since.
//
// Paint types: 0 off, 1 solid colour, 2 gradient with its own geometry, 3
// gradient fitted to each shape, 4 image brush (pattern or bitmap). A brush
// has its own transformation (`brush`: brush space to user space), which the
// transformation commands aimed at `pen` or `fill-pen` change.
#pragma once

#include <cairo.h>

#include <memory>
#include <vector>

#include "runtime/cell.hpp"
#include "runtime/roots.hpp"
#include "view/backend/draw/graphics.hpp"
#include "view/backend/draw/shape.hpp"

namespace qel::view::backend::draw {

// A counted reference to a cairo pattern.
class PatternRef {
 public:
  PatternRef() = default;
  explicit PatternRef(cairo_pattern_t* p) : p_(p) {}  // takes the reference given
  PatternRef(const PatternRef& o) : p_(o.p_ ? cairo_pattern_reference(o.p_) : nullptr) {}
  PatternRef(PatternRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  PatternRef& operator=(PatternRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~PatternRef() {
    if (p_) cairo_pattern_destroy(p_);
  }
  cairo_pattern_t* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  cairo_pattern_t* p_ = nullptr;
};

enum PaintType : u8 { PAINT_OFF = 0, PAINT_SOLID = 1, PAINT_GRADIENT = 2, PAINT_FITTED = 3, PAINT_IMAGE = 4 };
enum class GradientKind : u8 { linear, radial, diamond };
enum class Spread : u8 { pad, repeat, reflect };
enum class TileMode : u8 { tile, flip_x, flip_y, flip_xy, clamp };

struct Stop {
  double offset;
  u32 colour;
};

// A gradient in its own (brush) space. Linear: from (x0, y0) to (x1, y1).
// Radial and diamond: centre (cx, cy), radii (rx, ry), focal point (fx, fy),
// the centre when there is none. A fitted gradient is remade for each shape.
struct Gradient {
  GradientKind kind = GradientKind::linear;
  Spread spread = Spread::pad;
  std::vector<Stop> stops;
  double x0 = 0, y0 = 0, x1 = 1, y1 = 0;
  double cx = 1, cy = 1, rx = 1, ry = 1, fx = 1, fy = 1;
};

struct Paint {
  PaintType type = PAINT_OFF;
  u32 colour = 0;                            // solid colour
  std::shared_ptr<const Gradient> gradient;  // types 2 and 3
  PatternRef pattern;  // linear and radial gradients of type 2, image brushes
  double ox = 0, oy = 0;  // an image brush's tile origin in brush space
  cairo_matrix_t brush{1, 0, 0, 1, 0, 0};  // brush space to user space
};

// cairo's line joins and caps in the order the dialect numbers them.
enum Join : u8 { JOIN_MITER = 0, JOIN_BEVEL = 1, JOIN_ROUND = 2, JOIN_MITER_BEVEL = 3 };
enum Cap : u8 { CAP_FLAT = 0, CAP_SQUARE = 1, CAP_ROUND = 2 };

// Text settings the DRAW text commands read; the text engine owns their
// meaning.
struct TextState {
  u32 colour = 0;         // text colour
  u32 decorations = 0;    // underline, strike of the current font
  bool font_colour = false;  // the colour comes from the font (else it follows the pen)
  std::shared_ptr<void> format;  // the text format of the current font, or none
};

struct ShadowRecord {
  double dx = 0, dy = 0, blur = 0, spread = 0;
  u32 colour = 0;
  bool inset = false;
};

// What a state push saves and a state pop restores.
struct State {
  Paint pen, fill;
  PaintType saved_pen_type = PAINT_OFF;  // the pen type kept while the line width is 0
  double line_width = 1.0;
  Join join = JOIN_MITER;
  Cap cap = CAP_FLAT;
  std::vector<double> dashes;  // in units of the line width; empty: solid
  cairo_matrix_t matrix{1, 0, 0, 1, 0, 0};  // user space to the target
  bool anti_alias = true;
  TextState text;
  bool shadow_on = false;
};

// Text decoration flags of the current font (underline and strike the whole
// of a string drawn by `text`).
enum Decoration : u32 { DECO_UNDERLINE = 1, DECO_STRIKE = 2 };

// One pushed clip level: a rectangle clipped by cairo, or a layer with the
// path (in the user space of its push) it is masked by; no path: nothing of
// the layer shows.
struct ClipLevel {
  bool layer = false;
  cairo_path_t* mask = nullptr;
};
// Rectangle clips up to this depth may be cairo clips; deeper ones are layers.
inline constexpr u32 MAX_RECT_CLIPS = 32;

// A state push's record: the state and the clip depth at the push.
struct SavedState {
  State st;
  u32 clip_depth = 0;
};

struct Context {
  cairo_t* cr = nullptr;
  cairo_surface_t* surface = nullptr;  // the target
  State st;
  Shape shape;
  std::vector<ShadowRecord> shadows;  // in force while st.shadow_on
  bool catch_errors = false;  // errors are reported and stop the drawing (else raised)
  bool degenerate = false;    // the matrix is singular: nothing is drawn
  bool image_target = false;
  bool grey_text = false;     // text anti-aliased in grey levels (images), else as the desktop says
  std::vector<ClipLevel> clips;  // clips pushed and not popped, innermost last
  u32 cycle_depth = 0;        // the runtime's cycle stack when the drawing began
  roots::LocalCell image;     // the image drawn into (none for other targets)
  u32 width = 0, height = 0;  // of the target

  Context() = default;
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context();
  u32 clip_depth() const { return u32(clips.size()); }
};

// ---- beginning and ending a drawing ---------------------------------------------------

// Draws into an image!: its pixels are copied into a premultiplied surface,
// and written back by end. The image must have pixels. A surface cairo
// cannot make raises internal no-memory.
void begin_image(Context& ctx, const Cell* image);
// Draws onto a surface someone else owns (a window's backing surface).
void begin_surface(Context& ctx, cairo_surface_t* surface, u32 width, u32 height);
// Pops what is left open, writes an image target's pixels back, and releases
// the context's cairo objects. Safe to call twice; never raises.
void end(Context& ctx);
// Raises internal no-memory when cairo has stopped drawing on the context
// (it ran out of memory).
void check_status(Context& ctx);

// Applies the context's state to its cairo context.
void apply_state(Context& ctx);
// Applies only the matrix (and the dashes, which depend on its scale).
void apply_matrix(Context& ctx);

// ---- pens, brushes and stroke settings -------------------------------------------------

void set_pen_colour(Context& ctx, u32 colour, bool off);
void set_fill_colour(Context& ctx, u32 colour, bool off);
// Installs a brush as the pen or the fill (the pen's line-width rule applies).
void set_paint(Context& ctx, Paint&& paint, bool fill);
void set_line_width(Context& ctx, double width);
void set_line_join(Context& ctx, Join join);
void set_line_cap(Context& ctx, Cap cap);
// Dash lengths in units of the line width; none gives a solid line.
void set_line_pattern(Context& ctx, const double* dashes, u32 count);
void set_anti_alias(Context& ctx, bool on);

// ---- gradients, patterns and bitmaps ------------------------------------------------------

// The colour stops as written: a colour, with or without its own offset.
struct StopSpec {
  u32 colour;
  bool has_offset;
  double offset;
};
inline constexpr u32 MAX_STOPS = 256;

// The stop positions of the written stops: the default position advances by
// 1 / (n - 1) from 0; a stop with its own offset takes it, and so does the
// running position, without advancing.
std::vector<Stop> stop_positions(const std::vector<StopSpec>& specs);

// The stop-list form: with geometry, a type 2 gradient (linear: start and
// end in g; radial and diamond: centre, radii and focal point in g); without,
// a type 3 gradient fitted to each shape.
void set_gradient(Context& ctx, Gradient&& g, bool has_geometry, bool fill);
// The positional form: centre or start point (ox, oy), start and stop
// distances, rotation in degrees and scales about (ox, oy).
void set_positional_gradient(Context& ctx, GradientKind kind, std::vector<Stop>&& stops, double ox,
                             double oy, double start, double stop, double angle, double sx,
                             double sy, bool fill);

// A brush over a tile: an image surface or a recording surface of width x
// height, its source rectangle from start to end (cut to the size).
struct TileSpec {
  bool has_start = false, has_end = false;
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  TileMode mode = TileMode::tile;
};
void set_image_paint(Context& ctx, cairo_surface_t* tile, double width, double height,
                     const TileSpec& spec, bool fill);
// A new premultiplied surface of an image's pixels (it must have them all):
// for the image being drawn into, its pixels as drawn so far. nullptr when
// cairo cannot make one.
cairo_surface_t* image_surface(Context& ctx, const Cell* image);
// The device pixels (x, y, w, h) that the box (x1, y1, x2, y2, user space)
// can touch on the target within the clip, a pixel of margin around them;
// false when there are none.
bool device_area(Context& ctx, const double box[4], int area[4]);
// A bitmap brush over an image! (nullptr or an image without pixels: the
// pen or fill goes off).
void set_bitmap(Context& ctx, const Cell* image, const TileSpec& spec, bool fill);
// A pattern brush of the size whose tile is drawn by the DRAW block (walked
// by the walker's parse_draw on a recording surface).
void set_pattern(Context& ctx, double width, double height, const Cell* block, const TileSpec& spec,
                 bool fill);

// The paint as cairo's source for a shape whose widened bounds are the box
// (x1, y1)-(x2, y2) (fitted gradients are fitted to it; diamond gradients
// cover it). Answers false when nothing can be drawn with it.
// Without fit a type 3 gradient keeps its default geometry.
bool set_source(Context& ctx, const Paint& paint, const double box[4], bool fit);

// ---- drawing state and clips ------------------------------------------------------------

void state_push(Context& ctx, SavedState& saved);
void state_pop(Context& ctx, SavedState& saved);
// Pushes cairo's current path as a clip (winding fill, a layer) and clears
// the path.
void clip_push_path(Context& ctx);
// Pushes the rectangle between the corners (user space) as a clip.
void clip_push_rect(Context& ctx, double x0, double y0, double x1, double y1);
// Whether the matrix keeps axis-aligned rectangles axis-aligned (a quarter
// turn included), within float rounding.
bool axis_aligned(const cairo_matrix_t& m);
void clip_pop(Context& ctx);
// Pops clips until the clip depth is the one given.
void clip_pop_to(Context& ctx, u32 depth);

// ---- drawing ---------------------------------------------------------------------------------

// Fills (even-odd) then strokes cairo's current path with the context's
// brushes and clears the path; with fit, type 3 brushes are fitted to the
// path's widened bounds first.
void draw_current_path(Context& ctx, bool fit = true);
// The same with the choice of filling (a hollow figure is only stroked), and
// type 3 brushes fitted to the box given (x1, y1, x2, y2), or to the widened
// bounds when there is none.
void paint_current_path(Context& ctx, bool fill, bool fit, const double* box);
// The same for a SHAPE path.
void draw_path(Context& ctx, const Path& path);

}  // namespace qel::view::backend::draw
