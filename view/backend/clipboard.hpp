// The system clipboard over GTK 3, as Qel values: text as string!, a file
// list (text/uri-list) as a block of file!, images (image/png, image/jpeg,
// image/gif as encoded bytes; any other image GTK offers as a pixbuf) as
// image!.
//
// Without a display every call fails softly: reading answers none, writing
// false. The clipboard's callbacks from GTK only copy bytes prepared
// beforehand: nothing in them can raise.
#pragma once

#include "runtime/cell.hpp"

namespace qel::view::backend::clipboard {

// Pushes what the clipboard holds: a string!, a block of file!, an image!,
// none when it holds nothing usable (or there is no display), false when
// data it offers cannot be taken.
Cell* read();

// none empties the clipboard; a string!, a block of file! or string! paths
// and an image! are written (an image without pixels empties it). The core
// has checked the value (view/clipboard.cpp). Answers whether it worked.
bool write(const Cell* value);

}  // namespace qel::view::backend::clipboard
