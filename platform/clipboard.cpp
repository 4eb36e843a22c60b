#include "platform/clipboard.hpp"

#include <cstdlib>
#include <cstring>

// The headers give the types and signatures only: GTK is not linked.
#include <gtk/gtk.h>

#include "platform/shared_library.hpp"

namespace qel::platform::clipboard {

namespace {

// GTK 3 is loaded with dlopen on the first clipboard call, not linked: it
// pulls in about ninety shared libraries whose loading and symbol binding
// would otherwise cost every start of the program (an empty script started
// three to four times slower). The functions used are resolved once into this
// table; when the library or one of them is missing the clipboard behaves as
// with no display. A program that links GTK itself (a GUI) gets the copy
// already loaded. The library stays loaded: GTK cannot be unloaded once
// started.
#define QEL_GTK_FUNCTIONS(X)                                                     \
  X(gtk_init_check) X(gtk_clipboard_get) X(gtk_clipboard_clear)                  \
  X(gtk_clipboard_set_text) X(gtk_clipboard_set_image)                           \
  X(gtk_clipboard_set_with_data) X(gtk_clipboard_wait_for_contents)              \
  X(gtk_clipboard_wait_for_text) X(gtk_clipboard_wait_for_uris)                  \
  X(gtk_clipboard_wait_for_image) X(gtk_selection_data_set)                      \
  X(gtk_selection_data_get_target) X(gtk_selection_data_get_data)                \
  X(gtk_selection_data_get_length) X(gtk_selection_data_free) X(gdk_atom_intern) \
  X(gdk_pixbuf_new) X(gdk_pixbuf_get_pixels) X(gdk_pixbuf_read_pixels)           \
  X(gdk_pixbuf_get_width) X(gdk_pixbuf_get_height) X(gdk_pixbuf_get_n_channels)  \
  X(gdk_pixbuf_get_rowstride) X(gdk_pixbuf_get_has_alpha)                        \
  X(gdk_pixbuf_get_bits_per_sample) X(g_object_unref) X(g_free) X(g_strfreev)    \
  X(g_filename_from_uri) X(g_filename_to_uri)

struct Gtk {
  QEL_GTK_FUNCTIONS(QEL_LIBRARY_FUNCTION)
};

Gtk gtk;

// Loads the library and fills the table; false when anything is missing.
bool load_gtk() {
  SharedLibrary lib("libgtk-3.so.0");
#define QEL_GTK_RESOLVE(name) lib.resolve(gtk.name, #name);
  QEL_GTK_FUNCTIONS(QEL_GTK_RESOLVE)
#undef QEL_GTK_RESOLVE
  return lib.complete();
}

LoadOnce started;  // GTK loaded and started: false with no display or no GTK

GtkClipboard* board() {
  if (!started([] { return load_gtk() && gtk.gtk_init_check(nullptr, nullptr); })) return nullptr;
  return gtk.gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
}

// Data handed to GTK for a target it asks for later: plain bytes, freed when
// the clipboard lets go of it.
struct Offer {
  char* bytes;
  int length;
};

void offer_get(GtkClipboard*, GtkSelectionData* data, guint, gpointer user) {
  auto* o = static_cast<Offer*>(user);
  gtk.gtk_selection_data_set(data, gtk.gtk_selection_data_get_target(data), 8,
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
  if (!gtk.gtk_clipboard_set_with_data(cb, &entry, 1, offer_get, offer_clear, o)) {
    offer_clear(cb, o);
    return false;
  }
  return true;
}

bool read_encoded(GtkClipboard* cb, const char* target, Content& out) {
  GtkSelectionData* data = gtk.gtk_clipboard_wait_for_contents(cb, gtk.gdk_atom_intern(target, FALSE));
  if (!data) return false;
  const guchar* bytes = gtk.gtk_selection_data_get_data(data);
  gint length = gtk.gtk_selection_data_get_length(data);
  bool ok = bytes && length > 0;
  if (ok) {
    out.kind = Kind::encoded_image;
    out.bytes.assign(bytes, bytes + length);
  }
  gtk.gtk_selection_data_free(data);
  return ok;
}

}  // namespace

bool available() { return board() != nullptr; }

Content read() {
  Content out;
  GtkClipboard* cb = board();
  if (!cb) return out;
  if (gchar* text = gtk.gtk_clipboard_wait_for_text(cb)) {
    out.kind = Kind::text;
    out.text = text;
    gtk.g_free(text);
    return out;
  }
  if (gchar** uris = gtk.gtk_clipboard_wait_for_uris(cb)) {
    out.kind = Kind::files;
    for (gchar** u = uris; *u; ++u) {
      gchar* path = gtk.g_filename_from_uri(*u, nullptr, nullptr);
      out.paths.emplace_back(path ? path : *u);
      gtk.g_free(path);
    }
    gtk.g_strfreev(uris);
    return out;
  }
  for (const char* target : {"image/png", "image/jpeg", "image/gif"}) {
    if (read_encoded(cb, target, out)) return out;
  }
  if (GdkPixbuf* pb = gtk.gtk_clipboard_wait_for_image(cb)) {
    int w = gtk.gdk_pixbuf_get_width(pb), h = gtk.gdk_pixbuf_get_height(pb);
    int n = gtk.gdk_pixbuf_get_n_channels(pb), stride = gtk.gdk_pixbuf_get_rowstride(pb);
    bool alpha = gtk.gdk_pixbuf_get_has_alpha(pb);
    const guchar* px = gtk.gdk_pixbuf_read_pixels(pb);
    if (gtk.gdk_pixbuf_get_bits_per_sample(pb) == 8 && w > 0 && h > 0 && w <= 65535 && h <= 65535 && n >= 3) {
      out.kind = Kind::pixels;
      out.width = std::uint32_t(w);
      out.height = std::uint32_t(h);
      out.pixels.resize(std::size_t(w) * std::size_t(h));
      for (int y = 0; y < h; ++y) {
        const guchar* row = px + std::size_t(y) * std::size_t(stride);
        for (int x = 0; x < w; ++x) {
          const guchar* p = row + x * n;
          std::uint32_t a = alpha ? p[3] : 255;
          out.pixels[std::size_t(y) * w + x] = a << 24 | std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
        }
      }
    } else {
      out.kind = Kind::failed;
    }
    gtk.g_object_unref(pb);
  }
  return out;
}

bool clear() {
  GtkClipboard* cb = board();
  if (!cb) return false;
  gtk.gtk_clipboard_clear(cb);
  return true;
}

bool write_text(const std::string& utf8) {
  GtkClipboard* cb = board();
  if (!cb) return false;
  gtk.gtk_clipboard_set_text(cb, utf8.data(), gint(utf8.size()));
  return true;
}

bool write_files(const std::vector<std::string>& paths) {
  GtkClipboard* cb = board();
  if (!cb) return false;
  std::string list;
  for (const std::string& p : paths) {
    gchar* uri = gtk.g_filename_to_uri(p.c_str(), nullptr, nullptr);
    if (!uri) return false;  // a relative path has no URI
    list += std::string(uri) + "\r\n";
    gtk.g_free(uri);
  }
  return offer(cb, "text/uri-list", list.data(), list.size());
}

bool write_image(std::uint32_t width, std::uint32_t height, const std::uint32_t* pixels) {
  GtkClipboard* cb = board();
  if (!cb || !width || !height) return false;
  GdkPixbuf* pb = gtk.gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, int(width), int(height));
  if (!pb) return false;
  guchar* dst = gtk.gdk_pixbuf_get_pixels(pb);
  int stride = gtk.gdk_pixbuf_get_rowstride(pb);
  for (std::uint32_t y = 0; y < height; ++y) {
    guchar* row = dst + std::size_t(y) * std::size_t(stride);
    for (std::uint32_t x = 0; x < width; ++x) {
      std::uint32_t p = pixels[std::size_t(y) * width + x];
      row[x * 4] = guchar(p >> 16), row[x * 4 + 1] = guchar(p >> 8), row[x * 4 + 2] = guchar(p);
      row[x * 4 + 3] = guchar(p >> 24);
    }
  }
  gtk.gtk_clipboard_set_image(cb, pb);
  gtk.g_object_unref(pb);
  return true;
}

}  // namespace qel::platform::clipboard
