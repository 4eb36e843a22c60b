#include "runtime/cycles.hpp"

#include "runtime/error.hpp"
#include "runtime/startup.hpp"
#include "platform/image_state.hpp"

namespace qel::cycles {
namespace {
u32 g_entries[CAPACITY];
QEL_IMAGE_SKIP(g_entries);  // a stack, empty between walks
u32 g_top = 0;
}  // namespace

void push(u32 node) {
  g_entries[g_top++] = node;
  if (g_top >= CAPACITY) {
    g_top = 0;
    fire(Err::internal_too_deep);
  }
  // A walk begun deep in Qel recursion meets the end of the C++ stack first.
  if (runtime::stack_exhausted()) {
    g_top = 0;
    fire(Err::internal_stack_overflow);
  }
}

void pop() {
  if (g_top) --g_top;
}

void pop_n(u32 n) { g_top = n > g_top ? 0 : g_top - n; }
void reset() { g_top = 0; }
u32 depth() { return g_top; }
u32 entry(u32 i) { return i < g_top ? g_entries[i] : 0; }

bool find(u32 node) {
  for (u32 i = 0; i < g_top; ++i) {
    if (g_entries[i] == node) return true;
  }
  return false;
}

const char* marker(u32 node, Type t, bool mold) {
  if (!find(node)) return nullptr;
  if (!mold) return "...";
  switch (t) {
    case TYPE_BLOCK: case TYPE_HASH: return "[...]";
    case TYPE_PAREN: return "(...)";
    case TYPE_MAP: return "#[...]";
    case TYPE_OBJECT: return "make object! [...]";
    default: return "...";
  }
}

}  // namespace qel::cycles
