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

using namespace qel;

namespace {

const double INF = std::numeric_limits<double>::infinity();

class Times : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = gc::enabled;
    gc::enabled = true;  // QEL_GC_STRESS=1 then collects at every allocation
  }
  void TearDown() override {
    gc::enabled = saved_;
    stack::init();
  }
  bool saved_ = false;
};

Cell I(i32 v) {
  Cell c;
  return *make_integer(&c, v);
}
Cell F(double d) {
  Cell c;
  return *make_float(&c, d);
}
Cell T(double seconds) {
  Cell c{};
  return *time::make_at(seconds, &c);
}
Cell D(Type t) {
  Cell c;
  return *make_datatype(&c, t);
}
// A string! of the ASCII text (the copy is unrooted: use it at once).
Cell S(const char* text) {
  roots::LocalCell s;
  string::make_at(s.get(), 8, 1);
  string::append_ascii(s.get(), text);
  return s.cell;
}
Cell W(const char* name) {
  Cell c{TYPE_WORD, 0, symbol::make(name), u32(-1)};
  return c;
}
Cell hms(i32 h, i32 m, double s) {
  double x = std::abs(h) * 3600.0 + m * 60.0 + s;
  return T(h < 0 ? -x : x);
}

struct Outcome {
  Cell value{};
  std::optional<Err> error;
};

template <class F>
Outcome run(F f) {
  stack::init();
  stack::mark(1, 0, stack::FRAME_CATCH);
  Outcome o;
  try {
    o.value = *f();
  } catch (const Transfer&) {
    stack::adjust_post_try();
    o.error = error::id_of(stack::base);
  }
  stack::init();
  return o;
}

Outcome call(Action a, std::initializer_list<Cell> args, std::vector<i32> refs = {}) {
  refs.resize(12, -1);
  return run([&] {
    for (const Cell& c : args) stack::push_cell(&c);
    actions::entry(a)(refs.data());
    return stack::base;
  });
}

// A path step on the time: reads the field, or sets it when value is given.
// Answers the time after the step, or the field read.
Outcome path(const Cell& t, const Cell& element, std::optional<Cell> value = {}) {
  return run([&] {
    Cell* time = stack::push_cell(&t);
    Cell* e = stack::push_cell(&element);
    Cell* v = value ? stack::push_cell(&*value) : nullptr;
    Cell* r = actions::eval_path(time, e, v, PathStep{nullptr, 1, true, false, false});
    return v ? time : r;
  });
}

std::string formed(const Cell& v, bool mold = false) {
  stack::init();
  Cell* value = stack::push_cell(&v);
  Cell* buf = string::make_at(stack::push(), 16, 1);
  if (mold) actions::mold(value, buf, false, false, false, nullptr, 1000, 0);
  else actions::form(value, buf, nullptr, 1000);
  std::string s = string::to_utf8(buf);
  stack::init();
  return s;
}

void expect_same(const Outcome& got, const Cell& want, const std::string& what) {
  ASSERT_FALSE(got.error) << what << " raised " << err_info(*got.error).word;
  EXPECT_EQ(type_of(&got.value), type_of(&want)) << what;
  EXPECT_EQ(got.value.w2, want.w2) << what << ": " << float_of(&got.value) << " " << int_of(&got.value);
  EXPECT_EQ(got.value.w3, want.w3) << what << ": " << float_of(&got.value);
}

void expect_error(const Outcome& got, Err want, const std::string& what) {
  ASSERT_TRUE(got.error) << what << " did not raise";
  EXPECT_EQ(*got.error, want) << what << " raised " << err_info(*got.error).word;
}

}  // namespace

TEST_F(Times, FormGoldenTable) {
  struct Case { double seconds; const char* text; };
  const Case cases[] = {
      {0, "0:00:00"},
      {3723.5, "1:02:03.5"},
      {-5400, "-1:30:00"},
      {360000, "100:00:00"},
      {1e-7, "0:00:00"},
      {-1800, "-0:30:00"},
      {65.5, "0:01:05.5"},
      {5.123456, "0:00:05.12346"},
      {1e-6, "0:00:00.000001"},
      {12.25, "0:00:12.25"},
      // Seconds that round to 60 carry into the minute and the hour.
      {59.9999999, "0:01:00"},
      {3599.9999999, "1:00:00"},
      {-86399.9999999, "-24:00:00"},
      {119.9999, "0:01:59.9999"},
      {119.99999, "0:02:00"},
      {1e13, "2777777777:46:40"},
      {INF, "1.#INF"},
      {-INF, "-1.#INF"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(formed(T(c.seconds)), c.text) << c.seconds;
    EXPECT_EQ(formed(T(c.seconds), true), c.text) << c.seconds;
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
    expect_same(path(c.t, W("hour")), I(c.hour), "hour " + std::to_string(x));
    expect_same(path(c.t, W("Minute")), I(c.minute), "minute " + std::to_string(x));
    expect_same(path(c.t, W("second")), F(c.second), "second " + std::to_string(x));
    for (i32 k : {1, 2, 3}) {
      Outcome by_path = path(c.t, I(k));
      Outcome by_pick = call(ACT_pick, {c.t, I(k)});
      ASSERT_FALSE(by_path.error || by_pick.error) << k;
      EXPECT_EQ(std::memcmp(&by_path.value, &by_pick.value, sizeof(Cell)), 0) << k;
    }
  }
  expect_same(call(ACT_pick, {hms(1, 2, 3), W("minute")}), I(2), "pick 'minute");
  expect_error(call(ACT_pick, {hms(1, 2, 3), I(4)}), Err::script_out_of_range, "pick 4");
  expect_error(call(ACT_pick, {hms(1, 2, 3), I(0)}), Err::script_out_of_range, "pick 0");
  expect_error(call(ACT_pick, {hms(1, 2, 3), W("day")}), Err::script_cannot_use, "pick 'day");
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
    expect_same(o, c.want, what);
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
  auto to_time = [](const Cell& spec) { return call(ACT_to, {D(TYPE_TIME), spec}); };
  expect_same(to_time(block({I(1), I(2), I(3)})), hms(1, 2, 3), "[1 2 3]");
  expect_same(to_time(block({I(-1), I(2), I(3)})), hms(-1, 2, 3), "[-1 2 3]");
  expect_same(to_time(block({I(1), I(2), F(3.5)})), hms(1, 2, 3.5), "[1 2 3.5]");
  expect_same(to_time(block({I(1), I(90)})), hms(2, 30, 0), "[1 90]");
  expect_same(to_time(block({I(2)})), hms(2, 0, 0), "[2]");
  expect_same(to_time(block({})), T(0), "[]");
  const std::vector<std::vector<Cell>> bad = {
      {I(1), I(-2), I(3)}, {I(1), I(2), I(-3)}, {I(1), I(2), I(3), I(4)},
      {I(1), F(2.5)},      {F(1.0), I(2)},      {I(1), I(2), F(std::nan(""))},
  };
  for (const std::vector<Cell>& items : bad) {
    expect_error(to_time(block(items)), Err::script_bad_to_arg, "block of " + std::to_string(items.size()));
  }
  expect_same(to_time(I(90)), T(90), "90");
  expect_same(to_time(F(1.5)), T(1.5), "1.5");
  expect_same(to_time(T(7)), T(7), "a time");
  expect_same(call(ACT_make, {D(TYPE_TIME), I(60)}), T(60), "make time! 60");
  Cell none;
  make_none(&none);
  expect_error(to_time(none), Err::script_bad_to_arg, "none");
  // Text is loaded as a value, which must be a time!.
  struct Text { const char* text; std::optional<double> want; };
  const Text texts[] = {{"1:02:03", 3723.0}, {"-0:30", -1800.0}, {"12", {}}, {"", {}}, {"abc", {}}};
  for (const Text& t : texts) {
    Outcome o = to_time(S(t.text));
    if (t.want) expect_same(o, T(*t.want), t.text);
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
    Outcome o = unary ? call(c.a, {c.x}) : call(c.a, {c.x, c.y});
    expect_same(o, c.want, std::string("action ") + std::to_string(c.a));
  }
  expect_error(call(ACT_multiply, {hms(1, 0, 0), hms(1, 0, 0)}), Err::script_not_related,
               "1:00 * 1:00");
  Cell date{TYPE_DATE, 0, 0, 0};
  expect_error(call(ACT_subtract, {hms(1, 0, 0), date}), Err::script_not_related, "time - date");
  expect_error(call(ACT_power, {hms(1, 0, 0), I(2)}), Err::script_expect_arg, "no power");
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
    EXPECT_EQ(call(ACT_even_q, {T(p.seconds)}).value.w1, u32(p.even)) << p.seconds;
    EXPECT_EQ(call(ACT_odd_q, {T(p.seconds)}).value.w1, u32(p.odd)) << p.seconds;
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
    Outcome o = r.scale ? call(ACT_round, {r.t, *r.scale}, refs) : call(ACT_round, {r.t}, refs);
    expect_same(o, r.want, "round " + std::to_string(float_of(&r.t)));
  }
  Cell money{TYPE_MONEY, 0, 0, 0};
  expect_error(call(ACT_round, {T(5), money}, {1}), Err::script_not_related, "money scale");
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
    EXPECT_EQ(formed(t, true), c.text);
  }
  Cell t;
  triple::make_at(&t, 1, 2, 3);
  expect_error(call(ACT_add, {t, I(1)}), Err::script_expect_arg, "no arithmetic on triples");
}
