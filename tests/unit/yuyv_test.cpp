#include "view/backend/yuyv.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using qel::view::backend::yuyv::to_bgra;

// Within 2 per channel of the expected colour (rounding differs among
// converters).
bool near(std::uint32_t got, std::uint32_t want) {
  for (int shift : {0, 8, 16, 24}) {
    int a = int(got >> shift & 0xFF), b = int(want >> shift & 0xFF);
    if (a - b > 2 || b - a > 2) return false;
  }
  return true;
}

TEST(Yuyv, StudioRangeColoursBecomeOpaqueBgra) {
  struct Case {
    std::uint8_t y, u, v;
    std::uint32_t bgra;
  };
  const Case cases[] = {
      {16, 128, 128, 0xFF000000},   // black
      {235, 128, 128, 0xFFFFFFFF},  // white
      {0, 128, 128, 0xFF000000},    // below black is clipped
      {255, 128, 128, 0xFFFFFFFF},  // above white is clipped
      {81, 90, 240, 0xFFFF0000},    // red
      {145, 54, 34, 0xFF00FF00},    // green
      {41, 240, 110, 0xFF0000FF},   // blue
      {126, 128, 128, 0xFF808080},  // grey
  };
  for (const Case& c : cases) {
    std::uint8_t src[4] = {c.y, c.u, c.y, c.v};
    std::uint32_t out[2] = {0, 0};
    to_bgra(src, 4, 2, 1, 4, out);
    EXPECT_TRUE(near(out[0], c.bgra) && out[0] == out[1])
        << int(c.y) << "," << int(c.u) << "," << int(c.v) << " gave " << std::hex << out[0];
  }
}

TEST(Yuyv, PairsShareTheirChromaRowsFollowTheStrideAndShortFramesStop) {
  // Two rows of two pixels, the rows 8 bytes apart (padding after each).
  std::vector<std::uint8_t> src = {16, 128, 235, 128, 9, 9, 9, 9, 235, 128, 16, 128, 9, 9, 9, 9};
  std::vector<std::uint32_t> out(4, 0x12345678);
  to_bgra(src.data(), src.size(), 2, 2, 8, out.data());
  EXPECT_EQ(out, (std::vector<std::uint32_t>{0xFF000000, 0xFFFFFFFF, 0xFFFFFFFF, 0xFF000000}));
  // A frame cut short leaves the pixels it has no bytes for.
  std::fill(out.begin(), out.end(), 0x12345678);
  to_bgra(src.data(), 10, 2, 2, 8, out.data());
  EXPECT_EQ(out, (std::vector<std::uint32_t>{0xFF000000, 0xFFFFFFFF, 0x12345678, 0x12345678}));
  // An odd width: the last pixel of a row is the first of its pair.
  std::vector<std::uint32_t> three(3, 0);
  std::uint8_t odd[8] = {16, 128, 235, 128, 235, 128, 0, 128};
  to_bgra(odd, 8, 3, 1, 8, three.data());
  EXPECT_EQ(three, (std::vector<std::uint32_t>{0xFF000000, 0xFFFFFFFF, 0xFFFFFFFF}));
}

}  // namespace
