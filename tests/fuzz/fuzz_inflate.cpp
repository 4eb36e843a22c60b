// libFuzzer target over the inflater in its three framings (raw deflate,
// zlib, gzip). Any bytes must decode or be refused without a crash, a read
// or write outside the buffers, or a hang, and the three ways of calling it
// must agree: when the growing decoder succeeds, a size query answers the
// same size and an exact buffer the same bytes; a buffer one byte short asks
// for room. The first byte picks the framing; the rest is also compressed
// and must come back unchanged.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "runtime/codecs/deflate.hpp"

using namespace qel;

namespace {

[[noreturn]] void fail() { std::abort(); }

void check(codecs::deflate::Framing f, codecs::deflate::Method m, const u8* data, u32 size) {
  std::vector<u8> grown;
  int r = codecs::deflate::decompress_to_vector(f, data, size, grown, 0, 1u << 24);
  u32 query = 0;
  int q = m(nullptr, &query, data, size);
  if (r != codecs::deflate::OK) {
    // The method may still count a size (NEEDS_ROOM), but must not succeed
    // with bytes the growing decoder refused.
    if (q == codecs::deflate::OK && r != codecs::deflate::TOO_LARGE) fail();
    return;
  }
  if (grown.empty() ? q != codecs::deflate::OK : (q != codecs::deflate::NEEDS_ROOM || query != grown.size())) fail();
  std::vector<u8> exact(grown.size());
  u32 n = u32(exact.size());
  if (m(exact.data(), &n, data, size) != codecs::deflate::OK || n != grown.size() || exact != grown) fail();
  if (!grown.empty()) {
    n = u32(grown.size() - 1);
    if (m(exact.data(), &n, data, size) != codecs::deflate::NEEDS_ROOM || n != grown.size()) fail();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 20)) return 0;
  const u8* in = data + 1;
  u32 n = u32(size - 1);
  switch (data[0] % 3) {
    case 0: check(codecs::deflate::Framing::raw, codecs::deflate::decompress, in, n); break;
    case 1: check(codecs::deflate::Framing::zlib, codecs::deflate::zlib_decompress, in, n); break;
    default: check(codecs::deflate::Framing::gzip, codecs::deflate::gzip_decompress, in, n); break;
  }
  for (auto f : {codecs::deflate::Framing::raw, codecs::deflate::Framing::zlib, codecs::deflate::Framing::gzip}) {
    std::vector<u8> packed = codecs::deflate::compress_to_vector(f, in, n);
    std::vector<u8> back;
    if (codecs::deflate::decompress_to_vector(f, packed.data(), u32(packed.size()), back, n, 1u << 24) != codecs::deflate::OK ||
        back != std::vector<u8>(in, in + n)) {
      fail();
    }
  }
  return 0;
}
