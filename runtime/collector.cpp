// Mark, sweep and compact.
//
// Marking is precise: it starts from the root block, the arguments stack and
// the call frames, the scoped roots of C++ code, and the mark callbacks of the
// modules that hold values elsewhere (symbol table, global context, tables).
// It uses an explicit work list, so deeply nested values cannot exhaust the
// C++ stack. A node is marked when its buffer's mark bit is set.
//
// Compaction moves the live buffers of each series frame down over the dead
// ones and into the free end of the frame before, in one ascending pass, and
// rewrites each moved buffer's node and its head and tail; emptied frames go
// back to the OS. A cycle may also empty a sparse node frame (see "moving
// nodes" below). Buffers outside the frames (large blocks, caller-managed
// heap buffers) never move; unreachable large blocks are freed, heap buffers
// are left to their owners.
#include "runtime/collector.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/config.hpp"
#include "runtime/context_record.hpp"
#include "runtime/cycles.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/resources.hpp"
#include "runtime/roots.hpp"
#include "runtime/sanitize.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "platform/image_state.hpp"

namespace qel::roots {
std::vector<const Cell*> cells;
std::vector<const u32*> nodes;
// Scopes push and pop them: start-up leaves those it found.
QEL_IMAGE_SKIP(cells);
QEL_IMAGE_SKIP(nodes);
}  // namespace qel::roots

namespace qel::gc {

bool enabled = false;
QEL_IMAGE_KEEP(enabled);
bool active = false;
bool stress = false;

namespace {

using mem::at;
using mem::Buffer;

u32 g_cycles = 0;
constexpr int MAX_CALLBACKS = 100;
MarkCallback g_callbacks[MAX_CALLBACKS] = {};
int g_callback_count = 0;
QEL_IMAGE_KEEP_POINTERS(g_callbacks);
QEL_IMAGE_KEEP(g_callback_count);
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
void mark_hash_table_at(const u32* slot);

// The collector's own mark rules, for the series-shaped datatypes whose
// modules register none; the owning modules register the others.
void mark_cells_rule(const Cell* c) { mark_series_at(series_node_slot(c)); }
void mark_table_series_rule(const Cell* c) {
  mark_series_at(series_node_slot(c));
  if (series_extra(c)) mark_table_at(series_extra_slot(c));
}
void mark_bytes_rule(const Cell* c) {
  mark_node_at(series_node_slot(c));
  if (series_extra(c)) mark_node_at(series_extra_slot(c));
}
void mark_node_rule(const Cell* c) {
  if (series_node(c)) mark_node_at(series_node_slot(c));
}
// handle!: word 3 is its slot in the resource table (-1: none).
void mark_handle_rule(const Cell* c) {
  if (i32(series_extra(c)) >= 0) resources::mark(i32(series_extra(c)), 0);
}
// event!: with flag 0x1000, word 2 is a block of the event's data.
void mark_event_rule(const Cell* c) {
  if ((c->header & 0x1000) && series_node(c)) mark_series_at(series_node_slot(c));
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


// ---- moving nodes ----------------------------------------------------------------
//
// A node frame that has stayed sparsely used for a while is emptied: its
// live nodes get new places in other frames and the frame is freed, so that
// memory a program built and dropped goes back to the OS. The frames to
// empty (candidates) are chosen before marking; marking records every slot
// through which it reaches a node of a candidate (to rewrite it), and pins
// the candidate when it meets one by value or in memory that does not
// outlive the cycle. After marking, the native stack is scanned for words
// that could be nodes of a candidate (C++ code holds nodes in locals), and
// every node whose address a table depends on pins its frame too. The
// candidates left are emptied, and the slots recorded rewritten, before the
// buffers are compacted.
struct Candidate {
  u32 frame, first, end;  // the frame and its node area [first, end)
  bool pinned;
};
std::vector<Candidate> g_candidates;
u32 g_cand_lo = 0, g_cand_hi = 0;   // the span of the candidates' node areas
std::vector<u32*> g_fixups;         // slots holding candidate nodes
bool g_roots_phase = false;         // marking the scoped roots: their slots outlive the cycle
int g_moving_off = 0;               // open MovingOff guards
bool g_moving = false;              // moving allowed in this cycle
u32 g_evacuations = 0;
u32 g_last_attempt = 0;             // cycle of the last evacuation attempt
bool g_attempted = false;
bool g_stress_run = false;          // the run asked for the collector stress (even while it is off)
bool g_stress_boot = false;         // ... and asked for it during start-up too
u64 g_stress_allocations = 0;       // allocations under the stress since restart_stress
std::vector<MovedCallback> g_moved;
// The extent of the native stack (valid while a cycle runs).
std::uintptr_t g_stack_lo = 0, g_stack_hi = 0;
std::vector<u32> g_native_words;
bool g_native_scanned = false;
std::vector<u64> g_symbol_marks;
// Symbols below this id are made at start-up: never reclaimed, not marked.
u32 g_symbol_floor = 0xFFFFFFFFu;

inline bool in_candidate_span(u32 v) { return v >= g_cand_lo && v < g_cand_hi; }

Candidate* candidate_of(u32 node) {
  for (Candidate& c : g_candidates) {
    if (node >= c.first && node < c.end) return &c;
  }
  return nullptr;
}

// A node met by value: its frame keeps it.
inline void note_value(u32 node) {
  if (in_candidate_span(node)) {
    if (Candidate* c = candidate_of(node)) c->pinned = true;
  }
}

// Whether a slot outlives the cycle: region memory and heap memory do; the
// native stack does not (a temporary cell of the marking code), except the
// scoped roots, whose guards are open for the whole cycle.
inline bool lasting_slot(const u32* slot) {
  auto a = reinterpret_cast<std::uintptr_t>(slot);
  auto base = reinterpret_cast<std::uintptr_t>(mem::region);
  if (a >= base && a < base + config::REGION_BYTES) return true;
  if (g_roots_phase) return true;
  return !(a >= g_stack_lo && a < g_stack_hi);
}

inline void note_slot(const u32* slot) {
  u32 v = *slot;
  if (!in_candidate_span(v) || !candidate_of(v)) return;
  if (lasting_slot(slot)) g_fixups.push_back(const_cast<u32*>(slot));
  else note_value(v);
}

inline Buffer* buffer_or_null(u32 node) {
  if (!node) return nullptr;
  u32 b = mem::node_target(node);
  return b ? at<Buffer>(b) : nullptr;
}

// Marks of the buffers in a boot image's pages, a bit for each 8 bytes of
// the span (mem::in_image), so that marking writes none of those pages.
std::vector<u64> g_image_marks;

void clear_image_marks() {
  const std::size_t words = (std::size_t(mem::image_span) / 8 + 63) / 64;
  if (g_image_marks.size() != words) g_image_marks.assign(words, 0);
  else std::fill(g_image_marks.begin(), g_image_marks.end(), 0);
}

// The bitmap's word and bit of a buffer at offset o in the image's span.
struct ImageMark {
  u64& word;
  u64 bit;
};
inline ImageMark image_mark(u32 o) {
  u32 i = (o - mem::image_lo) / 8;
  return {g_image_marks[i / 64], u64(1) << (i % 64)};
}

inline bool marked(const Buffer* b) {
  u32 o = mem::offset_of(b);
  if (mem::in_image(o)) {
    ImageMark m = image_mark(o);
    return m.word & m.bit;
  }
  return b->flags & mem::SERIES_MARK;
}

// Takes the mark off a buffer outside the image (those in it are cleared
// with the bitmap at the next cycle).
inline void unmark(Buffer* b) {
  if (!mem::in_image(mem::offset_of(b))) b->flags &= ~mem::SERIES_MARK;
}

// Sets the mark; answers true when the buffer was not marked yet.
bool set_mark(u32 node) {
  Buffer* b = buffer_or_null(node);
  if (!b) return false;
  u32 o = mem::offset_of(b);
  if (mem::in_image(o)) {
    ImageMark m = image_mark(o);
    if (m.word & m.bit) return false;
    m.word |= m.bit;
  } else {
    if (b->flags & mem::SERIES_MARK) return false;
    b->flags |= mem::SERIES_MARK;
  }
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
  const u32* table = context::record_table_slot(record);
  const u32* values = context::record_values_slot(record);
  bool on_stack = context::record_on_stack(record);
  if (*table) mark_table_at(table);
  if (!on_stack && *values) mark_series_at(values);
  if (b->used() >= 2 * sizeof(Cell)) mark_cell(record + 1);
}

void mark_hash_table_at(const u32* slot) {
  note_slot(slot);
  u32 table = *slot;
  if (!set_mark(table)) return;
  Buffer* b = buffer_or_null(table);
  if (!b || b->used() < sizeof(hash::Record)) return;
  const hash::Record* r = reinterpret_cast<const hash::Record*>(b->head_ptr());
  if (r->kind == hash::KIND_BLOCK) {
    mark_node_at(&r->index);
    if (r->chains && mark_node_at(&r->chains)) {
      // The chains array holds the nodes of the chain series.
      Buffer* chains = buffer_or_null(r->chains);
      u32 n = chains->used() / 4;
      const u32* chain = reinterpret_cast<const u32*>(chains->head_ptr());
      for (u32 i = 0; i < n; ++i) mark_node_at(chain + i);
    }
  }
  mark_node_at(&r->flags);
  mark_node_at(&r->keys);
  if (r->block) {
    // Keys whose hash or place depends on a node's address keep that node
    // where it is.
    if (!g_candidates.empty()) hash::each_key_node(table, note_value);
    if (r->kind == hash::KIND_OWNER) {
      mark_node_at(&r->block);  // the ownership table does not keep what it records alive
    } else {
      mark_series_at(&r->block);
    }
  }
}

void mark_hash_table(u32 table) {
  note_value(table);
  u32 local = table;
  mark_hash_table_at(&local);
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
  g_roots_phase = true;
  for (const Cell* c : roots::cells) mark_cell(c);
  for (const u32* n : roots::nodes) mark_series_at(n);
  g_roots_phase = false;
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
// A boot image's sealed buffers stay where they are: a dead one gives its
// node back and stays as a hole (node 0, as an abandoned buffer). Answers
// where the buffers that may move begin.
u32 sweep_sealed(mem::SeriesFrame* f) {
  u32 p = f->data_offset();
  for (; p < f->sealed; p += at<Buffer>(p)->size + sizeof(Buffer)) {
    Buffer* b = at<Buffer>(p);
    if (b->node && !marked(b)) {
      g_release.push_back(b->node);
      b->node = 0;
      b->flags &= ~mem::SERIES_ACTIVE;
    }
    if (!b->node) mem::poison_range(b->data_offset(), b->end_offset());
  }
  return p;
}

void compact_frame(mem::SeriesFrame* f, mem::SeriesFrame* into) {
  u32 start = f->data_offset();
  QEL_UNPOISON(mem::region + start, f->free - start);
  if (f->sealed) start = sweep_sealed(f);
  u32 p = start;
  u32 dest = start;  // where the next run that stays in this frame goes
  while (p < f->free) {
    Buffer* b = at<Buffer>(p);
    u32 len = b->size + sizeof(Buffer);
    if (!marked(b)) {
      if (b->node) g_release.push_back(b->node);
      p += len;
      continue;
    }
    // A run of live buffers.
    u32 run = p;
    while (p < f->free && marked(at<Buffer>(p))) {
      Buffer* lb = at<Buffer>(p);
      unmark(lb);
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
  if (f->free != dest) f->free = dest;
  mem::poison_range(f->free, f->end);
}

void compact_frames() {
  mem::SeriesFrame* into = nullptr;
  for (u32 o = mem::record.series_first; o;) {
    auto* f = at<mem::SeriesFrame>(o);
    u32 next = f->next;
    compact_frame(f, into);
    if (f->free == f->data_offset() && o != mem::record.series_last) {
      mem::retire_series_frame(o);
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
    if (marked(b)) {
      unmark(b);
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

// ---- the native stack -----------------------------------------------------

// The extent of the running stack: the interpreter's high end (start-up may
// run it on a stack of its own, which the thread's attributes do not name),
// else the thread's stack base once per thread; the low end the caller's
// frame.
void find_stack_extent(std::uintptr_t low) {
  if (runtime::stack_base && low < runtime::stack_base) {
    g_stack_lo = low;
    g_stack_hi = runtime::stack_base;
    return;
  }
  thread_local std::uintptr_t base = 0;
  if (!base) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* addr = nullptr;
      std::size_t size = 0;
      pthread_attr_getstack(&attr, &addr, &size);
      pthread_attr_destroy(&attr);
      base = reinterpret_cast<std::uintptr_t>(addr) + size;
    }
  }
  g_stack_lo = low;
  g_stack_hi = base;
}

// Collects every aligned 32-bit word of the stack above this frame, where
// the callee-saved registers of the running code are spilled first, and the
// offset named by every aligned pointer into the region (code that keeps a
// pointer to a node's word, as the sorter does, holds that node). Read
// without the sanitizer's checks: most of it belongs to other frames.
[[gnu::noinline]] QEL_NO_SANITIZE_ADDRESS void scan_native_stack() {
  __builtin_unwind_init();
  volatile u32 here = 0;
  auto low = reinterpret_cast<std::uintptr_t>(&here) & ~std::uintptr_t(3);
  auto base = reinterpret_cast<std::uintptr_t>(mem::region);
  g_native_words.clear();
  for (std::uintptr_t a = low; a + 4 <= g_stack_hi; a += 4) {
    g_native_words.push_back(u32(*reinterpret_cast<const volatile u32*>(a)));
    if (a % 8 == 0 && a + 8 <= g_stack_hi) {
      auto p = *reinterpret_cast<const volatile std::uintptr_t*>(a);
      if (p >= base && p - base < config::REGION_BYTES) g_native_words.push_back(u32(p - base));
    }
  }
  std::sort(g_native_words.begin(), g_native_words.end());
  g_native_words.erase(std::unique(g_native_words.begin(), g_native_words.end()), g_native_words.end());
  g_native_scanned = true;
}

// Locals that AddressSanitizer moved to a heap stack of its own would be
// missed by the scan: nothing moves and nothing is reclaimed then.
bool fake_stack_in_use() {
#if defined(QEL_ASAN)
  return __asan_get_current_fake_stack() != nullptr;
#else
  return false;
#endif
}

// ---- emptying node frames ---------------------------------------------------

constexpr u32 STABLE_COLLECTIONS = 6;   // a frame's in-use count unchanged this often
constexpr u32 SPARSE_NODES = 5000;      // fewer nodes in use than this
constexpr u32 ATTEMPT_SPACING = 16;     // collections between two attempts
constexpr u32 STRESS_ATTEMPT_SPACING = 8;

// Chooses the frames to empty: stable, sparse, not current, not lasting,
// while the other frames have room for their nodes.
void plan_evacuation() {
  g_candidates.clear();
  g_cand_lo = g_cand_hi = 0;
  if (!g_moving || g_symbol_floor == 0xFFFFFFFFu) return;
  if (g_attempted && g_cycles - g_last_attempt < (stress ? STRESS_ATTEMPT_SPACING : ATTEMPT_SPACING)) return;
  u64 room = 0;
  for (u32 o = mem::record.node_first; o; o = at<mem::NodeFrame>(o)->next) {
    auto* f = at<mem::NodeFrame>(o);
    room += f->capacity - f->used;
  }
  // Under the collector stress every frame made after start-up is emptied
  // as often as the stress allows, so that every test moves nodes.
  u32 stable = stress ? 0u : (1u << STABLE_COLLECTIONS) - 1;
  u32 sparse = stress ? mem::NODE_FRAME_NODES : SPARSE_NODES;
  u64 margin = stress ? 0 : mem::NODE_FRAME_NODES;
  for (u32 o = mem::record.node_last; o; o = at<mem::NodeFrame>(o)->prev) {
    auto* f = at<mem::NodeFrame>(o);
    if ((f->history & stable) != stable || f->used >= sparse || f->lasting || f->evacuating ||
        (o == mem::record.node_current && !stress)) {
      continue;
    }
    u64 free_here = f->capacity - f->used;
    if (room - free_here < u64(f->used) + margin) continue;
    room -= free_here + f->used;
    g_candidates.push_back({o, f->nodes_offset(), f->nodes_offset() + f->capacity * 4, false});
  }
  if (g_candidates.empty()) return;
  g_last_attempt = g_cycles;
  g_attempted = true;
  g_cand_lo = 0xFFFFFFFFu;
  for (const Candidate& c : g_candidates) {
    g_cand_lo = std::min(g_cand_lo, c.first);
    g_cand_hi = std::max(g_cand_hi, c.end);
  }
}

// After marking: pins what the native stack names, then moves the live
// nodes of every candidate left and rewrites the slots that name them.
void evacuate() {
  if (g_candidates.empty()) return;
  if (!g_native_scanned) scan_native_stack();
  // A word that names a node in use (an aligned place in a candidate's node
  // area, holding a buffer address rather than a free-list link).
  for (u32 w : g_native_words) {
    if (!in_candidate_span(w)) continue;
    Candidate* c = candidate_of(w);
    if (!c || (w - c->first) % 4) continue;
    u32 t = *at<u32>(w);
    if (t && !(t >= g_cand_lo && t < g_cand_hi) && !mem::node_frame_of(t)) c->pinned = true;
  }

  // The walks under way compare nodes with the cycle stack's entries.
  for (u32 i = 0; i < cycles::depth(); ++i) note_value(cycles::entry(i));
  bool moved = false;
  std::vector<u8> is_free;
  std::vector<u32> relocated;
  for (Candidate& c : g_candidates) {
    auto* f = at<mem::NodeFrame>(c.frame);
    if (!c.pinned) {
      // The free nodes, by their list; every other node is in use.
      is_free.assign(f->capacity, 0);
      for (u32 n = f->free_head; n; n = *at<u32>(n)) is_free[(n - c.first) / 4] = 1;
      // A node whose buffer lives outside the frames and is managed by C++
      // code, or is owned (keyed by node in the ownership table), stays;
      // so does a node in use that names no buffer.
      for (u32 i = 0; i < f->capacity && !c.pinned; ++i) {
        if (is_free[i]) continue;
        u32 b = *at<u32>(c.first + i * 4);
        if (!b) c.pinned = true;
        else if (at<Buffer>(b)->flags & (mem::SERIES_BIG | mem::SERIES_OWNED)) c.pinned = true;
      }
    }
    if (c.pinned) {
      f->history = 0;  // stable again before the next attempt
      continue;
    }
    f->evacuating = 1;  // no node is taken from it any more
    relocated.assign(f->capacity, 0);
    for (u32 i = 0; i < f->capacity; ++i) {
      if (is_free[i]) continue;
      u32 old = c.first + i * 4;
      u32 b = *at<u32>(old);
      Buffer* buf = at<Buffer>(b);
      if (!marked(buf)) continue;  // dead: released with the frame
      u32 fresh = mem::alloc_node();
      *at<u32>(fresh) = b;
      buf->node = fresh;
      relocated[i] = fresh;
    }
    for (u32* slot : g_fixups) {
      u32 v = *slot;
      if (v >= c.first && v < c.end && relocated[(v - c.first) / 4]) *slot = relocated[(v - c.first) / 4];
    }
    moved = true;
    ++g_evacuations;
  }
  if (moved) {
    // Buffers pointed at by marked-outside entries keep their nodes' new names.
    for (u32& node : g_marked_outside) {
      if (in_candidate_span(node)) {
        Buffer* b = buffer_or_null(node);
        if (b) node = b->node;
      }
    }
    for (MovedCallback fn : g_moved) fn();
  }
}

}  // namespace

// ---------------------------------------------------------------------------

void init() {
  g_cycles = 0;
  const char* s = std::getenv(config::GC_STRESS_ENV);
  stress = s && *s && std::strcmp(s, "0") != 0;
  g_stress_run = stress;
  g_stress_boot = stress && std::strcmp(s, config::GC_STRESS_BOOT) == 0;
}

bool stress_during_boot() { return g_stress_boot; }

void boot_started() {
  if (!g_stress_boot) stress = false;
}

void check() {
  if (enabled && !active) do_cycle();
}

void stress_point() {
  if (!stress || !enabled || active) return;
  u64 n = g_stress_allocations++;
  if (n < config::GC_STRESS_FULL || n % config::GC_STRESS_SPACING == 0) do_cycle();
}

void restart_stress() { g_stress_allocations = 0; }

u32 cycles() { return g_cycles; }

void compact_unseen() {
  const u32 counted = g_cycles;
  do_cycle();
  g_cycles = counted;
  mem::release_spare_frames();
}

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
  return b && marked(b);
}

bool mark_node(u32 node) {
  note_value(node);
  return set_mark(node);
}

void mark_series(u32 node) {
  note_value(node);
  if (set_mark(node)) g_work.push_back({node, SCAN_CELLS});
}

void mark_context(u32 node) {
  note_value(node);
  if (set_mark(node)) g_work.push_back({node, SCAN_CONTEXT});
}

bool mark_node_at(const u32* slot) {
  note_slot(slot);
  return set_mark(*slot);
}

void mark_series_at(const u32* slot) {
  note_slot(slot);
  if (set_mark(*slot)) g_work.push_back({*slot, SCAN_CELLS});
}

void mark_context_at(const u32* slot) {
  note_slot(slot);
  if (set_mark(*slot)) g_work.push_back({*slot, SCAN_CONTEXT});
}

void mark_table_at(const u32* slot) { mark_hash_table_at(slot); }

void pin_node(u32 node) { note_value(node); }

void mark_symbol(u32 id) {
  if (id < g_symbol_floor) return;
  u32 word = id / 64;
  if (word >= g_symbol_marks.size()) g_symbol_marks.resize(word + 1024, 0);
  u64 bit = u64(1) << (id % 64);
  if (g_symbol_marks[word] & bit) return;
  g_symbol_marks[word] |= bit;
  u32 canonical = hash::resolve_symbol(id);
  if (canonical != id) mark_symbol(canonical);
}

bool symbol_marked(u32 id) {
  if (id < g_symbol_floor) return true;
  u32 word = id / 64;
  return word < g_symbol_marks.size() && (g_symbol_marks[word] & (u64(1) << (id % 64)));
}

bool moving_allowed() { return g_moving; }

const std::vector<u32>& native_words() {
  if (!g_native_scanned) scan_native_stack();
  return g_native_words;
}

MovingOff::MovingOff() { ++g_moving_off; }
MovingOff::~MovingOff() { --g_moving_off; }

void add_moved_callback(MovedCallback fn) { g_moved.push_back(fn); }
bool moving_planned() { return !g_candidates.empty(); }

void pin_words(const void* first, std::size_t bytes) {
  if (g_candidates.empty() || !first) return;
  auto a = reinterpret_cast<std::uintptr_t>(first);
  auto end = a + bytes;
  auto base = reinterpret_cast<std::uintptr_t>(mem::region);
  for (a = (a + 3) & ~std::uintptr_t(3); a + 4 <= end; a += 4) {
    note_value(*reinterpret_cast<const u32*>(a));
    if (a % 8 == 0 && a + 8 <= end) {
      auto p = *reinterpret_cast<const std::uintptr_t*>(a);
      if (p >= base && p - base < config::REGION_BYTES) note_value(u32(p - base));
    }
  }
}

u32 evacuations() { return g_evacuations; }

void startup_done(u32 symbol_count) {
  g_symbol_floor = symbol_count + 1;
  // Under the stress the program's nodes go to frames of their own, so that
  // every test moves some.
  mem::keep_node_frames(g_stress_run);
  stress = g_stress_run;
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
  volatile u32 here = 0;
  find_stack_extent(reinterpret_cast<std::uintptr_t>(&here));
  g_native_scanned = false;
  g_moving = g_moving_off == 0 && !fake_stack_in_use();
  std::fill(g_symbol_marks.begin(), g_symbol_marks.end(), 0);
  g_fixups.clear();
  clear_image_marks();
  plan_evacuation();
  scan_roots();
  resources::sweep();
  for (SweepCallback fn : g_sweepers) fn();
  evacuate();
  g_candidates.clear();
  g_cand_lo = g_cand_hi = 0;
  g_fixups.clear();
  compact_frames();
  sweep_large_blocks();
  release_nodes();
  mem::review_node_frames();
  for (u32 node : g_marked_outside) {
    Buffer* b = buffer_or_null(node);
    if (b) unmark(b);
  }
  g_marked_outside.clear();
  mem::collected();
  ++g_cycles;
  active = false;
  return g_cycles;
}

}  // namespace qel::gc
