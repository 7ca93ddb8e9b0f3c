// The per-resource lock across real processes. Runs in the bare sandbox, which
// has a private /dev/shm, so the lock names of these tests stay inside it.
#include "module/hx_modules_common.h"
#include "module/resource_lock.h"

#include "crypto/hmac.h"
#include "crypto/sha256.h"
#include "log/hx_logger.h"
#include "utils/hx_secrets.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace {

// A module with nothing but the framework: enough to take the lock.
class LockModule : public HxModuleUniversal {
 public:
  explicit LockModule(const HxModuleOptions& options) : HxModuleUniversal(options) {}
  bool prepare_resource_before_backup(const bool&) override { return true; }
  bool release_resource_after_backup() override { return true; }
  bool load_module_config() override { return true; }
  void usage_custom() override {}
  int check_client(const bool&) override { return 0; }
  std::string get_full_module_version() override { return "0"; }
  int list_header_labels() override { return 0; }
  int list_all_resources() override { return 0; }
  int list_all_resources_with_header_labels() override { return 0; }
  bool resource_exists() override { return true; }
  bool before_restore() override { return true; }
  bool after_restore() override { return true; }
  bool after_restore_last_file() override { return true; }
  bool deployment(const bool&) override { return true; }
  void autonomous_options() override {}
  void make_archiving() override {}
};

const char kProgram[] = "/opt/halvex/bin/hx_module_pg_ostrel";
const char kOtherProgram[] = "/usr/local/bin/hx_module_other";

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string unstamped(const std::string& text) {
  static const std::regex stamp(R"(\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\] )");
  return std::regex_replace(text, stamp, "");
}

std::string semaphore_file(const std::string& name) { return "/dev/shm/sem." + name; }

// One task in its own process: it takes the lock, reports the result, and,
// when it holds the lock, waits for the test to tell it how to end: 'r'
// release normally, 'a' abort, 's' segmentation fault (or it is killed).
// A refused task ends at once with exit code 2, as the dispatcher does.
class Task {
 public:
  Task(const std::string& program, const std::string& resource, const fs::path& dir, int start_fd = -1) {
    static int counter = 0;
    const std::string tag = std::to_string(++counter);
    out_ = (dir / ("task" + tag + ".out")).string();
    err_ = (dir / ("task" + tag + ".err")).string();
    int status[2], control[2];
    if (::pipe(status) != 0 || ::pipe(control) != 0) std::abort();
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(status[0]);
      ::close(control[1]);
      const rlimit no_core = {0, 0};  // the deliberate crashes leave no core files
      ::setrlimit(RLIMIT_CORE, &no_core);
      std::freopen(out_.c_str(), "w", stdout);
      std::freopen(err_.c_str(), "w", stderr);
      HxLogStream::set_default_loggers(HxDestination::Stdout());
      HxLogStream::set_log_level_logger(HxLogLvl::Error, HxDestination::Stdout());
      char go = 0;
      if (start_fd >= 0 && ::read(start_fd, &go, 1) != 1) _exit(90);
      bool locked = false;
      char answer = '0';
      {
        HxModuleOptions options;
        options.program_path = program;
        LockModule module(options);
        locked = module.lock_resource_handling(resource);
        std::cout.flush();
        std::cerr.flush();
        answer = locked ? '1' : '0';
        if (::write(status[1], &answer, 1) != 1) _exit(91);
        if (locked) {
          // A holder that is never told how to end releases after a while,
          // so a test that wrongly expected a refusal fails instead of hanging.
          pollfd control_poll{control[0], POLLIN, 0};
          char how = 't';
          if (::poll(&control_poll, 1, 20000) != 1 || ::read(control[0], &how, 1) != 1) how = 't';
          if (how == 'a') std::abort();
          if (how == 's') {
            std::signal(SIGSEGV, SIG_DFL);  // no sanitizer handler: the kernel's default end
            std::raise(SIGSEGV);
          }
          if (how == 't') locked = false;
        }
      }
      std::cout.flush();
      _exit(locked ? 0 : answer == '1' ? 3 : 2);
    }
    ::close(status[1]);
    ::close(control[0]);
    status_fd_ = status[0];
    control_fd_ = control[1];
  }

  ~Task() {
    if (control_fd_ >= 0) ::close(control_fd_);
    if (status_fd_ >= 0) ::close(status_fd_);
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // True when the task holds the lock (blocks until it has tried).
  bool locked() {
    if (answer_ == 0 && ::read(status_fd_, &answer_, 1) != 1) answer_ = '?';
    return answer_ == '1';
  }

  // Tells a holding task how to end and waits for it; returns the wait status.
  int end(char how) {
    if (::write(control_fd_, &how, 1) != 1) return -1;
    return wait();
  }
  int kill_hard() {
    ::kill(pid_, SIGKILL);
    return wait();
  }
  int wait() {
    int status = -1;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    return status;
  }

  std::string out() const { return unstamped(read_file(out_)); }
  std::string err() const { return read_file(err_); }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_fd_ = -1;
  int control_fd_ = -1;
  char answer_ = 0;
  std::string out_, err_;
};

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

std::string refusal_line(const std::string& resource) {
  return "Info: Can't run more than one task on the resource: '" + resource + "' at the same time\n";
}

class ResourceLock : public ::testing::Test {
 protected:
  void SetUp() override {
    // The lock names live in /dev/shm: only inside the sandbox's private one.
    ASSERT_NE(nullptr, std::getenv("HX_SANDBOX_DIR")) << "run inside testbed/sandbox";
    ::alarm(120);  // a lock test that blocks ends the program instead of hanging
    dir_ = fs::path(std::getenv("HX_SANDBOX_DIR")) / fs::unique_path("lock-%%%%-%%%%");
    fs::create_directories(dir_);
    resource_ = "/var/lib/postgresql/15/main-" + fs::unique_path("%%%%%%%%").string();
    name_ = hx_resource_lock::lock_name(kProgram, resource_);
  }

  void TearDown() override { ::alarm(0); }

  bool name_exists() const { return fs::exists(semaphore_file(name_)); }
  bool owner_file_exists() const { return fs::exists(hx_resource_lock::owner_file_path(name_)); }

  // Starts n tasks at the same moment and returns how many of them got the lock.
  int race(int n, std::vector<std::unique_ptr<Task>>& tasks) {
    int start[2];
    EXPECT_EQ(0, ::pipe(start));
    for (int i = 0; i < n; ++i) tasks.push_back(std::make_unique<Task>(kProgram, resource_, dir_, start[0]));
    const std::string go(static_cast<std::size_t>(n), 'g');
    EXPECT_EQ(n, ::write(start[1], go.data(), go.size()));
    ::close(start[0]);
    ::close(start[1]);
    int holders = 0;
    for (auto& t : tasks) holders += t->locked() ? 1 : 0;
    return holders;
  }

  fs::path dir_;
  std::string resource_;
  std::string name_;
};

}  // namespace

TEST(LockName, DigestTextWritesBytesWithoutLeadingZeros) {
  const unsigned char mac[32] = {0x01, 0x0a, 0x00, 0xff, 0x10, 0x20, 0x30, 0x40, 0xee, 0xee};
  EXPECT_EQ("1a0ff10203040", hx_resource_lock::digest_text(mac));
  const unsigned char zeros[32] = {};
  EXPECT_EQ("00000000", hx_resource_lock::digest_text(zeros));
  const unsigned char high[32] = {0xff, 0xfe, 0xab, 0x10, 0x11, 0x99, 0xcd, 0xef, 0x01};
  EXPECT_EQ("fffeab101199cdef", hx_resource_lock::digest_text(high));
}

TEST(LockName, IsProgramFileNameAndKeyedDigestOfTheResource) {
  const std::string resource = "/var/lib/postgresql/15/main";
  cppcrypto::sha256 hash;
  cppcrypto::hmac mac(hash, hx_utils_common::server::mac_key());
  unsigned char digest[32];
  mac.hash_string(resource, digest);
  std::string expected_digest;
  char piece[3];
  for (int i = 0; i < 8; ++i) {
    std::snprintf(piece, sizeof piece, "%x", digest[i]);
    expected_digest += piece;
  }
  const std::string name = hx_resource_lock::lock_name(kProgram, resource);
  EXPECT_EQ("Halvex_MOD_mutex_hx_module_pg_ostrel_" + expected_digest, name);
  EXPECT_TRUE(std::regex_match(name, std::regex("Halvex_MOD_mutex_hx_module_pg_ostrel_[0-9a-f]{8,16}")));
  EXPECT_EQ(name, hx_resource_lock::lock_name("hx_module_pg_ostrel", resource));
  EXPECT_NE(name, hx_resource_lock::lock_name(kOtherProgram, resource));
  EXPECT_NE(name, hx_resource_lock::lock_name(kProgram, resource + "/"));
  // Many resources: always 8 to 16 hexadecimal characters.
  for (int i = 0; i < 300; ++i) {
    const std::string other = hx_resource_lock::resource_digest_text("resource-" + std::to_string(i));
    EXPECT_TRUE(std::regex_match(other, std::regex("[0-9a-f]{8,16}"))) << other;
  }
}

TEST_F(ResourceLock, SecondTaskIsRefusedAndAcceptedAfterTheFirstEnded) {
  Task first(kProgram, resource_, dir_);
  ASSERT_TRUE(first.locked());
  EXPECT_TRUE(name_exists());
  EXPECT_EQ("", first.out());
  EXPECT_EQ("", first.err());

  Task second(kProgram, resource_, dir_);
  EXPECT_FALSE(second.locked());
  EXPECT_EQ(2, exit_code(second.wait()));
  EXPECT_EQ("pg_mutex: can't create mutex: File exists\n", second.err());
  EXPECT_EQ(refusal_line(resource_), second.out());
  // A refused task removes nothing.
  EXPECT_TRUE(name_exists());
  EXPECT_TRUE(owner_file_exists());

  Task third(kProgram, resource_, dir_);
  EXPECT_FALSE(third.locked());
  EXPECT_EQ(2, exit_code(third.wait()));

  EXPECT_EQ(0, exit_code(first.end('r')));
  // Released: the name (and the owner file) are gone.
  EXPECT_FALSE(name_exists());
  EXPECT_FALSE(owner_file_exists());

  Task fourth(kProgram, resource_, dir_);
  ASSERT_TRUE(fourth.locked());
  EXPECT_EQ("", fourth.out());  // no take-over warning: nothing was left behind
  EXPECT_EQ("", fourth.err());
  EXPECT_EQ(0, exit_code(fourth.end('r')));
  EXPECT_FALSE(name_exists());
}

TEST_F(ResourceLock, DifferentProgramsDoNotExcludeEachOther) {
  Task first(kProgram, resource_, dir_);
  Task other(kOtherProgram, resource_, dir_);
  ASSERT_TRUE(first.locked());
  ASSERT_TRUE(other.locked());
  EXPECT_TRUE(fs::exists(semaphore_file(hx_resource_lock::lock_name(kOtherProgram, resource_))));
  // Another resource of the same program is free too.
  Task another_resource(kProgram, resource_ + "-2", dir_);
  ASSERT_TRUE(another_resource.locked());
  EXPECT_EQ(0, exit_code(another_resource.end('r')));
  EXPECT_EQ(0, exit_code(other.end('r')));
  EXPECT_EQ(0, exit_code(first.end('r')));
  EXPECT_FALSE(name_exists());
}

TEST_F(ResourceLock, OnlyOneOfManySimultaneousTasksGetsTheLock) {
  std::vector<std::unique_ptr<Task>> tasks;
  EXPECT_EQ(1, race(8, tasks));
  for (auto& t : tasks) {
    if (t->locked()) {
      EXPECT_EQ(0, exit_code(t->end('r')));
    } else {
      EXPECT_EQ(2, exit_code(t->wait()));
      EXPECT_EQ(refusal_line(resource_), t->out());
    }
  }
  EXPECT_FALSE(name_exists());
  EXPECT_FALSE(owner_file_exists());
}

namespace {

// After the holder died in the given way, the next task takes the lock over
// and the lock then works as before.
void check_take_over(int status, const std::string& name, const std::string& resource, const fs::path& dir) {
  EXPECT_FALSE(WIFEXITED(status));                // no destructor ran
  EXPECT_TRUE(fs::exists(semaphore_file(name)));  // the name is left behind

  Task next(kProgram, resource, dir);
  ASSERT_TRUE(next.locked());
  EXPECT_EQ("Warning: Taking over the lock '" + name + "' left behind by a task that is no longer running\n",
            next.out());
  EXPECT_EQ("", next.err());

  // While the new holder lives, others are refused again.
  Task refused(kProgram, resource, dir);
  EXPECT_FALSE(refused.locked());
  EXPECT_EQ(2, exit_code(refused.wait()));
  EXPECT_EQ("pg_mutex: can't create mutex: File exists\n", refused.err());
  EXPECT_EQ(refusal_line(resource), refused.out());

  EXPECT_EQ(0, exit_code(next.end('r')));
  EXPECT_FALSE(fs::exists(semaphore_file(name)));
  EXPECT_FALSE(fs::exists(hx_resource_lock::owner_file_path(name)));
}

}  // namespace

TEST_F(ResourceLock, HolderKilledWithSigkillIsTakenOver) {
  Task holder(kProgram, resource_, dir_);
  ASSERT_TRUE(holder.locked());
  const int status = holder.kill_hard();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(SIGKILL, WTERMSIG(status));
  check_take_over(status, name_, resource_, dir_);
}

TEST_F(ResourceLock, HolderThatAbortsIsTakenOver) {
  Task holder(kProgram, resource_, dir_);
  ASSERT_TRUE(holder.locked());
  const int status = holder.end('a');
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(SIGABRT, WTERMSIG(status));
  check_take_over(status, name_, resource_, dir_);
}

TEST_F(ResourceLock, HolderWithSegmentationFaultIsTakenOver) {
  Task holder(kProgram, resource_, dir_);
  ASSERT_TRUE(holder.locked());
  const int status = holder.end('s');
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(SIGSEGV, WTERMSIG(status));
  check_take_over(status, name_, resource_, dir_);
}

TEST_F(ResourceLock, StaleLockIsTakenOverByExactlyOneOfManyTasks) {
  {
    Task holder(kProgram, resource_, dir_);
    ASSERT_TRUE(holder.locked());
    holder.kill_hard();
  }
  ASSERT_TRUE(name_exists());
  std::vector<std::unique_ptr<Task>> tasks;
  EXPECT_EQ(1, race(8, tasks));
  int warnings = 0;
  for (auto& t : tasks) {
    if (t->locked()) {
      warnings += t->out().find("Warning: Taking over the lock") != std::string::npos ? 1 : 0;
      EXPECT_EQ(0, exit_code(t->end('r')));
    } else {
      EXPECT_EQ(2, exit_code(t->wait()));
      EXPECT_EQ(refusal_line(resource_), t->out());
    }
  }
  EXPECT_EQ(1, warnings);
  EXPECT_FALSE(name_exists());
  EXPECT_FALSE(owner_file_exists());
}

TEST_F(ResourceLock, NameLeftWithoutOwnerFileIsTakenOver) {
  // A name left behind with no owner file at all (for example by a program
  // that did not keep one) belongs to no live task either.
  { boost::interprocess::named_mutex leftover(boost::interprocess::create_only, name_.c_str()); }
  ASSERT_TRUE(name_exists());
  ASSERT_FALSE(owner_file_exists());
  Task next(kProgram, resource_, dir_);
  ASSERT_TRUE(next.locked());
  EXPECT_EQ("Warning: Taking over the lock '" + name_ + "' left behind by a task that is no longer running\n",
            next.out());
  EXPECT_EQ(0, exit_code(next.end('r')));
  EXPECT_FALSE(name_exists());
}

TEST_F(ResourceLock, ReleaseInTheSameProcessAndRelock) {
  HxModuleOptions options;
  options.program_path = kProgram;
  LockModule module(options);
  ASSERT_TRUE(module.lock_resource_handling(resource_));
  EXPECT_TRUE(name_exists());
  // Another process is refused while this one holds it.
  Task other(kProgram, resource_, dir_);
  EXPECT_FALSE(other.locked());
  EXPECT_EQ(2, exit_code(other.wait()));
  // Taking the same resource again in the same task succeeds.
  ASSERT_TRUE(module.lock_resource_handling(resource_));
  module.unlock_resource_handling();
  EXPECT_FALSE(name_exists());
  EXPECT_FALSE(owner_file_exists());
  module.unlock_resource_handling();  // twice is harmless
}

TEST_F(ResourceLock, HoldersNeverOverlapUnderContention) {
  // Several processes take and release the lock over and over. Each holder
  // creates a marker file exclusively while it holds the lock; a second
  // holder at the same time would find the marker there.
  const std::string marker = (dir_ / "inside").string();
  const int processes = 6;
  const int rounds = 300;
  std::vector<pid_t> pids;
  for (int p = 0; p < processes; ++p) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      std::freopen("/dev/null", "w", stdout);
      std::freopen("/dev/null", "w", stderr);
      HxLogStream::set_default_loggers(HxDestination::Stdout());
      HxModuleOptions options;
      options.program_path = kProgram;
      LockModule module(options);
      int held = 0;
      for (int i = 0; i < rounds; ++i) {
        if (module.lock_resource_handling(resource_)) {
          const int fd = ::open(marker.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
          if (fd < 0) _exit(100);  // someone else holds it too
          ::close(fd);
          ++held;
          ::usleep(static_cast<useconds_t>(50 + (i * 37 + p * 11) % 200));
          ::unlink(marker.c_str());
        }
        module.unlock_resource_handling();
        ::usleep(static_cast<useconds_t>((i * 13 + p * 7) % 50));
      }
      _exit(held > 0 ? 0 : 101);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = -1;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(100, WEXITSTATUS(status)) << "two holders at the same time";
    EXPECT_NE(101, WEXITSTATUS(status)) << "a process never got the lock";
  }
  EXPECT_FALSE(name_exists());
  EXPECT_FALSE(owner_file_exists());
}
