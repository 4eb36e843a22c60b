// series!: the abstract parent of every series type, and the actions they
// share whatever their unit (1, 2 or 4-byte units of strings, binaries,
// vectors and images; 16-byte cells of blocks).
//
// A series value: word 1 the index (0-based, in units from the buffer head),
// word 2 the node, word 3 a type-specific word (hash!: its table; vector!: the
// element type). Several values may share one buffer, so an index may lie
// past the tail; each helper and handler says what it does with such an
// index. Positions are always recomputed from the node after anything that can
// allocate (an allocation, an owner's change handler, a comparison), because
// the buffer may move.
//
// Owned series (buffer flag SERIES_OWNED) report every change to their owner:
// a modifying handler calls notify() with the action's event before it
// changes anything and, only when that call fired, again afterwards with the
// past-tense event. Nothing is changed when an error is raised before the
// first event.
#pragma once

#include "runtime/cell.hpp"
#include "runtime/memory.hpp"

namespace qel::series {

void init();          // registers series!
void init_words();    // interns the event words and the argument words of errors

// ---- positions ------------------------------------------------------------------

// Log2 of the unit of a buffer (0, 1, 2 or 4).
inline u32 shift_of(u32 unit) {
  return unit == 16 ? 4 : unit == 8 ? 3 : unit == 4 ? 2 : unit == 2 ? 1 : 0;
}
inline u32 unit_of(const Cell* value) { return mem::buffer_of(series_node(value))->unit(); }
// Units in the buffer, from its head to its tail.
inline i32 total(const Cell* value) {
  const mem::Buffer* b = mem::buffer_of(series_node(value));
  return i32(b->used() >> shift_of(b->unit()));
}
inline u8* unit_at(const Cell* value, i32 pos) {
  const mem::Buffer* b = mem::buffer_of(series_node(value));
  return b->head_ptr() + (u32(pos) << shift_of(b->unit()));
}

bool is_tail(const Cell* value);       // position at or past the tail
i32 total_length(const Cell* value);   // units from the head to the tail
// Moves the index n units on when that does not pass the tail; answers whether
// the (new) position is at or past the tail.
bool advance(Cell* value, i32 n);
// The new index for at (at set) or skip from the integer! in the cell after
// base, clamped to 0 .. total; script invalid-arg for any other argument.
i32 offset_index(Cell* base, bool at);
// Units from the index (from the head with from_head); a negative index counts
// as 0; an index past the tail is moved back to the tail, in the value, and 0
// is answered.
i32 length_from_index(Cell* value, bool from_head);

// The /part argument of remove, reverse and take as a count: an integer!, or a
// series of the value's type on the same buffer (its index minus this one);
// anything else raises script invalid-refine-arg naming part.
i32 part_count(const Cell* value, const Cell* part);

// ---- change events of owned series -------------------------------------------------

enum class Event : u8 {
  append, appended, insert, inserted, change, changed, clear, cleared, move, moved,
  poke, poked, put, put_ed, random, randomized, remove, removed, reverse, reversed,
  sort, sorted, swap, swaped, take, taken, trim, trimmed,
  count_
};
// The event's word (`append`, `put-ed`, ...).
const Cell* event_word(Event e);
// Tells the owner of an owned series about a change (nothing for a series
// without owner); answers whether the owner's handler ran. The handler runs
// Qel code: buffers may have moved when this returns.
bool notify(const Cell* value, Event e, const Cell* new_value, i32 index, i32 part);

// Words that errors name as the argument at fault.
enum class ArgWord : u8 { part, skip, compare, target, count_ };
const Cell* arg_word(ArgWord w);

// ---- hash! tables --------------------------------------------------------------------
// A hash! value keeps its table (word 3) in step with its cells; these tell
// the table about an edit made to the cells (nothing for other values).

inline bool has_table(const Cell* v) { return type_of(v) == TYPE_HASH && v->w3; }
// count cells were inserted at pos of a block that held old_total cells.
void table_inserted(const Cell* v, u32 pos, u32 count, u32 old_total);
// count cells were removed at pos of a block that held old_total cells.
void table_removed(const Cell* v, u32 pos, u32 count, u32 old_total);
// The cells [pos, pos + count) hold new values.
void table_rewritten(const Cell* v, u32 pos, u32 count);
// The run [from, from + count) now stands at [to, to + count).
void table_moved(const Cell* v, u32 to, u32 from, u32 count);

// ---- hooks for series types whose modules come later ------------------------------

// vector!: pushes element i (counted from the buffer head) as a value and
// answers it; stores a value (of the vector's element type) into element i.
using VectorGet = Cell* (*)(const Cell* vector, u32 i);
using VectorSet = void (*)(const Cell* vector, u32 i, const Cell* value);
extern VectorGet vector_get;
extern VectorSet vector_set;

// ---- handlers shared with the block types ---------------------------------------------
// Called through the action table; block! adds its own steps around some.

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
Cell* take(Cell* value, Cell* part, bool deep, bool last);
Cell* pick(Cell* value, i32 n, Cell* index_cell);
Cell* poke(Cell* value, i32 n, Cell* index_cell, Cell* new_value);
Cell* remove(Cell* value, Cell* part, Cell* key);
Cell* reverse(Cell* value, Cell* part, Cell* skip);
Cell* move(Cell* origin, Cell* target, Cell* part);
Cell* random(Cell* value, bool seed, bool secure, bool only);
Cell* clear(Cell* value);

}  // namespace qel::series
