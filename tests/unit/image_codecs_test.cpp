// The image codecs through image::decode and image::encode: fixtures written
// by PIL (tests/fixtures/images/make_fixtures.py) decode to the known
// pattern; truncated and corrupt data raise bad-media; our encodings read
// back by PIL (tests/fixtures/images/read_pixels.py) give our pixels.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/image.hpp"
#include "runtime/codecs/checksum.hpp"
#include "platform/image_codecs.hpp"
#include "test_support.hpp"

namespace qel::test {
namespace {

std::string fixture_dir() {
  const char* root = std::getenv("QEL_SOURCE_DIR");
  return std::string(root ? root : "..") + "/tests/fixtures/images/";
}

std::vector<u8> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<u8>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The fixtures' pattern, as stored pixel words.
u32 pattern(u32 x, u32 y, bool with_alpha) {
  u32 a = with_alpha ? 255 - 20 * (x + 4 * y) : 255;
  return a << 24 | (60 * x) << 16 | (80 * y) << 8 | (100 + 10 * x + y);
}
u32 grey(u32 x, u32 y) {
  u32 g = 60 * x + 5 * y;
  return 0xFF000000u | g << 16 | g << 8 | g;
}

int channel_diff(u32 a, u32 b) {
  int worst = 0;
  for (int s = 0; s < 32; s += 8) worst = std::max(worst, std::abs(int(a >> s & 0xFF) - int(b >> s & 0xFF)));
  return worst;
}

class ImageCodecTest : public RuntimeTest {};

TEST_F(ImageCodecTest, FixturesDecodeToThePattern) {
  enum Kind { rgb, rgba, grey_, gif_transparent };
  struct Case {
    const char* file;
    Kind kind;
    int tolerance;
  };
  const Case cases[] = {
      {"rgb.png", rgb, 0},          {"rgba.png", rgba, 0},          {"palette.png", rgb, 0},
      {"grey.png", grey_, 0},       {"grey16.png", grey_, 0},       {"rgb.jpg", rgb, 12},
      {"rgb.tif", rgb, 0},          {"rgba.tif", rgba, 1},          {"rgb24.bmp", rgb, 0},
      {"rgba32.bmp", rgba, 0},      {"rgba32-topdown.bmp", rgba, 0}, {"transparent.gif", gif_transparent, 0},
      {"animated.gif", rgb, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::vector<u8> bytes = read_file(fixture_dir() + c.file);
    ASSERT_FALSE(bytes.empty());
    Cell* img = image::decode(binary_of(bytes));
    ASSERT_EQ(type_of(img), TYPE_IMAGE);
    ASSERT_EQ(image::width(img), 4u);
    ASSERT_EQ(image::height(img), 3u);
    for (u32 y = 0; y < 3; ++y) {
      for (u32 x = 0; x < 4; ++x) {
        u32 want = c.kind == grey_ ? grey(x, y) : pattern(x, y, c.kind == rgba);
        if (c.kind == gif_transparent && x == 0 && y == 0) want = 0;
        u32 got = image::pixels(image::record(img))[y * 4 + x];
        EXPECT_LE(channel_diff(got, want), c.tolerance) << x << "," << y << std::hex << " got " << got
                                                        << " want " << want;
      }
    }
  }
}

TEST_F(ImageCodecTest, InterlacedGifRowsComeInOrder) {
  Cell* img = image::decode(binary_of(read_file(fixture_dir() + "interlaced.gif")));
  ASSERT_EQ(type_of(img), TYPE_IMAGE);
  ASSERT_EQ(image::width(img), 16u);
  ASSERT_EQ(image::height(img), 16u);
  for (u32 y = 0; y < 16; ++y) {
    for (u32 x = 0; x < 16; ++x) {
      u32 want = 0xFF000000u | (16 * x) << 16 | (16 * y) << 8 | 7;
      EXPECT_EQ(image::pixels(image::record(img))[y * 16 + x], want) << x << "," << y;
    }
  }
}

TEST_F(ImageCodecTest, TruncatedAndCorruptDataRaiseBadMedia) {
  for (const char* file : {"rgb.png", "rgb.jpg", "rgb.tif", "rgb24.bmp", "transparent.gif", "rgba32.bmp"}) {
    SCOPED_TRACE(file);
    std::vector<u8> bytes = read_file(fixture_dir() + file);
    std::vector<u8> cut(bytes.begin(), bytes.begin() + std::ptrdiff_t(bytes.size() * 2 / 3));
    EXPECT_EQ(raised([&] { image::decode(binary_of(cut)); }), Err::access_bad_media);
    std::vector<u8> header_only(bytes.begin(), bytes.begin() + 8);
    EXPECT_EQ(raised([&] { image::decode(binary_of(header_only)); }), Err::access_bad_media);
  }
  // A damaged PNG chunk (its CRC no longer matches).
  std::vector<u8> png = read_file(fixture_dir() + "rgb.png");
  png[40] ^= 0x55;
  EXPECT_EQ(raised([&] { image::decode(binary_of(png)); }), Err::access_bad_media);
  // Not an image format at all: none.
  EXPECT_EQ(molded(image::decode(binary_of({1, 2, 3, 4}))), "none");
  EXPECT_EQ(molded(image::decode(binary_of({}))), "none");
}

// The size a decoder asked memory for, or 0x0 when it asked none; it is
// given none.
std::uint32_t* refuse_pixels(void* context, std::uint32_t w, std::uint32_t h) noexcept {
  *static_cast<std::pair<u32, u32>*>(context) = {w, h};
  return nullptr;
}
std::pair<u32, u32> size_asked(const std::vector<u8>& bytes) {
  std::pair<u32, u32> asked{0, 0};
  u32 w, h;
  platform::imaging::decode_into(bytes.data(), bytes.size(), refuse_pixels, &asked, &w, &h);
  return asked;
}

void put_be(std::vector<u8>& b, std::size_t at, u32 v, int bytes) {
  for (int i = 0; i < bytes; ++i) b[at + std::size_t(i)] = u8(v >> (8 * (bytes - 1 - i)));
}

// Decompression bombs: a header that declares 65535 x 8000 pixels (a GIF
// screen of 65535 x 8191 around a small frame) over the few bytes of a small
// image is refused before any memory is asked for, since no coding of those
// bytes could fill it; the small image itself is decoded.
TEST_F(ImageCodecTest, DeclaredSizesTheDataCannotFillAreRefusedBeforeAllocating) {
  std::vector<u8> png = read_file(fixture_dir() + "rgb.png");
  std::vector<u8> jpg = read_file(fixture_dir() + "rgb.jpg");
  std::vector<u8> gif = read_file(fixture_dir() + "transparent.gif");
  std::vector<u8> tif = read_file(fixture_dir() + "rgb.tif");
  for (auto* b : {&png, &jpg, &gif, &tif}) EXPECT_NE(size_asked(*b).first, 0u);
  // PNG: IHDR's width and height, and its CRC again.
  put_be(png, 16, 65535, 4);
  put_be(png, 20, 8000, 4);
  put_be(png, 29, codecs::checksum::crc32(png.data() + 12, 17), 4);
  // JPEG: the height and width of the start-of-frame segment.
  for (std::size_t i = 2; i + 9 < jpg.size(); ++i) {
    if (jpg[i] == 0xFF && (jpg[i + 1] == 0xC0 || jpg[i + 1] == 0xC2)) {
      put_be(jpg, i + 5, 8000, 2);
      put_be(jpg, i + 7, 65535, 2);
      break;
    }
  }
  // GIF: the logical screen (little-endian).
  gif[6] = gif[7] = 0xFF;
  gif[8] = 0xFF;
  gif[9] = 0x1F;
  // TIFF (little-endian): the ImageWidth and ImageLength entries of the
  // first directory.
  ASSERT_EQ(tif[0], 'I');
  u32 ifd = u32(tif[4]) | u32(tif[5]) << 8 | u32(tif[6]) << 16 | u32(tif[7]) << 24;
  u32 entries = u32(tif[ifd]) | u32(tif[ifd + 1]) << 8;
  for (u32 e = 0; e < entries; ++e) {
    std::size_t at = ifd + 2 + e * 12;
    u32 tag = u32(tif[at]) | u32(tif[at + 1]) << 8;
    u32 value = tag == 256 ? 65535 : tag == 257 ? 8000 : 0;
    if (value) {
      tif[at + 8] = u8(value);
      tif[at + 9] = u8(value >> 8);
    }
  }
  for (auto* b : {&png, &jpg, &gif, &tif}) {
    EXPECT_EQ(size_asked(*b), (std::pair<u32, u32>{0, 0}));
    EXPECT_EQ(raised([&] { image::decode(binary_of(*b)); }), Err::access_bad_media);
  }
}

// PIL's reading of a file: "W H" and RRGGBBAA words; empty when PIL is missing.
std::string read_with_pil(const std::vector<u8>& bytes, const char* suffix) {
  char name[] = "/tmp/qel-image-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) return "";
  std::string path = std::string(name) + suffix;
  close(fd);
  std::rename(name, path.c_str());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  std::string cmd = "/usr/bin/python3 " + fixture_dir() + "read_pixels.py " + path + " 2>/dev/null";
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (pclose(p) != 0) out.clear();
  }
  std::remove(path.c_str());
  return out;
}

TEST_F(ImageCodecTest, OurEncodingsReadBackByPil) {
  if (read_with_pil(read_file(fixture_dir() + "rgb.png"), ".png").empty()) GTEST_SKIP() << "python3-pil missing";
  struct Case {
    int format;
    const char* suffix;
    bool alpha;  // the format keeps partial transparency
    int tolerance;
  };
  // JPEG is lossy: PIL's pixels are compared with what our decoder reads
  // from the same bytes (both over libjpeg: they agree within rounding).
  const Case cases[] = {{0, ".bmp", true, 0}, {1, ".png", true, 0}, {2, ".gif", false, 0},
                        {3, ".jpg", false, 3}, {4, ".tif", true, 0}};
  std::vector<u32> px;
  for (u32 y = 0; y < 3; ++y)
    for (u32 x = 0; x < 4; ++x) px.push_back(pattern(x, y, true));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.suffix);
    std::vector<u32> source = px;
    if (!c.alpha) {
      for (u32& p : source) p |= 0xFF000000u;
    }
    Cell* img = image::push_from_pixels(4, 3, source.data());
    Cell* bin = image::encode(img, c.format);
    std::vector<u8> bytes = binary::bytes_from_index(bin);
    Cell* back = image::decode(bin);
    ASSERT_EQ(type_of(back), TYPE_IMAGE);
    ASSERT_EQ(image::width(back), 4u);
    std::vector<u32> want = source;
    if (c.format == 3) want.assign(image::pixels(image::record(back)), image::pixels(image::record(back)) + 12);
    std::istringstream in(read_with_pil(bytes, c.suffix));
    u32 w = 0, h = 0;
    in >> w >> h;
    ASSERT_EQ(w, 4u);
    ASSERT_EQ(h, 3u);
    for (u32 i = 0; i < 12; ++i) {
      std::string word;
      in >> word;
      u32 rgba = u32(std::stoul(word, nullptr, 16));
      u32 got = (rgba & 0xFF) << 24 | rgba >> 8;
      EXPECT_LE(channel_diff(got, want[i]), c.tolerance) << i << std::hex << " got " << got;
    }
  }
}

TEST_F(ImageCodecTest, EncodingFailuresRaiseBadMedia) {
  Cell* empty = image::push_from_pixels(0, 0, nullptr);
  EXPECT_EQ(raised([&] { image::encode(empty, 1); }), Err::access_bad_media);
  u32 one = 0xFF102030u;
  Cell* img = image::push_from_pixels(1, 1, &one);
  EXPECT_EQ(raised([&] { image::encode(img, 5); }), Err::access_bad_media);
  EXPECT_EQ(raised([&] { image::encode(img, -1); }), Err::access_bad_media);
}

}  // namespace
}  // namespace qel::test
