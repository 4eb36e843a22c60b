// YUYV 4:2:2 camera frames (two pixels in four bytes: Y0 U Y1 V, studio
// range) to 32-bit BGRA pixels (0xAARRGGBB words, opaque). Plain code with
// no toolkit in it, so that it runs on the capture thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace qel::view::backend::yuyv {

inline std::uint32_t pixel(int y, int u, int v) {
  int c = y - 16, d = u - 128, e = v - 128;
  auto clip = [](int x) { return std::uint32_t(std::clamp(x >> 8, 0, 255)); };
  std::uint32_t r = clip(298 * c + 409 * e + 128);
  std::uint32_t g = clip(298 * c - 100 * d - 208 * e + 128);
  std::uint32_t b = clip(298 * c + 516 * d + 128);
  return 0xFF000000u | r << 16 | g << 8 | b;
}

// Converts width x height pixels from src (stride bytes a row, length bytes
// in all) into out (width x height words). Rows or pixel pairs the source
// is too short for keep what out held; an odd last pixel takes its pair's
// colour.
inline void to_bgra(const std::uint8_t* src, std::size_t length, std::uint32_t width, std::uint32_t height,
                    std::size_t stride, std::uint32_t* out) {
  for (std::uint32_t row = 0; row < height; ++row) {
    std::size_t at = std::size_t(row) * stride;
    std::uint32_t* o = out + std::size_t(row) * width;
    for (std::uint32_t x = 0; x < width; x += 2, at += 4) {
      if (at + 4 > length) return;
      const std::uint8_t* p = src + at;
      o[x] = pixel(p[0], p[1], p[3]);
      if (x + 1 < width) o[x + 1] = pixel(p[2], p[1], p[3]);
    }
  }
}

}  // namespace qel::view::backend::yuyv
