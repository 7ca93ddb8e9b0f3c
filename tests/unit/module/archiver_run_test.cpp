// The archiver child process: output lines, the PID and statistics lines and
// the exit status.
#include "archiver_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <thread>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace hx_archiver_test;

struct ChildRun {
  bool result = false;
  std::string output;
  std::string statistics;
  std::string echoed;  // what went to standard output
  pid_t pid_after = -1;
};

ChildRun run_child(TaskModule& module, const std::string& command, std::string output = "", std::string statistics = "") {
  ChildRun run;
  run.output = std::move(output);
  run.statistics = std::move(statistics);
  testing::internal::CaptureStdout();
  run.result = module.run_hxfd_command(command, run.output, module.hxfd_pid_, run.statistics);
  run.echoed = testing::internal::GetCapturedStdout();
  run.pid_after = module.hxfd_pid_;
  return run;
}

// The PID the module holds when the child asks for it with SIGUSR1 (the way a
// pause reads it to forward SIGTSTP).
TaskModule* observed_module = nullptr;
volatile sig_atomic_t observed_pid = -1;
void observe_pid(int) { observed_pid = observed_module->hxfd_pid_; }

TEST(ArchiverRun, PidIsHeldWhileTheChildRuns) {
  LogCapture log;
  TaskModule module;
  observed_module = &module;
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = observe_pid;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  // The child waits until the PID line has been echoed (the PID is stored before the echo).
  const std::string command =
      "echo 'HXFD PID: 4711'; "
      "i=0; until grep -q 'HXFD PID: 4711' /proc/$PPID/fd/1 || [ $i -gt 100 ]; do sleep 0.05; i=$((i+1)); done; "
      "kill -USR1 $PPID; sleep 0.2; echo 'Packed: 12 files, 345 bytes'; echo 'archiving done'";
  const ChildRun run = run_child(module, command);
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_TRUE(run.result);
  EXPECT_EQ(observed_pid, 4711);
  EXPECT_EQ(run.pid_after, 0);
  EXPECT_EQ(run.echoed, "HXFD PID: 4711\nPacked: 12 files, 345 bytes\n");
  EXPECT_EQ(run.statistics, "12 files, 345 bytes");
  EXPECT_EQ(run.output, "archiving done\n");
  EXPECT_TRUE(log.has(std::string("Info: ") + kRunSig + ":hxfd command: " + command));
}

TEST(ArchiverRun, LinesOfTheChild) {
  struct Case {
    std::string command;
    bool result;
    std::string echoed, statistics, output;
  };
  const Case cases[] = {
      // The last statistics line wins; the output is appended to what the caller had ("kept\n").
      {"echo 'Packed: 1'; echo 'between'; echo 'Transferred: 2 bytes'; echo 'Unpacked: 3'", true,
       "Packed: 1\nTransferred: 2 bytes\nUnpacked: 3\n", "3", "kept\nbetween\n"},
      // Prefixes are exact and case sensitive.
      {"echo 'packed: 1'; echo 'Packed:2'; echo 'HXFD PID:5'; echo ' Unpacked: 4'", true, "", "old",
       "kept\npacked: 1\nPacked:2\nHXFD PID:5\n Unpacked: 4\n"},
      // Only the first PID line is the archiver's: later ones (text it passes on) are output.
      {"echo 'HXFD PID: 99'; echo 'HXFD PID: 0'; echo 'HXFD PID: x'; echo 'Packed: 1'", true,
       "HXFD PID: 99\nPacked: 1\n", "1", "kept\nHXFD PID: 0\nHXFD PID: x\n"},
      // A final line without a line end is neither echoed nor kept.
      {"printf 'first\\nPacked: 1\\nlast words'", true, "Packed: 1\n", "1", "kept\nfirst\n"},
      {"printf 'Packed: 1\\nPacked: 2'", true, "Packed: 1\n", "1", "kept\n"},
      // CR LF is two line ends; CR alone ends a line.
      {"printf 'one\\r\\ntwo\\n'", true, "", "old", "kept\none\n\ntwo\n"},
      {"printf 'Packed: 10%%\\rPacked: 100%%\\n'", true, "Packed: 10%\nPacked: 100%\n", "100%", "kept\n"},
      // A non-zero exit fails and keeps the output for the caller's message.
      {"echo 'HXFD PID: 99'; echo 'disk full'; echo 'Packed: 0'; exit 3", false, "HXFD PID: 99\nPacked: 0\n", "0",
       "kept\ndisk full\n"},
      // A shell ended by a signal has no exit status: a failure.
      {"echo 'HXFD PID: 12'; echo partial; kill -KILL $$", false, "HXFD PID: 12\n", "old", "kept\npartial\n"},
      {"kill -TERM $$", false, "", "old", "kept\n"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    TaskModule module;
    const ChildRun run = run_child(module, c.command, "kept\n", "old");
    EXPECT_EQ(run.result, c.result) << c.command;
    EXPECT_EQ(run.echoed, c.echoed) << c.command;
    EXPECT_EQ(run.statistics, c.statistics) << c.command;
    EXPECT_EQ(run.output, c.output) << c.command;
    EXPECT_EQ(run.pid_after, 0) << c.command;
    // No Error of its own: the callers report the command and the output.
    for (const std::string& message : log.messages()) EXPECT_NE(message.rfind("Error", 0), 0u) << c.command;
  }
}

// A pause that came before the archiver's number was known stops the archiver
// as soon as its number arrives.
TEST(ArchiverRun, PauseBeforeThePidLineStopsTheArchiver) {
  LogCapture log;
  TempDir dir;
  const std::string pid_file = dir / "child.pid";
  const std::string fifo = dir / "go";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  TaskModule module;
  module.set_to_pause();
  bool stopped = false;
  // Bounded waits for the child's number, then for its stop; then the child
  // is continued and let go in any case.
  std::thread watcher([&] {
    pid_t child = 0;
    for (int i = 0; i < 400 && child == 0; ++i, usleep(25000)) {
      const std::string text = read_file(pid_file);
      if (!text.empty() && text.back() == '\n') child = static_cast<pid_t>(std::stoi(text));
    }
    for (int i = 0; i < 400 && child != 0 && !stopped; ++i, usleep(25000)) {
      stopped = read_file("/proc/" + std::to_string(child) + "/stat").find(") T ") != std::string::npos;
    }
    if (child != 0) kill(child, SIGCONT);
    std::ofstream(fifo) << "go\n";
  });
  const ChildRun run = run_child(module, "echo $$ > '" + pid_file + "'; echo \"HXFD PID: $$\"; read go < '" + fifo +
                                             "'; echo resumed");
  watcher.join();
  const std::string child = read_file(pid_file);
  EXPECT_TRUE(stopped);
  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.output, "resumed\n");
  EXPECT_EQ(run.echoed, "HXFD PID: " + child + "sent signal 19 to the process: " + child);
}

// No descriptor left for the pipe: nothing starts, and the run fails.
TEST(ArchiverRun, ArchiverThatCannotBeStartedFails) {
  LogCapture log;
  TaskModule module;
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const rlimit none{0, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  std::string output;
  std::string statistics;
  const bool result = module.run_hxfd_command("echo started", output, module.hxfd_pid_, statistics);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_FALSE(result);
  EXPECT_EQ(log.messages(), (std::vector<std::string>{std::string("Info: ") + kRunSig + ":hxfd command: echo started",
                                                      std::string("Error: ") + kRunSig +
                                                          ": couldn't start OS command: echo started"}));
}

TEST(ArchiverRun, PidThatIsNoNumberFailsAfterTheChildIsAwaited) {
  TempDir dir;
  const std::string pid_file = dir / "child.pid";
  for (const std::string pid : {"abc", "99999999999999999999"}) {
    LogCapture log;
    TaskModule module;
    const ChildRun run = run_child(module, "echo $$ > '" + pid_file + "'; echo 'HXFD PID: " + pid +
                                               "'; for i in 1 2 3 4 5; do echo more; sleep 0.05; done");
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.pid_after, 0);
    EXPECT_EQ(run.echoed, "");
    ASSERT_FALSE(log.messages().empty());
    EXPECT_EQ(log.messages().back(), std::string("Error: ") + kRunSig + ": stoi");
    // Not even a zombie of the child is left.
    EXPECT_EQ(kill(static_cast<pid_t>(std::stoi(read_file(pid_file))), 0), -1);
    EXPECT_EQ(errno, ESRCH);
  }
}

}  // namespace
