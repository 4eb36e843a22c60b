#include "view/backend/windows.hpp"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "datatypes/image.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/string.hpp"
#include "datatypes/ownership.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/memory.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "view/backend/base.hpp"
#include "view/backend/display.hpp"
#include "view/backend/input.hpp"
#include "view/backend/loop.hpp"
#include "view/backend/procedures.hpp"
#include "view/backend/screens.hpp"
#include "view/backend/widget_items.hpp"
#include "view/backend/widgets.hpp"
#include "view/convert.hpp"
#include "view/face.hpp"
#include "view/glue.hpp"
#include "view/module.hpp"
#include "view/units.hpp"

namespace qel::view::backend::windows {

namespace {

using window::Class;
using window::Record;

constexpr const char* kRecordKey = "qel-window";
constexpr const char* kClientKey = "qel-client";

Preprocess g_preprocess = nullptr;

// ---- the class procedures ---------------------------------------------------------------

i64 default_procedure(Record&, const messages::Message&) { return -1; }

// QelFace: a static face takes the mouse while a button is down, and is hit
// by the mouse at all.
i64 face_procedure(Record& w, const messages::Message& m) {
  switch (m.code) {
    case messages::LBUTTONDOWN:
      if (GtkWidget* g = widget(w)) gtk_grab_add(g);
      return 0;
    case messages::LBUTTONUP:
      if (GtkWidget* g = widget(w)) gtk_grab_remove(g);
      return 0;
    case messages::NCHITTEST:
      return 1;  // the client area
    default:
      return -1;
  }
}

// QelCalendar: a click gives the calendar the keyboard focus first.
i64 calendar_procedure(Record& w, const messages::Message& m) {
  if (m.code == messages::LBUTTONDOWN)
    if (GtkWidget* g = widget(w)) gtk_widget_grab_focus(g);
  return -1;
}

Procedure g_procedures[window::CLASS_COUNT] = {
    default_procedure, default_procedure, default_procedure, default_procedure, default_procedure,
    default_procedure, default_procedure, default_procedure, default_procedure, default_procedure,
    default_procedure, default_procedure, face_procedure,    calendar_procedure, default_procedure,
    default_procedure,
};

// ---- widgets ------------------------------------------------------------------------------

// The cursors the cursor option made: the one made from an image, or the
// named one (kept with CURSOR_MARK).
void release_cursors(Record& w) {
  for (i32 slot : {window::CURSOR_IMAGE, window::CURSOR}) {
    i32 id = i32(u32(window::get(w, slot)) & ~window::CURSOR_MARK);
    if (void* p = window::pointer(id)) g_object_unref(p);
    window::drop_pointer(id);
    window::set(w, slot, 0);
  }
}

// The record goes with its widget, and what it held with it.
void on_destroy(GtkWidget*, gpointer id) {
  if (Record* w = window::find(GPOINTER_TO_UINT(id))) {
    release_cursors(*w);
    base::release(*w);
    widget_items::release(*w);
    loop::kill_timer(w->id);
    input::forget_window(w->id);
    procedures::forget(w->id);
    w->native = nullptr;
    window::destroy(w);
  }
}

// The widgets' layout done now (GTK does it at its next frame): what is
// drawn or read back matches the faces' last sizes.
void layout_now(GtkWidget* g) {
  GtkWidget* top = gtk_widget_get_toplevel(g);
  if (top && GTK_IS_CONTAINER(top) && gtk_widget_get_visible(top)) gtk_container_check_resize(GTK_CONTAINER(top));
}

Record* record_of_face(const Cell* face) {
  const Cell* h = face::handle_of(face);
  return h ? window::from_handle(h) : nullptr;
}

// Removes the face from the `parent` list of its font and para.
void leave_users(const Cell* face_in) {
  api::Values v(2);  // the face, a font or para
  copy_cell(face_in, v[0]);
  for (u32 facet : {face::FONT, face::PARA}) {
    const Cell* obj = face::facet(v[0], facet);
    if (!obj || type_of(obj) != TYPE_OBJECT) continue;
    copy_cell(obj, v[1]);
    u32 ctx = object::context_of(v[1]);
    i32 at = context::find_word(ctx, symbol::make("parent"), true);
    Cell* users = at < 0 ? nullptr : context::slot(ctx, u32(at));
    if (!users || type_of(users) != TYPE_BLOCK) continue;
    u32 node = series_node(users);
    u32 n = mem::buffer_of(node)->used() / sizeof(Cell);
    Cell* cells = mem::buffer_of(node)->cells();
    for (u32 i = 0; i < n; ++i)
      if (type_of(cells + i) == TYPE_OBJECT && object::context_of(cells + i) == object::context_of(v[0])) {
        for (u32 j = i; j + 1 < n; ++j) cells[j] = cells[j + 1];
        Cell b;
        make_series(&b, TYPE_BLOCK, node);
        block::clear_at(&b, n - 1);
        break;
      }
  }
}

}  // namespace

GtkWidget* widget(const Record& w) { return static_cast<GtkWidget*>(w.native); }

GtkWidget* client(const Record& w) {
  GtkWidget* g = widget(w);
  return g ? static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(g), kClientKey)) : nullptr;
}

void attach(Record& w, GtkWidget* g, GtkWidget* client) {
  w.native = g;
  g_object_set_data(G_OBJECT(g), kRecordKey, GUINT_TO_POINTER(w.id));
  if (client) g_object_set_data(G_OBJECT(g), kClientKey, client);
  g_signal_connect(g, "destroy", G_CALLBACK(on_destroy), GUINT_TO_POINTER(w.id));
}

Record* record_of_widget(GtkWidget* g) {
  for (; g; g = gtk_widget_get_parent(g))
    if (gpointer id = g_object_get_data(G_OBJECT(g), kRecordKey)) return window::find(GPOINTER_TO_UINT(id));
  return nullptr;
}

namespace {

// The root positions of top-level windows, asked of the X server once (a
// round trip) and kept until the window is configured, mapped or moved.
std::unordered_map<GdkWindow*, std::pair<int, int>>& g_origins =
    *new std::unordered_map<GdkWindow*, std::pair<int, int>>();

// gdk_window_get_origin, the top-level window's part taken from g_origins;
// the offsets of the windows inside it are GDK's own (no round trip).
void window_origin(GdkWindow* win, int* x, int* y) {
  GdkWindow* top = gdk_window_get_toplevel(win);
  int dx = 0, dy = 0;
  for (GdkWindow* p = win; p != top; p = gdk_window_get_parent(p)) {
    if (!p || gdk_window_get_window_type(p) != GDK_WINDOW_CHILD) {
      gdk_window_get_origin(win, x, y);
      return;
    }
    int px = 0, py = 0;
    gdk_window_get_position(p, &px, &py);
    dx += px;
    dy += py;
  }
  auto it = g_origins.find(top);
  if (it == g_origins.end()) {
    int tx = 0, ty = 0;
    gdk_window_get_origin(top, &tx, &ty);
    it = g_origins.emplace(top, std::make_pair(tx, ty)).first;
  }
  *x = it->second.first + dx;
  *y = it->second.second + dy;
}

}  // namespace

void forget_origins() { g_origins.clear(); }

void client_origin(const Record& w, int* x, int* y) {
  *x = *y = 0;
  GtkWidget* g = client(w);
  if (!g) g = widget(w);
  GdkWindow* win = g ? gtk_widget_get_window(g) : nullptr;
  if (!win) return;
  window_origin(win, x, y);
  if (!gtk_widget_get_has_window(g)) {
    GtkAllocation a;
    gtk_widget_get_allocation(g, &a);
    *x += a.x;
    *y += a.y;
  }
}

void focus_selected(Record& w) {
  const Cell* f = window::face(w);
  const Cell* selected = f ? face::facet(f, face::SELECTED) : nullptr;
  const Cell* h = selected ? face::handle_of(selected) : nullptr;
  if (Record* target = h ? window::from_handle(h) : nullptr)
    if (GtkWidget* g = widgets::control(*target)) gtk_widget_grab_focus(g);
}

void paint_pending(Record& w) {
  // (laid out after the paint, whose Qel code may move faces: the caret)
  u32 id = w.id;
  base::paint_pending(w);
  if (Record* again = window::find(id))
    if (GtkWidget* g = widget(*again)) layout_now(g);
}

void show(Record& w) {
  GtkWidget* g = widget(w);
  if (!g) return;
  u32 id = w.id;
  if (gtk_widget_get_visible(g) && window::get(w, window::SHOW) == 0) {
    paint_pending(w);
    return;
  }
  window::set(w, window::SHOW, 0);
  gtk_widget_show(g);
  paint_pending(w);
  Record* again = window::find(id);
  if (!again) return;
  if (GTK_IS_WINDOW(g)) gtk_window_present(GTK_WINDOW(g));
  focus_selected(*again);
  units::set_dpi(96 * gtk_widget_get_scale_factor(g));
}

void redraw(Record& w) {
  base::invalidate(w);
  base::paint_at_frame(w);
  // (a self-drawn face's paint draws again what changed; other widgets are
  // drawn whole)
  if (GtkWidget* g = widget(w); g && !base::self_drawn(w)) gtk_widget_queue_draw(g);
}

void refresh(Record& w) { paint_pending(w); }

void free_faces(const Cell* face_in, bool top) {
  // The records whose sub-faces are being freed, outermost first: a face
  // met again below itself (a pane set quietly to hold an ancestor) is
  // freed once, by the outer call.
  static std::vector<u32> path;
  api::Values v(2);  // the face; a sub-face
  copy_cell(face_in, v[0]);
  Record* w = record_of_face(v[0]);
  if (!w) return;
  u32 id = w->id;
  if (std::find(path.begin(), path.end(), id) != path.end()) return;
  path.push_back(id);
  struct Pop {
    ~Pop() { path.pop_back(); }
  } pop;
  bool is_window = face::is_type(v[0], "window");
  if (is_window && widget(*w)) gtk_widget_hide(widget(*w));
  loop::kill_timer(id);
  leave_users(v[0]);
  // Sub-faces first.
  if (const Cell* pane = face::facet(v[0], face::PANE); pane && type_of(pane) == TYPE_BLOCK) {
    Cell p = *pane;
    api::Values keep(1);
    copy_cell(&p, keep[0]);
    for (u32 i = u32(series_index(&p) < 0 ? 0 : series_index(&p));; ++i) {
      u32 n = mem::buffer_of(series_node(keep[0]))->used() / sizeof(Cell);
      if (i >= n) break;
      copy_cell(mem::buffer_of(series_node(keep[0]))->cells() + i, v[1]);
      if (type_of(v[1]) == TYPE_OBJECT) free_faces(v[1], false);
    }
  }
  w = window::find(id);  // the sub-faces' code may have closed it
  if (!w) return;
  if (is_window) {
    if (Cell* selected = face::facet(v[0], face::SELECTED)) make_none(selected);
    window::set(*w, window::SECOND, window::CLOSE_SILENTLY);
  }
  widget_items::release(*w);
  release_cursors(*w);
  window::free_face(*w);
  if (Cell* state = face::facet(v[0], face::STATE)) make_none(state);
  if (top && widget(*w)) {
    gtk_widget_destroy(widget(*w));  // the record goes with it
    loop::drop_stale_events();
  }
}

void apply_cursor(Record& w, const Cell* face) {
  release_cursors(w);  // a cursor made earlier goes first
  GdkCursor* cursor = nullptr;
  const Cell* option = glue::option(face, "cursor");
  if (option && type_of(option) == TYPE_IMAGE && image::pixel_count(option)) {
    u32 width = image::width(option), height = image::height(option);
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, int(width), int(height));
    unsigned char* data = cairo_image_surface_get_data(s);
    int stride = cairo_image_surface_get_stride(s);
    const u32* px = image::pixels(image::record(option));
    for (u32 y = 0; y < height; ++y)
      for (u32 x = 0; x < width; ++x) {
        u32 p = px[std::size_t(y) * width + x], a = p >> 24;
        auto pre = [a](u32 c) { return (c * a + 127) / 255; };
        reinterpret_cast<u32*>(data + std::size_t(y) * std::size_t(stride))[x] =
            a << 24 | pre(p >> 16 & 0xFF) << 16 | pre(p >> 8 & 0xFF) << 8 | pre(p & 0xFF);
      }
    cairo_surface_mark_dirty(s);
    cursor = gdk_cursor_new_from_surface(gdk_display_get_default(), s, 0, 0);
    cairo_surface_destroy(s);
    if (cursor) window::set(w, window::CURSOR_IMAGE, window::keep_pointer(cursor));
  } else if (const char* name = glue::cursor_name(face)) {
    cursor = gdk_cursor_new_from_name(gdk_display_get_default(), name);
  }
  if (!cursor) return;
  if (!window::get(w, window::CURSOR_IMAGE))
    window::set(w, window::CURSOR, i32(u32(window::keep_pointer(cursor)) | window::CURSOR_MARK));
  if (GtkWidget* g = widget(w)) {
    if (!gtk_widget_get_realized(g)) gtk_widget_realize(g);
    if (GdkWindow* gw = gtk_widget_get_window(g)) gdk_window_set_cursor(gw, cursor);
  }
}

void get_text_alt(const Cell* face_in, i32 index) {
  api::Values v(3);  // the face, its text, the word `text`
  copy_cell(face_in, v[0]);
  Record* w = record_of_face(v[0]);
  std::string text;
  // (The items of lists come with the list widgets.)
  if (!w || index >= 0 || !widgets::read_text(*w, text)) return;
  Cell* facet = face::facet(v[0], face::TEXT);
  if (!facet) return;
  if (type_of(facet) == TYPE_STRING) {
    copy_cell(facet, v[1]);
    string::reset_buffer(v[1]);
  } else {
    string::make_at(v[1], u32(text.size()), 2);
  }
  const u8* p = reinterpret_cast<const u8*>(text.data());
  string::append_utf8(v[1], p, p + text.size());
  if ((facet = face::facet(v[0], face::TEXT))) copy_cell(v[1], facet);
  word::make_at(symbol::make("text"), v[2]);
  ownership::bind(v[1], v[0], v[2]);
}

i32 enter_dpi(Record* w) {
  i32 previous = units::current.dpi;
  ++units::current.depth;
  if (GtkWidget* g = w ? widget(*w) : nullptr) units::set_dpi(96 * gtk_widget_get_scale_factor(g));
  return previous;
}

void leave_dpi(i32 previous) {
  if (units::current.depth > 0) --units::current.depth;
  if (units::current.dpi == previous) return;
  if (units::current.depth == 0) {
    GList* tops = gtk_window_list_toplevels();
    GtkWidget* active = nullptr;
    for (GList* l = tops; l; l = l->next) {
      GtkWidget* t = GTK_WIDGET(l->data);
      if (gtk_widget_get_visible(t) && gtk_window_is_active(GTK_WINDOW(t))) active = t;
    }
    g_list_free(tops);
    if (active) {
      units::set_dpi(96 * gtk_widget_get_scale_factor(active));
      return;
    }
  }
  units::set_dpi(previous);
}

void fix_placement(double x, double y, double width, double height) {
  std::vector<screens::Monitor> list = screens::all();
  if (list.empty()) return;
  i32 start = units::current.dpi;
  for (int round = 0; round < 4; ++round) {
    double s = units::current.scale;
    double cx = (x + width / 2) * s, cy = (y + height / 2) * s;  // the rectangle's centre, in pixels
    const screens::Monitor* nearest = &list[std::size_t(screens::nearest(list, cx, cy))];
    i32 dpi = i32(std::lround(96 * nearest->scale));
    if (dpi == units::current.dpi) break;
    units::set_dpi(dpi);
  }
  if (units::current.dpi != start) {
    i32 here = screens::current(list);
    if (here >= 0) units::set_dpi(i32(std::lround(96 * list[std::size_t(here)].scale)));
  }
}

Cell* snapshot(Record& w) {
  GtkWidget* g = widget(w);
  if (!g) return make_none(stack::push());
  paint_pending(w);
  int width = gtk_widget_get_allocated_width(g), height = gtk_widget_get_allocated_height(g);
  if (!gtk_widget_get_realized(g) || width <= 1 || height <= 1 || width > 65535 || height > 65535)
    return make_none(stack::push());
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t* cr = cairo_create(s);
  gtk_widget_draw(g, cr);
  cairo_destroy(cr);
  cairo_surface_flush(s);
  const unsigned char* data = cairo_image_surface_get_data(s);
  int stride = cairo_image_surface_get_stride(s);
  std::vector<u32> pixels(std::size_t(width) * std::size_t(height));
  for (int y = 0; y < height; ++y) {
    const u32* row = reinterpret_cast<const u32*>(data + std::size_t(y) * std::size_t(stride));
    for (int x = 0; x < width; ++x) {
      u32 p = row[x];  // premultiplied 0xAARRGGBB
      u32 a = p >> 24;
      if (a && a != 255) {
        auto un = [a](u32 c) { return (c * 255 + a / 2) / a; };
        p = a << 24 | un(p >> 16 & 0xFF) << 16 | un(p >> 8 & 0xFF) << 8 | un(p & 0xFF);
      }
      pixels[std::size_t(y) * std::size_t(width) + std::size_t(x)] = p;
    }
  }
  cairo_surface_destroy(s);
  return image::push_from_pixels(u32(width), u32(height), pixels.data());
}

void set_procedure(Class c, Procedure p) {
  if (u32(c) < window::CLASS_COUNT) g_procedures[u32(c)] = p ? p : default_procedure;
}

void set_preprocess(Preprocess p) { g_preprocess = p; }

i64 dispatch(messages::Message m) {
  if (g_preprocess && g_preprocess(m)) return 0;
  Record* w = window::find(m.window);
  if (!w) return -1;
  return procedure(*w, m);
}

i64 procedure(Record& w, const messages::Message& m) { return g_procedures[u32(w.cls)](w, m); }

void show_window() {
  if (Record* w = window::from_handle(api::arg(0))) show(*w);
  api::answer_none();
}

void refresh_window() {
  if (Record* w = window::from_handle(api::arg(0))) refresh(*w);
  api::answer_none();
}

void redraw_face() {
  if (Record* w = record_of_face(api::arg(0))) redraw(*w);
  api::answer_none();
}

void update_text() {
  get_text_alt(api::arg(0), -1);
  api::answer_none();
}

}  // namespace qel::view::backend::windows
