#include "view/backend/text/draw_commands.hpp"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "datatypes/block.hpp"
#include "datatypes/series.hpp"
#include "runtime/api.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "view/backend/draw/commands.hpp"
#include "view/backend/draw/arguments.hpp"
#include "view/backend/draw/words.hpp"
#include "view/backend/text/format.hpp"
#include "view/backend/text/text_box.hpp"
#include "view/face.hpp"

namespace qel::view::backend::text {

namespace {

// font! words, 0-based: name size style angle color ...
constexpr u32 FONT_STYLE = 2;
constexpr u32 FONT_COLOR = 4;

// Underline and strike among the words of a font's style (a word or a block
// of words).
u32 decorations_of(const Cell* style) {
  if (!style) return 0;
  auto flag = [](const Cell* c) -> u32 {
    if (type_of(c) != TYPE_WORD) return 0;
    draw::Word w = draw::word_of(c);
    return w == draw::W_UNDERLINE ? u32(draw::DECO_UNDERLINE) : w == draw::W_STRIKE ? u32(draw::DECO_STRIKE) : 0u;
  };
  if (type_of(style) != TYPE_BLOCK) return flag(style);
  u32 flags = 0;
  const Cell* head = mem::buffer_of(series_node(style))->cells() + std::max(series_index(style), 0);
  for (i32 i = 0, n = block::length_from_index(style); i < n; ++i) flags |= flag(head + i);
  return flags;
}

FormatRef current_format(draw::Context& ctx) {
  if (ctx.st.text.format) return std::static_pointer_cast<Format>(ctx.st.text.format);
  return format_of(nullptr);
}

// The height of a line of the format: that of a layout of the letter I.
double natural_line_height(const Format& f) {
  PangoLayout* l = pango_layout_new(context());
  pango_layout_set_font_description(l, f.desc);
  pango_layout_set_text(l, "I", 1);
  PangoRectangle logical;
  pango_layout_get_extents(l, nullptr, &logical);
  g_object_unref(l);
  return double(logical.height) / PANGO_SCALE;
}

// Glyphs this many device pixels high or more are beyond the font renderer,
// whose failure would stay in the shared font caches: such text is refused
// before anything is drawn.
constexpr double MAX_GLYPH_PIXELS = 30000;

bool glyphs_too_large(cairo_t* cr, PangoLayout* l) {
  PangoRectangle logical;
  pango_layout_get_extents(l, nullptr, &logical);
  double em = double(logical.height) / PANGO_SCALE / std::max(1, pango_layout_get_line_count(l));
  cairo_matrix_t m;
  cairo_get_matrix(cr, &m);
  // (no smaller than the matrix's largest stretch)
  double stretch = std::sqrt(m.xx * m.xx + m.yx * m.yx + m.xy * m.xy + m.yy * m.yy);
  return !(em * stretch < MAX_GLYPH_PIXELS);
}

// Draws the layout (with the drawer given, else at p) in the text colour or
// with the pen's brush.
template <class Drawer>
void show(draw::Context& ctx, PangoLayout* l, draw::Point p, Drawer draw_it) {
  cairo_t* cr = ctx.cr;
  const draw::State& st = ctx.st;
  if (ctx.degenerate) return;
  if (glyphs_too_large(cr, l)) fire(Err::internal_no_memory);
  if (st.text.font_colour || st.pen.type == draw::PAINT_OFF || st.pen.type == draw::PAINT_SOLID) {
    draw::set_source_colour(cr, st.text.colour);
  } else {
    PangoRectangle logical;
    pango_layout_get_extents(l, nullptr, &logical);
    double box[4] = {p.x, p.y, p.x + double(logical.width) / PANGO_SCALE, p.y + double(logical.height) / PANGO_SCALE};
    if (!draw::set_source(ctx, st.pen, box, true)) return;
  }
  cairo_new_path(cr);
  draw_it(cr);
  cairo_new_path(cr);
  // A failure of the font renderer can stay in the fonts it cached: they go.
  if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) flush_caches();
}

void show(draw::Context& ctx, PangoLayout* l, draw::Point p) {
  show(ctx, l, p, [&](cairo_t* cr) {
    cairo_move_to(cr, p.x, p.y);
    pango_cairo_show_layout(cr, l);
  });
}

struct LayoutRef {
  PangoLayout* l;
  ~LayoutRef() {
    if (l) g_object_unref(l);
  }
};

void draw_string(draw::Context& ctx, draw::Point p, const draw::CommandArgs& a) {
  FormatRef f = current_format(ctx);  // may allocate: before the string is read
  LayoutRef l{layout(a.at(a.last), *f, 0, 0)};
  PangoAttrList* attrs = pango_layout_get_attributes(l.l);
  attrs = attrs ? pango_attr_list_copy(attrs) : pango_attr_list_new();
  if (f->line_height <= 0) {
    pango_attr_list_insert(attrs, pango_attr_line_height_new_absolute(int(natural_line_height(*f) * PANGO_SCALE)));
  }
  if (ctx.st.text.decorations & draw::DECO_UNDERLINE) pango_attr_list_insert(attrs, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
  if (ctx.st.text.decorations & draw::DECO_STRIKE) pango_attr_list_insert(attrs, pango_attr_strikethrough_new(TRUE));
  pango_layout_set_attributes(l.l, attrs);
  pango_attr_list_unref(attrs);
  show(ctx, l.l, p);
}

// A face: its background when it has a colour and a size (not for a
// window's own face, whose drawing began with it), then its text box (its font, para and styles; a rich-text face's box comes from its
// cache), with its top-left corner at the position.
void draw_face(draw::Context& ctx, draw::Point p, const draw::CommandArgs& a) {
  api::Values v(1);
  copy_cell(a.at(a.last), v[0]);
  const Cell* colour = view::face::facet(v[0], view::face::COLOR);
  const Cell* size = view::face::facet(v[0], view::face::SIZE);
  if (!a.flag && colour && type_of(colour) == TYPE_TUPLE && size && draw::is_point(size) && !ctx.degenerate) {
    draw::Point sz = draw::point_of(size);
    draw::set_source_colour(ctx.cr, draw::colour_of_tuple(colour));
    cairo_new_path(ctx.cr);
    cairo_rectangle(ctx.cr, p.x, p.y, sz.x, sz.y);
    cairo_fill(ctx.cr);
  }
  TextBoxRef box = box_of(v[0], ctx.catch_errors);
  if (!box || !box->layout) return;
  show(ctx, box->layout, p, [&](cairo_t* cr) { draw(cr, *box, p.x, p.y); });
}

}  // namespace

bool font_command(draw::Context& ctx, const draw::CommandArgs& a) {
  api::Values v(1);
  const Cell* f = a.at(a.first);
  if (type_of(f) == TYPE_WORD) f = draw::word_value(f);
  copy_cell(f, v[0]);
  FormatRef format = format_of(v[0]);
  draw::TextState& t = ctx.st.text;
  t.format = format;
  const Cell* colour = view::face::facet(v[0], FONT_COLOR);
  if (colour && type_of(colour) == TYPE_TUPLE) {
    t.colour = draw::colour_of_tuple(colour);
    t.font_colour = true;
  } else {
    t.font_colour = false;
    if (ctx.st.pen.type == draw::PAINT_SOLID) t.colour = ctx.st.pen.colour;
  }
  t.decorations = decorations_of(view::face::facet(v[0], FONT_STYLE));
  return true;
}

bool text_command(draw::Context& ctx, const draw::CommandArgs& a) {
  draw::Point p = draw::point_of(a.at(a.first));
  if (type_of(a.at(a.last)) == TYPE_STRING) {
    draw_string(ctx, p, a);
  } else {
    draw_face(ctx, p, a);
  }
  return true;
}

void install_draw_commands() {
  draw::commands.font = font_command;
  draw::commands.text = text_command;
}

}  // namespace qel::view::backend::text
