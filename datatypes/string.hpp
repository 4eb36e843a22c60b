// string! buffers: one code point per unit, the unit being 1 (Latin-1),
// 2 (UCS-2) or 4 (UCS-4) bytes for the whole buffer. string!, file!, url!,
// tag!, email! and ref! share this layout: word 1 of the cell is the index in
// units from the buffer's head, word 2 the node.
//
// Invariant: a buffer is never narrower than its widest code point. Widening
// keeps every code point and every index that refers to the buffer (indexes
// count units); only emptying a string (reset_buffer) narrows it back to
// 1-byte units. Appending widens a 1-byte string at 128 (so 1-byte strings
// built by appending hold ASCII only), writing at a position widens it at 256,
// and a 2-byte string widens at 65536. Loading and copying keep Latin-1 code
// points 128-255 in 1-byte units.
//
// Several cells may share a buffer, so an index may lie past the tail;
// readers clamp it. Writers take the node and unit positions counted from the
// buffer's head, never raw pointers: a write may widen, and so move, the
// buffer.
#pragma once

#include <cstddef>
#include <string>

#include "runtime/cell.hpp"

namespace qel::string {

// Start-up of the buffer layer: the scratch buffer of rotate.
void init();

// ---- making and loading ----------------------------------------------------

// Makes out a new empty string-like value with room for `capacity` units.
Cell* make_at(Cell* out, u32 capacity, u32 unit = 1, Type t = TYPE_STRING);
// The same over a buffer of `size` bytes.
Cell* make_at_unit(Cell* out, u32 size, u32 unit, Type t = TYPE_STRING);
// A copy of the cell on the arguments stack.
Cell* push(const Cell* str);

enum class Encoding { utf8, utf16le };
// Makes out (or, when out is null, a new arguments-stack cell) a string!
// decoded from the bytes, with the narrowest unit that holds the text.
// Invalid text raises access invalid-utf8 (so does an odd byte count in
// UTF-16LE). Answers the cell.
Cell* load_at(const u8* bytes, u32 length, Cell* out, Encoding enc);
inline Cell* load(const u8* bytes, u32 length, Encoding enc) { return load_at(bytes, length, nullptr, enc); }
// Appends a new string! decoded from the bytes to the block of block_node.
void load_in(const u8* bytes, u32 length, u32 block_node, Encoding enc);

// ---- reading -----------------------------------------------------------------

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

// The code point at unit position pos of the buffer (counted from its head,
// not from the index); pos must lie before the tail.
u32 char_at(const Cell* str, u32 pos);
// Address of the unit at the index; an index past the tail (or below 0) is
// first set back to the tail (or 0) in the cell. Valid until the next
// allocation.
u8* index_pointer(Cell* str);
u8* tail_pointer(const Cell* str);
bool is_tail(const Cell* str);  // index at or past the tail
u32 length_from_index(const Cell* str);
u32 length_from_head(const Cell* str);
// Move the index by n units (or one), kept between the head and the tail.
void advance(Cell* str, i32 n);
inline void next(Cell* str) { advance(str, 1); }
// Offset from the index of the first unit equal to cp (exact), or -1.
i32 find_char(const Cell* str, u32 cp);
// Whether a record of `skip` units from the index starts with cp; both sides
// are folded to uppercase unless case_sensitive is set.
bool find_char_skip(const Cell* str, u32 cp, u32 skip, bool case_sensitive);
// Whether the string at its index starts with exactly the bytes of text
// (each byte a code point, compared unfolded).
bool match_bytes(const Cell* str, const char* text);

// ---- writing -------------------------------------------------------------------

// Widens the buffer of a string node to the given unit, in place when it fits.
void widen(u32 node, u32 unit);
// Appends one code point at the tail (widening at 128 and 65536).
void append_char(u32 node, u32 cp);
inline void append_char(Cell* str, u32 cp) { append_char(series_node(str), cp); }
// Appends bytes as code points without widening (for ASCII text).
void append_ascii(Cell* str, const char* text, std::size_t n);
inline void append_ascii(Cell* str, const char* text) {
  append_ascii(str, text, std::char_traits<char>::length(text));
}
// Writes cp at unit position pos (widening at 256 and 65536). A position at
// the tail extends the string by one unit; one past the tail extends it too,
// the units between becoming U+0000.
void poke_char_at(u32 node, u32 pos, u32 cp);
inline void poke_char(u32 node, u32 pos, u32 cp) { poke_char_at(node, pos, cp); }
// Inserts cp at unit position pos (at most the tail), moving the rest up.
void insert_char_at(u32 node, u32 pos, u32 cp);
// Remove n units (or one) at unit position pos; nothing at or past the tail.
void remove_units(u32 node, u32 pos, u32 n);
inline void remove_unit(u32 node, u32 pos) { remove_units(node, pos, 1); }
// Keeps at most n units from the index.
void truncate(Cell* str, u32 n);
// Keeps at most n units from the buffer's head.
void truncate_buffer(u32 node, u32 n);
// Empties the buffer, sets its unit back to 1 and the index to 0.
void reset_buffer(Cell* str);
// Moves the code points of source from its index (bytes: a count in the
// source's unit) to the target's index, then removes them from the source.
void move_chars(Cell* source, Cell* target, u32 bytes);
// Exchanges the adjacent byte runs [start, start+first) and
// [start+first, start+first+second), so that the second comes first.
void rotate(u8* start, u32 first, u32 second);

// Copies the code points of source from its index (at most part of them;
// part < 0 for all) into target. A wider source widens the target first; a
// narrower one is converted while copying (the source never changes). The
// source may be the target itself. Answers the number of code points copied.
enum class Mode {
  append,     // at the tail
  insert,     // at the target's index + offset, moving the rest up
  overwrite,  // at the target's index + offset, extending the tail if needed
};
u32 concatenate_worker(Cell* target, const Cell* source, i32 part, u32 offset, Mode mode);
inline u32 concatenate(Cell* target, const Cell* source, i32 part = -1) {
  return concatenate_worker(target, source, part, 0, Mode::append);
}
inline u32 overwrite(Cell* target, const Cell* source, i32 part, u32 offset) {
  return concatenate_worker(target, source, part, offset, Mode::overwrite);
}
// Append each byte as a code point (through append_char).
void concatenate_literal(Cell* str, const char* text);
void concatenate_bytes(Cell* str, const u8* bytes, u32 n);

// The float value of `length` units of decimal text at `text` (the units of
// a string buffer); unconsumed, when not null, receives the count of units at
// the end that are not part of the number.
double to_float(const u8* text, u32 length, u32 unit, std::size_t* unconsumed = nullptr);

// The code points from the index, as UTF-8 (for the OS boundary and tests).
std::string to_utf8(const Cell* str);

// ---- hexadecimal digits (upper case) -------------------------------------------

// Two digits, high first, in a static table.
const char* byte_to_hex(u8 byte);
// Eight digits of the 32-bit value; with trim only the significant digits
// ("00" for 0). The text lives in a static buffer that the next call
// overwrites.
const char* to_hex(i32 value, bool trim);

}  // namespace qel::string
