// The collector: reachability, compaction, large blocks, resources, the
// value slot table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "datatypes/handle.hpp"
#include "runtime/collector.hpp"
#include "runtime/memory.hpp"
#include "runtime/resources.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"

namespace collector_test {

using namespace qel;
using namespace qel::mem;

namespace {

// Every buffer in a frame that still has a node is named by that node, and
// no mark is left behind.
void expect_heap_consistent() {
  for (u32 o = record.series_first; o; o = at<SeriesFrame>(o)->next) {
    SeriesFrame* f = at<SeriesFrame>(o);
    for (u32 p = f->data_offset(); p < f->free;) {
      Buffer* b = at<Buffer>(p);
      EXPECT_FALSE(b->flags & SERIES_MARK);
      if (b->node) {
        EXPECT_EQ(node_target(b->node), p) << "node does not name its buffer";
      }
      EXPECT_GE(b->head, b->data_offset());
      EXPECT_LE(b->tail, b->end_offset());
      p += b->size + sizeof(Buffer);
    }
  }
  for (u32 o = record.large_first; o; o = at<LargeBlock>(o)->next) {
    EXPECT_FALSE(at<LargeBlock>(o)->buffer()->flags & SERIES_MARK);
  }
}

u32 bytes_series(const std::string& text) {
  u32 node = alloc_bytes(u32(text.size()));
  std::memcpy(alloc_tail_bytes(node, u32(text.size())), text.data(), text.size());
  return node;
}

std::string text_of(u32 node) {
  Buffer* b = buffer_of(node);
  return std::string(reinterpret_cast<char*>(b->head_ptr()), b->used());
}

int g_released = 0;
void count_release(void*) { ++g_released; }

u32 g_callback_node = 0;
void mark_callback_node() { gc::mark_node(g_callback_node); }

}  // namespace

TEST(Collector, CompactionKeepsReachableSeriesIntact) {
  gc::do_cycle();
  // A rooted block holding every other one of many series; the rest is garbage.
  roots::LocalCell holder;
  make_series(holder.get(), TYPE_BLOCK, alloc_cells(8));
  std::vector<std::pair<u32, std::string>> kept;
  for (int i = 0; i < 3000; ++i) {
    std::string text = "series-" + std::to_string(i) + std::string(size_t(i % 97), 'x');
    u32 node = bytes_series(text);
    if (i % 2 == 0) {
      Cell* c = alloc_tail_cell(series_node(holder.get()));
      make_series(c, TYPE_BINARY, node);
      kept.emplace_back(node, text);
    }
  }
  double before = 0;
  for (u32 o = record.series_first; o; o = at<SeriesFrame>(o)->next) {
    before += at<SeriesFrame>(o)->free - at<SeriesFrame>(o)->data_offset();
  }
  gc::do_cycle();
  double after = 0;
  for (u32 o = record.series_first; o; o = at<SeriesFrame>(o)->next) {
    after += at<SeriesFrame>(o)->free - at<SeriesFrame>(o)->data_offset();
  }
  EXPECT_LT(after, before) << "garbage was reclaimed";
  for (auto& [node, text] : kept) EXPECT_EQ(text_of(node), text);
  expect_heap_consistent();
  // New allocations reuse the freed space and the kept series stay intact.
  for (int i = 0; i < 1000; ++i) bytes_series(std::string(40, 'y'));
  gc::do_cycle();
  for (auto& [node, text] : kept) EXPECT_EQ(text_of(node), text);
  expect_heap_consistent();
}

TEST(Collector, SelfReferenceAndAbandonedBuffers) {
  roots::LocalCell blk;
  u32 node = alloc_cells(1);
  make_series(blk.get(), TYPE_BLOCK, node);
  copy_cell(blk.get(), alloc_tail_cell(node));  // the block contains itself
  make_integer(alloc_tail_cell(node), 7);       // grows it: the old buffer is abandoned
  gc::do_cycle();
  Buffer* b = buffer_of(node);
  ASSERT_EQ(b->used(), 2 * sizeof(Cell));
  EXPECT_EQ(series_node(b->cells()), node);
  EXPECT_EQ(int_of(b->cells() + 1), 7);
  expect_heap_consistent();
}

TEST(Collector, ValuesOnTheArgumentsStackAndNodeRootsSurvive) {
  stack::init();
  Cell* on_stack = stack::push();
  make_series(on_stack, TYPE_BINARY, bytes_series("stacked"));
  u32 held = bytes_series("held by a node root");
  {
    roots::NodeRoot r(&held);
    gc::do_cycle();
    EXPECT_EQ(text_of(held), "held by a node root");
  }
  EXPECT_EQ(text_of(series_node(on_stack)), "stacked");
  stack::init();
}

TEST(Collector, LargeBlocksAreFreedWhenUnreachable) {
  auto count = [] {
    int n = 0;
    for (u32 o = record.large_first; o; o = at<LargeBlock>(o)->next) ++n;
    return n;
  };
  gc::do_cycle();
  int base = count();
  roots::LocalCell keep;
  make_series(keep.get(), TYPE_BINARY, alloc_bytes(3 << 20));
  alloc_bytes(3 << 20);  // unreachable
  EXPECT_EQ(count(), base + 2);
  gc::do_cycle();
  EXPECT_EQ(count(), base + 1);
  EXPECT_FALSE(buffer_of(series_node(keep.get()))->flags & SERIES_MARK);
}

TEST(Collector, MarkCallbacksKeepTheirValues) {
  g_callback_node = bytes_series("from a callback");
  ASSERT_TRUE(gc::add_mark_callback(mark_callback_node));
  gc::do_cycle();
  EXPECT_EQ(text_of(g_callback_node), "from a callback");
  gc::remove_mark_callback(mark_callback_node);
  gc::do_cycle();  // now unreachable: its node goes back to the free list
  expect_heap_consistent();
}

TEST(Collector, EnableFlagGatesCollectionsFromAllocation) {
  bool saved = gc::enabled;
  gc::enabled = false;
  u32 before = gc::cycles();
  gc::check();
  EXPECT_EQ(gc::cycles(), before);
  gc::enabled = true;
  gc::check();
  EXPECT_EQ(gc::cycles(), before + 1);
  gc::enabled = saved;
}

TEST(Resources, ReleasedExactlyOnceWhenUnreachable) {
  static int type = resources::register_type("test", count_release);
  ASSERT_GT(type, 0);
  int dummy = 0;
  g_released = 0;
  roots::LocalCell handle;
  handle::make_at(handle.get(), &dummy, u32(type));
  int h = handle::slot_of(handle.get());
  gc::do_cycle();
  EXPECT_EQ(g_released, 0) << "reachable";
  make_none(handle.get());
  gc::do_cycle();
  EXPECT_EQ(g_released, 1);
  gc::do_cycle();
  EXPECT_EQ(g_released, 1) << "released once";
  EXPECT_EQ(resources::get(h), nullptr);

  int a = 0, b = 0;
  h = resources::add(&a, type);
  resources::replace(h, &a);
  EXPECT_EQ(g_released, 1) << "replacing with the same pointer releases nothing";
  resources::replace(h, &b);
  EXPECT_EQ(g_released, 2);
  resources::free(h, true);
  resources::free(h, true);
  EXPECT_EQ(g_released, 3) << "a second free is ignored";
}

TEST(Resources, TableDoublesWhenItsLastFreeSlotIsTaken) {
  static int type = resources::register_type("plain", nullptr);
  u32 cap = resources::capacity();
  std::vector<int> handles;
  int dummy = 0;
  while (resources::capacity() == cap) handles.push_back(resources::add(&dummy, type));
  EXPECT_EQ(resources::capacity(), cap * 2);
  for (int h : handles) EXPECT_EQ(resources::get(h), &dummy);
  for (int h : handles) resources::free(h, false);
}

TEST(Resources, ValueSlotTable) {
  u32 cap = resources::slot_capacity();
  Cell v;
  std::vector<u32> handles;
  for (u32 i = 0; i < cap + 1; ++i) {
    make_integer(&v, i32(i));
    handles.push_back(resources::slot_alloc(&v));
  }
  EXPECT_EQ(resources::slot_capacity(), cap * 2);
  for (u32 i = 0; i < handles.size(); ++i) EXPECT_EQ(int_of(resources::slot_cell(handles[i])), i32(i));
  u32 h = handles[3];
  resources::slot_free(h);
  resources::slot_free(h);  // a double free must not corrupt the free list
  resources::slot_free(0);
  resources::slot_free(1u << 30);
  make_integer(&v, 77);
  EXPECT_EQ(resources::slot_alloc(&v), h);
  u32 next = resources::slot_alloc(&v);
  EXPECT_NE(next, h) << "the freed slot was handed out once";
  // Values in the table survive collections.
  make_series(&v, TYPE_BINARY, bytes_series("slotted"));
  u32 sh = resources::slot_alloc(&v);
  gc::do_cycle();
  EXPECT_EQ(text_of(series_node(resources::slot_cell(sh))), "slotted");
  for (u32 x : handles) resources::slot_free(x);
  resources::slot_free(next);
  resources::slot_free(sh);
}

}  // namespace collector_test
