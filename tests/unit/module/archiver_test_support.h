// Shared pieces of the unit tests of the archiver road: a module whose hooks
// record their calls and fail on request, a temporary directory, and the
// archiver command line the module logs.
#pragma once

#include "options_test_support.h"
#include "utils/hx_utils_common.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace hx_archiver_test {

namespace fs = boost::filesystem;
using hx_test::LogSink;

// Hooks append their names to `calls` and fail when their name is in `failing`.
class TaskModule : public hx_test::StubModule {
 public:
  explicit TaskModule(const HxModuleOptions& options = HxModuleOptions()) : StubModule(options) {}

  using HxModuleUniversal::hxfd_pid_;
  using HxModuleUniversal::hxfd_succeeded_;
  using HxModuleUniversal::reference_snapshot_directory_;
  using HxModuleUniversal::remove_tmp_operation_directory_;
  using HxModuleUniversal::restore_directory_defined_;
  using HxModuleUniversal::without_reference_snapshot_;

  bool prepare_resource_before_backup(const bool& replica) override {
    return hook(replica ? "prepare(replica)" : "prepare");
  }
  bool release_resource_after_backup() override { return hook("release"); }
  bool load_module_config() override { return hook("config"); }
  bool resource_exists() override { return hook("exists"); }
  bool before_restore() override { return hook("before_restore"); }
  bool after_restore() override { return hook("after_restore"); }
  bool after_restore_last_file() override { return hook("after_restore_last_file"); }
  bool deployment(const bool& replica) override { return hook(replica ? "deployment(replica)" : "deployment"); }
  void make_archiving() override { calls.push_back("make_archiving"); }

  std::vector<std::string> calls;
  std::set<std::string> failing;

 private:
  bool hook(const std::string& name) {
    calls.push_back(name);
    return failing.count(name) == 0;
  }
};

// A fresh directory below the system's temporary directory, removed at the end.
class TempDir {
 public:
  TempDir() { fs::create_directories(path_); }
  ~TempDir() {
    boost::system::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string str() const { return path_.string(); }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  std::string write(const std::string& name, const std::string& content) const {
    std::ofstream(*this / name, std::ios_base::binary) << content;
    return *this / name;
  }

 private:
  fs::path path_ = fs::temp_directory_path() / fs::unique_path("hx-archiver-%%%%-%%%%-%%%%");
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios_base::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Outside the test bed there is no archiver, so a run of the real command
// fails with the shell's "not found"; tests that rely on that skip where one exists.
inline bool archiver_installed() { return fs::exists("/opt/halvex/bin/hxfd"); }

const char* const kRunSig =
    "bool HxModuleUniversal::run_hxfd_command(const string&, std::string&, pid_t&, std::string&)";

// The command of the last "...:hxfd command: " Info line, or "" when none was logged.
inline std::string logged_hxfd_command(const LogSink& log) {
  const std::string marker = std::string("Info: ") + kRunSig + ":hxfd command: ";
  std::string command;
  for (const std::string& message : log.messages()) {
    if (message.rfind(marker, 0) == 0) command = message.substr(marker.size());
  }
  return command;
}

}  // namespace hx_archiver_test
