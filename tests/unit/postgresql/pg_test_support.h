// The names under which some tests still reach the helpers of
// tests/support/test_support.h: a log capture of every level, Debug included.
#pragma once

#include "tests/support/test_support.h"

#include <string>
#include <vector>

namespace pg_test {

class LogCapture : public hx_test::LogCapture {
 public:
  LogCapture() : hx_test::LogCapture(HxLogLvl::DebugMask) {}
  std::vector<std::string> lines() const { return messages(); }
};

using hx_test::CoutCapture;
using hx_test::env;
using hx_test::read_file;
using hx_test::sh;

}  // namespace pg_test
