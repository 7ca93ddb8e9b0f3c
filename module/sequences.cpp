// The backup, restore and apply sequences of the task modes: fixed orders of
// the framework's services and the module's hooks. The first failing step
// ends a sequence and its exit code is the program's.
#include "module/hx_modules_common.h"

#include "log/hx_logger.h"
#include "utils/hx_utils_common.h"

#include <boost/filesystem.hpp>

#include <string>
#include <vector>

unsigned int HxModuleUniversal::backup_sequence(bool replica) {
  const unsigned int code = backup_steps(replica);
  if (code != 0) remove_created_directories();
  return code;
}

void HxModuleUniversal::remove_created_directories() {
  namespace fs = boost::filesystem;
  std::vector<std::string> directories;
  if (snapshot_directory_created_) directories.push_back(snapshot_directory_path());
  // Unpacked by this task, wherever its snapshot file came from.
  if (!reference_snapshot_directory_.empty()) directories.push_back(reference_snapshot_directory_);
  for (const std::string& directory : directories) {
    boost::system::error_code ec;
    fs::remove_all(directory, ec);
    if (ec) {
      HxLogStream(HxLogLvl::Error) << "void HxModuleUniversal::remove_created_directories()"
                                   << ": boost::filesystem: " << directory << ": " << ec.message() << std::endl;
    }
  }
}

unsigned int HxModuleUniversal::backup_steps(bool replica) {
  bool archiver_succeeded = false;

  if (options_.capabilities[HxModuleCapability::OneOperationAtATime] &&
      !lock_resource_handling(options_.resource)) {
    return 2;
  }
  if (!config_loaded()) return 2;
  if (!module_parameters_valid()) return 14;
  if (!lock_task_target()) return 2;
  if (options_.tmp_operation_directory.empty()) {
    HxLogStream(HxLogLvl::Error) << "Backup module: you must define tmp_operation_directory directory" << std::endl;
    return 4;
  }
  if (!open_operation_directory()) return 4;
  if (options_.archive_name.empty()) {
    HxLogStream(HxLogLvl::Error) << "Backup module: you must define archive name" << std::endl;
    return 5;
  }

  if (!make_snapshot_directories()) return 4;

  if (options_.local_restrictions) {
    switch (options_.mode) {
      case HxModuleMode::Backup:
        if (!check_local_restrictions()) {
          HxLogStream(HxLogLvl::Error) << "Backup module: Unable to backup this resource " << options_.resource
                                       << ". Local restriction" << std::endl;
          return 11;
        }
        break;
      case HxModuleMode::BackupList:
        if (!options_.resource_list.check_local_restrictions(read_local_restrictions())) return 11;
        break;
      case HxModuleMode::CreateReplica:
        if (!check_local_restrictions()) {
          HxLogStream(HxLogLvl::Error) << "Backup module: Unable to backup this resource " << options_.resource
                                       << " due to the local restriction" << std::endl;
          return 11;
        }
        break;
      default:
        break;
    }
  }

  if (!resource_exists()) {
    HxLogStream(HxLogLvl::Error) << "Backup module: Unable to backup this resource " << options_.resource
                                 << ". Resource doesn't exist" << std::endl;
    return 2;
  }

  if (!options_.reference_snapshot.empty() && unpack_snapshot_file(options_.reference_snapshot) != 0) {
    HxLogStream(HxLogLvl::Error) << "Backup module: Unable to unpack reference snapshot file: "
                                 << options_.reference_snapshot << std::endl;
    return 2;
  }
  if (!options_.reference_snapshot.empty() && !read_reference_snapshot()) return 2;

  const bool prepared = prepare_resource_before_backup(replica);
  // A step that failed because an abort interrupted it ends here.
  hx_utils_common::abort_point();
  if (!prepared) return 6;

  archiver_succeeded = make_backup();

  // The release runs after every archiver run, whatever its result, and
  // never a second time for an abort that comes during or after it.
  if (!release_resource_once()) return 6;

  if (!archiver_succeeded) return 6;
  if (!close_backup(replica)) return 6;

  // Only a backup the client has been told about may make anything obsolete.
  backup_completed();
  return 0;
}

unsigned int HxModuleUniversal::restore_sequence() {
  bool archiver_succeeded = false;

  // A failure after the restore directory was chosen removes the reference
  // snapshot directory, and the restore directory with everything in it when
  // this task made it; a directory it found in place (an archive to patch)
  // stays whole.
  auto failed = [this](unsigned int code) {
    last_ = true;
    remove_reference_snapshot_directory();
    remove_created_restore_directory();
    return code;
  };

  if (options_.capabilities[HxModuleCapability::OneOperationAtATime] &&
      !lock_resource_handling(options_.record_id)) {
    return 2;
  }
  if (!config_loaded()) return 2;
  if (!module_parameters_valid()) return 14;
  if (!lock_task_target()) return 2;
  if (define_restore_directory() != 0) return 7;
  if (unpack_snapshot_file(options_.meta_file) != 0) {
    HxLogStream(HxLogLvl::Error) << "Unable to unpack snapshot file: " << options_.meta_file << std::endl;
    return failed(2);
  }
  if (!before_restore()) return failed(7);

  archiver_succeeded = make_restore(false);
  const bool after = after_restore();
  if (!after || !archiver_succeeded) return failed(7);

  if (last_) {
    if (!after_restore_last_file()) return failed(7);
    // An abort ends a deployment that has not yet changed anything on the
    // server; the deployment passes its point of no return (the server being
    // stopped) itself, and finishes or puts back what it began after it.
    if (!without_deployment_restore_ && !deployment(false)) return failed(7);
  }

  if (without_deployment_restore_) {
    remove_reference_snapshot_directory();
  } else {
    close_restore();
  }
  return 0;
}

unsigned int HxModuleUniversal::apply_sequence() {
  bool archiver_succeeded = false;

  if (options_.capabilities[HxModuleCapability::OneOperationAtATime] &&
      !lock_resource_handling(options_.record_id)) {
    return 2;
  }
  if (!config_loaded()) return 2;
  if (!module_parameters_valid()) return 14;
  if (!lock_task_target()) return 2;
  if (unpack_snapshot_file(options_.meta_file) != 0) {
    HxLogStream(HxLogLvl::Error) << "Unable to unpack snapshot file: " << options_.meta_file << std::endl;
    remove_reference_snapshot_directory();
    return 2;
  }
  if (!before_restore()) {
    remove_reference_snapshot_directory();
    return 7;
  }

  archiver_succeeded = apply_replica();
  const bool after = after_restore();
  if (!after || !archiver_succeeded) {
    remove_reference_snapshot_directory();
    return 7;
  }

  if (!after_restore_last_file()) {
    remove_reference_snapshot_directory();
    return 7;
  }

  const bool deployed = deployment(true);
  remove_reference_snapshot_directory();
  return deployed ? 0 : 7;
}
