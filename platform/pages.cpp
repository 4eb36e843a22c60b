#include "platform/pages.hpp"

#include "platform/image_state.hpp"
#include "platform/sanitize.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#if defined(QEL_ASAN)
#include <sanitizer/asan_interface.h>
#define QEL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define QEL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace qel::platform {
namespace {

std::uint8_t* g_base = nullptr;
// Offset 0 is never handed out: a zero reference means "none" everywhere.
std::uint64_t g_page = 4096;
std::uint64_t g_region_bytes = 0;
std::uint64_t g_bump = 4096;
std::uint64_t g_committed = 0;
// Released runs, offset -> bytes, coalesced with their neighbours.
std::map<std::uint64_t, std::uint64_t> g_free;
// Committed runs, offset -> bytes, so a release can be checked.
std::map<std::uint64_t, std::uint64_t> g_used;

std::uint64_t round_pages(std::uint64_t n) {
  return (n + g_page - 1) & ~(g_page - 1);
}

// The region's pages cannot be had: the process ends as the runtime reports
// running out of memory.
[[noreturn]] void out_of_memory() {
  std::fputs("*** Runtime Error 94: out of memory\n*** at: 00000000h\n", stderr);
  std::_Exit(94);
}

// Reserved again: no access, no memory behind them, nothing of a file that
// was mapped there.
void reserve_again(std::uint64_t offset, std::uint64_t bytes) {
  mmap(g_base + offset, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
}

// The runs a boot image holds: saved as (offset, bytes) pairs; a process
// that starts from the image commits the image's runs and gives back those
// its own start-up committed that the image does not hold.
void save_runs(const std::map<std::uint64_t, std::uint64_t>& runs, image_state::Writer& w) {
  w.value(std::uint64_t(runs.size()));
  for (const auto& [off, bytes] : runs) {
    w.value(off);
    w.value(bytes);
  }
}

std::map<std::uint64_t, std::uint64_t> load_runs(image_state::Reader& r) {
  std::map<std::uint64_t, std::uint64_t> runs;
  std::uint64_t n = r.value<std::uint64_t>();
  for (std::uint64_t i = 0; i < n && r.good(); ++i) {
    std::uint64_t off = r.value<std::uint64_t>();
    runs.emplace(off, r.value<std::uint64_t>());
  }
  return runs;
}

void save_used(image_state::Writer& w) { save_runs(g_used, w); }
void save_free(image_state::Writer& w) { save_runs(g_free, w); }
void load_free(image_state::Reader& r) { g_free = load_runs(r); }

void load_used(image_state::Reader& r) {
  std::map<std::uint64_t, std::uint64_t> runs = load_runs(r);
  for (const auto& [off, bytes] : g_used) {
    auto kept = runs.find(off);
    if (kept != runs.end() && kept->second == bytes) continue;
    reserve_again(off, bytes);
  }
  for (const auto& [off, bytes] : runs) {
    auto had = g_used.find(off);
    if (had != g_used.end() && had->second == bytes) continue;
    if (off + bytes > g_region_bytes || mprotect(g_base + off, bytes, PROT_READ | PROT_WRITE) != 0)
      out_of_memory();
    QEL_UNPOISON(g_base + off, bytes);
  }
  g_used = std::move(runs);
}

QEL_IMAGE_KEEP(g_bump);
QEL_IMAGE_KEEP(g_committed);
QEL_IMAGE_KEEP_WITH(g_used, save_used, load_used);
QEL_IMAGE_KEEP_WITH(g_free, save_free, load_free);

}  // namespace

std::uint8_t* reserve_region(std::uint64_t bytes, std::uint64_t page_size) {
  if (g_base) return g_base;
  g_page = page_size;
  g_bump = page_size;
  g_region_bytes = bytes;
  void* p = mmap(nullptr, bytes, PROT_NONE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) out_of_memory();
  g_base = static_cast<std::uint8_t*>(p);
  return g_base;
}

std::uint8_t* region_base() { return g_base; }

std::uint32_t commit_pages(std::uint64_t bytes) {
  if (!g_base) return 0;
  bytes = round_pages(bytes ? bytes : 1);
  std::uint64_t off = 0;
  for (auto it = g_free.begin(); it != g_free.end(); ++it) {
    if (it->second >= bytes) {
      off = it->first;
      std::uint64_t rest = it->second - bytes;
      g_free.erase(it);
      if (rest) g_free.emplace(off + bytes, rest);
      break;
    }
  }
  if (!off) {
    if (g_bump + bytes > g_region_bytes) return 0;
    off = g_bump;
    g_bump += bytes;
  }
  if (mprotect(g_base + off, bytes, PROT_READ | PROT_WRITE) != 0) {
    g_free.emplace(off, bytes);
    return 0;
  }
  g_used.emplace(off, bytes);
  g_committed += bytes;
  QEL_UNPOISON(g_base + off, bytes);
  return std::uint32_t(off);
}

namespace {
bool g_deferring = false;
std::vector<std::pair<std::uint32_t, std::uint64_t>> g_deferred;
QEL_IMAGE_SKIP(g_deferring);
QEL_IMAGE_SKIP(g_deferred);
}  // namespace

void populate_pages(std::uint32_t offset, std::uint64_t bytes) {
  if (g_deferring) {
    g_deferred.emplace_back(offset, bytes);
    return;
  }
#ifdef MADV_POPULATE_WRITE
  if (g_base) madvise(g_base + offset, round_pages(bytes ? bytes : 1), MADV_POPULATE_WRITE);
#else
  (void)offset;
  (void)bytes;
#endif
}

void defer_populating() { g_deferring = true; }

void end_deferred_populating(bool populate) {
  g_deferring = false;
  if (populate) {
    for (const auto& [offset, bytes] : g_deferred) populate_pages(offset, bytes);
  }
  g_deferred.clear();
  g_deferred.shrink_to_fit();
}

bool move_file_pages(std::uint32_t offset, std::uint64_t bytes, const void* view) {
  bytes = round_pages(bytes ? bytes : 1);
  if (!g_base || offset + bytes > g_region_bytes) return false;
  void* to = g_base + offset;
  void* p = mremap(const_cast<void*>(view), bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, to);
  if (p == MAP_FAILED || mprotect(to, bytes, PROT_READ | PROT_WRITE) != 0) {
    mmap(to, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
    return false;
  }
  QEL_UNPOISON(to, bytes);
  return true;
}

void touched_pages(std::uint32_t offset, std::uint64_t bytes, std::vector<unsigned char>& out) {
  bytes = round_pages(bytes);
  out.assign(bytes / g_page, 1);
  static const long os_page = sysconf(_SC_PAGESIZE);
  if (!g_base || out.empty() || std::uint64_t(os_page) != g_page) return;
  if (mincore(g_base + offset, bytes, out.data()) != 0) {
    out.assign(bytes / g_page, 1);
    return;
  }
  for (unsigned char& b : out) b &= 1;
}

bool release_pages(std::uint32_t offset, std::uint64_t bytes) {
  bytes = round_pages(bytes ? bytes : 1);
  auto used = g_used.find(offset);
  if (used == g_used.end() || used->second != bytes) return false;
  g_used.erase(used);
  // Fresh reserved pages: a run backed by a file (move_file_pages) must not
  // show the file again when it is committed anew.
  reserve_again(offset, bytes);
  g_committed -= bytes;
  std::uint64_t off = offset;
  auto next = g_free.lower_bound(off);
  if (next != g_free.end() && off + bytes == next->first) {
    bytes += next->second;
    g_free.erase(next);
  }
  auto prev = g_free.lower_bound(off);
  if (prev != g_free.begin()) {
    --prev;
    if (prev->first + prev->second == off) {
      off = prev->first;
      bytes += prev->second;
      g_free.erase(prev);
    }
  }
  if (off + bytes == g_bump) {
    g_bump = off;  // the run ends the used part: give it back to the bump pointer
  } else {
    g_free.emplace(off, bytes);
  }
  return true;
}

std::uint64_t committed_bytes() { return g_committed; }

std::vector<std::pair<std::uint32_t, std::uint64_t>> committed_runs() {
  std::vector<std::pair<std::uint32_t, std::uint64_t>> out;
  out.reserve(g_used.size());
  for (const auto& [off, bytes] : g_used) out.emplace_back(std::uint32_t(off), bytes);
  return out;
}

}  // namespace qel::platform
