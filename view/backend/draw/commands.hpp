// The DRAW command table: the operations the walker calls once it has
// checked a keyword's arguments, with the positions of those arguments in
// the DRAW block.
//
// The shapes, clips, transformations and shadows are in commands.cpp (the
// shadows' painting in shadow.cpp), images in image_command.cpp; the text engine puts in text and
// fonts (view/backend/text/draw_commands.hpp), which until then draw nothing
// (a text is refused).
// An operation reads its arguments with CommandArgs::at and the readers of
// arguments.hpp; nothing it calls may allocate while it holds a cell pointer.
// (Tests put stand-ins into the table.)
#pragma once

#include "runtime/cell.hpp"
#include "runtime/memory.hpp"
#include "view/backend/draw/context.hpp"

namespace qel::view::backend::draw {

enum Target : u8 { TARGET_DRAWING = 0, TARGET_PEN = 1, TARGET_FILL = 2 };

inline constexpr i32 NO_POS = -1;

struct CommandArgs {
  u32 node = 0;     // the DRAW block's series node
  u32 keyword = 0;  // position of the keyword
  u32 first = 0;    // position of the first argument
  u32 last = 0;     // position of the last argument (see each entry)
  i32 extra[4] = {NO_POS, NO_POS, NO_POS, NO_POS};  // further positions, NO_POS when absent
  u32 word = 0;     // a word argument's canonical symbol, 0 when absent
  bool flag = false;
  Target target = TARGET_DRAWING;

  const Cell* at(u32 i) const { return mem::buffer_of(node)->cells() + i; }
  const Cell* at(i32 i) const { return i < 0 ? nullptr : at(u32(i)); }
};

// An operation answers false for a failure the walker reports (text: at the
// text value; image: internal no-memory); true otherwise.
using Command = bool (*)(Context& ctx, const CommandArgs& a);

struct CommandTable {
  // first: top-left; last: bottom-right, or the corner radius after it.
  Command box;
  // first and last point (two or more points).
  Command line;
  // first: the first of the three points.
  Command triangle;
  // first and last point (three or more).
  Command polygon;
  // first: the centre; last: the last radius (one or two numbers).
  Command circle;
  // first: top-left; last: the size.
  Command ellipse;
  // first: the font object, or the word holding it.
  Command font;
  // first: the position; last: the string or face object; flag: a window's
  // own face, whose background is not painted again.
  Command text;
  // first: the centre (radii, start and sweep follow); last: the last
  // consumed value; flag: closed.
  Command arc;
  // first and last point (three or four).
  Command curve;
  // first and last point; flag: closed.
  Command spline;
  // first: the image, or the word holding it; extra[0] and extra[1]: the
  // first and last point, extra[2]: the key colour, extra[3]: the crop
  // offset (its size follows); flag: border.
  Command image;
  // word: `off`, else first: the offset; extra[0]: blur, extra[1]: spread,
  // extra[2]: the colour (tuple or word); flag: inset.
  Command shadow;
  // flag: a rectangle from first to last point, else the SHAPE figure in
  // ctx.shape; word: the mode (replace, intersect, union, xor, exclude).
  Command clip;
  // target; first: the angle; extra[0]: the centre.
  Command rotate;
  // target; first: the x scale; last: the last consumed (y scale or centre).
  Command scale;
  // target; first: the offset.
  Command translate;
  // target; first: the x angle; last: the last consumed.
  Command skew;
  // target; first: the first argument (centre or angle); extra[0]: the x
  // scale; last: the translation.
  Command transform;
  // target; first: the block of six numbers (checked).
  Command matrix;
  // target.
  Command reset_matrix;
  Command invert_matrix;
};

extern CommandTable commands;

// The operations that live outside commands.cpp.
namespace ops {
bool image(Context& ctx, const CommandArgs& a);
}  // namespace ops

}  // namespace qel::view::backend::draw
