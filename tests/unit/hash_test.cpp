// Hash tables: hashing, sizing and growth, the five kinds, block edits that
// keep a hash! table in step with its block, pointer records, ownership and
// its weak sweep.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "datatypes/word.hpp"
#include "datatypes/object.hpp"
#include "datatypes/context.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/ownership.hpp"
#include "runtime/actions.hpp"
#include "runtime/casefold.hpp"
#include "runtime/collector.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

namespace hash_test {

using namespace qel;
using namespace qel::test;

namespace {

// Comparison handlers for the key types used here whose datatype modules do
// not register one yet: integers by value, strings by code point, folded
// except under the strict operators.
i32 int_compare(Cell* a, Cell* b, i32) {
  if (type_of(b) != TYPE_INTEGER) return COMPARE_INCOMPARABLE;
  return int_of(a) < int_of(b) ? -1 : int_of(a) > int_of(b) ? 1 : 0;
}
i32 string_compare(Cell* a, Cell* b, i32 op) {
  if (type_of(b) != TYPE_STRING) return COMPARE_INCOMPARABLE;
  std::u32string x, y;
  for (char c : string::to_utf8(a)) x += char32_t(u8(c));
  for (char c : string::to_utf8(b)) y += char32_t(u8(c));
  if (op != COMP_STRICT_EQUAL && op != COMP_CASE_SORT) {
    for (auto& c : x) c = casefold::upper(c);
    for (auto& c : y) c = casefold::upper(c);
  }
  return x < y ? -1 : x > y ? 1 : 0;
}

i32 block_compare(Cell* a, Cell* b, i32) {
  if (type_of(b) != TYPE_BLOCK) return COMPARE_INCOMPARABLE;
  return series_node(a) == series_node(b) && series_index(a) == series_index(b) ? 0 : 1;
}

struct CompareHandlers {
  struct Saved { Type type; ActionFn fn; };
  std::vector<Saved> saved;
  void provide(Type t, ActionFn fn) {
    saved.push_back({t, types::table[t][ACT_compare]});
    if (!types::table[t][ACT_compare]) types::table[t][ACT_compare] = fn;
  }
  CompareHandlers() {
    provide(TYPE_INTEGER, reinterpret_cast<ActionFn>(int_compare));
    provide(TYPE_STRING, reinterpret_cast<ActionFn>(string_compare));
    provide(TYPE_BLOCK, reinterpret_cast<ActionFn>(block_compare));
  }
  ~CompareHandlers() {
    for (const Saved& s : saved) types::table[s.type][ACT_compare] = s.fn;
  }
};

Cell string_cell(const char* text) {
  Cell* c = stack::push();
  string::make_at(c, 16, 1);
  string::append_ascii(c, text);
  Cell copy = *c;
  stack::pop(1);
  return copy;
}

// A hash! value (block and table) held by a rooted cell.
struct HashValue {
  roots::LocalCell cell;
  HashValue(const std::vector<i32>& values, u32 size, u32 kind = hash::KIND_BLOCK) {
    cell->header = TYPE_HASH;
    set_series_node(cell.get(), mem::alloc_cells(u32(values.size()) + 1));
    for (i32 v : values) make_integer(mem::alloc_tail_cell(series_node(cell.get())), v);
    set_series_extra(cell.get(), hash::make(size, series_node(cell.get()), kind, 0));
  }
  u32 block() const { return series_node(&cell.cell); }
  u32 table() const { return series_extra(&cell.cell); }
  Cell* at(u32 i) { return mem::buffer_of(block())->cells() + i; }
  u32 length() { return mem::buffer_of(block())->used() / 16; }
  i32 find(i32 v, i32 head = 0, i32 skip = 1, bool last = false, bool reverse = false) {
    Cell k = integer_cell(v);
    Cell* c = hash::get(table(), &k, head, skip, COMP_EQUAL, last, reverse);
    return c ? i32(c - at(0)) : -1;
  }
};

}  // namespace

TEST(Hashing, MurmurAndTheFinaliser) {
  // Published MurmurHash3 x86_32 values.
  struct Case { const char* text; u32 seed; u32 hash; };
  for (Case c : {Case{"", 0, 0}, Case{"", 1, 0x514E28B7u}, Case{"", 0xFFFFFFFFu, 0x81F16F39u},
                 Case{"hello", 0, 0x248BFA47u}, Case{"Hello, world!", 1234, 0xFAF6CDB3u},
                 Case{"The quick brown fox jumps over the lazy dog", 0, 0x2E4FF723u}}) {
    EXPECT_EQ(hash::murmur3_32(c.text, u32(std::strlen(c.text)), c.seed), c.hash) << c.text;
  }
  EXPECT_EQ(hash::hash_mix(0), 0u);
  EXPECT_EQ(hash::hash_mix(1), 0x514E28B7u) << "the finaliser alone, as for an empty text";
}

TEST(Hashing, CaseFoldsForTextAndWordsOnlyWhereItShould) {
  Cell abc = string_cell("abc"), ABC = string_cell("ABC"), abd = string_cell("abd");
  EXPECT_EQ(hash::string_hash(&abc, false), hash::string_hash(&ABC, false));
  EXPECT_NE(hash::string_hash(&abc, true), hash::string_hash(&ABC, true));
  EXPECT_NE(hash::string_hash(&abc, false), hash::string_hash(&abd, false));
  // A string from its index: "xabc" at index 1 hashes as "abc".
  Cell xabc = string_cell("xabc");
  set_series_index(&xabc, 1);
  EXPECT_EQ(hash::string_hash(&xabc, false), hash::string_hash(&abc, false));
  // Words hash by their canonical symbol: case variants collide.
  Cell foo{TYPE_WORD, 0, symbol::make("hash-foo"), 0};
  Cell Foo{TYPE_SET_WORD, 0, symbol::make("Hash-Foo"), 0};
  EXPECT_EQ(hash::value_hash(&foo, false), hash::value_hash(&Foo, false));
  Cell u, n;
  make_unset(&u);
  make_none(&n);
  EXPECT_EQ(hash::value_hash(&u, false), u32(-2));
  EXPECT_EQ(hash::value_hash(&n, false), u32(-1));
}

TEST(HashTable, SizingOfNewTables) {
  struct Case { u32 size; u32 kind; u32 buckets; u32 bound; };
  for (Case c : {Case{0, hash::KIND_BLOCK, 8, 6}, Case{4, hash::KIND_MAP, 8, 6},
                 Case{6, hash::KIND_MAP, 8, 6}, Case{7, hash::KIND_MAP, 16, 12},
                 Case{100, hash::KIND_POINTER, 256, 197}, Case{3999, hash::KIND_SYMBOL, 8192, 6307},
                 Case{4000, hash::KIND_SYMBOL, 16384, 12615}, Case{4000, hash::KIND_MAP, 8192, 6307}}) {
    u32 t = hash::make(c.size, 0, c.kind, 0);
    hash::Record* r = hash::record(t);
    EXPECT_EQ(r->n_buckets, c.buckets) << c.size << " kind " << c.kind;
    EXPECT_EQ(r->upper, c.bound) << c.size << " kind " << c.kind;
    EXPECT_EQ(r->size, 0u);
  }
  EXPECT_EQ(hash::record(symbol::table)->n_buckets >= 16384, true) << "the start-up symbol table";
}

TEST(HashTable, GrowthKeepsEveryKeyFindable) {
  CompareHandlers handlers;
  Guard collecting;
  // kind 0 rebuilds from its block; kind 1 rebuilds from its block, four
  // times the size while it is small.
  HashValue h({}, 0);
  for (i32 v = 0; v < 300; ++v) {
    make_integer(mem::alloc_tail_cell(h.block()), v * 7);
    hash::put_key(h.table(), h.at(h.length() - 1));
  }
  hash::Record* r = hash::record(h.table());
  EXPECT_EQ(r->size, 300u);
  EXPECT_LT(r->n_occupied, r->upper);
  EXPECT_GE(r->n_buckets, 512u);
  for (i32 v = 0; v < 300; ++v) ASSERT_EQ(h.find(v * 7), v) << v;
  EXPECT_EQ(h.find(1), -1);

  HashValue m({}, 4, hash::KIND_MAP);
  for (i32 v = 0; v < 200; ++v) {
    make_integer(mem::alloc_tail_cell(m.block()), v);
    make_integer(mem::alloc_tail_cell(m.block()), -v);
    hash::put_key(m.table(), m.at(m.length() - 2));
  }
  EXPECT_EQ(hash::record(m.table())->size, 200u);
  EXPECT_EQ(hash::record(m.table())->n_buckets, 512u) << "grown fourfold at each bound: 8, 32, 128, 512";
  for (i32 v = 0; v < 200; ++v) {
    Cell k = integer_cell(v);
    Cell* found = hash::get(m.table(), &k, 0, 1, COMP_STRICT_EQUAL, false, false);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(int_of(found + 1), -v);
  }
}

TEST(HashTable, ContextTablesGrowSixteenfold) {
  u32 ctx = context::make(4, false, false, 0, context::KIND_OBJECT);
  roots::NodeRoot hold(&ctx);
  u32 t = context::table_of(ctx);
  EXPECT_EQ(hash::record(t)->n_buckets, 8u);
  for (int i = 0; i < 7; ++i) {
    std::string name = "grow-" + std::to_string(i);
    Cell w{TYPE_WORD, 0, symbol::make(name.c_str()), u32(-1)};
    EXPECT_EQ(context::bind_or_add(ctx, &w), i);
  }
  // The seventh word found the table at its bound of 6: 16 * (8 + 1) asks for 256.
  EXPECT_EQ(hash::record(context::table_of(ctx))->n_buckets, 256u);
  for (int i = 0; i < 7; ++i) {
    std::string name = "GROW-" + std::to_string(i);
    EXPECT_EQ(context::find_word(ctx, symbol::make(name.c_str()), true), i);
  }
}

TEST(HashTable, RepeatedKeysShareABucketAndTheSkipGrid) {
  CompareHandlers handlers;
  //              0  1  2  3  4  5  6  7
  HashValue h({5, 1, 5, 2, 5, 5, 3, 5}, 8);
  EXPECT_EQ(hash::record(h.table())->size, 4u) << "distinct keys";
  struct Case { i32 head, skip; bool last, reverse; i32 expect; };
  for (Case c : {Case{0, 1, false, false, 0}, Case{1, 1, false, false, 2},
                 Case{0, 1, true, false, 7}, Case{0, 2, false, false, 0},
                 Case{1, 2, false, false, 5}, Case{1, 2, true, false, 7},
                 Case{3, 2, false, false, 5}, Case{6, 2, false, false, -1},
                 Case{6, 1, false, true, 5}, Case{7, 2, false, true, 4},
                 Case{0, 1, false, true, -1}}) {
    EXPECT_EQ(h.find(5, c.head, c.skip, c.last, c.reverse), c.expect)
        << "head " << c.head << " skip " << c.skip << " last " << c.last << " reverse " << c.reverse;
  }
}

TEST(HashTable, MapKeysArePutOnceAndLookedUpByCase) {
  CompareHandlers handlers;
  roots::LocalCell map;
  map->header = TYPE_MAP;
  set_series_node(map.get(), mem::alloc_cells(8));
  // A repeated key keeps its first pair with the later value.
  for (i32 v : {1, 10, 2, 20, 1, 30, 3, 40}) make_integer(mem::alloc_tail_cell(series_node(map.get())), v);
  set_series_extra(map.get(), hash::make(4, series_node(map.get()), hash::KIND_MAP, 0));
  mem::Buffer* b = mem::buffer_of(series_node(map.get()));
  ASSERT_EQ(b->used() / 16, 6u);
  std::vector<i32> cells;
  for (u32 i = 0; i < 6; ++i) cells.push_back(int_of(b->cells() + i));
  EXPECT_EQ(cells, (std::vector<i32>{1, 30, 2, 20, 3, 40}));
  EXPECT_EQ(hash::record(series_extra(map.get()))->size, 3u);

  // Deleting an entry zeroes its value header and lowers the count; the key stays.
  Cell two = integer_cell(2);
  hash::delete_at(series_extra(map.get()), hash::get(series_extra(map.get()), &two, 0, 1, COMP_STRICT_EQUAL, false, false));
  EXPECT_EQ(hash::record(series_extra(map.get()))->size, 2u);
  EXPECT_EQ(mem::buffer_of(series_node(map.get()))->cells()[3].header, 0u);

  // Strings: case folds in the hash, the operator decides.
  roots::LocalCell smap;
  smap->header = TYPE_MAP;
  set_series_node(smap.get(), mem::alloc_cells(4));
  *mem::alloc_tail_cell(series_node(smap.get())) = string_cell("abc");
  make_integer(mem::alloc_tail_cell(series_node(smap.get())), 1);
  set_series_extra(smap.get(), hash::make(4, series_node(smap.get()), hash::KIND_MAP, 0));
  Cell upper = string_cell("ABC");
  EXPECT_NE(hash::get(series_extra(smap.get()), &upper, 0, 1, COMP_EQUAL, false, false), nullptr);
  EXPECT_EQ(hash::get(series_extra(smap.get()), &upper, 0, 1, COMP_STRICT_EQUAL, false, false), nullptr);
  // find_next walks every loosely equal key.
  *mem::alloc_tail_cell(series_node(smap.get())) = string_cell("ABC");
  make_integer(mem::alloc_tail_cell(series_node(smap.get())), 2);
  hash::put_key(series_extra(smap.get()), mem::buffer_of(series_node(smap.get()))->cells() + 2);
  EXPECT_EQ(hash::record(series_extra(smap.get()))->size, 2u) << "strictly different keys";
  i32 bucket = -1, first = 0, step = 0;
  int seen = 0;
  while (hash::find_next(series_extra(smap.get()), &upper, &bucket, &first, &step)) ++seen;
  EXPECT_EQ(seen, 2);
}

// A hash! block edited the way the series actions edit it, against a model
// of its cells: after every edit each key must be found at its first and
// last position and nowhere else.
TEST(HashTable, BlockEditsKeepTheTableInStep) {
  CompareHandlers handlers;
  Guard collecting;
  std::mt19937 rng(20240611);
  auto pick = [&](u32 n) { return n ? u32(rng() % n) : 0u; };
  std::vector<i32> model;
  HashValue h({}, 4);
  auto write_block = [&] {
    mem::Buffer* b = mem::buffer_of(h.block());
    for (u32 i = 0; i < model.size(); ++i) make_integer(b->cells() + i, model[i]);
  };
  auto grow_block = [&](u32 n) {
    for (u32 i = 0; i < n; ++i) mem::alloc_tail_cell(h.block());
  };
  for (int step = 0; step < 400; ++step) {
    u32 len = u32(model.size());
    int op = int(pick(6));
    std::string what;
    if (op <= 1 || len < 4) {  // insert k values at a position
      u32 pos = pick(len + 1), k = 1 + pick(4);
      std::vector<i32> vals;
      for (u32 i = 0; i < k; ++i) vals.push_back(i32(pick(9)));
      grow_block(k);
      model.insert(model.begin() + pos, vals.begin(), vals.end());
      write_block();
      ASSERT_EQ(hash::insert_range(h.table(), i32(k), pos, len - pos, true), 0);
      for (u32 p = pos; p < pos + k; ++p) {
        if (hash::put_key(h.table(), h.at(p)) == hash::PUT_REBUILT) break;
      }
      what = "insert " + std::to_string(k) + " at " + std::to_string(pos);
    } else if (op == 2) {  // remove k values at a position
      u32 pos = pick(len), k = 1 + pick(std::min<u32>(3, len - pos));
      ASSERT_EQ(hash::insert_range(h.table(), -i32(k), pos + k, len - pos - k, true), 0);
      model.erase(model.begin() + pos, model.begin() + pos + k);
      write_block();
      mem::buffer_of(h.block())->tail -= k * 16;
      what = "remove " + std::to_string(k) + " at " + std::to_string(pos);
    } else if (op == 3) {  // move a run within the block
      u32 from = pick(len), count = 1 + pick(std::min<u32>(3, len - from));
      std::vector<i32> run(model.begin() + from, model.begin() + from + count);
      model.erase(model.begin() + from, model.begin() + from + count);
      u32 to = pick(u32(model.size()) + 1);
      model.insert(model.begin() + to, run.begin(), run.end());
      write_block();
      hash::move_range(h.table(), to, from, count);
      what = "move " + std::to_string(count) + " from " + std::to_string(from) + " to " +
             std::to_string(to);
    } else if (op == 4) {  // poke
      u32 pos = pick(len);
      model[pos] = i32(pick(9));
      write_block();
      hash::put_key(h.table(), h.at(pos));
      what = "poke " + std::to_string(pos);
    } else {  // clear from a position
      u32 pos = pick(len);
      hash::remove_range(h.table(), pos, len - pos);
      model.resize(pos);
      mem::buffer_of(h.block())->tail = mem::buffer_of(h.block())->head + pos * 16;
      what = "clear from " + std::to_string(pos);
    }
    ASSERT_EQ(h.length(), model.size());
    u32 distinct = 0;
    for (i32 v = 0; v < 9; ++v) {
      auto first = std::find(model.begin(), model.end(), v);
      auto last = std::find(model.rbegin(), model.rend(), v);
      i32 expect_first = first == model.end() ? -1 : i32(first - model.begin());
      i32 expect_last = last == model.rend() ? -1 : i32(model.rend() - last) - 1;
      distinct += expect_first >= 0;
      ASSERT_EQ(h.find(v), expect_first) << "value " << v << " after step " << step << ": " << what;
      ASSERT_EQ(h.find(v, 0, 1, true), expect_last) << "value " << v << " after " << what;
    }
    ASSERT_EQ(hash::record(h.table())->size, distinct) << "after " << what;
  }
}

TEST(HashTable, BlockKeysStayFindableAcrossCollections) {
  CompareHandlers handlers;
  roots::LocalCell h;
  h->header = TYPE_HASH;
  set_series_node(h.get(), mem::alloc_cells(4));
  u32 inner = mem::alloc_cells(2);
  make_series(mem::alloc_tail_cell(series_node(h.get())), TYPE_BLOCK, inner);
  make_integer(mem::alloc_tail_cell(series_node(h.get())), 7);
  set_series_extra(h.get(), hash::make(4, series_node(h.get()), hash::KIND_BLOCK, 0));
  // Garbage in front of the table's series, so that compaction moves them.
  for (int i = 0; i < 50; ++i) mem::alloc_cells(64);
  gc::do_cycle();
  Cell key;
  make_series(&key, TYPE_BLOCK, inner);
  Cell* found = hash::get(series_extra(h.get()), &key, 0, 1, COMP_EQUAL, false, false);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found, mem::buffer_of(series_node(h.get()))->cells());
}

TEST(HashTable, CopiesAreIndependent) {
  CompareHandlers handlers;
  HashValue h({1, 2, 1}, 4);
  roots::LocalCell c;
  c->header = TYPE_HASH;
  set_series_node(c.get(), mem::copy_series_buffer(h.block()));
  set_series_extra(c.get(), hash::copy(h.table(), series_node(c.get())));
  // Editing the original's chain leaves the copy's alone.
  hash::remove_range(h.table(), 0, 1);
  EXPECT_EQ(h.find(1), 2);
  Cell one = integer_cell(1);
  Cell* in_copy = hash::get(series_extra(c.get()), &one, 0, 1, COMP_EQUAL, false, false);
  ASSERT_NE(in_copy, nullptr);
  EXPECT_EQ(in_copy, mem::buffer_of(series_node(c.get()))->cells());
}

TEST(HashTable, ClearedTablesFillAgain) {
  CompareHandlers handlers;
  HashValue h({4, 4, 5, 6}, 4);
  hash::clear(h.table());
  EXPECT_EQ(h.length(), 0u);
  EXPECT_EQ(h.find(4), -1);
  for (i32 v : {6, 4}) {
    make_integer(mem::alloc_tail_cell(h.block()), v);
    hash::put_key(h.table(), h.at(h.length() - 1));
  }
  EXPECT_EQ(hash::record(h.table())->size, 2u);
  EXPECT_EQ(h.find(6), 0);
  EXPECT_EQ(h.find(4), 1);
  EXPECT_EQ(h.find(5), -1);
}

TEST(PointerTable, PutGetDeleteAndRebuild) {
  Guard collecting;
  roots::LocalCell holder;  // the table, kept as a map! cell over it
  holder->header = TYPE_MAP;
  set_series_extra(holder.get(), hash::make(4, 0, hash::KIND_POINTER, 1));
  u32 t = series_extra(holder.get());
  for (u32 k = 1; k <= 100; ++k) make_integer(hash::put_ptr(t, k * 4096), i32(k));
  for (u32 k = 1; k <= 100; k += 2) {
    Cell* v = hash::delete_ptr(t, k * 4096);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(int_of(v), i32(k));
  }
  EXPECT_EQ(hash::delete_ptr(t, 4096), nullptr) << "already deleted";
  EXPECT_EQ(hash::record(t)->size, 50u);
  // Filling on forces rebuilds that keep only the live records.
  for (u32 k = 101; k <= 300; ++k) make_integer(hash::put_ptr(t, k * 4096), i32(k));
  for (u32 k = 1; k <= 300; ++k) {
    Cell* v = hash::get_ptr(t, k * 4096);
    if (k <= 100 && k % 2) {
      EXPECT_EQ(v, nullptr) << k;
    } else {
      ASSERT_NE(v, nullptr) << k;
      EXPECT_EQ(int_of(v), i32(k));
    }
  }
  EXPECT_EQ(hash::record(t)->size, 250u);
  // Putting an existing key resets its record.
  EXPECT_TRUE(is_unset(hash::put_ptr(t, 2 * 4096)));
  EXPECT_EQ(hash::record(t)->size, 250u);
  hash::clear(t);
  EXPECT_EQ(hash::get_ptr(t, 2 * 4096), nullptr);
  EXPECT_EQ(hash::record(t)->size, 0u);
}

// ---------------------------------------------------------------------------------
// Ownership

namespace {

struct DeepEvent {
  u32 owner, word, target, action;
  Type new_type;
  i32 index, part;
};
std::vector<DeepEvent> g_events;

void record_deep_change(Cell* owner, Cell* word, Cell* target, Cell* action, Cell* new_value,
                        i32 index, i32 part) {
  g_events.push_back({object::context_of(owner), word::symbol_of(word), series_node(target), word::symbol_of(action),
                      new_value ? type_of(new_value) : TYPE_NO_TYPE, index, part});
}

// An object with change handlers over a fresh object context.
struct Owner {
  roots::LocalCell object;
  explicit Owner(bool handlers = true) { make_object_at(object.get(), 2, handlers); }
  u32 ctx() const { return object::context_of(&object.cell); }
};

// Stands in for the objects' deep-change handler for its scope, and puts
// the runtime's own back.
struct DeepHook {
  decltype(ownership::on_deep_change) saved = ownership::on_deep_change;
  DeepHook() {
    g_events.clear();
    ownership::on_deep_change = record_deep_change;
  }
  ~DeepHook() { ownership::on_deep_change = saved; }
};


}  // namespace

TEST(Ownership, OwnedSeriesFireTheOwnersDeepChange) {
  DeepHook hook;
  Owner owner;
  roots::LocalCell outer;
  u32 inner = mem::alloc_cells(2);
  make_series(outer.get(), TYPE_BLOCK, mem::alloc_cells(2));
  make_series(mem::alloc_tail_cell(series_node(outer.get())), TYPE_BLOCK, inner);
  Cell field = unbound_word("items"), append = unbound_word("append"), value = integer_cell(5);
  ownership::bind_entry(outer.get(), owner.object.get(), &field);
  EXPECT_TRUE(context::record_of(owner.ctx())->header & ownership::OWNER_FLAG);

  Cell inner_cell;
  make_series(&inner_cell, TYPE_BLOCK, inner);
  struct Case { const Cell* target; i32 index, part; };
  for (Case c : {Case{outer.get(), 0, 1}, Case{&inner_cell, 3, 2}}) {
    g_events.clear();
    EXPECT_TRUE(ownership::check(c.target, &append, &value, c.index, c.part));
    ASSERT_EQ(g_events.size(), 1u);
    const DeepEvent& e = g_events[0];
    EXPECT_EQ(e.owner, owner.ctx());
    EXPECT_EQ(e.word, word::symbol_of(&field));
    EXPECT_EQ(e.target, series_node(c.target));
    EXPECT_EQ(e.action, word::symbol_of(&append));
    EXPECT_EQ(e.new_type, TYPE_INTEGER);
    EXPECT_EQ(e.index, c.index);
    EXPECT_EQ(e.part, c.part);
  }
  ASSERT_NE(ownership::owner_of(inner), nullptr);
  EXPECT_EQ(object::context_of(ownership::owner_of(inner)), owner.ctx());

  // Unbinding walks the same way and silences both.
  ownership::unbind(outer.get());
  g_events.clear();
  EXPECT_FALSE(ownership::check(outer.get(), &append, nullptr, 0, 1));
  EXPECT_FALSE(ownership::check(&inner_cell, &append, nullptr, 0, 1));
  EXPECT_TRUE(g_events.empty());
  EXPECT_FALSE(mem::buffer_of(inner)->flags & mem::SERIES_OWNED);
}

TEST(Ownership, NoHandlersNoEventAndCyclesEnd) {
  DeepHook hook;
  Owner quiet(false);
  roots::LocalCell block;
  make_series(block.get(), TYPE_BLOCK, mem::alloc_cells(2));
  *mem::alloc_tail_cell(series_node(block.get())) = block.cell;  // the block holds itself
  Cell field = unbound_word("items"), change = unbound_word("change");
  ownership::bind(block.get(), quiet.object.get(), &field);
  EXPECT_NE(ownership::owner_of(series_node(block.get())), nullptr);
  EXPECT_FALSE(ownership::check(block.get(), &change, nullptr, 0, 1))
      << "an owner without change handlers is not told";
  EXPECT_TRUE(g_events.empty());
  // A series already owned keeps its first owner.
  Owner other;
  Cell field2 = unbound_word("other");
  ownership::bind(block.get(), other.object.get(), &field2);
  EXPECT_EQ(object::context_of(ownership::owner_of(series_node(block.get()))), quiet.ctx());
  ownership::unbind(block.get());
}

TEST(Ownership, TheSweepForgetsDeadOwnersAndDeadSeries) {
  DeepHook hook;
  Cell field = unbound_word("items"), append = unbound_word("append");
  gc::do_cycle();
  u32 before = hash::record(ownership::table)->size;
  roots::LocalCell kept;
  make_series(kept.get(), TYPE_BLOCK, mem::alloc_cells(2));
  Owner lasting;
  {
    Owner doomed;  // unreachable once this scope ends
    ownership::bind(kept.get(), doomed.object.get(), &field);
    Cell lost;  // never rooted: dies while its owner lives
    make_series(&lost, TYPE_STRING, mem::alloc_series_unit(8, 1));
    ownership::bind(&lost, lasting.object.get(), &field);
    EXPECT_EQ(hash::record(ownership::table)->size, before + 2);
  }
  gc::do_cycle();
  EXPECT_EQ(hash::record(ownership::table)->size, before);
  EXPECT_EQ(ownership::owner_of(series_node(kept.get())), nullptr);
  EXPECT_FALSE(mem::buffer_of(series_node(kept.get()))->flags & mem::SERIES_OWNED)
      << "a series outliving its owner can be owned again";
  EXPECT_FALSE(ownership::check(kept.get(), &append, nullptr, 0, 1));
  Owner next;
  ownership::bind(kept.get(), next.object.get(), &field);
  EXPECT_EQ(object::context_of(ownership::owner_of(series_node(kept.get()))), next.ctx());
}

}  // namespace hash_test
