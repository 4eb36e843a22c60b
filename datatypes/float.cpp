#include "datatypes/float.hpp"

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "datatypes/integer.hpp"
#include "datatypes/money.hpp"
#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/random.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"

namespace qel::float_ {

bool pretty = true;

// ---- errors the number datatypes raise ----------------------------------------

void raise_with_type(Err e, Type t) {
  Cell d;
  make_datatype(&d, t);
  fire(e, &d);
}

void raise_not_related(const char* action, Type t) {
  Cell word = *intern_word(action);
  Cell d;
  make_datatype(&d, t);
  fire(Err::script_not_related, &word, &d);
}

void raise_bad_to(Type target, const Cell* value) {
  Cell d;
  make_datatype(&d, target);
  fire(Err::script_bad_to_arg, &d, value);
}

namespace {

constexpr double EPSILON = 2.220446049250313e-16;

[[noreturn]] void raise_money_scale() {
  Cell call, type;
  stack::get_call(&call);
  make_datatype(&type, TYPE_MONEY);
  fire(Err::script_not_related, &call, &type);
}

// The types a round scale may have (besides money!, which is refused).
bool is_scale(Type t) {
  return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT || t == TYPE_TIME;
}

// The double of an integer!, char!, float!, percent! or time! cell.
double number_of(const Cell* c) {
  Type t = type_of(c);
  return (t == TYPE_INTEGER || t == TYPE_CHAR) ? double(int_of(c)) : float_of(c);
}

// Makes the cell a floating value of the type, keeping its flag bits.
Cell* set_floating(Cell* c, Type t, double d) {
  set_type(c, t);
  clear_word1(c);
  set_float_payload(c, d);
  return c;
}

// ---- conversions ----------------------------------------------------------------

// The items of a block-like value from its index to its tail.
u32 block_items(const Cell* block, Cell** items) {
  mem::Buffer* b = mem::buffer_of(series_node(block));
  i64 total = i64(b->used() / sizeof(Cell));
  i64 index = series_index(block);
  if (index < 0) index = 0;
  *items = b->cells() + index;
  return total > index ? u32(total - index) : 0;
}

Cell* to_floating(Cell* spec, Type target) {
  double d = 0.0;
  switch (type_of(spec)) {
    case TYPE_INTEGER: case TYPE_CHAR: case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME:
      d = number_of(spec);
      break;
    case TYPE_MONEY: d = money::to_float(spec); break;
    case TYPE_BINARY: {
      // Up to 8 bytes from the index, big-endian, taken as the bits of a double.
      mem::Buffer* b = mem::buffer_of(series_node(spec));
      i64 index = series_index(spec) < 0 ? 0 : series_index(spec);
      i64 available = i64(b->used()) - index;
      u32 n = available <= 0 ? 0 : available > 8 ? 8 : u32(available);
      const u8* p = b->head_ptr() + index;
      u64 v = 0;
      for (u32 i = 0; i < n; ++i) v = (v << 8) | p[i];
      d = std::bit_cast<double>(v);
      break;
    }
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: {
      // [mantissa exponent]: mantissa * 10^exponent.
      Cell* items;
      if (block_items(spec, &items) != 2) raise_bad_to(target, spec);
      for (int i = 0; i < 2; ++i) {
        Type t = type_of(items + i);
        if (t != TYPE_INTEGER && t != TYPE_FLOAT) {
          Cell item = items[i];
          raise_bad_to(TYPE_FLOAT, &item);
        }
      }
      double exponent = double(integer::truncate(number_of(items + 1)));
      d = number_of(items) * std::pow(10.0, exponent);
      break;
    }
    case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL:
    case TYPE_REF: {
      if (target == TYPE_PERCENT) {
        // The text is loaded as a value: 50% and 0.5 both give 50%.
        Cell* loaded = make_none(stack::push());
        if (!api::services.load_first(spec, loaded) ||
            !(type_of(loaded) == TYPE_INTEGER || type_of(loaded) == TYPE_FLOAT ||
              type_of(loaded) == TYPE_PERCENT)) {
          raise_bad_to(target, spec);
        }
        d = number_of(loaded);
        stack::pop(1);
        break;
      }
      Cell s = *spec;
      const u8* p = string::index_pointer(&s);
      u32 n = string::length_from_index(&s);
      u32 unit = unicode::unit_of(mem::buffer_of(series_node(&s)));
      i32 status;
      d = api::services.text_to_float(p, n, unit, &status);
      if (status != 0) raise_bad_to(target, spec);
      break;
    }
    default: raise_bad_to(target, spec);
  }
  return set_floating(stack::push(), target, d);
}

// ---- handlers ---------------------------------------------------------------------

Cell* h_to(Cell*, Cell* spec, Type type) {
  return to_floating(spec, type == TYPE_PERCENT ? TYPE_PERCENT : TYPE_FLOAT);
}

Cell* h_random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(i32(float_low_word(value) ^ float_high_word(value)));
    return make_unset(stack::push());
  }
  set_float_payload(value, random(float_of(value), secure));
  return value;
}

i32 h_form(Cell* value, Cell* buffer, Cell*, i32 limit) {
  float_text::Text t = form(float_of(value), float_text::FORM_FLOAT);
  string::append_ascii(buffer, t.chars, t.length);
  return limit - i32(t.length);
}

i32 h_mold(Cell* value, Cell* buffer, bool, bool, bool, Cell*, i32 limit, i32) {
  float_text::Text t = float_text::float_to_text(float_of(value), 0, true);
  string::append_ascii(buffer, t.chars, t.length);
  return limit - i32(t.length);
}

void h_absolute() {
  Cell* v = stack::base;
  set_float_payload(v, abs(float_low_word(v), float_high_word(v)));
}

Cell* h_negate(Cell* v) {
  set_float_payload(v, 0.0 - float_of(v));  // -0.0 and 0.0 both give 0.0
  return v;
}

void h_add() { do_math(OP_ADD); }
void h_subtract() { do_math(OP_SUB); }
void h_multiply() { do_math(OP_MUL); }
void h_divide() { do_math(OP_DIV); }
void h_remainder() { do_math(OP_REM); }

// Parity of the integral part; infinities and NaN are neither even nor odd.
bool h_even(Cell* v) {
  double d = float_of(v);
  return std::isfinite(d) && std::fmod(std::trunc(d), 2.0) == 0.0;
}
bool h_odd(Cell* v) {
  double d = float_of(v);
  return std::isfinite(d) && std::fmod(std::trunc(d), 2.0) != 0.0;
}

// A scale of zero, or one below the precision of d, rounds nothing.
bool below_precision(double d, double s) { return s == 0.0 || s < std::ldexp(std::fabs(d), -53); }

}  // namespace

// ---- cells ------------------------------------------------------------------------

Cell* box(double d) { return make_float(stack::base, d); }
Cell* make_at(Cell* cell, double d) { return set_floating(cell, TYPE_FLOAT, d); }
Cell* make_in(u32 block, double d) { return make_float(mem::alloc_tail_cell(block), d); }
Cell* push(double d) { return make_float(stack::push(), d); }

Cell* push64(u32 low, u32 high) {
  Cell* c = make_float(stack::push(), 0.0);
  set_float_words(c, low, high);
  return c;
}

double abs(u32 low, u32 high) {
  return std::bit_cast<double>((u64(high & 0x7FFFFFFFu) << 32) | low);
}

i32 round_to_int(double d) { return integer::truncate(d + 0.49999999999999994); }

bool nan_q(u32 low, u32 high) {
  return (high & 0x7FF00000u) == 0x7FF00000u && ((high & 0x000FFFFFu) != 0 || low != 0);
}
bool nan32_q(float f) { return f != f; }
bool infinite_q(double d) { return std::isinf(d); }

bool equal64_q(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return false;
  if (a == b) return true;
  // An infinity sits next to the largest double in the order of bit patterns,
  // but is not near it.
  if (std::isinf(a) || std::isinf(b)) return false;
  if (std::fabs(a - b) < EPSILON) return true;
  // Bit patterns mapped to keys that order like the values.
  auto key = [](double d) {
    u64 bits = std::bit_cast<u64>(d);
    return (bits >> 63) ? u64(0) - bits : bits | (u64(1) << 63);
  };
  u64 ka = key(a), kb = key(b);
  u32 ha = u32(ka >> 32), hb = u32(kb >> 32);
  if ((ha > hb ? ha - hb : hb - ha) > 1) return false;
  return (ka > kb ? ka - kb : kb - ka) < 11;
}

bool equal32_q(float a, float b) {
  if (a != a || b != b) return false;
  if (a == b) return true;
  u32 ba, bb;
  std::memcpy(&ba, &a, sizeof ba);
  std::memcpy(&bb, &b, sizeof bb);
  u32 ma = ba & 0x7FFFFFFFu, mb = bb & 0x7FFFFFFFu;
  if (ma >= 0x7F7FFFFFu || mb >= 0x7F7FFFFFu) {
    if ((ba >> 31) != (bb >> 31)) return false;
    return (ma > mb ? ma - mb : mb - ma) < 0x100000u;
  }
  if (ma == 0 && mb == 0) return true;
  auto key = [](u32 bits) { return (bits >> 31) ? i64(0x80000000u) - i64(bits) : i64(bits); };
  i64 d = key(ba) - key(bb);
  return (d < 0 ? -d : d) <= 10;
}

float_text::Text form(double d, float_text::FormMode mode) {
  return float_text::form(d, mode, pretty);
}

// ---- arithmetic -----------------------------------------------------------------------

double do_math_op(double x, double y, int op) {
  switch (op) {
    case OP_ADD: return x + y;
    case OP_SUB: return x - y;
    case OP_MUL: return x * y;
    case OP_DIV: return x / y;
    case OP_REM:
      if (0.0 * y == 0.0) return std::fmod(x, y);  // y finite
      if (std::isnan(y)) return y;
      return std::isfinite(x) ? x : std::nan("");  // an infinite divisor
    default: {
      Cell call, type;
      stack::get_call(&call);
      make_datatype(&type, TYPE_FLOAT);
      fire(Err::script_cannot_use, &call, &type);
    }
  }
}

void delegate_math(Type owner, int op) {
  static const Action actions[] = {ACT_add,       ACT_subtract, ACT_multiply, ACT_divide,
                                   ACT_remainder, ACT_or_t,     ACT_and_t,    ACT_xor_t};
  ActionFn f = op >= 0 && op < 8 ? types::table[owner][actions[op]] : nullptr;
  if (!f) raise_with_type(Err::script_invalid_type, owner);
  reinterpret_cast<act::Dispatch>(f)();
}

void do_math(int op) {
  Cell* left = stack::base;
  Cell* right = left + 1;
  Type lt = type_of(left), rt = type_of(right);
  switch (rt) {
    case TYPE_TUPLE: case TYPE_MONEY: case TYPE_VECTOR:
      delegate_math(rt, op);
      return;
    case TYPE_PAIR: case TYPE_POINT2D: case TYPE_POINT3D: {
      if (lt == TYPE_TIME) raise_with_type(Err::script_invalid_type, rt);
      if (op == OP_SUB) raise_not_related("subtract", rt);
      if (op == OP_DIV) raise_not_related("divide", rt);
      Cell t = *left;
      *left = *right;
      *right = t;
      delegate_math(rt, op);
      return;
    }
    case TYPE_CHAR:
      if (lt == TYPE_TIME || lt == TYPE_PERCENT) raise_with_type(Err::script_invalid_type, rt);
      break;
    case TYPE_INTEGER: case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: break;
    default: raise_with_type(Err::script_invalid_type, rt);
  }
  double r = do_math_op(number_of(left), number_of(right), op);
  Type result = (lt == TYPE_TIME || rt == TYPE_TIME) ? TYPE_TIME
                : lt == TYPE_PERCENT                ? TYPE_PERCENT
                                                    : TYPE_FLOAT;
  // A time has no infinite or undefined value (its text could not be loaded
  // back): dividing by zero raises as it does for integers, and a result
  // past the double range overflows.
  if (result == TYPE_TIME && !std::isfinite(r) && std::isfinite(number_of(left))) {
    if ((op == OP_DIV || op == OP_REM) && number_of(right) == 0) fire(Err::math_zero_divide);
    fire(Err::math_overflow);
  }
  set_floating(left, result, r);
}

void power() {
  Cell* base = stack::base;
  Cell* exponent = base + 1;
  Type et = type_of(exponent);
  if (et != TYPE_INTEGER && et != TYPE_FLOAT) {
    Cell call, type;
    stack::get_call(&call);
    make_datatype(&type, et);
    Cell name = *intern_word("exponent");
    fire(Err::script_expect_arg, &call, &type, &name);
  }
  set_float_payload(base, std::pow(float_of(base), number_of(exponent)));
}

double round_to_scale(double d, double s, const RoundMode& m) {
  if (std::isnan(d) || below_precision(d, s)) return d;
  bool large = s >= 1.0;
  int e = 0;
  if (large) {
    d = d / s;
  } else {
    // Multiplying by the reciprocal keeps decimal scales exact (0.01 is not
    // exact in binary, 100 is). A scale below the normal range is split so
    // that its reciprocal stays finite: s = mantissa * 2^e.
    int ex;
    double mantissa = std::frexp(s, &ex);
    if (ex <= -1022) {
      s = mantissa;
      d = std::ldexp(d, -ex);
      e = ex;
    }
    s = 1.0 / s;
    d = d * s;
  }
  double a = std::fabs(d);
  bool negative = d < 0;
  auto signed_ = [negative](double x) { return negative ? 0.0 - x : x; };
  double r;
  if (m.down) {
    r = signed_(std::floor(a));
  } else if (m.floor) {
    r = std::floor(d);
  } else if (m.ceiling) {
    r = std::ceil(d);
  } else if (std::floor(a) + 0.5 != a) {
    r = signed_(a - std::floor(a) < 0.5 ? std::floor(a) : std::ceil(a));
  } else if (m.even) {
    r = signed_(std::fmod(a, 2.0) >= 1.0 ? std::ceil(a) : std::floor(a));
  } else if (m.half_down) {
    r = signed_(std::floor(a));
  } else if (m.half_ceiling) {
    r = std::ceil(d);
  } else {
    r = signed_(std::ceil(a));  // half away from zero
  }
  if (!large) return std::ldexp(r / s, e);
  double result = r * s;
  if (std::fabs(result) == DBL_MAX || (std::isinf(result) && std::isfinite(d))) {
    fire(Err::math_overflow);
  }
  return result;
}

Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor,
            bool ceiling, bool half_ceiling) {
  Type st = scale ? type_of(scale) : TYPE_NO_TYPE;
  if (st == TYPE_MONEY) raise_money_scale();
  if (scale && !is_scale(st)) raise_with_type(Err::script_invalid_type, st);
  bool percent = type_of(value) == TYPE_PERCENT;
  double s = percent ? 0.01 : 1.0;
  if (scale) {
    s = std::fabs(number_of(scale));
    // A number scale of a percent counts in percent units; a percent! scale
    // is already a fraction.
    if (percent && st != TYPE_PERCENT) s /= 100.0;
  }
  // A scale of zero, or one below the value's precision, leaves the value as
  // it is, its type too.
  if (below_precision(float_of(value), s)) return value;
  double r = round_to_scale(float_of(value), s, {even, down, half_down, floor, ceiling, half_ceiling});
  if (st == TYPE_INTEGER && !percent) {
    Cell f;
    make_float(&f, r);
    if (integer::overflow_q(&f)) raise_with_type(Err::script_type_limit, TYPE_INTEGER);
    integer::make_at(value, integer::truncate(r));
    return value;
  }
  Type result = (!scale || st == TYPE_INTEGER) ? type_of(value) : st;
  set_floating(value, result, r);
  return value;
}

double random(double x, bool secure) {
  if (secure) {
    double r1 = random::secure(), r2 = random::secure();
    return x * (r2 + r1 / 2147483647.0) / 2147483648.0;
  }
  return x * double(random::next()) / 2147483647.0;
}

i32 compare(Cell* value, Cell* other, i32 op) {
  Type vt = type_of(value), ot = type_of(other);
  if ((op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_EQUAL_NO_CASE) && vt != ot) {
    return 1;
  }
  double a = float_of(value), b;
  switch (ot) {
    case TYPE_INTEGER: b = double(int_of(other)); break;
    case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: b = float_of(other); break;
    case TYPE_MONEY: {
      // The money module decides, with the operands the other way round.
      auto h = reinterpret_cast<act::Compare>(types::table[TYPE_MONEY][ACT_compare]);
      if (!h) return COMPARE_INCOMPARABLE;
      Cell number = *value;
      i32 r = h(other, &number, op);
      return r == COMPARE_INCOMPARABLE ? r : -r;
    }
    default: return COMPARE_INCOMPARABLE;
  }
  switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: return equal64_q(a, b) ? 0 : 1;
    case COMP_STRICT_EQUAL: return a == b ? 0 : 1;
    case COMP_SAME: return std::bit_cast<u64>(a) == std::bit_cast<u64>(b) ? 0 : 1;
    default:
      if (std::isnan(a) || std::isnan(b)) {
        if (op == COMP_LESSER || op == COMP_LESSER_EQUAL) return 1;
        if (op == COMP_GREATER || op == COMP_GREATER_EQUAL) return -1;
        return 0;
      }
      return (a > b) - (a < b);
  }
}

void init() {
  types::register_datatype(
      {TYPE_FLOAT, TYPE_NO_TYPE, "float!",
       {.make = h_to, .random = h_random, .reflect = nullptr, .to = h_to, .form = h_form,
        .mold = h_mold, .eval_path = nullptr, .set_path = nullptr, .compare = compare,
        .absolute = h_absolute, .add = h_add, .divide = h_divide, .multiply = h_multiply,
        .negate = h_negate, .power = power, .remainder = h_remainder, .round = round,
        .subtract = h_subtract, .even_q = h_even, .odd_q = h_odd}});
}

}  // namespace qel::float_
