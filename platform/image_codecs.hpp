// Image codecs over the system libraries: PNG (libpng), JPEG (libjpeg-turbo),
// GIF (giflib), TIFF (libtiff), and BMP written here.
//
// Pixels cross this interface as 32-bit words 0xAARRGGBB (bytes B, G, R, A in
// memory), straight alpha, 255 opaque, rows top-down without padding.
//
// The C libraries report errors by longjmp (libpng, libjpeg) or by return
// codes. Every call that may jump sits in a small function holding only plain
// data, so a jump never skips a C++ destructor; failures come back as false.
// Nothing here raises or allocates in the collected region.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qel::platform::imaging {

enum Format : int { BMP = 0, PNG = 1, GIF = 2, JPEG = 3, TIFF = 4 };

// The container a byte run starts with, or -1.
int sniff(const std::uint8_t* bytes, std::size_t length);

// The decoded pixels, width * height words in malloc'd memory (freed with
// the value).
struct Decoded {
  std::uint32_t width = 0, height = 0;
  std::uint32_t* pixels = nullptr;
  Decoded() = default;
  Decoded(const Decoded&) = delete;
  Decoded& operator=(const Decoded&) = delete;
  ~Decoded();
};

// The most pixels a decoded image may have: what an image record can hold
// (2 GiB of pixel words). The fuzz target lowers it to stay in its memory.
extern std::uint64_t pixel_limit;

// Decodes the first frame; false when the bytes are not a decodable image.
// Images above 65,535 pixels a side, or over pixel_limit pixels, are refused.
bool decode(const std::uint8_t* bytes, std::size_t length, Decoded& out);

// Decodes into memory the caller provides: alloc is called at most once,
// with the image's size, and answers room for width * height zeroed words
// that stay in place while the decoder runs, or null to give up. It must
// not throw. Answers false, with the size unset, when the bytes do not
// decode (whatever alloc gave is the caller's to drop).
using PixelAllocator = std::uint32_t* (*)(void* context, std::uint32_t width, std::uint32_t height) noexcept;
bool decode_into(const std::uint8_t* bytes, std::size_t length, PixelAllocator alloc, void* context,
                 std::uint32_t* width, std::uint32_t* height);

// Encodes; false when the format is unknown or the encoder fails.
bool encode(const std::uint32_t* pixels, std::uint32_t width, std::uint32_t height, int format,
            std::vector<std::uint8_t>& out);

}  // namespace qel::platform::imaging
