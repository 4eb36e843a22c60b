// Arguments stack and call frames.
//
// The arguments stack is one fixed array of cells: a callee finds its
// arguments from `base` upward and leaves its result in the base cell. The call
// stack is one fixed array of frame records, one per open call, loop, catch or
// evaluation. Both live in pinned buffers that never move, so cell pointers
// into the arguments stack stay valid for the life of the process.
//
// Invariants: bottom <= base <= top <= end; cbottom <= ctop <= cend; every
// open frame's prev_base indexes a cell at or below the current base.
#pragma once

#include <exception>

#include "runtime/cell.hpp"
#include "runtime/context_record.hpp"

namespace qel::stack {

inline constexpr u32 ARGS_CELLS = 20000;
inline constexpr u32 CALL_FRAMES = 12000;
// Room past those limits (`end` and `cend` stay at them) that only a trace
// callback uses while it runs, so that tracing a program does not change the
// depth at which it overflows.
inline constexpr u32 ARGS_RESERVE = 2000;
// Room past the reserve in which a stack overflow's error is made and raised.
inline constexpr u32 RAISE_ROOM = 256;
inline constexpr u32 FRAMES_RESERVE = 1000;

// Frame kinds live in the top byte of the header; the unwinders compare only
// the low nibble of it (so 0x81 counts as a function frame, 0x82 and 0x12 as
// native frames).
inline constexpr u32 KIND_MASK = 0x0F000000;
inline constexpr u32 FRAME_FUNCTION = 0x01000000;
inline constexpr u32 FRAME_NATIVE = 0x02000000;
inline constexpr u32 FRAME_NATIVE_CTX = 0x12000000;
// Code run inside it is neither a loop nor a function body of the code around
// it (a reaction): break, continue, return and exit do not cross it.
inline constexpr u32 FRAME_FENCE = 0x03000000;
inline constexpr u32 FRAME_CATCH = 0x04000000;
inline constexpr u32 FRAME_TRY = 0x05000000;
inline constexpr u32 FRAME_THROW = 0x06000000;  // throw catcher (catch native)
inline constexpr u32 FRAME_LOOP = 0x08000000;
inline constexpr u32 FRAME_INTERP_FUNC = 0x81000000;
inline constexpr u32 FRAME_INTERP = 0x82000000;
inline constexpr u32 FRAME_EVAL = 0x87000000;
inline constexpr u32 FRAME_FLAG_CTX = 0x10000000;     // return and exit unwind to it
inline constexpr u32 FRAME_FLAG_INTERP = 0x80000000;  // an interpreter frame

struct Frame {
  u32 header;        // kind and flags (top byte); the low 24 bits are free
  u32 symbol;        // full symbol id of the frame's word
  u32 prev_base;     // cell index of the base when the frame was opened
  u32 ctx;           // context node of the frame's word
  u32 fctx;          // function frames: the function's context node, else 0
  u32 saved_values;  // with fctx: the values reference the context held before
  u32 kind() const { return header & KIND_MASK; }
};

extern Cell* bottom;
extern Cell* base;
extern Cell* top;
extern Cell* end;
extern Frame* cbottom;
extern Frame* ctop;
extern Frame* cend;
extern Frame* last_throw_frame;
extern u32 body_symbol;  // <body> and <anon> are never reported as frame names
extern u32 anon_symbol;
extern u32 not_found_symbol;

void init();  // stack/init: both stacks empty
inline u32 index_of(const Cell* c) { return u32(c - bottom); }

// ---- arguments stack --------------------------------------------------------

[[noreturn]] void overflow();

// The pushed cell reads as unset until the caller writes it: the collector
// marks every cell up to the top, so a cell must never hold a stale value.
inline Cell* push() {
  Cell* c = top;
  if (++top >= end) overflow();
  c->header = TYPE_UNSET;
  return c;
}
inline Cell* push_cell(const Cell* value) {
  Cell* c = push();
  copy_cell(value, c);
  return c;
}
inline void pop(u32 n) { top = (u32(top - bottom) < n) ? bottom : top - n; }
inline Cell* last() { return top > bottom ? top - 1 : bottom; }
inline Type top_type() { return type_of(last()); }
inline void set_last(const Cell* value) { copy_cell(value, base); }
inline void set_last_only(const Cell* value) {
  top = base + 1;
  copy_cell(value, base);
}
inline void reset() { top = base; }
inline void keep() { top = base + 1; }
// Keeps the frame's first n cells, dropping every cell above them.
inline void keep(u32 n) { top = base + n; }
void adjust_post_try();
Cell* arg(u32 i);  // the cell at base + i

// ---- scoped marks and snapshots -------------------------------------------------
//
// Code outside the runtime and the evaluator never moves a stack top by
// hand. Cells it pushes for its own use are dropped by a Mark (or held in
// an api::Values scope); a frame it opens and closes around code that may
// raise is put back by a Snapshot.

// The top when the scope began. When the scope ends normally, the top goes
// back there: every cell pushed since is dropped. A raised error leaves the
// stack to whoever catches it. keep(value) ends the scope early with one
// cell at the mark holding the value (which may lie above it) and answers
// that cell: the shape of a helper that answers a pushed value.
class Mark {
 public:
  Mark() : at_(top), exceptions_(std::uncaught_exceptions()) {}
  ~Mark() {
    if (armed_ && std::uncaught_exceptions() == exceptions_) drop();
  }
  Mark(const Mark&) = delete;
  Mark& operator=(const Mark&) = delete;
  // The first cell above the mark.
  Cell* at() const { return at_; }
  // Drops every cell pushed since the mark; the scope goes on. (A top
  // already below the mark stays there: no dropped cell comes back.)
  void drop() const {
    if (top > at_) top = at_;
  }
  Cell* keep(const Cell* value) {
    copy_cell(value, at_);
    top = at_ + 1;
    armed_ = false;
    return at_;
  }

 private:
  Cell* at_;
  int exceptions_;
  bool armed_ = true;
};

// The three tops (arguments, base, call frames) as they were when taken;
// restore() puts them back, on whatever path the code left by.
class Snapshot {
 public:
  Snapshot() = default;
  void restore() const {
    ctop = ctop_;
    base = base_;
    top = top_;
  }
  Cell* base_cell() const { return base_; }
  Cell* top_cell() const { return top_; }
  Frame* frame_top() const { return ctop_; }

 private:
  Cell* base_ = base;
  Cell* top_ = top;
  Frame* ctop_ = ctop;
};

// ---- frames -------------------------------------------------------------------

// Opens a frame of the given kind named by a word cell (symbol in word 2,
// context in word 1) or by a symbol and context; answers the new base.
inline Cell* mark(u32 symbol, u32 ctx, u32 kind) {
  if (ctop >= cend) overflow();
  Frame* f = ctop++;
  f->header = kind;
  f->symbol = symbol;
  f->prev_base = index_of(base);
  f->ctx = ctx;
  f->fctx = 0;
  f->saved_values = 0;
  base = top;
  return base;
}
inline Cell* mark(const Cell* word, u32 kind) { return mark(word_cell_symbol(word), word_cell_context(word), kind); }
Cell* mark_func(const Cell* word, u32 fctx);
Cell* mark_native_ctx(const Cell* word, u32 fctx);
inline Cell* mark_native(const Cell* w) { return mark(w, FRAME_NATIVE); }
inline Cell* mark_catch(const Cell* w) { return mark(w, FRAME_CATCH); }
inline Cell* mark_try(const Cell* w) { return mark(w, FRAME_TRY); }
inline Cell* mark_func_body(const Cell* w) { return mark(w, FRAME_THROW); }
inline Cell* mark_loop(const Cell* w) { return mark(w, FRAME_LOOP); }
inline Cell* mark_eval(const Cell* w) { return mark(w, FRAME_EVAL); }
inline Cell* mark_interp_func(const Cell* w) { return mark(w, FRAME_INTERP_FUNC); }
inline Cell* mark_interp(const Cell* w) { return mark(w, FRAME_INTERP); }

// Restoring a function context writes saved_values back into it.
inline void restore_context(const Frame* f) {
  if (f->fctx) context::set_record_values(context::record_cell(f->fctx), f->saved_values);
}

// pop; top = base; base = prev_base
inline void unwind() {
  if (ctop <= cbottom) return;
  Frame* f = --ctop;
  if ((f->header & KIND_MASK) == FRAME_FUNCTION && f->fctx) restore_context(f);
  if (ctop == cbottom) {
    base = top = bottom;
  } else {
    top = base;
    base = bottom + f->prev_base;
  }
}
// pop; the closed frame's base cell becomes the last pushed cell
inline void unwind_last() {
  if (ctop <= cbottom) return;
  Frame* f = --ctop;
  top = base + 1;
  base = bottom + f->prev_base;
}
// unwind_last, the closed frame's result also copied into the new base cell
inline void unwind_last_copy() {
  Cell* result = base;
  unwind_last();
  copy_cell(result, base);
}
void unwind_func();      // unwind_last, restoring a function context first
void unwind_func_clear();
void unwind_clear();
void unwind_func_last();
void unroll_to(u32 kind, bool keep);
void unroll_to_last(u32 kind);
inline void unroll_loop(bool keep) { unroll_to(FRAME_LOOP, keep); }

// ---- flags and queries --------------------------------------------------------

void set_ctx_flag(bool on);
Frame* set_parent_ctx_flag();  // the record changed, or nullptr
void clear_ctx_flag(Frame* f);
void set_interp_flag();
inline Frame* top_frame() { return ctop > cbottom ? ctop - 1 : nullptr; }
inline void set_ctop(Frame* f) { ctop = f; }
bool in_interp_frame(Frame* from, bool just_one);

// The word of the nearest call (skipping <body> and <anon> frames), written
// into out: a word! whose symbol is the frame's and whose context is the
// frame's context; the word <not-found> when there is none.
// (datatypes/call_word.cpp: binding the word needs the contexts.)
Cell* get_call(Cell* out);
void rename_frame(const Cell* word);

// Position of the call stack, as kept in an error's stack field.
inline u32 position() { return u32(ctop - cbottom); }

// The frame a transfer lands on, walking down from `from` (included): the
// nearest loop frame (break, continue), frame that return unwinds to
// (return, exit) or throw catcher (throw); nullptr when a try frame comes
// first or none is open.
Frame* loop_target(Frame* from);
Frame* return_target(Frame* from);
Frame* throw_target(Frame* from);

// The collector's walk over the live frames.
void mark_frames();

// The frames open when the last few errors were raised, by the error's
// node: an error's report names the calls it was raised in, which the
// records no longer hold once later calls have reused them.
struct KeptCall {
  u32 symbol;
  u32 ctx;
};
void keep_calls(u32 error_node);  // the records below ctop, for the error
// The records kept for the error and their count, or null.
const KeptCall* kept_calls(u32 error_node, u32* count);

}  // namespace qel::stack
