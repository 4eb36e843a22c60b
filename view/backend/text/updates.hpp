// A font or a para changed (the framework's update-font and update-para):
// what was made of it goes, and what uses it follows.
#pragma once

#include "runtime/cell.hpp"

namespace qel::view::backend::text {

// A face's para changed: the native view's style bits of its type are
// cleared and set anew from the para (all of them, so that any alignment
// or wrapping set once can be turned off again), a rich-text face's layout
// goes stale, and the para bit is set in the face's changed-facet mask.
// Nothing but the staleness for a face whose `state` is no block.
void update_para(const Cell* face);

// ---- routine bodies (system/view/platform) ------------------------------------------------

// update-font font flags: a change of the facets a native font is made of
// (name, size, style, angle, anti-alias?) frees its handles and makes them
// again; the rich-text faces of its `parent` lay out again.
void update_font_routine();
void update_para_routine();  // update-para face flags

}  // namespace qel::view::backend::text
