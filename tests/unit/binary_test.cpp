// The binary! helpers that other modules call (loading, raw appends and
// inserts, byte images with their part limits) and the change events of an
// owned binary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/binary.hpp"
#include "runtime/actions.hpp"
#include "runtime/hash.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

namespace binary_test {

using namespace qel;
using namespace qel::test;

namespace {

class Binary : public test::RuntimeTest {};

std::vector<u8> bytes(const Cell* b) { return binary::bytes_from_index(b); }

TEST_F(Binary, RawWritersAndReaders) {
  const u8 abc[] = {'a', 'b', 'c'};
  Cell* b = binary::load(abc, 3);
  binary::append_int32_be(0x01020304, b);
  binary::append_bytes(b, abc, 2);
  EXPECT_EQ(bytes(b), (std::vector<u8>{'a', 'b', 'c', 1, 2, 3, 4, 'a', 'b'}));
  set_series_index(b, 1);
  binary::insert_bytes(b, 1, abc, 1);  // at the index plus 1
  EXPECT_EQ(bytes(b), (std::vector<u8>{'b', 'a', 'c', 1, 2, 3, 4, 'a', 'b'}));
  EXPECT_EQ(binary::rs_length(b), 9u);
  set_series_index(b, 50);  // past the tail: clamped, never read beyond
  EXPECT_EQ(binary::rs_length(b), 0u);
  EXPECT_EQ(binary::rs_head(b) - binary::rs_head(b), 0);
  EXPECT_EQ(series_index(b), 10);
  Cell* block = load("[]");
  binary::load_in(abc, 3, series_node(block));
  EXPECT_EQ(molded(block), "[#{616263}]");
  Cell i = integer_cell(300), c = char_cell(0x41), f = float_cell(1.0);
  EXPECT_EQ(binary::byte_of(&i), 44);
  EXPECT_EQ(binary::byte_of(&c), 0x41);
  EXPECT_EQ(raised([&] { binary::byte_of(&f); }), Err::script_invalid_arg);
}

TEST_F(Binary, ByteImagesWithPartLimits) {
  struct Case {
    const char* value;
    i32 part;
    bool only;
    binary::Mode mode;
    const char* expected;  // molded, or "!" and the error
  };
  const Case cases[] = {
      {"[1 \"ab\" #{FF} 2]", 2, false, binary::Mode::insert, "#{016162}"},  // two values
      {"[1 \"ab\" #{FF} 2]", 2, true, binary::Mode::insert, "#{0161}"},     // two bytes
      {"\"abcdef\"", 3, false, binary::Mode::insert, "#{616263}"},
      {"\"é\"", -1, false, binary::Mode::insert, "#{C3A9}"},
      {"%a/b", -1, false, binary::Mode::convert, "#{612F62}"},
      {"1.5", -1, false, binary::Mode::insert, "#{312E35}"},  // formed
      {"1.5", -1, false, binary::Mode::convert, "!bad-to-arg"},
      {"[[1 [2]] #\"x\"]", -1, false, binary::Mode::insert, "#{010278}"},
      {"256", -1, false, binary::Mode::insert, "!invalid-arg"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    Cell* v = load(c.value);
    std::string got = attempt([&] {
      std::vector<u8> out;
      binary::bytes_of(v, out, c.part, c.only, c.mode);
      return molded(binary::load(out));
    });
    EXPECT_EQ(got, c.expected);
  }
}

TEST_F(Binary, OwnedBinariesReportTheirChanges) {
  ChangeEvents events;
  Cell* b = load("#{0000AB00}");
  ownership::bind_entry(b, events.owner(), events.field());
  Cell* v = load("#{0102}");
  auto act = [&](Action a) { return actions::handler<act::Insert>(b, a); };
  act(ACT_append)(b, v, -1, false, 1, true);
  set_series_index(b, 1);
  act(ACT_insert)(b, v, -1, false, 2, false);
  set_series_index(b, 0);
  actions::handler<act::Change>(b, ACT_change)(b, v, 1, false, 1);
  set_series_index(b, 0);
  actions::handler<act::Trim>(b, ACT_trim)(b, false, false, false, false, true, nullptr);
  EXPECT_EQ(events.events, (std::vector<std::string>{"append 4 2", "appended 4 2", "insert 1 4", "inserted 1 4",
                                                     "change 0 2", "changed 0 2", "trim 0 11", "trimmed 0 9"}));
  EXPECT_EQ(molded(b), "#{010201020102AB0102}");
}

}  // namespace

}  // namespace binary_test
