// Signals from the client: terminal stop pauses the task (the archiver first,
// then the module), continue resumes it (the module first, then the
// archiver), interrupt, terminate and segmentation fault abort it with exit
// code 17 after the clean-up of the current operation.
//
// A handler only writes the signal's number into a pipe. A thread of the
// handler object reads the pipe and does the work in ordinary code, so no
// handler ever interrupts an allocation, a stream write or a lock of the work
// it lands in.
//
// The work of the task and an abort never run at the same time. The work's
// thread holds a gate while it runs and lets go of it only while it waits for
// an outside process or for time (hx_utils_common::OutsideWait). An abort
// takes the gate and keeps it: it ends the task's processes, cleans up and
// ends the program, and the work's thread, once its wait is over, finds the
// gate taken and never goes on. Where the work reaches a wait, an abort point
// or the end of a deferring section after an abort was requested, it gives
// the gate up for good. A pause holds the work at the same places until
// continue.
//
// Work that keeps the gate outside any deferring section for more than a
// second after an abort was requested is interrupted, once a second until it
// lets go: the interruptions it registered run (a database statement is
// cancelled through its connection), and the work's thread gets a signal
// whose handler does nothing, so that a call blocked in the kernel (the open
// of a FIFO, say) returns with EINTR. The work then fails its step and gives
// the gate up at its next wait or abort point.
//
// A call that no interruption ends (a read that the library repeats after
// EINTR, a file on a network mount that does not answer) would keep the
// abort from ever taking effect. When the work's thread is still blocked in
// the kernel after two interruptions, the abort goes ahead without the gate:
// the thread is frozen first (the same signal's handler then never returns,
// so the thread never runs again, even when its call ends later), and the
// abort cleans up and ends the program as always. Only a thread blocked in
// the kernel is frozen: it is inside a system call, not halfway through
// changing the task's state, and the logger holds signals while it writes,
// so the thread never stops holding a log destination.
//
// Past a point of no return the work keeps the gate to its end: an abort is
// then only reported, with a Warning that it came too late.
#include "module/hx_modules_common.h"
#include "utils/exit_now.h"

#include "log/hx_logger.h"
#include "utils/descriptors.h"
#include "utils/hx_utils_common.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The write end of the signal pipe, -1 while no handler object lives.
std::atomic<int> signal_pipe{-1};

// Records the signal for the signal thread. Async-signal-safe.
void record(int sig) {
  const int fd = signal_pipe.load();
  if (fd < 0) return;
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(sig);
  const ssize_t written = ::write(fd, &byte, 1);  // a full pipe drops the signal
  (void)written;
  errno = saved;
}

// Installs a handler whose interrupted system calls are restarted. The
// client's signals are held while it runs: one that lands before the handler
// has written its own would otherwise be written first, and a continue
// written ahead of the pause it follows leaves the task paused for good.
void install(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  for (int held : {SIGINT, SIGTERM, SIGTSTP, SIGCONT}) sigaddset(&action.sa_mask, held);
  action.sa_flags = SA_RESTART;
  sigaction(sig, &action, nullptr);
}

const unsigned char kStopWatching = 0;

// The signal that interrupts a blocked call of the work's thread. Its handler
// is installed without SA_RESTART and does nothing, until an abort decides to
// go ahead without the work: then it freezes the thread for good.
int interrupt_signal() { return SIGRTMIN + 3; }

std::atomic<bool> freeze_work{false};

void interrupt_handler(int) {
  if (!freeze_work.load()) return;
  for (;;) ::pause();
}

// Interruptions of the work run on a thread of their own, so that one that
// hangs (a cancel request to a server that does not answer) never holds up
// the abort. True while such a thread runs.
std::atomic<bool> interrupting{false};

void start_interruptions() {
  if (interrupting.exchange(true)) return;
  try {
    std::thread([] {
      hx_utils_common::interrupt_work();
      interrupting.store(false);
    }).detach();
  } catch (const std::exception&) {
    interrupting.store(false);  // no thread to be had: the next round tries again
  }
}

// The state letter of a thread of this process ('R' running, 'S' or 'D'
// blocked in the kernel), or 0 when it cannot be read.
char thread_state(long tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() ? 0 : text[close + 2];
}

// Interruptions after which work still blocked in the kernel is frozen.
const int kInterruptionsBeforeFreeze = 2;

// Clean-ups of the operation in progress that an abort runs (HxAbortCleanup).
std::mutex cleanups_mutex;
std::vector<std::pair<const HxAbortCleanup*, std::function<void()>>>& cleanups() {
  static std::vector<std::pair<const HxAbortCleanup*, std::function<void()>>> registered;
  return registered;
}

}  // namespace

class HxModuleSignalHandler::Control {
 public:
  explicit Control(HxModuleUniversal* module)
      : module_(module),
        work_thread_(std::this_thread::get_id()),
        work_native_(pthread_self()),
        work_tid_(::syscall(SYS_gettid)) {
    if (::pipe2(pipe_, O_CLOEXEC) != 0) {
      pipe_[0] = pipe_[1] = -1;
      return;  // without a pipe no signal is recorded: the handlers do nothing
    }
    ::fcntl(pipe_[1], F_SETFL, O_NONBLOCK);
    struct sigaction interrupt {};
    interrupt.sa_handler = interrupt_handler;
    sigemptyset(&interrupt.sa_mask);
    interrupt.sa_flags = 0;  // no SA_RESTART: a blocked call returns with EINTR
    sigaction(interrupt_signal(), &interrupt, nullptr);
    gate_.lock();
    // The signal thread takes no signal itself: they reach the work's
    // thread, whose handlers only write into the pipe.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    watcher_ = std::thread(&Control::watch, this);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    live_.store(this);
    hx_utils_common::set_wait_callbacks(&Control::begin_wait, &Control::end_wait);
    signal_pipe.store(pipe_[1]);
  }

  ~Control() {
    if (pipe_[1] < 0) return;
    signal_pipe.store(-1);
    hx_utils_common::set_wait_callbacks(nullptr, nullptr);
    // Signals recorded before this point are served first: an abort among
    // them ends the program here, as it would have a moment earlier.
    while (::write(pipe_[1], &kStopWatching, 1) != 1 && errno == EAGAIN) std::this_thread::yield();
    gate_.unlock();
    watcher_.join();
    live_.store(nullptr);
    ::close(pipe_[0]);
    ::close(pipe_[1]);
  }

  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  // The live object when called on the thread that does the work, else null.
  static Control* on_work_thread() {
    Control* control = live_.load();
    return control != nullptr && std::this_thread::get_id() == control->work_thread_ ? control : nullptr;
  }

  static void begin_wait() {
    Control* control = on_work_thread();
    if (control == nullptr || control->keeps_gate()) return;
    if (control->aborting_.load()) control->give_up();
    control->gate_.unlock();
    if (control->module_ != nullptr) control->module_->hold_while_paused();
  }

  static void end_wait() {
    Control* control = on_work_thread();
    if (control == nullptr || control->keeps_gate()) return;
    control->gate_.lock();  // an abort keeps it: the work stops here for good
    control->checkpoint();
  }

  // A deferring section begins; an abort already requested ends the work
  // here, before the section does anything. Decided under the state mutex,
  // so that an abort never interrupts a section that has begun.
  void defer() {
    {
      std::lock_guard<std::mutex> guard(state_mutex_);
      if (deferrals_.load() > 0 || no_return_.load() || !aborting_.load()) {
        ++deferrals_;
        return;
      }
    }
    give_up();
  }

  void end_deferral() {
    if (--deferrals_ == 0 && !no_return_.load()) checkpoint();
  }

  void pass_point_of_no_return(const std::string& what) {
    std::unique_lock<std::mutex> guard(state_mutex_);
    if (no_return_.load()) return;
    // An abort that is pending ends the task before the step begins. Inside
    // a deferring section, which the abort waits for, the step is begun all
    // the same; the abort then comes too late.
    if (aborting_.load() && deferrals_.load() == 0) {
      guard.unlock();
      give_up();
    }
    no_return_what_ = what;
    no_return_.store(true);
  }

 private:
  // With the gate held: gives it up for good when an abort was requested,
  // holds the work while the task is paused.
  void checkpoint() {
    for (;;) {
      if (aborting_.load()) give_up();
      if (module_ == nullptr || !module_->pause_holds_work()) return;
      gate_.unlock();
      module_->hold_while_paused();
      gate_.lock();
    }
  }

  // Lets the abort have the gate and waits for the end of the program.
  [[noreturn]] void give_up() {
    gate_.unlock();
    for (;;) ::pause();
  }

  // The work keeps the gate through its waits: inside a deferring section
  // and past a point of no return.
  bool keeps_gate() const { return deferrals_.load() > 0 || no_return_.load(); }

  // True when the work's thread is blocked in the kernel (in a system call).
  bool work_blocked() const {
    const char state = thread_state(work_tid_);
    return state == 'S' || state == 'D';
  }

  void watch() {
    for (;;) {
      unsigned char sig = kStopWatching;
      const ssize_t got = ::read(pipe_[0], &sig, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got != 1 || sig == kStopWatching) return;
      HxModuleUniversal* module = HxModuleSignalHandler::module_ptr_;
      switch (sig) {
        case SIGTSTP:
          if (module != nullptr) module->pause_task();
          break;
        case SIGCONT:
          if (module != nullptr) {
            module->continue_working();
            module->send_signal_to_hxfd(SIGCONT);
          }
          break;
        default:
          abort_task(module);
      }
    }
  }

  void abort_task(HxModuleUniversal* module) {
    {
      std::lock_guard<std::mutex> guard(state_mutex_);
      // Requested, whether or not it can still take effect: work past a
      // point of no return may ask too.
      hx_utils_common::note_abort_requested();
      if (no_return_.load()) {
        report_too_late();
        return;
      }
      if (aborting_.load()) return;  // a second signal of the same abort
      aborting_.store(true);
    }
    // The work lets go of the gate at its next wait. Work that keeps it
    // outside a deferring section is interrupted, once a second; work still
    // blocked in the kernel after that is frozen and left behind.
    int interruptions = 0;
    while (!gate_.try_lock_for(std::chrono::seconds(1))) {
      std::unique_lock<std::mutex> guard(state_mutex_);
      if (no_return_.load()) {
        // A deferring section passed a point of no return meanwhile.
        report_too_late();
        return;
      }
      if (deferrals_.load() > 0) continue;
      if (interruptions >= kInterruptionsBeforeFreeze && work_blocked()) {
        freeze_work.store(true);
        pthread_kill(work_native_, interrupt_signal());
        guard.unlock();
        HxLogStream(HxLogLvl::Warning) << "Module pid: " << getpid()
                                       << ": the task's work is blocked in a system call that does not end; the "
                                          "task ends without it"
                                       << std::endl;
        finish_abort(module);
      }
      // The interruptions go first (a cancelled statement ends cleanly), for
      // at most half a second; then the blocked call.
      start_interruptions();
      for (int waited = 0; waited < 50 && interrupting.load(); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      pthread_kill(work_native_, interrupt_signal());
      ++interruptions;
    }
    finish_abort(module);
  }

  // Past the point of no return the task finishes what it started and
  // reports its real result; the abort is only reported, once.
  void report_too_late() {
    if (too_late_reported_) return;
    too_late_reported_ = true;
    HxLogStream(HxLogLvl::Warning) << "Module pid: " << getpid()
                                   << " received a termination signal too late to stop the task: " << no_return_what_
                                   << "; the task goes on to its end and reports its result" << std::endl;
  }

  [[noreturn]] void finish_abort(HxModuleUniversal* module) {
    hx_utils_common::end_process_tree(getpid());
    if (module != nullptr) module->abort_cleanup();
    HxLogStream(HxLogLvl::Info) << "Module was terminated. PID: " << getpid() << std::endl;
    std::cout.flush();
    std::fflush(nullptr);
    // The work's thread is stopped for good somewhere in its own code, so the
    // program ends without running destructors or exit handlers under it.
    hx_process::exit_now(17);
  }

  static std::atomic<Control*> live_;

  HxModuleUniversal* module_;
  const std::thread::id work_thread_;
  const pthread_t work_native_;
  const long work_tid_;
  int pipe_[2] = {-1, -1};
  std::timed_mutex gate_;
  std::atomic<int> deferrals_{0};  // changed by the work's thread only
  std::atomic<bool> aborting_{false};
  // Guards the passage of the point of no return against a beginning abort.
  std::mutex state_mutex_;
  std::atomic<bool> no_return_{false};
  std::string no_return_what_;
  bool too_late_reported_ = false;
  std::thread watcher_;
};

std::atomic<HxModuleSignalHandler::Control*> HxModuleSignalHandler::Control::live_{nullptr};

HxModuleUniversal* HxModuleSignalHandler::module_ptr_ = nullptr;

std::unique_ptr<HxModuleSignalHandler> HxModuleSignalHandler::init(HxModuleUniversal* module) {
  return std::make_unique<HxModuleSignalHandler>(module);
}

HxModuleSignalHandler::HxModuleSignalHandler(HxModuleUniversal* module) {
  module_ptr_ = module;
  control_ = std::make_unique<Control>(module);
  install(SIGINT, shutdown_handler);
  install(SIGTERM, shutdown_handler);
  struct sigaction fault {};
  fault.sa_sigaction = fault_handler;
  sigemptyset(&fault.sa_mask);
  fault.sa_flags = SA_SIGINFO | SA_RESTART;
  sigaction(SIGSEGV, &fault, nullptr);
  // Continue before pause: a pause that is recorded never has its continue
  // missed (one that comes earlier is the kernel's: it stops the whole
  // process, or is dropped for a detached one).
  install(SIGCONT, continue_handler);
  install(SIGTSTP, pause_handler);
  install(SIGPIPE, sigpipe_handler);
}

HxModuleSignalHandler::~HxModuleSignalHandler() {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGSEGV, SIG_DFL);
  signal(SIGTSTP, SIG_DFL);
  signal(SIGCONT, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  control_.reset();
}

void HxModuleSignalHandler::shutdown_handler(int sig) {
  if (sig == SIGINT || sig == SIGTERM || sig == SIGSEGV) record(sig);
}

void HxModuleSignalHandler::pause_handler(int sig) {
  if (sig == SIGTSTP) record(sig);
}

void HxModuleSignalHandler::continue_handler(int sig) {
  if (sig == SIGCONT) record(sig);
}

void HxModuleSignalHandler::sigpipe_handler(int) {}

void HxModuleSignalHandler::fault_handler(int sig, siginfo_t* info, void*) {
  if (info != nullptr && info->si_code <= 0) {
    record(sig);  // sent by a process, not raised by a fault
    return;
  }
  // The memory of the process can no longer be trusted: no clean-up, no
  // log line. The lock's owner file is let go by the kernel, so the next
  // task takes the lock over. (A test reaches these lines only in a process
  // that they end with _exit, which writes no coverage counters: they show
  // as not run.)
  hx_utils_common::kill_process_tree_now(getpid());
  _exit(17);
}

HxAbortCleanup::HxAbortCleanup(std::function<void()> cleanup) {
  std::lock_guard<std::mutex> guard(cleanups_mutex);
  cleanups().emplace_back(this, std::move(cleanup));
}

HxAbortCleanup::~HxAbortCleanup() {
  std::lock_guard<std::mutex> guard(cleanups_mutex);
  auto& list = cleanups();
  list.erase(std::remove_if(list.begin(), list.end(), [this](const auto& entry) { return entry.first == this; }),
             list.end());
}

void HxAbortCleanup::run_all() {
  std::vector<std::function<void()>> pending;
  {
    std::lock_guard<std::mutex> guard(cleanups_mutex);
    for (auto it = cleanups().rbegin(); it != cleanups().rend(); ++it) pending.push_back(it->second);
    cleanups().clear();
  }
  for (auto& cleanup : pending) {
    try {
      cleanup();
    } catch (const std::exception& e) {
      HxLogStream(HxLogLvl::Error) << "void HxAbortCleanup::run_all(): " << e.what() << std::endl;
    }
  }
}

void HxModuleUniversal::pass_point_of_no_return(const std::string& what) {
  if (HxModuleSignalHandler::Control* control = HxModuleSignalHandler::Control::on_work_thread()) {
    control->pass_point_of_no_return(what);
  }
}

HxAbortDeferral::HxAbortDeferral() : active_(false) {
  if (HxModuleSignalHandler::Control* control = HxModuleSignalHandler::Control::on_work_thread()) {
    control->defer();
    active_ = true;
  }
}

HxAbortDeferral::~HxAbortDeferral() {
  if (!active_) return;
  if (HxModuleSignalHandler::Control* control = HxModuleSignalHandler::Control::on_work_thread()) {
    control->end_deferral();
  }
}

void HxModuleUniversal::send_signal_to_hxfd(int signal) {
  std::lock_guard<std::recursive_mutex> guard(control_mutex_);
  if (hxfd_pid_ == 0) return;
  // Only a process of this task: a number that no longer names one (the
  // archiver has ended and the number was reused, or an archiver on another
  // host reported it) is left alone.
  const std::vector<int> below = hx_utils_common::descendant_pids(getpid());
  if (std::find(below.begin(), below.end(), hxfd_pid_) == below.end()) return;
  hx_utils_common::send_signal(hxfd_pid_, signal);
  // The archiver's own helpers stop and go on with it.
  if (signal == SIGSTOP || signal == SIGCONT) {
    for (int helper : hx_utils_common::descendant_pids(hxfd_pid_)) ::kill(helper, signal);
  }
}

void HxModuleUniversal::pause_task() {
  std::lock_guard<std::recursive_mutex> guard(control_mutex_);
  pause_archiver();
  set_to_pause();
}

void HxModuleUniversal::set_to_pause() {
  {
    std::lock_guard<std::recursive_mutex> guard(control_mutex_);
    paused_ = true;
  }
  HxLogStream(HxLogLvl::Info) << "Module pid: " << getpid() << " put on pause" << std::endl;
}

bool HxModuleUniversal::is_paused() const {
  std::lock_guard<std::recursive_mutex> guard(control_mutex_);
  return paused_;
}

void HxModuleUniversal::continue_working() {
  {
    std::lock_guard<std::recursive_mutex> guard(control_mutex_);
    paused_ = false;
  }
  resumed_.notify_all();
  HxLogStream(HxLogLvl::Info) << "Module pid: " << getpid() << " continue working" << std::endl;
}

void HxModuleUniversal::set_hxfd_pid(pid_t pid) {
  std::lock_guard<std::recursive_mutex> guard(control_mutex_);
  hxfd_pid_ = pid;
}

void HxModuleUniversal::hold_while_paused() {
  std::unique_lock<std::recursive_mutex> lock(control_mutex_);
  resumed_.wait(lock, [this] { return !paused_ || archiver_pid_pending_; });
}

bool HxModuleUniversal::pause_holds_work() const {
  std::lock_guard<std::recursive_mutex> guard(control_mutex_);
  return paused_ && !archiver_pid_pending_;
}

void HxModuleUniversal::pause_archiver() {
  std::lock_guard<std::recursive_mutex> guard(control_mutex_);
  // A local archiver gets SIGSTOP, which works also where the kernel discards
  // a terminal stop (a process group without a parent in its session, as a
  // daemon's). The helper that carries signals to a remote archiver takes
  // the terminal stop itself and passes it on.
  send_signal_to_hxfd(options_.remote_host.empty() ? SIGSTOP : SIGTSTP);
}

bool HxModuleUniversal::release_resource_once() {
  if (release_state_ != Release::NotRun) return release_result_;
  HxAbortDeferral deferral;
  release_state_ = Release::Running;
  release_result_ = release_resource_after_backup();
  release_state_ = Release::Done;
  return release_result_;
}

void HxModuleUniversal::abort_cleanup() {
  if (task_running_) {
    handle_shutdown_signal();
    return;
  }
  // Before run() nothing was done; after it the operation's steps are over
  // and the concrete module may be being destroyed: only what needs none of
  // its hooks is undone.
  interrupted_ = true;
  if (options_.mode == HxModuleMode::Restore) remove_created_restore_directory();
  unlock_resource_handling();
}

void HxModuleUniversal::remove_created_restore_directory() {
  // Before the restore directory is chosen, tmp_operation_directory still
  // names the client's own -d directory; an archive to patch (-i) belongs to
  // the client: only a directory this task made goes.
  if (!remove_tmp_operation_directory_ || created_restore_directory_.empty()) return;
  HxLogStream(HxLogLvl::Info) << "Remove temporary operation directory: " << created_restore_directory_ << std::endl;
  // Never through a link, never into a mount below it.
  std::string where;
  const int failed = hx_utils_common::remove_tree_by_path(created_restore_directory_, where);
  if (failed != 0) {
    // Reported, and the task goes on (an abort still ends with 17).
    HxLogStream(HxLogLvl::Error) << "void HxModuleUniversal::remove_created_restore_directory()"
                                 << ": can't remove " << boost::filesystem::path(where) << " ("
                                 << std::strerror(failed) << ")" << std::endl;
  }
}

void HxModuleUniversal::handle_shutdown_signal() {
  interrupted_ = true;
  HxAbortCleanup::run_all();
  switch (options_.mode) {
    case HxModuleMode::Backup:
    case HxModuleMode::BackupList:
    case HxModuleMode::CreateReplica:
      release_resource_once();
      remove_created_directories();
      break;
    case HxModuleMode::Restore:
      remove_created_restore_directory();
      break;
    case HxModuleMode::ApplyReplica:
      remove_reference_snapshot_directory();
      break;
    default:
      break;
  }
  unlock_resource_handling();
}
