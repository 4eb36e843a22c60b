#include "platform/executable.hpp"

#include <elf.h>
#include <fcntl.h>
#include <gnu/libc-version.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace qel::platform {

namespace {

struct BuildIdSearch {
  std::string id;
};

// The first object dl_iterate_phdr reports is the executable itself.
int find_build_id(struct dl_phdr_info* info, std::size_t, void* data) {
  auto* search = static_cast<BuildIdSearch*>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_NOTE) continue;
    const u8* p = reinterpret_cast<const u8*>(info->dlpi_addr + ph.p_vaddr);
    const u8* end = p + ph.p_memsz;
    while (p + sizeof(ElfW(Nhdr)) <= end) {
      const auto* n = reinterpret_cast<const ElfW(Nhdr)*>(p);
      const u8* name = p + sizeof(ElfW(Nhdr));
      const u8* desc = name + ((n->n_namesz + 3) & ~3u);
      const u8* next = desc + ((n->n_descsz + 3) & ~3u);
      if (next > end) break;
      if (n->n_type == NT_GNU_BUILD_ID && n->n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0) {
        search->id.assign(reinterpret_cast<const char*>(desc), n->n_descsz);
        return 1;
      }
      p = next;
    }
  }
  return 1;  // only the executable
}

// Reads exactly n bytes at offset; false on a short read.
bool read_at(int fd, void* out, std::size_t n, u64 offset) {
  u8* p = static_cast<u8*>(out);
  while (n) {
    ssize_t got = ::pread(fd, p, n, off_t(offset));
    if (got <= 0) return false;
    p += got;
    n -= std::size_t(got);
    offset += u64(got);
  }
  return true;
}

// The file's ELF header and its section headers; false when it is no ELF
// file of this machine's class or they cannot be read.
bool read_sections(int fd, ElfW(Ehdr)& eh, std::vector<ElfW(Shdr)>& sh) {
  if (!read_at(fd, &eh, sizeof eh, 0)) return false;
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
      eh.e_shentsize != sizeof(ElfW(Shdr)) || eh.e_shnum == 0 || eh.e_shstrndx >= eh.e_shnum)
    return false;
  sh.resize(eh.e_shnum);
  return read_at(fd, sh.data(), sh.size() * sizeof(ElfW(Shdr)), eh.e_shoff);
}

}  // namespace

std::string build_id() {
  BuildIdSearch search;
  dl_iterate_phdr(find_build_id, &search);
  return search.id;
}

std::string libc_version() { return gnu_get_libc_version(); }

std::string symbol_at(u64 offset) {
  int fd = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string found;
  ElfW(Ehdr) eh;
  std::vector<ElfW(Shdr)> sh;
  if (read_sections(fd, eh, sh)) {
    for (const ElfW(Shdr)& s : sh) {
      if (s.sh_type != SHT_SYMTAB || s.sh_link >= sh.size() || s.sh_entsize != sizeof(ElfW(Sym))) continue;
      std::vector<ElfW(Sym)> syms(s.sh_size / sizeof(ElfW(Sym)));
      const ElfW(Shdr)& str = sh[s.sh_link];
      std::vector<char> names(str.sh_size + 1, '\0');
      if (!read_at(fd, syms.data(), syms.size() * sizeof(ElfW(Sym)), s.sh_offset) ||
          !read_at(fd, names.data(), str.sh_size, str.sh_offset))
        break;
      for (const ElfW(Sym)& y : syms) {
        if (ELF64_ST_TYPE(y.st_info) != STT_OBJECT || y.st_name >= str.sh_size) continue;
        if (offset < y.st_value || offset >= y.st_value + (y.st_size ? y.st_size : 1)) continue;
        const char* name = names.data() + y.st_name;
        int status = 0;
        char* plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
        found = status == 0 && plain ? plain : name;
        std::free(plain);
        break;
      }
    }
  }
  ::close(fd);
  return found;
}

MappedSection::~MappedSection() { close(); }

bool MappedSection::read_file(void* out, std::size_t n, u64 file_offset) const {
  return fd_ >= 0 && read_at(fd_, out, n, file_offset);
}

void MappedSection::unmap() {
  if (map_) ::munmap(map_, map_bytes_);
  map_ = nullptr;
  map_bytes_ = 0;
  data_ = nullptr;
  size_ = 0;
}

void MappedSection::close() {
  unmap();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  offset_ = 0;
}

bool MappedSection::open(const char* section, const char* path) {
  close();
  truncated_ = false;
  int fd = ::open(path ? path : "/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool found = false;
  do {
    struct stat st;
    if (::fstat(fd, &st) != 0) break;
    const u64 file_size = u64(st.st_size);
    ElfW(Ehdr) eh;
    std::vector<ElfW(Shdr)> sh;
    if (!read_sections(fd, eh, sh)) break;
    const ElfW(Shdr)& names = sh[eh.e_shstrndx];
    if (names.sh_size > (1u << 20)) break;
    std::vector<char> strings(names.sh_size + 1, '\0');
    if (!read_at(fd, strings.data(), names.sh_size, names.sh_offset)) break;
    for (const ElfW(Shdr)& s : sh) {
      if (s.sh_name >= names.sh_size || std::strcmp(strings.data() + s.sh_name, section) != 0) continue;
      if (s.sh_type == SHT_NOBITS) break;
      found = true;
      if (s.sh_offset > file_size || s.sh_size > file_size - s.sh_offset) {
        truncated_ = true;
        break;
      }
      if (s.sh_size == 0) break;
      const u64 page = u64(::sysconf(_SC_PAGESIZE));
      const u64 start = s.sh_offset & ~(page - 1);
      map_bytes_ = std::size_t(s.sh_offset - start + s.sh_size);
      void* m = ::mmap(nullptr, map_bytes_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, off_t(start));
      if (m == MAP_FAILED) {
        map_bytes_ = 0;
        break;
      }
      map_ = m;
      data_ = static_cast<const u8*>(m) + (s.sh_offset - start);
      size_ = std::size_t(s.sh_size);
      offset_ = s.sh_offset;
      break;
    }
  } while (false);
  if (data_) fd_ = fd;
  else ::close(fd);
  return found && data_ != nullptr;
}

}  // namespace qel::platform
