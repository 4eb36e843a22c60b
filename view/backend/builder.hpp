// The view builder: a face's native window made from its facets
// (make-view), kept in step with it as its facets change (update-view,
// on-change-facet), destroyed with its sub-faces (destroy-view), and
// captured as an image! (face-to-image). Plus the error box of an error
// that nothing catches while windows are up.
//
// Facet changes arrive as the changed-facet mask of the face's `state`
// (bit n-1 for facet n) and are applied in a fixed order: offset, size,
// text, data, enabled?, visible?, selected, flags, draw, color, pane, rate,
// font, para, menu, image, options. The applied bits are cleared first and
// put back when an error stops the update, so that a later update retries
// them.
#pragma once

#include "runtime/cell.hpp"
#include "view/window.hpp"

namespace qel::view::backend::builder {

// The native window of the face inside the parent's (a top-level one for a
// window face); null when the toolkit could not make it. Raises face-type
// for a type it does not know, and the errors of bad facets, leaving no
// window behind.
window::Record* make(const Cell* face, window::Record* parent);

// Routine bodies: make-view, update-view, on-change-facet, destroy-view.
void make_view();
void update_view();
void on_change_facet();
void destroy_view();

// face-to-image: pushes the face's window as an image!, or none.
Cell* face_to_image(const Cell* face);

}  // namespace qel::view::backend::builder
