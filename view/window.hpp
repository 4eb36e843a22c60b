// Window records: our own stand-in for a native window's class and window
// memory, behind the shim. Every native view of a face (a GTK widget made
// by the backend module) has one record; the record, not the widget, is
// what handles, messages and the window procedures name.
//
// Window memory is 80 bytes as twenty 32-bit slots at fixed byte offsets
// (Slot). Slots that would hold a native pointer hold the id of a pointer
// kept in the pointer table below (keep_pointer), since a 32-bit slot
// cannot hold a pointer here.
//
// A window finds its face only through slot FACE: a handle of the runtime's
// value slot table, which keeps the face alive and finds it wherever the
// collector moves it. A record whose FACE slot is 0, or names a slot that
// no longer holds an object, has no face: nothing else of it is read as a
// face.
//
// A record's handle! value (kind "window") names the record by id, never by
// address: a handle kept after the window is gone finds nothing.
#pragma once

#include <functional>

#include "runtime/cell.hpp"

namespace qel::view::window {

// The sixteen window classes, in the order they are registered.
enum class Class : u8 {
  WINDOW, PANEL, BASE, BASE_INTERNAL, CAMERA, BUTTON, LIST_BOX, PROGRESS, SLIDER, SCROLLER,
  TABPANEL, COMBO, FACE, CALENDAR, AREA, FIELD, COUNT
};
inline constexpr u32 CLASS_COUNT = u32(Class::COUNT);

struct ClassInfo {
  const char* name;     // "QelWindow", ...
  const char* base;     // the control it is made from ("" for the program's own classes)
  bool own;             // made by the program, not from a system control
};
const ClassInfo& info(Class c);

// Window memory slots, by byte offset.
enum Slot : i32 {
  SHOW = 12,          // show flag
  CURSOR_IMAGE = 16,  // a cursor made from an image (pointer id)
  DRAW_CONTEXT = 20,  // the draw context while a drawing event runs (pointer id)
  DRAW_TARGET = 24,   // the window's draw target record (pointer id)
  COUNTER = 28,       // base faces: a press counter
  CURSOR = 32,        // the cursor to show (pointer id) with CURSOR_MARK
  SIZING = 36,        // windows: the last sizing step (31 moving, 32 resizing)
  CARET = 36,         // text faces: the caret window (window id)
  LAYERED = 40,       // a base face's layered child or region (pointer id)
  FRAME = 44,         // windows: frame offset, dx high 16 bits, dy low 16 bits
  HOST = 44,          // base faces: the host window (window id)
  KIND = 48,          // kind bits (KIND_RICH_TEXT, KIND_IME, KIND_PAIRS)
  LAST_POS = 52,      // windows: last frame-corrected position, x low, y high 16 bits
  SECOND = 56,        // a second handle by face type; CLOSE_SILENTLY
  FACE = 60,          // the face's handle in the value slot table; 0 for none
  PARA_STYLE = 64,    // the alignment and wrapping bits of the face's para (update-para)
  FLAGS = 76,         // the face's flag bits (view/convert.hpp)
};
inline constexpr i32 MEMORY_BYTES = 80;
inline constexpr i32 KIND_RICH_TEXT = 0x4;      // a rich-text face
inline constexpr i32 KIND_IME = 0x8;            // the face takes an input method's text
inline constexpr i32 KIND_PAIRS = 0x10;         // offset and size are pair!: events report pairs
inline constexpr i32 CLOSE_SILENTLY = -1;       // SECOND: closes without a close event
inline constexpr u32 CURSOR_MARK = 0x80000000;  // CURSOR: set by the cursor option

struct Record {
  Class cls;
  i32 memory[MEMORY_BYTES / 4];
  u32 id;            // what its handle! values name
  i32 handle_slot;   // its slot in the resource table
  Record* parent;    // the record of the parent window, or null
  void* native;      // the backend's widget, or null
};

i32 get(const Record& w, i32 offset);
void set(Record& w, i32 offset, i32 value);

// A new record of the class (window memory all 0); the parent may be null.
Record* create(Class c, Record* parent);
// Removes the record: its id and handle values find nothing from now on.
void destroy(Record* w);
Record* find(u32 id);
// The record a handle! names; null for a handle of another kind, the null
// handle, or a window that is gone.
Record* from_handle(const Cell* h);
// The record's handle! (the same handle every time) into out.
Cell* handle(const Record& w, Cell* out);
// The record itself when it has no parent, else the top of its parents.
Record* root(Record* w);
void each(const std::function<void(Record&)>& fn);
u32 count();

// Clears the second handle, the cursor, cursor image, draw target and caret
// slots (their owners have released what they held).
void reset_memory(Record& w);

// ---- the face of a window ----------------------------------------------------------
// The face's cell in the value slot table, or null when the record has none.
// Valid until the next allocation.
Cell* face(const Record& w);
inline bool has_face(const Record& w) { return face(w) != nullptr; }
// Links the face to the record, unless it has one already.
void store_face(Record& w, const Cell* face);
// Frees the face's slot and clears the link.
void free_face(Record& w);

// ---- pointers held in window memory ---------------------------------------------------
i32 keep_pointer(void* p);  // a positive id
void* pointer(i32 id);      // null for 0 or an id dropped
void drop_pointer(i32 id);

}  // namespace qel::view::window
