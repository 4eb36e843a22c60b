#include "runtime/hooks.hpp"

#include <cstdlib>
#include <cstring>

namespace qel::hooks {
namespace {

// A growable array of callbacks: room for 5 at start, grown by 5.
template <class F>
struct HookList {
  F* items = nullptr;
  std::size_t count = 0;
  std::size_t capacity = 0;

  void init() {
    std::free(items);
    capacity = 5;
    count = 0;
    items = static_cast<F*>(std::calloc(capacity, sizeof(F)));
    if (!items) std::abort();
  }
  void add(F f) {
    if (!f) return;
    if (count == capacity) {
      F* bigger = static_cast<F*>(std::calloc(capacity + 5, sizeof(F)));
      if (!bigger) std::abort();
      std::memcpy(bigger, items, count * sizeof(F));
      std::free(items);
      items = bigger;
      capacity += 5;
    }
    items[count++] = f;
  }
  void remove(F f) {
    if (!f) return;
    for (std::size_t i = 0; i < count; ++i) {
      if (items[i] == f) {
        std::memmove(items + i, items + i + 1, (count - i - 1) * sizeof(F));
        --count;
        return;
      }
    }
  }
};

HookList<ValueHook> g_values;
HookList<ByteHook> g_bytes;

}  // namespace

void init() {
  g_values.init();
  g_bytes.init();
}

void add(ValueHook v, ByteHook b) {
  g_values.add(v);
  g_bytes.add(b);
}

void remove(ValueHook v, ByteHook b) {
  g_values.remove(v);
  g_bytes.remove(b);
}

void call_event_hooks(const Cell* value, int flag) {
  for (std::size_t i = 0; i < g_values.count; ++i) g_values.items[i](value, flag);
}

void call_output_hooks(const char* text, std::size_t length, int flag) {
  for (std::size_t i = 0; i < g_bytes.count; ++i) g_bytes.items[i](text, length, flag);
}

std::size_t value_count() { return g_values.count; }
std::size_t value_capacity() { return g_values.capacity; }
std::size_t byte_count() { return g_bytes.count; }
std::size_t byte_capacity() { return g_bytes.capacity; }
ValueHook value_at(std::size_t i) { return g_values.items[i]; }
ByteHook byte_at(std::size_t i) { return g_bytes.items[i]; }

const char* build_date() { return __DATE__ " " __TIME__; }

}  // namespace qel::hooks
