// Symbols and their case aliases, contexts (binding, assignment, change
// events, stack-based values), the word family and the runtime's words.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/function.hpp"
#include "datatypes/object.hpp"
#include "datatypes/context.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "runtime/unicode.hpp"
#include "runtime/words.hpp"
#include "tests/unit/test_support.hpp"

namespace symbol_context_word_test {

using namespace qel;
using namespace qel::test;

namespace {

std::string spelled(u32 sym) { return std::string(symbol::name(sym)); }

// A block of the given cells, held by a rooted cell.
struct Block {
  roots::LocalCell cell;
  explicit Block(std::initializer_list<Cell> cells) {
    make_series(cell.get(), TYPE_BLOCK, mem::alloc_cells(u32(cells.size()) + 1));
    for (const Cell& c : cells) *mem::alloc_tail_cell(series_node(cell.get())) = c;
  }
  Cell* at(u32 i) { return mem::buffer_of(series_node(cell.get()))->cells() + i; }
};

// An object context with its object cell in the self slot (change handlers
// when asked), rooted through the cell.
struct Object {
  roots::LocalCell cell;
  explicit Object(bool handlers) {
    make_object_at(cell.get(), 4, handlers);
    copy_cell(cell.get(), context::self_slot(ctx()));
  }
  u32 ctx() const { return object::context_of(&cell.cell); }
};

// The form (or mold) of the value; the handler answers its budget less the
// characters it wrote.
std::string shown(Cell v, bool mold) {
  i32 left = 0;
  std::string s = printed(&v, mold, {}, -1, &left);
  const u8* p = reinterpret_cast<const u8*>(s.data());
  EXPECT_EQ(left, 0x7FFFFFFF - i32(unicode::count_utf8_chars(p, p + s.size()))) << s;
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------------
// Symbols

TEST(Symbols, CaseVariantsAliasTheFirstSpelling) {
  Guard guard;
  u32 foo = symbol::make("zfoo");
  u32 Foo = symbol::make("Zfoo");
  u32 FOO = symbol::make("ZFOO");
  EXPECT_NE(foo, Foo);
  EXPECT_NE(Foo, FOO);
  EXPECT_LE(symbol::alias(foo), 0);
  EXPECT_EQ(symbol::alias(Foo), i32(foo));
  EXPECT_EQ(symbol::alias(FOO), i32(foo)) << "an alias names the canonical symbol, not Foo";
  for (u32 s : {foo, Foo, FOO}) EXPECT_EQ(symbol::resolve(s), foo);
  EXPECT_EQ(symbol::make("Zfoo"), Foo) << "the exact spelling is found again";
  EXPECT_EQ(symbol::make_any_case("zFOO"), foo);
  EXPECT_EQ(spelled(Foo), "Zfoo");

  u32 bar = symbol::make_any_case("zBar");  // new: canonical as written
  EXPECT_LE(symbol::alias(bar), 0);
  EXPECT_EQ(symbol::alias(symbol::make("zbar")), i32(bar));

  // Only ASCII letters fold: e-acute in either case are unrelated.
  u32 e = symbol::make("\xC3\xA9t\xC3\xA9"), E = symbol::make("\xC3\x89t\xC3\x89");
  EXPECT_NE(e, E);
  EXPECT_LE(symbol::alias(E), 0);

  u32 empty = symbol::make("");
  EXPECT_EQ(symbol::make(""), empty);
  EXPECT_EQ(spelled(empty), "");

  // A NUL inside a name is part of it.
  u32 with_nul = symbol::make_from_string("a\0b", 3);
  EXPECT_NE(with_nul, symbol::make("a"));
  EXPECT_EQ(symbol::make_from_string("a\0b", 3), with_nul);

  u32 node = symbol::cache_string(Foo);
  EXPECT_EQ(symbol::cache_string(Foo), node) << "one string per symbol";
  Cell s;
  make_series(&s, TYPE_STRING, node);
  EXPECT_EQ(string::to_utf8(&s), "Zfoo");
}

TEST(Symbols, TheTableGrowsAndKeepsEveryId) {
  bool boot = runtime::boot_flag;
  runtime::boot_flag = false;
  u32 buckets = hash::record(symbol::table)->n_buckets;
  std::vector<u32> ids;
  for (int i = 0; i < 14000; ++i) {
    std::string name = "grow-sym-" + std::to_string(i);
    ids.push_back(symbol::make(name.c_str()));
  }
  EXPECT_GT(hash::record(symbol::table)->n_buckets, buckets);
  for (int i = 0; i < 14000; i += 7) {
    std::string name = "grow-sym-" + std::to_string(i);
    ASSERT_EQ(symbol::make(name.c_str()), ids[size_t(i)]);
    name[0] = 'G';
    u32 variant = symbol::make(name.c_str());
    ASSERT_EQ(symbol::resolve(variant), ids[size_t(i)]) << name;
  }
  EXPECT_EQ(symbol::resolve(symbol::make("ZFOO")), symbol::make("zfoo"));
  gc::do_cycle();
  EXPECT_EQ(spelled(ids[13999]), "grow-sym-13999");
  runtime::boot_flag = boot;
}

// ---------------------------------------------------------------------------------
// Contexts

TEST(Contexts, ZeroSlotsHaveRoomForOne) {
  u32 ctx = context::make(0, false, false, 0, context::KIND_OBJECT);
  roots::NodeRoot hold(&ctx);
  EXPECT_GE(mem::buffer_of(context::record_values(context::record_of(ctx)))->size, 16u);
  Cell w = unbound_word("only-one");
  EXPECT_EQ(context::bind_or_add(ctx, &w), 0);
  EXPECT_EQ(context::word_count(ctx), 1u);
  EXPECT_TRUE(is_unset(context::slot(ctx, 0)));
  // A word added without a value still gets a slot when it is set.
  Cell later = unbound_word("added-bare");
  i32 index = -1;
  EXPECT_EQ(context::find_in_node(ctx, word::symbol_of(&later), false, &index), -1);
  EXPECT_EQ(index, 1);
  Cell v;
  make_integer(&v, 8);
  word::set_binding(&later, ctx, index);
  EXPECT_EQ(int_of(context::set(&later, &v, ctx, false)), 8);
  EXPECT_EQ(int_of(word::get_value_cell(&later)), 8);
}

TEST(Contexts, CaseVariantsShareOneSlot) {
  Guard guard;
  Object obj(false);
  Cell alpha = unbound_word("Alpha");
  ASSERT_EQ(context::bind_or_add(obj.ctx(), &alpha), 0);
  Cell upper = unbound_word("ALPHA");
  Cell v;
  make_integer(&v, 42);
  context::set(&upper, &v, obj.ctx(), true);
  EXPECT_EQ(word::index_of(&upper), 0) << "looked up and stored in the word";
  EXPECT_EQ(int_of(context::slot(obj.ctx(), 0)), 42);
  EXPECT_EQ(context::word_count(obj.ctx()), 1u);
  EXPECT_EQ(context::find_word(obj.ctx(), word::symbol_of(&upper), false), -1);
  EXPECT_EQ(context::find_word(obj.ctx(), word::symbol_of(&upper), true), 0);

  // Global words: a case variant keeps its spelling and the slot of its class.
  Cell print = *intern_word("zprint");
  Cell Print = *intern_word("Zprint");
  EXPECT_EQ(spelled(word::symbol_of(&Print)), "Zprint");
  EXPECT_EQ(word::index_of(&Print), word::index_of(&print));
  Cell added = *context::add_global(symbol::make("ZPRINT"));
  EXPECT_EQ(word::index_of(&added), word::index_of(&print)) << "an exact-spelling add reaches the same slot";
  make_integer(&v, 7);
  word::set(&added, &v);
  EXPECT_EQ(int_of(word::get_value_cell(&print)), 7);
  Cell looked_up = *context::get_or_add_global(context::global, word::symbol_of(&Print));
  EXPECT_EQ(word::index_of(&looked_up), word::index_of(&print));

  // After start-up, variant lookups leave the root block alone.
  bool boot = runtime::boot_flag;
  runtime::boot_flag = false;
  u32 root_used = mem::buffer_of(runtime::root_node)->used();
  for (int i = 0; i < 10; ++i) context::add_global(word::symbol_of(&Print));
  EXPECT_EQ(mem::buffer_of(runtime::root_node)->used(), root_used);
  runtime::boot_flag = boot;
}

TEST(Contexts, BindingReachesSelfAndEndsOnCycles) {
  Object obj(false);
  Cell x = unbound_word("bx");
  context::bind_or_add(obj.ctx(), &x);
  Block inner({unbound_word("bx"), unbound_word("elsewhere")});
  Block outer({unbound_word("BX", TYPE_SET_WORD), unbound_word("self"), inner.cell.cell});
  *mem::alloc_tail_cell(series_node(outer.cell.get())) = outer.cell.cell;  // the block holds itself
  context::bind_block(obj.ctx(), outer.cell.get(), true);
  EXPECT_EQ(word::context_of(outer.at(0)), obj.ctx());
  EXPECT_EQ(word::index_of(outer.at(0)), 0);
  EXPECT_EQ(word::context_of(inner.at(0)), obj.ctx()) << "nested blocks are bound";
  EXPECT_EQ(word::context_of(inner.at(1)), 0u) << "a symbol the context lacks stays as it was";
  Cell self = *outer.at(1);
  EXPECT_EQ(word::context_of(&self), obj.ctx());
  EXPECT_EQ(word::index_of(&self), -1);
  EXPECT_EQ(word::get_value_cell(&self), context::self_slot(obj.ctx()));
  EXPECT_EQ(type_of(word::get_value_cell(&self)), TYPE_OBJECT);
}

namespace {
// Every word of two blocks of one shape agrees in type, context and index
// (nested blocks, parens and paths compared in step, from their heads).
void expect_same_binding(const Cell* a, const Cell* b, const std::string& where) {
  ASSERT_EQ(cell_count(a), cell_count(b)) << where;
  for (u32 i = 0; i < cell_count(a); ++i) {
    const Cell* x = mem::buffer_of(series_node(a))->cells() + i;
    const Cell* y = mem::buffer_of(series_node(b))->cells() + i;
    std::string at = where + " cell " + std::to_string(i);
    ASSERT_EQ(type_of(x), type_of(y)) << at;
    if (is_any_block_type(type_of(x))) {
      expect_same_binding(x, y, at);
    } else if (type_of(x) >= TYPE_WORD && type_of(x) <= TYPE_REFINEMENT) {
      EXPECT_EQ(word::context_of(x), word::context_of(y)) << at << " " << spelling(x);
      EXPECT_EQ(word::index_of(x), word::index_of(y)) << at << " " << spelling(x);
    }
  }
}
}  // namespace

// Binding to several contexts at once (how a function copied for a new
// object is bound) leaves every word as binding to each context in turn,
// the last first, does: the first context holding the word wins, `self`
// names the self context unless an earlier context holds it, other words
// keep their binding, and nested blocks are bound from their index.
TEST(Contexts, BindingToSeveralContextsAtOnceEqualsBindingToEachInTurn) {
  Guard guard;
  u32 fn = function::context_of(make_function("[a b /c d]", "[]"));
  u32 fn_self = function::context_of(make_function("[a self]", "[]"));
  Object obj(false), obj_self(false);
  for (const char* name : {"A", "e", "f", "x"}) {
    Cell w = unbound_word(name);
    context::bind_or_add(obj.ctx(), &w);
  }
  for (const char* name : {"e", "self"}) {
    Cell w = unbound_word(name);
    context::bind_or_add(obj_self.ctx(), &w);
  }
  Cell* source = load(
      "[a b c d e f X self self: 'self :self /self A E [a e (self x f/e/a) [a d]] "
      "z a/e/self 'e :a /d e: /c]");
  // The innermost block is read from its second cell: its `a` stays as it is.
  Cell* inner = cell_at(cell_at(source, 16), 3);
  set_series_index(inner, 1);
  struct Case {
    const char* name;
    std::vector<u32> order;
    u32 self_ctx;
  };
  const Case cases[] = {
      {"function then object, self", {fn, obj.ctx()}, obj.ctx()},
      {"function alone", {fn}, 0},
      {"object alone, self", {obj.ctx()}, obj.ctx()},
      {"function holding self", {fn_self, obj.ctx()}, obj.ctx()},
      {"object holding self", {fn, obj_self.ctx()}, obj_self.ctx()},
      {"object first", {obj.ctx(), fn}, obj.ctx()},
      {"self context last of three", {fn, obj_self.ctx(), obj.ctx()}, obj.ctx()},
      {"no self", {fn, obj.ctx()}, 0},
  };
  for (const Case& c : cases) {
    Cell* one_by_one = block::clone(source, true, true);
    Cell* at_once = block::clone(source, true, true);
    for (size_t r = c.order.size(); r-- > 0;) {
      context::bind_block(c.order[r], one_by_one, c.order[r] == c.self_ctx);
    }
    context::bind_block_first(c.order.data(), u32(c.order.size()), c.self_ctx, at_once);
    expect_same_binding(one_by_one, at_once, c.name);
    stack::pop(2);
  }
}

namespace {
struct Change {
  u32 ctx, word;
  i32 old_value, new_value;
};
std::vector<Change> g_changes;
void record_change(Cell* object, Cell* word, Cell* old_value, Cell* new_value) {
  g_changes.push_back({object::context_of(object), word::symbol_of(word), is_unset(old_value) ? -1 : int_of(old_value),
                       int_of(new_value)});
}
// Stands in for the objects' change handler for its scope, and puts the
// runtime's own back.
struct ChangeHook {
  decltype(context::on_change) saved = context::on_change;
  ChangeHook() {
    g_changes.clear();
    context::on_change = record_change;
  }
  ~ChangeHook() { context::on_change = saved; }
};
}  // namespace

TEST(Contexts, SettingAnObjectWordFiresOnChange) {
  Guard guard;
  ChangeHook hook;
  struct Case { bool handlers, fire; size_t events; };
  for (Case c : {Case{true, true, 2}, Case{true, false, 0}, Case{false, true, 0}}) {
    g_changes.clear();
    Object obj(c.handlers);
    Cell w = unbound_word("watched");
    context::bind_or_add(obj.ctx(), &w);
    Cell v;
    make_integer(&v, 1);
    context::set(&w, &v, obj.ctx(), c.fire);
    make_integer(&v, 2);
    Cell* slot = context::set(&w, &v, obj.ctx(), c.fire);
    EXPECT_EQ(int_of(slot), 2);
    EXPECT_TRUE(context::symbol_cell(obj.ctx(), 0)->header & context::WORD_ASSIGNED);
    ASSERT_EQ(g_changes.size(), c.events) << c.handlers << c.fire;
    if (c.events) {
      EXPECT_EQ(g_changes[0].ctx, obj.ctx());
      EXPECT_EQ(g_changes[0].word, word::symbol_of(&w));
      EXPECT_EQ(g_changes[0].old_value, -1);
      EXPECT_EQ(g_changes[0].new_value, 1);
      EXPECT_EQ(g_changes[1].old_value, 1);
      EXPECT_EQ(g_changes[1].new_value, 2);
    }
  }
  // word/set fires; the global context never does.
  Object obj(true);
  Cell w = unbound_word("via-word");
  context::bind_or_add(obj.ctx(), &w);
  context::bind_word(obj.ctx(), &w);
  Cell v;
  make_integer(&v, 3);
  g_changes.clear();
  word::set(&w, &v);
  EXPECT_EQ(g_changes.size(), 1u);
  Cell g = *intern_word("global-quiet");
  word::set(&g, &v);
  EXPECT_EQ(g_changes.size(), 1u);
}

TEST(Contexts, StackBasedValuesLiveInTheRunningCall) {
  Guard guard;
  Block spec({unbound_word("sa"), unbound_word("sb"), unbound_word("note-string", TYPE_SET_WORD),
              unbound_word("sc", TYPE_REFINEMENT)});
  u32 ctx = context::make_from_spec(spec.cell.get(), true, false, context::KIND_FUNCTION);
  roots::NodeRoot hold(&ctx);
  EXPECT_EQ(context::word_count(ctx), 3u) << "set-words are not arguments";
  EXPECT_FALSE(context::has_values(ctx));
  Cell b = *context::symbol_cell(ctx, 1);
  EXPECT_EQ(raised([&] { word::get(&b); }), Err::script_not_in_context);
  Cell v;
  make_integer(&v, 5);
  EXPECT_EQ(raised([&] { word::set(&b, &v); }), Err::script_not_defined);
  EXPECT_EQ(raised([&] { context::push_value(ctx, 0); }), Err::script_not_defined);

  stack::init();
  Cell fn = unbound_word("fn");
  stack::mark_func(&fn, ctx);
  make_integer(stack::push(), 10);
  make_integer(stack::push(), 20);
  make_none(stack::push());
  stack::mark_native_ctx(&fn, ctx);
  EXPECT_EQ(int_of(word::get(&b)), 20);
  make_integer(&v, 21);
  word::set(&b, &v);
  EXPECT_EQ(int_of(stack::bottom + 1), 21) << "the frame cell itself";
  stack::unwind();
  stack::unwind_func();
  EXPECT_FALSE(context::has_values(ctx)) << "no call: no values";
  stack::init();
}

TEST(Contexts, CloneCopiesWordsAndValues) {
  Guard guard;
  Object obj(false);
  Cell w = unbound_word("cloned");
  context::bind_or_add(obj.ctx(), &w);
  context::bind_word(obj.ctx(), &w);
  Cell v;
  make_integer(&v, 9);
  word::set(&w, &v);
  roots::LocalCell copy;
  copy_cell(obj.cell.get(), copy.get());
  u32 ctx = context::clone(copy.get(), context::KIND_OBJECT);
  EXPECT_NE(ctx, obj.ctx());
  EXPECT_EQ(object::context_of(copy.get()), ctx);
  EXPECT_EQ(word::context_of(context::symbol_cell(ctx, 0)), ctx) << "the copy's words are its own";
  EXPECT_EQ(int_of(context::slot(ctx, 0)), 9);
  make_integer(&v, 10);
  Cell in_copy = *context::symbol_cell(ctx, 0);
  word::set(&in_copy, &v);
  EXPECT_EQ(int_of(context::slot(obj.ctx(), 0)), 9) << "the original is untouched";
}

TEST(Contexts, SettingAWordNotLookedUpKeepsAValueThatMoves) {
  // The value lies in a block's buffer (as foreach hands the cells of its
  // series); looking the word up adds it to the object, and the collection
  // that allocation makes moves the block: the value is read before.
  Guard guard;
  bool saved = gc::stress;
  gc::stress = true;
  Object obj(false);
  Block values({});
  Cell* text = load("\"kept across the move\"");
  copy_cell(text, mem::alloc_tail_cell(series_node(values.cell.get())));
  for (int i = 0; i < 40; ++i) {  // past the room the object was made with
    std::string name = "late-" + std::to_string(i);
    Cell w = unbound_word(name.c_str());
    word::set_binding(&w, obj.ctx(), -1);
    Cell* slot = context::set(&w, values.at(0), obj.ctx(), false);
    EXPECT_EQ(molded(slot), "\"kept across the move\"") << name;
  }
  gc::stress = saved;
}

TEST(Contexts, SlotStoresForCompiledCode) {
  Object obj(false);
  u32 ctx = obj.ctx();
  Cell a = unbound_word("slot-a");
  context::bind_or_add(ctx, &a);
  auto assigned = [&] { return bool(context::symbol_cell(ctx, 0)->header & context::WORD_ASSIGNED); };
  stack::init();
  make_integer(stack::push(), 5);
  context::store_slot(ctx, 0);
  EXPECT_EQ(int_of(context::slot(ctx, 0)), 5);
  EXPECT_EQ(int_of(stack::last()), 5) << "the value stays on the stack";
  EXPECT_TRUE(assigned());
  context::symbol_cell(ctx, 0)->header &= ~context::WORD_ASSIGNED;
  make_integer(stack::push(), 6);
  Cell* old = context::swap_slot(ctx, 0);
  EXPECT_EQ(int_of(old), 5);
  EXPECT_EQ(int_of(context::slot(ctx, 0)), 6);
  EXPECT_TRUE(assigned());
  make_unset(stack::push());
  set_slot_from_top_any(ctx, 0);
  EXPECT_TRUE(is_unset(context::slot(ctx, 0))) << "no unset check";
  EXPECT_EQ(stack::top, stack::base) << "the frame is dropped";
  EXPECT_TRUE(is_unset(context::push_value(ctx, 0)));
  stack::init();
}

TEST(Words, GetAndSetErrors) {
  Cell unset_word = *intern_word("never-set-here");
  Cell unbound = unbound_word("not-looked-up");
  word::set_binding(&unbound, context::global, word::index_of(&unbound));
  Cell set_target = *intern_word("set-target");
  u32 ctx = 0;
  struct Case { const char* what; std::function<void()> run; std::optional<Err> expect; };
  std::vector<Case> cases = {
      {"get of an unset word", [&] { word::get(&unset_word); }, Err::script_no_value},
      {"get-word/get of an unset word", [&] { get_word::get(&unset_word); }, std::nullopt},
      {"get of a word never looked up", [&] { word::get(&unbound); }, Err::script_no_value},
      {"set-args with unset",
       [&] {
         stack::push_cell(&set_target);
         make_unset(stack::push());
         word::set_args();
       },
       Err::script_need_value},
      {"set-word-from-top with unset",
       [&] {
         make_unset(stack::push());
         set_word_from_top(&set_target);
       },
       Err::script_need_value},
      {"set-slot-from-top with unset",
       [&] {
         make_unset(stack::push());
         set_slot_from_top(context::global, u32(word::index_of(&set_target)));
       },
       Err::script_need_value},
      {"get-path-value of an unset word",
       [&] { get_path_value(context::global, &unset_word); }, Err::script_no_value},
      {"context-slot without values",
       [&] {
         Block spec({unbound_word("p")});
         ctx = context::make_from_spec(spec.cell.get(), true, false, context::KIND_FUNCTION);
         context_slot(ctx, 0);
       },
       Err::script_not_defined},
  };
  for (Case& c : cases) EXPECT_EQ(raised(c.run), c.expect) << c.what;

  // The happy paths of the same helpers.
  stack::init();
  make_integer(stack::push(), 4);
  set_word_from_top_drop(&set_target);
  EXPECT_EQ(stack::top, stack::base) << "dropped";
  EXPECT_EQ(int_of(get_path_value(context::global, &set_target)), 4);
  stack::push_cell(&set_target);
  make_integer(stack::push(), 6);
  word::set_args();
  EXPECT_EQ(int_of(stack::base), 6) << "the value is the result";
  EXPECT_EQ(int_of(word::get(&set_target)), 6);
  stack::init();
}

// ---------------------------------------------------------------------------------
// The word datatypes

TEST(Words, FormAndMoldByType) {
  Guard guard;
  struct Case { Type type; const char* name; const char* form; const char* mold; };
  for (Case c : {Case{TYPE_WORD, "a", "a", "a"}, Case{TYPE_SET_WORD, "a", "a", "a:"},
                 Case{TYPE_LIT_WORD, "a", "a", "'a"}, Case{TYPE_GET_WORD, "a", "a", ":a"},
                 Case{TYPE_REFINEMENT, "a", "a", "/a"},
                 Case{TYPE_SET_WORD, "Caf\xC3\xA9", "Caf\xC3\xA9", "Caf\xC3\xA9:"}}) {
    Cell w = unbound_word(c.name, c.type);
    EXPECT_EQ(shown(w, false), c.form) << c.mold;
    EXPECT_EQ(shown(w, true), c.mold);
  }
}

TEST(Words, CompareByOperator) {
  Cell foo = *intern_word("cmp-foo");
  Cell Foo = *intern_word("Cmp-foo");
  Cell lit = foo, lit_Foo = Foo, set = foo, get = foo;
  set_type(&lit, TYPE_LIT_WORD);
  set_type(&lit_Foo, TYPE_LIT_WORD);
  set_type(&set, TYPE_SET_WORD);
  set_type(&get, TYPE_GET_WORD);
  Object obj(false);
  Cell elsewhere = foo;
  context::bind_or_add(obj.ctx(), &elsewhere);
  context::bind_word(obj.ctx(), &elsewhere);
  Cell issue{TYPE_ISSUE, 0, word::symbol_of(&foo), u32(-1)}, n;
  make_integer(&n, 1);
  Cell apple = unbound_word("apple"), banana = unbound_word("Banana");
  struct Case { const char* what; Cell a, b; i32 op, expect; };
  for (const Case& c : std::vector<Case>{
           {"case variants =", foo, Foo, COMP_EQUAL, 0},
           {"case variants ==", foo, Foo, COMP_STRICT_EQUAL, 1},
           {"word and lit-word =", foo, lit, COMP_EQUAL, 0},
           {"word and lit-word ==", foo, lit, COMP_STRICT_EQUAL, 1},
           {"word and lit-word, op 10", foo, lit, COMP_STRICT_EQUAL_WORD, 0},
           {"word and lit-word of a variant, op 10", foo, lit_Foo, COMP_STRICT_EQUAL_WORD, 1},
           {"word and lit-word of a variant, op 11", foo, lit_Foo, COMP_FIND, 0},
           {"set-word and get-word, op 11", set, get, COMP_FIND, 1},
           {"set-word and get-word, op 12", set, get, COMP_EQUAL_NO_CASE, 0},
           {"same word", foo, foo, COMP_SAME, 0},
           {"same spelling, other context", foo, elsewhere, COMP_SAME, 1},
           {"word and issue", foo, issue, COMP_EQUAL, COMPARE_INCOMPARABLE},
           {"word and integer", foo, n, COMP_EQUAL, COMPARE_INCOMPARABLE},
           {"ordering folds case", apple, banana, COMP_LESSER, -1},
           {"case-sort does not", apple, banana, COMP_CASE_SORT, 1},
       }) {
    Cell a = c.a, b = c.b;
    EXPECT_EQ(actions::compare_values(&a, &b, c.op), c.expect) << c.what;
  }
}

TEST(Words, IndexAndStringOfAWord) {
  Cell w = *intern_word("indexed-word");
  stack::init();
  stack::push_cell(&w);
  actions::entry(ACT_index_q)(nullptr);
  EXPECT_EQ(type_of(stack::base), TYPE_INTEGER);
  EXPECT_EQ(int_of(stack::base), word::index_of(&w) + 1);
  stack::init();
  Cell loose = unbound_word("indexed-word");
  stack::push_cell(&loose);
  actions::entry(ACT_index_q)(nullptr);
  EXPECT_TRUE(is_none(stack::base)) << "never looked up";
  stack::init();
  Cell refinement = unbound_word("indexed-word", TYPE_REFINEMENT);
  EXPECT_EQ(raised([&] {
              stack::push_cell(&refinement);
              actions::entry(ACT_index_q)(nullptr);
            }),
            Err::script_expect_arg);

  Cell* s = word::to_string(&w);
  EXPECT_EQ(string::to_utf8(s), "indexed-word");
  EXPECT_EQ(series_node(s), symbol::cache_string(word::symbol_of(&w))) << "shared, not copied";
  stack::init();
}

namespace {
// Loads the first space-separated token: digits make an integer!, anything
// else a word of the global context.
bool load_token(const Cell* text, Cell* out) {
  std::string t = string::to_utf8(text);
  t = t.substr(0, t.find(' '));
  if (t.empty()) return false;
  if (t.find_first_not_of("0123456789") == std::string::npos) {
    make_integer(out, std::stoi(t));
    return true;
  }
  word::make_at(symbol::make(t.c_str()), out);
  return true;
}
struct Loader {
  bool (*saved)(const Cell*, Cell*) = api::services.load_first;
  Loader() { api::services.load_first = load_token; }
  ~Loader() { api::services.load_first = saved; }
};
Cell made(Type target, const Cell& spec) {
  Cell* saved = stack::top;
  Cell proto, s = spec;
  make_datatype(&proto, target);
  Cell out = *actions::to(&proto, &s);
  stack::top = saved;
  return out;
}
}  // namespace

TEST(Words, MakeAndTo) {
  Guard guard;
  Loader loader;
  Cell dt, t, n, ch;
  make_datatype(&dt, TYPE_INTEGER);
  make_logic(&t, true);
  make_integer(&n, 3);
  make_char(&ch, 'q');
  roots::LocalCell text_root, digits_root;
  Cell& text = text_root.cell;
  Cell& digits = digits_root.cell;
  string::make_at(&text, 8, 1);
  string::append_ascii(&text, "a b");
  string::make_at(&digits, 8, 1);
  string::append_ascii(&digits, "1");

  struct Case { Type target; Cell spec; const char* spelling; };
  for (const Case& c : std::vector<Case>{{TYPE_WORD, dt, "integer!"},
                                         {TYPE_SET_WORD, t, "true"},
                                         {TYPE_WORD, text, "a"},
                                         {TYPE_GET_WORD, ch, "q"},
                                         {TYPE_LIT_WORD, unbound_word("x", TYPE_SET_WORD), "x"},
                                         {TYPE_WORD, unbound_word("rf", TYPE_REFINEMENT), "rf"}}) {
    Cell w = made(c.target, c.spec);
    EXPECT_EQ(type_of(&w), c.target) << c.spelling;
    EXPECT_EQ(spelled(word::symbol_of(&w)), c.spelling);
  }
  Cell from_refinement = made(TYPE_WORD, unbound_word("rf", TYPE_REFINEMENT));
  EXPECT_EQ(word::context_of(&from_refinement), context::global) << "bound where the symbol is known";

  EXPECT_EQ(raised([&] { made(TYPE_WORD, digits); }), Err::script_invalid_chars);
  EXPECT_EQ(raised([&] { made(TYPE_WORD, n); }), Err::script_bad_to_arg);
  Cell numeric_refinement = unbound_word("7", TYPE_REFINEMENT);
  EXPECT_EQ(raised([&] { made(TYPE_WORD, numeric_refinement); }), Err::script_bad_to_arg);
}

TEST(Words, TheCallWordOfAFrame) {
  Guard guard;
  Cell foo = *intern_word("called-here");
  stack::init();
  stack::mark(word::symbol_of(&foo), context::global, stack::FRAME_NATIVE);
  stack::mark(stack::body_symbol, context::global, stack::FRAME_NATIVE);
  Cell call;
  stack::get_call(&call);
  EXPECT_EQ(word::symbol_of(&call), word::symbol_of(&foo));
  EXPECT_EQ(word::context_of(&call), context::global);
  EXPECT_EQ(word::index_of(&call), word::index_of(&foo)) << "looked up in the frame's context";

  Object obj(false);
  Cell local = unbound_word("called-here");
  context::bind_or_add(obj.ctx(), &local);
  stack::mark(word::symbol_of(&foo), obj.ctx(), stack::FRAME_NATIVE);
  stack::get_call(&call);
  EXPECT_EQ(word::context_of(&call), obj.ctx());
  EXPECT_EQ(word::index_of(&call), 0);

  stack::init();
  stack::mark(stack::anon_symbol, 0, stack::FRAME_NATIVE);
  stack::get_call(&call);
  EXPECT_EQ(spelled(word::symbol_of(&call)), "<not-found>");
  stack::init();
}

TEST(Words, TheRuntimesOwnWords) {
  EXPECT_EQ(spelled(words::symbol(words::W_SELF)), "self");
  EXPECT_EQ(context::self_symbol, words::symbol(words::W_SELF));
  EXPECT_EQ(word::context_of(words::cell(words::W_BODY_TAG)), context::global);
  EXPECT_EQ(spelled(stack::body_symbol), "<body>");
  EXPECT_EQ(spelled(stack::anon_symbol), "<anon>");
  EXPECT_EQ(spelled(words::symbol(words::W_WINDOWS)), "Windows");
  for (Type t : {TYPE_DATATYPE, TYPE_INTEGER, TYPE_POINT2D, TYPE_EVENT}) {
    EXPECT_EQ(spelled(types::names[t].symbol), types::name_of(t));
  }
  const Cell* part = words::refinement(words::R_PART);
  EXPECT_EQ(type_of(part), TYPE_REFINEMENT);
  EXPECT_EQ(word::context_of(part), 0u) << "unbound";
  EXPECT_EQ(spelled(word::symbol_of(part)), "part");
}

#if QEL_CHECKS
// Checked builds stop at an accessor reading another type's layout: a word's
// binding read from an object cell, an object's context from a word, a
// function's spec from an integer.
TEST(CheckedAccessors, AnotherTypesCellAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Object o(false);
  Cell w = *words::cell(words::W_SELF);
  Cell n;
  make_integer(&n, 7);
  EXPECT_DEATH((void)word::context_of(&o.cell.cell), "internal check failed in context_of");
  EXPECT_DEATH((void)object::context_of(&w), "internal check failed in context_of");
  EXPECT_DEATH((void)function::spec_of(&n), "internal check failed in spec_of");
  EXPECT_DEATH((void)char_of(&n), "internal check failed in char_of: expected type 10");
  EXPECT_EQ(object::context_of(&o.cell.cell), o.ctx()) << "the owner's own type passes";
}
#endif

}  // namespace symbol_context_word_test
