// Entry point and query hooks of the test module (see hx_module_test.h).
#include "tests/support/hx_module_test.h"

#include "log/hx_logger.h"
#include "utils/hx_utils_common.h"

#include <boost/algorithm/string.hpp>
#include <boost/filesystem.hpp>

#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

int query_result() {
  const std::string value = env("HX_TEST_QUERY_RESULT");
  return value.empty() ? 0 : std::stoi(value);
}

// Applies HX_TEST_CAPABILITIES; false (with a message on standard error) when malformed.
bool override_capabilities(HxModuleOptions& options) {
  const std::string overrides = env("HX_TEST_CAPABILITIES");
  if (overrides.empty()) return true;
  const std::map<std::string, int> names = {
      {"IncrementalBackup", HxModuleCapability::IncrementalBackup},
      {"Deduplication", HxModuleCapability::Deduplication},
      {"Archiving", HxModuleCapability::Archiving},
      {"AutonomousMode", HxModuleCapability::AutonomousMode},
      {"OneOperationAtATime", HxModuleCapability::OneOperationAtATime},
      {"SetToNumeric", HxModuleCapability::SetToNumeric},
  };
  std::vector<std::string> items;
  boost::algorithm::split(items, overrides, boost::algorithm::is_any_of(","));
  for (const std::string& item : items) {
    if (item.empty()) continue;
    const auto eq = item.find('=');
    const auto name = names.find(item.substr(0, eq));
    const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
    if (name == names.end() || (value != "1" && value != "0" && value != "true" && value != "false")) {
      std::cerr << "HX_TEST_CAPABILITIES: malformed item: " << item << std::endl;
      return false;
    }
    options.capabilities[name->second] = value == "1" || value == "true";
  }
  return true;
}

}  // namespace

HxModuleTest::HxModuleTest(const HxModuleOptions& options) : HxModuleUniversal(options) {}

HxModuleTest::~HxModuleTest() = default;

bool HxModuleTest::load_module_config() { return env("HX_TEST_CONFIG_FAIL").empty(); }

void HxModuleTest::usage_custom() { std::cout << "       (test module: no options of its own)" << std::endl; }

int HxModuleTest::check_client(const bool&) {
  const std::string command = env("HX_TEST_QUERY_COMMAND");
  if (!command.empty()) {
    std::string output;
    hx_utils_common::execute_command(command, output);
  }
  std::cout << "Test module: client check" << std::endl;
  return query_result();
}

std::string HxModuleTest::get_full_module_version() { return "1.2.345"; }

int HxModuleTest::list_header_labels() {
  std::cout << "Test module: header labels" << std::endl;
  return query_result();
}

int HxModuleTest::list_all_resources() {
  std::cout << "Test module: all resources" << std::endl;
  return query_result();
}

int HxModuleTest::list_all_resources_with_header_labels() {
  std::cout << "Test module: all resources with header labels" << std::endl;
  return query_result();
}

void HxModuleTest::autonomous_options() {
  std::cout << "test_option : boolean Test special backup option" << std::endl;
}

void HxModuleTest::make_archiving() {
  HxLogStream(HxLogLvl::Info) << "Test module: archiving resource " << options_.resource << std::endl;
}

int main(int argc, char** argv) {
  hx_utils_common::prepare_standard_streams();
  static char lvm_env[] = "LVM_SUPPRESS_FD_WARNINGS=1";
  putenv(lvm_env);

  const std::string program = argc > 0 && argv[0] != nullptr ? argv[0] : "hx_module_test";
  const std::string log_path = "/opt/halvex/log/" + boost::filesystem::path(program).filename().string() + ".log";
  HxLogStream::set_default_loggers(HxDestination::File(log_path), HxDestination::Stdout());
  HxLogStream::set_log_level_logger(HxLogLvl::Error, HxDestination::File(log_path), HxDestination::Stdout());

  HxModuleOptions options;
  options.capabilities[HxModuleCapability::OneOperationAtATime] = true;
  options.capabilities[HxModuleCapability::AutonomousMode] = false;
  options.capabilities[HxModuleCapability::IncrementalBackup] = true;
  options.capabilities[HxModuleCapability::Deduplication] = true;
  options.capabilities[HxModuleCapability::Archiving] = false;
  if (!override_capabilities(options)) return 64;
  if (!env("HX_TEST_REMOTE_HOST").empty()) options.remote_host = env("HX_TEST_REMOTE_HOST");
  if (!env("HX_TEST_REMOTE_USER").empty()) options.remote_user = env("HX_TEST_REMOTE_USER");
  options.restriction_list_file = "/opt/halvex/etc/halvex_restriction.list.test";

  unsigned int code = 0;
  {
    HxModuleTest module(options);
    if (!module.init(argc, argv)) {
      HxLogStream(HxLogLvl::Error) << "Wrong combination of options" << std::endl;
      return 14;
    }
    code = static_cast<unsigned int>(answer_exit_code(static_cast<int>(module.run())));
  }  // the module is gone (signal defaults back, lock released) before the program ends
  return static_cast<int>(code);
}
