#include "view/backend/text/fonts.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
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
#include "view/face.hpp"
#include "view/units.hpp"
#include "view/window.hpp"

namespace qel::view::backend::text::fonts {

namespace {

constexpr const char* FALLBACK_FAMILY = "Sans";
constexpr int FALLBACK_SIZE = 10;  // points
constexpr std::size_t MAX_NAME = 31;

// The field of an object by name, or nullptr (valid until the next allocation).
Cell* font_field(const Cell* obj, const char* name) {
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
  return font_field(font_field(font_field(sys, "view"), "fonts"), name);
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
  const Cell* size = font_field(font, "size");
  if (!size || type_of(size) != TYPE_INTEGER || int_of(size) < 1) size = default_font_field("size");
  int points = size && type_of(size) == TYPE_INTEGER && int_of(size) >= 1 ? int_of(size) : FALLBACK_SIZE;
  pango_font_description_set_size(desc, std::min(points, 10000) * PANGO_SCALE);
  const Cell* name = font_field(font, "name");
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
  const Cell* style = font_field(font, "style");
  pango_font_description_set_weight(desc, has_style(style, "bold") ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  pango_font_description_set_style(desc, has_style(style, "italic") ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
  pango_font_description_set_stretch(desc, PANGO_STRETCH_NORMAL);
  return desc;
}

namespace {

constexpr u32 STATE_LENGTH = 3;

int font_kind() {
  static int kind = text_resource_kind("font", [](void* p) { delete static_cast<FontHandle*>(p); });
  return kind;
}

// A new native font of the font object's fields at the DPI.
FontHandle* make_handle(const Cell* font, i32 dpi) {
  init_names();  // before any cell is read: interning allocates
  auto* h = new FontHandle;
  h->desc = describe(font);
  h->dpi = dpi;
  // The character height in whole pixels, as the font's points give it at
  // this DPI.
  i64 points = pango_font_description_get_size(h->desc) / PANGO_SCALE;
  i64 pixels = std::max<i64>(1, points * dpi / 72);
  pango_font_description_set_absolute_size(h->desc, double(pixels) * PANGO_SCALE);
  const Cell* angle = field(font, N_ANGLE);
  if (angle && type_of(angle) == TYPE_INTEGER) h->orientation = i32(std::clamp<i64>(i64(int_of(angle)) * 10, -36000, 36000));
  const Cell* aa = field(font, N_ANTI_ALIAS_Q);
  if (aa && type_of(aa) == TYPE_LOGIC && logic_of(aa)) h->antialias = CAIRO_ANTIALIAS_GRAY;
  else if (is_name(aa, N_CLEARTYPE)) h->antialias = CAIRO_ANTIALIAS_SUBPIXEL;
  const Cell* style = field(font, N_STYLE);
  h->underline = has_style(style, "underline");
  style = field(font, N_STYLE);
  h->strike = has_style(style, "strike");
  return h;
}

// Whether the handle is still the font's: made of the fields the font holds
// now. A font made from another (`make font! f [size: 16]`) starts with a
// copy of that one's state, whose handles are the other font's.
bool current(const FontHandle& h, const Cell* font) {
  std::unique_ptr<FontHandle> now(make_handle(font, h.dpi));
  return pango_font_description_equal(h.desc, now->desc) && h.orientation == now->orientation &&
         h.antialias == now->antialias && h.underline == now->underline && h.strike == now->strike;
}

// Our font handle at the 0-based position of a state block, or nullptr.
FontHandle* handle_at(const Cell* state, u32 pos) {
  if (!state || type_of(state) != TYPE_BLOCK || block::length_from_index(state) <= i32(pos)) return nullptr;
  const Cell* h = mem::buffer_of(series_node(state))->cells() + series_index(state) + pos;
  if (type_of(h) != TYPE_HANDLE || handle::kind_of(h) != u32(font_kind())) return nullptr;
  return static_cast<FontHandle*>(handle::pointer_of(h));
}

// The font's state block into out (made of three nones when it is not a
// block); false when the font has no `state`.
bool state_block(const Cell* font, Cell* out) {
  Cell* state = field(font, N_STATE);
  if (!state) return false;
  if (type_of(state) == TYPE_BLOCK) {
    copy_cell(state, out);
    return true;
  }
  block::make_at(out, STATE_LENGTH);
  Cell none;
  make_none(&none);
  for (u32 i = 0; i < STATE_LENGTH; ++i) block::append_copy(out, &none);
  if ((state = field(font, N_STATE))) copy_cell(out, state);
  return true;
}

// Positions 1 and 3 of the state block (rooted) get new handles of the font.
void make_handles(const Cell* font, Cell* state) {
  Cell none;
  make_none(&none);
  while (block::length_from_index(state) < i32(STATE_LENGTH)) block::append_copy(state, &none);
  Cell h;
  handle::make_at(&h, make_handle(font, view::units::current.dpi), u32(font_kind()));
  copy_cell(&h, block::head_cell(state));
  handle::make_at(&h, make_handle(font, 96), u32(font_kind()));
  copy_cell(&h, block::head_cell(state) + 2);
}

bool same_object(const Cell* a, const Cell* b) {
  return type_of(a) == TYPE_OBJECT && type_of(b) == TYPE_OBJECT && object::context_of(a) == object::context_of(b);
}

// The face joins the font's `parent` block (made with room for 4) unless
// it is there already.
void add_parent(const Cell* font, const Cell* face) {
  api::Values v(1);
  Cell* parent = field(font, N_PARENT);
  if (!parent) return;
  if (type_of(parent) == TYPE_BLOCK) {
    copy_cell(parent, v[0]);
    u32 node = series_node(v[0]);
    u32 n = mem::buffer_of(node)->used() / sizeof(Cell);
    for (u32 i = 0; i < n; ++i)
      if (same_object(mem::buffer_of(node)->cells() + i, face)) return;
  } else {
    block::make_at(v[0], 4);
    if ((parent = field(font, N_PARENT))) copy_cell(v[0], parent);
  }
  block::append_copy(v[0], face);
}

}  // namespace

const FontHandle* font_handle(const Cell* face_in, const Cell* font_in, bool at_96) {
  if (!font_in || type_of(font_in) != TYPE_OBJECT) return nullptr;
  init_names();
  api::Values v(3);  // the font, the face, the state block
  Cell* font = copy_cell(font_in, v[0]);
  Cell* face = face_in ? copy_cell(face_in, v[1]) : nullptr;
  if (!state_block(font, v[2])) return nullptr;
  const FontHandle* h = handle_at(v[2], 0);
  if (!h || !current(*h, font)) make_handles(font, v[2]);
  if (face && type_of(face) == TYPE_OBJECT) add_parent(font, face);
  return handle_at(v[2], at_96 ? 2 : 0);
}

void ensure_handles(const Cell* font_in) {
  if (!font_in || type_of(font_in) != TYPE_OBJECT) return;
  init_names();
  api::Values v(2);
  Cell* font = copy_cell(font_in, v[0]);
  Cell* state = field(font, N_STATE);
  if (!state || type_of(state) != TYPE_BLOCK || block::length_from_index(state) < 1) return;
  copy_cell(state, v[1]);
  const FontHandle* h = handle_at(v[1], 0);
  if (is_none(block::head_cell(v[1])) || (h && !current(*h, font))) make_handles(font, v[1]);
}

void free_font(const Cell* font) {
  init_names();
  Cell* state = field(font, N_STATE);
  if (!state || type_of(state) != TYPE_BLOCK) return;
  bool released = false;
  u32 node = series_node(state);
  i32 from = std::max(0, series_index(state));
  for (u32 pos = 0; pos < STATE_LENGTH; ++pos) {
    u32 i = u32(from) + pos;
    if (i >= mem::buffer_of(node)->used() / sizeof(Cell)) break;
    Cell* h = mem::buffer_of(node)->cells() + i;
    if (type_of(h) != TYPE_HANDLE || !handle::pointer_of(h)) continue;
    // Only the font's own handles: its fonts, and its text format.
    const char* kind = resources::type_name(int(handle::kind_of(h)));
    bool ours = pos == 1 ? kind && std::strcmp(kind, "text-format") == 0 : handle::kind_of(h) == u32(font_kind());
    if (!ours) continue;
    handle::free(h, true);
    make_none(h);
    released = true;
  }
  if (released && (state = field(font, N_STATE))) make_none(state);
}

// ---- para -------------------------------------------------------------------------------

namespace {

enum class ParaKind : u8 { none, base, button, edit };

ParaKind kind_of(Name type) {
  switch (type) {
    case N_BASE:
    case N_RICH_TEXT:
      return ParaKind::base;
    case N_BUTTON:
    case N_TOGGLE:
    case N_CHECK:
    case N_RADIO:
      return ParaKind::button;
    case N_FIELD:
    case N_AREA:
    case N_TEXT:
      return ParaKind::edit;
    default:
      return ParaKind::none;
  }
}

// The bits of a word among three (else the default's): [left center right]
// or [top middle bottom].
u32 pick(const Cell* word, Name first, const u32 bits[3], u32 fallback) {
  for (u32 i = 0; i < 3; ++i)
    if (is_name(word, Name(first + i))) return bits[i];
  return fallback;
}

}  // namespace

u32 para_style_flags(Name type, const Cell* para) {
  if (!para || type_of(para) != TYPE_OBJECT) return 0;
  init_names();
  const Cell* w = field(para, N_WRAP_Q);
  bool wrap = !w || is_none(w) || (type_of(w) == TYPE_LOGIC && logic_of(w));
  const Cell* align = field(para, N_ALIGN);
  const Cell* v_align = field(para, N_V_ALIGN);
  static_assert(N_CENTER == N_LEFT + 1 && N_RIGHT == N_LEFT + 2);
  static_assert(N_MIDDLE == N_TOP + 1 && N_BOTTOM == N_TOP + 2);
  switch (kind_of(type)) {
    case ParaKind::base: {
      static const u32 h[3] = {0, 1, 2}, v[3] = {0, 4, 8};
      bool rich = type == N_RICH_TEXT;
      return (wrap ? 16 : 0) | pick(align, N_LEFT, h, rich ? 0 : 1) | pick(v_align, N_TOP, v, rich ? 0 : 4);
    }
    case ParaKind::button: {
      static const u32 h[3] = {0x100, 0x300, 0x200}, v[3] = {0x400, 0xC00, 0x800};
      bool centred = type == N_BUTTON || type == N_TOGGLE;
      return pick(align, N_LEFT, h, centred ? 0x300 : 0x100) | pick(v_align, N_TOP, v, 0xC00);
    }
    case ParaKind::edit: {
      static const u32 h[3] = {0, 1, 2}, v[3] = {0, 0x200, 0};
      u32 no_wrap = wrap ? 0 : type == N_TEXT ? 0x4000 : 0xC0;
      return no_wrap | pick(align, N_LEFT, h, 0) | pick(v_align, N_TOP, v, 0);
    }
    case ParaKind::none:
      break;
  }
  return 0;
}

u32 para_style_mask(Name type) {
  switch (kind_of(type)) {
    case ParaKind::base: return 0x3F;  // alignment, wrapping (16), and 0x20 as before
    case ParaKind::button: return 0xF00;
    case ParaKind::edit: return 0x42C3;  // alignment, middle (0x200), ellipsis, scrolling
    case ParaKind::none: break;
  }
  return 0;
}

}  // namespace qel::view::backend::text::fonts
