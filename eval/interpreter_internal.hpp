// What the evaluator's modules share beyond eval/interpreter.hpp: the
// reference routines (eval/interpreter.cpp), paths
// (eval/interpreter_paths.cpp), the native API's evaluator side
// (eval/interpreter_api.cpp), tracing (eval/trace_callbacks.cpp) and the
// compiled form (eval/interpreter_compile.cpp, eval/interpreter_run.cpp).
// Only the evaluator includes it.
#pragma once

#include <cstring>

#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/word.hpp"
#include "eval/interpreter.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

namespace qel::interp::detail {

using mem::buffer_of;

// Root cells (they never move).
extern Cell* g_pending;           // what a pending transfer carries
extern Cell* g_current_code;      // the block and position an error's near reports
extern Cell* g_trace_callback;    // the callback of the trace run
extern u32 g_trace_mask;          // the events it asked for
extern u32 g_callback_locals;
extern Cell g_body_word;          // <body>
extern Cell g_anon_word;          // <anon>
extern Cell g_set_path_word;      // set-path
extern Cell g_callback_word;      // <interp-callback>
// Set while library code runs inside a trace run: its events are held back
// (the trace flag is off) and let through again for the caller's code it
// evaluates.
extern bool g_trace_held;

// The global context and its values series. A context that keeps its values
// in a series gets that series when it is made and keeps it for life, so a
// global word's slot is found from its index without reading the record.
extern u32 g_global_ctx;
extern u32 g_global_values;

// The slot of a global word, or null when its index lies past the values
// made so far (the context module makes the slot then).
inline Cell* global_slot(i32 idx) {
  mem::Buffer* values = buffer_of(g_global_values);
  return u32(idx) < values->used() / sizeof(Cell) ? values->cells() + idx : nullptr;
}

// Function values keep their body and argument descriptor block in their
// more series (datatypes/function.hpp).
using function::FLAG_NO_TRACE;
using function::FLAG_TRACE;
using function::MORE_ARGS;
using function::MORE_BODY;
using function::more_cell;

// Argument kinds kept in bits 20-21 of the descriptor's typesets.
constexpr u32 KIND_SHIFT = 20;
enum ArgKind : u32 { ARG_NORMAL = 0, ARG_LITERAL = 1, ARG_QUOTED = 2, ARG_RETURN = 3 };
inline u32 arg_kind(const Cell* ts) { return (ts->header >> KIND_SHIFT) & 3; }
constexpr int MAX_REFINEMENTS = 32;

inline bool is_function_type(Type t) {
  return t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_FUNCTION || t == TYPE_ROUTINE;
}
inline bool is_any_function(Type t) { return is_function_type(t) || t == TYPE_OP; }

// Whether the faster forms may take the evaluation: never while tracing
// (every event must fire) nor under the reference switch.
inline bool short_paths() { return !trace && !reference; }

inline u32 tail_of(const Code& code) {
  u32 n = buffer_of(code.node)->used() / sizeof(Cell);
  return n < code.end ? n : code.end;
}
inline Cell* cell_at(const Code& code, u32 i) { return buffer_of(code.node)->cells() + i; }

inline bool library_block(const Cell* block) {
  return (buffer_of(series_node(block))->flags & mem::SERIES_LIBRARY) != 0;
}

// Puts a result where the mode wants it: pushed (sub) or in the base cell.
// The copy is written whole into its destination and the new-line marker
// cleared there: changing a local copy first and then copying it would make
// the processor wait for the partial write.
inline void place(const Cell* result, bool sub, bool clear_marker = false) {
  Cell* d;
  if (sub) {
    d = stack::top;
    if (++stack::top >= stack::end) stack::overflow();
  } else {
    d = stack::base;
    stack::top = stack::base + 1;
  }
  std::memmove(d, result, sizeof(Cell));
  if (clear_marker) d->header &= ~FLAG_NEW_LINE;
}

[[noreturn]] void raise_stack_overflow();

// The value cell of a word bound to a slot that can be read directly, or
// null (unbound, no values, a slot the context module would have to make).
inline Cell* plain_slot(const Cell* w) {
  u32 ctx = word::context_of(w);
  i32 idx = word::index_of(w);
  if (ctx == g_global_ctx && ctx) return idx < 0 ? nullptr : global_slot(idx);
  if (!ctx) return nullptr;
  const Cell* rec = context::record_cell(ctx);
  u32 vals = context::record_values(rec);
  if (idx < 0 || !vals) return nullptr;
  if (context::record_on_stack(rec)) return stack::bottom + (vals - 1) + idx;
  mem::Buffer* values = buffer_of(vals);
  if (u32(idx) < values->used() / sizeof(Cell)) return values->cells() + idx;
  return nullptr;
}

// The value of a word, or the no-value error. Words bound to a slot of a
// context with a values series (the global context, objects) or with its
// values on the stack (a running function) are read directly; the rest goes
// through the context module.
inline Cell* word_value(const Cell* w) {
  if (Cell* slot = plain_slot(w)) return slot;
  u32 ctx = word::context_of(w);
  if (!ctx) fire(Err::script_no_value, w);
  return context::value_cell(w, ctx);
}

// A pending return/exit whose target is the frame on top ends there: the
// carried value (unset for exit) becomes the frame's result. Out of line:
// statuses are rare, and the check for none is made at every frame's end.
[[gnu::noinline]] Status take_pending_return(Status st);
inline Status take_return(Status st) { return st ? take_pending_return(st) : 0; }

// Closes the frame on top after an evaluation that answered st.
Status close_frame(Status st, bool sub);
// Closes the frame on top with the value as its result.
void close_with(const Cell* value, bool sub);

// Closes a call's frame (the function pushed below it, or the left operand
// of an infix call, at entry_top) after the call answered st: the result is
// placed as the mode says, or the status goes on.
inline Status close_call(Status st, Cell* entry_top, bool sub) {
  if (st) {
    stack::unwind();
    stack::top = entry_top;
    return st;
  }
  Cell result = *stack::base;
  stack::unwind();
  stack::top = entry_top;
  place(&result, sub, true);
  return 0;
}

// The word of descriptor entry i (the spec word it came from), for messages.
Cell spec_word_for(const Cell* fn, u32 arg_index);

// A call of the function-like value that the word held, and whether a call
// through a path can take that routine (see eval/interpreter.cpp).
Status call_word(const Cell* fn, const Code& code, u32& pos, bool sub, const Cell* word,
                 const Cell* path = nullptr);
bool lean_path_call(const Cell* fn, u32 node, u32 head, u32 n);

}  // namespace qel::interp::detail
