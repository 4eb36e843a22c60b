// The one door between the core (the qel executable) and the GUI backend
// module (qel-backend.so, built from view/backend/).
//
// GTK, GDK, cairo, pango and pangocairo live only in the module: loading them
// costs an empty script several times its start-up, so the core opens the
// module with dlopen at first use (a window, a drawing, a text measurement,
// the clipboard; view/module.hpp) and reaches it only through the table
// below. The table speaks the native API's types only (cells, runtime/api.hpp):
// no GTK type crosses it.
//
// How the module calls into the core: directly. The executables export
// their symbols (CMake ENABLE_EXPORTS, the core linked whole), and the
// module is compiled against the core's headers, so its code uses cells,
// datatypes, `fire` and `api::invoke` as core code does. Two rules hold at
// its edges:
//   - Nothing thrown crosses a C library's frame. A GTK signal handler, a
//     cairo or pango callback enters Qel only inside view/backend/guard.hpp's
//     `guarded`, which catches errors and transfers and turns them into a
//     return value there.
//   - The rooting rule of runtime/api.hpp holds inside the module too.
//
// How a routine's body is added: the routines of system/view/platform are
// routine! values made by the core (view/platform_routines.cpp), which
// checks their arguments against their specs (and the checks the core
// does before the body) and then calls `routines[slot]` of this table. A
// body reads its arguments with api::arg(i) in spec order and leaves its
// result in api::result() (none when it writes nothing); it may raise. To
// add one, write the body in its own file of the module (the DRAW engine's
// `draw-image`, slot 20, under view/backend/draw/; the text routines
// `size-text`, `text-box-metrics`, `update-font`, `update-para` and
// `request-font` in theirs) and set it in view/backend/module.cpp. A slot
// left null raises a script error naming the routine.
#pragma once

#include "runtime/cell.hpp"

namespace qel::view::backend {

// Bumped whenever the table's layout changes: a stale module beside the
// executable is refused instead of called wrongly.
inline constexpr u32 ABI_VERSION = 7;

// The build identity: a text the build writes into both sides each time it
// is configured (QEL_BUILD_IDENTITY, given by tools/core.cmake to
// view/module.cpp and view/backend/module.cpp), so that a module from
// another build (another checkout, another configuration, an older tree) is
// refused even when its table has the same layout: the core and the module
// call each other's functions and share their globals, which only the same
// build keeps in step.

// The words of system/view/platform, 1-based in its slot order; 28 of them
// are the backend's routines.
#define QEL_VIEW_PLATFORM_WORDS(X)                                                          \
  X(1, MOUSE_EVENT_Q, "mouse-event?") X(2, MAKE_NULL_HANDLE, "make-null-handle")             \
  X(3, FETCH_ALL_SCREENS, "fetch-all-screens") X(4, GET_CURRENT_SCREEN, "get-current-screen") \
  X(5, ALL_WINDOWS_CLOSED_Q, "all-windows-closed?") X(6, REFRESH_SCREENS, "refresh-screens")  \
  X(7, GET_SCREEN_SIZE, "get-screen-size") X(8, SIZE_TEXT, "size-text")                       \
  X(9, ON_CHANGE_FACET, "on-change-facet") X(10, UPDATE_TEXT, "update-text")                  \
  X(11, UPDATE_FONT, "update-font") X(12, UPDATE_PARA, "update-para")                         \
  X(13, DESTROY_VIEW, "destroy-view") X(14, DETACH_IMAGE, "detach-image")                     \
  X(15, UPDATE_VIEW, "update-view") X(16, REFRESH_WINDOW, "refresh-window")                   \
  X(17, REDRAW, "redraw") X(18, SHOW_WINDOW, "show-window") X(19, MAKE_VIEW, "make-view")     \
  X(20, DRAW_IMAGE, "draw-image") X(21, DRAW_FACE, "draw-face")                               \
  X(22, DO_EVENT_LOOP, "do-event-loop") X(23, EXIT_EVENT_LOOP, "exit-event-loop")             \
  X(24, REQUEST_FONT, "request-font") X(25, REQUEST_FILE, "request-file")                     \
  X(26, REQUEST_DIR, "request-dir") X(27, TEXT_BOX_METRICS, "text-box-metrics")               \
  X(28, UPDATE_SCROLLER, "update-scroller") X(29, SET_DARK_MODE, "set-dark-mode")             \
  X(30, SUPPORT_DARK_MODE_Q, "support-dark-mode?") X(31, TOGGLE_GPU, "toggle-GPU")            \
  X(32, INIT, "init") X(33, VERSION, "version") X(34, BUILD, "build") X(35, PRODUCT, "product")

enum Slot : u32 {
#define QEL_X(n, c, w) SLOT_##c = n,
  QEL_VIEW_PLATFORM_WORDS(QEL_X)
#undef QEL_X
  SLOT_COUNT = 35
};

// A routine's body (see above).
using Body = void (*)();

struct Entries {
  u32 abi;   // ABI_VERSION of the module
  u32 size;  // sizeof(Entries) of the module

  // Routine bodies by slot of system/view/platform; null: not built yet.
  Body routines[SLOT_COUNT + 1];

  // ---- set-up (view/backend/setup.cpp) ----
  // gui-os-init: DPI, default font, metrics, monitors; starts GTK when a
  // display can be opened. Run by the platform object's `init`.
  void (*gui_init)();

  // ---- test hooks (view/test_hooks.hpp): the body of `_gui-test` for the
  // commands the module answers (window, snapshot, inject, dark-mode) ----
  Body test_hook;

  // ---- the clipboard (view/clipboard.hpp checks the values first) ----
  // Pushes what the clipboard holds (view/clipboard.hpp's read).
  Cell* (*clipboard_read)();
  // Writes none, a string!, a block of file! or string! paths, or an image!.
  bool (*clipboard_write)(const Cell* value);

  // ---- the message loop and input (view/backend/loop.hpp, input.hpp) ----
  // Handles the GUI events that are pending, without blocking (`wait`).
  void (*pump)();
  // OS-send-event, the body of send-event-os: the made event into the
  // input road as the message it stands for; false when it cannot be.
  bool (*send_event)(const Cell* event, bool queued);
  // face-to-image (`to image!` of a face): pushes the face's window as an
  // image!, or none when it has none.
  Cell* (*face_to_image)(const Cell* face);

  // ---- the console (console/print_hooks.hpp, console/gui_console.hpp) ----
  // The caret's blink time in milliseconds, -1 when it does not blink (or
  // there is no display).
  int (*caret_blink_time)();
  // Whether a display opens (GTK started on the first call).
  bool (*display_open)();
  // While the console's long work runs outside every event loop: handles
  // the GUI events of the window (a window face) that are pending, key
  // input and the events of other windows held back for the next loop;
  // answers whether Ctrl+C or Escape was pressed meanwhile. Does nothing
  // inside an event loop or a dispatch.
  bool (*pump_work)(const Cell* window);
  // A rectangle of a self-drawn face (offset and size in logical units,
  // from its top-left) painted again at its window's next frame, the rest
  // of it kept; false (nothing done) for a face without a window.
  bool (*redraw_area)(const Cell* face, const Cell* offset, const Cell* size);
  // While the face's drawing runs for a part of it only: pushes that part
  // as a block [offset size] (logical units); none when the whole face is
  // painted.
  Cell* (*painting_area)(const Cell* face);
};

}  // namespace qel::view::backend

// The module's one exported symbol: its table, or null when the module was
// built for another layout (abi, size) or by another build (build: the
// caller's build identity).
extern "C" const qel::view::backend::Entries* qel_backend_entries(qel::u32 abi, qel::u32 size,
                                                                  const char* build);
