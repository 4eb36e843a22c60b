// Image codecs: decoding and encoding a 4000x3000 image as PNG and JPEG
// through Qel (the decode and encode routines of system/codecs, called the way
// the interpreter calls them) next to libpng and libjpeg-turbo called
// directly with the same settings, in the same run; and the quad
// rasteriser's throughput (items per second = destination pixels).
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <jpeglib.h>
#include <png.h>

#include "bench_main.hpp"
#include "datatypes/binary.hpp"
#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "datatypes/image.hpp"
#include "datatypes/image_geometry.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "console/boot/boot.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"

using namespace qel;

namespace {

constexpr u32 W = 4000, H = 3000;

// A photograph-like test card: smooth gradients with a little noise, opaque.
const std::vector<u32>& card() {
  static std::vector<u32> px = [] {
    std::vector<u32> v(std::size_t(W) * H);
    std::mt19937 rng(7);
    for (u32 y = 0; y < H; ++y) {
      for (u32 x = 0; x < W; ++x) {
        u32 n = rng() & 7;
        u32 r = (x * 255 / W + n) & 0xFF, g = (y * 255 / H + n) & 0xFF, b = ((x + y) / 28 + n) & 0xFF;
        v[std::size_t(y) * W + x] = 0xFF000000u | r << 16 | g << 8 | b;
      }
    }
    return v;
  }();
  return px;
}

// ---- the libraries called directly ------------------------------------------------------

void png_sink(png_structp png, png_bytep data, png_size_t n) {
  auto* out = static_cast<std::vector<u8>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}
void png_noflush(png_structp) {}

bool direct_png_encode(const u32* px, std::vector<u8>& out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, &out, png_sink, png_noflush);
  png_set_IHDR(png, info, W, H, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_set_bgr(png);
  png_set_filler(png, 0, PNG_FILLER_AFTER);
  for (u32 y = 0; y < H; ++y) png_write_row(png, reinterpret_cast<png_const_bytep>(px + std::size_t(y) * W));
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

struct Source {
  const u8* p;
  std::size_t n, at;
};
void png_source(png_structp png, png_bytep out, png_size_t n) {
  auto* s = static_cast<Source*>(png_get_io_ptr(png));
  if (n > s->n - s->at) png_error(png, "short");
  std::memcpy(out, s->p + s->at, n);
  s->at += n;
}

bool direct_png_decode(const std::vector<u8>& in, std::vector<u32>& px) {
  Source src{in.data(), in.size(), 0};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_read_fn(png, &src, png_source);
  png_read_info(png, info);
  png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
  png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  png_set_bgr(png);
  png_read_update_info(png, info);
  px.resize(std::size_t(w) * h);
  for (png_uint_32 y = 0; y < h; ++y) png_read_row(png, reinterpret_cast<png_bytep>(px.data() + std::size_t(y) * w), nullptr);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

std::vector<u8> direct_jpeg_encode(const u32* px) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = W;
  c.image_height = H;
  c.input_components = 4;
  c.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 90, TRUE);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < H) {
    JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<u32*>(px + std::size_t(c.next_scanline) * W));
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<u8> v(out, out + size);
  std::free(out);
  return v;
}

void direct_jpeg_decode(const std::vector<u8>& in, std::vector<u32>& px) {
  jpeg_decompress_struct d;
  jpeg_error_mgr err;
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, in.data(), in.size());
  jpeg_read_header(&d, TRUE);
  d.out_color_space = JCS_EXT_BGRA;
  jpeg_start_decompress(&d);
  px.resize(std::size_t(d.output_width) * d.output_height);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = reinterpret_cast<JSAMPROW>(px.data() + std::size_t(d.output_scanline) * d.output_width);
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
}

// ---- through Qel -------------------------------------------------------------------------

// The routine system/codecs/<key>/<field>, fetched once start-up has run.
Cell routine_of(const char* key, const char* field) {
  static bool booted = [] {
    console::boot::run();
    return true;
  }();
  (void)booted;
  Cell* sys = word::get_value_cell(intern_word("system"));
  auto slot = [](const Cell* obj, const char* name) {
    return context::slot(object::context_of(obj), u32(context::find_word(object::context_of(obj), symbol::make(name), true)));
  };
  Cell codecs = *slot(sys, "codecs");
  mem::Buffer* b = mem::buffer_of(series_node(&codecs));
  for (u32 i = 0; i + 1 < b->used() / sizeof(Cell); i += 2) {
    if (symbol::name(word::symbol_of(&b->cells()[i])) == key) return *slot(&b->cells()[i + 1], field);
  }
  std::abort();
}

// Encodes the card through the named codec's encode routine.
void encode_qel(benchmark::State& state, const char* codec) {
  Cell enc = routine_of(codec, "encode");
  Cell* img = image::push_from_pixels(W, H, card().data());
  Cell* out = stack::push();
  for (auto _ : state) {
    Cell args[2] = {*img, {}};
    make_none(&args[1]);
    api::invoke(&enc, args, 2, out);
    benchmark::DoNotOptimize(series_node(out));
  }
  stack::pop(2);
}

void BM_PngEncodeQel(benchmark::State& state) { encode_qel(state, "png"); }

void BM_PngEncodeDirect(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<u8> out;
    direct_png_encode(card().data(), out);
    benchmark::DoNotOptimize(out.data());
  }
}

const std::vector<u8>& png_file() {
  static std::vector<u8> f = [] {
    std::vector<u8> out;
    direct_png_encode(card().data(), out);
    return out;
  }();
  return f;
}
const std::vector<u8>& jpeg_file() {
  static std::vector<u8> f = direct_jpeg_encode(card().data());
  return f;
}

void decode_qel(benchmark::State& state, const std::vector<u8>& file) {
  Cell dec = routine_of("png", "decode");
  Cell* bin = binary::load(file);
  Cell* out = stack::push();
  for (auto _ : state) {
    api::invoke(&dec, bin, 1, out);
    benchmark::DoNotOptimize(series_node(out));
  }
  stack::pop(2);
}

void BM_PngDecodeQel(benchmark::State& state) { decode_qel(state, png_file()); }
// The direct decoders make a new pixel buffer each time, as a decoder that
// answers a new image does.
void BM_PngDecodeDirect(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<u32> px;
    direct_png_decode(png_file(), px);
    benchmark::DoNotOptimize(px.data());
  }
}

void BM_JpegEncodeQel(benchmark::State& state) { encode_qel(state, "jpeg"); }
void BM_JpegEncodeDirect(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(direct_jpeg_encode(card().data()).data());
}
void BM_JpegDecodeQel(benchmark::State& state) { decode_qel(state, jpeg_file()); }
void BM_JpegDecodeDirect(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<u32> px;
    direct_jpeg_decode(jpeg_file(), px);
    benchmark::DoNotOptimize(px.data());
  }
}

// A 512x512 source on a quad rotated by 30 degrees and scaled by 2: about
// 1.3 million destination pixels a run.
void BM_QuadRasterise(benchmark::State& state) {
  std::vector<u32> src(512 * 512);
  for (std::size_t i = 0; i < src.size(); ++i) src[i] = 0xFF000000u | u32(i * 2654435761u >> 8);
  quad::Quad q{{300, 1187, 675, -212}, {0, 512, 1399, 887}};
  std::size_t pixels = 0;
  for (auto _ : state) {
    auto r = quad::rasterize(src.data(), 512, 512, q);
    pixels += r->pixels.size();
    benchmark::DoNotOptimize(r->pixels.data());
  }
  state.SetItemsProcessed(std::int64_t(pixels));
}

}  // namespace

BENCHMARK(BM_PngDecodeQel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngDecodeDirect)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngEncodeQel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngEncodeDirect)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegDecodeQel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegDecodeDirect)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegEncodeQel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegEncodeDirect)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuadRasterise)->Unit(benchmark::kMillisecond);

QEL_BENCHMARK_MAIN();
