// The compiled form's runner (eval/interpreter_compiled_ops.hpp): the loop
// that runs a unit's operations, keeping frames, held blocks and the
// arguments stack as the reference routines do.
#include "eval/interpreter_compiled_ops.hpp"
#include "eval/step_count.hpp"

#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <algorithm>
#include <unordered_map>
#include <vector>

#include "datatypes/event.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/native.hpp"
#include "datatypes/object.hpp"
#include "datatypes/symbol.hpp"
#include "eval/interpreter_internal.hpp"
#include "eval/interrupt.hpp"
#include "eval/natives.hpp"
#include "eval/transfers.hpp"
#include "runtime/actions.hpp"
#include "runtime/code_epoch.hpp"
#include "runtime/collector.hpp"
#include "runtime/config.hpp"
#include "runtime/hash.hpp"
#include "runtime/startup.hpp"
#include "runtime/words.hpp"
#include "platform/image_state.hpp"

namespace qel::interp::compiled {

namespace {

// ---- the runner -------------------------------------------------------------------------

// R_NEXT: one expression of a walked block (eval_next), run alone: its
// record reads the block as a walk's does, and the run ends with the
// expression.
enum RecKind : u8 { R_BLOCK, R_SET, R_PAREN, R_CALL, R_INFIX, R_LOOP, R_WALK, R_NEXT };
constexpr u32 NONE = ~0u;

// What a construct being run keeps: one record a frame, on a stack of their
// own. The construct's closing op (done) takes a status passing through it.
struct Rec {
  RecKind kind;
  bool sub;      // the mode of the construct's expression
  bool chain;    // blocks: the result is also copied into the caller's base
  bool generic;  // blocks: the code changed: read it as the reference does
  bool owns;     // blocks: the unit's own block, whose activation holds the unit
  u32 done;      // the closing op
  Unit* unit;    // whose ops run the construct
  u32 blk;       // blocks: the enclosing block record; others: the current block record
  u32 op;        // calls and operators: the op that opened them
  // blocks
  u32 node, end, pos, held;
  u32 fctx;      // the function whose locals are at fbase (0: none)
  Cell* fbase;
  Unit* ret_unit;  // where the code goes on after the block (null: back to C++)
  u32 ret_pc;
  union {
    // calls of compiled functions: the frame whose context is bound (a
    // return sent as an exception lands there)
    stack::Frame* f;
    // walks (any, all): the block walked, kept reachable while the walk
    // runs (its code may drop it); the walk reads it as a block record's
    // code (node, end, pos, generic, fctx, fbase) but opens no frame for it
    Cell walked;
  };
  // loops: the loop frame (from the call-stack bottom: what break and
  // continue name), the passes made and to make, whether the condition or
  // the body is running, and a break or continue that landed as a transfer
  u32 me;
  i32 count, passes;
  bool in_cond, landed, landed_break;
  // loops: the cells their native keeps below the loop frame (from the
  // stack's bottom), and remove-each's last step (where it began, the
  // elements it visited); whether a break (or no pass) ended the loop
  u32 cells;
  i32 at, visited;
  bool broke;
  // calls: the function called is not the one compiled for but one of the
  // same arguments (CallInfo::dyn_ok), whose descriptor the call reads
  bool dyn;
};
static_assert(std::is_trivially_copyable_v<Rec>);

constexpr u32 MAX_RECS = stack::CALL_FRAMES + stack::FRAMES_RESERVE + 64;
Rec* g_recs = nullptr;
u32 g_nrec = 0;

inline Rec& push_rec(RecKind kind) {
  if (g_nrec >= MAX_RECS) stack::overflow();
  Rec& r = g_recs[g_nrec++];
  r.kind = kind;
  return r;
}

// The record of the value expression of a set-word or set-path op (its b:
// the op that makes the set).
inline void push_set_rec(Unit* u, u32 blk, const Op& op) {
  Rec& S = push_rec(R_SET);
  S.unit = u;
  S.blk = blk;
  S.done = op.b;
  S.sub = op.flags & F_SUB;
}

// The code a block record runs, as the reference routines take it.
inline Code code_of(const Rec& r) {
  return Code{r.kind == R_WALK || r.kind == R_NEXT ? &r.walked : &g_held[r.held].block, r.node, r.end};
}
inline u32 tail(const Rec& r) {
  if (!r.generic) return r.end;
  u32 n = buffer_of(r.node)->used() / sizeof(Cell);
  return n < r.end ? n : r.end;
}

// The slot of a word: a global one and a local of the running function
// directly, the rest as the reference finds it (null: the context module's).
inline Cell* slot_of(const Cell* w, const Rec& b) {
  u32 ctx = word::context_of(w);
  i32 idx = word::index_of(w);
  if (ctx == g_global_ctx && ctx && idx >= 0) return global_slot(idx);
  if (ctx && ctx == b.fctx && idx >= 0) return b.fbase + idx;
  return plain_slot(w);
}

// ---- frameless expressions ----------------------------------------------------------

// Whether the reference would find room on both stacks for what it opens and
// pushes while evaluating a frameless statement: near the ends the framed
// form takes over, so that a stack overflow comes exactly where it always
// does. A frameless statement opens at most a block's frame, a set-word's
// frame and, per nested paren, an operator's frame and the paren's two
// frames (the operators of each level closed before the next opens), and
// pushes a few cells per level.
constexpr i64 PURE_FRAMES = 3 * MAX_PURE_DEPTH + 8;
constexpr i64 PURE_CELLS = 8 * MAX_PURE_DEPTH + 32;
inline bool room_for_pure() {
  // (compared as addresses: a count of frames would be a division)
  return stack::top + PURE_CELLS < stack::end && stack::ctop + PURE_FRAMES < stack::cend;
}

// Where a frameless expression reads its words: the global context's
// values (which cannot move while it runs: it allocates nothing), and the
// locals of the running function.
struct Env {
  const Cell* globals;
  u32 nglobals;
  u32 fctx;
  Cell* fbase;
};
inline Env env_of(u32 fctx, Cell* fbase) {
  const mem::Buffer* b = buffer_of(g_global_values);
  return Env{b->cells(), b->used() / u32(sizeof(Cell)), fctx, fbase};
}
inline const Cell* env_slot(const Env& e, const Cell* w, u32 global) {
  if (global != ~0u) return global < e.nglobals ? e.globals + global : nullptr;
  u32 ctx = word::context_of(w);
  i32 idx = word::index_of(w);
  if (ctx && ctx == e.fctx && idx >= 0) return e.fbase + idx;
  return plain_slot(w);
}

// ---- fields of objects --------------------------------------------------------------

// The slot of element e of the field path in the object context ctx, as the
// object's path step finds it: tried where it was found last, then looked
// up by name; -1 when the object has no such word.
inline i32 field_index(u32 ctx, const FieldPath& f, u32 e) {
  u32 words = hash::record(context::record_table(context::record_cell(ctx)))->block;
  const mem::Buffer* wb = buffer_of(words);
  u32 hint = f.hint[e];
  if (hint < wb->used() / sizeof(Cell)) {
    u32 sym = word::symbol_of(wb->cells() + hint);
    if (sym == f.exact[e] || symbol::resolve(sym) == f.sym[e]) {
      f.exact[e] = sym;
      return i32(hint);
    }
  }
  i32 i = context::find_word(ctx, f.sym[e], true);
  if (i >= 0) {
    f.hint[e] = u32(i);
    f.exact[e] = word::symbol_of(context::symbol_cell(ctx, u32(i)));
  }
  return i;
}

// The value slot of element e (its object's context ctx), or null (no such
// field, or a slot the context module would have to make).
inline Cell* field_slot_of(u32 ctx, const FieldPath& f, u32 e) {
  i32 i = field_index(ctx, f, e);
  return i < 0 ? nullptr : context::slot(ctx, u32(i));
}

// The object the path's fields up to the last one lead to, from the head
// word's value, or null when the walk would do more than read (a value
// that is no object on the way, a field missing or unset).
inline const Cell* field_parent(const FieldPath& f, const Cell* head) {
  if (!head || type_of(head) != TYPE_OBJECT) return nullptr;
  const Cell* o = head;
  for (u32 e = 1; e + 1 < f.length; ++e) {
    o = field_slot_of(object::context_of(o), f, e);
    if (!o || type_of(o) != TYPE_OBJECT) return nullptr;
  }
  return o;
}

// The field's value as the reference's walk reads it when that walk only
// reads (every step an object, the field there and not unset): out, or
// false (nothing done).
inline bool field_read(const FieldPath& f, const Cell* head, Cell* out) {
  const Cell* o = field_parent(f, head);
  if (!o) return false;
  const Cell* v = field_slot_of(object::context_of(o), f, f.length - 1);
  if (!v || type_of(v) == TYPE_UNSET) return false;
  *out = *v;
  return true;
}

// The slot a set of the field writes when the reference's set would only
// write it (every step an object, the field there, the object without
// change handlers), marked assigned as the object's set marks it; null
// otherwise (nothing done). head: the head word's value, read now.
inline Cell* field_target(const FieldPath& f, const Cell* head) {
  const Cell* o = field_parent(f, head);
  if (!o || object::on_set_of(o)) return nullptr;
  u32 ctx = object::context_of(o);
  if (context::kind_of(ctx) != context::KIND_OBJECT) return nullptr;
  i32 i = field_index(ctx, f, f.length - 1);
  Cell* slot = i < 0 ? nullptr : context::slot(ctx, u32(i));
  if (slot) context::symbol_cell(ctx, u32(i))->header |= context::WORD_ASSIGNED;
  return slot;
}

// Whether two cells hold the same value (the new-line marker aside), as two
// 8-byte compares.
inline bool same_value(const Cell* a, const Cell* b) {
  static_assert(sizeof(Cell) == 16);
  u64 a0, a1, b0, b1;
  std::memcpy(&a0, a, 8);
  std::memcpy(&a1, reinterpret_cast<const char*>(a) + 8, 8);
  std::memcpy(&b0, b, 8);
  std::memcpy(&b1, reinterpret_cast<const char*>(b) + 8, 8);
  return (((a0 ^ b0) & ~u64(FLAG_NEW_LINE)) | (a1 ^ b1)) == 0;
}

// The types a frameless operand refuses: a word holding them is not data
// (the reference would call it, or raise).
constexpr u64 NOT_DATA = (1ull << TYPE_UNSET) | (1ull << TYPE_OP) | (1ull << TYPE_FUNCTION) |
                         (1ull << TYPE_ROUTINE) | (1ull << TYPE_NATIVE) | (1ull << TYPE_ACTION);
inline bool is_data(const Cell* v) { return !((NOT_DATA >> (u32(type_of(v)) & 63)) & 1); }

// A pick of a word holding a block and an integer, as the reference's path
// answers it without a frame (it cannot raise for a cell in range).
inline bool pure_pick(const PureInstr& in, const Env& env, Cell* out) {
  const Cell* v = env_slot(env, &in.c, ~0u);
  if (!v || type_of(v) != TYPE_BLOCK) return false;
  i32 k = int_of(&in.d);
  if (k == 0) return false;
  i64 p = i64(series_index(v)) + k + (k > 0 ? -1 : 0);
  const mem::Buffer* vb = buffer_of(series_node(v));
  if (p < 0 || p >= i64(vb->used() / sizeof(Cell))) return false;
  const Cell* r = vb->cells() + p;
  if (is_function_type(type_of(r)) || type_of(r) == TYPE_UNSET || (r->header & FLAG_NEW_LINE)) return false;
  *out = *r;
  return true;
}

[[gnu::always_inline]] inline bool bin_operand(const Env& env, BinOperand kind, u32 index, const Cell* c,
                                              Cell* out) {
  const Cell* v;
  if (kind == B_CONST) {
    *out = *c;
    return true;
  }
  if (kind == B_GLOBAL) {
    if (index >= env.nglobals) return false;
    v = env.globals + index;
  } else {
    v = env_slot(env, c, ~0u);
    if (!v) return false;
  }
  if (!is_data(v)) return false;
  *out = *v;
  out->header &= ~FLAG_NEW_LINE;
  return true;
}

// One operator between two lone values.
[[gnu::always_inline]] inline bool eval_bin(const BinExpr& b, const Env& env, Cell* out) {
  Cell l, r;
  if (!bin_operand(env, b.left, b.left_index, &b.lc, &l)) return false;
  const Cell* slot = b.guard_global ? (b.guard < env.nglobals ? env.globals + b.guard : nullptr)
                                    : env_slot(env, &b.opword, ~0u);
  if (!slot || !same_value(slot, &b.op)) return false;
  if (!bin_operand(env, b.right, b.right_index, &b.rc, &r)) return false;
  if (type_of(&l) != TYPE_INTEGER || type_of(&r) != TYPE_INTEGER || !integer_combine(b.fast, &l, &r)) {
    Cell v;
    if (!plain_combine(b.fast, &l, &r, &v)) return false;
    l = v;
  }
  if (b.check_next) {
    const Cell* next = env_slot(env, &b.next, ~0u);
    if (!next || type_of(next) == TYPE_OP) return false;
  }
  *out = l;
  return true;
}

// Runs a frameless expression's flat code.
bool eval_code(const Unit* u, const PureInstr* p, const Env& env, Cell* out) {
  Cell acc, r;
  Cell saved[MAX_PURE_DEPTH + 2];
  u32 sp = 0;
  for (;; ++p) {
    switch (p->code) {
      case P_K: acc = p->c; break;
      case P_RK: r = p->c; break;
      case P_G: case P_RG: {
        if (p->a >= env.nglobals) return false;
        const Cell* v = env.globals + p->a;
        if (!is_data(v)) return false;
        Cell& to = p->code == P_G ? acc : r;
        to = *v;
        to.header &= ~FLAG_NEW_LINE;
        break;
      }
      case P_W: case P_RW: {
        const Cell* v = env_slot(env, &p->c, ~0u);
        if (!v || !is_data(v)) return false;
        Cell& to = p->code == P_W ? acc : r;
        to = *v;
        to.header &= ~FLAG_NEW_LINE;
        break;
      }
      case P_PICK:
        if (!pure_pick(*p, env, &acc)) return false;
        break;
      case P_RPICK:
        if (!pure_pick(*p, env, &r)) return false;
        break;
      case P_FIELD: case P_RFIELD: {
        const FieldPath& f = u->fields[p->a];
        Cell& to = p->code == P_FIELD ? acc : r;
        if (!field_read(f, env_slot(env, &f.head, ~0u), &to) || !is_data(&to)) return false;
        to.header &= ~FLAG_NEW_LINE;
        break;
      }
      case P_SAVE: saved[sp++] = acc; break;
      case P_TOR:
        r = acc;
        acc = saved[--sp];
        break;
      case P_GUARDG:
        if (p->a >= env.nglobals || !same_value(env.globals + p->a, &p->c)) return false;
        break;
      case P_GUARDW: {
        const Cell* v = env_slot(env, &p->d, ~0u);
        if (!v || !same_value(v, &p->c)) return false;
        break;
      }
      case P_COMB:
        if (type_of(&acc) != TYPE_INTEGER || type_of(&r) != TYPE_INTEGER || !integer_combine(p->k, &acc, &r)) {
          Cell v;
          if (!plain_combine(p->k, &acc, &r, &v)) return false;
          acc = v;
        }
        break;
      case P_NEXTW: {
        const Cell* v = env_slot(env, &p->c, ~0u);
        if (!v || type_of(v) == TYPE_OP) return false;
        break;
      }
      case P_END:
        *out = acc;
        return true;
      case P_BIN:
        return eval_bin(u->bins[p->a], env, out);
      case P_CHOOSE:
        if (type_of(&acc) == TYPE_LOGIC ? logic::is_false(&acc) : type_of(&acc) == TYPE_NONE) {
          p = u->pcode.data() + p->a - 1;
        } else if (type_of(&acc) != TYPE_LOGIC) {
          return false;
        }
        break;
      case P_JUMP:
        p = u->pcode.data() + p->a - 1;
        break;
      case P_GIVEUP:
        return false;
    }
  }
}

// Runs frameless expression i: its value in out, or false (nothing changed).
[[gnu::always_inline]] inline bool eval_pure(const Unit* u, u32 i, u32 fctx, Cell* fbase, Cell* out) {
  const PureExpr& pe = u->pures[i];
  bool done = pe.bin >= 0 ? eval_bin(u->bins[u32(pe.bin)], env_of(fctx, fbase), out)
                          : eval_code(u, u->pcode.data() + pe.code_at, env_of(fctx, fbase), out);
  if (done) QEL_STEP(compiled, 1 + pe.steps.size());  // the value and each operator's operand
  return done;
}

// Whether two cells hold the same value (the new-line marker aside).
inline bool same(const Cell* a, const Cell* b) { return same_value(a, b); }

// Drops the records from the top down to n, as the reference's unwinding
// does with its C++ frames: held blocks let go, the current code put back.
void drop_records(u32 n) {
  while (g_nrec > n) {
    const Rec& r = g_recs[--g_nrec];
    if (r.kind != R_BLOCK) continue;
    *g_current_code = g_held[r.held].saved_code;
    g_held_count = r.held;
    if (r.owns) release(r.unit);
  }
}

// The code of the unit changed: its activations read the rest of their code
// as the reference does, and the next entry makes a new unit.
void code_changed(Unit* u) {
  for (u32 i = 0; i < g_nrec; ++i) {
    RecKind k = g_recs[i].kind;
    if ((k == R_BLOCK || k == R_WALK || k == R_NEXT) && g_recs[i].unit == u) g_recs[i].generic = true;
  }
  retire(u);
}

// After anything that may have run other code: the unit's cells are checked
// when the code epoch moved.
[[gnu::always_inline]] inline void resumed(Unit* u) {
  if (u->epoch != code::epoch || QEL_CHECKS) {
    if (!still_valid(u)) code_changed(u);
  }
}

// The run's state, kept across a transfer caught in run().
struct Vm {
  Unit* u;
  u32 pc;
  Status st;
  u32 b;         // the current block record
  u32 base;      // the records below belong to runs further out
  // the block a unit's O_BLOCK opens next (its own block)
  Cell entry_block;
  bool entry_chain;
  u32 entry_fctx;
  Cell* entry_fbase;
  Unit* entry_ret_unit;
  u32 entry_ret_pc;
};

[[noreturn, gnu::cold]] void refuse_arg(const CallInfo& ci, u32 k, Type got, const Cell* fn, const Cell* word) {
  Cell type, w = spec_word_for(fn, ci.word_index[k]);
  make_datatype(&type, got);
  fire(Err::script_expect_arg, word, &type, &w);
}

// The slot a set-word writes when setting it only writes that slot (as
// plain_target answers): a global word's and a local's of the running
// function (a function's context is no object) found directly.
[[gnu::always_inline]] inline Cell* set_target(const Cell* w, u32 fctx, Cell* fbase) {
  u32 ctx = word::context_of(w);
  i32 idx = word::index_of(w);
  if (ctx == g_global_ctx && ctx && idx >= 0) return global_slot(idx);
  if (ctx && ctx == fctx && idx >= 0) return fbase + idx;
  return plain_target(w);
}

// Sets the word or field a frameless statement sets to its value r, when
// that only writes a slot; false (nothing done) otherwise.
[[gnu::always_inline]] inline bool pure_store(const Unit* u, const PureStmt& ps, u32 fctx, Cell* fbase,
                                              const Cell* r) {
  Cell* slot;
  if (ps.set) {
    slot = set_target(&ps.set_word, fctx, fbase);
  } else if (ps.field != ~0u) {
    const FieldPath& f = u->fields[ps.field];
    slot = field_target(f, env_slot(env_of(fctx, fbase), &f.head, ~0u));
  } else {
    return true;
  }
  if (!slot) return false;
  *slot = *r;
  return true;
}

// A unit whose block is one frameless statement (or none), run without entering it
// (its result placed as closing the block's frame would leave it); false,
// nothing done, when it cannot run so.
// fctx, fbase: the running function's context and its values.
[[gnu::always_inline]] inline bool run_one_pure(const Unit* c, u32 fctx, Cell* fbase, bool chain) {
  if (!room_for_pure()) return false;
  Cell r;
  if (c->blocks[0].pure.empty()) {
    make_unset(&r);  // an empty block
  } else {
    const PureStmt& ps = c->blocks[0].pure[0];
    if (!eval_pure(c, ps.expr, fctx, fbase, &r)) return false;
    if (!pure_store(c, ps, fctx, fbase, &r)) return false;
  }
  Cell* at = stack::top;
  if (++stack::top >= stack::end) stack::overflow();
  *at = r;
  if (chain) *stack::base = r;
  return true;
}

// The slot of the field named sym (canonical) in the context, tried first
// where a path found that name last: objects made from one prototype keep
// their words in the same slots.
u32 g_field_hints[256];
QEL_IMAGE_KEEP(g_field_hints);
inline i32 field_slot(u32 ctx, u32 sym) {
  u32& hint = g_field_hints[sym & 255];
  if (hint < context::word_count(ctx) && symbol::resolve(word::symbol_of(context::symbol_cell(ctx, hint))) == sym)
    return i32(hint);
  i32 i = context::find_word(ctx, sym, true);
  if (i >= 0) hint = u32(i);
  return i;
}

// The value a path of words reaches through objects and events, read as
// the reference's walk reads it; false when the walk would do more than
// read (a field missing or unset, another kind of value on the way, a
// function it would call, too little room on the arguments stack for the
// cells it pushes): the reference then takes the path from its start, which
// nothing here has changed.
bool read_data_path(const Cell* path, const Rec& R, Cell* out) {
  u32 node = series_node(path);
  u32 n = buffer_of(node)->used() / sizeof(Cell);
  // The walk pushes two cells an element and each step's value: where that
  // would not fit, the reference raises the overflow itself.
  if (n < 2 || n > MAX_PATH_WALK || stack::end - stack::top <= i64(3 * n)) return false;
  Cell head = buffer_of(node)->cells()[0];
  if (type_of(&head) != TYPE_WORD) return false;
  const Cell* vp = slot_of(&head, R);
  if (!vp) return false;
  Cell cur = *vp;
  for (u32 i = 1; i < n; ++i) {
    // Read at each step: an event's field may allocate, and the buffer move.
    if (i >= buffer_of(node)->used() / sizeof(Cell)) return false;
    Cell el = buffer_of(node)->cells()[i];
    if (type_of(&el) != TYPE_WORD) return false;
    if (type_of(&cur) == TYPE_OBJECT) {
      u32 ctx = object::context_of(&cur);
      i32 at = field_slot(ctx, symbol::resolve(word::symbol_of(&el)));
      const Cell* f = at < 0 ? nullptr : context::slot(ctx, u32(at));
      if (!f || type_of(f) == TYPE_UNSET) return false;
      cur = *f;
    } else if (type_of(&cur) == TYPE_EVENT) {
      u32 index = event::field_index(&el);
      if (!index) return false;
      Cell ev = cur;
      event::get_field(&ev, index, &cur);
    } else {
      return false;
    }
    if (is_any_function(type_of(&cur))) return false;
  }
  *out = cur;
  return true;
}

// The shape of the function a call whose record is dyn calls (pushed below
// its frame's base): built already, when the call was made.
inline const CallShape& called_shape() {
  const Cell* fn = stack::base - 1;
  Type t = type_of(fn);
  return call_shape(series_node(more_cell(fn, MORE_ARGS)), t == TYPE_NATIVE || t == TYPE_ACTION);
}

// Whether the function v takes the arguments of the call ci compiled for
// another one (ci.dyn_ok): as many, all evaluated, each of every type the
// compiled call's takes (a check that passes for the one passes for the
// other; one that fails asks v's descriptor), its descriptor built.
inline bool fits_call(const Cell* v, const CallInfo& ci) {
  Type t = type_of(v);
  if (!is_function_type(t)) return false;
  const Cell* desc = more_cell(v, MORE_ARGS);
  if (type_of(desc) != TYPE_BLOCK) return false;
  const CallShape& s = call_shape(series_node(desc), t == TYPE_NATIVE || t == TYPE_ACTION);
  if (!s.usable || s.args != ci.args) return false;
  for (u32 a = 0; a < s.args; ++a) {
    if (s.kind[a] != ARG_NORMAL || (ci.accepts[a] & ~s.accepts[a])) return false;
  }
  return true;
}

// Argument k of a call, of a type the compiled call does not take: refused,
// unless the call is dyn and the function called takes it.
[[gnu::noinline, gnu::cold]] void check_refused(const CallInfo& ci, u32 k, Type got, const Op* ops) {
  const Cell* name = &ops[g_recs[g_nrec - 1].op].d;
  if (g_recs[g_nrec - 1].dyn) check_shape_arg(called_shape(), k, got, stack::base - 1, name);
  else refuse_arg(ci, k, got, stack::base - 1, name);
}

// The type check of a call's argument that op pushed (a lone value).
[[gnu::always_inline]] inline void check_pushed(const Unit* u, const Op& op, const Op* ops, u32 arg) {
  Type got = type_of(stack::last());
  if (!((op.accepts >> (u32(got) & 63)) & 1)) [[unlikely]] check_refused(u->calls[op.e], arg, got, ops);
}
[[gnu::always_inline]] inline void check_pushed(const Unit* u, const Op& op, const Op* ops) {
  check_pushed(u, op, ops, op.k);
}

// A native's refinements all off (-1), four at a time: refs has room for
// three more than n.
[[gnu::always_inline]] inline void refinements_off(i32* refs, u32 n) {
  static constexpr i32 kOff[4] = {-1, -1, -1, -1};
  for (u32 k = 0; k < n; k += 4) std::memcpy(refs + k, kOff, sizeof kOff);
}

// The cells a function's frame holds for its refinements, all off: each
// flag false, each of their arguments none.
inline void push_fill(const CallInfo& ci) {
  for (u32 k = 0; k < ci.fill; ++k) {
    if ((ci.fill_false >> k) & 1) make_logic(stack::push(), false);
    else make_none(stack::push());
  }
}

// Whether the head word of a path and every field on the way still hold
// the values the walk was compiled for.
inline bool walk_holds(const PathWalk& w, const Rec& b) {
  const Cell* v = slot_of(&w.head, b);
  if (!v || !same(v, &w.values[0])) return false;
  for (u32 e = 1; e < w.length; ++e) {
    v = context::slot(object::context_of(&w.values[e - 1]), w.index[e]);
    if (!v || !same(v, &w.values[e])) return false;
  }
  return true;
}

// What a call whose record is dyn calls, read from the function's own
// descriptor when the call is made (nothing reads it once the function runs).
CallInfo g_called;

// The argument of a loop native that holds the body its loop op inlined.
inline u32 loop_body_arg(u32 native) {
  switch (native) {
    case natives::N_loop: case natives::N_while_: case natives::N_forall: return 1;
    case natives::N_repeat: case natives::N_foreach: case natives::N_remove_each: return 2;
    default: return 0;
  }
}

// The arguments of the loop native whose loop frame the record holds.
inline Cell* loop_args(const Rec& L) { return stack::bottom + stack::cbottom[L.me].prev_base; }

// What a call whose record is dyn calls: the function's own descriptor says
// it (no refinements from a path, nothing filled early).
[[gnu::noinline]] const CallInfo* called_info() {
  CallInfo& called = g_called;
  const Cell* fn = stack::base - 1;
  const CallShape& s = called_shape();
  switch (type_of(fn)) {
    case TYPE_NATIVE: called.kind = K_NATIVE; break;
    case TYPE_ACTION: called.kind = K_ACTION; break;
    case TYPE_FUNCTION: called.kind = K_FUNCTION; break;
    default: called.kind = K_ROUTINE; break;
  }
  if (called.kind == K_NATIVE || called.kind == K_ACTION) called.index = native::index_of(fn);
  called.native_refs = s.native_refs;
  called.dyn_ok = true;
  called.fill = s.fill;
  called.fill_false = s.fill_false;
  called.locals = s.locals;
  return &called;
}

// Statements of a block that its compiled code did not reach (an expression
// ended elsewhere than compiled, or the code changed), run as the reference
// runs them (out of the runner's loop: the uncommon road).
[[gnu::noinline]] Status run_rest(Unit* U, Rec& R) {
  Status st = 0;
  stack::reset();
  Code code = code_of(R);
  while (R.pos < tail_of(code)) {
    if (!U->library) set_series_index(g_current_code, i32(R.pos));
    st = eval_expression(code, R.pos);
    if (st) break;
    if (R.pos < tail_of(code)) stack::reset();
  }
  resumed(U);
  return st;
}

// An expression handed to the reference (op: the expression's first op),
// kept out of the runner's loop: it is the uncommon road, and its code there
// would cost the common ops their registers. Answers the expression's status.
[[gnu::noinline]] Status generic_expr(Unit* U, const Op* ops, Rec& R, const Op& op) {
  Code code = code_of(R);
  if ((op.flags & F_ARG) && R.pos >= tail_of(code)) {
    const Rec& C = g_recs[g_nrec - 1];
    const CallInfo& ci = U->calls[ops[C.op].k];
    Cell w = spec_word_for(stack::base - 1, C.dyn ? called_shape().word_index[op.k] : ci.word_index[op.k]);
    fire(Err::script_no_arg, &ops[C.op].d, &w);
  }
  Status st = eval_expression(code, R.pos, {.prefix = (op.flags & F_PREFIX) != 0, .sub = (op.flags & F_SUB) != 0});
  resumed(U);
  if (st) return st;
  if ((op.flags & F_CHECK) || op.accepts) check_pushed(U, op, ops);
  return 0;
}

// The operators after a value, as the reference applies them (out of the
// runner's loop, as generic_expr).
[[gnu::noinline]] Status generic_rest(Unit* U, Rec& R, const Op& op) {
  bool sub = (op.flags & F_SUB) != 0;
  Cell* entry = sub ? stack::top - 1 : stack::base;
  Status st = expression_rest(code_of(R), R.pos, {.sub = sub}, entry);
  resumed(U);
  return st;
}

// The loop. Answers when the run's own block ends. Each op ends by going to
// the next one's code (one indirect jump an op).
Status execute(Vm& vm) {
  Unit* U = vm.u;
  const Op* ops = U->ops.data();
  const Op* ip = ops + vm.pc;
  Status st = vm.st;
  u32 B = vm.b;
  Rec* R = B == NONE ? nullptr : g_recs + B;  // the current block's record
  bool dyn_entry = false;  // the call being opened calls another function than compiled for

  static const void* const kCode[] = {
      &&L_BLOCK, &&L_STMT, &&L_NEXT, &&L_END, &&L_CONST, &&L_WORD, &&L_GETW, &&L_LITW,
      &&L_GENERIC, &&L_SETWORD, &&L_PAREN, &&L_CALL, &&L_SETDONE, &&L_PARENDONE, &&L_ARGCHECK,
      &&L_INVOKE, &&L_BRANCH, &&L_CALLDONE, &&L_OP, &&L_OPDONE, &&L_NOOP, &&L_PURE, &&L_PURESET,
      &&L_QUOTE, &&L_LOOP, &&L_LOOPNEXT, &&L_LOOPCOND, &&L_LOOPBACK, &&L_LOOPDONE, &&L_PATHCALL,
      &&L_GETPATH, &&L_LITCALL, &&L_REFS, &&L_REFON, &&L_REFARG, &&L_REFCHECK, &&L_WALK, &&L_WSTMT,
      &&L_WTEST, &&L_WALKEND, &&L_SETPATH, &&L_SETPATHDONE};
  static_assert(sizeof kCode / sizeof kCode[0] == O_SETPATHDONE + 1);

#define NEXT() goto* kCode[ip->code]
#define GO(unit, pc)          \
  {                           \
    U = (unit);               \
    ops = U->ops.data();      \
    ip = ops + (pc);          \
    NEXT();                   \
  }
#define AT(pc)                \
  {                           \
    ip = ops + (pc);          \
    NEXT();                   \
  }
#define SET_BLOCK(b)                                \
  {                                                 \
    B = (b);                                        \
    R = B == NONE ? nullptr : g_recs + B;           \
  }
  // On a status: the innermost construct's closing op takes it; with no
  // construct of this run left, the run answers it.
#define PROPAGATE()                             \
  {                                             \
    if (g_nrec == vm.base) return st;           \
    const Rec& top_ = g_recs[g_nrec - 1];       \
    resumed(top_.unit);                         \
    GO(top_.unit, top_.done);                   \
  }
  // The frame of a construct whose record was just dropped closes with the
  // status (sub: its value was to be pushed): a status it does not take goes
  // on, else the run goes on with the next op.
#define CLOSE_FRAME_NEXT(sub)         \
  {                                   \
    st = close_frame(st, sub);        \
    if (st) PROPAGATE();              \
    ++ip;                             \
    NEXT();                           \
  }
  // An expression handed to the reference (op: the expression's first op).
#define GENERIC_EXPR(op)                                  \
  {                                                       \
    const Op& gop_ = (op);                                \
    u32 end_ = gop_.a;                                    \
    st = generic_expr(U, ops, *R, gop_);                  \
    if (st) PROPAGATE();                                  \
    AT(end_);                                             \
  }
  // A block the code runs (a paren, a branch, a loop's body): its own unit,
  // run from here, the code going on at ret_ after it. A block of one
  // frameless statement runs at once.
#define ENTER(block_, chain_, ret_, cache_, gen_)                           \
  {                                                                         \
    Cell b_ = (block_);                                                     \
    u32 r_ = (ret_);                                                        \
    Unit* c_ = (cache_);                                                    \
    if (!c_ || (gen_) != g_unit_gen || c_->epoch != code::epoch) {          \
      c_ = unit_for(&b_);                                                   \
      (cache_) = c_;                                                        \
      (gen_) = g_unit_gen;                                                  \
    }                                                                       \
    if (c_ && c_->one_pure && run_one_pure(c_, R ? R->fctx : 0, R ? R->fbase : nullptr, chain_)) AT(r_); \
    if (!c_) {                                                              \
      st = eval_block_general(&b_, chain_);                                 \
      resumed(U);                                                           \
      if (st) PROPAGATE();                                                  \
      AT(r_);                                                               \
    }                                                                       \
    vm.entry_block = b_;                                                    \
    vm.entry_chain = chain_;                                                \
    vm.entry_fctx = R ? R->fctx : 0;                                        \
    vm.entry_fbase = R ? R->fbase : nullptr;                                \
    vm.entry_ret_unit = U;                                                  \
    vm.entry_ret_pc = r_;                                                   \
    GO(c_, 0);                                                              \
  }
  // A guard failed: after a few, the unit is made again from the code and
  // the values its words hold now.
#define MISSED()                                \
  {                                             \
    if (++U->misses == MAX_MISSES) retire(U);   \
  }
  // The operators after a value, as the reference applies them.
#define GENERIC_REST(op)                                  \
  {                                                       \
    const Op& gop_ = (op);                                \
    u32 end_ = gop_.a;                                    \
    st = generic_rest(U, *R, gop_);                       \
    if (st) PROPAGATE();                                  \
    AT(end_);                                             \
  }

  NEXT();

L_BLOCK: {
  const Op& op = *ip;
  const UBlock& ub = U->blocks[op.k];
  bool main = op.flags & F_MAIN;
  u32 resume_at = 0;  // a statement the framed form goes on from
  // (a unit of one such statement was tried so wherever it is entered)
  if ((op.flags & F_PURE_BLOCK) && !(main && U->one_pure) && room_for_pure()) {
    // The block's statements without its frame.
    u32 fctx = main ? vm.entry_fctx : R->fctx;
    Cell* fbase = main ? vm.entry_fbase : R->fbase;
    bool chain = main ? vm.entry_chain : true;
    Cell r;
    make_unset(&r);
    u32 n = u32(ub.pure.size()), i = 0;
    for (; i < n; ++i) {
      const PureStmt& ps = ub.pure[i];
      if (!eval_pure(U, ps.expr, fctx, fbase, &r)) break;
      if (!pure_store(U, ps, fctx, fbase, &r)) break;
    }
    if (i == n) {
      Cell* at = stack::top;
      if (++stack::top >= stack::end) stack::overflow();
      *at = r;
      if (chain) *stack::base = r;
      st = 0;
      if (!main) AT(op.b);
      if (!vm.entry_ret_unit) return 0;
      GO(vm.entry_ret_unit, vm.entry_ret_pc);
    }
    resume_at = i ? ub.pure[i].pc : 0;
  }
  stack::mark_eval(&g_body_word);
  if (g_held_count >= MAX_HELD) stack::overflow();
  HeldEntry* e = g_held + g_held_count;
  e->block = main ? vm.entry_block : ub.value;
  e->saved_code = *g_current_code;
  u32 outer = B;
  Rec& N = push_rec(R_BLOCK);
  N.unit = U;
  N.done = op.a;
  N.chain = main ? vm.entry_chain : true;
  N.generic = false;
  N.owns = main;
  N.held = g_held_count++;
  N.node = ub.node;
  N.end = ub.count;
  N.pos = ub.start;
  N.blk = outer;
  if (main) {
    ++U->active;
    N.fctx = vm.entry_fctx;
    N.fbase = vm.entry_fbase;
    N.ret_unit = vm.entry_ret_unit;
    N.ret_pc = vm.entry_ret_pc;
  } else {
    N.fctx = R->fctx;
    N.fbase = R->fbase;
    N.ret_unit = U;
    N.ret_pc = op.b;
  }
  SET_BLOCK(u32(&N - g_recs));
  if (N.pos >= N.end) {
    make_unset(stack::base);
    stack::keep();
    st = 0;
    AT(op.a);
  }
  if (!U->library) copy_cell(&e->block, g_current_code);
  if (resume_at) {
    // The statements before it ran without the frame.
    N.pos = ops[resume_at].pos;
    AT(resume_at);
  }
  ++ip;
  NEXT();
}

L_STMT: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) {
    st = 0;
    AT(R->done);  // O_END runs what is left
  }
  if (!U->library) set_series_index(g_current_code, i32(op.pos));
  ++ip;
  NEXT();
}

L_NEXT: {
  if (R->kind == R_NEXT) return 0;  // the expression walked alone ended
  if (R->pos < tail(*R)) {
    stack::reset();
    ++ip;
    NEXT();
  }
  st = 0;
  AT(R->done);
}

L_END: {
  if (R->kind == R_NEXT) return st;  // the expression walked alone ended
  if (!st && R->pos < tail(*R)) [[unlikely]] st = run_rest(U, *R);
  st = take_return(st);
  if (st) stack::unwind();
  else if (R->chain) stack::unwind_last_copy();
  else stack::unwind_last();
  *g_current_code = g_held[R->held].saved_code;
  g_held_count = R->held;
  Unit* ret_unit = R->ret_unit;
  u32 ret_pc = R->ret_pc;
  Unit* own = R->owns ? R->unit : nullptr;
  SET_BLOCK(R->blk);
  --g_nrec;
  if (own) release(own);
  if (st) PROPAGATE();
  if (!ret_unit) return 0;
  resumed(ret_unit);  // the block ran other code
  GO(ret_unit, ret_pc);
}

L_CONST: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) GENERIC_EXPR(op);
  QEL_STEP(compiled, 1);
  place(&op.c, op.flags & F_SUB);
  ++R->pos;
  if (op.flags & F_CHECK) check_pushed(U, op, ops);
  ++ip;
  NEXT();
}

L_WORD: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) GENERIC_EXPR(op);
  Cell* vp = slot_of(&op.c, *R);
  if (!vp) vp = word_value(&op.c);
  switch (type_of(vp)) {
    case TYPE_UNSET: ++R->pos; fire(Err::script_no_value, &op.c);
    case TYPE_OP: ++R->pos; fire(Err::script_no_op_arg, &op.c);
    case TYPE_FUNCTION: case TYPE_ROUTINE: case TYPE_NATIVE: case TYPE_ACTION:
      MISSED();
      GENERIC_EXPR(op);
    default:
      break;
  }
  QEL_STEP(compiled, 1);
  place(vp, op.flags & F_SUB, true);
  ++R->pos;
  if (op.flags & F_CHECK) check_pushed(U, op, ops);
  ++ip;
  NEXT();
}

L_GETW: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) GENERIC_EXPR(op);
  QEL_STEP(compiled, 1);
  ++R->pos;
  Cell v = *word_value(&op.c);
  place(&v, op.flags & F_SUB);
  if (op.flags & F_CHECK) check_pushed(U, op, ops);
  ++ip;
  NEXT();
}

L_LITW: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) GENERIC_EXPR(op);
  QEL_STEP(compiled, 1);
  ++R->pos;
  place(&op.c, op.flags & F_SUB);
  if (op.flags & F_CHECK) check_pushed(U, op, ops);
  ++ip;
  NEXT();
}

L_GENERIC: {
  const Op& op = *ip;
  GENERIC_EXPR(op);
}

L_GETPATH: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) GENERIC_EXPR(op);
  Cell v;
  // Objects all the way: the slots where the fields were found last.
  const FieldPath& f = U->fields[op.b];
  bool read = stack::end - stack::top > i64(3 * f.length) && field_read(f, slot_of(&f.head, *R), &v) &&
              !is_any_function(type_of(&v));
  if (!read && !read_data_path(&op.c, *R, &v)) GENERIC_EXPR(op);
  QEL_STEP(compiled, 1);
  ++R->pos;
  place(&v, op.flags & F_SUB, true);
  if (op.flags & F_CHECK) check_pushed(U, op, ops);
  ++ip;
  NEXT();
}

L_SETWORD: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) GENERIC_EXPR(op);
  QEL_STEP(compiled, 1);
  ++R->pos;
  stack::mark_interp(&op.c);
  stack::push_cell(&op.c);
  if (R->pos >= tail(*R)) fire(Err::script_need_value, &op.c);
  push_set_rec(U, B, op);
  ++ip;
  NEXT();
}

L_SETDONE: {
  const Op& op = *ip;
  bool sub = g_recs[g_nrec - 1].sub;
  --g_nrec;
  if (st) CLOSE_FRAME_NEXT(sub);
  Cell* v = stack::last();
  if (type_of(v) == TYPE_UNSET) fire(Err::script_need_value, &op.c);
  Cell result = *v;
  if (Cell* slot = set_target(&op.c, R->fctx, R->fbase)) {
    *slot = result;
  } else {
    Cell w = op.c;
    word::set(&w, &result);
    resumed(U);
  }
  stack::unwind();
  place(&result, sub);
  ++ip;
  NEXT();
}

L_PAREN: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) GENERIC_EXPR(op);
  QEL_STEP(compiled, 1);
  ++R->pos;
  stack::mark_interp(&g_body_word);
  Rec& P = push_rec(R_PAREN);
  P.unit = U;
  P.blk = B;
  P.done = op.b;
  P.sub = op.flags & F_SUB;
  ENTER(op.c, true, op.b, op.unit_c, op.gen_c);
}

L_PARENDONE: {
  bool sub = g_recs[g_nrec - 1].sub;
  --g_nrec;
  CLOSE_FRAME_NEXT(sub);
}

L_CALL: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) GENERIC_EXPR(op);
  Cell* slot = slot_of(&op.d, *R);
  if (!slot || !same(slot, &op.c)) {
    if (slot && U->calls[op.k].dyn_ok && fits_call(slot, U->calls[op.k])) {
      // Another function of the same arguments: called as compiled, its
      // own descriptor read where the call needs it.
      ++R->pos;
      stack::push_cell(slot);
      dyn_entry = true;
      goto call_open;
    }
    MISSED();
    GENERIC_EXPR(op);
  }
  ++R->pos;
  stack::push_cell(slot);  // keeps the function reachable during the call
  goto call_open;
}

L_PATHCALL: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) GENERIC_EXPR(op);
  const PathWalk& w = U->walks[op.e];
  if (!walk_holds(w, *R)) {
    MISSED();
    GENERIC_EXPR(op);
  }
  // Where the reference's walk would not find room on the arguments stack,
  // it raises the overflow itself.
  if (stack::top + w.pushes() >= stack::end) [[unlikely]] GENERIC_EXPR(op);
  ++R->pos;
  stack::push_cell(&op.c);  // keeps the function reachable during the call
  goto call_open;
}

L_LITCALL: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) GENERIC_EXPR(op);
  ++R->pos;
  stack::push_cell(&op.c);  // keeps the function reachable during the call
  goto call_open;
}

// The call's frame and record, its function pushed (ip: its O_CALL,
// O_PATHCALL or O_LITCALL).
call_open: {
  QEL_STEP(compiled, 1);
  const Op& op = *ip;
  stack::mark(&op.d, type_of(stack::top - 1) == TYPE_FUNCTION ? stack::FRAME_INTERP_FUNC : stack::FRAME_INTERP);
  Rec& C = push_rec(R_CALL);
  C.dyn = dyn_entry;
  dyn_entry = false;
  C.unit = U;
  C.blk = B;
  C.done = op.b;
  C.sub = op.flags & F_SUB;
  C.op = u32(ip - ops);
  C.f = nullptr;
  ++ip;
  NEXT();
}

L_ARGCHECK: {
  const Op& op = *ip;
  u64 accepts = u64(op.a) | (u64(op.b) << 32);
  Type got = type_of(stack::last());
  if (!((accepts >> (u32(got) & 63)) & 1)) [[unlikely]] check_refused(U->calls[op.e], op.k, got, ops);
  ++ip;
  NEXT();
}

L_INVOKE: {
  Rec& C = g_recs[g_nrec - 1];
  const Op& cop = ops[C.op];
  const CallInfo* cip = &U->calls[cop.k];
  if (C.dyn) [[unlikely]] cip = called_info();
  const CallInfo& ci = *cip;
  i32 refs[MAX_REFINEMENTS + 3];
  if (ci.kind == K_NATIVE || ci.kind == K_ACTION) {
    refinements_off(refs, ci.native_refs);
    for (u32 j = 0; j < ci.path_refs; ++j) refs[ci.ref_index[j]] = ci.ref_at[j];
  } else {
    if (!ci.fill_early) push_fill(ci);
    if (ci.locals > 0) {
      make_logic(stack::push(), false);
      for (i32 l = 1; l < ci.locals; ++l) make_none(stack::push());
    }
  }
  st = 0;
  switch (ci.kind) {
    case K_NATIVE: st = natives::entry(ci.index)(refs); break;
    case K_ACTION: actions::entry(Action(ci.index))(refs); break;
    case K_ROUTINE: {
      Cell fn = *(stack::base - 1);
      call_routine(&fn);
      break;
    }
    case K_FUNCTION: {
      Cell fn = *(stack::base - 1);
      if (fn.header & (FLAG_TRACE | FLAG_NO_TRACE)) {
        st = call_function(&fn, 0, &cop.d, 0);
        break;
      }
      Cell body = *more_cell(&fn, MORE_BODY);
      Unit* callee = cop.unit_c;
      // (a call that may call other functions than compiled for caches the
      // unit of the last body it ran)
      bool known = callee && cop.gen_c == g_unit_gen && callee->epoch == code::epoch &&
                   type_of(&body) == TYPE_BLOCK &&
                   !(ci.dyn_ok && (callee->blocks[0].node != series_node(&body) ||
                                   i32(callee->blocks[0].start) != std::max(series_index(&body), 0)));
      // A body of one frameless statement whose unit is known runs at once,
      // before the context is bound: it reads the arguments from the frame,
      // and nothing can look at the context while it runs.
      if (known && callee->one_pure) {
        interrupt::poll();
        if (run_one_pure(callee, function::context_of(&fn), stack::base, true)) AT(C.done);
      }
      // The context is bound first: the body's unit, made at its first
      // call, sees what the arguments hold (a function given as one).
      stack::Frame* f = bind_frame_context(function::context_of(&fn));
      if (!known) {
        callee = type_of(&body) == TYPE_BLOCK ? unit_for_body(&body) : nullptr;
        cop.unit_c = callee;
        cop.gen_c = g_unit_gen;
        if (!callee) {
          st = run_function(&fn, f, &cop.d);
          break;
        }
      }
      // The body runs here: its block's record follows the call's (a body
      // of one frameless statement runs at once).
      if (!known || !callee->one_pure) {
        interrupt::poll();
        if (callee->one_pure && run_one_pure(callee, f->fctx, stack::base, true)) AT(C.done);
      }
      C.f = f;
      vm.entry_block = body;
      vm.entry_chain = true;
      vm.entry_fctx = f->fctx;
      vm.entry_fbase = stack::base;
      vm.entry_ret_unit = U;
      vm.entry_ret_pc = C.done;
      GO(callee, 0);
    }
  }
  AT(C.done);
}

L_BRANCH: {
  const Op& op = *ip;
  const Rec& C = g_recs[g_nrec - 1];
  // A logic! condition, the common one, chosen here; anything else (unset,
  // which either refuses and if and unless take as true) by the natives' rule.
  i32 at = type_of(stack::base) == TYPE_LOGIC
               ? (logic::is_false(stack::base) ? (op.k == natives::N_either ? 2 : op.k == natives::N_if_ ? -1 : 1)
                                               : (op.k == natives::N_unless ? -1 : 1))
               : natives::chosen_branch(op.k);
  if (at < 0) {
    make_none(stack::base);
    stack::keep();
    st = 0;
    AT(C.done);
  }
  Cell branch = stack::base[at];
  const Cell* expected = at == 1 ? &op.c : &op.d;
  if (R->generic || !same(&branch, expected)) {
    // Another block than the code holds (its code changed): as the native runs it.
    u32 done = C.done;
    st = eval_block(&branch, true);
    resumed(U);
    AT(done);
  }
  if (expected == &op.c) ENTER(branch, true, C.done, op.unit_c, op.gen_c);
  ENTER(branch, true, C.done, op.unit_d, op.gen_d);
}

L_CALLDONE: {
  bool sub = g_recs[g_nrec - 1].sub;
  --g_nrec;
  st = close_call(take_return(st), stack::base - 1, sub);
  if (st) PROPAGATE();
  resumed(U);
  ++ip;
  NEXT();
}

L_OP: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) GENERIC_REST(op);
  Cell* slot = slot_of(&op.d, *R);
  if (!slot || !same(slot, &op.c)) {
    MISSED();
    GENERIC_REST(op);
  }
  ++R->pos;
  bool sub = op.flags & F_SUB;
  Cell* entry_top = sub ? stack::top - 1 : stack::base;
  Cell left = *entry_top;
  stack::top = entry_top;
  stack::mark(&op.d, stack::FRAME_INTERP);
  stack::push_cell(&left);
  const CallInfo& ci = U->calls[op.b];
  if (!((ci.accepts[0] >> (u32(type_of(&left)) & 63)) & 1)) {
    Cell fn = op_function(&op.c);
    refuse_arg(ci, 0, type_of(&left), &fn, &op.d);
  }
  if (R->pos >= tail(*R)) [[unlikely]] {
    Cell fn = op_function(&op.c);
    Cell w = spec_word_for(&fn, ci.word_index[1]);
    fire(Err::script_no_arg, &op.d, &w);
  }
  Rec& I = push_rec(R_INFIX);
  I.unit = U;
  I.blk = B;
  I.done = op.e;
  I.sub = sub;
  I.op = u32(ip - ops);
  ++ip;
  NEXT();
}

L_OPDONE: {
  const Op& op = *ip;
  const Rec& I = g_recs[g_nrec - 1];
  const Op& oop = ops[I.op];
  bool sub = I.sub;
  --g_nrec;
  if (st) {
    st = close_call(take_return(st), stack::base, sub);
    PROPAGATE();
  }
  Cell* l = stack::base;
  const CallInfo& ci = U->calls[op.b];
  Type rt = type_of(l + 1);
  if (!((ci.accepts[1] >> (u32(rt) & 63)) & 1)) {
    Cell fn = op_function(&oop.c);
    refuse_arg(ci, 1, rt, &fn, &oop.d);
  }
  if (Cell r; plain_combine(op.k, l, l + 1, &r)) {
    *l = r;
  } else {
    i32 refs[MAX_REFINEMENTS + 3];
    refinements_off(refs, ci.native_refs);
    if (ci.kind == K_ACTION) actions::entry(Action(ci.index))(refs);
    else st = natives::entry(ci.index)(refs);
    resumed(U);
  }
  st = close_call(take_return(st), stack::base, sub);
  if (st) PROPAGATE();
  ++ip;
  NEXT();
}

L_NOOP: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) GENERIC_REST(op);
  Cell* slot = slot_of(&op.d, *R);
  if (slot && type_of(slot) == TYPE_OP) GENERIC_REST(op);
  ++ip;
  NEXT();
}

L_PURE: {
  const Op& op = *ip;
  if (!R->generic && R->pos == op.pos && room_for_pure()) {
    Cell r;
    if (eval_pure(U, op.k, R->fctx, R->fbase, &r)) {
      place(&r, op.flags & F_SUB);
      R->pos = op.b;
      if (op.flags & F_CHECK) check_pushed(U, op, ops, op.spare);  // spare: the argument
      AT(op.a);
    }
  }
  ++ip;
  NEXT();
}

L_PURESET: {
  const Op& op = *ip;
  if (!R->generic && R->pos == op.pos && room_for_pure()) {
    Cell r;
    if (eval_pure(U, op.k, R->fctx, R->fbase, &r)) {
      PureStmt ps{op.k, 0};
      if (op.e) ps.field = op.e - 1;
      else ps.set = true, ps.set_word = op.c;
      if (pure_store(U, ps, R->fctx, R->fbase, &r)) {
        place(&r, op.flags & F_SUB);
        R->pos = op.b;
        AT(op.a);
      }
    }
  }
  ++ip;
  NEXT();
}

L_SETPATH: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) GENERIC_EXPR(op);
  QEL_STEP(compiled, 1);
  ++R->pos;
  // (a missing value is refused before the frame opens, where a set-word
  // refuses it inside its frame: as the reference does each)
  if (R->pos >= tail(*R)) fire(Err::script_need_value, &op.c);
  stack::mark_interp(&g_set_path_word);
  push_set_rec(U, B, op);
  ++ip;
  NEXT();
}

L_SETPATHDONE: {
  const Op& op = *ip;
  bool sub = g_recs[g_nrec - 1].sub;
  --g_nrec;
  if (st) CLOSE_FRAME_NEXT(sub);
  Cell v = *stack::last();
  // An object's field: written in place when that is all the set does (the
  // path's cells unchanged since it was compiled).
  if (op.e != ~0u && !U->retired && U->epoch == code::epoch) {
    const FieldPath& f = U->fields[op.e];
    if (Cell* slot = field_target(f, slot_of(&f.head, *R))) {
      copy_cell(&v, slot);
      stack::unwind();
      place(&v, sub);
      ++ip;
      NEXT();
    }
  }
  // Anything else as the reference sets it.
  copy_cell(&v, stack::base);
  stack::keep();
  Cell path = op.c;
  u32 node = series_node(&path);
  Code path_code{&path, node, u32(buffer_of(node)->used() / sizeof(Cell))};
  u32 unused = 0;
  st = eval_path(&path, path_code, unused, true, false, false, false);
  resumed(U);
  if (st) CLOSE_FRAME_NEXT(sub);
  close_with(&v, sub);
  ++ip;
  NEXT();
}

L_QUOTE: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos || (op.flags & F_EVALUATES)) {
    const CallInfo& ci = U->calls[op.e];
    Code code = code_of(*R);
    if (R->pos >= tail_of(code)) {
      // As the reference fetches an argument at the end of the code.
      if (!(op.flags & F_LITERAL) && ((ci.accepts[op.k] >> TYPE_UNSET) & 1)) {
        make_unset(stack::push());
        check_pushed(U, op, ops);
        ++ip;
        NEXT();
      }
      Cell w = spec_word_for(stack::base - 1, ci.word_index[op.k]);
      fire(Err::script_no_arg, &ops[g_recs[g_nrec - 1].op].d, &w);
    }
    st = fetch_unevaluated(code, R->pos, (op.flags & F_LITERAL) ? ARG_LITERAL : ARG_QUOTED);
    resumed(U);
    if (st) PROPAGATE();
    check_pushed(U, op, ops);
    ++ip;
    NEXT();
  }
  stack::push_cell(&op.c);
  ++R->pos;
  check_pushed(U, op, ops);
  ++ip;
  NEXT();
}

  // ---- a function's refinements named by the path of its call ----

L_REFS: {
  push_fill(U->calls[ip->k]);
  ++ip;
  NEXT();
}

L_REFON: {
  make_logic(stack::base + ip->a, true);
  ++ip;
  NEXT();
}

L_REFARG: {
  Cell v = *stack::last();
  stack::pop(1);
  copy_cell(&v, stack::base + ip->a);
  ++ip;
  NEXT();
}

L_REFCHECK: {
  const Op& op = *ip;
  if (!U->retired && U->epoch == code::epoch) [[likely]] {
    ++ip;
    NEXT();
  }
  Rec& C = g_recs[g_nrec - 1];
  const Op& cop = ops[C.op];
  const CallInfo& ci = U->calls[cop.k];
  const UBlock& pb = U->blocks[ci.path_block];
  const mem::Buffer* buf = buffer_of(pb.node);
  u32 len = buf->used() / sizeof(Cell);
  if (len == pb.count && std::memcmp(buf->cells(), pb.cells.data(), len * sizeof(Cell)) == 0) {
    ++ip;
    NEXT();
  }
  // The path changed while the call's arguments were fetched: its
  // refinements from the spare-th on are taken as the reference takes them
  // (its length read after the main arguments), and the call made here.
  u32 taken = op.spare;
  bool seen[MAX_REFINEMENTS] = {};
  i32 refs[MAX_REFINEMENTS];
  for (u32 k = 0; k < ci.native_refs; ++k) refs[k] = -1;
  for (u32 j = 0; j < taken; ++j) {
    seen[ci.ref_index[j]] = true;
    refs[ci.ref_index[j]] = ci.ref_at[j];
  }
  Cell fn = *(stack::base - 1);
  Cell path = pb.value;
  st = path_refinements_from(&fn, code_of(*R), R->pos, &path, taken == 0 ? len : pb.count, 1 + taken, &cop.d,
                             seen, refs);
  resumed(U);
  if (st) PROPAGATE();
  switch (ci.kind) {
    case K_NATIVE: st = natives::entry(ci.index)(refs); break;
    case K_ACTION: actions::entry(Action(ci.index))(refs); break;
    default:
      if (ci.locals > 0) {
        make_logic(stack::push(), false);
        for (i32 l = 1; l < ci.locals; ++l) make_none(stack::push());
      }
      st = call_function(&fn, 0, &cop.d, 0);
      break;
  }
  AT(C.done);
}

  // ---- any and all with their block inlined (eval/natives_control.cpp) ----

L_WALK: {
  const Op& op = *ip;
  if (R->generic || !same(stack::base, &op.c)) AT(op.spare);
  const UBlock& ub = U->blocks[op.a];
  u32 outer = B;
  Rec& W = push_rec(R_WALK);
  W.unit = U;
  W.done = op.e;
  W.blk = outer;
  W.op = u32(ip - ops);
  W.generic = false;
  W.owns = false;
  W.held = R->held;
  W.node = ub.node;
  W.end = ub.count;
  W.pos = ub.start;
  W.fctx = R->fctx;
  W.fbase = R->fbase;
  W.walked = op.c;
  if (op.k == natives::N_reduce) {
    // reduce's new block, in the cell it pushes for it
    Cell* out = stack::top;
    make_none(stack::push());
    W.cells = u32(out - stack::bottom);
    // As many cells as the block has expressions (a block built of calls
    // holds far fewer values than cells); the new block grows if the walk
    // leaves the compiled form and finds more.
    natives::reduce_begin(out, op.b);
  }
  SET_BLOCK(u32(&W - g_recs));
  ++ip;
  NEXT();
}

L_WSTMT: {
  if (R->generic || R->pos != ip->pos) goto walk_rest;
  stack::mark_interp(&g_body_word);
  ++ip;
  NEXT();
}

L_WTEST: {
  // The expression's frame closes, its value in the native's base (reduce:
  // pushed, appended to the new block, dropped).
  Cell r = *stack::base;
  stack::unwind();
  st = 0;
  if (ip->k == natives::N_reduce) {
    place(&r, true);
    natives::reduce_append(stack::bottom + R->cells);
    stack::pop(1);
    ++ip;
    NEXT();
  }
  place(&r, false);
  bool falsy = logic::is_false(stack::base);
  if (ip->k == natives::N_any ? !falsy : falsy) goto walk_decided;
  ++ip;
  NEXT();
}

L_WALKEND: {
  if (st) {
    // A status left an expression: its frame closes, the status goes on.
    bool reduce = ops[R->op].k == natives::N_reduce;
    st = close_frame(st, reduce);
    if (st) {
      SET_BLOCK(R->blk);
      --g_nrec;
      PROPAGATE();
    }
    if (reduce) {
      natives::reduce_append(stack::bottom + R->cells);
      stack::pop(1);
      goto walk_rest;
    }
    bool falsy = logic::is_false(stack::base);
    if (ops[R->op].k == natives::N_any ? !falsy : falsy) goto walk_decided;
  }
  goto walk_rest;
}

// What is left of the walk, as the native walks it (the code changed, or
// an expression ended elsewhere than compiled): from R->pos to the tail.
walk_rest: {
  u32 native = ops[R->op].k;
  bool any_ = native == natives::N_any;
  Code code = code_of(*R);
  while (R->pos < tail_of(code)) {
    st = eval_next(code, R->pos, native == natives::N_reduce);
    resumed(U);
    if (st) {
      SET_BLOCK(R->blk);
      --g_nrec;
      PROPAGATE();
    }
    if (native == natives::N_reduce) {
      natives::reduce_append(stack::bottom + R->cells);
      stack::pop(1);
      continue;
    }
    bool falsy = logic::is_false(stack::base);
    if (any_ ? !falsy : falsy) goto walk_decided;
  }
  // The block ran out: any answers none, all its last value, reduce its
  // new block.
  if (any_) make_none(stack::base);
  if (native == natives::N_reduce) copy_cell(stack::bottom + R->cells, stack::base);
  stack::keep();
  SET_BLOCK(R->blk);
  --g_nrec;
  st = 0;
  AT(g_recs[g_nrec - 1].done);
}

// A value decided the walk: any answers it, all none.
walk_decided: {
  if (ops[R->op].k == natives::N_all) make_none(stack::base);
  stack::keep();
  SET_BLOCK(R->blk);
  --g_nrec;
  st = 0;
  AT(g_recs[g_nrec - 1].done);
}

  // ---- inlined loops: the loop natives' steps (eval/natives_loop.cpp) ----

L_LOOP: {
  const Op& op = *ip;
  Cell* args = stack::base;
  u32 native = op.k;
  // The blocks the loop runs must be the inlined ones.
  const Cell* body = args + loop_body_arg(native);
  if (R->generic || !same(body, &op.c) || (native == natives::N_while_ && !same(args, &op.d))) AT(op.spare);
  i32 count = 0;
  u32 cells = 0;
  switch (native) {
    case natives::N_loop: case natives::N_repeat: {
      Cell* n = native == natives::N_loop ? args : args + 1;
      count = natives::loop_count(n);
      if (native == natives::N_repeat) make_integer(args + 1, count);
      if (count < 1) {
        make_none(stack::base);
        stack::keep();
        st = 0;
        AT(g_recs[g_nrec - 1].done);
      }
      break;
    }
    case natives::N_foreach: case natives::N_remove_each:
      // The walk's cells (its copy of the series, its words), below the loop frame.
      count = natives::walk_begin(args, native == natives::N_foreach);
      cells = u32(stack::top - 2 - stack::bottom);
      break;
    case natives::N_forall:
      natives::forall_begin(args);
      cells = u32(stack::top - 1 - stack::bottom);
      break;
    default:
      break;
  }
  stack::mark_loop(words::cell(words::W_BODY_TAG));
  make_unset(stack::push());
  Rec& L = push_rec(R_LOOP);
  L.unit = U;
  L.done = op.e;
  L.blk = B;
  L.op = u32(ip - ops);
  L.me = u32(stack::ctop - 1 - stack::cbottom);
  L.count = count;
  L.passes = 0;
  L.cells = cells;
  L.in_cond = false;
  L.landed = false;
  L.broke = false;
  if (native == natives::N_forall && !natives::forall_any(stack::bottom + cells)) {
    L.broke = true;  // no pass: the word is left as it is
    goto loop_exit;
  }
  ++ip;
  NEXT();
}

L_LOOPNEXT: {
  Rec& L = g_recs[g_nrec - 1];
  const Op& lop = ops[L.op];
  // The loop's step, as its native takes it before each pass (loop, the
  // most common, tested first).
  if (lop.k == natives::N_loop) {
    if (L.passes == L.count) goto loop_exit;
    ++L.passes;
  } else switch (lop.k) {
    case natives::N_repeat: {
      if (L.passes >= L.count) goto loop_exit;
      // The word is written as a set-word would be when that is all setting
      // it does; otherwise the native's pass sets it (it may run code).
      Cell* args = loop_args(L);
      if (Cell* slot = set_target(args, R->fctx, R->fbase)) {
        *slot = *make_integer(args + 1, ++L.passes);
        break;
      }
      natives::repeat_pass(args, ++L.passes);
      resumed(U);
      break;
    }
    case natives::N_foreach: {
      Cell* args = loop_args(L);
      Cell* cells = stack::bottom + L.cells;
      Cell word;
      if (const Cell* element = natives::walk_next_cell(args, cells, L.count, &word)) {
        if (Cell* slot = set_target(&word, R->fctx, R->fbase)) {
          *slot = *element;
        } else {
          word::set(&word, element);
          resumed(U);
        }
        break;
      }
      i32 visited = natives::walk_step(args, cells, L.count);
      resumed(U);
      if (!visited) goto loop_exit;
      break;
    }
    case natives::N_remove_each: {
      Cell* cells = stack::bottom + L.cells;
      L.at = series_index(cells);
      L.visited = natives::walk_step(loop_args(L), cells, L.count);
      resumed(U);
      if (!L.visited) goto loop_exit;
      break;
    }
    case natives::N_forall:
      if (L.passes++ > 0) {
        bool more = natives::forall_next(loop_args(L), stack::bottom + L.cells);
        resumed(U);
        if (!more) goto loop_exit;
      }
      break;
    default:
      break;
  }
  interrupt::poll();
  stack::keep();
  if (lop.k == natives::N_while_) {
    L.in_cond = true;
    ENTER(lop.d, true, L.op + 2, lop.unit_d, lop.gen_d);
  }
  ENTER(lop.c, true, L.op + 3, lop.unit_c, lop.gen_c);
}

L_LOOPCOND: {
  Rec& L = g_recs[g_nrec - 1];
  L.in_cond = false;
  if (!logic::true_base()) goto loop_exit;
  stack::keep();
  ENTER(ops[L.op].c, true, L.op + 3, ops[L.op].unit_c, ops[L.op].gen_c);
}

L_LOOPBACK: {
  Rec& L = g_recs[g_nrec - 1];
  // (tested one by one: most loops have nothing to do here)
  u32 native = ops[L.op].k;
  if (native == natives::N_until) {
    if (logic::true_base()) goto loop_exit;
  } else if (native == natives::N_remove_each) {
    // A truthy body removes the elements just visited.
    if (logic::true_base()) {
      natives::remove_visited(stack::bottom + L.cells, L.at, L.visited);
      resumed(U);
    }
  }
  AT(L.op + 1);  // the next pass
}

L_LOOPDONE: {
  Rec& L = g_recs[g_nrec - 1];
  bool brk;
  if (L.landed) {
    L.landed = false;
    brk = L.landed_break;
  } else if ((st == THROW_BREAK || st == THROW_CONTINUE) && u32(pending_target) == L.me) {
    brk = st == THROW_BREAK;
    if (brk) copy_cell(pending_value(), stack::base);
    else make_unset(stack::base);
    stack::keep();
    st = 0;
  } else {
    // Any other status goes on, the loop frame closed.
    stack::unwind();
    --g_nrec;
    PROPAGATE();
  }
  // A break or continue in while's condition would aim at the loop.
  if (L.in_cond) fire(Err::throw_while_cond);
  if (brk) {
    L.broke = true;
    goto loop_exit;
  }
  AT(L.op + 1);
}

loop_exit: {
  // The loop frame closes: its base cell (the last body value, or the break
  // value) is the native's result; while answers unset, remove-each that
  // ran to its end its series, forall that ran to its end sets its word back
  // to the series at its start first.
  const Rec& L = g_recs[g_nrec - 1];
  switch (ops[L.op].k) {
    case natives::N_while_:
      stack::unwind();
      make_unset(stack::base);
      break;
    case natives::N_remove_each:
      if (L.broke) {
        stack::unwind_last_copy();
      } else {
        stack::unwind();
        copy_cell(stack::base + 1, stack::base);
      }
      break;
    case natives::N_forall:
      if (!L.broke) {
        natives::forall_end(loop_args(L), stack::bottom + L.cells);
        resumed(U);
      }
      stack::unwind_last_copy();
      break;
    default:
      stack::unwind_last_copy();
      break;
  }
  stack::keep();
  --g_nrec;
  st = 0;
  AT(g_recs[g_nrec - 1].done);
}

#undef NEXT
#undef GO
#undef AT
#undef SET_BLOCK
#undef PROPAGATE
#undef CLOSE_FRAME_NEXT
#undef GENERIC_EXPR
#undef GENERIC_REST
#undef ENTER
#undef MISSED
}

}  // namespace

namespace {

// Runs the run's ops until its own code ends, taking the transfers that
// land on its records.
Status run_vm(Vm& vm) {
  for (;;) {
    try {
      return execute(vm);
    } catch (const Transfer& t) {
      // A return or exit sent as an exception lands on the call of a
      // compiled function whose frame it names (as run_function_body's catch
      // takes it); anything else leaves the run, its records dropped.
      // A break or continue sent that way lands on an inlined loop whose
      // frame it names (as the loop native's catch takes it).
      u32 i = g_nrec;
      for (; i > vm.base; --i) {
        const Rec& r = g_recs[i - 1];
        if (r.kind == R_CALL && r.f && landed_return(t, r.f)) break;
        if (r.kind == R_LOOP && (t.code == THROW_BREAK || t.code == THROW_CONTINUE) &&
            stack::ctop > stack::cbottom && u32(stack::ctop - 1 - stack::cbottom) == r.me) {
          break;
        }
      }
      drop_records(i);
      if (i == vm.base) throw;
      runtime::rt.thrown = 0;
      Rec& C = g_recs[i - 1];
      if (C.kind == R_LOOP) {
        C.landed = true;
        C.landed_break = t.code == THROW_BREAK;
        if (!C.landed_break) make_unset(stack::base);
      }
      stack::keep();
      vm.u = C.unit;
      vm.pc = C.done;
      vm.st = 0;
      vm.b = C.blk;
    } catch (...) {
      drop_records(vm.base);
      throw;
    }
  }
}

}  // namespace

Status run(Unit* u, const Cell* block, bool chain, u32 fctx, Cell* fbase) {
  Vm vm;
  vm.u = u;
  vm.pc = 0;
  vm.st = 0;
  vm.b = NONE;
  vm.base = g_nrec;
  vm.entry_block = *block;
  vm.entry_chain = chain;
  vm.entry_fctx = fctx;
  vm.entry_fbase = fbase;
  vm.entry_ret_unit = nullptr;
  vm.entry_ret_pc = 0;
  if (u->one_pure && run_one_pure(u, fctx, fbase, chain)) return 0;
  return run_vm(vm);
}

Status eval_next(Unit* u, const Code& code, u32& pos, bool sub) {
  const UBlock& ub = u->blocks[0];
  auto it = std::lower_bound(ub.stmt_pos.begin(), ub.stmt_pos.end(), pos);
  if (it == ub.stmt_pos.end() || *it != pos || code.end != ub.count) return eval_next_reference(code, pos, sub);
  u32 pc = ub.stmt_pc[u32(it - ub.stmt_pos.begin())];
  stack::mark_interp(&g_body_word);
  Rec& W = push_rec(R_NEXT);
  W.unit = u;
  W.done = 0;
  W.blk = NONE;
  W.generic = false;
  W.owns = false;
  W.node = code.node;
  W.end = code.end;
  W.pos = pos;
  W.fctx = 0;
  W.fbase = nullptr;
  W.walked = *code.block;
  ++u->active;
  Vm vm;
  vm.u = u;
  vm.pc = pc;
  vm.st = 0;
  vm.b = g_nrec - 1;
  vm.base = g_nrec;  // the expression's own record is this run's
  vm.entry_ret_unit = nullptr;
  Status st;
  try {
    st = run_vm(vm);
  } catch (...) {
    drop_records(vm.base - 1);
    release(u);
    throw;
  }
  pos = g_recs[g_nrec - 1].pos;
  --g_nrec;
  release(u);
  return close_frame(st, sub);
}

namespace {
template <class T>
void pin_all(const std::vector<T>& v) {
  gc::pin_words(v.data(), v.size() * sizeof(T));
}

// Running compiled code names nodes in its records and in the units it runs
// (blocks, the cells read from them, values its guards compare, descriptors),
// where the collector cannot rewrite them: those nodes stay where they are.
// The blocks that walks run are marked: nothing else may hold them.
void pin_running() {
  for (u32 i = 0; i < g_nrec; ++i) {
    if (g_recs[i].kind == R_WALK || g_recs[i].kind == R_NEXT) gc::mark_cell(&g_recs[i].walked);
  }
  if (!gc::moving_planned() || g_nrec == 0) return;
  gc::pin_words(g_recs, g_nrec * sizeof(Rec));
  std::vector<const Unit*> seen;
  for (u32 i = 0; i < g_nrec; ++i) {
    // (every record names the unit whose ops it runs, which is running)
    const Unit* u = g_recs[i].unit;
    if (!u || std::find(seen.begin(), seen.end(), u) != seen.end()) continue;
    seen.push_back(u);
    {
      pin_all(u->ops);
      pin_all(u->blocks);
      for (const UBlock& b : u->blocks) {
        pin_all(b.cells);
        pin_all(b.pure);
      }
      pin_all(u->calls);
      pin_all(u->pures);
      for (const PureExpr& e : u->pures) pin_all(e.steps);
      pin_all(u->pcode);
      pin_all(u->bins);
      pin_all(u->walks);
    }
  }
}
}  // namespace

void init() {
  if (!g_recs) {
    g_recs = static_cast<Rec*>(std::malloc(sizeof(Rec) * MAX_RECS));
    if (!g_recs) runtime::sys_quit(1);
    gc::add_sweep_callback(sweep_units);
    gc::add_moved_callback(forget_nodes);
    gc::add_mark_callback(pin_running);
  }
  g_nrec = 0;
}

}  // namespace qel::interp::compiled