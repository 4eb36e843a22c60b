// hash!: a block whose values are indexed by a hash table, so that find and
// select look values up instead of scanning.
//
// A hash! cell is a block cell (word 1 index, word 2 node) whose word 3 is a
// kind-0 table (runtime/hash.hpp) mapping every cell of the block to its
// position. The block code keeps the table in step with every insertion,
// removal, change, move, sort and trim (series::table_*); this module adds
// making, conversion, copying and mold.
#pragma once

#include "runtime/cell.hpp"

namespace qel::hash_block {

void init();  // registers hash! (after block!)

inline u32 table_of(const Cell* h) { return h->w3; }

// Turns the block cell (whose cells are its own) into a hash! over a new table.
Cell* index_block(Cell* block);

}  // namespace qel::hash_block
