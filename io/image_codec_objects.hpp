// The image codec objects (png, jpeg, bmp, gif, tiff) with their encode and
// decode routines.
#pragma once

namespace qel::image_codecs {

// Puts the five codec objects into system/codecs when it is still none.
void install();

}  // namespace qel::image_codecs
