// Opening paths without following links, exclusive directories, the
// program's own directories and paths that outside programs reach by
// descriptor.
#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include "tests/support/test_support.h"
#include "utils/descriptors.h"

namespace {

namespace fs = boost::filesystem;
using hx_utils_common::UniqueFd;

mode_t mode_of(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(Descriptors, NoLinkInAnyElementIsFollowed) {
  hx_test::TempDir dir;
  fs::create_directories(dir / "a/b/c");
  fs::create_symlink(dir / "a/b", dir / "link");
  fs::create_symlink(dir / "a/b/c", dir / "a/last");

  UniqueFd opened = hx_utils_common::open_directory_nofollow(dir / "a/./b//c/");
  ASSERT_TRUE(opened) << std::strerror(errno);
  for (const std::string& path : {dir / "link/c", dir / "a/last"}) {
    errno = 0;
    EXPECT_FALSE(hx_utils_common::open_directory_nofollow(path)) << path;
    EXPECT_TRUE(errno == ELOOP || errno == ENOTDIR) << path << ": " << std::strerror(errno);
  }
  // Relative paths start at the given directory and never climb out of it.
  UniqueFd a = hx_utils_common::open_directory_nofollow(dir / "a");
  EXPECT_TRUE(hx_utils_common::open_directory_nofollow("b/c", a.get()));
  EXPECT_FALSE(hx_utils_common::open_directory_nofollow("b/../..", a.get()));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_FALSE(hx_utils_common::open_directory_at(a.get(), "b/c"));
}

TEST(Descriptors, MadeDirectoriesAreNewAndHaveTheirMode) {
  hx_test::TempDir dir;
  UniqueFd top = hx_utils_common::open_directory_nofollow(dir.str());
  const mode_t saved = ::umask(077);
  UniqueFd made = hx_utils_common::make_directory_at(top.get(), "new", 0750);
  ::umask(saved);
  ASSERT_TRUE(made);
  EXPECT_EQ(0750u, mode_of(dir / "new"));
  fs::create_symlink(dir / "new", dir / "planted");
  for (const char* name : {"new", "planted"}) {
    EXPECT_FALSE(hx_utils_common::make_directory_at(top.get(), name, 0700)) << name;
    EXPECT_EQ(EEXIST, errno) << name;
  }
  EXPECT_TRUE(fs::is_symlink(dir / "planted"));
}

TEST(Descriptors, PrivateDirectoryOnlyWhereNoOtherAccountCanChangeIt) {
  hx_test::TempDir dir;
  ::chmod(dir.str().c_str(), 0755);
  std::string error;
  UniqueFd made = hx_utils_common::open_private_directory(dir / "var/prog", 0700, error);
  ASSERT_TRUE(made) << error;
  EXPECT_EQ(0755u, mode_of(dir / "var"));
  EXPECT_EQ(0700u, mode_of(dir / "var/prog"));
  EXPECT_TRUE(hx_utils_common::open_private_directory(dir / "var/prog", 0700, error)) << error;
  EXPECT_TRUE(hx_utils_common::open_trusted_directory(dir / "var/prog", error)) << error;
  EXPECT_FALSE(hx_utils_common::open_trusted_directory(dir / "var/none", error));
  EXPECT_EQ("\"" + dir / "var/none" + "\": No such file or directory", error);
  EXPECT_FALSE(fs::exists(dir / "var/none"));

  // Under /tmp (sticky, writable by all) the chain is still the program's own.
  ::chmod((dir / "var").c_str(), 01777);
  EXPECT_TRUE(hx_utils_common::open_private_directory(dir / "var/prog", 0700, error)) << error;
  ::chmod((dir / "var").c_str(), 0775);
  EXPECT_FALSE(hx_utils_common::open_private_directory(dir / "var/prog", 0700, error));
  EXPECT_EQ("\"" + dir / "var" + "\": group or others may write it", error);
  ::chmod((dir / "var").c_str(), 0755);

  ASSERT_EQ(0, ::chown((dir / "var/prog").c_str(), 65534, 65534));
  EXPECT_FALSE(hx_utils_common::open_private_directory(dir / "var/prog", 0700, error));
  EXPECT_EQ("\"" + dir / "var/prog" + "\": it is owned by uid 65534", error);

  fs::create_directories(dir / "elsewhere");
  fs::create_symlink(dir / "elsewhere", dir / "var/linked");
  EXPECT_FALSE(hx_utils_common::open_private_directory(dir / "var/linked/x", 0700, error));
  EXPECT_EQ("\"" + dir / "var/linked" + "\" is a symbolic link, not a directory", error);
  EXPECT_FALSE(fs::exists(dir / "elsewhere/x"));
  ::mkfifo((dir / "var/fifo").c_str(), 0600);
  EXPECT_FALSE(hx_utils_common::open_private_directory(dir / "var/fifo", 0700, error));
  EXPECT_EQ("\"" + dir / "var/fifo" + "\" is a FIFO, not a directory", error);
}

// A directory a task claims in a directory others may write: its own is
// used again, a sticky one too; one that group or others may write, or a
// file with a second name, is refused with what lets others change it.
TEST(Descriptors, ClaimedEntriesAreOwnOrRefused) {
  hx_test::TempDir dir;
  UniqueFd top = hx_utils_common::open_directory_nofollow(dir.str());
  std::string error;
  bool made = false;
  EXPECT_TRUE(hx_utils_common::claim_directory_at(top.get(), "task", 0700, error, &made)) << error;
  EXPECT_TRUE(made);
  EXPECT_EQ(0700u, mode_of(dir / "task"));
  ::chmod((dir / "task").c_str(), 01777);
  EXPECT_TRUE(hx_utils_common::claim_directory_at(top.get(), "task", 0700, error, &made)) << error;
  EXPECT_FALSE(made);
  ::chmod((dir / "task").c_str(), 0777);
  EXPECT_FALSE(hx_utils_common::claim_directory_at(top.get(), "task", 0700, error));
  const std::string refused = ", which another account could have placed; it is neither used nor removed";
  EXPECT_EQ("a directory owned by uid 0 that group or others may write" + refused, error);
  ASSERT_EQ(0, ::link(dir.write("file").c_str(), (dir / "second").c_str()));
  EXPECT_FALSE(hx_utils_common::create_file_at(top.get(), "second", 0600, error));
  EXPECT_EQ("a regular file owned by uid 0 with 2 names" + refused, error);
  EXPECT_TRUE(fs::exists(dir / "second"));
}

TEST(Descriptors, OutsideProgramsReachTheOpenedDirectoryWhateverItsNameBecomes) {
  hx_test::TempDir dir;
  fs::create_directories(dir / "mine");
  dir.write("mine/file", "own");
  fs::create_directories(dir / "other");
  dir.write("other/file", "planted");
  UniqueFd mine = hx_utils_common::open_directory_nofollow(dir / "mine");
  fs::rename(dir / "mine", dir / "moved");
  fs::create_symlink(dir / "other", dir / "mine");
  std::string out;
  EXPECT_EQ(0, hx_test::sh("cat " + hx_utils_common::descriptor_path(mine.get()) + "/file", &out));
  EXPECT_EQ("own", out);
}

// A bounded read takes a file of up to the bound whole and refuses a larger
// one (a sparse one of 1 GiB costs nothing) by its size before reading.
TEST(Descriptors, BoundedReadNeverReadsPastTheBound) {
  hx_test::TempDir dir;
  UniqueFd top = hx_utils_common::open_directory_nofollow(dir.str());
  dir.write("fits", std::string(16, 'x'));
  std::string content = "old";
  std::string why;
  struct stat st {};
  ASSERT_TRUE(hx_utils_common::read_regular_file_bounded(top.get(), "fits", 16, content, st, why)) << why;
  EXPECT_EQ(std::string(16, 'x'), content);
  EXPECT_EQ(16, st.st_size);
  content = "old";
  EXPECT_FALSE(hx_utils_common::read_regular_file_bounded(top.get(), "fits", 15, content, st, why));
  EXPECT_EQ(EFBIG, errno);
  EXPECT_EQ("a regular file of 16 bytes, more than the 15 bytes that are read of it", why);
  ASSERT_EQ(0, ::truncate(dir.write("sparse").c_str(), off_t{1} << 30));
  EXPECT_FALSE(hx_utils_common::read_regular_file_bounded(AT_FDCWD, dir / "sparse", 65536, content, st, why));
  EXPECT_EQ("a regular file of 1073741824 bytes, more than the 65536 bytes that are read of it", why);
  EXPECT_EQ("old", content);
}

}  // namespace
