// binary!: the byte series. A binary! cell has the string layout (word 1 the
// index in bytes, word 2 the node) over a buffer of 1-byte units; the bytes
// of the value run from the index to the tail. Most series actions come from
// string! (they work on any unit); this module adds the byte image of values
// (conversion, insertion, change), mold, comparison, trimming of zero bytes
// and the bitwise actions.
//
// Byte images are gathered into a C++ vector before anything is written, so a
// value that shares the target's buffer, or a form that allocates, never
// leaves a pointer into a buffer that moved.
#pragma once

#include <vector>

#include "runtime/cell.hpp"

namespace qel::binary {

void init();  // registers binary! (after string!, its parent)

// ---- making and reading ------------------------------------------------------------

// Makes out a new empty binary! with room for capacity bytes.
Cell* make_at(Cell* out, u32 capacity);
// A new binary! holding a copy of the bytes, in out (or, when out is null, in
// a new arguments-stack cell). The bytes must not lie in the collected region.
Cell* load_at(const u8* bytes, u32 length, Cell* out);
inline Cell* load(const u8* bytes, u32 length) { return load_at(bytes, length, nullptr); }
inline Cell* load(const std::vector<u8>& bytes) { return load_at(bytes.data(), u32(bytes.size()), nullptr); }
// Appends a new binary! holding a copy of the bytes to the block of block_node.
void load_in(const u8* bytes, u32 length, u32 block_node);

// Bytes from the index to the tail (0 for an index at or past the tail).
u32 rs_length(const Cell* bin);
// Address of the byte at the index (an index past the tail is clamped in the
// cell). Valid until the next allocation.
u8* rs_head(Cell* bin);
// A copy of the bytes from the index (at most limit of them when limit >= 0).
std::vector<u8> bytes_from_index(const Cell* bin, i64 limit = -1);

// Appends raw bytes at the tail, growing the buffer.
void append_bytes(Cell* bin, const u8* bytes, u32 length);
// Inserts raw bytes at the index plus offset (at most the tail).
void insert_bytes(Cell* bin, u32 offset, const u8* bytes, u32 length);
// Appends four bytes, most significant first.
void append_int32_be(i32 value, Cell* bin);

// The byte a value stands for: an integer! or char! gives its low byte; any
// other type raises script invalid-arg with the value.
u8 byte_of(const Cell* value);

// ---- byte images ---------------------------------------------------------------

enum class Mode {
  insert,   // other types are formed and their UTF-8 bytes used
  convert,  // other types raise script bad-to-arg
};
// Appends the byte image of the value to out: a char!'s UTF-8 bytes, an
// integer!'s byte (-128..255; others raise script invalid-arg), a binary!'s
// or tuple!'s bytes, the images of a block's values, a string's UTF-8 text.
// part >= 1 limits the count (in values for a block unless only, else in
// bytes).
void bytes_of(Cell* value, std::vector<u8>& out, i32 part, bool only, Mode mode);

// ---- matching (PARSE over binary input) ---------------------------------------------

// The byte count a rule value matches at the binary's index, or -1 when it
// does not match: a binary! or string-like value by its bytes (a tag! with
// its brackets; case folded for ASCII letters unless case_sensitive, as all the values here), a char!
// or integer! by one byte equal to it, a bitset! by one byte it holds.
i32 match_length(const Cell* bin, const Cell* rule, bool case_sensitive);
// Offset from the index of the first place where the rule value matches, and
// its length, or -1.
i32 find_match(const Cell* bin, const Cell* rule, bool case_sensitive, i32* length);

// Three-way comparison of two binaries under a comparison operation code.
i32 compare(const Cell* a, const Cell* b, i32 op);

}  // namespace qel::binary
