// The runtime's console writer: escape translation on a terminal, UTF-8
// pass-through when redirected.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/console.hpp"
#include "platform/os.hpp"

namespace console_test {

using namespace qel;
namespace console = qel::platform::console;

namespace {

// Captures what the writer sends to its file descriptor.
struct Capture {
  FILE* f = std::tmpfile();
  explicit Capture(bool terminal) {
    console::set_output_fd(fileno(f));
    console::set_console_mode(terminal);
  }
  ~Capture() {
    console::set_output_fd(1);
    console::init();
    std::fclose(f);
  }
  std::string text() {
    console::flush();
    std::fflush(f);
    std::string out;
    std::rewind(f);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    return out;
  }
};

std::string through(bool terminal, const std::string& in, u32 unit = 1) {
  Capture cap(terminal);
  if (unit == 1) {
    console::write(in.data(), in.size(), 1, false);
  } else {
    std::u16string wide(in.begin(), in.end());
    console::write(wide.data(), wide.size() * 2, 2, false);
  }
  return cap.text();
}

}  // namespace

TEST(Console, EscapeTranslationTable) {
  struct Case { const char* in; const char* terminal; };
  const Case cases[] = {
      {"\x1b[31mred", "\x1b[31mred"},
      {"\x1b[1;31mx", "\x1b[1;31mx"},
      {"\x1b[mx", "x"},                              // ESC [ m: ends, no change
      {"\x1b[2;5Hx", "\x1b[6;3Hx"},                  // column first, counted from 0
      {"\x1b[Hx", "\x1b[Hx"},
      {"\x1b[3Ax", "\x1b[3Ax"},
      {"\x1b[Kx", "\x1b[Kx"},
      {"\x1b[2Jx", "\x1b[2J\x1b[Hx"},
      {"\x1b[2Kx", "\x1b[2K\rx"},
      {"\x1b[1;2;33mx", "\x1b[1;2;33mx"},            // n;m; collects, final m sets
      {"\x1bXy", "\x1bXy"},                          // ESC not followed by "[" is a character
      {"a\x1b[5Zb", "aZb"},                          // unknown final unit ends the sequence
  };
  for (const Case& c : cases) {
    EXPECT_EQ(through(true, c.in), c.terminal) << c.in + 1;
    EXPECT_EQ(through(true, c.in, 2), c.terminal) << "unit 2: " << c.in + 1;
    EXPECT_EQ(through(false, c.in), c.in) << "redirected output passes escapes through";
  }
}

TEST(Console, RedirectedTextIsUtf8AndLinesEndWithLf) {
  Capture cap(false);
  const char32_t text[] = U"é€😀";
  console::write(text, 3 * 4, 4, true);
  const char latin1[] = "\xE9";
  console::write(latin1, 1, 1, true);
  EXPECT_EQ(cap.text(), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\n\xC3\xA9\n");
}

TEST(Console, LongRunsAreWrittenWithoutLoss) {
  std::string big(5000, 'q');
  big[4999] = '!';
  EXPECT_EQ(through(true, big), big);
  EXPECT_EQ(through(false, big, 2), big);
}

TEST(Console, NumberPrinters) {
  Capture cap(false);
  console::print_integer(-42);
  console::print_hex_byte(0xA);
  console::print_hex(0xBEEF);
  console::print_float64(0.1);
  console::print_c_text(" ok");
  EXPECT_EQ(cap.text(), "-420A0000BEEF0.1 ok");
}

TEST(Os, EnvironmentAndDirectoryRoundTrip) {
  EXPECT_TRUE(platform::set_env("QEL_TEST_VAR", "vålue"));
  EXPECT_EQ(platform::get_env("QEL_TEST_VAR").value_or(""), "vålue");
  EXPECT_TRUE(platform::unset_env("QEL_TEST_VAR"));
  EXPECT_FALSE(platform::get_env("QEL_TEST_VAR").has_value());
  std::string here = platform::get_current_dir();
  ASSERT_FALSE(here.empty());
  EXPECT_TRUE(platform::set_current_dir("/"));
  EXPECT_EQ(platform::get_current_dir(), "/");
  EXPECT_TRUE(platform::set_current_dir(here));
  EXPECT_FALSE(platform::set_current_dir("/no/such/dir/at/all"));
}

TEST(Os, PackedDateAndZone) {
  u32 d = platform::get_date(true);
  EXPECT_GE(d >> 17, 2024u);
  EXPECT_EQ(d & 0x7F, 0u) << "UTC has zone 0";
  u32 month = (d >> 12) & 31, day = (d >> 7) & 31;
  EXPECT_TRUE(month >= 1 && month <= 12);
  EXPECT_TRUE(day >= 1 && day <= 31);
  EXPECT_EQ(platform::pack_zone(2 * 3600), 2u << 2);
  EXPECT_EQ(platform::pack_zone(-(5 * 3600 + 30 * 60)), 0x40u | (5u << 2) | 2u);
  double t = platform::get_time(true);
  EXPECT_GE(t, 0.0);
  EXPECT_LT(t, 86400.0);
}

}  // namespace console_test
