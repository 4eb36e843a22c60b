// series! handlers: navigation, element access and range edits on any unit.
//
// Every handler works in units counted from the buffer head and turns them
// into bytes with the unit's shift only at the moment it touches memory; the
// buffer is fetched again through the node after anything that can allocate
// or run Qel code (owner events, comparisons, growth).
#include "datatypes/series.hpp"
#include "datatypes/vector.hpp"
#include "datatypes/pair.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/logic.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "datatypes/ownership.hpp"
#include "runtime/random.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/hash.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/words.hpp"
#include "runtime/code_epoch.hpp"

namespace qel::series {

VectorGet vector_get = nullptr;
VectorSet vector_set = nullptr;

namespace {

const char* const kEventNames[] = {
    "append", "appended", "insert", "inserted", "change", "changed", "clear", "cleared",
    "move", "moved", "poke", "poked", "put", "put-ed", "random", "randomized",
    "remove", "removed", "reverse", "reversed", "sort", "sorted", "swap", "swaped",
    "take", "taken", "trim", "trimmed"};
static_assert(sizeof(kEventNames) / sizeof(kEventNames[0]) == size_t(Event::count_));

const char* const kArgNames[] = {"part", "skip", "compare", "target"};
static_assert(sizeof(kArgNames) / sizeof(kArgNames[0]) == size_t(ArgWord::count_));

// Word cells of the global context: they hold no series, and the global
// context is kept alive by its own mark callback.
Cell g_events[size_t(Event::count_)];
Cell g_args[size_t(ArgWord::count_)];

inline Cell* none_answer() { return const_cast<Cell*>(&values::none_cell); }

inline mem::Buffer* buf(const Cell* v) { return mem::buffer_of(series_node(v)); }

[[noreturn]] void bad_refine(ArgWord w, const Cell* arg) {
  Cell a = *arg;
  fire(Err::script_invalid_refine_arg, arg_word(w), &a);
}

[[noreturn]] void out_of_range_int(i32 n) {
  Cell c;
  make_integer(&c, n);
  fire(Err::script_out_of_range, &c);
}

// The 0-based position of a 1-based pick/poke offset from the index
// (negative offsets count back from the index), or -1 when outside.
i64 pick_position(const Cell* v, i32 n) {
  if (n == 0) return -1;
  i64 p = i64(series_index(v)) + n + (n > 0 ? -1 : 0);
  if (p < 0 || p >= total(v)) return -1;
  return p;
}

// Swaps two runs of `width` bytes (records), small ones through the stack.
void swap_bytes(u8* a, u8* b, u32 width) {
  u8 t[64];
  for (u32 off = 0; off < width; off += sizeof t) {
    u32 k = std::min<u32>(sizeof t, width - off);
    std::memcpy(t, a + off, k);
    std::memcpy(a + off, b + off, k);
    std::memcpy(b + off, t, k);
  }
}

bool is_word_named(const Cell* c, words::Id id) {
  if (!is_any_word_type(type_of(c))) return false;
  return symbol::resolve(word::symbol_of(c)) == symbol::resolve(words::symbol(id));
}

// ---- D handlers: arguments from the stack, result in the base cell ---------------

void h_at() { set_series_index(stack::base, offset_index(stack::base, true)); }
void h_skip() { set_series_index(stack::base, offset_index(stack::base, false)); }
void h_back() {
  if (series_index(stack::base) > 0) set_series_index(stack::base, series_index(stack::base) - 1);
}
void h_head() { set_series_index(stack::base, 0); }
void h_tail() { set_series_index(stack::base, total(stack::base)); }
void h_next() { advance(stack::base, 1); }
void h_head_q() { make_logic(stack::base, series_index(stack::base) == 0); }
void h_tail_q() { make_logic(stack::base, is_tail(stack::base)); }
void h_index_q() { make_integer(stack::base, series_index(stack::base) + 1); }

i32 h_length(Cell* v) { return length_from_index(v, false); }

Cell* h_reflect(Cell* v, u32 field) {
  if (symbol::resolve(field) != symbol::resolve(words::symbol(words::W_OWNED))) {
    fire(Err::internal_not_done);
  }
  Cell* owner = ownership::owner_of(series_node(v));
  return owner ? stack::push_cell(owner) : none_answer();
}

Cell* h_modify(Cell* target, Cell* field, Cell* value, bool) {
  if (!is_word_named(field, words::W_OWNED)) fire(Err::internal_not_done);
  if (type_of(value) == TYPE_NONE) {
    ownership::unbind(target);
    return value;
  }
  if (type_of(value) == TYPE_BLOCK && length_from_index(value, false) >= 2) {
    Cell* owner = stack::push_cell(buf(value)->cells() + series_index(value));
    Cell* word = stack::push_cell(buf(value)->cells() + series_index(value) + 1);
    if (type_of(owner) == TYPE_OBJECT && is_any_word_type(type_of(word))) {
      ownership::bind_entry(target, owner, word);
      return value;
    }
  }
  fire(Err::script_invalid_arg, value);
}

}  // namespace

// ---- words -------------------------------------------------------------------------

void init_words() {
  for (size_t i = 0; i < size_t(Event::count_); ++i) g_events[i] = *intern_word(kEventNames[i]);
  for (size_t i = 0; i < size_t(ArgWord::count_); ++i) g_args[i] = *intern_word(kArgNames[i]);
}

const Cell* event_word(Event e) { return &g_events[size_t(e)]; }
const Cell* arg_word(ArgWord w) { return &g_args[size_t(w)]; }

bool notify(const Cell* value, Event e, const Cell* new_value, i32 index, i32 part) {
  u32 node = series_node(value);
  bool fired = false;
  if (type_of(value) == TYPE_IMAGE || (node && (mem::buffer_of(node)->flags & mem::SERIES_OWNED))) {
    fired = ownership::check(value, event_word(e), new_value, index, part);
  }
  // The series is about to be written (after the owner's handler ran): code
  // compiled from it is checked again (runtime/code_epoch.hpp).
  if (type_of(value) != TYPE_IMAGE) code::changed(node);
  return fired;
}

// ---- positions ---------------------------------------------------------------------

bool is_tail(const Cell* v) { return series_index(v) >= total(v); }
i32 total_length(const Cell* v) { return total(v); }

bool advance(Cell* v, i32 n) {
  i64 next = i64(series_index(v)) + n;
  i32 t = total(v);
  if (next <= t && next >= 0) set_series_index(v, i32(next));
  return series_index(v) >= t;
}

i32 offset_index(Cell* base, bool at) {
  Cell* arg = base + 1;
  if (type_of(arg) != TYPE_INTEGER) fire(Err::script_invalid_arg, arg);
  i64 n = int_of(arg);
  i64 i = series_index(base);
  i64 r = at ? (n >= 1 ? i + n - 1 : i + n) : i + n;
  return i32(std::clamp<i64>(r, 0, total(base)));
}

i32 length_from_index(Cell* v, bool from_head) {
  i32 t = total(v);
  if (from_head) return t;
  i32 i = series_index(v);
  if (i < 0) return t;
  if (i > t) {
    set_series_index(v, t);
    return 0;
  }
  return t - i;
}

i32 part_count(const Cell* v, const Cell* part) {
  if (type_of(part) == TYPE_INTEGER) return int_of(part);
  if (type_of(part) == type_of(v) && series_node(part) == series_node(v)) {
    return std::min(series_index(part), total(v)) - series_index(v);
  }
  bad_refine(ArgWord::part, part);
}

// ---- hash! tables ------------------------------------------------------------------

void table_inserted(const Cell* v, u32 pos, u32 count, u32 old_total) {
  code::changed(series_node(v));  // cells were written: code compiled from them is checked again
  if (!has_table(v) || count == 0) return;
  u32 table = series_extra(v), node = series_node(v);
  if (hash::insert_range(table, i32(count), pos, old_total - pos, true)) {
    hash::resize(table, mem::buffer_of(node)->used() / sizeof(Cell));
    return;
  }
  for (u32 p = pos; p < pos + count; ++p) {
    if (hash::put_key(table, mem::buffer_of(node)->cells() + p) == hash::PUT_REBUILT) break;
  }
}

void table_removed(const Cell* v, u32 pos, u32 count, u32 old_total) {
  code::changed(series_node(v));  // cells were written: code compiled from them is checked again
  if (!has_table(v) || count == 0) return;
  u32 table = series_extra(v), node = series_node(v);
  if (hash::insert_range(table, -i32(count), pos + count, old_total - pos - count, true)) {
    hash::resize(table, mem::buffer_of(node)->used() / sizeof(Cell));
  }
}

void table_rewritten(const Cell* v, u32 pos, u32 count) {
  code::changed(series_node(v));  // cells were written: code compiled from them is checked again
  if (!has_table(v)) return;
  u32 table = series_extra(v), node = series_node(v);
  // Every rewritten position leaves the table before any is put again: the
  // table matches a bucket by the cell at its first position, and while a
  // rewritten position still stood first in a bucket, a cell equal to its
  // new value would join that bucket, whose other positions hold another.
  hash::remove_range(table, pos, count);
  for (u32 p = pos; p < pos + count; ++p) {
    if (hash::put_key(table, mem::buffer_of(node)->cells() + p) == hash::PUT_REBUILT) break;
  }
}

void table_moved(const Cell* v, u32 to, u32 from, u32 count) {
  code::changed(series_node(v));  // cells were written: code compiled from them is checked again
  if (!has_table(v)) return;
  hash::move_range(series_extra(v), to, from, count);
}

// ---- element access ------------------------------------------------------------------

Cell* pick(Cell* v, i32 n, Cell*) {
  Type t = type_of(v);
  if (is_any_block_type(t) || t == TYPE_MAP) {
    const mem::Buffer* b = buf(v);
    i64 p = i64(series_index(v)) + n + (n > 0 ? -1 : 0);
    if (n == 0 || p < 0 || p >= i64(b->used() / sizeof(Cell))) return none_answer();
    return stack::push_cell(b->cells() + p);
  }
  i64 p = pick_position(v, n);
  if (p < 0) return none_answer();
  if (t == TYPE_VECTOR) {
    if (!vector_get) fire(Err::internal_not_done);
    return vector_get(v, u32(p));
  }
  mem::Buffer* b = buf(v);
  u32 unit = b->unit();
  const u8* at = b->head_ptr() + (u64(p) << shift_of(unit));
  if (t == TYPE_BINARY) return make_integer(stack::push(), *at);
  return make_char(stack::push(), string::get_char(at, unit));
}

Cell* poke(Cell* v, i32 n, Cell*, Cell* value) {
  i64 p = pick_position(v, n);
  if (p < 0) out_of_range_int(n);
  Type t = type_of(v);
  Type vt = type_of(value);
  bool cells = is_any_block_type(t) || t == TYPE_MAP;
  if (t == TYPE_VECTOR) {
    if (!vector_set) fire(Err::internal_not_done);
    if (vt != vector::element_type(v)) fire(Err::script_invalid_arg, value);
  } else if (t == TYPE_BINARY) {
    if (vt != TYPE_INTEGER && vt != TYPE_CHAR) fire(Err::script_invalid_arg, value);
  } else if (!cells && vt != TYPE_CHAR) {
    fire(Err::script_invalid_arg, value);
  }
  bool fired = notify(v, Event::poke, value, i32(p), 1);
  if (fired && p >= total(v)) out_of_range_int(n);  // the owner shortened it
  if (cells) {
    copy_cell(value, buf(v)->cells() + p);
    table_rewritten(v, u32(p), 1);
  } else if (t == TYPE_VECTOR) {
    vector_set(v, u32(p), value);
  } else if (t == TYPE_BINARY) {
    *(buf(v)->head_ptr() + p) = u8(vt == TYPE_CHAR ? char_of(value) : u32(int_of(value)));
  } else {
    string::poke_char(series_node(v), u32(p), char_of(value));
  }
  if (fired) notify(v, Event::poked, value, i32(p), 1);
  return value;
}

// ---- range edits -----------------------------------------------------------------------

Cell* clear(Cell* v) {
  i32 i = series_index(v);
  if (i < 0 || i >= total(v)) return v;
  bool fired = notify(v, Event::clear, nullptr, i, total(v) - i);
  i32 t = total(v);
  if (i < t) {
    if (has_table(v)) hash::remove_range(series_extra(v), u32(i), u32(t - i));
    mem::Buffer* b = buf(v);
    b->tail = b->head + (u32(i) << shift_of(b->unit()));
  }
  if (fired) notify(v, Event::cleared, nullptr, i, 0);
  return v;
}

Cell* remove(Cell* v, Cell* part, Cell* key) {
  i32 n = 1;
  if (part) {
    n = part_count(v, part);
    if (n < 1) return v;
  }
  if (key) {
    auto find = actions::handler<act::Find>(v, ACT_find);
    Cell* found = find(v, key, {});
    if (type_of(found) == TYPE_NONE) return none_answer();
    set_series_index(v, series_index(found));
    n = n < INT32_MAX ? n + 1 : n;  // the key and the value after it
  }
  i32 i = series_index(v);
  if (i < 0 || i >= total(v)) return v;
  i32 count = std::min(n, total(v) - i);
  bool fired = notify(v, Event::remove, nullptr, i, count);
  i32 t = total(v);
  if (i < t) {
    count = std::min(count, t - i);
    mem::Buffer* b = buf(v);
    u32 sh = shift_of(b->unit());
    u8* pos = b->head_ptr() + (u32(i) << sh);
    u32 bytes = u32(count) << sh;
    std::memmove(pos, pos + bytes, b->tail - (b->head + (u32(i) << sh) + bytes));
    b->tail -= bytes;
    table_removed(v, u32(i), u32(count), u32(t));
  }
  if (fired) notify(v, Event::removed, nullptr, i, count);
  return v;
}

Cell* reverse(Cell* v, Cell* part, Cell* skip) {
  i32 i = series_index(v);
  if (i < 0 || i >= total(v)) return v;
  i32 n = total(v) - i;
  if (part) {
    n = std::min(part_count(v, part), n);
    if (n < 1) return v;
  }
  i32 s = 1;
  if (skip) {
    if (type_of(skip) != TYPE_INTEGER) bad_refine(ArgWord::skip, skip);
    s = int_of(skip);
    if (s < 1) fire(Err::script_out_of_range, skip);
    if (s == n) return v;
    if (n < s || n % s != 0) bad_refine(ArgWord::skip, skip);
  }
  bool fired = notify(v, Event::reverse, nullptr, i, n);
  i32 t = total(v);
  if (i < t) {
    n = std::min(n, t - i);
    n -= n % s;
    mem::Buffer* b = buf(v);
    u32 sh = shift_of(b->unit());
    u32 width = u32(s) << sh;
    u8* lo = b->head_ptr() + (u32(i) << sh);
    u8* hi = lo + ((u32(n) << sh) - width);
    while (lo < hi) {
      swap_bytes(lo, hi, width);
      lo += width;
      hi -= width;
    }
    table_rewritten(v, u32(i), u32(n));
  }
  if (fired) notify(v, Event::reversed, nullptr, i, n);
  return v;
}

Cell* random(Cell* v, bool seed, bool secure, bool only) {
  if (seed) {
    i32 len = std::max(length_from_index(v, false), 0);
    mem::Buffer* b = buf(v);
    u32 sh = shift_of(b->unit());
    const u8* pos = b->head_ptr() + (u32(std::min(series_index(v), total(v))) << sh);
    random::seed(i32(hash::murmur3_hash(pos, u32(len) << sh)));
    return unset::push();
  }
  if (only) {
    i32 len = length_from_index(v, false);
    if (len < 1) return none_answer();
    return pick(v, random::range(secure, len), nullptr);
  }
  i32 i = series_index(v);
  if (i < 0 || i >= total(v)) return v;
  bool fired = notify(v, Event::random, nullptr, i, total(v) - i);
  i32 t = total(v);
  if (i < t) {
    mem::Buffer* b = buf(v);
    u32 sh = shift_of(b->unit());
    u32 width = 1u << sh;
    u8* head = b->head_ptr();
    for (i32 k = i; k < t; ++k) {
      i32 r = random::range(secure, t - k);
      if (r > 1) swap_bytes(head + (u32(k) << sh), head + (u32(k + r - 1) << sh), width);
    }
    table_rewritten(v, u32(i), u32(t - i));
  }
  if (fired) notify(v, Event::randomized, nullptr, i, total(v) - i);
  return v;
}

namespace {

bool movable_target(Type t) {
  return is_any_block_type(t) || is_any_string_type(t) || t == TYPE_BINARY || t == TYPE_VECTOR ||
         t == TYPE_IMAGE;
}

[[noreturn]] void move_bad(const Cell* a, const Cell* b) {
  Cell ta, tb;
  make_datatype(&ta, type_of(a));
  make_datatype(&tb, type_of(b));
  fire(Err::script_move_bad, &ta, &tb);
}

// Moves count units from the origin's index to the target's index, on two
// buffers of the same unit.
void move_between(Cell* origin, Cell* target, i32 count) {
  i32 o = series_index(origin);
  i32 tt = total(target);
  i32 t = std::clamp(series_index(target), 0, tt);
  u32 sh = shift_of(unit_of(target));
  u32 bytes = u32(count) << sh;
  mem::Buffer* tb = buf(target);
  u64 need = u64(tb->used()) + bytes;
  if (need > 0xF0000000ull) fire(Err::internal_no_memory);
  if (tb->tail + u64(bytes) > tb->end_offset()) {
    tb = mem::expand_series_copy(series_node(target), u32(std::min<u64>(need * 2, 0xF0000000ull)));
  }
  u8* at = tb->head_ptr() + (u32(t) << sh);
  std::memmove(at + bytes, at, tb->tail - (tb->head + (u32(t) << sh)));
  mem::Buffer* ob = buf(origin);  // after the growth: it may have moved
  u8* from = ob->head_ptr() + (u32(o) << sh);
  std::memcpy(at, from, bytes);
  tb->tail += bytes;
  i32 ot = total(origin);
  std::memmove(from, from + bytes, ob->tail - (ob->head + (u32(o) << sh) + bytes));
  ob->tail -= bytes;
  table_inserted(target, u32(t), u32(count), u32(tt));
  table_removed(origin, u32(o), u32(count), u32(ot));
}

// Moves count units from o to the target position t of the same buffer: t
// names the place before the unit that stands there now, so a place inside
// the moved run leaves everything where it is.
void move_within(Cell* v, i32 o, i32 t, i32 count) {
  i32 dest;
  if (t < o) dest = t;
  else if (t <= o + count) dest = o;
  else dest = t - count;
  if (dest == o) return;
  mem::Buffer* b = buf(v);
  u32 sh = shift_of(b->unit());
  u32 bytes = u32(count) << sh;
  std::vector<u8> run(b->head_ptr() + (u32(o) << sh), b->head_ptr() + (u32(o) << sh) + bytes);
  u8* head = b->head_ptr();
  if (dest < o) {
    std::memmove(head + (u32(dest) << sh) + bytes, head + (u32(dest) << sh), u32(o - dest) << sh);
  } else {
    std::memmove(head + (u32(o) << sh), head + (u32(o) << sh) + bytes, u32(dest - o) << sh);
  }
  std::memcpy(head + (u32(dest) << sh), run.data(), bytes);
  table_moved(v, u32(dest), u32(o), u32(count));
}

}  // namespace

Cell* move(Cell* origin, Cell* target, Cell* part) {
  Type ot = type_of(origin), tt = type_of(target);
  if (!movable_target(tt)) {
    Cell call, type;
    stack::get_call(&call);
    make_datatype(&type, tt);
    fire(Err::script_expect_arg, &call, &type, arg_word(ArgWord::target));
  }
  i32 o = series_index(origin);
  if (o < 0 || o >= total(origin)) return target;
  i32 count = 1;
  if (part) {
    if (type_of(part) != TYPE_INTEGER) bad_refine(ArgWord::part, part);
    if (int_of(part) < 1) return target;
    count = std::min(int_of(part), total(origin) - o);
  }
  bool same = series_node(origin) == series_node(target);
  if (!same) {
    bool ob = is_any_block_type(ot), tb = is_any_block_type(tt);
    if (ob != tb) move_bad(origin, target);
    if (unit_of(origin) != unit_of(target) &&
        !(is_any_string_type(ot) && is_any_string_type(tt))) {
      move_bad(origin, target);
    }
  }
  bool fired = notify(target, Event::move, origin, o, count);
  // The owner may have changed either series: take the measures again.
  count = std::min(count, total(origin) - o);
  i32 moved_to = series_index(target);
  if (count > 0) {
    if (same) {
      i32 t = std::clamp(series_index(target), 0, total(target));
      move_within(origin, o, t, count);
      moved_to = t < o ? t : std::max(o, t - count);
    } else if (unit_of(origin) == unit_of(target)) {
      move_between(origin, target, count);
    } else {
      string::move_chars(origin, target, u32(count) << shift_of(unit_of(origin)));
    }
  }
  if (fired) notify(target, Event::moved, origin, moved_to, count);
  return target;
}

Cell* take(Cell* v, Cell* part, bool, bool last) {
  i32 i = series_index(v);
  i32 len = total(v) - i;
  if (len < 1) return none_answer();
  i32 n = 1;
  if (part) {
    if (type_of(part) == TYPE_INTEGER) {
      n = int_of(part);
    } else if (type_of(part) == type_of(v) && series_node(part) == series_node(v)) {
      i32 pi = std::min(series_index(part), total(v));
      n = pi < i ? 0 : (last ? total(v) - pi : pi - i);
    } else {
      bad_refine(ArgWord::part, part);
    }
  }
  // The units to take: [from, from + count).
  i32 from = i, count;
  if (n > 0) {
    count = std::min(n, len);
    if (last) from = total(v) - count;
  } else {
    // Units before the position (as many as there are); a part of 0, or one
    // with /last, takes nothing.
    count = (n == 0 || last) ? 0 : i32(std::min<i64>(-i64(n), i));
    from = i - count;
  }
  Cell* answer = make_none(stack::push());
  make_none(answer);
  bool fired = false;
  if (count > 0) {
    // The report names the units that go: with /last or a negative part
    // they are not at the position.
    fired = notify(v, Event::take, nullptr, from, count);
    i32 t = total(v);
    if (from >= t) count = 0;
    count = std::min(count, t - from);
  }
  u32 copy = mem::copy_series_part(series_node(v), u32(from), u32(std::max(count, 0)));
  make_series(answer, type_of(v), copy, 0, type_of(v) == TYPE_VECTOR ? series_extra(v) : 0);
  if (type_of(v) == TYPE_HASH) set_series_extra(answer, hash::make(u32(std::max(count, 1)), copy, hash::KIND_BLOCK, 0));
  if (count > 0) {
    i32 t = total(v);
    mem::Buffer* b = buf(v);
    u32 sh = shift_of(b->unit());
    u8* at = b->head_ptr() + (u32(from) << sh);
    u32 bytes = u32(count) << sh;
    std::memmove(at, at + bytes, b->tail - (b->head + (u32(from) << sh) + bytes));
    b->tail -= bytes;
    table_removed(v, u32(from), u32(count), u32(t));
    if (fired) notify(v, Event::taken, nullptr, from, count);
  }
  return answer;
}

Cell* copy(Cell* v, Cell* result, Cell* part, bool, Cell*) {
  i32 t = total(v);
  i32 i = std::clamp(series_index(v), 0, t);
  i64 start = i, count = t - i;
  if (part) {
    Type pt = type_of(part);
    if (pt == TYPE_PAIR) {
      i64 x = pair::x(part), y = pair::y(part);
      start = x < 0 ? i + x : i + x - 1;
      count = y < x ? 0 : y - x;
    } else {
      i64 n = part_count(v, part);
      if (n < 0) {
        start = std::max<i64>(0, i + n);
        count = i - start;
      } else {
        count = n;
      }
    }
  }
  start = std::clamp<i64>(start, 0, t);
  count = std::clamp<i64>(count, 0, t - start);
  u32 node = mem::copy_series_part(series_node(v), u32(start), u32(count));
  Type type = type_of(v);
  make_series(result, type, node, 0, type == TYPE_VECTOR ? series_extra(v) : 0);
  result->header |= v->header & FLAG_NEW_LINE;
  return result;
}

void init() {
  types::register_datatype({TYPE_SERIES, TYPE_NO_TYPE, "series!",
                            {.random = random, .reflect = h_reflect, .at = h_at,
                             .back = h_back, .clear = clear, .copy = copy, .head = h_head,
                             .head_q = h_head_q, .index_q = h_index_q, .length_q = h_length,
                             .move = move, .next = h_next, .pick = pick, .poke = poke,
                             .remove = remove, .reverse = reverse, .skip = h_skip,
                             .tail = h_tail, .tail_q = h_tail_q, .take = take,
                             .modify = h_modify}});
}

}  // namespace qel::series
