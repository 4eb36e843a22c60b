// A program that faults on purpose, to check the runtime-error reports:
//   qel-fault-probe segv|divide|stack|interrupt|terminate|ok
#include <csignal>
#include <cstring>

#include "runtime/startup.hpp"

namespace {
const char* g_mode = "ok";
volatile int g_zero = 0;
volatile int g_depth_limit = 1 << 30;
int* volatile g_bad_pointer = reinterpret_cast<int*>(16);

int recurse(int n) {
  volatile char pad[4096];
  pad[0] = char(n);
  if (n > g_depth_limit) return 0;
  return recurse(n + 1) + pad[0];
}

int program() {
  if (!std::strcmp(g_mode, "segv")) {
    return *g_bad_pointer;
  }
  if (!std::strcmp(g_mode, "divide")) return 7 / g_zero;
  if (!std::strcmp(g_mode, "stack")) return recurse(0);
  if (!std::strcmp(g_mode, "interrupt")) {
    std::raise(SIGINT);
    return 3;
  }
  if (!std::strcmp(g_mode, "terminate")) {
    std::raise(SIGTERM);
    return 3;
  }
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) g_mode = argv[1];
  return qel::runtime::start(argc, argv, program);
}
