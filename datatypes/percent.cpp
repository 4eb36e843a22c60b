#include "datatypes/percent.hpp"

#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>

#include "datatypes/float.hpp"
#include "datatypes/string.hpp"
#include "runtime/actions.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

namespace qel::percent {

namespace {

// A float text with an exponent ("6.5e58", "1.0e-10") written out with its
// digits in place, since a percent literal has no exponent.
std::string without_exponent(std::string_view text) {
  std::size_t e = text.find('e');
  if (e == std::string_view::npos) return std::string(text);
  std::string_view mantissa = text.substr(0, e);
  int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  std::string sign, digits;
  int point = -1;  // digits before the point
  for (char c : mantissa) {
    if (c == '-') sign = "-";
    else if (c == '.') point = int(digits.size());
    else digits.push_back(c);
  }
  if (point < 0) point = int(digits.size());
  point += exponent;
  while (digits.size() > 1 && digits.back() == '0' && int(digits.size()) > point) digits.pop_back();
  std::string out = sign;
  if (point <= 0) {
    out += "0." + std::string(std::size_t(-point), '0') + digits;
  } else if (point >= int(digits.size())) {
    out += digits + std::string(std::size_t(point - int(digits.size())), '0');
  } else {
    out += digits.substr(0, std::size_t(point)) + "." + digits.substr(std::size_t(point));
  }
  return out;
}

// The value times 100 in the float writer's percent mode, "%" included.
i32 h_form(Cell* value, Cell* buffer, Cell*, i32 limit) {
  float_text::Text t = float_::form(float_of(value) * 100.0, float_text::FORM_PERCENT);
  std::string_view v = t.view();
  std::string text = v.find('e') == std::string_view::npos || v.find('#') != std::string_view::npos
                         ? std::string(v)
                         : without_exponent(v.substr(0, v.size() - 1)) + "%";
  string::append_ascii(buffer, text.data(), text.size());
  return limit - i32(text.size());
}

// Mold writes the shortest digits of the value itself with the point moved
// two places: the lexer reads a percent's digits scaled by 10^-2 in one
// correctly rounded step, so the text loads back to the same value (form's
// 13 digits of the value times 100 need not).
i32 h_mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 limit, i32) {
  double x = float_of(value);
  if (!std::isfinite(x) || x == 0) return h_form(value, buffer, arg, limit);
  float_text::Digits d = float_text::float_to_digits(x, 0, false);
  std::string mantissa(d.text, std::size_t(d.count));
  mantissa.insert(mantissa.size() > 1 ? 1 : mantissa.size(), mantissa.size() > 1 ? "." : "");
  std::string text = (d.negative ? "-" : "") +
                     without_exponent(mantissa + "e" + std::to_string(d.point - 1 + 2)) + "%";
  string::append_ascii(buffer, text.data(), text.size());
  return limit - i32(text.size());
}

}  // namespace

Cell* make_at(Cell* cell, double d) {
  set_type(cell, TYPE_PERCENT);
  set_float_payload(cell, d);
  clear_word1(cell);
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
