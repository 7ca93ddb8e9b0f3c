// Running shell commands and acting on processes.
#include "utils/hx_utils_common.h"

#include <boost/algorithm/string.hpp>
#include <boost/algorithm/string/trim_all.hpp>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace hx_utils_common {

namespace {
std::atomic<WaitCallback> wait_begins{nullptr};
std::atomic<WaitCallback> wait_ends{nullptr};
}  // namespace

void set_wait_callbacks(WaitCallback begin, WaitCallback end) {
  wait_begins.store(begin);
  wait_ends.store(end);
}

OutsideWait::OutsideWait() {
  if (WaitCallback begin = wait_begins.load()) begin();
}

OutsideWait::~OutsideWait() {
  if (WaitCallback end = wait_ends.load()) end();
}

void sleep_seconds(unsigned int seconds) {
  OutsideWait wait;
  unsigned int left = seconds;
  while (left > 0) left = sleep(left);  // a handled signal ends sleep() early
}

void abort_point() { OutsideWait point; }

namespace {

std::atomic<bool> abort_pending{false};

// The registered interruptions, by registration number. The mutex is held
// while they run, so none runs after its object has unregistered it. The
// registry is never destroyed: an interruption may still run on a thread of
// its own while the program ends.
std::mutex interruptions_mutex;
std::map<std::uint64_t, std::function<void()>>& interruptions() {
  static auto* registered = new std::map<std::uint64_t, std::function<void()>>();
  return *registered;
}
std::uint64_t next_interruption = 0;

}  // namespace

bool abort_requested() { return abort_pending.load(); }

void note_abort_requested() { abort_pending.store(true); }

AbortInterruption::AbortInterruption(std::function<void()> interrupt) {
  std::lock_guard<std::mutex> guard(interruptions_mutex);
  id_ = ++next_interruption;
  interruptions().emplace(id_, std::move(interrupt));
}

AbortInterruption::~AbortInterruption() {
  std::lock_guard<std::mutex> guard(interruptions_mutex);
  interruptions().erase(id_);
}

void interrupt_work() {
  std::lock_guard<std::mutex> guard(interruptions_mutex);
  for (auto& entry : interruptions()) {
    try {
      entry.second();
    } catch (const std::exception& e) {
      std::cerr << "hx_utils_common::interrupt_work: " << e.what() << std::endl;
    }
  }
}

int command_exit_status(int wait_status) {
  if (wait_status == -1) return -1;
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

int execute_command(std::string command, std::string& output) {
  FILE* pipe = nullptr;
  try {
    const std::string command_line = command + " 2>&1";
    // The start is no wait (an abort that ends the task's processes never
    // misses a child being started); waiting for the command is.
    { OutsideWait start_point; }
    pipe = popen(command_line.c_str(), "r");
    if (pipe == nullptr) {
      std::cerr << "Couldn't start OS command: " << command_line << std::endl;
      return 1;
    }
    OutsideWait wait;
    char buffer[1024];
    while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) output += buffer;
    // A command ended by a signal, or a wait that failed, is a failure and
    // must never read as exit status 0.
    FILE* const done = pipe;
    pipe = nullptr;
    return command_exit_status(pclose(done));
  } catch (const std::exception& e) {  // GCOVR_EXCL_START: only a failed allocation throws in the block
    if (pipe != nullptr) pclose(pipe);  // the command is still waited for, never left as a zombie
    std::cerr << "hx_utils_common::execute_command: error: " << e.what() << std::endl;
    return -1;
  }  // GCOVR_EXCL_STOP
}

bool send_signal(int pid, int signal) {
  if (pid == 0) return true;
  // A negative number would address a process group or every process.
  if (pid < 0) return false;
  if (kill(pid, 0) != 0) return false;
  if (kill(pid, signal) == 0) {
    std::cout << "sent signal " << signal << " to the process: " << pid << std::endl;
    return true;
  }
  std::cout << "No permissions to send signal " << signal << " the process: " << pid << std::endl;
  return false;
}

bool synchronous_terminate(const int& pid) {
  if (pid == 0) return false;
  if (pid < 0) {
    std::cerr << "Process with pid:" << pid << " does not exist" << std::endl;
    return false;
  }
  if (kill(pid, 0) != 0) {
    std::cerr << "Process with pid:" << pid << " does not exist" << std::endl;
    return false;
  }
  if (kill(pid, SIGTERM) != 0) {
    std::cerr << " Error send signal:" << strsignal(SIGTERM) << " to process with pid:" << pid << std::endl;
    return false;
  }
  if (kill(pid, 0) != 0) {
    const int error = errno;
    if (error == ESRCH) {
      std::cerr << "Process with pid:" << pid << " exited" << std::endl;
      return true;
    }
    std::cerr << "Error calling kill for process with pid:" << pid << ", :" << std::strerror(error) << std::endl;
    return false;
  }
  sleep(1);
  if (kill(pid, SIGKILL) == 0) return true;
  const int error = errno;
  std::cerr << "Error calling kill SIGKILL for process with pid:" << pid << ", :" << std::strerror(error)
            << std::endl;
  return false;
}

void kill_childs(int pid) {
  try {
    std::string output;
    const int status = execute_command("ps -eo pid -h --ppid=" + std::to_string(pid), output);
    if (status != 0) {
      if (synchronous_terminate(pid)) {
        std::cout << "PID was terminated: " << pid << std::endl;
      } else {
        std::cout << "Error terminate PID: " << pid << std::endl;
      }
      return;
    }
    std::vector<std::string> pieces;
    boost::algorithm::split(pieces, output, boost::algorithm::is_any_of("\n"));
    std::vector<int> children;
    for (auto& piece : pieces) {
      boost::algorithm::trim_all(piece);
      if (piece.empty()) continue;
      children.push_back(std::stoi(piece, nullptr, 10));
    }
    for (int child : children) kill_childs(child);
  } catch (const std::exception& e) {
    std::cerr << "hx_utils_common::kill_childs: error: " << e.what() << std::endl;
  }
}

}  // namespace hx_utils_common
