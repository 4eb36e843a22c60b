#include "view/backend/text/format.hpp"

#include <algorithm>
#include <string>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/handle.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/memory.hpp"
#include "runtime/resources.hpp"
#include "view/backend/text/char_index.hpp"
#include "view/backend/text/fonts.hpp"

namespace qel::view::backend::text {

namespace {

PangoFontMap* g_map = nullptr;
PangoContext* g_context = nullptr;

// The formats cached in fonts are resources of this kind: the collector
// releases the reference when the font goes. (The kind stands for the
// "com-object" resources a Windows backend keeps.)
int format_kind() {
  static int kind = resources::register_type("text-format", [](void* p) { delete static_cast<FormatRef*>(p); });
  return kind;
}

// The field of an object by name, or nullptr (valid until the next allocation).
Cell* object_field(const Cell* obj, const char* name) {
  if (!obj || type_of(obj) != TYPE_OBJECT) return nullptr;
  u32 ctx = object::context_of(obj);
  i32 i = context::find_word(ctx, symbol::make(name), true);
  return i < 0 ? nullptr : context::slot(ctx, u32(i));
}

FormatRef make_format(const Cell* font) {
  auto f = std::make_shared<Format>();
  f->desc = fonts::describe(font);
  return f;
}

}  // namespace

PangoContext* context() {
  if (!g_context) {
    g_map = pango_cairo_font_map_new();
    g_context = pango_font_map_create_context(g_map);
    pango_cairo_context_set_resolution(g_context, 96.0);
  }
  return g_context;
}

void flush_caches() {
  if (g_context) g_object_unref(g_context);
  if (g_map) g_object_unref(g_map);
  g_context = nullptr;
  g_map = nullptr;
}

void toggle_gpu_routine() {
  flush_caches();
  make_none(api::result());
}

FormatRef format_of(const Cell* font_in) {
  if (!font_in || type_of(font_in) != TYPE_OBJECT) return make_format(nullptr);
  api::Values v(2);  // the font, its state block
  Cell* font = copy_cell(font_in, v[0]);
  Cell* state = object_field(font, "state");
  if (!state) return make_format(font);  // no state to keep it in
  if (type_of(state) == TYPE_BLOCK) {
    copy_cell(state, v[1]);
    if (block::length_from_index(v[1]) >= 2) {
      const Cell* h = block::head_cell(v[1]) + 1;
      if (type_of(h) == TYPE_HANDLE && handle::kind_of(h) == u32(format_kind())) {
        // The cached format serves while the font's fields are those it was
        // made of (a font made from another starts with that one's state).
        if (auto* ref = static_cast<FormatRef*>(handle::pointer_of(h))) {
          PangoFontDescription* now = fonts::describe(font);
          bool same = pango_font_description_equal((*ref)->desc, now);
          pango_font_description_free(now);
          if (same) return *ref;
        }
      }
    }
  } else {
    // The state becomes a block of three nones.
    block::make_at(v[1], 3);
    Cell none;
    make_none(&none);
    for (int i = 0; i < 3; ++i) block::append_copy(v[1], &none);
    copy_cell(v[1], object_field(font, "state"));
  }
  FormatRef f = make_format(font);
  Cell none;
  make_none(&none);
  while (block::length_from_index(v[1]) < 2) block::append_copy(v[1], &none);
  Cell h;
  handle::make_at(&h, new FormatRef(f), u32(format_kind()));
  copy_cell(&h, block::head_cell(v[1]) + 1);
  // A font in use has its native handles too (the fonts module makes them
  // when the state has none yet).
  fonts::ensure_handles(font);
  return f;
}

void set_paragraph(Format& f, u32 flags) {
  f.align = flags & PARA_CENTRE ? PANGO_ALIGN_CENTER : flags & PARA_TRAILING ? PANGO_ALIGN_RIGHT : PANGO_ALIGN_LEFT;
  f.valign = flags & PARA_MIDDLE ? VAlign::middle : flags & PARA_FAR ? VAlign::far : VAlign::near;
  f.wrap = (flags & PARA_WRAP) != 0;
}

void set_tab_width(Format& f, double width) { f.tab_width = width > 0 && width < 1e6 ? width : 0; }

void set_uniform_line_height(Format& f, double height) {
  // The natural height and baseline: a layout of the letter I.
  f.line_height = 0;
  PangoLayout* l = pango_layout_new(context());
  pango_layout_set_font_description(l, f.desc);
  pango_layout_set_text(l, "I", 1);
  PangoRectangle logical;
  pango_layout_get_pixel_extents(l, nullptr, &logical);
  double natural = logical.height;
  f.baseline = double(pango_layout_get_baseline(l)) / PANGO_SCALE;
  g_object_unref(l);
  f.line_height = height > natural && height < 1e6 ? height : natural;
}

PangoLayout* layout(const Cell* text, const Format& f, double width, double height) {
  // Through the character index: it lays out what UTF-8 cannot carry as U+FFFD.
  qel::view::backend::text::CharIndex index(text);
  return layout(std::string_view(index.utf8()), f, width, height);
}

PangoLayout* layout(std::string_view utf8, const Format& f, double width, double height) {
  PangoLayout* l = pango_layout_new(context());
  pango_layout_set_font_description(l, f.desc);
  pango_layout_set_text(l, utf8.data(), int(utf8.size()));
  pango_layout_set_alignment(l, f.align);
  if (f.wrap && width > 0 && width < 1e6) {
    pango_layout_set_width(l, int((width + 0.5) * PANGO_SCALE));
    pango_layout_set_wrap(l, PANGO_WRAP_WORD_CHAR);
  }
  if (height > 0 && height < 1e6) pango_layout_set_height(l, int((height + 0.5) * PANGO_SCALE));
  if (f.tab_width > 0) {
    PangoTabArray* tabs = pango_tab_array_new_with_positions(1, TRUE, PANGO_TAB_LEFT, int(f.tab_width));
    pango_layout_set_tabs(l, tabs);
    pango_tab_array_free(tabs);
  }
  if (f.line_height > 0) {
    PangoAttrList* attrs = pango_attr_list_new();
    pango_attr_list_insert(attrs, pango_attr_line_height_new_absolute(int(f.line_height * PANGO_SCALE)));
    pango_layout_set_attributes(l, attrs);
    pango_attr_list_unref(attrs);
  }
  return l;
}

}  // namespace qel::view::backend::text
