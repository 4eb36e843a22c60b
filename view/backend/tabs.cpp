#include "view/backend/tabs.hpp"

#include <gtk/gtk.h>

#include <algorithm>
#include <string>
#include <vector>

#include "datatypes/event.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "runtime/memory.hpp"
#include "view/backend/container.hpp"
#include "view/backend/guard.hpp"
#include "view/backend/input.hpp"
#include "view/backend/widgets.hpp"
#include "view/backend/windows.hpp"
#include "view/face.hpp"
#include "view/units.hpp"

namespace qel::view::backend::tabs {

namespace {

using window::Record;

GtkNotebook* notebook(const Record& tab) {
  GtkWidget* c = windows::control(tab);
  return c && GTK_IS_NOTEBOOK(c) ? GTK_NOTEBOOK(c) : nullptr;
}

// The cells of a block facet from its index (none for another value).
const Cell* cells(const Cell* block, u32& n) {
  n = 0;
  if (!block || type_of(block) != TYPE_BLOCK) return nullptr;
  const mem::Buffer* b = mem::buffer_of(series_node(block));
  u32 used = b->used() / sizeof(Cell), at = u32(std::max(series_index(block), 0));
  n = at < used ? used - at : 0;
  return b->cells() + at;
}

bool same_object(const Cell* a, const Cell* b) {
  return type_of(a) == TYPE_OBJECT && type_of(b) == TYPE_OBJECT && object::context_of(a) == object::context_of(b);
}

i32 tab_count(const Record& tab) {
  GtkNotebook* nb = notebook(tab);
  return nb ? gtk_notebook_get_n_pages(nb) : 0;
}

// The tab panel's size in pixels.
void size_of(const Record& tab, int& width, int& height) {
  width = height = 0;
  if (const Cell* f = window::face(tab)) units::read_pixels(face::facet(f, face::SIZE), &width, &height);
  width = std::max(width, 0);
  height = std::max(height, 0);
}

// The notebook's page area (pixels from the tab panel's top-left): the
// notebook laid out at the tab panel's size, the current page's place.
void page_area(Record& tab, int& x, int& y, int& width, int& height) {
  int w = 0, h = 0;
  size_of(tab, w, h);
  x = 0, y = 0, width = w, height = h;
  GtkNotebook* nb = notebook(tab);
  if (!nb) return;
  GtkWidget* page = gtk_notebook_get_nth_page(nb, std::max(gtk_notebook_get_current_page(nb), 0));
  GtkAllocation a, p;
  gtk_widget_get_allocation(GTK_WIDGET(nb), &a);
  // Laid out now, where it stands: the pages may be new (the titles made
  // again), and a new page has no place until the notebook is laid out.
  // (never narrower than it can be: container.cpp)
  int min_width = 0, min_height = 0;
  gtk_widget_get_preferred_width(GTK_WIDGET(nb), &min_width, nullptr);
  gtk_widget_get_preferred_height(GTK_WIDGET(nb), &min_height, nullptr);
  GtkAllocation at{std::max(a.x, 0), std::max(a.y, 0), std::max({w, min_width, 1}), std::max({h, min_height, 1})};
  gtk_widget_size_allocate(GTK_WIDGET(nb), &at);
  gtk_widget_get_allocation(GTK_WIDGET(nb), &a);
  if (!page) return;
  gtk_widget_get_allocation(page, &p);
  x = p.x - a.x;
  y = p.y - a.y;
  width = std::max(p.width, 0);
  height = std::max(p.height, 0);
}

// The face of the pane shown for the tab (1-based): shown, the others hidden.
// The widgets change after the faces are read: showing and hiding can run
// handlers (focus leaving a hidden face) that move the pane's cells.
void show_pane(Record& tab, i32 index) {
  const Cell* f = window::face(tab);
  u32 n = 0;
  const Cell* pane = f ? cells(face::facet(f, face::PANE), n) : nullptr;
  std::vector<std::pair<u32, bool>> shown;
  for (u32 i = 0; i < n; ++i) {
    if (type_of(pane + i) != TYPE_OBJECT) continue;
    bool on = i32(i) + 1 == index;
    if (Cell* vis = face::facet(pane + i, face::VISIBLE_Q)) make_logic(vis, on);
    const Cell* h = face::handle_of(pane + i);
    if (Record* r = h ? window::from_handle(h) : nullptr) shown.emplace_back(r->id, on);
  }
  for (auto [id, on] : shown) {
    Record* r = window::find(id);
    GtkWidget* g = r ? windows::widget(*r) : nullptr;
    if (!g) continue;
    if (on) gtk_widget_show(g);
    else gtk_widget_hide(g);
  }
}

// `selected` clamped to 1..count (1 when it is no integer); answers it.
i32 clamp_selected(Record& tab) {
  Cell* sel = face::facet(window::face(tab), face::SELECTED);
  i32 n = tab_count(tab);
  i32 s = sel && type_of(sel) == TYPE_INTEGER ? std::clamp(int_of(sel), 1, std::max(n, 1)) : 1;
  if (sel) make_integer(sel, s);
  return s;
}

void select_page(Record& tab, i32 index) {
  GtkNotebook* nb = notebook(tab);
  if (!nb) return;
  {
    widgets::Quiet q;
    if (index >= 1 && index <= tab_count(tab)) gtk_notebook_set_current_page(nb, index - 1);
  }
  show_pane(tab, index);
}

void raise(u32 id, u32 flags, u32 type, i32* verdict) {
  guard::run([&] {
    Record* w = window::find(id);
    if (!w || !window::face(*w)) return;
    i32 v = input::command_event(id, type, flags);
    if (verdict) *verdict = v;
  });
}

// Before the notebook changes its page: `select`, which may keep the tab.
void on_switch(GtkNotebook* nb, GtkWidget*, guint page, gpointer id) {
  if (widgets::quiet()) return;
  i32 old = gtk_notebook_get_current_page(nb);
  if (old < 0 || guint(old) == page) return;
  i32 verdict = 1;
  raise(GPOINTER_TO_UINT(id), u32(old), event::SELECT, &verdict);
  if (verdict == 0) g_signal_stop_emission_by_name(nb, "switch-page");
}

// After it: the new tab's face shown, `change`, then `selected`.
void on_switched(GtkNotebook*, GtkWidget*, guint page, gpointer id) {
  if (widgets::quiet()) return;
  u32 tab_id = GPOINTER_TO_UINT(id);
  Record* w = window::find(tab_id);
  if (!w || !window::face(*w)) return;
  show_pane(*w, i32(page) + 1);
  raise(tab_id, page + 1, event::CHANGE, nullptr);
  if (Record* again = window::find(tab_id); again && window::face(*again))
    if (Cell* sel = face::facet(window::face(*again), face::SELECTED)) make_integer(sel, i32(page) + 1);
}

}  // namespace

void fill(Record& tab) {
  GtkNotebook* nb = notebook(tab);
  const Cell* f = window::face(tab);
  if (!nb || !f) return;
  std::vector<std::string> titles;
  u32 n = 0;
  const Cell* data = cells(face::facet(f, face::DATA), n);
  for (u32 i = 0; i < n; ++i)
    if (type_of(data + i) == TYPE_STRING) titles.push_back(string::to_utf8(data + i));
  {
    widgets::Quiet q;
    while (gtk_notebook_get_n_pages(nb) > 0) gtk_notebook_remove_page(nb, -1);
    for (const std::string& t : titles) {
      GtkWidget* page = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
      gtk_widget_show(page);
      gtk_notebook_append_page(nb, page, gtk_label_new(t.c_str()));
    }
  }
  select_page(tab, clamp_selected(tab));
}

void select(Record& tab) {
  if (window::face(tab)) select_page(tab, clamp_selected(tab));
}

void fit(Record& tab, const Cell* face) {
  int x, y, width, height;
  page_area(tab, x, y, width, height);
  Cell* offset = face::facet(face, face::OFFSET);
  Cell* size = face::facet(face, face::SIZE);
  if (offset) units::logical_point(x, y, false, offset);
  if (size) units::logical_point(width, height, type_of(size) == TYPE_PAIR, size);
  // Only the selected tab's face shows.
  const Cell* tf = window::face(tab);
  const Cell* sel = tf ? face::facet(tf, face::SELECTED) : nullptr;
  u32 n = 0;
  const Cell* pane = tf ? cells(face::facet(tf, face::PANE), n) : nullptr;
  for (u32 i = 0; i < n; ++i)
    if (same_object(pane + i, face)) {
      bool on = sel && type_of(sel) == TYPE_INTEGER && int_of(sel) == i32(i) + 1;
      if (Cell* vis = face::facet(face, face::VISIBLE_Q)) make_logic(vis, on);
      break;
    }
}

void relayout(Record& tab) {
  GtkWidget* client = windows::client(tab);
  const Cell* f = window::face(tab);
  if (!client || !f) return;
  int x, y, width, height;
  page_area(tab, x, y, width, height);
  u32 n = 0;
  const Cell* pane = cells(face::facet(f, face::PANE), n);
  std::vector<u32> fitted;
  for (u32 i = 0; i < n; ++i) {
    const Cell* face = pane + i;
    if (type_of(face) != TYPE_OBJECT) continue;
    if (!face::is_type(face, "panel") && !face::is_type(face, "group-box")) continue;
    fit(tab, face);
    const Cell* h = face::handle_of(face);
    if (Record* r = h ? window::from_handle(h) : nullptr) fitted.push_back(r->id);
  }
  for (u32 id : fitted) {
    Record* r = window::find(id);
    if (GtkWidget* g = r ? windows::widget(*r) : nullptr) container::put(client, g, x, y, width, height);
  }
}

void connect(Record& tab) {
  GtkNotebook* nb = notebook(tab);
  if (!nb) return;
  gpointer id = GUINT_TO_POINTER(tab.id);
  g_signal_connect(nb, "switch-page", G_CALLBACK(on_switch), id);
  g_signal_connect_after(nb, "switch-page", G_CALLBACK(on_switched), id);
}

void titles(const Record& tab, std::vector<std::string>& out) {
  GtkNotebook* nb = notebook(tab);
  for (i32 i = 0; nb && i < gtk_notebook_get_n_pages(nb); ++i) {
    const char* t = gtk_notebook_get_tab_label_text(nb, gtk_notebook_get_nth_page(nb, i));
    out.push_back(t ? t : "");
  }
}

i32 current(const Record& tab) {
  GtkNotebook* nb = notebook(tab);
  return nb ? gtk_notebook_get_current_page(nb) + 1 : 0;
}

void choose(Record& tab, i32 index) {
  if (GtkNotebook* nb = notebook(tab)) gtk_notebook_set_current_page(nb, index - 1);
}

}  // namespace qel::view::backend::tabs
