#include "datatypes/logic.hpp"

#include "datatypes/string.hpp"
#include "runtime/random.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/stack.hpp"

namespace qel {

namespace values {
const Cell unset_cell{TYPE_UNSET, 0, 0, 0};
const Cell none_cell{TYPE_NONE, 0, 0, 0};
const Cell true_cell{TYPE_LOGIC, 1, 0, 0};
const Cell false_cell{TYPE_LOGIC, 0, 0, 0};
}  // namespace values

namespace {


bool equality_or_sort(i32 op) {
  return op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_SORT ||
         op == COMP_CASE_SORT || op == COMP_SAME || op == COMP_EQUAL_NO_CASE;
}

// ---- unset! ----

Cell* unset_make(Cell*, Cell*, Type) { return unset::push(); }
i32 unset_form(Cell*, Cell*, Cell*, i32 limit) { return limit; }
i32 unset_mold(Cell*, Cell* buf, bool, bool all, bool, Cell*, i32 limit, i32) {
  return all ? string::write_ascii(buf, "#(unset)", limit) : string::write_ascii(buf, "unset", limit);
}
i32 unset_compare(Cell*, Cell* v2, i32 op) {
  if (type_of(v2) != TYPE_UNSET) return COMPARE_INCOMPARABLE;
  return equality_or_sort(op) ? 0 : COMPARE_INCOMPARABLE;
}

// ---- none! ----

Cell* none_make(Cell*, Cell*, Type) { return none::push(); }
i32 none_form(Cell*, Cell* buf, Cell*, i32 limit) { return string::write_ascii(buf, "none", limit); }
i32 none_mold(Cell*, Cell* buf, bool, bool all, bool, Cell*, i32 limit, i32) {
  return all ? string::write_ascii(buf, "#(none)", limit) : string::write_ascii(buf, "none", limit);
}
i32 none_compare(Cell*, Cell* v2, i32 op) {
  if (type_of(v2) != TYPE_NONE) return COMPARE_INCOMPARABLE;
  return equality_or_sort(op) ? 0 : COMPARE_INCOMPARABLE;
}
Cell* none_answer(Cell*) { return const_cast<Cell*>(&values::none_cell); }
Cell* none_find(Cell*, Cell*, const act::FindOptions&) {
  return const_cast<Cell*>(&values::none_cell);
}
i32 none_length(Cell*) { return -1; }
Cell* none_remove(Cell*, Cell*, Cell*) { return const_cast<Cell*>(&values::none_cell); }
Cell* none_take(Cell*, Cell*, bool, bool) { return const_cast<Cell*>(&values::none_cell); }

// ---- logic! ----

Cell* logic_to(Cell*, Cell* spec, Type) {
  Type t = type_of(spec);
  if (t == TYPE_LOGIC) return spec;
  return logic::push(t != TYPE_NONE);
}

Cell* logic_make(Cell* proto, Cell* spec, Type type) {
  switch (type_of(spec)) {
    case TYPE_INTEGER: return logic::push(int_of(spec) != 0);
    case TYPE_FLOAT: case TYPE_PERCENT: {
      double d = float_of(spec);
      return logic::push(d != 0.0);  // NaN != 0.0 is true
    }
    default: return logic_to(proto, spec, type);
  }
}

Cell* logic_random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(i32(logic::flag(value)));
    return unset::push();
  }
  i32 n = secure ? random::secure() : random::next();
  return logic::push(n > 0x3FFFFFFF);
}

i32 logic_form(Cell* v, Cell* buf, Cell*, i32 limit) {
  return logic::flag(v) ? string::write_ascii(buf, "true", limit) : string::write_ascii(buf, "false", limit);
}
i32 logic_mold(Cell* v, Cell* buf, bool, bool all, bool, Cell* arg, i32 limit, i32) {
  if (!all) return logic_form(v, buf, arg, limit);
  return logic::flag(v) ? string::write_ascii(buf, "#(true)", limit) : string::write_ascii(buf, "#(false)", limit);
}
i32 logic_compare(Cell* v1, Cell* v2, i32 op) {
  if (type_of(v2) != TYPE_LOGIC) return COMPARE_INCOMPARABLE;
  if (!equality_or_sort(op)) return COMPARE_INCOMPARABLE;
  return i32(logic::flag(v1)) - i32(logic::flag(v2));
}
Cell* logic_complement(Cell* v) {
  logic::set_flag(v, !logic::flag(v));
  return v;
}

// and~, or~, xor~: the second argument must be logic! too.
void logic_bitwise(int op) {
  Cell* a = stack::base;
  Cell* b = stack::base + 1;
  if (type_of(b) != TYPE_LOGIC) {
    Cell call, type, name;
    stack::get_call(&call);
    make_datatype(&type, type_of(b));
    error::arg_word(1, &name);
    fire(Err::script_expect_arg, &call, &type, &name);
  }
  bool x = logic::flag(a), y = logic::flag(b);
  logic::set_flag(a, op == OP_AND ? x && y : op == OP_OR ? x || y : x != y);
}
void logic_and() { logic_bitwise(OP_AND); }
void logic_or() { logic_bitwise(OP_OR); }
void logic_xor() { logic_bitwise(OP_XOR); }

// ---- datatype! ----

i32 datatype_form(Cell* v, Cell* buf, Cell*, i32 limit) {
  const TypeName& n = types::names[datatype_of(v) < TYPE_SLOTS ? datatype_of(v) : 0];
  if (!n.name) return limit;
  return string::write_ascii_n(buf, n.name, n.length, limit);
}
i32 datatype_mold(Cell* v, Cell* buf, bool, bool all, bool, Cell*, i32 limit, i32) {
  const TypeName& n = types::names[datatype_of(v) < TYPE_SLOTS ? datatype_of(v) : 0];
  if (!n.name) return limit;
  if (all) limit = string::write_ascii(buf, "#(", limit);
  limit = string::write_ascii_n(buf, n.name, n.length + 1, limit);
  if (all) limit = string::write_ascii(buf, ")", limit);
  return limit;
}
i32 datatype_compare(Cell* v1, Cell* v2, i32 op) {
  if (op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_SAME ||
      op == COMP_EQUAL_NO_CASE) {
    return (type_of(v2) == TYPE_DATATYPE && datatype_of(v2) == datatype_of(v1)) ? 0 : 1;
  }
  return COMPARE_INCOMPARABLE;
}

}  // namespace

namespace unset {
Cell* push() { return make_unset(stack::push()); }
void init() {
  types::register_datatype({TYPE_UNSET, TYPE_NO_TYPE, "unset!",
                            {.make = unset_make, .to = unset_make, .form = unset_form,
                             .mold = unset_mold, .compare = unset_compare}});
}
}  // namespace unset

namespace none {
Cell* push() { return make_none(stack::push()); }
void init() {
  types::register_datatype({TYPE_NONE, TYPE_NO_TYPE, "none!",
                            {.make = none_make, .to = none_make, .form = none_form,
                             .mold = none_mold, .compare = none_compare, .clear = none_answer,
                             .find = none_find, .length_q = none_length, .remove = none_remove,
                             .select = none_find, .take = none_take}});
}
}  // namespace none

namespace logic {
Cell* push(bool b) { return make_logic(stack::push(), b); }

bool true_value(const Cell* c, bool check, const Cell* name) {
  switch (type_of(c)) {
    case TYPE_NONE: return false;
    case TYPE_LOGIC: return logic_of(c);
    case TYPE_UNSET:
      if (check) fire(Err::script_no_value, name);
      return true;
    default: return true;
  }
}

bool true_base() {
  if (type_of(stack::base) == TYPE_UNSET) fire(Err::script_no_return);
  return !is_false(stack::base);
}

bool false_base() { return is_false(stack::base); }

void init() {
  types::register_datatype({TYPE_LOGIC, TYPE_NO_TYPE, "logic!",
                            {.make = logic_make, .random = logic_random, .to = logic_to,
                             .form = logic_form, .mold = logic_mold, .compare = logic_compare,
                             .and_t = logic_and, .complement = logic_complement,
                             .or_t = logic_or, .xor_t = logic_xor}});
}
}  // namespace logic

namespace datatype_type {
void init() {
  types::register_datatype({TYPE_DATATYPE, TYPE_NO_TYPE, "datatype!",
                            {.form = datatype_form, .mold = datatype_mold,
                             .compare = datatype_compare}});
}
}  // namespace datatype_type

}  // namespace qel
