#include "datatypes/time.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/ownership.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/float_text.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/words.hpp"

namespace qel::time {

namespace {

constexpr double HOUR = 3600.0;
constexpr double MINUTE = 60.0;
constexpr double MICROSECOND = 1e-06;

// The number raisers are float!'s (time! is a float! underneath).
using float_::raise_with_type;

[[noreturn]] void raise_bad_to(const Cell* value) { float_::raise_bad_to(TYPE_TIME, value); }
[[noreturn]] void raise_not_related(const char* action) {
  float_::raise_not_related(action, TYPE_TIME);
}

double number_of(const Cell* c) {
  Type t = type_of(c);
  return (t == TYPE_INTEGER || t == TYPE_CHAR) ? double(int_of(c)) : float_of(c);
}

// ---- conversions ---------------------------------------------------------------

// [hours minutes seconds], each optional; only the hours may be negative,
// which makes the whole time negative.
double from_block(const Cell* block) {
  mem::Buffer* b = mem::buffer_of(series_node(block));
  i64 total = i64(b->used() / sizeof(Cell));
  i64 index = series_index(block) < 0 ? 0 : series_index(block);
  i64 n = total > index ? total - index : 0;
  if (n > 3) raise_bad_to(block);
  const Cell* items = b->cells() + index;
  double parts[3] = {0.0, 0.0, 0.0};
  bool negative = false;
  for (i64 i = 0; i < n; ++i) {
    Type t = type_of(items + i);
    if (t != TYPE_INTEGER && !(t == TYPE_FLOAT && i == 2)) raise_bad_to(block);
    double v = number_of(items + i);
    if (!(v >= 0.0)) {
      if (i != 0) raise_bad_to(block);
      negative = true;
      v = -v;
    }
    parts[i] = v;
  }
  double x = parts[0] * HOUR + parts[1] * MINUTE + parts[2];
  return negative ? -x : x;
}

// A duration made by `to` is one its text form reads back: its hours fit an
// integer (and an infinite or undefined number is no duration at all).
double in_text_range(double x, Cell* spec) {
  if (!(std::fabs(x) < 2147483648.0 * HOUR)) raise_bad_to(spec);
  return x;
}

Cell* h_to(Cell*, Cell* spec, Type) {
  switch (type_of(spec)) {
    case TYPE_TIME: return spec;
    case TYPE_INTEGER: case TYPE_FLOAT: case TYPE_PERCENT:
      return push(in_text_range(number_of(spec), spec));
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: return push(in_text_range(from_block(spec), spec));
    case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL:
    case TYPE_REF: {
      Cell* loaded = make_none(stack::push());
      if (!api::services.load_first(spec, loaded) || type_of(loaded) != TYPE_TIME) {
        raise_bad_to(spec);
      }
      return loaded;
    }
    default: raise_bad_to(spec);
  }
}

// ---- text ---------------------------------------------------------------------------

i32 h_form(Cell* value, Cell* buffer, Cell*, i32 limit) {
  return form(float_of(value), buffer, limit);
}

i32 h_mold(Cell* value, Cell* buffer, bool, bool, bool, Cell*, i32 limit, i32) {
  return form(float_of(value), buffer, limit, true);
}

// ---- fields -----------------------------------------------------------------------------

// Writes the field into the time cell; the value's type must suit the field.
void set_field(Cell* time, i32 field, const Cell* value) {
  Type vt = type_of(value);
  bool integer_only = field != FIELD_SECOND;
  if (vt != TYPE_INTEGER && (integer_only || vt != TYPE_FLOAT)) fire(Err::script_invalid_arg, value);
  double v = number_of(value);
  double x = float_of(time);
  bool negative = x < 0;
  double a = std::fabs(x);  // the magnitude; the fields below are its own
  switch (field) {
    case FIELD_HOUR:
      // A non-zero hour carries the sign of the time, as it reads back.
      if (v != 0.0) negative = v < 0;
      a = std::fabs(v) * HOUR + std::fmod(a, HOUR);
      break;
    case FIELD_MINUTE:
      a += (v - std::floor(std::fmod(a, HOUR) / MINUTE)) * MINUTE;
      break;
    default:
      // The second reads with the time's sign: -0:30:05 has second -5.
      a += (negative ? -v : v) - std::fmod(a, MINUTE);
      break;
  }
  set_float_payload(time, negative ? -a : a);
}

i32 element_field(const Cell* element) {
  if (type_of(element) == TYPE_INTEGER) return int_of(element);
  if (type_of(element) == TYPE_WORD) return get_field(element, &values::none_cell);
  return -1;
}

Cell* h_eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  i32 field = element_field(element);
  if (field < FIELD_HOUR || field > FIELD_SECOND) {
    Cell path;
    if (step.path) copy_cell(step.path, &path); else make_none(&path);
    fire(Err::script_invalid_path, element, &path);
  }
  if (!value) return field_value(parent, field);
  set_field(parent, field, value);
  // A time inside an owned series tells the series' owner which field of it
  // changed (a time in an object field is reported by the object itself).
  // The series holds the new time when its owner hears of it.
  if (step.set_flag && step.holder && step.holder_selector &&
      is_any_block_type(type_of(step.holder))) {
    Cell holder = *step.holder, selector = *step.holder_selector, time = *parent, v = *value;
    {
      ownership::Quiet quiet(true);
      PathStep store{step.path, step.index - 1, false, step.case_, false};
      actions::eval_path(&holder, &selector, &time, store);
    }
    ownership::check(&holder, intern_word("set-path"), &v, field, 1);
  }
  return value;
}

Cell* h_pick(Cell* time, i32 index, Cell* index_cell) {
  i32 field = type_of(index_cell) == TYPE_WORD ? get_field(index_cell, time) : index;
  if (field < FIELD_HOUR || field > FIELD_SECOND) fire(Err::script_out_of_range, index_cell);
  return field_value(time, field);
}

// ---- arithmetic ---------------------------------------------------------------------------

void h_add() {
  if (type_of(stack::base + 1) == TYPE_DATE) {
    Cell t = stack::base[0];
    stack::base[0] = stack::base[1];
    stack::base[1] = t;
    float_::delegate_math(TYPE_DATE, OP_ADD);
    return;
  }
  float_::do_math(OP_ADD);
}

void h_subtract() {
  if (type_of(stack::base + 1) == TYPE_DATE) raise_not_related("subtract");
  float_::do_math(OP_SUB);
}

void h_multiply() {
  if (type_of(stack::base + 1) == TYPE_TIME) raise_not_related("multiply");
  float_::do_math(OP_MUL);
}

void h_divide() {
  bool by_time = type_of(stack::base + 1) == TYPE_TIME;
  float_::do_math(OP_DIV);
  if (by_time) set_type(stack::base, TYPE_FLOAT);  // 1:00 / 0:30 is 2.0
}

// Parity of the whole seconds within the minute; the microsecond nudge keeps
// 0:00:02.9999999 even. Infinite and NaN times are neither.
bool seconds_parity(const Cell* v, bool odd) {
  double x = float_of(v);
  if (!std::isfinite(x)) return false;
  x += x >= 0 ? MICROSECOND : -MICROSECOND;
  return ((integer::truncate(std::fmod(x, MINUTE)) & 1) != 0) == odd;
}
bool h_even(Cell* v) { return seconds_parity(v, false); }
bool h_odd(Cell* v) { return seconds_parity(v, true); }

Cell* h_round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor,
              bool ceiling, bool half_ceiling) {
  Type st = scale ? type_of(scale) : TYPE_NO_TYPE;
  if (st == TYPE_MONEY) {
    Cell call, type;
    stack::get_call(&call);
    make_datatype(&type, TYPE_MONEY);
    fire(Err::script_not_related, &call, &type);
  }
  if (scale && st != TYPE_INTEGER && st != TYPE_FLOAT && st != TYPE_PERCENT && st != TYPE_TIME) {
    raise_with_type(Err::script_invalid_type, st);
  }
  double s = scale ? std::fabs(number_of(scale)) : 1.0;
  double r = float_::round_to_scale(float_of(value), s,
                                    {even, down, half_down, floor, ceiling, half_ceiling});
  set_float_payload(value, r);
  return value;
}

}  // namespace

// ---- cells --------------------------------------------------------------------------------

Cell* make_at(double seconds, Cell* cell) {
  set_type(cell, TYPE_TIME);
  set_float_payload(cell, seconds);
  clear_word1(cell);
  return cell;
}

Cell* make_in(u32 block, double seconds) {
  Cell* c = mem::alloc_tail_cell(block);
  init_header(c, TYPE_TIME);
  return make_at(seconds, c);
}

Cell* push(double seconds) { return make_at(seconds, init_header(stack::push(), TYPE_TIME)); }

double get_hours(double seconds) { return std::trunc(seconds / HOUR); }

i32 get_minutes(double seconds) {
  return integer::truncate(std::floor(std::fmod(std::fabs(seconds), HOUR) / MINUTE));
}

i32 get_field(const Cell* word, const Cell* value) {
  if (is_any_word_type(type_of(word))) {
    u32 sym = symbol::resolve(word::symbol_of(word));
    if (sym == symbol::resolve(words::symbol(words::W_HOUR))) return FIELD_HOUR;
    if (sym == symbol::resolve(words::symbol(words::W_MINUTE))) return FIELD_MINUTE;
    if (sym == symbol::resolve(words::symbol(words::W_SECOND))) return FIELD_SECOND;
  }
  if (type_of(value) == TYPE_TIME) fire(Err::script_cannot_use, word, value);
  return -1;
}

Cell* field_value(const Cell* time, i32 field) {
  double x = float_of(time);
  switch (field) {
    case FIELD_HOUR: {
      double h = get_hours(x);
      if (!(h > -2147483649.0 && h < 2147483648.0)) {
        raise_with_type(Err::script_type_limit, TYPE_INTEGER);
      }
      return integer::push(integer::truncate(h));
    }
    case FIELD_MINUTE: return integer::push(get_minutes(x));
    default: return float_::push(std::fmod(x, MINUTE));
  }
}

namespace {

// The seconds of a (positive, finite) time as the digits it holds: those of
// the shortest text of the whole value (10:20:11.381 holds 37211.381, whose
// seconds are 11.381, while fmod(37211.381, 60) is 11.381000000001222), when
// the value reads back from them as the lexer reads it; else empty.
std::string seconds_of_shortest(double a) {
  float_text::Digits d = float_text::float_to_digits(a, 0, false);
  if (d.point == float_text::POINT_SPECIAL || d.point == float_text::POINT_ZERO) return {};
  std::string digits(d.text, std::size_t(d.count));
  std::string fraction;
  if (d.point < d.count) {
    fraction = d.point < 0 ? std::string(std::size_t(-d.point), '0') + digits
                           : digits.substr(std::size_t(d.point));
  }
  double whole = std::floor(a);
  i32 sec = i32(std::fmod(whole, MINUTE));
  std::string text{char('0' + sec / 10), char('0' + sec % 10)};
  if (!fraction.empty()) text += "." + fraction;
  double minutes = std::floor(std::fmod(a, HOUR) / MINUTE);
  double back = std::floor(a / HOUR) * HOUR + minutes * MINUTE + float_text::text_to_float(text);
  return back == a ? text : std::string();
}

}  // namespace

i32 form(double seconds, Cell* buffer, i32 limit, bool exact) {
  std::string text;
  if (!std::isfinite(seconds)) {
    text = float_::form(seconds, float_text::FORM_TIME).view();
  } else {
    if (seconds < 0) text.push_back('-');
    double a = std::fabs(seconds);
    // The seconds first: when their text rounds up to 60 the minute carries.
    std::string secs = "00";
    double s = std::fmod(a, MINUTE);
    std::string whole_digits = exact && s > 0 ? seconds_of_shortest(a) : std::string();
    if (!whole_digits.empty()) {
      secs = whole_digits;
    } else if (exact && s > 0) {
      // The shortest digits that read back to s, written out without an
      // exponent: hours * 3600 + minutes * 60 + s then gives the value back.
      float_text::Digits d = float_text::float_to_digits(s, 0, false);
      std::string digits(d.text, std::size_t(d.count));
      if (d.point <= 0) {
        secs = "0." + std::string(std::size_t(-d.point), '0') + digits;
      } else if (d.point >= d.count) {
        secs = digits + std::string(std::size_t(d.point - d.count), '0');
      } else {
        secs = digits.substr(0, std::size_t(d.point)) + "." + digits.substr(std::size_t(d.point));
      }
      if (secs.size() == 1 || secs[1] == '.') secs.insert(0, 1, '0');
    } else if (s >= MICROSECOND) {
      float_text::Text t = float_::form(s, float_text::FORM_TIME);
      if (t.view().substr(0, 2) == "60" && (t.length == 2 || t.chars[2] == '.')) {
        a = a - s + MINUTE;
      } else {
        secs = t.view();
        if (secs.size() == 1 || secs[1] == '.') secs.insert(0, 1, '0');
      }
    }
    double hours = std::floor(a / HOUR);
    if (hours < 2147483648.0) {
      text += integer::form_signed(i32(hours));
    } else {
      // Beyond 32 bits: the whole number's digits, written out in full.
      float_text::Digits d = float_text::float_to_digits(hours, 0, false);
      text.append(d.text, std::size_t(d.count));
      text.append(std::size_t(d.point > d.count ? d.point - d.count : 0), '0');
    }
    i32 minutes = integer::truncate(std::floor(std::fmod(a, HOUR) / MINUTE));
    text.push_back(':');
    text.push_back(char('0' + minutes / 10));
    text.push_back(char('0' + minutes % 10));
    text.push_back(':');
    text += secs;
  }
  string::append_ascii(buffer, text.data(), text.size());
  return limit - i32(text.size());
}

void init() {
  types::register_datatype(
      {TYPE_TIME, TYPE_FLOAT, "time!",
       {.make = h_to, .reflect = nullptr, .to = h_to, .form = h_form, .mold = h_mold,
        .eval_path = h_eval_path, .set_path = nullptr, .add = h_add, .divide = h_divide,
        .multiply = h_multiply, .power = nullptr, .round = h_round, .subtract = h_subtract,
        .even_q = h_even, .odd_q = h_odd, .pick = h_pick}});
}

}  // namespace qel::time
