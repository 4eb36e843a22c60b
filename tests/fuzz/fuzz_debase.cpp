// libFuzzer target over the base-2, base-16, base-58 and base-64 decoders.
// Any text, read as 1-, 2- or 4-byte units, must decode or be refused
// without a crash or a read outside it; what decodes must encode to text
// that decodes to the same bytes; and the bytes themselves must survive an
// encode and decode in every base.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/codecs/base.hpp"

using namespace qel;

namespace {

std::string encode(int base, const std::vector<u8>& b) {
  switch (base) {
    case 2: return codecs::base::encode_2(b.data(), b.size());
    case 16: return codecs::base::encode_16(b.data(), b.size());
    case 58: return codecs::base::encode_58(b.data(), b.size());
    default: return codecs::base::encode_64(b.data(), b.size());
  }
}

std::vector<u8> decode_text(int base, const std::string& text) {
  auto r = codecs::base::decode(base, reinterpret_cast<const u8*>(text.data()), 1, u32(text.size()));
  if (!r) std::abort();
  return *r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  for (int base : {2, 16, 58, 64}) {
    for (u32 unit : {1u, 2u, 4u}) {
      u32 count = u32(size / unit);
      auto r = codecs::base::decode(base, data, unit, count);
      if (r && decode_text(base, encode(base, *r)) != *r) std::abort();
    }
    std::vector<u8> bytes(data, data + (base == 58 ? std::min<size_t>(size, 512) : size));
    if (decode_text(base, encode(base, bytes)) != bytes) std::abort();
  }
  return 0;
}
