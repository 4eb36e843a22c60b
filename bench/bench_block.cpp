// The block! sort and find actions over one million integer cells, next to
// std::sort and std::find over the same records in the same run: the default
// order, /reverse, /skip 2 keyed on the first cell, /skip 2 /compare 2 keyed
// on the second, and a find whose match is the last cell.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "bench/bench_main.hpp"
#include "bench/bench_records.hpp"
#include "datatypes/block.hpp"
#include "runtime/cell.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

using namespace qel;
using bench::COUNT;
using bench::source;

namespace {

// A block! on the arguments stack holding a copy of the source cells.
Cell* make_block(const std::vector<Cell>& src) {
  stack::init();
  Cell* b = block::make_at(stack::push(), i32(src.size()));
  mem::Buffer* buf = mem::buffer_of(series_node(b));
  std::memcpy(buf->cells(), src.data(), src.size() * sizeof(Cell));
  buf->tail = buf->head + u32(src.size() * sizeof(Cell));
  return b;
}

void refill(Cell* b, const std::vector<Cell>& src) {
  mem::Buffer* buf = mem::buffer_of(series_node(b));
  std::memcpy(buf->cells(), src.data(), src.size() * sizeof(Cell));
  set_series_index(b, 0);
}

void bench_sort(benchmark::State& state, u32 cells_per_record, bool reverse, i32 field) {
  const std::vector<Cell>& src = source(cells_per_record);
  Cell* b = make_block(src);
  Cell* skip = cells_per_record > 1 ? make_integer(stack::push(), i32(cells_per_record)) : nullptr;
  Cell* compare = field > 1 ? make_integer(stack::push(), field) : nullptr;
  for (auto _ : state) {
    state.PauseTiming();
    refill(b, src);
    state.ResumeTiming();
    block::sort(b, false, skip, compare, nullptr, false, reverse, false);
    benchmark::DoNotOptimize(b);
  }
  state.SetItemsProcessed(state.iterations() * COUNT);
}

// The value searched for stands in the last cell only.
std::vector<Cell> find_source() {
  std::vector<Cell> v = source(1);
  for (Cell& c : v) make_integer(&c, int_of(&c) & 0x3FFFFFFF);
  make_integer(&v.back(), -7);
  return v;
}

void BM_Find_Qel(benchmark::State& state) {
  static const std::vector<Cell> src = find_source();
  Cell* b = make_block(src);
  Cell* value = make_integer(stack::push(), -7);
  Cell* top = stack::top;
  for (auto _ : state) {
    Cell* r = block::find(b, value, {});
    benchmark::DoNotOptimize(r);
    stack::top = top;
  }
  state.SetItemsProcessed(state.iterations() * COUNT);
}

void BM_Find_Std(benchmark::State& state) {
  static const std::vector<Cell> src = find_source();
  for (auto _ : state) {
    auto it = std::find_if(src.begin(), src.end(), [](const Cell& c) {
      return type_of(&c) == TYPE_INTEGER && int_of(&c) == -7;
    });
    benchmark::DoNotOptimize(it);
  }
  state.SetItemsProcessed(state.iterations() * COUNT);
}

void BM_Sort_Default_Qel(benchmark::State& s) { bench_sort(s, 1, false, 0); }
void BM_Sort_Default_Std(benchmark::State& s) { bench::std_sort_records<1>(s, 0, false, false); }
void BM_Sort_Reverse_Qel(benchmark::State& s) { bench_sort(s, 1, true, 0); }
void BM_Sort_Reverse_Std(benchmark::State& s) { bench::std_sort_records<1>(s, 0, true, false); }
void BM_Sort_Skip2_Qel(benchmark::State& s) { bench_sort(s, 2, false, 0); }
void BM_Sort_Skip2_Std(benchmark::State& s) { bench::std_sort_records<2>(s, 0, false, false); }
void BM_Sort_Compare2_Qel(benchmark::State& s) { bench_sort(s, 2, false, 2); }
void BM_Sort_Compare2_Std(benchmark::State& s) { bench::std_sort_records<2>(s, 1, false, false); }

}  // namespace

BENCHMARK(BM_Sort_Default_Qel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sort_Default_Std)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sort_Reverse_Qel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sort_Reverse_Std)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sort_Skip2_Qel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sort_Skip2_Std)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sort_Compare2_Qel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sort_Compare2_Std)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Find_Qel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Find_Std)->Unit(benchmark::kMillisecond);

QEL_BENCHMARK_MAIN();
