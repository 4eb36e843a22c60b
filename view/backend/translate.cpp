#include "view/backend/translate.hpp"

#include <gdk/gdkkeysyms.h>
#include <gtk/gtk.h>

#include <deque>
#include <string>

#include "datatypes/event.hpp"
#include "view/backend/input.hpp"
#include "view/backend/input_method.hpp"
#include "view/backend/windows.hpp"
#include "view/keys.hpp"

namespace qel::view::backend::translate {

namespace {

using messages::Message;
using window::Record;

// ---- the key table -----------------------------------------------------------------------

struct KeyRow {
  u32 keyval;
  u32 code;
  i64 lparam;  // scan code (bits 16-23) and extended bit (24) that tell sides apart
};

// Keys named by their keysym; the others are known by the character they
// type unshifted.
const KeyRow kKeys[] = {
    {GDK_KEY_BackSpace, keys::BACK, 0},        {GDK_KEY_Tab, keys::TAB, 0},
    {GDK_KEY_ISO_Left_Tab, keys::TAB, 0},      {GDK_KEY_Return, keys::RETURN, 0},
    {GDK_KEY_KP_Enter, keys::RETURN, 1 << 24}, {GDK_KEY_ISO_Enter, keys::RETURN, 0},
    {GDK_KEY_Escape, keys::ESCAPE, 0},         {GDK_KEY_space, keys::SPACE, 0},
    {GDK_KEY_KP_Space, keys::SPACE, 0},        {GDK_KEY_Pause, keys::PAUSE, 0},
    {GDK_KEY_Caps_Lock, keys::CAPITAL, 0},     {GDK_KEY_Page_Up, keys::PRIOR, 0},
    {GDK_KEY_KP_Page_Up, keys::PRIOR, 0},      {GDK_KEY_Page_Down, keys::NEXT, 0},
    {GDK_KEY_KP_Page_Down, keys::NEXT, 0},     {GDK_KEY_End, keys::END, 0},
    {GDK_KEY_KP_End, keys::END, 0},            {GDK_KEY_Home, keys::HOME, 0},
    {GDK_KEY_KP_Home, keys::HOME, 0},          {GDK_KEY_Left, keys::LEFT, 0},
    {GDK_KEY_KP_Left, keys::LEFT, 0},          {GDK_KEY_Up, keys::UP, 0},
    {GDK_KEY_KP_Up, keys::UP, 0},              {GDK_KEY_Right, keys::RIGHT, 0},
    {GDK_KEY_KP_Right, keys::RIGHT, 0},        {GDK_KEY_Down, keys::DOWN, 0},
    {GDK_KEY_KP_Down, keys::DOWN, 0},          {GDK_KEY_Insert, keys::INSERT, 0},
    {GDK_KEY_KP_Insert, keys::INSERT, 0},      {GDK_KEY_Delete, keys::DELETE_, 0},
    {GDK_KEY_KP_Delete, keys::DELETE_, 0},     {GDK_KEY_Num_Lock, keys::NUMLOCK, 0},
    {GDK_KEY_Scroll_Lock, keys::SCROLL, 0},    {GDK_KEY_Shift_L, keys::SHIFT, 0x2A << 16},
    {GDK_KEY_Shift_R, keys::SHIFT, 0x36 << 16}, {GDK_KEY_Control_L, keys::CONTROL, 0},
    {GDK_KEY_Control_R, keys::CONTROL, 1 << 24}, {GDK_KEY_Alt_L, keys::MENU, 0},
    {GDK_KEY_Alt_R, keys::MENU, 1 << 24},      {GDK_KEY_ISO_Level3_Shift, keys::MENU, 1 << 24},
    {GDK_KEY_Meta_L, keys::LWIN, 0},           {GDK_KEY_Super_L, keys::LWIN, 0},
    {GDK_KEY_Meta_R, keys::RWIN, 0},           {GDK_KEY_Super_R, keys::RWIN, 0},
    {GDK_KEY_Menu, keys::APPS, 0},             {GDK_KEY_KP_Multiply, keys::MULTIPLY, 0},
    {GDK_KEY_KP_Add, keys::ADD, 0},            {GDK_KEY_KP_Subtract, keys::SUBTRACT, 0},
    {GDK_KEY_KP_Decimal, keys::DECIMAL, 0},    {GDK_KEY_KP_Divide, keys::DIVIDE, 0},
};

// The unshifted characters of a US keyboard's punctuation keys.
struct PunctRow {
  char ch;
  u32 code;
};
const PunctRow kPunct[] = {
    {';', keys::OEM_1}, {'=', keys::OEM_PLUS},   {',', keys::OEM_COMMA}, {'-', keys::OEM_MINUS},
    {'.', keys::OEM_PERIOD}, {'/', keys::OEM_2}, {'`', keys::OEM_3},     {'[', keys::OEM_4},
    {'\\', keys::OEM_5}, {']', keys::OEM_6},     {'\'', keys::OEM_7},
};

// The control codes of Control with a key (by its unshifted character).
u32 control_code(u32 base_char, u32 code) {
  if (base_char >= 'a' && base_char <= 'z') return base_char - 'a' + 1;
  if (base_char >= 'A' && base_char <= 'Z') return base_char - 'A' + 1;
  switch (code) {
    case keys::BACK: return 127;
    case keys::RETURN: return 10;
    case keys::SPACE: return 32;
    case keys::OEM_4: return 27;
    case keys::OEM_5: return 28;
    case keys::OEM_6: return 29;
    default: return 0;
  }
}

// A key as the key table gives it: the key code, the key-down character
// (the unshifted key, letters upper-cased; 0 for a special key) and the
// typed character (0 for none). keyval is the key typed, base the key
// without shift; state holds GDK's modifier bits.
struct Key {
  u32 code;
  u32 down_char;
  u32 ch;
  i64 lparam;
};

Key translate_key(u32 keyval, u32 base, u32 state) {
  Key k{0, 0, 0, 0};
  bool named = false;
  for (const KeyRow& r : kKeys)
    if (r.keyval == keyval) {
      k.code = r.code;
      k.lparam = r.lparam;
      named = true;
      break;
    }
  if (keyval >= GDK_KEY_F1 && keyval <= GDK_KEY_F24) {
    k.code = keys::F1 + (keyval - GDK_KEY_F1);
    named = true;
  } else if (keyval >= GDK_KEY_KP_0 && keyval <= GDK_KEY_KP_9) {
    k.code = keys::NUMPAD0 + (keyval - GDK_KEY_KP_0);
    named = true;
  }
  u32 base_char = gdk_keyval_to_unicode(gdk_keyval_to_lower(base));
  if (!named) {
    if (base_char >= 'a' && base_char <= 'z') {
      k.code = base_char - 'a' + 'A';
    } else if (base_char >= '0' && base_char <= '9') {
      k.code = base_char;
    } else {
      for (const PunctRow& p : kPunct)
        if (base_char == u32(u8(p.ch))) k.code = p.code;
      // A key of another layout that types a character: a character key.
      if (!k.code && base_char >= 0x20 && base_char != 0x7F) k.code = 0xDF;
    }
  }
  if (!k.code) return k;
  if (keys::char_key(k.code)) {
    u32 c = named ? keys::unshifted_char(k.code) : gdk_keyval_to_unicode(gdk_keyval_to_upper(gdk_keyval_to_lower(base)));
    if (k.code == keys::RETURN) c = keys::RETURN;
    k.down_char = c;
  }
  bool control = state & GDK_CONTROL_MASK, alt = state & GDK_MOD1_MASK;
  if (alt) return k;  // Alt with a key types nothing
  if (control) {
    k.ch = control_code(base_char, k.code);
    return k;
  }
  switch (k.code) {
    case keys::BACK: case keys::TAB: case keys::RETURN: case keys::ESCAPE:
      k.ch = k.code;
      return k;
    default:
      break;
  }
  if (!keys::char_key(k.code) && k.code != 0xDF) return k;  // special keys type nothing
  k.ch = gdk_keyval_to_unicode(keyval);
  return k;
}

// MK bits of the same state (a mouse message's wparam).
u64 state_mk(u32 state) {
  u64 mk = 0;
  if (state & GDK_BUTTON1_MASK) mk |= input::MK_LBUTTON;
  if (state & GDK_BUTTON3_MASK) mk |= input::MK_RBUTTON;
  if (state & GDK_SHIFT_MASK) mk |= input::MK_SHIFT;
  if (state & GDK_CONTROL_MASK) mk |= input::MK_CONTROL;
  if (state & GDK_BUTTON2_MASK) mk |= input::MK_MBUTTON;
  return mk;
}

// Whether the widget a pointer event came to is a part of the face window
// that the toolkit owns: a menu bar and its items, a scroll bar inside the
// face (a scrollable face's own bars, a list's or a text area's), anything
// of a window outside its client area. Input there is the toolkit's alone,
// as a window's non-client area is: no face sees it.
bool toolkit_part(const Record& r, GtkWidget* ew) {
  GtkWidget* root = windows::widget(r);
  GtkWidget* client = windows::client(r);
  for (GtkWidget* g = ew; g; g = gtk_widget_get_parent(g)) {
    if (g == client) return false;
    if (g == root) return client != nullptr;  // a window around its client area
    if (GTK_IS_SCROLLBAR(g) || GTK_IS_MENU_SHELL(g)) return true;
  }
  return false;
}

// The text-list row under a point of the window (pixels from its top-left),
// 1-based; 0 for none or a window that is no text-list (a tree view).
i32 row_at(const Record& w, int x, int y) {
  GtkWidget* c = windows::control(w);
  GtkWidget* root = windows::widget(w);
  if (!c || !root || !GTK_IS_TREE_VIEW(c)) return 0;
  int vx = 0, vy = 0, bx = 0, by = 0;
  if (!gtk_widget_translate_coordinates(root, c, x, y, &vx, &vy)) return 0;
  gtk_tree_view_convert_widget_to_bin_window_coords(GTK_TREE_VIEW(c), vx, vy, &bx, &by);
  GtkTreePath* p = nullptr;
  if (!gtk_tree_view_get_path_at_pos(GTK_TREE_VIEW(c), bx, by, &p, nullptr, nullptr, nullptr) || !p) return 0;
  i32 row = gtk_tree_path_get_indices(p)[0];
  gtk_tree_path_free(p);
  return row + 1;
}

// A pointer message for the face window under the event, at the event's
// root position; false when no face window is there, or when the event
// came to a part the toolkit owns.
bool pointer_message(GdkEvent* e, u32 code, Message& m) {
  GtkWidget* ew = gtk_get_event_widget(e);
  Record* r = windows::record_of_widget(ew);
  if (!r || toolkit_part(*r, ew)) return false;
  double rx = 0, ry = 0;
  gdk_event_get_root_coords(e, &rx, &ry);
  int ox = 0, oy = 0;
  windows::client_origin(*r, &ox, &oy);
  GdkModifierType state = GdkModifierType(0);
  gdk_event_get_state(e, &state);
  m.window = r->id;
  m.code = code;
  m.x = int(rx) - ox;
  m.y = int(ry) - oy;
  m.lparam = row_at(*r, m.x, m.y);
  m.time = gdk_event_get_time(e);
  m.wparam = state_mk(state);
  m.state = input::state_flags(state);
  return true;
}

// The road of a message made of a GDK event: pre-processing, the window's
// procedure, and GTK's own handling unless one of them consumed it.
void road(GdkEvent* e, Message& m, bool pass_anyway = false) {
  input::Current scope(&m);
  i32 go = input::preprocess(m);
  Record* r = window::find(m.window);
  i64 answer = go > 0 && r ? windows::procedure(*r, m) : -1;
  if (pass_anyway || (go > 0 && answer == -1)) gtk_main_do_event(e);
}

// The button press of a double click's second press (GDK reports that press
// and then the double click): dropped from the events, the double click
// stands for it.
bool before_double_click(GdkEvent* e) {
  GdkEvent* next = gdk_event_peek();
  bool yes = next && next->type == GDK_2BUTTON_PRESS && next->button.button == e->button.button;
  if (next) gdk_event_free(next);
  return yes;
}

u32 button_code(u32 button, bool press) {
  switch (button) {
    case 1: return press ? messages::LBUTTONDOWN : messages::LBUTTONUP;
    case 2: return press ? messages::MBUTTONDOWN : messages::MBUTTONUP;
    case 3: return press ? messages::RBUTTONDOWN : messages::RBUTTONUP;
    case 8: case 9: return press ? messages::XBUTTONDOWN : messages::XBUTTONUP;
    default: return messages::NONE;
  }
}

// The face window keys go to: the focused widget's, else the window's.
Record* key_target(GdkEvent* e) {
  GtkWidget* top = gtk_get_event_widget(e);
  if (!top) return nullptr;
  top = gtk_widget_get_toplevel(top);
  GtkWidget* focus = GTK_IS_WINDOW(top) ? gtk_window_get_focus(GTK_WINDOW(top)) : nullptr;
  Record* r = focus ? windows::record_of_widget(focus) : nullptr;
  return r ? r : windows::record_of_widget(top);
}

// The pointer in the target's window, for key messages.
void pointer_in(Record& r, Message& m) {
  int rx = 0, ry = 0, ox = 0, oy = 0;
  input::pointer_position(&rx, &ry);
  windows::client_origin(r, &ox, &oy);
  m.x = rx - ox;
  m.y = ry - oy;
}

// The modifier a key itself sets or clears, as the state after the key.
u32 own_modifier(u32 code, i64 lparam) {
  switch (code) {
    case keys::SHIFT: return event::FLAG_SHIFT;
    case keys::CONTROL: return event::FLAG_CONTROL;
    case keys::MENU: return (lparam >> 24) & 1 ? 0 : event::FLAG_ALT;  // AltGr is no alt
    default: return 0;
  }
}

// Tab and Shift+Tab that no face handled go to the focused widget and the
// containers around it (a text view types a tab), never to the window's own
// key bindings: the keyboard focus moves only when the framework moves it.
void tab_to_focus(GdkEvent* e) {
  GtkWidget* top = gtk_get_event_widget(e);
  top = top ? gtk_widget_get_toplevel(top) : nullptr;
  if (top && GTK_IS_WINDOW(top)) gtk_window_propagate_key_event(GTK_WINDOW(top), &e->key);
}

// Whether the window's focused widget is a button of any kind (push
// button, toggle, check box, radio button).
bool button_has_focus(GdkEvent* e) {
  GtkWidget* top = gtk_get_event_widget(e);
  top = top ? gtk_widget_get_toplevel(top) : nullptr;
  GtkWidget* focus = top && GTK_IS_WINDOW(top) ? gtk_window_get_focus(GTK_WINDOW(top)) : nullptr;
  return focus && GTK_IS_BUTTON(focus);
}

void key_event(GdkEvent* e) {
  GdkEventKey* ke = &e->key;
  Record* r = key_target(e);
  if (!r) {
    gtk_main_do_event(e);
    return;
  }
  // The key without shift, in the same group, with the same other modifiers.
  guint base = 0;
  GdkKeymap* keymap = gdk_keymap_get_for_display(gdk_window_get_display(ke->window));
  if (!gdk_keymap_translate_keyboard_state(keymap, ke->hardware_keycode,
                                           GdkModifierType(ke->state & ~(GDK_SHIFT_MASK | GDK_LOCK_MASK)),
                                           ke->group, &base, nullptr, nullptr, nullptr))
    base = ke->keyval;  // a key the keyboard map does not have
  Key k = translate_key(ke->keyval, base, ke->state);
  if (!k.code) {
    // A key that is no key of the table (a dead key, a compose key) may
    // still start a composition.
    if (e->type == GDK_KEY_PRESS && input_method::filter_key(*r, ke)) return;
    gtk_main_do_event(e);
    return;
  }
  bool press = e->type == GDK_KEY_PRESS;
  bool alt = (ke->state & GDK_MOD1_MASK) || (press && k.code == keys::MENU && !((k.lparam >> 24) & 1));
  u32 own = own_modifier(k.code, k.lparam);
  u32 flags = input::state_flags(ke->state);
  flags = press ? flags | own : flags & ~own;
  Message m;
  m.window = r->id;
  m.code = press ? (alt ? messages::SYSKEYDOWN : messages::KEYDOWN) : (alt ? messages::SYSKEYUP : messages::KEYUP);
  m.wparam = k.code;
  m.lparam = k.lparam;
  m.extra = k.down_char;
  m.time = ke->time;
  m.state = flags;
  pointer_in(*r, m);
  u32 id = r->id;
  input::Current scope(&m);
  i32 go = input::preprocess(m);
  if (go <= 0) return;
  if (Record* w = window::find(id); w && windows::procedure(*w, m) != -1) return;
  if (press && m.code == messages::KEYDOWN) {
    // What the key types: through the input method of a self-drawn face
    // that takes one, else the key table's character.
    Record* w = window::find(id);
    if (w && input_method::filter_key(*w, ke)) return;
    if (k.ch) {
      Message c = m;
      c.code = messages::CHAR;
      c.wparam = k.ch;
      c.extra = 0;
      if (input::preprocess(c) <= 0) return;
      w = window::find(id);
      if (w && windows::procedure(*w, c) != -1) return;
    }
  }
  if (press && k.code == keys::TAB) {
    tab_to_focus(e);
    return;
  }
  // Return on a focused button is the framework's: a push button's click
  // comes from its `key` event, a check box or radio button takes nothing
  // (Space toggles them). The toolkit's own activation by Return would click
  // once more, or toggle.
  if (k.code == keys::RETURN && button_has_focus(e)) return;
  gtk_main_do_event(e);
}

// A grab of the toolkit's own holds the mouse and the keys: an open menu
// (a context menu, a menu bar's), or a widget outside every face window.
// Its input goes to the toolkit alone, as a menu loop's does.
bool toolkit_grab() {
  GtkWidget* grab = gtk_grab_get_current();
  return grab && (GTK_IS_MENU_SHELL(grab) || !windows::record_of_widget(grab));
}

bool input_kind(GdkEventType t) {
  switch (t) {
    case GDK_MOTION_NOTIFY: case GDK_BUTTON_PRESS: case GDK_2BUTTON_PRESS: case GDK_3BUTTON_PRESS:
    case GDK_BUTTON_RELEASE: case GDK_KEY_PRESS: case GDK_KEY_RELEASE: case GDK_ENTER_NOTIFY:
    case GDK_LEAVE_NOTIFY: case GDK_SCROLL: case GDK_TOUCHPAD_SWIPE: case GDK_TOUCHPAD_PINCH:
      return true;
    default:
      return false;
  }
}

i64 g_zoom_previous = -1;  // the distance of the last zoom step, -1 while no zoom runs

}  // namespace

bool toolkit_takes(GdkEvent* e) { return input_kind(e->type) && toolkit_grab(); }

void on_gdk_event(GdkEvent* e) {
  Message m;
  switch (e->type) {
    case GDK_MOTION_NOTIFY:
      if (!pointer_message(e, messages::MOUSEMOVE, m)) break;
      road(e, m, true);
      return;
    case GDK_ENTER_NOTIFY:
      if (e->crossing.mode != GDK_CROSSING_NORMAL || !pointer_message(e, messages::MOUSEMOVE, m)) break;
      road(e, m, true);
      return;
    case GDK_LEAVE_NOTIFY:
      if (e->crossing.mode != GDK_CROSSING_NORMAL || !pointer_message(e, messages::MOUSELEAVE, m)) break;
      road(e, m, true);
      return;
    case GDK_BUTTON_PRESS: {
      u32 code = button_code(e->button.button, true);
      if (!code || (code == messages::LBUTTONDOWN && before_double_click(e)) || !pointer_message(e, code, m)) break;
      if (e->button.button == 8) m.wparam |= input::MK_XBUTTON1 | 0x10000;
      if (e->button.button == 9) m.wparam |= input::MK_XBUTTON2 | 0x20000;
      road(e, m);
      return;
    }
    case GDK_2BUTTON_PRESS:
      if (e->button.button != 1 || !pointer_message(e, messages::LBUTTONDBLCLK, m)) break;
      road(e, m);
      return;
    case GDK_BUTTON_RELEASE: {
      u32 code = button_code(e->button.button, false);
      if (!code || !pointer_message(e, code, m)) break;
      // The toolkit sees every release, so that no widget stays pressed.
      road(e, m, true);
      return;
    }
    case GDK_SCROLL: {
      double dx = 0, dy = 0;
      i32 delta;
      switch (e->scroll.direction) {
        case GDK_SCROLL_UP: delta = 120; break;
        case GDK_SCROLL_DOWN: delta = -120; break;
        case GDK_SCROLL_SMOOTH:
          gdk_event_get_scroll_deltas(e, &dx, &dy);
          delta = i32(-dy * 120);
          break;
        default: delta = 0; break;
      }
      if (!delta || !pointer_message(e, messages::MOUSEWHEEL, m)) break;
      m.wparam |= u64(u16(int16_t(delta < -32768 ? -32768 : delta > 32767 ? 32767 : delta))) << 16;
      road(e, m);
      return;
    }
    case GDK_KEY_PRESS:
    case GDK_KEY_RELEASE:
      // What the key changed is painted at the window's next frame, with
      // whatever else changed before it.
      key_event(e);
      return;
    case GDK_TOUCHPAD_PINCH: {
      const GdkEventTouchpadPinch& p = e->touchpad_pinch;
      if (p.phase != GDK_TOUCHPAD_GESTURE_PHASE_UPDATE) {
        g_zoom_previous = -1;
        break;
      }
      if (!pointer_message(e, messages::GESTURE, m)) break;
      i64 distance = i64(p.scale * 1000.0);
      m.wparam = u64(g_zoom_previous);
      m.lparam = distance;
      m.extra = event::ZOOM;
      g_zoom_previous = distance;
      road(e, m, true);
      return;
    }
    case GDK_TOUCHPAD_SWIPE: {
      const GdkEventTouchpadSwipe& s = e->touchpad_swipe;
      if (s.phase != GDK_TOUCHPAD_GESTURE_PHASE_UPDATE || !pointer_message(e, messages::GESTURE, m)) break;
      m.lparam = i64(s.dx);
      m.extra = event::PAN;
      road(e, m, true);
      return;
    }
    default:
      break;
  }
  gtk_main_do_event(e);
}

}  // namespace qel::view::backend::translate
