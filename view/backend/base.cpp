#include "view/backend/base.hpp"

#include <gtk/gtk.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <unordered_set>
#include <vector>

#include "datatypes/event.hpp"
#include "datatypes/image.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "runtime/api.hpp"
#include "datatypes/string.hpp"
#include "runtime/cycles.hpp"
#include "runtime/error.hpp"
#include "runtime/hooks.hpp"
#include "runtime/startup.hpp"
#include "view/backend/container.hpp"
#include "view/backend/draw/graphics.hpp"
#include "view/backend/draw/walker.hpp"
#include "view/backend/guard.hpp"
#include "view/backend/input.hpp"
#include "view/backend/loop.hpp"
#include "view/backend/windows.hpp"
#include "view/face.hpp"
#include "view/units.hpp"

namespace qel::view::backend::base {

namespace {

using window::Record;

// The draw target of a self-drawn face window (window memory DRAW_TARGET):
// the surface shown, and what of it waits to be painted again (its damage:
// the whole face, or a rectangle of it). A paint draws the damage again,
// in place, clipped to it (the face's drawing is told which rectangle it
// paints), and only that rectangle is drawn on the screen again.
struct Target {
  cairo_surface_t* surface = nullptr;
  int width = 0, height = 0;
  bool dirty = true;
  bool whole = true;                              // the damage is the whole face
  cairo_rectangle_int_t damage{0, 0, 0, 0};        // else this rectangle (pixels)
  const cairo_rectangle_int_t* painting = nullptr;  // while a part is painted: that part
  ~Target() {
    if (surface) cairo_surface_destroy(surface);
  }
};

// The live targets: still reachable when the process ends with windows up.
// (Made once and never destroyed, so that it outlives the static objects.)
std::unordered_set<Target*>& g_targets = *new std::unordered_set<Target*>();

Target* target(const Record& w) { return static_cast<Target*>(window::pointer(window::get(w, window::DRAW_TARGET))); }

// The face's size in pixels.
bool pixel_size(const Cell* face, int* width, int* height) {
  if (!units::read_pixels(face::facet(face, face::SIZE), width, height)) return false;
  return *width > 0 && *height > 0 && *width <= 32767 && *height <= 32767;
}

// Runs a face's drawing; an error of it is reported (printed, as a drawing
// of a window reports its dialect errors) and ends the drawing, never the
// caller. Other transfers go on.
void draw_reporting(draw::Context& ctx, const Cell* commands) {
  guard::Saved s = guard::save();
  u32 cycle_depth = cycles::depth();
  try {
    guard::open();
    draw::run(ctx, commands);
    guard::close(s);
  } catch (const Transfer& t) {
    if (t.code != THROW_ERROR) throw;
    runtime::rt.thrown = 0;
    api::Values v(2);
    if (stack::top > stack::bottom && type_of(stack::top - 1) == TYPE_ERROR) copy_cell(stack::top - 1, v[1]);
    s.restore();
    if (cycles::depth() > cycle_depth) cycles::pop_n(cycles::depth() - cycle_depth);
    if (type_of(v[1]) != TYPE_ERROR) return;
    std::string text = error::report(v[1]);
    string::load_at(reinterpret_cast<const u8*>(text.data()), u32(text.size()), v[0], string::Encoding::utf8);
    hooks::call_event_hooks(v[0], 1);
  }
}

int g_painting = 0;  // paints in progress (a face that asks to be painted while it paints waits)

// Windows whose self-drawn faces are painted at their next frame (record
// ids): one paint a frame, however many times they were asked for.
std::unordered_set<u32>& g_at_frame = *new std::unordered_set<u32>();

// Windows whose frame came while long work held their drawing back: painted
// when the event loop is next run (paint_waiting).
std::unordered_set<u32>& g_held = *new std::unordered_set<u32>();

// A frame callback's own note: whether it ran (else it was dropped with its
// widget, and the window waits no more).
struct FrameRequest {
  u32 id;
  bool ran;
};

// The frame clock's update phase, before GTK lays out and draws the frame:
// the window's faces that wait are painted into their surfaces, which the
// frame then copies to the screen.
gboolean on_frame(GtkWidget*, GdkFrameClock*, gpointer data) {
  auto* request = static_cast<FrameRequest*>(data);
  // While long work is pumped, another window's drawing actor waits (as
  // its timers do) for the next event loop.
  if (Record* w = window::find(request->id); w && !loop::may_act(*w)) {
    g_held.insert(request->id);
    return G_SOURCE_CONTINUE;
  }
  request->ran = true;
  g_at_frame.erase(request->id);
  guard::run([&] {
    if (Record* w = window::find(request->id)) paint_pending(*w);
  });
  return G_SOURCE_REMOVE;
}

void frame_request_done(gpointer data) {
  auto* request = static_cast<FrameRequest*>(data);
  if (!request->ran) g_at_frame.erase(request->id);
  delete request;
}

}  // namespace

void init(Record& w) {
  auto* t = new Target();
  g_targets.insert(t);
  window::set(w, window::DRAW_TARGET, window::keep_pointer(t));
}

bool self_drawn(const Record& w) { return target(w) != nullptr; }

void invalidate(Record& w) {
  if (Target* t = target(w)) {
    t->dirty = true;
    t->whole = true;
  }
}

void invalidate_area(Record& w, int x, int y, int width, int height) {
  Target* t = target(w);
  if (!t || width <= 0 || height <= 0) return;
  cairo_rectangle_int_t r{x, y, width, height};
  if (!t->dirty) {
    t->dirty = true;
    t->whole = false;
    t->damage = r;
  } else if (!t->whole) {
    cairo_region_t* u = cairo_region_create_rectangle(&t->damage);
    cairo_region_union_rectangle(u, &r);
    cairo_region_get_extents(u, &t->damage);
    cairo_region_destroy(u);
  }
}

bool painting_area(const Record& w, int* x, int* y, int* width, int* height) {
  const Target* t = target(w);
  if (!t || !t->painting) return false;
  *x = t->painting->x;
  *y = t->painting->y;
  *width = t->painting->width;
  *height = t->painting->height;
  return true;
}

void paint(Record& w) {
  Target* t = target(w);
  GtkWidget* box = windows::client(w);
  if (!t || !box || !container::is(box)) return;
  api::Values v(2);  // the face, its draw block
  const Cell* f = window::face(w);
  if (!f) return;
  copy_cell(f, v[0]);
  int width = 0, height = 0;
  if (!pixel_size(v[0], &width, &height)) {
    t->dirty = false;
    t->whole = true;
    if (t->surface) cairo_surface_destroy(t->surface);
    t->surface = nullptr;
    t->width = t->height = 0;
    container::set_surface(box, nullptr);
    return;
  }
  if (t->width != width || t->height != height) {
    // A new size: a new surface, painted whole.
    if (t->surface) cairo_surface_destroy(t->surface);
    t->surface = nullptr;
    t->width = width;
    t->height = height;
  }
  if (!t->surface) {
    t->surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    if (cairo_surface_status(t->surface) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(t->surface);
      t->surface = nullptr;
      fire(Err::internal_no_memory);
    }
    t->whole = true;
  }
  // What is painted: the whole face, or the part of it that changed.
  const cairo_rectangle_int_t whole{0, 0, width, height};
  cairo_rectangle_int_t area = whole;
  if (!t->whole) {
    cairo_region_t* r = cairo_region_create_rectangle(&whole);
    cairo_region_intersect_rectangle(r, &t->damage);
    cairo_region_get_extents(r, &area);
    cairo_region_destroy(r);
  }
  t->dirty = false;
  t->whole = true;
  if (area.width <= 0 || area.height <= 0) return;
  const bool part = area.x != 0 || area.y != 0 || area.width != width || area.height != height;
  cairo_surface_t* surface = cairo_surface_reference(t->surface);
  u32 id = w.id;
  ++g_painting;
  struct Done {
    cairo_surface_t* s;
    ~Done() {
      --g_painting;
      cairo_surface_destroy(s);
    }
  } done{surface};
  draw::Context ctx;
  ctx.catch_errors = true;
  try {
    draw::begin_window(ctx, surface, u32(width), u32(height), v[0], part ? &area : nullptr);
    if (const Cell* d = face::facet(v[0], face::DRAW); d && type_of(d) == TYPE_BLOCK) {
      copy_cell(d, v[1]);
      draw_reporting(ctx, v[1]);
    } else if (face::is_type(v[0], "base") || face::is_type(v[0], "rich-text")) {
      // The actor draws into the context the window holds while the event
      // runs, and may ask which part of the face it paints.
      i32 pointer = window::keep_pointer(&ctx);
      window::set(w, window::DRAW_CONTEXT, pointer);
      struct Painting {
        u32 id;
        Painting(u32 i, Target* t, const cairo_rectangle_int_t* part) : id(i) { t->painting = part; }
        ~Painting() {
          if (Record* again = window::find(id))
            if (Target* now = target(*again)) now->painting = nullptr;
        }
      } painting(id, t, part ? &area : nullptr);
      messages::Message m;
      m.window = id;
      m.code = messages::PAINT;
      input::make_event(m, 0, event::DRAWING);
      window::drop_pointer(pointer);
      if (Record* again = window::find(id)) window::set(*again, window::DRAW_CONTEXT, 0);
    }
  } catch (const draw::SilentStop&) {
  } catch (...) {
    draw::end(ctx);
    throw;
  }
  draw::end(ctx);
  cairo_surface_flush(surface);
  // (the drawing ran Qel code: the face may have gone, or have another
  // target now)
  Record* again = window::find(id);
  Target* now = again ? target(*again) : nullptr;
  if (!now || now->surface != surface) return;
  GtkWidget* b = windows::client(*again);
  if (!b || !container::is(b)) return;
  container::set_surface(b, now->surface, &area);
}

void paint_at_frame(Record& w) {
  GtkWidget* g = windows::widget(w);
  if (!g) return;
  if (!g_at_frame.insert(w.id).second) return;
  gtk_widget_add_tick_callback(g, on_frame, new FrameRequest{w.id, false}, frame_request_done);
}

void paint_waiting() {
  // (a window stays in g_at_frame while its frame callback is registered:
  // that frame finds nothing left to paint)
  std::vector<u32> ids(g_held.begin(), g_held.end());
  for (u32 id : g_at_frame)
    if (!g_held.count(id)) ids.push_back(id);
  g_held.clear();
  for (u32 id : ids)
    guard::run([&] {
      if (Record* w = window::find(id)) paint_pending(*w);
    });
}

void paint_pending(Record& w) {
  std::vector<u32> ids;
  window::each([&](Record& r) {
    for (Record* p = &r; p; p = p->parent)
      if (p == &w) {
        if (Target* t = target(r); t && t->dirty) ids.push_back(r.id);
        break;
      }
  });
  for (u32 id : ids)
    if (Record* r = window::find(id)) {
      Target* t = target(*r);
      if (t && t->dirty) paint(*r);
    }
}

void release(Record& w) {
  i32 id = window::get(w, window::DRAW_TARGET);
  auto* t = static_cast<Target*>(window::pointer(id));
  g_targets.erase(t);
  delete t;
  window::drop_pointer(id);
  window::set(w, window::DRAW_TARGET, 0);
  if (GtkWidget* box = windows::client(w); box && container::is(box)) container::set_surface(box, nullptr);
}

Cell* image_of(Record& w) {
  paint(w);
  Target* t = target(w);
  if (!t || !t->surface) return make_none(stack::push());
  cairo_surface_flush(t->surface);
  std::vector<u32> pixels(std::size_t(t->width) * std::size_t(t->height));
  draw::pixels_from_surface(t->surface, pixels.data(), u32(t->width), u32(t->height));
  return image::push_from_pixels(u32(t->width), u32(t->height), pixels.data());
}

void draw_face() {
  const Cell* h = face::handle_of(api::arg(0));
  Record* w = h ? window::from_handle(h) : nullptr;
  auto* ctx = w ? static_cast<draw::Context*>(window::pointer(window::get(*w, window::DRAW_CONTEXT))) : nullptr;
  if (ctx && type_of(api::arg(1)) == TYPE_BLOCK) {
    // Errors of this drawing go on to the caller (the actor).
    bool saved = ctx->catch_errors;
    ctx->catch_errors = false;
    try {
      draw::run(*ctx, api::arg(1));
    } catch (...) {
      ctx->catch_errors = saved;
      throw;
    }
    ctx->catch_errors = saved;
  }
  api::answer_none();
}

}  // namespace qel::view::backend::base
