// Environment variables, terminal input, login name and free-space checks.
#include "utils/hx_utils_common.h"

#include "log_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace hx_utils_common;

namespace {

const char kVar[] = "HX_UTILS_TEST_VARIABLE";

bool is_set(const char* name) { return std::getenv(name) != nullptr; }

}  // namespace

// Set, read, replace and remove through the object and the static forms; a
// variable set before is overwritten and then removed entirely (not restored).
TEST(EnvironmentVariable, ScopedVariable) {
  ::setenv(kVar, "earlier", 1);
  {
    EnvironmentVariable var(kVar, "first value");
    EXPECT_EQ(kVar, var.getName());
    EXPECT_STREQ("first value", std::getenv(kVar));
    var.setValue("second");
    EXPECT_EQ("second", EnvironmentVariable::getValue(kVar));
    EnvironmentVariable::setValue(kVar, "third");
    EXPECT_EQ("third", var.getValue());
    var.unset();
    EXPECT_FALSE(is_set(kVar));
  }
  EXPECT_FALSE(is_set(kVar));  // removing an absent variable is no failure
  {
    EnvironmentVariable var(kVar);
    EXPECT_STREQ("", std::getenv(kVar));
  }
  EXPECT_FALSE(is_set(kVar));
  hx_details_linux::set_env_var(kVar, "a", 0);
  hx_details_linux::set_env_var(kVar, "b", 0);  // no overwrite
  EXPECT_EQ("a", hx_details_linux::get_env_var(kVar));
  hx_details_linux::unset_env_var(kVar);
  EXPECT_EQ("", hx_details_linux::get_env_var(kVar));
}

TEST(EnvironmentVariable, InvalidNamesThrowTheFailureTexts) {
  auto what = [](auto f) -> std::string {
    try {
      f();
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "no exception";
  };
  EXPECT_EQ("environment variable \"HX=BAD\" set failure", what([] { EnvironmentVariable var("HX=BAD", "x"); }));
  EXPECT_FALSE(is_set("HX"));
  EXPECT_EQ("environment variable \"\" set failure", what([] { hx_details_linux::set_env_var("", "x", 1); }));
  EXPECT_EQ("environment variable \"HX=BAD\" unset failure", what([] { hx_details_linux::unset_env_var("HX=BAD"); }));
}

namespace {

// A pseudo-terminal pair for the duration of a test.
class Terminal : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, ::openpty(&master_, &slave_, nullptr, nullptr, nullptr)); }
  void TearDown() override {
    ::close(master_);
    ::close(slave_);
  }

  tcflag_t lflag() const {
    termios t;
    EXPECT_EQ(0, ::tcgetattr(slave_, &t));
    return t.c_lflag;
  }

  // Everything the terminal shows until nothing more arrives for 300 ms.
  std::string screen() const {
    std::string text;
    char buf[256];
    ssize_t n;
    for (pollfd p{master_, POLLIN, 0}; ::poll(&p, 1, 300) > 0 && (n = ::read(master_, buf, sizeof buf)) > 0;)
      text.append(buf, static_cast<std::size_t>(n));
    return text;
  }

  // Runs `body` in a child whose standard input and output are the terminal;
  // once the terminal's local flags lose `cleared`, types `keys`. Returns what
  // body returned (through a pipe); the child must exit 0.
  template <typename Body>
  std::string type_into(Body body, tcflag_t cleared, const std::string& keys) {
    int p[2];
    EXPECT_EQ(0, ::pipe(p));
    std::cout.flush();
    std::fflush(nullptr);  // the child must not repeat our buffered output
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(slave_, STDIN_FILENO);
      ::dup2(slave_, STDOUT_FILENO);
      const std::string result = body();
      std::fflush(stdout);
      hx_process::exit_now(::write(p[1], result.data(), result.size()) < 0 ? 2 : 0);
    }
    ::close(p[1]);
    for (int i = 0; i < 500 && (lflag() & cleared) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(0u, lflag() & cleared);
    EXPECT_EQ(static_cast<ssize_t>(keys.size()), ::write(master_, keys.data(), keys.size()));
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = ::read(p[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    ::close(p[0]);
    int status = -1;
    EXPECT_EQ(pid, ::waitpid(pid, &status, 0));
    EXPECT_EQ(0, status);
    return text;
  }

  int master_ = -1;
  int slave_ = -1;
};

}  // namespace

// The secret is not echoed (echo_off): the terminal shows only the function's
// line end; echo_on restores the settings.
TEST_F(Terminal, SecretInputIsNotEchoed) {
  const std::string input = type_into(
      [] {
        std::string input;
        get_client_secret_input(input);
        return input;
      },
      ECHO, "s3cr3t w\n");
  EXPECT_EQ("s3cr3t w", input);
  EXPECT_EQ("\r\n", screen());
  EXPECT_NE(0u, lflag() & ECHO);  // restored
}

// One key without Enter and without echo; settings restored. Without a
// terminal the secret is read as it comes, and getkey gives EOF at the end.
TEST_F(Terminal, GetkeyReadsOneKey) {
  EXPECT_EQ(std::to_string('x'), type_into([] { return std::to_string(getkey()); }, ICANON | ECHO, "xy"));
  EXPECT_EQ("", screen());
  EXPECT_NE(0u, lflag() & ICANON);
  EXPECT_NE(0u, lflag() & ECHO);

  const int saved_stdin = ::dup(STDIN_FILENO);
  int p[2];
  ASSERT_EQ(0, ::pipe(p));
  ASSERT_EQ(13, ::write(p[1], "typed secret\n", 13));
  ::close(p[1]);
  ::dup2(p[0], STDIN_FILENO);
  ::close(p[0]);
  std::string input;
  testing::internal::CaptureStdout();
  get_client_secret_input(input);
  EXPECT_EQ("\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ("typed secret", input);
  EXPECT_EQ(EOF, getkey());  // at end of input
  std::cin.clear();
  ::dup2(saved_stdin, STDIN_FILENO);
  ::close(saved_stdin);
  std::clearerr(stdin);
}

// The login name of the session when it has one, else the effective user's
// name, else nothing: in a child whose effective user is "nobody", or a user
// without an account, the name is the login name if there is one and
// "nobody" or the empty text otherwise.
TEST(LoginName, LoginElseEffectiveUser) {
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "becoming nobody needs root";
  const char* login = ::getlogin();
  const bool has_login = login != nullptr && *login != '\0';
  for (const auto& [uid, name_of_uid] : {std::pair<uid_t, std::string>{nobody->pw_uid, "nobody"}, {54321, ""}}) {
    if (::getpwuid(uid) != nullptr && name_of_uid.empty()) continue;  // that number has an account here
    int p[2];
    ASSERT_EQ(0, ::pipe(p));
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::seteuid(uid) != 0) hx_process::exit_now(2);
      const std::string name = get_loginname();
      const bool sent = ::write(p[1], name.data(), name.size()) == static_cast<ssize_t>(name.size());
      hx_process::exit_now(::seteuid(0) == 0 && sent ? 0 : 3);  // root again to write the counters
    }
    ::close(p[1]);
    std::string name;
    char buf[64];
    for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;) name.append(buf, static_cast<std::size_t>(n));
    ::close(p[0]);
    int status = -1;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    ASSERT_EQ(0, status) << "the child could not become user " << uid;
    EXPECT_EQ(has_login ? std::string(login) : name_of_uid, name) << uid;
  }
}

namespace {

unsigned long long free_bytes(const std::string& dir) {
  struct statfs st;
  EXPECT_EQ(0, ::statfs(dir.c_str(), &st));
  return static_cast<unsigned long long>(st.f_bavail) * st.f_bsize;
}

// A private directory (from LogTest) with sparse files of any size.
class FreeSpace : public hx_log_test::LogTest {
 protected:
  std::string sparse_file(const std::string& name, unsigned long long size) {
    return tmp_.sparse(name, size);
  }
};

}  // namespace

// A byte count (or file size) equal to the free space is enough, one byte more
// is not: on /proc (no free blocks) and on a tmpfs of 1 MiB that nothing else
// writes to, mounted in a forked child's own mount namespace (a shared file
// system changes under the checks while other tests run beside this one).
TEST_F(FreeSpace, EqualIsEnoughOneMoreIsNot) {
  EXPECT_EQ(0ull, free_bytes("/proc"));
  EXPECT_TRUE(check_free_space("/proc", 0ull));
  EXPECT_FALSE(check_free_space("/proc", 1ull));
  EXPECT_TRUE(check_free_space("/proc", sparse_file("empty", 0)));
  EXPECT_FALSE(check_free_space("/proc", sparse_file("one", 1)));

  if (::geteuid() != 0) GTEST_SKIP() << "mounting a file system of its own needs root";
  const unsigned long long size = 1ull << 20;
  const std::string fs_dir = (dir_ / "fs").string();
  ASSERT_EQ(0, ::mkdir(fs_dir.c_str(), 0700));
  const std::string equal_file = sparse_file("equal", size), more_file = sparse_file("more", size + 1);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("hx-free-space", fs_dir.c_str(), "tmpfs", 0, "size=1m") != 0) {
      hx_process::exit_now(2);
    }
    struct statfs st;
    if (::statfs(fs_dir.c_str(), &st) != 0 || static_cast<unsigned long long>(st.f_bavail) * st.f_bsize != size) {
      hx_process::exit_now(3);
    }
    // Each result in one bit: set when it is the wrong one.
    int wrong = 0;
    if (!check_free_space(fs_dir, size)) wrong |= 1 << 2;
    if (check_free_space(fs_dir, size + 1)) wrong |= 1 << 3;
    if (!check_free_space(fs_dir, equal_file)) wrong |= 1 << 4;
    if (check_free_space(fs_dir, more_file)) wrong |= 1 << 5;
    hx_process::exit_now(wrong);
  }
  ASSERT_LT(0, pid);
  int status = -1;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(0, WEXITSTATUS(status)) << "2: no tmpfs mounted, 3: free space not 1 MiB, 4/8/16/32: equal count, "
                                       "one more, equal file, larger file judged wrong";
}

TEST_F(FreeSpace, Failures) {
  const std::string missing_file = (dir_ / "missing").string();
  const std::string missing_dir = (dir_ / "no-dir").string();
  int p[2];
  ASSERT_EQ(0, ::pipe(p));
  const std::string pipe_path = "/proc/self/fd/" + std::to_string(p[0]);  // opens, cannot seek
  testing::internal::CaptureStderr();
  EXPECT_FALSE(check_free_space(dir_.string(), pipe_path));
  EXPECT_FALSE(check_free_space(dir_.string(), missing_file));
  EXPECT_FALSE(check_free_space(missing_dir, 0ull));
  EXPECT_FALSE(check_free_space(missing_dir, sparse_file("f", 1)));
  const std::string statfs_line = "Can't call statfs for: " + missing_dir + ": " + std::strerror(ENOENT) + "\n";
  EXPECT_EQ("Can't lseek: " + pipe_path + ": " + std::strerror(ESPIPE) + "\nCan't open: " + missing_file + ": " +
                std::strerror(ENOENT) + "\n" + statfs_line + statfs_line,
            testing::internal::GetCapturedStderr());
  ::close(p[0]);
  ::close(p[1]);
}
