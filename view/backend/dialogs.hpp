// request-file and request-dir: GTK's file chooser for opening, saving
// (one file or several) and choosing a folder; the choice answered as
// file! values, none when cancelled.
//
// A file answer waiting in the test hooks (`_gui-test 'answer [file ...]`,
// or [dir ...]) stands for the user: the dialog is set up as for the user,
// and the answer is taken as the names chosen in it: none cancels, a file
// or string names one file (relative to the folder the dialog shows), a
// block several. `_gui-test 'dialog none` then tells how the last dialog
// was set up.
#pragma once

#include "runtime/cell.hpp"

namespace qel::view::backend::dialogs {

// Routine bodies: request-file title name filter save? multi?, and
// request-dir title dir filter keep? multi?.
void request_file();
void request_dir();

// [action title folder name multiple? filter-names]: the last dialog's
// set-up (tests); none before any.
void last_dialog(Cell* out);

}  // namespace qel::view::backend::dialogs
