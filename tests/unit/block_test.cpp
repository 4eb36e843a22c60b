// block!: the buffer helpers, mold and form with their new lines and
// indentation, comparison, the modifying actions, path steps, copy and
// make/to; then find and select with their refinements, sort (with user
// comparators that raise, allocate and collect), the set operations, and a
// hash! whose table must follow every edit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/typeset.hpp"
#include "datatypes/word.hpp"
#include "datatypes/ownership.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/cycles.hpp"
#include "runtime/error.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

namespace block_test {

using namespace qel;
using namespace qel::test;

namespace {

// Collections may run at any allocation (at every one under QEL_GC_STRESS).
class Blocks : public test::RuntimeTest {
 protected:
  void SetUp() override {
    // An outer frame, so that closing the frames a test opens never empties
    // the call stack (which would reset the arguments stack).
    stack::mark(1, 0, stack::FRAME_NATIVE);
    cycles::reset();
  }
};

// The refinements of the actions the tables call, in their stack order.
const std::map<Action, std::vector<std::string>> kRefinements = {
    {ACT_find, {"part", "only", "case", "same", "any", "with", "skip", "last", "reverse", "tail", "match"}},
    {ACT_select, {"part", "only", "case", "same", "any", "with", "skip", "last", "reverse"}},
    {ACT_sort, {"case", "skip", "compare", "part", "all", "reverse", "stable"}},
    {ACT_append, {"part", "only", "dup"}},
    {ACT_insert, {"part", "only", "dup"}},
    {ACT_change, {"part", "only", "dup"}},
    {ACT_copy, {"part", "deep", "types"}},
    {ACT_take, {"part", "deep", "last"}},
};

// Calls the action's stack entry as the interpreter does: the arguments, then
// each refinement's flag and arguments. `refs` is Qel text of refinements,
// each followed by its arguments; the cells of `more` are further arguments of
// the last of them. The result is pushed in the caller's frame.
Cell* call(Action a, const std::vector<const Cell*>& args, const std::string& refs = "",
           const std::vector<const Cell*>& more = {}) {
  const std::vector<std::string>& names = kRefinements.at(a);
  // Which refinements are given, and the positions in `given` of their arguments.
  Cell* given = load_all(refs);
  std::vector<std::optional<std::vector<u32>>> used(names.size());
  i32 last = -1;
  for (u32 i = 0; i < cell_count(given); ++i) {
    const Cell* c = cell_at(given, i);
    if (type_of(c) != TYPE_REFINEMENT) {
      EXPECT_GE(last, 0) << refs;
      if (last >= 0) used[size_t(last)]->push_back(i);
      continue;
    }
    auto it = std::find(names.begin(), names.end(), spelling(c));
    EXPECT_NE(it, names.end()) << spelling(c);
    last = i32(it - names.begin());
    used[size_t(last)].emplace();
  }
  std::vector<i32> offsets(names.size(), -1);
  stack::mark(2, 0, stack::FRAME_NATIVE);
  for (const Cell* c : args) stack::push_cell(c);
  for (size_t k = 0; k < names.size(); ++k) {
    if (!used[k]) continue;
    bool extra = i32(k) == last && !more.empty();
    Cell* flag = make_logic(stack::push(), true);
    offsets[k] = i32(flag - stack::base) + (used[k]->empty() && !extra ? 0 : 1);
    for (u32 i : *used[k]) stack::push_cell(cell_at(given, i));
    if (extra) {
      for (const Cell* c : more) stack::push_cell(c);
    }
  }
  actions::entry(a)(offsets.data());
  Cell result = *stack::base;
  stack::unwind();
  return stack::push_cell(&result);
}

// The action on a series given as text and a value (or none), in one line:
// its answer molded, or "!" and the id of the error it raised.
std::string run_with(Action a, const char* series, const Cell* value, const std::string& refs = "") {
  return attempt([&] {
    Cell* s = load(series);
    if (!value) return molded(call(a, {s}, refs));
    return molded(call(a, {s, value}, refs));
  });
}
// The same with the value given as text.
std::string run(Action a, const char* series, const char* value, const std::string& refs = "") {
  return run_with(a, series, value ? load(value) : nullptr, refs);
}

}  // namespace

// ---- helpers --------------------------------------------------------------------------

TEST_F(Blocks, PositionsPastTheTail) {
  Cell* b = load("[1 2 3]");
  Cell* other = stack::push_cell(b);
  set_series_index(other, 3);
  block::clear_at(b, 1);  // another value sharing the buffer cut it
  EXPECT_EQ(block::length_from_index(other), -2);
  EXPECT_FALSE(block::is_tail(other));
  EXPECT_EQ(block::head_cell(other), block::tail_cell(other));
  EXPECT_EQ(series_index(other), 1);
  EXPECT_TRUE(block::is_tail(other));
  Cell* beyond = stack::push_cell(b);
  set_series_index(beyond, 5);
  EXPECT_EQ(molded(block::clone(beyond, true, true)), "[]");
  EXPECT_TRUE(block::next(other)) << "next at the tail stays and answers true";
  EXPECT_EQ(series_index(other), 1);
  set_series_index(b, 0);
  EXPECT_TRUE(block::next(b));
  EXPECT_EQ(series_index(b), 1);
}

TEST_F(Blocks, CloneFindWordSelectAndRemoveKey) {
  Cell* empty = load("[]");
  Cell* c = block::clone(empty, false, false);
  EXPECT_EQ(molded(c), "[]");
  EXPECT_EQ(mem::buffer_of(series_node(c))->size, 16u) << "room for one cell";

  // Deep: nested block! values get buffers of their own (with all_blocks the
  // parens and paths too); a hash! keeps sharing; headers stay.
  Cell* src = load("[a [b [c]] (d) x/y\n[e]]");
  Cell* h = load("[z]");
  set_type(h, TYPE_HASH);
  set_series_extra(h, hash::make(4, series_node(h), hash::KIND_BLOCK, 0));
  block::append_copy(src, h);
  for (bool all : {false, true}) {
    Cell* d = block::clone(src, true, all);
    EXPECT_EQ(block::length_from_index(d), 6);
    mem::Buffer* sb = mem::buffer_of(series_node(src));
    mem::Buffer* db = mem::buffer_of(series_node(d));
    EXPECT_NE(series_node(&db->cells()[1]), series_node(&sb->cells()[1])) << "nested block";
    EXPECT_NE(series_node(&mem::buffer_of(series_node(&db->cells()[1]))->cells()[1]),
              series_node(&mem::buffer_of(series_node(&sb->cells()[1]))->cells()[1])) << "two levels down";
    EXPECT_EQ(series_node(&db->cells()[2]) != series_node(&sb->cells()[2]), all) << "paren";
    EXPECT_EQ(series_node(&db->cells()[3]) != series_node(&sb->cells()[3]), all) << "path";
    EXPECT_TRUE(has_new_line(db->cells() + 4));
    EXPECT_EQ(series_node(&db->cells()[5]), series_node(&sb->cells()[5])) << "hash!";
  }
  // A block that holds itself cannot be cloned deep.
  Cell* loop = load("[1]");
  block::append_copy(loop, loop);
  EXPECT_EQ(attempt([&] { return molded(block::clone(loop, true, false)); }), "!no-cycle");

  Cell* kv = load("[a 1 B 2 c]");
  struct WordCase { const char* word; bool case_; const char* found; };
  for (WordCase w : {WordCase{"b", false, "2"}, WordCase{"b", true, "none"}, WordCase{"B", true, "2"},
                     WordCase{"c", false, "none"}, WordCase{"zz", false, "none"}}) {
    Cell word{TYPE_WORD, 0, symbol::make(w.word), u32(-1)};
    EXPECT_EQ(molded(block::find_word(kv, &word, w.case_)), w.found) << w.word << " " << w.case_;
  }
  Cell* pairs = load("[\"k\" 1 x 2 y]");
  Cell* key = load("\"K\"");
  EXPECT_EQ(molded(block::select_key(pairs, key)), "1");
  Cell* y = load("y");
  EXPECT_EQ(molded(block::select_key(pairs, y)), "none");
  set_series_index(pairs, 2);
  bool before = true;
  EXPECT_FALSE(block::remove_key(pairs, key, false));
  EXPECT_TRUE(block::remove_key(pairs, key, true, &before));
  EXPECT_TRUE(before);
  EXPECT_TRUE(block::remove_key(pairs, y, false, &before));
  EXPECT_FALSE(before);
  set_series_index(pairs, 0);
  EXPECT_EQ(molded(pairs), "[1 x 2]");
}

TEST_F(Blocks, AppendingAndInsertingHelpers) {
  Cell* b = load("[1 2]");
  block::insert_value(b, load("x"), true, true);
  EXPECT_EQ(series_index(b), 1);
  block::insert_block(b, load("[a b]"));
  EXPECT_EQ(series_index(b), 3);
  block::append_block(b, load("[z]"));
  set_series_index(b, 0);
  EXPECT_EQ(molded(b), "[x a b 1 2 z]");
  // A block inserted into itself copies the cells it had.
  Cell* self = load("[1 2 3]");
  Cell* from = stack::push_cell(self);
  set_series_index(from, 1);
  block::insert_block(self, from);
  set_series_index(self, 0);
  EXPECT_EQ(molded(self), "[2 3 1 2 3]");
  // The stack forms.
  stack::mark(2, 0, stack::FRAME_NATIVE);
  Cell* target = stack::push_cell(load("[]"));
  stack::mark(3, 0, stack::FRAME_NATIVE);
  make_integer(stack::push(), 7);
  block::append_last();
  block::insert_last();
  stack::unwind();
  make_integer(stack::push(), 9);
  stack::base = target;
  block::append_next();
  set_series_index(target, 0);
  EXPECT_EQ(molded(target), "[7 7 9]");
}

// ---- mold, form, compare ------------------------------------------------------------------

TEST_F(Blocks, MoldWritesNewLinesAndIndentation) {
  struct Case { const char* text; bool only, flat; const char* mold; };
  const Case cases[] = {
      {"[a\nb]", false, false, "[a\nb]"},
      {"[\na b]", false, false, "[\n    a b\n]"},
      {"[x [\na b]]", false, false, "[x [\n    a b\n]]"},
      {"[\na [\nb]]", false, false, "[\n    a [\n        b\n    ]\n]"},
      {"[\na\nb]", true, false, "a\nb"},
      {"[\na\nb]", false, true, "[a b]"},
      {"[1 [2 (3 x/y)] 'w w: :w /w]", false, false, "[1 [2 (3 x/y)] 'w w: :w /w]"},
      {"[]", false, false, "[]"},
      {"[a b]", true, false, "a b"},
  };
  for (const Case& c : cases) {
    Cell* v = load(c.text);
    EXPECT_EQ(molded(v, {.only = c.only, .flat = c.flat}), c.mold) << c.text;
  }
  // A /part budget stops the cells once it is spent; at 0 before the first.
  Cell* v = load("[aaa bbb ccc]");
  EXPECT_EQ(molded(v, {}, 6), "[aaa b");
  Cell* buf = make_none(stack::push());
  string::make_at(buf, 16, 1);
  Cell part = integer_cell(0);
  EXPECT_EQ(block::mold_each(v, buf, false, false, false, &part, 0, 0), 0);
  EXPECT_EQ(string::to_utf8(buf), "");
}

TEST_F(Blocks, CyclesFormAndSpaces) {
  Cell* b = load("[1 2]");
  block::append_copy(b, b);
  EXPECT_EQ(molded(b), "[1 2 [...]]");
  EXPECT_EQ(formed(b), "1 2 ...");
  Cell* p = load("(1)");
  block::append_copy(p, p);
  EXPECT_EQ(molded(p), "(1 (...))");
  EXPECT_EQ(formed(load("[1 \"a\" [b c] x/y]")), "1 a b c x/y");
  EXPECT_EQ(formed(load("[\"a^/\" b \"c^-\" d]")), "a\nb c\td") << "no space after a line feed or tab";
  EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(Blocks, Comparison) {
  struct Case { const char* a; const char* b; i32 op; i32 want; };
  const Case cases[] = {
      {"[1 2]", "[1 2 3]", COMP_EQUAL, 1},          // lengths differ: unequal at once
      {"[1 2]", "[1 2 3]", COMP_LESSER, -1},        // shorter orders first
      {"[1 \"a\"]", "[1 2]", COMP_LESSER, -1},      // string! (7) before integer! (11)
      {"[1]", "[]", COMP_SORT, 1},
      {"[]", "[1]", COMP_SORT, -1},                 // and the other way round
      {"[]", "[]", COMP_EQUAL, 0},
      {"[a b]", "[A b]", COMP_EQUAL, 0},
      {"[a b]", "[A b]", COMP_STRICT_EQUAL, 1},
      {"[a b]", "[a c]", COMP_SORT, -1},
      {"[a]", "(a)", COMP_EQUAL, COMPARE_INCOMPARABLE},
      {"a/b", "'a/b", COMP_EQUAL, COMPARE_INCOMPARABLE},
      {"a/b", "'a/b", COMP_FIND, 0},
      {"'a/b", "a/b", COMP_STRICT_EQUAL_WORD, 0},
  };
  for (const Case& c : cases) {
    Cell* a = load(c.a);
    Cell* b = load(c.b);
    i32 got = actions::handler<act::Compare>(a, ACT_compare)(a, b, c.op);
    if (got != COMPARE_INCOMPARABLE) got = (got > 0) - (got < 0);
    EXPECT_EQ(got, c.want) << c.a << " " << c.b << " op " << c.op;
  }
  // Blocks that hold each other compare without endless recursion.
  Cell* x = load("[1]");
  Cell* y = load("[1]");
  block::append_copy(x, y);
  block::append_copy(y, x);
  EXPECT_EQ(block::compare_each(x, y, COMP_EQUAL), 0);
  EXPECT_EQ(block::compare_each(x, x, COMP_SAME), 0);
  Cell* nx = stack::push_cell(x);
  set_series_index(nx, 1);
  EXPECT_EQ(block::compare_each(x, nx, COMP_SAME), -1);
  EXPECT_EQ(cycles::depth(), 0u);
}

// ---- modifying actions --------------------------------------------------------------------

TEST_F(Blocks, AppendInsertAndChange) {
  struct Case { Action a; const char* series; const char* value; const char* refs; const char* answer; const char* whole; };
  const Case cases[] = {
      {ACT_append, "[1 2]", "[3 4]", "", "[1 2 3 4]", "[1 2 3 4]"},
      {ACT_append, "[1 2]", "[3 4]", "/only", "[1 2 [3 4]]", "[1 2 [3 4]]"},
      {ACT_append, "[]", "x", "/dup 3", "[x x x]", "[x x x]"},
      {ACT_append, "[]", "[a b]", "/part 1 /dup 2", "[a a]", "[a a]"},
      {ACT_append, "[1]", "[a b]", "/part -1", "[1 a b]", "[1 a b]"},
      {ACT_append, "[1]", "[a b]", "/part 9", "[1 a b]", "[1 a b]"},
      {ACT_append, "[1]", "[]", "", "[1]", "[1]"},
      {ACT_append, "[1]", "x", "/dup 0", "[1]", "[1]"},
      {ACT_insert, "[1 2]", "[a b]", "", "[1 2]", "[a b 1 2]"},
      {ACT_insert, "[1 2]", "[a b]", "/dup 2", "[1 2]", "[a b a b 1 2]"},
      {ACT_insert, "[1 2]", "x", "/only", "[1 2]", "[x 1 2]"},
      {ACT_change, "[1 2 3]", "[a b]", "", "[3]", "[a b 3]"},
      {ACT_change, "[1 2 3]", "[a b]", "/part 1", "[2 3]", "[a b 2 3]"},
      {ACT_change, "[1 2 3]", "[a b]", "/part 3", "[]", "[a b]"},
      {ACT_change, "[1 2 3]", "x", "/dup 2", "[3]", "[x x 3]"},
      {ACT_change, "[1 2 3]", "[]", "/part 2", "[3]", "[3]"},
  };
  for (const Case& c : cases) {
    std::string got = attempt([&] {
      Cell* s = load(c.series);
      Cell* r = call(c.a, {s, load(c.value)}, c.refs);
      set_series_index(s, 0);
      return molded(r) + " | " + molded(s);
    });
    EXPECT_EQ(got, std::string(c.answer) + " | " + c.whole) << c.series << " " << c.value << " " << c.refs;
  }
  // A block given to itself: its cells as they were before the change.
  struct SelfCase { Action a; i32 target_index, source_index; const char* whole; };
  for (SelfCase c : {SelfCase{ACT_append, 0, 0, "[1 2 3 1 2 3]"}, SelfCase{ACT_insert, 0, 1, "[2 3 1 2 3]"},
                     SelfCase{ACT_insert, 3, 0, "[1 2 3 1 2 3]"}, SelfCase{ACT_change, 0, 2, "[3 2 3]"},
                     SelfCase{ACT_change, 1, 0, "[1 1 2 3]"}}) {
    Cell* s = load("[1 2 3]");
    Cell* v = stack::push_cell(s);
    set_series_index(s, c.target_index);
    set_series_index(v, c.source_index);
    call(c.a, {s, v});
    set_series_index(s, 0);
    EXPECT_EQ(molded(s), c.whole) << c.a << " " << c.target_index << " " << c.source_index;
  }
}

TEST_F(Blocks, PutTakeTrimSwapAndPathSteps) {
  struct PutCase { const char* block; const char* key; const char* value; const char* whole; };
  for (PutCase c : {PutCase{"[a 1]", "b", "2", "[a 1 b 2]"}, PutCase{"[a 1]", "a", "5", "[a 5]"},
                    PutCase{"[a]", "a", "5", "[a 5]"},
                    PutCase{"[k \"abc\"]", "k", "\"ABC\"", "[k \"abc\"]"},
                    PutCase{"[[x] 1]", "[x]", "2", "[[x] 2]"}}) {
    Cell* b = load(c.block);
    Cell* r = actions::handler<act::Put>(b, ACT_put)(b, load(c.key), load(c.value), false);
    EXPECT_EQ(molded(r), c.value);
    EXPECT_EQ(molded(b), c.whole) << c.block << " " << c.key;
  }
  struct TakeCase { const char* block; const char* refs; const char* answer; const char* left; };
  for (TakeCase c : {TakeCase{"[1 2 3]", "", "1", "[2 3]"}, TakeCase{"[1 2 3]", "/part 1", "[1]", "[2 3]"},
                     TakeCase{"[1 2 3]", "/last", "3", "[1 2]"}, TakeCase{"[]", "", "none", "[]"},
                     TakeCase{"[1 2 3]", "/last /part 2", "[2 3]", "[1]"}}) {
    Cell* b = load(c.block);
    EXPECT_EQ(molded(call(ACT_take, {b}, c.refs)), c.answer) << c.block << " " << c.refs;
    EXPECT_EQ(molded(b), c.left);
  }
  // take/deep copies the series it takes.
  Cell* nested = load("[[x] 2]");
  u32 inner = series_node(&mem::buffer_of(series_node(nested))->cells()[0]);
  Cell* taken = call(ACT_take, {nested}, "/part 1 /deep");
  EXPECT_EQ(molded(taken), "[[x]]");
  EXPECT_NE(series_node(&mem::buffer_of(series_node(taken))->cells()[0]), inner);

  Cell* t = load("[1 #(none) 2 #(none) #(none)]");
  actions::handler<act::Trim>(t, ACT_trim)(t, false, false, false, false, false, nullptr);
  EXPECT_EQ(molded(t), "[1 2]");

  Cell* x = load("[1 2]");
  Cell* y = load("[a b]");
  set_series_index(y, 1);
  actions::handler<act::Binary>(x, ACT_swap)(x, y);
  set_series_index(y, 0);
  EXPECT_EQ(molded(x) + molded(y), "[b 2][a 1]");
  set_series_index(y, 2);
  actions::handler<act::Binary>(x, ACT_swap)(x, y);
  EXPECT_EQ(molded(x), "[b 2]") << "nothing at the tail";
  Cell n = integer_cell(1);
  EXPECT_EQ(attempt([&] { return molded(actions::handler<act::Binary>(x, ACT_swap)(x, &n)); }), "!invalid-arg");

  struct PathCase { const char* block; const char* element; const char* value; const char* answer; const char* whole; };
  const PathCase steps[] = {
      {"[c 10]", "c", nullptr, "10", "[c 10]"},
      {"[c 10]", "2", nullptr, "10", "[c 10]"},
      {"[c 10]", "3", nullptr, "none", "[c 10]"},
      {"[C 10]", "c", nullptr, "10", "[C 10]"},
      {"[\"k\" 10]", "\"k\"", nullptr, "10", "[\"k\" 10]"},
      {"[c 10]", "c", "5", "5", "[c 5]"},
      {"[c 10]", "1", "5", "5", "[5 10]"},
      {"[c 10]", "d", "5", "!bad-path-set", "[c 10]"},
      {"[x c]", "c", "5", "!out-of-range", "[x c]"},
      {"[c 10]", "9", "5", "!out-of-range", "[c 10]"},
  };
  for (const PathCase& c : steps) {
    Cell* b = load(c.block);
    std::string got = attempt([&] {
      PathStep step{nullptr, 1, true, false, false};
      Cell* v = c.value ? load(c.value) : nullptr;
      return molded(actions::eval_path(b, load(c.element), v, step));
    });
    EXPECT_EQ(got, c.answer) << c.block << "/" << c.element;
    EXPECT_EQ(molded(b), c.whole);
  }
}

TEST_F(Blocks, CopyShallowDeepAndByType) {
  Cell* src = load("[\"a\" [b [c]] x/y 1]");
  auto node_at = [](const Cell* b, u32 i) { return series_node(&mem::buffer_of(series_node(b))->cells()[i]); };
  // `types`, when given, is a typeset for the last refinement (/types).
  struct Case { const char* refs; bool text, block, inner, path; std::vector<Type> types = {}; };
  const Case cases[] = {
      {"", false, false, false, false},
      {"/deep", true, true, true, true},
      {"/types #(string!)", true, false, false, false},
      {"/types #(block!)", false, true, false, false},
      {"/deep /types #(block!)", false, true, true, false},
      {"/deep /types", false, true, true, true, {TYPE_BLOCK, TYPE_PATH}},
  };
  for (const Case& c : cases) {
    Cell* r = c.types.empty() ? call(ACT_copy, {src}, c.refs)
                              : call(ACT_copy, {src}, c.refs, {typeset_of(c.types)});
    EXPECT_EQ(molded(r), molded(src)) << c.refs;
    EXPECT_EQ(node_at(r, 0) != node_at(src, 0), c.text) << c.refs;
    EXPECT_EQ(node_at(r, 1) != node_at(src, 1), c.block) << c.refs;
    EXPECT_EQ(series_node(&mem::buffer_of(node_at(r, 1))->cells()[1]) != series_node(&mem::buffer_of(node_at(src, 1))->cells()[1]),
              c.inner) << c.refs;
    EXPECT_EQ(node_at(r, 2) != node_at(src, 2), c.path) << c.refs;
  }
  EXPECT_EQ(molded(call(ACT_copy, {src}, "/part 2")), "[\"a\" [b [c]]]");
  Cell* loop = load("[1]");
  block::append_copy(loop, loop);
  EXPECT_EQ(attempt([&] { return molded(call(ACT_copy, {loop}, "/deep")); }), "!no-cycle");
  EXPECT_EQ(molded(call(ACT_copy, {loop})), "[1 [1 [...]]]");
  EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(Blocks, MakeAndTo) {
  Cell proto;
  make_datatype(&proto, TYPE_BLOCK);
  struct Case { bool make; const char* spec; const char* result; };
  const Case cases[] = {
      {true, "0", "[]"}, {true, "-5", "[]"}, {true, "[1 (2)]", "[1 (2)]"}, {true, "\"x\"", "!bad-make-arg"},
      {true, "x", "!bad-make-arg"}, {false, "5", "[5]"}, {false, "(1 2)", "[1 2]"}, {false, "x/y", "[x y]"},
      {false, "\"1 [a] b\"", "[1 [a] b]"},
  };
  for (const Case& c : cases) {
    std::string got = attempt([&] {
      Cell* spec = load(c.spec);
      return molded(c.make ? actions::make(&proto, spec) : actions::to(&proto, spec));
    });
    EXPECT_EQ(got, c.result) << c.make << " " << c.spec;
  }
  EXPECT_EQ(molded(actions::to(&proto, typeset_of({TYPE_INTEGER, TYPE_BLOCK}))), "[block! integer!]");
  Cell* big = load("[]");
  EXPECT_GE(mem::buffer_of(series_node(actions::make(&proto, load("40"))))->size, 40u * 16);
  (void)big;
}

TEST_F(Blocks, OwnedBlocksReportTheirChanges) {
  ChangeEvents owned;
  struct Case { const char* name; std::function<void(Cell*)> op; std::vector<std::string> events; };
  const Case cases[] = {
      {"append", [](Cell* b) { call(ACT_append, {b, load("[x y]")}); }, {"append 3 2", "appended 3 2"}},
      {"insert", [](Cell* b) { call(ACT_insert, {b, load("x")}, "/dup 3"); }, {"insert 1 3", "inserted 1 3"}},
      // One value at a time (the first may grow the block, the second finds room).
      {"append one", [](Cell* b) { call(ACT_append, {b, load("x")}); call(ACT_append, {b, load("y")}); },
       {"append 3 1", "appended 3 1", "append 4 1", "appended 4 1"}},
      {"insert one", [](Cell* b) { call(ACT_insert, {b, load("x")}); call(ACT_insert, {b, load("y")}); },
       {"insert 1 1", "inserted 1 1", "insert 1 1", "inserted 1 1"}},
      {"change", [](Cell* b) { call(ACT_change, {b, load("[x y]")}, "/part 1"); }, {"change 1 1", "changed 1 2"}},
      {"put", [](Cell* b) { actions::handler<act::Put>(b, ACT_put)(b, load("z"), load("9"), false); },
       {"put 1 1", "put-ed 1 1"}},
      // take/last names the last cell, the one that goes.
      {"take", [](Cell* b) { call(ACT_take, {b}, "/last"); }, {"take 2 1", "taken 2 1"}},
      {"trim", [](Cell* b) { actions::handler<act::Trim>(b, ACT_trim)(b, false, false, false, false, false, nullptr); },
       {"trim 1 2", "trimmed 1 2"}},
      {"sort", [](Cell* b) { call(ACT_sort, {b}); }, {"sort 1 2", "sorted 1 2"}},
      {"swap", [](Cell* b) { actions::handler<act::Binary>(b, ACT_swap)(b, load("[q]")); }, {"swap 1 1", "swaped 1 1"}},
  };
  for (const Case& c : cases) {
    Cell* b = load("[a z 1]");
    set_series_index(b, 1);
    ownership::bind_entry(b, owned.owner(), owned.field());
    owned.events.clear();
    c.op(b);
    EXPECT_EQ(owned.events, c.events) << c.name;
  }
}

// ---- find and select ------------------------------------------------------------------

TEST_F(Blocks, FindWithEveryRefinement) {
  struct Case { const char* block; const char* value; const char* refs; const char* answer; };
  const Case cases[] = {
      {"[1 2 3]", "3", "", "[3]"},
      {"[1 2 3]", "3", "/tail", "[]"},
      {"[1 2 3]", "[2 3]", "", "[2 3]"},
      {"[1 2 3]", "[2 3]", "/tail", "[]"},
      {"[1 [2 3] 2 3]", "[2 3]", "/only", "[[2 3] 2 3]"},
      {"[1 2 3]", "[2 4]", "", "none"},
      {"[1 2 3]", "[3 4]", "", "none"},
      {"[1 2 3]", "[]", "", "[1 2 3]"},
      {"[a 1 \"x\"]", "#(integer!)", "", "[1 \"x\"]"},
      {"[a #(integer!) 1]", "#(integer!)", "/only", "[integer! 1]"},
      {"[a 1 b 2]", "b", "/skip 2", "[b 2]"},
      {"[a 1 b 2]", "1", "/skip 2", "none"},
      {"[a 1 b 2]", "b", "/skip 2 /tail", "[]"},
      {"[a b c d]", "b", "/skip 0", "!out-of-range"},
      {"[a b c d]", "b", "/skip x", "!invalid-refine-arg"},
      {"[1 2 1]", "1", "/last", "[1]"},
      {"[1 2 1 2]", "1", "/last /tail", "[2]"},
      {"[1 2 1 2]", "[1 2]", "/last", "[1 2]"},
      // /last with /skip walks back over the records, from the last one's start.
      {"[a 1 b 2 a 3]", "a", "/last /skip 2", "[a 3]"},
      {"[a b 1 a b 2 x a b]", "[a b]", "/last /skip 3", "[a b 2 x a b]"},
      {"[a 1 b 2 a 3 a 4]", "a", "/last /skip 2 /part 6", "[a 3 a 4]"},
      {"[1 2 3 4]", "2", "/part 1", "none"},
      {"[1 2 3 4]", "1", "/part 1", "[1 2 3 4]"},
      {"[1 2 3 4]", "3", "/part 3", "[3 4]"},
      {"[1 2 3 4]", "4", "/part 3", "none"},
      {"[1 2 3 4]", "1", "/part 0", "none"},
      {"[1 2 3 4]", "1", "/part x", "!invalid-refine-arg"},
      {"[a A]", "A", "", "[a A]"},
      {"[a A]", "A", "/case", "[A]"},
      {"[a 'a]", "'a", "/case", "['a]"},
      {"[1 2 3]", "2", "/match", "none"},
      {"[1 2 3]", "1", "/match /tail", "[2 3]"},
      {"[1 2 3]", "[1 2]", "/match", "[1 2 3]"},
      {"[a b c d]", "[c d]", "/match", "none"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run(ACT_find, c.block, c.value, c.refs), c.answer) << c.block << " " << c.value << " " << c.refs;
  }
  EXPECT_EQ(run_with(ACT_find, "[a 1 \"x\"]", typeset_of({TYPE_STRING, TYPE_INTEGER})), "[1 \"x\"]");
  // From a position: at the tail nothing is found, unless searching back.
  struct AtCase { const char* block; i32 index; const char* value; const char* refs; const char* answer; };
  const AtCase at[] = {
      {"[1 2 1]", 3, "1", "", "none"},
      {"[1 2 1]", 3, "1", "/reverse", "[1]"},
      {"[1 2 1]", 9, "1", "/reverse", "[1]"},
      {"[1 2 1 3]", 2, "1", "/reverse", "[1 2 1 3]"},
      {"[1 2 1 3]", 2, "1", "/reverse /tail", "[2 1 3]"},
      {"[1 2 3]", 0, "1", "/reverse", "none"},
      {"[1 2 3 1 2 3]", 5, "[1 2]", "/reverse", "[1 2 3]"},
      {"[a 1 b 2 a 3]", 5, "a", "/reverse /skip 2", "[a 3]"},
      {"[a 1 b 2 a 3]", 4, "a", "/reverse /skip 2", "none"},  // the grid starts at the cell before
      {"[1 2 3 4]", 1, "3", "/part 2", "[3 4]"},
      {"[x a 1 b 2 a 3]", 1, "a", "/last /skip 2", "[a 3]"},  // the records start at the position
  };
  for (const AtCase& c : at) {
    std::string got = attempt([&] {
      Cell* s = load(c.block);
      set_series_index(s, c.index);
      return molded(call(ACT_find, {s, load(c.value)}, c.refs));
    });
    EXPECT_EQ(got, c.answer) << c.block << " @" << c.index << " " << c.value << " " << c.refs;
  }
  // /part as a series of the same buffer, and of another one.
  Cell* s = load("[1 2 3 4]");
  Cell* limit = stack::push_cell(s);
  set_series_index(limit, 2);
  Cell three = integer_cell(3), four = integer_cell(4);
  Cell* r = actions::handler<act::Find>(s, ACT_find)(s, &three, {.part = limit});
  EXPECT_EQ(molded(r), "[3 4]") << "the limit cell still counts as a start";
  r = actions::handler<act::Find>(s, ACT_find)(s, &four, {.part = limit});
  EXPECT_EQ(molded(r), "none");
}

TEST_F(Blocks, Select) {
  struct Case { const char* block; const char* value; const char* refs; const char* answer; };
  const Case cases[] = {
      {"[a 1]", "a", "", "1"},
      {"[x a]", "a", "", "none"},
      {"[a b c]", "[a b]", "", "c"},
      {"[[a b] c]", "[a b]", "/only", "c"},
      {"[a 1 1 a b 2]", "a", "/skip 2", "1"},
      {"[a 1 b 2 a 3]", "a", "/last", "3"},
      {"[a 1 b 2 a 3]", "a", "/last /skip 2", "3"},
      {"[k 1 K 2]", "K", "/case", "2"},
      {"[1 #(integer!) 2]", "#(integer!)", "", "integer!"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run(ACT_select, c.block, c.value, c.refs), c.answer) << c.block << " " << c.value << " " << c.refs;
  }
}

// ---- sort ---------------------------------------------------------------------------------

TEST_F(Blocks, SortWithEveryRefinement) {
  struct Case { const char* block; const char* refs; const char* answer; };
  const Case cases[] = {
      {"[3 1 2]", "", "[1 2 3]"},
      {"[3 1 2]", "/reverse", "[3 2 1]"},
      {"[c A b a B]", "/stable", "[A a b B c]"},
      {"[c A b a B]", "/case", "[A B a b c]"},
      {"[a 3 b 1]", "/skip 2 /compare 2", "[b 1 a 3]"},
      {"[a 3 b 1 a 0]", "/skip 2 /stable", "[a 3 a 0 b 1]"},
      {"[a 3 b 1 a 0]", "/skip 2 /all", "[a 0 a 3 b 1]"},
      {"[a 3 b 1 a 0]", "/skip 2 /all /reverse", "[b 1 a 3 a 0]"},
      {"[4 3 2 1]", "/part 2", "[3 4 2 1]"},
      {"[4 3 2 1]", "/part 9", "[1 2 3 4]"},
      {"[4 3 2 1]", "/part 0", "[4 3 2 1]"},
      {"[1 a \"s\" 2 b]", "", "[\"s\" 1 2 a b]"},  // other types order by type id
      {"[1 2 3 4 5]", "/skip 3", "!invalid-refine-arg"},
      {"[1 2]", "/skip 0", "!invalid-refine-arg"},
      {"[1 2]", "/skip x", "!invalid-refine-arg"},
      {"[1 2]", "/all", "!bad-refines"},
      {"[1 2]", "/compare 1", "!bad-refines"},
      {"[1 2]", "/skip 2 /all /compare 1", "!bad-refines"},
      {"[1 2]", "/skip 2 /compare 3", "!out-of-range"},
      {"[1 2]", "/skip 2 /compare 0", "!out-of-range"},
      {"[1 2]", "/compare x", "!invalid-refine-arg"},
      {"[1 2]", "/part x", "!invalid-refine-arg"},
      {"[]", "/skip 0 /all", "[]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run(ACT_sort, c.block, nullptr, c.refs), c.answer) << c.block << " " << c.refs;
  }
  // A negative /part sorts the cells before the position and answers the
  // block from the first of them; with too few cells before, nothing.
  struct AtCase { i32 index; const char* refs; const char* answer; const char* whole; };
  for (AtCase c : {AtCase{3, "/part -2", "[2 3 1 0]", "[5 2 3 1 0]"}, AtCase{1, "/part -2", "[5 3 2 1 0]", "[5 3 2 1 0]"},
                   AtCase{1, "", "[0 1 2 3]", "[5 0 1 2 3]"}}) {
    Cell* s = load("[5 3 2 1 0]");
    set_series_index(s, c.index);
    Cell* r = call(ACT_sort, {s}, c.refs);
    EXPECT_EQ(molded(r), c.answer) << c.index << " " << c.refs;
    set_series_index(s, 0);
    EXPECT_EQ(molded(s), c.whole);
  }
  Cell* s = load("[1 2]");
  set_series_index(s, 1);
  EXPECT_EQ(series_index(call(ACT_sort, {s}, "/part -5")), 0);
}

TEST_F(Blocks, StableSortKeepsEqualRecordsWithEveryRefinement) {
  // Records [key tag]: keys repeat; the tags tell equal records apart.
  std::mt19937 rng(99);
  std::string text = "[";
  std::vector<std::pair<i32, i32>> model;
  for (i32 i = 0; i < 300; ++i) {
    i32 key = i32(rng() % 7);
    model.push_back({key, i});
    text += std::to_string(key) + " " + std::to_string(i) + " ";
  }
  text += "]";
  const char* refinement_sets[] = {
      "/skip 2", "/skip 2 /reverse", "/skip 2 /compare 1", "/skip 2 /compare 1 /reverse", "/skip 2 /case",
      "/skip 2 /part 200", "/skip 2 /case /reverse /part 400",
  };
  for (const char* refs : refinement_sets) {
    Cell* s = load(text.c_str());
    std::string r = std::string(refs) + " /stable";
    call(ACT_sort, {s}, r);
    size_t records = model.size();
    size_t part = std::string(refs).find("/part ");
    if (part != std::string::npos) records = size_t(std::stoi(std::string(refs).substr(part + 6))) / 2;
    bool reverse = std::string(refs).find("/reverse") != std::string::npos;
    std::vector<std::pair<i32, i32>> want(model.begin(), model.begin() + i64(records));
    std::stable_sort(want.begin(), want.end(), [&](auto& x, auto& y) {
      return reverse ? x.first > y.first : x.first < y.first;
    });
    mem::Buffer* b = mem::buffer_of(series_node(s));
    std::vector<std::pair<i32, i32>> got;
    for (size_t i = 0; i < records; ++i) got.push_back({int_of(b->cells() + 2 * i), int_of(b->cells() + 2 * i + 1)});
    EXPECT_EQ(got, want) << refs;
  }
}

TEST_F(Blocks, UserComparatorThroughTheInterpreter) {
  // Without the double, a function! runs through the interpreter, its locals
  // filled after the two arguments. [a b /local t] [t: a t] answers its first
  // argument: the later of the two records compared, or with /reverse the
  // earlier one; true puts the first record after the second.
  Cell* spec = load("[a b /local t]");
  Cell* body = load("[t: a t]");
  function::push(spec, body, 0, 0, 0, 0);
  Cell* fn = stack::last();
  struct Case { const char* block; bool reverse; const char* sorted; };
  for (Case c : {Case{"[#(true) #(false)]", false, "[true false]"}, Case{"[#(false) #(true)]", false, "[true false]"},
                 Case{"[#(false) #(true)]", true, "[false true]"}, Case{"[#(true) #(false)]", true, "[false true]"}}) {
    Cell* s = load(c.block);
    Cell* top = stack::top;
    actions::handler<act::Sort>(s, ACT_sort)(s, false, nullptr, fn, nullptr, false, c.reverse, true);
    EXPECT_EQ(stack::top, top);
    EXPECT_EQ(molded(s), c.sorted) << c.block << " " << c.reverse;
  }
}

// ---- set operations --------------------------------------------------------------------------

TEST_F(Blocks, SetOperations) {
  struct Case { i32 op; const char* a; const char* b; i32 skip; bool case_; const char* result; };
  const Case cases[] = {
      {OP_UNION, "[1 2]", "[2 3]", 0, false, "[1 2 3]"},
      {OP_INTERSECT, "[1 2]", "[2 3]", 0, false, "[2]"},
      {OP_EXCLUDE, "[1 2]", "[2 3]", 0, false, "[1]"},
      {OP_DIFFERENCE, "[1 2]", "[2 3]", 0, false, "[1 3]"},
      {OP_UNIQUE, "[1 1 2 1]", nullptr, 0, false, "[1 2]"},
      {OP_UNION, "[a 1]", "[a 2 b 3]", 2, false, "[a 1 b 3]"},
      {OP_INTERSECT, "[a 1 b 2]", "[b 5 c 6 1 a]", 2, false, "[b 2]"},
      {OP_UNIQUE, "[a 1 a 2 b 3 b]", nullptr, 2, false, "[a 1 b 3]"},
      {OP_UNION, "[a A]", "[b]", 0, false, "[a b]"},
      {OP_UNION, "[a A]", "[b]", 0, true, "[a A b]"},
      {OP_UNION, "[\"x\" \"X\"]", "[]", 0, false, "[\"x\"]"},
      {OP_UNION, "[[1] [1] [2]]", "[[2]]", 0, false, "[[1] [2]]"},
      {OP_EXCLUDE, "[[1] x [2]]", "[[2]]", 0, false, "[[1] x]"},
      {OP_UNION, "[1]", "[2]", -1, false, "!invalid-refine-arg"},
  };
  for (const Case& c : cases) {
    std::string got = attempt([&] {
      stack::mark(2, 0, stack::FRAME_NATIVE);
      load(c.a);  // the two sets are the frame's first two cells
      load(c.b ? c.b : "[]");
      Cell skip = integer_cell(c.skip);
      block::do_set_op(c.case_, c.skip ? &skip : nullptr, c.op);
      std::string s = molded(stack::base);
      stack::unwind();
      return s;
    });
    EXPECT_EQ(got, c.result) << c.op << " " << c.a << " " << (c.b ? c.b : "");
  }
}

// ---- hash! --------------------------------------------------------------------------------

TEST_F(Blocks, HashTableFollowsEveryEdit) {
  // A hash! value edited through the block and series handlers, against a
  // model: after each edit every key is found through the table where the
  // model has it first.
  Cell* h = load("[1 2 3 4 5 6 7 8]");
  set_type(h, TYPE_HASH);
  set_series_extra(h, hash::make(8, series_node(h), hash::KIND_BLOCK, 0));
  auto handler = [](Action a) { return types::table[TYPE_BLOCK][a]; };
  std::mt19937 rng(3);
  auto at = [&](i32 i) {
    Cell* v = stack::push_cell(h);
    set_series_index(v, i);
    return v;
  };
  for (int step = 0; step < 200; ++step) {
    i32 len = block::length_from_index(h);
    i32 i = len ? i32(rng() % u32(len)) : 0;
    Cell x = integer_cell(i32(rng() % 12));
    Cell two = integer_cell(2);
    switch (rng() % 9) {
      case 0: reinterpret_cast<act::Insert>(handler(ACT_insert))(at(i), &x, -1, false, 2, false); break;
      case 1: reinterpret_cast<act::Insert>(handler(ACT_append))(at(i), &x, -1, false, 1, true); break;
      case 2: if (len) series::remove(at(i), &two, nullptr); break;
      case 3: series::reverse(at(i), nullptr, nullptr); break;
      case 4: if (len) series::take(at(i), &two, false, rng() % 2); break;
      case 5: if (len) series::poke(at(i), 1, nullptr, &x); break;
      case 6: { Cell* t = at(i32(rng() % u32(len + 1))); if (len) series::move(at(i), t, &two); break; }
      case 7: reinterpret_cast<act::Change>(handler(ACT_change))(at(i), &x, 1, true, 1); break;
      case 8: reinterpret_cast<act::Sort>(handler(ACT_sort))(at(i), false, nullptr, nullptr, nullptr, false,
                                                             rng() % 2, false); break;
    }
    stack::top = h + 1;
    mem::Buffer* b = mem::buffer_of(series_node(h));
    std::vector<i32> model;
    for (const Cell* c = b->cells(); c < b->cell_tail(); ++c) model.push_back(int_of(c));
    for (i32 v = 0; v < 12; ++v) {
      Cell key = integer_cell(v);
      Cell* found = hash::get(series_extra(h), &key, 0, 1, COMP_EQUAL, false, false);
      auto first = std::find(model.begin(), model.end(), v);
      i32 want = first == model.end() ? -1 : i32(first - model.begin());
      i32 got = found ? i32(found - mem::buffer_of(series_node(h))->cells()) : -1;
      ASSERT_EQ(got, want) << "step " << step << " value " << v;
    }
  }
  // find on a hash! answers through its table, consistently with a block.
  Cell* blk = load("[a 1 b 2 a 3]");
  Cell* hv = stack::push_cell(blk);
  set_series_node(hv, mem::copy_series_buffer(series_node(blk)));
  set_type(hv, TYPE_HASH);
  set_series_extra(hv, hash::make(6, series_node(hv), hash::KIND_BLOCK, 0));
  for (const char* refs : {"", "/skip 2", "/skip 2 /tail", "/last", "/last /tail", "/tail"}) {
    Cell* a = call(ACT_find, {blk, load("a")}, refs);
    std::string from_block = molded(a);
    Cell* hb = stack::push_cell(hv);
    Cell skip2 = integer_cell(2);
    Cell* r = reinterpret_cast<act::Find>(handler(ACT_find))(
        hb, load("a"),
        {.skip = std::string(refs).find("skip") != std::string::npos ? &skip2 : nullptr,
         .last = std::string(refs).find("last") != std::string::npos,
         .tail = std::string(refs).find("tail") != std::string::npos});
    set_type(r, TYPE_BLOCK);
    EXPECT_EQ(molded(r), from_block) << refs;
  }
}

}  // namespace block_test
