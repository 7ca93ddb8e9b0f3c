// The archiver child process: output lines, the PID and statistics lines, the
// exit status, and the task secret file name.
#include "archiver_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>

#include <signal.h>
#include <unistd.h>

namespace {

using hx_archiver_test::kRunSig;
using hx_archiver_test::logged;
using hx_archiver_test::TaskModule;
using hx_archiver_test::TempDir;
using hx_test::LogSink;

struct ChildRun {
  bool result = false;
  std::string output;
  std::string statistics;
  std::string echoed;  // what went to standard output
  pid_t pid_after = -1;
};

ChildRun run_child(TaskModule& module, const std::string& command, std::string output = std::string(),
              std::string statistics = std::string()) {
  ChildRun run;
  run.output = std::move(output);
  run.statistics = std::move(statistics);
  testing::internal::CaptureStdout();
  run.result = module.run_hxfd_command(command, run.output, module.hxfd_pid_, run.statistics);
  run.echoed = testing::internal::GetCapturedStdout();
  run.pid_after = module.hxfd_pid_;
  return run;
}

// The PID the module holds at the moment the child asks for it (SIGUSR1, the
// same way a pause reads it to forward SIGTSTP).
TaskModule* observed_module = nullptr;
volatile sig_atomic_t observed_pid = -1;
void observe_pid(int) { observed_pid = observed_module->hxfd_pid_; }

TEST(ArchiverRun, PidLineStatisticsAndMessageLines) {
  LogSink log;
  TaskModule module;
  observed_module = &module;
  observed_pid = -1;
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = observe_pid;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  // The child waits until the PID line has been echoed (the PID is stored
  // before the echo), then asks for the PID while it is still running.
  const std::string command =
      "echo 'HXFD PID: 4711'; "
      "i=0; until grep -q 'HXFD PID: 4711' /proc/$PPID/fd/1 || [ $i -gt 100 ]; do sleep 0.05; i=$((i+1)); done; "
      "kill -USR1 $PPID; sleep 0.2; "
      "echo 'Packed: 12 files, 345 bytes'; echo 'archiving done'";
  const ChildRun run = run_child(module, command);
  sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_TRUE(run.result);
  EXPECT_EQ(observed_pid, 4711);
  EXPECT_EQ(run.pid_after, 0);
  EXPECT_EQ(run.echoed, "HXFD PID: 4711\nPacked: 12 files, 345 bytes\n");
  EXPECT_EQ(run.statistics, "12 files, 345 bytes");
  EXPECT_EQ(run.output, "archiving done\n");
  EXPECT_TRUE(logged(log, std::string("Info: ") + kRunSig + ":hxfd command: " + command));
}

TEST(ArchiverRun, LastStatisticsLineWinsAndAllAreEchoed) {
  LogSink log;
  TaskModule module;
  const ChildRun run = run_child(module,
                            "echo 'Packed: 1'; echo 'between'; echo 'Transferred: 2 bytes'; echo 'Unpacked: 3'",
                            "kept\n", "old");
  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.echoed, "Packed: 1\nTransferred: 2 bytes\nUnpacked: 3\n");
  EXPECT_EQ(run.statistics, "3");
  EXPECT_EQ(run.output, "kept\nbetween\n");  // appended to what the caller had
}

TEST(ArchiverRun, PrefixesAreExactAndCaseSensitive) {
  LogSink log;
  TaskModule module;
  const ChildRun run = run_child(module, "echo 'packed: 1'; echo 'Packed:2'; echo 'HXFD PID:5'; echo ' Unpacked: 4'");
  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.echoed, "");
  EXPECT_EQ(run.statistics, "");
  EXPECT_EQ(run.output, "packed: 1\nPacked:2\nHXFD PID:5\n Unpacked: 4\n");
  EXPECT_EQ(run.pid_after, 0);
}

TEST(ArchiverRun, FinalLineWithoutLineEndIsDropped) {
  LogSink log;
  TaskModule module;
  ChildRun run = run_child(module, "printf 'first\\nPacked: 1\\nlast words'");
  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.output, "first\n");
  EXPECT_EQ(run.statistics, "1");
  EXPECT_EQ(run.echoed, "Packed: 1\n");

  run = run_child(module, "printf 'Packed: 1\\nPacked: 2'");
  EXPECT_EQ(run.statistics, "1");
  EXPECT_EQ(run.echoed, "Packed: 1\n");
  EXPECT_EQ(run.output, "");
}

TEST(ArchiverRun, CarriageReturnEndsALine) {
  LogSink log;
  TaskModule module;
  // CR LF between two lines yields an empty line between them.
  ChildRun run = run_child(module, "printf 'one\\r\\ntwo\\n'");
  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.output, "one\n\ntwo\n");
  // Every CR LF pair is two line ends.
  run = run_child(module, "printf 'one\\r\\ntwo\\r\\n'");
  EXPECT_EQ(run.output, "one\n\ntwo\n\n");
  // Progress written with CR alone: each piece is a line of its own.
  run = run_child(module, "printf 'Packed: 10%%\\rPacked: 50%%\\rPacked: 100%%\\n'");
  EXPECT_EQ(run.echoed, "Packed: 10%\nPacked: 50%\nPacked: 100%\n");
  EXPECT_EQ(run.statistics, "100%");
  EXPECT_EQ(run.output, "");
}

TEST(ArchiverRun, NonZeroExitFailsAndKeepsTheOutput) {
  LogSink log;
  TaskModule module;
  const ChildRun run = run_child(module, "echo 'HXFD PID: 99'; echo 'disk full'; echo 'Packed: 0'; exit 3");
  EXPECT_FALSE(run.result);
  EXPECT_EQ(run.output, "disk full\n");
  EXPECT_EQ(run.statistics, "0");
  EXPECT_EQ(run.pid_after, 0);
  // No message of its own: the callers report the command and the output.
  for (const std::string& message : log.messages()) EXPECT_EQ(message.rfind("Error", 0), std::string::npos);
}

TEST(ArchiverRun, ChildEndedBySignalIsAFailure) {
  LogSink log;
  TaskModule module;
  // The shell itself is killed: the wait status reports a signal, not an exit.
  ChildRun run = run_child(module, "echo 'HXFD PID: 12'; echo partial; kill -KILL $$");
  EXPECT_FALSE(run.result);
  EXPECT_EQ(run.output, "partial\n");
  EXPECT_EQ(run.pid_after, 0);

  run = run_child(module, "kill -TERM $$");
  EXPECT_FALSE(run.result);
}

TEST(ArchiverRun, ShellWithoutTheProgramFails) {
  LogSink log;
  TaskModule module;
  const ChildRun run = run_child(module, "/nonexistent/hx-archiver-test-program 2>&1");
  EXPECT_FALSE(run.result);
  EXPECT_NE(run.output.find("not found"), std::string::npos) << run.output;
}

TEST(ArchiverRun, UnreadablePidFailsAfterTheChildIsAwaited) {
  LogSink log;
  TaskModule module;
  TempDir dir;
  const std::string pid_file = dir / "child.pid";
  // The child names itself in a file, then writes a PID line that is no number
  // and goes on writing for a while.
  const ChildRun run = run_child(
      module, "echo $$ > '" + pid_file + "'; echo 'HXFD PID: abc'; for i in 1 2 3 4 5; do echo more; sleep 0.05; done");
  EXPECT_FALSE(run.result);
  EXPECT_EQ(run.pid_after, 0);
  EXPECT_EQ(run.echoed, "");
  ASSERT_FALSE(log.messages().empty());
  EXPECT_EQ(log.messages().back(), std::string("Error: ") + kRunSig + ": stoi");
  // The child was waited for: not even a zombie is left.
  const pid_t child = static_cast<pid_t>(std::stoi(hx_archiver_test::read_file(pid_file)));
  EXPECT_EQ(kill(child, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST(ArchiverRun, PidOutOfRangeFails) {
  LogSink log;
  TaskModule module;
  const ChildRun run = run_child(module, "echo 'HXFD PID: 99999999999999999999'; echo 'after'");
  EXPECT_FALSE(run.result);
  EXPECT_EQ(run.pid_after, 0);
  ASSERT_FALSE(log.messages().empty());
  EXPECT_EQ(log.messages().back(), std::string("Error: ") + kRunSig + ": stoi");
}

TEST(ArchiverRun, TaskSecretFileName) {
  HxModuleOptions options;
  options.task_id = "7f3a-11";
  TaskModule module(options);
  EXPECT_EQ(module.get_task_secret(), "/opt/halvex/var/tasks//task_secret_7f3a-11");
  module.options_.task_id.clear();
  EXPECT_EQ(module.get_task_secret(), "/opt/halvex/var/tasks//task_secret_");
}

}  // namespace
