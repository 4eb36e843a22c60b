#include "view/backend/setup.hpp"

#include <gtk/gtk.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>

#include "datatypes/block.hpp"
#include "datatypes/pair.hpp"
#include "runtime/api.hpp"
#include "view/backend/display.hpp"
#include "view/backend/text/format.hpp"
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
  qel::view::backend::text::FormatRef f = qel::view::backend::text::format_of(nullptr);
  PangoLayout* l = qel::view::backend::text::layout(std::string_view(kSample), *f, 0, 0);
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
  // The indicator's size is its min-width and min-height; its image plays
  // no part in it. Without one the theme's icons are not loaded (the image
  // loader and its library with them), a good part of a first window's
  // start otherwise, for a widget that is never shown.
  static GtkCssProvider* no_image = [] {
    GtkCssProvider* p = gtk_css_provider_new();
    gtk_css_provider_load_from_data(p, "check, radio { -gtk-icon-source: none; }", -1, nullptr);
    return p;
  }();
  gtk_style_context_add_provider(gtk_widget_get_style_context(button), GTK_STYLE_PROVIDER(no_image),
                                 GTK_STYLE_PROVIDER_PRIORITY_USER + 1);
  gtk_widget_show_all(button);  // (a hidden widget asks for no room)
  gint min = 0, whole = 0;
  gtk_widget_get_preferred_width(button, &min, &whole);
  g_object_unref(button);
  return whole > measured ? whole - measured : 0;
}

// The room a tab header of the theme takes beside its title, as the layout
// measures the title, and what the row of headers takes beside them: the
// narrowest widths of one notebook (as a tab panel makes it, its tabs not
// scrolling) with one tab of the sample text, then with two.
void fill_tab_header(i32 measured) {
  GtkWidget* nb = gtk_notebook_new();
  g_object_ref_sink(nb);
  i32 widths[2] = {0, 0};
  for (i32& width : widths) {
    gtk_notebook_append_page(GTK_NOTEBOOK(nb), gtk_box_new(GTK_ORIENTATION_VERTICAL, 0), gtk_label_new(kSample));
    gtk_widget_show_all(nb);
    gint min = 0;
    gtk_widget_get_preferred_width(nb, &min, nullptr);
    width = min;
  }
  g_object_unref(nb);
  i32 one = widths[0], two = widths[1];
  i32 per_tab = std::max(two - one - measured, 0);
  system_view::put_tab_header(per_tab, std::max(one - measured - per_tab, 0));
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
  fill_tab_header(measured);
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
  fill_paddings();
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
