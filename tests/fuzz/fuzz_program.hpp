// What the fuzz targets that build and run a Qel program share: reading the
// fuzz bytes as choices, reporting a fault with the program that made it,
// and checking that a run left the stacks as it found them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "eval/parse.hpp"
#include "runtime/stack.hpp"

namespace qel::fuzz {

// Reads the fuzz bytes one choice at a time; zeros once they run out.
struct Reader {
  const std::uint8_t* p;
  std::size_t n;
  std::size_t i = 0;
  unsigned next() { return i < n ? p[i++] : 0; }
  unsigned pick(unsigned count) { return next() % count; }
  bool done() const { return i >= n; }
};

[[noreturn]] inline void fail(const char* what, const std::string& program) {
  std::fprintf(stderr, "%s\nprogram:\n%s\n", what, program.c_str());
  std::abort();
}

// The call and arguments stacks back where they were before the run, and
// PARSE's stacks empty.
inline void check_stacks(const Cell* base, const stack::Frame* ctop, const std::string& program) {
  if (stack::ctop != ctop) fail("call stack not restored", program);
  if (stack::base != base) fail("arguments stack not restored", program);
  if (parse::rules_depth() != 0 || parse::inputs_depth() != 0) fail("PARSE stacks not empty", program);
}

}  // namespace qel::fuzz
