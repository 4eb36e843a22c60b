// The console's print hooks: everything printed (values that scripts print,
// texts that the runtime writes itself) goes to the terminal's vprint, the
// graphical console's output entry (gui-console-ctx/terminal/vprint).
#pragma once

#include <cstddef>

#include "runtime/cell.hpp"

namespace qel::console {

// add-gui-print: keeps the byte-text buffer at the tail of the root block and
// registers the two hooks below with the runtime's output hook lists.
void add_gui_print();
// Prints the string on the terminal, with a line end when the flag is set.
// Raises internal stack-overflow when fewer than 75 cells of the arguments
// stack or 64 call frames are left; runs untraced.
void qel_print_gui(const Cell* text, int line_end);
// Decodes UTF-8 bytes into the reused buffer and prints them as above; a
// length that is negative as a signed number means up to the zero byte.
void rs_print_gui(const char* bytes, std::size_t length, int line_end);
// Whether a print is on its way to the terminal (whose lines are then
// mid-change: nothing may repaint them).
bool printing();
// A function to call each time the outermost print has ended (null: none).
void set_after_print(void (*fn)());

}  // namespace qel::console
