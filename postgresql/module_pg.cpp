// The PostgreSQL module object: construction, configuration loading, the
// small answers (version, special options, resource check) and the
// preparation step that opens a backup's database connection.
#include "postgresql/hx_module_pg_ostrel.h"

#include "log/hx_logger.h"

#include <boost/algorithm/string/trim.hpp>

#include <exception>
#include <iostream>
#include <string>

namespace {

const char* const kPrapareSignature = "bool HxModule_PG_Ostrel::prapare_module()";
const char* const kLockTargetSignature = "virtual bool HxModule_PG_Ostrel::lock_task_target()";

// Whether the server archives its WAL files into the WAL archive, where a
// backup waits for them: a server that does not would fail the backup only
// after its snapshots were made and backup mode ran. Logs why not.
bool server_archives(const hx_postgresql_common::connection_ptr& connection, const hx_pg_conf& conf) {
  pqxx::nontransaction transaction(*connection, "");
  // From version 15 on an archive library archives without a command.
  const pqxx::result result =
      transaction.exec("SELECT current_setting('archive_mode'), current_setting('archive_command'), "
                       "coalesce(current_setting('archive_library', true), '')",
                       "");
  const std::string mode = result.at(0).at(0).c_str();
  std::string command = result.at(0).at(1).c_str();
  boost::algorithm::trim(command);
  std::string reason;
  if (mode != "on" && mode != "always") {
    reason = "archive_mode is " + mode;
  } else if (command.empty() && result.at(0).at(2).c_str()[0] == '\0') {
    reason = "archive_command is empty";
  } else {
    return true;
  }
  HxLogStream(HxLogLvl::Error) << "The server does not archive its WAL files (" << reason
                               << "), which a backup reads from archive_catalog '" << conf.archive_catalog
                               << "': set archive_mode to on (or always) and archive_command to a command that "
                               << "copies each WAL file (%p) into that directory under its own name (%f)"
                               << std::endl;
  return false;
}

const unsigned int kVersionMajor = 2;
const unsigned int kVersionMinor = 0;
const char* const kVersionBuild = "3906709";

}  // namespace

HxModule_PG_Ostrel::HxModule_PG_Ostrel(HxModuleOptions options)
    : HxModuleUniversal(options),
      pg_conf_(),
      pg_version_(),
      connection_(),
      transaction_(),
      data_directory_(),
      config_file_(),
      start_wal_file_(),
      stop_wal_file_(),
      wal_files_(),
      lvm_volumes_(),
      lvm_snapshots_(),
      lvm_snapshot_size_(10) {
  // Incremental backups of this module are WAL-archive backups: they need no
  // reference metadata file.
  without_reference_snapshot_ = true;
}

// The transaction goes before its connection (reverse declaration order);
// it was never committed, so the server rolls it back.
HxModule_PG_Ostrel::~HxModule_PG_Ostrel() = default;

bool HxModule_PG_Ostrel::load_module_config() {
  return hx_postgresql_common::load_hx_pg_config(options_.program_path, pg_conf_);
}

void HxModule_PG_Ostrel::usage_custom() {}

std::string HxModule_PG_Ostrel::get_full_module_version() {
  return std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." + kVersionBuild;
}

bool HxModule_PG_Ostrel::resource_exists() { return true; }

void HxModule_PG_Ostrel::autonomous_options() {
  std::cout << "file_list" << " : boolean " << "Save listing of files in the archive" << std::endl;
  std::cout << "numeric_owner" << " : boolean "
            << "Use uid and gid in the archive file list instead of username and groupname" << std::endl;
  std::cout << "lvm_snapshot_size" << " : integer " << "LVM snapshot size in percent" << std::endl;
}

void HxModule_PG_Ostrel::make_archiving() {
  HxLogStream(HxLogLvl::Error) << "No archiving capability" << std::endl;
}

std::string HxModule_PG_Ostrel::get_conn_string() { return hx_postgresql_common::conn_string(pg_conf_); }

bool HxModule_PG_Ostrel::lock_task_target() {
  std::string data_directory;
  switch (options_.mode) {
    case HxModuleMode::Backup:
    case HxModuleMode::BackupList:
    case HxModuleMode::CreateReplica:
      try {
        auto connection = std::make_shared<pqxx::connection>(get_conn_string());
        if (!hx_postgresql_common::show_data_directory(connection, data_directory)) {
          HxLogStream(HxLogLvl::Error) << "Unable to determine PostgreSQL data_directory" << std::endl;
          return false;
        }
      } catch (const std::exception& e) {
        HxLogStream(HxLogLvl::Error) << kLockTargetSignature << ": " << e.what() << std::endl;
        return false;
      }
      break;
    case HxModuleMode::Restore:
      // Only the last part of a restore, when it deploys, touches the cluster.
      if (!last_ || without_deployment_restore_) return true;
      if (!find_special_param("data_directory", data_directory)) return true;
      break;
    case HxModuleMode::ApplyReplica:
      if (!find_special_param("data_directory", data_directory)) return true;
      break;
    default:
      return true;
  }
  return lock_target(data_directory, "the cluster of the data directory '" + data_directory + "'");
}

bool HxModule_PG_Ostrel::prapare_module() {
  const int mode = options_.mode;
  if (mode != HxModuleMode::Backup && mode != HxModuleMode::BackupList && mode != HxModuleMode::CreateReplica) {
    return true;
  }

  // The configuration is loaded here, ahead of the dispatcher's own load,
  // because the connection needs it before run() starts.
  const bool loaded = load_module_config();
  // A load that an abort interrupted (a configuration file that does not
  // answer) ends here.
  hx_utils_common::abort_point();
  if (!loaded) return false;
  if (pg_conf_.archive_catalog.empty()) {
    HxLogStream(HxLogLvl::Error) << "The module configuration file "
                                 << hx_postgresql_common::module_config_path(options_.program_path)
                                 << " names no archive_catalog: a backup reads the WAL files from that directory, "
                                 << "into which the server's archive_command copies them" << std::endl;
    return false;
  }

  try {
    connection_ = std::make_shared<pqxx::connection>(get_conn_string());
    if (!hx_postgresql_common::get_pg_version(connection_, pg_version_, true) ||
        !server_archives(connection_, pg_conf_)) {
      connection_.reset();
      return false;
    }
    // Backup mode is started and stopped on this one transaction, so that it
    // belongs to a single server session for the whole backup.
    transaction_ = std::make_shared<pqxx::work>(*connection_);
    // The cancel request goes through a connection of its own, so it may be
    // sent from another thread while a statement runs.
    std::weak_ptr<pqxx::connection> weak = connection_;
    cancel_on_abort_ = std::make_unique<hx_utils_common::AbortInterruption>([weak] {
      if (auto connection = weak.lock()) connection->cancel_query();
    });
    return true;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kPrapareSignature << ": " << e.what() << std::endl;
  }
  transaction_.reset();
  connection_.reset();
  return false;
}
