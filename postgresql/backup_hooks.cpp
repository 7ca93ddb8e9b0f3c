// The backup hooks of the PostgreSQL module: the preparation before the
// archiver runs (snapshot size, task directory, owner of the WAL archive,
// then the full or incremental preparation), the release after it (snapshots
// removed, the release of the backup type, the server settings a restore
// needs as "MODULE SETTING:" lines), the release of a full backup, and the
// removal of the archived WAL files a completed backup made obsolete.
#include "postgresql/hx_module_pg_ostrel.h"
#include "postgresql/backup_details.h"

#include "log/hx_logger.h"

#include <boost/filesystem.hpp>
#include <boost/format.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include <sys/stat.h>

namespace {

namespace fs = boost::filesystem;

const char* const kPrepareSignature = "virtual bool HxModule_PG_Ostrel::prepare_resource_before_backup(const bool&)";
const char* const kReleaseSignature = "virtual bool HxModule_PG_Ostrel::release_resource_after_backup()";
const char* const kReadReferenceSignature = "virtual bool HxModule_PG_Ostrel::read_reference_snapshot()";
const char* const kBaseReleaseSignature = "bool HxModule_PG_Ostrel::release_after_base_backup()";
const char* const kListWalSignature =
    "bool HxModule_PG_Ostrel::list_wal_files(const std::vector<std::__cxx11::basic_string<char> >&, "
    "std::map<std::__cxx11::basic_string<char>, std::__cxx11::basic_string<char> >&)";

// The WAL snapshot file of a backup: the range of WAL files it holds, in the
// line forms of the server's backup history file. It lies in the task's
// snapshot directory, so it travels in the snapshot file with the meta file.
const char* const kWalSnapshotName = "pg_wal_snapshot";

void print_setting(const std::string& key, const std::string& value) {
  // A value from the server stays on its line whatever it holds.
  std::cout << "MODULE SETTING:" + key + ":" + HxDestination::printable(value) + "\n" << std::flush;
}

}  // namespace

std::string HxModule_PG_Ostrel::wal_snapshot_filename() const {
  return snapshot_directory_path() + "/" + kWalSnapshotName;
}

bool HxModule_PG_Ostrel::write_wal_snapshot(const std::string& text, std::string& error) {
  using namespace hx_utils_common;
  if (!open_operation_directory()) {
    error = "the temporary operation directory can't be used";
    return false;
  }
  const UniqueFd directory = open_directory_at(operation_directory_.get(), options_.archive_name + ".snap_dir");
  if (!directory) {
    error = std::strerror(errno);
    return false;
  }
  const UniqueFd file = create_file_at(directory.get(), kWalSnapshotName, 0600, error);
  if (!file) return false;
  if (!write_all(file.get(), text)) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}

uid_t HxModule_PG_Ostrel::server_uid() const {
  return boost::tuples::get<0>(hx_postgresql_common::get_user_uid_gid(pg_conf_.postgresql_admin));
}

bool HxModule_PG_Ostrel::list_wal_files(const std::vector<std::string>& paths, std::uint64_t segment_size,
                                        std::map<std::string, std::string>& list) {
  for (const std::string& path : paths) {
    std::string source;
    std::string error;
    if (!wal_archive_.fix(fs::path(path).filename().string(), segment_size, source, error)) {
      HxLogStream(HxLogLvl::Error) << kListWalSignature << ": can't hand the WAL file "
                                   << HxDestination::printable(path) << " to the archiver: " << error << std::endl;
      return false;
    }
    list.emplace(source, hx_pg_backup::archive_name_of(path));
  }
  return true;
}

std::string HxModule_PG_Ostrel::task_directory_path() const {
  return options_.tmp_operation_directory + "/" + options_.archive_name;
}

bool HxModule_PG_Ostrel::claim_task_directory(const std::string& signature) {
  using namespace hx_utils_common;
  if (task_directory_) return true;
  if (!open_operation_directory()) return false;
  std::string error;
  // The list file is made when the preparation ends; anything found at its
  // name refuses the backup now, before backup mode begins.
  if (!entry_free_or_own(operation_directory_.get(), options_.archive_name + ".hxfd.list", false, error)) {
    HxLogStream(HxLogLvl::Error) << signature << ": can't use " << task_directory_path() << ".hxfd.list: " << error
                                 << std::endl;
    return false;
  }
  task_directory_ = claim_directory_at(operation_directory_.get(), options_.archive_name, 0700, error);
  if (!task_directory_) {
    HxLogStream(HxLogLvl::Error) << signature << ": can't use " << task_directory_path() << ": " << error
                                 << std::endl;
    return false;
  }
  return true;
}

void HxModule_PG_Ostrel::remove_task_directory(const std::string& signature) {
  task_directory_.reset();
  hx_pg_backup::remove_task_directory(task_directory_path(), signature);
}

std::string HxModule_PG_Ostrel::reference_wal_snapshot_filename() const {
  // A reference snapshot file was unpacked into a directory that also holds
  // its meta file; a reference meta file stands in the directory it was
  // unpacked into by the client. Either way the WAL snapshot file lies beside
  // the meta file.
  if (options_.resolved_meta_file.empty()) return "";
  return (fs::path(options_.resolved_meta_file).parent_path() / kWalSnapshotName).string();
}

bool HxModule_PG_Ostrel::read_reference_snapshot() {
  reference_wal_snapshot_.reset();
  if (options_.backup_type != HxBackupType::Incremental && options_.backup_type != HxBackupType::Differential) {
    return true;
  }
  std::string text;
  bool missing = false;
  if (read_reference_file(kReadReferenceSignature, kWalSnapshotName, hx_postgresql_common::kHistoryFileBound, text,
                          missing)) {
    reference_wal_snapshot_ = std::move(text);
    return true;
  }
  return missing;
}

bool HxModule_PG_Ostrel::prepare_resource_before_backup(const bool&) {
  try {
    std::string value;
    if (find_special_param("lvm_snapshot_size", value)) {
      const auto percent = static_cast<unsigned int>(std::stoi(value, nullptr, 10));
      lvm_snapshot_size_ = std::clamp(percent, 10u, 100u);
    }

    if (!claim_task_directory(kPrepareSignature)) return false;

    // The server must be able to write its archive: the directory belongs to
    // its account. It is opened once: a link put at its path later changes
    // nothing the backup reads, links or removes.
    const uid_t uid = server_uid();
    uid_t owner = uid;
    if (!wal_archive_.open(pg_conf_.archive_catalog, uid, owner)) {
      if (owner == uid) {
        HxLogStream(HxLogLvl::Error) << kPrepareSignature << ": can't get stat for the directory '"
                                     << pg_conf_.archive_catalog << "'" << std::endl;
      } else {
        HxLogStream(HxLogLvl::Error) << kPrepareSignature << ":"
                                     << boost::format(
                                            " wrong uid (%1%) of the directory \"%2%\". Postgres admin uid (%3%) "
                                            "is expected") %
                                            owner % pg_conf_.archive_catalog % uid
                                     << std::endl;
      }
      return false;
    }

    bool prepared = false;
    switch (options_.backup_type) {
      case HxBackupType::Full:
        prepared = prepare_to_base_backup();
        break;
      case HxBackupType::Incremental:
      case HxBackupType::Differential:
        prepared = prepare_to_archive_WAL_backup();
        break;
      default:
        HxLogStream(HxLogLvl::Error) << "Wrong backup type: " << options_.backup_type << std::endl;
        break;
    }
    // No archiver runs: the links of the WAL files go at once.
    if (!prepared) wal_archive_.remove_links();
    return prepared;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kPrepareSignature << ": " << e.what() << std::endl;
  }
  return false;
}

bool HxModule_PG_Ostrel::release_resource_after_backup() {
  umount_and_remove_snapshots();
  // The archiver has ended: the WAL files it read through the links stay in
  // the archive under their own names, and must be as they were checked.
  std::string changed;
  const bool unchanged = wal_archive_.unchanged(changed);
  wal_archive_.remove_links();
  if (is_module_interrupted()) {
    // An aborted task leaves nothing of its own: the task directory goes
    // with the mount directories in it, once nothing is mounted there.
    release_snapshot_locks();
    remove_task_directory(kReleaseSignature);
    return true;
  }

  // LVM invalidated a snapshot that filled up while the archiver read it:
  // the archive does not hold the snapshot's data, so the backup must not be
  // reported as made (nor anything removed on its account).
  if (!overflowed_snapshots_.empty()) {
    for (const auto& record : overflowed_snapshots_) {
      HxLogStream(HxLogLvl::Error) << kReleaseSignature << ": the snapshot " << record.snapshot << " of "
                                   << record.volume
                                   << " filled up (100 percent) while the archiver read it; the backup is not "
                                      "usable. Raise the module parameter lvm_snapshot_size or the volume group's "
                                      "free space"
                                   << std::endl;
    }
    remove_task_directory(kReleaseSignature);
    return false;
  }

  if (!unchanged) {
    HxLogStream(HxLogLvl::Error) << kReleaseSignature << ": " << changed << "; the backup is not usable" << std::endl;
    release_snapshot_locks();
    remove_task_directory(kReleaseSignature);
    return false;
  }

  switch (options_.backup_type) {
    case HxBackupType::Full:
      if (!release_after_base_backup()) return false;
      break;
    case HxBackupType::Incremental:
    case HxBackupType::Differential:
      if (!release_after_archive_WAL_backup()) return false;
      break;
    default:
      HxLogStream(HxLogLvl::Error) << "Wrong backup type: " << options_.backup_type << std::endl;
      return false;
  }

  // The settings a restore of this backup needs; the client passes them back.
  auto connection = std::make_shared<pqxx::connection>(get_conn_string());
  std::string value;
  if (hx_postgresql_common::show_config_file(connection, value)) {
    print_setting("config_file", value);
  } else {
    HxLogStream(HxLogLvl::Error) << "Can't show_config_file" << std::endl;
  }
  value.clear();
  if (hx_postgresql_common::show_data_directory(connection, value)) {
    print_setting("data_directory", value);
  } else {
    HxLogStream(HxLogLvl::Error) << "Can't show_data_directory" << std::endl;
  }
  print_setting("pg_version", std::to_string(pg_version_.major) + "." + std::to_string(pg_version_.minor));
  return true;
}

bool HxModule_PG_Ostrel::release_after_base_backup() {
  try {
    print_setting("start_wal_location", start_wal_file_);
    print_setting("stop_wal_location", stop_wal_file_);
    // The snapshots mounted below the task directory are gone already; one
    // that could not be unmounted keeps the directory in place.
    remove_task_directory(kBaseReleaseSignature);
    return true;
    // GCOVR_EXCL_START: the settings go to std::cout, which throws nothing, and the removal reports by its result
  } catch (const fs::filesystem_error& e) {
    HxLogStream(HxLogLvl::Error) << kBaseReleaseSignature << ": boost::filesystem: " << e.what() << std::endl;
  } catch (const pqxx::sql_error& e) {
    HxLogStream(HxLogLvl::Error) << kBaseReleaseSignature << ": Database error: " << e.what() << std::endl;
  } catch (const pqxx::broken_connection& e) {
    HxLogStream(HxLogLvl::Error) << kBaseReleaseSignature << ": can't connect to the database: " << e.what()
                                 << std::endl;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kBaseReleaseSignature << ": " << e.what() << std::endl;
  }
  return false;
  // GCOVR_EXCL_STOP
}

void HxModule_PG_Ostrel::backup_completed() {
  // The WAL files leave the archive only now: an archive that holds them
  // exists and the client knows of it. Before, a failure would lose them for
  // good and break the chain of the next incremental backup. The task is past
  // its point of no return (the backup was reported as made): an abort that
  // comes now does not stop the removal, so no file is left half-way between
  // a backup the client keeps and the archive.
  if (!pg_conf_.auto_remove_wal) return;
  HxLogStream(HxLogLvl::Info) << "Remove obsoleted WAL files:" << std::endl;
  for (const std::string& path : wal_files_) {
    HxLogStream(HxLogLvl::Info) << "Remove: " << path << std::endl;
    std::string why;
    if (!wal_archive_.remove(fs::path(path).filename().string(), why)) {
      HxLogStream(HxLogLvl::Error) << "Can't delete " << path << ": " << why << std::endl;
    }
  }
  wal_files_.clear();
  wal_archive_.close();
}
