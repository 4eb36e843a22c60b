// tuple!: a short run of 3 to 12 bytes written with dots (versions, colours,
// IPv4 addresses), held inside one cell.
//
// Cell: header = count << 19 | 39, the byte count (3-12) in header bits
// 19-22; byte i (1-based) at cell byte 3 + i, that is words 1-3; bytes past
// the count are always 0. Every constructor pads to 3 bytes.
//
// Arithmetic clamps every byte to 0-255; it never raises for a result out
// of range.
#pragma once

#include "runtime/cell.hpp"

namespace qel::tuple {

void init();  // registers tuple!

inline constexpr u32 MAX_BYTES = 12;
inline constexpr u32 MIN_BYTES = 3;

inline u32 count(const Cell* c) { return (c->header >> 19) & 0xF; }
inline void set_count(Cell* c, u32 n) { c->header = (c->header & ~(0xFu << 19)) | (n << 19); }
// Byte i, 0-based (0 .. 11).
inline u8 byte(const Cell* c, u32 i) {
  QEL_CHECK_TYPE(c, TYPE_TUPLE);
  u32 w = i < 4 ? c->w1 : i < 8 ? c->w2 : c->w3;
  return u8(w >> ((i & 3) * 8));
}
inline void set_byte(Cell* c, u32 i, u8 v) {
  u32& w = i < 4 ? c->w1 : i < 8 ? c->w2 : c->w3;
  u32 shift = (i & 3) * 8;
  w = (w & ~(0xFFu << shift)) | (u32(v) << shift);
}
// The three data words at once, bytes 0-3, 4-7 and 8-11.
inline void set_data_words(Cell* c, u32 w1, u32 w2, u32 w3) {
  c->w1 = w1;
  c->w2 = w2;
  c->w3 = w3;
}

// A tuple of n bytes (padded to 3) from the list; keeps the cell's new-line flag.
Cell* make_at(Cell* cell, u32 n, const u8* bytes);
// Pushes a tuple of n bytes with the three data words as given.
Cell* push(u32 n, u32 w1, u32 w2, u32 w3);
inline bool all_zero_q(const Cell* c) { return (c->w1 | c->w2 | c->w3) == 0; }

}  // namespace qel::tuple
