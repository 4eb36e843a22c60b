// Loading text into values, next to a C++ baseline that only splits the same
// bytes on whitespace. Both run on 2 MB and 20 MB of mixed literals (words,
// integers, floats, strings, nested blocks, line breaks); equal MB/s at both
// sizes shows that loading is linear. Loading runs twice: with the collector
// off (the lexer alone) and on (as a program runs: every collection during
// the load marks all the values loaded so far).
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_main.hpp"
#include "eval/lexer.hpp"
#include "runtime/collector.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"

using namespace qel;

namespace {

// Mixed literals, deterministic, about `bytes` long.
const std::string& text_of(size_t bytes) {
  static std::string cache[2];
  std::string& t = cache[bytes > 4'000'000];
  if (!t.empty()) return t;
  t.reserve(bytes + 64);
  u32 seed = 12345;
  auto next = [&] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  int depth = 0;
  while (t.size() < bytes) {
    switch (next() % 10) {
      case 0: case 1: case 2:
        t += "word-" + std::to_string(next() % 500);
        break;
      case 3:
        t += "set-" + std::to_string(next() % 100) + ":";
        break;
      case 4: case 5:
        t += std::to_string(int(next() % 2000000) - 1000000);
        break;
      case 6:
        t += std::to_string(next() % 10000) + "." + std::to_string(next() % 1000);
        break;
      case 7:
        t += "\"text " + std::to_string(next() % 1000) + " here\"";
        break;
      case 8:
        if (depth < 8) {
          t += "[";
          ++depth;
        } else {
          t += "x";
        }
        break;
      default:
        if (depth > 0) {
          t += "]";
          --depth;
        } else {
          t += "y";
        }
        break;
    }
    t += (next() % 8 == 0) ? "\n" : " ";
  }
  while (depth-- > 0) t += "]";
  return t;
}

// Arguments: megabytes, collector on (1) or off (0).
void BM_LoadText(benchmark::State& state) {
  const std::string& text = text_of(size_t(state.range(0)) << 20);
  bool saved = gc::enabled;
  gc::enabled = state.range(1) != 0;
  u32 cycles = gc::cycles();
  roots::LocalCell out;
  for (auto _ : state) {
    make_none(out.get());
    lexer::ScanFlags f;
    lexer::scan(out.get(), reinterpret_cast<const u8*>(text.data()), u32(text.size()), f,
                nullptr, nullptr, nullptr, nullptr);
    benchmark::DoNotOptimize(series_node(out.get()));
    state.PauseTiming();
    make_none(out.get());
    gc::do_cycle();
    state.ResumeTiming();
  }
  state.counters["collections"] =
      benchmark::Counter(double(gc::cycles() - cycles - state.iterations()),
                         benchmark::Counter::kAvgIterations);
  gc::enabled = saved;
  state.SetBytesProcessed(i64(state.iterations()) * i64(text.size()));
}
BENCHMARK(BM_LoadText)
    ->ArgNames({"MB", "gc"})
    ->Args({2, 0})->Args({20, 0})->Args({2, 1})->Args({20, 1})
    ->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Baseline: the same bytes split on whitespace into views.
void BM_SplitOnWhitespace(benchmark::State& state) {
  const std::string& text = text_of(size_t(state.range(0)) << 20);
  std::vector<std::string_view> tokens;
  for (auto _ : state) {
    tokens.clear();
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
      while (p < end && (*p == ' ' || *p == '\n' || *p == '\t' || *p == '\r')) ++p;
      const char* s = p;
      while (p < end && !(*p == ' ' || *p == '\n' || *p == '\t' || *p == '\r')) ++p;
      if (p > s) tokens.emplace_back(s, size_t(p - s));
    }
    benchmark::DoNotOptimize(tokens.data());
  }
  state.SetBytesProcessed(i64(state.iterations()) * i64(text.size()));
}
BENCHMARK(BM_SplitOnWhitespace)->ArgName("MB")->Arg(2)->Arg(20)->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

}  // namespace

QEL_BENCHMARK_MAIN();
