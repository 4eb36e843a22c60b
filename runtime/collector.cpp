// Mark, sweep and compact.
//
// Marking is precise: it starts from the root block, the arguments stack and
// the call frames, the scoped roots of C++ code, and the mark callbacks of the
// modules that hold values elsewhere (symbol table, global context, tables).
// It uses an explicit work list, so deeply nested values cannot exhaust the
// C++ stack. A node is marked when its buffer's mark bit is set.
//
// Compaction slides the live buffers of each series frame down over the dead
// ones, in one ascending pass, and rewrites each moved buffer's node and its
// head and tail. Nodes never move. Buffers outside the frames (large blocks,
// caller-managed heap buffers) never move either; unreachable large blocks are
// freed, heap buffers are left to their owners.
#include "runtime/collector.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/config.hpp"
#include "runtime/context_record.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/resources.hpp"
#include "runtime/roots.hpp"
#include "runtime/sanitize.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"

namespace qel::roots {
std::vector<const Cell*> cells;
std::vector<const u32*> nodes;
}  // namespace qel::roots

namespace qel::gc {

bool enabled = false;
bool active = false;
bool stress = false;

namespace {

using mem::at;
using mem::Buffer;

u32 g_cycles = 0;
constexpr int MAX_CALLBACKS = 100;
MarkCallback g_callbacks[MAX_CALLBACKS] = {};
int g_callback_count = 0;
std::vector<SweepCallback> g_sweepers;

// Work list of nodes whose contents still have to be scanned.
enum Work : u8 { SCAN_CELLS, SCAN_CONTEXT };
struct Item {
  u32 node;
  Work what;
};
std::vector<Item> g_work;
std::vector<u32> g_marked_outside;  // marked buffers outside the frames (marks to clear)
std::vector<u32> g_release;         // nodes of dead buffers

void mark_hash_table(u32 table);

// The collector's own mark rules, for the series-shaped datatypes whose
// modules register none; the owning modules register the others.
void mark_cells_rule(const Cell* c) { mark_series(series_node(c)); }
void mark_table_series_rule(const Cell* c) {
  mark_series(series_node(c));
  if (series_extra(c)) mark_hash_table(series_extra(c));
}
void mark_bytes_rule(const Cell* c) {
  mark_node(series_node(c));
  if (series_extra(c)) mark_node(series_extra(c));
}
void mark_node_rule(const Cell* c) {
  if (series_node(c)) mark_node(series_node(c));
}
// handle!: word 3 is its slot in the resource table (-1: none).
void mark_handle_rule(const Cell* c) {
  if (i32(series_extra(c)) >= 0) resources::mark(i32(series_extra(c)), 0);
}
// event!: with flag 0x1000, word 2 is a block of the event's data.
void mark_event_rule(const Cell* c) {
  if ((c->header & 0x1000) && series_node(c)) mark_series(series_node(c));
}

MarkRule g_rules[TYPE_SLOTS] = {};
const bool g_default_rules = [] {
  // The owners' modules register these too; the rules here keep a datatype
  // whose module registers none (added without one) marked all the same.
  for (Type t : {TYPE_BLOCK, TYPE_PAREN, TYPE_PATH, TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH}) {
    g_rules[t] = mark_cells_rule;
  }
  g_rules[TYPE_HASH] = g_rules[TYPE_MAP] = mark_table_series_rule;
  for (Type t : {TYPE_STRING, TYPE_FILE, TYPE_URL, TYPE_TAG, TYPE_EMAIL, TYPE_REF, TYPE_SYMBOL}) {
    g_rules[t] = mark_bytes_rule;
  }
  for (Type t : {TYPE_BINARY, TYPE_VECTOR, TYPE_BITSET, TYPE_IMAGE}) g_rules[t] = mark_node_rule;
  g_rules[TYPE_HANDLE] = mark_handle_rule;
  g_rules[TYPE_EVENT] = mark_event_rule;
  return true;
}();


inline Buffer* buffer_or_null(u32 node) {
  if (!node) return nullptr;
  u32 b = mem::node_target(node);
  return b ? at<Buffer>(b) : nullptr;
}

// Sets the mark; answers true when the buffer was not marked yet.
bool set_mark(u32 node) {
  Buffer* b = buffer_or_null(node);
  if (!b || (b->flags & mem::SERIES_MARK)) return false;
  b->flags |= mem::SERIES_MARK;
  if (b->flags & mem::SERIES_BIG) g_marked_outside.push_back(node);
  return true;
}

void mark_hash_table(u32 table);

void scan_context(u32 node) {
  Buffer* b = buffer_or_null(node);
  if (!b || b->used() < sizeof(Cell)) return;
  Cell* record = b->cells();
  if (type_of(record) != TYPE_CONTEXT) {
    // Not a context record (an object's self series, a provisional payload):
    // its cells are values.
    g_work.push_back({node, SCAN_CELLS});
    return;
  }
  u32 table = context::record_table(record);
  u32 values = context::record_values(record);
  bool on_stack = context::record_on_stack(record);
  if (table) mark_hash_table(table);
  if (!on_stack && values && set_mark(values)) g_work.push_back({values, SCAN_CELLS});
  if (b->used() >= 2 * sizeof(Cell)) mark_cell(record + 1);
}

void mark_hash_table(u32 table) {
  if (!set_mark(table)) return;
  Buffer* b = buffer_or_null(table);
  if (!b || b->used() < sizeof(hash::Record)) return;
  hash::Record r;
  std::memcpy(&r, b->head_ptr(), sizeof r);
  if (r.kind == hash::KIND_BLOCK) {
    mark_node(r.index);
    if (r.chains && set_mark(r.chains)) {
      // The chains array holds the nodes of the chain series.
      Buffer* chains = buffer_or_null(r.chains);
      u32 n = chains->used() / 4;
      for (u32 i = 0; i < n; ++i) {
        u32 chain;
        std::memcpy(&chain, chains->head_ptr() + i * 4, 4);
        mark_node(chain);
      }
    }
  }
  mark_node(r.flags);
  mark_node(r.keys);
  if (r.block) {
    if (r.kind == hash::KIND_OWNER) {
      mark_node(r.block);  // the ownership table does not keep what it records alive
    } else if (set_mark(r.block)) {
      g_work.push_back({r.block, SCAN_CELLS});
    }
  }
}

void drain() {
  while (!g_work.empty()) {
    Item it = g_work.back();
    g_work.pop_back();
    if (it.what == SCAN_CONTEXT) {
      scan_context(it.node);
      continue;
    }
    Buffer* b = buffer_or_null(it.node);
    if (!b || b->unit() != 16) continue;
    // The buffer cannot move while marking: nothing allocates.
    mark_values(b->cells(), b->cell_tail());
  }
}

void scan_roots() {
  mark_series(runtime::root_node);
  if (stack::bottom) mark_values(stack::bottom, stack::top);
  stack::mark_frames();
  for (const Cell* c : roots::cells) mark_cell(c);
  for (const u32* n : roots::nodes) mark_series(*n);
  resources::mark_slot_table();
  for (int i = 0; i < g_callback_count; ++i) {
    if (g_callbacks[i]) g_callbacks[i]();
  }
  drain();
}

// Moves the buffers lying in [from, from + len) to `to` (in the same frame
// or an earlier one: never higher than from), rewriting each one's node and
// its head and tail.
void move_buffers(u32 from, u32 to, u32 len) {
  if (from == to || !len) return;
  u32 delta = from - to;
  for (u32 q = from; q < from + len;) {
    Buffer* b = at<Buffer>(q);
    b->head -= delta;
    b->tail -= delta;
    *at<u32>(b->node) = q - delta;
    q += b->size + sizeof(Buffer);
  }
  QEL_UNPOISON(mem::region + to, len);
  std::memmove(mem::region + to, mem::region + from, len);
}

// Compacts one frame. Runs of live buffers first go to the free space at the
// end of `into` (the frame before, in address order), while it has more than
// FRAME_MIN_FREE bytes free; a run that does not fit is cut before the buffer
// that overflows. What stays slides down over the dead buffers.
void compact_frame(mem::SeriesFrame* f, mem::SeriesFrame* into) {
  u32 start = f->data_offset();
  QEL_UNPOISON(mem::region + start, f->free - start);
  u32 p = start;
  u32 dest = start;  // where the next run that stays in this frame goes
  while (p < f->free) {
    Buffer* b = at<Buffer>(p);
    u32 len = b->size + sizeof(Buffer);
    if (!(b->flags & mem::SERIES_MARK)) {
      if (b->node) g_release.push_back(b->node);
      p += len;
      continue;
    }
    // A run of live buffers.
    u32 run = p;
    while (p < f->free && (at<Buffer>(p)->flags & mem::SERIES_MARK)) {
      Buffer* lb = at<Buffer>(p);
      lb->flags &= ~mem::SERIES_MARK;
      p += lb->size + sizeof(Buffer);
    }
    while (run < p && into && into->end - into->free > mem::FRAME_MIN_FREE) {
      // The longest prefix of the run that fits (allocation's rule: the free
      // pointer stays below the end).
      u32 room = into->end - into->free - 1;
      u32 cut = run;
      while (cut < p) {
        u32 l = at<Buffer>(cut)->size + sizeof(Buffer);
        if (cut - run + l > room) break;
        cut += l;
      }
      if (cut == run) {
        into = nullptr;
        break;
      }
      move_buffers(run, into->free, cut - run);
      into->free += cut - run;
      run = cut;
    }
    if (run < p) {
      move_buffers(run, dest, p - run);
      dest += p - run;
    }
  }
  f->free = dest;
  mem::poison_range(f->free, f->end);
}

void compact_frames() {
  mem::SeriesFrame* into = nullptr;
  for (u32 o = mem::record.series_first; o;) {
    auto* f = at<mem::SeriesFrame>(o);
    u32 next = f->next;
    compact_frame(f, into);
    if (f->free == f->data_offset() && o != mem::record.series_last) {
      mem::free_series_frame(o);
    } else {
      into = f;
    }
    o = next;
  }
  // Allocation starts again from the first frame with room.
  mem::record.series_current = mem::record.series_first;
}

void sweep_large_blocks() {
  for (u32 o = mem::record.large_first; o;) {
    auto* lb = at<mem::LargeBlock>(o);
    u32 next = lb->next;
    Buffer* b = lb->buffer();
    if (b->flags & mem::SERIES_MARK) {
      b->flags &= ~mem::SERIES_MARK;
    } else {
      if (b->node) g_release.push_back(b->node);
      mem::free_large_block(mem::offset_of(b));
    }
    o = next;
  }
}

// Gives the nodes of dead buffers back to their frames. The frames' ranges
// are sorted once per cycle; a node's frame is the one found for the node
// before it when they share a frame (dead buffers next to each other tend to
// have nodes made together), else a binary search finds it. Sorting the
// nodes themselves would cost more than the lookups it saves.
void release_nodes() {
  if (g_release.empty()) return;
  struct Range { u32 first, last, frame; };
  std::vector<Range> frames;
  for (u32 o = mem::record.node_first; o; o = at<mem::NodeFrame>(o)->next) {
    auto* nf = at<mem::NodeFrame>(o);
    frames.push_back({nf->nodes_offset(), nf->nodes_offset() + nf->capacity * 4, o});
  }
  std::sort(frames.begin(), frames.end(), [](const Range& a, const Range& b) { return a.first < b.first; });
  const Range* hit = nullptr;
  for (u32 node : g_release) {
    if (!hit || node < hit->first || node >= hit->last) {
      auto it = std::upper_bound(frames.begin(), frames.end(), node,
                                 [](u32 n, const Range& r) { return n < r.first; });
      if (it == frames.begin()) continue;
      --it;
      if (node >= it->last) continue;
      hit = &*it;
    }
    mem::free_node(hit->frame, node);
  }
  g_release.clear();
}

}  // namespace

// ---------------------------------------------------------------------------

void init() {
  g_cycles = 0;
  const char* s = std::getenv(config::GC_STRESS_ENV);
  stress = s && *s && *s != '0';
}

void check() {
  if (enabled && !active) do_cycle();
}

void stress_point() {
  if (stress && enabled && !active) do_cycle();
}

u32 cycles() { return g_cycles; }

bool add_mark_callback(MarkCallback fn) {
  if (g_callback_count >= MAX_CALLBACKS) return false;
  g_callbacks[g_callback_count++] = fn;
  return true;
}

void remove_mark_callback(MarkCallback fn) {
  for (int i = 0; i < g_callback_count; ++i) {
    if (g_callbacks[i] == fn) {
      g_callbacks[i] = nullptr;  // the entry stays empty and is never reused
      return;
    }
  }
}

void add_sweep_callback(SweepCallback fn) { g_sweepers.push_back(fn); }

bool is_marked(u32 node) {
  Buffer* b = buffer_or_null(node);
  return b && (b->flags & mem::SERIES_MARK);
}

bool mark_node(u32 node) { return set_mark(node); }

void mark_series(u32 node) {
  if (set_mark(node)) g_work.push_back({node, SCAN_CELLS});
}

void mark_context(u32 node) {
  if (set_mark(node)) g_work.push_back({node, SCAN_CONTEXT});
}

void mark_values(const Cell* first, const Cell* end) {
  for (const Cell* c = first; c < end; ++c) mark_cell(c);
}

void mark_cell(const Cell* c) {
  if (MarkRule rule = g_rules[type_of(c)]) rule(c);
}

void mark_table(u32 table) { mark_hash_table(table); }

void set_mark_rule(Type t, MarkRule rule) { g_rules[t] = rule; }

u32 do_cycle() {
  if (active) return g_cycles;
  mem::note_allocation();  // buffers move: pointers taken before are stale
  active = true;
  g_marked_outside.clear();
  scan_roots();
  resources::sweep();
  for (SweepCallback fn : g_sweepers) fn();
  compact_frames();
  sweep_large_blocks();
  release_nodes();
  mem::review_node_frames();
  for (u32 node : g_marked_outside) {
    Buffer* b = buffer_or_null(node);
    if (b) b->flags &= ~mem::SERIES_MARK;
  }
  g_marked_outside.clear();
  mem::collected();
  ++g_cycles;
  active = false;
  return g_cycles;
}

}  // namespace qel::gc
