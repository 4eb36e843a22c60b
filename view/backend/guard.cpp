#include "view/backend/guard.hpp"

#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"

namespace qel::view::backend::guard {

namespace {

// The codes of what is kept pending: a transfer's own code (THROW_ERROR,
// THROW_THROW, ...), or one of these for a C++ exception of another kind.
constexpr u32 NOTHING_PENDING = 0;
constexpr u32 FOREIGN_NO_MEMORY = 1;  // std::bad_alloc: raised as no-memory
constexpr u32 FOREIGN_OTHER = 2;      // anything else: raised as not-done

u32 g_code = NOTHING_PENDING;  // the pending transfer's code
Cell g_values[2] = {};    // an error; or a thrown value and its name
bool g_marking = false;

void mark_pending() {
  if (g_code != NOTHING_PENDING) gc::mark_values(g_values, g_values + 2);
}

void set_pending(u32 code, const Cell* a, const Cell* b) {
  if (!g_marking) g_marking = gc::add_mark_callback(mark_pending);
  if (g_code != NOTHING_PENDING) return;  // the first one wins
  g_code = code;
  if (a) copy_cell(a, &g_values[0]); else make_none(&g_values[0]);
  if (b) copy_cell(b, &g_values[1]); else make_none(&g_values[1]);
}

}  // namespace

Saved save() { return Saved(); }

void open() { stack::mark(0, 0, stack::FRAME_CATCH); }

void close(const Saved& s) { s.restore(); }

void keep(const Saved& s, u32 code) {
  runtime::rt.thrown = 0;
  const Cell* a = nullptr;
  const Cell* b = nullptr;
  if (code == THROW_ERROR) {
    if (stack::top > stack::bottom && type_of(stack::top - 1) == TYPE_ERROR) a = stack::top - 1;
  } else if (code == THROW_THROW && stack::top - stack::bottom >= 2) {
    a = stack::top - 2;
    b = stack::top - 1;
  }
  Cell va, vb;
  if (a) va = *a;
  if (b) vb = *b;
  s.restore();
  set_pending(code, a ? &va : nullptr, b ? &vb : nullptr);
}

void keep_foreign(const Saved& s, bool no_memory) {
  runtime::rt.thrown = 0;
  s.restore();
  // Raised as errors from the core's frame.
  set_pending(no_memory ? FOREIGN_NO_MEMORY : FOREIGN_OTHER, nullptr, nullptr);
}

bool pending() { return g_code != NOTHING_PENDING; }

void clear() { g_code = NOTHING_PENDING; }

void raise_pending() {
  u32 code = g_code;
  if (code == NOTHING_PENDING) return;
  g_code = NOTHING_PENDING;
  Cell a = g_values[0], b = g_values[1];
  switch (code) {
    case FOREIGN_NO_MEMORY:
      fire(Err::internal_no_memory);
    case FOREIGN_OTHER:
      fire(Err::internal_not_done);
    case THROW_ERROR:
      if (type_of(&a) == TYPE_ERROR) stack::throw_error(stack::push_cell(&a));
      fire(Err::internal_not_done);
    case THROW_THROW:
      // As the throw native sends it.
      stack::send_throw(&a, &b);
    case THROW_BREAK:
      fire(Err::throw_break);
    case THROW_CONTINUE:
      fire(Err::throw_continue);
    default:
      fire(Err::throw_return);
  }
}

}  // namespace qel::view::backend::guard
