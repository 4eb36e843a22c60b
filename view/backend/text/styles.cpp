#include "view/backend/text/styles.hpp"

#include "datatypes/pair.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/cycles.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "view/backend/draw/arguments.hpp"
#include "view/backend/draw/words.hpp"

namespace qel::view::backend::text {

void parse_text_styles(RangeStyleSink& sink, const Cell* styles, const Cell* text, bool catch_errors) {
  CharIndex index(text);
  parse_text_styles(sink, styles, index, catch_errors);
}

void parse_text_styles(RangeStyleSink& sink, const Cell* styles_in, const CharIndex& index, bool catch_errors) {
  using namespace draw;  // the dialect's words and readers
  init_words();
  roots::LocalCell styles;
  copy_cell(styles_in, styles.get());
  i64 chars = index.chars();

  u32 node = series_node(styles.get());
  u32 limit = mem::buffer_of(node)->used() / u32(sizeof(Cell));
  auto at = [&](u32 i) -> const Cell* {
    static const Cell none{TYPE_NONE, 0, 0, 0};
    u32 n = mem::buffer_of(node)->used() / u32(sizeof(Cell));
    return i < n && i < limit ? mem::buffer_of(node)->cells() + i : &none;
  };
  auto fail = [&](u32 i) { throw_draw_error(catch_errors, styles.get(), i, false, cycles::depth()); };

  bool in_text = false;  // the current range lies (partly) in the text
  TextRange r{0, 0, 0, 0};
  u32 i = series_index(styles.get()) < 0 ? 0 : u32(series_index(styles.get()));
  while (i < limit && i < mem::buffer_of(node)->used() / sizeof(Cell)) {
    const Cell* c = at(i);
    switch (type_of(c)) {
      case TYPE_PAIR: {
        // One-based start; the range is what of it lies inside the text.
        i64 s = i64(pair::x(c)) - 1, e = s + i64(pair::y(c));
        if (s < 0) s = 0;
        if (e > chars) e = chars;
        in_text = pair::y(c) > 0 && s < e;
        if (in_text) {
          r.start = u32(s);
          r.length = u32(e - s);
          r.byte_start = index.byte_of(s);
          r.byte_length = index.byte_of(e) - r.byte_start;
        }
        ++i;
        break;
      }
      case TYPE_TUPLE: {
        u32 colour;
        colour_of(c, &colour);
        if (in_text) sink.colour(r, colour);
        ++i;
        break;
      }
      case TYPE_STRING: {
        std::string name = string::to_utf8(c);
        if (in_text) sink.font_name(r, name);
        ++i;
        break;
      }
      case TYPE_INTEGER:
      case TYPE_FLOAT:
        if (in_text) sink.font_size(r, number_of(c));
        ++i;
        break;
      case TYPE_WORD: {
        Word w = word_of(c);
        switch (w) {
          case W_BOLD:
            if (in_text) sink.bold(r);
            ++i;
            break;
          case W_ITALIC:
            if (in_text) sink.italic(r);
            ++i;
            break;
          case W_UNDERLINE:
          case W_STRIKE:
          case W_BORDER: {
            auto kind = w == W_UNDERLINE ? RangeStyleSink::Line::underline
                        : w == W_STRIKE  ? RangeStyleSink::Line::strike
                                         : RangeStyleSink::Line::border;
            ++i;
            bool has_colour = type_of(at(i)) == TYPE_TUPLE;
            u32 colour = 0;
            if (has_colour) colour_of(at(i++), &colour);
            u32 style = 0;
            if (type_of(at(i)) == TYPE_LIT_WORD) style = symbol::resolve(word::symbol_of(at(i++)));
            if (in_text) sink.line(r, kind, has_colour, colour, style);
            break;
          }
          case W_BACKDROP: {
            u32 colour;
            if (!colour_of(at(i + 1), &colour)) fail(i + 1);
            if (in_text) sink.backdrop(r, colour);
            i += 2;
            break;
          }
          default:
            fail(i);
        }
        break;
      }
      default:
        fail(i);
    }
  }
}

}  // namespace qel::view::backend::text
