#include "view/backend/windows.hpp"

#include <gtk/gtk.h>

#include <cmath>
#include <string>
#include <vector>

#include "datatypes/image.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/string.hpp"
#include "datatypes/ownership.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "eval/api.hpp"
#include "runtime/memory.hpp"
#include "view/backend/display.hpp"
#include "view/backend/screens.hpp"
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

// QelArea (multi-line) and QelField (single-line): Control+A selects all in
// an area; a field swallows Enter and Tab.
i64 area_procedure(Record& w, const messages::Message& m) {
  if (m.code != messages::CHAR) return -1;
  switch (glue::area_char(w.cls == Class::AREA, u32(m.wparam))) {
    case glue::SELECT_ALL:
      if (GtkWidget* g = widget(w); g && GTK_IS_EDITABLE(g)) gtk_editable_select_region(GTK_EDITABLE(g), 0, -1);
      return 1;
    case glue::SWALLOW:
      return 0;
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
    default_procedure, default_procedure, face_procedure,    calendar_procedure, area_procedure,
    area_procedure,
};

// ---- widgets ------------------------------------------------------------------------------

// The widget of a class until the widget code of each face type makes its
// own: a top-level window with a fixed client area, or a fixed container.
GtkWidget* make_widget(Class c) {
  if (c == Class::FIELD) return gtk_entry_new();
  if (c == Class::AREA) return gtk_text_view_new();
  if (c == Class::WINDOW) {
    GtkWidget* w = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* fixed = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(w), fixed);
    g_object_set_data(G_OBJECT(w), kClientKey, fixed);
    return w;
  }
  GtkWidget* fixed = gtk_fixed_new();
  gtk_widget_set_has_window(fixed, TRUE);
  return fixed;
}

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

// The record goes with its widget.
void on_destroy(GtkWidget*, gpointer id) {
  if (Record* w = window::find(GPOINTER_TO_UINT(id))) {
    release_cursors(*w);
    w->native = nullptr;
    window::destroy(w);
  }
}

// What is pending for the display (among it the frame clock's painting) is
// done now; a bounded number of rounds, so a window that keeps asking to
// be painted cannot hold the caller.
void pump() {
  for (int i = 0; i < 1000 && gtk_events_pending(); ++i) gtk_main_iteration_do(FALSE);
}

// A window's pending painting done now (GTK paints on its frame clock).
void process_updates(GtkWidget* g) {
  if (gtk_widget_get_realized(g)) pump();
}

// The window of the face named by a window face's `selected` takes the focus.
void focus_selected(Record& w) {
  const Cell* f = window::face(w);
  const Cell* selected = f ? face::facet(f, face::SELECTED) : nullptr;
  const Cell* h = selected ? face::handle_of(selected) : nullptr;
  if (Record* target = h ? window::from_handle(h) : nullptr)
    if (GtkWidget* g = widget(*target)) gtk_widget_grab_focus(g);
}

Record* record_of_face(const Cell* face) {
  const Cell* h = face::handle_of(face);
  return h ? window::from_handle(h) : nullptr;
}

}  // namespace

GtkWidget* widget(const Record& w) { return static_cast<GtkWidget*>(w.native); }

GtkWidget* client(const Record& w) {
  GtkWidget* g = widget(w);
  if (!g) return nullptr;
  auto* c = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(g), kClientKey));
  return c ? c : (GTK_IS_FIXED(g) ? g : nullptr);
}

Record* create(Class c, Record* parent, const Cell* face, i32 x, i32 y, i32 w, i32 h, const char* what) {
  const Cell* flags_facet = face::facet(face, face::FLAGS);
  i32 flags = flags_facet ? i32(convert::get_flags(flags_facet)) : 0;
  if (!display::open()) module::unavailable(what, "no display (DISPLAY is not set, or its X server cannot be reached)");
  GtkWidget* g = make_widget(c);
  Record* rec = window::create(c, parent);
  rec->native = g;
  g_object_set_data(G_OBJECT(g), kRecordKey, GUINT_TO_POINTER(rec->id));
  g_signal_connect(g, "destroy", G_CALLBACK(on_destroy), GUINT_TO_POINTER(rec->id));
  window::store_face(*rec, face);
  window::set(*rec, window::FLAGS, flags);
  const Cell* offset = face::facet(face, face::OFFSET);
  if (offset && type_of(offset) == TYPE_PAIR) window::set(*rec, window::KIND, window::KIND_PAIRS);
  if (c == Class::WINDOW || !parent) {
    if (GTK_IS_WINDOW(g)) {
      gtk_window_move(GTK_WINDOW(g), x, y);
      gtk_window_set_default_size(GTK_WINDOW(g), w > 0 ? w : 1, h > 0 ? h : 1);
      const Cell* text = face::facet(face, face::TEXT);
      if (text && type_of(text) == TYPE_STRING) gtk_window_set_title(GTK_WINDOW(g), string::to_utf8(text).c_str());
    }
  } else if (GtkWidget* container = client(*parent)) {
    gtk_widget_set_size_request(g, w, h);
    gtk_fixed_put(GTK_FIXED(container), g, x, y);
  }
  apply_cursor(*rec, face);
  const Cell* text = face::facet(face, face::TEXT);
  if (text && type_of(text) == TYPE_STRING) {
    std::string t = string::to_utf8(text);
    if (GTK_IS_ENTRY(g)) gtk_entry_set_text(GTK_ENTRY(g), t.c_str());
    if (GTK_IS_TEXT_VIEW(g)) gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(g)), t.data(), gint(t.size()));
  }
  return rec;
}

void show(Record& w) {
  GtkWidget* g = widget(w);
  if (!g) return;
  if (gtk_widget_get_visible(g) && window::get(w, window::SHOW) == 0) {
    process_updates(g);
    return;
  }
  window::set(w, window::SHOW, 0);
  gtk_widget_show_all(g);
  process_updates(g);
  if (GTK_IS_WINDOW(g)) gtk_window_present(GTK_WINDOW(g));
  focus_selected(w);
  units::set_dpi(96 * gtk_widget_get_scale_factor(g));
}

void redraw(Record& w) {
  if (GtkWidget* g = widget(w)) {
    gtk_widget_queue_draw(g);
    process_updates(g);
  }
}

void refresh(Record& w) {
  if (GtkWidget* g = widget(w)) process_updates(g);
}

void free_faces(const Cell* face_in, bool top) {
  api::Values v(2);  // the face; a sub-face
  copy_cell(face_in, v[0]);
  Record* w = record_of_face(v[0]);
  if (!w) return;
  u32 id = w->id;
  bool is_window = face::is_type(v[0], "window");
  if (is_window && widget(*w)) gtk_widget_hide(widget(*w));
  // Sub-faces first. (Timers of `rate` and the users of fonts and paras
  // are released here too once they exist.)
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
  release_cursors(*w);
  window::free_face(*w);
  if (Cell* state = face::facet(v[0], face::STATE)) make_none(state);
  if (top && widget(*w)) gtk_widget_destroy(widget(*w));  // the record goes with it
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
  GtkWidget* g = w ? widget(*w) : nullptr;
  if (!g) return;
  std::string text;
  if (index < 0 && GTK_IS_ENTRY(g)) {
    text = gtk_entry_get_text(GTK_ENTRY(g));
  } else if (index < 0 && GTK_IS_TEXT_VIEW(g)) {
    GtkTextBuffer* b = gtk_text_view_get_buffer(GTK_TEXT_VIEW(g));
    GtkTextIter start, end;
    gtk_text_buffer_get_bounds(b, &start, &end);
    gchar* t = gtk_text_buffer_get_text(b, &start, &end, FALSE);
    text = t ? t : "";
    g_free(t);
  } else {
    return;  // no text (list items come with the list widgets)
  }
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
  pump();
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
  return g_procedures[u32(w->cls)](*w, m);
}

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

// The view builder completes destroy-view; for now it frees the face tree.
void destroy_view() {
  free_faces(api::arg(0), true);
  api::answer_none();
}

void update_text() {
  get_text_alt(api::arg(0), -1);
  api::answer_none();
}

}  // namespace qel::view::backend::windows
