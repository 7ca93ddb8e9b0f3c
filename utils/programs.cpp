// Starting outside programs: the one runner from an argument vector, and the
// shell-command form that keeps standard output and standard error apart,
// which runs /bin/sh through the same runner.
#include "utils/hx_utils_common.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace hx_utils_common {

namespace {

// Where a started program's streams go.
struct Streams {
  bool null_input;      // standard input /dev/null (else this process's)
  std::string* output;  // standard output collected here (null: this process's)
  std::string* errors;  // standard error collected here (null: with the output)
};

void close_pair(int fds[2]) {
  for (int i = 0; i < 2; ++i) {
    if (fds[i] >= 0) ::close(fds[i]);
    fds[i] = -1;
  }
}

// Starts `args` (args[0] looked up through PATH when it holds no "/"), reads
// what it writes into the streams' strings and waits for it. A program still
// running `time_limit` seconds after its start (0: no limit) is killed, and
// the reading of its output ends then too. Returns its exit status, or
// `cannot_start` when it could not be started, or -1 when the wait failed.
int run(const std::vector<std::string>& args, const Streams& streams, unsigned int time_limit, int cannot_start) {
  if (args.empty()) return cannot_start;
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  if (streams.output != nullptr && ::pipe2(out_pipe, O_CLOEXEC) != 0) return cannot_start;
  if (streams.output != nullptr && streams.errors != nullptr && ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    close_pair(out_pipe);
    return cannot_start;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (streams.null_input) posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (streams.output != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1] >= 0 ? err_pipe[1] : out_pipe[1], STDERR_FILENO);
  }
  // The program starts with no signal held; exec gives the signals this
  // process catches their default dispositions.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);

  std::cout.flush();
  // The start is no wait (an abort that ends the task's processes never
  // misses a program being started); waiting for the program is.
  abort_point();
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (out_pipe[1] >= 0) ::close(out_pipe[1]);
  if (err_pipe[1] >= 0) ::close(err_pipe[1]);
  out_pipe[1] = err_pipe[1] = -1;
  if (spawned != 0) {
    close_pair(out_pipe);
    close_pair(err_pipe);
    return cannot_start;
  }

  OutsideWait wait;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(time_limit);
  bool timed_out = false;
  // Both streams are drained together, so a program that fills one of them
  // while the other is read can never block.
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {streams.output, streams.errors};
  int open_count = (out_pipe[0] >= 0 ? 1 : 0) + (err_pipe[0] >= 0 ? 1 : 0);
  char buffer[4096];
  while (open_count > 0) {
    int timeout = -1;
    if (time_limit > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        timed_out = true;
        break;
      }
      timeout = static_cast<int>(left);
    }
    const int ready = ::poll(fds, 2, timeout);
    if (ready < 0) {
      // A handled signal interrupts the wait; poll of open pipes fails
      // otherwise only for lack of kernel memory.
      if (errno != EINTR) break;  // GCOVR_EXCL_BR_LINE: no lack of kernel memory in a test
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      // Ready: read() does not block; end of file or an error ends this stream.
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof(buffer));
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (auto& entry : fds) {
    if (entry.fd >= 0) ::close(entry.fd);
  }

  if (timed_out) ::kill(pid, SIGKILL);
  int status = 0;
  for (;;) {
    const bool limited = time_limit > 0 && !timed_out;
    const pid_t done = ::waitpid(pid, &status, limited ? WNOHANG : 0);
    if (done == pid) break;
    if (done < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    // Still running under a limit: look again shortly, and kill it once the
    // limit has passed.
    if (Clock::now() >= deadline) {
      timed_out = true;
      ::kill(pid, SIGKILL);
    } else {
      ::usleep(10000);
    }
  }
  return command_exit_status(status);
}

}  // namespace

int run_program(const std::vector<std::string>& args, std::string* output, unsigned int time_limit_seconds) {
  return run(args, Streams{true, output, nullptr}, time_limit_seconds, 127);
}

int execute_command(std::string command, std::string& output, std::string& errors) {
  return run({"/bin/sh", "-c", command}, Streams{false, &output, &errors}, 0, 1);
}

std::string command_text(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& arg : args) text += (text.empty() ? "" : " ") + shell_arg(arg);
  return text;
}

}  // namespace hx_utils_common
