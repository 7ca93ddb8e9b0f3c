// Signal handling of the module: the installed dispositions, the pause flag,
// the release that runs at most once, and the clean-up of an abort in the
// modes the end-to-end scripts do not interrupt.
#include "archiver_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>

#include <sys/mman.h>
#include <sys/ptrace.h>
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
                "Error: void HxModuleUniversal::remove_created_restore_directory(): can't remove \"" + loop +
                    "\" (Not a directory)",
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
  // Seconds that name this run, so that the same test of another suite run
  // side by side is never taken for it.
  const std::string marker = "987." + std::to_string(getpid()) + "s";
  const pid_t task = fork();
  if (task == 0) {
    TaskModule module;
    auto handler = HxModuleSignalHandler::init(&module);
    if (fork() == 0) {
      execl("/bin/sleep", "sleep", marker.c_str(), static_cast<char*>(nullptr));
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
  const pid_t child = fork();
  if (child == 0) {
    for (;;) pause();
  }
  TaskModule module;
  testing::internal::CaptureStdout();
  for (const pid_t pid : {getppid(), child}) {
    module.set_hxfd_pid(pid);
    module.send_signal_to_hxfd(0);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "sent signal 0 to the process: " + std::to_string(child) + "\n");
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

// The process of a task with the signal handling in place (killed by an alarm
// as hung after 20 s): `work` gets the module, the log lines go to `out`.
template <typename Work>
[[noreturn]] void task_process(const std::string& out, Work work) {
  alarm(20);
  if (std::freopen(out.c_str(), "w", stdout) == nullptr) hx_process::exit_now(90);
  HxLogStream::set_default_loggers(HxDestination::Stdout());
  TaskModule module;
  auto handler = HxModuleSignalHandler::init(&module);
  const int code = work(module);
  std::cout.flush();
  hx_process::exit_now(code);
}

// Runs `work` as a task in a process of its own (task_process): its exit
// code, its log lines without time stamps, its seconds.
struct TaskEnd {
  pid_t pid;
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
  if (pid == 0) task_process(out, [&work](TaskModule&) { return work(); });
  int status = -1;
  waitpid(pid, &status, 0);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return {pid, WIFEXITED(status) ? WEXITSTATUS(status) : -1, hx_test::unstamped_lines(read_file(out)), seconds};
}

// An abort already pending ends the task at a point of no return, and at the
// beginning of a deferring section, before its step begins. Work blocked in a
// system call that it repeats after every interruption: the abort runs the
// registered interruptions and signals the work's thread, then freezes it and
// ends the task without it, with 17 within seconds.
TEST(ModuleSignals, AbortEndsTheWorkWhereverItIs) {
  int report[2];
  ASSERT_EQ(pipe2(report, O_NONBLOCK), 0);
  for (const bool deferring : {false, true}) {
    const TaskEnd pending = run_task([deferring, &report] {
      kill(getpid(), SIGTERM);
      while (!hx_utils_common::abort_requested()) usleep(1000);
      if (deferring) {
        HxAbortDeferral section;
        if (write(report[1], "s", 1) != 1) std::abort();  // the section's step
      } else {
        HxModuleUniversal::pass_point_of_no_return("a step that must not begin");
      }
      return 5;
    });
    EXPECT_EQ(pending.status, 17) << deferring;
    EXPECT_EQ(pending.lines, std::vector<std::string>{"Info: Module was terminated. PID: " +
                                                      std::to_string(pending.pid)});
  }
  char step = 0;
  EXPECT_EQ(read(report[0], &step, 1), -1) << "a deferring section began with an abort pending";
  const TaskEnd frozen = run_task([&report] {
    hx_utils_common::AbortInterruption interruption([&report] {
      if (write(report[1], "i", 1) != 1) std::abort();
    });
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
  char byte = 0;
  EXPECT_EQ(read(report[0], &byte, 1), 1);  // the interruption ran
  const std::string pid = std::to_string(frozen.pid);
  EXPECT_EQ(frozen.lines, (std::vector<std::string>{"Warning: Module pid: " + pid +
                                                        ": the task's work is blocked in a system call that does "
                                                        "not end; the task ends without it",
                                                    "Info: Module was terminated. PID: " + pid}));
  close(report[0]);
  close(report[1]);
}

// A pause or continue that lands while the other is being handled is served
// after it: a continue after a pause leaves the task going on, a pause after
// a continue leaves it paused. A tracer holds the first signal at its
// delivery, sends the second, and lets both through.
TEST(ModuleSignals, SignalDuringAnothersHandlingIsServedAfterIt) {
  const std::string paused = " put on pause";
  const std::string going_on = " continue working";
  for (const int first : {SIGTSTP, SIGCONT}) {
    const int second = first == SIGTSTP ? SIGCONT : SIGTSTP;
    TempDir dir;
    const std::string out = dir / "out";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      task_process(out, [&](TaskModule& module) {
        if (write(ready[1], "r", 1) != 1) return 91;
        // Both signals served, in whichever order: then the pause flag tells.
        for (;;) {
          const std::string text = read_file(out);
          if (text.find(paused) != std::string::npos && text.find(going_on) != std::string::npos) {
            return module.is_paused() ? 1 : 0;
          }
          usleep(10000);
        }
      });
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    close(ready[1]);
    ASSERT_EQ(ptrace(PTRACE_SEIZE, pid, nullptr, nullptr), 0);
    int status = 0;
    // The next stop at a signal's delivery; the tracer's notices that a
    // continue was sent are let go.
    auto delivery = [pid, &status] {
      for (;;) {
        if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) return 0;
        if (status >> 16 != PTRACE_EVENT_STOP) return WSTOPSIG(status);
        ptrace(PTRACE_CONT, pid, nullptr, nullptr);
      }
    };
    kill(pid, first);
    ASSERT_EQ(delivery(), first) << status;
    kill(pid, second);
    ASSERT_EQ(ptrace(PTRACE_CONT, pid, nullptr, first), 0);
    ASSERT_EQ(delivery(), second) << status;
    ASSERT_EQ(ptrace(PTRACE_DETACH, pid, nullptr, second), 0);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), second == SIGTSTP ? 1 : 0) << "exit 1: paused; first signal " << first;
    const std::string self = "Info: Module pid: " + std::to_string(pid);
    auto line = [&](int sig) { return self + (sig == SIGTSTP ? paused : going_on); };
    EXPECT_EQ(hx_test::unstamped_lines(read_file(out)), (std::vector<std::string>{line(first), line(second)})) << first;
  }
}

// Module parameters that the module refuses end a task with 14, a target
// that another task holds with 2: right after the configuration, before any
// other step, in each sequence.
TEST(ModuleSequences, RefusedParametersAndTargetTouchNothing) {
  LogSink log;
  for (const std::string refused : {"parameters", "target"}) {
    for (const int mode : {HxModuleMode::Backup, HxModuleMode::Restore, HxModuleMode::ApplyReplica}) {
      TaskModule module;
      module.failing = {refused};
      const unsigned int code = mode == HxModuleMode::Backup    ? module.backup_sequence(false)
                                : mode == HxModuleMode::Restore ? module.restore_sequence()
                                                                : module.apply_sequence();
      EXPECT_EQ(code, refused == "parameters" ? 14u : 2u) << mode;
      EXPECT_EQ(module.calls, std::vector<std::string>{"config"}) << mode;
    }
  }
  EXPECT_TRUE(log.messages().empty());
}

}  // namespace
