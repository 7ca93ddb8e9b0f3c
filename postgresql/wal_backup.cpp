// The incremental backup of the cluster: the WAL files the server archived
// since the reference backup. The preparation forces a WAL switch, waits
// until the closed file is archived and lists the run of WAL files after the
// reference backup's last one; the release records the range in the task's
// WAL snapshot file and reports it.
#include "postgresql/hx_module_pg_ostrel.h"
#include "postgresql/backup_details.h"

#include "log/hx_logger.h"

#include <boost/filesystem.hpp>

#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = boost::filesystem;

const char* const kPrepareSignature = "bool HxModule_PG_Ostrel::prepare_to_archive_WAL_backup()";
const char* const kReleaseSignature = "bool HxModule_PG_Ostrel::release_after_archive_WAL_backup()";

}  // namespace

bool HxModule_PG_Ostrel::prepare_to_archive_WAL_backup() {
  try {
    auto connection = std::make_shared<pqxx::connection>(get_conn_string());
    // GCOVR_EXCL_START: the connection's constructor throws broken_connection when it cannot open
    if (!connection->is_open()) {
      HxLogStream(HxLogLvl::Error) << kPrepareSignature << ": can't open the database" << std::endl;
      return false;
    }
    // GCOVR_EXCL_STOP
    HxLogStream(HxLogLvl::Info) << "Start PostgreSQL incremental backup" << std::endl;
    options_.resource_list_file = options_.tmp_operation_directory + "/" + options_.archive_name + "." + "hxfd.list";

    // The switch runs in the module's own session, like backup mode.
    if (!transaction_) {
      HxLogStream(HxLogLvl::Error) << kPrepareSignature << ": no database transaction" << std::endl;
      return false;
    }
    const std::string statement = hx_pg_backup::switch_wal_statement(pg_version_.major);
    const pqxx::result switched = transaction_->exec(statement, "");
    // GCOVR_EXCL_START: a SELECT of a function in its select list returns one row
    if (switched.empty()) {
      HxLogStream(HxLogLvl::Error) << kPrepareSignature << ": execute sql: " << statement << " returns empty result"
                                   << std::endl;
      return false;
    }
    // GCOVR_EXCL_STOP
    stop_wal_file_ = switched[0][0].c_str();
    std::cout << HxDestination::printable(stop_wal_file_) + "\n" << std::flush;
    HxLogStream(HxLogLvl::Debug) << kPrepareSignature << ": " << "pg_walfile_name(pg_switch_wal()) result: "
                                 << stop_wal_file_ << std::endl;

    // The reference backup's last WAL file is where this backup begins.
    const std::string reference = reference_wal_snapshot_filename();
    if (reference.empty()) {
      HxLogStream(HxLogLvl::Error) << kPrepareSignature
                                   << ": no reference snapshot (-s) names the backup this one follows" << std::endl;
    }
    // Read before anything was done (read_reference_snapshot), through the
    // directory the reference was taken from.
    if (!reference.empty() && !reference_wal_snapshot_) {
      HxLogStream(HxLogLvl::Error) << "Unable to open backup file: " << reference << std::endl;
    }
    if (!reference_wal_snapshot_ ||
        hx_postgresql_common::stop_wal_file_in_text(*reference_wal_snapshot_, reference, start_wal_file_) != 0) {
      HxLogStream(HxLogLvl::Error) << "Unable to find start wal file" << std::endl;
      return false;
    }
    HxLogStream(HxLogLvl::Debug) << kPrepareSignature << ": " << "Last archived WAL file was: " << start_wal_file_
                                 << std::endl;

    // Without WAL written since the reference backup the switch closes
    // nothing and names the reference's own last file, which that backup
    // holds (and may have removed from the archive): there is nothing to
    // wait for and nothing to archive; the backup is empty.
    const std::string& archive = pg_conf_.archive_catalog;
    if (stop_wal_file_ == start_wal_file_) {
      HxLogStream(HxLogLvl::Info) << "No WAL written since the reference backup" << std::endl;
      return add_to_hxfd_list_file(options_.resource_list_file, {}, false);
    }
    if (hx_postgresql_common::wait_until_file_archiving_finished(archive + "/" + stop_wal_file_, connection,
                                                                 pg_conf_.wal_wait_timeout, pg_conf_.wal_check_period,
                                                                 wal_archive_.fd()) != 0) {
      HxLogStream(HxLogLvl::Error) << "Last WAL file is absent in archive directory: " << stop_wal_file_ << std::endl;
      return false;
    }

    std::uint64_t segment_size = 0;
    if (!hx_postgresql_common::get_wal_segment_size(connection, segment_size)) return false;
    std::vector<boost::filesystem::path> listing;
    const bool listed = hx_postgresql_common::get_wal_files_list(archive, listing, true, wal_archive_.fd()) == 0;
    if (!listed) HxLogStream(HxLogLvl::Error) << "Unable to get archived WAL files list" << std::endl;
    if (!listed ||
        hx_postgresql_common::get_wal_files_sequence(std::move(listing), start_wal_file_, stop_wal_file_, wal_files_,
                                                     true, false, segment_size) != 0) {
      HxLogStream(HxLogLvl::Error) << "Unable to determine wal files sequence" << std::endl;
      return false;
    }

    // The start file belongs to the reference backup. The listed paths are
    // joined from the directory and the file name, so the file is recognised
    // by its name whatever form archive_catalog was written in.
    for (auto it = wal_files_.begin(); it != wal_files_.end(); ++it) {
      if (fs::path(*it).filename() == start_wal_file_) {
        wal_files_.erase(it);
        break;
      }
    }

    std::map<std::string, std::string> list;
    return list_wal_files(wal_files_, segment_size, list) &&
           add_to_hxfd_list_file(options_.resource_list_file, list, false);
  } catch (const pqxx::broken_connection& e) {
    HxLogStream(HxLogLvl::Error) << kPrepareSignature << ": can't connect to the database: " << e.what() << std::endl;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kPrepareSignature << ": " << e.what() << std::endl;
  }
  return false;
}

bool HxModule_PG_Ostrel::release_after_archive_WAL_backup() {
  try {
    const std::string path = wal_snapshot_filename();
    // A file cut short would make the next incremental backup start at the
    // wrong place.
    std::string error;
    if (!write_wal_snapshot("LABEL: " + options_.archive_name + "\n" + "START WAL LOCATION: " + "0 (file " +
                                start_wal_file_ + ")" + "\n" + "STOP WAL LOCATION: " + "0 (file " + stop_wal_file_ +
                                ")" + "\n",
                            error)) {
      HxLogStream(HxLogLvl::Error) << kReleaseSignature << ": can't use " << path << ": " << error << std::endl;
      HxLogStream(HxLogLvl::Error) << "Can't create empty snapshot file for archive WAL PostgreSQL backup: " << path
                                   << std::endl;
      return false;
    }
    HxLogStream(HxLogLvl::Debug) << kReleaseSignature << ": " << "New snapshot file created" << std::endl;
    using HxDestination::printable;
    std::cout << "MODULE SETTING:start_wal_location:" + printable(start_wal_file_) + "\n" << std::flush;
    std::cout << "MODULE SETTING:stop_wal_location:" + printable(stop_wal_file_) + "\n" << std::flush;
    return true;
    // GCOVR_EXCL_START: nothing in the try block throws but the allocator: the file stream reports by its state
  } catch (const fs::filesystem_error& e) {
    HxLogStream(HxLogLvl::Error) << kReleaseSignature << ": boost::filesystem: " << e.what() << std::endl;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kReleaseSignature << ": " << e.what() << std::endl;
  }
  // GCOVR_EXCL_STOP
  return false;
}
