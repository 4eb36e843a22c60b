// libFuzzer target over PARSE: the fuzz bytes are read as a small program
// that builds an input (a string, or a block of values) and rule blocks from
// a vocabulary of rule pieces (every keyword, literals, sub-blocks, parens,
// positions, counts, words naming other generated rules), which are then
// loaded by the lexer and run with parse.
//
// Whatever the rules, a run must end without crashing or hanging, raise no
// internal error, and leave the PARSE stacks, the arguments stack and the call
// stack as it found them. Rules that can loop for ever on purpose (`while`,
// `insert` or `change` in a loop, a get-word moving the input back) are run
// with a trace callback that stops the run after a budget of events (so are
// rules that call each other by name); the others are also run without it,
// once through the compiled rules and once through the reference machine,
// which must leave the same result, words and input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "console/boot/boot.hpp"
#include "eval/lexer.hpp"
#include "eval/interpreter.hpp"
#include "eval/parse.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "tests/fuzz/fuzz_program.hpp"
#include "datatypes/word.hpp"

using namespace qel;
using fuzz::fail;
using fuzz::Reader;

namespace {

// Rule pieces: each is one value or a keyword with its arguments.
const char* const kPieces[] = {
    "\"a\"", "\"b\"", "\"ab\"", "\"\"", "#\"a\"", "#\"b\"", "#\"A\"", "alpha", "digit",
    "skip", "end", "none", "fail", "break", "reject", "|", "any", "some", "opt", "not", "ahead",
    "to", "thru", "copy x", "set x", "quote a", "quote \"a\"", "collect", "keep", "keep pick",
    "keep (1)", "keep pick ([1 2])", "collect set c", "collect into tb", "collect after tb",
    "collect into ts", "into", "remove", "case yes", "case no", "if (true)", "if (false)",
    "(n: n + 1)", "(parse \"ab\" [some \"a\" \"b\"])", "(break)", "p:", "0", "1", "2", "3",
    "1 2", "0 1", "integer!", "word!", "string!", "block!", "char!", "'a", "'b", "r1", "r2",
    "ahead end", "to end", "thru end", "not end", "only", "pick", "after",
};
constexpr unsigned kPieceCount = sizeof kPieces / sizeof kPieces[0];

// Pieces that can make a run go on for ever; with them the run is traced
// with an event budget. (An insertion takes only small values: inserting a
// series into itself on every round would double the input each time.)
const char* const kLooping[] = {
    "while", "insert \"x\"", "insert only [1]", "p: insert p \"y\"", "change \"a\" \"z\"",
    "change skip (1)", ":p",
};
constexpr unsigned kLoopingCount = sizeof kLooping / sizeof kLooping[0];

// A rule block of up to 11 pieces and sub-blocks, four levels deep at most.
// looping: a piece that can run for ever was used; named: the rules named
// r1 or r2, which may call each other (with backtracking, exponentially long).
std::string rule_block(Reader& r, int depth, bool& looping, bool& named) {
  std::string out = "[";
  unsigned count = r.next() % 12;
  for (unsigned k = 0; k < count && !r.done(); ++k) {
    unsigned c = r.next();
    out += ' ';
    if (c >= 250 && depth < 4) {
      out += rule_block(r, depth + 1, looping, named);
    } else if (c >= 240) {
      out += kLooping[r.next() % kLoopingCount];
      looping = true;
    } else {
      const char* piece = kPieces[c % kPieceCount];
      if (piece[0] == 'r' && (piece[1] == '1' || piece[1] == '2')) named = true;
      out += piece;
    }
  }
  return out + " ]";
}

const char* const kBlockValues[] = {"a", "b", "\"ab\"", "1", "[a b]", "(1)", "#\"a\"", "x:", "none"};

std::string input(Reader& r) {
  unsigned kind = r.next();
  unsigned length = r.next() % 24;
  std::string out;
  if (kind & 1) {
    out = "\"";
    static const char kChars[] = "aabbA1 ";
    for (unsigned k = 0; k < length; ++k) out += kChars[r.next() % (sizeof kChars - 1)];
    return out + "\"";
  }
  out = "[";
  for (unsigned k = 0; k < length; ++k) {
    out += ' ';
    out += kBlockValues[r.next() % (sizeof kBlockValues / sizeof kBlockValues[0])];
  }
  return out + "]";
}

// Evaluates the program in a catch frame; checks what it leaves behind.
// Answers the text of the program's value when it is a string, else "".
std::string run(const std::string& program) {
  std::string text;
  stack::init();
  Cell* base = stack::base;
  stack::Frame* ctop = stack::ctop;
  roots::LocalCell code;
  stack::mark(intern_word("fuzz"), stack::FRAME_TRY);
  try {
    lexer::load_source(code.get(), program.data(), program.size());
    interp::eval_block_or_throw(code.get(), false);
    if (type_of(stack::last()) == TYPE_STRING) text = string::to_utf8(stack::last());
    stack::unwind();
  } catch (const Transfer& t) {
    runtime::rt.thrown = 0;
    if (t.code == THROW_ERROR) {
      stack::adjust_post_try();
      Err id = error::id_of(stack::base);
      int category = id == Err::count_ ? -1 : err_info(id).category;
      if (category != ERR_CAT_script && category != ERR_CAT_throw && category != ERR_CAT_math &&
          category != ERR_CAT_syntax) {
        fail(id == Err::count_ ? "unknown error" : err_info(id).word, program);
      }
    }
  }
  fuzz::check_stacks(base, ctop, program);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool ready = [] {
    runtime::init_for_tests();
    console::boot::run();
    return true;
  }();
  (void)ready;
  if (size > 4096) return 0;
  Reader r{data, size};
  unsigned flags = r.next();
  bool looping = false, named = false;
  std::string program = "n: 0 x: c: none tb: copy [] ts: copy \"\" ";
  program += "alpha: make bitset! [#\"a\" - #\"z\" #\"A\" - #\"Z\"] digit: make bitset! \"0123456789\" ";
  program += "in: " + input(r) + " p: in ";
  program += "r1: " + rule_block(r, 1, looping, named) + " ";
  program += "r2: " + rule_block(r, 1, looping, named) + " ";
  program += "rules: " + rule_block(r, 0, looping, named) + " ";
  std::string call = "parse";
  if (flags & 1) call += "/case";
  if (flags & 2) call += "/part";
  std::string args = " in rules";
  if (flags & 2) args += " " + std::to_string((flags >> 4) % 8);
  // Every run under the event budget first, then untraced when it must end.
  std::string traced = "budget: 3000 watch: func [e m r i s] [budget: budget - 1 budget > 0] ";
  traced += call + "/trace" + args + " :watch";
  run(program + traced);
  // Untraced, the compiled rules and the reference machine must leave the
  // same result or error and the same words and input.
  if (!looping && !named) {
    std::string untraced = program + "mold/all reduce [try [" + call + args +
                           "] x c n tb ts head in p]";
    parse::use_compiled_rules(true);
    std::string compiled = run(untraced);
    parse::use_compiled_rules(false);
    std::string reference = run(untraced);
    parse::use_compiled_rules(true);
    if (compiled != reference) {
      fail(("compiled and reference rules differ:\ncompiled:  " + compiled + "\nreference: " + reference).c_str(),
           untraced);
    }
  }
  return 0;
}
