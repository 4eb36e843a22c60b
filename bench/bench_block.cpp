// The block! sort and find actions over one million integer cells, next to
// std::sort and std::find over the same records in the same run: the default
// order, /reverse, /skip 2 keyed on the first cell, /skip 2 /compare 2 keyed
// on the second, and a find whose match is the last cell.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "bench/bench_main.hpp"
#include "datatypes/block.hpp"
#include "runtime/cell.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

using namespace qel;

namespace {

constexpr u32 COUNT = 1000000;

// COUNT random integers (with repeats) as cells: one per record, or two per
// record (the key, then a second integer).
const std::vector<Cell>& source(u32 cells_per_record) {
  static std::vector<Cell> one, two;
  std::vector<Cell>& v = cells_per_record == 1 ? one : two;
  if (v.empty()) {
    std::mt19937 rng(42);
    v.resize(std::size_t(COUNT) * cells_per_record);
    for (Cell& c : v) make_integer(&c, i32(rng() % (COUNT * 4)));
  }
  return v;
}

// A block! on the arguments stack holding a copy of the source cells.
Cell* make_block(const std::vector<Cell>& src) {
  stack::init();
  Cell* b = block::make_at(stack::push(), i32(src.size()));
  mem::Buffer* buf = mem::buffer_of(b->w2);
  std::memcpy(buf->cells(), src.data(), src.size() * sizeof(Cell));
  buf->tail = buf->head + u32(src.size() * sizeof(Cell));
  return b;
}

void refill(Cell* b, const std::vector<Cell>& src) {
  mem::Buffer* buf = mem::buffer_of(b->w2);
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

template <u32 N>
struct Record {
  Cell cells[N];
};

template <u32 N>
void bench_std_sort(benchmark::State& state, bool reverse, u32 field) {
  const std::vector<Cell>& src = source(N);
  std::vector<Record<N>> v(COUNT);
  auto less = [reverse, field](const Record<N>& a, const Record<N>& b) {
    i32 x = int_of(&a.cells[field]), y = int_of(&b.cells[field]);
    return reverse ? y < x : x < y;
  };
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(v.data(), src.data(), src.size() * sizeof(Cell));
    state.ResumeTiming();
    std::sort(v.begin(), v.end(), less);
    benchmark::DoNotOptimize(v.data());
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
    Cell* r = block::find(b, value, nullptr, false, false, false, false, nullptr, nullptr, false, false,
                          false, false);
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
void BM_Sort_Default_Std(benchmark::State& s) { bench_std_sort<1>(s, false, 0); }
void BM_Sort_Reverse_Qel(benchmark::State& s) { bench_sort(s, 1, true, 0); }
void BM_Sort_Reverse_Std(benchmark::State& s) { bench_std_sort<1>(s, true, 0); }
void BM_Sort_Skip2_Qel(benchmark::State& s) { bench_sort(s, 2, false, 0); }
void BM_Sort_Skip2_Std(benchmark::State& s) { bench_std_sort<2>(s, false, 0); }
void BM_Sort_Compare2_Qel(benchmark::State& s) { bench_sort(s, 2, false, 2); }
void BM_Sort_Compare2_Std(benchmark::State& s) { bench_std_sort<2>(s, false, 1); }

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
