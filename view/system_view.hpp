// system/view as the backend writes it: the set-up fills `metrics`,
// `fonts` and the platform object's `version`, `build` and `product`.
#pragma once

#include "runtime/cell.hpp"

namespace qel::view::system_view {

// The value cell that a path of field words below system/view names
// ("metrics dpi", "platform version"), or null when a step is missing or
// not an object. Valid until the next allocation.
Cell* field(const char* path);

// Sets the field (nothing when it is missing); the value may lie anywhere.
void set(const char* path, const Cell* value);
// Puts the value under the word key in the map! at the path (nothing when
// the path holds no map).
void put(const char* path, const char* key, const Cell* value);

}  // namespace qel::view::system_view
