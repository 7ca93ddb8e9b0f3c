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

#include <unistd.h>

namespace {

const char* const kRunSignature =
    "bool HxModuleUniversal::run_hxfd_command(const string&, std::string&, pid_t&, std::string&)";

const std::string kPidPrefix = "HXFD PID: ";
const std::string kStatisticsPrefixes[] = {"Packed: ", "Unpacked: ", "Transferred: "};

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// read() that is repeated when a signal interrupts it, as a wait for the
// archiver: an abort may end the task while it waits, and a pause holds the
// module before it handles what the archiver wrote.
ssize_t read_archiver_output(int fd, char* buffer, size_t size) {
  hx_utils_common::OutsideWait wait;
  for (;;) {
    const ssize_t got = ::read(fd, buffer, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

}  // namespace

bool HxModuleUniversal::run_hxfd_command(const std::string& command, std::string& output, pid_t& pid,
                                         std::string& last_statistics) {
  HxLogStream(HxLogLvl::Info) << kRunSignature << ":hxfd command: " << command << std::endl;

  // A pause holds the module, and an abort ends it, before the archiver
  // starts; the start itself is no wait, so no abort ever misses the child.
  { hx_utils_common::OutsideWait start_point; }
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    HxLogStream(HxLogLvl::Error) << kRunSignature << ": couldn't start OS command: " << command << std::endl;
    return false;
  }

  {
    // Until its PID line is read, a pause does not hold this reading: the
    // archiver is stopped as soon as its PID is known.
    std::lock_guard<std::recursive_mutex> guard(control_mutex_);
    archiver_pid_pending_ = true;
  }
  bool read_failed = false;
  bool pid_seen = false;
  try {
    const int fd = fileno(pipe);
    std::string line;
    char buffer[4096];
    for (;;) {
      const ssize_t got = read_archiver_output(fd, buffer, sizeof(buffer));
      if (got <= 0) break;  // end of input (or a read error): a partial last line is dropped
      // Every byte is looked at on its own; a line is handled as soon as its end arrives.
      for (ssize_t i = 0; i < got; ++i) {
        const char byte = buffer[i];
        if (byte != '\n' && byte != '\r') {
          line += byte;
          continue;
        }
        // The archiver's number is its first line of that form: a later one
        // comes from text it passes on (a file name read from the server's
        // directories, say) and is no number to signal.
        if (!pid_seen && starts_with(line, kPidPrefix)) {
          pid_seen = true;
          const auto number = static_cast<pid_t>(std::stoi(line.substr(kPidPrefix.size()), nullptr, 10));
          std::cout << line + "\n" << std::flush;
          std::lock_guard<std::recursive_mutex> guard(control_mutex_);
          pid = number;
          archiver_pid_pending_ = false;
          // A pause that came before the archiver's number was known stops
          // it now: a local archiver by its number, a remote one through
          // the signal helper, which now knows the number.
          if (paused_ && (&pid == &hxfd_pid_ || !options_.remote_host.empty())) pause_archiver();
        } else {
          bool statistics = false;
          for (const std::string& prefix : kStatisticsPrefixes) {
            if (starts_with(line, prefix)) {
              last_statistics = line.substr(prefix.size());
              std::cout << line + "\n" << std::flush;
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
  {
    std::lock_guard<std::recursive_mutex> guard(control_mutex_);
    archiver_pid_pending_ = false;
  }

  // Also after a failed read the pipe is closed and the child awaited, so no
  // archiver is left behind unwatched; closing our end makes an archiver that
  // still writes end on a broken pipe.
  int status = 0;
  {
    hx_utils_common::OutsideWait wait;
    status = hx_utils_common::command_exit_status(pclose(pipe));
  }
  {
    // The child is gone: no later pause or continue may address its number.
    std::lock_guard<std::recursive_mutex> guard(control_mutex_);
    pid = 0;
  }
  if (read_failed) return false;
  // Only a normal exit with status 0 is success; an archiver ended by a
  // signal never finished its archive.
  return status == 0;
}

std::string HxModuleUniversal::get_task_secret() const {
  return "/opt/halvex/var/tasks//task_secret_" + options_.task_id;
}
