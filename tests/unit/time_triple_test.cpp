// time! (text form, fields read and set, conversions, arithmetic, parity,
// rounding) and triple! (its text form).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/float.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/time.hpp"
#include "datatypes/triple.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

namespace time_triple_test {

using namespace qel;
using namespace qel::test;

namespace {

const double INF = std::numeric_limits<double>::infinity();

class Times : public test::RuntimeTest {};

// Cells of the tables.
constexpr auto& I = integer_cell;
constexpr auto& F = float_cell;
constexpr auto& D = datatype_cell;
Cell T(double seconds) {
  Cell c{};
  return *time::make_at(seconds, &c);
}
Cell S(const char* ascii) { return *text(ascii); }
Cell W(const char* name) { return unbound_word(name); }
Cell hms(i32 h, i32 m, double s) {
  double x = std::abs(h) * 3600.0 + m * 60.0 + s;
  return T(h < 0 ? -x : x);
}

// A path step on the time: reads the field, or sets it when value is given.
// Answers the time after the step, or the field read.
Outcome path(const Cell& t, const Cell& element, std::optional<Cell> value = {}) {
  return outcome_of([&] {
    Cell* time = stack::push_cell(&t);
    Cell* e = stack::push_cell(&element);
    Cell* v = value ? stack::push_cell(&*value) : nullptr;
    Cell* r = actions::eval_path(time, e, v, PathStep{nullptr, 1, true, false, false});
    return v ? time : r;
  });
}

}  // namespace

TEST_F(Times, FormGoldenTable) {
  // form writes at most six decimals; mold the digits the time holds (those
  // of the shortest text of its seconds in all), which load back to the same
  // time (nullptr: the same text as form).
  struct Case { double seconds; const char* text; const char* molded; };
  const Case cases[] = {
      {0, "0:00:00", nullptr},
      {3723.5, "1:02:03.5", nullptr},
      {-5400, "-1:30:00", nullptr},
      {360000, "100:00:00", nullptr},
      {1e-7, "0:00:00", "0:00:00.0000001"},
      {-1800, "-0:30:00", nullptr},
      {65.5, "0:01:05.5", nullptr},
      {5.123456, "0:00:05.12346", "0:00:05.123456"},
      {1e-6, "0:00:00.000001", nullptr},
      {12.25, "0:00:12.25", nullptr},
      // Seconds that round to 60 carry into the minute and the hour.
      {59.9999999, "0:01:00", "0:00:59.9999999"},
      {3599.9999999, "1:00:00", "0:59:59.9999999"},
      {-86399.9999999, "-24:00:00", "-23:59:59.9999999"},
      {37211.381, "10:20:11.381", nullptr},
      {0.1 + 0.2, "0:00:00.3", "0:00:00.30000000000000004"},
      {119.9999, "0:01:59.9999", nullptr},
      {119.99999, "0:02:00", "0:01:59.99999"},
      {1e13, "2777777777:46:40", nullptr},
      {INF, "1.#INF", nullptr},
      {-INF, "-1.#INF", nullptr},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(formed(T(c.seconds)), c.text) << c.seconds;
    EXPECT_EQ(molded(T(c.seconds)), c.molded ? c.molded : c.text) << c.seconds;
  }
  EXPECT_EQ(formed(T(std::nan(""))), "1.#NaN");
}

TEST_F(Times, FieldsByPathAndPick) {
  struct Case { Cell t; i32 hour; i32 minute; double second; };
  const Case cases[] = {
      {hms(1, 2, 3), 1, 2, 3.0},
      {hms(1, 2, 3.5), 1, 2, 3.5},
      {T(-1800), 0, 30, -0.0},
      {hms(-1, 30, 5), -1, 30, -5.0},
      {T(360000), 100, 0, 0.0},
  };
  for (const Case& c : cases) {
    const double x = float_of(&c.t);
    expect_value(path(c.t, W("hour")), I(c.hour), "hour " + std::to_string(x));
    expect_value(path(c.t, W("Minute")), I(c.minute), "minute " + std::to_string(x));
    expect_value(path(c.t, W("second")), F(c.second), "second " + std::to_string(x));
    for (i32 k : {1, 2, 3}) {
      Outcome by_path = path(c.t, I(k));
      Outcome by_pick = call_action(ACT_pick, {c.t, I(k)});
      ASSERT_FALSE(by_path.error || by_pick.error) << k;
      EXPECT_EQ(std::memcmp(&by_path.value, &by_pick.value, sizeof(Cell)), 0) << k;
    }
  }
  expect_value(call_action(ACT_pick, {hms(1, 2, 3), W("minute")}), I(2), "pick 'minute");
  expect_error(call_action(ACT_pick, {hms(1, 2, 3), I(4)}), Err::script_out_of_range, "pick 4");
  expect_error(call_action(ACT_pick, {hms(1, 2, 3), I(0)}), Err::script_out_of_range, "pick 0");
  expect_error(call_action(ACT_pick, {hms(1, 2, 3), W("day")}), Err::script_cannot_use, "pick 'day");
  expect_error(path(hms(1, 2, 3), W("day")), Err::script_invalid_path, "t/day");
  expect_error(path(hms(1, 2, 3), I(4)), Err::script_invalid_path, "t/4");
  expect_error(path(hms(1, 2, 3), F(1.0)), Err::script_invalid_path, "t/1.0");
  expect_error(path(T(1e20), W("hour")), Err::script_type_limit, "hour beyond 32 bits");
}

TEST_F(Times, SettingFieldsKeepsTheReadingConsistent) {
  struct Case { Cell t; const char* field; Cell value; Cell want; };
  const Case cases[] = {
      {hms(1, 2, 3), "minute", I(5), hms(1, 5, 3)},
      {hms(1, 2, 3), "hour", I(5), hms(5, 2, 3)},
      {hms(1, 2, 3), "second", F(7.5), hms(1, 2, 7.5)},
      {hms(1, 2, 3), "second", I(0), hms(1, 2, 0)},
      {hms(1, 2, 3), "minute", I(75), hms(2, 15, 3)},
      {hms(0, 0, 10), "second", I(-20), T(-20)},
      // Negative times: the fields keep reading back what was set.
      {hms(-1, 30, 0), "hour", I(-1), hms(-1, 30, 0)},
      {hms(-1, 30, 0), "minute", I(5), hms(-1, 5, 0)},
      {hms(-1, 30, 5), "second", F(-7.0), hms(-1, 30, 7)},
      {T(-1800), "hour", I(0), T(-1800)},
      {T(-1800), "hour", I(1), hms(1, 30, 0)},
      {T(1800), "hour", I(-1), hms(-1, 30, 0)},
      {T(-1805), "minute", I(10), T(-605)},
  };
  for (const Case& c : cases) {
    std::string what = std::string(c.field) + " of " + std::to_string(float_of(&c.t));
    Outcome o = path(c.t, W(c.field), c.value);
    expect_value(o, c.want, what);
    // Reading the field back gives the value set (all values here are in range).
    Outcome back = path(o.value, W(c.field));
    ASSERT_FALSE(back.error) << what;
    double set = type_of(&c.value) == TYPE_INTEGER ? int_of(&c.value) : float_of(&c.value);
    double read = type_of(&back.value) == TYPE_INTEGER ? int_of(&back.value) : float_of(&back.value);
    std::string field = c.field;
    bool in_range = field == "hour" || (std::abs(set) < 60 && (field == "second" || set >= 0));
    if (in_range) {
      EXPECT_EQ(read, set) << what;
    }
  }
  expect_error(path(hms(1, 2, 3), W("hour"), F(1.5)), Err::script_invalid_arg, "hour 1.5");
  expect_error(path(hms(1, 2, 3), W("minute"), F(1.5)), Err::script_invalid_arg, "minute 1.5");
  expect_error(path(hms(1, 2, 3), W("second"), D(TYPE_INTEGER)), Err::script_invalid_arg,
               "second integer!");
}

TEST_F(Times, Conversions) {
  auto block = [](const std::vector<Cell>& items) {
    u32 node = mem::alloc_cells(u32(items.size()) + 1);
    for (const Cell& c : items) copy_cell(&c, mem::alloc_tail_cell(node));
    Cell b;
    return *make_series(&b, TYPE_BLOCK, node);
  };
  auto to_time = [](const Cell& spec) { return call_action(ACT_to, {D(TYPE_TIME), spec}); };
  expect_value(to_time(block({I(1), I(2), I(3)})), hms(1, 2, 3), "[1 2 3]");
  expect_value(to_time(block({I(-1), I(2), I(3)})), hms(-1, 2, 3), "[-1 2 3]");
  expect_value(to_time(block({I(1), I(2), F(3.5)})), hms(1, 2, 3.5), "[1 2 3.5]");
  expect_value(to_time(block({I(1), I(90)})), hms(2, 30, 0), "[1 90]");
  expect_value(to_time(block({I(2)})), hms(2, 0, 0), "[2]");
  expect_value(to_time(block({})), T(0), "[]");
  const std::vector<std::vector<Cell>> bad = {
      {I(1), I(-2), I(3)}, {I(1), I(2), I(-3)}, {I(1), I(2), I(3), I(4)},
      {I(1), F(2.5)},      {F(1.0), I(2)},      {I(1), I(2), F(std::nan(""))},
  };
  for (const std::vector<Cell>& items : bad) {
    expect_error(to_time(block(items)), Err::script_bad_to_arg, "block of " + std::to_string(items.size()));
  }
  expect_value(to_time(I(90)), T(90), "90");
  expect_value(to_time(F(1.5)), T(1.5), "1.5");
  expect_value(to_time(T(7)), T(7), "a time");
  expect_value(call_action(ACT_make, {D(TYPE_TIME), I(60)}), T(60), "make time! 60");
  Cell none;
  make_none(&none);
  expect_error(to_time(none), Err::script_bad_to_arg, "none");
  // Text is loaded as a value, which must be a time!.
  struct Text { const char* text; std::optional<double> want; };
  const Text texts[] = {{"1:02:03", 3723.0}, {"-0:30", -1800.0}, {"12", {}}, {"", {}}, {"abc", {}}};
  for (const Text& t : texts) {
    Outcome o = to_time(S(t.text));
    if (t.want) expect_value(o, T(*t.want), t.text);
    else expect_error(o, Err::script_bad_to_arg, t.text);
  }
}

TEST_F(Times, Arithmetic) {
  struct Case { Action a; Cell x, y; Cell want; };
  const Case cases[] = {
      {ACT_divide, hms(1, 0, 0), hms(0, 30, 0), F(2.0)},
      {ACT_divide, hms(1, 0, 0), I(2), hms(0, 30, 0)},
      {ACT_multiply, hms(2, 0, 0), I(2), hms(4, 0, 0)},
      {ACT_multiply, hms(2, 0, 0), F(0.5), hms(1, 0, 0)},
      {ACT_add, hms(1, 0, 0), I(30), hms(1, 0, 30)},
      {ACT_add, hms(1, 0, 0), F(1.5), hms(1, 0, 1.5)},
      {ACT_subtract, hms(1, 0, 0), hms(0, 30, 0), hms(0, 30, 0)},
      {ACT_subtract, hms(0, 0, 1), hms(0, 0, 3), T(-2)},
      {ACT_remainder, hms(1, 0, 30), I(60), T(30)},
      {ACT_negate, hms(1, 0, 0), {}, T(-3600)},
      {ACT_absolute, T(-90), {}, T(90)},
  };
  for (const Case& c : cases) {
    bool unary = c.a == ACT_negate || c.a == ACT_absolute;
    Outcome o = unary ? call_action(c.a, {c.x}) : call_action(c.a, {c.x, c.y});
    expect_value(o, c.want, std::string("action ") + std::to_string(c.a));
  }
  expect_error(call_action(ACT_multiply, {hms(1, 0, 0), hms(1, 0, 0)}), Err::script_not_related,
               "1:00 * 1:00");
  Cell date{TYPE_DATE, 0, 0, 0};
  expect_error(call_action(ACT_subtract, {hms(1, 0, 0), date}), Err::script_not_related, "time - date");
  expect_error(call_action(ACT_power, {hms(1, 0, 0), I(2)}), Err::script_expect_arg, "no power");
  Cell t1 = hms(0, 1, 0), f60 = F(60.0), i61 = I(61);
  EXPECT_TRUE(actions::compare(&t1, &f60, COMP_EQUAL));
  EXPECT_TRUE(actions::compare(&t1, &i61, COMP_LESSER));
}

TEST_F(Times, EvenOddAndRound) {
  struct Parity { double seconds; bool even, odd; };
  const Parity parities[] = {
      {2, true, false},     {3, false, true},   {2.5, true, false}, {2.9999995, false, true},
      {63, false, true},    {-3, false, true},  {-2, true, false},  {INF, false, false},
  };
  for (const Parity& p : parities) {
    Outcome even = call_action(ACT_even_q, {T(p.seconds)});
    EXPECT_EQ(logic_of(&even.value), p.even) << p.seconds;
    Outcome odd = call_action(ACT_odd_q, {T(p.seconds)});
    EXPECT_EQ(logic_of(&odd.value), p.odd) << p.seconds;
  }
  enum : int { NONE = -1, EVEN = 1, DOWN = 2, FLOOR = 4 };
  struct Round { Cell t; std::optional<Cell> scale; int flag; Cell want; };
  const Round rounds[] = {
      {hms(1, 2, 33), I(60), NONE, hms(1, 3, 0)},
      {hms(1, 2, 33.5), {}, NONE, hms(1, 2, 34)},
      {hms(1, 2, 32.5), {}, EVEN, hms(1, 2, 32)},
      {hms(1, 2, 33), hms(0, 15, 0), NONE, hms(1, 0, 0)},
      {hms(-1, 2, 33), I(60), DOWN, hms(-1, 2, 0)},
      {hms(-1, 2, 33), I(60), FLOOR, hms(-1, 3, 0)},
      {T(1e13 + 25), I(60), NONE, T(1e13 + 20)},
  };
  for (const Round& r : rounds) {
    std::vector<i32> refs(7, -1);
    if (r.scale) refs[0] = 1;
    if (r.flag != NONE) refs[r.flag] = 0;
    Outcome o = r.scale ? call_action(ACT_round, {r.t, *r.scale}, refs) : call_action(ACT_round, {r.t}, refs);
    expect_value(o, r.want, "round " + std::to_string(float_of(&r.t)));
  }
  Cell money{TYPE_MONEY, 0, 0, 0};
  expect_error(call_action(ACT_round, {T(5), money}, {1}), Err::script_not_related, "money scale");
}

TEST_F(Times, RegistrationInheritsFromFloat) {
  for (Action a : {ACT_random, ACT_compare, ACT_absolute, ACT_negate, ACT_remainder}) {
    EXPECT_EQ(types::table[TYPE_TIME][a], types::table[TYPE_FLOAT][a]) << int(a);
  }
  for (Action a : {ACT_power, ACT_reflect, ACT_set_path, ACT_and_t, ACT_append}) {
    EXPECT_EQ(types::table[TYPE_TIME][a], nullptr) << int(a);
  }
  EXPECT_STREQ(types::name_of(TYPE_TIME), "time!");
}

TEST_F(Times, TripleFormAndMold) {
  struct Case { i32 a, b, c; const char* text; };
  const i32 low = std::numeric_limits<i32>::min();
  const Case cases[] = {
      {1, -2, 3, "make triple! [1 -2 3]"},
      {0, 0, 0, "make triple! [0 0 0]"},
      {low, 7, low, "make triple! [-2147483648 7 -2147483648]"},
      {2147483647, low, 0, "make triple! [2147483647 -2147483648 0]"},
  };
  for (const Case& c : cases) {
    Cell t;
    triple::make_at(&t, c.a, c.b, c.c);
    EXPECT_EQ(formed(t), c.text);
    EXPECT_EQ(molded(t), c.text);
  }
  Cell t;
  triple::make_at(&t, 1, 2, 3);
  expect_error(call_action(ACT_add, {t, I(1)}), Err::script_expect_arg, "no arithmetic on triples");
}

}  // namespace time_triple_test
