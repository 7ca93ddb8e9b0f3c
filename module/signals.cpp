// Signals from the client: terminal stop pauses the task (the archiver first,
// then the module), continue resumes it (the module first, then the
// archiver), interrupt, terminate and segmentation fault abort it with exit
// code 17 after the clean-up of the current operation.
//
// The work of a signal (logging, forwarding, the clean-up of an abort with its
// commands) runs inside the handlers. The logger lets a handler write while
// the interrupted flow is writing, and the archiver runner holds these signals
// off except while it waits for the archiver's output, so during an archiver
// run a handler never interrupts an allocation or a stream write.
#include "module/hx_modules_common.h"

#include "log/hx_logger.h"
#include "utils/hx_utils_common.h"

#include <boost/filesystem.hpp>

#include <csignal>
#include <cstdlib>
#include <initializer_list>

#include <unistd.h>

namespace {

// Installs a handler whose interrupted system calls are restarted. While it
// runs, the signals of `held` wait.
void install(int sig, void (*handler)(int), std::initializer_list<int> held) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  for (int other : held) sigaddset(&action.sa_mask, other);
  action.sa_flags = SA_RESTART;
  sigaction(sig, &action, nullptr);
}

}  // namespace

HxModuleUniversal* HxModuleSignalHandler::module_ptr_ = nullptr;

std::unique_ptr<HxModuleSignalHandler> HxModuleSignalHandler::init(HxModuleUniversal* module) {
  return std::make_unique<HxModuleSignalHandler>(module);
}

HxModuleSignalHandler::HxModuleSignalHandler(HxModuleUniversal* module) {
  module_ptr_ = module;
  // An abort runs once: a second interrupt or terminate, or a terminal stop,
  // waits while the clean-up runs (the program ends before they are due). A
  // pause keeps continue and abort open, which is how continue ends it and
  // how an abort can happen during it.
  install(SIGINT, shutdown_handler, {SIGINT, SIGTERM, SIGTSTP});
  install(SIGTERM, shutdown_handler, {SIGINT, SIGTERM, SIGTSTP});
  install(SIGSEGV, shutdown_handler, {SIGINT, SIGTERM, SIGTSTP});
  install(SIGTSTP, pause_handler, {SIGTSTP});
  install(SIGCONT, continue_handler, {SIGCONT});
  install(SIGPIPE, sigpipe_handler, {SIGPIPE});
}

HxModuleSignalHandler::~HxModuleSignalHandler() {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGSEGV, SIG_DFL);
  signal(SIGTSTP, SIG_DFL);
  signal(SIGCONT, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
}

void HxModuleSignalHandler::shutdown_handler(int sig) {
  if (sig != SIGINT && sig != SIGTERM && sig != SIGSEGV) return;
  hx_utils_common::kill_childs(getpid());
  if (module_ptr_ != nullptr) module_ptr_->handle_shutdown_signal();
  HxLogStream(HxLogLvl::Info) << "Module was terminated. PID: " << getpid() << std::endl;
  exit(17);
}

void HxModuleSignalHandler::pause_handler(int sig) {
  if (sig != SIGTSTP || module_ptr_ == nullptr) return;
  module_ptr_->send_signal_to_hxfd(SIGTSTP);
  module_ptr_->set_to_pause();
}

void HxModuleSignalHandler::continue_handler(int sig) {
  if (sig != SIGCONT || module_ptr_ == nullptr) return;
  module_ptr_->continue_working();
  module_ptr_->send_signal_to_hxfd(SIGCONT);
}

void HxModuleSignalHandler::sigpipe_handler(int) {}

void HxModuleUniversal::send_signal_to_hxfd(int signal) {
  if (hxfd_pid_ != 0) hx_utils_common::send_signal(hxfd_pid_, signal);
}

void HxModuleUniversal::set_to_pause() {
  HxLogStream(HxLogLvl::Info) << "Module pid: " << getpid() << " put on pause" << std::endl;
  paused_ = true;
  while (is_paused()) sleep(1);
}

bool HxModuleUniversal::is_paused() const { return paused_; }

void HxModuleUniversal::continue_working() {
  HxLogStream(HxLogLvl::Info) << "Module pid: " << getpid() << " continue working" << std::endl;
  paused_ = false;
}

void HxModuleUniversal::handle_shutdown_signal() {
  interrupted_ = true;
  switch (options_.mode) {
    case HxModuleMode::Backup:
    case HxModuleMode::BackupList:
    case HxModuleMode::CreateReplica:
      release_resource_after_backup();
      break;
    case HxModuleMode::Restore:
      // Only the restore directory is removed: before it is chosen the
      // directory still names the client's own -d directory, which stays.
      if (remove_tmp_operation_directory_ && restore_directory_defined_) {
        HxLogStream(HxLogLvl::Info) << "Remove temporary operation directory: "
                                    << options_.tmp_operation_directory << std::endl;
        boost::system::error_code ec;
        boost::filesystem::remove_all(options_.tmp_operation_directory, ec);
        if (ec) {
          // Reported, and the abort goes on so that the program still ends with 17.
          HxLogStream(HxLogLvl::Error) << "virtual void HxModuleUniversal::handle_shutdown_signal()"
                                       << ": boost::filesystem: " << ec.message() << std::endl;
        }
      }
      break;
    case HxModuleMode::ApplyReplica:
      remove_reference_snapshot_directory();
      break;
    default:
      break;
  }
  unlock_resource_handling();
}
