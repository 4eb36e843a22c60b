#include "datatypes/string.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "runtime/casefold.hpp"
#include "runtime/errors.hpp"
#include "runtime/float_text.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"

namespace qel::string {

using mem::Buffer;
using mem::buffer_of;
using unicode::unit_of;

namespace {

constexpr std::size_t SCRATCH_BYTES = 65536;
std::vector<u8> g_scratch;  // rotate parks the shorter run here

inline u32 units_used(Buffer* b) { return b->used() / unit_of(b); }

// The index of a string cell kept between 0 and the tail.
inline u32 clamped_index(const Cell* str, u32 total) {
  i32 i = series_index(str);
  return i < 0 ? 0 : std::min(u32(i), total);
}

// Makes room for `more` units after the used part, counting from the head;
// when short, the buffer doubles past the need (the used part then starts
// the data area).
Buffer* ensure_room(u32 node, u64 more_bytes) {
  Buffer* b = buffer_of(node);
  u64 need = u64(b->used()) + more_bytes;
  if (need <= b->end_offset() - b->head) return b;
  u64 size = need * 2;
  if (size > 0xF0000000ull) size = need;
  if (size > 0xF0000000ull) raise_memory_error(MemoryError::no_memory);
  return mem::expand_series_copy(node, u32(size));
}

// Widens the node's buffer when it cannot hold cp written at a position.
inline Buffer* widen_for_write(u32 node, u32 cp) {
  Buffer* b = buffer_of(node);
  u32 need = unicode::unit_for(cp);
  return need > unit_of(b) ? unicode::widen(node, need) : b;
}

// Inserts code points at unit position pos (at most the tail).
void insert_code_points(u32 node, u32 pos, const std::vector<u32>& cps) {
  if (cps.empty()) return;
  u32 widest = *std::max_element(cps.begin(), cps.end());
  widen_for_write(node, widest);
  Buffer* b = buffer_of(node);
  u32 unit = unit_of(b);
  u32 n = u32(cps.size());
  b = ensure_room(node, u64(n) * unit);
  u32 total = units_used(b);
  pos = std::min(pos, total);
  u8* h = b->head_ptr();
  std::memmove(h + u64(pos + n) * unit, h + u64(pos) * unit, u64(total - pos) * unit);
  for (u32 i = 0; i < n; ++i) put_char(h + u64(pos + i) * unit, unit, cps[i]);
  b->tail += n * unit;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

constexpr std::array<char, 256 * 3> make_byte_hex() {
  std::array<char, 256 * 3> t{};
  for (int b = 0; b < 256; ++b) {
    t[std::size_t(b) * 3] = kHexDigits[b >> 4];
    t[std::size_t(b) * 3 + 1] = kHexDigits[b & 15];
    t[std::size_t(b) * 3 + 2] = 0;
  }
  return t;
}
constexpr std::array<char, 256 * 3> kByteHex = make_byte_hex();

}  // namespace

void init() {
  g_scratch.assign(SCRATCH_BYTES, 0);
  g_scratch.shrink_to_fit();
}

// ---------------------------------------------------------------------------
// Making and loading

Cell* make_at(Cell* out, u32 capacity, u32 unit, Type t) {
  u32 node = mem::alloc_series_unit(capacity, unit);
  return make_series(out, t, node);
}

Cell* make_at_unit(Cell* out, u32 size, u32 unit, Type t) {
  return make_at(out, std::max<u32>(size / unit, 1), unit, t);
}

Cell* push(const Cell* str) { return stack::push_cell(str); }

Cell* load_at(const u8* bytes, u32 length, Cell* out, Encoding enc) {
  if (!out) make_none(out = stack::push());
  u32 node;
  if (enc == Encoding::utf8) {
    node = unicode::load_utf8(bytes, length, nullptr, nullptr, false);
  } else {
    if (length % 2) unicode::raise_invalid_utf8(bytes + length - 1, 1);
    node = unicode::load_utf16le(bytes, length / 2, nullptr, false);
  }
  return make_series(out, TYPE_STRING, node);
}

void load_in(const u8* bytes, u32 length, u32 block_node, Encoding enc) {
  Cell* s = load(bytes, length, enc);
  copy_cell(s, mem::alloc_tail_cell(block_node));  // s is on the stack: it stays valid
  stack::pop(1);
}

// ---------------------------------------------------------------------------
// Reading

u32 char_at(const Cell* str, u32 pos) {
  Buffer* b = buffer_of(series_node(str));
  u32 unit = unit_of(b);
  return get_char(b->head_ptr() + u64(pos) * unit, unit);
}

u8* index_pointer(Cell* str) {
  Buffer* b = buffer_of(series_node(str));
  u32 unit = unit_of(b);
  u32 index = clamped_index(str, b->used() / unit);
  set_series_index(str, i32(index));
  return b->head_ptr() + u64(index) * unit;
}

u8* tail_pointer(const Cell* str) { return buffer_of(series_node(str))->tail_ptr(); }

bool is_tail(const Cell* str) { return length_from_index(str) == 0; }

u32 length_from_index(const Cell* str) {
  Buffer* b = buffer_of(series_node(str));
  u32 total = units_used(b);
  return total - clamped_index(str, total);
}

u32 length_from_head(const Cell* str) { return units_used(buffer_of(series_node(str))); }

void advance(Cell* str, i32 n) {
  i64 total = length_from_head(str);
  i64 i = std::clamp<i64>(series_index(str), 0, total);
  set_series_index(str, i32(std::clamp<i64>(i + n, 0, total)));
}

i32 find_char(const Cell* str, u32 cp) {
  Buffer* b = buffer_of(series_node(str));
  u32 unit = unit_of(b);
  u32 total = b->used() / unit;
  u32 index = clamped_index(str, total);
  const u8* h = b->head_ptr();
  for (u32 i = index; i < total; ++i) {
    if (get_char(h + u64(i) * unit, unit) == cp) return i32(i - index);
  }
  return -1;
}

bool find_char_skip(const Cell* str, u32 cp, u32 skip, bool case_sensitive) {
  Buffer* b = buffer_of(series_node(str));
  u32 unit = unit_of(b);
  u32 total = b->used() / unit;
  if (skip == 0) skip = 1;
  if (!case_sensitive) cp = casefold::upper(cp);
  const u8* h = b->head_ptr();
  for (u64 i = clamped_index(str, total); i < total; i += skip) {
    u32 c = get_char(h + i * unit, unit);
    if ((case_sensitive ? c : casefold::upper(c)) == cp) return true;
  }
  return false;
}

bool match_bytes(const Cell* str, const char* text) {
  std::size_t n = std::strlen(text);
  if (length_from_index(str) < n) return false;
  Buffer* b = buffer_of(series_node(str));
  u32 unit = unit_of(b);
  const u8* p = b->head_ptr() + u64(clamped_index(str, b->used() / unit)) * unit;
  for (std::size_t i = 0; i < n; ++i) {
    if (get_char(p + i * unit, unit) != u8(text[i])) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Writing

void widen(u32 node, u32 unit) { unicode::widen(node, unit); }

void append_char(u32 node, u32 cp) {
  u32 unit = unit_of(buffer_of(node));
  // Appending keeps 1-byte strings ASCII: 128 and above widen them.
  if (unit == 1 && cp >= 128) unit = unicode::unit_for(std::max<u32>(cp, 0x100));
  else if (unit == 2 && cp > 0xFFFF) unit = 4;
  unicode::widen(node, unit);
  put_char(mem::alloc_tail_bytes(node, unit), unit, cp);
}

void append_ascii(Cell* str, const char* text, std::size_t n) {
  u32 node = series_node(str);
  u32 unit = unit_of(buffer_of(node));
  u8* p = mem::alloc_tail_bytes(node, u32(n * unit));
  if (unit == 1) {
    std::memcpy(p, text, n);
  } else {
    for (std::size_t i = 0; i < n; ++i) put_char(p + i * unit, unit, u8(text[i]));
  }
}

u32 append_utf8(Cell* str, const u8* p, const u8* end) {
  u32 count = 0;
  while (p < end) {
    append_char(str, unicode::decode_lenient(p, end));
    ++count;
  }
  return count;
}

void poke_char_at(u32 node, u32 pos, u32 cp) {
  Buffer* b = widen_for_write(node, cp);
  u32 unit = unit_of(b);
  u32 total = b->used() / unit;
  if (pos >= total) {
    u64 extra = (u64(pos) + 1 - total) * unit;
    b = ensure_room(node, extra);
    u8* tail = b->tail_ptr();
    std::memset(tail, 0, extra);  // the units between the old tail and pos
    b->tail += u32(extra);
  }
  put_char(b->head_ptr() + u64(pos) * unit, unit, cp);
}

void insert_char_at(u32 node, u32 pos, u32 cp) { insert_code_points(node, pos, {cp}); }

void remove_units(u32 node, u32 pos, u32 n) {
  Buffer* b = buffer_of(node);
  u32 unit = unit_of(b);
  u32 total = b->used() / unit;
  if (pos >= total) return;
  n = std::min(n, total - pos);
  u8* h = b->head_ptr();
  std::memmove(h + u64(pos) * unit, h + u64(pos + n) * unit, u64(total - pos - n) * unit);
  b->tail -= n * unit;
}

void truncate(Cell* str, u32 n) {
  Buffer* b = buffer_of(series_node(str));
  u32 unit = unit_of(b);
  u32 total = b->used() / unit;
  u32 index = clamped_index(str, total);
  if (total - index > n) b->tail = b->head + (index + n) * unit;
}

void truncate_buffer(u32 node, u32 n) {
  Buffer* b = buffer_of(node);
  u32 unit = unit_of(b);
  if (b->used() / unit > n) b->tail = b->head + n * unit;
}

void reset_buffer(Cell* str) {
  Buffer* b = buffer_of(series_node(str));
  b->flags = (b->flags & ~mem::SERIES_UNIT_MASK) | 1;
  b->tail = b->head;
  set_series_index(str, 0);
}

void move_chars(Cell* source, Cell* target, u32 bytes) {
  u32 snode = series_node(source), tnode = series_node(target);
  Buffer* sb = buffer_of(snode);
  u32 su = unit_of(sb);
  u32 stotal = sb->used() / su;
  u32 sidx = clamped_index(source, stotal);
  u32 count = std::min(bytes / su, stotal - sidx);
  std::vector<u32> cps(count);
  for (u32 i = 0; i < count; ++i) cps[i] = get_char(sb->head_ptr() + u64(sidx + i) * su, su);
  u32 tidx = clamped_index(target, units_used(buffer_of(tnode)));
  insert_code_points(tnode, tidx, cps);
  // Within one buffer, an insertion before the moved run pushes it up.
  if (snode == tnode && tidx <= sidx) sidx += count;
  remove_units(snode, sidx, count);
}

void rotate(u8* start, u32 first, u32 second) {
  if (!first || !second) return;
  u32 shorter = std::min(first, second);
  if (g_scratch.size() < shorter) g_scratch.resize(shorter);
  if (first <= second) {
    std::memcpy(g_scratch.data(), start, first);
    std::memmove(start, start + first, second);
    std::memcpy(start + second, g_scratch.data(), first);
  } else {
    std::memcpy(g_scratch.data(), start + first, second);
    std::memmove(start + second, start, first);
    std::memcpy(start, g_scratch.data(), second);
  }
  if (g_scratch.size() > SCRATCH_BYTES) {
    g_scratch.resize(SCRATCH_BYTES);
    g_scratch.shrink_to_fit();
  }
}

u32 concatenate_worker(Cell* target, const Cell* source, i32 part, u32 offset, Mode mode) {
  u32 tnode = series_node(target), snode = series_node(source);
  Buffer* sb = buffer_of(snode);
  u32 su = unit_of(sb);
  u32 stotal = sb->used() / su;
  u32 sidx = clamped_index(source, stotal);
  u32 n = stotal - sidx;
  if (part >= 0 && u32(part) < n) n = u32(part);
  if (!n) return 0;
  // A run out of the target's own buffer is copied aside: the writes below
  // move units of that buffer.
  std::vector<u8> aside;
  if (snode == tnode) aside.assign(sb->head_ptr() + u64(sidx) * su, sb->head_ptr() + u64(sidx + n) * su);

  Buffer* tb = buffer_of(tnode);
  u32 tu = unit_of(tb);
  if (su > tu) tb = unicode::widen(tnode, tu = su);
  u32 ttotal = tb->used() / tu;
  u32 pos = ttotal;
  if (mode != Mode::append) pos = u32(std::min<u64>(u64(clamped_index(target, ttotal)) + offset, ttotal));
  u32 grow = n;
  if (mode == Mode::overwrite) grow = pos + n > ttotal ? pos + n - ttotal : 0;
  tb = ensure_room(tnode, u64(grow) * tu);

  u8* h = tb->head_ptr();
  if (mode == Mode::insert) std::memmove(h + u64(pos + n) * tu, h + u64(pos) * tu, u64(ttotal - pos) * tu);
  // The source buffer may have moved while the target grew.
  const u8* src = aside.empty() ? buffer_of(snode)->head_ptr() + u64(sidx) * su : aside.data();
  u8* dst = h + u64(pos) * tu;
  if (su == tu) {
    std::memcpy(dst, src, u64(n) * tu);
  } else {
    for (u32 i = 0; i < n; ++i) put_char(dst + u64(i) * tu, tu, get_char(src + u64(i) * su, su));
  }
  tb->tail = tb->head + (mode == Mode::overwrite ? std::max(ttotal, pos + n) : ttotal + n) * tu;
  return n;
}

void concatenate_literal(Cell* str, const char* text) {
  concatenate_bytes(str, reinterpret_cast<const u8*>(text), u32(std::strlen(text)));
}

void concatenate_bytes(Cell* str, const u8* bytes, u32 n) {
  u32 node = series_node(str);
  for (u32 i = 0; i < n; ++i) append_char(node, bytes[i]);
}

double to_float(const u8* text, u32 length, u32 unit, std::size_t* unconsumed) {
  std::string digits(length, '\x7F');  // a code point beyond ASCII is no part of a number
  for (u32 i = 0; i < length; ++i) {
    u32 cp = get_char(text + u64(i) * unit, unit);
    if (cp < 0x80) digits[i] = char(cp);
  }
  return float_text::text_to_float(digits, 0, unconsumed);
}

std::string to_utf8(const Cell* str) {
  i32 limit = -1;
  return unicode::to_utf8_cached(str, limit);
}

// ---------------------------------------------------------------------------
// Helpers of the string! actions

Buffer* make_room(u32 node, u64 more_bytes) { return ensure_room(node, more_bytes); }

void append_code_points(Cell* str, const u32* cps, std::size_t n) {
  if (!n) return;
  u32 node = series_node(str);
  u32 widest = *std::max_element(cps, cps + n);
  u32 unit = unit_of(buffer_of(node));
  // The rules of append_char: a 1-byte string takes ASCII only.
  if (unit == 1 && widest >= 128) unit = unicode::unit_for(std::max<u32>(widest, 0x100));
  else if (unit == 2 && widest > 0xFFFF) unit = 4;
  unicode::widen(node, unit);
  if (u64(n) * unit > 0xF0000000ull) raise_memory_error(MemoryError::no_memory);
  Buffer* b = ensure_room(node, u64(n) * unit);
  u8* p = b->tail_ptr();
  for (std::size_t i = 0; i < n; ++i) put_char(p + i * unit, unit, cps[i]);
  b->tail += u32(n * unit);
}

// ---------------------------------------------------------------------------
// Hexadecimal digits

const char* byte_to_hex(u8 byte) { return &kByteHex[std::size_t(byte) * 3]; }

const char* to_hex(i32 value, bool trim) {
  static char text[9];
  u32 v = u32(value);
  for (int i = 7; i >= 0; --i, v >>= 4) text[i] = kHexDigits[v & 15];
  text[8] = 0;
  if (!trim) return text;
  if (value == 0) return text + 6;
  int first = 0;
  while (first < 7 && text[first] == '0') ++first;
  return text + first;
}

}  // namespace qel::string
