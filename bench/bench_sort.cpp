// Sorting one million integers stored as cells, next to std::sort over the
// same records in the same run: the default order (quicksort and the stable
// merge sort), the reverse order, records of two cells (/skip 2) keyed on
// their first cell, and an integer-offset comparator keyed on the second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/bench_main.hpp"
#include "bench/bench_records.hpp"
#include "runtime/cell.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/sort.hpp"

using namespace qel;
using bench::COUNT;
using bench::source;

namespace {

// The comparison options a sort passes through: which cell of a record is the
// key, and whether the order is reversed.
struct Order {
  u32 field;
  bool reverse;
};

int compare_cells(const void* x, const void* y, void* arg1, void*) {
  const Order* o = static_cast<const Order*>(arg1);
  i32 a = int_of(static_cast<const Cell*>(x) + o->field);
  i32 b = int_of(static_cast<const Cell*>(y) + o->field);
  int r = (a > b) - (a < b);
  return o->reverse ? -r : r;
}

// A block holding a copy of the source cells.
struct Block {
  u32 node = 0;
  roots::NodeRoot keep{&node};
  explicit Block(u32 cells_per_record) {
    const std::vector<Cell>& src = source(cells_per_record);
    node = mem::alloc_cells(u32(src.size()));
    refill(cells_per_record);
  }
  void refill(u32 cells_per_record) {
    const std::vector<Cell>& src = source(cells_per_record);
    mem::Buffer* b = mem::buffer_of(node);
    std::memcpy(b->cells(), src.data(), src.size() * sizeof(Cell));
    b->tail = b->head + u32(src.size() * sizeof(Cell));
  }
};

void bench_qel(benchmark::State& state, u32 cells_per_record, Order order, bool stable) {
  Block block(cells_per_record);
  sort::Records r{block.node, 0, COUNT, 16 * cells_per_record};
  for (auto _ : state) {
    state.PauseTiming();
    block.refill(cells_per_record);
    state.ResumeTiming();
    bool ok = stable ? sort::merge_sort(r, &order, nullptr, compare_cells)
                     : sort::quick_sort(r, &order, nullptr, compare_cells);
    benchmark::DoNotOptimize(ok);
  }
  state.SetItemsProcessed(state.iterations() * COUNT);
}

void BM_Default_Qel(benchmark::State& s) { bench_qel(s, 1, {0, false}, false); }
void BM_Default_Std(benchmark::State& s) { bench::std_sort_records<1>(s, 0, false, false); }
void BM_Stable_Qel(benchmark::State& s) { bench_qel(s, 1, {0, false}, true); }
void BM_Stable_Std(benchmark::State& s) { bench::std_sort_records<1>(s, 0, false, true); }
void BM_Reverse_Qel(benchmark::State& s) { bench_qel(s, 1, {0, true}, false); }
void BM_Reverse_Std(benchmark::State& s) { bench::std_sort_records<1>(s, 0, true, false); }
void BM_Skip2_Qel(benchmark::State& s) { bench_qel(s, 2, {0, false}, false); }
void BM_Skip2_Std(benchmark::State& s) { bench::std_sort_records<2>(s, 0, false, false); }
void BM_Offset_Qel(benchmark::State& s) { bench_qel(s, 2, {1, false}, false); }
void BM_Offset_Std(benchmark::State& s) { bench::std_sort_records<2>(s, 1, false, false); }

}  // namespace

BENCHMARK(BM_Default_Qel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Default_Std)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Stable_Qel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Stable_Std)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reverse_Qel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reverse_Std)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Skip2_Qel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Skip2_Std)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Offset_Qel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Offset_Std)->Unit(benchmark::kMillisecond);

QEL_BENCHMARK_MAIN();
