// map!: an associative table from keys to values, written #[key value ...].
//
// A map cell: word 1 the index (0 for every map made here), word 2 the node
// of a block whose cells go in pairs, key then value, word 3 a kind-1 hash
// table (runtime/hash.hpp) over the keys, which also counts the live keys.
//
// Invariants
// - Every key in the block is in the table once, compared strictly: "a" and
//   "A" may both be keys (put with /case), a lookup without /case finds one.
// - Word keys are stored as set-word!; string-like keys are private copies.
// - A removed entry keeps its key in the block and the table; its value
//   cell's header is 0 and every reader skips it. Setting the key again
//   reuses the slot.
#pragma once

#include "runtime/cell.hpp"

namespace qel::map {

void init();  // registers map! and installs the key preparation of the hash tables

// Lookup modes: keys equal ignoring case (words by canonical spelling),
// case-sensitive (strict), identical.
enum Mode : i32 { MODE_EQUAL = 0, MODE_CASE = 2, MODE_SAME = 9 };

inline u32 table_of(const Cell* map) { return map->w3; }
inline u32 block_of(const Cell* map) { return series_node(map); }

// Makes the cell a map over the block node of key/value pairs (0: a new
// empty block with room for `cells` cells). Keys of a given block are
// prepared and repeated keys keep their last value.
Cell* make_at(Cell* cell, u32 block, u32 cells);
Cell* push(const Cell* map);
u32 key_count(const Cell* map);

// Whether values of the datatype may be keys.
inline bool valid_key(Type t) {
  return (t >= TYPE_STRING && t <= TYPE_FLOAT) || (t >= TYPE_WORD && t <= TYPE_ISSUE) ||
         (t >= TYPE_PAIR && t <= TYPE_TUPLE) || t == TYPE_BINARY ||
         (t >= TYPE_TIME && t <= TYPE_EMAIL) || t == TYPE_DATE || (t >= TYPE_MONEY && t <= TYPE_POINT3D);
}

// The value cell of the live entry whose key matches, or nullptr. Points into
// the block: read it before anything allocates.
Cell* find_value(const Cell* map, const Cell* key, Mode mode);
// Sets the key to the value (adding the key when missing, reviving it when
// removed). The value must not move while this runs (a stack or rooted cell).
void set(Cell* map, const Cell* key, const Cell* value, bool case_);
// set, for a key that is already prepared as a stored key is (a string of
// the map's own, which no caller changes): it is stored as it stands. Maps
// made together may so share their keys (the CSV reader's records).
void set_prepared(Cell* map, const Cell* key, const Cell* value, bool case_);
// Adds the pairs of a block (or of another map) to the map.
void extend(Cell* map, const Cell* spec, bool case_);

// One foreach step: the words (a word!, or a block of them) take, in turn,
// the next live key (set-word! given as word!) and value from the map's
// position `it` (advanced past what was read); words left when the map runs
// out are set to none. Answers whether any word was set.
bool foreach_step(Cell* it, const Cell* words, i32 word_count);

}  // namespace qel::map
