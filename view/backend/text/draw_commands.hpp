// The DRAW dialect's `font` and `text` commands, which the text engine
// puts into the draw engine's command table.
//
// A face is drawn as its text box. A string is laid out in the context's
// text format (the default font's when no `font` was given) in an
// unbounded box, with uniform lines of the font's natural height and the
// current font's underline and strike over the whole of it, and drawn with
// its top-left corner at the position: in the text colour when the pen is a
// solid colour (or off) or the font has a colour of its own, else with the
// pen's brush.
#pragma once

#include "view/backend/draw/commands.hpp"

namespace qel::view::backend::text {

// The commands, as the table calls them.
bool font_command(draw::Context& ctx, const draw::CommandArgs& a);
bool text_command(draw::Context& ctx, const draw::CommandArgs& a);

// Puts them into the draw engine's command table (draw::commands): before
// the first drawing that may hold text (the backend module does it when it
// is opened).
void install_draw_commands();

}  // namespace qel::view::backend::text
