// GDK events into messages (input.hpp): the key table, the pointer's
// position in the face window it is over, and the road of each event
// through pre-processing, the window procedures and GTK.
#pragma once

typedef union _GdkEvent GdkEvent;

namespace qel::view::backend::translate {

// A GDK event from the toolkit's queue: translated, pre-processed, handed to
// the window procedures and, unless consumed, to GTK (the message loop's
// handler hands it on once the loop has not kept it back).
void on_gdk_event(GdkEvent* e);
// Whether the event is input that the toolkit's own grab takes: an open
// menu (a context menu, a menu bar's) or a widget outside every face
// window holds the mouse and the keys, as a menu loop does; such input goes
// to GTK alone.
bool toolkit_takes(GdkEvent* e);

}  // namespace qel::view::backend::translate
