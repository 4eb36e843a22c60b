// The native side of window records (view/window.hpp): the GTK widget of
// each record, showing, redrawing and freeing face windows, a window's
// pixels, and the window procedures with the road messages take to them.
#pragma once

#include "runtime/cell.hpp"
#include "view/messages.hpp"
#include "view/window.hpp"

typedef struct _GtkWidget GtkWidget;

namespace qel::view::backend::windows {

// The record's widget, and the container its children are placed in (null
// for a control that holds no faces).
GtkWidget* widget(const window::Record& w);
GtkWidget* client(const window::Record& w);
// Links the widget and the record: the record names it, and it names the
// record (for the road from a toolkit event to its face window); the record
// goes when the widget is destroyed. client: the container of its children.
void attach(window::Record& w, GtkWidget* widget, GtkWidget* client);
// The record of the face window a widget belongs to: the widget's, or that
// of the nearest ancestor that has one; null for none.
window::Record* record_of_widget(GtkWidget* g);
// The top-left corner of the window's client area, in root coordinates
// (pixels): the pointer's position in the window is the root position
// less it.
void client_origin(const window::Record& w, int* x, int* y);
// Forgets the top-level windows' positions that client_origin keeps: a
// window was configured, mapped or moved.
void forget_origins();

void show(window::Record& w);     // OS-show-window
void redraw(window::Record& w);   // OS-redraw: invalidated whole, painted at the next frame
void refresh(window::Record& w);  // OS-refresh-window: what is pending is painted now
// What `show` and `refresh` paint: the self-drawn faces of the window's
// tree that wait for it, painted into their surfaces now (the toolkit
// copies them to the screen at its next frame).
void paint_pending(window::Record& w);

// Destroys the native side of the face tree: sub-faces first, the face's
// window memory and its slot, `state` none; the top face's window closes.
void free_faces(const Cell* face, bool top);

// The `cursor` option of the face: a named cursor for a word (an image! as
// a cursor of its pixels), kept in window memory and set on the widget.
void apply_cursor(window::Record& w, const Cell* face);

// get-text-alt: the text of the face's control (index -1), or of the list
// item `index`, into the face's `text` (the string refilled in place, or a
// new one), owned by the face. Nothing for a face without a window or a
// control without text.
void get_text_alt(const Cell* face, i32 index);

// The DPI around work on a window: enter adopts the window's (when given)
// and answers the DPI before; leave puts it back, or, when the outermost
// work ends, takes the DPI of the active window.
i32 enter_dpi(window::Record* w);
void leave_dpi(i32 previous);
// Before a window is made at offset with the size (logical units): the DPI
// of the monitor it will lie on, or, when that moves it to another scale,
// of the monitor under the pointer.
void fix_placement(double x, double y, double width, double height);

// Pushes the window's pixels as an image! (none when it has no size yet).
Cell* snapshot(window::Record& w);

// The window procedure of each class: answers -1 to let the control's own
// handling go on, else the message's answer.
using Procedure = i64 (*)(window::Record& w, const messages::Message& m);
void set_procedure(window::Class c, Procedure p);
// The pre-processing step every message takes first (the message loop's);
// true when it handled the message.
using Preprocess = bool (*)(messages::Message& m);
void set_preprocess(Preprocess p);
// Takes a message down the road: pre-processing, then its window's
// procedure. Answers what the procedure answers (-1 when no window).
i64 dispatch(messages::Message m);
// The window's procedure alone.
i64 procedure(window::Record& w, const messages::Message& m);

// The face named by a window face's `selected` takes the keyboard focus.
void focus_selected(window::Record& w);

// Routine bodies: show-window, refresh-window, redraw, update-text.
void show_window();
void refresh_window();
void redraw_face();
void update_text();

}  // namespace qel::view::backend::windows
