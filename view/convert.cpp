#include "view/convert.hpp"

#include <time.h>

#include <cmath>

#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/word.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"

namespace qel::view::convert {

namespace {

struct FlagWord {
  const char* name;
  u32 bit;
};
const FlagWord kFlags[] = {
    {"all-over", ALL_OVER},     {"focusable", FOCUSABLE},   {"tri-state", TRI_STATE},
    {"scrollable", SCROLLABLE}, {"password", PASSWORD},     {"no-sync", NO_SYNC},
    {"fullscreen", FULLSCREEN}, {"popup", POPUP},           {"modal", MODAL},
    {"resize", RESIZE},         {"no-buttons", NO_BUTTONS}, {"no-max", NO_MAX},
    {"no-min", NO_MIN},         {"no-title", NO_TITLE},     {"no-border", NO_BORDER},
};

bool is_word(Type t) {
  return t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD || t == TYPE_SET_WORD;
}

// The bit of one flag word; invalid-arg for any other value.
u32 flag_bit(const Cell* w) {
  if (is_word(type_of(w))) {
    u32 s = symbol::resolve(word::symbol_of(w));
    for (const FlagWord& f : kFlags)
      if (symbol::resolve(symbol::make(f.name)) == s) return f.bit;
  }
  Cell copy = *w;
  fire(Err::script_invalid_arg, &copy);
}

}  // namespace

u32 get_flags(const Cell* flags) {
  if (type_of(flags) == TYPE_WORD) return flag_bit(flags);
  if (type_of(flags) != TYPE_BLOCK) return 0;
  u32 mask = 0;
  u32 node = series_node(flags);
  for (u32 i = u32(series_index(flags) < 0 ? 0 : series_index(flags));
       i < mem::buffer_of(node)->used() / sizeof(Cell); ++i) {
    Cell w = mem::buffer_of(node)->cells()[i];  // symbol::make may allocate
    mask |= flag_bit(&w);
  }
  return mask;
}

u32 tuple_to_colour(const Cell* t) {
  u32 c = 0;
  u32 n = tuple::count(t) < 4 ? tuple::count(t) : 4;
  for (u32 i = 0; i < n; ++i) c |= u32(tuple::byte(t, i)) << (8 * i);
  return c;
}

void pair_to_point(Cell* c) { point::make_2d_at(c, float(pair::x(c)), float(pair::y(c))); }

void point_to_pair(Cell* c) {
  auto trunc = [](float f) -> i32 {
    if (std::isnan(f)) return 0;
    if (f >= 2147483647.0f) return INT32_MAX;
    if (f <= -2147483648.0f) return INT32_MIN;
    return i32(f);  // toward zero
  };
  i32 x = trunc(point::coord(c, 0)), y = trunc(point::coord(c, 1));
  pair::make_at(c, x, y);
}

u64 read_counter() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return u64(ts.tv_sec) * 1000000000u + u64(ts.tv_nsec);
}

double elapsed_ms(u64& since) {
  u64 now = read_counter();
  i64 ticks = i64(now - since);
  if (ticks < 0) {
    ticks = 0x7FFFFFFF;
    since = now;
  }
  return double(ticks) * 1000.0 / 1e9;
}

u32 table_find(const Table& t, u32 key) {
  for (u32 i = 0; i < t.count; ++i)
    if (t.entries[i].key == key) return t.entries[i].value;
  return 0;
}

bool table_add(Table& t, u32 key, u32 value) {
  if (t.count >= Table::CAPACITY) return false;
  t.entries[t.count++] = {key, value};
  return true;
}

}  // namespace qel::view::convert
