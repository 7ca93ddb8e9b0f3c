// The framework's side of a restore and of applying a replica: the restore
// directory, the archiver's unpack command and the removal of what a restore
// leaves behind. The sparse-file check of a restored file is in sparse_check.cpp.
#include "module/hx_modules_common.h"

#include "log/hx_logger.h"
#include "utils/descriptors.h"
#include "utils/hx_utils_common.h"

#include <boost/algorithm/string/find.hpp>
#include <boost/filesystem.hpp>

#include <cerrno>
#include <cstring>
#include <string>

#include <sys/stat.h>

namespace {

const char* const kDefineSignature = "virtual int HxModuleUniversal::define_restore_directory()";
const char* const kRestoreSignature = "bool HxModuleUniversal::make_restore(const bool&)";
const char* const kRemoveReferenceSignature = "void HxModuleUniversal::remove_reference_snapshot_directory()";
const char* const kCloseSignature = "virtual void HxModuleUniversal::close_restore()";

using hx_utils_common::shell_arg;

// The name of the restore directory of an autonomous restore: from the stem of
// the archive file's name, the text after the first "_full_" (any case) up to
// the next one or the end; the whole stem when there is none.
std::string autonomous_restore_name(const std::string& archive_file) {
  const std::string stem = boost::filesystem::path(archive_file).filename().stem().string();
  const auto first = boost::algorithm::ifind_first(stem, "_full_");
  if (first.empty()) return stem;
  const std::string after(first.end(), stem.end());
  const auto second = boost::algorithm::ifind_first(after, "_full_");
  if (second.empty()) return after;
  return std::string(after.begin(), second.begin());
}

}  // namespace

int HxModuleUniversal::define_restore_directory() {
  namespace fs = boost::filesystem;
  try {
    // The task's directory must be one no other account can change, and the
    // restore directory in it root's: the restored trees stay out of other
    // accounts' reach until they are in place.
    const std::string task_directory = options_.tmp_operation_directory;
    std::string why;
    const hx_utils_common::UniqueFd directory = hx_utils_common::open_private_directory(task_directory, 0755, why);
    if (!directory) {
      HxLogStream(HxLogLvl::Error) << kDefineSignature << ": the directory -d " << fs::path(task_directory)
                                   << " can't hold a restore: " << why
                                   << "; use a directory that only root can change" << std::endl;
      return 1;
    }
    const bool patch = !options_.archive_to_patch.empty();
    const std::string name =
        (patch ? options_.archive_to_patch
               : options_.autonomous ? autonomous_restore_name(options_.record_id) : options_.record_id) +
        ".rest";
    options_.tmp_operation_directory += "/" + name;
    hx_utils_common::UniqueFd restore;
    if (!patch) {
      restore = hx_utils_common::make_directory_at(directory.get(), name, 0700);
      if (restore) created_restore_directory_ = options_.tmp_operation_directory;
    }
    if (!restore && (patch || errno == EEXIST)) restore = hx_utils_common::open_directory_at(directory.get(), name);
    struct stat st {};
    if (!restore && patch && ::fstatat(directory.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      HxLogStream(HxLogLvl::Error) << kDefineSignature << ": catalog 'archive to patch' doesn't exist: "
                                   << options_.tmp_operation_directory << std::endl;
      return 1;
    }
    if (!restore) {
      why = ::fstatat(directory.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
                ? std::string("it is a ") + hx_utils_common::file_type_word(st.st_mode)
                : std::strerror(errno);
    } else if (hx_utils_common::only_mine(restore.get(), why)) {
      restore_directory_defined_ = true;
      return 0;
    }
    HxLogStream(HxLogLvl::Error) << kDefineSignature << ": the restore directory "
                                 << fs::path(options_.tmp_operation_directory) << " can't be used (" << why
                                 << "): remove it and run the restore again" << std::endl;
    return 1;
  } catch (const std::exception& e) {
    // GCOVR_EXCL_START: nothing in the try block throws a standard exception but std::bad_alloc
    HxLogStream(HxLogLvl::Error) << kDefineSignature << ": exception: " << e.what() << std::endl;
    return 1;
  }  // GCOVR_EXCL_STOP
}

bool HxModuleUniversal::make_restore(const bool& replica) {
  namespace fs = boost::filesystem;
  try {
    std::string command = "/opt/halvex/bin/hxfd -a " + shell_arg(hxd_hash_algorithm_) +
                          (hxd_hash_length_ == 256 ? " -2 " : " -5 ") + " -b " + std::to_string(hxd_block_size_);
    if (options_.autonomous) {
      command += " -r " + shell_arg(options_.record_id);
    } else {
      command += " -R " + shell_arg(options_.record_id) + " -M " + shell_arg(options_.media_server) + " -T " +
                 shell_arg(options_.task_id) + " -s " + shell_arg(get_task_secret()) + " -m " +
                 shell_arg(options_.resolved_meta_file);
    }
    command += " -d " + hx_utils_common::shell_single_quoted(options_.tmp_operation_directory);

    if (options_.crypto != "nocrypt") {
      if (options_.key_file.empty()) {
        HxLogStream(HxLogLvl::Error) << kRestoreSignature << ": you must define key file" << std::endl;
        return false;
      }
      if (!fs::exists(options_.key_file)) {
        HxLogStream(HxLogLvl::Error) << kRestoreSignature << ": there is no key file: " << options_.key_file
                                     << std::endl;
        return false;
      }
      command += " -C " + shell_arg(options_.crypto) + " -k " + shell_arg(options_.key_file);
    }
    if (replica) command += " -E ";
    if (options_.parallelism != 1) command += " -p " + std::to_string(options_.parallelism);
    if (!options_.granular_list.empty()) command += " -f " + shell_arg(options_.granular_list);
    if (options_.capabilities[HxModuleCapability::SetToNumeric]) command += " --set-to-numeric";
    command += " 2>&1";

    std::string output;
    std::string last_statistics;
    if (!run_hxfd_command(command, output, hxfd_pid_, last_statistics)) {
      HxLogStream(HxLogLvl::Error) << kRestoreSignature << ": " << command << std::endl;
      // Each collected line already ends with a line end; an empty output
      // gets one so that the next log line starts on its own.
      HxLogStream(HxLogLvl::Error) << "hxfd out: " << output << (output.empty() ? "\n" : "");
      return false;
    }
    if (!replica) {
      HxLogStream(HxLogLvl::Info) << "The archive '" << options_.record_id << "' has been unpacked successfully"
                                  << std::endl;
    }
    return true;
  } catch (const fs::filesystem_error& e) {
    HxLogStream(HxLogLvl::Error) << kRestoreSignature << ": filesystem error: " << e.what() << std::endl;
    return false;
  } catch (const std::exception& e) {
    // GCOVR_EXCL_START: nothing in the try block throws a standard exception but std::bad_alloc
    HxLogStream(HxLogLvl::Error) << kRestoreSignature << ": std exception: " << e.what() << std::endl;
    HxLogStream(HxLogLvl::Error) << kRestoreSignature << ": " << e.what() << std::endl;
    return false;
  }  // GCOVR_EXCL_STOP
}

bool HxModuleUniversal::apply_replica() { return make_restore(true); }

void HxModuleUniversal::remove_reference_snapshot_directory() {
  namespace fs = boost::filesystem;
  try {
    const std::string directory = reference_snapshot_directory_path();
    if (fs::exists(directory)) {
      HxLogStream(HxLogLvl::Info) << "Remove obsolete snapshot directory: " << directory << std::endl;
      fs::remove_all(directory);
    }
  } catch (const fs::filesystem_error& e) {
    HxLogStream(HxLogLvl::Error) << kRemoveReferenceSignature << ": boost::filesystem: " << e.what() << std::endl;
  } catch (const std::exception& e) {
    // GCOVR_EXCL_START: nothing in the try block throws a standard exception but std::bad_alloc
    HxLogStream(HxLogLvl::Error) << kRemoveReferenceSignature << ": exception: " << e.what() << std::endl;
  }  // GCOVR_EXCL_STOP
}

void HxModuleUniversal::close_restore() {
  namespace fs = boost::filesystem;
  remove_reference_snapshot_directory();
  try {
    if (options_.mode == HxModuleMode::Restore && last_ && remove_tmp_operation_directory_) {
      HxLogStream(HxLogLvl::Info) << "Remove temporary operation directory: " << options_.tmp_operation_directory
                                  << std::endl;
      // Never through a link, never into a mount below it.
      std::string where;
      const int failed = hx_utils_common::remove_tree_by_path(options_.tmp_operation_directory, where);
      if (failed != 0) {
        HxLogStream(HxLogLvl::Error) << kCloseSignature << ": can't remove " << fs::path(where) << " ("
                                     << std::strerror(failed) << ")" << std::endl;
      }
    }
  } catch (const fs::filesystem_error& e) {
    HxLogStream(HxLogLvl::Error) << kCloseSignature << ": boost::filesystem: " << e.what() << std::endl;
  } catch (const std::exception& e) {
    // GCOVR_EXCL_START: nothing in the try block throws a standard exception but std::bad_alloc
    HxLogStream(HxLogLvl::Error) << kCloseSignature << ": exception: " << e.what() << std::endl;
  }  // GCOVR_EXCL_STOP
}
