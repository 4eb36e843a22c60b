// The native side of window records (view/window.hpp): the GTK widgets of
// each record (its root widget, the container of its children, the control
// that holds its state), the road back from a widget to its record, the
// client area's origin on the screen, the cursor option, the DPI around
// work on a window, and each class's window procedure.
//
// The record goes when its widget is destroyed. What the upper floors keep
// for a window (a draw target, a timer, an input method, a camera) they
// release in a callback they register here.
#pragma once

#include "runtime/cell.hpp"
#include "view/messages.hpp"
#include "view/window.hpp"

typedef struct _GtkWidget GtkWidget;

namespace qel::view::backend::windows {

// The record's widget, the container its children are placed in (null for
// a control that holds no faces), and the control: the widget that holds
// the face's state and sends its signals (the root widget itself, or a
// widget inside it: a label in an event box, a text view in a scrolled
// window).
GtkWidget* widget(const window::Record& w);
GtkWidget* client(const window::Record& w);
GtkWidget* control(const window::Record& w);
// Links the widgets and the record: the record names its widget, and the
// widget names the record (for the road from a toolkit event to its face
// window); the record goes when the widget is destroyed.
void attach(window::Record& w, GtkWidget* widget, GtkWidget* client, GtkWidget* control);
// The record of the face window a widget belongs to: the widget's, or that
// of the nearest ancestor that has one; null for none.
window::Record* record_of_widget(GtkWidget* g);

// What an upper floor keeps for a window, released when its widget is
// destroyed (registered once; called in the order registered).
using Release = void (*)(window::Record& w);
void on_release(Release release);

// The top-left corner of the window's client area, in root coordinates
// (pixels): the pointer's position in the window is the root position
// less it.
void client_origin(const window::Record& w, int* x, int* y);
// Forgets the top-level windows' positions that client_origin keeps: a
// window was configured, mapped or moved.
void forget_origins();

// The `cursor` option of the face: a named cursor for a word (an image! as
// a cursor of its pixels), kept in window memory and set on the widget.
void apply_cursor(window::Record& w, const Cell* face);
// The cursors the option made go (a face freed, its widget destroyed).
void release_cursors(window::Record& w);

// The face's widget takes the keyboard focus (a base too, which is no stop
// of the toolkit's focus chain otherwise).
void take_focus(window::Record& w);
// The face named by a window face's `selected` takes the keyboard focus.
void focus_selected(window::Record& w);

// The DPI around work on a window: enter adopts the window's (when given)
// and answers the DPI before; leave puts it back, or, when the outermost
// work ends, takes the DPI of the active window.
i32 enter_dpi(window::Record* w);
void leave_dpi(i32 previous);
// Before a window is made at offset with the size (logical units): the DPI
// of the monitor it will lie on, or, when that moves it to another scale,
// of the monitor under the pointer.
void fix_placement(double x, double y, double width, double height);

// The window procedure of each class: answers -1 to let the control's own
// handling go on, else the message's answer. A class without one of its
// own answers -1 to everything.
using Procedure = i64 (*)(window::Record& w, const messages::Message& m);
void set_procedure(window::Class c, Procedure p);
i64 procedure(window::Record& w, const messages::Message& m);

}  // namespace qel::view::backend::windows
