#include "view/backend/lists.hpp"

#include <gtk/gtk.h>

#include <algorithm>

#include "datatypes/map.hpp"
#include "datatypes/ownership.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "datatypes/event.hpp"
#include "runtime/api.hpp"
#include "runtime/memory.hpp"
#include "view/backend/guard.hpp"
#include "view/backend/input.hpp"
#include "view/backend/widgets.hpp"
#include "view/backend/windows.hpp"
#include "view/face.hpp"

namespace qel::view::backend::lists {

namespace {

using window::Record;

bool is_list(const Record& w) { return widgets::kind(w) == widgets::K_TEXT_LIST; }
bool is_combo(const Record& w) {
  widgets::Kind k = widgets::kind(w);
  return k == widgets::K_DROP_DOWN || k == widgets::K_DROP_LIST;
}

// The store of the rows: the tree view's model, or the combo's (a
// GtkComboBoxText keeps its texts in column 0 of a GtkListStore).
GtkListStore* store_of(const Record& w) {
  GtkWidget* c = windows::control(w);
  GtkTreeModel* m = nullptr;
  if (c && GTK_IS_TREE_VIEW(c)) m = gtk_tree_view_get_model(GTK_TREE_VIEW(c));
  else if (c && GTK_IS_COMBO_BOX(c)) m = gtk_combo_box_get_model(GTK_COMBO_BOX(c));
  return m && GTK_IS_LIST_STORE(m) ? GTK_LIST_STORE(m) : nullptr;
}

i32 row_count(GtkListStore* s) { return gtk_tree_model_iter_n_children(GTK_TREE_MODEL(s), nullptr); }

// The values a list shows its items from: the cells from `first` to `end`
// of the node, `step` apart (2 for a map!'s pairs, whose removed entries
// have a value cell with a zero header).
struct Source {
  u32 node = 0;
  u32 first = 0;
  bool map = false;
  u32 end() const { return node ? mem::buffer_of(node)->used() / sizeof(Cell) : 0; }
  const Cell* at(u32 i) const { return mem::buffer_of(node)->cells() + i; }
  // Whether cell i is shown (valid until the next allocation).
  bool shows(u32 i) const {
    if (!map) return is_text_item(at(i));
    u32 pair = i - (i - first) % 2;
    return at(pair + 1)->header != 0 && is_text_item(at(i));
  }
};

Source source_of(const Cell* data) {
  Source s;
  if (!data) return s;
  Type t = type_of(data);
  if (is_any_block_type(t)) {
    s.node = series_node(data);
    s.first = u32(std::max(series_index(data), 0));
  } else if (t == TYPE_MAP) {
    s.node = map::block_of(data);
    s.map = true;
  }
  return s;
}

// The number of items shown of the cells [from, to).
i32 count_items(const Source& s, u32 from, u32 to) {
  i32 n = 0;
  to = std::min(to, s.end());
  for (u32 i = std::max(from, s.first); i < to; ++i) n += s.shows(i);
  return n;
}

// The item's text as UTF-8 into out. A string of one-byte units (code
// points below 256) is encoded here, which spares the general conversion
// and its cache on the way of every row.
void text_into(const Cell* item, std::string& out) {
  const mem::Buffer* b = mem::buffer_of(series_node(item));
  if (b->unit() != 1) {
    out = string::to_utf8(item);
    return;
  }
  u32 at = u32(std::max(series_index(item), 0));
  const u8* p = b->head_ptr() + std::min(at, b->used());
  const u8* end = b->head_ptr() + b->used();
  out.clear();
  for (; p < end; ++p) {
    if (*p < 0x80) {
      out.push_back(char(*p));
    } else {
      out.push_back(char(0xC0 | *p >> 6));
      out.push_back(char(0x80 | (*p & 0x3F)));
    }
  }
}

std::string text_of(const Cell* item) {
  std::string t;
  text_into(item, t);
  return t;
}

// ---- the widget -----------------------------------------------------------------------------------

// Selects row (none when negative) of a list or combo widget; a list
// scrolls to the row when asked.
void set_row(GtkWidget* c, i32 row, bool scroll) {
  if (GTK_IS_TREE_VIEW(c)) {
    GtkTreeSelection* sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(c));
    if (row < 0) {
      gtk_tree_selection_unselect_all(sel);
      return;
    }
    GtkTreePath* p = gtk_tree_path_new_from_indices(row, -1);
    gtk_tree_selection_select_path(sel, p);
    if (scroll) gtk_tree_view_scroll_to_cell(GTK_TREE_VIEW(c), p, nullptr, FALSE, 0, 0);
    gtk_tree_path_free(p);
  } else if (GTK_IS_COMBO_BOX(c)) {
    gtk_combo_box_set_active(GTK_COMBO_BOX(c), row < 0 ? -1 : row);
  }
}

void select_row(Record& w, i32 row) {
  GtkWidget* c = windows::control(w);
  GtkListStore* s = store_of(w);
  if (!c || !s) return;
  if (row >= row_count(s)) row = -1;
  widgets::Quiet q;
  set_row(c, row, true);
}

bool iter_at(GtkListStore* s, i32 row, GtkTreeIter* it) {
  return row >= 0 && gtk_tree_model_iter_nth_child(GTK_TREE_MODEL(s), it, nullptr, row);
}

void remove_rows(GtkListStore* s, i32 row, i32 n) {
  GtkTreeIter it;
  if (n <= 0 || !iter_at(s, row, &it)) return;
  while (n-- > 0)
    if (!gtk_list_store_remove(s, &it)) break;
}

void insert_row(GtkListStore* s, i32 row, const std::string& text) {
  gtk_list_store_insert_with_values(s, nullptr, std::clamp(row, 0, row_count(s)), 0, text.c_str(), -1);
}

// The symbols of the framework's action words, by what the list does.
struct Actions {
  u32 clear;
  std::vector<u32> removing;   // reported before values go (or are replaced)
  std::vector<u32> inserted;   // reported after values came
  std::vector<u32> waiting;    // reported before a reordering: nothing to do yet
  std::vector<u32> reordered;  // reported after it: the list is filled again
};

const Actions& actions() {
  static Actions a = [] {
    auto syms = [](std::initializer_list<const char*> names) {
      std::vector<u32> out;
      for (const char* n : names) out.push_back(symbol::resolve(symbol::make(n)));
      return out;
    };
    Actions r;
    r.clear = symbol::resolve(symbol::make("clear"));
    r.removing = syms({"clear", "remove", "take", "change", "poke", "put", "trim"});
    r.inserted = syms({"appended", "inserted", "changed", "poked", "put-ed", "trimmed"});
    r.waiting = syms({"append", "insert", "reverse", "sort", "random", "move", "swap"});
    r.reordered = syms({"reversed", "sorted", "randomized", "moved", "swaped"});
    return r;
  }();
  return a;
}

bool among(const std::vector<u32>& set, u32 sym) { return std::find(set.begin(), set.end(), sym) != set.end(); }

}  // namespace

bool is_text_item(const Cell* v) { return v && is_any_string_type(type_of(v)); }

void fill(Record& w) {
  GtkWidget* c = windows::control(w);
  GtkListStore* s = store_of(w);
  const Cell* f = window::face(w);
  if (!c || !s || !f) return;
  {
    widgets::Quiet q;
    // A tree view that follows every row as it comes is many times slower
    // than one given the filled store. The store, taken off its view, runs
    // no handler as it fills: the items are read in place.
    GtkTreeView* view = GTK_IS_TREE_VIEW(c) ? GTK_TREE_VIEW(c) : nullptr;
    g_object_ref(s);
    if (view) gtk_tree_view_set_model(view, nullptr);
    gtk_list_store_clear(s);
    Source src = source_of(face::facet(f, face::DATA));
    std::string t;
    for (u32 i = src.first; i < src.end(); ++i) {
      if (!src.shows(i)) continue;
      text_into(src.at(i), t);
      gtk_list_store_insert_with_values(s, nullptr, -1, 0, t.c_str(), -1);
    }
    if (view) gtk_tree_view_set_model(view, GTK_TREE_MODEL(s));
    g_object_unref(s);
  }
  Cell* face_cell = window::face(w);
  const Cell* text = face::facet(face_cell, face::TEXT);
  if (widgets::kind(w) == widgets::K_DROP_DOWN && text && type_of(text) == TYPE_STRING) {
    widgets::write_text(w, text);  // a drop-down with a text shows it, whatever is selected
    return;
  }
  Cell* selected = face::facet(face_cell, face::SELECTED);
  if (is_list(w) && selected && type_of(selected) != TYPE_INTEGER) make_integer(selected, -1);
  select(w);
}

void select(Record& w) {
  const Cell* f = window::face(w);
  const Cell* selected = f ? face::facet(f, face::SELECTED) : nullptr;
  if (!is_list(w) && !is_combo(w)) return;
  select_row(w, selected && type_of(selected) == TYPE_INTEGER ? int_of(selected) - 1 : -1);
}

i32 selection(const Record& w) {
  GtkWidget* c = windows::control(w);
  if (!c) return -1;
  if (GTK_IS_TREE_VIEW(c)) {
    GtkTreeModel* m = nullptr;
    GtkTreeIter it;
    if (!gtk_tree_selection_get_selected(gtk_tree_view_get_selection(GTK_TREE_VIEW(c)), &m, &it)) return -1;
    GtkTreePath* p = gtk_tree_model_get_path(m, &it);
    i32 row = gtk_tree_path_get_indices(p)[0];
    gtk_tree_path_free(p);
    return row;
  }
  if (GTK_IS_COMBO_BOX(c)) return gtk_combo_box_get_active(GTK_COMBO_BOX(c));
  return -1;
}

bool item_text(const Record& w, i32 row, std::string& out) {
  GtkListStore* s = store_of(w);
  GtkTreeIter it;
  if (!s || !iter_at(s, row, &it)) return false;
  gchar* t = nullptr;
  gtk_tree_model_get(GTK_TREE_MODEL(s), &it, 0, &t, -1);
  out = t ? t : "";
  g_free(t);
  return true;
}

bool series_changed(Record& w, const Cell* action, const Cell* target, i32 index, i32 part) {
  GtkListStore* s = store_of(w);
  if (!s || !window::face(w)) return false;
  api::Values v(3);  // the face, a new item, the word `data`
  copy_cell(window::face(w), v[0]);
  Source src = source_of(face::facet(v[0], face::DATA));
  if (src.map || !src.node) return false;
  u32 at = u32(std::max(index, 0));
  if (is_any_string_type(type_of(target)) && series_node(target) != src.node) {
    // An item changed inside: its row shows its text again.
    if (at < src.first || at >= src.end() || !src.shows(at) || series_node(src.at(at)) != series_node(target))
      return true;
    std::string t = text_of(src.at(at));
    GtkTreeIter it;
    widgets::Quiet q;
    if (iter_at(s, count_items(src, src.first, at), &it)) gtk_list_store_set(s, &it, 0, t.c_str(), -1);
    return true;
  }
  if (!is_any_block_type(type_of(target)) || series_node(target) != src.node) return false;
  const Actions& acts = actions();
  u32 act = symbol::resolve(word::symbol_of(action));
  u32 end = at + u32(std::max(part, 0));
  // The rows before the change's first value. The rows stand for every
  // item outside the values being changed (outside_from: where the items
  // after them start), so they are counted from the nearer end.
  auto rows_before = [&](u32 outside_from) -> i32 {
    u32 tail = src.end();
    if (at <= src.first) return 0;
    u32 from = std::min(outside_from, tail);
    if (at - src.first <= tail - from) return count_items(src, src.first, at);
    return row_count(s) - count_items(src, from, tail);
  };
  if (among(acts.removing, act)) {
    widgets::Quiet q;
    if (act == acts.clear && at <= src.first) {
      gtk_list_store_clear(s);
      return true;
    }
    i32 row = rows_before(at);
    remove_rows(s, row, count_items(src, at, end));
    return true;
  }
  if (among(acts.inserted, act)) {
    i32 row = rows_before(end);
    word::make_at(symbol::make("data"), v[2]);
    for (u32 i = std::max(at, src.first); i < std::min(end, src.end()); ++i) {
      if (!src.shows(i)) continue;
      std::string t = text_of(src.at(i));
      {
        widgets::Quiet q;
        insert_row(s, row++, t);
      }
      // The new item belongs to the face: changes inside it are reported.
      copy_cell(src.at(i), v[1]);
      ownership::bind(v[1], v[0], v[2]);
    }
    return true;
  }
  if (among(acts.waiting, act)) return true;
  if (among(acts.reordered, act)) {
    fill(w);
    return true;
  }
  return false;
}

void rows(const Record& w, std::vector<std::string>& out) {
  GtkListStore* s = store_of(w);
  if (!s) return;
  std::string t;
  for (i32 i = 0; item_text(w, i, t); ++i) out.push_back(t);
}

void choose(Record& w, i32 row) {
  if (GtkWidget* c = windows::control(w)) set_row(c, row, false);
}

namespace {

// A drop-down's item text into its face's `text` (before its select event).
void item_text_to_face(Record& w, i32 row) {
  std::string text;
  if (!item_text(w, row, text)) return;
  api::Values v(1);
  string::load_at(reinterpret_cast<const u8*>(text.data()), u32(text.size()), v[0], string::Encoding::utf8);
  if (const Cell* f = window::face(w))
    if (Cell* t = face::facet(f, face::TEXT)) copy_cell(v[0], t);
}

// Whether the face's `selected` names the row already.
bool selected_is(const Record& w, i32 row) {
  const Cell* f = window::face(w);
  const Cell* selected = f ? face::facet(f, face::SELECTED) : nullptr;
  return selected && type_of(selected) == TYPE_INTEGER && int_of(selected) == row + 1;
}

// The user chose another row: `select` (which may refuse it), then the
// face's `selected` follows the widget and, unless refused, `change`.
void selection_changed(Record& control) {
  i32 sel = selection(control);
  if (selected_is(control, sel)) return;
  u32 id = control.id;
  if (widgets::kind(control) == widgets::K_DROP_DOWN) item_text_to_face(control, sel);
  i32 verdict = input::command_event(id, event::SELECT, u32(sel));
  Record* w = window::find(id);
  if (!w || !face::handle_of(window::face(*w))) return;
  sel = selection(*w);
  if (selected_is(*w, sel)) return;
  if (Cell* s = face::facet(window::face(*w), face::SELECTED)) make_integer(s, sel + 1);
  if (verdict != 1) return;
  // The control's text into the face, as an edit's (for any row but the first).
  if (sel != 0) widgets::sync_text(*w);
  input::command_event(id, event::CHANGE, u32(sel));
}

// The text of a drop-down's edit changed.
void edit_changed(Record& control) {
  widgets::sync_text(control);
  input::command_event(control.id, event::CHANGE, u32(-1));
}

// A notification of the control, inside the guard: nothing thrown crosses
// GTK's frames.
void notify(gpointer id, void (*what)(Record& control)) {
  if (widgets::quiet()) return;
  guard::run([&] {
    Record* w = window::find(GPOINTER_TO_UINT(id));
    if (w && window::face(*w)) what(*w);
  });
}

// (a drop-down whose text is typed has no row chosen: the edit's own change
// tells that, and no row was selected)
void on_combo_changed(GtkWidget* c, gpointer id) {
  if (gtk_combo_box_get_has_entry(GTK_COMBO_BOX(c)) && gtk_combo_box_get_active(GTK_COMBO_BOX(c)) < 0) return;
  notify(id, selection_changed);
}
void on_tree_selection(GtkTreeSelection*, gpointer id) { notify(id, selection_changed); }
void on_edit_changed(GtkWidget*, gpointer id) { notify(id, edit_changed); }

}  // namespace

void connect(Record& w) {
  GtkWidget* c = windows::control(w);
  if (!c) return;
  gpointer id = GUINT_TO_POINTER(w.id);
  if (GTK_IS_TREE_VIEW(c)) {
    g_signal_connect(gtk_tree_view_get_selection(GTK_TREE_VIEW(c)), "changed", G_CALLBACK(on_tree_selection), id);
  } else if (GTK_IS_COMBO_BOX(c)) {
    if (widgets::kind(w) == widgets::K_DROP_DOWN)
      g_signal_connect(gtk_bin_get_child(GTK_BIN(c)), "changed", G_CALLBACK(on_edit_changed), id);
    g_signal_connect(c, "changed", G_CALLBACK(on_combo_changed), id);
  }
}

}  // namespace qel::view::backend::lists
