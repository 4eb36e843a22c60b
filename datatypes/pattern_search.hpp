// Linear-time search for long patterns, shared by find on strings and blocks.
//
// Comparing the pattern at every start position costs the product of the two
// lengths when the text repeats itself (a 100,000-unit pattern of "a"s in a
// million "a"s: 10^11 comparisons). Patterns at least LONG_PATTERN long are
// searched instead by Knuth-Morris-Pratt (units compared with ==, so text is
// folded before) or, for blocks, by a rolling hash of cell keys whose
// candidates are then checked cell by cell (Rabin-Karp); both answer the same
// match as the plain scan, in time proportional to the sum of the lengths.
#pragma once

#include <vector>

#include "runtime/cell.hpp"

namespace qel::pattern {

// Patterns shorter than this keep the plain scan, which is quicker for them.
inline constexpr i64 LONG_PATTERN = 32;

// The first start s (in increasing order) of the pattern in the text of n
// units read through at(i), 0 <= i < n, for which accept(s) holds; -1 when
// there is none.
template <class At, class Accept>
i64 first_match(const std::vector<u32>& pat, i64 n, At&& at, Accept&& accept) {
  const u32 m = u32(pat.size());
  if (m == 0 || n < i64(m)) return -1;
  // border[k]: the length of the longest proper prefix of pat[0..k] that is
  // also a suffix of it.
  std::vector<u32> border(m, 0);
  for (u32 k = 1, b = 0; k < m; ++k) {
    while (b && pat[k] != pat[b]) b = border[b - 1];
    if (pat[k] == pat[b]) ++b;
    border[k] = b;
  }
  u32 q = 0;  // units of the pattern matched so far
  for (i64 i = 0; i < n; ++i) {
    const u32 c = at(i);
    while (q && c != pat[q]) q = border[q - 1];
    if (c == pat[q]) ++q;
    if (q == m) {
      const i64 s = i - m + 1;
      if (accept(s)) return s;
      q = border[m - 1];
    }
  }
  return -1;
}

// A well-spread 64-bit key of a class tag and a 32-bit value.
inline u64 mix(u32 tag, u64 value) {
  u64 x = (u64(tag) << 56) ^ value;
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace qel::pattern
