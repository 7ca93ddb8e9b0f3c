// File facts and host facts of hx_utils_common.
#include "utils/hx_utils_common.h"

#include "log_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

using namespace hx_utils_common;

namespace {

namespace fs = boost::filesystem;

// A private directory (and the log configuration of LogTest) per test.
class FileFacts : public hx_log_test::LogTest {
 protected:
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  void write(const std::string& name, const std::string& data) const {
    std::ofstream(path(name), std::ios::binary) << data;
  }
  void sparse(const std::string& name, unsigned long long size) const { tmp_.sparse(name, size); }
};

}  // namespace

TEST_F(FileFacts, SparseFile) {
  sparse("sparse", 64 * 1024 * 1024);
  write("dense", std::string(64 * 1024, 'x'));
  write("empty", "");
  for (const auto& [name, want] : {std::pair<std::string, bool>{"sparse", true}, {"dense", false}, {"empty", false}}) {
    bool is_sparse = !want;
    std::string error;
    EXPECT_TRUE(is_sparse_file(path(name), is_sparse, error)) << name;
    EXPECT_EQ(want, is_sparse) << name;
    EXPECT_EQ("", error);
  }
  bool untouched = true;
  std::string error;
  EXPECT_FALSE(is_sparse_file(path("missing"), untouched, error));
  EXPECT_EQ(std::strerror(ENOENT), error);
  EXPECT_TRUE(untouched);
}

// Regular files give their size (a sparse one past 4 GiB too), a block
// device its own; a missing file, a directory and a character device give 0
// with their texts; the descriptor is closed on every path.
TEST_F(FileFacts, FileSize) {
  write("data", std::string(12345, 'y'));
  write("empty", "");
  sparse("big", 5000000001LL);
  const int lowest_free_fd = ::open("/dev/null", O_RDONLY);
  ::close(lowest_free_fd);
  testing::internal::CaptureStderr();
  EXPECT_EQ(12345u, get_file_size(path("data")));
  EXPECT_EQ(0u, get_file_size(path("empty")));
  EXPECT_EQ(5000000001ULL, get_file_size(path("big")));
  EXPECT_EQ(0u, get_file_size(path("missing")));
  EXPECT_EQ(0u, get_file_size(dir_.string()));
  EXPECT_EQ(0u, get_file_size("/dev/null"));
  EXPECT_EQ("get_file_size: open input_file: " + path("missing") + ": : " + std::strerror(ENOENT) + "\n" +
                "get_file_size: wrong input file type" + dir_.string() + "\n" +
                "get_file_size: wrong input file type/dev/null\n",
            testing::internal::GetCapturedStderr());
  if (::geteuid() == 0) {  // a block device: a loop device of our own over a file of 3 MiB
    sparse("disk", 3 << 20);
    std::string device;
    ASSERT_EQ(0, hx_test::sh("losetup -f --show " + path("disk"), &device)) << device;
    device.erase(device.find_last_not_of('\n') + 1);
    const std::uint64_t size = get_file_size(device);
    EXPECT_EQ(0, hx_test::sh("losetup -d " + device));
    EXPECT_EQ(3u << 20, size);
  }
  const int fd = ::open("/dev/null", O_RDONLY);
  ::close(fd);
  EXPECT_EQ(lowest_free_fd, fd) << "a descriptor leaked";
}

// A link gives the length of its target text (dangling too); a plain file
// and a missing path give 0 with the not-a-link text.
TEST_F(FileFacts, SymlinkSize) {
  write("plain", "0123456789");
  ASSERT_EQ(0, ::symlink("plain", path("link").c_str()));
  ASSERT_EQ(0, ::symlink("/no/such/place/at/all", path("dangling").c_str()));
  testing::internal::CaptureStderr();
  EXPECT_EQ(5u, get_symlink_size(path("link")));
  EXPECT_EQ(21u, get_symlink_size(path("dangling")));
  EXPECT_EQ(0u, get_symlink_size(path("plain")));
  EXPECT_EQ(0u, get_symlink_size(path("missing")));
  EXPECT_EQ("get_symlink_size: wrong input file type" + path("plain") + " is not a link!\n" +
                "get_symlink_size: wrong input file type" + path("missing") + " is not a link!\n",
            testing::internal::GetCapturedStderr());
  struct utsname names;
  ASSERT_EQ(0, ::uname(&names));
  EXPECT_EQ(std::string(names.nodename), get_nodename());
}

// get_hw_platform with a dmidecode stand-in first in PATH: the filtered
// output appended on success; on failure the command and its output logged.
TEST_F(FileFacts, HwPlatform) {
  const std::string saved_path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  ::setenv("PATH", (dir_.string() + ":" + saved_path).c_str(), 1);
  auto dmidecode = [this](const std::string& body) {
    std::ofstream(path("dmidecode")) << "#!/bin/sh\necho \"$*\" >" << path("argv") << "\n" << body;
    fs::permissions(path("dmidecode"), fs::owner_all);
  };
  const std::string log = configure_like_startup();
  dmidecode("printf 'System Information\\n\\tManufacturer: Maker Inc.\\n\\tProduct Name: Box 9\\n\\tSerial: 1\\n'\n");
  std::string output = "before\n";
  testing::internal::CaptureStdout();
  EXPECT_TRUE(get_hw_platform(output));
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_EQ("before\n\tManufacturer: Maker Inc.\n\tProduct Name: Box 9\n", output);
  EXPECT_EQ("-t system\n", hx_log_test::read_file(path("argv")));

  dmidecode("echo '# No SMBIOS nor DMI entry point found, sorry.'\nexit 1\n");
  output = "kept";
  testing::internal::CaptureStdout();
  EXPECT_FALSE(get_hw_platform(output));
  const std::string out = testing::internal::GetCapturedStdout();
  ::setenv("PATH", saved_path.c_str(), 1);
  EXPECT_EQ("kept", output);
  const std::string expected =
      "Error: bool hx_utils_common::get_hw_platform(std::string&): the following command produced an error: "
      "dmidecode -t system|grep 'Manufacturer\\|Product'\n"
      "Error: command output: kept\n";
  EXPECT_EQ(expected, std::regex_replace(hx_log_test::read_file(log), hx_log_test::stamp_regex(), ""));
  EXPECT_EQ(expected, std::regex_replace(out, hx_log_test::stamp_regex(), ""));
}
