// libFuzzer target over the lexer: any bytes, loaded, scanned and
// prescanned, must neither crash nor hang, and scan mode must agree with load
// mode: the scan reports error! exactly when loading raises a syntax error,
// and otherwise the type of the first value it reports is the type of the
// first loaded value (an integer token may load as a float when it is too
// large, and the word token covers the four word kinds). A scalar value
// (tuple, percent, pair, point, date, money) molds to a text that loads back
// to a value molding to the same text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <string>

#include "datatypes/string.hpp"
#include "eval/lexer.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"

using namespace qel;

namespace {

struct Outcome {
  bool error;  // a syntax error was raised
  Type first;  // type of the first value, 0 when none
};

// Loads the bytes (all values, or only the first) as a block kept whole,
// and answers its first value, or null when there is none (valid until the
// next allocation). Raises what the lexer raises.
const Cell* load_first(const u8* data, u32 size, bool one) {
  Cell* out = make_none(stack::push());
  lexer::ScanFlags f;
  f.one = one;
  f.keep_block = true;
  lexer::scan(out, data, size, f, nullptr, nullptr, nullptr, nullptr);
  mem::Buffer* b = mem::buffer_of(out->w2);
  return b->used() >= sizeof(Cell) ? b->cells() + out->w1 : nullptr;
}

// Loads the bytes (all values, or the first one) inside a catch frame.
Outcome load(const u8* data, u32 size, bool one) {
  stack::init();
  stack::mark(1, 0, stack::FRAME_CATCH);
  Outcome o{false, TYPE_NO_TYPE};
  try {
    if (const Cell* first = load_first(data, size, one)) o.first = type_of(first);
  } catch (const Transfer&) {
    Err id = error::id_of(stack::last());
    const ErrInfo& info = err_info(id);
    if (info.category != ERR_CAT_syntax) {
      std::fprintf(stderr, "load raised a %s error, not a syntax error\n", info.word);
      std::abort();
    }
    o.error = true;
  }
  stack::init();
  return o;
}

Type scan(const u8* data, u32 size, bool one, bool prescan) {
  stack::init();
  Cell* out = make_none(stack::push());
  lexer::ScanFlags f;
  f.one = one;
  f.scan = !prescan;
  f.load = false;
  Type t = lexer::scan(out, data, size, f, nullptr, nullptr, nullptr, nullptr);
  stack::init();
  return t;
}

bool is_scalar(Type t) {
  return t == TYPE_TUPLE || t == TYPE_PERCENT || t == TYPE_PAIR || t == TYPE_POINT2D ||
         t == TYPE_POINT3D || t == TYPE_DATE || t == TYPE_MONEY;
}

// The mold/all text of the first value of the bytes, or "" when they load
// no scalar value (or raise).
std::string scalar_mold(const u8* data, u32 size) {
  stack::init();
  stack::mark(1, 0, stack::FRAME_CATCH);
  std::string text;
  try {
    const Cell* first = load_first(data, size, true);
    if (first && is_scalar(type_of(first))) {
      Cell* value = stack::push_cell(first);
      Cell* buffer = stack::push();
      string::make_at(buffer, 64);
      actions::mold(value, buffer, false, true, false, nullptr, 1 << 20, 0);
      u32 n = string::length_from_index(buffer);
      for (u32 i = 0; i < n; ++i) text.push_back(char(string::char_at(buffer, i)));
    }
  } catch (const Transfer&) {
    text.clear();
  }
  stack::init();
  return text;
}

bool same_kind(Type scanned, Type loaded) {
  if (scanned == loaded) return true;
  if (scanned == TYPE_INTEGER && loaded == TYPE_FLOAT) return true;
  return scanned == TYPE_WORD &&
         (loaded == TYPE_SET_WORD || loaded == TYPE_GET_WORD || loaded == TYPE_LIT_WORD);
}

[[noreturn]] void disagree(const char* what, int a, int b) {
  std::fprintf(stderr, "scan and load disagree (%s): %d vs %d\n", what, a, b);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool ready = [] {
    runtime::init_for_tests();
    gc::enabled = true;
    return true;
  }();
  (void)ready;
  if (size > 1 << 16) return 0;
  u32 n = u32(size);

  Outcome all = load(data, n, false);
  Type scanned_all = scan(data, n, false, false);
  if (all.error != (scanned_all == TYPE_ERROR)) disagree("whole input", all.error, scanned_all);

  Outcome first = load(data, n, true);
  Type scanned = scan(data, n, true, false);
  if (first.error != (scanned == TYPE_ERROR)) disagree("first value", first.error, scanned);
  if (!first.error && !same_kind(scanned, first.first)) disagree("type", scanned, first.first);

  if (!first.error && is_scalar(first.first)) {
    std::string once = scalar_mold(data, n);
    if (!once.empty()) {
      std::string twice =
          scalar_mold(reinterpret_cast<const u8*>(once.data()), u32(once.size()));
      if (twice != once) {
        std::fprintf(stderr, "mold does not load back: %s -> %s\n", once.c_str(), twice.c_str());
        std::abort();
      }
    }
  }

  scan(data, n, true, true);   // prescan: must not crash
  scan(data, n, false, true);
  return 0;
}
