// Datatype registration, action dispatch and its errors, the small datatypes
// (datatype!, unset!, none!, logic!) and the fast arithmetic paths.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

#include "datatypes/logic.hpp"
#include "datatypes/string.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/fastpath.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

namespace dispatch_test {

using namespace qel;
using namespace qel::test;

namespace {

// Two test datatypes in the unused ids 55 and 56: 56 inherits from 55.
int g_appends = 0;
Cell* test_append(Cell* series, Cell*, i32, bool, i32, bool) {
  ++g_appends;
  return series;
}
i32 test_length(Cell*) { return 7; }
i32 child_length(Cell*) { return 8; }

void register_test_types() {
  static bool done = false;
  if (done) return;
  done = true;
  types::register_datatype({Type(55), TYPE_NO_TYPE, "parent-test!",
                            {.append = test_append, .length_q = test_length}});
  types::register_datatype({Type(56), Type(55), "child-test!", {.length_q = child_length}});
}

}  // namespace

TEST(Registry, NamesAndInheritance) {
  EXPECT_STREQ(types::name_of(TYPE_INTEGER), "integer!");
  EXPECT_STREQ(types::name_of(TYPE_POINT2D), "point2D!");
  EXPECT_EQ(types::names[TYPE_POINT2D].length, 7u);
  register_test_types();
  EXPECT_EQ(types::table[56][ACT_append], types::table[55][ACT_append]) << "inherited";
  EXPECT_NE(types::table[56][ACT_length_q], types::table[55][ACT_length_q]) << "own";
  EXPECT_EQ(types::table[TYPE_LOGIC][ACT_append], nullptr);
  EXPECT_EQ(types::table[TYPE_NONE][ACT_find] != nullptr, true);
}

TEST(Dispatch, AppendRepeatCountAndMissingHandlers) {
  register_test_types();
  // append/dup with a count of 0 or less calls no handler and answers the series.
  for (i32 dup : {0, -3, 2}) {
    g_appends = 0;
    stack::init();
    Cell* s = stack::push();
    s->header = 55;
    set_series_index(s, 11);
    make_none(stack::push());
    make_logic(stack::push(), true);  // /dup refinement
    make_integer(stack::push(), dup);
    i32 refs[3] = {-1, -1, 3};
    actions::entry(ACT_append)(refs);
    EXPECT_EQ(g_appends, dup > 0 ? 1 : 0) << dup;
    EXPECT_EQ(series_index(stack::base), 11);
  }
  // An action without a handler for the type raises expect-arg naming the type.
  std::optional<Err> e = raised([] {
    make_logic(stack::push(), true);
    make_none(stack::push());
    i32 refs[3] = {-1, -1, -1};
    actions::entry(ACT_append)(refs);
  });
  EXPECT_EQ(e, Err::script_expect_arg);
}

TEST(Dispatch, CompareCodes) {
  Cell t, f, n, d;
  make_logic(&t, true);
  make_logic(&f, false);
  make_none(&n);
  make_datatype(&d, TYPE_INTEGER);
  EXPECT_FALSE(actions::compare(&t, &f, COMP_EQUAL));
  EXPECT_TRUE(actions::compare(&t, &f, COMP_NOT_EQUAL));
  EXPECT_FALSE(actions::compare(&t, &n, COMP_EQUAL)) << "incomparable values are unequal";
  EXPECT_TRUE(actions::compare(&t, &n, COMP_NOT_EQUAL));
  EXPECT_TRUE(actions::compare(&n, &n, COMP_EQUAL));
  Cell d2;
  make_datatype(&d2, TYPE_INTEGER);
  EXPECT_TRUE(actions::compare(&d, &d2, COMP_EQUAL));
  for (i32 op : {COMP_LESSER, COMP_LESSER_EQUAL, COMP_GREATER, COMP_GREATER_EQUAL}) {
    EXPECT_EQ(raised([&] { actions::compare(&t, &f, op); }), Err::script_invalid_compare);
    EXPECT_EQ(raised([&] { actions::compare(&n, &n, op); }), Err::script_invalid_compare);
    EXPECT_EQ(raised([&] { actions::compare(&d, &d2, op); }), Err::script_invalid_compare);
  }
  EXPECT_GT(actions::compare_values(&t, &f, COMP_SORT), 0);
}

TEST(Dispatch, PickIndexReader) {
  struct Case { Cell c; i32 index; };
  Cell i, ch, t, f, n;
  make_integer(&i, 5);
  make_char(&ch, 'A');
  make_logic(&t, true);
  make_logic(&f, false);
  make_none(&n);
  for (auto [cell, want] : {std::pair{i, 5}, {ch, 65}, {t, 1}, {f, 2}, {n, 0}}) {
    EXPECT_EQ(actions::index_of(&cell), want);
  }
}

TEST(Dispatch, PathStepOnATypeWithoutPathAccess) {
  EXPECT_EQ(raised([] {
              Cell* v = make_logic(stack::push(), true);
              Cell* e = make_integer(stack::push(), 1);
              actions::eval_path(v, e, nullptr, PathStep{nullptr, 0, true, false, false});
            }),
            Err::script_bad_path_type2);
}

TEST(SmallTypes, FormAndMold) {
  struct Case { Cell v; bool mold; bool all; const char* text; };
  Cell u, n, t, f, d, p;
  make_unset(&u);
  make_none(&n);
  make_logic(&t, true);
  make_logic(&f, false);
  make_datatype(&d, TYPE_INTEGER);
  make_datatype(&p, TYPE_POINT2D);
  const Case cases[] = {
      {u, false, false, ""},          {u, true, false, "unset"},   {u, true, true, "#(unset)"},
      {n, false, false, "none"},      {n, true, true, "#(none)"},  {t, false, false, "true"},
      {f, false, false, "false"},     {t, true, true, "#(true)"},  {f, true, true, "#(false)"},
      {d, false, false, "integer"},   {d, true, false, "integer!"}, {d, true, true, "#(integer!)"},
      {p, false, false, "point2D"},
  };
  for (const Case& c : cases) EXPECT_EQ(printed(&c.v, c.mold, {.all = c.all}), c.text);
}

TEST(SmallTypes, LogicMakeToAndTruth) {
  struct Case { Cell spec; bool make; bool result; };
  Cell zero, one, fz, nan, none, logic_f, str;
  make_integer(&zero, 0);
  make_integer(&one, 1);
  make_float(&fz, 0.0);
  make_float(&nan, std::nan(""));
  make_none(&none);
  make_logic(&logic_f, false);
  stack::init();
  string::make_at(&str, 4, 1);
  const Case cases[] = {
      {zero, true, false}, {one, true, true},  {fz, true, false},      {nan, true, true},
      {none, false, false}, {zero, false, true}, {logic_f, false, false}, {str, true, true},
  };
  for (const Case& c : cases) {
    stack::init();
    Cell* proto = make_datatype(stack::push(), TYPE_LOGIC);
    Cell* spec = stack::push_cell(&c.spec);
    Cell* r = c.make ? actions::make(proto, spec) : actions::to(proto, spec);
    EXPECT_EQ(type_of(r), TYPE_LOGIC);
    EXPECT_EQ(logic::flag(r), c.result);
  }
  stack::init();
  Cell weird{TYPE_LOGIC, 2, 0, 0};
  EXPECT_FALSE(logic::true_value(&weird)) << "a flag other than 1 reads as false";
  Cell empty_block;
  make_series(&empty_block, TYPE_BLOCK, mem::alloc_cells(1));
  EXPECT_TRUE(logic::true_value(&zero));
  EXPECT_TRUE(logic::true_value(&empty_block));
  EXPECT_FALSE(logic::true_value(&none));
  Cell u;
  make_unset(&u);
  EXPECT_EQ(raised([&] { logic::true_value(&u, true); }), Err::script_no_value);
  EXPECT_EQ(raised([&] {
              make_unset(stack::base);
              stack::keep();
              logic::true_base();
            }),
            Err::script_no_return);
}

TEST(SmallTypes, LogicOperators) {
  struct Case { bool a; Action op; bool b; bool result; };
  const Case cases[] = {
      {true, ACT_and_t, false, false}, {true, ACT_or_t, false, true},
      {true, ACT_xor_t, true, false},  {false, ACT_xor_t, true, true},
  };
  for (const Case& c : cases) {
    stack::init();
    make_logic(stack::push(), c.a);
    make_logic(stack::push(), c.b);
    actions::entry(c.op)(nullptr);
    EXPECT_EQ(logic::flag(stack::base), c.result);
  }
  EXPECT_EQ(raised([] {
              make_logic(stack::push(), true);
              make_integer(stack::push(), 1);
              actions::entry(ACT_and_t)(nullptr);
            }),
            Err::script_expect_arg);
  stack::init();
  make_logic(stack::push(), true);
  actions::entry(ACT_complement)(nullptr);
  EXPECT_FALSE(logic::flag(stack::base));
  stack::init();
}

TEST(SmallTypes, NoneAnswersNoneToSeriesActions) {
  stack::init();
  make_none(stack::push());
  actions::entry(ACT_length_q)(nullptr);
  EXPECT_EQ(type_of(stack::base), TYPE_NONE);
  for (Action a : {ACT_clear}) {
    stack::init();
    make_none(stack::push());
    actions::entry(a)(nullptr);
    EXPECT_EQ(type_of(stack::base), TYPE_NONE);
  }
  stack::init();
}

TEST(SmallTypes, RandomLogicIsTrueHalfTheTime) {
  stack::init();
  int trues = 0;
  const i32 refs[3] = {-1, -1, -1};
  for (int i = 0; i < 20000; ++i) {
    stack::init();
    make_logic(stack::push(), true);
    actions::entry(ACT_random)(refs);
    trues += logic::flag(stack::base);
  }
  EXPECT_GT(trues, 9000);
  EXPECT_LT(trues, 11000);
  stack::init();
}

TEST(FastPath, IntegerOverflowTurnsIntoFloat) {
  struct Case { int op; i32 a; i32 b; bool is_float; double value; };
  const Case cases[] = {
      {OP_ADD, 2147483647, 1, true, 2147483648.0},
      {OP_SUB, -2147483647 - 1, 1, true, -2147483649.0},
      {OP_MUL, 65536, 65536, true, 4294967296.0},
      {OP_ADD, 2, 3, false, 5},
      {OP_OR, 5, 3, false, 7},
      {OP_AND, 6, 3, false, 2},
      {OP_XOR, 6, 3, false, 5},
  };
  for (const Case& c : cases) {
    stack::init();
    Cell a, b;
    make_integer(&a, c.a);
    make_integer(&b, c.b);
    Cell* r = fast::math(c.op, nullptr, &a, &b);
    EXPECT_EQ(type_of(r), c.is_float ? TYPE_FLOAT : TYPE_INTEGER);
    if (c.is_float) EXPECT_EQ(float_of(r), c.value);
    else EXPECT_EQ(int_of(r), i32(c.value));
    Cell* r2 = fast::math_int(c.op, nullptr, &a, c.b);
    EXPECT_EQ(std::memcmp(r, r2, sizeof(Cell)), 0) << "the constant variant agrees";
  }
  stack::init();
  Cell x, y;
  make_float(&x, 1.5);
  make_float(&y, 2.25);
  EXPECT_EQ(float_of(fast::math(OP_ADD, nullptr, &x, &y)), 3.75);
  // Two floats with or~ go to the generic action (which logic-only types lack).
  EXPECT_EQ(raised([&] { fast::math(OP_OR, nullptr, &x, &y); }), Err::script_expect_arg);
  Cell i3, i4;
  make_integer(&i3, 3);
  make_integer(&i4, 4);
  EXPECT_TRUE(fast::compare_q(COMP_LESSER, nullptr, &i3, &i4));
  EXPECT_FALSE(fast::compare_int_q(COMP_GREATER_EQUAL, nullptr, &i3, 4));
  EXPECT_TRUE(fast::compare_int_q(COMP_STRICT_EQUAL, nullptr, &i3, 3));
  stack::init();
}

TEST(FastPath, BlockStepsAndPick) {
  stack::init();
  u32 node = mem::alloc_cells(3);
  for (int i = 1; i <= 3; ++i) make_integer(mem::alloc_tail_cell(node), i * 10);
  Cell blk;
  make_series(&blk, TYPE_BLOCK, node);
  for (auto [n, want] : {std::pair{0, -1}, {1, 10}, {3, 30}, {4, -1}}) {
    Cell* r = fast::pick(&blk, n, nullptr);
    if (want < 0) EXPECT_EQ(type_of(r), TYPE_NONE) << n;
    else EXPECT_EQ(int_of(r), want);
  }
  Cell past = blk;
  set_series_index(&past, 5);
  EXPECT_EQ(type_of(fast::pick(&past, 1, nullptr)), TYPE_NONE);
  EXPECT_EQ(int_of(fast::series_op(&past, fast::S_LENGTH, nullptr)), 0);
  EXPECT_EQ(series_index(fast::series_op(&past, fast::S_TAIL, nullptr)), 3)
      << "tail of a block whose index lies past the tail is the tail";
  Cell at_tail = blk;
  set_series_index(&at_tail, 3);
  EXPECT_EQ(series_index(fast::series_op(&at_tail, fast::S_NEXT, nullptr)), 3);
  EXPECT_EQ(series_index(fast::series_op(&blk, fast::S_BACK, nullptr)), 0);
  EXPECT_TRUE(logic_of(fast::series_op(&at_tail, fast::S_TAIL_Q, nullptr)));
  EXPECT_EQ(int_of(fast::series_op(&blk, fast::S_INDEX, nullptr)), 1);
  stack::init();
}

}  // namespace dispatch_test
