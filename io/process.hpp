// The process launcher for Qel: runs a command for the call native, with its
// standard streams from and to Qel values.
#pragma once

#include "runtime/cell.hpp"

namespace qel::io::process {

// Runs the command (a string!, or a file! taken as its local path). in: a
// string! (sent as UTF-8), binary! or file! for the standard input; out and
// err: a file! (appended to), a string! (text appended, CR LF made LF) or a
// binary! (bytes inserted at its index) for the standard output and error;
// null when not redirected (output and error then go to /dev/null). Answers
// the exit code when waited (a redirection always waits), the process id
// otherwise, -1 when the program could not be started. An empty command
// answers 0 at once. Output beyond what a value can hold (1 GiB) raises
// internal no-memory once the child has ended.
i64 call(const Cell* cmd, bool wait, bool shell, Cell* in, Cell* out, Cell* err);

// Opens the URL or file with the desktop's opener (xdg-open), not waited
// for; access cannot-open when it cannot be started.
void browse(const Cell* target);

}  // namespace qel::io::process
