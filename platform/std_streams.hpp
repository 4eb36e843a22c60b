// The process's standard streams: descriptors 0 to 2 kept taken from the
// start, and what became of the output written to standard output.
#pragma once

namespace qel::platform::streams {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// nothing the program opens later (a file, a socket, the display's
// connection) takes one of them: a print would write into it, a read of a
// line would read from it.
void take_closed();

// A write to standard output failed with the error number: the first
// failure is said on standard error at once, and the exit status will tell.
void output_failed(int err);

// Flushes standard output and answers the exit status to end with: the
// status given, or 1 in place of 0 when a write to standard output failed
// (said on standard error if it was not yet).
int finish(int status);

}  // namespace qel::platform::streams
