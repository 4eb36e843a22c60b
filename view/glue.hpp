// Widget data glue: how a native control's state and a face's facets map
// onto each other, as pure functions over cells (the widgets' own calls
// live in the backend module). Facets are written in place, without their
// change handlers: the change comes from the control, which needs no
// update back.
#pragma once

#include "runtime/cell.hpp"

namespace qel::view::glue {

// An integer!, float! or percent! as a fraction clamped to 0..1; -1 for any
// other value.
double ratio_of(const Cell* v);

// A float! or percent! `data` times the length; 0 for any other value.
double position_from_data(const Cell* data, double length);

// The state of a check box or radio button.
enum Check { UNCHECKED, CHECKED, INDETERMINATE };
// What the control shows for `data`: none is indeterminate for a tri-state
// check face and unchecked otherwise; a logic! its value; anything else
// checked.
Check check_of_data(const Cell* data, bool tri_state_check);
// The control's state into `data`: none for indeterminate, else a logic!.
void check_to_face(Cell* face, Check state);

// `selected` becomes the integer!.
void selected_index_to_face(Cell* face, i32 index);

// A text control's selection (character offsets, end exclusive) into
// `selected`: none when empty, else the pair! of the 1-based first and last
// characters.
void selection_to_face(Cell* face, i32 start, i32 end);

// The 24-bit colour of a tuple! facet; -1 for anything else.
i32 colour_of_facet(const Cell* face, u32 index);

// A scroll bar's position into the face: `data` the float! (pos - min) /
// (max - min), `selected` the percent! page / (max - min). An empty range
// gives position 0.0 and the whole range as the page (100%).
void scroller_to_face(Cell* face, double pos, double min, double max, double page);

// A slider's position into `data`: pos / length, counted from the bottom
// for a vertical slider; the type stays float! when it was, else percent!.
// A slider without length gives 0.
void slider_to_face(Cell* face, double pos, double length, bool vertical);

// The value after the word `key` in the face's `options` block; null when
// there is none. Valid until the next allocation.
const Cell* option(const Cell* face, const char* key);
// `hint`: the cue text of a field (a string!), or null.
const Cell* hint(const Cell* face);
// `tabs`: the tab stop of an area in dialog units: 16, or 4 x n for `tabs n`.
i32 tab_stop(const Cell* face);
// `accelerated`: whether the face asks for a layered window.
bool accelerated(const Cell* face);

// Whether a colour needs a layered window: a 4-byte tuple! whose fourth
// byte (transparency) is not 0.
bool colour_needs_layer(const Cell* colour);

// The cursor of the `cursor` option when it is a word, as a cursor name:
// `I-beam` "text", `hand` "pointer", `cross` "crosshair", `resize-ns`
// "ns-resize", `resize-ew` and `resize-we` "ew-resize", any other word
// "default"; null when the option is missing or no word (an image! cursor
// is the module's to make).
const char* cursor_name(const Cell* face);

// What a text control does with a typed character: Control+A (1) selects
// all in a multi-line area; Enter and Tab are swallowed by a single-line
// field; everything else goes on to the control.
enum CharAction { PASS_ON, SELECT_ALL, SWALLOW };
CharAction area_char(bool multiline, u32 ch);

// What a change of a scroller! word asks of its scroll bar.
struct ScrollerUpdate {
  bool position = false;  // the position
  bool range = false;     // the page and the range
  bool visibility = false;  // shown or hidden, nothing else
};
ScrollerUpdate scroller_update(u32 word_index);

}  // namespace qel::view::glue
