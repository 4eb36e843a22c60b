#include "datatypes/bitset.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "datatypes/ownership.hpp"
#include "runtime/collector.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/walk_depth.hpp"
#include "runtime/words.hpp"

namespace qel::bitset {

namespace {

using mem::Buffer;

inline Buffer* buf(u32 node) { return mem::buffer_of(node); }
inline u32 len(u32 node) { return buf(node)->used(); }
inline bool neg(u32 node) { return (buf(node)->flags & mem::SERIES_BITS_NOT) != 0; }
inline u8 mask(i64 bit) { return u8(0x80u >> (bit & 7)); }

Cell* make_cell(Cell* out, u32 node) {
  return make_series(out, TYPE_BITSET, node);
}

// A new byte series of n bytes, all set to fill, flagged negated when asked.
u32 new_bytes(u32 n, u8 fill, bool negated) {
  u32 node = mem::alloc_bytes(n);
  Buffer* b = buf(node);
  std::memset(b->head_ptr(), fill, n);
  b->tail = b->head + n;
  if (negated) b->flags |= mem::SERIES_BITS_NOT;
  return node;
}

// Makes bit `bit` addressable: moves the tail out to byte bit / 8 + 1,
// writing every byte it passes (0xFF on a negated bitset, else 0x00).
void grow(u32 node, i64 bit) {
  u32 need = u32(bit / 8 + 1);
  u32 used = len(node);
  if (need <= used) return;
  Buffer* b = buf(node);
  if (u64(b->head) + need > b->end_offset()) {
    u64 want = std::max<u64>(need, std::min<u64>(u64(b->size) * 2, u64(need) + (1u << 20)));
    b = mem::expand_series_copy(node, u32(want));
  }
  std::memset(b->head_ptr() + used, neg(node) ? 0xFF : 0x00, need - used);
  b->tail = b->head + need;
}


// Bits beyond the tail already have the membership of the bitset's kind:
// setting them on a negated bitset and clearing them on a plain one changes
// nothing; the other way round the tail moves out first.
void set_bit(u32 node, i64 bit) {
  if (bit >= i64(len(node)) * 8) {
    if (neg(node)) return;
    grow(node, bit);
  }
  buf(node)->head_ptr()[bit / 8] |= mask(bit);
}

void clear_bit(u32 node, i64 bit) {
  if (bit >= i64(len(node)) * 8) {
    if (!neg(node)) return;
    grow(node, bit);
  }
  buf(node)->head_ptr()[bit / 8] &= u8(~mask(bit));
}

// Sets or clears the stored bits low..high, all inside the stored bytes,
// a whole byte at a time where it can.
void fill_bits(u32 node, i64 low, i64 high, bool on) {
  u8* p = buf(node)->head_ptr();
  auto apply = [&](i64 bit) {
    if (on) p[bit / 8] |= mask(bit); else p[bit / 8] &= u8(~mask(bit));
  };
  i64 bit = low;
  for (; bit <= high && (bit & 7); ++bit) apply(bit);
  i64 whole_end = (high + 1) & ~i64(7);  // the first bit after the last whole byte
  if (bit < whole_end) {
    std::memset(p + bit / 8, on ? 0xFF : 0x00, std::size_t((whole_end - bit) / 8));
    bit = whole_end;
  }
  for (; bit <= high; ++bit) apply(bit);
}

// Whether every stored bit low..high (inside the stored bytes) is set.
bool all_set(u32 node, i64 low, i64 high) {
  const u8* p = buf(node)->head_ptr();
  i64 bit = low;
  for (; bit <= high && (bit & 7); ++bit) {
    if (!(p[bit / 8] & mask(bit))) return false;
  }
  i64 whole_end = (high + 1) & ~i64(7);
  for (; bit < whole_end; bit += 8) {
    if (p[bit / 8] != 0xFF) return false;
  }
  for (; bit <= high; ++bit) {
    if (!(p[bit / 8] & mask(bit))) return false;
  }
  return true;
}

// Bits low..high (inclusive; low may be negative only in test mode). Bits
// beyond the tail are handled as single bits are: they already have the
// membership of the bitset's kind, so only a plain set or a negated clear
// moves the tail out first.
i64 process_range(u32 node, i64 low, i64 high, Mode mode) {
  if (mode == MEASURE) return high;
  if ((mode == SET && !neg(node)) || (mode == CLEAR && neg(node))) grow(node, high);
  i64 stored_end = std::min<i64>(high, i64(len(node)) * 8 - 1);
  i64 from = std::max<i64>(low, 0);
  if (mode == TEST) {
    if ((low < 0 || high > stored_end) && !neg(node)) return 0;
    return from > stored_end || all_set(node, from, stored_end) ? 1 : 0;
  }
  if (from <= stored_end) fill_bits(node, from, stored_end, mode == SET);
  return 1;
}

// The code points of the string from its index.
i64 process_string(const Cell* str, u32 node, Mode mode) {
  u32 start = string::length_from_head(str) - string::length_from_index(str);
  u32 n = string::length_from_index(str);
  i64 highest = -1;
  for (u32 i = 0; i < n; ++i) highest = std::max<i64>(highest, string::char_at(str, start + i));
  if (mode == MEASURE) return highest;
  if (highest < 0) return 1;
  // Growing first keeps every later write inside the buffer.
  if ((mode == SET && !neg(node)) || (mode == CLEAR && neg(node))) grow(node, highest);
  for (u32 i = 0; i < n; ++i) {
    i64 cp = string::char_at(str, start + i);
    switch (mode) {
      case SET: set_bit(node, cp); break;
      case CLEAR: clear_bit(node, cp); break;
      default:
        if (!test_bit(node, cp)) return 0;
        break;
    }
  }
  return 1;
}

[[noreturn]] void unsupported(const Cell* value, Caller caller) {
  Cell v = *value;
  if (caller == FOR_OTHER) fire(Err::script_invalid_arg, &v);
  Cell t;
  make_datatype(&t, TYPE_BITSET);
  fire(caller == FOR_MAKE ? Err::script_bad_make_arg : Err::script_bad_to_arg, &t, &v);
}

// The bit a char!, integer! or float! names (a float truncated toward zero).
i64 bit_of(const Cell* v) {
  switch (type_of(v)) {
    case TYPE_CHAR: return i64(char_of(v));
    case TYPE_INTEGER: return int_of(v);
    default: {
      double d = float_of(v);
      if (!(d > -2147483649.0 && d < 2147483648.0)) {
        Cell c = *v;
        fire(Err::script_out_of_range, &c);
      }
      return i64(std::trunc(d));
    }
  }
}

bool is_dash(const Cell* v) {
  return type_of(v) == TYPE_WORD &&
         symbol::resolve(word::symbol_of(v)) == symbol::resolve(words::symbol(words::W_DASH));
}

i64 walk(const Cell* spec_in, u32 node, Mode mode, Caller caller);

// Levels of nested blocks the spec walk is in: a spec that holds itself, or
// one nested past the walk depth limit, raises instead of overrunning the stack.
u32 g_walk_depth = 0;

i64 walk_block(const Cell* block_in, u32 node, Mode mode, Caller caller) {
  runtime::check_walk_depth(g_walk_depth);
  struct Level {
    Level() { ++g_walk_depth; }
    ~Level() { --g_walk_depth; }
  } level;
  stack::Mark mark;
  Cell* block = stack::push_cell(block_in);  // keeps the block alive
  u32 bn = series_node(block);
  auto count = [&] { return buf(bn)->used() / u32(sizeof(Cell)); };
  auto item = [&](u32 i) { return buf(bn)->cells()[i]; };
  i64 highest = -1;
  for (u32 i = series_index(block) < 0 ? 0 : u32(series_index(block)); i < count(); ++i) {
    Cell low = item(i);
    i64 r = walk(&low, node, mode, caller);
    if (mode == TEST && r == 0) return 0;
    if (mode == MEASURE) highest = std::max(highest, r);
    Type lt = type_of(&low);
    if ((lt != TYPE_CHAR && lt != TYPE_INTEGER) || i + 1 >= count()) continue;
    Cell dash = item(i + 1);
    if (!is_dash(&dash)) continue;
    if (i + 2 >= count()) fire(Err::script_past_end);
    Cell up = item(i + 2);
    if (type_of(&up) != lt) fire(Err::script_invalid_arg, &up);
    i64 lo = bit_of(&low), hi = bit_of(&up);
    if (hi < lo) fire(Err::script_past_end);
    r = process_range(node, lo, hi, mode);
    if (mode == TEST && r == 0) return 0;
    if (mode == MEASURE) highest = std::max(highest, r);
    i += 2;
  }
  return mode == MEASURE ? highest : 1;
}

i64 walk(const Cell* spec, u32 node, Mode mode, Caller caller) {
  switch (type_of(spec)) {
    case TYPE_CHAR: case TYPE_INTEGER: case TYPE_FLOAT: {
      i64 bit = bit_of(spec);
      if (bit < 0 && mode != TEST) {
        Cell v = *spec;
        fire(Err::script_out_of_range, &v);
      }
      switch (mode) {
        case MEASURE: return bit;
        case TEST: return test_bit(node, bit) ? 1 : 0;
        case SET: set_bit(node, bit); return 1;
        case CLEAR: clear_bit(node, bit); return 1;
      }
      return 0;
    }
    case TYPE_STRING:
      return process_string(spec, node, mode);
    case TYPE_BLOCK:
      return walk_block(spec, node, mode, caller);
    case TYPE_BINARY:
      fire(Err::internal_not_done);
    default:
      unsupported(spec, caller);
  }
}

// The change events of an owned bitset, around a change: the action's event
// before it and, only when that reached an owner, the past one after it.
struct Notice {
  const Cell* bits;
  const Cell* value;
  series::Event after;
  bool fired;
  Notice(const Cell* b, series::Event before, series::Event past, const Cell* v)
      : bits(b), value(v), after(past), fired(series::notify(b, before, v, 0, 0)) {}
  void done() {
    if (fired) series::notify(bits, after, value, 0, 0);
    fired = false;
  }
};

// ---- make and to --------------------------------------------------------------------

Cell* make_from_binary(Cell* out, const Cell* bin, bool negated) {
  u32 bnode = series_node(bin);
  u32 used = len(bnode);
  u32 index = series_index(bin) < 0 ? 0 : std::min<u32>(u32(series_index(bin)), used);
  u32 n = used - index;
  u32 node = new_bytes(n, 0, negated);
  const u8* src = buf(bnode)->head_ptr() + index;
  u8* dst = buf(node)->head_ptr();
  for (u32 i = 0; i < n; ++i) dst[i] = negated ? u8(~src[i]) : src[i];
  return make_cell(out, node);
}

// ---- text ---------------------------------------------------------------------------

i32 write_text(Cell* v, Cell* buffer, Cell* arg, i32 limit) {
  u32 node = series_node(v);
  bool negated = neg(node);
  auto put = [&](const char* text) {
    if (arg && limit <= 0) return;
    string::append_ascii(buffer, text);
    limit -= i32(std::strlen(text));
  };
  put("make bitset! ");
  if (negated) put("[not ");
  put("#{");
  for (u32 i = 0; i < len(node); ++i) {
    if (arg && limit < 0) break;
    u8 byte = buf(node)->head_ptr()[i];
    string::append_ascii(buffer, string::byte_to_hex(negated ? u8(~byte) : byte), 2);
    limit -= 2;
  }
  put("}");
  if (negated) put("]");
  return limit;
}

i32 bitset_form(Cell* v, Cell* buffer, Cell* arg, i32 limit) { return write_text(v, buffer, arg, limit); }
i32 bitset_mold(Cell* v, Cell* buffer, bool, bool, bool, Cell* arg, i32 limit, i32) {
  return write_text(v, buffer, arg, limit);
}

// ---- actions ------------------------------------------------------------------------

Cell* bitset_make(Cell*, Cell* spec, Type) { return make(spec, true); }
Cell* bitset_to(Cell*, Cell* spec, Type) { return make(spec, false); }

Cell* bitset_pick(Cell* bits, i32, Cell* index) {
  bool m = process(index, bits, TEST, FOR_OTHER) != 0;
  return make_logic(stack::push(), m);
}

Cell* bitset_find(Cell* bits, Cell* value, const act::FindOptions& o) {
  bool m = process(value, bits, TEST, FOR_OTHER) != 0;
  Cell* out = make_none(stack::push());
  return m ? make_logic(out, true) : make_none(out);
}

bool clears(const Cell* v) {
  switch (type_of(v)) {
    case TYPE_NONE: return true;
    case TYPE_LOGIC: return !logic_of(v);
    case TYPE_INTEGER: return int_of(v) == 0;
    case TYPE_FLOAT: return float_of(v) == 0.0;
    default: return false;
  }
}

Cell* bitset_poke(Cell* bits, i32, Cell* index, Cell* value) {
  Notice n(bits, series::Event::poke, series::Event::poked, value);
  process(index, bits, clears(value) ? CLEAR : SET, FOR_OTHER);
  n.done();
  return value;
}

Cell* bitset_eval_path(Cell* parent, Cell* element, Cell* value, const PathStep&) {
  Type t = type_of(element);
  if (t != TYPE_CHAR && t != TYPE_INTEGER) {
    Cell dt;
    make_datatype(&dt, t);
    fire(Err::script_invalid_type, &dt);
  }
  if (value) return bitset_poke(parent, 0, element, value);
  return bitset_pick(parent, 0, element);
}

Cell* bitset_insert(Cell* bits, Cell* value, i32, bool, i32, bool) {
  Notice n(bits, series::Event::insert, series::Event::inserted, value);
  process(value, bits, SET, FOR_OTHER);
  n.done();
  return bits;
}

// remove/part: the value's bits stop being members (on either kind).
Cell* bitset_remove(Cell* bits, Cell* part, Cell*) {
  if (!part) fire(Err::script_missing_arg);
  Notice n(bits, series::Event::remove, series::Event::removed, part);
  process(part, bits, CLEAR, FOR_OTHER);
  n.done();
  return bits;
}

// clear: the bitset becomes the empty set (a negated one becomes plain).
Cell* bitset_clear(Cell* bits) {
  Notice n(bits, series::Event::clear, series::Event::cleared, nullptr);
  u32 node = series_node(bits);
  std::memset(buf(node)->head_ptr(), 0, len(node));
  buf(node)->flags &= ~mem::SERIES_BITS_NOT;
  n.done();
  return bits;
}

Cell* bitset_copy(Cell* bits, Cell* result, Cell*, bool, Cell*) {
  u32 node = mem::copy_series_buffer(series_node(bits));
  return make_cell(result, node);
}

Cell* complement_of(const Cell* bits, Cell* out) {
  u32 node = mem::copy_series_buffer(series_node(bits));
  Buffer* b = buf(node);
  for (u8* p = b->head_ptr(); p < b->tail_ptr(); ++p) *p = u8(~*p);
  b->flags ^= mem::SERIES_BITS_NOT;
  return make_cell(out, node);
}

Cell* bitset_complement(Cell* bits) { return complement_of(bits, make_none(stack::push())); }
Cell* bitset_negate(Cell* bits) { return complement_of(bits, bits); }

i32 bitset_length(Cell* bits) { return i32(std::min<u64>(u64(len(series_node(bits))) * 8, 0x7FFFFFFF)); }

bool is_owned_word(u32 sym) {
  return symbol::resolve(sym) == symbol::resolve(words::symbol(words::W_OWNED));
}

Cell* bitset_reflect(Cell* bits, u32 field) {
  if (!is_owned_word(field)) fire(Err::internal_not_done);
  Cell* owner = ownership::owner_of(series_node(bits));
  Cell* out = make_none(stack::push());
  if (owner) copy_cell(owner, out); else make_none(out);
  return out;
}

Cell* bitset_modify(Cell* bits, Cell* field, Cell* value, bool) {
  if (!is_any_word_type(type_of(field)) || !is_owned_word(word::symbol_of(field))) return value;
  if (is_none(value)) {
    ownership::unbind(bits);
  } else if (type_of(value) == TYPE_BLOCK) {
    u32 node = series_node(value);
    u32 i = series_index(value) < 0 ? 0 : u32(series_index(value));
    if (i + 2 <= len(node) / sizeof(Cell)) {
      Cell owner = buf(node)->cells()[i], word = buf(node)->cells()[i + 1];
      ownership::bind(bits, &owner, &word);
    }
  }
  return value;
}

i32 bitset_compare(Cell* a, Cell* b, i32 op) {
  if (type_of(b) != TYPE_BITSET) return COMPARE_INCOMPARABLE;
  u32 na = series_node(a), nb = series_node(b);
  if (op == COMP_SAME) return na == nb ? 0 : -1;
  u32 la = len(na), lb = len(nb);
  if (la != lb) return la < lb ? -1 : 1;
  if (la == 0) return 0;
  bool ga = neg(na), gb = neg(nb);
  if (ga != gb) return ga ? 1 : -1;
  const u8* pa = buf(na)->head_ptr();
  const u8* pb = buf(nb)->head_ptr();
  for (u32 i = la; i-- > 0;) {
    if (pa[i] != pb[i]) return pa[i] < pb[i] ? -1 : 1;
  }
  return 0;
}

void e_and() { do_bitwise(OP_AND); }
void e_or() { do_bitwise(OP_OR); }
void e_xor() { do_bitwise(OP_XOR); }

u8 combine(i32 op, u8 x, u8 y) {
  switch (op) {
    case OP_OR: case OP_UNION: return x | y;
    case OP_AND: case OP_INTERSECT: return x & y;
    case OP_XOR: case OP_DIFFERENCE: return x ^ y;
    default: return u8(x & ~y);  // exclude
  }
}

}  // namespace

bool negated(const Cell* bits) { return neg(series_node(bits)); }
u32 byte_length(const Cell* bits) { return len(series_node(bits)); }

i64 process(const Cell* spec_in, Cell* bits, Mode mode, Caller caller) {
  stack::Mark mark;
  Cell* spec = stack::push_cell(spec_in);
  u32 node = bits ? series_node(bits) : 0;
  if (mode == SET && node) {
    // The tail first covers the highest bit named, as make would size it.
    i64 highest = walk(spec, 0, MEASURE, caller);
    if (highest >= 0) grow(node, highest);
  }
  return walk(spec, node, mode, caller);
}

Cell* make(const Cell* spec_in, bool for_make) {
  stack::Mark mark;
  Cell* out = make_none(stack::push());
  Cell* spec = stack::push_cell(spec_in);
  Caller caller = for_make ? FOR_MAKE : FOR_TO;
  bool negated = false;
  if (type_of(spec) == TYPE_BLOCK) {
    u32 bn = series_node(spec);
    u32 i = series_index(spec) < 0 ? 0 : u32(series_index(spec));
    u32 count = len(bn) / sizeof(Cell);
    Cell first;
    if (i < count) first = buf(bn)->cells()[i];
    if (i < count && type_of(&first) == TYPE_WORD &&
        symbol::resolve(word::symbol_of(&first)) == symbol::resolve(words::symbol(words::W_NOT))) {
      negated = true;
      set_series_index(spec, i32(i + 1));
      if (i + 1 < count && type_of(buf(bn)->cells() + i + 1) == TYPE_BINARY) {
        copy_cell(buf(bn)->cells() + i + 1, spec);
      }
    }
  }
  switch (type_of(spec)) {
    case TYPE_INTEGER: case TYPE_FLOAT: {
      if (!for_make) unsupported(spec, FOR_TO);
      i64 bits = bit_of(spec);
      if (bits < 0) fire(Err::script_out_of_range, spec);
      make_cell(out, new_bytes(u32((bits + 7) / 8), 0, false));
      break;
    }
    case TYPE_BITSET:
      make_cell(out, mem::copy_series_buffer(series_node(spec)));
      break;
    case TYPE_BINARY:
      make_from_binary(out, spec, negated);
      break;
    default: {
      i64 highest = walk(spec, 0, MEASURE, caller);
      u32 bytes = u32(std::max<i64>((highest + 8) / 8, 1));
      make_cell(out, new_bytes(bytes, negated ? 0xFF : 0x00, negated));
      walk(spec, series_node(out), negated ? CLEAR : SET, caller);
      break;
    }
  }
  return mark.keep(out);
}

void do_bitwise(i32 op) {
  Cell* a = stack::base;
  Cell* b = stack::base + 1;
  if (type_of(b) != TYPE_BITSET || type_of(a) != TYPE_BITSET) {
    Cell dt;
    make_datatype(&dt, type_of(type_of(b) != TYPE_BITSET ? b : a));
    fire(Err::script_invalid_type, &dt);
  }
  stack::keep(2);
  if (op == OP_UNIQUE) {
    stack::keep();
    return;
  }
  u32 na = series_node(a), nb = series_node(b);
  u32 la = len(na), lb = len(nb);
  bool ga = neg(na), gb = neg(nb);
  // Beyond its tail an operand holds every bit (negated) or none: the result
  // combines those too, so its own kind is the combination of the kinds.
  bool result_negated = combine(op, ga ? 0xFF : 0, gb ? 0xFF : 0) != 0;
  u32 n = std::max(la, lb);
  // and~ of two plain bitsets keeps only the common length: nothing lies beyond.
  if (op == OP_AND && !ga && !gb) n = std::min(la, lb);
  u32 node = new_bytes(n, 0, result_negated);
  const u8* pa = buf(na)->head_ptr();
  const u8* pb = buf(nb)->head_ptr();
  u8* out = buf(node)->head_ptr();
  for (u32 i = 0; i < n; ++i) {
    u8 x = i < la ? pa[i] : (ga ? 0xFF : 0x00);
    u8 y = i < lb ? pb[i] : (gb ? 0xFF : 0x00);
    out[i] = combine(op, x, y);
  }
  make_cell(stack::base, node);
  stack::keep();
}

void init() {
  ActionTable t;  // no parent: every slot left out is empty
  t.make = bitset_make;
  t.reflect = bitset_reflect;
  t.to = bitset_to;
  t.form = bitset_form;
  t.mold = bitset_mold;
  t.eval_path = bitset_eval_path;
  t.compare = bitset_compare;
  t.negate = bitset_negate;
  t.and_t = e_and;
  t.complement = bitset_complement;
  t.or_t = e_or;
  t.xor_t = e_xor;
  t.append = bitset_insert;
  t.clear = bitset_clear;
  t.copy = bitset_copy;
  t.find = bitset_find;
  t.insert = bitset_insert;
  t.length_q = bitset_length;
  t.pick = bitset_pick;
  t.poke = bitset_poke;
  t.remove = bitset_remove;
  t.modify = bitset_modify;
  gc::set_mark_rule(TYPE_BITSET, [](const Cell* b) { gc::mark_node_at(series_node_slot(b)); });
  types::register_datatype({TYPE_BITSET, TYPE_NO_TYPE, "bitset!", t});
}

}  // namespace qel::bitset
