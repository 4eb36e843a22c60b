// block!: series of 16-byte value cells, the helpers that the whole runtime
// uses on blocks, and the block! actions (inherited by paren!, the path
// family and hash!).
//
// A block-like value (block!, paren!, path!, lit-path!, set-path!,
// get-path!, hash!): word 1 the index in cells from the buffer head, word 2
// the node, word 3 the table of a hash! (unused by the others).
//   position = buffer head + 16 * index
//   length   = cells from the position to the tail (negative when the index
//              lies past the tail, which happens when another value sharing
//              the buffer removed cells)
// Cells belong to their buffer: cloning copies them, never shares them. A
// hash! keeps its table in step with every insertion, removal and move.
//
// Buffers move whenever something allocates: the helpers take value cells
// that do not move (the arguments stack, rooted cells) and answer cell
// addresses that stay valid only until the next allocation.
#pragma once

#include "runtime/actions.hpp"
#include "runtime/cell.hpp"

namespace qel::block {

void init();        // registers block!
void init_state();  // the scratch cell of make_in (after the root block exists)

// ---- position and tail --------------------------------------------------------

i32 length_from_index(const Cell* value);  // not clamped
// The position; an index past the tail is first set to the tail in the value.
Cell* head_cell(Cell* value);
Cell* tail_cell(const Cell* value);
bool is_tail(const Cell* value);    // exactly at the tail (past it: false)
// Steps the index on when that does not pass the tail; answers whether the
// (new) position is the tail.
bool next(Cell* value);
Cell* cell_at(const Cell* value, u32 i);  // head + i, ignoring the index
void clear_from_index(Cell* value);        // tail := position
void clear_at(Cell* value, u32 i);         // tail := head + i

// ---- appending and inserting ---------------------------------------------------

// Appends a copy of the value at the tail; answers the new cell.
Cell* append_copy(Cell* block, const Cell* value);
// Appends copies of the source's cells from its position.
Cell* append_block(Cell* block, const Cell* source);
// Inserts one copy at the position (at the head with at_head); with advance
// the index then steps over it. A hash! puts the new cell in its table.
void insert_value(Cell* block, const Cell* value, bool advance, bool at_head);
// Inserts copies of the source's cells, in order, the index ending after them.
void insert_block(Cell* block, const Cell* source);
// The append action's common case, done at once: one value that is not a
// block (any value with only) onto an unowned block! or paren! with room at
// its tail, the index then at the head. Answers false, having changed
// nothing, for anything else (the action's handler then does the work).
bool append_at_tail(Cell* block, const Cell* value, bool only);
// Stack forms for compiled code: append the base cell to the block just below
// the base; append the cell above the base to the block in the base; insert
// the base cell into the block just below it (advancing).
void append_last();
void append_next();
void insert_last();

// ---- making ---------------------------------------------------------------------

// cell becomes an empty block! of capacity n cells (below 1: 1).
Cell* make_at(Cell* cell, i32 n);
// As make_at; with big the buffer lives outside the collected frames (its
// owner frees it), else its whole capacity is pre-set to unset cells.
Cell* make_at_n(Cell* cell, i32 n, bool big);
// Appends a new empty block of capacity n to the parent block node (0: the
// runtime's scratch cell, overwritten by the next such call); answers it.
Cell* make_in(u32 parent, i32 n);
Cell* make_in_parent(u32 parent, i32 n);
Cell* push(const Cell* block);  // a copy on the arguments stack
Cell* push_only(i32 n);         // a new empty block! of capacity n (0: 1)

// ---- searching and copying -------------------------------------------------------

// The cell after the first word, set-word, lit-word or get-word of the
// symbol (identical spelling with case_, same canonical symbol otherwise),
// from the position; the shared none cell when absent or last.
Cell* find_word(Cell* block, const Cell* word, bool case_);
// The cell after the first cell equal to the key (find equality), from the
// position; the shared none cell when absent or last.
Cell* select_key(Cell* block, const Cell* key);
// Removes the first cell equal to the key, from the position (from the head
// with from_head). Answers false when nothing was removed; *at_or_before
// tells whether the removed cell lay at or before the block's index.
bool remove_key(Cell* block, const Cell* key, bool from_head, bool* at_or_before = nullptr);
// A copy of the cells from the position, pushed on the arguments stack, of
// the block's type at index 0. deep clones nested block! values (with
// all_blocks also paren! and the path family), each keeping the header of the
// cell it replaces; hash! cells are copied as they are. A block that
// contains itself raises internal no-cycle.
Cell* clone(const Cell* block, bool deep, bool all_blocks);
// Cells [from, to) of the block node, every step-th: each one whose type the
// typeset or datatype `types` names and that holds a copyable value is
// replaced by its copy (copy action; deep passed on, and the types with it).
void find_type_any(u32 node, u32 from, u32 to, u32 step, bool deep, const Cell* types);
// Molds the cells from the position into the string in buffer, with the
// separators, new lines and indentation; answers the remaining budget.
i32 mold_each(const Cell* block, Cell* buffer, bool only, bool all, bool flat, Cell* part,
              i32 budget, i32 indent);
// Three-way comparison of the cells under a comparison code.
i32 compare_each(const Cell* block1, const Cell* block2, i32 op);

// ---- actions other modules reuse -------------------------------------------------

Cell* make(Cell* proto, Cell* spec, Type type);
Cell* to(Cell* proto, Cell* spec, Type type);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
i32 form(Cell* value, Cell* buffer, Cell* part, i32 budget);
i32 compare(Cell* value1, Cell* value2, i32 op);
Cell* find(Cell* series, Cell* value, const act::FindOptions& o);
Cell* select(Cell* series, Cell* value, const act::FindOptions& o);
Cell* sort(Cell* series, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all,
           bool reverse, bool stable);

// The set operations on block! and hash! (op: OP_UNIQUE .. OP_DIFFERENCE): the
// two sets are the first two cells of the current frame, the result replaces
// the first. skip: the /skip argument or nullptr.
void do_set_op(bool case_, const Cell* skip, i32 op);

// ---- hooks for modules that come later -------------------------------------------

// Scans a string! as source text into the block made in out (to block!). The
// lexer sets it.

// Makes out a block! of the vector's elements from its index (to/make block!).
using VectorToBlock = void (*)(const Cell* vector, Cell* out);
extern VectorToBlock vector_to_block;

}  // namespace qel::block
