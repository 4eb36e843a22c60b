#include "datatypes/map.hpp"

#include <algorithm>

#include "datatypes/block.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/typeset.hpp"
#include "datatypes/word.hpp"
#include "runtime/actions.hpp"
#include "runtime/cycles.hpp"
#include "runtime/error.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/words.hpp"

namespace qel::map {

namespace {

using mem::buffer_of;

// A removed entry's value cell has an all-zero header.
inline bool removed(const Cell* value) { return value->header == 0; }

inline Cell* cells_of(const Cell* map) { return buffer_of(block_of(map))->cells(); }
inline u32 cell_total(const Cell* map) { return buffer_of(block_of(map))->used() / sizeof(Cell); }

[[noreturn]] void bad_key(const Cell* key) {
  Cell type, k = *key;
  make_datatype(&type, type_of(key));
  fire(Err::script_invalid_path, &type, &k);
}

bool string_like(Type t) { return is_any_string_type(t) || t == TYPE_BINARY; }

// The key preparation the hash tables run on every key they store for a map:
// word keys become set-word!, string-like keys private copies; a key of any
// other datatype that may not be a key raises script invalid-path.
void prepare_key(u32 block, u32 position) {
  Cell* key = buffer_of(block)->cells() + position;
  Type t = type_of(key);
  if (!valid_key(t)) bad_key(key);
  clear_new_line(key);
  if (t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD) {
    set_type(key, TYPE_SET_WORD);
  } else if (string_like(t)) {
    roots::NodeRoot hold(&block);
    stack::Mark mark;
    Cell* original = stack::push_cell(key);
    Cell* copy = make_none(stack::push());
    series::copy(original, copy, nullptr, false, nullptr);
    clear_new_line(copy);
    copy_cell(copy, buffer_of(block)->cells() + position);
  }
}

i32 op_of(Mode mode) {
  switch (mode) {
    case MODE_CASE: return COMP_STRICT_EQUAL;
    case MODE_SAME: return COMP_SAME;
    default: return COMP_EQUAL;
  }
}

// The key cell in the block (live or removed) that matches, or nullptr.
Cell* find_key(const Cell* map, const Cell* key, Mode mode) {
  if (!valid_key(type_of(key))) return nullptr;
  return hash::map_lookup(table_of(map), key, op_of(mode), nullptr);
}

Cell* push_block(u32 capacity) {
  u32 node = mem::alloc_cells(capacity ? capacity : 1);
  return make_series(stack::push(), TYPE_BLOCK, node);
}

// The number of cells of a block-like spec from its index.
i32 spec_count(const Cell* spec) {
  i32 n = series::total(spec) - std::max(series_index(spec), 0);
  return n < 0 ? 0 : n;
}

[[noreturn]] void bad_to(const Cell* spec) {
  Cell type, s = *spec;
  make_datatype(&type, TYPE_MAP);
  fire(Err::script_bad_to_arg, &type, &s);
}

// ---- make and to -------------------------------------------------------------

Cell* from_block(const Cell* spec_in) {
  Cell* spec = stack::push_cell(spec_in);
  i32 n = spec_count(spec);
  if (n % 2) fire(Err::script_invalid_arg, spec);
  u32 node = mem::alloc_cells(u32(std::max(n, 2)));
  roots::NodeRoot hold(&node);
  mem::Buffer* b = buffer_of(node);
  const Cell* from = buffer_of(series_node(spec))->cells() + std::max(series_index(spec), 0);
  Cell* to = b->cells();
  for (i32 i = 0; i < n; ++i) {
    copy_cell(from + i, to + i);
    clear_new_line(to + i);
  }
  b->tail = b->head + u32(n) * sizeof(Cell);
  make_at(spec, node, 0);
  return spec;
}

Cell* copy_map(Cell* map, Cell* result, bool deep, Cell* types);

Cell* h_make(Cell*, Cell* spec, Type) {
  switch (type_of(spec)) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: return from_block(spec);
    case TYPE_INTEGER: case TYPE_FLOAT: {
      double d = type_of(spec) == TYPE_INTEGER ? double(int_of(spec)) : float_of(spec);
      if (!(d >= 0)) fire(Err::script_out_of_range, spec);
      if (d > 0x08000000) fire(Err::internal_no_memory);
      return make_at(stack::push(), 0, u32(d) * 2);
    }
    case TYPE_MAP: return copy_map(spec, make_none(stack::push()), false, nullptr);
    default: bad_to(spec);
  }
}

Cell* h_to(Cell* proto, Cell* spec, Type type) {
  if (type_of(spec) == TYPE_INTEGER || type_of(spec) == TYPE_FLOAT) bad_to(spec);
  return h_make(proto, spec, type);
}

// ---- reflect -------------------------------------------------------------------

Cell* h_reflect(Cell* map, u32 field) {
  u32 f = symbol::resolve(field);
  bool words_ = f == symbol::resolve(words::symbol(words::W_WORDS));
  bool values_ = f == symbol::resolve(words::symbol(words::W_VALUES));
  bool body = f == symbol::resolve(words::symbol(words::W_BODY));
  if (!words_ && !values_ && !body) fire(Err::internal_not_done);
  stack::Mark mark;
  Cell* m = stack::push_cell(map);
  u32 live = key_count(m);
  Cell* out = push_block(body ? 2 * live : live);
  u32 node = series_node(out);
  // The block was made with room for every live entry: nothing below allocates.
  for (u32 i = 0; i + 1 < cell_total(m); i += 2) {
    Cell key = cells_of(m)[i], value = cells_of(m)[i + 1];
    if (removed(&value)) continue;
    if (type_of(&key) == TYPE_SET_WORD && !body) set_type(&key, TYPE_WORD);
    if (words_ || body) {
      set_new_line(&key, body);
      *mem::alloc_tail_cell(node) = key;
    }
    if (values_ || body) *mem::alloc_tail_cell(node) = value;
  }
  return mark.keep(out);
}

// ---- form and mold -----------------------------------------------------------------

i32 write_indent(Cell* buffer, i32 level, i32 budget) {
  for (i32 i = 0; i < level; ++i) string::append_ascii(buffer, "    ", 4);
  return budget - 4 * std::max(level, 0);
}

// The live entries, `key value` each: on one line separated by spaces when
// flat, else each on a line of its own at the given indentation (after a
// first new line when lead is set).
i32 write_entries(Cell* map_in, Cell* buffer, bool all, bool flat, bool lead, Cell* part,
                  i32 budget, i32 indent) {
  stack::Mark mark;
  Cell* map = stack::push_cell(map_in);
  Cell* cell = make_none(stack::push());
  bool first = true;
  if (!flat && lead && key_count(map)) budget = string::write_ascii(buffer, "\n", budget);
  for (u32 i = 0; i + 1 < cell_total(map); i += 2) {
    if (part && budget <= 0) break;
    if (removed(cells_of(map) + i + 1)) continue;
    if (flat && !first) budget = string::write_ascii(buffer, " ", budget);
    if (!flat) budget = write_indent(buffer, indent, budget);
    first = false;
    copy_cell(cells_of(map) + i, cell);
    budget = actions::mold(cell, buffer, false, all, flat, part, budget, indent);
    budget = string::write_ascii(buffer, " ", budget);
    copy_cell(cells_of(map) + i + 1, cell);
    budget = actions::mold(cell, buffer, false, all, flat, part, budget, indent);
    if (!flat) budget = string::write_ascii(buffer, "\n", budget);
  }
  return budget;
}

i32 h_mold(Cell* map, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 budget,
           i32 indent) {
  if (const char* m = cycles::marker(map, true)) return string::write_ascii(buffer, m, budget);
  cycles::Scope scope(block_of(map));
  if (!only) budget = string::write_ascii(buffer, "#[", budget);
  bool any = key_count(map) > 0;
  budget = write_entries(map, buffer, all, flat, !only, part, budget, only ? 0 : indent + 1);
  if (only) return budget;
  if (part && budget <= 0) return budget;
  if (any && !flat && indent > 0) budget = write_indent(buffer, indent, budget);
  return string::write_ascii(buffer, "]", budget);
}

i32 h_form(Cell* map, Cell* buffer, Cell* part, i32 budget) {
  if (const char* m = cycles::marker(map, false)) return string::write_ascii(buffer, m, budget);
  cycles::Scope scope(block_of(map));
  return write_entries(map, buffer, false, false, false, part, budget, 0);
}

// ---- path access, find, select, put, remove --------------------------------------------

Cell* h_eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  if (!value) {
    Cell* v = find_value(parent, element, step.case_ ? MODE_CASE : MODE_EQUAL);
    return v ? stack::push_cell(v) : make_none(stack::push());
  }
  set(parent, element, value, step.case_);
  return value;
}

Mode mode_of(bool case_, bool same) { return same ? MODE_SAME : case_ ? MODE_CASE : MODE_EQUAL; }

Cell* h_find(Cell* map, Cell* key, const act::FindOptions& o) {
  Cell* k = find_key(map, key, mode_of(o.case_, o.same));
  if (!k || removed(k + 1)) return make_none(stack::push());
  Cell* out = stack::push_cell(k);
  clear_new_line(out);
  if (type_of(out) == TYPE_SET_WORD) set_type(out, TYPE_WORD);
  return out;
}

Cell* h_select(Cell* map, Cell* key, const act::FindOptions& o) {
  Cell* v = find_value(map, key, mode_of(o.case_, o.same));
  return v ? stack::push_cell(v) : make_none(stack::push());
}

Cell* h_put(Cell* map, Cell* key, Cell* value, bool case_) {
  set(map, key, value, case_);
  return value;
}

Cell* h_remove(Cell* map, Cell*, Cell* key) {
  if (!key) fire(Err::script_missing_arg);
  Cell* k = find_key(map, key, MODE_CASE);
  if (k && !removed(k + 1)) hash::delete_at(table_of(map), k);
  return map;
}

i32 h_length(Cell* map) { return i32(key_count(map)); }

Cell* h_clear(Cell* map) {
  hash::clear(table_of(map));
  return map;
}

// ---- copy and compare -----------------------------------------------------------------

bool copyable(Type t) {
  return is_any_block_type(t) || string_like(t) || t == TYPE_VECTOR || t == TYPE_IMAGE ||
         t == TYPE_BITSET || t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_MAP;
}

Cell* copy_map(Cell* map_in, Cell* result, bool deep, Cell* types) {
  stack::Mark mark;
  Cell* map = stack::push_cell(map_in);
  cycles::Scope scope;
  if (deep) {
    if (cycles::find(block_of(map))) {
      cycles::reset();
      fire(Err::internal_no_cycle);
    }
    cycles::push(block_of(map));
  }
  u32 node = mem::copy_series_buffer(block_of(map));
  roots::NodeRoot hold(&node);
  u32 table = hash::copy(table_of(map), node);
  make_series(result, TYPE_MAP, node, 0, table);
  if (deep || types) {
    Cell* type_set = types ? stack::push_cell(types) : nullptr;
    for (u32 i = 1; i < buffer_of(node)->used() / sizeof(Cell); i += 2) {
      Cell* c = buffer_of(node)->cells() + i;
      Type t = type_of(c);
      if (removed(c) || !copyable(t)) continue;
      if (type_set) {
        bool named = type_of(type_set) == TYPE_TYPESET ? typeset::has(type_set, t)
                                                       : datatype_of(type_set) == t;
        if (!named) continue;
      }
      stack::Mark copy_mark;
      Cell* value = stack::push_cell(c);
      Cell* copied = make_none(stack::push());
      Cell* r = actions::handler<act::Copy>(value, ACT_copy)(value, copied, nullptr, deep, types);
      copy_cell(r, buffer_of(node)->cells() + i);
    }
  }
  return result;
}

Cell* h_copy(Cell* map, Cell* result, Cell*, bool deep, Cell* types) {
  return copy_map(map, result, deep, types);
}

i32 h_compare(Cell* a_in, Cell* b_in, i32 op) {
  if (type_of(b_in) != TYPE_MAP) return COMPARE_INCOMPARABLE;
  u32 na = block_of(a_in), nb = block_of(b_in);
  if (op == COMP_SORT || op == COMP_CASE_SORT) return na < nb ? -1 : na > nb ? 1 : 0;
  if (op >= COMP_LESSER && op <= COMP_GREATER_EQUAL) return COMPARE_INCOMPARABLE;
  bool same = na == nb && series_index(a_in) == series_index(b_in);
  if (op == COMP_SAME || same) return same ? 0 : 1;
  if (cycles::find(na)) return cycles::find(nb) ? 0 : 1;
  if (key_count(a_in) != key_count(b_in)) return 1;
  if (key_count(a_in) == 0) return 0;
  stack::Mark mark;
  Cell* a = stack::push_cell(a_in);
  Cell* b = stack::push_cell(b_in);
  Cell* key = make_none(stack::push());
  Cell* value = make_none(stack::push());
  Cell* other = make_none(stack::push());
  cycles::Scope scope(na);
  cycles::push(nb);
  bool strict = op == COMP_STRICT_EQUAL;
  i32 r = 0;
  for (u32 i = 0; r == 0 && i + 1 < cell_total(a); i += 2) {
    if (removed(cells_of(a) + i + 1)) continue;
    copy_cell(cells_of(a) + i, key);
    copy_cell(cells_of(a) + i + 1, value);
    if (strict) {
      Cell* v = find_value(b, key, MODE_CASE);
      if (!v) { r = 1; break; }
      copy_cell(v, other);
      if (!actions::compare(value, other, COMP_STRICT_EQUAL)) r = 1;
      continue;
    }
    // Every stored key equal to this one is a candidate until one has an
    // equal value.
    bool matched = false;
    i32 bucket = -1, first = 0, step = 0;
    while (!matched) {
      Cell* k = hash::find_next(table_of(b), key, &bucket, &first, &step);
      if (!k) break;
      if (removed(k + 1)) continue;
      copy_cell(k + 1, other);
      matched = actions::compare(value, other, COMP_EQUAL);
    }
    if (!matched) r = 1;
  }
  return r;
}

}  // namespace

// ---- the module's interface ---------------------------------------------------------

Cell* make_at(Cell* cell, u32 block, u32 cells) {
  roots::NodeRoot hold(&block);
  if (!block) block = mem::alloc_cells(std::max<u32>(cells, 2));
  u32 keys = std::max<u32>(buffer_of(block)->used() / sizeof(Cell) / 2, cells / 2);
  // The cell may lie on the stack or in a block: it is written only at the end.
  u32 table = hash::make(std::max<u32>(keys, 1), block, hash::KIND_MAP, 0);
  make_series(cell, TYPE_MAP, block, 0, table);
  return cell;
}

Cell* push(const Cell* map) { return stack::push_cell(map); }

u32 key_count(const Cell* map) { return hash::record(table_of(map))->size; }

Cell* find_value(const Cell* map, const Cell* key, Mode mode) {
  Cell* k = find_key(map, key, mode);
  if (!k || removed(k + 1)) return nullptr;
  return k + 1;
}

namespace {

void set_key(Cell* map, const Cell* key_in, const Cell* value, bool case_, bool prepare) {
  u32 block = block_of(map), table = table_of(map);
  if (!valid_key(type_of(key_in))) bad_key(key_in);
  // One probe finds the key or the bucket it goes in.
  u32 bucket = 0;
  Cell* k = hash::map_lookup(table, key_in, op_of(case_ ? MODE_CASE : MODE_EQUAL), &bucket);
  if (k) {
    if (removed(k + 1)) hash::record(table)->size++;
    copy_cell(value, k + 1);
    return;
  }
  // By node: the map cell may lie in a block that moves as this one grows.
  roots::NodeRoot hold_block(&block);
  stack::Mark mark;
  Cell* key = stack::push_cell(key_in);
  // The new pair goes at the tail; it is added to the table only once its
  // key is prepared, so that the table hashes the stored key. Until its value
  // is written it reads as a removed pair: should preparing the key or
  // growing the table raise, every reader and the next rebuild pass it by.
  mem::Buffer* b = mem::reserve_tail_bytes(block, 2 * sizeof(Cell));
  u32 pos = b->used() / sizeof(Cell);
  Cell* pair = b->cell_tail();
  copy_cell(key, pair);
  pair[1] = Cell{};
  b->tail += 2 * sizeof(Cell);
  // Keys of the other datatypes are stored as they are.
  Type t = type_of(pair);
  if (prepare && (t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD || string_like(t))) {
    prepare_key(block, pos);
  } else {
    clear_new_line(pair);
  }
  hash::map_insert(table, &pos, bucket);
  copy_cell(value, buffer_of(block)->cells() + pos + 1);
}

}  // namespace

void set(Cell* map, const Cell* key, const Cell* value, bool case_) { set_key(map, key, value, case_, true); }

void set_prepared(Cell* map, const Cell* key, const Cell* value, bool case_) {
  set_key(map, key, value, case_, false);
}

void extend(Cell* map, const Cell* spec_in, bool case_) {
  stack::Mark mark;
  Cell* spec = stack::push_cell(spec_in);
  if (type_of(spec) == TYPE_MAP) spec = h_reflect(spec, words::symbol(words::W_BODY));
  i32 n = spec_count(spec);
  if (n % 2) fire(Err::script_invalid_arg, spec);
  // Room for every pair at once; a map extended a pair at a time grows by
  // doubling, so that its pairs are not copied once per extension.
  u32 block = block_of(map);
  u32 used = buffer_of(block)->used();
  u32 want = used + u32(n) * sizeof(Cell);
  u32 size = buffer_of(block)->size;
  if (size < want) mem::expand_series_copy(block, std::max(want, size < 0x40000000u ? size * 2 : want));
  Cell* key = make_none(stack::push());
  Cell* value = make_none(stack::push());
  for (i32 i = 0; i < n && i + 1 < spec_count(spec); i += 2) {
    const Cell* c = buffer_of(series_node(spec))->cells() + std::max(series_index(spec), 0) + i;
    copy_cell(c, key);
    copy_cell(c + 1, value);
    set(map, key, value, case_);
  }
}

bool foreach_step(Cell* it, const Cell* words, i32 word_count) {
  i32 total = series::total(it);
  i32 pos = std::max(series_index(it), 0);
  bool any = false;
  Cell* value = make_none(stack::push());
  for (i32 w = 0; w < word_count;) {
    while (pos + 1 < total && removed(buffer_of(series_node(it))->cells() + pos + 1)) pos += 2;
    bool out = pos + 1 >= total;
    if (out && w == 0) break;  // nothing left: the words keep their values
    // A pair gives its key to one word and its value to the next; past the
    // last pair every word left gets none.
    for (i32 half = 0; w < word_count && (out || half < 2); ++half, ++w) {
      if (out) {
        make_none(value);
      } else {
        copy_cell(buffer_of(series_node(it))->cells() + pos + half, value);
        clear_new_line(value);
        if (half == 0 && type_of(value) == TYPE_SET_WORD) set_type(value, TYPE_WORD);
      }
      Cell word = type_of(words) == TYPE_BLOCK
                      ? buffer_of(series_node(words))->cells()[series_index(words) + w]
                      : *words;
      Type wt = type_of(&word);
      if (wt != TYPE_WORD && wt != TYPE_SET_WORD && wt != TYPE_LIT_WORD && wt != TYPE_GET_WORD) {
        fire(Err::script_invalid_arg, &word);
      }
      word::set(&word, value);
      // Setting the word may run an on-change* handler that shrinks the map:
      // the value of the pair is read only if the pair is still there.
      total = series::total(it);
      if (pos + 1 >= total) out = true;
    }
    if (out) break;
    any = true;
    pos += 2;
  }
  // Words left over when the map ran out are set to none.
  set_series_index(it, std::min(pos, total));
  stack::pop(1);
  return any;
}

void init() {
  hash::map_key_prepare = prepare_key;
  types::register_datatype(
      {TYPE_MAP, TYPE_NO_TYPE, "map!",
       {.make = h_make, .reflect = h_reflect, .to = h_to, .form = h_form, .mold = h_mold,
        .eval_path = h_eval_path, .compare = h_compare, .clear = h_clear, .copy = h_copy,
        .find = h_find, .length_q = h_length, .put = h_put, .remove = h_remove,
        .select = h_select}});
}

}  // namespace qel::map
