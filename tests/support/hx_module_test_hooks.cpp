// Backup and restore hooks of the test module.
//
// The preparation writes an archiver list file T/N.hxfd.list naming the
// resource directory (-b, -A) or every resource of the -B file, stored in the
// archive under its path without the leading "/". Every hook logs an Info
// line "Test module: <hook>" and, when HX_STANDIN_LOG_DIR is set, appends a
// line to $HX_STANDIN_LOG_DIR/hooks.log so that tests can see which hooks ran
// and in which order.
//
// Environment variables read by the hooks (for tests):
//   HX_TEST_FAIL       comma list of hooks that fail: prepare, release, exists,
//                      before_restore, after_restore, after_restore_last_file,
//                      deployment (or "all")
//   HX_TEST_LIST_FILE  "none": the preparation writes no list file, so the
//                      archiver gets the resource itself with -c
//   HX_TEST_PREPARE_BUSY  seconds the preparation works at its end, busy on the
//                      processor: no wait at which an abort could end it
//
// hooks.log lines: "prepare replica=0|1", "release interrupted=0|1", "exists",
// "before_restore", "after_restore", "after_restore_last_file",
// "deployment replica=0|1"; a hook failing on request adds " failed".
#include "tests/support/hx_module_test.h"

#include "log/hx_logger.h"

#include <boost/algorithm/string.hpp>
#include <boost/filesystem.hpp>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

bool fails(const std::string& hook) {
  const std::string wanted = env("HX_TEST_FAIL");
  if (wanted.empty()) return false;
  if (wanted == "all") return true;
  std::vector<std::string> names;
  boost::algorithm::split(names, wanted, boost::algorithm::is_any_of(","));
  for (const std::string& name : names) {
    if (name == hook) return true;
  }
  return false;
}

// Records the call in hooks.log and the log; true when the hook is to fail.
bool called(const std::string& hook, const std::string& detail = std::string()) {
  const bool failing = fails(hook);
  std::string line = hook;
  if (!detail.empty()) line += " " + detail;
  if (failing) line += " failed";
  const std::string log_dir = env("HX_STANDIN_LOG_DIR");
  if (!log_dir.empty()) {
    std::ofstream out(log_dir + "/hooks.log", std::ios_base::app);
    out << line << "\n";
  }
  HxLogStream(failing ? HxLogLvl::Error : HxLogLvl::Info) << "Test module: " << line << std::endl;
  return failing;
}

// The name under which a resource path is stored: the path without its leading "/".
std::string archive_name_of(const std::string& path) {
  std::string name = path;
  while (!name.empty() && name.front() == '/') name.erase(0, 1);
  return name.empty() ? std::string(".") : name;
}

}  // namespace

bool HxModuleTest::prepare_resource_before_backup(const bool& replica) {
  if (called("prepare", replica ? "replica=1" : "replica=0")) return false;
  if (env("HX_TEST_LIST_FILE") == "none") return true;

  std::map<std::string, std::string> records;
  if (options_.mode == HxModuleMode::BackupList) {
    for (const std::string& resource : options_.resource_list.resources()) {
      records[resource] = archive_name_of(resource);
    }
  } else {
    records[options_.resource] = archive_name_of(options_.resource);
  }
  const std::string list_file = options_.tmp_operation_directory + "/" + options_.archive_name + ".hxfd.list";
  if (!add_to_hxfd_list_file(list_file, records, false)) return false;
  options_.resource_list_file = list_file;
  const std::string busy = env("HX_TEST_PREPARE_BUSY");
  if (!busy.empty()) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(std::stod(busy));
    while (std::chrono::steady_clock::now() < end) {
    }
  }
  return true;
}

bool HxModuleTest::release_resource_after_backup() {
  return !called("release", is_module_interrupted() ? "interrupted=1" : "interrupted=0");
}

bool HxModuleTest::resource_exists() {
  if (called("exists")) return false;
  boost::system::error_code ec;
  if (!boost::filesystem::exists(options_.resource, ec)) return false;
  if (options_.mode == HxModuleMode::BackupList) {
    for (const std::string& resource : options_.resource_list.resources()) {
      if (!boost::filesystem::exists(resource, ec)) return false;
    }
  }
  return true;
}

bool HxModuleTest::before_restore() { return !called("before_restore"); }

bool HxModuleTest::after_restore() { return !called("after_restore"); }

bool HxModuleTest::after_restore_last_file() { return !called("after_restore_last_file"); }

bool HxModuleTest::deployment(const bool& replica) {
  return !called("deployment", replica ? "replica=1" : "replica=0");
}
