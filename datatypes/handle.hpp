// handle!: a native handle or pointer handed to scripts (fonts, images, OS
// objects). A cell word cannot hold a pointer on a 64-bit system, so the
// pointer lives in the external-resource table (runtime/resources.hpp) and
// the cell names its slot; the table is the one place native handles live.
//
// Cell: word 1 the kind (0 plain, else a resource type of the table), word 2
// the handle's number (slot + 1; 0 for the null handle), word 3 the slot, or
// -1 for the null handle. The collector marks the slot of every reachable
// handle; an unreachable one is released through its kind's release function
// and its slot reused. Freeing a handle clears its slot at once.
#pragma once

#include "runtime/cell.hpp"

namespace qel::handle {

void init();  // registers handle!

inline u32 kind_of(const Cell* h) { QEL_CHECK_TYPE(h, TYPE_HANDLE); return h->w1; }
// A handle of the kind over a resource slot (-1: none).
inline Cell* make_slot_cell(Cell* h, i32 slot, u32 kind) {
  h->header = TYPE_HANDLE;
  h->w1 = kind;
  h->w2 = u32(slot + 1);
  h->w3 = u32(slot);
  return h;
}
inline u32 number_of(const Cell* h) { QEL_CHECK_TYPE(h, TYPE_HANDLE); return h->w2; }
inline i32 slot_of(const Cell* h) { QEL_CHECK_TYPE(h, TYPE_HANDLE); return i32(h->w3); }

// The cell becomes a handle! of the pointer, registered under the kind (a
// null pointer makes the null handle, which takes no slot).
Cell* make_at(Cell* cell, void* pointer, u32 kind);
Cell* box(void* pointer, u32 kind);   // into the current frame's result cell
Cell* push(void* pointer, u32 kind);  // on the arguments stack
Cell* push_null();
Cell* make_in(u32 block, void* pointer, u32 kind);  // appended to the block
// The cell becomes a handle! of a slot already in the table (another value
// of the same handle: it compares equal to the first).
Cell* make_for_slot(Cell* cell, i32 slot, u32 kind);

// The pointer a handle stands for; nullptr for the null handle or a freed slot.
void* pointer_of(const Cell* h);
// Takes the handle's pointer out of the table (releasing it through its kind
// when release is set); the slot is free for the next handle.
void free(Cell* h, bool release);

}  // namespace qel::handle
