#include "view/backend/widgets.hpp"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "datatypes/event.hpp"
#include "datatypes/float.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "view/backend/container.hpp"
#include "view/backend/draw/graphics.hpp"
#include "view/backend/text/fonts.hpp"
#include "view/backend/text/names.hpp"
#include "view/backend/guard.hpp"
#include "view/backend/input.hpp"
#include "view/backend/painter.hpp"
#include "view/backend/windows.hpp"
#include "datatypes/ownership.hpp"
#include "view/convert.hpp"
#include "view/face.hpp"
#include "view/keys.hpp"
#include "view/units.hpp"

namespace qel::view::backend::widgets {

namespace {

using window::Class;
using window::Record;

using windows::control;

constexpr const char* kKindKey = "qel-kind";
constexpr const char* kCheckedKey = "qel-checked";  // a radio's state before the click
constexpr const char* kPartnerKey = "qel-partner";  // a radio's hidden partner
constexpr const char* kTriKey = "qel-tri-state";    // a check's three states

struct KindInfo {
  const char* type;
  Class cls;
};
const KindInfo kKinds[KIND_COUNT] = {
    {"window", Class::WINDOW},     {"panel", Class::PANEL},         {"group-box", Class::PANEL},
    {"tab-panel", Class::TABPANEL}, {"base", Class::BASE},          {"rich-text", Class::BASE},
    {"text", Class::FACE},         {"field", Class::FIELD},         {"area", Class::AREA},
    {"button", Class::BUTTON},     {"toggle", Class::BUTTON},       {"check", Class::BUTTON},
    {"radio", Class::BUTTON},      {"slider", Class::SLIDER},       {"progress", Class::PROGRESS},
    {"scroller", Class::SCROLLER}, {"text-list", Class::LIST_BOX},  {"drop-down", Class::COMBO},
    {"drop-list", Class::COMBO},   {"calendar", Class::CALENDAR},   {"camera", Class::CAMERA},
};

int g_quiet = 0;

u32 face_flags(const Cell* face) {
  const Cell* f = face::facet(face, face::FLAGS);
  return f ? convert::get_flags(f) : 0;
}

GtkWidget* root_of(const Record& w) { return windows::widget(w); }

// ---- signals: each finds its window again by id, and its face, first ------------------

Record* live(gpointer id) {
  Record* w = window::find(GPOINTER_TO_UINT(id));
  return w && window::face(*w) ? w : nullptr;
}

bool is_type(const Record& w, const char* type) {
  const Cell* f = window::face(w);
  return f && face::is_type(f, type);
}

bool one_of(const Record& w, std::initializer_list<const char*> types) {
  for (const char* t : types)
    if (is_type(w, t)) return true;
  return false;
}

// ---- notifications: the control's state into its face, then its event ------------

// The root window's `selected` becomes the control's face (in place: the
// change comes from the toolkit).
void select_in_root(Record& control) {
  Record* root = window::root(&control);
  if (!root || root == &control) return;
  const Cell* f = window::face(control);
  Cell* rf = window::face(*root);
  if (!f || !rf) return;
  Cell copy = *f;
  if (Cell* selected = face::facet(rf, face::SELECTED)) copy_cell(&copy, selected);
}

// The check state of a button control into `data`.
void check_into_data(Record& w, glue::Check state) {
  if (Cell* f = window::face(w)) glue::check_to_face(f, state);
}

u32 g_clicked_radio = 0;  // the radio whose click event is being raised

// A button, toggle, check or radio was clicked.
void clicked(Record& control) {
  u32 id = control.id;
  if (is_type(control, "button")) {
    select_in_root(control);
    input::command_event(id, event::CLICK);
  } else if (is_type(control, "toggle") || is_type(control, "check")) {
    glue::Check state = check_state(control);
    if (is_type(control, "check") && (u32(window::get(control, window::FLAGS)) & convert::TRI_STATE))
      state = cycle_check(control);
    check_into_data(control, state);
    select_in_root(control);
    input::command_event(id, event::CHANGE);
  } else if (is_type(control, "radio")) {
    bool was = radio_was_checked(control);
    glue::Check state = check_state(control);
    if (!was) {
      check_into_data(control, state);
      select_in_root(control);
      // While its click runs, the radio is the one the user chose: the
      // framework unchecking it on the way tells nobody.
      u32 saved = g_clicked_radio;
      g_clicked_radio = id;
      input::command_event(id, event::CLICK);
      g_clicked_radio = saved;
    }
  }
}

bool takes_focus_events(const Record& control) {
  return one_of(control, {"field", "area", "drop-down", "drop-list", "text-list"});
}

// The control took the keyboard focus.
void focused(Record& control) {
  if (!takes_focus_events(control)) return;
  u32 id = control.id;
  select_in_root(control);
  if (one_of(control, {"field", "area"})) apply_selection(control);
  if (window::find(id)) input::command_event(id, event::FOCUS);
}

// The control lost it.
void unfocused(Record& control) {
  if (takes_focus_events(control)) input::command_event(control.id, event::UNFOCUS);
}

// The user changed the text of an edit.
void text_changed(Record& control) {
  if (Record* root = window::root(&control); !root || !window::face(*root)) return;
  sync_text(control);
  input::command_event(control.id, event::CHANGE, u32(-1));
}

// A notification of the control, inside the guard: nothing thrown crosses
// GTK's frames.
void notify(gpointer id, void (*what)(Record& control)) {
  if (g_quiet) return;
  guard::run([&] {
    if (Record* w = live(id)) what(*w);
  });
}

void on_clicked(GtkWidget*, gpointer id) { notify(id, clicked); }
void on_changed(GtkWidget*, gpointer id) { notify(id, text_changed); }
void on_buffer_changed(GtkTextBuffer*, gpointer id) { notify(id, text_changed); }
// The first toggle button among the widget's descendants, internal ones
// included, or null.
GtkWidget* toggle_within(GtkWidget* w) {
  if (GTK_IS_TOGGLE_BUTTON(w)) return w;
  if (!GTK_IS_CONTAINER(w)) return nullptr;
  struct Search {
    GtkWidget* found = nullptr;
  } search;
  gtk_container_forall(GTK_CONTAINER(w), [](GtkWidget* child, gpointer data) {
    auto* s = static_cast<Search*>(data);
    if (!s->found) s->found = toggle_within(child);
  }, &search);
  return search.found;
}

// The part of a combo box that takes the keyboard focus: a drop-down's
// edit, a drop-list's button (the box itself never has it).
GtkWidget* focus_part(GtkWidget* combo) {
  if (gtk_combo_box_get_has_entry(GTK_COMBO_BOX(combo))) return gtk_bin_get_child(GTK_BIN(combo));
  GtkWidget* button = toggle_within(combo);
  return button ? button : combo;
}

gboolean focus_on_press(GtkWidget* w, GdkEvent*, gpointer) {
  if (!gtk_widget_has_focus(w)) gtk_widget_grab_focus(w);
  return FALSE;
}

gboolean on_focus_in(GtkWidget*, GdkEvent*, gpointer id) {
  notify(id, focused);
  return FALSE;
}
gboolean on_focus_out(GtkWidget*, GdkEvent*, gpointer id) {
  notify(id, unfocused);
  return FALSE;
}

// A combo box's list, while it is open, holds the keyboard: the focus its
// part loses to the list and takes back when the list closes is no change
// of focus for the face.
constexpr const char* kFocusToList = "qel-focus-to-list";
GtkWidget* combo_of(GtkWidget* part) {
  for (GtkWidget* w = part; w; w = gtk_widget_get_parent(w))
    if (GTK_IS_COMBO_BOX(w)) return w;
  return nullptr;
}
gboolean on_combo_focus_out(GtkWidget* part, GdkEvent* e, gpointer id) {
  gboolean shown = FALSE;
  if (GtkWidget* combo = combo_of(part)) g_object_get(combo, "popup-shown", &shown, nullptr);
  if (shown) {
    g_object_set_data(G_OBJECT(part), kFocusToList, GINT_TO_POINTER(1));
    return FALSE;
  }
  return on_focus_out(part, e, id);
}
gboolean on_combo_focus_in(GtkWidget* part, GdkEvent* e, gpointer id) {
  if (g_object_get_data(G_OBJECT(part), kFocusToList)) {
    g_object_set_data(G_OBJECT(part), kFocusToList, nullptr);
    return FALSE;
  }
  return on_focus_in(part, e, id);
}

// A tree view that takes the keyboard focus with no cursor row puts its
// cursor on the selected row, or on the first, and selects that row. A list
// taking the focus chooses nothing: the cursor is put there first, with
// the selection refusing every change meanwhile.
bool g_placing_cursor = false;
gboolean may_select(GtkTreeSelection*, GtkTreeModel*, GtkTreePath*, gboolean, gpointer) { return !g_placing_cursor; }

gboolean cursor_before_focus(GtkWidget* tree, GdkEvent*, gpointer) {
  GtkTreeView* tv = GTK_TREE_VIEW(tree);
  GtkTreePath* path = nullptr;
  gtk_tree_view_get_cursor(tv, &path, nullptr);
  if (path) {
    gtk_tree_path_free(path);
    return FALSE;
  }
  GtkTreeModel* model = nullptr;
  GtkTreeIter it;
  if (gtk_tree_selection_get_selected(gtk_tree_view_get_selection(tv), &model, &it)) {
    path = gtk_tree_model_get_path(model, &it);
  } else {
    model = gtk_tree_view_get_model(tv);
    if (!model || !gtk_tree_model_get_iter_first(model, &it)) return FALSE;
    path = gtk_tree_path_new_first();
  }
  g_placing_cursor = true;
  gtk_tree_view_set_cursor(tv, path, nullptr, FALSE);
  g_placing_cursor = false;
  gtk_tree_path_free(path);
  return FALSE;
}
void cursor_before_grab(GtkWidget* tree, gpointer) { cursor_before_focus(tree, nullptr, nullptr); }

bool vertical(GtkWidget* g) {
  return GTK_IS_ORIENTABLE(g) && gtk_orientable_get_orientation(GTK_ORIENTABLE(g)) == GTK_ORIENTATION_VERTICAL;
}

// A slider moved by the user: its `data` from the position, then `change`.
void on_slider(GtkRange* range, gpointer id) {
  if (g_quiet) return;
  guard::run([&] {
    Record* w = live(id);
    if (!w) return;
    GtkAdjustment* a = gtk_range_get_adjustment(range);
    double length = gtk_adjustment_get_upper(a), pos = gtk_adjustment_get_value(a);
    bool v = vertical(GTK_WIDGET(range));
    // The glue counts a vertical slider's position from the top.
    glue::slider_to_face(window::face(*w), v ? length - pos : pos, length, v);
    messages::Message m;
    m.window = w->id;
    m.code = v ? messages::VSCROLL : messages::HSCROLL;
    input::Current scope(&m);
    input::make_event(m, 0, event::CHANGE);
  });
}

// The scroll code of a scroll bar's step.
u32 scroll_code(GtkScrollType t) {
  switch (t) {
    case GTK_SCROLL_STEP_BACKWARD: case GTK_SCROLL_STEP_UP: case GTK_SCROLL_STEP_LEFT: return 0;
    case GTK_SCROLL_STEP_FORWARD: case GTK_SCROLL_STEP_DOWN: case GTK_SCROLL_STEP_RIGHT: return 1;
    case GTK_SCROLL_PAGE_BACKWARD: case GTK_SCROLL_PAGE_UP: case GTK_SCROLL_PAGE_LEFT: return 2;
    case GTK_SCROLL_PAGE_FORWARD: case GTK_SCROLL_PAGE_DOWN: case GTK_SCROLL_PAGE_RIGHT: return 3;
    case GTK_SCROLL_JUMP: return 5;
    case GTK_SCROLL_START: return 6;
    case GTK_SCROLL_END: return 7;
    default: return 8;
  }
}

// A scroller's line step: a hundredth of its range.
constexpr double kLineStep = 0.01;

// A scroll bar moved by the user: the new position (line and page steps
// both kept inside the range), written back, into the face, and `change`.
gboolean on_scroller(GtkRange* range, GtkScrollType type, double value, gpointer id) {
  if (g_quiet) return FALSE;
  guard::run([&] {
    Record* w = live(id);
    if (!w) return;
    GtkAdjustment* a = gtk_range_get_adjustment(range);
    double lo = gtk_adjustment_get_lower(a), hi = gtk_adjustment_get_upper(a);
    double page = gtk_adjustment_get_page_size(a), pos = gtk_adjustment_get_value(a);
    double span = hi - lo, top = std::max(lo, hi - page);
    u32 code = scroll_code(type);
    switch (code) {
      case 0: pos -= span * kLineStep; break;
      case 1: pos += span * kLineStep; break;
      case 2: pos -= page; break;
      case 3: pos += page; break;
      case 5: pos = value; break;
      case 6: pos = lo; break;
      case 7: pos = top; break;
      default: return;
    }
    pos = std::clamp(pos, lo, top);
    {
      Quiet q;
      gtk_adjustment_set_value(a, pos);
    }
    glue::scroller_to_face(window::face(*w), pos, lo, hi, page);
    messages::Message m;
    m.window = w->id;
    m.code = vertical(GTK_WIDGET(range)) ? messages::VSCROLL : messages::HSCROLL;
    m.wparam = code;
    m.lparam = i64(pos);
    input::Current scope(&m);
    input::make_event(m, 0, event::CHANGE);
  });
  return TRUE;
}

GtkWidget* label_in(GtkWidget* button) {
  GtkWidget* child = gtk_bin_get_child(GTK_BIN(button));
  return child && GTK_IS_LABEL(child) ? child : nullptr;
}

// A label that lets its widget be drawn smaller than its text.
GtkWidget* short_label(const char* text) {
  GtkWidget* l = gtk_label_new(text);
  gtk_label_set_ellipsize(GTK_LABEL(l), PANGO_ELLIPSIZE_END);
  return l;
}

std::string utf8(const Cell* text) {
  return text && type_of(text) == TYPE_STRING ? string::to_utf8(text) : std::string();
}

GtkWidget* scrolled(GtkWidget* inside, bool frame, bool both) {
  GtkWidget* s = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(s), both ? GTK_POLICY_AUTOMATIC : GTK_POLICY_NEVER,
                                 GTK_POLICY_AUTOMATIC);
  if (frame) gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(s), GTK_SHADOW_IN);
  gtk_container_add(GTK_CONTAINER(s), inside);
  gtk_widget_show(inside);
  return s;
}

GtkWidget* in_event_box(GtkWidget* inside) {
  GtkWidget* box = gtk_event_box_new();
  gtk_event_box_set_visible_window(GTK_EVENT_BOX(box), FALSE);
  gtk_container_add(GTK_CONTAINER(box), inside);
  gtk_widget_show(inside);
  return box;
}

}  // namespace

Quiet::Quiet() { ++g_quiet; }
Quiet::~Quiet() { --g_quiet; }
bool quiet() { return g_quiet > 0; }

bool kind_of(const Cell* face, Kind* out) {
  for (u32 k = 0; k < KIND_COUNT; ++k)
    if (face::is_type(face, kKinds[k].type)) {
      *out = Kind(k);
      return true;
    }
  return false;
}

window::Class class_of(Kind k) { return kKinds[k].cls; }
const char* type_name(Kind k) { return kKinds[k].type; }

Kind kind(const Record& w) {
  GtkWidget* g = root_of(w);
  gpointer k = g ? g_object_get_data(G_OBJECT(g), kKindKey) : nullptr;
  return k ? Kind(GPOINTER_TO_INT(k) - 1) : K_PANEL;
}

u32 clicked_radio() { return g_clicked_radio; }

Made make(Kind k, const Cell* face, int width, int height) {
  u32 flags = face_flags(face);
  bool border = !(flags & convert::NO_BORDER);
  bool tall = height > width;
  GtkWidget *root = nullptr, *client = nullptr, *ctl = nullptr;
  switch (k) {
    case K_WINDOW: {
      root = gtk_window_new(GTK_WINDOW_TOPLEVEL);
      GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
      client = container::make(true);
      gtk_box_pack_end(GTK_BOX(column), client, TRUE, TRUE, 0);
      gtk_container_add(GTK_CONTAINER(root), column);
      gtk_widget_show(client);
      gtk_widget_show(column);
      g_object_set_data(G_OBJECT(root), "qel-column", column);
      ctl = root;
      break;
    }
    case K_PANEL: case K_BASE: case K_RICH_TEXT: case K_CAMERA:
      root = client = container::make(true);
      break;
    case K_GROUP_BOX: {
      root = client = container::make(true);
      ctl = gtk_frame_new(nullptr);
      container::style(ctl);
      container::set_backdrop(root, ctl);
      gtk_widget_show(ctl);
      break;
    }
    case K_TAB_PANEL: {
      root = client = container::make(true);
      ctl = gtk_notebook_new();
      // Tabs that do not fit the panel's width scroll, as a tab control's do,
      // instead of asking for more room than the face has.
      gtk_notebook_set_scrollable(GTK_NOTEBOOK(ctl), TRUE);
      container::style(ctl);
      container::set_backdrop(root, ctl);
      gtk_widget_show(ctl);
      break;
    }
    case K_TEXT: {
      ctl = gtk_label_new(nullptr);
      gtk_label_set_line_wrap(GTK_LABEL(ctl), TRUE);
      gtk_label_set_line_wrap_mode(GTK_LABEL(ctl), PANGO_WRAP_WORD_CHAR);
      gtk_label_set_xalign(GTK_LABEL(ctl), 0);
      gtk_label_set_yalign(GTK_LABEL(ctl), 0);
      container::style(ctl);
      root = in_event_box(ctl);
      break;
    }
    case K_FIELD: {
      root = ctl = gtk_entry_new();
      gtk_entry_set_width_chars(GTK_ENTRY(ctl), 0);
      gtk_entry_set_has_frame(GTK_ENTRY(ctl), border);
      if (flags & convert::PASSWORD) {
        gtk_entry_set_visibility(GTK_ENTRY(ctl), FALSE);
        gtk_entry_set_invisible_char(GTK_ENTRY(ctl), 0x25CF);
      }
      if (const Cell* hint = glue::hint(face)) gtk_entry_set_placeholder_text(GTK_ENTRY(ctl), utf8(hint).c_str());
      break;
    }
    case K_AREA: {
      ctl = gtk_text_view_new();
      const Cell* para = face::facet(face, face::PARA);
      bool wraps = para && type_of(para) == TYPE_OBJECT;
      gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(ctl), wraps ? GTK_WRAP_WORD_CHAR : GTK_WRAP_NONE);
      container::style(ctl);
      root = scrolled(ctl, border, !wraps);
      break;
    }
    case K_BUTTON:
      root = ctl = gtk_button_new();
      gtk_container_add(GTK_CONTAINER(ctl), short_label(""));
      gtk_widget_show(label_in(ctl));
      break;
    case K_TOGGLE:
      root = ctl = gtk_toggle_button_new();
      gtk_container_add(GTK_CONTAINER(ctl), short_label(""));
      gtk_widget_show(label_in(ctl));
      break;
    case K_CHECK:
      root = ctl = gtk_check_button_new();
      gtk_container_add(GTK_CONTAINER(ctl), short_label(""));
      gtk_widget_show(label_in(ctl));
      if (flags & convert::TRI_STATE) g_object_set_data(G_OBJECT(ctl), kTriKey, GINT_TO_POINTER(1));
      break;
    case K_RADIO: {
      // A radio of its own: the framework unchecks the others. Its hidden
      // partner holds the group's checked state when it is unchecked.
      GtkWidget* partner = gtk_radio_button_new(nullptr);
      g_object_ref_sink(partner);
      root = ctl = gtk_radio_button_new_from_widget(GTK_RADIO_BUTTON(partner));
      gtk_container_add(GTK_CONTAINER(ctl), short_label(""));
      gtk_widget_show(label_in(ctl));
      g_object_set_data_full(G_OBJECT(ctl), kPartnerKey, partner, g_object_unref);
      break;
    }
    case K_SLIDER: {
      GtkAdjustment* a = gtk_adjustment_new(0, 0, std::max(tall ? height : width, 1), 1, 10, 0);
      root = ctl = gtk_scale_new(tall ? GTK_ORIENTATION_VERTICAL : GTK_ORIENTATION_HORIZONTAL, a);
      gtk_scale_set_draw_value(GTK_SCALE(ctl), FALSE);
      if (tall) gtk_range_set_inverted(GTK_RANGE(ctl), TRUE);
      break;
    }
    case K_PROGRESS: {
      ctl = gtk_progress_bar_new();
      if (tall) {
        gtk_orientable_set_orientation(GTK_ORIENTABLE(ctl), GTK_ORIENTATION_VERTICAL);
        gtk_progress_bar_set_inverted(GTK_PROGRESS_BAR(ctl), TRUE);
      }
      container::style(ctl);
      root = in_event_box(ctl);
      break;
    }
    case K_SCROLLER: {
      GtkAdjustment* a = gtk_adjustment_new(0, 0, 100, 1, 10, 10);
      root = ctl = gtk_scrollbar_new(tall ? GTK_ORIENTATION_VERTICAL : GTK_ORIENTATION_HORIZONTAL, a);
      break;
    }
    case K_TEXT_LIST: {
      GtkListStore* store = gtk_list_store_new(1, G_TYPE_STRING);
      ctl = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
      g_object_unref(store);
      gtk_tree_view_set_headers_visible(GTK_TREE_VIEW(ctl), FALSE);
      gtk_tree_view_append_column(GTK_TREE_VIEW(ctl),
                                  gtk_tree_view_column_new_with_attributes("", gtk_cell_renderer_text_new(), "text", 0,
                                                                           nullptr));
      container::style(ctl);
      root = scrolled(ctl, border, true);
      break;
    }
    case K_DROP_DOWN:
      root = ctl = gtk_combo_box_text_new_with_entry();
      gtk_entry_set_width_chars(GTK_ENTRY(gtk_bin_get_child(GTK_BIN(ctl))), 0);
      break;
    case K_DROP_LIST:
      root = ctl = gtk_combo_box_text_new();
      break;
    case K_CALENDAR:
      root = ctl = gtk_calendar_new();
      break;
    default:
      break;
  }
  container::style(root);
  g_object_set_data(G_OBJECT(root), kKindKey, GINT_TO_POINTER(int(k) + 1));
  return {root, client, ctl ? ctl : root};
}

void connect(Record& w) {
  GtkWidget* c = control(w);
  if (!c) return;
  gpointer id = GUINT_TO_POINTER(w.id);
  switch (kind(w)) {
    case K_BUTTON: case K_TOGGLE: case K_CHECK: case K_RADIO:
      g_signal_connect(c, "clicked", G_CALLBACK(on_clicked), id);
      break;
    case K_FIELD:
      g_signal_connect(c, "changed", G_CALLBACK(on_changed), id);
      g_signal_connect(c, "focus-in-event", G_CALLBACK(on_focus_in), id);
      g_signal_connect(c, "focus-out-event", G_CALLBACK(on_focus_out), id);
      break;
    case K_AREA:
      g_signal_connect(gtk_text_view_get_buffer(GTK_TEXT_VIEW(c)), "changed", G_CALLBACK(on_buffer_changed), id);
      g_signal_connect(c, "focus-in-event", G_CALLBACK(on_focus_in), id);
      g_signal_connect(c, "focus-out-event", G_CALLBACK(on_focus_out), id);
      break;
    case K_SLIDER:
      g_signal_connect(c, "value-changed", G_CALLBACK(on_slider), id);
      break;
    case K_SCROLLER:
      g_signal_connect(c, "change-value", G_CALLBACK(on_scroller), id);
      break;
    case K_TEXT_LIST:
      gtk_tree_selection_set_select_function(gtk_tree_view_get_selection(GTK_TREE_VIEW(c)), may_select, nullptr,
                                             nullptr);
      g_signal_connect(c, "grab-focus", G_CALLBACK(cursor_before_grab), nullptr);
      g_signal_connect(c, "focus-in-event", G_CALLBACK(cursor_before_focus), nullptr);
      g_signal_connect(c, "focus-in-event", G_CALLBACK(on_focus_in), id);
      g_signal_connect(c, "focus-out-event", G_CALLBACK(on_focus_out), id);
      break;
    case K_DROP_DOWN:
    case K_DROP_LIST: {
      GtkWidget* part = focus_part(c);
      g_signal_connect(part, "focus-in-event", G_CALLBACK(on_combo_focus_in), id);
      g_signal_connect(part, "focus-out-event", G_CALLBACK(on_combo_focus_out), id);
      // (the toolkit opens a drop-list's list at a press without moving the
      // focus there; a click focuses it as it does any widget)
      if (part != c && GTK_IS_TOGGLE_BUTTON(part)) g_signal_connect(part, "button-press-event", G_CALLBACK(focus_on_press), nullptr);
      break;
    }
    default:
      break;
  }
}

// ---- state ---------------------------------------------------------------------------------

bool read_text(const Record& w, std::string& out) {
  GtkWidget* c = control(w);
  if (!c) return false;
  if (GTK_IS_ENTRY(c)) {
    out = gtk_entry_get_text(GTK_ENTRY(c));
    return true;
  }
  if (GTK_IS_COMBO_BOX(c) && gtk_combo_box_get_has_entry(GTK_COMBO_BOX(c))) {
    out = gtk_entry_get_text(GTK_ENTRY(gtk_bin_get_child(GTK_BIN(c))));
    return true;
  }
  if (GTK_IS_TEXT_VIEW(c)) {
    GtkTextBuffer* b = gtk_text_view_get_buffer(GTK_TEXT_VIEW(c));
    GtkTextIter start, end;
    gtk_text_buffer_get_bounds(b, &start, &end);
    gchar* t = gtk_text_buffer_get_text(b, &start, &end, FALSE);
    out = t ? t : "";
    g_free(t);
    return true;
  }
  return false;
}

void write_text(Record& w, const Cell* text) {
  GtkWidget* c = control(w);
  if (!c) return;
  std::string t = utf8(text);
  Quiet q;
  if (GTK_IS_WINDOW(c)) {
    gtk_window_set_title(GTK_WINDOW(c), t.c_str());
  } else if (GTK_IS_LABEL(c)) {
    gtk_label_set_text(GTK_LABEL(c), t.c_str());
  } else if (GTK_IS_ENTRY(c)) {
    gtk_entry_set_text(GTK_ENTRY(c), t.c_str());
  } else if (GTK_IS_TEXT_VIEW(c)) {
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(c)), t.data(), gint(t.size()));
  } else if (GTK_IS_FRAME(c)) {
    gtk_frame_set_label(GTK_FRAME(c), t.empty() ? nullptr : t.c_str());
  } else if (GTK_IS_COMBO_BOX(c) && gtk_combo_box_get_has_entry(GTK_COMBO_BOX(c))) {
    gtk_entry_set_text(GTK_ENTRY(gtk_bin_get_child(GTK_BIN(c))), t.c_str());
  } else if (GTK_IS_BUTTON(c)) {
    if (GtkWidget* l = label_in(c)) gtk_label_set_text(GTK_LABEL(l), t.c_str());
  }
}

void text_to_face(const Cell* face_in) {
  api::Values v(3);  // the face, its text, the word `text`
  copy_cell(face_in, v[0]);
  const Cell* h = face::handle_of(v[0]);
  Record* w = h ? window::from_handle(h) : nullptr;
  std::string text;
  if (!w || !read_text(*w, text)) return;
  Cell* facet = face::facet(v[0], face::TEXT);
  if (!facet) return;
  if (type_of(facet) == TYPE_STRING) {
    copy_cell(facet, v[1]);
    string::reset_buffer(v[1]);
  } else {
    string::make_at(v[1], u32(text.size()), 2);
  }
  const u8* p = reinterpret_cast<const u8*>(text.data());
  string::append_utf8(v[1], p, p + text.size());
  if ((facet = face::facet(v[0], face::TEXT))) copy_cell(v[1], facet);
  word::make_at(symbol::make("text"), v[2]);
  ownership::bind(v[1], v[0], v[2]);
}

void sync_text(Record& w) {
  const Cell* f = window::face(w);
  if (!f || (u32(window::get(w, window::FLAGS)) & convert::NO_SYNC)) return;
  api::Values v(1);
  copy_cell(f, v[0]);
  text_to_face(v[0]);
}

void update_text() {
  text_to_face(api::arg(0));
  api::answer_none();
}

glue::Check check_state(const Record& w) {
  GtkWidget* c = control(w);
  if (!c || !GTK_IS_TOGGLE_BUTTON(c)) return glue::UNCHECKED;
  if (gtk_toggle_button_get_inconsistent(GTK_TOGGLE_BUTTON(c))) return glue::INDETERMINATE;
  return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(c)) ? glue::CHECKED : glue::UNCHECKED;
}

namespace {

void show_check(GtkWidget* c, glue::Check s) {
  Quiet q;
  if (GTK_IS_RADIO_BUTTON(c) && s != glue::CHECKED) {
    // A radio is unchecked by checking its partner.
    if (auto* partner = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(c), kPartnerKey)))
      gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(partner), TRUE);
  } else {
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(c), s == glue::CHECKED);
  }
  gtk_toggle_button_set_inconsistent(GTK_TOGGLE_BUTTON(c), s == glue::INDETERMINATE);
  if (GTK_IS_RADIO_BUTTON(c)) g_object_set_data(G_OBJECT(c), kCheckedKey, GINT_TO_POINTER(s == glue::CHECKED));
}

}  // namespace

glue::Check cycle_check(Record& w) {
  GtkWidget* c = control(w);
  if (!c || !GTK_IS_TOGGLE_BUTTON(c)) return glue::UNCHECKED;
  // The click has toggled the box already; the state before it decides.
  auto before = glue::Check(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(c), kCheckedKey)));
  glue::Check next = before == glue::UNCHECKED ? glue::CHECKED
                     : before == glue::CHECKED ? glue::INDETERMINATE
                                               : glue::UNCHECKED;
  show_check(c, next);
  g_object_set_data(G_OBJECT(c), kCheckedKey, GINT_TO_POINTER(int(next)));
  return next;
}

bool radio_was_checked(Record& w) {
  GtkWidget* c = control(w);
  if (!c) return false;
  bool was = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(c), kCheckedKey)) != 0;
  g_object_set_data(G_OBJECT(c), kCheckedKey, GINT_TO_POINTER(check_state(w) == glue::CHECKED));
  return was;
}

void write_check(Record& w, const Cell* data) {
  GtkWidget* c = control(w);
  if (!c || !GTK_IS_TOGGLE_BUTTON(c)) return;
  bool tri = g_object_get_data(G_OBJECT(c), kTriKey) != nullptr;
  glue::Check s = glue::check_of_data(data, tri);
  show_check(c, s);
  if (tri) g_object_set_data(G_OBJECT(c), kCheckedKey, GINT_TO_POINTER(int(s)));
}

namespace {

// A text index (0-based characters) of a text view or entry, clamped.
i32 clamp_index(i32 i, i32 length) { return std::clamp(i, 0, length); }

}  // namespace

void apply_tabs(Record& w) {
  GtkWidget* c = control(w);
  const Cell* f = window::face(w);
  if (!c || !f || !GTK_IS_TEXT_VIEW(c)) return;
  i32 stop = glue::tab_stop(f);
  PangoContext* pc = gtk_widget_get_pango_context(c);
  PangoFontMetrics* m = pango_context_get_metrics(pc, pango_context_get_font_description(pc), nullptr);
  double char_width = double(pango_font_metrics_get_approximate_char_width(m)) / PANGO_SCALE;
  pango_font_metrics_unref(m);
  PangoTabArray* tabs = pango_tab_array_new(1, TRUE);
  pango_tab_array_set_tab(tabs, 0, PANGO_TAB_LEFT, std::max(1, int(std::lround(stop * char_width / 4))));
  gtk_text_view_set_tabs(GTK_TEXT_VIEW(c), tabs);
  pango_tab_array_free(tabs);
}

void apply_selection(Record& w) {
  GtkWidget* c = control(w);
  const Cell* f = window::face(w);
  const Cell* sel = f ? face::facet(f, face::SELECTED) : nullptr;
  if (!c || !sel || type_of(sel) != TYPE_PAIR) return;
  i32 a = pair::x(sel) - 1, b = pair::y(sel);  // 1-based first and last: [a, b)
  if (a > b) std::swap(a, b), a -= 1, b += 1;
  Quiet q;
  if (GTK_IS_ENTRY(c)) {
    i32 n = i32(gtk_entry_get_text_length(GTK_ENTRY(c)));
    gtk_editable_select_region(GTK_EDITABLE(c), clamp_index(a, n), clamp_index(b, n));
  } else if (GTK_IS_TEXT_VIEW(c)) {
    GtkTextBuffer* buf = gtk_text_view_get_buffer(GTK_TEXT_VIEW(c));
    i32 n = gtk_text_buffer_get_char_count(buf);
    GtkTextIter s, e;
    gtk_text_buffer_get_iter_at_offset(buf, &s, clamp_index(a, n));
    gtk_text_buffer_get_iter_at_offset(buf, &e, clamp_index(b, n));
    gtk_text_buffer_select_range(buf, &s, &e);
  }
}

void read_selection(Record& w) {
  GtkWidget* c = control(w);
  Cell* f = window::face(w);
  if (!c || !f) return;
  gint start = 0, end = 0;
  if (GTK_IS_ENTRY(c)) {
    gtk_editable_get_selection_bounds(GTK_EDITABLE(c), &start, &end);
  } else if (GTK_IS_TEXT_VIEW(c)) {
    GtkTextIter s, e;
    gtk_text_buffer_get_selection_bounds(gtk_text_view_get_buffer(GTK_TEXT_VIEW(c)), &s, &e);
    start = gtk_text_iter_get_offset(&s);
    end = gtk_text_iter_get_offset(&e);
  } else {
    return;
  }
  glue::selection_to_face(f, start, end);
}

namespace {

// The long side of the face's size in pixels.
double long_side(const Cell* face) {
  double x = 0, y = 0;
  units::read_point(face::facet(face, face::SIZE), &x, &y);
  return units::to_pixels(float(std::max(x, y)));
}

}  // namespace

void write_range(Record& w) {
  GtkWidget* c = control(w);
  const Cell* f = window::face(w);
  if (!c || !f) return;
  double length = std::max(long_side(f), 1.0);
  Quiet q;
  if (GTK_IS_RANGE(c)) gtk_range_set_range(GTK_RANGE(c), 0, length);
}

void write_position(Record& w, const Cell* data) {
  GtkWidget* c = control(w);
  const Cell* f = window::face(w);
  if (!c || !f || (type_of(data) != TYPE_FLOAT && type_of(data) != TYPE_PERCENT)) return;
  Quiet q;
  if (GTK_IS_PROGRESS_BAR(c)) {
    double v = float_of(data);
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(c), std::isnan(v) ? 0 : std::clamp(v, 0.0, 1.0));
  } else if (GTK_IS_RANGE(c)) {
    double length = gtk_adjustment_get_upper(gtk_range_get_adjustment(GTK_RANGE(c)));
    gtk_range_set_value(GTK_RANGE(c), glue::position_from_data(data, length));
  }
}

void scroller_setup(Record& w) {
  Cell* f = window::face(w);
  Cell* sel = f ? face::facet(f, face::SELECTED) : nullptr;
  if (!sel) return;
  double ratio = glue::ratio_of(sel);
  if (ratio < 0) {
    ratio = 0.1;
    set_type(make_float(sel, 0.1), TYPE_PERCENT);
  }
  GtkWidget* c = control(w);
  if (c && GTK_IS_RANGE(c)) {
    Quiet q;
    GtkAdjustment* a = gtk_range_get_adjustment(GTK_RANGE(c));
    gtk_adjustment_configure(a, 0, 0, 100, 1, ratio * 100, ratio * 100);
  }
  if (Cell* data = face::facet(window::face(w), face::DATA)) make_float(data, 0.0);
}

void scroller_page(Record& w, const Cell* selected) {
  GtkWidget* c = control(w);
  double ratio = glue::ratio_of(selected);
  if (!c || !GTK_IS_RANGE(c) || ratio < 0) return;
  Quiet q;
  GtkAdjustment* a = gtk_range_get_adjustment(GTK_RANGE(c));
  double span = gtk_adjustment_get_upper(a) - gtk_adjustment_get_lower(a);
  gtk_adjustment_set_page_size(a, ratio * span);
  gtk_adjustment_set_page_increment(a, ratio * span);
}

void scroller_position(Record& w, const Cell* data) {
  GtkWidget* c = control(w);
  if (!c || !GTK_IS_RANGE(c) || type_of(data) != TYPE_FLOAT) return;
  double v = float_of(data);
  v = std::isnan(v) ? 0 : std::clamp(v, 0.0, 1.0);
  Quiet q;
  GtkAdjustment* a = gtk_range_get_adjustment(GTK_RANGE(c));
  double lo = gtk_adjustment_get_lower(a), hi = gtk_adjustment_get_upper(a);
  gtk_adjustment_set_value(a, lo + std::trunc(v * (hi - lo)));
}

namespace {

// The CSS colour of a colour value (straight alpha, transparency byte 3).
std::string css_colour(u32 c) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "rgba(%u,%u,%u,%.3f)", c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF,
                (255 - (c >> 24)) / 255.0);
  return buf;
}

// The widget's own style sheet (replaced by the next one).
void style_widget(GtkWidget* g, const std::string& css) {
  constexpr const char* kProviderKey = "qel-look";
  GtkStyleContext* ctx = gtk_widget_get_style_context(g);
  if (auto* old = static_cast<GtkCssProvider*>(g_object_get_data(G_OBJECT(g), kProviderKey)))
    gtk_style_context_remove_provider(ctx, GTK_STYLE_PROVIDER(old));
  if (css.empty()) {
    g_object_set_data(G_OBJECT(g), kProviderKey, nullptr);
    return;
  }
  GtkCssProvider* p = gtk_css_provider_new();
  gtk_css_provider_load_from_data(p, css.c_str(), -1, nullptr);
  gtk_style_context_add_provider(ctx, GTK_STYLE_PROVIDER(p), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION + 1);
  g_object_set_data_full(G_OBJECT(g), kProviderKey, p, g_object_unref);
}

bool tuple_colour(const Cell* c, u32* out) {
  if (!c || type_of(c) != TYPE_TUPLE) return false;
  *out = draw::colour_of_tuple(c);
  return true;
}

}  // namespace

void apply_look(Record& w) {
  GtkWidget* c = control(w);
  GtkWidget* root = root_of(w);
  Kind k = kind(w);
  if (!c || k == K_WINDOW || k == K_PANEL || k == K_BASE || k == K_RICH_TEXT || k == K_CAMERA) return;
  api::Values v(2);  // the face, its font
  const Cell* f = window::face(w);
  if (!f) return;
  copy_cell(f, v[0]);
  std::string css;
  const Cell* font = face::facet(v[0], face::FONT);
  if (font && type_of(font) == TYPE_OBJECT) {
    copy_cell(font, v[1]);
    if (const text::fonts::FontHandle* h = text::fonts::font_handle(v[0], v[1])) {
      const PangoFontDescription* d = h->desc;
      if (const char* family = pango_font_description_get_family(d)) css += std::string("font-family: \"") + family + "\";";
      double size = double(pango_font_description_get_size(d)) / PANGO_SCALE;
      if (size > 0)
        css += "font-size: " + std::to_string(size) + (pango_font_description_get_size_is_absolute(d) ? "px;" : "pt;");
      css += "font-weight: " + std::to_string(int(pango_font_description_get_weight(d))) + ";";
      if (pango_font_description_get_style(d) != PANGO_STYLE_NORMAL) css += "font-style: italic;";
      if (h->underline || h->strike)
        css += std::string("text-decoration-line:") + (h->underline ? " underline" : "") + (h->strike ? " line-through" : "") + ";";
    }
    constexpr u32 FONT_COLOR = 4;  // font! words: name size style angle color ...
    u32 colour;
    if (tuple_colour(face::facet(v[1], FONT_COLOR), &colour)) css += "color: " + css_colour(colour) + ";";
  }
  u32 colour;
  std::string background;
  if (tuple_colour(face::facet(v[0], face::COLOR), &colour))
    background = "background-color: " + css_colour(colour) + "; background-image: none;";
  // A label in an event box gets its background from the box. The look
  // leaves selected rows and selected text alone, so that a selection keeps
  // the theme's highlight on a coloured list or field.
  constexpr const char* kUnselected = "*:not(:selected):not(selection) {";
  GtkWidget* painted = GTK_IS_EVENT_BOX(root) ? root : c;
  std::string own = painted == c ? css + background : css;
  style_widget(c, own.empty() ? "" : kUnselected + own + "}");
  if (painted != c) {
    gtk_event_box_set_visible_window(GTK_EVENT_BOX(root), !background.empty());
    style_widget(painted, background.empty() ? "" : kUnselected + background + "}");
  }
}

void apply_para(Record& w, bool from_para) {
  GtkWidget* c = control(w);
  const Cell* f = window::face(w);
  if (!c || !f) return;
  text::init_names();
  text::Name type = text::face_type(f);
  if (from_para) {
    const Cell* para = face::facet(f, face::PARA);
    window::set(w, window::PARA_STYLE, i32(text::fonts::para_style_flags(type, para)));
    if (!para || type_of(para) != TYPE_OBJECT) return;
  }
  u32 bits = u32(window::get(w, window::PARA_STYLE));
  Quiet q;
  switch (kind(w)) {
    case K_BUTTON: case K_TOGGLE: case K_CHECK: case K_RADIO: {
      GtkWidget* l = label_in(c);
      if (!l) return;
      u32 h = bits & 0x300, vbits = bits & 0xC00;
      gtk_label_set_xalign(GTK_LABEL(l), h == 0x100 ? 0.0f : h == 0x200 ? 1.0f : 0.5f);
      gtk_label_set_yalign(GTK_LABEL(l), vbits == 0x400 ? 0.0f : vbits == 0x800 ? 1.0f : 0.5f);
      break;
    }
    case K_TEXT: {
      u32 h = bits & 3;
      gtk_label_set_xalign(GTK_LABEL(c), h == 1 ? 0.5f : h == 2 ? 1.0f : 0.0f);
      gtk_label_set_yalign(GTK_LABEL(c), (bits & 0x200) ? 0.5f : 0.0f);
      gtk_label_set_justify(GTK_LABEL(c), h == 1 ? GTK_JUSTIFY_CENTER : h == 2 ? GTK_JUSTIFY_RIGHT : GTK_JUSTIFY_LEFT);
      bool ellipsis = bits & 0x4000;
      gtk_label_set_line_wrap(GTK_LABEL(c), !ellipsis);
      gtk_label_set_ellipsize(GTK_LABEL(c), ellipsis ? PANGO_ELLIPSIZE_END : PANGO_ELLIPSIZE_NONE);
      break;
    }
    case K_FIELD: {
      u32 h = bits & 3;
      gtk_entry_set_alignment(GTK_ENTRY(c), h == 1 ? 0.5f : h == 2 ? 1.0f : 0.0f);
      break;
    }
    case K_AREA: {
      u32 h = bits & 3;
      gtk_text_view_set_justification(GTK_TEXT_VIEW(c), h == 1 ? GTK_JUSTIFY_CENTER : h == 2 ? GTK_JUSTIFY_RIGHT : GTK_JUSTIFY_LEFT);
      gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(c), (bits & 0xC0) ? GTK_WRAP_NONE : GTK_WRAP_WORD_CHAR);
      break;
    }
    default:
      break;
  }
}

namespace {

constexpr const char* kBarKeys[2] = {"qel-hbar", "qel-vbar"};

GtkWidget* scroll_bar(const Record& w, bool vertical) {
  GtkWidget* g = root_of(w);
  return g ? static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(g), kBarKeys[vertical])) : nullptr;
}

// The user moved one of a face's own scroll bars: `scroll`, with the step
// and the position asked for; the bar stays until the face moves it.
gboolean on_own_bar(GtkRange* range, GtkScrollType type, double value, gpointer id) {
  if (g_quiet) return TRUE;
  guard::run([&] {
    Record* w = live(id);
    if (!w) return;
    messages::Message m;
    m.window = w->id;
    m.code = vertical(GTK_WIDGET(range)) ? messages::VSCROLL : messages::HSCROLL;
    u32 code = scroll_code(type);
    m.wparam = code == 6 || code == 7 ? 5 : code;  // start and end: a track to there
    m.lparam = i64(std::lround(value));
    input::Current scope(&m);
    input::dispatch(m);
  });
  return TRUE;
}

int bar_thickness(GtkWidget* bar, bool vertical) {
  int min = 0, natural = 0;
  if (vertical) gtk_widget_get_preferred_width(bar, &min, &natural);
  else gtk_widget_get_preferred_height(bar, &min, &natural);
  return std::max(min, natural);
}

}  // namespace

void add_scroll_bars(Record& w, int width, int height) {
  GtkWidget* box = windows::client(w);
  if (!box || !container::is(box)) return;
  for (bool v : {false, true}) {
    GtkAdjustment* a = gtk_adjustment_new(0, 0, 100, 1, 10, 10);
    GtkWidget* bar = gtk_scrollbar_new(v ? GTK_ORIENTATION_VERTICAL : GTK_ORIENTATION_HORIZONTAL, a);
    container::style(bar);
    g_object_set_data(G_OBJECT(root_of(w)), kBarKeys[v], bar);
    g_signal_connect(bar, "change-value", G_CALLBACK(on_own_bar), GUINT_TO_POINTER(w.id));
    container::put(box, bar, 0, 0, 0, 0);
    gtk_widget_show(bar);
  }
  place_scroll_bars(w, width, height);
}

void place_scroll_bars(Record& w, int width, int height) {
  GtkWidget* box = windows::client(w);
  GtkWidget* h = scroll_bar(w, false);
  GtkWidget* v = scroll_bar(w, true);
  if (!box || !h || !v) return;
  int tv = bar_thickness(v, true), th = bar_thickness(h, false);
  int hv = gtk_widget_get_visible(h) ? th : 0, vv = gtk_widget_get_visible(v) ? tv : 0;
  container::put(box, v, width - tv, 0, tv, std::max(height - hv, 0));
  container::put(box, h, 0, height - th, std::max(width - vv, 0), th);
}

void update_scroller() {
  api::Values v(2);  // the scroller, its parent face
  copy_cell(api::arg(0), v[0]);
  u32 word = u32(int_of(api::arg(1)));
  const Cell* parent = face::facet(v[0], face::SCROLLER_PARENT);
  if (parent) copy_cell(parent, v[1]);
  const Cell* h = parent ? face::handle_of(v[1]) : nullptr;
  Record* w = h ? window::from_handle(h) : nullptr;
  const Cell* vert = face::facet(v[0], face::SCROLLER_VERTICAL_Q);
  GtkWidget* bar = w ? scroll_bar(*w, !(vert && type_of(vert) == TYPE_LOGIC && !logic_of(vert))) : nullptr;
  if (!bar) {
    api::answer_none();
    return;
  }
  auto number = [&](u32 i, double otherwise) {
    const Cell* c = face::facet(v[0], i);
    if (!c) return otherwise;
    if (type_of(c) == TYPE_INTEGER) return double(int_of(c));
    if (type_of(c) == TYPE_FLOAT || type_of(c) == TYPE_PERCENT) return float_of(c);
    return otherwise;
  };
  glue::ScrollerUpdate u = glue::scroller_update(word);
  GtkAdjustment* a = gtk_range_get_adjustment(GTK_RANGE(bar));
  Quiet q;
  if (u.position) gtk_adjustment_set_value(a, number(face::SCROLLER_POSITION, 0));
  if (u.range) {
    // A scroll bar's last position is its maximum less its page, plus one.
    double page = std::max(number(face::SCROLLER_PAGE_SIZE, 0), 0.0);
    double max = std::max(number(face::SCROLLER_MAX_SIZE, 0), 0.0);
    gtk_adjustment_configure(a, gtk_adjustment_get_value(a), 0, max + 1, 1, page, page);
  }
  if (u.visibility) {
    const Cell* vis = face::facet(v[0], face::SCROLLER_VISIBLE_Q);
    gtk_widget_set_visible(bar, !(vis && type_of(vis) == TYPE_LOGIC && !logic_of(vis)));
    int width = 0, height = 0;
    if (units::read_pixels(face::facet(window::face(*w), face::SIZE), &width, &height))
      place_scroll_bars(*w, width, height);
  }
  api::answer_none();
}

void window_command(Record& w, u32 type) {
  GtkWidget* g = root_of(w);
  if (!g || !GTK_IS_WINDOW(g)) return;
  GtkWindow* win = GTK_WINDOW(g);
  switch (type) {
    case event::MINIMIZE:
      gtk_window_iconify(win);
      break;
    case event::MAXIMIZE:
      gtk_window_maximize(win);
      break;
    default:
      gtk_window_deiconify(win);
      gtk_window_unmaximize(win);
      gtk_window_present(win);
      painter::show(w);
      break;
  }
}

}  // namespace qel::view::backend::widgets
