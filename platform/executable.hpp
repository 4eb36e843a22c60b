// The running executable as a file: its build identity and the sections
// that tools added to it after the link (the boot image).
#pragma once

#include <cstddef>
#include <string>

#include "platform/types.hpp"

namespace qel::platform {

// The link's build identity (the GNU build-id note of the executable as
// loaded, as bytes), empty when the link wrote none.
std::string build_id();

// The C library's version, as it names it ("2.36").
std::string libc_version();

// The name of the data symbol (demangled) of the executable's file that
// holds the byte at this offset from the executable's start; empty when
// the file has no symbol table or none holds it. For messages.
std::string symbol_at(u64 offset);

// A section of the executable's file, mapped read-only (shared with the
// page cache) and backed at once. Empty when the file cannot be read, is no
// ELF file of this machine, or has no such section; `truncated` when the
// section names bytes past the end of the file. The file stays open while
// the section is, so that parts of it can be mapped elsewhere too.
class MappedSection {
 public:
  MappedSection() = default;
  MappedSection(const MappedSection&) = delete;
  MappedSection& operator=(const MappedSection&) = delete;
  ~MappedSection();
  // Opens the file that /proc/self/exe names (or the path given) and maps
  // the section.
  bool open(const char* section, const char* path = nullptr);
  const u8* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool truncated() const { return truncated_; }
  int file() const { return fd_; }
  u64 file_offset() const { return offset_; }
  // Unmaps the section's bytes (data() is null then) and keeps the file
  // open, for parts of it to be mapped elsewhere.
  void unmap();
  // Reads n bytes of the file at this offset; false on a short read.
  bool read_file(void* out, std::size_t n, u64 file_offset) const;
  void close();

 private:
  int fd_ = -1;
  u64 offset_ = 0;
  void* map_ = nullptr;
  std::size_t map_bytes_ = 0;
  const u8* data_ = nullptr;
  std::size_t size_ = 0;
  bool truncated_ = false;
};

}  // namespace qel::platform
