// Allocation and growth of small series, next to malloc/realloc, and a full
// collection of a heap of live and dead series, next to malloc/free.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/bench_main.hpp"
#include "runtime/collector.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"

using namespace qel;

namespace {

constexpr int kSeries = 10'000'000;
constexpr int kBatch = 100'000;  // collected after every batch, as a program would

// Allocate a 16-byte series, then grow it to 64 bytes with its data copied.
void BM_SeriesAllocExpand(benchmark::State& state) {
  bool saved = gc::enabled;
  gc::enabled = true;
  for (auto _ : state) {
    for (int i = 0; i < kSeries; ++i) {
      u32 node = mem::alloc_bytes(16);
      *mem::alloc_tail_bytes(node, 1) = u8(i);
      mem::expand_series_copy(node, 64);
      if (i % kBatch == 0) gc::do_cycle();
    }
    gc::do_cycle();
  }
  gc::enabled = saved;
  state.SetItemsProcessed(state.iterations() * kSeries);
}
BENCHMARK(BM_SeriesAllocExpand)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_MallocRealloc(benchmark::State& state) {
  std::vector<void*> batch;
  batch.reserve(kBatch);
  for (auto _ : state) {
    for (int i = 0; i < kSeries; ++i) {
      void* p = std::malloc(16);
      static_cast<unsigned char*>(p)[0] = static_cast<unsigned char>(i);
      p = std::realloc(p, 64);
      batch.push_back(p);
      if (batch.size() == kBatch) {
        for (void* q : batch) std::free(q);
        batch.clear();
      }
    }
    for (void* q : batch) std::free(q);
    batch.clear();
  }
  state.SetItemsProcessed(state.iterations() * kSeries);
}
BENCHMARK(BM_MallocRealloc)->Unit(benchmark::kMillisecond)->Iterations(1);

// One collection of a heap holding 1 million live series among 1 million dead.
void BM_CollectMillionLive(benchmark::State& state) {
  roots::LocalCell holder;
  u32 block = mem::alloc_cells(1'000'000);
  make_series(holder.get(), TYPE_BLOCK, block);
  for (auto _ : state) {
    state.PauseTiming();
    mem::buffer_of(block)->tail = mem::buffer_of(block)->head;
    for (int i = 0; i < 1'000'000; ++i) {
      u32 live = mem::alloc_bytes(16);
      mem::alloc_bytes(16);  // dead
      make_series(mem::alloc_tail_cell(block), TYPE_BINARY, live);
    }
    state.ResumeTiming();
    gc::do_cycle();
  }
}
BENCHMARK(BM_CollectMillionLive)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_MallocFreeMillion(benchmark::State& state) {
  std::vector<void*> live(1'000'000), dead(1'000'000);
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < 1'000'000; ++i) {
      live[size_t(i)] = std::malloc(16);
      dead[size_t(i)] = std::malloc(16);
    }
    state.ResumeTiming();
    for (void* p : dead) std::free(p);  // what the collector reclaims
    state.PauseTiming();
    for (void* p : live) std::free(p);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_MallocFreeMillion)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

QEL_BENCHMARK_MAIN();
