// When face windows are painted: showing a window, redrawing a face, the
// pending paints done now (refresh), and a window's pixels.
#pragma once

#include "runtime/cell.hpp"
#include "view/window.hpp"

namespace qel::view::backend::painter {

void show(window::Record& w);     // OS-show-window
void redraw(window::Record& w);   // OS-redraw: invalidated whole, painted at the next frame
void refresh(window::Record& w);  // OS-refresh-window: what is pending is painted now
// What `show` and `refresh` paint: the self-drawn faces of the window's
// tree that wait for it, painted into their surfaces now (the toolkit
// copies them to the screen at its next frame).
void paint_pending(window::Record& w);

// Pushes the window's pixels as an image! (none when it has no size yet).
Cell* snapshot(window::Record& w);

// Routine bodies: show-window, refresh-window, redraw.
void show_window();
void refresh_window();
void redraw_face();

}  // namespace qel::view::backend::painter
