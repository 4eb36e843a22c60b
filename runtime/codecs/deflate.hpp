// Deflate (RFC 1951) with zlib (RFC 1950) and gzip (RFC 1952) framing.
//
// The compressor is a single pass that writes one final block with the fixed
// Huffman codes: a 1,024-bucket table of 4 positions finds a match among at
// most four candidates, the first that qualifies wins, no lazy matching. Its
// output bytes are fixed by that algorithm (tests compare them exactly).
//
// The inflater takes stored, fixed and dynamic blocks and rejects anything
// malformed rather than guessing: symbols 286-287 and distances 30-31, code
// sets that are over-subscribed or incomplete (a single code of one bit
// excepted, as RFC 1951 allows for distances), a literal/length code without
// end-of-block, a stored block whose NLEN is not the complement of LEN, a
// distance before the start of the output, and a stream that ends before its
// final block does.
//
// Every method has one shape: (output or null, size, input, length) ->
// result. On entry *size is the output's capacity; on return it is the byte
// count produced or needed. Results: 0 success, 1 the output is too small
// (*size holds the size needed), 2 and up bad data. Bytes beyond the
// capacity are counted, never written, and a match is copied only from bytes
// that were stored, so a size query (no output, capacity 0) is safe.
//
// No runtime state is used: the functions work on plain memory.
#pragma once

#include <cstddef>
#include <vector>

#include "runtime/cell.hpp"

namespace qel::codecs::deflate {

enum Result : int {
  OK = 0,
  NEEDS_ROOM = 1,
  BAD_DATA = 2,
  STORED_PAST_INPUT = 3,
  BAD_BLOCK_TYPE = 4,
  BAD_DISTANCE = 5,
  TOO_LARGE = 6,  // the growing decoder reached its cap
};

enum class Framing { raw, zlib, gzip };

using Method = int (*)(u8* out, u32* size, const u8* in, u32 length);

int compress(u8* out, u32* size, const u8* in, u32 length);
int decompress(u8* out, u32* size, const u8* in, u32 length);
int zlib_compress(u8* out, u32* size, const u8* in, u32 length);
int zlib_decompress(u8* out, u32* size, const u8* in, u32 length);
int gzip_compress(u8* out, u32* size, const u8* in, u32 length);
int gzip_decompress(u8* out, u32* size, const u8* in, u32 length);

// Compresses into a vector of the exact size.
std::vector<u8> compress_to_vector(Framing f, const u8* in, u32 length);
// Decompresses into a vector that grows while inflating, starting from
// size_hint bytes (clamped; a claim in the data, such as gzip's ISIZE, is
// never trusted for the allocation) and never beyond max_size: past it the
// result is TOO_LARGE. Answers the result code; out holds the bytes on OK.
int decompress_to_vector(Framing f, const u8* in, u32 length, std::vector<u8>& out,
                         u64 size_hint, u64 max_size);

}  // namespace qel::codecs::deflate
