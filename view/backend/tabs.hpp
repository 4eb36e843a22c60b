// Tab panels: a GtkNotebook drawn under the tab panel's container, one tab
// per title of `data`, and the faces of `pane` (one per tab) placed over
// the notebook's page area; only the selected tab's face is shown.
//
// The user's choice of a tab raises `select` (picked: the 1-based index of
// the tab being left) before the change, and a stopped `select` keeps the
// tab; then the new tab's face is shown, `change` is raised (picked: the
// new index) and `selected` becomes that index. What the backend sets
// itself (`data`, `selected`) raises nothing.
#pragma once

#include <string>
#include <vector>

#include "runtime/cell.hpp"
#include "view/window.hpp"

namespace qel::view::backend::tabs {

// The tabs from `data`; `selected` clamped to 1..count (1 when it is no
// integer) and its tab selected.
void fill(window::Record& tab);
// `selected` changed: clamped, its tab selected and its face shown.
void select(window::Record& tab);
// The tab panel moved or resized: every panel and group-box of its pane
// fitted to the page area again.
void relayout(window::Record& tab);
// A panel or group-box about to be made in the tab panel: its `offset` and
// `size` become the page area, `visible?` whether its tab is selected.
void fit(window::Record& tab, const Cell* face);
// Connects the notebook's signals (after fill).
void connect(window::Record& tab);

// The titles shown, and the current tab (1-based; 0 for none) (tests).
void titles(const window::Record& tab, std::vector<std::string>& out);
i32 current(const window::Record& tab);
// A tab chosen as the user chooses it (tests): the notebook's own signal.
void choose(window::Record& tab, i32 index);

}  // namespace qel::view::backend::tabs
