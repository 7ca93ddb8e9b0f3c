// Standard output as the client reads it (whole lines, values that cannot
// forge a line, a lost answer noticed, closed descriptors replaced), and the
// ending of a process tree without ps.
#include "log/hx_logger.h"
#include "utils/hx_utils_common.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs `body` in a child process; its exit code (-1 when it did not exit).
template <typename Body>
int in_child(Body body) {
  std::cout.flush();
  const pid_t child = ::fork();
  if (child == 0) hx_process::exit_now(body());
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(StandardOutput, ValuesCannotForgeALine) {
  EXPECT_EQ("a\\nMAIN ARCHIVE FILENAME:x\\r\\x01\\x7f\tb", HxDestination::printable("a\nMAIN ARCHIVE FILENAME:x\r\x01\x7f\tb"));
  std::string text;
  {
    hx_test::CoutCapture captured;
    HxLogStream(HxLogLvl::Error, HxDestination::Stdout()) << "bad name: x\nMODULE SETTING:y" << std::endl << std::endl;
    text = captured.text();
  }
  EXPECT_EQ(text.substr(text.find(']') + 2), "Error: bad name: x\\nMODULE SETTING:y\n\n");
}

// Two threads writing lines piece by piece never mix their lines.
TEST(StandardOutput, LinesOfTwoThreadsStayWhole) {
  const int code = in_child([] {
    int fds[2];
    if (::pipe(fds) != 0 || ::dup2(fds[1], 1) < 0) return 10;
    hx_utils_common::prepare_standard_streams();
    auto writer = [](char c) {
      for (int i = 0; i < 2000; ++i) std::cout << std::string(3, c) << std::string(3, c) << std::endl;
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    std::string text;
    std::thread reader([&text, &fds] {
      char buffer[4096];
      for (ssize_t got; (got = ::read(fds[0], buffer, sizeof(buffer))) > 0;) text.append(buffer, got);
    });
    a.join();
    b.join();
    std::cout.flush();
    ::close(1);
    ::close(fds[1]);
    reader.join();
    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
      if (line != "aaaaaa" && line != "bbbbbb") return 11;
    }
    return count == 4000 ? 0 : 12;
  });
  EXPECT_EQ(0, code);
}

// Closed standard descriptors are opened on /dev/null before anything else
// can take their numbers; an answer that cannot be written is noticed.
TEST(StandardOutput, ClosedDescriptorsAndLostAnswers) {
  EXPECT_EQ(0, in_child([] {
    ::close(0);
    ::close(1);
    hx_utils_common::prepare_standard_streams();
    const int next = ::open("/dev/zero", O_RDONLY);
    std::cout << "answer" << std::endl;
    std::string reason;
    return next > 2 && hx_utils_common::standard_output_written(reason) ? 0 : 1;
  }));
  for (const bool broken_pipe : {false, true}) {
    EXPECT_EQ(0, in_child([broken_pipe] {
      int fds[2];
      if (broken_pipe) {
        if (::pipe(fds) != 0 || ::dup2(fds[1], 1) < 0) return 10;
        ::close(fds[0]);
        std::signal(SIGPIPE, SIG_IGN);
      } else if (::freopen("/dev/full", "w", stdout) == nullptr || std::setvbuf(stdout, nullptr, _IONBF, 0) != 0) {
        return 11;
      }
      hx_utils_common::prepare_standard_streams();
      hx_utils_common::prepare_standard_streams();  // a second call changes nothing
      std::cout << "MAIN ARCHIVE FILENAME:" << std::flush;  // lost at a flush,
      std::cout.clear();
      std::cout << "/t/db1.snap\n";  // at a line end,
      std::cout.clear();
      std::cout << std::flush;  // and remembered
      if (std::cout.good()) return 13;
      std::string reason;
      const bool written = hx_utils_common::standard_output_written(reason);
      const std::string expected = std::strerror(broken_pipe ? EPIPE : ENOSPC);
      return !written && reason == expected ? 0 : 12;
    })) << broken_pipe;
  }
  // The same without the line buffer: what stdio and std::cout know.
  std::string reason;
  EXPECT_TRUE(hx_utils_common::standard_output_written(reason));
  EXPECT_EQ(0, in_child([] {
    if (::freopen("/dev/full", "w", stdout) == nullptr) return 11;
    std::cout << "answer\n";
    std::string first, second;  // the second time only the mark of the earlier failure is left
    return !hx_utils_common::standard_output_written(first) && first == std::strerror(ENOSPC) &&
                   !hx_utils_common::standard_output_written(second) && second == "write error"
               ? 0
               : 12;
  }));
  EXPECT_EQ(0, in_child([] {
    std::cout.setstate(std::ios::badbit);
    std::string reason;
    return !hx_utils_common::standard_output_written(reason) && reason == "write error" ? 0 : 12;
  }));
}

// Writes a line when its thread ends.
struct LateWriter {
  ~LateWriter() { std::cout << "late line\n" << std::flush; }
};

// What a thread left without a line end is written when it ends, and so is
// text written after that, at the very end of the thread.
TEST(StandardOutput, TextAtTheEndOfAThreadIsWritten) {
  hx_test::TempDir tmp;
  const std::string file = tmp / "stdout";
  EXPECT_EQ(0, in_child([&file] {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::dup2(fd, 1) < 0) return 10;
    hx_utils_common::prepare_standard_streams();
    std::thread([] {
      thread_local LateWriter late;  // made before the thread's pending text, so destroyed after it
      (void)&late;
      std::cout << "partial ";
    }).join();
    return 0;
  }));
  EXPECT_EQ("partial late line\n", hx_test::read_file(file));
}

// A process whose command line holds `marker` still lives.
bool marked_process_lives(const std::string& marker) {
  DIR* proc = ::opendir("/proc");
  bool found = false;
  while (dirent* entry = ::readdir(proc)) {
    if (hx_test::read_file(std::string("/proc/") + entry->d_name + "/cmdline").find(marker) != std::string::npos) {
      found = true;
    }
  }
  ::closedir(proc);
  return found;
}

// A shell with a child that ignores SIGTERM (or not) and a pipeline below
// it: the whole tree ends (the child that ignores SIGTERM too, although its
// parent dies first), the root stays, and no ps is needed. A root without
// children: nothing to end.
TEST(ProcessTree, WholeTreeEndsRootStays) {
  for (const int mode : {0, 1, 2}) {  // polite, one process ignoring SIGTERM, killed at once
    // Seconds that name this run: another suite's run side by side is never seen.
    const std::string marker = "987." + std::to_string(mode) + std::to_string(getpid()) + "s";
    const pid_t root = ::fork();
    if (root == 0) {
      ::setenv("PATH", "/nonexistent", 1);
      const std::string script = std::string(mode == 0 ? "(" : "(trap '' TERM; ") + "exec /bin/sleep " + marker +
                                 ") & /bin/sleep " + marker + " | /bin/cat & /bin/sleep " + marker + "; wait";
      if (::fork() == 0) ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
      for (;;) ::pause();
    }
    // The root and whatever is left below it go whatever the test's outcome,
    // so that no process of it outlives the test program.
    struct Reaper {
      pid_t pid;
      ~Reaper() {
        hx_utils_common::kill_process_tree_now(pid);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
      }
    } reaper{root};
    for (int i = 0; i < 1000 && hx_utils_common::descendant_pids(root).size() < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(5u, hx_utils_common::descendant_pids(root).size()) << mode;
    std::string lines;
    {
      hx_test::CoutCapture captured;
      if (mode == 2) {
        hx_utils_common::kill_process_tree_now(root);
      } else {
        hx_utils_common::end_process_tree(root);
      }
      lines = captured.text();
    }
    EXPECT_TRUE(hx_utils_common::descendant_pids(root).empty()) << mode;
    EXPECT_EQ(0, ::kill(root, 0));
    bool gone = false;
    for (int i = 0; i < 200 && !(gone = !marked_process_lives(marker)); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone) << "a process of the tree outlived it";
    EXPECT_EQ(mode == 2 ? 0 : 5, std::count(lines.begin(), lines.end(), '\n')) << lines;
    {
      hx_test::CoutCapture captured;
      hx_utils_common::end_process_tree(root);  // nothing left below it
      EXPECT_EQ("", captured.text());
    }
  }
}

}  // namespace
