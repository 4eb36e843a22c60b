// The file layer over POSIX. Paths cross this boundary as UTF-8 in the OS's
// own notation; a path that is empty or holds a NUL byte names no file (the
// OS would read a NUL as the end of a shorter path and answer for another
// file). Nothing here raises: failures answer false, nothing or a code, and
// the Qel-facing layer (io/files) turns them into errors.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/types.hpp"

namespace qel::platform {

// The size in bytes of the file at the path; nothing for a directory, a
// file that cannot be opened for reading, or a path holding a NUL byte.
std::optional<u64> file_size(const std::string& path);

// Reads the file into out: from byte `seek` (< 0: from the start) at most
// `part` bytes (< 0: to the end; 0: nothing). A seek past the end reads
// nothing. A file whose size the OS does not know (a pipe, a FIFO, a device)
// is read once, in pieces, into a growing buffer, and the seek and part are
// taken from what was read (a part stops the reading early). More than
// MAX_READ bytes are never read: a value could not hold them.
inline constexpr u64 MAX_READ = 0x40000000ull;  // 1 GiB
enum class ReadResult { ok, cannot_open, too_large };
ReadResult read_file(const std::string& path, i64 part, i64 seek, std::vector<u8>& out);

// A regular file read from its start in pieces, for a reader that need not
// hold the whole of it at once. Closed when the reader goes.
class PieceReader {
 public:
  PieceReader() = default;
  ~PieceReader();
  PieceReader(const PieceReader&) = delete;
  PieceReader& operator=(const PieceReader&) = delete;
  // Opens the file: false for a path that names no regular file (a
  // directory, a pipe, a device) or that cannot be opened.
  bool open(const std::string& path);
  // Reads at most n bytes from where the last read ended: the count read,
  // 0 at the end of the file, -1 on a failure.
  i64 read(u8* into, std::size_t n);
  // Goes back to the start of the file; false on a failure.
  bool rewind();

 private:
  int fd_ = -1;
};

// Writes the bytes: over a new or emptied file, at its end (append), or from
// byte `seek` of the existing contents (seek >= 0, nothing cut). Every byte is
// written or the call fails.
enum class WriteResult { ok, cannot_open, failed };
WriteResult write_file(const std::string& path, const u8* bytes, std::size_t n, bool append,
                       i64 seek);
// Writes every byte to the standard output; false when that fails.
bool write_stdout(const u8* bytes, std::size_t n);

// What the path names when that is not a regular file, as a phrase ("is a
// directory", "is a FIFO", "is a character device", ...), links followed;
// empty for a regular file and for a path that names nothing.
std::string not_regular(const std::string& path);

// A file the program keeps for itself (the console's settings): it is read
// and replaced only when it is a regular file of the user's own, of at most
// `limit` bytes, named directly (not through a symbolic link). Nothing is
// opened in a way that could block (a FIFO) or read without end (a device).
// A file refused, or an error, is described in `why` as a phrase ("is a
// symbolic link", "belongs to another user", "is larger than 16 MB", or the
// system's message).
enum class OwnRead { missing, ok, refused };
OwnRead read_own_file(const std::string& path, u64 limit, std::vector<u8>& out, std::string& why);
// Writes the bytes into a new file beside the path, then renames it over the
// path, so that a failed write (a full disk) leaves the old file whole and a
// reader never sees half of it. The old file's permissions are kept. Refused
// as above when the path names something that is not the program's own file.
bool replace_own_file(const std::string& path, const u8* bytes, std::size_t n, std::string& why);
// While it lives, an exclusive lock on the directory that holds the path, so
// that processes that update a file there do it one at a time (none when the
// directory cannot be opened).
class DirLock {
 public:
  explicit DirLock(const std::string& path);
  ~DirLock();
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;

 private:
  int fd_ = -1;
};

// The names of a directory's entries but "." and "..", a directory's with
// "/" appended, in the order the OS gives them; false when it cannot be read.
bool list_dir(const std::string& path, std::vector<std::string>& names);

bool remove_file(const std::string& path);  // unlink
bool remove_dir(const std::string& path);   // an empty directory
bool rename_path(const std::string& from, const std::string& to);
bool make_dir(const std::string& path);
bool exists(const std::string& path);       // a file or a directory
bool is_dir(const std::string& path);

// The last modification time in UTC, to the millisecond; nothing when the
// path cannot be queried, or when it ends with "/" and names no directory.
struct FileTime {
  i32 year, month, day, hour, minute, second, nanoseconds;
};
std::optional<FileTime> modified(const std::string& path);

}  // namespace qel::platform
