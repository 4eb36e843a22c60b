// issue!: form, mold, compare and conversion; url!: percent-encoding and
// decoding, mold, composing from a block; file!: mold and OS paths; path
// joining of both.
#include <gtest/gtest.h>
#include <unistd.h>

#include <initializer_list>
#include <optional>
#include <string>

#include "datatypes/file_url.hpp"
#include "datatypes/issue.hpp"
#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

namespace issue_file_url_test {

using namespace qel;
using namespace qel::test;

TEST(Issue, FormMoldCompareAndConversion) {
  Guard g;
  Cell* i = make_as(TYPE_ISSUE, text("ABC-123"));
  EXPECT_EQ(type_of(i), TYPE_ISSUE);
  EXPECT_EQ(word::index_of(i), -1);
  EXPECT_EQ(formed(i), "ABC-123");
  EXPECT_EQ(molded(i), "#ABC-123");

  Cell* j = make_none(stack::push());
  issue::make_at(j, "abc-123");
  EXPECT_EQ(actions::compare_values(i, j, COMP_EQUAL), 0);  // words ignore case
  EXPECT_NE(actions::compare_values(i, j, COMP_STRICT_EQUAL), 0);
  Cell w = word_cell("ABC-123");
  EXPECT_EQ(actions::compare_values(i, &w, COMP_EQUAL), COMPARE_INCOMPARABLE);
  EXPECT_FALSE(actions::compare(i, &w, COMP_EQUAL));

  // From a set-word: same symbol; from a char: its spelling; a string from
  // its index.
  Cell sw = word_cell("here");
  set_type(&sw, TYPE_SET_WORD);
  Cell* k = make_as(TYPE_ISSUE, &sw, true);
  EXPECT_EQ(word::symbol_of(k), word::symbol_of(&sw));
  EXPECT_EQ(molded(k), "#here");
  Cell c;
  make_char(&c, 0xE9);
  EXPECT_EQ(molded(make_as(TYPE_ISSUE, &c)), "#\xC3\xA9");
  Cell* s = text("skip-this");
  set_series_index(s, 5);
  EXPECT_EQ(molded(make_as(TYPE_ISSUE, s)), "#this");

  // The mold counts the "#" against a part limit.
  EXPECT_EQ(molded(i, {}, 3), "#AB");
}

TEST(Url, PercentDecoding) {
  Guard g;
  struct Case { const char* in; const char* out; };
  const Case cases[] = {
      {"%41", "A"},
      {"a%20b", "a b"},
      {"%C3%A9", "\xC3\xA9"},            // one code point from an escaped sequence
      {"%c3%a9x", "\xC3\xA9x"},          // either case
      {"%ZZ", "%ZZ"},                    // not an escape
      {"%4", "%4"},                      // cut short
      {"%C3", "%C3"},                    // lead byte without its continuation
      {"%C3%41", "%C3A"},                // continuation that is no continuation byte
      {"%80", "\xC2\x80"},               // a lone continuation byte stands for itself
      {"\xC3\xA9%21", "\xC3\xA9!"},      // plain text passes through
  };
  for (const Case& c : cases) {
    Cell* out = make_none(stack::push());
    string::make_at(out, 8, 1);
    url::decode(text(c.in), out);
    EXPECT_EQ(string::to_utf8(out), c.out) << c.in;
  }
  Cell* u = url::load(reinterpret_cast<const u8*>("http://x/a%20b"), 14);
  EXPECT_EQ(type_of(u), TYPE_URL);
  EXPECT_EQ(string::to_utf8(u), "http://x/a b");
}

TEST(Url, PercentEncodingAndMold) {
  Guard g;
  struct Case { const char* in; int mode; const char* out; };
  const Case cases[] = {
      {"a b", url::MODE_URL, "a%20b"},
      {"\xC3\xA9", url::MODE_URL, "%C3%A9"},
      {"http://h/p?q=1&r=#f", url::MODE_URL, "http://h/p?q=1&r=#f"},
      {"<\"%;[]{}|\\^`>", url::MODE_URL, "%3C%22%25%3B%5B%5D%7B%7D%7C%5C%5E%60%3E"},
      {"a-b.c_d~e/f:g", url::MODE_UNRESERVED, "a-b.c_d~e%2Ff%3Ag"},
  };
  for (const Case& c : cases) {
    Cell* out = make_none(stack::push());
    string::make_at(out, 8, 1);
    url::encode(text(c.in), out, c.mode);
    EXPECT_EQ(string::to_utf8(out), c.out) << c.in;
  }
  EXPECT_EQ(molded(text("http://h/a b\xC3\xA9", TYPE_URL)), "http://h/a%20b%C3%A9");
  EXPECT_EQ(molded(text("a b c d e", TYPE_URL), {}, 9), "a%20b%20c");
}

TEST(File, MoldQuotesOnlyWhenNeeded) {
  Guard g;
  struct Case { const char* path; const char* mold; };
  const Case cases[] = {
      {"dir/a.txt", "%dir/a.txt"},
      {"my file.txt", "%\"my file.txt\""},
      {"", "%\"\""},
      {"caf\xC3\xA9/x", "%caf\xC3\xA9/x"},  // code points above 127 stay bare
      {"a;b", "%\"a;b\""},
  };
  for (const Case& c : cases) EXPECT_EQ(molded(text(c.path, TYPE_FILE)), c.mold) << c.path;
  Cell* f = text("dir/a b", TYPE_FILE);
  set_series_index(f, 4);
  EXPECT_EQ(molded(f), "%\"a b\"");
}

TEST(File, OsPathsArePosixPaths) {
  Guard g;
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  std::string dir = cwd;
  if (dir.back() != '/') dir += '/';
  struct Case { const char* path; bool full; std::string os; };
  const Case cases[] = {
      {"/c/dir/a.txt", false, "/c/dir/a.txt"},  // a drive-like name is a plain directory here
      {"/c", true, "/c"},
      {"dir/a", false, "dir/a"},
      {"dir/a", true, dir + "dir/a"},
      {"", true, dir},
  };
  for (const Case& c : cases) {
    Cell* out = make_none(stack::push());
    string::make_at(out, 8, 1);
    file::to_os_path(text(c.path, TYPE_FILE), out, c.full);
    EXPECT_EQ(string::to_utf8(out), c.os) << c.path;
  }
  EXPECT_EQ(file::to_local_path(text("a/b", TYPE_FILE)), "a/b");
  Cell* d = make_none(stack::push());
  file::get_current_dir(d);
  EXPECT_EQ(string::to_utf8(d), dir);
}

TEST(UrlFile, PathJoiningBuildsANewValue) {
  Guard g;
  struct Case { const char* parent; Type type; const char* element; const char* joined; };
  const Case cases[] = {
      {"http://x/", TYPE_URL, "/y", "http://x/y"},
      {"http://x", TYPE_URL, "y", "http://x/y"},
      {"http://x/", TYPE_URL, "y", "http://x/y"},
      {"http://x", TYPE_URL, "/y", "http://x/y"},
      {"dir/", TYPE_FILE, "/a.txt", "dir/a.txt"},
  };
  for (const Case& c : cases) {
    Cell* parent = text(c.parent, c.type);
    Cell* element = text(c.element);
    PathStep step{nullptr, 1, true, false, false};
    Cell* r = actions::eval_path(parent, element, nullptr, step);
    EXPECT_EQ(type_of(r), c.type);
    EXPECT_EQ(string::to_utf8(r), c.joined) << c.parent << " / " << c.element;
    EXPECT_NE(series_node(r), series_node(parent));
    EXPECT_EQ(string::to_utf8(parent), c.parent) << "the parent keeps its text";
  }
  // A word element is formed; a get-word gives its value.
  Cell* parent = text("dir", TYPE_FILE);
  Cell w = word_cell("sub");
  PathStep step{nullptr, 1, true, false, false};
  EXPECT_EQ(string::to_utf8(actions::eval_path(parent, &w, nullptr, step)), "dir/sub");
  Cell target = word_cell("target-name");
  word::set(&target, text("/t.txt"));
  set_type(&target, TYPE_GET_WORD);
  EXPECT_EQ(string::to_utf8(actions::eval_path(parent, &target, nullptr, step)), "dir/t.txt");
  // Setting through a path is refused.
  EXPECT_EQ(raised([&] { actions::eval_path(parent, &w, text("v"), step); }),
            Err::script_bad_path_set);
}

TEST(Url, ComposedFromABlock) {
  Guard g;
  Cell* u = make_as(TYPE_URL, load(R"([http "host" 8080 "part1" "part2"])"));
  EXPECT_EQ(type_of(u), TYPE_URL);
  EXPECT_EQ(string::to_utf8(u), "http://host:8080/part1/part2");
  EXPECT_EQ(string::to_utf8(make_as(TYPE_URL, load(R"([http "host" 8080])"), true)), "http://host:8080");
  EXPECT_EQ(string::to_utf8(make_as(TYPE_URL, load(R"([http "host" "part1" #frag])"))),
            "http://host/part1#frag");
  EXPECT_EQ(raised([&] { make_as(TYPE_URL, load("[]"), true); }), Err::script_bad_to_arg);
}

}  // namespace issue_file_url_test
