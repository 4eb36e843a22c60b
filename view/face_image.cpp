#include "view/face_image.hpp"

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "datatypes/symbol.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "view/module.hpp"

namespace qel::view::face_image {

namespace {

// Whether the face's `state` starts with a handle! (its window): without
// one there is nothing to capture, and no reason to open the backend.
bool has_window(const Cell* face) {
  u32 ctx = object::context_of(face);
  i32 at = context::find_word(ctx, symbol::make("state"), true);
  const Cell* state = at < 0 ? nullptr : context::slot(ctx, u32(at));
  if (!state || type_of(state) != TYPE_BLOCK) return false;
  i32 i = series_index(state) < 0 ? 0 : series_index(state);
  const mem::Buffer* b = mem::buffer_of(series_node(state));
  return u32(i) < b->used() / sizeof(Cell) && type_of(b->cells() + i) == TYPE_HANDLE;
}

}  // namespace

Cell* capture(const Cell* face) {
  if (!has_window(face)) return make_none(stack::push());
  const view::backend::Entries& m = view::module::require("to");
  return m.face_to_image ? m.face_to_image(face) : make_none(stack::push());
}

}  // namespace qel::view::face_image
