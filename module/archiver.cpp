// The archiver child process: one archiver command line runs as a child
// whose progress lines are passed through to the client and whose PID is kept
// so that pause and continue can be forwarded to it.
#include "module/hx_modules_common.h"

#include "log/hx_logger.h"
#include "utils/hx_utils_common.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include <pthread.h>
#include <unistd.h>

namespace {

const char* const kRunSignature =
    "bool HxModuleUniversal::run_hxfd_command(const string&, std::string&, pid_t&, std::string&)";

const std::string kPidPrefix = "HXFD PID: ";
const std::string kStatisticsPrefixes[] = {"Packed: ", "Unpacked: ", "Transferred: "};

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Keeps the client's abort, pause and continue signals away from the main
// flow except while it waits in read() for the archiver. Their handlers run
// the whole clean-up or pause inside the handler; holding them off while this
// loop appends to strings or writes to standard output means they never
// interrupt an allocation or a stream write of the reading loop. The previous
// mask comes back when the object goes.
class ControlSignalsHeld {
 public:
  ControlSignalsHeld() {
    sigemptyset(&held_);
    sigaddset(&held_, SIGINT);
    sigaddset(&held_, SIGTERM);
    sigaddset(&held_, SIGTSTP);
    sigaddset(&held_, SIGCONT);
    pthread_sigmask(SIG_BLOCK, &held_, &previous_);
  }
  ~ControlSignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  ControlSignalsHeld(const ControlSignalsHeld&) = delete;
  ControlSignalsHeld& operator=(const ControlSignalsHeld&) = delete;

  // read() with the previous mask in force, so pending and new signals are
  // delivered while the process waits; interrupted reads are repeated.
  ssize_t read_delivering(int fd, char* buffer, size_t size) {
    for (;;) {
      pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
      const ssize_t got = ::read(fd, buffer, size);
      const int error = errno;
      pthread_sigmask(SIG_BLOCK, &held_, nullptr);
      if (got >= 0 || error != EINTR) {
        errno = error;
        return got;
      }
    }
  }

 private:
  sigset_t held_;
  sigset_t previous_;
};

}  // namespace

bool HxModuleUniversal::run_hxfd_command(const std::string& command, std::string& output, pid_t& pid,
                                         std::string& last_statistics) {
  HxLogStream(HxLogLvl::Info) << kRunSignature << ":hxfd command: " << command << std::endl;

  // The child inherits the signal mask of the moment it is started: start it
  // before anything is held so that the archiver can be stopped and ended.
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    HxLogStream(HxLogLvl::Error) << kRunSignature << ": couldn't start OS command: " << command << std::endl;
    return false;
  }

  bool read_failed = false;
  {
    ControlSignalsHeld held;
    try {
      const int fd = fileno(pipe);
      std::string line;
      char buffer[4096];
      bool reading = true;
      while (reading) {
        const ssize_t got = held.read_delivering(fd, buffer, sizeof(buffer));
        if (got <= 0) break;  // end of input (or a read error): a partial last line is dropped
        // Every byte is looked at on its own; a line is handled as soon as its end arrives.
        for (ssize_t i = 0; i < got; ++i) {
          const char byte = buffer[i];
          if (byte != '\n' && byte != '\r') {
            line += byte;
            continue;
          }
          if (starts_with(line, kPidPrefix)) {
            pid = static_cast<pid_t>(std::stoi(line.substr(kPidPrefix.size()), nullptr, 10));
            std::cout << line << std::endl;
          } else {
            bool statistics = false;
            for (const std::string& prefix : kStatisticsPrefixes) {
              if (starts_with(line, prefix)) {
                last_statistics = line.substr(prefix.size());
                std::cout << line << std::endl;
                statistics = true;
                break;
              }
            }
            if (!statistics) output += line + "\n";
          }
          line.clear();
        }
      }
    } catch (const std::exception& e) {
      HxLogStream(HxLogLvl::Error) << kRunSignature << ": " << e.what() << std::endl;
      read_failed = true;
    }
  }

  // Also after a failed read the pipe is closed and the child awaited, so no
  // archiver is left behind unwatched; closing our end makes an archiver that
  // still writes end on a broken pipe.
  const int status = hx_utils_common::command_exit_status(pclose(pipe));
  // The child is gone: no later pause or continue may address its number.
  pid = 0;
  if (read_failed) return false;
  // Only a normal exit with status 0 is success; an archiver ended by a
  // signal never finished its archive.
  return status == 0;
}

std::string HxModuleUniversal::get_task_secret() const {
  return "/opt/halvex/var/tasks//task_secret_" + options_.task_id;
}
