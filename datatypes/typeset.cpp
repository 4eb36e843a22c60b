// typeset! handlers and helpers. The set lives in the cell itself, so no
// handler here allocates except those that build blocks or text.
#include "datatypes/typeset.hpp"

#include <cstring>

#include "datatypes/block.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

namespace qel::typeset {

namespace {

inline i32 top_type() { return types::top_type < 96 ? types::top_type : 95; }

Cell* make(Cell*, Cell* spec, Type) {
  Type st = type_of(spec);
  if (st == TYPE_TYPESET) return spec;
  if (st != TYPE_BLOCK) {
    Cell t, s = *spec;
    make_datatype(&t, TYPE_TYPESET);
    fire(Err::script_bad_to_arg, &t, &s);
  }
  stack::Mark mark;
  Cell* out = make_empty(stack::push());
  Cell* item = make_none(stack::push());
  u32 node = series_node(spec);
  for (i32 i = std::max(series_index(spec), 0);
       i < i32(mem::buffer_of(node)->used() / sizeof(Cell)); ++i) {
    copy_cell(mem::buffer_of(node)->cells() + i, item);
    typeset::set_type(out, item);
  }
  return mark.keep(out);
}

// Writes the names of the set's types, one space after each; answers the
// remaining budget.
i32 write_names(const Cell* ts, Cell* buffer, bool only, Cell* part, i32 budget) {
  Cell value = *ts;  // the buffer may grow: keep the bits out of harm's way
  if (!only) {
    string::append_ascii(buffer, "make typeset! [");
    budget -= 15;
  }
  bool wrote = false;
  for (i32 t = 1; t <= top_type(); ++t) {
    if (!has(&value, u32(t))) continue;
    if (part && budget < 0) break;
    const TypeName& n = types::names[t];
    if (!n.name) continue;
    string::append_ascii(buffer, n.name, n.length + 1);
    string::append_char(buffer, ' ');
    budget -= i32(n.length) + 2;
    wrote = true;
  }
  mem::Buffer* b = mem::buffer_of(series_node(buffer));
  u32 units = b->used() / b->unit();
  if (only) {
    if (wrote) {
      string::truncate_buffer(series_node(buffer), units - 1);
      ++budget;
    }
  } else if (wrote) {
    string::poke_char(series_node(buffer), units - 1, ']');
  } else {
    string::append_char(buffer, ']');
    --budget;
  }
  return budget;
}

i32 form(Cell* v, Cell* buffer, Cell* part, i32 budget) {
  return write_names(v, buffer, false, part, budget);
}

i32 mold(Cell* v, Cell* buffer, bool only, bool, bool, Cell* part, i32 budget, i32) {
  return write_names(v, buffer, only, part, budget);
}

i32 compare(Cell* a, Cell* b, i32 op) {
  if (type_of(b) != TYPE_TYPESET) return COMPARE_INCOMPARABLE;
  switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SAME:
    case COMP_EQUAL_NO_CASE:
      return same_words(a, b, WORD_1 | WORD_2 | WORD_3) ? 0 : 1;
    case COMP_SORT: case COMP_CASE_SORT: {
      u32 x = count(a), y = count(b);
      return (x > y) - (x < y);
    }
    default:
      return COMPARE_INCOMPARABLE;
  }
}

Cell* complement(Cell* v) {
  Words b = words_of(v);
  for (u32& w : b.w) w = ~w;
  set_words(v, b);
  return v;
}

Cell* find(Cell* ts, Cell* value, const act::FindOptions& o) {
  if (type_of(value) != TYPE_DATATYPE) fire(Err::script_invalid_arg, value);
  return logic::push(has(ts, datatype_of(value)));
}

void and_t() { do_bitwise(OP_AND); }
void or_t() { do_bitwise(OP_OR); }
void xor_t() { do_bitwise(OP_XOR); }

}  // namespace

void init() {
  types::register_datatype({TYPE_TYPESET, TYPE_NO_TYPE, "typeset!",
                            {.make = make, .to = make, .form = form, .mold = mold,
                             .compare = compare, .and_t = and_t, .complement = complement,
                             .or_t = or_t, .xor_t = xor_t, .find = find}});
}

void clear(Cell* ts) { set_words(ts, Words{{0, 0, 0}}); }

u32 count(const Cell* ts) {
  u32 n = 0;
  for (i32 t = 1; t <= top_type(); ++t) n += has(ts, u32(t)) ? 1 : 0;
  return n;
}

Cell* append_bits(u32 block, u32 w1, u32 w2, u32 w3) {
  Cell* c = mem::alloc_tail_cell(block);
  c->header = TYPE_TYPESET;
  set_words(c, Words{{w1, w2, w3}});
  return c;
}

Cell* make_all_in(u32 block) {
  Cell all;
  make_empty(&all);
  set_words(&all, Words{{0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}});
  bits(&all)[TYPE_UNSET >> 3] &= u8(~(0x80u >> (TYPE_UNSET & 7)));
  Words b = words_of(&all);
  return append_bits(block, b.w[0], b.w[1], b.w[2]);
}

Cell* make_in(u32 block, const Cell* spec_in) {
  stack::Mark mark;
  Cell* spec = stack::push_cell(spec_in);
  Cell* ts = make_empty(stack::push());
  Cell* item = make_none(stack::push());
  Cell* value = make_none(stack::push());
  u32 node = series_node(spec);
  for (i32 i = std::max(series_index(spec), 0);
       i < i32(mem::buffer_of(node)->used() / sizeof(Cell)); ++i) {
    copy_cell(mem::buffer_of(node)->cells() + i, item);
    copy_cell(item, value);
    if (type_of(item) == TYPE_WORD) copy_cell(word::get_value_cell(item), value);
    switch (type_of(value)) {
      case TYPE_DATATYPE: add(ts, datatype_of(value)); break;
      case TYPE_TYPESET: merge(ts, value); break;
      case TYPE_WORD: add(ts, TYPE_OBJECT); break;
      case TYPE_BLOCK: break;
      default: fire(Err::script_invalid_type_spec, item);
    }
  }
  Words b = words_of(ts);
  return append_bits(block, b.w[0], b.w[1], b.w[2]);
}

void set_type(Cell* ts, const Cell* value_in) {
  stack::Mark mark;
  Cell* value = stack::push_cell(value_in);
  if (type_of(value) == TYPE_WORD) value = word::get(value);
  switch (type_of(value)) {
    case TYPE_TYPESET: merge(ts, value); break;
    case TYPE_DATATYPE: add(ts, datatype_of(value)); break;
    default: fire(Err::script_invalid_arg, value);
  }
}

Cell* to_block(const Cell* ts_in, Cell* out) {
  Cell ts = *ts_in;
  block::make_at(out, 4);
  for (i32 t = 1; t <= top_type(); ++t) {
    if (!has(&ts, u32(t))) continue;
    make_datatype(mem::alloc_tail_cell(series_node(out)), Type(t));
  }
  return out;
}

void do_bitwise(i32 op) {
  Cell* a = stack::base;
  Cell* b = stack::base + 1;
  Cell second;
  if (type_of(b) == TYPE_DATATYPE) {
    make_empty(&second);
    add(&second, datatype_of(b));
  } else if (type_of(b) == TYPE_TYPESET) {
    second = *b;
  } else {
    fire(Err::script_invalid_arg, b);
  }
  if (op == OP_UNIQUE) return;
  const Words xs = words_of(a), ys = words_of(&second);
  const u32* x = xs.w;
  const u32* y = ys.w;
  Words rs;
  u32* r = rs.w;
  for (int i = 0; i < 3; ++i) {
    switch (op) {
      case OP_OR: case OP_UNION: r[i] = x[i] | y[i]; break;
      case OP_AND: case OP_INTERSECT: r[i] = x[i] & y[i]; break;
      case OP_XOR: case OP_DIFFERENCE: r[i] = x[i] ^ y[i]; break;
      case OP_EXCLUDE: r[i] = x[i] & ~y[i]; break;
      default: fire(Err::internal_not_done);
    }
  }
  a->header = TYPE_TYPESET;
  set_words(a, rs);
}

}  // namespace qel::typeset
