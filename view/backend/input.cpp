#include "view/backend/input.hpp"

#include <gdk/gdkkeysyms.h>
#include <gtk/gtk.h>

#include <string>

#include "datatypes/event.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/startup.hpp"
#include "view/backend/guard.hpp"
#include "view/backend/windows.hpp"
#include "view/convert.hpp"
#include "view/face.hpp"
#include "view/keys.hpp"
#include "view/system_view.hpp"
#include "view/units.hpp"

namespace qel::view::backend::input {

namespace {

using messages::Message;
using window::Record;

// ---- module state (one thread; lives for the whole run) --------------------------------

Cell g_event{};                       // the shared event
const Message* g_current = nullptr;   // the message being handled
i32 g_special = -1;                   // the special key of the last key message, -1 for a character
i64 g_override = -1;                  // modifier override
bool g_ime_composing = false;
std::string g_ime_text;               // the preedit text of the next ime event
u32 g_hover = 0;                      // the window of the last over event
i32 g_last_x = INT32_MIN, g_last_y = INT32_MIN;  // the last pointer move passed on
u32 g_capture = 0;                    // the window holding the mouse (a base face's press)
bool g_marking = false;
ContextMenu g_show_context_menu = nullptr;  // the widgets' context menus (set_context_menus)
void (*g_forget_context_menu)() = nullptr;

void mark_event() { gc::mark_values(&g_event, &g_event + 1); }

bool is_type(const Record& w, const char* type) {
  const Cell* f = window::face(w);
  return f && face::is_type(f, type);
}

u32 face_flags(const Record& w) { return u32(window::get(w, window::FLAGS)); }

// What the input events told (note_input): the modifiers and buttons held
// after the last one (GDK state bits), the pointer's screen position.
bool g_state_known = false;
u32 g_state = 0;
bool g_pointer_known = false;
int g_pointer_x = 0, g_pointer_y = 0;

// The state bits of the modifier a key is.
u32 modifier_mask(guint keyval) {
  switch (keyval) {
    case GDK_KEY_Shift_L: case GDK_KEY_Shift_R: return GDK_SHIFT_MASK;
    case GDK_KEY_Control_L: case GDK_KEY_Control_R: return GDK_CONTROL_MASK;
    case GDK_KEY_Alt_L: case GDK_KEY_Alt_R: case GDK_KEY_Meta_L: case GDK_KEY_Meta_R: return GDK_MOD1_MASK;
    default: return 0;
  }
}

u32 button_mask(guint button) {
  switch (button) {
    case 1: return GDK_BUTTON1_MASK;
    case 2: return GDK_BUTTON2_MASK;
    case 3: return GDK_BUTTON3_MASK;
    default: return 0;
  }
}

// The modifiers and buttons held now, as GDK state bits: those the last
// input event left; before any came, the X server's answer.
u32 held_state() {
  if (g_state_known) return g_state;
  GdkDisplay* d = gdk_display_get_default();
  if (!d) return 0;
  GdkModifierType mods = GdkModifierType(gdk_keymap_get_modifier_state(gdk_keymap_get_for_display(d)));
  GdkSeat* seat = gdk_display_get_default_seat(d);
  if (GdkDevice* pointer = seat ? gdk_seat_get_pointer(seat) : nullptr) {
    GdkModifierType buttons = GdkModifierType(0);
    gdk_device_get_state(pointer, gdk_get_default_root_window(), nullptr, &buttons);
    mods = GdkModifierType(mods | (buttons & (GDK_BUTTON1_MASK | GDK_BUTTON2_MASK | GDK_BUTTON3_MASK)));
  }
  g_state = u32(mods);
  g_state_known = true;
  return g_state;
}

// The modifiers and buttons now, as event flag bits.
u32 live_state() { return state_flags(held_state()); }

constexpr u32 KEY_BITS = event::FLAG_CONTROL | event::FLAG_SHIFT | event::FLAG_ALT;

// modifier-flags: the message's state (or the live one); mode 1 keeps only
// control, shift and alt.
u32 modifier_flags(const Message& m, int mode) {
  u32 s = m.state == messages::STATE_LIVE ? live_state() : m.state;
  return mode == 1 ? (s & KEY_BITS) : s;
}

u32 current_modifiers(const Message& m) {
  return g_override >= 0 ? u32(g_override) : modifier_flags(m, 0);
}

// The awake function of system/view into out; false when there is none.
bool awake_function(Cell* out) {
  const Cell* a = system_view::field("awake");
  Type t = a ? type_of(a) : TYPE_NONE;
  if (t != TYPE_FUNCTION && t != TYPE_NATIVE && t != TYPE_ACTION && t != TYPE_ROUTINE) return false;
  copy_cell(a, out);
  return true;
}

// Calls awake with the event; a word answer into *answer (0 for another).
u32 call_awake(Cell* event) {
  api::Values v(3);  // the function, the result, its name
  if (!awake_function(v[0])) return 0;
  copy_cell(event, v[1]);
  static const u32 name = symbol::make("awake");  // C++ names are never reclaimed
  word::make_at(name, v[2]);
  api::CallOptions opts;
  opts.name = v[2];
  // An error of the handlers ends here; the event goes on.
  bool done = guard::run([&] { api::check(api::invoke(v[0], v[1], 1, v[1], opts)); }, true);
  if (!done) return 0;
  return type_of(v[1]) == TYPE_WORD ? symbol::resolve(word::symbol_of(v[1])) : 0;
}

u32 sym(const char* name) { return symbol::resolve(symbol::make(name)); }

bool is_surrogate(u32 c) { return c >= 0xD800 && c <= 0xDFFF; }

}  // namespace

u32 state_flags(u32 state) {
  u32 f = 0;
  if (state & GDK_CONTROL_MASK) f |= event::FLAG_CONTROL;
  if (state & GDK_SHIFT_MASK) f |= event::FLAG_SHIFT;
  if (state & GDK_MOD1_MASK) f |= event::FLAG_ALT;
  if (state & GDK_BUTTON1_MASK) f |= event::FLAG_DOWN;
  if (state & GDK_BUTTON2_MASK) f |= event::FLAG_MID_DOWN;
  if (state & GDK_BUTTON3_MASK) f |= event::FLAG_ALT_DOWN;
  return f;
}

void note_input(GdkEvent* e) {
  GdkModifierType state = GdkModifierType(0);
  switch (e->type) {
    case GDK_MOTION_NOTIFY: case GDK_BUTTON_PRESS: case GDK_2BUTTON_PRESS: case GDK_3BUTTON_PRESS:
    case GDK_BUTTON_RELEASE: case GDK_SCROLL: case GDK_ENTER_NOTIFY: case GDK_LEAVE_NOTIFY: {
      double x = 0, y = 0;
      if (gdk_event_get_root_coords(e, &x, &y)) {
        g_pointer_x = int(x);
        g_pointer_y = int(y);
        g_pointer_known = true;
      }
      break;
    }
    case GDK_KEY_PRESS: case GDK_KEY_RELEASE:
      break;
    default:
      return;
  }
  if (!gdk_event_get_state(e, &state)) return;
  // An event's state is the one before it: a press or release of a button
  // or a modifier key changes it.
  u32 s = u32(state);
  switch (e->type) {
    case GDK_BUTTON_PRESS: s |= button_mask(e->button.button); break;
    case GDK_BUTTON_RELEASE: s &= ~button_mask(e->button.button); break;
    case GDK_KEY_PRESS: s |= modifier_mask(e->key.keyval); break;
    case GDK_KEY_RELEASE: s &= ~modifier_mask(e->key.keyval); break;
    default: break;
  }
  g_state = s;
  g_state_known = true;
}

void pointer_position(int* x, int* y) {
  if (!g_pointer_known) {
    GdkDisplay* d = gdk_display_get_default();
    GdkSeat* seat = d ? gdk_display_get_default_seat(d) : nullptr;
    GdkDevice* pointer = seat ? gdk_seat_get_pointer(seat) : nullptr;
    if (!pointer) {
      *x = *y = 0;
      return;
    }
    gdk_device_get_position(pointer, nullptr, &g_pointer_x, &g_pointer_y);
    g_pointer_known = true;
  }
  *x = g_pointer_x;
  *y = g_pointer_y;
}

u32 mouse_flags(u64 wparam) {
  u32 f = 0;
  if (wparam & MK_LBUTTON) f |= event::FLAG_DOWN;
  if (wparam & MK_RBUTTON) f |= event::FLAG_ALT_DOWN;
  if (wparam & MK_SHIFT) f |= event::FLAG_SHIFT;
  if (wparam & MK_CONTROL) f |= event::FLAG_CONTROL;
  if (wparam & MK_MBUTTON) f |= event::FLAG_MID_DOWN;
  if (wparam & (MK_XBUTTON1 | MK_XBUTTON2)) f |= event::FLAG_AUX_DOWN;
  return f;
}

const Message* current() { return g_current; }

Current::Current(const Message* m) : saved(g_current) { g_current = m; }
Current::~Current() { g_current = saved; }

i64 override_modifiers(i64 value) {
  i64 previous = g_override;
  g_override = value;
  return previous;
}

// ---- make-event ------------------------------------------------------------------------

i32 make_event(Message& m, u32 flags, u32 type) {
  u32 key = 0, bits = 0;
  bool special = false;
  switch (type) {
    case event::OVER:
      bits = flags;
      break;
    case event::KEY_DOWN:
    case event::KEY_UP: {
      u32 vk = u32(m.wparam & 0xFFFF);
      if (type == event::KEY_DOWN && vk == keys::PROCESSKEY) {
        g_special = -1;
        return 1;
      }
      if ((type == event::KEY_DOWN && g_ime_composing) || keys::char_key(vk)) g_special = -1;
      else g_special = i32(keys::sided(vk, m.lparam));
      if (g_special == -1) {
        u32 c = m.extra ? m.extra : keys::unshifted_char(vk);
        if (c) vk = c;
        key = vk;
      } else if (keys::special_word(u32(g_special))) {
        key = u32(g_special);
        special = true;
      } else {
        key = vk & 0xFFFF;  // a key outside the table: its code as a character
      }
      bits = current_modifiers(m);
      break;
    }
    case event::KEY: {
      // A typed character comes whole (a code point); a key message carries
      // its key code.
      bool typed = m.code == messages::CHAR;
      u32 c = typed ? u32(m.wparam) & event::KEY_MASK : u32(m.wparam & 0xFFFF);
      if (typed && is_surrogate(c)) return 1;  // half a character: no key event
      // A character beyond U+FFFF holds the whole code point as its key, and
      // no modifier flags.
      u32 mods = typed && c > 0xFFFF ? 0 : current_modifiers(m);
      if ((g_ime_composing && (mods & event::FLAG_SHIFT)) || g_special == keys::LMENU || g_special == keys::RMENU)
        g_special = -1;
      if (g_special != -1 && m.code != messages::CHAR && keys::special_word(u32(g_special))) {
        key = u32(g_special);
        special = true;
      } else if (g_special != -1 && m.code != messages::CHAR) {
        return 1;  // a special key outside the table has no key event
      } else {
        key = c;
      }
      bits = mods;
      break;
    }
    case event::SELECT:
      key = u32(flags + 1) & 0xFFFF;
      break;
    case event::CHANGE:
      if (Record* w = window::find(m.window); w && is_type(*w, "tab-panel")) key = flags & 0xFFFF;
      break;
    case event::DOWN: case event::UP: case event::MID_DOWN: case event::MID_UP: case event::ALT_DOWN:
    case event::ALT_UP: case event::AUX_DOWN: case event::AUX_UP: case event::DBL_CLICK: case event::WHEEL:
      bits = flags | modifier_flags(m, 0);
      if (type == event::WHEEL) {
        key = keys::WHEEL_KEY;
        special = true;
      }
      break;
    case event::CLICK:
      bits = modifier_flags(m, 1);
      break;
    case event::SCROLL:
      key = keys::scroll_key(u32(m.wparam & 0xFFFF), m.code == messages::VSCROLL);
      special = true;
      break;
    default:
      break;
  }
  u32 ref = messages::record(m);
  if (type == event::IME) {
    api::Values t(1);
    string::load_at(reinterpret_cast<const u8*>(g_ime_text.data()), u32(g_ime_text.size()), t[0],
                    string::Encoding::utf8);
    messages::attach_text(ref, t[0]);
  }
  if (!g_marking) g_marking = gc::add_mark_callback(mark_event);
  event::make_os_at(&g_event, type, ref, bits, key, special);
  api::Values v(1);
  copy_cell(&g_event, v[0]);
  u32 answer;
  {
    Current scope(&m);
    answer = call_awake(v[0]);
  }
  static const u32 stop = sym("stop");
  return answer == stop ? 0 : 1;
}

// ---- pre-processing ------------------------------------------------------------------------

bool input_blocked(const Record& w) {
  for (const Record* r = &w; r; r = r->parent) {
    if (r->parent) continue;  // the root window decides
    const Cell* f = window::face(*r);
    const Cell* enabled = f ? face::facet(f, face::ENABLED_Q) : nullptr;
    return enabled && type_of(enabled) == TYPE_LOGIC && !logic_of(enabled) && face::is_type(f, "window");
  }
  return false;
}

namespace {

bool is_input(u32 code) {
  switch (code) {
    case messages::LBUTTONDOWN: case messages::LBUTTONUP: case messages::LBUTTONDBLCLK:
    case messages::MBUTTONDOWN: case messages::MBUTTONUP: case messages::RBUTTONDOWN: case messages::RBUTTONUP:
    case messages::XBUTTONDOWN: case messages::XBUTTONUP: case messages::MOUSEMOVE: case messages::MOUSEWHEEL:
    case messages::KEYDOWN: case messages::KEYUP: case messages::CHAR: case messages::SYSKEYDOWN:
    case messages::SYSKEYUP:
      return true;
    default:
      return false;
  }
}

// A mouse event raised with the window as the button window while it runs.
i32 button_event(Message& m, u32 flags, u32 type) { return make_event(m, flags, type); }

void forget_context_menu() {
  if (g_forget_context_menu) g_forget_context_menu();
}

}  // namespace

i32 preprocess(Message& m) {
  Record* w = window::find(m.window);
  if (!w) return 1;
  if (is_input(m.code) && input_blocked(*w)) return 0;
  u32 id = w->id;
  u32 flags = mouse_flags(m.wparam) | ((m.state == messages::STATE_LIVE ? live_state() : m.state) & KEY_BITS);
  switch (m.code) {
    case messages::KEYDOWN: {
      i32 v = make_event(m, flags, event::KEY_DOWN);
      if (v > 0 && g_special != -1 && !keys::modifier(u32(g_special)) && window::find(id))
        v = make_event(m, flags, event::KEY);
      return v;
    }
    case messages::KEYUP:
    case messages::SYSKEYUP:
      return make_event(m, flags, event::KEY_UP);
    case messages::CHAR:
      g_special = -1;
      return make_event(m, flags, event::KEY);
    case messages::SYSKEYDOWN:
      return make_event(m, flags, event::KEY_DOWN);
    case messages::MOUSEMOVE: {
      if (m.x == g_last_x && m.y == g_last_y) return 0;
      g_last_x = m.x;
      g_last_y = m.y;
      bool all_over = (face_flags(*w) & convert::ALL_OVER) != 0;
      if ((g_hover != id) || all_over) {
        make_event(m, flags, event::OVER);
        if (window::find(id)) g_hover = id;
      }
      return 1;
    }
    case messages::LBUTTONDOWN:
      forget_context_menu();
      return button_event(m, flags, event::DOWN);
    case messages::LBUTTONUP:
      if (g_capture == id && is_type(*w, "base")) g_capture = 0;
      return button_event(m, flags, event::UP);
    case messages::LBUTTONDBLCLK:
      forget_context_menu();
      make_event(m, 0, event::DOWN);
      if (window::find(id)) make_event(m, flags, event::DBL_CLICK);
      return 1;
    case messages::RBUTTONDOWN: {
      if (g_capture) return 1;
      forget_context_menu();
      i32 v = make_event(m, flags, event::ALT_DOWN);
      if (Record* r = window::find(id); r && g_show_context_menu && g_show_context_menu(*r, m)) return 0;
      return v;
    }
    case messages::RBUTTONUP:
      return make_event(m, flags, event::ALT_UP);
    case messages::MBUTTONDOWN:
      return make_event(m, flags, event::MID_DOWN);
    case messages::MBUTTONUP:
      return make_event(m, flags, event::MID_UP);
    case messages::MOUSEWHEEL:
      return make_event(m, mouse_flags(m.wparam), event::WHEEL);
    case messages::XBUTTONDOWN:
      return make_event(m, flags, event::AUX_DOWN);
    case messages::XBUTTONUP:
      return make_event(m, flags, event::AUX_UP);
    case messages::MOUSELEAVE:
      g_last_x = g_last_y = INT32_MIN;
      make_event(m, flags | event::FLAG_AWAY, event::OVER);
      if (g_hover == id) g_hover = 0;
      return 1;
    default:
      return 1;
  }
}

void forget_window(u32 id) {
  if (g_hover == id) g_hover = 0;
  if (g_capture == id) g_capture = 0;
}

void capture(u32 id) { g_capture = id; }
u32 capture_window() { return g_capture; }

void set_ime(bool composing, const std::string& text) {
  g_ime_composing = composing;
  g_ime_text = text;
}

void set_context_menus(ContextMenu show, void (*forget)()) {
  g_show_context_menu = show;
  g_forget_context_menu = forget;
}

i64 dispatch(Message m) {
  if (preprocess(m) <= 0) return 0;
  Record* w = window::find(m.window);
  if (!w) return -1;
  return windows::procedure(*w, m);
}

Message command_message(u32 window) {
  Message m = g_current ? *g_current : Message{};
  m.window = window;
  m.code = messages::COMMAND;
  m.wparam = 0;
  m.lparam = 0;
  return m;
}

i32 command_event(u32 window, u32 type, u32 flags) {
  Message m = command_message(window);
  return make_event(m, flags, type);
}

}  // namespace qel::view::backend::input

namespace qel::view::backend::input {

namespace {

struct Made {
  u32 code;
  u64 wparam;
};

// The message a made event of types 1..15 stands for.
bool message_of(u32 type, u32 bits, u32 key, Made& out) {
  switch (type) {
    case event::DOWN: out = {messages::LBUTTONDOWN, MK_LBUTTON}; return true;
    case event::UP: out = {messages::LBUTTONUP, 0}; return true;
    case event::MID_DOWN: out = {messages::MBUTTONDOWN, MK_MBUTTON}; return true;
    case event::MID_UP: out = {messages::MBUTTONUP, 0}; return true;
    case event::ALT_DOWN: out = {messages::RBUTTONDOWN, MK_RBUTTON}; return true;
    case event::ALT_UP: out = {messages::RBUTTONUP, 0}; return true;
    case event::AUX_DOWN: out = {messages::XBUTTONDOWN, 0x10020}; return true;
    case event::AUX_UP: out = {messages::XBUTTONUP, 0x10000}; return true;
    case event::DBL_CLICK: out = {messages::LBUTTONDBLCLK, MK_LBUTTON}; return true;
    case event::WHEEL: out = {messages::MOUSEWHEEL, 0}; return true;
    case event::OVER:
      out = {(bits & event::FLAG_AWAY) ? u32(messages::MOUSELEAVE) : u32(messages::MOUSEMOVE), 0};
      return true;
    case event::KEY: out = {messages::CHAR, key}; return true;
    case event::KEY_DOWN: out = {messages::KEYDOWN, keys::code_of_char(key) & 0xFF}; return true;
    case event::KEY_UP: out = {messages::KEYUP, keys::code_of_char(key) & 0xFF}; return true;
    default: return false;
  }
}

bool is_mouse(u32 code) { return code != messages::CHAR && code != messages::KEYDOWN && code != messages::KEYUP; }

}  // namespace

bool send_event(const Cell* event_in, Message* post) {
  api::Values v(3);  // the event, its face, its offset then picked
  copy_cell(event_in, v[0]);
  event::get_field(v[0], event::F_FACE, v[1]);
  const Cell* h = face::handle_of(v[1]);
  Record* w = h ? window::from_handle(h) : nullptr;
  if (!w || !window::face(*w)) return false;
  u32 type = event::type_code(v[0]), bits = event::flag_bits(v[0]), key = event::key_code(v[0]);
  if (type >= event::MINIMIZE && type <= event::RESTORE) {
    if (!face::is_type(v[1], "window")) return false;
    u32 flags = face_flags(*w);
    if (type == event::MINIMIZE && (flags & convert::NO_MIN)) return false;
    if (type == event::MAXIMIZE && ((flags & convert::NO_MAX) || !(flags & convert::RESIZE))) return false;
    Message m;
    m.window = w->id;
    m.code = messages::WINDOW_COMMAND;
    m.wparam = type;
    if (post) *post = m;
    else windows::procedure(*w, m);
    return true;
  }
  Made made{};
  if (!message_of(type, bits, key, made)) return false;
  Message m;
  m.window = w->id;
  m.code = made.code;
  m.wparam = made.wparam;
  if (is_mouse(made.code)) {
    if (bits & event::FLAG_CONTROL) m.wparam |= MK_CONTROL;
    if (bits & event::FLAG_SHIFT) m.wparam |= MK_SHIFT;
    if (bits & event::FLAG_DOWN) m.wparam |= MK_LBUTTON;
    if (bits & event::FLAG_ALT_DOWN) m.wparam |= MK_RBUTTON;
    if (bits & event::FLAG_MID_DOWN) m.wparam |= MK_MBUTTON;
    if (bits & event::FLAG_AUX_DOWN) m.wparam |= MK_XBUTTON1;
    event::get_field(v[0], event::F_OFFSET, v[2]);
    units::read_pixels(v[2], &m.x, &m.y);
    if (made.code == messages::MOUSEWHEEL) {
      event::get_field(v[0], event::F_PICKED, v[2]);
      if (type_of(v[2]) == TYPE_INTEGER) {
        i32 delta = int16_t(u16(m.wparam >> 16)) + int_of(v[2]) * 120;
        m.wparam = (m.wparam & 0xFFFF) | (u64(u16(delta)) << 16);
      }
    }
    // The event's buttons and modifiers are the message's.
    m.state = mouse_flags(m.wparam);
  } else {
    m.state = bits & KEY_BITS;
  }
  if (made.code == messages::MOUSEMOVE) g_hover = 0;
  if (post) {
    *post = m;
    return true;
  }
  i64 saved = g_override;
  if (!is_mouse(made.code)) g_override = bits & 0x73C00000;
  {
    Current scope(&m);
    if (preprocess(m) >= 1)
      if (Record* r = window::find(m.window)) windows::procedure(*r, m);
  }
  g_override = saved;
  return true;
}

}  // namespace qel::view::backend::input
