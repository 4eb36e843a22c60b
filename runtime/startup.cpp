#include "runtime/startup.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cfenv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.hpp"
#include "platform/crash.hpp"
#include "runtime/memory.hpp"
#include "platform/image_state.hpp"

namespace qel::runtime {

RuntimeRecord rt{};
bool boot_flag = false;
QEL_IMAGE_KEEP(boot_flag);
std::vector<std::string> args;
u32 root_node = 0;
std::uintptr_t stack_limit = 0;
std::uintptr_t stack_base = 0;

namespace {

// Formats the runtime-error report without allocating (signal-safe).
std::size_t format_report(char* out, std::size_t cap, int code, u32 address) {
  std::size_t n = 0;
  auto put = [&](const char* s) {
    while (*s && n + 1 < cap) out[n++] = *s++;
  };
  put("*** Runtime Error ");
  char num[16];
  int len = 0;
  unsigned v = code < 0 ? unsigned(-code) : unsigned(code);
  do { num[len++] = char('0' + v % 10); v /= 10; } while (v);
  if (code < 0) num[len++] = '-';
  while (len) { if (n + 1 < cap) out[n++] = num[--len]; }
  put(": ");
  put(platform::runtime_error_name(code));
  put("\n*** at: ");
  static const char hex[] = "0123456789ABCDEF";
  for (int i = 7; i >= 0; --i) if (n + 1 < cap) out[n++] = hex[(address >> (i * 4)) & 15];
  put("h\n");
  out[n] = 0;
  return n;
}
}  // namespace

Cell* root_append() {
  mem::Buffer* b = mem::buffer_of(root_node);
  if (b->tail + sizeof(Cell) > b->end_offset()) sys_quit(94, 0);
  Cell* c = b->cell_tail();
  make_unset(c);
  b->tail += sizeof(Cell);
  return c;
}

void set_stack_limit(std::uintptr_t low, std::uintptr_t high) {
  std::size_t size = high - low;
  std::size_t safety = config::STACK_SAFETY_BYTES;
  if (safety > size / 4) safety = size / 4;
  stack_limit = low + safety;
  stack_base = high;
  platform::set_guarded_stack(low, high);
}

void set_stack_limit_for_this_thread() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* addr = nullptr;
  std::size_t size = 0;
  pthread_attr_getstack(&attr, &addr, &size);
  pthread_attr_destroy(&attr);
  std::uintptr_t low = reinterpret_cast<std::uintptr_t>(addr);
  set_stack_limit(low, low + size);
}

void sys_quit(int status, u32 address) {
  platform::console::flush();
  std::fflush(stdout);
  if (status != 0) {
    char buf[256];
    std::size_t n = format_report(buf, sizeof buf, status, address);
    std::fwrite(buf, 1, n, stderr);
    std::fflush(stderr);
    std::_Exit(status);
  }
  std::exit(0);
}

void sys_quit_from_signal(int status, u32 address) {
  if (status != 0) {
    char buf[256];
    std::size_t n = format_report(buf, sizeof buf, status, address);
    ssize_t w = ::write(2, buf, n);
    (void)w;
  }
  _exit(status);
}

}  // namespace qel::runtime
