// integer! and float! (with the percent! cases that float! handles): the
// arithmetic and its overflow into floats, division, power, every round
// refinement, conversions, tolerant equality, form and mold, random, and a
// mold/read round trip over random doubles.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/fastpath.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

namespace integer_float_test {

using namespace qel;
using namespace qel::test;

namespace {

constexpr i32 LOWEST = std::numeric_limits<i32>::min();
constexpr i32 HIGHEST = std::numeric_limits<i32>::max();
const double INF = std::numeric_limits<double>::infinity();
const double NaN = std::numeric_limits<double>::quiet_NaN();

// Collections may run at any allocation (at every one under QEL_GC_STRESS).
// percent! values are handled by the float! handlers they inherit; until the
// percent! module registers, its slots borrow float!'s for the test.
class Numbers : public test::RuntimeTest {
 protected:
  void SetUp() override {
    borrowed_ = !types::registered(TYPE_PERCENT);
    if (borrowed_) {
      std::memcpy(percent_row_, types::table[TYPE_PERCENT], sizeof percent_row_);
      std::memcpy(types::table[TYPE_PERCENT], types::table[TYPE_FLOAT], sizeof percent_row_);
    }
  }
  void TearDown() override {
    if (borrowed_) std::memcpy(types::table[TYPE_PERCENT], percent_row_, sizeof percent_row_);
  }
  bool borrowed_ = false;
  ActionFn percent_row_[ACTION_COUNT + 1] = {};
};

// Cells of the tables.
constexpr auto& I = integer_cell;
constexpr auto& F = float_cell;
constexpr auto& C = char_cell;
constexpr auto& D = datatype_cell;
constexpr auto& N = none_cell;
Cell P(double d) {
  Cell c = F(d);
  set_type(&c, TYPE_PERCENT);
  return c;
}
Cell T(double d) {
  Cell c = F(d);
  set_type(&c, TYPE_TIME);
  return c;
}
// A string! of the ASCII text in the unit.
Cell S(const char* ascii, u32 unit = 1) {
  Cell* s = text(ascii);
  if (unit > 1) string::widen(series_node(s), unit);
  return *s;
}

Cell issue(const char* spelling) {
  Cell c{TYPE_ISSUE, 0, symbol::make(spelling), u32(-1)};
  return c;
}

Outcome convert(Type target, const Cell& spec, bool make = false) {
  return call_action(make ? ACT_make : ACT_to, {D(target), spec});
}

// round with the refinements as bits; the scale, when given, is /to's.
enum : unsigned { EVEN = 1, DOWN = 2, HALF_DOWN = 4, FLOOR = 8, CEILING = 16, HALF_CEILING = 32 };
Outcome round_of(const Cell& v, std::optional<Cell> scale = {}, unsigned flags = 0) {
  std::vector<i32> refs(7, -1);
  if (scale) refs[0] = 1;
  for (int k = 0; k < 6; ++k) {
    if (flags & (1u << k)) refs[k + 1] = 0;
  }
  if (scale) return call_action(ACT_round, {v, *scale}, refs);
  return call_action(ACT_round, {v}, refs);
}

i32 int_result(const Outcome& o) { return int_of(&o.value); }
double float_result(const Outcome& o) { return float_of(&o.value); }
Type type_result(const Outcome& o) { return type_of(&o.value); }

const Action MATH[] = {ACT_add, ACT_subtract, ACT_multiply, ACT_divide, ACT_remainder,
                       ACT_or_t, ACT_and_t, ACT_xor_t};

}  // namespace

// ---------------------------------------------------------------------------
// integer! arithmetic

TEST_F(Numbers, IntegerArithmeticOverflowsIntoFloatsAndDividesExactly) {
  struct Case { int op; i32 a, b; Cell want; };
  const Case cases[] = {
      {OP_ADD, HIGHEST, 1, F(2147483648.0)},
      {OP_SUB, LOWEST, 1, F(-2147483649.0)},
      {OP_MUL, 65536, 65536, F(4294967296.0)},
      {OP_MUL, LOWEST, -1, F(2147483648.0)},
      {OP_ADD, 2, 3, I(5)},
      {OP_SUB, LOWEST + 1, 1, I(LOWEST)},
      {OP_DIV, 7, 2, F(3.5)},
      {OP_DIV, -7, 2, F(-3.5)},
      {OP_DIV, 6, 2, I(3)},
      {OP_DIV, LOWEST, 2, I(LOWEST / 2)},
      {OP_DIV, 1, 3, F(1.0 / 3.0)},
      {OP_REM, -7, 2, I(-1)},
      {OP_REM, 7, -2, I(1)},
      {OP_REM, LOWEST, -1, I(0)},
      {OP_OR, 5, 3, I(7)},
      {OP_AND, 6, 3, I(2)},
      {OP_XOR, 6, 3, I(5)},
  };
  for (const Case& c : cases) {
    std::string what = std::to_string(c.a) + " op" + std::to_string(c.op) + " " + std::to_string(c.b);
    expect_value(call_action(MATH[c.op], {I(c.a), I(c.b)}), c.want, what);
  }
  struct Fault { int op; i32 a, b; Err want; };
  const Fault faults[] = {
      {OP_DIV, 7, 0, Err::math_zero_divide},
      {OP_REM, 7, 0, Err::math_zero_divide},
      {OP_DIV, LOWEST, -1, Err::math_overflow},
  };
  for (const Fault& f : faults) {
    expect_error(call_action(MATH[f.op], {I(f.a), I(f.b)}), f.want, std::to_string(f.a) + " by 0/-1");
  }
}

TEST_F(Numbers, IntegerActionsAgreeWithTheFastPaths) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<i32> any(LOWEST, HIGHEST);
  std::uniform_int_distribution<i32> small(-70000, 70000);
  for (int i = 0; i < 3000; ++i) {
    i32 a = i % 2 ? any(rng) : small(rng), b = i % 3 ? any(rng) : small(rng);
    for (int op : {OP_ADD, OP_SUB, OP_MUL, OP_OR, OP_AND, OP_XOR}) {
      Outcome slow = call_action(MATH[op], {I(a), I(b)});
      stack::init();
      Cell l = I(a), r = I(b);
      Cell fast = *fast::math(op, nullptr, &l, &r);
      stack::init();
      expect_value(slow, fast, std::to_string(a) + " op" + std::to_string(op) + " " + std::to_string(b));
    }
  }
}

TEST_F(Numbers, IntegerWithOtherOperandTypes) {
  expect_value(call_action(ACT_add, {I(1), F(2.5)}), F(3.5), "1 + 2.5");
  expect_value(call_action(ACT_multiply, {I(2), P(0.1)}), F(0.2), "2 * 10% is a float!");
  expect_value(call_action(ACT_add, {I(1), T(1.0)}), T(2.0), "1 + 0:00:01 is a time!");
  expect_value(call_action(ACT_add, {I(64), C(1)}), I(65), "65 + #\"^A\" stays integer!");
  expect_error(call_action(ACT_add, {I(1), S("2")}), Err::script_invalid_type, "1 + \"2\"");
  expect_error(call_action(ACT_or_t, {I(1), F(2.0)}), Err::script_cannot_use, "1 or 2.0");
  // A char! on the left keeps its type: #"a" + 1 is #"b".
  stack::init();
  Cell a = C('a'), one = I(1);
  stack::push_cell(&a);
  stack::push_cell(&one);
  integer::do_math(OP_ADD);
  EXPECT_EQ(type_of(stack::base), TYPE_CHAR);
  EXPECT_EQ(int_of(stack::base), 'b');
  stack::init();
}

TEST_F(Numbers, IntegerWorkerWithoutAResultCell) {
  EXPECT_EQ(integer::do_math_op(7, 2, OP_DIV, nullptr), 3) << "truncated quotient";
  EXPECT_EQ(integer::do_math_op(-7, 2, OP_DIV, nullptr), -3);
  EXPECT_EQ(raised([] { integer::do_math_op(HIGHEST, 1, OP_ADD, nullptr); }), Err::math_overflow)
      << "no cell to hold the float";
}

TEST_F(Numbers, IntegerUnaryActions) {
  expect_value(call_action(ACT_negate, {I(5)}), I(-5), "negate 5");
  expect_value(call_action(ACT_absolute, {I(-5)}), I(5), "absolute -5");
  expect_value(call_action(ACT_complement, {I(5)}), I(-6), "complement 5");
  expect_error(call_action(ACT_negate, {I(LOWEST)}), Err::math_overflow, "negate lowest");
  expect_error(call_action(ACT_absolute, {I(LOWEST)}), Err::math_overflow, "absolute lowest");
  for (i32 v : {-3, -2, 0, 7, LOWEST, HIGHEST}) {
    Outcome even = call_action(ACT_even_q, {I(v)}), odd = call_action(ACT_odd_q, {I(v)});
    EXPECT_EQ(logic_of(&even.value), v % 2 == 0) << v;
    EXPECT_EQ(logic_of(&odd.value), v % 2 != 0) << v;
  }
}

TEST_F(Numbers, IntegerPowerFallsBackToFloat) {
  struct Case { i32 base; Cell exponent; Cell want; };
  const Case cases[] = {
      {2, I(10), I(1024)},           {2, I(30), I(1073741824)},
      {2, I(31), F(2147483648.0)},   {2, I(62), F(4611686018427387904.0)},
      {-2, I(31), I(LOWEST)},        {3, I(0), I(1)},
      {0, I(0), I(1)},               {2, I(-1), F(0.5)},
      {4, F(0.5), F(2.0)},           {65536, I(2), F(4294967296.0)},
      {-1, I(HIGHEST), I(-1)},
  };
  for (const Case& c : cases) {
    expect_value(call_action(ACT_power, {I(c.base), c.exponent}), c.want, "power " + std::to_string(c.base));
  }
  expect_error(call_action(ACT_power, {I(2), S("3")}), Err::script_expect_arg, "string exponent");
  expect_error(call_action(ACT_power, {I(2), P(0.5)}), Err::script_expect_arg, "percent exponent");
}

TEST_F(Numbers, IntegerRoundWithEveryRefinement) {
  struct Case { i32 v; std::optional<Cell> scale; unsigned flags; Cell want; };
  const Case cases[] = {
      {17, I(5), 0, I(15)},
      {18, I(5), 0, I(20)},
      {25, I(10), EVEN, I(20)},
      {35, I(10), EVEN, I(40)},
      {-25, I(10), 0, I(-30)},
      {-25, I(10), HALF_CEILING, I(-20)},
      {25, I(10), HALF_CEILING, I(30)},
      {25, I(10), HALF_DOWN, I(20)},
      {-25, I(10), HALF_DOWN, I(-20)},
      {-17, I(5), DOWN, I(-15)},
      {-17, I(5), FLOOR, I(-20)},
      {-17, I(5), CEILING, I(-15)},
      {17, I(5), FLOOR, I(15)},
      {17, I(5), CEILING, I(20)},
      {-17, I(-5), 0, I(-15)},
      {HIGHEST, I(2), FLOOR, I(HIGHEST - 1)},
      {HIGHEST, I(2), DOWN, I(HIGHEST - 1)},
      {LOWEST, I(10), CEILING, I(-2147483640)},
      {LOWEST, I(3), CEILING, I(-2147483646)},
      {5, I(LOWEST), 0, I(0)},
      {LOWEST, I(LOWEST), 0, I(LOWEST)},
      {7, I(0), 0, I(7)},
      {7, {}, 0, I(7)},
      {5, F(0.5), 0, F(5.0)},
      {7, F(2.0), 0, F(8.0)},
      {7, F(2.0), DOWN, F(6.0)},
  };
  for (const Case& c : cases) {
    expect_value(round_of(I(c.v), c.scale, c.flags), c.want,
                 "round " + std::to_string(c.v) + " flags " + std::to_string(c.flags));
  }
  expect_error(round_of(I(HIGHEST), I(2), CEILING), Err::math_overflow, "ceiling past the top");
  expect_error(round_of(I(LOWEST), I(10)), Err::math_overflow, "nearest below the bottom");
  Cell money{TYPE_MONEY, 0, 0, 0};
  expect_error(round_of(I(5), money), Err::script_not_related, "money scale");
}

// ---------------------------------------------------------------------------
// integer! conversions, compare, form, random

TEST_F(Numbers, IntegerConversions) {
  struct Case { Cell spec; i32 want; };
  const Case cases[] = {
      {F(2.9), 2},           {F(-2.9), -2},           {F(2147483647.0), HIGHEST},
      {F(-2147483648.0), LOWEST}, {P(0.5), 0},        {T(1.5), 2},
      {T(-1.7), -1},         {C(0x1F600), 0x1F600},   {I(9), 9},
  };
  for (const Case& c : cases) {
    Outcome o = convert(TYPE_INTEGER, c.spec);
    expect_value(o, I(c.want), describe({c.spec, {}}));
  }
  struct Text { const char* text; u32 unit; std::optional<i32> want; };
  const Text texts[] = {
      {"123", 1, 123},        {"-2147483648", 1, LOWEST}, {"1'000", 1, 1000},
      {"+5", 1, 5},           {"-42", 2, -42},            {"7", 4, 7},
      {"12a", 1, {}},         {"", 1, {}},                {"-", 1, {}},
      {"2147483648", 1, {}},  {"1.5", 1, {}},             {" 1", 1, {}},
  };
  for (const Text& t : texts) {
    Outcome o = convert(TYPE_INTEGER, S(t.text, t.unit));
    if (t.want) expect_value(o, I(*t.want), t.text);
    else expect_error(o, Err::script_bad_to_arg, t.text);
  }
  struct Hex { const char* spelling; std::optional<i32> want; };
  const Hex hexes[] = {{"FF", 255},       {"ff", 255},      {"FFFFFFFF", -1},
                       {"7fffffff", HIGHEST}, {"123456789", {}}, {"G1", {}}};
  for (const Hex& h : hexes) {
    Outcome o = convert(TYPE_INTEGER, issue(h.spelling));
    if (h.want) expect_value(o, I(*h.want), h.spelling);
    else expect_error(o, Err::script_invalid_data, h.spelling);
  }
  expect_value(convert(TYPE_INTEGER, *binary_of({1, 2, 3, 4})), I(16909060), "#{01020304}");
  expect_value(convert(TYPE_INTEGER, *binary_of({1, 2, 3, 4, 5})), I(16909060), "only 4 bytes");
  expect_value(convert(TYPE_INTEGER, *binary_of({1, 2})), I(258), "#{0102}");
  expect_value(convert(TYPE_INTEGER, *binary_of({})), I(0), "empty binary");
  Cell past = *binary_of({1, 2});
  set_series_index(&past, 5);
  expect_value(convert(TYPE_INTEGER, past), I(0), "index past the tail");
  for (double d : {2147483648.0, -2147483649.0, NaN, INF}) {
    expect_error(convert(TYPE_INTEGER, F(d)), Err::script_type_limit, std::to_string(d));
  }
  expect_error(convert(TYPE_INTEGER, T(1e12)), Err::script_type_limit, "huge time");
  expect_error(convert(TYPE_INTEGER, N()), Err::script_bad_to_arg, "none");
  Cell t, f;
  make_logic(&t, true);
  make_logic(&f, false);
  expect_value(convert(TYPE_INTEGER, t, true), I(1), "make integer! true");
  expect_value(convert(TYPE_INTEGER, f, true), I(0), "make integer! false");
  expect_error(convert(TYPE_INTEGER, t), Err::script_bad_to_arg, "to integer! true");
}

TEST_F(Numbers, IntegerCompare) {
  Cell i65 = I(65), ca = C(65), one = I(1), f1 = F(1.0), f15 = F(1.5), s = S("1");
  EXPECT_TRUE(actions::compare(&i65, &ca, COMP_EQUAL));
  EXPECT_FALSE(actions::compare(&i65, &ca, COMP_STRICT_EQUAL)) << "65 == #\"A\" is false";
  EXPECT_TRUE(actions::compare(&one, &f1, COMP_EQUAL));
  EXPECT_FALSE(actions::compare(&one, &f1, COMP_STRICT_EQUAL));
  EXPECT_TRUE(actions::compare(&one, &f15, COMP_LESSER));
  EXPECT_FALSE(actions::compare(&one, &s, COMP_EQUAL));
  EXPECT_EQ(raised([&] {
              Cell* a = stack::push_cell(&one);
              Cell* b = stack::push_cell(&s);
              actions::compare(a, b, COMP_LESSER);
            }),
            Err::script_invalid_compare);
  Cell a = I(-3), b = I(2);
  EXPECT_LT(actions::compare_values(&a, &b, COMP_SORT), 0) << "signed order";
}

TEST_F(Numbers, IntegerFormAndMold) {
  for (i32 v : {0, 7, -1, 123456, HIGHEST, LOWEST}) {
    EXPECT_EQ(formed(I(v)), std::to_string(v));
    EXPECT_EQ(molded(I(v)), std::to_string(v));
  }
}

TEST_F(Numbers, IntegerRandomStaysInRangeAndRepeatsFromASeed) {
  std::vector<i32> seen_pos(6), seen_neg(6);
  for (int i = 0; i < 3000; ++i) {
    i32 p = int_result(call_action(ACT_random, {I(5)}));
    i32 n = int_result(call_action(ACT_random, {I(-5)}));
    i32 s = int_result(call_action(ACT_random, {I(5)}, {-1, 0}));  // /secure
    ASSERT_TRUE(p >= 1 && p <= 5) << p;
    ASSERT_TRUE(n >= -5 && n <= -1) << n;
    ASSERT_TRUE(s >= 1 && s <= 5) << s;
    ++seen_pos[p];
    ++seen_neg[-n];
  }
  for (int k = 1; k <= 5; ++k) EXPECT_GT(seen_pos[k], 400) << k;
  for (int k = 1; k <= 5; ++k) EXPECT_GT(seen_neg[k], 400) << k;
  expect_value(call_action(ACT_random, {I(0)}), I(0), "random 0");
  auto draws = [] {
    EXPECT_EQ(type_result(call_action(ACT_random, {I(99)}, {0})), TYPE_UNSET);  // /seed
    std::vector<i32> v;
    for (int i = 0; i < 5; ++i) v.push_back(int_result(call_action(ACT_random, {I(1000000)})));
    return v;
  };
  EXPECT_EQ(draws(), draws());
}

// ---------------------------------------------------------------------------
// float!

TEST_F(Numbers, FloatFormAndMoldGoldenTable) {
  struct Case { double d; const char* form; const char* mold; };
  const Case cases[] = {
      {1.0, "1.0", "1.0"},
      {1e16, "1.0e16", "10000000000000000.0"},
      {1.5e-7, "1.5e-7", "0.00000015"},
      {1.5e-8, "1.5e-8", "1.5e-8"},
      {1e-7, "1.0e-7", "0.0000001"},
      {0.1 + 0.2, "0.3", "0.30000000000000004"},
      {0.1 + 0.7, "0.8", "0.7999999999999999"},
      {1e-300, "0.0", "1.0e-300"},
      {-0.0, "0.0", "-0.0"},
      {100.0, "100.0", "100.0"},
      {-2.5, "-2.5", "-2.5"},
      {1.2345678901234568e17, "1.234567890123457e17", "1.2345678901234568e17"},
      {1.0 / 3.0, "0.3333333333333333", "0.3333333333333333"},
      {INF, "1.#INF", "1.#INF"},
      {-INF, "-1.#INF", "-1.#INF"},
      {NaN, "1.#NaN", "1.#NaN"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(formed(F(c.d)), c.form) << c.mold;
    EXPECT_EQ(molded(F(c.d)), c.mold) << c.form;
  }
  // Without the display adjustments form shows all 16 digits.
  float_::pretty = false;
  EXPECT_EQ(formed(F(0.1 + 0.7)), "0.7999999999999999");
  EXPECT_EQ(formed(F(1e-300)), "1.0e-300");
  float_::pretty = true;
  // The form of 1 / 0.0, -1 / 0.0 and 0.0 / 0.0 (no error: the values flow).
  EXPECT_EQ(formed(call_action(ACT_divide, {I(1), F(0.0)}).value), "1.#INF");
  EXPECT_EQ(formed(call_action(ACT_divide, {I(-1), F(0.0)}).value), "-1.#INF");
  EXPECT_EQ(formed(call_action(ACT_divide, {F(0.0), F(0.0)}).value), "1.#NaN");
}

TEST_F(Numbers, FloatTolerantEquality) {
  struct Case { double a, b; bool equal; };
  const double one_ulp = std::nextafter(1.0, 2.0);
  double ten_ulps = 1e300, eleven_ulps = 1e300;
  for (int i = 0; i < 10; ++i) ten_ulps = std::nextafter(ten_ulps, INF);
  eleven_ulps = std::nextafter(ten_ulps, INF);
  double neg_ten = -1e300;
  for (int i = 0; i < 10; ++i) neg_ten = std::nextafter(neg_ten, -INF);
  const Case cases[] = {
      {0.1 + 0.2, 0.3, true},   {1.0, one_ulp, true},       {1e300, ten_ulps, true},
      {1e300, eleven_ulps, false}, {-1e300, neg_ten, true}, {1e-300, -1e-300, true},
      {0.0, -0.0, true},        {1.0, 1.0001, false},       {NaN, NaN, false},
      {NaN, 1.0, false},        {INF, INF, true},           {INF, DBL_MAX, false},
      {-INF, -DBL_MAX, false},  {1e10, -1e10, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(float_::equal64_q(c.a, c.b), c.equal) << c.a << " " << c.b;
    Cell x = F(c.a), y = F(c.b);
    EXPECT_EQ(actions::compare(&x, &y, COMP_EQUAL), c.equal) << c.a << " " << c.b;
    EXPECT_EQ(actions::compare(&x, &y, COMP_NOT_EQUAL), !c.equal) << c.a << " " << c.b;
  }
  Cell a = F(0.1 + 0.2), b = F(0.3), z = F(0.0), nz = F(-0.0), nan = F(NaN), one = F(1.0);
  EXPECT_FALSE(actions::compare(&a, &b, COMP_STRICT_EQUAL));
  EXPECT_TRUE(actions::compare(&z, &nz, COMP_STRICT_EQUAL));
  EXPECT_FALSE(actions::compare(&z, &nz, COMP_SAME)) << "same? looks at the bits";
  for (i32 op : {COMP_LESSER, COMP_LESSER_EQUAL, COMP_GREATER, COMP_GREATER_EQUAL}) {
    EXPECT_FALSE(actions::compare(&nan, &one, op)) << "NaN orders with nothing, op " << op;
    EXPECT_FALSE(actions::compare(&one, &nan, op)) << op;
  }
  Cell p = P(0.5), f = F(0.5), t = T(0.5);
  EXPECT_TRUE(actions::compare(&p, &f, COMP_EQUAL));
  EXPECT_FALSE(actions::compare(&p, &f, COMP_STRICT_EQUAL)) << "different types";
  EXPECT_TRUE(actions::compare(&t, &f, COMP_EQUAL));
  // The 32-bit rule of vector elements and coordinates.
  struct Case32 { float a, b; bool equal; };
  const float f1 = 1.0f;
  float f10 = f1, f11;
  for (int i = 0; i < 10; ++i) f10 = std::nextafter(f10, 2.0f);
  f11 = std::nextafter(f10, 2.0f);
  const Case32 cases32[] = {
      {f1, f10, true}, {f1, f11, false}, {0.0f, -0.0f, true}, {-f1, -f10, true},
      {std::nanf(""), std::nanf(""), false}, {FLT_MAX, std::numeric_limits<float>::infinity(), true},
      {FLT_MAX, -FLT_MAX, false},
  };
  for (const Case32& c : cases32) EXPECT_EQ(float_::equal32_q(c.a, c.b), c.equal) << c.a << " " << c.b;
}

TEST_F(Numbers, FloatArithmeticAndResultTypes) {
  struct Case { Action a; Cell x, y; Cell want; };
  const Case cases[] = {
      {ACT_remainder, F(5.5), F(2.0), F(1.5)},
      {ACT_remainder, F(-5.5), F(2.0), F(-1.5)},
      {ACT_remainder, F(5.5), F(INF), F(5.5)},
      {ACT_remainder, F(5.5), F(-INF), F(5.5)},
      {ACT_remainder, F(5.5), I(2), F(1.5)},
      {ACT_divide, F(1.0), F(0.0), F(INF)},
      {ACT_multiply, P(0.1), I(2), P(0.2)},
      {ACT_add, P(0.1), F(0.5), P(0.6)},
      {ACT_add, F(1.5), T(1.0), T(2.5)},
      {ACT_add, T(1.0), P(0.5), T(1.5)},
      {ACT_subtract, F(1.5), C(1), F(0.5)},
      {ACT_power, F(2.0), I(10), F(1024.0)},
      {ACT_power, F(4.0), F(0.5), F(2.0)},
      {ACT_power, P(0.5), I(2), P(0.25)},
  };
  for (const Case& c : cases) {
    expect_value(call_action(c.a, {c.x, c.y}), c.want, describe({c.x, {}}) + " with " + describe({c.y, {}}));
  }
  for (double y : {NaN, 0.0}) {
    Outcome o = call_action(ACT_remainder, {F(5.5), F(y)});
    EXPECT_TRUE(std::isnan(float_of(&o.value))) << y;
  }
  Outcome o = call_action(ACT_remainder, {F(INF), F(2.0)});
  EXPECT_TRUE(std::isnan(float_of(&o.value)));
  expect_error(call_action(ACT_add, {P(0.1), C(1)}), Err::script_invalid_type, "percent + char");
  expect_error(call_action(ACT_add, {T(1.0), C(1)}), Err::script_invalid_type, "time + char");
  expect_error(call_action(ACT_add, {F(1.0), S("1")}), Err::script_invalid_type, "float + string");
  expect_error(call_action(ACT_power, {F(2.0), S("1")}), Err::script_expect_arg, "string exponent");
  // negate is 0.0 minus the value, absolute clears the sign bit: no -0.0.
  EXPECT_EQ(std::bit_cast<u64>(float_result(call_action(ACT_negate, {F(0.0)}))), std::bit_cast<u64>(0.0));
  EXPECT_EQ(std::bit_cast<u64>(float_result(call_action(ACT_negate, {F(-0.0)}))), std::bit_cast<u64>(0.0));
  EXPECT_EQ(std::bit_cast<u64>(float_result(call_action(ACT_absolute, {F(-0.0)}))), std::bit_cast<u64>(0.0));
  expect_value(call_action(ACT_negate, {F(2.5)}), F(-2.5), "negate 2.5");
  expect_value(call_action(ACT_absolute, {F(-INF)}), F(INF), "absolute -inf");
}

TEST_F(Numbers, FloatEvenAndOddLookAtTheWholePart) {
  struct Case { double d; bool even, odd; };
  const Case cases[] = {
      {2.0, true, false},  {3.7, false, true},  {-3.2, false, true}, {-0.5, true, false},
      {1e20, true, false}, {3000000001.0, false, true}, {INF, false, false}, {NaN, false, false},
  };
  for (const Case& c : cases) {
    Outcome even = call_action(ACT_even_q, {F(c.d)});
    EXPECT_EQ(logic_of(&even.value), c.even) << c.d;
    Outcome odd = call_action(ACT_odd_q, {F(c.d)});
    EXPECT_EQ(logic_of(&odd.value), c.odd) << c.d;
  }
  EXPECT_EQ(float_::round_to_int(2.5), 3);
  EXPECT_EQ(float_::round_to_int(0.49999999999999994), 0);
  EXPECT_EQ(float_::round_to_int(1e300), HIGHEST) << "clamped, no undefined conversion";
  EXPECT_EQ(float_::round_to_int(NaN), 0);
}

TEST_F(Numbers, FloatRoundWithEveryRefinement) {
  struct Case { Cell v; std::optional<Cell> scale; unsigned flags; Cell want; };
  const Case cases[] = {
      {F(2.5), {}, 0, F(3.0)},
      {F(-2.5), {}, 0, F(-3.0)},
      {F(2.5), {}, EVEN, F(2.0)},
      {F(3.5), {}, EVEN, F(4.0)},
      {F(-2.5), {}, EVEN, F(-2.0)},
      {F(2.5), {}, HALF_DOWN, F(2.0)},
      {F(-2.5), {}, HALF_CEILING, F(-2.0)},
      {F(2.5), {}, HALF_CEILING, F(3.0)},
      {F(-2.7), {}, DOWN, F(-2.0)},
      {F(-2.1), {}, FLOOR, F(-3.0)},
      {F(-2.1), {}, CEILING, F(-2.0)},
      {F(2.4999999999999996), {}, 0, F(2.0)},
      {F(1.2345), F(0.01), 0, F(1.23)},
      {F(1234.5), I(10), 0, I(1230)},
      {F(1235.0), I(-10), 0, I(1240)},
      {F(3.14159), P(0.01), 0, P(3.14)},
      {F(3.14159), T(1.0), 0, T(3.0)},
      {F(0.0), F(0.0), 0, F(0.0)},
      {F(7.0), F(0.0), 0, F(7.0)},
      // A scale of zero leaves the value and its type as they are.
      {F(2.7), I(0), 0, F(2.7)},
      {F(-2.7), I(0), DOWN, F(-2.7)},
      {F(2.7), P(0.0), 0, F(2.7)},
      {F(1e300), F(1e-300), 0, F(1e300)},
      {F(-INF), {}, 0, F(-INF)},
      {P(0.12345), {}, 0, P(0.12)},
      {P(0.12345), P(0.01), 0, P(0.12)},
      {P(0.12345), F(0.5), 0, F(0.125)},
      {P(0.12345), I(1), 0, P(0.12)},
  };
  for (const Case& c : cases) {
    expect_value(round_of(c.v, c.scale, c.flags), c.want,
                 "round " + describe({c.v, {}}) + " flags " + std::to_string(c.flags));
  }
  // A scale below the normal range still gives a multiple of itself.
  Outcome tiny = round_of(F(7.3e-310), F(1e-310));
  ASSERT_FALSE(tiny.error);
  EXPECT_TRUE(float_::equal64_q(float_of(&tiny.value), 7e-310)) << float_of(&tiny.value);
  EXPECT_TRUE(std::isnan(float_result(round_of(F(NaN)))));
  expect_error(round_of(F(1e20), I(100000)), Err::script_type_limit, "integer result too large");
  expect_error(round_of(F(1.7e308), F(1e308), CEILING), Err::math_overflow, "past the largest");
  Cell money{TYPE_MONEY, 0, 0, 0};
  expect_error(round_of(F(1.5), money), Err::script_not_related, "money scale");
  expect_error(round_of(F(1.5), S("1")), Err::script_invalid_type, "string scale");
}

TEST_F(Numbers, FloatConversions) {
  auto block = [](std::initializer_list<Cell> items) {
    u32 node = mem::alloc_cells(u32(items.size()) + 1);
    for (const Cell& c : items) copy_cell(&c, mem::alloc_tail_cell(node));
    Cell b;
    return *make_series(&b, TYPE_BLOCK, node);
  };
  expect_value(convert(TYPE_FLOAT, block({I(1), I(3)})), F(1000.0), "[1 3]");
  expect_value(convert(TYPE_FLOAT, block({F(2.5), I(-1)})), F(0.25), "[2.5 -1]");
  expect_value(convert(TYPE_FLOAT, block({I(1), F(2.9)})), F(100.0), "exponent truncated");
  expect_value(convert(TYPE_FLOAT, block({I(1), F(1e300)})), F(INF), "huge exponent");
  expect_error(convert(TYPE_FLOAT, block({I(1), I(2), I(3)})), Err::script_bad_to_arg, "[1 2 3]");
  expect_error(convert(TYPE_FLOAT, block({I(1), N()})), Err::script_bad_to_arg, "[1 none]");
  expect_error(convert(TYPE_FLOAT, block({})), Err::script_bad_to_arg, "[]");
  expect_value(convert(TYPE_FLOAT, *binary_of({0x3F, 0xF0, 0, 0, 0, 0, 0, 0})), F(1.0), "#{3FF0...}");
  expect_value(convert(TYPE_FLOAT, *binary_of({0x40, 0, 0, 0, 0, 0, 0, 0, 0xFF})), F(2.0), "8 bytes");
  expect_value(convert(TYPE_FLOAT, I(5)), F(5.0), "5");
  expect_value(convert(TYPE_FLOAT, C(65)), F(65.0), "#\"A\"");
  expect_value(convert(TYPE_FLOAT, T(90.5)), F(90.5), "time");
  expect_value(convert(TYPE_PERCENT, F(0.5)), P(0.5), "to percent! 0.5");
  expect_value(convert(TYPE_FLOAT, P(0.5)), F(0.5), "to float! 50%");
  expect_value(convert(TYPE_FLOAT, F(0.5), true), F(0.5), "make float! 0.5");
  struct Text { const char* text; std::optional<double> want; };
  const Text texts[] = {
      {"1.5", 1.5},    {"1,5", 1.5}, {"1'000.5", 1000.5}, {"-1.5e3", -1500.0}, {"7", 7.0},
      {"abc", {}},     {"", {}},     {"1.5x", {}},        {"1 ", {}},
  };
  for (const Text& t : texts) {
    Outcome o = convert(TYPE_FLOAT, S(t.text));
    if (t.want) expect_value(o, F(*t.want), t.text);
    else expect_error(o, Err::script_bad_to_arg, t.text);
  }
  // to percent! loads the text as a value: a number, or a percent.
  const Text percents[] = {{"0.5", 0.5}, {"50", 50.0}, {"abc", {}}, {"1:00", {}}};
  for (const Text& t : percents) {
    Outcome o = convert(TYPE_PERCENT, S(t.text));
    if (t.want) expect_value(o, P(*t.want), t.text);
    else expect_error(o, Err::script_bad_to_arg, t.text);
  }
  std::string long_text = "1." + std::string(320, '0');
  expect_error(convert(TYPE_FLOAT, S(long_text.c_str())), Err::script_bad_to_arg, "too long");
  expect_value(convert(TYPE_FLOAT, S("0.25", 4)), F(0.25), "a 4-byte string");
  expect_error(convert(TYPE_FLOAT, N()), Err::script_bad_to_arg, "none");
}

TEST_F(Numbers, MoldThenReadGivesTheSameBits) {
  std::mt19937_64 rng(2024);
  for (int i = 0; i < 20000; ++i) {
    u64 b = rng();
    if (i % 4 == 1) b = (b & 0x800FFFFFFFFFFFFFull) | (u64(1000 + rng() % 48) << 52);  // near 1
    if (i % 4 == 2) b &= 0x800FFFFFFFFFFFFFull;  // subnormal
    double d = std::bit_cast<double>(b);
    if (!std::isfinite(d)) continue;  // the special texts are no literals
    std::string text = molded(F(d));
    Outcome back = convert(TYPE_FLOAT, S(text.c_str()));
    ASSERT_FALSE(back.error) << text;
    ASSERT_EQ(std::bit_cast<u64>(float_of(&back.value)), b) << text;
  }
}

TEST_F(Numbers, FloatRandomStaysBetweenZeroAndTheValue) {
  for (bool secure : {false, true}) {
    double low = INF, high = -INF;
    for (int i = 0; i < 4000; ++i) {
      double r = float_result(call_action(ACT_random, {F(10.0)}, {-1, secure ? 0 : -1}));
      ASSERT_TRUE(r >= 0.0 && r <= 10.0) << r;
      low = std::min(low, r);
      high = std::max(high, r);
      double n = float_result(call_action(ACT_random, {F(-3.0)}, {-1, secure ? 0 : -1}));
      ASSERT_TRUE(n <= 0.0 && n >= -3.0) << n;
    }
    EXPECT_LT(low, 0.1) << secure;
    EXPECT_GT(high, 9.9) << secure;
  }
  EXPECT_EQ(type_result(call_action(ACT_random, {P(0.5)})), TYPE_PERCENT);
  auto draws = [] {
    call_action(ACT_random, {F(1.5)}, {0});  // /seed
    std::vector<u64> v;
    for (int i = 0; i < 5; ++i) v.push_back(std::bit_cast<u64>(float_result(call_action(ACT_random, {F(1.0)}))));
    return v;
  };
  EXPECT_EQ(draws(), draws());
}

// ---------------------------------------------------------------------------
// Operands of the extended datatypes go to those types' own handlers.

namespace {

// Stand-in handlers that record how they were called.
struct Seen {
  Action action;
  Type first, second;
  i32 negated;
};
std::vector<Seen> g_seen;
i32 g_negated = 0;
template <Action A>
void record() {
  g_seen.push_back({A, type_of(stack::base), type_of(stack::base + 1), g_negated});
}
Cell* record_negate(Cell* v) {
  ++g_negated;
  return v;
}

// Installs the stand-ins on a datatype for the life of the object.
struct StandIn {
  Type type;
  ActionFn saved[ACTION_COUNT + 1];
  explicit StandIn(Type t) : type(t) {
    std::memcpy(saved, types::table[t], sizeof saved);
    types::table[t][ACT_add] = reinterpret_cast<ActionFn>(record<ACT_add>);
    types::table[t][ACT_multiply] = reinterpret_cast<ActionFn>(record<ACT_multiply>);
    types::table[t][ACT_subtract] = reinterpret_cast<ActionFn>(record<ACT_subtract>);
    types::table[t][ACT_divide] = reinterpret_cast<ActionFn>(record<ACT_divide>);
    types::table[t][ACT_negate] = reinterpret_cast<ActionFn>(record_negate);
  }
  ~StandIn() { std::memcpy(types::table[type], saved, sizeof saved); }
};

}  // namespace

TEST_F(Numbers, OperandsOfOtherTypesGoToTheirWorkers) {
  StandIn pair(TYPE_PAIR), tuple(TYPE_TUPLE), date(TYPE_DATE), money(TYPE_MONEY);
  struct Case {
    Action a;
    Cell left;
    Type right;
    std::optional<Seen> seen;  // the handler call expected, or none for an error
    Err error;
  };
  const Err none = Err::script_invalid_type;
  const Case cases[] = {
      // The pair goes first; n - p is (-p) + n; n / p is refused.
      {ACT_add, I(5), TYPE_PAIR, Seen{ACT_add, TYPE_PAIR, TYPE_INTEGER, 0}, none},
      {ACT_subtract, I(5), TYPE_PAIR, Seen{ACT_add, TYPE_PAIR, TYPE_INTEGER, 1}, none},
      {ACT_multiply, F(2.0), TYPE_PAIR, Seen{ACT_multiply, TYPE_PAIR, TYPE_FLOAT, 0}, none},
      {ACT_divide, I(5), TYPE_PAIR, {}, Err::script_not_related},
      {ACT_subtract, F(2.0), TYPE_PAIR, {}, Err::script_not_related},
      {ACT_add, T(2.0), TYPE_PAIR, {}, Err::script_invalid_type},
      // Tuples: swapped, no subtract or divide from an integer.
      {ACT_multiply, I(2), TYPE_TUPLE, Seen{ACT_multiply, TYPE_TUPLE, TYPE_INTEGER, 0}, none},
      {ACT_subtract, I(2), TYPE_TUPLE, {}, Err::script_not_related},
      {ACT_divide, I(2), TYPE_TUPLE, {}, Err::script_not_related},
      {ACT_subtract, F(2.0), TYPE_TUPLE, Seen{ACT_subtract, TYPE_FLOAT, TYPE_TUPLE, 0}, none},
      // Dates: a number or a time is added to the date, nothing else.
      {ACT_add, I(3), TYPE_DATE, Seen{ACT_add, TYPE_DATE, TYPE_INTEGER, 0}, none},
      {ACT_add, T(60), TYPE_DATE, Seen{ACT_add, TYPE_DATE, TYPE_TIME, 0}, none},
      {ACT_multiply, I(3), TYPE_DATE, {}, Err::script_not_related},
      // Money works with the number first.
      {ACT_divide, I(3), TYPE_MONEY, Seen{ACT_divide, TYPE_INTEGER, TYPE_MONEY, 0}, none},
      {ACT_subtract, F(1.5), TYPE_MONEY, Seen{ACT_subtract, TYPE_FLOAT, TYPE_MONEY, 0}, none},
  };
  for (const Case& c : cases) {
    g_seen.clear();
    g_negated = 0;
    Cell right{c.right, 0, 0, 0};
    Outcome o = call_action(c.a, {c.left, right});
    std::string what = describe({c.left, {}}) + " action " + std::to_string(c.a) + " " +
                       types::name_of(c.right);
    if (c.seen) {
      ASSERT_FALSE(o.error) << what << ": " << err_info(*o.error).word;
      ASSERT_EQ(g_seen.size(), 1u) << what;
      EXPECT_EQ(g_seen[0].action, c.seen->action) << what;
      EXPECT_EQ(g_seen[0].first, c.seen->first) << what;
      EXPECT_EQ(g_seen[0].second, c.seen->second) << what;
      EXPECT_EQ(g_seen[0].negated, c.seen->negated) << what;
    } else {
      expect_error(o, c.error, what);
      EXPECT_TRUE(g_seen.empty()) << what;
    }
  }
  // A datatype whose module has no handler for the action is refused.
  Cell vector{TYPE_VECTOR, 0, 0, 0};
  if (!types::table[TYPE_VECTOR][ACT_add]) {
    expect_error(call_action(ACT_add, {I(1), vector}), Err::script_invalid_type, "1 + vector");
  }
}

}  // namespace integer_float_test
