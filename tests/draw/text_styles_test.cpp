// The text-style walker with a sink that records what reaches it.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "tests/draw/draw_support.hpp"
#include "view/backend/text/styles.hpp"
#include "view/backend/draw/walker.hpp"

namespace qel::test {
using namespace view::backend;  // the engines, by their short names
namespace {

using text::RangeStyleSink;
using text::TextRange;

class Recorder : public RangeStyleSink {
 public:
  std::string log;
  void colour(const TextRange& r, u32 c) override { add(r, "colour " + hex(c)); }
  void font_name(const TextRange& r, const std::string& name) override { add(r, "font " + name); }
  void font_size(const TextRange& r, double size) override { add(r, "size " + std::to_string(int(size * 10))); }
  void bold(const TextRange& r) override { add(r, "bold"); }
  void italic(const TextRange& r) override { add(r, "italic"); }
  void line(const TextRange& r, Line kind, bool has_colour, u32 c, u32 style) override {
    std::string s = kind == Line::underline ? "underline" : kind == Line::strike ? "strike" : "border";
    if (has_colour) s += " " + hex(c);
    if (style) s += " '" + std::string(symbol::name(style));
    add(r, s);
  }
  void backdrop(const TextRange& r, u32 c) override { add(r, "backdrop " + hex(c)); }

 private:
  static std::string hex(u32 c) {
    char b[16];
    std::snprintf(b, sizeof b, "%06X", c);
    return b;
  }
  // "start+length/bytes start+length: what"
  void add(const TextRange& r, const std::string& what) {
    if (!log.empty()) log += ", ";
    log += std::to_string(r.start) + "+" + std::to_string(r.length) + "/" + std::to_string(r.byte_start) +
           "+" + std::to_string(r.byte_length) + " " + what;
  }
};

class TextStyles : public RuntimeTest {
 protected:
  std::string walk(const char* styles, const char* text) {
    Cell* s = load(styles);
    Cell* t = load(text);
    Recorder rec;
    std::optional<Raised> e = caught([&] { text::parse_text_styles(rec, s, t, false); });
    if (e) {
      return std::string("!") + err_info(e->id).word + " @" + std::to_string(series_index(&e->arg1));
    }
    return rec.log;
  }
};

TEST_F(TextStyles, RangesAndAttributes) {
  Cell navy = *load("0.0.128");
  word::set(intern_word("navy-ish"), &navy);
  struct Row {
    const char* styles;
    const char* text;
    const char* want;
  } rows[] = {
      {"[1x5 bold 3x2 255.0.0]", "\"abcdefgh\"", "0+5/0+5 bold, 2+2/2+2 colour 0000FF"},
      {"[2x3 italic \"Sans\" 12 10.5]", "\"abcdef\"", "1+3/1+3 italic, 1+3/1+3 font Sans, 1+3/1+3 size 120, 1+3/1+3 size 105"},
      {"[1x2 underline strike 1.2.3 'dash border 4.5.6]", "\"abc\"",
       "0+2/0+2 underline, 0+2/0+2 strike 030201 'dash, 0+2/0+2 border 060504"},
      {"[1x1 backdrop navy-ish 2x1 backdrop 1.1.1]", "\"ab\"", "0+1/0+1 backdrop 800000, 1+1/1+1 backdrop 010101"},
      // Attributes before any range apply to nothing.
      {"[bold 1x1 italic]", "\"ab\"", "0+1/0+1 italic"},
      // Ranges count characters; the layout gets UTF-8 bytes too.
      {"[2x2 bold]", "\"a\u00e9\u20ac\U0001F600z\"", "1+2/1+5 bold"},
      {"[4x2 bold]", "\"a\u00e9\u20ac\U0001F600z\"", "3+2/6+5 bold"},
  };
  for (const Row& r : rows) EXPECT_EQ(walk(r.styles, r.text), r.want) << r.styles;
}

// Ranges outside the text are cut to it or dropped: never a huge range.
TEST_F(TextStyles, RangesAreClampedToTheText) {
  struct Row {
    const char* range;
    const char* want;
  } rows[] = {
      {"0x3", "0+2/0+2 bold"},      // starts before the first character: cut
      {"-5x7", "0+1/0+1 bold"},
      {"-5x3", ""},                 // ends before the text
      {"10x5", ""},                 // past the end: dropped
      {"5x1", ""},
      {"4x1", "3+1/3+1 bold"},
      {"2x-1", ""},                 // negative length: dropped
      {"2x0", ""},
      {"3x100", "2+2/2+2 bold"},    // too long: cut
      {"2147483647x2147483647", ""},
      {"-2147483648x2147483647", ""},
      {"1x2147483647", "0+4/0+4 bold"},
  };
  for (const Row& r : rows) {
    std::string styles = std::string("[") + r.range + " bold]";
    EXPECT_EQ(walk(styles.c_str(), "\"abcd\""), r.want) << r.range;
  }
}

TEST_F(TextStyles, InvalidInput) {
  struct Row {
    const char* styles;
    const char* want;
  } rows[] = {
      {"[1x1 blink]", "!draw-invalid @1"},
      {"[1x1 backdrop]", "!draw-invalid @2"},
      {"[1x1 backdrop 5]", "!draw-invalid @2"},
      {"[1x1 bold (1, 1)]", "!draw-invalid @2"},
      {"[1x1 #issue]", "!draw-invalid @1"},
      {"[1x1 [bold]]", "!draw-invalid @1"},
  };
  for (const Row& r : rows) EXPECT_EQ(walk(r.styles, "\"ab\""), r.want) << r.styles;
}

}  // namespace
}  // namespace qel::test
