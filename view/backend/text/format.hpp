// Text formats and layouts of the graphics layer: one pango context over one
// font map at 96 DPI for the whole process, text formats made from font
// objects (and cached in them), and layouts of text in a format.
//
// A text format is a font description with its paragraph settings. Font
// objects keep theirs: the font's `state` facet is a block whose second value
// is a handle! to the format, a resource the collector releases with the
// font. Formats are counted references, so a drawing that holds one keeps it
// whatever happens to the font meanwhile.
#pragma once

#include <pango/pangocairo.h>

#include <memory>
#include <string_view>

#include "runtime/cell.hpp"

namespace qel::view::backend::text {

// Paragraph flags of a para object (the bits text boxes pass).
enum ParaFlags : u32 {
  PARA_CENTRE = 1,     // horizontal: centred
  PARA_TRAILING = 2,   // horizontal: right (trailing)
  PARA_MIDDLE = 4,     // vertical: centred
  PARA_FAR = 8,        // vertical: bottom
  PARA_WRAP = 16,      // lines wrap at the box's width
};

enum class VAlign : u8 { near, middle, far };

struct Format {
  PangoFontDescription* desc = nullptr;
  PangoAlignment align = PANGO_ALIGN_LEFT;
  VAlign valign = VAlign::near;  // where the text sits in its box (applied by who draws it)
  bool wrap = false;
  double tab_width = 0;     // 0: pango's own tab stops
  double line_height = 0;   // uniform line height in pixels; 0: each line its own
  double baseline = 0;      // of the first line, with uniform line height

  Format() = default;
  Format(const Format&) = delete;
  Format& operator=(const Format&) = delete;
  ~Format() {
    if (desc) pango_font_description_free(desc);
  }
};
using FormatRef = std::shared_ptr<Format>;

// The shared pango context (96 DPI), made at first use.
PangoContext* context();
// Forgets the font map and the context, so that the next text is laid out
// afresh (what a change of the graphics device does).
void flush_caches();
// Routine body: toggle-GPU (slot 31). There is no graphics device to make
// again: the text caches are dropped. Answers none.
void toggle_gpu_routine();

// The text format of a font object: cached in its state, made on first use.
// For anything else (none): a new format of the default font, not cached.
FormatRef format_of(const Cell* font);
// Paragraph settings from the flags.
void set_paragraph(Format& f, u32 para_flags);
void set_tab_width(Format& f, double width);
// Uniform line height: the larger of the natural height of a line and the
// given height (a negative one: the natural height alone).
void set_uniform_line_height(Format& f, double height);

// A new layout of the text (a string!; anything else lays out empty text) in
// the format. A width or height above 0 is the box (width + 0.5 pixels for
// wrapping lines); 0 or below: unbounded. Lines wrap only when the format
// says so. The caller unrefs it.
PangoLayout* layout(const Cell* text, const Format& f, double width, double height);
// The same for text already in UTF-8 (valid UTF-8 only).
PangoLayout* layout(std::string_view utf8, const Format& f, double width, double height);

}  // namespace qel::view::backend::text
