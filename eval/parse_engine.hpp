// The PARSE engine's state, its stacks and its reference machine, shared by
// the parse native (eval/parse.cpp) and the compiled rules
// (eval/parse_compiled.cpp). Nothing else includes this header.
//
//
// The machine alternates two steps:
//   dispatch  takes the rule value at the position of the innermost rule
//             block and either matches it at once (an atom: a literal, a
//             datatype, `skip`, ...), or pushes a rule block or a command
//             whose sub-rule is the next rule value;
//   apply     hands the result of a rule to what lies beneath it on the rules
//             stack: a rule block goes on with its next rule (or its next
//             alternative after a failure), a command decides whether to run
//             its sub-rule again (`some`, `to`), or completes and hands its own
//             result further down.
// Every rule leaves the input where it began when it fails. When a rule
// completes, whatever its result, the position in its rule block lies just
// after the whole rule (keyword, arguments and sub-rule): running the
// sub-rule moves it there, and a command that completes without running its
// sub-rule skips over it (rule_end).
//
// Repetition: a round that matches but leaves the input as it was (same
// index, same length) ends `any`, `some` and counted repetitions with
// success, the minimum counting as reached, since every further round would
// match the same way; `while` goes on. `break` and `reject` leave their rule
// block and also end the repetition that runs that block, with success or
// failure; otherwise `while [break]` could never end. A block entered again
// while it is on the stack at the same index of the same, unchanged input
// is an endless recursion (parse-infinite).
//
// Invariants
// - Entries are reached by their index in the rules stack, never held by
//   reference across anything that runs Qel code (a paren, the callback, an
//   owner's change handler): a nested PARSE may grow the stacks.
// - Rule blocks and the input are read through their nodes at every step and
//   every position is checked against the current tail: Qel code run from a
//   paren may change either.
// - Values the engine holds are marked by the collector: the entries' cells,
//   the saved inputs and each running engine's own cells.
#pragma once

#include "eval/parse.hpp"

#include <algorithm>
#include <vector>

#include <algorithm>
#include <vector>

#include "datatypes/typeset.hpp"
#include "datatypes/binary.hpp"
#include "datatypes/bitset.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/triple.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/interpreter.hpp"
#include "eval/interrupt.hpp"
#include "eval/lexer.hpp"
#include "eval/natives.hpp"
#include "runtime/actions.hpp"
#include "runtime/casefold.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

namespace qel::parse::detail {

using mem::Buffer;
using mem::buffer_of;

// ---------------------------------------------------------------------------
// Keywords and event words

#define QEL_PARSE_KEYWORDS(M_)                                                                 \
  M_(END, "end") M_(TO, "to") M_(THRU, "thru") M_(INTO, "into") M_(ONLY, "only")               \
  M_(AFTER, "after") M_(SET, "set") M_(SKIP, "skip") M_(ANY, "any") M_(SOME, "some")            \
  M_(COPY, "copy") M_(REMOVE, "remove") M_(BREAK, "break") M_(OPT, "opt") M_(KEEP, "keep")      \
  M_(PICK, "pick") M_(FAIL, "fail") M_(AHEAD, "ahead") M_(WHILE, "while") M_(INSERT, "insert")  \
  M_(CHANGE, "change") M_(IF, "if") M_(NOT, "not") M_(QUOTE, "quote") M_(COLLECT, "collect")    \
  M_(CASE, "case") M_(REJECT, "reject") M_(NONE, "none") M_(BAR, "|")

enum Keyword : u8 {
  K_NO = 0,
#define QEL_X(member, text) K_##member,
  QEL_PARSE_KEYWORDS(QEL_X)
#undef QEL_X
};


enum EventWord : u8 { EV_PUSH, EV_POP, EV_FETCH, EV_MATCH, EV_ITERATE, EV_PAREN, EV_CHANGE, EV_END, EV_COUNT };

extern std::vector<u8> g_keyword_of;   // canonical symbol id -> Keyword
extern std::vector<u8> g_spelling_of;  // symbol id as written -> Keyword, NOT_KNOWN until looked up
constexpr u8 NOT_KNOWN = 0xFF;
extern Cell g_event_words[EV_COUNT];
extern Cell g_callback_word;  // <parse-callback>

// The keyword a word names, by its canonical symbol. Symbols are never
// renumbered and an alias never changes, so the answer is remembered per
// spelling: rules look their words up at every step.
Keyword keyword_lookup(u32 sym);
inline Keyword keyword_of(const Cell* word) {
  u32 sym = word::symbol_of(word);
  if (sym < g_spelling_of.size() && g_spelling_of[sym] != NOT_KNOWN) [[likely]] {
    return Keyword(g_spelling_of[sym]);
  }
  return keyword_lookup(sym);
}
inline bool is_keyword(const Cell* c, Keyword k) {
  return type_of(c) == TYPE_WORD && keyword_of(c) == k;
}

// ---------------------------------------------------------------------------
// The stacks

enum Code : u8 {
  C_BLOCK,    // a rule block being walked
  C_REPEAT,   // any, some, opt, while, counted repetition
  C_TO,
  C_THRU,
  C_COPY,
  C_SET,
  C_NOT,
  C_AHEAD,
  C_INTO,
  C_REMOVE,
  C_COLLECT,
  C_KEEP,
  C_CHANGE,
  C_CASE,
};

// Flags of an entry.
constexpr u8 F_WHILE = 1;  // repetition: rounds that do not advance go on
constexpr u8 F_ONLY = 1;   // change: insert a block as one value
constexpr u8 F_PICK = 1;   // keep: add the matched values one by one
constexpr u8 F_CASE = 1;   // case: the case mode to restore

// Forms of collect.
enum CollectKind : u8 { COLLECT_NEW, COLLECT_SET, COLLECT_INTO, COLLECT_AFTER };

constexpr u32 NO_ENTRY = 0xFFFFFFFF;
constexpr u32 MAX_CELLS = 10000;  // cells either stack may hold

struct Entry {
  Code code;
  u8 flags;
  u8 kind;       // collect: its form
  u8 pad;
  u32 pos;       // block: the next rule value; command: where its sub-rule starts
  u32 end;       // command: the position after the whole rule, or 0 when the
                 // block's position gets there by running the sub-rule
  u32 prev;      // block: the enclosing block entry; collect: the enclosing collect
  i32 start;     // input index where the block or command began
  i32 mark;      // repetition: index at the start of the round; to/thru: the try position
  u32 mark_len;  // repetition: input length at the start of the round
  u32 in_node;   // block: the input series when it was entered (recursion check)
  u32 in_len;    // block: the input's length when it was entered
  i32 min, max, count;  // repetition (max -1: no limit)
  Cell a;        // block: the rule block; copy/set/collect set: the word
  Cell b;        // collect: its block or target series
};

enum InputKind : u8 { IN_BLOCK, IN_TEXT };

struct Input {
  Cell series;  // type and node of the input (its index is not used)
  i32 index;    // where matching stands
  i32 limit;    // the /part end (an index), or -1: the tail
  InputKind kind;
};

extern std::vector<Entry> g_rules;
extern std::vector<Input> g_inputs;
extern u32 g_rule_cells;  // cells the rules stack holds: 2 per block, 1 per command

struct Engine;
struct Plan;
struct Fused;
extern Engine* g_engines;  // running engines, innermost first

// ---------------------------------------------------------------------------
// Small helpers

inline u32 cells_of(u32 node) { return buffer_of(node)->used() / sizeof(Cell); }
inline Cell* cell_of(u32 node, u32 i) { return buffer_of(node)->cells() + i; }
// Units of a string-like buffer (1, 2 or 4 bytes each).
inline u32 units_of(u32 node) {
  Buffer* b = buffer_of(node);
  return b->used() >> (b->unit() >> 1);
}

inline bool is_series_type(Type t) {
  return is_any_block_type(t) || is_any_string_type(t) || t == TYPE_BINARY ||
         t == TYPE_VECTOR || t == TYPE_IMAGE;
}



// The end of the run of units from i (before stop) that are members of the
// bitset. Nothing allocates here: both buffers stay where they are.
inline i32 charset_run(const u8* h, u32 unit, i32 i, i32 stop, const Cell* bitset) {
  Buffer* bb = buffer_of(series_node(bitset));
  const u8* bits = bb->head_ptr();
  u32 bytes = bb->used();
  bool beyond = (bb->flags & mem::SERIES_BITS_NOT) != 0;
  auto member = [&](u32 c) {
    u32 byte = c >> 3;
    return byte < bytes ? (bits[byte] & (0x80u >> (c & 7))) != 0 : beyond;
  };
  if (unit == 1) {
    if (bytes >= 32) {
      while (i < stop && (bits[h[i] >> 3] & (0x80u >> (h[i] & 7)))) ++i;
    } else {
      while (i < stop && member(h[i])) ++i;
    }
  } else {
    while (i < stop && member(string::get_char(h + u64(i) * unit, unit))) ++i;
  }
  return i;
}

inline u32 fold(u32 cp) { return cp < 128 ? (cp >= 'a' && cp <= 'z' ? cp - 32 : cp) : casefold::upper(cp); }

// The value a word holds for the rules, or null when it has none.
const Cell* rule_value(const Cell* word);

// Rule values that a string input can match.
inline bool text_atom(Type t) {
  return t == TYPE_CHAR || t == TYPE_BITSET || is_any_string_type(t);
}

// Evaluates a paren; answers its value in a fresh cell on the arguments
// stack (the caller drops it with the rest of its temporaries).
Cell* eval_paren(const Cell* paren);

// ---------------------------------------------------------------------------
// The engine

struct Stop {};  // the callback asked to stop

struct Engine {
  Engine* outer;
  size_t rules_base, inputs_base;
  u32 cells_base;
  u32 cur_block = NO_ENTRY;
  u32 collect_top = NO_ENTRY;
  Input in{};
  bool case_ = false;
  bool match = false;   // the last match result
  bool res = false;     // the result being applied
  bool broken = false;  // the result comes from break or reject
  bool tracing = false;
  bool collect_mode = false;  // the top rule is a plain collect
  bool have_result = false;
  Cell callback{};
  Cell rules{};
  Cell result{};

  Engine() {
    outer = g_engines;
    g_engines = this;
    rules_base = g_rules.size();
    inputs_base = g_inputs.size();
    cells_base = g_rule_cells;
    make_none(&callback);
    make_none(&rules);
    make_none(&result);
  }
  ~Engine() {
    g_rules.resize(rules_base);
    g_inputs.resize(inputs_base);
    g_rule_cells = cells_base;
    g_engines = outer;
  }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  enum Flow { AGAIN, RESULT, DONE };

  // ---- input ---------------------------------------------------------------

  u32 in_node() const { return series_node(&in.series); }
  u32 in_total() const {
    return in.kind == IN_BLOCK ? cells_of(in_node()) : units_of(in_node());
  }
  i32 in_end() const {
    i32 total = i32(in_total());
    return in.limit >= 0 && in.limit < total ? in.limit : total;
  }
  // Keeps the index inside the input (Qel code may have shortened it).
  void clamp_index() {
    i32 e = in_end();
    if (in.index > e) in.index = e;
    if (in.index < 0) in.index = 0;
  }
  Cell* push_input_at(i32 index) {
    Cell* c = stack::push_cell(&in.series);
    set_series_index(c, index);
    return c;
  }

  // ---- entries -------------------------------------------------------------

  Entry& top() { return g_rules.back(); }
  u32 top_index() const { return u32(g_rules.size() - 1); }
  Entry& block() { return g_rules[cur_block]; }
  bool awaiting() const { return top_index() != cur_block; }

  void check_depth(u32 more) {
    if (g_rule_cells + more > MAX_CELLS || g_inputs.size() + 1 > MAX_CELLS) {
      fire(Err::script_parse_stack);  // the engines cut the stacks back as the error passes
    }
  }

  u32 push_entry(Code code, u32 cells) {
    check_depth(cells);
    g_rules.emplace_back();
    Entry& e = g_rules.back();
    e.code = code;
    e.flags = e.kind = e.pad = 0;
    e.pos = e.end = 0;
    e.prev = NO_ENTRY;
    e.start = e.mark = in.index;
    e.mark_len = e.in_node = e.in_len = 0;
    e.min = e.max = e.count = 0;
    make_none(&e.a);
    make_none(&e.b);
    g_rule_cells += cells;
    return top_index();
  }
  void pop_entry() {
    g_rule_cells -= g_rules.back().code == C_BLOCK ? 2 : 1;
    g_rules.pop_back();
  }

  // ---- trace events --------------------------------------------------------

  // A snapshot of this run's rules stack for the callback: per rule block a
  // triple! (position, input index, entry index) and the block; per command a
  // pair!-typed record (code and rule position, count, minimum and maximum).
  void make_stack_block(Cell* out) {
    u32 n = u32(g_rules.size() - rules_base);
    block::make_at(out, i32(n * 2));
    u32 node = series_node(out);
    for (u32 i = 0; i < n; ++i) {
      Entry e = g_rules[rules_base + i];
      Cell rec;
      if (e.code == C_BLOCK) {
        triple::make_at(&rec, i32(e.pos), e.start, i32(i));
        *mem::alloc_tail_cell(node) = rec;
        *mem::alloc_tail_cell(node) = e.a;
      } else {
        // code and position, count, min and max: three words in a pair! cell
        triple::make_at(&rec, i32(u32(e.code) | (e.pos << 8)), i32(e.count),
                        i32((u32(e.min) & 0xFFFF) | (u32(e.max) << 16)));
        set_type(&rec, TYPE_PAIR);
        *mem::alloc_tail_cell(node) = rec;
      }
    }
  }

  // Calls the callback; false from it stops the run. Without a callback the
  // test is all an event costs: the call itself stays out of line.
  void event(EventWord ev, i32 rule_pos = -1) {
    if (tracing) [[unlikely]] trace_event(ev, rule_pos);
  }
  [[gnu::noinline]] void trace_event(EventWord ev, i32 rule_pos) {
    api::Values args(6);  // event, match?, rule, input, stack; the result
    copy_cell(&g_event_words[ev], args[0]);
    make_logic(args[1], match);
    Cell* rule = args[2];
    if (cur_block != NO_ENTRY) {
      Entry& b = block();
      copy_cell(&b.a, rule);
      u32 p = rule_pos >= 0 ? u32(rule_pos) : b.pos;
      set_series_index(rule, i32(std::min(p, cells_of(series_node(&b.a)))));
    } else {
      copy_cell(&rules, rule);
    }
    clamp_index();
    copy_cell(push_input_at(in.index), args[3]);
    make_stack_block(args[4]);
    api::CallOptions o;
    o.name = &g_callback_word;
    o.callback = api::CALLBACK_PARSE;
    o.check_types = false;
    api::check(api::invoke(&callback, args.data(), 5, args[5], o));
    bool go_on = !logic::is_false(args[5]);
    clamp_index();
    if (!go_on) throw Stop{};
  }

  // ---- blocks ----------------------------------------------------------------

  // The same block entered again at the same input, unchanged, would
  // repeat what brought it here forever. The open blocks of this run are
  // the chain from the innermost one; their starts only go down along it
  // unless a rule set the position back, so the walk stops at the first
  // block begun before this position (a recursion hidden behind such a
  // jump still ends, at the depth limit).
  void check_recursion(u32 node, i32 head, u32 len, const Cell* name) {
    for (u32 i = cur_block; i != NO_ENTRY; i = g_rules[i].prev) {
      const Entry& e = g_rules[i];
      if (e.start < in.index) break;
      if (e.start == in.index && series_node(&e.a) == node && series_index(&e.a) == head &&
          e.in_node == in_node() && e.in_len == len) {
        Cell n = *name;
        fire(Err::script_parse_infinite, &n);
      }
    }
  }

  // Enters a rule block; `name` is the rule that named it (for errors).
  Flow push_block(const Cell* rule_block, const Cell* name) {
    Cell blk = *rule_block;
    u32 node = series_node(&blk);
    i32 head = std::clamp<i32>(series_index(&blk), 0, i32(cells_of(node)));
    u32 len = in_total();
    check_recursion(node, head, len, name);
    u32 i = push_entry(C_BLOCK, 2);
    Entry& e = g_rules[i];
    e.a = blk;
    set_series_index(&e.a, head);
    e.pos = u32(head);
    e.prev = cur_block;
    e.in_node = in_node();
    e.in_len = len;
    cur_block = i;
    event(EV_PUSH);
    return AGAIN;
  }

  // Whether a rule block fails as soon as it is entered: its first rule is a
  // character, string or charset (or a word holding one) that does not match
  // here, and no alternative follows it. Such a block is not entered at all,
  // which saves the machinery of every failing round of `any [#"x" ...]` and
  // of every alternative tried on the wrong character. Not while tracing:
  // the callback sees each block entered.
  bool fails_at_once(const Cell* blk) {
    if (tracing || in.kind != IN_TEXT) return false;
    u32 node = series_node(blk);
    u32 n = cells_of(node);
    i32 head = series_index(blk);
    if (head < 0 || u32(head) >= n) return false;
    Cell atom_cell;
    const Cell* v = simple_atom(node, u32(head), &atom_cell);
    if (!v) return false;
    Type t = type_of(v);
    if (t != TYPE_CHAR && t != TYPE_BITSET && t != TYPE_STRING) return false;
    clamp_index();
    if (match_atom_at(in.index, in_end(), v) >= 0) return false;
    for (u32 p = u32(head) + 1; p < n; ++p) {
      Cell* c = cell_of(node, p);
      if (type_of(c) != TYPE_WORD) continue;
      Keyword k = keyword_of(c);
      if (k == K_BAR) return false;
      if (k == K_QUOTE) ++p;
    }
    return true;
  }

  // Leaves the innermost rule block with its result.
  Flow pop_block(bool r, bool by_break) {
    Entry& e = top();
    if (!r) in.index = e.start;
    u32 prev = e.prev;
    event(EV_POP);
    pop_entry();
    cur_block = prev;
    if (g_rules.size() == rules_base) {
      res = r;
      return DONE;
    }
    res = r;
    broken = by_break;
    return RESULT;
  }

  // After a failed rule: the next alternative of the block, or the block's
  // failure when there is none.
  Flow next_alternative() {
    Entry& b = block();
    u32 node = series_node(&b.a);
    u32 n = cells_of(node);
    for (u32 p = b.pos; p < n; ++p) {
      Cell* c = cell_of(node, p);
      if (type_of(c) != TYPE_WORD) continue;
      Keyword k = keyword_of(c);
      if (k == K_QUOTE) {
        ++p;
      } else if (k == K_BAR) {
        if (p + 1 >= n) {
          Cell bar = *c;
          fire(Err::script_parse_end, &bar);
        }
        b.pos = p + 1;
        in.index = b.start;
        return AGAIN;
      }
    }
    b.pos = n;
    return pop_block(false, false);
  }

  // ---- results -----------------------------------------------------------------

  // An atom matched or failed.
  Flow atom(bool r) {
    match = r;
    event(EV_MATCH);
    res = r;
    return RESULT;
  }

  // A rule that does not match anything (a set-word, a paren, ...): the
  // block goes on; a command waiting for its sub-rule takes it as a success.
  Flow action() {
    if (awaiting()) {
      res = true;
      return RESULT;
    }
    return AGAIN;
  }

  // A command completes with its result: the block's position goes past the
  // whole rule and the result goes to what lies beneath.
  Flow complete(bool ok) {
    Entry& t = top();
    if (!ok) in.index = t.start;
    u32 end = t.end;
    match = ok;
    event(EV_MATCH);
    event(EV_POP);
    pop_entry();
    if (end) {
      Entry& b = block();
      b.pos = std::max(b.pos, end);
    }
    res = ok;
    return RESULT;
  }

  // ---- the position after one rule ---------------------------------------

  [[noreturn]] void end_error(u32 node, u32 p) {
    Cell c;
    if (p > 0 && p - 1 < cells_of(node)) c = *cell_of(node, p - 1);
    else make_none(&c);
    fire(Err::script_parse_end, &c);
  }

  // Whether an `insert` argument names where to insert: a word or get-word
  // holding a position in the input being parsed.
  bool insert_position(const Cell* c) {
    Type t = type_of(c);
    if (t != TYPE_WORD && t != TYPE_GET_WORD) return false;
    if (t == TYPE_WORD && keyword_of(c) != K_NO) return false;
    const Cell* v = rule_value(c);
    return v && is_series_type(type_of(v)) && series_node(v) == in_node();
  }

  // The position just after the rule that starts at p in the block: its
  // keyword, its arguments and its sub-rule.
  u32 rule_end(u32 node, u32 p) {
    u32 extra = 0;  // values that follow the sub-rule (change's value)
    for (;;) {
      u32 n = cells_of(node);
      if (p >= n) end_error(node, p);
      Cell c = *cell_of(node, p++);
      Type t = type_of(&c);
      if (t == TYPE_INTEGER || (t == TYPE_WORD && keyword_of(&c) == K_NO &&
                                rule_value(&c) && type_of(rule_value(&c)) == TYPE_INTEGER)) {
        if (p < n) {
          Cell* d = cell_of(node, p);
          if (type_of(d) == TYPE_INTEGER) ++p;
          else if (type_of(d) == TYPE_WORD && keyword_of(d) == K_NO && rule_value(d) &&
                   type_of(rule_value(d)) == TYPE_INTEGER) ++p;
        }
        continue;
      }
      if (t != TYPE_WORD) break;
      Keyword k = keyword_of(&c);
      bool done = false;
      switch (k) {
        case K_ANY: case K_SOME: case K_OPT: case K_WHILE: case K_NOT: case K_AHEAD:
        case K_REMOVE: case K_TO: case K_THRU: case K_INTO:
          break;
        case K_COPY: case K_SET: case K_CASE:
          ++p;
          break;
        case K_CHANGE:
          if (p < n && is_keyword(cell_of(node, p), K_ONLY)) ++p;
          ++extra;
          break;
        case K_COLLECT:
          if (p < n && type_of(cell_of(node, p)) == TYPE_WORD) {
            Keyword f = keyword_of(cell_of(node, p));
            if (f == K_SET || f == K_INTO || f == K_AFTER) p += 2;
          }
          break;
        case K_KEEP:
          if (p < n && is_keyword(cell_of(node, p), K_PICK)) ++p;
          if (p < n && type_of(cell_of(node, p)) == TYPE_PAREN) {
            ++p;
            done = true;
          }
          break;
        case K_INSERT:
          if (p < n && is_keyword(cell_of(node, p), K_ONLY)) ++p;
          if (p < n && insert_position(cell_of(node, p)) && p + 1 < n) ++p;
          ++p;
          done = true;
          break;
        case K_QUOTE: case K_IF:
          ++p;
          done = true;
          break;
        default:
          done = true;
          break;
      }
      if (done) break;
    }
    p += extra;
    if (p > cells_of(node)) end_error(node, p);
    return p;
  }

  // ---- matching atoms ----------------------------------------------------------

  // The length a string-kind input matches at index i with the value (a
  // text atom), or -1.
  i32 match_text_at(i32 i, i32 end, const Cell* v) {
    if (i < 0 || i > end) return -1;
    if (binary_input()) {
      Type vt = type_of(v);
      if (vt == TYPE_DATATYPE || vt == TYPE_TYPESET) return match_scanned_at(i, end, v);
      Cell at = in.series;
      set_series_index(&at, i);
      i32 n = binary::match_length(&at, v, case_);
      return n >= 0 && n <= end - i ? n : -1;
    }
    Buffer* b = buffer_of(in_node());
    u32 unit = b->unit();
    const u8* h = b->head_ptr();
    Type t = type_of(v);
    if (t == TYPE_CHAR || t == TYPE_BITSET) {
      if (i >= end) return -1;
      u32 c = string::get_char(h + u64(i) * unit, unit);
      if (t == TYPE_BITSET) return bitset::test_bit(series_node(v), c) ? 1 : -1;
      u32 want = char_of(v);
      if (c == want || (!case_ && fold(c) == fold(want))) return 1;
      return -1;
    }
    // A string-like pattern from its index; a tag is matched with its brackets.
    u32 pnode = series_node(v);
    Buffer* pb = buffer_of(pnode);
    u32 punit = pb->unit();
    u32 ptotal = pb->used() / punit;
    u32 pidx = u32(std::clamp<i32>(series_index(v), 0, i32(ptotal)));
    u32 plen = ptotal - pidx;
    bool tag = t == TYPE_TAG;
    u64 need = u64(plen) + (tag ? 2 : 0);
    if (u64(i) + need > u64(end)) return -1;
    const u8* p = pb->head_ptr() + u64(pidx) * punit;
    u32 at = u32(i);
    if (tag) {
      if (string::get_char(h + u64(at) * unit, unit) != '<') return -1;
      ++at;
    }
    for (u32 k = 0; k < plen; ++k, ++at) {
      u32 c = string::get_char(h + u64(at) * unit, unit);
      u32 w = string::get_char(p + u64(k) * punit, punit);
      if (c != w && (case_ || fold(c) != fold(w))) return -1;
    }
    if (tag && string::get_char(h + u64(at) * unit, unit) != '>') return -1;
    return i32(need);
  }

  // Whether the value at index i of a block input matches the rule value.
  bool match_value_at(i32 i, i32 end, const Cell* v) {
    if (i < 0 || i >= end) return false;
    Cell in_cell = *cell_of(in_node(), u32(i));
    Type it = type_of(&in_cell);
    switch (type_of(v)) {
      case TYPE_DATATYPE:
        return it == datatype_of(v);
      case TYPE_TYPESET:
        return typeset::has(v, it);
      case TYPE_LIT_WORD:
        if (it != TYPE_WORD) return false;
        return case_ ? word::symbol_of(&in_cell) == word::symbol_of(v)
                     : symbol::resolve(word::symbol_of(&in_cell)) == symbol::resolve(word::symbol_of(v));
      case TYPE_LIT_PATH: {
        if (it != TYPE_PATH) return false;
        Cell* a = stack::push_cell(&in_cell);
        Cell* b = stack::push_cell(v);
        set_type(b, TYPE_PATH);
        bool r = actions::compare(a, b, case_ ? COMP_STRICT_EQUAL : COMP_EQUAL);
        stack::pop(2);
        return r;
      }
      default: {
        Cell* a = stack::push_cell(&in_cell);
        Cell* b = stack::push_cell(v);
        bool r = actions::compare(a, b, case_ ? COMP_STRICT_EQUAL : COMP_EQUAL);
        stack::pop(2);
        return r;
      }
    }
  }

  bool binary_input() const { return type_of(&in.series) == TYPE_BINARY; }
  // Rule values a string or binary input can match: a binary input also
  // matches binary! values, and datatypes through the lexer.
  bool input_atom(Type t) const {
    if (text_atom(t)) return true;
    return binary_input() && (t == TYPE_BINARY || t == TYPE_DATATYPE || t == TYPE_TYPESET);
  }

  // The length of the value that the lexer finds at index i of a binary
  // input when its type is the datatype (or in the typeset), or -1.
  i32 match_scanned_at(i32 i, i32 end, const Cell* v) {
    if (i < 0 || i >= end) return -1;
    const u8* h = buffer_of(in_node())->head_ptr();
    std::vector<u8> text(h + i, h + end);  // the lexer reads outside the collected region
    lexer::ScanFlags flags;
    flags.one = true;
    flags.load = false;
    u32 consumed = 0;
    Cell* dst = make_none(stack::push());
    Type t = lexer::scan(dst, text.data(), u32(text.size()), flags, &consumed, nullptr, nullptr, nullptr);
    stack::pop(1);
    if (t == TYPE_NO_TYPE || t == TYPE_ERROR) return -1;
    bool ok = type_of(v) == TYPE_DATATYPE ? t == datatype_of(v) : typeset::has(v, t);
    return ok ? i32(std::min<u32>(consumed, u32(end - i))) : -1;
  }

  // Checks that the value can be matched against the current input; raises
  // the error of a rule it cannot be.
  void check_atom(const Cell* v) {
    Type t = type_of(v);
    if (in.kind == IN_TEXT) {
      if ((t == TYPE_DATATYPE || t == TYPE_TYPESET) && !binary_input()) fire(Err::script_parse_unsupported);
      if (!input_atom(t)) {
        Cell c = *v;
        fire(Err::script_parse_rule, &c);
      }
    }
  }

  // The length the atom matches at index i, or -1 (the atom was checked).
  i32 match_atom_at(i32 i, i32 end, const Cell* v) {
    if (in.kind == IN_TEXT) return match_text_at(i, end, v);
    return match_value_at(i, end, v) ? 1 : -1;
  }

  // Matches an atom at the input, advancing over it.
  Flow match_atom(const Cell* v) {
    check_atom(v);
    clamp_index();
    i32 n = match_atom_at(in.index, in_end(), v);
    if (n >= 0) in.index += n;
    return atom(n >= 0);
  }

  // ---- the repetition fast path -------------------------------------------------

  // The atom that a sub-rule at p stands for (a literal, or a word holding
  // one), or null when the sub-rule needs the machine.
  const Cell* simple_atom(u32 node, u32 p, Cell* out) {
    if (p >= cells_of(node)) return nullptr;
    Cell c = *cell_of(node, p);
    bool from_word = false;
    if (type_of(&c) == TYPE_WORD) {
      if (keyword_of(&c) != K_NO) return nullptr;
      const Cell* v = rule_value(&c);
      if (!v) return nullptr;
      c = *v;
      from_word = true;
    }
    Type t = type_of(&c);
    if (in.kind == IN_TEXT) {
      if (!input_atom(t)) return nullptr;
    } else {
      switch (t) {
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_INTEGER: case TYPE_SET_WORD: case TYPE_GET_WORD:
          return nullptr;
        case TYPE_WORD:  // a word held by a word matches literally
          if (!from_word) return nullptr;
          break;
        default:
          break;
      }
    }
    *out = c;
    return out;
  }

  // The rule block that a sub-rule at p stands for (a block, or a word
  // holding one), or null.
  const Cell* sub_block(u32 node, u32 p, Cell* out) {
    Cell c = *cell_of(node, p);
    if (type_of(&c) == TYPE_WORD) {
      if (keyword_of(&c) != K_NO) return nullptr;
      const Cell* v = rule_value(&c);
      if (!v || type_of(v) != TYPE_BLOCK) return nullptr;
      c = *v;
    } else if (type_of(&c) != TYPE_BLOCK) {
      return nullptr;
    }
    *out = c;
    return out;
  }

  // Runs a repetition of an atom directly: answers the rounds matched.
  i32 repeat_atom(const Cell* v, i32 max) {
    clamp_index();
    i32 end = in_end();
    i32 count = 0;
    i32 i = in.index;
    Type t = type_of(v);
    if (in.kind == IN_TEXT && t == TYPE_BITSET && !binary_input()) {
      // Nothing allocates here: both buffers stay where they are.
      Buffer* b = buffer_of(in_node());
      u32 unit = b->unit();
      const u8* h = b->head_ptr();
      i32 stop = max < 0 ? end : i32(std::min<i64>(end, i64(i) + max));
      i = charset_run(h, unit, i, stop, v);
      count = i - in.index;
    } else {
      while (max < 0 || count < max) {
        i32 n = match_atom_at(i, end, v);
        if (n < 0) break;
        ++count;
        if (n == 0) break;  // no progress: every further round matches the same
        i += n;
      }
    }
    in.index = i;
    return count;
  }

  // ---- commands ------------------------------------------------------------------

  // Raises script parse-end: the rule or value the keyword takes is missing.
  [[noreturn]] static void missing_after(const Cell* keyword) {
    Cell k = *keyword;
    fire(Err::script_parse_end, &k);
  }

  // Raises script parse-end unless a value follows in the rules block.
  void need_more(const Cell* keyword) {
    Entry& b = block();
    if (b.pos >= cells_of(series_node(&b.a))) missing_after(keyword);
  }

  // Steps over the keyword when it comes next in the rules block; answers
  // whether it did.
  bool take_keyword(Keyword k) {
    Entry& b = block();
    u32 node = series_node(&b.a);
    if (b.pos >= cells_of(node) || !is_keyword(cell_of(node, b.pos), k)) return false;
    ++b.pos;
    return true;
  }

  // Pushes a command whose sub-rule starts at the block's position.
  u32 push_command(Code code, const Cell* keyword) {
    Entry& b = block();
    u32 node = series_node(&b.a);
    u32 p = b.pos;
    if (p >= cells_of(node) || is_keyword(cell_of(node, p), K_BAR)) missing_after(keyword);
    u32 i = push_entry(code, 1);
    g_rules[i].pos = p;
    return i;
  }

  // Skips the sub-rule of a command that completes without running it.
  Flow skip_rule(u32 end, bool r) {
    Entry& b = block();
    b.pos = std::max(b.pos, end);
    return atom(r);
  }

  Flow start_repeat(const Cell* keyword, i32 min, i32 max, bool while_) {
    Entry& b = block();
    u32 node = series_node(&b.a);
    if (b.pos >= cells_of(node) || is_keyword(cell_of(node, b.pos), K_BAR)) {
      Cell k = *keyword;
      if (type_of(&k) == TYPE_INTEGER) fire(Err::script_parse_rule, &k);
      missing_after(keyword);
    }
    u32 sub = b.pos;
    if (max == 0) return skip_rule(rule_end(node, sub), true);
    Cell atom_cell;
    if (!tracing && !while_) {
      if (const Cell* v = simple_atom(node, sub, &atom_cell)) {
        check_atom(v);
        i32 start = in.index;
        i32 count = repeat_atom(v, max);
        bool ok = count >= min;
        if (!ok) in.index = start;
        return skip_rule(sub + 1, ok);
      }
    }
    // A block that fails at once: no round matches.
    if (const Cell* blk = sub_block(node, sub, &atom_cell); blk && fails_at_once(blk)) {
      return skip_rule(sub + 1, min == 0);
    }
    u32 i = push_entry(C_REPEAT, 1);
    Entry& e = g_rules[i];
    e.pos = sub;
    e.min = min;
    e.max = max;
    e.flags = while_ ? F_WHILE : 0;
    e.mark = in.index;
    e.mark_len = in_total();
    event(EV_PUSH);
    return AGAIN;
  }

  // The counts of an integer before a rule, with an optional second count
  // (an integer or a word holding one), which it steps over.
  void count_range(const Cell* first, i32& min, i32& max) {
    min = int_of(first);
    max = min;
    Entry& b = block();
    u32 node = series_node(&b.a);
    if (b.pos < cells_of(node)) {
      Cell d = *cell_of(node, b.pos);
      const Cell* v = nullptr;
      if (type_of(&d) == TYPE_INTEGER) v = &d;
      else if (type_of(&d) == TYPE_WORD && keyword_of(&d) == K_NO) {
        v = rule_value(&d);
        if (v && type_of(v) != TYPE_INTEGER) v = nullptr;
      }
      if (v) {
        max = int_of(v);
        ++b.pos;
        if (max < 0) {
          Cell c = *v;
          fire(Err::script_out_of_range, &c);
        }
      }
    }
    if (min < 0) {
      Cell c = *first;
      fire(Err::script_out_of_range, &c);
    }
    if (max < min) {
      Cell c = *first;
      fire(Err::script_parse_rule, &c);
    }
  }

  // An integer count before a rule, with an optional second count.
  Flow start_count(const Cell* first) {
    i32 min, max;
    count_range(first, min, max);
    return start_repeat(first, min, max, false);
  }

  Flow start_to(const Cell* keyword, bool thru) {
    u32 i = push_command(thru ? C_THRU : C_TO, keyword);
    Entry& e = g_rules[i];
    u32 node = series_node(&block().a);
    u32 sub = e.pos, end = sub + 1;
    Cell next = *cell_of(node, sub);
    if (is_keyword(&next, K_END)) {
      pop_entry();
      clamp_index();
      in.index = in_end();
      return skip_rule(end, true);
    }
    Cell atom_cell;
    const Cell* v = tracing ? nullptr : simple_atom(node, sub, &atom_cell);
    if (v) {
      pop_entry();
      check_atom(v);
      clamp_index();
      i32 stop = in_end();
      for (i32 at = in.index; at <= stop; ++at) {
        i32 n = match_atom_at(at, stop, v);
        if (n >= 0) {
          in.index = thru ? at + n : at;
          return skip_rule(end, true);
        }
      }
      return skip_rule(end, false);
    }
    event(EV_PUSH);
    return AGAIN;
  }

  // The word argument of copy, set, collect set/into/after and case.
  Cell take_word(const Cell* keyword) {
    Entry& b = block();
    u32 node = series_node(&b.a);
    if (b.pos >= cells_of(node) || type_of(cell_of(node, b.pos)) != TYPE_WORD ||
        keyword_of(cell_of(node, b.pos)) == K_BAR) {
      missing_after(keyword);
    }
    return *cell_of(node, b.pos++);
  }

  Flow start_word_command(Code code, const Cell* keyword) {
    Cell w = take_word(keyword);
    u32 i = push_command(code, keyword);
    g_rules[i].a = w;
    event(EV_PUSH);
    return AGAIN;
  }

  Flow start_case(const Cell* keyword) {
    Cell w = take_word(keyword);
    Cell wc = w;
    const Cell* v = word::get_value_cell(&wc);
    if (is_unset(v)) fire(Err::script_no_value, &wc);
    bool cs = !logic::is_false(v);
    u32 i = push_command(C_CASE, keyword);
    g_rules[i].flags = case_ ? F_CASE : 0;
    case_ = cs;
    event(EV_PUSH);
    return AGAIN;
  }

  Flow start_into(const Cell* keyword) {
    if (in.kind != IN_BLOCK) {
      Cell s = in.series;
      set_series_index(&s, in.index);
      fire(Err::script_parse_block, &s);
    }
    Entry& b = block();
    u32 node = series_node(&b.a);
    Cell rule;
    make_none(&rule);
    if (b.pos < cells_of(node)) rule = *cell_of(node, b.pos);
    Cell sub = rule;
    if (type_of(&rule) == TYPE_WORD && keyword_of(&rule) == K_NO) {
      if (const Cell* v = rule_value(&rule)) sub = *v;
    }
    if (type_of(&sub) != TYPE_BLOCK) missing_after(keyword);
    u32 i = push_command(C_INTO, keyword);
    g_rules[i].end = g_rules[i].pos + 1;
    event(EV_PUSH);
    clamp_index();
    Cell value;
    make_none(&value);
    if (in.index < in_end()) value = *cell_of(in_node(), u32(in.index));
    Type vt = type_of(&value);
    if (!(is_any_block_type(vt) || is_any_string_type(vt) || vt == TYPE_BINARY)) {
      return complete(false);
    }
    block().pos = g_rules[i].pos + 1;
    if (g_inputs.size() + 1 > MAX_CELLS) fire(Err::script_parse_stack);
    g_inputs.push_back(in);
    in.series = value;
    in.kind = is_any_block_type(vt) ? IN_BLOCK : IN_TEXT;
    in.limit = -1;
    in.index = 0;
    in.index = std::clamp<i32>(series_index(&value), 0, i32(in_total()));
    return push_block(&sub, &rule);
  }

  // Whether a collect target of this type can take what this input keeps.
  bool compatible_target(Type t) {
    if (is_any_block_type(t)) return true;
    if (is_any_string_type(t)) return in.kind == IN_TEXT && !binary_input();
    if (t == TYPE_BINARY) return binary_input();
    return false;
  }

  Flow start_collect(const Cell* keyword) {
    Entry& b = block();
    u32 node = series_node(&b.a);
    CollectKind kind = COLLECT_NEW;
    Cell w;
    make_none(&w);
    if (b.pos < cells_of(node) && type_of(cell_of(node, b.pos)) == TYPE_WORD) {
      Keyword f = keyword_of(cell_of(node, b.pos));
      if (f == K_SET || f == K_INTO || f == K_AFTER) {
        Cell fw = *cell_of(node, b.pos);
        ++b.pos;
        w = take_word(&fw);
        kind = f == K_SET ? COLLECT_SET : f == K_INTO ? COLLECT_INTO : COLLECT_AFTER;
      }
    }
    Cell* target = stack::push();
    if (kind == COLLECT_NEW || kind == COLLECT_SET) {
      block::make_at(target, 8);
      if (kind == COLLECT_SET) word::set(&w, target);
    } else {
      Cell wc = w;
      const Cell* v = word::get_value_cell(&wc);
      Type vt = type_of(v);
      if (!is_series_type(vt)) fire(Err::script_parse_into_bad);
      if (!compatible_target(vt)) fire(Err::script_parse_into_type);
      copy_cell(v, target);
    }
    u32 i = push_command(C_COLLECT, keyword);
    Entry& e = g_rules[i];
    e.kind = kind;
    e.a = w;
    e.b = *target;
    e.prev = collect_top;
    if (kind == COLLECT_NEW && collect_top == NO_ENTRY && collect_mode && !have_result) {
      result = *target;
      have_result = true;
    }
    collect_top = i;
    stack::pop(1);
    event(EV_PUSH);
    return AGAIN;
  }

  // Adds a value to the innermost collect's target: a block target takes it
  // as one value (a block's values one by one with pick), a text target its
  // form.
  void keep_value(const Cell* value, bool pick) {
    if (collect_top == NO_ENTRY) fire(Err::script_parse_keep);
    u32 ci = collect_top;
    Entry& c = g_rules[ci];
    bool insert = c.kind == COLLECT_INTO;
    Cell* target = stack::push_cell(&c.b);
    Cell* v = stack::push_cell(value);
    bool only = is_any_block_type(type_of(target)) && !pick;
    if (insert) actions::handler<act::Insert>(target, ACT_insert)(target, v, -1, only, 1, false);
    else actions::handler<act::Insert>(target, ACT_append)(target, v, -1, only, 1, true);
    if (insert) g_rules[ci].b = *target;  // later values go after this one
    stack::pop(2);
  }

  // Keeps the input matched from index s to e.
  void keep_part(i32 s, i32 e, bool pick) {
    if (collect_top == NO_ENTRY) fire(Err::script_parse_keep);
    if (e <= s) return;
    i32 n = e - s;
    Entry& c = g_rules[collect_top];
    u32 ci = collect_top;
    stack::Mark mark;
    Cell* target = stack::push_cell(&c.b);
    Cell* part = push_input_at(s);
    Type tt = type_of(target);
    bool insert = c.kind == COLLECT_INTO;
    auto put = [&](Cell* v, bool only, i32 count) {
      if (insert) actions::handler<act::Insert>(target, ACT_insert)(target, v, count, only, 1, false);
      else actions::handler<act::Insert>(target, ACT_append)(target, v, count, only, 1, true);
    };
    if (is_any_string_type(tt) || tt == TYPE_BINARY) {
      put(part, false, n);  // text into text, bytes into bytes: appended as they stand
    } else if (pick && in.kind == IN_BLOCK) {
      put(part, false, n);
    } else if (pick || n == 1) {
      for (i32 k = 0; k < n; ++k) {
        Cell* v = stack::push();
        unit_value(s + k, v);
        put(v, true, -1);
        stack::pop(1);
      }
    } else {
      Cell* count = make_integer(stack::push(), n);
      Cell* copy = make_none(stack::push());
      actions::handler<act::Copy>(part, ACT_copy)(part, copy, count, false, nullptr);
      put(copy, true, -1);
    }
    if (insert) g_rules[ci].b = *target;
  }

  // The value of one unit of the input: a char! of a string, a block's value.
  void unit_value(i32 i, Cell* out) {
    if (in.kind == IN_BLOCK) {
      copy_cell(cell_of(in_node(), u32(i)), out);
      clear_new_line(out);
    } else if (binary_input()) {
      make_integer(out, i32(buffer_of(in_node())->head_ptr()[i]));
    } else {
      make_char(out, string::char_at(&in.series, u32(i)));
    }
  }

  Flow start_keep(const Cell* keyword) {
    bool pick = take_keyword(K_PICK);
    Entry& b = block();
    u32 node = series_node(&b.a);
    if (b.pos < cells_of(node) && type_of(cell_of(node, b.pos)) == TYPE_PAREN) {
      if (collect_top == NO_ENTRY) fire(Err::script_parse_keep);
      Cell paren = *cell_of(node, b.pos++);
      {
        stack::Mark mark;
        Cell* v = eval_paren(&paren);
        event(EV_PAREN);
        keep_value(v, pick);
      }
      return action();
    }
    if (collect_top == NO_ENTRY) fire(Err::script_parse_keep);
    u32 i = push_command(C_KEEP, keyword);
    g_rules[i].flags = pick ? F_PICK : 0;
    event(EV_PUSH);
    return AGAIN;
  }

  Flow start_change(const Cell* keyword) {
    bool only = take_keyword(K_ONLY);
    u32 node = series_node(&block().a);
    // The new value follows the rule.
    u32 at = rule_end(node, block().pos);
    if (at >= cells_of(node)) end_error(node, cells_of(node));
    Cell value = *cell_of(node, at);
    if (is_any_path_type(type_of(&value))) fire(Err::script_parse_rule, &value);
    u32 i = push_command(C_CHANGE, keyword);
    g_rules[i].flags = only ? F_ONLY : 0;
    event(EV_PUSH);
    return AGAIN;
  }

  static bool is_any_path_type(Type t) {
    return t == TYPE_PATH || t == TYPE_LIT_PATH || t == TYPE_SET_PATH || t == TYPE_GET_PATH;
  }

  // The value that insert and change put into the input: a paren's result, a
  // word's value, any other value as it stands. Pushed on the stack.
  Cell* edit_value(const Cell* rule) {
    Type t = type_of(rule);
    if (t == TYPE_PAREN) {
      Cell* v = eval_paren(rule);
      event(EV_PAREN);
      return v;
    }
    if (is_any_path_type(t)) {
      Cell c = *rule;
      fire(Err::script_parse_rule, &c);
    }
    if (t == TYPE_WORD || t == TYPE_GET_WORD) {
      Cell w = *rule;
      set_type(&w, TYPE_WORD);
      return word::get(&w);
    }
    return stack::push_cell(rule);
  }

  // Tells the /part limit about an edit of delta units at index `at`.
  void edited(i32 at, i32 delta) {
    if (in.limit >= 0 && at <= in.limit) in.limit = std::max(at, in.limit + delta);
  }

  Flow do_insert(const Cell* keyword) {
    bool only = take_keyword(K_ONLY);
    need_more(keyword);
    Entry& b = block();
    u32 node = series_node(&b.a);
    {
      stack::Mark mark;
      clamp_index();
      i32 at = in.index;
      if (insert_position(cell_of(node, b.pos)) && b.pos + 1 < cells_of(node)) {
        const Cell* v = rule_value(cell_of(node, b.pos));
        at = std::clamp<i32>(series_index(v), 0, i32(in_total()));
        ++b.pos;
      }
      Cell rule = *cell_of(node, b.pos++);
      Cell* value = edit_value(&rule);
      clamp_index();
      at = std::min(at, i32(in_total()));
      u32 before = in_total();
      Cell* target = push_input_at(at);
      actions::handler<act::Insert>(target, ACT_insert)(target, value, -1, only, 1, false);
      i32 delta = i32(in_total()) - i32(before);
      if (at <= in.index) in.index += delta;
      edited(at, delta);
    }
    clamp_index();
    event(EV_CHANGE);
    return action();
  }

  // Paren, set-word and get-word in the rules.
  Flow set_position(const Cell* set_word) {
    Cell w = *set_word;
    set_type(&w, TYPE_WORD);
    clamp_index();
    Cell* pos = push_input_at(in.index);
    word::set(&w, pos);
    stack::pop(1);
    return action();
  }

  Flow get_position(const Cell* get_word) {
    Cell w = *get_word;
    set_type(&w, TYPE_WORD);
    const Cell* v = rule_value(&w);
    if (!v || !is_series_type(type_of(v)) || series_node(v) != in_node()) {
      Cell g = *get_word;
      fire(Err::script_parse_invalid_ref, &g);
    }
    in.index = std::clamp<i32>(series_index(v), 0, in_end());
    return action();
  }

  Flow paren(const Cell* p) {
    {
      stack::Mark mark;
      eval_paren(p);
    }
    clamp_index();
    event(EV_PAREN);
    return action();
  }

  // ---- dispatch ------------------------------------------------------------------

  Flow dispatch() {
    Entry& b = block();
    u32 node = series_node(&b.a);
    u32 n = cells_of(node);
    if (b.pos >= n) {
      if (awaiting()) end_error(node, n);
      return pop_block(true, false);
    }
    Cell v = *cell_of(node, b.pos);
    event(EV_FETCH, i32(block().pos));
    if (type_of(&v) == TYPE_WORD) {
      Keyword k = keyword_of(&v);
      if (k == K_BAR) {
        Entry& bb = block();
        if (awaiting() || bb.pos + 1 >= cells_of(node)) fire(Err::script_parse_end, &v);
        return pop_block(true, false);
      }
      ++block().pos;
      if (k != K_NO) return keyword(k, &v);
      return dispatch_value(&v, false);
    }
    ++block().pos;
    return dispatch_value(&v, false);
  }

  Flow dispatch_value(const Cell* vp, bool via_word) {
    Cell v = *vp;
    switch (type_of(&v)) {
      case TYPE_WORD: {
        if (via_word) return literal(&v);
        Keyword k = keyword_of(&v);
        if (k != K_NO) return keyword(k, &v);
        const Cell* value = rule_value(&v);
        if (!value) fire(Err::script_parse_rule, &v);
        if (type_of(value) == TYPE_BLOCK) {
          Cell blk = *value;
          if (fails_at_once(&blk)) return atom(false);
          return push_block(&blk, &v);
        }
        Cell val = *value;
        return dispatch_value(&val, true);
      }
      case TYPE_SET_WORD:
        return set_position(&v);
      case TYPE_GET_WORD:
        return get_position(&v);
      case TYPE_PAREN:
        return paren(&v);
      case TYPE_BLOCK:
        if (fails_at_once(&v)) return atom(false);
        return push_block(&v, &v);
      case TYPE_INTEGER:
        return start_count(&v);
      default:
        return literal(&v);
    }
  }

  Flow literal(const Cell* v) {
    if (in.kind == IN_BLOCK || input_atom(type_of(v)) || type_of(v) == TYPE_DATATYPE ||
        type_of(v) == TYPE_TYPESET) {
      return match_atom(v);
    }
    Cell c = *v;
    fire(Err::script_parse_rule, &c);
  }

  Flow keyword(Keyword k, const Cell* kw) {
    switch (k) {
      case K_SKIP: {
        clamp_index();
        bool ok = in.index < in_end();
        if (ok) ++in.index;
        return atom(ok);
      }
      case K_END:
        clamp_index();
        return atom(in.index >= in_end());
      case K_NONE:
        return atom(true);
      case K_FAIL:
        return atom(false);
      case K_BREAK: case K_REJECT: {
        // Leaves the enclosing rule block, dropping the commands that wait
        // for their sub-rule in it.
        while (awaiting()) discard_top();
        return pop_block(k == K_BREAK, true);
      }
      case K_ANY: return start_repeat(kw, 0, -1, false);
      case K_SOME: return start_repeat(kw, 1, -1, false);
      case K_OPT: return start_repeat(kw, 0, 1, false);
      case K_WHILE: return start_repeat(kw, 0, -1, true);
      case K_TO: return start_to(kw, false);
      case K_THRU: return start_to(kw, true);
      case K_COPY: return start_word_command(C_COPY, kw);
      case K_SET: return start_word_command(C_SET, kw);
      case K_NOT: return start_plain(C_NOT, kw);
      case K_AHEAD: return start_plain(C_AHEAD, kw);
      case K_REMOVE: return start_plain(C_REMOVE, kw);
      case K_INTO: return start_into(kw);
      case K_COLLECT: return start_collect(kw);
      case K_KEEP: return start_keep(kw);
      case K_CHANGE: return start_change(kw);
      case K_INSERT: return do_insert(kw);
      case K_CASE: return start_case(kw);
      case K_QUOTE: {
        need_more(kw);
        Entry& b = block();
        Cell v = *cell_of(series_node(&b.a), b.pos++);
        if (in.kind == IN_TEXT && !input_atom(type_of(&v))) fire(Err::script_parse_rule, &v);
        if (in.kind == IN_BLOCK) {
          // Quoted values compare as they stand, whatever their type.
          clamp_index();
          bool ok = false;
          if (in.index < in_end()) {
            Cell* a = stack::push_cell(cell_of(in_node(), u32(in.index)));
            Cell* c = stack::push_cell(&v);
            ok = actions::compare(a, c, case_ ? COMP_STRICT_EQUAL : COMP_EQUAL);
            stack::pop(2);
          }
          if (ok) ++in.index;
          return atom(ok);
        }
        return match_atom(&v);
      }
      case K_IF: {
        need_more(kw);
        Entry& b = block();
        Cell p = *cell_of(series_node(&b.a), b.pos);
        if (type_of(&p) != TYPE_PAREN) fire(Err::script_parse_rule, &p);
        ++block().pos;
        bool ok;
        {
          stack::Mark mark;
          ok = !logic::is_false(eval_paren(&p));
        }
        clamp_index();
        event(EV_PAREN);
        return atom(ok);
      }
      case K_ONLY: case K_PICK: case K_AFTER: case K_BAR: case K_NO: {
        Cell c = *kw;
        fire(Err::script_parse_rule, &c);
      }
    }
    return AGAIN;
  }

  Flow start_plain(Code code, const Cell* kw) {
    push_command(code, kw);
    event(EV_PUSH);
    return AGAIN;
  }

  // Drops a command whose rule is left by break or reject.
  void discard_top() {
    Entry& t = top();
    if (t.code == C_COLLECT) collect_top = t.prev;
    else if (t.code == C_CASE) case_ = (t.flags & F_CASE) != 0;
    event(EV_POP);
    pop_entry();
  }

  // ---- apply ----------------------------------------------------------------------

  Flow apply() {
    bool brk = broken;
    broken = false;
    bool r = res;
    if (g_rules.back().code == C_BLOCK) {
      if (r) return AGAIN;
      return next_alternative();
    }
    u32 ti = top_index();
    Entry& t = g_rules[ti];
    switch (t.code) {
      case C_REPEAT: {
        if (!r) return complete(!brk && t.count >= t.min);
        ++t.count;
        if (brk) return complete(true);
        if (t.max >= 0 && t.count >= t.max) return complete(true);
        bool moved = in.index != t.mark || in_total() != t.mark_len;
        if (!moved && !(t.flags & F_WHILE)) return complete(true);
        t.mark = in.index;
        t.mark_len = in_total();
        block().pos = t.pos;
        event(EV_ITERATE);
        interrupt::poll();
        return AGAIN;
      }
      case C_TO: case C_THRU: {
        if (r) {
          if (t.code == C_TO) in.index = t.mark;
          return complete(true);
        }
        clamp_index();
        if (t.mark >= in_end()) return complete(false);
        ++t.mark;
        in.index = t.mark;
        block().pos = t.pos;
        event(EV_ITERATE);
        interrupt::poll();
        return AGAIN;
      }
      case C_COPY: case C_SET: {
        if (r) {
          Cell w = t.a;
          i32 s = t.start;
          clamp_index();
          stack::Mark mark;
          Cell* v = stack::push();
          if (t.code == C_COPY) {
            Cell* from = push_input_at(s);
            Cell* count = make_integer(stack::push(), std::max(0, in.index - s));
            actions::handler<act::Copy>(from, ACT_copy)(from, v, count, false, nullptr);
          } else if (in.index > s && s < i32(in_total())) {
            unit_value(s, v);
          } else {
            make_none(v);
          }
          word::set(&w, v);
        }
        return complete(r);
      }
      case C_NOT:
        in.index = t.start;
        return complete(!r);
      case C_AHEAD:
        in.index = t.start;
        return complete(r);
      case C_REMOVE: {
        if (r) {
          i32 s = t.start;
          clamp_index();
          i32 n = in.index - s;
          if (n > 0) {
            {
              stack::Mark mark;
              Cell* from = push_input_at(s);
              Cell* count = make_integer(stack::push(), n);
              actions::handler<act::Remove>(from, ACT_remove)(from, count, nullptr);
            }
            edited(s, -n);
          }
          in.index = s;
          clamp_index();
          event(EV_CHANGE);
        }
        return complete(r);
      }
      case C_INTO: {
        bool ok = r && in.index >= in_end();
        in = g_inputs.back();
        g_inputs.pop_back();
        Entry& e = g_rules[ti];
        in.index = e.start;
        clamp_index();
        if (ok) {
          if (in.index < in_end()) ++in.index;
          else ok = false;
        }
        return complete(ok);
      }
      case C_COLLECT: {
        collect_top = t.prev;
        if (r && t.kind == COLLECT_NEW && collect_top != NO_ENTRY) {
          stack::Mark mark;
          keep_value(stack::push_cell(&g_rules[ti].b), false);
        }
        return complete(r);
      }
      case C_KEEP:
        if (r) {
          bool pick = (t.flags & F_PICK) != 0;
          clamp_index();
          keep_part(t.start, in.index, pick);
        }
        return complete(r);
      case C_CHANGE: {
        // The new value follows the rule, whatever its result.
        Entry& b = block();
        u32 node = series_node(&b.a);
        Cell rule;
        if (b.pos < cells_of(node)) rule = *cell_of(node, b.pos);
        else make_none(&rule);
        ++b.pos;
        if (r) {
          Entry& e = g_rules[ti];
          bool only = (e.flags & F_ONLY) != 0;
          i32 s = e.start;
          {
            stack::Mark mark;
            Cell* value = edit_value(&rule);
            clamp_index();
            s = std::min(s, i32(in_total()));
            i32 cut = std::max(0, in.index - s);
            u32 before = in_total();
            Cell* target = push_input_at(s);
            actions::handler<act::Change>(target, ACT_change)(target, value, cut, only, 1);
            i32 after = series_index(target);
            edited(s, i32(in_total()) - i32(before));
            in.index = after;
          }
          clamp_index();
          event(EV_CHANGE);
        }
        return complete(r);
      }
      case C_CASE:
        case_ = (t.flags & F_CASE) != 0;
        return complete(r);
      case C_BLOCK:
        break;
    }
    return AGAIN;
  }

  // ---- the run ----------------------------------------------------------------------

  bool run_rules() {
    Flow f = push_block(&rules, &rules);
    for (;;) {
      switch (f) {
        case AGAIN: f = dispatch(); break;
        case RESULT: f = apply(); break;
        case DONE: {
          clamp_index();
          bool ok = res && in.index >= in_end() && g_inputs.size() == inputs_base;
          match = ok;
          event(EV_END);
          return ok;
        }
      }
    }
  }

  // ---- compiled rules (eval/parse_compiled.cpp) -----------------------------
  //
  // An untraced run goes through run_compiled, which answers exactly as
  // run_rules: it walks each rule block by C++ recursion over its rules and
  // takes the hot rules (literals, charsets, repetitions, to/thru, copy/set,
  // alternatives) straight from a plan of the block; the other rules go
  // through the machine's own steps above.

  // What a rule answers to whatever runs it: its match, with the break flag
  // of a rule block left by break or reject; or the signal of a break or
  // reject met in the current block, which leaves that block.
  enum Res : u8 { RS_FAIL, RS_OK, RS_FAIL_BRK, RS_OK_BRK, RS_BREAK, RS_REJECT };

  bool run_compiled();
  Res c_block(const Cell* blk, const Cell* name, Plan* plan = nullptr);
  Res c_block_loop(Plan* plan = nullptr);
  Res c_pop_block(bool r, bool by_break);
  Res c_step(bool awaiting);
  Res c_step_general(bool awaiting);
  Plan* c_sub_plan(u32 node, u32 pos);
  const Fused* c_fuse(const Cell* blk, Plan* plan = nullptr);
  bool c_fused_round(const Fused& f);
  Res c_dispatch_word(const Cell* word);
  Res c_dispatch_value(const Cell* v, bool via_word);
  Res c_literal(const Cell* v);
  Res c_keyword(Keyword k, const Cell* kw);
  Res c_drive(Flow f, size_t depth_before);
  Res c_repeat(const Cell* kw, i32 min, i32 max, bool while_);
  Res c_count(const Cell* first);
  Res c_to(const Cell* kw, bool thru);
  Res c_copy_set(Code code, const Cell* kw);
  bool c_fails_at_once(const Cell* blk, Plan* plan = nullptr);
  const Cell* c_atom(u32 node, u32 p, Cell* out);
  i32 c_match_at(i32 i, i32 end, const Cell* v);
  i32 c_repeat_atom(const Cell* v, i32 max);
  u8 c_kind_at(u32 node, u32 p);
  u8 c_kind_slow(u32 node, u32 p);
  u32 c_next_bar(u32 node, u32 from);
  void c_skip_to(u32 end) {
    Entry& b = block();
    b.pos = std::max(b.pos, end);
  }
  Plan* cur_plan = nullptr;  // the plan of the innermost rule block, or null
};

// Whether untraced runs go through the compiled rules: not while the
// evaluator runs everything through its reference routines
// (QEL_EVAL_REFERENCE=1), which holds for PARSE's reference machine too.
bool compiled_rules_on();

}  // namespace qel::parse::detail
