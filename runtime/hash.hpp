// Hash tables: one open-addressing scheme for the symbol table, the word
// tables of contexts, hash! and map! values, the block set operations, the
// pointer-keyed tables of the serialiser and the ownership table.
//
// A table is a 44-byte record series (eleven 32-bit words, see Record) whose
// bucket flags, bucket keys and hashed block are series of their own, all
// reached through nodes; the table is handed around as the record's node.
// Probing is triangular (step 1, 2, 3, ... from hash & mask), so with a
// power-of-two bucket count every bucket is visited once before the probe
// returns to its start; map! tables (kind 1) hash integers to themselves
// and perturb their probe with the hash's high bits instead, so that runs of
// integer keys stay in memory order. Buckets carry two flag bits: empty,
// deleted, or occupied. An insertion reuses the last deleted bucket it passed.
//
// Kinds:
//   0  hash! and the set operations: keys are cells of the block, by value;
//      equal keys share one bucket whose key slot names a chain (a series of
//      the block positions that hold that key); an index series maps every
//      block position to bucket + 1 (0xFFFFFFFF: not in the table).
//   1  map!: the key cells of a block of key/value pairs; one bucket a key.
//      Growing rebuilds the table from the block, cutting out the pairs of
//      removed keys.
//   2  the symbol table (symbol! cells) and the word tables of contexts
//      (word! cells); one bucket a key; nothing is ever deleted.
//   3  pointer-keyed records: cell 0 is a marker (word 0: 2 while the record
//      lives, 0 once deleted; word 1: the key), then `extra` value cells.
//   4  the ownership table: as kind 3 with three value cells (the owned
//      value, the owner object, the owner's field word); swept by the
//      collector after marking, so it keeps nothing alive.
//
// The collector moves no node that a stored hash or key depends on (series
// and context identities, the keys of pointer-keyed records) while a table
// holds it (each_key_node names them), so every hash stays valid across
// collections: no table needs rehashing after a collection, and the cycle
// stamp of the record stays 0.
//
// Buffers do move: every operation here re-reads the record and its series
// through their nodes after anything that can allocate, and key cells handed
// to the comparison action are copies on the arguments stack.
#pragma once

#include <string>
#include <vector>

#include "runtime/cell.hpp"
#include "runtime/memory.hpp"

namespace qel::hash {

enum Kind : u32 { KIND_BLOCK = 0, KIND_MAP = 1, KIND_SYMBOL = 2, KIND_POINTER = 3, KIND_OWNER = 4 };

// The table record, at the head of the table's byte series.
struct Record {
  u32 size;        // live keys (distinct keys for kind 0)
  u32 index;       // kind 0: node of the position index; kinds 3-4: record size in bytes
  u32 chains;      // kind 0: node of the chains array (one chain node per item)
  u32 flags;       // node of the bucket flags, 2 bits a bucket (2 empty, 1 deleted, 0 used)
  u32 keys;        // node of the bucket keys (positions, chain refs or record offsets)
  u32 block;       // node of the hashed block, or of the data block of records
  u32 n_occupied;  // buckets not empty (used or deleted)
  u32 n_buckets;   // a power of two, at least 4
  u32 upper;       // when n_occupied reaches it, the next insertion resizes first
  u32 kind;        // Kind
  u32 stamp;       // cycle stamp; 0: no stored hash depends on a moving address
};
static_assert(sizeof(Record) == 44);

// Status of put_key.
enum PutStatus : int {
  PUT_STORED = 0,   // the key was stored (kind 0: also when it joined a chain)
  PUT_PRESENT = 1,  // kinds 1-2: an equal key was there; nothing stored
  PUT_REBUILT = 2,  // kind 0: the table was rebuilt from the whole block
};

// The record of a table (valid until the next allocation).
inline Record* record(u32 table) { return reinterpret_cast<Record*>(mem::buffer_of(table)->head_ptr()); }
inline u32 block_of(u32 table) { return record(table)->block; }

// Bucket count for a requested size: the next power of two of size / 0.77
// (size at least 4); the bound is 77% of it.
u32 buckets_for(u32 size);
u32 pow2_ceil(u32 n);

// ---- tables of value keys ----------------------------------------------------

// Makes a table of the kind for `size` keys over the block node (0: a new
// block of `size` cells is made; kinds 3-4 always make their data block).
// A given block's cells are put from its head (pairs for map!).
// `extra`: kinds 3-4, the value cells of a record.
u32 make(u32 size, u32 block, u32 kind, u32 extra);

// Puts the key cell, which lies in the table's block, at its block position.
int put_key(u32 table, const Cell* key);
void put(u32 table, const Cell* key);
int put_at(u32 table, u32 position);
// Puts every step-th cell from the start position. A map! (kind 1) looks each
// key up strictly first: a key already present takes the new value and the
// later pair is cut out of the block.
void put_all(u32 table, u32 start, u32 step);
// The map! module's key preparation, run on each key that put_all stores in a
// map! (the block node and the key's position; its value follows it). The
// cells move when the hook allocates: it re-reads them through the node.
using KeyPrep = void (*)(u32 block, u32 position);

// The symbol table's entries (kind 2 over the symbol block): cell id - 1 is
// a symbol! whose word 1 is the alias (the canonical symbol when > 0) and
// word 3 the node of its UTF-8 name. The symbol module makes the table and
// sets symbol_block.
extern u32 symbol_block;
// The canonical symbol of id: its alias when it has one, else id.
u32 resolve_symbol(u32 id);
extern KeyPrep map_key_prepare;

// Finds a key. Kind 0: the cell equal to the key under `op` whose position
// lies on the skip grid from `head` (forward: the first at or after head;
// last: the last at or after head; reverse: the last before head). Other
// kinds: the first stored key of the key's datatype that `op` calls equal
// (map!: word keys are looked up as set-word!). nullptr when none.
// The answer points into the block: read it before anything allocates.
Cell* get(u32 table, const Cell* key, i32 head, i32 skip, i32 op, bool last, bool reverse);

// Kind 1 (map!): looks the key up as get does (word keys as set-word!, `op`
// the comparison) in one probe. When the key is missing and free_bucket is
// given, *free_bucket receives the bucket its insertion takes (0xFFFFFFFF
// when the probe met no free bucket). Integer keys are compared in place:
// nothing allocates. The answer points into the block.
Cell* map_lookup(u32 table, const Cell* key, i32 op, u32* free_bucket);
// Kind 1: stores the pair appended last to the block, at *position, whose
// key map_lookup just reported missing with `bucket`. Grows the table first
// when it is due; that may cut removed pairs out of the block, and
// *position then names the pair's new place (still the last pair).
void map_insert(u32 table, u32* position, u32 bucket);

// Continues a probe for the next stored key of the key's datatype that is
// loosely equal to it; a bucket of -1 starts a new probe.
Cell* find_next(u32 table, const Cell* key, i32* bucket, i32* first, i32* step);

// Kind 0: takes the cell's position out of the table. Kind 1: marks the entry
// of the key cell deleted (its value cell's header becomes 0, size drops; the
// key stays in the table and the block).
void delete_at(u32 table, const Cell* cell);
// Empties the table and its block (a kind-0 index and chains stay).
void clear(u32 table);

// Kind 0 block edits. remove_range takes positions out of the table.
// insert_range adds `shift` to the stored positions of the `count` block
// positions from `position`; with move_slots it then (negative shift) takes
// out the |shift| positions before `position` and moves the index slots by
// the shift. Answers 1, doing nothing, when count is 30001 or more: the
// caller rebuilds with resize instead.
void remove_range(u32 table, u32 position, u32 count);
int insert_range(u32 table, i32 shift, u32 position, u32 count, bool move_slots);
// The run that stood at [from, from+count) now stands at [to, to+count) and
// the cells between moved to close the gap: renumbers the stored positions.
void move_range(u32 table, u32 to, u32 from, u32 count);

// A new table like this one over the new block (0: over a copy of its block).
u32 copy(u32 table, u32 new_block);
// Kind 0: rebuilds from the block for the new size. Kinds 1-2: grows or
// compacts in place. Kinds 3-4: rebuilds keeping the live records.
void resize(u32 table, u32 new_size);
void no_op(u32);

// The symbol table: the 1-based id of the name, interned when new.
u32 intern_string(u32 table, const char* utf8, u32 length, bool case_insensitive);
// Reclaims the symbol ids (entries of the symbol block): the entries are
// emptied, the buckets made again from the entries left, and the ids given
// to the next new spellings. Allocates nothing (the collector calls it).
void free_symbols(u32 table, const std::vector<u32>& ids);
// New symbols made so far (reused ids included).
u64 symbols_made();
// A context's word table: the word's position, or -1. With add_under a
// context node, a missing symbol is added as a word! bound to it, its
// position stored in *out and -1 answered.
i32 find_word(u32 table, u32 symbol, bool case_insensitive, u32 add_under, i32* out);

// Words block, word cell i and word count of a context.
u32 context_words(u32 ctx);
Cell* context_word_at(u32 ctx, u32 i);
u32 context_word_count(u32 ctx);

// ---- tables of pointer keys ------------------------------------------------------

// Finds or makes the key's record, sets every cell of it to unset and
// answers its first value cell.
Cell* put_ptr(u32 table, u32 key);
Cell* get_ptr(u32 table, u32 key);
// Marks the key's record deleted; answers its first value cell or nullptr.
Cell* delete_ptr(u32 table, u32 key);

// ---- hashing ---------------------------------------------------------------------

inline constexpr u32 SEED = 0x5EED1A5Bu;  // fixed: no hash is stored outside the process

u32 murmur3_32(const void* data, u32 length, u32 seed);
inline u32 murmur3_hash(const void* data, u32 length) { return murmur3_32(data, length, SEED); }
u32 hash_mix(u32 value);  // the MurmurHash3 finaliser
// Code points from the index to the tail, folded to upper case unless
// case_sensitive.
u32 string_hash(const Cell* str, bool case_sensitive);
u32 value_hash(const Cell* value, bool case_sensitive);

// ---- collector and debugging ----------------------------------------------------------

// Marks a table as the collector does (for mark callbacks).
void mark_table(u32 table);
// Calls fn with every node whose address a stored hash or key of the table
// depends on (kinds 0 and 1: keys hashed by identity; kinds 3 and 4: the
// keys and the nodes the records' cells name, which the collector does not
// mark): such a node must not move while the table holds it.
void each_key_node(u32 table, void (*fn)(u32 node));
// Deletes the records of the ownership table whose owned series or whose
// owner was not marked (a sweep callback).
void sweep_weak(u32 table);
// The "== Deleted keys ==" / "== Alive keys ==" listing of the buckets.
std::string dump(u32 table);

// The temporary pointer table of the range shift (made on first use).
u32 shift_table();

}  // namespace qel::hash
