// The routines that library functions of the system call in place of a
// placeholder word (see library::wire): the float options' change handler,
// the cache directory of remote files, the tracer's mode, the reactivity's
// propagation, and the console's configuration file, prompt loop and error
// lines.
#include "library/native/routines.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/block.hpp"
#include "datatypes/file_url.hpp"
#include "datatypes/float.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "eval/interpreter.hpp"
#include "eval/library_routines.hpp"
#include "platform/files.hpp"
#include "runtime/api.hpp"
#include "runtime/error.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"

namespace qel::library::native {

namespace {

using api::arg;

// The float options' change handler: pretty? sets the formatter's flag.
void float_flags() {
  Cell w = *arg(0);
  if (is_any_word_type(type_of(&w)) &&
      symbol::resolve(word::symbol_of(&w)) == symbol::resolve(symbol::make("pretty?"))) {
    Cell* v = arg(1);
    float_::pretty = !logic::is_false(v);
  }
  api::answer_unset();
}

// Makes the directory (and its missing parents) readable by its owner only:
// the cache of remote files must not be shared with other users.
void private_dir() {
  std::string path = file::to_local_path(arg(0));
  std::string part;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || (path[i] == '/' && i > 0)) {
      part = path.substr(0, i);
      struct stat st;
      if (::stat(part.c_str(), &st) != 0 && ::mkdir(part.c_str(), 0700) != 0)
        fire(Err::access_no_create, arg(0));
    }
  }
  ::chmod(path.c_str(), 0700);
  api::answer_unset();
}

// `trace true` / `trace false`: lets through or holds back the events of the
// run being traced; outside a run neither has an effect.
void trace_mode() {
  interp::trace_held = interp::trace_run && logic::is_false(arg(0));
  api::answer_unset();
}

// The propagation of the reactivity's check: runs the block; whatever ends
// it early (an error, or a throw, break or return on its way to its target)
// first empties the queue, so that the next change starts a propagation of
// its own instead of queueing behind one that is gone.
void reactivity_propagate() {
  // By node: an unwinding error leaves no frame to read the argument from.
  u32 queue = series_node(arg(1));
  roots::NodeRoot hold(&queue);
  auto empty_queue = [&] {
    Cell q;
    make_series(&q, TYPE_BLOCK, queue);
    block::clear_at(&q, 0);
  };
  interp::Status st;
  try {
    st = interp::eval_block(arg(0), false);
  } catch (...) {
    empty_queue();
    throw;
  }
  if (st) {
    empty_queue();
    api::send(st);
  }
  api::answer_unset();
}

// Runs a reaction's block: it is code of its own, not a part of the function
// or loop that made the change, so a return, exit, break or continue in it
// that has no target inside it raises the throw error there (caught and
// printed like any failing reaction) instead of ending a routine of the
// propagation and losing its value.
void reactivity_run() {
  Cell code = *arg(0);
  static Cell word{TYPE_WORD, 0, 0, 0};
  if (word::symbol_of(&word) == 0) word = *intern_word("reaction");
  stack::mark(&word, stack::FRAME_FENCE);
  interp::Status st = interp::eval_block(&code, true);
  if (st) {
    stack::unwind();
    api::send(st);
  }
  stack::unwind_last_copy();
  api::keep_result();
}

// The console's configuration file, read only when it is a regular file of
// the user's own and of a sane size (a pipe would block the start, a device
// or a huge file fill memory, a link or another user's file is not the
// console's to rewrite): its bytes, none when nothing is there, else the
// text that says why it is not read.
constexpr u64 CFG_LIMIT = 16ull << 20;

void answer_text(const std::string& text) {
  Cell* s = string::load(reinterpret_cast<const u8*>(text.data()), u32(text.size()),
                         string::Encoding::utf8);
  Cell v = *s;
  api::set_result(&v);
}

void config_file_read() {
  std::vector<u8> bytes;
  std::string why;
  switch (platform::read_own_file(file::to_local_path(arg(0)), CFG_LIMIT, bytes, why)) {
    case platform::OwnRead::missing: api::answer_none(); return;
    case platform::OwnRead::refused: answer_text(why); return;
    case platform::OwnRead::ok: break;
  }
  Cell v = *binary::load(bytes);
  api::set_result(&v);
}

// Replaces the configuration file (or its kept copy) by the bytes: a new
// file renamed over it, so that a failed write leaves the old one whole.
// None when done, else the text that says why not.
void config_file_write() {
  std::string path = file::to_local_path(arg(0));
  std::vector<u8> bytes;
  binary::bytes_of(arg(1), bytes, -1, false, binary::Mode::convert);
  std::string why;
  if (platform::replace_own_file(path, bytes.data(), bytes.size(), why)) api::answer_none();
  else answer_text(why);
}

// Calls the function while holding the lock of the configuration file's
// directory: consoles that save at the same moment read and write the file
// one after the other. The lock goes with whatever ends the call.
void config_file_locked() {
  platform::DirLock lock(file::to_local_path(arg(0)));
  api::Values v(2);
  copy_cell(arg(1), v[0]);
  api::check(api::invoke(v[0], nullptr, 0, v[1]));
  api::set_result(v[1]);
}

// What the path names when it is not a regular file, as a phrase ("is a
// directory", "is a FIFO", ...); none for a regular file or nothing.
void not_regular() {
  std::string why = platform::not_regular(file::to_local_path(arg(0)));
  if (why.empty()) api::answer_none();
  else answer_text(why);
}

// Writes the text and a line end on standard error (after what standard
// output holds so far).
void error_line() {
  std::string text = string::to_utf8(arg(0));
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  api::answer_unset();
}

// The console's prompt loop: runs the block again and again until a transfer
// ends it. Unlike a loop native it has no safe point of its own between two
// runs, so an interrupt is taken only inside the block (within its catch),
// never between two commands, where it would end the session.
void prompt_loop() {
  Cell code = *arg(0);
  for (;;) {
    stack::Mark mark;
    api::check(interp::eval_block(&code, false));
  }
}

}  // namespace


void wire_tool_routines() {
  wire("trace", "_trace-mode", "[on [logic!]]", trace_mode);
  wire("system reactivity check", "_propagate", "[code [block!] queue [block!]]",
       reactivity_propagate);
  wire("system reactivity eval", "_run", "[code [block!]]", reactivity_run);
  wire("system console run", "_prompt-loop", "[code [block!]]", prompt_loop);
  for (const char* fn : {"text-console-ctx open-cfg", "text-console-ctx write-cfg"}) {
    wire(fn, "_cfg-read", "[path [file!]]", config_file_read);
    wire(fn, "_cfg-write", "[path [file!] data [binary!]]", config_file_write);
  }
  wire("text-console-ctx write-cfg", "_cfg-locked", "[path [file!] action [function!]]",
       config_file_locked);
  wire("gui-console-ctx load-cfg", "_error-line", "[text [string!]]", error_line);
  wire("text-console-ctx load-history", "_error-line", "[text [string!]]", error_line);
  wire("system console read-argument", "_not-regular", "[path [file!]]", not_regular);
  wire("preprocessor do-include", "_not-regular", "[path [file!]]", not_regular);
}

void wire_internal_routines() {
  wire("system options float on-change*", "_float-flags", "[word [any-type!] new [any-type!]]",
       float_flags);
  wire("path-thru", "_private-dir", "[path [file!]]", private_dir);
}

}  // namespace qel::library::native
