// The projective map of an image onto a quadrilateral and the rasteriser
// that draws it, sampling as the quad rasteriser does (image_geometry.hpp).
//
// The map of an image of width x height onto the corners TL, TR, BR, BL is
// the product S x P x M (row vectors): S scales the image to the unit
// square; M is the affine map whose first row is TR - TL, second row
// BL - TL and translation TL, so that (1, 0) goes to TR and (0, 1) to BL;
// with (u, v) the coordinates of BR in M's frame, P is the perspective
// division that sends (1, 1) to (u, v): x' = x u / (u + v - 1),
// y' = y v / (u + v - 1), w = x (u / (u + v - 1) - 1) + y (v / (u + v - 1) - 1) + 1.
//
// Pixel buffers are 32-bit words (premultiplied or not: each byte is sampled
// alike), rows `stride` words apart, outside the collected region.
#pragma once

#include <optional>

#include "runtime/cell.hpp"

namespace qel::perspective {

// A projective map of the plane as a 3x3 matrix for row vectors:
// [x y 1] m = [X Y W], the point (X / W, Y / W).
struct Map {
  double m[3][3];
};

// The map from image pixel coordinates (0..width, 0..height) onto the
// quadrilateral (corners in the order TL, TR, BR, BL). Nothing when the
// quadrilateral cannot be the image of a rectangle: corners on one line, or
// a shape that is not convex (u + v = 1 among them), or a size below 1.
std::optional<Map> image_to_quad(double width, double height, const double x[4], const double y[4]);
// The inverse map; nothing for a singular one.
std::optional<Map> inverse(const Map& map);

// Draws the area (x0, y0, width x height) of a destination: each pixel gets
// the bilinear sample of the source at the point its centre maps to (the
// map goes from destination to source coordinates), the source's edge
// pixels standing for what lies past them; pixels whose centre maps behind
// the horizon are 0. Every pixel of the area is written.
void render(const u32* src, int src_stride, int src_width, int src_height, const Map& dest_to_src, u32* dst,
            int dst_stride, int x0, int y0, int width, int height);

}  // namespace qel::perspective
