// The module's commands of `_gui-test` (view/test_hooks.hpp): a window for
// a face, a window's pixels, a message injected into the road, a key as GDK
// reports it, the dark theme setting.
#include <gtk/gtk.h>

#include <cmath>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/float.hpp"
#include "datatypes/image.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "datatypes/event.hpp"
#include "datatypes/string.hpp"
#include "view/backend/builder.hpp"
#include "view/backend/display.hpp"
#include "view/backend/input.hpp"
#include "view/backend/loop.hpp"
#include "view/backend/painter.hpp"
#include "view/backend/widget_items.hpp"
#include "view/backend/widgets.hpp"
#include "view/glue.hpp"
#include "view/backend/guard.hpp"
#include "view/backend/setup.hpp"
#include "view/backend/windows.hpp"
#include "view/face.hpp"
#include "view/messages.hpp"
#include "view/module.hpp"
#include "view/window.hpp"

namespace qel::view::backend {

namespace {

bool is(const Cell* w, const char* name) {
  return symbol::resolve(word::symbol_of(w)) == symbol::resolve(symbol::make(name));
}

window::Record* record_of(const Cell* face) {
  const Cell* h = face ? face::handle_of(face) : nullptr;
  window::Record* w = h ? window::from_handle(h) : nullptr;
  if (!w) fire(Err::script_not_linked);
  return w;
}

// A window for a face: a top-level one for a window face, else one inside
// its `parent` face's window, made by the view builder. Its `state`
// becomes [handle 0 none false] when it was none. Answers the handle.
void make_window(Cell* face) {
  if (type_of(face) != TYPE_OBJECT) fire(Err::script_invalid_arg, face);
  window::Record* parent = nullptr;
  if (!face::is_type(face, "window")) parent = record_of(face::facet(face, face::PARENT));
  if (!display::open()) module::unavailable("_gui-test", "no display (DISPLAY is not set, or its X server cannot be reached)");
  window::Record* w = builder::make(face, parent);
  if (!w) fire(Err::script_face_type, face::facet(face, face::TYPE));
  api::Values v(2);
  window::handle(*w, v[0]);
  Cell* state = face::facet(face, face::STATE);
  if (state && is_none(state)) {
    block::make_at(v[1], 4);
    block::append_copy(v[1], v[0]);
    Cell c;
    make_integer(&c, 0);
    block::append_copy(v[1], &c);
    make_none(&c);
    block::append_copy(v[1], &c);
    make_logic(&c, false);
    block::append_copy(v[1], &c);
    if ((state = face::facet(face, face::STATE))) copy_cell(v[1], state);
  }
  api::set_result(v[0]);
}

// The event flag bits of a block of flag words (or an integer of them).
u32 flag_bits(const Cell* c) {
  if (type_of(c) == TYPE_INTEGER) return u32(int_of(c));
  if (type_of(c) != TYPE_BLOCK) fire(Err::script_invalid_arg, c);
  u32 bits = 0;
  for (i32 i = 0; i < block::length_from_index(c); ++i) {
    const Cell* w = mem::buffer_of(series_node(c))->cells() + series_index(c) + i;
    u32 b = type_of(w) == TYPE_WORD ? event::flag_of_word(w) : 0;
    if (!b) fire(Err::script_invalid_arg, w);
    bits |= b;
  }
  return bits;
}

// [face code wparam lparam x y] or [... state] or [... state extra]: the
// message down the road to the face's window (state: its flag bits, a
// block of flag words; none or missing: the live state).
void inject(const Cell* spec) {
  i32 n = type_of(spec) == TYPE_BLOCK ? block::length_from_index(spec) : 0;
  if (n < 6 || n > 8) fire(Err::script_invalid_arg, spec);
  const Cell* c = mem::buffer_of(series_node(spec))->cells() + series_index(spec);
  for (u32 i = 1; i < 6; ++i)
    if (type_of(c + i) != TYPE_INTEGER) fire(Err::script_invalid_arg, c + i);
  window::Record* w = record_of(c);
  messages::Message m;
  m.window = w->id;
  m.code = u32(int_of(c + 1));
  m.wparam = u64(i64(int_of(c + 2)));
  m.lparam = int_of(c + 3);
  m.x = int_of(c + 4);
  m.y = int_of(c + 5);
  if (n >= 7 && !is_none(c + 6)) m.state = flag_bits(c + 6);
  if (n == 8) {
    if (type_of(c + 7) != TYPE_INTEGER) fire(Err::script_invalid_arg, c + 7);
    m.extra = u32(int_of(c + 7));
  }
  i64 answer;
  {
    input::Current scope(&m);
    answer = input::dispatch(m);
  }
  guard::raise_pending();
  make_integer(api::result(), i32(answer));
  api::keep_result();
}

// [face "keyname" [modifiers]]: a key pressed and released as GDK reports
// it, through the whole input road (the key table included); with post,
// put in GDK's queue for the loop to take.
void key(const Cell* spec, bool post) {
  if (type_of(spec) != TYPE_BLOCK || block::length_from_index(spec) != 3) fire(Err::script_invalid_arg, spec);
  api::Values v(3);
  for (u32 i = 0; i < 3; ++i) copy_cell(mem::buffer_of(series_node(spec))->cells() + series_index(spec) + i, v[i]);
  window::Record* w = record_of(v[0]);
  if (type_of(v[1]) != TYPE_STRING) fire(Err::script_invalid_arg, v[1]);
  u32 bits = flag_bits(v[2]);
  guint keyval = gdk_keyval_from_name(string::to_utf8(v[1]).c_str());
  if (keyval == GDK_KEY_VoidSymbol) fire(Err::script_invalid_arg, v[1]);
  GtkWidget* top = gtk_widget_get_toplevel(windows::widget(*w));
  GdkWindow* gw = top ? gtk_widget_get_window(top) : nullptr;
  if (!gw) fire(Err::script_not_linked);
  GdkKeymapKey* keys = nullptr;
  gint count = 0;
  guint16 code = 0;
  guint8 group = 0;
  if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(gdk_window_get_display(gw)), keyval, &keys, &count) &&
      count > 0) {
    code = guint16(keys[0].keycode);
    group = guint8(keys[0].group);
  }
  g_free(keys);
  guint state = 0;
  if (bits & event::FLAG_CONTROL) state |= GDK_CONTROL_MASK;
  if (bits & event::FLAG_SHIFT) state |= GDK_SHIFT_MASK;
  if (bits & event::FLAG_ALT) state |= GDK_MOD1_MASK;
  for (GdkEventType type : {GDK_KEY_PRESS, GDK_KEY_RELEASE}) {
    GdkEvent* e = gdk_event_new(type);
    e->key.window = GDK_WINDOW(g_object_ref(gw));
    e->key.send_event = TRUE;
    e->key.time = GDK_CURRENT_TIME;
    e->key.state = state;
    e->key.keyval = keyval;
    e->key.hardware_keycode = code;
    e->key.group = group;
    gdk_event_set_device(e, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_window_get_display(gw))));
    if (post) gdk_event_put(e);
    else loop::handle(e);
    gdk_event_free(e);
  }
  guard::raise_pending();
  api::answer_none();
}

// A GTK signal whose handler calls the function: what the function raises
// or throws comes out of the routine, after GTK's frames, through the guard.
// The handler reaches the function and its result cell through the
// signal's data: the guard's frame moves the frame base.
void on_clicked(GtkButton*, gpointer data) {
  Cell* cells = static_cast<Cell*>(data);  // the function, the result: rooted by the caller
  guard::run([cells] { api::check(api::invoke(cells, nullptr, 0, cells + 1)); });
}

void signal(const Cell* fn) {
  if (!display::open()) module::unavailable("_gui-test", "no display");
  api::Values v(2);
  copy_cell(fn, v[0]);
  GtkWidget* button = gtk_button_new();
  g_object_ref_sink(button);
  g_signal_connect(button, "clicked", G_CALLBACK(on_clicked), v.data());
  g_signal_emit_by_name(button, "clicked");
  g_object_unref(button);
  guard::raise_pending();
  api::set_result(v[1]);
}

// What the face's native widget shows: its allocated size (0x0 hidden) and position in
// its parent's container (pixels), and its state: the position and range
// of a slider or scroll bar (pos x upper), a progress bar's fraction, a
// check's state, a text control's or label's text.
void native(const Cell* face) {
  window::Record* w = record_of(face);
  GtkWidget* g = windows::widget(*w);
  GtkWidget* c = windows::control(*w);
  painter::flush(*w);
  api::Values v(2);
  block::make_at(v[0], 3);
  GtkAllocation a{0, 0, 0, 0};
  if (g && gtk_widget_get_visible(g)) gtk_widget_get_allocation(g, &a);
  Cell p;
  pair::make_at(make_none(&p), a.width, a.height);
  block::append_copy(v[0], &p);
  pair::make_at(make_none(&p), a.x, a.y);
  block::append_copy(v[0], &p);
  make_none(v[1]);
  if (c && GTK_IS_RANGE(c)) {
    GtkAdjustment* adj = gtk_range_get_adjustment(GTK_RANGE(c));
    pair::make_at(v[1], i32(std::lround(gtk_adjustment_get_value(adj))), i32(std::lround(gtk_adjustment_get_upper(adj))));
  } else if (c && GTK_IS_PROGRESS_BAR(c)) {
    make_float(v[1], gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(c)));
  } else if (c && GTK_IS_TOGGLE_BUTTON(c)) {
    glue::Check s = widgets::check_state(*w);
    if (s == glue::INDETERMINATE) make_none(v[1]);
    else make_logic(v[1], s == glue::CHECKED);
  } else {
    std::string text;
    if (!widgets::read_text(*w, text) && c) {
      const char* t = GTK_IS_LABEL(c) ? gtk_label_get_text(GTK_LABEL(c))
                      : GTK_IS_WINDOW(c) ? gtk_window_get_title(GTK_WINDOW(c))
                      : GTK_IS_BUTTON(c) ? gtk_button_get_label(GTK_BUTTON(c))
                                          : nullptr;
      if (GTK_IS_BUTTON(c) && !t)
        if (GtkWidget* l = gtk_bin_get_child(GTK_BIN(c)); l && GTK_IS_LABEL(l)) t = gtk_label_get_text(GTK_LABEL(l));
      if (t) text = t;
    }
    string::load_at(reinterpret_cast<const u8*>(text.data()), u32(text.size()), v[1], string::Encoding::utf8);
  }
  block::append_copy(v[0], v[1]);
  api::set_result(v[0]);
}

// The screen as the X server shows it (what a screenshot takes: windows,
// what a compositing manager made of them, the root behind), as an image!.
void screen_pixels() {
  GdkWindow* root = display::open() ? gdk_get_default_root_window() : nullptr;
  int width = root ? gdk_window_get_width(root) : 0, height = root ? gdk_window_get_height(root) : 0;
  GdkPixbuf* pb = width > 0 && height > 0 ? gdk_pixbuf_get_from_window(root, 0, 0, width, height) : nullptr;
  if (!pb) {
    api::answer_none();
    return;
  }
  int n = gdk_pixbuf_get_n_channels(pb), stride = gdk_pixbuf_get_rowstride(pb);
  const guchar* px = gdk_pixbuf_read_pixels(pb);
  std::vector<u32> words(std::size_t(width) * std::size_t(height));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const guchar* p = px + std::size_t(y) * std::size_t(stride) + std::size_t(x) * std::size_t(n);
      words[std::size_t(y) * std::size_t(width) + std::size_t(x)] = 0xFF000000u | u32(p[0]) << 16 | u32(p[1]) << 8 | p[2];
    }
  g_object_unref(pb);
  api::set_result(image::push_from_pixels(u32(width), u32(height), words.data()));
}

}  // namespace

void test_hook() {
  Cell* command = api::arg(0);
  Cell* value = api::arg(1);
  if (is(command, "window")) {
    make_window(value);
  } else if (is(command, "snapshot")) {
    api::set_result(painter::snapshot(*record_of(value)));
  } else if (is(command, "screen")) {
    screen_pixels();
  } else if (is(command, "composited")) {
    GdkScreen* screen = display::open() ? gdk_screen_get_default() : nullptr;
    api::answer_logic(screen && gdk_screen_is_composited(screen));
  } else if (is(command, "inject")) {
    inject(value);
  } else if (is(command, "key") || is(command, "post-key")) {
    key(value, is(command, "post-key"));
  } else if (is(command, "native")) {
    native(value);
  } else if (is(command, "scroll-bar")) {
    // [face vertical? step]: the face's own scroll bar stepped by the user
    // (step: 1 a line down or right, 3 a page), answering where the bar is
    // (position x end).
    if (type_of(value) != TYPE_BLOCK || block::length_from_index(value) != 3) fire(Err::script_invalid_arg, value);
    const Cell* c = mem::buffer_of(series_node(value))->cells() + series_index(value);
    bool vertical = type_of(c + 1) == TYPE_LOGIC && logic_of(c + 1);
    GtkScrollType step = type_of(c + 2) == TYPE_INTEGER && int_of(c + 2) == 3 ? GTK_SCROLL_PAGE_FORWARD : GTK_SCROLL_STEP_FORWARD;
    GtkWidget* g = windows::widget(*record_of(c));
    auto* bar = GTK_IS_SCROLLBAR(g) ? g  // a scroller face is a bar itself
                                    : static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(g), vertical ? "qel-vbar" : "qel-hbar"));
    if (!bar) fire(Err::script_invalid_arg, value);
    GtkAdjustment* a = gtk_range_get_adjustment(GTK_RANGE(bar));
    gboolean done = FALSE;
    g_signal_emit_by_name(bar, "change-value", step, gtk_adjustment_get_value(a) + 1, &done);
    guard::raise_pending();
    Cell p;
    pair::make_at(make_none(&p), i32(gtk_adjustment_get_value(a)), i32(gtk_adjustment_get_upper(a)));
    api::set_result(&p);
  } else if (is(command, "click")) {
    // A click on a button control, as its widget reports it.
    GtkWidget* c = windows::control(*record_of(value));
    if (!c || !GTK_IS_BUTTON(c)) fire(Err::script_invalid_arg, value);
    gtk_button_clicked(GTK_BUTTON(c));
    guard::raise_pending();
    api::answer_none();
  } else if (is(command, "window-state")) {
    // [face word]: the window manager's report that the face's window was
    // minimised, maximised or restored, as GDK gives it.
    if (type_of(value) != TYPE_BLOCK || block::length_from_index(value) != 2) fire(Err::script_invalid_arg, value);
    const Cell* c = mem::buffer_of(series_node(value))->cells() + series_index(value);
    GtkWidget* g = windows::widget(*record_of(c));
    if (!g || !GTK_IS_WINDOW(g) || !gtk_widget_get_window(g) || type_of(c + 1) != TYPE_WORD)
      fire(Err::script_invalid_arg, value);
    GdkWindowState state = GdkWindowState(0);
    if (is(c + 1, "minimize")) state = GDK_WINDOW_STATE_ICONIFIED;
    else if (is(c + 1, "maximize")) state = GDK_WINDOW_STATE_MAXIMIZED;
    else if (!is(c + 1, "restore")) fire(Err::script_invalid_arg, c + 1);
    GdkEvent* e = gdk_event_new(GDK_WINDOW_STATE);
    e->window_state.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(g)));
    e->window_state.changed_mask = GdkWindowState(GDK_WINDOW_STATE_ICONIFIED | GDK_WINDOW_STATE_MAXIMIZED);
    e->window_state.new_window_state = state;
    gtk_widget_event(g, e);
    gdk_event_free(e);
    guard::raise_pending();
    api::answer_none();
  } else if (is(command, "windows")) {
    make_integer(api::result(), i32(window::count()));
    api::keep_result();
  } else if (is(command, "signal")) {
    signal(value);
  } else if (is(command, "dark-mode")) {
    api::answer_logic(setup::dark_requested());
  } else if (widget_items::test_command(command, value)) {
  } else {
    fire(Err::script_invalid_arg, command);
  }
}

}  // namespace qel::view::backend
