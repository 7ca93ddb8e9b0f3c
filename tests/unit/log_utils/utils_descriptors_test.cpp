// Opening paths without following links, exclusive directories, the
// program's own directories and paths that outside programs reach by
// descriptor.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

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

// What a task finds at its own names in a directory others may write: its
// own directory (or file, which is replaced) is used; anything another
// account could have placed is refused with its type and owner, never
// followed or removed.
TEST(Descriptors, ClaimedEntriesAreOwnOrRefused) {
  hx_test::TempDir dir;
  UniqueFd top = hx_utils_common::open_directory_nofollow(dir.str());
  const int at = top.get();
  std::string error;
  bool made = false;
  EXPECT_TRUE(hx_utils_common::claim_directory_at(at, "task", 0700, error, &made)) << error;
  EXPECT_TRUE(made);
  EXPECT_EQ(0700u, mode_of(dir / "task"));
  EXPECT_TRUE(hx_utils_common::claim_directory_at(at, "task", 0700, error, &made)) << error;
  EXPECT_FALSE(made);
  ::chmod((dir / "task").c_str(), 01777);  // sticky: others cannot take root's entries
  EXPECT_TRUE(hx_utils_common::claim_directory_at(at, "task", 0700, error));

  const std::string target = dir.write("target", "kept");
  fs::create_symlink(target, dir / "link");
  ASSERT_EQ(0, ::link(target.c_str(), (dir / "hard").c_str()));
  fs::create_directories(dir / "foreign");
  ASSERT_EQ(0, ::chown((dir / "foreign").c_str(), 65534, 65534));
  fs::create_directories(dir / "open");
  ::chmod((dir / "open").c_str(), 0777);
  const std::string refused = ", which another account could have placed; it is neither used nor removed";
  for (const auto& entry : std::vector<std::pair<std::string, std::string>>{
           {"link", "a symbolic link owned by uid 0"},
           {"hard", "a regular file owned by uid 0 with 2 names"},
           {"foreign", "a directory owned by uid 65534"},
           {"open", "a directory owned by uid 0 that group or others may write"}}) {
    EXPECT_FALSE(hx_utils_common::claim_directory_at(at, entry.first, 0700, error)) << entry.first;
    EXPECT_EQ(entry.second + refused, error);
    EXPECT_FALSE(hx_utils_common::create_file_at(at, entry.first, 0600, error)) << entry.first;
    EXPECT_EQ(entry.second + refused, error);
    EXPECT_FALSE(hx_utils_common::entry_free_or_own(at, entry.first, false, error)) << entry.first;
  }
  EXPECT_EQ("kept", hx_test::read_file(target));
  EXPECT_TRUE(fs::is_symlink(dir / "link") && fs::exists(dir / "hard") && fs::is_directory(dir / "open"));

  // A file of its own left from before is replaced by a new one.
  fs::remove(dir / "hard");
  UniqueFd old(::open(target.c_str(), O_RDONLY));
  UniqueFd file = hx_utils_common::create_file_at(at, "target", 0600, error);
  ASSERT_TRUE(file) << error;
  struct stat before {}, after {};
  ::fstat(old.get(), &before);
  ::fstat(file.get(), &after);
  EXPECT_EQ(0u, before.st_nlink);
  EXPECT_EQ(0, after.st_size);
  EXPECT_TRUE(hx_utils_common::entry_free_or_own(at, "missing", true, error));

  // Directories made below a descriptor: never through a link on the way.
  UniqueFd deep = hx_utils_common::make_directories_at(at, "/task/a/b", 0700, error);
  ASSERT_TRUE(deep) << error;
  EXPECT_TRUE(fs::is_directory(dir / "task/a/b"));
  fs::create_symlink(dir / "foreign", dir / "task/a/linked");
  EXPECT_FALSE(hx_utils_common::make_directories_at(at, "task/a/linked/c", 0700, error));
  EXPECT_EQ("\"task/a/linked\" is a symbolic link, not a directory", error);
  EXPECT_FALSE(fs::exists(dir / "foreign/c"));
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

}  // namespace
