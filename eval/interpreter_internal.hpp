// What the evaluator's modules share beyond eval/interpreter.hpp: the
// reference routines (eval/interpreter.cpp), paths
// (eval/interpreter_paths.cpp), the native API's evaluator side
// (eval/interpreter_api.cpp), tracing (eval/trace_callbacks.cpp), the
// compiled form (eval/interpreter_compiled_compiler.cpp,
// eval/interpreter_compiled_runner.cpp) and the fitting of a native's
// arguments to its entry (eval/entry_fit.cpp). Only the evaluator includes
// it.
#pragma once

#include <cstring>

#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/native.hpp"
#include "datatypes/word.hpp"
#include "eval/interpreter.hpp"
#include "runtime/actions.hpp"
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

// The blocks being evaluated, innermost last, each with the current code of
// the evaluation around it. They live in one array that never moves, rooted
// by a mark callback: entering a block costs two cell copies. Every entry
// belongs to an open evaluation frame, so there are never more entries than
// frames.
struct HeldEntry {
  Cell block;        // the block value (its index: where the evaluation began)
  Cell saved_code;   // the current code when the block was entered
};
constexpr u32 MAX_HELD = stack::CALL_FRAMES + stack::FRAMES_RESERVE + 8;
extern HeldEntry* g_held;
extern u32 g_held_count;

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


// The shape of a call, read once from an argument descriptor: how many
// arguments are fetched first (all of them evaluated normally), their
// typesets, and what is pushed after them when every refinement is off, so
// that the common call does not walk the descriptor. Descriptors never
// change once built; a shape is found again by the descriptor's node and
// dropped when the collector frees that node (it may then be reused).
constexpr u32 SHAPE_ARGS = 8;
struct CallShape {
  u32 desc = 0;      // descriptor node; 0: a free entry
  bool usable = false;  // false: the descriptor is walked as usual
  u8 args = 0;       // arguments fetched, in order
  u8 native_refs = 0;  // natives: refinements (all off)
  u8 fill = 0;       // function-like: cells pushed for the refinements
  u64 fill_false = 0;  // which fill cells are logic false (the others none)
  i32 locals = 0;    // function-like: the locals count (0: none)
  // (Every member initialised: the table of shapes is then zero bytes the
  // program never writes at start, not a constructor's work.)
  u8 word_index[SHAPE_ARGS] = {};  // the spec word of each argument, for messages
  u8 kind[SHAPE_ARGS] = {};        // how each argument is taken (ArgKind)
  u64 accepts[SHAPE_ARGS] = {};  // argument k's typeset as a mask by type id
  Cell ts[SHAPE_ARGS] = {};
};
static_assert(TYPE_TOP < 64);

// The typeset as a mask with bit t set for each type id t it holds.
u64 type_mask(const Cell* ts);
constexpr u32 SHAPE_BITS = 8;
extern CallShape g_shapes[1u << SHAPE_BITS];
// Reads the descriptor into a shape (see eval/interpreter.cpp).
void build_shape(CallShape& s, u32 desc, bool native_like);

// The shape of the descriptor (built on first use).
inline CallShape& call_shape(u32 desc, bool native_like) {
  CallShape& s = g_shapes[((desc >> 2) ^ (desc >> 11)) & ((1u << SHAPE_BITS) - 1)];
  if (s.desc != desc) build_shape(s, desc, native_like);
  return s;
}

// Raises expect-arg for argument k of a shape that does not accept the
// type got (kept out of line: the check itself is one bit test).
[[gnu::noinline, gnu::cold, noreturn]] void refuse_shape_arg(const CallShape& s, u32 k, Type got, const Cell* fn,
                                                  const Cell* word);
[[gnu::always_inline]] inline void check_shape_arg(const CallShape& s, u32 k, Type got, const Cell* fn, const Cell* word) {
  if (!((s.accepts[k] >> (u32(got) & 63)) & 1)) refuse_shape_arg(s, k, got, fn, word);
}

// Operators with a short path for numbers: 0, or 1 + the math op, or 100 +
// the comparison op, for the function of type t and index id.
int op_code_of(Type t, u32 id);
inline int fast_op(const Cell* fn) { return op_code_of(type_of(fn), native::index_of(fn)); }

// Two integer! values combined in place into l as the operator's action or
// native does, or false (l unchanged) when its answer is no integer! (an
// overflow, an inexact division) or it would raise (a zero divisor, the
// lowest integer divided by -1).
[[gnu::always_inline]] inline bool integer_combine(int code, Cell* l, const Cell* r) {
  i32 a = int_of(l), b = int_of(r);
  if (code < 100) {
    i32 n;
    switch (code - 1) {
      case OP_ADD: if (__builtin_add_overflow(a, b, &n)) return false; break;
      case OP_SUB: if (__builtin_sub_overflow(a, b, &n)) return false; break;
      case OP_MUL: if (__builtin_mul_overflow(a, b, &n)) return false; break;
      case OP_DIV:
        if (b == 0 || (b == -1 && a == INT32_MIN) || a % b != 0) return false;
        n = a / b;
        break;
      case OP_REM:
        if (b == 0) return false;
        n = b == -1 ? 0 : a % b;  // the lowest integer by -1 leaves no remainder
        break;
      case OP_AND: n = a & b; break;
      case OP_OR: n = a | b; break;
      case OP_XOR: n = a ^ b; break;
      default: return false;
    }
    make_integer(l, n);
    return true;
  }
  bool t;
  switch (code - 100) {
    case COMP_EQUAL: case COMP_STRICT_EQUAL: t = a == b; break;
    case COMP_NOT_EQUAL: t = a != b; break;
    case COMP_LESSER: t = a < b; break;
    case COMP_LESSER_EQUAL: t = a <= b; break;
    case COMP_GREATER: t = a > b; break;
    default: t = a >= b; break;
  }
  make_logic(l, t);
  return true;
}

// Combines two numbers as the operator's action or native does, when that
// can neither raise nor call anything: integer! operations (an overflow of
// +, - or * gives the float of the exact operands, an inexact / the float
// quotient), +, - and * of integer! and float!, integer! comparison.
inline bool plain_combine(int code, const Cell* l, const Cell* r, Cell* out) {
  Type lt = type_of(l), rt = type_of(r);
  int op = code - 1;
  if (lt == TYPE_INTEGER && rt == TYPE_INTEGER) {
    *out = *l;
    if (integer_combine(code, out, r)) return true;
    if (op == OP_DIV) {
      i32 a = int_of(l), b = int_of(r);
      if (b == 0 || (b == -1 && a == INT32_MIN)) return false;
      make_float(out, double(a) / double(b));
      return true;
    }
    if (op != OP_ADD && op != OP_SUB && op != OP_MUL) return false;
  } else if (code >= 100 || (op != OP_ADD && op != OP_SUB && op != OP_MUL) ||
             !((lt == TYPE_FLOAT || lt == TYPE_INTEGER) && (rt == TYPE_FLOAT || rt == TYPE_INTEGER))) {
    return false;
  }
  double a = lt == TYPE_FLOAT ? float_of(l) : double(int_of(l));
  double b = rt == TYPE_FLOAT ? float_of(r) : double(int_of(r));
  make_float(out, op == OP_ADD ? a + b : op == OP_SUB ? a - b : a * b);
  return true;
}

// The slot a set-word can write in place: a plain slot outside an object
// (objects track assignments and may watch changes), or null.
inline Cell* plain_target(const Cell* set_word) {
  Cell* slot = plain_slot(set_word);
  if (!slot) return nullptr;
  // The global context is no object: its kind needs no look-up.
  u32 ctx = word::context_of(set_word);
  if (ctx != g_global_ctx && context::kind_of(ctx) == context::KIND_OBJECT) return nullptr;
  return slot;
}

// The function's context reads its values from the frame just opened (its
// arguments and locals on the stack); the frame keeps what the context read
// before, restored when the frame closes.
inline stack::Frame* bind_frame_context(u32 ctx) {
  stack::Frame* f = stack::ctop - 1;
  Cell* rec = context::record_cell(ctx);
  f->fctx = ctx;
  f->saved_values = context::record_values(rec);
  context::set_record_values(rec, stack::index_of(stack::base) + 1);
  f->header |= stack::FRAME_FLAG_CTX;
  return f;
}

// The shape of the operator's descriptor when it fits, or null.
inline const CallShape* infix_shape(const Cell* op) {
  const Cell* cached = more_cell(op, MORE_ARGS);
  if (type_of(cached) != TYPE_BLOCK) return nullptr;
  const CallShape& s = call_shape(series_node(cached), true);
  return s.usable && s.args == 2 && s.kind[0] == ARG_NORMAL && s.kind[1] == ARG_NORMAL ? &s : nullptr;
}

// The reference routines (eval/interpreter.cpp): a block in a frame of its
// own, one expression in a frame of its own (eval_next's), and what follows
// an expression's first value (its operators).
Status eval_block_general(const Cell* block, bool chain);
Status eval_next_reference(const Code& code, u32& pos, bool sub);
// push: whether the first value is reported by a push event (it is not after
// a call, a paren, a set-word or a set-path).
Status expression_rest(const Code& code, u32& pos, ExprMode mode, Cell* entry_top, bool push = true);
// An argument taken as it is (kind ARG_LITERAL), or as it is unless it is a
// paren, a get-word or a get-path (ARG_QUOTED), from pos (before the tail):
// pushed.
Status fetch_unevaluated(const Code& code, u32& pos, u32 kind);
// A call through a path whose refinements before element k the compiled
// form took (seen; a native's on the stack, refs telling where): the rest as
// the reference takes them, pn being the path's length when they began.
Status path_refinements_from(const Cell* fn, const Code& code, u32& pos, const Cell* path, u32 pn, u32 k,
                             const Cell* name, bool* seen, i32* refs);
// A function's body called untraced and not as a callback, its frame f open
// with its arguments and locals and its context bound to them
// (bind_frame_context: call_function's plain case).
Status run_function(const Cell* fn, stack::Frame* f, const Cell* name);

}  // namespace qel::interp::detail
