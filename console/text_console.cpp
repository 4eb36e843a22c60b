// The text console: starts the runtime and the library, then runs a script or
// reads lines from standard input, with its output on standard output.
// qel-headless (a test tool) is exactly this; qel runs it too until the
// graphical console exists.
//
//   FILE [args]   runs the script (a "Qel [...]" header first)
//   (no file)                  reads lines from standard input as if typed at
//                              the console: ">> " prompt, "== " and the molded
//                              result, the error report, nothing for unset.
//                              A line that leaves a block, paren or string
//                              open continues on the next one.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <sys/stat.h>

#include "datatypes/file_url.hpp"
#include "datatypes/string.hpp"
#include "eval/api.hpp"
#include "eval/boot.hpp"
#include "eval/library_routines.hpp"
#include "eval/interpreter.hpp"
#include "eval/transfers.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/hooks.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "runtime/words.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/memory.hpp"

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

// Whether the text leaves a block, paren or string open.
bool open_delimiters(const std::string& text) {
  int depth = 0, braces = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (c == '^') ++i;
      else if (c == '"') in_string = false;
      continue;
    }
    if (braces) {
      if (c == '^') ++i;
      else if (c == '{') ++braces;
      else if (c == '}') --braces;
      continue;
    }
    switch (c) {
      case ';':
        while (i < text.size() && text[i] != '\n') ++i;
        break;
      case '"': in_string = true; break;
      case '{': ++braces; break;
      case '[': case '(': ++depth; break;
      case ']': case ')': --depth; break;
      default: break;
    }
  }
  return depth > 0 || braces > 0 || in_string;
}

std::string mold_text(Cell* value, bool form) {
  Cell* v = stack::push_cell(value);
  Cell* buf = stack::push();
  string::make_at(buf, 64, 1);
  if (form) actions::form(v, buf, nullptr, 0x7FFFFFFF);
  else actions::mold(v, buf, false, false, false, nullptr, 0x7FFFFFFF, 0);
  std::string s = string::to_utf8(buf);
  stack::pop(2);
  return s;
}

// Evaluates one input inside a catching frame; prints the result. The
// result is molded inside the same frame: an error while showing it (a value
// too deep to display) is reported like any other, and the loop goes on.
void eval_input(const std::string& text) {
  stack::reset();
  roots::LocalCell code, result;
  Cell* console_word = intern_word("console");
  stack::mark(console_word, stack::FRAME_TRY);
  try {
    boot::load_source(code.get(), text.data(), text.size());
    interp::eval_block_or_throw(code.get(), false);
    copy_cell(stack::last(), result.get());
    std::string s;
    bool shown = type_of(result.get()) != TYPE_UNSET;
    if (shown) s = mold_text(result.get(), type_of(result.get()) == TYPE_FLOAT);
    stack::unwind();
    if (shown) std::printf("== %s\n", s.c_str());
  } catch (const Transfer& t) {
    runtime::rt.thrown = 0;
    if (t.code == THROW_ERROR) {
      stack::adjust_post_try();
      std::string r = error::report(stack::base);
      std::printf("%s\n", r.c_str());
    } else {
      // A transfer that no frame took is reported as its throw error.
      stack::init();
      Cell* err = stack::push();
      error::create(err, interp::stray_error(t.code), nullptr, nullptr, nullptr);
      std::string r = error::report(err);
      std::printf("%s\n", r.c_str());
    }
    stack::init();
  }
  std::fflush(stdout);
}

int repl() {
  std::string buffer, line;
  std::fputs(">> ", stdout);
  std::fflush(stdout);
  while (std::getline(std::cin, line)) {
    buffer += line;
    buffer += '\n';
    if (open_delimiters(buffer)) {
      std::fputs("    ", stdout);
      std::fflush(stdout);
      continue;
    }
    eval_input(buffer);
    buffer.clear();
    std::fputs(">> ", stdout);
    std::fflush(stdout);
  }
  std::fputc('\n', stdout);
  return 0;
}

// The script path as a file! value (pushed), for the error reports.
Cell* path_value(const std::string& path) {
  return file::load(reinterpret_cast<const u8*>(path.data()), u32(path.size()), false);
}

// A script that cannot be read, or has no header, is an uncaught error like
// any other: its report on standard error, exit status 254.
int run_script(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    fire(Err::access_cannot_open, path_value(path.back() == '/' ? path : path + "/"));
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  if (in) ss << in.rdbuf();
  if (!in || in.bad()) fire(Err::access_cannot_open, path_value(path));
  std::string text = ss.str();
  roots::LocalCell code;
  boot::load_source(code.get(), text.data(), text.size());
  // A script starts with its header: the word Qel, spelt so (`qel` is no
  // header), and a block.
  u32 qel_word = symbol::make("Qel");  // may allocate: before the buffer is read
  mem::Buffer* b = mem::buffer_of(series_node(code.get()));
  Cell* first = b->cells();
  bool header = b->used() >= 2 * sizeof(Cell) && type_of(first) == TYPE_WORD &&
                word::symbol_of(first) == qel_word &&
                type_of(first + 1) == TYPE_BLOCK;
  if (!header) fire(Err::syntax_no_header, path_value(path));
  set_series_index(code.get(), 2);
  interp::eval_block_or_throw(code.get(), false);
  return 0;
}

// `ask`: shows the prompt and answers the next line of standard input,
// without its line end. The end of the input ends the session as `quit`
// does (status 0): no loop that asks again can go on for ever.
void ask_line() {
  hooks::call_event_hooks(api::arg(0), 0);
  std::string line;
  if (!std::getline(std::cin, line)) {
    std::fputc('\n', stdout);
    std::fflush(stdout);
    std::exit(0);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  Cell* s = string::load(reinterpret_cast<const u8*>(line.data()), u32(line.size()),
                         string::Encoding::utf8);
  Cell v = *s;
  api::set_result(&v);
}

std::string g_script;

int program() {
  boot::run();
  hooks::add(print_value, print_bytes);
  library::define_global_routine(
      "ask", "[\"Prompts for a line of input and returns it\" question [string!] return: [string!]]",
      ask_line);
  if (!g_script.empty()) return run_script(g_script);
  return repl();
}

}  // namespace

namespace qel::console {

// Runs the text console: the script named on the command line, or the
// read-evaluate-print loop on standard input.
int text_main(int argc, char** argv) {
  if (argc > 1) g_script = argv[1];
  return runtime::start(argc, argv, program);
}

}  // namespace qel::console
