#include "eval/natives.hpp"

#include <new>

#include "runtime/error.hpp"

namespace qel::natives {

namespace {

Entry g_table[TABLE_SIZE] = {};
u32 g_count = 1;

struct Info {
  const char* word;
  const char* spec;
};
const Info kInfo[] = {
    {nullptr, nullptr},
#define QEL_X(id, member, word, spec) {word, spec},
    QEL_NATIVES(QEL_X)
#undef QEL_X
};

// Each native runs inside this guard: C++ memory that a native sizes by
// script data (a stream buffer, a process's output, an encoding) and that
// the heap refuses raises the internal no-memory error instead of ending
// the process.
template <Entry F>
interp::Status guarded(const i32* refs) {
  try {
    return F(refs);
  } catch (const std::bad_alloc&) {
    fire(Err::internal_no_memory);
  }
}

// The entry of an empty slot: make native! takes every id of the table, and
// a call of one made for an empty slot raises here.
interp::Status reserved(const i32*) { fire(Err::internal_not_done); }

}  // namespace

void init() {
  if (g_count > 1) return;
  // Registration is positional: a native's id is its place in the list.
#define QEL_X(id, member, word, spec)                                          \
  static_assert(id >= 1 && id <= COUNT, "native ids run from 1 to 107");        \
  g_table[g_count - 1] = guarded<member>;                                       \
  ++g_count;
  QEL_NATIVES(QEL_X)
#undef QEL_X
  for (u32 i = g_count - 1; i < TABLE_SIZE; ++i) g_table[i] = reserved;
}

Entry entry(u32 id) { return (id >= 1 && id <= TABLE_SIZE) ? g_table[id - 1] : nullptr; }
const char* word_of(u32 id) { return (id >= 1 && id <= COUNT) ? kInfo[id].word : ""; }
const char* spec_of(u32 id) { return (id >= 1 && id <= COUNT) ? kInfo[id].spec : ""; }
u32 count() { return g_count; }

u32 add(Entry e) {
  if (g_count > TABLE_SIZE) fire(Err::internal_not_done);
  g_table[g_count - 1] = e;
  return g_count++;
}

}  // namespace qel::natives
