// Shared pieces of the unit tests of the archiver road: a module whose hooks
// record their calls and fail on request, and the archiver command line the
// module logs.
#pragma once

#include "options_test_support.h"
#include "utils/hx_utils_common.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace hx_archiver_test {

namespace fs = boost::filesystem;
using hx_test::LogCapture;
using LogSink = hx_test::LogCapture;  // the name some tests still use

// Hooks append their names to `calls` and fail when their name is in `failing`.
class TaskModule : public hx_test::StubModule {
 public:
  explicit TaskModule(const HxModuleOptions& options = HxModuleOptions()) : StubModule(options) {}

  using HxModuleUniversal::created_restore_directory_;
  using HxModuleUniversal::hxfd_pid_;
  using HxModuleUniversal::hxfd_succeeded_;
  using HxModuleUniversal::reference_directory_;
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
  // Judged without a call recorded: refused when named in `failing`.
  bool module_parameters_valid() override { return failing.count("parameters") == 0; }
  bool lock_task_target() override { return failing.count("target") == 0; }

  std::vector<std::string> calls;
  std::set<std::string> failing;

 private:
  bool hook(const std::string& name) {
    calls.push_back(name);
    return failing.count(name) == 0;
  }
};

using hx_test::read_file;
using hx_test::TempDir;

// The framework runs the archiver at its fixed path, and the tests of a failed
// run need it absent, as on a host without the product. Where one is
// installed (the test bed's stand-in), the test process moves into a mount
// namespace of its own in which an empty file system hides it (root only).
// True when no archiver can be run.
inline bool without_archiver() {
  static const bool absent = [] {
    if (!fs::exists("/opt/halvex/bin/hxfd")) return true;
    return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount("hx-no-archiver", "/opt/halvex/bin", "tmpfs", 0, nullptr) == 0 &&
           !fs::exists("/opt/halvex/bin/hxfd");
  }();
  return absent;
}
#define HX_SKIP_UNLESS_WITHOUT_ARCHIVER() \
  if (!without_archiver()) GTEST_SKIP() << "an archiver is installed and could not be hidden (needs root)"

const char* const kRunSig =
    "bool HxModuleUniversal::run_hxfd_command(const string&, std::string&, pid_t&, std::string&)";

// The command of the last "...:hxfd command: " Info line, or "" when none was logged.
inline std::string logged_hxfd_command(const LogCapture& log) {
  const std::string marker = std::string("Info: ") + kRunSig + ":hxfd command: ";
  std::string command;
  for (const std::string& message : log.messages()) {
    if (message.rfind(marker, 0) == 0) command = message.substr(marker.size());
  }
  return command;
}

}  // namespace hx_archiver_test
