#include "platform/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace qel::platform {

namespace {

void ignore_sigpipe() {
  static bool done = false;
  if (!done) {
    signal(SIGPIPE, SIG_IGN);
    done = true;
  }
}

// Waits for a child nobody else waits for, so it leaves no zombie.
void reap_in_background(pid_t pid) {
  std::thread([pid] {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

struct Fds {
  std::vector<int> fds;
  ~Fds() {
    for (int fd : fds) if (fd >= 0) close(fd);
  }
  int keep(int fd) {
    fds.push_back(fd);
    return fd;
  }
  void close_now(int& fd) {
    if (fd < 0) return;
    for (int& f : fds) if (f == fd) f = -1;
    close(fd);
    fd = -1;
  }
};

// The child's end of one standard stream (-1: inherit) and, for a pipe, the
// parent's end. False when a file or pipe cannot be opened.
bool prepare(Redirect& r, bool input, Fds& fds, int& child_end, int& parent_end) {
  child_end = parent_end = -1;
  switch (r.kind) {
    case Redirect::inherit: return true;
    case Redirect::null:
      child_end = open("/dev/null", (input ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
      break;
    case Redirect::file:
      if (r.path.empty() || r.path.find('\0') != std::string::npos) return false;
      child_end = input ? open(r.path.c_str(), O_RDONLY | O_CLOEXEC)
                        : open(r.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
      break;
    case Redirect::pipe: {
      int p[2];
      if (pipe2(p, O_CLOEXEC) != 0) return false;
      child_end = fds.keep(input ? p[0] : p[1]);
      parent_end = fds.keep(input ? p[1] : p[0]);
      fcntl(parent_end, F_SETFL, fcntl(parent_end, F_GETFL) | O_NONBLOCK);
      return true;
    }
  }
  if (child_end < 0) return false;
  fds.keep(child_end);
  return true;
}

// Feeds the input and drains output and error until all three are done.
void pump(int in_fd, const std::vector<u8>& input, int out_fd, Redirect& output, int err_fd,
          Redirect& error, Fds& fds) {
  std::size_t sent = 0;
  if (in_fd >= 0 && input.empty()) fds.close_now(in_fd);
  u8 buf[65536];
  while (in_fd >= 0 || out_fd >= 0 || err_fd >= 0) {
    pollfd p[3];
    int n = 0, iin = -1, iout = -1, ierr = -1;
    if (in_fd >= 0) { iin = n; p[n++] = {in_fd, POLLOUT, 0}; }
    if (out_fd >= 0) { iout = n; p[n++] = {out_fd, POLLIN, 0}; }
    if (err_fd >= 0) { ierr = n; p[n++] = {err_fd, POLLIN, 0}; }
    if (poll(p, nfds_t(n), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (iin >= 0 && p[iin].revents) {
      ssize_t w = write(in_fd, input.data() + sent, input.size() - sent);
      if (w > 0) sent += std::size_t(w);
      // Done, or the child closed its input (EPIPE): no more to send.
      if (sent == input.size() || (w < 0 && errno != EAGAIN && errno != EINTR)) fds.close_now(in_fd);
    }
    // Past the cap the child's output is still drained (it must not block
    // on a full pipe) but dropped.
    auto drain = [&](int idx, int& fd, Redirect& into) {
      if (idx < 0 || !p[idx].revents) return;
      ssize_t r = read(fd, buf, sizeof buf);
      if (r > 0 && into.data.size() + std::size_t(r) > MAX_CAPTURE) into.overflow = true;
      if (r > 0 && !into.overflow) into.data.insert(into.data.end(), buf, buf + r);
      else if (r == 0 || (errno != EAGAIN && errno != EINTR)) fds.close_now(fd);
    };
    drain(iout, out_fd, output);
    drain(ierr, err_fd, error);
  }
}

int spawn(pid_t* pid, const std::vector<std::string>& words, int in, int out, int err) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (in >= 0) posix_spawn_file_actions_adddup2(&fa, in, 0);
  if (out >= 0) posix_spawn_file_actions_adddup2(&fa, out, 1);
  if (err >= 0) posix_spawn_file_actions_adddup2(&fa, err, 2);
  // The child starts with the default SIGPIPE action, not our ignored one.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t def;
  sigemptyset(&def);
  sigaddset(&def, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &def);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);
  int rc = posix_spawnp(pid, argv[0], &fa, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  return rc;
}

}  // namespace

std::vector<std::string> split_command(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (std::size_t i = 0; i < command.size(); ++i) {
    char c = command[i];
    if (quote) {
      if (c == quote) quote = 0;
      else if (c == '\\' && quote == '"' && i + 1 < command.size() &&
               (command[i + 1] == '"' || command[i + 1] == '\\')) word += command[++i];
      else word += c;
    } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      in_word = true;
      if (c == '"' || c == '\'') quote = c;
      else if (c == '\\' && i + 1 < command.size()) word += command[++i];
      else word += c;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

ProcessResult run_process(const std::string& command, bool wait, bool shell, Redirect& in,
                          Redirect& out, Redirect& err) {
  ignore_sigpipe();
  ProcessResult result;
  if (command.find('\0') != std::string::npos) return result;
  if (in.kind != Redirect::inherit || out.kind == Redirect::file || out.kind == Redirect::pipe ||
      err.kind == Redirect::file || err.kind == Redirect::pipe) {
    wait = true;  // any redirection is served to its end
  }
  Fds fds;
  int in_child, in_parent, out_child, out_parent, err_child, err_parent;
  if (!prepare(in, true, fds, in_child, in_parent) || !prepare(out, false, fds, out_child, out_parent) ||
      !prepare(err, false, fds, err_child, err_parent)) {
    return result;
  }
  std::vector<std::string> words;
  if (!shell) words = split_command(command);
  pid_t pid = -1;
  int rc = ENOENT;
  if (!words.empty()) rc = spawn(&pid, words, in_child, out_child, err_child);
  if (rc == ENOENT || rc == ENOTDIR) {
    // Not a program (perhaps a shell built-in or a pipeline): the shell runs it.
    words = {"/bin/sh", "-c", command};
    result.used_shell = true;
    rc = spawn(&pid, words, in_child, out_child, err_child);
  }
  if (rc != 0) return result;
  // Only the child keeps its ends open now, so our reads see its end.
  fds.close_now(in_child);
  fds.close_now(out_child);
  fds.close_now(err_child);
  pump(in_parent, in.data, out_parent, out, err_parent, err, fds);
  if (!wait) {
    reap_in_background(pid);
    result.value = pid;
    return result;
  }
  int status = 0;
  pid_t w;
  while ((w = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (w < 0) return result;
  if (WIFEXITED(status)) result.value = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) result.value = 128 + WTERMSIG(status);
  return result;
}

bool spawn_detached(const std::vector<std::string>& argv) {
  ignore_sigpipe();
  if (argv.empty()) return false;
  for (const std::string& a : argv) {
    if (a.find('\0') != std::string::npos) return false;
  }
  pid_t pid;
  if (spawn(&pid, argv, -1, -1, -1) != 0) return false;
  reap_in_background(pid);
  return true;
}

}  // namespace qel::platform
