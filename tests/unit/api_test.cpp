// The native API: invoke roots what it is given before anything allocates,
// leaves the stack as it found it, and answers its result where asked;
// Values scopes drop what was pushed inside them.
#include <gtest/gtest.h>

#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "tests/unit/test_support.hpp"

using namespace qel;
using namespace qel::test;

namespace {

class ApiTest : public RuntimeTest {
 protected:
  void SetUp() override { stack::mark(1, 0, stack::FRAME_NATIVE); }
};

// Collects at every allocation for its lifetime.
struct Stress {
  Guard collecting;
  bool saved = gc::stress;
  Stress() { gc::stress = true; }
  ~Stress() { gc::stress = saved; }
};

TEST_F(ApiTest, InvokeRootsItsInputsAndLeavesTheStackAsItWas) {
  // [a b] [b]: the arguments are blocks made just
  // before and held only in C++ locals: invoke copies them onto the stack
  // before its first allocation (the argument descriptor, the frame).
  Cell* fn = make_function("[a b]", "[b]");
  api::Values out(1);
  Stress stress;
  Cell args[2] = {*load("[1 2]"), *load("[\"three\" [4]]")};
  stack::pop(2);  // the loaded blocks now live only in the locals
  Cell* top = stack::top;
  ASSERT_EQ(api::invoke(fn, args, 2, out[0]), 0u);
  EXPECT_EQ(stack::top, top);
  EXPECT_EQ(molded(out[0]), "[\"three\" [4]]");
  // Missing arguments are none.
  ASSERT_EQ(api::invoke(fn, args, 1, out[0]), 0u);
  EXPECT_TRUE(is_none(out[0]));
}

TEST_F(ApiTest, TypesAreCheckedUnlessAskedNotToAndFinalArgumentsCanBeReadBack) {
  // The datatype words are set by the boot program, which tests do not run.
  Cell integer_word = word_cell("integer!"), integer_type = datatype_cell(TYPE_INTEGER);
  word::set(&integer_word, &integer_type);
  Cell* fn = make_function("[a [integer!]]", "[a: 5]");
  api::Values out(2);
  Cell text = *load("\"x\"");
  EXPECT_EQ(raised([&] { api::invoke(fn, &text, 1, out[0]); }), Err::script_expect_arg);
  api::CallOptions o;
  o.check_types = false;
  o.args_after = out[1];
  ASSERT_EQ(api::invoke(fn, &text, 1, out[0], o), 0u);
  EXPECT_EQ(int_of(out[0]), 5);
  EXPECT_EQ(int_of(out[1]), 5) << "the argument slot as the function left it";
}

TEST_F(ApiTest, ValuesDropWhatWasPushedInsideThem) {
  Cell* top = stack::top;
  {
    api::Values v(2);
    EXPECT_TRUE(is_none(v[0]) && is_none(v[1]));
    make_integer(stack::push(), 1);  // a callee's pushed answer
    EXPECT_EQ(stack::top, top + 3);
  }
  EXPECT_EQ(stack::top, top);
}

}  // namespace
