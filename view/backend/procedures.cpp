#include "view/backend/procedures.hpp"

#include <gtk/gtk.h>

#include <unordered_map>

#include "datatypes/event.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "runtime/api.hpp"
#include "view/backend/base.hpp"
#include "view/backend/guard.hpp"
#include "view/backend/input.hpp"
#include "view/backend/input_method.hpp"
#include "view/backend/loop.hpp"
#include "view/backend/painter.hpp"
#include "view/backend/widgets.hpp"
#include "view/backend/windows.hpp"
#include "view/face.hpp"
#include "view/glue.hpp"
#include "view/system_view.hpp"
#include "view/units.hpp"

namespace qel::view::backend::procedures {

namespace {

using messages::Message;
using window::Class;
using window::Record;

bool is_window(const Record& w) {
  const Cell* f = window::face(w);
  return f && face::is_type(f, "window");
}

// A window face's `offset` (a move) or `size` (a resize) from the message's
// pixels, in place: the change comes from the window.
void geometry_to_face(Record& w, const Message& m, bool size) {
  Cell* f = window::face(w);
  Cell* facet = f ? face::facet(f, size ? face::SIZE : face::OFFSET) : nullptr;
  if (!facet) return;
  bool pairs = size && (window::get(w, window::KIND) & window::KIND_PAIRS);
  units::logical_point(m.x, m.y, pairs, facet);
}

// What the main and base procedures do alike: scroll events from the
// window's own scroll bars, gestures. Answers -2 for another message.
i64 shared_procedure(const Message& m) {
  Message msg = m;
  switch (m.code) {
    case messages::HSCROLL:
    case messages::VSCROLL:
      input::make_event(msg, 0, event::SCROLL);
      return 0;
    case messages::GESTURE:
      input::make_event(msg, 0, m.extra);
      return -1;
    default:
      return -2;
  }
}

// ---- main-window-proc (QelWindow, QelPanel) -------------------------------------------------

i64 main_procedure(Record& w, const Message& m) {
  u32 id = w.id;
  Message msg = m;
  switch (m.code) {
    case messages::MOVE:
    case messages::SIZE:
    case messages::MOVING:
    case messages::SIZING: {
      if (!is_window(w)) return 0;
      bool size = m.code == messages::SIZE || m.code == messages::SIZING;
      geometry_to_face(w, m, size);
      if (size) {
        base::invalidate(w);
        base::paint_at_frame(w);
      }
      if (!window::find(id)) return 0;
      u32 type = m.code == messages::MOVE ? event::MOVE : m.code == messages::SIZE ? event::RESIZE
               : m.code == messages::MOVING ? event::MOVING : event::RESIZING;
      if (m.code == messages::MOVING || m.code == messages::SIZING) window::set(w, window::SIZING, i32(type));
      input::make_event(msg, 0, type);
      return 0;
    }
    case messages::ACTIVATE:
      if (!is_window(w)) return -1;
      if (m.wparam) {
        input::make_event(msg, 0, event::FOCUS);
        if (Record* again = window::find(id)) windows::focus_selected(*again);
        return 0;
      }
      input::make_event(msg, 0, event::UNFOCUS);
      return -1;
    case messages::CLOSE:
      if (window::get(w, window::SECOND) == window::CLOSE_SILENTLY) {
        if (GtkWidget* g = windows::widget(w)) gtk_widget_destroy(g);
        return 0;
      }
      if (!is_window(w)) return 0;
      if (input::make_event(msg, 0, event::CLOSE) == 0) loop::exit_loop();
      return 0;
    case messages::STATE: {
      u32 type = u32(m.wparam);
      if (type != event::MINIMIZE && is_window(w)) {
        geometry_to_face(w, m, true);
        GtkWidget* g = windows::widget(w);
        int x = 0, y = 0;
        if (g && GTK_IS_WINDOW(g)) gtk_window_get_position(GTK_WINDOW(g), &x, &y);
        Message at = m;
        at.x = x;
        at.y = y;
        geometry_to_face(w, at, false);
      }
      input::make_event(msg, 0, type);
      return -1;
    }
    case messages::WINDOW_COMMAND:
      widgets::window_command(w, u32(m.wparam));
      return 0;
    case messages::LBUTTONDOWN:
    case messages::LBUTTONUP:
      return 0;
    default: {
      i64 answer = shared_procedure(m);
      return answer == -2 ? -1 : answer;
    }
  }
}

// ---- base-window-proc (QelBase) -------------------------------------------------------------

i64 base_procedure(Record& w, const Message& m) {
  switch (m.code) {
    case messages::LBUTTONDOWN: {
      i32 presses = window::get(w, window::COUNTER) + 1;
      window::set(w, window::COUNTER, presses);
      if (presses == 1) {
        windows::take_focus(w);
        input::capture(w.id);
        return 0;
      }
      return -1;
    }
    case messages::LBUTTONUP:
      if (window::get(w, window::COUNTER) >= 1) {
        window::set(w, window::COUNTER, window::get(w, window::COUNTER) - 1);
        if (window::get(w, window::COUNTER) == 0) input::capture(0);
        return 0;
      }
      return -1;
    default: {
      i64 answer = shared_procedure(m);
      return answer == -2 ? -1 : answer;
    }
  }
}

// ---- static faces (QelFace) and calendars (QelCalendar) ---------------------------------------

// A static face takes the mouse while a button is down, and is hit by the
// mouse at all.
i64 face_procedure(Record& w, const Message& m) {
  switch (m.code) {
    case messages::LBUTTONDOWN:
      if (GtkWidget* g = windows::widget(w)) gtk_grab_add(g);
      return 0;
    case messages::LBUTTONUP:
      if (GtkWidget* g = windows::widget(w)) gtk_grab_remove(g);
      return 0;
    case messages::NCHITTEST:
      return 1;  // the client area
    default:
      return -1;
  }
}

// A click gives the calendar the keyboard focus first.
i64 calendar_procedure(Record& w, const Message& m) {
  if (m.code == messages::LBUTTONDOWN)
    if (GtkWidget* g = windows::widget(w)) gtk_widget_grab_focus(g);
  return -1;
}

// ---- text controls (QelArea, QelField) --------------------------------------------------------

i64 area_procedure(Record& w, const Message& m) {
  switch (m.code) {
    case messages::LBUTTONUP:
    case messages::KEYUP: {
      widgets::read_selection(w);
      Message msg = m;
      input::make_event(msg, 0, event::SELECT);
      return -1;
    }
    case messages::CHAR:
      switch (glue::area_char(w.cls == Class::AREA, u32(m.wparam))) {
        case glue::SELECT_ALL:
          if (GtkWidget* c = windows::control(w); c && GTK_IS_TEXT_VIEW(c)) {
            GtkTextBuffer* b = gtk_text_view_get_buffer(GTK_TEXT_VIEW(c));
            GtkTextIter s, e;
            gtk_text_buffer_get_bounds(b, &s, &e);
            gtk_text_buffer_select_range(b, &s, &e);
          }
          return 1;
        case glue::SWALLOW:
          return 0;
        default:
          return -1;
      }
    default:
      return -1;
  }
}

// ---- top-level window signals -------------------------------------------------------------------

// What a window's configure events last reported, and the burst they form.
struct Geometry {
  guint timer = 0;       // ends the burst
  bool burst = false;    // a configure followed another closely
  u32 last = 0;          // MOVE or SIZE, the kind of the last change
};
std::unordered_map<u32, Geometry> g_geometry;
constexpr guint kBurstMs = 200;

Record* live(gpointer id) {
  Record* w = window::find(GPOINTER_TO_UINT(id));
  return w && window::face(*w) ? w : nullptr;
}

void send(Record& w, u32 code, i32 x = 0, i32 y = 0, u64 wparam = 0) {
  Message m;
  m.window = w.id;
  m.code = code;
  m.x = x;
  m.y = y;
  m.wparam = wparam;
  input::Current scope(&m);
  input::dispatch(m);
}

// The face's offset or size in pixels.
bool facet_pixels(Record& w, u32 facet, int* x, int* y) {
  const Cell* f = window::face(w);
  return f && units::read_pixels(face::facet(f, facet), x, y);
}

gboolean burst_end(gpointer id) {
  auto it = g_geometry.find(GPOINTER_TO_UINT(id));
  if (it == g_geometry.end()) return G_SOURCE_REMOVE;
  Geometry& g = it->second;
  if (loop::deferring()) return G_SOURCE_CONTINUE;  // the last move is raised once the wait is over
  g.timer = 0;
  if (g.burst) {
    g.burst = false;
    guard::run([&] {
      if (Record* w = live(id)) {
        int x = 0, y = 0;
        bool size = g.last == messages::SIZE;
        if (facet_pixels(*w, size ? face::SIZE : face::OFFSET, &x, &y)) send(*w, g.last, x, y);
      }
    });
  }
  return G_SOURCE_REMOVE;
}

gboolean on_configure(GtkWidget* g, GdkEventConfigure* e, gpointer id) {
  guard::run([&] {
    Record* w = live(id);
    if (!w) return;
    int x = 0, y = 0;
    gtk_window_get_position(GTK_WINDOW(g), &x, &y);
    int width = e->width, height = e->height;
    if (GtkWidget* client = windows::client(*w)) {
      // The client area is what the window holds below its menu bar.
      GtkWidget* column = gtk_widget_get_parent(client);
      GtkAllocation a;
      gtk_widget_get_allocation(client, &a);
      GtkAllocation c;
      gtk_widget_get_allocation(column ? column : client, &c);
      height -= std::max(0, c.height - a.height);
    }
    int fx = 0, fy = 0, fw = 0, fh = 0;
    bool moved = facet_pixels(*w, face::OFFSET, &fx, &fy) && (fx != x || fy != y);
    bool sized = facet_pixels(*w, face::SIZE, &fw, &fh) && (fw != width || fh != height);
    if (!moved && !sized) return;
    Geometry& geo = g_geometry[w->id];
    bool close = geo.timer != 0;
    if (geo.timer) g_source_remove(geo.timer);
    geo.timer = g_timeout_add(kBurstMs, burst_end, id);
    if (close) geo.burst = true;
    u32 wid = w->id;
    if (moved) {
      geo.last = messages::MOVE;
      if (close) send(*w, messages::MOVING, x, y);
      if ((w = window::find(wid))) send(*w, messages::MOVE, x, y);
    }
    if (sized && (w = window::find(wid))) {
      g_geometry[wid].last = messages::SIZE;
      if (close) send(*w, messages::SIZING, width, height);
      if ((w = window::find(wid))) send(*w, messages::SIZE, width, height);
    }
  });
  return FALSE;
}

gboolean on_delete(GtkWidget*, GdkEvent*, gpointer id) {
  guard::run([&] {
    if (Record* w = window::find(GPOINTER_TO_UINT(id))) send(*w, messages::CLOSE);
  });
  return TRUE;  // the window goes when the framework destroys its view
}

gboolean on_state(GtkWidget* g, GdkEventWindowState* e, gpointer id) {
  guard::run([&] {
    Record* w = live(id);
    if (!w) return;
    u32 changed = e->changed_mask & (GDK_WINDOW_STATE_ICONIFIED | GDK_WINDOW_STATE_MAXIMIZED);
    if (!changed) return;
    u32 type = (e->new_window_state & GDK_WINDOW_STATE_ICONIFIED)   ? event::MINIMIZE
               : (e->new_window_state & GDK_WINDOW_STATE_MAXIMIZED) ? event::MAXIMIZE
                                                                    : event::RESTORE;
    int width = 0, height = 0;
    if (GtkWidget* client = windows::client(*w)) {
      width = gtk_widget_get_allocated_width(client);
      height = gtk_widget_get_allocated_height(client);
    }
    send(*w, messages::STATE, width, height, type);
  });
  return FALSE;
}

gboolean on_focus(GtkWidget*, GdkEventFocus* e, gpointer id) {
  guard::run([&] {
    if (Record* w = live(id)) send(*w, messages::ACTIVATE, 0, 0, e->in ? 1 : 0);
  });
  return FALSE;
}

gboolean on_base_focus(GtkWidget*, GdkEventFocus* e, gpointer id) {
  if (Record* w = window::find(GPOINTER_TO_UINT(id))) input_method::focus(*w, e->in != 0);
  return FALSE;
}

guint g_monitors_retry = 0;  // the timer that asks again after a wait inside GTK
void on_monitors(GdkScreen*, gpointer);

gboolean monitors_again(gpointer) {
  g_monitors_retry = 0;
  on_monitors(nullptr, nullptr);
  return G_SOURCE_REMOVE;
}

// A monitor came or went: the framework's screens follow, and every window
// is painted again.
void on_monitors(GdkScreen*, gpointer) {
  if (loop::deferring()) {
    // Asked again once the backend's wait inside GTK is over.
    if (!g_monitors_retry) g_monitors_retry = g_timeout_add(50, monitors_again, nullptr);
    return;
  }
  guard::run([] {
    api::Values v(2);
    const Cell* fn = system_view::field("platform refresh-screens");
    if (!fn || type_of(fn) != TYPE_FUNCTION) return;
    copy_cell(fn, v[0]);
    api::check(api::invoke(v[0], nullptr, 0, v[1]));
    window::each([](Record& r) {
      if (!r.parent) painter::redraw(r);
    });
  });
}

}  // namespace

void install() {
  static bool done = false;
  if (done) return;
  done = true;
  windows::set_procedure(Class::WINDOW, main_procedure);
  windows::set_procedure(Class::PANEL, main_procedure);
  windows::set_procedure(Class::BASE, base_procedure);
  windows::set_procedure(Class::AREA, area_procedure);
  windows::set_procedure(Class::FIELD, area_procedure);
  windows::set_procedure(Class::FACE, face_procedure);
  windows::set_procedure(Class::CALENDAR, calendar_procedure);
  if (GdkScreen* s = gdk_screen_get_default()) g_signal_connect(s, "monitors-changed", G_CALLBACK(on_monitors), nullptr);
}

void connect_window(Record& w) {
  GtkWidget* g = windows::widget(w);
  if (!g) return;
  gpointer id = GUINT_TO_POINTER(w.id);
  gtk_widget_add_events(g, GDK_STRUCTURE_MASK | GDK_FOCUS_CHANGE_MASK);
  g_signal_connect(g, "configure-event", G_CALLBACK(on_configure), id);
  g_signal_connect(g, "delete-event", G_CALLBACK(on_delete), id);
  g_signal_connect(g, "window-state-event", G_CALLBACK(on_state), id);
  g_signal_connect(g, "focus-in-event", G_CALLBACK(on_focus), id);
  g_signal_connect(g, "focus-out-event", G_CALLBACK(on_focus), id);
}

void connect_base(Record& w) {
  GtkWidget* g = windows::widget(w);
  if (!g) return;
  gpointer id = GUINT_TO_POINTER(w.id);
  // A base is no stop of the toolkit's focus chain: the window's first focus
  // passes it by. It takes the keys when it is its window's `selected`
  // (windows::focus_selected) or is pressed (base_procedure).
  g_signal_connect(g, "focus-in-event", G_CALLBACK(on_base_focus), id);
  g_signal_connect(g, "focus-out-event", G_CALLBACK(on_base_focus), id);
}

void forget(u32 id) {
  auto it = g_geometry.find(id);
  if (it == g_geometry.end()) return;
  if (it->second.timer) g_source_remove(it->second.timer);
  g_geometry.erase(it);
}

}  // namespace qel::view::backend::procedures
