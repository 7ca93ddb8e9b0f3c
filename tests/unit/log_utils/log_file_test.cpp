// The file destination: appending, rotation past 1,000,000 bytes, failures.
#include "log_test_support.h"

#include <ctime>
#include <set>
#include <string>

namespace {

namespace fs = boost::filesystem;
using hx_log_test::LogTest;
using hx_log_test::read_file;
using hx_log_test::unstamped_lines;

// The dated name of a rotation at time t: path.Y-M-DHh-m-s without leading zeros.
std::string rotated_name(const std::string& path, std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return path + "." + std::to_string(tm.tm_year + 1900) + "-" + std::to_string(tm.tm_mon + 1) + "-" +
         std::to_string(tm.tm_mday) + "H" + std::to_string(tm.tm_hour) + "-" + std::to_string(tm.tm_min) + "-" +
         std::to_string(tm.tm_sec);
}

class FileLogTest : public LogTest {
 protected:
  void SetUp() override {
    LogTest::SetUp();
    path_ = (dir_ / "prog.log").string();
  }
  void fill(std::size_t bytes) {
    std::ofstream out(path_, std::ios_base::binary);
    out << std::string(bytes, 'x');
  }
  std::set<std::string> files() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.insert(entry.path().filename().string());
    return names;
  }
  std::string path_;
};

TEST_F(FileLogTest, CreatesTheFileAndAppends) {
  auto logger = HxDestination::File(path_);
  EXPECT_EQ(logger->write_log("Info: one\n"), 0);
  EXPECT_EQ(logger->write_log("Info: two\n"), 0);
  EXPECT_EQ(unstamped_lines(read_file(path_)), (std::vector<std::string>{"Info: one", "Info: two"}));
}

TEST_F(FileLogTest, FileOfExactlyOneMillionBytesIsAppendedTo) {
  fill(1000000);
  auto logger = HxDestination::File(path_);
  EXPECT_EQ(logger->write_log("Info: appended\n"), 0);
  const std::string text = read_file(path_);
  ASSERT_GT(text.size(), 1000000u);
  EXPECT_EQ(text.substr(0, 1000000), std::string(1000000, 'x'));
  EXPECT_EQ(unstamped_lines(text.substr(1000000)), std::vector<std::string>{"Info: appended"});
  EXPECT_EQ(files(), std::set<std::string>{"prog.log"});
}

TEST_F(FileLogTest, FilePastOneMillionBytesIsMovedToItsDatedName) {
  fill(1000001);
  auto logger = HxDestination::File(path_);
  const std::time_t before = std::time(nullptr);
  EXPECT_EQ(logger->write_log("Info: first of the new file\n"), 0);
  const std::time_t after = std::time(nullptr);

  // The new file holds only the line.
  EXPECT_EQ(unstamped_lines(read_file(path_)), std::vector<std::string>{"Info: first of the new file"});
  // The old content lies under the dated name of the moment of rotation.
  std::set<std::string> candidates;
  for (std::time_t t = before; t <= after; ++t) candidates.insert(fs::path(rotated_name(path_, t)).filename().string());
  const auto names = files();
  ASSERT_EQ(names.size(), 2u);
  std::string rotated;
  for (const auto& n : names) {
    if (n != "prog.log") rotated = n;
  }
  EXPECT_EQ(candidates.count(rotated), 1u) << rotated;
  EXPECT_EQ(fs::file_size(dir_ / rotated), 1000001u);
}

TEST_F(FileLogTest, RotatedNameHasNoLeadingZeros) {
  // 09:03:07 on 1 May 2024, local time.
  std::tm tm{};
  tm.tm_year = 124;
  tm.tm_mon = 4;
  tm.tm_mday = 1;
  tm.tm_hour = 9;
  tm.tm_min = 3;
  tm.tm_sec = 7;
  tm.tm_isdst = -1;
  EXPECT_EQ(rotated_name("prog.log", std::mktime(&tm)), "prog.log.2024-5-1H9-3-7");
  // log_rotate itself moves the file to such a name.
  fill(10);
  HxDestination::FileLogger logger(path_);
  const std::time_t before = std::time(nullptr);
  EXPECT_EQ(logger.log_rotate(), 0);
  const std::time_t after = std::time(nullptr);
  EXPECT_FALSE(fs::exists(path_));
  bool found = false;
  for (std::time_t t = before; t <= after; ++t) found = found || fs::exists(rotated_name(path_, t));
  EXPECT_TRUE(found);
}

TEST_F(FileLogTest, SizeTest) {
  HxDestination::FileLogger logger(path_);
  EXPECT_TRUE(logger.is_file_max_size_reached());  // a size that cannot be read counts as too big
  fill(1000000);
  EXPECT_FALSE(logger.is_file_max_size_reached());
  fill(1000001);
  EXPECT_TRUE(logger.is_file_max_size_reached());
}

TEST_F(FileLogTest, RemovedFileIsCreatedAgain) {
  auto logger = HxDestination::File(path_);
  ASSERT_EQ(logger->write_log("Info: one\n"), 0);
  fs::rename(path_, path_ + ".moved");
  EXPECT_EQ(logger->write_log("Info: two\n"), 0);
  EXPECT_EQ(unstamped_lines(read_file(path_)), std::vector<std::string>{"Info: two"});
}

TEST_F(FileLogTest, UnopenableFileFailsQuietly) {
  // The directory does not exist.
  auto missing_dir = HxDestination::File((dir_ / "none" / "prog.log").string());
  EXPECT_EQ(missing_dir->write_log("Info: lost\n"), 1);
  // A path below a regular file.
  std::ofstream(path_) << "plain";
  auto below_file = HxDestination::File(path_ + "/x.log");
  EXPECT_EQ(below_file->write_log("Info: lost\n"), 1);
  // A path whose status cannot be read (a symbolic link that points to itself).
  const fs::path loop = dir_ / "loop";
  fs::create_symlink(loop, loop);
  auto looped = HxDestination::File((loop / "x.log").string());
  EXPECT_NE(looped->write_log("Info: lost\n"), 0);
}

}  // namespace
