// The text console: starts the runtime and the library, then hands the
// session to the console engine (system/console/launch), which runs the
// script named on the command line or the prompt loop. The engine's `ask`
// reads lines from standard input; everything printed goes to standard
// output. qel runs it when no display opens (console/gui_console.hpp);
// qel-headless (a test tool) is exactly this.
//
// Interrupts: in a session that reads typed lines (no script named, or
// "--catch" before it), SIGINT stops the running evaluation ("(halted)") or
// drops the line being typed; otherwise SIGINT and SIGTERM end the process
// with status 130 and 143. A script that fails, with no prompt loop after
// it, is reported on standard error and ends the process with status 254.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "eval/api.hpp"
#include "eval/boot.hpp"
#include "eval/interrupt.hpp"
#include "eval/library_routines.hpp"
#include "platform/crash.hpp"
#include "runtime/config.hpp"
#include "runtime/error.hpp"
#include "runtime/hooks.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"

using namespace qel;

namespace {

void print_value(const Cell* text, int line_end) {
  std::string s = string::to_utf8(text);
  std::fwrite(s.data(), 1, s.size(), stdout);
  if (line_end) std::fputc('\n', stdout);
  std::fflush(stdout);
}

void print_bytes(const char* text, std::size_t n, int) {
  std::fwrite(text, 1, n, stdout);
  std::fflush(stdout);
}

// ---- system/console --------------------------------------------------------------

// The cell of a field of system/console (null when the engine is missing).
Cell* console_field(const char* name) {
  Cell* sys = word::get_value_cell(intern_word("system"));
  if (type_of(sys) != TYPE_OBJECT) return nullptr;
  i32 i = context::find_word(object::context_of(sys), symbol::make("console"), true);
  if (i < 0) return nullptr;
  Cell* console = context::slot(object::context_of(sys), u32(i));
  if (type_of(console) != TYPE_OBJECT) return nullptr;
  i = context::find_word(object::context_of(console), symbol::make(name), true);
  return i < 0 ? nullptr : context::slot(object::context_of(console), u32(i));
}

// system/console/size: the terminal's columns and rows, 80x25 when standard
// output is not a terminal. Set at start and whenever the terminal's size
// has changed since (read before each prompt); a size a script set stays
// until then.
void update_size() {
  static i32 cols = -1, rows = -1;
  i32 c = 80, r = 25;
  struct winsize ws{};
  if (::isatty(1) && ::ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
    c = ws.ws_col;
    r = ws.ws_row;
  }
  if (c == cols && r == rows) return;
  cols = c;
  rows = r;
  if (Cell* size = console_field("size")) pair::make_at(size, cols, rows);
}

// ---- interrupts ------------------------------------------------------------------
// The test trigger (config::HALT_AFTER_ENV): slow checks left before the
// request, counted again from each prompt.
int g_halt_after = 0;
int g_checks_left = 0;
void count_checks() {
  if (g_halt_after > 0 && --g_checks_left == 0) interrupt::request();
}

// ---- standard input --------------------------------------------------------------

// Lines are read with read(2) behind poll(2): an interrupt wakes a blocked
// poll (it is never restarted), so Ctrl+C at the prompt is seen at once.
std::string g_pending;
bool g_input_ended = false;

// The next line without its line end, or nothing at the end of the input. An
// interrupt request pending or arriving meanwhile is taken (halt-request),
// also when the line is already there: Ctrl+C drops it.
std::optional<std::string> read_line() {
  for (;;) {
    interrupt::take();
    std::size_t nl = g_pending.find('\n');
    if (nl != std::string::npos || (g_input_ended && !g_pending.empty())) {
      std::string line = g_pending.substr(0, nl);
      g_pending.erase(0, nl == std::string::npos ? nl : nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (g_input_ended) return std::nullopt;
    struct pollfd p{0, POLLIN, 0};
    if (::poll(&p, 1, -1) < 0) {
      if (errno != EINTR) g_input_ended = true;
      continue;
    }
    char buf[4096];
    ssize_t n = ::read(0, buf, sizeof buf);
    if (n > 0) g_pending.append(buf, std::size_t(n));
    else if (n == 0 || (errno != EINTR && errno != EAGAIN)) g_input_ended = true;
  }
}

// `ask`: shows the prompt and answers the next line of standard input
// without its line end, or none at the end of the input (after ending the
// prompt's line).
void ask_line() {
  update_size();
  g_checks_left = g_halt_after;
  hooks::call_event_hooks(api::arg(0), 0);
  std::optional<std::string> line = read_line();
  if (!line) {
    std::fputc('\n', stdout);
    std::fflush(stdout);
    api::answer_none();
    return;
  }
  Cell* s = string::load(reinterpret_cast<const u8*>(line->data()), u32(line->size()),
                         string::Encoding::utf8);
  Cell v = *s;
  api::set_result(&v);
}

// system/console/init: the terminal's title, when standard output is one.
void set_title() {
  if (!::isatty(1)) return;
  std::string title = string::to_utf8(api::arg(0));
  std::string seq = "\033]0;" + title + "\007";
  std::fwrite(seq.data(), 1, seq.size(), stdout);
  std::fflush(stdout);
}

// Whether the session reads typed lines: no script is named, or "--catch"
// comes before it (the engine's read-argument takes the options apart the
// same way: options start with "--", and the one after a bare "--" is the
// script).
bool interactive(const std::vector<std::string>& args) {
  bool catch_seen = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string_view a = args[i];
    if (a.substr(0, 2) != "--" || (i > 1 && args[i - 1] == "--")) return catch_seen;
    if (a == "--catch") catch_seen = true;
  }
  return true;
}

void on_interrupt() { interrupt::request(); }


}  // namespace

namespace qel::console {

int text_console() {
  hooks::add(print_value, print_bytes);
  library::define_global_routine(
      "ask", "[\"Prompts for a line of input and returns it\" question [string!] return: [string! none!]]",
      ask_line);
  Cell* gui = console_field("gui?");
  Cell* launch = console_field("launch");
  if (!gui || !launch) fire(Err::internal_not_done);
  make_logic(gui, false);
  update_size();
  Cell* sys = word::get_value_cell(intern_word("system"));
  {
    i32 i = context::find_word(object::context_of(sys), symbol::make("console"), true);
    library::define_field_routine(context::slot(object::context_of(sys), u32(i)), "init",
                                  "[\"Sets the title of the console window\" str [string!]]", set_title);
  }
  if (interactive(runtime::args)) {
    platform::set_interrupt_listener(on_interrupt);
    if (const char* n = std::getenv(config::HALT_AFTER_ENV)) {
      g_halt_after = std::atoi(n);
      interrupt::set_hook(count_checks, 0);
    }
  }
  roots::LocalCell fn, failure;
  copy_cell(console_field("launch"), fn.get());
  api::check(api::invoke(fn.get(), nullptr, 0, failure.get()));
  platform::set_interrupt_listener(nullptr);
  interrupt::clear();
  switch (type_of(failure.get())) {
    case TYPE_ERROR: {
      // Reported as every uncaught error is: on standard error, status 254.
      stack::init();
      Cell err = *failure.get();
      stack::throw_error(stack::push_cell(&err));
    }
    case TYPE_STRING: {
      std::fflush(stdout);
      std::string text = string::to_utf8(failure.get());
      std::fprintf(stderr, "%s\n", text.c_str());
      std::fflush(stderr);
      return 254;
    }
    default:
      return 0;
  }
}

namespace {

int program() {
  boot::run();
  return text_console();
}

}  // namespace

// Runs the text console: the script named on the command line, or the
// read-evaluate-print loop on standard input.
int text_main(int argc, char** argv) { return runtime::start(argc, argv, program); }

}  // namespace qel::console
