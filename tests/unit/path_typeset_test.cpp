// The path family and paren!: making, converting, punctuation in form and
// mold, cycles and /part budgets, and the actions they do not have; then
// typeset!: making from specs, printing, combining, searching, comparing.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/object.hpp"
#include "datatypes/path.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/typeset.hpp"
#include "datatypes/word.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/cycles.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

namespace path_typeset_test {

using namespace qel;
using namespace qel::test;

namespace {

class PathsAndTypesets : public test::RuntimeTest {
 protected:
  void SetUp() override {
    stack::mark(1, 0, stack::FRAME_NATIVE);  // closing inner frames never empties the stack
    cycles::reset();
  }
};

}  // namespace

TEST_F(PathsAndTypesets, PathPunctuation) {
  Cell a = word_cell("a"), b = word_cell("b"), c = word_cell("c"), two = integer_cell(2);
  struct Case { Type type; const char* mold; };
  for (Case k : {Case{TYPE_PATH, "a/b/c"}, Case{TYPE_LIT_PATH, "'a/b/c"}, Case{TYPE_GET_PATH, ":a/b/c"},
                 Case{TYPE_SET_PATH, "a/b/c:"}}) {
    Cell* p = block_of({a, b, c}, k.type);
    EXPECT_EQ(molded(p), k.mold);
    EXPECT_EQ(formed(p), "a/b/c") << k.mold;
  }
  EXPECT_EQ(molded(block_of({a, two}, TYPE_PATH)), "a/2");
  Cell* from_second = block_of({a, b, c}, TYPE_PATH);
  set_series_index(from_second, 1);
  EXPECT_EQ(molded(from_second), "b/c");
  EXPECT_EQ(molded(block_of({}, TYPE_PATH)), "");

  Cell* paren = load("(1 + 2)");
  EXPECT_EQ(molded(paren), "(1 + 2)");
  EXPECT_EQ(molded(paren, {.only = true}), "1 + 2");
  EXPECT_EQ(formed(paren), "1 + 2");
  Cell* in_block = load("[(1 + 2) a/b:]");
  EXPECT_EQ(molded(in_block), "[(1 + 2) a/b:]");

  // A path that holds itself, and one whose element is a block.
  Cell* self = load("a/b");
  block::append_copy(self, self);
  EXPECT_EQ(molded(self), "a/b/...");
  EXPECT_EQ(formed(self), "a/b/...");
  Cell* with_block = block_of({a, *load("[b c]")}, TYPE_PATH);
  EXPECT_EQ(molded(with_block), "a/[b c]");
  EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(PathsAndTypesets, PathPartBudgetStopsAfterTheElementThatSpentIt) {
  Cell* p = load("a/bc/d");
  i32 left = 0;
  EXPECT_EQ(printed(p, true, {}, 3, &left), "a/bc");
  EXPECT_EQ(left, -1);
  EXPECT_EQ(printed(p, false, {}, 3, &left), "a/bc");
  EXPECT_EQ(printed(p, true, {}, 1, &left), "a");
}

TEST_F(PathsAndTypesets, PathMakeAndTo) {
  Cell proto = datatype_cell(TYPE_PATH);
  Cell lit = datatype_cell(TYPE_LIT_PATH);
  struct Case { const Cell* proto; bool make; const char* spec; const char* mold; u32 room; };
  const Case cases[] = {
      {&proto, true, "#(none)", "!bad-make-arg", 0},
      {&proto, true, "0", "", 1},
      {&proto, true, "3", "", 3},
      {&proto, true, "2.9", "", 2},
      {&proto, true, "-4.0", "", 1},
      {&proto, true, "\"\"", "!bad-make-arg", 0},
      {&proto, true, "[a b]", "a/b", 2},
      {&lit, true, "(a b)", "'a/b", 2},
      {&proto, false, "[a b]", "a/b", 2},
      {&proto, false, "7", "7", 1},
  };
  for (const Case& c : cases) {
    u32 room = 0;
    std::string got = attempt([&] {
      Cell* spec = load(c.spec);
      Cell* r = c.make ? actions::make(const_cast<Cell*>(c.proto), spec) : actions::to(const_cast<Cell*>(c.proto), spec);
      room = mem::buffer_of(series_node(r))->size / 16;
      EXPECT_EQ(type_of(r), datatype_of(c.proto));
      return molded(r);
    });
    EXPECT_EQ(got, c.mold);
    if (c.room) {
      EXPECT_GE(room, c.room) << c.mold;
    }
  }
  // to path! of an object or a typeset: a path of one element.
  Cell* obj = object::make_at(make_none(stack::push()), 2);
  Cell* ts = typeset::make_empty(stack::push());
  for (Cell* v : {obj, ts}) {
    Cell* r = actions::to(&proto, v);
    EXPECT_EQ(block::length_from_index(r), 1);
    EXPECT_EQ(type_of(block::cell_at(r, 0)), type_of(v));
  }
}

TEST_F(PathsAndTypesets, ActionsThePathsAndParensLack) {
  Cell a = word_cell("a"), b = word_cell("b");
  struct Case { Type type; Action action; bool has; };
  const Case cases[] = {
      {TYPE_PATH, ACT_random, false},    {TYPE_PATH, ACT_sort, false},     {TYPE_PATH, ACT_trim, false},
      {TYPE_SET_PATH, ACT_sort, false},  {TYPE_GET_PATH, ACT_trim, false}, {TYPE_LIT_PATH, ACT_random, false},
      {TYPE_PAREN, ACT_trim, false},     {TYPE_PAREN, ACT_sort, true},     {TYPE_PAREN, ACT_random, true},
      {TYPE_PATH, ACT_append, true},     {TYPE_LIT_PATH, ACT_find, true},  {TYPE_SET_PATH, ACT_copy, true},
      {TYPE_PATH, ACT_eval_path, true},  {TYPE_PAREN, ACT_put, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(types::table[c.type][c.action] != nullptr, c.has) << types::name_of(c.type) << " " << int(c.action);
  }
  // Calling one that is missing raises the dispatcher's error.
  Cell* p = block_of({b, a}, TYPE_PATH);
  EXPECT_EQ(attempt([&] {
              actions::handler<act::Sort>(p, ACT_sort)(p, false, nullptr, nullptr, nullptr, false, false, false);
              return std::string();
            }),
            "!expect-arg");
  // The push helpers retype the cell and push a copy.
  Cell* blk = block_of({a}, TYPE_BLOCK);
  EXPECT_EQ(type_of(path::push(blk)), TYPE_PATH);
  EXPECT_EQ(type_of(lit_path::push(blk)), TYPE_LIT_PATH);
  EXPECT_EQ(type_of(set_path::push(blk)), TYPE_SET_PATH);
  EXPECT_EQ(type_of(get_path::push(blk)), TYPE_GET_PATH);
  EXPECT_EQ(type_of(paren::push(blk)), TYPE_PAREN);
  EXPECT_EQ(type_of(blk), TYPE_PAREN);
  Cell* made = path::make_at(make_none(stack::push()), 5);
  EXPECT_EQ(type_of(made), TYPE_PATH);
  EXPECT_EQ(block::length_from_index(made), 0);
}

// ---- typeset! ---------------------------------------------------------------------------

TEST_F(PathsAndTypesets, TypesetMakeFormAndMold) {
  Cell proto = datatype_cell(TYPE_TYPESET);
  // A word in the spec stands for its value.
  Cell numbers = word_cell("test-number-types");
  Cell* pair = typeset_of({TYPE_INTEGER, TYPE_FLOAT});
  context::put(context::global, &numbers, pair);
  struct Case { std::function<Cell*()> spec; const char* form; };
  const Case cases[] = {
      {[] { return load("[#(float!) #(integer!)]"); }, "make typeset! [integer! float!]"},
      {[] { return load("[]"); }, "make typeset! []"},
      {[] { return load("[test-number-types #(block!)]"); }, "make typeset! [block! integer! float!]"},
      {[] { return load("[#(integer!) 'foo]"); }, "!invalid-arg"},
      {[] { Cell c = integer_cell(10); return stack::push_cell(&c); }, "!bad-to-arg"},
      {[&] { return typeset_of({TYPE_UNSET}); }, "make typeset! [unset!]"},
  };
  for (const Case& c : cases) {
    std::string got = attempt([&] { return formed(actions::make(&proto, c.spec())); });
    EXPECT_EQ(got, c.form);
    got = attempt([&] { return formed(actions::to(&proto, c.spec())); });
    EXPECT_EQ(got, c.form) << "to";
  }
  Cell* ts = typeset_of({TYPE_INTEGER, TYPE_FLOAT});
  EXPECT_EQ(molded(ts), "make typeset! [integer! float!]");
  EXPECT_EQ(molded(ts, {.only = true}), "integer! float!");
  EXPECT_EQ(molded(typeset_of({}), {.only = true}), "");
  EXPECT_EQ(molded(typeset_of({})), "make typeset! []");
  // A /part budget below 0 stops the names.
  EXPECT_EQ(printed(ts, true, {}, 16), "make typeset! [integer!]");
}

TEST_F(PathsAndTypesets, TypesetMakeInAndHelpers) {
  Cell i = datatype_cell(TYPE_INTEGER);
  Cell word_valued = word_cell("test-word-valued");
  Cell target = word_cell("anything");
  context::put(context::global, &word_valued, &target);
  Cell nested = *block_of({i}, TYPE_BLOCK);
  Cell* holder = block::make_at(make_none(stack::push()), 4);
  Cell* spec = block_of({i, word_valued, nested}, TYPE_BLOCK);
  Cell* made = typeset::make_in(series_node(holder), spec);
  EXPECT_TRUE(typeset::has(made, TYPE_INTEGER));
  EXPECT_TRUE(typeset::has(made, TYPE_OBJECT)) << "a word whose value is a word adds object!";
  EXPECT_EQ(typeset::count(made), 2u);
  Cell str_cell;
  Cell* text = make_none(stack::push());
  string::make_at(text, 4, 1);
  str_cell = *text;
  Cell* bad = block_of({i, str_cell}, TYPE_BLOCK);
  EXPECT_EQ(attempt([&] { typeset::make_in(series_node(holder), bad); return std::string(); }), "!invalid-type-spec");

  Cell* all = typeset::make_all_in(series_node(holder));
  EXPECT_FALSE(typeset::has(all, TYPE_UNSET));
  EXPECT_TRUE(typeset::has(all, TYPE_NONE));
  EXPECT_EQ(typeset::count(all), u32(types::top_type - 1));

  Cell* out = make_none(stack::push());
  typeset::to_block(typeset_of({TYPE_STRING, TYPE_BLOCK, TYPE_WORD}), out);
  EXPECT_EQ(molded(out), "[block! string! word!]");
  Cell* ts = typeset_of({TYPE_BLOCK});
  typeset::clear(ts);
  EXPECT_EQ(typeset::count(ts), 0u);
  EXPECT_EQ(attempt([&] { typeset::set_type(ts, &str_cell); return std::string(); }), "!invalid-arg");
}

TEST_F(PathsAndTypesets, TypesetCombinationsSearchAndComparison) {
  struct Case { i32 op; std::initializer_list<Type> a; std::function<Cell()> b; std::initializer_list<Type> want; };
  auto set = [](std::vector<Type> ts) {
    return [ts] { Cell c; typeset::make_empty(&c); for (Type t : ts) typeset::add(&c, t); return c; };
  };
  auto dt = [](Type t) { return [t] { return datatype_cell(t); }; };
  const Case cases[] = {
      {OP_AND, {TYPE_INTEGER, TYPE_FLOAT}, dt(TYPE_INTEGER), {TYPE_INTEGER}},
      {OP_AND, {TYPE_FLOAT}, dt(TYPE_INTEGER), {}},
      {OP_OR, {TYPE_FLOAT}, dt(TYPE_INTEGER), {TYPE_INTEGER, TYPE_FLOAT}},
      {OP_UNION, {TYPE_FLOAT}, set({TYPE_BLOCK}), {TYPE_BLOCK, TYPE_FLOAT}},
      {OP_INTERSECT, {TYPE_FLOAT, TYPE_BLOCK}, set({TYPE_BLOCK, TYPE_WORD}), {TYPE_BLOCK}},
      {OP_EXCLUDE, {TYPE_FLOAT, TYPE_BLOCK}, set({TYPE_BLOCK, TYPE_WORD}), {TYPE_FLOAT}},
      {OP_DIFFERENCE, {TYPE_FLOAT, TYPE_BLOCK}, set({TYPE_BLOCK, TYPE_WORD}), {TYPE_FLOAT, TYPE_WORD}},
      {OP_XOR, {TYPE_FLOAT, TYPE_BLOCK}, dt(TYPE_BLOCK), {TYPE_FLOAT}},
      {OP_UNIQUE, {TYPE_FLOAT}, set({TYPE_BLOCK}), {TYPE_FLOAT}},
  };
  for (const Case& c : cases) {
    stack::mark(2, 0, stack::FRAME_NATIVE);
    typeset_of(c.a);
    Cell b = c.b();
    stack::push_cell(&b);
    typeset::do_bitwise(c.op);
    Cell want;
    typeset::make_empty(&want);
    for (Type t : c.want) typeset::add(&want, t);
    EXPECT_EQ(molded(stack::base, {.only = true}), molded(&want, {.only = true})) << "op " << c.op;
    stack::unwind();
  }
  // The action entries and their operand check.
  Cell* x = typeset_of({TYPE_INTEGER});
  Cell one = integer_cell(1);
  EXPECT_EQ(attempt([&] {
              stack::mark(2, 0, stack::FRAME_NATIVE);
              stack::push_cell(x);
              stack::push_cell(&one);
              actions::handler<act::Dispatch>(x, ACT_or_t)();
              return std::string();
            }),
            "!invalid-arg");
  // complement flips every bit, twice gives the set back.
  Cell* y = stack::push_cell(x);
  actions::handler<act::Unary>(y, ACT_complement)(y);
  EXPECT_FALSE(typeset::has(y, TYPE_INTEGER));
  EXPECT_TRUE(typeset::has(y, TYPE_BLOCK));
  EXPECT_TRUE(typeset::has(y, 95));
  actions::handler<act::Unary>(y, ACT_complement)(y);
  EXPECT_EQ(molded(y), molded(x));

  // find answers a logic for a datatype, never none.
  auto find = [&](Cell* v) {
    return attempt([&] {
      Cell* r = actions::handler<act::Find>(x, ACT_find)(x, v, {});
      return std::string(type_of(r) == TYPE_LOGIC ? (logic_of(r) ? "true" : "false") : "?");
    });
  };
  Cell in = datatype_cell(TYPE_INTEGER), out = datatype_cell(TYPE_FLOAT);
  EXPECT_EQ(find(&in), "true");
  EXPECT_EQ(find(&out), "false");
  EXPECT_EQ(find(&one), "!invalid-arg");

  // Equal sets are equal and strictly equal; ordering raises; sorting counts.
  Cell* p = typeset_of({TYPE_INTEGER, TYPE_FLOAT});
  Cell* q = typeset_of({TYPE_FLOAT, TYPE_INTEGER});
  Cell* r = typeset_of({TYPE_BLOCK});
  EXPECT_TRUE(actions::compare(p, q, COMP_EQUAL));
  EXPECT_TRUE(actions::compare(p, q, COMP_STRICT_EQUAL));
  EXPECT_FALSE(actions::compare(p, r, COMP_EQUAL));
  EXPECT_FALSE(actions::compare(p, &one, COMP_EQUAL));
  EXPECT_EQ(attempt([&] { return std::to_string(actions::compare(p, q, COMP_LESSER)); }), "!invalid-compare");
  auto cmp = actions::handler<act::Compare>(p, ACT_compare);
  EXPECT_GT(cmp(p, r, COMP_SORT), 0);
  EXPECT_LT(cmp(r, p, COMP_SORT), 0);
  EXPECT_EQ(cmp(p, q, COMP_CASE_SORT), 0);
}

}  // namespace path_typeset_test
