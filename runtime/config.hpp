// Debug and tuning switches of the runtime, in one place.
// Every switch is off by default; each line says why it exists.
#pragma once

// QEL_CHECKS (set by the build): assert the datatype of a cell in its accessors
// and check series invariants; a failing check prints the cell and aborts.
#ifndef QEL_CHECKS
#define QEL_CHECKS 0
#endif

// QEL_COUNT_STEPS (set by the build option of that name): count evaluation
// steps by the road they ran on, compiled or reference, and print both
// counts on standard error when the process ends (eval/step_count.hpp), to
// find what leaves the compiled form. Off, the counting compiles to nothing.
#ifndef QEL_COUNT_STEPS
#define QEL_COUNT_STEPS 0
#endif

namespace qel::config {

// Size of the reserved address region that holds every node, frame and buffer.
// References inside cells are 32-bit offsets into it, so it can be 4 GiB at most.
inline constexpr unsigned long long REGION_BYTES = 1ull << 32;

// Page size the memory manager rounds page blocks to.
inline constexpr unsigned PAGE_SIZE = 4096;

// Environment variable that turns on the collector-stress mode: a full
// compacting collection at every allocation, to flush out stale buffer pointers.
// Any value but "0" collects from the end of start-up on (start-up runs
// without it, so that a process start costs no more than the code it runs);
// the value GC_STRESS_BOOT collects during start-up too.
inline constexpr const char* GC_STRESS_ENV = "QEL_GC_STRESS";
inline constexpr const char* GC_STRESS_BOOT = "boot";
// Allocations of a run (a test case) under the stress that each collect;
// after them, one in GC_STRESS_SPACING does. Long loops repeat the paths
// their first rounds took, while a collection at each of their allocations
// (each a full collection of a heap that grows with them) would cost more
// than the rest of a test pass.
inline constexpr unsigned long long GC_STRESS_FULL = 20000;
inline constexpr unsigned long long GC_STRESS_SPACING = 61;

// Environment variable that makes the library's code run as any other code:
// traced step by step, and errors inside it reporting its own code as `near`
// (normally a library call is one step of its caller), for work on the library.
inline constexpr const char* TRACE_LIBRARY_ENV = "QEL_TRACE_LIBRARY";

// Environment variable (a count N) for tests of interrupting: the text
// console then requests an interrupt at the N-th slow check of the safe
// points (one every few thousand) of each typed command, as Ctrl+C would,
// with no timing involved.
inline constexpr const char* HALT_AFTER_ENV = "QEL_HALT_AFTER";

// Environment variable that shortens the time a stalled HTTP transfer may go
// on (seconds below the low-speed limit before it fails; 60 by default), so
// that the tests of time-outs run in seconds.
inline constexpr const char* HTTP_LOW_SPEED_SECONDS_ENV = "QEL_HTTP_LOW_SPEED_SECONDS";

// Environment variable that sends every evaluation through the evaluator's
// recursive routines (the reference), with no faster form of any kind: the
// differential test passes run the Qel tests under it and compare.
inline constexpr const char* EVAL_REFERENCE_ENV = "QEL_EVAL_REFERENCE";

// Environment variable for start-up from the executable's boot image
// (console/boot/image.hpp): "0" starts from the boot data even when the
// image is there (the road of the tests that compare the two).
inline constexpr const char* BOOT_IMAGE_ENV = "QEL_BOOT_IMAGE";
// Environment variable that makes start-up say on standard error whether
// it took the boot image, and why not (for the tests of both roads).
inline constexpr const char* BOOT_REPORT_ENV = "QEL_BOOT_REPORT";

// Environment variable the build sets to a file name: the process starts
// from the boot data, writes its boot image to that file and exits.
inline constexpr const char* MAKE_IMAGE_ENV = "QEL_MAKE_IMAGE";

// Stack size of the thread that runs the interpreter. Deep Qel recursion
// (12,000 nested calls) must end in a stack-overflow error, never a crash.
inline constexpr unsigned long long EVAL_STACK_BYTES = 1ull << 30;

// Bytes kept free below the C++ stack limit; crossing it raises stack-overflow.
inline constexpr unsigned long long STACK_SAFETY_BYTES = 256 * 1024;

}  // namespace qel::config
