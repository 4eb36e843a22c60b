#include "view/backend/setup.hpp"

#include <gtk/gtk.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

#include "datatypes/block.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/string.hpp"
#include "datatypes/tuple.hpp"
#include "eval/api.hpp"
#include "view/backend/display.hpp"
#include "view/backend/draw/text_format.hpp"
#include "view/backend/screens.hpp"
#include "view/convert.hpp"
#include "view/face.hpp"
#include "view/system_view.hpp"
#include "view/units.hpp"
#include "view/window.hpp"

namespace qel::view::backend::setup {

namespace {

// What this build reports as the OS version (system/view/platform).
constexpr u8 kVersion[3] = {10, 0, 0};
constexpr i32 kBuild = 0, kProduct = 1;

// Without a display: GTK's own default font, and the usual light colours.
constexpr const char* kDefaultFont = "Sans 10";

u64 g_started = 0;  // the backend's start time (convert::read_counter)
bool g_dark = false;

void set_string(const char* path, const std::string& text) {
  Cell s;
  api::Values v(1);
  string::load_at(reinterpret_cast<const u8*>(text.data()), u32(text.size()), v[0], string::Encoding::utf8);
  s = *v[0];
  system_view::set(path, &s);
}

void set_integer(const char* path, i32 n) {
  Cell c;
  make_integer(&c, n);
  system_view::set(path, &c);
}

void put_colour(const char* key, u8 r, u8 g, u8 b) {
  Cell t;
  u8 bytes[3] = {r, g, b};
  tuple::make_at(&t, 3, bytes);
  system_view::put("metrics colors", key, &t);
}

u8 channel(double c) { return u8(std::lround((c < 0 ? 0 : c > 1 ? 1 : c) * 255)); }

// The default font: family and size in points.
void default_font(std::string& family, i32& size) {
  std::string name = kDefaultFont;
  if (display::open()) {
    gchar* setting = nullptr;
    g_object_get(gtk_settings_get_default(), "gtk-font-name", &setting, nullptr);
    if (setting && *setting) name = setting;
    g_free(setting);
  }
  PangoFontDescription* d = pango_font_description_from_string(name.c_str());
  const char* f = pango_font_description_get_family(d);
  family = f && *f ? f : "Sans";
  double points = double(pango_font_description_get_size(d)) / PANGO_SCALE;
  if (pango_font_description_get_size_is_absolute(d)) points = points * 72.0 / 96.0;
  size = points > 0 ? i32(std::lround(points)) : 10;
  pango_font_description_free(d);
}

// A paddings entry of the layout metrics: room left and right of the
// text of a face of the type (nothing above or below it).
void put_padding(const char* type, i32 left, i32 right) {
  api::Values v(1);
  block::make_at(v[0], 2);
  Cell p;
  pair::make_at(make_none(&p), left, right);
  block::append_copy(v[0], &p);
  pair::make_at(make_none(&p), 0, 0);
  block::append_copy(v[0], &p);
  system_view::put("metrics paddings", type, v[0]);
}

// A label's text, as the layout measures the text of a face in the default
// font (size-text), and its width in pixels.
constexpr const char* kSample = "Show line numbers";
i32 sample_width() {
  qel::draw::text::FormatRef f = qel::draw::text::format_of(nullptr);
  PangoLayout* l = qel::draw::text::layout(std::string_view(kSample), *f, 0, 0);
  int w = 0;
  pango_layout_get_pixel_size(l, &w, nullptr);
  g_object_unref(l);
  return w;
}

// The room a check box or radio button of the theme takes beside the text
// of its label, as the layout measures it: its indicator, the spacing
// around the label, and what GTK's text takes more than that measure.
i32 toggle_room(GtkWidget* button, i32 measured) {
  g_object_ref_sink(button);
  gtk_widget_show_all(button);  // (a hidden widget asks for no room)
  gint min = 0, whole = 0;
  gtk_widget_get_preferred_width(button, &min, &whole);
  g_object_unref(button);
  return whole > measured ? whole - measured : 0;
}

// The room that the theme's labels, check boxes, radio buttons and entries
// take beside their text, so that a layout sized from a text shows it whole
// (the layout's own paddings are narrower than GTK's widgets).
void fill_paddings() {
  const i32 measured = sample_width();
  // GTK lays text out on the screen (hinted), a little wider than the
  // measure: a text face gets that room.
  GtkWidget* label = gtk_label_new(kSample);
  g_object_ref_sink(label);
  gtk_widget_show(label);
  gint min = 0, natural = 0;
  gtk_widget_get_preferred_width(label, &min, &natural);
  g_object_unref(label);
  put_padding("text", 0, natural > measured ? natural - measured : 0);
  put_padding("check", toggle_room(gtk_check_button_new_with_label(kSample), measured), 0);
  put_padding("radio", toggle_room(gtk_radio_button_new_with_label(nullptr, kSample), measured), 0);
  GtkWidget* entry = gtk_entry_new();
  g_object_ref_sink(entry);
  GtkStyleContext* c = gtk_widget_get_style_context(entry);
  GtkBorder padding{}, border{};
  gtk_style_context_get_padding(c, gtk_style_context_get_state(c), &padding);
  gtk_style_context_get_border(c, gtk_style_context_get_state(c), &border);
  PangoLayout* l = gtk_widget_create_pango_layout(entry, kSample);
  int shown = 0;
  pango_layout_get_pixel_size(l, &shown, nullptr);
  g_object_unref(l);
  g_object_unref(entry);
  // (and the caret's pixel after the text)
  i32 more = shown > measured ? shown - measured : 0;
  put_padding("field", padding.left + border.left, padding.right + border.right + more + 1);
}

// The widths of the scroll bars and the theme's colours, read from widgets
// that are made and dropped at once.
void fill_metrics() {
  set_integer("metrics dpi", units::current.dpi);
  i32 vertical = 16, horizontal = 16;
  if (display::open()) {
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
  }
  Cell p;
  pair::make_at(make_none(&p), vertical, horizontal);
  system_view::put("metrics misc", "scroller", &p);
  GdkRGBA text{0, 0, 0, 1}, window{1, 1, 1, 1}, panel{0.965, 0.961, 0.957, 1};
  if (display::open()) {
    GtkWidget* w = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkStyleContext* ctx = gtk_widget_get_style_context(w);
    gtk_style_context_lookup_color(ctx, "theme_text_color", &text);
    gtk_style_context_lookup_color(ctx, "theme_base_color", &window);
    gtk_style_context_lookup_color(ctx, "theme_bg_color", &panel);
    gtk_widget_destroy(w);
  }
  if (display::open()) fill_paddings();
  put_colour("text", channel(text.red), channel(text.green), channel(text.blue));
  put_colour("window", channel(window.red), channel(window.green), channel(window.blue));
  put_colour("panel", channel(panel.red), channel(panel.green), channel(panel.blue));
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
  Cell v;
  tuple::make_at(&v, 3, kVersion);
  system_view::set("platform version", &v);
  set_integer("platform build", kBuild);
  set_integer("platform product", kProduct);
  // The DPI of the monitor under the pointer.
  std::vector<screens::Monitor> list = screens::all();
  i32 here = screens::current(list);
  units::set_dpi(here < 0 ? 96 : i32(std::lround(96 * list[std::size_t(here)].scale)));
  std::string family;
  i32 size = 10;
  default_font(family, size);
  set_string("fonts system", family);
  set_integer("fonts size", size);
  fill_metrics();
  g_dark = shown && !high_contrast() && dark_requested();
}

void set_dark_mode() {
  // The dark theme is one setting for the whole process in GTK: a window
  // face's title bar follows it too.
  if (face::handle_of(api::arg(0)) && window::from_handle(face::handle_of(api::arg(0))) && display::open()) {
    bool dark = logic_of(api::arg(1));
    g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", dark ? TRUE : FALSE, nullptr);
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
