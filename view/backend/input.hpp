// Input translation and event creation: what the toolkit reports (a GDK
// event, a widget's signal) becomes a message (view/messages.hpp), the
// message goes through the pre-processing step and the window procedures,
// and those raise events: `make_event` fills the one shared event! value
// and hands it to the framework's dispatcher `system/view/awake`, whose
// answer (`stop` or not) decides whether the toolkit's own handling of the
// input goes on.
//
// Messages, as this translation fills them:
//   mouse      wparam: the buttons and modifiers as MK bits (below), the
//              wheel's delta in its high 16 bits (120 a notch); x, y: the
//              pointer in pixels of the window; lparam: the list item under
//              the pointer (1-based) when the window is a list, else 0
//   keys       wparam: the key code (view/keys.hpp); lparam: bits 16-23 the
//              scan code, bit 24 set for the right-hand control and alt;
//              extra: the key's unshifted character (0: from the key code)
//   CHAR       wparam: the character (a UTF-16 unit, as typed)
//   MOVE, SIZE, MOVING, SIZING  x, y: the new position (the outer window's,
//              pixels) or client size
//   STATE      wparam: the event type (minimize, maximize, restore)
//   HSCROLL, VSCROLL  wparam: the scroll code; lparam: the new position
//   GESTURE    extra: the event type (zoom, pan, rotate, two-tap,
//              press-tap); lparam: the gesture's argument (the distance of a
//              zoom step, the pan or rotation amount); wparam: a zoom step's
//              previous distance (-1 for the first step)
//   IME        the preedit text attached (messages::attach_text)
//   COMMAND    wparam: the notification (Notify) in its high 16 bits;
//              lparam: the control's window id
// Every message also carries the modifiers and buttons as event flag bits
// (state), or STATE_LIVE for a message made without them (an injected one,
// an input method's character): it then has those that the last input
// event left (note_input).
#pragma once

#include "runtime/cell.hpp"
#include "view/messages.hpp"
#include "view/window.hpp"

typedef union _GdkEvent GdkEvent;

namespace qel::view::backend::input {

// Mouse-button and modifier bits of a mouse message's wparam.
enum Mk : u32 { MK_LBUTTON = 1, MK_RBUTTON = 2, MK_SHIFT = 4, MK_CONTROL = 8, MK_MBUTTON = 0x10,
                MK_XBUTTON1 = 0x20, MK_XBUTTON2 = 0x40 };
// The event flag bits of MK bits.
u32 mouse_flags(u64 wparam);

// Widget notifications (COMMAND messages), the decision table's rows.
enum Notify : u32 {
  CLICKED = 0,      // a button, toggle, check or radio was clicked
  SET_FOCUS = 1,    // the control took the keyboard focus
  KILL_FOCUS = 2,   // the control lost it
  TEXT_CHANGED = 3, // the user changed the text of an edit
  SEL_CHANGED = 4,  // a list's or combo's selection changed
  EDIT_UPDATE = 5,  // a combo's edit text changed
};

// Fills the shared event and calls awake; answers 1 (go on with the
// toolkit's own handling) or 0 (the event was stopped). Errors of the
// handlers stop inside; other transfers (a throw to an outer catch, a
// halt) are kept by the guard (guard.hpp) and raised once control is back
// in the core's frame.
i32 make_event(messages::Message& m, u32 flags, u32 type);

// The pre-processing step of every message (the message loop's): raises the
// input events; answers 1 or more when the message goes on to its window's
// procedure and the toolkit, 0 or less when it was consumed.
i32 preprocess(messages::Message& m);

// A widget notification of the control: the decision table by face type.
void command(window::Record& control, u32 notify);

// The radio whose click event is being raised (0 for none).
u32 clicked_radio();

// The message being handled (null when none): what command events use.
const messages::Message* current();
// Runs the message as the current one for the scope.
struct Current {
  explicit Current(const messages::Message* m);
  ~Current();
  const messages::Message* saved;
};

// A GDK event from the toolkit's queue: translated, pre-processed, handed to
// the window procedures and, unless consumed, to GTK. The message loop
// installs it as GDK's event handler.
void on_gdk_event(GdkEvent* e);

// What the input events tell of the keyboard and the pointer, kept so that
// messages made without them (an input method's characters, a widget's
// notification, an injected message) need not ask the X server, one round
// trip each: note_input takes the modifiers and buttons held after each
// input event, and the pointer's position on the screen.
void note_input(GdkEvent* e);
// The pointer's position on the screen as the last pointer event left it
// (asked of the X server only before any came).
void pointer_position(int* x, int* y);

// The modifier override: when 0 or more, the flag bits that stand for the
// live keyboard and mouse state (a made key event on its way).
i64 override_modifiers(i64 value);  // answers the previous one

// Whether the window (or its root window) refuses input: its face's
// `enabled?` is false.
bool input_blocked(const window::Record& w);

// The windows that input has to do with, forgotten when a window goes.
void forget_window(u32 id);

// OS-send-event: a made event back into the road as the message it stands
// for (false for an event without a live face window, for a type no
// message stands for, for a window command the window refuses).
bool send_event(const Cell* event, bool queued);

// A key as the translation gives it (the key table): the key code, the
// key-down character (the unshifted key, letters upper-cased; 0 for a
// special key) and the typed character (0 for none). keyval is the key
// typed, base the key without shift; state holds GDK's modifier bits.
struct Key {
  u32 code;
  u32 down_char;
  u32 ch;
  i64 lparam;
};
Key translate_key(u32 keyval, u32 base, u32 state);

}  // namespace qel::view::backend::input
