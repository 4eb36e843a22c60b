// The qel executable: the start-up sequence, then the graphical console when
// a display opens, else the text console.
#include "console/gui_console.hpp"

int main(int argc, char** argv) { return qel::console::qel_main(argc, argv); }
