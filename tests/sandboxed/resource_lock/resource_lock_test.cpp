// The per-resource lock across real processes. Runs in the bare sandbox, which
// has a private /dev/shm, so the lock names of these tests stay inside it.
#include "utils/exit_now.h"
#include "module/resource_lock.h"
#include "unit/module/options_test_support.h"

#include "crypto/hmac.h"
#include "crypto/sha256.h"
#include "utils/hx_secrets.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace {

const char kProgram[] = "/opt/halvex/bin/hx_module_pg_ostrel";
const char kOtherProgram[] = "/usr/local/bin/hx_module_other";
// The program's own root-only directory, where its owner files lie.
const std::string kOwnerDirectory = "/opt/halvex/var/hx_module_pg_ostrel";

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool semaphore_exists(const std::string& name) { return fs::exists("/dev/shm/sem." + name); }

// One task in its own process: it takes the lock and reports the result; a
// holder then waits until told to release (or is killed); a refused task ends
// at once with exit code 2, as the dispatcher does. Its stdout and stderr go
// to files.
class Task {
 public:
  Task(const std::string& program, const std::string& resource, const fs::path& dir) {
    static int counter = 0;
    out_ = (dir / ("task" + std::to_string(++counter) + ".out")).string();
    if (::pipe(status_) != 0 || ::pipe(control_) != 0) std::abort();
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ != 0) {
      ::close(status_[1]);
      ::close(control_[0]);
      return;
    }
    if (std::freopen(out_.c_str(), "w", stdout) == nullptr ||
        std::freopen((out_ + ".err").c_str(), "w", stderr) == nullptr) {
      hx_process::exit_now(99);
    }
    HxLogStream::set_default_loggers(HxDestination::Stdout());
    HxLogStream::set_log_level_logger(HxLogLvl::Error, HxDestination::Stdout());
    char answer = '0';
    {
      HxModuleOptions options;
      options.program_path = program;
      hx_test::StubModule module(options);
      answer = module.lock_resource_handling(resource) ? '1' : '0';
      std::cout.flush();
      std::cerr.flush();
      if (::write(status_[1], &answer, 1) != 1) hx_process::exit_now(91);
      // A holder never told to release gives up after 20 s (exit 3), so a
      // test that wrongly expected a refusal fails instead of hanging.
      pollfd control{control_[0], POLLIN, 0};
      if (answer == '1' && ::poll(&control, 1, 20000) != 1) answer = 't';
    }
    std::cout.flush();
    hx_process::exit_now(answer == '1' ? 0 : answer == 't' ? 3 : 2);
  }
  ~Task() {
    if (!reaped_) kill_hard();
    ::close(status_[0]);
    ::close(control_[1]);
  }

  // True when the task holds the lock (blocks until it has tried).
  bool locked() {
    if (answer_ == 0 && ::read(status_[0], &answer_, 1) != 1) answer_ = '?';
    return answer_ == '1';
  }
  // Tells a holder to release; its exit code.
  int release() { return ::write(control_[1], "r", 1) == 1 ? exit_code() : -1; }
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
  int exit_code() {
    const int status = wait();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string out() const {
    static const std::regex stamp(R"(\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\] )");
    return std::regex_replace(read_file(out_), stamp, "");
  }
  std::string err() const { return read_file(out_ + ".err"); }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_[2] = {-1, -1}, control_[2] = {-1, -1};
  char answer_ = 0;
  std::string out_;
};

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

  bool name_exists() const { return semaphore_exists(name_); }
  bool owner_file_exists() const { return fs::exists(kOwnerDirectory + "/" + name_ + ".owner"); }

  // A refused task: exit code 2, the mutex line on stderr, the Info line on stdout.
  void expect_refused(Task& task) {
    EXPECT_FALSE(task.locked());
    EXPECT_EQ(2, task.exit_code());
    EXPECT_EQ("pg_mutex: can't create mutex: File exists\n", task.err());
    EXPECT_EQ("Info: Can't run more than one task on the resource: '" + resource_ + "' at the same time\n",
              task.out());
  }

  fs::path dir_;
  std::string resource_;
  std::string name_;
};

}  // namespace

// The first eight MAC bytes in hex without leading zeros, after
// "Halvex_MOD_mutex_" and the program's file name.
TEST(LockName, ProgramFileNameAndKeyedDigestOfTheResource) {
  const unsigned char mac[32] = {0x01, 0x0a, 0x00, 0xff, 0x10, 0x20, 0x30, 0x40, 0xee, 0xee};
  EXPECT_EQ("1a0ff10203040", hx_resource_lock::digest_text(mac));
  const unsigned char zeros[32] = {};
  EXPECT_EQ("00000000", hx_resource_lock::digest_text(zeros));

  const std::string resource = "/var/lib/postgresql/15/main";
  cppcrypto::sha256 hash;
  cppcrypto::hmac hmac(hash, hx_utils_common::server::mac_key());
  unsigned char digest[32];
  hmac.hash_string(resource, digest);
  const std::string name = hx_resource_lock::lock_name(kProgram, resource);
  EXPECT_EQ("Halvex_MOD_mutex_hx_module_pg_ostrel_" + hx_resource_lock::digest_text(digest), name);
  EXPECT_EQ(name, hx_resource_lock::lock_name("hx_module_pg_ostrel", resource));
  EXPECT_NE(name, hx_resource_lock::lock_name(kOtherProgram, resource));
  EXPECT_NE(name, hx_resource_lock::lock_name(kProgram, resource + "/"));
}

// While the first task holds the lock, others are refused and remove nothing;
// its release removes the name and the owner file, and the next task gets
// the lock without a take-over warning.
TEST_F(ResourceLock, SecondTaskIsRefusedAndAcceptedAfterTheFirstEnded) {
  Task first(kProgram, resource_, dir_);
  ASSERT_TRUE(first.locked());
  EXPECT_TRUE(name_exists());
  EXPECT_EQ("", first.out() + first.err());
  Task second(kProgram, resource_, dir_);
  expect_refused(second);
  EXPECT_TRUE(name_exists());
  EXPECT_TRUE(owner_file_exists());

  EXPECT_EQ(0, first.release());
  EXPECT_FALSE(name_exists());
  EXPECT_FALSE(owner_file_exists());
  Task third(kProgram, resource_, dir_);
  ASSERT_TRUE(third.locked());
  EXPECT_EQ("", third.out() + third.err());
  EXPECT_EQ(0, third.release());
  EXPECT_FALSE(name_exists());
}

// The same resource under another program's file name, or another resource
// of the same program, is a different lock.
TEST_F(ResourceLock, DifferentProgramsDoNotExcludeEachOther) {
  Task first(kProgram, resource_, dir_);
  Task other(kOtherProgram, resource_, dir_);
  Task another_resource(kProgram, resource_ + "-2", dir_);
  ASSERT_TRUE(first.locked());
  ASSERT_TRUE(other.locked());
  ASSERT_TRUE(another_resource.locked());
  EXPECT_TRUE(semaphore_exists(hx_resource_lock::lock_name(kOtherProgram, resource_)));
  EXPECT_EQ(0, another_resource.release());
  EXPECT_EQ(0, other.release());
  EXPECT_EQ(0, first.release());
  EXPECT_FALSE(name_exists());
}

// A holder killed with SIGKILL leaves the name behind; the next task takes it
// over with a Warning, and the lock then works as before.
TEST_F(ResourceLock, HolderKilledWithSigkillIsTakenOver) {
  Task holder(kProgram, resource_, dir_);
  ASSERT_TRUE(holder.locked());
  const int status = holder.kill_hard();
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_TRUE(name_exists());

  Task next(kProgram, resource_, dir_);
  ASSERT_TRUE(next.locked());
  EXPECT_EQ("Warning: Taking over the lock '" + name_ + "' left behind by a task that is no longer running\n",
            next.out());
  EXPECT_EQ("", next.err());
  Task refused(kProgram, resource_, dir_);
  expect_refused(refused);
  EXPECT_EQ(0, next.release());
  EXPECT_FALSE(name_exists());
  EXPECT_FALSE(owner_file_exists());
}

// What another account plants in /dev/shm, which every user may write, never
// refuses a task with a wrong reason. At the mutex's own name, anything but a
// plain file of root's (as a dead task leaves it) is reported with its path,
// type and owner, and stays; at the name the owner file would have had in
// /dev/shm it does not matter. A link at the owner file's name (in the
// program's own directory) is not followed.
TEST_F(ResourceLock, PlantedNamesNeitherBlockNorRedirect) {
  const std::string resource = "/var/lib/postgresql/15/main";
  const std::string name = "Halvex_MOD_mutex_hx_module_pg_ostrel_10715042a28ebcf";
  const std::string planted = "/dev/shm/sem." + name;
  fs::create_directory("/dev/shm/" + name + ".owner");
  fs::create_directory(planted);
  ASSERT_EQ(0, ::lchown(planted.c_str(), 65534, 65534));
  Task directory(kProgram, resource, dir_);
  EXPECT_FALSE(directory.locked());
  EXPECT_EQ(2, directory.exit_code());
  EXPECT_EQ("Error: Can't run the task on the resource '" + resource + "': the lock name " + planted +
                " is taken by a directory owned by uid 65534, which is not this module's lock; remove it, then run "
                "the task again\n",
            directory.out());
  EXPECT_TRUE(fs::is_directory(planted));
  fs::remove(planted);

  const std::string owner = kOwnerDirectory + "/" + name + ".owner";
  EXPECT_FALSE(fs::exists(fs::symlink_status(owner))) << "a refused task leaves no owner file";
  fs::create_symlink(dir_ / "owner-target", owner);
  Task held(kProgram, resource, dir_);
  ASSERT_TRUE(held.locked());
  EXPECT_EQ("", held.out() + held.err());
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(owner)));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "owner-target")));
  EXPECT_EQ(0, held.release());
  EXPECT_FALSE(fs::exists(fs::symlink_status(owner)));
  EXPECT_FALSE(fs::exists(planted));
  fs::remove("/dev/shm/" + name + ".owner");

  // An owner directory another account could change: whether a task holds
  // the resource cannot be told, and the task is refused saying so.
  ASSERT_EQ(0, ::chown(kOwnerDirectory.c_str(), 65534, 65534));
  Task unowned(kProgram, resource, dir_);
  EXPECT_EQ(2, unowned.exit_code());
  ASSERT_EQ(0, ::chown(kOwnerDirectory.c_str(), 0, 0));
  EXPECT_EQ("Error: Can't run the task on the resource '" + resource + "': the lock directory cannot be used: \"" +
                kOwnerDirectory + "\": it is owned by uid 65534\n",
            unowned.out());
  EXPECT_FALSE(fs::exists(planted));
}

// Tasks that take and let go one owner lock as fast as they can never hold
// it at once. A holder removes the owner file before it lets its flock go,
// so a task can win the flock of a file that no name leads to any more,
// while another task holds the file the name now leads to: that win does
// not count.
TEST_F(ResourceLock, OwnerLockIsNeverHeldTwice) {
  auto* counts = static_cast<std::atomic<int>*>(
      ::mmap(nullptr, 2 * sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(MAP_FAILED, static_cast<void*>(counts));
  new (&counts[0]) std::atomic<int>(0);  // holders now
  new (&counts[1]) std::atomic<int>(0);  // times a second holder came
  std::vector<pid_t> tasks;
  for (int i = 0; i < 8; ++i) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      hx_owner_lock lock;
      std::string holder;
      while (std::chrono::steady_clock::now() < end) {
        if (!lock.try_lock(kOwnerDirectory, "race.owner", "a racing task", holder)) continue;
        if (counts[0].fetch_add(1) != 0) counts[1].fetch_add(1);
        ::sched_yield();
        counts[0].fetch_sub(1);
        lock.unlock();
      }
      hx_process::exit_now(0);
    }
    tasks.push_back(pid);
  }
  for (const pid_t pid : tasks) ::waitpid(pid, nullptr, 0);
  EXPECT_EQ(0, counts[1].load());
  EXPECT_FALSE(fs::exists(kOwnerDirectory + "/race.owner"));
  ::munmap(counts, 2 * sizeof(std::atomic<int>));
}

// Taking the same resource again in the same task does not refuse itself;
// unlocking removes the name, and twice is harmless.
TEST_F(ResourceLock, ReleaseInTheSameProcessAndRelock) {
  HxModuleOptions options;
  options.program_path = kProgram;
  hx_test::StubModule module(options);
  ASSERT_TRUE(module.lock_resource_handling(resource_));
  Task other(kProgram, resource_, dir_);
  expect_refused(other);
  ASSERT_TRUE(module.lock_resource_handling(resource_));
  module.unlock_resource_handling();
  EXPECT_FALSE(name_exists());
  EXPECT_FALSE(owner_file_exists());
  module.unlock_resource_handling();
}

// lock_target: every spelling of a path takes one lock, and a refused task is
// told which task holds it, by the description the holder recorded (which
// replaces what a dead holder left in the file); the locks go with the
// resource lock. Its owner file lies in the program's own directory: a
// directory another account plants where it once lay in /dev/shm does not
// matter. An owner file that cannot be had refuses the task without claiming
// that another task holds it, and says why.
TEST_F(ResourceLock, TargetLockOfOnePathUnderTwoSpellings) {
  hx_test::LogCapture log;
  // Fixed paths (this /dev/shm is the sandbox's own), so that the owner
  // files' names are known answers.
  const std::string data = "/dev/shm/data", link = "/dev/shm/link", other = "/dev/shm/other";
  const std::string owner_file = kOwnerDirectory + "/Halvex_MOD_target_hx_module_pg_ostrel_f78748616de78def.owner";
  const std::string other_file = kOwnerDirectory + "/Halvex_MOD_target_hx_module_pg_ostrel_61bf60c42ae871e.owner";
  fs::create_directories(data);
  fs::create_symlink(data, link);
  const std::string old_place = "/dev/shm/Halvex_MOD_target_hx_module_pg_ostrel_f78748616de78def.owner";
  fs::create_directory(old_place);
  ASSERT_EQ(0, ::chown(old_place.c_str(), 65534, 65534));
  fs::create_directories(kOwnerDirectory);
  std::ofstream(owner_file) << "PID 1, a killed task with a description longer than the next one";
  HxModuleOptions options;
  options.program_path = kProgram;
  options.mode = HxModuleMode::Backup;
  options.resource = "cluster";
  hx_test::StubModule holder(options);
  ASSERT_TRUE(holder.lock_target(data, "it")) << log.text();
  options.resource = "clustr";
  hx_test::StubModule second(options);
  for (const std::string& spelling : {link, std::string("/dev/shm/./data/")}) {
    log.clear();
    EXPECT_FALSE(second.lock_target(spelling, "the cluster of the data directory '" + spelling + "'"));
    EXPECT_EQ(log.messages(), std::vector<std::string>{
                                  "Error: Can't run the task: the cluster of the data directory '" + spelling +
                                  "' is in use by another task of this module (PID " + std::to_string(::getpid()) +
                                  ", a backup of the resource 'cluster'). Run it again when that task has ended"});
  }
  EXPECT_TRUE(fs::exists(owner_file));
  holder.unlock_resource_handling();
  EXPECT_FALSE(fs::exists(owner_file));
  EXPECT_TRUE(second.lock_target(link, "it"));
  second.unlock_resource_handling();

  fs::create_directory(other_file);
  log.clear();
  EXPECT_FALSE(second.lock_target(other, "the cluster of the data directory '" + other + "'"));
  EXPECT_EQ(log.messages(), std::vector<std::string>{"Error: Can't run the task: the lock of the cluster of the data "
                                                     "directory '" + other + "' cannot be taken: its file " +
                                                     other_file + " cannot be opened (Is a directory)"});
  fs::remove(other_file);
  ASSERT_EQ(0, ::chown(kOwnerDirectory.c_str(), 65534, 65534));
  log.clear();
  EXPECT_FALSE(second.lock_target(other, "it"));
  ASSERT_EQ(0, ::chown(kOwnerDirectory.c_str(), 0, 0));
  EXPECT_EQ(log.messages(), std::vector<std::string>{"Error: Can't run the task: the lock of it cannot be taken: its "
                                                     "directory cannot be used: \"" + kOwnerDirectory +
                                                     "\": it is owned by uid 65534"});
  for (const std::string& path : {link, data, old_place}) fs::remove(path);
}
