#include "datatypes/image_perspective.hpp"

#include <cmath>

#include "datatypes/image_geometry.hpp"

namespace qel::perspective {

namespace {

void multiply(const double a[3][3], const double b[3][3], double out[3][3]) {
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) out[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
  }
}

}  // namespace

std::optional<Map> image_to_quad(double width, double height, const double x[4], const double y[4]) {
  if (!(width >= 1) || !(height >= 1)) return std::nullopt;
  // M: (1, 0) to TR, (0, 1) to BL.
  double ax = x[1] - x[0], ay = y[1] - y[0], bx = x[3] - x[0], by = y[3] - y[0];
  double det = ax * by - ay * bx;
  double scale = std::fabs(ax * ax + ay * ay) + std::fabs(bx * bx + by * by);
  if (!(std::fabs(det) > 1e-9 * scale) || !std::isfinite(det)) return std::nullopt;  // corners on one line
  // BR in M's frame.
  double cx = x[2] - x[0], cy = y[2] - y[0];
  double u = (cx * by - cy * bx) / det, v = (ax * cy - ay * cx) / det;
  double d = u + v - 1;
  // A convex quadrilateral has BR beyond the diagonal TR-BL on the far side
  // from TL: u > 0, v > 0, u + v > 1. Anything else (u + v = 1 too) would
  // put the horizon across the image.
  const double eps = 1e-9;
  if (!(u > eps) || !(v > eps) || !(d > eps)) return std::nullopt;
  double m11 = u / d, m22 = v / d;
  double s[3][3] = {{1 / width, 0, 0}, {0, 1 / height, 0}, {0, 0, 1}};
  double p[3][3] = {{m11, 0, m11 - 1}, {0, m22, m22 - 1}, {0, 0, 1}};
  double m[3][3] = {{ax, ay, 0}, {bx, by, 0}, {x[0], y[0], 1}};
  double sp[3][3];
  multiply(s, p, sp);
  Map out;
  multiply(sp, m, out.m);
  return out;
}

std::optional<Map> inverse(const Map& map) {
  const auto& a = map.m;
  double c00 = a[1][1] * a[2][2] - a[1][2] * a[2][1];
  double c01 = a[1][2] * a[2][0] - a[1][0] * a[2][2];
  double c02 = a[1][0] * a[2][1] - a[1][1] * a[2][0];
  double det = a[0][0] * c00 + a[0][1] * c01 + a[0][2] * c02;
  if (!(det != 0) || !std::isfinite(det)) return std::nullopt;
  Map out;
  auto& r = out.m;
  r[0][0] = c00 / det;
  r[1][0] = c01 / det;
  r[2][0] = c02 / det;
  r[0][1] = (a[0][2] * a[2][1] - a[0][1] * a[2][2]) / det;
  r[1][1] = (a[0][0] * a[2][2] - a[0][2] * a[2][0]) / det;
  r[2][1] = (a[0][1] * a[2][0] - a[0][0] * a[2][1]) / det;
  r[0][2] = (a[0][1] * a[1][2] - a[0][2] * a[1][1]) / det;
  r[1][2] = (a[0][2] * a[1][0] - a[0][0] * a[1][2]) / det;
  r[2][2] = (a[0][0] * a[1][1] - a[0][1] * a[1][0]) / det;
  return out;
}

void render(const u32* src, int src_stride, int src_width, int src_height, const Map& map, u32* dst,
            int dst_stride, int x0, int y0, int width, int height) {
  const auto& m = map.m;
  double max_u = src_width - 1, max_v = src_height - 1;
  for (int j = 0; j < height; ++j) {
    u32* row = dst + std::size_t(j) * std::size_t(dst_stride);
    double py = y0 + j + 0.5;
    double px = x0 + 0.5;
    // Along a row X, Y and W each grow by a constant step.
    double X = px * m[0][0] + py * m[1][0] + m[2][0];
    double Y = px * m[0][1] + py * m[1][1] + m[2][1];
    double W = px * m[0][2] + py * m[1][2] + m[2][2];
    for (int i = 0; i < width; ++i, X += m[0][0], Y += m[0][1], W += m[0][2]) {
      if (!(W > 0)) {
        row[i] = 0;
        continue;
      }
      double inv = 1 / W;
      // Pixel centres sit at whole coordinates + 0.5 in both spaces.
      double u = X * inv - 0.5, v = Y * inv - 0.5;
      u = u > 0 ? (u < max_u ? u : max_u) : 0;
      v = v > 0 ? (v < max_v ? v : max_v) : 0;
      row[i] = quad::sample_bilinear(src, src_stride, src_width, src_height, u, v);
    }
  }
}

}  // namespace qel::perspective
