// Self-drawn faces (base, rich-text, and windows and panels that draw):
// each has a backing surface that it paints at its window's next frame
// (paint_at_frame: in the frame clock's update phase, once however often it
// was asked) and that GTK only copies to the screen. What changed is known
// before the paint (the whole face, or a rectangle of it): only that is
// painted again, and copied to the screen again. Painting: the face's
// background (colour, image, text), then its `draw` block through the DRAW
// dialect, or else a `drawing` event whose actor draws into the draw
// context the window holds meanwhile.
// Transparency is plain alpha over what lies under the face in its window.
//
// Also here: the draw-face routine.
#pragma once

#include "runtime/cell.hpp"
#include "view/window.hpp"

namespace qel::view::backend::base {

// The backing surface of a new self-drawn face window (to be painted).
void init(window::Record& w);
// Whether the window paints itself (has a backing surface).
bool self_drawn(const window::Record& w);
// The face's look changed: painted whole at the next paint_pending.
void invalidate(window::Record& w);
// A rectangle of the face changed (pixels from its top-left): only it is
// painted again, unless more waits (the rectangles join).
void invalidate_area(window::Record& w, int x, int y, int width, int height);
// While the face's drawing runs for a part of the face only: that part
// (pixels); false when the whole face is painted, or none is.
bool painting_area(const window::Record& w, int* x, int* y, int* width, int* height);
// Paints the face now, whatever is pending.
void paint(window::Record& w);
// Paints the self-drawn faces of the window and its sub-windows that wait.
void paint_pending(window::Record& w);
// The same, at the window's next frame (in the frame clock's update phase,
// before the toolkit draws the frame): asked any number of times before it,
// it paints once.
void paint_at_frame(window::Record& w);
// What waits for a frame, painted now: the event loop is run (a prompt
// waits, a dialog opens, a script handles its events). Keys already queued
// for it would run the next command before the frame came; and a window
// whose frame came while long work held its drawing back
// (loop::pump_work) waits for no later frame.
void paint_waiting();
// Releases the surface (window teardown).
void release(window::Record& w);

// A new image! of the face's size holding its painting (face-to-image of a
// self-drawn face), pushed.
Cell* image_of(window::Record& w);

// Routine body: draw-face face cmds.
void draw_face();

}  // namespace qel::view::backend::base
