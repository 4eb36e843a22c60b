// Runs Qel test scripts with their expectations written inline:
//
//   code...
//   ; expect: <the molded result>
//   code...
//   ; expect error: <category> <id>
//   code...
//   ; expect output: <what print wrote, line ends as \n>
//
// A case is the code since the previous expectation; the cases of a file run
// in order in one global context, so a case may use what an earlier one set.
//
// A file is rejected whole (none of it runs) when it has no case, code after
// its last expectation, an expectation with no code before it, or a line that
// looks like an expectation but is none of the three forms (`;expect: 1`,
// `; expected: 1`, `; expect error: script`, `1 + 1 ; expect: 2`, ...): such
// a file would otherwise pass while testing less than it says.
//
// A failing case does not take the next one with it: an error or a crash is
// that case's failure, and so is state it leaves behind (an open frame, a
// PARSE run, a value left on the cycle stack), which the runner then clears.
//
// --traced: every case runs inside a trace run whose callback does nothing,
// as do/trace would run it but without the frames of a `do` around it; the
// evaluator must answer exactly as it does untraced. A file that tests
// tracing itself, or that costs far more traced than untraced, says so on a
// line of its own, "; untraced: <why>", and runs untraced in this mode.
//
// --fresh (or QEL_TEST_FRESH=1 in the environment, how the collector-stress
// pass of ./test asks for it): every case runs alone in a runtime of its own,
// a process forked from the runner just after start-up, so that no cache an
// earlier case warmed is warm and a crash ends only that case. A case that
// fails alone even with the collector-stress mode off needs what earlier cases
// set: it runs again, in a fresh runtime, after the file's earlier cases.
// A file of many small generated cases that share no state a cache could
// hide (the scalar tables) says so on a line of its own, "; one runtime:
// <why>", and runs in one runtime in this mode: a process per case would
// cost far more than the cases.
//
// Prints a line per failure and, last, "N passed, N failed"; exits non-zero
// when a case failed or a file was rejected.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "console/boot/boot.hpp"
#include "eval/lexer.hpp"
#include "eval/interpreter.hpp"
#include "eval/parse.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/cycles.hpp"
#include "runtime/error.hpp"
#include "runtime/hooks.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"

using namespace qel;

namespace {

std::string g_output;
bool g_traced = false;        // --traced
bool g_file_traced = false;   // this file's cases run traced
Cell* g_noop_callback = nullptr;  // the do-nothing trace callback (a root cell)

void capture_value(const Cell* text, int line_end) {
  g_output += string::to_utf8(text);
  if (line_end) g_output += "\n";
}

enum class Kind { value, error, output };

struct Case {
  int line;  // line of the expectation
  std::string code;
  Kind kind;
  std::string expected;
};

struct Script {
  std::vector<Case> cases;
  std::vector<std::string> problems;  // why the file is rejected
};

std::string trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  size_t b = s.find_last_not_of(" \t\r\n");
  return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Whether the text holds something besides blank lines and comment lines.
bool has_code(const std::string& text) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::string t = trim(line);
    if (!t.empty() && t[0] != ';') return true;
  }
  return false;
}

// A comment that starts like an expectation: `;`s, blanks, then "expect".
bool looks_like_expectation(const std::string& comment) {
  size_t i = 0;
  while (i < comment.size() && (comment[i] == ';' || comment[i] == ' ' || comment[i] == '\t')) ++i;
  return lower(comment.substr(i, 6)) == "expect";
}

size_t word_count(const std::string& s) {
  std::istringstream in(s);
  size_t n = 0;
  for (std::string w; in >> w;) ++n;
  return n;
}

Script parse(const std::string& text) {
  Script s;
  std::istringstream in(text);
  std::string line, code;
  int n = 0;
  auto problem = [&](int at, const std::string& what) {
    s.problems.push_back("line " + std::to_string(at) + ": " + what);
  };
  static const struct {
    const char* prefix;
    Kind kind;
  } kForms[] = {{"; expect error:", Kind::error}, {"; expect output:", Kind::output},
                {"; expect:", Kind::value}};
  while (std::getline(in, line)) {
    ++n;
    std::string t = trim(line);
    bool matched = false;
    for (auto& f : kForms) {
      if (t.rfind(f.prefix, 0) != 0) continue;
      matched = true;
      std::string expected = trim(t.substr(std::strlen(f.prefix)));
      if (f.kind == Kind::error && word_count(expected) != 2)
        problem(n, "an error expectation names a category and an id: " + t);
      else if (!has_code(code))
        problem(n, "an expectation with no code before it: " + t);
      else
        s.cases.push_back({n, code, f.kind, expected});
      code.clear();
      break;
    }
    if (matched) continue;
    // Not one of the forms: an expectation-like comment here, alone or after
    // code, would be silently ignored.
    size_t semi = t.find(';');
    while (semi != std::string::npos) {
      if (looks_like_expectation(t.substr(semi))) {
        problem(n, semi == 0 ? "not one of the expectation forms: " + t
                             : "an expectation after code on the same line: " + t);
        break;
      }
      semi = t.find(';', semi + 1);
    }
    code += line + "\n";
  }
  if (has_code(code)) problem(n, "code after the last expectation");
  if (s.cases.empty() && s.problems.empty()) s.problems.push_back("no case");
  return s;
}

std::string mold(const Cell* value) {
  Cell* v = stack::push_cell(value);
  Cell* buf = stack::push();
  string::make_at(buf, 64, 1);
  actions::mold(v, buf, false, false, false, nullptr, 0x7FFFFFFF, 0);
  std::string s = string::to_utf8(buf);
  stack::pop(2);
  return s;
}

std::string escape(const std::string& s) {
  std::string r;
  for (char c : s) {
    if (c == '\n') r += "\\n";
    else r += c;
  }
  return r;
}

// What a case left that it should not have (empty when nothing), after which
// the runtime is set back to the state cases start in.
std::string leftover(size_t root_cells, size_t root_nodes) {
  std::string what;
  auto add = [&](const char* s) { what += what.empty() ? s : std::string(", ") + s; };
  if (stack::ctop != stack::cbottom) add("a frame open");
  if (runtime::rt.thrown != 0) add("a transfer in flight");
  if (parse::rules_depth() != 0 || parse::inputs_depth() != 0) add("PARSE stacks not empty");
  if (cycles::depth() != 0) add("the cycle stack not empty");
  if (roots::cells.size() != root_cells || roots::nodes.size() != root_nodes) add("C++ roots held");
  stack::init();
  runtime::rt.thrown = 0;
  cycles::reset();
  roots::cells.resize(root_cells);
  roots::nodes.resize(root_nodes);
  return what;
}

// Evaluates one case; answers what it gives, in the terms of its kind.
std::string eval_case(const Case& c) {
  g_output.clear();
  roots::LocalCell code, result;
  stack::mark(intern_word("test"), stack::FRAME_TRY);
  stack::Frame* frame = stack::ctop;
  // A trace run around the case ends with it, however it ends.
  struct TraceRun {
    bool on;
    explicit TraceRun(bool on) : on(on) {
      if (on) interp::trace_start(g_noop_callback);
    }
    ~TraceRun() {
      if (on && interp::trace_run) interp::trace_end();
    }
  };
  try {
    lexer::load_source(code.get(), c.code.data(), c.code.size());
    {
      TraceRun run(g_file_traced);
      interp::eval_block_or_throw(code.get(), false);
    }
    if (stack::ctop != frame) return "a frame left open";
    copy_cell(stack::last(), result.get());
    stack::unwind();
    if (c.kind == Kind::output) return escape(g_output);
    if (c.kind == Kind::error) return "no error; value " + mold(result.get());
    return mold(result.get());
  } catch (const Transfer& t) {
    runtime::rt.thrown = 0;
    if (t.code != THROW_ERROR) return "unwinding code " + std::to_string(t.code);
    stack::adjust_post_try();
    copy_cell(stack::base, result.get());
    std::string id = std::string(symbol::name(error::get_type(result.get()))) + " " +
                     std::string(symbol::name(error::get_id(result.get())));
    if (c.kind == Kind::error) return id;
    return "error " + id + ": " + escape(error::report(result.get()));
  } catch (const std::exception& e) {
    return std::string("a C++ exception escaped: ") + e.what();
  }
}

// Runs the case and checks what it leaves: a leftover fails the case.
std::string run_case(const Case& c) {
  stack::init();
  gc::restart_stress();
  size_t cells = roots::cells.size(), nodes = roots::nodes.size();
  std::string got = eval_case(c);
  std::string left = leftover(cells, nodes);
  if (!left.empty()) got += " (and it left " + left + ")";
  return got;
}

// ---- --fresh: a process per case -------------------------------------------

bool g_in_child = false;  // this process is a case's fresh runtime

struct Outcome {
  bool finished;     // the child sent its answer and exited normally
  std::string got;   // its answer, or how the process ended
};

// Runs fn in a child process forked from the runtime as start-up left it;
// answers what fn answered there.
Outcome in_child(const std::function<std::string()>& fn) {
  std::fflush(stdout);
  std::fflush(stderr);
  // Close-on-exec: a program the case starts (a daemon that outlives it)
  // must not hold the answer's pipe open, or the read below never ends.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return {false, "cannot make a pipe"};
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return {false, "cannot fork"};
  }
  if (pid == 0) {
    close(fds[0]);
    g_in_child = true;
    std::string got = fn();
    for (size_t off = 0; off < got.size();) {
      ssize_t w = write(fds[1], got.data() + off, got.size() - off);
      if (w <= 0) _exit(3);
      off += size_t(w);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string got;
  char buf[4096];
  for (ssize_t r; (r = read(fds[0], buf, sizeof buf)) != 0;) {
    if (r < 0) break;
    got.append(buf, size_t(r));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFSIGNALED(status))
    return {false, "the process died of signal " + std::to_string(WTERMSIG(status)) + " (" +
                       strsignal(WTERMSIG(status)) + ")"};
  if (WEXITSTATUS(status) != 0)
    return {false, "the process exited with status " + std::to_string(WEXITSTATUS(status))};
  return {true, got};
}

// The answer to case i of the script, in a fresh runtime.
Outcome alone(const Script& s, size_t i, bool stress) {
  return in_child([&] {
    gc::stress = stress;
    return run_case(s.cases[i]);
  });
}

// Case i after the file's earlier cases: the keeper, a process forked from
// the runner, runs the file's cases one after another, so that the earlier
// cases run once a file, not once a case. They only bring the state case i
// needs, and each has had its own run under the stress mode: they run
// without it. The case asked for runs in the keeper itself, under the
// stress mode, and the cases after it go on from there: a runtime forked
// from the keeper would share what it holds (its X connection above all,
// whose requests and replies two processes would interleave).
struct Keeper {
  const Script* script = nullptr;
  pid_t pid = -1;
  int to = -1, from = -1;  // requests (case indexes), answers
  size_t next = 0;         // the first case it has not run
};
Keeper g_keeper;

bool read_all(int fd, void* p, size_t n) {
  for (size_t off = 0; off < n;) {
    ssize_t r = read(fd, static_cast<char*>(p) + off, n - off);
    if (r <= 0) return false;
    off += size_t(r);
  }
  return true;
}

bool write_all(int fd, const void* p, size_t n) {
  for (size_t off = 0; off < n;) {
    ssize_t w = write(fd, static_cast<const char*>(p) + off, n - off);
    if (w <= 0) return false;
    off += size_t(w);
  }
  return true;
}

// Ends the keeper; answers how it ended when it died instead of answering.
std::string stop_keeper() {
  std::string how;
  if (g_keeper.pid < 0) return how;
  close(g_keeper.to);
  close(g_keeper.from);
  int status = 0;
  waitpid(g_keeper.pid, &status, 0);
  if (WIFSIGNALED(status))
    how = "the process died of signal " + std::to_string(WTERMSIG(status)) + " (" +
          strsignal(WTERMSIG(status)) + ")";
  else if (WEXITSTATUS(status) != 0)
    how = "the process exited with status " + std::to_string(WEXITSTATUS(status));
  g_keeper = Keeper();
  return how;
}

// The keeper's loop: for each case index asked for, runs the cases before it
// and then that case, and answers its outcome.
[[noreturn]] void keeper_loop(const Script& s, int in, int out, bool stress) {
  size_t next = 0;
  for (std::uint32_t i; read_all(in, &i, sizeof i);) {
    gc::stress = false;
    for (; next < i; ++next) run_case(s.cases[next]);
    gc::stress = stress;
    std::string got = run_case(s.cases[i]);
    next = i + 1;
    std::uint32_t size = std::uint32_t(got.size());
    if (!write_all(out, &size, sizeof size) || !write_all(out, got.data(), got.size())) break;
  }
  _exit(0);
}

Outcome after_earlier(const Script& s, size_t i, bool stress) {
  // (a keeper serves one file, and runs each case once)
  if (g_keeper.pid >= 0 && (g_keeper.script != &s || g_keeper.next > i)) stop_keeper();
  if (g_keeper.pid < 0) {
    int req[2], ans[2];
    if (pipe2(req, O_CLOEXEC) != 0) return {false, "cannot make a pipe"};
    if (pipe2(ans, O_CLOEXEC) != 0) {
      close(req[0]);
      close(req[1]);
      return {false, "cannot make a pipe"};
    }
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
      close(req[1]);
      close(ans[0]);
      g_in_child = true;
      keeper_loop(s, req[0], ans[1], stress);
    }
    close(req[0]);
    close(ans[1]);
    if (pid < 0) {
      close(req[1]);
      close(ans[0]);
      return {false, "cannot fork"};
    }
    g_keeper.script = &s;
    g_keeper.pid = pid;
    g_keeper.to = req[1];
    g_keeper.from = ans[0];
  }
  // (the keeper answers the size of its answer, then the answer: a case
  // that ends it leaves no answer)
  std::uint32_t index = std::uint32_t(i), size;
  g_keeper.next = i + 1;
  std::string got;
  if (write_all(g_keeper.to, &index, sizeof index) && read_all(g_keeper.from, &size, sizeof size)) {
    got.resize(size);
    if (read_all(g_keeper.from, got.data(), got.size())) return {true, got};
  }
  // An earlier case ended the keeper: that is the answer.
  std::string how = stop_keeper();
  return {false, how.empty() ? "the process ended without an answer" : how};
}

// Case i after the file's earlier cases, all run again in a runtime of its
// own: the way taken when the keeper's answer fails, since the keeper's
// state also holds what the cases asked of it before did under the stress
// mode, or an earlier case ended it.
Outcome after_earlier_alone(const Script& s, size_t i, bool stress) {
  return in_child([&] {
    gc::stress = false;
    for (size_t k = 0; k < i; ++k) run_case(s.cases[k]);
    gc::stress = stress;
    return run_case(s.cases[i]);
  });
}

bool passes(const Outcome& o, const Case& c) { return o.finished && o.got == c.expected; }

std::string fresh_answer(const Script& s, size_t i) {
  const Case& c = s.cases[i];
  bool stress = gc::stress;
  Outcome first = alone(s, i, stress);
  if (passes(first, c)) return first.got;
  if (stress && passes(alone(s, i, false), c))
    return first.got + " (alone in a fresh runtime under collector stress; passes without stress)";
  if (i == 0) return first.got;
  Outcome after = after_earlier(s, i, stress);
  if (passes(after, c)) return after.got;
  after = after_earlier_alone(s, i, stress);
  if (passes(after, c)) return after.got;
  return after.got + " (in a fresh runtime, after the file's earlier cases)";
}

// ---- the files ----------------------------------------------------------------

std::vector<std::string> g_files;
bool g_fresh = false;
bool g_done = false;
std::string g_current;  // "file:line" of the case running, for the exit guard

// A case that ends the process (quit) must not pass the whole file.
void exit_guard() {
  if (g_done) return;
  if (g_in_child) std::_Exit(1);  // the parent reports it
  std::printf("%s: the case ended the runner\n", g_current.c_str());
  std::fflush(stdout);
  std::_Exit(1);
}

// Whether the file has a line that begins with the marker.
bool has_marker(const std::string& text, const char* marker) {
  return text.rfind(marker, 0) == 0 || text.find(std::string("\n") + marker) != std::string::npos;
}

int program() {
  // Start-up runs without the collector stress unless QEL_GC_STRESS asks for
  // it during start-up too (where qel itself starts, in the process checks).
  console::boot::run();
  // The runner runs no console: system/console stays none here, as library
  // code expects without one.
  {
    roots::LocalCell code;
    static const char kNoConsole[] = "system/console: none";
    lexer::load_source(code.get(), kNoConsole, sizeof kNoConsole - 1);
    interp::eval_block_or_throw(code.get(), false);
    stack::reset();
  }
  hooks::add(capture_value, nullptr);
  if (g_traced) {
    g_noop_callback = runtime::root_append();
    static const char kNoop[] = "func [event code offset value ref frame] [true]";
    roots::LocalCell code;
    lexer::load_source(code.get(), kNoop, sizeof kNoop - 1);
    interp::eval_block_or_throw(code.get(), false);
    copy_cell(stack::last(), g_noop_callback);
    stack::init();
  }
  std::atexit(exit_guard);
  int passed = 0, failed = 0;
  for (const std::string& file : g_files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::printf("%s: cannot open\n", file.c_str());
      ++failed;
      continue;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    Script s = parse(ss.str());
    g_file_traced = g_traced && !has_marker(ss.str(), "; untraced: ");
    const bool file_fresh = g_fresh && !has_marker(ss.str(), "; one runtime: ");
    if (!s.problems.empty()) {
      for (const std::string& p : s.problems) std::printf("%s: rejected: %s\n", file.c_str(), p.c_str());
      ++failed;
      continue;
    }
    for (size_t i = 0; i < s.cases.size(); ++i) {
      const Case& c = s.cases[i];
      g_current = file + ":" + std::to_string(c.line);
      std::string got = file_fresh ? fresh_answer(s, i) : run_case(c);
      if (got == c.expected) {
        ++passed;
      } else {
        ++failed;
        std::printf("%s:%d: FAIL\n  code:     %s\n  expected: %s\n  got:      %s\n", file.c_str(),
                    c.line, escape(trim(c.code)).c_str(), c.expected.c_str(), got.c_str());
      }
    }
    stop_keeper();
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  std::fflush(stdout);
  g_done = true;
  return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* env = std::getenv("QEL_TEST_FRESH");
  g_fresh = env && *env && std::strcmp(env, "0") != 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--fresh") == 0) {
      g_fresh = true;
    } else if (std::strcmp(argv[i], "--traced") == 0) {
      g_traced = true;
    } else if (argv[i][0] == '-') {
      std::fprintf(stderr, "usage: qel-test-runner [--fresh] [--traced] file.qel...\n");
      return 2;
    } else {
      g_files.push_back(argv[i]);
    }
  }
  if (g_files.empty()) {
    std::fprintf(stderr, "usage: qel-test-runner [--fresh] [--traced] file.qel...\n");
    return 2;
  }
  return runtime::start(argc, argv, program);
}
