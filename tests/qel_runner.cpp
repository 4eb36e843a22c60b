// Runs Qel test scripts with their expectations written inline:
//
//   code...
//   ; expect: <the molded result>
//   code...
//   ; expect error: <category> <id>
//   code...
//   ; expect output: <what print wrote, line ends as \n>
//
// A case is the code since the previous expectation; cases of a file share
// one global context, in order. Prints a line per failure and, last,
// "N passed, N failed"; exits non-zero when a case failed.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "eval/boot.hpp"
#include "eval/interpreter.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/hooks.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "datatypes/word.hpp"

using namespace qel;

namespace {

std::string g_output;

void capture_value(const Cell* text, int line_end) {
  g_output += string::to_utf8(text);
  if (line_end) g_output += "\n";
}

struct Case {
  int line;           // line of the expectation
  std::string code;
  std::string kind;   // "value", "error", "output"
  std::string expected;
};

std::string trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r");
  size_t b = s.find_last_not_of(" \t\r");
  return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

std::vector<Case> parse(const std::string& text) {
  std::vector<Case> cases;
  std::istringstream in(text);
  std::string line, code;
  int n = 0;
  while (std::getline(in, line)) {
    ++n;
    std::string t = trim(line);
    struct { const char* prefix; const char* kind; } kinds[] = {
        {"; expect error:", "error"}, {"; expect output:", "output"}, {"; expect:", "value"}};
    bool matched = false;
    for (auto& k : kinds) {
      if (t.rfind(k.prefix, 0) == 0) {
        cases.push_back({n, code, k.kind, trim(t.substr(std::string(k.prefix).size()))});
        code.clear();
        matched = true;
        break;
      }
    }
    if (!matched) code += line + "\n";
  }
  return cases;
}

std::string mold(Cell* value) {
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

// Evaluates one case; answers what it gives, in the terms of its kind.
std::string run_case(const Case& c) {
  stack::init();
  g_output.clear();
  roots::LocalCell code;
  stack::mark(intern_word("test"), stack::FRAME_TRY);
  try {
    boot::load_source(code.get(), c.code.data(), c.code.size());
    interp::eval_block_or_throw(code.get(), false);
    Cell result = *stack::last();
    stack::unwind();
    if (c.kind == "output") return escape(g_output);
    if (c.kind == "error") return "no error; value " + mold(&result);
    return mold(&result);
  } catch (const Transfer& t) {
    runtime::rt.thrown = 0;
    if (t.code != THROW_ERROR) return "unwinding code " + std::to_string(t.code);
    stack::adjust_post_try();
    Cell err = *stack::base;
    std::string id = std::string(symbol::name(error::get_type(&err))) + " " +
                     std::string(symbol::name(error::get_id(&err)));
    if (c.kind == "error") return id;
    return "error " + id + ": " + escape(error::report(&err));
  }
}

std::vector<std::string> g_files;

int program() {
  boot::run();
  hooks::add(capture_value, nullptr);
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
    for (const Case& c : parse(ss.str())) {
      std::string got = run_case(c);
      if (got == c.expected) {
        ++passed;
      } else {
        ++failed;
        std::printf("%s:%d: FAIL\n  code:     %s\n  expected: %s\n  got:      %s\n", file.c_str(),
                    c.line, escape(trim(c.code)).c_str(), c.expected.c_str(), got.c_str());
      }
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  std::fflush(stdout);
  return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) g_files.push_back(argv[i]);
  return runtime::start(argc, argv, program);
}
