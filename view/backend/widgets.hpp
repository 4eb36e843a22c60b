// The native widgets of faces, type by type: what the view builder makes
// for a face, and the reading and writing of each widget's state (text,
// check, range position, selection) for the facets and the input.
//
// Every face window has a root widget (placed in its parent's container)
// and a control, the widget that holds its state and sends its signals
// (windows::control). A signal the user causes writes the control's state
// into the face first, then raises the face's event. Signals the backend
// causes itself, by setting a widget, reach nobody: they are blocked while
// a Quiet scope lives.
#pragma once

#include <string>

#include "runtime/cell.hpp"
#include "view/glue.hpp"
#include "view/window.hpp"

typedef struct _GtkWidget GtkWidget;

namespace qel::view::backend::widgets {

// The face types the view builder knows, and their classes.
enum Kind : u8 {
  K_WINDOW, K_PANEL, K_GROUP_BOX, K_TAB_PANEL, K_BASE, K_RICH_TEXT, K_TEXT, K_FIELD, K_AREA, K_BUTTON,
  K_TOGGLE, K_CHECK, K_RADIO, K_SLIDER, K_PROGRESS, K_SCROLLER, K_TEXT_LIST, K_DROP_DOWN, K_DROP_LIST,
  K_CALENDAR, K_CAMERA, KIND_COUNT
};
// The kind of a face by its `type` word; false for a type without one.
bool kind_of(const Cell* face, Kind* out);
window::Class class_of(Kind k);
const char* type_name(Kind k);
Kind kind(const window::Record& w);  // of a record made by the builder

struct Quiet {
  Quiet();
  ~Quiet();
};
bool quiet();

// The widgets of a new face window of the kind, width x height pixels:
// root (to place in the parent), client (the container of sub-faces, or
// null), control. The face's facets are read for what creation needs; the
// signals are connected to the record by id once attached (connect).
struct Made {
  GtkWidget* root;
  GtkWidget* client;
  GtkWidget* control;
};
Made make(Kind k, const Cell* face, int width, int height);
// Connects the control's signals for the window (after attach): clicks,
// edits, focus, sliders and scroll bars. (Lists and combos connect their
// selections themselves: lists.hpp.)
void connect(window::Record& w);
// The radio whose click event is being raised (0 for none).
u32 clicked_radio();

// ---- state ---------------------------------------------------------------------------
// The control's text; false for a control without one.
bool read_text(const window::Record& w, std::string& out);
// The face's `text` as the control's text (a window's title, a button's
// label, ...); anything but a string! sets the empty text.
void write_text(window::Record& w, const Cell* text);
// The control's whole text into its face's `text` (the string refilled in
// place, or a new one, owned by the face); nothing for a face without a
// window or a control without text. sync_text: the same unless the face's
// flags say no-sync (what an edit does before its change event).
void text_to_face(const Cell* face);
void sync_text(window::Record& w);
// Routine body: update-text face.
void update_text();

glue::Check check_state(const window::Record& w);
// A tri-state check's next state after a click: unchecked, checked,
// indeterminate, unchecked again; shown and answered.
glue::Check cycle_check(window::Record& w);
// Whether a radio was checked before the click being handled (and
// remembers the state now).
bool radio_was_checked(window::Record& w);
void write_check(window::Record& w, const Cell* data);

// area: its tab stops from the `tabs` option (in dialog units, a quarter of
// the font's average character width each).
void apply_tabs(window::Record& w);

// field, area: the selection from the face's `selected` pair.
void apply_selection(window::Record& w);
// field, area: the control's selection into the face's `selected`.
void read_selection(window::Record& w);

// slider, progress: the range of the size, then the position of `data`.
void write_range(window::Record& w);
void write_position(window::Record& w, const Cell* data);
// scroller: the page from `selected`, set up once with its range; the
// position from a float! `data`.
void scroller_setup(window::Record& w);
void scroller_page(window::Record& w, const Cell* selected);
void scroller_position(window::Record& w, const Cell* data);

// The face's font (family, size, weight, style, decorations), its font's
// colour and its own `color` on a control's widget (self-drawn faces paint
// theirs).
void apply_look(window::Record& w);
// The face's para as the control's alignment and wrapping (the style bits
// kept in window memory, PARA_STYLE); at creation they are taken from the
// para first.
void apply_para(window::Record& w, bool from_para);

// A face with the `scrollable` flag: its own scroll bars along its right
// and bottom edges (placed again after a new size). Moving one raises a
// `scroll` event on the face; the bar itself moves when the face's
// scroller! says so (update-scroller).
void add_scroll_bars(window::Record& w, int width, int height);
void place_scroll_bars(window::Record& w, int width, int height);
// Routine body: update-scroller scroller flags.
void update_scroller();

// minimize, maximize or restore of a window face's window.
void window_command(window::Record& w, u32 type);

}  // namespace qel::view::backend::widgets
