#include "view/backend/draw/commands.hpp"

#include <algorithm>

#include "runtime/error.hpp"
#include "view/backend/draw/walker.hpp"

namespace qel::draw {

bool command_not_built(Context&, const CommandArgs& a) {
  Cell keyword = *a.at(a.keyword);
  fire(Err::script_invalid_arg, &keyword);
}

namespace {

// A clip narrows the clips in force, whatever its mode word: a rectangle
// from the first to the last point, or the SHAPE figure, closed, filled by
// the winding rule.
bool clip(Context& ctx, const CommandArgs& a) {
  cairo_t* cr = ctx.cr;
  cairo_new_path(cr);
  if (a.flag) {
    Point p = point_of(a.at(a.first)), q = point_of(a.at(a.last));
    double x = std::min(p.x, q.x), y = std::min(p.y, q.y);
    cairo_rectangle(cr, x, y, std::max(p.x, q.x) - x, std::max(p.y, q.y) - y);
  } else {
    ctx.shape.path.emit(cr);
    cairo_close_path(cr);
    ctx.shape.reset();
  }
  clip_push_path(ctx);
  return true;
}

}  // namespace

CommandTable commands = {
    command_not_built,  // box
    command_not_built,  // line
    command_not_built,  // triangle
    command_not_built,  // polygon
    command_not_built,  // circle
    command_not_built,  // ellipse
    command_not_built,  // font
    command_not_built,  // text
    command_not_built,  // arc
    command_not_built,  // curve
    command_not_built,  // spline
    command_not_built,  // image
    command_not_built,  // shadow
    clip,
    command_not_built,  // rotate
    command_not_built,  // scale
    command_not_built,  // translate
    command_not_built,  // skew
    command_not_built,  // transform
    command_not_built,  // matrix
    command_not_built,  // reset-matrix
    command_not_built,  // invert-matrix
};

}  // namespace qel::draw
