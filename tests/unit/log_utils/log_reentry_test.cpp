// Logging that re-enters a destination while it is writing must never lock
// the process: neither a write that logs again from inside itself nor a
// signal handler that logs while the main flow is logging.
#include "log_test_support.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>

#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using hx_log_test::LogTest;
using hx_log_test::read_file;
using hx_log_test::unstamped_lines;

// Runs `body` in a child process; true when the child exits 0 within `seconds`.
// A child still running after that (a deadlock) is killed and reported.
bool finishes_in_child(const std::function<int()>& body, int seconds) {
  const pid_t child = fork();
  if (child == 0) _exit(body());
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
  EchoingLogger* echo = nullptr;
  const bool ok = finishes_in_child(
      [&echo]() {
        auto logger = std::make_unique<EchoingLogger>();
        echo = logger.get();
        const int result = logger->write_log("Info: outer\n");
        if (result != 0 || echo->lines.size() != 2) return 2;
        if (unstamped_lines(echo->lines[0]) != std::vector<std::string>{"Info: outer"}) return 3;
        if (unstamped_lines(echo->lines[1]) != std::vector<std::string>{"Info: written from inside a write"}) return 4;
        // The destination is usable again afterwards (and echoes no more).
        if (logger->write_log("Info: later\n") != 0 || echo->lines.size() != 3) return 5;
        return 0;
      },
      10);
  EXPECT_TRUE(ok);
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
        struct sigaction action {};
        action.sa_handler = logging_handler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGALRM, &action, nullptr);
        // A signal every 200 microseconds, so that many arrive during writes.
        itimerval timer{};
        timer.it_interval.tv_usec = 200;
        timer.it_value.tv_usec = 200;
        setitimer(ITIMER_REAL, &timer, nullptr);
        const std::string text = "Info: from the main flow\n";
        for (int i = 0; i < main_lines; ++i) logger->write_log(text);
        timer = itimerval{};
        setitimer(ITIMER_REAL, &timer, nullptr);
        signal(SIGALRM, SIG_IGN);
        return handler_calls.load() > 0 ? 0 : 6;
      },
      30);
  ASSERT_TRUE(ok);
  // Every line is whole: main-flow lines and handler lines, none cut by another.
  int from_main = 0;
  int from_handler = 0;
  for (const std::string& line : unstamped_lines(read_file(path))) {
    if (line == "Info: from the main flow") {
      ++from_main;
    } else if (line == "Info: from the signal handler") {
      ++from_handler;
    } else {
      ADD_FAILURE() << "damaged line: " << line;
    }
  }
  EXPECT_EQ(from_main, main_lines);
  EXPECT_GT(from_handler, 0);
}

}  // namespace
