// The event dispatcher's routines: what `system/view/awake` can tell in C++
// without running any Qel code, so that an event that only passes through
// the standard event functions and faces without actors costs no calls.
//
// _quiet-handlers answers true when every global event function would let
// the event go on unchanged (each is one of the standard functions, for a
// face and an event type it leaves alone), so that none needs to run.
// _climb answers the face the event bubbles to from a face: the nearest
// parent whose actors facet is an object, skipping the parents without
// actors (whose level of the dispatch only passes the answer of the level
// above on); none when no such parent is left. Both look only, and both
// stand aside under the evaluator's reference switch (answering false and
// the face's own parent), so that the differential passes run the Qel code
// whole.
#pragma once

namespace qel::view::dispatch {

// Puts the routines into `system/view/awake` once it exists, and takes note
// of the standard event functions once `system/view/handlers` holds them
// (start-up calls it after each library source from the view's on).
void wire();

}  // namespace qel::view::dispatch
