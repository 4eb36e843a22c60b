#include "platform/std_streams.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qel::platform::streams {

namespace {

bool g_failed = false;
bool g_said = false;

void say(int err) {
  if (g_said) return;
  g_said = true;
  if (err) {
    std::fprintf(stderr, "%s: write error on standard output: %s\n", program_invocation_short_name,
                 std::strerror(err));
  } else {
    std::fprintf(stderr, "%s: write error on standard output\n", program_invocation_short_name);
  }
  std::fflush(stderr);
}

}  // namespace

void take_closed() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // (open takes the lowest free descriptor: fd, as those below it are
    // taken by now)
    int got = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (got >= 0 && got != fd) {
      dup2(got, fd);
      close(got);
    }
  }
}

void output_failed(int err) {
  g_failed = true;
  say(err);
}

int finish(int status) {
  if (std::fflush(stdout) != 0) output_failed(errno);
  else if (std::ferror(stdout)) output_failed(0);
  if (!g_failed) return status;
  return status == 0 ? 1 : status;
}

}  // namespace qel::platform::streams
