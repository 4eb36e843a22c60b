// The style blocks of text boxes: ranges and the attributes that follow each.
//
// A style block alternates ranges (a pair! start x length, start 1-based)
// and attributes; each attribute applies to the range given last. The walker
// hands every attribute to a sink with its range, cut to the text: a range
// that starts at or before the first character keeps only its part inside
// the text, one past the end or of no length reaches the sink not at all.
// Ranges are given in characters and in UTF-8 bytes of the text (from its
// index), as the text layout takes them.
#pragma once

#include <string>

#include "runtime/cell.hpp"
#include "view/backend/text/char_index.hpp"

namespace qel::view::backend::text {

struct TextRange {
  u32 start, length;            // characters
  u32 byte_start, byte_length;  // UTF-8 bytes
};

class RangeStyleSink {
 public:
  enum class Line : u8 { underline, strike, border };
  virtual ~RangeStyleSink() = default;
  virtual void colour(const TextRange& r, u32 colour) = 0;
  virtual void font_name(const TextRange& r, const std::string& name) = 0;
  virtual void font_size(const TextRange& r, double size) = 0;
  virtual void bold(const TextRange& r) = 0;
  virtual void italic(const TextRange& r) = 0;
  // has_colour: the colour given after the word; style: the canonical symbol
  // of the lit-word given after that, 0 when none.
  virtual void line(const TextRange& r, Line kind, bool has_colour, u32 colour, u32 style) = 0;
  virtual void backdrop(const TextRange& r, u32 colour) = 0;
};

// Walks the style block for the text (a string!); errors as the DRAW walker
// reports them (catch_errors: printed, then a quiet stop).
void parse_text_styles(RangeStyleSink& sink, const Cell* styles, const Cell* text, bool catch_errors);
// The same over a text's character index, which gives the ranges' bytes.
void parse_text_styles(RangeStyleSink& sink, const Cell* styles, const CharIndex& index, bool catch_errors);

}  // namespace qel::view::backend::text
