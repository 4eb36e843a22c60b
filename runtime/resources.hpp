// External resources and the value slot table.
//
// The registry holds native resources (fonts, images, OS objects) under
// integer handles; a handle! value names one, the collector marks the handles
// that reachable values hold and releases every other resource through the
// release function of its type. The value slot table keeps values reachable
// under 1-based integer handles, so that native code (the GUI) can find a
// value again by number.
#pragma once

#include "runtime/cell.hpp"

namespace qel::resources {

using ReleaseFn = void (*)(void* resource);

void init_registry();    // registry/init: 20 types, 1000 slots
void init_slot_table();  // slot-table/init: 100 free cells

int register_type(const char* name, ReleaseFn release);  // 1-based type number
int add(void* resource, int type);                        // answers the handle
void release(u32 type_word, void* resource);
void replace(int handle, void* resource);
void free(int handle, bool release_it);
bool mark(int handle, void* new_resource);  // true when newly marked
void foreach(int type, void (*callback)(void* resource));
void sweep();
void* get(int handle);
int type_of_handle(int handle);
const char* type_name(int type);  // the registered name, nullptr for an unknown type
u32 capacity();
u32 live_count();

// Value slot table.
u32 slot_alloc(const Cell* value);  // 1-based handle
Cell* slot_cell(u32 handle);
void slot_free(u32 handle);         // 0, out of range or already free: ignored
u32 slot_capacity();
void mark_slot_table();

}  // namespace qel::resources
