#include "runtime/api.hpp"
#include "datatypes/point.hpp"

#include <bit>
#include <cmath>
#include <string>

#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/random.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

namespace qel::point {

namespace {

using float_::raise_with_type;

Cell* start(Cell* cell, Type t) {
  cell->header = (cell->header & FLAG_NEW_LINE) | t;
  clear_payload(cell);
  return cell;
}

bool is_number(Type t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }
double number_of(const Cell* c) {
  return type_of(c) == TYPE_INTEGER ? double(int_of(c)) : float_of(c);
}

// ---- arithmetic -----------------------------------------------------------------

void h_math(int op) {
  Cell* left = stack::base;
  Cell* right = left + 1;
  Type lt = type_of(left), rt = type_of(right);
  u32 n = dimensions(left);
  double b[3];
  if (is_number(rt)) {
    b[0] = b[1] = b[2] = number_of(right);
  } else if (rt == lt) {
    for (u32 i = 0; i < n; ++i) b[i] = coord(right, i);
  } else if (rt == TYPE_PAIR && lt == TYPE_POINT2D) {
    b[0] = pair::x(right);
    b[1] = pair::y(right);
  } else {
    raise_with_type(Err::script_invalid_type, rt);
  }
  for (u32 i = 0; i < n; ++i) {
    set_coord(left, i, float(float_::do_math_op(double(coord(left, i)), b[i], op)));
  }
}

void h_add() { h_math(OP_ADD); }
void h_subtract() { h_math(OP_SUB); }
void h_multiply() { h_math(OP_MUL); }
void h_divide() { h_math(OP_DIV); }
void h_remainder() { h_math(OP_REM); }

void h_absolute() {
  Cell* v = stack::base;
  for (u32 i = 0, n = dimensions(v); i < n; ++i) set_coord(v, i, std::fabs(coord(v, i)));
}

Cell* h_negate(Cell* v) {
  for (u32 i = 0, n = dimensions(v); i < n; ++i) set_coord(v, i, -coord(v, i));
  return v;
}

Cell* h_reverse(Cell* v, Cell*, Cell*) {
  u32 last = dimensions(v) - 1;
  float t = coord(v, 0);
  set_coord(v, 0, coord(v, last));
  set_coord(v, last, t);
  return v;
}

Cell* h_round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor,
              bool ceiling, bool half_ceiling) {
  u32 n = dimensions(value);
  double s[3] = {1.0, 1.0, 1.0};
  if (scale) {
    Type st = type_of(scale);
    if (st == TYPE_MONEY) {
      Cell call, type;
      stack::get_call(&call);
      make_datatype(&type, TYPE_MONEY);
      fire(Err::script_not_related, &call, &type);
    }
    if (is_number(st)) {
      s[0] = s[1] = s[2] = number_of(scale);
    } else if (st == TYPE_PAIR) {
      s[0] = pair::x(scale);
      s[1] = pair::y(scale);
      s[2] = 1.0;
    } else if (st == TYPE_POINT2D || st == TYPE_POINT3D) {
      for (u32 i = 0; i < dimensions(scale); ++i) s[i] = coord(scale, i);
    } else {
      raise_with_type(Err::script_invalid_type, st);
    }
  }
  for (u32 i = 0; i < n; ++i) {
    double r = float_::round_to_scale(double(coord(value, i)), std::fabs(s[i]),
                                      {even, down, half_down, floor, ceiling, half_ceiling});
    set_coord(value, i, float(r));
  }
  return value;
}

// ---- compare ---------------------------------------------------------------------------

i32 h_compare(Cell* value, Cell* other, i32 op) {
  Cell converted;
  if (type_of(value) == TYPE_POINT2D && type_of(other) == TYPE_PAIR) {
    make_2d_at(init_header(&converted, TYPE_POINT2D), float(pair::x(other)),
               float(pair::y(other)));
    other = &converted;
  }
  if (type_of(other) != type_of(value)) return COMPARE_INCOMPARABLE;
  u32 n = dimensions(value);
  switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_FIND: case COMP_EQUAL_NO_CASE:
      for (u32 i = 0; i < n; ++i) {
        if (!float_::equal32_q(coord(value, i), coord(other, i))) return 1;
      }
      return 0;
    case COMP_STRICT_EQUAL:
      for (u32 i = 0; i < n; ++i) {
        if (!(coord(value, i) == coord(other, i))) return 1;
      }
      return 0;
    case COMP_SAME:
      return same_words(value, other, WORD_1 | WORD_2 | WORD_3) ? 0 : 1;
    default:
      for (u32 i = 0; i < n; ++i) {
        float d = coord(value, i) - coord(other, i);
        if (d < 0) return -1;
        if (d > 0) return 1;
      }
      return 0;
  }
}

// ---- conversions -------------------------------------------------------------------------

Cell* h_to(Cell*, Cell* spec, Type type) {
  Type st = type_of(spec);
  u32 n = type == TYPE_POINT3D ? 3 : 2;
  Cell* out = start(stack::push(), type);
  switch (st) {
    case TYPE_INTEGER: case TYPE_FLOAT: case TYPE_PERCENT:
      for (u32 i = 0; i < n; ++i) set_coord(out, i, float(number_of(spec)));
      return out;
    case TYPE_PAIR:
      set_coord(out, 0, float(pair::x(spec)));
      set_coord(out, 1, float(pair::y(spec)));
      return out;
    case TYPE_POINT2D: case TYPE_POINT3D:
      if (st == type) return spec;
      if (st == TYPE_POINT3D) float_::raise_bad_to(type, spec);
      set_coord(out, 0, coord(spec, 0));
      set_coord(out, 1, coord(spec, 1));
      return out;
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: {
      mem::Buffer* b = mem::buffer_of(series_node(spec));
      i64 total = i64(b->used() / sizeof(Cell));
      i64 index = series_index(spec) < 0 ? 0 : series_index(spec);
      const Cell* items = b->cells() + index;
      if (total - index < i64(n)) fire(Err::syntax_malconstruct, spec);
      for (u32 i = 0; i < n; ++i) {
        Type t = type_of(items + i);
        if (t != TYPE_INTEGER && t != TYPE_FLOAT) fire(Err::syntax_malconstruct, spec);
        set_coord(out, i, float(number_of(items + i)));
      }
      return out;
    }
    case TYPE_STRING: {
      if (!api::services.load_first(spec, out) || type_of(out) != type) {
        float_::raise_bad_to(type, spec);
      }
      return out;
    }
    default: float_::raise_bad_to(type, spec);
  }
}

// ---- text ----------------------------------------------------------------------------------

i32 h_form(Cell* value, Cell* buffer, Cell*, i32 limit) {
  std::string text = "(";
  for (u32 i = 0, n = dimensions(value); i < n; ++i) {
    if (i) text += ", ";
    float_text::Text t = float_::form(double(coord(value, i)), float_text::FORM_COORD32);
    text.append(t.chars, t.length);
  }
  text.push_back(')');
  string::append_ascii(buffer, text.data(), text.size());
  return limit - i32(text.size());
}

i32 h_mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 limit, i32) {
  return h_form(value, buffer, arg, limit);
}

// ---- fields ------------------------------------------------------------------------------

// 1-based coordinate of an element (x, y, z or an integer), 0 for none.
u32 field_of(const Cell* v, const Cell* element) {
  u32 n = dimensions(v);
  if (type_of(element) == TYPE_INTEGER) {
    i32 i = int_of(element);
    return i >= 1 && i <= i32(n) ? u32(i) : 0;
  }
  if (type_of(element) == TYPE_WORD) {
    std::string_view s = symbol::name(word::symbol_of(element));
    if (s.size() == 1) {
      char c = char(s[0] | 0x20);
      u32 f = c == 'x' ? 1 : c == 'y' ? 2 : c == 'z' ? 3 : 0;
      return f <= n ? f : 0;
    }
  }
  return 0;
}

Cell* h_eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  u32 f = field_of(parent, element);
  if (!f) {
    Cell path;
    if (step.path) copy_cell(step.path, &path); else make_none(&path);
    fire(Err::script_invalid_path, element, &path);
  }
  if (!value) return float_::push(double(coord(parent, f - 1)));
  Type vt = type_of(value);
  if (vt != TYPE_INTEGER && vt != TYPE_FLOAT) raise_with_type(Err::script_invalid_type, vt);
  set_coord(parent, f - 1, float(number_of(value)));
  return value;
}

Cell* h_pick(Cell* p, i32, Cell* index_cell) {
  u32 f = field_of(p, index_cell);
  if (!f) fire(Err::script_out_of_range, index_cell);
  return float_::push(double(coord(p, f - 1)));
}

Cell* h_random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(i32(coord_bits(value, 0) * 31u + coord_bits(value, 1) * 17u + coord_bits(value, 2)));
    return make_unset(stack::push());
  }
  for (u32 i = 0, n = dimensions(value); i < n; ++i) {
    float c = coord(value, i);
    if (c != 0.0f) set_coord(value, i, float(float_::random(double(c), secure)));
  }
  return value;
}

void register_type(Type t, const char* name) {
  types::register_datatype(
      {t, TYPE_NO_TYPE, name,
       {.make = h_to, .random = h_random, .to = h_to, .form = h_form, .mold = h_mold,
        .eval_path = h_eval_path, .compare = h_compare, .absolute = h_absolute, .add = h_add,
        .divide = h_divide, .multiply = h_multiply, .negate = h_negate,
        .remainder = h_remainder, .round = h_round, .subtract = h_subtract, .pick = h_pick,
        .reverse = h_reverse}});
}

}  // namespace

void do_math(int op) { h_math(op); }

Cell* make_2d_at(Cell* cell, float x, float y) {
  start(cell, TYPE_POINT2D);
  set_coord(cell, 0, x);
  set_coord(cell, 1, y);
  return cell;
}

Cell* make_3d_at(Cell* cell, float x, float y, float z) {
  start(cell, TYPE_POINT3D);
  set_coord(cell, 0, x);
  set_coord(cell, 1, y);
  set_coord(cell, 2, z);
  return cell;
}

Cell* push_2d(float x, float y) { return make_2d_at(make_none(stack::push()), x, y); }
Cell* push_3d(float x, float y, float z) { return make_3d_at(make_none(stack::push()), x, y, z); }

void init() {
  register_type(TYPE_POINT2D, "point2D!");
  register_type(TYPE_POINT3D, "point3D!");
}

}  // namespace qel::point
