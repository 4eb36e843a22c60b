// Text formats from font objects, cached in them, and layouts in a format.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/handle.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "runtime/collector.hpp"
#include "tests/draw/draw_support.hpp"
#include "view/backend/text/format.hpp"

namespace qel::test {
using namespace view::backend;  // the engines, by their short names
namespace {

using namespace text;

class TextFormat : public ::testing::Test {
 protected:
  // The fonts made go with the test's values: a collection afterwards
  // releases the formats they cached.
  ~TextFormat() override {
    guard_.reset();
    gc::do_cycle();
  }
  // A font object of the spec's fields (name size style state).
  Cell* font(const char* spec) {
    Cell* fields = load_all(spec);
    Cell* obj = make_as(TYPE_OBJECT, fields);
    make_none(fields);  // its words are bound to the font: it must not keep it alive
    return obj;
  }
  static Cell* state_of(const Cell* obj) {
    u32 ctx = object::context_of(obj);
    return context::slot(ctx, u32(context::find_word(ctx, symbol::make("state"), true)));
  }
  static std::string family(const Format& f) { return pango_font_description_get_family(f.desc); }
  static int points(const Format& f) { return pango_font_description_get_size(f.desc) / PANGO_SCALE; }

 private:
  std::optional<Guard> guard_{std::in_place};
};

TEST_F(TextFormat, FromTheFontsFields) {
  struct Row {
    const char* spec;
    const char* family;
    int points;
    PangoWeight weight;
    PangoStyle style;
  } rows[] = {
      {"name: \"DejaVu Serif\" size: 14 style: 'bold state: 0", "DejaVu Serif", 14, PANGO_WEIGHT_BOLD, PANGO_STYLE_NORMAL},
      {"name: \"Mono\" size: 8 style: [italic bold] state: 0", "Mono", 8, PANGO_WEIGHT_BOLD, PANGO_STYLE_ITALIC},
      {"name: \"Mono\" size: 8 style: [underline] state: 0", "Mono", 8, PANGO_WEIGHT_NORMAL, PANGO_STYLE_NORMAL},
      // Names are cut to 31 characters; a size below 1 or not an integer,
      // and a name that is no string, take the defaults.
      {"name: \"abcdefghijklmnopqrstuvwxyz0123456789\" size: 0 style: 0 state: 0",
       "abcdefghijklmnopqrstuvwxyz01234", 10, PANGO_WEIGHT_NORMAL, PANGO_STYLE_NORMAL},
      {"name: 12 size: 9.5 style: 'italic state: 0", "Sans", 10, PANGO_WEIGHT_NORMAL, PANGO_STYLE_ITALIC},
      {"name: \"\u00e9t\u00e9 \u00e9t\u00e9 \u00e9t\u00e9 \u00e9t\u00e9 \u00e9t\u00e9 \u00e9t\u00e9 \u00e9t\u00e9 \u00e9t\u00e9 \u00e9t\u00e9\" size: 11 style: 0 state: 0",
       "\u00e9t\u00e9 \u00e9t\u00e9 \u00e9t\u00e9 \u00e9t\u00e9 \u00e9t\u00e9 \u00e9t\u00e9 \u00e9t\u00e9 \u00e9t\u00e9", 11,
       PANGO_WEIGHT_NORMAL, PANGO_STYLE_NORMAL},
  };
  for (const Row& r : rows) {
    FormatRef f = format_of(font(r.spec));
    EXPECT_EQ(family(*f), r.family) << r.spec;
    EXPECT_EQ(points(*f), r.points) << r.spec;
    EXPECT_EQ(pango_font_description_get_weight(f->desc), r.weight) << r.spec;
    EXPECT_EQ(pango_font_description_get_style(f->desc), r.style) << r.spec;
  }
  // Not a font object: the default font, nothing cached.
  FormatRef d = format_of(nullptr);
  EXPECT_EQ(family(*d), "Sans");
  EXPECT_NE(d, format_of(nullptr));
}

TEST_F(TextFormat, CachedInTheFontsState) {
  Cell* f = font("name: \"Sans\" size: 12 style: 0 state: 7");
  FormatRef first = format_of(f);
  Cell* state = state_of(f);
  ASSERT_EQ(type_of(state), TYPE_BLOCK);
  EXPECT_EQ(block::length_from_index(state), 3);
  EXPECT_EQ(type_of(block::head_cell(state) + 1), TYPE_HANDLE);
  EXPECT_EQ(format_of(f), first);
  // A state block too short gets room for the handle; a handle of another
  // kind there is replaced.
  Cell* g = font("name: \"Sans\" size: 12 style: 0 state: [1]");
  FormatRef second = format_of(g);
  Cell* gstate = state_of(g);
  EXPECT_EQ(block::length_from_index(gstate), 2);
  EXPECT_EQ(format_of(g), second);
  // The font gone, the collector releases its reference; the format lives
  // on while someone holds it.
  make_none(f);
  gc::do_cycle();
  EXPECT_EQ(family(*first), "Sans");
  EXPECT_EQ(first.use_count(), 1);
}

TEST_F(TextFormat, LayoutsAndParagraphs) {
  FormatRef f = format_of(font("name: \"DejaVu Sans\" size: 12 style: 0 state: 0"));
  Cell* words = text("one two three four five six");
  // Unwrapped: one line whatever the width.
  PangoLayout* l = layout(words, *f, 40, 0);
  EXPECT_EQ(pango_layout_get_line_count(l), 1);
  int w1, h1;
  pango_layout_get_pixel_size(l, &w1, &h1);
  EXPECT_GT(w1, 40);
  g_object_unref(l);
  // Wrapped at the width.
  set_paragraph(*f, PARA_WRAP | PARA_CENTRE | PARA_FAR);
  EXPECT_EQ(f->align, PANGO_ALIGN_CENTER);
  EXPECT_EQ(f->valign, VAlign::far);
  l = layout(words, *f, 60, 0);
  EXPECT_GT(pango_layout_get_line_count(l), 2);
  EXPECT_EQ(pango_layout_get_alignment(l), PANGO_ALIGN_CENTER);
  g_object_unref(l);
  // Uniform line height: never below the natural one.
  set_uniform_line_height(*f, 40);
  EXPECT_EQ(f->line_height, 40);
  EXPECT_GT(f->baseline, 0);
  l = layout(words, *f, 60, 0);
  int w2, h2;
  pango_layout_get_pixel_size(l, &w2, &h2);
  EXPECT_NEAR(h2, 40 * pango_layout_get_line_count(l), 2);
  g_object_unref(l);
  set_uniform_line_height(*f, 1);
  EXPECT_GT(f->line_height, 10);
  // Tabs: a stop every 100 pixels.
  set_paragraph(*f, 0);
  set_uniform_line_height(*f, -1);
  set_tab_width(*f, 100);
  l = layout(text("a\tb"), *f, 0, 0);
  int wt, ht;
  pango_layout_get_pixel_size(l, &wt, &ht);
  EXPECT_GT(wt, 100);
  g_object_unref(l);
  // A value that is no string lays out nothing.
  l = layout(load("12"), *f, 0, 0);
  EXPECT_STREQ(pango_layout_get_text(l), "");
  g_object_unref(l);
  // Dropping the caches makes everything anew.
  flush_caches();
  l = layout(words, *f, 0, 0);
  EXPECT_EQ(pango_layout_get_line_count(l), 1);
  g_object_unref(l);
}

}  // namespace
}  // namespace qel::test
