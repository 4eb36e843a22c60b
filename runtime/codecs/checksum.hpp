// Checksums and message digests: CRC-32 (the reflected ISO-HDLC CRC of zlib
// and gzip), Adler-32 (RFC 1950), the Internet checksum (RFC 1071) computed
// here; MD5, SHA-1, SHA-256, SHA-384 and SHA-512 from the platform's crypto
// library; HMAC (RFC 2104) over those digests composed here.
//
// These work on plain memory (no runtime state); the digest functions answer
// no bytes when the crypto library fails, and the caller reports it.
#pragma once

#include <cstddef>
#include <vector>

#include "runtime/cell.hpp"

namespace qel::codecs::checksum {

// Method codes shared by the native and the digest functions.
enum Code : int { TCP = 0, CRC32 = 1, MD5 = 2, SHA1 = 3, SHA256 = 4, SHA384 = 5, SHA512 = 6 };

// crc is the value of the bytes before (0 to start): the CRC of a text in
// pieces equals the CRC of the whole.
u32 crc32(const u8* bytes, std::size_t n, u32 crc = 0);
u32 adler32(const u8* bytes, std::size_t n);
// A fast check of large data (the boot image): four CRC-32C (Castagnoli)
// running over the interleaved 8-byte words of the bytes (the last n % 32
// bytes in the first), folded into 64 bits. Not the CRC of the bytes; the
// same on every machine (with the processor's CRC instruction when it has
// one). The seed starts the lanes: the check of other data, to fold
// several pieces into one.
u64 lanes_crc32c(const u8* bytes, std::size_t n, u64 seed = 0);
// The same without the processor's instruction.
u64 lanes_crc32c_portable(const u8* bytes, std::size_t n, u64 seed = 0);
u16 tcp(const u8* bytes, std::size_t n);

// Bytes of a digest: 16, 20, 32, 48, 64 for codes 2 to 6; 0 for the others.
u32 digest_size(int code);
// The digest of the bytes. A code outside 2..6 raises script invalid-arg
// with the code; a failure of the crypto library answers no bytes.
std::vector<u8> digest(const u8* bytes, std::size_t n, int code);
// HMAC of the data under the key with the digest of the code (block size 128
// bytes for SHA-384 and SHA-512, 64 for the others).
std::vector<u8> hmac(const u8* data, std::size_t n, const u8* key, std::size_t key_n, int code);

}  // namespace qel::codecs::checksum
