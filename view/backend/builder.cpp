#include "view/backend/builder.hpp"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/event.hpp"
#include "datatypes/float.hpp"
#include "datatypes/image.hpp"
#include "datatypes/object.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "view/backend/base.hpp"
#include "view/backend/container.hpp"
#include "view/backend/display.hpp"
#include "view/backend/draw/graphics.hpp"
#include "view/backend/input.hpp"
#include "view/backend/input_method.hpp"
#include "view/backend/loop.hpp"
#include "view/backend/painter.hpp"
#include "view/backend/procedures.hpp"
#include "view/backend/text/text_box.hpp"
#include "view/backend/widget_items.hpp"
#include "view/backend/widgets.hpp"
#include "view/backend/windows.hpp"
#include "view/convert.hpp"
#include "view/face.hpp"
#include "view/glue.hpp"
#include "view/module.hpp"
#include "view/test_hooks.hpp"
#include "view/units.hpp"

namespace qel::view::backend::builder {

namespace {

using widgets::Kind;
using window::Record;

// Facet bits of the changed-facet mask.
constexpr u32 bit(u32 facet) { return 1u << facet; }

// ---- reading facets -------------------------------------------------------------------

struct Size {
  double x = 0, y = 0;
};

Size facet_point(const Cell* face, u32 facet) {
  Size s;
  units::read_point(face::facet(face, facet), &s.x, &s.y);
  return s;
}

int px(double logical) { return units::to_pixels(float(logical)); }

bool logic_facet(const Cell* face, u32 facet, bool otherwise) {
  const Cell* v = face::facet(face, facet);
  return v && type_of(v) == TYPE_LOGIC ? logic_of(v) : otherwise;
}

// Whether the face's widget is on screen: its `visible?`, and for a base face
// marked as a caret (its `caret` option) its `enabled?` too: the console
// hides its caret by disabling it, and a disabled caret is not drawn.
bool on_screen(widgets::Kind k, const Cell* face) {
  if (!logic_facet(face, face::VISIBLE_Q, true)) return false;
  return k != widgets::K_BASE || !glue::option(face, "caret") || logic_facet(face, face::ENABLED_Q, true);
}

bool is_block(const Cell* face, u32 facet) {
  const Cell* v = face::facet(face, facet);
  return v && type_of(v) == TYPE_BLOCK;
}

[[noreturn]] void face_type_error(const Cell* face) {
  const Cell* t = face::facet(face, face::TYPE);
  Cell type = t ? *t : Cell{TYPE_NONE, 0, 0, 0};
  fire(Err::script_face_type, &type);
}

// ---- windows --------------------------------------------------------------------------------

// The height of a window's menu bar (0 without one).
int menu_height(GtkWidget* window) {
  auto* column = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(window), "qel-column"));
  if (!column) return 0;
  int h = 0;
  GList* kids = gtk_container_get_children(GTK_CONTAINER(column));
  for (GList* k = kids; k; k = k->next)
    if (GTK_IS_MENU_BAR(k->data) && gtk_widget_get_visible(GTK_WIDGET(k->data))) {
      int min = 0;
      gtk_widget_get_preferred_height(GTK_WIDGET(k->data), &min, nullptr);
      h += min;
    }
  g_list_free(kids);
  return h;
}

void window_geometry(Record& w, int x, int y, int width, int height, bool move) {
  GtkWidget* g = windows::widget(w);
  if (!g || !GTK_IS_WINDOW(g)) return;
  if (move) {
    gtk_window_move(GTK_WINDOW(g), x, y);
    windows::forget_origins();
  }
  if (GtkWidget* client = windows::client(w)) container::set_natural(client, width, height);
  int outer = height + menu_height(g);
  gtk_window_set_default_size(GTK_WINDOW(g), std::max(width, 1), std::max(outer, 1));
  if (gtk_widget_get_realized(g)) gtk_window_resize(GTK_WINDOW(g), std::max(width, 1), std::max(outer, 1));
}

// The window's style from its flags.
void window_style(GtkWidget* g, u32 flags) {
  GtkWindow* win = GTK_WINDOW(g);
  gtk_window_set_resizable(win, (flags & convert::RESIZE) != 0);
  if (flags & (convert::NO_TITLE | convert::NO_BORDER)) gtk_window_set_decorated(win, FALSE);
  if (flags & convert::POPUP) gtk_window_set_type_hint(win, GDK_WINDOW_TYPE_HINT_UTILITY);
  if (flags & convert::NO_BUTTONS) gtk_window_set_deletable(win, FALSE);
  if (flags & convert::MODAL) {
    // Owned by the active window, as a dialog is.
    GList* tops = gtk_window_list_toplevels();
    for (GList* l = tops; l; l = l->next) {
      GtkWindow* t = GTK_WINDOW(l->data);
      if (t != win && gtk_window_is_active(t)) gtk_window_set_transient_for(win, t);
    }
    g_list_free(tops);
  }
}

// A colour value of a tuple! facet as 0xAARRGGBB (straight alpha).
bool argb_of(const Cell* c, u32* argb) {
  if (!c || type_of(c) != TYPE_TUPLE) return false;
  u32 v = draw::colour_of_tuple(c);
  *argb = convert::colour_to_argb(v);
  return true;
}

// A window whose colour lets what lies behind it show through gets the
// screen's visual with an alpha channel, and no background of the theme,
// when a compositing manager runs. Without one nothing behind a window can
// show: it keeps the screen's opaque visual.
void window_visual(GtkWidget* g, const Cell* face) {
  u32 argb = 0;
  if (!argb_of(face::facet(face, face::COLOR), &argb) || (argb >> 24) == 0xFF) return;
  GdkScreen* screen = gtk_widget_get_screen(g);
  GdkVisual* rgba = screen && gdk_screen_is_composited(screen) ? gdk_screen_get_rgba_visual(screen) : nullptr;
  if (!rgba) return;
  gtk_widget_set_visual(g, rgba);
  gtk_widget_set_app_paintable(g, TRUE);
}

// Whether a window or panel paints itself: a `draw` block or an image.
bool draws_itself(const Cell* face) {
  const Cell* img = face::facet(face, face::IMAGE);
  return is_block(face, face::DRAW) || (img && type_of(img) == TYPE_IMAGE);
}

// The background of a window or panel that does not paint itself.
void plain_background(Record& w) {
  GtkWidget* client = windows::client(w);
  const Cell* f = window::face(w);
  if (!client || !f || !container::is(client) || base::self_drawn(w)) return;
  u32 argb = 0;
  bool on = argb_of(face::facet(f, face::COLOR), &argb);
  container::set_background(client, on, argb);
}

// ---- creation ----------------------------------------------------------------------------

bool g_started = false;

void uncaught_in_gui(Cell* error);

void kill_timer(Record& w) { loop::kill_timer(w.id); }
void forget_input(Record& w) { input::forget_window(w.id); }
void forget_procedures(Record& w) { procedures::forget(w.id); }

// The floors wired together, once, before the first window: the input
// road, the class procedures, the widgets' context menus, and what each
// floor keeps for a window, released when its widget is destroyed.
void start() {
  if (g_started) return;
  g_started = true;
  loop::install();
  procedures::install();
  input::set_context_menus(widget_items::show_context_menu, widget_items::forget_context_menu);
  loop::on_loop_start(base::paint_waiting);
  for (windows::Release release : {base::release, input_method::release, widget_items::release, kill_timer,
                                   forget_input, forget_procedures})
    windows::on_release(release);
  container::install_style();
  error::uncaught = uncaught_in_gui;
}

// The face's text, font, colours and paragraph on its new widget.
void write_look(Record& w, const Cell* face) {
  widgets::write_text(w, face::facet(face, face::TEXT));
  widgets::apply_look(w);
  widgets::apply_para(w, true);
}

Record* build(Cell* face_in, Record* parent) {
  api::Values v(1);  // the face
  Cell* face = copy_cell(face_in, v[0]);
  Kind k;
  if (!widgets::kind_of(face, &k)) face_type_error(face);
  // What can fail is checked before anything is made.
  const Cell* flags_facet = face::facet(face, face::FLAGS);
  u32 flags = flags_facet ? convert::get_flags(flags_facet) : 0;
  if (const Cell* rate = face::facet(face, face::RATE)) {
    bool ok = is_none(rate) || (type_of(rate) == TYPE_INTEGER && int_of(rate) >= 1) ||
              (type_of(rate) == TYPE_TIME && float_of(rate) > 0);
    if (!ok) fire(Err::script_invalid_facet_type, rate);
  }
  if (!display::open()) module::unavailable("make-view", "no display (DISPLAY is not set, or its X server cannot be reached)");
  start();
  if (parent && (k == widgets::K_PANEL || k == widgets::K_GROUP_BOX))
    widget_items::fit_to_tab_page(*parent, face);
  if (Cell* offset = face::facet(face, face::OFFSET); offset && type_of(offset) == TYPE_PAIR)
    convert::pair_to_point(offset);
  Size at = facet_point(face, face::OFFSET), size = facet_point(face, face::SIZE);
  bool pairs = type_of(face::facet(face, face::SIZE)) == TYPE_PAIR;
  if (k == widgets::K_WINDOW) {
    if (size.x < 0) size.x = 200;
    if (size.y < 0) size.y = 200;
    windows::fix_placement(at.x, at.y, size.x, size.y);
  }
  GtkWidget* parent_client = parent ? windows::client(*parent) : nullptr;
  if (k != widgets::K_WINDOW && (!parent_client || !container::is(parent_client))) {
    // No view is made (the framework raises face-type); the report says why.
    std::fflush(stdout);
    std::fprintf(stderr, "*** View Error: a %s face cannot be made inside %s: its native view holds no faces\n",
                 widgets::type_name(k),
                 parent ? (std::string("a ") + widgets::type_name(widgets::kind(*parent)) + " face").c_str()
                        : "no parent");
    std::fflush(stderr);
    return nullptr;
  }
  int x = px(at.x), y = px(at.y), width = std::max(px(size.x), 0), height = std::max(px(size.y), 0);
  widgets::Made made = widgets::make(k, face, width, height);
  Record* w = window::create(widgets::class_of(k), k == widgets::K_WINDOW ? nullptr : parent);
  windows::attach(*w, made.root, made.client, made.control);
  u32 id = w->id;
  try {
    window::store_face(*w, face);
    window::set(*w, window::FLAGS, i32(flags));
    i32 kind_bits = pairs ? window::KIND_PAIRS : 0;
    if (k == widgets::K_RICH_TEXT) kind_bits |= window::KIND_RICH_TEXT | window::KIND_IME;
    window::set(*w, window::KIND, kind_bits);
    if (k == widgets::K_WINDOW) {
      window::reset_memory(*w);
      window_style(made.root, flags);
      window_visual(made.root, face);
      window_geometry(*w, x, y, width, height, true);
      procedures::connect_window(*w);
      write_look(*w, face);
    } else {
      // The text, font and alignment go to the widget before it joins its
      // window: GTK styles and lays out a widget in a window at each of
      // these changes, and once only for what it is given before.
      write_look(*w, face);
      container::put(parent_client, made.root, x, y, width, height);
      if (on_screen(k, face)) gtk_widget_show(made.root);
      if (!logic_facet(face, face::ENABLED_Q, true)) gtk_widget_set_sensitive(made.root, FALSE);
    }
    windows::apply_cursor(*w, face);
    switch (k) {
      case widgets::K_BASE:
      case widgets::K_RICH_TEXT:
        base::init(*w);
        if (k == widgets::K_RICH_TEXT) input_method::add(*w);
        procedures::connect_base(*w);
        if (flags & convert::SCROLLABLE) widgets::add_scroll_bars(*w, width, height);
        break;
      case widgets::K_WINDOW:
      case widgets::K_PANEL:
        if (draws_itself(face)) base::init(*w);
        else plain_background(*w);
        break;
      case widgets::K_TOGGLE:
      case widgets::K_CHECK:
      case widgets::K_RADIO:
        widgets::write_check(*w, face::facet(face, face::DATA));
        break;
      case widgets::K_SLIDER:
      case widgets::K_PROGRESS:
        widgets::write_range(*w);
        widgets::write_position(*w, face::facet(face, face::DATA));
        break;
      case widgets::K_SCROLLER:
        widgets::scroller_setup(*w);
        break;
      case widgets::K_AREA:
        widgets::apply_tabs(*w);
        widgets::apply_selection(*w);
        break;
      case widgets::K_FIELD:
        widgets::apply_selection(*w);
        break;
      default:
        break;
    }
    if ((w = window::find(id))) widget_items::fill(*w);
    if ((w = window::find(id))) {
      if (const Cell* rate = face::facet(window::face(*w), face::RATE)) loop::set_timer(*w, rate);
      widgets::connect(*w);
      widget_items::connect(*w);
    }
  } catch (...) {
    // A failed creation leaves no window behind.
    if (Record* gone = window::find(id)) {
      window::free_face(*gone);
      if (GtkWidget* g = windows::widget(*gone)) {
        // (a widget that failed before joining its window is still
        // floating: it is owned here so that destroying it frees it)
        bool floating = g_object_is_floating(g);
        if (floating) g_object_ref_sink(g);
        gtk_widget_destroy(g);
        if (floating) g_object_unref(g);
      }
    }
    throw;
  }
  return window::find(id);
}

// ---- change-facets -------------------------------------------------------------------------

Record* record_of_face(const Cell* face) {
  const Cell* h = face::handle_of(face);
  return h ? window::from_handle(h) : nullptr;
}

// The changed-facet mask in the face's `state` (the integer after the
// handle); -1 when the state holds none.
i64 read_mask(const Cell* face) {
  const Cell* state = face::facet(face, face::STATE);
  if (!state || type_of(state) != TYPE_BLOCK) return -1;
  i32 at = std::max(series_index(state), 0);
  const mem::Buffer* b = mem::buffer_of(series_node(state));
  if (u32(at + 1) >= b->used() / sizeof(Cell)) return -1;
  const Cell* m = b->cells() + at + 1;
  return type_of(m) == TYPE_INTEGER ? i64(u32(int_of(m))) : -1;
}

void write_mask(const Cell* face, u32 mask) {
  const Cell* state = face::facet(face, face::STATE);
  if (!state || type_of(state) != TYPE_BLOCK) return;
  i32 at = std::max(series_index(state), 0);
  mem::Buffer* b = mem::buffer_of(series_node(state));
  if (u32(at + 1) >= b->used() / sizeof(Cell)) return;
  make_integer(b->cells() + at + 1, i32(mask));
}

// A self-drawn face (or a window or panel that becomes one) paints again.
void repaint(Record& w, Kind k) {
  const Cell* f = window::face(w);
  if (!base::self_drawn(w) && f && (k == widgets::K_WINDOW || k == widgets::K_PANEL) && draws_itself(f))
    base::init(w);
  if (base::self_drawn(w)) {
    base::invalidate(w);
  } else {
    plain_background(w);
    if (GtkWidget* g = windows::widget(w)) gtk_widget_queue_draw(g);
  }
}

// The stacking of the pane's faces follows the pane, first lowest.
void restack(Record& w) {
  GtkWidget* client = windows::client(w);
  const Cell* f = window::face(w);
  const Cell* pane = f ? face::facet(f, face::PANE) : nullptr;
  if (!client || !container::is(client) || !pane || type_of(pane) != TYPE_BLOCK) return;
  std::vector<GtkWidget*> order;
  u32 node = series_node(pane);
  u32 n = mem::buffer_of(node)->used() / sizeof(Cell);
  for (u32 i = u32(std::max(series_index(pane), 0)); i < n; ++i) {
    const Cell* h = face::handle_of(mem::buffer_of(node)->cells() + i);
    Record* r = h ? window::from_handle(h) : nullptr;
    if (r && r->parent == &w)
      if (GtkWidget* g = windows::widget(*r)) order.push_back(g);
  }
  container::restack(client, order.data(), int(order.size()));
}

void apply(Record& w, u32 bits) {
  u32 id = w.id;
  Kind k = widgets::kind(w);
  api::Values v(1);  // the face
  auto face = [&]() -> Cell* {
    Record* r = window::find(id);
    const Cell* f = r ? window::face(*r) : nullptr;
    if (!f) return nullptr;
    return copy_cell(f, v[0]);
  };
  auto rec = [&]() { return window::find(id); };
  Cell* f = face();
  if (!f) return;
  GtkWidget* root = windows::widget(w);
  bool window_face = k == widgets::K_WINDOW;
  if (bits & bit(face::OFFSET)) {
    Size at = facet_point(f, face::OFFSET);
    if (window_face) {
      Size size = facet_point(f, face::SIZE);
      windows::fix_placement(at.x, at.y, size.x, size.y);
      if (root && GTK_IS_WINDOW(root)) {
        gtk_window_move(GTK_WINDOW(root), px(at.x), px(at.y));
        windows::forget_origins();
      }
    } else if (w.parent) {
      if (GtkWidget* pc = windows::client(*w.parent); pc && container::is(pc)) container::move(pc, root, px(at.x), px(at.y));
    }
  }
  if (bits & bit(face::SIZE)) {
    Size size = facet_point(f, face::SIZE);
    bool pairs = type_of(face::facet(f, face::SIZE)) == TYPE_PAIR;
    window::set(w, window::KIND, (window::get(w, window::KIND) & ~window::KIND_PAIRS) | (pairs ? window::KIND_PAIRS : 0));
    int width = std::max(px(size.x), 0), height = std::max(px(size.y), 0);
    if (window_face) {
      Size at = facet_point(f, face::OFFSET);
      window_geometry(w, px(at.x), px(at.y), width, height, false);
    } else if (w.parent) {
      if (GtkWidget* pc = windows::client(*w.parent); pc && container::is(pc)) container::resize(pc, root, width, height);
    }
    if (base::self_drawn(w)) base::invalidate(w);
    widgets::place_scroll_bars(w, width, height);
    if (k == widgets::K_SLIDER || k == widgets::K_PROGRESS) {
      widgets::write_range(w);
      widgets::write_position(w, face::facet(f, face::DATA));
    }
    if (k == widgets::K_TAB_PANEL || k == widgets::K_CAMERA) widget_items::size_changed(w);
  }
  if ((bits & bit(face::TEXT)) && rec()) {
    if (base::self_drawn(w)) base::invalidate(w);
    else widgets::write_text(w, face::facet(f, face::TEXT));
  }
  if ((bits & bit(face::DATA)) && rec() && (f = face())) {
    const Cell* data = face::facet(f, face::DATA);
    switch (k) {
      case widgets::K_SLIDER: case widgets::K_PROGRESS: widgets::write_position(w, data); break;
      case widgets::K_SCROLLER: widgets::scroller_position(w, data); break;
      case widgets::K_CHECK: case widgets::K_TOGGLE: widgets::write_check(w, data); break;
      case widgets::K_RADIO: {
        widgets::write_check(w, data);
        // An unchecked radio tells its face (not the one being clicked).
        if (!(type_of(data) == TYPE_LOGIC && logic_of(data)) && widgets::clicked_radio() != id)
          input::command_event(id, event::CHANGE);
        break;
      }
      case widgets::K_RICH_TEXT: base::invalidate(w); break;
      case widgets::K_TEXT_LIST: case widgets::K_DROP_DOWN: case widgets::K_DROP_LIST: case widgets::K_TAB_PANEL:
      case widgets::K_CALENDAR:
        widget_items::data_changed(w);
        break;
      default: break;
    }
  }
  Record* r = rec();
  if (!r || !(f = face())) return;
  if ((bits & bit(face::ENABLED_Q)) && !window_face && root)
    gtk_widget_set_sensitive(root, logic_facet(f, face::ENABLED_Q, true));
  if ((bits & (bit(face::VISIBLE_Q) | bit(face::ENABLED_Q))) && root) {
    if (window_face ? logic_facet(f, face::VISIBLE_Q, true) : on_screen(k, f)) {
      if (window_face) painter::show(*r);
      else gtk_widget_show(root);
    } else {
      gtk_widget_hide(root);
      if (window_face) window::set(*r, window::SHOW, 1);
    }
  }
  if (bits & bit(face::SELECTED)) {
    const Cell* sel = face::facet(f, face::SELECTED);
    switch (k) {
      case widgets::K_SCROLLER: widgets::scroller_page(*r, sel); break;
      case widgets::K_FIELD: case widgets::K_AREA: widgets::apply_selection(*r); break;
      case widgets::K_WINDOW: windows::focus_selected(*r); break;
      case widgets::K_TEXT_LIST: case widgets::K_DROP_DOWN: case widgets::K_DROP_LIST: case widgets::K_TAB_PANEL:
      case widgets::K_CAMERA:
        widget_items::selected_changed(*r);
        break;
      default: break;
    }
  }
  if (bits & bit(face::FLAGS)) {
    u32 flags = convert::get_flags(face::facet(f, face::FLAGS));
    window::set(*r, window::FLAGS, i32(flags));
    if (k == widgets::K_FIELD) {
      GtkWidget* c = windows::control(*r);
      gtk_entry_set_visibility(GTK_ENTRY(c), !(flags & convert::PASSWORD));
      if (flags & convert::PASSWORD) gtk_entry_set_invisible_char(GTK_ENTRY(c), 0x25CF);
      gtk_widget_grab_focus(c);
    }
  }
  if (bits & (bit(face::DRAW) | bit(face::COLOR) | bit(face::FONT) | bit(face::PARA) | bit(face::IMAGE)))
    repaint(*r, k);
  if (bits & (bit(face::COLOR) | bit(face::FONT))) widgets::apply_look(*r);
  if (bits & bit(face::PARA)) widgets::apply_para(*r, false);
  if (bits & bit(face::PANE)) restack(*r);
  if (bits & bit(face::RATE)) loop::set_timer(*r, face::facet(f, face::RATE));
  if (bits & bit(face::MENU)) widget_items::menu_changed(*r);
  if ((bits & bit(face::IMAGE)) && (k == widgets::K_BUTTON || k == widgets::K_TOGGLE || k == widgets::K_CAMERA))
    widget_items::image_changed(*r);
  if (bits & bit(face::OPTIONS)) windows::apply_cursor(*r, f);
}

// OS-update-view: the changed facets of one face, the mask put back when
// an error stops them.
void update_one(const Cell* face_in) {
  api::Values v(1);
  Cell* f = copy_cell(face_in, v[0]);
  text::mark_stale(f);  // a rich-text face lays its text out again
  Record* w = record_of_face(f);
  if (!w) return;
  i64 mask = read_mask(f);
  if (mask <= 0) {
    base::paint_at_frame(*w);
    return;
  }
  u32 id = w->id;
  write_mask(f, 0);
  i32 dpi = windows::enter_dpi(w);
  try {
    apply(*w, u32(mask));
    if (Record* again = window::find(id)) base::paint_at_frame(*again);
  } catch (...) {
    windows::leave_dpi(dpi);
    write_mask(v[0], u32(read_mask(v[0]) < 0 ? 0 : read_mask(v[0])) | u32(mask));
    throw;
  }
  windows::leave_dpi(dpi);
}

// ---- destroy-view ----------------------------------------------------------------------------

// Removes the face from the `parent` list of its font and para.
void leave_users(const Cell* face_in) {
  api::Values v(2);  // the face, a font or para
  copy_cell(face_in, v[0]);
  for (u32 facet : {face::FONT, face::PARA}) {
    const Cell* obj = face::facet(v[0], facet);
    if (!obj || type_of(obj) != TYPE_OBJECT) continue;
    copy_cell(obj, v[1]);
    u32 ctx = object::context_of(v[1]);
    i32 at = context::find_word(ctx, symbol::make("parent"), true);
    Cell* users = at < 0 ? nullptr : context::slot(ctx, u32(at));
    if (!users || type_of(users) != TYPE_BLOCK) continue;
    u32 node = series_node(users);
    u32 n = mem::buffer_of(node)->used() / sizeof(Cell);
    Cell* cells = mem::buffer_of(node)->cells();
    for (u32 i = 0; i < n; ++i)
      if (type_of(cells + i) == TYPE_OBJECT && object::context_of(cells + i) == object::context_of(v[0])) {
        for (u32 j = i; j + 1 < n; ++j) cells[j] = cells[j + 1];
        Cell b;
        make_series(&b, TYPE_BLOCK, node);
        block::clear_at(&b, n - 1);
        break;
      }
  }
}

// Destroys the native side of the face tree: sub-faces first, the face's
// window memory and its slot, `state` none; the top face's window closes.
void free_faces(const Cell* face_in, bool top) {
  // The records whose sub-faces are being freed, outermost first: a face
  // met again below itself (a pane set quietly to hold an ancestor) is
  // freed once, by the outer call.
  static std::vector<u32> path;
  api::Values v(2);  // the face; a sub-face
  copy_cell(face_in, v[0]);
  Record* w = record_of_face(v[0]);
  if (!w) return;
  u32 id = w->id;
  if (std::find(path.begin(), path.end(), id) != path.end()) return;
  path.push_back(id);
  struct Pop {
    ~Pop() { path.pop_back(); }
  } pop;
  bool is_window = face::is_type(v[0], "window");
  if (is_window && windows::widget(*w)) gtk_widget_hide(windows::widget(*w));
  loop::kill_timer(id);
  leave_users(v[0]);
  // Sub-faces first.
  if (const Cell* pane = face::facet(v[0], face::PANE); pane && type_of(pane) == TYPE_BLOCK) {
    Cell p = *pane;
    api::Values keep(1);
    copy_cell(&p, keep[0]);
    for (u32 i = u32(series_index(&p) < 0 ? 0 : series_index(&p));; ++i) {
      u32 n = mem::buffer_of(series_node(keep[0]))->used() / sizeof(Cell);
      if (i >= n) break;
      copy_cell(mem::buffer_of(series_node(keep[0]))->cells() + i, v[1]);
      if (type_of(v[1]) == TYPE_OBJECT) free_faces(v[1], false);
    }
  }
  w = window::find(id);  // the sub-faces' code may have closed it
  if (!w) return;
  if (is_window) {
    if (Cell* selected = face::facet(v[0], face::SELECTED)) make_none(selected);
    window::set(*w, window::SECOND, window::CLOSE_SILENTLY);
  }
  widget_items::release(*w);
  windows::release_cursors(*w);
  window::free_face(*w);
  if (Cell* state = face::facet(v[0], face::STATE)) make_none(state);
  if (top && windows::widget(*w)) {
    gtk_widget_destroy(windows::widget(*w));  // the record goes with it
    loop::drop_stale_events();
  }
}

// ---- the error box -------------------------------------------------------------------------

void show_error_box(const char* caption, const std::string& text) {
  api::Values answer(1);
  if (test_hooks::take_answer("box", answer[0])) return;
  GtkWidget* d = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s", caption);
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(d), "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(d), caption);
  gtk_dialog_run(GTK_DIALOG(d));
  gtk_widget_destroy(d);
}

// An error nothing catches while windows are up: its report on standard
// error, and in an error box (not for a command-line program, whose user
// reads standard error).
void uncaught_in_gui(Cell* error) {
  std::fflush(stdout);
  std::string text = error::report(error);
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  if (window::count() && !error::report_only) show_error_box("Qel: error", text);
  std::_Exit(254);
}

}  // namespace

// ---- routine bodies ----------------------------------------------------------------------------

Record* make(const Cell* face, Record* parent) {
  api::Values v(1);
  copy_cell(face, v[0]);
  i32 dpi = windows::enter_dpi(parent);
  Record* w;
  try {
    w = build(v[0], parent);
  } catch (...) {
    windows::leave_dpi(dpi);
    throw;
  }
  windows::leave_dpi(dpi);
  return w;
}

void make_view() {
  Record* w = make(api::arg(0), window::from_handle(api::arg(1)));
  if (!w) {
    api::answer_none();  // nothing made: the framework reports the face's type
    return;
  }
  window::handle(*w, api::result());
  api::keep_result();
}

void update_view() {
  api::Values v(2);  // the block or face, a face of the block
  copy_cell(api::arg(0), v[0]);
  if (type_of(v[0]) != TYPE_BLOCK) {
    update_one(v[0]);
    api::answer_none();
    return;
  }
  // The faces may change the block as they update: it is read again each step.
  for (u32 i = u32(std::max(series_index(v[0]), 0));; ++i) {
    u32 n = mem::buffer_of(series_node(v[0]))->used() / sizeof(Cell);
    if (i >= n) break;
    copy_cell(mem::buffer_of(series_node(v[0]))->cells() + i, v[1]);
    if (type_of(v[1]) == TYPE_OBJECT) update_one(v[1]);
  }
  api::answer_none();
}

void on_change_facet() {
  api::Values v(2);  // the owner, a face of the series
  copy_cell(api::arg(0), v[0]);
  const Cell* word = api::arg(1);
  const Cell* action = api::arg(3);
  i32 index = int_of(api::arg(5)), part = int_of(api::arg(6));
  u32 facet = symbol::resolve(word::symbol_of(word));
  auto is = [](u32 s, const char* name) { return s == symbol::resolve(symbol::make(name)); };
  Record* owner = record_of_face(v[0]);
  if (owner && is(facet, "pane")) {
    u32 act = symbol::resolve(word::symbol_of(action));
    bool detach = is(act, "take") || is(act, "clear");
    bool attach = is(act, "inserted") || is(act, "poke") || is(act, "put") || is(act, "moved") ||
                  is(act, "changed") || is(act, "appended") || is(act, "poked");
    const Cell* series = api::arg(2);
    if ((detach || attach) && type_of(series) == TYPE_BLOCK) {
      u32 node = series_node(series);
      u32 owner_id = owner->id;
      for (i32 i = 0; i < part; ++i) {
        u32 at = u32(std::max(index, 0) + i);
        if (at >= mem::buffer_of(node)->used() / sizeof(Cell)) break;
        copy_cell(mem::buffer_of(node)->cells() + at, v[1]);
        Record* r = record_of_face(v[1]);
        Record* o = window::find(owner_id);
        if (!r || !o) continue;
        GtkWidget* g = windows::widget(*r);
        if (detach) {
          if (Cell* vis = face::facet(v[1], face::VISIBLE_Q)) make_logic(vis, false);
          if (g) gtk_widget_hide(g);
          continue;
        }
        if (!face::is_type(v[0], "tab-panel"))
          if (Cell* vis = face::facet(v[1], face::VISIBLE_Q)) make_logic(vis, true);
        // A face moved in from another pane goes into this one's container.
        GtkWidget* client = windows::client(*o);
        if (g && client && container::is(client) && r->parent != o && r->parent) {
          GtkWidget* old = windows::client(*r->parent);
          int x = 0, y = 0, width = 0, height = 0;
          container::rect(old, g, &x, &y, &width, &height);
          g_object_ref(g);
          gtk_container_remove(GTK_CONTAINER(old), g);
          container::put(client, g, x, y, width, height);
          g_object_unref(g);
          r->parent = o;
        }
        painter::show(*r);
      }
      if (attach)
        if (Record* o = window::find(owner_id)) restack(*o);
    }
    api::answer_none();
    return;
  }
  if (owner && is(facet, "data")) {
    Kind k = widgets::kind(*owner);
    bool items = k == widgets::K_TEXT_LIST || k == widgets::K_DROP_DOWN || k == widgets::K_DROP_LIST ||
                 k == widgets::K_TAB_PANEL;
    if (items && widget_items::series_changed(*owner, action, api::arg(2), index, part)) {
      api::answer_none();
      return;
    }
  }
  update_one(v[0]);
  api::answer_none();
}

void destroy_view() {
  api::Values v(1);
  copy_cell(api::arg(0), v[0]);
  bool owned_loop = logic_of(api::arg(1));
  Record* w = record_of_face(v[0]);
  u32 id = w ? w->id : 0;
  free_faces(v[0], true);
  if (owned_loop) loop::end_loops_of(id);
  api::answer_none();
}

Cell* face_to_image(const Cell* face_in) {
  api::Values v(1);
  copy_cell(face_in, v[0]);
  if (face::is_type(v[0], "screen")) {
    if (!display::open()) return make_none(stack::push());
    GdkWindow* root = gdk_get_default_root_window();
    Size size = facet_point(v[0], face::SIZE);
    int width = px(size.x), height = px(size.y);
    GdkPixbuf* pb = width > 0 && height > 0 ? gdk_pixbuf_get_from_window(root, 0, 0, width, height) : nullptr;
    if (!pb) return make_none(stack::push());
    std::vector<u32> pixels(std::size_t(width) * std::size_t(height));
    int n = gdk_pixbuf_get_n_channels(pb), stride = gdk_pixbuf_get_rowstride(pb);
    const guchar* data = gdk_pixbuf_read_pixels(pb);
    for (int yy = 0; yy < height; ++yy)
      for (int xx = 0; xx < width; ++xx) {
        const guchar* p = data + std::size_t(yy) * std::size_t(stride) + std::size_t(xx) * std::size_t(n);
        pixels[std::size_t(yy) * std::size_t(width) + std::size_t(xx)] =
            0xFF000000u | u32(p[0]) << 16 | u32(p[1]) << 8 | p[2];
      }
    g_object_unref(pb);
    return image::push_from_pixels(u32(width), u32(height), pixels.data());
  }
  Record* w = record_of_face(v[0]);
  if (!w) return make_none(stack::push());
  if (face::is_type(v[0], "camera")) return widget_items::camera_frame(*w);
  if (base::self_drawn(*w) && !face::is_type(v[0], "window")) return base::image_of(*w);
  return painter::snapshot(*w);
}

}  // namespace qel::view::backend::builder
