// image!: a two-dimensional bitmap, and the cursor over its pixels.
//
// Cell: header type 53 (bit IMAGE_OWNED of runtime/hash.hpp when an object
// owns it); word 1 the index, a pixel offset counted row by row from the
// top-left pixel; word 2 the image record node, 0 for the empty image; word 3
// the size word, width in the low 16 bits, height in the high 16 bits.
//
// The record is a series node of 4-byte units: one pixel word 0xAARRGGBB per
// unit (bytes B, G, R, A in memory), straight (not premultiplied) alpha where
// 255 is opaque, rows top-down with no padding. Its buffer's spare word holds
// the size word. That buffer is the one truth about the pixels: any view
// another layer derives from it is made afresh from it. The buffer moves at
// any allocation like every other: take its address again after allocating.
//
// The language shows transparency rather than opacity: a colour tuple's 4th
// byte, the alpha accessor and the molded alpha bytes are 255 - stored alpha.
#pragma once

#include <cstddef>
#include <vector>

#include "runtime/cell.hpp"

namespace qel::image {

void init();  // registers image! (after series!)

inline constexpr u32 MAX_SIDE = 65535;

inline u32 width(const Cell* c) { QEL_CHECK_TYPE(c, TYPE_IMAGE); return c->w3 & 0xFFFF; }
inline u32 height(const Cell* c) { QEL_CHECK_TYPE(c, TYPE_IMAGE); return c->w3 >> 16; }
inline u32 record(const Cell* c) { QEL_CHECK_TYPE(c, TYPE_IMAGE); return c->w2; }
inline u32 pixel_count(const Cell* c) { return width(c) * height(c); }
inline void set_size_word(Cell* c, u32 size) { c->w3 = size; }
// An image cell at index 0 over the record (0: the empty image) of that size.
inline Cell* set_record(Cell* c, u32 rec, u32 size) {
  c->w1 = 0;
  c->w2 = rec;
  c->w3 = size;
  return c;
}

// Colour tuple <-> pixel word.
u32 pixel_of_tuple(const Cell* tuple);
Cell* tuple_of_pixel(Cell* out, u32 pixel);

// A new record of width x height pixels, every one 0 (transparent black);
// script invalid-arg (with the size as a pair!) above 65,535 a side, internal
// no-memory when it cannot be held. Answers 0 for a zero size.
u32 new_record(u32 width, u32 height);
// The pixels of a record: valid until the next allocation.
u32* pixels(u32 record);
// Makes the cell an image! at index 0 over the record (0: the empty image).
Cell* make_at(Cell* cell, u32 record);
// Pushes a new image! of the size, its pixels copied from the given words
// (which must not lie in the collected region), or transparent when null.
Cell* push_from_pixels(u32 width, u32 height, const u32* words);

// Position resolution for pick, poke, at (base 1) and skip (base 0): the
// clamped new position, and whether it lies out of range.
i32 get_position(const Cell* image, const Cell* arg, i32 base, bool* out_of_range);

// The data accessors: mode 0 alpha, 1 rgb, 2 argb.
Cell* extract_data(const Cell* image, int mode);  // pushes a new binary!
void set_data(Cell* image, Cell* value, int mode);

// Pushes a new image! of the image scaled to width x height, nearest
// neighbour (the empty image when either is 0 or the image has no pixels).
Cell* resize(const Cell* image, u32 width, u32 height);
// Pushes a new image! of the image upside down.
Cell* flip_vertical(const Cell* image);

// Codec entry points. Format indexes: 0 BMP, 1 PNG, 2 GIF, 3 JPEG, 4 TIFF.
// encode pushes a new binary!; an image without pixels, an unknown format or
// an encoder failure raise access bad-media.
Cell* encode(const Cell* image, int format);
// decode: a binary! whose bytes from its index are not of a known format
// gives none; known bytes that do not decode raise access bad-media. A file!
// is read whole: one that cannot be read or holds no known format raises
// access cannot-open. Pushes the result.
Cell* decode(const Cell* data);
bool known_format(const u8* bytes, std::size_t length);

}  // namespace qel::image
