#include "view/backend/container.hpp"

#include <gtk/gtk.h>

#include <algorithm>
#include <vector>

namespace qel::view::backend::container {

namespace {

struct Child {
  GtkWidget* widget;
  int x, y, width, height;
};

struct Box {
  GtkContainer parent;
  std::vector<Child>* children;  // stacking order, bottom first
  GtkWidget* backdrop;           // under the children, filling the box
  cairo_surface_t* surface;
  bool background;
  double rgba[4];
  int natural_width, natural_height;
};

struct BoxClass {
  GtkContainerClass parent_class;
};

GType box_get_type();
#define QEL_BOX(o) (G_TYPE_CHECK_INSTANCE_CAST((o), box_get_type(), Box))

G_DEFINE_TYPE(Box, box, GTK_TYPE_CONTAINER)

void box_init(Box* b) {
  b->children = new std::vector<Child>();
  b->backdrop = nullptr;
  b->surface = nullptr;
  b->background = false;
  b->natural_width = b->natural_height = 0;
  gtk_widget_set_has_window(GTK_WIDGET(b), FALSE);
}

void box_finalize(GObject* o) {
  Box* b = QEL_BOX(o);
  delete b->children;
  b->children = nullptr;
  if (b->surface) cairo_surface_destroy(b->surface);
  b->surface = nullptr;
  G_OBJECT_CLASS(box_parent_class)->finalize(o);
}

void box_realize(GtkWidget* w) {
  if (!gtk_widget_get_has_window(w)) {
    GTK_WIDGET_CLASS(box_parent_class)->realize(w);
    return;
  }
  gtk_widget_set_realized(w, TRUE);
  GtkAllocation a;
  gtk_widget_get_allocation(w, &a);
  GdkWindowAttr attr{};
  attr.window_type = GDK_WINDOW_CHILD;
  attr.x = a.x;
  attr.y = a.y;
  attr.width = a.width;
  attr.height = a.height;
  attr.wclass = GDK_INPUT_OUTPUT;
  attr.visual = gtk_widget_get_visual(w);
  attr.event_mask = gtk_widget_get_events(w) | GDK_EXPOSURE_MASK | GDK_BUTTON_PRESS_MASK |
                    GDK_BUTTON_RELEASE_MASK | GDK_POINTER_MOTION_MASK | GDK_SCROLL_MASK |
                    GDK_SMOOTH_SCROLL_MASK | GDK_ENTER_NOTIFY_MASK | GDK_LEAVE_NOTIFY_MASK |
                    GDK_KEY_PRESS_MASK | GDK_KEY_RELEASE_MASK | GDK_FOCUS_CHANGE_MASK |
                    GDK_TOUCHPAD_GESTURE_MASK;
  GdkWindow* win = gdk_window_new(gtk_widget_get_parent_window(w), &attr, GDK_WA_X | GDK_WA_Y | GDK_WA_VISUAL);
  gtk_widget_set_window(w, win);
  gtk_widget_register_window(w, win);
}

void box_unrealize(GtkWidget* w) { GTK_WIDGET_CLASS(box_parent_class)->unrealize(w); }

void box_preferred_width(GtkWidget* w, int* minimum, int* natural) {
  *minimum = 0;
  *natural = QEL_BOX(w)->natural_width;
}

void box_preferred_height(GtkWidget* w, int* minimum, int* natural) {
  *minimum = 0;
  *natural = QEL_BOX(w)->natural_height;
}

// A child drawn at exactly its rectangle. (GTK wants a widget's size asked
// for before it is allocated; a widget that asks for more than its face's
// rectangle, a wrapping label at its narrowest, still gets the rectangle.)
void allocate_child(GtkWidget* child, int x, int y, int width, int height) {
  GtkRequisition min;
  gtk_widget_get_preferred_size(child, &min, nullptr);
  // A notebook cannot be laid out smaller than its narrowest (GTK says so
  // on stderr): it gets that much, cut to the face's rectangle by the
  // tab panel's own window.
  if (GTK_IS_NOTEBOOK(child)) {
    width = std::max(width, min.width);
    height = std::max(height, min.height);
  }
  GtkAllocation a{x, y, width, height};
  gtk_widget_size_allocate(child, &a);
}

void box_size_allocate(GtkWidget* w, GtkAllocation* a) {
  Box* b = QEL_BOX(w);
  gtk_widget_set_allocation(w, a);
  int ox = 0, oy = 0;
  if (gtk_widget_get_has_window(w)) {
    if (gtk_widget_get_realized(w)) gdk_window_move_resize(gtk_widget_get_window(w), a->x, a->y, a->width, a->height);
  } else {
    ox = a->x;
    oy = a->y;
  }
  if (b->backdrop && gtk_widget_get_visible(b->backdrop)) allocate_child(b->backdrop, ox, oy, a->width, a->height);
  for (const Child& c : *b->children)
    if (gtk_widget_get_visible(c.widget)) allocate_child(c.widget, ox + c.x, oy + c.y, c.width, c.height);
}

// The backing surface or the colour, within the box's own rectangle: the
// context may reach beyond it (a parent drawing its children), and what
// lies there belongs to other faces.
gboolean box_draw(GtkWidget* w, cairo_t* cr) {
  Box* b = QEL_BOX(w);
  if (b->surface || b->background) {
    cairo_save(cr);
    cairo_rectangle(cr, 0, 0, gtk_widget_get_allocated_width(w), gtk_widget_get_allocated_height(w));
    if (b->surface) cairo_set_source_surface(cr, b->surface, 0, 0);
    else cairo_set_source_rgba(cr, b->rgba[0], b->rgba[1], b->rgba[2], b->rgba[3]);
    cairo_fill(cr);
    cairo_restore(cr);
  }
  // Each child draws within its own rectangle: a widget may draw beyond its
  // allocation (a label's lines below a face too short for them), over what
  // belongs to the faces around it.
  GtkAllocation box;
  gtk_widget_get_allocation(w, &box);
  int ox = gtk_widget_get_has_window(w) ? 0 : box.x, oy = gtk_widget_get_has_window(w) ? 0 : box.y;
  auto draw_child = [&](GtkWidget* child) {
    if (!gtk_widget_get_visible(child) || !gtk_widget_get_child_visible(child)) return;
    GtkAllocation a;
    gtk_widget_get_allocation(child, &a);
    cairo_save(cr);
    cairo_rectangle(cr, a.x - ox, a.y - oy, a.width, a.height);
    cairo_clip(cr);
    gtk_container_propagate_draw(GTK_CONTAINER(w), child, cr);
    cairo_restore(cr);
  };
  if (b->backdrop) draw_child(b->backdrop);
  // (over a copy of the list, as box_forall goes)
  std::vector<GtkWidget*> children;
  for (const Child& c : *b->children) children.push_back(c.widget);
  for (GtkWidget* child : children) draw_child(child);
  return FALSE;
}

void box_add(GtkContainer* c, GtkWidget* child) { put(GTK_WIDGET(c), child, 0, 0, 0, 0); }

void box_remove(GtkContainer* c, GtkWidget* child) {
  Box* b = QEL_BOX(c);
  bool was_visible = gtk_widget_get_visible(child);
  if (child == b->backdrop) {
    b->backdrop = nullptr;
  } else {
    auto it = std::find_if(b->children->begin(), b->children->end(), [&](const Child& k) { return k.widget == child; });
    if (it == b->children->end()) return;
    b->children->erase(it);
  }
  gtk_widget_unparent(child);
  if (was_visible && gtk_widget_get_visible(GTK_WIDGET(c))) gtk_widget_queue_resize(GTK_WIDGET(c));
}

void box_forall(GtkContainer* c, gboolean, GtkCallback callback, gpointer data) {
  Box* b = QEL_BOX(c);
  if (!b->children) return;
  // The callback may remove the child it is given: walk a copy.
  std::vector<GtkWidget*> all;
  if (b->backdrop) all.push_back(b->backdrop);
  for (const Child& k : *b->children) all.push_back(k.widget);
  for (GtkWidget* child : all) callback(child, data);
}

GType box_child_type(GtkContainer*) { return GTK_TYPE_WIDGET; }

void box_class_init(BoxClass* k) {
  G_OBJECT_CLASS(k)->finalize = box_finalize;
  GtkWidgetClass* wc = GTK_WIDGET_CLASS(k);
  wc->realize = box_realize;
  wc->unrealize = box_unrealize;
  wc->get_preferred_width = box_preferred_width;
  wc->get_preferred_height = box_preferred_height;
  wc->size_allocate = box_size_allocate;
  wc->draw = box_draw;
  GtkContainerClass* cc = GTK_CONTAINER_CLASS(k);
  cc->add = box_add;
  cc->remove = box_remove;
  cc->forall = box_forall;
  cc->child_type = box_child_type;
  gtk_container_class_handle_border_width(cc);
}

Child* find(Box* b, GtkWidget* child) {
  for (Child& c : *b->children)
    if (c.widget == child) return &c;
  return nullptr;
}

void relayout(GtkWidget* box) {
  if (gtk_widget_get_visible(box)) gtk_widget_queue_resize(box);
}

// The style sheet of face widgets: GTK's theme leaves room around texts
// that faces of the usual sizes do not have.
constexpr const char* kStyle =
    ".qel { min-height: 0; min-width: 0; }\n"
    ".qel, .qel * { transition: none; }\n"
    "button.qel { padding: 0 4px; }\n"
    "entry.qel, .qel entry { min-height: 0; padding-top: 0; padding-bottom: 0; }\n"
    "combobox.qel button, combobox.qel entry { min-height: 0; padding-top: 0; padding-bottom: 0; }\n"
    "scale.qel { padding: 0; }\n"
    "scale.qel slider { min-height: 12px; min-width: 12px; margin: -5px; }\n"
    "scale.qel trough { min-width: 0; min-height: 0; }\n"
    "progressbar.qel trough, progressbar.qel progress { min-width: 0; min-height: 0; }\n"
    "progressbar.qel { -GtkProgressBar-min-horizontal-bar-width: 0; -GtkProgressBar-min-vertical-bar-height: 0; }\n"
    "scrolledwindow.qel scrollbar slider { min-width: 4px; min-height: 4px; }\n"
    "scrolledwindow.qel scrollbar button { min-width: 0; min-height: 0; }\n"
    "scrollbar.qel slider { min-width: 6px; min-height: 6px; }\n"
    "checkbutton.qel, radiobutton.qel { padding: 0; }\n"
    "notebook.qel > header > tabs > tab { min-height: 0; padding: 2px 8px; }\n";

}  // namespace

GtkWidget* make(bool with_window) {
  GtkWidget* w = GTK_WIDGET(g_object_new(box_get_type(), nullptr));
  gtk_widget_set_has_window(w, with_window ? TRUE : FALSE);
  return w;
}

bool is(GtkWidget* w) { return w && G_TYPE_CHECK_INSTANCE_TYPE(w, box_get_type()); }

void put(GtkWidget* box, GtkWidget* child, int x, int y, int width, int height) {
  Box* b = QEL_BOX(box);
  if (Child* c = find(b, child)) {
    *c = {child, x, y, width, height};
  } else {
    b->children->push_back({child, x, y, width, height});
    gtk_widget_set_parent(child, box);
  }
  relayout(box);
}

// A child that only moves is placed again alone: a relayout of the box
// would draw all of the box again (a caret moved at each key would repaint
// the whole text under it), while this draws only the rectangles the child
// leaves and takes. A box not shown places it at its next layout (and a
// layout already pending places it again, where it now is).
void move(GtkWidget* box, GtkWidget* child, int x, int y) {
  Child* c = find(QEL_BOX(box), child);
  if (!c) return;
  c->x = x;
  c->y = y;
  if (!gtk_widget_get_mapped(box) || !gtk_widget_get_visible(child)) {
    relayout(box);
    return;
  }
  int ox = 0, oy = 0;
  if (!gtk_widget_get_has_window(box)) {
    GtkAllocation a;
    gtk_widget_get_allocation(box, &a);
    ox = a.x;
    oy = a.y;
  }
  allocate_child(child, ox + x, oy + y, c->width, c->height);
}

void resize(GtkWidget* box, GtkWidget* child, int width, int height) {
  if (Child* c = find(QEL_BOX(box), child)) {
    c->width = width;
    c->height = height;
    relayout(box);
  }
}

bool rect(GtkWidget* box, GtkWidget* child, int* x, int* y, int* width, int* height) {
  const Child* c = is(box) ? find(QEL_BOX(box), child) : nullptr;
  if (!c) return false;
  *x = c->x;
  *y = c->y;
  *width = c->width;
  *height = c->height;
  return true;
}

void set_backdrop(GtkWidget* box, GtkWidget* child) {
  Box* b = QEL_BOX(box);
  if (b->backdrop == child) return;
  if (b->backdrop) gtk_container_remove(GTK_CONTAINER(box), b->backdrop);
  b->backdrop = child;
  if (child) gtk_widget_set_parent(child, box);
  relayout(box);
}

GtkWidget* backdrop(GtkWidget* box) { return is(box) ? QEL_BOX(box)->backdrop : nullptr; }

void restack(GtkWidget* box, GtkWidget* const* order, int count) {
  Box* b = QEL_BOX(box);
  std::vector<Child> rest, placed;
  for (const Child& c : *b->children) {
    bool named = std::find(order, order + count, c.widget) != order + count;
    if (!named) rest.push_back(c);
  }
  for (int i = 0; i < count; ++i)
    if (Child* c = find(b, order[i])) placed.push_back(*c);
  rest.insert(rest.end(), placed.begin(), placed.end());
  *b->children = rest;
  // Input follows the stacking of the children's own windows.
  for (const Child& c : *b->children)
    if (gtk_widget_get_realized(c.widget) && gtk_widget_get_has_window(c.widget))
      gdk_window_raise(gtk_widget_get_window(c.widget));
  gtk_widget_queue_draw(box);
}

void set_natural(GtkWidget* box, int width, int height) {
  Box* b = QEL_BOX(box);
  b->natural_width = std::max(width, 0);
  b->natural_height = std::max(height, 0);
  relayout(box);
}

void set_surface(GtkWidget* box, cairo_surface_t* surface, const cairo_rectangle_int_t* changed) {
  Box* b = QEL_BOX(box);
  if (surface) cairo_surface_reference(surface);
  if (b->surface) cairo_surface_destroy(b->surface);
  b->surface = surface;
  if (!changed) gtk_widget_queue_draw(box);
  else if (changed->width > 0 && changed->height > 0)
    gtk_widget_queue_draw_area(box, changed->x, changed->y, changed->width, changed->height);
}

void set_background(GtkWidget* box, bool on, unsigned argb) {
  Box* b = QEL_BOX(box);
  b->background = on;
  b->rgba[0] = ((argb >> 16) & 0xFF) / 255.0;
  b->rgba[1] = ((argb >> 8) & 0xFF) / 255.0;
  b->rgba[2] = (argb & 0xFF) / 255.0;
  b->rgba[3] = ((argb >> 24) & 0xFF) / 255.0;
  gtk_widget_queue_draw(box);
}

void install_style() {
  static bool done = false;
  if (done) return;
  done = true;
  GtkCssProvider* p = gtk_css_provider_new();
  gtk_css_provider_load_from_data(p, kStyle, -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(p),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(p);
}

void style(GtkWidget* w) { gtk_style_context_add_class(gtk_widget_get_style_context(w), "qel"); }

}  // namespace qel::view::backend::container
