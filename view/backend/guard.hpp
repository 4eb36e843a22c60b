// Entering Qel from a C library's callback (a GTK signal handler, a cairo or
// pango callback) so that nothing thrown crosses the library's frames.
//
// `run` opens a frame that errors stop at (as `try` does; a throw, break or
// return aimed below it passes), runs the code, and catches whatever comes
// out as a C++ exception: an error, a throw on its way to its catch, or an
// exception of another kind. The stacks are put back as they were at entry,
// the transfer is kept pending and `run` answers false; the callback then
// returns to the library normally. Once control is back in the core's own
// frame (the routine that called into GTK), `raise_pending` raises the
// pending transfer there, as if it had come straight through: an error as
// itself, a throw sent again to its catch.
#pragma once

#include <utility>

#include "runtime/cell.hpp"
#include "runtime/error.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"

namespace qel::view::backend::guard {

using Saved = stack::Snapshot;

Saved save();
void open();                          // the frame every transfer stops at
void close(const Saved& s);           // normal end: the stacks as saved
void keep(const Saved& s, u32 code);  // a transfer arrived: kept pending, the stacks as saved
void keep_foreign(const Saved& s, bool no_memory);  // another C++ exception

// With errors_end_here, an error ends at this frame instead: dropped, the
// stacks as they were, nothing pending (the handlers of an event whose
// processing goes on).
template <class F>
bool run(F&& f, bool errors_end_here = false) noexcept {
  Saved s = save();
  try {
    open();
    std::forward<F>(f)();
    close(s);
    return true;
  } catch (const Transfer& t) {
    if (errors_end_here && t.code == THROW_ERROR) {
      runtime::rt.thrown = 0;
      s.restore();
    } else {
      keep(s, t.code);
    }
  } catch (const std::bad_alloc&) {
    keep_foreign(s, true);
  } catch (...) {
    keep_foreign(s, false);
  }
  return false;
}

// Whether a transfer waits; the first one kept wins until it is raised.
bool pending();
// Raises the pending transfer (an error as itself, a throw sent on to its
// catch); does nothing when none waits.
void raise_pending();
// Forgets a pending transfer (a callback's outcome nobody will raise).
void clear();

}  // namespace qel::view::backend::guard
