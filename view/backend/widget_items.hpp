// Where the widgets with items plug into the view builder and the input:
// menus, tab panels, lists, combos, button images, calendars and the
// camera. The view builder creates their widgets (widgets.hpp: a
// GtkTreeView over a one-column GtkListStore in a scrolled window for
// text-list, GtkComboBoxText for drop-down and drop-list, a GtkNotebook
// under the tab panel's children, GtkCalendar, a self-drawn box for
// camera, and a vertical box above the window's client area for its menu
// bar); the functions below fill and follow them, each handing the work to
// the module of its widget (menus, lists, tabs, calendar, button_images,
// camera).
#pragma once

#include "runtime/cell.hpp"
#include "view/messages.hpp"
#include "view/window.hpp"

namespace qel::view::backend::widget_items {

// ---- creation (make-view) ------------------------------------------------------------------
// A panel or group-box about to be made in a tab panel: fitted to its page
// area (offset, size), shown only when its tab is selected.
void fit_to_tab_page(window::Record& tab_panel, const Cell* face);
// After the widget is attached:
// A window's menu bar from its `menu` block; the items of text-list,
// drop-down, drop-list from `data`; the pages of a tab-panel; a calendar's
// date; a camera's device; a button's or toggle's image.
void fill(window::Record& w);
// After the control's own signals (widgets::connect): the signals of the
// items' widgets (a list's or combo's selection).
void connect(window::Record& w);

// ---- facet changes (change-facets) ---------------------------------------------------
// `data` of text-list, drop-down, drop-list, tab-panel, calendar.
void data_changed(window::Record& w);
// `selected` of text-list, drop-down, drop-list, tab-panel, camera.
void selected_changed(window::Record& w);
// `image` of button, toggle, camera.
void image_changed(window::Record& w);
// `menu` of a window: the menu bar built again, or removed.
void menu_changed(window::Record& w);
// `size` or `offset` of a tab-panel (its pages), `size` of a camera (its
// video).
void size_changed(window::Record& w);
// A change inside the `data` series of a list, combo or tab panel
// (OS-update-facet): the framework's action word, the changed series (the
// data block, or a string item of it), the first affected position from
// the series' head and the count. False when it is not handled here (the
// whole face is updated instead).
bool series_changed(window::Record& w, const Cell* action, const Cell* target, i32 index, i32 part);

// ---- input ---------------------------------------------------------------------------
// A right press: shows the face's context menu (from its `menu` facet)
// at the message's position; true when a menu is shown.
bool show_context_menu(window::Record& w, const messages::Message& m);
// Forgets the recorded context-menu choice (a left press, a new right press).
void forget_context_menu();

// `to image!` of a camera face: its next frame pushed as an image!, or none
// (no device open, or no frame within 3 seconds).
Cell* camera_frame(window::Record& w);

// ---- teardown --------------------------------------------------------------------------
// The face goes (freed, its widget destroyed): a camera stops capturing, a
// context menu it opened closes.
void release(window::Record& w);

// The commands of `_gui-test` these widgets answer (widget_tests.cpp);
// false for a command that is not theirs.
bool test_command(const Cell* command, const Cell* value);

}  // namespace qel::view::backend::widget_items
