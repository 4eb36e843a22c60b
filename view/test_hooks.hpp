// Test hooks of the GUI backend, for this tests and every later
// one: a fake monitor list in place of the displays GTK reports, answers
// for the font, file and folder dialogs, and (in the module) windows made
// for a face, their pixels as an image!, and messages injected into the
// road the input takes.
//
// Scripts reach them through the routine `_gui-test`:
//   _gui-test 'monitors [0x0 1280x1024 1.0  1280x0 1920x1080 2.0]  ; corners, sizes (pixels), scales
//   _gui-test 'monitors none          ; the displays again
//   _gui-test 'answer [file %a.txt]   ; the next file dialog answers %a.txt (kinds: font file dir,
//                                     ; and box: the next error box closes at once)
//   _gui-test 'answer none            ; no answer waits
//   _gui-test 'window face            ; a window for a window face (its `state` set), its handle
//   _gui-test 'snapshot face          ; the face's window as an image!
//   _gui-test 'screen none            ; the screen as the X server shows it, as an image!
//   _gui-test 'composited none        ; whether a compositing manager runs
//   _gui-test 'inject [face code wparam lparam x y]  ; the window procedure's answer
//   _gui-test 'inject [face code wparam lparam x y [shift control]]  ; with these modifiers held
//   _gui-test 'inject [face code wparam lparam x y none extra]  ; with its extra word (a gesture's type)
//   _gui-test 'key [face "Page_Up" [control]]        ; a key pressed and released, as GDK reports it
//   _gui-test 'post-key [face "a" []]                ; the same, put in GDK's queue for the loop
//   _gui-test 'native face           ; [size position state] of the face's widget, as the toolkit has it
//   _gui-test 'click face            ; the face's button clicked
//   _gui-test 'scroll-bar [face true 1]  ; the face's own vertical bar stepped a line (3: a page),
//                                        ; or a scroller face's bar
//   _gui-test 'window-state [face 'minimize]  ; the window reported minimised (maximize, restore)
//   _gui-test 'windows none          ; the number of native windows
//   _gui-test 'dark-mode none         ; whether the dark theme is asked for
//   _gui-test 'signal :fn             ; fn called from a GTK signal handler; its answer
//   _gui-test 'menu face             ; the window's menu bar, or the face's open context menu, as a
//                                    ; block of item texts (a submenu's block after its item); none
//   _gui-test 'menu-pick [face 2 1]  ; the item at those positions (1-based, through submenus) chosen
//   _gui-test 'open-menu none        ; the menu open now (shown, holding the mouse and the keys) as
//                                    ; a block of item texts; none
//   _gui-test 'items face            ; [rows selected] of a text-list, drop-down, drop-list, tab panel
//   _gui-test 'choose [face 2]       ; the row or tab chosen as the user chooses it (0: none)
//   _gui-test 'pick-date [face 2030 5 17]  ; a calendar's day chosen as the user chooses it
//   _gui-test 'shown-date face       ; the day a calendar shows selected (none in another month)
//   _gui-test 'image-size face       ; the size of the image a button shows, or none
//   _gui-test 'dialog none           ; how the last file or folder dialog was set up: [action title
//                                    ; folder name multiple? filters]
#pragma once

#include <vector>

#include "runtime/cell.hpp"

namespace qel::view::test_hooks {

struct FakeMonitor {
  i32 x, y, width, height;  // pixels
  double scale;
};
// The fake monitors, or null when the displays are used.
const std::vector<FakeMonitor>* fake_monitors();

// The commands `monitors` and `answer` (raising invalid-arg for a spec
// they cannot take).
void set_monitors(const Cell* spec);
void add_answers(const Cell* spec);

// Takes the first answer waiting for a dialog of the kind (`font`, `file`,
// `dir`) into out (rooted); false when none waits.
bool take_answer(const char* kind, Cell* out);

// Defines the routine `_gui-test` (boot stage 15).
void define();

}  // namespace qel::view::test_hooks
