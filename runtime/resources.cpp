#include "runtime/resources.hpp"

#include <cstdlib>
#include <vector>

#include "runtime/collector.hpp"
#include "runtime/memory.hpp"
#include "runtime/startup.hpp"

namespace qel::resources {
namespace {

constexpr u32 FREE_SLOT = 0x40000000;
constexpr u32 MARK = 0x80000000;
constexpr int MAX_TYPES = 20;

struct TypeRecord {
  const char* name;
  ReleaseFn release;
};
struct SlotRecord {
  u32 type;    // type number in bits 0-7, MARK bit; FREE_SLOT when free
  void* ptr;
  i32 next;    // next slot in the live or the free list, -1 at the end
};

TypeRecord g_types[MAX_TYPES];
int g_type_count = 0;
std::vector<SlotRecord> g_slots;
i32 g_free_head = -1;
i32 g_live_head = -1;
u32 g_live = 0;

void chain_free(u32 from, u32 to) {
  for (u32 i = from; i < to; ++i) {
    g_slots[i] = SlotRecord{FREE_SLOT, nullptr, i + 1 < to ? i32(i + 1) : -1};
  }
}

void unlink_live(i32 h) {
  i32* link = &g_live_head;
  while (*link != -1) {
    if (*link == h) {
      *link = g_slots[h].next;
      return;
    }
    link = &g_slots[*link].next;
  }
}

// Value slot table: a block whose tail stands at the end of its capacity; free
// cells are integer! cells chaining the free list.
u32 g_table_node = 0;
i32 g_slot_free_head = -1;

// A free cell carries this header flag, so that freeing it again is noticed.
constexpr u32 FREE_CELL = 0x100;

void chain_free_cells(u32 from, u32 to) {
  Cell* c = mem::buffer_of(g_table_node)->cells();
  for (u32 i = from; i < to; ++i) {
    make_integer(c + i, i + 1 < to ? i32(i + 1) : -1);
    c[i].header |= FREE_CELL;
  }
}

}  // namespace

void init_registry() {
  g_type_count = 0;
  g_slots.assign(1000, SlotRecord{});
  chain_free(0, 1000);
  g_free_head = 0;
  g_live_head = -1;
  g_live = 0;
}

void init_slot_table() {
  // The collector marks the whole table: its tail stands at the end of its capacity.
  g_table_node = mem::alloc_cells(100);
  mem::Buffer* b = mem::buffer_of(g_table_node);
  b->tail = b->head + 100 * sizeof(Cell);
  chain_free_cells(0, 100);
  g_slot_free_head = 0;
}

int register_type(const char* name, ReleaseFn release) {
  if (g_type_count >= MAX_TYPES) return 0;
  g_types[g_type_count] = TypeRecord{name, release};
  return ++g_type_count;
}

int add(void* resource, int type) {
  if (g_slots[u32(g_free_head)].next == -1) {
    // The last free slot: double the table and link the new half behind it.
    u32 old = u32(g_slots.size());
    g_slots.resize(old * 2);
    chain_free(old, old * 2);
    g_slots[u32(g_free_head)].next = i32(old);
  }
  i32 h = g_free_head;
  SlotRecord& s = g_slots[u32(h)];
  g_free_head = s.next;
  s = SlotRecord{u32(type) & 0xFF, resource, g_live_head};
  g_live_head = h;
  ++g_live;
  return h;
}

void release(u32 type_word, void* resource) {
  int t = int(type_word & 0xFF);
  if (t < 1 || t > g_type_count || !g_types[t - 1].release) return;
  g_types[t - 1].release(resource);
}

static bool live(int h) {
  return h >= 0 && u32(h) < g_slots.size() && g_slots[u32(h)].type != FREE_SLOT;
}

void replace(int handle, void* resource) {
  if (!live(handle)) return;
  SlotRecord& s = g_slots[u32(handle)];
  void* old = s.ptr;
  s.ptr = resource;
  if (old != resource) release(s.type, old);
}

void free(int handle, bool release_it) {
  if (!live(handle)) return;  // a handle freed twice leaves the lists intact
  SlotRecord& s = g_slots[u32(handle)];
  if (release_it) release(s.type, s.ptr);
  unlink_live(handle);
  s = SlotRecord{FREE_SLOT, nullptr, g_free_head};
  g_free_head = handle;
  --g_live;
}

bool mark(int handle, void* new_resource) {
  if (!live(handle)) return false;
  SlotRecord& s = g_slots[u32(handle)];
  bool fresh = !(s.type & MARK);
  s.type |= MARK;
  if (new_resource) s.ptr = new_resource;
  return fresh;
}

void foreach(int type, void (*callback)(void*)) {
  for (i32 h = g_live_head; h != -1; h = g_slots[u32(h)].next) {
    if (int(g_slots[u32(h)].type & 0xFF) == type) callback(g_slots[u32(h)].ptr);
  }
}

void sweep() {
  i32* link = &g_live_head;
  while (*link != -1) {
    i32 h = *link;
    SlotRecord& s = g_slots[u32(h)];
    if (s.type & MARK) {
      s.type &= ~MARK;
      link = &s.next;
      continue;
    }
    release(s.type, s.ptr);
    *link = s.next;
    s = SlotRecord{FREE_SLOT, nullptr, g_free_head};
    g_free_head = h;
    --g_live;
  }
}

void* get(int handle) { return live(handle) ? g_slots[u32(handle)].ptr : nullptr; }
int type_of_handle(int handle) { return live(handle) ? int(g_slots[u32(handle)].type & 0xFF) : 0; }
const char* type_name(int type) {
  return type >= 1 && type <= g_type_count ? g_types[type - 1].name : nullptr;
}
u32 capacity() { return u32(g_slots.size()); }
u32 live_count() { return g_live; }

u32 slot_alloc(const Cell* value) {
  Cell copy = *value;  // the value may lie in a buffer that growing the table moves
  if (g_slot_free_head == -1) {
    mem::Buffer* b = mem::buffer_of(g_table_node);
    u32 old = b->used() / sizeof(Cell);
    b = mem::expand_series_copy(g_table_node, old * 2 * sizeof(Cell));
    b->tail = b->head + old * 2 * sizeof(Cell);
    chain_free_cells(old, old * 2);
    g_slot_free_head = i32(old);
  }
  Cell* c = mem::buffer_of(g_table_node)->cells() + g_slot_free_head;
  i32 h = g_slot_free_head;
  g_slot_free_head = int_of(c);
  copy_cell(&copy, c);
  return u32(h + 1);
}

Cell* slot_cell(u32 handle) { return mem::buffer_of(g_table_node)->cells() + (handle - 1); }

void slot_free(u32 handle) {
  if (handle == 0 || handle > slot_capacity()) return;
  Cell* c = slot_cell(handle);
  if (c->header == (TYPE_INTEGER | FREE_CELL)) return;  // already free: keep the list intact
  make_integer(c, g_slot_free_head);
  c->header |= FREE_CELL;
  g_slot_free_head = i32(handle - 1);
}

u32 slot_capacity() { return mem::buffer_of(g_table_node)->used() / sizeof(Cell); }

void mark_slot_table() {
  if (g_table_node) gc::mark_series(g_table_node);
}

}  // namespace qel::resources
