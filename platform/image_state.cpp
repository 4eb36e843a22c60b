#include "platform/image_state.hpp"

#include <cstdint>

#include "platform/pages.hpp"

// The linker's marks around the executable as loaded and around its
// writable data.
extern "C" {
extern char __executable_start[];
extern char __data_start[];
extern char _end[];
// Around the section of the declared globals' records.
// (Weak: a program that declares none has no such section.)
extern const qel::image_state::Piece __start_qel_image_pieces[] __attribute__((weak));
extern const qel::image_state::Piece __stop_qel_image_pieces[] __attribute__((weak));
}

namespace qel::image_state {

namespace {


std::uintptr_t executable_begin() { return reinterpret_cast<std::uintptr_t>(__executable_start); }
std::uintptr_t executable_end() { return reinterpret_cast<std::uintptr_t>(_end); }

}  // namespace

bool in_executable(const void* p) {
  auto a = reinterpret_cast<std::uintptr_t>(p);
  return a >= executable_begin() && a < executable_end();
}

u64 executable_offset(const void* p) { return reinterpret_cast<std::uintptr_t>(p) - executable_begin(); }

const void* executable_address(u64 offset) { return reinterpret_cast<const void*>(executable_begin() + offset); }

u8* writable_start() { return reinterpret_cast<u8*>(__data_start); }
u8* writable_end() { return reinterpret_cast<u8*>(_end); }

// Null is saved as 0, a pointer as its offset plus 1.
void Writer::pointer(const void* p) {
  if (!p) {
    value(u64(0));
    return;
  }
  if (!in_executable(p)) {
    fail("a pointer outside the executable");
    value(u64(0));
    return;
  }
  value(executable_offset(p) + 1);
}

const void* Reader::pointer() {
  u64 v = value<u64>();
  if (!v) return nullptr;
  if (v - 1 >= u64(executable_end() - executable_begin())) {
    ok_ = false;
    return nullptr;
  }
  return executable_address(v - 1);
}

void Writer::region_pointer(const void* p) {
  if (!p) {
    value(u64(0));
    return;
  }
  const u8* base = platform::region_base();
  const u8* b = static_cast<const u8*>(p);
  if (!base || b <= base || u64(b - base) >= (u64(1) << 32)) {
    fail("a pointer outside the memory region");
    value(u64(0));
    return;
  }
  value(u64(b - base));
}

void* Reader::region_pointer() {
  u64 v = value<u64>();
  if (!v) return nullptr;
  if (v >= (u64(1) << 32) || !platform::region_base()) {
    ok_ = false;
    return nullptr;
  }
  return platform::region_base() + v;
}

Pieces pieces() { return {__start_qel_image_pieces, __stop_qel_image_pieces}; }

bool save(const Piece& p, Writer& w) {
  const bool pointers = p.kind == Kind::keep_pointers || p.kind == Kind::keep_region_pointers;
  if (pointers && p.size % sizeof(void*) != 0) {
    w.fail("not an array of pointers");
    return false;
  }
  void* const* ptrs = static_cast<void* const*>(p.data);
  switch (p.kind) {
    case Kind::keep:
      w.bytes(p.data, p.size);
      break;
    case Kind::keep_pointers:
      for (std::size_t i = 0; i < p.size / sizeof(void*); ++i) w.pointer(ptrs[i]);
      break;
    case Kind::keep_region_pointers:
      for (std::size_t i = 0; i < p.size / sizeof(void*); ++i) w.region_pointer(ptrs[i]);
      break;
    case Kind::keep_with:
      p.save(w);
      break;
    case Kind::skip:
      break;
  }
  return !w.failed();
}

bool load(const Piece& p, Reader& r) {
  void** ptrs = static_cast<void**>(p.data);
  switch (p.kind) {
    case Kind::keep:
      r.bytes(p.data, p.size);
      break;
    case Kind::keep_pointers:
      for (std::size_t i = 0; i < p.size / sizeof(void*); ++i) ptrs[i] = const_cast<void*>(r.pointer());
      break;
    case Kind::keep_region_pointers:
      for (std::size_t i = 0; i < p.size / sizeof(void*); ++i) ptrs[i] = r.region_pointer();
      break;
    case Kind::keep_with:
      p.load(r);
      break;
    case Kind::skip:
      break;
  }
  return r.ok();
}

}  // namespace qel::image_state
