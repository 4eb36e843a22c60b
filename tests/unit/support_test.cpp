// Cells, output hooks, series-backed arrays and character widths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/array.hpp"
#include "runtime/cell.hpp"
#include "runtime/char_width.hpp"
#include "runtime/hooks.hpp"
#include "runtime/memory.hpp"

namespace support_test {

using namespace qel;

TEST(Cell, CopyOntoItselfChangesNothing) {
  Cell c;
  make_float(&c, 1.5);
  set_new_line(&c, true);
  copy_cell(&c, &c);
  EXPECT_EQ(type_of(&c), TYPE_FLOAT);
  EXPECT_TRUE(has_new_line(&c));
  EXPECT_EQ(float_of(&c), 1.5);
  set_type(&c, TYPE_PERCENT);
  EXPECT_TRUE(has_new_line(&c)) << "set_type keeps the flags";
}

namespace {
std::vector<std::string> g_seen;
void v1(const Cell*, int) { g_seen.push_back("v1"); }
void v2(const Cell*, int) { g_seen.push_back("v2"); }
void b1(const char* t, std::size_t n, int) { g_seen.push_back(std::string(t, n)); }
}  // namespace

TEST(Hooks, GrowByFiveKeepOrderRemoveFirstOnly) {
  hooks::init();
  Cell c;
  make_none(&c);
  hooks::call_event_hooks(&c, 0);
  hooks::call_output_hooks("x", 1, 0);
  EXPECT_TRUE(g_seen.empty()) << "empty lists call nothing";
  for (int i = 0; i < 5; ++i) hooks::add(i % 2 ? v2 : v1, nullptr);
  EXPECT_EQ(hooks::value_capacity(), 5u);
  hooks::add(v2, b1);
  EXPECT_EQ(hooks::value_capacity(), 10u);
  EXPECT_EQ(hooks::value_count(), 6u);
  EXPECT_EQ(hooks::byte_count(), 1u) << "null hooks are skipped";
  hooks::remove(v2, nullptr);
  EXPECT_EQ(hooks::value_count(), 5u);
  hooks::call_event_hooks(&c, 0);
  EXPECT_EQ(g_seen, (std::vector<std::string>{"v1", "v1", "v2", "v1", "v2"}));
  g_seen.clear();
  hooks::call_output_hooks("text", 4, 0);
  EXPECT_EQ(g_seen, (std::vector<std::string>{"text"}));
  g_seen.clear();
  hooks::init();
}

TEST(Array, IntItemsGrowFindInsertRemove) {
  u32 a = array::make(4, 4);
  EXPECT_EQ(array::find_int(a, 1), -1);
  for (int i = 1; i <= 4; ++i) array::append_int(a, i * 10);
  u32 cap = mem::buffer_of(a)->size;
  array::append_int(a, 50);
  EXPECT_EQ(mem::buffer_of(a)->size, cap * 2);
  EXPECT_EQ(array::length(a), 5u);
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(array::pick_int(a, i), i * 10);
  array::append_int(a, 20);
  EXPECT_EQ(array::find_int(a, 20), 4);
  EXPECT_EQ(array::remove_int(a, 20), 4);
  EXPECT_EQ(array::find_int(a, 20), 16) << "only the first is removed";
  EXPECT_EQ(array::remove_int(a, 99), -1);
  array::poke_int(a, 1, 7);
  EXPECT_EQ(array::pick_int(a, 1), 7);
  array::cut(a, 3);
  EXPECT_EQ(array::length(a), 2u);
  array::clear(a);
  EXPECT_EQ(array::length(a), 0u);
}

TEST(Array, InsertAtZeroOfAFullArrayGrows) {
  u32 a = array::make(4, 4);
  for (int i = 1; i <= 4; ++i) array::append_int(a, i);
  array::insert_int(a, 0, 0);
  EXPECT_EQ(array::length(a), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(array::pick_int(a, i + 1), i);
}

TEST(Array, BytesAndCopy) {
  u32 a = array::make(0, 1);
  array::append_bytes(a, "abc", 3);
  array::append_byte(a, 'd');
  EXPECT_EQ(array::pick_byte(a, 4), 'd');
  u32 c = array::copy(a);
  EXPECT_EQ(array::length(c), 4u);
  EXPECT_EQ(array::flags(c) & mem::SERIES_UNIT_MASK, 1u);
  array::remove_at(a, 1, 2);
  EXPECT_EQ(array::length(a), 2u);
  EXPECT_EQ(array::pick_byte(a, 2), 'd');
}

TEST(CharWidth, Table) {
  struct Case { u32 cp; int width; int cjk; };
  for (Case c : {Case{0, 0, 0}, Case{9, 1, 1}, Case{'A', 1, 1}, Case{0x7F, 1, 1},
                 Case{0x0301, 0, 2}, Case{0x4E00, 2, 2}, Case{0x00A1, 1, 2},
                 Case{0x1F600, 2, 2}, Case{0xE0100, 0, 2}, Case{0x10FFFD, 1, 2},
                 Case{0x3FFFD, 2, 2}}) {
    EXPECT_EQ(char_width(c.cp), c.width) << std::hex << c.cp;
    EXPECT_EQ(char_width_cjk(c.cp), c.cjk) << std::hex << c.cp;
  }
}

TEST(MemoryStats, ReportShape) {
  EXPECT_GT(memstats::bytes_in_use(), 0.0);
  u32 block = mem::alloc_cells(8);
  memstats::report(block);
  mem::Buffer* b = mem::buffer_of(block);
  ASSERT_EQ(b->used() / 16, 5u);
  Cell* c = b->cells();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(type_of(c + i), TYPE_BLOCK);
    EXPECT_TRUE(has_new_line(c + i));
  }
  EXPECT_EQ(type_of(c + 3), TYPE_INTEGER);
  // Each node frame reports [free used capacity] with free + used = capacity.
  mem::Buffer* nodes = mem::buffer_of(series_node(c));
  ASSERT_GE(nodes->used() / 16, 1u);
  mem::Buffer* first = mem::buffer_of(series_node(nodes->cells()));
  Cell* f = first->cells();
  EXPECT_EQ(int_of(f) + int_of(f + 1), int_of(f + 2));
}

}  // namespace support_test
