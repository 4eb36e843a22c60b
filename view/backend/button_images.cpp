#include "view/backend/button_images.hpp"

#include <gtk/gtk.h>

#include "datatypes/image.hpp"
#include "datatypes/pair.hpp"
#include "runtime/memory.hpp"
#include "view/backend/widgets.hpp"
#include "view/backend/windows.hpp"
#include "view/face.hpp"

namespace qel::view::backend::button_images {

namespace {

// The image's pixels (0xAARRGGBB, straight alpha) as a pixbuf.
GdkPixbuf* pixbuf_of(const Cell* img) {
  u32 width = image::width(img), height = image::height(img);
  if (!width || !height || !image::record(img)) return nullptr;
  GdkPixbuf* pb = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, int(width), int(height));
  if (!pb) return nullptr;
  guchar* out = gdk_pixbuf_get_pixels(pb);
  int stride = gdk_pixbuf_get_rowstride(pb);
  const u32* px = image::pixels(image::record(img));
  for (u32 y = 0; y < height; ++y) {
    guchar* row = out + std::size_t(y) * std::size_t(stride);
    for (u32 x = 0; x < width; ++x) {
      u32 p = px[std::size_t(y) * width + x];
      row[x * 4] = guchar(p >> 16);
      row[x * 4 + 1] = guchar(p >> 8);
      row[x * 4 + 2] = guchar(p);
      row[x * 4 + 3] = guchar(p >> 24);
    }
  }
  return pb;
}

}  // namespace

void apply(window::Record& w) {
  GtkWidget* c = windows::control(w);
  const Cell* f = window::face(w);
  if (!c || !GTK_IS_BUTTON(c) || !f) return;
  const Cell* img = face::facet(f, face::IMAGE);
  int want_w = 0, want_h = 0;
  if (img && type_of(img) == TYPE_BLOCK) {
    const mem::Buffer* b = mem::buffer_of(series_node(img));
    u32 used = b->used() / sizeof(Cell), at = u32(std::max(series_index(img), 0));
    const Cell* first = at < used ? b->cells() + at : nullptr;
    if (first && at + 1 < used && type_of(first + 1) == TYPE_PAIR) {
      want_w = pair::x(first + 1);
      want_h = pair::y(first + 1);
    }
    img = first;
  }
  GdkPixbuf* pb = img && type_of(img) == TYPE_IMAGE ? pixbuf_of(img) : nullptr;
  if (pb && want_w > 0 && want_h > 0) {
    GdkPixbuf* scaled = gdk_pixbuf_scale_simple(pb, want_w, want_h, GDK_INTERP_BILINEAR);
    g_object_unref(pb);
    pb = scaled;
  }
  widgets::Quiet q;
  if (!pb) {
    gtk_button_set_image(GTK_BUTTON(c), nullptr);
    return;
  }
  gtk_button_set_image(GTK_BUTTON(c), gtk_image_new_from_pixbuf(pb));
  gtk_button_set_always_show_image(GTK_BUTTON(c), TRUE);
  g_object_unref(pb);
}

bool shown_size(const window::Record& w, int& width, int& height) {
  GtkWidget* c = windows::control(w);
  GtkWidget* img = c && GTK_IS_BUTTON(c) ? gtk_button_get_image(GTK_BUTTON(c)) : nullptr;
  GdkPixbuf* pb = img && GTK_IS_IMAGE(img) && gtk_image_get_storage_type(GTK_IMAGE(img)) == GTK_IMAGE_PIXBUF
                      ? gtk_image_get_pixbuf(GTK_IMAGE(img))
                      : nullptr;
  if (!pb) return false;
  width = gdk_pixbuf_get_width(pb);
  height = gdk_pixbuf_get_height(pb);
  return true;
}

}  // namespace qel::view::backend::button_images
