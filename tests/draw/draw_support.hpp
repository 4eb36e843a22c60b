// What the draw engine's tests share: images to draw into, DRAW blocks from
// Qel text, and pixels read back.
#pragma once

#include <string>
#include <string_view>

#include "datatypes/image.hpp"
#include "tests/unit/test_support.hpp"

namespace qel::test {

// A new image! of the size, every pixel the straight-alpha word given,
// pushed (so rooted).
Cell* new_image(u32 width, u32 height, u32 pixel = 0);
// The pixel at (x, y) of an image: 0xAARRGGBB, straight alpha.
u32 pixel_at(const Cell* image, u32 x, u32 y);
// Draws the DRAW source into the image (raises as the draw routine does).
void draw_into(Cell* image, std::string_view source);

}  // namespace qel::test
