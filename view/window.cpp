#include "view/window.hpp"

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "datatypes/handle.hpp"
#include "runtime/collector.hpp"
#include "runtime/resources.hpp"

namespace qel::view::window {

namespace {

const ClassInfo kClasses[CLASS_COUNT] = {
    {"QelWindow", "", true},         {"QelPanel", "", true},           {"QelBase", "", true},
    {"QelBaseInternal", "", true},   {"QelCamera", "", true},          {"QelButton", "BUTTON", false},
    {"QelListBox", "ListBox", false}, {"QelProgress", "msctls_progress32", false},
    {"QelSlider", "msctls_trackbar32", false}, {"QelScroller", "SCROLLBAR", false},
    {"QelTabpanel", "SysTabControl32", false}, {"QelCombo", "ComboBox", false},
    {"QelFace", "STATIC", false},    {"QelCalendar", "SysMonthCal32", false},
    {"QelArea", "EDIT", false},      {"QelField", "QelArea", false},
};

std::unordered_map<u32, std::unique_ptr<Record>> g_records;
u32 g_next_id = 1;
int g_kind = 0;  // the resource kind of window handles

std::vector<void*> g_pointers;  // by id - 1
std::vector<i32> g_free_pointers;

// A live window keeps its handle's slot: every handle value of it names the
// same slot, and the slot outlives the window only as long as values do.
void mark_handles() {
  for (auto& [id, w] : g_records) resources::mark(w->handle_slot, nullptr);
}

}  // namespace

const ClassInfo& info(Class c) { return kClasses[u32(c) < CLASS_COUNT ? u32(c) : 0]; }

i32 get(const Record& w, i32 offset) {
  return offset >= 0 && offset < MEMORY_BYTES && offset % 4 == 0 ? w.memory[offset / 4] : 0;
}

void set(Record& w, i32 offset, i32 value) {
  if (offset >= 0 && offset < MEMORY_BYTES && offset % 4 == 0) w.memory[offset / 4] = value;
}

void reset_memory(Record& w) {
  for (i32 slot : {SECOND, CURSOR_IMAGE, DRAW_TARGET, CURSOR, CARET}) set(w, slot, 0);
}

Record* create(Class c, Record* parent) {
  if (!g_kind) {
    g_kind = resources::register_type("window", nullptr);
    gc::add_mark_callback(mark_handles);
  }
  u32 id = g_next_id++;
  if (!g_next_id) g_next_id = 1;
  auto w = std::make_unique<Record>();
  w->cls = c;
  w->id = id;
  w->parent = parent;
  w->native = nullptr;
  w->handle_slot = resources::add(reinterpret_cast<void*>(std::uintptr_t(id)), g_kind);
  Record* r = w.get();
  g_records.emplace(id, std::move(w));
  return r;
}

void destroy(Record* w) {
  if (!w) return;
  free_face(*w);
  for (auto& [id, other] : g_records)
    if (other->parent == w) other->parent = nullptr;
  g_records.erase(w->id);
}

Record* find(u32 id) {
  auto it = g_records.find(id);
  return it == g_records.end() ? nullptr : it->second.get();
}

Record* from_handle(const Cell* h) {
  if (type_of(h) != TYPE_HANDLE || !g_kind || handle::slot_of(h) < 0) return nullptr;
  if (resources::type_of_handle(handle::slot_of(h)) != g_kind) return nullptr;
  return find(u32(reinterpret_cast<std::uintptr_t>(handle::pointer_of(h))));
}

Cell* handle(const Record& w, Cell* out) {
  // The record's own slot, not a new one: handles of one window are equal.
  return handle::make_for_slot(out, w.handle_slot, u32(g_kind));
}

Record* root(Record* w) {
  while (w && w->parent) w = w->parent;
  return w;
}

void each(const std::function<void(Record&)>& fn) {
  std::vector<u32> ids;
  for (auto& [id, w] : g_records) ids.push_back(id);
  for (u32 id : ids)
    if (Record* w = find(id)) fn(*w);
}

u32 count() { return u32(g_records.size()); }

Cell* face(const Record& w) {
  i32 slot = get(w, FACE);
  if (slot <= 0 || u32(slot) > resources::slot_capacity()) return nullptr;
  Cell* c = resources::slot_cell(u32(slot));
  return type_of(c) == TYPE_OBJECT ? c : nullptr;
}

void store_face(Record& w, const Cell* face) {
  if (get(w, FACE)) return;
  set(w, FACE, i32(resources::slot_alloc(face)));
}

void free_face(Record& w) {
  i32 slot = get(w, FACE);
  if (slot > 0) resources::slot_free(u32(slot));
  set(w, FACE, 0);
}

i32 keep_pointer(void* p) {
  if (!g_free_pointers.empty()) {
    i32 id = g_free_pointers.back();
    g_free_pointers.pop_back();
    g_pointers[std::size_t(id - 1)] = p;
    return id;
  }
  g_pointers.push_back(p);
  return i32(g_pointers.size());
}

void* pointer(i32 id) {
  return id > 0 && std::size_t(id) <= g_pointers.size() ? g_pointers[std::size_t(id - 1)] : nullptr;
}

void drop_pointer(i32 id) {
  if (id <= 0 || std::size_t(id) > g_pointers.size() || !g_pointers[std::size_t(id - 1)]) return;
  g_pointers[std::size_t(id - 1)] = nullptr;
  g_free_pointers.push_back(id);
}

}  // namespace qel::view::window
