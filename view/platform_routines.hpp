// The platform routines: the 28 routine! values of system/view/platform
// through which the GUI framework reaches the backend, and the event
// routines `event?`, `send-event-os` and `find-flag?`.
//
// Each routine checks its arguments against its spec (before the body
// runs), makes the checks the core can make without the backend, and then
// calls its body in the backend module (view/backend/entry.hpp tells how a
// body is added). Without the module, or while a body is not built, the
// routine raises script view-unavailable naming itself.
#pragma once

#include "runtime/cell.hpp"

namespace qel::view::routines {

// Boot stage 14: registers event! and sets the global words `event?`,
// `send-event-os` and `find-flag?`.
void define_event_routines();

// Boot stage 15: when system/view/platform is an object whose routine
// words are not filled yet, sets each of the 28 to its routine and wires
// the backend's set-up into its `init`. Answers whether it found the object.
// Each call also wires the dispatcher's routines as soon as the sources
// have made what they go into (view/dispatch.hpp).
bool fill_platform();

// What `wait` runs while it sleeps (natives::gui_do_events, set by the
// backend's start-up and by a clipboard write): the GUI events that are
// pending.
void pump_gui(bool no_wait);

// `find-flag?`: whether the facet (a word, or a block of words) holds the
// flag word.
bool find_flag(const Cell* facet, const Cell* flag);

}  // namespace qel::view::routines
