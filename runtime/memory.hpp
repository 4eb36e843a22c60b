// Memory manager: nodes, series buffers and the frames that hold them.
//
// Invariants
// - Every node, frame and buffer lies in the one reserved region; a reference
//   to any of them is a 32-bit offset from the region base (0 = none).
// - A series is reached through its node, a 32-bit word holding the offset of
//   its buffer header. Buffers move: the collector compacts series frames, and
//   growing a series replaces its buffer. So no code keeps a raw Buffer* or
//   data pointer across anything that can allocate; it keeps the node (and
//   roots it, see roots.hpp) and asks for the buffer again. Nodes move only
//   when the collector empties a sparse node frame, and then only nodes that
//   it reaches through rewritable slots and that no native-stack word names
//   (see collector.hpp).
// - A buffer in a series frame occupies sizeof(Buffer) + size bytes; the
//   collector walks a frame by that rule. Buffers are 8-byte aligned, so cells
//   in them are too.
// - A buffer made by expansion takes over the flags of the old one except the
//   bits that describe where the old one lived (large, heap) and the owned bit,
//   which only the owner's bookkeeping sets.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/cell.hpp"

namespace qel::mem {

extern u8* region;  // base of the reserved region

template <class T = u8>
inline T* at(u32 offset) {
  return reinterpret_cast<T*>(region + offset);
}
inline u32 offset_of(const void* p) { return u32(static_cast<const u8*>(p) - region); }

// Flags word of a buffer.
inline constexpr u32 SERIES_UNIT_MASK = 0x1F;        // unit size: 1, 2, 4 or 16
inline constexpr u32 SERIES_OWNED = 0x20000;         // owned by an object field
inline constexpr u32 SERIES_LIBRARY = 0x40000;       // code of the library (not copied)
inline constexpr u32 SERIES_BITS_NOT = 0x80000;      // bitset!: negated
inline constexpr u32 SERIES_BIG = 0x100000;          // heap block managed by its caller
inline constexpr u32 SERIES_COMPILED = 0x200000;     // code a compiled form relies on (runtime/code_epoch.hpp)
inline constexpr u32 SERIES_LARGE = 0x1000000;       // large block of its own
inline constexpr u32 SERIES_MARK = 0x8000000;        // collector mark
inline constexpr u32 SERIES_OFFSET = 0x10000000;     // head placed mid-buffer
inline constexpr u32 SERIES_MADE = 0x20000000;       // made by the memory manager
inline constexpr u32 SERIES_ACTIVE = 0x80000000;     // in use (cleared when abandoned)
// Bits describing where a buffer lives; never copied into a replacement.
inline constexpr u32 SERIES_PLACE_BITS = SERIES_BIG | SERIES_LARGE | SERIES_MARK;

struct Buffer {
  u32 flags;  // SERIES_* bits
  u32 node;   // owning node, 0 when abandoned
  u32 size;   // capacity of the data area in bytes, a multiple of 16
  u32 head;   // offset of the first used unit
  u32 tail;   // offset just past the last used unit
  u32 spare;

  u8* data() { return reinterpret_cast<u8*>(this + 1); }
  u32 data_offset() const { return offset_of(this) + sizeof(Buffer); }
  u32 end_offset() const { return data_offset() + size; }
  u8* head_ptr() const { return region + head; }
  u8* tail_ptr() const { return region + tail; }
  u32 unit() const { return flags & SERIES_UNIT_MASK; }
  u32 used() const { return tail - head; }
  Cell* cells() const { return reinterpret_cast<Cell*>(region + head); }
  Cell* cell_tail() const { return reinterpret_cast<Cell*>(region + tail); }
};
static_assert(sizeof(Buffer) == 24);

inline constexpr u32 NODE_FRAME_NODES = 10000;

struct NodeFrame {
  u32 next, prev;      // list links (offsets)
  u32 capacity;        // nodes in the frame
  u32 free_head;       // first free node, 0 at the end of the list
  u32 used;            // nodes in use
  u32 made_cycle;      // collector cycle when made
  u32 prev_used;       // in-use count seen at the previous collection
  u32 history;         // stability bits, bit 0 = unchanged at the last collection
  u32 evacuating;      // 1 while the collector empties the frame (no node is taken from it)
  u32 lasting;         // 1: made during start-up, whose nodes C++ statics may hold; never emptied
  u32 nodes_offset() const { return offset_of(this) + sizeof(NodeFrame); }
};
static_assert(sizeof(NodeFrame) == 40);

struct SeriesFrame {
  u32 next, prev;  // list links, sorted by ascending address
  u32 size;        // data area + header
  u32 free;        // where the next buffer goes
  u32 end;         // end of the data area
  u32 sealed;      // end of the buffers the boot image saved here (0: none); see adopt_image
  u32 data_offset() const { return offset_of(this) + sizeof(SeriesFrame); }
};
static_assert(sizeof(SeriesFrame) == 24);

struct LargeBlock {
  u32 next;   // next large block, in order of creation
  u32 zero;
  u32 bytes;  // bytes of the page block
  u32 pad;
  Buffer* buffer() { return reinterpret_cast<Buffer*>(this + 1); }
};
static_assert(sizeof(LargeBlock) == 16);

struct MemoryRecord {
  u64 total;  // bytes of page blocks committed (kept series frames too)
  u32 node_first, node_last, node_current;
  u32 series_first, series_current, series_last;
  u32 initial_frame_size;  // 1 MB
  u32 next_frame_size;     // starts at 1 MB, doubles up to the largest
  u32 largest_frame_size;  // 2 MB: a buffer this big gets a large block
  u32 large_first;
  u32 big_count;           // caller-managed heap buffers alive
  u64 big_bytes;           // and their bytes
  u32 spare_first;         // emptied series frames kept for reuse (linked by next)
  u32 spare_count;
  u64 spare_bytes;         // and their page blocks' bytes
};
extern MemoryRecord record;

// A frame whose free space is below this is not worth filling.
inline constexpr u32 FRAME_MIN_FREE = 0xCCCC;

inline u32 node_target(u32 node) { return *at<u32>(node); }
inline Buffer* buffer_of(u32 node) { return at<Buffer>(*at<u32>(node)); }

// ---- allocation epoch (checked builds) -----------------------------------
// Every buffer allocation and every collection may move buffers; each one
// advances the epoch. In checked builds (QEL_CHECKS) a BufferPtr remembers
// the epoch it was taken at and fails at once, naming the place, when it is
// used after an allocation; a NoAlloc guard makes any allocation inside its
// scope fail. Both cost nothing in other builds.
extern u64 epoch;          // advanced only in checked builds
extern u32 no_alloc_depth; // open NoAlloc guards (checked builds)
[[noreturn]] void stale_pointer(const char* what, u64 taken);
[[noreturn]] void alloc_forbidden();
inline void note_allocation() {
#if QEL_CHECKS
  if (no_alloc_depth) alloc_forbidden();
  ++epoch;
#endif
}

template <class T>
class BufferPtr {
 public:
  explicit BufferPtr(T* p, const char* what = "buffer pointer") : p_(p), what_(what) {
#if QEL_CHECKS
    taken_ = epoch;
#endif
  }
  T* get() const {
#if QEL_CHECKS
    if (taken_ != epoch) stale_pointer(what_, taken_);
#endif
    return p_;
  }
  T* operator->() const { return get(); }
  T& operator[](u64 i) const { return get()[i]; }

 private:
  T* p_;
  [[maybe_unused]] const char* what_;
#if QEL_CHECKS
  u64 taken_ = 0;
#endif
};

class NoAlloc {
 public:
  NoAlloc() { ++no_alloc_depth; }
  ~NoAlloc() { --no_alloc_depth; }
  NoAlloc(const NoAlloc&) = delete;
  NoAlloc& operator=(const NoAlloc&) = delete;
};

// ---- set-up --------------------------------------------------------------
void init();                     // memory/init: the record and empty lists
bool initialised();

// ---- page blocks ---------------------------------------------------------
// The collector calls this at the end of each cycle: the bytes in use then
// (what the cycle left live) set the budget of allocation before the next one.
void collected();
// Bytes in node frames, series frames (up to their free pointers), large
// blocks and caller-managed heap buffers.
u64 bytes_in_use();
u64 allocated_since_collection();
u32 alloc_frame_pages(u64 size);  // usable bytes after an 8-byte count word
void free_frame_pages(u32 offset);

// ---- nodes ---------------------------------------------------------------
u32 make_node_frame(u32 n);
void free_node_frame(u32 frame);
u32 alloc_node();
void free_node(u32 frame, u32 node);
u32 node_frame_of(u32 node);     // the frame holding a node, 0 when none
void review_node_frames();
// Marks the node frames made so far as lasting (the end of start-up); with
// avoid (the collector stress), new nodes are then taken from other frames
// only, so that the program's nodes lie where they can be moved.
void keep_node_frames(bool avoid);

// ---- series frames and buffers ------------------------------------------
u32 make_series_frame();
void free_series_frame(u32 frame);
u32 find_series_frame(u32 need);
// The collector emptied a frame: it leaves the frame list and is kept,
// committed and backed, for the next frame allocation to reuse. Reused
// memory costs nothing to map; fresh pages cost a fault each at first write
// and a mapping change at release, which dominated a program that allocates
// and drops many small blocks. collected() gives back what exceeds the
// allocation budget to the next cycle, so that the pages in use never go
// past what the budget allows anyway.
void retire_series_frame(u32 frame);
// Gives every kept frame back to the OS (a boot image saves no empty frame).
void release_spare_frames();

// offset: 0 puts the head at the data start, -1 in the middle of the buffer.
Buffer* alloc_series_buffer(u32 count, u32 unit, i32 offset);
u32 alloc_series(u32 count, u32 unit, i32 offset);
u32 alloc_cells(u32 n);
u32 alloc_unset_cells(u32 n);
u32 alloc_bytes(u32 size);
u32 alloc_series_unit(u32 count, u32 unit);
u32 alloc_filled_bytes(u32 size, u8 byte);
// A buffer outside the frames that never moves and that the collector never
// frees: its caller releases it with free_big_series.
u32 alloc_big_series(u32 count, u32 unit, i32 offset);
void free_big_series(u32 node);

void set_series_flag(u32 node, u32 bits);

// Replace the node's buffer by a larger one (new_size 0 = twice the size).
// The node is held across the allocation, so the series cannot be collected
// while it grows. Answers the new buffer.
Buffer* expand_series(u32 node, u32 new_size);
Buffer* expand_series_copy(u32 node, u32 new_size);
Buffer* expand_series_fill(u32 node, u32 new_size, u8 byte);
// Makes sure n more bytes fit at the tail (growing as alloc-tail-bytes-at
// does); answers the buffer.
Buffer* reserve_tail_bytes(u32 node, u32 n);

u32 copy_series_buffer(u32 node);
u32 copy_series_part(u32 node, u32 unit_offset, u32 unit_count);

void fill_memory(u8* start, u8* end, u8 byte);
// Marks [from, to) as free memory: filled with 0xDD in debug builds and
// poisoned for AddressSanitizer, so that a stale pointer fails loudly.
void poison_range(u32 from, u32 to);

u32 alloc_large_block(u64 bytes);   // answers the buffer offset
void free_large_block(u32 buffer);

void free_all_memory();

// ---- boot image ----------------------------------------------------------
// The parts of the committed page runs that hold something (the rest is
// free space of frames and unused capacity), (offset, bytes) in address
// order: what a boot image saves of the region.
struct Run {
  u32 offset;
  u32 bytes;
};
std::vector<Run> image_runs();
// The end of start-up in the process that makes a boot image: each series
// frame's buffers so far are sealed (SeriesFrame::sealed).
void seal_image_frames();
// After a boot image's runs were mapped (or copied) into the region: the
// free space of the series frames is marked free again for the address
// sanitizer, and the span of the runs' pages is noted.
//
// Mapped pages stay shared with the file, and with every other process
// started from it, as long as nothing writes them. So the collector keeps
// the marks of buffers lying in the span in a bitmap of its own
// (in_image), never slides the sealed buffers of a frame (a dead one stays
// a hole in place: node 0), and writes a frame header only when a value in
// it changes. Only what the program itself changes in the library's data is
// copied.
void adopt_image(const std::vector<Run>& runs);
extern u32 image_lo;    // first byte of the span (0: no image taken)
extern u32 image_span;  // bytes of the span
inline bool in_image(u32 offset) { return offset - image_lo < image_span; }

// ---- cells in blocks -----------------------------------------------------
// Appends one cell (unset) at the tail of a block; doubles a full buffer first.
Cell* alloc_tail_cell(u32 node);
// Reserves n bytes at the tail of a byte or unit series; answers the old tail.
u8* alloc_tail_bytes(u32 node, u32 n);
// Fills count copies of the unit at start by doubling copies; answers the end.
u8* copy_repeat(u8* start, u32 unit_length, u32 count);

}  // namespace qel::mem
