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
#include <unistd.h>

namespace {

const char* const kUnpackSignature = "int HxModuleUniversal::unpack_snapshot_file(const string&)";
const char* const kPackSignature = "int HxModuleUniversal::pack_snapshot_file() const";

// What a snapshot or meta file given by the client, and a file read beside
// it, must be: they decide what a backup holds and what the archiver is
// given, so no other account may be able to change or replace them.
const char* const kReferenceRule =
    "A snapshot or meta file, and what is read beside it, must be a regular file owned by root with a single name "
    "that group or others may not write, in a directory in which no other account can rename, replace or remove "
    "it: every element from / a directory (not a link) owned by root, and writable by group or others only when "
    "sticky (as /tmp)";

// A regular file of this process's user with a single name (another name
// could lie anywhere) that group or others may not write.
bool sole_own_file(const struct stat& st) {
  return hx_utils_common::own_entry(st, false) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

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
  reference_directory_.reset();
  try {
    const fs::path file_path(file);
    const std::string extension = file_path.extension().string();
    if (extension != ".meta" && extension != ".snap") {
      HxLogStream(HxLogLvl::Error) << "Invalid snapshot file extension: " << "\"" << file << "\"" << std::endl;
      return 12;
    }
    hx_utils_common::UniqueFd directory;
    struct stat given {};
    const hx_utils_common::UniqueFd opened = open_reference_file(file, directory, given);
    if (!opened) return 12;
    if (extension == ".meta") {
      options_.resolved_meta_file = file;
      reference_directory_ = std::move(directory);
      return 0;
    }

    // The reference directory always lies in the task's own directory,
    // wherever the snapshot file lies.
    const std::string name = file_path.stem().string() + ".snap_dir";
    const std::string unpacked = options_.tmp_operation_directory + "/" + name;
    hx_utils_common::UniqueFd made = make_reference_directory(name, unpacked);
    if (!made) return 12;
    reference_snapshot_directory_ = unpacked;

    // tar reads the very file that was judged, through the descriptor held
    // open meanwhile, whatever lies at its name by then.
    const std::string command = "/bin/tar xzf " +
                                hx_utils_common::shell_arg(hx_utils_common::descriptor_path(opened.get())) + " -C " +
                                hx_utils_common::shell_arg(unpacked);
    std::string output;
    const int status = hx_utils_common::execute_command(command, output);
    if (status != 0) {
      HxLogStream(HxLogLvl::Error) << kUnpackSignature << ": command: '" << command << "' returned code: " << status
                                   << " result: " << output << std::endl;
      return 12;
    }

    if (!options_.autonomous) {
      HxLogStream(HxLogLvl::Info) << "Removing obsolete snapshot file: " << file << std::endl;
      // The file is root's alone in a directory no other account can
      // change: its name still names the file judged.
      if (::unlinkat(directory.get(), file_path.filename().c_str(), 0) != 0) {
        HxLogStream(HxLogLvl::Error) << kUnpackSignature << ": can't remove " << file << ": "
                                     << std::strerror(errno) << std::endl;
        return 12;
      }
    }

    // Only a regular file is taken for the meta file: the archiver reads it.
    for (fs::directory_iterator it(unpacked), end; it != end; ++it) {
      if (it->path().extension().string() == ".meta" && fs::is_regular_file(it->symlink_status())) {
        options_.resolved_meta_file = it->path().string();
        reference_directory_ = std::move(made);
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

hx_utils_common::UniqueFd HxModuleUniversal::open_reference_file(const std::string& file,
                                                                 hx_utils_common::UniqueFd& directory,
                                                                 struct stat& st) const {
  namespace fs = boost::filesystem;
  const auto refused = [&](const std::string& why) {
    HxLogStream(HxLogLvl::Error) << kUnpackSignature << ": can't use " << HxDestination::printable(file) << ": "
                                 << why << std::endl;
    return hx_utils_common::UniqueFd();
  };
  const fs::path absolute = fs::absolute(fs::path(file));
  std::string error;
  directory = hx_utils_common::open_trusted_directory(absolute.parent_path().string(), error);
  if (!directory) return refused(error + ". " + kReferenceRule);
  std::string why;
  hx_utils_common::UniqueFd opened =
      hx_utils_common::open_regular_file(directory.get(), absolute.filename().string(), st, why);
  // A FIFO, device or link found at its name is not handed on to be read
  // (a FIFO would hold the reader until a writer came).
  if (!opened) return refused(errno == EINVAL ? "it is " + why : why);
  if (!sole_own_file(st)) {
    return refused("it is " + hx_utils_common::describe_entry(st) + "; it is neither read nor removed. " +
                   kReferenceRule);
  }
  return opened;
}

hx_utils_common::UniqueFd HxModuleUniversal::make_reference_directory(const std::string& name,
                                                                      const std::string& path) {
  // Made afresh and never through a link: a leftover of this program's
  // own goes first; anything another account could have placed at the
  // name (in a -d that others may write) is neither used nor removed.
  // The unpacked files are read and the archiver reads them by path: the
  // directory they lie in must be one no other account can change (every
  // element root's; made when missing).
  std::string error;
  hx_utils_common::UniqueFd made;
  const hx_utils_common::UniqueFd parent =
      hx_utils_common::open_private_directory(options_.tmp_operation_directory, 0700, error);
  if (parent && hx_utils_common::entry_free_or_own(parent.get(), name, true, error)) {
    struct stat found {};
    if (::fstatat(parent.get(), name.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0) {
      HxLogStream(HxLogLvl::Warning) << kUnpackSignature << ": Removing already existing directory " << path
                                     << std::endl;
      std::string where;
      const int failed = hx_utils_common::remove_tree_at(parent.get(), name, where);
      if (failed != 0) error = where + ": " + std::strerror(failed);
    }
    if (error.empty()) {
      made = hx_utils_common::make_directory_at(parent.get(), name, 0700);
      if (!made) error = std::strerror(errno);
    }
  }
  if (!made) {
    HxLogStream(HxLogLvl::Error) << kUnpackSignature << ": can't use " << path << ": " << error << std::endl;
  }
  return made;
}

bool HxModuleUniversal::read_reference_file(const char* signature, const std::string& name, std::size_t limit,
                                            std::string& content, bool& missing) const {
  missing = !reference_directory_;
  if (missing) return false;
  const std::string path =
      (boost::filesystem::path(options_.resolved_meta_file).parent_path() / name).string();
  std::string why;
  struct stat st {};
  if (!hx_utils_common::read_regular_file_bounded(reference_directory_.get(), name, limit, content, st, why)) {
    const int reason = errno;
    missing = reason == ENOENT;
    if (missing) return false;
    HxLogStream(HxLogLvl::Error) << signature << ": can't use " << HxDestination::printable(path) << ": "
                                 << (reason == EINVAL || reason == EFBIG ? "it is " + why : why) << std::endl;
    return false;
  }
  if (sole_own_file(st)) return true;
  content.clear();
  HxLogStream(HxLogLvl::Error) << signature << ": can't use " << HxDestination::printable(path) << ": it is "
                               << hx_utils_common::describe_entry(st) << "; it is not read. " << kReferenceRule
                               << std::endl;
  return false;
}
