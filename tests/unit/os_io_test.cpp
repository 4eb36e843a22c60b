// The OS layers under the file, HTTP and process services: response header
// parsing, command-line splitting, directory names by their text, reads of
// streams and devices, and the failures a script cannot provoke portably
// (permission denied, a failed directory creation).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "io/files.hpp"
#include "io/http.hpp"
#include "io/os.hpp"
#include "datatypes/object.hpp"
#include "datatypes/file_url.hpp"
#include "datatypes/string.hpp"
#include "datatypes/tuple.hpp"
#include "platform/os.hpp"
#include "platform/files.hpp"
#include "platform/process.hpp"
#include "tests/unit/test_support.hpp"

namespace os_io_test {

using namespace qel;
using namespace qel::test;

namespace {

// A fresh directory, removed with its contents at the end.
struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/qel-os-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { (void)std::system(("rm -rf " + path).c_str()); }
  std::string at(const std::string& name) const { return path + "/" + name; }
};

}  // namespace

TEST(HttpHeaders, EachLineIsItsOwnHeader) {
  using H = io::http::Headers;
  struct Case {
    const char* text;
    H want;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\nA: 1\r\nB: two words\r\n\r\n", {{"A", {"1"}}, {"B", {"two words"}}}},
      // No space after the colon, an empty value, a value with a colon.
      {"X-Tight:value\r\nX-Empty:\r\nX-Next: after\r\n", {{"X-Tight", {"value"}}, {"X-Empty", {""}}, {"X-Next", {"after"}}}},
      {"Empty: \r\nLoc: http://h:1/p\r\n", {{"Empty", {""}}, {"Loc", {"http://h:1/p"}}}},
      // A repeated name, in any case, keeps its first spelling and every value.
      {"Set-Cookie: a\r\nOther: x\r\nset-cookie: b\r\n", {{"Set-Cookie", {"a", "b"}}, {"Other", {"x"}}}},
      // Bare LF line ends, trailing blanks, lines without a colon.
      {"A:  1 \nno colon here\n: nameless\nB:2", {{"A", {"1"}}, {"B", {"2"}}}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(io::http::parse_headers(c.text), c.want) << c.text;
}

TEST(HttpHeaders, UserAgentNamesTheArchitecture) {
  std::string ua = io::http::user_agent();
  EXPECT_EQ(ua.rfind("Qel/", 0), 0u) << ua;
  EXPECT_NE(ua.find(" (Linux; "), std::string::npos) << ua;
  EXPECT_EQ(ua.back(), ')');
}

TEST(ProcessCommand, SplitsIntoWords) {
  using W = std::vector<std::string>;
  const std::pair<const char*, W> cases[] = {
      {"ls -l  /tmp", {"ls", "-l", "/tmp"}},
      {"  echo\t\"a b\" 'c \"d\"' ", {"echo", "a b", "c \"d\""}},
      {R"(printf "x\"y" a\ b)", {"printf", "x\"y", "a b"}},
      {R"(a""b '' "")", {"ab", "", ""}},
      {"", {}},
      {"   ", {}},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(platform::split_command(text), want) << text;
}

TEST(Files, DirectoryByItsText) {
  const std::pair<const char*, bool> cases[] = {
      {"/", true}, {"a/", true}, {".", true}, {"..", true}, {"a/.", true}, {"a/..", true},
      {"a", false}, {"a.", false}, {"a..", false}, {".a", false}, {"", false}, {"/a/b.txt", false},
  };
  for (const auto& [path, want] : cases) EXPECT_EQ(io::files::dir_q(path), want) << path;
}

TEST(Files, StreamsAreReadOnceWithSeekAndPart) {
  std::vector<u8> out;
  // A device without end: /part stops the reading.
  using R = platform::ReadResult;
  ASSERT_EQ(platform::read_file("/dev/zero", 5, -1, out), R::ok);
  EXPECT_EQ(out, std::vector<u8>(5, 0));
  ASSERT_EQ(platform::read_file("/dev/zero", 3, 100000, out), R::ok);
  EXPECT_EQ(out.size(), 3u);
  ASSERT_EQ(platform::read_file("/dev/null", -1, 10, out), R::ok);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(platform::read_file("/tmp", -1, -1, out), R::cannot_open);
  EXPECT_EQ(platform::read_file(std::string("/etc/hostname\0x", 15), -1, -1, out), R::cannot_open);
  // A sparse file bigger than any value: refused before anything is read.
  TempDir d;
  std::string big = d.at("sparse");
  ASSERT_EQ(std::system(("truncate -s 5G " + big).c_str()), 0);
  EXPECT_EQ(platform::read_file(big, -1, -1, out), R::too_large);
  EXPECT_TRUE(out.empty());
  ASSERT_EQ(platform::read_file(big, 4, 4294967296LL, out), R::ok);
  EXPECT_EQ(out, std::vector<u8>(4, 0));
}

TEST(Files, PermissionDeniedIsAFailure) {
  if (geteuid() == 0) GTEST_SKIP() << "root may read and write anything";
  TempDir d;
  std::string f = d.at("locked.txt");
  const u8 x = 'x';
  ASSERT_EQ(platform::write_file(f, &x, 1, false, -1), platform::WriteResult::ok);
  ASSERT_EQ(chmod(f.c_str(), 0), 0);
  std::vector<u8> out;
  EXPECT_EQ(platform::read_file(f, -1, -1, out), platform::ReadResult::cannot_open);
  EXPECT_EQ(platform::write_file(f, &x, 1, true, -1), platform::WriteResult::cannot_open);
  ASSERT_EQ(chmod(d.path.c_str(), 0500), 0);
  EXPECT_FALSE(platform::make_dir(d.at("sub")));
  EXPECT_FALSE(platform::remove_file(f));
  chmod(d.path.c_str(), 0700);
}

TEST(Files, MakeDirAndExistsThroughFileValues) {
  Guard g;
  TempDir d;
  Cell* sub = text(d.at("sub/"), TYPE_FILE);
  EXPECT_FALSE(io::files::exists(sub));
  EXPECT_EQ(raised([&] { io::files::make_dir(sub); }), std::nullopt);
  EXPECT_TRUE(io::files::exists(sub));
  EXPECT_TRUE(platform::is_dir(d.at("sub")));
  EXPECT_EQ(raised([&] { io::files::make_dir(sub); }), Err::access_no_create);
  Cell* deep = text(d.at("no/such/dir"), TYPE_FILE);
  EXPECT_EQ(raised([&] { io::files::make_dir(deep); }), Err::access_no_create);
}

// Odd entries do not hide the others: a dangling link and a loop of links
// are listed (as files), and a name that is not UTF-8 comes back as a file!
// holding U+DC00 + each stray byte, which read and delete turn back into
// the same name.
TEST(Files, ListingKeepsEveryEntry) {
  Guard g;
  TempDir d;
  const u8 x = 'x';
  std::string odd = std::string("bad") + char(0xFF) + char(0xC3) + "name";
  ASSERT_EQ(platform::write_file(d.at("plain"), &x, 1, false, -1), platform::WriteResult::ok);
  ASSERT_EQ(platform::write_file(d.at(odd), &x, 1, false, -1), platform::WriteResult::ok);
  ASSERT_EQ(symlink("nowhere", d.at("dangling").c_str()), 0);
  ASSERT_EQ(symlink("loop2", d.at("loop1").c_str()), 0);
  ASSERT_EQ(symlink("loop1", d.at("loop2").c_str()), 0);
  ASSERT_TRUE(platform::make_dir(d.at("sub")));
  Cell* listing = io::files::read_dir(text(d.path + "/", TYPE_FILE));
  std::vector<std::u32string> names;
  Cell* file = text(d.path + "/", TYPE_FILE);
  for (u32 i = 0; i < cell_count(listing); ++i) {
    EXPECT_EQ(type_of(cell_at(listing, i)), TYPE_FILE);
    names.push_back(code_points(cell_at(listing, i)));
    if (names.back()[0] == U'b') string::concatenate(file, cell_at(listing, i));
  }
  std::sort(names.begin(), names.end());
  const std::u32string want_odd = U"bad\xDCFF\xDCC3name";
  EXPECT_EQ(names, (std::vector<std::u32string>{want_odd, U"dangling", U"loop1", U"loop2", U"plain", U"sub/"}));
  EXPECT_EQ(file::to_local_path(file), d.at(odd));
  Cell* data = io::files::read(file, nullptr, nullptr, false, false, false, nullptr);
  EXPECT_EQ(utf8(code_points(data)), "x");
  EXPECT_EQ(type_of(io::files::delete_(file)), TYPE_LOGIC);
  EXPECT_FALSE(platform::exists(d.at(odd)));
}

TEST(OsQueries, DescriptionObject) {
  Guard g;
  Cell* info = io::os::os_info();
  ASSERT_EQ(type_of(info), TYPE_OBJECT);
  Cell name = word_cell("name"), arch = word_cell("arch"), version = word_cell("version"),
       build = word_cell("build");
  Cell* n = object::get_word_cell(info, &name);
  ASSERT_EQ(type_of(n), TYPE_STRING);
  EXPECT_FALSE(string::to_utf8(n).empty());
  Cell* a = object::get_word_cell(info, &arch);
  ASSERT_EQ(type_of(a), TYPE_WORD);
  EXPECT_EQ(spelling(a), platform::arch_name());
  Cell* v = object::get_word_cell(info, &version);
  ASSERT_EQ(type_of(v), TYPE_TUPLE);
  EXPECT_EQ(tuple::count(v), 3u);
  EXPECT_GE(tuple::byte(v, 0), 2);  // a kernel of this century
  EXPECT_EQ(type_of(object::get_word_cell(info, &build)), TYPE_INTEGER);
  EXPECT_EQ(object::word_count(info), 4u);
}

TEST(OsQueries, CommandLineAndTypeGuard) {
  Guard g;
  Cell* line = io::os::command_line();
  ASSERT_EQ(type_of(line), TYPE_STRING);
  EXPECT_NE(string::to_utf8(line).find("qel-unit-tests"), std::string::npos);
  Cell i = integer_cell(1);
  EXPECT_EQ(raised([&] { io::os::check_type(&i, TYPE_INTEGER); }), std::nullopt);
  EXPECT_EQ(raised([&] { io::os::check_type(&i, TYPE_FLOAT); }), Err::script_invalid_arg);
}

TEST(ProcessLauncher, ChildrenNotWaitedForAreReaped) {
  platform::Redirect in, out, err;
  out.kind = err.kind = platform::Redirect::null;
  platform::ProcessResult r = platform::run_process("true", false, false, in, out, err);
  ASSERT_GT(r.value, 1);
  EXPECT_FALSE(r.used_shell);
  // A zombie keeps its /proc entry until someone waits for it.
  std::string entry = "/proc/" + std::to_string(r.value);
  bool gone = false;
  for (int i = 0; i < 500 && !gone; ++i) {
    gone = access(entry.c_str(), F_OK) != 0;
    if (!gone) usleep(10000);
  }
  EXPECT_TRUE(gone) << entry;
}

}  // namespace os_io_test
