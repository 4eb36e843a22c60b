// libFuzzer target over the evaluator: the fuzz bytes are read as choices in
// a small grammar of Qel code (literals of every kind, variables, series
// actions, math, control words, loops, functions that call each other, sort
// comparators, apply, objects and paths, calls through paths of objects with
// such calls among their arguments while the objects are replaced, set to
// other values and unset between them), and the program made is evaluated
// three times: untraced, traced (a trace run with a callback that does
// nothing, callbacks traced too) and under the reference evaluator
// (interp::reference), one of them (by the last byte) with the collector
// collecting at every allocation (the other two without it, for speed: a
// collection changes nothing a program can see but `stats`). The three runs
// must answer alike: each top-level statement's molded value, or its error's
// id, where, near and stack (every frame, with stack-trace 2), and the budget
// left after it, which shows how far a recursion went before it overflowed.
//
// Whatever the program, each run must end without crashing, raise errors
// only as Qel errors (caught here), and leave the arguments stack, the call
// stack, the PARSE stacks, the cycle stack and the trace state as it found
// them.
//
// Every block the grammar makes (bodies of functions and loops) and every
// open-ended loop begins with a call of `fuzz-tick`, which spends a budget
// of calls and watches the memory in use: past the budget, or past a bound
// of bytes, it raises an error at every call, so that loops that never end
// (a `foreach` over a series its body grows, recursion caught by `try`)
// stop, each level ending at its next call. The memory in use differs
// between the three runs, so a run that reached the bound of bytes is not
// compared. The counter, `fuzz-tick` and the other `fuzz-` words are words
// the grammar never writes; words that reach outside the process (files,
// `call`, `wait`, environment) are not in the grammar, nor values that
// differ between runs (`stats`, the answer of `recycle`).
//
// Hostile code: blocks that change under the native walking them (a paren
// clears, inserts into, removes from or re-sets the block that `do`, `try`,
// a loop, ... is evaluating, with `recycle` between), and break,
// continue, return, exit and throw from where C++ code runs Qel code (object
// bodies, sort comparators, PARSE actions and trace callbacks, the lexer's
// trace callback, on-change* and on-deep-change* handlers).
//
// Known faults: a production that reaches a fault found but not yet fixed is
// left out of the grammar until the fix lands, so that the smoke run stays
// green, and its input is kept in tests/fuzz/crashers. None at present.
//
// A crash report ends with the program that was running; QEL_FUZZ_PRINT=1
// prints each program on standard error before running it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "datatypes/context.hpp"
#include "datatypes/logic.hpp"
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
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "tests/fuzz/fuzz_program.hpp"

using namespace qel;
using fuzz::fail;
using fuzz::Reader;

namespace {

template <std::size_t N>
const char* one_of(Reader& r, const char* const (&table)[N]) {
  return table[r.pick(unsigned(N))];
}

// Literal values of every kind (in code, each evaluates to itself or close).
const char* const kLiterals[] = {
    "0", "1", "2", "3", "-1", "7", "255", "2147483647", "-2147483648", "1.5", "-0.0", "0.1",
    "1e308", "12:30", "-0:00:01.5", "0:00:02", "#\"a\"", "#\"^(00)\"", "#\"\xC3\xA9\"", "none",
    "true", "false", "'a", "'p", "/ref", "#iss", "%file.txt", "http://x.y/z", "\"\"", "\"ab\"",
    "\"h\xC3\xA9llo w\xC3\xB6rld\"", "\"A^(1F600)\"", "{multi^/line}", "[]",
    "[1 \"a\" [b] c]", "[a b c d e]", "[3 1 2 1]", "[1.5 -2 #\"x\" \"y\"]", "[[1 2] [3]]",
    "[(1 + 2) x]", "[a: 1 b: \"x\"]", "integer!", "string!", "block!", "word!", "float!",
};

// Series made fresh by the code (so that edits do not pile up in literals).
const char* const kSeries[] = {
    "copy [1 2 3]", "copy \"abc\"", "copy [a b [c d] \"e\"]", "make bitset! \"abc\"",
    "copy %a/b", "make string! 3", "make block! 2", "copy \"x^(10000)y\"", "tail copy [1 2]",
    "next copy \"ab\"", "copy/deep [[1] [2 [3]]]", "to paren! [1 x]", "make object! [a: 1 b: [2]]",
    "to typeset! [integer! string!]", "to block! \"1 a [b]\"",
};

const char* const kSmall[] = {"-1", "0", "1", "2", "3"};
const char* const kNumbers[] = {"0", "1", "-1", "3", "2147483647", "-2147483648", "1.5",
                                "-0.0", "1e308", "0.1", "0:00:02", "#\"a\""};
const char* const kOps[] = {"+", "-", "*", "/", "**", "=", "<>", "==", "<", ">", "<=",
                            ">=", "and", "or", "xor", "%", "=?"};
const char* const kTypes[] = {"integer!", "float!", "string!", "block!", "word!", "char!",
                              "logic!", "pair!", "tuple!", "binary!", "issue!", "file!",
                              "paren!", "path!", "hash!", "map!", "object!", "bitset!", "time!",
                              "date!", "money!", "tag!", "none!", "lit-word!", "set-word!",
                              "get-word!", "refinement!", "typeset!", "url!", "email!"};
const char* const kParseRules[] = {"[some skip]", "[to end]", "[any [\"a\" | skip]]",
                                   "[copy x to end (x)]", "[collect [keep skip]]",
                                   "[thru \"b\" end]", "[some [integer! | skip]]"};

// Calls: the word (with refinements) and its arguments: s a series, v any
// value, n a small integer, t a datatype, b a block of code, r PARSE rules,
// c a comparator.
struct Call {
  const char* word;
  const char* args;
};
const Call kCalls[] = {
    {"copy", "s"}, {"copy/deep", "s"}, {"copy/part", "sn"}, {"append", "sv"},
    {"append/only", "sv"}, {"append/dup", "svn"}, {"insert", "sv"}, {"insert/part", "svn"},
    {"change", "sv"}, {"change/part", "svn"}, {"remove", "s"}, {"remove/part", "sn"},
    {"take", "s"}, {"take/last", "s"}, {"take/part", "sn"}, {"clear", "s"}, {"head", "s"},
    {"tail", "s"}, {"next", "s"}, {"back", "s"}, {"skip", "sn"}, {"at", "sn"}, {"pick", "sn"},
    {"poke", "snv"}, {"find", "sv"}, {"find/last", "sv"}, {"select", "sv"}, {"reverse", "s"},
    {"sort", "s"}, {"sort/compare", "sc"}, {"sort/skip", "sn"}, {"sort/case", "s"},
    {"unique", "s"}, {"union", "ss"}, {"intersect", "ss"}, {"difference", "ss"},
    {"exclude", "ss"}, {"length?", "s"}, {"index?", "s"}, {"tail?", "s"}, {"trim", "s"},
    {"uppercase", "s"}, {"lowercase", "s"}, {"move", "ss"}, {"swap", "ss"}, {"put", "svv"},
    {"mold", "v"}, {"mold/all", "v"}, {"mold/flat", "v"}, {"form", "v"}, {"type?", "v"},
    {"reduce", "b"}, {"compose", "b"}, {"compose/deep", "b"}, {"do", "b"}, {"do", "v"},
    {"try", "b"}, {"try/all", "b"}, {"catch", "b"}, {"throw", "v"}, {"not", "v"},
    {"same?", "vv"}, {"equal?", "vv"}, {"strict-equal?", "vv"}, {"min", "vv"}, {"max", "vv"},
    {"negate", "v"}, {"absolute", "v"}, {"round", "v"}, {"to", "tv"}, {"make", "tv"},
    {"parse", "sr"}, {"construct", "b"}, {"transcode", "s"}, {"to-hex", "n"},
    {"shift", "vn"}, {"power", "vv"}, {"remainder", "vv"}, {"square-root", "v"}, {"exp", "v"},
    {"log-e", "v"}, {"sine", "v"}, {"even?", "v"}, {"zero?", "v"}, {"sign?", "v"},
    {"complement", "v"}, {"value?", "v"},
    {"new-line", "sv"}, {"unique/skip", "sn"}, {"(recycle none)", ""},
};
constexpr unsigned kCallCount = sizeof kCalls / sizeof kCalls[0];

// The program's variables; inside functions also their arguments.
const char* const kVars[] = {"a", "b", "c"};
const char* const kFnVars[] = {"a", "b", "c", "p", "q"};


// Loop counters k0, k1, ...: made at set-up, so that every input finds the
// global context as large as the one before did.
constexpr unsigned kCounters = 32;

class Gen {
 public:
  explicit Gen(Reader& r) : r_(r) {}

  // A block of one to three expressions.
  std::string block(int depth) {
    std::string out = "[fuzz-tick";
    unsigned n = 1 + r_.pick(3);
    for (unsigned k = 0; k < n && !r_.done(); ++k) out += " " + expr(depth + 1);
    return out + " ]";
  }

  std::string expr(int depth) {
    if (depth > 3 || r_.done()) return leaf();
    switch (r_.pick(26)) {
      case 0: case 1: case 2: return leaf();
      case 3: return std::string(var()) + ": " + expr(depth + 1);
      case 4: case 5: case 6: case 7: return call(depth);
      case 8: return "(" + expr(depth + 1) + " " + one_of(r_, kOps) + " " + expr(depth + 1) + ")";
      case 9: return std::string(one_of(r_, kNumbers)) + " " + one_of(r_, kOps) + " " +
                     one_of(r_, kNumbers);
      case 10: return control(depth);
      case 11: return loop(depth);
      case 12: return fn_call(depth);
      case 13: return path(depth);
      case 14: return "make object! [a: " + expr(depth + 1) + " f: func [p] " + block(depth) + "]";
      case 15:
        return "apply :" + fn() + " reduce [" + expr(depth + 1) + " " + expr(depth + 1) + "]";
      case 16: return "func [p q] " + block(depth);
      case 17: return "(" + expr(depth + 1) + " " + expr(depth + 1) + ")";
      case 18: return "reduce [" + expr(depth + 1) + " " + expr(depth + 1) + "]";
      case 19: return changing_block(depth);
      case 20: return transfer_from_callback(depth);
      case 21: return object_call(depth);
      case 22: return object_change(depth);
      case 23: return calls_across_changes(depth);
      case 24: return function_argument(depth);
      default: return one_of(r_, kSeries);
    }
  }

  // Function bodies may name their arguments.
  bool in_function = false;

 private:
  const char* var() { return in_function ? one_of(r_, kFnVars) : one_of(r_, kVars); }
  static std::string tick() { return "fuzz-tick "; }
  std::string fn() { return "f" + std::to_string(r_.pick(3)); }

  std::string leaf() {
    switch (r_.pick(4)) {
      case 0: return var();
      case 1: return one_of(r_, kSeries);
      default: return one_of(r_, kLiterals);
    }
  }

  std::string series(int depth) {
    switch (r_.pick(4)) {
      case 0: return var();
      case 1: return one_of(r_, kLiterals);
      case 2: return expr(depth + 1);
      default: return one_of(r_, kSeries);
    }
  }

  std::string comparator(int depth) {
    switch (r_.pick(3)) {
      case 0: return ":f0";
      case 1: return "func [p q] [p < q]";
      default: return "func [p q] " + block(depth);
    }
  }

  std::string call(int depth) {
    const Call& c = kCalls[r_.pick(kCallCount)];
    std::string out = c.word;
    for (const char* a = c.args; *a; ++a) {
      out += ' ';
      switch (*a) {
        case 's': out += series(depth); break;
        case 'n': out += one_of(r_, kSmall); break;
        case 't': out += one_of(r_, kTypes); break;
        case 'b': out += block(depth); break;
        case 'r': out += one_of(r_, kParseRules); break;
        case 'c': out += comparator(depth); break;
        default: out += expr(depth + 1); break;
      }
    }
    return out;
  }

  std::string fn_call(int depth) {
    switch (r_.pick(6)) {
      case 0: return "f0 " + expr(depth + 1) + " " + expr(depth + 1);
      case 1: return "f1 " + expr(depth + 1);
      case 2: return "f2 " + expr(depth + 1) + " " + expr(depth + 1);
      case 3: return "f2/r " + expr(depth + 1) + " " + expr(depth + 1);
      case 4: return "f2/s " + expr(depth + 1) + " " + expr(depth + 1) + " " + expr(depth + 1);
      default:
        return "f2/s/r " + expr(depth + 1) + " " + expr(depth + 1) + " " + expr(depth + 1);
    }
  }

  std::string path(int depth) {
    std::string v = var();
    switch (r_.pick(5)) {
      case 0: return v + "/1";
      case 1: return v + "/a";
      case 2: return v + "/1: " + expr(depth + 1);
      case 3: return v + "/a: " + expr(depth + 1);
      default: return v + "/(1 + 1)";
    }
  }

  std::string control(int depth) {
    switch (r_.pick(14)) {
      case 0: return "if " + expr(depth + 1) + " " + block(depth);
      case 1: return "either " + expr(depth + 1) + " " + block(depth) + " " + block(depth);
      case 2: return "unless " + expr(depth + 1) + " " + block(depth);
      case 3: return "any " + block(depth);
      case 4: return "all " + block(depth);
      case 5: return "case [" + expr(depth + 1) + " " + block(depth) + " true " + block(depth) + "]";
      case 6: return "switch " + expr(depth + 1) + " [1 " + block(depth) + " \"ab\" " +
                     block(depth) + "]";
      case 7: return "switch/default " + expr(depth + 1) + " [a " + block(depth) + "] " +
                     block(depth);
      case 8: return "catch [throw " + expr(depth + 1) + "]";
      case 9: return "break";
      case 10: return "continue";
      case 11: return in_function ? "return " + expr(depth + 1) : "exit";
      case 12: return "try " + block(depth);
      default: return "case/all [" + expr(depth + 1) + " " + block(depth) + "]";
    }
  }

  // The words holding objects whose fields hold functions (made afresh
  // before each program), and what they are set to.
  std::string object_word() { return r_.pick(2) ? "o1" : "o2"; }
  std::string object_value(int depth) {
    std::string n = one_of(r_, kSmall);
    switch (r_.pick(5)) {
      case 0:
        return "make object! [a: " + n + " f: func [p] [reduce [" + n + " p]] g: func [p q] [reduce [p q " + n +
               "]] in: make object! [f: func [p] [reduce [p " + n + "]]]]";
      case 4:
        return "make object! [a: " + n + " f: func [p] [p] g: func [p q] [q] in: make object! [a: " + n +
               " f: func [p] [p]] on-change*: func [w o n] [x: reduce [w :o :n]]]";
      case 1:
        return "make object! [a: " + expr(depth + 1) + " f: func [p] " + block(depth) + " g: func [p q] " +
               block(depth) + " in: make object! [f: func [p] " + block(depth) + "]]";
      case 2: return "make " + object_word() + " [f: func [p] [reduce [p p " + n + "]]]";
      default: return object_word();
    }
  }

  // A call through a path of objects to a function; its arguments may be
  // such calls themselves (the path read for the outer call is its own).
  std::string object_call(int depth) {
    std::string o = object_word();
    if (depth > 5 || r_.done()) return o + "/a";
    switch (r_.pick(7)) {
      case 0: return o + "/f " + object_arg(depth);
      case 1: return o + "/g " + object_arg(depth) + " " + object_arg(depth);
      case 2: return o + "/in/f " + object_arg(depth);
      case 3: return o + "/f 1 + " + std::string(r_.pick(2) ? "length? " : "") + object_call(depth + 1);
      case 4: return r_.pick(2) ? o + "/a" : o + "/in/a - " + o + "/a";
      case 5: return o + "/f " + o + "/in/f " + object_arg(depth);
      default: return "first " + o + "/g " + object_call(depth + 1) + " " + object_arg(depth);
    }
  }
  std::string object_arg(int depth) { return r_.pick(3) ? object_call(depth + 1) : expr(depth + 1); }

  // An object word or field set to another object, a number, a function,
  // a value computed from fields, or unset.
  std::string object_change(int depth) {
    std::string o = object_word();
    switch (r_.pick(10)) {
      case 0: case 1: return o + ": " + object_value(depth);
      case 7: return o + "/a: " + (r_.pick(2) ? o + "/a + " + one_of(r_, kSmall) : expr(depth + 1));
      case 8: return o + "/in/a: " + (r_.pick(2) ? o + "/in/a * " + one_of(r_, kSmall) : expr(depth + 1));
      case 9: return o + "/in/a: " + o + "/a: " + object_arg(depth);
      case 2: return o + ": " + one_of(r_, kSmall);
      case 3: return "unset '" + o;
      case 4: return o + "/f: " + (r_.pick(2) ? ":f1" : one_of(r_, kSmall));
      case 5: return o + "/in: " + (r_.pick(2) ? object_value(depth) : "none");
      default: return "unset in " + o + " 'f";
    }
  }

  // The same calls run again after each change (the compiled code reused).
  std::string calls_across_changes(int depth) {
    std::string c = object_call(depth + 1);
    switch (r_.pick(3)) {
      case 0:
        return "(w: copy [] loop 3 [append/only w try [" + c + "] " + object_change(depth) + "] w)";
      case 1: return "(g: func [] [" + c + "] reduce [try [g] " + object_change(depth) + " try [g]])";
      default:
        return "(w: copy [] foreach x [1 2 3] [append/only w try [" + c + " " + object_call(depth + 1) + "] " +
               object_change(depth) + "] w)";
    }
  }

  // A function given as an argument and called through it, with other
  // functions (of other arguments, natives, actions) at later calls.
  std::string function_value() {
    static const char* const kFns[] = {":f1", ":f0", ":negate", ":length?", ":form", "func [x] [x]",
                                       "func [x /local y] [y: x reduce [y]]", "func [x [integer!]] [x + 1]",
                                       "func ['x] [x]", ":g", "func [x] [fuzz-tick x]"};
    return one_of(r_, kFns);
  }
  std::string function_argument(int depth) {
    std::string call = "(g: func [h p] [" + std::string(r_.pick(2) ? "reduce [h p h p]" : "h h p") + "] reduce [";
    for (unsigned k = 1 + r_.pick(3); k > 0; --k) call += "try [g " + function_value() + " " + expr(depth + 1) + "] ";
    return call + "])";
  }

  // Loops whose own count ends them; the budget ends the others (a body
  // can grow the series it walks, or call a function that calls it back).
  std::string loop(int depth) {
    std::string k = "k" + std::to_string(counter_++ % kCounters);
    switch (r_.pick(9)) {
      case 0: return "loop " + std::string(one_of(r_, kSmall)) + " " + block(depth);
      case 1: return "repeat i " + std::string(one_of(r_, kSmall)) + " " + block(depth);
      case 2: return "foreach v " + series(depth) + " " + block(depth);
      case 3: return "foreach [v w] " + series(depth) + " " + block(depth);
      case 4: return std::string("forall ") + var() + " " + block(depth);
      case 5: return "remove-each v " + series(depth) + " " + block(depth);
      case 6: return k + ": 0 while [" + tick() + "(" + k + ": " + k + " + 1) < 4] " + block(depth);
      case 7: return k + ": 0 until [" + tick() + k + ": " + k + " + 1 if " + k + " > 3 [break] " +
                     expr(depth + 1) + " " + k + " > 3]";
      default: return k + ": 0 forever [" + tick() + k + ": " + k + " + 1 if " + k + " > 3 [break] " +
                      expr(depth + 1) + "]";
    }
  }

  // A transfer of any kind (return only inside a function, where it has a
  // target more often than not).
  std::string transfer(int depth) {
    switch (r_.pick(7)) {
      case 0: return "break";
      case 1: return "break/return " + expr(depth + 1);
      case 2: return "continue";
      case 3: return "exit";
      case 4: return in_function ? "return " + expr(depth + 1) : "exit";
      case 5: return "throw " + expr(depth + 1);
      default:
        if (depth > 3) return "exit";
        return "do [make object! [t: " + transfer(depth + 1) + "]]";
    }
  }

  // Code that C++ runs, ending with a transfer, inside a loop, a catch, a
  // function or nothing.
  std::string transfer_from_callback(int depth) {
    std::string t = transfer(depth);
    std::string where;
    switch (r_.pick(10)) {
      case 0: where = "make object! [a: " + t + "]"; break;
      case 1: where = "do [make object! [a: 1 " + t + "]]"; break;
      case 2: where = "sort/compare " + series(depth) + " func [p q] [" + t + " p < q]"; break;
      case 3: where = "parse " + series(depth) + " [any [skip (" + t + ")]]"; break;
      case 4: where = "parse/trace [a 1] [some skip] func [e m r i s] [" + t + " true]"; break;
      case 5: where = "transcode/trace \"a [b] 1\" func [e i t l o] [" + t + " true]"; break;
      case 6:
        where = "(o: make object! [a: 1 on-change*: func [w o n] [" + t + "]] o/a: " +
                expr(depth + 1) + ")";
        break;
      case 7:
        where = "(o: make object! [a: copy [1] on-deep-change*: func [o w t a n i p] [" + t +
                "]] append o/a " + expr(depth + 1) + ")";
        break;
      case 8: where = "construct [a: " + t + "]"; break;
      default: where = "reduce [1 (make object! [" + t + "]) 2]"; break;
    }
    switch (r_.pick(4)) {
      case 0: return "loop 2 [" + where + "]";
      case 1: return "catch [" + where + "]";
      case 2: return "(g: func [] [" + where + " 5] g)";
      default: return where;
    }
  }

  // A block that its own code changes while a native walks it: a paren in it
  // clears, inserts into, removes from or re-sets the block (with recycle
  // between), and the walker goes on reading.
  std::string changing_block(int depth) {
    static const char* const kChanges[] = {
        "clear m", "clear next m", "insert m [(clear m) 1]", "append m [x: 1]", "remove m",
        "remove/part m 2", "take/last m", "m: copy []", "insert/dup m 1 20",
        "change m [(recycle) 2]", "append/dup m [(clear m)] 3", "clear head m"};
    static const char* const kWalkers[] = {
        "do m", "try m", "catch m", "loop 2 m", "if true m", "either false [] m",
        "parse [1 2] [any [skip m]]", "sort/compare [2 1 3] func [p q] m", "unless false m",
        "attempt m", "repeat i 2 m", "foreach v [1 2] m", "reduce m", "compose m", "any m",
        "all m", "do/next m 'x", "case m", "print m"};
    std::string change = one_of(r_, kChanges);
    std::string m = "m: copy [";
    unsigned n = 1 + r_.pick(4);
    unsigned at = r_.pick(n);
    for (unsigned k = 0; k < n; ++k) {
      if (k == at) m += " (" + change + " recycle " + expr(depth + 1) + ")";
      else m += " " + expr(depth + 1);
    }
    m += " ] ";
    // Walked again, the block runs compiled from its second walk on.
    std::string walker = one_of(r_, kWalkers);
    return "(" + m + (r_.pick(2) ? "loop 3 [" + walker + "]" : walker) + ")";
  }

  Reader& r_;
  unsigned counter_ = 0;
};

// Made once: the memory bound (what start-up left plus 4 MB), the budget's
// tick, the do-nothing trace callback, what each statement runs in, every
// word the programs set.
std::string setup() {
  std::string s = "a: b: c: g: m: o: p: q: i: v: w: x: o1: o2: f0: f1: f2: fuzz-budget: none ";
  for (unsigned k = 0; k < kCounters; ++k) s += "k" + std::to_string(k) + ": ";
  return s + "0 " +
    "fuzz-memory: 4000000 + stats fuzz-memory-hit: false fuzz-out: none "
    "system/state/stack-trace: 2 "
    "system/state/callbacks/lexer?: system/state/callbacks/parse?: "
    "system/state/callbacks/sort?: system/state/callbacks/change?: "
    "system/state/callbacks/deep?: true "
    "fuzz-noop: func [event code offset value ref frame] [true] "
    "fuzz-tick: func [] [ "
    "  fuzz-budget: fuzz-budget - 1 "
    "  if fuzz-budget < 0 [do make error! \"fuzz budget spent\"] "
    "  if (stats) > fuzz-memory [fuzz-memory-hit: true do make error! \"fuzz budget spent\"]] "
    // A statement's outcome: its value molded, or its error's id, where,
    // near and stack (the whole length, the innermost calls), with the
    // budget left.
    "fuzz-run: func [code /local r e s] [ "
    "  either error? set/any 'r try/keep code [ "
    "    e: :r "
    "    s: either block? e/stack [reduce [length? e/stack mold/flat copy skip tail e/stack -12]] [e/stack] "
    "    append/only fuzz-out reduce [e/id e/where mold/flat e/near s fuzz-budget] "
    "  ] [append/only fuzz-out reduce [mold/all/flat get/any 'r fuzz-budget]]]";
}

// Run before each program: the budget, the variables and the counters set
// afresh (so that no run depends on the one before).
std::string prelude() {
  std::string s = "fuzz-budget: 400 fuzz-memory-hit: false fuzz-out: copy [] a: b: c: g: m: o: p: q: i: v: w: x: none ";
  for (unsigned k = 0; k < kCounters; ++k) s += "k" + std::to_string(k) + ": ";
  return s + "0 "
    "o1: make object! [a: 1 f: func [p] [reduce [1 p]] g: func [p q] [reduce [p q 1]] "
    "  in: make object! [f: func [p] [reduce [p 1]]]] "
    "o2: make o1 [a: 2 f: func [p] [reduce [2 p]] in: make object! [f: func [p] [reduce [p 2]]]] ";
}

// The program running, for the crash report.
std::string g_program;

enum class Mode { untraced, traced, reference };
const char* const kModeNames[] = {"untraced", "traced", "reference"};

// What a run answered: the statements' outcomes molded, and whether the
// memory bound stopped it.
struct Outcome {
  std::string text;
  bool memory_hit = false;
};

const Cell* global_value(const char* name) {
  return context::word_cell(symbol::make(name), context::global);
}

// Loads the program (with the collector stress off: the lexer has a fuzzer of
// its own) and evaluates it in a try frame, the way the mode says (under the
// collector stress when asked); checks what it leaves, and answers the
// outcomes.
Outcome run(const std::string& program, Mode mode, bool stress) {
  stack::init();
  Cell* base = stack::base;
  stack::Frame* ctop = stack::ctop;
  std::size_t cells = roots::cells.size(), nodes = roots::nodes.size();
  {
    roots::LocalCell code, noop;
    stack::mark(intern_word("fuzz"), stack::FRAME_TRY);
    interp::reference = mode == Mode::reference;
    try {
      gc::stress = false;
      lexer::load_source(code.get(), program.data(), program.size());
      copy_cell(global_value("fuzz-noop"), noop.get());
      gc::stress = stress;
      gc::restart_stress();
      if (mode == Mode::traced) interp::trace_start(noop.get());
      try {
        interp::eval_block_or_throw(code.get(), false);
      } catch (...) {
        if (interp::trace_run) interp::trace_end();
        throw;
      }
      if (interp::trace_run) interp::trace_end();
      stack::unwind();
    } catch (const Transfer&) {
      runtime::rt.thrown = 0;
    }
    gc::stress = false;
    interp::reference = false;
  }
  fuzz::check_stacks(base, ctop, program);
  if (cycles::depth() != 0) fail("cycle stack not empty", program);
  if (roots::cells.size() != cells || roots::nodes.size() != nodes) fail("C++ roots not released", program);
  if (interp::trace || interp::trace_run) fail("trace left on", program);
  Outcome o;
  o.memory_hit = type_of(global_value("fuzz-memory-hit")) != TYPE_LOGIC ||
                 logic::flag(global_value("fuzz-memory-hit"));
  Cell out = *global_value("fuzz-out");
  Cell* v = stack::push_cell(&out);
  Cell* buf = stack::push();
  string::make_at(buf, 64, 1);
  actions::mold(v, buf, false, true, true, nullptr, 0x7FFFFFFF, 0);
  o.text = string::to_utf8(buf);
  stack::init();
  return o;
}

}  // namespace

// AddressSanitizer calls this before its report.
extern "C" void __asan_on_error() { std::fprintf(stderr, "program:\n%s\n", g_program.c_str()); }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool print = [] {
    runtime::init_for_tests();
    console::boot::run();
    run(setup(), Mode::untraced, false);
    const char* p = std::getenv("QEL_FUZZ_PRINT");
    return p && *p && *p != '0';
  }();
  if (size > 4096) return 0;
  Reader r{data, size};
  Gen gen(r);
  // The program first (each statement run by fuzz-run, so that an error
  // ends only that one), then three functions that may call each other (and
  // themselves), from what bytes are left.
  std::string main = "do [";
  for (unsigned k = 0; k < 12 && !r.done(); ++k) main += " fuzz-run [" + gen.expr(0) + "]";
  main += " ]";
  std::string program = prelude();
  gen.in_function = true;
  program += "f0: func [p q] " + gen.block(2) + " ";
  program += "f1: func [p] " + gen.block(2) + " ";
  program += "f2: func [p q /r /s x] " + gen.block(2) + " ";
  program += main;
  if (print) std::fprintf(stderr, "%s\n", program.c_str());
  g_program = program;
  Mode stressed = size ? Mode(data[size - 1] % 3) : Mode::untraced;
  Outcome first = run(program, Mode::untraced, stressed == Mode::untraced);
  for (Mode m : {Mode::traced, Mode::reference}) {
    Outcome o = run(program, m, stressed == m);
    if (first.memory_hit || o.memory_hit || o.text == first.text) continue;
    std::fprintf(stderr, "untraced:\n%s\n%s:\n%s\n", first.text.c_str(), kModeNames[int(m)], o.text.c_str());
    fail("the runs answer differently", program);
  }
  return 0;
}
