// Events from messages: what the toolkit reports (a GDK event, translated
// by translate.hpp; a widget's signal) becomes a message
// (view/messages.hpp), the message goes through the pre-processing step and
// the window procedures, and those raise events: `make_event` fills the one
// shared event! value and hands it to the framework's dispatcher
// `system/view/awake`, whose answer (`stop` or not) decides whether the
// toolkit's own handling of the input goes on. A widget's signal writes the
// widget's state into its face before its event is raised.
//
// Messages, as the translation fills them:
//   mouse      wparam: the buttons and modifiers as MK bits (below), the
//              wheel's delta in its high 16 bits (120 a notch); x, y: the
//              pointer in pixels of the window; lparam: the list item under
//              the pointer (1-based) when the window is a list, else 0
//   keys       wparam: the key code (view/keys.hpp); lparam: bits 16-23 the
//              scan code, bit 24 set for the right-hand control and alt;
//              extra: the key's unshifted character (0: from the key code)
//   CHAR       wparam: the character typed (a code point)
//   MOVE, SIZE, MOVING, SIZING  x, y: the new position (the outer window's,
//              pixels) or client size
//   STATE      wparam: the event type (minimize, maximize, restore)
//   HSCROLL, VSCROLL  wparam: the scroll code; lparam: the new position
//   GESTURE    extra: the event type (zoom, pan, rotate, two-tap,
//              press-tap); lparam: the gesture's argument (the distance of a
//              zoom step, the pan or rotation amount); wparam: a zoom step's
//              previous distance (-1 for the first step)
//   IME        the preedit text attached (messages::attach_text)
//   COMMAND    a control's notification raised as an event (command_event):
//              made from the message being handled; a menu's wparam: the
//              word picked, x, y: where the menu was opened
// Every message also carries the modifiers and buttons as event flag bits
// (state), or STATE_LIVE for a message made without them (an injected one,
// an input method's character): it then has those that the last input
// event left (note_input).
#pragma once

#include <string>

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

// The event flag bits of GDK's modifier and button state.
u32 state_flags(u32 gdk_state);

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

// Takes a message down the road: pre-processing, then its window's
// procedure. Answers what the procedure answers (0 when pre-processing
// consumed it, -1 when no window).
i64 dispatch(messages::Message m);

// A control's notification (its signal) raised as an event of the type on
// the window: a COMMAND message made from the message being handled (the
// input that caused it), if any. command_event answers make_event's answer.
messages::Message command_message(u32 window);
i32 command_event(u32 window, u32 type, u32 flags = 0);

// The window holding the mouse: a base face pressed (its procedure takes
// it and lets it go), 0 for none.
void capture(u32 window_id);
u32 capture_window();

// An input method's composition: whether one runs, and the preedit text
// the next ime event carries.
void set_ime(bool composing, const std::string& text);

// The widgets' context menus: on a right press, show answers whether the
// window's menu is shown (the press goes no further); a left press, and
// a new right press, forget the last one. Registered by the widgets.
using ContextMenu = bool (*)(window::Record& w, const messages::Message& m);
void set_context_menus(ContextMenu show, void (*forget)());

// The message being handled (null when none): what command events use.
const messages::Message* current();
// Runs the message as the current one for the scope.
struct Current {
  explicit Current(const messages::Message* m);
  ~Current();
  const messages::Message* saved;
};

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
// message stands for, for a window command the window refuses): sent now,
// or with `post`, the message put there for the loop to post.
bool send_event(const Cell* event, messages::Message* post);

}  // namespace qel::view::backend::input
