// Interrupting a running evaluation.
//
// A request (Ctrl+C in a console, a test trigger) sets a flag that the
// evaluator reads at its safe points: every iteration of a loop native or of
// a PARSE repetition, and every function body it enters, in every path that
// runs code. A safe point that finds the flag set clears it and throws the
// word `halt-request` with the name `console`, as `halt` does, so the
// console's catch prints "(halted)" and the runtime stays intact.
//
// The fast path is one counter: every safe point counts it down and only
// when it runs out does the slow check run (the flag, then the pump hook).
// A request sets the counter to zero as well, so the very next safe point
// takes it. The counter is read and written with relaxed atomic loads and
// stores (plain moves, and no <atomic>, whose headers bring macros into
// every includer): a request that races with a count-down may lose its zero,
// never its flag, and is then taken at most CHECK_PERIOD safe points later.
//
// QEL_INTERRUPT_POLL=0 compiles the safe points out (to measure their cost).
#pragma once

#ifndef QEL_INTERRUPT_POLL
#define QEL_INTERRUPT_POLL 1
#endif

namespace qel::interrupt {

// Safe points between two slow checks when nothing is requested.
inline constexpr int CHECK_PERIOD = 4096;
// The pump hook runs at most this often (milliseconds) by default.
inline constexpr int PUMP_INTERVAL_MS = 50;

extern int countdown;

// The slow check: takes a pending request (throws halt-request), and runs
// the pump hook when its interval has passed.
void check();

// A safe point.
[[gnu::always_inline]] inline void poll() {
#if QEL_INTERRUPT_POLL
  int left = __atomic_load_n(&countdown, __ATOMIC_RELAXED) - 1;
  __atomic_store_n(&countdown, left, __ATOMIC_RELAXED);
  if (left < 0) [[unlikely]] check();
#endif
}

// Asks the evaluation to stop at its next safe point. Safe to call from a
// signal handler.
void request();
// Whether a request is pending, and dropping it (a console that returns to
// its prompt by itself drops a request that came too late).
bool requested();
void clear();
// Takes a pending request at once (a blocking native that woke up, `ask`):
// throws halt-request when one is pending, else does nothing.
void take();

// The pump hook: called from the safe points at most every interval_ms
// milliseconds while work runs (0: at every slow check), so that a window
// can be repainted and read. Null removes it. The hook may request an
// interrupt; it must not let a C++ exception out unless it means to stop
// the evaluation with it.
using Hook = void (*)();
void set_hook(Hook hook, int interval_ms = PUMP_INTERVAL_MS);

// Throws the word halt-request with the name console (what `halt` does);
// without a catch of that name it surfaces as the throw error.
[[noreturn]] void raise_halt();

}  // namespace qel::interrupt
