// The window procedures of the face window classes (main, base, text
// controls) and the window-level signals of top-level windows that feed
// them: a new position or size (configure events; moving and resizing
// while they follow each other closely, X having no size-move loop of its
// own), minimising, maximising and restoring, closing, activation, and a
// change of monitors.
#pragma once

#include "view/window.hpp"

namespace qel::view::backend::procedures {

// Registers the class procedures (once).
void install();
// Connects a top-level window's signals (window faces).
void connect_window(window::Record& w);
// Connects a self-drawn face's focus signals (its input method follows).
void connect_base(window::Record& w);
// Forgets what the procedures keep of a window that goes.
void forget(u32 id);

}  // namespace qel::view::backend::procedures
