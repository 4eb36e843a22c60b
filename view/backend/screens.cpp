#include "view/backend/screens.hpp"

#include <gtk/gtk.h>

#include <cmath>

#include "datatypes/block.hpp"
#include "datatypes/handle.hpp"
#include "datatypes/pair.hpp"
#include "runtime/api.hpp"
#include "runtime/collector.hpp"
#include "runtime/memory.hpp"
#include "runtime/resources.hpp"
#include "view/backend/display.hpp"
#include "view/test_hooks.hpp"
#include "view/units.hpp"

namespace qel::view::backend::screens {

namespace {

// A display seen so far: GDK's monitor object (held) or a fake monitor's
// index, and the slot of its handle, kept while the display stays.
struct Known {
  GdkMonitor* monitor;  // null for a fake monitor
  i32 fake;             // the fake monitor's index, else -1
  i32 slot;
  bool seen;
};
std::vector<Known> g_known;
int g_kind = 0;
u32 g_next_id = 1;

void mark_known() {
  for (const Known& k : g_known) resources::mark(k.slot, nullptr);
}

// The slot of the display's handle: the one it had, or a new one.
i32 slot_of(GdkMonitor* monitor, i32 fake) {
  if (!g_kind) {
    g_kind = resources::register_type("monitor", nullptr);
    gc::add_mark_callback(mark_known);
  }
  for (Known& k : g_known) {
    if (k.monitor == monitor && k.fake == fake) {
      k.seen = true;
      return k.slot;
    }
  }
  i32 slot = resources::add(reinterpret_cast<void*>(std::uintptr_t(g_next_id++)), g_kind);
  if (monitor) g_object_ref(monitor);
  g_known.push_back({monitor, fake, slot, true});
  return slot;
}

// Displays not seen in the last listing are gone: their handles stay valid
// values but are no longer kept by the backend.
void forget_unseen() {
  for (std::size_t i = 0; i < g_known.size();) {
    if (g_known[i].seen) {
      g_known[i].seen = false;
      ++i;
      continue;
    }
    if (g_known[i].monitor) g_object_unref(g_known[i].monitor);
    g_known.erase(g_known.begin() + std::ptrdiff_t(i));
  }
}

}  // namespace

std::vector<Monitor> all() {
  std::vector<Monitor> list;
  if (const auto* fakes = test_hooks::fake_monitors()) {
    for (std::size_t i = 0; i < fakes->size(); ++i) {
      const auto& f = (*fakes)[i];
      list.push_back({f.x, f.y, f.width, f.height, f.scale, slot_of(nullptr, i32(i))});
    }
  } else if (display::open()) {
    GdkDisplay* d = gdk_display_get_default();
    int n = gdk_display_get_n_monitors(d);
    for (int i = 0; i < n; ++i) {
      GdkMonitor* m = gdk_display_get_monitor(d, i);
      if (!m) continue;
      GdkRectangle r;
      gdk_monitor_get_geometry(m, &r);  // application pixels
      int s = gdk_monitor_get_scale_factor(m);
      if (s < 1) s = 1;
      list.push_back({r.x * s, r.y * s, r.width * s, r.height * s, double(s), slot_of(m, -1)});
    }
  }
  forget_unseen();
  return list;
}

i32 current(const std::vector<Monitor>& list) {
  if (list.empty()) return -1;
  if (!display::open()) return 0;
  GdkDisplay* d = gdk_display_get_default();
  GdkSeat* seat = gdk_display_get_default_seat(d);
  GdkDevice* pointer = seat ? gdk_seat_get_pointer(seat) : nullptr;
  if (!pointer) return 0;
  int px = 0, py = 0;
  gdk_device_get_position(pointer, nullptr, &px, &py);  // application pixels
  // The pointer in pixels, at the scale of the first display: GDK places
  // displays of other scales at their application-pixel positions.
  double s = list[0].scale;
  return nearest(list, px * s, py * s);
}

i32 nearest(const std::vector<Monitor>& list, double x, double y) {
  i32 best = -1;
  double best_distance = INFINITY;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const Monitor& m = list[i];
    double dx = x < m.x ? m.x - x : x >= m.x + m.width ? x - (m.x + m.width - 1) : 0;
    double dy = y < m.y ? m.y - y : y >= m.y + m.height ? y - (m.y + m.height - 1) : 0;
    double distance = dx * dx + dy * dy;
    if (distance < best_distance) best_distance = distance, best = i32(i);
  }
  return best;
}

Cell* handle(const Monitor& m, Cell* out) { return handle::make_for_slot(out, m.slot, u32(g_kind)); }

void fetch_all_screens() {
  std::vector<Monitor> list = all();
  api::Values v(2);  // the block; an entry
  block::make_at(v[0], i32(list.size()));
  for (const Monitor& m : list) {
    block::make_at(v[1], 4);
    pair::make_in(series_node(v[1]), m.x, m.y);
    pair::make_in(series_node(v[1]), m.width, m.height);
    Cell* s = mem::alloc_tail_cell(series_node(v[1]));
    make_float(s, m.scale);
    handle(m, mem::alloc_tail_cell(series_node(v[1])));
    block::append_copy(v[0], v[1]);
  }
  api::set_result(v[0]);
}

void get_current_screen() {
  std::vector<Monitor> list = all();
  i32 i = current(list);
  if (i < 0) handle::make_at(api::result(), nullptr, 0); else handle(list[std::size_t(i)], api::result());
  api::keep_result();
}

// The first display's size in logical units at the current DPI.
void get_screen_size() {
  std::vector<Monitor> list = all();
  i32 w = 0, h = 0;
  if (!list.empty()) {
    w = i32(i64(list[0].width) * 96 / units::current.dpi);
    h = i32(i64(list[0].height) * 96 / units::current.dpi);
  }
  pair::make_at(make_none(api::result()), w, h);
  api::keep_result();
}

}  // namespace qel::view::backend::screens
