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
#include "runtime/hash.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"
#include "runtime/words.hpp"

using namespace qel;

namespace {

template <class F>
std::optional<Err> raised(F&& f) {
  Cell* base = stack::base;
  Cell* top = stack::top;
  stack::Frame* ctop = stack::ctop;
  Cell word{};
  word.header = TYPE_WORD;
  stack::mark_catch(&word);
  std::optional<Err> r;
  try {
    f();
  } catch (const Transfer&) {
    r = error::id_of(stack::last());
  }
  stack::base = base;
  stack::top = top;
  stack::ctop = ctop;
  return r;
}

// Restores the stack top; collects at every allocation under QEL_GC_STRESS.
struct StackGuard {
  Cell* top = stack::top;
  bool collecting = gc::enabled;
  StackGuard() { gc::enabled = true; }
  ~StackGuard() {
    stack::top = top;
    gc::enabled = collecting;
  }
};

Cell* text(const std::u32string& s) {
  std::string utf8;
  for (char32_t c : s) {
    u8 b[4];
    u32 n = unicode::encode_utf8_char(u32(c), b);
    utf8.append(reinterpret_cast<const char*>(b), n);
  }
  return string::load(reinterpret_cast<const u8*>(utf8.data()), u32(utf8.size()),
                       string::Encoding::utf8);
}

Cell ch(u32 c) {
  Cell x;
  make_char(&x, c);
  return x;
}
Cell num(i32 n) {
  Cell x;
  make_integer(&x, n);
  return x;
}
Cell dash() { return *words::cell(words::W_DASH); }
Cell not_word() { return *words::cell(words::W_NOT); }

Cell* block(std::initializer_list<Cell> items) {
  Cell* b = make_none(stack::push());
  make_series(b, TYPE_BLOCK, mem::alloc_cells(u32(items.size()) + 1));
  for (const Cell& c : items) copy_cell(&c, mem::alloc_tail_cell(series_node(b)));
  return b;
}

Cell* binary(std::initializer_list<u8> bytes) {
  Cell* b = make_none(stack::push());
  u32 node = mem::alloc_bytes(u32(bytes.size()));
  make_series(b, TYPE_BINARY, node);
  for (u8 x : bytes) *mem::alloc_tail_bytes(node, 1) = x;
  return b;
}

Cell* make_bits(const Cell* spec, bool to = false) {
  Cell proto;
  make_datatype(&proto, TYPE_BITSET);
  Cell* s = stack::push_cell(spec);
  return to ? actions::to(&proto, s) : actions::make(&proto, s);
}

std::string formed(Cell* v, i32 limit = -1) {
  Cell* out = make_none(stack::push());
  string::make_at(out, 16, 1);
  Cell part;
  make_integer(&part, limit);
  actions::form(v, out, limit >= 0 ? &part : nullptr, limit >= 0 ? limit : 0x7FFFFFFF);
  if (limit >= 0) string::truncate(out, u32(limit));
  return string::to_utf8(out);
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
  return type_of(r) == TYPE_LOGIC && r->w1 == 1;
}

bool find(Cell* bits, Cell* value) {
  Cell* r = actions::handler<act::Find>(bits, ACT_find)(bits, value, nullptr, false, false, false,
                                                        false, nullptr, nullptr, false, false,
                                                        false, false);
  return type_of(r) == TYPE_LOGIC;
}

}  // namespace

TEST(Bitset, SpecsSetTheNamedBits) {
  StackGuard g;
  Cell nine_and_a_half;
  make_float(&nine_and_a_half, 9.5);
  struct Case { const char* name; Cell* spec; std::set<u32> bits; u32 bytes; bool negated; };
  const Case cases[] = {
      {"string", text(U"abc"), {97, 98, 99}, 13, false},
      {"char", block({ch('A')}), {65}, 9, false},
      {"range", block({ch('a'), dash(), ch('c')}), {97, 98, 99}, 13, false},
      {"integer range and float", block({num(1), dash(), num(3), nine_and_a_half}), {1, 2, 3, 9}, 2, false},
      {"wide string", text(U"\u0100z"), {0x7A, 0x100}, 33, false},
      {"nested block", block({*block({ch('x')}), *text(U"y")}), {'x', 'y'}, 16, false},
      {"empty block", block({}), {}, 1, false},
  };
  for (const Case& c : cases) {
    Cell* b = make_bits(c.spec);
    EXPECT_EQ(members(b, 300), c.bits) << c.name;
    EXPECT_EQ(bitset::byte_length(b), c.bytes) << c.name;
    EXPECT_EQ(bitset::negated(b), c.negated) << c.name;
  }
}

TEST(Bitset, SizesNegationAndBinaries) {
  StackGuard g;
  Cell ten = num(10);
  Cell* sized = make_bits(&ten);
  EXPECT_EQ(bitset::byte_length(sized), 2u);
  EXPECT_EQ(actions::handler<act::Length>(sized, ACT_length_q)(sized), 16);
  Cell zero = num(0);
  EXPECT_EQ(formed(make_bits(&zero)), "make bitset! #{}");

  Cell* n = make_bits(block({not_word(), *text(U"a")}));
  EXPECT_TRUE(bitset::negated(n));
  EXPECT_EQ(formed(n), "make bitset! [not #{00000000000000000000000040}]");
  EXPECT_FALSE(pick(n, ch('a')));
  EXPECT_TRUE(pick(n, ch('b')));
  EXPECT_TRUE(pick(n, num(1000000))) << "beyond the bytes a negated bitset holds every bit";
  EXPECT_FALSE(pick(make_bits(text(U"a")), num(1000000)));

  Cell* fromb = make_bits(binary({0x80, 0x01}));
  EXPECT_EQ(members(fromb, 64), (std::set<u32>{0, 15}));
  Cell* negb = make_bits(block({not_word(), *binary({0x80})}));
  EXPECT_TRUE(bitset::negated(negb));
  EXPECT_EQ(formed(negb), "make bitset! [not #{80}]");
  EXPECT_FALSE(bitset::member(negb, 0));
  EXPECT_TRUE(bitset::member(negb, 1));

  // Form stops at a part limit.
  EXPECT_EQ(formed(make_bits(text(U"abc")), 20), "make bitset! #{00000");
}

TEST(Bitset, SpecErrors) {
  StackGuard g;
  Cell word = *words::cell(words::W_COPY);
  Cell minus_one = num(-1), eight = num(8);
  struct Case { const char* name; const Cell* spec; bool to; Err expected; };
  const Case cases[] = {
      {"descending range", block({ch('c'), dash(), ch('a')}), false, Err::script_past_end},
      {"mixed range", block({ch('a'), dash(), num(99)}), false, Err::script_invalid_arg},
      {"open range", block({num(1), dash()}), false, Err::script_past_end},
      {"negative size", &minus_one, false, Err::script_out_of_range},
      {"size in to", &eight, true, Err::script_bad_to_arg},
      {"binary in a block", block({*binary({0})}), false, Err::internal_not_done},
      {"word in make", block({word}), false, Err::script_bad_make_arg},
      {"word in to", block({word}), true, Err::script_bad_to_arg},
      {"negative bit", block({num(-3)}), false, Err::script_out_of_range},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(raised([&] { make_bits(c.spec, c.to); }), c.expected) << c.name;
  }
}

TEST(Bitset, ChangesOnBothKinds) {
  StackGuard g;
  // Setting a bit of a negated bitset and clearing one of a plain bitset
  // change the bits inside the bytes even when the highest bit named lies
  // beyond them.
  Cell* n = make_bits(block({not_word(), *text(U"ab")}));
  Cell* wide = text(U"a\u0400");
  actions::handler<act::Insert>(n, ACT_insert)(n, wide, -1, false, 1, false);
  EXPECT_TRUE(pick(n, ch('a')));
  EXPECT_FALSE(pick(n, ch('b')));
  EXPECT_TRUE(pick(n, ch(0x400)));

  Cell* p = make_bits(text(U"ab"));
  Cell* range = block({ch('a'), dash(), ch(5000)});
  actions::handler<act::Remove>(p, ACT_remove)(p, range, nullptr);
  EXPECT_EQ(members(p, 6000), std::set<u32>{});

  // remove/part takes members away on a negated bitset too; clear empties.
  Cell* m = make_bits(block({not_word(), *text(U"a")}));
  Cell* bx = text(U"b");
  actions::handler<act::Remove>(m, ACT_remove)(m, bx, nullptr);
  EXPECT_FALSE(pick(m, ch('b')));
  EXPECT_FALSE(pick(m, ch('a')));
  EXPECT_TRUE(pick(m, ch('c')));
  EXPECT_EQ(raised([&] { actions::handler<act::Remove>(m, ACT_remove)(m, nullptr, nullptr); }),
            Err::script_missing_arg);
  actions::handler<act::Unary>(m, ACT_clear)(m);
  EXPECT_FALSE(bitset::negated(m));
  EXPECT_EQ(members(m, 2000), std::set<u32>{});

  // poke and paths: none, false and 0 clear; anything else sets.
  Cell* q = make_bits(text(U"a"));
  Cell yes = num(7), no;
  make_none(&no);
  Cell idx = ch('z');
  actions::handler<act::Poke>(q, ACT_poke)(q, 0, &idx, &yes);
  EXPECT_TRUE(pick(q, ch('z')));
  PathStep step{nullptr, 1, true, false, false};
  Cell a = ch('a');
  actions::eval_path(q, &a, &no, step);
  EXPECT_FALSE(pick(q, ch('a')));
  Cell* got = actions::eval_path(q, &idx, nullptr, step);
  EXPECT_EQ(type_of(got), TYPE_LOGIC);
  Cell* s = text(U"a");
  EXPECT_EQ(raised([&] { actions::eval_path(q, s, nullptr, step); }), Err::script_invalid_type);
}

TEST(Bitset, RangeTestsUseTheLowerBound) {
  StackGuard g;
  Cell* bc = make_bits(text(U"bc"));
  EXPECT_FALSE(find(bc, block({ch('a'), dash(), ch('c')})));
  EXPECT_TRUE(find(bc, block({ch('b'), dash(), ch('c')})));
  EXPECT_FALSE(find(bc, block({ch('b'), dash(), ch(5000)})));
  Cell* n = make_bits(block({not_word(), *text(U"a")}));
  EXPECT_TRUE(find(n, block({ch('b'), dash(), ch(5000)})));
  EXPECT_FALSE(find(n, block({ch('a'), dash(), ch(5000)})));
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
  StackGuard g;
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
      operand = negate ? make_bits(block({not_word(), *text(s)})) : make_bits(text(s));
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
  StackGuard g;
  Cell* a = make_bits(text(U"a"));
  stack::mark_native(words::cell(words::W_COPY));
  stack::push_cell(a);
  Cell n = num(1);
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
  StackGuard g;
  Cell* a = make_bits(text(U"a"));
  Cell* a2 = make_bits(text(U"a"));
  Cell* b = make_bits(text(U"b"));
  Cell* longer = make_bits(text(U"\u00ff"));
  Cell* na = make_bits(block({not_word(), *text(U"a")}));
  auto cmp = [](Cell* x, Cell* y, i32 op = COMP_EQUAL) { return actions::compare_values(x, y, op); };
  EXPECT_EQ(cmp(a, a2), 0);
  EXPECT_NE(cmp(a, a2, COMP_SAME), 0);
  EXPECT_EQ(cmp(a, a, COMP_SAME), 0);
  EXPECT_LT(cmp(a, longer), 0);
  EXPECT_LT(cmp(a, na), 0) << "the plain bitset is the lesser";
  EXPECT_NE(cmp(a, b), 0);
  Cell one = num(1);
  EXPECT_EQ(cmp(a, &one), COMPARE_INCOMPARABLE);
}

namespace {

std::vector<std::string> g_events;
void record_event(Cell*, Cell*, Cell*, Cell* action, Cell*, i32, i32) {
  g_events.push_back(string::to_utf8(word::to_string(action)));
}

}  // namespace

TEST(Bitset, ChangesOfAnOwnedBitsetAreReported) {
  StackGuard g;
  // An owner object with change handlers, and a hook in place of its
  // on-deep-change* that records the action words.
  Cell* owner = make_none(stack::push());
  object::make_at(owner, 2);
  owner->w3 = mem::alloc_cells(2);
  Cell* bits = make_bits(text(U"a"));
  Cell field = *words::cell(words::W_FLAGS);
  ownership::bind(bits, owner, &field);
  auto saved_hook = ownership::on_deep_change;
  ownership::on_deep_change = record_event;
  g_events.clear();

  Cell* b = text(U"b");
  actions::handler<act::Insert>(bits, ACT_append)(bits, b, -1, false, 1, true);
  Cell z = ch('z'), yes = num(1);
  actions::handler<act::Poke>(bits, ACT_poke)(bits, 0, &z, &yes);
  actions::handler<act::Remove>(bits, ACT_remove)(bits, b, nullptr);
  actions::handler<act::Unary>(bits, ACT_clear)(bits);
  ownership::on_deep_change = saved_hook;
  const std::vector<std::string> expected = {"insert", "inserted", "poke",  "poked",
                                             "remove", "removed",  "clear", "cleared"};
  EXPECT_EQ(g_events, expected);

  // reflect owned answers the owner; modify owned none lets it go.
  Cell* got = actions::handler<act::Reflect>(bits, ACT_reflect)(bits, words::symbol(words::W_OWNED));
  EXPECT_EQ(got->w1, owner->w1);
  Cell owned = *words::cell(words::W_OWNED), none;
  make_none(&none);
  actions::handler<act::Modify>(bits, ACT_modify)(bits, &owned, &none, false);
  got = actions::handler<act::Reflect>(bits, ACT_reflect)(bits, words::symbol(words::W_OWNED));
  EXPECT_EQ(type_of(got), TYPE_NONE);
}
