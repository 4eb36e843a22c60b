// Text boxes: a face's text laid out in its font, para and size, with the
// styles of its `data` block (rich-text faces), and the metrics and hit
// tests asked of it.
//
// A rich-text face caches its box in its `handles` block of four values:
//   1  handle! of the box (a resource of kind "text-box", freed by the
//      collector)
//   2  none (the box needs no drawing target to be laid out or measured)
//   3  a copy of the text it was laid out from
//   4  a logic: true when the face needs a new layout (set by the GUI
//      framework, by a style walk that failed, and by changes of its font
//      or para)
// A box is laid out again when that logic is true, when the cache is
// missing or damaged, or when the face's text no longer is the text the box
// was laid out from and none of the face's recent boxes (TextBox::recent)
// was laid out from it. Other faces get a new box each time.
//
// Coordinates are logical units (1/96 inch), relative to the top-left of
// the face's box; indexes are the language's (1-based characters) and
// cross to the layout through the box's CharIndex only.
#pragma once

#include <cairo.h>
#include <pango/pango.h>

#include <memory>
#include <vector>

#include "runtime/cell.hpp"
#include "view/backend/text/char_index.hpp"

namespace qel::view::backend::text {

struct Backdrop {
  ByteRange bytes;
  u32 colour;  // colour value (draw/graphics.hpp)
};

struct Rect {
  double x, y, width, height;
};

struct TextBox {
  PangoLayout* layout = nullptr;
  CharIndex index;  // of the text laid out
  // Where the layout's origin lies in the box: the placement that the
  // layout does not do itself (horizontal alignment of lines that do not
  // wrap, vertical alignment in a box of known height).
  double dx = 0, dy = 0;
  std::vector<Backdrop> backdrops;
  // A rich-text face's box also keeps the boxes laid out before it for other
  // texts of the face, newest last, while nothing else of the face changed
  // (no stale mark since): a face that shows one text after another (the
  // console's lines, painted at every frame) takes them again unchanged.
  // Only boxes without styles are kept.
  std::vector<std::shared_ptr<TextBox>> recent;
  u64 text_hash = 0;  // text_hash of the text laid out (for the search of recent)

  TextBox() = default;
  TextBox(const TextBox&) = delete;
  TextBox& operator=(const TextBox&) = delete;
  ~TextBox() {
    if (layout) g_object_unref(layout);
  }
};
using TextBoxRef = std::shared_ptr<TextBox>;

// The face's text box. A rich-text face's cached box when it is current,
// else a new one (cached by a rich-text face). catch_errors: a style block
// with an error reports it and stops its walk quietly (as a drawing does);
// else the error is raised after the box is cached with its stale flag set.
TextBoxRef box_of(const Cell* face, bool catch_errors);
// A new box of the face, laid out now (and cached, for a rich-text face).
TextBoxRef layout_face(const Cell* face, bool catch_errors);

// A hash of a string's characters from its position (0 for another value).
u64 text_hash(const Cell* text);

// Marks a rich-text face's cached box stale.
void mark_stale(const Cell* face);

// ---- metrics ----------------------------------------------------------------------------
// Indexes are 1-based characters, clamped to the text (1 .. length + 1).

struct Point {
  double x, y;
};
// The top of the caret before the character at the index; with lower, the
// bottom-right corner of that character's box.
Point caret(const TextBox& box, i64 index, bool lower);
// The index at a point: the caret position (after a character when the
// point lies on its trailing half), or the character under it.
i64 index_at(const TextBox& box, double x, double y, bool caret);
// The height of the line holding the character at the index.
double line_height(const TextBox& box, i64 index);
// The width and height of the laid-out text.
Point extent(const TextBox& box);
u32 line_count(const TextBox& box);
// The rectangles covering the bytes' characters, one per line part (as the
// backdrops are filled), in box coordinates.
std::vector<Rect> range_rects(const TextBox& box, ByteRange bytes);

// Draws the box with its top-left at (x, y): its backdrops, then its text
// (in cairo's current source where no colour is set).
void draw(cairo_t* cr, const TextBox& box, double x, double y);

// ---- routine bodies (system/view/platform) --------------------------------------------------
void size_text_routine();         // size-text face value
void text_box_metrics_routine();  // text-box-metrics box arg0 type

}  // namespace qel::view::backend::text
