// The words the text engine reads: fields of fonts, paras and faces, and
// the values those fields hold. Fields are found by name (canonical
// symbol), so any object with the right words serves, and a missing word
// reads as none.
#pragma once

#include "runtime/cell.hpp"

namespace qel::view::backend::text {

#define QEL_TEXT_NAMES(X)                                                                      \
  X(NAME, "name") X(SIZE, "size") X(STYLE, "style") X(ANGLE, "angle") X(COLOR, "color")        \
  X(ANTI_ALIAS_Q, "anti-alias?") X(STATE, "state") X(PARENT, "parent") X(ALIGN, "align")       \
  X(V_ALIGN, "v-align") X(WRAP_Q, "wrap?") X(TABS, "tabs") X(LINE_SPACING, "line-spacing")     \
  X(HANDLES, "handles") X(BOLD, "bold") X(ITALIC, "italic") X(UNDERLINE, "underline")          \
  X(STRIKE, "strike") X(LEFT, "left") X(CENTER, "center") X(RIGHT, "right") X(TOP, "top")      \
  X(MIDDLE, "middle") X(BOTTOM, "bottom") X(CLEARTYPE, "ClearType") X(BASE, "base")            \
  X(RICH_TEXT, "rich-text") X(BUTTON, "button") X(TOGGLE, "toggle") X(CHECK, "check")          \
  X(RADIO, "radio") X(FIELD, "field") X(AREA, "area") X(TEXT, "text") X(WINDOW, "window")      \
  X(PANEL, "panel") X(FIXED, "fixed")

enum Name : u8 {
  N_NONE_ = 0,
#define QEL_X(id, name) N_##id,
  QEL_TEXT_NAMES(QEL_X)
#undef QEL_X
  N_COUNT_
};

// Interns the names (once; it allocates, so call it before taking pointers
// into series).
void init_names();
// The canonical symbol of a name.
u32 symbol_of(Name n);
// Whether the cell is a word (of any word type) spelling the name.
bool is_name(const Cell* c, Name n);
// The name the face's `type` word spells; N_NONE_ for another word.
Name face_type(const Cell* face);

// Registers a resource kind of the text engine: its resources still alive
// when the process ends are released then (while the resource table and
// the code of their release functions are still there), so that nothing
// of them outlives the runtime. Answers the kind.
int text_resource_kind(const char* name, void (*release)(void*));

// The value of an object's field by name; nullptr when the value is no
// object or has no such word. Valid until the next allocation.
Cell* field(const Cell* obj, Name n);

}  // namespace qel::view::backend::text
