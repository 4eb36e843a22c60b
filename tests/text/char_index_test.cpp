// The crossing between character indexes and UTF-8 byte offsets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/test_support.hpp"
#include "view/backend/text/char_index.hpp"

namespace qel::test {
using namespace view::backend;  // the engines, by their short names
namespace {

using text::CharIndex;

class CharIndexTest : public RuntimeTest {
 protected:
  // A string! of the code points in units of the width, pushed.
  static Cell* push_text(const std::u32string& cps, u32 unit) {
    Cell* out = text(U"");
    make_text(out, cps, unit);
    return out;
  }
};

TEST_F(CharIndexTest, OffsetsOfEveryCharacter) {
  struct Row {
    std::u32string text;
    u32 unit;                   // of the string buffer
    std::string utf8;           // what is laid out
    std::vector<u32> offsets;   // of each character, then of the end
  } rows[] = {
      {U"abc", 1, "abc", {0, 1, 2, 3}},
      {U"", 1, "", {0}},
      // Latin-1 in one-byte units takes two bytes.
      {U"a\u00e9b", 1, "a\xc3\xa9" "b", {0, 1, 3, 4}},
      {U"\u20ac1", 2, "\xe2\x82\xac" "1", {0, 3, 4}},
      // A character above U+FFFF is one character of four bytes.
      {U"a\U0001F600b", 4, "a\xf0\x9f\x98\x80" "b", {0, 1, 5, 6}},
      // A combining mark is a character of its own.
      {U"e\u0301x", 2, "e\xcc\x81" "x", {0, 1, 3, 4}},
      // What UTF-8 cannot carry to the layout is U+FFFD, one per character.
      {std::u32string(U"a") + char32_t(0) + U"b", 1, "a\xef\xbf\xbd" "b", {0, 1, 4, 5}},
      {std::u32string(U"x") + char32_t(0xD800) + char32_t(0x110000), 4, "x\xef\xbf\xbd\xef\xbf\xbd", {0, 1, 4, 7}},
  };
  for (const Row& r : rows) {
    Cell* s = push_text(r.text, r.unit);
    CharIndex idx(s);
    SCOPED_TRACE(r.utf8);
    EXPECT_EQ(idx.utf8(), r.utf8);
    ASSERT_EQ(idx.chars() + 1, r.offsets.size());
    for (u32 i = 0; i < r.offsets.size(); ++i) {
      EXPECT_EQ(idx.byte_of(i), r.offsets[i]) << "char " << i;
      EXPECT_EQ(idx.char_of(r.offsets[i]), i) << "byte " << r.offsets[i];
      // A byte inside a character's sequence answers that character.
      if (i + 1 < r.offsets.size()) {
        for (u32 b = r.offsets[i] + 1; b < r.offsets[i + 1]; ++b) EXPECT_EQ(idx.char_of(b), i) << "byte " << b;
      }
    }
    // Outside the text: clamped.
    EXPECT_EQ(idx.byte_of(-3), 0u);
    EXPECT_EQ(idx.byte_of(idx.chars() + 5), idx.bytes());
    EXPECT_EQ(idx.char_of(-1), 0u);
    EXPECT_EQ(idx.char_of(idx.bytes() + 9), idx.chars());
    // The same text from code points.
    CharIndex direct(reinterpret_cast<const u32*>(r.text.data()), u32(r.text.size()));
    EXPECT_EQ(direct.utf8(), r.utf8);
    EXPECT_TRUE(idx.same_text(s));
  }
}

TEST_F(CharIndexTest, RangesCutToTheText) {
  // "a€😀b": characters at bytes 0, 1, 4, 8; 9 bytes.
  Cell* s = push_text(U"a\u20ac\U0001F600b", 4);
  CharIndex idx(s);
  struct Row {
    i64 start, length;
    u32 byte_start, byte_length;
  } rows[] = {
      {1, 4, 0, 9},      // the whole text
      {2, 2, 1, 7},      // the two wide characters
      {3, 1, 4, 4},      // the character above U+FFFF alone
      {-1, 3, 0, 1},     // starts before the head: only its part inside (the first character)
      {0, 100, 0, 9},    // both ends outside
      {4, 10, 8, 1},     // runs past the end
      {5, 3, 9, 0},      // at the end: empty
      {9, 3, 9, 0},      // past the end: empty at the end
      {2, 0, 1, 0},      // no length
      {2, -4, 1, 0},     // a negative length
  };
  for (const Row& r : rows) {
    text::ByteRange b = idx.range(r.start, r.length);
    EXPECT_EQ(b.start, r.byte_start) << r.start << "x" << r.length;
    EXPECT_EQ(b.length, r.byte_length) << r.start << "x" << r.length;
  }
}

TEST_F(CharIndexTest, FromTheStringsIndexAndComparedWithOtherTexts) {
  Cell* s = push_text(U"xy\u00e9z", 1);
  set_series_index(s, 2);
  CharIndex idx(s);
  EXPECT_EQ(idx.utf8(), "\xc3\xa9z");
  EXPECT_TRUE(idx.same_text(s));
  // The same characters in another unit width are the same text.
  EXPECT_TRUE(idx.same_text(push_text(U"\u00e9z", 4)));
  EXPECT_FALSE(idx.same_text(push_text(U"\u00e9y", 1)));
  EXPECT_FALSE(idx.same_text(push_text(U"\u00e9zz", 1)));
  // Anything but a string is the empty text.
  Cell none = none_cell();
  CharIndex empty(&none);
  EXPECT_EQ(empty.chars(), 0u);
  EXPECT_TRUE(empty.same_text(&none));
  EXPECT_TRUE(empty.same_text(push_text(U"", 1)));
  EXPECT_FALSE(idx.same_text(&none));
}

}  // namespace
}  // namespace qel::test
