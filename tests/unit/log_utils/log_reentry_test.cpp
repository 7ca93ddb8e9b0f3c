// A write re-entered from inside itself or from a signal handler must never
// lock the process.
#include "log_test_support.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <stdexcept>

#include <pthread.h>
#include <signal.h>

#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using hx_log_test::LogTest;
using hx_log_test::read_file;
using hx_log_test::unstamped_lines;

// Runs `body` in a child; true when it exits 0 within `seconds` (else killed).
bool finishes_in_child(const std::function<int()>& body, int seconds) {
  const pid_t child = fork();
  if (child == 0) hx_process::exit_now(body());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    usleep(10000);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ADD_FAILURE() << "child still running after " << seconds << " s: logging locked the process";
  return false;
}

// A destination whose write logs once more to itself from inside the write.
class EchoingLogger : public HxDestination::HxLogger {
 public:
  std::vector<std::string> lines;

 protected:
  int write_log_impl(const std::string& line) override {
    lines.push_back(line);
    if (lines.size() == 1) write_log("Info: written from inside a write\n");
    return 0;
  }
};

TEST_F(LogTest, WriteReenteredFromInsideItsOwnWrite) {
  EXPECT_TRUE(finishes_in_child(
      []() {
        EchoingLogger echo;
        if (echo.write_log("Info: outer\n") != 0 || echo.lines.size() != 2) return 2;
        if (unstamped_lines(echo.lines[0] + echo.lines[1]) !=
            std::vector<std::string>{"Info: outer", "Info: written from inside a write"})
          return 3;
        return echo.write_log("Info: later\n") == 0 && echo.lines.size() == 3 ? 0 : 4;  // usable again
      },
      10));
}

// A destination whose first write throws.
class ThrowingLogger : public HxDestination::HxLogger {
 public:
  int calls = 0;

 protected:
  int write_log_impl(const std::string&) override {
    if (++calls == 1) throw std::runtime_error("destination failed");
    return 0;
  }
};

// The message does not end the program, and the destination takes the next
// line: its mutex was released and the signals held during the write are
// deliverable again.
TEST_F(LogTest, DestinationThatThrows) {
  auto owned = std::make_unique<ThrowingLogger>();
  ThrowingLogger* logger = owned.get();
  HxLogStream::set_default_loggers(std::move(owned));
  sigset_t before, after;
  pthread_sigmask(SIG_SETMASK, nullptr, &before);
  EXPECT_NO_THROW(HX_LOG_ERROR << "lost" << std::endl);
  pthread_sigmask(SIG_SETMASK, nullptr, &after);
  EXPECT_EQ(sigismember(&before, SIGTERM), sigismember(&after, SIGTERM));
  EXPECT_EQ(sigismember(&after, SIGTERM), 0);
  EXPECT_TRUE(finishes_in_child([logger] { return logger->write_log("Info: next\n") == 0 && logger->calls == 2 ? 0 : 1; }, 10));
}

std::atomic<int> handler_calls{0};
HxDestination::HxLogger* shared_destination = nullptr;

void logging_handler(int) {
  ++handler_calls;
  shared_destination->write_log("Info: from the signal handler\n");
}

TEST_F(LogTest, SignalHandlerLogsWhileTheMainFlowLogs) {
  const std::string path = (dir_ / "prog.log").string();
  const int main_lines = 3000;
  const bool ok = finishes_in_child(
      [&path, main_lines]() {
        auto logger = HxDestination::File(path);
        shared_destination = logger.get();
        // The main flow allocates nothing outside the writes while the timer
        // runs (a handler must not interrupt the allocator), and the timer
        // leaves it time between two handler writes on a loaded machine.
        const std::string line = "Info: from the main flow\n";
        signal(SIGALRM, logging_handler);  // glibc: restarting system calls
        itimerval timer{{0, 2000}, {0, 2000}};
        setitimer(ITIMER_REAL, &timer, nullptr);
        for (int i = 0; i < main_lines || handler_calls.load() < 10; ++i) logger->write_log(line);
        timer = itimerval{};
        setitimer(ITIMER_REAL, &timer, nullptr);
        return 0;
      },
      60);
  ASSERT_TRUE(ok);
  std::map<std::string, int> count;  // every line whole, none cut by another
  for (const std::string& line : unstamped_lines(read_file(path))) ++count[line];
  EXPECT_GE(count["Info: from the main flow"], main_lines);
  EXPECT_GE(count["Info: from the signal handler"], 10);
  EXPECT_EQ(count.size(), 2u) << "damaged lines";
}

}  // namespace
