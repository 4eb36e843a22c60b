#include "platform/crash.hpp"

#include <pthread.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdlib>
#include <initializer_list>
#include <cstring>


namespace qel::platform {
namespace {

FaultExit g_on_fault = nullptr;

std::uintptr_t g_stack_low = 0;
std::uintptr_t g_stack_high = 0;

// Faults within this distance below the interpreter's stack are overflows.
constexpr std::uintptr_t GUARD_REACH = 1u << 20;

void on_fault(int sig, siginfo_t* info, void* ctx) {
  int code = 99;
  std::uintptr_t fault = reinterpret_cast<std::uintptr_t>(info->si_addr);
  switch (sig) {
    case SIGSEGV:
      code = 32;
      if (g_stack_low && fault < g_stack_low && fault + GUARD_REACH >= g_stack_low) code = 19;
      break;
    case SIGBUS: code = 34; break;
    case SIGFPE: code = (info->si_code == FPE_INTDIV) ? 13 : 33; break;
    case SIGILL: code = 17; break;
    default: break;
  }
  std::uintptr_t pc = 0;
#if defined(__x86_64__)
  pc = std::uintptr_t(static_cast<ucontext_t*>(ctx)->uc_mcontext.gregs[REG_RIP]);
#endif
  g_on_fault(code, std::uint32_t(pc));
}

InterruptListener g_interrupt_listener = nullptr;
InterruptExitHook g_exit_hook = nullptr;

// SIGINT and SIGTERM end the process with the shell's status for a process
// stopped by that signal (130, 143): a killed script must not report
// success. A listener takes SIGINT instead (an interactive console stops the
// running evaluation).
void on_interrupt(int sig) {
  if (sig == SIGINT && g_interrupt_listener) {
    g_interrupt_listener();
    return;
  }
  if (g_exit_hook) g_exit_hook();
  _exit(128 + sig);
}

}  // namespace

const char* runtime_error_name(int code) {
  static const char* const names[] = {
      nullptr,
      "access violation", "invalid alignment", "breakpoint", "single step",
      "bounds exceeded", "float denormal operan", "float divide by zero",
      "float inexact result", "float invalid operation", "float overflow",
      "float stack check", "float underflow", "integer divide by zero",
      "integer overflow", "privileged instruction", "invalid virtual address",
      "illegal instruction", "non-continuable exception", "stack error or overflow",
      "invalid disposition", "guard page", "invalid handle", "illegal operand",
      "illegal addressing mode", "illegal trap", "coprocessor error",
      "non-existent physical address", "object specific hardware error",
      "hardware memory error consumed AR", "hardware memory error consumed AO",
      "privileged register", "segmentation fault", "FPU error", "Bus error"};
  if (code >= 1 && code <= 34) return names[code];
  switch (code) {
    case 94: return "out of memory";
    case 95: return "no CATCH for THROW";
    case 98: return "assertion failed";
    case 99: return "unknown error";
    case 100: return "no value matched in CASE";
    case 101: return "no value matched in SWITCH";
    default: return "unknown error code!";
  }
}

void install_alt_stack() {
  static thread_local bool done = false;
  if (done) return;
  done = true;
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return;  // one is set (sanitizers set their own)
  std::size_t size = 64 * 1024;
  void* mem = std::malloc(size);
  if (!mem) return;
  stack_t ss{};
  ss.ss_sp = mem;
  ss.ss_size = size;
  ss.ss_flags = 0;
  sigaltstack(&ss, nullptr);
}

void install_crash_handlers(FaultExit exit_on_fault) {
  g_on_fault = exit_on_fault;
  install_alt_stack();
  struct sigaction sa{};
  sa.sa_sigaction = on_fault;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(s, &sa, nullptr);
  struct sigaction quiet{};
  quiet.sa_handler = on_interrupt;
  quiet.sa_flags = SA_RESTART;
  sigemptyset(&quiet.sa_mask);
  // A signal the parent set to be ignored stays ignored, as other programs
  // keep it: shells start background jobs with SIGINT ignored, nohup and
  // service managers ignore SIGHUP or SIGTERM.
  for (int s : {SIGINT, SIGTERM}) {
    struct sigaction old{};
    if (sigaction(s, nullptr, &old) == 0 && !(old.sa_flags & SA_SIGINFO) && old.sa_handler == SIG_IGN) continue;
    sigaction(s, &quiet, nullptr);
  }
}

void set_interrupt_exit_hook(InterruptExitHook hook) { g_exit_hook = hook; }

void set_interrupt_listener(InterruptListener listener) { g_interrupt_listener = listener; }

namespace {
void mask_interrupts(int how) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(how, &set, nullptr);
}
}  // namespace

void block_interrupts() { mask_interrupts(SIG_BLOCK); }
void unblock_interrupts() { mask_interrupts(SIG_UNBLOCK); }

void set_guarded_stack(std::uintptr_t low, std::uintptr_t high) {
  g_stack_low = low;
  g_stack_high = high;
}

}  // namespace qel::platform
