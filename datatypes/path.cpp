// path!, lit-path!, set-path!, get-path! and paren!: their own make, to,
// form and mold; everything else is block!'s.
#include "datatypes/path.hpp"

#include <cstring>

#include "datatypes/block.hpp"
#include "datatypes/string.hpp"
#include "runtime/actions.hpp"
#include "runtime/cycles.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

namespace qel {

namespace {

inline i32 cells_in(const Cell* v) {
  return i32(mem::buffer_of(series_node(v))->used() / sizeof(Cell));
}


// Pops the cycle stack back to where it stood, however the scope ends.
// The capacity asked by a number: truncated, 0 or less giving 1.
i32 capacity_of(const Cell* spec) {
  if (type_of(spec) == TYPE_INTEGER) return int_of(spec);
  double d = float_of(spec);
  if (!(d <= 2147483647.0 && d >= -2147483648.0)) fire(Err::script_out_of_range, spec);
  return i32(d);
}

Cell* path_make(Cell*, Cell* spec, Type type) {
  Type st = type_of(spec);
  Cell* out;
  if (is_any_block_type(st)) {
    out = block::clone(spec, false, false);
  } else if (st == TYPE_INTEGER || st == TYPE_FLOAT || st == TYPE_PERCENT) {
    out = block::make_at(stack::push(), capacity_of(spec));
  } else {
    Cell t, s = *spec;
    make_datatype(&t, type);
    fire(Err::script_bad_make_arg, &t, &s);
  }
  set_type(out, type);
  return out;
}

Cell* path_to(Cell* proto, Cell* spec, Type type) {
  Type st = type_of(spec);
  if (st == TYPE_OBJECT || st == TYPE_TYPESET || st == TYPE_MAP) {
    Cell* out = block::make_at(stack::push(), 1);
    block::append_copy(out, spec);
    set_type(out, type);
    return out;
  }
  return block::to(proto, spec, type);
}

// The element loop of form and mold: each element through the action, "/"
// between two, the loop ending after an element once a /part budget is spent.
i32 each_element(Cell* value, Cell* buffer, bool mold, bool only, bool all, bool flat, Cell* part,
                 i32 budget) {
  if (const char* marker = cycles::marker(value, mold)) return string::write_ascii(buffer, marker, budget);
  stack::Mark mark;
  Cell* path = stack::push_cell(value);
  {
    cycles::Scope scope(series_node(path));
    Cell* elem = make_none(stack::push());
    i32 start = std::max(series_index(path), 0);
    for (i32 i = start; i < cells_in(path); ++i) {
      if (i > start) budget = string::write_ascii(buffer, "/", budget);
      copy_cell(mem::buffer_of(series_node(path))->cells() + i, elem);
      budget = mold ? actions::mold(elem, buffer, only, all, flat, part, budget, 0)
                    : actions::form(elem, buffer, part, budget);
      if (part && budget < 1) break;
    }
  }
  return budget;
}

i32 path_form(Cell* value, Cell* buffer, Cell* part, i32 budget) {
  return each_element(value, buffer, false, false, false, false, part, budget);
}

i32 path_mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 budget,
              i32) {
  return each_element(value, buffer, true, only, all, flat, part, budget);
}

i32 lit_path_mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
                  i32 budget, i32 indent) {
  budget = string::write_ascii(buffer, "'", budget);
  return path_mold(value, buffer, only, all, flat, part, budget, indent);
}

i32 get_path_mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
                  i32 budget, i32 indent) {
  budget = string::write_ascii(buffer, ":", budget);
  return path_mold(value, buffer, only, all, flat, part, budget, indent);
}

i32 set_path_mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
                  i32 budget, i32 indent) {
  budget = path_mold(value, buffer, only, all, flat, part, budget, indent);
  return string::write_ascii(buffer, ":", budget);
}

i32 paren_mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 budget,
               i32 indent) {
  // A paren that holds itself is written once, then as its marker.
  if (const char* marker = cycles::marker(value, true)) return string::write_ascii(buffer, marker, budget);
  if (!only) budget = string::write_ascii(buffer, "(", budget);
  budget = block::mold_each(value, buffer, only, all, flat, part, budget, indent);
  if (!only) budget = string::write_ascii(buffer, ")", budget);
  return budget;
}

Cell* retype_and_push(Cell* cell, Type t) {
  set_type(cell, t);
  return stack::push_cell(cell);
}

}  // namespace

namespace path {

void init() {
  types::register_datatype({TYPE_PATH, TYPE_BLOCK, "path!",
                            {.make = path_make, .random = nullptr, .to = path_to,
                             .form = path_form, .mold = path_mold, .copy = block::copy,
                             .sort = nullptr, .trim = nullptr}});
  types::register_datatype({TYPE_LIT_PATH, TYPE_PATH, "lit-path!", {.mold = lit_path_mold}});
  types::register_datatype({TYPE_SET_PATH, TYPE_PATH, "set-path!", {.mold = set_path_mold}});
  types::register_datatype({TYPE_GET_PATH, TYPE_PATH, "get-path!", {.mold = get_path_mold}});
}

Cell* push(Cell* cell) { return retype_and_push(cell, TYPE_PATH); }

Cell* make_at(Cell* cell, i32 n) {
  block::make_at(cell, n);
  return set_type(cell, TYPE_PATH);
}

}  // namespace path

namespace lit_path {
Cell* push(Cell* cell) { return retype_and_push(cell, TYPE_LIT_PATH); }
}  // namespace lit_path
namespace set_path {
Cell* push(Cell* cell) { return retype_and_push(cell, TYPE_SET_PATH); }
}  // namespace set_path
namespace get_path {
Cell* push(Cell* cell) { return retype_and_push(cell, TYPE_GET_PATH); }
}  // namespace get_path

namespace paren {

void init() {
  types::register_datatype({TYPE_PAREN, TYPE_BLOCK, "paren!", {.mold = paren_mold, .trim = nullptr}});
}

Cell* push(Cell* cell) { return retype_and_push(cell, TYPE_PAREN); }

}  // namespace paren

}  // namespace qel
