// bitset!: specs, negation, bit tests and changes, set operations (checked
// against a plain set model on random inputs), form, compare.
#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "datatypes/bitset.hpp"
#include "datatypes/string.hpp"
#include "datatypes/object.hpp"
#include "datatypes/word.hpp"
#include "datatypes/ownership.hpp"
#include "runtime/hash.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"
#include "runtime/words.hpp"
#include "tests/unit/test_support.hpp"

namespace bitset_test {

using namespace qel;
using namespace qel::test;

namespace {

Cell* make_bits(const Cell* spec, bool to = false) {
  return make_as(TYPE_BITSET, stack::push_cell(spec), to);
}

// The members among bits 0..limit-1.
std::set<u32> members(const Cell* bits, u32 limit) {
  std::set<u32> s;
  for (u32 b = 0; b < limit; ++b) {
    if (bitset::member(bits, b)) s.insert(b);
  }
  return s;
}

bool pick(Cell* bits, const Cell& value) {
  Cell v = value;
  Cell* r = actions::handler<act::Pick>(bits, ACT_pick)(bits, 0, &v);
  return type_of(r) == TYPE_LOGIC && logic_of(r);
}

bool find(Cell* bits, Cell* value) {
  Cell* r = actions::handler<act::Find>(bits, ACT_find)(bits, value, {});
  return type_of(r) == TYPE_LOGIC;
}

}  // namespace

TEST(Bitset, SpecsSetTheNamedBits) {
  Guard g;
  struct Case { const char* name; Cell* spec; std::set<u32> bits; u32 bytes; bool negated; };
  const Case cases[] = {
      {"string", text(U"abc"), {97, 98, 99}, 13, false},
      {"char", load(R"([#"A"])"), {65}, 9, false},
      {"range", load(R"([#"a" - #"c"])"), {97, 98, 99}, 13, false},
      {"integer range and float", load("[1 - 3 9.5]"), {1, 2, 3, 9}, 2, false},
      {"wide string", text(U"\u0100z"), {0x7A, 0x100}, 33, false},
      {"nested block", load(R"([[#"x"] "y"])"), {'x', 'y'}, 16, false},
      {"empty block", load("[]"), {}, 1, false},
  };
  for (const Case& c : cases) {
    Cell* b = make_bits(c.spec);
    EXPECT_EQ(members(b, 300), c.bits) << c.name;
    EXPECT_EQ(bitset::byte_length(b), c.bytes) << c.name;
    EXPECT_EQ(bitset::negated(b), c.negated) << c.name;
  }
}

TEST(Bitset, SizesNegationAndBinaries) {
  Guard g;
  Cell ten = integer_cell(10);
  Cell* sized = make_bits(&ten);
  EXPECT_EQ(bitset::byte_length(sized), 2u);
  EXPECT_EQ(actions::handler<act::Length>(sized, ACT_length_q)(sized), 16);
  Cell zero = integer_cell(0);
  EXPECT_EQ(formed(make_bits(&zero)), "make bitset! #{}");

  Cell* n = make_bits(load(R"([not "a"])"));
  EXPECT_TRUE(bitset::negated(n));
  EXPECT_EQ(formed(n), "make bitset! [not #{00000000000000000000000040}]");
  EXPECT_FALSE(pick(n, char_cell('a')));
  EXPECT_TRUE(pick(n, char_cell('b')));
  EXPECT_TRUE(pick(n, integer_cell(1000000)))
      << "beyond the bytes a negated bitset holds every bit";
  EXPECT_FALSE(pick(make_bits(text(U"a")), integer_cell(1000000)));

  Cell* fromb = make_bits(binary_of({0x80, 0x01}));
  EXPECT_EQ(members(fromb, 64), (std::set<u32>{0, 15}));
  Cell* negb = make_bits(block_of({word_cell("not"), *binary_of({0x80})}));
  EXPECT_TRUE(bitset::negated(negb));
  EXPECT_EQ(formed(negb), "make bitset! [not #{80}]");
  EXPECT_FALSE(bitset::member(negb, 0));
  EXPECT_TRUE(bitset::member(negb, 1));

  // Form stops at a part limit.
  EXPECT_EQ(formed(make_bits(text(U"abc")), 20), "make bitset! #{00000");
}

TEST(Bitset, SpecErrors) {
  Guard g;
  Cell minus_one = integer_cell(-1), eight = integer_cell(8);
  struct Case { const char* name; const Cell* spec; bool to; Err expected; };
  const Case cases[] = {
      {"descending range", load(R"([#"c" - #"a"])"), false, Err::script_past_end},
      {"mixed range", load(R"([#"a" - 99])"), false, Err::script_invalid_arg},
      {"open range", load("[1 -]"), false, Err::script_past_end},
      {"negative size", &minus_one, false, Err::script_out_of_range},
      {"size in to", &eight, true, Err::script_bad_to_arg},
      {"binary in a block", block_of({*binary_of({0})}), false, Err::internal_not_done},
      {"word in make", load("[copy]"), false, Err::script_bad_make_arg},
      {"word in to", load("[copy]"), true, Err::script_bad_to_arg},
      {"negative bit", load("[-3]"), false, Err::script_out_of_range},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(raised([&] { make_bits(c.spec, c.to); }), c.expected) << c.name;
  }
}

TEST(Bitset, ChangesOnBothKinds) {
  Guard g;
  // Setting a bit of a negated bitset and clearing one of a plain bitset
  // change the bits inside the bytes even when the highest bit named lies
  // beyond them.
  Cell* n = make_bits(load(R"([not "ab"])"));
  Cell* wide = text(U"a\u0400");
  actions::handler<act::Insert>(n, ACT_insert)(n, wide, -1, false, 1, false);
  EXPECT_TRUE(pick(n, char_cell('a')));
  EXPECT_FALSE(pick(n, char_cell('b')));
  EXPECT_TRUE(pick(n, char_cell(0x400)));

  Cell* p = make_bits(text(U"ab"));
  Cell* range = load("[#\"a\" - #\"^(1388)\"]");
  actions::handler<act::Remove>(p, ACT_remove)(p, range, nullptr);
  EXPECT_EQ(members(p, 6000), std::set<u32>{});

  // remove/part takes members away on a negated bitset too; clear empties.
  Cell* m = make_bits(load(R"([not "a"])"));
  Cell* bx = text(U"b");
  actions::handler<act::Remove>(m, ACT_remove)(m, bx, nullptr);
  EXPECT_FALSE(pick(m, char_cell('b')));
  EXPECT_FALSE(pick(m, char_cell('a')));
  EXPECT_TRUE(pick(m, char_cell('c')));
  EXPECT_EQ(raised([&] { actions::handler<act::Remove>(m, ACT_remove)(m, nullptr, nullptr); }),
            Err::script_missing_arg);
  actions::handler<act::Unary>(m, ACT_clear)(m);
  EXPECT_FALSE(bitset::negated(m));
  EXPECT_EQ(members(m, 2000), std::set<u32>{});

  // poke and paths: none, false and 0 clear; anything else sets.
  Cell* q = make_bits(text(U"a"));
  Cell yes = integer_cell(7), no;
  make_none(&no);
  Cell idx = char_cell('z');
  actions::handler<act::Poke>(q, ACT_poke)(q, 0, &idx, &yes);
  EXPECT_TRUE(pick(q, char_cell('z')));
  PathStep step{nullptr, 1, true, false, false};
  Cell a = char_cell('a');
  actions::eval_path(q, &a, &no, step);
  EXPECT_FALSE(pick(q, char_cell('a')));
  Cell* got = actions::eval_path(q, &idx, nullptr, step);
  EXPECT_EQ(type_of(got), TYPE_LOGIC);
  Cell* s = text(U"a");
  EXPECT_EQ(raised([&] { actions::eval_path(q, s, nullptr, step); }), Err::script_invalid_type);
}

TEST(Bitset, RangeTestsUseTheLowerBound) {
  Guard g;
  Cell* bc = make_bits(text(U"bc"));
  EXPECT_FALSE(find(bc, load(R"([#"a" - #"c"])")));
  EXPECT_TRUE(find(bc, load(R"([#"b" - #"c"])")));
  EXPECT_FALSE(find(bc, load("[#\"b\" - #\"^(1388)\"]")));
  Cell* n = make_bits(load(R"([not "a"])"));
  EXPECT_TRUE(find(n, load("[#\"b\" - #\"^(1388)\"]")));
  EXPECT_FALSE(find(n, load("[#\"a\" - #\"^(1388)\"]")));
  EXPECT_TRUE(find(n, text(U"xyz\u2000")));
  EXPECT_FALSE(find(n, text(U"xya")));
}

namespace {

// A set over 0..universe-1 with a flag for "and every bit from universe on".
struct Model {
  std::set<u32> bits;
  bool rest = false;
};

constexpr u32 UNIVERSE = 200;  // above every bit the random specs name

Model model_of(const Cell* b) {
  Model m;
  m.bits = members(b, UNIVERSE);
  m.rest = bitset::member(b, UNIVERSE + 1000);
  return m;
}

Model combine(const Model& a, const Model& b, i32 op) {
  auto f = [op](bool x, bool y) {
    switch (op) {
      case OP_OR: case OP_UNION: return x || y;
      case OP_AND: case OP_INTERSECT: return x && y;
      case OP_XOR: case OP_DIFFERENCE: return x != y;
      default: return x && !y;
    }
  };
  Model r;
  for (u32 i = 0; i < UNIVERSE; ++i) {
    if (f(a.bits.count(i) > 0, b.bits.count(i) > 0)) r.bits.insert(i);
  }
  r.rest = f(a.rest, b.rest);
  return r;
}

}  // namespace

TEST(Bitset, SetOperationsMatchASetModel) {
  Guard g;
  std::mt19937 rng(12345);
  const i32 ops[] = {OP_OR, OP_AND, OP_XOR, OP_UNION, OP_INTERSECT, OP_EXCLUDE, OP_DIFFERENCE};
  for (int round = 0; round < 300; ++round) {
    Cell* operands[2];
    for (Cell*& operand : operands) {
      // A random spec whose highest bit varies, so the lengths differ.
      std::u32string s;
      u32 top = 1 + rng() % 150;
      for (u32 k = rng() % 12; k > 0; --k) s.push_back(char32_t(rng() % top));
      bool negate = rng() % 2;
      operand = negate ? make_bits(block_of({word_cell("not"), *text(s)})) : make_bits(text(s));
    }
    Model ma = model_of(operands[0]), mb = model_of(operands[1]);
    for (i32 op : ops) {
      Cell* saved = stack::top;
      Cell* frame = stack::mark_native(words::cell(words::W_COPY));
      stack::push_cell(operands[0]);
      stack::push_cell(operands[1]);
      bitset::do_bitwise(op);
      Model got = model_of(frame);
      Model want = combine(ma, mb, op);
      EXPECT_EQ(got.bits, want.bits) << "op " << op << " round " << round;
      EXPECT_EQ(got.rest, want.rest) << "op " << op << " round " << round;
      stack::unwind();
      stack::top = saved;
    }
    // Complement flips every membership.
    Cell* c = actions::handler<act::Unary>(operands[0], ACT_complement)(operands[0]);
    Model mc = model_of(c);
    for (u32 i = 0; i < UNIVERSE; ++i) {
      EXPECT_NE(mc.bits.count(i), ma.bits.count(i)) << i;
    }
    EXPECT_NE(mc.rest, ma.rest);
  }
}

TEST(Bitset, OperandsMustBeBitsetsAndUniqueKeepsTheFirst) {
  Guard g;
  Cell* a = make_bits(text(U"a"));
  stack::mark_native(words::cell(words::W_COPY));
  stack::push_cell(a);
  Cell n = integer_cell(1);
  stack::push_cell(&n);
  EXPECT_EQ(raised([&] { bitset::do_bitwise(OP_OR); }), Err::script_invalid_type);
  Cell b = *make_bits(text(U"b"));
  stack::top = stack::base;
  stack::push_cell(a);
  stack::push_cell(&b);
  bitset::do_bitwise(OP_UNIQUE);
  EXPECT_EQ(series_node(stack::base), series_node(a));
  stack::unwind();
}

TEST(Bitset, CompareByLengthKindAndBytes) {
  Guard g;
  Cell* a = make_bits(text(U"a"));
  Cell* a2 = make_bits(text(U"a"));
  Cell* b = make_bits(text(U"b"));
  Cell* longer = make_bits(text(U"\u00ff"));
  Cell* na = make_bits(load(R"([not "a"])"));
  auto cmp = [](Cell* x, Cell* y, i32 op = COMP_EQUAL) { return actions::compare_values(x, y, op); };
  EXPECT_EQ(cmp(a, a2), 0);
  EXPECT_NE(cmp(a, a2, COMP_SAME), 0);
  EXPECT_EQ(cmp(a, a, COMP_SAME), 0);
  EXPECT_LT(cmp(a, longer), 0);
  EXPECT_LT(cmp(a, na), 0) << "the plain bitset is the lesser";
  EXPECT_NE(cmp(a, b), 0);
  Cell one = integer_cell(1);
  EXPECT_EQ(cmp(a, &one), COMPARE_INCOMPARABLE);
}

TEST(Bitset, ChangesOfAnOwnedBitsetAreReported) {
  Guard g;
  // An owner object with change handlers, and a recorder in place of its
  // on-deep-change* that keeps the action words.
  ChangeEvents events;
  Cell* owner = events.owner();
  Cell* bits = make_bits(text(U"a"));
  Cell field = *words::cell(words::W_FLAGS);
  ownership::bind(bits, owner, &field);

  Cell* b = text(U"b");
  actions::handler<act::Insert>(bits, ACT_append)(bits, b, -1, false, 1, true);
  Cell z = char_cell('z'), yes = integer_cell(1);
  actions::handler<act::Poke>(bits, ACT_poke)(bits, 0, &z, &yes);
  actions::handler<act::Remove>(bits, ACT_remove)(bits, b, nullptr);
  actions::handler<act::Unary>(bits, ACT_clear)(bits);
  const std::vector<std::string> expected = {"insert", "inserted", "poke",  "poked",
                                             "remove", "removed",  "clear", "cleared"};
  EXPECT_EQ(events.actions(), expected);

  // reflect owned answers the owner; modify owned none lets it go.
  Cell* got = actions::handler<act::Reflect>(bits, ACT_reflect)(bits, words::symbol(words::W_OWNED));
  EXPECT_EQ(object::context_of(got), object::context_of(owner));
  Cell owned = *words::cell(words::W_OWNED), none;
  make_none(&none);
  actions::handler<act::Modify>(bits, ACT_modify)(bits, &owned, &none, false);
  got = actions::handler<act::Reflect>(bits, ACT_reflect)(bits, words::symbol(words::W_OWNED));
  EXPECT_EQ(type_of(got), TYPE_NONE);
}

}  // namespace bitset_test
