#include "io/process.hpp"

#include <string>

#include "datatypes/binary.hpp"
#include "datatypes/file_url.hpp"
#include "datatypes/string.hpp"
#include "io/files.hpp"
#include "platform/process.hpp"
#include "runtime/error.hpp"
#include "runtime/stack.hpp"

namespace qel::io::process {

namespace {

std::string command_text(const Cell* cmd) {
  if (type_of(cmd) == TYPE_FILE) return file::to_local_path(cmd);
  return string::to_utf8(cmd);
}

void input_of(const Cell* v, platform::Redirect& r) {
  if (!v) return;
  switch (type_of(v)) {
    case TYPE_FILE:
      r.kind = platform::Redirect::file;
      r.path = file::to_local_path(v);
      break;
    case TYPE_BINARY:
      r.kind = platform::Redirect::pipe;
      r.data = binary::bytes_from_index(v);
      break;
    default: {
      r.kind = platform::Redirect::pipe;
      std::string text = string::to_utf8(v);
      r.data.assign(text.begin(), text.end());
      break;
    }
  }
}

void output_of(const Cell* v, platform::Redirect& r) {
  if (!v) {
    r.kind = platform::Redirect::null;
  } else if (type_of(v) == TYPE_FILE) {
    r.kind = platform::Redirect::file;
    r.path = file::to_local_path(v);
  } else {
    r.kind = platform::Redirect::pipe;
  }
}

// Hands captured bytes to the caller's value.
void deliver(Cell* target, const platform::Redirect& r) {
  if (!target || r.kind != platform::Redirect::pipe) return;
  if (type_of(target) == TYPE_BINARY) {
    binary::insert_bytes(target, 0, r.data.data(), u32(r.data.size()));
    return;
  }
  // Decoded as read decodes a file: bytes that are not UTF-8 raise
  // invalid-utf8 rather than come out changed (a binary! keeps them).
  std::vector<u8> text = files::normalize_line_ends(r.data.data(), r.data.size());
  stack::Mark mark;
  string::concatenate(target, string::load(text.data(), u32(text.size()), string::Encoding::utf8));
}

}  // namespace

i64 call(const Cell* cmd, bool wait, bool shell, Cell* in, Cell* out, Cell* err) {
  std::string command = command_text(cmd);
  if (command.empty()) return 0;
  platform::Redirect rin, rout, rerr;
  input_of(in, rin);
  output_of(out, rout);
  output_of(err, rerr);
  platform::ProcessResult r = platform::run_process(command, wait, shell, rin, rout, rerr);
  if (r.value < 0) return -1;
  if (rout.overflow || rerr.overflow) fire(Err::internal_no_memory);
  deliver(out, rout);
  deliver(err, rerr);
  return r.value;
}

void browse(const Cell* target) {
  std::string text = type_of(target) == TYPE_FILE ? file::to_local_path(target) : string::to_utf8(target);
  if (!platform::spawn_detached({"xdg-open", text})) fire(Err::access_cannot_open, target);
}

}  // namespace qel::io::process
