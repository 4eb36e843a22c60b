// 2-D vector helpers and the software rasteriser that maps an image onto a
// convex quadrilateral with bilinear sampling, plus two pixel utilities.
//
// Pixel buffers here are plain 32-bit BGRA words (0xAARRGGBB), rows without
// padding, outside the collected region.
#pragma once

#include <optional>
#include <vector>

#include "runtime/cell.hpp"

namespace qel::vec2 {

struct Vec {
  double x, y;
};

double length(Vec v);
void normalize(Vec& v);  // a zero vector stays zero
Vec from_points(double x1, double y1, double x2, double y2);
double cross(Vec a, Vec b);
double dot(Vec a, Vec b);
bool right_turn(Vec p, Vec o, Vec q);
bool left_turn(Vec p, Vec o, Vec q);
double distance_to_line(Vec point, Vec start, Vec end);
Vec rotate(Vec v, int degrees);

}  // namespace qel::vec2

namespace qel::quad {

// Four corners in drawing order: top-left, top-right, bottom-right,
// bottom-left for an untransformed image.
struct Quad {
  float x[4], y[4];
};

void reflect_x(Quad& q, float axis);
void reflect_y(Quad& q, float axis);
// On the inner side of all four edges (edges included), in either winding.
bool contains(const Quad& q, double x, double y);

struct Raster {
  int x, y, width, height;      // the bounding box
  std::vector<u32> pixels;      // width * height words, 0 outside the quad
};

// Maps the source onto the quad; nothing for an empty source.
std::optional<Raster> rasterize(const u32* src, int width, int height, const Quad& q);

// The bilinear sample of the source (rows `stride` words apart) at (u, v),
// 0 <= u < width and 0 <= v < height: pixel (floor u, floor v), its right
// neighbour and the two below it (a neighbour past the last column or row is
// the pixel itself), each of the four bytes weighted by the fractional parts
// and the sums truncated.
u32 sample_bilinear(const u32* src, int stride, int width, int height, double u, double v);

}  // namespace qel::quad

namespace qel::image {

// Copies the w x h rectangle at (x, y) of the buffer into dst (w * h words),
// clipped to the buffer; false when (x, y) lies outside it.
bool copy_pixels_rect(const u32* buffer, int width, int height, int x, int y, int w, int h, u32* dst);
// The source scaled to new_width x new_height through the rasteriser.
std::vector<u32> scale_pixels(const u32* src, int width, int height, int new_width, int new_height);
// Packed YUV 4:2:2 (Y0 U Y1 V) to opaque BGRA pixels: pairs pixel pairs a
// row, rows rows.
void yuy2_to_bgra(int pairs, int rows, const u8* yuy2, u32* dst);

struct Placement {
  int x, y, width, height;  // width or height negative for a mirrored quad
};
// Pushes a new image! of the quadrilateral's bounding box drawn from the
// image (cropped to crop_offset/crop_size when crop is set), or none. The
// corners are count pair! or point2D! cells: one point gives a rectangle of
// the source's size there, two opposite corners, three a parallelogram,
// four a quad as it is.
Cell* draw_transformed(const Cell* img, const Cell* crop_offset, const Cell* crop_size,
                       const Cell* corners, int count, Placement* out);

}  // namespace qel::image
