// The PARSE engine's state, its stacks and its reference machine, shared by
// the parse native (eval/parse.cpp) and the compiled rules
// (eval/parse_compiled.cpp). Nothing else includes this header. The
// machine's steps are in eval/parse_engine.cpp.
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

#include "datatypes/context.hpp"
#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "runtime/casefold.hpp"
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

inline u32 fold(u32 cp) { return casefold::upper(cp); }

// The value a word holds for the rules, or null when it has none. Rules
// look their words up at every step: the bound case is taken inline.
const Cell* rule_value_slow(const Cell* word);
inline const Cell* rule_value(const Cell* word) {
  u32 ctx = word::context_of(word);
  if (!ctx) return nullptr;
  i32 i = word::index_of(word);
  if (i < 0) [[unlikely]] return rule_value_slow(word);
  const Cell* v = context::slot(ctx, u32(i));
  return v && !is_unset(v) ? v : nullptr;
}

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
  void make_stack_block(Cell* out);

  // Calls the callback; false from it stops the run. Without a callback the
  // test is all an event costs: the call itself stays out of line.
  void event(EventWord ev, i32 rule_pos = -1) {
    if (tracing) [[unlikely]] trace_event(ev, rule_pos);
  }
  [[gnu::noinline]] void trace_event(EventWord ev, i32 rule_pos);

  // ---- blocks ----------------------------------------------------------------

  // The same block entered again at the same input, unchanged, would
  // repeat what brought it here forever. The open blocks of this run are
  // the chain from the innermost one; their starts only go down along it
  // unless a rule set the position back, so the walk stops at the first
  // block begun before this position (a recursion hidden behind such a
  // jump still ends, at the depth limit).
  void check_recursion(u32 node, i32 head, u32 len, const Cell* name);

  // Enters a rule block; `name` is the rule that named it (for errors).
  Flow push_block(const Cell* rule_block, const Cell* name);

  // Whether a rule block fails as soon as it is entered: its first rule is a
  // character, string or charset (or a word holding one) that does not match
  // here, and no alternative follows it. Such a block is not entered at all,
  // which saves the machinery of every failing round of `any [#"x" ...]` and
  // of every alternative tried on the wrong character. Not while tracing:
  // the callback sees each block entered.
  bool fails_at_once(const Cell* blk);

  // Leaves the innermost rule block with its result.
  Flow pop_block(bool r, bool by_break);

  // After a failed rule: the next alternative of the block, or the block's
  // failure when there is none.
  Flow next_alternative();

  // ---- results -----------------------------------------------------------------

  // An atom matched or failed.
  Flow atom(bool r);

  // A rule that does not match anything (a set-word, a paren, ...): the
  // block goes on; a command waiting for its sub-rule takes it as a success.
  Flow action();

  // A command completes with its result: the block's position goes past the
  // whole rule and the result goes to what lies beneath.
  Flow complete(bool ok);

  // A repeating command (some, any, to, thru) runs its sub-rule again from
  // the rule's position pos.
  Flow iterate(u32 pos);

  // ---- the position after one rule ---------------------------------------

  [[noreturn]] void end_error(u32 node, u32 p);

  // Whether an `insert` argument names where to insert: a word or get-word
  // holding a position in the input being parsed.
  bool insert_position(const Cell* c);

  // The position just after the rule that starts at p in the block: its
  // keyword, its arguments and its sub-rule.
  u32 rule_end(u32 node, u32 p);

  // ---- matching atoms ----------------------------------------------------------

  // The length a string-kind input matches at index i with the value (a
  // text atom), or -1.
  i32 match_text_at(i32 i, i32 end, const Cell* v);

  // Whether the value at index i of a block input matches the rule value.
  bool match_value_at(i32 i, i32 end, const Cell* v);

  bool binary_input() const { return type_of(&in.series) == TYPE_BINARY; }
  // Rule values a string or binary input can match: a binary input also
  // matches binary! values, and datatypes through the lexer.
  bool input_atom(Type t) const;

  // The length of the value that the lexer finds at index i of a binary
  // input when its type is the datatype (or in the typeset), or -1.
  i32 match_scanned_at(i32 i, i32 end, const Cell* v);

  // Checks that the value can be matched against the current input; raises
  // the error of a rule it cannot be.
  void check_atom(const Cell* v);

  // The length the atom matches at index i, or -1 (the atom was checked).
  i32 match_atom_at(i32 i, i32 end, const Cell* v);

  // Matches an atom at the input, advancing over it.
  Flow match_atom(const Cell* v);

  // ---- the repetition fast path -------------------------------------------------

  // The atom that a sub-rule at p stands for (a literal, or a word holding
  // one), or null when the sub-rule needs the machine.
  const Cell* simple_atom(u32 node, u32 p, Cell* out);

  // The rule block that a sub-rule at p stands for (a block, or a word
  // holding one), or null.
  const Cell* sub_block(u32 node, u32 p, Cell* out);

  // Runs a repetition of an atom directly: answers the rounds matched.
  i32 repeat_atom(const Cell* v, i32 max);

  // ---- commands ------------------------------------------------------------------

  // Raises script parse-end: the rule or value the keyword takes is missing.
  [[noreturn]] static void missing_after(const Cell* keyword);

  // Raises script parse-end unless a value follows in the rules block.
  void need_more(const Cell* keyword);

  // Steps over the keyword when it comes next in the rules block; answers
  // whether it did.
  bool take_keyword(Keyword k);

  // Pushes a command whose sub-rule starts at the block's position.
  u32 push_command(Code code, const Cell* keyword);

  // Skips the sub-rule of a command that completes without running it.
  Flow skip_rule(u32 end, bool r);

  Flow start_repeat(const Cell* keyword, i32 min, i32 max, bool while_);

  // The counts of an integer before a rule, with an optional second count
  // (an integer or a word holding one), which it steps over.
  void count_range(const Cell* first, i32& min, i32& max);

  // An integer count before a rule, with an optional second count.
  Flow start_count(const Cell* first);

  Flow start_to(const Cell* keyword, bool thru);

  // The word argument of copy, set, collect set/into/after and case.
  Cell take_word(const Cell* keyword);

  Flow start_word_command(Code code, const Cell* keyword);

  Flow start_case(const Cell* keyword);

  Flow start_into(const Cell* keyword);

  // Whether a collect target of this type can take what this input keeps.
  bool compatible_target(Type t);

  Flow start_collect(const Cell* keyword);

  // Adds a value to the innermost collect's target: a block target takes it
  // as one value (a block's values one by one with pick), a text target its
  // form.
  void keep_value(const Cell* value, bool pick);

  // Keeps the input matched from index s to e.
  void keep_part(i32 s, i32 e, bool pick);

  // The value of one unit of the input: a char! of a string, a block's value.
  void unit_value(i32 i, Cell* out);

  Flow start_keep(const Cell* keyword);

  Flow start_change(const Cell* keyword);

  static bool is_any_path_type(Type t);

  // The value that insert and change put into the input: a paren's result, a
  // word's value, any other value as it stands. Pushed on the stack.
  Cell* edit_value(const Cell* rule);

  // Tells the /part limit about an edit of delta units at index `at`.
  void edited(i32 at, i32 delta);

  Flow do_insert(const Cell* keyword);

  // Paren, set-word and get-word in the rules.
  Flow set_position(const Cell* set_word);

  Flow get_position(const Cell* get_word);

  Flow paren(const Cell* p);

  // ---- dispatch ------------------------------------------------------------------

  Flow dispatch();

  Flow dispatch_value(const Cell* vp, bool via_word);

  Flow keyword(Keyword k, const Cell* kw);

  Flow start_plain(Code code, const Cell* kw);

  // Drops a command whose rule is left by break or reject.
  void discard_top();

  // ---- apply ----------------------------------------------------------------------

  Flow apply();

  // ---- the run ----------------------------------------------------------------------

  bool run_rules();

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
  Res c_fused_round(const Fused& f, const Cell* blk, bool& acted);
  void c_push_block(const Cell* blk, i32 start);
  Res c_dispatch_word(const Cell* word);
  Res c_dispatch_value(const Cell* v, bool via_word);
  Res c_literal(const Cell* v);
  Res c_keyword(Keyword k, const Cell* kw);
  Res c_drive(Flow f, size_t depth_before);
  Res c_repeat(const Cell* kw, i32 min, i32 max, bool while_);
  Res c_count(const Cell* first);
  Res c_to(const Cell* kw, bool thru);
  Res c_copy_set(Code code, const Cell* kw);
  Res c_copy_lead(Code code, u32 pos, const Cell* v, i32 matched = -1);
  void copy_text_part(Cell* out, i32 s);
  bool c_fails_at_once(const Cell* blk, Plan* plan = nullptr);
  Res c_text_step(Plan& pl, u32 pos, u8 k, bool awaiting);
  Res c_paren(Plan& pl, u32 pos);
  Res c_literal_block(Plan& pl, u32 pos, bool text);
  const Cell* c_atom(u32 node, u32 p, Cell* out);
  i32 c_match_at(i32 i, i32 end, const Cell* v);
  i32 c_repeat_atom(const Cell* v, i32 max);
  Plan* c_plan_for(u32 node);
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
