// The arguments a native's or action's entry reads, against those its value's
// spec lists.
//
// make native! and make action! take any spec with an entry's index, and the
// evaluator collects a call's arguments by that spec (which a script may
// also change through spec-of); the entry reads its frame as its own spec
// (the table's) lays it out, trusting the types the evaluator checked. A
// value's argument descriptor is therefore fitted to the table's spec once,
// when it is built: each argument the entry reads accepts
// only the types both specs allow; a spec that gives the entry fewer
// arguments or refinements than it reads, or an index whose slot has no spec
// (the action slots no word names), is marked, and a call of it raises
// instead of running the entry. Arguments and refinements beyond the
// entry's are collected and left unread.
#pragma once

#include <vector>

#include "runtime/cell.hpp"

namespace qel::entry_fit {

// Fits the descriptor (a rooted block!, built from the spec of the native!
// or action! of that index) to the entry's own spec; when the entry cannot
// run with it, replaces it with a marked copy. Entries without a spec of the
// table (natives a host added) are left as they are.
void fit(Type type, u32 index, Cell* desc);

// Whether the descriptor cell marks an entry that cannot run (its first).
inline bool is_mark(const Cell* d) { return type_of(d) == TYPE_NONE; }

// Raises the error of a call of a marked function: internal not-done for an
// index with no spec, else script missing-arg.
[[noreturn]] void refuse(const Cell* fn);

// The table's own layout of an entry, read from its spec text: the
// arguments of each group (the plain ones, then each refinement's) and each
// argument's types as a mask by type id. Empty when the index has no spec.
struct TableLayout {
  std::vector<u32> counts;
  std::vector<u64> types;
};
TableLayout table_layout(Type type, u32 index);

}  // namespace qel::entry_fit
