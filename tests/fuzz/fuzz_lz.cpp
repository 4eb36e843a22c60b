// libFuzzer target over the LZ stream of the boot data: any bytes must
// decode or be refused without reading outside them, and the input itself,
// when it compresses, must come back unchanged.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "runtime/codecs/lz.hpp"

using namespace qel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  // A private copy of exactly `size` bytes, so a read past it is caught.
  std::vector<u8> in(data, data + size);
  auto out = codecs::lz::decompress_payload(in.data(), in.size());
  if (out && in.size() >= 8) {
    u32 total = u32(in[4]) | u32(in[5]) << 8 | u32(in[6]) << 16 | u32(in[7]) << 24;
    if (out->size() > total) std::abort();
  }
  if (auto packed = codecs::lz::compress_payload(in.data(), in.size())) {
    auto back = codecs::lz::decompress_payload(packed->data(), packed->size());
    if (!back || *back != in) std::abort();
  }
  return 0;
}
