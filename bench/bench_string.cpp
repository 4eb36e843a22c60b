// string! find over a 10 MB string, next to std::string_view::find over the
// same text in the same run: a pattern found near the end, case-insensitive
// (the default) and with /case, in 1-byte and 2-byte units; and a char!
// found near the end with /case.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <string_view>

#include "bench/bench_main.hpp"
#include "datatypes/string.hpp"
#include "runtime/actions.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"

using namespace qel;

namespace {

constexpr std::size_t SIZE = 10 * 1024 * 1024;
const char* const NEEDLE = "needle-x";

// Random lower-case words and spaces, with the needle once near the end.
const std::string& haystack() {
  static const std::string text = [] {
    std::mt19937 rng(7);
    std::string t(SIZE, ' ');
    for (char& c : t) {
      u32 r = rng() % 32;
      c = r < 26 ? char('a' + r) : ' ';
    }
    t.replace(SIZE - 100, std::strlen(NEEDLE), NEEDLE);
    return t;
  }();
  return text;
}

// The text as a string! of the given unit, and the needle, both rooted.
struct Texts {
  roots::LocalCell hay, needle, chr;
  explicit Texts(u32 unit) {
    const std::string& t = haystack();
    u32 node = mem::alloc_series_unit(u32(t.size()), unit);
    mem::Buffer* b = mem::buffer_of(node);
    for (std::size_t i = 0; i < t.size(); ++i) string::put_char(b->head_ptr() + i * unit, unit, u8(t[i]));
    b->tail = b->head + u32(t.size()) * unit;
    make_series(hay.get(), TYPE_STRING, node);
    string::load_at(reinterpret_cast<const u8*>(NEEDLE), u32(std::strlen(NEEDLE)), needle.get(),
                    string::Encoding::utf8);
    make_char(chr.get(), '-');
  }
};

Texts& texts_of(u32 unit) {
  static Texts one(1), two(2);
  return unit == 1 ? one : two;
}

i32 qel_find(Cell* hay, Cell* value, bool case_) {
  Cell* top = stack::top;
  Cell* r = string::find(hay, value, {.case_ = case_});
  i32 at = type_of(r) == TYPE_NONE ? -1 : series_index(r);
  stack::top = top;
  return at;
}

void check(benchmark::State& state, std::size_t got) {
  if (got != SIZE - 100 && got != SIZE - 100 + 6) state.SkipWithError("wrong answer");
}

void BM_StringViewFind(benchmark::State& state) {
  std::string_view hay = haystack();
  std::size_t at = 0;
  for (auto _ : state) benchmark::DoNotOptimize(at = hay.find(NEEDLE));
  check(state, at);
  state.SetBytesProcessed(i64(state.iterations()) * i64(SIZE));
}

void BM_QelFind(benchmark::State& state) {
  Texts& texts = texts_of(u32(state.range(0)));
  bool case_ = state.range(1) != 0;
  i32 at = 0;
  for (auto _ : state) benchmark::DoNotOptimize(at = qel_find(texts.hay.get(), texts.needle.get(), case_));
  check(state, std::size_t(at));
  state.SetBytesProcessed(i64(state.iterations()) * i64(SIZE));
}

void BM_StringViewFindChar(benchmark::State& state) {
  std::string_view hay = haystack();
  std::size_t at = 0;
  for (auto _ : state) benchmark::DoNotOptimize(at = hay.find('-'));
  check(state, at);
  state.SetBytesProcessed(i64(state.iterations()) * i64(SIZE));
}

void BM_QelFindChar(benchmark::State& state) {
  Texts& texts = texts_of(1);
  i32 at = 0;
  for (auto _ : state) benchmark::DoNotOptimize(at = qel_find(texts.hay.get(), texts.chr.get(), true));
  check(state, std::size_t(at));
  state.SetBytesProcessed(i64(state.iterations()) * i64(SIZE));
}

}  // namespace

BENCHMARK(BM_StringViewFind);
BENCHMARK(BM_QelFind)->ArgNames({"unit", "case"})->Args({1, 0})->Args({1, 1})->Args({2, 0})->Args({2, 1});
BENCHMARK(BM_StringViewFindChar);
BENCHMARK(BM_QelFindChar);

QEL_BENCHMARK_MAIN();
