// bitset!: an array of bits indexed from 0, used as a set of code points or
// small integers.
//
// Cell: type 30, word 2 the node of a byte series. Bit n lives in byte n / 8
// from the head under the mask 0x80 >> (n % 8). The stored bits are always
// the membership of the bits they cover. A negated bitset (buffer flag
// SERIES_BITS_NOT) also holds every bit beyond its tail; a plain one none.
// So a bitset stands for a finite set or for the complement of one, and the
// set operations combine bitsets of either kind into the exact result.
//
// Bytes that the tail moves over are always written (0xFF for a negated
// bitset, 0x00 for a plain one) before they count: nothing past the tail is
// ever read.
#pragma once

#include "runtime/cell.hpp"
#include "runtime/memory.hpp"

namespace qel::bitset {

void init();  // registers bitset!

// Walker modes and the callers that choose its errors.
enum Mode : u32 { MEASURE = 0, SET = 1, TEST = 2, CLEAR = 3 };
enum Caller : u32 { FOR_MAKE = 0, FOR_TO = 1, FOR_OTHER = 2 };

// Builds a new bitset from a spec (make when for_make, else to); pushes it.
Cell* make(const Cell* spec, bool for_make);
// Applies a spec (char, integer, float, string, or a block of those with
// ranges written low - high) to the bitset: MEASURE answers the highest bit
// named (-1 for none), TEST 1 when every bit named is a member else 0, SET
// and CLEAR change the membership of the bits and answer 1.
i64 process(const Cell* spec, Cell* bits, Mode mode, Caller caller);

bool negated(const Cell* bits);
u32 byte_length(const Cell* bits);
// Whether the bit is in the set of the bitset's node; bits beyond the stored
// bytes are members only of a negated bitset.
inline bool test_bit(u32 node, i64 bit) {
  const mem::Buffer* b = mem::buffer_of(node);
  if (bit < 0 || bit >= i64(b->used()) * 8) return (b->flags & mem::SERIES_BITS_NOT) != 0;
  return (b->head_ptr()[bit / 8] & (0x80u >> (bit & 7))) != 0;
}
inline bool member(const Cell* bits, i64 bit) { return test_bit(series_node(bits), bit); }

// Combines the two bitsets at the frame base by a math operation code (OP_OR,
// OP_AND, OP_XOR and the set operations OP_UNIQUE .. OP_DIFFERENCE); the
// result replaces the base cell.
void do_bitwise(i32 op);

}  // namespace qel::bitset
