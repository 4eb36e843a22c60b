// The draw context: pen rules, saved states, colour stops, the image bridge,
// and an image the collector moves while it is drawn into.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/string.hpp"
#include "runtime/collector.hpp"
#include "tests/draw/draw_support.hpp"
#include "view/backend/draw/commands.hpp"
#include "view/backend/draw/context.hpp"
#include "view/backend/draw/walker.hpp"
#include "view/face.hpp"

namespace qel::test {
using namespace view::backend;  // the engines, by their short names
namespace {

using namespace draw;

class DrawContext : public RuntimeTest {};

TEST_F(DrawContext, StopPositions) {
  struct Row {
    std::vector<StopSpec> specs;
    std::vector<double> want;
  } rows[] = {
      {{{1, false, 0}, {2, false, 0}}, {0, 1}},
      {{{1, false, 0}, {2, false, 0}, {3, false, 0}}, {0, 0.5, 1}},
      // An offset sets the stop and the running position, which the next
      // stop then takes before it advances.
      {{{1, true, 0.5}, {2, false, 0}, {3, false, 0}}, {0.5, 0.5, 1}},
      {{{1, false, 0}, {2, true, 0.25}, {3, false, 0}, {4, false, 0}}, {0, 0.25, 0.25, 0.5833}},
      // Offsets are kept to 0..1.
      {{{1, true, -2}, {2, true, 7}}, {0, 1}},
  };
  for (const Row& r : rows) {
    std::vector<Stop> got = stop_positions(r.specs);
    ASSERT_EQ(got.size(), r.want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_NEAR(got[i].offset, r.want[i], 1e-4) << "stop " << i;
      EXPECT_EQ(got[i].colour, r.specs[i].colour);
    }
  }
}

TEST_F(DrawContext, LineWidthZeroKeepsThePen) {
  Context ctx;
  begin_image(ctx, new_image(4, 4));
  EXPECT_EQ(ctx.st.pen.type, PAINT_SOLID);
  set_line_width(ctx, 0);
  EXPECT_EQ(ctx.st.pen.type, PAINT_OFF);
  // A pen given while there is no width stays hidden, and comes back with it.
  set_pen_colour(ctx, 0x0000FF, false);
  EXPECT_EQ(ctx.st.pen.type, PAINT_OFF);
  set_line_width(ctx, 2);
  EXPECT_EQ(ctx.st.pen.type, PAINT_SOLID);
  EXPECT_EQ(ctx.st.pen.colour, 0x0000FFu);
  // The same width twice changes nothing; pen off stays off through widths.
  set_line_width(ctx, 2);
  EXPECT_EQ(ctx.st.pen.type, PAINT_SOLID);
  set_pen_colour(ctx, 0, true);
  set_line_width(ctx, 0);
  set_line_width(ctx, 3);
  EXPECT_EQ(ctx.st.pen.type, PAINT_OFF);
  // Negative and NaN widths count as none.
  set_pen_colour(ctx, 0x00FF00, false);
  set_line_width(ctx, -1);
  EXPECT_EQ(ctx.st.pen.type, PAINT_OFF);
  EXPECT_EQ(ctx.st.line_width, 0);
  set_line_width(ctx, 1);
  EXPECT_EQ(ctx.st.pen.type, PAINT_SOLID);
}

TEST_F(DrawContext, SavedStateComesBackWithItsClips) {
  Context ctx;
  begin_image(ctx, new_image(8, 8));
  set_pen_colour(ctx, 0x0000FF, false);
  set_line_pattern(ctx, std::vector<double>{2, 1}.data(), 2);
  SavedState saved;
  state_push(ctx, saved);
  set_pen_colour(ctx, 0x00FF00, false);
  set_line_width(ctx, 5);
  set_line_join(ctx, JOIN_ROUND);
  cairo_rectangle(ctx.cr, 0, 0, 2, 2);
  clip_push_path(ctx);
  cairo_rectangle(ctx.cr, 0, 0, 1, 1);
  clip_push_path(ctx);
  EXPECT_EQ(ctx.clip_depth(), 2u);
  state_pop(ctx, saved);
  EXPECT_EQ(ctx.clip_depth(), 0u);
  EXPECT_EQ(ctx.st.pen.colour, 0x0000FFu);
  EXPECT_EQ(ctx.st.line_width, 1);
  EXPECT_EQ(ctx.st.join, JOIN_MITER);
  // cairo follows the state again.
  EXPECT_EQ(cairo_get_line_width(ctx.cr), 1);
  EXPECT_EQ(cairo_get_line_join(ctx.cr), CAIRO_LINE_JOIN_MITER);
  EXPECT_EQ(cairo_get_dash_count(ctx.cr), 2);
  double x1, y1, x2, y2;
  cairo_clip_extents(ctx.cr, &x1, &y1, &x2, &y2);
  EXPECT_EQ(x2 - x1, 8);
  // Patterns of all zeros are solid lines; long patterns work.
  set_line_pattern(ctx, std::vector<double>{0, 0}.data(), 2);
  EXPECT_TRUE(ctx.st.dashes.empty());
  std::vector<double> many(300, 1.0);
  set_line_pattern(ctx, many.data(), u32(many.size()));
  EXPECT_EQ(cairo_get_dash_count(ctx.cr), 300);
  EXPECT_EQ(cairo_status(ctx.cr), CAIRO_STATUS_SUCCESS);
}

TEST_F(DrawContext, SingularMatricesDrawNothingAndDoNotBreakTheDrawing) {
  Cell* img = new_image(8, 8);
  Context ctx;
  begin_image(ctx, img);
  set_pen_colour(ctx, 0, true);
  set_fill_colour(ctx, 0x0000FF, false);
  cairo_matrix_init(&ctx.st.matrix, 0, 0, 0, 0, 0, 0);
  apply_state(ctx);
  EXPECT_TRUE(ctx.degenerate);
  cairo_rectangle(ctx.cr, 0, 0, 8, 8);
  draw_current_path(ctx);
  matrix::identity(&ctx.st.matrix);
  apply_state(ctx);
  cairo_rectangle(ctx.cr, 0, 0, 1, 1);
  draw_current_path(ctx);
  EXPECT_EQ(cairo_status(ctx.cr), CAIRO_STATUS_SUCCESS);
  end(ctx);
  EXPECT_EQ(pixel_at(img, 0, 0), 0xFFFF0000u);
  EXPECT_EQ(pixel_at(img, 5, 5), 0u);
}

TEST_F(DrawContext, UntouchedPixelsKeepTheirExactValues) {
  // Low alpha loses precision through premultiplied pixels: what is not
  // drawn over must come back as it was.
  const u32 faint = 0x03817263;
  Cell* img = new_image(6, 6, faint);
  draw_into(img, "[pen off fill-pen 0.0.255 shape [move 0x0 'hline 2 'vline 2 'hline -2]]");
  EXPECT_EQ(pixel_at(img, 0, 0), 0xFF0000FFu);
  EXPECT_EQ(pixel_at(img, 5, 5), faint);
  EXPECT_EQ(pixel_at(img, 3, 0), faint);
}

TEST_F(DrawContext, PushKeepsTheOuterPenColour) {
  Cell* img = new_image(20, 20);
  draw_into(img, "[pen 255.0.0 line-width 4 push [pen 0.0.255 line-width 1] shape [move 0x10 'hline 20]]");
  EXPECT_EQ(pixel_at(img, 10, 10), 0xFFFF0000u);
  EXPECT_EQ(pixel_at(img, 10, 8), 0xFFFF0000u);  // the outer width too
  // An error inside the nested block leaves what came before.
  Cell* other = new_image(20, 20);
  std::optional<Err> e = raised([&] {
    draw_into(other, "[fill-pen 0.255.0 pen off shape [move 0x0 'hline 5 'vline 5 'hline -5] push [pen 1.2.3 foo]]");
  });
  EXPECT_EQ(e, Err::script_draw_invalid);
  EXPECT_EQ(pixel_at(other, 2, 2), 0xFF00FF00u);
}

TEST_F(DrawContext, PatternBlockClipsStayInThePattern) {
  // The pattern's block clips and leaves the clip open; the shape drawn after
  // the pattern is made is not clipped by it.
  Cell* img = new_image(20, 20);
  draw_into(img,
            "[fill-pen pattern 4x4 [clip 0x0 2x2 pen off fill-pen 255.0.0 shape [move 0x0 'hline 4 'vline 4 'hline -4]]"
            " fill-pen 0.0.255 pen off shape [move 10x10 'hline 10 'vline 10 'hline -10]]");
  EXPECT_EQ(pixel_at(img, 15, 15), 0xFF0000FFu);
}

// The collector moves the image's pixels while the drawing runs: what is
// drawn lands in the pixels where they are when the drawing ends.
Cell* g_junk;  // a string allocated just before the image

TEST_F(DrawContext, ImageMovedByTheCollectorWhileDrawing) {
  CommandTable saved = commands;
  // The stand-in for box drops the string and collects: the image's pixels
  // slide down over it.
  commands.box = [](Context&, const CommandArgs&) {
    make_none(g_junk);
    gc::do_cycle();
    return true;
  };
  gc::do_cycle();
  g_junk = stack::push();
  string::make_at(g_junk, 4096, 1);
  Cell* img = new_image(16, 16, 0xFF102030);
  u32 before = mem::offset_of(image::pixels(image::record(img)));
  std::optional<Err> e = raised([&] {
    draw_into(img, "[pen off fill-pen 0.0.255 shape [move 0x0 'hline 4 'vline 4 'hline -4]"
                   " box 0x0 1x1 fill-pen 0.255.0 shape [move 8x8 'hline 4 'vline 4 'hline -4]]");
  });
  commands = saved;
  EXPECT_EQ(e, std::nullopt);
  EXPECT_NE(mem::offset_of(image::pixels(image::record(img))), before) << "the image did not move";
  EXPECT_EQ(pixel_at(img, 1, 1), 0xFF0000FFu);
  EXPECT_EQ(pixel_at(img, 9, 9), 0xFF00FF00u);
  EXPECT_EQ(pixel_at(img, 15, 0), 0xFF102030u);
}

}  // namespace
}  // namespace qel::test

namespace qel::test {
namespace {

// A window's drawing begins with its face's background: colour, then image
// scaled to the face's size; the face's text goes through the text command.
TEST_F(DrawContext, WindowDrawingsBeginWithTheFacesBackground) {
  Cell* fields = load_all(
      "type: 'base offset: 0x0 size: 8x8 text: \"hi\" image: 0 color: 0.0.255 menu: 0 data: 0 enabled?: 0"
      " visible?: 0 selected: 0 flags: 0 options: 0 parent: 0 pane: 0 state: 0 rate: 0 edge: 0 para: 0 font: 0");
  Cell* face = make_as(TYPE_OBJECT, fields);
  Cell* img = new_image(2, 2, 0xFF00FF00);
  image::pixels(image::record(img))[3] = 0xFFFFFF00;  // bottom-right yellow
  copy_cell(img, view::face::facet(face, view::face::IMAGE));
  *view::face::facet(face, view::face::SIZE) = *load("4x4");
  static int texts = 0;
  CommandTable saved = commands;
  commands.text = [](Context&, const CommandArgs&) { ++texts; return true; };
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 8, 8);
  {
    Context ctx;
    begin_window(ctx, s, 8, 8, face);
    end(ctx);
  }
  commands = saved;
  cairo_surface_flush(s);
  auto at = [&](int x, int y) {
    return reinterpret_cast<u32*>(cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s))[x];
  };
  EXPECT_EQ(at(0, 0), 0xFF00FF00u);
  EXPECT_EQ(at(3, 3), 0xFFFFFF00u);
  EXPECT_EQ(at(6, 6), 0xFF0000FFu);
  EXPECT_EQ(texts, 1);
  // A window face draws no text; without a colour the surface is cleared.
  *view::face::facet(face, view::face::TYPE) = *load("window");
  *view::face::facet(face, view::face::COLOR) = *load("none");
  make_none(view::face::facet(face, view::face::IMAGE));
  commands.text = [](Context&, const CommandArgs&) { ++texts; return true; };
  {
    Context ctx;
    begin_window(ctx, s, 8, 8, face);
  }
  commands = saved;
  EXPECT_EQ(texts, 1);
  cairo_surface_flush(s);
  EXPECT_EQ(at(6, 6), 0u);
  cairo_surface_destroy(s);
}

}  // namespace
}  // namespace qel::test
