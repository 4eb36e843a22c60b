// The text console: starts the runtime and the library, then hands the
// session to the console engine (system/console/launch), which runs the
// script named on the command line or the prompt loop. The engine's `ask`
// (and `input`, which asks with no prompt) reads lines from standard input;
// everything printed goes to standard output, but for a program (a script
// with no prompt loop after it) what the library reports without stopping
// it (`_report`: an error in an actor, a directive that fails), which goes
// to standard error as every error report does. qel runs it when no display
// opens, when its script runs as a command-line program, and when lines come
// on standard input (console/gui_console.hpp); qel-headless (a test tool) is
// exactly this.
//
// A session that reads typed lines on a terminal (standard input and output
// both terminals) edits them with the line editor (console/line_editor.hpp):
// history recall, kept in the `history` of the console configuration file
// (text-console-ctx, library/console/text.qel), and Tab completion. A
// program's `ask` and `input` on a terminal read through the same editor,
// with the history of the lines it read (the file is not read or written).
//
// Interrupts: in a session that reads typed lines (no script named, or
// "--catch" before it), SIGINT stops the running evaluation ("(halted)") or
// drops the line being typed; otherwise SIGINT and SIGTERM end the process
// with status 130 and 143. A script that fails, with no prompt loop after
// it, is reported on standard error and ends the process with status 254.
#include "console/text_console.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "console/line_editor.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/lexer.hpp"
#include "eval/interrupt.hpp"
#include "eval/library_routines.hpp"
#include "platform/crash.hpp"
#include "platform/std_streams.hpp"
#include "runtime/config.hpp"
#include "runtime/error.hpp"
#include "runtime/hooks.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"

using namespace qel;
namespace editor = qel::console::editor;

namespace {

// Sends what standard output holds on; a write that fails there (a full
// disk, a closed pipe) is noted for the exit status.
void flush_output() {
  if (std::fflush(stdout) != 0) platform::streams::output_failed(errno);
}

// While set, what is printed is a report (`_report` in a program run from a
// shell): it goes to standard error, after what standard output holds.
bool g_reporting = false;

std::FILE* print_stream() {
  if (!g_reporting) return stdout;
  flush_output();
  return stderr;
}

// Sends on what the stream holds (standard output: see flush_output).
void flush_stream(std::FILE* out) {
  if (out == stdout) flush_output();
  else std::fflush(out);
}

void print_value(const Cell* text, int line_end) {
  std::string s = string::to_utf8(text);
  std::FILE* out = print_stream();
  std::fwrite(s.data(), 1, s.size(), out);
  if (line_end) std::fputc('\n', out);
  flush_stream(out);
}

void print_bytes(const char* text, std::size_t n, int) {
  std::FILE* out = print_stream();
  std::fwrite(text, 1, n, out);
  flush_stream(out);
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

// ---- the line editor's history and completion -------------------------------------

// A function of text-console-ctx (library/console/text.qel), or null.
Cell* text_ctx_field(const char* name) {
  Cell* ctx = word::get_value_cell(intern_word("text-console-ctx"));
  if (type_of(ctx) != TYPE_OBJECT) return nullptr;
  i32 i = context::find_word(object::context_of(ctx), symbol::make(name), true);
  return i < 0 ? nullptr : context::slot(object::context_of(ctx), u32(i));
}

// Calls a function of text-console-ctx with the values; its answer in out.
void call_text_ctx(const char* name, const Cell* args, u32 count, Cell* out) {
  Cell* fn = text_ctx_field(name);
  if (!fn) fire(Err::internal_not_done);
  api::Values v(1);
  copy_cell(fn, v[0]);
  api::check(api::invoke(v[0], args, count, out));
}

Cell* new_string(Cell* out, const std::string& text) {
  Cell* s = string::load(reinterpret_cast<const u8*>(text.data()), u32(text.size()), string::Encoding::utf8);
  return copy_cell(s, out);
}

// Whether the history is the configuration file's (a session that reads
// typed lines on a terminal), and its newest line.
bool g_keeps_history = false;
std::string g_newest;

// The history of the configuration file, into system/console/history and
// the line editor.
void load_history() {
  api::Values v(1);
  call_text_ctx("load-history", nullptr, 0, v[0]);
  std::vector<std::string> lines;
  if (type_of(v[0]) == TYPE_BLOCK) {
    for (i32 i = block::length_from_index(v[0]) - 1; i >= 0; --i) {
      Cell* line = block::cell_at(v[0], u32(series_index(v[0]) + i));
      if (type_of(line) == TYPE_STRING) lines.push_back(string::to_utf8(line));
    }
  }
  if (!lines.empty()) g_newest = lines.back();
  editor::set_history(lines);
}

// A line typed: the newest of the history (the line editor's and
// system/console/history) unless empty or the newest already.
void remember(const std::string& line) {
  if (line.empty() || line == g_newest) return;
  g_newest = line;
  editor::add_history(line);
  api::Values v(2);
  new_string(v[0], line);
  call_text_ctx("remember", v[0], 1, v[1]);
}

// Tab (called by the line editor): text-console-ctx/complete on the line.
bool complete_line(const std::string& line, std::size_t caret, editor::Completion& out) {
  api::Values v(3);
  new_string(v[0], line);
  make_integer(v[1], i32(caret));
  call_text_ctx("complete", v[0], 2, v[2]);
  if (type_of(v[2]) != TYPE_BLOCK || block::length_from_index(v[2]) < 3) return false;
  u32 at = u32(series_index(v[2]));
  Cell* text = block::cell_at(v[2], at);
  Cell* pos = block::cell_at(v[2], at + 1);
  Cell* listing = block::cell_at(v[2], at + 2);
  if (!is_any_string_type(type_of(text)) || type_of(pos) != TYPE_INTEGER) return false;
  out.line = string::to_utf8(text);
  out.caret = std::size_t(std::max(int_of(pos), 0));
  out.listing = is_any_string_type(type_of(listing)) ? string::to_utf8(listing) : std::string();
  return true;
}

// ---- ask and input ---------------------------------------------------------------

// Whether the line editor reads the lines: a session that reads typed lines
// starts it with the session; a program's ask and input start it at their
// first line (both need standard input and output to be terminals).
bool g_program = false;
bool editing() { return editor::active() || (g_program && editor::start(complete_line)); }

// The next line, after the prompt: through the line editor on a terminal,
// else read plainly (the prompt printed first). Nothing at the end of the
// input (after ending the line of a prompt shown: nothing is written when
// nothing was, as `input` at the end of piped input).
std::optional<std::string> ask_for(const Cell* prompt) {
  update_size();
  g_checks_left = g_halt_after;
  std::optional<std::string> line;
  std::string shown = string::to_utf8(prompt);
  if (editing()) {
    interrupt::take();
    line = editor::read(shown, interrupt::requested);
    interrupt::take();
    if (line) remember(*line);
  } else {
    hooks::call_event_hooks(const_cast<Cell*>(prompt), 0);
    line = read_line();
  }
  if (!line && !shown.empty()) {
    std::fputc('\n', stdout);
    flush_output();
  }
  return line;
}

void answer_line(const std::optional<std::string>& line) {
  if (!line) {
    api::answer_none();
    return;
  }
  Cell* s = string::load(reinterpret_cast<const u8*>(line->data()), u32(line->size()),
                         string::Encoding::utf8);
  Cell v = *s;
  api::set_result(&v);
}

// `ask`: shows the prompt and answers the next line of standard input
// without its line end, or none at the end of the input.
void ask_line() { answer_line(ask_for(api::arg(0))); }

// `input`: the same with no prompt.
void input_line() {
  api::Values v(1);
  new_string(v[0], "");
  answer_line(ask_for(v[0]));
}

// _save-cfg (which quit calls): the history into the configuration file.
void save_history() {
  g_keeps_history = false;
  static const char code[] = "text-console-ctx/save-history";
  console::save_settings(code, sizeof code - 1);
  api::answer_none();
}

// system/console/init: the terminal's title, when standard output is one.
void set_title() {
  if (!::isatty(1)) return;
  std::string title = string::to_utf8(api::arg(0));
  std::string seq = "\033]0;" + title + "\007";
  std::fwrite(seq.data(), 1, seq.size(), stdout);
  flush_output();
}

void on_interrupt() { interrupt::request(); }

// The failure the engine answered (an error or a message, or a block of
// them): each reported on standard error; status 254.
[[noreturn]] void report_failure(Cell* failure) {
  if (type_of(failure) == TYPE_ERROR) {
    // Reported as every uncaught error is.
    stack::init();
    Cell err = *failure;
    stack::throw_error(stack::push_cell(&err));
  }
  std::fflush(stdout);
  auto one = [](const Cell* value) {
    std::string text = type_of(value) == TYPE_ERROR ? error::report(value)
                       : is_any_string_type(type_of(value))       ? string::to_utf8(value)
                                                    : std::string();
    if (!text.empty()) std::fprintf(stderr, "%s\n", text.c_str());
  };
  if (type_of(failure) == TYPE_BLOCK) {
    for (i32 i = 0, n = block::length_from_index(failure); i < n; ++i)
      one(block::cell_at(failure, u32(series_index(failure) + i)));
  } else {
    one(failure);
  }
  std::fflush(stderr);
  std::_Exit(254);
}

bool fifo_or_file(int fd) {
  struct stat st{};
  return ::fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISREG(st.st_mode));
}

// The usage text of -h and --help.
void usage(const char* program) {
  std::printf(
      "Usage: %s [--catch] [SCRIPT [ARGUMENT...]]\n"
      "Runs the Qel script SCRIPT, which begins with a header (Qel [...]); its\n"
      "arguments are in system/options/args. Without a script, the console: its\n"
      "window when a display opens and standard input is no pipe or file, else\n"
      "the text console, which reads lines from standard input.\n"
      "\n"
      "  --catch      after the script, the console's prompt\n"
      "  --           the next argument is the script, even when it starts with -\n"
      "  -h, --help   this text\n"
      "\n"
      "Run from a shell (a terminal, or the output to a pipe or a file), a script\n"
      "prints on standard output and reports errors on standard error; its exit\n"
      "status is 0, the status given to quit (255 for one outside 0 to 255), 254\n"
      "after an error it does not catch, 130 and 143 after SIGINT and SIGTERM, and\n"
      "1 instead of 0 when what it printed could not be written.\n"
      "\n"
      "Environment:\n"
      "  DISPLAY, WAYLAND_DISPLAY  the display of the windows and the console window\n"
      "  XDG_CONFIG_HOME           where the console keeps its settings and history\n"
      "                            (qel/Qel-Console/console-cfg.qel; else ~/.config)\n"
      "  XDG_CACHE_HOME            where files read from the network are cached\n"
      "                            (else ~/.cache)\n"
      "  QEL_BOOT_SOURCE=1         runs the library from its sources (development)\n"
      "  QEL_GC_STRESS=1           collects at every allocation (development)\n",
      program);
}

}  // namespace

namespace qel::console {

int command_line(int argc, char** argv) {
  std::string_view name = argc > 0 ? argv[0] : "qel";
  if (std::size_t slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a.empty() || a[0] != '-') break;
    if (a == "--") break;
    if (a == "--catch") continue;
    if (a == "-h" || a == "--help") {
      usage(std::string(name).c_str());
      std::fflush(stdout);
      return 0;
    }
    std::fprintf(stderr, "%.*s: unknown option: %s\nTry '%.*s --help'.\n", int(name.size()), name.data(),
                 argv[i], int(name.size()), name.data());
    return 2;
  }
  return -1;
}

bool from_shell() { return ::isatty(0) || ::isatty(1) || ::isatty(2) || fifo_or_file(1); }

bool input_given() { return fifo_or_file(0); }

bool reads_lines(const std::vector<std::string>& args) {
  bool catch_seen = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string_view a = args[i];
    if (a.substr(0, 2) != "--" || (i > 1 && args[i - 1] == "--")) return catch_seen;
    if (a == "--catch") catch_seen = true;
  }
  return true;
}

bool names_script(const std::vector<std::string>& args) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string_view a = args[i];
    if (a.substr(0, 2) != "--" || (i > 1 && args[i - 1] == "--")) return true;
  }
  return false;
}

// Root cells: the try, form and print natives as start-up left them, and
// the code that saves.
namespace {
Cell* g_try = nullptr;
Cell* g_form = nullptr;
Cell* g_save = nullptr;
Cell* g_print = nullptr;

// `_report` in a program run from a shell: prints the value as print does,
// on standard error.
void report_value() {
  struct Reporting {
    Reporting() { g_reporting = true; }
    ~Reporting() { g_reporting = false; }
  } reporting;
  api::Values v(1);
  api::check(api::invoke(g_print, api::arg(0), 1, v[0]));
  api::answer_unset();
}
}  // namespace

void prepare_save() {
  if (g_try) return;
  g_try = runtime::root_append();
  copy_cell(word::get_value_cell(intern_word("try")), g_try);
  g_form = runtime::root_append();
  copy_cell(word::get_value_cell(intern_word("form")), g_form);
  g_save = runtime::root_append();
}

void save_settings(const char* code, std::size_t size) {
  prepare_save();
  lexer::load_source(g_save, code, size);
  api::Values v(2);
  api::check(api::invoke(g_try, g_save, 1, v[0]));
  if (type_of(v[0]) == TYPE_ERROR) {
    api::check(api::invoke(g_form, v[0], 1, v[1]));
    std::string text = string::to_utf8(v[1]);
    text = text.substr(0, text.find('\n'));
    if (text.rfind("*** ", 0) == 0) text.erase(0, 4);
    std::fflush(stdout);
    std::fprintf(stderr, "*** The console's settings were not saved: %s\n", text.c_str());
    std::fflush(stderr);
  }
}

int text_console() {
  hooks::add(print_value, print_bytes);
  library::define_global_routine(
      "ask", "[\"Prompts for a line of input and returns it\" question [string!] return: [string! none!]]",
      ask_line);
  library::define_global_routine("input", "[\"Waits for a line of input and returns it\" return: [string! none!]]",
                                 input_line);
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
  bool typed = reads_lines(runtime::args);
  if (typed) {
    platform::set_interrupt_listener(on_interrupt);
    if (const char* n = std::getenv(config::HALT_AFTER_ENV)) {
      g_halt_after = std::atoi(n);
      interrupt::set_hook(count_checks, 0);
    }
    if (editor::start(complete_line)) {
      prepare_save();
      g_keeps_history = true;
      load_history();
      library::define_global_routine("_save-cfg", "[\"Saves the console's history\"]", save_history);
    }
  } else {
    g_program = true;
    // A program: what the library reports without stopping it (an error in
    // an actor, a directive that fails) goes to standard error.
    g_print = runtime::root_append();
    copy_cell(word::get_value_cell(intern_word("print")), g_print);
    library::define_global_routine(
        "_report", "[\"Prints a report of a failure on standard error\" value [any-type!]]", report_value);
    // From a shell, an error it does not catch is reported on standard
    // error only, also while windows are open.
    if (from_shell()) error::report_only = true;
  }
  roots::LocalCell fn, failure;
  copy_cell(console_field("launch"), fn.get());
  api::check(api::invoke(fn.get(), nullptr, 0, failure.get()));
  platform::set_interrupt_listener(nullptr);
  interrupt::clear();
  if (g_keeps_history) {
    static const char code[] = "text-console-ctx/save-history";
    save_settings(code, sizeof code - 1);
  }
  editor::finish();
  Type t = type_of(failure.get());
  if (t != TYPE_ERROR && t != TYPE_BLOCK && !is_any_string_type(type_of(failure.get()))) return 0;
  report_failure(failure.get());
}

namespace {

int run_text_console() {
  runtime::boot();
  return text_console();
}

}  // namespace

// Runs the text console: the script named on the command line, or the
// read-evaluate-print loop on standard input.
int text_main(int argc, char** argv) {
  if (int status = command_line(argc, argv); status >= 0) return status;
  return runtime::start(argc, argv, run_text_console);
}

}  // namespace qel::console
