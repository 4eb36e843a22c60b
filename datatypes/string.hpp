// string! buffers: one code point per unit, the unit being 1 (Latin-1),
// 2 (UCS-2) or 4 (UCS-4) bytes for the whole buffer.
//
// Invariant: a buffer is never narrower than its widest code point. Widening
// keeps every code point and every index that refers to the buffer (indexes
// count units); only emptying a string narrows it back to 1-byte units.
// Appending widens a 1-byte string at 128 (so 1-byte strings built by
// appending hold ASCII only), writing at a position widens it at 256, and a
// 2-byte string widens at 65536.
#pragma once

#include <cstddef>
#include <string>

#include "runtime/cell.hpp"

namespace qel::string {

// Makes out a new empty string-like value (string!, file!, url!, ...).
Cell* make_at(Cell* out, u32 capacity, u32 unit, Type t = TYPE_STRING);

inline u32 get_char(const u8* p, u32 unit) {
  switch (unit) {
    case 1: return p[0];
    case 2: return u32(p[0]) | (u32(p[1]) << 8);
    default: return u32(p[0]) | (u32(p[1]) << 8) | (u32(p[2]) << 16) | (u32(p[3]) << 24);
  }
}
inline void put_char(u8* p, u32 unit, u32 cp) {
  switch (unit) {
    case 1: p[0] = u8(cp); break;
    case 2: p[0] = u8(cp); p[1] = u8(cp >> 8); break;
    default: p[0] = u8(cp); p[1] = u8(cp >> 8); p[2] = u8(cp >> 16); p[3] = u8(cp >> 24); break;
  }
}

// Widens the buffer of a string node to the given unit, in place when it fits.
void widen(u32 node, u32 unit);
void append_char(Cell* str, u32 cp);
void append_ascii(Cell* str, const char* text, std::size_t n);
inline void append_ascii(Cell* str, const char* text) {
  append_ascii(str, text, std::char_traits<char>::length(text));
}
// Keeps at most n units from the index.
void truncate(Cell* str, u32 n);
u32 length_from_index(const Cell* str);
// The code points from the index, as UTF-8 (for the OS boundary and tests).
std::string to_utf8(const Cell* str);

}  // namespace qel::string
