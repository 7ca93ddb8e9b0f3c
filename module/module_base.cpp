// Construction and destruction of the module object and the base bodies of
// its virtual operations that have nothing to do.
#include "module/hx_modules_common.h"
#include "utils/exit_now.h"

#include <boost/filesystem.hpp>

namespace {

std::string state_base = "/opt/halvex/var";

}  // namespace

std::string module_state_directory(const std::string& program_path) {
  return state_base + "/" + boost::filesystem::path(program_path).filename().string();
}

void set_module_state_base(const std::string& base) { state_base = base; }

std::string shared_state_directory() { return state_base + "/shared"; }

HxModuleOptions::HxModuleOptions()
    : mode(HxModuleMode::None),
      backup_type(HxBackupType::Full),
      compress(1),
      local_restrictions(false),
      crypto("nocrypt"),
      parallelism(1),
      archiving(false),
      dgst(false),
      autonomous(false),
      capabilities{{false, false, false, false, false, false}},
      remote_user("root"),
      memory_threshold(0) {}

HxModuleUniversal::HxModuleUniversal(const HxModuleOptions& options)
    : options_(options),
      without_reference_snapshot_(false),
      remove_tmp_operation_directory_(true),
      hxd_hash_algorithm_("sha2"),
      hxd_hash_length_(256),
      hxd_block_size_(16384),
      file_list_(false),
      numeric_owner_(false),
      last_(false),
      without_deployment_restore_(false),
      hxfd_pid_(0),
      paused_(false),
      interrupted_(false),
      hxfd_succeeded_(false) {
  hx_process::write_counters_whole_at_exit();
}

HxModuleUniversal::~HxModuleUniversal() {
  // The lock goes while the handlers are still in place: an abort that comes
  // now still ends with 17, and one that comes after the default dispositions
  // are back finds nothing of the task left behind.
  unlock_resource_handling();
  signal_handler_.reset();
}

bool HxModuleUniversal::is_module_interrupted() const { return interrupted_; }

void HxModuleUniversal::list_restore_parameters() {}

void HxModuleUniversal::load_custom_module_parameters() {}

void HxModuleUniversal::backup_completed() {}

bool HxModuleUniversal::lock_task_target() { return true; }

bool HxModuleUniversal::read_reference_snapshot() { return true; }
