// The LZ77 stream of the boot data: an 8-byte header (C, the bytes of blocks
// that follow; U, the decompressed size; both u32 little-endian), then
// blocks of at most 1 MiB of output each. A block is its output length L and
// a bit stream (lowest bit of each byte first) of literals and matches that
// never reach back past the block's start.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "runtime/cell.hpp"

namespace qel::codecs::lz {

inline constexpr u32 BLOCK_MAX = 0x100000;   // output bytes of one block
inline constexpr u32 MATCH_MAX = 566;        // longest match
inline constexpr u32 DISTANCE_MAX = 0x40000; // farthest match

// Decodes a stream of `size` bytes (never reading past them). Answers the
// output, or nothing when the stream is damaged: a block length of 0 or over
// 1 MiB, a block count larger than what is left, output past U, a bit stream
// that runs out, a match reaching before its block or past its end.
std::optional<std::vector<u8>> decompress_payload(const u8* data, std::size_t size);

// Compresses input into a stream. Answers nothing when the input is shorter
// than 128 bytes or the stream would not be shorter than input size - 8.
std::optional<std::vector<u8>> compress_payload(const u8* input, std::size_t size);

}  // namespace qel::codecs::lz
