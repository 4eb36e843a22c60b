// The LZ stream of the boot data: round trips, the exact codes, and damaged
// streams (which must be refused, never read past their end).
#include <gtest/gtest.h>

#include <random>

#include "runtime/codecs/lz.hpp"

namespace qel {
namespace {

std::vector<u8> header(u32 blocks, u32 total) {
  std::vector<u8> s;
  for (u32 v : {blocks, total})
    for (int i = 0; i < 4; ++i) s.push_back(u8(v >> (8 * i)));
  return s;
}

// A stream of one block from its bit string (in stream order).
std::vector<u8> one_block(u32 length, const std::string& bits) {
  std::vector<u8> body;
  for (int i = 0; i < 4; ++i) body.push_back(u8(length >> (8 * i)));
  u32 acc = 0, n = 0;
  for (char b : bits) {
    if (b == ' ') continue;
    acc |= u32(b == '1') << n;
    if (++n == 8) body.push_back(u8(acc)), acc = n = 0;
  }
  if (n) body.push_back(u8(acc));
  std::vector<u8> s = header(u32(body.size()), length);
  s.insert(s.end(), body.begin(), body.end());
  return s;
}

// Bits of v, n of them, lowest first (the stream order of a field).
std::string field(u32 v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += (v >> i) & 1 ? '1' : '0';
  return s;
}

TEST(Lz, RoundTrips) {
  std::mt19937 rng(7);
  std::vector<std::vector<u8>> inputs;
  std::vector<u8> text;
  for (int i = 0; i < 20000; ++i) text.push_back(u8("Qel boot data; the library "[i % 27]));
  inputs.push_back(text);
  std::vector<u8> noise(3000);
  for (u8& b : noise) b = u8(rng());
  noise.insert(noise.end(), noise.begin(), noise.end());  // a repeat 3000 back
  inputs.push_back(noise);
  std::vector<u8> big(0x100000 + 5000);  // two blocks
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = u8((i * i) >> 7);
  inputs.push_back(big);
  std::vector<u8> zeros(200000, 0);
  inputs.push_back(zeros);
  for (const auto& in : inputs) {
    auto packed = codecs::lz::compress_payload(in.data(), in.size());
    ASSERT_TRUE(packed);
    EXPECT_LT(packed->size(), in.size());
    auto back = codecs::lz::decompress_payload(packed->data(), packed->size());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, in);
  }
}

TEST(Lz, RefusesWhatDoesNotPay) {
  std::vector<u8> small(127, 'a');
  EXPECT_FALSE(codecs::lz::compress_payload(small.data(), small.size()));  // shorter than 128
  std::mt19937 rng(3);
  std::vector<u8> noise(4096);
  for (u8& b : noise) b = u8(rng());
  EXPECT_FALSE(codecs::lz::compress_payload(noise.data(), noise.size()));  // would not shrink
}

TEST(Lz, DecodesTheCodes) {
  // An empty stream.
  auto empty = header(0, 0);
  ASSERT_TRUE(codecs::lz::decompress_payload(empty.data(), empty.size()));
  EXPECT_TRUE(codecs::lz::decompress_payload(empty.data(), empty.size())->empty());
  // Literal 'x', then a match of length 10 (n = 7: prefix 01, v = 3) at
  // distance 1 (k = 0, three bits 0): eleven 'x'.
  std::string bits = "0" + field('x', 8) + "1" + "01" + field(3, 2) + field(0, 4) + field(0, 3);
  auto s = one_block(11, bits);
  auto out = codecs::lz::decompress_payload(s.data(), s.size());
  ASSERT_TRUE(out);
  EXPECT_EQ(std::string(out->begin(), out->end()), std::string(11, 'x'));
  // The longest length code (prefix 00000, 9 bits) and a far distance field.
  std::string lit;
  for (int i = 0; i < 9; ++i) lit += "0" + field('a' + i, 8);
  // Distance 9: d - 1 = 8 = 2^3 + 0, so k = 1 and 3 bits 0; length 3.
  auto s2 = one_block(12, lit + "1" + "1" + field(0, 2) + field(1, 4) + field(0, 3));
  auto out2 = codecs::lz::decompress_payload(s2.data(), s2.size());
  ASSERT_TRUE(out2);
  EXPECT_EQ(std::string(out2->begin(), out2->end()), "abcdefghiabc");
}

TEST(Lz, RefusesDamage) {
  std::string lit = "0" + field('x', 8);
  struct Case {
    const char* what;
    std::vector<u8> stream;
  };
  std::vector<Case> cases = {
      {"short header", {1, 0, 0}},
      {"block count past the data", [] { auto s = header(100, 4); s.push_back(4); return s; }()},
      {"zero block length", one_block(0, "")},
      {"block length over 1 MiB", one_block(0x100001, lit)},
      {"match before the block", one_block(4, lit + "1" + "1" + "00" + field(0, 4) + field(1, 3))},
      {"match past the block", one_block(2, lit + "1" + "1" + "00" + field(0, 4) + field(0, 3))},
      {"bit stream runs out", one_block(5, lit)},
  };
  // Output past U: a block longer than the announced total.
  auto past = one_block(1, lit);
  past[4] = 0;  // U = 0
  cases.push_back({"output past U", past});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(codecs::lz::decompress_payload(c.stream.data(), c.stream.size()));
  }
  // Every truncation of a valid stream is refused.
  std::vector<u8> text(5000);
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = u8("abcabdabe"[i % 9] + i / 500);
  auto packed = codecs::lz::compress_payload(text.data(), text.size());
  ASSERT_TRUE(packed);
  for (std::size_t n = 0; n < packed->size(); ++n)
    EXPECT_FALSE(codecs::lz::decompress_payload(packed->data(), n)) << n;
}

TEST(Lz, MatchesStayInTheirBlock) {
  // Two blocks: the second opens with a match reaching into the first.
  std::vector<u8> s = header(0, 2);
  std::vector<u8> b1 = one_block(1, "0" + field('x', 8));
  std::vector<u8> b2 = one_block(3, "1" + std::string("1") + "00" + field(0, 4) + field(0, 3));
  s.insert(s.end(), b1.begin() + 8, b1.end());
  s.insert(s.end(), b2.begin() + 8, b2.end());
  u32 c = u32(s.size() - 8);
  for (int i = 0; i < 4; ++i) s[i] = u8(c >> (8 * i));
  s[4] = 4;
  EXPECT_FALSE(codecs::lz::decompress_payload(s.data(), s.size()));
}

}  // namespace
}  // namespace qel
