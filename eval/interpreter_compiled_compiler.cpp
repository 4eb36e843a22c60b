// The compiled form's compiler (eval/interpreter_compiled_ops.hpp): the
// cache of units, and the compiler that reads a block into operations.
#include "eval/interpreter_compiled_ops.hpp"

#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <algorithm>
#include <unordered_map>
#include <vector>

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
#include "runtime/startup.hpp"
#include "runtime/words.hpp"
#include "platform/image_state.hpp"

namespace qel::interp::compiled {

// Made once and never destroyed: the units stay reachable to the end.
std::unordered_map<u64, Entry>& g_cache = *new std::unordered_map<u64, Entry>;

u32 g_unit_gen = 1;
QEL_IMAGE_KEEP(g_unit_gen);

namespace {
bool g_starting = false;
// Runs by the reference before a block of start-up or of the library is
// compiled: most of them run once or a few times a process (a script's
// loading, the start), where compiling costs more than it saves.
constexpr u8 LIBRARY_RUNS = 4;
}  // namespace

void set_starting(bool on) { g_starting = on; }

namespace {

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
}  // namespace

void delete_unit(Unit* u) { delete u; }

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

namespace {

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


// Whether a block of the code can run inside the unit: its ops take the
// unit's rule for the current code (library code leaves the caller's), so
// only a block of the same kind, library code or not, is compiled into it.
inline bool same_code_kind(const Unit& u, const Cell* c) {
  return ((buffer_of(series_node(c))->flags & mem::SERIES_LIBRARY) != 0) == u.library;
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

  // The field path of a path of words (at most MAX_PATH_WALK, from its
  // head), its cells kept with the unit's (a change to them is a change to
  // the code); ~0u for any other path.
  u32 field_path(const Cell& path) {
    if (series_index(&path) != 0) return ~0u;
    u32 pnode = series_node(&path);
    if (auto it = field_of_node.find(pnode); it != field_of_node.end()) return it->second;
    u32 n = buffer_of(pnode)->used() / sizeof(Cell);
    if (n < 2 || n > MAX_PATH_WALK) return ~0u;
    FieldPath f;
    f.length = n;
    for (u32 e = 0; e < n; ++e) {
      const Cell* el = buffer_of(pnode)->cells() + e;
      if (type_of(el) != TYPE_WORD) return ~0u;
      if (e) f.sym[e] = f.exact[e] = symbol::resolve(word::symbol_of(el));
    }
    f.head = buffer_of(pnode)->cells()[0];
    f.head.header &= ~FLAG_NEW_LINE;
    Cell p = path;
    add_block(&p);
    u.fields.push_back(f);
    field_of_node[pnode] = u32(u.fields.size() - 1);
    return u32(u.fields.size() - 1);
  }
  std::unordered_map<u32, u32> field_of_node;  // the field paths made, by their path's node

  // A set-path the compiled form sets itself: words and integers after its
  // head word (o/f:, a/b/c:, blk/2:, m/key:), at most MAX_PATH_WALK.
  static bool settable_path(const Cell& path) {
    if (series_index(&path) != 0) return false;
    const mem::Buffer* pb = buffer_of(series_node(&path));
    u32 n = pb->used() / sizeof(Cell);
    if (n < 2 || n > MAX_PATH_WALK || type_of(pb->cells()) != TYPE_WORD) return false;
    for (u32 e = 1; e < n; ++e) {
      Type t = type_of(pb->cells() + e);
      if (t != TYPE_WORD && t != TYPE_INTEGER) return false;
    }
    return true;
  }

  // Whether the field the path names now holds a function (its head word's
  // slot being one a compiled call may rely on): no data to compute with.
  static bool names_function(const Cell& path) {
    u32 pnode = series_node(&path);
    u32 n = buffer_of(pnode)->used() / sizeof(Cell);
    const Cell* v = stable_value(buffer_of(pnode)->cells());
    for (u32 e = 1; v && e < n; ++e) {
      if (type_of(v) != TYPE_OBJECT) return false;
      u32 ctx = object::context_of(v);
      i32 i = context::find_word(ctx, word::symbol_of(buffer_of(pnode)->cells() + e), true);
      v = i >= 0 ? context::slot(ctx, u32(i)) : nullptr;
    }
    return v && is_any_function(type_of(v));
  }
  u32 count(u32 bi) const { return u.blocks[bi].count; }

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
        if (depth >= MAX_PURE_DEPTH || !same_code_kind(u, &c)) return false;
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
        if (series_index(&c) == 0 && type_of(buffer_of(series_node(&c))->cells()) == TYPE_WORD &&
            buffer_of(series_node(&c))->used() / sizeof(Cell) >= 2 &&
            type_of(buffer_of(series_node(&c))->cells() + 1) == TYPE_WORD) {
          if (names_function(c)) return false;
          u32 f = field_path(c);
          if (f == ~0u) return false;
          o.kind = PK_FIELD;
          o.expr = f;
          return true;
        }
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

  // either, if or unless at pos with a frameless condition and literal
  // blocks, at least one of them a single frameless expression (the
  // expression's value when its block is chosen): the operand o, p past its
  // last block.
  bool pure_branch(u32 bi, u32 pos, PureOperand& o, u32& p) {
    if (pos >= count(bi)) return false;  // a set-word ending its block
    const Cell w = cell(bi, pos);  // a copy: add_block below grows the unit's blocks
    if (type_of(&w) != TYPE_WORD || !word::context_of(&w) || word::index_of(&w) < 0) return false;
    const Cell* v = stable_value(&w);
    if (!v || type_of(v) != TYPE_NATIVE) return false;
    u32 native = native::index_of(v);
    if (native != natives::N_either && native != natives::N_if_ && native != natives::N_unless) return false;
    u32 blocks = native == natives::N_either ? 2 : 1;
    u32 cond_end = 0;
    i32 cond = pure(bi, pos + 1, false, cond_end, 1);
    if (cond < 0 || cond_end + blocks > count(bi)) return false;
    i32 arms[2];
    for (u32 i = 0; i < blocks; ++i) {
      Cell b = cell(bi, cond_end + i);
      if (type_of(&b) != TYPE_BLOCK || !same_code_kind(u, &b)) return false;
      b.header &= ~FLAG_NEW_LINE;
      u32 pb = add_block(&b);
      u32 end = 0;
      arms[i] = u.blocks[pb].start < count(pb) ? pure(pb, u.blocks[pb].start, false, end, 1) : -1;
      if (arms[i] >= 0 && end != count(pb)) arms[i] = -1;
    }
    if (native == natives::N_if_) arms[1] = ARM_NONE;
    if (native == natives::N_unless) arms[1] = arms[0], arms[0] = ARM_NONE;
    if (arms[0] == -1 && arms[1] == -1) return false;
    o.kind = PK_BRANCH;
    o.expr = u32(cond);
    o.c = *v;
    o.c.header &= ~FLAG_NEW_LINE;
    o.d = w;
    o.d.header &= ~FLAG_NEW_LINE;
    o.arm[0] = arms[0];
    o.arm[1] = arms[1];
    p = cond_end + blocks;
    return true;
  }

  // A frameless expression from pos: its operand and, unless prefix, the
  // operators after it; answers its index (or -1) and where it ends.
  i32 pure(u32 bi, u32 pos, bool prefix, u32& end, u32 depth = 0) {
    PureExpr pe;
    u32 p = pos + 1;
    if (depth == 0 && !prefix && pure_branch(bi, pos, pe.first, p)) {
      // A branch is a whole expression: no operator is applied after it.
      if (p < count(bi) && type_of(&cell(bi, p)) == TYPE_WORD) {
        const Cell* v = stable_value(&cell(bi, p));
        if (v && type_of(v) == TYPE_OP) return -1;
        pe.check_next = true;
        pe.next = cell(bi, p);
      }
      prefix = true;
    } else if (!pure_operand(bi, pos, pe.first, depth)) {
      return -1;
    }
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
      case PK_FIELD:
        in.code = rhs ? P_RFIELD : P_FIELD;
        in.a = o.expr;
        break;
      case PK_PAREN:
        if (rhs) u.pcode.push_back(PureInstr{P_SAVE});
        lower(o.expr);
        if (rhs) u.pcode.push_back(PureInstr{P_TOR});
        return;
      case PK_BRANCH: {
        // The native's word still names it, the condition, then each arm.
        bool global = word::context_of(&o.d) == g_global_ctx;
        PureInstr g{global ? P_GUARDG : P_GUARDW};
        g.a = global ? u32(word::index_of(&o.d)) : ~0u;
        g.c = o.c;
        g.d = o.d;
        u.pcode.push_back(g);
        lower(o.expr);
        u32 choose = u32(u.pcode.size());
        u.pcode.push_back(PureInstr{P_CHOOSE});
        u32 jump = lower_arm(o.arm[0]);
        u.pcode[choose].a = jump + 1;
        u.pcode.push_back(PureInstr{P_JUMP});
        lower_arm(o.arm[1]);
        u.pcode[jump].a = u32(u.pcode.size());
        return;
      }
    }
    u.pcode.push_back(in);
  }
  // A branch's arm (see PureOperand::arm); answers where the code goes on.
  u32 lower_arm(i32 arm) {
    if (arm >= 0) {
      lower(u32(arm));
    } else {
      PureInstr in{arm == ARM_NONE ? P_K : P_GIVEUP};
      make_none(&in.c);
      u.pcode.push_back(in);
    }
    return u32(u.pcode.size());
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
      if (flags & F_MAIN) {
        u.blocks[bi].stmt_pos.push_back(pos);
        u.blocks[bi].stmt_pc.push_back(pos == u.blocks[bi].start ? stmt : stmt + 1);
      }
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
        } else if (type_of(&c) == TYPE_SET_PATH) {
          ps.field = field_path(c);
          x = ps.field == ~0u ? -1 : pure(bi, pos + 1, false, pure_end);
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
    if (type_of(&c) == TYPE_SET_WORD || type_of(&c) == TYPE_SET_PATH) {
      u32 field = type_of(&c) == TYPE_SET_PATH ? field_path(c) : ~0u;
      bool can = type_of(&c) == TYPE_SET_WORD || field != ~0u;
      i32 x = can && pos + 1 < count(bi) ? pure(bi, pos + 1, false, pure_end) : -1;
      if (x >= 0) {
        Op op{O_PURESET, flags, u16(x), pos};
        op.b = pure_end;
        op.e = field + 1;  // 0: a set-word
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
        // (a branch as a statement: tried as the block's frameless
        // statement, or not at all)
        if (!pe.steps.empty() || pe.first.kind == PK_PAREN || pe.first.kind == PK_PICK ||
            (pe.first.kind == PK_BRANCH && (flags & F_SUB))) {
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
        if (!same_code_kind(u, &c)) return generic(bi, pos, flags, k);
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
        // A local of the running function (an argument given a function):
        // compiled for what it holds now, and called for whatever function
        // of the same arguments it holds at each run.
        const Cell* local = v ? nullptr : plain_slot(&c);
        if (local && is_function_type(type_of(local))) {
          Cell fn = *local;
          fn.header &= ~FLAG_NEW_LINE;
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
        if (end != NONE_POS) return end;
        if (!data_path(c)) return generic(bi, pos, flags, k);
        Op op{O_GETPATH, flags, k, pos};
        op.c = c;
        op.c.header &= ~FLAG_NEW_LINE;
        op.b = field_path(c);
        emit(op);
        break;
      }
      case TYPE_FUNCTION: case TYPE_ROUTINE: case TYPE_NATIVE: case TYPE_ACTION: {
        u32 end = literal_call(bi, pos, flags, k, c);
        return end != NONE_POS ? end : generic(bi, pos, flags, k);
      }
      case TYPE_SET_PATH: {
        if (!settable_path(c)) return generic(bi, pos, flags, k);
        Op op{O_SETPATH, flags, k, pos};
        op.c = c;
        op.c.header &= ~FLAG_NEW_LINE;
        op.e = field_path(c);  // ~0u: the set is made as the reference makes it
        emit(op);
        if (p < count(bi)) p = expression(bi, p, F_SUB, 0);
        Op done{O_SETPATHDONE, flags, 0, pos};
        done.c = op.c;
        done.e = op.e;
        u.ops[at].b = emit(done);
        u.ops[at].a = here();
        return p;  // the value took the operators that follow
      }
      case TYPE_GET_PATH: case TYPE_LIT_PATH: case TYPE_ISSUE:
      case TYPE_OP: case TYPE_UNSET:
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
    bool all_evaluated = true;
    for (u32 a = 0; a < s.args; ++a) all_evaluated = all_evaluated && kinds[a] == ARG_NORMAL;
    u32 ci = add_call(s, fn);
    u.calls[ci].dyn_ok = all_evaluated;  // (call_with clears it when it inlines the native's blocks)
    return call_with(bi, pos, flags, k, word, fn, ci, kinds);
  }

  static constexpr u32 NONE_POS = ~0u;

  // A call of the function value the code holds at pos (as the library's
  // routines are placed in its bodies), its frame named as the reference
  // names it.
  u32 literal_call(u32 bi, u32 pos, u8 flags, u16 k, const Cell& value) {
    u32 at = 0;
    return anon_call(bi, pos, flags, k, value, O_LITCALL, [] {}, &at);
  }

  // The call of the function value fn, its frame named <anon> as the
  // reference names it; its op gets the code given. prepare runs once the
  // call's record is added, before its ops (what the op reads besides);
  // *at is where the op stands.
  template <class Prepare>
  u32 anon_call(u32 bi, u32 pos, u8 flags, u16 k, Cell fn, u8 code, Prepare prepare, u32* at) {
    fn.header &= ~FLAG_NEW_LINE;
    Type t = type_of(&fn);
    u32 desc = spec_arguments(&fn);  // may allocate
    const CallShape& s = call_shape(desc, t == TYPE_NATIVE || t == TYPE_ACTION);
    if (!s.usable) return NONE_POS;
    u8 kinds[SHAPE_ARGS];
    std::memcpy(kinds, s.kind, sizeof kinds);
    u32 ci = add_call(s, fn);
    prepare();
    *at = here();
    u32 p = call_with(bi, pos, flags, k, g_anon_word, fn, ci, kinds);
    u.ops[*at].code = code;
    return p;
  }

  // A path of words at its head whose head word may hold an object or an
  // event (what it holds is read at each run): a value read through fields.
  static bool data_path(const Cell& path) {
    if (series_index(&path) != 0) return false;
    const mem::Buffer* pb = buffer_of(series_node(&path));
    u32 n = pb->used() / sizeof(Cell);
    if (n < 2 || n > MAX_PATH_WALK) return false;
    for (u32 e = 0; e < n; ++e)
      if (type_of(pb->cells() + e) != TYPE_WORD) return false;
    const Cell* v = stable_value(pb->cells());
    return !v || type_of(v) == TYPE_OBJECT || type_of(v) == TYPE_EVENT;
  }

  // A path whose head word holds a native, an action or a function and
  // whose other elements are words naming distinct refinements of it: a call
  // with those refinements on, their arguments after the others, as the
  // reference takes them (a native finds them on the stack in the path's
  // order; a function's flag and argument slots are filled as each is
  // fetched). NONE_POS when the path is anything else (the reference runs
  // it).
  u32 path_call(u32 bi, u32 pos, u8 flags, u16 k, const Cell& path) {
    if (series_index(&path) != 0) return NONE_POS;
    u32 pnode = series_node(&path);
    u32 n = buffer_of(pnode)->used() / sizeof(Cell);
    if (n < 2 || n - 1 > MAX_PATH_REFS) return NONE_POS;
    Cell word = buffer_of(pnode)->cells()[0];
    if (type_of(&word) != TYPE_WORD) return NONE_POS;
    word.header &= ~FLAG_NEW_LINE;
    const Cell* v = stable_value(&word);
    if (v && type_of(v) == TYPE_OBJECT) return object_path_call(bi, pos, flags, k, path, word, *v);
    if (!v || (type_of(v) != TYPE_NATIVE && type_of(v) != TYPE_ACTION && type_of(v) != TYPE_FUNCTION)) {
      return NONE_POS;
    }
    Cell fn = *v;
    bool native_like = type_of(&fn) != TYPE_FUNCTION;
    u32 desc = spec_arguments(&fn);  // may allocate: the cells are read after it
    const CallShape& s = call_shape(desc, native_like);
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
      // r: the refinement's rank; fill: the cells a function's frame holds
      // after its main arguments, up to the refinement's flag.
      u32 r = 0, wi = 0, di = 0, fill = 0;
      bool in_refs = false;
      for (; di < dn; ++di) {
        const Cell* d = buffer_of(desc)->cells() + di;
        if (type_of(d) == TYPE_TYPESET) {
          ++wi;
          if (in_refs && arg_kind(d) != ARG_RETURN) ++fill;
        }
        if (type_of(d) != TYPE_REFINEMENT) continue;
        ++wi;
        if (symbol::resolve(word::symbol_of(d)) == sym) break;
        ++r;
        ++fill;
        in_refs = true;
      }
      if (di == dn || r >= u32(MAX_REFINEMENTS) || s.args + fill + 1 + SHAPE_ARGS > 255) return NONE_POS;
      extra.ref_slot[extra.path_refs] = u8(s.args + fill);
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
    info.fill_early = !native_like;
    std::memcpy(info.ref_index, extra.ref_index, sizeof info.ref_index);
    std::memcpy(info.ref_at, extra.ref_at, sizeof info.ref_at);
    std::memcpy(info.ref_slot, extra.ref_slot, sizeof info.ref_slot);
    info.path_block = add_block(&path);  // the path's cells are checked as the code's are
    return call_with(bi, pos, flags, k, word, fn, ci, kinds);
  }

  // A path of words from the head word, which holds the object obj, through
  // objects to a function value at its end (o/f, system/view/platform/redraw):
  // the call of that value the reference makes after walking the path, its
  // frame named <anon>. The head word and every field on the way are read
  // again at run time and must still hold the values they hold now (the
  // path's cells are checked as the code's are).
  u32 object_path_call(u32 bi, u32 pos, u8 flags, u16 k, const Cell& path, const Cell& head,
                       const Cell& obj) {
    u32 pnode = series_node(&path);
    u32 n = buffer_of(pnode)->used() / sizeof(Cell);
    if (n > MAX_PATH_WALK) return NONE_POS;
    PathWalk w;
    w.head = head;
    w.length = n;
    w.values[0] = obj;
    for (u32 e = 1; e < n; ++e) {
      const Cell& parent = w.values[e - 1];
      Cell el = buffer_of(pnode)->cells()[e];
      if (type_of(&parent) != TYPE_OBJECT || type_of(&el) != TYPE_WORD) return NONE_POS;
      // The field as the object's path step finds it: the element's own
      // binding when it is to this object, else its spelling.
      u32 ctx = object::context_of(&parent);
      i32 bound = word::index_of(&el);
      i32 i = word::context_of(&el) == ctx && bound >= 0 && u32(bound) < context::word_count(ctx)
                  ? bound
                  : context::find_word(ctx, word::symbol_of(&el), true);
      const Cell* field = i >= 0 ? context::slot(ctx, u32(i)) : nullptr;
      if (!field) return NONE_POS;
      w.index[e] = u32(i);
      w.values[e] = *field;
      w.values[e].header &= ~FLAG_NEW_LINE;
    }
    Cell fn = w.values[n - 1];
    if (!is_function_type(type_of(&fn))) return NONE_POS;
    // The walk's index is taken before the arguments are compiled: a path
    // call among them adds walks of its own.
    u32 at = 0, walk = 0;
    u32 p = anon_call(bi, pos, flags, k, fn, O_PATHCALL, [&] {
      add_block(&path);
      u.walks.push_back(w);
      walk = u32(u.walks.size() - 1);
    }, &at);
    if (p != NONE_POS) u.ops[at].e = walk;
    return p;
  }

  // Argument a of call ci from p, its type checked (kinds: how each
  // argument is taken); answers where it ends.
  u32 argument(u32 bi, u32 p, u32 ci, u32 a, const u8* kinds) {
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
      if (here() == first + 1 && (code == O_CONST || code == O_WORD || code == O_GETW || code == O_LITW ||
                                  code == O_GETPATH)) {
        // A lone value checks its type itself. A literal of a type the
        // function takes needs no check (nor does it for another function a
        // dyn call makes: that takes those types too); what the reference
        // makes of the cell instead, once the code changed under it, is
        // checked (accepts, without F_CHECK).
        u64 accepts = u.calls[ci].accepts[a];
        if (code != O_CONST || !((accepts >> (u32(type_of(&u.ops[first].c)) & 63)) & 1))
          u.ops[first].flags |= F_CHECK;
        u.ops[first].accepts = accepts;
        u.ops[first].e = ci;
        return p;
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
      return p + 1;
    }
    Op check{O_ARGCHECK, 0, u16(a), p};
    check.a = u32(u.calls[ci].accepts[a]);
    check.b = u32(u.calls[ci].accepts[a] >> 32);
    check.e = ci;
    emit(check);
    return p;
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
    // A call through a path of refinements. A function's frame gets the
    // cells of all its refinements after its main arguments, then each
    // refinement named is turned on and its arguments fetched into their
    // slots, as the reference fills the frame. Before each refinement and
    // before the call, when arguments were fetched since the last look, the
    // path is checked: an argument may have changed it.
    u32 path_refs = u.calls[ci].path_refs;
    bool fills = u.calls[ci].fill_early;
    u32 main_args = path_refs ? u.calls[ci].ref_at[0] : nargs, next_ref = 0, looked = 0;
    auto look = [&](u32 a) {
      if (a == looked) return;
      looked = a;
      Op check{O_REFCHECK, 0, u16(ci), p};
      check.spare = next_ref;
      emit(check);
    };
    auto ref_boundary = [&](u32 a) {
      if (!path_refs || a < main_args) return;
      for (; next_ref < path_refs && u.calls[ci].ref_at[next_ref] == a; ++next_ref) {
        if (fills && next_ref == 0) emit(Op{O_REFS, 0, u16(ci), p});
        look(a);
        if (!fills) continue;
        Op on{O_REFON, 0, u16(ci), p};
        on.a = u.calls[ci].ref_slot[next_ref];
        emit(on);
      }
      if (a == nargs) look(a);
    };
    // The slot of argument a of a refinement (0: a main argument).
    auto ref_arg_slot = [&](u32 a) -> u32 {
      if (!fills || a < main_args) return 0;
      const CallInfo& c = u.calls[ci];
      u32 j = 0;
      while (j + 1 < c.path_refs && c.ref_at[j + 1] <= a) ++j;
      return c.ref_slot[j] + 1 + (a - c.ref_at[j]);
    };
    for (u32 a = 0; a < nargs; ++a) {
      ref_boundary(a);
      arg_at[a] = p;
      p = argument(bi, p, ci, a, kinds);
      if (u32 slot = ref_arg_slot(a)) {
        // A refinement's argument moves into its slot once fetched and checked.
        Op mv{O_REFARG, 0, u16(ci), p};
        mv.a = slot;
        emit(mv);
      }
    }
    ref_boundary(nargs);
    u32 native = t == TYPE_NATIVE && !u.calls[ci].path_refs ? native::index_of(&fn) : 0;
    auto literal_block = [&](u32 a) {
      if (a >= nargs || arg_at[a] >= count(bi)) return false;
      const Cell* c = &cell(bi, arg_at[a]);
      return type_of(c) == TYPE_BLOCK && same_code_kind(u, c);
    };
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
      case natives::N_foreach: case natives::N_remove_each: body_arg = 2; break;
      case natives::N_forall: body_arg = 1; break;
      default: break;
    }
    bool inline_loop = body_arg >= 0 && nesting < MAX_NESTING && literal_block(u32(body_arg)) &&
                       (cond_arg < 0 || literal_block(u32(cond_arg)));
    // any and all with a literal block that is not empty: its expressions
    // are inlined.
    bool inline_walk = (native == natives::N_any || native == natives::N_all || native == natives::N_reduce) &&
                       nargs == 1 && nesting < MAX_NESTING && literal_block(0);
    if (inline_walk) {
      Cell b = literal(0);
      const mem::Buffer* bb = buffer_of(series_node(&b));
      i32 start = series_index(&b);
      inline_walk = start >= 0 && u32(start) < bb->used() / sizeof(Cell);
    }
    // Inlined blocks run as this native runs them: no other function may be
    // called in its place.
    if (inline_branches || inline_loop || inline_walk) u.calls[ci].dyn_ok = false;
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
    } else if (inline_walk) {
      // O_WALK, then each expression between O_WSTMT and O_WTEST, then
      // O_WALKEND, then the native's own call for another block.
      Op w{O_WALK, 0, u16(native), pos};
      w.c = literal(0);
      u32 wb = add_block(&w.c);
      w.a = wb;
      u32 walk_at = emit(w);
      ++nesting;
      for (u32 q = u.blocks[wb].start; q < count(wb);) {
        emit(Op{O_WSTMT, 0, u16(native), q});
        u32 end = expression(wb, q, 0, 0);
        q = end > q ? end : q + 1;
        emit(Op{O_WTEST, 0, u16(native), q});
        ++u.ops[walk_at].b;
      }
      --nesting;
      u.ops[walk_at].e = emit(Op{O_WALKEND, 0, u16(native), pos});
      u.ops[walk_at].spare = here();
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

}  // namespace

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
  // Start-up's code and the library's are compiled at their run after
  // LIBRARY_RUNS: what a process runs once or twice (its start, the loading
  // of a script) costs no unit, and a library function in a loop costs a
  // few walks more.
  if (e.ran < LIBRARY_RUNS && (g_starting || (buffer_of(node)->flags & mem::SERIES_LIBRARY))) {
    ++e.ran;
    return nullptr;
  }
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

Unit* unit_for_body(const Cell* body) { return unit_for(body); }

// A block walked expression by expression is made at its second walk: the
// blocks of data walked once (a print's, a reduce's of a copy) cost no unit.
Unit* unit_for_walk(const Cell* block) {
  u32 node = series_node(block);
  i32 idx = series_index(block);
  u32 start = idx < 0 ? 0 : u32(idx);
  Front& f = front_of(node, start);
  if (!f.unit || f.node != node || f.start != start) {
    Entry& e = g_cache[key_of(node, start)];
    if (!e.unit && !e.walked) {
      e.walked = true;
      return nullptr;
    }
  }
  return unit_for(block);
}
Unit* unit_for_block(const Cell* block) { return unit_for(block); }

Unit* cached_unit_for_block(const Cell* block, UnitCache& cache) {
  if (cache.unit && cache.gen == g_unit_gen && cache.unit->epoch == code::epoch) return cache.unit;
  cache.unit = unit_for(block);
  cache.gen = g_unit_gen;
  return cache.unit;
}

void forget_all() {
  for (auto& [key, entry] : g_cache) {
    if (entry.unit) retire(entry.unit);
    entry.made = 0;
  }
}

// Nodes moved (the collector emptied a node frame): the cache is keyed by
// node and units name their blocks by node, so every unit goes (the running
// ones once they end: their nodes did not move, see pin_running).
void forget_nodes() {
  forget_all();
  g_cache.clear();
  for (Front& f : g_front) f = Front{};
}

}  // namespace qel::interp::compiled
