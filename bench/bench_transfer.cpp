// The cost of the transfer paths: an error raised and caught, a break taken
// by its loop frame through the exception path, and the same loop exit as a
// returned status (what the evaluator does for ordinary code).
#include "bench/bench_main.hpp"
#include "runtime/error.hpp"
#include "runtime/stack.hpp"

using namespace qel;

namespace {

void BM_ErrorRaisedAndCaught(benchmark::State& state) {
  stack::init();
  for (auto _ : state) {
    stack::mark(1, 0, stack::FRAME_CATCH);
    try {
      stack::mark(1, 0, stack::FRAME_NATIVE);
      fire(Err::script_no_value);
    } catch (const Transfer&) {
      stack::adjust_post_try();
    }
    stack::init();
  }
}
BENCHMARK(BM_ErrorRaisedAndCaught);

void BM_BreakThroughException(benchmark::State& state) {
  stack::init();
  for (auto _ : state) {
    stack::mark(1, 0, stack::FRAME_LOOP);
    try {
      stack::mark(1, 0, stack::FRAME_NATIVE);
      make_unset(stack::push());
      stack::throw_loop(false, false);
    } catch (const Transfer& t) {
      benchmark::DoNotOptimize(t.code);
    }
    stack::init();
  }
}
BENCHMARK(BM_BreakThroughException);

enum class Status { normal, brk };
__attribute__((noinline)) Status body_with_status(int i) {
  stack::mark(1, 0, stack::FRAME_NATIVE);
  make_unset(stack::push());
  stack::unwind();
  return i >= 0 ? Status::brk : Status::normal;
}

void BM_BreakAsReturnedStatus(benchmark::State& state) {
  stack::init();
  int i = 0;
  for (auto _ : state) {
    stack::mark(1, 0, stack::FRAME_LOOP);
    Status s = body_with_status(i++);
    benchmark::DoNotOptimize(s);
    stack::init();
  }
}
BENCHMARK(BM_BreakAsReturnedStatus);

}  // namespace

QEL_BENCHMARK_MAIN();
