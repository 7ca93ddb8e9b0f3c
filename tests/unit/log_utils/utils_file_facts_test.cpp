// File facts and host facts of hx_utils_common.
#include "utils/hx_utils_common.h"

#include "log/hx_logger.h"
#include "log_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

using namespace hx_utils_common;

namespace {

namespace fs = boost::filesystem;

class FileFacts : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / fs::unique_path("hx-facts-%%%%-%%%%");
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  void write(const std::string& name, const std::string& data) const {
    std::ofstream(path(name), std::ios::binary) << data;
  }

  fs::path dir_;
};

}  // namespace

TEST_F(FileFacts, SparseFileIsRecognised) {
  const std::string sparse_path = path("sparse");
  const int fd = ::open(sparse_path.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ::ftruncate(fd, 64 * 1024 * 1024));
  ::close(fd);
  write("dense", std::string(64 * 1024, 'x'));
  write("empty", "");

  bool sparse = false;
  std::string error;
  EXPECT_TRUE(is_sparse_file(sparse_path, sparse, error));
  EXPECT_TRUE(sparse);
  EXPECT_EQ("", error);
  sparse = true;
  EXPECT_TRUE(is_sparse_file(path("dense"), sparse, error));
  EXPECT_FALSE(sparse);
  sparse = true;
  EXPECT_TRUE(is_sparse_file(path("empty"), sparse, error));
  EXPECT_FALSE(sparse);
}

TEST_F(FileFacts, SparseCheckOfMissingFileReportsTheSystemError) {
  bool sparse = true;
  std::string error;
  EXPECT_FALSE(is_sparse_file(path("missing"), sparse, error));
  EXPECT_EQ(std::strerror(ENOENT), error);
  EXPECT_TRUE(sparse);  // untouched
}

TEST_F(FileFacts, FileSizeOfRegularFiles) {
  write("data", std::string(12345, 'y'));
  write("empty", "");
  const std::string sparse_path = path("sparse");
  const int fd = ::open(sparse_path.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ::ftruncate(fd, 5000000001LL));
  ::close(fd);

  testing::internal::CaptureStderr();
  EXPECT_EQ(12345u, get_file_size(path("data")));
  EXPECT_EQ(0u, get_file_size(path("empty")));
  EXPECT_EQ(5000000001ULL, get_file_size(sparse_path));
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
}

TEST_F(FileFacts, FileSizeFailures) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(0u, get_file_size(path("missing")));
  EXPECT_EQ("get_file_size: open input_file: " + path("missing") + ": : " + std::strerror(ENOENT) + "\n",
            testing::internal::GetCapturedStderr());

  testing::internal::CaptureStderr();
  EXPECT_EQ(0u, get_file_size(dir_.string()));
  EXPECT_EQ("get_file_size: wrong input file type" + dir_.string() + "\n", testing::internal::GetCapturedStderr());

  testing::internal::CaptureStderr();
  EXPECT_EQ(0u, get_file_size("/dev/null"));  // a character device
  EXPECT_EQ("get_file_size: wrong input file type/dev/null\n", testing::internal::GetCapturedStderr());
}

TEST_F(FileFacts, FileSizeClosesItsDescriptor) {
  write("data", "abc");
  const int before = ::open("/dev/null", O_RDONLY);
  ::close(before);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(3u, get_file_size(path("data")));
    EXPECT_EQ(0u, get_file_size(dir_.string()));
  }
  testing::internal::GetCapturedStderr();
  const int after = ::open("/dev/null", O_RDONLY);
  ::close(after);
  EXPECT_EQ(before, after);  // the lowest free descriptor is the same: nothing leaked
}

TEST_F(FileFacts, SymlinkSizeIsTheLengthOfTheTarget) {
  write("target-file", "0123456789");
  ASSERT_EQ(0, ::symlink("target-file", path("link").c_str()));
  ASSERT_EQ(0, ::symlink("/no/such/place/at/all", path("dangling").c_str()));

  testing::internal::CaptureStderr();
  EXPECT_EQ(11u, get_symlink_size(path("link")));
  EXPECT_EQ(21u, get_symlink_size(path("dangling")));
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
}

TEST_F(FileFacts, SymlinkSizeOfOtherFilesAndMissingPaths) {
  write("plain", "0123456789");
  testing::internal::CaptureStderr();
  EXPECT_EQ(0u, get_symlink_size(path("plain")));
  EXPECT_EQ(0u, get_symlink_size(path("missing")));  // lstat failure: treated like a path that is not a link
  EXPECT_EQ("get_symlink_size: wrong input file type" + path("plain") + " is not a link!\n" +
                "get_symlink_size: wrong input file type" + path("missing") + " is not a link!\n",
            testing::internal::GetCapturedStderr());
}

TEST(HostFacts, NodenameIsTheUnameNodeName) {
  struct utsname names;
  ASSERT_EQ(0, ::uname(&names));
  EXPECT_EQ(std::string(names.nodename), get_nodename());
  EXPECT_FALSE(get_nodename().empty());
}

namespace {

// Runs get_hw_platform with a dmidecode stand-in in front of PATH.
class HwPlatform : public hx_log_test::LogTest {
 protected:
  void SetUp() override {
    LogTest::SetUp();
    saved_path_ = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    ::setenv("PATH", (dir_.string() + ":" + saved_path_).c_str(), 1);
  }
  void TearDown() override {
    ::setenv("PATH", saved_path_.c_str(), 1);
    LogTest::TearDown();
  }
  void dmidecode(const std::string& body) {
    const std::string script = (dir_ / "dmidecode").string();
    std::ofstream(script) << "#!/bin/sh\necho \"$*\" >" << (dir_ / "argv").string() << "\n" << body;
    fs::permissions(script, fs::owner_all);
  }

 private:
  std::string saved_path_;
};

}  // namespace

TEST_F(HwPlatform, SuccessAppendsTheFilteredOutput) {
  dmidecode(
      "echo 'System Information'\necho '\tManufacturer: Maker Inc.'\necho '\tProduct Name: Box 9'\n"
      "echo '\tSerial Number: 1'\n");
  const std::string log = configure_like_startup();
  std::string output = "before\n";
  testing::internal::CaptureStdout();
  EXPECT_TRUE(get_hw_platform(output));
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_EQ("before\n\tManufacturer: Maker Inc.\n\tProduct Name: Box 9\n", output);
  EXPECT_EQ("-t system\n", hx_log_test::read_file(dir_ / "argv"));
}

TEST_F(HwPlatform, FailureLogsTheCommandAndItsOutput) {
  // Without DMI tables nothing matches, so the pipeline fails.
  dmidecode("echo '# No SMBIOS nor DMI entry point found, sorry.'\nexit 1\n");
  const std::string log = configure_like_startup();
  std::string output = "kept";
  testing::internal::CaptureStdout();
  EXPECT_FALSE(get_hw_platform(output));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ("kept", output);
  const std::string expected =
      "Error: bool hx_utils_common::get_hw_platform(std::string&): the following command produced an error: "
      "dmidecode -t system|grep 'Manufacturer\\|Product'\n"
      "Error: command output: kept\n";
  EXPECT_EQ(expected, std::regex_replace(hx_log_test::read_file(log), hx_log_test::stamp_regex(), ""));
  EXPECT_EQ(expected, std::regex_replace(out, hx_log_test::stamp_regex(), ""));
}
