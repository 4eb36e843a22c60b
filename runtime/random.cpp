#include "runtime/random.hpp"

#include <sys/random.h>

#include <cstdlib>

namespace qel::random {
namespace {

constexpr int N = 624;
constexpr int M = 397;
i32 g_state[N];
int g_index = N;

// Arithmetic right shift of a signed 32-bit value, defined for negatives.
inline i32 sar(i32 v, int n) { return v >> n; }
inline i32 wrap_add(i32 a, i32 b) { return i32(u32(a) + u32(b)); }
inline i32 wrap_mul(i32 a, i32 b) { return i32(u32(a) * u32(b)); }

void regenerate() {
  for (int i = 0; i < N; ++i) {
    i32 next = g_state[(i + 1) % N];
    i32 y = i32((u32(g_state[i]) & 0x80000000u) | (u32(next) & 0x7FFFFFFFu));
    i32 v = g_state[(i + M) % N] ^ sar(y, 1);
    if (next & 1) v ^= i32(0x9908B0DFu);
    g_state[i] = v;
  }
  g_index = 0;
}

}  // namespace

void init() { seed(19650218); }

void seed(i32 s) {
  g_state[0] = s;
  for (int i = 1; i < N; ++i) {
    g_state[i] = wrap_add(wrap_mul(g_state[i - 1] ^ sar(g_state[i - 1], 30), 1812433253), i);
  }
  g_index = 0;
}

i32 next() {
  if (g_index >= N) regenerate();
  i32 y = g_state[g_index++];
  y ^= sar(y, 11);
  y ^= i32(u32(y) << 7) & i32(0x9D2C5680u);
  y ^= i32(u32(y) << 15) & i32(0xEFC60000u);
  y ^= sar(y, 18);
  return y;
}

i32 secure() {
  u32 v = 0;
  while (getrandom(&v, sizeof v, 0) != ssize_t(sizeof v)) {
  }
  return i32(v & 0x7FFFFFFFu);
}

i32 range(bool sec, i32 n) {
  if (n == 0) return 0;
  if (n == i32(0x80000000u)) return -1 - (sec ? secure() : next());
  i32 m = n < 0 ? -n : n;
  i32 limit = 2147483647 / m * m;
  i32 draw;
  do {
    draw = sec ? secure() : next();
  } while (draw >= limit);
  i32 r = draw % m + 1;
  return n < 0 ? -r : r;
}

}  // namespace qel::random
