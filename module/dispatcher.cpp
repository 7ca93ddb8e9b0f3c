// The operation dispatcher: one run of the module performs the operation that
// the command line selected and turns its outcome into the process exit code.
#include "module/hx_modules_common.h"

#include "log/hx_logger.h"
#include "utils/hx_utils_common.h"

#include <boost/algorithm/string.hpp>
#include <boost/filesystem.hpp>

#include <exception>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

const char* const kRunSignature = "unsigned int HxModuleUniversal::run()";

// One line of the properties block: the label padded to 67 characters, ": ", the value.
void property_line(const std::string& label, const std::string& value) {
  std::cout << std::left << std::setw(67) << label << std::right << ": " << value << std::endl;
}

const char* yes_no(bool value) { return value ? "true" : "false"; }

}  // namespace

int answer_exit_code(int code) {
  std::string reason;
  if (hx_utils_common::standard_output_written(reason)) return code;
  HxLogStream(HxLogLvl::Error) << "The answer could not be written to standard output: " << reason << std::endl;
  return code == 0 ? 13 : code;
}

int split_full_version(const std::string& full, std::string& version, std::string& rest) {
  try {
    std::vector<std::string> parts;
    boost::algorithm::split(parts, full, boost::algorithm::is_any_of("."));
    version = parts.at(0) + "." + (parts.size() > 1 ? parts[1] : std::string());
    if (parts.size() > 2) rest = parts[2];
    return 0;
  } catch (const std::exception&) {
    // GCOVR_EXCL_START: the split always gives a first part; only std::bad_alloc gets here
    return 1;
  }  // GCOVR_EXCL_STOP
}

bool HxModuleUniversal::config_loaded() {
  const bool loaded = load_module_config();
  // A load that an abort interrupted (a configuration file that does not
  // answer) ends here.
  hx_utils_common::abort_point();
  if (loaded) return true;
  HxLogStream(HxLogLvl::Error) << "Unable to load configuration from config file." << std::endl;
  return false;
}

void HxModuleUniversal::module_properties() {
  const auto& caps = options_.capabilities;
  std::cout << "Module properties:" << std::endl << std::endl;
  property_line("Only one data source backup operation is allowed at one time",
                yes_no(caps[HxModuleCapability::OneOperationAtATime]));
  property_line("Does the module support working in the client's autonomous mode",
                yes_no(caps[HxModuleCapability::AutonomousMode]));
  property_line("Does the module support incremental or differential backup",
                yes_no(caps[HxModuleCapability::IncrementalBackup]));
  property_line("Does this module support deduplication", yes_no(caps[HxModuleCapability::Deduplication]));
  property_line("Does this module support archiving", yes_no(caps[HxModuleCapability::Archiving]));
  property_line("Location of the restriction list", options_.restriction_list_file);
}

unsigned int HxModuleUniversal::run() {
  // While run() performs the operation, an abort cleans up for its mode;
  // before and after it there is nothing of the operation to undo.
  struct Running {
    explicit Running(bool& flag) : flag_(flag) { flag_ = true; }
    ~Running() { flag_ = false; }
    bool& flag_;
  } running(task_running_);
  try {
    const int mode = options_.mode;
    switch (mode) {
      case HxModuleMode::Backup:
      case HxModuleMode::BackupList:
      case HxModuleMode::Restore:
      case HxModuleMode::CreateReplica:
      case HxModuleMode::ApplyReplica:
        // The client reads this line first to learn whom to send its signals to.
        std::cout << "MODULE PID:" + std::to_string(getpid()) + "\n" << std::flush;
        break;
      default:
        break;
    }

    const auto& caps = options_.capabilities;
    switch (mode) {
      case HxModuleMode::None:
        return 1;
      case HxModuleMode::CheckClient:
        if (!config_loaded()) return 2;
        return static_cast<unsigned int>(check_client(true));
      case HxModuleMode::ListAllResources:
        if (!config_loaded()) return 2;
        return static_cast<unsigned int>(list_all_resources());
      case HxModuleMode::ListAllResourcesWithHeaders:
        if (!config_loaded()) return 2;
        return static_cast<unsigned int>(list_all_resources_with_header_labels());
      case HxModuleMode::ListHeaders:
        if (!config_loaded()) return 2;
        return static_cast<unsigned int>(list_header_labels());
      case HxModuleMode::IsBackupTypeSupported:
        if (options_.backup_type == HxBackupType::Full) return 0;
        if (caps[HxModuleCapability::IncrementalBackup]) return 0;
        HxLogStream(HxLogLvl::Error) << ": incremental or differential backup is not supported by module "
                                     << options_.program_path << std::endl;
        return 3;
      case HxModuleMode::IsDedupSupported:
        return caps[HxModuleCapability::Deduplication] ? 0 : 15;
      case HxModuleMode::IsArchivingSupported:
        return caps[HxModuleCapability::Archiving] ? 0 : 16;
      case HxModuleMode::Backup:
      case HxModuleMode::BackupList:
        return backup_sequence(false);
      case HxModuleMode::Restore:
        return restore_sequence();
      case HxModuleMode::CreateReplica:
        return backup_sequence(true);
      case HxModuleMode::ApplyReplica:
        return apply_sequence();
      case HxModuleMode::Version: {
        std::string version;
        std::string rest;
        split_full_version(get_full_module_version(), version, rest);
        std::cout << version << std::endl;
        return 0;
      }
      case HxModuleMode::ShowBackupOptions:
        autonomous_options();
        return 0;
      case HxModuleMode::IsAutonomousSupported:
        return caps[HxModuleCapability::AutonomousMode] ? 0 : 14;
      case HxModuleMode::ShowModuleProperties:
        module_properties();
        return 0;
      case HxModuleMode::RestoreParameters:
        list_restore_parameters();
        return 0;
      default:
        return 1;
    }
  } catch (const boost::filesystem::filesystem_error& e) {
    HxLogStream(HxLogLvl::Error) << kRunSignature << ": filesystem error: " << e.what() << std::endl;
    return 13;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kRunSignature << ": Database error: " << e.what() << std::endl;
    return 13;
  }
}
