// Signal handling of the module: the installed dispositions, the pause flag,
// the release that runs at most once, and the clean-up of an abort in the
// modes the end-to-end scripts do not interrupt.
#include "archiver_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

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
    for (int sig : {SIGINT, SIGTERM}) {
      EXPECT_EQ(disposition(sig).sa_handler, &HxModuleSignalHandler::shutdown_handler) << sig;
    }
    EXPECT_EQ(disposition(SIGSEGV).sa_sigaction, &HxModuleSignalHandler::fault_handler);
    EXPECT_NE(disposition(SIGSEGV).sa_flags & SA_SIGINFO, 0);
    EXPECT_EQ(disposition(SIGTSTP).sa_handler, &HxModuleSignalHandler::pause_handler);
    EXPECT_EQ(disposition(SIGCONT).sa_handler, &HxModuleSignalHandler::continue_handler);
    EXPECT_EQ(disposition(SIGPIPE).sa_handler, &HxModuleSignalHandler::sigpipe_handler);
    EXPECT_EQ(disposition(SIGUSR1).sa_handler, SIG_DFL);
    EXPECT_NE(disposition(SIGTSTP).sa_flags & SA_RESTART, 0);  // interrupted calls go on
  }
  for (int sig : {SIGINT, SIGTERM, SIGSEGV, SIGTSTP, SIGCONT, SIGPIPE}) {
    EXPECT_EQ(disposition(sig).sa_handler, SIG_DFL) << sig;
  }
}

// An abort during run(): a backup is released and loses what it unpacked, an
// applied replica its reference snapshot directory; a restore whose directory
// is not chosen yet, and a query, keep everything (-d is the client's own).
TEST(ModuleSignals, AbortCleansUpForItsMode) {
  TempDir dir;
  const std::string reference = dir / "db0.snap_dir";
  LogSink log;
  const struct {
    int mode;
    std::vector<std::string> calls;
    bool removed;
  } cases[] = {{HxModuleMode::Backup, {"release"}, true},
               {HxModuleMode::BackupList, {"release"}, true},
               {HxModuleMode::CreateReplica, {"release"}, true},
               {HxModuleMode::ApplyReplica, {}, true},
               {HxModuleMode::Restore, {}, false},
               {HxModuleMode::Version, {}, false}};
  fs::create_directories(dir / "R1.rest/data");
  for (const auto& c : cases) {
    fs::create_directories(reference);
    TaskModule module;
    module.options_.mode = c.mode;
    module.options_.tmp_operation_directory = dir.str();
    module.reference_snapshot_directory_ = reference;
    module.handle_shutdown_signal();
    EXPECT_TRUE(module.is_module_interrupted());
    EXPECT_EQ(module.calls, c.calls) << c.mode;
    EXPECT_EQ(fs::exists(reference), !c.removed) << c.mode;
  }
  EXPECT_TRUE(fs::exists(dir / "R1.rest/data"));
  EXPECT_EQ(log.messages(), std::vector<std::string>{"Info: Remove obsolete snapshot directory: " + reference});
}

// Before run() or after it an abort runs no hook of the module: of a restore
// it removes the restore directory the task made.
TEST(ModuleSignals, AbortOutsideRunRunsNoHook) {
  TempDir dir;
  LogSink log;
  for (int mode : {HxModuleMode::Backup, HxModuleMode::Restore}) {
    TaskModule module;
    module.options_.mode = mode;
    module.options_.tmp_operation_directory = dir / std::to_string(mode);
    module.options_.record_id = "R1";
    ASSERT_EQ(module.define_restore_directory(), 0);
    module.abort_cleanup();
    EXPECT_TRUE(module.is_module_interrupted() && module.calls.empty());
    EXPECT_EQ(fs::exists(dir / std::to_string(mode) + "/R1.rest"), mode == HxModuleMode::Backup);
  }
  EXPECT_EQ(log.messages(), std::vector<std::string>{"Info: Remove temporary operation directory: " + dir.str() +
                                                     "/10/R1.rest"});
}

// Directories of a failed or aborted task that cannot be removed are reported,
// and the task goes on to its end.
TEST(ModuleSignals, RemovalsThatFailAreReported) {
  TempDir dir;
  const std::string loop = dir.self_link("loop");
  LogSink log;
  TaskModule restore;
  restore.options_.mode = HxModuleMode::Restore;
  restore.created_restore_directory_ = loop + "/R2.rest";
  restore.abort_cleanup();
  TaskModule backup;
  backup.options_.mode = HxModuleMode::Backup;
  backup.failing = {"config"};
  backup.reference_snapshot_directory_ = loop + "/db0.snap_dir";
  EXPECT_EQ(backup.backup_sequence(false), 2u);
  const std::string too_many = "Too many levels of symbolic links";
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{
                "Info: Remove temporary operation directory: " + loop + "/R2.rest",
                "Error: void HxModuleUniversal::remove_created_restore_directory(): boost::filesystem: " + too_many,
                "Error: Unable to load configuration from config file.",
                "Error: void HxModuleUniversal::remove_created_directories(): boost::filesystem: " + loop +
                    "/db0.snap_dir: " + too_many}));
}

// Pause and continue in quick succession leave the module running; work held
// by the pause goes on at continue.
TEST(ModuleSignals, ContinueEndsAHold) {
  LogSink log;
  TaskModule module;
  module.set_to_pause();
  EXPECT_TRUE(module.is_paused());
  std::thread held([&module] { module.hold_while_paused(); });
  module.continue_working();
  held.join();
  EXPECT_FALSE(module.is_paused());
  module.hold_while_paused();  // returns at once
  const std::string pid = std::to_string(getpid());
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"Info: Module pid: " + pid + " put on pause",
                                                      "Info: Module pid: " + pid + " continue working"}));
}

// The release hook runs once per task: an abort during or after the
// sequence's own release does not run it again.
TEST(ModuleSignals, ReleaseRunsAtMostOnce) {
  LogSink log;
  TaskModule module;
  module.options_.mode = HxModuleMode::Backup;
  module.failing = {"release"};
  EXPECT_FALSE(module.release_resource_once());
  EXPECT_FALSE(module.release_resource_once());
  module.handle_shutdown_signal();
  EXPECT_EQ(module.calls, std::vector<std::string>{"release"});
}

// A real segmentation fault: the task's processes are killed and the program
// ends with 17 at once, from inside the handler.
TEST(ModuleSignals, RealFaultKillsTheTaskProcessesAndEndsWith17) {
  const char* const marker = "987.653";
  const pid_t task = fork();
  if (task == 0) {
    TaskModule module;
    auto handler = HxModuleSignalHandler::init(&module);
    if (fork() == 0) {
      execl("/bin/sleep", "sleep", marker, static_cast<char*>(nullptr));
      _exit(1);
    }
    while (hx_utils_common::descendant_pids(getpid()).empty()) usleep(1000);
    usleep(100000);  // the child has become sleep
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int*>(page) = 1;
    _exit(3);
  }
  int status = 0;
  ASSERT_EQ(task, waitpid(task, &status, 0));
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(17, WEXITSTATUS(status));
  usleep(200000);
  const std::string command = std::string("sleep") + '\0' + marker;
  for (fs::directory_iterator it("/proc"), end; it != end; ++it) {
    EXPECT_EQ(std::string::npos, hx_test::read_file(it->path().string() + "/cmdline").find(command))
        << "the task's process outlived it: " << it->path();
  }
}

// The signal forwarding reaches only a process below the task: a number
// that names another process (the archiver ended and its number was reused)
// is left alone.
TEST(ModuleSignals, OnlyAProcessBelowTheTaskIsSignalled) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t middle = fork();
  if (middle == 0) {
    const pid_t orphan = fork();
    if (orphan == 0) {
      for (;;) pause();
    }
    hx_process::exit_now(write(fds[1], &orphan, sizeof(orphan)) == sizeof(orphan) ? 0 : 1);
  }
  pid_t stranger = 0;
  ASSERT_EQ(read(fds[0], &stranger, sizeof(stranger)), static_cast<ssize_t>(sizeof(stranger)));
  waitpid(middle, nullptr, 0);  // its child now belongs to another process
  const pid_t child = fork();
  if (child == 0) {
    for (;;) pause();
  }
  auto state = [](pid_t pid) {
    const std::string stat = hx_test::read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos ? '?' : stat[close + 2];
  };
  TaskModule module;
  testing::internal::CaptureStdout();
  module.set_hxfd_pid(stranger);
  module.send_signal_to_hxfd(SIGSTOP);
  module.set_hxfd_pid(child);
  module.send_signal_to_hxfd(SIGSTOP);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "sent signal 19 to the process: " + std::to_string(child) + "\n");
  for (int i = 0; i < 200 && state(child) != 'T'; ++i) usleep(5000);
  EXPECT_EQ(state(child), 'T');
  EXPECT_NE(state(stranger), 'T');
  kill(stranger, SIGKILL);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(fds[0]);
  close(fds[1]);
}

// A task with the signal handling in place, in a process of its own: `work`
// runs on its thread and returns its exit code; everything logged goes to
// the returned lines (without time stamps), an abort's lines included.
struct TaskEnd {
  int status;
  std::vector<std::string> lines;
  double seconds;
};

template <typename Work>
TaskEnd run_task(Work work) {
  TempDir dir;
  const std::string out = dir / "out";
  std::fflush(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (std::freopen(out.c_str(), "w", stdout) == nullptr) hx_process::exit_now(90);
    HxLogStream::set_default_loggers(HxDestination::Stdout());
    TaskModule module;
    module.options_.mode = HxModuleMode::Restore;
    auto handler = HxModuleSignalHandler::init(&module);
    const int code = work(module);
    std::cout.flush();
    hx_process::exit_now(code);
  }
  // A task that does not end within 20 s is killed: it counts as hung.
  int status = -1;
  bool ended = false;
  for (int i = 0; i < 2000 && !ended; ++i) {
    ended = waitpid(pid, &status, WNOHANG) == pid;
    if (!ended) usleep(10000);
  }
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, hx_test::unstamped_lines(hx_test::read_file(out)), seconds};
}

// Past a point of no return an abort only warns that it came too late, and
// the task reports its real exit code; an abort already pending ends the
// task at the call, before its step begins.
TEST(ModuleSignals, PointOfNoReturn) {
  const TaskEnd late = run_task([](TaskModule&) {
    HxModuleUniversal::pass_point_of_no_return("the test's step has begun");
    kill(getpid(), SIGTERM);
    for (int i = 0; i < 500 && !hx_utils_common::abort_requested(); ++i) usleep(10000);
    hx_utils_common::sleep_seconds(1);  // a wait, in which an abort would take effect
    return 5;
  });
  EXPECT_EQ(late.status, 5);
  ASSERT_EQ(late.lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(late.lines[0],
                               std::regex("Warning: Module pid: [0-9]+ received a termination signal too late to stop "
                                          "the task: the test's step has begun; the task goes on to its end and "
                                          "reports its result")))
      << late.lines[0];

  const TaskEnd pending = run_task([](TaskModule&) {
    kill(getpid(), SIGTERM);
    while (!hx_utils_common::abort_requested()) usleep(1000);
    HxModuleUniversal::pass_point_of_no_return("a step that must not begin");
    return 5;
  });
  EXPECT_EQ(pending.status, 17);
  ASSERT_FALSE(pending.lines.empty());
  EXPECT_TRUE(std::regex_match(pending.lines.back(), std::regex("Info: Module was terminated. PID: [0-9]+")));
}

// Work blocked in a system call when an abort comes: after a second the
// interruptions run and the call returns with EINTR; the work ends at its
// next abort point. Work whose call is repeated after every interruption is
// frozen after two of them, and the abort ends the task without it. Both end
// with 17 within seconds.
TEST(ModuleSignals, AbortEndsBlockedWork) {
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const TaskEnd interrupted = run_task([&report](TaskModule&) {
    hx_utils_common::AbortInterruption interruption([&report] {
      if (write(report[1], "i", 1) != 1) std::abort();
    });
    int blocked[2];
    if (pipe(blocked) != 0) return 90;
    kill(getpid(), SIGTERM);
    char byte = 0;
    const ssize_t got = read(blocked[0], &byte, 1);  // nothing ever comes
    if (got < 0 && errno == EINTR) hx_utils_common::abort_point();
    return 5;
  });
  EXPECT_EQ(interrupted.status, 17);
  EXPECT_LT(interrupted.seconds, 5);
  char byte = 0;
  fcntl(report[0], F_SETFL, O_NONBLOCK);
  EXPECT_EQ(read(report[0], &byte, 1), 1);  // the interruption ran
  ASSERT_FALSE(interrupted.lines.empty());
  EXPECT_TRUE(std::regex_match(interrupted.lines.back(), std::regex("Info: Module was terminated. PID: [0-9]+")));

  const TaskEnd frozen = run_task([](TaskModule&) {
    int blocked[2];
    if (pipe(blocked) != 0) return 90;
    kill(getpid(), SIGTERM);
    char byte = 0;
    while (read(blocked[0], &byte, 1) < 0 && errno == EINTR) {
    }
    return 5;
  });
  EXPECT_EQ(frozen.status, 17);
  EXPECT_LT(frozen.seconds, 6);
  ASSERT_EQ(frozen.lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(frozen.lines[0], std::regex("Warning: Module pid: [0-9]+: the task's work is blocked in a "
                                                           "system call that does not end; the task ends without it")))
      << frozen.lines[0];
  EXPECT_TRUE(std::regex_match(frozen.lines[1], std::regex("Info: Module was terminated. PID: [0-9]+")));
  close(report[0]);
  close(report[1]);
}

// Module parameters that the module refuses end a task with 14, a target
// that another task holds with 2: right after the configuration, before the
// task makes or unpacks anything, in each sequence.
class JudgingModule : public TaskModule {
 public:
  bool module_parameters_valid() override { return !refuse_parameters; }
  bool lock_task_target() override { return !refuse_target; }
  bool refuse_parameters = false;
  bool refuse_target = false;
};

TEST(ModuleSequences, RefusedParametersAndTargetTouchNothing) {
  LogSink log;
  TempDir dir;
  for (const bool parameters : {true, false}) {
    for (const int mode : {HxModuleMode::Backup, HxModuleMode::Restore, HxModuleMode::ApplyReplica}) {
      JudgingModule module;
      module.options_.mode = mode;
      module.options_.tmp_operation_directory = dir.str();
      module.options_.archive_name = "db1";
      module.options_.record_id = "R1";
      module.options_.meta_file = dir / "db0.snap";
      module.refuse_parameters = parameters;
      module.refuse_target = !parameters;
      const unsigned int code = mode == HxModuleMode::Backup    ? module.backup_sequence(false)
                                : mode == HxModuleMode::Restore ? module.restore_sequence()
                                                                : module.apply_sequence();
      EXPECT_EQ(code, parameters ? 14u : 2u) << mode;
      EXPECT_EQ(module.calls, std::vector<std::string>{"config"}) << mode;
      EXPECT_TRUE(fs::is_empty(dir.str())) << mode;
    }
  }
  EXPECT_TRUE(log.messages().empty());
}

}  // namespace
