#include "datatypes/handle.hpp"

#include <cstdio>

#include "datatypes/string.hpp"
#include "runtime/actions.hpp"
#include "runtime/memory.hpp"
#include "runtime/resources.hpp"
#include "runtime/stack.hpp"

namespace qel::handle {

namespace {

i32 h_form(Cell* h, Cell* buffer, Cell*, i32 budget) {
  char text[16];
  std::snprintf(text, sizeof text, "%08Xh", number_of(h));
  return string::write_ascii(buffer, text, budget);
}

i32 h_mold(Cell* h, Cell* buffer, bool, bool all, bool, Cell* part, i32 budget, i32) {
  if (!all) return string::write_ascii(buffer, "handle!", budget);
  budget = string::write_ascii(buffer, "#[handle! ", budget);
  budget = h_form(h, buffer, part, budget);
  if (const char* name = kind_of(h) > 0 ? resources::type_name(i32(kind_of(h))) : nullptr) {
    budget = string::write_ascii(buffer, " ", budget);
    budget = string::write_ascii(buffer, name, budget);
  }
  return string::write_ascii(buffer, "]", budget);
}

// Another datatype cannot be compared with a handle.
i32 h_compare(Cell* a, Cell* b, i32) {
  if (type_of(b) != TYPE_HANDLE) return COMPARE_INCOMPARABLE;
  i32 x = i32(number_of(a)), y = i32(number_of(b));
  return x < y ? -1 : x > y ? 1 : 0;
}

}  // namespace

Cell* make_at(Cell* cell, void* pointer, u32 kind) {
  i32 slot = pointer ? resources::add(pointer, i32(kind)) : -1;
  return make_slot_cell(cell, slot, kind);
}

Cell* make_for_slot(Cell* cell, i32 slot, u32 kind) {
  return make_slot_cell(cell, slot, kind);
}

Cell* box(void* pointer, u32 kind) { return make_at(stack::base, pointer, kind); }
Cell* push(void* pointer, u32 kind) { return make_at(stack::push(), pointer, kind); }
Cell* push_null() { return make_at(stack::push(), nullptr, 0); }

Cell* make_in(u32 block, void* pointer, u32 kind) {
  Cell h;
  make_at(&h, pointer, kind);
  Cell* c = mem::alloc_tail_cell(block);
  *c = h;
  return c;
}

void* pointer_of(const Cell* h) { return slot_of(h) >= 0 ? resources::get(slot_of(h)) : nullptr; }

void free(Cell* h, bool release) {
  if (slot_of(h) >= 0) resources::free(slot_of(h), release);
}

void init() {
  ActionTable t = no_actions();
  t.form = h_form;
  t.mold = h_mold;
  t.compare = h_compare;
  types::register_datatype({TYPE_HANDLE, TYPE_INTEGER, "handle!", t});
}

}  // namespace qel::handle
