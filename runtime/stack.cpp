#include "runtime/stack.hpp"

#include <vector>

#include "runtime/collector.hpp"
#include "runtime/cycles.hpp"
#include "runtime/error.hpp"
#include "runtime/context_record.hpp"
#include "runtime/memory.hpp"
#include "runtime/startup.hpp"

namespace qel::stack {

Cell* bottom = nullptr;
Cell* base = nullptr;
Cell* top = nullptr;
Cell* end = nullptr;
Frame* cbottom = nullptr;
Frame* ctop = nullptr;
Frame* cend = nullptr;
Frame* last_throw_frame = nullptr;
u32 body_symbol = 0;
u32 anon_symbol = 0;
u32 not_found_symbol = 0;

namespace {
u32 g_args_node = 0;
u32 g_calls_node = 0;

// The calls kept for the last errors raised, the newest at g_kept_next - 1.
struct Kept {
  u32 error_node = 0;
  std::vector<KeptCall> calls;
};
constexpr u32 KEPT_ERRORS = 8;
Kept g_kept[KEPT_ERRORS];
u32 g_kept_next = 0;

}  // namespace

void keep_calls(u32 error_node) {
  for (Kept& k : g_kept) {
    if (k.error_node == error_node) k.error_node = 0;  // raised again: the new calls count
  }
  Kept& k = g_kept[g_kept_next++ % KEPT_ERRORS];
  k.error_node = error_node;
  k.calls.resize(size_t(ctop - cbottom));
  for (size_t i = 0; i < k.calls.size(); ++i) k.calls[i] = {cbottom[i].symbol, cbottom[i].ctx};
}

const KeptCall* kept_calls(u32 error_node, u32* count) {
  for (const Kept& k : g_kept) {
    if (k.error_node == error_node && error_node) {
      *count = u32(k.calls.size());
      return k.calls.data();
    }
  }
  return nullptr;
}

void init() {
  if (!g_args_node) {
    // Both stacks live in pinned buffers (they never move), inside the root block.
    g_args_node = mem::alloc_big_series(ARGS_CELLS + ARGS_RESERVE + RAISE_ROOM, 16, 0);
    make_series(runtime::root_append(), TYPE_BLOCK, g_args_node);
    g_calls_node = mem::alloc_big_series((CALL_FRAMES + FRAMES_RESERVE) * sizeof(Frame), 1, 0);
    make_series(runtime::root_append(), TYPE_BINARY, g_calls_node);
  }
  mem::Buffer* a = mem::buffer_of(g_args_node);
  bottom = base = top = reinterpret_cast<Cell*>(a->data());
  end = bottom + ARGS_CELLS;
  mem::Buffer* c = mem::buffer_of(g_calls_node);
  cbottom = ctop = reinterpret_cast<Frame*>(c->data());
  cend = cbottom + CALL_FRAMES;
  last_throw_frame = nullptr;
}

void overflow() {
  // Raising pushes the error and what making it needs. The cells under the
  // top belong to frames a catch may keep (the arguments of the call around
  // a `try`), so none is given up for room: while the error is made and
  // raised, the arguments stack may grow past its reserve into the room
  // kept for this, and the limit comes back as the error leaves.
  static bool raising = false;
  if (raising) {
    // Making the error filled that room too: a last resort, the top backs off.
    top = (top - bottom > 5) ? top - 5 : bottom;
  }
  struct Room {
    Cell* saved = end;
    bool outer = !raising;
    Room() {
      end = bottom + ARGS_CELLS + ARGS_RESERVE + RAISE_ROOM;
      raising = true;
    }
    ~Room() {
      end = saved;
      if (outer) raising = false;
    }
  } room;
  cycles::reset();  // forget any cycle in progress
  fire(Err::internal_stack_overflow);
}

Cell* arg(u32 i) { return base + i; }

void adjust_post_try() {
  Cell* l = last();
  if (type_of(l) == TYPE_ERROR) copy_cell(l, base);
  top = base + 1;
}

Cell* mark_func(const Cell* word, u32 fctx) {
  Cell* b = mark(word, FRAME_FUNCTION);
  Frame* f = ctop - 1;
  f->fctx = fctx;
  f->saved_values = fctx ? context::record_values(context::record_cell(fctx)) : 0;
  return b;
}

Cell* mark_native_ctx(const Cell* word, u32 fctx) {
  // The function's values are the cells of the running call: point the context at them.
  if (fctx) context::set_record_values(context::record_cell(fctx), index_of(base) + 1);
  Cell* b = mark(word, FRAME_NATIVE_CTX);
  (ctop - 1)->fctx = 0;
  return b;
}

void unwind_func() {
  if (ctop <= cbottom) return;
  restore_context(ctop - 1);
  unwind_last();
}

void unwind_func_clear() {
  if (ctop <= cbottom) return;
  Frame* f = --ctop;
  restore_context(f);
  base = bottom + f->prev_base;
  top = base;
}

void unwind_clear() {
  if (ctop <= cbottom) return;
  Frame* f = --ctop;
  base = bottom + f->prev_base;
  top = base;
}

void unwind_func_last() {
  Cell* result = base;
  unwind_func();
  copy_cell(result, base);
}

void unroll_to(u32 kind, bool keep) {
  Frame* start = ctop;
  kind &= KIND_MASK;
  do {
    if (ctop <= cbottom) break;
    --ctop;
    u32 k = ctop->header & KIND_MASK;
    if (k == FRAME_FUNCTION && ctop->fctx) restore_context(ctop);
    if (ctop <= cbottom || k == kind || k == FRAME_TRY) break;
  } while (true);
  if (keep) ++ctop;
  if (ctop == start) {
    top = base + 1;
  } else if (ctop == cbottom) {
    base = top = bottom;
  } else {
    top = base + 1;
    base = bottom + ctop->prev_base;
  }
  if (!keep && ctop < start) ++ctop;
}

void unroll_to_last(u32 kind) {
  Cell* innermost = base;
  Frame* start = ctop;
  unroll_to(kind, false);
  // The first record opened inside the found frame gives the found frame's base.
  Frame* found = ctop - 1;
  Cell* target = (found + 1 < start) ? bottom + (found + 1)->prev_base : base;
  copy_cell(innermost, target);
  base = target;
  top = base;
}

namespace {

template <class Takes>
Frame* find_target(Frame* from, Takes takes, bool fenced = true) {
  for (Frame* f = from; f >= cbottom; --f) {
    if (f->kind() == FRAME_TRY) return nullptr;
    if (fenced && f->kind() == FRAME_FENCE) return nullptr;
    if (takes(f)) return f;
  }
  return nullptr;
}

}  // namespace

Frame* loop_target(Frame* from) {
  return find_target(from, [](const Frame* f) { return f->kind() == FRAME_LOOP; });
}
Frame* return_target(Frame* from) {
  return find_target(from, [](const Frame* f) { return (f->header & FRAME_FLAG_CTX) != 0; });
}
Frame* throw_target(Frame* from) {
  return find_target(from, [](const Frame* f) { return f->kind() == FRAME_THROW; }, false);
}

void set_ctx_flag(bool on) {
  if (ctop <= cbottom) return;
  Frame* f = ctop - 1;
  f->header = on ? (f->header | FRAME_FLAG_CTX) : (f->header & ~FRAME_FLAG_CTX);
}

Frame* set_parent_ctx_flag() {
  if (ctop - cbottom < 2) return nullptr;
  Frame* f = ctop - 2;
  if (f->header & FRAME_FLAG_CTX) return nullptr;
  f->header |= FRAME_FLAG_CTX;
  return f;
}

void clear_ctx_flag(Frame* f) {
  if (f) f->header &= ~FRAME_FLAG_CTX;
}

void set_interp_flag() {
  if (ctop > cbottom) (ctop - 1)->header |= FRAME_FLAG_INTERP;
}

bool in_interp_frame(Frame* from, bool just_one) {
  Frame* f = from ? from : ctop;
  while (f > cbottom) {
    --f;
    if (f->header & FRAME_FLAG_INTERP) return true;
    if (just_one) return false;
  }
  return false;
}

void rename_frame(const Cell* word) {
  Frame* f = last_throw_frame ? last_throw_frame : ctop;
  if (f > cbottom) (f - 1)->symbol = word_cell_symbol(word);
}

void mark_frames() {
  for (Frame* f = cbottom; f < ctop; ++f) {
    if (f->ctx) gc::mark_context_at(&f->ctx);
    gc::mark_symbol(f->symbol);
    if (f->fctx) {
      gc::mark_context_at(&f->fctx);
      if (f->saved_values && !context::record_on_stack(context::record_cell(f->fctx))) {
        gc::mark_series_at(&f->saved_values);
      }
    }
  }
}

}  // namespace qel::stack
