// What the two QELBIN layouts share inside io/: the codes of the compact
// layout, the limits, the symbol table and the word owners both readers and
// the encoders' walk (io/qelbin_walk.hpp) agree on.
#pragma once

#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "datatypes/context.hpp"
#include "datatypes/symbol.hpp"
#include "runtime/error.hpp"
#include "runtime/cell.hpp"
#include "runtime/memory.hpp"

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

inline void put_varint(std::vector<u8>& out, u32 v) {
  while (v >= 0x80) {
    out.push_back(u8(v | 0x80));
    v >>= 7;
  }
  out.push_back(u8(v));
}

// The symbol table an encoder writes: each symbol's name once, NUL-ended
// and padded with NULs to a multiple of `align` bytes, and where each name
// starts. index() answers a symbol's place, adding it the first time.
struct SymbolTable {
  std::vector<u8> names;
  std::vector<u32> offsets;
  u32 align = 1;
  std::unordered_map<u32, u32> known;

  u32 index(u32 sym) {
    auto it = known.find(sym);
    if (it != known.end()) return it->second;
    u32 at = u32(offsets.size());
    known.emplace(sym, at);
    offsets.push_back(u32(names.size()));
    std::string_view name = symbol::name(sym);
    names.insert(names.end(), name.begin(), name.end());
    names.push_back(0);
    while (names.size() % align) names.push_back(0);
    return at;
  }
};

// The owner a word is written with: TYPE_OBJECT or TYPE_FUNCTION when its
// context is one's, else TYPE_NONE (unbound, global, or of a context no
// such value owns: written as a global word).
inline Type word_owner_type(u32 ctx) {
  if (ctx == 0 || ctx == context::global || !context::is_context(ctx)) return TYPE_NONE;
  Type t = type_of(context::self_slot(ctx));
  return t == TYPE_OBJECT || t == TYPE_FUNCTION ? t : TYPE_NONE;
}

// The full-layout stream of `size` bytes (magic and flags included) as a
// compact stream of the same records, for the compact reader. Raises
// invalid-data or qb-invalid-record (at offsets of the full stream).
std::vector<u8> full_to_compact(const u8* data, std::size_t size, u8 flags);

}  // namespace qel::qelbin::detail
