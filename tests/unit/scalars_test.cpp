// The constructors that other modules call to build scalar values (the
// file layer, QELBIN, the GUI): dates from parts, raw money digits, tuples
// from data words, and the day-number arithmetic under them.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/date.hpp"
#include "datatypes/money.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/tuple.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

namespace scalars_test {

using namespace qel;
using namespace qel::test;

namespace {

class Scalars : public test::RuntimeTest {};

TEST_F(Scalars, DayNumbersRoundTripOverFourHundredYears) {
  // Day 0 is 1 March of year 0, a Wednesday; every day number gives back
  // itself through the packed word, across leap days and negative years.
  EXPECT_EQ(date::to_days(date::from_days(0, 0, false)), 0);
  EXPECT_EQ(date::month(date::from_days(0, 0, false)), 3);
  for (i64 d = -800000; d <= 800000; d += 97) {
    u32 w = date::from_days(d, 0, false);
    ASSERT_EQ(date::to_days(w), d) << d;
    ASSERT_GE(date::day(w), 1);
    ASSERT_LE(date::month(w), 12);
  }
  // Leap days of negative years fall where the calendar has them: -4 is a
  // leap year (divisible by 4), -3 is not.
  auto days = [](i32 y, i32 m, i32 d) {
    return date::to_days((u32(y) << 17) | (u32(m) << 12) | (u32(d) << 7));
  };
  EXPECT_EQ(days(-4, 3, 1) - days(-4, 2, 28), 2);
  EXPECT_EQ(days(-3, 3, 1) - days(-3, 2, 28), 1);
  EXPECT_EQ(days(1, 1, 1) - days(-1, 1, 1), 366 + 365);  // year 0 is a leap year
}

TEST_F(Scalars, DatesFromPartsKeepTheLocalDateAndStoreUtc) {
  Cell c{};
  date::make_at(&c, 2020, 1, 1, 30 * 60.0, 2, 0, true);
  EXPECT_EQ(molded(c), "1-Jan-2020/0:30:00+02:00");
  EXPECT_DOUBLE_EQ(date::stored_time(&c), -1.5 * 3600);  // 31-Dec-2019 22:30 UTC
  EXPECT_DOUBLE_EQ(date::local_time(&c), 30 * 60.0);
  date::make_at_hms(&c, 2021, 3, 5, 14, 30, 1, 500000000);
  EXPECT_EQ(molded(c), "5-Mar-2021/14:30:01.5");
  date::make_at(&c, 7, 3, 5, 0, 0, 0, false);
  EXPECT_EQ(molded(c), "5-Mar-0007");
  EXPECT_EQ(date::zone_seconds(date::zone_from(-3, 30)), -(3 * 3600 + 1800));
  EXPECT_EQ(date::zone_seconds(date::zone_from(0, -45)), -45 * 60);
  EXPECT_EQ(date::zone_from(0, 0), 0u);
}

TEST_F(Scalars, RawMoneyDigitsRoundTrip) {
  Cell m = *load("-$1234.56789");  // (no currency list without the system object)
  u8 digits[11];
  money::bcd_bytes(&m, digits);
  Cell back{};
  money::make_at_bcd(&back, money::negative_bit(&m), money::currency(&m), digits);
  EXPECT_EQ(molded(back, {.all = true}), "-$1234.56789");
  EXPECT_EQ(money::amount(&back), money::amount(&m));
  // digit 17 (the units) is the high nibble of digit byte 8, the first
  // fraction digit its low nibble
  EXPECT_EQ(digits[8], 0x45);
  EXPECT_EQ(money::sign(&back), -1);
}

TEST_F(Scalars, TuplesPairsAndPointsFromTheirParts) {
  Cell* t = tuple::push(2, 0x04030201u, 0, 0);  // padded to three bytes
  EXPECT_EQ(molded(t), "1.2.3");
  u8 bytes[] = {10, 20};
  Cell c{};
  tuple::make_at(&c, 2, bytes);
  EXPECT_EQ(molded(c), "10.20.0");
  EXPECT_TRUE(tuple::all_zero_q(tuple::push(5, 0, 0, 0)));
  EXPECT_EQ(molded(pair::push(-1, 2147483647)), "-1x2147483647");
  EXPECT_EQ(molded(point::push_2d(0.5f, -2.0f)), "(0.5, -2)");
  EXPECT_EQ(molded(point::push_3d(1.0f, 2.0f, 3.25f)), "(1, 2, 3.25)");
  stack::pop(5);
}

}  // namespace

}  // namespace scalars_test
