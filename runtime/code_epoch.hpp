// The code epoch: one counter that tells a compiled form of code (a compiled
// function body, a compiled PARSE rule) that code it was made from may have
// changed.
//
// A compiled form reads the cells of some blocks once, when it is made, and
// marks each such series as compiled (mark_compiled). Every writer into a
// block-like series (insert, append, change, poke, remove, clear, take,
// sort, reverse, swap, move, trim, bind, path sets, PARSE's changes of its
// input, ...) calls changed() with the series' node before it writes and
// again after: when the series is marked, the epoch moves on. A compiled
// form remembers the epoch it last checked its code at; when the epoch has
// moved, it compares its cells with the series' cells again (they may be
// unchanged: the epoch is one for all code) and goes on, or gives up the
// compiled form. Checked builds (QEL_CHECKS) also compare the cells when the
// epoch has not moved, so a writer that forgot to call changed() is caught.
#pragma once

#include "runtime/memory.hpp"

namespace qel::code {

extern u32 epoch;

// Code that a compiled form relies on: writing into the series moves the epoch.
inline void mark_compiled(u32 node) { mem::buffer_of(node)->flags |= mem::SERIES_COMPILED; }
inline bool is_compiled(u32 node) { return (mem::buffer_of(node)->flags & mem::SERIES_COMPILED) != 0; }

// Called by every writer into a block-like series, before and after it writes.
inline void changed(u32 node) {
  if (node && (mem::buffer_of(node)->flags & mem::SERIES_COMPILED)) ++epoch;
}

}  // namespace qel::code
