// object!: make, copy, merge, reflect, class ids, form and mold, comparison,
// path access, set and construct, and the on-change* and on-deep-change*
// events (the handlers' bodies call a native that records their frames;
// make's evaluation is a stand-in for the interpreter's).
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/bitset.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/native.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/natives.hpp"
#include "datatypes/ownership.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

using namespace qel;
using namespace qel::test;

namespace {

// ---- stand-ins for the interpreter --------------------------------------------------

// One call of a change handler: the frame's word and cells.
struct Call {
  std::string name;
  u32 owner_ctx;
  std::vector<Cell> frame;
};
std::vector<Call> g_calls;
std::function<void()> g_during_call;  // runs inside each handler call when set

// A native that the handlers' bodies call: it records the handler's frame,
// which lies below the frame of the handler's body and its own.
interp::Status record_call(const i32*) {
  const stack::Frame* self = stack::ctop - 1;
  const stack::Frame* body = stack::ctop - 2;
  const stack::Frame* handler = stack::ctop - 3;
  g_calls.push_back({std::string(symbol::name(handler->symbol)), handler->ctx,
                     std::vector<Cell>(stack::bottom + body->prev_base, stack::bottom + self->prev_base)});
  if (g_during_call) g_during_call();
  make_none(stack::base);
  return 0;
}

// A change handler with the spec, whose body records its calls.
Cell* handler_function(const char* spec) { return make_function(spec, "[record-handler-call]"); }

// Cells that a paren holding the integer k stands for in a spec evaluated by
// `evaluate` (functions and objects the tests made beforehand).
std::vector<const Cell*> g_fixtures;

// Evaluates what make needs of a spec: set-words (in a row) take the value
// after them, a paren (k) standing for fixture k.
void evaluate(const Cell* block) {
  u32 node = series_node(block);
  std::vector<Cell> pending;
  for (u32 i = u32(series_index(block)); i < mem::buffer_of(node)->used() / sizeof(Cell); ++i) {
    Cell c = mem::buffer_of(node)->cells()[i];
    if (type_of(&c) == TYPE_SET_WORD) {
      pending.push_back(c);
      continue;
    }
    if (type_of(&c) == TYPE_PAREN) {
      c = *g_fixtures[u32(int_of(mem::buffer_of(series_node(&c))->cells()))];
    }
    for (Cell& w : pending) context::set(&w, &c, word::context_of(&w), true);
    pending.clear();
  }
}

class ObjectTest : public test::RuntimeTest {
 protected:
  void SetUp() override {
    static u32 id = natives::add(record_call);
    eval_ = api::services.do_block;
    Cell w = word_cell("record-handler-call");
    word::set(&w, native::push(load("[]"), id, TYPE_NATIVE));
    api::services.do_block = evaluate;
    g_calls.clear();
    g_fixtures.clear();
    g_during_call = nullptr;
  }
  void TearDown() override {
    api::services.do_block = eval_;
    g_during_call = nullptr;
    g_fixtures.clear();
  }

 private:
  void (*eval_)(const Cell* block) = nullptr;
};

// ---- objects -----------------------------------------------------------------------------

// make object! from a spec whose parens (k) stand for the fixtures given.
Cell* make_object(const char* spec, std::vector<const Cell*> fixtures = {}) {
  g_fixtures = std::move(fixtures);
  Cell proto;
  make_datatype(&proto, TYPE_OBJECT);
  return object::make(&proto, load(spec));
}

Cell* make_from(Cell* proto, const char* spec, std::vector<const Cell*> fixtures = {}) {
  g_fixtures = std::move(fixtures);
  return object::make(proto, load(spec));
}

// The value of the field (nullptr when absent).
Cell* field(const Cell* obj, const char* name) {
  Cell w = word_cell(name);
  i32 i = context::find_word(object::context_of(obj), word::symbol_of(&w), true);
  return i < 0 ? nullptr : context::slot(object::context_of(obj), u32(i));
}

// Assigns the field as a set-word does (firing on-change*).
void assign(const Cell* obj, const char* name, const Cell* value) {
  Cell w = word_cell(name);
  ASSERT_GE(context::bind_word(object::context_of(obj), &w), 0);
  context::set(&w, value, object::context_of(obj), true);
}

// The handler frame of a recorded call, as the test reads it.
const Cell& arg(u32 call, u32 i) { return g_calls.at(call).frame.at(i); }

// ---- make, copy and class ids ---------------------------------------------------------

TEST_F(ObjectTest, ClassIdsFollowWhetherWordsWereAdded) {
  Cell* o = make_object("[a: 1 b: 2]");
  i32 id = object::class_of(o);
  EXPECT_GT(id, 0);
  EXPECT_EQ(int_of(field(o, "a")), 1);
  EXPECT_EQ(int_of(reflect(o, "class")), id);

  Cell* same = make_from(o, "[a: 5]");  // only existing words
  EXPECT_EQ(object::class_of(same), id);
  EXPECT_EQ(int_of(field(same, "a")), 5);
  EXPECT_EQ(int_of(field(o, "a")), 1);
  EXPECT_NE(object::context_of(same), object::context_of(o));

  Cell* more = make_from(o, "[c: 3]");
  EXPECT_NE(object::class_of(more), id);
  EXPECT_EQ(context::word_count(object::context_of(more)), 3u);

  EXPECT_EQ(object::class_of(object::copy(o, false)), id);
  EXPECT_EQ(object::class_of(object::construct(load("[z: 1]"), o, false)), id);
  Cell* fresh = object::construct(load("[z: 1]"), nullptr, false);
  EXPECT_NE(object::class_of(fresh), id);
  EXPECT_GT(object::class_of(fresh), object::class_of(more));

  Cell proto;
  make_datatype(&proto, TYPE_OBJECT);
  Cell one = integer_cell(1);
  auto r = caught([&] { object::make(&proto, &one); });
  ASSERT_TRUE(r);
  EXPECT_EQ(r->id, Err::syntax_malconstruct);
  EXPECT_EQ(int_of(&r->arg1), 1);
  // Assignments while the spec is evaluated are not reported as changes.
  EXPECT_EQ(cell_count(reflect(o, "changed")), 0u);
}

TEST_F(ObjectTest, MakeFromAPrototypeCopiesItsBlocksAndLeavesItsCodeBound) {
  Cell* p = make_object("[a: 1 code: [a [a]] text: \"x\"]");
  Cell* code = field(p, "code");
  ASSERT_EQ(type_of(code), TYPE_BLOCK);
  EXPECT_EQ(word::context_of(cell_at(code, 0)), object::context_of(p));
  Cell* c = make_from(p, "[a: 2]");
  Cell* copy = field(c, "code");
  EXPECT_NE(series_node(copy), series_node(field(p, "code")));
  EXPECT_NE(series_node(cell_at(copy, 1)), series_node(cell_at(field(p, "code"), 1)));
  // The new object's code refers to it, at every depth ...
  EXPECT_EQ(word::context_of(cell_at(copy, 0)), object::context_of(c));
  EXPECT_EQ(word::context_of(cell_at(cell_at(copy, 1), 0)), object::context_of(c));
  // ... and the prototype's still refers to the prototype.
  Cell* original = field(p, "code");
  EXPECT_EQ(word::context_of(cell_at(original, 0)), object::context_of(p));
  EXPECT_EQ(word::context_of(cell_at(cell_at(original, 1), 0)), object::context_of(p));
  EXPECT_NE(series_node(field(c, "text")), series_node(field(p, "text")));
}

TEST_F(ObjectTest, MakeWithAnObjectSpecMergesItsWordsAndValues) {
  Cell* o1 = make_object("[a: 1 b: [x]]");
  Cell* fn = make_function("[]", "[c]");
  Cell* o2 = make_object("[b: [y] c: 3 f: (0)]", {fn});
  Cell* m = object::make(o1, o2);
  EXPECT_NE(object::class_of(m), object::class_of(o1));  // words were added
  EXPECT_EQ(context::word_count(object::context_of(m)), 4u);
  EXPECT_EQ(int_of(field(m, "a")), 1);
  EXPECT_EQ(int_of(field(m, "c")), 3);
  Cell* b = field(m, "b");
  EXPECT_NE(series_node(b), series_node(field(o2, "b")));  // a copy of o2's block
  EXPECT_EQ(spelling(cell_at(b, 0)), "y");
  Cell* f = field(m, "f");
  ASSERT_EQ(type_of(f), TYPE_FUNCTION);
  EXPECT_NE(function::more_of(f), function::more_of(field(o2, "f")));  // remade for the new object
  EXPECT_EQ(word::context_of(cell_at(function::more_cell(f, function::MORE_BODY), 0)), object::context_of(m));

  Cell* o3 = make_object("[A: 7]");
  Cell* kept = object::make(o1, o3);
  EXPECT_EQ(object::class_of(kept), object::class_of(o1));
  EXPECT_EQ(int_of(field(kept, "a")), 7);
}

TEST_F(ObjectTest, CopyRemakesFunctionsAndCopiesDeepOnRequest) {
  Cell* inner = make_object("[i: 1]");
  Cell* fn = make_function("[x]", "[n x]");
  Cell* o = make_object("[n: 1 f: (0) inner: (1) s: [1 2]]", {fn, inner});
  Cell* f = field(o, "f");

  Cell* c = object::copy(o, false);
  EXPECT_NE(object::context_of(c), object::context_of(o));
  Cell* cf = field(c, "f");
  EXPECT_NE(function::more_of(cf), function::more_of(f));
  Cell* body = function::more_cell(cf, function::MORE_BODY);
  EXPECT_EQ(word::context_of(cell_at(body, 0)), object::context_of(c));   // n: the copy's field
  EXPECT_EQ(word::context_of(cell_at(body, 1)), function::context_of(cf));  // x: the argument
  EXPECT_EQ(series_node(field(c, "s")), series_node(field(o, "s")));
  EXPECT_EQ(object::context_of(field(c, "inner")), object::context_of(inner));

  Cell* d = object::copy(o, true);
  EXPECT_NE(series_node(field(d, "s")), series_node(field(o, "s")));
  EXPECT_NE(object::context_of(field(d, "inner")), object::context_of(inner));
  EXPECT_EQ(int_of(field(field(d, "inner"), "i")), 1);

  // An object met again inside itself cannot be copied deep.
  Cell* loop = make_object("[me: none]");
  assign(loop, "me", loop);
  EXPECT_EQ(raised([&] { object::copy(loop, true); }), Err::internal_no_cycle);
  EXPECT_NE(object::context_of(object::copy(loop, false)), object::context_of(loop));

  Cell part = integer_cell(1);
  auto r = caught([&] {
    Cell* result = make_none(stack::push());
    actions::handler<act::Copy>(o, ACT_copy)(o, result, &part, false, nullptr);
  });
  ASSERT_TRUE(r);
  EXPECT_EQ(r->id, Err::script_invalid_refine_arg);
  EXPECT_EQ(spelling(&r->arg1), "part");

  function::push(load("[]"), nullptr, 0, 0, 0, 0);
  Cell* bodiless = stack::last();
  Cell* holder = make_object("[g: (0)]", {bodiless});
  EXPECT_EQ(raised([&] { object::copy(holder, false); }), Err::script_bad_func_def);
}

// ---- reflect, modify ------------------------------------------------------------------

TEST_F(ObjectTest, Reflect) {
  Cell* o = make_object("[a: 1 w: b p: x/y]");
  Cell* words = reflect(o, "words");
  ASSERT_EQ(cell_count(words), 3u);
  EXPECT_EQ(spelling(cell_at(words, 1)), "w");
  EXPECT_EQ(word::context_of(cell_at(words, 1)), object::context_of(o));
  Cell* values = reflect(o, "values");
  ASSERT_EQ(cell_count(values), 3u);
  EXPECT_EQ(int_of(cell_at(values, 0)), 1);
  EXPECT_EQ(type_of(cell_at(values, 1)), TYPE_WORD);
  Cell* body = reflect(o, "body");
  ASSERT_EQ(cell_count(body), 6u);
  const Type types[] = {TYPE_SET_WORD, TYPE_INTEGER, TYPE_SET_WORD, TYPE_LIT_WORD, TYPE_SET_WORD,
                        TYPE_LIT_PATH};
  for (u32 i = 0; i < 6; ++i) EXPECT_EQ(type_of(cell_at(body, i)), types[i]) << i;
  EXPECT_FALSE(logic::flag(reflect(o, "owner")));
  EXPECT_FALSE(logic::flag(reflect(o, "events?")));

  Cell two = integer_cell(2);
  assign(o, "a", &two);
  Cell* changed = reflect(o, "changed");
  ASSERT_EQ(cell_count(changed), 1u);
  EXPECT_EQ(spelling(cell_at(changed, 0)), "a");
  Cell field_word = word_cell("changed");
  Cell none;
  make_none(&none);
  actions::handler<act::Modify>(o, ACT_modify)(o, &field_word, &none, false);
  EXPECT_EQ(cell_count(reflect(o, "changed")), 0u);
  auto modify = actions::handler<act::Modify>(o, ACT_modify);
  auto r = caught([&] { modify(o, &field_word, &two, false); });
  ASSERT_TRUE(r);
  EXPECT_EQ(r->id, Err::script_invalid_arg);
  EXPECT_EQ(raised([&] { reflect(o, "spec"); }), Err::internal_not_done);
}

// ---- form and mold ----------------------------------------------------------------------

TEST_F(ObjectTest, FormAndMold) {
  Cell* empty = make_object("[]");
  EXPECT_EQ(molded(empty), "make object! []");
  EXPECT_EQ(formed(empty), "");

  Cell* o = make_object("[a: 1 b: \"x\" c: d]");
  EXPECT_EQ(molded(o), "make object! [\n    a: 1\n    b: \"x\"\n    c: 'd\n]");
  EXPECT_EQ(formed(o), "a: 1\nb: \"x\"\nc: 'd");
  EXPECT_EQ(molded(o, {.flat = true}), "make object! [a: 1 b: \"x\" c: 'd]");
  EXPECT_EQ(molded(o, {.only = true}), "a: 1\nb: \"x\"\nc: 'd");

  Cell* inner = make_object("[b: 2]");
  Cell* outer = make_object("[a: 1 o: (0)]", {inner});
  EXPECT_EQ(molded(outer),
            "make object! [\n    a: 1\n    o: make object! [\n        b: 2\n    ]\n]");

  Cell* fn = handler_function("[word old new]");
  Cell* watched = make_object("[a: 1 on-change*: (0)]", {fn});
  EXPECT_EQ(molded(watched), "make object! [\n    a: 1\n]");
  EXPECT_EQ(formed(watched), "a: 1");
  std::string with_handlers = molded(watched, {.all = true});
  EXPECT_NE(with_handlers.find("on-change*: func [word old new]"), std::string::npos);
  Cell* only_handler = make_object("[on-change*: (0)]", {fn});
  EXPECT_EQ(molded(only_handler), "make object! []");

  Cell* loop = make_object("[me: none]");
  assign(loop, "me", loop);
  EXPECT_EQ(molded(loop), "make object! [\n    me: make object! [...]\n]");
  EXPECT_EQ(formed(loop), "me: make object! [...]");

  // With a part limit the walk stops once the budget is spent.
  Cell* long_one = make_object("[a: 1 b: 2 c: 3 d: 4]");
  std::string cut = printed(long_one, true, {}, 20);
  EXPECT_EQ(cut.find("c:"), std::string::npos);
}

// ---- compare -----------------------------------------------------------------------------

TEST_F(ObjectTest, Compare) {
  Cell* o1 = make_object("[a: 1 b: 2]");
  Cell* o2 = make_object("[a: 1 b: 2]");
  Cell* o3 = make_object("[a: 1 b: 3]");
  Cell* fewer = make_object("[a: 1]");
  Cell* other_name = make_object("[a: 1 c: 2]");
  Cell* word_value = make_object("[a: 1 b: x]");
  Cell* lit_value = make_object("[a: 1 b: 'x]");
  Cell f;
  make_float(&f, 2.0);
  Cell* float_value = make_object("[a: 1 b: (0)]", {&f});
  EXPECT_TRUE(actions::compare(o1, o2, COMP_EQUAL));
  EXPECT_FALSE(actions::compare(o1, o2, COMP_SAME));
  EXPECT_TRUE(actions::compare(o1, o1, COMP_SAME));
  EXPECT_FALSE(actions::compare(o1, o3, COMP_EQUAL));
  EXPECT_TRUE(actions::compare(o1, o3, COMP_LESSER));
  EXPECT_TRUE(actions::compare(o1, fewer, COMP_LESSER));  // more words order first
  EXPECT_FALSE(actions::compare(o1, other_name, COMP_EQUAL));
  EXPECT_TRUE(actions::compare(word_value, lit_value, COMP_EQUAL));
  EXPECT_TRUE(actions::compare(o1, float_value, COMP_EQUAL));
  Cell one = integer_cell(1);
  EXPECT_FALSE(actions::compare(o1, &one, COMP_EQUAL));
  EXPECT_TRUE(actions::compare(make_object("[]"), make_object("[]"), COMP_EQUAL));

  // Objects that contain themselves compare without looping.
  Cell* l1 = make_object("[me: none]");
  Cell* l2 = make_object("[me: none]");
  assign(l1, "me", l1);
  assign(l2, "me", l2);
  EXPECT_TRUE(actions::compare(l1, l2, COMP_EQUAL));
}

// ---- path access, select, put ------------------------------------------------------------

TEST_F(ObjectTest, PathAccess) {
  Cell* fn = handler_function("[word old new]");
  Cell* o = make_object("[a: 1 u: none on-change*: (0)]", {fn});
  assign(o, "u", &values::unset_cell);
  g_calls.clear();
  Cell* path = load("o/a");
  Cell* element = stack::push_cell(cell_at(path, 1));
  PathStep step{path, 1, true, false, false};

  EXPECT_EQ(int_of(actions::eval_path(o, element, nullptr, step)), 1);
  EXPECT_EQ(word::context_of(element), object::context_of(o));  // rebound to the object
  Cell nine = integer_cell(9);
  actions::eval_path(o, element, &nine, step);
  EXPECT_EQ(int_of(field(o, "a")), 9);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(int_of(&arg(0, 1)), 1);
  EXPECT_EQ(int_of(&arg(0, 2)), 9);

  Cell u = word_cell("u");
  auto r = caught([&] { actions::eval_path(o, &u, nullptr, step); });
  ASSERT_TRUE(r);
  EXPECT_EQ(r->id, Err::script_unset_path);
  Cell absent = word_cell("zz");
  r = caught([&] { actions::eval_path(o, &absent, nullptr, step); });
  ASSERT_TRUE(r);
  EXPECT_EQ(r->id, Err::script_invalid_path);
  EXPECT_EQ(spelling(&r->arg1), "zz");
  Cell two = integer_cell(2);
  EXPECT_EQ(raised([&] { actions::eval_path(o, &two, nullptr, step); }),
            Err::script_invalid_path);
  Cell self = word_cell("self");
  EXPECT_EQ(raised([&] { actions::eval_path(o, &self, &two, step); }),
            Err::script_invalid_path);

  auto select = [&](Cell* key) {
    auto handler = actions::handler<act::Find>(o, ACT_select);
    return handler(o, key, {});
  };
  Cell a = word_cell("A", TYPE_LIT_WORD);
  EXPECT_EQ(int_of(select(&a)), 9);
  EXPECT_TRUE(is_none(select(&absent)));
  r = caught([&] { select(&two); });
  ASSERT_TRUE(r);
  EXPECT_EQ(r->id, Err::script_invalid_type);
  EXPECT_EQ(datatype_of(&r->arg1), TYPE_INTEGER);

  auto put = [&](Cell* key, Cell* value) {
    return actions::handler<act::Put>(o, ACT_put)(o, key, value, false);
  };
  g_calls.clear();
  Cell key = word_cell("a", TYPE_SET_WORD);
  put(&key, &two);
  EXPECT_EQ(int_of(field(o, "a")), 2);
  EXPECT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(raised([&] { put(&two, &two); }), Err::script_invalid_key_type);
  EXPECT_EQ(raised([&] { put(&absent, &two); }), Err::script_invalid_path);
}

// ---- on-change* ------------------------------------------------------------------------

TEST_F(ObjectTest, AnObjectWithoutHandlersCallsNothing) {
  Cell* o = make_object("[a: 1]");
  EXPECT_EQ(object::on_set_of(o), 0u);
  Cell two = integer_cell(2);
  assign(o, "a", &two);
  EXPECT_EQ(int_of(field(o, "a")), 2);
  EXPECT_TRUE(g_calls.empty());
}

TEST_F(ObjectTest, OnChangeGetsTheWordOfTheObjectTheOldAndTheNewValue) {
  Cell* fn = handler_function("[word old new]");
  Cell* o = make_object("[a: 1 on-change*: (0)]", {fn});
  EXPECT_TRUE(logic::flag(reflect(o, "events?")));
  EXPECT_TRUE(g_calls.empty());  // nothing fires while the object is made
  Cell* derived = make_from(o, "[a: 2]");
  EXPECT_TRUE(g_calls.empty());  // nor while one is made from it
  EXPECT_NE(object::on_set_of(derived), 0u);
  Cell five = integer_cell(5);
  g_during_call = [&] { EXPECT_EQ(int_of(field(o, "a")), 5); };  // stored before the call
  assign(o, "a", &five);
  ASSERT_EQ(g_calls.size(), 1u);
  const Call& c = g_calls[0];
  EXPECT_EQ(c.name, "on-change*");
  EXPECT_EQ(c.owner_ctx, object::context_of(o));
  ASSERT_EQ(c.frame.size(), 3u);
  EXPECT_EQ(spelling(&c.frame[0]), "a");
  EXPECT_EQ(word::context_of(&c.frame[0]), object::context_of(o));
  EXPECT_EQ(int_of(&c.frame[1]), 1);
  EXPECT_EQ(int_of(&c.frame[2]), 5);

  // A word bound elsewhere reaches the handler bound to the object.
  g_during_call = nullptr;
  Cell global_a = word_cell("a");
  Cell* old_value = stack::push_cell(&five);
  Cell* new_value = stack::push_cell(&five);
  Cell* w = stack::push_cell(&global_a);
  object::fire_on_change(o, w, old_value, new_value);
  ASSERT_EQ(g_calls.size(), 2u);
  EXPECT_EQ(word::context_of(&arg(1, 0)), object::context_of(o));
  EXPECT_EQ(word::index_of(&arg(1, 0)), 0);
}

TEST_F(ObjectTest, OnChangeFramesHoldTheHandlersLocalsAndNoticeAReplacedHandler) {
  Cell* plain = handler_function("[word old new]");
  Cell* with_locals = handler_function("[word old new /local x y]");
  Cell* wider = handler_function("[word old new extra /only]");
  Cell* o = make_object("[a: 1 on-change*: (0)]", {plain});
  Cell one = integer_cell(1);
  assign(o, "a", &one);
  ASSERT_EQ(g_calls.back().frame.size(), 3u);
  Cell* info = mem::buffer_of(object::on_set_of(o))->cells();
  EXPECT_EQ(object::handler_packed(info), 1u << 16);  // slot 1, no locals
  EXPECT_EQ(object::handler_packed(mem::buffer_of(object::on_set_of(o))->cells() + 1), object::NO_HANDLER);

  // Replaced without firing; the next assignment counts its locals.
  Cell handler = word_cell("on-change*");
  context::bind_word(object::context_of(o), &handler);
  context::set(&handler, with_locals, object::context_of(o), false);
  assign(o, "a", &one);
  const std::vector<Cell>& frame = g_calls.back().frame;
  ASSERT_EQ(frame.size(), 6u);
  EXPECT_EQ(type_of(&frame[3]), TYPE_LOGIC);
  EXPECT_TRUE(is_none(&frame[4]));
  EXPECT_TRUE(is_none(&frame[5]));
  info = mem::buffer_of(object::on_set_of(o))->cells();
  EXPECT_EQ(object::handler_packed(info), (1u << 16) | 3u);
  EXPECT_EQ(object::handler_spec(info), function::spec_of(with_locals));

  // A handler taking more than the three arguments still gets every slot.
  context::set(&handler, wider, object::context_of(o), false);
  assign(o, "a", &one);
  const std::vector<Cell>& wide = g_calls.back().frame;
  ASSERT_EQ(wide.size(), 5u);
  EXPECT_TRUE(is_none(&wide[3]));
  EXPECT_EQ(type_of(&wide[4]), TYPE_LOGIC);

  // A handler word holding no function.
  Cell seven = integer_cell(7);
  context::set(&handler, &seven, object::context_of(o), false);
  auto r = caught([&] { assign(o, "a", &one); });
  ASSERT_TRUE(r);
  EXPECT_EQ(r->id, Err::script_invalid_obj_evt);
  EXPECT_EQ(int_of(&r->arg1), 7);
}

TEST_F(ObjectTest, HandlerWordsMustHoldFunctionsWhenTheObjectIsMade) {
  Cell seven = integer_cell(7);
  auto r = caught([&] { make_object("[a: 1 on-change*: (0)]", {&seven}); });
  ASSERT_TRUE(r);
  EXPECT_EQ(r->id, Err::script_bad_field_set);
  EXPECT_EQ(spelling(&r->arg1), "on-change*");
  EXPECT_EQ(datatype_of(&r->arg2), TYPE_INTEGER);
}

TEST_F(ObjectTest, FireAfterSlotStores) {
  Cell* fn = handler_function("[word old new]");
  Cell* o = make_object("[a: 1 on-change*: (0)]", {fn});
  Cell a = word_cell("a");
  context::bind_word(object::context_of(o), &a);
  // A slot store that pushed the old value above the new one.
  Cell two = integer_cell(2), one = integer_cell(1);
  stack::push_cell(&two);
  stack::push_cell(&one);
  object::fire_on_word(&a);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(int_of(&arg(0, 1)), 1);
  EXPECT_EQ(int_of(&arg(0, 2)), 2);
  object::fire_on_top(o, &a);  // old below, new on top
  ASSERT_EQ(g_calls.size(), 2u);
  EXPECT_EQ(int_of(&arg(1, 1)), 2);
  EXPECT_EQ(int_of(&arg(1, 2)), 1);
}

// ---- on-deep-change* ----------------------------------------------------------------------

Cell* watched_object() {
  Cell* fn = handler_function("[owner word target action new index part]");
  Cell* bits = bitset::make(stack::push_cell(make_integer(stack::push(), 16)), true);
  return make_object("[b: [1 2] s: \"ab\" bits: (1) on-deep-change*: (0)]", {fn, bits});
}

TEST_F(ObjectTest, OnDeepChangeRunsForOwnedSeries) {
  Cell* o = watched_object();
  EXPECT_TRUE(logic::flag(reflect(o, "owner")));
  Cell* b = field(o, "b");
  EXPECT_TRUE(mem::buffer_of(series_node(b))->flags & mem::SERIES_OWNED);
  EXPECT_TRUE(mem::buffer_of(series_node(field(o, "s")))->flags & mem::SERIES_OWNED);

  Cell action = word_cell("append");
  Cell three = integer_cell(3);
  Cell* target = stack::push_cell(b);
  EXPECT_TRUE(ownership::check(target, &action, &three, 2, 1));
  ASSERT_EQ(g_calls.size(), 1u);
  const Call& c = g_calls[0];
  EXPECT_EQ(c.name, "on-deep-change*");
  ASSERT_EQ(c.frame.size(), 7u);
  EXPECT_EQ(object::context_of(&c.frame[0]), object::context_of(o));
  EXPECT_EQ(spelling(&c.frame[1]), "b");
  EXPECT_EQ(series_node(&c.frame[2]), series_node(b));
  EXPECT_EQ(spelling(&c.frame[3]), "append");
  EXPECT_EQ(int_of(&c.frame[4]), 3);
  EXPECT_EQ(int_of(&c.frame[5]), 2);
  EXPECT_EQ(int_of(&c.frame[6]), 1);
  // Without a new value the handler gets none.
  EXPECT_TRUE(ownership::check(target, &action, nullptr, 0, 0));
  EXPECT_TRUE(is_none(&arg(1, 4)));

  // Released series report nothing.
  Cell owned = word_cell("owned");
  Cell none;
  make_none(&none);
  actions::handler<act::Modify>(o, ACT_modify)(o, &owned, &none, false);
  EXPECT_FALSE(mem::buffer_of(series_node(b))->flags & mem::SERIES_OWNED);
  EXPECT_FALSE(ownership::check(target, &action, nullptr, 0, 0));
  EXPECT_EQ(g_calls.size(), 2u);
  // And "owner" makes them owned again.
  Cell owner_word = word_cell("owner");
  actions::handler<act::Modify>(o, ACT_modify)(o, &owner_word, &none, false);
  EXPECT_TRUE(ownership::check(target, &action, nullptr, 0, 0));
}

TEST_F(ObjectTest, SeriesActionsReportBeforeAndAfterTheChange) {
  Cell three = integer_cell(3), one = integer_cell(1);
  struct Case {
    const char* field;
    std::function<void(Cell*)> act;
    const char* before;
    const char* after;
    i32 index, part;  // of the first event
    bool new_value;   // the first event carries 3
  };
  const Case cases[] = {
      {"b",
       [&](Cell* v) {
         actions::handler<act::Insert>(v, ACT_append)(v, &three, -1, false, 1, true);
       },
       "append", "appended", 2, 1, true},
      {"b", [&](Cell* v) { actions::handler<act::Poke>(v, ACT_poke)(v, 2, &one, &three); },
       "poke", "poked", 1, 1, true},
      {"b", [&](Cell* v) { actions::handler<act::Remove>(v, ACT_remove)(v, nullptr, nullptr); },
       "remove", "removed", 0, 1, false},
      {"b", [&](Cell* v) { actions::handler<act::Unary>(v, ACT_clear)(v); },
       "clear", "cleared", 0, 2, false},
      {"s", [&](Cell* v) { actions::handler<act::Unary>(v, ACT_clear)(v); },
       "clear", "cleared", 0, 2, false},
      {"bits",
       [&](Cell* v) {
         actions::handler<act::Insert>(v, ACT_insert)(v, &three, -1, false, 1, false);
       },
       "insert", "inserted", 0, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    g_calls.clear();
    Cell* o = watched_object();
    Cell* target = stack::push_cell(field(o, c.field));
    // The first event comes before the change, the second after it.
    std::vector<bool> changed;
    Cell* before = stack::push_cell(field(o, c.field));
    std::string was = molded(before);
    g_during_call = [&] { changed.push_back(molded(field(o, c.field)) != was); };
    c.act(target);
    g_during_call = nullptr;
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(changed, (std::vector<bool>{false, true}));
    EXPECT_EQ(object::context_of(&arg(0, 0)), object::context_of(o));
    EXPECT_EQ(spelling(&arg(0, 1)), c.field);
    EXPECT_EQ(series_node(&arg(0, 2)), series_node(target));
    EXPECT_EQ(spelling(&arg(0, 3)), c.before);
    EXPECT_EQ(spelling(&arg(1, 3)), c.after);
    if (c.new_value) {
      EXPECT_EQ(int_of(&arg(0, 4)), 3);
    } else {
      EXPECT_TRUE(is_none(&arg(0, 4)));
    }
    EXPECT_EQ(int_of(&arg(0, 5)), c.index);
    EXPECT_EQ(int_of(&arg(0, 6)), c.part);
  }
}

TEST_F(ObjectTest, DeepEventsNeedOnSetInfoAndSkipNonFunctions) {
  Cell* plain = make_object("[b: [1]]");
  Cell w = word_cell("b");
  Cell* target = stack::push_cell(field(plain, "b"));
  Cell action = word_cell("append");
  auto r = caught([&] { object::fire_on_deep_change(plain, &w, target, &action, nullptr, 0, 0); });
  ASSERT_TRUE(r);
  EXPECT_EQ(r->id, Err::script_invalid_obj_evt);
  EXPECT_EQ(object::context_of(&r->arg1), object::context_of(plain));

  Cell* o = watched_object();
  Cell handler = word_cell("on-deep-change*");
  context::bind_word(object::context_of(o), &handler);
  Cell seven = integer_cell(7);
  context::set(&handler, &seven, object::context_of(o), false);
  EXPECT_FALSE(raised([&] { object::fire_on_deep_change(o, &w, target, &action, nullptr, 0, 0); }));
  EXPECT_TRUE(g_calls.empty());
}

TEST_F(ObjectTest, OwnedByAnotherObject) {
  Cell* outer = watched_object();
  Cell* inner = make_object("[items: [1 2]]");
  Cell* spec = load("[(0) w]");
  copy_cell(outer, cell_at(spec, 0));
  Cell owned = word_cell("owned");
  actions::handler<act::Modify>(inner, ACT_modify)(inner, &owned, spec, false);
  Cell* items = stack::push_cell(field(inner, "items"));
  Cell* owner = ownership::owner_of(series_node(items));
  ASSERT_NE(owner, nullptr);
  EXPECT_EQ(object::context_of(owner), object::context_of(outer));
  Cell action = word_cell("append");
  EXPECT_TRUE(ownership::check(items, &action, nullptr, 0, 0));
  EXPECT_EQ(object::context_of(&g_calls.back().frame[0]), object::context_of(outer));
  Cell one = integer_cell(1);
  EXPECT_EQ(raised([&] {
              actions::handler<act::Modify>(inner, ACT_modify)(inner, &owned, &one, false);
            }),
            Err::script_invalid_arg);
}

// ---- set and construct ------------------------------------------------------------------

TEST_F(ObjectTest, SetValues) {
  struct Case {
    const char* value;
    bool any, only, some;
    std::optional<Err> error;
    const char* result;  // the object molded /only /flat
  };
  const Case cases[] = {
      {"[1 2]", false, false, false, {}, "a: 1 b: 2 c: none"},
      {"[1 2 3 4]", false, false, false, {}, "a: 1 b: 2 c: 3"},
      {"[1 #(none) 3]", false, false, true, {}, "a: 1 b: 0 c: 3"},
      {"[1 2]", false, true, false, {}, "a: [1 2] b: [1 2] c: [1 2]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    Cell* o = make_object("[a: 0 b: 0 c: 0]");
    Cell* v = load(c.value);
    auto r = caught([&] { object::set_values(o, v, c.any, c.only, c.some); });
    EXPECT_EQ(raised_id(r), c.error);
    EXPECT_EQ(molded(o, {.only = true, .flat = true}), c.result);
  }

  // An unset value stops everything before the first assignment, unless any.
  Cell* o = make_object("[a: 0 b: 0]");
  Cell* v = load("[1 2]");
  make_unset(cell_at(v, 1));
  auto r = caught([&] { object::set_values(o, v, false, false, false); });
  ASSERT_TRUE(r);
  EXPECT_EQ(r->id, Err::script_need_value);
  EXPECT_EQ(spelling(&r->arg1), "b");
  EXPECT_EQ(int_of(field(o, "a")), 0);
  object::set_values(o, v, true, false, false);
  EXPECT_EQ(int_of(field(o, "a")), 1);
  EXPECT_TRUE(is_unset(field(o, "b")));

  // From an object: the fields of the same names, whatever their case.
  Cell* from = make_object("[B: 5 z: 6]");
  object::set_values(o, from, false, false, false);
  EXPECT_EQ(int_of(field(o, "b")), 5);
  EXPECT_EQ(int_of(field(o, "a")), 1);

  // Each assignment fires on-change*, except that of a handler word (which
  // takes none here, past the block's end).
  Cell* fn = handler_function("[word old new]");
  Cell* watched = make_object("[a: 0 b: 0 on-change*: (0)]", {fn});
  Cell* two = load("[1 2]");
  object::set_values(watched, two, false, false, false);
  ASSERT_EQ(g_calls.size(), 2u);
  EXPECT_EQ(spelling(&arg(1, 0)), "b");
  EXPECT_EQ(int_of(&arg(1, 2)), 2);
  EXPECT_EQ(cell_count(reflect(watched, "changed")), 3u);
  EXPECT_TRUE(is_none(field(watched, "on-change*")));
}

TEST_F(ObjectTest, ConstructTakesValuesUnevaluated) {
  Cell* spec = load("[a: 1 b: c: x d: none e: true f: off g: 'w h:]");
  Cell* o = object::construct(spec, nullptr, false);
  EXPECT_EQ(int_of(field(o, "a")), 1);
  EXPECT_EQ(type_of(field(o, "b")), TYPE_WORD);
  EXPECT_EQ(spelling(field(o, "c")), "x");
  EXPECT_TRUE(is_none(field(o, "d")));
  EXPECT_EQ(type_of(field(o, "e")), TYPE_LOGIC);
  EXPECT_TRUE(logic::flag(field(o, "e")));
  EXPECT_FALSE(logic::flag(field(o, "f")));
  EXPECT_EQ(type_of(field(o, "g")), TYPE_LIT_WORD);
  EXPECT_TRUE(is_none(field(o, "h")));
  EXPECT_EQ(object::on_set_of(o), 0u);

  Cell* kept = object::construct(load("[d: none e: true]"), nullptr, true);
  EXPECT_EQ(type_of(field(kept, "d")), TYPE_WORD);
  EXPECT_EQ(type_of(field(kept, "e")), TYPE_WORD);

  Cell* with = object::construct(load("[z: 2]"), o, false);
  EXPECT_EQ(int_of(field(with, "a")), 1);
  EXPECT_EQ(int_of(field(with, "z")), 2);
  EXPECT_EQ(field(o, "z"), nullptr);
}

// ---- start-up helpers -------------------------------------------------------------------

TEST_F(ObjectTest, PrebuiltContextsBecomeObjects) {
  u32 ctx = context::make(2, false, true, 0, context::KIND_OBJECT);
  Cell* holder = stack::push();
  *holder = Cell{TYPE_OBJECT, ctx, 0, 0};  // keeps the context reachable
  i32 added = -1;
  Cell a = word_cell("a"), handler = word_cell("on-change*");
  context::find_in_node(ctx, word::symbol_of(&a), true, &added);
  context::find_in_node(ctx, word::symbol_of(&handler), true, &added);
  Cell* o = object::push_with_id(ctx, 406);
  EXPECT_EQ(object::class_of(o), 406);
  EXPECT_TRUE(is_unset(context::slot(ctx, 0)));
  EXPECT_EQ(object::class_of(context::self_slot(ctx)), 406);
  Cell* fn = handler_function("[word old new /local x]");
  copy_cell(fn, context::slot(ctx, 1));
  stack::push_cell(o);
  object::make_on_set(1, 2, -1, 0);
  Cell* made = stack::last();
  EXPECT_EQ(object::handler_packed(mem::buffer_of(object::on_set_of(made))->cells()), (1u << 16) | 2u);
  EXPECT_EQ(object::on_set_of(context::self_slot(ctx)), object::on_set_of(made));
  EXPECT_FALSE(object::has_deep_handler(made));
}

}  // namespace
