// request-font: the font dialog (GTK's font chooser).
#pragma once

namespace qel::view::backend::font_dialog {

// The routine body: request-font font selected mono?. The dialog starts
// from `selected` (a font object, else the fixed font at 11 points); a
// choice fills `font` (name, size in whole points, style: bold, italic or
// both; the style stays when neither) and answers it; a cancel answers
// none. A font answer waiting in the test hooks stands for the dialog.
void request_font();

}  // namespace qel::view::backend::font_dialog
