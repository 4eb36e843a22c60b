#include "runtime/memory.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/image_state.hpp"
#include "platform/pages.hpp"
#include "runtime/collector.hpp"
#include "runtime/config.hpp"
#include "runtime/errors.hpp"
#include "runtime/roots.hpp"
#include "runtime/sanitize.hpp"

namespace qel::mem {

u8* region = nullptr;
MemoryRecord record{};
QEL_IMAGE_KEEP(record);

namespace {

bool g_initialised = false;
bool g_avoid_lasting = false;  // new nodes go to frames made after start-up

inline u32 round16(u64 n) { return u32((n + 15) & ~u64(15)); }

// Bytes a buffer of data size `size` occupies in a series frame.
inline u32 footprint(u32 size) { return size + u32(sizeof(Buffer)); }

// Pacing of collections. A collection traces what is live, so its cost is
// paid for by the bytes allocated since the latest one: a cycle runs once
// the buffers made since the latest cycle add up to a third of the live
// bytes it left (at least MIN_GROWTH). Memory in use then stays within about
// four thirds of what is live (plus the small frames' slack), and the time
// spent collecting stays proportional to the time spent allocating, whether
// the garbage comes in small buffers or in large blocks. A larger share
// traces less often but lets the heap grow further past what is live: with
// all the live bytes as the budget, a program holding a large live set
// (lines of a file) peaked at twice it, for some 7 % fewer instructions.
// Below three times MIN_GROWTH of live data the budget is MIN_GROWTH, so a
// small heap is seldom traced.
//
// When the OS or the region has no more pages, one collection is tried
// before giving up, but only after an eighth of that budget has been asked
// for since the latest cycle: a heap that is nearly all live then fails an
// allocation with no-memory instead of collecting back to back without
// freeing anything.
constexpr u64 MIN_GROWTH = 8u << 20;
u64 g_budget = MIN_GROWTH;  // bytes that may be allocated before the next cycle
u64 g_allocated = 0;        // bytes of buffers asked for since the latest cycle
u64 g_live = 0;             // bytes in use when the latest cycle ended

QEL_IMAGE_KEEP(g_budget);
QEL_IMAGE_KEEP(g_allocated);
QEL_IMAGE_KEEP(g_live);

// True when a collection may run because the pages ran out.
bool may_collect_for(u64 bytes) { return g_allocated + bytes >= g_budget / 8; }

// Commits a page block; answers 0 when the region or the OS has no room.
// A node or series frame (populate) is backed with memory at once: it is
// written through from its start (the free list of a node frame, the bump
// allocation of a series frame), and one call costs far less than a page
// fault a page (at start-up, two thirds of all the faults).
u32 try_alloc_frame_pages(u64 size, bool populate = false) {
  u64 bytes = size + 8;
  u32 off = platform::commit_pages(bytes);
  if (!off) return 0;
  if (populate) platform::populate_pages(off, bytes);
  u64 rounded = (bytes + config::PAGE_SIZE - 1) & ~u64(config::PAGE_SIZE - 1);
  *at<u64>(off) = rounded;
  record.total += rounded;
  return off + 8;
}

// A kept series frame whose data area takes `need` bytes (allocation's rule:
// the free pointer stays below the end), taken off the kept list; 0 when none.
u32 take_spare_frame(u32 need) {
  for (u32 prev = 0, o = record.spare_first; o; prev = o, o = at<SeriesFrame>(o)->next) {
    if (at<SeriesFrame>(o)->size - sizeof(SeriesFrame) <= need) continue;
    if (prev) at<SeriesFrame>(prev)->next = at<SeriesFrame>(o)->next;
    else record.spare_first = at<SeriesFrame>(o)->next;
    record.spare_count--;
    record.spare_bytes -= *at<u64>(o - 8);
    return o;
  }
  return 0;
}

// Gives kept series frames back to the OS until their bytes are at most
// `keep`.
void trim_spare_frames(u64 keep) {
  while (record.spare_first && record.spare_bytes > keep) {
    u32 frame = take_spare_frame(0);
    SeriesFrame* f = at<SeriesFrame>(frame);
    QEL_UNPOISON(region + f->data_offset(), f->end - f->data_offset());
    free_frame_pages(frame);
  }
}

// One collection, unless a collection already ran for this allocation.
void collect_once(bool& cycled) {
  if (cycled) return;
  cycled = true;
  gc::check();
}

}  // namespace

void poison_range(u32 from, u32 to) {
  if (to > from) {
    QEL_UNPOISON(region + from, to - from);
#ifndef NDEBUG
    std::memset(region + from, 0xDD, to - from);
#endif
    QEL_POISON(region + from, to - from);
  }
}

// ---------------------------------------------------------------------------
// Set-up and page blocks

void init() {
  if (g_initialised) return;
  region = platform::reserve_region(config::REGION_BYTES, config::PAGE_SIZE);
  record = MemoryRecord{};
  record.initial_frame_size = 0x100000;
  record.next_frame_size = 0x100000;
  record.largest_frame_size = 0x200000;
  g_initialised = true;
}

bool initialised() { return g_initialised; }

void collected() {
  g_live = bytes_in_use();
  g_budget = std::max(g_live / 3, MIN_GROWTH);
  g_allocated = 0;
  // Kept frames beyond the budget (and the slack at the ends of the frames
  // it fills) would never be filled before the next cycle: they would only
  // raise the pages in use.
  trim_spare_frames(g_budget + record.largest_frame_size);
}

u64 bytes_in_use() {
  u64 total = 0;
  for (u32 o = record.node_first; o; o = at<NodeFrame>(o)->next) total += 4ull * at<NodeFrame>(o)->used;
  for (u32 o = record.series_first; o; o = at<SeriesFrame>(o)->next) {
    total += at<SeriesFrame>(o)->free - at<SeriesFrame>(o)->data_offset();
  }
  for (u32 o = record.large_first; o; o = at<LargeBlock>(o)->next) total += at<LargeBlock>(o)->bytes;
  return total + record.big_bytes;
}

u64 allocated_since_collection() { return g_allocated; }

namespace {

u32 alloc_frame_pages(u64 size, bool populate) {
  u32 off = try_alloc_frame_pages(size, populate);
  if (!off) raise_memory_error(MemoryError::no_memory);
  return off;
}

}  // namespace

u32 alloc_frame_pages(u64 size) { return alloc_frame_pages(size, false); }

void free_frame_pages(u32 offset) {
  u32 block = offset - 8;
  u64 bytes = *at<u64>(block);
  if (!platform::release_pages(block, bytes)) raise_memory_error(MemoryError::wrong_mem);
  record.total -= bytes;
}

// ---------------------------------------------------------------------------
// Nodes

u32 make_node_frame(u32 n) {
  u32 off = alloc_frame_pages(sizeof(NodeFrame) + u64(n) * 4, true);
  NodeFrame* f = at<NodeFrame>(off);
  *f = NodeFrame{};
  f->capacity = n;
  f->made_cycle = gc::cycles();
  u32 first = f->nodes_offset();
  for (u32 i = 0; i < n; ++i) {
    *at<u32>(first + i * 4) = (i + 1 < n) ? first + (i + 1) * 4 : 0;
  }
  f->free_head = n ? first : 0;
  if (!record.node_first) {
    record.node_first = record.node_last = record.node_current = off;
  } else {
    at<NodeFrame>(record.node_last)->next = off;
    f->prev = record.node_last;
    record.node_last = off;
  }
  return off;
}

void free_node_frame(u32 frame) {
  NodeFrame* f = at<NodeFrame>(frame);
  if (f->prev) at<NodeFrame>(f->prev)->next = f->next; else record.node_first = f->next;
  if (f->next) at<NodeFrame>(f->next)->prev = f->prev; else record.node_last = f->prev;
  if (record.node_current == frame) record.node_current = record.node_last;
  free_frame_pages(frame);
}

u32 alloc_node() {
  NodeFrame* f = record.node_current ? at<NodeFrame>(record.node_current) : nullptr;
  if (!f || !f->free_head || f->evacuating || (f->lasting && g_avoid_lasting)) {
    f = nullptr;
    for (u32 o = record.node_first; o; o = at<NodeFrame>(o)->next) {
      NodeFrame* c = at<NodeFrame>(o);
      if (c->free_head && !c->evacuating && !(c->lasting && g_avoid_lasting)) { f = c; break; }
    }
    if (!f) f = at<NodeFrame>(make_node_frame(NODE_FRAME_NODES));
    record.node_current = offset_of(f);
  }
  u32 node = f->free_head;
  f->free_head = *at<u32>(node);
  *at<u32>(node) = 0;
  f->used++;
  return node;
}

void free_node(u32 frame, u32 node) {
  NodeFrame* f = at<NodeFrame>(frame);
  *at<u32>(node) = f->free_head;
  f->free_head = node;
  f->used--;
}

void keep_node_frames(bool avoid) {
  // Written only where it changes: a boot image's frames are lasting already.
  for (u32 o = record.node_first; o; o = at<NodeFrame>(o)->next) {
    if (!at<NodeFrame>(o)->lasting) at<NodeFrame>(o)->lasting = 1;
  }
  g_avoid_lasting = avoid;
}

u32 node_frame_of(u32 node) {
  for (u32 o = record.node_first; o; o = at<NodeFrame>(o)->next) {
    NodeFrame* f = at<NodeFrame>(o);
    u32 first = f->nodes_offset();
    if (node >= first && node < first + f->capacity * 4) return o;
  }
  return 0;
}

void review_node_frames() {
  u32 current = 0;
  // Empty frames are kept, up to as many nodes as the next cycle's budget
  // could take in the smallest buffers, for the nodes made before it: a
  // frame given back and made again costs a mapping change and a fault a
  // page. An empty frame that stays empty is given back once the collector
  // finds it stable (an emptied frame is always given back).
  u64 keep_nodes = g_budget / 64;
  for (u32 o = record.node_first; o;) {
    NodeFrame* f = at<NodeFrame>(o);
    u32 next = f->next;
    if (f->used == 0 && !f->evacuating && keep_nodes >= f->capacity) {
      keep_nodes -= f->capacity;
    } else if (f->used == 0 || f->evacuating) {
      // Keep one frame even when it is empty: allocation must have somewhere to start.
      if (!(record.node_first == o && record.node_last == o)) {
        free_node_frame(o);
        o = next;
        continue;
      }
    }
    if (!current && f->free_head && !(f->lasting && g_avoid_lasting)) current = o;
    // A lasting frame is never emptied, so its history is not kept (and a
    // boot image's frame header is not written at every cycle).
    if (!f->lasting) {
      f->history = (f->history << 1) | (f->used == f->prev_used ? 1u : 0u);
      f->prev_used = f->used;
    }
    o = next;
  }
  record.node_current = current ? current : record.node_last;
}

// ---------------------------------------------------------------------------
// Series frames

// A new series frame whose data area takes `need` bytes: a kept one when
// one is big enough, else fresh pages of the next frame size.
static u32 try_make_series_frame(u32 need) {
  u32 off = take_spare_frame(need);
  u32 s = off ? u32(at<SeriesFrame>(off)->size - sizeof(SeriesFrame)) : record.next_frame_size;
  if (!off) {
    off = try_alloc_frame_pages(u64(s) + sizeof(SeriesFrame), true);
    if (!off) return 0;
    if (record.next_frame_size < record.largest_frame_size) {
      record.next_frame_size = std::min(record.next_frame_size * 2, record.largest_frame_size);
    }
  }
  SeriesFrame* f = at<SeriesFrame>(off);
  *f = SeriesFrame{};
  f->size = s + sizeof(SeriesFrame);
  f->free = f->data_offset();
  f->end = f->free + s;
  poison_range(f->free, f->end);
  // Insert keeping the list sorted by address.
  u32 prev = 0, next = record.series_first;
  while (next && next < off) { prev = next; next = at<SeriesFrame>(next)->next; }
  f->prev = prev;
  f->next = next;
  if (prev) at<SeriesFrame>(prev)->next = off; else record.series_first = off;
  if (next) at<SeriesFrame>(next)->prev = off; else record.series_last = off;
  if (!record.series_current) record.series_current = off;
  return off;
}

u32 make_series_frame() {
  u32 off = try_make_series_frame(0);
  if (!off) raise_memory_error(MemoryError::no_memory);
  return off;
}

static void unlink_series_frame(u32 frame) {
  SeriesFrame* f = at<SeriesFrame>(frame);
  if (f->prev) at<SeriesFrame>(f->prev)->next = f->next; else record.series_first = f->next;
  if (f->next) at<SeriesFrame>(f->next)->prev = f->prev; else record.series_last = f->prev;
  if (record.series_current == frame) record.series_current = record.series_last;
}

void free_series_frame(u32 frame) {
  unlink_series_frame(frame);
  SeriesFrame* f = at<SeriesFrame>(frame);
  QEL_UNPOISON(region + f->data_offset(), f->end - f->data_offset());
  free_frame_pages(frame);
}

void retire_series_frame(u32 frame) {
  unlink_series_frame(frame);
  SeriesFrame* f = at<SeriesFrame>(frame);
  poison_range(f->data_offset(), f->end);
  f->next = record.spare_first;
  record.spare_first = frame;
  record.spare_count++;
  record.spare_bytes += *at<u64>(frame - 8);
}

void release_spare_frames() { trim_spare_frames(0); }

u32 find_series_frame(u32 need) {
  for (u32 o = record.series_first; o; o = at<SeriesFrame>(o)->next) {
    SeriesFrame* f = at<SeriesFrame>(o);
    if (u64(f->free) + need < f->end) return o;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Buffers

static u32 try_alloc_large_block(u64 bytes) {
  u32 off = try_alloc_frame_pages(bytes + sizeof(LargeBlock));
  if (!off) return 0;
  LargeBlock* b = at<LargeBlock>(off);
  b->next = 0;
  b->zero = 0;
  b->bytes = u32(*at<u64>(off - 8));
  b->pad = 0;
  if (!record.large_first) {
    record.large_first = off;
  } else {
    u32 o = record.large_first;
    while (at<LargeBlock>(o)->next) o = at<LargeBlock>(o)->next;
    at<LargeBlock>(o)->next = off;
  }
  return offset_of(b->buffer());
}

u32 alloc_large_block(u64 bytes) {
  u32 off = try_alloc_large_block(bytes);
  if (!off) raise_memory_error(MemoryError::no_memory);
  return off;
}

void free_large_block(u32 buffer) {
  u32 block = buffer - sizeof(LargeBlock);
  u32 prev = 0;
  for (u32 o = record.large_first; o; prev = o, o = at<LargeBlock>(o)->next) {
    if (o == block) {
      if (prev) at<LargeBlock>(prev)->next = at<LargeBlock>(o)->next;
      else record.large_first = at<LargeBlock>(o)->next;
      break;
    }
  }
  free_frame_pages(block);
}

static void init_buffer(Buffer* b, u32 size, u32 unit, i32 offset, u32 place) {
  b->size = size;
  b->flags = unit | SERIES_ACTIVE | SERIES_MADE | place;
  b->node = 0;
  b->spare = 0;
  u32 start = b->data_offset();
  u32 off = 0;
  if (offset == -1) {
    off = (size / 2) & ~15u;
    b->flags |= SERIES_OFFSET;
  } else if (offset > 0) {
    off = std::min<u32>(u32(offset), size);
  }
  b->head = b->tail = start + off;
}

u64 epoch = 0;
u32 no_alloc_depth = 0;
// Checked builds only: no pointer taken before a process started from a
// boot image outlives its loading.
QEL_IMAGE_SKIP(epoch);

void stale_pointer(const char* what, u64 taken) {
  std::fprintf(stderr, "*** internal check failed: %s used after an allocation (taken at epoch %llu, now %llu)\n",
               what, static_cast<unsigned long long>(taken), static_cast<unsigned long long>(epoch));
  std::abort();
}

void alloc_forbidden() {
  std::fprintf(stderr, "*** internal check failed: allocation inside a no-allocation scope\n");
  std::abort();
}

Buffer* alloc_series_buffer(u32 count, u32 unit, i32 offset) {
  note_allocation();
  gc::stress_point();
  u64 bytes = u64(count) * unit;
  if (bytes > 0xF0000000ull) raise_memory_error(MemoryError::no_memory);
  u32 size = round16(bytes);
  u32 need = footprint(size);
  // A collection runs when the budget since the latest one is spent, and
  // when the pages run out (see may_collect_for).
  bool cycled = false;
  g_allocated += need;
  if (g_allocated >= g_budget) collect_once(cycled);
  if (need >= record.largest_frame_size) {
    u32 off = try_alloc_large_block(need);
    if (!off && may_collect_for(need)) {
      collect_once(cycled);
      off = try_alloc_large_block(need);
    }
    if (!off) raise_memory_error(MemoryError::no_memory);
    Buffer* b = at<Buffer>(off);
    init_buffer(b, size, unit, offset, SERIES_LARGE);
    return b;
  }
  SeriesFrame* f = record.series_current ? at<SeriesFrame>(record.series_current) : nullptr;
  if (!f || u64(f->free) + need >= f->end) {
    // A frame with less than FRAME_MIN_FREE left is not worth filling: a new
    // frame is made instead.
    auto roomy = [](u32 o) { return o && at<SeriesFrame>(o)->end - at<SeriesFrame>(o)->free >= FRAME_MIN_FREE; };
    u32 found = find_series_frame(need);
    if (!roomy(found)) {
      if (need >= record.next_frame_size) record.next_frame_size = record.largest_frame_size;
      u32 made = try_make_series_frame(need);
      if (!made && !cycled && may_collect_for(need)) {
        collect_once(cycled);
        found = find_series_frame(need);
        made = found ? found : try_make_series_frame(need);
      }
      if (!made) raise_memory_error(MemoryError::no_memory);
      found = made;
    }
    record.series_current = found;
    f = at<SeriesFrame>(found);
  }
  Buffer* b = at<Buffer>(f->free);
  QEL_UNPOISON(b, need);
  f->free += need;
  init_buffer(b, size, unit, offset, 0);
  return b;
}

u32 alloc_series(u32 count, u32 unit, i32 offset) {
  Buffer* b = alloc_series_buffer(count, unit, offset);
  u32 node = alloc_node();
  *at<u32>(node) = offset_of(b);
  b->node = node;
  return node;
}

u32 alloc_cells(u32 n) { return alloc_series(n, 16, 0); }

u32 alloc_unset_cells(u32 n) {
  u32 node = alloc_cells(n);
  Buffer* b = buffer_of(node);
  Cell* c = reinterpret_cast<Cell*>(b->data());
  for (u32 i = 0; i < b->size / 16; ++i) make_unset(c + i);
  return node;
}

u32 alloc_bytes(u32 size) { return alloc_series(size ? size : 16, 1, 0); }

u32 alloc_series_unit(u32 count, u32 unit) {
  if (!count) count = 16 / unit;
  return alloc_series(count, unit, 0);
}

u32 alloc_filled_bytes(u32 size, u8 byte) {
  u32 node = alloc_bytes(size);
  Buffer* b = buffer_of(node);
  std::memset(b->data(), byte, b->size);
  return node;
}

u32 alloc_big_series(u32 count, u32 unit, i32 offset) {
  u64 bytes = u64(count) * unit;
  if (bytes > 0xF0000000ull) raise_memory_error(MemoryError::no_memory);
  u32 size = round16(bytes);
  u32 off = alloc_frame_pages(u64(size) + sizeof(Buffer));
  Buffer* b = at<Buffer>(off);
  init_buffer(b, size, unit, offset, SERIES_BIG);
  u32 node = alloc_node();
  *at<u32>(node) = off;
  b->node = node;
  record.big_count++;
  record.big_bytes += *at<u64>(off - 8);
  return node;
}

void free_big_series(u32 node) {
  Buffer* b = buffer_of(node);
  u32 off = offset_of(b);
  record.big_count--;
  record.big_bytes -= *at<u64>(off - 8);
  free_frame_pages(off);
  u32 frame = node_frame_of(node);
  if (frame) free_node(frame, node);
}

void set_series_flag(u32 node, u32 bits) { buffer_of(node)->flags |= bits; }

// Gives the node a new buffer of new_size bytes (0: twice the size), copying
// the used part when asked, and abandons the old buffer: a frame buffer is
// reclaimed by the next compaction, a large one by the collector's sweep, and
// a caller-managed heap buffer is freed at once.
static Buffer* replace_buffer(u32 node, u32 new_size, bool copy) {
  Buffer* old = buffer_of(node);
  if (new_size == 0) new_size = old->size * 2;
  if (i32(new_size) < 1) raise_memory_error(MemoryError::no_memory);
  u32 unit = old->unit();
  Buffer* nb;
  {
    // The node stays alive across the allocation even if nothing else holds it.
    roots::NodeRoot hold(&node);
    nb = alloc_series_buffer((new_size + unit - 1) / unit, unit, 0);
  }
  old = buffer_of(node);  // the allocation may have moved it
  u32 kept = std::min(old->used(), nb->size);
  if (copy) std::memcpy(nb->data(), old->head_ptr(), kept);
  // The series keeps its identity (and so its owner); only the bits that say
  // where the old buffer lived stay behind.
  nb->flags = (old->flags & ~(SERIES_PLACE_BITS | SERIES_OFFSET)) | (nb->flags & SERIES_LARGE);
  nb->node = node;
  nb->tail = nb->head + kept;
  *at<u32>(node) = offset_of(nb);
  old->node = 0;
  old->flags &= ~SERIES_ACTIVE;
  if (old->flags & SERIES_BIG) {
    u32 off = offset_of(old);
    record.big_count--;
    record.big_bytes -= *at<u64>(off - 8);
    free_frame_pages(off);
  } else if (!(old->flags & SERIES_LARGE)) {
    poison_range(old->data_offset(), old->end_offset());
  }
  return nb;
}

Buffer* expand_series(u32 node, u32 new_size) { return replace_buffer(node, new_size, false); }

Buffer* expand_series_copy(u32 node, u32 new_size) { return replace_buffer(node, new_size, true); }

Buffer* expand_series_fill(u32 node, u32 new_size, u8 byte) {
  u32 old_size = buffer_of(node)->size;
  Buffer* nb = replace_buffer(node, new_size, true);
  if (nb->size > old_size) std::memset(nb->data() + old_size, byte, nb->size - old_size);
  return nb;
}

Buffer* reserve_tail_bytes(u32 node, u32 n) {
  Buffer* b = buffer_of(node);
  if (u64(b->tail) + n > b->end_offset()) {
    u32 grow = n > b->size ? n * 2 : b->size * 2;
    // The used part sits at the data start after expansion, so count it in.
    u64 want = u64(b->used()) + n;
    if (grow < want) grow = u32(want);
    b = expand_series_copy(node, grow);
  }
  return b;
}

u32 copy_series_buffer(u32 node) {
  Buffer* src = buffer_of(node);
  u32 size = src->size;
  u32 copy;
  {
    roots::NodeRoot hold(&node);
    copy = alloc_series(size, 1, 0);
  }
  src = buffer_of(node);
  Buffer* dst = buffer_of(copy);
  // A copy is a new series: it is not owned and lives where it was made.
  u32 place = dst->flags & (SERIES_PLACE_BITS | SERIES_OFFSET);
  dst->flags = (src->flags & ~(SERIES_PLACE_BITS | SERIES_OFFSET | SERIES_OWNED | SERIES_LIBRARY | SERIES_COMPILED)) | place;
  u32 head_off = src->head - src->data_offset();
  dst->head = dst->data_offset() + head_off;
  std::memcpy(dst->head_ptr(), src->head_ptr(), src->used());
  dst->tail = dst->head + src->used();
  return copy;
}

u32 copy_series_part(u32 node, u32 unit_offset, u32 unit_count) {
  Buffer* src = buffer_of(node);
  u32 unit = src->unit();
  u64 bytes = u64(unit_count) * unit;
  u32 copy;
  {
    roots::NodeRoot hold(&node);
    copy = alloc_series(u32(bytes ? bytes : 16), 1, 0);
  }
  src = buffer_of(node);
  Buffer* dst = buffer_of(copy);
  u32 place = dst->flags & (SERIES_PLACE_BITS | SERIES_OFFSET);
  dst->flags = (src->flags & ~(SERIES_PLACE_BITS | SERIES_OFFSET | SERIES_OWNED | SERIES_LIBRARY | SERIES_COMPILED)) | place;
  std::memcpy(dst->head_ptr(), src->head_ptr() + u64(unit_offset) * unit, bytes);
  dst->tail = dst->head + u32(bytes);
  return copy;
}

void fill_memory(u8* start, u8* end, u8 byte) {
  if (end > start) std::memset(start, byte, size_t(end - start));
}

std::vector<Run> image_runs() {
  std::vector<Run> out;
  auto listed = [](u32 first, auto next_of, u32 at) {
    for (u32 o = first; o; o = next_of(o)) if (o == at) return true;
    return false;
  };
  for (const auto& [off, bytes] : platform::committed_runs()) {
    const u32 block = off + 8;  // past the page block's count word
    u64 end = u64(off) + bytes;
    if (listed(record.node_first, [](u32 o) { return at<NodeFrame>(o)->next; }, block)) {
      end = u64(at<NodeFrame>(block)->nodes_offset()) + u64(at<NodeFrame>(block)->capacity) * 4;
    } else if (listed(record.series_first, [](u32 o) { return at<SeriesFrame>(o)->next; }, block)) {
      end = at<SeriesFrame>(block)->free;
    } else if (listed(record.large_first, [](u32 o) { return at<LargeBlock>(o)->next; }, block)) {
      end = std::max(at<LargeBlock>(block)->buffer()->tail, at<LargeBlock>(block)->buffer()->data_offset());
    } else if (at<Buffer>(block)->flags & SERIES_BIG) {
      end = std::max(at<Buffer>(block)->tail, at<Buffer>(block)->data_offset());
    }
    end = std::min(end, u64(off) + bytes);
    out.push_back({off, u32(end - off)});
  }
  return out;
}

u32 image_lo = 0;
u32 image_span = 0;

void seal_image_frames() {
  for (u32 o = record.series_first; o; o = at<SeriesFrame>(o)->next) {
    SeriesFrame* f = at<SeriesFrame>(o);
    f->sealed = f->free > f->data_offset() ? f->free : 0;
  }
}

void adopt_image(const std::vector<Run>& runs) {
  for (u32 o = record.series_first; o; o = at<SeriesFrame>(o)->next) {
    SeriesFrame* f = at<SeriesFrame>(o);
    QEL_UNPOISON(region + f->data_offset(), f->free - f->data_offset());
    QEL_POISON(region + f->free, f->end - f->free);
  }
  if (runs.empty()) return;
  const u64 page = config::PAGE_SIZE;
  const u64 end = (u64(runs.back().offset) + runs.back().bytes + page - 1) & ~(page - 1);
  image_lo = runs.front().offset;
  image_span = u32(end - image_lo);
}

void free_all_memory() {
  release_spare_frames();
  while (record.large_first) free_large_block(offset_of(at<LargeBlock>(record.large_first)->buffer()));
  while (record.series_first) free_series_frame(record.series_first);
  while (record.node_first) free_node_frame(record.node_first);
  record.series_current = record.node_current = 0;
}

// ---------------------------------------------------------------------------
// Cells and tails

Cell* alloc_tail_cell(u32 node) {
  Buffer* b = buffer_of(node);
  if (b->tail + sizeof(Cell) > b->end_offset()) {
    b = expand_series_copy(node, b->size ? b->size * 2 : 16);
  }
  Cell* c = b->cell_tail();
  c->header = TYPE_UNSET;
  b->tail += sizeof(Cell);
  return c;
}

u8* alloc_tail_bytes(u32 node, u32 n) {
  Buffer* b = reserve_tail_bytes(node, n);
  u8* p = b->tail_ptr();
  b->tail += n;
  return p;
}

u8* copy_repeat(u8* start, u32 unit_length, u32 count) {
  if (count == 0) return start;
  u64 total = u64(unit_length) * count;
  u64 filled = unit_length;
  while (filled * 2 <= total) {
    std::memcpy(start + filled, start, filled);
    filled *= 2;
  }
  if (filled < total) std::memcpy(start + filled, start, total - filled);
  return start + total;
}

}  // namespace qel::mem
