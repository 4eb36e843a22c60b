// The clipboard: the answers without a display (the plain run, where DISPLAY
// is unset), and round trips of text, a file list and an image under an X
// server (ClipboardDisplayTest: only the gui/clipboard test runs it, under
// tests/gui_xvfb.sh, and the plain runs leave it out rather than skip it).
#include <cstdlib>
#include <functional>

#include "datatypes/image.hpp"
#include "view/clipboard.hpp"
#include "test_support.hpp"

namespace qel::test {
namespace {

namespace clipboard = view::clipboard;

bool have_display() { return std::getenv("DISPLAY") && *std::getenv("DISPLAY"); }

class ClipboardTest : public RuntimeTest {};
class ClipboardDisplayTest : public RuntimeTest {};

TEST_F(ClipboardTest, WithoutDisplayReadingGivesNoneAndWritingFalse) {
  if (have_display()) GTEST_SKIP() << "a display is present";
  EXPECT_EQ(molded(clipboard::read()), "none");
  Cell none = none_cell();
  EXPECT_FALSE(clipboard::write(&none));
  EXPECT_FALSE(clipboard::write(text("hello")));
  EXPECT_FALSE(clipboard::write(load("[%/tmp/a.txt]")));
}

TEST_F(ClipboardTest, OtherValuesRaiseBeforeTheClipboardIsTouched) {
  Cell n = integer_cell(3);
  EXPECT_EQ(raised([&] { clipboard::write(&n); }), Err::script_invalid_arg);
  EXPECT_EQ(raised([&] { clipboard::write(load("[%a.txt 3]")); }), Err::script_invalid_arg);
  // Text that clipboard text cannot hold whole: a NUL would cut it short, a
  // lone surrogate has no UTF-8 form.
  for (const char* t : {"\"a^@b\"", "\"x^(D800)\"", "\"^(DFFF)\""}) {
    SCOPED_TRACE(t);
    EXPECT_EQ(raised([&] { clipboard::write(load(t)); }), Err::script_invalid_chars);
  }
}

TEST_F(ClipboardDisplayTest, RoundTrips) {
  ASSERT_TRUE(have_display()) << "runs under an X server only";
  const u32 pixels[4] = {0xFFFF0000u, 0xFF00FF00u, 0xBF0000FFu, 0xFFFFFFFFu};
  struct Case {
    std::function<Cell*()> value;
    const char* read;  // the mold of what is read back
  };
  const Case cases[] = {
      {[] { return text("text with \u00fc and a\nline"); }, "\"text with \u00fc and a^/line\""},
      {[] { return load("[%/tmp/a.txt %/tmp/dir/b%20c.png]"); }, "[%/tmp/a.txt %\"/tmp/dir/b c.png\"]"},
      {[&] { return image::push_from_pixels(2, 2, pixels); },
       "make image! [2x2 #{FF000000FF000000FFFFFFFF} #{\n    00004000\n}]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.read);
    ASSERT_TRUE(clipboard::write(c.value()));
    EXPECT_EQ(molded(clipboard::read()), c.read);
  }
  Cell none = none_cell();
  EXPECT_TRUE(clipboard::write(&none));
  EXPECT_EQ(molded(clipboard::read()), "none");
  // Text another program offers as UTF-8 that is not: read like a file, a
  // catchable error.
  ASSERT_EQ(std::system("printf 'caf\\351' | xclip -selection clipboard -t UTF8_STRING -i"), 0);
  // (until xclip, which serves the selection from a child of its own, owns it)
  ASSERT_EQ(std::system("i=0; until xclip -o -selection clipboard -t UTF8_STRING 2>/dev/null | grep -q caf; do"
                        " i=$((i + 1)); [ $i -gt 200 ] && exit 1; sleep 0.05; done"),
            0);
  EXPECT_EQ(raised([] { clipboard::read(); }), Err::access_invalid_utf8);
  EXPECT_TRUE(clipboard::write(text("mine again")));
  EXPECT_EQ(molded(clipboard::read()), "\"mine again\"");
  // An image without pixels empties the clipboard as well.
  EXPECT_TRUE(clipboard::write(text("x")));
  EXPECT_TRUE(clipboard::write(image::push_from_pixels(0, 0, nullptr)));
  EXPECT_EQ(molded(clipboard::read()), "none");
}

}  // namespace
}  // namespace qel::test
