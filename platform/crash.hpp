// Crash handling: processor faults become the runtime-error report and exit
// status; interruption (SIGINT, SIGTERM) exits quietly with status 130 or
// 143, unless a listener takes SIGINT; a signal ignored when the process
// started stays ignored.
// Handlers run on an alternate signal stack so that a stack overflow can
// still be reported.
#pragma once

#include <cstdint>

namespace qel::platform {

// A processor fault ends the process through exit_on_fault (runtime error code
// and the faulting address); it must be safe to call from a signal handler.
using FaultExit = void (*)(int code, std::uint32_t address);
void install_crash_handlers(FaultExit exit_on_fault);
// Tells the handlers which stack belongs to the interpreter thread, so that
// a fault just below it is reported as a stack overflow.
void set_guarded_stack(std::uintptr_t low, std::uintptr_t high);
// Each thread that may fault needs its own alternate signal stack.
void install_alt_stack();

// Called (in the signal handler, so it must be async-signal-safe) for SIGINT
// instead of exiting; null puts the exit back. Blocking calls are restarted
// after it (SA_RESTART); poll and select still return EINTR.
using InterruptListener = void (*)();
void set_interrupt_listener(InterruptListener listener);

// Called (in the signal handler, so it must be async-signal-safe) just
// before SIGINT or SIGTERM ends the process: a line editor gives the
// terminal back the settings it found. Null: none.
using InterruptExitHook = void (*)();
void set_interrupt_exit_hook(InterruptExitHook hook);

// SIGINT and SIGTERM go to the interpreter thread, so that its blocking
// calls see them: the starting thread blocks them before it starts that
// thread (which inherits the mask), and the interpreter thread unblocks them.
void block_interrupts();
void unblock_interrupts();

// Runtime error names by number ("access violation", ..., "unknown error code!").
const char* runtime_error_name(int code);

}  // namespace qel::platform
