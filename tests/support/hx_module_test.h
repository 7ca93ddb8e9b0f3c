// HxModuleTest: a minimal concrete module used only by the tests of the
// framework. Its query hooks print fixed lines; the program built from it
// (tests/support/hx_module_test) starts like the real module: same log set-up,
// same capabilities, its own restriction list.
//
// Environment variables read by the program (for tests):
//   HX_TEST_CAPABILITIES  comma-separated NAME=VALUE pairs that override the
//                         default capabilities; NAME is an HxModuleCapability
//                         enumerator (IncrementalBackup, Deduplication,
//                         Archiving, AutonomousMode, OneOperationAtATime,
//                         SetToNumeric), VALUE is 1/true or 0/false, e.g.
//                         "IncrementalBackup=0,Archiving=1". Defaults:
//                         IncrementalBackup, Deduplication and
//                         OneOperationAtATime true; the others false. A
//                         malformed value ends the program with exit code 64.
//   HX_TEST_CONFIG_FAIL   when set and not empty, load_module_config() fails.
//   HX_TEST_QUERY_RESULT  integer returned by check_client() and the three
//                         listing hooks (default 0).
//   HX_TEST_QUERY_COMMAND a shell command that check_client() runs (through
//                         the framework's command runner) before it answers.
//   HX_TEST_REMOTE_HOST   when set and not empty, the remote host of
//                         HxModuleOptions: backups run the archiver on that
//                         host over ssh, as for a module that fills the field.
//   HX_TEST_REMOTE_USER   when set and not empty, the remote user (default root).
#pragma once

#include "module/hx_modules_common.h"

#include <string>

class HxModuleTest : public HxModuleUniversal {
 public:
  explicit HxModuleTest(const HxModuleOptions& options);
  ~HxModuleTest() override;

  // Backup and restore hooks (tests/support/hx_module_test_hooks.cpp).
  bool prepare_resource_before_backup(const bool& replica) override;
  bool release_resource_after_backup() override;
  bool resource_exists() override;
  bool before_restore() override;
  bool after_restore() override;
  bool after_restore_last_file() override;
  bool deployment(const bool& replica) override;

  // Query hooks (tests/support/hx_module_test.cpp).
  bool load_module_config() override;
  void usage_custom() override;
  int check_client(const bool& verbose) override;
  std::string get_full_module_version() override;
  int list_header_labels() override;
  int list_all_resources() override;
  int list_all_resources_with_header_labels() override;
  void autonomous_options() override;
  void make_archiving() override;
};
