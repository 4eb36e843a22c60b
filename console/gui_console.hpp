// The graphical console: qel's front end when a display opens.
#pragma once

namespace qel::console {

// qel: starts the runtime and the library, then the graphical console when
// a display opens, else the text console (saying so on standard error).
int qel_main(int argc, char** argv);

// Whether a display opens: DISPLAY or WAYLAND_DISPLAY is set and the GUI
// backend module starts the toolkit on it.
bool display_available();

// After start-up: the console window, its settings, then the console engine
// (gui-console-ctx/launch); the exit status when the engine returns.
int gui_console();

}  // namespace qel::console
