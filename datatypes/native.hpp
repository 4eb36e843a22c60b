// native!, action! and op!: the built-in functions as values.
//
// native! and action! cell:
//   header  type 21 (native!) or 22 (action!)
//   word 1  the 1-based index of the entry: in the natives table (1..120) or
//           in the actions table (1..62, `actions::entry(Action)`); cells
//           hold no C++ pointers, so the index stands for the code
//   word 2  node of the spec block (head index 0)
//   word 3  node of a two-cell series: cell 0 a copy of the record cell of a
//           context made from the spec (function kind, values on the stack),
//           cell 1 (function::MORE_ARGS) the argument descriptor block the
//           evaluator builds on the first call, none before
//
// op! cell: a copy of its source (a native!, action!, function! or routine!)
// whose header is type 23 with the source's type id in bits 16-23; words 1
// to 3 stay the source's. A function! or routine! source also keeps a copy of
// itself in cell function::MORE_OP of its more series (see function.hpp),
// which the operator shares.
//
// Two natives (or actions, or ops) are equal exactly when they run the same
// code: the same entry index, and for ops the same kind of source.
#pragma once

#include "runtime/cell.hpp"

namespace qel::native {

inline constexpr u32 TABLE_SIZE = 120;  // entries of the natives table

void init();  // registers native!

// Pushes a native! (TYPE_NATIVE) or action! (TYPE_ACTION) value made from the
// spec block and the entry index; no checks (the make action checks).
Cell* push(const Cell* spec, u32 index, Type type);

inline u32 index_of(const Cell* value) { return value->w1; }
// Word 1 the entry index, word 2 the spec block's node, word 3 the more series.
inline void set_payload(Cell* c, u32 index, u32 spec_node, u32 more) {
  c->w1 = index;
  c->w2 = spec_node;
  c->w3 = more;
}

}  // namespace qel::native

namespace qel::action {
void init();  // registers action!
}  // namespace qel::action

namespace qel::op {

inline constexpr u32 SOURCE_SHIFT = 16;

void init();  // registers op!

// The type of the value an operator was made from (native!, action!,
// function! or routine!).
inline Type source_type(const Cell* op) { return Type((op->header >> SOURCE_SHIFT) & 0xFF); }

// Whether the spec names exactly two leading arguments (the left one not
// quoted) and no refinement other than /local or /extern.
bool valid_spec(u32 spec_node);

}  // namespace qel::op
