// Draws the text-box cases of tests/text/compare_text.py into PNG files: a
// rich-text face per case, laid out by the text engine and drawn with its
// backdrops at (2, 2) in black on a transparent image 4 pixels larger than
// the face.
//
// Usage: qel-text-render CASES OUT-DIR
// CASES is Qel source: one block per case,
//   [name size text data [font fields] [para fields] tabs line-spacing]
// with [] for no para and 0 for no tabs or line spacing.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "datatypes/block.hpp"
#include "datatypes/pair.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "tests/unit/test_support.hpp"
#include "view/backend/text/names.hpp"
#include "view/backend/text/text_box.hpp"  // and cairo with it
#include "view/face.hpp"

namespace qel::test {
using namespace view::backend;  // the engines, by their short names
namespace {

namespace face = view::face;

const char* const kFace =
    "type: 'rich-text offset: size: text: image: color: menu: data: enabled?: visible?: selected: flags: "
    "options: parent: pane: state: rate: edge: para: font: actors: extra: draw: tabs: line-spacing: "
    "handles: #(none)";

bool render(const Cell* case_in, const std::string& dir) {
  Guard guard;
  // The case and every value made here stay on the stack: the collector
  // may move any series at any allocation.
  Cell* c = copy_cell(case_in, stack::push());
  Cell* f = make_as(TYPE_OBJECT, load_all(kFace));
  std::string name = spelling(cell_at(c, 0));
  copy_cell(cell_at(c, 1), face::facet(f, face::SIZE));
  copy_cell(cell_at(c, 2), face::facet(f, face::TEXT));
  copy_cell(cell_at(c, 3), face::facet(f, face::DATA));
  Cell* font = make_as(TYPE_OBJECT, cell_at(c, 4));
  copy_cell(font, face::facet(f, face::FONT));
  if (cell_count(cell_at(c, 5))) {
    Cell* para = make_as(TYPE_OBJECT, cell_at(c, 5));
    copy_cell(para, face::facet(f, face::PARA));
  }
  if (int_of(cell_at(c, 6))) copy_cell(cell_at(c, 6), text::field(f, text::N_TABS));
  if (int_of(cell_at(c, 7))) copy_cell(cell_at(c, 7), text::field(f, text::N_LINE_SPACING));
  const Cell* size = cell_at(c, 1);
  int w = pair::x(size) + 4, h = pair::y(size) + 4;
  text::TextBoxRef box = text::layout_face(f, false);
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  cairo_t* cr = cairo_create(s);
  cairo_set_source_rgb(cr, 0, 0, 0);
  text::draw(cr, *box, 2, 2);
  cairo_destroy(cr);
  bool ok = cairo_surface_write_to_png(s, (dir + "/" + name + ".png").c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(s);
  return ok;
}

}  // namespace
}  // namespace qel::test

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: qel-text-render CASES OUT-DIR\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  std::stringstream source;
  source << in.rdbuf();
  qel::runtime::init_for_tests();
  using namespace qel;
  test::Guard guard;
  Cell* cases = test::load_all(source.str());
  for (u32 i = 0; i < test::cell_count(cases); ++i) {
    Cell c = *test::cell_at(cases, i);  // render roots it before anything allocates
    if (!test::render(&c, argv[2])) {
      std::fprintf(stderr, "case %u: not written\n", i + 1);
      return 1;
    }
  }
  return 0;
}
