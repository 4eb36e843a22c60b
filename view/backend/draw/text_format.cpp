#include "view/backend/draw/text_format.hpp"

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

namespace qel::view::backend::draw::text {

namespace {

PangoFontMap* g_map = nullptr;
PangoContext* g_context = nullptr;

constexpr const char* FALLBACK_FAMILY = "Sans";
constexpr int FALLBACK_SIZE = 10;  // points
constexpr std::size_t MAX_NAME = 31;

// The formats cached in fonts are resources of this kind: the collector
// releases the reference when the font goes. (The kind stands for the
// "com-object" resources a Windows backend keeps.)
int format_kind() {
  static int kind = resources::register_type("text-format", [](void* p) { delete static_cast<FormatRef*>(p); });
  return kind;
}

// The field of an object by name, or nullptr (valid until the next allocation).
Cell* field(const Cell* obj, const char* name) {
  if (!obj || type_of(obj) != TYPE_OBJECT) return nullptr;
  u32 ctx = object::context_of(obj);
  i32 i = context::find_word(ctx, symbol::make(name), true);
  return i < 0 ? nullptr : context::slot(ctx, u32(i));
}

// system/view/fonts/<name>, or nullptr.
Cell* default_font_field(const char* name) {
  symbol::make(name);  // interned before the cells below are read
  symbol::make("fonts");
  symbol::make("view");
  Cell* sys = word::get_value_cell(intern_word("system"));
  return field(field(field(sys, "view"), "fonts"), name);
}

FormatRef make_format(const Cell* font) {
  auto f = std::make_shared<Format>();
  f->desc = describe(font);
  return f;
}

}  // namespace

bool has_style(const Cell* style, const char* word) {
  if (!style) return false;
  u32 sym = symbol::resolve(symbol::make(word));
  auto is = [sym](const Cell* c) { return type_of(c) == TYPE_WORD && symbol::resolve(word::symbol_of(c)) == sym; };
  if (type_of(style) == TYPE_WORD) return is(style);
  if (type_of(style) != TYPE_BLOCK) return false;
  u32 node = series_node(style);
  u32 n = mem::buffer_of(node)->used() / sizeof(Cell);
  for (u32 i = series_index(style) < 0 ? 0 : u32(series_index(style)); i < n; ++i) {
    if (is(mem::buffer_of(node)->cells() + i)) return true;
  }
  return false;
}

PangoFontDescription* describe(const Cell* font) {
  // Every name interned first: interning may allocate, and the cells read
  // below must not move.
  for (const char* w : {"size", "name", "style", "system", "fonts", "view", "bold", "italic"}) symbol::make(w);
  PangoFontDescription* desc = pango_font_description_new();
  // Size in points (the context's 96 DPI makes them pixels at 96 / 72).
  const Cell* size = field(font, "size");
  if (!size || type_of(size) != TYPE_INTEGER || int_of(size) < 1) size = default_font_field("size");
  int points = size && type_of(size) == TYPE_INTEGER && int_of(size) >= 1 ? int_of(size) : FALLBACK_SIZE;
  pango_font_description_set_size(desc, std::min(points, 10000) * PANGO_SCALE);
  const Cell* name = field(font, "name");
  if (!name || type_of(name) != TYPE_STRING) name = default_font_field("system");
  std::string family = name && type_of(name) == TYPE_STRING ? string::to_utf8(name) : FALLBACK_FAMILY;
  if (family.size() > MAX_NAME) {
    // Cut to 31 characters, not inside one.
    std::size_t chars = 0, i = 0;
    for (; i < family.size() && chars < MAX_NAME; ++chars) {
      ++i;
      while (i < family.size() && (u8(family[i]) & 0xC0) == 0x80) ++i;
    }
    family.resize(i);
  }
  pango_font_description_set_family(desc, family.c_str());
  const Cell* style = field(font, "style");
  pango_font_description_set_weight(desc, has_style(style, "bold") ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  pango_font_description_set_style(desc, has_style(style, "italic") ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
  pango_font_description_set_stretch(desc, PANGO_STRETCH_NORMAL);
  return desc;
}

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

FormatRef format_of(const Cell* font_in) {
  if (!font_in || type_of(font_in) != TYPE_OBJECT) return make_format(nullptr);
  api::Values v(2);  // the font, its state block
  Cell* font = copy_cell(font_in, v[0]);
  Cell* state = field(font, "state");
  if (!state) return make_format(font);  // no state to keep it in
  if (type_of(state) == TYPE_BLOCK) {
    copy_cell(state, v[1]);
    if (block::length_from_index(v[1]) >= 2) {
      const Cell* h = block::head_cell(v[1]) + 1;
      if (type_of(h) == TYPE_HANDLE && handle::kind_of(h) == u32(format_kind())) {
        // The cached format serves while the font's fields are those it was
        // made of (a font made from another starts with that one's state).
        if (auto* ref = static_cast<FormatRef*>(handle::pointer_of(h))) {
          PangoFontDescription* now = describe(font);
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
    copy_cell(v[1], field(font, "state"));
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
  qel::view::backend::text::fonts::ensure_handles(font);
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

}  // namespace qel::view::backend::draw::text
