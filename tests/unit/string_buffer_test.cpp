// The string buffer layer: widening rules, writers, concatenation, loading,
// searching helpers, rotation and hexadecimal digits; and a randomised run of
// buffer operations against a plain std::u32string model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "datatypes/string.hpp"
#include "runtime/collector.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"
#include "tests/unit/test_support.hpp"

namespace string_buffer_test {

using namespace qel;
using namespace qel::test;

namespace {

class StringBuffer : public test::RuntimeTest {};

}  // namespace

TEST_F(StringBuffer, WideningThresholdsOfAppendPokeAndInsert) {
  enum Op { APPEND, POKE, INSERT };
  struct Case {
    u32 unit;
    Op op;
    u32 cp;
    u32 expect;
  };
  const std::vector<Case> cases = {
      {1, APPEND, 127, 1},    {1, APPEND, 128, 2},     {1, APPEND, 200, 2},      {1, APPEND, 0xFFFF, 2},
      {1, APPEND, 0x10000, 4}, {2, APPEND, 0xFFFF, 2}, {2, APPEND, 0x10000, 4},  {4, APPEND, 'x', 4},
      {1, POKE, 200, 1},      {1, POKE, 255, 1},       {1, POKE, 256, 2},        {1, POKE, 0x10000, 4},
      {2, POKE, 0xFFFF, 2},   {2, POKE, 0x10000, 4},   {4, POKE, 0x10FFFF, 4},
      {1, INSERT, 255, 1},    {1, INSERT, 256, 2},     {1, INSERT, 0x1F600, 4},  {2, INSERT, 0x10000, 4},
  };
  for (const Case& c : cases) {
    for (bool room : {false, true}) {
      SCOPED_TRACE(testing::Message() << "unit " << c.unit << " op " << c.op << " cp " << std::hex << c.cp
                                      << (room ? " with room" : ""));
      roots::LocalCell s, later;
      make_text(s.get(), U"abc", c.unit, room ? 64 : 0);
      copy_cell(s.get(), later.get());
      set_series_index(later.get(), 2);
      u32 node = series_node(s.get());
      u32 before = mem::node_target(node);
      std::u32string expect = U"abc";
      switch (c.op) {
        case APPEND: string::append_char(s.get(), c.cp); expect.push_back(c.cp); break;
        case POKE: string::poke_char(node, 1, c.cp); expect[1] = c.cp; break;
        case INSERT: string::insert_char_at(node, 1, c.cp); expect.insert(1, 1, c.cp); break;
      }
      EXPECT_EQ(unit_of(s.get()), c.expect);
      EXPECT_EQ(code_points(s.get()), expect);
      EXPECT_EQ(code_points(later.get()), expect.substr(2)) << "other cells keep their unit index";
      if (room) {
        EXPECT_EQ(mem::node_target(node), before) << "widened in place";
      }
    }
  }
}

TEST_F(StringBuffer, WritersAtAndPastTheTailAndReset) {
  roots::LocalCell s;
  make_text(s.get(), U"ab", 1);
  u32 node = series_node(s.get());
  string::poke_char_at(node, 2, 'c');
  EXPECT_EQ(code_points(s.get()), U"abc") << "at the tail: one more unit";
  string::poke_char_at(node, 40, 0x20AC);
  std::u32string expect = U"abc" + std::u32string(37, U'\0') + U"\u20AC";
  EXPECT_EQ(code_points(s.get()), expect) << "past the tail: the gap is U+0000";
  string::insert_char_at(node, 999, 'z');  // beyond the tail: at the tail
  EXPECT_EQ(code_points(s.get()).back(), U'z');
  string::remove_units(node, 3, 1000);
  EXPECT_EQ(code_points(s.get()), U"abc");
  string::remove_units(node, 3, 1);  // at the tail: nothing
  string::remove_unit(node, 0);
  EXPECT_EQ(code_points(s.get()), U"bc");
  string::truncate_buffer(node, 1);
  EXPECT_EQ(code_points(s.get()), U"b");

  make_text(s.get(), U"x\U0001F600y", 4);
  set_series_index(s.get(), 2);
  string::reset_buffer(s.get());
  EXPECT_EQ(unit_of(s.get()), 1u);
  EXPECT_EQ(series_index(s.get()), 0);
  EXPECT_EQ(string::length_from_head(s.get()), 0u);
  string::append_char(s.get(), 'q');
  EXPECT_EQ(code_points(s.get()), U"q");
}

TEST_F(StringBuffer, ConcatenationUnitsModesAndSelfCopies) {
  roots::LocalCell t, src;
  make_text(t.get(), U"caf\u00E9", 1);
  make_text(src.get(), U"\U0001F600!", 4);
  EXPECT_EQ(string::concatenate(t.get(), src.get()), 2u);
  EXPECT_EQ(unit_of(t.get()), 4u) << "a wider source widens the target";
  EXPECT_EQ(code_points(t.get()), U"caf\u00E9\U0001F600!");

  make_text(src.get(), U"\u00E9t\u00E9", 1);
  string::concatenate(t.get(), src.get(), 2);
  EXPECT_EQ(code_points(t.get()), U"caf\u00E9\U0001F600!\u00E9t");
  EXPECT_EQ(unit_of(src.get()), 1u) << "a narrower source is left as it is";

  make_text(t.get(), U"0123456789", 2);
  make_text(src.get(), U"ab", 1);
  set_series_index(t.get(), 3);
  string::concatenate_worker(t.get(), src.get(), -1, 2, string::Mode::insert);
  EXPECT_EQ(whole_text(t.get()), U"01234ab56789");
  string::overwrite(t.get(), src.get(), -1, 7);
  EXPECT_EQ(whole_text(t.get()), U"01234ab567ab");
  string::overwrite(t.get(), src.get(), -1, 8);  // runs past the tail: extends it
  EXPECT_EQ(whole_text(t.get()), U"01234ab567aab");
  string::overwrite(t.get(), src.get(), -1, 100);  // an offset past the tail is the tail
  EXPECT_EQ(whole_text(t.get()), U"01234ab567aabab");

  // The source may be the target: the copied run is the one before the write.
  make_text(t.get(), U"abcdef", 1);
  Cell self = *t.get();
  set_series_index(&self, 2);
  string::concatenate(t.get(), &self);
  EXPECT_EQ(whole_text(t.get()), U"abcdefcdef");
  set_series_index(t.get(), 1);
  string::concatenate_worker(t.get(), &self, 3, 0, string::Mode::insert);
  EXPECT_EQ(whole_text(t.get()), U"acdebcdefcdef");

  make_text(t.get(), U"", 1);
  string::concatenate_literal(t.get(), "x\xE9");
  EXPECT_EQ(code_points(t.get()), U"x\u00E9");
  EXPECT_EQ(unit_of(t.get()), 2u) << "appended bytes follow the append rule";
}

TEST_F(StringBuffer, MoveCharsBetweenUnits) {
  roots::LocalCell a, b;
  make_text(a.get(), U"h\u00E9llo", 1);
  make_text(b.get(), U"[\U0001F600]", 4);
  set_series_index(a.get(), 1);
  set_series_index(b.get(), 1);
  string::move_chars(a.get(), b.get(), 3);  // three 1-byte units
  EXPECT_EQ(whole_text(a.get()), U"ho");
  EXPECT_EQ(whole_text(b.get()), U"[\u00E9ll\U0001F600]");
  set_series_index(b.get(), 4);
  set_series_index(a.get(), 1);
  string::move_chars(b.get(), a.get(), 4);  // one 4-byte unit into a 1-byte string
  EXPECT_EQ(whole_text(a.get()), U"h\U0001F600o");
  EXPECT_EQ(unit_of(a.get()), 4u);
  EXPECT_EQ(whole_text(b.get()), U"[\u00E9ll]");
  // Within one buffer the moved run is taken from where it was.
  make_text(a.get(), U"abcdef", 1);
  copy_cell(a.get(), b.get());
  set_series_index(a.get(), 3);
  set_series_index(b.get(), 1);
  string::move_chars(a.get(), b.get(), 2);
  EXPECT_EQ(whole_text(a.get()), U"adebcf");
}

TEST_F(StringBuffer, ReadersAndSearchHelpers) {
  roots::LocalCell s;
  make_text(s.get(), U"aBcAbC\u00E9", 2);
  set_series_index(s.get(), 1);
  EXPECT_EQ(string::find_char(s.get(), 'A'), 2);
  EXPECT_EQ(string::find_char(s.get(), 'a'), -1);
  EXPECT_EQ(string::char_at(s.get(), 0), U'a');
  EXPECT_TRUE(string::find_char_skip(s.get(), 'a', 1, false));
  EXPECT_FALSE(string::find_char_skip(s.get(), 'a', 1, true));
  EXPECT_TRUE(string::find_char_skip(s.get(), 0xC9, 1, false)) << "folded beyond ASCII";
  // Records of two from the index: "Bc" "Ab" "C\u00E9".
  EXPECT_TRUE(string::find_char_skip(s.get(), 'c', 2, false));
  EXPECT_FALSE(string::find_char_skip(s.get(), 0xE9, 2, false)) << "only record starts count";

  struct Match {
    std::u32string text;
    const char* bytes;
    bool expect;
  };
  for (const Match& m : std::vector<Match>{{U"header: x", "header", true},
                                           {U"head", "header", false},
                                           {U"header", "header", true},
                                           {U"Header", "header", false},
                                           {U"\u00E9t\u00E9", "\xE9t", true},
                                           {U"\u0141", "A", false},
                                           {U"", "", true}}) {
    make_text(s.get(), m.text, 4);
    EXPECT_EQ(string::match_bytes(s.get(), m.bytes), m.expect) << m.bytes;
  }

  make_text(s.get(), U"abc", 1);
  set_series_index(s.get(), 7);
  EXPECT_TRUE(string::is_tail(s.get()));
  EXPECT_EQ(string::index_pointer(s.get()), string::tail_pointer(s.get()));
  EXPECT_EQ(series_index(s.get()), 3) << "index_pointer sets the index back to the tail";
  string::advance(s.get(), -10);
  EXPECT_EQ(series_index(s.get()), 0);
  string::next(s.get());
  EXPECT_EQ(string::length_from_index(s.get()), 2u);
}

TEST_F(StringBuffer, LoadingMakesStringsAndAppendsThemToBlocks) {
  roots::LocalCell s, block;
  const std::string text = "na\xC3\xAFve \xE2\x82\xAC";
  const u8* bytes = reinterpret_cast<const u8*>(text.data());
  string::load_at(bytes, u32(text.size()), s.get(), string::Encoding::utf8);
  EXPECT_EQ(type_of(s.get()), TYPE_STRING);
  EXPECT_EQ(code_points(s.get()), U"na\u00EFve \u20AC");
  const u8 utf16[] = {0x41, 0, 0xE9, 0};
  make_series(block.get(), TYPE_BLOCK, mem::alloc_cells(1));
  Cell* top = stack::top;
  string::load_in(utf16, 4, series_node(block.get()), string::Encoding::utf16le);
  string::load_in(bytes, 4, series_node(block.get()), string::Encoding::utf8);
  EXPECT_EQ(stack::top, top);
  mem::Buffer* b = mem::buffer_of(series_node(block.get()));
  ASSERT_EQ(b->used(), 2 * sizeof(Cell));
  EXPECT_EQ(code_points(b->cells()), U"A\u00E9");
  EXPECT_EQ(unit_of(b->cells()), 1u);
  EXPECT_EQ(code_points(b->cells() + 1), U"na\u00EF");
}

TEST_F(StringBuffer, FloatFromTextInAnyUnit) {
  for (u32 unit : {1u, 2u, 4u}) {
    roots::LocalCell s;
    make_text(s.get(), U"-12.5e2\u00B2", unit);
    const u8* p = mem::buffer_of(series_node(s.get()))->head_ptr();
    std::size_t rest = 99;
    EXPECT_EQ(string::to_float(p, 7, unit, &rest), -1250.0) << unit;
    EXPECT_EQ(rest, 0u);
    string::to_float(p, 8, unit, &rest);
    EXPECT_EQ(rest, 1u) << "U+00B2 is no digit";
  }
}

TEST_F(StringBuffer, RotateExchangesAdjacentRuns) {
  std::mt19937 rng(7);
  for (auto [first, second] : std::vector<std::pair<u32, u32>>{
           {0, 5}, {5, 0}, {3, 5}, {5, 3}, {4, 4}, {70000, 10}, {10, 70000}, {70000, 70001}}) {
    std::vector<u8> data(first + second);
    for (u8& b : data) b = u8(rng());
    std::vector<u8> expect = data;
    std::rotate(expect.begin(), expect.begin() + first, expect.end());
    string::rotate(data.data(), first, second);
    EXPECT_EQ(data, expect) << first << "+" << second;
  }
}

TEST_F(StringBuffer, HexadecimalDigits) {
  EXPECT_STREQ(string::byte_to_hex(0), "00");
  EXPECT_STREQ(string::byte_to_hex(0xAF), "AF");
  EXPECT_STREQ(string::byte_to_hex(0x7), "07");
  struct Case {
    i32 value;
    bool trim;
    const char* text;
  };
  for (Case c : std::vector<Case>{{-1, false, "FFFFFFFF"}, {-1, true, "FFFFFFFF"}, {10, true, "A"},
                                  {10, false, "0000000A"}, {0, true, "00"}, {0, false, "00000000"},
                                  {0x1F600, true, "1F600"}, {0x100, true, "100"}, {30, true, "1E"},
                                  {INT32_MIN, true, "80000000"}, {0x7FFFFFFF, true, "7FFFFFFF"}}) {
    EXPECT_STREQ(string::to_hex(c.value, c.trim), c.text) << c.value;
  }
}

// Random runs of buffer operations against a std::u32string. After every step
// the string holds the model's code points, its unit holds the widest of them
// and never narrowed (only a reset narrows), and another cell on the same
// buffer reads the model from its index (indexes count units, so widening
// and moving the buffer keep them).
TEST_F(StringBuffer, RandomOperationsMatchAModel) {
  std::mt19937 rng(20240611);
  auto pick = [&](u32 n) { return u32(rng() % n); };
  auto code_point = [&](bool no_surrogates) -> char32_t {
    switch (pick(4)) {
      case 0: return char32_t(0x20 + pick(0x60));
      case 1: return char32_t(0x80 + pick(0x80));
      case 2: {
        u32 c = 0x100 + pick(0xFF00);
        if (no_surrogates && c >= 0xD800 && c <= 0xDFFF) c -= 0x800;
        return char32_t(c);
      }
      default: return char32_t(0x10000 + pick(0x100000));
    }
  };
  auto random_text = [&](u32 max_len, u32 unit, bool no_surrogates) {
    std::u32string s;
    for (u32 n = pick(max_len + 1); n; --n) {
      char32_t c = code_point(no_surrogates);
      while (unicode::unit_for(c) > unit) c = code_point(no_surrogates);
      s.push_back(c);
    }
    return s;
  };

  const int steps = gc::stress ? 2000 : 6000;
  roots::LocalCell s, other, view;
  make_text(s.get(), U"", 1);
  std::u32string model;
  for (int step = 0; step < steps; ++step) {
    u32 node = series_node(s.get());
    u32 unit_before = unit_of(s.get());
    u32 size = u32(model.size());
    copy_cell(s.get(), view.get());
    u32 view_index = size ? pick(size) : 0;
    set_series_index(view.get(), i32(view_index));
    bool narrows = false;
    std::string what;
    switch (pick(11)) {
      case 0: {
        char32_t c = code_point(false);
        what = "append";
        string::append_char(s.get(), c);
        model.push_back(c);
        if (unit_before == 1 && c >= 128) {
          EXPECT_GE(unit_of(s.get()), 2u) << "append widens at 128";
        }
        break;
      }
      case 1: {
        char32_t c = code_point(false);
        u32 pos = pick(size + 1);
        what = "insert";
        string::insert_char_at(node, pos, c);
        model.insert(pos, 1, c);
        break;
      }
      case 2: {
        char32_t c = code_point(false);
        u32 pos = pick(size + 3);
        what = "poke";
        string::poke_char_at(node, pos, c);
        if (pos >= model.size()) model.resize(pos + 1, U'\0');
        model[pos] = c;
        break;
      }
      case 3: {
        what = "widen";
        string::widen(node, pick(2) ? 2 : 4);
        break;
      }
      case 4: case 5: {
        u32 unit = 1u << pick(3);
        make_text(other.get(), random_text(12, unit, false), unit);
        std::u32string src = code_points(other.get());
        u32 sidx = pick(u32(src.size()) + 1);
        set_series_index(other.get(), i32(sidx));
        i32 part = pick(3) ? -1 : i32(pick(10));
        std::u32string run = src.substr(sidx, part < 0 ? std::u32string::npos : u32(part));
        u32 tidx = pick(size + 2);
        set_series_index(s.get(), i32(tidx));
        u32 offset = pick(4);
        u32 pos = std::min(std::min(tidx, size) + offset, size);
        switch (pick(3)) {
          case 0:
            what = "concatenate";
            string::concatenate(s.get(), other.get(), part);
            model += run;
            break;
          case 1:
            what = "insert run";
            string::concatenate_worker(s.get(), other.get(), part, offset, string::Mode::insert);
            model.insert(pos, run);
            break;
          default:
            what = "overwrite";
            string::overwrite(s.get(), other.get(), part, offset);
            if (pos + run.size() > model.size()) model.resize(pos + run.size());
            model.replace(pos, run.size(), run);
            break;
        }
        set_series_index(s.get(), 0);
        break;
      }
      case 6: {
        // The string onto itself, from a random index.
        Cell self = *s.get();
        u32 sidx = pick(size + 1);
        set_series_index(&self, i32(sidx));
        what = "self concatenate";
        string::concatenate(s.get(), &self);
        model += model.substr(sidx);
        break;
      }
      case 7: {
        std::u32string text = random_text(20, 4, true);
        std::string bytes = utf8(text);
        what = "load";
        const u8* p = reinterpret_cast<const u8*>(bytes.data());
        unicode::load_utf8(p, u32(bytes.size()), s.get(), nullptr, false);
        model = text;
        break;
      }
      case 8: {
        u32 pos = pick(size + 1), n = pick(4);
        what = "remove";
        string::remove_units(node, pos, n);
        if (pos < model.size()) model.erase(pos, n);
        break;
      }
      case 9: {
        u32 n = pick(size + 2);
        what = "truncate";
        string::truncate_buffer(node, n);
        if (n < model.size()) model.resize(n);
        break;
      }
      default: {
        if (pick(8)) {
          what = "append literal";
          string::concatenate_literal(s.get(), "lit\xA0");
          model += U"lit\u00A0";
        } else {
          what = "reset";
          string::reset_buffer(s.get());
          model.clear();
          narrows = true;
        }
        break;
      }
    }
    SCOPED_TRACE(testing::Message() << "step " << step << ": " << what);
    ASSERT_EQ(code_points(s.get()), model);
    u32 unit = unit_of(s.get());
    ASSERT_TRUE(unit == 1 || unit == 2 || unit == 4);
    for (char32_t c : model) ASSERT_LE(unicode::unit_for(c), unit) << std::hex << u32(c);
    if (!narrows) {
      ASSERT_GE(unit, unit_before);
    }
    ASSERT_EQ(code_points(view.get()), model.substr(std::min<std::size_t>(view_index, model.size())))
        << "a cell made before the step reads the same unit positions";
    if (model.size() > 3000) {  // keep the runs short enough to stay quick
      string::truncate_buffer(series_node(s.get()), 100);
      model.resize(100);
    }
  }
}

}  // namespace string_buffer_test
