#include "io/files.hpp"

#include <cmath>
#include <cstring>

#include "datatypes/binary.hpp"
#include "datatypes/block.hpp"
#include "datatypes/date.hpp"
#include "datatypes/file_url.hpp"
#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "platform/files.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"

namespace qel::io::files {

namespace {

Cell* refine_word(const char* name) { return intern_word(name); }

// A /part or /seek argument as a count: an integer!, or a float! cut to its
// whole part; anything else raises script invalid-refine-arg.
i64 count_of(const Cell* v, const char* refinement, bool integer_only) {
  if (type_of(v) == TYPE_INTEGER) return int_of(v);
  if (!integer_only && type_of(v) == TYPE_FLOAT && std::isfinite(float_of(v)) &&
      std::fabs(float_of(v)) < 9e15) {
    return i64(float_of(v));
  }
  Cell word = *refine_word(refinement);
  fire(Err::script_invalid_refine_arg, &word, v);
}

void append_text_bytes(const Cell* value, i64 part, std::vector<u8>& out) {
  std::string text;
  {
    stack::Mark mark;
    Cell* v = stack::push_cell(value);
    if (part >= 0 && i64(string::length_from_index(v)) > part) {
      Cell* cut = make_none(stack::push());
      string::make_at(cut, u32(part) + 1, 1);
      string::concatenate(cut, v, i32(part));
      v = cut;
    }
    text = string::to_utf8(v);
  }
  out.insert(out.end(), text.begin(), text.end());
}

void append_value_bytes(const Cell* value, i64 part, std::vector<u8>& out) {
  Type t = type_of(value);
  if (t == TYPE_STRING) {
    append_text_bytes(value, part, out);
  } else if (t == TYPE_BINARY) {
    std::vector<u8> b = binary::bytes_from_index(value, part);  // -1: all of it
    out.insert(out.end(), b.begin(), b.end());
  } else {
    stack::Mark mark;
    Cell* v = stack::push_cell(value);
    Cell* text = make_none(stack::push());
    string::make_at(text, 64, 1);
    actions::mold(v, text, false, false, false, nullptr, 0x7FFFFFFF, 0);
    append_text_bytes(text, part, out);
  }
}

}  // namespace

bool dir_q(const std::string& p) {
  if (p.empty()) return false;
  if (p.back() == '/') return true;
  if (p == "." || p == "..") return true;
  auto ends = [&](const char* s) {
    std::string e(s);
    return p.size() >= e.size() && p.compare(p.size() - e.size(), e.size(), e) == 0;
  };
  return ends("/.") || ends("/..");
}

std::vector<u8> normalize_line_ends(const u8* bytes, std::size_t n) {
  std::vector<u8> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (bytes[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < n && bytes[i + 1] == '\n') ++i;
    } else {
      out.push_back(bytes[i]);
    }
  }
  return out;
}

namespace {

// Finds the line ends of text handed over in pieces: an LF, a CR LF or a
// lone CR, a CR LF split between two pieces still one end.
class LineEnds {
 public:
  // Where the piece's text starts: after the LF of a CR LF that the last
  // piece cut between its CR and its LF.
  std::size_t start(const u8* bytes, std::size_t n) {
    bool lf_of_cr = after_cr_ && n > 0 && bytes[0] == '\n';
    after_cr_ = false;
    return lf_of_cr ? 1 : 0;
  }
  // Calls `at(end, next)` for each line end of the piece from byte `i` (the
  // line ends before byte `end`, the next one starts at byte `next`).
  template <class At>
  void find(const u8* bytes, std::size_t i, std::size_t n, At&& at) {
    if (!std::memchr(bytes + i, '\r', n - i)) {
      // LF ends alone (the common case): found a line at a time.
      while (const void* lf = std::memchr(bytes + i, '\n', n - i)) {
        std::size_t end = std::size_t(static_cast<const u8*>(lf) - bytes);
        i = end + 1;
        at(end, i);
      }
      return;
    }
    for (; i < n; ++i) {
      u8 c = bytes[i];
      if (c != '\n' && c != '\r') continue;
      std::size_t end = i;
      if (c == '\r') {
        if (i + 1 == n) after_cr_ = true;
        else if (bytes[i + 1] == '\n') ++i;
      }
      at(end, i + 1);
    }
  }

 private:
  bool after_cr_ = false;
};

// Cuts text handed over in pieces into lines and hands each line's bytes to
// `take`, which decodes it. Bytes that run on past the end of a piece wait
// in `carry_`.
class LineCutter {
 public:
  template <class Take>
  void piece(const u8* bytes, std::size_t n, Take&& take) {
    std::size_t start = ends_.start(bytes, n);
    ends_.find(bytes, start, n, [&](std::size_t end, std::size_t next) {
      if (carry_.empty()) {
        take(bytes + start, end - start);
      } else {
        carry_.insert(carry_.end(), bytes + start, bytes + end);
        take(carry_.data(), carry_.size());
        carry_.clear();
      }
      start = next;
    });
    carry_.insert(carry_.end(), bytes + start, bytes + n);
  }
  // The text after the last line end is a last line when it is not empty.
  template <class Take>
  void end(Take&& take) {
    if (!carry_.empty()) take(carry_.data(), carry_.size());
    carry_.clear();
  }

 private:
  LineEnds ends_;
  std::vector<u8> carry_;
};

// Lines the text will give at most: one more than its line ends.
class LineCounter {
 public:
  void piece(const u8* bytes, std::size_t n) {
    ends_.find(bytes, ends_.start(bytes, n), n, [&](std::size_t, std::size_t) { ++count_; });
  }
  u64 lines() const { return count_ + 1; }

 private:
  LineEnds ends_;
  u64 count_ = 0;
};

// A new block (pushed) for that many lines, and what decodes a line into it.
Cell* make_lines_block(u64 lines) {
  if (lines > u64(0x7FFFFFF0)) fire(Err::internal_no_memory);
  Cell* block = make_none(stack::push());
  block::make_at(block, i32(lines));
  return block;
}

void take_line(Cell* block, const u8* bytes, std::size_t n) {
  // A line of ASCII, most lines of most files, is its bytes as they are.
  std::size_t i = 0;
  u64 high = 0;
  for (; i + 8 <= n; i += 8) {
    u64 w;
    std::memcpy(&w, bytes + i, 8);
    high |= w;
  }
  for (; i < n; ++i) high |= bytes[i];
  if (high & 0x8080808080808080ull) {
    string::load_in(bytes, u32(n), series_node(block), string::Encoding::utf8);
    return;
  }
  stack::Mark mark;
  Cell* line = string::make_at(stack::push(), u32(n));
  if (n) std::memcpy(mem::alloc_tail_bytes(series_node(line), u32(n)), bytes, n);
  copy_cell(line, mem::alloc_tail_cell(series_node(block)));
}

// read/lines of a whole regular file: its lines taken from pieces of it as
// they are read (first counted, then decoded), so that the whole text is
// never held beside its lines. Null when the path names no regular file
// that opens: read then goes the common way, which also reports why.
Cell* read_file_lines(const std::string& path, const Cell* source) {
  platform::PieceReader file;
  if (!file.open(path)) return nullptr;
  constexpr std::size_t PIECE = 65536;
  std::vector<u8> buf(PIECE);
  LineCounter counter;
  u64 total = 0;
  for (;;) {
    i64 n = file.read(buf.data(), PIECE);
    if (n < 0) return nullptr;
    if (n == 0) break;
    total += u64(n);
    if (total > platform::MAX_READ) fire(Err::internal_no_memory);
    counter.piece(buf.data(), std::size_t(n));
  }
  if (!file.rewind()) return nullptr;
  Cell* block = make_lines_block(counter.lines());
  LineCutter cutter;
  auto take = [&](const u8* bytes, std::size_t n) { take_line(block, bytes, n); };
  // The file is read no further than it was counted (it may grow meanwhile).
  for (u64 left = total; left > 0;) {
    i64 n = file.read(buf.data(), std::size_t(std::min<u64>(left, PIECE)));
    if (n < 0) fire(Err::access_cannot_open, source);
    if (n == 0) break;
    left -= u64(n);
    cutter.piece(buf.data(), std::size_t(n), take);
  }
  cutter.end(take);
  return block;
}

}  // namespace

Cell* bytes_to_value(const std::vector<u8>& bytes, bool binary, bool lines) {
  if (binary) return binary::load(bytes);
  if (!lines) {
    // The decoder turns CR LF and a lone CR into LF as it goes.
    Cell* out = make_none(stack::push());
    return make_series(out, TYPE_STRING,
                       unicode::load_utf8(bytes.data(), u32(bytes.size()), nullptr, nullptr, true));
  }
  LineCounter counter;
  counter.piece(bytes.data(), bytes.size());
  Cell* block = make_lines_block(counter.lines());
  LineCutter cutter;
  auto take = [&](const u8* text, std::size_t n) { take_line(block, text, n); };
  cutter.piece(bytes.data(), bytes.size(), take);
  cutter.end(take);
  return block;
}

// Text goes out with LF line ends, as Linux text files have them (no CR LF).
std::vector<u8> value_to_bytes(const Cell* value, i64 part, bool lines) {
  std::vector<u8> out;
  if (lines && type_of(value) == TYPE_BLOCK) {
    stack::Mark mark;
    Cell* b = stack::push_cell(value);
    // Each value is read from the block anew: molding may allocate.
    for (u32 i = 0; i < u32(std::max(block::length_from_index(b), 0)); ++i) {
      {
        stack::Mark item_mark;
        Cell* item = stack::push_cell(block::cell_at(b, u32(series_index(b)) + i));
        append_value_bytes(item, part, out);
      }
      out.push_back('\n');
    }
    return out;
  }
  append_value_bytes(value, part, out);
  if (lines) out.push_back('\n');
  return out;
}

Cell* read_dir(const Cell* file) {
  std::string path = file::to_local_path(file);
  std::vector<std::string> names;
  if (!platform::list_dir(path, names)) fire(Err::access_cannot_open, file);
  Cell* block = make_none(stack::push());
  block::make_at(block, i32(names.size()) + 1);
  for (const std::string& name : names) {
    stack::Mark mark;
    block::append_copy(block, file::load_os_name(reinterpret_cast<const u8*>(name.data()), u32(name.size())));
  }
  return block;
}

Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as) {
  if (as) fire(Err::internal_not_done);
  std::string path = file::to_local_path(source);
  if (dir_q(path)) return read_dir(source);
  if (lines && !binary && !part && !seek) {
    if (Cell* block = read_file_lines(path, source)) return block;
  }
  i64 p = part ? count_of(part, "part", false) : -1;
  i64 s = seek ? count_of(seek, "seek", false) : -1;
  if (s < 0) s = -1;
  std::vector<u8> bytes;
  switch (platform::read_file(path, p, s, bytes)) {
    case platform::ReadResult::ok: break;
    case platform::ReadResult::cannot_open: fire(Err::access_cannot_open, source);
    case platform::ReadResult::too_large: fire(Err::internal_no_memory);
  }
  return bytes_to_value(bytes, binary, lines);
}

Cell* write(Cell* dest, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part,
            Cell* seek, Cell* allow, Cell* as) {
  if (allow || as) fire(Err::internal_not_done);
  i64 p = part ? count_of(part, "part", true) : -1;
  i64 s = seek ? count_of(seek, "seek", false) : -1;
  Cell* result = make_unset(stack::push());
  if (part && p < 0) return result;  // a negative part writes nothing
  std::vector<u8> bytes = value_to_bytes(data, p, lines);
  std::string path = file::to_local_path(dest);
  switch (platform::write_file(path, bytes.data(), bytes.size(), append, s)) {
    case platform::WriteResult::ok: break;
    case platform::WriteResult::cannot_open: fire(Err::access_cannot_open, dest);
    case platform::WriteResult::failed: fire(Err::access_no_create, dest);
  }
  return result;
}

Cell* query(Cell* file) {
  std::optional<platform::FileTime> t = platform::modified(file::to_local_path(file));
  Cell* out = make_none(stack::push());
  if (t) date::make_at_hms(out, t->year, t->month, t->day, t->hour, t->minute, t->second, t->nanoseconds);
  return out;
}

Cell* delete_(Cell* file) {
  std::string path = file::to_local_path(file);
  bool ok = dir_q(path) ? platform::remove_dir(path) : platform::remove_file(path);
  return make_logic(stack::push(), ok);
}

Cell* rename(Cell* from, Cell* to) {
  bool ok = platform::rename_path(file::to_local_path(from), file::to_local_path(to));
  return make_logic(stack::push(), ok);
}

void make_dir(const Cell* file) {
  if (!platform::make_dir(file::to_local_path(file))) fire(Err::access_no_create, file);
}

bool exists(const Cell* file) { return platform::exists(file::to_local_path(file)); }

void write_stdout(const Cell* value) {
  std::vector<u8> bytes = value_to_bytes(value, -1, false);
  platform::write_stdout(bytes.data(), bytes.size());
}

}  // namespace qel::io::files
