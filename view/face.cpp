#include "view/face.hpp"

#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/memory.hpp"

namespace qel::view::face {

Cell* facet(const Cell* object, u32 index) {
  if (type_of(object) != TYPE_OBJECT) return nullptr;
  u32 ctx = object::context_of(object);
  if (index >= context::word_count(ctx)) return nullptr;
  return context::slot(ctx, index);
}

u32 type_symbol(const Cell* face) {
  const Cell* t = facet(face, TYPE);
  if (!t || type_of(t) != TYPE_WORD) return 0;
  return symbol::resolve(word::symbol_of(t));
}

bool is_type(const Cell* face, const char* name) {
  u32 s = type_symbol(face);
  return s && s == symbol::resolve(symbol::make(name));
}

const Cell* handle_of(const Cell* face) {
  const Cell* state = facet(face, STATE);
  if (!state || type_of(state) != TYPE_BLOCK) return nullptr;
  u32 node = series_node(state);
  i32 at = series_index(state);
  const mem::Buffer* b = mem::buffer_of(node);
  if (at < 0 || u32(at) >= b->used() / sizeof(Cell)) return nullptr;
  const Cell* h = b->cells() + at;
  return type_of(h) == TYPE_HANDLE ? h : nullptr;
}

}  // namespace qel::view::face
