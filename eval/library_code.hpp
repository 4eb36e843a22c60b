// The code of the library runs as one step for whoever calls it: an error
// raised inside a library function reports the caller's code in its `near`,
// and the trace events of the interpreter come from no block of the library
// (a call of a library function is one call). The blocks of the library's
// function bodies are recorded once at the end of start-up.
#pragma once

#include <vector>

#include "runtime/cell.hpp"

namespace qel::library {

extern std::vector<bool> g_code_nodes;  // by node offset / 8
extern bool g_code_marks_on;           // development switch: off treats library code as user code

inline bool is_library_code(u32 node) {
  u32 i = node >> 3;
  return g_code_marks_on && i < g_code_nodes.size() && g_code_nodes[i];
}

// Records the blocks of every function body reachable from the global words
// and the objects they hold (one level of objects deep, system's included).
void mark_library_code();

}  // namespace qel::library
