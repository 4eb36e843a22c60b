// When the collector runs on its own: often enough that garbage never grows
// memory without bound, seldom enough that a growing live set is not traced
// again at every new frame or large block.
#include <gtest/gtest.h>

#include <algorithm>

#include "runtime/collector.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"

namespace collector_budget_test {

using namespace qel;
using namespace qel::mem;

namespace {

// Turns collections from allocation on for one test, and the collection at
// every allocation off: the budget is what is under test.
struct CollectorOn {
  bool saved = gc::enabled, saved_stress = gc::stress;
  CollectorOn() {
    gc::enabled = true;
    gc::stress = false;
  }
  ~CollectorOn() {
    gc::enabled = saved;
    gc::stress = saved_stress;
  }
};

u32 large_block_count() {
  u32 n = 0;
  for (u32 o = record.large_first; o; o = at<LargeBlock>(o)->next) ++n;
  return n;
}

constexpr u32 LARGE = 3u << 20;

// Bytes of buffers in the series frames and large blocks.
u64 bytes_in_frames() {
  u64 n = 0;
  for (u32 o = record.series_first; o; o = at<SeriesFrame>(o)->next) {
    n += at<SeriesFrame>(o)->free - at<SeriesFrame>(o)->data_offset();
  }
  for (u32 o = record.large_first; o; o = at<LargeBlock>(o)->next) n += at<LargeBlock>(o)->bytes;
  return n;
}

}  // namespace

// Dropped large blocks, with no small allocation in between: the pages in
// use stay bounded and the dropped blocks are freed.
TEST(CollectorBudget, DroppedLargeBlocksAreCollectedAndPagesStayBounded) {
  CollectorOn on;
  gc::do_cycle();
  u64 base = record.total;
  u32 blocks = large_block_count();
  u32 cycles = gc::cycles();
  u64 peak = 0;
  for (int i = 0; i < 200; ++i) {  // 600 MB in all
    alloc_bytes(LARGE);
    peak = std::max(peak, record.total);
  }
  EXPECT_GT(gc::cycles(), cycles) << "no collection while allocating large blocks";
  EXPECT_LT(peak, base + std::max<u64>(base, 8u << 20) + 2 * u64(LARGE) + (1u << 20));
  gc::do_cycle();
  EXPECT_EQ(large_block_count(), blocks);
}

// A live set that grows by large blocks or by small buffers is traced a
// number of times that grows with the logarithm of its size, not once per
// block or per frame; every value made stays intact.
TEST(CollectorBudget, GrowingLiveSetIsNotCollectedAtEveryBlockOrFrame) {
  CollectorOn on;
  struct Case {
    const char* name;
    u32 bytes;  // size of each live series
    int count;
  };
  for (Case c : {Case{"large blocks", LARGE, 40}, Case{"small buffers", 2000, 60000}}) {
    gc::do_cycle();
    u32 cycles = gc::cycles();
    roots::LocalCell holder;
    make_series(holder.get(), TYPE_BLOCK, alloc_cells(8));
    for (int i = 0; i < c.count; ++i) {
      u32 node = alloc_bytes(c.bytes);
      buffer_of(node)->data()[0] = u8(i);
      buffer_of(node)->tail = buffer_of(node)->head + 1;
      roots::NodeRoot hold(&node);
      make_series(alloc_tail_cell(series_node(holder.get())), TYPE_BINARY, node);
    }
    // 120 MB live: at most a collection at each growth by a third past
    // 24 MB (the budget's floor below).
    EXPECT_LE(gc::cycles() - cycles, 10u) << c.name;
    Buffer* block = buffer_of(series_node(holder.get()));
    ASSERT_EQ(block->used() / sizeof(Cell), u32(c.count)) << c.name;
    for (int i = 0; i < c.count; ++i) {
      Buffer* b = buffer_of(series_node(block->cells() + i));
      ASSERT_EQ(b->used(), 1u) << c.name << " " << i;
      ASSERT_EQ(b->head_ptr()[0], u8(i)) << c.name << " " << i;
    }
  }
  gc::do_cycle();
}

// A few survivors scattered through much garbage (one small buffer kept in
// every few hundred): the frames they sit in are emptied into earlier ones
// and given back, so the pages in use stay within a small factor of what is
// live, and each collection is paid for by as many bytes allocated as it
// traced.
TEST(CollectorBudget, ScatteredSurvivorsDoNotHoldTheirFrames) {
  CollectorOn on;
  gc::do_cycle();
  roots::LocalCell holder;
  make_series(holder.get(), TYPE_BLOCK, alloc_cells(8));
  u32 cycles = gc::cycles();
  u64 peak = 0;
  constexpr int COUNT = 200000;  // 400 MB of 2,000-byte buffers
  for (int i = 0; i < COUNT; ++i) {
    u32 node = alloc_bytes(2000);
    buffer_of(node)->data()[0] = u8(i);
    buffer_of(node)->tail = buffer_of(node)->head + 1;
    if (i % 500 == 0) {
      roots::NodeRoot hold(&node);
      make_series(alloc_tail_cell(series_node(holder.get())), TYPE_BINARY, node);
    }
    peak = std::max(peak, record.total);
  }
  gc::do_cycle();
  u64 live = bytes_in_frames();
  // Emptied frames are given back, or kept for reuse within the budget of
  // the next cycle.
  EXPECT_LT(record.total - record.spare_bytes, 2 * live + (8u << 20)) << "emptied frames kept in use";
  EXPECT_LE(record.spare_bytes, std::max<u64>(bytes_in_use(), 8u << 20) + record.largest_frame_size)
      << "more frames kept than the budget fills";
  EXPECT_LT(peak, 3 * live + (24u << 20)) << "pages grew past the budget";
  // 400 MB allocated over an 8 MB budget: about 50 cycles, not one per frame.
  EXPECT_LE(gc::cycles() - cycles, 60u);
  Buffer* block = buffer_of(series_node(holder.get()));
  ASSERT_EQ(block->used() / sizeof(Cell), u32(COUNT / 500));
  for (int i = 0; i < COUNT / 500; ++i) {
    Buffer* b = buffer_of(series_node(block->cells() + i));
    ASSERT_EQ(b->head_ptr()[0], u8(i * 500)) << i;
  }
}

// The frames a cycle empties are kept and filled again before any new page
// is committed: garbage made and collected over and over commits nothing
// once the first cycles have run, and every kept frame can be given back.
TEST(CollectorBudget, EmptiedFramesAreReusedBeforeNewPages) {
  CollectorOn on;
  gc::do_cycle();
  for (int i = 0; i < 20000; ++i) alloc_bytes(2000);  // 40 MB of garbage
  gc::do_cycle();
  ASSERT_GT(record.spare_count, 0u);
  u64 committed = record.total;
  u64 peak = committed;
  for (int i = 0; i < 20000; ++i) {
    alloc_bytes(2000);
    peak = std::max(peak, record.total);
  }
  EXPECT_LE(peak, committed) << "new pages committed while kept frames were free";
  gc::do_cycle();
  u64 before = record.total, kept = record.spare_bytes;
  release_spare_frames();
  EXPECT_EQ(record.spare_count, 0u);
  EXPECT_EQ(record.total, before - kept);
  // Allocation goes on from fresh pages.
  u32 node = alloc_bytes(2000);
  EXPECT_EQ(buffer_of(node)->size, 2000u);
}

}  // namespace collector_budget_test
