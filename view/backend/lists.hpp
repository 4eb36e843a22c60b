// Lists and combos: the rows of a text-list (a GtkTreeView over a
// one-column GtkListStore) and the items of a drop-down or drop-list (a
// GtkComboBoxText) kept in step with the face's `data` and `selected`.
//
// A list shows the text items of `data` (a block or hash! from its index,
// or a map!'s live keys and values): the string!, file!, url!, tag!,
// email! and ref! values, in order; other values are skipped, so a row's
// index counts only the text items before it. In-place changes of `data`
// are applied row by row: the rows of the values about to go are removed
// before the change, the rows of the new values inserted after it (each new
// item then belongs to the face, so that changes inside it are reported
// too); reorderings fill the list again. Everything the backend sets runs
// with the widget's signals blocked: only the user's own choices notify.
#pragma once

#include <string>
#include <vector>

#include "runtime/cell.hpp"
#include "view/window.hpp"

namespace qel::view::backend::lists {

bool is_text_item(const Cell* v);

// The items from `data`, then the selection (`selected`, or a drop-down's
// `text`). A text-list's `selected` that is not an integer becomes -1.
void fill(window::Record& w);
// `selected` changed: the row it names is selected (none for another value).
void select(window::Record& w);
// The selected row, 0-based; -1 for none.
i32 selection(const window::Record& w);
bool item_text(const window::Record& w, i32 row, std::string& out);
// Connects the selection's signals (after attach): a row the user chooses
// raises `select` and `change`, a drop-down's edit `change`.
void connect(window::Record& w);
// An in-place change of `data` (widget_items.hpp); false: fill again.
bool series_changed(window::Record& w, const Cell* action, const Cell* target, i32 index, i32 part);

// The rows the list shows now, and the selected one (tests).
void rows(const window::Record& w, std::vector<std::string>& out);
// A row chosen as the user chooses it (tests): the widget's own signals run.
void choose(window::Record& w, i32 row);

}  // namespace qel::view::backend::lists
