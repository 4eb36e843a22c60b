#include "datatypes/image_geometry.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "datatypes/image.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "runtime/error.hpp"
#include "runtime/stack.hpp"

namespace qel::vec2 {

double length(Vec v) { return std::sqrt(v.x * v.x + v.y * v.y); }

void normalize(Vec& v) {
  double n = length(v);
  if (n > 0) v = {v.x / n, v.y / n};
}

Vec from_points(double x1, double y1, double x2, double y2) { return {x2 - x1, y2 - y1}; }
double cross(Vec a, Vec b) { return a.x * b.y - a.y * b.x; }
double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y; }

bool right_turn(Vec p, Vec o, Vec q) { return cross({p.x - o.x, p.y - o.y}, {q.x - o.x, q.y - o.y}) < 0; }
bool left_turn(Vec p, Vec o, Vec q) { return cross({p.x - o.x, p.y - o.y}, {q.x - o.x, q.y - o.y}) > 0; }

double distance_to_line(Vec point, Vec start, Vec end) {
  Vec d = from_points(start.x, start.y, end.x, end.y);
  normalize(d);
  return std::fabs(cross({point.x - start.x, point.y - start.y}, d));
}

Vec rotate(Vec v, int degrees) {
  double r = degrees * 3.14159265359 / 180;
  double c = std::cos(r), s = std::sin(r);
  return {v.x * c - v.y * s, v.x * s + v.y * c};
}

}  // namespace qel::vec2

namespace qel::quad {

void reflect_x(Quad& q, float axis) {
  for (float& x : q.x) x = 2 * axis - x;
}
void reflect_y(Quad& q, float axis) {
  for (float& y : q.y) y = 2 * axis - y;
}

bool contains(const Quad& q, double x, double y) {
  bool all_in = true, all_out = true;
  for (int i = 0; i < 4; ++i) {
    int j = (i + 1) % 4;
    double c = vec2::cross({double(q.x[j]) - q.x[i], double(q.y[j]) - q.y[i]}, {x - q.x[i], y - q.y[i]});
    if (c < 0) all_in = false;
    if (c > 0) all_out = false;
  }
  return all_in || all_out;
}

u32 sample_bilinear(const u32* src, int stride, int width, int height, double u, double v) {
  int x0 = int(u), y0 = int(v);  // u and v are not negative: truncation is the floor
  int x1 = x0 + 1 < width ? x0 + 1 : x0, y1 = y0 + 1 < height ? y0 + 1 : y0;
  double fx = u - x0, fy = v - y0;
  const u32* r0 = src + std::size_t(y0) * std::size_t(stride);
  const u32* r1 = src + std::size_t(y1) * std::size_t(stride);
  u32 p00 = r0[x0], p10 = r0[x1], p01 = r1[x0], p11 = r1[x1];
  double w00 = (1 - fx) * (1 - fy), w10 = fx * (1 - fy), w01 = (1 - fx) * fy, w11 = fx * fy;
  u32 out = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    double s = w00 * (p00 >> shift & 0xFF) + w10 * (p10 >> shift & 0xFF) + w01 * (p01 >> shift & 0xFF) +
               w11 * (p11 >> shift & 0xFF);
    out |= u32(std::min(255.0, s)) << shift;
  }
  return out;
}

std::optional<Raster> rasterize(const u32* src, int width, int height, const Quad& q) {
  if (width < 1 || height < 1) return std::nullopt;
  float min_x = *std::min_element(q.x, q.x + 4), max_x = *std::max_element(q.x, q.x + 4);
  float min_y = *std::min_element(q.y, q.y + 4), max_y = *std::max_element(q.y, q.y + 4);
  Raster r;
  r.x = int(min_x);
  r.y = int(min_y);
  r.width = int(max_x) - int(min_x);
  r.height = int(max_y) - int(min_y);
  if (r.width < 0 || r.height < 0 || u64(r.width) * u64(r.height) > (u64(1) << 30)) return std::nullopt;
  r.pixels.assign(std::size_t(r.width) * std::size_t(r.height), 0);
  vec2::Vec start[4], dir[4];
  for (int i = 0; i < 4; ++i) {
    int j = (i + 1) % 4;
    start[i] = {q.x[i], q.y[i]};
    dir[i] = vec2::from_points(q.x[i], q.y[i], q.x[j], q.y[j]);
    vec2::normalize(dir[i]);
  }
  for (int j = 0; j < r.height; ++j) {
    double py = r.y + j;
    for (int i = 0; i < r.width; ++i) {
      double px = r.x + i;
      if (!contains(q, px, py)) continue;
      double d[4];
      for (int e = 0; e < 4; ++e) {
        d[e] = std::fabs(vec2::cross({px - start[e].x, py - start[e].y}, dir[e]));
      }
      double su = d[3] + d[1], sv = d[0] + d[2];
      if (su <= 0 || sv <= 0) continue;
      double u = d[3] / su * width, v = d[0] / sv * height;
      if (!(u >= 0 && v >= 0 && u < width && v < height)) continue;
      u32 out = sample_bilinear(src, width, width, height, u, v);
      r.pixels[std::size_t(j) * r.width + i] = out;
    }
  }
  return r;
}

}  // namespace qel::quad

namespace qel::image {

bool copy_pixels_rect(const u32* buffer, int width, int height, int x, int y, int w, int h, u32* dst) {
  if (x < 0 || y < 0 || x >= width || y >= height) return false;
  int cw = std::min(w, width - x), ch = std::min(h, height - y);
  for (int row = 0; row < ch; ++row) {
    std::memcpy(dst + std::size_t(row) * w, buffer + std::size_t(y + row) * width + x, std::size_t(cw) * 4);
  }
  return true;
}

std::vector<u32> scale_pixels(const u32* src, int width, int height, int new_width, int new_height) {
  quad::Quad q{{0, float(new_width), float(new_width), 0}, {0, 0, float(new_height), float(new_height)}};
  auto r = quad::rasterize(src, width, height, q);
  return r ? std::move(r->pixels) : std::vector<u32>{};
}

void yuy2_to_bgra(int pairs, int rows, const u8* in, u32* dst) {
  auto clamp = [](int v) { return u32(std::clamp(v, 0, 255)); };
  for (long k = 0, n = long(pairs) * rows; k < n; ++k) {
    const u8* p = in + k * 4;
    int u = p[1] - 128, v = p[3] - 128;
    int dr = (v * 91881) >> 16, dg = ((v * 46792) >> 16) + ((u * 21889) >> 16), db = (u * 116129) >> 16;
    for (int h = 0; h < 2; ++h) {
      int y = p[h * 2];
      dst[k * 2 + h] = 0xFF000000u | clamp(y + dr) << 16 | clamp(y - dg) << 8 | clamp(y + db);
    }
  }
}

namespace {

void point_of(const Cell* c, float& x, float& y) {
  if (type_of(c) == TYPE_PAIR) {
    x = float(pair::x(c));
    y = float(pair::y(c));
  } else if (type_of(c) == TYPE_POINT2D) {
    x = point::coord(c, 0);
    y = point::coord(c, 1);
  } else {
    fire(Err::script_invalid_arg, c);
  }
}

}  // namespace

Cell* draw_transformed(const Cell* img, const Cell* crop_offset, const Cell* crop_size, const Cell* corners,
                       int count, Placement* out) {
  int w = int(width(img)), h = int(height(img)), cx = 0, cy = 0;
  if (crop_offset && crop_size) {
    cx = std::clamp(pair::x(crop_offset), 0, w);
    cy = std::clamp(pair::y(crop_offset), 0, h);
    w = std::clamp(pair::x(crop_size), 0, w - cx);
    h = std::clamp(pair::y(crop_size), 0, h - cy);
  }
  float px[4], py[4];
  for (int i = 0; i < count && i < 4; ++i) point_of(corners + i, px[i], py[i]);
  quad::Quad q;
  switch (count) {
    case 1: q = {{px[0], px[0] + w, px[0] + w, px[0]}, {py[0], py[0], py[0] + h, py[0] + h}}; break;
    case 2: q = {{px[0], px[1], px[1], px[0]}, {py[0], py[0], py[1], py[1]}}; break;
    case 3: q = {{px[0], px[1], px[2], px[0] + px[2] - px[1]}, {py[0], py[1], py[2], py[0] + py[2] - py[1]}}; break;
    case 4: q = {{px[0], px[1], px[2], px[3]}, {py[0], py[1], py[2], py[3]}}; break;
    default: return make_none(stack::push());
  }
  bool mirror_x = q.x[0] > q.x[1], mirror_y = q.y[0] > q.y[3];
  if (mirror_x) quad::reflect_x(q, (std::min({q.x[0], q.x[1], q.x[2], q.x[3]}) + std::max({q.x[0], q.x[1], q.x[2], q.x[3]})) / 2);
  if (mirror_y) quad::reflect_y(q, (std::min({q.y[0], q.y[1], q.y[2], q.y[3]}) + std::max({q.y[0], q.y[1], q.y[2], q.y[3]})) / 2);
  if (!record(img) || w < 1 || h < 1) return make_none(stack::push());
  std::vector<u32> src(std::size_t(w) * h);
  copy_pixels_rect(pixels(record(img)), int(width(img)), int(height(img)), cx, cy, w, h, src.data());
  auto r = quad::rasterize(src.data(), w, h, q);
  if (!r || r->width < 1 || r->height < 1) return make_none(stack::push());
  if (out) *out = {r->x, r->y, mirror_x ? -r->width : r->width, mirror_y ? -r->height : r->height};
  return push_from_pixels(u32(r->width), u32(r->height), r->pixels.data());
}

}  // namespace qel::image
