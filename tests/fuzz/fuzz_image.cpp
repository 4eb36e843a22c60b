// libFuzzer target over the image decoders (PNG, JPEG, GIF, TIFF, BMP)
// through their Qel-level entry, the decode routine of the codec objects in
// system/codecs. Any bytes must decode to an image or raise access bad-media
// (none for bytes of no known format) without a crash, a leak or a read
// outside them; a decoded image must encode as PNG and decode back to the
// same pixels.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "datatypes/binary.hpp"
#include "datatypes/image.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "console/boot/boot.hpp"
#include "eval/lexer.hpp"
#include "eval/interpreter.hpp"
#include "platform/image_codecs.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"

using namespace qel;

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// Runs the Qel code with `data` bound to the binary; answers the type of the
// value it left in `result`, or 0 when it raised access bad-media. An
// integer! result is checked to be 1.
Type run(const char* code, const std::uint8_t* bytes, std::size_t size) {
  stack::init();
  Cell* base = stack::base;
  stack::Frame* ctop = stack::ctop;
  roots::LocalCell block;
  Type result = TYPE_NO_TYPE;
  stack::mark(intern_word("fuzz"), stack::FRAME_TRY);
  try {
    Cell* bin = binary::load(bytes, u32(size));
    Cell word = *intern_word("data");
    word::set(&word, bin);
    Cell none = *make_none(stack::push());
    word = *intern_word("result");
    word::set(&word, &none);
    lexer::load_source(block.get(), code, std::char_traits<char>::length(code));
    interp::eval_block_or_throw(block.get(), false);
    Cell* got = word::get_value_cell(intern_word("result"));
    result = type_of(got);
    if (result == TYPE_INTEGER && int_of(got) != 1) fail("a decoded image changed in a PNG round trip");
    stack::unwind();
  } catch (const Transfer& t) {
    runtime::rt.thrown = 0;
    if (t.code != THROW_ERROR) fail("a transfer other than an error");
    stack::adjust_post_try();
    if (error::id_of(stack::base) != Err::access_bad_media) fail("an error other than bad-media");
  }
  if (stack::ctop != ctop || stack::base != base) fail("stacks not restored");
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool ready = [] {
    runtime::init_for_tests();
    console::boot::run();
    platform::imaging::pixel_limit = 1u << 22;  // 16 MiB of pixels at most
    return true;
  }();
  (void)ready;
  if (size > 65536) return 0;
  Type t = run("result: system/codecs/png/decode data", data, size);
  if (t == TYPE_IMAGE) {
    const char* round_trip =
        "img: system/codecs/tiff/decode data "
        "result: either img = system/codecs/png/decode system/codecs/png/encode img none [1] [2]";
    if (run(round_trip, data, size) != TYPE_INTEGER) fail("a decoded image does not encode as PNG");
  } else if (t != TYPE_NONE && t != TYPE_NO_TYPE) {
    fail("decode answered neither an image nor none");
  }
  return 0;
}
