// Conversion between 64-bit doubles and decimal text.
//
// Both directions are correctly rounded and independent of the C locale: text
// is read with std::from_chars and digits are produced with std::to_chars (the
// shortest digits that read back to the same double, or a correctly rounded
// prefix of the exact value). What this module adds is the framing of the
// language: the special texts "1.#INF", "-1.#INF" and "1.#NaN", the extra
// decimal exponent of percent! literals, the count of characters a read left
// unconsumed, and the layout rules of the formatters (where the exponent form
// starts, when a trailing ".0" is written, the display adjustments of form).
//
// Results are returned by value; nothing here allocates from the collected
// region or raises an error.
#pragma once

#include <cstddef>
#include <string_view>

#include "runtime/cell.hpp"

namespace qel::float_text {

// Decimal-point positions that mark a special result of float_to_digits.
inline constexpr int POINT_SPECIAL = 9999;  // infinity or NaN
inline constexpr int POINT_ZERO = 9998;     // positive or negative zero

// A short text held by value: the result of the formatters.
struct Text {
  char chars[48];    // NUL-terminated
  u32 length;        // characters before the NUL
  std::string_view view() const { return {chars, length}; }
  const char* c_str() const { return chars; }
};

// Reads the decimal text in [start, end): an optional sign, digits with an
// optional point, an optional exponent (e or E, an optional sign, digits).
// extra_exponent is added to the text's decimal exponent (percent! passes -2,
// so "50" reads as 0.5). The texts "1.#INF", "-1.#INF" (or with a lower-case
// i) and "1.#NaN" read as the infinities and a quiet NaN. A value beyond the
// double range is the infinity of the text's sign; one below it is a zero of
// the text's sign. A text that is empty, or only a sign or zeros, reads as a
// zero of its sign.
// unconsumed (when not null) receives the number of characters at the end of
// the range that are not part of the number: 0 for a well-formed number; an
// "e" at the very end is not consumed; a text without any digit reads as 0.0
// and leaves every character unconsumed.
double text_to_float(const char* start, const char* end, int extra_exponent = 0,
                     std::size_t* unconsumed = nullptr);
inline double text_to_float(std::string_view text, int extra_exponent = 0,
                            std::size_t* unconsumed = nullptr) {
  return text_to_float(text.data(), text.data() + text.size(), extra_exponent, unconsumed);
}

// The decimal digits of a double: |value| = 0.d1d2...dn * 10^point.
struct Digits {
  char text[32];  // the digits (NUL-terminated), or the special text
  int count;      // digits in text (for a special: the length of the text)
  int point;      // decimal-point position, or POINT_SPECIAL / POINT_ZERO
  bool negative;  // the sign bit (false for NaN)
};

// precision 0: the shortest digits that read back to the value.
// precision n > 0: those digits when there are at most n of them, else the
// first n digits of the exact value, the last one rounded to nearest (ties to
// even), trailing zeros dropped.
// Infinities and NaN give POINT_SPECIAL and "1.#INF", "-1.#INF" or "1.#NaN"
// (any NaN). Zero gives POINT_ZERO and "0.0" / "-0.0" when trailing_zero is
// set, "0" / "-0" otherwise.
Digits float_to_digits(double value, int precision, bool trailing_zero);

// The text of a double from float_to_digits, with p the point position and n
// the digit count:
// - a special or zero: its text as float_to_digits gives it;
// - p >= 18 or p <= -7: exponent form, the first digit, a point, the others,
//   "e" and p - 1 ("1.5e-8"); a single digit is followed by ".0" when
//   trailing_zero is set ("1.0e17") and stands alone otherwise ("1e17");
// - p <= 0: "0.", -p zeros and the digits ("0.0000001");
// - 0 < p < n: the digits with a point after the first p;
// - p >= n: the digits, p - n zeros, and ".0" when trailing_zero is set;
// and a minus sign in front of a negative value.
// mold of float! is float_to_text(x, 0, true).
Text float_to_text(double value, int precision, bool trailing_zero);

// What form writes a floating value as (argument of form).
enum FormMode : u8 {
  FORM_FLOAT32 = 0,    // a 32-bit float of a vector
  FORM_FLOAT = 1,      // a float!
  FORM_PERCENT32 = 2,  // a 32-bit percent of a vector
  FORM_PERCENT = 3,    // a percent! (the caller passes the value times 100)
  FORM_TIME = 4,       // the seconds of a time!
  FORM_COORD32 = 5,    // a 32-bit coordinate of a point
};

// The display text of a floating value. 16 significant digits for float!,
// 13 for percent!, 7 for the 32-bit kinds, float_to_text(x, 6, false) for
// seconds. With pretty set, a magnitude below the double epsilon shows as
// zero ("0.0"; "0%" for percents; "0" for coordinates), and a text whose last
// two digits at full length are "01" or "99" is made again with fewer digits
// (0.1 + 0.7 shows as "0.8"). Exponents are written without "+" or leading
// zeros; percents end in "%"; float! and 32-bit float texts without a point
// get ".0" ("3.0", "1.0e16").
Text form(double value, FormMode mode, bool pretty);

// Folds an angle in degrees for the trigonometric natives and answers it in
// radians: kind 2 for sine, 1 for cosine, 0 for tangent.
double reduce_angle(double degrees, int kind);

}  // namespace qel::float_text
