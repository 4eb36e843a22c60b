// event!: one GUI event on its way from the backend to the framework's
// dispatcher and the face actors.
//
// Cell:
//   header  type 54; FLAG_MADE (0x1000) for an event made by `make event!`
//   word 1  the event type code, 1..38 (0: no type, a made event without one)
//   word 2  made event: the node of its 4-cell values block (face, window,
//           offset, picked), or 0 when the spec gave none of them;
//           OS event: its message reference, a slot of the backend's message
//           ring and that slot's generation (view/messages.hpp), so that an
//           event kept after its handler never reads another message
//   word 3  flag bits 22-31 (FLAG_* below); bit 21 set when bits 0-20 hold a
//           special key's code rather than a character; bits 0-20 the key (a
//           whole code point, above U+FFFF too), 0 for none
//
// An OS event's face, window, offset, picked and orientation come from its
// message through the reader the backend installs; type, key and flags come
// from the cell alone, so a stale event still answers them.
#pragma once

#include "runtime/cell.hpp"

namespace qel::event {

inline constexpr u32 FLAG_MADE = 0x1000;

// Flag bits of word 3.
inline constexpr u32 FLAG_CONTROL = 0x10000000;
inline constexpr u32 FLAG_SHIFT = 0x20000000;
inline constexpr u32 FLAG_ALT = 0x40000000;
inline constexpr u32 FLAG_COMMAND = 0x80000000;
inline constexpr u32 FLAG_AWAY = 0x04000000;
inline constexpr u32 FLAG_DOWN = 0x02000000;
inline constexpr u32 FLAG_MID_DOWN = 0x01000000;
inline constexpr u32 FLAG_ALT_DOWN = 0x00800000;
inline constexpr u32 FLAG_AUX_DOWN = 0x00400000;
inline constexpr u32 FLAG_BITS = 0xFFC00000;
inline constexpr u32 KEY_SPECIAL = 0x00200000;
inline constexpr u32 KEY_MASK = 0x001FFFFF;

// The 38 event types, by code.
enum Kind : u32 {
  NO_TYPE = 0,
#define QEL_EVENT_TYPES(X)                                                                   \
  X(DOWN, "down") X(UP, "up") X(MID_DOWN, "mid-down") X(MID_UP, "mid-up")                    \
  X(ALT_DOWN, "alt-down") X(ALT_UP, "alt-up") X(AUX_DOWN, "aux-down") X(AUX_UP, "aux-up")    \
  X(CLICK, "click") X(DBL_CLICK, "dbl-click") X(WHEEL, "wheel") X(OVER, "over")              \
  X(KEY, "key") X(KEY_DOWN, "key-down") X(KEY_UP, "key-up") X(IME, "ime")                    \
  X(FOCUS, "focus") X(UNFOCUS, "unfocus") X(ENTER, "enter") X(ZOOM, "zoom") X(PAN, "pan")    \
  X(ROTATE, "rotate") X(TWO_TAP, "two-tap") X(PRESS_TAP, "press-tap") X(SELECT, "select")    \
  X(CHANGE, "change") X(MENU, "menu") X(CLOSE, "close") X(MOVE, "move") X(RESIZE, "resize")  \
  X(MOVING, "moving") X(RESIZING, "resizing") X(TIME, "time") X(DRAWING, "drawing")          \
  X(SCROLL, "scroll") X(MINIMIZE, "minimize") X(MAXIMIZE, "maximize") X(RESTORE, "restore")
#define QEL_X(c, w) c,
  QEL_EVENT_TYPES(QEL_X)
#undef QEL_X
  TYPE_COUNT  // 39: codes run 1..38
};

// The fields, by their index (path words and pick).
enum Field : u32 {
  F_TYPE = 1, F_FACE, F_WINDOW, F_OFFSET, F_KEY, F_PICKED, F_FLAGS, F_AWAY, F_DOWN,
  F_MID_DOWN, F_ALT_DOWN, F_AUX_DOWN, F_CTRL, F_SHIFT, F_ORIENTATION, FIELD_COUNT = 15
};

// The cells of a made event's values block.
enum ValueCell : u32 { V_FACE, V_WINDOW, V_OFFSET, V_PICKED, VALUE_CELLS };

// ---- the cell ------------------------------------------------------------------------
inline bool is_made(const Cell* e) { return (e->header & FLAG_MADE) != 0; }
inline u32 type_code(const Cell* e) { QEL_CHECK_TYPE(e, TYPE_EVENT); return e->w1; }
inline void set_type_code(Cell* e, u32 code) { e->w1 = code; }
inline u32 values_node(const Cell* e) { return is_made(e) ? e->w2 : 0; }
inline u32 message_ref(const Cell* e) { return is_made(e) ? 0 : e->w2; }
inline u32 flag_bits(const Cell* e) { return e->w3 & FLAG_BITS; }
inline u32 key_code(const Cell* e) { return e->w3 & KEY_MASK; }
inline bool special_key(const Cell* e) { return (e->w3 & KEY_SPECIAL) != 0; }
// Word 3 whole: the flag bits, the key code and the special-key bit.
inline u32 bits_of(const Cell* e) { QEL_CHECK_TYPE(e, TYPE_EVENT); return e->w3; }
inline void add_bits(Cell* e, u32 bits) { e->w3 |= bits; }
inline void set_values_node(Cell* e, u32 node) { e->w2 = node; }
inline void set_payload(Cell* e, u32 type, u32 ref, u32 bits) {
  e->w1 = type;
  e->w2 = ref;
  e->w3 = bits;
}

// The cell becomes an OS event of the message; key is a code point, or a
// special key's code with special set.
Cell* make_os_at(Cell* cell, u32 type, u32 message, u32 flags, u32 key, bool special);

void init();  // registers event! (start-up's stage 14)

// The word of a type code (none for 0 or an unknown code) into out.
Cell* type_word(u32 code, Cell* out);
// The code of an event type word (aliases resolved); raises script
// not-event-type with the value when it names none.
u32 type_of_word(const Cell* word);
// The bit of a flag word (`control`, `shift`, ...); 0 for other words.
u32 flag_of_word(const Cell* word);
// The index of a field word (aliases resolved), 0 for a word outside them.
u32 field_index(const Cell* word);
// Field i (1..15) of the event into out.
Cell* get_field(const Cell* event, u32 index, Cell* out);

// What the backend tells about OS events. Installed once by the backend's
// core side (view/); without it an OS event answers none for the fields
// that come from its message.
struct OsReader {
  // Whether the message the reference names is still the one the event was
  // made from (false once its ring slot has been reused).
  bool (*live)(u32 message);
  // Field face, window, offset, picked or orientation of a live OS event.
  Cell* (*field)(const Cell* event, u32 index, Cell* out);
  // The word of a special key's code (none when unknown).
  Cell* (*key_word)(u32 code, Cell* out);
};
void set_os_reader(const OsReader* reader);

}  // namespace qel::event
