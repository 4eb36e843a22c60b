// The compiled form of code (eval/interpreter_compiled.hpp): units, the
// compiler that reads a block into operations, and the runner.
#include "eval/interpreter_compiled.hpp"

#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "datatypes/logic.hpp"
#include "datatypes/native.hpp"
#include "eval/interpreter_internal.hpp"
#include "eval/natives.hpp"
#include "eval/transfers.hpp"
#include "runtime/actions.hpp"
#include "runtime/code_epoch.hpp"
#include "runtime/collector.hpp"
#include "runtime/config.hpp"
#include "runtime/startup.hpp"

namespace qel::interp::compiled {

using namespace detail;

namespace {

// ---- units ------------------------------------------------------------------------

enum OpCode : u8 {
  // blocks
  O_BLOCK,      // opens a block: frame, held block, current code (k: the unit's block; a: its O_END; b: where the code goes on after it)
  O_STMT,       // a statement begins at pos
  O_NEXT,       // a statement ended: the frame is emptied when more follows, else on to O_END
  O_END,        // the block ends (statements left over run as the reference runs them)
  // the first value of an expression at pos (a: the op after the whole expression)
  O_CONST,      // c, placed as it is
  O_WORD,       // c: a word compiled as data
  O_GETW,       // c: the word of a get-word
  O_LITW,       // c: the word of a lit-word, placed as it is
  O_GENERIC,    // the expression as the reference evaluates it
  O_SET,        // c: a set-word; its value's expression follows (b: its O_SETDONE)
  O_PAREN,      // its block follows (b: its O_PARENDONE)
  O_CALL,       // c: the function the word d held; k: its call; the arguments follow (b: its O_CALLDONE)
  // the ends of constructs
  O_SETDONE,
  O_PARENDONE,
  O_ARGCHECK,   // k: the argument just fetched is of a type the function takes
  O_INVOKE,     // the arguments are in: the call runs
  O_BRANCH,     // either, if, unless with literal blocks (k: the native; c, d: the blocks; a, b: their O_BLOCKs)
  O_CALLDONE,
  // infix operators after a value (a: the op after the whole expression)
  O_OP,         // pos: the word d naming the operator c (k: its operation; b: its call); the right operand follows (e: its O_OPDONE)
  O_OPDONE,
  O_NOOP,       // pos: the word d follows the value: when it names an operator now, the reference applies it
};

// Operation flags.
constexpr u8 F_SUB = 1;     // the value is pushed (an argument or operand), else left in the base cell
constexpr u8 F_PREFIX = 2;  // no infix operator is applied after the value (an operand)
constexpr u8 F_ARG = 4;     // a call's argument k: at the end of the code, no-arg
constexpr u8 F_MAIN = 8;    // O_BLOCK: the unit's own block (the others are inlined: parens, branches)

struct Op {
  u8 code;
  u8 flags;
  u16 k;
  u32 pos;
  u32 a = 0, b = 0, e = 0;
  u32 spare = 0;
  Cell c{}, d{};
};

// A block whose code a unit runs: its series from start to count (the
// length it had when it was read: a block grown since runs only as far as
// it was read), the cells it held then, and the value that runs it.
struct UBlock {
  u32 node = 0;
  u32 start = 0;
  u32 count = 0;
  Cell value{};
  std::vector<Cell> cells;  // cells[i] is the cell at start + i
};

enum CallKind : u8 { K_NATIVE, K_ACTION, K_FUNCTION, K_ROUTINE };

// What a call compiled for a function value needs of its descriptor.
struct CallInfo {
  CallKind kind = K_NATIVE;
  u32 index = 0;          // natives and actions: the entry
  u32 desc = 0;           // the descriptor's node
  u8 args = 0;
  u8 native_refs = 0;
  u8 fill = 0;
  u64 fill_false = 0;
  i32 locals = 0;
  u8 word_index[SHAPE_ARGS] = {};
  u64 accepts[SHAPE_ARGS] = {};
};

}  // namespace

struct Unit {
  std::vector<Op> ops;
  std::vector<UBlock> blocks;  // blocks[0]: the unit's own block
  std::vector<CallInfo> calls;
  u32 epoch = 0;     // the code epoch its cells were last found unchanged at
  u32 active = 0;    // activations running it
  bool retired = false;  // left out of the cache: deleted when no activation runs it
  bool library = false;  // library code: its blocks leave the caller's code as the current code
};

namespace {

// ---- the cache of units ---------------------------------------------------------------

struct Entry {
  Unit* unit = nullptr;
  u16 runs = 0;      // evaluations seen before the unit was made
  u16 made = 0;      // units made for the block (changed code makes a new one)
  bool never = false;  // the block is left to the reference
};
constexpr u32 MAX_MADE = 8;      // a block whose code keeps changing stays with the reference
constexpr u32 MAX_CELLS = 4096;  // longer blocks (data run once, mostly) stay with the reference
constexpr u32 MAX_NESTING = 48;  // blocks inlined in blocks (parens, branches)

inline u64 key_of(u32 node, u32 start) { return (u64(node) << 32) | start; }

std::unordered_map<u64, Entry> g_cache;

// A small table in front of the cache: one probe finds the units in use.
struct Front {
  u32 node = 0, start = 0;
  Unit* unit = nullptr;
};
constexpr u32 FRONT_BITS = 9;
Front g_front[1u << FRONT_BITS];
inline Front& front_of(u32 node, u32 start) {
  return g_front[((node >> 3) ^ (node >> 12) ^ (start << 5)) & ((1u << FRONT_BITS) - 1)];
}

void delete_unit(Unit* u) { delete u; }

// The unit leaves the cache (its code changed, or its block was freed).
void retire(Unit* u) {
  if (u->retired) return;
  u->retired = true;
  const UBlock& b = u->blocks[0];
  Front& f = front_of(b.node, b.start);
  if (f.unit == u) f = Front{};
  auto it = g_cache.find(key_of(b.node, b.start));
  if (it != g_cache.end() && it->second.unit == u) it->second.unit = nullptr;
  if (u->active == 0) delete_unit(u);
}

inline void release(Unit* u) {
  if (--u->active == 0 && u->retired) delete_unit(u);
}

// Whether the unit's blocks still hold the cells it was made from.
bool unchanged(const Unit* u) {
  for (const UBlock& b : u->blocks) {
    const mem::Buffer* buf = buffer_of(b.node);
    if (buf->used() / sizeof(Cell) != b.count) return false;
    if (b.count > b.start &&
        std::memcmp(buf->cells() + b.start, b.cells.data(), (b.count - b.start) * sizeof(Cell)) != 0) {
      return false;
    }
  }
  return true;
}

// The unit's cells, checked after the code epoch moved: true when they are
// unchanged (the unit then takes the new epoch).
bool still_valid(Unit* u) {
  if (u->epoch == code::epoch) {
#if QEL_CHECKS
    // A writer into code that forgot to move the epoch.
    if (!unchanged(u)) {
      std::fprintf(stderr, "compiled code changed without the code epoch moving\n");
      std::abort();
    }
#endif
    return true;
  }
  if (!unchanged(u)) return false;
  u->epoch = code::epoch;
  return true;
}

void sweep_units() {
  for (auto it = g_cache.begin(); it != g_cache.end();) {
    Unit* u = it->second.unit;
    bool gone = !gc::is_marked(u32(it->first >> 32));
    if (u && !gone) {
      for (const UBlock& b : u->blocks) gone = gone || !gc::is_marked(b.node);
      if (gone) retire(u);
      ++it;
      continue;
    }
    if (gone) {
      if (u) retire(u);
      it = g_cache.erase(it);
    } else {
      ++it;
    }
  }
}

// ---- the compiler ---------------------------------------------------------------------

// The value a word's slot holds now, when the slot is one a compiled call
// may rely on (the global context, an object); null otherwise (no slot, a
// function's context on the stack, whose values change with every call).
const Cell* stable_value(const Cell* w) {
  u32 ctx = word::context_of(w);
  if (!ctx || word::index_of(w) < 0) return nullptr;
  if (ctx != g_global_ctx && context::record_on_stack(context::record_cell(ctx))) return nullptr;
  return plain_slot(w);
}

// The function an op! value was made from, as a call takes it.
inline Cell op_function(const Cell* op) {
  Cell fn = *op;
  set_type(&fn, Type((op->header >> 16) & 0xFF));
  fn.header &= 0xFF;
  return fn;
}

inline bool is_block_like_literal(const Cell* c) {
  return type_of(c) == TYPE_BLOCK && !(buffer_of(series_node(c))->flags & mem::SERIES_LIBRARY);
}

struct Compiler {
  Unit& u;
  u32 nesting = 0;

  u32 emit(const Op& op) {
    u.ops.push_back(op);
    return u32(u.ops.size() - 1);
  }
  u32 here() const { return u32(u.ops.size()); }

  u32 add_block(const Cell* value) {
    UBlock b;
    b.node = series_node(value);
    b.value = *value;
    b.value.header &= ~FLAG_NEW_LINE;
    const mem::Buffer* buf = buffer_of(b.node);
    b.count = buf->used() / sizeof(Cell);
    i32 start = series_index(value);
    b.start = start < 0 ? 0 : u32(start);
    if (b.start > b.count) b.start = b.count;
    b.cells.assign(buf->cells() + b.start, buf->cells() + b.count);
    u.blocks.push_back(std::move(b));
    return u32(u.blocks.size() - 1);
  }

  const Cell& cell(u32 bi, u32 pos) const { return u.blocks[bi].cells[pos - u.blocks[bi].start]; }
  u32 count(u32 bi) const { return u.blocks[bi].count; }

  // A block's statements: O_BLOCK, then each statement, then O_END.
  u32 block(const Cell* value, u8 flags) {
    u32 bi = add_block(value);
    Op open{O_BLOCK, flags, u16(bi), u.blocks[bi].start};
    u32 at = emit(open);
    u32 pos = u.blocks[bi].start;
    ++nesting;
    while (pos < count(bi)) {
      emit(Op{O_STMT, 0, 0, pos});
      u32 p = expression(bi, pos, 0, 0);
      pos = p > pos ? p : pos + 1;
      emit(Op{O_NEXT, 0, 0, pos});
    }
    --nesting;
    u32 end = emit(Op{O_END, 0, u16(bi), pos});
    u.ops[at].a = end;
    u.ops[at].b = end + 1;
    return at;
  }

  // How far an expression handed to the reference is expected to reach (a
  // guess: the compiled code after it checks where it really ended).
  u32 reach(u32 bi, u32 pos, bool prefix, u32 depth = 0) {
    if (pos >= count(bi) || depth > 32) return pos;
    const Cell& c = cell(bi, pos);
    u32 p = pos + 1;
    switch (type_of(&c)) {
      case TYPE_SET_WORD: case TYPE_SET_PATH:
        return reach(bi, p, false, depth + 1);
      case TYPE_WORD: case TYPE_PATH: {
        Cell head = c;
        if (type_of(&c) == TYPE_PATH) {
          const mem::Buffer* pb = buffer_of(series_node(&c));
          i32 h = series_index(&c);
          if (h < 0 || u32(h) >= pb->used() / sizeof(Cell)) break;
          head = pb->cells()[h];
          if (type_of(&head) != TYPE_WORD) break;
        }
        const Cell* v = stable_value(&head);
        if (v && is_function_type(type_of(v))) {
          const Cell* desc = more_cell(v, MORE_ARGS);
          if (type_of(desc) != TYPE_BLOCK) break;
          u32 dn = series_node(desc);
          u32 n = buffer_of(dn)->used() / sizeof(Cell);
          for (u32 i = 0; i < n; ++i) {
            Cell d = buffer_of(dn)->cells()[i];
            if (type_of(&d) == TYPE_REFINEMENT) break;
            if (type_of(&d) != TYPE_TYPESET || arg_kind(&d) == ARG_RETURN) continue;
            p = arg_kind(&d) == ARG_NORMAL ? reach(bi, p, false, depth + 1) : p + 1;
          }
        }
        break;
      }
      default:
        break;
    }
    while (!prefix && p < count(bi) && type_of(&cell(bi, p)) == TYPE_WORD) {
      const Cell* v = stable_value(&cell(bi, p));
      if (!v || type_of(v) != TYPE_OP) break;
      p = reach(bi, p + 1, true, depth + 1);
    }
    return p;
  }

  // An expression handed to the reference as a whole.
  u32 generic(u32 bi, u32 pos, u8 flags, u16 k) {
    u32 at = emit(Op{O_GENERIC, flags, k, pos});
    u.ops[at].a = here();
    return reach(bi, pos, flags & F_PREFIX);
  }

  // One expression from pos (flags: F_SUB, F_PREFIX, F_ARG with k); answers
  // where it ends.
  u32 expression(u32 bi, u32 pos, u8 flags, u16 k) {
    if (pos >= count(bi) || nesting > MAX_NESTING) return generic(bi, pos, flags, k);
    Cell c = cell(bi, pos);
    u32 at = here();
    u32 p = pos + 1;
    switch (type_of(&c)) {
      case TYPE_SET_WORD: {
        Op op{O_SET, flags, k, pos};
        op.c = c;
        op.c.header &= ~FLAG_NEW_LINE;
        emit(op);
        if (p < count(bi)) p = expression(bi, p, F_SUB, 0);
        Op done{O_SETDONE, flags, 0, pos};
        done.c = op.c;
        u.ops[at].b = emit(done);
        u.ops[at].a = here();
        return p;  // the value took the operators that follow
      }
      case TYPE_PAREN: {
        if (buffer_of(series_node(&c))->flags & mem::SERIES_LIBRARY) return generic(bi, pos, flags, k);
        emit(Op{O_PAREN, flags, k, pos});
        ++nesting;
        block(&c, 0);
        --nesting;
        u.ops[at].b = emit(Op{O_PARENDONE, flags, 0, pos});
        break;
      }
      case TYPE_WORD: {
        const Cell* v = stable_value(&c);
        if (v && is_function_type(type_of(v))) {
          Cell fn = *v;
          return call(bi, pos, flags, k, c, fn);
        }
        Op op{O_WORD, flags, k, pos};
        op.c = c;
        emit(op);
        if (v && type_of(v) == TYPE_OP) {  // raises at run time
          u.ops[at].a = here();
          return p;
        }
        break;
      }
      case TYPE_GET_WORD: {
        Op op{O_GETW, flags, k, pos};
        op.c = c;
        op.c.header = TYPE_WORD;
        emit(op);
        break;
      }
      case TYPE_LIT_WORD: {
        Op op{O_LITW, flags, k, pos};
        op.c = c;
        op.c.header &= ~FLAG_NEW_LINE;
        set_type(&op.c, TYPE_WORD);
        emit(op);
        break;
      }
      case TYPE_PATH: case TYPE_GET_PATH: case TYPE_SET_PATH: case TYPE_LIT_PATH: case TYPE_ISSUE:
      case TYPE_OP: case TYPE_FUNCTION: case TYPE_ROUTINE: case TYPE_NATIVE: case TYPE_ACTION:
      case TYPE_UNSET:
        return generic(bi, pos, flags, k);
      default: {
        Op op{O_CONST, flags, k, pos};
        op.c = c;
        op.c.header &= ~FLAG_NEW_LINE;
        emit(op);
        break;
      }
    }
    p = operators(bi, p, flags);
    u.ops[at].a = here();
    return p;
  }

  // The infix operators after a value at p (none with F_PREFIX).
  u32 operators(u32 bi, u32 p, u8 flags) {
    if (flags & F_PREFIX) return p;
    u8 mode = flags & F_SUB;
    u32 first = here();
    while (p < count(bi) && type_of(&cell(bi, p)) == TYPE_WORD) {
      Cell opword = cell(bi, p);
      const Cell* v = stable_value(&opword);
      if (!v || type_of(v) != TYPE_OP) break;
      Cell slot = *v;
      Cell fn = op_function(&slot);
      int fast = fast_op(&fn);
      if (!fast) break;
      spec_arguments(&fn);  // may allocate: nothing read from a buffer is kept
      const CallShape* s = infix_shape(&fn);
      if (!s) break;
      u32 ci = add_call(*s, fn);
      Op op{O_OP, mode, u16(fast), p};
      op.b = ci;
      op.c = slot;
      op.c.header &= ~FLAG_NEW_LINE;
      op.d = opword;
      u32 at = emit(op);
      p = expression(bi, p + 1, F_PREFIX | F_SUB, 0);
      Op done{O_OPDONE, mode, u16(fast), p};
      done.b = ci;
      u.ops[at].e = emit(done);
    }
    if (p < count(bi) && type_of(&cell(bi, p)) == TYPE_WORD) {
      Op op{O_NOOP, mode, 0, p};
      op.d = cell(bi, p);
      emit(op);
    }
    for (u32 i = first; i < here(); ++i) {
      if (u.ops[i].code == O_OP || u.ops[i].code == O_NOOP) u.ops[i].a = here();
    }
    return p;
  }

  u32 add_call(const CallShape& s, const Cell& fn) {
    CallInfo ci;
    switch (type_of(&fn)) {
      case TYPE_NATIVE: ci.kind = K_NATIVE; break;
      case TYPE_ACTION: ci.kind = K_ACTION; break;
      case TYPE_FUNCTION: ci.kind = K_FUNCTION; break;
      default: ci.kind = K_ROUTINE; break;
    }
    if (ci.kind == K_NATIVE || ci.kind == K_ACTION) ci.index = native::index_of(&fn);
    ci.desc = s.desc;
    ci.args = s.args;
    ci.native_refs = s.native_refs;
    ci.fill = s.fill;
    ci.fill_false = s.fill_false;
    ci.locals = s.locals;
    for (u32 i = 0; i < SHAPE_ARGS; ++i) {
      ci.word_index[i] = s.word_index[i];
      ci.accepts[i] = s.accepts[i];
    }
    u.calls.push_back(ci);
    return u32(u.calls.size() - 1);
  }

  // A call of the function fn, which the word at pos held.
  u32 call(u32 bi, u32 pos, u8 flags, u16 k, const Cell& word, const Cell& fn) {
    Type t = type_of(&fn);
    bool native_like = t == TYPE_NATIVE || t == TYPE_ACTION;
    u32 desc = spec_arguments(&fn);  // may allocate
    const CallShape& s = call_shape(desc, native_like);
    if (!s.usable) return generic(bi, pos, flags, k);
    u32 ci = add_call(s, fn);
    Op op{O_CALL, flags, u16(ci), pos};
    op.c = fn;
    op.d = word;
    u32 at = emit(op);
    u32 p = pos + 1;
    u32 nargs = u.calls[ci].args;
    u32 arg_at[SHAPE_ARGS] = {};
    for (u32 a = 0; a < nargs; ++a) {
      arg_at[a] = p;
      p = expression(bi, p, F_SUB | F_ARG, u16(a));
      emit(Op{O_ARGCHECK, 0, u16(a), p});
    }
    // either, if and unless with literal blocks: the branches are inlined.
    u32 branch_blocks = 0;
    u32 native = t == TYPE_NATIVE ? native::index_of(&fn) : 0;
    if (native == natives::N_either && nargs == 3) branch_blocks = 2;
    if ((native == natives::N_if_ || native == natives::N_unless) && nargs == 2) branch_blocks = 1;
    bool inline_branches = branch_blocks > 0 && nesting < MAX_NESTING;
    for (u32 i = 0; inline_branches && i < branch_blocks; ++i) {
      u32 ap = arg_at[1 + i];
      inline_branches = ap < count(bi) && is_block_like_literal(&cell(bi, ap)) &&
                        (ap + 1 == count(bi) || i + 1 < branch_blocks || true);
    }
    u32 targets[2] = {0, 0};
    u32 branch = 0;
    if (inline_branches) {
      Op br{O_BRANCH, 0, u16(native), pos};
      br.c = cell(bi, arg_at[1]);
      br.c.header &= ~FLAG_NEW_LINE;
      if (branch_blocks == 2) {
        br.d = cell(bi, arg_at[2]);
        br.d.header &= ~FLAG_NEW_LINE;
      }
      branch = emit(br);
      ++nesting;
      for (u32 i = 0; i < branch_blocks; ++i) {
        Cell b = i == 0 ? br.c : br.d;
        targets[i] = block(&b, 0);
      }
      --nesting;
      u.ops[branch].a = targets[0];
      u.ops[branch].b = targets[1];
    } else {
      emit(Op{O_INVOKE, 0, u16(ci), pos});
    }
    u32 done = emit(Op{O_CALLDONE, flags, u16(ci), pos});
    u.ops[at].b = done;
    for (u32 i = 0; inline_branches && i < branch_blocks; ++i) u.ops[targets[i]].b = done;
    p = operators(bi, p, flags);
    u.ops[at].a = here();
    return p;
  }
};

// Makes the unit for a block; null when the block is left to the reference.
Unit* compile(const Cell* block) {
  const mem::Buffer* buf = buffer_of(series_node(block));
  u32 n = buf->used() / sizeof(Cell);
  i32 start = series_index(block);
  if (n - u32(start < 0 ? 0 : start) > MAX_CELLS && u32(start < 0 ? 0 : start) < n) return nullptr;
  Unit* u = new Unit;
  u->library = (buf->flags & mem::SERIES_LIBRARY) != 0;
  Compiler c{*u};
  Op head{O_BLOCK, F_MAIN, 0, 0};
  (void)head;
  try {
    u32 at = c.block(block, F_MAIN);
    (void)at;
  } catch (...) {
    // Reading a descriptor may raise (a bad spec): the reference raises it
    // when it gets there.
    delete u;
    return nullptr;
  }
  for (const UBlock& b : u->blocks) code::mark_compiled(b.node);
  u->epoch = code::epoch;
  return u;
}

Unit* find(u32 node, u32 start, bool body) {
  Front& f = front_of(node, start);
  if (f.unit && f.node == node && f.start == start) {
    Unit* u = f.unit;
    if (still_valid(u)) return u;
    retire(u);
  }
  Entry& e = g_cache[key_of(node, start)];
  if (e.never) return nullptr;
  if (e.unit) {
    if (still_valid(e.unit)) {
      f = Front{node, start, e.unit};
      return e.unit;
    }
    retire(e.unit);
  }
  if (!body && ++e.runs < 2) return nullptr;
  if (e.made >= MAX_MADE) {
    e.never = true;
    return nullptr;
  }
  ++e.made;
  return nullptr;  // made by the caller, which holds the block
}

Unit* made(const Cell* block, u32 node, u32 start) {
  Unit* u = compile(block);
  Entry& e = g_cache[key_of(node, start)];
  if (!u) {
    e.never = true;
    return nullptr;
  }
  e.unit = u;
  front_of(node, start) = Front{node, start, u};
  return u;
}

Unit* unit_for(const Cell* block, bool body) {
  u32 node = series_node(block);
  i32 idx = series_index(block);
  u32 start = idx < 0 ? 0 : u32(idx);
  if (Unit* u = find(node, start, body)) return u;
  Entry& e = g_cache[key_of(node, start)];
  if (e.never || e.unit || (!body && e.runs < 2)) return nullptr;
  return made(block, node, start);
}

// ---- the runner -------------------------------------------------------------------------

enum RecKind : u8 { R_BLOCK, R_SET, R_PAREN, R_CALL, R_INFIX };
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
  // calls of compiled functions: the frame whose context is bound (a return
  // sent as an exception lands there)
  stack::Frame* f;
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

// The code a block record runs, as the reference routines take it.
inline Code code_of(const Rec& r) { return Code{&g_held[r.held].block, r.node, r.end}; }
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

// Whether two cells hold the same value (the new-line marker aside).
inline bool same(const Cell* a, const Cell* b) {
  return ((a->header ^ b->header) & ~FLAG_NEW_LINE) == 0 && a->w1 == b->w1 && a->w2 == b->w2 && a->w3 == b->w3;
}

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
    if (g_recs[i].kind == R_BLOCK && g_recs[i].unit == u) g_recs[i].generic = true;
  }
  retire(u);
}

// After anything that may have run other code: the unit's cells are checked
// when the code epoch moved.
inline void resumed(Unit* u) {
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

// The loop. Answers when the run's own block ends.
Status execute(Vm& vm) {
  Unit* U = vm.u;
  u32 pc = vm.pc;
  Status st = vm.st;
  u32 B = vm.b;

  // On a status: the innermost construct's closing op takes it; with no
  // construct of this run left, the run answers it.
#define PROPAGATE()                          \
  {                                       \
    if (g_nrec == vm.base) return st;        \
    const Rec& top_ = g_recs[g_nrec - 1];    \
    U = top_.unit;                           \
    pc = top_.done;                          \
    continue;                                \
  }
  // An expression handed to the reference (op: the expression's first op).
#define GENERIC_EXPR(op)                                                                  \
  {                                                                                    \
    Rec& r_ = g_recs[B];                                                                  \
    Code code_ = code_of(r_);                                                             \
    if (((op).flags & F_ARG) && r_.pos >= tail_of(code_)) {                               \
      const Rec& c_ = g_recs[g_nrec - 1];                                                 \
      const Op& co_ = U->ops[c_.op];                                                      \
      Cell w_ = spec_word_for(stack::base - 1, U->calls[co_.k].word_index[(op).k]);       \
      fire(Err::script_no_arg, &co_.d, &w_);                                              \
    }                                                                                     \
    st = eval_expression(code_, r_.pos,                                                   \
                         {.prefix = ((op).flags & F_PREFIX) != 0, .sub = ((op).flags & F_SUB) != 0}); \
    resumed(U);                                                                           \
    if (st) PROPAGATE();                                                                  \
    pc = (op).a;                                                                          \
    continue;                                                                             \
  }
  // The operators after a value, as the reference applies them.
#define GENERIC_REST(op)                                                                  \
  {                                                                                    \
    Rec& r_ = g_recs[B];                                                                  \
    bool sub_ = ((op).flags & F_SUB) != 0;                                                \
    Cell* entry_ = sub_ ? stack::top - 1 : stack::base;                                   \
    st = expression_rest(code_of(r_), r_.pos, {.sub = sub_}, entry_);                     \
    resumed(U);                                                                           \
    if (st) PROPAGATE();                                                                  \
    pc = (op).a;                                                                          \
    continue;                                                                             \
  }

  for (;;) {
    const Op& op = U->ops[pc];
    switch (op.code) {
      case O_BLOCK: {
        const UBlock& ub = U->blocks[op.k];
        bool main = op.flags & F_MAIN;
        stack::mark_eval(&g_body_word);
        if (g_held_count >= MAX_HELD) stack::overflow();
        HeldEntry* e = g_held + g_held_count;
        e->block = main ? vm.entry_block : ub.value;
        e->saved_code = *g_current_code;
        u32 outer = B;
        B = g_nrec;
        Rec& R = push_rec(R_BLOCK);
        R.unit = U;
        R.done = op.a;
        R.chain = main ? vm.entry_chain : true;
        R.generic = false;
        R.owns = main;
        R.held = g_held_count++;
        R.node = ub.node;
        R.end = ub.count;
        R.pos = ub.start;
        R.blk = outer;
        if (main) {
          ++U->active;
          R.fctx = vm.entry_fctx;
          R.fbase = vm.entry_fbase;
          R.ret_unit = vm.entry_ret_unit;
          R.ret_pc = vm.entry_ret_pc;
        } else {
          R.fctx = g_recs[outer].fctx;
          R.fbase = g_recs[outer].fbase;
          R.ret_unit = U;
          R.ret_pc = op.b;
        }
        if (R.pos >= R.end) {
          make_unset(stack::base);
          stack::keep();
          st = 0;
          pc = op.a;
          continue;
        }
        if (!U->library) copy_cell(&e->block, g_current_code);
        ++pc;
        continue;
      }

      case O_STMT: {
        Rec& R = g_recs[B];
        if (R.generic || R.pos != op.pos) {
          pc = R.done;  // O_END runs what is left
          st = 0;
          continue;
        }
        if (!U->library) set_series_index(g_current_code, i32(op.pos));
        ++pc;
        continue;
      }

      case O_NEXT: {
        Rec& R = g_recs[B];
        if (R.pos < tail(R)) {
          stack::reset();
          ++pc;
        } else {
          st = 0;
          pc = R.done;
        }
        continue;
      }

      case O_END: {
        Rec& R = g_recs[B];
        if (!st && R.pos < tail(R)) {
          // Statements the compiled code did not reach (an expression ended
          // elsewhere than compiled, or the code changed): as the reference.
          Code code = code_of(R);
          while (R.pos < tail_of(code)) {
            if (!U->library) set_series_index(g_current_code, i32(R.pos));
            st = eval_expression(code, R.pos);
            if (st) break;
            if (R.pos < tail_of(code)) stack::reset();
          }
          resumed(U);
        }
        st = take_return(st);
        if (st) stack::unwind();
        else if (R.chain) stack::unwind_last_copy();
        else stack::unwind_last();
        *g_current_code = g_held[R.held].saved_code;
        g_held_count = R.held;
        Unit* ret_unit = R.ret_unit;
        u32 ret_pc = R.ret_pc;
        Unit* own = R.owns ? R.unit : nullptr;
        B = R.blk;
        --g_nrec;
        if (own) release(own);
        if (st) PROPAGATE();
        if (!ret_unit) return 0;
        U = ret_unit;
        pc = ret_pc;
        continue;
      }

      case O_CONST: {
        Rec& R = g_recs[B];
        if (R.generic || R.pos != op.pos) GENERIC_EXPR(op);
        place(&op.c, op.flags & F_SUB);
        ++R.pos;
        ++pc;
        continue;
      }

      case O_WORD: {
        Rec& R = g_recs[B];
        if (R.generic || R.pos != op.pos) GENERIC_EXPR(op);
        Cell* vp = slot_of(&op.c, R);
        if (!vp) vp = word_value(&op.c);
        switch (type_of(vp)) {
          case TYPE_UNSET: ++R.pos; fire(Err::script_no_value, &op.c);
          case TYPE_OP: ++R.pos; fire(Err::script_no_op_arg, &op.c);
          case TYPE_FUNCTION: case TYPE_ROUTINE: case TYPE_NATIVE: case TYPE_ACTION:
            GENERIC_EXPR(op);
          default:
            place(vp, op.flags & F_SUB, true);
            ++R.pos;
            ++pc;
            continue;
        }
      }

      case O_GETW: {
        Rec& R = g_recs[B];
        if (R.generic || R.pos != op.pos) GENERIC_EXPR(op);
        ++R.pos;
        Cell v = *word_value(&op.c);
        place(&v, op.flags & F_SUB);
        ++pc;
        continue;
      }

      case O_LITW: {
        Rec& R = g_recs[B];
        if (R.generic || R.pos != op.pos) GENERIC_EXPR(op);
        ++R.pos;
        place(&op.c, op.flags & F_SUB);
        ++pc;
        continue;
      }

      case O_GENERIC:
        GENERIC_EXPR(op);

      case O_SET: {
        Rec& R = g_recs[B];
        if (R.generic || R.pos != op.pos) GENERIC_EXPR(op);
        ++R.pos;
        stack::mark_interp(&op.c);
        stack::push_cell(&op.c);
        if (R.pos >= tail(R)) fire(Err::script_need_value, &op.c);
        Rec& S = push_rec(R_SET);
        S.unit = U;
        S.done = op.b;
        S.sub = op.flags & F_SUB;
        S.blk = B;
        ++pc;
        continue;
      }

      case O_SETDONE: {
        const Rec& S = g_recs[g_nrec - 1];
        bool sub = S.sub;
        if (st) {
          st = close_frame(st, sub);
          --g_nrec;
          if (st) PROPAGATE();
          ++pc;
          continue;
        }
        Cell* v = stack::last();
        if (type_of(v) == TYPE_UNSET) fire(Err::script_need_value, &op.c);
        Cell result = *v;
        if (Cell* slot = plain_target(&op.c)) {
          *slot = result;
        } else {
          Cell w = op.c;
          word::set(&w, &result);
          resumed(U);
        }
        stack::unwind();
        place(&result, sub);
        --g_nrec;
        ++pc;
        continue;
      }

      case O_PAREN: {
        Rec& R = g_recs[B];
        if (R.generic || R.pos != op.pos) GENERIC_EXPR(op);
        ++R.pos;
        stack::mark_interp(&g_body_word);
        Rec& P = push_rec(R_PAREN);
        P.unit = U;
        P.done = op.b;
        P.sub = op.flags & F_SUB;
        P.blk = B;
        ++pc;
        continue;
      }

      case O_PARENDONE: {
        bool sub = g_recs[g_nrec - 1].sub;
        --g_nrec;
        st = close_frame(st, sub);
        if (st) PROPAGATE();
        ++pc;
        continue;
      }

      case O_CALL: {
        Rec& R = g_recs[B];
        if (R.generic || R.pos != op.pos) GENERIC_EXPR(op);
        Cell* slot = slot_of(&op.d, R);
        if (!slot || !same(slot, &op.c)) GENERIC_EXPR(op);
        ++R.pos;
        stack::push_cell(slot);  // keeps the function reachable during the call
        stack::mark(&op.d, U->calls[op.k].kind == K_FUNCTION ? stack::FRAME_INTERP_FUNC : stack::FRAME_INTERP);
        Rec& C = push_rec(R_CALL);
        C.unit = U;
        C.done = op.b;
        C.sub = op.flags & F_SUB;
        C.blk = B;
        C.op = pc;
        C.f = nullptr;
        ++pc;
        continue;
      }

      case O_ARGCHECK: {
        const Rec& C = g_recs[g_nrec - 1];
        const Op& cop = U->ops[C.op];
        const CallInfo& ci = U->calls[cop.k];
        Type got = type_of(stack::last());
        if (!((ci.accepts[op.k] >> (u32(got) & 63)) & 1)) refuse_arg(ci, op.k, got, stack::base - 1, &cop.d);
        ++pc;
        continue;
      }

      case O_INVOKE: {
        Rec& C = g_recs[g_nrec - 1];
        const Op& cop = U->ops[C.op];
        const CallInfo& ci = U->calls[cop.k];
        i32 refs[MAX_REFINEMENTS];
        if (ci.kind == K_NATIVE || ci.kind == K_ACTION) {
          for (u32 k = 0; k < ci.native_refs; ++k) refs[k] = -1;
        } else {
          for (u32 k = 0; k < ci.fill; ++k) {
            if ((ci.fill_false >> k) & 1) make_logic(stack::push(), false);
            else make_none(stack::push());
          }
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
            Unit* callee = type_of(&body) == TYPE_BLOCK ? unit_for_body(&body) : nullptr;
            if (!callee) {
              st = run_function(&fn, &cop.d);
              break;
            }
            // The body runs here: its block's record follows the call's.
            stack::Frame* f = bind_frame_context(function::context_of(&fn));
            C.f = f;
            vm.entry_block = body;
            vm.entry_chain = true;
            vm.entry_fctx = f->fctx;
            vm.entry_fbase = stack::base;
            vm.entry_ret_unit = U;
            vm.entry_ret_pc = C.done;
            U = callee;
            pc = 0;
            continue;
          }
        }
        pc = C.done;
        continue;
      }

      case O_BRANCH: {
        const Rec& C = g_recs[g_nrec - 1];
        Cell branch;
        const Cell* expected;
        u32 target;
        if (op.k == natives::N_either) {
          bool t = logic::true_base();
          branch = stack::base[t ? 1 : 2];
          expected = t ? &op.c : &op.d;
          target = t ? op.a : op.b;
        } else {
          if (logic::is_false(stack::base) == (op.k == natives::N_if_)) {
            make_none(stack::base);
            stack::keep();
            st = 0;
            pc = C.done;
            continue;
          }
          branch = stack::base[1];
          expected = &op.c;
          target = op.a;
        }
        if (g_recs[B].generic || !same(&branch, expected)) {
          st = eval_block(&branch, true);
          resumed(U);
          pc = C.done;
          continue;
        }
        pc = target;
        continue;
      }

      case O_CALLDONE: {
        bool sub = g_recs[g_nrec - 1].sub;
        --g_nrec;
        st = close_call(take_return(st), stack::base - 1, sub);
        if (st) PROPAGATE();
        resumed(U);
        ++pc;
        continue;
      }

      case O_OP: {
        Rec& R = g_recs[B];
        if (R.generic || R.pos != op.pos) GENERIC_REST(op);
        Cell* slot = slot_of(&op.d, R);
        if (!slot || !same(slot, &op.c)) GENERIC_REST(op);
        ++R.pos;
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
        if (R.pos >= tail(R)) [[unlikely]] {
          Cell fn = op_function(&op.c);
          Cell w = spec_word_for(&fn, ci.word_index[1]);
          fire(Err::script_no_arg, &op.d, &w);
        }
        Rec& I = push_rec(R_INFIX);
        I.unit = U;
        I.done = op.e;
        I.sub = sub;
        I.blk = B;
        I.op = pc;
        ++pc;
        continue;
      }

      case O_OPDONE: {
        const Rec& I = g_recs[g_nrec - 1];
        const Op& oop = U->ops[I.op];
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
          i32 refs[MAX_REFINEMENTS];
          for (u32 k = 0; k < ci.native_refs; ++k) refs[k] = -1;
          if (ci.kind == K_ACTION) actions::entry(Action(ci.index))(refs);
          else st = natives::entry(ci.index)(refs);
          resumed(U);
        }
        st = close_call(take_return(st), stack::base, sub);
        if (st) PROPAGATE();
        ++pc;
        continue;
      }

      case O_NOOP: {
        Rec& R = g_recs[B];
        if (R.generic || R.pos != op.pos) GENERIC_REST(op);
        Cell* slot = slot_of(&op.d, R);
        if (slot && type_of(slot) == TYPE_OP) GENERIC_REST(op);
        ++pc;
        continue;
      }
    }
  }
#undef PROPAGATE
#undef GENERIC_EXPR
#undef GENERIC_REST
}

}  // namespace

Unit* unit_for_body(const Cell* body) { return unit_for(body, true); }
Unit* unit_for_block(const Cell* block) { return unit_for(block, false); }

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
  for (;;) {
    try {
      return execute(vm);
    } catch (const Transfer& t) {
      // A return or exit sent as an exception lands on the call of a
      // compiled function whose frame it names (as run_function_body's catch
      // takes it); anything else leaves the run, its records dropped.
      u32 i = g_nrec;
      while (i > vm.base && !(g_recs[i - 1].kind == R_CALL && g_recs[i - 1].f && landed_return(t, g_recs[i - 1].f))) {
        --i;
      }
      drop_records(i);
      if (i == vm.base) throw;
      runtime::rt.thrown = 0;
      stack::keep();
      const Rec& C = g_recs[i - 1];
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

void init() {
  if (!g_recs) {
    g_recs = static_cast<Rec*>(std::malloc(sizeof(Rec) * MAX_RECS));
    if (!g_recs) runtime::sys_quit(1);
    gc::add_sweep_callback(sweep_units);
  }
  g_nrec = 0;
}

}  // namespace qel::interp::compiled
