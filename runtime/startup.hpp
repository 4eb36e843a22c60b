// Start-up: the entry sequence, runtime initialisation and the exits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/cell.hpp"

namespace qel::runtime {

// The process-wide runtime record.
struct RuntimeRecord {
  u32 thrown;  // code of the control transfer in flight, 0 when none
};
extern RuntimeRecord rt;

// While set, words interned by start-up are also kept in the root block.
extern bool boot_flag;

// The command line, as UTF-8 texts (argv[0] first).
extern std::vector<std::string> args;

// The root block: a pinned block (its cells never move) that holds the
// runtime's roots, the words interned during start-up and the boot data.
extern u32 root_node;
inline constexpr u32 ROOT_CELLS = 65536;
// Appends a cell (unset) to the root block. The root block never grows: it
// has room for far more than start-up uses, and running out is fatal.
Cell* root_append();

// Lowest stack address the interpreter may use before raising stack-overflow.
extern std::uintptr_t stack_limit;
// The high end of the interpreter's stack (where the collector's scan of the
// native frames stops); 0 until set.
extern std::uintptr_t stack_base;
inline bool stack_exhausted() {
  char probe;
  return reinterpret_cast<std::uintptr_t>(&probe) < stack_limit;
}
// Sets stack_limit and stack_base for the stack from `low` to `high`, on
// which the interpreter runs.
void set_stack_limit(std::uintptr_t low, std::uintptr_t high);
// The same for the calling thread's own stack.
void set_stack_limit_for_this_thread();

// ---- defined by the start-up module on top of the layers (console/boot/startup.cpp) ----
// runtime-init: brings up memory, tables and stacks, in the fixed order.
void runtime_init();
bool initialised();

// Exits. Status 0 exits silently; any other prints the runtime-error report
// "*** Runtime Error %d: %s\n*** at: %08Xh" on standard error first.
[[noreturn]] void sys_quit(int status, u32 address = 0);
// The same, safe to call from a signal handler.
[[noreturn]] void sys_quit_from_signal(int status, u32 address);

// The entry sequence (console/boot/startup.cpp): crash handling, the interpreter
// thread with its large stack, runtime-init, then the program; answers the
// exit status.
using Program = int (*)();
int start(int argc, char** argv, Program program);

// Brings the runtime up inside a test process (once; later calls do
// nothing; console/boot/startup.cpp).
void init_for_tests();

// The boot program (console/boot/boot.hpp, console::boot::run): the
// native! and action! values and the datatype words, then the library,
// stage by stage. What the consoles run first.
void boot();

}  // namespace qel::runtime
