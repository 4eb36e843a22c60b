// The C++ state that a boot image carries.
//
// Start-up leaves state in C++ globals besides the memory region: the
// routines table, counters, the symbol ids and words that modules look up
// once, the committed page runs. A boot image (console/boot/image.hpp) is
// the region as start-up left it plus these globals. Each global that
// start-up changes is declared next to its definition, as one of:
//   QEL_IMAGE_KEEP(var)           its bytes go into the image and are put
//                                 back (plain data: numbers, offsets,
//                                 symbol ids, cells; no pointers);
//   QEL_IMAGE_KEEP_POINTERS(var)  an array (or struct) of pointers into
//                                 the executable (functions, constant
//                                 tables) or null, saved as offsets from
//                                 the executable's start and put back
//                                 where this process loaded it;
//   QEL_IMAGE_KEEP_REGION_POINTERS(var)  an array (or struct) of pointers
//                                 into the memory region (cells of the
//                                 root block, which never move) or null,
//                                 saved as offsets from the region's base;
//   QEL_IMAGE_KEEP_WITH(var, save, load)  its own encoding (containers);
//   QEL_IMAGE_SKIP(var)           not in the image: every process sets it
//                                 again (a cache refilled on use, scratch
//                                 start-up leaves empty, what start-up sets
//                                 at every start).
// Making an image checks that every byte of the executable's writable data
// that start-up changed lies in a declared global, so a new one cannot be
// left out unnoticed.
//
// A pointer into the memory region never goes into the image as a pointer
// (the region lies elsewhere in each process): it is kept as its offset.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/types.hpp"

namespace qel::image_state {

// The executable's own bytes as loaded (code, constants, data): pointers
// into them are saved as offsets from its start.
bool in_executable(const void* p);
u64 executable_offset(const void* p);
const void* executable_address(u64 offset);

// What a save function writes; it fails (and the image is not made) on a
// pointer it cannot save.
class Writer {
 public:
  explicit Writer(std::vector<u8>& out) : out_(out) {}
  void bytes(const void* p, std::size_t n) {
    const u8* b = static_cast<const u8*>(p);
    out_.insert(out_.end(), b, b + n);
  }
  template <class T>
  void value(const T& v) {
    static_assert(std::is_trivially_copyable_v<T>);
    bytes(&v, sizeof v);
  }
  void text(const std::string& s) {
    value(u32(s.size()));
    bytes(s.data(), s.size());
  }
  // A pointer into the executable, or null.
  void pointer(const void* p);
  // A pointer into the memory region, or null.
  void region_pointer(const void* p);
  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }
  void fail(const std::string& why) {
    if (error_.empty()) error_ = why;
  }

 private:
  std::vector<u8>& out_;
  std::string error_;
};

// What a load function reads; reading past the end fails the reader (and
// answers zeros), and the piece's load is then not trusted.
class Reader {
 public:
  Reader(const u8* p, std::size_t n) : p_(p), end_(p + n) {}
  void bytes(void* out, std::size_t n) {
    if (std::size_t(end_ - p_) < n) {
      ok_ = false;
      std::memset(out, 0, n);
      p_ = end_;
      return;
    }
    std::memcpy(out, p_, n);
    p_ += n;
  }
  template <class T>
  T value() {
    static_assert(std::is_trivially_copyable_v<T>);
    T v;
    bytes(&v, sizeof v);
    return v;
  }
  std::string text() {
    u32 n = value<u32>();
    if (std::size_t(end_ - p_) < n) {
      ok_ = false;
      p_ = end_;
      return {};
    }
    std::string s(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return s;
  }
  const void* pointer();
  void* region_pointer();
  // Nothing was read past the end.
  bool good() const { return ok_; }
  // And everything was read.
  bool ok() const { return ok_ && p_ == end_; }

 private:
  const u8* p_;
  const u8* end_;
  bool ok_ = true;
};

enum class Kind : u8 { keep, keep_pointers, keep_region_pointers, keep_with, skip };

using SaveFn = void (*)(Writer&);
using LoadFn = void (*)(Reader&);

// One declared global: a constant record the compiler puts in the section
// "qel_image_pieces", so that the list costs the program nothing when it
// starts (no constructor writes a page of its data). Aligned and sized
// alike, the records lie in the section as an array.
struct alignas(64) Piece {
  const char* name;  // file:variable, unique in the program
  void* data;
  std::size_t size;
  Kind kind;
  SaveFn save;
  LoadFn load;
};
static_assert(sizeof(Piece) == 64);

// The declared globals, in the order of the link.
struct Pieces {
  const Piece* first;
  const Piece* last;
  const Piece* begin() const { return first; }
  const Piece* end() const { return last; }
};
Pieces pieces();

// The piece's bytes as the image holds them, and the other way.
bool save(const Piece& p, Writer& w);
bool load(const Piece& p, Reader& r);

// The executable's writable data (initialised and zeroed): where the
// change check looks.
u8* writable_start();
u8* writable_end();

}  // namespace qel::image_state

#define QEL_IMAGE_CAT2(a, b) a##b
#define QEL_IMAGE_CAT(a, b) QEL_IMAGE_CAT2(a, b)
#define QEL_IMAGE_PIECE_(var, kind, save, load)                                                     \
  [[maybe_unused]] __attribute__((used, section("qel_image_pieces"))) static constinit const           \
      ::qel::image_state::Piece QEL_IMAGE_CAT(qel_image_piece_, __COUNTER__){                           \
          __FILE_NAME__ ":" #var, static_cast<void*>(&(var)), sizeof(var), kind, save, load}
#define QEL_IMAGE_KEEP(var) QEL_IMAGE_PIECE_(var, ::qel::image_state::Kind::keep, nullptr, nullptr)
#define QEL_IMAGE_KEEP_POINTERS(var) \
  QEL_IMAGE_PIECE_(var, ::qel::image_state::Kind::keep_pointers, nullptr, nullptr)
#define QEL_IMAGE_KEEP_REGION_POINTERS(var) \
  QEL_IMAGE_PIECE_(var, ::qel::image_state::Kind::keep_region_pointers, nullptr, nullptr)
#define QEL_IMAGE_KEEP_WITH(var, save, load) \
  QEL_IMAGE_PIECE_(var, ::qel::image_state::Kind::keep_with, save, load)
#define QEL_IMAGE_SKIP(var) QEL_IMAGE_PIECE_(var, ::qel::image_state::Kind::skip, nullptr, nullptr)
