#include "eval/interpreter.hpp"
#include "eval/interpreter_internal.hpp"
#include "eval/interpreter_compiled.hpp"
#include "eval/entry_fit.hpp"
#include "eval/step_count.hpp"
#include "eval/library_code.hpp"

#include <new>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <type_traits>

#include "datatypes/context.hpp"
#include "runtime/api.hpp"
#include "datatypes/function.hpp"
#include "datatypes/object.hpp"
#include "datatypes/ownership.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/native.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/typeset.hpp"
#include "datatypes/word.hpp"
#include "eval/interrupt.hpp"
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
#include "platform/image_state.hpp"

namespace qel::interp {

i32 pending_target = -1;
QEL_IMAGE_KEEP(pending_target);
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

[[noreturn]] void raise_stack_overflow() { stack::overflow(); }

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

HeldEntry* g_held = nullptr;
u32 g_held_count = 0;

void mark_held() {
  for (u32 i = 0; i < g_held_count; ++i) {
    gc::mark_cell(&g_held[i].block);
    gc::mark_cell(&g_held[i].saved_code);
  }
}

void sweep_shapes();  // drops the call shapes of freed descriptors
void forget_nodes();  // drops every cache keyed by node, when nodes moved

void init_blocks() {
  if (!g_held) {
    g_held = new HeldEntry[MAX_HELD];
    gc::add_mark_callback(mark_held);
  }
  g_held_count = 0;
  compiled::init();
  static bool sweeping = false;
  if (!sweeping) {
    gc::add_sweep_callback(sweep_shapes);
    gc::add_moved_callback(forget_nodes);
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

}  // namespace detail

namespace detail {

// A function's body (its frame open, its context bound): compiled when no
// trace run and no reference switch asks for the reference.
inline Status eval_function_body(const Cell* body) {
  if (!trace && !g_trace_held && !reference) {
    if (compiled::Unit* u = compiled::unit_for_body(body)) {
      stack::Frame* f = stack::ctop - 1;
      return compiled::run(u, body, true, f->fctx, stack::base);
    }
  }
  return eval_block_general(body, true);
}

}  // namespace detail

Status eval_block(const Cell* block, bool chain) {
  if (!trace && !g_trace_held && !reference) {
    if (compiled::Unit* u = compiled::unit_for_block(block)) return compiled::run(u, block, chain, 0, nullptr);
  }
  return eval_block_general(block, chain);
}

Status eval_block_kept(const Cell* block, bool chain, compiled::UnitCache& unit) {
  if (!trace && !g_trace_held && !reference) {
    if (compiled::Unit* u = compiled::cached_unit_for_block(block, unit)) return compiled::run(u, block, chain, 0, nullptr);
  }
  return eval_block_general(block, chain);
}

namespace detail {

// A block in a frame of its own, statement by statement; the tail is the
// smaller of the block's length now and its length at entry, read again
// after every statement (the code may change the block).
Status eval_block_general(const Cell* block_in, bool chain) {
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
    while (pos < tail) {
      if (!library_code) set_series_index(g_current_code, i32(pos));
      st = eval_expression(code, pos);
      if (st) break;
      tail = tail_of(code);
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

namespace detail {

Status eval_next_reference(const Code& code, u32& pos, bool sub) {
  stack::mark_interp(&g_body_word);
  Status st = eval_expression(code, pos);
  return close_frame(st, sub);
}

}  // namespace detail

Status eval_next(const Code& code, u32& pos, bool sub) {
  if (!trace && !g_trace_held && !reference && code.block) {
    if (compiled::Unit* u = compiled::unit_for_walk(code.block)) return compiled::eval_next(u, code, pos, sub);
  }
  return eval_next_reference(code, pos, sub);
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
      case ACT_divide: return 1 + OP_DIV;
      case ACT_remainder: return 1 + OP_REM;
      case ACT_and_t: return 1 + OP_AND;
      case ACT_or_t: return 1 + OP_OR;
      case ACT_xor_t: return 1 + OP_XOR;
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

}  // namespace detail

Status eval_expression(const Code& code, u32& pos, ExprMode mode) {
  const bool prefix = mode.prefix, sub = mode.sub, passive = mode.passive;
  QEL_STEP(reference, 1);
  if (runtime::stack_exhausted()) raise_stack_overflow();
  Cell* entry_top = stack::top;
  u32 end = tail_of(code);
  if (pos >= end) {  // nothing left: unset
    Cell u;
    make_unset(&u);
    place(&u, sub);
    return 0;
  }
  Cell value = *cell_at(code, pos);
  roots::CellRoot hold_value(&value);  // the code may be changed while it runs
  if (trace) fire_event(EV_FETCH, code.block, i32(pos), nullptr, &value);
  Status st = 0;
  // Whether the push event reports the value: not after a call (its return
  // event reported it), a paren (its exit did) or a set-word or set-path
  // (their set did).
  bool pushed = true;
  switch (type_of(&value)) {
    case TYPE_PAREN: {
      ++pos;
      pushed = false;
      // A frame of its own, in which the block's frame opens.
      stack::mark_interp(&g_body_word);
      st = eval_block_general(&value, true);
      st = close_frame(st, sub);
      if (st) return st;
      break;
    }
    case TYPE_SET_WORD: {
      ++pos;
      pushed = false;
      stack::mark_interp(&value);
      stack::push_cell(&value);
      if (trace) fire_event(EV_PUSH, code.block, i32(pos), nullptr, &value);
      if (pos >= tail_of(code)) fire(Err::script_need_value, &value);
      st = eval_expression(code, pos, {.sub = true});
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
      pushed = false;
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
          pushed = false;
          st = eval_call(&v, code, pos, sub, nullptr, &value, &v, 0, false);
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
      st = eval_path(&value, code, pos, false, type_of(&value) == TYPE_GET_PATH, sub, false, &pushed);
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
        pushed = false;
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
  return expression_rest(code, pos, mode, entry_top, pushed);
}

namespace detail {

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
// the push event (when push is set), the infix operators, the expression
// event. entry_top: the stack top when the expression began.
[[gnu::noinline]] Status expression_rest(const Code& code, u32& pos, ExprMode mode, Cell* entry_top,
                                         bool push) {
  const bool prefix = mode.prefix, sub = mode.sub;
  Status st = 0;
  if (trace && push) fire_event(EV_PUSH, code.block, i32(pos), nullptr, sub ? stack::last() : stack::base);

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
    st = eval_call(&op, code, pos, sub, nullptr, &opword, &op, 0, true);
    if (st) return st;
  }
  if (trace && !sub) fire_event(EV_EXPR, code.block, i32(pos), nullptr, stack::base);
  return 0;
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

void describe_spec(u32 spec, bool native_like, Cell* out) {
  roots::NodeRoot hold_spec(&spec);
  make_series(out, TYPE_BLOCK, mem::alloc_cells(8));
  Cell* desc = out;
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
        copy_cell(&ts, mem::alloc_tail_cell(series_node(desc)));
        break;
      }
      case TYPE_SET_WORD: {
        if (symbol::resolve(word::symbol_of(&item)) != symbol::resolve(words::symbol(words::W_RETURN))) {
          fire(Err::script_bad_func_def, &item);
        }
        Cell ts = make_arg_typeset(has_next && type_of(&next) == TYPE_BLOCK ? &next : nullptr, ARG_RETURN);
        copy_cell(&ts, mem::alloc_tail_cell(series_node(desc)));
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
        copy_cell(&r, mem::alloc_tail_cell(series_node(desc)));
        break;
      }
      default:
        break;
    }
  }
  if (locals >= 0) make_integer(mem::alloc_tail_cell(series_node(desc)), locals);
  if (native_like && refinements) make_integer(mem::alloc_tail_cell(series_node(desc)), i32(refinements));
}

u32 spec_arguments(const Cell* fn_in) {
  Cell fn = *fn_in;
  Cell* cached = more_cell(&fn, MORE_ARGS);
  if (type_of(cached) == TYPE_BLOCK) return series_node(cached);
  Type t = type_of(&fn);
  bool native_like = t == TYPE_NATIVE || t == TYPE_ACTION;
  roots::LocalCell desc;
  describe_spec(function::spec_of(&fn), native_like, desc.get());
  // An entry reads the arguments its own spec lists, whatever the value's
  // spec says (make native! takes any spec).
  if (native_like) entry_fit::fit(t, native::index_of(&fn), desc.get());
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
  Status st = kind == ARG_NORMAL ? eval_expression(a.code, a.pos, {.prefix = a.infix, .sub = true})
                                 : fetch_unevaluated(a.code, a.pos, kind);
  if (st) return st;
  Cell* got = stack::last();
  if (!typeset::has(ts, type_of(got))) {
    Cell type, w = spec_word_for(a.fn, word_index);
    make_datatype(&type, type_of(got));
    fire(Err::script_expect_arg, a.name, &type, &w);
  }
  return 0;
}

Status fetch_unevaluated(const Code& code, u32& pos, u32 kind) {
  Cell v = *cell_at(code, pos);
  ++pos;
  if (kind != ARG_QUOTED) {
    stack::push_cell(&v);
    return 0;
  }
  switch (type_of(&v)) {
    case TYPE_PAREN: {
      stack::mark_interp(&g_body_word);
      Status st = eval_block(&v, true);
      return close_frame(st, true);
    }
    case TYPE_GET_WORD: {
      Cell w = v;
      w.header = TYPE_WORD;
      stack::push_cell(word_value(&w));
      return 0;
    }
    case TYPE_GET_PATH: {
      u32 p = pos - 1;
      return eval_path(&v, code, p, false, true, true, false);
    }
    default:
      stack::push_cell(&v);
      return 0;
  }
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

// The refinements a path names from its element k on, as a call takes them
// after its other arguments: each turned on (or off: a get-word whose value
// is not true) and its arguments fetched into their slots (natives: left on
// the stack, refs telling where). The path's length is read again at each
// element (a refinement's arguments may shorten it), never past pn, its
// length when the refinements began. ref_desc and ref_slot: each of the
// function's nrefs refinements' descriptor entry and flag slot; seen: the
// refinements taken already.
Status path_refinements(ArgState& a, bool native_like, u32 desc, u32 nrefs, const u32* ref_desc,
                        const u32* ref_slot, const Cell* path, u32 pn, u32 k, bool* seen, i32* refs) {
  roots::NodeRoot hold(&desc);
  Cell p = *path;
  u32 pnode = series_node(&p);
  u32 n = buffer_of(desc)->used() / sizeof(Cell);
  for (; k < pn && k < buffer_of(pnode)->used() / sizeof(Cell); ++k) {
    Cell e;
    bool on = path_refinement_at(pnode, k, &e);
    u32 sym = symbol::resolve(word::symbol_of(&e));
    u32 r = 0;
    while (r < nrefs && symbol::resolve(word::symbol_of(buffer_of(desc)->cells() + ref_desc[r])) != sym) ++r;
    if (r == nrefs) fire(Err::script_no_refine, a.name, &e);
    if (seen[r]) fire(Err::script_dup_refine, &p);
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
  return 0;
}

Status path_refinements_from(const Cell* fn, const Code& code, u32& pos, const Cell* path, u32 pn, u32 k,
                             const Cell* name, bool* seen, i32* refs) {
  bool native_like = type_of(fn) == TYPE_NATIVE || type_of(fn) == TYPE_ACTION;
  u32 desc = spec_arguments(fn);
  u32 n = buffer_of(desc)->used() / sizeof(Cell);
  // Where each refinement lies, as eval_arguments finds it.
  u32 ref_desc[MAX_REFINEMENTS];
  u32 ref_slot[MAX_REFINEMENTS];
  u32 nrefs = 0, slot = 0;
  bool in_refs = false;
  for (u32 i = 0; i < n; ++i) {
    const Cell* d = buffer_of(desc)->cells() + i;
    if (type_of(d) == TYPE_TYPESET) {
      if (arg_kind(d) != ARG_RETURN && (!in_refs || !native_like)) ++slot;
    } else if (type_of(d) == TYPE_REFINEMENT) {
      if (nrefs >= u32(MAX_REFINEMENTS)) fire(Err::internal_not_done);
      ref_desc[nrefs] = i;
      ref_slot[nrefs++] = slot;
      if (!native_like) ++slot;
      in_refs = true;
    }
  }
  ArgState a{fn, code, pos, name, false, 0};
  return path_refinements(a, native_like, desc, nrefs, ref_desc, ref_slot, path, pn, k, seen, refs);
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
      case TYPE_NONE:
        entry_fit::refuse(fn);  // an entry that cannot run with this spec
      default:
        break;
    }
  }
  *ref_count = nrefs;

  // Refinements from a path: the elements after the function's word.
  if (path) {
    bool seen[MAX_REFINEMENTS] = {};
    u32 pnode = series_node(path);
    u32 pn = buffer_of(pnode)->used() / sizeof(Cell);
    Status st = path_refinements(a, native_like, desc, nrefs, ref_desc, ref_slot, path, pn,
                                 u32(series_index(path)) + 1, seen, refs);
    if (st) return st;
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

  if (trace) {
    // An infix call reports the operator (the word's value), not the
    // function it was made from.
    Cell opv = infix ? *word_value(name) : *fn;
    fire_event(EV_CALL, code.block, i32(pos), name, &opv);
  }
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
  // As natives do: C++ memory the heap refuses raises no-memory.
  try {
    entry();
  } catch (const std::bad_alloc&) {
    fire(Err::internal_no_memory);
  }
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


// A function's body run in its frame f, whose context is bound: reports
// prolog and epilog when traced and puts tracing back to saved_trace when it
// ends, also when a transfer sent as an exception leaves it. A return or exit
// sent that way ends here when f is its target; an error or any other
// transfer goes on.
[[gnu::always_inline]] inline Status run_function_body(const Cell* fn, stack::Frame* f, const Cell* name,
                                                      bool saved_trace) {
  interrupt::poll();
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
Status run_function(const Cell* fn, stack::Frame* f, const Cell* name) { return run_function_body(fn, f, name, false); }


constinit CallShape g_shapes[1u << SHAPE_BITS];
QEL_IMAGE_SKIP(g_shapes);  // built again on first use

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

void forget_nodes() {
  for (CallShape& s : g_shapes) s = CallShape{};
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
        if (s.args >= SHAPE_ARGS) return;
        s.word_index[s.args] = u8(wi);
        s.kind[s.args] = u8(kind);
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
      case TYPE_NONE:
        return;  // a call that raises: the reference raises it
      default:
        break;
    }
    if (word_index > 255) return;
  }
  s.usable = true;
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