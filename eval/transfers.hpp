// Moving a break, continue, return or exit between its two forms.
//
// In ordinary code these transfers travel as statuses (eval/interpreter.hpp);
// C++ code that cannot hand a status on sends them as a Transfer exception
// (runtime/error.hpp) that unwinds the call stack to the target frame at
// once. Whoever owns the target frame must take the exception back there:
// a function call (return, exit), a loop (break, continue), and `do`, which
// makes the frame of its caller a target of return and exit. The helpers
// here send a status as an exception to the very frame the status names,
// and turn a landed exception back into the same status.
#pragma once

#include "runtime/api.hpp"
#include "runtime/error.hpp"

namespace qel::interp {

// Sends the status st (THROW_BREAK, THROW_CONTINUE, THROW_RETURN or
// THROW_EXIT) as an exception to the frame at index `target` from the
// call-stack bottom, carrying *value for break and return. When that frame is
// no longer open, the matching throw error is raised instead.
[[noreturn]] void send_status_to_target(Status st, i32 target, const Cell* value);

// Whether the transfer in flight is a return or exit that has landed on the
// frame f.
bool landed_return(const Transfer& t, const stack::Frame* f);

// Takes back a return or exit that has landed on the frame just below a
// native's own frame, as the status the native hands outward: the native's
// frame is put back as it was (own: the stacks taken inside the native) with
// the result cell kept, and the landed frame becomes the target of the
// pending status.
Status resume_landed(const Transfer& t, const stack::Snapshot& own);

// The throw error that matches a transfer no frame took (a break, continue,
// return, exit or throw that reached the top level), and raising it.
Err stray_error(u32 code);
[[noreturn]] void raise_stray(u32 code);

}  // namespace qel::interp
