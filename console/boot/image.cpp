// The boot image: its layout, its making at build time and its taking at
// start (console/boot/image.hpp).
//
// Layout (little-endian, as this machine writes it):
//   Header (below), then the payload:
//   - the runs: run_count pairs (u32 region offset, u32 bytes);
//   - the pieces: piece_count of (u32 name bytes, the name, u64 data bytes,
//     the data), one for each global declared kept, in any order;
//   - zero bytes up to data_offset, a multiple of the page size from the
//     image's start;
//   - the bytes of each run, in the order of the table, each padded with
//     zero bytes to a multiple of the page size.
// The build places the section at a page boundary of the file, so that a
// process maps the runs' pages from the file (copy-on-write) rather than
// copying them; elsewhere they are copied.
#include "console/boot/image.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/executable.hpp"
#include "platform/image_state.hpp"
#include "platform/pages.hpp"
#include "runtime/codecs/checksum.hpp"
#include "runtime/collector.hpp"
#include "runtime/config.hpp"
#include "runtime/memory.hpp"
#include "runtime/sanitize.hpp"

namespace qel::console::boot::image {

namespace {

constexpr char kMagic[8] = {'Q', 'E', 'L', 'I', 'M', 'A', 'G', 'E'};
constexpr u32 kFormat = 1;
constexpr const char* kSection = ".qel.image";

struct Header {
  char magic[8];
  u32 format;
  u32 header_bytes;
  // The memory layout the region was saved in.
  u32 cell_bytes;
  u32 page_bytes;
  u64 region_bytes;
  // The link that made it and the C library it ran on.
  u8 build_id[64];
  u32 build_id_bytes;
  char libc[36];
  // What runtime-init had left when the library started: a process takes
  // the image only when its own runtime-init left the same.
  u64 init_check;
  u32 run_count;
  u32 piece_count;
  u64 data_offset;  // of the runs' bytes, from the image's start
  u64 payload_bytes;
  u64 payload_check;
  u64 header_check;  // of the header with this field 0
};
static_assert(sizeof(Header) % 8 == 0);

u64 check_of(const void* p, std::size_t n, u64 seed = 0) {
  return codecs::checksum::lanes_crc32c(static_cast<const u8*>(p), n, seed);
}

u64 header_check(Header h) {
  h.header_check = 0;
  return check_of(&h, sizeof h);
}

// Read as it is, around the address sanitizer, which marks dead buffers.
QEL_NO_SANITIZE_ADDRESS bool zero_page(const u8* p, std::size_t n) {
  u64 any = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    u64 w;
    std::memcpy(&w, p + i, 8);
    any |= w;
  }
  for (; i < n; ++i) any |= p[i];
  return any == 0;
}

// What runtime-init left in the region and the memory record: the runs,
// and each page of them that holds a byte other than zero, with its
// offset. Pages runtime-init never touched are zero and are not read:
// reading them would fault each in only for the image to replace it.
u64 init_check() {
  u64 c = check_of(&mem::record, sizeof mem::record);
  std::vector<unsigned char> touched;
  for (const mem::Run& r : mem::image_runs()) {
    c = check_of(&r, sizeof r, c);
    platform::touched_pages(r.offset, r.bytes, touched);
    for (std::size_t i = 0; i < touched.size(); ++i) {
      const u32 at = r.offset + u32(i * config::PAGE_SIZE);
      const std::size_t n = std::min<std::size_t>(config::PAGE_SIZE, r.offset + r.bytes - at);
      const u8* page = mem::at<u8>(at);
      if (!touched[i] || zero_page(page, n)) continue;
      c = check_of(&at, sizeof at, c);
      c = check_of(page, n, c);
    }
  }
  return c;
}

// The environment's switches (runtime/config.hpp).
const char* env(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? v : nullptr;
}

bool on(const char* name) {
  const char* v = env(name);
  return v && std::strcmp(v, "0") != 0;
}

bool say_why() { return on(config::BOOT_REPORT_ENV); }

void why(const char* what, const char* reason = "") {
  if (!say_why()) return;
  std::fprintf(stderr, "boot image: %s%s\n", what, reason);
  std::fflush(stderr);
}

// ---- making -------------------------------------------------------------

// The executable's writable data as runtime-init left it, and the check of
// what it left in memory (making only).
u8* g_noted = nullptr;
u64 g_init_check = 0;
QEL_IMAGE_SKIP(g_noted);
QEL_IMAGE_SKIP(g_init_check);

[[noreturn]] void fail(const std::string& why_not) {
  std::fflush(stdout);
  std::fprintf(stderr, "qel: cannot make the boot image: %s\n", why_not.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

// The executable's writable data is read byte by byte, around the address
// sanitizer, which marks the gaps it puts between globals (volatile: the
// loops must not become calls of memcpy or memcmp, which it watches).
QEL_NO_SANITIZE_ADDRESS void copy_writable(u8* out, const u8* from, std::size_t n) {
  const volatile u8* in = from;
  for (std::size_t i = 0; i < n; ++i) out[i] = in[i];
}

QEL_NO_SANITIZE_ADDRESS bool changed_at(const u8* p, std::size_t i) {
  const volatile u8* now = p;
  return now[i] != g_noted[i];
}

// The declared piece that holds the byte, or null.
const image_state::Piece* piece_at(const u8* p) {
  for (const image_state::Piece& q : image_state::pieces()) {
    const u8* d = static_cast<const u8*>(q.data);
    if (p >= d && p < d + q.size) return &q;
  }
  return nullptr;
}

// Every byte of the writable data that start-up changed lies in a declared
// global; those that do not are named (by the executable's symbol table).
void check_changes() {
  u8* now = image_state::writable_start();
  const std::size_t n = std::size_t(image_state::writable_end() - now);
  std::string missing;
  std::string last;
  for (std::size_t i = 0; i < n; ++i) {
    if (!changed_at(now, i) || piece_at(now + i)) continue;
    const u64 offset = image_state::executable_offset(now + i);
    std::string name = platform::symbol_at(offset);
    if (name.empty()) {
      char where[64];
      std::snprintf(where, sizeof where, "the data at 0x%llx", static_cast<unsigned long long>(offset));
      name = where;
    }
    if (name == last) continue;
    last = name;
    missing += "\n  " + name;
  }
  std::free(g_noted);
  g_noted = nullptr;
  if (!missing.empty())
    fail("start-up changed globals that no QEL_IMAGE_ declaration covers (platform/image_state.hpp):" +
         missing);
}

constexpr u64 kPage = config::PAGE_SIZE;
u64 page_round(u64 n) { return (n + kPage - 1) & ~(kPage - 1); }

void append(std::vector<u8>& out, const void* p, std::size_t n) {
  const u8* b = static_cast<const u8*>(p);
  out.insert(out.end(), b, b + n);
}

// ---- loading ------------------------------------------------------------

struct Parsed {
  const mem::Run* runs = nullptr;
  std::vector<std::pair<const image_state::Piece*, std::pair<const u8*, u64>>> pieces;
  const u8* data = nullptr;
};

// Reads the payload's tables; false when they do not fit the payload or
// do not name exactly the pieces this program declares.
bool parse(const Header& h, const u8* payload, Parsed& out, const char** reason) {
  const u8* p = payload;
  const u8* end = payload + h.payload_bytes;
  *reason = "its tables do not fit it";
  if (u64(h.run_count) * sizeof(mem::Run) > u64(end - p)) return false;
  out.runs = reinterpret_cast<const mem::Run*>(p);
  p += std::size_t(h.run_count) * sizeof(mem::Run);
  // The image holds the declared pieces but the skipped ones, in the order
  // of the link, as the maker wrote them.
  const image_state::Pieces declared = image_state::pieces();
  const image_state::Piece* next = declared.begin();
  auto skip_skipped = [&] {
    while (next != declared.end() && next->kind == image_state::Kind::skip) ++next;
  };
  for (u32 i = 0; i < h.piece_count; ++i) {
    u32 name_bytes;
    u64 data_bytes;
    if (end - p < 4) return false;
    std::memcpy(&name_bytes, p, 4);
    p += 4;
    if (u64(end - p) < u64(name_bytes) + 8) return false;
    const char* name = reinterpret_cast<const char*>(p);
    p += name_bytes;
    std::memcpy(&data_bytes, p, 8);
    p += 8;
    if (u64(end - p) < data_bytes) return false;
    skip_skipped();
    *reason = "it holds state this program does not declare";
    if (next == declared.end() || std::strlen(next->name) != name_bytes ||
        std::memcmp(next->name, name, name_bytes) != 0)
      return false;
    const image_state::Piece* q = next++;
    if ((q->kind == image_state::Kind::keep && data_bytes != q->size) ||
        ((q->kind == image_state::Kind::keep_pointers || q->kind == image_state::Kind::keep_region_pointers) &&
         data_bytes != q->size / sizeof(void*) * 8))
      return false;
    out.pieces.push_back({q, {p, data_bytes}});
    p += data_bytes;
    *reason = "its tables do not fit it";
  }
  skip_skipped();
  *reason = "it lacks state this program declares";
  if (next != declared.end()) return false;
  *reason = "its runs do not fit it";
  const u64 data = h.data_offset;  // from the image's start
  if (data % kPage != 0 || data < sizeof(Header) + u64(p - payload) || data - sizeof(Header) > h.payload_bytes)
    return false;
  out.data = payload + (data - sizeof(Header));
  u64 need = 0;
  u64 last_end = 0;
  for (u32 i = 0; i < h.run_count; ++i) {
    const mem::Run& r = out.runs[i];
    if (r.offset < last_end || r.offset % kPage != 0 || u64(r.offset) + r.bytes > config::REGION_BYTES) return false;
    last_end = u64(r.offset) + r.bytes;
    need += page_round(r.bytes);
  }
  return need <= u64(end - out.data);
}

}  // namespace

bool making() { return env(config::MAKE_IMAGE_ENV) != nullptr; }

void note_start() {
  g_init_check = init_check();
  const std::size_t n = std::size_t(image_state::writable_end() - image_state::writable_start());
  u8* copy = static_cast<u8*>(std::malloc(n));
  if (!copy) fail("no memory");
  copy_writable(copy, image_state::writable_start(), n);
  g_noted = copy;
}

void make_and_exit() {
  const char* path = env(config::MAKE_IMAGE_ENV);
  if (!g_noted) fail("the library did not run from the boot data");
  check_changes();
  Header h{};
  std::memcpy(h.magic, kMagic, sizeof kMagic);
  h.format = kFormat;
  h.header_bytes = sizeof(Header);
  h.cell_bytes = sizeof(Cell);
  h.page_bytes = config::PAGE_SIZE;
  h.region_bytes = config::REGION_BYTES;
  const std::string id = platform::build_id();
  if (id.empty() || id.size() > sizeof h.build_id) fail("the executable has no build identity");
  std::memcpy(h.build_id, id.data(), id.size());
  h.build_id_bytes = u32(id.size());
  const std::string libc = platform::libc_version();
  if (libc.size() >= sizeof h.libc) fail("the C library's version is too long");
  std::memcpy(h.libc, libc.data(), libc.size());
  h.init_check = g_init_check;
  // Compacted first: the garbage of the library's run is not saved.
  gc::compact_unseen();
  mem::seal_image_frames();
  std::vector<mem::Run> runs = mem::image_runs();
  std::vector<u8> payload;
  append(payload, runs.data(), runs.size() * sizeof(mem::Run));
  u32 pieces = 0;
  for (const image_state::Piece& q : image_state::pieces()) {
    if (q.kind == image_state::Kind::skip) continue;
    std::vector<u8> bytes;
    image_state::Writer w(bytes);
    if (!image_state::save(q, w)) fail(std::string(q.name) + ": " + w.error());
    const std::string name = q.name;
    const u32 name_bytes = u32(name.size());
    const u64 data_bytes = bytes.size();
    append(payload, &name_bytes, 4);
    append(payload, name.data(), name.size());
    append(payload, &data_bytes, 8);
    append(payload, bytes.data(), bytes.size());
    ++pieces;
  }
  h.data_offset = page_round(sizeof(Header) + payload.size());
  payload.resize(h.data_offset - sizeof(Header), 0);
  for (const mem::Run& r : runs) {
    QEL_UNPOISON(mem::at<u8>(r.offset), r.bytes);  // dead buffers are copied too
    append(payload, mem::at<u8>(r.offset), r.bytes);
    payload.resize(page_round(payload.size() + sizeof(Header)) - sizeof(Header), 0);
  }
  h.run_count = u32(runs.size());
  h.piece_count = pieces;
  h.payload_bytes = payload.size();
  h.payload_check = check_of(payload.data(), payload.size());
  h.header_check = header_check(h);
  std::string tmp = std::string(path) + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f || std::fwrite(&h, sizeof h, 1, f) != 1 ||
      std::fwrite(payload.data(), 1, payload.size(), f) != payload.size() || std::fclose(f) != 0 ||
      std::rename(tmp.c_str(), path) != 0)
    fail(std::string("cannot write ") + path);
  std::fflush(stdout);
  std::_Exit(0);
}

bool load() {
  if (env(config::MAKE_IMAGE_ENV)) return false;
  const char* setting = env(config::BOOT_IMAGE_ENV);
  if (setting && std::strcmp(setting, "0") == 0) {
    why("not taken: the environment asks for the boot data");
    return false;
  }
  // The boot data's own switches: the sources, a collector stressed during
  // start-up, the library's code traced as any other: each changes what
  // the library leaves.
  if (on("QEL_BOOT_SOURCE") || gc::stress_during_boot() || env(config::TRACE_LIBRARY_ENV)) {
    why("not taken: the environment asks for start-up from the library");
    return false;
  }
  platform::MappedSection section;
  if (!section.open(kSection)) {
    why(section.truncated() ? "refused: it runs past the end of the file" : "none in the executable");
    return false;
  }
  auto refuse = [](const char* reason) {
    why("refused: ", reason);
    return false;
  };
  Header h;
  if (section.size() < sizeof h) return refuse("it is shorter than its header");
  std::memcpy(&h, section.data(), sizeof h);
  if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0 || h.format != kFormat || h.header_bytes != sizeof h)
    return refuse("it is no image of this format");
  if (header_check(h) != h.header_check) return refuse("its header is damaged");
  const std::string id = platform::build_id();
  if (id.empty() || h.build_id_bytes != id.size() || std::memcmp(h.build_id, id.data(), id.size()) != 0)
    return refuse("it comes from another build");
  if (h.libc[sizeof h.libc - 1] != 0 || platform::libc_version() != h.libc)
    return refuse("it was made under another C library");
  if (h.cell_bytes != sizeof(Cell) || h.page_bytes != config::PAGE_SIZE || h.region_bytes != config::REGION_BYTES)
    return refuse("it has another memory layout");
  if (h.payload_bytes > section.size() - sizeof h) return refuse("it is truncated");
  const u8* payload = section.data() + sizeof h;
  if (check_of(payload, h.payload_bytes) != h.payload_check) return refuse("its bytes are damaged");
  Parsed parsed;
  const char* reason = nullptr;
  if (!parse(h, payload, parsed, &reason)) return refuse(reason);
  if (init_check() != h.init_check) return refuse("runtime-init left the memory otherwise here");
  // Taken: from here on the process is the image's.
  for (const auto& [piece, data] : parsed.pieces) {
    image_state::Reader r(data.first, data.second);
    if (!image_state::load(*piece, r)) {
      std::fprintf(stderr, "*** boot image: %s does not read back\n", piece->name);
      std::_Exit(1);
    }
  }
  // The runs' pages come from the file when the section lies at a page
  // boundary of it: the section's view of them, read by the check above,
  // moves into the region, so that they are neither read again nor held
  // twice. Else, or when the OS refuses, they are copied.
  const bool mapped = section.file_offset() % kPage == 0;
  u64 at = u64(parsed.data - section.data());  // from the image's start
  const std::vector<mem::Run> runs(parsed.runs, parsed.runs + h.run_count);
  for (const mem::Run& r : runs) {
    if (!mapped || !platform::move_file_pages(r.offset, r.bytes, section.data() + at)) {
      QEL_UNPOISON(mem::at<u8>(r.offset), r.bytes);
      if (!mapped) {
        std::memcpy(mem::at<u8>(r.offset), section.data() + at, r.bytes);
      } else if (!section.read_file(mem::at<u8>(r.offset), r.bytes, section.file_offset() + at)) {
        std::fprintf(stderr, "*** boot image: its pages cannot be read back\n");
        std::_Exit(1);
      }
    }
    at += page_round(r.bytes);
  }
  // What is left of the view (the header, the tables) goes; nothing was
  // mapped since the moves, so no other mapping lies in its range.
  section.unmap();
  mem::adopt_image(runs);
  why("taken");
  return true;
}

}  // namespace qel::console::boot::image
