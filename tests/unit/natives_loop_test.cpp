// Natives over values that scripts cannot make yet: foreach and forall over a
// map! (a block of key/value pairs whose removed entries have an empty value
// cell), and the math natives over pair!, point2D!, point3D!, tuple! and
// money! cells built by hand from their layouts.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "datatypes/money.hpp"
#include "datatypes/word.hpp"
#include "eval/natives.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "tests/unit/test_support.hpp"

using namespace qel;
using namespace qel::test;

namespace {

class NativesTest : public test::RuntimeTest {};

// Calls the entry in a native frame of its own with the given arguments and no
// refinement; answers its result or the error it raised.
Outcome call(natives::Entry entry, const std::vector<Cell>& args) {
  return outcome_of([&] {
    Cell name = *intern_word("test");
    stack::mark_native(&name);
    for (const Cell& a : args) stack::push_cell(&a);
    static const i32 no_refs[4] = {-1, -1, -1, -1};
    EXPECT_EQ(entry(no_refs), 0u);
    return stack::base;
  });
}

void set_global(const char* name, const Cell* value) {
  Cell w = *intern_word(name);
  word::set(&w, value);
}

Cell global(const char* name) {
  Cell w = *intern_word(name);
  return *word::get_value_cell(&w);
}

bool is_word(const Cell* c, const char* name) {
  Cell w = *intern_word(name);
  return type_of(c) == TYPE_WORD && word::symbol_of(c) == word::symbol_of(&w);
}

// A map of the pairs a: 1, b: (removed), c: 3, d: (removed), on the stack.
Cell* fake_map() {
  Cell* m = load_all("a: 1 b: 2 c: 3 d: 4");
  Cell* cells = mem::buffer_of(series_node(m))->cells();
  cells[3].header = 0;
  cells[7].header = 0;
  set_type(m, TYPE_MAP);
  return m;
}

}  // namespace

TEST_F(NativesTest, ForeachOverMapSetsLiveKeysAsWordsAndValues) {
  Cell* m = fake_map();
  // Each value picks the slot its key is written to: a removed entry reached
  // by the loop would leave a trace or fail the path.
  Cell* out = load_all("_ _ _ _");
  set_global("out", out);
  Cell* words = load_all("k v");
  Cell* body = load_all("out/(v): k");
  Outcome o = call(natives::foreach, {*words, *m, *body});
  ASSERT_FALSE(o.error) << err_info(*o.error).word;
  Cell* cells = mem::buffer_of(series_node(out))->cells();
  EXPECT_TRUE(is_word(cells + 0, "a"));
  EXPECT_TRUE(is_word(cells + 1, "_"));
  EXPECT_TRUE(is_word(cells + 2, "c"));
  EXPECT_TRUE(is_word(cells + 3, "_"));
  EXPECT_TRUE(is_word(&o.value, "c"));  // the last body value
  Cell v = global("v");
  EXPECT_EQ(type_of(&v), TYPE_INTEGER);
  EXPECT_EQ(int_of(&v), 3);
  stack::pop(5);
}

TEST_F(NativesTest, MapLoopsRefuseWhatHasNoPairStep) {
  Cell* m = fake_map();
  Cell* one = load_all("k");
  Cell* three = load_all("k v w");
  Cell* body = load_all("k");
  Cell k = *intern_word("k");
  EXPECT_EQ(call(natives::foreach, {*one, *m, *body}).error, Err::script_invalid_arg);
  EXPECT_EQ(call(natives::foreach, {*three, *m, *body}).error, Err::script_invalid_arg);
  // One word (not in a block) takes the keys.
  Outcome keys = call(natives::foreach, {k, *m, *body});
  ASSERT_FALSE(keys.error);
  EXPECT_TRUE(is_word(&keys.value, "c"));
  // A map has no position for forall to move.
  set_global("k", m);
  EXPECT_EQ(call(natives::forall, {k, *body}).error, Err::script_expect_arg);
  stack::pop(4);
}

// ---- math over the small value types -----------------------------------------------

namespace {

Cell pair(i32 x, i32 y) { return Cell{TYPE_PAIR, 0, u32(x), u32(y)}; }

Cell point2(float x, float y) {
  return Cell{TYPE_POINT2D, std::bit_cast<u32>(x), std::bit_cast<u32>(y), 0};
}
Cell point3(float x, float y, float z) {
  return Cell{TYPE_POINT3D, std::bit_cast<u32>(x), std::bit_cast<u32>(y), std::bit_cast<u32>(z)};
}

Cell tuple(std::vector<u8> bytes) {
  Cell c{u32(bytes.size() << 19) | TYPE_TUPLE, 0, 0, 0};
  u8 raw[16];
  std::memcpy(raw, &c, 16);
  for (size_t i = 0; i < bytes.size(); ++i) raw[4 + i] = bytes[i];
  std::memcpy(&c, raw, 16);
  return c;
}

// A money! cell of that many units; with `negative` and 0 units, a zero
// whose sign bit is set (zero is never negative).
Cell money_cell(bool negative, u8 units) {
  Cell c{};
  money::make_at(&c, money::Amount(units) * 100000, 0);
  if (negative) c.header |= 1u << 14;
  return c;
}


}  // namespace

TEST_F(NativesTest, MaxMinGoComponentByComponent) {
  struct Case {
    natives::Entry fn;
    Cell a, b, expected;
  } cases[] = {
      {natives::min, pair(3, 4), integer_cell(2), pair(2, 2)},
      {natives::max, pair(3, 4), pair(5, 1), pair(5, 4)},
      {natives::max, integer_cell(-1), pair(-3, 4), pair(-1, 4)},
      {natives::max, pair(1, 2), float_cell(2.7), pair(2, 2)},  // the float as an integer
      {natives::min, point3(1, 5, 3), integer_cell(2), point3(1, 2, 2)},
      {natives::max, point2(1.5f, -2), point2(0, 0), point2(1.5f, 0)},
      {natives::max, tuple({1, 2, 3}), tuple({3, 0, 0, 4}), tuple({3, 2, 3, 4})},
      {natives::min, tuple({1, 2, 3}), tuple({3, 0, 0, 4}), tuple({1, 0, 0, 0})},
  };
  for (const Case& c : cases) {
    Outcome o = call(c.fn, {c.a, c.b});
    ASSERT_FALSE(o.error);
    EXPECT_EQ(o.value.header & 0xFF, c.expected.header & 0xFF);
    EXPECT_EQ(o.value.header >> 19 & 0xF, c.expected.header >> 19 & 0xF);
    EXPECT_TRUE(same_payload(o.value, c.expected));
  }
  // A NaN on the other side wins in every component of a point.
  Outcome o = call(natives::min, {point2(1, 2), float_cell(std::nan(""))});
  EXPECT_TRUE(std::isnan(coordinate(o.value, 0)) && std::isnan(coordinate(o.value, 1)));
}

TEST_F(NativesTest, ZeroAndSignOfTheSmallTypes) {
  struct Case {
    Cell value;
    bool zero;
  } zeros[] = {
      {pair(0, 0), true},           {pair(0, 1), false},
      {point2(0, -0.0f), true},     {point2(0, 1e-30f), false},
      {point3(0, 0, 0), true},      {point3(0, 0, 2), false},
      {tuple({0, 0, 0}), true},     {tuple({0, 0, 0, 1}), false},
      {money_cell(true, 0), true},  {money_cell(false, 0x01), false},
  };
  for (const Case& c : zeros) {
    Outcome o = call(natives::zero_q, {c.value});
    ASSERT_FALSE(o.error);
    EXPECT_EQ(logic_of(&o.value), c.zero) << "type " << int(type_of(&c.value));
  }
  // A money zero is never negative, whatever its sign bit.
  struct Sign {
    Cell value;
    i32 sign;
  } signs[] = {{money_cell(true, 5), -1}, {money_cell(false, 5), 1}, {money_cell(true, 0), 0}};
  for (const Sign& s : signs) {
    Cell sign = call(natives::sign_q, {s.value}).value;
    EXPECT_EQ(int_of(&sign), s.sign);
    Outcome neg = call(natives::negative_q, {s.value});
    EXPECT_EQ(logic_of(&neg.value), s.sign < 0);
  }
}
