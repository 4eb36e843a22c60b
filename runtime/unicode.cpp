#include "runtime/unicode.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "runtime/error.hpp"
#include "runtime/errors.hpp"
#include "runtime/roots.hpp"
#include "runtime/startup.hpp"

namespace qel::unicode {

using mem::Buffer;
using mem::buffer_of;

// ---------------------------------------------------------------------------
// The UTF-8 automaton: 256 byte classes, then the transitions indexed by
// 256 + state + class. States are multiples of 12 (one row of 12 classes
// each): 0 accept, 12 reject, 24 one continuation byte to go, 36 two to go,
// 48 after E0 (A0-BF next: no overlong forms), 60 after ED (80-9F next: no
// surrogates), 72 after F0 (90-BF next: no overlong forms), 84 after F1-F3,
// 96 after F4 (80-8F next: nothing above 10FFFF).

namespace {

constexpr u8 ACCEPT = 0;
constexpr u8 REJECT = 12;

constexpr std::array<u8, 364> make_automaton() {
  std::array<u8, 364> a{};
  auto classes = [&a](int lo, int hi, u8 c) {
    for (int b = lo; b <= hi; ++b) a[std::size_t(b)] = c;
  };
  classes(0x00, 0x7F, 0);   // ASCII
  classes(0x80, 0x8F, 1);   // continuation
  classes(0x90, 0x9F, 9);   // continuation
  classes(0xA0, 0xBF, 7);   // continuation
  classes(0xC0, 0xC1, 8);   // never valid (overlong lead)
  classes(0xC2, 0xDF, 2);   // 2-byte lead
  classes(0xE0, 0xE0, 10);  // 3-byte lead, overlong risk
  classes(0xE1, 0xEC, 3);   // 3-byte lead
  classes(0xED, 0xED, 4);   // 3-byte lead, surrogate risk
  classes(0xEE, 0xEF, 3);   // 3-byte lead
  classes(0xF0, 0xF0, 11);  // 4-byte lead, overlong risk
  classes(0xF1, 0xF3, 6);   // 4-byte lead
  classes(0xF4, 0xF4, 5);   // 4-byte lead, range risk
  classes(0xF5, 0xFF, 8);   // never valid
  //                      class: 0   1   2   3   4   5   6   7   8   9  10  11
  constexpr u8 rows[9][12] = {{ 0, 12, 24, 36, 60, 96, 84, 12, 12, 12, 48, 72},   // 0
                              {12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12},   // 12
                              {12,  0, 12, 12, 12, 12, 12,  0, 12,  0, 12, 12},   // 24
                              {12, 24, 12, 12, 12, 12, 12, 24, 12, 24, 12, 12},   // 36
                              {12, 12, 12, 12, 12, 12, 12, 24, 12, 12, 12, 12},   // 48
                              {12, 24, 12, 12, 12, 12, 12, 12, 12, 24, 12, 12},   // 60
                              {12, 12, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12},   // 72
                              {12, 36, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12},   // 84
                              {12, 36, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12}};  // 96
  for (int s = 0; s < 9; ++s) {
    for (int c = 0; c < 12; ++c) a[std::size_t(256 + s * 12 + c)] = rows[s][c];
  }
  return a;
}

constexpr std::array<u8, 364> kUtf8 = make_automaton();

inline u8 byte_class(u8 b) { return kUtf8[b]; }
inline u8 step(u32 state, u8 cls) { return kUtf8[256 + state + cls]; }

// Input bytes inside the memory region may belong to a buffer that moves when
// the loader allocates: such bytes are copied aside first.
const u8* hold_aside(const u8* bytes, std::size_t n, std::vector<u8>& aside) {
  auto p = reinterpret_cast<std::uintptr_t>(bytes);
  auto lo = reinterpret_cast<std::uintptr_t>(mem::region);
  if (n && mem::region && p >= lo && p - lo < config::REGION_BYTES) {
    aside.assign(bytes, bytes + n);
    return aside.data();
  }
  return bytes;
}

// The buffer a loader writes count code points of at least `unit` into: a
// new one, or the target's refilled from its head (never narrowed, expanded
// when too small). Its unit is set and its tail is at its head.
u32 prepare_target(Cell* target, u32 count, u32 unit) {
  if (!target) return mem::alloc_series(std::max<u32>(count, 1), unit, 0);
  u32 node = series_node(target);
  Buffer* b = buffer_of(node);
  unit = std::max(unit, unit_of(b));
  u64 need = u64(count) * unit;
  if (need > b->end_offset() - b->head) {
    if (need > 0xF0000000ull) raise_memory_error(MemoryError::no_memory);
    b = mem::expand_series(node, u32(need));
  }
  b->flags = (b->flags & ~mem::SERIES_UNIT_MASK) | unit;
  b->tail = b->head;
  return node;
}

// The end of the run of bytes from p (before stop) that stand for
// themselves: ASCII, and no CR when line ends are converted. Sixteen bytes
// are tested at a time; most text is such runs.
inline const u8* plain_ascii_end(const u8* p, const u8* stop, bool crlf) {
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  if (crlf) {
    while (stop - p >= 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      u32 bits = u32(_mm_movemask_epi8(v)) | u32(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)));
      if (bits) return p + __builtin_ctz(bits);
      p += 16;
    }
  } else {
    while (stop - p >= 16) {
      u32 bits = u32(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
      if (bits) return p + __builtin_ctz(bits);
      p += 16;
    }
  }
#endif
  while (p < stop && *p < 0x80 && !(crlf && *p == '\r')) ++p;
  return p;
}

// Walks UTF-8 text from p, handing each code point to put and each run of
// plain ASCII bytes (see plain_ascii_end) to run (start, count), until stop;
// bytes up to end may be looked at (a CR's partner). With pieces a cut
// sequence, or with crlf a CR that is the last byte, ends the walk;
// without, a cut sequence is invalid. Answers where the walk ended.
template <class Put, class Run>
const u8* walk_utf8(const u8* p, const u8* stop, const u8* end, bool crlf, bool pieces, Put&& put,
                    Run&& run) {
  while (p < stop) {
    if (const u8* q = plain_ascii_end(p, stop, crlf); q != p) {
      run(p, u32(q - p));
      p = q;
      continue;
    }
    u8 b = *p;
    if (b < 0x80) {
      if (b == '\r' && crlf) {
        if (p + 1 == end) {
          if (pieces) return p;
        } else if (p[1] == '\n') {
          ++p;  // CR LF: the LF that follows stands for both
          continue;
        }
        b = '\n';
      }
      put(u32(b));
      ++p;
      continue;
    }
    u32 n = u32(end - p);
    i32 cp = decode_utf8_char_checked(p, n);
    if (cp < 0) {
      if (pieces) return p;
      raise_invalid_utf8(p, u32(end - p));
    }
    put(u32(cp));
    p += n;
  }
  return p;
}

inline u32 read16(const u8* p) { return u32(p[0]) | (u32(p[1]) << 8); }
inline bool is_high_surrogate(u32 u) { return u >= 0xD800 && u <= 0xDBFF; }
inline bool is_low_surrogate(u32 u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Walks count UTF-16LE units, handing each code point to put (with the
// line-end rule of walk_utf8); a lone surrogate is invalid.
template <class Put>
void walk_utf16(const u8* units, u32 count, bool crlf, Put&& put) {
  for (u32 i = 0; i < count; ++i) {
    u32 u = read16(units + u64(i) * 2);
    if (is_high_surrogate(u)) {
      u32 next = i + 1 < count ? read16(units + u64(i + 1) * 2) : 0;
      if (!is_low_surrogate(next)) raise_invalid_utf8(units + u64(i) * 2, 2);
      put((((u & 0x3FF) << 10) | (next & 0x3FF)) + 0x10000);
      ++i;
      continue;
    }
    if (is_low_surrogate(u)) raise_invalid_utf8(units + u64(i) * 2, 2);
    if (u == '\r' && crlf) {
      if (i + 1 < count && read16(units + u64(i + 1) * 2) == '\n') continue;
      u = '\n';
    }
    put(u);
  }
}

// The units of a string from its index (clamped to the tail), at most limit
// of them (negative: all).
struct Run {
  const u8* p;
  u32 unit;
  u32 count;
};
Run run_of(const Cell* str, i64 limit) {
  Buffer* b = buffer_of(series_node(str));
  u32 unit = unit_of(b);
  u32 total = b->used() / unit;
  u32 index = u32(std::clamp<i64>(series_index(str), 0, total));
  u32 n = total - index;
  if (limit >= 0 && limit < n) n = u32(limit);
  return {b->head_ptr() + u64(index) * unit, unit, n};
}

inline i32 clamp_to_i32(std::size_t n) { return n > std::size_t(INT32_MAX) ? INT32_MAX : i32(n); }

}  // namespace

void bad_unit() { runtime::sys_quit(101); }

void raise_invalid_utf8(const u8* p, u32 n) {
  std::vector<u8> bytes(p, p + n);  // p may lie in a buffer that the allocation moves
  roots::LocalCell bin;
  u32 node = mem::alloc_bytes(n);
  Buffer* b = buffer_of(node);
  if (n) std::memcpy(b->head_ptr(), bytes.data(), n);
  b->tail = b->head + n;
  make_series(bin.get(), TYPE_BINARY, node);
  fire(Err::access_invalid_utf8, bin.get());
}

void raise_invalid_char(u32 cp) {
  Cell c;
  make_integer(&c, i32(cp));
  fire(Err::script_invalid_char, &c);
}

// ---------------------------------------------------------------------------
// UTF-8 decoding

const u8* fast_decode_utf8_char(const u8* p, const u8* end, i32& cp) {
  u8 b = *p++;
  u8 cls = byte_class(b);
  u32 value = (0xFFu >> cls) & b;
  u32 state = step(ACCEPT, cls);
  while (state != ACCEPT && state != REJECT) {
    if (p == end) {
      cp = -1;
      return p;
    }
    b = *p++;
    value = (value << 6) | (b & 0x3Fu);
    state = step(state, byte_class(b));
  }
  cp = state == ACCEPT ? i32(value) : -1;
  return p;
}

u32 count_utf8_chars(const u8* start, const u8* end) {
  u32 n = 0;
  i32 cp;
  for (const u8* p = start; p < end; ++n) p = fast_decode_utf8_char(p, end, cp);
  return n;
}

const u8* skip_utf8_chars(const u8* p, const u8* end, u32 n) {
  i32 cp;
  for (; n && p < end; --n) p = fast_decode_utf8_char(p, end, cp);
  return p;
}

u32 utf8_lead_length(u8 byte) {
  if ((byte & 0xF0) == 0xF0) return 4;
  if ((byte & 0xE0) == 0xE0) return 3;
  if ((byte & 0xC0) == 0xC0) return 2;
  return 0;
}

i32 decode_utf8_char_checked(const u8* p, u32& available) {
  u8 b = p[0];
  if (b < 0x80) {
    available = 1;
    return b;
  }
  u32 bad = std::min<u32>(available, 4);
  u8 cls = byte_class(b);
  u32 value = (0xFFu >> cls) & b;
  u32 state = step(ACCEPT, cls);
  u32 i = 1;
  while (state != ACCEPT) {
    if (state == REJECT) raise_invalid_utf8(p, bad);
    if (i >= available) return -1;
    b = p[i++];
    value = (value << 6) | (b & 0x3Fu);
    state = step(state, byte_class(b));
  }
  available = i;
  return i32(value);
}

u32 load_utf8(const u8* bytes, u32 length, Cell* target, u32* remaining, bool crlf) {
  std::vector<u8> aside;
  bytes = hold_aside(bytes, length, aside);
  const u8* p = bytes;
  const u8* end = bytes + length;
  if (length >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) p += 3;
  bool pieces = remaining != nullptr;
  // First pass: validate, count, and find the unit the text needs, so that
  // the buffer is allocated once with its final unit and size.
  u32 count = 0, widest = 0;
  const u8* stop = walk_utf8(
      p, end, end, crlf, pieces,
      [&](u32 cp) {
        ++count;
        widest = std::max(widest, cp);
      },
      [&](const u8*, u32 n) { count += n; });
  u32 node = prepare_target(target, count, unit_for(widest));
  Buffer* b = buffer_of(node);
  u32 unit = b->unit();
  u8* out = b->head_ptr();
  walk_utf8(
      p, stop, end, crlf, pieces,
      [&](u32 cp) {
        put_char(out, unit, cp);
        out += unit;
      },
      [&](const u8* from, u32 n) {
        if (unit == 1) {
          std::memcpy(out, from, n);
          out += n;
        } else {
          for (u32 i = 0; i < n; ++i, out += unit) put_char(out, unit, from[i]);
        }
      });
  b->tail = mem::offset_of(out);
  if (remaining) *remaining = u32(end - stop);
  return node;
}

u32 load_utf8_series(const u8* bytes, u32 length, Cell* str, u32* remaining) {
  return load_utf8(bytes, length, str, remaining, false);
}

u32 load_utf8_buffer(const u8* bytes, u32 length) {
  return load_utf8(bytes, length, nullptr, nullptr, false);
}

// ---------------------------------------------------------------------------
// UTF-8 encoding

u32 utf8_char_length(u32 cp) {
  if (cp < 0x80) return 1;
  if (cp < 0x800) return 2;
  if (cp < 0x10000) return 3;
  if (cp <= MAX_CODE_POINT) return 4;
  raise_invalid_char(cp);
}

u64 utf8_size_of_units(const u8* start, const u8* end, u32 unit) {
  u64 n = 0;
  for (const u8* p = start; p < end; p += unit) n += utf8_char_length(get_char(p, unit));
  return n;
}

u32 encode_utf8_char(u32 cp, u8* out) {
  // A lone surrogate is no character of UTF-8: it is written as U+FFFD
  // (three bytes, as long as the surrogate's own form would be).
  if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
  u32 n = utf8_char_length(cp);
  switch (n) {
    case 1:
      out[0] = u8(cp);
      break;
    case 2:
      out[0] = u8(0xC0 | (cp >> 6));
      out[1] = u8(0x80 | (cp & 0x3F));
      break;
    case 3:
      out[0] = u8(0xE0 | (cp >> 12));
      out[1] = u8(0x80 | ((cp >> 6) & 0x3F));
      out[2] = u8(0x80 | (cp & 0x3F));
      break;
    default:
      out[0] = u8(0xF0 | (cp >> 18));
      out[1] = u8(0x80 | ((cp >> 12) & 0x3F));
      out[2] = u8(0x80 | ((cp >> 6) & 0x3F));
      out[3] = u8(0x80 | (cp & 0x3F));
      break;
  }
  return n;
}

u32 encode_utf8_char_bounded(u32 cp, u8* out, u32 room) {
  if (utf8_char_length(cp) > room) return 0;
  return encode_utf8_char(cp, out);
}

u32 to_utf8(const Cell* str, u8* out, i32 limit, bool nul) {
  Run r = run_of(str, limit);
  u8* o = out;
  for (u32 i = 0; i < r.count; ++i) o += encode_utf8_char(get_char(r.p + u64(i) * r.unit, r.unit), o);
  if (nul) *o = 0;
  return u32(o - out);
}

u32 to_utf8_bounded(const Cell* str, u8* out, u32 room, u32 limit, bool nul) {
  Run r = run_of(str, limit ? i64(limit) : -1);
  u32 written = 0;
  for (u32 i = 0; i < r.count; ++i) {
    u32 n = encode_utf8_char_bounded(get_char(r.p + u64(i) * r.unit, r.unit), out + written,
                                     room - written);
    if (!n) break;
    written += n;
  }
  if (nul) out[written] = 0;
  return written;
}

std::string to_utf8_cached_with(const Cell* str, i32& limit, bool crlf) {
  Run r = run_of(str, limit);
  std::string s;
  s.reserve(r.count);
  u8 seq[4];
  for (u32 i = 0; i < r.count; ++i) {
    u32 cp = get_char(r.p + u64(i) * r.unit, r.unit);
    if (cp < 0x80) {
      if (cp == '\n' && crlf) s.push_back('\r');
      s.push_back(char(cp));
      continue;
    }
    u32 n = encode_utf8_char(cp, seq);
    s.append(reinterpret_cast<const char*>(seq), n);
  }
  limit = clamp_to_i32(s.size());
  return s;
}

std::string to_utf8_cached(const Cell* str, i32& limit) { return to_utf8_cached_with(str, limit, false); }

// ---------------------------------------------------------------------------
// UTF-16

u32 utf16_unit_width(const u8* units, u32 count) {
  u32 width = 1;
  for (u32 i = 0; i < count; ++i) {
    u8 high = units[u64(i) * 2 + 1];
    if (high >= 0xD8 && high <= 0xDF) return 4;
    if (high) width = 2;
  }
  return width;
}

u32 load_utf16le(const u8* units, u32 count, Cell* target, bool crlf) {
  std::vector<u8> aside;
  units = hold_aside(units, std::size_t(count) * 2, aside);
  u32 n = 0;
  walk_utf16(units, count, crlf, [&n](u32) { ++n; });  // validates before anything is allocated
  u32 node = prepare_target(target, n, utf16_unit_width(units, count));
  Buffer* b = buffer_of(node);
  u32 unit = b->unit();
  u8* out = b->head_ptr();
  walk_utf16(units, count, crlf, [&](u32 cp) {
    put_char(out, unit, cp);
    out += unit;
  });
  b->tail = mem::offset_of(out);
  return node;
}

u32 encode_utf16_char(u32 cp, char16_t* out) {
  if (cp < 0x10000) {
    out[0] = char16_t(cp);
    return 1;
  }
  if (cp > MAX_CODE_POINT) return 0;
  cp -= 0x10000;
  out[0] = char16_t(0xD800 | (cp >> 10));
  out[1] = char16_t(0xDC00 | (cp & 0x3FF));
  return 2;
}

std::u16string to_utf16_len(const Cell* str, i32& limit, bool crlf) {
  Run r = run_of(str, limit);
  std::u16string s;
  s.reserve(r.count);
  char16_t pair[2];
  for (u32 i = 0; i < r.count; ++i) {
    u32 cp = get_char(r.p + u64(i) * r.unit, r.unit);
    if (cp == '\n' && crlf) s.push_back(u'\r');
    u32 n = encode_utf16_char(cp, pair);
    if (!n) raise_invalid_char(cp);
    s.append(pair, n);
  }
  limit = clamp_to_i32(s.size());
  return s;
}

std::u16string to_utf16(const Cell* str) {
  i32 limit = -1;
  return to_utf16_len(str, limit, true);
}

// ---------------------------------------------------------------------------
// Widening

Buffer* widen(u32 node, u32 unit) {
  Buffer* b = buffer_of(node);
  u32 old_unit = unit_of(b);
  if (unit <= old_unit) return b;
  u32 head_units = (b->head - b->data_offset()) / old_unit;
  u32 count = b->used() / old_unit;
  u64 need = u64(head_units + count) * unit;
  if (need > b->size) {
    u64 size = u64(count) * unit + 16;
    if (size > 0xF0000000ull) raise_memory_error(MemoryError::no_memory);
    b = mem::expand_series_copy(node, u32(size));  // the used part now starts the data area
    head_units = 0;
  }
  // From the last unit down, so that no unit is overwritten before it is read.
  u8* src = b->data() + u64(head_units) * old_unit;
  u8* dst = b->data() + u64(head_units) * unit;
  for (u32 i = count; i-- > 0;) {
    put_char(dst + u64(i) * unit, unit, get_char(src + u64(i) * old_unit, old_unit));
  }
  b->flags = (b->flags & ~mem::SERIES_UNIT_MASK) | unit;
  b->head = b->data_offset() + head_units * unit;
  b->tail = b->head + count * unit;
  return b;
}

}  // namespace qel::unicode
