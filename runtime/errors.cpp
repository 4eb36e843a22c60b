#include "runtime/errors.hpp"

#include "runtime/startup.hpp"

namespace qel {

void raise_memory_error(MemoryError) { runtime::sys_quit(94, 0); }

}  // namespace qel
