// find, select and sort of string! (also what binary! inherits), and the
// matching tests that PARSE makes on strings.
//
// A search first turns the value into a needle (a code point, a bitset, a
// number, or a pattern of code points copied out of the value), which may
// allocate; only then does it read the series' units in place, and nothing
// allocates while it does. Text series compare case-insensitively (both
// sides folded to upper case) unless /case or /same is given.
//
// Sorting compares units the same way whatever their width: a string sorts
// in the same order whether it is held in 1, 2 or 4-byte units.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/bitset.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/pattern_search.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "datatypes/vector.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/roots.hpp"
#include "runtime/actions.hpp"
#include "runtime/casefold.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/sort.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"

namespace qel::string {

namespace {

using mem::Buffer;
using mem::buffer_of;
using unicode::unit_of;

Cell* none_answer() { return const_cast<Cell*>(&values::none_cell); }
[[noreturn]] void search_not_done() { fire(Err::internal_not_done); }

// A vector's unit is its element size, up to 8 bytes (sort takes vectors).
u32 total_of(const Cell* s) {
  Buffer* b = buffer_of(series_node(s));
  return b->used() / (type_of(s) == TYPE_VECTOR ? b->unit() : unit_of(b));
}

// Upper-case folding of the Basic Multilingual Plane, read once into a
// table so that a search folds a unit with one load.
const u32* bmp_folds() {
  static const std::vector<u32> table = [] {
    std::vector<u32> t(0x10000);
    for (u32 c = 0; c < t.size(); ++c) t[c] = casefold::upper(c);
    return t;
  }();
  return table.data();
}


// ---------------------------------------------------------------------------
// Searching

struct Needle {
  enum Kind { CODE_POINT, BITSET, NUMBER, PATTERN } kind = PATTERN;
  std::vector<u32> units;  // CODE_POINT: the one code point; PATTERN: the pattern
  u32 bitset = 0;          // BITSET: its node
  double number = 0;       // NUMBER: the element value looked for
  u32 length() const { return kind == PATTERN ? u32(units.size()) : 1; }
};

std::vector<u32> units_from_index(const Cell* s) {
  Buffer* b = buffer_of(series_node(s));
  u32 unit = unit_of(b);
  u32 total = b->used() / unit;
  u32 index = u32(std::clamp<i32>(series_index(s), 0, i32(total)));
  std::vector<u32> out(total - index);
  const u8* p = b->head_ptr() + u64(index) * unit;
  for (u32 i = 0; i < out.size(); ++i) out[i] = get_char(p + u64(i) * unit, unit);
  return out;
}

// Turns the value into what the search compares; may allocate.
Needle needle_of(Type series_type, Cell* value, bool fold) {
  Needle n;
  Type vt = type_of(value);
  stack::Mark mark;
  switch (vt) {
    case TYPE_CHAR:
      n.kind = Needle::CODE_POINT;
      n.units = {char_of(value)};
      break;
    case TYPE_BITSET:
      n.kind = Needle::BITSET;
      n.bitset = series_node(value);
      return n;  // bitsets are never folded
    case TYPE_BINARY:
      if (series_type != TYPE_BINARY) fire(Err::script_invalid_arg, value);
      n.units = units_from_index(value);
      break;
    case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_EMAIL: case TYPE_REF:
      n.units = units_from_index(value);
      break;
    case TYPE_WORD:
      n.units = units_from_index(word::to_string(value));
      break;
    case TYPE_INTEGER: case TYPE_FLOAT:
      if (series_type == TYPE_BINARY) {
        n.kind = Needle::NUMBER;
        n.number = vt == TYPE_INTEGER ? double(int_of(value)) : float_of(value);
        return n;
      }
      [[fallthrough]];
    default: {
      // Any other value (a tag! among them) is looked for as its form.
      Cell* text = make_at(make_none(stack::push()), 16);
      actions::form(value, text, nullptr, 0x7FFFFFFF);
      n.units = units_from_index(text);
      break;
    }
  }
  if (fold) {
    for (u32& c : n.units) c = casefold::upper(c);
  }
  return n;
}

template <class U>
inline u32 load(const u8* p) {
  U u;
  std::memcpy(&u, p, sizeof u);
  return u;
}

// The scan over candidate positions. Forward: each candidate is the start of
// a match that must end by hi. Backward: each candidate is the last unit of
// a match that must start at lo or after. once: only the first candidate.
// The first forward match of a pattern of bytes in 1-byte units, compared
// exactly: memchr finds the candidates for the first byte.
i64 scan_bytes(const u8* h, const std::vector<u32>& units, i64 first, i64 hi) {
  const i64 len = i64(units.size());
  std::string pattern(units.begin(), units.end());
  if (len >= pattern::LONG_PATTERN) {
    // glibc's memmem is linear in the text for long patterns.
    const void* at = ::memmem(h + first, std::size_t(hi - first), pattern.data(), std::size_t(len));
    return at ? static_cast<const u8*>(at) - h : -1;
  }
  const u8* p = h + first;
  const u8* end = h + hi - len + 1;  // the last start, plus one
  while (p < end) {
    p = static_cast<const u8*>(std::memchr(p, u8(pattern[0]), std::size_t(end - p)));
    if (!p) break;
    if (std::memcmp(p + 1, pattern.data() + 1, std::size_t(len - 1)) == 0) return p - h;
    ++p;
  }
  return -1;
}

// The scan over candidate positions. Forward: each candidate is the start of
// a match that must end by hi. Backward: each candidate is the last unit of
// a match that must start at lo or after. once: only the first candidate.
template <class U>
i64 scan(const u8* h, const Needle& nd, bool fold, i64 first, i64 lo, i64 hi, i64 step,
         bool backward, bool once) {
  const i64 len = nd.length();
  bool text = nd.kind == Needle::CODE_POINT || nd.kind == Needle::PATTERN;
  if constexpr (sizeof(U) < 4) {
    if (text) {
      // A code point wider than the unit is in no unit (folded or not: the
      // folds of a narrow unit that leave its width are never asked for).
      u32 widest = *std::max_element(nd.units.begin(), nd.units.end());
      if (!fold && widest >= (1u << (8 * sizeof(U)))) return -1;
      if (sizeof(U) == 1 && !fold && !backward && !once && step == 1) {
        if (first + len > hi) return -1;
        return scan_bytes(h, nd.units, first, hi);
      }
    }
  }
  // ASCII folds without a table: the plane's table is read once a unit past
  // it is met.
  const u32* folds = nullptr;
  auto unit = [&](i64 i) {
    u32 c = load<U>(h + i * i64(sizeof(U)));
    if (!fold || c < 0x80) return fold ? casefold::upper(c) : c;
    if (sizeof(U) < 4 || c < 0x10000) {
      if (!folds) [[unlikely]] folds = bmp_folds();
      return folds[c];
    }
    return casefold::upper(c);
  };
  if (nd.kind == Needle::PATTERN && len >= pattern::LONG_PATTERN && !once) {
    // Linear time, the same first match as the loops below: forward over the
    // units from first to hi; backward over the units from first down to lo
    // with the pattern reversed. A match counts only at a candidate position.
    if (!backward) {
      i64 s = pattern::first_match(
          nd.units, hi - first, [&](i64 i) { return unit(first + i); },
          [&](i64 at) { return at % step == 0; });
      return s < 0 ? -1 : first + s;
    }
    std::vector<u32> reversed(nd.units.rbegin(), nd.units.rend());
    i64 s = pattern::first_match(
        reversed, first - lo + 1, [&](i64 i) { return unit(first - i); },
        [&](i64 at) { return at % step == 0; });
    return s < 0 ? -1 : first - s - (len - 1);
  }
  auto matches = [&](i64 p) {
    switch (nd.kind) {
      case Needle::CODE_POINT: return unit(p) == nd.units[0];
      case Needle::BITSET: return bitset::test_bit(nd.bitset, load<U>(h + p * i64(sizeof(U))));
      case Needle::NUMBER: return double(load<U>(h + p * i64(sizeof(U)))) == nd.number;
      case Needle::PATTERN: break;
    }
    if (unit(p) != nd.units[0]) return false;
    for (i64 k = 1; k < len; ++k) {
      if (unit(p + k) != nd.units[std::size_t(k)]) return false;
    }
    return true;
  };
  if (!backward) {
    for (i64 c = first; c + len <= hi; c += step) {
      if (matches(c)) return c;
      if (once) break;
    }
  } else {
    for (i64 c = first; c - (len - 1) >= lo; c -= step) {
      if (matches(c - (len - 1))) return c - (len - 1);
      if (once) break;
    }
  }
  return -1;
}

struct Hit {
  i64 pos = -1;     // first unit of the match, -1 for none
  u32 length = 1;   // units matched
  u32 skip = 1;     // record size
  bool single = true;  // a code point, bitset or number (not a pattern)
};

Hit search(Cell* series, Cell* value, Cell* part, bool case_sensitive, bool unsupported,
           Cell* skip_arg, bool last, bool reverse, bool match) {
  Hit hit;
  Type st = type_of(series);
  if (st == TYPE_VECTOR) search_not_done();
  i64 total = total_of(series);
  i64 index = series_index(series);
  if (total == 0 || (!reverse && index >= total)) return hit;
  index = std::clamp<i64>(index, 0, total);
  if (unsupported) search_not_done();
  if (skip_arg) {
    if (type_of(skip_arg) != TYPE_INTEGER) {
      fire(Err::script_invalid_refine_arg, series::arg_word(series::ArgWord::skip), skip_arg);
    }
    if (int_of(skip_arg) < 1) fire(Err::script_out_of_range, skip_arg);
    hit.skip = u32(int_of(skip_arg));
  }
  i64 count = reverse ? index : total - index;
  if (part) {
    i64 n;
    if (type_of(part) == TYPE_INTEGER) {
      n = int_of(part);
    } else if (type_of(part) == st && series_node(part) == series_node(series)) {
      n = i64(series_index(part)) - series_index(series);
    } else {
      fire(Err::script_invalid_refine_arg, series::arg_word(series::ArgWord::part), part);
    }
    if (n < 1) return hit;
    count = std::min(count, n);
  }
  bool fold = is_any_string_type(st) && !case_sensitive;
  Needle nd = needle_of(st, value, fold);
  hit.length = nd.length();
  hit.single = nd.kind != Needle::PATTERN;
  // An empty pattern matches nothing (a loop over its matches must end).
  if (hit.length == 0) return hit;

  i64 first, lo, hi;
  bool backward = reverse || last;
  if (reverse) {
    if (match) return hit;
    lo = index - count;
    first = index - 1;
    hi = index;
  } else {
    lo = index;
    hi = index + count;
    first = index;
    if (last) {
      // Candidates are the ends of matches that start on the records from
      // the index: the walk back begins at the end of one that starts on the
      // last record able to hold the whole match.
      i64 room = hi - i64(hit.length) - index;
      if (room < 0) return hit;
      first = index + room / i64(hit.skip) * i64(hit.skip) + i64(hit.length) - 1;
    }
  }
  if (first < lo) return hit;
  // The needle is ready: from here on nothing allocates.
  Buffer* b = buffer_of(series_node(series));
  const u8* h = b->head_ptr();
  i64 step = hit.skip;
  switch (unit_of(b)) {
    case 1: hit.pos = scan<u8>(h, nd, fold, first, lo, hi, step, backward, match); break;
    case 2: hit.pos = scan<u16>(h, nd, fold, first, lo, hi, step, backward, match); break;
    default: hit.pos = scan<u32>(h, nd, fold, first, lo, hi, step, backward, match); break;
  }
  return hit;
}

Cell* unit_value(const Cell* series, u32 pos) {
  u32 cp = char_at(series, pos);
  Cell* out = stack::push();
  return type_of(series) == TYPE_BINARY ? make_integer(out, i32(cp)) : make_char(out, cp);
}

// ---------------------------------------------------------------------------
// Sorting

struct SortSpec {
  u32 unit;             // bytes of a unit
  u32 width;            // units of a record
  u32 offset;           // the unit compared when not whole
  bool whole;           // every unit of the record decides, in order
  bool fold;            // text: fold through the case tables
  bool ascii_fold;      // binary!: only A-Z fold (to a-z)
  bool reverse;
  Type type;            // of the series
  Type element;         // a vector's element type: its elements are numbers
  const Cell* function; // user comparator, or null
};

u32 sort_key(const SortSpec& s, u32 c) {
  if (s.fold) return casefold::upper(c);
  if (s.ascii_fold && c >= 'A' && c <= 'Z') return c + 32;
  return c;
}

// The comparator's argument for one record: its unit as a char! (an
// integer! for binary!), or with /all a series holding the record.
void record_value(Cell* out, const SortSpec& s, const std::vector<u32>& units) {
  if (!s.whole) {
    if (s.type == TYPE_BINARY) make_integer(out, i32(units[0]));
    else make_char(out, units[0]);
    return;
  }
  make_at(out, s.width, 1, s.type);
  append_code_points(out, units.data(), units.size());
}

// A vector's record, as the comparator's argument: its element, or with
// /all a new vector of the record's elements.
void vector_record_value(Cell* out, const SortSpec& s, const std::vector<u8>& bytes) {
  if (!s.whole) {
    vector::value_at(out, bytes.data(), s.element, s.unit);
    return;
  }
  vector::make_at(out, s.width, s.element, s.unit);
  std::memcpy(mem::alloc_tail_bytes(series_node(out), u32(bytes.size())), bytes.data(), bytes.size());
}

int call_function(const void* x, const void* y, const SortSpec& s) {
  auto read = [&](const void* r) {
    const u8* p = static_cast<const u8*>(r);
    u32 from = s.whole ? 0 : s.offset, n = s.whole ? s.width : 1;
    std::vector<u32> units(n);
    for (u32 k = 0; k < n; ++k) units[k] = get_char(p + u64(from + k) * s.unit, s.unit);
    return units;
  };
  auto read_bytes = [&](const void* r) {
    const u8* p = static_cast<const u8*>(r) + (s.whole ? 0 : u64(s.offset) * s.unit);
    return std::vector<u8>(p, p + u64(s.whole ? s.width : 1) * s.unit);
  };
  // Both records are read before anything allocates (checked builds verify it).
  std::vector<u32> a, b;
  std::vector<u8> va, vb;
  {
    mem::NoAlloc no_allocation;
    if (s.element != TYPE_NO_TYPE) {
      va = read_bytes(x);
      vb = read_bytes(y);
    } else {
      a = read(x);
      b = read(y);
    }
  }
  // The values are made in rooted cells.
  roots::LocalCell one, two;
  // The function answers whether its first argument comes first: without
  // /reverse it sees the second record first.
  if (s.element != TYPE_NO_TYPE) {
    vector_record_value(one.get(), s, s.reverse ? va : vb);
    vector_record_value(two.get(), s, s.reverse ? vb : va);
  } else {
    record_value(one.get(), s, s.reverse ? a : b);
    record_value(two.get(), s, s.reverse ? b : a);
  }
  Cell r = api::compare(s.function, one.get(), two.get());
  // The result maps negated: a positive integer puts the first argument first.
  switch (type_of(&r)) {
    case TYPE_LOGIC: return logic::flag(&r) ? 1 : -1;
    case TYPE_INTEGER: return -((int_of(&r) > 0) - (int_of(&r) < 0));
    case TYPE_FLOAT: {
      double d = float_of(&r);
      return d > 0.0 ? -1 : d < 0.0 ? 1 : 0;
    }
    case TYPE_NONE: return -1;
    default: return 1;
  }
}

int compare_records(const void* x, const void* y, void* arg, void*) {
  const SortSpec& s = *static_cast<const SortSpec*>(arg);
  if (s.function) return call_function(x, y, s);
  const u8* a = static_cast<const u8*>(x);
  const u8* b = static_cast<const u8*>(y);
  u32 from = s.whole ? 0 : s.offset, to = s.whole ? s.width : s.offset + 1;
  if (s.element != TYPE_NO_TYPE) {
    // Vector elements compare as numbers.
    for (u32 k = from; k < to; ++k) {
      double na = vector::number_at(a + u64(k) * s.unit, s.element, s.unit);
      double nb = vector::number_at(b + u64(k) * s.unit, s.element, s.unit);
      if (na != nb) {
        int d = na < nb ? -1 : 1;
        return s.reverse ? -d : d;
      }
    }
    return 0;
  }
  for (u32 k = from; k < to; ++k) {
    u32 ca = sort_key(s, get_char(a + u64(k) * s.unit, s.unit));
    u32 cb = sort_key(s, get_char(b + u64(k) * s.unit, s.unit));
    if (ca != cb) {
      int d = ca < cb ? -1 : 1;
      return s.reverse ? -d : d;
    }
  }
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Handlers

Cell* find(Cell* series, Cell* value, const act::FindOptions& o) {
  Hit hit = search(series, value, o.part, o.case_ || o.same, o.any || o.with, o.skip, o.last,
                   o.reverse, o.match);
  if (hit.pos < 0) return none_answer();
  i64 at = hit.pos;
  if (o.tail) at = std::min<i64>(at + (hit.single ? hit.skip : hit.length), total_of(series));
  Cell* out = stack::push_cell(series);
  set_series_index(out, i32(at));
  return out;
}

Cell* select(Cell* series, Cell* value, const act::FindOptions& o) {
  Hit hit = search(series, value, o.part, o.case_ || o.same, o.any || o.with, o.skip, o.last,
                   o.reverse, false);
  if (hit.pos < 0) return none_answer();
  // The unit after the whole match.
  i64 at = hit.pos + hit.length;
  if (at >= total_of(series)) return none_answer();
  return unit_value(series, u32(at));
}

i32 select_position(Cell* series, Cell* value, bool case_) {
  Hit hit = search(series, value, nullptr, case_, false, nullptr, false, false, false);
  return hit.pos < 0 ? -1 : i32(hit.pos + hit.length);
}

Cell* sort(Cell* series, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all,
           bool reverse, bool stable) {
  Type st = type_of(series);
  u32 node = series_node(series);
  i64 total = total_of(series);
  i64 index = std::clamp<i64>(series_index(series), 0, total);
  i64 count = total - index;
  if (part) {
    i64 n;
    if (type_of(part) == TYPE_INTEGER) {
      n = int_of(part);
    } else if (type_of(part) == st && series_node(part) == node) {
      n = std::clamp<i64>(series_index(part), 0, total) - index;
    } else {
      fire(Err::script_invalid_refine_arg, series::arg_word(series::ArgWord::part), part);
    }
    if (n < 0) {
      // The units before the position (as many as there are).
      i64 from = std::max<i64>(0, index + n);
      count = index - from;
      index = from;
    } else {
      count = std::min(count, n);
    }
  }
  u32 size = 1;
  if (skip) {
    const Cell* word = series::arg_word(series::ArgWord::skip);
    if (type_of(skip) != TYPE_INTEGER || int_of(skip) < 1) fire(Err::script_invalid_refine_arg, word, skip);
    size = u32(int_of(skip));
    if (count > 0 && (count % size != 0 || count < size)) fire(Err::script_invalid_refine_arg, word, skip);
  } else if (all) {
    fire(Err::script_bad_refines);
  }
  // A vector's unit is its element size (up to 8 bytes); a string's is 1, 2 or 4.
  auto unit_now = [&] { return st == TYPE_VECTOR ? buffer_of(node)->unit() : unit_of(buffer_of(node)); };
  SortSpec spec{};
  spec.unit = unit_now();
  spec.width = size;
  spec.whole = all;
  spec.reverse = reverse;
  spec.type = st;
  spec.element = st == TYPE_VECTOR ? vector::element_type(series) : TYPE_NO_TYPE;
  spec.fold = is_any_string_type(st) && !case_;
  spec.ascii_fold = st == TYPE_BINARY && !case_;
  if (comparator) {
    Type ct = type_of(comparator);
    if (ct == TYPE_FUNCTION) {
      spec.function = comparator;
    } else if (ct == TYPE_INTEGER) {
      if (!skip || all) fire(Err::script_bad_refines);
      i32 k = int_of(comparator);
      if (k < 1 || u32(k) > size) fire(Err::script_out_of_range, comparator);
      spec.offset = u32(k - 1);
    } else {
      fire(Err::script_invalid_refine_arg, series::arg_word(series::ArgWord::compare), comparator);
    }
  }
  set_series_index(series, i32(index));
  if (count < 2 * i64(size)) return series;

  OwnerNotice notice(series, series::Event::sort, series::Event::sorted, nullptr, i32(index),
                     i32(count));
  // The owner's handler may have changed the series: sort what is still there.
  count = std::min<i64>(count, std::max<i64>(total_of(series) - index, 0)) / size * size;
  spec.unit = unit_now();
  sort::Records records{node, u32(index) * spec.unit, u32(count / size), size * spec.unit};
  // Equal records keep their order whenever stability is asked for.
  if (stable) sort::merge_sort(records, &spec, nullptr, compare_records);
  else sort::quick_sort(records, &spec, nullptr, compare_records);
  notice.done(i32(index), i32(count));
  return series;
}

// ---------------------------------------------------------------------------
// Matching for PARSE

bool match(const Cell* str, const Cell* value, i32 op) {
  Type vt = type_of(value);
  if (vt == TYPE_TAG) {
    if (!tag_like(str, value)) return false;
    Cell inner = *str;
    set_series_index(&inner, std::max(series_index(str), 0) + 1);
    return compare(&inner, value, op, true) == 0;
  }
  if (is_any_string_type(vt)) return compare(str, value, op, true) == 0;
  if (vt == TYPE_CHAR) {
    if (is_tail(str)) return false;
    u32 c = char_at(str, u32(std::max(series_index(str), 0)));
    u32 v = char_of(value);
    if (op != COMP_STRICT_EQUAL) {
      c = casefold::upper(c);
      v = casefold::upper(v);
    }
    return c == v;
  }
  return false;
}

bool match_bitset(const Cell* str, const Cell* bitset) {
  if (is_tail(str)) return false;
  return bitset::test_bit(series_node(bitset), char_at(str, u32(std::max(series_index(str), 0))));
}

bool tag_like(const Cell* str, const Cell* tag) {
  u64 index = u32(std::max(series_index(str), 0));
  u64 close = index + length_from_index(tag) + 1;
  if (close >= total_of(str)) return false;
  return char_at(str, u32(index)) == '<' && char_at(str, u32(close)) == '>';
}

}  // namespace qel::string
