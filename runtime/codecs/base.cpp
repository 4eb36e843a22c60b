// Base-2, base-16, base-58 and base-64 encoders and decoders.
#include "runtime/codecs/base.hpp"

#include <algorithm>
#include <array>

namespace qel::codecs::base {

namespace {

constexpr char kAlphabet64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kAlphabet58[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr char kHex[] = "0123456789ABCDEF";

// Decoding classes of ASCII codes: a digit value, skip, or invalid.
constexpr i32 SKIP = -1;
constexpr i32 BAD = -2;
constexpr i32 PAD = 64;  // "=" in the base-64 table

using Table = std::array<i32, 128>;

constexpr Table make_table(const char* alphabet, bool padding) {
  Table t{};
  for (auto& e : t) e = BAD;
  for (i32 i = 0; alphabet[i]; ++i) t[u8(alphabet[i])] = i;
  for (int c : {8, 9, 10, 12, 13, 32, int('\'')}) t[std::size_t(c)] = SKIP;
  if (padding) t['='] = PAD;
  return t;
}
constexpr Table kTable64 = make_table(kAlphabet64, true);
constexpr Table kTable58 = make_table(kAlphabet58, false);

inline u32 char_at(const u8* p, u32 unit, u32 i) {
  const u8* q = p + std::size_t(i) * unit;
  switch (unit) {
    case 1: return q[0];
    case 2: return u32(q[0]) | (u32(q[1]) << 8);
    default: return u32(q[0]) | (u32(q[1]) << 8) | (u32(q[2]) << 16) | (u32(q[3]) << 24);
  }
}

// Walks the code points of the text, calling step(cp) for each one outside
// a comment; a comment that reaches the end ends the walk. step answers
// false to stop (a failure or the end of the data).
template <class Step>
void walk(const u8* chars, u32 unit, u32 count, Step&& step) {
  for (u32 i = 0; i < count; ++i) {
    u32 c = char_at(chars, unit, i);
    if (c == ';') {
      while (i < count && char_at(chars, unit, i) != '\n') ++i;
      if (i >= count) return;
      c = '\n';
    }
    if (!step(c)) return;
  }
}

inline int hex_value(u32 c) {
  if (c >= '0' && c <= '9') return int(c - '0');
  if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
  return -1;
}

}  // namespace

// ---- encoders ---------------------------------------------------------------------------

std::string encode_2(const u8* bytes, std::size_t n) {
  std::string out(n * 8, '0');
  for (std::size_t i = 0; i < n; ++i) {
    for (int b = 0; b < 8; ++b) {
      if (bytes[i] & (0x80 >> b)) out[i * 8 + std::size_t(b)] = '1';
    }
  }
  return out;
}

std::string encode_16(const u8* bytes, std::size_t n) {
  std::string out(n * 2, '0');
  for (std::size_t i = 0; i < n; ++i) {
    out[i * 2] = kHex[bytes[i] >> 4];
    out[i * 2 + 1] = kHex[bytes[i] & 15];
  }
  return out;
}

std::string encode_64(const u8* bytes, std::size_t n) {
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    u32 v = (u32(bytes[i]) << 16) | (u32(bytes[i + 1]) << 8) | bytes[i + 2];
    out += kAlphabet64[v >> 18];
    out += kAlphabet64[(v >> 12) & 63];
    out += kAlphabet64[(v >> 6) & 63];
    out += kAlphabet64[v & 63];
  }
  if (n - i == 1) {
    u32 v = u32(bytes[i]) << 16;
    out += kAlphabet64[v >> 18];
    out += kAlphabet64[(v >> 12) & 63];
    out += "==";
  } else if (n - i == 2) {
    u32 v = (u32(bytes[i]) << 16) | (u32(bytes[i + 1]) << 8);
    out += kAlphabet64[v >> 18];
    out += kAlphabet64[(v >> 12) & 63];
    out += kAlphabet64[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string encode_58(const u8* bytes, std::size_t n) {
  std::size_t zeros = 0;
  while (zeros < n && bytes[zeros] == 0) ++zeros;
  // Long division of the big-endian number by 58, digits from the end.
  std::vector<u8> number(bytes + zeros, bytes + n);
  std::string digits;
  std::size_t first = 0;
  while (first < number.size()) {
    u32 rem = 0;
    for (std::size_t i = first; i < number.size(); ++i) {
      u32 acc = (rem << 8) | number[i];
      number[i] = u8(acc / 58);
      rem = acc % 58;
    }
    digits += kAlphabet58[rem];
    while (first < number.size() && number[first] == 0) ++first;
  }
  std::string out(zeros, '1');
  out.append(digits.rbegin(), digits.rend());
  return out;
}

u64 encoded_size(int base, u64 n) {
  switch (base) {
    case 2: return n * 8;
    case 16: return n * 2;
    case 58: return n * 2;
    default: return (n + 2) / 3 * 4;
  }
}

// ---- decoders ---------------------------------------------------------------------------

Decoded decode_2(const u8* chars, u32 unit, u32 count) {
  std::vector<u8> out;
  out.reserve(count / 8);
  u32 acc = 0, bits = 0;
  bool ok = true;
  walk(chars, unit, count, [&](u32 c) {
    if (c <= ' ') return true;
    if (c != '0' && c != '1') return ok = false;
    acc = (acc << 1) | (c - '0');
    if (++bits == 8) {
      out.push_back(u8(acc));
      acc = bits = 0;
    }
    return true;
  });
  if (!ok || bits) return std::nullopt;
  return out;
}

Decoded decode_16(const u8* chars, u32 unit, u32 count) {
  std::vector<u8> out;
  out.reserve(count / 2);
  int high = -1;
  bool ok = true;
  walk(chars, unit, count, [&](u32 c) {
    if (c <= ' ') return true;
    int h = c < 128 ? hex_value(c) : -1;  // beyond ASCII: no digit
    if (h < 0) return ok = false;
    if (high < 0) {
      high = h;
    } else {
      out.push_back(u8((high << 4) | h));
      high = -1;
    }
    return true;
  });
  if (!ok || high >= 0) return std::nullopt;
  return out;
}

Decoded decode_64(const u8* chars, u32 unit, u32 count) {
  std::vector<u8> out;
  out.reserve(std::size_t(count) * 3 / 4 + 3);
  u32 acc = 0, digits = 0;
  bool ok = true, padded = false;
  walk(chars, unit, count, [&](u32 c) {
    i32 v = c < 128 ? kTable64[c] : BAD;
    if (v == SKIP) return true;
    if (v == BAD) return ok = false;
    if (v == PAD) {
      if (digits == 3) {
        out.push_back(u8(acc >> 10));
        out.push_back(u8(acc >> 2));
      } else if (digits == 2) {
        out.push_back(u8(acc >> 4));
      } else {
        return ok = false;
      }
      padded = true;
      return false;
    }
    acc = (acc << 6) | u32(v);
    if (++digits == 4) {
      out.push_back(u8(acc >> 16));
      out.push_back(u8(acc >> 8));
      out.push_back(u8(acc));
      acc = digits = 0;
    }
    return true;
  });
  if (!ok) return std::nullopt;
  if (!padded) {
    // Digits left without padding still hold whole bytes: 2 digits one byte,
    // 3 digits two; a single digit holds no byte.
    if (digits == 1) return std::nullopt;
    if (digits == 2) out.push_back(u8(acc >> 4));
    if (digits == 3) {
      out.push_back(u8(acc >> 10));
      out.push_back(u8(acc >> 2));
    }
  }
  return out;
}

Decoded decode_58(const u8* chars, u32 unit, u32 count) {
  std::vector<u8> digits;
  bool ok = true;
  walk(chars, unit, count, [&](u32 c) {
    i32 v = c < 128 ? kTable58[c] : BAD;
    if (v == SKIP) return true;
    if (v == BAD) return ok = false;
    digits.push_back(u8(v));
    return true;
  });
  if (!ok) return std::nullopt;
  std::size_t zeros = 0;
  while (zeros < digits.size() && digits[zeros] == 0) ++zeros;
  // Long division of the base-58 number by 256, bytes from the end.
  std::vector<u8> bytes;
  std::size_t first = zeros;
  while (first < digits.size()) {
    u32 rem = 0;
    for (std::size_t i = first; i < digits.size(); ++i) {
      u32 acc = rem * 58 + digits[i];
      digits[i] = u8(acc / 256);
      rem = acc % 256;
    }
    bytes.push_back(u8(rem));
    while (first < digits.size() && digits[first] == 0) ++first;
  }
  std::vector<u8> out(zeros, 0);
  out.insert(out.end(), bytes.rbegin(), bytes.rend());
  return out;
}

Decoded decode(int base, const u8* chars, u32 unit, u32 count) {
  switch (base) {
    case 2: return decode_2(chars, unit, count);
    case 16: return decode_16(chars, unit, count);
    case 58: return decode_58(chars, unit, count);
    case 64: return decode_64(chars, unit, count);
    default: return std::nullopt;
  }
}

}  // namespace qel::codecs::base
