// Routine body of system/view/platform. draw-image (slot 20): image
// [image!], cmds [block!]; draws the block into the image, answers none.
#pragma once

namespace qel::view::backend::draw {

void draw_image_routine();

}  // namespace qel::view::backend::draw
