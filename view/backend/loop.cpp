#include "view/backend/loop.hpp"

#include <gtk/gtk.h>

#include <deque>
#include <unordered_map>
#include <vector>

#include "datatypes/event.hpp"
#include "runtime/api.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "view/backend/display.hpp"
#include "view/backend/guard.hpp"
#include "view/backend/input.hpp"
#include "view/backend/translate.hpp"
#include "view/backend/windows.hpp"
#include "view/face.hpp"
#include "view/module.hpp"
#include "view/system_view.hpp"

namespace qel::view::backend::loop {

namespace {

using messages::Message;

struct Frame {
  u32 owner;    // the window the loop runs for, 0 when none is known
  bool ending;  // marked to end
};
std::vector<Frame> g_frames;            // the running blocking loops, innermost last
std::deque<Message> g_posted;           // messages posted for the loop
std::deque<GdkEvent*> g_deferred;       // input that arrived while deferring
int g_deferring = 0;
std::deque<GdkEvent*> g_held;           // input held back by pump_work
bool g_holding = false;                 // pump_work runs
bool g_interrupt = false;               // Ctrl+C or Escape pressed while holding
u32 g_work_window = 0;                  // the window that lives while pump_work runs
GdkWindow* g_work_toplevel = nullptr;   // its toplevel
bool g_installed = false;
void (*g_loop_start)() = nullptr;       // on_loop_start
std::unordered_map<u32, guint> g_timers;  // window id -> timer source

// The events the loop keeps back while the backend waits inside GTK, or
// while long work is pumped.
bool deferred_kind(GdkEventType t) {
  switch (t) {
    case GDK_MOTION_NOTIFY: case GDK_BUTTON_PRESS: case GDK_2BUTTON_PRESS: case GDK_3BUTTON_PRESS:
    case GDK_BUTTON_RELEASE: case GDK_KEY_PRESS: case GDK_KEY_RELEASE: case GDK_ENTER_NOTIFY:
    case GDK_LEAVE_NOTIFY: case GDK_FOCUS_CHANGE: case GDK_CONFIGURE: case GDK_DELETE: case GDK_SCROLL:
    case GDK_WINDOW_STATE: case GDK_TOUCHPAD_SWIPE: case GDK_TOUCHPAD_PINCH:
      return true;
    default:
      return false;
  }
}

void handler(GdkEvent* e, gpointer) { handle(e); }

// The window `do-events` runs a loop for: the last window of the first
// screen whose pane holds one with a native view.
u32 loop_owner() {
  const Cell* screens = system_view::field("screens");
  if (!screens || type_of(screens) != TYPE_BLOCK) return 0;
  u32 node = series_node(screens);
  u32 n = mem::buffer_of(node)->used() / sizeof(Cell);
  for (u32 i = u32(series_index(screens) < 0 ? 0 : series_index(screens)); i < n; ++i) {
    const Cell* screen = mem::buffer_of(node)->cells() + i;
    const Cell* pane = face::facet(screen, face::PANE);
    if (!pane || type_of(pane) != TYPE_BLOCK) continue;
    u32 used = mem::buffer_of(series_node(pane))->used() / sizeof(Cell);
    if (!used) continue;
    const Cell* last = mem::buffer_of(series_node(pane))->cells() + used - 1;
    const Cell* h = face::handle_of(last);
    if (window::Record* w = h ? window::from_handle(h) : nullptr) return w->id;
  }
  return 0;
}

// One posted message through the road; false when none waits.
bool take_posted() {
  if (g_posted.empty()) return false;
  Message m = g_posted.front();
  g_posted.pop_front();
  if (m.code == messages::WINDOW_COMMAND) {
    if (window::Record* w = window::find(m.window)) windows::procedure(*w, m);
    return true;
  }
  input::Current scope(&m);
  if (input::preprocess(m) >= 1)
    if (window::Record* w = window::find(m.window)) windows::procedure(*w, m);
  return true;
}

void wake() {
  if (g_installed) g_main_context_wakeup(nullptr);
}

// The loop frame of a blocking call: taken off however the call ends.
struct FrameScope {
  explicit FrameScope(u32 owner) { g_frames.push_back({owner, false}); }
  ~FrameScope() { g_frames.pop_back(); }
  bool ending() const { return g_frames.back().ending; }
};

struct OverrideScope {
  OverrideScope() : saved(input::override_modifiers(-1)) {}
  ~OverrideScope() { input::override_modifiers(saved); }
  i64 saved;
};

// Whether the window lies in the tree of the one that pump_work keeps alive.
bool in_work_window(const window::Record& w) {
  for (const window::Record* p = &w; p; p = p->parent)
    if (p->id == g_work_window) return true;
  return false;
}

// Puts the input held by pump_work back into GTK's queue, in order: before
// the events queued since (keys posted after the last pump), which are taken
// out and put back after it.
void release_held() {
  if (g_held.empty()) return;
  while (GdkEvent* e = gdk_event_get()) g_held.push_back(e);
  while (!g_held.empty()) {
    GdkEvent* e = g_held.front();
    g_held.pop_front();
    gdk_event_put(e);
    gdk_event_free(e);
  }
}

gboolean on_timer(gpointer data) {
  u32 id = GPOINTER_TO_UINT(data);
  window::Record* w = window::find(id);
  if (!w) return G_SOURCE_REMOVE;
  if (g_deferring || !window::face(*w)) return G_SOURCE_CONTINUE;
  if (!may_act(*w)) return G_SOURCE_CONTINUE;
  Message m;
  m.window = id;
  m.code = messages::TIMER;
  input::Current scope(&m);
  input::make_event(m, 0, event::TIME);
  return G_SOURCE_CONTINUE;
}

}  // namespace

void install() {
  if (g_installed) return;
  g_installed = true;
  gdk_event_handler_set(handler, nullptr, nullptr);
}

bool do_events(bool no_wait) {
  if (!display::open()) module::unavailable("do-event-loop", "no display (DISPLAY is not set, or its X server cannot be reached)");
  install();
  OverrideScope modifiers;
  bool any = false;
  if (no_wait) {
    // (what waited for the loop is done first here too: the console
    // answers keys typed ahead of its prompt with no blocking loop)
    if (g_loop_start) g_loop_start();
    guard::raise_pending();
    any = take_posted() || g_main_context_iteration(nullptr, FALSE);
    guard::raise_pending();
    return any;
  }
  // Input that came during long work comes first, in its order; what
  // waited for this loop is done before it.
  release_held();
  if (g_loop_start) g_loop_start();
  guard::raise_pending();
  FrameScope frame(loop_owner());
  while (!frame.ending()) {
    if (!take_posted()) g_main_context_iteration(nullptr, TRUE);
    any = true;
    guard::raise_pending();
  }
  return any;
}

void drop_stale_events() {
  GdkDisplay* d = gdk_display_get_default();
  if (!d) return;
  std::vector<GdkEvent*> kept;
  while (GdkEvent* e = gdk_display_get_event(d)) {
    if (e->any.window && gdk_window_is_destroyed(e->any.window)) {
      gdk_event_free(e);
      continue;
    }
    kept.push_back(e);
  }
  for (GdkEvent* e : kept) {
    gdk_display_put_event(d, e);
    gdk_event_free(e);
  }
}

void pump() {
  if (!g_installed || g_deferring) return;
  if (!g_holding) release_held();
  OverrideScope modifiers;
  for (int i = 0; i < 1000; ++i) {
    if (!take_posted() && !g_main_context_iteration(nullptr, FALSE)) break;
    guard::raise_pending();
  }
  guard::raise_pending();
}

bool pump_work(const Cell* window) {
  if (!g_frames.empty() || g_deferring || input::current() || !display::open()) return false;
  const Cell* h = face::handle_of(window);
  window::Record* w = h ? window::from_handle(h) : nullptr;
  GtkWidget* g = w ? windows::widget(*w) : nullptr;
  if (!g || !gtk_widget_get_realized(g)) return false;
  install();
  g_work_window = w->id;
  g_work_toplevel = gdk_window_get_toplevel(gtk_widget_get_window(g));
  struct Holding {
    Holding() { g_holding = true; }
    ~Holding() {
      g_holding = false;
      g_work_toplevel = nullptr;
    }
  } holding;
  pump();
  bool interrupt = g_interrupt;
  g_interrupt = false;
  return interrupt;
}

bool may_act(const window::Record& w) { return !g_holding || in_work_window(w); }

namespace {

// Input held while pump_work runs: whether the event (one that reaches the
// framework) waits, and keeping a copy of it (Ctrl+C and Escape are
// counted instead).
bool holds(GdkEvent* e) {
  if (e->type == GDK_KEY_PRESS || e->type == GDK_KEY_RELEASE) return true;
  return !e->any.window || gdk_window_get_toplevel(e->any.window) != g_work_toplevel;
}

void hold(GdkEvent* e) {
  if (e->type == GDK_KEY_PRESS) {
    guint k = e->key.keyval;
    if (k == GDK_KEY_Escape || ((e->key.state & GDK_CONTROL_MASK) && (k == GDK_KEY_c || k == GDK_KEY_C))) {
      g_interrupt = true;
      return;
    }
  }
  g_held.push_back(gdk_event_copy(e));
}

// Input that arrived while the backend waits inside GTK: a copy kept.
void defer(GdkEvent* e) { g_deferred.push_back(gdk_event_copy(e)); }

}  // namespace

void handle(GdkEvent* e) {
  switch (e->type) {
    case GDK_CONFIGURE: case GDK_MAP: case GDK_UNMAP: case GDK_DESTROY:
      windows::forget_origins();
      break;
    default:
      break;
  }
  input::note_input(e);
  if (g_deferring && deferred_kind(e->type)) {
    defer(e);
    return;
  }
  // (before the console's long work holds input back: a dialog opened by a
  // handler while the work pumps takes its keys)
  if (translate::toolkit_takes(e)) {
    gtk_main_do_event(e);
    return;
  }
  if (g_holding && deferred_kind(e->type) && holds(e)) {
    hold(e);
    return;
  }
  translate::on_gdk_event(e);
}

void on_loop_start(void (*start)()) { g_loop_start = start; }

void exit_loop() {
  if (!g_frames.empty()) g_frames.back().ending = true;
  wake();
}

void end_loops_of(u32 window_id) {
  bool found = false;
  for (Frame& f : g_frames)
    if (window_id && f.owner == window_id) {
      f.ending = true;
      found = true;
    }
  if (!found && !g_frames.empty()) {
    // The innermost loop not yet ending.
    for (auto it = g_frames.rbegin(); it != g_frames.rend(); ++it)
      if (!it->ending) {
        it->ending = true;
        break;
      }
  }
  wake();
}

u32 depth() { return u32(g_frames.size()); }

void post(const Message& m) {
  g_posted.push_back(m);
  wake();
}

bool send_event(const Cell* event, bool queued) {
  if (!queued) return input::send_event(event, nullptr);
  Message m;
  if (!input::send_event(event, &m)) return false;
  post(m);
  return true;
}

Defer::Defer() { ++g_deferring; }

Defer::~Defer() {
  if (--g_deferring > 0) return;
  // What arrived meanwhile goes back into GTK's queue, in order.
  while (!g_deferred.empty()) {
    GdkEvent* e = g_deferred.front();
    g_deferred.pop_front();
    gdk_event_put(e);
    gdk_event_free(e);
  }
}

bool deferring() { return g_deferring > 0; }

void set_timer(window::Record& w, const Cell* rate) {
  guint ms = 0;
  switch (type_of(rate)) {
    case TYPE_NONE:
      kill_timer(w.id);
      return;
    case TYPE_INTEGER:
      if (int_of(rate) < 1) fire(Err::script_invalid_facet_type, rate);
      ms = guint(1000 / int_of(rate));
      break;
    case TYPE_TIME:
      if (!(float_of(rate) > 0)) fire(Err::script_invalid_facet_type, rate);
      ms = float_of(rate) * 1000.0 >= 4294967295.0 ? G_MAXUINT : guint(float_of(rate) * 1000.0);
      break;
    default:
      fire(Err::script_invalid_facet_type, rate);
  }
  kill_timer(w.id);
  g_timers[w.id] = g_timeout_add(ms, on_timer, GUINT_TO_POINTER(w.id));
}

void kill_timer(u32 window_id) {
  auto it = g_timers.find(window_id);
  if (it == g_timers.end()) return;
  g_source_remove(it->second);
  g_timers.erase(it);
}

void do_event_loop() {
  bool no_wait = logic_of(api::arg(0));
  api::answer_logic(do_events(no_wait));
}

void exit_event_loop() {
  if (!display::open()) module::unavailable("exit-event-loop", "no display (DISPLAY is not set, or its X server cannot be reached)");
  exit_loop();
  api::answer_none();
}

}  // namespace qel::view::backend::loop
