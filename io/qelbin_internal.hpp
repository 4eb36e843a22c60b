// What the two QELBIN layouts share inside io/: the codes of the compact
// layout, the limits, and the checks both walks make.
#pragma once

#include <cstddef>
#include <vector>

#include "runtime/cell.hpp"

namespace qel::qelbin::detail {

inline constexpr u8 CODE_NEW_LINE = 0xC0;
inline constexpr u8 CODE_REFERENCE = 0xC1;
inline constexpr u8 CODE_TRUE = 0xC2;
inline constexpr u8 CODE_FALSE = 0xC3;
inline constexpr u8 CODE_BOOT_WORD = 0xC4;
inline constexpr u8 CODE_COPY = 0xFF;
inline constexpr u8 CODE_SMALL_INT = 0x80;
inline constexpr u8 HEADER_FLAG = 0x40;
inline constexpr u32 PATH_MAX_LENGTH = 65536;
// Deeper nesting than this is refused both ways, so that neither walk can
// exhaust the C++ stack.
inline constexpr u32 DEPTH_MAX = 4000;

[[noreturn]] void no_codec(Type t);

inline bool block_like(Type t) {
  return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_PATH || t == TYPE_LIT_PATH ||
         t == TYPE_SET_PATH || t == TYPE_GET_PATH || t == TYPE_HASH;
}
inline bool string_like(Type t) {
  return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG ||
         t == TYPE_EMAIL || t == TYPE_REF;
}

inline void put_varint(std::vector<u8>& out, u32 v) {
  while (v >= 0x80) {
    out.push_back(u8(v | 0x80));
    v >>= 7;
  }
  out.push_back(u8(v));
}

// The full-layout stream of `size` bytes (magic and flags included) as a
// compact stream of the same records, for the compact reader. Raises
// invalid-data or qb-invalid-record (at offsets of the full stream).
std::vector<u8> full_to_compact(const u8* data, std::size_t size, u8 flags);

}  // namespace qel::qelbin::detail
