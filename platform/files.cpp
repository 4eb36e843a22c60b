#include "platform/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/std_streams.hpp"

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
  if (write_all(STDOUT_FILENO, bytes, n)) return true;
  streams::output_failed(errno);
  return false;
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

namespace {

const char* kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "is a directory";
  if (S_ISFIFO(mode)) return "is a FIFO";
  if (S_ISCHR(mode)) return "is a character device";
  if (S_ISBLK(mode)) return "is a block device";
  if (S_ISSOCK(mode)) return "is a socket";
  if (S_ISLNK(mode)) return "is a symbolic link";
  return "is not a regular file";
}

// Why the status does not describe a file of the program's own, or null.
const char* not_own(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return kind_of(st.st_mode);
  if (st.st_uid != geteuid()) return "belongs to another user";
  return nullptr;
}

std::string unreadable(int err) { return std::string("cannot be read (") + std::strerror(err) + ")"; }

std::string size_phrase(u64 limit) {
  return "is larger than " + std::to_string(limit >> 20) + " MB";
}

}  // namespace

std::string not_regular(const std::string& path) {
  struct stat st;
  if (!usable(path) || stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return {};
  return kind_of(st.st_mode);
}

OwnRead read_own_file(const std::string& path, u64 limit, std::vector<u8>& out, std::string& why) {
  out.clear();
  why.clear();
  struct stat st;
  if (!usable(path)) {
    why = "is no file name";
    return OwnRead::refused;
  }
  // Looked at before it is opened: a device is never opened at all.
  if (lstat(path.c_str(), &st) != 0) {
    // (nothing there, also when a directory on the way is a file)
    if (errno == ENOENT || errno == ENOTDIR) return OwnRead::missing;
    why = unreadable(errno);
    return OwnRead::refused;
  }
  if (const char* w = not_own(st)) {
    why = w;
    return OwnRead::refused;
  }
  // Then opened without following a link or waiting on a FIFO, and looked
  // at again: what was checked may have been replaced meanwhile.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    why = errno == ELOOP ? "is a symbolic link" : unreadable(errno);
    return OwnRead::refused;
  }
  if (fstat(fd, &st) != 0) why = unreadable(errno);
  else if (const char* w = not_own(st)) why = w;
  else if (u64(st.st_size) > limit) why = size_phrase(limit);
  // (a byte more than the size tells of a file that grows meanwhile)
  if (why.empty() && !read_fully(fd, out, std::size_t(st.st_size) + 1)) why = unreadable(errno);
  if (why.empty() && out.size() > limit) why = size_phrase(limit);
  close(fd);
  if (!why.empty()) {
    out.clear();
    return OwnRead::refused;
  }
  return OwnRead::ok;
}

bool replace_own_file(const std::string& path, const u8* bytes, std::size_t n, std::string& why) {
  why.clear();
  if (!usable(path)) {
    why = "is no file name";
    return false;
  }
  struct stat st;
  bool old = lstat(path.c_str(), &st) == 0;
  if (!old && errno != ENOENT) {
    why = std::strerror(errno);
    return false;
  }
  if (old) {
    if (const char* w = not_own(st)) {
      why = w;
      return false;
    }
  }
  // The new file: a name of this process's own beside the old one (on the
  // same file system, so that the rename replaces it in one step).
  std::string temp;
  int fd = -1;
  for (int i = 0; i < 100 && fd < 0; ++i) {
    temp = path + "." + std::to_string(getpid()) + "-" + std::to_string(i) + ".new";
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    why = std::strerror(errno);
    return false;
  }
  bool ok = (!old || fchmod(fd, st.st_mode & 07777) == 0) && write_all(fd, bytes, n) &&
            fsync(fd) == 0;
  int err = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    why = std::strerror(err);
  }
  return ok;
}

DirLock::DirLock(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (!usable(dir)) return;
  fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) return;
  while (flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd_);
      fd_ = -1;
      return;
    }
  }
}

DirLock::~DirLock() {
  if (fd_ >= 0) close(fd_);  // (closing releases the lock)
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
