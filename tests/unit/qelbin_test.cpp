// QELBIN in the compact layout: exact bytes of small values, round trips of
// every datatype with a record (with and without the LZ stream), random
// values with shared and cyclic series, and damaged streams.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "io/qelbin.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

namespace qelbin_test {

using namespace qel;
using namespace qel::test;

namespace {

class Qelbin : public test::RuntimeTest {};

using Bytes = std::vector<u8>;

// The stream of a value that uses no symbol: header, root count 1, size.
Bytes plain_stream(const Bytes& records) {
  Bytes s = {'Q', 'E', 'L', 'B', 'I', 'N', 2, 1, 1, u8(records.size())};
  for (u8 b : records) s.push_back(b);  // (g++ 12 -O3 misreads insert here)
  return s;
}

// Decodes the stream into a new block (pushed) and answers it.
Cell* decoded(const Bytes& stream) {
  Cell* out = block_of({});
  qelbin::decode(stream.data(), stream.size(), series_node(out));
  return out;
}

// The one value a stream decodes to, molded.
std::string decoded_mold(const Bytes& stream) {
  Cell* out = decoded(stream);
  EXPECT_EQ(cell_count(out), 1u);
  return molded(cell_at(out, 0));
}

Bytes bytes_of(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(u8(x));
  return b;
}

Bytes f64(double d) {
  u64 bits;
  std::memcpy(&bits, &d, 8);
  Bytes b;
  for (int i = 0; i < 8; ++i) b.push_back(u8(bits >> (8 * i)));
  return b;
}

Bytes cat(Bytes a, const Bytes& b) {
  for (u8 x : b) a.push_back(x);
  return a;
}

// The three ways a value is written: compact, compact through LZ, full.
std::vector<Bytes> all_encodings(const Cell* v) {
  return {qelbin::encode_compact(v), qelbin::encode_compact(v, true), qelbin::encode_full(v)};
}

// The full-layout stream of records that use no symbol.
Bytes full_stream(const Bytes& records) {
  Bytes s = {'Q', 'E', 'L', 'B', 'I', 'N', 2, 0, 1, 0, 0, 0, u8(records.size()), 0, 0, 0};
  for (u8 b : records) s.push_back(b);  // (g++ 12 -O3 misreads insert here)
  return s;
}

Bytes words_of(std::initializer_list<u32> v) {
  Bytes b;
  for (u32 x : v)
    for (int i = 0; i < 4; ++i) b.push_back(u8(x >> (8 * i)));
  return b;
}

TEST_F(Qelbin, FullLayoutBytes) {
  struct Case {
    const char* source;
    Bytes records;
  };
  u64 bits;
  double d = 2.5;
  std::memcpy(&bits, &d, 8);
  u32 hi = u32(bits >> 32), lo = u32(bits);
  const Case cases[] = {
      {"-7", words_of({11, u32(-7)})},
      // A float first, and after one word: padded so that its head word
      // starts at a multiple of 8 bytes.
      {"2.5", words_of({12, hi, lo})},
      {"[2.5]", words_of({5, 0, 1, 0, 12, hi, lo})},
      {"[1 2.5]", words_of({5, 0, 2, 11, 1, 0, 12, hi, lo})},
      {"\"abc\"", cat(words_of({0x107, 0, 3}), bytes_of({'a', 'b', 'c', 0}))},
      {"\"\xC3\xA9\xE2\x82\xAC\"", cat(words_of({0x207, 0, 2}), bytes_of({0xE9, 0, 0xAC, 0x20}))},
      {"\"\xF0\x9F\x98\x80\"", cat(words_of({0x407, 0, 1}), bytes_of({0x00, 0xF6, 0x01, 0}))},
      {"[[1]]", words_of({5, 0, 1, 5, 0, 1, 11, 1})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    Cell* v = load(c.source);
    EXPECT_EQ(qelbin::encode_full(v), full_stream(c.records));
    EXPECT_EQ(decoded_mold(full_stream(c.records)), molded(v));
  }
  // A shared block is written once; a block holding itself refers to itself.
  Cell* b = load("[1]");
  Cell* outer = block_of({*b, *b});
  EXPECT_EQ(qelbin::encode_full(outer),
            full_stream(words_of({5, 0, 2, 5, 0, 1, 11, 1, 0x80005, 0, 255, 2, 0, 0})));
  // A global word: flags 4, one symbol padded to 8 bytes, head bit 25.
  Cell* w = load("ab");
  Bytes expect = cat(bytes_of({'Q', 'E', 'L', 'B', 'I', 'N', 2, 4}),
                     cat(words_of({1, 12, 1, 8, 0}), bytes_of({'a', 'b', 0, 0, 0, 0, 0, 0})));
  expect = cat(expect, words_of({0x200000F, 0, u32(word::index_of(w))}));
  EXPECT_EQ(qelbin::encode_full(w), expect);
  EXPECT_EQ(spelling(cell_at(decoded(expect), 0)), "ab");
}

TEST_F(Qelbin, ExactBytesOfSmallValues) {
  struct Case {
    const char* source;
    Bytes records;
  };
  const Case cases[] = {
      {"5", bytes_of({0x85})},
      {"63", bytes_of({0xBF})},
      {"64", bytes_of({0x0B, 0x80, 0x01})},
      {"-1", bytes_of({0x0B, 0x01})},
      {"3.0", bytes_of({0x4C, 0x06})},
      {"1.5", cat(bytes_of({0x0C}), f64(1.5))},
      {"-0.0", cat(bytes_of({0x0C}), f64(-0.0))},
      {"25%", bytes_of({0x66, 0x32})},
      {"1.2.3", bytes_of({0x27, 1, 2, 3})},
      {"1.2.3.4", bytes_of({0x67, 4, 1, 2, 3, 4})},
      {"3x-4", bytes_of({0x25, 6, 7})},
      {"#\"a\"", bytes_of({0x0A, 0x61})},
      {"\"ab\"", bytes_of({0x07, 0x08, 'a', 'b'})},
      {"\"\xC3\xA9\xE2\x82\xAC\"", bytes_of({0x07, 0x09, 0xE9, 0, 0xAC, 0x20})},  // unit 2
      {"\"\xF0\x9F\x98\x80\"", bytes_of({0x07, 0x06, 0x00, 0xF6, 0x01, 0})},   // unit 4
      {"#{0102}", bytes_of({0x29, 2, 1, 2})},
      {"[[1] ()]", bytes_of({0x05, 2, 0x05, 1, 0x81, 0x06, 0})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    Cell* v = load(c.source);
    EXPECT_EQ(qelbin::encode_compact(v), plain_stream(c.records));
    EXPECT_EQ(decoded_mold(plain_stream(c.records)), molded(v));
  }
  // A float at an odd and an even offset reads back bit for bit.
  for (const char* src : {"[1 2.5]", "[2.5]", "[1 \"a\" -0.0 1e300]"}) {
    Cell* v = load(src);
    Cell* back = decoded(qelbin::encode_compact(v));
    EXPECT_EQ(molded(cell_at(back, 0)), molded(v)) << src;
  }
}

TEST_F(Qelbin, WordsAndTheSymbolTable) {
  // A word: flags 5 (compact, symbols), one symbol "ab" at offset 0.
  Cell* w = load("ab");
  Bytes expect = {'Q', 'E', 'L', 'B', 'I', 'N', 2, 5, 1, 2, 1, 3, 0, 0, 0, 0, 'a', 'b', 0, 0x0F, 0};
  EXPECT_EQ(qelbin::encode_compact(w), expect);
  Cell* back = decoded(expect);
  EXPECT_EQ(type_of(cell_at(back, 0)), TYPE_WORD);
  EXPECT_EQ(spelling(cell_at(back, 0)), "ab");
  EXPECT_EQ(word::context_of(cell_at(back, 0)), context::global);
  // Logic and none cells.
  Cell scalars[3];
  make_logic(&scalars[0], true);
  make_logic(&scalars[1], false);
  make_none(&scalars[2]);
  Cell* blk = block_of({scalars[0], scalars[1], scalars[2]});
  Bytes records = bytes_of({0x05, 3, 0xC2, 0xC3, 0x03});
  EXPECT_EQ(qelbin::encode_compact(blk), plain_stream(records));
  EXPECT_EQ(decoded_mold(plain_stream(records)), molded(blk));
}

// The stream of records that use the one symbol "a".
Bytes stream_with_a(const Bytes& records) {
  Bytes s = {'Q', 'E', 'L', 'B', 'I', 'N', 2, 5, 1, u8(records.size()), 1, 2, 0, 0, 0, 0, 'a', 0};
  return cat(s, records);
}

TEST_F(Qelbin, ExactBytesOfContainersAndFunctions) {
  // A map: its word key is a set-word.
  Cell* m = load("#[a 1]");
  Bytes map_records = bytes_of({0x28, 2, 0x10, 0, 0x81});
  EXPECT_EQ(qelbin::encode_compact(m), stream_with_a(map_records));
  EXPECT_EQ(decoded_mold(stream_with_a(map_records)), molded(m));
  // A function: the lengths of spec and body, its context (function kind,
  // values on the stack) with the word a, the spec, and the body whose word
  // refers to the function it belongs to.
  Cell* fn = make_function("[a]", "[a]");
  Bytes fn_records = bytes_of({0x18, 1, 1, 0x0E, 0x05, 1, 0, 0x05, 1, 0x0F, 0,
                               0x05, 1, 0xC1, 0x4F, 0, 0, 1, 0});
  EXPECT_EQ(qelbin::encode_compact(fn), stream_with_a(fn_records));
  Cell* back = cell_at(decoded(stream_with_a(fn_records)), 0);
  EXPECT_EQ(molded(back), molded(fn));
  Cell* body = function::more_cell(back, function::MORE_BODY);
  EXPECT_EQ(word::context_of(cell_at(body, 0)), function::context_of(back));
  // An error: its code, then arg1 to stack.
  Cell proto = datatype_cell(TYPE_ERROR);
  Cell code = integer_cell(400);
  Cell* e = error::make(&proto, &code, TYPE_ERROR);
  Bytes error_records = bytes_of({0x22, 0x90, 0x03, 3, 3, 3, 3, 3, 3});
  EXPECT_EQ(qelbin::encode_compact(e), plain_stream(error_records));
  EXPECT_EQ(decoded_mold(plain_stream(error_records)), molded(e));
}

TEST_F(Qelbin, SharedAndCyclicSeries) {
  // [b b] with b: [1]: the second occurrence refers to the first by its
  // path (root 0, cell 0).
  Cell* b = load("[1]");
  Cell* outer = block_of({*b, *b});
  Bytes shared = bytes_of({0x05, 2, 0x05, 1, 0x81, 0xC1, 0x05, 2, 0, 0});
  EXPECT_EQ(qelbin::encode_compact(outer), plain_stream(shared));
  Cell* back = cell_at(decoded(plain_stream(shared)), 0);
  EXPECT_EQ(series_node(cell_at(back, 0)), series_node(cell_at(back, 1)));
  // A block holding itself.
  Cell* self = load("[]");
  block::append_copy(self, self);
  Bytes cyclic = bytes_of({0x05, 1, 0xC1, 0x05, 1, 0});
  EXPECT_EQ(qelbin::encode_compact(self), plain_stream(cyclic));
  Cell* again = cell_at(decoded(plain_stream(cyclic)), 0);
  EXPECT_EQ(series_node(cell_at(again, 0)), series_node(again));
  // A string shared at two indexes keeps one buffer and both indexes.
  Cell* s = text("hello");
  Cell s2 = *s;
  set_series_index(&s2, 2);
  Cell* pair = block_of({*s, s2});
  Cell* back2 = cell_at(decoded(qelbin::encode_compact(pair)), 0);
  EXPECT_EQ(series_node(cell_at(back2, 0)), series_node(cell_at(back2, 1)));
  EXPECT_EQ(molded(cell_at(back2, 1)), "\"llo\"");
}

// Every datatype that has a record, with the LZ stream off and on.
TEST_F(Qelbin, RoundTripsEveryDatatype) {
  const char* sources[] = {
      "[1 -70000 2147483647 -2147483648 #\"x\" #\"^(10FFFF)\" 1.5 -0.0 1e-300 3.0 2.5% 12:30:01.5 "
      "1-Jan-2020 29-Feb-2024/10:20:30+5:30 $12.34 -$0.01 1.2.3 1.2.3.4.5.6.7.8.9.10.11.12 "
      "3x4 none true false #issue integer! [integer! string!] word set: 'lit :get "
      "/ref a/b/c 'a/b :a/b a/b: (1 + 2) \"str\" %file http://example.com <tag> me@example.com "
      "@ref #{DEADBEEF} #[a 1 \"b\" [2]]]",
  };
  for (const char* src : sources) {
    Cell* v = load(src);
    int way = 0;
    for (const Bytes& stream : all_encodings(v)) {
      Cell* back = decoded(stream);
      EXPECT_EQ(molded(cell_at(back, 0)), molded(v)) << way;
      if (way++ == 1) {
        EXPECT_EQ(stream[7] & qelbin::FLAG_LZ, qelbin::FLAG_LZ);
      }
    }
  }
  // Values made rather than loaded.
  Cell* made[] = {make_as(TYPE_HASH, load("[a 1 b 2]")), make_as(TYPE_BITSET, text("abc")),
                  typeset_of({TYPE_INTEGER, TYPE_BLOCK})};
  for (Cell* v : made) {
    for (const Bytes& stream : all_encodings(v)) {
      Cell* back = decoded(stream);
      EXPECT_EQ(molded(cell_at(back, 0)), molded(v));
      EXPECT_EQ(type_of(cell_at(back, 0)), type_of(v));
    }
  }
}

// ---- random values ------------------------------------------------------------------------

// Compares two values deeply and checks that the series of a correspond
// one to one with those of b (shared stays shared, cycles stay cycles).
struct SameShape {
  std::unordered_map<u32, u32> forward, backward;
  bool operator()(const Cell* a, const Cell* b) {
    if (type_of(a) != type_of(b)) return false;
    Type t = type_of(a);
    bool series = t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_STRING;
    if (!series) return molded(a) == molded(b);
    if (series_index(a) != series_index(b)) return false;
    u32 na = series_node(a), nb = series_node(b);
    auto f = forward.find(na);
    auto r = backward.find(nb);
    if (f != forward.end() || r != backward.end())
      return f != forward.end() && r != backward.end() && f->second == nb && r->second == na;
    forward[na] = nb;
    backward[nb] = na;
    if (t == TYPE_STRING) return whole_text(a) == whole_text(b);
    Cell ha = *a, hb = *b;
    set_series_index(&ha, 0);
    set_series_index(&hb, 0);
    u32 n = cell_count(&ha);
    if (n != cell_count(&hb)) return false;
    for (u32 i = 0; i < n; ++i) {
      Cell x = *cell_at(&ha, i), y = *cell_at(&hb, i);
      if (!(*this)(&x, &y)) return false;
    }
    return true;
  }
};

TEST_F(Qelbin, RandomValuesRoundTrip) {
  std::mt19937 rng(20);
  for (int round = 0; round < 2000; ++round) {
    test::Guard guard;
    Cell* root = load("[]");
    std::vector<Cell> made = {*root};  // series made so far (rooted by root)
    std::function<void(Cell*, int)> fill = [&](Cell* blk, int depth) {
      int n = int(rng() % 6);
      for (int i = 0; i < n; ++i) {
        u32 pick = rng() % 10;
        Cell c;
        if (pick < 3) {
          make_integer(&c, i32(rng()) >> (rng() % 32));
        } else if (pick == 3) {
          make_float(&c, std::ldexp(double(i32(rng())), int(rng() % 40) - 20));
        } else if (pick == 4) {
          std::u32string s;
          for (u32 k = rng() % 5; k > 0; --k) s += char32_t(rng() % 3 == 0 ? 0x100 + rng() % 0xD000 : 'a' + rng() % 26);
          Cell* str = text(s);
          if (!s.empty() && rng() % 3 == 0) set_series_index(str, i32(rng() % s.size()));
          c = *str;
          made.push_back(c);
        } else if (pick == 5) {
          c = word_cell(rng() % 2 ? "alpha" : "beta");
        } else if (pick == 6 && made.size() > 0) {
          c = made[rng() % made.size()];  // shared, or a cycle when an ancestor
        } else if (depth < 4) {
          Cell* inner = load(rng() % 4 ? "[]" : "()");
          c = *inner;
          made.push_back(c);
          block::append_copy(blk, &c);
          fill(stack::push_cell(&c), depth + 1);  // a cell that does not move
          continue;
        } else {
          make_none(&c);
        }
        block::append_copy(blk, &c);
      }
    };
    fill(root, 0);
    for (const Bytes& stream : all_encodings(root)) {
      Cell* back = decoded(stream);
      ASSERT_EQ(cell_count(back), 1u);
      SameShape same;
      ASSERT_TRUE(same(root, cell_at(back, 0))) << round << " " << molded(root);
    }
  }
}

// ---- errors -----------------------------------------------------------------------------

TEST_F(Qelbin, UnsupportedDatatypesRaiseNoCodec) {
  routine::push(load("[a]"), nullptr, routines::register_routine("probe", nullptr), -1);
  Cell* fn = stack::last();
  EXPECT_EQ(raised([&] { qelbin::encode_compact(fn); }), Err::access_no_codec);
  Cell* nested = block_of({integer_cell(1), *fn});
  EXPECT_EQ(raised([&] { qelbin::encode_compact(nested); }), Err::access_no_codec);
  // Records of handle!, triple!, port! and event! cannot be read.
  for (int type : {TYPE_HANDLE, TYPE_TRIPLE, TYPE_PORT, TYPE_EVENT, TYPE_ROUTINE}) {
    EXPECT_EQ(raised([&] { decoded(plain_stream(bytes_of({type}))); }), Err::access_no_codec)
        << type;
  }
}

TEST_F(Qelbin, DamagedStreamsRaiseErrors) {
  // Every prefix of a few streams.
  std::vector<Bytes> streams;
  for (const char* src : {"[a [b \"c\"] 1.5 #{01} #[k 1]]", "[\"\xE2\x82\xAC\" x/y 'z 99 1.2.3.4]"}) {
    streams.push_back(qelbin::encode_compact(load(src)));
    streams.push_back(qelbin::encode_full(load(src)));
  }
  Bytes big;
  {
    Cell* blk = load("[]");
    for (int i = 0; i < 60; ++i) {
      Cell w = word_cell(i % 2 ? "repeat" : "again");
      block::append_copy(blk, &w);
    }
    big = qelbin::encode_compact(blk, true);
    ASSERT_TRUE(big[7] & qelbin::FLAG_LZ);
    streams.push_back(big);
  }
  // Past the magic and flags, a compact stream that is not LZ-compressed and
  // is cut anywhere, in its header too, is an invalid record at an offset
  // (a full one with fewer than 8 bytes after the flags is invalid data).
  for (const Bytes& s : streams) {
    for (std::size_t n = 0; n < s.size(); ++n) {
      Bytes cut(s.begin(), s.begin() + n);
      auto e = raised([&] { decoded(cut); });
      ASSERT_TRUE(e) << n;
      bool full_header = !(s[7] & qelbin::FLAG_COMPACT) && n < 16;
      if (n >= 8 && !(s[7] & qelbin::FLAG_LZ) && !full_header) {
        EXPECT_EQ(*e, Err::script_qb_invalid_record) << n;
      } else {
        EXPECT_TRUE(*e == Err::script_invalid_data || *e == Err::script_qb_invalid_record) << n;
      }
    }
  }
  struct Case {
    const char* what;
    Bytes stream;
    Err err;
  };
  const Case cases[] = {
      {"bad magic", bytes_of({'Q', 'E', 'L', 'B', 'I', 'X', 2, 1, 1, 1, 0x85}), Err::script_invalid_data},
      {"LZ that does not decompress", bytes_of({'Q', 'E', 'L', 'B', 'I', 'N', 2, 3, 9, 0, 0, 0, 9, 0, 0, 0, 1}),
       Err::script_invalid_data},
      {"symbol offset outside the names",
       bytes_of({'Q', 'E', 'L', 'B', 'I', 'N', 2, 5, 1, 2, 1, 2, 5, 0, 0, 0, 'a', 0, 0x0F, 0}),
       Err::script_qb_invalid_record},
      {"names not ended by a NUL",
       bytes_of({'Q', 'E', 'L', 'B', 'I', 'N', 2, 5, 1, 2, 1, 2, 0, 0, 0, 0, 'a', 'b', 0x0F, 0}),
       Err::script_qb_invalid_record},
      {"symbol index past the table",
       bytes_of({'Q', 'E', 'L', 'B', 'I', 'N', 2, 5, 1, 2, 1, 2, 0, 0, 0, 0, 'a', 0, 0x0F, 1}),
       Err::script_qb_invalid_record},
      {"varint with a fifth byte too big", plain_stream(bytes_of({0x0B, 0xFF, 0xFF, 0xFF, 0xFF, 0x1F})),
       Err::script_qb_invalid_record},
      {"unknown code", plain_stream(bytes_of({0xC5})), Err::script_qb_invalid_record},
      {"type id 0", plain_stream(bytes_of({0x00})), Err::script_qb_invalid_record},
      {"boot-word prefix in codec mode", plain_stream(bytes_of({0xC4, 0x85})), Err::script_qb_invalid_record},
      {"reference prefix on a code", plain_stream(bytes_of({0xC1, 0x85})), Err::script_qb_invalid_record},
      {"path past the target", plain_stream(bytes_of({0x05, 1, 0xC1, 0x05, 1, 5})), Err::script_qb_invalid_record},
      {"path of length 0", plain_stream(bytes_of({0xFF, 0})), Err::script_qb_invalid_record},
      {"string unit code 3", plain_stream(bytes_of({0x07, 0x07, 0})), Err::script_qb_invalid_record},
      {"block count past the data", plain_stream(bytes_of({0x05, 0x7F})), Err::script_qb_invalid_record},
      {"native id past the table", plain_stream(bytes_of({0x15, 108, 0x05, 0})), Err::script_qb_invalid_record},
      {"action id past the table", plain_stream(bytes_of({0x16, 63, 0x05, 0})), Err::script_qb_invalid_record},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(raised([&] { decoded(c.stream); }), c.err);
  }
  // The full layout's symbol table is checked as the compact one's.
  Bytes full_head = {'Q', 'E', 'L', 'B', 'I', 'N', 2, 4};
  const Case full_cases[] = {
      {"offset outside the names", cat(full_head, words_of({1, 12, 1, 8, 9, 0x61, 0, 0x200000F, 0, 0})),
       Err::script_qb_invalid_record},
      {"name without its NUL", cat(full_head, words_of({1, 12, 1, 4, 0, 0x61616161, 0x200000F, 0, 0})),
       Err::script_qb_invalid_record},
      {"symbol index past the table", cat(full_head, words_of({1, 12, 1, 8, 0, 0x61, 0, 0x200000F, 1, 0})),
       Err::script_qb_invalid_record},
      {"fewer than 8 bytes after the flags", cat(full_head, words_of({1})), Err::script_invalid_data},
      {"native id past the table", full_stream(words_of({21, 108, 5, 0, 0})), Err::script_qb_invalid_record},
      {"tuple of 13 bytes", full_stream(words_of({0xD27, 0, 0, 0})), Err::script_qb_invalid_record},
  };
  for (const Case& c : full_cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(raised([&] { decoded(c.stream); }), c.err);
  }
  EXPECT_EQ(type_of(cell_at(decoded(full_stream(words_of({21, 107, 5, 0, 0}))), 0)), TYPE_NATIVE);
  // The whole natives table decodes: ids 1 and 107.
  // A native is made with its own spec, not the (here empty) one written.
  for (int id : {1, 107}) {
    Cell* out = decoded(plain_stream(bytes_of({0x15, id, 0x05, 0})));
    EXPECT_EQ(type_of(cell_at(out, 0)), TYPE_NATIVE) << id;
    EXPECT_NE(molded(cell_at(out, 0)), "make native! [[]]") << id;
  }
  // Boot mode: a word set to the next record's value (neither stays), and a
  // word bound to the context of root value 0. Codec mode refuses both.
  // Two symbols, qba and qbb; the records size byte is filled in below.
  Bytes boot = cat(bytes_of({'Q', 'E', 'L', 'B', 'I', 'N', 1, 5, 1, 0}),
                   bytes_of({2, 8, 0, 0, 0, 0, 4, 0, 0, 0, 'q', 'b', 'a', 0, 'q', 'b', 'b', 0}));
  Bytes records = bytes_of({0x20, 0, 0x0E, 0x02, 1, 0,   // object [qba: unset]
                            0xC4, 0x0F, 1, 0x85,         // qbb: 5
                            0x4F, 0, 0, 1});             // qba bound to root value 0
  boot[9] = u8(records.size());
  boot = cat(boot, records);
  Cell* out = block_of({});
  qelbin::decode(boot.data(), boot.size(), series_node(out), qelbin::MODE_BOOT);
  ASSERT_EQ(cell_count(out), 2u);
  EXPECT_EQ(type_of(cell_at(out, 0)), TYPE_OBJECT);
  EXPECT_EQ(word::context_of(cell_at(out, 1)), object::context_of(cell_at(out, 0)));
  EXPECT_EQ(molded(word::get_value_cell(load("qbb"))), "5");
  EXPECT_EQ(raised([&] { decoded(boot); }), Err::script_qb_invalid_record);
  // A root count of 0 still yields every record.
  Bytes zero_roots = {'Q', 'E', 'L', 'B', 'I', 'N', 1, 1, 0, 2, 0x81, 0x82};
  EXPECT_EQ(cell_count(decoded(zero_roots)), 2u);
}

}  // namespace

}  // namespace qelbin_test
