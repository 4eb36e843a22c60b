#include "view/backend/text/updates.hpp"

#include "datatypes/block.hpp"
#include "runtime/api.hpp"
#include "runtime/memory.hpp"
#include "view/backend/text/fonts.hpp"
#include "view/backend/text/names.hpp"
#include "view/backend/text/text_box.hpp"
#include "view/face.hpp"
#include "view/window.hpp"

namespace qel::view::backend::text {

namespace {

constexpr u32 PARA_BIT = 1u << view::face::PARA;  // in a face's changed-facet mask

}  // namespace

namespace {

// Marks every rich-text face of the font's `parent` stale.
void mark_parents_stale(const Cell* font) {
  api::Values v(2);
  const Cell* parent = field(font, N_PARENT);
  if (!parent || type_of(parent) != TYPE_BLOCK) return;
  copy_cell(parent, v[0]);
  u32 node = series_node(v[0]);
  for (u32 i = 0; i < mem::buffer_of(node)->used() / sizeof(Cell); ++i) {
    copy_cell(mem::buffer_of(node)->cells() + i, v[1]);
    mark_stale(v[1]);
  }
}

}  // namespace

void update_font_routine() {
  init_names();
  Cell* font = api::arg(0);
  i32 index = int_of(api::arg(1));
  // The facets a native font is made of: name, size, style, angle and
  // anti-alias?; a new colour or shadow needs no new font.
  if (index <= 3 || index == 5) {
    Cell* state = field(font, N_STATE);
    bool had = state && type_of(state) == TYPE_BLOCK;
    fonts::free_font(font);
    if (had) fonts::font_handle(nullptr, font);
  }
  mark_parents_stale(font);
  api::answer_none();
}

void update_para_routine() {
  update_para(api::arg(0));
  api::answer_none();
}

void update_para(const Cell* face) {
  init_names();
  mark_stale(face);
  const Cell* state = view::face::facet(face, view::face::STATE);
  const Cell* type = view::face::facet(face, view::face::TYPE);
  if (!state || type_of(state) != TYPE_BLOCK || !type || type_of(type) != TYPE_WORD) return;
  Name kind = face_type(face);
  if (u32 mask = fonts::para_style_mask(kind)) {
    // A native view takes its new alignment in place: GTK widgets change
    // alignment and wrapping without being made again.
    u32 flags = fonts::para_style_flags(kind, view::face::facet(face, view::face::PARA));
    const Cell* h = view::face::handle_of(face);
    if (view::window::Record* w = h ? view::window::from_handle(h) : nullptr) {
      u32 style = u32(view::window::get(*w, view::window::PARA_STYLE));
      view::window::set(*w, view::window::PARA_STYLE, i32((style & ~mask) | flags));
    }
  }
  // The para bit in the face's changed-facet mask.
  state = view::face::facet(face, view::face::STATE);
  if (state && type_of(state) == TYPE_BLOCK && block::length_from_index(state) >= 2) {
    Cell* bits = mem::buffer_of(series_node(state))->cells() + series_index(state) + 1;
    if (type_of(bits) == TYPE_INTEGER) make_integer(bits, i32(u32(int_of(bits)) | PARA_BIT));
  }
}

}  // namespace qel::view::backend::text
