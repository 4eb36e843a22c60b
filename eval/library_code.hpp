// The code of the library runs as one step for whoever calls it: an error
// raised inside a library function reports the caller's code in its `near`,
// and the trace events of the interpreter come from no block of the library
// (a call of a library function is one call). The blocks of the library's
// function bodies are marked once at the end of start-up.
#pragma once

#include "runtime/cell.hpp"
#include "runtime/memory.hpp"

namespace qel::library {

// The blocks carry mem::SERIES_LIBRARY (a copy of one does not). The
// development switch config::TRACE_LIBRARY_ENV leaves them unmarked.
inline bool is_library_code(u32 node) {
  return (mem::buffer_of(node)->flags & mem::SERIES_LIBRARY) != 0;
}

// Records the blocks of every function body reachable from the global words
// and the objects they hold (one level of objects deep, system's included).
void mark_library_code();

}  // namespace qel::library
