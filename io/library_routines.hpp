// C++ routines the Qel library calls by name (set as global words before the
// library sources run).
#pragma once

#include "runtime/cell.hpp"

namespace qel::library_routines {

// Sets the routine words (unescape) in the global context.
void install();

// Expands the directives and macros of code (a block or paren) in place with
// the library's preprocessor, the job being none; nothing when the library
// has no preprocessor.
void expand_directives(const Cell* code);

}  // namespace qel::library_routines
