// The word of the nearest call (stack::get_call, declared with the frames
// in runtime/stack.hpp): it needs the contexts to bind the word it answers.
#include "datatypes/context.hpp"
#include "datatypes/word.hpp"
#include "datatypes/symbol.hpp"
#include "runtime/stack.hpp"

namespace qel::stack {

namespace {
// The word of a frame's symbol: as bound in the frame's context when that
// context holds it, else the word of the global context (added when absent).
Cell* frame_word(Cell* out, u32 symbol, u32 ctx) {
  out->header = TYPE_WORD;
  word::set_symbol(out, symbol);
  word::set_binding(out, ctx, -1);
  if (!symbol::valid(symbol) || !context::global) return out;
  if (ctx != context::global && context::is_context(ctx)) {
    i32 i = context::find_word(ctx, symbol, false);
    if (i >= 0) return copy_cell(context::symbol_cell(ctx, u32(i)), out);
  }
  copy_cell(context::find_or_add(symbol, false, true), out);
  return out;
}
}  // namespace

Cell* get_call(Cell* out) {
  Frame* f = last_throw_frame ? last_throw_frame : ctop;
  last_throw_frame = nullptr;
  while (f > cbottom) {
    --f;
    if (f->symbol != body_symbol && f->symbol != anon_symbol && f->symbol) {
      return frame_word(out, f->symbol, f->ctx);
    }
  }
  return frame_word(out, not_found_symbol, 0);
}

}  // namespace qel::stack
