// Owner lookups, owner tests and owner/permission changes on real files with
// the accounts root and postgres. Owner changes need root; without it those
// cases are skipped.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/tuple/tuple_comparison.hpp>
#include <boost/tuple/tuple_io.hpp>
#include <stdexcept>
#include <string>

#include "postgresql/hx_postgresql_common.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = boost::filesystem;
using hx_postgresql_common::change_owner;
using hx_postgresql_common::change_permissions;
using hx_postgresql_common::get_user_uid_gid;
using hx_postgresql_common::is_owner;
using hx_postgresql_common::owner_t;

unsigned int uid(const owner_t& o) { return boost::tuples::get<0>(o); }
unsigned int gid(const owner_t& o) { return boost::tuples::get<1>(o); }

class PgOwnership : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.str().empty());
    std::string u, g;
    ASSERT_EQ(hx_test::sh("id -u postgres", &u), 0);
    ASSERT_EQ(hx_test::sh("id -g postgres", &g), 0);
    postgres_ = owner_t(std::stoul(u), std::stoul(g));
    saved_path_ = hx_test::env("PATH");
  }
  void TearDown() override { setenv("PATH", saved_path_.c_str(), 1); }
  bool not_root() const { return geteuid() != 0; }
  // A chown in front of PATH that logs its arguments, one per line, to
  // chown.args and exits with status.
  void install_fake_chown(int status) {
    fs::create_directories(dir_ / "bin");
    fs::permissions(dir_.write("bin/chown", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> '" +
                                                (dir_ / "chown.args") + "'\nexit " + std::to_string(status) + "\n"),
                    fs::perms(0755));
    setenv("PATH", ((dir_ / "bin") + ":" + saved_path_).c_str(), 1);
  }
  struct stat lstat_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
  }

  hx_test::TempDir dir_;
  hx_test::LogCapture log_{HxLogLvl::DebugMask};
  owner_t postgres_;
  std::string saved_path_;
};

// The text of the std::runtime_error that f throws.
template <class F>
std::string thrown(F f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no exception";
}

TEST_F(PgOwnership, LooksUpAccountsAndComparesOwners) {
  EXPECT_EQ(get_user_uid_gid("root"), owner_t(0, 0));
  EXPECT_EQ(get_user_uid_gid("postgres"), postgres_);
  // Only the characters of the view count, not what follows them in memory.
  const char text[] = "postgresXYZ";
  EXPECT_EQ(get_user_uid_gid(boost::string_view(text, 8)), postgres_);
  EXPECT_EQ(thrown([] { get_user_uid_gid("no-such-account-hx"); }),
            "getpwnam returned a null passwd structure (Success)");

  const std::string file = dir_.write("file", "x");
  const struct stat st = lstat_of(file);
  EXPECT_TRUE(is_owner(file, owner_t(st.st_uid, st.st_gid)));
  EXPECT_FALSE(is_owner(file, owner_t(st.st_uid + 1, st.st_gid)));
  EXPECT_FALSE(is_owner(file, owner_t(st.st_uid, st.st_gid + 1)));
  EXPECT_EQ(thrown([&] { is_owner(dir_ / "missing", owner_t(0, 0)); }), "lstat failed (No such file or directory)");
  EXPECT_EQ(thrown([&] { change_owner(dir_ / "missing", owner_t(0, 0), false); }),
            "lstat failed (No such file or directory)");
  if (not_root()) return;
  // A symbolic link is judged itself, not its target.
  fs::create_symlink(file, dir_ / "link");
  ASSERT_EQ(lchown((dir_ / "link").c_str(), uid(postgres_), gid(postgres_)), 0);
  EXPECT_TRUE(is_owner(dir_ / "link", postgres_));
  EXPECT_FALSE(is_owner(file, postgres_));
}

TEST_F(PgOwnership, ChangeOwnerCommandAndItsFailure) {
  if (not_root()) GTEST_SKIP() << "changing owners needs root";
  const std::string file = dir_.write("data file", "x");
  fs::create_directories(dir_ / "tree");
  install_fake_chown(1);
  EXPECT_FALSE(change_owner(file, owner_t(26, 26), false));
  const std::string quoted = "\"chown -h 26:26 '" + file + "'\"";
  EXPECT_EQ(log_.messages(), (std::vector<std::string>{"Debug: changing \"" + file + "\" owner with " + quoted + "...",
                                                    "Error: command " + quoted + " failed!"}));
  // One argument per word, the path whole; -h: a link changes owner, not its target.
  EXPECT_EQ(hx_test::read_file(dir_ / "chown.args"), "-h\n26:26\n" + file + "\n");

  install_fake_chown(0);
  fs::remove(dir_ / "chown.args");
  EXPECT_TRUE(change_owner(dir_ / "tree", owner_t(26, 27), true));
  EXPECT_EQ(hx_test::read_file(dir_ / "chown.args"), "-h\n-R\n26:27\n" + (dir_ / "tree") + "\n");

  // Characters a shell would expand reach chown literally.
  const std::string odd = dir_.write("a $(echo x) `echo y` \"q\" \\b", "x");
  fs::remove(dir_ / "chown.args");
  EXPECT_TRUE(change_owner(odd, owner_t(26, 27), false));
  EXPECT_EQ(hx_test::read_file(dir_ / "chown.args"), "-h\n26:27\n" + odd + "\n");
}

TEST_F(PgOwnership, ChangeOwnerOnRealFilesAndAlreadyOwnedTops) {
  if (not_root()) GTEST_SKIP() << "changing owners needs root";
  fs::create_directories(dir_ / "tree/sub");
  const std::string inner = dir_.write("tree/sub/file", "x");
  EXPECT_TRUE(change_owner(dir_ / "tree", postgres_, true));
  EXPECT_TRUE(is_owner(dir_ / "tree", postgres_));
  EXPECT_TRUE(is_owner(inner, postgres_));
  EXPECT_TRUE(change_owner(inner, owner_t(0, 0), false));
  EXPECT_EQ(lstat_of(inner).st_uid, 0u);

  // The top already has the owner: no command runs, even with recursion and
  // a differently owned file below.
  log_.clear();
  install_fake_chown(1);
  EXPECT_TRUE(change_owner(dir_ / "tree", postgres_, true));
  EXPECT_TRUE(change_owner(dir_ / "tree", postgres_, false));
  EXPECT_FALSE(fs::exists(dir_ / "chown.args"));
  EXPECT_TRUE(is_owner(inner, owner_t(0, 0)));
  EXPECT_TRUE(log_.messages().empty()) << log_.text();
}

TEST_F(PgOwnership, ChangePermissions) {
  const std::string target = dir_.write("file", "x");
  fs::permissions(target, fs::perms(0640));
  fs::create_symlink(target, dir_ / "link");
  // Through a symbolic link: the target changes.
  change_permissions(dir_ / "link", fs::perms(0600));
  EXPECT_EQ(lstat_of(target).st_mode & 07777, 0600u);
  EXPECT_EQ(log_.messages(),
            std::vector<std::string>{"Debug: changing \"" + (dir_ / "link") + "\" permissions 0640 -> 0600..."});

  // The same permissions: no line, no change (not even of ctime).
  log_.clear();
  const struct stat before = lstat_of(target);
  change_permissions(target, fs::perms(0600));
  const struct stat after = lstat_of(target);
  EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
  EXPECT_EQ(after.st_ctim.tv_sec, before.st_ctim.tv_sec);
  EXPECT_TRUE(log_.messages().empty()) << log_.text();
  EXPECT_THROW(change_permissions(dir_ / "missing", fs::perms(0600)), fs::filesystem_error);
}

}  // namespace
