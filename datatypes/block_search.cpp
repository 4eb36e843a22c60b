// block! find and select, sort, and the set operations on blocks.
//
// Sorting runs Qel code in the middle when the comparator is a function: it
// may raise, break, allocate and collect. The sort routines (runtime/sort.hpp)
// hold the block by its node and fetch its buffer again after every
// comparator call; the comparators here copy the records they are handed
// before anything can allocate, so a collection in the middle never sees a
// stale address.
#include <algorithm>
#include <cstring>

#include "datatypes/block.hpp"
#include "datatypes/function.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/pattern_search.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/series.hpp"
#include "datatypes/typeset.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/actions.hpp"
#include "runtime/casefold.hpp"
#include "runtime/error.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/sort.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"
#include "runtime/code_epoch.hpp"

namespace qel::block {

namespace {

inline mem::Buffer* search_buf(const Cell* v) { return mem::buffer_of(series_node(v)); }
inline i32 search_cells_in(const Cell* v) { return i32(search_buf(v)->used() / sizeof(Cell)); }
inline Cell* search_cells(const Cell* v) { return search_buf(v)->cells(); }
inline Cell* search_none_answer() { return const_cast<Cell*>(&values::none_cell); }

[[noreturn]] void bad_refine(series::ArgWord w, const Cell* arg) {
  Cell a = *arg;
  fire(Err::script_invalid_refine_arg, series::arg_word(w), &a);
}

// Equality of a block cell with a value under a comparison code, through the
// cell type's compare handler (a type without one equals nothing). Both
// cells must lie where they cannot move.
bool cells_equal(Cell* cell, Cell* value, i32 op) {
  Type t = type_of(cell);
  if (t == TYPE_INTEGER && type_of(value) == TYPE_INTEGER && op != COMP_SAME) {
    return int_of(cell) == int_of(value);
  }
  ActionFn h = t < TYPE_SLOTS ? types::table[t][ACT_compare] : nullptr;
  if (!h) return false;
  return reinterpret_cast<act::Compare>(h)(cell, value, op) == 0;
}

enum class MatchKind { single, by_type, by_typeset, sequence };

// The position where find matches, or -1. `result` receives the answer's index.
struct Finder {
  Cell* series;
  Cell* value;
  MatchKind kind = MatchKind::single;
  i32 q = 1;  // cells of a sequence
  i32 op = COMP_EQUAL_NO_CASE;
  Cell* cand;  // stack cells the comparisons read
  Cell* other;

  bool matches_at(i32 p) {
    i32 total = search_cells_in(series);
    switch (kind) {
      case MatchKind::by_type:
        return type_of(search_cells(series) + p) == datatype_of(value);
      case MatchKind::by_typeset:
        return typeset::has(value, type_of(search_cells(series) + p));
      case MatchKind::single:
        copy_cell(search_cells(series) + p, cand);
        return cells_equal(cand, value, op);
      case MatchKind::sequence: {
        if (i64(p) + q > total) return false;
        i32 vi = series_index(value);
        for (i32 k = 0; k < q; ++k) {
          if (p + k >= search_cells_in(series) || vi + k >= search_cells_in(value)) return false;
          copy_cell(search_cells(series) + p + k, cand);
          copy_cell(search_cells(value) + vi + k, other);
          if (!cells_equal(cand, other, op)) return false;
        }
        return true;
      }
    }
    return false;
  }
};

// ---- long sequences --------------------------------------------------------------

// The key of a cell for the rolling hash: cells that compare equal under
// find's equality (with or without /case) have equal keys. Integers, chars,
// words and none equal only values of their own class, and strings only
// strings, so each of these classes has keys of its own: integer and char by
// value, any word by its canonical symbol (a word equals its set-word,
// refinement, ... of any spelling case), strings by their text from the
// index folded to upper case. The other types of `keyed_search_type` have
// the one key 0: the candidates they leave are all checked.
//
// A type outside that list may equal a keyed value of another type (money!
// equals the integer! of its amount): a search that meets one keeps the
// position-by-position scan.
bool keyed_search_type(Type t) {
  return t == TYPE_INTEGER || t == TYPE_CHAR || t == TYPE_NONE || is_any_word_type(t) ||
         is_any_string_type(t) || t == TYPE_FLOAT || t == TYPE_LOGIC || is_any_block_type(t);
}

u64 cell_key(const Cell* c) {
  Type t = type_of(c);
  if (t == TYPE_INTEGER) return pattern::mix(1, u32(int_of(c)));
  if (t == TYPE_CHAR) return pattern::mix(2, u32(int_of(c)));
  if (is_any_word_type(t)) return pattern::mix(3, symbol::resolve(word::symbol_of(c)));
  if (t == TYPE_NONE) return pattern::mix(4, 0);
  if (is_any_string_type(t)) {
    mem::Buffer* b = mem::buffer_of(series_node(c));
    u32 unit = unicode::unit_of(b);
    u32 total = b->used() / unit;
    u32 from = u32(std::clamp<i32>(series_index(c), 0, i32(total)));
    u64 h = pattern::mix(5, total - from);
    for (u32 i = from; i < total; ++i) {
      h = h * 0x100000001B3ull + casefold::upper(string::get_char(b->head_ptr() + u64(i) * unit, unit));
    }
    return pattern::mix(6, h);
  }
  return 0;
}

// What find_long_sequence answers when a cell of the range or the pattern
// has a type without keys: the plain scan searches instead.
constexpr i64 NOT_KEYED = -2;

bool all_keyed(const Cell* c, i64 n) {
  for (i64 i = 0; i < n; ++i) {
    if (!keyed_search_type(type_of(c + i))) return false;
  }
  return true;
}

// The first match of a long sequence (f.q cells) among the candidates from
// `from` by `step`: upward to `to` forward, downward to 0 backward (as the
// plain scan visits them), or -1. A rolling hash of the cell keys of each
// window finds the windows that can match; each is then checked with the
// same cell comparisons as the plain scan, so the answer is the same.
i64 find_long_sequence(Finder& f, i64 from, i64 to, i64 step, bool backward) {
  const i64 q = f.q;
  const i64 total = search_cells_in(f.series);
  const i32 vi = series_index(f.value);
  if (search_cells_in(f.value) - vi < q) return -1;
  if (!all_keyed(search_cells(f.value) + vi, q)) return NOT_KEYED;
  if (backward ? !all_keyed(search_cells(f.series), std::min(from + q, total))
               : !all_keyed(search_cells(f.series) + from, std::max<i64>(0, std::min(to + q, total) - from))) {
    return NOT_KEYED;
  }
  constexpr u64 B = 0x100000001B3ull;
  u64 top = 1;  // B^(q-1)
  for (i64 k = 1; k < q; ++k) top *= B;
  auto key = [&](i64 i) { return cell_key(search_cells(f.series) + i); };
  auto pkey = [&](i64 k) { return cell_key(search_cells(f.value) + vi + k); };
  if (!backward) {
    to = std::min(to, total - q);
    if (from > to) return -1;
    // Forward windows weigh their first cell most: H(p) = sum key(p+k) B^(q-1-k).
    u64 want = 0, h = 0;
    for (i64 k = 0; k < q; ++k) {
      want = want * B + pkey(k);
      h = h * B + key(from + k);
    }
    for (i64 p = from;; ++p) {
      if (h == want && (p - from) % step == 0 && f.matches_at(i32(p))) return p;
      if (p == to) return -1;
      h = (h - key(p) * top) * B + key(p + q);
    }
  }
  // Backward windows weigh their last cell most: G(p) = sum key(p+k) B^k.
  i64 start = std::min(from, total - q);
  if (start < 0) return -1;
  u64 want = 0, h = 0;
  for (i64 k = q - 1; k >= 0; --k) {
    want = want * B + pkey(k);
    h = h * B + key(start + k);
  }
  for (i64 p = start;; --p) {
    if (h == want && (from - p) % step == 0 && f.matches_at(i32(p))) return p;
    if (p == 0) return -1;
    h = key(p - 1) + B * (h - key(p + q - 1) * top);
  }
}

}  // namespace

Cell* find(Cell* series, Cell* value_in, const act::FindOptions& o) {
  Cell* part = o.part;
  bool only = o.only;
  bool case_ = o.case_;
  bool same = o.same;
  Cell* skip = o.skip;
  bool last = o.last;
  bool reverse = o.reverse;
  bool tail = o.tail;
  bool match = o.match;
  Cell* result = stack::push_cell(series);
  Cell* value = stack::push_cell(value_in);
  i32 total = search_cells_in(result);
  i32 index = series_index(result);
  if (total == 0 || (!reverse && index >= total)) return search_none_answer();
  index = std::clamp(index, 0, total);
  i32 step = 1;
  if (skip) {
    if (type_of(skip) != TYPE_INTEGER) bad_refine(series::ArgWord::skip, skip);
    step = int_of(skip);
    if (step < 1) fire(Err::script_out_of_range, skip);
  }
  bool has_limit = false;
  i64 limit = total - 1;
  if (part) {
    if (type_of(part) == TYPE_INTEGER) {
      if (int_of(part) < 1) return search_none_answer();
      limit = i64(index) + int_of(part) - 1;
    } else if (type_of(part) == type_of(result) && series_node(part) == series_node(result)) {
      limit = series_index(part);
    } else {
      bad_refine(series::ArgWord::part, part);
    }
    has_limit = true;
    limit = std::min<i64>(limit, total - 1);
  }
  Type vt = type_of(value);
  Finder f{result, value};
  if (!only && vt == TYPE_DATATYPE) {
    f.kind = MatchKind::by_type;
  } else if (!only && vt == TYPE_TYPESET) {
    f.kind = MatchKind::by_typeset;
  } else if (!only && is_any_block_type(vt)) {
    f.kind = MatchKind::sequence;
    f.q = std::max(search_cells_in(value) - series_index(value), 0);
  }
  f.op = same ? COMP_SAME : case_ ? COMP_STRICT_EQUAL : COMP_EQUAL_NO_CASE;

  bool by_table = series::has_table(result) && !match &&
                  !(is_any_block_type(vt) && !(same && only)) && f.kind != MatchKind::by_type &&
                  f.kind != MatchKind::by_typeset && !(vt == TYPE_OBJECT && !same);
  if (by_table) {
    Cell* c = hash::get(series_extra(result), value, index, step, f.op, last, reverse);
    if (!c) return search_none_answer();
    i32 p = i32(c - search_cells(result));
    if (has_limit && p > limit) return search_none_answer();
    // As the search through the cells answers: a forward match steps over
    // its record, a backward one over its cell.
    i32 after = (last || reverse) ? p + 1 : p + step;
    set_series_index(result, tail ? std::min(after, total) : p);
    return result;
  }

  i64 found = -1;
  {
    stack::Mark scratch;  // the candidate cells, dropped once the search ends
    f.cand = make_none(stack::push());
    f.other = make_none(stack::push());
    bool long_sequence = f.kind == MatchKind::sequence && f.q >= pattern::LONG_PATTERN && !match &&
                         f.op != COMP_SAME;
    if (last || reverse) {
      i64 start;
      if (has_limit) start = limit;
      else if (last) start = f.kind == MatchKind::sequence && f.q >= 1 ? total - f.q : total - 1;
      else start = f.kind == MatchKind::sequence && f.q >= 1 ? index - f.q : index - 1;
      if (start >= total) start = total - 1;
      if (last && step > 1) {
        // Records start every step cells from the position: the walk back
        // starts at the last record's start (floored, also below the position).
        i64 k = start - index;
        start = index + (k >= 0 ? k / step : -((-k + step - 1) / step)) * step;
      }
      if (long_sequence && start >= 0) found = find_long_sequence(f, start, 0, step, true);
      if (!long_sequence || found == NOT_KEYED) for (i64 p = start; p >= 0; p -= step) {
        if (f.matches_at(i32(p))) {
          found = p;
          break;
        }
        if (match) break;
      }
    } else {
      // Integer cells against an integer compare in place; any other cell goes
      // through its type's comparison.
      bool int_value = f.kind == MatchKind::single && vt == TYPE_INTEGER && f.op != COMP_SAME;
      if (long_sequence) {
        found = find_long_sequence(f, index, std::min<i64>(limit, search_cells_in(result) - 1), step, false);
      }
      if (!long_sequence || found == NOT_KEYED) {
        found = -1;
        for (i64 p = index; p <= limit && p < search_cells_in(result); p += step) {
          if (int_value && !match) {
            const Cell* c = search_cells(result) + p;
            if (type_of(c) == TYPE_INTEGER) {
              if (int_of(c) != int_of(value)) continue;
              found = p;
              break;
            }
          }
          if (f.matches_at(i32(p))) {
            found = p;
            break;
          }
          if (match) break;
        }
      }
    }
  }
  if (found < 0) return search_none_answer();
  i64 answer = found;
  if (tail) {
    if (f.kind == MatchKind::sequence) answer = found + f.q;
    else answer = (last || reverse) ? found + 1 : found + step;
    answer = std::min<i64>(answer, search_cells_in(result));
  }
  set_series_index(result, i32(answer));
  return result;
}

Cell* select(Cell* series, Cell* value, const act::FindOptions& o) {
  act::FindOptions at_match = o;
  at_match.tail = at_match.match = false;
  bool only = o.only;
  Cell* found = find(series, value, at_match);
  if (type_of(found) == TYPE_NONE) return found;
  Type vt = type_of(value);
  bool sequence = !only && (vt == TYPE_BLOCK || vt == TYPE_PAREN || vt == TYPE_PATH ||
                            vt == TYPE_LIT_PATH || vt == TYPE_SET_PATH || vt == TYPE_GET_PATH);
  i32 m = sequence ? std::max(search_cells_in(value) - series_index(value), 0) : 1;
  i64 p = i64(series_index(found)) + m;
  if (p >= search_cells_in(found)) return search_none_answer();
  return copy_cell(search_cells(found) + p, found);
}

// ---- sort ----------------------------------------------------------------------------

namespace {

Cell g_callback_word;  // <compare-callback>, the name of a user comparator's frame

struct SortArgs {
  i32 op;           // COMP_SORT or COMP_CASE_SORT
  bool reverse;
  bool whole;       // compare whole records
  u32 size;         // cells of a record
  u32 offset;       // the compared cell of a record (when not whole)
  Cell* function;   // the user comparator (a stack cell), or nullptr
  Cell* scratch_a;  // with a user comparator over whole records: blocks that
  Cell* scratch_b;  // receive copies of the two records (stack cells)
};

i32 compare_cells(const Cell* a, const Cell* b, i32 op) {
  Type ta = type_of(a), tb = type_of(b);
  if (ta == TYPE_INTEGER && tb == TYPE_INTEGER) {
    i32 x = int_of(a), y = int_of(b);
    return (x > y) - (x < y);
  }
  ActionFn h = ta < TYPE_SLOTS ? types::table[ta][ACT_compare] : nullptr;
  i32 r = COMPARE_INCOMPARABLE;
  if (h) {
    // The handler gets copies: the records may move if it allocates.
    stack::Mark mark;
    Cell* x = stack::push_cell(a);
    Cell* y = stack::push_cell(b);
    r = reinterpret_cast<act::Compare>(h)(x, y, op);
  }
  if (r == COMPARE_INCOMPARABLE) r = i32(ta) - i32(tb);
  return r;
}

int builtin_compare(const void* x, const void* y, void* arg, void*) {
  const SortArgs* s = static_cast<const SortArgs*>(arg);
  const Cell* a = static_cast<const Cell*>(x);
  const Cell* b = static_cast<const Cell*>(y);
  if (s->reverse) std::swap(a, b);
  if (!s->whole) return compare_cells(a + s->offset, b + s->offset, s->op);
  // Copies: a handler that allocates may move the records.
  for (u32 i = 0; i < s->size; ++i) {
    Cell ca = a[i], cb = b[i];
    i32 r = compare_cells(&ca, &cb, s->op);
    if (r != 0) return r;
  }
  return 0;
}

// The common case, one compared cell a record: integers compare inline.
template <bool Reverse>
int field_compare(const void* x, const void* y, void* arg, void*) {
  const SortArgs* s = static_cast<const SortArgs*>(arg);
  const Cell* a = static_cast<const Cell*>(x) + s->offset;
  const Cell* b = static_cast<const Cell*>(y) + s->offset;
  if (Reverse) std::swap(a, b);
  if (type_of(a) == TYPE_INTEGER && type_of(b) == TYPE_INTEGER) {
    i32 p = int_of(a), q = int_of(b);
    return (p > q) - (p < q);
  }
  return compare_cells(a, b, s->op);
}

void fill_scratch(Cell* scratch, const Cell* record, u32 size) {
  mem::Buffer* b = mem::buffer_of(series_node(scratch));
  std::memcpy(b->cells(), record, size * sizeof(Cell));
  b->tail = b->head + size * sizeof(Cell);
  set_series_index(scratch, 0);
}

int user_compare(const void* x, const void* y, void* arg, void*) {
  const SortArgs* s = static_cast<const SortArgs*>(arg);
  const Cell* a = static_cast<const Cell*>(x);
  const Cell* b = static_cast<const Cell*>(y);
  const Cell* first = s->reverse ? a : b;
  const Cell* second = s->reverse ? b : a;
  // Everything read from the records is copied before the first allocation
  // (checked builds verify that nothing allocates meanwhile).
  if (s->whole) {
    mem::NoAlloc no_allocation;
    fill_scratch(s->scratch_a, first, s->size);
    fill_scratch(s->scratch_b, second, s->size);
    first = s->scratch_a;
    second = s->scratch_b;
  }
  // The result maps as it is: an integer is the order itself.
  Cell r = api::compare(s->function, first, second);
  switch (type_of(&r)) {
    case TYPE_LOGIC: return logic::flag(&r) ? 1 : -1;
    case TYPE_INTEGER: return int_of(&r);
    case TYPE_FLOAT: {
      double d = float_of(&r);
      return d > 0.0 ? 1 : d < 0.0 ? -1 : 0;
    }
    case TYPE_NONE: return -1;
    default: return 1;
  }
}

}  // namespace

Cell* sort(Cell* series, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all,
           bool reverse, bool stable) {
  i32 index = series_index(series);
  i32 count = search_cells_in(series) - index;
  if (count <= 0) return series;
  if (part) {
    i64 n;
    if (type_of(part) == TYPE_INTEGER) n = int_of(part);
    else if (type_of(part) == type_of(series) && series_node(part) == series_node(series))
      n = i64(series_index(part)) - index;
    else bad_refine(series::ArgWord::part, part);
    if (n < count) count = i32(n);
    if (n < 0) {
      if (-n > index) {
        set_series_index(series, 0);
        return series;
      }
      index -= i32(-n);
      count = i32(-n);
      set_series_index(series, index);
    }
  }
  if (count <= 0) return series;
  i32 size = 1;
  if (skip) {
    if (type_of(skip) != TYPE_INTEGER) bad_refine(series::ArgWord::skip, skip);
    size = int_of(skip);
    if (size < 1 || count < size || count % size != 0) bad_refine(series::ArgWord::skip, skip);
    count /= size;
  } else if (all) {
    fire(Err::script_bad_refines);
  }
  stack::Mark mark;
  SortArgs args{case_ ? COMP_CASE_SORT : COMP_SORT, reverse, false, u32(size), 0, nullptr, nullptr,
                nullptr};
  sort::Compare cmp = builtin_compare;
  if (!comparator) {
    args.whole = all;
    if (!all) cmp = reverse ? field_compare<true> : field_compare<false>;
  } else if (type_of(comparator) == TYPE_INTEGER) {
    if (!skip || all) fire(Err::script_bad_refines);
    i32 k = int_of(comparator);
    if (k < 1 || k > size) fire(Err::script_out_of_range, comparator);
    args.offset = u32(k - 1);
    cmp = reverse ? field_compare<true> : field_compare<false>;
  } else if (type_of(comparator) == TYPE_FUNCTION) {
    cmp = user_compare;
    args.function = stack::push_cell(comparator);
    if (all && skip) {
      args.whole = true;
      args.scratch_a = make_at(stack::push(), size);
      args.scratch_b = make_at(stack::push(), size);
    }
  } else {
    bad_refine(series::ArgWord::compare, comparator);
  }
  bool fired = series::notify(series, series::Event::sort, nullptr, index, count * size);
  sort::Records records{series_node(series), u32(index) * u32(sizeof(Cell)), u32(count),
                        u32(size) * u32(sizeof(Cell))};
  // A hash! table follows the records to their new places, also when a user
  // comparator raises in the middle (the block is then some permutation).
  auto retable = [series] {
    if (series::has_table(series)) hash::resize(series_extra(series), u32(search_cells_in(series)));
  };
  // A comparator may run code compiled from the block: the epoch moves
  // again once the records are in place.
  try {
    if (stable) sort::merge_sort(records, &args, nullptr, cmp);
    else sort::quick_sort(records, &args, nullptr, cmp);
  } catch (const Transfer&) {
    retable();
    code::changed(series_node(series));
    throw;
  }
  retable();
  code::changed(series_node(series));
  if (fired) series::notify(series, series::Event::sorted, nullptr, index, count * size);
  return series;
}

void init_sort_words() { g_callback_word = *intern_word("<compare-callback>"); }

// ---- set operations -------------------------------------------------------------------

namespace {

struct SetOp {
  i32 skip;
  i32 op_code;   // the comparison of table lookups
  bool case_;
  bool to_hash;  // the result is a hash!
  Cell* out;     // the result under construction: a hash! cell (block and table)
  Cell* skip_cell;

  // Whether the set holds a record whose first cell equals the key: through
  // the set's table, or with find/only for a key of a block type.
  bool holds(Cell* set, u32 table, Cell* key) {
    if (is_any_block_type(type_of(key))) {
      stack::Mark mark;
      act::FindOptions o;
      o.only = true;
      o.case_ = case_;
      o.skip = skip_cell;
      Cell* found = find(set, key, o);
      bool in = type_of(found) != TYPE_NONE;
      return in;
    }
    return hash::get(table, key, series_index(set), skip, op_code, false, false) != nullptr;
  }

  // A table over the set's cells: its own for a hash!, else a temporary one
  // held in a stack cell so that the collector keeps it.
  u32 table_for(Cell* set) {
    if (series::has_table(set)) return series_extra(set);
    Cell* holder = make_none(stack::push());
    make_series(holder, TYPE_HASH, series_node(set), 0, 0);
    set_series_extra(holder, hash::make(u32(std::max(search_cells_in(set), 1)), series_node(set), hash::KIND_BLOCK, 0));
    return series_extra(holder);
  }

  void walk(Cell* set, Cell* test, bool invert) {
    stack::Mark mark;
    u32 test_table = test ? table_for(test) : 0;
    Cell* key = make_none(stack::push());
    for (i32 p = series_index(set); p < search_cells_in(set); p += skip) {
      copy_cell(search_cells(set) + p, key);
      if (test) {
        bool in = holds(test, test_table, key);
        if (in == invert) continue;
      }
      if (holds(out, series_extra(out), key)) continue;
      u32 node = series_node(out);
      u32 old_total = mem::buffer_of(node)->used() / sizeof(Cell);
      i32 n = std::min(skip, search_cells_in(set) - p);
      for (i32 k = 0; k < n; ++k) {
        Cell c = search_cells(set)[p + k];
        *mem::alloc_tail_cell(node) = c;
      }
      u32 put = to_hash ? u32(n) : 1;
      for (u32 k = 0; k < put; ++k) {
        Cell* c = mem::buffer_of(node)->cells() + old_total + k;
        if (hash::put_key(series_extra(out), c) == hash::PUT_REBUILT) break;
      }
    }
  }
};

}  // namespace

void do_set_op(bool case_, const Cell* skip, i32 op) {
  Cell* a = stack::base;
  Cell* b = stack::base + 1;
  i32 s = 1;
  if (skip) {
    if (type_of(skip) != TYPE_INTEGER || int_of(skip) < 1) bad_refine(series::ArgWord::skip, skip);
    s = int_of(skip);
  }
  stack::Mark mark;
  Cell* skip_cell = make_integer(stack::push(), s);
  if (series_index(a) > search_cells_in(a)) set_series_index(a, search_cells_in(a));
  if (op != OP_UNIQUE && series_index(b) > search_cells_in(b)) set_series_index(b, search_cells_in(b));
  bool to_hash = type_of(a) == TYPE_HASH || (op != OP_UNIQUE && type_of(b) == TYPE_HASH);
  i32 room = search_cells_in(a) - series_index(a);
  if (op == OP_UNION) room += search_cells_in(b) - series_index(b);
  Cell* out = make_at(stack::push(), std::max(room, 1));
  set_type(out, TYPE_HASH);
  set_series_extra(out, hash::make(u32(std::max(room, 1)), series_node(out), hash::KIND_BLOCK, 0));
  SetOp w{s, case_ ? COMP_STRICT_EQUAL : COMP_EQUAL, case_, to_hash, out, skip_cell};
  switch (op) {
    case OP_UNIQUE: w.walk(a, nullptr, false); break;
    case OP_UNION: w.walk(a, nullptr, false); w.walk(b, nullptr, false); break;
    case OP_INTERSECT: w.walk(a, b, false); break;
    case OP_EXCLUDE: w.walk(a, b, true); break;
    case OP_DIFFERENCE: w.walk(a, b, true); w.walk(b, a, true); break;
    default: fire(Err::internal_not_done);
  }
  if (!to_hash) {
    set_type(out, TYPE_BLOCK);
    set_series_extra(out, 0);
  }
  copy_cell(out, stack::base);
}

}  // namespace qel::block
