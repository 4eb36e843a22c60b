// The compiled form of code (eval/interpreter_compiled.hpp): units, the
// compiler that reads a block into operations, and the runner.
#include "eval/interpreter_compiled.hpp"

#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <algorithm>
#include <unordered_map>
#include <vector>

#include "datatypes/logic.hpp"
#include "datatypes/native.hpp"
#include "datatypes/symbol.hpp"
#include "eval/interpreter_internal.hpp"
#include "eval/interrupt.hpp"
#include "eval/natives.hpp"
#include "eval/transfers.hpp"
#include "runtime/actions.hpp"
#include "runtime/code_epoch.hpp"
#include "runtime/collector.hpp"
#include "runtime/config.hpp"
#include "runtime/startup.hpp"
#include "runtime/words.hpp"

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
  // frameless forms, each followed by the framed form it falls back to (a: the op after that)
  O_PURE,       // k: a frameless expression from pos to b
  O_PURESET,    // c: a set-word whose value is the frameless expression k, from pos to b
  // arguments taken without evaluation
  O_QUOTE,      // c: the cell at pos, pushed as it is (k: the argument; flags: F_LITERAL or not; e: its call)
  // loops whose blocks are inlined, in the loop native's frame (k: the native;
  // c, d: the body and condition blocks; a, b: their O_BLOCKs; e: O_LOOPDONE;
  // spare: the native's O_INVOKE, taken when the blocks are not these)
  O_LOOP,
  O_LOOPNEXT,   // a pass begins
  O_LOOPCOND,   // while's condition ran
  O_LOOPBACK,   // the body ran
  O_LOOPDONE,   // a status or a transfer reached the loop frame
};

// Operation flags.
constexpr u8 F_SUB = 1;     // the value is pushed (an argument or operand), else left in the base cell
constexpr u8 F_PREFIX = 2;  // no infix operator is applied after the value (an operand)
constexpr u8 F_ARG = 4;     // a call's argument k: at the end of the code, no-arg
constexpr u8 F_MAIN = 8;    // O_BLOCK: the unit's own block (the others are inlined: parens, branches)
constexpr u8 F_LITERAL = 16;  // O_QUOTE: the argument is taken as it is, whatever it is
constexpr u8 F_EVALUATES = 32;  // O_QUOTE: the cell was one the argument evaluates (paren, get-word, get-path)
constexpr u8 F_CHECK = 64;      // a call's argument k (call e) of a lone value: its type is checked here
constexpr u8 F_PURE_BLOCK = 128;  // O_BLOCK: its statements can all run without its frame

struct Op {
  u8 code;
  u8 flags;
  u16 k;
  u32 pos;
  u32 a = 0, b = 0, e = 0;
  u32 spare = 0;
  u64 accepts = 0;  // F_CHECK: the types the argument takes, as a mask
  Cell c{}, d{};
  // The units of the blocks c and d (or of the called function's body), found
  // at their first run, valid while no unit was retired since (gen_c, gen_d).
  mutable Unit* unit_c = nullptr;
  mutable Unit* unit_d = nullptr;
  mutable u32 gen_c = 0, gen_d = 0;
};

// A statement of a block that runs without its frame: a frameless
// expression, set into a word when set_word is one.
struct PureStmt {
  u32 expr;
  u32 pc;         // its O_STMT, where the framed form of the block goes on
  bool set = false;
  Cell set_word{};
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
  // Statements that can all run without the block's frame (none: the block
  // always opens its frame).
  std::vector<PureStmt> pure;
};

// A frameless expression: values and words holding data, combined by
// arithmetic and comparison operators on numbers, and parens and picks
// of such. It can neither raise an error nor run other code, so nothing can
// see the frames the reference would open for it: it runs without them, far
// enough from the stacks' ends that they would not overflow, or gives up
// having changed nothing (the framed form then takes the expression).
enum PureKind : u8 { PK_CONST, PK_WORD, PK_PAREN, PK_PICK };
struct PureOperand {
  PureKind kind;
  u32 expr = 0;  // parens: the expression inside; words of the global context: their index (else ~0)
  Cell c{};      // the value, the word, or the word of a pick
  Cell d{};      // picks: the integer
};
struct PureStep {
  int fast;      // the operation (fast_op)
  u32 global = ~0u;  // the index of the operator's word in the global context (else ~0)
  Cell opword;   // the word naming the operator
  Cell op;       // the op! value its slot held
  PureOperand rhs;
};
struct PureExpr {
  PureOperand first;
  std::vector<PureStep> steps;
  bool check_next = false;  // a word follows: it must not name an operator now
  Cell next{};
  u32 code_at = 0;          // where its flat code begins (PureInstr)
  i32 bin = -1;             // one operator between two lone values: its BinExpr
};

// The flat code a frameless expression runs: a value in acc, the right
// operand of each operator in r (the parens' values kept on a small stack).
enum PureCode : u8 {
  P_K, P_G, P_W, P_PICK,        // acc = a constant, a global word's value, another word's, a pick
  P_RK, P_RG, P_RW, P_RPICK,    // r = the same
  P_SAVE, P_TOR,                // a paren as right operand: acc kept, then r = acc and acc back
  P_GUARDG, P_GUARDW,           // the operator's word (global or not) still holds the op! c
  P_COMB,                       // acc = acc (operation k) r
  P_NEXTW,                      // the word c that follows names no operator now
  P_END,
  P_BIN,                        // the whole expression is one operator on two lone values (BinExpr a)
};

// A frameless expression of one operator between two lone values (a value,
// or a word holding data), the most common kind, run in one step.
enum BinOperand : u8 { B_CONST, B_GLOBAL, B_WORD };
struct BinExpr {
  BinOperand left, right;
  bool guard_global;    // the operator's word is a global one (index guard)
  bool check_next;
  u8 fast;
  u32 left_index = 0, right_index = 0, guard = 0;
  Cell lc{}, rc{};      // the values, or the words
  Cell op{}, opword{};
  Cell next{};
};
struct PureInstr {
  PureCode code;
  u8 k = 0;
  u32 a = 0;  // global words: the index
  Cell c{}, d{};
};

enum CallKind : u8 { K_NATIVE, K_ACTION, K_FUNCTION, K_ROUTINE };
constexpr u32 MAX_PATH_REFS = 4;

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
  // A native's call through a path: the refinements it turns on, in the
  // path's order, and where each one's arguments begin (from the base).
  u8 path_refs = 0;
  u8 ref_index[MAX_PATH_REFS] = {};
  u8 ref_at[MAX_PATH_REFS] = {};
};

}  // namespace

struct Unit {
  std::vector<Op> ops;
  std::vector<UBlock> blocks;  // blocks[0]: the unit's own block
  std::vector<CallInfo> calls;
  std::vector<PureExpr> pures;
  std::vector<PureInstr> pcode;
  std::vector<BinExpr> bins;
  u32 epoch = 0;     // the code epoch its cells were last found unchanged at
  u32 active = 0;    // activations running it
  u32 misses = 0;    // guards that failed (a word holding another value than compiled for)
  bool retired = false;  // left out of the cache: deleted when no activation runs it
  bool one_pure = false;  // its block is one statement (or none) that can run without the block's frame
  bool library = false;  // library code: its blocks leave the caller's code as the current code
};

namespace {

// ---- the cache of units ---------------------------------------------------------------

struct Entry {
  Unit* unit = nullptr;
  u16 made = 0;      // units made for the block (changed code makes a new one)
  bool never = false;  // the block is left to the reference
};
constexpr u32 MAX_MADE = 8;      // a block whose code keeps changing stays with the reference
constexpr u32 MAX_MISSES = 64;   // failed guards after which a unit is made again
constexpr u32 MAX_CELLS = 100000;  // longer blocks (data run once, mostly) stay with the reference
constexpr u32 MAX_NESTING = 48;  // blocks inlined in blocks (parens, branches)

inline u64 key_of(u32 node, u32 start) { return (u64(node) << 32) | start; }

// Made once and never destroyed: the units stay reachable to the end.
std::unordered_map<u64, Entry>& g_cache = *new std::unordered_map<u64, Entry>;

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

// Moves on whenever a unit is retired: the units ops keep are found again.
u32 g_unit_gen = 1;

// The unit leaves the cache (its code changed, or its block was freed).
void retire(Unit* u) {
  if (u->retired) return;
  u->retired = true;
  ++g_unit_gen;
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

  static constexpr u32 MAX_PURE_DEPTH = 8;

  // A frameless operand at pos (see PureExpr).
  bool pure_operand(u32 bi, u32 pos, PureOperand& o, u32 depth) {
    if (pos >= count(bi)) return false;
    Cell c = cell(bi, pos);
    switch (type_of(&c)) {
      case TYPE_WORD: {
        if (!word::context_of(&c) || word::index_of(&c) < 0) return false;
        const Cell* v = stable_value(&c);
        if (v && is_any_function(type_of(v))) return false;
        o.kind = PK_WORD;
        o.c = c;
        o.expr = word::context_of(&c) == g_global_ctx ? u32(word::index_of(&c)) : ~0u;
        return true;
      }
      case TYPE_PAREN: {
        if (depth >= MAX_PURE_DEPTH || (buffer_of(series_node(&c))->flags & mem::SERIES_LIBRARY)) return false;
        u32 pb = add_block(&c);
        if (u.blocks[pb].start >= count(pb)) return false;
        u32 end = 0;
        i32 x = pure(pb, u.blocks[pb].start, false, end, depth + 1);
        if (x < 0 || end != count(pb)) return false;
        o.kind = PK_PAREN;
        o.expr = u32(x);
        return true;
      }
      case TYPE_PATH: {
        u32 pb = add_block(&c);
        if (count(pb) != u.blocks[pb].start + 2) return false;
        const Cell& w = cell(pb, u.blocks[pb].start);
        const Cell& k = cell(pb, u.blocks[pb].start + 1);
        if (type_of(&w) != TYPE_WORD || type_of(&k) != TYPE_INTEGER || !word::context_of(&w)) return false;
        o.kind = PK_PICK;
        o.c = w;
        o.d = k;
        return true;
      }
      case TYPE_UNSET: case TYPE_SET_WORD: case TYPE_SET_PATH: case TYPE_GET_WORD: case TYPE_LIT_WORD:
      case TYPE_GET_PATH: case TYPE_LIT_PATH: case TYPE_OP: case TYPE_FUNCTION: case TYPE_ROUTINE:
      case TYPE_NATIVE: case TYPE_ACTION: case TYPE_ISSUE:
        return false;
      default:
        o.kind = PK_CONST;
        o.c = c;
        o.c.header &= ~FLAG_NEW_LINE;
        return true;
    }
  }

  // A frameless expression from pos: its operand and, unless prefix, the
  // operators after it; answers its index (or -1) and where it ends.
  i32 pure(u32 bi, u32 pos, bool prefix, u32& end, u32 depth = 0) {
    PureExpr pe;
    if (!pure_operand(bi, pos, pe.first, depth)) return -1;
    u32 p = pos + 1;
    if (!prefix) {
      while (p < count(bi) && type_of(&cell(bi, p)) == TYPE_WORD) {
        Cell opword = cell(bi, p);
        const Cell* v = stable_value(&opword);
        if (!v || type_of(v) != TYPE_OP) break;
        PureStep step;
        step.op = *v;
        step.op.header &= ~FLAG_NEW_LINE;
        Cell fn = op_function(&step.op);
        step.fast = fast_op(&fn);
        step.opword = opword;
        if (word::context_of(&opword) == g_global_ctx && word::index_of(&opword) >= 0) {
          step.global = u32(word::index_of(&opword));
        }
        if (!step.fast || !pure_operand(bi, p + 1, step.rhs, depth)) return -1;
        pe.steps.push_back(step);
        p += 2;
      }
      if (p < count(bi) && type_of(&cell(bi, p)) == TYPE_WORD) {
        pe.check_next = true;
        pe.next = cell(bi, p);
      }
    }
    end = p;
    u.pures.push_back(std::move(pe));
    u32 index = u32(u.pures.size() - 1);
    if (depth == 0) {
      u.pures[index].code_at = u32(u.pcode.size());
      lower(index, true);
      u.pcode.push_back(PureInstr{P_END});
    }
    return i32(index);
  }

  // The flat code of a frameless expression (its parens' inline).
  void lower_operand(const PureOperand& o, bool rhs) {
    PureInstr in{P_K};
    in.c = o.c;
    switch (o.kind) {
      case PK_CONST: in.code = rhs ? P_RK : P_K; break;
      case PK_WORD:
        in.code = o.expr != ~0u ? (rhs ? P_RG : P_G) : (rhs ? P_RW : P_W);
        in.a = o.expr;
        break;
      case PK_PICK:
        in.code = rhs ? P_RPICK : P_PICK;
        in.d = o.d;
        break;
      case PK_PAREN:
        if (rhs) u.pcode.push_back(PureInstr{P_SAVE});
        lower(o.expr);
        if (rhs) u.pcode.push_back(PureInstr{P_TOR});
        return;
    }
    u.pcode.push_back(in);
  }
  static bool lone(const PureOperand& o) { return o.kind == PK_CONST || o.kind == PK_WORD; }
  static void bin_operand(const PureOperand& o, BinOperand& kind, u32& index, Cell& c) {
    c = o.c;
    if (o.kind == PK_CONST) kind = B_CONST;
    else if (o.expr != ~0u) kind = B_GLOBAL, index = o.expr;
    else kind = B_WORD;
  }
  // top: the expression's own code (a paren's is lowered into its parent's).
  void lower(u32 index, bool top = false) {
    PureExpr pe = u.pures[index];  // a copy: the code grows
    if (top && pe.steps.size() == 1 && lone(pe.first) && lone(pe.steps[0].rhs)) {
      const PureStep& step = pe.steps[0];
      BinExpr b;
      bin_operand(pe.first, b.left, b.left_index, b.lc);
      bin_operand(step.rhs, b.right, b.right_index, b.rc);
      b.guard_global = step.global != ~0u;
      b.guard = step.global;
      b.fast = u8(step.fast);
      b.op = step.op;
      b.opword = step.opword;
      b.check_next = pe.check_next;
      b.next = pe.next;
      u.bins.push_back(b);
      u.pures[index].bin = i32(u.bins.size() - 1);
      PureInstr in{P_BIN};
      in.a = u32(u.bins.size() - 1);
      u.pcode.push_back(in);
      return;
    }
    lower_operand(pe.first, false);
    for (const PureStep& step : pe.steps) {
      PureInstr g{step.global != ~0u ? P_GUARDG : P_GUARDW};
      g.a = step.global;
      g.c = step.op;
      g.d = step.opword;
      u.pcode.push_back(g);
      lower_operand(step.rhs, true);
      PureInstr comb{P_COMB};
      comb.k = u8(step.fast);
      u.pcode.push_back(comb);
    }
    if (pe.check_next) {
      PureInstr n{P_NEXTW};
      n.c = pe.next;
      u.pcode.push_back(n);
    }
  }

  // A block's statements: O_BLOCK, then each statement, then O_END.
  u32 block(const Cell* value, u8 flags) {
    u32 bi = add_block(value);
    Op open{O_BLOCK, flags, u16(bi), u.blocks[bi].start};
    u32 at = emit(open);
    u32 pos = u.blocks[bi].start;
    ++nesting;
    bool all_pure = true;
    std::vector<PureStmt> pure_stmts;
    while (pos < count(bi)) {
      // The first statement needs no O_STMT: the block's opening did its part.
      u32 stmt = pos == u.blocks[bi].start ? here() : emit(Op{O_STMT, 0, 0, pos});
      u32 pure_end = 0;
      if (all_pure) {
        PureStmt ps;
        ps.pc = stmt;
        Cell c = cell(bi, pos);
        i32 x;
        if (type_of(&c) == TYPE_SET_WORD) {
          x = pure(bi, pos + 1, false, pure_end);
          ps.set = true;
          ps.set_word = c;
          ps.set_word.header &= ~FLAG_NEW_LINE;
        } else {
          x = pure(bi, pos, false, pure_end);
        }
        if (x < 0) all_pure = false;
        ps.expr = u32(x);
        pure_stmts.push_back(ps);
      }
      u32 p = expression(bi, pos, 0, 0);
      if (p != pure_end) all_pure = false;
      pos = p > pos ? p : pos + 1;
      // Between statements only: O_END empties the frame after the last one.
      if (pos < count(bi)) emit(Op{O_NEXT, 0, 0, pos});
    }
    --nesting;
    // An empty block is one too: it answers unset, and nothing can look
    // while its frame would be open.
    if (all_pure) {
      u.blocks[bi].pure = std::move(pure_stmts);
      u.ops[at].flags |= F_PURE_BLOCK;
    }
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
    // A frameless form first, when the expression has one (a lone value is
    // as cheap framed: no frame is opened for it).
    u32 pure_end = 0;
    if (type_of(&c) == TYPE_SET_WORD) {
      i32 x = pos + 1 < count(bi) ? pure(bi, pos + 1, false, pure_end) : -1;
      if (x >= 0) {
        Op op{O_PURESET, flags, u16(x), pos};
        op.b = pure_end;
        op.c = c;
        op.c.header &= ~FLAG_NEW_LINE;
        u32 head = emit(op);
        u32 p = expression_framed(bi, pos, flags, k, c);
        u.ops[head].a = here();
        return p;
      }
    } else {
      i32 x = pure(bi, pos, flags & F_PREFIX, pure_end);
      if (x >= 0) {
        const PureExpr& pe = u.pures[u32(x)];
        if (!pe.steps.empty() || pe.first.kind == PK_PAREN || pe.first.kind == PK_PICK) {
          Op op{O_PURE, flags, u16(x), pos};
          op.b = pure_end;
          u32 head = emit(op);
          u32 p = expression_framed(bi, pos, flags, k, c);
          u.ops[head].a = here();
          return p;
        }
      }
    }
    return expression_framed(bi, pos, flags, k, c);
  }

  u32 expression_framed(u32 bi, u32 pos, u8 flags, u16 k, const Cell& c) {
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
        Op op{O_PAREN, flags, k, pos};
        op.c = c;
        op.c.header &= ~FLAG_NEW_LINE;
        emit(op);
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
      case TYPE_PATH: {
        u32 end = path_call(bi, pos, flags, k, c);
        return end != NONE_POS ? end : generic(bi, pos, flags, k);
      }
      case TYPE_GET_PATH: case TYPE_SET_PATH: case TYPE_LIT_PATH: case TYPE_ISSUE:
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
    u8 kinds[SHAPE_ARGS];
    std::memcpy(kinds, s.kind, sizeof kinds);
    u32 ci = add_call(s, fn);
    return call_with(bi, pos, flags, k, word, fn, ci, kinds);
  }

  static constexpr u32 NONE_POS = ~0u;

  // A path whose head word holds a native or action and whose other
  // elements are words naming distinct refinements of it: a call with those
  // refinements on, their arguments after the others, as the reference takes
  // them. NONE_POS when the path is anything else (the reference runs it).
  u32 path_call(u32 bi, u32 pos, u8 flags, u16 k, const Cell& path) {
    if (series_index(&path) != 0) return NONE_POS;
    u32 pnode = series_node(&path);
    u32 n = buffer_of(pnode)->used() / sizeof(Cell);
    if (n < 2 || n - 1 > MAX_PATH_REFS) return NONE_POS;
    Cell word = buffer_of(pnode)->cells()[0];
    if (type_of(&word) != TYPE_WORD) return NONE_POS;
    word.header &= ~FLAG_NEW_LINE;
    const Cell* v = stable_value(&word);
    if (!v || (type_of(v) != TYPE_NATIVE && type_of(v) != TYPE_ACTION)) return NONE_POS;
    Cell fn = *v;
    u32 desc = spec_arguments(&fn);  // may allocate: the cells are read after it
    const CallShape& s = call_shape(desc, true);
    if (!s.usable) return NONE_POS;
    u8 kinds[SHAPE_ARGS];
    std::memcpy(kinds, s.kind, sizeof kinds);
    CallInfo extra;  // the refinements' arguments and positions
    u32 nargs = s.args, at = s.args;
    u32 dn = buffer_of(desc)->used() / sizeof(Cell);
    for (u32 e = 1; e < n; ++e) {
      const Cell* el = buffer_of(pnode)->cells() + e;
      if (type_of(el) != TYPE_WORD) return NONE_POS;
      u32 sym = symbol::resolve(word::symbol_of(el));
      u32 r = 0, wi = 0, di = 0;
      for (; di < dn; ++di) {
        const Cell* d = buffer_of(desc)->cells() + di;
        if (type_of(d) == TYPE_TYPESET) ++wi;
        if (type_of(d) != TYPE_REFINEMENT) continue;
        ++wi;
        if (symbol::resolve(word::symbol_of(d)) == sym) break;
        ++r;
      }
      if (di == dn || r >= u32(MAX_REFINEMENTS)) return NONE_POS;
      for (u32 j = 0; j < extra.path_refs; ++j) {
        if (extra.ref_index[j] == r) return NONE_POS;  // twice: the reference raises
      }
      extra.ref_index[extra.path_refs] = u8(r);
      extra.ref_at[extra.path_refs] = u8(at);
      ++extra.path_refs;
      for (++di; di < dn; ++di) {
        const Cell* d = buffer_of(desc)->cells() + di;
        if (type_of(d) != TYPE_TYPESET || arg_kind(d) == ARG_RETURN) break;
        if (nargs >= SHAPE_ARGS) return NONE_POS;
        kinds[nargs] = u8(arg_kind(d));
        extra.word_index[nargs] = u8(wi++);
        extra.accepts[nargs] = type_mask(d);
        ++nargs;
        ++at;
      }
    }
    u32 ci = add_call(s, fn);
    CallInfo& info = u.calls[ci];
    for (u32 a = s.args; a < nargs; ++a) {
      info.word_index[a] = extra.word_index[a];
      info.accepts[a] = extra.accepts[a];
    }
    info.args = u8(nargs);
    info.path_refs = extra.path_refs;
    std::memcpy(info.ref_index, extra.ref_index, sizeof info.ref_index);
    std::memcpy(info.ref_at, extra.ref_at, sizeof info.ref_at);
    add_block(&path);  // the path's cells are checked as the code's are
    return call_with(bi, pos, flags, k, word, fn, ci, kinds);
  }

  // The call's operations, for the call info ci (kinds: how each argument
  // is taken).
  u32 call_with(u32 bi, u32 pos, u8 flags, u16 k, const Cell& word, const Cell& fn, u32 ci, const u8* kinds) {
    Type t = type_of(&fn);
    Op op{O_CALL, flags, u16(ci), pos};
    op.c = fn;
    op.d = word;
    u32 at = emit(op);
    u32 p = pos + 1;
    u32 nargs = u.calls[ci].args;
    u32 arg_at[SHAPE_ARGS] = {};
    for (u32 a = 0; a < nargs; ++a) {
      arg_at[a] = p;
      if (kinds[a] == ARG_NORMAL) {
        u32 first = here();
        p = expression(bi, p, F_SUB | F_ARG, u16(a));
        u8 code = u.ops[first].code;
        if (code == O_PURE) {
          // The frameless form checks the type itself and goes on after
          // the framed form's check.
          u.ops[first].flags |= F_CHECK;
          u.ops[first].accepts = u.calls[ci].accepts[a];
          u.ops[first].e = ci;
          u.ops[first].spare = a;
          u.ops[first].a = here() + 1;
        }
        if (here() == first + 1 && (code == O_CONST || code == O_WORD || code == O_GETW || code == O_LITW)) {
          // A lone value checks its type itself.
          u.ops[first].flags |= F_CHECK;
          u.ops[first].accepts = u.calls[ci].accepts[a];
          u.ops[first].e = ci;
          continue;
        }
      } else {
        Op q{O_QUOTE, u8(kinds[a] == ARG_LITERAL ? F_LITERAL : 0), u16(a), p};
        q.e = ci;
        if (p < count(bi)) {
          q.c = cell(bi, p);
          Type qt = type_of(&q.c);
          if (kinds[a] == ARG_QUOTED && (qt == TYPE_PAREN || qt == TYPE_GET_WORD || qt == TYPE_GET_PATH)) {
            q.flags |= F_EVALUATES;
          }
        } else {
          q.flags |= F_EVALUATES;
        }
        q.flags |= F_CHECK;
        q.accepts = u.calls[ci].accepts[a];
        emit(q);
        ++p;
        continue;
      }
      Op check{O_ARGCHECK, 0, u16(a), p};
      check.a = u32(u.calls[ci].accepts[a]);
      check.b = u32(u.calls[ci].accepts[a] >> 32);
      check.e = ci;
      emit(check);
    }
    u32 native = t == TYPE_NATIVE && !u.calls[ci].path_refs ? native::index_of(&fn) : 0;
    auto literal_block = [&](u32 a) { return a < nargs && arg_at[a] < count(bi) && is_block_like_literal(&cell(bi, arg_at[a])); };
    auto literal = [&](u32 a) {
      Cell c = cell(bi, arg_at[a]);
      c.header &= ~FLAG_NEW_LINE;
      return c;
    };
    // either, if and unless with literal blocks: the branches are inlined.
    u32 branch_blocks = 0;
    if (native == natives::N_either && nargs == 3) branch_blocks = 2;
    if ((native == natives::N_if_ || native == natives::N_unless) && nargs == 2) branch_blocks = 1;
    bool inline_branches = branch_blocks > 0 && nesting < MAX_NESTING;
    for (u32 i = 0; inline_branches && i < branch_blocks; ++i) inline_branches = literal_block(1 + i);
    // The loops with literal blocks: the blocks are inlined.
    i32 body_arg = -1, cond_arg = -1;
    switch (native) {
      case natives::N_loop: body_arg = 1; break;
      case natives::N_repeat: body_arg = 2; break;
      case natives::N_while_: body_arg = 1; cond_arg = 0; break;
      case natives::N_until: case natives::N_forever: body_arg = 0; break;
      default: break;
    }
    bool inline_loop = body_arg >= 0 && nesting < MAX_NESTING && literal_block(u32(body_arg)) &&
                       (cond_arg < 0 || literal_block(u32(cond_arg)));
    if (inline_branches) {
      Op br{O_BRANCH, 0, u16(native), pos};
      br.c = literal(1);
      if (branch_blocks == 2) br.d = literal(2);
      emit(br);
    } else if (inline_loop) {
      // The loop steps: O_LOOP, O_LOOPNEXT, O_LOOPCOND, O_LOOPBACK,
      // O_LOOPDONE, then the native's own call for other blocks.
      Op lp{O_LOOP, 0, u16(native), pos};
      lp.c = literal(u32(body_arg));
      if (cond_arg >= 0) lp.d = literal(u32(cond_arg));
      u32 loop_at = emit(lp);
      emit(Op{O_LOOPNEXT, 0, u16(native), pos});
      emit(Op{O_LOOPCOND, 0, u16(native), pos});
      emit(Op{O_LOOPBACK, 0, u16(native), pos});
      u.ops[loop_at].e = emit(Op{O_LOOPDONE, 0, u16(native), pos});
      u.ops[loop_at].spare = here();
      emit(Op{O_INVOKE, 0, u16(ci), pos});
    } else {
      emit(Op{O_INVOKE, 0, u16(ci), pos});
    }
    u32 done = emit(Op{O_CALLDONE, flags, u16(ci), pos});
    u.ops[at].b = done;
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
  u32 at = 0;
  try {
    at = c.block(block, F_MAIN);
  } catch (...) {
    // Reading a descriptor may raise (a bad spec): the reference raises it
    // when it gets there.
    delete u;
    return nullptr;
  }
  for (const UBlock& b : u->blocks) code::mark_compiled(b.node);
  u->epoch = code::epoch;
  u->one_pure = (u->ops[at].flags & F_PURE_BLOCK) && u->blocks[0].pure.size() <= 1;
  return u;
}

// The unit for the block: the one in the cache while its code is unchanged,
// else a new one (a block whose code keeps changing, or that cannot be
// compiled, is left to the reference).
Unit* unit_for(const Cell* block) {
  u32 node = series_node(block);
  i32 idx = series_index(block);
  u32 start = idx < 0 ? 0 : u32(idx);
  Front& f = front_of(node, start);
  if (f.unit && f.node == node && f.start == start) {
    if (still_valid(f.unit)) return f.unit;
    retire(f.unit);
  }
  u64 key = key_of(node, start);
  Entry& e = g_cache[key];
  if (e.unit) {
    if (still_valid(e.unit)) {
      f = Front{node, start, e.unit};
      return e.unit;
    }
    retire(e.unit);
  }
  if (e.never) return nullptr;
  if (e.made >= MAX_MADE) {
    e.never = true;
    return nullptr;
  }
  ++e.made;
  Unit* u = compile(block);  // may run the collector, which may change the cache
  Entry& again = g_cache[key];
  if (!u) {
    again.never = true;
    return nullptr;
  }
  again.unit = u;
  front_of(node, start) = Front{node, start, u};
  return u;
}

// ---- the runner -------------------------------------------------------------------------

enum RecKind : u8 { R_BLOCK, R_SET, R_PAREN, R_CALL, R_INFIX, R_LOOP };
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
  // loops: the loop frame (from the call-stack bottom: what break and
  // continue name), the passes made and to make, whether the condition or
  // the body is running, and a break or continue that landed as a transfer
  u32 me;
  i32 count, passes;
  bool in_cond, landed, landed_break;
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

// ---- frameless expressions ----------------------------------------------------------

// Whether the reference would find room on both stacks for what it opens and
// pushes while evaluating a frameless statement: near the ends the framed
// form takes over, so that a stack overflow comes exactly where it always
// does. A frameless statement opens at most a block's frame, a set-word's
// frame and, per nested paren, an operator's frame and the paren's two
// frames (the operators of each level closed before the next opens), and
// pushes a few cells per level.
constexpr i64 PURE_FRAMES = 3 * Compiler::MAX_PURE_DEPTH + 8;
constexpr i64 PURE_CELLS = 8 * Compiler::MAX_PURE_DEPTH + 32;
inline bool room_for_pure() {
  return stack::end - stack::top > PURE_CELLS && stack::cend - stack::ctop > PURE_FRAMES;
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

inline bool same_value(const Cell* a, const Cell* b) {
  return ((a->header ^ b->header) & ~FLAG_NEW_LINE) == 0 && same_words(a, b, WORD_1 | WORD_2 | WORD_3);
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
  Cell saved[Compiler::MAX_PURE_DEPTH + 2];
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
    }
  }
}

// Runs frameless expression i: its value in out, or false (nothing changed).
[[gnu::always_inline]] inline bool eval_pure(const Unit* u, u32 i, u32 fctx, Cell* fbase, Cell* out) {
  const PureExpr& pe = u->pures[i];
  if (pe.bin >= 0) return eval_bin(u->bins[u32(pe.bin)], env_of(fctx, fbase), out);
  return eval_code(u, u->pcode.data() + pe.code_at, env_of(fctx, fbase), out);
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

// A unit whose block is one frameless statement (or none), run without entering it
// (its result placed as closing the block's frame would leave it); false,
// nothing done, when it cannot run so.
[[gnu::always_inline]] inline bool run_one_pure(const Unit* c, const Rec* R, bool chain) {
  if (!room_for_pure()) return false;
  Cell r;
  if (c->blocks[0].pure.empty()) {
    make_unset(&r);  // an empty block
  } else {
    const PureStmt& ps = c->blocks[0].pure[0];
    Cell* slot = nullptr;
    if (ps.set && !(slot = plain_target(&ps.set_word))) return false;
    if (!eval_pure(c, ps.expr, R ? R->fctx : 0, R ? R->fbase : nullptr, &r)) return false;
    if (slot) *slot = r;
  }
  Cell* at = stack::top;
  if (++stack::top >= stack::end) stack::overflow();
  *at = r;
  if (chain) *stack::base = r;
  return true;
}

// The type check of a call's argument that op pushed (a lone value).
[[gnu::always_inline]] inline void check_pushed(const Unit* u, const Op& op, const Op* ops, u32 arg) {
  Type got = type_of(stack::last());
  if (!((op.accepts >> (u32(got) & 63)) & 1)) {
    refuse_arg(u->calls[op.e], arg, got, stack::base - 1, &ops[g_recs[g_nrec - 1].op].d);
  }
}
[[gnu::always_inline]] inline void check_pushed(const Unit* u, const Op& op, const Op* ops) {
  check_pushed(u, op, ops, op.k);
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

  static const void* const kCode[] = {
      &&L_BLOCK, &&L_STMT, &&L_NEXT, &&L_END, &&L_CONST, &&L_WORD, &&L_GETW, &&L_LITW,
      &&L_GENERIC, &&L_SET, &&L_PAREN, &&L_CALL, &&L_SETDONE, &&L_PARENDONE, &&L_ARGCHECK,
      &&L_INVOKE, &&L_BRANCH, &&L_CALLDONE, &&L_OP, &&L_OPDONE, &&L_NOOP, &&L_PURE, &&L_PURESET,
      &&L_QUOTE, &&L_LOOP, &&L_LOOPNEXT, &&L_LOOPCOND, &&L_LOOPBACK, &&L_LOOPDONE};
  static_assert(sizeof kCode / sizeof kCode[0] == O_LOOPDONE + 1);

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
  // An expression handed to the reference (op: the expression's first op).
#define GENERIC_EXPR(op)                                                                         \
  {                                                                                              \
    Code code_ = code_of(*R);                                                                    \
    if (((op).flags & F_ARG) && R->pos >= tail_of(code_)) {                                     \
      const CallInfo& ci_ = U->calls[ops[g_recs[g_nrec - 1].op].k];                              \
      Cell w_ = spec_word_for(stack::base - 1, ci_.word_index[(op).k]);                          \
      fire(Err::script_no_arg, &ops[g_recs[g_nrec - 1].op].d, &w_);                              \
    }                                                                                            \
    u32 end_ = (op).a;                                                                           \
    st = eval_expression(code_, R->pos,                                                          \
                         {.prefix = ((op).flags & F_PREFIX) != 0, .sub = ((op).flags & F_SUB) != 0}); \
    resumed(U);                                                                                  \
    if (st) PROPAGATE();                                                                         \
    if ((op).flags & F_CHECK) check_pushed(U, (op), ops);                                       \
    AT(end_);                                                                                    \
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
    if (c_ && c_->one_pure && run_one_pure(c_, R, chain_)) AT(r_);          \
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
#define GENERIC_REST(op)                                                                         \
  {                                                                                              \
    bool sub_ = ((op).flags & F_SUB) != 0;                                                       \
    Cell* entry_ = sub_ ? stack::top - 1 : stack::base;                                          \
    u32 end_ = (op).a;                                                                           \
    st = expression_rest(code_of(*R), R->pos, {.sub = sub_}, entry_);                            \
    resumed(U);                                                                                  \
    if (st) PROPAGATE();                                                                         \
    AT(end_);                                                                                    \
  }

  NEXT();

L_BLOCK: {
  const Op& op = *ip;
  const UBlock& ub = U->blocks[op.k];
  bool main = op.flags & F_MAIN;
  u32 resume_at = 0;  // a statement the framed form goes on from
  if ((op.flags & F_PURE_BLOCK) && room_for_pure()) {
    // The block's statements without its frame.
    u32 fctx = main ? vm.entry_fctx : R->fctx;
    Cell* fbase = main ? vm.entry_fbase : R->fbase;
    bool chain = main ? vm.entry_chain : true;
    Cell r;
    make_unset(&r);
    u32 n = u32(ub.pure.size()), i = 0;
    for (; i < n; ++i) {
      const PureStmt& ps = ub.pure[i];
      Cell* slot = nullptr;
      if (ps.set && !(slot = plain_target(&ps.set_word))) break;
      if (!eval_pure(U, ps.expr, fctx, fbase, &r)) break;
      if (slot) *slot = r;
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
  if (R->pos < tail(*R)) {
    stack::reset();
    ++ip;
    NEXT();
  }
  st = 0;
  AT(R->done);
}

L_END: {
  if (!st && R->pos < tail(*R)) {
    // Statements the compiled code did not reach (an expression ended
    // elsewhere than compiled, or the code changed): as the reference.
    stack::reset();
    Code code = code_of(*R);
    while (R->pos < tail_of(code)) {
      if (!U->library) set_series_index(g_current_code, i32(R->pos));
      st = eval_expression(code, R->pos);
      if (st) break;
      if (R->pos < tail_of(code)) stack::reset();
    }
    resumed(U);
  }
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
  place(vp, op.flags & F_SUB, true);
  ++R->pos;
  if (op.flags & F_CHECK) check_pushed(U, op, ops);
  ++ip;
  NEXT();
}

L_GETW: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) GENERIC_EXPR(op);
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

L_SET: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) GENERIC_EXPR(op);
  ++R->pos;
  stack::mark_interp(&op.c);
  stack::push_cell(&op.c);
  if (R->pos >= tail(*R)) fire(Err::script_need_value, &op.c);
  Rec& S = push_rec(R_SET);
  S.unit = U;
  S.blk = B;
  S.done = op.b;
  S.sub = op.flags & F_SUB;
  ++ip;
  NEXT();
}

L_SETDONE: {
  const Op& op = *ip;
  bool sub = g_recs[g_nrec - 1].sub;
  --g_nrec;
  if (st) {
    st = close_frame(st, sub);
    if (st) PROPAGATE();
    ++ip;
    NEXT();
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
  ++ip;
  NEXT();
}

L_PAREN: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) GENERIC_EXPR(op);
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
  st = close_frame(st, sub);
  if (st) PROPAGATE();
  ++ip;
  NEXT();
}

L_CALL: {
  const Op& op = *ip;
  if (R->generic || R->pos != op.pos) GENERIC_EXPR(op);
  Cell* slot = slot_of(&op.d, *R);
  if (!slot || !same(slot, &op.c)) {
    MISSED();
    GENERIC_EXPR(op);
  }
  ++R->pos;
  stack::push_cell(slot);  // keeps the function reachable during the call
  stack::mark(&op.d, U->calls[op.k].kind == K_FUNCTION ? stack::FRAME_INTERP_FUNC : stack::FRAME_INTERP);
  Rec& C = push_rec(R_CALL);
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
  if (!((accepts >> (u32(got) & 63)) & 1)) {
    refuse_arg(U->calls[op.e], op.k, got, stack::base - 1, &ops[g_recs[g_nrec - 1].op].d);
  }
  ++ip;
  NEXT();
}

L_INVOKE: {
  Rec& C = g_recs[g_nrec - 1];
  const Op& cop = ops[C.op];
  const CallInfo& ci = U->calls[cop.k];
  i32 refs[MAX_REFINEMENTS];
  if (ci.kind == K_NATIVE || ci.kind == K_ACTION) {
    for (u32 k = 0; k < ci.native_refs; ++k) refs[k] = -1;
    for (u32 j = 0; j < ci.path_refs; ++j) refs[ci.ref_index[j]] = ci.ref_at[j];
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
      Unit* callee = cop.unit_c;
      if (!callee || cop.gen_c != g_unit_gen || callee->epoch != code::epoch ||
          type_of(&body) != TYPE_BLOCK) {
        callee = type_of(&body) == TYPE_BLOCK ? unit_for_body(&body) : nullptr;
        cop.unit_c = callee;
        cop.gen_c = g_unit_gen;
      }
      if (!callee) {
        st = run_function(&fn, &cop.d);
        break;
      }
      // The body runs here: its block's record follows the call's.
      stack::Frame* f = bind_frame_context(function::context_of(&fn));
      interrupt::poll();
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
  i32 at = natives::chosen_branch(op.k);
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
    i32 refs[MAX_REFINEMENTS];
    for (u32 k = 0; k < ci.native_refs; ++k) refs[k] = -1;
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
    if (Cell* slot = plain_target(&op.c)) {
      Cell r;
      if (eval_pure(U, op.k, R->fctx, R->fbase, &r)) {
        *slot = r;
        place(&r, op.flags & F_SUB);
        R->pos = op.b;
        AT(op.a);
      }
    }
  }
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

  // ---- inlined loops: the loop natives' steps (eval/natives_loop.cpp) ----

L_LOOP: {
  const Op& op = *ip;
  Cell* args = stack::base;
  u32 native = op.k;
  // The blocks the loop runs must be the inlined ones.
  const Cell* body = args + (native == natives::N_loop ? 1 : native == natives::N_repeat ? 2
                                                             : native == natives::N_while_ ? 1 : 0);
  if (R->generic || !same(body, &op.c) || (native == natives::N_while_ && !same(args, &op.d))) AT(op.spare);
  i32 count = 0;
  if (native == natives::N_loop || native == natives::N_repeat) {
    Cell* n = native == natives::N_loop ? args : args + 1;
    count = natives::loop_count(n);
    if (native == natives::N_repeat) make_integer(args + 1, count);
    if (count < 1) {
      make_none(stack::base);
      stack::keep();
      st = 0;
      AT(g_recs[g_nrec - 1].done);
    }
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
  L.in_cond = false;
  L.landed = false;
  ++ip;
  NEXT();
}

L_LOOPNEXT: {
  interrupt::poll();
  Rec& L = g_recs[g_nrec - 1];
  const Op& lop = ops[L.op];
  switch (lop.k) {
    case natives::N_loop:
      if (L.passes == L.count) goto loop_exit;
      ++L.passes;
      break;
    case natives::N_repeat: {
      if (L.passes >= L.count) goto loop_exit;
      natives::repeat_pass(stack::bottom + stack::cbottom[L.me].prev_base, ++L.passes);
      resumed(U);
      break;
    }
    default:
      break;
  }
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
  const Rec& L = g_recs[g_nrec - 1];
  if (ops[L.op].k == natives::N_until && logic::true_base()) goto loop_exit;
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
  if (brk) goto loop_exit;
  AT(L.op + 1);
}

loop_exit: {
  // The loop frame closes: its base cell (the last body value, or the break
  // value) is the native's result; while answers unset.
  const Rec& L = g_recs[g_nrec - 1];
  if (ops[L.op].k == natives::N_while_) {
    stack::unwind();
    make_unset(stack::base);
  } else {
    stack::unwind_last_copy();
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
#undef GENERIC_EXPR
#undef GENERIC_REST
#undef ENTER
#undef MISSED
}

}  // namespace

Unit* unit_for_body(const Cell* body) { return unit_for(body); }
Unit* unit_for_block(const Cell* block) { return unit_for(block); }

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

void forget_all() {
  for (auto& [key, entry] : g_cache) {
    if (entry.unit) retire(entry.unit);
    entry.made = 0;
  }
}

namespace {
// Nodes moved (the collector emptied a node frame): the cache is keyed by
// node and units name their blocks by node, so every unit goes (the running
// ones once they end: their nodes did not move, see pin_running).
void forget_nodes() {
  forget_all();
  g_cache.clear();
  for (Front& f : g_front) f = Front{};
}

template <class T>
void pin_all(const std::vector<T>& v) {
  gc::pin_words(v.data(), v.size() * sizeof(T));
}

// Running compiled code names nodes in its records and in the units it runs
// (blocks, the cells read from them, values its guards compare, descriptors),
// where the collector cannot rewrite them: those nodes stay where they are.
void pin_running() {
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
