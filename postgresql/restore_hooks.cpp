// The restore hooks of the PostgreSQL module and the recovery settings of a
// restored data directory.
#include "postgresql/hx_module_pg_ostrel.h"

#include "log/hx_logger.h"
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

// Creates a recovery file with the given text, owned by the account and
// with mode 0644; throws when it cannot be created. Whatever lies at the path
// (a link the server's account planted, a file with further names) is
// removed first, and the new file is made without following a link, so
// nothing outside the restored tree is ever written or handed over.
void write_recovery_file(const std::string& path, const std::string& text, const hx_postgresql_common::owner_t& owner) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("can't create \"" + path + "\"");
  const ssize_t written = ::write(fd, text.data(), text.size());
  (void)::fchown(fd, boost::tuples::get<0>(owner), boost::tuples::get<1>(owner));
  (void)::fchmod(fd, 0644);
  ::close(fd);
  if (written != static_cast<ssize_t>(text.size())) throw std::runtime_error("can't write \"" + path + "\"");
}

}  // namespace

namespace hx_postgresql_common {

bool post_restore(const hx_pg_conf& conf, const pg_version& version, const std::string& data_dir) {
  try {
    const fs::path done = data_dir + "/recovery.done";
    if (fs::exists(done)) {
      boost::system::error_code ec;
      if (!fs::remove(done, ec) || ec) {
        HxLogStream(HxLogLvl::Error) << kPostRestoreSignature << ":" << " can't delete " << done << " ("
                                     << ec.message() << ")" << std::endl;
      }
    }

    const owner_t owner = get_user_uid_gid(conf.postgresql_admin);
    if (version.major >= 9 && version.major <= 11) {
      const std::string catalog = command_path(conf.archive_catalog);
      write_recovery_file(data_dir + "/recovery.conf",
                          "restore_command = " + conf_string("cp " + catalog + "/%f %p") + "\n" +
                              "archive_cleanup_command = " +
                              conf_string("/usr/bin/pg_archivecleanup " + catalog + "/ %r") + "\n",
                          owner);
    } else {
      write_recovery_file(data_dir + "/recovery.signal", "", owner);
    }

    for (const char* name : kRuntimeDirectories) {
      const fs::path directory = data_dir + "/" + name;
      // Whatever is there (a link too) stays as it is.
      if (fs::exists(fs::symlink_status(directory))) continue;
      fs::create_directories(directory);
      if (!hand_over(directory, owner)) {
        HxLogStream(HxLogLvl::Error) << kPostRestoreSignature << ":"
                                     << (boost::format(" chown directory \"%1%\" by %2%:%3% failed (%4%)") %
                                         directory.string() % boost::tuples::get<0>(owner) %
                                         boost::tuples::get<1>(owner) % std::strerror(errno))
                                            .str();
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
  options_.tmp_operation_directory += "/postgresql_" + version;
  fs::create_directories(options_.tmp_operation_directory);
  return true;
}

bool HxModule_PG_Ostrel::after_restore() {
  const fs::path root = options_.tmp_operation_directory;
  boost::system::error_code ec;
  if (!fs::is_directory(root, ec)) {
    HxLogStream(HxLogLvl::Error) << "Temporary operation (restore) directory path " << root << " is invalid ("
                                 << ec << ")!" << std::endl;
    return false;
  }
  const hx_postgresql_common::owner_t owner = hx_postgresql_common::get_user_uid_gid(pg_conf_.postgresql_admin);
  // The owner changes through the system call, not a shell: the path may hold
  // anything. The command text names what was done.
  const std::string command = (boost::format("chown %1%:%2% %3%") % boost::tuples::get<0>(owner) %
                               boost::tuples::get<1>(owner) % root)
                                  .str();
  if (hx_postgresql_common::hand_over(root, owner)) return true;
  HxLogStream(HxLogLvl::Error) << "Command " << command << " failed!" << std::endl;
  return false;
}

bool HxModule_PG_Ostrel::after_restore_last_file() {
  std::string value;
  if (find_special_param("data_directory", value)) data_directory_ = value;
  value.clear();
  if (find_special_param("pg_version", value)) pg_version_ = hx_postgresql_common::split_pg_version(value);

  const std::string& root = options_.tmp_operation_directory;
  if (!hx_postgresql_common::post_restore(pg_conf_, pg_version_, root + data_directory_)) {
    HxLogStream(HxLogLvl::Error) << "Can't execute post restore procedure" << std::endl;
  }
  if (without_deployment_restore_) {
    HxLogStream(HxLogLvl::Info) << "The archive was restored without deployment: " << root << std::endl;
    HxLogStream(HxLogLvl::Info) << "Archive WALs: " << fs::path(root + pg_conf_.archive_catalog) << std::endl;
  }
  return true;
}

bool HxModule_PG_Ostrel::deployment(const bool&) {
  std::string value;
  if (find_special_param("config_file", value)) config_file_ = value;
  std::string last_wal_file;
  find_special_param("stop_wal_location", last_wal_file);
  bool keep_root = false;
  const bool deployed = hx_postgresql_common::deployment(pg_conf_, pg_version_, data_directory_, config_file_,
                                                         options_.tmp_operation_directory, last_wal_file, &keep_root);
  // A deployment that set the server's files aside and put them back keeps
  // the restored tree, so that the same restore can be run again.
  if (!deployed && keep_root) created_restore_directory_.clear();
  return deployed;
}
