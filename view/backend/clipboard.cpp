#include "view/backend/clipboard.hpp"

#include <gtk/gtk.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/file_url.hpp"
#include "datatypes/image.hpp"
#include "datatypes/string.hpp"
#include "platform/image_codecs.hpp"
#include "platform/os.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "view/backend/display.hpp"
#include "view/backend/loop.hpp"

namespace qel::view::backend::clipboard {

namespace {

GtkClipboard* board() {
  if (!display::open()) return nullptr;
  return gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
}

// Data handed to GTK for a target it asks for later: plain bytes, freed when
// the clipboard lets go of it.
struct Offer {
  char* bytes;
  int length;
};

void offer_get(GtkClipboard*, GtkSelectionData* data, guint, gpointer user) {
  auto* o = static_cast<Offer*>(user);
  gtk_selection_data_set(data, gtk_selection_data_get_target(data), 8,
                         reinterpret_cast<const guchar*>(o->bytes), o->length);
}

void offer_clear(GtkClipboard*, gpointer user) {
  auto* o = static_cast<Offer*>(user);
  std::free(o->bytes);
  std::free(o);
}

bool offer(GtkClipboard* cb, const char* target, const char* bytes, std::size_t length) {
  if (length > 0x7FFFFFFF) return false;
  auto* o = static_cast<Offer*>(std::malloc(sizeof(Offer)));
  char* copy = static_cast<char*>(std::malloc(length ? length : 1));
  if (!o || !copy) {
    std::free(o);
    std::free(copy);
    return false;
  }
  std::memcpy(copy, bytes, length);
  *o = {copy, int(length)};
  GtkTargetEntry entry{const_cast<gchar*>(target), 0, 0};
  if (!gtk_clipboard_set_with_data(cb, &entry, 1, offer_get, offer_clear, o)) {
    offer_clear(cb, o);
    return false;
  }
  return true;
}

// The bytes of an encoded image the clipboard offers under the target.
bool read_encoded(GtkClipboard* cb, const char* target, std::vector<u8>& out) {
  GtkSelectionData* data = gtk_clipboard_wait_for_contents(cb, gdk_atom_intern(target, FALSE));
  if (!data) return false;
  const guchar* bytes = gtk_selection_data_get_data(data);
  gint length = gtk_selection_data_get_length(data);
  bool ok = bytes && length > 0;
  if (ok) out.assign(bytes, bytes + length);
  gtk_selection_data_free(data);
  return ok;
}

Cell* push_text(const char* text) {
  return string::load(reinterpret_cast<const u8*>(text), u32(std::strlen(text)), string::Encoding::utf8);
}

Cell* push_files(gchar** uris) {
  std::vector<std::string> paths;
  for (gchar** u = uris; *u; ++u) {
    gchar* path = g_filename_from_uri(*u, nullptr, nullptr);
    paths.emplace_back(path ? path : *u);
    g_free(path);
  }
  Cell* block = block::push_only(i32(paths.size()));
  for (const std::string& p : paths) {
    Cell* f = file::load(reinterpret_cast<const u8*>(p.data()), u32(p.size()), false);
    copy_cell(f, mem::alloc_tail_cell(series_node(block)));
    stack::pop(1);
  }
  return block;
}

// A pixbuf of 8-bit samples as an image!; false for anything else.
Cell* push_pixbuf(GdkPixbuf* pb) {
  int w = gdk_pixbuf_get_width(pb), h = gdk_pixbuf_get_height(pb);
  int n = gdk_pixbuf_get_n_channels(pb), stride = gdk_pixbuf_get_rowstride(pb);
  bool alpha = gdk_pixbuf_get_has_alpha(pb);
  if (gdk_pixbuf_get_bits_per_sample(pb) != 8 || w <= 0 || h <= 0 || w > 65535 || h > 65535 || n < 3)
    return make_logic(stack::push(), false);
  const guchar* px = gdk_pixbuf_read_pixels(pb);
  std::vector<u32> pixels(std::size_t(w) * std::size_t(h));
  for (int y = 0; y < h; ++y) {
    const guchar* row = px + std::size_t(y) * std::size_t(stride);
    for (int x = 0; x < w; ++x) {
      const guchar* p = row + x * n;
      u32 a = alpha ? p[3] : 255;
      pixels[std::size_t(y) * w + x] = a << 24 | u32(p[0]) << 16 | u32(p[1]) << 8 | p[2];
    }
  }
  return image::push_from_pixels(u32(w), u32(h), pixels.data());
}

// The absolute OS path of a file! or string! value.
std::string os_path_of(const Cell* v) {
  std::string path = type_of(v) == TYPE_FILE ? file::to_local_path(v) : string::to_utf8(v);
  if (!path.empty() && path[0] != '/') {
    std::string dir = platform::get_current_dir();
    if (!dir.empty() && dir.back() != '/') dir += '/';
    path = dir + path;
  }
  return path;
}

bool write_files(GtkClipboard* cb, const Cell* block) {
  std::vector<std::string> paths;
  u32 node = series_node(block);
  u32 from = u32(series_index(block) < 0 ? 0 : series_index(block));
  for (u32 i = from; i < mem::buffer_of(node)->used() / sizeof(Cell); ++i) {
    Cell v = mem::buffer_of(node)->cells()[i];
    paths.push_back(os_path_of(&v));  // allocates nothing in the region
  }
  std::string list;
  for (const std::string& p : paths) {
    gchar* uri = g_filename_to_uri(p.c_str(), nullptr, nullptr);
    if (!uri) return false;  // a relative path has no URI
    list += std::string(uri) + "\r\n";
    g_free(uri);
  }
  return offer(cb, "text/uri-list", list.data(), list.size());
}

bool write_image(GtkClipboard* cb, const Cell* img) {
  u32 w = image::width(img), h = image::height(img);
  GdkPixbuf* pb = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, int(w), int(h));
  if (!pb) return false;
  guchar* dst = gdk_pixbuf_get_pixels(pb);
  int stride = gdk_pixbuf_get_rowstride(pb);
  const u32* pixels = image::pixels(image::record(img));  // nothing below allocates in the region
  for (u32 y = 0; y < h; ++y) {
    guchar* row = dst + std::size_t(y) * std::size_t(stride);
    for (u32 x = 0; x < w; ++x) {
      u32 p = pixels[std::size_t(y) * w + x];
      row[x * 4] = guchar(p >> 16), row[x * 4 + 1] = guchar(p >> 8), row[x * 4 + 2] = guchar(p);
      row[x * 4 + 3] = guchar(p >> 24);
    }
  }
  gtk_clipboard_set_image(cb, pb);
  g_object_unref(pb);
  return true;
}

}  // namespace

Cell* read() {
  GtkClipboard* cb = board();
  if (!cb) return make_none(stack::push());
  // The waits below run a nested GLib loop: input arriving meanwhile is
  // kept for the message loop, so that no handler runs inside this read.
  loop::Defer defer;
  // Text offered as UTF-8 is taken as bytes and read the way files are:
  // bytes that are not UTF-8 raise the error a script can catch (GTK's own
  // text reading would warn and answer nothing).
  if (GtkSelectionData* d = gtk_clipboard_wait_for_contents(cb, gdk_atom_intern_static_string("UTF8_STRING"))) {
    const guchar* bytes = gtk_selection_data_get_data(d);
    gint length = gtk_selection_data_get_length(d);
    if (bytes && length >= 0) {
      std::string copy(reinterpret_cast<const char*>(bytes), std::size_t(length));
      gtk_selection_data_free(d);
      return string::load(reinterpret_cast<const u8*>(copy.data()), u32(copy.size()), string::Encoding::utf8);
    }
    gtk_selection_data_free(d);
  }
  if (gchar* text = gtk_clipboard_wait_for_text(cb)) {
    Cell* s = push_text(text);
    g_free(text);
    return s;
  }
  if (gchar** uris = gtk_clipboard_wait_for_uris(cb)) {
    Cell* b = push_files(uris);
    g_strfreev(uris);
    return b;
  }
  std::vector<u8> bytes;
  for (const char* target : {"image/png", "image/jpeg", "image/gif"}) {
    if (!read_encoded(cb, target, bytes)) continue;
    platform::imaging::Decoded d;
    if (!platform::imaging::decode(bytes.data(), bytes.size(), d)) return make_logic(stack::push(), false);
    return image::push_from_pixels(d.width, d.height, d.pixels);
  }
  if (GdkPixbuf* pb = gtk_clipboard_wait_for_image(cb)) {
    Cell* v = push_pixbuf(pb);
    g_object_unref(pb);
    return v;
  }
  return make_none(stack::push());
}

bool write(const Cell* value) {
  GtkClipboard* cb = board();
  if (!cb) return false;
  // (the owner answers requests from the loop, which `wait` pumps: its
  // event handler goes in now if no window put it there yet)
  loop::install();
  switch (type_of(value)) {
    case TYPE_STRING: {
      std::string text = string::to_utf8(value);
      gtk_clipboard_set_text(cb, text.data(), gint(text.size()));
      return true;
    }
    case TYPE_BLOCK:
      return write_files(cb, value);
    case TYPE_IMAGE:
      if (image::record(value) && image::pixel_count(value)) return write_image(cb, value);
      [[fallthrough]];
    default:  // none, and an image without pixels
      gtk_clipboard_clear(cb);
      return true;
  }
}

}  // namespace qel::view::backend::clipboard
