// Raising errors from the runtime core.
#pragma once

namespace qel {

enum class MemoryError { no_memory, wrong_mem };

// The OS refused pages (no-memory) or a release (wrong-mem): raised as the
// internal error of that name through the runtime's error path.
[[noreturn]] void raise_memory_error(MemoryError e);

}  // namespace qel
