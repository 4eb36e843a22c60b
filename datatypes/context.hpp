// Contexts: symbols mapped to value slots.
//
// A context is a node of a two-cell series: the record (a context! cell) and
// the self slot (unset; an object context keeps its object value there).
//   record header: type 14; bits 11-12 the kind (0 global, 1 function,
//                  2 object); ON_STACK values live on the arguments stack;
//                  HAS_SELF the context has a self slot; the ownership
//                  marker of objects that own series
//   record word 1: node of the word table (hash kind 2) whose block is the
//                  words block: one word! per slot, in slot order, bound to
//                  this context with its own index
//   record word 2: the values series (one cell per slot, same order), or,
//                  for a stack-based context during a call, 1 + the index of
//                  the first value cell on the arguments stack (0 outside
//                  any call)
// Slot indexes are 0-based; a word whose index is -1 was never looked up.
// Every context keeps one slot per case class of spellings: words bind and
// look up through their canonical symbol, and keep their own spelling.
#pragma once

#include "runtime/cell.hpp"
#include "runtime/context_record.hpp"  // the record's layout (ON_STACK, the values word)
#include "runtime/stack.hpp"

namespace qel::context {

inline constexpr u32 KIND_GLOBAL = 0;
inline constexpr u32 KIND_FUNCTION = 1;
inline constexpr u32 KIND_OBJECT = 2;
inline constexpr u32 KIND_SHIFT = 11;
inline constexpr u32 HAS_SELF = 0x1000000;     // the context has a self slot
inline constexpr u32 WORD_ASSIGNED = 0x2000;   // words block of an object: assigned since cleared

extern u32 global;       // the global context
extern u32 self_symbol;  // the symbol of `self` (set with the well-known words)

// Assigning a word of an object with change handlers calls this; the object!
// module sets it. Arguments are stacked copies: the object, the word, the
// old value and the new value.
using ChangeHook = void (*)(Cell* object, Cell* word, Cell* old_value, Cell* new_value);
extern ChangeHook on_change;

void init();         // registers context! (no handlers)
void init_global();  // the global context: 4000 slots, kept by a mark callback

// ---- the record -----------------------------------------------------------------
Cell* record_of(u32 ctx);  // cell 0 (valid until the next allocation)
Cell* self_slot(u32 ctx);  // cell 1
bool is_context(u32 node);
u32 kind_of(u32 ctx);
bool on_stack(u32 ctx);
bool has_values(u32 ctx);   // false for a stack-based context outside its call
u32 table_of(u32 ctx);
u32 words_of(u32 ctx);      // the words block node
u32 word_count(u32 ctx);
Cell* symbol_cell(u32 ctx, u32 i);  // word cell i
// Value cell i, or nullptr when the context has no values or holds no slot i.
// Inline: every look-up of a bound word goes through it.
inline Cell* slot(u32 ctx, u32 i) {
  const Cell* rec = record_cell(ctx);
  u32 values = record_values(rec);
  if (!values) return nullptr;
  if (record_on_stack(rec)) return stack::bottom + (values - 1) + i;
  const mem::Buffer* b = mem::buffer_of(values);
  if (i >= b->used() / sizeof(Cell)) return nullptr;
  return b->cells() + i;
}

// ---- making ---------------------------------------------------------------------
// A context with room for n slots (0 taken as 1). Without on_stack a values
// series is made (empty, or one unset cell per word of the source). A source
// context's words are copied and bound to the new context.
u32 make(u32 n, bool on_stack, bool self, u32 source, u32 kind);
// One slot per word!, get-word!, lit-word! and refinement! of the spec block,
// in order; other values are skipped.
u32 make_from_spec(const Cell* spec, bool on_stack, bool self, u32 kind);
// A copy of the context of an object-like value, with the same words, flags
// and values and the given kind; the value's word 1 becomes the copy (the
// value must lie in a cell that does not move).
u32 clone(Cell* value, u32 kind);

// ---- words ------------------------------------------------------------------------
// Slot index of the symbol, or -1; ignore_case compares canonical symbols.
i32 find_word(u32 ctx, u32 symbol, bool ignore_case);
// As find_word; a missing symbol is added to the words block (no value), its
// index stored in *out, and -1 answered.
i32 find_in_node(u32 ctx, u32 symbol, bool ignore_case, i32* out);
// Index of the word's symbol ignoring case; added when absent (with an unset
// value unless the context is stack-based).
i32 bind_or_add(u32 ctx, const Cell* word);
// Adds the word with a copy of the value when its symbol is absent (ignoring
// case) and answers the new value cell; nullptr when present.
Cell* add_word(u32 ctx, const Cell* word, const Cell* value);
// Writes the value into the word's slot, adding the word when absent.
void put(u32 ctx, const Cell* word, const Cell* value);

// Word cell of the symbol in the global context, added when absent. A case
// variant of a word already there shares its slot: with keep_spelling the
// answer is then a copy spelled as asked. The answer is valid until the next
// allocation (copy it).
Cell* find_or_add(u32 symbol, bool ignore_case, bool keep_spelling);
// find_or_add keeping the spelling; while the boot flag is set the answer is
// a copy appended to the root block, which never moves.
Cell* add_global(u32 symbol);
// The word cell of the symbol in the context (exact spelling), else add_global.
Cell* get_or_add_global(u32 ctx, u32 symbol);
// Value cell of the symbol (ignoring case) in the context, or in the global
// context when the context is stack-based; nullptr when absent.
Cell* word_cell(u32 symbol, u32 ctx);

// ---- values -----------------------------------------------------------------------
// The value cell the word names in the context. Raises script no-value for a
// word never looked up (index -1) other than `self`, which names the self
// slot, and script not-in-context when the context has no values.
Cell* value_cell(const Cell* word, u32 ctx);
// Assigns the value to the word in the context (looking the word up and
// adding it when its index is -1). In an object context marks the word
// assigned and, with fire, calls on_change for an object with change
// handlers. Raises script not-defined when the context has no values.
// Answers the slot.
Cell* set(Cell* word, const Cell* value, u32 ctx, bool fire);

// ---- binding ----------------------------------------------------------------------
// Binds the word to the context when it holds the symbol (ignoring case);
// answers the index or -1.
i32 bind_word(u32 ctx, Cell* word);
// Binds every word of the block from its index, recursing into blocks, parens,
// paths and hash! values; a block met again is skipped. With self, a word!
// `self` is bound to the context with index -1 (it then names the self slot).
void bind_block(u32 ctx, const Cell* block, bool self);
// Binds every word of the block, walked as bind_block walks it, to the first
// of the contexts that holds its symbol (ignoring case): the binding that
// bind_block with each context in turn, from the last to the first, would
// leave. A word! `self` that no context before self_ctx holds is bound to
// self_ctx with index -1 (as bind_block with self does); self_ctx is one of
// the contexts, or 0. Each word costs one look-up in a table indexed by
// symbol, whatever the number and size of the contexts.
void bind_block_first(const u32* contexts, u32 count, u32 self_ctx, const Cell* block);
// Adds every set-word of the block from its index; true when words were added.
bool collect_set_words(u32 ctx, const Cell* block);

// ---- slots for compiled code ------------------------------------------------------
// Value cell i for writing: the running frame of a stack-based context, or
// the values series (grown with unset cells to hold it). Script not-defined
// naming word i when the context has no values.
Cell* writable_slot(u32 ctx, u32 i);
// Pushes a copy of value i (script not-defined naming word i without values).
Cell* push_value(u32 ctx, u32 i);
// Pushes a copy of value i, then stores the former stack top into it.
Cell* swap_slot(u32 ctx, u32 i);
// Stores the stack top into value i. Both mark word i assigned in an object.
Cell* store_slot(u32 ctx, u32 i);

}  // namespace qel::context
