// The one crossing between the language's character indexes and the UTF-8
// byte offsets of the text layout library.
//
// Strings count code points (one per unit, whatever the unit's width); a
// laid-out text counts the bytes of its UTF-8 form. A CharIndex holds the
// UTF-8 form of a text and the byte offset of every character in it, and
// every index that goes from one side to the other goes through it: the
// ranges of styles and backdrops, hit tests, carets, line lookups.
//
// Every character is encoded as exactly one UTF-8 sequence, so character
// and byte positions map one to one. A code point the layout library cannot
// take (NUL, a surrogate, anything above U+10FFFF) is laid out as U+FFFD,
// never as bytes that would make the whole text invalid.
//
// Positions given from outside are clamped to the text: below 0 is 0, past
// the end is the end. A byte offset inside a character's sequence answers
// that character.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/cell.hpp"

namespace qel::view::backend::text {

struct ByteRange {
  u32 start, length;  // UTF-8 bytes
};

class CharIndex {
 public:
  CharIndex() = default;
  // The text of a string! from its index; anything else is the empty text.
  explicit CharIndex(const Cell* text);
  // The text of code points (tests and callers that hold code points).
  CharIndex(const u32* code_points, u32 count);

  const std::string& utf8() const { return utf8_; }
  u32 chars() const { return chars_; }
  u32 bytes() const { return u32(utf8_.size()); }

  // The byte offset where the character at the 0-based index begins; the
  // end of the text for an index at or past it.
  u32 byte_of(i64 char_index) const;
  // The 0-based index of the character holding the byte; the number of
  // characters for an offset at or past the end.
  u32 char_of(i64 byte_offset) const;
  // Whether the text (a string! from its index) is the text indexed here.
  bool same_text(const Cell* text) const;

  // The bytes of the characters from the 1-based start on, `length` of
  // them, cut to the text (an empty range at the clamped start when nothing
  // of it lies inside).
  ByteRange range(i64 start, i64 length) const;

 private:
  void append(u32 cp);
  // The UTF-8 sequence laid out for the code point (U+FFFD for what the
  // layout cannot take); answers its length.
  static u32 encode(u32 cp, char out[4]);

  std::string utf8_;
  // Byte offset of every character and of the end; kept only once a
  // character takes more than one byte (before, offsets are indexes).
  std::vector<u32> offsets_;
  bool ascii_ = true;
  u32 chars_ = 0;
};

}  // namespace qel::view::backend::text
