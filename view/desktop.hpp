// What the desktop offers outside the windows, for the library: the
// clipboard routines and the caret blink time, read through the GUI backend
// module; and the face capture that `to image!` of a face uses.
#pragma once

namespace qel::view::desktop {

// The desktop's caret blink time in milliseconds, -1 when the caret does not
// blink; read through the GUI backend module (-1 without it or a display).
int caret_blink_time();

// Start-up, before the library's sources run: sets the global words
// read-clipboard, write-clipboard and get-caret-blink-time to their
// routines, and gives the I/O services the face capture (`to image!`).
void define_routines();

}  // namespace qel::view::desktop
