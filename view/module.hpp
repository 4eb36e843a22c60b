// The core's side of the GUI backend module: finds qel-backend.so beside the
// executable and opens it on first use (view/backend/entry.hpp says why and
// what the table holds).
#pragma once

#include "view/backend/entry.hpp"

namespace qel::view::module {

// The file name of the module, looked for in the executable's directory.
inline constexpr const char* FILE_NAME = "qel-backend.so";

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
