// Signal handling of the module: the installed dispositions and the clean-up of
// an abort in the modes the end-to-end scripts do not interrupt.
#include "archiver_test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

namespace {

namespace fs = boost::filesystem;
using namespace hx_archiver_test;

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
    for (int sig : {SIGINT, SIGTERM, SIGSEGV}) {
      EXPECT_EQ(disposition(sig).sa_handler, &HxModuleSignalHandler::shutdown_handler) << sig;
    }
    EXPECT_EQ(disposition(SIGTSTP).sa_handler, &HxModuleSignalHandler::pause_handler);
    EXPECT_EQ(disposition(SIGCONT).sa_handler, &HxModuleSignalHandler::continue_handler);
    EXPECT_EQ(disposition(SIGPIPE).sa_handler, &HxModuleSignalHandler::sigpipe_handler);
    EXPECT_EQ(disposition(SIGUSR1).sa_handler, SIG_DFL);
    EXPECT_NE(disposition(SIGTSTP).sa_flags & SA_RESTART, 0);  // interrupted calls go on
    // An abort is not entered twice and no pause starts during one; a pause
    // can be ended by continue and interrupted by an abort.
    const sigset_t held = disposition(SIGTERM).sa_mask;
    EXPECT_TRUE(sigismember(&held, SIGINT) && sigismember(&held, SIGTERM) && sigismember(&held, SIGTSTP));
    const sigset_t pause_held = disposition(SIGTSTP).sa_mask;
    EXPECT_FALSE(sigismember(&pause_held, SIGCONT) || sigismember(&pause_held, SIGTERM));
  }
  for (int sig : {SIGINT, SIGTERM, SIGSEGV, SIGTSTP, SIGCONT, SIGPIPE}) {
    EXPECT_EQ(disposition(sig).sa_handler, SIG_DFL) << sig;
  }
}

TEST(ModuleSignals, AbortOfABackupInEveryModeReleasesTheResource) {
  LogSink log;
  for (int mode : {HxModuleMode::Backup, HxModuleMode::BackupList, HxModuleMode::CreateReplica}) {
    TaskModule module;
    module.options_.mode = mode;
    module.handle_shutdown_signal();
    EXPECT_TRUE(module.is_module_interrupted());
    EXPECT_EQ(module.calls, (std::vector<std::string>{"release"})) << mode;
  }
}

TEST(ModuleSignals, AbortOfARestoreBeforeItsDirectoryIsChosenRemovesNothing) {
  TempDir dir;
  fs::create_directories(dir / "R1.rest/data");
  LogSink log;
  TaskModule module;
  module.options_.mode = HxModuleMode::Restore;
  module.options_.tmp_operation_directory = dir.str();  // still the client's own directory
  module.handle_shutdown_signal();
  EXPECT_TRUE(fs::exists(dir / "R1.rest/data"));
  EXPECT_TRUE(log.messages().empty());
  EXPECT_TRUE(module.calls.empty());
}

}  // namespace
