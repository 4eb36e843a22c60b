// Float and text conversion: the framing around std::from_chars and
// std::to_chars (see float_text.hpp). Neither of those depends on the locale,
// and both are exact: from_chars rounds the decimal value correctly whatever
// its number of digits, to_chars gives the shortest round-trip digits or a
// correctly rounded prefix of the exact binary value.
#include "runtime/float_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <system_error>

namespace qel::float_text {

namespace {

constexpr double EPSILON = 2.220446049250313e-16;
constexpr double PI = 3.141592653589793;

// Exponent digits saturate here: beyond it no text of a length that fits in
// memory can bring the value back into the double range.
constexpr i64 EXPONENT_LIMIT = 1000000000000000;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

u64 bits_of(double d) {
  u64 b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

bool is_special(double d) { return (bits_of(d) & 0x7FF0000000000000ull) == 0x7FF0000000000000ull; }

void set_text(Text& t, std::string_view s) {
  std::size_t n = std::min(s.size(), sizeof t.chars - 1);
  std::memcpy(t.chars, s.data(), n);
  t.chars[n] = 0;
  t.length = u32(n);
}

const char* special_text(double d) {
  if (std::isnan(d)) return "1.#NaN";
  return std::signbit(d) ? "-1.#INF" : "1.#INF";
}

// A text appended to by the formatters; never longer than Text::chars.
struct Builder {
  char buf[64];
  u32 n = 0;
  void put(char c) {
    if (n < sizeof buf - 1) buf[n++] = c;
  }
  void put(std::string_view s) {
    for (char c : s) put(c);
  }
  void put_int(int v) {
    char tmp[16];
    auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
    put(std::string_view(tmp, std::size_t(r.ptr - tmp)));
  }
  Text text() const {
    Text t;
    set_text(t, std::string_view(buf, n));
    return t;
  }
};

// The printf-style "%.<precision>g" text of d, in the C locale.
Builder general(double d, int precision) {
  Builder b;
  auto r = std::to_chars(b.buf, b.buf + sizeof b.buf - 1, d, std::chars_format::general, precision);
  b.n = u32(r.ptr - b.buf);
  return b;
}

// Splits a to_chars scientific text "d.ddde-XX" of a positive value into its
// digits (trailing zeros dropped) and the decimal-point position.
void split_scientific(const char* first, const char* last, Digits& out) {
  int n = 0;
  const char* p = first;
  for (; p < last && *p != 'e'; ++p) {
    if (is_digit(*p)) out.text[n++] = *p;
  }
  int exponent = 0;
  if (p < last) std::from_chars(p + (p[1] == '+' ? 2 : 1), last, exponent);
  while (n > 1 && out.text[n - 1] == '0') --n;
  out.text[n] = 0;
  out.count = n;
  out.point = exponent + 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Reading

double text_to_float(const char* start, const char* end, int extra_exponent,
                     std::size_t* unconsumed) {
  const char* s = start;
  auto done = [&](double v) {
    if (unconsumed) *unconsumed = std::size_t(end - s);
    return v;
  };

  bool negative = false;
  if (s < end && (*s == '+' || *s == '-')) {
    negative = *s == '-';
    ++s;
  }
  bool seen_digit = false;  // any digit, zeros included
  while (s < end && *s == '0') {
    ++s;
    seen_digit = true;
  }
  if (s == end) return done(negative ? -0.0 : 0.0);

  // The significant digits (from the first non-zero one) and the power of ten
  // that scales them: value = digits * 10^exponent.
  std::string digits;
  i64 exponent = 0;
  int before_point = 0;
  while (s < end && is_digit(*s)) {
    digits.push_back(*s++);
    ++before_point;
  }
  if (before_point) seen_digit = true;
  if (s < end && *s == '.') {
    if (before_point == 1 && end - s >= 3 && s[1] == '#') {
      char c = s[2];
      if (c == 'I' || c == 'i') {
        s = end;  // the rest of a special text is not examined
        return done(negative ? -std::numeric_limits<double>::infinity()
                             : std::numeric_limits<double>::infinity());
      }
      if (c == 'N' || c == 'n') {
        s = end;
        return done(std::numeric_limits<double>::quiet_NaN());
      }
    }
    ++s;
    if (digits.empty()) {
      while (s < end && *s == '0') {
        ++s;
        --exponent;
        seen_digit = true;
      }
    }
    while (s < end && is_digit(*s)) {
      digits.push_back(*s++);
      --exponent;
      seen_digit = true;
    }
  }
  if (!seen_digit) {
    s = start;  // no number at all
    return done(0.0);
  }

  if (s < end && (*s == 'e' || *s == 'E') && end - s >= 2) {
    const char* t = s + 1;
    bool exp_negative = false;
    if (*t == '+' || *t == '-') {
      exp_negative = *t == '-';
      ++t;
    }
    i64 e = 0;
    while (t < end && is_digit(*t)) {
      e = std::min<i64>(e * 10 + (*t - '0'), EXPONENT_LIMIT);
      ++t;
    }
    exponent += exp_negative ? -e : e;
    s = t;
  }
  exponent += extra_exponent;

  while (!digits.empty() && digits.back() == '0') {
    digits.pop_back();
    ++exponent;
  }
  if (digits.empty()) return done(negative ? -0.0 : 0.0);

  // Decimal exponent of the leading digit: the value lies in [10^lead, 10^(lead+1)).
  i64 lead = exponent + i64(digits.size()) - 1;
  double magnitude;
  if (lead > 400) {
    magnitude = std::numeric_limits<double>::infinity();
  } else if (lead < -400) {
    magnitude = 0.0;
  } else {
    digits.push_back('e');
    char tmp[24];
    auto r = std::to_chars(tmp, tmp + sizeof tmp, exponent);
    digits.append(tmp, r.ptr);
    auto res = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (res.ec == std::errc::result_out_of_range) {
      magnitude = lead > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
  }
  return done(negative ? -magnitude : magnitude);
}

// ---------------------------------------------------------------------------
// Digits and texts

Digits float_to_digits(double value, int precision, bool trailing_zero) {
  Digits out{};
  out.negative = std::signbit(value) && !std::isnan(value);
  auto set = [&](const char* text, int point) {
    std::size_t n = std::strlen(text);
    std::memcpy(out.text, text, n + 1);
    out.count = int(n);
    out.point = point;
    return out;
  };
  if (is_special(value)) return set(special_text(value), POINT_SPECIAL);
  if (value == 0.0) {
    if (out.negative) return set(trailing_zero ? "-0.0" : "-0", POINT_ZERO);
    return set(trailing_zero ? "0.0" : "0", POINT_ZERO);
  }
  double magnitude = std::fabs(value);
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
  split_scientific(buf, r.ptr, out);
  if (precision > 0 && out.count > precision) {
    r = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific, precision - 1);
    split_scientific(buf, r.ptr, out);
  }
  return out;
}

Text float_to_text(double value, int precision, bool trailing_zero) {
  Digits d = float_to_digits(value, precision, trailing_zero);
  Builder b;
  if (d.point >= POINT_ZERO) {
    b.put(d.text);
    return b.text();
  }
  std::string_view digits(d.text, std::size_t(d.count));
  int n = d.count;
  int p = d.point;
  if (d.negative) b.put('-');
  if (p >= 18 || p <= -7) {
    b.put(digits[0]);
    if (n > 1) {
      b.put('.');
      b.put(digits.substr(1));
    } else if (trailing_zero) {
      b.put(".0");
    }
    b.put('e');
    b.put_int(p - 1);
  } else if (p <= 0) {
    b.put("0.");
    for (int i = 0; i < -p; ++i) b.put('0');
    b.put(digits);
  } else if (p < n) {
    b.put(digits.substr(0, std::size_t(p)));
    b.put('.');
    b.put(digits.substr(std::size_t(p)));
  } else {
    b.put(digits);
    for (int i = 0; i < p - n; ++i) b.put('0');
    if (trailing_zero) b.put(".0");
  }
  return b.text();
}

// ---------------------------------------------------------------------------
// Form

Text form(double value, FormMode mode, bool pretty) {
  Builder b;
  if (is_special(value)) {
    b.put(special_text(value));
    return b.text();
  }
  bool percent = mode == FORM_PERCENT32 || mode == FORM_PERCENT;
  if (pretty && std::fabs(value) < EPSILON) {
    b.put(percent ? "0%" : mode == FORM_COORD32 ? "0" : "0.0");
    return b.text();
  }

  switch (mode) {
    case FORM_FLOAT32: case FORM_PERCENT32: case FORM_COORD32: b = general(value, 7); break;
    case FORM_PERCENT: b = general(value, 13); break;
    case FORM_TIME: {
      Text t = float_to_text(value, 6, false);
      b.put(t.view());
      break;
    }
    default: b = general(value, 16); break;
  }

  // At full length a last pair of digits "01" or "99" is mostly the noise of
  // a decimal fraction that has no exact binary value: show fewer digits.
  u32 e_at = 0;  // position of the 'e', or 0 when there is none
  for (bool retried = false;;) {
    e_at = 0;
    for (u32 i = 0; i < b.n; ++i) {
      if (b.buf[i] == 'e') e_at = i;
    }
    if (!pretty || retried) break;
    u32 end = e_at ? e_at : b.n;
    bool first_zero = b.buf[b.buf[0] == '-' ? 1 : 0] == '0';
    u32 limit = (!e_at && first_zero) ? 17 : 16;
    if (end <= limit) break;
    std::string_view last2(b.buf + end - 2, 2);
    if (last2 != "01" && last2 != "99") break;
    bool short_kind = mode == FORM_FLOAT32 || mode == FORM_TIME || mode == FORM_COORD32;
    b = general(value, short_kind ? 5 : 14);
    retried = true;
  }

  // The exponent loses its "+" and its leading zeros: "1e+16" is "1e16".
  if (e_at) {
    u32 from = e_at + 1;
    u32 to = e_at + 1;
    if (b.buf[from] == '+') {
      ++from;
    } else if (b.buf[from] == '-') {
      ++from;
      ++to;
    }
    while (from + 1 < b.n && b.buf[from] == '0') ++from;
    while (from < b.n) b.buf[to++] = b.buf[from++];
    b.n = to;
  }

  if (percent) {
    b.put('%');
  } else if (mode != FORM_TIME && mode != FORM_COORD32 &&
             std::memchr(b.buf, '.', b.n) == nullptr) {
    if (e_at) {
      std::memmove(b.buf + e_at + 2, b.buf + e_at, b.n - e_at);
      b.buf[e_at] = '.';
      b.buf[e_at + 1] = '0';
      b.n += 2;
    } else {
      b.put(".0");
    }
  }
  return b.text();
}

// ---------------------------------------------------------------------------
// Angles

double reduce_angle(double degrees, int kind) {
  double x = std::fmod(degrees, 360.0);
  if (x > 180.0) {
    x -= 360.0;
  } else if (x < -180.0) {
    x += 360.0;
  }
  if (x > 90.0 || x < -90.0) {
    if (kind == 0) {
      x += x > 90.0 ? -180.0 : 180.0;
    } else if (kind == 2) {
      x = x > 90.0 ? 180.0 - x : -180.0 - x;
    }
  }
  return x * PI / 180.0;
}

}  // namespace qel::float_text
