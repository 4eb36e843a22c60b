#include "view/backend/setup.hpp"

#include <gtk/gtk.h>

#include <cctype>
#include <cmath>
#include <string>

#include "eval/api.hpp"
#include "view/backend/display.hpp"
#include "view/backend/screens.hpp"
#include "view/convert.hpp"
#include "view/face.hpp"
#include "view/system_view.hpp"
#include "view/units.hpp"
#include "view/window.hpp"

namespace qel::view::backend::setup {

namespace {

u64 g_started = 0;  // the backend's start time (convert::read_counter)
bool g_dark = false;

using system_view::kDefaults;

u8 channel(double c) { return u8(std::lround((c < 0 ? 0 : c > 1 ? 1 : c) * 255)); }

void put_colour(const char* key, const GdkRGBA& c) {
  u8 rgb[3] = {channel(c.red), channel(c.green), channel(c.blue)};
  system_view::put_colour(key, rgb);
}

// The display's default font (GTK's setting): family and size in points.
void display_font(std::string& family, i32& size) {
  gchar* setting = nullptr;
  g_object_get(gtk_settings_get_default(), "gtk-font-name", &setting, nullptr);
  std::string name = setting && *setting ? setting : "";
  g_free(setting);
  if (name.empty()) return;
  PangoFontDescription* d = pango_font_description_from_string(name.c_str());
  const char* f = pango_font_description_get_family(d);
  if (f && *f) family = f;
  double points = double(pango_font_description_get_size(d)) / PANGO_SCALE;
  if (pango_font_description_get_size_is_absolute(d)) points = points * 72.0 / 96.0;
  if (points > 0) size = i32(std::lround(points));
  pango_font_description_free(d);
}

// What a display tells beyond the values without one: the DPI of the
// monitor under the pointer, GTK's font, the widths of the scroll bars and
// the theme's colours, read from widgets that are made and dropped at once.
void fill_from_display() {
  std::vector<screens::Monitor> list = screens::all();
  i32 here = screens::current(list);
  if (here >= 0) {
    units::set_dpi(i32(std::lround(kDefaults.dpi * list[std::size_t(here)].scale)));
    system_view::set_integer("metrics dpi", units::current.dpi);
  }
  std::string family = kDefaults.font;
  i32 size = kDefaults.font_size;
  display_font(family, size);
  system_view::set_string("fonts system", family.c_str());
  system_view::set_integer("fonts size", size);
  i32 vertical = kDefaults.scroller, horizontal = kDefaults.scroller;
  GtkWidget* v = gtk_scrollbar_new(GTK_ORIENTATION_VERTICAL, nullptr);
  GtkWidget* h = gtk_scrollbar_new(GTK_ORIENTATION_HORIZONTAL, nullptr);
  g_object_ref_sink(v);
  g_object_ref_sink(h);
  gint min = 0, natural = 0;
  gtk_widget_get_preferred_width(v, &min, &natural);
  if (natural > 0) vertical = natural;
  gtk_widget_get_preferred_height(h, &min, &natural);
  if (natural > 0) horizontal = natural;
  g_object_unref(v);
  g_object_unref(h);
  system_view::put_scroller(vertical, horizontal);
  GdkRGBA text{0, 0, 0, 1}, window{1, 1, 1, 1}, panel{0.965, 0.961, 0.957, 1};
  GtkWidget* w = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkStyleContext* ctx = gtk_widget_get_style_context(w);
  gtk_style_context_lookup_color(ctx, "theme_text_color", &text);
  gtk_style_context_lookup_color(ctx, "theme_base_color", &window);
  gtk_style_context_lookup_color(ctx, "theme_bg_color", &panel);
  gtk_widget_destroy(w);
  put_colour("text", text);
  put_colour("window", window);
  put_colour("panel", panel);
}

bool high_contrast() {
  gchar* theme = nullptr;
  g_object_get(gtk_settings_get_default(), "gtk-theme-name", &theme, nullptr);
  std::string name = theme ? theme : "";
  g_free(theme);
  for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
  return name.find("highcontrast") != std::string::npos;
}

}  // namespace

bool dark_requested() {
  if (!display::open()) return false;
  gboolean prefer = FALSE;
  gchar* theme = nullptr;
  g_object_get(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", &prefer, "gtk-theme-name", &theme,
               nullptr);
  std::string name = theme ? theme : "";
  g_free(theme);
  return prefer || (name.size() > 5 && name.compare(name.size() - 5, 5, "-dark") == 0);
}

void gui_init() {
  bool shown = display::open();
  if (!g_started) g_started = convert::read_counter();
  system_view::fill_defaults();
  if (shown) fill_from_display();
  g_dark = shown && !high_contrast() && dark_requested();
}

void set_dark_mode() {
  // The dark theme is one setting for the whole process in GTK: a window
  // face's title bar follows it too.
  if (face::handle_of(api::arg(0)) && window::from_handle(face::handle_of(api::arg(0))) && display::open()) {
    bool dark = logic_of(api::arg(1));
    // (set only when it changes: GTK loads its whole theme again at every
    // setting, a good part of the console's start-up)
    gboolean now = FALSE;
    GtkSettings* settings = gtk_settings_get_default();
    g_object_get(settings, "gtk-application-prefer-dark-theme", &now, nullptr);
    if (bool(now) != dark) g_object_set(settings, "gtk-application-prefer-dark-theme", dark ? TRUE : FALSE, nullptr);
    g_dark = dark;
  }
  api::answer_none();
}

void support_dark_mode_q() { api::answer_logic(display::open() && !high_contrast()); }

int caret_blink_time() {
  if (!display::open()) return -1;
  gboolean blink = TRUE;
  gint cycle = 1200;
  g_object_get(gtk_settings_get_default(), "gtk-cursor-blink", &blink, "gtk-cursor-blink-time", &cycle, nullptr);
  return blink && cycle > 0 ? cycle / 2 : -1;
}

}  // namespace qel::view::backend::setup
