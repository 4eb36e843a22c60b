// QELBIN: the binary serialisation of Qel values.
//
// A stream starts with "QELBIN", a version byte (2 from the encoders, 1 in
// the boot data; never checked) and a flags byte: bit 0 compact layout
// (bytes and varints; else the full layout of 32-bit words), bit 1 the rest
// is an LZ stream (runtime/codecs/lz.hpp), bit 2 a symbol table is
// present. A series, object or function met twice is written once and
// referred to by the path of record positions where it was first written,
// so shared and cyclic values keep their structure.
#pragma once

#include <cstddef>
#include <vector>

#include "runtime/cell.hpp"

namespace qel::qelbin {

// MODE_BOOT: the library's boot data (boot words, words bound by root
// value). MODE_CODEC: any stream. MODE_SOURCE: plain values read back as
// the lexer loads them from text (refinements unbound, making no word of
// the global context). Both boot modes read streams of the executable's own
// bytes, which never move.
enum Mode : i32 { MODE_BOOT = 0, MODE_CODEC = 1, MODE_SOURCE = 2 };

inline constexpr u8 FLAG_COMPACT = 1;
inline constexpr u8 FLAG_LZ = 2;
inline constexpr u8 FLAG_SYMBOLS = 4;

// Encodes one value in the compact layout (version 2). With lz the records
// and symbol table are sent through the LZ stream when that makes them
// shorter. Raises access no-codec for a value (at any depth) whose datatype
// has no record here.
std::vector<u8> encode_compact(const Cell* value, bool lz = false, u8 version = 2);

// Encodes one value in the full layout (version 2, never compressed).
std::vector<u8> encode_full(const Cell* value);

// Decodes every root record of the stream and appends the values to the
// block node `target` (which must stay reachable). Errors: script
// invalid-data (bad magic, an LZ stream that does not decompress, a stream
// shorter than its header), script qb-invalid-record with the byte offset
// plus 1 (any record or table that does not check out), access no-codec.
void decode(const u8* data, std::size_t size, u32 target, Mode mode = MODE_CODEC);

}  // namespace qel::qelbin
