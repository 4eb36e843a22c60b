// What the sort benchmarks share: one million random integer cells, grouped
// in records of one or two cells, and the std::sort (or std::stable_sort) run
// over the same records that the Qel sorts are set beside.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "runtime/cell.hpp"

namespace qel::bench {

inline constexpr u32 COUNT = 1000000;

// COUNT random integers (with repeats) as cells: one per record, or two per
// record (the key, then a second integer). Made once per process.
inline const std::vector<Cell>& source(u32 cells_per_record) {
  static std::vector<Cell> one, two;
  std::vector<Cell>& v = cells_per_record == 1 ? one : two;
  if (v.empty()) {
    std::mt19937 rng(42);
    v.resize(std::size_t(COUNT) * cells_per_record);
    for (Cell& c : v) make_integer(&c, i32(rng() % (COUNT * 4)));
  }
  return v;
}

template <u32 N>
struct Record {
  Cell cells[N];
};

// std::sort (std::stable_sort when stable) of the records of N cells keyed on
// cell `field`, refilled from the source before every run.
template <u32 N>
void std_sort_records(benchmark::State& state, u32 field, bool reverse, bool stable) {
  const std::vector<Cell>& src = source(N);
  std::vector<Record<N>> v(COUNT);
  auto less = [field, reverse](const Record<N>& a, const Record<N>& b) {
    i32 x = int_of(&a.cells[field]), y = int_of(&b.cells[field]);
    return reverse ? y < x : x < y;
  };
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(v.data(), src.data(), src.size() * sizeof(Cell));
    state.ResumeTiming();
    if (stable) {
      std::stable_sort(v.begin(), v.end(), less);
    } else {
      std::sort(v.begin(), v.end(), less);
    }
    benchmark::DoNotOptimize(v.data());
  }
  state.SetItemsProcessed(state.iterations() * COUNT);
}

}  // namespace qel::bench
