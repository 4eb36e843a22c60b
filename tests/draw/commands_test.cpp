// The DRAW commands beyond what the pixel cases compare: the kinds of clip
// levels and their pops, input that draws nothing, images drawn into
// themselves, shadows of boxes with no size, and text inside its box.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/word.hpp"
#include "runtime/stack.hpp"
#include "tests/draw/draw_support.hpp"
#include "view/backend/draw/commands.hpp"
#include "view/backend/draw/context.hpp"
#include "view/backend/draw/shadow.hpp"
#include "view/backend/text/format.hpp"
#include "view/backend/draw/walker.hpp"
#include "view/face.hpp"

namespace qel::test {
using namespace view::backend;  // the engines, by their short names
namespace {

using namespace draw;

class DrawCommands : public RuntimeTest {
 protected:
  // Words the rows use: a 4x4 opaque red image and one without pixels.
  DrawCommands() {
    word::set(intern_word("red4"), new_image(4, 4, 0xFFFF0000));
    word::set(intern_word("empty"), image::make_at(stack::push(), 0));
  }
};

// Each level records how it was pushed, so that its pop undoes just that:
// a rectangle clip, then (after a rotation) a layer at the same depth.
TEST_F(DrawCommands, ClipLevelsPopAsTheyWerePushed) {
  Cell* img = new_image(40, 40);
  Context ctx;
  begin_image(ctx, img);
  Cell* block = load(
      "[clip 0x0 10x10 [pen off fill-pen 255.0.0 box 0x0 40x40]"
      " rotate 30 clip 0x0 10x10 [pen off fill-pen 0.0.255 box 0x0 40x40]"
      " reset-matrix clip 20x20 40x40 rotate 10 clip [move 20x20 line 40x20 40x40]]");
  parse_draw(ctx, block);
  ASSERT_EQ(ctx.clip_depth(), 2u);
  EXPECT_FALSE(ctx.clips[0].layer);
  EXPECT_TRUE(ctx.clips[1].layer);
  EXPECT_NE(cairo_get_group_target(ctx.cr), ctx.surface);  // drawing goes into the layer
  // What is drawn in the open layer reaches the image when the drawing ends.
  parse_draw(ctx, load("[reset-matrix pen off fill-pen 0.255.0 box 0x0 40x40]"));
  end(ctx);
  EXPECT_EQ(pixel_at(img, 8, 1), 0xFFFF0000u);  // the first clip, not the rotated one
  EXPECT_EQ(pixel_at(img, 2, 2), 0xFF0000FFu);
  EXPECT_EQ(pixel_at(img, 28, 32), 0xFF00FF00u);  // inside both clips
  EXPECT_EQ(pixel_at(img, 21, 38), 0u);           // outside the triangle
  EXPECT_EQ(pixel_at(img, 15, 15), 0u);
}

// Rectangles stay cairo clips up to depth 32 and while the matrix keeps them
// upright (a quarter turn too); deeper ones, and skewed ones, are layers.
TEST_F(DrawCommands, RectangleClipsBecomeLayersWhenTheyMust) {
  Context ctx;
  begin_image(ctx, new_image(8, 8));
  for (int i = 0; i < 33; ++i) clip_push_rect(ctx, 0, 0, 8, 8);
  ASSERT_EQ(ctx.clip_depth(), 33u);
  EXPECT_FALSE(ctx.clips[31].layer);
  EXPECT_TRUE(ctx.clips[32].layer);
  clip_pop_to(ctx, 0);
  EXPECT_EQ(cairo_get_group_target(ctx.cr), ctx.surface);
  struct Row {
    cairo_matrix_t m;
    bool upright;
  } rows[] = {
      {{2, 0, 0, 3, 5, 5}, true},
      {{0, 1, -1, 0, 0, 0}, true},  // a quarter turn
      {{1, 1e-9, 0, 1, 0, 0}, true},
      {{1, 0.01, 0, 1, 0, 0}, false},
      {{0.866, 0.5, -0.5, 0.866, 0, 0}, false},
  };
  for (const Row& r : rows) EXPECT_EQ(axis_aligned(r.m), r.upright) << r.m.xx << " " << r.m.yx;
}

// Input that draws nothing raises nothing either.
TEST_F(DrawCommands, ImagesThatDrawNothing) {
  struct Row {
    const char* source;
    bool drawn;
  } rows[] = {
      {"[image empty 0x0]", false},
      {"[image red4 crop -10x-10 5x5]", false},  // right and bottom edges at -5
      {"[image red4 crop 0x0 0x4]", false},      // no width
      {"[image red4 crop 10x10 4x4]", false},    // beyond the image
      {"[image red4 0x0 10x0 20x0]", false},     // corners on one line
      {"[image red4 0x0 10x0 5x5 0x10]", false}, // u + v = 1
      {"[image red4 0x0 10x0 2x2 0x10]", false}, // not convex
      {"[image red4 0x0 10x0 10x10 0x10 5x5]", true},  // more than four points: the first four
  };
  for (const Row& r : rows) {
    Cell* img = new_image(12, 12);
    EXPECT_EQ(raised([&] { draw_into(img, r.source); }), std::nullopt) << r.source;
    bool drawn = false;
    for (u32 y = 0; y < 12; ++y) {
      for (u32 x = 0; x < 12; ++x) drawn = drawn || pixel_at(img, x, y) != 0;
    }
    EXPECT_EQ(drawn, r.drawn) << r.source;
  }
}

// The image drawn into is drawn from its pixels as drawn so far.
TEST_F(DrawCommands, AnImageDrawnIntoItself) {
  Cell* img = new_image(20, 10);
  word::set(intern_word("self"), img);
  draw_into(img, "[pen off fill-pen 0.0.255 box 0x0 5x5 image self 10x0]");
  EXPECT_EQ(pixel_at(img, 12, 2), 0xFF0000FFu);
  EXPECT_EQ(pixel_at(img, 17, 2), 0u);
  // The crop's negative offset moves the destination as it cuts the source.
  Cell* other = new_image(12, 12);
  word::set(intern_word("src"), new_image(4, 4, 0xFF00FF00));
  draw_into(other, "[image src 1x1 crop -2x-1 4x4]");
  EXPECT_EQ(pixel_at(other, 2, 1), 0u);
  EXPECT_EQ(pixel_at(other, 3, 2), 0xFF00FF00u);
  EXPECT_EQ(pixel_at(other, 4, 3), 0xFF00FF00u);
  EXPECT_EQ(pixel_at(other, 5, 3), 0u);  // 2 wide, 3 high
  EXPECT_EQ(pixel_at(other, 4, 5), 0u);
}

// A shadow's spread scales its figure by (w + 2 spread) / w: a box of no
// width (or height) keeps that axis as it is.
TEST_F(DrawCommands, ShadowsOfBoxesWithNoSize) {
  struct Row {
    const char* source;
    u32 x, y, want;
  } rows[] = {
      // the outline of a zero-width box is 2 wide; spread 3 makes it 8
      {"[pen 0.0.0 line-width 2 shadow 0x0 0 3 255.0.0 box 10x5 10x15]", 6, 10, 0xFFFF0000},
      {"[pen 0.0.0 line-width 2 shadow 0x0 0 3 255.0.0 box 10x5 10x15]", 5, 10, 0},
      // no outline, no area: nothing at all, and no division by zero
      {"[pen off fill-pen 0.0.255 shadow 2x2 4 5 255.0.0 box 10x10 10x10]", 10, 10, 0},
      // a spread that shrinks the shadow to nothing
      {"[pen off fill-pen 0.0.255 shadow 0x0 0 -20 255.0.0 box 2x2 12x12]", 1, 1, 0},
  };
  for (const Row& r : rows) {
    Cell* img = new_image(20, 20);
    EXPECT_EQ(raised([&] { draw_into(img, r.source); }), std::nullopt) << r.source;
    EXPECT_EQ(pixel_at(img, r.x, r.y), r.want) << r.source;
  }
}

// A state restore turns shadows off: those set in a block do not follow it.
TEST_F(DrawCommands, ShadowsEndWithTheirBlock) {
  Cell* img = new_image(30, 30);
  draw_into(img, "[pen off fill-pen 0.0.255 push [shadow 10x10 0 0 255.0.0] box 0x0 10x10]");
  EXPECT_EQ(pixel_at(img, 15, 15), 0u);
}

// A red string has red pixels inside the box pango measures for it and none
// outside.
TEST_F(DrawCommands, TextStaysInItsMeasuredBox) {
  Cell* img = new_image(120, 40);
  draw_into(img, "[pen 255.0.0 text 7x5 \"Hello, DRAW\"]");
  Cell* text = load("\"Hello, DRAW\"");
  text::FormatRef f = text::format_of(nullptr);
  PangoLayout* l = text::layout(text, *f, 0, 0);
  PangoRectangle ink;
  pango_layout_get_pixel_extents(l, &ink, nullptr);
  g_object_unref(l);
  int reds = 0, outside = 0;
  for (u32 y = 0; y < 40; ++y) {
    for (u32 x = 0; x < 120; ++x) {
      u32 p = pixel_at(img, x, y);
      if (!(p >> 24)) continue;
      EXPECT_EQ(p & 0x00FFFF, 0u) << x << "," << y;  // red only
      bool in = int(x) >= 7 + ink.x - 1 && int(x) <= 7 + ink.x + ink.width && int(y) >= 5 + ink.y - 1 &&
                int(y) <= 5 + ink.y + ink.height;
      (in ? reds : outside) += 1;
    }
  }
  EXPECT_GT(reds, 20);
  EXPECT_EQ(outside, 0);
}

// A window's drawing paints its face's colour and image, then the face's
// text over them: the text does not paint the colour again.
TEST_F(DrawCommands, AWindowsFaceTextLeavesItsImage) {
  Cell* fields = load_all(
      "type: 'base offset: 0x0 size: 40x20 text: \"Hi\" image: 0 color: 0.0.255 menu: 0 data: 0 enabled?: 0"
      " visible?: 0 selected: 0 flags: 0 options: 0 parent: 0 pane: 0 state: 0 rate: 0 edge: 0 para: 0 font: 0");
  Cell* face = make_as(TYPE_OBJECT, fields);
  Cell* img = new_image(1, 1, 0xFF00FF00);  // made before the facet is found: it may move
  copy_cell(img, view::face::facet(face, view::face::IMAGE));
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 40, 20);
  {
    Context ctx;
    begin_window(ctx, s, 40, 20, face);
  }
  cairo_surface_flush(s);
  const u32* px = reinterpret_cast<const u32*>(cairo_image_surface_get_data(s));
  EXPECT_EQ(px[0], 0xFF00FF00u);  // the image, scaled to the face
  int dark = 0;
  for (int i = 0; i < 40 * 20; ++i) dark += (px[i] & 0xFFFF00) == 0 && (px[i] & 0xFF) < 0x80;
  EXPECT_GT(dark, 5);  // the text, in black
  cairo_surface_destroy(s);
}

// The blur keeps what it spreads, and a deviation of 0 changes nothing.
TEST_F(DrawCommands, GaussianBlurKeepsItsMass) {
  std::vector<u8> px(40 * 30, 0);
  for (int y = 12; y < 18; ++y) {
    for (int x = 17; x < 23; ++x) px[std::size_t(y) * 40 + std::size_t(x)] = 200;
  }
  std::vector<u8> same = px;
  gaussian_blur_a8(same.data(), 40, 30, 40, 0);
  EXPECT_EQ(same, px);
  gaussian_blur_a8(px.data(), 40, 30, 40, 2.0);
  long sum = 0;
  for (u8 v : px) sum += v;
  EXPECT_NEAR(double(sum), 36 * 200.0, 36 * 200.0 * 0.01);
  EXPECT_EQ(px[15 * 40 + 19], px[15 * 40 + 20]);  // symmetric about the square's middle
  EXPECT_LT(px[15 * 40 + 19], 200);
  EXPECT_GT(px[15 * 40 + 12], 0);
}

}  // namespace
}  // namespace qel::test
