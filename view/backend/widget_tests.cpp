// The commands of `_gui-test` for the widgets with items: what a menu,
// list or combo shows, and the user's choices made through the widgets'
// own activation (GTK's signals run as for a real choice).
#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/date.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "view/backend/button_images.hpp"
#include "view/backend/calendar.hpp"
#include "view/backend/dialogs.hpp"
#include "view/backend/guard.hpp"
#include "view/backend/lists.hpp"
#include "view/backend/menus.hpp"
#include "view/backend/tabs.hpp"
#include "view/backend/widget_items.hpp"
#include "view/backend/widgets.hpp"
#include "view/backend/windows.hpp"
#include "view/face.hpp"

namespace qel::view::backend::widget_items {

namespace {

using window::Record;

bool is(const Cell* w, const char* name) {
  return is_any_word_type(type_of(w)) && symbol::resolve(word::symbol_of(w)) == symbol::resolve(symbol::make(name));
}

Record* record_of(const Cell* face) {
  const Cell* h = face && type_of(face) == TYPE_OBJECT ? face::handle_of(face) : nullptr;
  Record* w = h ? window::from_handle(h) : nullptr;
  if (!w) fire(Err::script_not_linked);
  return w;
}

// The cells of a [face n ...] block: the face, then integers.
void spec_of(const Cell* spec, std::vector<i32>& numbers, Cell* face) {
  i32 n = type_of(spec) == TYPE_BLOCK ? block::length_from_index(spec) : 0;
  if (n < 1) fire(Err::script_invalid_arg, spec);
  const Cell* c = mem::buffer_of(series_node(spec))->cells() + series_index(spec);
  for (i32 i = 1; i < n; ++i) {
    if (type_of(c + i) != TYPE_INTEGER) fire(Err::script_invalid_arg, c + i);
    numbers.push_back(int_of(c + i));
  }
  copy_cell(c, face);
}

void append_text(Cell* block, const std::string& t, Cell* scratch) {
  string::load_at(reinterpret_cast<const u8*>(t.data()), u32(t.size()), scratch, string::Encoding::utf8);
  block::append_copy(block, scratch);
}

std::vector<GtkWidget*> children(GtkWidget* shell) {
  std::vector<GtkWidget*> out;
  GList* kids = gtk_container_get_children(GTK_CONTAINER(shell));
  for (GList* k = kids; k; k = k->next) out.push_back(GTK_WIDGET(k->data));
  g_list_free(kids);
  return out;
}

std::string item_label(GtkWidget* item) {
  auto* label = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(item), "qel-label"));
  auto* accel = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(item), "qel-accel"));
  if (label && accel)
    return std::string(gtk_label_get_text(GTK_LABEL(label))) + "\t" + gtk_label_get_text(GTK_LABEL(accel));
  const char* t = gtk_menu_item_get_label(GTK_MENU_ITEM(item));
  return t ? t : "";
}

// A menu as a block: each item's text ("---" for a separator), an item
// with a submenu followed by the submenu's block.
void describe(GtkWidget* shell, Cell* out) {
  api::Values v(2);
  block::make_at(v[0], 8);
  for (GtkWidget* item : children(shell)) {
    if (GTK_IS_SEPARATOR_MENU_ITEM(item)) {
      append_text(v[0], "---", v[1]);
      continue;
    }
    append_text(v[0], item_label(item), v[1]);
    if (GtkWidget* sub = gtk_menu_item_get_submenu(GTK_MENU_ITEM(item))) {
      describe(sub, v[1]);
      block::append_copy(v[0], v[1]);
    }
  }
  copy_cell(v[0], out);
}

}  // namespace

bool test_command(const Cell* command, const Cell* value) {
  if (is(command, "menu")) {
    // face: the window's menu bar, or the face's open context menu; none
    // when there is neither.
    Record* w = record_of(value);
    GtkWidget* m = menus::menu_of(*w);
    if (!m) {
      api::answer_none();
      return true;
    }
    api::Values v(1);
    describe(m, v[0]);
    api::set_result(v[0]);
    return true;
  }
  if (is(command, "open-menu")) {
    // none: the menu that is open now (a menu bar's or a context menu,
    // shown and holding the mouse and the keys), or none.
    GtkWidget* grab = gtk_grab_get_current();
    if (!grab || !GTK_IS_MENU(grab) || !gtk_widget_get_mapped(grab)) {
      api::answer_none();
      return true;
    }
    api::Values v(1);
    describe(grab, v[0]);
    api::set_result(v[0]);
    return true;
  }
  if (is(command, "menu-pick")) {
    // [face n ...]: the item at positions n ... (1-based, through the
    // submenus) of the face's menu chosen as the user chooses it.
    api::Values v(1);
    std::vector<i32> path;
    spec_of(value, path, v[0]);
    GtkWidget* shell = menus::menu_of(*record_of(v[0]));
    if (!shell || path.empty()) fire(Err::script_invalid_arg, value);
    for (std::size_t i = 0; i < path.size(); ++i) {
      std::vector<GtkWidget*> items = children(shell);
      if (path[i] < 1 || std::size_t(path[i]) > items.size()) fire(Err::script_invalid_arg, value);
      GtkWidget* item = items[std::size_t(path[i] - 1)];
      GtkWidget* sub = gtk_menu_item_get_submenu(GTK_MENU_ITEM(item));
      if (i + 1 < path.size()) {
        if (!sub) fire(Err::script_invalid_arg, value);
        shell = sub;
        continue;
      }
      gtk_menu_shell_activate_item(GTK_MENU_SHELL(shell), item, TRUE);
    }
    guard::raise_pending();
    api::answer_none();
    return true;
  }
  if (is(command, "items")) {
    // face: [the rows a list or combo shows (a tab panel's titles), its
    // selected row (1-based, 0 none)]
    Record* w = record_of(value);
    std::vector<std::string> rows;
    bool tab = widgets::kind(*w) == widgets::K_TAB_PANEL;
    if (tab) tabs::titles(*w, rows);
    else lists::rows(*w, rows);
    i32 sel = tab ? tabs::current(*w) - 1 : lists::selection(*w);
    api::Values v(3);
    block::make_at(v[0], 2);
    block::make_at(v[1], rows.size());
    for (const std::string& r : rows) append_text(v[1], r, v[2]);
    block::append_copy(v[0], v[1]);
    make_integer(v[2], sel + 1);
    block::append_copy(v[0], v[2]);
    api::set_result(v[0]);
    return true;
  }
  if (is(command, "choose")) {
    // [face n]: row n (1-based; 0 none) chosen as the user chooses it.
    api::Values v(1);
    std::vector<i32> n;
    spec_of(value, n, v[0]);
    if (n.size() != 1) fire(Err::script_invalid_arg, value);
    Record* w = record_of(v[0]);
    if (widgets::kind(*w) == widgets::K_TAB_PANEL) tabs::choose(*w, n[0]);
    else lists::choose(*w, n[0] - 1);
    guard::raise_pending();
    api::answer_none();
    return true;
  }
  if (is(command, "dialog")) {
    // How the last file or folder dialog was set up.
    api::Values v(1);
    dialogs::last_dialog(v[0]);
    api::set_result(v[0]);
    return true;
  }
  if (is(command, "image-size")) {
    // face: the size of the image its button shows, none without one.
    int width = 0, height = 0;
    if (!button_images::shown_size(*record_of(value), width, height)) {
      api::answer_none();
      return true;
    }
    Cell p;
    pair::make_at(make_none(&p), width, height);
    api::set_result(&p);
    return true;
  }
  if (is(command, "shown-date")) {
    // face: the day its calendar shows selected (none when the month shown
    // has none).
    GtkWidget* c = windows::control(*record_of(value));
    if (!c || !GTK_IS_CALENDAR(c)) fire(Err::script_invalid_arg, value);
    guint year = 0, month = 0, day = 0;
    gtk_calendar_get_date(GTK_CALENDAR(c), &year, &month, &day);
    if (!day) {
      api::answer_none();
      return true;
    }
    Cell d;
    date::make_at(&d, i32(year), i32(month) + 1, i32(day), 0, 0, 0, false);
    api::set_result(&d);
    return true;
  }
  if (is(command, "pick-date")) {
    // [face year month day]: the day chosen as the user chooses it.
    api::Values v(1);
    std::vector<i32> n;
    spec_of(value, n, v[0]);
    if (n.size() != 3) fire(Err::script_invalid_arg, value);
    calendar::choose(*record_of(v[0]), n[0], n[1], n[2]);
    guard::raise_pending();
    api::answer_none();
    return true;
  }
  return false;
}

}  // namespace qel::view::backend::widget_items
