#include "runtime/startup.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cfenv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.hpp"
#include "platform/crash.hpp"
#include "eval/lexer.hpp"
#include "eval/interpreter.hpp"
#include "eval/natives.hpp"
#include "eval/parse.hpp"
#include "runtime/random.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "runtime/actions.hpp"
#include "runtime/casefold.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/hash.hpp"
#include "runtime/hooks.hpp"
#include "runtime/memory.hpp"
#include "runtime/resources.hpp"
#include "runtime/stack.hpp"
#include "runtime/words.hpp"

namespace qel::runtime {

RuntimeRecord rt{};
bool boot_flag = false;
std::vector<std::string> args;
u32 root_node = 0;
std::uintptr_t stack_limit = 0;

namespace {
bool g_initialised = false;

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

void set_stack_limit_for_this_thread() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* addr = nullptr;
  std::size_t size = 0;
  pthread_attr_getstack(&attr, &addr, &size);
  pthread_attr_destroy(&attr);
  std::uintptr_t low = reinterpret_cast<std::uintptr_t>(addr);
  std::size_t safety = config::STACK_SAFETY_BYTES;
  if (safety > size / 4) safety = size / 4;
  stack_limit = low + safety;
  platform::set_guarded_stack(low, low + size);
}

void runtime_init() {
  if (g_initialised) return;
  boot_flag = true;                       // boot flag
  hooks::init();                          // output hook lists
  platform::console::init();              // platform start
  random::init();                         // random generator
  mem::init();                            // memory manager
  resources::init_registry();             // external-resource registry
  types::register_all();                  // datatypes, in their fixed order
  string::init();                         // string buffer layer (rotation scratch)
  mem::make_node_frame(mem::NODE_FRAME_NODES);  // first node and series frames
  mem::make_series_frame();
  root_node = mem::alloc_big_series(ROOT_CELLS, 16, 0);  // root block (pinned)
  context::init_global();                 // global context
  casefold::init();                       // case-folding tables
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

namespace {

struct StartArgs {
  Program program;
  int status;
};

void* eval_thread(void* p) {
  auto* a = static_cast<StartArgs*>(p);
  platform::install_alt_stack();
  set_stack_limit_for_this_thread();
  runtime_init();
  a->status = a->program ? a->program() : 0;
  return nullptr;
}

}  // namespace

int start(int argc, char** argv, Program program) {
  std::fesetround(FE_TONEAREST);          // 1, 4. floating point: round to nearest
  platform::install_crash_handlers();     // 3. crash handling
  args.assign(argv, argv + argc);
  // The interpreter runs on one thread with a large stack, so that deep Qel
  // recursion ends in a stack-overflow error rather than a fault.
  StartArgs a{program, 0};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, config::EVAL_STACK_BYTES);
  pthread_t t;
  if (pthread_create(&t, &attr, eval_thread, &a) != 0) {
    // No room for the large stack: run here, with the limit of this stack.
    pthread_attr_destroy(&attr);
    eval_thread(&a);
  } else {
    pthread_attr_destroy(&attr);
    pthread_join(t, nullptr);
  }
  platform::console::flush();
  std::fflush(stdout);
  return a.status;
}

void init_for_tests() {
  if (g_initialised) return;
  set_stack_limit_for_this_thread();
  runtime_init();
}

}  // namespace qel::runtime
