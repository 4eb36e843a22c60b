#include "datatypes/hash_block.hpp"

#include <algorithm>

#include "datatypes/block.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"

namespace qel::hash_block {

namespace {

u32 cell_total(const Cell* v) { return mem::buffer_of(series_node(v))->used() / sizeof(Cell); }

Cell* h_copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
  if (!part && !deep && !types && series_index(value) == 0 && table_of(value)) {
    // The whole hash: its table is duplicated over the copied cells.
    u32 node = mem::copy_series_buffer(series_node(value));
    roots::NodeRoot hold(&node);
    u32 table = hash::copy(table_of(value), node);
    make_series(result, TYPE_HASH, node, 0, table);
    result->header |= value->header & FLAG_NEW_LINE;
    return result;
  }
  Cell* r = block::copy(value, result, part, deep, types);
  if (type_of(r) != TYPE_HASH || !table_of(r)) {
    set_type(r, TYPE_BLOCK);
    index_block(r);
  }
  return r;
}

Cell* h_to(Cell* proto, Cell* spec, Type) {
  if (type_of(spec) == TYPE_HASH) return h_copy(spec, make_none(stack::push()), nullptr, false, nullptr);
  Cell* out = block::to(proto, spec, TYPE_BLOCK);
  return index_block(out);
}

Cell* h_make(Cell* proto, Cell* spec, Type type) {
  switch (type_of(spec)) {
    case TYPE_INTEGER: case TYPE_FLOAT: {
      Cell* out = block::make(proto, spec, TYPE_BLOCK);
      return index_block(out);
    }
    case TYPE_BLOCK: case TYPE_PAREN: {
      Cell* out = block::clone(spec, false, false);
      set_type(out, TYPE_BLOCK);
      return index_block(out);
    }
    default: return h_to(proto, spec, type);
  }
}

i32 h_mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 budget,
           i32 indent) {
  if (!only) budget = string::write_ascii(buffer, "make hash! ", budget);
  stack::Mark mark;
  Cell* b = stack::push_cell(value);
  set_type(b, TYPE_BLOCK);
  budget = actions::mold(b, buffer, only, all, flat, part, budget, indent);
  return budget;
}

}  // namespace

Cell* index_block(Cell* block) {
  u32 node = series_node(block);
  u32 table = hash::make(std::max<u32>(cell_total(block), 1), node, hash::KIND_BLOCK, 0);
  set_type(block, TYPE_HASH);
  set_series_extra(block, table);
  return block;
}

void init() {
  ActionTable t;  // everything else is the block's
  t.make = h_make;
  t.to = h_to;
  t.mold = h_mold;
  t.copy = h_copy;
  t.random = nullptr;
  t.set_path = nullptr;
  t.absolute = nullptr; t.add = nullptr; t.divide = nullptr; t.multiply = nullptr;
  t.negate = nullptr; t.power = nullptr; t.remainder = nullptr; t.round = nullptr;
  t.subtract = nullptr; t.even_q = nullptr; t.odd_q = nullptr; t.and_t = nullptr;
  t.complement = nullptr; t.or_t = nullptr; t.xor_t = nullptr;
  t.create = nullptr; t.close = nullptr; t.delete_ = nullptr; t.open = nullptr;
  t.open_q = nullptr; t.query = nullptr; t.read = nullptr; t.rename = nullptr;
  t.update = nullptr; t.write = nullptr;
  types::register_datatype({TYPE_HASH, TYPE_BLOCK, "hash!", t});
}

}  // namespace qel::hash_block
