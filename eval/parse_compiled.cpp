// Compiled PARSE rules: untraced runs walk each rule block by C++ recursion
// over its rules, reading every rule from a plan of the block.
//
// A plan classifies each cell of a block once (the keyword a word names, or
// the kind of value) and knows, for every position, where the next `|`
// stands: the walk neither looks words up in the keyword table nor scans
// for alternatives. Literals, charsets, `skip`, `end`, repetitions of an
// atom, `to`/`thru`, `copy`/`set` and the alternatives of a block are run
// here; every other rule goes through the reference machine's own steps
// (eval/parse_engine.hpp), driven from here.
//
// Answering as the reference does:
// - The rules stack holds what the reference pushes, entry for entry, except
//   the repetitions and to/thru commands, which count their cell without an
//   entry: the depth limit (parse-stack), the endless-recursion check and
//   the collector see the same.
// - The fast paths are the reference's untraced ones, taken under the same
//   conditions (an atom repeated, a block that fails on its first atom).
// - Words are looked up when a rule is reached, and the input and the rule
//   blocks are read through their nodes at every step.
// - A plan describes its block as it was when made. Blocks change only when
//   Qel code runs (a paren, a word's change handler, a nested PARSE) or when
//   the engine edits a series; g_epoch moves at each such moment, and a plan
//   is compared with its block's cells once after it (plan_current), then
//   made again when they differ. A planned block is marked as code that a
//   compiled form relies on (runtime/code_epoch.hpp), so that a paren that
//   moved neither the code epoch (no planned block was written) nor, since
//   g_epoch last moved, the collector's cycle count (no block was freed for
//   its node to serve another) leaves g_epoch where it was. A paren runs
//   the compiled unit its plan keeps for it.
#include <cstring>
#include <memory>
#include <unordered_map>

#include "eval/parse_engine.hpp"
#include "datatypes/bitset.hpp"
#include "datatypes/context.hpp"
#include "eval/interpreter_compiled.hpp"
#include "eval/interrupt.hpp"
#include "platform/image_state.hpp"
#include "runtime/api.hpp"
#include "runtime/code_epoch.hpp"
#include "runtime/collector.hpp"

namespace qel::parse::detail {

namespace {

bool g_on = true;     // untraced runs use compiled rules (unless the evaluator runs as the reference)
u32 g_epoch = 1;      // moves whenever a rule block may have changed
u32 g_epoch_cycles = 0;  // the collector's cycle count when g_epoch last moved for a paren or a run
u32 g_active = 0;     // compiled runs in progress (plans are dropped only at 0)

// The kind of a rule cell in a plan: for a word, the keyword it names (K_NO
// for any other word); else one of these.
constexpr u8 CK_SET_WORD = 64;
constexpr u8 CK_GET_WORD = 65;
constexpr u8 CK_PAREN = 66;
constexpr u8 CK_BLOCK = 67;
constexpr u8 CK_INTEGER = 68;
constexpr u8 CK_OTHER = 69;  // a value matched as it stands

constexpr u32 NO_BAR = 0xFFFFFFFF;
constexpr u32 NO_LEAD = 0xFFFFFFFF;
constexpr u32 MAX_PLAN_CELLS = 4096;  // longer blocks are read cell by cell
constexpr size_t MAX_PLANS = 4096;    // beyond this, plans are made afresh

u8 classify(const Cell* c) {
  switch (type_of(c)) {
    case TYPE_WORD: return keyword_of(c);
    case TYPE_SET_WORD: return CK_SET_WORD;
    case TYPE_GET_WORD: return CK_GET_WORD;
    case TYPE_PAREN: return CK_PAREN;
    case TYPE_BLOCK: return CK_BLOCK;
    case TYPE_INTEGER: return CK_INTEGER;
    default: return CK_OTHER;
  }
}

// The position of the next `|` from `from` in the block, the value after a
// `quote` skipped, or NO_BAR (the reference's scan for an alternative).
u32 scan_bar(u32 node, u32 from) {
  u32 n = cells_of(node);
  for (u32 p = from; p < n; ++p) {
    Cell* c = cell_of(node, p);
    if (type_of(c) != TYPE_WORD) continue;
    Keyword k = keyword_of(c);
    if (k == K_QUOTE) ++p;
    else if (k == K_BAR) return p;
  }
  return NO_BAR;
}

}  // namespace

// F_LEAD: a copy or set whose lead atom (lead_of) the item holds; F_PAREN: a
// paren. Either opens the block's entry and leaves the rest of the round to
// the block walk (an action item).
enum FusedOp : u8 { F_ATOM, F_REPEAT, F_SKIP, F_END, F_NONE, F_FAIL, F_ALT, F_LEAD, F_PAREN };

struct Plan;

struct Fused {
  static constexpr u32 MAX_ITEMS = 32;
  enum How : u8 { H_CHAR, H_SET, H_STRING, H_OTHER };  // how an atom meets 1-byte units
  struct Item {
    FusedOp op;
    How how = H_OTHER;  // (no units yet)
    i32 min, max;
    Cell atom;
    u8 units[256];      // H_CHAR, H_SET: 1 for each 1-byte unit that matches
    // What units was made from: a character and the case mode (H_CHAR:
    // from_node, from_flags), or a bitset's node, flag and first 32 bytes
    // (H_SET). A block is fused again at each use: an item made again from
    // the same keeps its units.
    u32 from_node, from_flags, from_used;
    u8 from_bits[32];
    const u8* bytes;    // H_STRING: the string's bytes from its index
    u32 length;         // H_STRING: their count
    u32 src;            // an atom's position in the block
    u32 pos;            // F_LEAD, F_PAREN: the position of the command or paren
  };
  Item items[MAX_ITEMS];
  u32 n = 0;
  Plan* plan = nullptr;  // the plan that owns this form
  // What the items were made for: the plan as built (its stamp), the
  // block's head and the case mode. The same again: only the atoms are
  // looked up again.
  bool made = false;
  u32 stamp = 0;
  u32 head = 0;
  bool case_sensitive = false;
};

struct Plan {
  u32 node = 0;
  u32 checked = 0;             // g_epoch when the plan was last found current
  bool usable = false;         // false: the block is too long to plan
  std::vector<Cell> cells;     // the block's cells when planned
  std::vector<u8> kind;        // per cell
  std::vector<u32> next_bar;   // per position up to one past the tail: scan_bar
  std::vector<u32> lead;       // per position: lead_of
  std::vector<Plan*> sub;      // per cell holding a block: that block's plan, once asked for
  std::vector<interp::compiled::UnitCache> units;  // per cell holding a paren: its unit, once run
  bool simple = false;         // every cell may belong to a fused block
  bool acts = false;           // simple, with copy/set over a lead atom or parens
  std::unique_ptr<Fused> fused;  // the fused form, its atoms looked up again at each use
  u32 stamp = 0;               // counts the builds
};

namespace {

std::vector<std::unique_ptr<Plan>> g_plans;
std::unordered_map<u32, Plan*> g_plan_of;
struct RecentPlan {
  u32 node;
  Plan* plan;
};
RecentPlan g_recent[256];  // the plans last asked for, by node
// The plans are C++ memory, made again by each process as rules run.
QEL_IMAGE_SKIP(g_epoch);
QEL_IMAGE_SKIP(g_plans);
QEL_IMAGE_SKIP(g_plan_of);
QEL_IMAGE_SKIP(g_recent);

// For a `copy` or `set` of a plain word whose rule is an atom or `some`
// atom: the position of that atom, which must match at the input for the
// command to match at all; else NO_LEAD. Such a command that fails leaves
// nothing behind, so a block walk may skip it when its atom does not match
// (c_lead_fails): the commonest failure in a block of alternatives, which
// otherwise costs the whole command's set-up.
u32 lead_of(const Plan& p, u32 i) {
  u32 n = u32(p.kind.size());
  if ((p.kind[i] != K_COPY && p.kind[i] != K_SET) || i + 2 >= n) return NO_LEAD;
  if (type_of(&p.cells[i + 1]) != TYPE_WORD || p.kind[i + 1] != K_NO) return NO_LEAD;
  u32 a = i + 2;
  if (p.kind[a] == K_SOME) ++a;
  if (a >= n || (p.kind[a] != K_NO && p.kind[a] != CK_OTHER)) return NO_LEAD;
  return a;
}

// The value of the plan's cell at p when it is a character, charset or
// string, as it stands or held by a word: the atoms a string input matches
// directly; else null.
const Cell* text_atom(const Plan& pl, u32 p) {
  const Cell* v = &pl.cells[p];
  if (pl.kind[p] == K_NO && !(v = rule_value(v))) return nullptr;
  Type t = type_of(v);
  return t == TYPE_CHAR || t == TYPE_BITSET || t == TYPE_STRING ? v : nullptr;
}

void build(Plan& p) {
  u32 n = cells_of(p.node);
  p.checked = g_epoch;
  ++p.stamp;
  p.usable = n <= MAX_PLAN_CELLS;
  if (!p.usable) {
    p.cells.clear();
    p.kind.clear();
    p.next_bar.clear();
    p.lead.clear();
    p.sub.clear();
    p.units.clear();
    return;
  }
  code::mark_compiled(p.node);
  const Cell* c = cell_of(p.node, 0);
  p.cells.assign(c, c + n);
  p.kind.resize(n);
  for (u32 i = 0; i < n; ++i) p.kind[i] = classify(&p.cells[i]);
  p.sub.assign(n, nullptr);
  p.units.clear();
  p.next_bar.assign(n + 2, NO_BAR);
  for (u32 i = n; i-- > 0;) {
    u8 k = p.kind[i];
    p.next_bar[i] = k == K_BAR ? i : k == K_QUOTE ? p.next_bar[i + 2] : p.next_bar[i + 1];
  }
  p.lead.resize(n);
  for (u32 i = 0; i < n; ++i) p.lead[i] = lead_of(p, i);
  p.simple = n <= Fused::MAX_ITEMS && (n == 0 || p.kind[n - 1] != K_BAR);
  p.acts = false;
  for (u32 i = 0; i < n && p.simple; ++i) {
    switch (p.kind[i]) {
      case K_NO: case CK_OTHER: case K_BAR: case K_SKIP: case K_END: case K_NONE: case K_FAIL:
      case K_SOME: case K_ANY: case K_OPT:
        break;
      case K_COPY: case K_SET:
        if (p.lead[i] == NO_LEAD) {
          p.simple = false;
          break;
        }
        p.acts = true;
        i = p.lead[i];  // (the word and `some` before the lead are the command's)
        break;
      case CK_PAREN:
        p.acts = true;
        break;
      default:
        p.simple = false;
    }
  }
}

// Whether the plan still describes its block. This is the one place that
// decides it: a plan is compared with its block again after every moment
// the block may have changed.
bool plan_current(Plan& p) {
  if (p.checked == g_epoch) return true;
  u32 n = cells_of(p.node);
  bool same = p.usable ? n == p.cells.size() &&
                             (n == 0 || std::memcmp(cell_of(p.node, 0), p.cells.data(), n * sizeof(Cell)) == 0)
                       : n > MAX_PLAN_CELLS;
  if (same) p.checked = g_epoch;
  return same;
}

// The plan object of the block, current or not.
Plan* plan_for_slot(u32 node) {
  RecentPlan& r = g_recent[(node >> 4) & 255];
  Plan* p = r.node == node ? r.plan : nullptr;
  if (!p) {
    auto it = g_plan_of.find(node);
    if (it != g_plan_of.end()) {
      p = it->second;
    } else {
      g_plans.push_back(std::make_unique<Plan>());
      p = g_plans.back().get();
      p->node = node;
      p->checked = 0;
      g_plan_of.emplace(node, p);
    }
    r = {node, p};
  }
  return p;
}

// The current plan of the block, or null when it is too long to plan.
Plan* plan_for(u32 node) {
  Plan* p = plan_for_slot(node);
  if (!plan_current(*p)) build(*p);
  return p->usable ? p : nullptr;
}

// The current plan of the block held by cell pos of a current plan (null
// when it is too long to plan): the holder remembers it, so that the walk
// into a literal sub-block asks no table.
Plan* sub_plan(Plan& holder, u32 pos) {
  u32 node = series_node(&holder.cells[pos]);
  Plan* p = holder.sub[pos];
  if (!p || p->node != node) p = holder.sub[pos] = plan_for_slot(node);
  if (!plan_current(*p)) build(*p);
  return p->usable ? p : nullptr;
}

// Plans of blocks that are gone would pile up: past a limit, all are
// dropped while no compiled run holds one.
void drop_plans_if_many() {
  if (g_active || g_plans.size() <= MAX_PLANS) return;
  g_plan_of.clear();
  g_plans.clear();
  for (RecentPlan& r : g_recent) r = {0, nullptr};
}

// After a word was set: an object's word runs its change handler, which may
// change anything.
inline void words_set(const Cell* w) {
  if (context::kind_of(word::context_of(w)) == context::KIND_OBJECT) ++g_epoch;
}

// Whether c_fails_at_once can answer true for the block, read from its
// current plan (null: not known): only when its first rule is an atom.
inline bool may_fail_at_once(const Plan* sub, const Cell* blk) {
  if (!sub) return true;
  i32 head = series_index(blk);
  if (head < 0 || u32(head) >= sub->kind.size()) return false;
  u8 k = sub->kind[u32(head)];
  return k == CK_OTHER || k == K_NO;
}

inline bool ok_of(Engine::Res r) { return r == Engine::RS_OK || r == Engine::RS_OK_BRK; }
inline Engine::Res res_of(bool ok) { return ok ? Engine::RS_OK : Engine::RS_FAIL; }

// Counts a command's cell on the rules stack, as the reference's entry
// would (parse-stack past the limit); the engine puts the count back when
// an error leaves it.
struct CommandCell {
  explicit CommandCell(Engine& e) { e.check_depth(1), ++g_rule_cells; }
  ~CommandCell() { --g_rule_cells; }
  CommandCell(const CommandCell&) = delete;
  CommandCell& operator=(const CommandCell&) = delete;
};

}  // namespace

bool compiled_rules_on() { return g_on && !interp::reference; }

}  // namespace qel::parse::detail

namespace qel::parse {

void use_compiled_rules(bool on) { detail::g_on = on; }

}  // namespace qel::parse

namespace qel::parse::detail {


// ---- fused blocks -----------------------------------------------------------------------
//
// A rule block made only of atoms (characters, strings, charsets, as they
// stand or held by words), repetitions of atoms, skip, end, none, fail and
// alternatives runs no Qel code and changes nothing: over a string input, a
// round of it is a plain loop over its items, with its words looked up once
// for all the rounds of a repetition (nothing can set them meanwhile). It is
// fused only where entering it could raise nothing: the rules stack has room
// for its entry and it is not already open (no endless-recursion check can
// fire).
//
// A block whose alternatives also hold a copy or set over a lead atom, or a
// paren (an action), is fused too: a round runs as above up to the first
// action item its alternative reaches (a copy whose lead atom does not match
// fails there, as the block walk's check finds). There it opens the block's
// entry, as the walk would have it at that rule, and the block walk takes
// the rest of the round: nothing before that point ran Qel code or
// allocated, so nothing could tell the entry came late. After such a round
// the form is made again before the next (the paren may have changed any
// word or charset, the copy moved buffers).

namespace {

// The item's units for a character: the character itself, and without
// case sensitivity those with its case fold. Kept by the item while it is
// made from the same character and case mode.
void char_units(Fused::Item& it, u32 want, bool case_sensitive) {
  if (it.how == Fused::H_CHAR && it.from_node == want && it.from_flags == u32(case_sensitive)) return;
  it.how = Fused::H_CHAR;
  it.from_node = want;
  it.from_flags = case_sensitive;
  std::memset(it.units, 0, sizeof it.units);
  u32 folded = fold(want);
  if (want < 256) it.units[want] = 1;
  if (!case_sensitive) {
    for (u32 c = 0; c < 256; ++c) {
      if (fold(c) == folded) it.units[c] = 1;
    }
  }
}

// The item's units for a bitset: the 1-byte units it holds. Kept by the
// item while the bitset's bytes stay the same (compared at each use: a
// bitset can change whenever Qel code runs). Each item keeps its own: two
// sets of one block never evict each other's tables.
inline bool same_set(const Fused::Item& it, u32 node, const Buffer* b, u32 used, u32 flags) {
  return it.how == Fused::H_SET && it.from_node == node && it.from_used == used && it.from_flags == flags &&
         std::memcmp(it.from_bits, b->head_ptr(), used) == 0;
}

void set_units(Fused::Item& it, const Cell* bitset) {
  u32 node = series_node(bitset);
  Buffer* b = buffer_of(node);
  u32 used = std::min<u32>(b->used(), 32);
  u32 flags = b->flags & mem::SERIES_BITS_NOT;
  if (same_set(it, node, b, used, flags)) return;
  it.how = Fused::H_SET;
  it.from_node = node;
  it.from_used = used;
  it.from_flags = flags;
  std::memcpy(it.from_bits, b->head_ptr(), used);
  for (u32 c = 0; c < 256; ++c) it.units[c] = bitset::test_bit(node, c);
}

// The atom a plan's cell stands for, if it is one a fused block can match,
// with what matching it over 1-byte units needs. The buffers it points into
// stay where they are while the fused block runs: nothing allocates.
bool fused_atom(const Plan& pl, u32 p, Fused::Item& it, bool case_sensitive) {
  const Cell* v = &pl.cells[p];
  if (pl.kind[p] == K_NO) {
    v = rule_value(v);
    if (!v) return false;
  } else if (pl.kind[p] != CK_OTHER) {
    return false;
  }
  it.atom = *v;
  it.src = p;
  switch (type_of(v)) {
    case TYPE_CHAR:
      char_units(it, char_of(v), case_sensitive);
      return true;
    case TYPE_BITSET:
      set_units(it, v);
      return true;
    case TYPE_STRING: {
      Buffer* b = buffer_of(series_node(v));
      it.how = Fused::H_OTHER;
      if (b->unit() == 1) {
        u32 total = b->used();
        u32 from = u32(std::clamp<i32>(series_index(v), 0, i32(total)));
        it.how = Fused::H_STRING;
        it.bytes = b->head_ptr() + from;
        it.length = total - from;
      }
      return true;
    }
    default:
      return false;
  }
}

// Whether the 1-byte unit c matches the character or charset item.
inline bool unit_matches(const u8* units, u32 c) { return units[c] != 0; }

}  // namespace

// Whether the item's atom, looked up again, is the one it was made from
// with the same units (a string's bytes may have moved: made again).
inline bool atom_unchanged(const Plan& pl, const Fused::Item& it) {
  const Cell* v = &pl.cells[it.src];
  if (pl.kind[it.src] == K_NO && !(v = rule_value(v))) return false;
  if (std::memcmp(v, &it.atom, sizeof(Cell)) != 0) return false;
  if (it.how == Fused::H_CHAR) return true;
  if (it.how != Fused::H_SET) return false;
  u32 node = series_node(v);
  const Buffer* b = buffer_of(node);
  return same_set(it, node, b, std::min<u32>(b->used(), 32), b->flags & mem::SERIES_BITS_NOT);
}

// The fused form of the block (whose current plan is plan, when known), or
// null when it has none here.
const Fused* Engine::c_fuse(const Cell* blk, Plan* plan) {
  if (in.kind != IN_TEXT || binary_input()) return nullptr;
  if (g_rule_cells + 2 > MAX_CELLS || g_inputs.size() + 1 > MAX_CELLS) return nullptr;
  u32 node = series_node(blk);
  Plan* pl = plan ? plan : plan_for(node);
  if (!pl || !pl->simple) return nullptr;
  // (an action's block walk checks the room for a command's cell before
  // the lead atom)
  if (pl->acts && g_rule_cells + 3 > MAX_CELLS) return nullptr;
  for (u32 i = cur_block; i != NO_ENTRY; i = g_rules[i].prev) {
    if (series_node(&g_rules[i].a) == node) return nullptr;
  }
  if (!pl->fused) pl->fused = std::make_unique<Fused>();
  Fused& f = *pl->fused;
  u32 n = u32(pl->kind.size());
  u32 head = u32(std::clamp<i32>(series_index(blk), 0, i32(n)));
  if (f.made && f.stamp == pl->stamp && f.head == head && f.case_sensitive == case_) {
    // Words and charsets may have changed since: the atoms are made again
    // (each keeps its units when made from the same).
    for (u32 i = 0; i < f.n; ++i) {
      Fused::Item& it = f.items[i];
      if ((it.op == F_ATOM || it.op == F_REPEAT || it.op == F_LEAD) && !atom_unchanged(*pl, it) &&
          !fused_atom(*pl, it.src, it, case_)) {
        f.made = false;
        return nullptr;
      }
    }
    return &f;
  }
  f.made = false;
  f.plan = pl;
  f.n = 0;
  for (u32 p = head; p < n; ++p) {
    if (f.n == Fused::MAX_ITEMS) return nullptr;
    Fused::Item& it = f.items[f.n++];
    it.min = it.max = 0;
    switch (pl->kind[p]) {
      case K_BAR:
        if (p + 1 >= n) return nullptr;  // parse-end when reached
        it.op = F_ALT;
        break;
      case CK_OTHER: case K_NO:
        if (!fused_atom(*pl, p, it, case_)) return nullptr;
        it.op = F_ATOM;
        break;
      case K_COPY: case K_SET:
        if (!fused_atom(*pl, pl->lead[p], it, case_)) return nullptr;
        it.op = F_LEAD;
        it.pos = p;
        p = pl->lead[p];
        break;
      case CK_PAREN:
        it.op = F_PAREN;
        it.pos = p;
        break;
      case K_SKIP: it.op = F_SKIP; break;
      case K_END: it.op = F_END; break;
      case K_NONE: it.op = F_NONE; break;
      case K_FAIL: it.op = F_FAIL; break;
      case K_SOME: case K_ANY: case K_OPT: {
        u8 k = pl->kind[p];
        if (p + 1 >= n || !fused_atom(*pl, p + 1, it, case_)) return nullptr;
        it.op = F_REPEAT;
        it.min = k == K_SOME ? 1 : 0;
        it.max = k == K_OPT ? 1 : -1;
        ++p;
        break;
      }
      default:
        return nullptr;
    }
  }
  f.made = true;
  f.stamp = pl->stamp;
  f.head = head;
  f.case_sensitive = case_;
  return &f;
}

// One round of the fused block blk: whether it matched (the input then
// after the match, else where it was), or what the block walk answers once
// an action item is reached (acted then set).
Engine::Res Engine::c_fused_round(const Fused& f, const Cell* blk, bool& acted) {
  clamp_index();
  i32 start = in.index;
  i32 end = in_end();
  Buffer* input = buffer_of(in_node());
  const u8* h = input->unit() == 1 ? input->head_ptr() : nullptr;
  u32 i = 0;
  for (;;) {
    bool ok = true;
    for (; ok && i < f.n && f.items[i].op != F_ALT; ++i) {
      const Fused::Item& it = f.items[i];
      i32 at = in.index;
      switch (it.op) {
        case F_ATOM:
          if (h && it.how != Fused::H_OTHER) {
            if (it.how == Fused::H_STRING) {
              ok = u64(at) + it.length <= u64(end) &&
                   (case_ ? std::memcmp(h + at, it.bytes, it.length) == 0 : [&] {
                     for (u32 k = 0; k < it.length; ++k) {
                       if (h[at + k] != it.bytes[k] && fold(h[at + k]) != fold(it.bytes[k])) return false;
                     }
                     return true;
                   }());
              if (ok) in.index = at + i32(it.length);
            } else {
              ok = at < end && unit_matches(it.units, h[at]);
              if (ok) in.index = at + 1;
            }
          } else {
            i32 m = c_match_at(at, end, &it.atom);
            ok = m >= 0;
            if (ok) in.index = at + m;
          }
          break;
        case F_REPEAT:
          if (h && (it.how == Fused::H_CHAR || it.how == Fused::H_SET)) {
            i32 stop = it.max < 0 ? end : std::min(end, at + it.max);
            i32 k = at;
            const u8* units = it.units;
            while (k < stop && unit_matches(units, h[k])) ++k;
            ok = k - at >= it.min;
            if (ok) in.index = k;
          } else if (c_repeat_atom(&it.atom, it.max) < it.min) {
            in.index = at;
            ok = false;
          }
          break;
        case F_SKIP:
          ok = at < end;
          if (ok) in.index = at + 1;
          break;
        case F_END: ok = at >= end; break;
        case F_NONE: break;
        case F_FAIL: ok = false; break;
        case F_ALT: break;
        case F_LEAD: {
          // (over 1-byte units the copy's whole match is found here)
          i32 matched = -1;
          if (h && (it.how == Fused::H_CHAR || it.how == Fused::H_SET)) {
            i32 k = at;
            if (f.plan->lead[it.pos] != it.pos + 2) {
              while (k < end && unit_matches(it.units, h[k])) ++k;
            } else if (at < end && unit_matches(it.units, h[at])) {
              ++k;
            }
            ok = k > at;
            matched = k;
          } else {
            ok = c_match_at(at, end, &it.atom) >= 0;
          }
          if (!ok) break;
          acted = true;
          c_push_block(blk, start);
          g_rules[cur_block].pos = it.pos;
          if (matched >= 0) {
            Plan* saved = cur_plan;
            cur_plan = f.plan;
            c_copy_lead(f.plan->kind[it.pos] == K_COPY ? C_COPY : C_SET, it.pos, &it.atom, matched);
            cur_plan = saved;
          }
          return c_block_loop(f.plan);
        }
        case F_PAREN:
          // The block's entry as c_block opens it, the block at this item.
          acted = true;
          c_push_block(blk, start);
          g_rules[cur_block].pos = it.pos;
          return c_block_loop(f.plan);
      }
    }
    if (ok) return RS_OK;
    while (i < f.n && f.items[i].op != F_ALT) ++i;
    in.index = start;
    if (i >= f.n) return RS_FAIL;
    ++i;
  }
}

// ---- plans of the running blocks ------------------------------------------------

// The plan of the innermost block when it is node's and still current,
// else null.
inline Plan* Engine::c_plan_for(u32 node) {
  Plan* pl = cur_plan;
  return pl && pl->node == node && pl->checked == g_epoch ? pl : nullptr;
}

inline u8 Engine::c_kind_at(u32 node, u32 p) {
  if (Plan* pl = c_plan_for(node)) [[likely]] return pl->kind[p];
  return c_kind_slow(node, p);
}

u8 Engine::c_kind_slow(u32 node, u32 p) {
  Plan* pl = cur_plan && cur_plan->node == node ? cur_plan : nullptr;
  if (pl && !plan_current(*pl)) build(*pl);
  if (pl && pl->usable) return pl->kind[p];
  return classify(cell_of(node, p));
}

u32 Engine::c_next_bar(u32 node, u32 from) {
  Plan* pl = cur_plan && cur_plan->node == node && plan_current(*cur_plan) ? cur_plan : plan_for(node);
  if (!pl) return scan_bar(node, from);
  return from < pl->next_bar.size() ? pl->next_bar[from] : NO_BAR;
}

// The plan of the literal block at pos of the innermost rule block, through
// that block's current plan; null when there is none to hand.
Plan* Engine::c_sub_plan(u32 node, u32 pos) {
  Plan* pl = cur_plan;
  if (!pl || pl->node != node || !plan_current(*pl) || pl->kind[pos] != CK_BLOCK) return nullptr;
  return sub_plan(*pl, pos);
}

// ---- the run ------------------------------------------------------------------------

bool Engine::run_compiled() {
  drop_plans_if_many();
  ++g_epoch;
  g_epoch_cycles = gc::cycles();
  struct Active {
    Active() { ++g_active; }
    ~Active() { --g_active; }
  } active;
  Res r = c_block(&rules, &rules);
  clamp_index();
  bool ok = ok_of(r) && in.index >= in_end() && g_inputs.size() == inputs_base;
  match = ok;
  return ok;
}

// push_block and the walk of the block. The entry is the reference's, made
// without going through push_entry's general case.
Engine::Res Engine::c_block(const Cell* blk, const Cell* name, Plan* plan) {
  u32 node = series_node(blk);
  i32 head = std::clamp<i32>(series_index(blk), 0, i32(cells_of(node)));
  check_recursion(node, head, in_total(), name);
  check_depth(2);
  c_push_block(blk, in.index);
  return c_block_loop(plan);
}

// The block entry itself, its walk begun at the input index start.
void Engine::c_push_block(const Cell* blk, i32 start) {
  u32 node = series_node(blk);
  i32 head = std::clamp<i32>(series_index(blk), 0, i32(cells_of(node)));
  Entry& e = g_rules.emplace_back();
  e.code = C_BLOCK;
  e.flags = e.kind = e.pad = 0;
  e.pos = u32(head);
  e.end = 0;
  e.prev = cur_block;
  e.start = e.mark = start;
  e.in_node = in_node();
  e.in_len = in_total();
  e.a = *blk;
  set_series_index(&e.a, head);
  make_none(&e.b);
  g_rule_cells += 2;
  cur_block = u32(g_rules.size() - 1);
}

// Walks the rule block on top of the rules stack to its end, its next
// alternative after each failure; answers as pop_block does.
Engine::Res Engine::c_block_loop(Plan* plan) {
  u32 bi = cur_block;
  u32 node = series_node(&g_rules[bi].a);
  Plan* saved = cur_plan;
  cur_plan = plan ? plan : plan_for(node);
  Res out;
  for (;;) {
    Entry& b = g_rules[bi];
    u32 n = cells_of(node);
    if (b.pos >= n) {
      out = c_pop_block(true, false);
      break;
    }
    Plan* pl = c_plan_for(node);
    u8 k = pl ? pl->kind[b.pos] : c_kind_slow(node, b.pos);
    if (k == K_BAR) {
      if (b.pos + 1 >= n) {
        Cell bar = *cell_of(node, b.pos);
        fire(Err::script_parse_end, &bar);
      }
      out = c_pop_block(true, false);
      break;
    }
    Res r = pl && in.kind == IN_TEXT && !binary_input() ? c_text_step(*pl, b.pos, k, false) : c_step(false);
    if (r == RS_OK || r == RS_OK_BRK) continue;
    if (r == RS_BREAK || r == RS_REJECT) {
      out = c_pop_block(r == RS_BREAK, true);
      break;
    }
    // The next alternative, from the input where the block began.
    Entry& e = g_rules[bi];
    u32 p = c_next_bar(node, e.pos);
    if (p == NO_BAR) {
      out = c_pop_block(false, false);
      break;
    }
    if (p + 1 >= cells_of(node)) {
      Cell bar = *cell_of(node, p);
      fire(Err::script_parse_end, &bar);
    }
    e.pos = p + 1;
    in.index = e.start;
  }
  cur_plan = saved;
  return out;
}

// The rule at pos of a block whose plan is current, over a string input:
// the atoms, repetitions of an atom, copy/set of a word over an atom,
// parens and literal blocks taken here, as c_step takes them; every other
// rule through c_step (awaiting: the rule is a command's sub-rule). A
// copy or set whose lead atom (lead_of) does not match fails before its
// set-up, as its run would find without setting anything; one that would
// raise instead (the rules stack full) is left to the run.
inline Engine::Res Engine::c_text_step(Plan& pl, u32 pos, u8 k, bool awaiting) {
  switch (k) {
    case CK_OTHER: case K_NO: {
      const Cell* v = text_atom(pl, pos);
      if (!v) break;
      ++g_rules[cur_block].pos;
      clamp_index();
      i32 m = c_match_at(in.index, in_end(), v);
      if (m < 0) return RS_FAIL;
      in.index += m;
      return RS_OK;
    }
    case K_SOME: case K_ANY: case K_OPT: {
      u32 sub = pos + 1;
      if (sub >= pl.kind.size()) break;
      const Cell* v = text_atom(pl, sub);
      if (!v) break;
      g_rules[cur_block].pos = sub + 1;
      i32 start = in.index;
      i32 count = c_repeat_atom(v, k == K_OPT ? 1 : -1);
      if (count >= (k == K_SOME ? 1 : 0)) return RS_OK;
      in.index = start;
      return RS_FAIL;
    }
    case K_COPY: case K_SET: {
      u32 lead = pl.lead[pos];
      if (lead == NO_LEAD) break;
      const Cell* v = text_atom(pl, lead);
      if (!v) break;
      // (not for a command's sub-rule: a failed last round of a repetition
      // leaves the block's position where its sub-rule's step left it)
      if (!awaiting && g_rule_cells + 1 <= MAX_CELLS && g_inputs.size() + 1 <= MAX_CELLS) {
        i32 end = in_end();
        if (c_match_at(std::clamp(in.index, 0, end), end, v) < 0) return RS_FAIL;
      }
      return c_copy_lead(k == K_COPY ? C_COPY : C_SET, pos, v);
    }
    case CK_PAREN:
      return c_paren(pl, pos);
    case CK_BLOCK:
      return c_literal_block(pl, pos, true);
    default:
      break;
  }
  return c_step(awaiting);
}

Engine::Res Engine::c_pop_block(bool r, bool by_break) {
  Entry& e = g_rules.back();
  if (!r) in.index = e.start;
  u32 prev = e.prev;
  pop_entry();
  cur_block = prev;
  if (r) return by_break ? RS_OK_BRK : RS_OK;
  return by_break ? RS_FAIL_BRK : RS_FAIL;
}

// A paren at pos of the innermost block, whose plan pl is current:
// evaluated above a cell of its own, its value dropped, by the unit the
// plan keeps for it.
Engine::Res Engine::c_paren(Plan& pl, u32 pos) {
  Cell v = pl.cells[pos];
  ++g_rules[cur_block].pos;
  u32 n = u32(pl.kind.size());
  if (pl.units.size() != n) pl.units.assign(n, {});
  u32 code_epoch = code::epoch;
  Cell* before = stack::top;
  make_unset(stack::push());
  // (the cache is written when the unit is found, before any Qel code
  // runs that could make the plan again)
  interp::Status st = interp::eval_block_kept(&v, false, pl.units[pos]);
  interp::check(st);
  if (stack::top > before) stack::pop(u32(stack::top - before));
  clamp_index();
  // A block freed since g_epoch last moved may have left its node to a
  // new one (the paren's own, or one made before it).
  if (code::epoch != code_epoch || gc::cycles() != g_epoch_cycles) {
    ++g_epoch;
    g_epoch_cycles = gc::cycles();
  }
  return RS_OK;
}

// A literal rule block at pos of the innermost block, whose plan pl is
// current; text: the input is a string.
Engine::Res Engine::c_literal_block(Plan& pl, u32 pos, bool text) {
  Plan* sub = sub_plan(pl, pos);
  Cell v = pl.cells[pos];
  ++g_rules[cur_block].pos;
  if (text && sub && sub->simple) {
    bool acted = false;
    if (const Fused* fused = c_fuse(&v, sub)) return c_fused_round(*fused, &v, acted);
  }
  if (may_fail_at_once(sub, &v) && c_fails_at_once(&v, sub)) return RS_FAIL;
  return c_block(&v, &v, sub);
}

// One rule from the position of the innermost block. awaiting: the rule is
// the sub-rule of a command, which the block's end or a `|` cannot be. The
// commonest rules are taken here from the block's plan, as c_step_general
// and the routines it calls would take them.
Engine::Res Engine::c_step(bool awaiting) {
  Entry& b = g_rules[cur_block];
  u32 node = series_node(&b.a);
  Plan* pl = cur_plan;
  if (!pl || pl->node != node || (pl->checked != g_epoch && !plan_current(*pl))) return c_step_general(awaiting);
  u32 pos = b.pos;
  u32 n = u32(pl->kind.size());
  if (pos >= n) end_error(node, n);  // (only a command's sub-rule is asked for at the end)
  u8 k = pl->kind[pos];
  if (k == K_BAR) return c_step_general(awaiting);
  bool text = in.kind == IN_TEXT && type_of(&in.series) != TYPE_BINARY;
  switch (k) {
    case CK_OTHER: case K_NO: {
      if (!text) break;
      const Cell* v = &pl->cells[pos];
      if (k == K_NO && !(v = rule_value(v))) break;
      Type t = type_of(v);
      if (t != TYPE_CHAR && t != TYPE_BITSET && t != TYPE_STRING) break;
      ++b.pos;
      clamp_index();
      i32 m = c_match_at(in.index, in_end(), v);
      if (m < 0) return RS_FAIL;
      in.index += m;
      return RS_OK;
    }
    case K_SKIP:
      ++b.pos;
      clamp_index();
      if (in.index >= in_end()) return RS_FAIL;
      ++in.index;
      return RS_OK;
    case K_END:
      ++b.pos;
      clamp_index();
      return res_of(in.index >= in_end());
    case K_SOME: case K_ANY: case K_OPT: {
      u32 sub = pos + 1;
      if (!text || sub >= n) break;
      u8 sk = pl->kind[sub];
      const Cell* v = &pl->cells[sub];
      if (sk == K_NO) {
        if (!(v = rule_value(v))) break;
      } else if (sk != CK_OTHER) {
        break;
      }
      Type t = type_of(v);
      if (t != TYPE_CHAR && t != TYPE_BITSET && t != TYPE_STRING) break;
      b.pos = sub + 1;
      i32 start = in.index;
      i32 count = c_repeat_atom(v, k == K_OPT ? 1 : -1);
      if (count >= (k == K_SOME ? 1 : 0)) return RS_OK;
      in.index = start;
      return RS_FAIL;
    }
    case CK_PAREN:
      return c_paren(*pl, pos);
    case K_COPY: case K_SET: {
      if (text && pl->lead[pos] != NO_LEAD) {
        if (const Cell* v = text_atom(*pl, pl->lead[pos])) return c_copy_lead(k == K_COPY ? C_COPY : C_SET, pos, v);
      }
      Cell kw = pl->cells[pos];
      ++b.pos;
      return c_copy_set(k == K_COPY ? C_COPY : C_SET, &kw);
    }
    case CK_BLOCK:
      return c_literal_block(*pl, pos, text);
    default:
      break;
  }
  return c_step_general(awaiting);
}

// c_step for any rule, its kind read through c_kind_at.
Engine::Res Engine::c_step_general(bool awaiting) {
  Entry& b = g_rules[cur_block];
  u32 node = series_node(&b.a);
  if (awaiting && b.pos >= cells_of(node)) end_error(node, cells_of(node));
  u8 k = c_kind_at(node, b.pos);
  if (awaiting && k == K_BAR) {
    Cell v = *cell_of(node, b.pos);
    fire(Err::script_parse_end, &v);
  }
  Entry& e = g_rules[cur_block];
  Cell v = *cell_of(node, e.pos);
  ++e.pos;
  switch (k) {
    case CK_OTHER:
      return c_literal(&v);
    case K_NO:
      return c_dispatch_word(&v);
    case CK_BLOCK: {
      Plan* sub = c_sub_plan(node, e.pos - 1);
      if (c_fails_at_once(&v, sub)) return RS_FAIL;
      return c_block(&v, &v, sub);
    }
    case CK_INTEGER:
      return c_count(&v);
    case CK_SET_WORD: {
      // set_position
      Cell w = v;
      set_type(&w, TYPE_WORD);
      clamp_index();
      api::Values pos(1);
      copy_cell(&in.series, pos[0]);
      set_series_index(pos[0], in.index);
      word::set(&w, pos[0]);
      words_set(&w);
      return RS_OK;
    }
    case CK_PAREN: {
      // paren: evaluated above a cell of its own, its value dropped
      Cell* before = stack::top;
      make_unset(stack::push());
      interp::eval_block_or_throw(&v, false);
      if (stack::top > before) stack::pop(u32(stack::top - before));
      clamp_index();
      ++g_epoch;
      return RS_OK;
    }
    case CK_GET_WORD: {
      size_t depth = g_rules.size();
      Flow f = dispatch_value(&v, false);
      ++g_epoch;
      return c_drive(f, depth);
    }
    default:
      return c_keyword(Keyword(k), &v);
  }
}

// A word that is no keyword: the rule its value stands for.
Engine::Res Engine::c_dispatch_word(const Cell* word) {
  const Cell* value = rule_value(word);
  if (!value) {
    Cell c = *word;
    fire(Err::script_parse_rule, &c);
  }
  Cell v = *value;
  switch (type_of(&v)) {
    case TYPE_BLOCK:
      if (c_fails_at_once(&v)) return RS_FAIL;
      return c_block(&v, word);
    case TYPE_CHAR: case TYPE_BITSET: case TYPE_STRING:
      return c_literal(&v);
    default:
      return c_dispatch_value(&v, true);
  }
}

Engine::Res Engine::c_dispatch_value(const Cell* v, bool via_word) {
  switch (type_of(v)) {
    case TYPE_WORD: {
      if (via_word) return c_literal(v);
      Keyword k = keyword_of(v);
      if (k != K_NO) return c_keyword(k, v);
      return c_dispatch_word(v);
    }
    case TYPE_BLOCK:
      if (c_fails_at_once(v)) return RS_FAIL;
      return c_block(v, v);
    case TYPE_INTEGER:
      return c_count(v);
    case TYPE_SET_WORD: case TYPE_GET_WORD: case TYPE_PAREN: {
      size_t depth = g_rules.size();
      Flow f = dispatch_value(v, via_word);
      ++g_epoch;
      return c_drive(f, depth);
    }
    default:
      return c_literal(v);
  }
}

// As match_atom, matched by c_match_at.
Engine::Res Engine::c_literal(const Cell* v) {
  check_atom(v);
  clamp_index();
  i32 n = c_match_at(in.index, in_end(), v);
  if (n < 0) return RS_FAIL;
  in.index += n;
  return RS_OK;
}

Engine::Res Engine::c_keyword(Keyword k, const Cell* kw) {
  switch (k) {
    case K_SKIP: {
      clamp_index();
      if (in.index >= in_end()) return RS_FAIL;
      ++in.index;
      return RS_OK;
    }
    case K_END:
      clamp_index();
      return res_of(in.index >= in_end());
    case K_NONE: return RS_OK;
    case K_FAIL: return RS_FAIL;
    case K_BREAK: return RS_BREAK;
    case K_REJECT: return RS_REJECT;
    case K_ANY: return c_repeat(kw, 0, -1, false);
    case K_SOME: return c_repeat(kw, 1, -1, false);
    case K_OPT: return c_repeat(kw, 0, 1, false);
    case K_WHILE: return c_repeat(kw, 0, -1, true);
    case K_TO: return c_to(kw, false);
    case K_THRU: return c_to(kw, true);
    case K_COPY: return c_copy_set(C_COPY, kw);
    case K_SET: return c_copy_set(C_SET, kw);
    default: {
      size_t depth = g_rules.size();
      Flow f = keyword(k, kw);
      ++g_epoch;
      return c_drive(f, depth);
    }
  }
}

// Runs a rule that the reference machine started (f: what its first step
// answered): the command it pushed, if any, gets its sub-rule from here and
// its result through the machine's apply, until it completes.
Engine::Res Engine::c_drive(Flow f, size_t depth_before) {
  for (;;) {
    if (f == RESULT) return res_of(res);
    if (g_rules.size() == depth_before) return RS_OK;  // an action: nothing matched, nothing failed
    Res r = g_rules.back().code == C_BLOCK ? c_block_loop() : c_step(true);
    if (r == RS_BREAK || r == RS_REJECT) {
      discard_top();
      return r;
    }
    res = ok_of(r);
    broken = r == RS_OK_BRK || r == RS_FAIL_BRK;
    f = apply();
    ++g_epoch;
  }
}

// any, some, opt, while: start_repeat and the repetition's apply.
Engine::Res Engine::c_repeat(const Cell* kw, i32 min, i32 max, bool while_) {
  u32 node = series_node(&block().a);
  u32 sub = block().pos;
  if (sub >= cells_of(node) || c_kind_at(node, sub) == K_BAR) {
    Cell k = *kw;
    if (type_of(&k) == TYPE_INTEGER) fire(Err::script_parse_rule, &k);
    missing_after(kw);
  }
  if (max == 0) {
    c_skip_to(rule_end(node, sub));
    return RS_OK;
  }
  Cell atom_cell;
  if (!while_) {
    if (const Cell* v = c_atom(node, sub, &atom_cell)) {
      check_atom(v);
      i32 start = in.index;
      i32 count = c_repeat_atom(v, max);
      bool ok = count >= min;
      if (!ok) in.index = start;
      c_skip_to(sub + 1);
      return res_of(ok);
    }
  }
  const Cell* blk = sub_block(node, sub, &atom_cell);
  Plan* blk_plan = blk ? c_sub_plan(node, sub) : nullptr;
  if (blk && c_fails_at_once(blk, blk_plan)) {
    c_skip_to(sub + 1);
    return res_of(min == 0);
  }
  CommandCell cell(*this);
  i32 start = in.index;
  i32 mark = in.index;
  u32 mark_len = in_total();
  i32 count = 0;
  const Fused* fused = blk ? c_fuse(blk, blk_plan) : nullptr;
  bool acted = false;
  for (;;) {
    Res r;
    if (acted) {
      // The last round ran an action: the rule and its fused form are found
      // again, as the next round's step finds them.
      acted = false;
      fused = nullptr;
      Plan* pl = cur_plan;
      if (pl && pl->node == node && (pl->checked == g_epoch || plan_current(*pl)) && sub < pl->kind.size()) {
        blk = sub_block(node, sub, &atom_cell);
        blk_plan = blk ? c_sub_plan(node, sub) : nullptr;
        fused = blk ? c_fuse(blk, blk_plan) : nullptr;
      }
    }
    if (fused) {
      block().pos = sub + 1;
      r = c_fused_round(*fused, blk, acted);
      block().pos = sub + 1;
    } else if (Plan* pl = c_plan_for(node);
               pl && sub < pl->kind.size() && pl->kind[sub] != K_BAR && in.kind == IN_TEXT && !binary_input()) {
      r = c_text_step(*pl, sub, pl->kind[sub], true);
    } else {
      r = c_step(true);
    }
    if (r == RS_BREAK || r == RS_REJECT) return r;
    bool brk = r == RS_OK_BRK || r == RS_FAIL_BRK;
    bool ok;
    if (!ok_of(r)) {
      ok = !brk && count >= min;
    } else {
      ++count;
      bool moved = in.index != mark || in_total() != mark_len;
      if (!brk && (max < 0 || count < max) && (moved || while_)) {
        mark = in.index;
        mark_len = in_total();
        block().pos = sub;
        interrupt::poll();  // where the reference iterates
        continue;
      }
      ok = true;
    }
    if (!ok) in.index = start;
    return res_of(ok);
  }
}

// An integer count, or two, before a rule: start_count.
Engine::Res Engine::c_count(const Cell* first) {
  i32 min, max;
  count_range(first, min, max);
  return c_repeat(first, min, max, false);
}

// to and thru: start_to and its apply.
Engine::Res Engine::c_to(const Cell* kw, bool thru) {
  u32 node = series_node(&block().a);
  u32 sub = block().pos;
  if (sub >= cells_of(node) || c_kind_at(node, sub) == K_BAR) missing_after(kw);
  CommandCell cell(*this);
  u32 end = sub + 1;
  if (c_kind_at(node, sub) == K_END) {
    clamp_index();
    in.index = in_end();
    c_skip_to(end);
    return RS_OK;
  }
  Cell atom_cell;
  if (const Cell* v = c_atom(node, sub, &atom_cell)) {
    check_atom(v);
    clamp_index();
    i32 stop = in_end();
    for (i32 at = in.index; at <= stop; ++at) {
      i32 n = c_match_at(at, stop, v);
      if (n >= 0) {
        in.index = thru ? at + n : at;
        c_skip_to(end);
        return RS_OK;
      }
    }
    c_skip_to(end);
    return RS_FAIL;
  }
  i32 start = in.index;
  i32 mark = in.index;
  for (;;) {
    Res r = c_step(true);
    if (r == RS_BREAK || r == RS_REJECT) return r;
    if (ok_of(r)) {
      if (!thru) in.index = mark;
      return RS_OK;
    }
    clamp_index();
    if (mark >= in_end()) {
      in.index = start;
      return RS_FAIL;
    }
    in.index = ++mark;
    block().pos = sub;
    interrupt::poll();  // where the reference iterates
  }
}

// copy word and set word: start_word_command and their apply.
// The command counts its cell on the rules stack without an entry of its
// own (nothing reads one: the word is held on the arguments stack).
Engine::Res Engine::c_copy_set(Code code, const Cell* kw) {
  Cell word_cell = take_word(kw);
  Cell* w = stack::push_cell(&word_cell);
  u32 node = series_node(&block().a);
  u32 sub = block().pos;
  if (sub >= cells_of(node) || c_kind_at(node, sub) == K_BAR) missing_after(kw);
  CommandCell cell(*this);
  i32 s = in.index;
  Res r = c_step(true);
  if (r == RS_BREAK || r == RS_REJECT) {
    stack::pop(1);
    return r;
  }
  bool ok = ok_of(r);
  if (ok) {
    clamp_index();
    Cell* v = make_none(stack::push());
    if (code == C_COPY && in.kind == IN_TEXT) {
      copy_text_part(v, s);
    } else if (code == C_COPY) {
      Cell* from = stack::push_cell(&in.series);
      set_series_index(from, s);
      Cell* count = make_integer(stack::push(), std::max(0, in.index - s));
      actions::handler<act::Copy>(from, ACT_copy)(from, v, count, false, nullptr);
    } else if (in.index > s && s < i32(in_total())) {
      unit_value(s, v);
    }
    word::set(w, v);
    words_set(w);
  }
  if (!ok) in.index = s;
  stack::pop(u32(stack::top - w));
  return res_of(ok);
}

// copy or set of a plain word whose rule is a character, charset or string
// (or `some` of one), held by the current plan at the block's position pos
// with its atom's value v (text_lead): c_copy_set and the c_step it runs
// for the sub-rule, without their look-ups. The block's position ends after
// the sub-rule, as the sub-rule's step leaves it. matched: where the
// sub-rule's match ends, when the caller found it already (else -1).
Engine::Res Engine::c_copy_lead(Code code, u32 pos, const Cell* v, i32 matched) {
  Plan* pl = cur_plan;
  u32 lead = pl->lead[pos];
  bool some = lead != pos + 2;
  block().pos = pos + 2;
  Cell* w = stack::push_cell(&pl->cells[pos + 1]);
  CommandCell cell(*this);
  block().pos = lead + 1;
  i32 s = in.index;
  bool ok;
  if (matched >= 0) {
    in.index = matched;
    ok = true;
  } else if (some) {
    ok = c_repeat_atom(v, -1) >= 1;
  } else {
    clamp_index();
    i32 m = c_match_at(in.index, in_end(), v);
    ok = m >= 0;
    if (ok) in.index += m;
  }
  if (ok) {
    clamp_index();
    Cell* value = make_none(stack::push());
    if (code == C_COPY) {
      copy_text_part(value, s);
    } else if (in.index > s && s < i32(in_total())) {
      unit_value(s, value);
    }
    word::set(w, value);
    words_set(w);
  } else {
    in.index = s;
  }
  stack::pop(u32(stack::top - w));
  return res_of(ok);
}

// The part of a string or binary input matched from index s to the
// current index, copied into out as the series copy action copies it,
// without going through the action.
void Engine::copy_text_part(Cell* out, i32 s) {
  i32 total = i32(in_total());
  i32 from = std::clamp(s, 0, total);
  i32 count = std::clamp(in.index - s, 0, total - from);
  make_series(out, type_of(&in.series), mem::copy_series_part(in_node(), u32(from), u32(count)));
  out->header |= in.series.header & FLAG_NEW_LINE;
}

// ---- atoms ------------------------------------------------------------------------------

// simple_atom: the atom the rule at p stands for (a value matched as it
// stands, or a word holding one), or null; its kind read from the plan.
const Cell* Engine::c_atom(u32 node, u32 p, Cell* out) {
  if (p >= cells_of(node)) return nullptr;
  u8 k = c_kind_at(node, p);
  bool from_word = k == K_NO;
  if (from_word) {
    const Cell* v = rule_value(cell_of(node, p));
    if (!v) return nullptr;
    *out = *v;
  } else if (k == CK_OTHER) {
    *out = *cell_of(node, p);
  } else {
    return nullptr;
  }
  Type t = type_of(out);
  if (in.kind == IN_TEXT) return input_atom(t) ? out : nullptr;
  switch (t) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_INTEGER: case TYPE_SET_WORD: case TYPE_GET_WORD:
      return nullptr;
    case TYPE_WORD:
      return from_word ? out : nullptr;
    default:
      return out;
  }
}

// A block that fails on its first atom: fails_at_once, read from the
// block's plan.
bool Engine::c_fails_at_once(const Cell* blk, Plan* plan) {
  if (in.kind != IN_TEXT) return false;
  u32 node = series_node(blk);
  u32 n = cells_of(node);
  i32 head = series_index(blk);
  if (head < 0 || u32(head) >= n) return false;
  Plan* saved = cur_plan;
  cur_plan = plan ? plan : plan_for(node);
  if (cur_plan) {
    u8 k = cur_plan->kind[u32(head)];
    if (k != CK_OTHER && k != K_NO) {
      cur_plan = saved;
      return false;
    }
  }
  Cell atom_cell;
  const Cell* v = c_atom(node, u32(head), &atom_cell);
  bool fails = false;
  if (v) {
    Type t = type_of(v);
    if (t == TYPE_CHAR || t == TYPE_BITSET || t == TYPE_STRING) {
      clamp_index();
      fails = c_match_at(in.index, in_end(), v) < 0 && c_next_bar(node, u32(head) + 1) == NO_BAR;
    }
  }
  cur_plan = saved;
  return fails;
}

// match_atom_at, with the common cases of a string of 1-byte units taken
// directly: a character, a charset member, a string by its bytes.
i32 Engine::c_match_at(i32 i, i32 end, const Cell* v) {
  if (in.kind != IN_TEXT || binary_input()) return match_atom_at(i, end, v);
  if (i < 0 || i > end) return -1;
  Buffer* b = buffer_of(in_node());
  if (b->unit() != 1) return match_text_at(i, end, v);
  const u8* h = b->head_ptr();
  Type t = type_of(v);
  if (t == TYPE_CHAR) {
    if (i >= end) return -1;
    u32 c = h[i], want = char_of(v);
    return c == want || (!case_ && fold(c) == fold(want)) ? 1 : -1;
  }
  if (t == TYPE_BITSET) {
    if (i >= end) return -1;
    return bitset::test_bit(series_node(v), h[i]) ? 1 : -1;
  }
  if (!is_any_string_type(t) || t == TYPE_TAG) return match_text_at(i, end, v);
  Buffer* pb = buffer_of(series_node(v));
  if (pb->unit() != 1) return match_text_at(i, end, v);
  u32 ptotal = pb->used();
  u32 pidx = u32(std::clamp<i32>(series_index(v), 0, i32(ptotal)));
  u32 plen = ptotal - pidx;
  if (u64(i) + plen > u64(end)) return -1;
  const u8* p = pb->head_ptr() + pidx;
  const u8* q = h + i;
  if (case_) return std::memcmp(q, p, plen) == 0 ? i32(plen) : -1;
  for (u32 k = 0; k < plen; ++k) {
    if (q[k] != p[k] && fold(q[k]) != fold(p[k])) return -1;
  }
  return i32(plen);
}

// repeat_atom, with a character or a charset repeated over 1-byte units as
// a loop of its own.
i32 Engine::c_repeat_atom(const Cell* v, i32 max) {
  Type t = type_of(v);
  if ((t != TYPE_CHAR && t != TYPE_BITSET) || in.kind != IN_TEXT || binary_input()) return repeat_atom(v, max);
  Buffer* b = buffer_of(in_node());
  if (b->unit() != 1) return repeat_atom(v, max);
  clamp_index();
  i32 end = in_end();
  i32 i = in.index;
  i32 stop = max < 0 ? end : i32(std::min<i64>(end, i64(i) + max));
  const u8* h = b->head_ptr();
  if (t == TYPE_BITSET) {
    i = charset_run(h, 1, i, stop, v);
  } else if (case_) {
    u32 want = char_of(v);
    while (i < stop && h[i] == want) ++i;
  } else {
    u32 want = char_of(v);
    u32 f = fold(want);
    while (i < stop && (h[i] == want || fold(h[i]) == f)) ++i;
  }
  i32 count = i - in.index;
  in.index = i;
  return count;
}

}  // namespace qel::parse::detail
