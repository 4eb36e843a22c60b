#include "view/messages.hpp"

#include "datatypes/event.hpp"
#include "view/units.hpp"
#include "view/window.hpp"

namespace qel::view::messages {

namespace {

constexpr u32 SLOT_BITS = 8;
static_assert(RING_SLOTS == 1u << SLOT_BITS);
constexpr u32 GENERATION_MASK = 0xFFFFFF;

struct Slot {
  Message message;
  u32 generation = 0;  // 0: never used
};
Slot g_ring[RING_SLOTS];
u32 g_next = 0;

bool live(u32 ref) { return get(ref) != nullptr; }

Cell* field(const Cell* e, u32 index, Cell* out) {
  const Message* m = get(event::message_ref(e));
  window::Record* w = m ? window::find(m->window) : nullptr;
  if (!w) return make_none(out);
  switch (index) {
    case event::F_FACE:
    case event::F_WINDOW: {
      const Cell* f = window::face(index == event::F_FACE ? *w : *window::root(w));
      return f ? copy_cell(f, out) : make_none(out);
    }
    case event::F_OFFSET:
      return units::logical_point(m->x, m->y, (window::get(*w, window::KIND) & window::KIND_PAIRS) != 0, out);
    default:
      return make_none(out);
  }
}

Cell* key_word(u32, Cell* out) { return make_none(out); }

const event::OsReader kReader = {live, field, key_word};

}  // namespace

u32 record(const Message& m) {
  u32 slot = g_next;
  g_next = (g_next + 1) % RING_SLOTS;
  Slot& s = g_ring[slot];
  s.generation = (s.generation + 1) & GENERATION_MASK;
  if (!s.generation) s.generation = 1;
  s.message = m;
  return slot | s.generation << SLOT_BITS;
}

const Message* get(u32 ref) {
  u32 generation = ref >> SLOT_BITS;
  const Slot& s = g_ring[ref & (RING_SLOTS - 1)];
  return generation && s.generation == generation ? &s.message : nullptr;
}

void install_event_reader() { event::set_os_reader(&kReader); }

}  // namespace qel::view::messages
