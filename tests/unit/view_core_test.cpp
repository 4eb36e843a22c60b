// The GUI backend's core side, without GTK: face flags, colour and point
// conversions, units, the association table, widget data glue, window
// records and their faces, and OS events whose message the ring has
// reused.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/event.hpp"
#include "datatypes/handle.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/collector.hpp"
#include "runtime/resources.hpp"
#include "runtime/roots.hpp"
#include "test_support.hpp"
#include "view/convert.hpp"
#include "view/face.hpp"
#include "view/glue.hpp"
#include "view/messages.hpp"
#include "view/test_hooks.hpp"
#include "view/units.hpp"
#include "view/window.hpp"

using namespace qel;
using namespace qel::test;
namespace vw = qel::view;

namespace {

class ViewCoreTest : public RuntimeTest {
 protected:
  void SetUp() override {
    event::init();
    vw::messages::install_event_reader();
  }

  // An object with the facets of a face up to `draw` (no change handlers),
  // every one none but `type`, into out (rooted).
  static Cell* face_at(Cell* out, const char* type) {
    std::string spec = "[";
    for (const char* w : {"type", "offset", "size", "text", "image", "color", "menu", "data", "enabled?",
                          "visible?", "selected", "flags", "options", "parent", "pane", "state", "rate",
                          "edge", "para", "font", "actors", "extra", "draw"})
      spec += std::string(w) + ": 0 ";
    spec += "]";
    copy_cell(make_as(TYPE_OBJECT, load(spec)), out);
    for (u32 i = 0; i <= vw::face::DRAW; ++i) make_none(vw::face::facet(out, i));
    Cell t = word_cell(type);
    copy_cell(&t, vw::face::facet(out, vw::face::TYPE));
    return out;
  }
};

TEST_F(ViewCoreTest, FaceFlags) {
  struct Case {
    const char* flags;
    u32 mask;
  } const cases[] = {
      {"resize", 0x04000000},  {"[modal popup]", 0x03000000}, {"[]", 0},
      {"[all-over 'focusable tri-state no-border]", 0x80020003},
      {"12", 0},               {"\"modal\"", 0},
  };
  for (const Case& c : cases) {
    Outcome o = outcome_of([&] {
      Cell* v = load(c.flags);
      return make_integer(v, i32(vw::convert::get_flags(v)));
    });
    ASSERT_FALSE(o.error) << c.flags;
    EXPECT_EQ(u32(int_of(&o.value)), c.mask) << c.flags;
  }
  for (const char* bad : {"sideways", "[modal sideways]", "[modal 1]"}) {
    Outcome o = outcome_of([&] { return make_integer(load(bad), i32(vw::convert::get_flags(load(bad)))); });
    EXPECT_EQ(o.error, Err::script_invalid_arg) << bad;
  }
}

TEST_F(ViewCoreTest, ColoursAndPoints) {
  struct Case {
    const char* tuple;
    u32 colour, argb, layered;
  } const cases[] = {
      {"255.0.0", 0x000000FF, 0xFFFF0000, 0xFEFF0000},
      {"1.2.3.4", 0x04030201, 0xFB010203, 0xFB010203},
      {"10.20.30.255", 0xFF1E140A, 0x000A141E, 0x000A141E},
  };
  for (const Case& c : cases) {
    u32 colour = vw::convert::tuple_to_colour(load(c.tuple));
    EXPECT_EQ(colour, c.colour) << c.tuple;
    EXPECT_EQ(vw::convert::colour_to_argb(colour), c.argb) << c.tuple;
    EXPECT_EQ(vw::convert::colour_to_layered_argb(colour), c.layered) << c.tuple;
  }
  Cell* p = load("(1.9, -1.9)");
  vw::convert::point_to_pair(p);
  EXPECT_EQ(molded(p), "1x-1");
  Cell* q = load("3x-4");
  vw::convert::pair_to_point(q);
  EXPECT_EQ(molded(q), "(3, -4)");
  // Units: pixels are trunc(x * scale + 0.5), logical units pixels / scale.
  EXPECT_EQ(vw::units::to_pixels(11, 1.5), 17);
  EXPECT_EQ(vw::units::to_pixels(10, 1.5), 15);
  EXPECT_EQ(vw::units::to_pixels(-3, 1.0), -2);
  EXPECT_DOUBLE_EQ(vw::units::to_logical(15, 1.5), 10.0);
  roots::LocalCell out;
  EXPECT_EQ(molded(vw::units::logical_point(16, 7, true, out.get(), 1.5)), "10x4");
  EXPECT_EQ(molded(vw::units::logical_point(16, 7, false, out.get(), 2)), "(8, 3.5)");
}

TEST_F(ViewCoreTest, AssociationTableAndClock) {
  vw::convert::Table t;
  for (u32 i = 1; i <= vw::convert::Table::CAPACITY; ++i) EXPECT_TRUE(vw::convert::table_add(t, i, i * 10));
  EXPECT_FALSE(vw::convert::table_add(t, 999, 1)) << "a full table stays as it is";
  EXPECT_EQ(t.count, vw::convert::Table::CAPACITY);
  EXPECT_EQ(vw::convert::table_find(t, 7), 70u);
  EXPECT_EQ(vw::convert::table_find(t, 999), 0u);
  u64 since = vw::convert::read_counter() + 1000000000;  // a second ahead
  double ms = vw::convert::elapsed_ms(since);
  EXPECT_NEAR(ms, 0x7FFFFFFF / 1e6, 1e-6);
  EXPECT_LE(since, vw::convert::read_counter());
  EXPECT_GE(vw::convert::elapsed_ms(since), 0.0);
}

TEST_F(ViewCoreTest, WidgetDataGlue) {
  roots::LocalCell face;
  face_at(face.get(), "scroller");
  // A scroll bar: position and page as fractions of the range; an empty
  // range divides by nothing.
  vw::glue::scroller_to_face(face.get(), 30, 10, 110, 25);
  EXPECT_EQ(molded(vw::face::facet(face.get(), vw::face::DATA)), "0.2");
  EXPECT_EQ(molded(vw::face::facet(face.get(), vw::face::SELECTED)), "25%");
  vw::glue::scroller_to_face(face.get(), 5, 5, 5, 10);
  EXPECT_EQ(molded(vw::face::facet(face.get(), vw::face::DATA)), "0.0");
  EXPECT_EQ(molded(vw::face::facet(face.get(), vw::face::SELECTED)), "100%");
  // A slider: vertical ones count from the bottom; a float stays a float.
  make_none(vw::face::facet(face.get(), vw::face::DATA));
  vw::glue::slider_to_face(face.get(), 100, 100, true);
  EXPECT_EQ(molded(vw::face::facet(face.get(), vw::face::DATA)), "0%");
  make_float(vw::face::facet(face.get(), vw::face::DATA), 0.5);
  vw::glue::slider_to_face(face.get(), 25, 100, false);
  EXPECT_EQ(molded(vw::face::facet(face.get(), vw::face::DATA)), "0.25");
  vw::glue::slider_to_face(face.get(), 25, 0, false);
  EXPECT_EQ(molded(vw::face::facet(face.get(), vw::face::DATA)), "0.0");
  // Check boxes: none is indeterminate only for a tri-state check face.
  Cell none = none_cell(), yes{TYPE_LOGIC, 1, 0, 0}, no{TYPE_LOGIC, 0, 0, 0}, one = integer_cell(1);
  EXPECT_EQ(vw::glue::check_of_data(&none, true), vw::glue::INDETERMINATE);
  EXPECT_EQ(vw::glue::check_of_data(&none, false), vw::glue::UNCHECKED);
  EXPECT_EQ(vw::glue::check_of_data(&yes, false), vw::glue::CHECKED);
  EXPECT_EQ(vw::glue::check_of_data(&no, true), vw::glue::UNCHECKED);
  EXPECT_EQ(vw::glue::check_of_data(&one, false), vw::glue::CHECKED);
  vw::glue::check_to_face(face.get(), vw::glue::INDETERMINATE);
  EXPECT_EQ(molded(vw::face::facet(face.get(), vw::face::DATA)), "none");
  vw::glue::check_to_face(face.get(), vw::glue::CHECKED);
  EXPECT_EQ(molded(vw::face::facet(face.get(), vw::face::DATA)), "true");
  // Selections: none when empty, else 1-based first and last characters.
  vw::glue::selection_to_face(face.get(), 2, 5);
  EXPECT_EQ(molded(vw::face::facet(face.get(), vw::face::SELECTED)), "3x5");
  vw::glue::selection_to_face(face.get(), 4, 4);
  EXPECT_EQ(molded(vw::face::facet(face.get(), vw::face::SELECTED)), "none");
  // Ratios and positions.
  EXPECT_EQ(vw::glue::ratio_of(load("150%")), 1.0);
  EXPECT_EQ(vw::glue::ratio_of(load("-2")), 0.0);
  EXPECT_EQ(vw::glue::ratio_of(load("0.25")), 0.25);
  EXPECT_EQ(vw::glue::ratio_of(load("\"x\"")), -1.0);
  EXPECT_EQ(vw::glue::position_from_data(load("50%"), 80), 40.0);
  EXPECT_EQ(vw::glue::position_from_data(load("5"), 80), 0.0);
  // Options and colours.
  copy_cell(load("[hint: \"name\" tabs: 8 accelerated: true]"), vw::face::facet(face.get(), vw::face::OPTIONS));
  EXPECT_FALSE(vw::glue::accelerated(face.get())) << "the word true is no logic!";
  make_logic(cell_at(vw::face::facet(face.get(), vw::face::OPTIONS), 5), true);
  EXPECT_TRUE(vw::glue::accelerated(face.get()));
  EXPECT_EQ(molded(vw::glue::hint(face.get())), "\"name\"");
  EXPECT_EQ(vw::glue::tab_stop(face.get()), 32);
  copy_cell(load("[tabs: \"8\"]"), vw::face::facet(face.get(), vw::face::OPTIONS));
  EXPECT_EQ(vw::glue::tab_stop(face.get()), 16);
  EXPECT_EQ(vw::glue::hint(face.get()), nullptr);
  struct CursorCase {
    const char* options;
    const char* cursor;
  } const cursors[] = {
      {"[cursor: hand]", "pointer"},   {"[cursor: I-beam]", "text"},     {"[cursor: 'cross]", "crosshair"},
      {"[cursor: resize-we]", "ew-resize"}, {"[cursor: resize-ns]", "ns-resize"}, {"[cursor: other]", "default"},
  };
  for (const CursorCase& c : cursors) {
    copy_cell(load(c.options), vw::face::facet(face.get(), vw::face::OPTIONS));
    EXPECT_STREQ(vw::glue::cursor_name(face.get()), c.cursor) << c.options;
  }
  copy_cell(load("[cursor: 12]"), vw::face::facet(face.get(), vw::face::OPTIONS));
  EXPECT_EQ(vw::glue::cursor_name(face.get()), nullptr);
  // A single-line field swallows Enter and Tab; Control+A selects all in an area.
  EXPECT_EQ(vw::glue::area_char(false, 13), vw::glue::SWALLOW);
  EXPECT_EQ(vw::glue::area_char(false, 9), vw::glue::SWALLOW);
  EXPECT_EQ(vw::glue::area_char(false, 1), vw::glue::PASS_ON);
  EXPECT_EQ(vw::glue::area_char(true, 1), vw::glue::SELECT_ALL);
  EXPECT_EQ(vw::glue::area_char(true, 13), vw::glue::PASS_ON);
  EXPECT_TRUE(vw::glue::colour_needs_layer(load("1.2.3.4")));
  EXPECT_FALSE(vw::glue::colour_needs_layer(load("1.2.3.0")));
  EXPECT_FALSE(vw::glue::colour_needs_layer(load("1.2.3")));
  copy_cell(load("1.2.3.4"), vw::face::facet(face.get(), vw::face::COLOR));
  EXPECT_EQ(vw::glue::colour_of_facet(face.get(), vw::face::COLOR), 0x030201);
  EXPECT_EQ(vw::glue::colour_of_facet(face.get(), vw::face::TEXT), -1);
}

TEST_F(ViewCoreTest, WindowRecordsFindTheirFacesThroughTheSlotTable) {
  roots::LocalCell face, h1, h2;
  face_at(face.get(), "window");
  vw::window::Record* w = vw::window::create(vw::window::Class::WINDOW, nullptr);
  vw::window::Record* child = vw::window::create(vw::window::Class::BASE, w);
  EXPECT_FALSE(vw::window::has_face(*w)) << "a record without a face is not a face's";
  vw::window::store_face(*w, face.get());
  vw::window::set(*w, vw::window::CURSOR, 7);
  vw::window::reset_memory(*w);
  EXPECT_EQ(vw::window::get(*w, vw::window::CURSOR), 0);
  vw::window::set(*w, vw::window::FLAGS, 0x41);
  EXPECT_EQ(vw::window::get(*w, vw::window::FLAGS), 0x41);
  EXPECT_EQ(vw::window::get(*w, 77), 0) << "offsets outside the memory read 0";
  gc::do_cycle();  // the slot table keeps the face alive and finds it
  ASSERT_NE(vw::window::face(*w), nullptr);
  EXPECT_TRUE(vw::face::is_type(vw::window::face(*w), "window"));
  EXPECT_EQ(vw::window::root(child), w);
  EXPECT_EQ(vw::window::face(*child), nullptr);
  // Every handle of a window is the same handle, and finds it while it lives.
  vw::window::handle(*w, h1.get());
  vw::window::handle(*w, h2.get());
  EXPECT_EQ(molded(h1.get()), molded(h2.get()));
  EXPECT_EQ(vw::window::from_handle(h1.get()), w);
  Cell plain;
  int x = 0;
  handle::make_at(&plain, &x, 0);
  EXPECT_EQ(vw::window::from_handle(&plain), nullptr) << "a handle of another kind";
  handle::free(&plain, false);
  // A freed face slot is no face, whatever the slot holds later.
  i32 slot = vw::window::get(*w, vw::window::FACE);
  resources::slot_free(u32(slot));
  EXPECT_EQ(vw::window::face(*w), nullptr);
  vw::window::set(*w, vw::window::FACE, 0);
  vw::window::destroy(child);
  vw::window::destroy(w);
  gc::do_cycle();
  EXPECT_EQ(vw::window::from_handle(h1.get()), nullptr) << "a handle kept after its window";
  // Pointers in window memory go by id.
  int a = 0;
  i32 id = vw::window::keep_pointer(&a);
  EXPECT_GT(id, 0);
  EXPECT_EQ(vw::window::pointer(id), &a);
  vw::window::drop_pointer(id);
  EXPECT_EQ(vw::window::pointer(id), nullptr);
  EXPECT_EQ(vw::window::pointer(0), nullptr);
}

TEST_F(ViewCoreTest, AnOsEventKeptPastItsMessageAnswersOnlyItsOwnFields) {
  roots::LocalCell face, e, out;
  face_at(face.get(), "base");
  vw::window::Record* w = vw::window::create(vw::window::Class::BASE, nullptr);
  vw::window::store_face(*w, face.get());
  vw::window::set(*w, vw::window::KIND, vw::window::KIND_PAIRS);
  vw::messages::Message m;
  m.window = w->id;
  m.code = vw::messages::LBUTTONDOWN;
  m.x = 12;
  m.y = 34;
  u32 ref = vw::messages::record(m);
  event::make_os_at(e.get(), event::DOWN, ref, event::FLAG_SHIFT | event::FLAG_DOWN, 0x1F600, false);
  EXPECT_TRUE(vw::face::is_type(event::get_field(e.get(), event::F_FACE, out.get()), "base"));
  // A press's offset is a point2D! (pair! only for a resize of a window of
  // pair! sizes).
  EXPECT_EQ(molded(event::get_field(e.get(), event::F_OFFSET, out.get())), "(12, 34)");
  // The ring wraps: the event's message slot now holds another message.
  for (u32 i = 0; i < vw::messages::RING_SLOTS; ++i) vw::messages::record(vw::messages::Message{});
  EXPECT_EQ(vw::messages::get(ref), nullptr);
  struct Case {
    u32 field;
    const char* value;
  } const cases[] = {
      {event::F_TYPE, "down"},   {event::F_KEY, "#\"\xF0\x9F\x98\x80\""}, {event::F_FLAGS, "[down shift]"},
      {event::F_SHIFT, "true"},  {event::F_FACE, "none"},  {event::F_WINDOW, "none"},
      {event::F_OFFSET, "none"}, {event::F_PICKED, "none"}, {event::F_ORIENTATION, "none"},
  };
  for (const Case& c : cases) EXPECT_EQ(molded(event::get_field(e.get(), c.field, out.get())), c.value) << c.field;
  vw::window::destroy(w);
}

TEST_F(ViewCoreTest, DialogAnswersWaitForTheirKind) {
  api::Values v(1);
  auto hook = [&](const char* spec) { return raised([&] { vw::test_hooks::add_answers(load(spec)); }); };
  ASSERT_FALSE(hook("[file %a.txt dir %b/ file %c.txt]"));
  struct Take {
    const char* kind;
    const char* answer;  // nullptr: none waits
  } const takes[] = {{"file", "%a.txt"}, {"font", nullptr}, {"file", "%c.txt"}, {"dir", "%b/"}, {"file", nullptr}};
  for (const Take& t : takes) {
    bool got = vw::test_hooks::take_answer(t.kind, v[0]);
    EXPECT_EQ(got, t.answer != nullptr) << t.kind;
    if (got && t.answer) {
      EXPECT_EQ(molded(v[0]), t.answer) << t.kind;
    }
  }
  ASSERT_FALSE(hook("[font 12]"));
  Cell none = none_cell();
  vw::test_hooks::add_answers(&none);
  EXPECT_FALSE(vw::test_hooks::take_answer("font", v[0])) << "none forgets every answer";
  EXPECT_EQ(hook("[file]"), Err::script_invalid_arg);
  EXPECT_EQ(hook("[other 1]"), Err::script_invalid_arg);
  EXPECT_EQ(vw::test_hooks::fake_monitors(), nullptr);
  EXPECT_EQ(raised([&] { vw::test_hooks::set_monitors(load("[0x0 1x1 0.0]")); }), Err::script_invalid_arg);
  EXPECT_EQ(vw::test_hooks::fake_monitors(), nullptr) << "a refused list changes nothing";
}

}  // namespace
