// Where the widgets with items plug into the view builder and the input:
// menus, tab panels, lists, combos, button images, calendars and the
// camera. The view builder creates their widgets (widgets.hpp: a
// GtkTreeView over a one-column GtkListStore in a scrolled window for
// text-list, GtkComboBoxText for drop-down and drop-list, a GtkNotebook
// under the tab panel's children, GtkCalendar, a self-drawn box for
// camera, and a vertical box above the window's client area for its menu
// bar); the functions below fill and follow them. Until they are built they
// do nothing and answer "none".
#pragma once

#include "runtime/cell.hpp"
#include "view/messages.hpp"
#include "view/window.hpp"

namespace qel::view::backend::widget_items {

// ---- creation (make-view, after the widget is attached) -------------------------------
// The items of text-list, drop-down, drop-list from `data`; the pages of a
// tab-panel; a calendar's date and colours; a camera's device; a button's
// or toggle's image; a window's menu bar from its `menu` block.
void fill(window::Record& w);

// ---- facet changes (change-facets) ---------------------------------------------------
// `data` of text-list, drop-down, drop-list, tab-panel, calendar.
void data_changed(window::Record& w);
// `selected` of text-list, drop-down, drop-list, tab-panel, camera.
void selected_changed(window::Record& w);
// `image` of button, toggle, camera.
void image_changed(window::Record& w);
// `menu` of a window: the menu bar built again, or removed.
void menu_changed(window::Record& w);
// `size` of a tab-panel (its pages), camera (its video).
void size_changed(window::Record& w);
// A change inside the `data` series of a list, combo or tab panel
// (OS-update-facet); false when it is not handled here (the whole face is
// updated instead).
bool series_changed(window::Record& w, const Cell* action, i32 index, i32 part);

// ---- input ---------------------------------------------------------------------------
// The selected item of a list or combo, 0-based; -1 for none.
i32 selection(const window::Record& w);
// A drop-down's item text into its face's `text` (a select event).
void selected_text_to_face(window::Record& w, i32 index);
// A right press: shows the face's context menu (from its `menu` facet)
// at the message's position; true when a menu is shown.
bool show_context_menu(window::Record& w, const messages::Message& m);
// Forgets the recorded context-menu choice (a left press, a new right press).
void forget_context_menu();

// ---- teardown --------------------------------------------------------------------------
// A camera stops capturing; a list's data goes.
void release(window::Record& w);

}  // namespace qel::view::backend::widget_items
