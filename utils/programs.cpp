// Running a program from an argument vector, without a shell.
#include "utils/hx_utils_common.h"

#include <cerrno>
#include <iostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace hx_utils_common {

int run_program(const std::vector<std::string>& args, std::string* output) {
  if (args.empty()) return 127;
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  int fds[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (output != nullptr) {
    if (pipe2(fds, O_CLOEXEC) != 0) {
      posix_spawn_file_actions_destroy(&actions);
      return 127;
    }
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  }
  // The child starts with no signal held and the default dispositions of
  // the signals this process catches (exec resets caught ones).
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);

  std::cout.flush();
  // The start is no wait (an abort that ends the task's processes never
  // misses a child being started); waiting for the program is.
  abort_point();
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  OutsideWait wait;
  if (output != nullptr) {
    close(fds[1]);
    char buffer[4096];
    ssize_t n = 0;
    while (spawned == 0 && ((n = read(fds[0], buffer, sizeof(buffer))) > 0 || (n < 0 && errno == EINTR))) {
      if (n > 0) output->append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
  }
  if (spawned != 0) return 127;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;  // GCOVR_EXCL_LINE: waiting for a child of this process fails only when interrupted
  }
  return command_exit_status(status);
}

std::string command_text(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& arg : args) text += (text.empty() ? "" : " ") + shell_arg(arg);
  return text;
}

}  // namespace hx_utils_common
