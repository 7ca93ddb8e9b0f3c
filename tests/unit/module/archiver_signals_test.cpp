// Signal handling of the module: the installed dispositions, forwarding to the
// archiver, and the clean-up of an abort in each mode.
#include "archiver_test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = boost::filesystem;
using hx_archiver_test::logged;
using hx_archiver_test::TaskModule;
using hx_archiver_test::TempDir;
using hx_test::LogSink;

struct sigaction disposition(int sig) {
  struct sigaction current {};
  sigaction(sig, nullptr, &current);
  return current;
}

TEST(ModuleSignals, HandlersInstalledForTheObjectsLifetime) {
  TaskModule module;
  {
    auto handler = HxModuleSignalHandler::init(&module);
    EXPECT_EQ(HxModuleSignalHandler::module_ptr_, &module);
    EXPECT_EQ(disposition(SIGINT).sa_handler, &HxModuleSignalHandler::shutdown_handler);
    EXPECT_EQ(disposition(SIGTERM).sa_handler, &HxModuleSignalHandler::shutdown_handler);
    EXPECT_EQ(disposition(SIGSEGV).sa_handler, &HxModuleSignalHandler::shutdown_handler);
    EXPECT_EQ(disposition(SIGTSTP).sa_handler, &HxModuleSignalHandler::pause_handler);
    EXPECT_EQ(disposition(SIGCONT).sa_handler, &HxModuleSignalHandler::continue_handler);
    EXPECT_EQ(disposition(SIGPIPE).sa_handler, &HxModuleSignalHandler::sigpipe_handler);
    EXPECT_EQ(disposition(SIGUSR1).sa_handler, SIG_DFL);
    // Interrupted system calls go on after a handler returns.
    EXPECT_NE(disposition(SIGTSTP).sa_flags & SA_RESTART, 0);
    // An abort is not entered twice, and no pause starts during one.
    const sigset_t held = disposition(SIGTERM).sa_mask;
    EXPECT_TRUE(sigismember(&held, SIGINT));
    EXPECT_TRUE(sigismember(&held, SIGTERM));
    EXPECT_TRUE(sigismember(&held, SIGTSTP));
    // A pause can be ended by continue and interrupted by an abort.
    const sigset_t pause_held = disposition(SIGTSTP).sa_mask;
    EXPECT_FALSE(sigismember(&pause_held, SIGCONT));
    EXPECT_FALSE(sigismember(&pause_held, SIGTERM));
  }
  for (int sig : {SIGINT, SIGTERM, SIGSEGV, SIGTSTP, SIGCONT, SIGPIPE}) {
    EXPECT_EQ(disposition(sig).sa_handler, SIG_DFL) << sig;
  }
}

TEST(ModuleSignals, ForwardingReachesTheArchiverOnly) {
  TaskModule module;
  testing::internal::CaptureStdout();
  module.send_signal_to_hxfd(SIGTERM);  // no archiver: nothing happens
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    pause();
    _exit(0);
  }
  module.hxfd_pid_ = child;
  testing::internal::CaptureStdout();
  module.send_signal_to_hxfd(SIGTERM);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "sent signal 15 to the process: " + std::to_string(child) + "\n");
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(ModuleSignals, ContinueWithoutPauseOnlyLogs) {
  LogSink log;
  TaskModule module;
  module.continue_working();
  EXPECT_FALSE(module.is_paused());
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{"Info: Module pid: " + std::to_string(getpid()) + " continue working"}));
}

TEST(ModuleSignals, AbortOfABackupReleasesTheResource) {
  LogSink log;
  for (int mode : {HxModuleMode::Backup, HxModuleMode::BackupList, HxModuleMode::CreateReplica}) {
    TaskModule module;
    module.options_.mode = mode;
    module.handle_shutdown_signal();
    EXPECT_TRUE(module.is_module_interrupted());
    EXPECT_EQ(module.calls, (std::vector<std::string>{"release"})) << mode;
  }
}

TEST(ModuleSignals, AbortOfARestoreRemovesOnlyTheRestoreDirectory) {
  TempDir dir;
  const std::string client_directory = dir / "client";
  fs::create_directories(client_directory + "/R1.rest/data");
  {
    // Before the restore directory is chosen the option still names the
    // client's own directory: it stays.
    LogSink log;
    TaskModule module;
    module.options_.mode = HxModuleMode::Restore;
    module.options_.tmp_operation_directory = client_directory;
    module.handle_shutdown_signal();
    EXPECT_TRUE(fs::exists(client_directory + "/R1.rest/data"));
    EXPECT_TRUE(log.messages().empty());
    EXPECT_TRUE(module.calls.empty());
  }
  {
    LogSink log;
    TaskModule module;
    module.options_.mode = HxModuleMode::Restore;
    module.options_.tmp_operation_directory = client_directory;
    module.options_.record_id = "R1";
    ASSERT_EQ(module.define_restore_directory(), 0);
    module.handle_shutdown_signal();
    EXPECT_FALSE(fs::exists(client_directory + "/R1.rest"));
    EXPECT_TRUE(fs::exists(client_directory));
    EXPECT_TRUE(logged(log, "Info: Remove temporary operation directory: " + client_directory + "/R1.rest"));
    EXPECT_TRUE(module.calls.empty());
  }
}

TEST(ModuleSignals, AbortOfAnApplyRemovesTheReferenceDirectory) {
  LogSink log;
  TempDir dir;
  const std::string reference = dir / "db0.snap_dir";
  fs::create_directories(reference);
  TaskModule module;
  module.options_.mode = HxModuleMode::ApplyReplica;
  module.options_.tmp_operation_directory = dir.str();
  module.reference_snapshot_directory_ = reference;
  module.handle_shutdown_signal();
  EXPECT_FALSE(fs::exists(reference));
  EXPECT_TRUE(fs::exists(dir.str()));
  EXPECT_TRUE(module.calls.empty());
}

TEST(ModuleSignals, AbortOfAQueryCleansNothing) {
  LogSink log;
  TaskModule module;
  module.options_.mode = HxModuleMode::Version;
  module.handle_shutdown_signal();
  EXPECT_TRUE(module.is_module_interrupted());
  EXPECT_TRUE(module.calls.empty());
  EXPECT_TRUE(log.messages().empty());
}

}  // namespace
