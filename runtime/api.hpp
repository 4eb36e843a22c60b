// The native API: the one door between native code and the evaluator.
//
// Natives, actions and every callback that runs Qel code from C++ (sort
// comparators, PARSE trace callbacks, on-change* handlers, lexer and trace
// callbacks, and later the C libraries' callbacks) use this header and
// nothing else of the evaluator.
//
// ROOTING RULE (the only one). The collector keeps alive, and updates, only
// what it can see: the cells on the arguments stack (a frame's arguments and
// result, and cells pushed above them) and what a guard of runtime/roots.hpp
// holds. A local `Cell` copy keeps nothing alive: the series, context or
// node it refers to may be freed or moved by the next allocation. A raw
// pointer into a series buffer (`buffer_of(node)->cells()`) is valid only
// until the next allocation; anything that runs Qel code allocates. So:
// keep values in argument cells or rooted cells, keep series by node, and ask
// for the buffer again after every call that can allocate. After any user
// code has run, re-read the series' current tail: the code may have changed
// it. Checked builds catch a stale buffer pointer held in a mem::BufferPtr
// and any allocation inside a mem::NoAlloc scope (runtime/memory.hpp).
//
// A native never moves the stack tops or resets the stack by hand: it reads
// its arguments with arg(i) and its refinements through Args, writes its
// result with answer() (or into result(), then done()), holds scratch values
// in a Values scope (helpers that push and drop their own cells use a
// stack::Mark, runtime/stack.hpp), and calls Qel values through invoke,
// which leaves the stack as it found it. For example, a native with the spec
// [f [any-function!] value] that answers f applied twice:
//
//   interp::Status twice(const i32*) {
//     api::Values v(1);  // rooted: the first result
//     interp::Status st = api::invoke(api::arg(0), api::arg(1), 1, v[0]);
//     if (st) return st;  // a break or return passing through goes on
//     st = api::invoke(api::arg(0), v[0], 1, v[0]);
//     if (st) return st;
//     return api::answer(v[0]);
//   }
#pragma once

#include <cstddef>

#include "runtime/cell.hpp"
#include "runtime/stack.hpp"

namespace qel::interp {
// 0 (normal) or a pending transfer: THROW_BREAK, THROW_CONTINUE, THROW_RETURN
// or THROW_EXIT (runtime/error.hpp); eval/interpreter.hpp explains them.
using Status = u32;
}  // namespace qel::interp

namespace qel::api {

using interp::Status;

// ---- the frame of the running native or action --------------------------------
//
// Argument i of the spec (refinement arguments counted too) is arg(i). The
// result goes into the frame's result cell, which is also argument 0: read
// what you need from it before writing it. A native ends with done() once
// the result cell holds its answer, or with one of the answer functions.
inline Cell* arg(u32 i) { return stack::base + i; }
inline Cell* result() { return stack::base; }
// The result cell holds the answer: drops everything above it; status 0.
inline Status done() {
  stack::keep();
  return 0;
}
// Drops every cell above the result cell (the native goes on).
inline void keep_result() { stack::keep(); }
// The value becomes the result; every cell above it is dropped.
inline void set_result(const Cell* value) {
  copy_cell(value, stack::base);
  stack::keep();
}
inline Status answer(const Cell* value) {
  set_result(value);
  return 0;
}
inline Status answer_logic(bool b) {
  make_logic(stack::base, b);
  return done();
}
inline Status answer_none() {
  make_none(stack::base);
  return done();
}
inline Status answer_unset() {
  make_unset(stack::base);
  return done();
}

// The refinements, as the entry receives them: refinement k (counted from 0
// in spec order) is on when ref(k), and its first argument is ref_arg(k).
class Args {
 public:
  explicit Args(const i32* refs) : refs_(refs) {}
  Cell* arg(u32 i) const { return api::arg(i); }
  bool ref(u32 k) const { return refs_[k] >= 0; }
  // Argument j of refinement k, or nullptr when the refinement is off.
  Cell* ref_arg(u32 k, u32 j = 0) const { return ref(k) ? stack::base + refs_[k] + j : nullptr; }
  Cell* result() const { return api::result(); }
  Status answer(const Cell* value) const { return api::answer(value); }
  Status answer_logic(bool b) const { return api::answer_logic(b); }
  Status answer_none() const { return api::answer_none(); }

 private:
  const i32* refs_;
};

// ---- rooted scratch cells ---------------------------------------------------------
//
// n cells pushed on the arguments stack (so rooted), none at first. When the
// scope ends normally, they and every cell pushed above them (the answers of
// calls that push their result) are dropped; a raised error leaves the stack
// to whoever catches it. Values(0) only marks the stack. Scopes nest
// strictly (LIFO).
class Values {
 public:
  explicit Values(u32 n = 0);
  ~Values();
  Values(const Values&) = delete;
  Values& operator=(const Values&) = delete;
  Cell* operator[](u32 i) const { return at_ + i; }
  Cell* data() const { return at_; }
  u32 size() const { return n_; }

 private:
  Cell* at_;
  u32 n_;
  int exceptions_;
};

// ---- calling Qel values ---------------------------------------------------------

// The kinds of callback, as bits: a callback's own evaluation is not traced.
enum Callback : u32 {
  CALLBACK_NONE = 0, CALLBACK_LEXER = 1, CALLBACK_PARSE = 2, CALLBACK_SORT = 4,
  CALLBACK_ON_CHANGE = 8, CALLBACK_ON_DEEP_CHANGE = 16, CALLBACK_PORT = 32,
};

struct CallOptions {
  const Cell* name = nullptr;  // word! naming the call in errors and traces (default <anon>)
  u32 callback = CALLBACK_NONE;  // the kind of callback, for an evaluation run from C++
  bool check_types = true;     // check the values against the spec's argument types
  Cell* args_after = nullptr;  // when set: receives the argument slots' final values
};

// Calls fn (function!, native!, action! or op!) with count argument values;
// missing arguments are none, every refinement is off. The values (and fn)
// are copied onto the arguments stack before anything can allocate, so they
// may lie anywhere (a local, a series buffer). The result is written into
// *out when the call ends normally; out must be rooted (an argument cell,
// a pushed cell, a rooted local) for the result to stay alive.
// A return or exit aimed at the called function's own frame (in status or
// exception form) ends the call with its value (exit: unset). Any other
// transfer passing through (a break of an outer loop, a return from an outer
// function) is answered as a status, after the stack is put back as it was
// at entry: a native hands it outward; C++ code that cannot uses check().
// Errors and throw pass through as exceptions.
Status invoke(const Cell* fn, const Cell* args, u32 count, Cell* out, const CallOptions& opts = {});

// Sends a status on in its exception form (the loops, functions and catch
// frames of the evaluator take it there); does nothing for status 0.
[[noreturn]] void send(Status st);
inline void check(Status st) {
  if (st) send(st);
}

// Calls a sort comparator with the two values (first, second) and answers its
// result as a cell: a local copy, so read what you need at once (only its
// type and scalar payload are meaningful). Transfers passing through are sent
// on as exceptions (the sort engine lets them through, keeping its records
// a permutation). Block sort and string sort map the result each their own way.
Cell compare(const Cell* fn, const Cell* first, const Cell* second);

// ---- evaluator services for the datatypes -------------------------------------------
//
// What the datatype modules need of the evaluator, in one table: the
// datatypes include no other header of the evaluator. Every entry is set
// statically to the evaluator's own function and is never null; a test may
// stand in for one for its own scope and puts the original back.
struct Services {
  // Evaluates a block for its effects (object and error specs): its value is
  // left as the last pushed cell; transfers go on as exceptions.
  void (*do_block)(const Cell* block);
  // The first value of a string's source text into out (rooted); false when
  // the text holds none or is not valid.
  bool (*load_first)(const Cell* text, Cell* out);
  // Every value of a string's source text, as a block into out; a syntax
  // error raises.
  void (*load_all)(const Cell* text, Cell* out);
  // UTF-8 source text loaded into a block in out (rooted).
  void (*load_text)(Cell* out, const char* text, std::size_t size);
  // The spec text of native id (source TYPE_NATIVE) or action slot
  // (TYPE_ACTION): nullptr outside the table, "" for a slot without one.
  const char* (*entry_spec)(Type source, u32 index);
  // Number text as the lexer reads it, from length units of width unit:
  // *status 0, or negative for a bad form (-2: integer overflow).
  i32 (*text_to_integer)(const u8* text, u32 length, u32 unit, i32* status);
  double (*text_to_float)(const u8* text, u32 length, u32 unit, i32* status);
  // The evaluation position an error's `near` reports (unset when none).
  const Cell* (*current_code)();
  // Told of every error being raised, before it travels (trace events).
  void (*error_raised)(Cell* error);
  // Whether an interrupt (Ctrl+C in a console) is pending: a blocking call
  // asks it while it waits; it never raises.
  bool (*interrupt_requested)();
  // Takes a pending interrupt: stops the evaluation as the safe points do
  // (throws halt-request); does nothing when none is pending.
  void (*take_interrupt)();
};
extern Services services;

}  // namespace qel::api
