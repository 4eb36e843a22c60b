// The quad rasteriser and its helpers: the source rectangle reproduces the
// source; a rotated quad matches an independent inverse mapping within a
// stated tolerance; mirrored corner orders report negative sizes.
#include <cmath>
#include <vector>

#include "datatypes/image.hpp"
#include "datatypes/image_geometry.hpp"
#include "test_support.hpp"

namespace qel::test {
namespace {

// A smooth source: a gradient, so bilinear sampling stays close to the truth.
std::vector<u32> gradient(int w, int h) {
  std::vector<u32> px;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) px.push_back(0xFF000000u | u32(x * 255 / (w - 1)) << 16 | u32(y * 255 / (h - 1)) << 8 | 0x40);
  return px;
}

int pixel_channel_diff(u32 a, u32 b) {
  int worst = 0;
  for (int s = 0; s < 32; s += 8) worst = std::max(worst, std::abs(int(a >> s & 0xFF) - int(b >> s & 0xFF)));
  return worst;
}

TEST(ImageGeometry, SourceRectangleReproducesTheSource) {
  std::vector<u32> src = gradient(7, 5);
  src[3] = 0x80123456u;  // one translucent pixel: alpha is carried like the colours
  quad::Quad q{{0, 7, 7, 0}, {0, 0, 5, 5}};
  auto r = quad::rasterize(src.data(), 7, 5, q);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->x, 0);
  EXPECT_EQ(r->y, 0);
  EXPECT_EQ(r->width, 7);
  EXPECT_EQ(r->height, 5);
  EXPECT_EQ(r->pixels, src);
  EXPECT_EQ(image::scale_pixels(src.data(), 7, 5, 7, 5), src);
  EXPECT_FALSE(quad::rasterize(src.data(), 0, 5, q));
}

// Rotated by 30 degrees about (20, 20): each destination pixel inside the quad
// must match the source sampled at the exact inverse rotation within 12 per
// channel (bilinear against nearest of a gradient of at most 16 per pixel),
// and pixels well outside stay transparent black.
TEST(ImageGeometry, RotatedQuadMatchesTheInverseMapping) {
  const int w = 17, h = 17;
  std::vector<u32> src = gradient(w, h);
  const double a = 30 * 3.14159265358979 / 180, c = std::cos(a), s = std::sin(a);
  const double ox = 20, oy = 20;
  auto fwd = [&](double u, double v, float& x, float& y) {
    x = float(ox + u * c - v * s);
    y = float(oy + u * s + v * c);
  };
  quad::Quad q;
  fwd(0, 0, q.x[0], q.y[0]);
  fwd(w, 0, q.x[1], q.y[1]);
  fwd(w, h, q.x[2], q.y[2]);
  fwd(0, h, q.x[3], q.y[3]);
  auto r = quad::rasterize(src.data(), w, h, q);
  ASSERT_TRUE(r);
  int inside = 0, outside = 0;
  for (int j = 0; j < r->height; ++j) {
    for (int i = 0; i < r->width; ++i) {
      double px = r->x + i - ox, py = r->y + j - oy;
      double u = px * c + py * s, v = -px * s + py * c;
      u32 got = r->pixels[std::size_t(j) * r->width + i];
      if (u >= 1 && v >= 1 && u <= w - 2 && v <= h - 2) {
        u32 want = src[std::size_t(std::lround(v)) * w + std::size_t(std::lround(u))];
        EXPECT_LE(pixel_channel_diff(got, want), 12) << i << "," << j;
        ++inside;
      } else if (u < -1 || v < -1 || u > w + 1 || v > h + 1) {
        EXPECT_EQ(got, 0u) << i << "," << j;
        ++outside;
      }
    }
  }
  EXPECT_GT(inside, 150);
  EXPECT_GT(outside, 50);
}

class ImageTransformTest : public RuntimeTest {};

TEST_F(ImageTransformTest, CornerCountsAndMirroring) {
  std::vector<u32> src = gradient(4, 3);
  Cell* img = image::push_from_pixels(4, 3, src.data());
  struct Case {
    std::vector<Cell> corners;
    image::Placement want;
  };
  auto pt = [](i32 x, i32 y) { return *load(std::to_string(x) + "x" + std::to_string(y)); };
  const Case cases[] = {
      {{pt(10, 20)}, {10, 20, 4, 3}},
      {{pt(2, 2), pt(10, 8)}, {2, 2, 8, 6}},
      {{pt(10, 2), pt(2, 8)}, {2, 2, -8, 6}},  // right to left: mirrored
      {{pt(2, 8), pt(10, 2)}, {2, 2, 8, -6}},  // bottom to top
      {{pt(0, 0), pt(4, 0), pt(4, 3)}, {0, 0, 4, 3}},
      {{pt(0, 0), pt(4, 0), pt(4, 3), pt(0, 3)}, {0, 0, 4, 3}},
  };
  for (const Case& c : cases) {
    image::Placement got{};
    Cell* out = image::draw_transformed(img, nullptr, nullptr, c.corners.data(), int(c.corners.size()), &got);
    ASSERT_EQ(type_of(out), TYPE_IMAGE);
    EXPECT_EQ(got.x, c.want.x);
    EXPECT_EQ(got.y, c.want.y);
    EXPECT_EQ(got.width, c.want.width);
    EXPECT_EQ(got.height, c.want.height);
  }
  // The untransformed placement reproduces the pixels; a crop takes its part.
  Cell one = pt(0, 0);
  Cell* same = image::draw_transformed(img, nullptr, nullptr, &one, 1, nullptr);
  EXPECT_EQ(molded(same), molded(img));
  Cell off = pt(1, 1), size = pt(2, 9);
  Cell* part = image::draw_transformed(img, &off, &size, &one, 1, nullptr);
  EXPECT_EQ(image::width(part), 2u);
  EXPECT_EQ(image::height(part), 2u);
  EXPECT_EQ(image::pixels(image::record(part))[0], src[5]);
  std::vector<Cell> five(5, pt(1, 1));
  EXPECT_EQ(molded(image::draw_transformed(img, nullptr, nullptr, five.data(), 5, nullptr)), "none");
}

TEST_F(ImageTransformTest, ResizeIsNearestNeighbourAndFlipTurnsRows) {
  const u32 px[6] = {1, 2, 3, 4, 5, 6};  // 3x2
  Cell* img = image::push_from_pixels(3, 2, px);
  Cell* big = image::resize(img, 6, 4);
  ASSERT_EQ(image::width(big), 6u);
  const u32* b = image::pixels(image::record(big));
  EXPECT_EQ(std::vector<u32>(b, b + 24), (std::vector<u32>{1, 1, 2, 2, 3, 3, 1, 1, 2, 2, 3, 3,
                                                          4, 4, 5, 5, 6, 6, 4, 4, 5, 5, 6, 6}));
  Cell* small = image::resize(img, 1, 1);
  EXPECT_EQ(image::pixels(image::record(small))[0], 1u);
  EXPECT_EQ(image::record(image::resize(img, 0, 5)), 0u);
  Cell* flipped = image::flip_vertical(img);
  const u32* f = image::pixels(image::record(flipped));
  EXPECT_EQ(std::vector<u32>(f, f + 6), (std::vector<u32>{4, 5, 6, 1, 2, 3}));
  EXPECT_EQ(image::pixels(image::record(img))[0], 1u);  // a new image: the source is kept
}

TEST(ImageGeometry, PixelUtilitiesAndVectors) {
  // Y U Y V: grey stays grey; chroma moves R and B by the fixed-point factors.
  const u8 yuy2[] = {128, 128, 64, 128, 100, 28, 200, 228};
  u32 out[4];
  image::yuy2_to_bgra(2, 1, yuy2, out);
  EXPECT_EQ(out[0], 0xFF808080u);
  EXPECT_EQ(out[1], 0xFF404040u);
  // u = -100, v = 100: R = Y + 140, G = Y - 71 + 34, B = Y - 178 (clamped).
  EXPECT_EQ(out[2], 0xFFF03F00u);
  EXPECT_EQ(out[3], 0xFFFFA316u);

  std::vector<u32> src = gradient(4, 3), dst(4, 7);
  EXPECT_TRUE(image::copy_pixels_rect(src.data(), 4, 3, 2, 1, 2, 2, dst.data()));
  EXPECT_EQ(dst, (std::vector<u32>{src[6], src[7], src[10], src[11]}));
  EXPECT_FALSE(image::copy_pixels_rect(src.data(), 4, 3, 4, 0, 1, 1, dst.data()));

  EXPECT_DOUBLE_EQ(vec2::length({3, 4}), 5);
  EXPECT_DOUBLE_EQ(vec2::cross({1, 0}, {0, 1}), 1);
  EXPECT_DOUBLE_EQ(vec2::dot({1, 2}, {3, 4}), 11);
  EXPECT_TRUE(vec2::left_turn({1, 0}, {0, 0}, {0, 1}));
  EXPECT_TRUE(vec2::right_turn({0, 1}, {0, 0}, {1, 0}));
  EXPECT_NEAR(vec2::distance_to_line({5, 7}, {0, 0}, {10, 0}), 7, 1e-12);
  vec2::Vec r = vec2::rotate({1, 0}, 90);
  EXPECT_NEAR(r.x, 0, 1e-9);
  EXPECT_NEAR(r.y, 1, 1e-9);
  quad::Quad q{{0, 4, 4, 0}, {0, 0, 2, 2}};
  EXPECT_TRUE(quad::contains(q, 1, 1));
  EXPECT_TRUE(quad::contains(q, 4, 2));
  EXPECT_FALSE(quad::contains(q, 5, 1));
  quad::reflect_x(q, 10);
  EXPECT_EQ(q.x[1], 16);
}

}  // namespace
}  // namespace qel::test
