// The word family: word!, set-word!, lit-word!, get-word!, refinement!.
//
// Word cell: header type (15-19; issue! 20 shares the layout) and flags
// (WORD_ASSIGNED in an object's words block, the new-line marker); word 1
// the context node (0: unbound), word 2 the symbol as written, word 3 the
// slot index in the context (-1: not looked up yet). Words compare and bind
// through their canonical symbol, so Foo and foo name one slot, and keep the
// spelling they were written with for form and mold.
//
// Cell arguments may lie anywhere; functions that write a target cell want
// one that does not move (the arguments stack, the root block, a rooted or
// C++ local cell).
#pragma once

#include "runtime/cell.hpp"

namespace qel {

// The word cell of the name in the global context (the symbol interned with
// its exact spelling; a case variant shares its class's slot). While the
// boot flag is set the answer is a copy appended to the root block, whose
// address stays valid; otherwise it is valid until the next allocation.
Cell* intern_word(const char* name);

}  // namespace qel

namespace qel::word {

// ---- the word cell --------------------------------------------------------------
inline u32 context_of(const Cell* w) { QEL_CHECK_KIND(w, is_any_word_type); return w->w1; }  // 0: unbound
inline u32 symbol_of(const Cell* w) { QEL_CHECK_KIND(w, is_any_word_type); return w->w2; }   // as written
// The word of the context node, for the collector's marking (it may rewrite it).
inline const u32* context_slot(const Cell* w) { return &w->w1; }
inline i32 index_of(const Cell* w) { QEL_CHECK_KIND(w, is_any_word_type); return i32(w->w3); }  // -1: not looked up
inline void set_index(Cell* w, i32 index) { w->w3 = u32(index); }
inline void set_symbol(Cell* w, u32 symbol) { w->w2 = symbol; }
inline void set_context(Cell* w, u32 ctx) { w->w1 = ctx; }
inline void set_binding(Cell* w, u32 ctx, i32 index) {
  w->w1 = ctx;
  w->w3 = u32(index);
}
// A whole word cell of the type naming the symbol; unbound and not looked
// up unless a binding is given.
inline Cell* fill(Cell* w, Type t, u32 symbol, u32 ctx = 0, i32 index = -1) {
  w->header = t;
  w->w1 = ctx;
  w->w2 = symbol;
  w->w3 = u32(index);
  return w;
}

void init();  // registers word!, lit-word!, set-word!, get-word!, refinement!

// Loads the first value of a string! text into out; false when the text holds
// no value. The lexer sets it; converting text to a word needs it.

// target becomes a word! of the global context naming the symbol (its slot
// added, unset, when absent).
Cell* make_at(u32 symbol, Cell* target);
Cell* make_in(u32 symbol, u32 block);           // appends such a word
// A name that comes from data (a decoded document, a server's answer):
// target becomes a word of no context, whatever the program's own words
// are, so that such names neither reach nor add slots of the global context
// and their symbols go once nothing names them (`make object!` of the
// names and values binds them).
Cell* make_data_word(u32 symbol, Cell* target);
Cell* make_from_name(const char* name, u32 block);
Cell* push(u32 symbol);                         // pushes such a word
Cell* push_local(u32 ctx, u32 i);               // pushes a copy of word cell i
Cell* local_cell(u32 ctx, u32 i);               // value cell i (values series)

Cell* get_value_cell(const Cell* word);  // in the word's own context
// Pushes a copy of the word's value; unset raises script no-value.
Cell* get(const Cell* word);
// Sets the word in its own context, firing an object's on-change*.
Cell* set(Cell* word, const Cell* value);
// The word at the frame base takes the value after it, which becomes the
// result; unset raises script need-value.
void set_args();
// Pushes a string! over the symbol's cached spelling (shared, not copied).
Cell* to_string(const Cell* word);
Cell* symbol_entry(const Cell* word);

}  // namespace qel::word

namespace qel::get_word {
Cell* get(const Cell* word);  // pushes the value without the unset check
Cell* push(const Cell* cell);  // pushes a copy retyped get-word!
Cell* push_local(u32 ctx, u32 i);
}  // namespace qel::get_word

namespace qel::refinement {
Cell* push(const Cell* cell);
Cell* push_local(u32 ctx, u32 i);
// Appends to the root block an unbound refinement! of the name.
Cell* load(const char* name);
}  // namespace qel::refinement
