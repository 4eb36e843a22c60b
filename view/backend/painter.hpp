// When face windows are painted: at the next frame of their window, in the
// frame clock's update phase (base.hpp), whatever asked for it (showing a
// window, redrawing a face, refresh, a facet update) and however many
// times; before the toolkit lays the frame out and draws it. Only who must
// read pixels first (a window's pixels, a face as an image) paints now.
#pragma once

#include "runtime/cell.hpp"
#include "view/window.hpp"

namespace qel::view::backend::painter {

void show(window::Record& w);     // OS-show-window: shown, what waits painted at the next frame
void redraw(window::Record& w);   // OS-redraw: invalidated whole, painted at the next frame
void refresh(window::Record& w);  // OS-refresh-window: what waits painted at the next frame
// The self-drawn faces of the window's tree that wait, painted into their
// surfaces now and the widgets laid out (the toolkit copies them to the
// screen at its next frame): for who reads pixels back.
void flush(window::Record& w);

// Pushes the window's pixels as an image! (none when it has no size yet).
Cell* snapshot(window::Record& w);

// The console's partial repaints (entry.hpp's redraw_area, painting_area).
bool redraw_area(const Cell* face, const Cell* offset, const Cell* size);
Cell* painting_area(const Cell* face);

// Routine bodies: show-window, refresh-window, redraw.
void show_window();
void refresh_window();
void redraw_face();

}  // namespace qel::view::backend::painter
