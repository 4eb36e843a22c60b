// UTF-8 and UTF-16 conversions, widening of string buffers, case folding.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/string.hpp"
#include "runtime/casefold.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"
#include "tests/unit/test_support.hpp"

namespace unicode_test {

using namespace qel;
using namespace qel::test;
using Bytes = std::vector<u8>;

namespace {

// The collector runs during these tests (at every allocation when
// QEL_GC_STRESS=1), so every value a test holds is rooted.
class Unicode : public test::RuntimeTest {};

// An error raised: its id and its first argument's type, integer or bytes.
struct RaisedArg {
  Err id;
  Type arg_type;
  i32 arg_int = 0;
  Bytes arg_bytes;
};

// Runs f inside a catch frame; answers the error it raised, if any.
std::optional<RaisedArg> raised_with_arg(const std::function<void()>& f) {
  Cell* err = make_none(stack::push());
  std::optional<RaisedArg> r;
  if (caught(f, err)) {
    const Cell* arg = error::field(err, error::F_ARG1);
    r = RaisedArg{error::id_of(err), type_of(arg)};
    if (type_of(arg) == TYPE_INTEGER) r->arg_int = int_of(arg);
    if (type_of(arg) == TYPE_BINARY) {
      mem::Buffer* b = mem::buffer_of(series_node(arg));
      r->arg_bytes.assign(b->head_ptr(), b->tail_ptr());
    }
  }
  stack::pop(1);
  return r;
}

void load8(Cell* out, const Bytes& in, u32* remaining = nullptr, bool crlf = false) {
  make_series(out, TYPE_STRING, unicode::load_utf8(in.data(), u32(in.size()), nullptr, remaining, crlf));
}

}  // namespace

// ---- UTF-8 decoding ------------------------------------------------------------

TEST_F(Unicode, Utf8LoadPicksTheNarrowestUnitAndRejectsMalformedText) {
  struct Case {
    Bytes in;
    std::u32string text;  // when valid
    u32 unit;
    Bytes bad;            // the bytes of the error when invalid
  };
  const std::vector<Case> cases = {
      {{'a', 0xC3, 0xA9}, U"a\u00E9", 1, {}},
      {{0xE2, 0x82, 0xAC}, U"\u20AC", 2, {}},
      {{'x', 0xF0, 0x9F, 0x98, 0x80}, U"x\U0001F600", 4, {}},
      {{0xED, 0x9F, 0xBF, 0xEE, 0x80, 0x80}, U"\uD7FF\uE000", 2, {}},  // around the surrogates
      {{0xEF, 0xBF, 0xBF, 0xF4, 0x8F, 0xBF, 0xBF}, U"\uFFFF\U0010FFFF", 4, {}},
      {{0xEF, 0xBB, 0xBF, 'A'}, U"A", 1, {}},  // byte order mark
      {{0xEF, 0xBB, 0xBF}, U"", 1, {}},
      {{}, U"", 1, {}},
      {{0, 'b'}, std::u32string(U"\0b", 2), 1, {}},
      // Overlong forms, surrogates, beyond U+10FFFF, stray and cut bytes.
      {{0xC0, 0x80}, U"", 0, {0xC0, 0x80}},
      {{0xC1, 0xBF}, U"", 0, {0xC1, 0xBF}},
      {{0xE0, 0x80, 0xAF}, U"", 0, {0xE0, 0x80, 0xAF}},
      {{0xF0, 0x80, 0x80, 0x80, 'z'}, U"", 0, {0xF0, 0x80, 0x80, 0x80}},
      {{'a', 0xED, 0xA0, 0x80}, U"", 0, {0xED, 0xA0, 0x80}},
      {{0xED, 0xB0, 0x80}, U"", 0, {0xED, 0xB0, 0x80}},
      {{0xF4, 0x90, 0x80, 0x80}, U"", 0, {0xF4, 0x90, 0x80, 0x80}},
      {{0xF5, 0x80, 0x80, 0x80}, U"", 0, {0xF5, 0x80, 0x80, 0x80}},
      {{0x80}, U"", 0, {0x80}},
      {{0xFF, 'a', 'b', 'c', 'd'}, U"", 0, {0xFF, 'a', 'b', 'c'}},
      {{0xC3, 0x41}, U"", 0, {0xC3, 0x41}},
      {{'a', 0xE2, 0x82}, U"", 0, {0xE2, 0x82}},  // cut, and no piece to follow
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    roots::LocalCell s;
    auto err = raised_with_arg([&] { load8(s.get(), c.in); });
    if (c.bad.empty()) {
      ASSERT_FALSE(err) << "raised " << int(err->id);
      EXPECT_EQ(code_points(s.get()), c.text);
      EXPECT_EQ(unit_of(s.get()), c.unit);
    } else {
      ASSERT_TRUE(err);
      EXPECT_EQ(err->id, Err::access_invalid_utf8);
      EXPECT_EQ(err->arg_type, TYPE_BINARY);
      EXPECT_EQ(err->arg_bytes, c.bad);
    }
  }
}

TEST_F(Unicode, Utf8PiecesKeepCutSequencesAndCarriageReturnsForTheNextPiece) {
  roots::LocalCell s;
  u32 left = 99;
  load8(s.get(), {'A', 0xC3}, &left);
  EXPECT_EQ(code_points(s.get()), U"A");
  EXPECT_EQ(left, 1u);
  load8(s.get(), {0xE2, 0x82}, &left);
  EXPECT_EQ(code_points(s.get()), U"");
  EXPECT_EQ(left, 2u);
  // A malformed sequence is still an error when pieces are read.
  EXPECT_TRUE(raised_with_arg([&] { load8(s.get(), {'a', 0xC3, 0x41}, &left); }));
  // A CR at the end of a piece may be the first half of CR LF.
  load8(s.get(), {'a', '\r'}, &left, true);
  EXPECT_EQ(code_points(s.get()), U"a");
  EXPECT_EQ(left, 1u);
  load8(s.get(), {'\r', '\n', 'b'}, &left, true);
  EXPECT_EQ(code_points(s.get()), U"\nb");
  EXPECT_EQ(left, 0u);
}

TEST_F(Unicode, LineEndsBecomeLineFeedsOnlyWhenAsked) {
  const Bytes in = {'a', '\r', '\n', 'b', '\r', 'c', '\n', '\r'};
  roots::LocalCell s;
  load8(s.get(), in, nullptr, true);
  EXPECT_EQ(code_points(s.get()), U"a\nb\nc\n\n");
  load8(s.get(), in, nullptr, false);
  EXPECT_EQ(code_points(s.get()), U"a\r\nb\rc\n\r");
}

// Runs of plain ASCII are taken many bytes at a time: a CR, a CR LF or a
// multi-byte sequence at every offset of a long text, and text ending at
// every length, load as the byte-by-byte rule says.
TEST_F(Unicode, LongAsciiRunsLoadAsByteByByte) {
  const std::vector<std::pair<Bytes, std::u32string>> marks = {
      {{'\r'}, U"\n"}, {{'\r', '\n'}, U"\n"}, {{0xC3, 0xA9}, U"\u00E9"}, {{0xE2, 0x82, 0xAC}, U"\u20AC"}};
  roots::LocalCell s;
  for (std::size_t m = 0; m < marks.size(); ++m) {
    for (u32 len = 0; len < 40; ++len) {
      for (u32 at = 0; at <= len; ++at) {
        Bytes in;
        std::u32string want;
        for (u32 i = 0; i < len; ++i) {
          if (i == at) {
            in.insert(in.end(), marks[m].first.begin(), marks[m].first.end());
            want += marks[m].second;
          }
          in.push_back(u8('a' + i % 26));
          want += char32_t('a' + i % 26);
        }
        load8(s.get(), in, nullptr, true);
        ASSERT_EQ(code_points(s.get()), want) << "mark " << m << " at " << at << " of " << len;
      }
    }
  }
  // Without line-end conversion a CR is a character like any other.
  Bytes in(33, 'x');
  in[17] = '\r';
  load8(s.get(), in, nullptr, false);
  EXPECT_EQ(code_points(s.get()), std::u32string(17, U'x') + U"\r" + std::u32string(15, U'x'));
}

TEST_F(Unicode, RefilledTargetKeepsItsUnitAndGrows) {
  roots::LocalCell t;
  make_text(t.get(), U"\U0001F600", 4);
  u32 node = series_node(t.get());
  std::string text(100, 'x');
  unicode::load_utf8_series(reinterpret_cast<const u8*>(text.data()), u32(text.size()), t.get(), nullptr);
  EXPECT_EQ(series_node(t.get()), node);
  EXPECT_EQ(unit_of(t.get()), 4u) << "a refill never narrows the buffer";
  EXPECT_EQ(code_points(t.get()), std::u32string(100, U'x'));
  // A narrow target widens for wide text.
  make_text(t.get(), U"abc", 1);
  const Bytes euro = {0xE2, 0x82, 0xAC};
  unicode::load_utf8(euro.data(), 3, t.get(), nullptr, false);
  EXPECT_EQ(unit_of(t.get()), 2u);
  EXPECT_EQ(code_points(t.get()), U"\u20AC");
}

TEST_F(Unicode, LoadsBytesFromABufferThatMovesWhileLoading) {
  std::string text = "caf\xC3\xA9 " + std::string(3000, 'y') + "\xE2\x82\xAC";
  roots::LocalCell s, dead, src;
  load8(s.get(), Bytes(text.begin(), text.end()));
  std::u32string expect = code_points(s.get());
  ASSERT_EQ(expect.size(), 3006u);
  // A buffer below the source dies just before the loader allocates, so the
  // collection at that allocation slides the source down, and the new string
  // is then made where the source used to be.
  bool stress = gc::stress;
  gc::stress = true;
  make_series(dead.get(), TYPE_BINARY, mem::alloc_bytes(4096));
  make_series(src.get(), TYPE_BINARY, mem::alloc_bytes(u32(text.size())));
  std::memcpy(mem::alloc_tail_bytes(series_node(src.get()), u32(text.size())), text.data(), text.size());
  make_none(dead.get());
  mem::Buffer* b = mem::buffer_of(series_node(src.get()));
  make_series(s.get(), TYPE_STRING, unicode::load_utf8(b->head_ptr(), b->used(), nullptr, nullptr, false));
  gc::stress = stress;
  EXPECT_EQ(code_points(s.get()), expect);
}

TEST_F(Unicode, FastDecoderConsumesTheByteThatBreaksASequence) {
  struct Case {
    Bytes in;
    i32 cp;
    u32 used;
  };
  for (const Case& c : std::vector<Case>{{{0x41}, 0x41, 1},
                                         {{0xC3, 0xA9}, 0xE9, 2},
                                         {{0xF0, 0x9F, 0x98, 0x80}, 0x1F600, 4},
                                         {{0xC3, 0x41}, -1, 2},
                                         {{0xFF, 0x41}, -1, 1},
                                         {{0xC0, 0x80}, -1, 1},
                                         {{0xED, 0xA0, 0x80}, -1, 2},
                                         {{0xE2, 0x82}, -1, 2}}) {  // cut by the end
    i32 cp = 0;
    const u8* p = unicode::fast_decode_utf8_char(c.in.data(), c.in.data() + c.in.size(), cp);
    EXPECT_EQ(cp, c.cp) << testing::PrintToString(c.in);
    EXPECT_EQ(u32(p - c.in.data()), c.used) << testing::PrintToString(c.in);
  }
  const Bytes mixed = {'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 'z'};
  const u8* end = mixed.data() + mixed.size();
  EXPECT_EQ(unicode::count_utf8_chars(mixed.data(), end), 5u);
  EXPECT_EQ(unicode::skip_utf8_chars(mixed.data(), end, 3) - mixed.data(), 6);
  EXPECT_EQ(unicode::skip_utf8_chars(mixed.data(), end, 99), end);
  const std::vector<std::pair<u8, u32>> leads = {{0x41, 0}, {0x80, 0}, {0xC3, 2}, {0xE2, 3}, {0xF0, 4}, {0xFF, 4}};
  for (auto [byte, len] : leads) {
    EXPECT_EQ(unicode::utf8_lead_length(byte), len) << int(byte);
  }
}

TEST_F(Unicode, CheckedDecoderAsksForMoreOnlyWhileTheSequenceIsValid) {
  const Bytes euro = {0xE2, 0x82, 0xAC};
  u32 avail = 2;
  EXPECT_EQ(unicode::decode_utf8_char_checked(euro.data(), avail), -1);
  EXPECT_EQ(avail, 2u) << "the count is untouched";
  avail = 3;
  EXPECT_EQ(unicode::decode_utf8_char_checked(euro.data(), avail), 0x20AC);
  EXPECT_EQ(avail, 3u);
  const Bytes surrogate = {0xED, 0xA0};  // cut, but already a surrogate
  avail = 2;
  auto err = raised_with_arg([&] { unicode::decode_utf8_char_checked(surrogate.data(), avail); });
  ASSERT_TRUE(err);
  EXPECT_EQ(err->arg_bytes, surrogate);
}

// ---- UTF-8 encoding ------------------------------------------------------------

TEST_F(Unicode, EncodingRoundTripsEveryLengthAndRejectsBeyondTheLastCodePoint) {
  for (u32 cp : {0x0u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    u8 buf[4];
    u32 n = unicode::encode_utf8_char(cp, buf);
    EXPECT_EQ(n, unicode::utf8_char_length(cp));
    u32 avail = n;
    EXPECT_EQ(unicode::decode_utf8_char_checked(buf, avail), i32(cp));
    EXPECT_EQ(avail, n);
  }
  for (auto f : std::vector<void (*)()>{
           [] { unicode::utf8_char_length(0x110000); },
           [] { u8 b[4]; unicode::encode_utf8_char(0x110000, b); },
           [] { u8 b[4]; unicode::encode_utf8_char_bounded(0xFFFFFFFF, b, 4); }}) {
    auto err = raised_with_arg(f);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->id, Err::script_invalid_char);
    EXPECT_EQ(err->arg_type, TYPE_INTEGER);
  }
  roots::LocalCell s;
  make_text(s.get(), std::u32string{U'a', char32_t(0x110000)}, 4);
  auto err = raised_with_arg([&] { string::to_utf8(s.get()); });
  ASSERT_TRUE(err);
  EXPECT_EQ(err->arg_int, 0x110000);
}

TEST_F(Unicode, ToUtf8HonoursIndexLimitNulAndRoom) {
  roots::LocalCell s;
  make_text(s.get(), U"xa\u00E9\u20AC\n\U0001F600", 4);
  set_series_index(s.get(), 1);
  u8 out[32];
  std::memset(out, 0xEE, sizeof out);
  u32 n = unicode::to_utf8(s.get(), out, 3, true);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n + 1), std::string("a\xC3\xA9\xE2\x82\xAC", 7));
  EXPECT_EQ(unicode::to_utf8(s.get(), out, -1, false), 11u);
  mem::Buffer* b = mem::buffer_of(series_node(s.get()));
  EXPECT_EQ(unicode::utf8_size_of_units(b->head_ptr() + 4, b->tail_ptr(), 4), 11u);
  // Bounded: a sequence that does not fit whole ends the text.
  std::memset(out, 0xEE, sizeof out);
  n = unicode::to_utf8_bounded(s.get(), out, 4, 0, true);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(out[3], 0);
  EXPECT_EQ(unicode::to_utf8_bounded(s.get(), out, 32, 2, false), 3u);
  // Into a C++ string, with CR before LF when asked.
  i32 limit = -1;
  EXPECT_EQ(unicode::to_utf8_cached_with(s.get(), limit, true), "a\xC3\xA9\xE2\x82\xAC\r\n\xF0\x9F\x98\x80");
  EXPECT_EQ(limit, 12);
  limit = 1;
  EXPECT_EQ(unicode::to_utf8_cached(s.get(), limit), "a");
  EXPECT_EQ(limit, 1);
  set_series_index(s.get(), 50);  // past the tail: nothing
  EXPECT_EQ(string::to_utf8(s.get()), "");
}

// ---- UTF-16 -------------------------------------------------------------------

TEST_F(Unicode, Utf16LoadJoinsPairsAndRejectsLoneSurrogates) {
  struct Case {
    Bytes in;
    bool crlf;
    std::u32string text;
    u32 unit;
    Bytes bad;
  };
  const std::vector<Case> cases = {
      {{0x41, 0, 0xE9, 0}, false, U"A\u00E9", 1, {}},
      {{0xAC, 0x20}, false, U"\u20AC", 2, {}},
      {{0x3D, 0xD8, 0x00, 0xDE}, false, U"\U0001F600", 4, {}},
      {{0x41, 0, 0x0D, 0, 0x0A, 0}, true, U"A\n", 1, {}},
      {{0x41, 0, 0x0D, 0, 0x42, 0}, true, U"A\nB", 1, {}},  // a lone CR is a line end too
      {{0x0D, 0, 0x0A, 0}, false, U"\r\n", 1, {}},
      {{}, false, U"", 1, {}},
      {{0x41, 0, 0x3D, 0xD8}, false, U"", 0, {0x3D, 0xD8}},              // high at the end
      {{0x3D, 0xD8, 0x41, 0x00}, false, U"", 0, {0x3D, 0xD8}},           // high, then no low
      {{0x00, 0xDE, 0x41, 0x00}, false, U"", 0, {0x00, 0xDE}},           // low alone
      {{0x3D, 0xD8, 0x3D, 0xD8, 0x00, 0xDE}, false, U"", 0, {0x3D, 0xD8}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    roots::LocalCell s;
    auto err = raised_with_arg([&] {
      u32 node = unicode::load_utf16le(c.in.data(), u32(c.in.size() / 2), nullptr, c.crlf);
      make_series(s.get(), TYPE_STRING, node);
    });
    if (c.bad.empty()) {
      ASSERT_FALSE(err);
      EXPECT_EQ(code_points(s.get()), c.text);
      EXPECT_EQ(unit_of(s.get()), c.unit);
    } else {
      ASSERT_TRUE(err);
      EXPECT_EQ(err->id, Err::access_invalid_utf8);
      EXPECT_EQ(err->arg_bytes, c.bad);
    }
  }
  const Bytes odd = {0x41, 0, 0x42};
  auto err = raised_with_arg([&] { string::load(odd.data(), 3, string::Encoding::utf16le); });
  ASSERT_TRUE(err);
  EXPECT_EQ(err->arg_bytes, Bytes{0x42});
}

TEST_F(Unicode, ToUtf16WritesPairsAndLineEnds) {
  roots::LocalCell s;
  make_text(s.get(), U"a\nb", 1);
  i32 limit = -1;
  EXPECT_EQ(unicode::to_utf16_len(s.get(), limit, true), u"a\r\nb");
  EXPECT_EQ(limit, 4);
  EXPECT_EQ(unicode::to_utf16(s.get()).c_str()[4], u'\0');
  limit = 2;
  EXPECT_EQ(unicode::to_utf16_len(s.get(), limit, false), u"a\n");
  make_text(s.get(), U"\U0001F600\u20AC", 4);
  EXPECT_EQ(unicode::to_utf16(s.get()), u"\U0001F600\u20AC");
  make_text(s.get(), std::u32string{char32_t(0x110000)}, 4);
  auto err = raised_with_arg([&] { unicode::to_utf16(s.get()); });
  ASSERT_TRUE(err);
  EXPECT_EQ(err->id, Err::script_invalid_char);
  const Bytes w1 = {0x41, 0, 0xFF, 0}, w2 = {0x41, 0, 0x00, 0x01}, w4 = {0x00, 0x01, 0x3D, 0xD8, 0, 0xDE};
  EXPECT_EQ(unicode::utf16_unit_width(w1.data(), 2), 1u);
  EXPECT_EQ(unicode::utf16_unit_width(w2.data(), 2), 2u);
  EXPECT_EQ(unicode::utf16_unit_width(w4.data(), 3), 4u);
}

// ---- widening ------------------------------------------------------------------

TEST_F(Unicode, WideningKeepsCodePointsIndexesAndWorksInPlaceWhenRoomAllows) {
  struct Case {
    u32 from, to;
    bool room;  // capacity for the wider units
  };
  const std::vector<Case> cases = {{1, 2, true},  {1, 4, true},  {2, 4, true},
                                   {1, 2, false}, {1, 4, false}, {2, 4, false}};
  for (Case c : cases) {
    SCOPED_TRACE(testing::Message() << c.from << "->" << c.to << (c.room ? " in place" : " expanded"));
    std::u32string text = c.from == 1 ? U"h\u00E9llo w\u00F6rld" : U"h\u20ACllo w\uFFFDrld";
    roots::LocalCell s, other;
    make_text(s.get(), text, c.from);  // a buffer just big enough for its units
    if (c.room) mem::expand_series_copy(series_node(s.get()), u32(text.size()) * 4 + 16);
    copy_cell(s.get(), other.get());
    set_series_index(other.get(), 6);
    u32 node = series_node(s.get());
    u32 before = mem::node_target(node);
    mem::Buffer* b = unicode::widen(node, c.to);
    EXPECT_EQ(b, mem::buffer_of(node));
    EXPECT_EQ(b->unit(), c.to);
    EXPECT_EQ(mem::node_target(node) == before, c.room);
    EXPECT_EQ(code_points(s.get()), text);
    EXPECT_EQ(code_points(other.get()), text.substr(6)) << "indexes count units";
  }
}

// ---- case folding ----------------------------------------------------------------

TEST_F(Unicode, SimpleCaseMappings) {
  struct Case {
    u32 cp, upper, lower;
  };
  for (Case c : std::vector<Case>{{0x61, 0x41, 0x61},     {0x41, 0x41, 0x61},      {0xDF, 0xDF, 0xDF},
                                  {0x130, 0x130, 0x69},   {0x69, 0x49, 0x69},      {0x131, 0x49, 0x131},
                                  {0xFF, 0x178, 0xFF},    {0xB5, 0x39C, 0xB5},     {0x17F, 0x53, 0x17F},
                                  {0x3C2, 0x3A3, 0x3C2},  {0x1E9E, 0x1E9E, 0xDF},  {0x1C5, 0x1C4, 0x1C6},
                                  {0xFF5A, 0xFF3A, 0xFF5A}, {0x10428, 0x10400, 0x10428},
                                  {0x10400, 0x10400, 0x10428}, {0x1E943, 0x1E921, 0x1E943},
                                  {0x1E921, 0x1E921, 0x1E943}, {0x1F600, 0x1F600, 0x1F600},
                                  {0x10FFFF, 0x10FFFF, 0x10FFFF}, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}}) {
    EXPECT_EQ(casefold::upper(c.cp), c.upper) << std::hex << c.cp;
    EXPECT_EQ(casefold::lower(c.cp), c.lower) << std::hex << c.cp;
  }
}

TEST_F(Unicode, CaseMappingsMatchTheCharacterDatabase) {
  std::ifstream in("/usr/share/unicode/UnicodeData.txt");
  if (!in) GTEST_SKIP() << "the Unicode Character Database is not installed";
  std::vector<u32> upper(0x110000), lower(0x110000);
  for (u32 cp = 0; cp < 0x110000; ++cp) upper[cp] = lower[cp] = cp;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string x; std::getline(ss, x, ';');) f.push_back(x);
    f.resize(15);
    u32 cp = u32(std::stoul(f[0], nullptr, 16));
    if (!f[12].empty()) upper[cp] = u32(std::stoul(f[12], nullptr, 16));
    if (!f[13].empty()) lower[cp] = u32(std::stoul(f[13], nullptr, 16));
  }
  int wrong = 0;
  for (u32 cp = 0; cp < 0x110000 && wrong < 10; ++cp) {
    if (casefold::upper(cp) != upper[cp] || casefold::lower(cp) != lower[cp]) {
      ++wrong;
      ADD_FAILURE() << std::hex << "U+" << cp;
    }
  }
}

TEST_F(Unicode, ChangeCaseFoldsInPlaceWideningAndHonoursPart) {
  roots::LocalCell s, part;
  make_text(s.get(), U"a\u00B5b\u00FFc", 1);
  string::change_case(s.get(), nullptr, true);
  EXPECT_EQ(code_points(s.get()), U"A\u039CB\u0178C");
  EXPECT_EQ(unit_of(s.get()), 2u) << "U+039C needs 2-byte units";

  make_text(s.get(), U"abcd", 1);
  set_series_index(s.get(), 2);
  make_integer(part.get(), 100);  // more than the string holds: up to the tail
  string::change_case(s.get(), part.get(), true);
  set_series_index(s.get(), 0);
  EXPECT_EQ(code_points(s.get()), U"abCD");

  make_text(s.get(), U"ABCD", 1);
  copy_cell(s.get(), part.get());
  set_series_index(part.get(), 3);  // a series over the same buffer counts to its index
  set_series_index(s.get(), 1);
  string::change_case(s.get(), part.get(), false);
  set_series_index(s.get(), 0);
  EXPECT_EQ(code_points(s.get()), U"AbcD");

  make_integer(part.get(), -5);
  string::change_case(s.get(), part.get(), true);
  EXPECT_EQ(code_points(s.get()), U"AbcD") << "a negative count changes nothing";

  set_series_index(s.get(), 9);  // past the tail: clamped, nothing to do
  string::change_case(s.get(), nullptr, true);
  EXPECT_EQ(series_index(s.get()), 4);

  make_text(s.get(), U"\u0130\U00010400", 4);
  string::change_case(s.get(), nullptr, false);
  EXPECT_EQ(code_points(s.get()), U"i\U00010428");

  Cell c;
  make_char(&c, 0x3C2);
  string::change_case(&c, nullptr, true);
  EXPECT_EQ(char_of(&c), 0x3A3u);

  make_text(part.get(), U"ABCD", 1);  // another buffer
  for (const Cell* bad : std::vector<const Cell*>{part.get(), &c}) {
    auto err = raised_with_arg([&] { string::change_case(s.get(), bad, true); });
    ASSERT_TRUE(err);
    EXPECT_EQ(err->id, Err::script_invalid_refine_arg);
  }
}

}  // namespace unicode_test
