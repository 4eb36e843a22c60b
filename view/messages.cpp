#include "view/messages.hpp"

#include "datatypes/event.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/collector.hpp"
#include "view/keys.hpp"
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

// The text attached to a message, and the message's reference.
Cell g_text{};
u32 g_text_ref = 0;
bool g_marking = false;

void mark_text() { gc::mark_values(&g_text, &g_text + 1); }

bool live(u32 ref) { return get(ref) != nullptr; }

bool has_offset(u32 type) {
  return (type >= event::DOWN && type <= event::KEY_UP) || (type >= event::ZOOM && type <= event::PRESS_TAP) ||
         type == event::MENU || (type >= event::MOVE && type <= event::RESIZING);
}

Cell* picked(const Cell* e, const Message& m, u32 ref, Cell* out) {
  switch (event::type_code(e)) {
    case event::DOWN: case event::MID_DOWN: case event::ALT_DOWN: case event::AUX_DOWN: case event::DBL_CLICK:
      // The list item under the pointer (1-based), when the window is a list.
      return m.lparam > 0 ? make_integer(out, i32(m.lparam)) : make_none(out);
    case event::WHEEL: {
      i32 d = int16_t(u16(m.wparam >> 16));
      if (d < -24000) d += 30720;
      if (d > 24000) d -= 30720;
      return make_float(out, d / 120.0);
    }
    case event::ZOOM: {
      // The step's distance against the previous one; a gesture's first
      // step, and a previous distance of 0, have no ratio.
      i64 previous = i64(m.wparam);
      if (previous <= 0) return make_none(out);
      return set_type(make_float(out, double(m.lparam - previous) / double(previous) + 1.0), TYPE_PERCENT);
    }
    case event::PAN: case event::ROTATE: case event::TWO_TAP: case event::PRESS_TAP:
      return make_integer(out, i32(m.lparam));
    case event::MENU:
      return m.wparam ? word::make_at(u32(m.wparam), out) : make_none(out);
    case event::SCROLL:
      return make_integer(out, i32(m.lparam));
    case event::IME:
      return ref == g_text_ref && g_text_ref ? copy_cell(&g_text, out) : make_none(out);
    default:
      return make_integer(out, i32(int16_t(u16(event::key_code(e)))));
  }
}

Cell* field(const Cell* e, u32 index, Cell* out) {
  u32 ref = event::message_ref(e);
  const Message* m = get(ref);
  window::Record* w = m ? window::find(m->window) : nullptr;
  if (!w) return make_none(out);
  u32 type = event::type_code(e);
  switch (index) {
    case event::F_FACE:
    case event::F_WINDOW: {
      const Cell* f = window::face(index == event::F_FACE ? *w : *window::root(w));
      return f ? copy_cell(f, out) : make_none(out);
    }
    case event::F_OFFSET: {
      if (!has_offset(type)) return make_none(out);
      bool pairs = (type == event::RESIZE || type == event::RESIZING) &&
                   (window::get(*w, window::KIND) & window::KIND_PAIRS) != 0;
      return units::logical_point(m->x, m->y, pairs, out);
    }
    case event::F_PICKED:
      return picked(e, *m, ref, out);
    case event::F_ORIENTATION:
      if (type != event::SCROLL) return make_none(out);
      return word::make_at(symbol::make(m->code == VSCROLL ? "vertical" : "horizontal"), out);
    default:
      return make_none(out);
  }
}

Cell* key_word(u32 code, Cell* out) {
  const char* w = keys::special_word(code);
  return w ? word::make_at(symbol::make(w), out) : make_none(out);
}

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

void attach_text(u32 ref, const Cell* text) {
  if (!g_marking) g_marking = gc::add_mark_callback(mark_text);
  copy_cell(text, &g_text);
  g_text_ref = ref;
}

void install_event_reader() { event::set_os_reader(&kReader); }

}  // namespace qel::view::messages
