// find of a long pattern, the case a cell-by-cell scan handles worst: a
// 100,000-cell pattern (99,999 zeros and a one) in a 1,000,000-cell block
// (999,999 zeros and a one), where every start position matches almost the
// whole pattern before it fails; forward and with /last. Then the string
// equivalent ("a" repeated, then "b"), case-insensitive (the default) and
// with /case, in 1-byte units.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_main.hpp"
#include "datatypes/block.hpp"
#include "datatypes/string.hpp"
#include "runtime/actions.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"

using namespace qel;

namespace {

constexpr u32 HAY = 1000000;
constexpr u32 PATTERN = 100000;
constexpr i32 EXPECTED = i32(HAY - PATTERN);  // where the only match starts

// A block! of n integer cells: zeros, then a one in the last cell.
void make_run(Cell* out, u32 n) {
  u32 node = mem::alloc_cells(n);
  mem::Buffer* b = mem::buffer_of(node);
  for (u32 i = 0; i < n; ++i) make_integer(b->cells() + i, i + 1 == n ? 1 : 0);
  b->tail = b->head + n * u32(sizeof(Cell));
  make_series(out, TYPE_BLOCK, node);
}

// A string! of n units: "a" repeated, then "b".
void make_text(Cell* out, u32 n) {
  std::string t(n, 'a');
  t.back() = 'b';
  string::load_at(reinterpret_cast<const u8*>(t.data()), n, out, string::Encoding::utf8);
}

struct Inputs {
  roots::LocalCell hay_block, pattern_block, hay_text, pattern_text;
  Inputs() {
    make_run(hay_block.get(), HAY);
    make_run(pattern_block.get(), PATTERN);
    make_text(hay_text.get(), HAY);
    make_text(pattern_text.get(), PATTERN);
  }
};

Inputs& inputs() {
  static Inputs in;
  return in;
}

void check(benchmark::State& state, i32 at) {
  if (at != EXPECTED) state.SkipWithError("wrong answer");
}

void BM_FindLongPatternBlock(benchmark::State& state) {
  Inputs& in = inputs();
  bool last = state.range(0) != 0;
  i32 at = -1;
  for (auto _ : state) {
    Cell* top = stack::top;
    act::FindOptions o;
    o.last = last;
    Cell* r = block::find(in.hay_block.get(), in.pattern_block.get(), o);
    at = type_of(r) == TYPE_NONE ? -1 : series_index(r);
    stack::top = top;
  }
  check(state, at);
  state.SetItemsProcessed(i64(state.iterations()) * HAY);
}

void BM_FindLongPatternString(benchmark::State& state) {
  Inputs& in = inputs();
  bool case_ = state.range(0) != 0;
  i32 at = -1;
  for (auto _ : state) {
    Cell* top = stack::top;
    act::FindOptions o;
    o.case_ = case_;
    Cell* r = string::find(in.hay_text.get(), in.pattern_text.get(), o);
    at = type_of(r) == TYPE_NONE ? -1 : series_index(r);
    stack::top = top;
  }
  check(state, at);
  state.SetItemsProcessed(i64(state.iterations()) * HAY);
}

}  // namespace

BENCHMARK(BM_FindLongPatternBlock)->ArgNames({"last"})->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindLongPatternString)->ArgNames({"case"})->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

QEL_BENCHMARK_MAIN();
