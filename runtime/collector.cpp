#include "runtime/collector.hpp"

#include <cstdlib>

#include "runtime/config.hpp"
#include "runtime/roots.hpp"

namespace qel::roots {
std::vector<const Cell*> cells;
std::vector<const u32*> nodes;
}  // namespace qel::roots

namespace qel::gc {

bool enabled = false;
bool active = false;
bool stress = false;

namespace {
u32 g_cycles = 0;
}

void init() {
  g_cycles = 0;
  const char* s = std::getenv(config::GC_STRESS_ENV);
  stress = s && *s && *s != '0';
}

void check() {
  if (enabled && !active) do_cycle();
}

void stress_point() {
  if (stress) check();
}

u32 do_cycle() { return ++g_cycles; }
u32 cycles() { return g_cycles; }

}  // namespace qel::gc
