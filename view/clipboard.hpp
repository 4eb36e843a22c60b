// The clipboard as Qel values: text as string!, a file list as a block of
// file!, images as image!.
#pragma once

#include "runtime/cell.hpp"

namespace qel::view::clipboard {

// Pushes what the clipboard holds: a string!, a block of file!, an image!,
// none when it holds nothing usable (or there is no display), false when
// data it offers cannot be taken.
Cell* read();

// none empties the clipboard; a string!, a block of files and an image! are
// written (an image without pixels empties it). Answers whether it worked:
// false without a display. Any other value, and a block value that is not a
// file! or string!, raise script invalid-arg before the clipboard is touched.
bool write(const Cell* value);

}  // namespace qel::view::clipboard
