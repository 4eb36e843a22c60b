// function! and routine!: functions with a spec, a body and a context.
//
// function! cell:
//   header  type 24, OR the attribute flags of the spec (FLAG_TRACE,
//           FLAG_NO_TRACE)
//   word 1  the function context (kind function, values on the arguments
//           stack during a call): one slot per word!, get-word!, lit-word!
//           and refinement! of the spec, in spec order
//   word 2  node of the spec block (head index 0)
//   word 3  node of the more series, five cells:
//             MORE_BODY    the body block (a deep copy of the blocks, parens
//                          and paths given, bound to the context) or none
//             MORE_ARGS    the argument descriptor block the evaluator
//                          builds on the first call (eval/interpreter.hpp,
//                          spec_arguments), unset before
//             MORE_NATIVE  compiled code: the index of its entry in the
//                          routines table as integer!; otherwise unset
//             MORE_OP      unset; once an op! is made from the function, a
//                          copy of the function cell (the op shares this
//                          series and finds its function here)
//             MORE_BOOT    an integer! given by start-up for compiled code,
//                          otherwise unset
// The self slot of the function context holds a copy of the function cell.
//
// routine! cell: as function!, with the argument count (the word! values of
// the spec, at most 31) in header bits 25-29 and the routines-table index of
// its C++ code in MORE_NATIVE.
//
// Call frame of a function: the arguments in spec order, then for each
// refinement a logic flag and its arguments, then /local as logic false and
// one none cell per local word.
#pragma once

#include "runtime/cell.hpp"
#include "runtime/memory.hpp"

namespace qel::function {

inline constexpr u32 FLAG_NO_TRACE = 0x200;
inline constexpr u32 FLAG_TRACE = 0x400;

enum MoreCell : u32 { MORE_BODY = 0, MORE_ARGS, MORE_NATIVE, MORE_OP, MORE_BOOT, MORE_CELLS };

// ---- the function! cell --------------------------------------------------------
// function!, routine! and an op! made from one have a context; native!,
// action! and op! share the spec and more words.
inline bool is_function_cell(Type t) { return t == TYPE_FUNCTION || t == TYPE_ROUTINE || t == TYPE_OP; }
inline bool is_callable_cell(Type t) {
  return t == TYPE_FUNCTION || t == TYPE_ROUTINE || t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_OP;
}
inline u32 context_of(const Cell* fn) { QEL_CHECK_KIND(fn, is_function_cell); return fn->w1; }
inline u32 spec_of(const Cell* fn) { QEL_CHECK_KIND(fn, is_callable_cell); return fn->w2; }
inline u32 more_of(const Cell* fn) { QEL_CHECK_KIND(fn, is_callable_cell); return fn->w3; }
// The words of the three, for the collector's marking (it may rewrite them).
inline const u32* context_slot(const Cell* fn) { return &fn->w1; }
inline const u32* spec_slot(const Cell* fn) { return &fn->w2; }
inline const u32* more_slot(const Cell* fn) { return &fn->w3; }
// A whole function! or routine! cell's payload: its context, spec node and
// more series.
inline void set_payload(Cell* fn, u32 ctx, u32 spec_node, u32 more) {
  fn->w1 = ctx;
  fn->w2 = spec_node;
  fn->w3 = more;
}

void init();  // registers function!

// Runs a function! whose arguments (and locals) the caller pushed inside a
// function frame it opened (stack::mark_func); leaves the result in the
// frame's base cell. owner_ctx is the context of the object the function
// belongs to, or 0; name is the word naming the call. The interpreter sets
// it; transfers that leave the function (errors, throw, break) travel as
// exceptions. While it is not set, change handlers are not run.

// Pushes a function! and answers its context. A spec whose index is above 0
// is first copied from that index; an index past the tail counts as the tail
// (spec and body). Without a context one is made from the spec and the copied
// body is bound to it; a given context (prebuilt, compiled code) is used as
// it is and the body is not rebound. native: routines-table index of
// compiled code, or 0.
u32 push(const Cell* spec, const Cell* body, u32 ctx, u32 native, i32 boot, u32 flags);

// Checks a spec (raising script bad-func-def, dup-vars or invalid-type-spec)
// and answers its attribute flags.
u32 validate(const Cell* spec);
// The attribute block's flags: FLAG_TRACE for `trace`, FLAG_NO_TRACE for
// `no-trace`, other words ignored; -1 when the block holds a non-word.
i32 attribute_flags(const Cell* block);

// The local slots of a spec from a start index: 1 for the /local refinement
// and 1 for each word! after it; without /local 0, or -1 when must_have.
i32 count_locals(u32 spec_node, u32 start, bool must_have);
// Pushes the /local flag (false) and n-1 none cells.
void init_locals(i32 n);
// Pushes what a call frame of the function holds after its first `pushed`
// slots: false for each refinement of the spec, none for every other slot.
void fill_frame(const Cell* fn, u32 pushed);

// The spec of the `function` constructor: a copy of the spec without its
// /extern part, with the set-words of the body (and the words after foreach,
// remove-each and repeat) added as locals unless the spec names them or
// excludes them with /extern. The words of `externs` (a block of words, or
// null) are left out as well. Pushes the new spec block and answers it.
Cell* collect_locals(const Cell* spec, const Cell* body, const Cell* externs = nullptr);

// Cell i of a function's (or routine's, or such an op's) more series. Valid
// until the next allocation.
inline Cell* more_cell(const Cell* fn, u32 i) { return mem::buffer_of(more_of(fn))->cells() + i; }

// A new function from an existing one: the same spec, attribute flags and
// compiled-code references, a context of its own, and a deep copy of the
// body bound first to the object context (when not 0) and then to its own
// context. A function whose body is none raises script bad-func-def. Pushes
// the function and answers it.
Cell* remake(const Cell* fn, u32 object_ctx);

// Makes the block cell start at its head, as a spec must: an index past the
// tail counts as the tail, and a block whose index is above 0 is replaced by
// a copy of its cells from the index. The cell must not move (rooted).
void rebase(Cell* block);

}  // namespace qel::function

namespace qel::routine {

inline constexpr u32 FLAG_VALUES = 0x8000;  // the entry takes the argument cells as they are
inline constexpr u32 ARITY_SHIFT = 25;
inline constexpr u32 ARITY_MASK = 0x1Fu << ARITY_SHIFT;

void init();  // registers routine!

// Pushes a routine! with a context made from the spec and its arity counted;
// answers its context. native: the routines-table index of its code.
u32 push(const Cell* spec, const Cell* body, u32 native, i32 boot);

inline u32 get_arity(const Cell* r) { return (r->header & ARITY_MASK) >> ARITY_SHIFT; }
// Counts the word! values of the spec (at most 31 are recorded) into the
// header, keeping its other bits.
void set_arity(Cell* r);

}  // namespace qel::routine

// The table of C++ routines that routine! values (and compiled functions)
// stand for. An entry reads its arguments from the frame base upward and
// leaves its result in the base cell. Indexes are 1-based and never reused.
namespace qel::routines {

using Entry = void (*)();

u32 register_routine(const char* name, Entry fn);  // answers the new index
Entry entry(u32 index);                            // nullptr when unknown
const char* name(u32 index);                       // "" when unknown
u32 count();

}  // namespace qel::routines
