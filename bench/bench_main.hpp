// Benchmark main: brings the runtime up before the benchmarks run.
#pragma once

#include <benchmark/benchmark.h>

#include "runtime/startup.hpp"

#define QEL_BENCHMARK_MAIN()                              \
  int main(int argc, char** argv) {                       \
    qel::runtime::init_for_tests();                       \
    benchmark::Initialize(&argc, argv);                   \
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1; \
    benchmark::RunSpecifiedBenchmarks();                  \
    benchmark::Shutdown();                                \
    return 0;                                             \
  }
