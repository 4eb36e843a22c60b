// The DRAW and SHAPE dialect walkers.
//
// parse_draw visits a DRAW block: each keyword's arguments are checked by
// their datatypes, in the fixed order of optional and mandatory parts, and
// the keyword's operation is called (the pen, brush, stroke and state
// operations of the draw context, the SHAPE walker, and the commands of the
// command table). Argument checks never consume a value of the wrong type:
// a missing argument is reported at the value found in its place, or at the
// tail.
//
// Errors: draw-invalid (the block positioned at the offending value) and
// draw-infinite (a block that contains itself, directly or through nested
// blocks; the runtime's cycle stack tells), as arguments.hpp raises them.
//
// The walk keeps its block rooted and reads the block's tail again at every
// step: a set-word in the block sets a word, and the word's owner's
// on-change* may change the block.
#pragma once

#include "runtime/cell.hpp"
#include "view/backend/draw/arguments.hpp"
#include "view/backend/draw/context.hpp"

namespace qel::view::backend::draw {

void parse_draw(Context& ctx, const Cell* block);
// close_and_draw: the figure is drawn at the end (false: kept in ctx.shape
// for a clip); nested: a block inside a SHAPE block.
void parse_shape(Context& ctx, const Cell* block, bool close_and_draw, bool nested = false);

// Walks the DRAW block on a begun context, as do-draw does: a quiet stop
// ends the walk (answered as false); errors go on (the caller ends the
// context, which keeps what was drawn before).
bool run(Context& ctx, const Cell* commands);

// Draws the block into the image (nothing for an image without pixels or
// commands that are not a non-empty block), as the draw-image routine does:
// errors are raised (silent mode stops quietly), and whatever was drawn
// before an error stays in the image.
void draw_image(const Cell* image, const Cell* commands);

// Begins a drawing on a window's surface for its face, which paints its
// background first: cleared to the face's colour (transparent without one),
// its image scaled to its size, and for a face that is no window, its text,
// drawn by the text command in the font's colour (black without one). With
// an area, the drawing keeps to that rectangle of the surface (pixels): what
// lies outside it stays as it was.
void begin_window(Context& ctx, cairo_surface_t* surface, u32 width, u32 height, const Cell* face,
                  const cairo_rectangle_int_t* area = nullptr);

}  // namespace qel::view::backend::draw
