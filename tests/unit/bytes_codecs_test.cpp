// The byte codecs on plain memory: checksums and HMAC against their RFC
// vectors, base-2/16/58/64, and deflate with its framings (fixtures made by
// Python's zlib, exact bytes of the fixed-code compressor, interop with the
// system's gzip and Python, and the malformed streams the inflater rejects).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "runtime/codecs/checksum.hpp"
#include "runtime/codecs/base.hpp"
#include "runtime/codecs/deflate.hpp"
#include "runtime/error.hpp"

namespace qel {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<u8>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string hex(const Bytes& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (u8 c : b) {
    s += d[c >> 4];
    s += d[c & 15];
  }
  return s;
}

Bytes unhex(const std::string& h) {
  Bytes b;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2) b.push_back(u8(std::stoi(h.substr(i, 2), nullptr, 16)));
  return b;
}

Bytes read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

fs::path fixtures() {
  const char* root = std::getenv("QEL_SOURCE_DIR");
  return fs::path(root ? root : ".") / "tests" / "fixtures" / "deflate";
}

// ---- checksums ---------------------------------------------------------------------------

TEST(Checksums, CrcAdlerAndInternetChecksumVectors) {
  Bytes abc = bytes_of("abc");
  EXPECT_EQ(codecs::checksum::crc32(abc.data(), abc.size()), 0x352441C2u);
  EXPECT_EQ(codecs::checksum::crc32(nullptr, 0), 0u);
  Bytes digits = bytes_of("123456789");
  EXPECT_EQ(codecs::checksum::crc32(digits.data(), digits.size()), 0xCBF43926u);
  EXPECT_EQ(codecs::checksum::adler32(abc.data(), abc.size()), 0x024D0127u);
  EXPECT_EQ(codecs::checksum::adler32(nullptr, 0), 1u);
  Bytes wiki = bytes_of("Wikipedia");
  EXPECT_EQ(codecs::checksum::adler32(wiki.data(), wiki.size()), 0x11E60398u);
  // Long input: every block size and the 16-byte steps of both (values from zlib).
  Bytes big(100000);
  for (u32 i = 0; i < big.size(); ++i) big[i] = u8(i * i + 7 * i);
  EXPECT_EQ(codecs::checksum::crc32(big.data(), big.size()), 0x6B6DE2DEu);
  EXPECT_EQ(codecs::checksum::adler32(big.data(), big.size()), 0x4E65D490u);
  // A CRC continued over pieces equals the CRC of the whole.
  u32 crc = codecs::checksum::crc32(big.data(), 333);
  EXPECT_EQ(codecs::checksum::crc32(big.data() + 333, big.size() - 333, crc), 0x6B6DE2DEu);
  // RFC 1071's example words, an odd final byte, empty input.
  Bytes words = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
  EXPECT_EQ(codecs::checksum::tcp(words.data(), words.size()), 0x220D);
  Bytes one = {0x01};
  EXPECT_EQ(codecs::checksum::tcp(one.data(), 1), 0xFEFF);
  EXPECT_EQ(codecs::checksum::tcp(nullptr, 0), 0xFFFF);
}

// The boot image's check: CRC-32C in four lanes, with the processor's
// instruction or without it, alike; a change of any one byte changes it.
TEST(Checksums, LanesOfCrc32c) {
  std::string digits = "123456789";
  const u8* d = reinterpret_cast<const u8*>(digits.data());
  // Short data goes to the first lane alone: the plain CRC-32C update,
  // started from ~0 (0xE3069283 with the final inversion).
  EXPECT_EQ(codecs::checksum::lanes_crc32c(d, 9, 0xFFFFFFFF00000000ull) >> 32, 0x1CF96D7Cu);
  EXPECT_EQ(codecs::checksum::lanes_crc32c_portable(d, 9, 0xFFFFFFFF00000000ull) >> 32, 0x1CF96D7Cu);
  std::vector<u8> big(100003);
  u32 x = 12345;
  for (u8& b : big) b = u8((x = x * 1103515245 + 12345) >> 16);
  const u64 whole = codecs::checksum::lanes_crc32c(big.data(), big.size());
  EXPECT_EQ(codecs::checksum::lanes_crc32c_portable(big.data(), big.size()), whole);
  EXPECT_NE(codecs::checksum::lanes_crc32c(big.data(), big.size(), 1), whole);
  for (std::size_t at : {std::size_t(0), std::size_t(8), std::size_t(17), std::size_t(50000), big.size() - 1}) {
    big[at] ^= 0x10;
    EXPECT_NE(codecs::checksum::lanes_crc32c(big.data(), big.size()), whole) << at;
    big[at] ^= 0x10;
  }
}

TEST(Checksums, DigestsAndHmacMatchTheirRfcVectors) {
  struct Case {
    int code;
    std::string data;
    std::string key;  // empty: a plain digest
    std::string expected;
  };
  std::string k20(20, '\x0b'), k16(16, '\x0b'), k131(131, '\xaa');
  std::string k65;
  for (int i = 0; i < 65; ++i) k65 += char(i);
  const Case cases[] = {
      {codecs::checksum::MD5, "", "", "d41d8cd98f00b204e9800998ecf8427e"},
      {codecs::checksum::MD5, "message digest", "", "f96b697d7cb7938d525a2f31aaf161d0"},
      {codecs::checksum::SHA1, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {codecs::checksum::SHA256, "abc", "", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {codecs::checksum::SHA384, "abc", "",
       "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
      {codecs::checksum::SHA512, "abc", "",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
       "454d4423643ce80e2a9ac94fa54ca49f"},
      // RFC 2202 and RFC 4231
      {codecs::checksum::MD5, "Hi There", k16, "9294727a3638bb1c13f48ef8158bfc9d"},
      {codecs::checksum::SHA1, "what do ya want for nothing?", "Jefe", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {codecs::checksum::SHA256, "Hi There", k20, "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {codecs::checksum::SHA384, "what do ya want for nothing?", "Jefe",
       "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649"},
      {codecs::checksum::SHA512, "Hi There", k20,
       "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4"
       "be9d914eeb61f1702e696c203a126854"},
      {codecs::checksum::SHA256, "Test Using Larger Than Block-Size Key - Hash Key First", k131,
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      // A 65-byte key is hashed first under SHA-1 (block 64), used as it is
      // under SHA-512 (block 128).
      {codecs::checksum::SHA1, "data", k65, "fa723998e03c604dfad86f9f16b5b919b965829c"},
      {codecs::checksum::SHA512, "data", k65,
       "9141cc130eac28da43944e2bcd83d1b87fc6ba89d3a950a14ae67575f6cd5de3d19373af31e2b2faa1224c37e1af1285"
       "6d066f0dc4b9558f63ac86abe7cd776c"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data);
    Bytes d = bytes_of(c.data), k = bytes_of(c.key);
    Bytes r = c.key.empty() ? codecs::checksum::digest(d.data(), d.size(), c.code)
                            : codecs::checksum::hmac(d.data(), d.size(), k.data(), k.size(), c.code);
    EXPECT_EQ(hex(r), c.expected);
    EXPECT_EQ(r.size(), codecs::checksum::digest_size(c.code));
  }
}

// ---- base codecs ---------------------------------------------------------------------------

std::optional<Bytes> decode(int base, const std::string& text) {
  return codecs::base::decode(base, reinterpret_cast<const u8*>(text.data()), 1, u32(text.size()));
}

TEST(BaseCodecs, DecodeTable) {
  struct Case {
    int base;
    std::string text;
    std::optional<std::string> hex;  // nullopt: the text must not decode
  };
  const Case cases[] = {
      {2, "01000001", "41"},
      {2, "0100 0001\n11111111", "41ff"},
      {2, "0100000", std::nullopt},   // 7 digits
      {2, "01000002", std::nullopt},
      {16, "41 ; a comment\n42", "4142"},
      {16, "aBcD", "abcd"},
      {16, "", ""},
      {16, "4g", std::nullopt},
      {16, "414", std::nullopt},       // an odd trailing digit is no byte
      {16, "41 ; comment to the end", "41"},
      {58, "112", "000001"},
      {58, "", ""},
      {58, "0", std::nullopt},         // not in the alphabet
      {58, "2NEpo7TZRRrLZSi2U", "48656c6c6f20576f726c6421"},
      {64, "aGVsbG8=", "68656c6c6f"},
      {64, "aGVs\n bG8=", "68656c6c6f"},
      {64, "aGVsbG8", "68656c6c6f"},   // no padding: every byte decodes
      {64, "aGVsbA", "68656c6c"},
      {64, "aGVsb", std::nullopt},     // a lone digit holds no byte
      {64, "aGV*bG8=", std::nullopt},
      {64, "a=GV", std::nullopt},      // "=" after one digit
      {64, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.base) + " " + c.text);
    auto r = decode(c.base, c.text);
    ASSERT_EQ(r.has_value(), c.hex.has_value());
    if (r) {
      EXPECT_EQ(hex(*r), *c.hex);
    }
  }
}

TEST(BaseCodecs, NonAsciiIsNeverADigit) {
  // U+0141 is 0x41 modulo 256 and 'A' + 256: it must not pass for "A" in hex.
  std::vector<u8> units = {0x41, 0x00, 0x41, 0x01};  // "A" then U+0141, 2-byte units
  EXPECT_FALSE(codecs::base::decode(16, units.data(), 2, 2).has_value());
  std::vector<u8> u4 = {0x41, 0, 0, 0, 0x42, 0, 0, 0};  // "AB" in 4-byte units
  EXPECT_EQ(hex(*codecs::base::decode(16, u4.data(), 4, 2)), "ab");
  std::vector<u8> latin = {0xC1, 0x41};  // a Latin-1 letter then "A"
  for (int b : {2, 16, 58, 64}) EXPECT_FALSE(codecs::base::decode(b, latin.data(), 1, 2).has_value()) << b;
}

TEST(BaseCodecs, RoundTripsOfEveryBase) {
  std::mt19937 rng(7);
  for (std::size_t n : {0, 1, 2, 3, 4, 5, 31, 64, 257}) {
    Bytes data(n);
    for (auto& b : data) b = u8(rng());
    if (n > 3) data[0] = data[1] = 0;  // leading zeros matter to base 58
    std::string texts[] = {codecs::base::encode_2(data.data(), n), codecs::base::encode_16(data.data(), n),
                           codecs::base::encode_58(data.data(), n), codecs::base::encode_64(data.data(), n)};
    int bases[] = {2, 16, 58, 64};
    for (int i = 0; i < 4; ++i) {
      SCOPED_TRACE(std::to_string(bases[i]) + " n=" + std::to_string(n));
      EXPECT_LE(texts[i].size(), codecs::base::encoded_size(bases[i], n));
      auto back = decode(bases[i], texts[i]);
      ASSERT_TRUE(back.has_value());
      EXPECT_EQ(*back, data);
    }
  }
  EXPECT_EQ(codecs::base::encode_64(reinterpret_cast<const u8*>("hello"), 5), "aGVsbG8=");
  EXPECT_EQ(codecs::base::encode_58(unhex("000001").data(), 3), "112");
}

// ---- deflate: fixtures and exact bytes -------------------------------------------------------

int inflate_with(codecs::deflate::Framing f, const Bytes& in, Bytes& out) {
  return codecs::deflate::decompress_to_vector(f, in.data(), u32(in.size()), out, 0, 1u << 28);
}

TEST(Deflate, InflatesEveryStreamThatZlibWrote) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(fixtures())) {
    fs::path p = entry.path();
    std::string ext = p.extension().string();
    codecs::deflate::Framing f;
    codecs::deflate::Method m;
    if (ext == ".raw") { f = codecs::deflate::Framing::raw; m = codecs::deflate::decompress; }
    else if (ext == ".zlib") { f = codecs::deflate::Framing::zlib; m = codecs::deflate::zlib_decompress; }
    else if (ext == ".gz") { f = codecs::deflate::Framing::gzip; m = codecs::deflate::gzip_decompress; }
    else continue;
    std::string stem = p.stem().string();
    Bytes original = read_file(fixtures() / (stem.substr(0, stem.find('-')) + ".bin"));
    Bytes in = read_file(p);
    SCOPED_TRACE(p.filename().string());
    Bytes out;
    ASSERT_EQ(inflate_with(f, in, out), codecs::deflate::OK);
    EXPECT_EQ(out, original);
    // The method shape: a size query, then an exact buffer.
    u32 size = 0;
    int r = m(nullptr, &size, in.data(), u32(in.size()));
    if (f == codecs::deflate::Framing::gzip || !original.empty()) {
      EXPECT_EQ(r, original.empty() ? codecs::deflate::OK : codecs::deflate::NEEDS_ROOM);
      EXPECT_EQ(size, original.size());
    }
    Bytes exact(original.size() + 1);
    size = u32(original.size());
    ASSERT_EQ(m(exact.data(), &size, in.data(), u32(in.size())), codecs::deflate::OK);
    exact.resize(size);
    EXPECT_EQ(exact, original);
    ++count;
  }
  EXPECT_GE(count, 60);
}

TEST(Deflate, CompressorWritesTheExactFixedCodeBytes) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(fixtures())) {
    if (entry.path().extension() != ".fixed") continue;
    SCOPED_TRACE(entry.path().filename().string());
    Bytes original = read_file(fixtures() / (entry.path().stem().string() + ".bin"));
    Bytes expected = read_file(entry.path());
    EXPECT_EQ(codecs::deflate::compress_to_vector(codecs::deflate::Framing::raw, original.data(), u32(original.size())),
              expected);
    ++count;
  }
  EXPECT_EQ(count, 6);
  // Empty input: the block header and the end code, two bytes; with the
  // framings 8 and 20.
  EXPECT_EQ(hex(codecs::deflate::compress_to_vector(codecs::deflate::Framing::raw, nullptr, 0)), "0300");
  EXPECT_EQ(hex(codecs::deflate::compress_to_vector(codecs::deflate::Framing::zlib, nullptr, 0)), "7801030000000001");
  EXPECT_EQ(codecs::deflate::compress_to_vector(codecs::deflate::Framing::gzip, nullptr, 0).size(), 20u);
}

TEST(Deflate, SmallOutputBuffersAskForRoomInEveryFraming) {
  Bytes original = read_file(fixtures() / "text.bin");
  ASSERT_FALSE(original.empty());
  codecs::deflate::Method compressors[] = {codecs::deflate::compress, codecs::deflate::zlib_compress, codecs::deflate::gzip_compress};
  codecs::deflate::Method inflaters[] = {codecs::deflate::decompress, codecs::deflate::zlib_decompress, codecs::deflate::gzip_decompress};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    u32 need = 0;
    ASSERT_EQ(compressors[i](nullptr, &need, original.data(), u32(original.size())), codecs::deflate::NEEDS_ROOM);
    Bytes small(5);
    u32 size = 5;
    ASSERT_EQ(compressors[i](small.data(), &size, original.data(), u32(original.size())), codecs::deflate::NEEDS_ROOM);
    EXPECT_EQ(size, need);
    Bytes packed(need);
    ASSERT_EQ(compressors[i](packed.data(), &size, original.data(), u32(original.size())), codecs::deflate::OK);
    Bytes half(original.size() / 2);
    size = u32(half.size());
    EXPECT_EQ(inflaters[i](half.data(), &size, packed.data(), u32(packed.size())), codecs::deflate::NEEDS_ROOM);
    EXPECT_EQ(size, original.size());
    // What was stored is the start of the output.
    EXPECT_TRUE(std::equal(half.begin(), half.end(), original.begin()));
  }
}

TEST(Deflate, RoundTripsAndGzipCompressionAlwaysCompresses) {
  std::mt19937 rng(3);
  for (std::size_t n : {1, 2, 3, 4, 100, 5000, 70000, 300000}) {
    Bytes data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = (i % 7 < 4) ? u8('a' + rng() % 3) : u8(rng());
    if (n >= 3) data[0] = 0x1F, data[1] = 0x8B, data[2] = 0x08;  // looks like gzip: compressed all the same
    for (auto f : {codecs::deflate::Framing::raw, codecs::deflate::Framing::zlib, codecs::deflate::Framing::gzip}) {
      SCOPED_TRACE(n);
      Bytes packed = codecs::deflate::compress_to_vector(f, data.data(), u32(n));
      ASSERT_FALSE(packed.empty());
      if (f == codecs::deflate::Framing::gzip) {
        EXPECT_NE(packed, data);
      }
      Bytes out;
      ASSERT_EQ(inflate_with(f, packed, out), codecs::deflate::OK);
      EXPECT_EQ(out, data);
    }
  }
}

// ---- deflate: interop with the system's gzip and Python ----------------------------------------

bool have(const char* tool) {
  std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// The system's Python where there is one (as the test scripts take it): a
// python3 first on PATH may be a version manager's shim that takes a second
// to start.
std::string python3() { return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3"; }

TEST(Deflate, OurStreamsDecodeWithGzipAndPythonZlib) {
  if (!have("gzip") || !have(python3().c_str())) GTEST_SKIP() << "gzip or python3 missing";
  fs::path dir = fs::temp_directory_path() / ("qel-deflate-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  int count = 0;
  for (const char* name : {"empty", "one", "text", "noise", "runs", "fox"}) {
    SCOPED_TRACE(name);
    Bytes original = read_file(fixtures() / (std::string(name) + ".bin"));
    write_file(dir / "orig", original);
    auto ours = [&](codecs::deflate::Framing f) {
      return codecs::deflate::compress_to_vector(f, original.data(), u32(original.size()));
    };
    write_file(dir / "ours.gz", ours(codecs::deflate::Framing::gzip));
    write_file(dir / "ours.zlib", ours(codecs::deflate::Framing::zlib));
    write_file(dir / "ours.raw", ours(codecs::deflate::Framing::raw));
    std::string d = dir.string();
    EXPECT_EQ(std::system(("gzip -dc " + d + "/ours.gz | cmp -s - " + d + "/orig").c_str()), 0);
    std::string py = python3() + " -c \"import zlib,sys; d=sys.argv[1]; o=open(d+'/orig','rb').read(); "
                     "assert zlib.decompress(open(d+'/ours.zlib','rb').read()) == o; "
                     "assert zlib.decompress(open(d+'/ours.raw','rb').read(), -15) == o; "
                     "assert zlib.decompress(open(d+'/ours.gz','rb').read(), 31) == o\" " + d;
    EXPECT_EQ(std::system(py.c_str()), 0);
    ++count;
  }
  fs::remove_all(dir);
  EXPECT_EQ(count, 6);
}

// ---- deflate: malformed streams ----------------------------------------------------------------

// Builds a deflate bit stream: values least significant bit first, Huffman
// codes most significant bit first.
struct BitStream {
  Bytes bytes;
  u32 count = 0;
  void bit(u32 b) {
    if (count % 8 == 0) bytes.push_back(0);
    if (b) bytes.back() |= u8(1 << (count % 8));
    ++count;
  }
  BitStream& value(u32 v, u32 n) {
    for (u32 i = 0; i < n; ++i) bit((v >> i) & 1);
    return *this;
  }
  BitStream& code(u32 c, u32 n) {
    for (u32 i = n; i-- > 0;) bit((c >> i) & 1);
    return *this;
  }
};

// A fixed-code block header (final) and literal 'a'.
BitStream fixed_block() {
  BitStream s;
  s.value(1, 1).value(1, 2).code(0x30 + 'a', 8);
  return s;
}

TEST(Deflate, RejectsMalformedStreams) {
  struct Case {
    const char* what;
    Bytes stream;
    int expected;
  };
  std::vector<Case> cases;
  auto add = [&](const char* what, const Bytes& stream, int expected) {
    cases.push_back({what, stream, expected});
  };
  const int BAD = codecs::deflate::BAD_DATA;
  // Fixed codes: 286 and 287 are 8-bit codes C6 and C7; length 3 is 7-bit
  // code 1, followed by a 5-bit distance code.
  add("literal/length symbol 286", fixed_block().code(0xC6, 8).code(0, 7).bytes, BAD);
  add("literal/length symbol 287", fixed_block().code(0xC7, 8).code(0, 7).bytes, BAD);
  add("distance symbol 30", fixed_block().code(1, 7).code(30, 5).code(0, 7).bytes, BAD);
  add("distance symbol 31", fixed_block().code(1, 7).code(31, 5).code(0, 7).bytes, BAD);
  add("distance before the output", fixed_block().code(1, 7).code(1, 5).code(0, 7).bytes,
      codecs::deflate::BAD_DISTANCE);
  add("block type 3", BitStream().value(1, 1).value(3, 2).value(0, 16).bytes, codecs::deflate::BAD_BLOCK_TYPE);
  add("stored NLEN not the complement", {0x01, 0x02, 0x00, 0x00, 0x00, 'a', 'b'}, BAD);
  add("stored block past the input", {0x01, 0x05, 0x00, 0xFA, 0xFF, 'a'}, codecs::deflate::STORED_PAST_INPUT);
  add("no final block", {0x00, 0x01, 0x00, 0xFE, 0xFF, 'a'}, BAD);
  add("empty input", {}, BAD);
  // Dynamic blocks: HLIT 0 (257 codes), HDIST 0 (1 code), HCLEN 0: the
  // lengths of the code-length codes 16, 17, 18 and 0, in that order.
  auto dynamic = [](std::initializer_list<u32> cl_lengths) {
    BitStream s;
    s.value(1, 1).value(2, 2).value(0, 5).value(0, 5).value(0, 4);
    for (u32 l : cl_lengths) s.value(l, 3);
    return s;
  };
  add("over-subscribed code lengths", dynamic({1, 1, 1, 0}).value(0, 16).bytes, BAD);
  add("incomplete code lengths", dynamic({2, 2, 0, 0}).value(0, 16).bytes, BAD);
  // 16 (code 0) and 17 (code 1): a 16 first has nothing to repeat.
  add("repeat before any length", dynamic({1, 1, 0, 0}).code(0, 1).value(0, 2).value(0, 16).bytes, BAD);
  // 17 (code 0) and 18 (code 1): three runs of 138 zeros pass the 258 lengths.
  BitStream past = dynamic({0, 1, 1, 0});
  for (int i = 0; i < 3; ++i) past.code(1, 1).value(127, 7);
  add("repeat past the lengths", past.bytes, BAD);
  // 18 (code 1): 138 then 120 zeros, so no code for end-of-block.
  add("lengths without end-of-block",
      dynamic({0, 0, 1, 1}).code(1, 1).value(127, 7).code(1, 1).value(109, 7).bytes, BAD);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes out;
    EXPECT_EQ(inflate_with(codecs::deflate::Framing::raw, c.stream, out), c.expected);
    u32 size = 0;
    EXPECT_EQ(codecs::deflate::decompress(nullptr, &size, c.stream.data(), u32(c.stream.size())), c.expected);
  }
}

TEST(Deflate, EveryTruncationIsAnError) {
  for (const char* name : {"text-l6.raw", "text-l0.raw", "runs-fixed.zlib", "noise-l9.gz"}) {
    SCOPED_TRACE(name);
    Bytes full = read_file(fixtures() / name);
    std::string ext = fs::path(name).extension().string();
    auto f = ext == ".raw"    ? codecs::deflate::Framing::raw
             : ext == ".zlib" ? codecs::deflate::Framing::zlib
                              : codecs::deflate::Framing::gzip;
    Bytes out;
    ASSERT_EQ(inflate_with(f, full, out), codecs::deflate::OK);
    // Cutting a raw stream anywhere before its last byte loses data; the
    // framings also lose their trailer.
    for (std::size_t n = 0; n + 1 < full.size(); n += (full.size() > 4000 ? 97 : 1)) {
      Bytes cut(full.begin(), full.begin() + std::ptrdiff_t(n));
      EXPECT_NE(inflate_with(f, cut, out), codecs::deflate::OK) << n;
    }
  }
}

TEST(Deflate, ClaimedAndRealSizesNeverDriveTheAllocation) {
  // A 20-byte gzip member of empty input that claims 4 GiB.
  Bytes g = codecs::deflate::compress_to_vector(codecs::deflate::Framing::gzip, nullptr, 0);
  g[16] = g[17] = g[18] = g[19] = 0xFF;
  Bytes out;
  EXPECT_EQ(inflate_with(codecs::deflate::Framing::gzip, g, out), codecs::deflate::BAD_DATA);
  EXPECT_LT(out.capacity(), 1u << 20);
  u32 size = 0;
  EXPECT_EQ(codecs::deflate::gzip_decompress(nullptr, &size, g.data(), u32(g.size())), codecs::deflate::BAD_DATA);
  // Output beyond the cap is a clear failure, whatever /size claims.
  Bytes zeros(100000, 0);
  Bytes packed = codecs::deflate::compress_to_vector(codecs::deflate::Framing::zlib, zeros.data(), u32(zeros.size()));
  EXPECT_EQ(codecs::deflate::decompress_to_vector(codecs::deflate::Framing::zlib, packed.data(), u32(packed.size()), out,
                                          1u << 30, 50000),
            codecs::deflate::TOO_LARGE);
  EXPECT_LE(out.capacity(), 50000u);
}

TEST(Deflate, FramingChecks) {
  Bytes text = read_file(fixtures() / "text.bin");
  Bytes z = codecs::deflate::compress_to_vector(codecs::deflate::Framing::zlib, text.data(), u32(text.size()));
  Bytes g = codecs::deflate::compress_to_vector(codecs::deflate::Framing::gzip, text.data(), u32(text.size()));
  Bytes out;
  Bytes bad = z;
  bad.back() ^= 1;  // Adler-32
  EXPECT_EQ(inflate_with(codecs::deflate::Framing::zlib, bad, out), codecs::deflate::BAD_DATA);
  bad = z;
  bad[1] ^= 1;  // header check
  EXPECT_EQ(inflate_with(codecs::deflate::Framing::zlib, bad, out), codecs::deflate::BAD_DATA);
  bad = g;
  bad[g.size() - 8] ^= 1;  // CRC-32
  EXPECT_EQ(inflate_with(codecs::deflate::Framing::gzip, bad, out), codecs::deflate::BAD_DATA);
  bad = g;
  bad[3] = 8;  // FNAME without a NUL in the data
  std::fill(bad.begin() + 10, bad.end(), 'x');
  EXPECT_EQ(inflate_with(codecs::deflate::Framing::gzip, bad, out), codecs::deflate::BAD_DATA);
  EXPECT_EQ(inflate_with(codecs::deflate::Framing::zlib, Bytes{0x78, 0x01, 3, 0}, out), codecs::deflate::BAD_DATA);
  // Optional gzip fields are skipped: a name and a comment.
  Bytes named(g.begin(), g.begin() + 10);
  named[3] = 8 | 16;
  for (char c : std::string("name")) named.push_back(u8(c));
  named.push_back(0);
  named.push_back('c');
  named.push_back(0);
  named.insert(named.end(), g.begin() + 10, g.end());
  ASSERT_EQ(inflate_with(codecs::deflate::Framing::gzip, named, out), codecs::deflate::OK);
  EXPECT_EQ(out, text);
}

}  // namespace
}  // namespace qel
