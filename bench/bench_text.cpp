// The text engine: 10,000 lines of 80 characters, three style ranges each
// (bold, a colour, italic), laid out and measured one by one through a
// rich-text face as size-text does it (the layout marked stale, laid out
// again with its styles and cached in the face, its size asked), next to
// the same layouts built and measured with pango called directly, in the
// same run.
#include <pango/pangocairo.h>

#include <random>
#include <string>
#include <vector>

#include "bench_main.hpp"
#include "datatypes/block.hpp"
#include "eval/lexer.hpp"
#include "runtime/actions.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "view/backend/text/format.hpp"
#include "view/backend/text/text_box.hpp"
#include "view/face.hpp"

using namespace qel;
using namespace qel::view::backend;

namespace {

constexpr int LINES = 10000;
constexpr int WIDTH = 80;

struct Line {
  std::string text;
  int bold, colour, italic;  // 1-based starts; lengths 10, 15 and 20
};

const std::vector<Line>& lines() {
  static std::vector<Line> all = [] {
    std::mt19937 rng(7);
    const char* words[] = {"alpha", "beta", "gamma", "do", "if", "while", "print", "x", "result", "42", "[a b]"};
    std::vector<Line> v(LINES);
    for (Line& l : v) {
      while (l.text.size() < WIDTH) {
        l.text += words[rng() % 11];
        l.text += ' ';
      }
      l.text.resize(WIDTH);
      l.bold = 1 + int(rng() % 10);
      l.colour = 20 + int(rng() % 10);
      l.italic = 45 + int(rng() % 10);
    }
    return v;
  }();
  return all;
}

// Loads Qel source into a rooted cell: the block of its values.
void load(Cell* out, const std::string& src) { lexer::load_source(out, src.data(), src.size()); }

Cell* make_object(Cell* spec) {
  Cell proto;
  make_datatype(&proto, TYPE_OBJECT);
  return actions::make(&proto, spec);
}

// ---- through the text engine -----------------------------------------------------------

void BM_RichTextFace(benchmark::State& state) {
  roots::LocalCell face, texts, font, scratch;
  // The lines' texts and style blocks: [text [ranges] text [ranges] ...].
  std::string src;
  for (const Line& l : lines()) {
    src += "\"" + l.text + "\" [" + std::to_string(l.bold) + "x10 bold " + std::to_string(l.colour) +
           "x15 200.0.0 " + std::to_string(l.italic) + "x20 italic]\n";
  }
  load(texts.get(), src);
  load(scratch.get(), "name: \"DejaVu Sans Mono\" size: 10 style: 0 state: parent: #(none)");
  copy_cell(make_object(scratch.get()), font.get());
  load(scratch.get(),
       "type: 'rich-text offset: 0x0 size: 800x20 text: image: color: menu: data: enabled?: visible?: selected: "
       "flags: options: parent: pane: state: rate: edge: para: font: actors: extra: draw: tabs: line-spacing: "
       "handles: #(none)");
  copy_cell(make_object(scratch.get()), face.get());
  copy_cell(font.get(), view::face::facet(face.get(), view::face::FONT));
  double width = 0;
  for (auto _ : state) {
    u32 node = series_node(texts.get());
    for (u32 i = 0; i < 2 * LINES; i += 2) {
      copy_cell(mem::buffer_of(node)->cells() + i, view::face::facet(face.get(), view::face::TEXT));
      copy_cell(mem::buffer_of(node)->cells() + i + 1, view::face::facet(face.get(), view::face::DATA));
      text::mark_stale(face.get());
      width += text::extent(*text::box_of(face.get(), false)).x;
    }
  }
  benchmark::DoNotOptimize(width);
  state.SetItemsProcessed(state.iterations() * LINES);
}

// ---- pango called directly --------------------------------------------------------------

void BM_PangoDirect(benchmark::State& state) {
  PangoContext* ctx = text::context();
  PangoFontDescription* desc = pango_font_description_from_string("DejaVu Sans Mono 10");
  double width = 0;
  for (auto _ : state) {
    for (const Line& l : lines()) {
      PangoLayout* layout = pango_layout_new(ctx);
      pango_layout_set_font_description(layout, desc);
      pango_layout_set_text(layout, l.text.data(), int(l.text.size()));
      pango_layout_set_width(layout, 800 * PANGO_SCALE);
      pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
      PangoAttrList* attrs = pango_attr_list_new();
      auto add = [attrs](PangoAttribute* a, int start, int length) {
        a->start_index = guint(start - 1);
        a->end_index = guint(start - 1 + length);
        pango_attr_list_insert(attrs, a);
      };
      add(pango_attr_weight_new(PANGO_WEIGHT_BOLD), l.bold, 10);
      add(pango_attr_foreground_new(200 * 257, 0, 0), l.colour, 15);
      add(pango_attr_style_new(PANGO_STYLE_ITALIC), l.italic, 20);
      pango_layout_set_attributes(layout, attrs);
      pango_attr_list_unref(attrs);
      PangoRectangle logical;
      pango_layout_get_extents(layout, nullptr, &logical);
      width += logical.width / double(PANGO_SCALE);
      g_object_unref(layout);
    }
  }
  pango_font_description_free(desc);
  benchmark::DoNotOptimize(width);
  state.SetItemsProcessed(state.iterations() * LINES);
}

}  // namespace

BENCHMARK(BM_RichTextFace)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PangoDirect)->Unit(benchmark::kMillisecond);

QEL_BENCHMARK_MAIN();
