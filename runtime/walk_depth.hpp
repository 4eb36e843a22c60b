// The depth limit of recursive native walks.
//
// A walk that follows nested blocks (compose/deep, bitset specs, ...) calls
// check_walk_depth at every level: a structure nested deeper than
// MAX_WALK_DEPTH levels, or a walk started when the C++ stack is already
// nearly used up, raises internal stack-overflow, a Qel error that `try`
// catches, instead of overrunning the native stack.
#pragma once

#include "runtime/cell.hpp"
#include "runtime/error.hpp"
#include "runtime/startup.hpp"

namespace qel::runtime {

// As deep as the cycle stack of mold, compare and copy lets them go.
inline constexpr u32 MAX_WALK_DEPTH = 1000;

inline void check_walk_depth(u32 depth) {
  if (depth >= MAX_WALK_DEPTH || stack_exhausted()) fire(Err::internal_stack_overflow);
}

}  // namespace qel::runtime
