// The messages of the shim: what the backend makes of a GTK event (or what
// a test injects) before it becomes an event! value, and the ring that
// keeps the recent ones.
//
// An OS event names its message by reference: a ring slot and that slot's
// generation. Recording a message takes the next slot and bumps its
// generation, so an event kept after its handler (in a block, by a
// script) finds that its slot has moved on and answers none for the
// fields that come from the message, instead of reading another message.
#pragma once

#include "runtime/cell.hpp"

namespace qel::view::messages {

// The kinds of message, named after the native messages they stand for.
// The input translation extends the list.
enum Code : u32 {
  NONE = 0,
  LBUTTONDOWN, LBUTTONUP, LBUTTONDBLCLK, MBUTTONDOWN, MBUTTONUP, RBUTTONDOWN, RBUTTONUP,
  XBUTTONDOWN, XBUTTONUP, MOUSEMOVE, MOUSEWHEEL, MOUSEHWHEEL,
  KEYDOWN, KEYUP, CHAR, SYSKEYDOWN, SYSKEYUP,
  SETFOCUS, KILLFOCUS, COMMAND, MENUSELECT, NCHITTEST, SETCURSOR, PASTE,
  PAINT, TIMER, MOVE, SIZE, CLOSE, DESTROY,
  // The input translation's own (view/backend/input.hpp says what their
  // fields hold).
  MOUSELEAVE, MOVING, SIZING, ACTIVATE, STATE, HSCROLL, VSCROLL, GESTURE, IME, DISPLAYCHANGE,
  USER = 0x400,
  // A queued minimize, maximize or restore command (wparam: the event type).
  WINDOW_COMMAND = USER + 2,
};

// Message::state when the message carries no modifier state of its own:
// the modifiers and buttons are read live when an event needs them.
inline constexpr u32 STATE_LIVE = 0xFFFFFFFF;

struct Message {
  u32 window = 0;  // the window record's id (view/window.hpp)
  u32 code = NONE;
  u64 wparam = 0;
  i64 lparam = 0;
  u32 time = 0;    // milliseconds
  i32 x = 0, y = 0;  // the pointer, in pixels of the window
  u32 state = STATE_LIVE;  // the modifiers and buttons as event! flag bits
  u32 extra = 0;   // key messages: the unshifted character of the key (0: from the key code)
};

inline constexpr u32 RING_SLOTS = 256;

// Keeps a copy of the message in the ring; answers its reference (never 0).
u32 record(const Message& m);
// The message a reference names; null once its slot holds a newer one.
const Message* get(u32 ref);

// A text that goes with a recorded message (an IME composition's string, the
// `picked` of its event); one is kept, for the latest message given one.
void attach_text(u32 ref, const Cell* text);

// Installs the reader of OS events' message fields into event!: face,
// window, offset, picked and orientation, read from the message by the
// event's type (view/backend/input.hpp says what each message holds), and
// the words of special keys (view/keys.hpp).
void install_event_reader();

}  // namespace qel::view::messages
