// Unicode conversions between string buffers and external text.
//
// A string buffer holds one code point per unit for the whole buffer: 1-byte
// units hold U+0000-U+00FF (Latin-1), 2-byte units U+0000-U+FFFF (UCS-2, no
// surrogate pairs), 4-byte units any code point (UCS-4). A buffer is widened
// as a whole, in place, when a wider code point arrives; indexes count units,
// so widening keeps them valid.
//
// External text is UTF-8 (the OS boundary: files, processes, the command
// line, symbol names) or UTF-16LE (data that comes as UTF-16).
//
// Decoding is strict everywhere: overlong forms (C0 80 included), the
// surrogate range D800-DFFF, code points above 10FFFF, bytes that cannot
// start or continue a sequence, lone UTF-16 surrogates and text cut inside a
// sequence are rejected. The loaders raise access invalid-utf8 with a binary!
// of the offending bytes; invalid input never turns into replacement
// characters and never ends the process. Encoding a code point above 10FFFF
// raises script invalid-char with the code point as an integer!.
//
// Input bytes may lie anywhere, also in a series buffer: the loaders copy
// such bytes aside before they allocate.
#pragma once

#include <string>

#include "runtime/cell.hpp"
#include "runtime/memory.hpp"

namespace qel::unicode {

// The code point in one unit of width 1, 2 or 4 (little-endian), and its
// writing.
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


inline constexpr u32 MAX_CODE_POINT = 0x10FFFF;

// A buffer's unit, which is 1, 2 or 4 for every string-like series; any
// other value is an internal fault that stops the process (runtime error 101).
[[noreturn]] void bad_unit();
inline u32 unit_of(const mem::Buffer* b) {
  u32 u = b->unit();
  if (u != 1 && u != 2 && u != 4) bad_unit();
  return u;
}
// The narrowest unit that holds cp.
inline u32 unit_for(u32 cp) { return cp <= 0xFF ? 1 : cp <= 0xFFFF ? 2 : 4; }

// Raise access invalid-utf8 with a binary! of the n bytes at p.
[[noreturn]] void raise_invalid_utf8(const u8* p, u32 n);
// Raise script invalid-char with the code point as an integer!.
[[noreturn]] void raise_invalid_char(u32 cp);

// ---- UTF-8 decoding --------------------------------------------------------

// Table-driven decoding of one sequence at p (p < end): answers the position
// after it and sets cp to the code point, or to -1 when the sequence is
// rejected (the byte that broke it is consumed with it, so C3 41 costs two
// bytes and a lone FF one) or cut by end (the rest is consumed).
const u8* fast_decode_utf8_char(const u8* p, const u8* end, i32& cp);
// One code point of text that is expected to be UTF-8 but is not checked: a
// byte that begins no valid sequence stands for itself. Advances p.
inline u32 decode_lenient(const u8*& p, const u8* end) {
  i32 cp;
  const u8* next = fast_decode_utf8_char(p, end, cp);
  if (cp < 0) {
    cp = *p;
    next = p + 1;
  }
  p = next;
  return u32(cp);
}
// Decode steps from start to end.
u32 count_utf8_chars(const u8* start, const u8* end);
// Advances over at most n code points, stopping at end.
const u8* skip_utf8_chars(const u8* p, const u8* end, u32 n);
// 4 when the bits 0xF0 are all set, else 3 for 0xE0, else 2 for 0xC0, else 0.
u32 utf8_lead_length(u8 byte);
// Decodes one sequence from the `available` bytes at p (at least 1): answers
// the code point and sets available to the sequence length; answers -1 and
// leaves available as it is when the bytes end inside a sequence that is
// valid so far. A malformed sequence raises invalid-utf8 with up to 4 bytes
// from its first byte.
i32 decode_utf8_char_checked(const u8* p, u32& available);

// Decodes UTF-8 text into a string buffer and answers the buffer's node.
// target: a string-like cell whose buffer is refilled from its head (kept at
// least as wide as it was, expanded when too small), or null for a new
// buffer with the narrowest unit that holds the text. A leading byte order
// mark EF BB BF is skipped. With crlf, CR LF becomes LF and a lone CR becomes
// LF. remaining: null when the text is complete (a sequence cut by the end
// is then invalid); otherwise decoding stops before a cut sequence (and, with
// crlf, before a final CR, which may start a CR LF) and *remaining gets the
// number of bytes left for the next piece.
u32 load_utf8(const u8* bytes, u32 length, Cell* target, u32* remaining, bool crlf);
// Refills the buffer of an existing string (no line-end conversion).
u32 load_utf8_series(const u8* bytes, u32 length, Cell* str, u32* remaining);
// A new string buffer from complete UTF-8 text (symbol names).
u32 load_utf8_buffer(const u8* bytes, u32 length);

// ---- UTF-8 encoding ----------------------------------------------------------

// 1 up to 7F, 2 up to 7FF, 3 up to FFFF, 4 up to 10FFFF; raises above.
u32 utf8_char_length(u32 cp);
// UTF-8 byte count of the units from start to end.
u64 utf8_size_of_units(const u8* start, const u8* end, u32 unit);
// Writes 1 to 4 bytes and answers their count; a lone surrogate is written
// as U+FFFD.
u32 encode_utf8_char(u32 cp, u8* out);
// Writes the sequence only when it fits in room bytes: answers its length,
// or 0 (nothing written) when it does not fit.
u32 encode_utf8_char_bounded(u32 cp, u8* out, u32 room);

// UTF-8 of a string from its index, at most `limit` units (negative: all),
// written to out (sized by the caller, see utf8_size_of_units); with nul a
// NUL byte follows. Answers the byte count without the NUL.
u32 to_utf8(const Cell* str, u8* out, i32 limit, bool nul);
// The same within room bytes: a sequence that does not fit whole ends the
// text, so the output is always complete UTF-8. limit 0 means all units. The
// NUL, when asked, follows the last byte written (the caller reserves a
// byte for it).
u32 to_utf8_bounded(const Cell* str, u8* out, u32 room, u32 limit, bool nul);
// UTF-8 of a string from its index as a C++ string (NUL-terminated by
// c_str()), at most `limit` units (negative: all); limit is set to the byte
// length. With crlf a CR is written before each LF.
std::string to_utf8_cached(const Cell* str, i32& limit);
std::string to_utf8_cached_with(const Cell* str, i32& limit, bool crlf);

// ---- UTF-16 ------------------------------------------------------------------

// 4 when any unit is a surrogate (high byte D8-DF), else 2 when any high
// byte is not 0, else 1. `units` points at count little-endian 16-bit units.
u32 utf16_unit_width(const u8* units, u32 count);
// Decodes count UTF-16LE units (at `units`, any alignment) into a string
// buffer and answers its node; target as for load_utf8. Surrogate pairs are
// joined; a lone surrogate raises invalid-utf8 with its two bytes. With crlf,
// CR LF becomes LF and a lone CR becomes LF.
u32 load_utf16le(const u8* units, u32 count, Cell* target, bool crlf);
// Writes cp as 1 unit below 10000, as a surrogate pair up to 10FFFF;
// answers the count of units, 0 above 10FFFF (nothing written).
u32 encode_utf16_char(u32 cp, char16_t* out);
// UTF-16 of a whole string from its index, LF written as CR LF.
std::u16string to_utf16(const Cell* str);
// The same for at most `limit` units (negative: all), CR before LF only with
// crlf; limit is set to the number of UTF-16 units. A code point above
// 10FFFF raises invalid-char.
std::u16string to_utf16_len(const Cell* str, i32& limit, bool crlf);

// ---- widening ----------------------------------------------------------------

// Converts every unit of the node's buffer to the wider unit, in place when
// the capacity allows (from the last unit down), else after expanding the
// buffer. Answers the buffer. A unit not wider than the current one changes
// nothing.
mem::Buffer* widen(u32 node, u32 unit);
inline mem::Buffer* widen_latin1_to_ucs2(u32 node) { return widen(node, 2); }
inline mem::Buffer* widen_latin1_to_ucs4(u32 node) { return widen(node, 4); }
inline mem::Buffer* widen_ucs2_to_ucs4(u32 node) { return widen(node, 4); }

}  // namespace qel::unicode
