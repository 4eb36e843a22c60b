// The interpreter: evaluates blocks of values as code.
//
// Every intermediate result lives on the arguments stack and every nested
// evaluation opens a call frame. An operation leaves its result in the base
// cell of its frame, or, in sub mode (collecting arguments), pushes it.
//
// Code positions are indexes into the code block, never pointers: the block's
// buffer may move whenever something allocates. The cell at a position is
// copied before anything is evaluated.
//
// Unwinding. `return`, `exit`, `break` and `continue` in ordinary code do not
// throw: the native checks that a target frame exists (raising the throw
// error otherwise), records the target frame and the carried value, and
// answers a status. Every level of the interpreter hands a non-zero status
// outward after closing its own frame; the level that owns the target frame
// takes it (a function call or a `do` takes return/exit, a loop takes
// break/continue). C++ code that calls the interpreter without handling
// statuses uses the *_or_throw entries, which turn a status into the
// exception form of the same transfer. Errors and `throw` always travel as
// exceptions (runtime/error.hpp).
#pragma once

#include "runtime/cell.hpp"
#include "runtime/stack.hpp"

namespace qel::interp {

// ---- unwinding statuses -------------------------------------------------------
// A status is 0 (normal) or one of THROW_BREAK, THROW_CONTINUE, THROW_RETURN,
// THROW_EXIT; the pending target and value describe it.
using Status = u32;
extern i32 pending_target;  // index of the target frame from the call-stack bottom
Cell* pending_value();      // the carried value (a rooted cell)

// Sets up a pending unwinding: answers the status to hand outward.
Status start_unwind(Status code, i32 target, const Cell* value);
// Whether the frame f is the target of a pending return/exit.
bool takes_return(Status st, const stack::Frame* f);
// Turns a status into the exception form of the same transfer, sent to the
// frame the status names (used where C++ code cannot hand a status on).
[[noreturn]] void rethrow_status(Status st);
inline void check(Status st) {
  if (st) rethrow_status(st);
}

// ---- evaluation ----------------------------------------------------------------

// A block being walked: its node and the index just past its last cell at entry.
struct Code {
  const Cell* block;  // the block value (for trace events and `near`); may be null
  u32 node;
  u32 end;
};

// Evaluates the block from its index to its tail in a frame of its own; leaves
// the last value (unset for an empty block): with chain, copied into the
// caller's base; otherwise as the last pushed cell of the caller's frame.
Status eval_block(const Cell* block, bool chain);
// How one expression is evaluated.
struct ExprMode {
  bool prefix = false;   // no infix operator after the value is taken (an operand)
  bool sub = false;      // push the result (collecting arguments) instead of the base cell
  bool passive = false;  // a function value met is the result, not called
};
// eval_block for a block that native code runs again and again (a PARSE
// rule's paren), its compiled unit kept in `unit` between runs.
namespace compiled {
struct UnitCache;
}
Status eval_block_kept(const Cell* block, bool chain, compiled::UnitCache& unit);
// One expression at pos; advances pos past it.
Status eval_expression(const Code& code, u32& pos, ExprMode mode = {});
// One expression inside a frame of its own (any, all, case, reduce).
Status eval_next(const Code& code, u32& pos, bool sub);
// The do/next step: the value in the base cell, answers the index after it.
Status do_next(const Cell* block, i32* next_index);

// Calls a function-like value whose arguments follow at pos in code.
// ref: the word naming the call (or null); path: the path it came from (or
// null); owner: the object the function belongs to (or null).
Status eval_call(const Cell* fn, const Code& code, u32& pos, bool sub, const Cell* path,
                 const Cell* ref, const Cell* owner, u32 apply_mode, bool infix);

// Runs a function! whose arguments and locals are on the stack in the current
// frame, in the given context (0: the function's own).
Status call_function(const Cell* fn, u32 owner_ctx, const Cell* name, u32 callback_bit);
// Runs a routine! whose arguments the caller pushed inside an open frame: its
// C++ entry reads them from the frame base and leaves the result there.
void call_routine(const Cell* fn);

// Evaluates a path; set mode stores value (the frame's base cell). A path
// that ended in a call clears *not_called when given.
Status eval_path(const Cell* path, const Code& code, u32& pos, bool set, bool get, bool sub,
                 bool case_, bool* not_called = nullptr);

// The argument descriptor block of a function-like value (built on first use).
u32 spec_arguments(const Cell* fn);
// The argument descriptor of a spec block, built into out (rooted): one
// typeset per argument (its kind in the header), the refinements (numbered
// for natives and actions), then the locals' count and a native's count of
// refinements. Not cached: spec_arguments keeps a value's.
void describe_spec(u32 spec, bool native_like, Cell* out);

// Callbacks from C++ code that does not take statuses.
void eval_block_or_throw(const Cell* block, bool chain);
// Calls fn (a function-like value) with the given argument values through
// api::invoke (runtime/api.hpp, which new code uses instead); the result is
// answered as a cell pushed on the stack, and a transfer passing through is
// sent on as an exception.
Cell* call_with_args(const Cell* fn, const Cell* args, u32 count, u32 callback_bit,
                     const Cell* name = nullptr);


// The cell whose index says where the evaluation is (an error's `near`).
Cell* current_code();

void init();

// ---- tracing -------------------------------------------------------------------
enum Event : u32 {
  EV_INIT = 1, EV_END = 2, EV_PROLOG = 4, EV_EPILOG = 8, EV_ENTER = 16, EV_EXIT = 32,
  EV_OPEN = 64, EV_RETURN = 128, EV_FETCH = 256, EV_PUSH = 512, EV_SET = 1024, EV_CALL = 2048,
  EV_ERROR = 4096, EV_THROW = 8192, EV_CATCH = 16384, EV_EXPR = 32768,
};
extern bool trace;      // events are being reported
// Everything runs through the recursive routines (the reference), with no
// faster form (set from the environment at start-up, runtime/config.hpp).
extern bool reference;
extern bool trace_run;  // a do/trace run is active
// Set by `trace false` inside a run, cleared by `trace true` and by the start
// and end of a run: no event reaches the callback while it is set. Unlike
// the trace flag, it outlives the function call that set it.
extern bool trace_held;
// Whether the code running now is inside a traced run whose events are not
// held by `trace false`: library code, whose own events are held back, is
// traced too; the trace callback (which runs untraced) is not.
bool tracing();
void fire_event(u32 event, const Cell* code, i32 offset, const Cell* ref, const Cell* value);
// Starts and ends a do/trace run.
void trace_start(const Cell* callback);
void trace_end();
u32 trace_mask(const Cell* fn);
// The kinds of callback (api::CALLBACK_* bits) whose evaluation is traced:
// system/state/callbacks/bits, 0 before start-up has made it.
u32 traced_callbacks();
// Fires an event while a transfer may be in flight (epilog of a body being
// left, end of a run), keeping what the transfer carries.
void fire_event_unwinding(u32 event, const Cell* code, i32 offset, const Cell* ref,
                          const Cell* value);

}  // namespace qel::interp
