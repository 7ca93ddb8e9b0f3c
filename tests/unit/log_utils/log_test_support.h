// Shared pieces of the logging tests: a fixture with an empty log
// configuration and a private temporary directory.
#pragma once

#include "tests/support/test_support.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <string>

namespace hx_log_test {

namespace fs = boost::filesystem;
using hx_test::stamp_regex;
using hx_test::unstamped_lines;

inline std::string read_file(const fs::path& path) { return hx_test::read_file(path.string()); }

class LogTest : public ::testing::Test {
 protected:
  // The start-up configuration of the program, with the log file in our directory.
  std::string configure_like_startup() {
    const std::string path = (dir_ / "prog.log").string();
    HxLogStream::set_default_loggers(HxDestination::File(path), HxDestination::Stdout());
    HxLogStream::set_log_level_logger(HxLogLvl::Error, HxDestination::File(path), HxDestination::Stdout());
    return path;
  }

  hx_test::LogConfigGuard log_config_;
  hx_test::TempDir tmp_;
  const fs::path dir_{tmp_.str()};
};

}  // namespace hx_log_test
