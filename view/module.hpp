// The core's side of the GUI backend module: finds qel-backend.so from the
// executable's own location (where an installed qel keeps its private
// modules, else beside it, as in the build tree) and opens it on first use
// (view/backend/entry.hpp says why and what the table holds).
#pragma once

#include "view/backend/entry.hpp"

namespace qel::view::module {

// The file name of the module, looked for first in INSTALLED_DIR (relative
// to the executable's directory: `cmake --install` puts qel in bin/ and the
// module in lib/qel/, CMakeLists.txt), then in the executable's directory.
inline constexpr const char* FILE_NAME = "qel-backend.so";
inline constexpr const char* INSTALLED_DIR = "../lib/qel";

// The module's table, opened on the first call; null when the module is
// missing or cannot be opened (the reason stays in why()).
const backend::Entries* load();
const char* why();

// The table, or the script error view-unavailable naming `what` (a routine
// or feature word) and why the module is not there.
const backend::Entries& require(const char* what);

// Raises view-unavailable naming `what` with the reason text.
[[noreturn]] void unavailable(const char* what, const char* reason);

}  // namespace qel::view::module
