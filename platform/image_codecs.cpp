// Image codecs over libpng, libjpeg-turbo, giflib and libtiff, and BMP.
// None of the four libraries is linked: each is opened with dlopen at its
// first image (a script that reads none does not pay for loading them at
// start) and its functions called through a table filled then, all or
// nothing: a missing library fails that format's decoding and encoding.
//
// Jumps: libpng and libjpeg leave a failing call by longjmp to the setjmp of
// the function that made the call. Those functions (png_read, png_write,
// jpeg_read, jpeg_write) hold plain data only: their buffers are malloc'd and
// reachable from a plain struct, freed after the jump. No C++ object lives
// in a frame a jump crosses.
#include "platform/image_codecs.hpp"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include "platform/image_state.hpp"
#include "platform/shared_library.hpp"

namespace qel::platform::imaging {

std::uint64_t pixel_limit = 0x7FFFFFF0 / 4;

Decoded::~Decoded() { std::free(pixels); }

namespace {

using u8 = std::uint8_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

// Pixels and their size, as the decoding functions fill them.
struct Raw {
  u32 width, height;
  u32* pixels;  // malloc'd, or from alloc
  u64 limit;
  PixelAllocator alloc;  // null: malloc
  void* context;
};

// A growing malloc'd byte buffer for the encoders.
struct Sink {
  u8* data;
  std::size_t size, capacity;
  bool failed;
};

void sink_put(Sink* s, const void* bytes, std::size_t n) {
  if (s->failed) return;
  if (s->size + n > s->capacity) {
    std::size_t cap = s->capacity ? s->capacity : 4096;
    while (cap < s->size + n) cap *= 2;
    u8* grown = static_cast<u8*>(std::realloc(s->data, cap));
    if (!grown) {
      s->failed = true;
      return;
    }
    s->data = grown;
    s->capacity = cap;
  }
  std::memcpy(s->data + s->size, bytes, n);
  s->size += n;
}

// The most pixels (or, for PNG, the most filtered bytes) that each format's
// compression can produce from one byte of input at its best: a declared
// size that the bytes present could never fill is refused before anything
// is allocated, so that a small header cannot make the decoder take
// gigabytes. Deflate expands at most 1032 times; LZW codes of 12 bits stand
// for at most 4096 pixels; a Huffman-coded JPEG spends at least one bit on
// each 8x8 block; PackBits turns 2 bytes into at most 128. Arithmetic-coded
// JPEG and the fax codings of TIFF have no such bound worth the name and
// get a generous one.
constexpr u64 DEFLATE_PER_BYTE = 1040;
constexpr u64 LZW_PER_BYTE = 2731;
constexpr u64 JPEG_HUFFMAN_PER_BYTE = 512;
constexpr u64 UNBOUNDED_PER_BYTE = 1u << 20;
constexpr u64 PACKBITS_PER_BYTE = 64;

bool coded_fits(u64 amount, std::size_t length, u64 per_byte) {
  return amount <= (u64(length) + 1) * per_byte;
}

// Allocates the pixel words of a w x h image; false when the size is refused.
bool alloc_pixels(Raw* r, u64 w, u64 h) {
  if (w == 0 || h == 0 || w > 65535 || h > 65535 || w * h > r->limit) return false;
  r->pixels = r->alloc ? r->alloc(r->context, u32(w), u32(h)) : static_cast<u32*>(std::calloc(w * h, 4));
  if (!r->pixels) return false;
  r->width = u32(w);
  r->height = u32(h);
  return true;
}

// ---- The libraries -----------------------------------------------------------------

// Each library's functions are called through a table that its loader fills
// once, on the first image of its format, from any thread; the loader
// answers false when the library or one of the functions is missing.
// DEFINE_LIBRARY(Type, table, load, soname, LIST) defines the table's type,
// the table and its loader, which runs `then` (a statement) once the table
// is complete. Neither goes into the boot image (start-up may decode an
// image): each process opens the library again.
#define QEL_RESOLVE_INTO_TABLE(name) lib.resolve(table_.name, #name);
#define QEL_DEFINE_LIBRARY(Type, table, load, soname, LIST, then) \
  struct Type {                                                  \
    LIST(QEL_LIBRARY_FUNCTION)                                   \
  };                                                             \
  Type table;                                                    \
  QEL_IMAGE_SKIP(table);                                         \
  LoadOnce load##_once;                                          \
  QEL_IMAGE_SKIP(load##_once);                                   \
  bool load() {                                                  \
    return load##_once([] {                                      \
      SharedLibrary lib(soname);                                 \
      Type& table_ = table;                                      \
      LIST(QEL_RESOLVE_INTO_TABLE)                               \
      if (!lib.complete()) return false;                         \
      then;                                                      \
      return true;                                               \
    });                                                          \
  }

#define QEL_PNG_FUNCTIONS(X)                                                                        \
  X(png_get_io_ptr) X(png_error) X(png_longjmp) X(png_create_read_struct) X(png_create_info_struct) \
  X(png_set_longjmp_fn) X(png_destroy_read_struct) X(png_set_read_fn) X(png_read_info)              \
  X(png_get_image_width) X(png_get_image_height) X(png_get_bit_depth) X(png_get_color_type)         \
  X(png_get_channels) X(png_set_strip_16) X(png_set_palette_to_rgb)                                 \
  X(png_set_expand_gray_1_2_4_to_8) X(png_get_valid) X(png_set_tRNS_to_alpha)                       \
  X(png_set_gray_to_rgb) X(png_set_filler) X(png_set_bgr) X(png_set_interlace_handling)             \
  X(png_read_update_info) X(png_get_rowbytes) X(png_read_image) X(png_read_end)                     \
  X(png_create_write_struct) X(png_destroy_write_struct) X(png_set_write_fn) X(png_set_IHDR)        \
  X(png_write_info) X(png_write_row) X(png_write_end)
QEL_DEFINE_LIBRARY(Png, libpng, png_load, "libpng16.so.16", QEL_PNG_FUNCTIONS, (void)0)

#define QEL_JPEG_FUNCTIONS(X)                                                                   \
  X(jpeg_std_error) X(jpeg_destroy_decompress) X(jpeg_CreateDecompress) X(jpeg_mem_src)         \
  X(jpeg_read_header) X(jpeg_start_decompress) X(jpeg_read_scanlines) X(jpeg_finish_decompress) \
  X(jpeg_destroy_compress) X(jpeg_CreateCompress) X(jpeg_mem_dest) X(jpeg_set_defaults)         \
  X(jpeg_set_quality) X(jpeg_start_compress) X(jpeg_write_scanlines) X(jpeg_finish_compress)
QEL_DEFINE_LIBRARY(Jpeg, libjpeg, jpeg_load, "libjpeg.so.62", QEL_JPEG_FUNCTIONS, (void)0)

#define QEL_GIF_FUNCTIONS(X)                                                                      \
  X(DGifGetRecordType) X(DGifGetExtension) X(DGifExtensionToGCB) X(DGifGetExtensionNext)          \
  X(DGifGetImageDesc) X(DGifGetLine) X(DGifOpen) X(DGifCloseFile) X(GifMakeMapObject)             \
  X(GifFreeMapObject) X(EGifOpen) X(EGifSetGifVersion) X(EGifPutScreenDesc) X(EGifGCBToExtension) \
  X(EGifPutExtension) X(EGifPutImageDesc) X(EGifPutLine) X(EGifCloseFile)
QEL_DEFINE_LIBRARY(Gif, giflib, gif_load, "libgif.so.7", QEL_GIF_FUNCTIONS, (void)0)

// libtiff's messages are silenced: a failure answers false.
#define QEL_TIFF_FUNCTIONS(X)                                                   \
  X(TIFFSetErrorHandler) X(TIFFSetWarningHandler) X(TIFFClientOpen) X(TIFFClose) \
  X(TIFFGetField) X(TIFFGetFieldDefaulted) X(TIFFSetField) X(TIFFIsTiled)       \
  X(TIFFScanlineSize) X(TIFFReadScanline) X(TIFFWriteScanline)                  \
  X(TIFFReadRGBAImageOriented) X(TIFFDefaultStripSize) X(TIFFWriteDirectory)
QEL_DEFINE_LIBRARY(Tiff, tiff, tiff_load, "libtiff.so.6", QEL_TIFF_FUNCTIONS,
                   (table_.TIFFSetErrorHandler(nullptr), table_.TIFFSetWarningHandler(nullptr)))

// ---- PNG ----------------------------------------------------------------------------

struct PngSource {
  const u8* bytes;
  std::size_t length, pos;
};

void png_read_bytes(png_structp png, png_bytep out, png_size_t n) {
  auto* src = static_cast<PngSource*>(libpng.png_get_io_ptr(png));
  if (n > src->length - src->pos) libpng.png_error(png, "truncated");
  std::memcpy(out, src->bytes + src->pos, n);
  src->pos += n;
}

void png_quiet(png_structp, png_const_charp) {}

// The jump buffer of a read or write (what png_jmpbuf gives, through the
// table).
std::jmp_buf& png_jump(png_structp png) {
  return *libpng.png_set_longjmp_fn(png, std::longjmp, sizeof(std::jmp_buf));
}

void png_fail(png_structp png, png_const_charp) { libpng.png_longjmp(png, 1); }

bool png_read(const u8* bytes, std::size_t length, Raw* r) {
  if (!png_load()) return false;
  PngSource src{bytes, length, 0};
  png_structp png = libpng.png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, png_fail, png_quiet);
  if (!png) return false;
  png_infop info = libpng.png_create_info_struct(png);
  png_bytep* volatile rows = nullptr;
  if (!info || setjmp(png_jump(png))) {
    std::free(rows);
    libpng.png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    return false;
  }
  libpng.png_set_read_fn(png, &src, png_read_bytes);
  libpng.png_read_info(png, info);
  png_uint_32 w = libpng.png_get_image_width(png, info), h = libpng.png_get_image_height(png, info);
  int depth = libpng.png_get_bit_depth(png, info), type = libpng.png_get_color_type(png, info);
  u64 row_bytes = 1 + (u64(w) * libpng.png_get_channels(png, info) * u64(depth) + 7) / 8;
  if (!coded_fits(row_bytes * h, length, DEFLATE_PER_BYTE)) libpng.png_error(png, "size");
  if (!alloc_pixels(r, w, h)) libpng.png_error(png, "size");
  if (depth == 16) libpng.png_set_strip_16(png);
  if (type == PNG_COLOR_TYPE_PALETTE) libpng.png_set_palette_to_rgb(png);
  if (type == PNG_COLOR_TYPE_GRAY && depth < 8) libpng.png_set_expand_gray_1_2_4_to_8(png);
  if (libpng.png_get_valid(png, info, PNG_INFO_tRNS)) libpng.png_set_tRNS_to_alpha(png);
  if (type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_GRAY_ALPHA) libpng.png_set_gray_to_rgb(png);
  libpng.png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  libpng.png_set_bgr(png);
  libpng.png_set_interlace_handling(png);
  libpng.png_read_update_info(png, info);
  if (libpng.png_get_rowbytes(png, info) != png_size_t(w) * 4) libpng.png_error(png, "layout");
  rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * h));
  if (!rows) libpng.png_error(png, "memory");
  for (png_uint_32 y = 0; y < h; ++y) rows[y] = reinterpret_cast<png_bytep>(r->pixels + u64(y) * w);
  libpng.png_read_image(png, rows);
  libpng.png_read_end(png, nullptr);
  std::free(rows);
  libpng.png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

void png_write_bytes(png_structp png, png_bytep data, png_size_t n) {
  auto* s = static_cast<Sink*>(libpng.png_get_io_ptr(png));
  sink_put(s, data, n);
  if (s->failed) libpng.png_error(png, "memory");
}

void png_no_flush(png_structp) {}

bool png_write(const u32* px, u32 w, u32 h, Sink* s) {
  if (!png_load()) return false;
  png_structp png = libpng.png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_fail, png_quiet);
  if (!png) return false;
  png_infop info = libpng.png_create_info_struct(png);
  if (!info || setjmp(png_jump(png))) {
    libpng.png_destroy_write_struct(&png, info ? &info : nullptr);
    return false;
  }
  libpng.png_set_write_fn(png, s, png_write_bytes, png_no_flush);
  bool opaque = true;
  for (u64 i = 0, n = u64(w) * h; i < n && opaque; ++i) opaque = (px[i] >> 24) == 0xFF;
  libpng.png_set_IHDR(png, info, w, h, 8, opaque ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGB_ALPHA,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  libpng.png_write_info(png, info);
  libpng.png_set_bgr(png);
  if (opaque) libpng.png_set_filler(png, 0, PNG_FILLER_AFTER);  // drops the alpha byte
  for (u32 y = 0; y < h; ++y) {
    libpng.png_write_row(png, reinterpret_cast<png_const_bytep>(px + u64(y) * w));
  }
  libpng.png_write_end(png, info);
  libpng.png_destroy_write_struct(&png, &info);
  return true;
}

// ---- JPEG ---------------------------------------------------------------------------

struct JpegError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

void jpeg_fail(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1); }
// A warning (level -1: corrupt or missing data that libjpeg would paper over
// with grey) fails the decoding as an error does; trace messages are dropped.
void jpeg_warn(j_common_ptr cinfo, int level) {
  if (level < 0) std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}
void jpeg_no_output(j_common_ptr) {}

bool jpeg_read(const u8* bytes, std::size_t length, Raw* r) {
  if (!jpeg_load()) return false;
  jpeg_decompress_struct cinfo;
  JpegError err;
  cinfo.err = libjpeg.jpeg_std_error(&err.mgr);
  err.mgr.error_exit = jpeg_fail;
  err.mgr.emit_message = jpeg_warn;
  err.mgr.output_message = jpeg_no_output;
  if (setjmp(err.jump)) {
    libjpeg.jpeg_destroy_decompress(&cinfo);
    return false;
  }
  libjpeg.jpeg_CreateDecompress(&cinfo, JPEG_LIB_VERSION, sizeof cinfo);
  libjpeg.jpeg_mem_src(&cinfo, bytes, static_cast<unsigned long>(length));
  libjpeg.jpeg_read_header(&cinfo, TRUE);
  if (!coded_fits(u64(cinfo.image_width) * cinfo.image_height, length,
                  cinfo.arith_code ? UNBOUNDED_PER_BYTE : JPEG_HUFFMAN_PER_BYTE)) {
    libjpeg.jpeg_destroy_decompress(&cinfo);
    return false;
  }
  cinfo.out_color_space = JCS_EXT_BGRA;
  libjpeg.jpeg_start_decompress(&cinfo);
  if (cinfo.output_components != 4 || !alloc_pixels(r, cinfo.output_width, cinfo.output_height)) {
    libjpeg.jpeg_destroy_decompress(&cinfo);
    return false;
  }
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = reinterpret_cast<JSAMPROW>(r->pixels + u64(cinfo.output_scanline) * r->width);
    libjpeg.jpeg_read_scanlines(&cinfo, &row, 1);
  }
  libjpeg.jpeg_finish_decompress(&cinfo);
  libjpeg.jpeg_destroy_decompress(&cinfo);
  return true;
}

bool jpeg_write(const u32* px, u32 w, u32 h, Sink* s) {
  if (!jpeg_load()) return false;
  jpeg_compress_struct cinfo;
  JpegError err;
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  cinfo.err = libjpeg.jpeg_std_error(&err.mgr);
  err.mgr.error_exit = jpeg_fail;
  err.mgr.emit_message = jpeg_warn;
  err.mgr.output_message = jpeg_no_output;
  if (setjmp(err.jump)) {
    libjpeg.jpeg_destroy_compress(&cinfo);
    std::free(out);
    return false;
  }
  libjpeg.jpeg_CreateCompress(&cinfo, JPEG_LIB_VERSION, sizeof cinfo);
  libjpeg.jpeg_mem_dest(&cinfo, &out, &out_size);
  cinfo.image_width = w;
  cinfo.image_height = h;
  cinfo.input_components = 4;
  cinfo.in_color_space = JCS_EXT_BGRX;
  libjpeg.jpeg_set_defaults(&cinfo);
  libjpeg.jpeg_set_quality(&cinfo, 90, TRUE);
  libjpeg.jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < h) {
    JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<u32*>(px + u64(cinfo.next_scanline) * w));
    libjpeg.jpeg_write_scanlines(&cinfo, &row, 1);
  }
  libjpeg.jpeg_finish_compress(&cinfo);
  libjpeg.jpeg_destroy_compress(&cinfo);
  sink_put(s, out, out_size);
  std::free(out);
  return !s->failed;
}

// ---- GIF ----------------------------------------------------------------------------

struct GifSource {
  const u8* bytes;
  std::size_t length, pos;
};

int gif_input(GifFileType* gif, GifByteType* out, int n) {
  auto* src = static_cast<GifSource*>(gif->UserData);
  std::size_t k = std::size_t(n) <= src->length - src->pos ? std::size_t(n) : src->length - src->pos;
  std::memcpy(out, src->bytes + src->pos, k);
  src->pos += k;
  return int(k);
}

// The first frame over the logical screen; pixels outside the frame, and
// those of the transparent index, stay transparent. The records are read one
// by one (not slurped): the frame's claimed size is checked before anything
// of that size is allocated, and later frames are never read.
bool gif_first_frame(GifFileType* gif, Raw* r, std::size_t length) {
  int transparent = -1;
  for (;;) {
    GifRecordType type;
    if (giflib.DGifGetRecordType(gif, &type) == GIF_ERROR) return false;
    if (type == TERMINATE_RECORD_TYPE) return false;  // no image at all
    if (type == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* ext = nullptr;
      if (giflib.DGifGetExtension(gif, &code, &ext) == GIF_ERROR) return false;
      if (code == GRAPHICS_EXT_FUNC_CODE && ext && ext[0] == 4) {
        GraphicsControlBlock gcb;
        if (giflib.DGifExtensionToGCB(ext[0], ext + 1, &gcb) == GIF_OK) transparent = gcb.TransparentColor;
      }
      while (ext) {
        if (giflib.DGifGetExtensionNext(gif, &ext) == GIF_ERROR) return false;
      }
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE) continue;
    if (giflib.DGifGetImageDesc(gif) == GIF_ERROR) return false;
    GifImageDesc* d = &gif->Image;
    ColorMapObject* map = d->ColorMap ? d->ColorMap : gif->SColorMap;
    if (!map || d->Width <= 0 || d->Height <= 0 || d->Left < 0 || d->Top < 0) return false;
    u64 sw = u64(gif->SWidth > 0 ? gif->SWidth : 0), sh = u64(gif->SHeight > 0 ? gif->SHeight : 0);
    sw = std::max<u64>(sw, u64(d->Left) + u64(d->Width));
    sh = std::max<u64>(sh, u64(d->Top) + u64(d->Height));
    // The logical screen too: a screen that the frames' coded pixels could
    // not fill is refused, as a frame is.
    if (!coded_fits(sw * sh, length, LZW_PER_BYTE)) return false;
    if (!alloc_pixels(r, sw, sh)) return false;
    GifPixelType* line = static_cast<GifPixelType*>(std::malloc(std::size_t(d->Width)));
    if (!line) return false;
    // Interlaced frames come in four passes over the rows.
    static const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
    int passes = d->Interlace ? 4 : 1;
    bool ok = true;
    for (int pass = 0; ok && pass < passes; ++pass) {
      for (int y = d->Interlace ? start[pass] : 0; ok && y < d->Height; y += d->Interlace ? step[pass] : 1) {
        ok = giflib.DGifGetLine(gif, line, d->Width) == GIF_OK;
        for (int x = 0; ok && x < d->Width; ++x) {
          int index = line[x];
          if (index == transparent || index >= map->ColorCount) continue;
          GifColorType c = map->Colors[index];
          r->pixels[(u64(d->Top) + u64(y)) * sw + u64(d->Left) + u64(x)] =
              0xFF000000u | u32(c.Red) << 16 | u32(c.Green) << 8 | c.Blue;
        }
      }
    }
    std::free(line);
    return ok;
  }
}

bool gif_read(const u8* bytes, std::size_t length, Raw* r) {
  if (!gif_load()) return false;
  GifSource src{bytes, length, 0};
  int error = 0;
  GifFileType* gif = giflib.DGifOpen(&src, gif_input, &error);
  if (!gif) return false;
  bool ok = gif_first_frame(gif, r, length);
  giflib.DGifCloseFile(gif, &error);
  return ok;
}

int gif_output(GifFileType* gif, const GifByteType* data, int n) {
  auto* s = static_cast<Sink*>(gif->UserData);
  sink_put(s, data, std::size_t(n));
  return s->failed ? 0 : n;
}

// An exact palette when the opaque colours number 255 or fewer, else a
// 6x7x6 colour cube; pixels with stored alpha below 128 take the transparent
// index 0.
bool gif_write(const u32* px, u32 w, u32 h, Sink* s) {
  if (!gif_load()) return false;
  u64 n = u64(w) * h;
  GifByteType* indexes = static_cast<GifByteType*>(std::malloc(n));
  ColorMapObject* map = giflib.GifMakeMapObject(256, nullptr);
  if (!indexes || !map) {
    std::free(indexes);
    if (map) giflib.GifFreeMapObject(map);
    return false;
  }
  std::memset(map->Colors, 0, sizeof(GifColorType) * 256);
  u32 palette[256];
  int count = 1;  // index 0: transparent
  bool exact = true;
  for (u64 i = 0; i < n && exact; ++i) {
    if ((px[i] >> 24) < 128) continue;
    u32 c = px[i] & 0xFFFFFF;
    int k = 1;
    while (k < count && palette[k] != c) ++k;
    if (k == count) {
      if (count == 256) exact = false;
      else palette[count++] = c;
    }
  }
  if (exact) {
    for (int k = 1; k < count; ++k) {
      map->Colors[k] = {GifByteType(palette[k] >> 16), GifByteType(palette[k] >> 8), GifByteType(palette[k])};
    }
  } else {
    for (int k = 0; k < 252; ++k) {
      map->Colors[k + 1] = {GifByteType((k / 42) * 51), GifByteType(((k / 6) % 7) * 255 / 6), GifByteType((k % 6) * 51)};
    }
  }
  for (u64 i = 0; i < n; ++i) {
    u32 p = px[i];
    if ((p >> 24) < 128) {
      indexes[i] = 0;
      continue;
    }
    u32 c = p & 0xFFFFFF;
    if (exact) {
      int k = 1;
      while (palette[k] != c) ++k;  // count <= 256 and c is in the palette
      indexes[i] = GifByteType(k);
    } else {
      u32 rr = ((c >> 16 & 0xFF) + 25) / 51, gg = ((c >> 8 & 0xFF) * 6 + 127) / 255, bb = ((c & 0xFF) + 25) / 51;
      indexes[i] = GifByteType(1 + rr * 42 + gg * 6 + bb);
    }
  }
  int error = 0;
  GifFileType* gif = giflib.EGifOpen(s, gif_output, &error);
  bool ok = gif != nullptr;
  if (ok) {
    giflib.EGifSetGifVersion(gif, true);
    ok = giflib.EGifPutScreenDesc(gif, int(w), int(h), 8, 0, map) == GIF_OK;
    GraphicsControlBlock gcb{};
    gcb.DisposalMode = DISPOSAL_UNSPECIFIED;
    gcb.TransparentColor = 0;
    GifByteType ext[4];
    std::size_t len = giflib.EGifGCBToExtension(&gcb, ext);
    if (ok) ok = giflib.EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(len), ext) == GIF_OK;
    if (ok) ok = giflib.EGifPutImageDesc(gif, 0, 0, int(w), int(h), false, nullptr) == GIF_OK;
    for (u32 y = 0; ok && y < h; ++y) ok = giflib.EGifPutLine(gif, indexes + u64(y) * w, int(w)) == GIF_OK;
    if (giflib.EGifCloseFile(gif, &error) != GIF_OK) ok = false;
  }
  std::free(indexes);
  giflib.GifFreeMapObject(map);
  return ok && !s->failed;
}

// ---- TIFF ---------------------------------------------------------------------------

struct TiffMemory {
  const u8* bytes;  // reading
  Sink* sink;       // writing
  std::size_t length, pos;
};

tmsize_t tiff_read(thandle_t h, void* out, tmsize_t n) {
  auto* m = static_cast<TiffMemory*>(h);
  if (!m->bytes || m->pos >= m->length) return 0;
  std::size_t k = std::size_t(n) <= m->length - m->pos ? std::size_t(n) : m->length - m->pos;
  std::memcpy(out, m->bytes + m->pos, k);
  m->pos += k;
  return tmsize_t(k);
}

tmsize_t tiff_write(thandle_t h, void* data, tmsize_t n) {
  auto* m = static_cast<TiffMemory*>(h);
  if (!m->sink) return 0;
  Sink* s = m->sink;
  if (m->pos + std::size_t(n) > s->size) {  // grow, zero-filling any gap
    std::size_t old = s->size;
    u8 zero[256] = {};
    while (s->size < m->pos && !s->failed) sink_put(s, zero, std::min<std::size_t>(256, m->pos - s->size));
    std::size_t extra = m->pos + std::size_t(n) - s->size;
    while (extra > 0 && !s->failed) {
      std::size_t k = extra < 256 ? extra : 256;
      sink_put(s, zero, k);
      extra -= k;
    }
    (void)old;
    if (s->failed) return 0;
  }
  std::memcpy(s->data + m->pos, data, std::size_t(n));
  m->pos += std::size_t(n);
  return n;
}

toff_t tiff_seek(thandle_t h, toff_t off, int whence) {
  auto* m = static_cast<TiffMemory*>(h);
  std::size_t size = m->sink ? m->sink->size : m->length;
  u64 base = whence == SEEK_CUR ? m->pos : whence == SEEK_END ? size : 0;
  u64 to = base + off;
  if (to > (u64(1) << 40)) return toff_t(-1);
  m->pos = std::size_t(to);
  return to;
}

int tiff_close(thandle_t) { return 0; }
toff_t tiff_size(thandle_t h) {
  auto* m = static_cast<TiffMemory*>(h);
  return m->sink ? m->sink->size : m->length;
}
int tiff_map(thandle_t, void**, toff_t*) { return 0; }
void tiff_unmap(thandle_t, void*, toff_t) {}

// 8-bit RGB or RGBA strips read as they are stored (straight alpha needs no
// round trip through libtiff's premultiplied RGBA raster); false for any
// other layout, which goes through that raster instead.
bool tiff_read_rgb_lines(::TIFF* tif, Raw* r) {
  uint16_t bits = 0, samples = 0, photometric = 0, planar = 0, extra_count = 0;
  uint16_t* extra = nullptr;
  tiff.TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  tiff.TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  tiff.TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  tiff.TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
  if (!tiff.TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) return false;
  if (bits != 8 || photometric != PHOTOMETRIC_RGB || planar != PLANARCONFIG_CONTIG || tiff.TIFFIsTiled(tif)) return false;
  if (samples != 3 && !(samples == 4 && extra_count == 1 && extra[0] == EXTRASAMPLE_UNASSALPHA)) return false;
  if (tiff.TIFFScanlineSize(tif) != tmsize_t(r->width) * samples) return false;
  u8* line = static_cast<u8*>(std::malloc(std::size_t(r->width) * samples));
  bool ok = line != nullptr;
  for (u32 y = 0; ok && y < r->height; ++y) {
    ok = tiff.TIFFReadScanline(tif, line, y, 0) == 1;
    for (u32 x = 0; ok && x < r->width; ++x) {
      const u8* p = line + std::size_t(x) * samples;
      u32 a = samples == 4 ? p[3] : 255;
      r->pixels[u64(y) * r->width + x] = a << 24 | u32(p[0]) << 16 | u32(p[1]) << 8 | p[2];
    }
  }
  std::free(line);
  return ok;
}

bool tiff_read_image(const u8* bytes, std::size_t length, Raw* r) {
  if (!tiff_load()) return false;
  TiffMemory m{bytes, nullptr, length, 0};
  ::TIFF* tif = tiff.TIFFClientOpen("memory", "rm", &m, tiff_read, tiff_write, tiff_seek, tiff_close,
                             tiff_size, tiff_map, tiff_unmap);
  if (!tif) return false;
  u32 w = 0, h = 0;
  tiff.TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
  tiff.TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
  uint16_t compression = COMPRESSION_NONE, bits = 1, samples = 1;
  tiff.TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  tiff.TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  tiff.TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  u64 px = u64(w) * h;
  bool fits;
  switch (compression) {
    case COMPRESSION_NONE: fits = coded_fits((px * std::max<u64>(1, u64(bits) * samples) + 7) / 8, length, 1); break;
    case COMPRESSION_PACKBITS: fits = coded_fits(px, length, PACKBITS_PER_BYTE * 8); break;
    case COMPRESSION_LZW: fits = coded_fits(px, length, LZW_PER_BYTE); break;
    case COMPRESSION_ADOBE_DEFLATE: case COMPRESSION_DEFLATE: fits = coded_fits(px, length, DEFLATE_PER_BYTE * 8); break;
    case COMPRESSION_JPEG: fits = coded_fits(px, length, JPEG_HUFFMAN_PER_BYTE); break;
    default: fits = coded_fits(px, length, UNBOUNDED_PER_BYTE);
  }
  if (!fits || !alloc_pixels(r, w, h)) {
    tiff.TIFFClose(tif);
    return false;
  }
  if (tiff_read_rgb_lines(tif, r)) {
    tiff.TIFFClose(tif);
    return true;
  }
  bool ok = tiff.TIFFReadRGBAImageOriented(tif, w, h, r->pixels, ORIENTATION_TOPLEFT, 1) == 1;
  tiff.TIFFClose(tif);
  if (!ok) return false;
  // libtiff packs R in the low byte (A B G R from the top) and multiplies
  // the colours by alpha: swap R and B and divide the alpha out again.
  for (u64 i = 0, n = u64(w) * h; i < n; ++i) {
    u32 p = r->pixels[i];
    u32 a = p >> 24, red = p & 0xFF, green = p >> 8 & 0xFF, blue = p >> 16 & 0xFF;
    if (a == 0) {
      red = green = blue = 0;
    } else if (a < 255) {
      red = std::min<u32>(255, (red * 255 + a / 2) / a);
      green = std::min<u32>(255, (green * 255 + a / 2) / a);
      blue = std::min<u32>(255, (blue * 255 + a / 2) / a);
    }
    r->pixels[i] = a << 24 | red << 16 | green << 8 | blue;
  }
  return true;
}

bool tiff_write_image(const u32* px, u32 w, u32 h, Sink* s) {
  if (!tiff_load()) return false;
  TiffMemory m{nullptr, s, 0, 0};
  ::TIFF* tif = tiff.TIFFClientOpen("memory", "w", &m, tiff_read, tiff_write, tiff_seek, tiff_close,
                             tiff_size, tiff_map, tiff_unmap);
  if (!tif) return false;
  u8* row = static_cast<u8*>(std::malloc(std::size_t(w) * 4));
  bool ok = row != nullptr;
  uint16_t extra = EXTRASAMPLE_UNASSALPHA;
  ok = ok && tiff.TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w) && tiff.TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h) &&
       tiff.TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8) && tiff.TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4) &&
       tiff.TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra) &&
       tiff.TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
       tiff.TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
       tiff.TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW) &&
       tiff.TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, tiff.TIFFDefaultStripSize(tif, 0));
  for (u32 y = 0; ok && y < h; ++y) {
    for (u32 x = 0; x < w; ++x) {
      u32 p = px[u64(y) * w + x];
      row[x * 4] = u8(p >> 16);
      row[x * 4 + 1] = u8(p >> 8);
      row[x * 4 + 2] = u8(p);
      row[x * 4 + 3] = u8(p >> 24);
    }
    ok = tiff.TIFFWriteScanline(tif, row, y, 0) == 1;
  }
  if (ok) ok = tiff.TIFFWriteDirectory(tif) == 1;
  tiff.TIFFClose(tif);
  std::free(row);
  return ok && !s->failed;
}

// ---- BMP ----------------------------------------------------------------------------

u32 le16(const u8* p) { return u32(p[0]) | u32(p[1]) << 8; }
u32 le32(const u8* p) { return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24; }

// The value of a channel under its mask, scaled to 8 bits.
u32 channel(u32 v, u32 mask) {
  if (!mask) return 0;
  int shift = 0;
  while (!(mask >> shift & 1)) ++shift;
  u32 max = mask >> shift;
  return u32((u64((v & mask) >> shift) * 255 + max / 2) / max);
}

// Uncompressed and bit-field BMPs of 1, 4, 8, 16, 24 and 32 bits a pixel,
// bottom-up or top-down (negative height).
bool bmp_read(const u8* b, std::size_t length, Raw* r) {
  if (length < 26 || b[0] != 'B' || b[1] != 'M') return false;
  u32 data_at = le32(b + 10), hsize = le32(b + 14);
  if (hsize != 12 && (hsize < 40 || hsize > 1024)) return false;
  if (14 + u64(hsize) > length) return false;
  long long w, h;
  u32 bpp, compression = 0, colours = 0;
  if (hsize == 12) {
    w = le16(b + 18);
    h = std::int16_t(le16(b + 20));
    bpp = le16(b + 24);
  } else {
    w = std::int32_t(le32(b + 18));
    h = std::int32_t(le32(b + 22));
    bpp = le16(b + 28);
    compression = le32(b + 30);
    colours = le32(b + 46);
  }
  bool top_down = h < 0;
  if (top_down) h = -h;
  if (w <= 0 || h <= 0) return false;
  u32 rmask = 0xFF0000, gmask = 0xFF00, bmask = 0xFF, amask = 0;
  if (bpp == 16) rmask = 0x7C00, gmask = 0x3E0, bmask = 0x1F;
  if (compression == 3 || compression == 6) {  // BI_BITFIELDS, BI_ALPHABITFIELDS
    std::size_t at = hsize >= 52 ? 14 + 40 : 14 + hsize;
    if (at + 12 > length) return false;
    rmask = le32(b + at), gmask = le32(b + at + 4), bmask = le32(b + at + 8);
    if ((hsize >= 56 || compression == 6) && at + 16 <= length) amask = le32(b + at + 12);
    if (bpp != 16 && bpp != 32) return false;
  } else if (compression != 0) {
    return false;
  }
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return false;
  u32 palette[256] = {};
  if (bpp <= 8) {
    u32 n = colours ? colours : 1u << bpp;
    if (n > 256) return false;
    u32 entry = hsize == 12 ? 3 : 4;
    std::size_t at = 14 + hsize + (compression == 3 && hsize == 40 ? 12 : 0);
    if (at + u64(n) * entry > length) return false;
    for (u32 i = 0; i < n; ++i) {
      const u8* e = b + at + u64(i) * entry;
      palette[i] = 0xFF000000u | u32(e[2]) << 16 | u32(e[1]) << 8 | e[0];
    }
  }
  u64 stride = ((u64(w) * bpp + 31) / 32) * 4;
  if (data_at > length || stride * u64(h) > length - data_at) return false;
  if (!alloc_pixels(r, u64(w), u64(h))) return false;
  bool any_alpha = false;
  for (long long y = 0; y < h; ++y) {
    const u8* row = b + data_at + stride * u64(top_down ? y : h - 1 - y);
    u32* out = r->pixels + u64(y) * u64(w);
    for (long long x = 0; x < w; ++x) {
      u32 p;
      switch (bpp) {
        case 1: p = palette[row[x / 8] >> (7 - x % 8) & 1]; break;
        case 4: p = palette[row[x / 2] >> (x % 2 ? 0 : 4) & 0xF]; break;
        case 8: p = palette[row[x]]; break;
        case 24: p = 0xFF000000u | u32(row[x * 3 + 2]) << 16 | u32(row[x * 3 + 1]) << 8 | row[x * 3]; break;
        default: {
          u32 v = bpp == 16 ? le16(row + x * 2) : le32(row + x * 4);
          u32 a = amask ? channel(v, amask) : 255;
          if (bpp == 32 && compression == 0) a = v >> 24;  // 4th byte: alpha when any is set
          if (a) any_alpha = true;
          p = a << 24 | channel(v, rmask) << 16 | channel(v, gmask) << 8 | channel(v, bmask);
        }
      }
      out[x] = p;
    }
  }
  // A 32-bit BMP without an alpha mask whose 4th bytes are all 0 is opaque.
  if (bpp == 32 && compression == 0 && !any_alpha) {
    for (u64 i = 0, n = u64(w) * u64(h); i < n; ++i) r->pixels[i] |= 0xFF000000u;
  }
  return true;
}

void put16(u8* p, u32 v) { p[0] = u8(v), p[1] = u8(v >> 8); }
void put32(u8* p, u32 v) { p[0] = u8(v), p[1] = u8(v >> 8), p[2] = u8(v >> 16), p[3] = u8(v >> 24); }

// 32 bits a pixel, top-down rows, a 124-byte header with the channel masks
// (alpha included).
bool bmp_write(const u32* px, u32 w, u32 h, Sink* s) {
  u64 image = u64(w) * h * 4;
  if (image + 138 > 0xFFFFFFFFu) return false;
  u8 head[138] = {};
  head[0] = 'B', head[1] = 'M';
  put32(head + 2, u32(image + 138));
  put32(head + 10, 138);
  put32(head + 14, 124);
  put32(head + 18, w);
  put32(head + 22, u32(-std::int32_t(h)));
  put16(head + 26, 1);
  put16(head + 28, 32);
  put32(head + 30, 3);  // BI_BITFIELDS
  put32(head + 34, u32(image));
  put32(head + 38, 2835), put32(head + 42, 2835);  // 72 dpi
  put32(head + 54, 0xFF0000), put32(head + 58, 0xFF00), put32(head + 62, 0xFF), put32(head + 66, 0xFF000000u);
  put32(head + 70, 0x73524742);  // 'sRGB'
  put32(head + 122, 4);          // LCS_GM_IMAGES
  sink_put(s, head, sizeof head);
  sink_put(s, px, std::size_t(image));
  return !s->failed;
}

}  // namespace

int sniff(const u8* b, std::size_t n) {
  if (n >= 4 && b[0] == 0x89 && b[1] == 0x50 && b[2] == 0x4E && b[3] == 0x47) return PNG;
  if (n >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) return JPEG;
  if (n >= 2 && b[0] == 0x42 && b[1] == 0x4D) return BMP;
  if (n >= 6 && b[0] == 'G' && b[1] == 'I' && b[2] == 'F' && b[3] == '8' && (b[4] == '7' || b[4] == '9') &&
      b[5] == 'a') {
    return GIF;
  }
  if (n >= 4 && ((b[0] == 0x49 && b[1] == 0x49 && b[2] == 0x2A && b[3] == 0) ||
                 (b[0] == 0x4D && b[1] == 0x4D && b[2] == 0 && b[3] == 0x2A))) {
    return TIFF;
  }
  return -1;
}

namespace {

bool decode_raw(const u8* bytes, std::size_t length, Raw& r) {
  switch (sniff(bytes, length)) {
    case PNG: return png_read(bytes, length, &r);
    case JPEG: return jpeg_read(bytes, length, &r);
    case GIF: return gif_read(bytes, length, &r);
    case TIFF: return tiff_read_image(bytes, length, &r);
    case BMP: return bmp_read(bytes, length, &r);
    default: return false;
  }
}

}  // namespace

bool decode_into(const u8* bytes, std::size_t length, PixelAllocator alloc, void* context, u32* width,
                 u32* height) {
  Raw r{0, 0, nullptr, pixel_limit, alloc, context};
  if (!decode_raw(bytes, length, r)) return false;
  *width = r.width;
  *height = r.height;
  return true;
}

bool decode(const u8* bytes, std::size_t length, Decoded& out) {
  Raw r{0, 0, nullptr, pixel_limit, nullptr, nullptr};
  bool ok = false;
  switch (sniff(bytes, length)) {
    case PNG: ok = png_read(bytes, length, &r); break;
    case JPEG: ok = jpeg_read(bytes, length, &r); break;
    case GIF: ok = gif_read(bytes, length, &r); break;
    case TIFF: ok = tiff_read_image(bytes, length, &r); break;
    case BMP: ok = bmp_read(bytes, length, &r); break;
    default: break;
  }
  if (!ok) {
    std::free(r.pixels);
    return false;
  }
  std::free(out.pixels);
  out.pixels = r.pixels;
  out.width = r.width;
  out.height = r.height;
  return true;
}

bool encode(const u32* pixels, u32 width, u32 height, int format, std::vector<u8>& out) {
  if (!width || !height) return false;
  Sink s{nullptr, 0, 0, false};
  bool ok = false;
  switch (format) {
    case PNG: ok = png_write(pixels, width, height, &s); break;
    case JPEG: ok = jpeg_write(pixels, width, height, &s); break;
    case GIF: ok = gif_write(pixels, width, height, &s); break;
    case TIFF: ok = tiff_write_image(pixels, width, height, &s); break;
    case BMP: ok = bmp_write(pixels, width, height, &s); break;
    default: break;
  }
  ok = ok && !s.failed && s.size > 0;
  if (ok) out.assign(s.data, s.data + s.size);
  std::free(s.data);
  return ok;
}

}  // namespace qel::platform::imaging
