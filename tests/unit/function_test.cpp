// native!, action!, op!, function! and routine!: making them, the checks of
// their specs, the local slots of a call, reflection, equality, form and mold.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/native.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "eval/library_routines.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

namespace function_test {

using namespace qel;
using namespace qel::test;

namespace {

// Type blocks of specs name datatypes through these words.
class FunctionTest : public test::RuntimeTest {
 protected:
  void SetUp() override {
    set_global("integer!", TYPE_INTEGER);
    set_global("string!", TYPE_STRING);
  }
  static void set_global(const char* name, Type t) {
    Cell w = *intern_word(name);
    Cell d = datatype_cell(t);
    context::set(&w, &d, context::global, false);
  }
};

Cell* make_entry(Type type, const char* spec, u32 index) {
  return native::push(load(spec), index, type);
}

// ---- native! and action! -------------------------------------------------------------

TEST_F(FunctionTest, MakeNativeOrActionTakesASpecAndAnIndexInTheirTable) {
  struct Case {
    Type type;
    const char* arg;
    bool ok;
  };
  const Case cases[] = {
      {TYPE_NATIVE, "[[a b] 120]", true},  {TYPE_NATIVE, "[[a] 1]", true},
      {TYPE_NATIVE, "[[a] 121]", false},   {TYPE_NATIVE, "[[a] 0]", false},
      {TYPE_NATIVE, "[[a] -1]", false},    {TYPE_ACTION, "[[a] 62]", true},
      {TYPE_ACTION, "[[a] 63]", false},    {TYPE_NATIVE, "[[a]]", false},
      {TYPE_NATIVE, "[[a] 1 2]", false},   {TYPE_NATIVE, "[\"a\" 1]", false},
      {TYPE_NATIVE, "[[a] a]", false},     {TYPE_NATIVE, "[]", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    Cell proto = datatype_cell(c.type);
    Cell* arg = load(c.arg);
    auto r = caught([&] {
      Cell* v = actions::make(&proto, arg);
      EXPECT_EQ(type_of(v), c.type);
      Cell* spec = cell_at(arg, 0);
      EXPECT_EQ(native::index_of(v), u32(int_of(cell_at(arg, 1))));
      EXPECT_EQ(function::spec_of(v), series_node(spec));  // the spec is kept, not copied
      // The more series: the record of a context of the spec's words, then none.
      Cell* more = mem::buffer_of(function::more_of(v))->cells();
      EXPECT_EQ(type_of(more), TYPE_CONTEXT);
      EXPECT_TRUE(more->header & context::ON_STACK);
      EXPECT_TRUE(is_none(more + 1));
    });
    if (c.ok) {
      EXPECT_FALSE(r);
    } else {
      ASSERT_TRUE(r);
      EXPECT_EQ(r->id, Err::script_bad_make_arg);
      EXPECT_EQ(type_of(&r->arg1), TYPE_DATATYPE);
      EXPECT_EQ(datatype_of(&r->arg1), c.type);
      EXPECT_EQ(series_node(&r->arg2), series_node(arg));
    }
  }
  // Exactly two values counted from the argument's index; a non-block fails.
  Cell proto = datatype_cell(TYPE_NATIVE);
  Cell* arg = load("[[x] [a] 3]");
  set_series_index(arg, 1);
  EXPECT_FALSE(raised([&] { EXPECT_EQ(native::index_of(actions::make(&proto, arg)), 3u); }));
  Cell five;
  make_integer(&five, 5);
  EXPECT_EQ(raised([&] { actions::make(&proto, &five); }), Err::script_bad_make_arg);
  // A spec taken from a later index keeps only the cells from there.
  Cell* spec = load("[ignored a b]");
  set_series_index(spec, 1);
  Cell* n = native::push(spec, 4, TYPE_NATIVE);
  Cell* kept = reflect(n, "spec");
  ASSERT_EQ(cell_count(kept), 2u);
  EXPECT_EQ(spelling(cell_at(kept, 0)), "a");
}

TEST_F(FunctionTest, NativesAndActionsAreEqualExactlyWhenTheyShareTheirEntry) {
  Cell* n5 = make_entry(TYPE_NATIVE, "[a]", 5);
  Cell* n5b = make_entry(TYPE_NATIVE, "[x y]", 5);
  Cell* n6 = make_entry(TYPE_NATIVE, "[a]", 6);
  Cell* a5 = make_entry(TYPE_ACTION, "[a]", 5);
  EXPECT_TRUE(actions::compare(n5, n5b, COMP_EQUAL));
  EXPECT_TRUE(actions::compare(n5, n5b, COMP_SAME));
  EXPECT_FALSE(actions::compare(n5, n6, COMP_EQUAL));
  EXPECT_TRUE(actions::compare(n5, n6, COMP_NOT_EQUAL));
  EXPECT_FALSE(actions::compare(n5, a5, COMP_EQUAL));  // another type
  EXPECT_EQ(raised([&] { actions::compare(n5, n6, COMP_LESSER); }),
            Err::script_invalid_compare);
  // Operators made from native 5 and from action 5 run different code.
  Cell op_proto = datatype_cell(TYPE_OP);
  auto op_of = [&](Type t, const char* spec) {
    return stack::push_cell(actions::make(&op_proto, make_entry(t, spec, 5)));
  };
  Cell* from_native = op_of(TYPE_NATIVE, "[a b]");
  Cell* from_action = op_of(TYPE_ACTION, "[a b]");
  EXPECT_FALSE(actions::compare(from_native, from_action, COMP_EQUAL));
  Cell* again = op_of(TYPE_NATIVE, "[x y]");
  EXPECT_TRUE(actions::compare(from_native, again, COMP_EQUAL));
}

TEST_F(FunctionTest, ReflectOfNativesActionsAndOperators) {
  Cell* n = make_entry(TYPE_NATIVE, "[a b]", 7);
  Cell* a = make_entry(TYPE_ACTION, "[a b]", 11);
  EXPECT_EQ(series_node(reflect(n, "spec")), function::spec_of(n));
  EXPECT_EQ(series_index(reflect(n, "spec")), 0);
  EXPECT_EQ(int_of(reflect(n, "body")), 7);
  EXPECT_EQ(int_of(reflect(a, "body")), 11);
  Cell op_proto = datatype_cell(TYPE_OP);
  Cell* op = stack::push_cell(actions::make(&op_proto, a));
  EXPECT_EQ(int_of(reflect(op, "body")), 11);
  Cell* fn = make_function("[x y]", "[x]");
  Cell* fop = stack::push_cell(actions::make(&op_proto, fn));
  EXPECT_EQ(series_node(reflect(fop, "body")), series_node(function::more_cell(fn, function::MORE_BODY)));
  for (Cell* v : {n, a, op}) {
    EXPECT_EQ(raised([&] { reflect(v, "words"); }), Err::internal_not_done);
    EXPECT_EQ(raised([&] { reflect(v, "class"); }), Err::internal_not_done);
  }
}

// ---- op! ---------------------------------------------------------------------------------

TEST_F(FunctionTest, OperatorSpecsNeedTwoLeadingArguments) {
  struct Case {
    const char* spec;
    bool ok;
  };
  const Case cases[] = {
      {"[a b]", true},           {"[a b /local c]", true},  {"[a b /extern c]", true},
      {"[a 'b]", true},          {"[a :b]", true},          {"[\"doc\" a [integer!] b]", true},
      {"[return: [integer!] a b]", true},                   {"['a b]", false},
      {"[:a b]", false},         {"[a]", false},            {"[a b c]", false},
      {"[a /only b]", false},    {"[a b /only]", false},    {"[]", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spec);
    EXPECT_EQ(op::valid_spec(series_node(load(c.spec))), c.ok);
  }
}

TEST_F(FunctionTest, MakeOpFromFunctionLikeValues) {
  Cell proto = datatype_cell(TYPE_OP);
  Cell* fn = make_function("[a b]", "[a]");
  Cell* op = stack::push_cell(actions::make(&proto, fn));
  EXPECT_EQ(type_of(op), TYPE_OP);
  EXPECT_EQ(op::source_type(op), TYPE_FUNCTION);
  EXPECT_TRUE(same_payload(*op, *fn));
  // The operator finds the function it was made from.
  Cell* kept = function::more_cell(op, function::MORE_OP);
  EXPECT_EQ(kept->header, fn->header);
  EXPECT_EQ(function::context_of(kept), function::context_of(fn));

  Cell* refined = make_function("[a /only b]", "[a]");
  EXPECT_EQ(raised([&] { actions::make(&proto, refined); }), Err::script_bad_op_spec);
  Cell* native = make_entry(TYPE_NATIVE, "[value1 value2]", 3);
  EXPECT_EQ(op::source_type(actions::make(&proto, native)), TYPE_NATIVE);

  Cell one;
  make_integer(&one, 1);
  auto r = caught([&] { actions::make(&proto, &one); });
  ASSERT_TRUE(r);
  EXPECT_EQ(r->id, Err::script_invalid_type);
  EXPECT_EQ(type_of(&r->arg1), TYPE_DATATYPE);
  EXPECT_EQ(datatype_of(&r->arg1), TYPE_INTEGER);
  EXPECT_EQ(raised([&] { actions::make(&proto, op); }), Err::script_invalid_type);
}

TEST_F(FunctionTest, FormAndMoldOfFunctionLikeValues) {
  Cell proto = datatype_cell(TYPE_OP);
  Cell* native = make_entry(TYPE_NATIVE, "[a b]", 3);
  Cell* action = make_entry(TYPE_ACTION, "[a b]", 3);
  Cell* fn = make_function("[a b]", "[add a b]");
  Cell* bodiless = make_function("[a]", nullptr);
  Cell* native_op = stack::push_cell(actions::make(&proto, native));
  Cell* fn_op = stack::push_cell(actions::make(&proto, fn));
  routine::push(load("[a]"), nullptr, 1, 0);
  Cell* routine = stack::last();
  routine::push(load("[a]"), load("[b c]"), 1, 0);
  Cell* routine_body = stack::last();
  struct Case {
    Cell* value;
    const char* form;
    const char* mold;
  };
  const Case cases[] = {
      {native, "?native?", "make native! [[a b]]"},
      {action, "?action?", "make action! [[a b]]"},
      {native_op, "?op?", "make op! [[a b]]"},
      {fn_op, "?op?", "make op! func [a b][add a b]"},
      {fn, "?function?", "func [a b][add a b]"},
      {bodiless, "?function?", "func [a] none"},
      {routine, "?routine?", "routine [a] none"},
      {routine_body, "?routine?", "routine [a][b c]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(formed(c.value), c.form);
    EXPECT_EQ(molded(c.value), c.mold);
  }
  // The operator's spec is molded in a frame of its own, closed afterwards.
  stack::Frame* ctop = stack::ctop;
  molded(fn_op);
  EXPECT_EQ(stack::ctop, ctop);
}

// ---- function! ------------------------------------------------------------------------

TEST_F(FunctionTest, SpecValidation) {
  struct Case {
    const char* spec;
    std::optional<Err> error;  // nothing: accepted
    u32 flags;
  };
  const Case cases[] = {
      {"[]", {}, 0},
      {"[a :b 'c]", {}, 0},
      {"[[trace] a]", {}, function::FLAG_TRACE},
      {"[[no-trace other trace] a]", {}, function::FLAG_TRACE | function::FLAG_NO_TRACE},
      {"[[trace 1] a]", Err::script_bad_func_def, 0},
      {"[\"doc\" a [integer! string!] \"arg doc\" /ref \"ref doc\" b]", {}, 0},
      {"[a \"doc\" [integer!]]", Err::script_bad_func_def, 0},
      {"[a /local b c]", {}, 0},
      {"[/local :b]", Err::script_bad_func_def, 0},
      {"[/local a [integer!]]", Err::script_bad_func_def, 0},
      {"[/local a /ref]", Err::script_bad_func_def, 0},
      {"[a return: [integer!] /local b]", {}, 0},
      {"[return: [integer!] a]", Err::script_bad_func_def, 0},
      {"[return: [integer!] /ref]", Err::script_bad_func_def, 0},
      {"[return: [integer!] return: [integer!]]", Err::script_bad_func_def, 0},
      {"[/local a return: [integer!]]", Err::script_bad_func_def, 0},
      {"[return: a]", Err::script_bad_func_def, 0},
      {"[result: [integer!]]", Err::script_bad_func_def, 0},
      {"[/ref [integer!]]", Err::script_bad_func_def, 0},
      {"[/ref 1]", Err::script_bad_func_def, 0},
      {"[a 1]", Err::script_bad_func_def, 0},
      {"[a b A]", Err::script_dup_vars, 0},
      {"[a /A]", Err::script_dup_vars, 0},
      {"[local /local]", Err::script_dup_vars, 0},
      {"[a [foo]]", Err::script_invalid_type_spec, 0},
      {"[a [integer! 1]]", Err::script_invalid_type_spec, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spec);
    Cell* spec = load(c.spec);
    u32 flags = 0;
    auto r = caught([&] { flags = function::validate(spec); });
    EXPECT_EQ(raised_id(r), c.error);
    if (!c.error) {
      EXPECT_EQ(flags, c.flags);
    }
    if (r && r->id == Err::script_bad_func_def) {
      EXPECT_EQ(series_node(&r->arg1), series_node(spec));
    }
  }
  // The duplicate named is the second of the two.
  auto r = caught([&] { function::validate(load("[a b A]")); });
  ASSERT_TRUE(r);
  EXPECT_EQ(spelling(&r->arg1), "A");
  r = caught([&] { function::validate(load("[a [integer! 1]]")); });
  ASSERT_TRUE(r);
  EXPECT_EQ(int_of(&r->arg1), 1);
}

TEST_F(FunctionTest, LocalSlots) {
  struct Case {
    const char* spec;
    i32 count;
    i32 required;  // with must_have
  };
  const Case cases[] = {
      {"[x /local a b]", 3, 3}, {"[x y]", 0, -1},         {"[/local]", 1, 1},
      {"[x /local a \"doc\" b]", 3, 3}, {"[x /ref y]", 0, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spec);
    Cell* spec = load(c.spec);
    EXPECT_EQ(function::count_locals(series_node(spec), 0, false), c.count);
    EXPECT_EQ(function::count_locals(series_node(spec), 0, true), c.required);
  }
  // From a start index past the /local refinement, there are none.
  EXPECT_EQ(function::count_locals(series_node(load("[/local a b]")), 1, false), 0);

  Cell* before = stack::top;
  function::init_locals(3);
  ASSERT_EQ(stack::top - before, 3);
  EXPECT_EQ(type_of(before), TYPE_LOGIC);
  EXPECT_FALSE(logic_of(before));
  EXPECT_TRUE(is_none(before + 1));
  EXPECT_TRUE(is_none(before + 2));
  function::init_locals(0);
  EXPECT_EQ(stack::top - before, 3);

  // A whole frame after the arguments: false for each refinement slot.
  Cell* fn = make_function("[a /ref b /local c]", "[]");
  before = stack::top;
  function::fill_frame(fn, 1);
  ASSERT_EQ(stack::top - before, 4);
  EXPECT_EQ(type_of(before), TYPE_LOGIC);
  EXPECT_TRUE(is_none(before + 1));
  EXPECT_EQ(type_of(before + 2), TYPE_LOGIC);
  EXPECT_TRUE(is_none(before + 3));
}

TEST_F(FunctionTest, PushCopiesTheSpecFromItsIndexAndTheBodyDeep) {
  Cell* spec = load("[ignored a /ref]");
  set_series_index(spec, 1);
  Cell* body = load("[a [a c] (ref) c]");
  u32 ctx = function::push(spec, body, 0, 0, 0, 0);
  Cell* fn = stack::last();
  EXPECT_EQ(type_of(fn), TYPE_FUNCTION);
  EXPECT_EQ(function::context_of(fn), ctx);
  EXPECT_NE(function::spec_of(fn), series_node(spec));  // copied from its index
  ASSERT_EQ(mem::buffer_of(function::spec_of(fn))->used(), 2 * sizeof(Cell));
  EXPECT_EQ(context::word_count(ctx), 2u);
  // The self slot holds the function.
  EXPECT_EQ(function::more_of(context::self_slot(ctx)), function::more_of(fn));

  Cell* copy = function::more_cell(fn, function::MORE_BODY);
  ASSERT_EQ(type_of(copy), TYPE_BLOCK);
  EXPECT_NE(series_node(copy), series_node(body));
  Cell* nested = cell_at(copy, 1);
  EXPECT_NE(series_node(nested), series_node(cell_at(body, 1)));
  // The words of the spec are bound to the function, at every depth.
  EXPECT_EQ(word::context_of(cell_at(copy, 0)), ctx);
  EXPECT_EQ(word::index_of(cell_at(copy, 0)), 0);
  EXPECT_EQ(word::context_of(cell_at(nested, 0)), ctx);
  EXPECT_EQ(word::context_of(cell_at(cell_at(copy, 2), 0)), ctx);
  EXPECT_EQ(word::context_of(cell_at(copy, 3)), context::global);
  EXPECT_EQ(word::context_of(cell_at(body, 0)), context::global);  // the source is left alone
  // Not compiled: no native entry, no start-up integer.
  EXPECT_TRUE(is_unset(function::more_cell(fn, function::MORE_NATIVE)));
  EXPECT_TRUE(is_unset(function::more_cell(fn, function::MORE_BOOT)));

  // A body index past the tail counts as the tail.
  Cell* short_body = load("[1 2]");
  set_series_index(short_body, 5);
  function::push(load("[]"), short_body, 0, 0, 0, 0);
  EXPECT_EQ(cell_count(function::more_cell(stack::last(), function::MORE_BODY)), 0u);

  // Compiled code: a prebuilt context is used as it is and the body not rebound.
  Cell* cspec = load("[a]");
  u32 prebuilt = context::make_from_spec(cspec, true, false, context::KIND_FUNCTION);
  Cell* held = stack::push();
  *held = Cell{TYPE_FUNCTION, prebuilt, series_node(cspec), 0};  // keeps the context reachable
  EXPECT_EQ(function::push(cspec, load("[a]"), prebuilt, 9, 4, function::FLAG_NO_TRACE), prebuilt);
  Cell* compiled = stack::last();
  EXPECT_EQ(compiled->header, TYPE_FUNCTION | function::FLAG_NO_TRACE);
  EXPECT_EQ(word::context_of(cell_at(function::more_cell(compiled, function::MORE_BODY), 0)), context::global);
  EXPECT_EQ(int_of(function::more_cell(compiled, function::MORE_NATIVE)), 9);
  EXPECT_EQ(int_of(function::more_cell(compiled, function::MORE_BOOT)), 4);
}

TEST_F(FunctionTest, FunctionsAreEqualOnlyToThemselves) {
  Cell* spec = load("[a]");
  Cell* body = load("[a]");
  function::push(spec, body, 0, 0, 0, 0);
  Cell* f1 = stack::last();
  function::push(spec, body, 0, 0, 0, 0);
  Cell* f2 = stack::last();
  Cell* same = stack::push_cell(f1);
  EXPECT_FALSE(actions::compare(f1, f2, COMP_EQUAL));
  EXPECT_FALSE(actions::compare(f1, f2, COMP_STRICT_EQUAL));
  EXPECT_TRUE(actions::compare(f1, same, COMP_EQUAL));
  EXPECT_TRUE(actions::compare(f1, same, COMP_SAME));
  EXPECT_EQ(raised([&] { actions::compare(f1, f2, COMP_LESSER); }),
            Err::script_invalid_compare);
  Cell one;
  make_integer(&one, 1);
  EXPECT_FALSE(actions::compare(f1, &one, COMP_EQUAL));
}

TEST_F(FunctionTest, ReflectOfFunctions) {
  Cell* fn = make_function("[a /ref b]", "[a]");
  EXPECT_EQ(series_node(reflect(fn, "spec")), function::spec_of(fn));
  EXPECT_EQ(series_node(reflect(fn, "body")), series_node(function::more_cell(fn, function::MORE_BODY)));
  Cell* words = reflect(fn, "words");
  ASSERT_EQ(cell_count(words), 3u);
  const char* names[] = {"a", "ref", "b"};
  for (u32 i = 0; i < 3; ++i) {
    Cell* w = cell_at(words, i);
    EXPECT_EQ(type_of(w), TYPE_WORD);
    EXPECT_EQ(word::context_of(w), function::context_of(fn));
    EXPECT_EQ(spelling(w), names[i]);
  }
  EXPECT_NE(series_node(words), context::words_of(function::context_of(fn)));  // a copy
  EXPECT_EQ(raised([&] { reflect(fn, "values"); }), Err::internal_not_done);
  // routine! takes the reflect of function!.
  routine::push(load("[x]"), nullptr, 1, 0);
  EXPECT_EQ(cell_count(reflect(stack::last(), "words")), 1u);
}

TEST_F(FunctionTest, MakeFunctionTakesASpecAndABody) {
  Cell proto = datatype_cell(TYPE_FUNCTION);
  Cell* fn = actions::make(&proto, load("[[a [integer!]] [a]]"));
  EXPECT_EQ(type_of(fn), TYPE_FUNCTION);
  EXPECT_EQ(word::context_of(cell_at(function::more_cell(fn, function::MORE_BODY), 0)), function::context_of(fn));
  const char* bad[] = {"[[a]]", "[[a] 1]", "[a [a]]"};
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    Cell* arg = load(text);
    auto r = caught([&] { actions::make(&proto, arg); });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, Err::script_bad_func_def);
    EXPECT_EQ(series_node(&r->arg1), series_node(arg));
  }
  EXPECT_EQ(raised([&] { actions::make(&proto, load("[[a a] []]")); }),
            Err::script_dup_vars);
}

TEST_F(FunctionTest, TheFunctionConstructorCollectsLocals) {
  struct Case {
    const char* spec;
    const char* body;
    const char* result;
  };
  const Case cases[] = {
      {"[a /extern b]",
       "[c: 1 b: 2 a: 3 foreach x s [] repeat i 3 [] remove-each [y z] s []"
       " (d: 1) [e: [f: 2]] C: 5]",
       "[a /local c x i y z d e f]"},
      {"[a /local q /extern r]", "[r: 1 s: 2 q: 3]", "[a /local q s]"},
      {"[a]", "[a: 1 print a]", "[a]"},
      {"[\"doc\" a [integer!]]", "[b: a]", "[\"doc\" a [integer!] /local b]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    Cell* spec = function::collect_locals(load(c.spec), load(c.body));
    EXPECT_EQ(molded(spec), c.result);
  }
  Cell* bad_spec = load("[a /extern 1]");
  Cell* body = load("[]");
  EXPECT_EQ(raised([&] { function::collect_locals(bad_spec, body); }),
            Err::script_bad_func_extern);
}

// ---- routine! --------------------------------------------------------------------------

void routine_entry() {}

TEST_F(FunctionTest, Routines) {
  struct Case {
    const char* spec;
    u32 arity;
  };
  std::string many = "[";
  for (int i = 0; i < 40; ++i) many += " w" + std::to_string(i);
  many += "]";
  const Case cases[] = {
      {"[a b c]", 3}, {"[a \"doc\" b /local c]", 3}, {"[]", 0}, {many.c_str(), 31}};
  u32 index = routines::register_routine("probe", routine_entry);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spec);
    u32 ctx = routine::push(load(c.spec), nullptr, index, -1);
    Cell* r = stack::last();
    EXPECT_EQ(type_of(r), TYPE_ROUTINE);
    EXPECT_EQ(routine::get_arity(r), c.arity);
    EXPECT_FALSE(has_new_line(r));  // the count never spills into the flags
    EXPECT_EQ(function::context_of(r), ctx);
    EXPECT_EQ(int_of(function::more_cell(r, function::MORE_NATIVE)), i32(index));
    EXPECT_EQ(int_of(function::more_cell(r, function::MORE_BOOT)), -1);
  }
  EXPECT_EQ(routines::entry(index), &routine_entry);
  EXPECT_STREQ(routines::name(index), "probe");
  EXPECT_EQ(routines::entry(0), nullptr);
  EXPECT_EQ(routines::entry(routines::count() + 1), nullptr);

  // Routines are made by start-up only.
  Cell proto = datatype_cell(TYPE_ROUTINE);
  Cell* arg = load("[[a] [a]]");
  EXPECT_EQ(raised([&] { actions::make(&proto, arg); }), Err::script_expect_arg);
}

// wire puts a routine in place of each placeholder word of a function's body,
// nested blocks too; a path that names no function, or a body without the
// placeholder, raises bad-path (start-up stops on it).
TEST_F(FunctionTest, WireFindsItsTargetOrRaises) {
  Cell* fn = make_function("[x]", "[_probe x + 1 [_probe] _other]");
  Cell target = *fn;
  Cell name = word_cell("wire-target");
  word::set(&name, &target);
  library::wire("wire-target", "_probe", "[n]", routine_entry);
  Cell body = *function::more_cell(word::get_value_cell(&name), function::MORE_BODY);
  EXPECT_EQ(type_of(cell_at(&body, 0)), TYPE_ROUTINE);
  EXPECT_EQ(type_of(cell_at(cell_at(&body, 4), 0)), TYPE_ROUTINE);
  EXPECT_EQ(type_of(cell_at(&body, 5)), TYPE_WORD);
  for (const char* path : {"no-such-wire-target", "wire-target field"}) {
    EXPECT_EQ(raised([&] { library::wire(path, "_probe", "[]", routine_entry); }), Err::internal_bad_path)
        << path;
  }
  EXPECT_EQ(raised([&] { library::wire("wire-target", "_absent", "[]", routine_entry); }),
            Err::internal_bad_path);
}

}  // namespace

}  // namespace function_test
