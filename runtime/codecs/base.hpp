// Text encodings of bytes: base 2 (eight "0"/"1" a byte, most significant
// first), base 16 (two upper-case hex digits a byte), base 58 (the
// big-endian number in the alphabet below, a "1" for each leading zero byte)
// and base 64 (RFC 4648, standard alphabet, "=" padding, no line breaks).
//
// The decoders read code points of a string buffer of any unit (1, 2 or 4
// bytes). They pass over blanks and line breaks, and ";" comments up to the
// next line feed (a comment that reaches the end ends the text). Anything
// that is not a digit of the base, a character beyond ASCII, a base-2 group
// or base-16 pair left incomplete, a lone trailing base-64 digit or a
// misplaced "=" makes them answer nothing. Base 64 without padding decodes
// every byte that its digits hold.
//
// No runtime state is used: these functions work on plain memory and are
// safe to call with any input (the fuzz target calls them directly).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "runtime/cell.hpp"

namespace qel::codecs::base {

std::string encode_2(const u8* bytes, std::size_t n);
std::string encode_16(const u8* bytes, std::size_t n);
std::string encode_58(const u8* bytes, std::size_t n);
std::string encode_64(const u8* bytes, std::size_t n);
// Length of the text each encoder writes for n bytes (base 58: an upper
// bound of 2n); the natives check it against the 32-bit limit first.
u64 encoded_size(int base, u64 n);

using Decoded = std::optional<std::vector<u8>>;
Decoded decode_2(const u8* chars, u32 unit, u32 count);
Decoded decode_16(const u8* chars, u32 unit, u32 count);
Decoded decode_58(const u8* chars, u32 unit, u32 count);
Decoded decode_64(const u8* chars, u32 unit, u32 count);
// By base (2, 16, 58 or 64; any other answers nothing).
Decoded decode(int base, const u8* chars, u32 unit, u32 count);

}  // namespace qel::codecs::base
