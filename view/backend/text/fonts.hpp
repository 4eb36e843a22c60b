// Fonts and para: the native font of a font! object, and the alignment
// style bits a face's para! gives its native view.
//
// A font object's `state`, once the backend has used the font, is a block
// of three values:
//   1  handle! of the font at the current DPI (what native widgets use)
//   2  handle! of the text format (format.hpp), or none
//   3  handle! of the font at 96 DPI
// Positions 1 and 3 are resources of kind "font" (FontHandle below), freed
// by the collector once nothing refers to them; a change of the font's
// name, size, style, angle or anti-aliasing frees all three, and the next
// use makes them again. A font's `parent` is the block of faces that use
// it, each once.
#pragma once

#include <cairo.h>
#include <pango/pango.h>

#include "runtime/cell.hpp"
#include "view/backend/text/names.hpp"

namespace qel::view::backend::text::fonts {

// The description of a font object's fields: family (`name`, cut to 31
// characters), size in points, bold and italic (`style`); the defaults of
// system/view/fonts (or Sans 10) for what is missing or not usable. The
// caller frees it.
PangoFontDescription* describe(const Cell* font);

// Whether a font's `style` (a word or a block of words) holds the word.
bool has_style(const Cell* style, const char* word);

// The native font: a description at a fixed pixel size, and what a font
// description cannot say. Owned by its resource: whoever keeps it longer
// keeps a copy of the description.
struct FontHandle {
  PangoFontDescription* desc = nullptr;  // absolute size: the font's points at `dpi`
  i32 dpi = 96;
  i32 orientation = 0;                   // tenths of a degree (the font's angle x 10)
  cairo_antialias_t antialias = CAIRO_ANTIALIAS_DEFAULT;
  bool underline = false, strike = false;

  FontHandle() = default;
  FontHandle(const FontHandle&) = delete;
  FontHandle& operator=(const FontHandle&) = delete;
  ~FontHandle() {
    if (desc) pango_font_description_free(desc);
  }
};

// The font's handle at the current DPI (position 1 of its state), or at 96
// DPI (position 3); both are made when position 1 holds no font handle.
// The face (when given) joins the font's `parent`. nullptr for a font that
// is not an object or has no `state`. Valid while the font's state holds it.
const FontHandle* font_handle(const Cell* face, const Cell* font, bool at_96 = false);
// Releases the font's handles and its text format; its state becomes none.
void free_font(const Cell* font);
// Makes the handles of a font whose state block holds none at position 1
// (the drawing layer calls it when it caches a text format there).
void ensure_handles(const Cell* font);

// ---- para -------------------------------------------------------------------------------

// The para's style bits for a face of the type (view/backend/text/names.hpp;
// N_NONE_ for a type without para styles); 0 when the para is no object.
//   base, rich-text:        left 0, center 1, right 2; top 0, middle 4, bottom 8;
//                           16 when wrapping. Defaults: rich-text left and
//                           top, base center and middle.
//   button, toggle, check,  left 0x100, center 0x300, right 0x200; top 0x400,
//   radio:                  middle 0xC00, bottom 0x800. Defaults: button and
//                           toggle center, check and radio left; middle.
//   field, area, text:      left 0, center 1, right 2; middle 0x200 (top and
//                           bottom 0). When not wrapping: 0x4000 for text
//                           (ends with an ellipsis), 0xC0 for field and area
//                           (scroll instead).
// A para wraps when its `wrap?` is none or true.
u32 para_style_flags(Name type, const Cell* para);
// Every bit para_style_flags may give a face of the type: what a new para
// clears before its own bits are set.
u32 para_style_mask(Name type);

}  // namespace qel::view::backend::text::fonts
