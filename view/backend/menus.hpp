// Menus from a face's `menu` block: a window's menu bar (a GtkMenuBar at
// the top of the window, above its client area) and context menus (a
// GtkMenu shown on a right press over the face).
//
// A menu block is read from its index: a string then a block is an item
// opening a submenu built from the block; a string then a word an item
// whose `menu` event picks that word; a string followed by anything else
// (or last) an item that picks none; the word `---` a separator; any other
// value is skipped (a leading `popup` among them). "Copy\tCtrl+C" shows the
// text after the tab as the item's accelerator.
#pragma once

#include "runtime/cell.hpp"
#include "view/messages.hpp"
#include "view/window.hpp"

typedef struct _GtkWidget GtkWidget;

namespace qel::view::backend::menus {

// Whether the block is a window's menu bar: not empty, the face a window
// and its first value not the word `popup`.
bool is_menu_bar(const Cell* menu, const Cell* face);

// The window's menu bar from its face's `menu`: made, made again or
// removed; the window keeps its client size.
void update_bar(window::Record& w);

// A right press on the window: its face's context menu shown at the
// message's position, unless its menu is a menu bar; true when shown.
bool show_context(window::Record& w, const messages::Message& m);
// Closes and forgets the open context menu.
void forget_context();
// The face's record goes: the context menu it opened closes with it.
void release(const window::Record& w);

// For tests: the window's menu bar, or the open context menu when it
// belongs to the window (null when neither).
GtkWidget* menu_of(const window::Record& w);

}  // namespace qel::view::backend::menus
