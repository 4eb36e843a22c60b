// C++ routines the Qel library calls by name (set as global words before the
// library sources run).
#pragma once

namespace qel::library_routines {

// Sets the routine words (unescape) in the global context.
void install();

}  // namespace qel::library_routines
