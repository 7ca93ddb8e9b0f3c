// Environment variables, terminal input, login name and free-space checks.
#include "utils/hx_utils_common.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace hx_utils_common;

namespace {

const char kVar[] = "HX_UTILS_TEST_VARIABLE";

bool is_set(const char* name) { return std::getenv(name) != nullptr; }

}  // namespace

TEST(EnvironmentVariable, SetsAndRemovesTheVariable) {
  ::unsetenv(kVar);
  {
    EnvironmentVariable var(kVar, "first value");
    EXPECT_EQ(kVar, var.getName());
    EXPECT_STREQ("first value", std::getenv(kVar));
    EXPECT_EQ("first value", var.getValue());
    EXPECT_EQ("first value", EnvironmentVariable::getValue(kVar));
    var.setValue("second");
    EXPECT_STREQ("second", std::getenv(kVar));
    EnvironmentVariable::setValue(kVar, "third");
    EXPECT_EQ("third", var.getValue());
    var.unset();
    EXPECT_FALSE(is_set(kVar));
    EXPECT_EQ("", var.getValue());
  }
  EXPECT_FALSE(is_set(kVar));  // removing an absent variable is no failure
}

TEST(EnvironmentVariable, OverwritesAndThenRemovesEntirely) {
  ::setenv(kVar, "earlier", 1);
  {
    EnvironmentVariable var(kVar, "scoped");
    EXPECT_STREQ("scoped", std::getenv(kVar));
  }
  EXPECT_FALSE(is_set(kVar));  // the earlier value is not restored
}

TEST(EnvironmentVariable, NameOnlyGivesAnEmptyValue) {
  ::unsetenv(kVar);
  {
    EnvironmentVariable var(kVar);
    ASSERT_TRUE(is_set(kVar));
    EXPECT_STREQ("", std::getenv(kVar));
  }
  EXPECT_FALSE(is_set(kVar));
}

TEST(EnvironmentVariable, InvalidNamesThrowTheFailureTexts) {
  try {
    EnvironmentVariable var("HX=BAD", "x");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("environment variable \"HX=BAD\" set failure", e.what());
  }
  EXPECT_FALSE(is_set("HX"));
  try {
    hx_details_linux::set_env_var("", "x", 1);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("environment variable \"\" set failure", e.what());
  }
  try {
    hx_details_linux::unset_env_var("HX=BAD");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("environment variable \"HX=BAD\" unset failure", e.what());
  }
}

TEST(EnvironmentVariable, DetailFunctions) {
  ::unsetenv(kVar);
  EXPECT_EQ("", hx_details_linux::get_env_var(kVar));
  hx_details_linux::set_env_var(kVar, "a", 0);
  EXPECT_EQ("a", hx_details_linux::get_env_var(kVar));
  hx_details_linux::set_env_var(kVar, "b", 0);  // no overwrite
  EXPECT_EQ("a", hx_details_linux::get_env_var(kVar));
  hx_details_linux::set_env_var(kVar, "c", 1);
  EXPECT_EQ("c", hx_details_linux::get_env_var(kVar));
  hx_details_linux::unset_env_var(kVar);
  EXPECT_FALSE(is_set(kVar));
}

// ---- Terminal -------------------------------------------------------------------------

namespace {

// A pseudo-terminal pair for the duration of a test.
class Terminal : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, ::openpty(&master_, &slave_, nullptr, nullptr, nullptr)); }
  void TearDown() override {
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
  }

  tcflag_t lflag() const {
    termios t;
    EXPECT_EQ(0, ::tcgetattr(slave_, &t));
    return t.c_lflag;
  }

  // Waits until the terminal's local flags have none of `bits`.
  bool wait_until_cleared(tcflag_t bits) const {
    for (int i = 0; i < 500; ++i) {
      if ((lflag() & bits) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // Everything the terminal shows until nothing more arrives for 300 ms.
  std::string screen() const {
    std::string text;
    for (;;) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 300) <= 0) break;
      char buf[256];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
  }

  // Forks a child whose standard input and output are the terminal and runs
  // `body` there; what it writes to `result` comes back through a pipe.
  template <typename Body>
  pid_t spawn(Body body, int& result_fd) {
    int p[2];
    EXPECT_EQ(0, ::pipe(p));
    std::cout.flush();
    std::fflush(nullptr);  // the child must not repeat our buffered output
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(p[0]);
      ::dup2(slave_, STDIN_FILENO);
      ::dup2(slave_, STDOUT_FILENO);
      const std::string result = body();
      std::fflush(stdout);
      if (::write(p[1], result.data(), result.size()) < 0) _exit(2);
      _exit(0);
    }
    ::close(p[1]);
    result_fd = p[0];
    return pid;
  }

  static std::string read_all(int fd) {
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
  }

  int master_ = -1;
  int slave_ = -1;
};

}  // namespace

TEST_F(Terminal, EchoOffAndOn) {
  ASSERT_NE(0u, lflag() & ECHO);
  termios saved;
  echo_off(slave_, &saved);
  EXPECT_NE(0u, saved.c_lflag & ECHO);  // the settings before
  EXPECT_EQ(0u, lflag() & ECHO);
  EXPECT_NE(0u, lflag() & ICANON);  // nothing else changed
  echo_on(slave_, &saved);
  EXPECT_NE(0u, lflag() & ECHO);
}

TEST_F(Terminal, SecretInputIsNotEchoed) {
  int result_fd = -1;
  const pid_t pid = spawn(
      [] {
        std::string input;
        get_client_secret_input(input);
        return input;
      },
      result_fd);
  ASSERT_TRUE(wait_until_cleared(ECHO));
  ASSERT_EQ(9, ::write(master_, "s3cr3t w\n", 9));
  EXPECT_EQ("\r\n", screen());  // only the line end written by the function
  EXPECT_EQ("s3cr3t w", read_all(result_fd));
  int status = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  EXPECT_EQ(0, status);
  EXPECT_NE(0u, lflag() & ECHO);  // restored
}

TEST_F(Terminal, GetkeyReadsOneKeyWithoutEnter) {
  int result_fd = -1;
  const pid_t pid = spawn([] { return std::to_string(getkey()); }, result_fd);
  ASSERT_TRUE(wait_until_cleared(ICANON | ECHO));
  ASSERT_EQ(2, ::write(master_, "xy", 2));
  EXPECT_EQ(std::to_string('x'), read_all(result_fd));
  int status = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  EXPECT_EQ(0, status);
  EXPECT_EQ("", screen());  // nothing echoed
  EXPECT_NE(0u, lflag() & ICANON);
  EXPECT_NE(0u, lflag() & ECHO);
}

TEST(TerminalWithoutTty, GetkeyAtEndOfInputIsEof) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null_fd = ::open("/dev/null", O_RDONLY);
    ::dup2(null_fd, STDIN_FILENO);
    _exit(getkey() == EOF ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST(LoginName, LoginOrAccountName) {
  const char* login = ::getlogin();
  std::string expected;
  if (login != nullptr && *login != '\0') {
    expected = login;
  } else if (const passwd* pw = ::getpwuid(::geteuid())) {
    expected = pw->pw_name;
  }
  EXPECT_EQ(expected, get_loginname());
  EXPECT_FALSE(get_loginname().empty());
}

// ---- Free space -------------------------------------------------------------------------

namespace {

namespace fs = boost::filesystem;

unsigned long long free_bytes(const std::string& dir) {
  struct statfs st;
  EXPECT_EQ(0, ::statfs(dir.c_str(), &st));
  return static_cast<unsigned long long>(st.f_bavail) * st.f_bsize;
}

class FreeSpace : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / fs::unique_path("hx-space-%%%%-%%%%");
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A sparse file of the given size (takes no space itself).
  std::string sparse_file(const std::string& name, unsigned long long size) {
    const std::string path = (dir_ / name).string();
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(0, ::ftruncate(fd, static_cast<off_t>(size)));
    ::close(fd);
    return path;
  }

  fs::path dir_;
};

}  // namespace

TEST_F(FreeSpace, ByteCountEqualToFreeSpaceIsEnough) {
  // A file system without free blocks for users answers exactly.
  EXPECT_EQ(0ull, free_bytes("/proc"));
  EXPECT_TRUE(check_free_space("/proc", 0ull));
  EXPECT_FALSE(check_free_space("/proc", 1ull));

  // A live file system: retried until no one else changed it during the checks.
  const std::string dir = dir_.string();
  bool settled = false;
  for (int attempt = 0; attempt < 20 && !settled; ++attempt) {
    const unsigned long long free = free_bytes(dir);
    const bool equal = check_free_space(dir, free);
    const bool one_more = check_free_space(dir, free + 1);
    const bool less = check_free_space(dir, free - 1);
    if (free_bytes(dir) != free) continue;
    settled = true;
    EXPECT_TRUE(equal);
    EXPECT_FALSE(one_more);
    EXPECT_TRUE(less);
  }
  EXPECT_TRUE(settled);
}

TEST_F(FreeSpace, FileSizeAgainstFreeSpace) {
  EXPECT_TRUE(check_free_space("/proc", sparse_file("empty", 0)));
  EXPECT_FALSE(check_free_space("/proc", sparse_file("one", 1)));

  const std::string dir = dir_.string();
  bool settled = false;
  for (int attempt = 0; attempt < 20 && !settled; ++attempt) {
    const unsigned long long free = free_bytes(dir);
    const std::string equal_file = sparse_file("equal", free);
    const std::string more_file = sparse_file("more", free + 1);
    const bool equal = check_free_space(dir, equal_file);
    const bool one_more = check_free_space(dir, more_file);
    if (free_bytes(dir) != free) continue;
    settled = true;
    EXPECT_TRUE(equal);
    EXPECT_FALSE(one_more);
  }
  EXPECT_TRUE(settled);
}

TEST_F(FreeSpace, Failures) {
  const std::string missing_file = (dir_ / "missing").string();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(check_free_space(dir_.string(), missing_file));
  EXPECT_EQ("Can't open: " + missing_file + ": " + std::strerror(ENOENT) + "\n",
            testing::internal::GetCapturedStderr());

  const std::string missing_dir = (dir_ / "no-dir").string();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(check_free_space(missing_dir, 0ull));
  EXPECT_FALSE(check_free_space(missing_dir, sparse_file("f", 1)));
  const std::string line = "Can't call statfs for: " + missing_dir + ": " + std::strerror(ENOENT) + "\n";
  EXPECT_EQ(line + line, testing::internal::GetCapturedStderr());
}
