// The console terminal's routines: what it does for every printed line, in
// C++ (console/terminal_routines.cpp).
#pragma once

namespace qel::console {

// The terminal's row walks and line routines into its scroll-lines,
// add-line, reset-top and vprint, once every library source has run.
void wire_terminal_routines();

}  // namespace qel::console
