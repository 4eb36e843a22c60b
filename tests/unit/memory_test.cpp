// Memory manager: nodes, frames, buffers, expansion and copies.
#include <gtest/gtest.h>

#include <vector>

#include "platform/image_state.hpp"
#include "runtime/collector.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"

namespace memory_test {

using namespace qel;
using namespace qel::mem;

TEST(Memory, SmallAllocationsRoundToSixteenBytes) {
  struct Case { u32 node; u32 unit; u32 size; };
  std::vector<Case> cases = {
      {alloc_bytes(0), 1, 16},
      {alloc_series_unit(0, 1), 1, 16},
      {alloc_series_unit(0, 2), 2, 16},
      {alloc_series_unit(0, 4), 4, 16},
      {alloc_bytes(17), 1, 32},
      {alloc_cells(3), 16, 48},
  };
  for (auto& c : cases) {
    Buffer* b = buffer_of(c.node);
    EXPECT_EQ(b->unit(), c.unit);
    EXPECT_EQ(b->size, c.size);
    EXPECT_EQ(b->node, c.node);
    EXPECT_EQ(b->head, b->tail);
    EXPECT_TRUE(b->flags & SERIES_ACTIVE);
    EXPECT_TRUE(b->flags & SERIES_MADE);
    EXPECT_EQ(b->data_offset() % 8, 0u) << "cells must be 8-byte aligned";
  }
}

TEST(Memory, MiddleHeadOffset) {
  Buffer* b = alloc_series_buffer(64, 1, -1);
  EXPECT_TRUE(b->flags & SERIES_OFFSET);
  EXPECT_EQ(b->head - b->data_offset(), 32u);
  EXPECT_EQ(b->head, b->tail);
}

TEST(Memory, LargeBufferGetsItsOwnBlock) {
  u32 below = alloc_bytes(0x200000 - 24 - 16);
  u32 at_limit = alloc_bytes(0x200000 - 24);
  EXPECT_FALSE(buffer_of(below)->flags & SERIES_LARGE);
  EXPECT_TRUE(buffer_of(at_limit)->flags & SERIES_LARGE);
  // A large block is on the large-block list.
  bool found = false;
  for (u32 o = record.large_first; o; o = at<LargeBlock>(o)->next) {
    if (at<LargeBlock>(o)->buffer() == buffer_of(at_limit)) found = true;
  }
  EXPECT_TRUE(found);
}

TEST(Memory, ExpansionDoublesAndAbandonsTheOldBuffer) {
  u32 node = alloc_series(32, 1, -1);
  Buffer* old = buffer_of(node);
  u8* p = alloc_tail_bytes(node, 5);
  std::memcpy(p, "hello", 5);
  old = buffer_of(node);
  u32 old_size = old->size;
  Buffer* nb = expand_series_copy(node, 0);
  EXPECT_EQ(nb->size, old_size * 2);
  EXPECT_EQ(buffer_of(node), nb);
  EXPECT_EQ(old->node, 0u);
  EXPECT_FALSE(old->flags & SERIES_ACTIVE);
  EXPECT_EQ(nb->head, nb->data_offset()) << "the head offset is not kept";
  EXPECT_EQ(nb->used(), 5u);
  EXPECT_EQ(std::memcmp(nb->head_ptr(), "hello", 5), 0);
  EXPECT_FALSE(nb->flags & SERIES_OFFSET);
}

TEST(Memory, ExpandedBigSeriesIsFreedAndLosesItsHeapBit) {
  u32 node = alloc_big_series(16, 1, 0);
  u32 before = record.big_count;
  std::memcpy(alloc_tail_bytes(node, 4), "abcd", 4);
  Buffer* nb = expand_series_copy(node, 64);
  EXPECT_EQ(record.big_count, before - 1);
  EXPECT_FALSE(nb->flags & SERIES_BIG);
  EXPECT_EQ(std::memcmp(nb->head_ptr(), "abcd", 4), 0);
}

TEST(Memory, ExpansionKeepsOwnershipCopiesDropIt) {
  u32 node = alloc_bytes(16);
  set_series_flag(node, SERIES_OWNED);
  EXPECT_TRUE(expand_series_copy(node, 0)->flags & SERIES_OWNED) << "same series, same owner";
  u32 copy = copy_series_buffer(node);
  EXPECT_FALSE(buffer_of(copy)->flags & SERIES_OWNED);
  u32 part = copy_series_part(node, 0, 0);
  EXPECT_FALSE(buffer_of(part)->flags & SERIES_OWNED);
}

TEST(Memory, CopiesKeepUnitHeadDistanceAndData) {
  u32 node = alloc_series(16, 2, -1);
  u8* p = alloc_tail_bytes(node, 6);
  std::memcpy(p, "a\0b\0c\0", 6);
  u32 copy = copy_series_buffer(node);
  Buffer *s = buffer_of(node), *d = buffer_of(copy);
  EXPECT_EQ(d->unit(), 2u);
  EXPECT_EQ(d->head - d->data_offset(), s->head - s->data_offset());
  EXPECT_EQ(d->used(), 6u);
  EXPECT_EQ(std::memcmp(d->head_ptr(), s->head_ptr(), 6), 0);
  u32 part = copy_series_part(node, 1, 2);
  EXPECT_EQ(buffer_of(part)->used(), 4u);
  EXPECT_EQ(std::memcmp(buffer_of(part)->head_ptr(), "b\0c\0", 4), 0);
}

TEST(Memory, TailCellsDoubleAndKeepEarlierCells) {
  u32 node = alloc_cells(2);
  for (int i = 0; i < 2; ++i) make_integer(alloc_tail_cell(node), i);
  u32 size = buffer_of(node)->size;
  Cell* c = alloc_tail_cell(node);
  EXPECT_EQ(type_of(c), TYPE_UNSET);
  EXPECT_EQ(buffer_of(node)->size, size * 2);
  Cell* cells = buffer_of(node)->cells();
  EXPECT_EQ(int_of(cells + 0), 0);
  EXPECT_EQ(int_of(cells + 1), 1);
  EXPECT_EQ(buffer_of(node)->used(), 48u);
}

TEST(Memory, TailBytesGrowToFitLargeRequests) {
  u32 node = alloc_bytes(16);
  alloc_tail_bytes(node, 10);
  u8* p = alloc_tail_bytes(node, 100);
  std::memset(p, 7, 100);
  Buffer* b = buffer_of(node);
  EXPECT_EQ(b->used(), 110u);
  EXPECT_GE(b->size, 200u);
}

TEST(Memory, UnsetCellsFillTheWholeCapacity) {
  u32 node = alloc_unset_cells(3);
  Buffer* b = buffer_of(node);
  Cell* c = reinterpret_cast<Cell*>(b->data());
  for (u32 i = 0; i < b->size / 16; ++i) EXPECT_EQ(type_of(c + i), TYPE_UNSET);
  EXPECT_EQ(b->used(), 0u);
}

TEST(Memory, NodeFramesGrowAfterTenThousandNodes) {
  // Every free node of every frame is taken first (earlier tests may have
  // left free nodes in other frames than the current one); one more makes
  // a new frame.
  u32 frames = 0, free_now = 0;
  for (u32 o = record.node_first; o; o = at<NodeFrame>(o)->next) {
    ++frames;
    free_now += at<NodeFrame>(o)->capacity - at<NodeFrame>(o)->used;
  }
  std::vector<u32> nodes;
  for (u32 i = 0; i <= free_now; ++i) nodes.push_back(alloc_node());
  u32 after = 0;
  for (u32 o = record.node_first; o; o = at<NodeFrame>(o)->next) ++after;
  EXPECT_GE(after, frames + 1);
  for (u32 n : nodes) free_node(node_frame_of(n), n);
}

TEST(Memory, SeriesFrameSizesDoubleToTheLargest) {
  u32 before = record.next_frame_size;
  u32 f = make_series_frame();
  EXPECT_EQ(at<SeriesFrame>(f)->end - at<SeriesFrame>(f)->data_offset(), before);
  EXPECT_EQ(record.next_frame_size, record.largest_frame_size);
  // The frame list stays sorted by address.
  for (u32 o = record.series_first; o && at<SeriesFrame>(o)->next; o = at<SeriesFrame>(o)->next) {
    EXPECT_LT(o, at<SeriesFrame>(o)->next);
  }
}

// A frame holding live data with a little room left (less than a new
// frame's worth) must not keep garbage from being collected: small buffers
// fit in that room, so the frames are never all full, yet a new frame is made
// whenever the current one fills. Collections must still follow the growth.
TEST(Memory, GarbageIsCollectedWhileAFrameKeepsALittleRoom) {
  bool saved = gc::enabled;
  gc::enabled = true;
  gc::do_cycle();
  // Fill a frame with a live buffer, leaving it 30000 bytes of room: the
  // first frame with more room than that (what earlier tests keep alive
  // may have filled some), or a new one.
  u32 frame = 0;
  for (u32 o = record.series_first; o && !frame; o = at<SeriesFrame>(o)->next) {
    if (at<SeriesFrame>(o)->end - at<SeriesFrame>(o)->free > 30000u + 2 * sizeof(Buffer)) frame = o;
  }
  if (!frame) frame = make_series_frame();
  u32 room = at<SeriesFrame>(frame)->end - at<SeriesFrame>(frame)->free;
  ASSERT_GT(room, 30000u + 2 * sizeof(Buffer));
  record.series_current = frame;
  u32 filler = alloc_bytes(((room - 30000 - sizeof(Buffer)) & ~15u));
  roots::NodeRoot keep(&filler);
  ASSERT_LT(at<SeriesFrame>(frame)->end - at<SeriesFrame>(frame)->free - 30000u, 16u);
  u64 before = record.total;
  for (int i = 0; i < 20000; ++i) alloc_bytes(2000);  // 40 MB of garbage
  EXPECT_LT(record.total, before + (16u << 20));
  gc::enabled = saved;
}

TEST(Memory, CopyRepeatFillsByDoubling) {
  for (u32 count : {0u, 1u, 2u, 3u, 7u, 8u, 13u}) {
    std::vector<u8> buf(3 * 16 + 1, 0xEE);
    buf[0] = 'x'; buf[1] = 'y'; buf[2] = 'z';
    u8* end = copy_repeat(buf.data(), 3, count);
    u32 expect_len = count ? 3 * count : 0;
    EXPECT_EQ(end - buf.data(), i64(expect_len));
    for (u32 i = 0; i < expect_len; ++i) EXPECT_EQ(buf[i], "xyz"[i % 3]) << count << " " << i;
  }
}

// Checked builds catch a buffer pointer used after an allocation, and an
// allocation inside a no-allocation scope; other builds check nothing.
TEST(MemoryDeathTest, StaleBufferPointersAndForbiddenAllocationsAreCaught) {
  using namespace qel;
  u32 node = mem::alloc_cells(4);
  mem::BufferPtr<mem::Buffer> fresh(mem::buffer_of(node), "the block's buffer");
  EXPECT_EQ(fresh.get(), mem::buffer_of(node)) << "valid while nothing allocates";
#if QEL_CHECKS
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        mem::BufferPtr<mem::Buffer> b(mem::buffer_of(node), "the block's buffer");
        mem::alloc_cells(4);
        (void)b->used();
      },
      "the block's buffer used after an allocation");
  EXPECT_DEATH(
      {
        mem::NoAlloc guard;
        mem::alloc_bytes(8);
      },
      "allocation inside a no-allocation scope");
#endif
}

// What a boot image keeps of C++ pointers: a pointer into the executable
// or into the memory region travels as its offset; any other pointer
// cannot be kept, and reading past the saved bytes fails.
TEST(ImageState, PointersTravelAsOffsets) {
  static const int in_executable = 1;
  std::vector<u8> bytes;
  image_state::Writer w(bytes);
  w.pointer(&in_executable);
  w.pointer(nullptr);
  w.region_pointer(mem::region + 4096);
  w.region_pointer(nullptr);
  ASSERT_FALSE(w.failed());
  image_state::Reader r(bytes.data(), bytes.size());
  EXPECT_EQ(r.pointer(), &in_executable);
  EXPECT_EQ(r.pointer(), nullptr);
  EXPECT_EQ(r.region_pointer(), mem::region + 4096);
  EXPECT_EQ(r.region_pointer(), nullptr);
  EXPECT_TRUE(r.ok());
  r.value<u32>();
  EXPECT_FALSE(r.good());

  std::vector<int> heap(1);
  std::vector<u8> more;
  image_state::Writer on_heap(more);
  on_heap.pointer(heap.data());
  EXPECT_TRUE(on_heap.failed());
  image_state::Writer outside(more);
  outside.region_pointer(&in_executable);
  EXPECT_TRUE(outside.failed());
}

}  // namespace memory_test
