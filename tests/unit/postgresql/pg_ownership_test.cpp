// Owner lookups, owner tests and owner/permission changes on real files with
// two accounts: root and postgres. The owner changes need root; without it
// those cases are skipped.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include <boost/filesystem.hpp>

#include "postgresql/hx_postgresql_common.h"
#include "unit/postgresql/pg_test_support.h"

namespace {

namespace fs = boost::filesystem;
using hx_postgresql_common::change_owner;
using hx_postgresql_common::change_permissions;
using hx_postgresql_common::get_user_uid_gid;
using hx_postgresql_common::is_owner;
using hx_postgresql_common::owner_t;

// Output of a shell command without its final line end.
std::string shell_output(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

struct stat lstat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

class PgOwnership : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    postgres_ = owner_t(static_cast<unsigned int>(std::stoul(shell_output("id -u postgres"))),
                        static_cast<unsigned int>(std::stoul(shell_output("id -g postgres"))));
  }
  void require_root() {
    if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
  }
  // A stand-in chown in front of PATH: it logs its arguments, one per line,
  // to chown.args and exits with the status written in chown.status.
  void install_fake_chown(int status) {
    fs::create_directories(dir_ / "fakebin");
    dir_.write("chown.status", std::to_string(status));
    const std::string script = dir_.write(
        "fakebin/chown", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> '" + (dir_ / "chown.args") +
                             "'\nexit $(cat '" + (dir_ / "chown.status") + "')\n");
    fs::permissions(script, fs::perms(0755));
    path_.reset(new pg_test::ScopedEnv("PATH", (dir_ / "fakebin") + ":" + std::getenv("PATH")));
  }

  pg_test::TempDir dir_;
  pg_test::LogCapture log_;
  owner_t postgres_;
  std::unique_ptr<pg_test::ScopedEnv> path_;
};

TEST_F(PgOwnership, LooksUpAnAccount) {
  const owner_t root = get_user_uid_gid("root");
  EXPECT_EQ(boost::tuples::get<0>(root), 0u);
  EXPECT_EQ(boost::tuples::get<1>(root), 0u);
  const owner_t postgres = get_user_uid_gid("postgres");
  EXPECT_EQ(boost::tuples::get<0>(postgres), boost::tuples::get<0>(postgres_));
  EXPECT_EQ(boost::tuples::get<1>(postgres), boost::tuples::get<1>(postgres_));
  // Only the characters of the view count, not what follows them in memory.
  const char text[] = "postgresXYZ";
  const owner_t viewed = get_user_uid_gid(boost::string_view(text, 8));
  EXPECT_EQ(boost::tuples::get<0>(viewed), boost::tuples::get<0>(postgres_));
}

TEST_F(PgOwnership, UnknownAccountThrows) {
  try {
    get_user_uid_gid("no-such-account-hx");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "getpwnam returned a null passwd structure (Success)");
  }
}

TEST_F(PgOwnership, IsOwnerComparesUserAndGroup) {
  const std::string file = dir_.write("file", "x");
  const struct stat st = lstat_of(file);
  EXPECT_TRUE(is_owner(file, owner_t(st.st_uid, st.st_gid)));
  EXPECT_FALSE(is_owner(file, owner_t(st.st_uid + 1, st.st_gid)));
  EXPECT_FALSE(is_owner(file, owner_t(st.st_uid, st.st_gid + 1)));
}

TEST_F(PgOwnership, IsOwnerOfMissingPathThrows) {
  try {
    is_owner(dir_ / "missing", owner_t(0, 0));
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "lstat failed (No such file or directory)");
  }
}

TEST_F(PgOwnership, IsOwnerJudgesASymbolicLinkItself) {
  require_root();
  const std::string target = dir_.write("target", "x");
  const std::string link = dir_ / "link";
  fs::create_symlink(target, link);
  ASSERT_EQ(lchown(link.c_str(), boost::tuples::get<0>(postgres_), boost::tuples::get<1>(postgres_)), 0);
  EXPECT_TRUE(is_owner(link, postgres_));
  EXPECT_FALSE(is_owner(target, postgres_));
  EXPECT_TRUE(is_owner(target, owner_t(0, 0)));
}

TEST_F(PgOwnership, ChangeOwnerRunsChownWithTwoBlanksAndTheQuotedPath) {
  require_root();
  const std::string file = dir_.write("data file", "x");
  install_fake_chown(1);
  EXPECT_FALSE(change_owner(file, owner_t(26, 26), false));

  const std::string command = "chown  26:26 \"" + file + "\"";
  const std::string quoted_command = "\"chown  26:26 \\\"" + file + "\\\"\"";
  const auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 2u) << log_.text();
  EXPECT_EQ(lines[0], "Debug: changing \"" + file + "\" owner with " + quoted_command + "...");
  EXPECT_EQ(lines[1], "Error: command " + quoted_command + " failed!");
  // The shell dropped the empty option and kept the path with its blank whole.
  EXPECT_EQ(pg_test::read_file(dir_ / "chown.args"), "26:26\n" + file + "\n");
}

TEST_F(PgOwnership, ChangeOwnerRecursiveAddsTheOption) {
  require_root();
  fs::create_directories(dir_ / "tree");
  install_fake_chown(0);
  EXPECT_TRUE(change_owner(dir_ / "tree", owner_t(26, 27), true));
  EXPECT_EQ(pg_test::read_file(dir_ / "chown.args"), "-R\n26:27\n" + (dir_ / "tree") + "\n");
  const auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 1u) << log_.text();
  EXPECT_EQ(lines[0], "Debug: changing \"" + (dir_ / "tree") + "\" owner with \"chown -R 26:27 \\\"" +
                          (dir_ / "tree") + "\\\"\"...");
}

TEST_F(PgOwnership, ChangeOwnerChangesARealFile) {
  require_root();
  const std::string file = dir_.write("file", "x");
  ASSERT_TRUE(is_owner(file, owner_t(0, 0)));
  EXPECT_TRUE(change_owner(file, postgres_, false));
  EXPECT_TRUE(is_owner(file, postgres_));
  EXPECT_EQ(lstat_of(file).st_uid, boost::tuples::get<0>(postgres_));
  // And back to root.
  EXPECT_TRUE(change_owner(file, owner_t(0, 0), false));
  EXPECT_TRUE(is_owner(file, owner_t(0, 0)));
}

TEST_F(PgOwnership, ChangeOwnerRecursiveChangesTheTree) {
  require_root();
  fs::create_directories(dir_ / "tree/sub");
  const std::string inner = dir_.write("tree/sub/file", "x");
  EXPECT_TRUE(change_owner(dir_ / "tree", postgres_, true));
  EXPECT_TRUE(is_owner(dir_ / "tree", postgres_));
  EXPECT_TRUE(is_owner(inner, postgres_));
}

TEST_F(PgOwnership, AlreadyOwnedPathRunsNoCommand) {
  require_root();
  fs::create_directories(dir_ / "tree");
  const std::string inner = dir_.write("tree/file", "x");
  ASSERT_EQ(chown((dir_ / "tree").c_str(), boost::tuples::get<0>(postgres_), boost::tuples::get<1>(postgres_)), 0);
  install_fake_chown(1);
  // Only the top is tested: the root-owned file below stays as it is.
  EXPECT_TRUE(change_owner(dir_ / "tree", postgres_, true));
  EXPECT_TRUE(change_owner(dir_ / "tree", postgres_, false));
  EXPECT_FALSE(fs::exists(dir_ / "chown.args"));
  EXPECT_TRUE(is_owner(inner, owner_t(0, 0)));
  EXPECT_TRUE(log_.lines().empty()) << log_.text();
}

TEST_F(PgOwnership, ChangeOwnerOfMissingPathThrows) {
  EXPECT_THROW(change_owner(dir_ / "missing", owner_t(0, 0), false), std::runtime_error);
}

TEST_F(PgOwnership, ChangePermissions) {
  const std::string file = dir_.write("file", "x");
  fs::permissions(file, fs::perms(0640));
  change_permissions(file, fs::perms(0600));
  EXPECT_EQ(lstat_of(file).st_mode & 07777, 0600u);
  const auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 1u) << log_.text();
  EXPECT_EQ(lines[0], "Debug: changing \"" + file + "\" permissions 0640 -> 0600...");
}

TEST_F(PgOwnership, ChangePermissionsWithTheSamePermissionsDoesNothing) {
  const std::string file = dir_.write("file", "x");
  fs::permissions(file, fs::perms(0640));
  const struct stat before = lstat_of(file);
  change_permissions(file, fs::perms(0640));
  const struct stat after = lstat_of(file);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_ctim.tv_sec, before.st_ctim.tv_sec);
  EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
  EXPECT_TRUE(log_.lines().empty()) << log_.text();
}

TEST_F(PgOwnership, ChangePermissionsFollowsSymbolicLinks) {
  const std::string target = dir_.write("target", "x");
  fs::permissions(target, fs::perms(0644));
  const std::string link = dir_ / "link";
  fs::create_symlink(target, link);
  change_permissions(link, fs::perms(0600));
  EXPECT_EQ(lstat_of(target).st_mode & 07777, 0600u);
}

TEST_F(PgOwnership, ChangePermissionsOfMissingPathThrows) {
  EXPECT_THROW(change_permissions(dir_ / "missing", fs::perms(0600)), fs::filesystem_error);
}

}  // namespace
