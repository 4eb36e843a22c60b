// typeset!: a set of datatypes held entirely in the value cell.
//
// Cell: header type 33, then twelve bytes of type bits in words 1 to 3 (cell
// bytes 4 to 15). The bit of type id t lies in byte t / 8 of those bytes
// (byte 0 being the low byte of word 1) under the mask 0x80 >> (t mod 8); ids
// 1 to 95 fit, and the mask 0x80 of byte 0 (id 0) stands for no type. Types
// are counted and listed from id 1 to the highest registered id, in id order.
#pragma once

#include "runtime/cell.hpp"

namespace qel::typeset {

void init();  // registers typeset!

inline u8* bits(Cell* ts) { return reinterpret_cast<u8*>(&ts->w1); }
inline const u8* bits(const Cell* ts) { return reinterpret_cast<const u8*>(&ts->w1); }
// The three words of type bits, read and written at once.
struct Words {
  u32 w[3];
};
inline Words words_of(const Cell* ts) {
  QEL_CHECK_TYPE(ts, TYPE_TYPESET);
  return {{ts->w1, ts->w2, ts->w3}};
}
inline void set_words(Cell* ts, const Words& b) {
  ts->w1 = b.w[0];
  ts->w2 = b.w[1];
  ts->w3 = b.w[2];
}
inline bool has(const Cell* ts, u32 type) {
  QEL_CHECK_TYPE(ts, TYPE_TYPESET);
  return type < 96 && (bits(ts)[type >> 3] & (0x80u >> (type & 7))) != 0;
}
inline void add(Cell* ts, u32 type) {
  if (type < 96) bits(ts)[type >> 3] |= u8(0x80u >> (type & 7));
}
// An empty typeset in the cell.
inline void merge(Cell* ts, const Cell* other) {
  ts->w1 |= other->w1;
  ts->w2 |= other->w2;
  ts->w3 |= other->w3;
}
inline Cell* make_empty(Cell* ts) {
  ts->header = TYPE_TYPESET;
  ts->w1 = ts->w2 = ts->w3 = 0;
  return ts;
}

void clear(Cell* ts);          // words 1 to 3 become 0
u32 count(const Cell* ts);     // set bits for ids 1 .. the highest registered id
// Appends to the block node a typeset of the three words.
Cell* append_bits(u32 block, u32 w1, u32 w2, u32 w3);
// Appends a typeset of every type but unset!.
Cell* make_all_in(u32 block);
// Appends a typeset filled from the spec block (see set_type and make_in's
// rules: a word is replaced by its value; a datatype sets its bit, a typeset
// merges, a word's value that is itself a word adds object!, a nested block is
// skipped, anything else raises script invalid-type-spec).
Cell* make_in(u32 block, const Cell* spec);
// Adds one value: a word! is replaced by its value, a typeset! merges, a
// datatype! sets its bit; anything else raises script invalid-arg.
void set_type(Cell* ts, const Cell* value);
// out becomes a new block (room 4) of the datatype! of every type in the set.
Cell* to_block(const Cell* ts, Cell* out);
// Combines the two values at the frame base (the typeset first; a typeset or
// a datatype second) under a math/set op code; the result replaces the first.
void do_bitwise(i32 op);

}  // namespace qel::typeset
