#include "runtime/api.hpp"
#include "datatypes/pair.hpp"

#include <cmath>
#include <string>

#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/point.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/random.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/words.hpp"

namespace qel::pair {

namespace {

using float_::raise_with_type;

// The left pair at the frame base becomes a point2D! and the operation goes
// on as point arithmetic.
void as_point_math(int op) {
  Cell* left = stack::base;
  point::make_2d_at(left, float(x(left)), float(y(left)));
  point::do_math(op);
}

// One coordinate by integer! rules; false when the result leaves 32 bits.
bool combine(i64 a, i64 b, int op, i32& out) {
  i64 r;
  switch (op) {
    case OP_ADD: r = a + b; break;
    case OP_SUB: r = a - b; break;
    case OP_MUL: r = a * b; break;
    case OP_DIV:
      if (b == 0) fire(Err::math_zero_divide);
      r = a / b;
      break;
    case OP_REM:
      if (b == 0) fire(Err::math_zero_divide);
      r = a % b;
      break;
    case OP_OR: r = a | b; break;
    case OP_AND: r = a & b; break;
    default: r = a ^ b; break;
  }
  if (r < INT32_MIN || r > INT32_MAX) return false;
  out = i32(r);
  return true;
}

void do_math(int op) {
  Cell* left = stack::base;
  Cell* right = left + 1;
  Type rt = type_of(right);
  i64 bx, by;
  switch (rt) {
    case TYPE_INTEGER: bx = by = int_of(right); break;
    case TYPE_PAIR: bx = x(right); by = y(right); break;
    case TYPE_POINT2D: return as_point_math(op);
    case TYPE_FLOAT: case TYPE_PERCENT: {
      double f = float_of(right);
      if (op == OP_MUL || op == OP_DIV) {
        if ((op == OP_MUL && std::isinf(f)) || (op == OP_DIV && std::isnan(f))) {
          fire(Err::script_invalid_arg, right);
        }
        double px = double(x(left)), py = double(y(left));
        point::make_2d_at(left, float(op == OP_MUL ? px * f : px / f),
                          float(op == OP_MUL ? py * f : py / f));
        return;
      }
      if (std::isinf(f)) fire(Err::script_invalid_arg, right);
      bx = by = integer::truncate(f);
      break;
    }
    default: raise_with_type(Err::script_invalid_type, rt);
  }
  i32 rx, ry;
  if (!combine(x(left), bx, op, rx) || !combine(y(left), by, op, ry)) {
    // Beyond 32 bits: the same operation on floats.
    point::make_2d_at(right, float(bx), float(by));
    return as_point_math(op);
  }
  set_x(left, rx);
  set_y(left, ry);
}

void h_add() { do_math(OP_ADD); }
void h_subtract() { do_math(OP_SUB); }
void h_multiply() { do_math(OP_MUL); }
void h_divide() { do_math(OP_DIV); }
void h_remainder() { do_math(OP_REM); }
void h_or() { do_math(OP_OR); }
void h_and() { do_math(OP_AND); }
void h_xor() { do_math(OP_XOR); }

void h_absolute() {
  Cell* v = stack::base;
  set_x(v, integer::abs(x(v)));
  set_y(v, integer::abs(y(v)));
}

Cell* h_negate(Cell* v) {
  if (x(v) == INT32_MIN || y(v) == INT32_MIN) fire(Err::math_overflow);
  set_x(v, -x(v));
  set_y(v, -y(v));
  return v;
}

Cell* h_reverse(Cell* v, Cell*, Cell*) {
  i32 t = x(v);
  set_x(v, y(v));
  set_y(v, t);
  return v;
}

// One coordinate rounded by integer!'s round; a float answer (a scale that is
// no integer) is truncated back to an integer.
i32 round_coordinate(i32 v, Cell* scale, bool even, bool down, bool half_down, bool floor,
                     bool ceiling, bool half_ceiling) {
  auto h = reinterpret_cast<act::Round>(types::table[TYPE_INTEGER][ACT_round]);
  Cell c;
  make_integer(&c, v);
  Cell s;
  if (scale) s = *scale;
  Cell* r = h(&c, scale ? &s : nullptr, even, down, half_down, floor, ceiling, half_ceiling);
  if (type_of(r) == TYPE_INTEGER) return int_of(r);
  return integer::truncate(float_of(r));
}

Cell* h_round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor,
              bool ceiling, bool half_ceiling) {
  Cell sx, sy;
  Cell* px = scale;
  Cell* py = scale;
  if (scale) {
    Type st = type_of(scale);
    if (st == TYPE_MONEY) {
      Cell call, type;
      stack::get_call(&call);
      make_datatype(&type, TYPE_MONEY);
      fire(Err::script_not_related, &call, &type);
    }
    if (st == TYPE_PAIR) {
      make_integer(&sx, x(scale));
      make_integer(&sy, y(scale));
      px = &sx;
      py = &sy;
    } else if (point::is_point_cell(st)) {
      // A point's x scales x and its y scales y, as a pair's do.
      make_float(&sx, double(point::coord(scale, 0)));
      make_float(&sy, double(point::coord(scale, 1)));
      px = &sx;
      py = &sy;
    }
  }
  i32 rx = round_coordinate(x(value), px, even, down, half_down, floor, ceiling, half_ceiling);
  i32 ry = round_coordinate(y(value), py, even, down, half_down, floor, ceiling, half_ceiling);
  set_x(value, rx);
  set_y(value, ry);
  return value;
}

i32 h_compare(Cell* value, Cell* other, i32 op) {
  Type ot = type_of(other);
  if (ot == TYPE_POINT2D) {
    Cell p;
    point::make_2d_at(init_header(&p, TYPE_POINT2D), float(x(value)), float(y(value)));
    auto h = reinterpret_cast<act::Compare>(types::table[TYPE_POINT2D][ACT_compare]);
    return h(&p, other, op);
  }
  if (ot != TYPE_PAIR) return COMPARE_INCOMPARABLE;
  if (x(value) != x(other)) return x(value) < x(other) ? -1 : 1;
  if (y(value) != y(other)) return y(value) < y(other) ? -1 : 1;
  return 0;
}

// ---- conversions -----------------------------------------------------------------

Cell* h_to(Cell*, Cell* spec, Type) {
  switch (type_of(spec)) {
    case TYPE_PAIR: return spec;
    case TYPE_INTEGER: return push(int_of(spec), int_of(spec));
    case TYPE_FLOAT: case TYPE_PERCENT: {
      i32 v = integer::truncate(float_of(spec));
      return push(v, v);
    }
    case TYPE_POINT2D: {
      float fx = point::coord(spec, 0), fy = point::coord(spec, 1);
      if (std::isinf(fx) || std::isinf(fy)) fire(Err::script_invalid_arg, spec);
      return push(integer::truncate(fx), integer::truncate(fy));
    }
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: {
      mem::Buffer* b = mem::buffer_of(series_node(spec));
      i64 total = i64(b->used() / sizeof(Cell));
      i64 index = series_index(spec) < 0 ? 0 : series_index(spec);
      const Cell* items = b->cells() + index;
      auto number = [](const Cell* c) { return type_of(c) == TYPE_INTEGER || type_of(c) == TYPE_FLOAT; };
      if (total - index < 2 || !number(items) || !number(items + 1)) {
        fire(Err::syntax_malconstruct, spec);
      }
      auto part = [](const Cell* c) {
        return type_of(c) == TYPE_INTEGER ? int_of(c) : integer::truncate(float_of(c));
      };
      return push(part(items), part(items + 1));
    }
    case TYPE_STRING: {
      Cell* loaded = make_none(stack::push());
      if (!api::services.load_first(spec, loaded) || type_of(loaded) != TYPE_PAIR) {
        float_::raise_bad_to(TYPE_PAIR, spec);
      }
      return loaded;
    }
    default: float_::raise_bad_to(TYPE_PAIR, spec);
  }
}

// ---- text ------------------------------------------------------------------------------

i32 h_form(Cell* value, Cell* buffer, Cell*, i32 limit) {
  std::string text = integer::form_signed(x(value));
  text.push_back('x');
  text += integer::form_signed(y(value));
  string::append_ascii(buffer, text.data(), text.size());
  return limit - i32(text.size());
}

i32 h_mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 limit, i32) {
  return h_form(value, buffer, arg, limit);
}

// ---- fields -----------------------------------------------------------------------------

// 1 for x, 2 for y, 0 for anything else.
i32 field_of(const Cell* element) {
  if (type_of(element) == TYPE_INTEGER) {
    i32 i = int_of(element);
    return i == 1 || i == 2 ? i : 0;
  }
  if (type_of(element) == TYPE_WORD) {
    std::string_view n = symbol::name(word::symbol_of(element));
    if (n == "x" || n == "X") return 1;
    if (n == "y" || n == "Y") return 2;
  }
  return 0;
}

Cell* h_eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  i32 f = field_of(element);
  if (!f) {
    Cell path;
    if (step.path) copy_cell(step.path, &path); else make_none(&path);
    fire(Err::script_invalid_path, element, &path);
  }
  if (!value) return integer::push(f == 1 ? x(parent) : y(parent));
  if (type_of(value) != TYPE_INTEGER) raise_with_type(Err::script_invalid_type, type_of(value));
  if (f == 1) set_x(parent, int_of(value)); else set_y(parent, int_of(value));
  return value;
}

Cell* h_pick(Cell* p, i32, Cell* index_cell) {
  i32 f = field_of(index_cell);
  if (!f) fire(Err::script_out_of_range, index_cell);
  return integer::push(f == 1 ? x(p) : y(p));
}

Cell* h_random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(x(value) ^ y(value));
    return make_unset(stack::push());
  }
  if (x(value)) set_x(value, random::range(secure, x(value)));
  if (y(value)) set_y(value, random::range(secure, y(value)));
  return value;
}

}  // namespace

Cell* make_at(Cell* cell, i32 px, i32 py) {
  cell->header = (cell->header & FLAG_NEW_LINE) | TYPE_PAIR;
  clear_word1(cell);
  set_x(cell, px);
  set_y(cell, py);
  return cell;
}

Cell* make_in(u32 block, i32 px, i32 py) {
  Cell* c = mem::alloc_tail_cell(block);
  c->header = 0;
  return make_at(c, px, py);
}

Cell* push(i32 px, i32 py) { return make_at(make_none(stack::push()), px, py); }

void init() {
  types::register_datatype(
      {TYPE_PAIR, TYPE_NO_TYPE, "pair!",
       {.make = h_to, .random = h_random, .to = h_to, .form = h_form, .mold = h_mold,
        .eval_path = h_eval_path, .compare = h_compare, .absolute = h_absolute, .add = h_add,
        .divide = h_divide, .multiply = h_multiply, .negate = h_negate,
        .remainder = h_remainder, .round = h_round, .subtract = h_subtract, .and_t = h_and,
        .or_t = h_or, .xor_t = h_xor, .pick = h_pick, .reverse = h_reverse}});
}

}  // namespace qel::pair
