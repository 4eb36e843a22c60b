// A face's window as an image! (`to image!` of a face): the GUI backend
// module captures it.
#pragma once

#include "runtime/cell.hpp"

namespace qel::view::face_image {

// Pushes the face's window as an image!, or none when the face has no
// window.
Cell* capture(const Cell* face);

}  // namespace qel::view::face_image
