// Float and text conversion: reading, digits, mold and form texts, angles.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "runtime/float_text.hpp"

namespace float_text_test {

using namespace qel;
using namespace qel::float_text;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

}  // namespace

TEST(TextToFloat, ReadsNumbersSpecialsAndLimits) {
  struct Case {
    const char* text;
    int extra;
    double expected;  // compared bit for bit (NaN by kind)
    std::size_t unconsumed;
  };
  const std::vector<Case> cases = {
      {"1.#INF", 0, INF, 0},
      {"-1.#INF", 0, -INF, 0},
      {"-1.#inf", 0, -INF, 0},
      {"1.#NaN", 0, std::numeric_limits<double>::quiet_NaN(), 0},
      {"-1.#nan", 0, std::numeric_limits<double>::quiet_NaN(), 0},
      {"0.5", -2, 0.005, 0},
      {"50", -2, 0.5, 0},
      {"12.5", -2, 0.125, 0},
      {"-0", 0, -0.0, 0},
      {"-0.0", 0, -0.0, 0},
      {"1e400", 0, INF, 0},
      {"-1e400", 0, -INF, 0},
      {"1e-400", 0, 0.0, 0},
      {"-1e-400", 0, -0.0, 0},
      {"12.5e3", 0, 12500.0, 0},
      {"1.5E-3", 0, 0.0015, 0},
      {"1e+2", 0, 100.0, 0},
      {"+7", 0, 7.0, 0},
      {"007.50", 0, 7.5, 0},
      {".5", 0, 0.5, 0},
      {"5.", 0, 5.0, 0},
      {"0.000123", 0, 0.000123, 0},
      {"", 0, 0.0, 0},
      {"-", 0, -0.0, 0},
      // The first unused character ends the number; an "e" at the very end is not taken.
      {"12abc", 0, 12.0, 3},
      {"3e", 0, 3.0, 1},
      {"1e5x", 0, 1e5, 1},
      {"1.#X", 0, 1.0, 2},
      {"abc", 0, 0.0, 3},
      // Correct rounding at the edges of the double range and of 53 bits.
      {"1.7976931348623157e308", 0, 1.7976931348623157e308, 0},
      {"1.7976931348623159e308", 0, INF, 0},
      {"2.4703282292062328e-324", 0, std::bit_cast<double>(u64(1)), 0},
      {"2.4703282292062327e-324", 0, 0.0, 0},
      {"2.2250738585072011e-308", 0, std::bit_cast<double>(0x000FFFFFFFFFFFFFull), 0},
      {"9007199254740993", 0, 9007199254740992.0, 0},
      {"9007199254740995", 0, 9007199254740996.0, 0},
      {"0.1000000000000000055511151231257827021181583404541015625", 0, 0.1, 0},
  };
  for (const Case& c : cases) {
    std::size_t left = 99;
    double v = text_to_float(c.text, c.extra, &left);
    if (std::isnan(c.expected)) {
      EXPECT_TRUE(std::isnan(v)) << c.text;
      EXPECT_FALSE(std::signbit(v)) << c.text << ": the sign of a NaN text is ignored";
    } else {
      EXPECT_EQ(std::bit_cast<u64>(v), std::bit_cast<u64>(c.expected)) << c.text << " read as " << v;
    }
    EXPECT_EQ(left, c.unconsumed) << c.text;
  }
}

TEST(TextToFloat, LongTextsAreRoundedAsAWhole) {
  // 1 followed by 400 zeros, scaled back by its exponent.
  std::string big = "1" + std::string(400, '0') + "e-400";
  EXPECT_EQ(text_to_float(big), 1.0);
  std::string huge = "1" + std::string(150000, '0') + "e-150000";
  EXPECT_EQ(text_to_float(huge), 1.0) << "a long exponent is not cut short";
  EXPECT_EQ(text_to_float("1e99999999999999999999"), INF);
  EXPECT_EQ(text_to_float("1e-99999999999999999999"), 0.0);
  // Just above the halfway point between 1 and the next double: the digit
  // that decides the rounding comes after 60 zeros.
  std::string halfway_up = "1.00000000000000011102230246251565404236316680908203125" +
                           std::string(60, '0') + "1";
  EXPECT_EQ(text_to_float(halfway_up), std::nextafter(1.0, 2.0));
  std::string halfway = "1.00000000000000011102230246251565404236316680908203125";
  EXPECT_EQ(text_to_float(halfway), 1.0) << "an exact tie rounds to even";
}

TEST(FloatToDigits, PositionSignAndRounding) {
  struct Case {
    double value;
    int precision;
    const char* digits;
    int point;
    bool negative;
  };
  const std::vector<Case> cases = {
      {0.001234, 0, "1234", -2, false},
      {-1500.0, 0, "15", 4, true},
      {1.0 / 3, 0, "3333333333333333", 0, false},
      {1.0 / 3, 6, "333333", 0, false},
      {2.0 / 3, 6, "666667", 0, false},
      {59.9999999, 6, "6", 2, false},       // the carry adds a digit
      {0.125, 2, "12", 0, false},           // an exact tie goes to even
      {0.375, 2, "38", 0, false},
      {2.675, 3, "267", 1, false},          // 2.67499999... : the exact value decides
      {0.5, 6, "5", 0, false},
      {INF, 0, "1.#INF", POINT_SPECIAL, false},
      {-INF, 0, "-1.#INF", POINT_SPECIAL, true},
  };
  for (const Case& c : cases) {
    Digits d = float_to_digits(c.value, c.precision, false);
    EXPECT_STREQ(d.text, c.digits) << c.value << " at precision " << c.precision;
    EXPECT_EQ(d.count, int(std::strlen(c.digits)));
    EXPECT_EQ(d.point, c.point) << c.value;
    EXPECT_EQ(d.negative, c.negative) << c.value;
  }
  Digits z = float_to_digits(-0.0, 0, true);
  EXPECT_EQ(z.point, POINT_ZERO);
  EXPECT_STREQ(z.text, "-0.0");
  EXPECT_STREQ(float_to_digits(0.0, 0, false).text, "0");
  EXPECT_STREQ(float_to_digits(-std::nan(""), 0, false).text, "1.#NaN");
}

TEST(FloatToText, MoldAndPlainLayouts) {
  struct Case {
    double value;
    int precision;
    bool trailing_zero;
    const char* text;
  };
  const std::vector<Case> cases = {
      {0.1, 0, true, "0.1"},
      {1.0 / 3, 0, true, "0.3333333333333333"},
      {0.1 + 0.2, 0, true, "0.30000000000000004"},
      {100.0, 0, true, "100.0"},
      {100.0, 0, false, "100"},
      {-2.5, 0, true, "-2.5"},
      {123456.789, 0, true, "123456.789"},
      // Up to 17 digits before the point stay plain; the exponent form starts at 1e17.
      {1e16, 0, true, "10000000000000000.0"},
      {1e16, 0, false, "10000000000000000"},
      {12345678901234568.0, 0, true, "12345678901234568.0"},
      {1e17, 0, true, "1.0e17"},
      {1e17, 0, false, "1e17"},
      {1.2345678901234568e17, 0, true, "1.2345678901234568e17"},
      {-1.5e300, 0, true, "-1.5e300"},
      // Down to six zeros after the point stay plain.
      {1e-6, 0, true, "0.000001"},
      {1e-7, 0, true, "0.0000001"},
      {1.5e-8, 0, true, "1.5e-8"},
      {1e-8, 0, false, "1e-8"},
      {std::bit_cast<double>(u64(1)), 0, true, "5.0e-324"},
      {1.7976931348623157e308, 0, true, "1.7976931348623157e308"},
      {INF, 0, true, "1.#INF"},
      {-INF, 0, false, "-1.#INF"},
      {std::nan(""), 0, true, "1.#NaN"},
      {0.0, 0, true, "0.0"},
      {-0.0, 0, true, "-0.0"},
      {-0.0, 0, false, "-0"},
      // The seconds of a time: six digits, no trailing zero.
      {1.5, 6, false, "1.5"},
      {2.0, 6, false, "2"},
      {59.9999999, 6, false, "60"},
      {1.0 / 3, 6, false, "0.333333"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(float_to_text(c.value, c.precision, c.trailing_zero).view(), c.text)
        << c.value << " precision " << c.precision << " flag " << c.trailing_zero;
  }
}

TEST(FloatToText, MoldReadsBackToTheSameBits) {
  std::mt19937_64 rng(20240611);
  std::vector<double> values = {0.1, 1.0 / 3, 5e-324, 2.2250738585072014e-308,
                                1.7976931348623157e308, 1e23, 8.41e21, 9007199254740993.0};
  for (int i = 0; i < 200000; ++i) {
    double v = std::bit_cast<double>(rng());
    if (std::isfinite(v)) values.push_back(v);
  }
  // Values with few decimal digits take the short paths of both directions.
  std::uniform_int_distribution<int> digits(0, 999999), exponent(-30, 30);
  for (int i = 0; i < 20000; ++i) values.push_back(digits(rng) * std::pow(10.0, exponent(rng)));
  int failures = 0;
  for (double v : values) {
    Text t = float_to_text(v, 0, true);
    std::size_t left = 99;
    double back = text_to_float(t.view(), 0, &left);
    if (std::bit_cast<u64>(back) != std::bit_cast<u64>(v) || left != 0) {
      if (++failures <= 5) ADD_FAILURE() << t.c_str() << " read back as " << back;
    }
  }
  EXPECT_EQ(failures, 0);
}

TEST(Form, FloatTextsWithAndWithoutPretty) {
  struct Case {
    double value;
    FormMode mode;
    bool pretty;
    const char* text;
  };
  const std::vector<Case> cases = {
      {1.0, FORM_FLOAT, true, "1.0"},
      {100.0, FORM_FLOAT, true, "100.0"},
      {-1.5, FORM_FLOAT, true, "-1.5"},
      {123.456, FORM_FLOAT, true, "123.456"},
      {1e15, FORM_FLOAT, true, "1000000000000000.0"},
      {1e16, FORM_FLOAT, true, "1.0e16"},
      {1e21, FORM_FLOAT, true, "1.0e21"},
      {1.5e-7, FORM_FLOAT, true, "1.5e-7"},
      {1.23e-5, FORM_FLOAT, true, "1.23e-5"},
      {1.0 / 3, FORM_FLOAT, true, "0.3333333333333333"},
      {INF, FORM_FLOAT, true, "1.#INF"},
      {-INF, FORM_FLOAT, true, "-1.#INF"},
      {std::nan(""), FORM_FLOAT, true, "1.#NaN"},
      {std::nan(""), FORM_PERCENT, true, "1.#NaN"},
      // Sixteen digits hide the error of a sum; the pretty retry hides the rest.
      {0.1 + 0.2, FORM_FLOAT, true, "0.3"},
      {0.1 + 0.7, FORM_FLOAT, true, "0.8"},
      {0.1 + 0.7, FORM_FLOAT, false, "0.7999999999999999"},
      {-(0.1 + 0.7), FORM_FLOAT, true, "-0.8"},
      {2.2 + 1.85, FORM_FLOAT, true, "4.05"},
      {2.2 + 1.85, FORM_FLOAT, false, "4.050000000000001"},
      {-(2.2 + 1.85), FORM_FLOAT, true, "-4.05"},
      {2.7000000000000005e24, FORM_FLOAT, true, "2.7e24"},
      {2.7000000000000005e24, FORM_FLOAT, false, "2.700000000000001e24"},
      // A text of 16 characters is not a candidate, whatever its last digits.
      {1.23400000000001, FORM_FLOAT, true, "1.23400000000001"},
      // Below the epsilon a value shows as zero when pretty.
      {1e-300, FORM_FLOAT, true, "0.0"},
      {1e-300, FORM_FLOAT, false, "1.0e-300"},
      {-0.0, FORM_FLOAT, true, "0.0"},
      {-0.0, FORM_FLOAT, false, "-0.0"},
      // Percent values come multiplied by 100.
      {50.0, FORM_PERCENT, true, "50%"},
      {12.5, FORM_PERCENT, true, "12.5%"},
      {0.0, FORM_PERCENT, true, "0%"},
      {1e20, FORM_PERCENT, true, "1e20%"},
      {1.0 / 3 * 100, FORM_PERCENT, true, "33.33333333333%"},
      {50.0, FORM_PERCENT32, true, "50%"},
      // Seconds of a time: six digits, no ".0".
      {1.5, FORM_TIME, true, "1.5"},
      {2.0, FORM_TIME, true, "2"},
      {59.9999999, FORM_TIME, true, "60"},
      {0.0, FORM_TIME, true, "0.0"},
      {0.0, FORM_TIME, false, "0"},
      {1e-7, FORM_TIME, true, "0.0000001"},
      // 32-bit floats and coordinates: seven digits; coordinates get no ".0".
      {double(0.1f), FORM_FLOAT32, true, "0.1"},
      {3.0, FORM_FLOAT32, true, "3.0"},
      {16777216.0, FORM_FLOAT32, true, "1.677722e7"},
      {1e10, FORM_FLOAT32, true, "1.0e10"},
      {3.0, FORM_COORD32, true, "3"},
      {2.5, FORM_COORD32, true, "2.5"},
      {1e10, FORM_COORD32, true, "1e10"},
      {1e-20, FORM_COORD32, true, "0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(form(c.value, c.mode, c.pretty).view(), c.text)
        << c.value << " mode " << int(c.mode) << " pretty " << c.pretty;
  }
}

TEST(ReduceAngle, FoldsBySineCosineAndTangentRules) {
  struct Case {
    double degrees;
    int kind;
    double folded;  // in degrees
  };
  const std::vector<Case> cases = {
      {270, 2, -90}, {270, 0, -90}, {270, 1, -90}, {135, 0, -45},  {135, 2, 45},
      {135, 1, 135}, {-135, 2, -45}, {-135, 0, 45}, {750, 2, 30},  {-200, 1, 160},
      {45, 0, 45},   {-45, 2, -45},  {180, 2, 0},   {360, 1, 0},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(reduce_angle(c.degrees, c.kind), c.folded * 3.141592653589793 / 180)
        << c.degrees << " kind " << c.kind;
  }
}

}  // namespace float_text_test
