// object!: values over an object context, with a class id and the change
// events of their on-change* and on-deep-change* handlers.
//
// Object cell:
//   header  type 32
//   word 1  the context (kind object, with a self slot)
//   word 2  the class id (signed)
//   word 3  node of the on-set info, or 0 when the object has no handler
//
// On-set info: a series of two cells (type pair!), cell ON_CHANGE for
// on-change* and cell ON_DEEP_CHANGE for on-deep-change*:
//   word 2  the handler's slot index << 16 | its local-slot count; the high
//           half is 0xFFFF when the object has no such word
//   word 3  the node of the handler's spec when the count was taken, so that
//           a replaced handler is noticed and counted again
//
// Invariants: the self slot of the context holds a copy of the object cell,
// written whenever the cell is made or its on-set info changes; the words of
// an object never go away and keep their slots, so a handler index stays
// valid for the object's life. An object whose on-deep-change* is set owns
// the series of its fields (ownership table, runtime/hash.hpp), so that
// modifying them fires the handler.
//
// Class ids come from one counter (first id 1): an object made from nothing
// and a make that adds words take a new id; a copy, a make that adds no word
// to an object prototype and a construct with a prototype keep its id.
#pragma once

#include "runtime/cell.hpp"

namespace qel::object {

inline constexpr u32 NO_HANDLER = 0xFFFF0000u;  // packed word of an absent handler
enum OnSetCell : u32 { ON_CHANGE = 0, ON_DEEP_CHANGE = 1 };

// ---- the object cell (also error! and port!) ------------------------------------
// object!, error! and port! share the object cell.
inline bool is_object_cell(Type t) { return t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_PORT; }
inline u32 context_of(const Cell* o) { QEL_CHECK_KIND(o, is_object_cell); return o->w1; }
inline void set_context(Cell* o, u32 ctx) { o->w1 = ctx; }
inline i32 class_of(const Cell* o) { QEL_CHECK_KIND(o, is_object_cell); return i32(o->w2); }
inline void set_class(Cell* o, i32 id) { o->w2 = u32(id); }
inline u32 on_set_of(const Cell* o) { QEL_CHECK_KIND(o, is_object_cell); return o->w3; }
// The words of the context and on-set nodes, for the collector's marking.
inline const u32* context_slot(const Cell* o) { return &o->w1; }
inline const u32* on_set_slot(const Cell* o) { return &o->w3; }
inline void set_on_set(Cell* o, u32 node) { o->w3 = node; }
// A whole object cell of the type (object!, error!, port!) over the context.
inline Cell* fill(Cell* o, Type t, u32 ctx, i32 class_id, u32 on_set) {
  o->header = t;
  o->w1 = ctx;
  o->w2 = u32(class_id);
  o->w3 = on_set;
  return o;
}
// A cell of the on-set info: the packed slot index and local count, and the
// handler's spec node when the count was taken.
inline u32 handler_packed(const Cell* info) { return info->w2; }
inline u32 handler_spec(const Cell* info) { return info->w3; }
inline void set_handler(Cell* info, u32 packed, u32 spec_node) {
  info->w2 = packed;
  info->w3 = spec_node;
}

void init();        // registers object!; installs the change hooks
void init_words();  // interns on-change*, on-deep-change* and changed

// ---- class ids (word 2 of an object cell) ----------------------------------------
// Start-up gives its own objects fixed ids; objects made at run time take
// ids above FIRST_FREE_CLASS (new_class_id).
inline constexpr i32 CLASS_ERROR = 1;             // every error! value
inline constexpr i32 CLASS_SYSTEM = 174;          // the `system` object (its members: boot.cpp)
inline constexpr i32 CLASS_ERRORS = 184;          // the `errors` catalogue object
inline constexpr i32 CLASS_FIRST_CATEGORY = 186;  // then every second id, one per category
inline constexpr i32 CLASS_STANDARD_ERROR = 245;  // the standard error object new errors copy
inline constexpr i32 FIRST_FREE_CLASS = 1000;

i32 new_class_id();

// Pushes an object cell over the context and copies it into the self slot.
Cell* push(u32 ctx, u32 on_set, i32 class_id);
// As push without on-set info; a values series shorter than the words block
// is first filled with unset cells.
Cell* push_with_id(u32 ctx, i32 class_id);
// Gives the object on the stack top on-set info for handlers at the given
// slot indexes (-1: none) with their local-slot counts; with an
// on-deep-change* its series become owned by it. Answers the info node.
u32 make_on_set(i32 change_index, i32 change_locals, i32 deep_index, i32 deep_locals);
// target (a cell that does not move) becomes an object over a new context
// with room for `slots`, class id 0, no on-set info.
Cell* make_at(Cell* target, u32 slots);

// The on-set info the context's handler words call for, or 0 when it has
// neither word. A handler word holding no function! or routine! raises
// script bad-field-set.
u32 on_set_from_context(u32 ctx);
// Stores the on-set info of the object's context in the cell (which must not
// move), makes its series owned when it has an on-deep-change*, and copies
// the cell into the self slot.
void finish(Cell* object);

// The object make action (prototype: an object or the datatype; spec: a
// block to evaluate or an object to merge). Pushes the new object.
Cell* make(Cell* proto, Cell* spec);
// A copy of the object: functions remade for the copy, series shared (or,
// with deep, copied; nested objects too). Pushes it.
Cell* copy(const Cell* object, bool deep);

// The value cell of the word (ignoring case), or the shared none cell.
Cell* get_word_cell(const Cell* object, const Cell* word);
// Word cell i of the context's words block.
Cell* get_values_cell(u32 ctx, u32 i);
Cell* values_head(const Cell* object);
u32 word_count(const Cell* object);
// Whether the word's value (or value i of the context) is an object of the class.
bool is_class(const Cell* word, i32 class_id);
bool value_is_class(u32 ctx, u32 i, i32 class_id);
bool has_deep_handler(const Cell* object);

// Runs the object's on-change* with (word bound to the object, old, new).
// Raises script invalid-obj-evt when the handler word holds no function.
void fire_on_change(Cell* object, Cell* word, Cell* old_value, Cell* new_value);
// Runs the owner's on-deep-change* with (owner, word, target, action, new
// value or none, index, part). A handler that is not a function is skipped.
void fire_on_deep_change(Cell* owner, Cell* word, Cell* target, Cell* action, Cell* new_value,
                         i32 index, i32 part);
// fire_on_change with the second cell from the stack top as old value and
// the top cell as new value.
void fire_on_top(Cell* object, Cell* word);
// After a slot store that pushed the old value (context::swap_slot): fires
// the on-change* of the word's object with the stack top as old value and
// the cell below it as new value.
void fire_on_word(Cell* word);

// A field read through a path while it holds unset: the hook (one for the
// process, set at start-up by a layer above) may give the field a value made
// at its first read; true when it did, and the read takes that value. Reads
// of fields that hold a value never reach it.
using UnsetFieldHook = bool (*)(u32 ctx, u32 index);
void set_unset_field_hook(UnsetFieldHook hook);

// The set native's object case (see object.cpp).
void set_values(Cell* object, const Cell* value, bool any, bool only, bool some);
// The construct native: an object from the set-words of the spec and the
// values after them, unevaluated; a prototype is copied first (its class id
// kept). Without only, the words none, true, false, yes, no, on and off
// stand for their values. Pushes the object.
Cell* construct(const Cell* spec, const Cell* proto, bool only);

}  // namespace qel::object
