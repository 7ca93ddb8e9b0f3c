// Names of a task's files below the temporary operation directory, and the
// snapshot file: the gzip-compressed tar of the snapshot directory that holds
// the archiver's meta file of a backup.
#include "module/hx_modules_common.h"

#include "log/hx_logger.h"
#include "utils/hx_utils_common.h"

#include <boost/filesystem.hpp>

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

const char* const kUnpackSignature = "int HxModuleUniversal::unpack_snapshot_file(const string&)";
const char* const kPackSignature = "int HxModuleUniversal::pack_snapshot_file() const";

}  // namespace

// T and N are joined as they stand: a T that ends in "/" gives a double slash.
std::string HxModuleUniversal::archive_filename() const {
  std::string name = options_.tmp_operation_directory + "/" + options_.archive_name;
  if (options_.autonomous) name += ".hxfd";
  return name;
}

std::string HxModuleUniversal::archive_sign_filename() const {
  return options_.tmp_operation_directory + "/" + archive_sign_name();
}

std::string HxModuleUniversal::archive_sign_name() const {
  return options_.archive_name + (options_.autonomous ? ".hxfd" : "") + ".signature";
}

std::string HxModuleUniversal::snapshot_filename() const {
  return options_.tmp_operation_directory + "/" + options_.archive_name + ".snap";
}

std::string HxModuleUniversal::snapshot_directory_path() const {
  return options_.tmp_operation_directory + "/" + options_.archive_name + ".snap_dir";
}

std::string HxModuleUniversal::leveldb_directory_path() const {
  return options_.tmp_operation_directory + "/" + options_.archive_name + ".snap_dir/leveldb";
}

std::string HxModuleUniversal::meta_filename() const {
  return snapshot_directory_path() + "/" + options_.archive_name + ".meta";
}

std::string HxModuleUniversal::reference_snapshot_directory_path() const {
  HxLogStream(HxLogLvl::Debug) << "std::string HxModuleUniversal::reference_snapshot_directory_path() const"
                               << " : " << reference_snapshot_directory_ << std::endl;
  return reference_snapshot_directory_;
}

bool HxModuleUniversal::open_operation_directory() {
  if (operation_directory_) return true;
  std::string error;
  operation_directory_ = hx_utils_common::open_trusted_directory(options_.tmp_operation_directory, error);
  if (operation_directory_) return true;
  HxLogStream(HxLogLvl::Error) << "Backup module: the temporary operation directory (-d) "
                               << options_.tmp_operation_directory << " can't be used: " << error
                               << ". It must be a directory in which no other account can rename, replace or "
                                  "remove what the task makes there: every element from / a directory (not a "
                                  "link) owned by root, and writable by group or others only when sticky (as /tmp)"
                               << std::endl;
  return false;
}

bool HxModuleUniversal::make_snapshot_directories() {
  using hx_utils_common::claim_directory_at;
  const std::string& name = options_.archive_name;
  auto refused = [](const std::string& path, const std::string& error) {
    HxLogStream(HxLogLvl::Error) << "Backup module: can't use " << path << ": " << error << std::endl;
    return false;
  };
  std::string error;
  bool made = false;
  const hx_utils_common::UniqueFd snapshot =
      claim_directory_at(operation_directory_.get(), name + ".snap_dir", 0700, error, &made);
  if (!snapshot) return refused(snapshot_directory_path(), error);
  snapshot_directory_created_ = made;
  if (!claim_directory_at(snapshot.get(), "leveldb", 0700, error)) return refused(leveldb_directory_path(), error);
  // The snapshot file is made when the backup closes; anything found at its
  // name now refuses the backup before anything else is done.
  if (!hx_utils_common::entry_free_or_own(operation_directory_.get(), name + ".snap", false, error)) {
    return refused(snapshot_filename(), error);
  }
  // So is the signature file, which the task makes just before the archiver
  // runs and the archiver writes.
  if (options_.dgst && !hx_utils_common::entry_free_or_own(operation_directory_.get(), archive_sign_name(), false,
                                                           error)) {
    return refused(archive_sign_filename(), error);
  }
  return true;
}

int HxModuleUniversal::pack_snapshot_file() const {
  const std::string command = "cd " + hx_utils_common::shell_arg(snapshot_directory_path()) + " && " +
                              "/bin/tar" + " czf " + hx_utils_common::shell_arg(snapshot_filename()) + " .";
  std::string output;
  const int status = hx_utils_common::execute_command(command, output);
  if (status == 0) return 0;
  HxLogStream(HxLogLvl::Debug) << kPackSignature << ": command: '" << command << "' returned code: " << status
                               << " result: " << output << std::endl;
  HxLogStream(HxLogLvl::Error) << "Unable to pack snapshot file: " << output << std::endl;
  return 12;
}

int HxModuleUniversal::unpack_snapshot_file(const std::string& file) {
  namespace fs = boost::filesystem;
  HxLogStream(HxLogLvl::Debug) << kUnpackSignature << " : " << "unpacking: " << file << std::endl;
  try {
    const fs::path file_path(file);
    const std::string extension = file_path.extension().string();
    // The file may lie where other accounts write: a FIFO, device or link
    // found at its name is not handed on to be read (a FIFO would hold the
    // reader until a writer came). A file that is missing is reported by its
    // reader.
    struct stat given {};
    std::string why;
    if (!hx_utils_common::open_regular_file(AT_FDCWD, file, given, why) && errno == EINVAL) {
      HxLogStream(HxLogLvl::Error) << kUnpackSignature << ": can't use " << HxDestination::printable(file) << ": it is "
                                   << why << std::endl;
      return 12;
    }
    if (extension == ".meta") {
      options_.resolved_meta_file = file;
      return 0;
    }
    if (extension != ".snap") {
      HxLogStream(HxLogLvl::Error) << "Invalid snapshot file extension: " << "\"" << file << "\"" << std::endl;
      return 12;
    }

    // The reference directory always lies in the task's own directory,
    // wherever the snapshot file lies.
    const std::string name = file_path.stem().string() + ".snap_dir";
    const std::string directory = options_.tmp_operation_directory + "/" + name;
    reference_snapshot_directory_ = directory;
    // Made afresh and never through a link: a leftover of this program's
    // own goes first; anything another account could have placed at the
    // name (in a -d that others may write) is neither used nor removed.
    // The unpacked files are read and the archiver reads them by path: the
    // directory they lie in must be one no other account can change (every
    // element root's; made when missing).
    std::string error;
    const hx_utils_common::UniqueFd parent =
        hx_utils_common::open_private_directory(options_.tmp_operation_directory, 0700, error);
    if (parent && hx_utils_common::entry_free_or_own(parent.get(), name, true, error)) {
      struct stat found {};
      if (::fstatat(parent.get(), name.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0) {
        HxLogStream(HxLogLvl::Warning) << kUnpackSignature << ": Removing already existing directory " << directory
                                       << std::endl;
        std::string where;
        const int failed = hx_utils_common::remove_tree_at(parent.get(), name, where);
        if (failed != 0) error = where + ": " + std::strerror(failed);
      }
      if (error.empty() && !hx_utils_common::make_directory_at(parent.get(), name, 0700)) {
        error = std::strerror(errno);
      }
    }
    if (!error.empty()) {
      HxLogStream(HxLogLvl::Error) << kUnpackSignature << ": can't use " << directory << ": " << error << std::endl;
      return 12;
    }

    const std::string command =
        "/bin/tar xzf " + hx_utils_common::shell_arg(file) + " -C " + hx_utils_common::shell_arg(directory);
    std::string output;
    const int status = hx_utils_common::execute_command(command, output);
    if (status != 0) {
      HxLogStream(HxLogLvl::Error) << kUnpackSignature << ": command: '" << command << "' returned code: " << status
                                   << " result: " << output << std::endl;
      return 12;
    }

    if (!options_.autonomous) {
      HxLogStream(HxLogLvl::Info) << "Removing obsolete snapshot file: " << file << std::endl;
      fs::remove(file_path);
    }

    // Only a regular file is taken for the meta file: the archiver reads it.
    for (fs::directory_iterator it(directory), end; it != end; ++it) {
      if (it->path().extension().string() == ".meta" && fs::is_regular_file(it->symlink_status())) {
        options_.resolved_meta_file = it->path().string();
        return 0;
      }
    }
    HxLogStream(HxLogLvl::Debug) << kUnpackSignature << ": command: '" << command << "' returned code: " << status
                                 << " result: " << output << std::endl;
    HxLogStream(HxLogLvl::Error) << kUnpackSignature << ": " << "Snapshot doesn't contain any metafile!"
                                 << std::endl;
    return 12;
  } catch (const fs::filesystem_error& e) {
    HxLogStream(HxLogLvl::Error) << kUnpackSignature << ": filesystem error: " << e.what() << std::endl;
    return 12;
  }
}
