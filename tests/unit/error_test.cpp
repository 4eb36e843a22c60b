// The error catalogue, error! values made from codes, blocks and strings,
// their report (form), mold and comparison, and what an uncaught error does.
#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>

#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "eval/lexer.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

namespace error_test {

using namespace qel;
using namespace qel::test;

namespace {

Cell* make_error(Cell* spec) { return make_as(TYPE_ERROR, spec); }

std::string word_at(const Cell* err, error::Field f) {
  const Cell* w = error::field(err, f);
  EXPECT_EQ(type_of(w), TYPE_WORD);
  Cell copy = *w;
  return string::to_utf8(word::to_string(&copy));
}

}  // namespace

TEST(ErrorCatalogue, PinnedCodesAndFieldOrder) {
  Guard g;
  struct Case { Err id; i32 code; const char* word; };
  const Case cases[] = {
      {Err::throw_break, 0, "break"},           {Err::throw_return, 1, "return"},
      {Err::throw_throw, 2, "throw"},           {Err::throw_continue, 3, "continue"},
      {Err::syntax_invalid, 200, "invalid"},    {Err::syntax_missing, 201, "missing"},
      {Err::syntax_no_header, 202, "no-header"}, {Err::syntax_no_rs_header, 203, "no-rs-header"},
      {Err::syntax_bad_header, 204, "bad-header"}, {Err::syntax_malconstruct, 205, "malconstruct"},
      {Err::syntax_bad_char, 206, "bad-char"},  {Err::script_no_value, 300, "no-value"},
      {Err::math_zero_divide, 400, "zero-divide"}, {Err::user_message, 800, "message"},
      {Err::internal_bad_path, 900, "bad-path"}, {Err::internal_not_here, 901, "not-here"},
      {Err::internal_no_memory, 902, "no-memory"}, {Err::internal_wrong_mem, 903, "wrong-mem"},
      {Err::internal_stack_overflow, 904, "stack-overflow"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(err_code(c.id), c.code) << c.word;
    EXPECT_STREQ(err_info(c.id).word, c.word);
  }
}

TEST(ErrorCatalogue, TheErrorsObjectHoldsEveryIdInOrder) {
  Guard g;
  const Cell* errors = error::catalog();
  ASSERT_EQ(type_of(errors), TYPE_OBJECT);
  ASSERT_EQ(context::word_count(object::context_of(errors)), u32(ERR_CATEGORY_COUNT));
  for (int c = 0; c < ERR_CATEGORY_COUNT; ++c) {
    Cell cw = *context::symbol_cell(object::context_of(errors), u32(c));
    EXPECT_EQ(string::to_utf8(word::to_string(&cw)), category_word(c));
    Cell category = *context::slot(object::context_of(errors), u32(c));
    ASSERT_EQ(type_of(&category), TYPE_OBJECT);
    EXPECT_EQ(int_of(context::slot(object::context_of(&category), 0)), c * 100);
    EXPECT_EQ(string::to_utf8(context::slot(object::context_of(&category), 1)), category_title(c));
  }
  for (u32 i = 0; i < u32(Err::count_); ++i) {
    const ErrInfo& info = err_info(Err(i));
    EXPECT_EQ(err_at(info.category, info.field), Err(i));
    u32 cat = object::context_of(context::slot(object::context_of(errors), info.category));
    Cell idw = *context::symbol_cell(cat, info.field);
    EXPECT_EQ(string::to_utf8(word::to_string(&idw)), info.word);
  }
}

TEST(ErrorMake, FromCodes) {
  Guard g;
  Cell* spec = make_none(stack::push());
  make_integer(spec, 300);
  Cell* e = make_error(spec);
  EXPECT_EQ(type_of(e), TYPE_ERROR);
  EXPECT_EQ(object::class_of(e), object::CLASS_ERROR);
  EXPECT_EQ(int_of(error::field(e, error::F_CODE)), 300);
  EXPECT_EQ(word_at(e, error::F_TYPE), "script");
  EXPECT_EQ(word_at(e, error::F_ID), "no-value");
  EXPECT_EQ(error::id_of(e), Err::script_no_value);
  EXPECT_EQ(type_of(error::field(e, error::F_ARG1)), TYPE_NONE);

  for (i32 code : {999, -1, 1000, 298, 513 + 90}) {
    Cell* keep = make_none(stack::push());
    auto id = raised([&] {
      Cell* s = make_none(stack::push());
      make_integer(s, code);
      make_error(s);
    }, keep);
    EXPECT_EQ(id, Err::script_out_of_range) << code;
    EXPECT_EQ(int_of(error::field(keep, error::F_ARG1)), code);
  }
}

TEST(ErrorMake, FromBlocksOfWords) {
  Guard g;
  Cell* e = make_error(load_all("math zero-divide"));
  EXPECT_EQ(int_of(error::field(e, error::F_CODE)), 400);
  EXPECT_EQ(error::id_of(e), Err::math_zero_divide);

  struct Case { const char* spec; Err expected; const char* arg1; };
  const Case cases[] = {
      {"nonsense zero-divide", Err::script_invalid_spec_field, "type"},
      {"math", Err::script_invalid_spec_field, "id"},
      {"math no-value", Err::script_invalid_spec_field, "id"},
      {"math code", Err::script_invalid_spec_field, "id"},  // no id
      {"math 5", Err::script_invalid_arg, nullptr},
      {"5", Err::internal_invalid_error, nullptr},
      {"", Err::internal_invalid_error, nullptr},
  };
  for (const Case& c : cases) {
    Cell* keep = make_none(stack::push());
    auto id = raised([&] { make_error(load_all(c.spec)); }, keep);
    EXPECT_EQ(id, c.expected) << c.spec;
    if (c.arg1) {
      EXPECT_EQ(word_at(keep, error::F_ARG1), c.arg1);
    }
  }
  auto id = raised([&] {
    Cell* c = make_none(stack::push());
    make_char(c, 'x');
    make_error(c);
  });
  EXPECT_EQ(id, Err::script_bad_make_arg);
}

TEST(ErrorMake, FromABlockOfFieldsEvaluatedInTheError) {
  Guard g;
  Cell* e = make_error(load_all("type: 'math id: 'overflow arg1: 5 where: 'here"));
  EXPECT_EQ(int_of(error::field(e, error::F_CODE)), 401);
  EXPECT_EQ(error::id_of(e), Err::math_overflow);
  EXPECT_EQ(int_of(error::field(e, error::F_ARG1)), 5);
  EXPECT_EQ(word_at(e, error::F_WHERE), "here");

  struct Case { const char* spec; const char* arg1; };
  const Case cases[] = {
      {"type: 'nonsense id: 'overflow", "type"},
      {"type: 'math id: 'no-value", "id"},
      {"type: 'math id: \"overflow\"", "id"},
      {"arg1: 5", "type"},
  };
  for (const Case& c : cases) {
    Cell* keep = make_none(stack::push());
    auto id = raised([&] { make_error(load_all(c.spec)); }, keep);
    EXPECT_EQ(id, Err::script_invalid_spec_field) << c.spec;
    EXPECT_EQ(word_at(keep, error::F_ARG1), c.arg1) << c.spec;
  }
}

TEST(ErrorMake, FromStringIsAUserErrorWithTheTextAsMessage) {
  Guard g;
  Cell* e = make_error(text("disk on fire"));
  EXPECT_EQ(error::id_of(e), Err::user_message);
  EXPECT_EQ(string::to_utf8(error::field(e, error::F_ARG1)), "disk on fire");
  EXPECT_EQ(error::report(e).substr(0, 31), "*** User Error: disk on fire\n**");
}

namespace {

// A global word f holding a function, g holding an integer.
void define_calls() {
  Cell* spec = load("[]");
  Cell* body = load("[]");
  function::push(spec, body, 0, 0, 0, 0);
  Cell f = word_cell("f");
  word::set(&f, stack::last());
  Cell g = word_cell("g"), one;
  make_integer(&one, 1);
  word::set(&g, &one);
}

}  // namespace

TEST(ErrorReport, LinesOfAScriptErrorRaisedInAFunction) {
  Guard g;
  define_calls();
  Cell* setting = error::stack_trace_setting();
  Cell saved = *setting;
  Cell f = word_cell("f"), gw = word_cell("g"), foo = word_cell("foo");
  Cell* keep = make_none(stack::push());
  raised([&] {
    stack::mark(&f, stack::FRAME_FUNCTION);
    stack::mark(&gw, stack::FRAME_NATIVE);
    fire(Err::script_no_value, &foo);
  }, keep);
  // The innermost call names the place.
  EXPECT_EQ(word_at(keep, error::F_WHERE), "g");

  struct Case { i32 level; const char* stack_line; };
  const Case cases[] = {{0, nullptr}, {1, "\n*** Stack: f "}, {2, "\n*** Stack: f g "}};
  for (const Case& c : cases) {
    make_integer(setting, c.level);
    std::string r = error::report(keep);
    EXPECT_EQ(r.rfind("*** Script Error: foo has no value\n*** Where: g\n*** Near : none", 0), 0u)
        << r;
    if (c.stack_line) {
      EXPECT_NE(r.find(c.stack_line), std::string::npos) << r;
    } else {
      EXPECT_EQ(r.find("*** Stack:"), std::string::npos) << r;
    }
  }
  copy_cell(&saved, setting);
}

TEST(ErrorReport, ArgumentsAreMoldedAndNearIsCut) {
  Guard g;
  Cell* keep = make_none(stack::push());
  raised([&] { fire(Err::script_invalid_arg, text("ab")); }, keep);
  // A near position longer than 40 characters is cut.
  Cell* long_text = text(std::string(100, 'x'));
  copy_cell(long_text, error::field(keep, error::F_NEAR));
  std::string r = error::report(keep);
  EXPECT_EQ(r.rfind("*** Script Error: invalid argument: \"ab\"\n", 0), 0u) << r;
  std::size_t near = r.find("*** Near : ");
  ASSERT_NE(near, std::string::npos);
  std::size_t end = r.find('\n', near);
  EXPECT_EQ((end == std::string::npos ? r.size() : end) - (near + 11), 40u) << r;
}

TEST(ErrorReport, MalformedErrorsAreReportedAsInvalidError) {
  Guard g;
  Cell bogus = word_cell("bogus");
  for (error::Field f : {error::F_TYPE, error::F_ID}) {
    Cell* spec = make_none(stack::push());
    make_integer(spec, 400);
    Cell* e = make_error(spec);
    copy_cell(&bogus, error::field(e, f));
    std::string r = error::report(e);
    EXPECT_EQ(r.rfind("*** Internal Error: invalid error object field value: bogus\n", 0), 0u)
        << r;
    EXPECT_EQ(error::id_of(e), Err::internal_invalid_error);
  }
  // A where that is neither a word nor a string.
  Cell* spec = make_none(stack::push());
  make_integer(spec, 400);
  Cell* e = make_error(spec);
  make_integer(error::field(e, error::F_WHERE), 3);
  EXPECT_NE(error::report(e).find("\n*** Where: ???\n"), std::string::npos);
}

TEST(ErrorValue, MoldComparePathAndStack) {
  Guard g;
  Cell* spec = make_none(stack::push());
  make_integer(spec, 400);
  Cell* e = make_error(spec);
  EXPECT_EQ(molded(e),
            "make error! [\n    code: 400\n    type: 'math\n    id: 'zero-divide\n"
            "    arg1: none\n    arg2: none\n    arg3: none\n    near: none\n"
            "    where: none\n    stack: none\n    files: none\n]");

  Cell* other = make_none(stack::push());
  make_integer(other, 400);
  EXPECT_FALSE(actions::compare(e, other, COMP_EQUAL));
  EXPECT_TRUE(actions::compare(e, other, COMP_NOT_EQUAL));
  Cell same = *e;
  EXPECT_TRUE(actions::compare(e, &same, COMP_EQUAL));

  // Path access reads a field by its word.
  Cell idw = word_cell("id");
  PathStep step{nullptr, 1, true, false, false};
  Cell* id = actions::eval_path(e, &idw, nullptr, step);
  EXPECT_EQ(type_of(id), TYPE_WORD);

  // A kept call stack becomes the block of the calls.
  define_calls();
  Cell f = word_cell("f");
  Cell* keep = make_none(stack::push());
  raised([&] {
    stack::mark(&f, stack::FRAME_FUNCTION);
    fire(Err::math_overflow);
  }, keep);
  error::get_stack(keep);
  Cell* calls = error::field(keep, error::F_STACK);
  ASSERT_EQ(type_of(calls), TYPE_BLOCK);
  ASSERT_EQ(mem::buffer_of(series_node(calls))->used(), sizeof(Cell));
  Cell first = mem::buffer_of(series_node(calls))->cells()[0];
  EXPECT_EQ(string::to_utf8(word::to_string(&first)), "f");
}

TEST(ErrorValue, ArgWordNamesAnArgumentOfTheCalledFunction) {
  Guard g;
  Cell* spec = load_all("a 'b :c /d e");
  Cell* body = load("[]");
  function::push(spec, body, 0, 0, 0, 0);
  Cell fw = word_cell("fn-with-args");
  word::set(&fw, stack::last());
  Cell* saved_base = stack::base;
  stack::Frame* saved_ctop = stack::ctop;
  stack::mark(&fw, stack::FRAME_FUNCTION);
  const char* expected[] = {"a", "b", "c", "d", "e", "<anon>"};
  for (u32 n = 0; n < 6; ++n) {
    Cell w;
    error::arg_word(n, &w);
    EXPECT_EQ(string::to_utf8(word::to_string(&w)), expected[n]) << n;
  }
  Cell gw = word_cell("g");
  stack::mark(&gw, stack::FRAME_NATIVE);  // g holds no function
  Cell w;
  EXPECT_EQ(string::to_utf8(word::to_string(error::arg_word(0, &w))), "<anon>");
  stack::ctop = saved_ctop;
  stack::base = saved_base;
}

TEST(ErrorUncaught, PrintsTheReportAndExitsWith254) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        stack::init();
        Cell n;
        make_integer(&n, 7);
        fire(Err::script_out_of_range, &n);
      },
      testing::ExitedWithCode(254), "\\*\\*\\* Script Error: value out of range: 7\n\\*\\*\\* Where: ");
}

}  // namespace error_test
