#include "view/backend/text/char_index.hpp"

#include <algorithm>

#include "runtime/memory.hpp"
#include "runtime/unicode.hpp"

namespace qel::view::backend::text {

namespace {

constexpr u32 REPLACEMENT = 0xFFFD;

bool layable(u32 cp) { return cp != 0 && (cp < 0xD800 || (cp > 0xDFFF && cp <= unicode::MAX_CODE_POINT)); }

}  // namespace

u32 CharIndex::encode(u32 cp, char out[4]) {
  if (cp != 0 && cp < 0x80) {
    out[0] = char(cp);
    return 1;
  }
  if (!layable(cp)) cp = REPLACEMENT;
  if (cp < 0x800) {
    out[0] = char(0xC0 | (cp >> 6));
    out[1] = char(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = char(0xE0 | (cp >> 12));
    out[1] = char(0x80 | ((cp >> 6) & 0x3F));
    out[2] = char(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = char(0xF0 | (cp >> 18));
  out[1] = char(0x80 | ((cp >> 12) & 0x3F));
  out[2] = char(0x80 | ((cp >> 6) & 0x3F));
  out[3] = char(0x80 | (cp & 0x3F));
  return 4;
}

void CharIndex::append(u32 cp) {
  char seq[4];
  u32 n = encode(cp, seq);
  if (n > 1 && ascii_) {
    // The first character of more than one byte: every earlier one took one.
    ascii_ = false;
    offsets_.reserve(std::size_t(chars_) + 16);
    for (u32 i = 0; i < chars_; ++i) offsets_.push_back(i);
  }
  if (!ascii_) offsets_.push_back(u32(utf8_.size()));
  utf8_.append(seq, n);
  ++chars_;
}

CharIndex::CharIndex(const Cell* text) {
  if (!text || type_of(text) != TYPE_STRING) return;
  // Nothing below allocates in the language's memory: the buffer stays put.
  const mem::Buffer* b = mem::buffer_of(series_node(text));
  u32 unit = unicode::unit_of(b);
  u32 total = b->used() / unit;
  u32 from = u32(std::clamp<i64>(series_index(text), 0, total));
  const u8* p = b->head_ptr() + u64(from) * unit;
  u32 n = total - from;
  utf8_.reserve(n);
  for (u32 i = 0; i < n; ++i) append(unicode::get_char(p + u64(i) * unit, unit));
  if (!ascii_) offsets_.push_back(u32(utf8_.size()));
}

CharIndex::CharIndex(const u32* code_points, u32 count) {
  utf8_.reserve(count);
  for (u32 i = 0; i < count; ++i) append(code_points[i]);
  if (!ascii_) offsets_.push_back(u32(utf8_.size()));
}

bool CharIndex::same_text(const Cell* text) const {
  if (!text || type_of(text) != TYPE_STRING) return chars_ == 0;
  const mem::Buffer* b = mem::buffer_of(series_node(text));
  u32 unit = unicode::unit_of(b);
  u32 total = b->used() / unit;
  u32 from = u32(std::clamp<i64>(series_index(text), 0, total));
  if (total - from != chars_) return false;
  const u8* p = b->head_ptr() + u64(from) * unit;
  u32 at = 0;
  char seq[4];
  for (u32 i = 0; i < chars_; ++i) {
    u32 n = encode(unicode::get_char(p + u64(i) * unit, unit), seq);
    if (utf8_.compare(at, n, seq, n) != 0) return false;
    at += n;
  }
  return true;
}

u32 CharIndex::byte_of(i64 char_index) const {
  if (char_index <= 0) return 0;
  if (char_index >= chars_) return bytes();
  return ascii_ ? u32(char_index) : offsets_[std::size_t(char_index)];
}

u32 CharIndex::char_of(i64 byte_offset) const {
  if (byte_offset <= 0) return 0;
  if (byte_offset >= bytes()) return chars_;
  if (ascii_) return u32(byte_offset);
  // The last character that begins at or before the offset.
  auto it = std::upper_bound(offsets_.begin(), offsets_.end(), u32(byte_offset));
  return u32(it - offsets_.begin()) - 1;
}

ByteRange CharIndex::range(i64 start, i64 length) const {
  i64 s = std::clamp<i64>(start - 1, 0, chars_);
  i64 e = length > 0 ? std::clamp<i64>(start - 1 + length, s, chars_) : s;
  u32 bs = byte_of(s);
  return {bs, byte_of(e) - bs};
}

}  // namespace qel::view::backend::text
