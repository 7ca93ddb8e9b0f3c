// The file destination: appending, rotation past 1,000,000 bytes, failures.
#include "log_test_support.h"

#include <cerrno>
#include <ctime>
#include <set>
#include <string>

namespace {

namespace fs = boost::filesystem;
using hx_log_test::LogTest;
using hx_log_test::read_file;
using hx_log_test::unstamped_lines;
using Lines = std::vector<std::string>;

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
  void fill(std::size_t bytes) { std::ofstream(path_, std::ios_base::binary) << std::string(bytes, 'x'); }
  std::set<std::string> files() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.insert(entry.path().filename().string());
    return names;
  }
  std::string path_;
};

// Created on first use, appended to, created again after it was moved away.
TEST_F(FileLogTest, CreatesAppendsAndRecreates) {
  auto logger = HxDestination::File(path_);
  EXPECT_EQ(logger->write_log("Info: one\n"), 0);
  EXPECT_EQ(logger->write_log("Info: two\n"), 0);
  EXPECT_EQ(unstamped_lines(read_file(path_)), (Lines{"Info: one", "Info: two"}));
  fs::rename(path_, path_ + ".moved");
  EXPECT_EQ(logger->write_log("Info: three\n"), 0);
  EXPECT_EQ(unstamped_lines(read_file(path_)), Lines{"Info: three"});
}

// Exactly 1,000,000 bytes: appended to. 1,000,001: moved to its dated name
// first, and the new file holds only the line.
TEST_F(FileLogTest, RotationBoundary) {
  std::tm tm{};
  tm.tm_year = 124, tm.tm_mon = 4, tm.tm_mday = 1, tm.tm_hour = 9, tm.tm_min = 3, tm.tm_sec = 7, tm.tm_isdst = -1;
  ASSERT_EQ(rotated_name("prog.log", std::mktime(&tm)), "prog.log.2024-5-1H9-3-7");

  fill(1000000);
  auto logger = HxDestination::File(path_);
  EXPECT_EQ(logger->write_log("Info: appended\n"), 0);
  const std::string text = read_file(path_);
  EXPECT_EQ(text.substr(0, 1000000), std::string(1000000, 'x'));
  EXPECT_EQ(unstamped_lines(text.substr(1000000)), Lines{"Info: appended"});
  EXPECT_EQ(files(), std::set<std::string>{"prog.log"});

  fill(1000001);
  const std::time_t before = std::time(nullptr);
  EXPECT_EQ(logger->write_log("Info: first of the new file\n"), 0);
  const std::time_t after = std::time(nullptr);
  EXPECT_EQ(unstamped_lines(read_file(path_)), Lines{"Info: first of the new file"});
  std::set<std::string> want;
  for (std::time_t t = before; t <= after; ++t) {
    std::set<std::string> names = {"prog.log", fs::path(rotated_name(path_, t)).filename().string()};
    if (files() == names) want = names;
  }
  ASSERT_EQ(want.size(), 2u) << "no dated file of the moment of rotation";
  EXPECT_EQ(fs::file_size(dir_ / *std::next(want.begin())), 1000001u);
}

// A rotation that cannot move the file (every dated name of the next minute
// taken by a directory) loses the line and returns the error; the next line
// tries again. A directory at the log path has no size: it is moved aside.
TEST_F(FileLogTest, FailedRotationAndUnreadableSize) {
  fill(1000001);
  const std::time_t now = std::time(nullptr);
  for (std::time_t t = now; t < now + 60; ++t) fs::create_directory(rotated_name(path_, t));
  auto logger = HxDestination::File(path_);
  EXPECT_EQ(logger->write_log("Info: lost\n"), EISDIR);
  EXPECT_EQ(fs::file_size(path_), 1000001u);
  for (std::time_t t = now; t < now + 60; ++t) fs::remove(rotated_name(path_, t));
  EXPECT_EQ(logger->write_log("Info: kept\n"), 0);
  EXPECT_EQ(unstamped_lines(read_file(path_)), Lines{"Info: kept"});

  for (const std::string& name : files()) fs::remove(dir_ / name);  // a dated file would block the move
  fs::create_directories(dir_ / "prog.log" / "inside");
  EXPECT_EQ(logger->write_log("Info: new file\n"), 0);
  EXPECT_EQ(unstamped_lines(read_file(path_)), Lines{"Info: new file"});
  std::set<std::string> moved;
  for (const std::string& name : files()) {
    if (name.rfind("prog.log.", 0) == 0 && fs::is_directory(dir_ / name / "inside")) moved.insert(name);
  }
  EXPECT_EQ(moved.size(), 1u);
}

// Missing directory, a path below a regular file, a status that cannot be
// read (a self-referencing link): a failed write, never a crash.
TEST_F(FileLogTest, UnopenableFileFailsQuietly) {
  EXPECT_EQ(HxDestination::File((dir_ / "none" / "prog.log").string())->write_log("Info: lost\n"), 1);
  std::ofstream(path_) << "plain";
  EXPECT_EQ(HxDestination::File(path_ + "/x.log")->write_log("Info: lost\n"), 1);
  const fs::path loop = dir_ / "loop";
  fs::create_symlink(loop, loop);
  EXPECT_EQ(HxDestination::File((loop / "x.log").string())->write_log("Info: lost\n"), 1);
}

}  // namespace
