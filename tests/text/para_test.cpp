// Para styles: the bits a para gives each face type, and a new para
// replacing every bit an earlier one set on the face's native view.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/block.hpp"
#include "tests/unit/test_support.hpp"
#include "view/backend/text/fonts.hpp"
#include "view/backend/text/updates.hpp"
#include "view/face.hpp"
#include "view/window.hpp"

namespace qel::test {
using namespace view::backend;  // the engines, by their short names
namespace {

namespace face = view::face;
namespace window = view::window;

class ParaStyles : public RuntimeTest {
 protected:
  // A face of the type with a view (a window record) and a changed-facet
  // mask of 0; facets in face! order.
  Cell* face_with_view(const std::string& type, window::Record** rec) {
    std::string spec = "type: '" + type +
                       " offset: size: text: image: color: menu: data: enabled?: visible?: selected: flags: "
                       "options: parent: pane: state: rate: edge: para: font: actors: extra: draw: 0";
    Cell* fields = load_all(spec);
    Cell* f = make_as(TYPE_OBJECT, fields);
    *rec = window::create(window::Class::BASE, nullptr);
    Cell* state = block_of({none_cell(), integer_cell(0), none_cell(), none_cell()});
    window::handle(**rec, block::head_cell(state));
    copy_cell(state, face::facet(f, face::STATE));
    return f;
  }
  Cell* para(const std::string& spec) { return make_as(TYPE_OBJECT, load_all(spec)); }
};

TEST_F(ParaStyles, EachBitTurnsOnAndOffAgain) {
  // Two paras in turn on one face: the second one's bits replace the
  // first's, whichever bits those were; bits of the view that no para sets
  // stay.
  struct Row {
    const char* type;
    const char* first;
    u32 first_bits;
    const char* second;
    u32 second_bits;
  } rows[] = {
      {"base", "align: 'right v-align: 'bottom wrap?: #(true)", 2 | 8 | 16, "align: 'left v-align: 'top wrap?: #(false)", 0},
      {"base", "align: 'center v-align: 'middle wrap?: #(none)", 1 | 4 | 16, "align: v-align: #(none) wrap?: #(false)", 1 | 4},
      {"rich-text", "align: 'center v-align: 'middle wrap?: #(true)", 1 | 4 | 16, "align: v-align: #(none) wrap?: #(false)", 0},
      {"button", "align: 'right v-align: 'bottom", 0x200 | 0x800, "align: 'left v-align: 'top", 0x100 | 0x400},
      {"toggle", "align: 'left v-align: 'top", 0x500, "align: v-align: #(none)", 0x300 | 0xC00},
      {"check", "align: 'center v-align: 'bottom", 0x300 | 0x800, "align: v-align: #(none)", 0x100 | 0xC00},
      {"radio", "align: 'right v-align: 'middle", 0x200 | 0xC00, "align: 'left v-align: 'top", 0x100 | 0x400},
      {"text", "align: 'right v-align: 'middle wrap?: #(false)", 2 | 0x200 | 0x4000, "align: 'left v-align: 'top wrap?: #(true)", 0},
      {"field", "align: 'center wrap?: #(false)", 1 | 0xC0, "align: 'left wrap?: #(none)", 0},
      {"area", "v-align: 'middle wrap?: #(false)", 0x200 | 0xC0, "v-align: 'bottom wrap?: #(true)", 0},
      {"panel", "align: 'right v-align: 'bottom wrap?: #(true)", 0, "align: 'left", 0},
  };
  const u32 other = 0x10000000;  // a bit of the view's style no para sets
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.type) + ": " + r.first);
    window::Record* rec = nullptr;
    Cell* f = face_with_view(r.type, &rec);
    window::set(*rec, window::PARA_STYLE, i32(other));
    for (int step = 0; step < 2; ++step) {
      copy_cell(para(step ? r.second : r.first), face::facet(f, face::PARA));
      text::update_para(f);
      EXPECT_EQ(u32(window::get(*rec, window::PARA_STYLE)), other | (step ? r.second_bits : r.first_bits))
          << "step " << step;
    }
    // The para bit of the face's changed-facet mask is set.
    const Cell* mask = block::head_cell(face::facet(f, face::STATE)) + 1;
    EXPECT_EQ(int_of(mask), 1 << face::PARA);
    window::destroy(rec);
  }
}

TEST_F(ParaStyles, NoParaObjectGivesNoBits) {
  window::Record* rec = nullptr;
  Cell* f = face_with_view("base", &rec);
  window::set(*rec, window::PARA_STYLE, 1 | 4 | 16);
  text::update_para(f);  // para none: the bits go
  EXPECT_EQ(window::get(*rec, window::PARA_STYLE), 0);
  EXPECT_EQ(text::fonts::para_style_flags(text::N_BASE, nullptr), 0u);
  window::destroy(rec);
}

}  // namespace
}  // namespace qel::test
