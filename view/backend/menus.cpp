#include "view/backend/menus.hpp"

#include <gtk/gtk.h>

#include <string>

#include "datatypes/event.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/memory.hpp"
#include "view/backend/guard.hpp"
#include "view/backend/input.hpp"
#include "view/backend/windows.hpp"
#include "view/face.hpp"

namespace qel::view::backend::menus {

namespace {

using window::Record;

// Each item keeps the symbol of its word (0 for none), the window whose
// face its `menu` event goes to, and for a context menu the press position.
// (The window's key is not the one that links a widget to its face window:
// an item belongs to no face, and its presses are the menu's.)
constexpr const char* kPickKey = "qel-pick";
constexpr const char* kWindowKey = "qel-menu-window";
constexpr const char* kAtKey = "qel-at";
constexpr const char* kContextKey = "qel-context";
constexpr const char* kColumnKey = "qel-column";

GtkWidget* g_context = nullptr;  // the open context menu (a reference of ours)

u32 sym(const char* name) { return symbol::resolve(symbol::make(name)); }

// A word an item picks: a word!, lit-word!, get-word! or set-word! (not a
// refinement or issue).
bool is_word_value(const Cell* c) {
  Type t = type_of(c);
  return t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD || t == TYPE_SET_WORD;
}

bool is_word(const Cell* c, u32 resolved) {
  return is_word_value(c) && symbol::resolve(word::symbol_of(c)) == resolved;
}

// The cells of a block from its index: [first, first + count).
const Cell* cells_of(const Cell* block, u32& count) {
  const mem::Buffer* b = mem::buffer_of(series_node(block));
  u32 used = b->used() / sizeof(Cell);
  u32 at = u32(std::max(series_index(block), 0));
  count = at < used ? used - at : 0;
  return b->cells() + at;
}

GtkWidget* make_item(const std::string& text) {
  std::size_t tab = text.find('\t');
  if (tab == std::string::npos) return gtk_menu_item_new_with_label(text.c_str());
  // The text after the tab is the item's accelerator, shown at its right.
  GtkWidget* item = gtk_menu_item_new();
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  GtkWidget* label = gtk_label_new(text.substr(0, tab).c_str());
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  GtkWidget* accel = gtk_label_new(text.substr(tab + 1).c_str());
  gtk_label_set_xalign(GTK_LABEL(accel), 1);
  gtk_style_context_add_class(gtk_widget_get_style_context(accel), "accelerator");
  gtk_box_pack_start(GTK_BOX(box), label, TRUE, TRUE, 0);
  gtk_box_pack_end(GTK_BOX(box), accel, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(item), box);
  g_object_set_data(G_OBJECT(item), "qel-label", label);
  g_object_set_data(G_OBJECT(item), "qel-accel", accel);
  return item;
}

void on_activate(GtkMenuItem* item, gpointer);

// Fills the menu shell from the block. Nothing here allocates in the
// collected region: the block's cells stay where they are.
void build(GtkWidget* shell, const Cell* block, u32 window_id, bool context, u32 at) {
  static const u32 dashes = sym("---");
  u32 n = 0;
  const Cell* c = cells_of(block, n);
  for (u32 i = 0; i < n; ++i) {
    if (is_word(c + i, dashes)) {
      GtkWidget* sep = gtk_separator_menu_item_new();
      gtk_widget_show(sep);
      gtk_menu_shell_append(GTK_MENU_SHELL(shell), sep);
      continue;
    }
    if (type_of(c + i) != TYPE_STRING) continue;  // stray values are skipped
    GtkWidget* item = make_item(string::to_utf8(c + i));
    u32 pick = 0;
    if (i + 1 < n && type_of(c + i + 1) == TYPE_BLOCK) {
      GtkWidget* sub = gtk_menu_new();
      build(sub, c + i + 1, window_id, context, at);
      gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), sub);
      ++i;
    } else if (i + 1 < n && is_word_value(c + i + 1)) {
      pick = word::symbol_of(c + i + 1);
      ++i;
    }
    g_object_set_data(G_OBJECT(item), kPickKey, GUINT_TO_POINTER(pick));
    g_object_set_data(G_OBJECT(item), kWindowKey, GUINT_TO_POINTER(window_id));
    g_object_set_data(G_OBJECT(item), kAtKey, GUINT_TO_POINTER(at));
    g_object_set_data(G_OBJECT(item), kContextKey, GINT_TO_POINTER(context));
    g_signal_connect(item, "activate", G_CALLBACK(on_activate), nullptr);
    gtk_widget_show_all(item);
    gtk_menu_shell_append(GTK_MENU_SHELL(shell), item);
  }
}

gboolean destroy_later(gpointer menu) {
  gtk_widget_destroy(GTK_WIDGET(menu));
  g_object_unref(menu);
  return G_SOURCE_REMOVE;
}

// A closed context menu is hidden now, its grab of the mouse and the keys
// with it, and goes once GTK is done with it (the chosen item is activated
// after the menu closes).
void close_context(GtkWidget* menu) {
  if (g_context != menu) return;
  g_context = nullptr;
  gtk_menu_shell_deactivate(GTK_MENU_SHELL(menu));
  g_idle_add(destroy_later, menu);
}

void on_deactivate(GtkMenuShell* menu, gpointer) { close_context(GTK_WIDGET(menu)); }

// A chosen item raises `menu` on its window's face, `picked` its word.
void on_activate(GtkMenuItem* item, gpointer) {
  if (gtk_menu_item_get_submenu(item)) return;  // opening a submenu picks nothing
  u32 id = GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(item), kWindowKey));
  u32 pick = GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(item), kPickKey));
  u32 at = GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(item), kAtKey));
  // A choice closes the context menu (GTK has closed it when it was shown).
  if (g_object_get_data(G_OBJECT(item), kContextKey) && g_context) close_context(g_context);
  guard::run([&] {
    Record* w = window::find(id);
    if (!w || !window::face(*w)) return;
    messages::Message m = input::command_message(id);
    m.wparam = pick;
    m.x = i32(int16_t(at & 0xFFFF));
    m.y = i32(int16_t(at >> 16));
    input::make_event(m, 0, event::MENU);
  });
}

GtkWidget* column_of(const Record& w) {
  GtkWidget* g = windows::widget(w);
  return g ? static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(g), kColumnKey)) : nullptr;
}

GtkWidget* bar_of(const Record& w) {
  GtkWidget* column = column_of(w);
  if (!column) return nullptr;
  GtkWidget* bar = nullptr;
  GList* kids = gtk_container_get_children(GTK_CONTAINER(column));
  for (GList* k = kids; k && !bar; k = k->next)
    if (GTK_IS_MENU_BAR(k->data)) bar = GTK_WIDGET(k->data);
  g_list_free(kids);
  return bar;
}

// A bar that leaves the screen (its window hidden or destroyed) closes the
// menu it has open first, while the bar still lies in its window: GTK closes
// an open menu on the bar's toplevel, which is no window any more once the
// window's children are being destroyed.
void on_bar_unmap(GtkWidget* bar, gpointer) { gtk_menu_shell_deactivate(GTK_MENU_SHELL(bar)); }

// The record of the face whose open context menu this is (0 for none).
u32 context_owner() {
  if (!g_context) return 0;
  GList* kids = gtk_container_get_children(GTK_CONTAINER(g_context));
  u32 id = kids ? GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(kids->data), kWindowKey)) : 0;
  g_list_free(kids);
  return id;
}

int height_of(GtkWidget* bar) {
  int h = 0;
  if (bar && gtk_widget_get_visible(bar)) gtk_widget_get_preferred_height(bar, &h, nullptr);
  return h;
}

}  // namespace

bool is_menu_bar(const Cell* menu, const Cell* face) {
  static const u32 popup = sym("popup");
  if (!menu || type_of(menu) != TYPE_BLOCK || !face::is_type(face, "window")) return false;
  u32 n = 0;
  const Cell* c = cells_of(menu, n);
  return n > 0 && !is_word(c, popup);
}

void update_bar(Record& w) {
  GtkWidget* column = column_of(w);
  const Cell* f = window::face(w);
  if (!column || !f) return;
  GtkWidget* old = bar_of(w);
  int before = height_of(old);
  if (old) gtk_widget_destroy(old);
  const Cell* menu = face::facet(f, face::MENU);
  GtkWidget* bar = nullptr;
  if (is_menu_bar(menu, f)) {
    bar = gtk_menu_bar_new();
    build(bar, menu, w.id, false, 0);
    g_signal_connect(bar, "unmap", G_CALLBACK(on_bar_unmap), nullptr);
    gtk_box_pack_start(GTK_BOX(column), bar, FALSE, FALSE, 0);
    gtk_widget_show(bar);
  }
  // The bar lies above the client area: the window grows or shrinks by it.
  int delta = height_of(bar) - before;
  GtkWidget* g = windows::widget(w);
  if (!delta || !GTK_IS_WINDOW(g)) return;
  int width = 0, height = 0;
  gtk_window_get_default_size(GTK_WINDOW(g), &width, &height);
  if (height > 0) gtk_window_set_default_size(GTK_WINDOW(g), width, std::max(height + delta, 1));
  if (gtk_widget_get_realized(g)) {
    gtk_window_get_size(GTK_WINDOW(g), &width, &height);
    gtk_window_resize(GTK_WINDOW(g), std::max(width, 1), std::max(height + delta, 1));
  }
}

bool show_context(Record& w, const messages::Message& m) {
  forget_context();
  const Cell* f = window::face(w);
  const Cell* menu = f ? face::facet(f, face::MENU) : nullptr;
  if (!menu || type_of(menu) != TYPE_BLOCK || is_menu_bar(menu, f)) return false;
  GtkWidget* g = windows::widget(w);
  GtkWidget* top = g ? gtk_widget_get_toplevel(g) : nullptr;
  GdkWindow* gw = top ? gtk_widget_get_window(top) : nullptr;
  if (!gw) return false;
  int x = 0, y = 0;
  gtk_widget_translate_coordinates(g, top, m.x, m.y, &x, &y);
  GtkWidget* popup = gtk_menu_new();
  g_object_ref_sink(popup);
  u32 at = (u32(u16(m.x)) | u32(u16(m.y)) << 16);
  build(popup, menu, w.id, true, at);
  g_context = popup;
  g_signal_connect(popup, "deactivate", G_CALLBACK(on_deactivate), nullptr);
  // The menu opens at the press: the toolkit's own press event, or one made
  // from the message when it came another way (a made event, a test).
  GdkEvent* trigger = gtk_get_current_event();
  if (!trigger || trigger->type != GDK_BUTTON_PRESS) {
    if (trigger) gdk_event_free(trigger);
    trigger = gdk_event_new(GDK_BUTTON_PRESS);
    trigger->button.window = GDK_WINDOW(g_object_ref(gw));
    trigger->button.send_event = TRUE;
    // The press's own time: a menu closes on a release that comes long
    // after the time it was opened at.
    trigger->button.time = m.time ? guint32(m.time) : gtk_get_current_event_time();
    trigger->button.x = x;
    trigger->button.y = y;
    trigger->button.button = 3;
    gdk_event_set_device(trigger, gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_window_get_display(gw))));
  }
  gtk_menu_popup_at_pointer(GTK_MENU(popup), trigger);
  gdk_event_free(trigger);
  return true;
}

void forget_context() {
  if (!g_context) return;
  GtkWidget* menu = g_context;
  g_context = nullptr;
  gtk_menu_shell_deactivate(GTK_MENU_SHELL(menu));
  gtk_widget_destroy(menu);
  g_object_unref(menu);
}

void release(const Record& w) {
  if (g_context && context_owner() == w.id) forget_context();
}

GtkWidget* menu_of(const Record& w) {
  if (g_context && context_owner() == w.id) return g_context;
  return bar_of(w);
}

}  // namespace qel::view::backend::menus
