#include "datatypes/integer.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "datatypes/date.hpp"
#include "datatypes/float.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/money.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/random.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/fastpath.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "runtime/unicode.hpp"

namespace qel::integer {

namespace {

constexpr i32 LOWEST = INT32_MIN;

// ---- errors -------------------------------------------------------------------

using float_::raise_not_related;
using float_::raise_with_type;

[[noreturn]] void raise_bad_to(const Cell* value) { float_::raise_bad_to(TYPE_INTEGER, value); }

const char* action_name(int op) {
  static const char* const names[] = {"add",       "subtract", "multiply", "divide",
                                      "remainder", "or~",      "and~",     "xor~"};
  return op >= 0 && op < 8 ? names[op] : "add";
}

// ---- conversions ----------------------------------------------------------------

// The decimal integer of a string-like value from its index to its tail.
bool string_value(const Cell* str, i32* out) {
  Cell s = *str;
  const u8* p = string::index_pointer(&s);  // clamps the index of the copy
  u32 n = string::length_from_index(&s);
  u32 unit = unicode::unit_of(mem::buffer_of(series_node(&s)));
  i32 status;
  *out = api::services.text_to_integer(p, n, unit, &status);
  return status == 0;
}

Cell* to_integer(Cell* spec) {
  i32 v = 0;
  switch (type_of(spec)) {
    case TYPE_INTEGER: return spec;
    case TYPE_CHAR: v = int_of(spec); break;
    case TYPE_FLOAT: case TYPE_PERCENT:
      if (overflow_q(spec)) raise_with_type(Err::script_type_limit, TYPE_INTEGER);
      v = truncate(float_of(spec));
      break;
    case TYPE_TIME: {
      // Whole seconds, halves rounded up: 1.5 s gives 2, -1.7 s gives -1.
      double d = float_of(spec) + 0.5;
      if (!(d > -2147483649.0 && d < 2147483648.0)) {
        raise_with_type(Err::script_type_limit, TYPE_INTEGER);
      }
      v = truncate(d);
      break;
    }
    case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL:
    case TYPE_REF:
      if (!string_value(spec, &v)) raise_bad_to(spec);
      break;
    case TYPE_ISSUE: v = from_issue(spec); break;
    case TYPE_BINARY: v = from_binary(spec); break;
    case TYPE_DATE: v = date::to_epoch(spec); break;
    case TYPE_MONEY: v = money::to_integer(spec); break;
    default: raise_bad_to(spec);
  }
  return push(v);
}

// ---- handlers ---------------------------------------------------------------------

Cell* h_to(Cell*, Cell* spec, Type) { return to_integer(spec); }

Cell* h_make(Cell*, Cell* spec, Type) {
  if (type_of(spec) == TYPE_LOGIC) return push(logic::flag(spec) ? 1 : 0);
  return to_integer(spec);
}

Cell* h_random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(int_of(value));
    return make_unset(stack::push());
  }
  set_int_payload(value, random::range(secure, int_of(value)));
  return value;
}

i32 h_form(Cell* value, Cell* buffer, Cell*, i32 limit) {
  const char* text = form_signed(int_of(value));
  std::size_t n = std::strlen(text);
  string::append_ascii(buffer, text, n);
  return limit - i32(n);
}

i32 h_mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 limit, i32) {
  return h_form(value, buffer, arg, limit);
}

void h_absolute() {
  Cell* v = stack::base;
  set_int_payload(v, abs(int_of(v)));
}

Cell* h_negate(Cell* v) {
  if (int_of(v) == LOWEST) fire(Err::math_overflow);
  set_int_payload(v, -int_of(v));
  return v;
}

Cell* h_complement(Cell* v) {
  set_int_payload(v, ~int_of(v));
  return v;
}

bool h_even(Cell* v) { return (int_of(v) & 1) == 0; }
bool h_odd(Cell* v) { return (int_of(v) & 1) != 0; }

void h_add() { do_math(OP_ADD); }
void h_subtract() { do_math(OP_SUB); }
void h_multiply() { do_math(OP_MUL); }
void h_divide() { do_math(OP_DIV); }
void h_remainder() { do_math(OP_REM); }
void h_and() { do_math(OP_AND); }
void h_or() { do_math(OP_OR); }
void h_xor() { do_math(OP_XOR); }

// base^exponent by repeated squaring; false when an intermediate value that
// the result needs leaves the 32-bit range.
bool int_power(i32 base, i32 exponent, i32* out) {
  i32 result = 1;
  while (exponent != 0) {
    if (exponent & 1) {
      if (__builtin_mul_overflow(result, base, &result)) return false;
    }
    exponent >>= 1;
    // The last squaring is not needed once the exponent is spent.
    if (exponent != 0 && __builtin_mul_overflow(base, base, &base)) return false;
  }
  *out = result;
  return true;
}

void h_power() {
  Cell* base = stack::base;
  Cell* exponent = base + 1;
  if (type_of(exponent) == TYPE_INTEGER && int_of(exponent) >= 0) {
    i32 r;
    if (int_power(int_of(base), int_of(exponent), &r)) {
      set_int_payload(base, r);
      return;
    }
  }
  // A negative or float exponent, or an integer result out of range (the
  // float! worker refuses an exponent of another type).
  float_::make_at(base, double(int_of(base)));
  float_::power();
}

// Rounding to a multiple of the scale. Computed on 64 bits, so the lowest
// integer and a scale of -2147483648 are rounded like any other value; only a
// result that does not fit raises math overflow.
Cell* h_round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor,
              bool ceiling, bool half_ceiling) {
  // Any other scale (a money! scale is refused there) rounds as a float!.
  if (scale && type_of(scale) != TYPE_INTEGER) {
    float_::make_at(value, double(int_of(value)));
    return float_::round(value, scale, even, down, half_down, floor, ceiling, half_ceiling);
  }
  i64 v = int_of(value);
  i64 s = scale ? int_of(scale) : 1;
  if (s < 0) s = -s;
  if (s == 0) return value;
  bool negative = v < 0;
  i64 m = negative ? -v : v;
  i64 q = m / s;
  i64 r = m % s;
  if (r == 0) return value;
  i64 lower = m - r;       // the multiple toward zero
  i64 upper = m + (s - r);  // the multiple away from zero
  auto signed_ = [negative](i64 x) { return negative ? -x : x; };
  i64 result;
  if (down) {
    result = signed_(lower);
  } else if (floor) {
    result = negative ? -upper : lower;
  } else if (ceiling) {
    result = negative ? -lower : upper;
  } else if (r < s - r) {
    result = signed_(lower);
  } else if (r > s - r) {
    result = signed_(upper);
  } else if (even) {
    result = (q & 1) ? signed_(upper) : signed_(lower);
  } else if (half_down) {
    result = signed_(lower);
  } else if (half_ceiling) {
    result = negative ? -lower : upper;
  } else {
    result = signed_(upper);  // half away from zero
  }
  if (result < INT32_MIN || result > INT32_MAX) fire(Err::math_overflow);
  set_int_payload(value, i32(result));
  return value;
}

// Swaps the two cells at the frame base.
void swap_operands() {
  Cell t = stack::base[0];
  stack::base[0] = stack::base[1];
  stack::base[1] = t;
}

}  // namespace

// ---- cells ------------------------------------------------------------------------

i32 get_last() { return int_of(stack::base); }
i32 get_last_any() { return type_of(stack::base) == TYPE_INTEGER ? int_of(stack::base) : 0; }

Cell* box(i32 value) { return make_integer(stack::base, value); }

Cell* make_at(Cell* cell, i32 value) {
  set_type(cell, TYPE_INTEGER);
  clear_word1(cell);
  set_int_payload(cell, value);
  clear_word3(cell);
  return cell;
}

Cell* make_in(u32 block, i32 value) { return make_integer(mem::alloc_tail_cell(block), value); }

Cell* push(i32 value) { return make_integer(stack::push(), value); }

i32 abs(i32 v) {
  if (v == LOWEST) fire(Err::math_overflow);
  return v < 0 ? -v : v;
}

i32 truncate(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 2147483647.0) return INT32_MAX;
  if (d <= -2147483648.0) return INT32_MIN;
  return i32(d);  // strictly inside the range: the conversion truncates
}

bool overflow_q(const Cell* float_cell) {
  double d = float_of(float_cell);
  return std::isnan(d) || d > 2147483647.0 || d < -2147483648.0;
}

const char* form_signed(i32 v) {
  static char buffer[12];
  if (v == 0) return "0";
  if (v == LOWEST) return "-2147483648";
  char* p = buffer + sizeof buffer - 1;
  *p = 0;
  u32 m = v < 0 ? u32(-v) : u32(v);
  while (m) {
    *--p = char('0' + m % 10);
    m /= 10;
  }
  if (v < 0) *--p = '-';
  return p;
}

// ---- arithmetic ---------------------------------------------------------------------

i32 do_math_op(i32 left, i32 right, int op, Cell* result) {
  i32 r = 0;
  switch (op) {
    case OP_ADD: case OP_SUB: case OP_MUL:
      if (!fast::int_op(op, left, right, &r)) {
        if (!result) fire(Err::math_overflow);
        double a = left, b = right;
        float_::make_at(result, op == OP_ADD ? a + b : op == OP_SUB ? a - b : a * b);
        return 0;
      }
      break;
    case OP_DIV:
      if (right == 0) fire(Err::math_zero_divide);
      if (left == LOWEST && right == -1) fire(Err::math_overflow);
      if (result && left % right != 0) {
        float_::make_at(result, double(left) / double(right));
        return 0;
      }
      r = left / right;
      break;
    case OP_REM:
      if (right == 0) fire(Err::math_zero_divide);
      // The lowest integer by -1 leaves no remainder (the machine would trap).
      r = right == -1 ? 0 : left % right;
      break;
    case OP_OR: case OP_AND: case OP_XOR:
      fast::int_op(op, left, right, &r);
      break;
    default:
      runtime::sys_quit(101);  // an operation code no caller passes
  }
  if (result) set_int_payload(result, r);
  return r;
}

void do_math(int op) {
  Cell* left = stack::base;
  Cell* right = left + 1;
  Type rt = type_of(right);
  switch (rt) {
    case TYPE_INTEGER: case TYPE_CHAR:
      do_math_op(int_of(left), int_of(right), op, left);
      return;
    case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME:
      float_::do_math(op);
      return;
    case TYPE_PAIR: case TYPE_POINT2D: case TYPE_POINT3D: {
      if (op == OP_DIV) raise_not_related("divide", TYPE_INTEGER);
      swap_operands();
      if (op == OP_SUB) {
        // n - p is (-p) + n.
        auto negate = reinterpret_cast<act::Unary>(types::table[rt][ACT_negate]);
        if (!negate) raise_with_type(Err::script_invalid_type, rt);
        negate(stack::base);
        op = OP_ADD;
      }
      float_::delegate_math(rt, op);
      return;
    }
    case TYPE_TUPLE:
      if (op == OP_SUB) raise_not_related("subtract", TYPE_INTEGER);
      if (op == OP_DIV) raise_not_related("divide", TYPE_INTEGER);
      swap_operands();
      float_::delegate_math(rt, op);
      return;
    case TYPE_DATE:
      if (op != OP_ADD) raise_not_related(action_name(op), TYPE_INTEGER);
      swap_operands();
      float_::delegate_math(rt, op);
      return;
    case TYPE_MONEY: case TYPE_VECTOR:
      float_::delegate_math(rt, op);
      return;
    default:
      raise_with_type(Err::script_invalid_type, rt);
  }
}

// ---- readers -------------------------------------------------------------------------

i32 from_binary(const Cell* binary) {
  mem::Buffer* b = mem::buffer_of(series_node(binary));
  i64 index = series_index(binary);
  i64 available = i64(b->used()) - (index < 0 ? 0 : index);
  u32 n = available <= 0 ? 0 : available > 4 ? 4 : u32(available);
  const u8* p = b->head_ptr() + (index < 0 ? 0 : index);
  u32 v = 0;
  for (u32 i = 0; i < n; ++i) v = (v << 8) | p[i];
  return i32(v);
}

i32 from_issue(const Cell* issue) {
  std::string_view name = symbol::name(word::symbol_of(issue));
  const u8* p = reinterpret_cast<const u8*>(name.data());
  const u8* end = p + name.size();
  u32 value = 0;
  for (u32 count = 0; p < end; ++count) {
    i32 cp;
    p = unicode::fast_decode_utf8_char(p, end, cp);
    u32 c = u32(cp) & 0x7F;
    u32 digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                       : 16;
    if (count >= 8 || cp < 0 || digit > 15) fire(Err::script_invalid_data, issue);
    value = value * 16 + digit;
  }
  return i32(value);
}

// ---- compare ----------------------------------------------------------------------------

i32 compare(Cell* value, Cell* other, i32 op) {
  Type ot = type_of(other);
  if ((op == COMP_STRICT_EQUAL || op == COMP_EQUAL_NO_CASE) && ot != TYPE_INTEGER) return 1;
  switch (ot) {
    case TYPE_INTEGER: case TYPE_CHAR: {
      i32 a = int_of(value), b = int_of(other);
      return (a > b) - (a < b);
    }
    case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: case TYPE_MONEY: {
      // As a float! of the same value, on a copy: the cell itself stays.
      Cell f;
      make_float(&f, double(int_of(value)));
      return float_::compare(&f, other, op);
    }
    default: return COMPARE_INCOMPARABLE;
  }
}

void init() {
  types::register_datatype(
      {TYPE_INTEGER, TYPE_NO_TYPE, "integer!",
       {.make = h_make, .random = h_random, .reflect = nullptr, .to = h_to, .form = h_form,
        .mold = h_mold, .eval_path = nullptr, .set_path = nullptr, .compare = compare,
        .absolute = h_absolute, .add = h_add, .divide = h_divide, .multiply = h_multiply,
        .negate = h_negate, .power = h_power, .remainder = h_remainder, .round = h_round,
        .subtract = h_subtract, .even_q = h_even, .odd_q = h_odd, .and_t = h_and,
        .complement = h_complement, .or_t = h_or, .xor_t = h_xor}});
}

}  // namespace qel::integer
