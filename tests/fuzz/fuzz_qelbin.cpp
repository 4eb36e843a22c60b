// libFuzzer target over the QELBIN decoder, both layouts, with and without
// the LZ stream. The first byte picks the way:
// - bit 7 set: the rest is a stream body behind a header whose flags are
//   bits 0-2 (bit 0 compact; bit 1 LZ: the body is compressed first when it
//   can be), decoded in boot mode with bit 3;
// - bit 7 clear: the rest is Qel source; what it loads is encoded (bit 1:
//   full layout, else compact, through LZ with bit 0) and must decode to a
//   value that molds the same; then byte 1 of the input picks a byte of the
//   stream to flip, and the damaged stream is decoded too.
// A decode may raise script or access errors only (invalid-data,
// qb-invalid-record, no-codec, or the checks of a function spec); it must
// never crash, hang, or raise an internal error.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/string.hpp"
#include "eval/lexer.hpp"
#include "runtime/codecs/lz.hpp"
#include "io/qelbin.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"

using namespace qel;

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// Runs f inside a catch frame; answers false when it raised an error, which
// must be a script or access error.
template <class F>
bool guarded(F&& f) {
  stack::init();
  stack::mark(1, 0, stack::FRAME_CATCH);
  try {
    f();
    stack::init();
    return true;
  } catch (const Transfer&) {
    runtime::rt.thrown = 0;
    Err id = error::id_of(stack::last());
    const ErrInfo& info = err_info(id);
    if (info.category != ERR_CAT_script && info.category != ERR_CAT_access &&
        info.category != ERR_CAT_syntax) {
      std::fprintf(stderr, "raised %s\n", info.word);
      std::abort();
    }
    stack::init();
    return false;
  }
}

std::string mold_of(const Cell* v) {
  Cell* value = stack::push_cell(v);
  Cell* buffer = string::make_at(make_none(stack::push()), 16, 1);
  actions::mold(value, buffer, false, false, false, nullptr, 0x7FFFFFFF, 0);
  return string::to_utf8(buffer);
}

void decode_only(const std::vector<u8>& stream, qelbin::Mode mode = qelbin::MODE_CODEC) {
  guarded([&] {
    Cell* target = stack::push();
    block::make_at(target, 4);
    qelbin::decode(stream.data(), stream.size(), series_node(target), mode);
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool ready = [] {
    runtime::init_for_tests();
    gc::enabled = true;
    return true;
  }();
  (void)ready;
  if (size < 2 || size > (1u << 16)) return 0;
  u8 mode = data[0];
  if (mode & 0x80) {
    std::vector<u8> body(data + 1, data + size);
    u8 flags = mode & 7;
    std::vector<u8> stream = {'Q', 'E', 'L', 'B', 'I', 'N', 2, flags};
    if (flags & qelbin::FLAG_LZ) {
      if (auto packed = codecs::lz::compress_payload(body.data(), body.size())) body = *packed;
    }
    stream.insert(stream.end(), body.begin(), body.end());
    decode_only(stream, (mode & 8) ? qelbin::MODE_BOOT : qelbin::MODE_CODEC);
    return 0;
  }
  std::vector<u8> stream;
  std::string first;
  bool loaded = guarded([&] {
    Cell* code = make_none(stack::push());
    lexer::ScanFlags f;
    f.keep_block = true;
    lexer::scan(code, data + 1, u32(size - 1), f, nullptr, nullptr, nullptr, nullptr);
    stream = (mode & 2) ? qelbin::encode_full(code) : qelbin::encode_compact(code, mode & 1);
    first = mold_of(code);
  });
  if (!loaded) return 0;
  std::string second;
  bool back = guarded([&] {
    Cell* target = stack::push();
    block::make_at(target, 4);
    qelbin::decode(stream.data(), stream.size(), series_node(target));
    Cell one = *mem::buffer_of(series_node(target))->cells();
    second = mold_of(&one);
  });
  if (!back) fail("an encoded value does not decode");
  if (first != second) fail("a value does not decode to itself");
  std::vector<u8> damaged = stream;
  std::size_t at = std::size_t(data[1]) * 131 % damaged.size();
  damaged[at] ^= u8(1u << (data[1] & 7));
  decode_only(damaged);
  return 0;
}
