#include "runtime/casefold.hpp"

#include <algorithm>
#include <cstdint>

#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"

namespace qel::casefold {

namespace {

#include "runtime/case_tables.inc"

constexpr u32 BMP = 0x10000;

// Direct tables for U+0000-U+FFFF: the mapped code point, or 0 for none.
u32 g_upper[BMP];
u32 g_lower[BMP];
bool g_ready = false;

template <std::size_t N>
void fill(u32* table, const std::uint32_t (&pairs)[N]) {
  for (std::size_t i = 0; i < N; i += 2) table[pairs[i]] = pairs[i + 1];
}

// Sorted pair lists: binary search on the first member.
template <std::size_t N>
u32 search(const std::uint32_t (&pairs)[N], u32 cp) {
  std::size_t lo = 0, hi = N / 2;
  while (lo < hi) {
    std::size_t mid = (lo + hi) / 2;
    u32 key = pairs[mid * 2];
    if (key == cp) return pairs[mid * 2 + 1];
    if (key < cp) lo = mid + 1; else hi = mid;
  }
  return cp;
}

}  // namespace

void init() {
  if (g_ready) return;
  fill(g_upper, kUpperBmp);
  fill(g_lower, kLowerBmp);
  g_ready = true;
}

u32 fold_case_wide(u32 cp, bool upper) {
  if (cp < BMP) {
    // The first character past ASCII that folds fills the tables.
    if (!g_ready) [[unlikely]] init();
    u32 mapped = upper ? g_upper[cp] : g_lower[cp];
    return mapped ? mapped : cp;
  }
  return upper ? search(kUpperAstral, cp) : search(kLowerAstral, cp);
}

}  // namespace qel::casefold
