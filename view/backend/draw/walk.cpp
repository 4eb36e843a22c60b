#include "view/backend/draw/walk.hpp"

#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/cycles.hpp"

namespace qel::view::backend::draw {

void set_word_at(Walk& w, u32 i) {
  api::Values v(2);
  copy_cell(w.at(i), v[0]);
  copy_cell(w.block(), v[1]);
  set_series_index(v[1], i32(i + 1));
  set_type(v[0], TYPE_WORD);
  word::set(v[0], v[1]);
}

u32 checked_node(Context& ctx, const Cell* block) {
  u32 node = series_node(block);
  if (cycles::find(node)) throw_draw_error(ctx, block, 0, true);
  return node;
}

}  // namespace qel::view::backend::draw
