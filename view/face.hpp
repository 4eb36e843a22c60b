// Faces as the backend sees them: objects read by facet position (the order
// of face!, font!, para! and scroller! is part of the interface), the window
// a face has, and the face a window belongs to.
//
// A face finds its window through the handle first in its `state` facet; a
// window finds its face only through the value slot table (view/window.hpp).
// Nothing here holds state of its own.
#pragma once

#include "runtime/cell.hpp"

namespace qel::view::face {

// face! facets, 0-based (bit n of the changed-facet mask stands for facet n).
enum Facet : u32 {
  TYPE, OFFSET, SIZE, TEXT, IMAGE, COLOR, MENU, DATA, ENABLED_Q, VISIBLE_Q, SELECTED, FLAGS,
  OPTIONS, PARENT, PANE, STATE, RATE, EDGE, PARA, FONT, ACTORS, EXTRA, DRAW, ON_CHANGE,
  ON_DEEP_CHANGE, FACET_COUNT
};

// scroller! words, 0-based.
enum ScrollerWord : u32 {
  SCROLLER_POSITION, SCROLLER_PAGE_SIZE, SCROLLER_MIN_SIZE, SCROLLER_MAX_SIZE,
  SCROLLER_VISIBLE_Q, SCROLLER_VERTICAL_Q, SCROLLER_PARENT
};

// Value cell `index` of an object (facet `index` of a face); nullptr when the
// value is not an object or has no such cell. Valid until the next
// allocation.
Cell* facet(const Cell* object, u32 index);

// The canonical symbol of the face's `type` word; 0 when it is no word.
u32 type_symbol(const Cell* face);
// Whether the face's type is the word `name` (aliases resolved).
bool is_type(const Cell* face, const char* name);

// `face-handle?`: the handle! first in the face's `state` block, or nullptr
// when the value is no object or its `state` holds none (the face has no
// window). Valid until the next allocation.
const Cell* handle_of(const Cell* face);

}  // namespace qel::view::face
