// block! helpers and the block! actions other than searching, sorting and the
// set operations (block_search.cpp).
//
// Cells are read through the node again after every call that can allocate
// or run Qel code; a cell handed to another action (mold, form, compare,
// copy) is first copied onto the arguments stack, where it cannot move.
#include "datatypes/block.hpp"
#include "datatypes/word.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/logic.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/typeset.hpp"
#include "runtime/api.hpp"
#include "runtime/collector.hpp"
#include "runtime/actions.hpp"
#include "runtime/code_epoch.hpp"
#include "runtime/cycles.hpp"
#include "runtime/error.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "runtime/words.hpp"

namespace qel::block {

VectorToBlock vector_to_block = nullptr;

namespace {

Cell* g_scratch = nullptr;  // make_in without a parent (a root-block cell)

inline mem::Buffer* buf(const Cell* v) { return mem::buffer_of(series_node(v)); }
inline i32 cells_in(const Cell* v) { return i32(buf(v)->used() / sizeof(Cell)); }
inline Cell* cells(const Cell* v) { return buf(v)->cells(); }
inline Cell* none_answer() { return const_cast<Cell*>(&values::none_cell); }

// The index of a value, clamped to 0 .. its cell count.
inline i32 clamped_index(const Cell* v) { return std::clamp(series_index(v), 0, cells_in(v)); }

bool is_series_type(Type t) {
  return is_any_block_type(t) || is_any_string_type(t) || t == TYPE_BINARY || t == TYPE_VECTOR ||
         t == TYPE_IMAGE;
}


i32 write_indent(Cell* buffer, i32 level, i32 budget) {
  for (i32 i = 0; i < level; ++i) string::append_ascii(buffer, "    ", 4);
  return budget - 4 * level;
}

i32 int_from_number(const Cell* c) {
  if (type_of(c) == TYPE_INTEGER) return int_of(c);
  double d = float_of(c);
  if (!(d <= 2147483647.0 && d >= -2147483648.0)) fire(Err::script_out_of_range, c);
  return i32(d);
}

[[noreturn]] void bad_make_arg(Type type, const Cell* spec) {
  Cell t, s = *spec;
  make_datatype(&t, type);
  fire(Err::script_bad_make_arg, &t, &s);
}

// The body of an object! or map! through its reflect action.
Cell* body_of(Cell* value) {
  return actions::handler<act::Reflect>(value, ACT_reflect)(value, words::symbol(words::W_BODY));
}

// The cells that append, insert and change copy from a value: a block type's
// cells from its position unless only is set, else the value itself. When
// the source shares the target's buffer the cells are taken out first, so
// that moving the target's cells cannot change them.
struct Source {
  const Cell* value;
  bool cells_of_block;
  i32 count;
  std::vector<Cell> snapshot;

  Source(const Cell* v, bool only) : value(v) {
    cells_of_block = !only && is_any_block_type(type_of(v));
    count = cells_of_block ? cells_in(v) - clamped_index(v) : 1;
  }
  // Call when nothing will allocate before the copy.
  void take_out_if_shared(u32 target_node, i32 n) {
    if (!cells_of_block || series_node(value) != target_node) return;
    const Cell* from = cells(value) + clamped_index(value);
    snapshot.assign(from, from + n);
  }
  const Cell* first() const {
    if (!snapshot.empty()) return snapshot.data();
    return cells_of_block ? cells(value) + clamped_index(value) : value;
  }
};

// Makes room for `extra` more cells at the tail of the block's buffer,
// growing it to the size needed (twice that with double_it) when it is
// short. Raises internal no-memory when the size cannot be represented.
mem::Buffer* reserve(Cell* block, u64 extra, bool double_it) {
  mem::Buffer* b = buf(block);
  u64 need = u64(b->used()) + extra * sizeof(Cell);
  if (need > 0xF0000000ull) fire(Err::internal_no_memory);
  if (b->tail + extra * sizeof(Cell) > b->end_offset()) {
    u64 size = double_it ? need * 2 : need;
    b = mem::expand_series_copy(series_node(block), u32(std::min<u64>(size, 0xF0000000ull)));
  }
  return b;
}

}  // namespace

void init_sort_words();  // block_search.cpp

void init_state() {
  if (g_scratch) return;
  g_scratch = runtime::root_append();
  init_sort_words();
}

// ---- position and tail ------------------------------------------------------------------

i32 length_from_index(const Cell* v) { return cells_in(v) - series_index(v); }

Cell* head_cell(Cell* v) {
  if (series_index(v) > cells_in(v)) set_series_index(v, cells_in(v));
  return cells(v) + series_index(v);
}

Cell* tail_cell(const Cell* v) { return buf(v)->cell_tail(); }
bool is_tail(const Cell* v) { return series_index(v) == cells_in(v); }

bool next(Cell* v) {
  if (series_index(v) + 1 <= cells_in(v)) set_series_index(v, series_index(v) + 1);
  return series_index(v) == cells_in(v);
}

Cell* cell_at(const Cell* v, u32 i) { return cells(v) + i; }

void clear_from_index(Cell* v) {
  if (series_index(v) < cells_in(v)) clear_at(v, u32(std::max(series_index(v), 0)));
}

void clear_at(Cell* v, u32 i) {
  mem::Buffer* b = buf(v);
  code::changed(series_node(v));
  if (i < b->used() / sizeof(Cell)) b->tail = b->head + i * sizeof(Cell);
}

// ---- appending and inserting -----------------------------------------------------------

Cell* append_copy(Cell* block, const Cell* value) {
  Cell copy = *value;  // the value may lie in the buffer that grows
  u32 node = series_node(block);
  u32 old_total = u32(cells_in(block));
  Cell* c = mem::alloc_tail_cell(node);
  *c = copy;
  series::table_inserted(block, old_total, 1, old_total);
  return mem::buffer_of(node)->cell_tail() - 1;
}

Cell* append_block(Cell* block, const Cell* source) {
  Source src(source, false);
  if (src.count == 0) return block;
  u32 old_total = u32(cells_in(block));
  mem::Buffer* b = reserve(block, u32(src.count), false);
  std::memcpy(b->cell_tail(), src.first(), std::size_t(src.count) * sizeof(Cell));
  b->tail += u32(src.count) * sizeof(Cell);
  series::table_inserted(block, old_total, u32(src.count), old_total);
  return block;
}

void insert_value(Cell* block, const Cell* value, bool advance, bool at_head) {
  Cell copy = *value;
  u32 old_total = u32(cells_in(block));
  mem::Buffer* b = buf(block);
  if (b->tail + sizeof(Cell) > b->end_offset()) {
    b = mem::expand_series_copy(series_node(block), (b->used() + sizeof(Cell)) * 2);
  }
  u32 at = at_head ? 0 : u32(clamped_index(block));
  Cell* p = b->cells() + at;
  std::memmove(p + 1, p, (old_total - at) * sizeof(Cell));
  *p = copy;
  b->tail += sizeof(Cell);
  series::table_inserted(block, at, 1, old_total);
  if (advance) set_series_index(block, series_index(block) + 1);
}

void insert_block(Cell* block, const Cell* source) {
  Source src(source, false);
  src.take_out_if_shared(series_node(block), src.count);
  if (src.snapshot.empty() && src.count > 0) {
    for (i32 k = 0; k < src.count; ++k) {
      Cell c = *(cells(source) + series_index(source) + k);
      insert_value(block, &c, true, false);
    }
    return;
  }
  for (const Cell& c : src.snapshot) insert_value(block, &c, true, false);
}

void append_last() { append_copy(stack::base - 1, stack::base); }
void append_next() { append_copy(stack::base, stack::base + 1); }
void insert_last() { insert_value(stack::base - 1, stack::base, true, false); }

// ---- making -----------------------------------------------------------------------------

Cell* make_at(Cell* cell, i32 n) {
  make_unset(cell);
  u32 node = mem::alloc_cells(u32(std::max(n, 1)));
  return make_series(cell, TYPE_BLOCK, node);
}

Cell* make_at_n(Cell* cell, i32 n, bool big) {
  make_unset(cell);
  u32 count = u32(std::max(n, 1));
  u32 node = big ? mem::alloc_big_series(count, 16, 0) : mem::alloc_unset_cells(count);
  return make_series(cell, TYPE_BLOCK, node);
}

namespace {
Cell* make_in_with(u32 parent, i32 n, bool big) {
  if (!parent) return big ? make_at_n(g_scratch, n, true) : make_at(g_scratch, n);
  Cell held{};
  roots::CellRoot keep(&held);
  if (big) make_at_n(&held, n, true);
  else make_at(&held, n);
  Cell* c = mem::alloc_tail_cell(parent);
  *c = held;
  return c;
}
}  // namespace

Cell* make_in(u32 parent, i32 n) { return make_in_with(parent, n, false); }
Cell* make_in_parent(u32 parent, i32 n) { return make_in_with(parent, n, true); }
Cell* push(const Cell* block) { return stack::push_cell(block); }
Cell* push_only(i32 n) { return make_at(stack::push(), n ? n : 1); }

// ---- searching and copying ---------------------------------------------------------------

Cell* find_word(Cell* block, const Cell* word, bool case_) {
  Cell* c = head_cell(block);
  Cell* end = tail_cell(block);
  u32 sym = word::symbol_of(word);
  u32 canon = symbol::resolve(sym);
  for (; c < end; ++c) {
    Type t = type_of(c);
    if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_LIT_WORD && t != TYPE_GET_WORD) continue;
    bool match = case_ ? word::symbol_of(c) == sym : symbol::resolve(word::symbol_of(c)) == canon;
    if (match) return c + 1 < end ? c + 1 : none_answer();
  }
  return none_answer();
}

namespace {
// The position of the first cell from `from` that the key's compare handler
// calls equal to the key under the find equality, or -1.
i32 find_key(Cell* block, const Cell* key_in, i32 from) {
  stack::Mark mark;
  Cell* key = stack::push_cell(key_in);
  Cell* cell = make_none(stack::push());
  auto cmp = actions::handler<act::Compare>(key, ACT_compare);
  for (i32 i = from; i < cells_in(block); ++i) {
    copy_cell(cells(block) + i, cell);
    if (cmp(key, cell, COMP_EQUAL_NO_CASE) == 0) return i;
  }
  return -1;
}
}  // namespace

Cell* select_key(Cell* block, const Cell* key) {
  head_cell(block);
  i32 i = find_key(block, key, series_index(block));
  if (i < 0 || i + 1 >= cells_in(block)) return none_answer();
  return cells(block) + i + 1;
}

bool remove_key(Cell* block, const Cell* key, bool from_head, bool* at_or_before) {
  i32 i = find_key(block, key, from_head ? 0 : clamped_index(block));
  if (i < 0) return false;
  u32 old_total = u32(cells_in(block));
  mem::Buffer* b = buf(block);
  Cell* p = b->cells() + i;
  std::memmove(p, p + 1, (old_total - u32(i) - 1) * sizeof(Cell));
  b->tail -= sizeof(Cell);
  series::table_removed(block, u32(i), 1, old_total);
  if (at_or_before) *at_or_before = i <= series_index(block);
  return true;
}

namespace {
Cell* clone_in(const Cell* block, bool deep, bool all_blocks) {
  Cell* out = make_none(stack::push());
  make_none(out);
  i32 start = clamped_index(block);
  i32 count = cells_in(block) - start;
  u32 node = mem::alloc_cells(u32(std::max(count, 1)));
  mem::Buffer* b = mem::buffer_of(node);
  std::memcpy(b->cells(), cells(block) + start, std::size_t(count) * sizeof(Cell));
  b->tail = b->head + u32(count) * sizeof(Cell);
  make_series(out, type_of(block), node);
  if (!deep) return out;
  cycles::Scope scope(series_node(block));
  for (i32 i = 0; i < count; ++i) {
    Type t = type_of(mem::buffer_of(node)->cells() + i);
    bool nested = t == TYPE_BLOCK || (all_blocks && is_any_block_type(t) && t != TYPE_HASH);
    if (!nested) continue;
    Cell* inner = stack::push_cell(mem::buffer_of(node)->cells() + i);
    if (cycles::find(series_node(inner))) {
      cycles::reset();
      fire(Err::internal_no_cycle);
    }
    Cell* copy = clone_in(inner, true, all_blocks);
    Cell* slot = mem::buffer_of(node)->cells() + i;
    u32 header = slot->header;
    *slot = *copy;
    slot->header = header;
    stack::pop(2);
  }
  return out;
}
}  // namespace

Cell* clone(const Cell* block, bool deep, bool all_blocks) {
  stack::Mark mark;
  Cell* src = stack::push_cell(block);
  // Leave only the clone, in the cell where the source copy stood.
  return mark.keep(clone_in(src, deep, all_blocks));
}

void find_type_any(u32 node, u32 from, u32 to, u32 step, bool deep, const Cell* types_in) {
  if (step < 1) step = 1;
  stack::Mark mark;
  Cell* types = stack::push_cell(types_in);
  bool is_set = type_of(types) == TYPE_TYPESET;
  for (u32 i = from; i < to && i < mem::buffer_of(node)->used() / sizeof(Cell); i += step) {
    Cell* c = mem::buffer_of(node)->cells() + i;
    Type t = type_of(c);
    bool match = is_set ? typeset::has(types, t) : datatype_of(types) == t;
    if (!match) continue;
    bool copyable = is_series_type(t) || t == TYPE_BITSET || t == TYPE_OBJECT ||
                    t == TYPE_ERROR || t == TYPE_MAP;
    if (!copyable) continue;
    stack::Mark copy_mark;
    Cell* value = stack::push_cell(c);
    Cell* result = make_none(stack::push());
    Cell* r = actions::handler<act::Copy>(value, ACT_copy)(value, result, nullptr, deep,
                                                           deep ? types : nullptr);
    copy_cell(r, mem::buffer_of(node)->cells() + i);
  }
}

i32 mold_each(const Cell* block_in, Cell* buffer, bool only, bool all, bool flat, Cell* part,
              i32 budget, i32 indent) {
  stack::Mark mark;
  Cell* block = stack::push_cell(block_in);
  i32 start = clamped_index(block);
  bool armed = false;
  {
    cycles::Scope scope(series_node(block));
    Cell* elem = make_none(stack::push());
    for (i32 i = start; i < cells_in(block); ++i) {
      if (part && budget <= 0) break;
      copy_cell(cells(block) + i, elem);
      bool first = i == start;
      if (!flat && has_new_line(elem)) {
        if (!only && first) {
          ++indent;
          armed = true;
        }
        if (!(only && first)) {
          string::append_char(buffer, '\n');
          --budget;
        }
        budget = write_indent(buffer, indent, budget);
      } else if (!first) {
        string::append_char(buffer, ' ');
        --budget;
      }
      budget = actions::mold(elem, buffer, false, all, flat, part, budget, indent);
    }
  }
  if (armed) {
    --indent;
    string::append_char(buffer, '\n');
    budget = write_indent(buffer, indent, budget - 1);
  }
  return budget;
}

i32 compare_each(const Cell* b1_in, const Cell* b2_in, i32 op) {
  u32 n1 = series_node(b1_in), n2 = series_node(b2_in);
  if (op == COMP_SAME) return n1 == n2 && series_index(b1_in) == series_index(b2_in) ? 0 : -1;
  if (n1 == n2 && series_index(b1_in) == series_index(b2_in)) return 0;
  if (cycles::find(n1)) return cycles::find(n2) ? 0 : -1;
  stack::Mark mark;
  Cell* b1 = stack::push_cell(b1_in);
  Cell* b2 = stack::push_cell(b2_in);
  i32 len1 = std::max(length_from_index(b1), 0);
  i32 len2 = std::max(length_from_index(b2), 0);
  bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL ||
                  op == COMP_STRICT_EQUAL_WORD || op == COMP_FIND || op == COMP_EQUAL_NO_CASE;
  if (len1 != len2 && equality) return 1;
  if (len1 == 0) return len2 > 0 ? -1 : 0;  // the shorter orders first, whichever side it is on
  i32 r = 0;
  {
    cycles::Scope scope(n1);
    cycles::push(n2);
    Cell* c1 = make_none(stack::push());
    Cell* c2 = make_none(stack::push());
    i32 n = std::min(len1, len2);
    for (i32 k = 0; k < n; ++k) {
      copy_cell(cells(b1) + series_index(b1) + k, c1);
      copy_cell(cells(b2) + series_index(b2) + k, c2);
      Type t1 = type_of(c1), t2 = type_of(c2);
      auto numeric = [](Type t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; };
      bool comparable = t1 == t2 || (is_any_word_type(t1) && is_any_word_type(t2)) ||
                        (numeric(t1) && numeric(t2));
      if (!comparable) {
        r = t1 < t2 ? -1 : 1;
        break;
      }
      r = actions::compare_values(c1, c2, op);
      if (r != 0) break;
    }
  }
  if (r != 0) return r;
  return len1 < len2 ? -1 : (len1 > len2 ? 1 : 0);
}

// ---- actions -----------------------------------------------------------------------------

namespace {

// The cells that make and to both give for a block type (a shallow copy), an
// object! or map! (its body) and a vector! (its values), pushed; nullptr for
// any other spec.
Cell* cells_of_spec(Cell* spec) {
  Type st = type_of(spec);
  if (is_any_block_type(st)) return clone(spec, false, false);
  if (st == TYPE_OBJECT || st == TYPE_MAP) return stack::push_cell(body_of(spec));
  if (st == TYPE_VECTOR) {
    if (!vector_to_block) fire(Err::internal_not_done);
    Cell* out = make_none(stack::push());
    vector_to_block(spec, out);
    return out;
  }
  return nullptr;
}

}  // namespace

Cell* make(Cell*, Cell* spec, Type type) {
  Cell* out = cells_of_spec(spec);
  if (!out) {
    // A number is the capacity of a new empty block.
    if (type_of(spec) != TYPE_INTEGER && type_of(spec) != TYPE_FLOAT) bad_make_arg(type, spec);
    out = make_at(stack::push(), int_from_number(spec));
  }
  set_type(out, type);
  return out;
}

Cell* to(Cell*, Cell* spec, Type type) {
  Cell* out = cells_of_spec(spec);
  if (!out) {
    switch (type_of(spec)) {
      case TYPE_STRING:
        out = make_none(stack::push());
        api::services.load_all(spec, out);
        break;
      case TYPE_TYPESET:
        out = typeset::to_block(spec, make_none(stack::push()));
        break;
      default:  // any other value becomes the one value of a new block
        out = make_at(stack::push(), 1);
        append_copy(out, spec);
    }
  }
  set_type(out, type);
  return out;
}

i32 form(Cell* value, Cell* buffer, Cell* part, i32 budget) {
  if (const char* marker = cycles::marker(series_node(value), type_of(value), false)) return string::write_ascii(buffer, marker, budget);
  stack::Mark mark;
  Cell* block = stack::push_cell(value);
  i32 start = clamped_index(block);
  {
    cycles::Scope scope(series_node(block));
    Cell* elem = make_none(stack::push());
    for (i32 i = start; i < cells_in(block); ++i) {
      if (part && budget < 1) break;
      if (i > start) {
        mem::Buffer* sb = mem::buffer_of(series_node(buffer));
        u32 n = sb->used() / sb->unit();
        u32 last = n ? string::char_at(buffer, n - 1) : 0;
        if (last != '\t' && last != '\n' && last != '\r') {
          string::append_char(buffer, ' ');
          --budget;
        }
      }
      copy_cell(cells(block) + i, elem);
      budget = actions::form(elem, buffer, part, budget);
    }
  }
  return budget;
}

namespace {

i32 mold_block(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 budget,
               i32 indent) {
  if (const char* marker = cycles::marker(series_node(value), type_of(value), true)) return string::write_ascii(buffer, marker, budget);
  if (!only) budget = string::write_ascii(buffer, "[", budget);
  budget = mold_each(value, buffer, only, all, flat, part, budget, indent);
  if (!only) budget = string::write_ascii(buffer, "]", budget);
  return budget;
}

// Every path step but the common read of a cell inside the block.
[[gnu::noinline]] Cell* eval_path_general(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  if (type_of(element) == TYPE_INTEGER) {
    if (!value) return series::pick(parent, int_of(element), element);
    series::poke(parent, int_of(element), element, value);
    return value;
  }
  if (!value) {
    if (type_of(element) == TYPE_WORD && type_of(parent) != TYPE_HASH) {
      return stack::push_cell(find_word(parent, element, step.case_));
    }
    return select(parent, element, {.only = true, .case_ = step.case_});
  }
  Cell* found = find(parent, element, {.case_ = step.case_});
  if (type_of(found) == TYPE_NONE) {
    Cell e = *element, path;
    if (step.path) path = *step.path;
    else make_none(&path);
    fire(Err::script_bad_path_set, &e, &path);
  }
  Cell* at = stack::push_cell(found);
  Cell two;
  make_integer(&two, 2);
  series::poke(at, 2, &two, value);
  return value;
}

// The common step, reading the cell at an integer position inside the block,
// is kept small; everything else goes to the general routine.
Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  if (!value && type_of(element) == TYPE_INTEGER && is_any_block_type(type_of(parent))) {
    i32 n = int_of(element);
    const mem::Buffer* b = mem::buffer_of(series_node(parent));
    i64 p = i64(series_index(parent)) + n + (n > 0 ? -1 : 0);
    if (n != 0 && p >= 0 && p < i64(b->used() / sizeof(Cell))) return stack::push_cell(b->cells() + p);
  }
  return eval_path_general(parent, element, value, step);
}

// The common insert: one cell (a value that is not a block, or any value
// with /only) into a block! or paren! that nobody owns and that has room
// for it. Nothing allocates and no handler runs, so the cells after the
// position move up and the value is written in; answers false otherwise.
inline bool insert_one_in_place(Cell* block, const Cell* value, bool only, bool append) {
  Type t = type_of(block);
  if ((t != TYPE_BLOCK && t != TYPE_PAREN) || (!only && is_any_block_type(type_of(value)))) return false;
  mem::Buffer* b = buf(block);
  if ((b->flags & mem::SERIES_OWNED) || b->tail + sizeof(Cell) > b->end_offset()) return false;
  code::changed(series_node(block));  // code compiled from the block is checked again
  u32 total = b->used() / sizeof(Cell);
  u32 at = append ? total : u32(std::clamp(series_index(block), 0, i32(total)));
  Cell v = *value;  // copied before anything moves
  Cell* p = b->cells() + at;
  std::memmove(p + 1, p, (total - at) * sizeof(Cell));
  std::memcpy(p, &v, sizeof(Cell));
  b->tail += sizeof(Cell);
  set_series_index(block, append ? 0 : i32(at) + 1);
  return true;
}

Cell* insert(Cell* block, Cell* value, i32 part, bool only, i32 dup, bool append) {
  if (part < 0 && dup == 1 && insert_one_in_place(block, value, only, append)) return block;
  Source src(value, only);
  if (src.count == 0) {
    // Nothing to add: append still answers the block at its head.
    if (append) set_series_index(block, 0);
    return block;
  }
  i32 n = (part < 0 || part > src.count) ? src.count : part;
  if (series_index(block) > cells_in(block)) set_series_index(block, cells_in(block));
  i64 cells_wanted = i64(n) * dup;
  if (cells_wanted > 0x0F000000) fire(Err::internal_no_memory);
  i32 count = i32(cells_wanted);
  i32 at = append ? cells_in(block) : series_index(block);
  bool fired = series::notify(block, append ? series::Event::append : series::Event::insert, value,
                              at, count);
  if (fired) {
    // The owner's handler may have edited either side.
    src = Source(value, only);
    n = std::min(n, src.count);
    count = n * dup;
    if (series_index(block) > cells_in(block)) set_series_index(block, cells_in(block));
    at = append ? cells_in(block) : series_index(block);
  }
  if (count > 0) {
    u32 old_total = u32(cells_in(block));
    mem::Buffer* b = reserve(block, u32(count), dup < 5);
    src.take_out_if_shared(series_node(block), n);
    b = buf(block);
    Cell* p = b->cells() + at;
    std::memmove(p + count, p, (old_total - u32(at)) * sizeof(Cell));
    std::memcpy(p, src.first(), std::size_t(n) * sizeof(Cell));
    if (dup > 1) mem::copy_repeat(reinterpret_cast<u8*>(p), u32(n) * sizeof(Cell), u32(dup));
    b->tail += u32(count) * sizeof(Cell);
    series::table_inserted(block, u32(at), u32(count), old_total);
  }
  if (fired) {
    series::notify(block, append ? series::Event::appended : series::Event::inserted, value, at,
                   count);
  }
  if (append) set_series_index(block, 0);
  else set_series_index(block, std::min(series_index(block) + count, cells_in(block)));
  return block;
}

Cell* change(Cell* block, Cell* value, i32 part, bool only, i32 dup) {
  if (series_index(block) > cells_in(block)) set_series_index(block, cells_in(block));
  Source src(value, only);
  i64 written64 = i64(src.count) * dup;
  if (written64 > 0x0F000000) fire(Err::internal_no_memory);
  i32 written = i32(written64);
  i32 at = series_index(block);
  i32 avail = cells_in(block) - at;
  i32 replaced = part >= 0 ? std::min(part, avail) : std::min(written, avail);
  bool fired = series::notify(block, series::Event::change, value, at, replaced);
  if (fired) {
    src = Source(value, only);
    written = src.count * dup;
    if (series_index(block) > cells_in(block)) set_series_index(block, cells_in(block));
    at = series_index(block);
    avail = cells_in(block) - at;
    replaced = part >= 0 ? std::min(part, avail) : std::min(written, avail);
  }
  u32 old_total = u32(cells_in(block));
  if (written > replaced) reserve(block, u32(written - replaced), false);
  src.take_out_if_shared(series_node(block), src.count);
  mem::Buffer* b = buf(block);
  Cell* p = b->cells() + at;
  if (written != replaced) {
    std::memmove(p + written, p + replaced, (old_total - u32(at + replaced)) * sizeof(Cell));
    b->tail = b->head + (old_total - u32(replaced) + u32(written)) * sizeof(Cell);
  }
  if (src.count > 0) {
    std::memcpy(p, src.first(), std::size_t(src.count) * sizeof(Cell));
    if (dup > 1) mem::copy_repeat(reinterpret_cast<u8*>(p), u32(src.count) * sizeof(Cell), u32(dup));
  }
  if (series::has_table(block)) hash::resize(series_extra(block), u32(cells_in(block)));
  if (fired) series::notify(block, series::Event::changed, value, at, written);
  set_series_index(block, std::min(at + written, cells_in(block)));
  return block;
}

Cell* put(Cell* block, Cell* key, Cell* value, bool case_) {
  Cell* found = find(block, key, {.only = true, .case_ = case_});
  if (type_of(found) == TYPE_NONE) {
    i32 at = std::max(length_from_index(block), 0);
    bool fired = series::notify(block, series::Event::put, value, at, 1);
    u32 node = series_node(block);
    u32 old_total = u32(cells_in(block));
    Cell k = *key, v = *value;
    {
      roots::CellRoot hold_k(&k), hold_v(&v);
      *mem::alloc_tail_cell(node) = k;
      *mem::alloc_tail_cell(node) = v;
    }
    series::table_inserted(block, old_total, 2, old_total);
    if (fired) series::notify(block, series::Event::put_ed, value, at, 1);
    return value;
  }
  i32 at = series_index(found);
  bool fired = series::notify(block, series::Event::put, value, at, 1);
  if (at + 1 < cells_in(block)) {
    Cell* old = stack::push_cell(cells(block) + at + 1);
    if (actions::compare_values(old, value, COMP_EQUAL_NO_CASE) != 0 && at + 1 < cells_in(block)) {
      copy_cell(value, cells(block) + at + 1);
      series::table_rewritten(block, u32(at + 1), 1);
    }
  } else {
    append_copy(block, value);
  }
  if (fired) series::notify(block, series::Event::put_ed, value, at, 1);
  return value;
}

Cell* take(Cell* block, Cell* part, bool deep, bool last) {
  Cell* taken = series::take(block, part, deep, last);
  if (type_of(taken) == TYPE_NONE) return taken;
  u32 node = series_node(taken);
  if (deep) {
    for (u32 i = 0; i < mem::buffer_of(node)->used() / sizeof(Cell); ++i) {
      Cell* c = stack::push_cell(mem::buffer_of(node)->cells() + i);
      if (!is_series_type(type_of(c))) {
        stack::pop(1);
        continue;
      }
      Cell* result = make_none(stack::push());
      Cell* r = actions::handler<act::Copy>(c, ACT_copy)(c, result, nullptr, true, nullptr);
      copy_cell(r, mem::buffer_of(node)->cells() + i);
      stack::pop(2);
    }
  }
  if (part) return taken;
  return copy_cell(mem::buffer_of(node)->cells(), taken);
}

Cell* swap(Cell* b1, Cell* b2) {
  if (!is_any_block_type(type_of(b2))) fire(Err::script_invalid_arg, b2);
  i32 i1 = series_index(b1), i2 = series_index(b2);
  if (i1 < 0 || i2 < 0 || i1 >= cells_in(b1) || i2 >= cells_in(b2)) return b1;
  bool f1 = series::notify(b1, series::Event::swap, b2, i1, 1);
  bool f2 = series::notify(b2, series::Event::swap, b1, i2, 1);
  if (i1 < cells_in(b1) && i2 < cells_in(b2)) {
    Cell* c1 = cells(b1) + i1;
    Cell* c2 = cells(b2) + i2;
    Cell t = *c1;
    *c1 = *c2;
    *c2 = t;
    series::table_rewritten(b1, u32(i1), 1);
    series::table_rewritten(b2, u32(i2), 1);
  }
  if (f1) series::notify(b1, series::Event::swaped, b2, i1, 1);
  if (f2) series::notify(b2, series::Event::swaped, b1, i2, 1);
  return b1;
}

Cell* trim(Cell* block, bool, bool, bool, bool, bool, Cell*) {
  i32 at = series_index(block);
  if (at < 0 || at >= cells_in(block)) return block;
  bool fired = series::notify(block, series::Event::trim, nullptr, at, cells_in(block) - at);
  if (at < cells_in(block)) {
    mem::Buffer* b = buf(block);
    Cell* w = b->cells() + at;
    for (Cell* r = w; r < b->cell_tail(); ++r) {
      if (type_of(r) != TYPE_NONE) *w++ = *r;
    }
    b->tail = mem::offset_of(w);
    if (series::has_table(block)) hash::resize(series_extra(block), u32(cells_in(block)));
  }
  if (fired) series::notify(block, series::Event::trimmed, nullptr, at, cells_in(block) - at);
  return block;
}

}  // namespace

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
  series::copy(value, result, part, deep, types);
  u32 node = series_node(result);
  u32 len = mem::buffer_of(node)->used() / sizeof(Cell);
  if (!deep && !types) {
    // A hash! copy gets a table of its own over its own cells.
    if (type_of(result) == TYPE_HASH) set_series_extra(result, hash::make(len, node, hash::KIND_BLOCK, 0));
    return result;
  }
  if (type_of(result) == TYPE_HASH) set_type(result, TYPE_BLOCK);
  cycles::Scope scope;
  if (deep) {
    if (cycles::find(series_node(value))) {
      cycles::reset();
      fire(Err::internal_no_cycle);
    }
    cycles::push(series_node(value));
  }
  if (types) {
    find_type_any(node, 0, len, 1, deep, types);
    return result;
  }
  for (u32 i = 0; i < mem::buffer_of(node)->used() / sizeof(Cell); ++i) {
    Cell* c = stack::push_cell(mem::buffer_of(node)->cells() + i);
    if (is_series_type(type_of(c))) {
      Cell* fresh = make_none(stack::push());
      Cell* r = actions::handler<act::Copy>(c, ACT_copy)(c, fresh, nullptr, true, nullptr);
      copy_cell(r, mem::buffer_of(node)->cells() + i);
      stack::pop(1);
    }
    stack::pop(1);
  }
  return result;
}

i32 compare(Cell* v1, Cell* v2, i32 op) {
  Type t1 = type_of(v1), t2 = type_of(v2);
  if (t1 != t2) {
    auto path_like = [](Type t) { return t == TYPE_PATH || t == TYPE_LIT_PATH; };
    bool alike = (op == COMP_STRICT_EQUAL_WORD || op == COMP_FIND) && path_like(t1) && path_like(t2);
    if (!alike) return COMPARE_INCOMPARABLE;
  }
  return compare_each(v1, v2, op);
}

// A block (paren!, the paths) keeps its series and the values in it alive.
void mark_block(const Cell* b) { gc::mark_series_at(series_node_slot(b)); }

void init() {
  for (Type t : {TYPE_BLOCK, TYPE_PAREN, TYPE_PATH, TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH}) {
    gc::set_mark_rule(t, mark_block);
  }
  types::register_datatype({TYPE_BLOCK, TYPE_SERIES, "block!",
                            {.make = make, .to = to, .form = form, .mold = mold_block,
                             .eval_path = eval_path, .compare = compare, .append = insert,
                             .change = change, .copy = copy, .find = find, .insert = insert,
                             .put = put, .select = select, .sort = sort, .swap = swap,
                             .take = take, .trim = trim}});
}

bool append_at_tail(Cell* block, const Cell* value, bool only) {
  return insert_one_in_place(block, value, only, true);
}

}  // namespace qel::block
