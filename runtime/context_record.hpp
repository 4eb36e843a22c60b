// The record cell of a context: cell 0 of the context node's series.
//
// The context module (datatypes/context.hpp) owns contexts and documents the
// record. Its layout is declared here, once, because the call frames and the
// collector below that module read it too: the values word of a function's
// context points into the arguments stack during a call.
#pragma once

#include "runtime/cell.hpp"
#include "runtime/memory.hpp"

namespace qel::context {

inline constexpr u32 ON_STACK = 0x400000;  // values on the arguments stack

// Cell 0 of the context's series (valid until the next allocation).
inline Cell* record_cell(u32 ctx) { return mem::buffer_of(ctx)->cells(); }
// The node of the word table.
inline u32 record_table(const Cell* rec) { return rec->w1; }
// The values series node, or for a stack-based context 1 + the index of its
// first value cell on the arguments stack (0 outside any call).
inline u32 record_values(const Cell* rec) { return rec->w2; }
inline void set_record_values(Cell* rec, u32 values) { rec->w2 = values; }
inline void set_record_table(Cell* rec, u32 table) { rec->w1 = table; }
inline bool record_on_stack(const Cell* rec) { return (rec->header & ON_STACK) != 0; }
// The words of the table and values nodes, for the collector's marking.
inline const u32* record_table_slot(const Cell* rec) { return &rec->w1; }
inline const u32* record_values_slot(const Cell* rec) { return &rec->w2; }

}  // namespace qel::context
