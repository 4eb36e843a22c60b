// GTK started once per process, for windows and the clipboard alike.
// Drawing and text measurement need no display and never start it.
#pragma once

namespace qel::view::backend::display {

// Starts GTK on the first call (gtk_init_check); answers whether a display
// is open. Without one (no DISPLAY, no X server) every later call answers
// false at once.
bool open();

}  // namespace qel::view::backend::display
