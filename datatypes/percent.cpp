#include "datatypes/percent.hpp"

#include "datatypes/float.hpp"
#include "datatypes/string.hpp"
#include "runtime/actions.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

namespace qel::percent {

namespace {

// The value times 100 in the float writer's percent mode, "%" included.
i32 h_form(Cell* value, Cell* buffer, Cell*, i32 limit) {
  float_text::Text t = float_::form(float_of(value) * 100.0, float_text::FORM_PERCENT);
  string::append_ascii(buffer, t.chars, t.length);
  return limit - i32(t.length);
}

i32 h_mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 limit, i32) {
  return h_form(value, buffer, arg, limit);
}

}  // namespace

Cell* make_at(Cell* cell, double d) {
  set_type(cell, TYPE_PERCENT);
  cell->w1 = 0;
  set_float_payload(cell, d);
  return cell;
}

Cell* make_in(u32 block, double d) {
  Cell* c = mem::alloc_tail_cell(block);
  init_header(c, TYPE_PERCENT);
  return make_at(c, d);
}

Cell* push(double d) { return make_at(init_header(stack::push(), TYPE_PERCENT), d); }

void init() {
  ActionTable t = no_actions();
  // What a percent! shares with float!; the rest stays empty.
  t.make = {};
  t.random = {};
  t.to = {};
  t.compare = {};
  t.absolute = {};
  t.add = {};
  t.divide = {};
  t.multiply = {};
  t.negate = {};
  t.power = {};
  t.remainder = {};
  t.round = {};
  t.subtract = {};
  t.even_q = {};
  t.odd_q = {};
  t.form = h_form;
  t.mold = h_mold;
  types::register_datatype({TYPE_PERCENT, TYPE_FLOAT, "percent!", t});
}

}  // namespace qel::percent
