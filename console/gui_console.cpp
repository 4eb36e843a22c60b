// The graphical console's front end. Start-up has made gui-console-ctx (the
// library's console application); this file gives it what only native code
// can: add-gui-print (the print hooks, console/print_hooks.hpp), the global
// `_save-cfg` that quit calls (a failed save is reported on standard error,
// and quit goes on), and the pump hook that keeps the window alive while a
// command runs.
//
// Long work: the evaluator's safe points call the pump hook (at most every
// 50 ms, eval/interrupt.hpp) while code runs outside every event loop; the
// backend then handles the console window's pending GUI events (repaints,
// its timer that flushes output, resizes, the mouse) and holds key input
// and the other windows' events back until the next event loop (the
// prompt's): scripts' windows never run their actors in the middle of the
// script's own code. Ctrl+C or Escape pressed meanwhile requests the
// interrupt: the command stops with "(halted)".
#include "console/gui_console.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console/print_hooks.hpp"
#include "console/text_console.hpp"
#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/interrupt.hpp"
#include "eval/library_routines.hpp"
#include "runtime/error.hpp"
#include "runtime/roots.hpp"
#include "runtime/startup.hpp"
#include "view/module.hpp"

namespace qel::console {

namespace {

// How often the pump hook may run while a command works (milliseconds).
constexpr int PUMP_INTERVAL_MS = 50;

// The field of gui-console-ctx, or null.
Cell* console_field(const char* name) {
  Cell* ctx = word::get_value_cell(intern_word("gui-console-ctx"));
  if (type_of(ctx) != TYPE_OBJECT) return nullptr;
  i32 i = context::find_word(object::context_of(ctx), symbol::make(name), true);
  return i < 0 ? nullptr : context::slot(object::context_of(ctx), u32(i));
}

// Not while a print is on its way to the terminal: its repaint would see
// the lines mid-change. A pump due then runs as soon as the print ends
// (most of the time of a printing loop is spent inside its prints).
bool g_pump_owed = false;

void pump_hook() {
  static bool pumping = false;
  if (pumping) return;
  if (printing()) {
    g_pump_owed = true;
    return;
  }
  g_pump_owed = false;
  const view::backend::Entries* m = view::module::load();
  Cell* win = console_field("win");
  if (!m || !m->pump_work || !win) return;
  pumping = true;
  struct Done {
    ~Done() { pumping = false; }
  } done;
  api::Values v(1);
  copy_cell(win, v[0]);
  if (m->pump_work(v[0])) interrupt::request();
}

void after_print() {
  if (g_pump_owed) pump_hook();
}

// add-gui-print, a routine of gui-console-ctx.
void add_gui_print_routine() {
  add_gui_print();
  api::answer_none();
}

// _save-cfg: gui-console-ctx/save-cfg; when it fails, the first line of the
// error's report goes to standard error, once, and quit goes on.
void save_cfg() {
  static const char code[] = "gui-console-ctx/save-cfg";
  save_settings(code, sizeof code - 1);
  api::answer_none();
}

bool set(const char* name) {
  const char* v = std::getenv(name);
  return v && *v;
}

// Which console runs: a script started from a shell runs as a command-line
// program (the text console's streams; its windows still open), and so
// does a session whose lines come on standard input. Otherwise the console
// window when a display opens, else the text console, saying so when it
// reads typed lines on a terminal.
int program() {
  runtime::boot();
  const std::vector<std::string>& args = runtime::args;
  bool typed = reads_lines(args);
  if (!typed && from_shell()) return text_console();
  if (!names_script(args) && input_given()) return text_console();
  if (display_available()) return gui_console();
  if (typed && ::isatty(0)) {
    std::fprintf(stderr, "qel: no display; running the text console\n");
    std::fflush(stderr);
  }
  return text_console();
}

}  // namespace

bool display_available() {
  if (!set("DISPLAY") && !set("WAYLAND_DISPLAY")) return false;
  const view::backend::Entries* m = view::module::load();
  return m && m->display_open && m->display_open();
}

int gui_console() {
  Cell* ctx = word::get_value_cell(intern_word("gui-console-ctx"));
  if (type_of(ctx) != TYPE_OBJECT) fire(Err::internal_not_done);
  library::define_field_routine(ctx, "add-gui-print", "[\"Sends all printed text to the console\"]",
                                add_gui_print_routine);
  prepare_save();
  library::define_global_routine("_save-cfg", "[\"Saves the console's settings\"]", save_cfg);
  interrupt::set_hook(pump_hook, PUMP_INTERVAL_MS);
  set_after_print(after_print);
  roots::LocalCell launch, ignored;
  Cell* fn = console_field("launch");
  if (!fn) fire(Err::internal_not_done);
  copy_cell(fn, launch.get());
  api::check(api::invoke(launch.get(), nullptr, 0, ignored.get()));
  interrupt::set_hook(nullptr);
  set_after_print(nullptr);
  interrupt::clear();
  return 0;
}

int qel_main(int argc, char** argv) {
  if (int status = command_line(argc, argv); status >= 0) return status;
  return runtime::start(argc, argv, program);
}

}  // namespace qel::console
