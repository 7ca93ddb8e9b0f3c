// Shell commands and process control, with real processes.
#include "utils/hx_utils_common.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using hx_utils_common::execute_command;
using hx_utils_common::kill_childs;
using hx_utils_common::send_signal;
using hx_utils_common::synchronous_terminate;

// ---- execute_command ---------------------------------------------------------

TEST(ExecuteCommand, ExitCodeWithoutOutputLeavesOutputAlone) {
  std::string output = "kept";
  EXPECT_EQ(execute_command("exit 3", output), 3);
  EXPECT_EQ(output, "kept");
  EXPECT_EQ(execute_command("true", output), 0);
  EXPECT_EQ(output, "kept");
}

TEST(ExecuteCommand, MissingCommandGivesTheShellsStatusAndMessage) {
  std::string output;
  EXPECT_EQ(execute_command("hx_no_such_command_4711 --flag", output), 127);
  EXPECT_NE(output.find("hx_no_such_command_4711"), std::string::npos) << output;
  EXPECT_NE(output.find("not found"), std::string::npos) << output;
}

TEST(ExecuteCommand, StandardErrorIsMergedAndOutputAccumulates) {
  std::string output;
  EXPECT_EQ(execute_command("sh -c 'echo first; echo to-stderr >&2'", output), 0);
  EXPECT_EQ(execute_command("printf 'second\\nno line end'; exit 5", output), 5);
  EXPECT_EQ(output, "first\nto-stderr\nsecond\nno line end");
}

TEST(ExecuteCommand, CommandEndedBySignalIsAFailure) {
  std::string output;
  EXPECT_EQ(execute_command("kill -TERM $$", output), 128 + SIGTERM);
  EXPECT_EQ(execute_command("echo partial; kill -KILL $$", output), 128 + SIGKILL);
  EXPECT_EQ(output, "partial\n");
}

TEST(ExecuteCommand, LongLinesArriveWhole) {
  std::string output;
  EXPECT_EQ(execute_command("head -c 5000 /dev/zero | tr '\\0' a; echo; head -c 1023 /dev/zero | tr '\\0' b; echo",
                            output),
            0);
  EXPECT_EQ(output, std::string(5000, 'a') + "\n" + std::string(1023, 'b') + "\n");
}

TEST(ExecuteCommand, OutputStopsAtANulByteOfEachPiece) {
  std::string output;
  EXPECT_EQ(execute_command("printf 'ab\\000cd\\nef\\n'", output), 0);
  EXPECT_EQ(output, "abef\n");
}

TEST(CommandExitStatus, WaitStatuses) {
  EXPECT_EQ(hx_utils_common::command_exit_status(-1), -1);
  EXPECT_EQ(hx_utils_common::command_exit_status(0), 0);
  EXPECT_EQ(hx_utils_common::command_exit_status(3 << 8), 3);
  EXPECT_EQ(hx_utils_common::command_exit_status(SIGKILL), 128 + SIGKILL);
}

// ---- helpers for process tests -------------------------------------------------

// Forks a child that runs `setup` and then reports ready through a pipe
// before `run`; returns only when the child is ready.
template <typename Setup, typename Run>
pid_t spawn(Setup setup, Run run) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    setup();
    char ready = 'r';
    if (write(fds[1], &ready, 1) != 1) _exit(99);
    close(fds[1]);
    run();
    _exit(0);
  }
  close(fds[1]);
  char ready = 0;
  if (read(fds[0], &ready, 1) != 1) ADD_FAILURE() << "child did not start";
  close(fds[0]);
  return pid;
}

void sleep_forever() {
  for (;;) pause();
}

// Process state letter from /proc (R, S, Z, ...), or 0 when the process is gone.
char process_state(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = content.rfind(')');
  if (close == std::string::npos || close + 2 >= content.size()) return 0;
  return content[close + 2];
}

// A pid that no process has: a child that has exited and was reaped.
pid_t unused_pid() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// Reaps children automatically while it lives, so that a process that ends is
// gone at once instead of lingering as a zombie that signals still reach.
class AutoReap {
 public:
  AutoReap() { previous_ = signal(SIGCHLD, SIG_IGN); }
  ~AutoReap() { signal(SIGCHLD, previous_); }

 private:
  sighandler_t previous_;
};

// ---- send_signal -------------------------------------------------------------

TEST(SendSignal, PidZeroIsTrueAndSilent) {
  testing::internal::CaptureStdout();
  EXPECT_TRUE(send_signal(0, SIGTSTP));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(SendSignal, MissingProcessIsFalseAndSilent) {
  const pid_t gone = unused_pid();
  testing::internal::CaptureStdout();
  EXPECT_FALSE(send_signal(gone, SIGTERM));
  // A negative number would address process groups; it is refused.
  EXPECT_FALSE(send_signal(-1, 0));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(SendSignal, DeliversAndReports) {
  const pid_t child = spawn([] {}, sleep_forever);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(send_signal(child, SIGUSR1));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "sent signal " + std::to_string(SIGUSR1) + " to the process: " + std::to_string(child) + "\n");
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGUSR1);
}

// ---- synchronous_terminate -------------------------------------------------------

TEST(SynchronousTerminate, PidZeroAndMissingProcess) {
  testing::internal::CaptureStderr();
  EXPECT_FALSE(synchronous_terminate(0));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  const pid_t gone = unused_pid();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(synchronous_terminate(gone));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Process with pid:" + std::to_string(gone) + " does not exist\n");
}

TEST(SynchronousTerminate, ProcessIgnoringTermIsKilledAfterASecond) {
  const pid_t child = spawn([] { signal(SIGTERM, SIG_IGN); }, sleep_forever);
  testing::internal::CaptureStderr();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(synchronous_terminate(child));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_GE(elapsed, std::chrono::milliseconds(950));
  EXPECT_LT(elapsed, std::chrono::seconds(3));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

void exit_on_term(int) { _exit(0); }

void delayed_exit_on_term(int) {
  usleep(300000);
  _exit(0);
}

TEST(SynchronousTerminate, ProcessEndingDuringTheSecondMakesSigkillFail) {
  AutoReap reap;
  const pid_t child = spawn([] { signal(SIGTERM, delayed_exit_on_term); }, sleep_forever);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(synchronous_terminate(child));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error calling kill SIGKILL for process with pid:" +
                                                       std::to_string(child) + ", :" + std::strerror(ESRCH) + "\n");
  EXPECT_EQ(process_state(child), 0);
}

TEST(SynchronousTerminate, ProcessExitingOnTermIsGone) {
  AutoReap reap;
  const pid_t child = spawn([] { signal(SIGTERM, exit_on_term); }, sleep_forever);
  testing::internal::CaptureStderr();
  const bool result = synchronous_terminate(child);
  const std::string err = testing::internal::GetCapturedStderr();
  // Whether the probe right after SIGTERM still sees the process is up to the
  // scheduler: either it is already gone ("exited", true) or it ends during
  // the second and SIGKILL finds nothing (false).
  if (result) {
    EXPECT_EQ(err, "Process with pid:" + std::to_string(child) + " exited\n");
  } else {
    EXPECT_EQ(err, "Error calling kill SIGKILL for process with pid:" + std::to_string(child) + ", :" +
                       std::strerror(ESRCH) + "\n");
  }
  EXPECT_EQ(process_state(child), 0);
}

// ---- kill_childs -------------------------------------------------------------------

TEST(KillChilds, OnlyTheGrandchildOfATreeIsTerminated) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = spawn([] {}, [&fds] {
    const pid_t grandchild = fork();
    if (grandchild == 0) sleep_forever();
    if (write(fds[1], &grandchild, sizeof(grandchild)) != sizeof(grandchild)) _exit(98);
    sleep_forever();
  });
  close(fds[1]);
  pid_t grandchild = 0;
  ASSERT_EQ(read(fds[0], &grandchild, sizeof(grandchild)), static_cast<ssize_t>(sizeof(grandchild)));
  close(fds[0]);

  testing::internal::CaptureStdout();
  kill_childs(child);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "PID was terminated: " + std::to_string(grandchild) + "\n");
  // The grandchild ended (a zombie of its parent, which does not reap it); the child lives on.
  const char grandchild_state = process_state(grandchild);
  EXPECT_TRUE(grandchild_state == 'Z' || grandchild_state == 0) << grandchild_state;
  const char child_state = process_state(child);
  EXPECT_TRUE(child_state == 'S' || child_state == 'R') << child_state;

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

TEST(KillChilds, ProcessWithoutChildrenIsTerminatedItself) {
  const pid_t child = spawn([] {}, sleep_forever);
  testing::internal::CaptureStdout();
  kill_childs(child);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "PID was terminated: " + std::to_string(child) + "\n");
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(KillChilds, MissingProcessIsReported) {
  const pid_t gone = unused_pid();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  kill_childs(gone);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Process with pid:" + std::to_string(gone) + " does not exist\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error terminate PID: " + std::to_string(gone) + "\n");
}

}  // namespace
