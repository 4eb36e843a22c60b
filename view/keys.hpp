// The keyboard as events see it: key codes (the virtual-key numbers the
// input translation gives every key, view/backend/input.cpp), which of them
// produce characters, the words of the special keys, and the unshifted
// character of a key. Pure tables: the backend maps the toolkit's keys onto
// these codes, and events carry them.
#pragma once

#include "runtime/cell.hpp"

namespace qel::view::keys {

// Key codes the translation names (the others are in the tables below).
enum Code : u32 {
  BACK = 8, TAB = 9, RETURN = 13, SHIFT = 16, CONTROL = 17, MENU = 18, PAUSE = 19, CAPITAL = 20,
  ESCAPE = 27, SPACE = 32, PRIOR = 33, NEXT = 34, END = 35, HOME = 36, LEFT = 37, UP = 38, RIGHT = 39,
  DOWN = 40, INSERT = 45, DELETE_ = 46, LWIN = 91, RWIN = 92, APPS = 93, NUMPAD0 = 96, MULTIPLY = 106,
  ADD = 107, SUBTRACT = 109, DECIMAL = 110, DIVIDE = 111, F1 = 112, F12 = 123, F24 = 135, NUMLOCK = 144,
  SCROLL = 145, LSHIFT = 160, RSHIFT = 161, LCONTROL = 162, RCONTROL = 163, LMENU = 164, RMENU = 165,
  OEM_1 = 186, OEM_PLUS = 187, OEM_COMMA = 188, OEM_MINUS = 189, OEM_PERIOD = 190, OEM_2 = 191,
  OEM_3 = 192, OEM_4 = 219, OEM_5 = 220, OEM_6 = 221, OEM_7 = 222, OEM_102 = 226, PROCESSKEY = 229,
};

// The keys of scroll events: codes past every key's, with their words
// (`up` `down` `page-up` `page-down` for a vertical bar, `left` `right`
// `page-left` `page-right` for a horizontal one, `track`, `end`).
enum ScrollKey : u32 {
  SCROLL_UP = 0x1000, SCROLL_DOWN, SCROLL_PAGE_UP, SCROLL_PAGE_DOWN, SCROLL_LEFT, SCROLL_RIGHT,
  SCROLL_PAGE_LEFT, SCROLL_PAGE_RIGHT, SCROLL_TRACK, SCROLL_END,
  WHEEL_KEY,  // the key of wheel events: the word `wheel`
};
// The key of a scroll event from the bar's scroll code: 0 line up (left),
// 1 line down (right), 2 page up (left), 3 page down (right), 5 track,
// anything else end.
u32 scroll_key(u32 scroll_code, bool vertical);

// Whether the key produces a character (and so is never a special key).
bool char_key(u32 code);
// The word of a special key ("page-up", "F1", "left-shift", ...) or of a
// scroll key; null for a key outside the tables.
const char* special_word(u32 code);
// The unshifted character of a character key as a US keyboard gives it,
// letters upper-cased; 0 for a key that gives none.
u32 unshifted_char(u32 code);
// The key that types the character on a US keyboard (shifted or not), as
// the key of a made key-down or key-up event; 0 for none.
u32 code_of_char(u32 ch);

// Shift, control and alt told apart: left or right shift by the scan code
// (bits 16-23 of lparam; 0x36 is the right one), control and alt by the
// extended bit (bit 24). Other keys are answered unchanged.
u32 sided(u32 code, i64 lparam);
// Whether the code is one of the modifiers (shift, control, alt, either side).
bool modifier(u32 code);

}  // namespace qel::view::keys
