#include "datatypes/series.hpp"
#include "runtime/casefold.hpp"

#include <algorithm>
#include <cstdint>

#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "runtime/hash.hpp"
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

u32 fold_case_char(u32 cp, bool upper) {
  if (cp < BMP) {
    // Start-up fills the tables at its step; code that folds earlier (words
    // interned before that step) fills them first.
    if (!g_ready) [[unlikely]] init();
    u32 mapped = upper ? g_upper[cp] : g_lower[cp];
    return mapped ? mapped : cp;
  }
  return upper ? search(kUpperAstral, cp) : search(kLowerAstral, cp);
}

Cell* change_case(Cell* value, const Cell* part, bool upper) {
  Type t = type_of(value);
  if (t == TYPE_CHAR) {
    value->w2 = fold_case_char(value->w2, upper);
    return value;
  }
  if (!is_any_string_type(t)) {
    Cell call, type, name;
    stack::get_call(&call);
    make_datatype(&type, t);
    make_none(&name);
    fire(Err::script_expect_arg, &call, &type, &name);
  }
  u32 node = series_node(value);
  mem::Buffer* b = mem::buffer_of(node);
  i64 total = b->used() / unicode::unit_of(b);
  i64 index = std::clamp<i64>(series_index(value), 0, total);
  set_series_index(value, i32(index));
  i64 count = total - index;
  if (part) {
    if (type_of(part) == TYPE_INTEGER) {
      count = int_of(part);
    } else if (type_of(part) == t && series_node(part) == node) {
      count = i64(series_index(part)) - index;
    } else {
      // The word part goes in the first argument once words exist.
      fire(Err::script_invalid_refine_arg, series::arg_word(series::ArgWord::part), part);
    }
    count = std::clamp<i64>(count, 0, total - index);
  }
  // Each write may widen (and so move) the buffer: positions are unit
  // indexes, read back through the node every time.
  for (i64 i = index; i < index + count; ++i) {
    mem::Buffer* cur = mem::buffer_of(node);
    u32 unit = unicode::unit_of(cur);
    u32 cp = string::get_char(cur->head_ptr() + u64(i) * unit, unit);
    u32 folded = fold_case_char(cp, upper);
    if (folded != cp) string::poke_char(node, u32(i), folded);
  }
  // An owning object hears of the change as of any other: its
  // on-deep-change* gets the native's word, the index and the count.
  if (mem::buffer_of(node)->flags & mem::SERIES_OWNED) {
    Cell action = *intern_word(upper ? "uppercase" : "lowercase");
    ownership::check(value, &action, nullptr, i32(index), i32(count));
  }
  return value;
}

}  // namespace qel::casefold
