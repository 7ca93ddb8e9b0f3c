// Shell commands and process control, with real processes.
#include "utils/hx_utils_common.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <string>

#include <pwd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

// kill() of this program: the system call, or, while a test scripts them, the
// results of the next calls (0, or the errno of a failure), without sending
// anything. Lets a test take the roads of a process that changes between two
// calls.
std::deque<int> g_kill_script;

extern "C" int kill(pid_t pid, int sig) {
  if (g_kill_script.empty()) return static_cast<int>(::syscall(SYS_kill, pid, sig));
  const int error = g_kill_script.front();
  g_kill_script.pop_front();
  if (error == 0) return 0;
  errno = error;
  return -1;
}

namespace {

using hx_utils_common::execute_command;
using hx_utils_common::kill_childs;
using hx_utils_common::send_signal;
using hx_utils_common::synchronous_terminate;

// Exit status (128 + signal for a killed command), merged standard error,
// output appended and not cleared, long lines whole, each piece cut at a NUL.
TEST(ExecuteCommand, StatusAndOutput) {
  const struct {
    const char* command;
    int status;
    std::string output;
  } cases[] = {
      {"exit 3", 3, "kept"},
      {"true", 0, "kept"},
      {"sh -c 'echo first; echo to-stderr >&2'", 0, "keptfirst\nto-stderr\n"},
      {"printf 'second\\nno line end'; exit 5", 5, "keptsecond\nno line end"},
      {"kill -TERM $$", 128 + SIGTERM, "kept"},
      {"echo partial; kill -KILL $$", 128 + SIGKILL, "keptpartial\n"},
      {"head -c 5000 /dev/zero | tr '\\0' a; echo; head -c 1023 /dev/zero | tr '\\0' b; echo", 0,
       "kept" + std::string(5000, 'a') + "\n" + std::string(1023, 'b') + "\n"},
      {"printf 'ab\\000cd\\nef\\n'", 0, "keptabef\n"},
  };
  for (const auto& c : cases) {
    std::string output = "kept";
    EXPECT_EQ(execute_command(c.command, output), c.status) << c.command;
    EXPECT_EQ(output, c.output) << c.command;
  }
  std::string output;
  EXPECT_EQ(execute_command("hx_no_such_command_4711 --flag", output), 127);
  EXPECT_NE(output.find("hx_no_such_command_4711: not found"), std::string::npos) << output;
  EXPECT_EQ(hx_utils_common::command_exit_status(-1), -1);
  EXPECT_EQ(hx_utils_common::command_exit_status(3 << 8), 3);
  EXPECT_EQ(hx_utils_common::command_exit_status(0x137f), -1);  // stopped: no exit status
}

// A program from an argument vector: no shell reads its words; its exit
// status (128 + signal when one ended it), standard output and error merged
// and appended, standard input /dev/null; 127 when it cannot start. A program
// that outlasts its bound is killed, whether or not it still writes, and what
// it wrote is kept.
TEST(RunProgram, ArgumentsStatusStreamsAndBound) {
  using hx_utils_common::run_program;
  std::string output = "kept:";
  // The caller's own standard input holds text, which the program never reads.
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  ASSERT_EQ(write(input[1], "caller's input\n", 15), 15);
  close(input[1]);
  const int caller_input = dup(STDIN_FILENO);
  ASSERT_EQ(dup2(input[0], STDIN_FILENO), STDIN_FILENO);
  close(input[0]);
  const int status =
      run_program({"sh", "-c", "printf '[%s]' \"$1\"; echo err >&2; cat; exit 4", "sh", "a b; $(touch x)"}, &output);
  dup2(caller_input, STDIN_FILENO);
  close(caller_input);
  EXPECT_EQ(status, 4);
  EXPECT_EQ(run_program({"sh", "-c", "kill -TERM $$"}, &output), 128 + SIGTERM);
  EXPECT_EQ(run_program({"hx_no_such_program_4711"}, &output), 127);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run_program({"sh", "-c", "echo started; exec sleep 30"}, &output, 1), 128 + SIGKILL);
  EXPECT_EQ(run_program({"sh", "-c", "exec >&- 2>&-; exec sleep 30"}, &output, 1), 128 + SIGKILL);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(output, "kept:[a b; $(touch x)]err\nstarted\n");
  EXPECT_EQ(hx_utils_common::command_text({"ls", "a b", "it's", ""}), "ls 'a b' 'it'\\''s' ''");
}

volatile sig_atomic_t alarms = 0;
void count_alarm(int) { alarms = alarms + 1; }

// Standard output and standard error apart; signals handled meanwhile (with
// system calls not restarted) lose nothing, neither while the streams are
// read nor while the end is awaited. A wait that fails (children reaped by
// the system) is never a success, in either form.
TEST(ExecuteCommand, StreamsApartThroughSignals) {
  struct sigaction action {}, saved {};
  action.sa_handler = count_alarm;
  ::sigaction(SIGALRM, &action, &saved);
  itimerval timer{{0, 20000}, {0, 20000}};
  ::setitimer(ITIMER_REAL, &timer, nullptr);
  std::string output = "kept:", errors = "kept:";
  const int status = execute_command("echo out; echo err >&2; sleep 0.3; echo late; exec >&- 2>&-; sleep 0.3; exit 4",
                                     output, errors);
  timer = itimerval{};
  ::setitimer(ITIMER_REAL, &timer, nullptr);
  ::sigaction(SIGALRM, &saved, nullptr);
  EXPECT_EQ(status, 4);
  EXPECT_EQ(output, "kept:out\nlate\n");
  EXPECT_EQ(errors, "kept:err\n");
  EXPECT_GT(alarms, 0);

  std::signal(SIGCHLD, SIG_IGN);
  output.clear();
  errors.clear();
  EXPECT_EQ(execute_command("echo x; exit 3", output), -1);
  EXPECT_EQ(execute_command("echo y; exit 3", output, errors), -1);
  std::signal(SIGCHLD, SIG_DFL);
  EXPECT_EQ(output, "x\ny\n");
}

// Without a free descriptor, or with no process allowed, a command cannot
// start: 1 from both forms, the merged one saying so on standard error; no
// descriptor is left open.
TEST(ExecuteCommand, CommandThatCannotStart) {
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "a process limit binds only an unprivileged user";
  const uid_t uid = nobody->pw_uid;
  hx_test::TempDir tmp;
  const std::string stderr_file = tmp / "stderr";
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int saved_stderr = ::dup(2);
    const int fd = ::open(stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    ::close(fd);
    std::cerr << std::flush;  // the sanitizer's first type check of a stream call needs a descriptor
    const int lowest = ::dup(0);
    ::close(lowest);
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    const rlimit open_files = files;
    std::string out, err;
    int failures = 0;
    for (const rlim_t free : {0, 2}) {  // no pipe at all; the first pipe only
      files.rlim_cur = static_cast<rlim_t>(lowest) + free;
      ::setrlimit(RLIMIT_NOFILE, &files);
      if (free == 0) failures += execute_command("echo x", out) == 1;
      failures += execute_command("echo x", out, err) == 1;
    }
    ::setrlimit(RLIMIT_NOFILE, &open_files);
    const rlimit no_processes{0, 0};
    if (::setresuid(uid, uid, 0) == 0 && ::setrlimit(RLIMIT_NPROC, &no_processes) == 0) {
      failures += execute_command("echo y", out) == 1;
      failures += execute_command("echo y", out, err) == 1;
    }
    const bool closed = ::dup(0) == lowest;
    ::dup2(saved_stderr, 2);
    hx_process::exit_now(::setresuid(0, 0, 0) == 0 && closed && out.empty() && err.empty() ? failures : 99);
  }
  int status = -1;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 5);
  EXPECT_EQ(hx_test::read_file(stderr_file),
            "Couldn't start OS command: echo x 2>&1\nCouldn't start OS command: echo y 2>&1\n");
}

// Forks a child that runs `setup`, reports ready, then runs `run`.
template <typename Setup, typename Run>
pid_t spawn(Setup setup, Run run) {
  int fds[2];
  EXPECT_EQ(0, pipe(fds));
  const pid_t pid = fork();
  if (pid == 0) {
    setup();
    if (write(fds[1], "r", 1) != 1) _exit(99);
    run();
    _exit(0);
  }
  close(fds[1]);
  char ready = 0;
  EXPECT_EQ(1, read(fds[0], &ready, 1)) << "child did not start";
  close(fds[0]);
  return pid;
}

void sleep_forever() {
  for (;;) pause();
}

// Reaps a child and returns the signal that ended it (0 for an exit).
int end_signal(pid_t pid) {
  int status = 0;
  EXPECT_EQ(pid, waitpid(pid, &status, 0));
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// Process state letter from /proc (R, S, Z, ...), or 0 when the process is gone.
char process_state(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = content.rfind(')');
  return close == std::string::npos || close + 2 >= content.size() ? 0 : content[close + 2];
}

// A pid that no process has: a child that has exited and was reaped.
pid_t unused_pid() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// pid 0: true and silent; a missing process or a negative pid (process
// groups): false and silent; a live one gets the signal and it is reported.
TEST(SendSignal, ZeroMissingAndLive) {
  const pid_t gone = unused_pid();
  const pid_t child = spawn([] {}, sleep_forever);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(send_signal(0, SIGTSTP));
  EXPECT_FALSE(send_signal(gone, SIGTERM));
  EXPECT_FALSE(send_signal(-1, 0));
  EXPECT_FALSE(send_signal(child, 65));  // no such signal: the process exists, the signal is refused
  EXPECT_TRUE(send_signal(child, SIGUSR1));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "No permissions to send signal 65 the process: " + std::to_string(child) + "\nsent signal " +
                std::to_string(SIGUSR1) + " to the process: " + std::to_string(child) + "\n");
  EXPECT_EQ(SIGUSR1, end_signal(child));
}

// pid 0: false, silent; a missing process: false with its text; one that
// ignores SIGTERM: killed after one second, true.
TEST(SynchronousTerminate, ZeroMissingAndIgnoringTerm) {
  const pid_t gone = unused_pid();
  const pid_t child = spawn([] { signal(SIGTERM, SIG_IGN); }, sleep_forever);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(synchronous_terminate(0));
  EXPECT_FALSE(synchronous_terminate(-5));  // never a process group
  EXPECT_FALSE(synchronous_terminate(gone));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(synchronous_terminate(child));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Process with pid:-5 does not exist\nProcess with pid:" + std::to_string(gone) + " does not exist\n");
  EXPECT_GE(elapsed, std::chrono::milliseconds(950));
  EXPECT_LT(elapsed, std::chrono::seconds(3));
  EXPECT_EQ(SIGKILL, end_signal(child));
}

void delayed_exit_on_term(int) {
  usleep(300000);
  _exit(0);
}

// A process that ends during the second makes SIGKILL fail: false, with the ESRCH text.
TEST(SynchronousTerminate, ProcessEndingDuringTheSecondMakesSigkillFail) {
  signal(SIGCHLD, SIG_IGN);  // reaped at once: no zombie that SIGKILL could still reach
  const pid_t child = spawn([] { signal(SIGTERM, delayed_exit_on_term); }, sleep_forever);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(synchronous_terminate(child));
  signal(SIGCHLD, SIG_DFL);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error calling kill SIGKILL for process with pid:" +
                                                       std::to_string(child) + ", :" + std::strerror(ESRCH) + "\n");
  EXPECT_EQ(process_state(child), 0);
}

// A process that changes between the calls (scripted answers of kill: the
// probe, SIGTERM, the probe after it): SIGTERM refused; gone at once after
// SIGTERM; a probe failing otherwise.
TEST(SynchronousTerminate, ProcessChangingBetweenTheCalls) {
  const struct {
    std::deque<int> answers;
    bool result;
    std::string message;
  } cases[] = {
      {{0, EPERM}, false, std::string(" Error send signal:") + strsignal(SIGTERM) + " to process with pid:4242\n"},
      {{0, 0, ESRCH}, true, "Process with pid:4242 exited\n"},
      {{0, 0, EPERM}, false, std::string("Error calling kill for process with pid:4242, :") + std::strerror(EPERM) + "\n"},
  };
  for (const auto& c : cases) {
    g_kill_script = c.answers;
    testing::internal::CaptureStderr();
    EXPECT_EQ(synchronous_terminate(4242), c.result);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    EXPECT_TRUE(g_kill_script.empty());
    g_kill_script.clear();
  }
}

// One child with one grandchild: only the grandchild is terminated.
TEST(KillChilds, OnlyTheGrandchildOfATreeIsTerminated) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = spawn([] {}, [&fds] {
    const pid_t grandchild = spawn([] {}, sleep_forever);
    if (write(fds[1], &grandchild, sizeof(grandchild)) == sizeof(grandchild)) sleep_forever();
  });
  close(fds[1]);
  pid_t grandchild = 0;
  ASSERT_EQ(read(fds[0], &grandchild, sizeof(grandchild)), static_cast<ssize_t>(sizeof(grandchild)));
  close(fds[0]);
  testing::internal::CaptureStdout();
  kill_childs(child);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "PID was terminated: " + std::to_string(grandchild) + "\n");
  EXPECT_EQ(process_state(grandchild), 'Z');  // ended; its parent, pausing, has not reaped it
  EXPECT_EQ(process_state(child), 'S');       // untouched, still pausing
  kill(child, SIGKILL);
  end_signal(child);
}

// A process without children is terminated itself; a missing one is
// reported; a listing that is not numbers is reported and ends nothing.
TEST(KillChilds, ChildlessAndMissingProcess) {
  const pid_t child = spawn([] {}, sleep_forever);
  const pid_t gone = unused_pid();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  kill_childs(child);
  kill_childs(gone);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Process with pid:" + std::to_string(gone) + " does not exist\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "PID was terminated: " + std::to_string(child) +
                                                        "\nError terminate PID: " + std::to_string(gone) + "\n");
  EXPECT_EQ(SIGTERM, end_signal(child));

  hx_test::TempDir tmp;
  tmp.write("ps", "#!/bin/sh\necho abc\n");
  ::chmod((tmp / "ps").c_str(), 0700);
  const std::string path = hx_test::env("PATH");
  ::setenv("PATH", (tmp.str() + ":" + path).c_str(), 1);
  testing::internal::CaptureStderr();
  kill_childs(::getpid());
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "hx_utils_common::kill_childs: error: stoi\n");
}

}  // namespace
