// The restore hooks of the PostgreSQL module and the recovery settings of a
// restored data directory.
#include "postgresql/hx_module_pg_ostrel.h"

#include "log/hx_logger.h"
#include "module/resource_lock.h"
#include "utils/descriptors.h"
#include "utils/hx_utils_common.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/filesystem.hpp>
#include <boost/format.hpp>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace {

const char* const kBeforeRestoreSignature = "virtual bool HxModule_PG_Ostrel::before_restore()";
const char* const kPostRestoreSignature =
    "bool hx_postgresql_common::post_restore(const hx_pg_conf&, const pg_version&, const string&)";

// Runtime subdirectories that a base backup leaves out or empties; the
// server needs them to exist before it starts.
const char* const kRuntimeDirectories[] = {"pg_replslot", "pg_dynshmem", "pg_notify",    "pg_serial",
                                           "pg_snapshots", "pg_stat_tmp", "pg_subtrans",  "pg_commit_ts",
                                           "pg_stat",      "pg_tblspc",   "pg_twophase"};

// A value as a quoted string of the server's configuration files: in single
// quotes, with each single quote doubled and each backslash doubled.
std::string conf_string(const std::string& value) {
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'' || c == '\\') quoted += c;
    quoted += c;
  }
  return quoted + "'";
}

// The archive directory as it goes into a recovery command: quoted for the
// shell that runs the command when it is not an ordinary path, and with "%"
// doubled so that the server does not take it for a placeholder.
std::string command_path(const std::string& directory) {
  return boost::algorithm::replace_all_copy(hx_utils_common::shell_arg(directory), "%", "%%");
}

// The Error line of a failed owner change of something the module made for
// the server's account.
void chown_failed(const char* kind, const std::string& path, const hx_postgresql_common::owner_t& owner) {
  HxLogStream(HxLogLvl::Error) << kPostRestoreSignature << ":"
                               << (boost::format(" chown %1% \"%2%\" by %3%:%4% failed (%5%)") % kind % path %
                                   boost::tuples::get<0>(owner) % boost::tuples::get<1>(owner) %
                                   std::strerror(errno))
                                      .str();
}

// Creates the recovery file `name` of the data directory `data` (shown as
// `path`) with the given text, owned by the account and with mode 0644;
// throws when it cannot be created. Whatever lies at the name (a link, a file
// with further names) is removed first, and the new file is made without
// following a link, so nothing outside the restored tree is ever written or
// handed over. A failed owner or mode change is reported.
void write_recovery_file(int data, const std::string& name, const std::string& path, const std::string& text,
                         const hx_postgresql_common::owner_t& owner) {
  struct stat st {};
  if (::fstatat(data, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)) {
    ::unlinkat(data, name.c_str(), 0);
  }
  const hx_utils_common::UniqueFd fd(
      ::openat(data, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) throw std::runtime_error("can't create \"" + path + "\"");
  const ssize_t written = ::write(fd.get(), text.data(), text.size());
  if (written != static_cast<ssize_t>(text.size())) throw std::runtime_error("can't write \"" + path + "\"");
  if (::fchown(fd.get(), boost::tuples::get<0>(owner), boost::tuples::get<1>(owner)) != 0) {
    chown_failed("file", path, owner);
  }
  if (::fchmod(fd.get(), 0644) != 0) {
    HxLogStream(HxLogLvl::Error) << kPostRestoreSignature << ": chmod file \"" << path << "\" to 0644 failed ("
                                 << std::strerror(errno) << ")";
  }
}

}  // namespace

namespace hx_postgresql_common {

bool post_restore(const hx_pg_conf& conf, const pg_version& version, const std::string& data_dir) {
  try {
    // The restored data directory, reached without following a link.
    const hx_utils_common::UniqueFd data = hx_utils_common::open_directory_nofollow(data_dir);
    struct stat st {};
    const std::string done = data_dir + "/recovery.done";
    if (data && ::fstatat(data.get(), "recovery.done", &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        ::unlinkat(data.get(), "recovery.done", S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0) {
      HxLogStream(HxLogLvl::Error) << kPostRestoreSignature << ":" << " can't delete " << fs::path(done) << " ("
                                   << std::strerror(errno) << ")" << std::endl;
    }

    const owner_t owner = get_user_uid_gid(conf.postgresql_admin);
    const bool conf_file = version.major >= 9 && version.major <= 11;
    const std::string name = conf_file ? "recovery.conf" : "recovery.signal";
    if (!data) throw std::runtime_error("can't create \"" + data_dir + "/" + name + "\"");
    std::string text;
    if (conf_file) {
      const std::string catalog = command_path(conf.archive_catalog);
      text = "restore_command = " + conf_string("cp " + catalog + "/%f %p") + "\n" + "archive_cleanup_command = " +
             conf_string("/usr/bin/pg_archivecleanup " + catalog + "/ %r") + "\n";
    }
    write_recovery_file(data.get(), name, data_dir + "/" + name, text, owner);

    for (const char* entry : kRuntimeDirectories) {
      const std::string directory = data_dir + "/" + entry;
      // Whatever is there (a link too) stays as it is.
      if (::fstatat(data.get(), entry, &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
      if (::mkdirat(data.get(), entry, 0777) != 0) {
        throw std::runtime_error("can't create \"" + directory + "\" (" + std::strerror(errno) + ")");
      }
      if (::fchownat(data.get(), entry, boost::tuples::get<0>(owner), boost::tuples::get<1>(owner),
                     AT_SYMLINK_NOFOLLOW) != 0) {
        chown_failed("directory", directory, owner);
      }
    }
    return true;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kPostRestoreSignature << ": " << e.what() << std::endl;
    return false;
  }
}

}  // namespace hx_postgresql_common

bool HxModule_PG_Ostrel::before_restore() {
  std::string version;
  find_special_param("pg_version", version);
  const std::string parent = options_.tmp_operation_directory;
  const std::string name = "postgresql_" + version;
  options_.tmp_operation_directory += "/" + name;
  // The restore root is root's alone until its trees are in their
  // destinations: made here, or found when it was kept for another run.
  std::string why;
  const hx_utils_common::UniqueFd directory = hx_utils_common::open_trusted_directory(parent, why);
  if (!directory) {
    HxLogStream(HxLogLvl::Error) << kBeforeRestoreSignature << ": the directory " << fs::path(parent)
                                 << " can't hold the restore: " << why << std::endl;
    return false;
  }
  hx_utils_common::UniqueFd root = hx_utils_common::make_directory_at(directory.get(), name, 0700);
  if (!root && errno == EEXIST) root = hx_utils_common::open_directory_at(directory.get(), name);
  struct stat st {};
  if (!root) {
    why = ::fstatat(directory.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
              ? std::string("it is a ") + hx_utils_common::file_type_word(st.st_mode)
              : std::strerror(errno);
  } else if (hx_utils_common::only_mine(root.get(), why) && ::fstat(root.get(), &st) == 0 &&
             (st.st_mode & 077) == 0) {
    return true;
  } else if (why.empty()) {
    why = "others may read it";
  }
  HxLogStream(HxLogLvl::Error) << kBeforeRestoreSignature << ": the restore root "
                               << fs::path(options_.tmp_operation_directory) << " can't be used (" << why
                               << "): remove it and run the restore again" << std::endl;
  return false;
}

bool HxModule_PG_Ostrel::after_restore() {
  const fs::path root = options_.tmp_operation_directory;
  boost::system::error_code ec;
  if (!fs::is_directory(root, ec)) {
    HxLogStream(HxLogLvl::Error) << "Temporary operation (restore) directory path " << root << " is invalid ("
                                 << ec << ")!" << std::endl;
    return false;
  }
  return true;
}

bool HxModule_PG_Ostrel::after_restore_last_file() {
  std::string value;
  if (find_special_param("data_directory", value)) data_directory_ = value;
  value.clear();
  if (find_special_param("pg_version", value)) pg_version_ = hx_postgresql_common::split_pg_version(value);

  const std::string& root = options_.tmp_operation_directory;
  recovery_settings_written_ = hx_postgresql_common::post_restore(pg_conf_, pg_version_, root + data_directory_);
  if (!recovery_settings_written_) {
    HxLogStream(HxLogLvl::Error) << "Can't execute post restore procedure" << std::endl;
  }
  if (!without_deployment_restore_ || options_.mode != HxModuleMode::Restore) return true;
  HxLogStream(HxLogLvl::Info) << "The archive was restored without deployment: " << root << std::endl;
  HxLogStream(HxLogLvl::Info) << "Archive WALs: " << fs::path(root + pg_conf_.archive_catalog) << std::endl;
  // A restore that is not deployed is the administrator's to use: its root
  // goes to the server's account, as the last thing the restore does. From
  // then on the tree is the account's, which an abort must not take away:
  // the task reports that it was restored.
  const hx_postgresql_common::owner_t owner = hx_postgresql_common::get_user_uid_gid(pg_conf_.postgresql_admin);
  const hx_utils_common::UniqueFd directory = hx_utils_common::open_directory_nofollow(root);
  pass_point_of_no_return("the restored tree is being handed to the server's account");
  if (directory && ::fchown(directory.get(), boost::tuples::get<0>(owner), boost::tuples::get<1>(owner)) == 0) {
    // From here the tree is the administrator's: an abort no longer removes it.
    created_restore_directory_.clear();
    return true;
  }
  HxLogStream(HxLogLvl::Error) << "Command "
                               << (boost::format("chown %1%:%2% %3%") % boost::tuples::get<0>(owner) %
                                   boost::tuples::get<1>(owner) % fs::path(root))
                                      .str()
                               << " failed!" << std::endl;
  return false;
}

bool HxModule_PG_Ostrel::deployment(const bool&) {
  if (!recovery_settings_written_) {
    HxLogStream(HxLogLvl::Error) << "The restored data directory has no recovery settings: the restored cluster is "
                                    "not deployed and the server is left as it is"
                                 << std::endl;
    return false;
  }
  std::string value;
  if (find_special_param("config_file", value)) config_file_ = value;
  std::string last_wal_file;
  find_special_param("stop_wal_location", last_wal_file);
  // One record set per cluster, named by the data directory's real path.
  boost::system::error_code ec;
  fs::path cluster = fs::weakly_canonical(data_directory_, ec);
  if (ec) cluster = fs::path(data_directory_).lexically_normal();
  const std::string records = module_state_directory(options_.program_path) + "/deployments/" +
                              hx_resource_lock::resource_digest_text(cluster.string());
  bool keep_root = false;
  const bool deployed =
      hx_postgresql_common::deployment(pg_conf_, pg_version_, data_directory_, config_file_,
                                       options_.tmp_operation_directory, records, last_wal_file, &keep_root);
  // A deployment that set the server's files aside and put them back keeps
  // the restored tree, so that the same restore can be run again.
  if (!deployed && keep_root) created_restore_directory_.clear();
  return deployed;
}
