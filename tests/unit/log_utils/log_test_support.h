// Shared pieces of the logging tests: a fixture with an empty destination
// configuration and a private temporary directory, and file helpers.
#pragma once

#include "log/hx_logger.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace hx_log_test {

namespace fs = boost::filesystem;

// "[YYYY-MM-DD HH:MM:SS] " at the start of every written line.
inline const std::regex& stamp_regex() {
  static const std::regex re(R"(\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\] )");
  return re;
}

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path.string(), std::ios_base::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines of a text, each with its timestamp removed (lines must carry one).
inline std::vector<std::string> unstamped_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    const bool stamped = std::regex_search(line, m, stamp_regex(), std::regex_constants::match_continuous);
    lines.push_back(stamped ? line.substr(m.length(0)) : "<no timestamp>" + line);
  }
  return lines;
}

// A sparse file of the given size (takes no space itself); its path.
inline std::string sparse_file(const fs::path& path, unsigned long long size) {
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(0, ::ftruncate(fd, static_cast<off_t>(size)));
  ::close(fd);
  return path.string();
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_defaults_ = std::move(HxLogStream::default_loggers_);
    saved_levels_ = std::move(HxLogStream::log_level_mask_default_loggers_);
    saved_tag_ = HxLogStream::tag_;
    HxLogStream::default_loggers_.clear();
    HxLogStream::log_level_mask_default_loggers_.clear();
    dir_ = fs::temp_directory_path() / fs::unique_path("hx-log-%%%%-%%%%");
    fs::create_directories(dir_);
  }
  void TearDown() override {
    HxLogStream::default_loggers_ = std::move(saved_defaults_);
    HxLogStream::log_level_mask_default_loggers_ = std::move(saved_levels_);
    HxLogStream::tag_ = saved_tag_;
    fs::remove_all(dir_);
  }

  // The start-up configuration of the program, with the log file in our directory.
  std::string configure_like_startup() {
    const std::string path = (dir_ / "prog.log").string();
    HxLogStream::set_default_loggers(HxDestination::File(path), HxDestination::Stdout());
    HxLogStream::set_log_level_logger(HxLogLvl::Error, HxDestination::File(path), HxDestination::Stdout());
    return path;
  }

  fs::path dir_;

 private:
  HxLogStream::LoggerList saved_defaults_;
  std::map<HxLogLvl::MaskLevel, HxLogStream::LoggerList> saved_levels_;
  std::string saved_tag_;
};

}  // namespace hx_log_test
