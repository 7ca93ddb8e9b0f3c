// Shared pieces of the framework's tests: a concrete module with trivial hooks
// whose state is reachable.
#pragma once

#include "log/hx_logger.h"
#include "module/hx_modules_common.h"
#include "tests/support/test_support.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace hx_test {

class StubModule : public HxModuleUniversal {
 public:
  explicit StubModule(const HxModuleOptions& options = HxModuleOptions()) : HxModuleUniversal(options) {}

  using HxModuleUniversal::file_list_;
  using HxModuleUniversal::hxd_block_size_;
  using HxModuleUniversal::hxd_hash_algorithm_;
  using HxModuleUniversal::hxd_hash_length_;
  using HxModuleUniversal::last_;
  using HxModuleUniversal::numeric_owner_;
  using HxModuleUniversal::options_;
  using HxModuleUniversal::special_params_;
  using HxModuleUniversal::tmp_catalog_;
  using HxModuleUniversal::without_deployment_restore_;

  bool prepare_resource_before_backup(const bool&) override { return true; }
  bool release_resource_after_backup() override { return true; }
  bool load_module_config() override { return config_hook ? config_hook() : true; }
  void usage_custom() override {}
  int check_client(const bool&) override { return 0; }
  std::string get_full_module_version() override { return "1.2.345"; }
  int list_header_labels() override { return 0; }
  int list_all_resources() override { return 0; }
  int list_all_resources_with_header_labels() override { return 0; }
  bool resource_exists() override { return true; }
  bool before_restore() override { return true; }
  bool after_restore() override { return true; }
  bool after_restore_last_file() override { return true; }
  bool deployment(const bool&) override { return true; }
  void autonomous_options() override {}
  void make_archiving() override {}
  void load_custom_module_parameters() override {
    ++custom_parameter_calls;
    params_at_custom_call = special_params_;
  }

  // Parses a command line ("p" is put in front as the program name).
  bool parse(std::vector<std::string> args) {
    args.insert(args.begin(), "p");
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return parse_module_options(static_cast<int>(args.size()), argv.data(), options_);
  }

  // Sets the -e string and parses it.
  void parse_params(const std::string& params) {
    options_.module_params = params;
    parce_param_string();
  }

  std::function<bool()> config_hook;
  int custom_parameter_calls = 0;
  std::map<std::string, std::string> params_at_custom_call;
};

}  // namespace hx_test
