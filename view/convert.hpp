// Conversions the whole backend shares: colours and points between Qel
// values and the platform's formats, a face's `flags` facet as a bit mask,
// a millisecond clock, and a small fixed association table.
#pragma once

#include "runtime/cell.hpp"

namespace qel::view::convert {

// ---- face flags (the `flags` facet; window memory keeps them, view/window.hpp) ----
enum FaceFlag : u32 {
  ALL_OVER = 0x00000001, FOCUSABLE = 0x00000002, TRI_STATE = 0x00020000, SCROLLABLE = 0x00040000,
  PASSWORD = 0x00080000, NO_SYNC = 0x00100000, FULLSCREEN = 0x00200000, POPUP = 0x01000000,
  MODAL = 0x02000000, RESIZE = 0x04000000, NO_BUTTONS = 0x08000000, NO_MAX = 0x10000000,
  NO_MIN = 0x20000000, NO_TITLE = 0x40000000, NO_BORDER = 0x80000000,
};

// A flag word, or a block of flag words from its position on, as the mask;
// any other value (and an empty block) gives 0. A word outside the table,
// and a value in the block that is no word, raise script invalid-arg.
u32 get_flags(const Cell* flags);

// ---- colours: a tuple's first bytes low; byte 3 transparency (0 opaque) -----------------
u32 tuple_to_colour(const Cell* tuple);  // a 3-byte tuple has byte 3 at 0
// Red and blue swapped, transparency turned into alpha: 0xAARRGGBB.
inline u32 colour_to_argb(u32 c) {
  return (c & 0xFF) << 16 | (c & 0xFF00) | (c >> 16 & 0xFF) | (~c & 0xFF000000);
}
// As colour_to_argb, never fully opaque (alpha 255 becomes 254).
inline u32 colour_to_layered_argb(u32 c) {
  u32 argb = colour_to_argb(c);
  return (argb >> 24) == 0xFF ? argb ^ 0x01000000 : argb;
}

// ---- points, in place ---------------------------------------------------------------
void pair_to_point(Cell* c);  // pair! to point2D!, the same x and y
void point_to_pair(Cell* c);  // point2D! to pair!, each coordinate truncated toward zero

// ---- the millisecond clock (CLOCK_MONOTONIC) ----------------------------------------------
u64 read_counter();  // nanoseconds
// Milliseconds since the counter value `since`; a since in the future counts
// as 0x7FFFFFFF ticks, and since is reset to now.
double elapsed_ms(u64& since);

// ---- an association of up to 64 (key, value) symbol pairs, appended in order -------------
struct Table {
  static constexpr u32 CAPACITY = 64;
  u32 count = 0;
  struct Entry {
    u32 key, value;
  } entries[CAPACITY];
};
// The value of the first entry with the key, or 0.
u32 table_find(const Table& t, u32 key);
// Appends the pair; a full table is left unchanged (answers false).
bool table_add(Table& t, u32 key, u32 value);

}  // namespace qel::view::convert
