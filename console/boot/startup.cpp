// Start-up: brings every layer up in its fixed order, and the entry
// sequence. It sits on top of the runtime, the datatypes and the evaluator
// (runtime/startup.hpp declares what it defines).
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#include <ucontext.h>

#include <cfenv>
#include <cstdlib>
#include <cstdio>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "eval/interpreter.hpp"
#include "eval/lexer.hpp"
#include "eval/natives.hpp"
#include "eval/parse.hpp"
#include "eval/transfers.hpp"
#include "platform/console.hpp"
#include "platform/crash.hpp"
#include "platform/pages.hpp"
#include "platform/sanitize.hpp"
#include "platform/std_streams.hpp"
#include "datatypes/ownership.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/config.hpp"
#include "runtime/error.hpp"
#include "runtime/hash.hpp"
#include "runtime/hooks.hpp"
#include "runtime/memory.hpp"
#include "runtime/random.hpp"
#include "runtime/resources.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "runtime/words.hpp"

namespace qel::runtime {

namespace {
bool g_initialised = false;
}  // namespace

void runtime_init() {
  if (g_initialised) return;
  boot_flag = true;                       // boot flag
  hooks::init();                          // output hook lists
  platform::console::init();              // platform start
  platform::console::set_output_listener(hooks::call_output_hooks);
  random::init();                         // random generator
  mem::init();                            // memory manager
  resources::init_registry();             // external-resource registry
  types::register_all();                  // datatypes, in their fixed order
  string::init();                         // string buffer layer (rotation scratch)
  mem::make_node_frame(mem::NODE_FRAME_NODES);  // first node and series frames
  mem::make_series_frame();
  root_node = mem::alloc_big_series(ROOT_CELLS, 16, 0);  // root block (pinned)
  context::init_global();                 // global context
  symbol::init_table();                   // symbol block and symbol hash table
  init_type_name_words();                 // datatype-name words
  init_well_known_words();                // well-known words
  init_refinement_words();                // well-known refinements
  object::init_words();                   // the words of the change events
  series::init_words();                   // series change-event words, error argument words
  block::init_state();                    // block scratch cell, sort callback word
  natives::init();                        // natives table
  parse::init();                          // PARSE keywords, event words, mark callback
  ownership::init();                      // ownership table
  stack::init();                          // arguments and call stacks
  lexer::init();                          // lexer stack, scratch buffer, words, mark callback
  error::init_catalog();                  // error catalogue and the standard error object
  interp::init();                         // interpreter state
  resources::init_slot_table();           // value slot table
  gc::init();                             // collector
  g_initialised = true;
}

bool initialised() { return g_initialised; }

namespace {

struct StartArgs {
  Program program;
  int status;
};

// Runs the program; a transfer that no frame took (a C++ exception that
// would otherwise end the process) is reported like any uncaught error.
int run_program(Program program) {
  try {
    return program ? program() : 0;
  } catch (const Transfer& t) {
    rt.thrown = 0;
    if (t.code == THROW_ERROR && type_of(stack::last()) == TYPE_ERROR) {
      Cell err = *stack::last();
      stack::init();
      stack::throw_error(stack::push_cell(&err));
    }
    stack::init();
    interp::raise_stray(t.code);
  }
}

void run_eval(StartArgs* a) {
  platform::install_alt_stack();
  platform::unblock_interrupts();
  // The frames runtime-init makes are backed once start-up knows whether
  // the boot image's pages take their place (console/boot/boot.cpp).
  platform::defer_populating();
  runtime_init();
  a->status = run_program(a->program);
}

#if defined(QEL_ASAN)
// Under the address sanitizer, which does not follow a switch of stacks on
// one thread, the interpreter runs on a thread of its own with the large
// stack.
void* eval_thread(void* p) {
  set_stack_limit_for_this_thread();
  run_eval(static_cast<StartArgs*>(p));
  return nullptr;
}

bool run_on_large_stack(StartArgs* a) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, config::EVAL_STACK_BYTES);
  pthread_t t;
  bool started = pthread_create(&t, &attr, eval_thread, a) == 0;
  pthread_attr_destroy(&attr);
  if (started) pthread_join(t, nullptr);
  return started;
}
#else
StartArgs* g_start = nullptr;
std::uintptr_t g_large_low = 0, g_large_high = 0;

void eval_on_large_stack() {
  set_stack_limit(g_large_low, g_large_high);
  run_eval(g_start);
}

// Runs the interpreter on this thread, on a stack mapped for it: reserved,
// not committed (pages come as recursion reaches them), a page below it
// left inaccessible so that running past it faults. One thread: a second
// one would make each change of the mappings (the boot image's pages
// written for the first time among them) interrupt the processor the first
// one last ran on to flush its address translations.
bool run_on_large_stack(StartArgs* a) {
  const std::size_t guard = config::PAGE_SIZE;
  void* m = mmap(nullptr, config::EVAL_STACK_BYTES + guard, PROT_NONE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (m == MAP_FAILED) return false;
  auto low = reinterpret_cast<std::uintptr_t>(m) + guard;
  if (mprotect(reinterpret_cast<void*>(low), config::EVAL_STACK_BYTES, PROT_READ | PROT_WRITE) != 0) {
    munmap(m, config::EVAL_STACK_BYTES + guard);
    return false;
  }
  g_start = a;
  g_large_low = low;
  g_large_high = low + config::EVAL_STACK_BYTES;
  ucontext_t caller, eval;
  getcontext(&eval);
  eval.uc_stack.ss_sp = reinterpret_cast<void*>(low);
  eval.uc_stack.ss_size = config::EVAL_STACK_BYTES;
  eval.uc_link = &caller;
  makecontext(&eval, eval_on_large_stack, 0);
  swapcontext(&caller, &eval);
  // The stack stays mapped: the process ends next.
  return true;
}
#endif

// The heap start-up fills (the C++ tables, the compiled units) is backed
// in one call, not by a page fault at the first write to each page, and
// grows by large steps after it. Under the address sanitizer, whose heap
// is its own, nothing is done.
void back_heap() {
#if !defined(QEL_ASAN) && defined(MADV_POPULATE_WRITE)
  constexpr std::size_t kStart = 1024 * 1024;
  mallopt(M_TOP_PAD, int(kStart));
  // Blocks below the size the C library maps apart, taken until the heap
  // has grown (by the request and the pad), then given back to its top.
  void* held[8];
  int n = 0;
  for (void* before = sbrk(0); n < 8 && sbrk(0) == before;) held[n++] = std::malloc(60 * 1024);
  for (int i = 0; i < n; ++i) std::free(held[i]);
  const std::size_t top = mallinfo2().keepcost;
  auto* end = static_cast<char*>(sbrk(0));
  auto page = std::uintptr_t(config::PAGE_SIZE);
  auto from = (reinterpret_cast<std::uintptr_t>(end) - top + page - 1) & ~(page - 1);
  if (end != reinterpret_cast<char*>(-1) && from < reinterpret_cast<std::uintptr_t>(end))
    madvise(reinterpret_cast<void*>(from), reinterpret_cast<std::uintptr_t>(end) - from, MADV_POPULATE_WRITE);
#endif
}

}  // namespace

int start(int argc, char** argv, Program program) {
  platform::streams::take_closed();       // descriptors 0-2 taken before anything opens
  std::fesetround(FE_TONEAREST);          // floating point rounds to nearest
  platform::install_crash_handlers(sys_quit_from_signal);  // a processor fault ends through quit
  args.assign(argv, argv + argc);
  // The interpreter runs with a large stack, so that deep Qel recursion
  // ends in a stack-overflow error rather than a fault.
  // Its allocations come from the process's main heap, which grows by
  // large steps, not from a heap of a thread's own, which the C library
  // grows a page at a time (a system call and a fault each).
  mallopt(M_ARENA_MAX, 1);
  back_heap();
  StartArgs a{program, 0};
  platform::block_interrupts();
  if (!run_on_large_stack(&a)) {
    // No room for the large stack: run here, with the limit of this stack.
    set_stack_limit_for_this_thread();
    run_eval(&a);
  }
  platform::console::flush();
  return platform::streams::finish(a.status);
}

void init_for_tests() {
  if (g_initialised) return;
  set_stack_limit_for_this_thread();
  runtime_init();
}

}  // namespace qel::runtime
