// CRC-32, Adler-32, the Internet checksum, digests and HMAC.
#include "runtime/codecs/checksum.hpp"

#include <openssl/evp.h>  // types and signatures only: libcrypto is not linked

#include <array>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "platform/shared_library.hpp"
#include "runtime/sanitize.hpp"
#include "runtime/error.hpp"

namespace qel::codecs::checksum {

namespace {

// CRC-32 tables for slicing by 16: table 0 is the classic byte table of the
// reflected polynomial 0xEDB88320; table k gives the CRC of a byte followed
// by k zero bytes, so 16 input bytes are folded in per step.
using CrcTables = std::array<std::array<u32, 256>, 16>;

CrcTables make_crc_tables() {
  CrcTables t{};
  for (u32 i = 0; i < 256; ++i) {
    u32 c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[0][i] = c;
  }
  for (u32 i = 0; i < 256; ++i) {
    for (int k = 1; k < 16; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
  return t;
}

const CrcTables& crc_tables() {
  static const CrcTables tables = make_crc_tables();  // built on first use
  return tables;
}

inline u32 load_le32(const u8* p) {
  u32 v;
  std::memcpy(&v, p, 4);
  return v;  // x86-64 is little-endian
}

}  // namespace

u32 crc32(const u8* p, std::size_t n, u32 crc) {
  const CrcTables& t = crc_tables();
  u32 c = ~crc;
  while (n >= 16) {
    u32 a = load_le32(p) ^ c, b = load_le32(p + 4), d = load_le32(p + 8), e = load_le32(p + 12);
    c = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
        t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
        t[7][d & 0xFF] ^ t[6][(d >> 8) & 0xFF] ^ t[5][(d >> 16) & 0xFF] ^ t[4][d >> 24] ^
        t[3][e & 0xFF] ^ t[2][(e >> 8) & 0xFF] ^ t[1][(e >> 16) & 0xFF] ^ t[0][e >> 24];
    p += 16;
    n -= 16;
  }
  while (n--) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
  return ~c;
}

namespace {

// CRC-32C, reflected, one byte at a time (machines without the instruction).
struct Crc32cTable {
  u32 t[256];
  constexpr Crc32cTable() : t{} {
    for (u32 i = 0; i < 256; ++i) {
      u32 c = i;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1)));
      t[i] = c;
    }
  }
};
constexpr Crc32cTable kCrc32c;

inline u32 crc32c_byte(u32 c, u8 b) { return (c >> 8) ^ kCrc32c.t[(c ^ b) & 0xFF]; }
inline u32 crc32c_word(u32 c, u64 w) {
  for (int k = 0; k < 8; ++k) c = crc32c_byte(c, u8(w >> (8 * k)));
  return c;
}

// The lanes read what they are given as it is: the boot image checks the
// memory region, where the address sanitizer marks dead buffers.
QEL_NO_SANITIZE_ADDRESS inline u64 load_le64(const u8* p) {
  u64 v;
  std::memcpy(&v, p, 8);
  return v;
}

inline u64 fold_lanes(const u32 c[4]) {
  auto rot = [](u32 v) { return (v << 16) | (v >> 16); };
  return (u64(c[0] ^ rot(c[2])) << 32) | u64(c[1] ^ rot(c[3]));
}

void lanes_start(u32 c[4], u64 seed) {
  c[0] = u32(seed >> 32);
  c[1] = u32(seed);
  c[2] = ~u32(seed >> 32);
  c[3] = ~u32(seed);
}

QEL_NO_SANITIZE_ADDRESS u64 lanes_portable(const u8* p, std::size_t n, u64 seed) {
  u32 c[4];
  lanes_start(c, seed);
  for (; n >= 32; p += 32, n -= 32)
    for (int l = 0; l < 4; ++l) c[l] = crc32c_word(c[l], load_le64(p + 8 * l));
  while (n--) c[0] = crc32c_byte(c[0], *p++);
  return fold_lanes(c);
}

#if defined(__x86_64__)
QEL_NO_SANITIZE_ADDRESS __attribute__((target("sse4.2"))) u64 lanes_sse42(const u8* p, std::size_t n, u64 seed) {
  u32 c[4];
  lanes_start(c, seed);
  u64 a = c[0], b = c[1], d = c[2], e = c[3];
  for (; n >= 32; p += 32, n -= 32) {
    a = __builtin_ia32_crc32di(a, load_le64(p));
    b = __builtin_ia32_crc32di(b, load_le64(p + 8));
    d = __builtin_ia32_crc32di(d, load_le64(p + 16));
    e = __builtin_ia32_crc32di(e, load_le64(p + 24));
  }
  c[0] = u32(a);
  c[1] = u32(b);
  c[2] = u32(d);
  c[3] = u32(e);
  while (n--) c[0] = __builtin_ia32_crc32qi(c[0], *p++);
  return fold_lanes(c);
}
#endif

}  // namespace

u64 lanes_crc32c_portable(const u8* p, std::size_t n, u64 seed) { return lanes_portable(p, n, seed); }

u64 lanes_crc32c(const u8* p, std::size_t n, u64 seed) {
#if defined(__x86_64__)
  static const bool hardware = __builtin_cpu_supports("sse4.2");
  if (hardware) return lanes_sse42(p, n, seed);
#endif
  return lanes_portable(p, n, seed);
}

u32 adler32(const u8* p, std::size_t n) {
  constexpr u32 MOD = 65521;
  constexpr std::size_t BLOCK = 3854;  // a and b stay far below 2^32 within a block
  u32 a = 1, b = 0;
  while (n) {
    std::size_t len = n < BLOCK ? n : BLOCK;
    n -= len;
    while (len >= 16) {
      for (int i = 0; i < 16; ++i) {
        a += p[i];
        b += a;
      }
      p += 16;
      len -= 16;
    }
    while (len--) {
      a += *p++;
      b += a;
    }
    a %= MOD;
    b %= MOD;
  }
  return (b << 16) | a;
}

u16 tcp(const u8* p, std::size_t n) {
  u64 sum = 0;
  std::size_t i = 0;
  for (; i + 1 < n; i += 2) sum += (u32(p[i]) << 8) | p[i + 1];
  if (i < n) sum += u32(p[i]) << 8;
  while (sum >> 16) sum = (sum >> 16) + (sum & 0xFFFF);
  return u16(~sum & 0xFFFF);
}

u32 digest_size(int code) {
  switch (code) {
    case MD5: return 16;
    case SHA1: return 20;
    case SHA256: return 32;
    case SHA384: return 48;
    case SHA512: return 64;
    default: return 0;
  }
}

namespace {

// libcrypto is loaded with dlopen on the first digest, not linked: its
// loading and relocation cost every start of the program more than a tenth
// of the start-up's instructions and page faults. The functions used are
// resolved once into this table.
#define QEL_CRYPTO_FUNCTIONS(X)                                                  \
  X(EVP_md5) X(EVP_sha1) X(EVP_sha256) X(EVP_sha384) X(EVP_sha512)               \
  X(EVP_MD_CTX_new) X(EVP_MD_CTX_free) X(EVP_DigestInit_ex) X(EVP_DigestUpdate)  \
  X(EVP_DigestFinal_ex)

struct Crypto {
  QEL_CRYPTO_FUNCTIONS(QEL_LIBRARY_FUNCTION)
};

Crypto crypto;

// Loads libcrypto, once; false when it or one of its functions is missing
// (every digest then fails).
bool crypto_load() {
  static platform::LoadOnce loaded;
  return loaded([] {
    platform::SharedLibrary lib("libcrypto.so.3");
#define QEL_CRYPTO_RESOLVE(name) lib.resolve(crypto.name, #name);
    QEL_CRYPTO_FUNCTIONS(QEL_CRYPTO_RESOLVE)
#undef QEL_CRYPTO_RESOLVE
    return lib.complete();
  });
}

const EVP_MD* digest_md(int code) {
  switch (code) {
    case MD5: return crypto.EVP_md5();
    case SHA1: return crypto.EVP_sha1();
    case SHA256: return crypto.EVP_sha256();
    case SHA384: return crypto.EVP_sha384();
    default: return crypto.EVP_sha512();
  }
}

// A digest over pieces of input, or nothing when the library fails.
bool digest_pieces(int code, std::initializer_list<std::pair<const u8*, std::size_t>> pieces, u8* out) {
  if (!crypto_load()) return false;
  EVP_MD_CTX* ctx = crypto.EVP_MD_CTX_new();
  if (!ctx) return false;
  bool ok = crypto.EVP_DigestInit_ex(ctx, digest_md(code), nullptr) == 1;
  for (auto& [p, n] : pieces) ok = ok && crypto.EVP_DigestUpdate(ctx, p, n) == 1;
  unsigned int len = 0;
  ok = ok && crypto.EVP_DigestFinal_ex(ctx, out, &len) == 1 && len == digest_size(code);
  crypto.EVP_MD_CTX_free(ctx);
  return ok;
}

}  // namespace

std::vector<u8> digest(const u8* bytes, std::size_t n, int code) {
  u32 size = digest_size(code);
  if (!size) {
    Cell c;
    fire(Err::script_invalid_arg, make_integer(&c, code));
  }
  std::vector<u8> out(size);
  if (!digest_pieces(code, {{bytes, n}}, out.data())) out.clear();
  return out;
}

std::vector<u8> hmac(const u8* data, std::size_t n, const u8* key, std::size_t key_n, int code) {
  u32 size = digest_size(code);
  if (!size) {
    Cell c;
    fire(Err::script_invalid_arg, make_integer(&c, code));
  }
  std::size_t block = (code == SHA384 || code == SHA512) ? 128 : 64;
  std::vector<u8> k(block, 0);
  if (key_n > block) {
    std::vector<u8> hashed = digest(key, key_n, code);
    if (hashed.empty()) return hashed;
    std::memcpy(k.data(), hashed.data(), hashed.size());
  } else if (key_n) {
    std::memcpy(k.data(), key, key_n);
  }
  std::vector<u8> ipad(block), opad(block);
  for (std::size_t i = 0; i < block; ++i) {
    ipad[i] = k[i] ^ 0x36;
    opad[i] = k[i] ^ 0x5C;
  }
  std::vector<u8> inner(size), out(size);
  if (!digest_pieces(code, {{ipad.data(), block}, {data, n}}, inner.data()) ||
      !digest_pieces(code, {{opad.data(), block}, {inner.data(), size}}, out.data())) {
    out.clear();
  }
  return out;
}

}  // namespace qel::codecs::checksum
