// Math natives: sign and zero tests, max and min, shift, to-hex,
// trigonometry, logarithms, exp and square-root.
//
// A native leaves its result in the base cell, where its first argument was.
// An integer! argument of a float operation is converted first; a percent! is
// used as its float value (1.0 is 100%).
#include <cmath>
#include <limits>
#include <cstring>

#include "datatypes/integer.hpp"
#include "datatypes/money.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/issue.hpp"
#include "datatypes/string.hpp"
#include "eval/natives.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/float_text.hpp"

namespace qel::natives {

using interp::Status;

namespace {

constexpr double PI = 3.141592653589793;
constexpr double HALF_PI = PI / 2.0;
constexpr double EPSILON = 2.220446049250313e-16;  // the double epsilon
constexpr double LN_2 = 0.6931471805599453;
constexpr double E = 2.718281828459045;
constexpr double DEGREES_PER_RADIAN = 180.0 / PI;

// Argument `arg` (an integer!, float! or percent!) as a double.
double number_arg(u32 arg) {
  const Cell* c = api::arg(arg);
  switch (type_of(c)) {
    case TYPE_INTEGER: return double(int_of(c));
    case TYPE_FLOAT: case TYPE_PERCENT: return float_of(c);
    default: refuse_arg(c, arg);
  }
}

Status answer_float(double d) {
  make_float(api::result(), d);
  return api::done();
}

// The small value types' cells are read through their modules' accessors.
using point::coord;
using point::set_coord;

inline bool is_number(Type t) { return t == TYPE_INTEGER || t == TYPE_FLOAT; }
inline bool is_coordinate(Type t) {
  return t == TYPE_PAIR || t == TYPE_POINT2D || t == TYPE_POINT3D;
}
inline double number_of(const Cell* c) {
  return type_of(c) == TYPE_INTEGER ? double(int_of(c)) : float_of(c);
}

// The larger (max) or smaller of two doubles; a NaN on either side wins.
double pick_double(double x, double y, bool max) {
  if (std::isnan(x)) return x;
  if (std::isnan(y)) return y;
  return max ? (y > x ? y : x) : (y < x ? y : x);
}

// -1, 0 or 1 for the value at the base (the sign tests' common worker).
i32 sign_of(const Cell* c) {
  switch (type_of(c)) {
    case TYPE_INTEGER: return integer::sign(int_of(c));
    case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: {
      double d = float_of(c);
      return d > 0.0 ? 1 : d < 0.0 ? -1 : 0;
    }
    case TYPE_MONEY: return money::sign(c);
    default: refuse_arg(c, 0);
  }
}

// max and min of a pair!, point2D! or point3D! with a value of its own type or
// a number applied to every component; the result replaces the base cell.
void max_min_coordinates(bool max) {
  Cell* a = api::result();
  Cell* b = api::arg(1);
  Cell p = is_coordinate(type_of(a)) ? *a : *b;
  const Cell* other = is_coordinate(type_of(a)) ? b : a;
  bool same = type_of(other) == type_of(&p);
  if (type_of(&p) == TYPE_PAIR) {
    // A float on the other side is used as an integer (truncated toward zero).
    i32 k = same ? 0 : type_of(other) == TYPE_INTEGER ? int_of(other)
                                                      : integer::truncate(float_of(other));
    i32 ox = same ? pair::x(other) : k;
    i32 oy = same ? pair::y(other) : k;
    i32 x = pair::x(&p), y = pair::y(&p);
    pair::set_x(&p, max ? std::max(x, ox) : std::min(x, ox));
    pair::set_y(&p, max ? std::max(y, oy) : std::min(y, oy));
  } else {
    u32 n = type_of(&p) == TYPE_POINT3D ? 3 : 2;
    for (u32 i = 0; i < n; ++i) {
      double o = same ? double(coord(other, i)) : number_of(other);
      set_coord(&p, i, float(pick_double(double(coord(&p, i)), o, max)));
    }
  }
  copy_cell(&p, api::result());
}

// max and min of two tuples, byte by byte (the missing bytes of the shorter
// one count as 0).
void max_min_tuples(bool max) {
  Cell a = *api::arg(0);
  const Cell* b = api::arg(1);
  u32 n = std::max(tuple::count(&a), tuple::count(b));
  for (u32 i = 0; i < n; ++i) {
    u8 x = tuple::byte(&a, i), y = tuple::byte(b, i);
    tuple::set_byte(&a, i, max ? std::max(x, y) : std::min(x, y));
  }
  tuple::set_count(&a, n);
  copy_cell(&a, api::result());
}

Status max_min(bool max) {
  Cell* a = api::result();
  Cell* b = api::arg(1);
  Type ta = type_of(a), tb = type_of(b);
  if (is_number(ta) && is_number(tb)) {
    bool second;
    if (ta == TYPE_INTEGER && tb == TYPE_INTEGER) {
      second = max ? int_of(b) > int_of(a) : int_of(b) < int_of(a);
    } else {
      double x = number_of(a), y = number_of(b);
      second = !std::isnan(x) && (std::isnan(y) || (max ? y > x : y < x));
    }
    if (second) copy_cell(b, a);
  } else if ((is_coordinate(ta) && (tb == ta || is_number(tb))) ||
             (is_coordinate(tb) && is_number(ta))) {
    max_min_coordinates(max);
  } else if ((ta == TYPE_PAIR && tb == TYPE_POINT2D) || (ta == TYPE_POINT2D && tb == TYPE_PAIR)) {
    // As pairs meet points in arithmetic and comparison: the pair becomes a
    // point2D! and the answer is one.
    Cell* p = ta == TYPE_PAIR ? a : b;
    point::make_2d_at(p, float(pair::x(p)), float(pair::y(p)));
    max_min_coordinates(max);
  } else if (ta == TYPE_TUPLE && tb == TYPE_TUPLE) {
    max_min_tuples(max);
  } else if (!actions::compare(a, b, max ? COMP_GREATER : COMP_LESSER)) {
    copy_cell(b, a);
  }
  return api::done();
}

// The angle argument in radians: degrees go through the angle reduction of
// the given kind (2 sine, 1 cosine, 0 tangent).
double angle_arg(const i32* refs, int kind) {
  double d = number_arg(0);
  return ref(refs, 0) ? d : float_text::reduce_angle(d, kind);
}

// sine and cosine results this close to zero are zero.
inline double snap_zero(double r) { return std::fabs(r) < EPSILON ? 0.0 : r; }

// An arc function's result, in degrees unless /radians is given.
Status arc_result(double r, const i32* refs) {
  return answer_float(ref(refs, 0) ? r : r * 180.0 / PI);
}

}  // namespace

// ---- sign and zero tests ---------------------------------------------------------

Status negative_q(const i32*) { return answer_logic(sign_of(api::result()) < 0); }
Status positive_q(const i32*) { return answer_logic(sign_of(api::result()) > 0); }

Status sign_q(const i32*) {
  make_integer(api::result(), sign_of(api::result()));
  return api::done();
}

Status zero_q(const i32*) {
  const Cell* c = api::result();
  bool zero = false;
  switch (type_of(c)) {
    case TYPE_INTEGER: case TYPE_CHAR: zero = int_of(c) == 0; break;
    case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: zero = float_of(c) == 0.0; break;
    case TYPE_MONEY: zero = money::zero_q(c); break;
    case TYPE_PAIR: zero = pair::x(c) == 0 && pair::y(c) == 0; break;
    case TYPE_POINT2D: zero = coord(c, 0) == 0.0f && coord(c, 1) == 0.0f; break;
    case TYPE_POINT3D:
      zero = coord(c, 0) == 0.0f && coord(c, 1) == 0.0f && coord(c, 2) == 0.0f;
      break;
    case TYPE_TUPLE: zero = tuple::all_zero_q(c); break;
    default: break;
  }
  return answer_logic(zero);
}

// ---- max, min, shift, to-hex -------------------------------------------------------

Status max(const i32*) { return max_min(true); }
Status min(const i32*) { return max_min(false); }

Status shift(const i32* refs) {
  i32 data = int_of(api::result());
  i32 bits = int_of(api::arg(1));
  if (bits < 0) bits = 0;
  i32 r;
  if (ref(refs, 0)) {
    r = bits > 31 ? 0 : i32(u32(data) << bits);
  } else if (ref(refs, 1)) {
    r = bits > 31 ? 0 : i32(u32(data) >> bits);
  } else {
    r = bits > 31 ? (data < 0 ? -1 : 0) : data >> bits;  // arithmetic
  }
  make_integer(api::result(), r);
  return api::done();
}

Status to_hex(const i32* refs) {
  i32 value = int_of(api::result());
  i32 keep = 8;
  if (Cell* length = ref_arg(refs, 0)) {
    if (int_of(length) < 1) fire(Err::script_invalid_arg, length);
    if (int_of(length) < 8) keep = int_of(length);
  }
  const char* digits = string::to_hex(value, false);
  issue::make_at(api::result(), digits + (8 - keep));
  return api::done();
}

// ---- trigonometry ----------------------------------------------------------------------

Status sine(const i32* refs) { return answer_float(snap_zero(std::sin(angle_arg(refs, 2)))); }
Status cosine(const i32* refs) { return answer_float(snap_zero(std::cos(angle_arg(refs, 1)))); }

Status tangent(const i32* refs) {
  double x = angle_arg(refs, 0);
  // At a right angle the tangent is the infinity of its side.
  if (x == HALF_PI) return answer_float(std::numeric_limits<double>::infinity());
  if (x == -HALF_PI) return answer_float(-std::numeric_limits<double>::infinity());
  return answer_float(std::tan(x));
}

Status arcsine(const i32* refs) { return arc_result(std::asin(number_arg(0)), refs); }
Status arccosine(const i32* refs) { return arc_result(std::acos(number_arg(0)), refs); }
Status arctangent(const i32* refs) { return arc_result(std::atan(number_arg(0)), refs); }

Status arctangent2(const i32* refs) {
  double r = std::atan2(number_arg(0), number_arg(1));
  return answer_float(ref(refs, 0) ? r : r * DEGREES_PER_RADIAN);
}

// ---- NaN?, logarithms, exp, square-root --------------------------------------------------

Status nan_q(const i32*) {
  Type t = type_of(api::result());
  return answer_logic((t == TYPE_FLOAT || t == TYPE_PERCENT) && std::isnan(float_of(api::result())));
}

Status log_2(const i32*) { return answer_float(std::log(number_arg(0)) / LN_2); }
Status log_10(const i32*) { return answer_float(std::log10(number_arg(0))); }
Status log_e(const i32*) { return answer_float(std::log(number_arg(0))); }
Status exp(const i32*) { return answer_float(std::pow(E, number_arg(0))); }
Status square_root(const i32*) { return answer_float(std::sqrt(number_arg(0))); }

}  // namespace qel::natives
