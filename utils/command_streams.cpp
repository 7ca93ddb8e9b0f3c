// Running a shell command with its standard output and standard error read
// apart, for callers that parse one stream while the tool may write the other.
#include "utils/hx_utils_common.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace hx_utils_common {

namespace {

void close_pair(int fds[2]) {
  if (fds[0] >= 0) close(fds[0]);
  if (fds[1] >= 0) close(fds[1]);
}

}  // namespace

int execute_command(std::string command, std::string& output, std::string& errors) {
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    close_pair(out_pipe);
    close_pair(err_pipe);
    return 1;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    close_pair(out_pipe);
    close_pair(err_pipe);
    return 1;
  }
  // GCOVR_EXCL_START: the child's counters are never written (exec replaces it, _exit skips the writing)
  if (pid == 0) {
    // Child: only async-signal-safe calls until exec.
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // GCOVR_EXCL_STOP
  close(out_pipe[1]);
  close(err_pipe[1]);

  // Both pipes are drained together, so a tool that fills one of them while
  // the other is being read can never block.
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&output, &errors};
  int open_count = 2;
  char buffer[4096];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      // A handled signal interrupts the wait; poll of two open pipes fails
      // otherwise only for lack of kernel memory.
      if (errno != EINTR) break;  // GCOVR_EXCL_BR_LINE: no lack of kernel memory in a test
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      // Ready: read() does not block, so no signal can interrupt it; end of
      // file or an error ends this stream.
      const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (auto& entry : fds) {
    if (entry.fd >= 0) close(entry.fd);  // GCOVR_EXCL_BR_LINE: a pipe is still open only after poll failed
  }

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return command_exit_status(status);
}

}  // namespace hx_utils_common
