#include "runtime/api.hpp"
#include "datatypes/money.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/locale.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/random.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/float_text.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

namespace qel::money {

namespace {

constexpr u32 SIGN_BIT = 1u << 14;
constexpr i64 SCALE = 100000;  // 10^5: one unit in fraction digits

constexpr Amount pow10(int n) {
  Amount r = 1;
  for (int i = 0; i < n; ++i) r *= 10;
  return r;
}
constexpr Amount LIMIT = pow10(DIGITS);  // every magnitude stays below

using float_::raise_with_type;

Amount magnitude(Amount a) { return a < 0 ? -a : a; }

// Count of digits from the first non-zero one (0 for zero).
int significant(Amount m) {
  int n = 0;
  while (m > 0) {
    m /= 10;
    ++n;
  }
  return n;
}

void to_bytes(const Cell* c, u8* bytes) { std::memcpy(bytes, c, sizeof(Cell)); }

[[noreturn]] void raise_limit() { raise_with_type(Err::script_type_limit, TYPE_MONEY); }

[[noreturn]] void raise_bad_make(const Cell* value) {
  Cell d;
  make_datatype(&d, TYPE_MONEY);
  fire(Err::script_bad_make_arg, &d, value);
}

// The word of a currency index, or null when the list no longer holds it.
u32 currency_symbol(u32 index) {
  Cell* list = locale::currency_list();
  if (!index || !list || !is_any_block_type(type_of(list))) return 0;
  mem::Buffer* b = mem::buffer_of(series_node(list));
  u32 n = b->used() / sizeof(Cell);
  if (index > n) return 0;
  const Cell* w = b->cells() + (index - 1);
  return is_any_word_type(type_of(w)) ? word::symbol_of(w) : 0;
}

// ---- conversions --------------------------------------------------------------------

// Operand `c` as an amount: money as it is, integers and floats converted.
Amount operand(const Cell* c, u32& cur) {
  switch (type_of(c)) {
    case TYPE_MONEY: cur = currency(c); return amount(c);
    case TYPE_INTEGER: cur = 0; return Amount(int_of(c)) * SCALE;
    default: {
      cur = 0;
      Cell* m = from_float(float_of(c), false);
      Amount a = amount(m);
      stack::pop(1);
      return a;
    }
  }
}

bool accepted(Type t) {
  return t == TYPE_MONEY || t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT;
}

void do_math(int op) {
  Cell* left = stack::base;
  Cell* right = left + 1;
  Type lt = type_of(left), rt = type_of(right);
  if (!accepted(lt)) raise_with_type(Err::script_invalid_type, lt);
  if (!accepted(rt)) raise_with_type(Err::script_invalid_type, rt);
  if (op == OP_MUL && lt == TYPE_MONEY && rt == TYPE_MONEY) {
    raise_with_type(Err::script_invalid_type, lt);
  }
  if ((op == OP_DIV || op == OP_REM) && lt != TYPE_MONEY) raise_with_type(Err::script_invalid_type, lt);
  u32 lc, rc;
  Amount a = operand(left, lc);
  Amount b = operand(right, rc);
  if (lc && rc && lc != rc) fire(Err::script_wrong_denom, left, right);
  u32 cur = rc ? rc : lc;
  Amount r = 0;
  switch (op) {
    case OP_ADD: r = a + b; break;
    case OP_SUB: r = a - b; break;
    case OP_MUL: {
      Amount ma = magnitude(a), mb = magnitude(b);
      if (ma && mb) {
        if (significant(ma) + significant(mb) > 28) raise_limit();
        r = ma * mb / SCALE;
        if ((a < 0) != (b < 0)) r = -r;
      }
      break;
    }
    case OP_DIV: {
      if (b == 0) fire(Err::math_zero_divide);
      Amount q = magnitude(a) * SCALE / magnitude(b);
      if (q >= LIMIT) raise_limit();
      r = (a < 0) != (b < 0) ? -q : q;
      break;
    }
    case OP_REM: {
      if (b == 0) fire(Err::math_zero_divide);
      Amount m = magnitude(a) % magnitude(b);
      r = a < 0 ? -m : m;
      break;
    }
    default: raise_with_type(Err::script_invalid_type, rt);
  }
  if (magnitude(r) >= LIMIT) raise_limit();
  bool ratio = op == OP_DIV && lt == TYPE_MONEY && rt == TYPE_MONEY;
  make_at(left, r, cur);
  if (ratio) make_float(left, to_float(left));
}

void h_add() { do_math(OP_ADD); }
void h_subtract() { do_math(OP_SUB); }
void h_multiply() { do_math(OP_MUL); }
void h_divide() { do_math(OP_DIV); }
void h_remainder() { do_math(OP_REM); }

void h_absolute() { stack::base->header &= ~SIGN_BIT; }
Cell* h_negate(Cell* v) {
  v->header ^= SIGN_BIT;
  return v;
}

bool units_odd(const Cell* c) {
  Amount m = magnitude(amount(c)) / SCALE;
  return (m % 10) % 2 != 0;
}
bool h_even(Cell* v) { return !units_odd(v); }
bool h_odd(Cell* v) { return units_odd(v); }

// ---- round --------------------------------------------------------------------------

Cell* h_round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor,
              bool ceiling, bool half_ceiling) {
  Amount v = amount(value);
  if (v == 0) return value;
  Amount s = SCALE;
  if (scale) {
    switch (type_of(scale)) {
      case TYPE_MONEY: s = amount(scale); break;
      case TYPE_INTEGER: s = Amount(int_of(scale)) * SCALE; break;
      case TYPE_FLOAT: case TYPE_PERCENT: {
        s = amount(from_float(float_of(scale), true));
        stack::pop(1);
        break;
      }
      default: {
        Cell call, type;
        stack::get_call(&call);
        make_datatype(&type, type_of(scale));
        fire(Err::script_not_related, &call, &type);
      }
    }
  }
  s = magnitude(s);
  if (s == 0) return value;
  bool negative = v < 0;
  Amount m = magnitude(v);
  Amount r = m % s;
  if (r == 0) return value;
  Amount d = s - r;
  bool half = r == d;
  bool up;
  if (down) {
    up = false;
  } else if (floor) {
    up = negative;
  } else if (ceiling) {
    up = !negative;
  } else if (even && half) {
    up = ((m - r) / s) % 2 != 0;
  } else if (half_down && half) {
    up = false;
  } else if (half_ceiling && half) {
    up = !negative;
  } else {
    up = r >= d;
  }
  Amount result = up ? m + d : m - r;
  if (result >= LIMIT) raise_limit();
  make_at(value, negative ? -result : result, currency(value));
  return value;
}

// ---- compare -------------------------------------------------------------------------

i32 h_compare(Cell* value, Cell* other, i32 op) {
  Type ot = type_of(other);
  bool strict = op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_FIND;
  if (strict && ot != TYPE_MONEY) return 1;
  bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_EQUAL_NO_CASE || strict;
  Amount a = amount(value), b;
  bool lost = false;  // the float had digits money cannot hold
  double fb = 0;
  switch (ot) {
    case TYPE_MONEY: {
      u32 ca = currency(value), cb = currency(other);
      if (op == COMP_SORT || op == COMP_CASE_SORT) {
        if (ca != cb) return ca < cb ? -1 : 1;
      } else if (op == COMP_STRICT_EQUAL || op == COMP_SAME || (op == COMP_FIND && cb)) {
        if (ca != cb) return 1;
      } else if (ca && cb && ca != cb) {
        if (equality) return 1;
        fire(Err::script_wrong_denom, value, other);
      }
      b = amount(other);
      break;
    }
    case TYPE_INTEGER: b = Amount(int_of(other)) * SCALE; break;
    case TYPE_FLOAT: case TYPE_PERCENT: {
      fb = float_of(other);
      double f = std::fabs(fb);
      if (std::isnan(fb)) return 1;
      if (f >= 1e17) return equality ? 1 : (fb > 0 ? -1 : 1);
      if (f > 0 && f < 1e-05) return 1;
      Cell* m = from_float(fb, false);
      b = amount(m);
      lost = to_float(m) != fb;
      stack::pop(1);
      break;
    }
    default: return COMPARE_INCOMPARABLE;
  }
  if (a != b) return a < b ? -1 : 1;
  if (lost) return fb > 0 ? -1 : 1;
  return 0;
}

// ---- make and to ----------------------------------------------------------------------

Cell* from_text(Cell* spec) {
  Cell* loaded = make_none(stack::push());
  if (!api::services.load_first(spec, loaded) || type_of(loaded) != TYPE_MONEY) {
    float_::raise_bad_to(TYPE_MONEY, spec);
  }
  return loaded;
}

Cell* h_to(Cell*, Cell* spec, Type) {
  switch (type_of(spec)) {
    case TYPE_MONEY: return spec;
    case TYPE_INTEGER: return from_integer(int_of(spec));
    case TYPE_FLOAT: case TYPE_PERCENT: return from_float(float_of(spec), true);
    case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL:
    case TYPE_REF:
      return from_text(spec);
    default: float_::raise_bad_to(TYPE_MONEY, spec);
  }
}

Cell* h_make(Cell* proto, Cell* spec, Type type) {
  if (type_of(spec) == TYPE_WORD) {
    i32 i = currency_index(word::symbol_of(spec));
    if (i < 0) raise_bad_make(spec);
    return make_at(make_none(stack::push()), 0, u32(i));
  }
  if (type_of(spec) != TYPE_BLOCK) return h_to(proto, spec, type);
  mem::Buffer* b = mem::buffer_of(series_node(spec));
  i64 total = i64(b->used() / sizeof(Cell));
  i64 index = series_index(spec) < 0 ? 0 : series_index(spec);
  i64 n = total > index ? total - index : 0;
  Cell items[3];
  if (n < 1 || n > 3) raise_bad_make(spec);
  for (i64 i = 0; i < n; ++i) items[i] = b->cells()[index + i];
  i64 k = 0;
  u32 cur = 0;
  if (type_of(items) == TYPE_WORD) {
    i32 i = currency_index(word::symbol_of(&items[0]));
    if (i < 0) raise_bad_make(items);
    cur = u32(i);
    k = 1;
  }
  if (k >= n) raise_bad_make(spec);
  Cell* amount_cell = items + k;
  Amount a;
  if (type_of(amount_cell) == TYPE_INTEGER) {
    a = Amount(int_of(amount_cell)) * SCALE;
    if (k + 1 < n) {
      Cell* f = items + k + 1;
      if (type_of(f) != TYPE_INTEGER || int_of(f) < 0 || int_of(f) > 99999) raise_bad_make(f);
      if (k + 2 < n) raise_bad_make(spec);
      a += a < 0 ? -Amount(int_of(f)) : Amount(int_of(f));
    }
  } else if (type_of(amount_cell) == TYPE_FLOAT) {
    if (k + 1 < n) raise_bad_make(items + k + 1);
    a = amount(from_float(float_of(amount_cell), true));
    stack::pop(1);
  } else {
    raise_bad_make(amount_cell);
  }
  return make_at(make_none(stack::push()), a, cur);
}

// ---- text ------------------------------------------------------------------------------

// group: form's thousands marks. all: all five fraction digits. keep: mold,
// which writes the fraction digits the option asks for and any further
// non-zero ones, so that the text loads back to the same amount.
i32 write(Cell* value, Cell* buffer, i32 limit, bool group, bool all, bool keep) {
  // Everything is read from the cell before the locale, whose reading may
  // allocate (the cell may lie in a block).
  Amount a = amount(value);
  u32 cur = currency(value);
  Amount m = magnitude(a);
  std::string text;
  if (a < 0) text.push_back('-');
  u32 sym = currency_symbol(cur);
  if (sym) text += symbol::name(sym);
  text.push_back('$');
  std::string units;
  Amount whole = m / SCALE;
  do {
    units.insert(units.begin(), char('0' + int(whole % 10)));
    whole /= 10;
  } while (whole > 0);
  if (group) {
    for (int i = int(units.size()) - 3; i > 0; i -= 3) units.insert(std::size_t(i), 1, '\'');
  }
  text += units;
  int digits = FRACTION_DIGITS;
  if (!all) {
    Cell* opt = locale::option("money-digits");
    digits = opt && type_of(opt) == TYPE_INTEGER ? int_of(opt) : 2;
    if (digits > FRACTION_DIGITS) digits = FRACTION_DIGITS;
  }
  i64 frac = i64(m % SCALE);
  char f[6];
  for (int i = 4; i >= 0; --i) {
    f[i] = char('0' + frac % 10);
    frac /= 10;
  }
  if (keep) {
    int needed = FRACTION_DIGITS;
    while (needed > 0 && f[needed - 1] == '0') --needed;
    digits = std::max(digits, needed);
  }
  if (digits >= 1) {
    text.push_back('.');
    text.append(f, std::size_t(digits));
  }
  string::append_ascii(buffer, text.data(), text.size());
  return limit - i32(text.size());
}

i32 h_form(Cell* value, Cell* buffer, Cell*, i32 limit) {
  return write(value, buffer, limit, true, false, false);
}

i32 h_mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, i32 limit, i32) {
  return write(value, buffer, limit, false, all, true);
}

// ---- fields ------------------------------------------------------------------------------

// 1 code, 2 amount, 0 anything else.
i32 field_of(const Cell* element) {
  if (type_of(element) == TYPE_INTEGER) {
    i32 i = int_of(element);
    return i == 1 || i == 2 ? i : 0;
  }
  if (type_of(element) == TYPE_WORD) {
    // By spelling, without case (interning could allocate here).
    std::string name(symbol::name(word::symbol_of(element)));
    for (char& c : name) c = c >= 'A' && c <= 'Z' ? char(c + 32) : c;
    if (name == "code") return 1;
    if (name == "amount") return 2;
  }
  return 0;
}

Cell* field_value(const Cell* m, i32 f) {
  if (f == 1) {
    u32 sym = currency_symbol(currency(m));
    if (!sym) return make_none(stack::push());
    Cell* w = word::make_at(sym, stack::push());
    return w;
  }
  Amount a = amount(m);
  return make_at(make_none(stack::push()), a, 0);
}

Cell* h_eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  i32 f = field_of(element);
  Cell path;
  if (step.path) copy_cell(step.path, &path); else make_none(&path);
  if (!f) fire(Err::script_invalid_path, element, &path);
  if (value) fire(Err::script_bad_path_set, element, &path);
  return field_value(parent, f);
}

Cell* h_pick(Cell* m, i32, Cell* index_cell) {
  i32 f = field_of(index_cell);
  if (!f) fire(Err::script_out_of_range, index_cell);
  return field_value(m, f);
}

// ---- random ----------------------------------------------------------------------------

Cell* h_random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(i32(payload_xor(value) ^ (value->header & SIGN_BIT)));
    return make_unset(stack::push());
  }
  Amount a = amount(value);
  Amount m = magnitude(a);
  int n = significant(m);
  // Digits from the most significant down, each at most the bound's digit
  // while the draw still runs along the bound.
  Amount result = 0;
  bool below = false;
  for (int i = n - 1; i >= 0; --i) {
    int bound = int((m / pow10(i)) % 10);
    int g;
    if (below) {
      g = (secure ? random::secure() : random::next()) % 10;
    } else {
      while (true) {
        g = (secure ? random::secure() : random::next()) % (bound + 1);
        if (g < bound) break;
        // Staying on the bound is kept only one time in a thousand more
        // draws, so that the amount itself is not favoured.
        if (random::next() % 1000 == random::next() % 1000) break;
      }
      if (g < bound) below = true;
    }
    result = result * 10 + g;
  }
  make_at(value, a < 0 ? -result : result, currency(value));
  return value;
}

}  // namespace

// ---- cells ----------------------------------------------------------------------------

u32 currency(const Cell* c) {
  u8 b[16];
  to_bytes(c, b);
  return b[4];
}

bool negative_bit(const Cell* c) { return (c->header & SIGN_BIT) != 0; }

void bcd_bytes(const Cell* c, u8* out) {
  u8 b[16];
  to_bytes(c, b);
  std::memcpy(out, b + 5, 11);
}

Amount amount(const Cell* c) {
  u8 b[16];
  to_bytes(c, b);
  Amount a = 0;
  for (int i = 5; i < 16; ++i) a = a * 100 + (b[i] >> 4) * 10 + (b[i] & 15);
  return negative_bit(c) ? -a : a;
}

Cell* make_at(Cell* cell, Amount a, u32 cur) {
  u8 b[16] = {};
  Amount m = magnitude(a);
  for (int i = 15; i >= 5; --i) {
    int lo = int(m % 10);
    m /= 10;
    int hi = int(m % 10);
    m /= 10;
    b[i] = u8(hi << 4 | lo);
  }
  b[4] = u8(cur);
  u32 header = (cell->header & FLAG_NEW_LINE) | TYPE_MONEY | (a < 0 ? SIGN_BIT : 0);
  std::memcpy(cell, b, sizeof(Cell));
  cell->header = header;
  return cell;
}

Cell* make_at_bcd(Cell* cell, bool negative, u32 cur, const u8* bytes) {
  u8 b[16] = {};
  b[4] = u8(cur);
  std::memcpy(b + 5, bytes, 11);
  u32 header = (cell->header & FLAG_NEW_LINE) | TYPE_MONEY | (negative ? SIGN_BIT : 0);
  std::memcpy(cell, b, sizeof(Cell));
  cell->header = header;
  return cell;
}

i32 currency_index(u32 sym) {
  Cell* list = locale::currency_list();
  if (!list || !is_any_block_type(type_of(list))) return -1;
  mem::Buffer* b = mem::buffer_of(series_node(list));
  u32 n = b->used() / sizeof(Cell);
  u32 want = symbol::resolve(sym);
  for (u32 i = 0; i < n && i < 255; ++i) {
    const Cell* w = b->cells() + i;
    if (is_any_word_type(type_of(w)) && symbol::resolve(word::symbol_of(w)) == want) return i32(i + 1);
  }
  return -1;
}

Cell* from_integer(i32 v) { return make_at(make_none(stack::push()), Amount(v) * SCALE, 0); }

Cell* from_float(double d, bool strict) {
  float_text::Digits dg = float_text::float_to_digits(d, 0, false);
  double f = std::fabs(d);
  auto refuse = [d]() {
    Cell fc;
    make_float(&fc, d);
    raise_bad_make(&fc);
  };
  if (dg.point == float_text::POINT_SPECIAL || f >= 1e17 || (f > 0 && f < 1e-05)) refuse();
  Amount a = 0;
  if (dg.point != float_text::POINT_ZERO) {
    for (int k = 1; k <= dg.count; ++k) {
      int e = dg.point - k + FRACTION_DIGITS;
      int digit = dg.text[k - 1] - '0';
      if (e < 0) {
        if (digit && strict) refuse();
        continue;
      }
      a += Amount(digit) * pow10(e);
    }
  }
  return make_at(make_none(stack::push()), d < 0 ? -a : a, 0);
}

double to_float(const Cell* c) {
  Amount a = amount(c);
  Amount m = magnitude(a);
  std::string text;
  Amount whole = m / SCALE;
  do {
    text.insert(text.begin(), char('0' + int(whole % 10)));
    whole /= 10;
  } while (whole > 0);
  text.push_back('.');
  i64 frac = i64(m % SCALE);
  char fr[6] = {};
  for (int i = 4; i >= 0; --i) {
    fr[i] = char('0' + frac % 10);
    frac /= 10;
  }
  text += fr;
  double d = float_text::text_to_float(text);
  return a < 0 ? -d : d;
}

i32 to_integer(const Cell* c) {
  Amount w = amount(c) / SCALE;
  if (w > 2147483647 || w < -Amount(2147483648LL)) raise_with_type(Err::script_type_limit, TYPE_INTEGER);
  return i32(w);
}

i32 sign(const Cell* c) {
  Amount a = amount(c);
  return a > 0 ? 1 : a < 0 ? -1 : 0;
}

bool parse(const u8* p, const u8* end, Amount& out, u32& cur) {
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  cur = 0;
  if (p < end && *p != '$') {
    if (end - p < 4 || p[3] != '$') return false;
    for (int i = 0; i < 3; ++i) {
      u8 c = p[i];
      if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
    }
    i32 index = currency_index(symbol::make_from_string(reinterpret_cast<const char*>(p), 3));
    if (index < 0) return false;
    cur = u32(index);
    p += 3;
  }
  if (p >= end || *p != '$') return false;
  ++p;
  if (p >= end || !(*p >= '0' && *p <= '9')) return false;
  Amount a = 0;
  int digits = 0;
  u8 prev = 0;
  for (; p < end && *p != '.' && *p != ','; ++p) {
    u8 c = *p;
    if (c == '\'') {
      if (prev == '\'') return false;
    } else if (c >= '0' && c <= '9') {
      if (digits || c != '0') ++digits;
      if (digits > INT_DIGITS) return false;
      a = a * 10 + (c - '0');
    } else {
      return false;
    }
    prev = c;
  }
  if (prev == '\'') return false;
  a *= SCALE;
  if (p < end) {
    ++p;
    int n = 0;
    Amount frac = 0;
    for (; p < end; ++p) {
      if (!(*p >= '0' && *p <= '9') || n == FRACTION_DIGITS) return false;
      frac = frac * 10 + (*p - '0');
      ++n;
    }
    if (n == 0) return false;
    a += frac * pow10(FRACTION_DIGITS - n);
  }
  out = negative ? -a : a;
  return true;
}

void init() {
  types::register_datatype(
      {TYPE_MONEY, TYPE_NO_TYPE, "money!",
       {.make = h_make, .random = h_random, .to = h_to, .form = h_form, .mold = h_mold,
        .eval_path = h_eval_path, .compare = h_compare, .absolute = h_absolute, .add = h_add,
        .divide = h_divide, .multiply = h_multiply, .negate = h_negate,
        .remainder = h_remainder, .round = h_round, .subtract = h_subtract, .even_q = h_even,
        .odd_q = h_odd, .pick = h_pick}});
}

}  // namespace qel::money
