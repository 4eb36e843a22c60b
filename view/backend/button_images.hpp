// The image of a button or toggle from its face's `image`: an image!, or a
// block whose first value is the image (a pair! as its second value gives
// the size it is shown at; the images for other states are not used).
// Anything else removes the image.
#pragma once

#include "view/window.hpp"

namespace qel::view::backend::button_images {

void apply(window::Record& w);
// The size of the image the button shows; false without one (tests).
bool shown_size(const window::Record& w, int& width, int& height);

}  // namespace qel::view::backend::button_images
