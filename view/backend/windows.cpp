#include "view/backend/windows.hpp"

#include <gtk/gtk.h>

#include <cmath>
#include <unordered_map>
#include <utility>
#include <vector>

#include "datatypes/image.hpp"
#include "view/backend/screens.hpp"
#include "view/face.hpp"
#include "view/glue.hpp"
#include "view/units.hpp"

namespace qel::view::backend::windows {

namespace {

using window::Class;
using window::Record;

constexpr const char* kRecordKey = "qel-window";
constexpr const char* kClientKey = "qel-client";
constexpr const char* kControlKey = "qel-control";

i64 default_procedure(Record&, const messages::Message&) { return -1; }

Procedure g_procedures[window::CLASS_COUNT] = {
    default_procedure, default_procedure, default_procedure, default_procedure, default_procedure,
    default_procedure, default_procedure, default_procedure, default_procedure, default_procedure,
    default_procedure, default_procedure, default_procedure, default_procedure, default_procedure,
    default_procedure,
};

// The clean-up of the upper floors, in the order registered.
std::vector<Release>& g_releases = *new std::vector<Release>();

// The record goes with its widget, and what it held with it.
void on_destroy(GtkWidget*, gpointer id) {
  if (Record* w = window::find(GPOINTER_TO_UINT(id))) {
    release_cursors(*w);
    for (Release release : g_releases) release(*w);
    w->native = nullptr;
    window::destroy(w);
  }
}

}  // namespace

GtkWidget* widget(const Record& w) { return static_cast<GtkWidget*>(w.native); }

GtkWidget* client(const Record& w) {
  GtkWidget* g = widget(w);
  return g ? static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(g), kClientKey)) : nullptr;
}

GtkWidget* control(const Record& w) {
  GtkWidget* g = widget(w);
  if (!g) return nullptr;
  auto* c = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(g), kControlKey));
  return c ? c : g;
}

void attach(Record& w, GtkWidget* g, GtkWidget* client, GtkWidget* control) {
  w.native = g;
  g_object_set_data(G_OBJECT(g), kRecordKey, GUINT_TO_POINTER(w.id));
  if (client) g_object_set_data(G_OBJECT(g), kClientKey, client);
  if (control && control != g) g_object_set_data(G_OBJECT(g), kControlKey, control);
  g_signal_connect(g, "destroy", G_CALLBACK(on_destroy), GUINT_TO_POINTER(w.id));
}

Record* record_of_widget(GtkWidget* g) {
  for (; g; g = gtk_widget_get_parent(g))
    if (gpointer id = g_object_get_data(G_OBJECT(g), kRecordKey)) return window::find(GPOINTER_TO_UINT(id));
  return nullptr;
}

void on_release(Release release) { g_releases.push_back(release); }

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

void take_focus(Record& w) {
  GtkWidget* g = control(w);
  if (!g) return;
  if (w.cls == Class::BASE) gtk_widget_set_can_focus(g, TRUE);  // (no stop of the focus chain until then)
  gtk_widget_grab_focus(g);
}

void focus_selected(Record& w) {
  const Cell* f = window::face(w);
  const Cell* selected = f ? face::facet(f, face::SELECTED) : nullptr;
  const Cell* h = selected ? face::handle_of(selected) : nullptr;
  if (Record* target = h ? window::from_handle(h) : nullptr) take_focus(*target);
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

void release_cursors(Record& w) {
  for (i32 slot : {window::CURSOR_IMAGE, window::CURSOR}) {
    i32 id = i32(u32(window::get(w, slot)) & ~window::CURSOR_MARK);
    if (void* p = window::pointer(id)) g_object_unref(p);
    window::drop_pointer(id);
    window::set(w, slot, 0);
  }
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

void set_procedure(Class c, Procedure p) {
  if (u32(c) < window::CLASS_COUNT) g_procedures[u32(c)] = p ? p : default_procedure;
}

i64 procedure(Record& w, const messages::Message& m) { return g_procedures[u32(w.cls)](w, m); }

}  // namespace qel::view::backend::windows
