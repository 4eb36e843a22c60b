// The series! handlers over every unit: 1-, 2- and 4-byte strings and cell
// blocks hold the same elements, each action runs on all four, once at an
// index inside the series and once at an index past its tail. Then move,
// random, the change events of owned series and ownership reflection.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/word.hpp"
#include "datatypes/context.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/ownership.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/words.hpp"
#include "tests/unit/test_support.hpp"

namespace series_test {

using namespace qel;
using namespace qel::test;

namespace {

// Collections may run at any allocation (at every one under QEL_GC_STRESS).
class Series : public test::RuntimeTest {
 protected:
  void SetUp() override {
    // An outer frame, so that closing the frames a test opens never empties
    // the call stack (which would reset the arguments stack).
    stack::mark(1, 0, stack::FRAME_NATIVE);
  }
};

// A series of the unit (16: a block of integer! cells) holding the code
// points, pushed on the stack at the given index.
Cell* make_series_of(u32 unit, const std::u32string& text, i32 index) {
  Cell* c = make_none(stack::push());
  if (unit == 16) {
    make_series(c, TYPE_BLOCK, mem::alloc_cells(u32(text.size()) + 1));
    for (char32_t ch : text) make_integer(mem::alloc_tail_cell(series_node(c)), i32(ch));
  } else {
    make_text(c, text, unit, u32(text.size()) + 1);
  }
  set_series_index(c, index);
  return c;
}

// The elements of a series from its head, as text ('a' for the integer 97).
std::string elements(const Cell* v) {
  mem::Buffer* b = mem::buffer_of(series_node(v));
  u32 unit = b->unit();
  std::string s;
  for (u32 i = 0; i < b->used() / unit; ++i) {
    const u8* p = b->head_ptr() + i * unit;
    u32 cp = unit == 16 ? u32(int_of(reinterpret_cast<const Cell*>(p))) : string::get_char(p, unit);
    s += cp < 128 ? char(cp) : '?';
  }
  return s;
}

// A result: a series as "index:elements", a number or char as its code, none
// and logic values by name.
std::string describe(const Cell* v) {
  switch (type_of(v)) {
    case TYPE_NONE: return "none";
    case TYPE_UNSET: return "unset";
    case TYPE_LOGIC: return logic_of(v) ? "true" : "false";
    case TYPE_INTEGER: case TYPE_CHAR: return std::to_string(int_of(v));
    default:
      if (is_any_block_type(type_of(v)) || is_any_string_type(type_of(v))) {
        return std::to_string(series_index(v)) + ":" + elements(v);
      }
      return "?";
  }
}

// The series! handlers, whatever the value's own type overrides.
template <class F>
F series_handler(Action a) {
  return reinterpret_cast<F>(types::table[TYPE_SERIES][a]);
}

// Runs a D handler (arguments from the base) on a copy of the series in a
// frame of its own and answers the base cell.
std::string dispatch(Action a, const Cell* series, const Cell* arg = nullptr) {
  stack::mark(2, 0, stack::FRAME_NATIVE);
  stack::push_cell(series);
  if (arg) stack::push_cell(arg);
  series_handler<act::Dispatch>(a)();
  std::string s = describe(stack::base);
  stack::unwind();
  return s;
}

using Op = std::function<Cell*(Cell* series)>;
struct Case {
  const char* name;
  Op op;
  const char* at_2;         // answer and elements afterwards, index 2
  const char* past_tail;    // the same, index 8 (past the tail of six)
};

}  // namespace

TEST_F(Series, EveryActionOverEveryUnitAndPastTheTail) {
  auto D = [](Action a, std::optional<i32> n = std::nullopt) -> Op {
    return [a, n](Cell* s) {
      Cell arg = integer_cell(n.value_or(0));
      std::string r = dispatch(a, s, n ? &arg : nullptr);
      Cell* out = make_none(stack::push());
      string::make_at(out, 16, 1);
      string::append_ascii(out, r.c_str());
      out->header = TYPE_TAG;  // marks a text answer for the describer below
      return out;
    };
  };
  Cell z;
  make_char(&z, 'z');
  Cell pair{TYPE_PAIR, 0, 2, 4};
  auto part = [](i32 n) { return integer_cell(n); };
  auto P = [](Cell& c) { return &c; };
  Cell p2 = part(2), p0 = part(0), pm2 = part(-2), p10 = part(10), pm3 = part(-3), pm5 = part(-5),
       p20 = part(20), s2 = part(2), s3 = part(3), s0 = part(0), s4 = part(4);
  const Case cases[] = {
      {"at 2", D(ACT_at, 2), "3:abcdef", "6:abcdef"},
      {"at 0", D(ACT_at, 0), "2:abcdef", "6:abcdef"},
      {"at -1", D(ACT_at, -1), "1:abcdef", "6:abcdef"},
      {"skip 10", D(ACT_skip, 10), "6:abcdef", "6:abcdef"},
      {"skip -1", D(ACT_skip, -1), "1:abcdef", "6:abcdef"},
      {"back", D(ACT_back), "1:abcdef", "7:abcdef"},
      {"next", D(ACT_next), "3:abcdef", "8:abcdef"},
      {"head", D(ACT_head), "0:abcdef", "0:abcdef"},
      {"tail", D(ACT_tail), "6:abcdef", "6:abcdef"},
      {"head?", D(ACT_head_q), "false", "false"},
      {"tail?", D(ACT_tail_q), "false", "true"},
      {"index?", D(ACT_index_q), "3", "9"},
      {"length?", [](Cell* s) { return make_integer(stack::push(), series_handler<act::Length>(ACT_length_q)(s)); },
       "4 abcdef", "0 abcdef"},
      {"pick 1", [](Cell* s) { return series::pick(s, 1, nullptr); }, "99 abcdef", "none abcdef"},
      {"pick -1", [](Cell* s) { return series::pick(s, -1, nullptr); }, "98 abcdef", "none abcdef"},
      {"pick -3", [](Cell* s) { return series::pick(s, -3, nullptr); }, "none abcdef", "102 abcdef"},
      {"pick 0", [](Cell* s) { return series::pick(s, 0, nullptr); }, "none abcdef", "none abcdef"},
      {"pick 5", [](Cell* s) { return series::pick(s, 5, nullptr); }, "none abcdef", "none abcdef"},
      {"poke 1", [&](Cell* s) { return series::poke(s, 1, nullptr, P(z)); }, "122 abzdef", "!out-of-range"},
      {"poke -3", [&](Cell* s) { return series::poke(s, -3, nullptr, P(z)); }, "!out-of-range", "122 abcdez"},
      {"poke 0", [&](Cell* s) { return series::poke(s, 0, nullptr, P(z)); }, "!out-of-range", "!out-of-range"},
      {"remove", [](Cell* s) { return series::remove(s, nullptr, nullptr); }, "2:abdef", "8:abcdef"},
      {"remove/part 2", [&](Cell* s) { return series::remove(s, P(p2), nullptr); }, "2:abef", "8:abcdef"},
      {"remove/part 0", [&](Cell* s) { return series::remove(s, P(p0), nullptr); }, "2:abcdef", "8:abcdef"},
      {"remove/part -2", [&](Cell* s) { return series::remove(s, P(pm2), nullptr); }, "2:abcdef", "8:abcdef"},
      {"remove/part 10", [&](Cell* s) { return series::remove(s, P(p10), nullptr); }, "2:ab", "8:abcdef"},
      {"reverse", [](Cell* s) { return series::reverse(s, nullptr, nullptr); }, "2:abfedc", "8:abcdef"},
      {"reverse/part 2", [&](Cell* s) { return series::reverse(s, P(p2), nullptr); }, "2:abdcef", "8:abcdef"},
      {"reverse/skip 2", [&](Cell* s) { return series::reverse(s, nullptr, P(s2)); }, "2:abefcd", "8:abcdef"},
      {"reverse/skip 4", [&](Cell* s) { return series::reverse(s, nullptr, P(s4)); }, "2:abcdef", "8:abcdef"},
      {"reverse/skip 3", [&](Cell* s) { return series::reverse(s, nullptr, P(s3)); }, "!invalid-refine-arg", "8:abcdef"},
      {"reverse/skip 0", [&](Cell* s) { return series::reverse(s, nullptr, P(s0)); }, "!out-of-range", "8:abcdef"},
      {"clear", [](Cell* s) { return series::clear(s); }, "2:ab", "8:abcdef"},
      {"take", [](Cell* s) { return series::take(s, nullptr, false, false); }, "0:c abdef", "none abcdef"},
      {"take/last", [](Cell* s) { return series::take(s, nullptr, false, true); }, "0:f abcde", "none abcdef"},
      {"take/part 2", [&](Cell* s) { return series::take(s, P(p2), false, false); }, "0:cd abef", "none abcdef"},
      {"take/part -2", [&](Cell* s) { return series::take(s, P(pm2), false, false); }, "0:ab cdef", "none abcdef"},
      {"take/part -5", [&](Cell* s) { return series::take(s, P(pm5), false, false); }, "0:ab cdef", "none abcdef"},
      {"take/part 0", [&](Cell* s) { return series::take(s, P(p0), false, false); }, "0: abcdef", "none abcdef"},
      {"take/last/part -3", [&](Cell* s) { return series::take(s, P(pm3), false, true); }, "0: abcdef", "none abcdef"},
      {"copy", [](Cell* s) { return series::copy(s, make_none(stack::push()), nullptr, false, nullptr); }, "0:cdef abcdef", "0: abcdef"},
      {"copy/part 2", [&](Cell* s) { return series::copy(s, make_none(stack::push()), P(p2), false, nullptr); }, "0:cd abcdef", "0: abcdef"},
      {"copy/part -2", [&](Cell* s) { return series::copy(s, make_none(stack::push()), P(pm2), false, nullptr); }, "0:ab abcdef", "0:ef abcdef"},
      {"copy/part 20", [&](Cell* s) { return series::copy(s, make_none(stack::push()), P(p20), false, nullptr); }, "0:cdef abcdef", "0: abcdef"},
      {"copy/part 2x4", [&](Cell* s) { return series::copy(s, make_none(stack::push()), P(pair), false, nullptr); }, "0:de abcdef", "0: abcdef"},
  };
  const std::u32string text = U"abcdef";
  for (u32 unit : {1u, 2u, 4u, 16u}) {
    for (const Case& c : cases) {
      for (i32 index : {2, 8}) {
        std::string got = attempt([&] {
          Cell* s = make_series_of(unit, text, index);
          Cell* r = c.op(s);
          std::string answer = type_of(r) == TYPE_TAG ? string::to_utf8(r) : describe(r);
          // Actions that answer the series itself show it; the others show
          // the elements left behind after their answer.
          if (r == s || type_of(r) == TYPE_TAG) return answer;
          return answer + " " + elements(s);
        });
        const char* want = index == 2 ? c.at_2 : c.past_tail;
        EXPECT_EQ(got, want) << c.name << " unit " << unit << " index " << index;
      }
    }
  }
}

TEST_F(Series, PartMustShareTheBufferAndLengthClampsThePosition) {
  Cell* s = make_series_of(16, U"abcdef", 2);
  Cell* other = make_series_of(16, U"abcdef", 4);
  Cell same = *s;
  set_series_index(&same, 5);
  EXPECT_EQ(attempt([&] { return describe(series::remove(s, &same, nullptr)); }), "2:abf");
  EXPECT_EQ(attempt([&] { return describe(series::remove(s, other, nullptr)); }), "!invalid-refine-arg");
  Cell word{TYPE_WORD, 0, symbol::make("x"), u32(-1)};
  EXPECT_EQ(attempt([&] { return describe(series::copy(s, make_none(stack::push()), &word, false, nullptr)); }),
            "!invalid-refine-arg");
  EXPECT_EQ(attempt([&] { return describe(series::take(s, &word, false, false)); }), "!invalid-refine-arg");
  // at and skip want an integer!.
  EXPECT_EQ(attempt([&] { return dispatch(ACT_at, s, &word); }), "!invalid-arg");
  // back at the head stays there.
  set_series_index(s, 0);
  EXPECT_EQ(dispatch(ACT_back, s), "0:abf");
  // length? moves an index past the tail back to the tail, in the value.
  set_series_index(s, 9);
  EXPECT_EQ(series::length_from_index(s, false), 0);
  EXPECT_EQ(series_index(s), 3);
  EXPECT_EQ(series::length_from_index(s, true), 3);
}

TEST_F(Series, EveryTakeAnswersASeriesOfItsOwn) {
  // Answers without /part do not share storage: a later take leaves an
  // earlier answer as it was.
  for (u32 unit : {1u, 4u, 16u}) {
    Cell* s = make_series_of(unit, U"abc", 0);
    Cell* first = stack::push_cell(series::take(s, nullptr, false, false));
    Cell* second = stack::push_cell(series::take(s, nullptr, false, false));
    EXPECT_EQ(describe(first) + " " + describe(second) + " " + elements(s), "0:a 0:b c") << unit;
  }
}

TEST_F(Series, RemoveWithAKeyTakesTheValueAfterIt) {
  // A block of words: the key is found with the block's find.
  Cell* b = make_none(stack::push());
  make_series(b, TYPE_BLOCK, mem::alloc_cells(6));
  for (const char* w : {"a", "b", "c", "d"}) {
    *mem::alloc_tail_cell(series_node(b)) = Cell{TYPE_WORD, 0, symbol::make(w), u32(-1)};
  }
  auto names = [](const Cell* v) {
    std::string s;
    mem::Buffer* buf = mem::buffer_of(series_node(v));
    for (const Cell* c = buf->cells(); c < buf->cell_tail(); ++c) s += symbol::name(word::symbol_of(c));
    return s;
  };
  Cell key{TYPE_WORD, 0, symbol::make("b"), u32(-1)};
  Cell* r = series::remove(b, nullptr, &key);
  EXPECT_EQ(names(b), "ad");
  EXPECT_EQ(series_index(r), 1);
  Cell missing{TYPE_WORD, 0, symbol::make("zz"), u32(-1)};
  set_series_index(b, 0);
  EXPECT_EQ(type_of(series::remove(b, nullptr, &missing)), TYPE_NONE);
  EXPECT_EQ(names(b), "ad");
}

TEST_F(Series, MoveWithinOneSeriesAndBetweenTwo) {
  struct MoveCase {
    i32 from, count, to;
    const char* after;
  };
  // The target names the place before the element standing there: a place
  // inside the moved run moves nothing; a place near the tail still moves.
  const MoveCase within[] = {
      {1, 2, 4, "adbce"}, {1, 2, 5, "adebc"}, {1, 2, 0, "bcade"}, {1, 2, 2, "abcde"},
      {1, 2, 3, "abcde"}, {3, 1, 1, "adbce"}, {0, 1, 9, "bcdea"}, {4, 3, 0, "eabcd"},
  };
  for (u32 unit : {1u, 4u, 16u}) {
    for (const MoveCase& m : within) {
      Cell* s = make_series_of(unit, U"abcde", m.from);
      Cell* t = stack::push_cell(s);
      set_series_index(t, m.to);
      Cell count = integer_cell(m.count);
      Cell* r = series::move(s, t, &count);
      EXPECT_EQ(elements(s), m.after) << unit << " " << m.from << "+" << m.count << "->" << m.to;
      EXPECT_EQ(r, t);
    }
  }
  // Between two series of one unit, and between strings of different units.
  for (u32 to_unit : {1u, 2u, 16u}) {
    u32 from_unit = to_unit == 16 ? 16 : 1;
    Cell* a = make_series_of(from_unit, U"abcd", 1);
    Cell* b = make_series_of(to_unit, U"xyz", 1);
    Cell two = integer_cell(2);
    series::move(a, b, &two);
    EXPECT_EQ(elements(a), "ad") << to_unit;
    EXPECT_EQ(elements(b), "xbcyz") << to_unit;
    Cell nine = integer_cell(9);
    series::move(a, b, &nine);  // the count is cut to what the origin has
    EXPECT_EQ(elements(a), "a");
    EXPECT_EQ(elements(b), "xdbcyz");
  }
  // Blocks and strings do not mix; the target must be a series.
  Cell* blk = make_series_of(16, U"ab", 0);
  Cell* str = make_series_of(1, U"ab", 0);
  EXPECT_EQ(attempt([&] { return describe(series::move(blk, str, nullptr)); }), "!move-bad");
  EXPECT_EQ(attempt([&] { return describe(series::move(str, blk, nullptr)); }), "!move-bad");
  Cell n = integer_cell(3);
  EXPECT_EQ(attempt([&] { return describe(series::move(blk, &n, nullptr)); }), "!expect-arg");
  EXPECT_EQ(elements(blk), "ab");
  EXPECT_EQ(elements(str), "ab");
}

TEST_F(Series, RandomShufflesSeedsAndPicks) {
  for (u32 unit : {1u, 2u, 16u}) {
    std::string runs[2];
    for (std::string& run : runs) {
      Cell* seed = make_series_of(1, U"seed text", 0);
      EXPECT_EQ(type_of(series::random(seed, true, false, false)), TYPE_UNSET);
      Cell* s = make_series_of(unit, U"abcdefghijklmnop", 3);
      series::random(s, false, false, false);
      run = elements(s);
      EXPECT_EQ(run.substr(0, 3), "abc") << "units before the index stay";
      std::string sorted = run;
      std::sort(sorted.begin(), sorted.end());
      EXPECT_EQ(sorted, "abcdefghijklmnop") << "a permutation";
    }
    EXPECT_EQ(runs[0], runs[1]) << "the same seed gives the same shuffle";
    EXPECT_NE(runs[0], "abcdefghijklmnop");
    Cell* s = make_series_of(unit, U"xyz", 1);
    for (int k = 0; k < 20; ++k) {
      i32 got = int_of(series::random(s, false, false, true));
      EXPECT_TRUE(got == 'y' || got == 'z') << got;
    }
    set_series_index(s, 3);
    EXPECT_EQ(type_of(series::random(s, false, false, true)), TYPE_NONE);
  }
}

TEST_F(Series, OwnedSeriesReportEveryChangeBeforeAndAfter) {
  ChangeEvents by;
  Cell z;
  make_char(&z, 'z');
  Cell two = integer_cell(2);
  struct EventCase {
    const char* name;
    std::function<void(Cell*)> op;
    std::vector<std::string> events;
  };
  const EventCase cases[] = {
      {"poke", [&](Cell* s) { series::poke(s, 1, nullptr, &z); }, {"poke 1 1", "poked 1 1"}},
      {"clear", [](Cell* s) { series::clear(s); }, {"clear 1 3", "cleared 1 0"}},
      {"remove", [&](Cell* s) { series::remove(s, &two, nullptr); }, {"remove 1 2", "removed 1 2"}},
      {"reverse", [](Cell* s) { series::reverse(s, nullptr, nullptr); }, {"reverse 1 3", "reversed 1 3"}},
      {"take", [&](Cell* s) { series::take(s, &two, false, false); }, {"take 1 2", "taken 1 2"}},
      {"take/last", [](Cell* s) { series::take(s, nullptr, false, true); }, {"take 3 1", "taken 3 1"}},
      {"random", [](Cell* s) { series::random(s, false, false, false); }, {"random 1 3", "randomized 1 3"}},
      {"move", [](Cell* s) { Cell* t = stack::push_cell(s); set_series_index(t, 4); series::move(s, t, nullptr); },
       {"move 1 1", "moved 3 1"}},
  };
  for (u32 unit : {1u, 16u}) {
    for (const EventCase& c : cases) {
      Cell* s = make_series_of(unit, U"abcd", 1);
      ownership::bind_entry(s, by.owner(), by.field());
      by.events.clear();
      c.op(s);
      EXPECT_EQ(by.events, c.events) << c.name << " unit " << unit;
      // reflect answers the owner; modify releases it, and no event follows.
      Cell* owner = series_handler<act::Reflect>(ACT_reflect)(s, words::symbol(words::W_OWNED));
      EXPECT_EQ(type_of(owner), TYPE_OBJECT);
      Cell none_cell;
      make_none(&none_cell);
      Cell field = *words::cell(words::W_OWNED);
      series_handler<act::Modify>(ACT_modify)(s, &field, &none_cell, false);
      by.events.clear();
      series::clear(s);
      EXPECT_TRUE(by.events.empty());
      EXPECT_EQ(type_of(series_handler<act::Reflect>(ACT_reflect)(s, words::symbol(words::W_OWNED))),
                TYPE_NONE);
    }
  }
  Cell* s = make_series_of(1, U"ab", 0);
  EXPECT_EQ(attempt([&] {
              return describe(series_handler<act::Reflect>(ACT_reflect)(s, words::symbol(words::W_BODY)));
            }),
            "!not-done");
}

}  // namespace series_test
