// The codec objects of system/codecs: the five image formats (png, jpeg,
// bmp, gif, tiff), with encode and decode routines over the image codecs,
// and qelbin over the QELBIN encoders and decoder.
#pragma once

namespace qel::image_codecs {

// Puts the five codec objects into system/codecs when it is still none.
void install();

}  // namespace qel::image_codecs

namespace qel::qelbin {

// The codec object `system/codecs/qelbin` (made by start-up, after the image
// codecs): `encode` (data where) through `encode*` (data compact?) and
// `decode` (payload).
void make_codec_object();

}  // namespace qel::qelbin
