// The lexer: its tables (through the tokens they make), loading and molding
// literals back, syntax errors, scan and prescan answers, callback events,
// transcode and the text-to-number parsers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/logic.hpp"
#include "datatypes/native.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/interpreter.hpp"
#include "eval/lexer.hpp"
#include "eval/lexer_state.hpp"
#include "eval/natives.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

using namespace qel;
using namespace qel::test;
using namespace std::string_literals;

namespace {

std::string utf8_of(const Cell* str) { return string::to_utf8(str); }

// An error as raised: its id and its three arguments as text.
struct RaisedText {
  Err id;
  std::string arg1, arg2, arg3;
};

std::string arg_text(const Cell* c) {
  if (is_any_string_type(type_of(c))) return utf8_of(c);
  if (type_of(c) == TYPE_DATATYPE) return types::name_of(datatype_of(c));
  return "";
}

// Runs f inside a catch frame; answers the error it raised, if any.
std::optional<RaisedText> raised_text(const std::function<void()>& f) {
  Cell* err = make_none(stack::push());
  std::optional<RaisedText> r;
  if (caught(f, err)) {
    r = RaisedText{error::id_of(err), arg_text(error::field(err, error::F_ARG1)),
                   arg_text(error::field(err, error::F_ARG2)),
                   arg_text(error::field(err, error::F_ARG3))};
  }
  stack::pop(1);
  return r;
}

u32 length_of(const Cell* block) {
  return mem::buffer_of(series_node(block))->used() / sizeof(Cell) - u32(series_index(block));
}
Cell* at(const Cell* block, u32 i) { return mem::buffer_of(series_node(block))->cells() + series_index(block) + i; }

// The type a scan (or prescan) reports for the text.
Type scan_type(const std::string& text, bool prescan) {
  Cell* out = make_none(stack::push());
  lexer::ScanFlags f;
  f.one = true;
  f.scan = !prescan;
  f.load = false;
  Type t = lexer::scan(out, reinterpret_cast<const u8*>(text.data()), u32(text.size()), f,
                       nullptr, nullptr, nullptr, nullptr);
  stack::pop(1);
  return t;
}


// ---- the tables, through the bytes that reach each transition ----------------------

// The state the machine is in after the bytes (or the final state that
// stopped it), from an entry state.
u32 walk(u8 entry, const std::string& text) {
  u32 s = entry;
  for (unsigned char b : text) {
    u32 next = lexer::transitions.next[s][lexer::class_of(b)];
    if (next > u32(lexer::FINAL_BASE)) return next;
    s = next;
  }
  return s;
}

// Bytes of each class, as the rows name them.
const std::string BL = " \t\r", LF = "\n", NZ = "19", Z = "0", CTL = "\x01\x08\x0B\x1F",
                  CONT = "\x7F\x80\xBF", LET = "gz!?|~&*_`\xC3\xEF\xF0\xF7", BAD = "\xC0\xC1\xF8\xFF",
                  NUL = "\0"s, HL = "abcdf", HU = "ABCDF";

struct Row {
  u8 entry;              // state the machine starts in
  std::string prefix;    // bytes that lead to the row's state
  std::vector<std::pair<std::string, u32>> targets;  // following bytes -> state
};

// One row per scanning state: its exceptions, then a few bytes that take
// the row's most common target.
const std::vector<Row> kRows = {
    {0, "", {{BL + LF + CTL, 0}, {NZ + Z, 23}, {"[", 68}, {"]", 69}, {"(", 70}, {")", 71},
             {"{", 72}, {"}\\" + CONT + BAD, 67}, {"\"", 2}, {"#", 16}, {"':", 51},
             {"E" + HU, 40}, {"/", 13}, {"<", 43}, {"=", 58}, {"%", 6}, {",", 78}, {";", 1},
             {"@", 57}, {".", 49}, {"$", 36}, {"+-", 47}, {NUL, 66},
             {"xXThe>^" + HL + LET, 52}}},
    {0, ";", {{LF + NUL, 77}, {BAD, 67}, {"a[\"" + CTL + CONT, 1}}},
    {0, "\"", {{LF + BAD + NUL, 67}, {"\"", 79}, {"^", 3}, {"a[{" + CONT + CTL, 2}}},
    {0, "\"^", {{BAD + NUL, 67}, {"a\"\n^", 2}}},
    {4, "", {{"{", 72}, {"}", 73}, {"^", 5}, {BAD + NUL, 67}, {"a\n\" ", 4}}},
    {4, "^", {{BAD + NUL, 67}, {"a{}\n", 4}}},
    {0, "%", {{BL + LF + "[]()};@" + CTL + NUL, 80}, {"{", 10}, {"\"", 8}, {":", 54},
              {"%", 9}, {BAD, 67}, {"a1/.\\" + CONT, 7}}},
    {0, "%a", {{BL + LF + "[](){}:;@" + NUL, 85}, {"\"" + BAD, 67}, {"b1/%" + CTL + CONT, 7}}},
    {0, "%\"", {{LF + BAD + NUL, 67}, {"\"", 85}, {"a [", 8}}},
    {0, "%%", {{BL + LF + "[]()}\"\\;" + CTL + NUL, 80}, {"{", 10}, {"%", 9}, {BAD, 67},
               {"a1:@", 7}}},
    {0, "%{", {{"}", 11}, {BAD + NUL, 67}, {"a\n{%", 10}}},
    {0, "%{}", {{"}", 11}, {"%", 12}, {BAD + NUL, 67}, {"a{\n", 10}}},
    {0, "%{}%", {{BL + LF + "[](){\"<;" + CTL + NUL, 100}, {"%", 12}, {"a}>", 67}}},
    {0, "/", {{BL + LF + "[](){}\"#;@" + CTL + NUL, 80}, {":", 53}, {"/", 15},
              {"," + BAD, 67}, {"a1'.", 14}}},
    {0, "/a", {{BL + LF + "[](){}\"/;@" + CTL + NUL, 83}, {":," + BAD, 67}, {"b1#'", 14}}},
    {0, "//", {{BL + LF + "[](){}\"#;@" + CTL + NUL, 80}, {"/", 15}, {"%,$" + BAD, 67},
               {"a1'", 52}}},
    {0, "#", {{BL + LF + "])}:<>," + BAD, 67}, {"[", 74}, {"(", 21}, {"{", 17}, {"\"", 19},
              {";@" + CTL + NUL, 81}, {"a1/'", 22}}},
    {0, "#{", {{BL + LF + NZ + Z + "xXTheE/=+" + HL + HU + LET, 17}, {"}", 86}, {";", 18},
               {"#'-" + NUL, 67}}},
    {0, "#{;", {{LF, 17}, {BAD + NUL, 67}, {"a }", 18}}},
    {0, "#\"", {{"\"", 84}, {"^", 20}, {BAD + NUL, 67}, {"a \n", 19}}},
    {0, "#\"^", {{BAD + NUL, 67}, {"a\"", 19}}},
    {0, "#(", {{")", 76}, {BAD + NUL, 67}, {"a (\n", 21}}},
    {0, "#a", {{BL + LF + "[](){}\";@" + CTL + NUL, 81}, {":/" + BAD, 67}, {"b1#'", 22}}},
    {0, "1", {{NZ + Z + "'", 23}, {"#", 16}, {":", 31}, {"xX", 33}, {"T/-", 30}, {"h", 42},
              {"e", 26}, {"E", 27}, {HL + "\\>=$+^" + CONT + LET + BAD, 67}, {HU, 39},
              {"%", 87}, {"@", 56}, {".", 24}, {BL + LF + "[]" + NUL + ",;<", 82}}},
    {0, "1.", {{BL + LF + "[](){}\"/<,;" + CTL + NUL, 88}, {NZ + Z + "'", 25}, {"#", 28},
               {"x", 33}, {"eE", 26}, {"%", 87}, {"a:@.", 67}}},
    {0, "1.1", {{NZ + Z + "'", 25}, {"#Th\\>=$+-^" + HL + HU + CONT + LET + BAD, 67},
                {"x", 33}, {"eE", 26}, {"%", 87}, {"@", 56}, {".", 29},
                {BL + "]" + NUL + ":,", 88}}},
    {0, "1e", {{BL + LF + "[](){}\":/<,;" + CTL + NUL, 88}, {NZ + Z + "+-", 26}, {"@", 56},
               {"a.e#", 67}}},
    {0, "1E", {{NZ + Z, 27}, {"#'xTe\\>=;$^" + HL + CONT + LET + BAD, 67}, {"h", 42},
               {"E" + HU, 40}, {"%", 87}, {"@", 56}, {".", 29}, {"+-", 26},
               {BL + "]" + NUL + ":/", 88}}},
    {0, "1.#", {{NZ, 88}, {"#':%@$^" + BAD, 67},
                {"xTheE>=.+-" + HL + HU + CONT + LET, 28}, {"0 ]/" + NUL, 89}}},
    {0, "1.1.", {{BL + LF + "[](){}\":/<;" + CTL + NUL, 90}, {NZ + Z + ".", 29}, {"a,'", 67}}},
    {0, "1-", {{BL + LF + "[](){}\"<;$" + CTL + NUL, 91}, {"%,@^" + CONT + BAD, 67},
               {"a1/:", 30}}},
    {0, "1:", {{NZ + Z, 32}, {"a :", 67}}},
    {0, "1:1", {{BL + LF + "[](){}\"/<;" + CTL + NUL, 94}, {NZ + Z + ":.", 32}, {"a,'", 67}}},
    {0, "1x", {{NZ + Z + "+-", 34}, {"@", 56}, {"a .", 67}}},
    {0, "1x1", {{BL + LF + "[](){}\":/<;" + CTL + NUL, 92}, {NZ + Z + "eE.", 34}, {"@", 56},
                {"a,x", 67}}},
    {35, "", {{" \t" + NZ + Z + "]#eE,.+-" + HL + HU + LET, 35}, {")", 93},
              {"\n[(x" + NUL, 67}}},
    {0, "$", {{NZ + Z, 37}, {"a.$", 67}}},
    {0, "$1", {{BL + LF + "[](){}\"#:/<;" + CTL + NUL, 95}, {NZ + Z + "'", 37}, {".", 38},
               {"a,$", 67}}},
    {0, "$1.", {{BL + LF + "[](){}\"#:/<;" + CTL + NUL, 95}, {NZ + Z + "'", 38}, {"a.,", 67}}},
    {0, "1A", {{NZ + Z + "E" + HU, 39}, {"h", 41}, {"@", 56}, {"a " + NUL, 67}}},
    {0, "A", {{NZ + Z + "E" + HU, 40}, {"'xTe<>=.+-^" + HL + CONT + LET, 52}, {":", 53},
              {"h", 41}, {"/", 75}, {"%," + BAD, 67}, {"@", 56}, {"$", 37},
              {BL + "]#" + NUL, 80}}},
    {0, "Ah", {{BL + LF + "[](){}\"\\;" + CTL + NUL, 99}, {"#%," + BAD, 67}, {":", 53},
               {"/", 75}, {"@", 56}, {"$", 37}, {"a1'", 52}}},
    {0, "1h", {{BL + LF + "[](){}\"\\<;" + CTL + NUL, 99}, {"/", 75}, {"@", 56}, {"$", 37},
               {"a1:", 67}}},
    {0, "<", {{BL + LF + "[](){}\";" + CTL + NUL, 80}, {"'", 46}, {":", 53}, {"<", 43},
              {">=-", 52}, {BAD, 67}, {"a1/", 44}}},
    {0, "<a", {{"\"", 45}, {"'", 46}, {">", 96}, {BAD + NUL, 67}, {"b \n<", 44}}},
    {0, "<a\"", {{"\"", 44}, {BAD + NUL, 67}, {"'> ", 45}}},
    {0, "<'", {{"'", 44}, {BAD + NUL, 67}, {"\"> ", 46}}},
    {0, "+", {{BL + LF + "[](){}\"#\\;" + CTL + NUL, 80}, {NZ + Z, 23}, {"'%^" + BAD, 67},
              {"/", 75}, {".", 49}, {"$", 37}, {"a+<", 52}}},
    {0, "'+", {{BL + LF + "[](){}\"#\\;" + CTL + NUL, 80}, {"'%$^" + BAD, 67}, {"/", 75},
               {"a1.", 52}}},
    {0, ".", {{BL + LF + "[](){}\"#\\;" + CTL + NUL, 80}, {NZ + Z + "+-", 50}, {":", 53},
              {"/", 75}, {"%,$" + BAD, 67}, {"@", 56}, {"a.'", 52}}},
    {0, ".1", {{BL + LF + "[](){}\":/<" + CTL + NUL, 88}, {NZ + Z + "eE+-", 50}, {"x", 33},
               {"%", 87}, {"@", 56}, {"a;,", 67}}},
    {0, "'", {{"xTheE>.^" + HL + HU + CONT + LET, 52}, {"/", 13}, {"<", 43}, {"=", 58},
              {"%", 54}, {"+-", 48}, {BL + "1:'" + NUL, 67}}},
    {0, "a", {{BL + LF + "[](){}\"#\\<;" + CTL + NUL, 80}, {":", 53}, {"/", 75},
              {"%," + BAD, 67}, {"@", 56}, {"$", 36}, {"b1'.>", 52}}},
    {0, "a:", {{BL + LF + "[](){}\"\\;" + CTL + NUL, 80}, {"<" + BAD, 67}, {"b/:", 55}}},
    {0, "'%", {{BL + LF + "[](){}\\;" + CTL + NUL, 80}, {"%", 54}, {"a\"", 67}}},
    {0, "a:b", {{BL + LF + "[](){}\"\\<;" + CTL + NUL, 97}, {">^" + BAD, 67}, {"c/:%", 55}}},
    {0, "a@", {{NZ + Z + "xTheE%.+-" + HL + HU + CONT + LET, 56},
               {"#':>=,@$^" + BAD, 67}, {BL + "]/" + NUL, 98}}},
    {0, "@", {{BL + LF + "[](){}\"<;" + CTL + NUL, 101}, {"#'\\>=,@$^" + BAD, 67},
              {"a1/:", 57}}},
    {0, "=", {{BL + LF + "[](){}\":\\;" + CTL + NUL, 80}, {"#%,@$" + BAD, 67}, {"/", 75},
              {"a=<", 52}}},
    {59, "", {{NZ + Z, 60}, {"(", 70}, {")", 71}, {"\"", 2}, {"#", 63}, {"':", 61},
              {"xTheE>=." + HL + HU + CONT + LET, 62}, {"<", 43}, {"@", 57}, {"$", 36},
              {"+-", 64}, {BL + "[/" + NUL, 67}}},
    {59, "1", {{BL + LF + "[](){}\":/<;" + CTL + NUL, 82}, {NZ + Z + "'", 60}, {"x", 33},
               {"eE", 26}, {"%", 87}, {"@", 56}, {".", 24}, {"a,#", 67}}},
    {59, "'", {{"xTheE<>=.+-" + HL + HU + CONT + LET, 62}, {BL + "1/:" + NUL, 67}}},
    {59, "a", {{BL + LF + "[](){}\":/\\;" + CTL + NUL, 80}, {"#%," + BAD, 67}, {"@", 56},
               {"$", 36}, {"b1'<.", 62}}},
    {59, "#", {{BL + LF + "](){}:/<>=,;@" + CTL + BAD + NUL, 67}, {"[", 21}, {"\"", 19},
               {"a1'", 22}}},
    {59, "+", {{NZ + Z, 60}, {"#'<%,^" + BAD, 67}, {"xTheE>=." + HL + HU + CONT + LET, 62},
               {"@", 56}, {"$", 36}, {"+-", 64}, {BL + "]/" + NUL, 80}}},
};

TEST(LexerTables, EveryRowTakesItsExceptions) {
  std::vector<bool> seen(lexer::SCAN_STATES, false);
  for (const Row& r : kRows) {
    u32 state = walk(r.entry, r.prefix);
    ASSERT_LT(state, u32(lexer::SCAN_STATES)) << "prefix " << r.prefix;
    seen[state] = true;
    for (const auto& [bytes, target] : r.targets) {
      for (char b : bytes) {
        EXPECT_EQ(walk(r.entry, r.prefix + b), target)
            << "state " << state << " (after \"" << r.prefix << "\") byte 0x" << std::hex
            << int(u8(b));
      }
    }
  }
  for (int s = 0; s < lexer::SCAN_STATES; ++s) EXPECT_TRUE(seen[s]) << "no row for state " << s;
}

TEST(LexerTables, ATokenStartsAfterItsBlanksAndKeepsItsFlags) {
  const std::string text = " \t\r\n\n ab'c:d ";
  lexer::Token t = lexer::read_token(0, reinterpret_cast<const u8*>(text.data()),
                                     reinterpret_cast<const u8*>(text.data() + text.size()));
  EXPECT_EQ(t.start - reinterpret_cast<const u8*>(text.data()), 6);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(t.start), t.end - t.start), "ab'c:d");
  EXPECT_EQ(t.line_feeds, 2);
  EXPECT_EQ(t.final, 97) << "a colon inside makes a url";
  EXPECT_EQ(t.flags & (lexer::F_QUOTE | lexer::F_COLON), lexer::F_QUOTE | lexer::F_COLON);
  EXPECT_EQ(t.flags & (lexer::F_SHARP | lexer::F_CARET | lexer::F_PERCENT), 0u);
}

// ---- literals: load, mold, load again -------------------------------------------------

struct Literal {
  const char* text;
  Type type;
  const char* molded;  // what mold gives
};

const Literal kLiterals[] = {
    {"abc", TYPE_WORD, "abc"},
    {"a:", TYPE_SET_WORD, "a:"},
    {"'a", TYPE_LIT_WORD, "'a"},
    {":a", TYPE_GET_WORD, ":a"},
    {"/ref", TYPE_REFINEMENT, "/ref"},
    {"#abc", TYPE_ISSUE, "#abc"},
    {"+", TYPE_WORD, "+"},
    {"<=", TYPE_WORD, "<="},
    {"//", TYPE_WORD, "//"},
    {"\xC3\xBC" "ber?", TYPE_WORD, "\xC3\xBC" "ber?"},
    {"123", TYPE_INTEGER, "123"},
    {"+5", TYPE_INTEGER, "5"},
    {"-5", TYPE_INTEGER, "-5"},
    {"12'345", TYPE_INTEGER, "12345"},
    {"-2147483648", TYPE_INTEGER, "-2147483648"},
    {"99999999999", TYPE_FLOAT, "99999999999.0"},
    {"FFh", TYPE_INTEGER, "255"},
    {"FFFFFFFFh", TYPE_INTEGER, "-1"},
    {"0Ah", TYPE_INTEGER, "10"},
    {"1.5", TYPE_FLOAT, "1.5"},
    {"1e3", TYPE_FLOAT, "1000.0"},
    {".5", TYPE_FLOAT, "0.5"},
    {"1.", TYPE_FLOAT, "1.0"},
    {"-1.5e-3", TYPE_FLOAT, "-0.0015"},
    {"1'000.25", TYPE_FLOAT, "1000.25"},
    {"1.#INF", TYPE_FLOAT, "1.#INF"},
    {"-1.#inf", TYPE_FLOAT, "-1.#INF"},
    {"1.#NaN", TYPE_FLOAT, "1.#NaN"},
    {"\"abc\"", TYPE_STRING, "\"abc\""},
    {"\"a^/b^(tab)c^(line)\"", TYPE_STRING, "\"a^/b^-c^/\""},
    {"{a {b} c}", TYPE_STRING, "\"a {b} c\""},
    {"%{a}b}%", TYPE_STRING, "\"a}b\""},
    {"%%{x}y}%%", TYPE_STRING, "\"x}y\""},
    {"%{a}%% b}%", TYPE_STRING, "\"a}%% b\""},
    {"\"\xC3\xA9\"", TYPE_STRING, "\"\xC3\xA9\""},
    {"\"^(1F600)\"", TYPE_STRING, "\"\xF0\x9F\x98\x80\""},
    {"#\"a\"", TYPE_CHAR, "#\"a\""},
    {"#\"^/\"", TYPE_CHAR, "#\"^/\""},
    {"#\"^(1F600)\"", TYPE_CHAR, "#\"\xF0\x9F\x98\x80\""},
    {"%a/b.txt", TYPE_FILE, "%a/b.txt"},
    {"%\"a b\"", TYPE_FILE, "%\"a b\""},
    {"%a%20b", TYPE_FILE, "%\"a b\""},
    {"http://x.y/z", TYPE_URL, "http://x.y/z"},
    {"http://x.y/%41", TYPE_URL, "http://x.y/A"},
    {"10:20", TYPE_TIME, "10:20:00"},
    {"10:20:30.5", TYPE_TIME, "10:20:30.5"},
    {"1:2.5", TYPE_TIME, "0:01:02.5"},
    {"-0:30", TYPE_TIME, "-0:30:00"},
    {"[a [b] (c)]", TYPE_BLOCK, "[a [b] (c)]"},
    {"(1 2)", TYPE_PAREN, "(1 2)"},
    {"a/b/c", TYPE_PATH, "a/b/c"},
    {"'a/b", TYPE_LIT_PATH, "'a/b"},
    {":a/b", TYPE_GET_PATH, ":a/b"},
    {"a/b:", TYPE_SET_PATH, "a/b:"},
    {"a/(1)/\"s\"/2", TYPE_PATH, "a/(1)/\"s\"/2"},
    {"+/a", TYPE_PATH, "+/a"},
};

TEST(LexerLiterals, LoadMoldLoadIsStable) {
  Guard gc;
  for (const Literal& l : kLiterals) {
    SCOPED_TRACE(l.text);
    Cell* b = load_all(l.text);
    ASSERT_EQ(length_of(b), 1u);
    Cell* v = at(b, 0);
    EXPECT_EQ(type_of(v), l.type);
    std::string text = molded(v);
    EXPECT_EQ(text, l.molded);
    Cell* again = load_all(text);
    ASSERT_EQ(length_of(again), 1u);
    EXPECT_EQ(type_of(at(again, 0)), l.type);
    EXPECT_EQ(molded(at(again, 0)), text);
    stack::pop(2);
  }
}

TEST(LexerLiterals, NumbersTimesAndTextHoldTheirValues) {
  struct Case {
    const char* text;
    Type type;
    double value;  // integer, float, time seconds, char code point
  };
  const Case cases[] = {
      {"12'345", TYPE_INTEGER, 12345},       {"-2147483648", TYPE_INTEGER, -2147483648.0},
      {"2147483648", TYPE_FLOAT, 2147483648.0}, {"007", TYPE_INTEGER, 7},
      {"FFFFFFFFh", TYPE_INTEGER, -1},       {"7FFFFFFFh", TYPE_INTEGER, 2147483647},
      {"1'000.5", TYPE_FLOAT, 1000.5},       {"-1.#INF", TYPE_FLOAT, -INFINITY},
      {"1:2.5", TYPE_TIME, 62.5},            {"-1:30", TYPE_TIME, -5400},
      {"1:0:1,5", TYPE_ERROR, 0},            // a comma ends a time token: an error
      {"100:70:80", TYPE_TIME, 100 * 3600 + 70 * 60 + 80},
      {"#\"^(tab)\"", TYPE_CHAR, 9},         {"#\"^A\"", TYPE_CHAR, 1},
      {"#\"^~\"", TYPE_CHAR, 127},           {"#\"^(10FFFF)\"", TYPE_CHAR, 0x10FFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.type == TYPE_ERROR) {
      EXPECT_EQ(scan_type(c.text, false), TYPE_ERROR);
      continue;
    }
    Cell* b = load_all(c.text);
    Cell* v = at(b, 0);
    ASSERT_EQ(type_of(v), c.type);
    if (c.type == TYPE_INTEGER || c.type == TYPE_CHAR) {
      EXPECT_EQ(double(int_of(v)), c.value);
    } else {
      EXPECT_EQ(float_of(v), c.value);
    }
    stack::pop(1);
  }
  Cell* nan = load_all("1.#NaN");
  EXPECT_TRUE(std::isnan(float_of(at(nan, 0))));
  stack::pop(1);
}

TEST(LexerLiterals, StringsTakeTheNarrowestUnit) {
  struct Case {
    const char* text;
    std::u32string chars;
    u32 unit;
  };
  const Case cases[] = {
      {"\"abc\"", U"abc", 1},
      {"\"\xC3\xA9\"", U"\u00E9", 1},
      {"\"^(0100)\"", U"\u0100", 2},
      {"\"a^(1F600)\"", U"a\U0001F600", 4},
      {"{^{x^}^^}", U"{x}^", 1},
      {"\"^@^-^/^\"^~^(null)^(BACK)^(esc)^(del)^(page)\"", U"\0\t\n\"\x7F\0\b\x1B\x7F\f"s, 1},
      {"\"^a^z^A^[^_\"", U"\x01\x1A\x01\x1B\x1F", 1},
      {"%{a^/b}%", U"a^/b", 1},  // raw: no escapes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Cell* b = load_all(c.text);
    Cell* v = at(b, 0);
    ASSERT_EQ(type_of(v), TYPE_STRING);
    mem::Buffer* buf = mem::buffer_of(series_node(v));
    EXPECT_EQ(buf->unit(), c.unit);
    std::u32string got;
    for (u32 i = 0; i < buf->used() / buf->unit(); ++i) {
      got.push_back(string::get_char(buf->head_ptr() + i * buf->unit(), buf->unit()));
    }
    EXPECT_EQ(got, c.chars);
    stack::pop(1);
  }
}

TEST(LexerLiterals, ConstructionsAndWordsInTheGlobalContext) {
  Cell* b = load_all("#(true) #(FALSE) #(none) #(unset) #(integer!) #(Block!)");
  ASSERT_EQ(length_of(b), 6u);
  EXPECT_EQ(type_of(at(b, 0)), TYPE_LOGIC);
  EXPECT_TRUE(logic_of(at(b, 0)));
  EXPECT_EQ(type_of(at(b, 1)), TYPE_LOGIC);
  EXPECT_FALSE(logic_of(at(b, 1)));
  EXPECT_EQ(type_of(at(b, 2)), TYPE_NONE);
  EXPECT_EQ(type_of(at(b, 3)), TYPE_UNSET);
  EXPECT_EQ(type_of(at(b, 4)), TYPE_DATATYPE);
  EXPECT_EQ(datatype_of(at(b, 4)), TYPE_INTEGER);
  EXPECT_EQ(datatype_of(at(b, 5)), TYPE_BLOCK);
  stack::pop(1);

  // Words are interned with their spelling and reach a global slot; a
  // refinement is unbound and an issue is not looked up.
  Cell* w = load_all("Foo foo /bar #baz");
  EXPECT_EQ(symbol::name(word::symbol_of(at(w, 0))), "Foo");
  EXPECT_EQ(symbol::resolve(word::symbol_of(at(w, 0))), symbol::resolve(word::symbol_of(at(w, 1))));
  EXPECT_EQ(word::index_of(at(w, 0)), word::index_of(at(w, 1))) << "one slot per case class";
  EXPECT_EQ(word::context_of(at(w, 2)), 0u);
  EXPECT_EQ(word::index_of(at(w, 3)), -1);
  EXPECT_EQ(symbol::name(word::symbol_of(at(w, 3))), "baz");
  stack::pop(1);
}

TEST(LexerLiterals, BlanksCommentsAndNewLineMarkers) {
  // A U+00A0 before a word is a blank; a comment leaves no value; the values
  // after line feeds carry the new-line marker, inner ones too.
  Cell* b = load_all("\xC2\xA0" "abc ; note\n  x [\n y] \xE3\x80\x80");
  ASSERT_EQ(length_of(b), 3u);
  EXPECT_EQ(symbol::name(word::symbol_of(at(b, 0))), "abc");
  EXPECT_FALSE(has_new_line(at(b, 0)));
  EXPECT_TRUE(has_new_line(at(b, 1)));
  EXPECT_FALSE(has_new_line(at(b, 2)));
  EXPECT_TRUE(has_new_line(at(at(b, 2), 0)));
  stack::pop(1);
}

// ---- syntax errors ---------------------------------------------------------------------

TEST(LexerErrors, EachErrorKindNamesItsLineAndText) {
  struct Case {
    std::string text;
    Err id;
    const char* arg1;
    const char* arg2;
    const char* arg3;
  };
  const std::string long_text = "\"" + std::string(40, 'x');
  const Case cases[] = {
      {"[1 2", Err::syntax_missing, "(line 1)", "]", "[1 2"},
      {"1 2]", Err::syntax_missing, "(line 1)", "[", "]"},
      {"(1 2]", Err::syntax_missing, "(line 1)", ")", "]"},
      {"[a (b]", Err::syntax_missing, "(line 1)", ")", "]"},
      {"x\n[b\nc", Err::syntax_missing, "(line 3)", "]", "[b"},
      {"#(foo)", Err::syntax_malconstruct, "(line 1)", "#(foo)", ""},
      {"#(true", Err::syntax_malconstruct, "(line 1)", "#(true", ""},
      {"a }", Err::syntax_bad_char, "(line 1)", "}", ""},
      {"\\", Err::syntax_bad_char, "(line 1)", "\\", ""},
      {"12''345", Err::syntax_invalid, "(line 1)", "integer!", "12''345"},
      {"1h", Err::syntax_invalid, "(line 1)", "integer!", "1h"},
      {"-1Fh", Err::syntax_invalid, "(line 1)", "integer!", "-1Fh"},
      {"{abc", Err::syntax_invalid, "(line 1)", "string!", "{abc"},
      {"{a\n{b}", Err::syntax_invalid, "(line 2)", "string!", "{a"},
      {"\"abc\ndef\"", Err::syntax_invalid, "(line 1)", "string!", "\"abc"},
      {"\"a^1\"", Err::syntax_invalid, "(line 1)", "string!", "\"a^1\""},
      {"\"^(110000)\"", Err::syntax_invalid, "(line 1)", "string!", "\"^(110000)\""},
      // a byte that is no UTF-8 shows as the character of its value
      {"\"\xC3\"", Err::syntax_invalid, "(line 1)", "string!", "\"\xC3\x83\""},
      {"%{a}%%", Err::syntax_invalid, "(line 1)", "string!", "%{a}%%"},
      {long_text, Err::syntax_invalid, "(line 1)", "string!", "\"xxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},
      {"a\n\n#\"ab\"", Err::syntax_invalid, "(line 3)", "char!", "#\"ab\""},
      {"#\"\"", Err::syntax_invalid, "(line 1)", "char!", "#\"\""},
      {"'a:", Err::syntax_invalid, "(line 1)", "word!", "'a:"},
      {"a\x80", Err::syntax_invalid, "(line 1)", "word!", "a\xC2\x80"},
      {"1:2:", Err::syntax_invalid, "(line 1)", "time!", "1:2:"},
      {"1.#xyz", Err::syntax_invalid, "(line 1)", "float!", "1.#xyz"},
      {"%\"abc", Err::syntax_invalid, "(line 1)", "file!", "%\"abc"},
      {":a:b", Err::syntax_invalid, "(line 1)", "get-word!", ":a:b"},
      {"a/ b", Err::syntax_invalid, "(line 1)", "path!", "a/ b"},
      {"a/b:/c", Err::syntax_invalid, "(line 1)", "path!", "a/b:/c"},
      {"a/\"s\"'", Err::syntax_invalid, "(line 1)", "path!", "a/\"s\"'"},
      {"a/b#", Err::syntax_invalid, "(line 1)", "word!", "a/b#"},
      {"a , b", Err::syntax_invalid, "(line 1)", "point2D!", ", b"},
      {"a, b", Err::syntax_invalid, "(line 1)", "word!", "a, b"},
      {"#{ABC}", Err::syntax_invalid, "(line 1)", "binary!", "#{ABC}"},
      {"8#{AB}", Err::syntax_invalid, "(line 1)", "binary!", "8#{AB}"},
      {"256.0.0", Err::syntax_invalid, "(line 1)", "tuple!", "256.0.0"},
      {"29-Feb-2001", Err::syntax_invalid, "(line 1)", "date!", "29-Feb-2001"},
      {"$123456789012345678", Err::syntax_invalid, "(line 1)", "money!", "$123456789012345678"},
      {"(1, 2, 3, 4)", Err::syntax_invalid, "(line 1)", "point3D!", "(1, 2, 3, 4)"},
      {"#[a 1 b]", Err::syntax_invalid, "(line 1)", "map!", "#[a 1 b]"},
      {"#[[a] 1]", Err::syntax_invalid, "(line 1)", "map!", "#[[a] 1]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = raised_text([&] { load_all(c.text); });
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->id, c.id);
    EXPECT_EQ(r->arg1, c.arg1);
    EXPECT_EQ(r->arg2, c.arg2);
    EXPECT_EQ(r->arg3, c.arg3);
  }
}

TEST(LexerErrors, ValuesBeforeAnErrorStayInTheTargetBlock) {
  roots::LocalCell target;
  make_series(target.get(), TYPE_BLOCK, mem::alloc_cells(4));
  const std::string text = "1 [2 3 4 ]]";
  auto r = raised_text([&] {
    Cell* out = make_none(stack::push());
    lexer::scan(out, reinterpret_cast<const u8*>(text.data()), u32(text.size()), {}, nullptr,
                nullptr, nullptr, target.get());
  });
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->id, Err::syntax_missing);
  ASSERT_EQ(length_of(target.get()), 2u);
  EXPECT_EQ(type_of(at(target.get(), 1)), TYPE_BLOCK);
  EXPECT_EQ(length_of(at(target.get(), 1)), 3u);
}

// ---- scan and prescan -------------------------------------------------------------------

TEST(LexerScan, ScanAndPrescanAnswerTheFirstValuesType) {
  struct Case {
    const char* text;
    Type scan, prescan;
  };
  const Case cases[] = {
      {"", TYPE_NO_TYPE, TYPE_NO_TYPE},
      {"  ; only a comment\n", TYPE_NO_TYPE, TYPE_NO_TYPE},
      {"abc def", TYPE_WORD, TYPE_WORD},
      {"; c\n 12 x", TYPE_INTEGER, TYPE_INTEGER},
      {"[1 [2]] x", TYPE_BLOCK, TYPE_BLOCK},
      {"(a) b", TYPE_PAREN, TYPE_PAREN},
      {"a/b c", TYPE_PATH, TYPE_PATH},
      {"a/b: c", TYPE_SET_PATH, TYPE_SET_PATH},
      {"{x {y}} z", TYPE_STRING, TYPE_STRING},
      {"12:30", TYPE_TIME, TYPE_TIME},
      {"1 2]", TYPE_INTEGER, TYPE_INTEGER},
      {"[a", TYPE_ERROR, TYPE_ERROR},
      {"\"x", TYPE_ERROR, TYPE_ERROR},
      {"\"a^1\"", TYPE_ERROR, TYPE_ERROR},  // prescan checks strings
      {"]", TYPE_ERROR, TYPE_ERROR},
      {"#(foo)", TYPE_ERROR, TYPE_ERROR},
      {"#\"ab\"", TYPE_ERROR, TYPE_CHAR},    // prescan does not check chars
      {"1.2.3", TYPE_TUPLE, TYPE_TUPLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(scan_type(c.text, false), c.scan);
    EXPECT_EQ(scan_type(c.text, true), c.prescan);
  }
  // A syntax error leaves none in the destination instead of raising.
  Cell* out = stack::push();
  make_integer(out, 7);
  lexer::ScanFlags f;
  f.load = false;
  EXPECT_EQ(lexer::scan(out, reinterpret_cast<const u8*>("[a"), 2, f, nullptr, nullptr, nullptr,
                        nullptr),
            TYPE_ERROR);
  EXPECT_EQ(type_of(out), TYPE_NONE);
  stack::pop(1);
}

// ---- transcode --------------------------------------------------------------------------

Cell* make_binary(const std::string& bytes) {
  return binary_of(std::vector<u8>(bytes.begin(), bytes.end()));
}

struct Refs {
  bool next = false, one = false, prescan = false, scan = false;
  const Cell* part = nullptr;
  const Cell* into = nullptr;
  const Cell* trace = nullptr;
};

Cell* transcode(Cell* src, const Refs& r) {
  Cell* out = make_none(stack::push());
  return lexer::transcode(out, src, r.next, r.one, r.prescan, r.scan, r.part, r.into, r.trace);
}

TEST(LexerTranscode, RefinementsShapeTheResult) {
  Guard gc;
  Cell* src = test::text("1 [2] \xC3\xA9 x");
  EXPECT_EQ(molded(transcode(src, {})), "[1 [2] \xC3\xA9 x]");
  EXPECT_EQ(molded(transcode(src, {.one = true})), "1");

  // /next: the value and the source after it, positions in characters.
  Cell* n = transcode(src, {.next = true});
  ASSERT_EQ(length_of(n), 2u);
  EXPECT_EQ(molded(at(n, 0)), "1");
  EXPECT_EQ(series_index(at(n, 1)), 1);
  Cell* after = stack::push_cell(at(n, 1));
  set_series_index(after, 6);  // at the e-acute
  Cell* n2 = transcode(after, {.next = true});
  EXPECT_EQ(molded(at(n2, 0)), "\xC3\xA9");
  EXPECT_EQ(series_index(at(n2, 1)), 7) << "one character, not two bytes";
  EXPECT_EQ(molded(transcode(src, {.next = true, .one = true})), "1");

  // /part: a count or a position of the same type; negative counts are 0.
  Cell* count = make_integer(stack::push(), 5);
  EXPECT_EQ(molded(transcode(src, {.part = count})), "[1 [2]]");
  Cell* pos = stack::push_cell(src);
  set_series_index(pos, 2);
  EXPECT_EQ(molded(transcode(src, {.part = pos})), "[1]");
  make_integer(count, -3);
  EXPECT_EQ(molded(transcode(src, {.part = count})), "[]");
  Cell* block = load_all("[x]");
  auto r = raised_text([&] { transcode(src, {.part = block}); });
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->id, Err::script_not_same_type);

  // /into appends to the block and answers it.
  Cell* into = load_all("");
  lexer::ScanFlags f;
  Cell* dst = make_none(stack::push());
  lexer::scan(dst, reinterpret_cast<const u8*>("z"), 1, f, nullptr, nullptr, nullptr, nullptr);
  copy_cell(dst, into);
  Cell* res = transcode(src, {.into = into});
  EXPECT_EQ(series_node(res), series_node(into));
  EXPECT_EQ(molded(res), "[z 1 [2] \xC3\xA9 x]");

  // /scan and /prescan answer datatypes; none for empty input.
  EXPECT_EQ(molded(transcode(src, {.scan = true})), "integer!");
  Cell* sn = transcode(src, {.next = true, .scan = true});
  EXPECT_EQ(molded(at(sn, 0)), "integer!");
  EXPECT_EQ(series_index(at(sn, 1)), 1);
  Cell* empty = test::text("   ");
  EXPECT_EQ(type_of(transcode(empty, {.prescan = true})), TYPE_NONE);
  Cell* bad = test::text("[a");
  EXPECT_EQ(molded(transcode(bad, {.scan = true})), "error!");
}

TEST(LexerTranscode, BinarySourcesSkipTheByteOrderMarkAndCountBytes) {
  Cell* bin = make_binary("\xEF\xBB\xBF\xC3\xA9 2");
  Cell* n = transcode(bin, {.next = true});
  EXPECT_EQ(series_index(bin), 3) << "the source moves past the mark";
  EXPECT_EQ(molded(at(n, 0)), "\xC3\xA9");
  EXPECT_EQ(series_index(at(n, 1)), 5) << "positions count bytes";
  Cell* two = make_binary("\xEF\xBB");
  auto r = raised_text([&] { transcode(two, {}); });
  ASSERT_TRUE(r.has_value()) << "two bytes are no mark: an invalid character";
  EXPECT_EQ(series_index(two), 0);
}

TEST(LexerTranscode, TheNativeEntryReadsItsRefinementOffsets) {
  Cell* saved_base = stack::base;
  Cell* saved_top = stack::top;
  Cell word{TYPE_WORD, 0, symbol::make("transcode"), 0};
  stack::mark_native(&word);
  test::text("a b");                  // base: src
  make_integer(stack::push(), 2);      // /part length at base + 1
  const i32 refs[7] = {-1, -1, -1, -1, 1, -1, -1};
  lexer::transcode_native(refs);
  EXPECT_EQ(molded(stack::base), "[a]");
  EXPECT_EQ(stack::top, stack::base + 1);
  stack::unwind();
  stack::base = saved_base;
  stack::top = saved_top;
}

// ---- events -----------------------------------------------------------------------------

struct Seen {
  std::string event, type;
  i32 line, at;
  std::string token;
};
std::vector<Seen> g_seen;
// Answers the callback gives, by event name; absent means true.
std::function<bool(const Seen&, Cell* source)> g_policy;

std::string type_text(const Cell* c) {
  if (type_of(c) == TYPE_DATATYPE) return types::name_of(datatype_of(c));
  if (type_of(c) == TYPE_WORD) return std::string(symbol::name(word::symbol_of(c)));
  return "none";
}

// The test double of a Qel callback, a native: records the five arguments.
interp::Status record(const i32*) {
  Cell* a = stack::base;
  Seen s{std::string(symbol::name(word::symbol_of(a))), type_text(a + 2), int_of(a + 3),
         type_of(a + 1) == TYPE_NONE ? -1 : series_index(a + 1), ""};
  if (type_of(a + 4) == TYPE_PAIR) {
    s.token = std::to_string(pair_x(a[4])) + "x" + std::to_string(pair_y(a[4]));
  } else {
    s.token = molded(a + 4);
  }
  g_seen.push_back(s);
  bool answer = g_policy ? g_policy(s, a + 1) : true;
  make_logic(stack::base, answer);
  return 0;
}

struct Watching {
  roots::LocalCell fn;
  // events: the event block that leads the callback's spec, when given.
  explicit Watching(const char* events = nullptr) {
    static u32 id = natives::add(record);
    g_seen.clear();
    g_policy = nullptr;
    std::string spec = std::string("[") + (events ? events : "") + " event source type line token]";
    copy_cell(native::push(test::load(spec), id, TYPE_NATIVE), fn.get());
  }
  ~Watching() { g_policy = nullptr; }
  Cell* load(const std::string& text, Cell* source = nullptr) {
    Cell* src = source ? source : test::text(text);
    return transcode(src, {.trace = fn.get()});
  }
};

std::vector<std::string> lines_of(const std::vector<Seen>& seen) {
  std::vector<std::string> out;
  for (const Seen& s : seen) {
    out.push_back(s.event + " " + s.type + " " + std::to_string(s.line) + " @" +
                  std::to_string(s.at) + " " + s.token);
  }
  return out;
}

TEST(LexerEvents, TheCallbackSeesEveryStepInOrder) {
  Watching w;
  // Positions are 1-based indexes of the token's start and end; the source
  // stands after the token, or at it for open events and the prescans of
  // tokens without a datatype.
  Cell* b = w.load("[a\n1]");
  EXPECT_EQ(length_of(at(b, 0)), 2u);
  const std::vector<std::string> expected = {
      "prescan block! 1 @0 1x2", "open block! 1 @0 1x2",
      "prescan word! 1 @2 2x3",  "scan word! 1 @2 2x3",  "load word! 1 @2 a",
      "prescan integer! 2 @4 4x5", "scan integer! 2 @4 4x5", "load integer! 2 @4 1",
      "prescan block! 2 @4 5x6", "close block! 2 @5 1x6",
      "prescan eof 2 @5 6x6",
  };
  EXPECT_EQ(lines_of(g_seen), expected);

  g_seen.clear();
  w.load("{a {b}} ; c");
  const std::vector<std::string> strings = {
      "prescan string! 1 @0 1x2", "open string! 1 @0 1x2",
      "close string! 1 @7 1x8",  "scan string! 1 @7 1x8", "load string! 1 @7 \"a {b}\"",
      "prescan comment 1 @8 9x12", "scan comment 1 @11 9x12",
      "prescan eof 1 @11 12x12",
  };
  EXPECT_EQ(lines_of(g_seen), strings);
}

TEST(LexerEvents, AnswersDropValuesSkipTokensAndMoveTheInput) {
  Watching w;
  g_policy = [](const Seen& s, Cell*) { return s.event != "load"; };
  EXPECT_EQ(molded(w.load("a [b] c")), "[[]]") << "refused loads leave the values out";

  g_policy = [](const Seen& s, Cell*) { return !(s.event == "prescan" && s.type == "word!"); };
  EXPECT_EQ(molded(w.load("a [b] 1")), "[[] 1]") << "a refused prescan skips the token";

  // Moving the input's index on the load of x skips to its position.
  g_policy = [](const Seen& s, Cell* source) {
    if (s.event == "load" && s.token == "x") set_series_index(source, 7);
    return true;
  };
  EXPECT_EQ(molded(w.load("x junk y")), "[x y]");
}

TEST(LexerEvents, TheSpecsEventBlockSelectsTheEvents) {
  Watching w("[load close]");
  w.load("[a]");
  EXPECT_EQ(lines_of(g_seen),
            (std::vector<std::string>{"load word! 1 @2 a", "close block! 1 @3 1x4"}));
}

TEST(LexerEvents, AnErrorIsReportedAndARefusalEndsTheScanQuietly) {
  Watching w;
  g_policy = [](const Seen& s, Cell*) { return s.event != "error"; };
  Cell* b = w.load("1 (2 ] 3");
  EXPECT_EQ(molded(b), "[1 (2)]") << "what was read before the error";
  ASSERT_FALSE(g_seen.empty());
  const Seen& e = g_seen.back();
  EXPECT_EQ(e.event, "error");
  EXPECT_EQ(e.token, "6x7");

  g_policy = nullptr;
  auto r = raised_text([&] { w.load("1 (2 ] 3"); });
  ASSERT_TRUE(r.has_value()) << "a callback that accepts the error lets it be raised";
  EXPECT_EQ(r->id, Err::syntax_missing);
}

TEST(LexerEvents, ACallbackMayLoadTextItselfWhileCollectionsRun) {
  Guard gc;
  Watching w;
  int nested = 0;
  g_policy = [&](const Seen& s, Cell*) {
    if (s.event == "load") {
      Cell* inner = load_all("[nested \"text\" 1.5] " + std::to_string(++nested));
      EXPECT_EQ(length_of(inner), 2u);
      stack::pop(1);
    }
    return true;
  };
  Cell* b = w.load("[a \"b\" [c d] e] \"f\" 3");
  EXPECT_EQ(molded(b), "[[a \"b\" [c d] e] \"f\" 3]");
  EXPECT_GT(nested, 5);
}

// ---- collections during a load ---------------------------------------------------------

TEST(LexerCollect, ValuesSurviveCollectionsMidScan) {
  Guard gc;
  std::string text;
  for (int i = 0; i < 60; ++i) {
    text += "w" + std::to_string(i) + " \"s" + std::to_string(i) + "\" [" + std::to_string(i) +
            " (x/y " + std::to_string(i) + ".5)] ";
  }
  Cell* b = load_all(text);
  ASSERT_EQ(length_of(b), 180u);
  gc::do_cycle();
  for (int i = 0; i < 60; ++i) {
    EXPECT_EQ(symbol::name(word::symbol_of(at(b, 3 * i))), "w" + std::to_string(i));
    EXPECT_EQ(utf8_of(at(b, 3 * i + 1)), "s" + std::to_string(i));
    EXPECT_EQ(molded(at(b, 3 * i + 2)),
              "[" + std::to_string(i) + " (x/y " + std::to_string(i) + ".5)]");
  }
  stack::pop(1);
}

// ---- the loaders the other modules call ----------------------------------------------

TEST(LexerHooks, TextLoadersOfTheWordFamilyAndTheEvaluator) {
  Cell* text = test::text("  a b");
  Cell* out = make_none(stack::push());
  ASSERT_TRUE(api::services.load_first(text, out));
  EXPECT_EQ(molded(out), "a");
  EXPECT_FALSE(has_new_line(out));
  Cell* blank = test::text(" ; nothing");
  EXPECT_FALSE(api::services.load_first(blank, out));
  Cell* bad = test::text("[a");
  EXPECT_FALSE(api::services.load_first(bad, out)) << "a syntax error is no value, not a raise";

  Cell* all = test::text("1 [2]");
  lexer::load_all(all, out);
  EXPECT_EQ(molded(out), "[1 [2]]");
  Cell* one = test::text("x");
  lexer::load_all(one, out);
  EXPECT_EQ(type_of(out), TYPE_BLOCK) << "always a block";
}

// ---- text to numbers -------------------------------------------------------------------

TEST(LexerNumbers, TextToIntegerAndFloatInEveryUnit) {
  struct Case {
    std::u32string text;
    i32 int_status;
    i32 int_value;
    bool float_ok;
    double float_value;
  };
  const Case cases[] = {
      {U"123", 0, 123, true, 123},
      {U"-1'000", 0, -1000, true, -1000},
      {U"-2147483648", 0, INT32_MIN, true, -2147483648.0},
      {U"2147483648", -2, 0, true, 2147483648.0},
      {U"12a", -1, 0, false, 0},
      {U"", -1, 0, false, 0},
      {U"1,5", -1, 0, true, 1.5},
      {U"1.5e2", -1, 0, true, 150},
      {U"1e", -1, 0, false, 0},
      {U"\u0661", -1, 0, false, 0},  // not an ASCII digit
  };
  for (u32 unit : {1u, 2u, 4u}) {
    for (const Case& c : cases) {
      if (unit == 1 && c.text.find_first_of(U"\u0661") != std::u32string::npos) continue;
      std::vector<u8> units(c.text.size() * unit + 1);
      for (size_t i = 0; i < c.text.size(); ++i) string::put_char(&units[i * unit], unit, c.text[i]);
      i32 status = 99;
      i32 v = lexer::text_to_integer(units.data(), u32(c.text.size()), unit, &status);
      EXPECT_EQ(status, c.int_status) << "unit " << unit << " case " << c.int_value;
      if (status == 0) {
        EXPECT_EQ(v, c.int_value);
      }
      double d = lexer::text_to_float(units.data(), u32(c.text.size()), unit, &status);
      EXPECT_EQ(status == 0, c.float_ok);
      if (c.float_ok) {
        EXPECT_EQ(d, c.float_value);
      } else {
        EXPECT_TRUE(std::isnan(d));
      }
    }
  }
  std::string huge(313, '1');
  i32 status = 0;
  lexer::text_to_float(reinterpret_cast<const u8*>(huge.data()), 313, 1, &status);
  EXPECT_EQ(status, -1) << "more than 312 characters";
}

}  // namespace
