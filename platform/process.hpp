// Child processes over posix_spawnp. A command line is split into words
// (blanks separate them; double or single quotes group, a backslash outside
// single quotes takes the next character as it is) and run without a shell,
// unless the shell is asked for or the program is not found: then it runs
// through "/bin/sh -c". Standard input, output and error each come from or
// go to the parent's own stream, a file, /dev/null or a pipe; one poll loop
// feeds the input and drains output and error together, so no side ever
// waits on the other whatever the sizes. SIGPIPE is ignored (a child that
// stops reading must not kill us); children not waited for are reaped.
#pragma once

#include <string>
#include <vector>

#include "platform/types.hpp"

namespace qel::platform {

struct Redirect {
  enum Kind { inherit, null, file, pipe } kind = inherit;
  std::string path;      // file: the path (output is appended)
  std::vector<u8> data;  // pipe: the bytes sent (input) or received (output)
  bool overflow = false;  // output past MAX_CAPTURE was drained and dropped
};

inline constexpr std::size_t MAX_CAPTURE = 0x40000000;  // 1 GiB: more fits in no value

struct ProcessResult {
  i64 value = -1;          // exit code when waited, else the process id; -1 on failure
  bool used_shell = false;  // the command ran through the shell
};

ProcessResult run_process(const std::string& command, bool wait, bool shell, Redirect& in,
                          Redirect& out, Redirect& err);

// Starts the program with the arguments, no shell, not waited for (reaped in
// the background). False when it cannot be started.
bool spawn_detached(const std::vector<std::string>& argv);

// The words of a command line, split as described above.
std::vector<std::string> split_command(const std::string& command);

}  // namespace qel::platform
