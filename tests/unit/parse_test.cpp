// PARSE internals that scripts cannot see: the rules and input stacks that
// every run shares are back at their entry state however a run ends (a match,
// an error of the engine, an error from a paren, an error from a nested run
// started in a paren, inside nested `into` inputs), and the arguments and call
// stacks with them.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "datatypes/native.hpp"
#include "datatypes/word.hpp"
#include "eval/lexer.hpp"
#include "eval/interpreter.hpp"
#include "eval/natives.hpp"
#include "eval/parse.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "tests/unit/test_support.hpp"

using namespace qel;
using namespace qel::test;

namespace {

class ParseTest : public test::RuntimeTest {
 protected:
  static void SetUpTestSuite() {
    // The unit tests run without the boot program: give the word `parse`
    // its native, with a spec whose arguments take any type (the datatype
    // words of the full spec have no values here).
    Cell* saved = stack::top;
    Cell* spec = load("[input rules /case /part length /trace callback]");
    Cell v = *native::push(spec, natives::N_parse, TYPE_NATIVE);
    Cell w = *intern_word("parse");
    word::set(&w, &v);
    stack::top = saved;
  }
  struct Outcome {
    std::optional<Err> error;
    Cell value{};
  };

  // Evaluates the source in a catch frame; the stacks must be as they were.
  Outcome eval(const std::string& source) {
    Outcome o;
    Cell* base = stack::base;
    Cell* top = stack::top;
    stack::Frame* ctop = stack::ctop;
    roots::LocalCell code;
    stack::mark_catch(intern_word("test"));
    try {
      lexer::load_source(code.get(), source.data(), source.size());
      interp::eval_block_or_throw(code.get(), false);
      o.value = *stack::last();
      stack::unwind();
    } catch (const Transfer&) {
      runtime::rt.thrown = 0;
      o.error = error::id_of(stack::last());
      stack::ctop = ctop;
      stack::base = base;
    }
    stack::top = top;
    EXPECT_EQ(stack::ctop, ctop) << source;
    EXPECT_EQ(parse::rules_depth(), 0u) << source;
    EXPECT_EQ(parse::inputs_depth(), 0u) << source;
    return o;
  }
};

TEST_F(ParseTest, StacksAreBackAtEntryAfterEveryWayOut) {
  std::string many_a = "\"" + std::string(6000, 'a') + "\"";
  struct Case {
    std::string source;
    std::optional<Err> error;
  } cases[] = {
      {"parse \"aa\" [some \"a\"]", std::nullopt},
      {"parse [[[x]]] [into [into ['x]]]", std::nullopt},
      {"left: [left \"a\" | \"a\"] parse \"aa\" left", Err::script_parse_infinite},
      {"deep: [\"a\" deep | end] parse " + many_a + " deep", Err::script_parse_stack},
      {"parse \"a\" [\"a\" (no-such-word)]", Err::script_no_value},
      {"parse \"ab\" [\"a\" (parse \"x\" left) \"b\"]", Err::script_parse_infinite},
      {"parse [[\"x\"]] [into [into [\"x\" (no-such-word)]]]", Err::script_no_value},
      {"parse [[1]] [into [(parse [[2]] [into [(no-such-word)]])]]", Err::script_no_value},
      {"parse [[1]] [into [some [collect set c [keep skip]] (no-such-word)]]",
       Err::script_no_value},
      {"parse \"ab\" [keep skip]", Err::script_parse_keep},
  };
  for (const Case& c : cases) {
    Outcome o = eval(c.source);
    EXPECT_EQ(o.error, c.error) << c.source << " raised "
                                << (o.error ? err_info(*o.error).word : "nothing");
    if (!c.error) {
      EXPECT_EQ(type_of(&o.value), TYPE_LOGIC) << c.source;
    }
  }
  // And the engine still works afterwards.
  Outcome o = eval("parse [a [b]] ['a into ['b]]");
  ASSERT_FALSE(o.error);
  EXPECT_EQ(type_of(&o.value), TYPE_LOGIC);
  EXPECT_TRUE(logic_of(&o.value));
}

}  // namespace
