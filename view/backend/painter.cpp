#include "view/backend/painter.hpp"

#include <gtk/gtk.h>

#include <cmath>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/image.hpp"
#include "runtime/api.hpp"
#include "view/backend/base.hpp"
#include "view/backend/windows.hpp"
#include "view/face.hpp"
#include "view/units.hpp"

namespace qel::view::backend::painter {

namespace {

using window::Record;

// The widgets' layout done now (GTK does it at its next frame): what is
// drawn or read back matches the faces' last sizes.
void layout_now(GtkWidget* g) {
  GtkWidget* top = gtk_widget_get_toplevel(g);
  if (top && GTK_IS_CONTAINER(top) && gtk_widget_get_visible(top)) gtk_container_check_resize(GTK_CONTAINER(top));
}

Record* record_of_face(const Cell* face) {
  const Cell* h = face::handle_of(face);
  return h ? window::from_handle(h) : nullptr;
}

}  // namespace

void flush(Record& w) {
  // (laid out after the paint, whose Qel code may move faces: the caret)
  u32 id = w.id;
  base::paint_pending(w);
  if (Record* again = window::find(id))
    if (GtkWidget* g = windows::widget(*again)) layout_now(g);
}

void show(Record& w) {
  GtkWidget* g = windows::widget(w);
  if (!g) return;
  u32 id = w.id;
  if (gtk_widget_get_visible(g) && window::get(w, window::SHOW) == 0) {
    base::paint_at_frame(w);
    return;
  }
  window::set(w, window::SHOW, 0);
  gtk_widget_show(g);
  Record* again = window::find(id);  // (the toolkit's signals may have run code)
  if (!again) return;
  // Laid out now: a window mapped at its size needs no new size from the X
  // server, whose answer would hold its frames back while long work holds
  // the other windows' input.
  layout_now(g);
  base::paint_at_frame(*again);
  if (GTK_IS_WINDOW(g)) gtk_window_present(GTK_WINDOW(g));
  windows::focus_selected(*again);
  units::set_dpi(96 * gtk_widget_get_scale_factor(g));
}

void redraw(Record& w) {
  base::invalidate(w);
  base::paint_at_frame(w);
  // (a self-drawn face's paint draws again what changed; other widgets are
  // drawn whole)
  if (GtkWidget* g = windows::widget(w); g && !base::self_drawn(w)) gtk_widget_queue_draw(g);
}

void refresh(Record& w) { base::paint_at_frame(w); }

Cell* snapshot(Record& w) {
  GtkWidget* g = windows::widget(w);
  if (!g) return make_none(stack::push());
  flush(w);
  int width = gtk_widget_get_allocated_width(g), height = gtk_widget_get_allocated_height(g);
  if (!gtk_widget_get_realized(g) || width <= 1 || height <= 1 || width > 65535 || height > 65535)
    return make_none(stack::push());
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t* cr = cairo_create(s);
  gtk_widget_draw(g, cr);
  cairo_destroy(cr);
  cairo_surface_flush(s);
  const unsigned char* data = cairo_image_surface_get_data(s);
  int stride = cairo_image_surface_get_stride(s);
  std::vector<u32> pixels(std::size_t(width) * std::size_t(height));
  for (int y = 0; y < height; ++y) {
    const u32* row = reinterpret_cast<const u32*>(data + std::size_t(y) * std::size_t(stride));
    for (int x = 0; x < width; ++x) {
      u32 p = row[x];  // premultiplied 0xAARRGGBB
      u32 a = p >> 24;
      if (a && a != 255) {
        auto un = [a](u32 c) { return (c * 255 + a / 2) / a; };
        p = a << 24 | un(p >> 16 & 0xFF) << 16 | un(p >> 8 & 0xFF) << 8 | un(p & 0xFF);
      }
      pixels[std::size_t(y) * std::size_t(width) + std::size_t(x)] = p;
    }
  }
  cairo_surface_destroy(s);
  return image::push_from_pixels(u32(width), u32(height), pixels.data());
}

bool redraw_area(const Cell* face, const Cell* offset, const Cell* size) {
  Record* w = record_of_face(face);
  double x = 0, y = 0, width = 0, height = 0;
  if (!w || !units::read_point(offset, &x, &y) || !units::read_point(size, &width, &height)) return false;
  // The pixels the rectangle touches.
  double s = units::current.scale;
  int left = int(std::floor(x * s)), top = int(std::floor(y * s));
  int right = int(std::ceil((x + width) * s)), bottom = int(std::ceil((y + height) * s));
  base::invalidate_area(*w, left, top, right - left, bottom - top);
  base::paint_at_frame(*w);
  return true;
}

Cell* painting_area(const Cell* face) {
  Record* w = record_of_face(face);
  int x = 0, y = 0, width = 0, height = 0;
  Cell* out = make_none(stack::push());
  if (!w || !base::painting_area(*w, &x, &y, &width, &height)) return out;
  api::Values v(1);  // a point (the answer, on the stack below, is rooted)
  block::make_at(out, 2);
  units::logical_point(x, y, false, v[0]);
  block::append_copy(out, v[0]);
  units::logical_point(width, height, false, v[0]);
  block::append_copy(out, v[0]);
  return out;
}

void show_window() {
  if (Record* w = window::from_handle(api::arg(0))) show(*w);
  api::answer_none();
}

void refresh_window() {
  if (Record* w = window::from_handle(api::arg(0))) refresh(*w);
  api::answer_none();
}

void redraw_face() {
  if (Record* w = record_of_face(api::arg(0))) redraw(*w);
  api::answer_none();
}

}  // namespace qel::view::backend::painter
