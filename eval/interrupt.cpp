#include "eval/interrupt.hpp"

#include <time.h>

#include <atomic>

#include "datatypes/word.hpp"
#include "runtime/error.hpp"
#include "runtime/stack.hpp"
#include "platform/image_state.hpp"

namespace qel::interrupt {

int countdown = CHECK_PERIOD;
QEL_IMAGE_KEEP(countdown);

namespace {

std::atomic<bool> g_requested{false};
Hook g_hook = nullptr;
long long g_interval_ns = 0;
long long g_last_hook_ns = 0;

long long now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

}  // namespace

void request() {
  g_requested.store(true, std::memory_order_relaxed);
  __atomic_store_n(&countdown, 0, __ATOMIC_RELAXED);
}

bool requested() { return g_requested.load(std::memory_order_relaxed); }

void clear() { g_requested.store(false, std::memory_order_relaxed); }

void take() {
  if (g_requested.exchange(false, std::memory_order_relaxed)) raise_halt();
}

void set_hook(Hook hook, int interval_ms) {
  g_hook = hook;
  g_interval_ns = (long long)(interval_ms < 0 ? 0 : interval_ms) * 1000000LL;
  g_last_hook_ns = now_ns();
}

void check() {
  __atomic_store_n(&countdown, CHECK_PERIOD, __ATOMIC_RELAXED);
  if (g_hook) {
    long long t = g_interval_ns ? now_ns() : 0;
    if (!g_interval_ns || t - g_last_hook_ns >= g_interval_ns) {
      g_last_hook_ns = t;
      g_hook();
    }
  }
  take();
}

void raise_halt() {
  // As the throw native does from its own frame: the value and its name are
  // the frame's first two cells.
  Cell name = *intern_word("halt");
  stack::mark(&name, stack::FRAME_NATIVE);
  Cell value = *intern_word("halt-request");
  Cell console = *intern_word("console");
  stack::push_cell(&value);
  stack::push_cell(&console);
  stack::throw_return(THROW_THROW);
}

}  // namespace qel::interrupt
