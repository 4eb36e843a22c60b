#include "platform/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace qel::platform {

namespace {

bool usable(const std::string& path) {
  return !path.empty() && path.find('\0') == std::string::npos;
}

// Reads until n bytes are in out past `have`, or the end; false on an error.
bool read_fully(int fd, std::vector<u8>& out, std::size_t n) {
  std::size_t start = out.size();
  out.resize(start + n);
  std::size_t got = 0;
  while (got < n) {
    ssize_t r = ::read(fd, out.data() + start + got, n - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) break;  // the file shrank meanwhile: keep what there was
    got += std::size_t(r);
  }
  out.resize(start + got);
  return true;
}

// A stream of unknown size: read in 64 KB pieces until its end, or until
// `limit` bytes (< 0: no limit) are in.
bool read_stream(int fd, std::vector<u8>& out, i64 limit) {
  constexpr std::size_t PIECE = 65536;
  for (;;) {
    std::size_t want = PIECE;
    if (limit >= 0) {
      if (i64(out.size()) >= limit) return true;
      want = std::size_t(std::min<i64>(limit - i64(out.size()), i64(PIECE)));
    }
    std::size_t before = out.size();
    out.resize(before + want);
    ssize_t r;
    do {
      r = ::read(fd, out.data() + before, want);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
      out.resize(before);
      return false;
    }
    out.resize(before + std::size_t(r));
    if (r == 0) return true;
  }
}

bool write_all(int fd, const u8* bytes, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(fd, bytes + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (w == 0) return false;
    done += std::size_t(w);
  }
  return true;
}

}  // namespace

std::optional<u64> file_size(const std::string& path) {
  if (!usable(path)) return std::nullopt;
  // Opened for reading (without blocking on a FIFO), as a file whose size a
  // script asks for is one it means to read.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode) && st.st_size >= 0;
  close(fd);
  if (!ok) return std::nullopt;
  return u64(st.st_size);
}

ReadResult read_file(const std::string& path, i64 part, i64 seek, std::vector<u8>& out) {
  out.clear();
  if (!usable(path)) return ReadResult::cannot_open;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ReadResult::cannot_open;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return ReadResult::cannot_open;
  }
  ReadResult result = ReadResult::ok;
  if (S_ISREG(st.st_mode) && st.st_size > 0) {
    i64 size = st.st_size;
    if (seek > 0) {
      size -= seek;
      if (size < 0) size = 0;  // past the end: nothing to read
      if (size > 0 && lseek(fd, off_t(seek), SEEK_SET) < 0) size = 0;
    }
    if (part >= 0 && part < size) size = part;
    if (u64(size) > MAX_READ) result = ReadResult::too_large;
    else if (!read_fully(fd, out, std::size_t(size))) result = ReadResult::cannot_open;
  } else {
    // Read once: a pipe cannot be rewound, so the seek is taken from what
    // was read rather than by moving back.
    i64 from = seek > 0 ? seek : 0;
    i64 limit = i64(MAX_READ) + from + 1;
    if (part >= 0 && from + part < limit) limit = from + part;
    if (!read_stream(fd, out, limit)) {
      result = ReadResult::cannot_open;
    } else {
      if (from >= i64(out.size())) out.clear();
      else out.erase(out.begin(), out.begin() + from);
      if (out.size() > MAX_READ) result = ReadResult::too_large;
    }
  }
  close(fd);
  if (result != ReadResult::ok) out.clear();
  return result;
}

PieceReader::~PieceReader() {
  if (fd_ >= 0) close(fd_);
}

bool PieceReader::open(const std::string& path) {
  if (fd_ >= 0 || !usable(path)) return false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

i64 PieceReader::read(u8* into, std::size_t n) {
  ssize_t r;
  do {
    r = ::read(fd_, into, n);
  } while (r < 0 && errno == EINTR);
  return r;
}

bool PieceReader::rewind() { return lseek(fd_, 0, SEEK_SET) == 0; }

WriteResult write_file(const std::string& path, const u8* bytes, std::size_t n, bool append,
                       i64 seek) {
  if (!usable(path)) return WriteResult::cannot_open;
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
  if (append) flags |= O_APPEND;
  else if (seek < 0) flags |= O_TRUNC;
  int fd = open(path.c_str(), flags, 0666);
  if (fd < 0) return WriteResult::cannot_open;
  bool ok = true;
  if (!append && seek > 0) ok = lseek(fd, off_t(seek), SEEK_SET) >= 0;
  ok = ok && write_all(fd, bytes, n);
  // A full disk may show only when the data leaves the cache at close.
  if (close(fd) != 0) ok = false;
  return ok ? WriteResult::ok : WriteResult::failed;
}

bool write_stdout(const u8* bytes, std::size_t n) {
  std::fflush(stdout);
  return write_all(STDOUT_FILENO, bytes, n);
}

bool list_dir(const std::string& path, std::vector<std::string>& names) {
  names.clear();
  if (!usable(path)) return false;
  DIR* d = opendir(path.c_str());
  if (!d) return false;
  std::string base = path;
  if (base.back() != '/') base += '/';
  // Only readdir's own errno tells of a failed listing: a link that leads
  // nowhere (or round in a loop) is listed as a file, its failed stat
  // forgotten.
  bool ok = true;
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(d);
    if (!e) {
      ok = errno == 0;
      break;
    }
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    bool dir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) dir = is_dir(base + name);
    if (dir) name += '/';
    names.push_back(std::move(name));
  }
  closedir(d);
  return ok;
}

bool remove_file(const std::string& path) { return usable(path) && unlink(path.c_str()) == 0; }
bool remove_dir(const std::string& path) { return usable(path) && rmdir(path.c_str()) == 0; }

// A rename never replaces an existing target (the Windows rename this stands
// for refuses to): the kernel checks it, so no other process can slip a file
// in between. A file system that cannot check it gets a hard link made and
// the old name removed, which also fails on an existing target; a directory
// is not renamed there.
bool rename_path(const std::string& from, const std::string& to) {
  if (!usable(from) || !usable(to)) return false;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  if (::unlink(from.c_str()) != 0) {
    ::unlink(to.c_str());
    return false;
  }
  return true;
}

bool make_dir(const std::string& path) { return usable(path) && mkdir(path.c_str(), 0777) == 0; }

bool exists(const std::string& path) {
  struct stat st;
  return usable(path) && stat(path.c_str(), &st) == 0;
}

bool is_dir(const std::string& path) {
  struct stat st;
  return usable(path) && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<FileTime> modified(const std::string& path) {
  struct stat st;
  if (!usable(path) || stat(path.c_str(), &st) != 0) return std::nullopt;
  if (path.back() == '/' && !S_ISDIR(st.st_mode)) return std::nullopt;
  struct tm tm{};
  time_t secs = st.st_mtim.tv_sec;
  if (!gmtime_r(&secs, &tm)) return std::nullopt;
  FileTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec;
  t.nanoseconds = i32(st.st_mtim.tv_nsec / 1000000 * 1000000);
  return t;
}

}  // namespace qel::platform
