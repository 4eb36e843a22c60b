// char!: making from every kind of spec, arithmetic and its range, comparison,
// form and mold.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/char.hpp"
#include "datatypes/string.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

namespace char_test {

using namespace qel;
using namespace qel::test;

namespace {

class Char : public test::RuntimeTest {};

// A string! of the UTF-8 text at the index.
Cell* text_at(const char* utf8, i32 index = 0) {
  Cell* s = text(utf8);
  set_series_index(s, index);
  return s;
}

Outcome make(Cell* spec) {
  return outcome_of([&] { return actions::make(make_datatype(stack::push(), TYPE_CHAR), spec); });
}

// The arithmetic action on a char! and an operand, through the dispatch handler.
Outcome math(Action a, u32 cp, const Cell& operand) {
  return outcome_of([&] {
    // A frame of its own, as the action entry would have.
    stack::mark(1, 0, stack::FRAME_NATIVE);
    make_char(stack::push(), cp);
    copy_cell(&operand, stack::push());
    reinterpret_cast<act::Dispatch>(actions::get_handler(stack::base, a))();
    return stack::base;
  });
}

}  // namespace

TEST_F(Char, MakeFromEveryKindOfSpec) {
  struct Case {
    const char* name;
    Cell* (*spec)();
    std::optional<u32> cp;
    std::optional<Err> error;
  };
  const std::vector<Case> cases = {
      {"string at its index", [] { return text_at("abc", 1); }, 'b', {}},
      {"astral in a string", [] { return text("\U0001F600"); }, 0x1F600, {}},
      {"empty string", [] { return text(""); }, {}, Err::script_bad_to_arg},
      {"string at its tail", [] { return text_at("ab", 2); }, {}, Err::script_bad_to_arg},
      {"integer", [] { return make_integer(stack::push(), 65); }, 'A', {}},
      {"highest code point", [] { return make_integer(stack::push(), 0x10FFFF); }, 0x10FFFF, {}},
      {"past the highest", [] { return make_integer(stack::push(), 0x110000); }, {}, Err::script_out_of_range},
      {"negative", [] { return make_integer(stack::push(), -1); }, {}, Err::script_out_of_range},
      {"float truncates", [] { return make_float(stack::push(), 65.9); }, 'A', {}},
      {"float below 0 truncates to 0", [] { return make_float(stack::push(), -0.5); }, 0, {}},
      {"NaN", [] { return make_float(stack::push(), std::nan("")); }, {}, Err::script_out_of_range},
      {"huge float", [] { return make_float(stack::push(), 1e300); }, {}, Err::script_out_of_range},
      {"char", [] { return make_char(stack::push(), 0xE9); }, 0xE9, {}},
      {"binary ASCII", [] { return binary_of({'A', 0xFF}); }, 'A', {}},
      {"binary UTF-8", [] { return binary_of({0xE2, 0x82, 0xAC}); }, 0x20AC, {}},
      {"binary 4-byte UTF-8", [] { return binary_of({0xF0, 0x9F, 0x98, 0x80}); }, 0x1F600, {}},
      {"binary cut by its tail", [] { return binary_of({0xE2, 0x82}); }, {}, Err::access_invalid_utf8},
      {"binary continuation byte", [] { return binary_of({0x80, 'a'}); }, {}, Err::access_invalid_utf8},
      {"binary overlong", [] { return binary_of({0xC0, 0x80}); }, {}, Err::access_invalid_utf8},
      {"empty binary", [] { return binary_of({}); }, {}, Err::script_bad_to_arg},
      {"none", [] { return make_none(stack::push()); }, {}, Err::script_bad_to_arg},
  };
  for (const Case& c : cases) {
    stack::init();
    Outcome o = make(c.spec());
    if (c.error) {
      EXPECT_EQ(o.error, c.error) << c.name;
    } else {
      ASSERT_FALSE(o.error) << c.name;
      EXPECT_EQ(type_of(&o.value), TYPE_CHAR) << c.name;
      EXPECT_EQ(char_of(&o.value), *c.cp) << c.name;
    }
  }
  // to char! is the same conversion.
  stack::init();
  Cell* r = actions::to(make_datatype(stack::push(), TYPE_CHAR), make_integer(stack::push(), 97));
  EXPECT_EQ(char_of(r), u32('a'));
}

TEST_F(Char, ArithmeticStaysInTheCodePointRange) {
  struct Case {
    Action action;
    u32 cp;
    Cell operand;
    std::optional<u32> result;
    std::optional<Err> error;
  };
  const std::vector<Case> cases = {
      {ACT_add, 'a', integer_cell(1), 'b', {}},
      {ACT_add, 'a', char_cell(1), 'b', {}},
      {ACT_add, 'a', float_cell(1.9), 'b', {}},       // truncated
      {ACT_subtract, 'b', float_cell(-1.9), 'c', {}},
      {ACT_subtract, 'b', integer_cell(1), 'a', {}},
      {ACT_multiply, 0x21, integer_cell(2), 0x42, {}},
      {ACT_divide, 'd', integer_cell(2), '2', {}},    // 100 / 2 = 50
      {ACT_divide, 'e', integer_cell(2), '2', {}},    // the quotient is truncated
      {ACT_remainder, 'e', integer_cell(10), 1, {}},
      {ACT_and_t, 'a', integer_cell(0xDF), 'A', {}},
      {ACT_or_t, 'A', integer_cell(0x20), 'a', {}},
      {ACT_xor_t, 'a', integer_cell(0x20), 'A', {}},
      {ACT_add, 0x10FFFF, integer_cell(1), {}, Err::math_overflow},
      {ACT_subtract, 0, integer_cell(1), {}, Err::math_overflow},
      {ACT_add, 'a', integer_cell(0x7FFFFFFF), {}, Err::math_overflow},  // beyond 32 bits
      {ACT_multiply, 0x10000, integer_cell(0x10000), {}, Err::math_overflow},
      {ACT_multiply, 'a', integer_cell(-1), {}, Err::math_overflow},
      {ACT_add, 'a', float_cell(std::nan("")), {}, Err::math_overflow},
      {ACT_add, 'a', float_cell(1e20), {}, Err::math_overflow},
      {ACT_divide, 'a', integer_cell(0), {}, Err::math_zero_divide},
      {ACT_remainder, 'a', char_cell(0), {}, Err::math_zero_divide},
      {ACT_add, 'a', Cell{TYPE_NONE, 0, 0, 0}, {}, Err::script_invalid_type},
  };
  for (const Case& c : cases) {
    stack::init();
    Outcome o = math(c.action, c.cp, c.operand);
    if (c.error) {
      EXPECT_EQ(o.error, c.error) << int(c.action) << " " << c.cp;
    } else {
      ASSERT_FALSE(o.error) << int(c.action) << " " << c.cp;
      EXPECT_EQ(type_of(&o.value), TYPE_CHAR);
      EXPECT_EQ(char_of(&o.value), *c.result) << int(c.action) << " " << c.cp;
    }
  }
}

TEST_F(Char, Comparison) {
  Cell a = char_cell('A'), b = char_cell('B'), n65 = integer_cell(65), s = Cell{TYPE_NONE, 0, 0, 0};
  EXPECT_EQ(char_::compare(&a, &n65, COMP_EQUAL), 0);
  EXPECT_EQ(char_::compare(&a, &n65, COMP_STRICT_EQUAL), 1);
  EXPECT_EQ(char_::compare(&a, &n65, COMP_EQUAL_NO_CASE), 1);
  EXPECT_LT(char_::compare(&a, &b, COMP_LESSER), 0);
  EXPECT_GT(char_::compare(&b, &n65, COMP_GREATER), 0);
  EXPECT_EQ(char_::compare(&a, &s, COMP_EQUAL), COMPARE_INCOMPARABLE);
  EXPECT_TRUE(actions::compare(&a, &n65, COMP_EQUAL));
  EXPECT_FALSE(actions::compare(&a, &n65, COMP_STRICT_EQUAL));
}

TEST_F(Char, FormAndMold) {
  struct Case {
    u32 cp;
    bool all;
    const char* mold;
  };
  const std::vector<Case> cases = {
      {'a', false, "#\"a\""},       {'"', false, "#\"^\"\""},   {'\n', false, "#\"^/\""},
      {'^', false, "#\"^^\""},      {0, false, "#\"^@\""},       {30, false, "#\"^(1E)\""},
      {127, false, "#\"^~\""},      {0xE9, false, "#\"\u00E9\""}, {0xE9, true, "#\"^(E9)\""},
      {0x96, false, "#\"^(96)\""},  {0x1F600, true, "#\"^(1F600)\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(molded(char_cell(c.cp), {.all = c.all}), c.mold) << c.cp;
  }
  EXPECT_EQ(formed(char_cell(0x20AC)), "\u20AC");
  EXPECT_EQ(formed(char_cell('"')), "\"");
  // The answer is the budget less the characters written.
  Cell* v = make_char(stack::push(), 30);
  Cell* out = string::make_at(make_none(stack::push()), 8);
  EXPECT_EQ(actions::mold(v, out, false, false, false, nullptr, 100, 0), 100 - 8);
}

}  // namespace char_test
