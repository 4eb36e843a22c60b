// The DRAW and SHAPE walkers: what each keyword hands its operation, the
// errors and their positions, self-containing blocks, silent and catching
// modes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/cycles.hpp"
#include "runtime/hooks.hpp"
#include "tests/draw/draw_support.hpp"
#include "view/backend/draw/commands.hpp"
#include "view/backend/draw/walker.hpp"

namespace qel::test {
using namespace view::backend;  // the engines, by their short names
namespace {

using draw::CommandArgs;
using draw::CommandTable;

// Stands in for every command for its lifetime: each call is logged as
// "name first last [extra...] [flag] [target] [word]".
std::vector<std::string> g_log;

const char* const kNames[] = {"box", "line", "triangle", "polygon", "circle", "ellipse", "font", "text",
                              "arc", "curve", "spline", "image", "shadow", "clip", "rotate", "scale",
                              "translate", "skew", "transform", "matrix", "reset-matrix", "invert-matrix"};
constexpr int kCommands = sizeof kNames / sizeof kNames[0];
static_assert(sizeof(CommandTable) == kCommands * sizeof(draw::Command));

template <int N>
bool record(draw::Context&, const CommandArgs& a) {
  std::string s = kNames[N];
  s += " " + std::to_string(a.first) + " " + std::to_string(a.last);
  for (i32 e : a.extra) {
    if (e != draw::NO_POS) s += " x" + std::to_string(e);
  }
  if (a.flag) s += " flag";
  if (a.target) s += a.target == draw::TARGET_PEN ? " pen" : " fill-pen";
  if (a.word) s += " " + std::string(symbol::name(a.word));
  g_log.push_back(s);
  return true;
}

template <int... N>
CommandTable recorders(std::integer_sequence<int, N...>) {
  draw::Command entries[] = {record<N>...};
  CommandTable t;
  std::memcpy(&t, entries, sizeof t);
  return t;
}

class Walker : public RuntimeTest {
 protected:
  Walker() : saved_(draw::commands) {
    draw::commands = recorders(std::make_integer_sequence<int, kCommands>());
    g_log.clear();
    // Words some rows use: an image, a colour, a word holding no colour.
    Cell* img = new_image(4, 4);
    word::set(intern_word("img"), img);
    Cell red = *load("255.0.0");
    word::set(intern_word("red-ish"), &red);
    Cell num = integer_cell(5);
    word::set(intern_word("five"), &num);
  }
  ~Walker() override { draw::commands = saved_; }

  // Draws the source into a new image; answers the log joined by ", ", or
  // "!id @index" for an error raised.
  std::string walk(const std::string& source) {
    g_log.clear();
    Cell* img = new_image(20, 20);
    u32 depth = cycles::depth();
    std::optional<Raised> r = caught([&] { draw_into(img, source); });
    // However the walk ended, the blocks it walked are off the cycle stack.
    EXPECT_EQ(cycles::depth(), depth) << source;
    if (r) {
      std::string s = std::string("!") + err_info(r->id).word;
      if (type_of(&r->arg1) == TYPE_BLOCK) s += " @" + std::to_string(series_index(&r->arg1));
      return s;
    }
    std::string out;
    for (const std::string& l : g_log) out += (out.empty() ? "" : ", ") + l;
    return out;
  }

 private:
  CommandTable saved_;
};

TEST_F(Walker, EachKeywordGetsItsArgumentPositions) {
  struct Row {
    const char* source;
    const char* want;
  } rows[] = {
      {"[box 0x0 10x10]", "box 1 2"},
      {"[box 0x0 10x10 5]", "box 1 3"},
      {"[box 0x0 (10, 10) 5.5]", "box 1 3"},
      {"[line 0x0 10x10 20x0 box 0x0 1x1]", "line 1 3, box 5 6"},
      {"[triangle 0x0 1x1 2x2]", "triangle 1 3"},
      {"[polygon 0x0 10x10 20x0 5x5]", "polygon 1 4"},
      {"[circle 50x50 20 10]", "circle 1 3"},
      {"[circle 50x50 20.5]", "circle 1 2"},
      {"[ellipse 0x0 10x10]", "ellipse 1 2"},
      {"[text 10x10 \"hi\"]", "text 1 2"},
      {"[arc 50x50 20x20 0 90 closed]", "arc 1 5 flag"},
      {"[arc 50x50 20x20 0 90 box 0x0 1x1]", "arc 1 4, box 6 7"},
      {"[curve 0x0 1x1 2x2 3x3]", "curve 1 4"},
      {"[curve 0x0 1x1 2x2]", "curve 1 3"},
      {"[spline 0x0 1x1 closed]", "spline 1 2 flag"},
      {"[spline 0x0 1x1 2x2]", "spline 1 3"},
      {"[image img]", "image 1 1"},
      {"[image img 0x0 10x10 5x5 red-ish crop 1x1 2x2]", "image 1 8 x2 x4 x5 x7"},
      {"[image img 0x0 border]", "image 1 3 x2 x2 flag"},
      // five holds no colour: left for the walk, which knows no keyword five
      {"[image img five]", "!draw-invalid @2"},
      {"[shadow 2x2 3 0 0.0.0 inset]", "shadow 1 5 x2 x3 x4 flag"},
      {"[shadow 2x2 red-ish]", "shadow 1 2 x2"},
      {"[shadow 2x2 3]", "shadow 1 2 x2"},
      {"[shadow off]", "shadow 1 1 off"},
      {"[clip 0x0 50x50 intersect [box 0x0 100x100] box 0x0 100x100]",
       "clip 1 2 flag intersect, box 1 2, box 6 7"},
      {"[clip [move 0x0 line 5x5] box 0x0 1x1]", "clip 1 1 replace, box 3 4"},
      {"[rotate 'pen 30 box 0x0 10x10]", "rotate 2 2 pen, box 4 5"},
      {"[rotate 30 5x5]", "rotate 1 2 x2"},
      {"[scale 2 50% 10x10]", "scale 1 3"},
      {"[scale 'fill-pen 2 2]", "scale 2 3 fill-pen"},
      {"[translate 10x10 [box 0x0 1x1] box 0x0 1x1]", "translate 1 1, box 1 2, box 4 5"},
      {"[skew 10 20 5x5]", "skew 1 3"},
      {"[skew 10]", "skew 1 1"},
      {"[transform 10x10 30 2 2 5x5]", "transform 1 5 x3"},
      {"[transform 30 2 2 5x5]", "transform 1 4 x2"},
      {"[matrix 'fill-pen [1 0 0 1 10 10]]", "matrix 2 2 fill-pen"},
      {"[reset-matrix 'pen invert-matrix]", "reset-matrix 0 0 pen, invert-matrix 0 0"},
      {"[push [box 0x0 1x1] [box 1x1 2x2]]", "box 1 2, box 1 2"},
      {"[a: box 0x0 1x1 b: c:]", "box 2 3"},
      {"[Box 0x0 1x1 BOX 1x1 2x2]", "box 1 2, box 4 5"},
  };
  for (const Row& r : rows) EXPECT_EQ(walk(r.source), r.want) << r.source;
}

TEST_F(Walker, ErrorsAtThePositionOfTheFault) {
  struct Row {
    const char* source;
    const char* want;
  } rows[] = {
      {"[line 10x10]", "!draw-invalid @1"},
      {"[line]", "!draw-invalid @1"},
      {"[polygon 0x0 10x10]", "!draw-invalid @1"},
      {"[spline 0x0 closed]", "!draw-invalid @1"},
      {"[box 0x0]", "!draw-invalid @2"},
      {"[box 0x0 five]", "!draw-invalid @2"},
      {"[circle 0x0]", "!draw-invalid @2"},
      {"[ellipse 0x0 5]", "!draw-invalid @2"},
      {"[triangle 0x0 1x1 2]", "!draw-invalid @3"},
      {"[arc 0x0 1x1 0]", "!draw-invalid @4"},
      {"[curve 0x0 1x1]", "!draw-invalid @3"},
      {"[text 10x10 20]", "!draw-invalid @2"},
      {"[text \"a\"]", "!draw-invalid @1"},
      {"[font 1]", "!draw-invalid @1"},
      {"[font img]", "!draw-invalid @1"},
      {"[anti-alias 1]", "!draw-invalid @1"},
      {"[line-width]", "!draw-invalid @1"},
      {"[line-width 1x1]", "!draw-invalid @1"},
      {"[line-join 1]", "!draw-invalid @1"},
      {"[line-cap \"round\"]", "!draw-invalid @1"},
      {"[line-pattern 5 -1]", "!draw-invalid @2"},
      {"[rotate 'foo 30]", "!draw-invalid @1"},
      {"[rotate]", "!draw-invalid @1"},
      {"[scale 2 five]", "!draw-invalid @2"},  // a word is no number, whatever it holds
      {"[translate 5]", "!draw-invalid @1"},
      {"[transform 10x10 30 2]", "!draw-invalid @4"},
      {"[transform 10x10 30 2 2 5]", "!draw-invalid @5"},
      {"[matrix [1 0 0 1 10]]", "!draw-invalid @0"},
      {"[matrix 'pen [1 0 0 1 10 x]]", "!draw-invalid @1"},
      {"[matrix 'pen]", "!draw-invalid @2"},
      {"[shadow 2x2 inset]", "!draw-invalid @2"},
      {"[shadow on]", "!draw-invalid @1"},
      {"[shadow (2, 2)]", "!draw-invalid @1"},
      {"[shadow 2x2 3 4 five]", "!draw-invalid @4"},
      {"[clip 0x0]", "!draw-invalid @2"},
      {"[clip 5]", "!draw-invalid @1"},
      {"[clip [move]]", "!draw-invalid @1"},
      {"[push box]", "!draw-invalid @1"},
      {"[shape box]", "!draw-invalid @1"},
      {"[image 10]", "!draw-invalid @1"},
      {"[image five]", "!draw-invalid @1"},
      {"[image img crop 1x1]", "!draw-invalid @4"},
      {"[pen]", "!draw-invalid @1"},
      {"[pen 10]", "!draw-invalid @1"},
      {"[fill-pen five]", "!draw-invalid @1"},
      {"[fill-pen linear 1.2.3]", "!draw-invalid @3"},
      {"[fill-pen linear five]", "!draw-invalid @2"},
      {"[fill-pen linear 1.1.1 2.2.2 0x0]", "!draw-invalid @5"},
      {"[fill-pen radial 1.1.1 2.2.2 50x50 5x5]", "!draw-invalid @5"},
      {"[fill-pen diamond 1.1.1 2.2.2 50x50 5]", "!draw-invalid @5"},
      {"[fill-pen linear 0x0 0 100 1.1.1]", "!draw-invalid @6"},
      {"[fill-pen linear 0x0 0.5 100 1.1.1 2.2.2]", "!draw-invalid @3"},
      {"[fill-pen linear 0x0 0]", "!draw-invalid @4"},
      {"[pen pattern [box 0x0 1x1]]", "!draw-invalid @2"},
      {"[pen pattern 10x10 0x0 tile]", "!draw-invalid @5"},
      {"[pen bitmap 10x10]", "!draw-invalid @2"},
      {"[12]", "!draw-invalid @0"},
      {"[foo]", "!draw-invalid @0"},
      {"[box 0x0 1x1 \"text\"]", "!draw-invalid @3"},
      {"[:box]", "!draw-invalid @0"},
      {"[shape [foo 1x1]]", "!draw-invalid @0"},
      {"[shape [move 1x1 line]]", "!draw-invalid @3"},
      {"[shape [arc 10x10 5 5]]", "!draw-invalid @4"},
      {"[shape [curve 1x1 2x2]]", "!draw-invalid @1"},
      {"[shape [qcurv]]", "!draw-invalid @1"},
      {"[shape [hline x]]", "!draw-invalid @1"},
      {"[shape [[move 1x1] 5]]", "!draw-invalid @1"},
  };
  for (const Row& r : rows) EXPECT_EQ(walk(r.source), r.want) << r.source;
}

TEST_F(Walker, MoreThan256StopsAreInvalidAtTheGradient) {
  std::string stops;
  for (int i = 0; i < 257; ++i) stops += " 1.2.3";
  EXPECT_EQ(walk("[box 0x0 1x1 fill-pen linear" + stops + "]"), "!draw-invalid @4");
  EXPECT_EQ(walk("[fill-pen radial 0x0 0 10" + stops + "]"), "!draw-invalid @1");
  stops.resize(stops.size() - 6);
  EXPECT_EQ(walk("[fill-pen linear" + stops + " box 0x0 1x1]"), "box 259 260");
}

// A block that holds itself, directly or through another block: SHAPE
// blocks too.
TEST_F(Walker, SelfContainingBlocksAreInfinite) {
  struct Row {
    const char* what;
    const char* source;  // the block; "self" is replaced by the block itself
    const char* inner;   // a block inside it that holds the outer one
  } rows[] = {
      {"directly", "[box 0x0 1x1]", nullptr},
      {"through a nested block", "[box 0x0 1x1]", "[line 0x0 1x1]"},
      {"through a push", "[push]", "[box 0x0 1x1]"},
  };
  for (const Row& r : rows) {
    Cell* outer = load(r.source);
    Cell* holder = outer;
    if (r.inner) {
      holder = load(r.inner);
      block::append_copy(outer, holder);
    }
    block::append_copy(holder, outer);
    Cell* img = new_image(4, 4);
    std::optional<Raised> e = caught([&] { draw::draw_image(img, outer); });
    ASSERT_TRUE(e) << r.what;
    EXPECT_EQ(e->id, Err::script_draw_infinite) << r.what;
    EXPECT_EQ(type_of(&e->arg1), TYPE_BLOCK) << r.what;
  }
  Cell* shape = load("[move 1x1]");
  block::append_copy(shape, shape);
  Cell* drawing = load("[shape]");
  block::append_copy(drawing, shape);
  Cell* img = new_image(4, 4);
  EXPECT_EQ(raised([&] { draw::draw_image(img, drawing); }), Err::script_draw_infinite);
  // The same block twice side by side is no cycle.
  Cell* twice = load("[]");
  Cell* leaf = load("[box 0x0 1x1]");
  block::append_copy(twice, leaf);
  block::append_copy(twice, leaf);
  g_log.clear();
  EXPECT_EQ(raised([&] { draw::draw_image(img, twice); }), std::nullopt);
  EXPECT_EQ(g_log.size(), 2u);
}

// A set-word's owner may change the block being walked: the walk reads its
// tail again after each set-word and never runs past it.
TEST_F(Walker, SetWordsAndChangingBlocks) {
  Cell* img = new_image(4, 4);
  Cell* block = load("[p: box 0x0 1x1 q: box 2x2 3x3]");
  draw::draw_image(img, block);
  EXPECT_EQ(g_log.size(), 2u);
  Cell* p = word::get_value_cell(intern_word("p"));
  ASSERT_EQ(type_of(p), TYPE_BLOCK);
  EXPECT_EQ(series_index(p), 1);
  EXPECT_EQ(series_node(p), series_node(block));
  // A block emptied under the walk: the walk ends at the new tail.
  g_log.clear();
  block::clear_from_index(copy_cell(block, stack::push()));
  draw::draw_image(img, block);
  EXPECT_TRUE(g_log.empty());
}

class Silent : public Walker {
 protected:
  // system/view/silent? true for the test; the previous system comes back.
  Silent() {
    copy_cell(word::get_value_cell(intern_word("system")), saved_system_.get());
    Cell yes;
    make_logic(&yes, true);
    Cell* view = make_as(TYPE_OBJECT, block_of({word_cell("silent?", TYPE_SET_WORD), yes}));
    Cell* sys = make_as(TYPE_OBJECT, block_of({word_cell("view", TYPE_SET_WORD), *view}));
    word::set(intern_word("system"), sys);
  }
  ~Silent() override { copy_cell(&saved_system_.cell, word::get_value_cell(intern_word("system"))); }

 private:
  roots::LocalCell saved_system_;
};

TEST_F(Silent, InvalidInputStopsQuietlyKeepingWhatCameBefore) {
  EXPECT_TRUE(draw::silent_mode());
  EXPECT_EQ(walk("[box 0x0 1x1 foo box 2x2 3x3]"), "box 1 2");
  EXPECT_EQ(walk("[shape [move 0x0 5] box 0x0 1x1]"), "");
  Cell* self = load("[box 0x0 1x1]");
  block::append_copy(self, self);
  Cell* img = new_image(4, 4);
  g_log.clear();
  EXPECT_EQ(raised([&] { draw::draw_image(img, self); }), std::nullopt);
  EXPECT_EQ(g_log.size(), 1u);
}

// A context that catches its errors prints the report and stops.
TEST_F(Walker, CatchingContextsReportAndStop) {
  static std::string printed;
  printed.clear();
  auto hook = [](const Cell* v, int) { printed += string::to_utf8(v); };
  hooks::add(hook, nullptr);
  Cell* img = new_image(4, 4);
  Cell* block = load("[box 0x0 1x1 foo box 2x2 3x3]");
  bool stopped = false;
  std::optional<Err> e = raised([&] {
    draw::Context ctx;
    ctx.catch_errors = true;
    draw::begin_image(ctx, img);
    try {
      draw::parse_draw(ctx, block);
    } catch (const draw::SilentStop&) {
      stopped = true;
    }
  });
  hooks::remove(hook, nullptr);
  EXPECT_EQ(e, std::nullopt);
  EXPECT_TRUE(stopped);
  EXPECT_EQ(g_log.size(), 1u);
  EXPECT_NE(printed.find("DRAW"), std::string::npos) << printed;
  EXPECT_NE(printed.find("foo box 2x2"), std::string::npos) << printed;
}

}  // namespace
}  // namespace qel::test
