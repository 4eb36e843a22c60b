// request-font: the font dialog, whose choice fills a font object.
#include "view/backend/font_dialog.hpp"

#include <gtk/gtk.h>

#include <string>

#include "datatypes/block.hpp"
#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/error.hpp"
#include "view/backend/display.hpp"
#include "view/backend/text/format.hpp"
#include "view/backend/guard.hpp"
#include "view/backend/text/fonts.hpp"
#include "view/backend/text/names.hpp"
#include "view/module.hpp"
#include "view/test_hooks.hpp"

namespace qel::view::backend::font_dialog {

namespace {

using text::field;

gboolean monospace_only(const PangoFontFamily* family, const PangoFontFace*, gpointer) {
  return pango_font_family_is_monospace(const_cast<PangoFontFamily*>(family));
}

// The dialog starts from the selected font object, or from the fixed font
// at 11 points; with mono it offers monospaced families only. Answers the choice (the caller frees it), or nullptr.
PangoFontDescription* run_dialog(const Cell* selected, bool mono) {
  if (!display::open()) module::unavailable("request-font", "no display");
  PangoFontDescription* start = nullptr;
  if (selected && type_of(selected) == TYPE_OBJECT) {
    start = text::fonts::describe(selected);
  } else {
    start = pango_font_description_from_string("Monospace 11");  // the fixed font's family here
  }
  // The chooser's list names pango's family and face types by name: they
  // must be registered before it is built (else GTK cannot make the list).
  g_type_ensure(PANGO_TYPE_FONT_FAMILY);
  g_type_ensure(PANGO_TYPE_FONT_FACE);
  GtkWidget* dialog = gtk_font_chooser_dialog_new(nullptr, nullptr);
  gtk_font_chooser_set_font_desc(GTK_FONT_CHOOSER(dialog), start);
  pango_font_description_free(start);
  if (mono) gtk_font_chooser_set_filter_func(GTK_FONT_CHOOSER(dialog), monospace_only, nullptr, nullptr);
  gint response = gtk_dialog_run(GTK_DIALOG(dialog));
  PangoFontDescription* chosen =
      response == GTK_RESPONSE_OK ? gtk_font_chooser_get_font_desc(GTK_FONT_CHOOSER(dialog)) : nullptr;
  gtk_widget_destroy(dialog);
  // What the nested loop ran for other windows and failed comes out here.
  if (guard::pending()) {
    if (chosen) pango_font_description_free(chosen);
    guard::raise_pending();
  }
  return chosen;
}

// The font object (rooted) takes the chosen family, size and style.
void fill(Cell* font, const PangoFontDescription* d) {
  text::init_names();
  api::Values v(1);
  if (const char* family = pango_font_description_get_family(d)) {
    std::string name = family;
    string::load_at(reinterpret_cast<const u8*>(name.data()), u32(name.size()), v[0], string::Encoding::utf8);
    if (Cell* slot = field(font, text::N_NAME)) copy_cell(v[0], slot);
  }
  double size = double(pango_font_description_get_size(d)) / PANGO_SCALE;
  if (pango_font_description_get_size_is_absolute(d)) size = size * 72.0 / 96.0;
  if (size >= 1) {
    // Whole points, as tenths of a point divide.
    if (Cell* slot = field(font, text::N_SIZE)) make_integer(slot, i32(i64(size * 10) / 10));
  }
  bool bold = pango_font_description_get_weight(d) >= PANGO_WEIGHT_BOLD;
  PangoStyle st = pango_font_description_get_style(d);
  bool italic = st == PANGO_STYLE_ITALIC || st == PANGO_STYLE_OBLIQUE;
  if (bold && italic) {
    block::make_at(v[0], 2);
    word::make_in(text::symbol_of(text::N_BOLD), series_node(v[0]));
    word::make_in(text::symbol_of(text::N_ITALIC), series_node(v[0]));
  } else if (bold || italic) {
    word::make_at(text::symbol_of(bold ? text::N_BOLD : text::N_ITALIC), v[0]);
  } else {
    return;  // the style stays as it was
  }
  if (Cell* slot = field(font, text::N_STYLE)) copy_cell(v[0], slot);
}

}  // namespace

void request_font() {
  Cell* font = api::arg(0);
  Cell* selected = api::arg(1);
  bool mono = logic_of(api::arg(2));
  PangoFontDescription* chosen = nullptr;
  api::Values v(1);
  if (test_hooks::take_answer("font", v[0])) {
    // A test's answer stands for the dialog's: none cancels, a string
    // describes the font chosen ("DejaVu Serif Bold Italic 14").
    if (type_of(v[0]) == TYPE_STRING) {
      chosen = pango_font_description_from_string(string::to_utf8(v[0]).c_str());
    } else if (!is_none(v[0])) {
      fire(Err::script_invalid_arg, v[0]);
    }
  } else {
    chosen = run_dialog(selected, mono);
  }
  if (!chosen) {
    api::answer_none();
    return;
  }
  fill(font, chosen);
  pango_font_description_free(chosen);
  api::set_result(font);
}

}  // namespace qel::view::backend::font_dialog
