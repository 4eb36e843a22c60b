#include "eval/interpreter.hpp"
#include "eval/interpreter_internal.hpp"
#include "eval/library_code.hpp"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <type_traits>

#include "datatypes/context.hpp"
#include "eval/api.hpp"
#include "datatypes/function.hpp"
#include "datatypes/object.hpp"
#include "datatypes/ownership.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/native.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/typeset.hpp"
#include "datatypes/word.hpp"
#include "eval/lexer.hpp"
#include "eval/natives.hpp"
#include "eval/transfers.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/config.hpp"
#include "runtime/error.hpp"
#include "runtime/fastpath.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/startup.hpp"
#include "runtime/words.hpp"

namespace qel::interp {

i32 pending_target = -1;
bool trace = false;
bool reference = false;
bool trace_run = false;
bool trace_held = false;

using namespace detail;

namespace detail {

Cell* g_pending = nullptr;        // root cells: they never move
Cell* g_current_code = nullptr;
Cell* g_trace_callback = nullptr;
u32 g_trace_mask = 0;
u32 g_callback_locals = 0;
Cell g_body_word{TYPE_WORD, 0, 0, 0};
Cell g_anon_word{TYPE_WORD, 0, 0, 0};
Cell g_set_path_word{TYPE_WORD, 0, 0, 0};
Cell g_callback_word{TYPE_WORD, 0, 0, 0};
u32 g_global_ctx = 0;
u32 g_global_values = 0;

[[noreturn]] void raise_stack_overflow() {
  stack::top = (stack::top - stack::bottom > 5) ? stack::top - 5 : stack::bottom;
  fire(Err::internal_stack_overflow);
}

Status take_pending_return(Status st) {
  if (takes_return(st, stack::ctop - 1)) {
    if (st == THROW_RETURN) copy_cell(g_pending, stack::base);
    else make_unset(stack::base);
    return 0;
  }
  return st;
}

Status close_frame(Status st, bool sub) {
  st = take_return(st);
  if (st) {
    stack::unwind();
    return st;
  }
  Cell r = *stack::base;
  stack::unwind();
  place(&r, sub);
  return 0;
}

void close_with(const Cell* value, bool sub) {
  Cell v = *value;
  stack::set_last_only(&v);
  close_frame(0, sub);
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Unwinding statuses

Cell* pending_value() { return g_pending; }

Status start_unwind(Status code, i32 target, const Cell* value) {
  pending_target = target;
  if (value) copy_cell(value, g_pending);
  else make_unset(g_pending);
  return code;
}

bool takes_return(Status st, const stack::Frame* f) {
  return (st == THROW_RETURN || st == THROW_EXIT) && i32(f - stack::cbottom) == pending_target;
}

void rethrow_status(Status st) {
  // Re-send the transfer in its exception form to the frame the status names,
  // so that it lands where the status would have been taken.
  send_status_to_target(st, pending_target, g_pending);
}

Cell* current_code() { return g_current_code; }

namespace detail {

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
HeldEntry* g_held = nullptr;
u32 g_held_count = 0;

void mark_held() {
  for (u32 i = 0; i < g_held_count; ++i) {
    gc::mark_cell(&g_held[i].block);
    gc::mark_cell(&g_held[i].saved_code);
  }
}

void sweep_shapes();  // drops the call shapes of freed descriptors
void init_loop();     // the call loop's records

void init_blocks() {
  if (!g_held) {
    g_held = new HeldEntry[MAX_HELD];
    gc::add_mark_callback(mark_held);
  }
  g_held_count = 0;
  init_loop();
  static bool sweeping = false;
  if (!sweeping) {
    gc::add_sweep_callback(sweep_shapes);
    sweeping = true;
  }
}

// Holds a block for its evaluation and puts the current code of the outer
// evaluation back when it ends, also when an error unwinds it.
struct HeldBlock {
  HeldEntry* e;
  explicit HeldBlock(const Cell* block) {
    if (g_held_count >= MAX_HELD) stack::overflow();
    e = g_held + g_held_count;
    e->block = *block;
    e->saved_code = *g_current_code;
    ++g_held_count;
  }
  ~HeldBlock() {
    *g_current_code = e->saved_code;
    --g_held_count;
  }
  HeldBlock(const HeldBlock&) = delete;
  HeldBlock& operator=(const HeldBlock&) = delete;
};

}  // namespace detail

void init() {
  g_pending = runtime::root_append();
  g_current_code = runtime::root_append();
  g_trace_callback = runtime::root_append();
  make_unset(g_pending);
  make_unset(g_current_code);
  make_none(g_trace_callback);
  g_body_word = *words::cell(words::W_BODY_TAG);
  g_anon_word = *intern_word("<anon>");
  g_set_path_word = *intern_word("set-path");
  g_callback_word = *intern_word("<interp-callback>");
  const char* ref = std::getenv(config::EVAL_REFERENCE_ENV);
  reference = ref && *ref && std::strcmp(ref, "0") != 0;
  g_global_ctx = context::global;
  g_global_values = context::global ? context::record_values(context::record_cell(context::global)) : 0;
  if (!g_global_values) g_global_ctx = 0;
  init_blocks();
}

// ---------------------------------------------------------------------------
// Blocks and expressions

namespace detail {

// Trace events are held back while library code runs and let through again
// for the caller's code it evaluates.
bool g_trace_held = false;
struct LibraryTrace {
  bool saved_trace, saved_held;
  explicit LibraryTrace(bool library_code) : saved_trace(trace), saved_held(g_trace_held) {
    if (library_code) {
      if (trace) {
        g_trace_held = true;
        trace = false;
      }
    } else if (g_trace_held) {
      g_trace_held = false;
      trace = true;
    }
  }
  ~LibraryTrace() {
    trace = saved_trace;
    g_trace_held = saved_held;
  }
};

// A whole top-level plain expression at pos (see plain_expression, defined
// with the other short paths below).
bool plain_statement(const Cell* cells, u32& pos, u32 end, Cell* out);
[[gnu::always_inline]] inline bool plain_block(const Cell* block, Cell* out, bool& first_plain);
// One expression; try_plain false when the short path was already tried.
Status eval_expression_from(const Code& code, u32& pos, ExprMode mode, bool try_plain);
Status expression_rest(const Code& code, u32& pos, ExprMode mode, Cell* entry_top);
inline const Cell* global_function(const Cell* c);
Status call_expression(const Code& code, u32& pos, ExprMode mode, const Cell* fv);
inline Status eval_expression_general(const Code& code, u32& pos, ExprMode mode);
// An infix call of an operator made from an arithmetic or comparison action
// or native (see there).
Status infix_call(const Cell* op, const Cell* opword, int fast_code, const Code& code, u32& pos, bool sub,
                  Cell* entry_top);

}  // namespace detail

// The code cursor: the block's cells and its live tail are read once and
// read again only after a step that went through the general evaluator (which
// may have run code that changed or moved the block). A plain step can
// neither allocate nor change a series, so what was read stays valid.
namespace detail {
Status eval_block_general(const Cell* block_in, bool chain, bool first_plain);
// The call loop (see there) and its set-up.
Status run_loop(const Cell* block, bool chain, bool first_plain);
}  // namespace detail

namespace detail {

// Blocks found not to be one plain statement, remembered by series node and
// start so that a block run again and again (a function body, a loop body,
// a branch) is not tried each time. The general evaluation answers what a
// plain one would, so a stale entry (the block changed, a word holding data
// by now, the node reused) costs only speed; an entry is tried again now
// and then.
struct PlainMiss {
  u32 node = 0, start = 0;
  u32 skips = 0;
  bool first_plain = false;  // what the failed attempt found (see plain_block)
};
constexpr u32 MISS_BITS = 9;
constexpr u32 MISS_RETRY = 64;
PlainMiss g_body_miss[1u << MISS_BITS];


// eval_block, not traced: a plain block is evaluated without its frame; the
// frame and the current code the block would have had are not observable,
// so the result is left where closing that frame would have left it. Answers
// true when the block was done so; false, with first_plain for the general
// evaluation, when it is not plain.
[[gnu::always_inline]] inline bool remembered_plain(const Cell* body, bool chain, bool& first_plain) {
  u32 node = series_node(body);
  u32 start = u32(series_index(body));
  PlainMiss& m = g_body_miss[((node >> 2) ^ (start << 4)) & ((1u << MISS_BITS) - 1)];
  if (m.node == node && m.start == start) {
    if (++m.skips < MISS_RETRY) {
      first_plain = m.first_plain;
      return false;
    }
    m.node = 0;  // tried again below
  }
  first_plain = true;
  if (Cell r; plain_block(body, &r, first_plain)) {
    Cell* at = stack::top;
    if (++stack::top >= stack::end) stack::overflow();
    *at = r;
    if (chain) *stack::base = r;
    return true;
  }
  m = {node, start, 0, first_plain};
  return false;
}

[[gnu::always_inline]] inline Status eval_remembered(const Cell* body, bool chain) {
  bool first_plain;
  if (remembered_plain(body, chain, first_plain)) return 0;
  return eval_block_general(body, chain, first_plain);
}

// A function's body: untraced and outside the library, one that is not
// plain runs in the call loop, where the calls it makes between interpreted
// functions go on without C++ recursion.
[[gnu::always_inline]] inline Status eval_function_body(const Cell* body) {
  if (trace || g_trace_held || reference) return eval_block_general(body, true, true);
  bool first_plain;
  if (remembered_plain(body, true, first_plain)) return 0;
  if (library_block(body)) return eval_block_general(body, true, first_plain);
  return run_loop(body, true, first_plain);
}

// eval_block, inline for the blocks run again and again (function bodies,
// branches).
[[gnu::always_inline]] inline Status eval_block_step(const Cell* block, bool chain) {
  if (!trace && !g_trace_held && !reference) return eval_remembered(block, chain);
  return eval_block_general(block, chain, true);
}

}  // namespace detail

Status eval_block(const Cell* block_in, bool chain) { return eval_block_step(block_in, chain); }

namespace detail {

// A block in a frame of its own, statement by statement. first_plain: whether
// the first statement may be plain (false when that was found not to be).
[[gnu::noinline]] Status eval_block_general(const Cell* block_in, bool chain, bool first_plain) {
  stack::mark_eval(&g_body_word);
  HeldBlock held(block_in);
  const Cell* block = &held.e->block;
  u32 node = series_node(block);
  mem::Buffer* buf = buffer_of(node);
  u32 end = buf->used() / sizeof(Cell);
  Code code{block, node, end};
  i32 start = series_index(block);
  u32 pos = start < 0 ? 0 : u32(start);
  if (trace) fire_event(EV_ENTER, block, i32(pos), nullptr, nullptr);
  Status st = 0;
  // Library code runs as one step of its caller: its blocks leave the
  // caller's code as the current code and fire no trace events; code of the
  // caller's that it runs is traced again.
  bool library_code = (buf->flags & mem::SERIES_LIBRARY) != 0;
  LibraryTrace lib_trace(library_code);
  u32 tail = tail_of(code);
  if (pos >= tail) {
    make_unset(stack::base);
    stack::keep();
  } else {
    if (!library_code) copy_cell(block, g_current_code);
    const Cell* cells = buffer_of(node)->cells();
    while (pos < tail) {
      if (!library_code) set_series_index(g_current_code, i32(pos));
      if (Cell r; short_paths() && first_plain && plain_statement(cells, pos, tail, &r)) {
        place(&r, false);
      } else {
        st = eval_expression_general(code, pos, {});
        if (st) break;
        tail = tail_of(code);
        cells = buffer_of(node)->cells();
      }
      first_plain = true;
      if (pos < tail) stack::reset();
    }
  }
  if (trace && !st) fire_event(EV_EXIT, block, i32(tail_of(code)), nullptr, stack::base);
  st = take_return(st);
  if (st) {
    stack::unwind();
    return st;
  }
  if (chain) stack::unwind_last_copy();
  else stack::unwind_last();
  return 0;
}

}  // namespace detail

Status eval_next(const Code& code, u32& pos, bool sub) {
  stack::mark_interp(&g_body_word);
  Status st = eval_expression(code, pos);
  return close_frame(st, sub);
}

Status do_next(const Cell* block, i32* next_index) {
  Cell b = *block;
  u32 node = series_node(&b);
  u32 n = buffer_of(node)->used() / sizeof(Cell);
  i32 start = series_index(&b) < 0 ? 0 : series_index(&b);
  if (u32(start) >= n) {
    make_unset(stack::base);
    stack::keep();
    *next_index = start;
    return 0;
  }
  Code code{&b, node, n};
  u32 pos = u32(start);
  Status st = eval_expression(code, pos);
  *next_index = i32(pos);
  return st;
}

namespace detail {

// Operators with a short path for numbers: the arithmetic actions and the
// comparison natives. Answers 0, or 1 + the math op, or 100 + the comparison op,
// for the function of type t and index id.
int op_code_of(Type t, u32 id) {
  if (t == TYPE_ACTION) {
    switch (id) {
      case ACT_add: return 1 + OP_ADD;
      case ACT_subtract: return 1 + OP_SUB;
      case ACT_multiply: return 1 + OP_MUL;
      default: return 0;
    }
  }
  if (t == TYPE_NATIVE && id >= natives::N_equal_q && id <= natives::N_greater_or_equal_q) {
    static const i32 kOps[] = {COMP_EQUAL, COMP_NOT_EQUAL, COMP_STRICT_EQUAL, COMP_LESSER,
                               COMP_GREATER, COMP_LESSER_EQUAL, COMP_GREATER_EQUAL};
    return 100 + kOps[id - natives::N_equal_q];
  }
  return 0;
}



// ---- short paths ----------------------------------------------------------------
// An expression made only of plain operands (literals, words holding data)
// joined by arithmetic or comparison operators over numbers can neither raise
// an error nor run code, so nothing can observe frames or events around it:
// it is evaluated here in one pass, without frames or recursion. These answer
// false, having changed nothing, for anything else; the general evaluator
// then takes the expression from its start and does what it always does.
// Never used while tracing.

// Whether a cell of the type can start a plain expression (a quick test made
// before trying): the types that eval_expression does more with than take
// the value are left out, and unset, which a set-word or an argument refuses.
inline constexpr u64 NOT_PLAIN =
    (1ull << TYPE_UNSET) | (1ull << TYPE_SET_WORD) | (1ull << TYPE_SET_PATH) |
    (1ull << TYPE_GET_WORD) | (1ull << TYPE_LIT_WORD) |
    (1ull << TYPE_GET_PATH) | (1ull << TYPE_LIT_PATH) | (1ull << TYPE_OP) |
    (1ull << TYPE_FUNCTION) | (1ull << TYPE_ROUTINE) | (1ull << TYPE_NATIVE) |
    (1ull << TYPE_ACTION) | (1ull << TYPE_ISSUE);
static_assert(TYPE_TOP < 64);
inline bool may_be_plain(Type t) { return !((NOT_PLAIN >> (u32(t) & 63)) & 1); }

bool plain_group(const Cell* group, Cell* out);

// Parens nested in a plain expression: each would open frames, so the
// short path takes only a few levels.
u32 g_plain_depth = 0;
constexpr u32 MAX_PLAIN_DEPTH = 8;

// Whether the general evaluator would find room on both stacks for what it
// opens and pushes while evaluating a plain statement: near the ends it
// takes over, so that a stack overflow is raised exactly where it always is.
// A plain statement opens at most a block's frame, a set-word's frame and,
// per nested paren, an operator's frame and the paren's two frames (with
// the operators of each level closed before the next opens), and pushes at
// most a few cells per level.
constexpr i64 PLAIN_FRAMES = 3 * MAX_PLAIN_DEPTH + 8;
constexpr i64 PLAIN_CELLS = 8 * MAX_PLAIN_DEPTH + 32;
inline bool room_for_plain() {
  return stack::end - stack::top > PLAIN_CELLS && stack::cend - stack::ctop > PLAIN_FRAMES;
}

// A path of a word holding a block and an integer! picking a cell in range
// that holds neither a function, nor unset, nor a new-line marker: the picked cell, as
// the general path evaluation would answer it (which reads the word, opens
// no frame and cannot raise then), or false. The stack room that evaluation
// would use is checked.
inline bool plain_path(const Cell* path, Cell* out) {
  if (!room_for_plain()) return false;
  const mem::Buffer* pb = buffer_of(series_node(path));
  i32 head = series_index(path) < 0 ? 0 : series_index(path);
  if (u32(head) + 2 != pb->used() / sizeof(Cell)) return false;
  const Cell* el = pb->cells() + head;
  if (type_of(el) != TYPE_WORD || type_of(el + 1) != TYPE_INTEGER) return false;
  const Cell* v = plain_slot(el);
  if (!v || type_of(v) != TYPE_BLOCK) return false;
  i32 k = int_of(el + 1);
  if (k == 0) return false;
  i64 p = i64(series_index(v)) + k + (k > 0 ? -1 : 0);
  const mem::Buffer* vb = buffer_of(series_node(v));
  if (p < 0 || p >= i64(vb->used() / sizeof(Cell))) return false;
  const Cell* r = vb->cells() + p;
  if (is_function_type(type_of(r)) || type_of(r) == TYPE_UNSET || (r->header & FLAG_NEW_LINE)) return false;
  *out = *r;
  return true;
}

// The value of a plain operand, as eval_expression would leave it (new-line
// marker cleared), or false.
[[gnu::always_inline]] inline bool plain_operand(const Cell* c, Cell* out) {
  switch (type_of(c)) {
    case TYPE_PATH:
      return plain_path(c, out);
    case TYPE_PAREN: {
      if (g_plain_depth >= MAX_PLAIN_DEPTH || !room_for_plain()) return false;
      ++g_plain_depth;
      bool ok = plain_group(c, out);
      --g_plain_depth;
      return ok;
    }
    case TYPE_WORD: {
      const Cell* v = plain_slot(c);
      if (!v) return false;
      switch (type_of(v)) {
        case TYPE_UNSET: case TYPE_OP: case TYPE_FUNCTION: case TYPE_ROUTINE: case TYPE_NATIVE:
        case TYPE_ACTION:
          return false;
        default:
          break;
      }
      *out = *v;
      break;
    }
    default:
      if (!may_be_plain(type_of(c))) return false;
      *out = *c;
      break;
  }
  out->header &= ~FLAG_NEW_LINE;
  return true;
}

// fast_op of the function an op! value was made from.
inline int op_code(const Cell* op) {
  return op_code_of(Type((op->header >> 16) & 0xFF), native::index_of(op));
}

// The operator that the word at c names, as fast_op answers it; 0 when the
// word names no operator (the expression ends there) and -1 when it names one
// that the short path does not take.
inline int plain_operator(const Cell* c) {
  if (type_of(c) != TYPE_WORD || !word::context_of(c)) return 0;
  if (word::context_of(c) == g_global_ctx && word::index_of(c) >= 0) {
    const Cell* v = global_slot(word::index_of(c));
    if (!v) return -1;
    if (type_of(v) != TYPE_OP) return 0;
    int code = op_code(v);
    return code ? code : -1;
  }
  if (!context::record_values(context::record_cell(word::context_of(c))) || word::index_of(c) < 0) {
    return 0;
  }
  const Cell* v = plain_slot(c);
  if (!v) return -1;
  if (type_of(v) != TYPE_OP) return 0;
  int code = op_code(v);
  return code ? code : -1;
}

// The operators after a plain first operand, from p, the first being op.
[[gnu::noinline]] bool plain_chain_from(const Cell* cells, u32& p, u32 end, Cell* out, int op) {
  while (true) {
    if (op < 0 || p + 1 >= end) return false;
    // The common case first: integers on both sides, the right one a
    // literal or a word's value, combined without copying the operand.
    const Cell* rc = cells + p + 1;
    const Cell* rv = type_of(rc) == TYPE_INTEGER ? rc : type_of(rc) == TYPE_WORD ? plain_slot(rc) : nullptr;
    if (rv && type_of(rv) == TYPE_INTEGER && type_of(out) == TYPE_INTEGER && integer_combine(op, out, rv)) {
      p += 2;
    } else {
      Cell r, v;
      if (!plain_operand(rc, &r) || !plain_combine(op, out, &r, &v)) return false;
      *out = v;
      p += 2;
    }
    if (p >= end) return true;
    op = plain_operator(cells + p);
    if (op == 0) return true;
  }
}

// The operators after a plain first operand, from p (see plain_expression).
// Most plain operands are followed by no operator: that answer is found
// here, in a small frame.
[[gnu::noinline]] bool plain_chain(const Cell* cells, u32& p, u32 end, Cell* out) {
  int op = plain_operator(cells + p);
  if (op == 0) return true;
  return plain_chain_from(cells, p, end, out, op);
}

// One whole plain expression from pos (just its first operand with prefix):
// answers its value in out and moves pos past it, or answers false.
[[gnu::always_inline]] inline bool plain_expression(const Cell* cells, u32& pos, u32 end, bool prefix, Cell* out) {
  if (!plain_operand(cells + pos, out)) return false;
  u32 p = pos + 1;
  // Only a word can name an operator.
  if (!prefix && p < end && type_of(cells + p) == TYPE_WORD && !plain_chain(cells, p, end, out)) {
    return false;
  }
  pos = p;
  return true;
}

[[gnu::always_inline]] inline bool plain_expression(const Code& code, u32& pos, u32 end, bool prefix, Cell* out) {
  return plain_expression(buffer_of(code.node)->cells(), pos, end, prefix, out);
}

// A paren whose content is exactly one plain expression: its value, or
// false (the caller checked the room).
inline bool plain_group(const Cell* group, Cell* out) {
  u32 node = series_node(group);
  i32 start = series_index(group);
  u32 p = start < 0 ? 0 : u32(start);
  u32 n = buffer_of(node)->used() / sizeof(Cell);
  if (p >= n || !may_be_plain(type_of(buffer_of(node)->cells() + p))) return false;
  Code c{group, node, n};
  return plain_expression(c, p, n, false, out) && p == n;
}


// A set-word followed by a plain expression, the slot being plain: the value
// is written in place, without the set-word's frame (checked for room).
[[gnu::noinline]] bool plain_set(const Cell* cells, u32& pos, u32 end, Cell* out) {
  if (pos + 1 >= end || !room_for_plain()) return false;
  Cell* slot = plain_target(cells + pos);
  u32 p = pos + 1;
  if (!slot || !may_be_plain(type_of(cells + p)) || !plain_expression(cells, p, end, false, out)) {
    return false;
  }
  *slot = *out;
  pos = p;
  return true;
}

// A block whose content (from its index) is exactly one plain statement or
// nothing: its value (unset for nothing), the statement done (a set-word's slot written), or false with
// nothing changed. The frame it would open is checked for room.
// first_plain tells, when the answer is false, whether the first statement
// may still be plain (the block holding more than it, or the room check
// having failed): false when it was found not to be.
[[gnu::always_inline]] inline bool plain_block(const Cell* block, Cell* out, bool& first_plain) {
  first_plain = true;
  if (!room_for_plain()) return false;
  u32 node = series_node(block);
  const mem::Buffer* buf = buffer_of(node);
  u32 n = buf->used() / sizeof(Cell);
  i32 start = series_index(block);
  u32 p = start < 0 ? 0 : u32(start);
  if (p >= n) {  // an empty block: unset
    make_unset(out);
    return true;
  }
  const Cell* cells = buf->cells();
  Type t = type_of(cells + p);
  if (t == TYPE_SET_WORD) {
    Cell* slot = plain_target(cells + p);
    ++p;
    if (!slot || p >= n || !may_be_plain(type_of(cells + p)) || !plain_expression(cells, p, n, false, out)) {
      first_plain = false;
      return false;
    }
    if (p != n) return false;
    *slot = *out;
    return true;
  }
  if (!may_be_plain(t) || !plain_expression(cells, p, n, false, out)) {
    first_plain = false;
    return false;
  }
  return p == n;
}

bool plain_statement(const Cell* cells, u32& pos, u32 end, Cell* out) {
  Type t = type_of(cells + pos);
  if (t == TYPE_SET_WORD) return plain_set(cells, pos, end, out);
  return may_be_plain(t) && room_for_plain() && plain_expression(cells, pos, end, false, out);
}


}  // namespace detail

Status eval_expression(const Code& code, u32& pos, ExprMode mode) {
  return eval_expression_from(code, pos, mode, true);
}

namespace detail {

Status eval_expression_from(const Code& code, u32& pos, ExprMode mode, bool try_plain) {
  const bool prefix = mode.prefix, sub = mode.sub, passive = mode.passive;
  if (runtime::stack_exhausted()) raise_stack_overflow();
  Cell* entry_top = stack::top;
  u32 end = tail_of(code);
  if (pos >= end) {  // nothing left: unset
    Cell u;
    make_unset(&u);
    place(&u, sub);
    return 0;
  }
  if (try_plain && short_paths() && may_be_plain(type_of(cell_at(code, pos))) && room_for_plain()) {
    Cell r;
    if (plain_expression(code, pos, end, prefix, &r)) {
      place(&r, sub);
      return 0;
    }
  }
  Cell value = *cell_at(code, pos);
  roots::CellRoot hold_value(&value);  // the code may be changed while it runs
  if (trace) fire_event(EV_FETCH, code.block, i32(pos), nullptr, &value);
  Status st = 0;
  switch (type_of(&value)) {
    case TYPE_PAREN: {
      ++pos;
      // A plain paren was tried before this (as an operand or a statement):
      // the general block step, which answers what a plain attempt would,
      // takes it at once. A leading set-word was not tried as plain.
      const mem::Buffer* pb = buffer_of(series_node(&value));
      i32 at = series_index(&value) < 0 ? 0 : series_index(&value);
      bool set_first = u32(at) < pb->used() / sizeof(Cell) && type_of(pb->cells() + at) == TYPE_SET_WORD;
      // A frame of its own, in which the block's frame opens.
      stack::mark_interp(&g_body_word);
      st = eval_block_general(&value, true, set_first);
      st = close_frame(st, sub);
      if (st) return st;
      break;
    }
    case TYPE_SET_WORD: {
      ++pos;
      // Whether the value's expression was already tried as plain (here, or
      // before this when the set-word could take it in place): the general
      // evaluation, which answers the same, then takes it at once.
      bool value_tried = !try_plain && short_paths() && plain_target(&value);
      if (try_plain && short_paths() && pos < end && room_for_plain()) {
        // A plain value into an existing slot: written in place, no frame.
        Cell r;
        u32 p = pos;
        if (Cell* slot = plain_target(&value)) {
          if (plain_expression(code, p, end, false, &r)) {
            *slot = r;
            pos = p;
            place(&r, sub);
            break;
          }
          value_tried = true;
        }
      }
      stack::mark_interp(&value);
      stack::push_cell(&value);
      if (trace) fire_event(EV_PUSH, code.block, i32(pos), nullptr, &value);
      if (pos >= tail_of(code)) fire(Err::script_need_value, &value);
      st = value_tried ? eval_expression_general(code, pos, {.sub = true})
                       : eval_expression_from(code, pos, {.sub = true}, true);
      if (st) return close_frame(st, sub);
      Cell* v = stack::last();
      if (trace) fire_event(EV_SET, code.block, i32(pos), &value, v);
      if (type_of(v) == TYPE_UNSET) fire(Err::script_need_value, &value);
      Cell result = *v;
      // An existing slot outside an object takes the value in place (found
      // again here: the expression may have run code).
      if (Cell* slot = plain_target(&value)) *slot = result;
      else word::set(&value, &result);
      // The set-word's frame closes with the value as its result.
      stack::unwind();
      place(&result, sub);
      break;
    }
    case TYPE_SET_PATH: {
      ++pos;
      if (trace) fire_event(EV_PUSH, code.block, i32(pos), nullptr, &value);
      if (pos >= tail_of(code)) fire(Err::script_need_value, &value);
      stack::mark_interp(&g_set_path_word);
      st = eval_expression(code, pos, {.sub = true});
      if (st) return close_frame(st, sub);
      Cell v = *stack::last();
      if (trace) fire_event(EV_SET, code.block, i32(pos), &value, &v);
      copy_cell(&v, stack::base);
      stack::keep();
      u32 dummy = 0;
      Code path_code{&value, series_node(&value), u32(buffer_of(series_node(&value))->used() / sizeof(Cell))};
      st = eval_path(&value, path_code, dummy, true, false, false, false);
      if (st) return close_frame(st, sub);
      close_with(&v, sub);
      break;
    }
    case TYPE_GET_WORD: {
      ++pos;
      Cell w = value;
      w.header = TYPE_WORD;
      Cell v = *word_value(&w);
      place(&v, sub);
      break;
    }
    case TYPE_LIT_WORD: {
      ++pos;
      place(&value, sub, true);
      set_type(sub ? stack::last() : stack::base, TYPE_WORD);
      break;
    }
    case TYPE_WORD: {
      ++pos;
      Cell* vp = word_value(&value);
      switch (type_of(vp)) {
        case TYPE_UNSET: fire(Err::script_no_value, &value);
        case TYPE_OP: fire(Err::script_no_op_arg, &value);
        case TYPE_FUNCTION: case TYPE_ROUTINE: case TYPE_NATIVE: case TYPE_ACTION: {
          Cell v = *vp;
          st = short_paths() ? call_word(&v, code, pos, sub, &value)
                             : eval_call(&v, code, pos, sub, nullptr, &value, &v, 0, false);
          if (st) return st;
          break;
        }
        default:
          place(vp, sub, true);  // vp is valid: nothing has allocated since the lookup
          break;
      }
      break;
    }
    case TYPE_PATH: case TYPE_GET_PATH:
      ++pos;
      st = eval_path(&value, code, pos, false, type_of(&value) == TYPE_GET_PATH, sub, false);
      if (st) return st;
      break;
    case TYPE_LIT_PATH: {
      ++pos;
      Cell p = value;
      set_type(&p, TYPE_PATH);
      clear_new_line(&p);
      set_series_extra(&p, 0);
      place(&p, sub);
      break;
    }
    case TYPE_OP:
      fire(Err::internal_not_done);
    case TYPE_FUNCTION: case TYPE_ROUTINE: case TYPE_NATIVE: case TYPE_ACTION:
      ++pos;
      if (passive) {
        place(&value, sub);
      } else {
        st = eval_call(&value, code, pos, sub, nullptr, nullptr, &value, 0, false);
        if (st) return st;
      }
      break;
    case TYPE_ISSUE: {
      ++pos;
      if (pos < tail_of(code) && type_of(cell_at(code, pos)) == TYPE_BLOCK &&
          (symbol::resolve(word::symbol_of(&value)) == symbol::resolve(words::symbol(words::W_SYSTEM)) ||
           symbol::resolve(word::symbol_of(&value)) == symbol::resolve(words::symbol(words::W_SYSTEM_GLOBAL)))) {
        fire(Err::internal_qel_system);
      }
      place(&value, sub);
      break;
    }
    default:
      ++pos;
      place(&value, sub, true);
      break;
  }
  if (!trace && (prefix || pos >= tail_of(code) || type_of(cell_at(code, pos)) != TYPE_WORD)) return 0;
  return expression_rest(code, pos, mode, entry_top);
}

// The infix operator named by the word at pos, if any: its word in opword
// and, in op, the function it was made from (as a value of that function's
// type, as a call takes it).
inline bool next_operator(const Code& code, u32 pos, Cell* opword, Cell* op) {
  if (pos >= tail_of(code)) return false;
  const Cell* next = cell_at(code, pos);
  if (type_of(next) != TYPE_WORD || !word::context_of(next) || word::index_of(next) < 0) return false;
  Cell w = *next;
  Cell* opv = word::context_of(&w) == g_global_ctx ? global_slot(word::index_of(&w)) : nullptr;
  if (!opv) {
    if (!context::record_values(context::record_cell(word::context_of(&w)))) return false;
    opv = word_value(&w);
  }
  if (type_of(opv) != TYPE_OP) return false;
  *opword = w;
  *op = *opv;
  set_type(op, Type((op->header >> 16) & 0xFF));
  op->header &= 0xFF;
  return true;
}

// What follows the first value of an expression (placed as the mode says):
// the push event, the infix operators, the expression event. entry_top: the
// stack top when the expression began.
[[gnu::noinline]] Status expression_rest(const Code& code, u32& pos, ExprMode mode, Cell* entry_top) {
  const bool prefix = mode.prefix, sub = mode.sub;
  Status st = 0;
  if (trace) fire_event(EV_PUSH, code.block, i32(pos), nullptr, sub ? stack::last() : stack::base);

  // Infix operators apply strictly left to right.
  while (!prefix) {
    Cell opword, op;
    if (!next_operator(code, pos, &opword, &op)) break;
    if (trace) fire_event(EV_FETCH, code.block, i32(pos), nullptr, &opword);
    ++pos;
    // The left operand becomes the first argument, at the entry top.
    Cell left = sub ? *(stack::top - 1) : *stack::base;
    stack::top = entry_top;
    stack::push_cell(&left);
    int fast_code = short_paths() ? fast_op(&op) : 0;
    st = fast_code ? infix_call(&op, &opword, fast_code, code, pos, sub, entry_top)
                   : eval_call(&op, code, pos, sub, nullptr, &opword, &op, 0, true);
    if (st) return st;
  }
  if (trace && !sub) fire_event(EV_EXPR, code.block, i32(pos), nullptr, stack::base);
  return 0;
}

// The function-like value that the cell, a global word, holds; or null.
inline const Cell* global_function(const Cell* c) {
  if (type_of(c) != TYPE_WORD || word::context_of(c) != g_global_ctx || !g_global_ctx ||
      word::index_of(c) < 0) {
    return nullptr;
  }
  const Cell* v = global_slot(word::index_of(c));
  return v && is_function_type(type_of(v)) ? v : nullptr;
}

// eval_expression_from for a call named by the global word at pos (fv: the
// value it holds), not traced: the call routine takes it at once.
[[gnu::noinline]] Status call_expression(const Code& code, u32& pos, ExprMode mode, const Cell* fv) {
  if (runtime::stack_exhausted()) raise_stack_overflow();
  Cell* entry_top = stack::top;
  // The frame the call opens keeps the word's context while it runs.
  Cell word = *cell_at(code, pos);
  Cell v = *fv;
  ++pos;
  Status st = call_word(&v, code, pos, mode.sub, &word);
  if (st) return st;
  if (!trace && (mode.prefix || pos >= tail_of(code) || type_of(cell_at(code, pos)) != TYPE_WORD)) return 0;
  return expression_rest(code, pos, mode, entry_top);
}

// eval_expression_from without a plain attempt, pos lying before the tail.
inline Status eval_expression_general(const Code& code, u32& pos, ExprMode mode) {
  if (short_paths()) {
    if (const Cell* fv = global_function(cell_at(code, pos))) return call_expression(code, pos, mode, fv);
  }
  return eval_expression_from(code, pos, mode, false);
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Argument descriptors

namespace detail {

// Builds a typeset from the type block that follows an argument word.
Cell make_arg_typeset(const Cell* types, u32 kind) {
  Cell ts{TYPE_TYPESET, 0, 0, 0};
  bool any = false;
  if (types && type_of(types) == TYPE_BLOCK) {
    Cell tb = *types;
    u32 node = series_node(&tb);
    u32 n = buffer_of(node)->used() / sizeof(Cell);
    for (u32 i = u32(series_index(&tb)); i < n; ++i) {
      Cell item = *(buffer_of(node)->cells() + i);
      // A block after function! describes the callback's own spec.
      if (type_of(&item) == TYPE_BLOCK) continue;
      if (type_of(&item) != TYPE_WORD) fire(Err::script_invalid_type_spec, &item);
      u32 item_ctx = word::context_of(&item);
      Cell* v = item_ctx ? context::value_cell(&item, item_ctx) : nullptr;
      if (v && type_of(v) == TYPE_DATATYPE) {
        typeset::add(&ts, datatype_of(v));
      } else if (v && type_of(v) == TYPE_TYPESET) {
        typeset::merge(&ts, v);
      } else {
        fire(Err::script_invalid_type_spec, &item);
      }
      any = true;
    }
  }
  if (!any) {
    for (int t = 1; t <= TYPE_TOP; ++t) {
      if (t != TYPE_UNSET) typeset::add(&ts, Type(t));
    }
  }
  ts.header |= kind << KIND_SHIFT;
  return ts;
}


}  // namespace detail

u32 spec_arguments(const Cell* fn_in) {
  Cell fn = *fn_in;
  Cell* cached = more_cell(&fn, MORE_ARGS);
  if (type_of(cached) == TYPE_BLOCK) return series_node(cached);
  bool native_like = type_of(&fn) == TYPE_NATIVE || type_of(&fn) == TYPE_ACTION;
  u32 spec = function::spec_of(&fn);
  roots::LocalCell desc;
  make_series(desc.get(), TYPE_BLOCK, mem::alloc_cells(8));
  u32 n = buffer_of(spec)->used() / sizeof(Cell);
  u32 local_sym = symbol::resolve(word::symbol_of(words::refinement(words::R_LOCAL)));
  u32 refinements = 0;
  i32 locals = -1;
  for (u32 i = 0; i < n; ++i) {
    Cell item = *(buffer_of(spec)->cells() + i);
    Cell next;
    bool has_next = i + 1 < n;
    if (has_next) next = *(buffer_of(spec)->cells() + i + 1);
    Type t = type_of(&item);
    if (locals >= 0) {
      if (t == TYPE_WORD) ++locals;
      else if (t == TYPE_SET_WORD) break;
      continue;
    }
    switch (t) {
      case TYPE_WORD: case TYPE_GET_WORD: case TYPE_LIT_WORD: {
        u32 kind = t == TYPE_WORD ? ARG_NORMAL : (t == TYPE_GET_WORD ? ARG_LITERAL : ARG_QUOTED);
        Cell ts = make_arg_typeset(has_next && type_of(&next) == TYPE_BLOCK ? &next : nullptr, kind);
        copy_cell(&ts, mem::alloc_tail_cell(series_node(desc.get())));
        break;
      }
      case TYPE_SET_WORD: {
        if (symbol::resolve(word::symbol_of(&item)) != symbol::resolve(words::symbol(words::W_RETURN))) {
          fire(Err::script_bad_func_def, &item);
        }
        Cell ts = make_arg_typeset(has_next && type_of(&next) == TYPE_BLOCK ? &next : nullptr, ARG_RETURN);
        copy_cell(&ts, mem::alloc_tail_cell(series_node(desc.get())));
        break;
      }
      case TYPE_REFINEMENT: {
        if (symbol::resolve(word::symbol_of(&item)) == local_sym) {
          locals = 1;
          break;
        }
        ++refinements;
        Cell r = item;
        clear_new_line(&r);
        if (native_like) word::set_index(&r, i32(refinements));  // the refinement number
        copy_cell(&r, mem::alloc_tail_cell(series_node(desc.get())));
        break;
      }
      default:
        break;
    }
  }
  if (locals >= 0) make_integer(mem::alloc_tail_cell(series_node(desc.get())), locals);
  if (native_like && refinements) make_integer(mem::alloc_tail_cell(series_node(desc.get())), i32(refinements));
  copy_cell(desc.get(), more_cell(&fn, MORE_ARGS));
  return series_node(desc.get());
}

// ---------------------------------------------------------------------------
// Calls

namespace detail {


struct ArgState {
  const Cell* fn;
  const Code& code;
  u32& pos;
  const Cell* name;
  bool infix;
  u32 apply_mode;
};

// Fetches one argument of the given kind and typeset, pushing it.
Cell spec_word_for(const Cell* fn, u32 arg_index);

// Fetches one argument of the given kind and typeset, pushing it. word_index
// names the argument in messages (the spec word is looked up only then).
Status fetch_argument(ArgState& a, const Cell* ts, u32 word_index) {
  u32 kind = arg_kind(ts);
  if (a.apply_mode && a.pos >= tail_of(a.code)) {
    make_none(stack::push());
    return 0;
  }
  if (a.pos >= tail_of(a.code)) {
    if (kind == ARG_QUOTED && typeset::has(ts, TYPE_UNSET)) {
      make_unset(stack::push());
      return 0;
    }
    Cell w = spec_word_for(a.fn, word_index);
    fire(Err::script_no_arg, a.name, &w);
  }
  Status st = 0;
  if (kind == ARG_NORMAL) {
    Cell r;
    if (short_paths() && may_be_plain(type_of(cell_at(a.code, a.pos))) && room_for_plain() &&
        plain_expression(a.code, a.pos, tail_of(a.code), a.infix, &r)) {
      stack::push_cell(&r);
    } else {
      st = eval_expression_general(a.code, a.pos, {.prefix = a.infix, .sub = true});
      if (st) return st;
    }
  } else {
    Cell v = *cell_at(a.code, a.pos);
    ++a.pos;
    if (kind == ARG_QUOTED) {
      switch (type_of(&v)) {
        case TYPE_PAREN: {
          stack::mark_interp(&g_body_word);
          st = eval_block(&v, true);
          st = close_frame(st, true);
          if (st) return st;
          break;
        }
        case TYPE_GET_WORD: {
          Cell w = v;
          w.header = TYPE_WORD;
          stack::push_cell(word_value(&w));
          break;
        }
        case TYPE_GET_PATH: {
          u32 p = a.pos - 1;
          st = eval_path(&v, a.code, p, false, true, true, false);
          if (st) return st;
          break;
        }
        default:
          stack::push_cell(&v);
      }
    } else {
      stack::push_cell(&v);
    }
  }
  Cell* got = stack::last();
  if (!typeset::has(ts, type_of(got))) {
    Cell type, w = spec_word_for(a.fn, word_index);
    make_datatype(&type, type_of(got));
    fire(Err::script_expect_arg, a.name, &type, &w);
  }
  return 0;
}

// The word of descriptor entry i (the spec word it came from), for messages.
Cell spec_word_for(const Cell* fn, u32 arg_index) {
  u32 spec = function::spec_of(fn);
  u32 n = buffer_of(spec)->used() / sizeof(Cell);
  u32 seen = 0;
  for (u32 i = 0; i < n; ++i) {
    Cell c = *(buffer_of(spec)->cells() + i);
    Type t = type_of(&c);
    if (t == TYPE_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD || t == TYPE_REFINEMENT ||
        t == TYPE_SET_WORD) {
      if (seen == arg_index) {
        set_type(&c, TYPE_WORD);
        return c;
      }
      ++seen;
    }
  }
  Cell none;
  make_none(&none);
  return none;
}

// A refinement's argument just fetched (the last pushed cell): a
// function-like value keeps it in its slot, when the refinement is on; a
// native reads it from the stack, where it stays only then.
inline void place_refinement_arg(bool native_like, bool on, u32 slot) {
  if (!native_like) {
    Cell v = *stack::last();
    stack::pop(1);
    if (on) copy_cell(&v, stack::base + slot);
  } else if (!on) {
    stack::pop(1);
  }
}

// The refinement a path names at element k: its word in e, and whether it
// is on (a get-word's value decides); any other element raises bad-refine.
bool path_refinement_at(u32 pnode, u32 k, Cell* e) {
  *e = *(buffer_of(pnode)->cells() + k);
  if (type_of(e) == TYPE_GET_WORD) {
    Cell w = *e;
    w.header = TYPE_WORD;
    return logic::true_value(word_value(&w));
  }
  if (type_of(e) != TYPE_WORD) fire(Err::script_bad_refine, e);
  return true;
}

// Collects the arguments of a call by the function's descriptor block. Natives
// and actions get their refinements as positions in refs; function-like values
// get every slot of their context on the stack: arguments, each refinement as
// a logic flag followed by its arguments, then the locals.
Status eval_arguments(const Cell* fn, const Code& code, u32& pos, const Cell* path, const Cell* name,
                      u32 apply_mode, bool infix, i32* refs, u32* ref_count) {
  bool native_like = type_of(fn) == TYPE_NATIVE || type_of(fn) == TYPE_ACTION;
  u32 desc = spec_arguments(fn);
  roots::NodeRoot hold(&desc);
  u32 n = buffer_of(desc)->used() / sizeof(Cell);
  ArgState a{fn, code, pos, name, infix, apply_mode};
  if (infix) stack::top = stack::base + 1;  // the left operand is the first argument

  // Where each refinement lies: its descriptor entry and, for function-like
  // values, the offset of its flag from the frame base.
  u32 ref_desc[MAX_REFINEMENTS];
  u32 ref_slot[MAX_REFINEMENTS];
  u32 nrefs = 0;
  bool active = true;  // refinements are off unless apply/all turns them on
  u32 word_index = 0;  // spec word index, for messages
  i32 locals = 0;
  bool first = true;
  u32 mode = apply_mode & 3;
  bool safer = apply_mode & 4;
  for (u32 i = 0; i < n; ++i) {
    Cell d = *(buffer_of(desc)->cells() + i);
    switch (type_of(&d)) {
      case TYPE_TYPESET: {
        u32 wi = word_index++;
        if (arg_kind(&d) == ARG_RETURN) break;
        if (first && infix) {
          first = false;
          Cell* got = stack::last();
          if (!typeset::has(&d, type_of(got))) {
            Cell type, w = spec_word_for(fn, wi);
            make_datatype(&type, type_of(got));
            fire(Err::script_expect_arg, name, &type, &w);
          }
          break;
        }
        first = false;
        if (!active) {
          // apply/all still evaluates (and drops) the value unless /safer.
          if (mode == 1 && !safer && pos < tail_of(code)) {
            Status st = eval_expression(code, pos, {.sub = true});
            if (st) return st;
            stack::pop(1);
          } else if (mode == 1 && safer && pos < tail_of(code)) {
            ++pos;
          }
          if (!native_like) make_none(stack::push());
          break;
        }
        Status st = fetch_argument(a, &d, wi);
        if (st) return st;
        break;
      }
      case TYPE_REFINEMENT: {
        u32 rwi = word_index++;
        if (nrefs >= u32(MAX_REFINEMENTS)) fire(Err::internal_not_done);
        bool on = false;
        if (mode == 1 && pos < tail_of(code)) {
          Status st = eval_expression(code, pos, {.sub = true});
          if (st) return st;
          Cell flag = *stack::last();
          stack::pop(1);
          if (type_of(&flag) != TYPE_LOGIC) {
            Cell type, rw = spec_word_for(fn, rwi);
            make_datatype(&type, type_of(&flag));
            fire(Err::script_expect_arg, name, &type, &rw);
          }
          on = logic::flag(&flag);
        }
        active = on;
        ref_desc[nrefs] = i;
        ref_slot[nrefs] = u32(stack::top - stack::base);
        if (native_like) refs[nrefs] = on ? i32(stack::top - stack::base) : -1;
        else make_logic(stack::push(), on);
        ++nrefs;
        break;
      }
      case TYPE_INTEGER:
        if (!native_like) locals = int_of(&d);
        break;
      default:
        break;
    }
  }
  *ref_count = nrefs;

  // Refinements from a path: the elements after the function's word.
  if (path) {
    bool seen[MAX_REFINEMENTS] = {};
    Cell p = *path;
    u32 pnode = series_node(&p);
    u32 pn = buffer_of(pnode)->used() / sizeof(Cell);
    // A refinement's arguments may shorten the path: its length is read again.
    for (u32 k = u32(series_index(&p)) + 1; k < pn && k < buffer_of(pnode)->used() / sizeof(Cell); ++k) {
      Cell e;
      bool on = path_refinement_at(pnode, k, &e);
      u32 sym = symbol::resolve(word::symbol_of(&e));
      u32 r = 0;
      while (r < nrefs && symbol::resolve(word::symbol_of(buffer_of(desc)->cells() + ref_desc[r])) != sym) ++r;
      if (r == nrefs) fire(Err::script_no_refine, name, &e);
      if (seen[r]) fire(Err::script_dup_refine, path);
      seen[r] = true;
      if (native_like) {
        if (on) refs[r] = i32(stack::top - stack::base);
      } else {
        make_logic(stack::base + ref_slot[r], on);
      }
      // Its arguments follow it in the descriptor.
      u32 arg_word = 0;
      for (u32 di = 0; di <= ref_desc[r]; ++di) {
        Type dt = type_of(buffer_of(desc)->cells() + di);
        if (dt == TYPE_TYPESET || dt == TYPE_REFINEMENT) ++arg_word;
      }
      u32 slot = ref_slot[r] + 1;
      for (u32 di = ref_desc[r] + 1; di < n; ++di) {
        Cell dd = *(buffer_of(desc)->cells() + di);
        if (type_of(&dd) != TYPE_TYPESET || arg_kind(&dd) == ARG_RETURN) break;
        Status st = fetch_argument(a, &dd, arg_word++);
        if (st) return st;
        place_refinement_arg(native_like, on, slot);
        ++slot;
      }
    }
  }

  // apply (mode 2): pairs of a refinement and an expression whose truth turns
  // it on, each followed by the refinement's arguments.
  if (mode == 2) {
    bool seen[MAX_REFINEMENTS] = {};
    while (pos < tail_of(code)) {
      Cell e = *cell_at(code, pos);
      if (type_of(&e) != TYPE_REFINEMENT) {
        if (!nrefs) break;
        fire(Err::script_bad_refine, &e);
      }
      ++pos;
      u32 sym = symbol::resolve(word::symbol_of(&e));
      u32 r = 0;
      while (r < nrefs && symbol::resolve(word::symbol_of(buffer_of(desc)->cells() + ref_desc[r])) != sym) ++r;
      if (r == nrefs) fire(Err::script_no_refine, name, &e);
      if (seen[r]) fire(Err::script_dup_refine, &e);
      seen[r] = true;
      bool on = false;
      if (pos < tail_of(code)) {
        Status st = eval_expression(code, pos, {.sub = true});
        if (st) return st;
        on = logic::true_value(stack::last());
        stack::pop(1);
      }
      if (native_like) {
        if (on) refs[r] = i32(stack::top - stack::base);
      } else {
        make_logic(stack::base + ref_slot[r], on);
      }
      u32 slot = ref_slot[r] + 1;
      u32 arg_word = 0;
      for (u32 di = 0; di <= ref_desc[r]; ++di) {
        Type dt = type_of(buffer_of(desc)->cells() + di);
        if (dt == TYPE_TYPESET || dt == TYPE_REFINEMENT) ++arg_word;
      }
      for (u32 di = ref_desc[r] + 1; di < n; ++di) {
        Cell dd = *(buffer_of(desc)->cells() + di);
        if (type_of(&dd) != TYPE_TYPESET || arg_kind(&dd) == ARG_RETURN) break;
        u32 wi = arg_word++;
        if (!on && safer) {
          if (pos < tail_of(code)) ++pos;
          ++slot;
          continue;
        }
        Status st = fetch_argument(a, &dd, wi);
        if (st) return st;
        place_refinement_arg(native_like, on, slot);
        ++slot;
      }
    }
  }

  if (trace) fire_event(EV_CALL, code.block, i32(pos), name, fn);
  // Function-like values: the locals (the /local flag, then none each).
  if (!native_like && locals > 0) {
    make_logic(stack::push(), false);
    for (i32 l = 1; l < locals; ++l) make_none(stack::push());
  }
  return 0;
}

}  // namespace detail

// Runs a routine! whose arguments are in its frame: its entry reads the frame
// base upward and leaves its result in the base cell. Every routine takes
// value cells (routine::FLAG_VALUES; an op! made from one keeps only its
// type): routines over machine values do not exist yet.
void call_routine(const Cell* fn) {
  Cell* index = function::more_cell(fn, function::MORE_NATIVE);
  routines::Entry entry = type_of(index) == TYPE_INTEGER ? routines::entry(u32(int_of(index))) : nullptr;
  if (!entry) fire(Err::internal_not_done);
  entry();
}

Status eval_call(const Cell* fn_in, const Code& code, u32& pos, bool sub, const Cell* path,
                 const Cell* ref, const Cell* owner, u32 apply_mode, bool infix) {
  Cell fn = *fn_in;
  Cell name;
  if (ref && type_of(ref) == TYPE_WORD) name = *ref;
  else name = g_anon_word;
  if (trace) fire_event(EV_OPEN, code.block, i32(pos), nullptr, &name);
  Cell* entry_top = infix ? stack::top - 1 : stack::top;
  if (!infix) stack::push_cell(&fn);  // keeps the function reachable during the call
  Cell left;
  if (infix) left = *(stack::top - 1);
  Type t = type_of(&fn);
  u32 kind = t == TYPE_FUNCTION ? stack::FRAME_INTERP_FUNC : stack::FRAME_INTERP;
  if (infix) stack::top = entry_top;
  stack::mark(&name, kind);
  if (infix) stack::push_cell(&left);
  i32 refs[MAX_REFINEMENTS];
  u32 ref_count = 0;
  Status st = eval_arguments(&fn, code, pos, path, &name, apply_mode, infix, refs, &ref_count);
  if (!st) {
    switch (t) {
      case TYPE_NATIVE: st = natives::entry(native::index_of(&fn))(refs); break;
      case TYPE_ACTION: actions::entry(Action(native::index_of(&fn)))(refs); break;
      case TYPE_FUNCTION: {
        u32 octx = 0;
        if (owner && type_of(owner) == TYPE_OBJECT && object::context_of(owner) != context::global) {
          octx = object::context_of(owner);
        }
        st = call_function(&fn, octx, &name, 0);
        break;
      }
      case TYPE_ROUTINE: call_routine(&fn); break;
      default:
        fire(Err::internal_not_done);
    }
  }
  st = close_call(take_return(st), entry_top, sub);
  if (st) return st;
  if (trace) {
    Cell result = *(sub ? stack::last() : stack::base);
    fire_event(EV_RETURN, code.block, i32(pos), ref, &result);
  }
  return 0;
}

namespace detail {

// The either native, its arguments in its frame: the chosen branch runs as
// the native runs it, taken as a block run again and again.
[[gnu::noinline]] Status run_either() {
  Cell branch = stack::base[logic::true_base() ? 1 : 2];
  return eval_block_step(&branch, true);
}

// The if and unless natives (when_true: if), their arguments in their
// frame: the body runs as the native runs it, taken as a block run again and
// again; otherwise the result is none.
[[gnu::noinline]] Status run_if(bool when_true) {
  if (logic::is_false(stack::base) == when_true) {
    make_none(stack::base);
    stack::keep();
    return 0;
  }
  Cell body = stack::base[1];
  return eval_block_step(&body, true);
}


// A function's body run in its frame f, whose context is bound: reports
// prolog and epilog when traced and puts tracing back to saved_trace when it
// ends, also when a transfer sent as an exception leaves it. A return or exit
// sent that way ends here when f is its target; an error or any other
// transfer goes on.
[[gnu::always_inline]] inline Status run_function_body(const Cell* fn, stack::Frame* f, const Cell* name,
                                                      bool saved_trace) {
  Cell body = *more_cell(fn, MORE_BODY);
  Status st = 0;
  if (trace) fire_event(EV_PROLOG, &body, 0, name, fn);
  try {
    if (type_of(&body) == TYPE_BLOCK) st = eval_function_body(&body);
    else make_unset(stack::base);
  } catch (const Transfer& t) {
    if (!landed_return(t, f)) {
      try {
        if (trace) fire_event_unwinding(EV_EPILOG, &body, 0, name, fn);
      } catch (...) {
        trace = saved_trace;
        throw;
      }
      trace = saved_trace;
      throw;
    }
    // Landed: the value it carried is the frame's result.
    runtime::rt.thrown = 0;
    stack::keep();
  }
  if (trace) {
    if (st) fire_event_unwinding(EV_EPILOG, &body, 0, name, fn);
    else fire_event(EV_EPILOG, &body, 0, name, fn);
  }
  trace = saved_trace;
  return st;
}

// call_function for an untraced call (not a callback) of a function that
// asks for no tracing of its own.
inline Status run_body(const Cell* fn, const Cell* name) {
  return run_function_body(fn, bind_frame_context(function::context_of(fn)), name, false);
}
Status run_function(const Cell* fn, const Cell* name) { return run_body(fn, name); }


CallShape g_shapes[1u << SHAPE_BITS];

u64 type_mask(const Cell* ts) {
  u64 m = 0;
  for (u32 t = 0; t <= u32(TYPE_TOP); ++t) {
    if (typeset::has(ts, t)) m |= u64(1) << t;
  }
  return m;
}

void sweep_shapes() {
  for (CallShape& s : g_shapes) {
    if (s.desc && !gc::is_marked(s.desc)) s = CallShape{};
  }
}

void refuse_shape_arg(const CallShape& s, u32 k, Type got, const Cell* fn, const Cell* word) {
  Cell type, w = spec_word_for(fn, s.word_index[k]);
  make_datatype(&type, got);
  fire(Err::script_expect_arg, word, &type, &w);
}

// Reads the descriptor into a shape: usable only for arguments all evaluated
// normally and counts the call routine takes.
void build_shape(CallShape& s, u32 desc, bool native_like) {
  s = CallShape{};
  s.desc = desc;
  u32 n = buffer_of(desc)->used() / sizeof(Cell);
  u32 word_index = 0;
  bool in_refinements = false;
  u32 nrefs = 0;
  for (u32 i = 0; i < n; ++i) {
    const Cell* d = buffer_of(desc)->cells() + i;
    switch (type_of(d)) {
      case TYPE_TYPESET: {
        u32 wi = word_index++;
        u32 kind = arg_kind(d);
        if (kind == ARG_RETURN) break;
        if (in_refinements) {
          if (!native_like) {
            if (s.fill >= 64) return;
            ++s.fill;
          }
          break;
        }
        if (kind != ARG_NORMAL || s.args >= SHAPE_ARGS) return;
        s.word_index[s.args] = u8(wi);
        s.ts[s.args] = *d;
        s.accepts[s.args] = type_mask(d);
        ++s.args;
        break;
      }
      case TYPE_REFINEMENT:
        if (native_like) {
          const Cell* last = buffer_of(desc)->cells() + n - 1;
          u32 count = type_of(last) == TYPE_INTEGER ? u32(int_of(last)) : 0;
          if (count > u32(MAX_REFINEMENTS)) return;
          s.native_refs = u8(count);
          s.usable = true;
          return;
        }
        ++word_index;
        if (++nrefs > u32(MAX_REFINEMENTS) || s.fill >= 64) return;
        s.fill_false |= u64(1) << s.fill;
        ++s.fill;
        in_refinements = true;
        break;
      case TYPE_INTEGER:
        if (!native_like) s.locals = int_of(d);
        break;
      default:
        break;
    }
    if (word_index > 255) return;
  }
  s.usable = true;
}


// Reads the refinements of the descriptor into its shape: each one's word,
// its place and the arguments after it, counted as eval_arguments counts
// them (a refinement takes the argument entries up to the next
// non-argument entry; return entries take no cell).
void build_refinements(CallShape& s, bool native_like) {
  s.refs_built = true;
  s.refs_usable = false;
  s.nrefs = 0;
  u32 n = buffer_of(s.desc)->used() / sizeof(Cell);
  u32 word_index = 0, fill = 0;
  bool open = false;  // entries still belong to the last refinement
  for (u32 i = 0; i < n; ++i) {
    const Cell* d = buffer_of(s.desc)->cells() + i;
    switch (type_of(d)) {
      case TYPE_TYPESET:
        ++word_index;
        if (arg_kind(d) == ARG_RETURN) {
          open = false;
          break;
        }
        if (s.nrefs) {
          if (open) ++s.ref[s.nrefs - 1].nargs;
          ++fill;
        }
        break;
      case TYPE_REFINEMENT:
        ++word_index;
        if (s.nrefs >= u32(MAX_REFINEMENTS) || word_index > 255 || fill > 255) return;
        s.ref[s.nrefs] = {symbol::resolve(word::symbol_of(d)), i, u8(word_index), 0, u8(fill)};
        ++s.nrefs;
        ++fill;
        open = true;
        break;
      default:
        open = false;
        break;
    }
    if (word_index > 255) return;
  }
  if (native_like ? s.nrefs != s.native_refs : fill != s.fill) return;
  s.refs_usable = true;
}

// The shape of the descriptor with its refinements read.
inline const CallShape& refinement_shape(u32 desc, bool native_like) {
  CallShape& s = call_shape(desc, native_like);
  if (!s.refs_built) build_refinements(s, native_like);
  return s;
}

// A call through a path (head word and refinement words) fits call_word when
// every element after the head is a plain word and the function's descriptor
// is built and has a usable shape; anything else goes through eval_call.
// Nothing here allocates.
bool lean_path_call(const Cell* fn, u32 node, u32 head, u32 n) {
  for (u32 k = head + 1; k < n; ++k) {
    if (type_of(buffer_of(node)->cells() + k) != TYPE_WORD) return false;
  }
  const Cell* cached = more_cell(fn, MORE_ARGS);
  if (type_of(cached) != TYPE_BLOCK) return false;
  Type t = type_of(fn);
  const CallShape& s = refinement_shape(series_node(cached), t == TYPE_NATIVE || t == TYPE_ACTION);
  return s.usable && s.refs_usable;
}

// The refinements named by a path, after the main arguments and the cells of
// the refinements (all off) are in the frame: as eval_arguments does, each
// element in path order turns its refinement on and fetches its arguments
// (a refinement's arguments may shorten the path: its length is read again).
// fill_base: where the refinement cells of a function-like value begin.
Status path_refinements(const Cell* fn, u32 desc, bool native_like, const Code& code, u32& pos,
                        const Cell* path, const Cell* name, i32* refs, u32 fill_base) {
  bool seen[MAX_REFINEMENTS] = {};
  Cell p = *path;
  u32 pnode = series_node(&p);
  u32 pn = buffer_of(pnode)->used() / sizeof(Cell);
  ArgState a{fn, code, pos, name, false, 0};
  for (u32 k = u32(series_index(&p)) + 1; k < pn && k < buffer_of(pnode)->used() / sizeof(Cell); ++k) {
    Cell e;
    bool on = path_refinement_at(pnode, k, &e);
    // A nested call may have taken the shape's table entry: found again.
    const CallShape& s = refinement_shape(desc, native_like);
    u32 sym = symbol::resolve(word::symbol_of(&e));
    u32 r = 0;
    while (r < s.nrefs && s.ref[r].sym != sym) ++r;
    if (r == s.nrefs) fire(Err::script_no_refine, name, &e);
    if (seen[r]) fire(Err::script_dup_refine, path);
    seen[r] = true;
    u32 at = s.ref[r].at, word_index = s.ref[r].word_index, nargs = s.ref[r].nargs;
    u32 slot = fill_base + s.ref[r].flag;
    if (native_like) {
      if (on) refs[r] = i32(stack::top - stack::base);
    } else {
      make_logic(stack::base + slot, on);
    }
    ++slot;
    for (u32 j = 0; j < nargs; ++j, ++slot) {
      Cell dd = *(buffer_of(desc)->cells() + at + 1 + j);
      Status st = fetch_argument(a, &dd, word_index + j);
      if (st) return st;
      place_refinement_arg(native_like, on, slot);
    }
  }
  return 0;
}


// The lean call routine: a call named by a word, not traced, with no path
// and no apply mode, which is nearly every call. It opens the same frames in
// the same order and raises the same errors as eval_call, but reads the
// arguments by the descriptor's call shape with a code cursor (the code's
// cells and tail, read again only after an argument that went through the
// general evaluator) and takes plain argument expressions without a nested
// evaluation. Descriptors without a usable shape go through eval_call.
//
// A call through a path (path: the path, its index at the head word, which
// is word) takes the refinements it names after the main arguments; the
// caller checked lean_path_call.
Status call_word(const Cell* fn_in, const Code& code, u32& pos, bool sub, const Cell* word,
                 const Cell* path) {
  Type t = type_of(fn_in);
  bool native_like = t == TYPE_NATIVE || t == TYPE_ACTION;
  // A descriptor not built yet, or one without a usable shape (literal or
  // quoted arguments, many arguments or refinements): the general call
  // routine takes the call.
  const Cell* cached = more_cell(fn_in, MORE_ARGS);
  const CallShape* cur = type_of(cached) == TYPE_BLOCK ? &call_shape(series_node(cached), native_like) : nullptr;
  if (!cur || !cur->usable) [[unlikely]] return eval_call(fn_in, code, pos, sub, path, word, fn_in, 0, false);
  Cell fn = *fn_in;
  u32 desc = series_node(cached);
  Cell* entry_top = stack::top;
  stack::push_cell(&fn);  // keeps the function and its descriptor reachable during the call
  stack::mark(word, t == TYPE_FUNCTION ? stack::FRAME_INTERP_FUNC : stack::FRAME_INTERP);
  i32 refs[MAX_REFINEMENTS];
  u32 tail = tail_of(code);
  const Cell* cells = cell_at(code, 0);
  Status st = 0;
  // The shape cannot change while the arguments are fetched (the descriptor
  // is held by the function pushed above), but a nested call may replace
  // the table entry: it is looked up again after one, and the counts are
  // read before.
  u32 args = cur->args, fill = cur->fill, native_refs = cur->native_refs;
  u64 fill_false = cur->fill_false;
  i32 locals = cur->locals;
  for (u32 k = 0; k < args; ++k) {
    Cell r;
    if (pos < tail && !trace && room_for_plain() && plain_expression(cells, pos, tail, false, &r)) {
      stack::push_cell(&r);
      check_shape_arg(*cur, k, type_of(&r), &fn, word);
      continue;
    }
    if (pos < tail && !trace) {
      // Not plain (or no room to try): evaluated in full, as
      // fetch_argument would after its own plain attempt.
      st = eval_expression_general(code, pos, {.sub = true});
      if (st) break;
      cur = &call_shape(desc, native_like);  // a nested call may have taken the entry
      check_shape_arg(*cur, k, type_of(stack::last()), &fn, word);
    } else {
      Cell ts = cur->ts[k];
      ArgState a{&fn, code, pos, word, false, 0};
      st = fetch_argument(a, &ts, cur->word_index[k]);
      if (st) break;
      cur = &call_shape(desc, native_like);
    }
    tail = tail_of(code);
    cells = cell_at(code, 0);
  }
  if (!st) {
    u32 fill_base = u32(stack::top - stack::base);
    if (native_like) {
      for (u32 k = 0; k < native_refs; ++k) refs[k] = -1;
    } else {
      for (u32 k = 0; k < fill; ++k) {
        if ((fill_false >> k) & 1) make_logic(stack::push(), false);
        else make_none(stack::push());
      }
    }
    if (path) st = path_refinements(&fn, desc, native_like, code, pos, path, word, refs, fill_base);
  }
  if (!st) {
    if (trace) fire_event(EV_CALL, code.block, i32(pos), word, &fn);
    if (!native_like && locals > 0) {
      make_logic(stack::push(), false);
      for (i32 l = 1; l < locals; ++l) make_none(stack::push());
    }
    switch (t) {
      case TYPE_NATIVE:
        switch (native::index_of(&fn)) {
          case natives::N_either: st = run_either(); break;
          case natives::N_if_: st = run_if(true); break;
          case natives::N_unless: st = run_if(false); break;
          default: st = natives::entry(native::index_of(&fn))(refs); break;
        }
        break;
      case TYPE_ACTION: actions::entry(Action(native::index_of(&fn)))(refs); break;
      case TYPE_FUNCTION:
        st = (trace || (fn.header & (FLAG_TRACE | FLAG_NO_TRACE))) ? call_function(&fn, 0, word, 0)
                                                                 : run_body(&fn, word);
        break;
      case TYPE_ROUTINE: call_routine(&fn); break;
      default: fire(Err::internal_not_done);
    }
  }
  st = close_call(take_return(st), entry_top, sub);
  if (st) return st;
  if (trace) {
    // The frame that kept the word's context is closed: the event allocates.
    Cell result = *(sub ? stack::last() : stack::base);
    roots::CellRoot hold_word(word);
    fire_event(EV_RETURN, code.block, i32(pos), word, &result);
  }
  return 0;
}


// ---- infix calls of arithmetic and comparison operators ------------------------------
// eval_call's steps for an operator made from an action or a native whose
// descriptor has a usable shape of two arguments, not traced: the frame is
// opened before the right operand is evaluated, the two types are checked
// in order, and the same errors come at the same moment; only the
// descriptor walk is left out, and two numbers are combined without calling
// the entry when that can neither raise nor call anything.


// After the right operand (status st): checks it, combines the two into the
// frame's base, closes the frame and places the result.
Status close_infix(Status st, u32 desc, int fast_code, const Cell* op, const Cell* opword, bool sub,
                   Cell* entry_top) {
  if (st) return close_call(take_return(st), entry_top, sub);
  const CallShape& s = call_shape(desc, true);  // a nested call may have taken the entry
  Cell* l = stack::base;
  check_shape_arg(s, 1, type_of(l + 1), op, opword);
  if (Cell r; plain_combine(fast_code, l, l + 1, &r)) {
    *l = r;
  } else {
    i32 refs[MAX_REFINEMENTS];
    for (u32 k = 0; k < s.native_refs; ++k) refs[k] = -1;
    if (type_of(op) == TYPE_ACTION) actions::entry(Action(native::index_of(op)))(refs);
    else st = natives::entry(native::index_of(op))(refs);
  }
  return close_call(take_return(st), entry_top, sub);
}

Status infix_call(const Cell* op, const Cell* opword, int fast_code, const Code& code, u32& pos, bool sub,
                  Cell* entry_top) {
  const CallShape* s = infix_shape(op);
  if (!s) [[unlikely]] return eval_call(op, code, pos, sub, nullptr, opword, op, 0, true);
  u32 desc = s->desc;
  open_infix(*s, op, opword, code, pos, entry_top);
  Status st = 0;
  const Cell* operand = cell_at(code, pos);
  if (const Cell* fv = global_function(operand)) {
    // A call as the operand: no plain attempt (it would fail).
    st = call_expression(code, pos, {.prefix = true, .sub = true}, fv);
  } else if (Cell r; plain_operand(operand, &r)) {
    ++pos;
    stack::push_cell(&r);
  } else {
    // A prefix operand: the plain attempt was just this one.
    st = eval_expression_from(code, pos, {.prefix = true, .sub = true}, false);
  }
  return close_infix(st, desc, fast_code, op, opword, sub, entry_top);
}

// ---- the call loop ------------------------------------------------------------
// A function body that is not plain (untraced, outside the library) runs
// here, and so do the blocks, calls named by global words, parens, set-words
// and operator chains within it: they continue in one C++ loop, so a call
// between interpreted functions costs no C++ recursion (deep recursion in
// C++ makes the processor mispredict every return). Each step is the step
// the routines above take (the same frames in the same order, the same held
// blocks and current code, the same errors at the same moment); what they
// keep in C++ locals lives here in a record on a stack of its own.
// Everything else (paths, get-words, natives that evaluate blocks, traced or
// library code) goes through those routines, which may come back here with a
// loop of their own.

enum LoopKind : u8 { L_BLOCK, L_CALL, L_PAREN, L_SET, L_REST };
enum LoopStage : u8 { S_START, S_AFTER_CHILD, S_BODY, S_BRANCH };

struct LoopRec {
  LoopKind kind;
  u8 stage;
  bool sub, prefix;         // the expression's mode (not blocks)
  bool chain, first_plain;  // blocks
  bool native_like;         // calls
  u8 args, fill, native_refs, k;  // calls: the shape's counts, the next argument
  u32 owner;                // the block record whose code and position an expression reads
  u32 held;                 // blocks: the held entry
  Code code;                // blocks
  u32 pos;                  // blocks
  u32 desc;                 // calls
  i32 locals;               // calls
  int fast_code;            // operator chains
  u64 fill_false;           // calls
  Cell* entry_top;          // the stack top when the expression began
  stack::Frame* f;          // calls of functions: the frame whose context is bound
  Cell a, b;  // calls: function, word; set-words: the set-word; parens: the paren; chains: operator, its word
};
static_assert(std::is_trivially_copyable_v<LoopRec>);

constexpr u32 MAX_LOOP_RECS = 4 * (stack::CALL_FRAMES + stack::FRAMES_RESERVE) + 16;
LoopRec* g_recs = nullptr;
u32 g_nrec = 0;

void mark_loop_records() {
  for (u32 i = 0; i < g_nrec; ++i) {
    if (g_recs[i].kind == L_BLOCK) continue;  // held blocks are marked with the others
    gc::mark_cell(&g_recs[i].a);
    gc::mark_cell(&g_recs[i].b);
  }
}

void init_loop() {
  if (!g_recs) {
    g_recs = static_cast<LoopRec*>(std::malloc(sizeof(LoopRec) * MAX_LOOP_RECS));
    if (!g_recs) runtime::sys_quit(1);
    gc::add_mark_callback(mark_loop_records);
  }
  g_nrec = 0;
}

inline LoopRec& push_rec(LoopKind kind) {
  if (g_nrec >= MAX_LOOP_RECS) raise_stack_overflow();
  LoopRec& r = g_recs[g_nrec++];
  r.kind = kind;
  r.stage = S_START;
  return r;
}

// A block record ends: its held block is let go, as HeldBlock does.
inline void release_block(const LoopRec& r) {
  *g_current_code = g_held[r.held].saved_code;
  g_held_count = r.held;
}

// Drops the records from the top down to n, as unwinding the routines would.
void drop_records(u32 n) {
  while (g_nrec > n) {
    const LoopRec& r = g_recs[--g_nrec];
    if (r.kind == L_BLOCK) release_block(r);
  }
}

// What a step that may start a nested evaluation did: finished it here (its
// status in st), or pushed a record that the loop runs next.
enum Act : u8 { INLINE, PUSHED };

inline Act start_expr(u32 owner, ExprMode mode, Status& st);
Act start_from(u32 owner, ExprMode mode, bool try_plain, Status& st);

// eval_block_general's opening, for a block outside the library: the frame,
// the held block, the current code.
[[gnu::always_inline]] inline void open_block(const Cell* block, bool chain, bool first_plain) {
  stack::mark_eval(&g_body_word);
  if (g_held_count >= MAX_HELD) stack::overflow();
  LoopRec& r = push_rec(L_BLOCK);
  HeldEntry* e = g_held + g_held_count;
  e->block = *block;
  e->saved_code = *g_current_code;
  r.held = g_held_count++;
  u32 node = series_node(&e->block);
  r.code = Code{&e->block, node, u32(buffer_of(node)->used() / sizeof(Cell))};
  i32 start = series_index(&e->block);
  r.pos = start < 0 ? 0 : u32(start);
  r.chain = chain;
  r.first_plain = first_plain;
  if (r.pos < tail_of(r.code)) copy_cell(&e->block, g_current_code);
}

// eval_block_general as a step: library blocks go through the routine.
inline Act start_block(const Cell* block, bool chain, bool first_plain, Status& st) {
  if (library_block(block)) {
    st = eval_block_general(block, chain, first_plain);
    return INLINE;
  }
  open_block(block, chain, first_plain);
  return PUSHED;
}

// eval_remembered as a step.
[[gnu::always_inline]] inline Act start_remembered(const Cell* body, bool chain, Status& st) {
  bool first_plain;
  if (remembered_plain(body, chain, first_plain)) {
    st = 0;
    return INLINE;
  }
  return start_block(body, chain, first_plain, st);
}

// The end of a block record (eval_block_general's end).
[[gnu::always_inline]] inline void end_block(LoopRec& R, Status& st) {
  st = take_return(st);
  if (st) stack::unwind();
  else if (R.chain) stack::unwind_last_copy();
  else stack::unwind_last();
  release_block(R);
  --g_nrec;
}

// The statements of a block record, from its position.
void step_block(LoopRec& R, Status& st) {
  u32& pos = R.pos;
  if (R.stage == S_AFTER_CHILD) {
    R.stage = S_START;
    if (st) return end_block(R, st);
    R.first_plain = true;
    if (pos < tail_of(R.code)) stack::reset();
  } else if (pos >= tail_of(R.code)) {
    make_unset(stack::base);
    stack::keep();
    st = 0;
    return end_block(R, st);
  }
  u32 self = u32(&R - g_recs);
  u32 tail = tail_of(R.code);
  const Cell* cells = cell_at(R.code, 0);
  while (pos < tail) {
    set_series_index(g_current_code, i32(pos));
    Cell r;
    if (R.first_plain && plain_statement(cells, pos, tail, &r)) {
      place(&r, false);
    } else {
      R.stage = S_AFTER_CHILD;
      if (start_expr(self, {}, st) == PUSHED) return;
      R.stage = S_START;
      if (st) return end_block(R, st);
      tail = tail_of(R.code);
      cells = cell_at(R.code, 0);
    }
    R.first_plain = true;
    if (pos < tail) stack::reset();
  }
  st = 0;
  end_block(R, st);
}

// What follows an expression's first value (the end of eval_expression_from
// and call_expression): the record becomes an operator chain, or ends.
inline void expression_end(LoopRec& R, Status& st) {
  const LoopRec& B = g_recs[R.owner];
  st = 0;
  if (R.prefix || B.pos >= tail_of(B.code) || type_of(cell_at(B.code, B.pos)) != TYPE_WORD) {
    --g_nrec;
    return;
  }
  R.kind = L_REST;
  R.stage = S_START;
}

// call_expression and the opening of call_word, for a function whose
// descriptor has a usable shape; the routine takes the others.
[[gnu::always_inline]] inline Act start_call(u32 owner, ExprMode mode, const Cell* fv, Status& st) {
  LoopRec& B = g_recs[owner];
  Type t = type_of(fv);
  bool native_like = t == TYPE_NATIVE || t == TYPE_ACTION;
  const Cell* cached = more_cell(fv, MORE_ARGS);
  const CallShape* s = type_of(cached) == TYPE_BLOCK ? &call_shape(series_node(cached), native_like) : nullptr;
  if (!s || !s->usable) {
    st = call_expression(B.code, B.pos, mode, fv);
    return INLINE;
  }
  LoopRec& R = push_rec(L_CALL);
  R.owner = owner;
  R.sub = mode.sub;
  R.prefix = mode.prefix;
  R.entry_top = stack::top;
  R.b = *cell_at(B.code, B.pos);
  R.a = *fv;
  ++B.pos;
  stack::push_cell(&R.a);  // keeps the function reachable during the call
  stack::mark(&R.b, t == TYPE_FUNCTION ? stack::FRAME_INTERP_FUNC : stack::FRAME_INTERP);
  R.desc = series_node(cached);
  R.native_like = native_like;
  R.args = s->args;
  R.fill = s->fill;
  R.native_refs = s->native_refs;
  R.fill_false = s->fill_false;
  R.locals = s->locals;
  R.k = 0;
  return PUSHED;
}

// The end of a call record (call_word's end).
[[gnu::always_inline]] inline void end_call(LoopRec& R, Status& st) {
  st = take_return(st);
  if (st) {
    stack::unwind();
    stack::top = R.entry_top;
    --g_nrec;
    return;
  }
  Cell result = *stack::base;
  stack::unwind();
  stack::top = R.entry_top;
  place(&result, R.sub, true);
  expression_end(R, st);
}

// The type check of argument k, evaluated in full and the last pushed.
inline void check_argument(const LoopRec& R) {
  // a nested call may have taken the shape's entry: found again
  check_shape_arg(call_shape(R.desc, R.native_like), R.k, type_of(stack::last()), &R.a, &R.b);
}

// The arguments of a call record from the next one, then the call itself.
void step_call(LoopRec& R, Status& st) {
  if (R.stage == S_BODY || R.stage == S_BRANCH) return end_call(R, st);
  if (R.stage == S_AFTER_CHILD) {
    R.stage = S_START;
    if (st) return end_call(R, st);
    check_argument(R);
    ++R.k;
  }
  const Code& code = g_recs[R.owner].code;
  u32& pos = g_recs[R.owner].pos;
  Cell* fn = &R.a;
  const Cell* word = &R.b;
  u32 tail = tail_of(code);
  const Cell* cells = cell_at(code, 0);
  const CallShape* cur = &call_shape(R.desc, R.native_like);
  while (R.k < R.args) {
    Cell r;
    if (pos < tail && room_for_plain() && plain_expression(cells, pos, tail, false, &r)) {
      stack::push_cell(&r);
      check_shape_arg(*cur, R.k, type_of(&r), fn, word);
      ++R.k;
      continue;
    }
    if (pos < tail) {
      R.stage = S_AFTER_CHILD;
      if (start_expr(R.owner, {.sub = true}, st) == PUSHED) return;
      R.stage = S_START;
      if (st) return end_call(R, st);
      check_argument(R);
    } else {
      Cell ts = cur->ts[R.k];
      ArgState a{fn, code, pos, word, false, 0};
      st = fetch_argument(a, &ts, cur->word_index[R.k]);
      if (st) return end_call(R, st);
    }
    cur = &call_shape(R.desc, R.native_like);
    ++R.k;
    tail = tail_of(code);
    cells = cell_at(code, 0);
  }
  i32 refs[MAX_REFINEMENTS];
  if (R.native_like) {
    for (u32 k = 0; k < R.native_refs; ++k) refs[k] = -1;
  } else {
    for (u32 k = 0; k < R.fill; ++k) {
      if ((R.fill_false >> k) & 1) make_logic(stack::push(), false);
      else make_none(stack::push());
    }
    if (R.locals > 0) {
      make_logic(stack::push(), false);
      for (i32 l = 1; l < R.locals; ++l) make_none(stack::push());
    }
  }
  st = 0;
  switch (type_of(fn)) {
    case TYPE_NATIVE:
      switch (native::index_of(fn)) {
        case natives::N_either: {
          // The chosen branch runs as the native runs it.
          Cell branch = stack::base[logic::true_base() ? 1 : 2];
          R.stage = S_BRANCH;
          if (start_remembered(&branch, true, st) == PUSHED) return;
          break;
        }
        case natives::N_if_: case natives::N_unless: {
          if (logic::is_false(stack::base) == (native::index_of(fn) == natives::N_if_)) {
            make_none(stack::base);
            stack::keep();
            break;
          }
          Cell body = stack::base[1];
          R.stage = S_BRANCH;
          if (start_remembered(&body, true, st) == PUSHED) return;
          break;
        }
        default: st = natives::entry(native::index_of(fn))(refs); break;
      }
      break;
    case TYPE_ACTION: actions::entry(Action(native::index_of(fn)))(refs); break;
    case TYPE_FUNCTION:
      if (fn->header & (FLAG_TRACE | FLAG_NO_TRACE)) {
        st = call_function(fn, 0, word, 0);
        break;
      }
      // run_body: a return sent as an exception lands on this record (see
      // run_loop).
      R.f = bind_frame_context(function::context_of(fn));
      R.stage = S_BODY;
      if (Cell body = *more_cell(fn, MORE_BODY); type_of(&body) == TYPE_BLOCK) {
        if (start_remembered(&body, true, st) == PUSHED) return;
      } else {
        make_unset(stack::base);
      }
      break;
    case TYPE_ROUTINE: call_routine(fn); break;
    default: fire(Err::internal_not_done);
  }
  end_call(R, st);
}

// A paren's value (eval_expression_from), its block just run.
void step_paren(LoopRec& R, Status& st) {
  st = close_frame(st, R.sub);
  if (st) {
    --g_nrec;
    return;
  }
  expression_end(R, st);
}

// A set-word's value (eval_expression_from), its expression just evaluated.
void step_set(LoopRec& R, Status& st) {
  if (st) {
    st = close_frame(st, R.sub);
    --g_nrec;
    return;
  }
  Cell* v = stack::last();
  if (type_of(v) == TYPE_UNSET) fire(Err::script_need_value, &R.a);
  Cell result = *v;
  if (Cell* slot = plain_target(&R.a)) *slot = result;
  else word::set(&R.a, &result);
  stack::unwind();
  place(&result, R.sub);
  expression_end(R, st);
}

// The infix operators after an expression's first value (expression_rest).
void step_rest(LoopRec& R, Status& st) {
  if (R.stage == S_AFTER_CHILD) {
    R.stage = S_START;
    st = close_infix(st, R.desc, R.fast_code, &R.a, &R.b, R.sub, R.entry_top);
    if (st) {
      --g_nrec;
      return;
    }
  }
  const Code& code = g_recs[R.owner].code;
  u32& pos = g_recs[R.owner].pos;
  while (next_operator(code, pos, &R.b, &R.a)) {
    ++pos;
    Cell left = R.sub ? *(stack::top - 1) : *stack::base;
    stack::top = R.entry_top;
    stack::push_cell(&left);
    R.fast_code = fast_op(&R.a);
    const CallShape* s = R.fast_code ? infix_shape(&R.a) : nullptr;
    if (!s) {
      st = eval_call(&R.a, code, pos, R.sub, nullptr, &R.b, &R.a, 0, true);
      if (st) {
        --g_nrec;
        return;
      }
      continue;
    }
    R.desc = s->desc;
    open_infix(*s, &R.a, &R.b, code, pos, R.entry_top);
    const Cell* operand = cell_at(code, pos);
    R.stage = S_AFTER_CHILD;
    if (const Cell* fv = global_function(operand)) {
      if (start_call(R.owner, {.prefix = true, .sub = true}, fv, st) == PUSHED) return;
    } else if (Cell r; plain_operand(operand, &r)) {
      ++pos;
      stack::push_cell(&r);
      st = 0;
    } else if (start_from(R.owner, {.prefix = true, .sub = true}, false, st) == PUSHED) {
      return;
    }
    R.stage = S_START;
    st = close_infix(st, R.desc, R.fast_code, &R.a, &R.b, R.sub, R.entry_top);
    if (st) {
      --g_nrec;
      return;
    }
  }
  st = 0;
  --g_nrec;
}

// eval_expression_general as a step.
[[gnu::always_inline]] inline Act start_expr(u32 owner, ExprMode mode, Status& st) {
  const LoopRec& B = g_recs[owner];
  if (const Cell* fv = global_function(cell_at(B.code, B.pos))) return start_call(owner, mode, fv, st);
  return start_from(owner, mode, false, st);
}

// eval_expression_from as a step, for a call named by a global word, a paren
// and a set-word; the routine takes the rest.
Act start_from(u32 owner, ExprMode mode, bool try_plain, Status& st) {
  LoopRec& B = g_recs[owner];
  u32& pos = B.pos;
  u32 end = tail_of(B.code);
  if (pos >= end) {
    st = eval_expression_from(B.code, pos, mode, try_plain);
    return INLINE;
  }
  const Cell* c = cell_at(B.code, pos);
  Type t = type_of(c);
  if (try_plain) {
    if (t == TYPE_SET_WORD) {
      st = eval_expression_from(B.code, pos, mode, true);
      return INLINE;
    }
    if (may_be_plain(t) && room_for_plain()) {
      if (runtime::stack_exhausted()) raise_stack_overflow();
      if (Cell r; plain_expression(B.code, pos, end, mode.prefix, &r)) {
        place(&r, mode.sub);
        st = 0;
        return INLINE;
      }
    }
  }
  if (t == TYPE_WORD) {
    if (const Cell* fv = global_function(c)) return start_call(owner, mode, fv, st);
  } else if (t == TYPE_PAREN || t == TYPE_SET_WORD) {
    if (runtime::stack_exhausted()) raise_stack_overflow();
    LoopRec& R = push_rec(t == TYPE_PAREN ? L_PAREN : L_SET);
    R.owner = owner;
    R.sub = mode.sub;
    R.prefix = mode.prefix;
    R.entry_top = stack::top;
    R.a = *c;
    make_none(&R.b);  // marked with the record
    R.stage = S_AFTER_CHILD;  // the record takes the status of what it starts
    ++pos;
    if (t == TYPE_PAREN) {
      // A plain paren was tried before this: the block step takes it at
      // once. A leading set-word was not tried as plain.
      const mem::Buffer* pb = buffer_of(series_node(&R.a));
      i32 at = series_index(&R.a) < 0 ? 0 : series_index(&R.a);
      bool set_first = u32(at) < pb->used() / sizeof(Cell) && type_of(pb->cells() + at) == TYPE_SET_WORD;
      Cell paren = R.a;
      stack::mark_interp(&g_body_word);  // the paren's own frame
      start_block(&paren, true, set_first, st);
      return PUSHED;
    }
    // The value's expression was already tried as plain when the slot takes
    // it in place: the general evaluation takes it at once.
    bool value_tried = plain_target(&R.a) != nullptr;
    stack::mark_interp(&R.a);
    stack::push_cell(&R.a);
    if (pos >= tail_of(B.code)) fire(Err::script_need_value, &R.a);
    if (value_tried) start_expr(owner, {.sub = true}, st);
    else start_from(owner, {.sub = true}, true, st);
    return PUSHED;
  }
  st = eval_expression_from(B.code, pos, mode, false);
  return INLINE;
}

// eval_block_general for a block outside the library, not traced: the loop.
// A return or exit sent as an exception lands on the call record whose
// frame it names (run_function_body's catch); anything else leaves, the
// records dropped.
Status run_loop(const Cell* block, bool chain, bool first_plain) {
  u32 base = g_nrec;
  open_block(block, chain, first_plain);
  Status st = 0;
  while (true) {
    try {
      while (g_nrec > base) {
        LoopRec& R = g_recs[g_nrec - 1];
        switch (R.kind) {
          case L_BLOCK: step_block(R, st); break;
          case L_CALL: step_call(R, st); break;
          case L_PAREN: step_paren(R, st); break;
          case L_SET: step_set(R, st); break;
          case L_REST: step_rest(R, st); break;
        }
      }
      return st;
    } catch (const Transfer& t) {
      u32 i = g_nrec;
      while (i > base && !(g_recs[i - 1].kind == L_CALL && g_recs[i - 1].stage == S_BODY &&
                           landed_return(t, g_recs[i - 1].f))) {
        --i;
      }
      drop_records(i);
      if (i == base) throw;
      runtime::rt.thrown = 0;
      st = 0;
    } catch (...) {
      drop_records(base);
      throw;
    }
  }
}

}  // namespace detail

Status call_function(const Cell* fn_in, u32 owner_ctx, const Cell* name, u32 callback_bit) {
  Cell fn = *fn_in;
  stack::Frame* f = bind_frame_context(function::context_of(&fn));
  bool saved_trace = trace;
  // A callback runs untraced unless its kind is among the traced ones; a
  // traced callback is reported as a call that returns.
  if (callback_bit && trace && !(traced_callbacks() & callback_bit)) trace = false;
  bool traced_callback = callback_bit && trace;
  if (traced_callback) fire_event(EV_CALL, nullptr, -1, name, &fn);
  if (fn.header & FLAG_TRACE) trace = trace_run;
  if (fn.header & FLAG_NO_TRACE) trace = false;
  (void)owner_ctx;
  Status st = run_function_body(&fn, f, name, saved_trace);
  if (traced_callback) {
    if (st) fire_event_unwinding(EV_RETURN, nullptr, -1, name, stack::base);
    else fire_event(EV_RETURN, nullptr, -1, name, stack::base);
  }
  return st;
}

// ---------------------------------------------------------------------------
// Callbacks from C++ code

void eval_block_or_throw(const Cell* block, bool chain) { check(eval_block(block, chain)); }

Cell* call_with_args(const Cell* fn, const Cell* args, u32 count, u32 callback_bit,
                     const Cell* name_word) {
  Cell* result = stack::push();
  api::CallOptions o;
  o.name = name_word;
  o.callback = callback_bit;
  Status st = api::invoke(fn, args, count, result, o);
  if (st) {
    stack::top = result;
    rethrow_status(st);
  }
  stack::top = result + 1;
  return result;
}

}  // namespace qel::interp