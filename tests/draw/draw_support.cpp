#include "tests/draw/draw_support.hpp"

#include "runtime/stack.hpp"
#include "view/backend/draw/walker.hpp"
#include "view/backend/text/draw_commands.hpp"

namespace qel::test {
using namespace view::backend;  // the engines, by their short names

namespace {
// The text engine's `font` and `text` commands in the draw engine's table,
// as the backend module puts them there when it is opened.
const bool g_text_commands = (text::install_draw_commands(), true);
}  // namespace

Cell* new_image(u32 width, u32 height, u32 pixel) {
  u32 rec = image::new_record(width, height);
  u32* px = image::pixels(rec);
  for (u32 i = 0; i < width * height; ++i) px[i] = pixel;
  return image::make_at(stack::push(), rec);
}

u32 pixel_at(const Cell* img, u32 x, u32 y) {
  return image::pixels(image::record(img))[y * image::width(img) + x];
}

void draw_into(Cell* img, std::string_view source) {
  Cell* block = load(source);
  draw::draw_image(img, block);
}

}  // namespace qel::test
