// The client check (-t) and the resource listings (-c, -l, -L): whether this
// host can back up its PostgreSQL cluster, and the one resource it offers.
#include "postgresql/hx_module_pg_ostrel.h"

#include "log/hx_logger.h"
#include "utils/hx_utils_common.h"

#include <cctype>
#include <exception>
#include <iostream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <boost/filesystem.hpp>

namespace {

const char* const kCheckSignature = "virtual int HxModule_PG_Ostrel::check_client(const bool&)";

const int kConnectAttempts = 12;
const int kConnectPauseSeconds = 5;
const unsigned int kModuleVersionMajor = 2;
const unsigned int kModuleVersionMinor = 0;
const char* const kLvscanPath = "/sbin/lvscan";
// Run alone, so that its own exit status decides (in a pipeline the status
// would be that of the last command); the version is read from its output.
const char* const kLvmVersionCommand = "LANG=C /sbin/lvscan --version";

// The version of "lvscan --version": the third word of its line
// "LVM version: <version> (<date>)"; "" when there is none.
std::string lvm_version_of(const std::string& output) {
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string first, second, version;
    if (words >> first >> second >> version && first == "LVM" && second == "version:") return version;
  }
  return std::string();
}

// True for a refused login (wrong password, no such role, no pg_hba.conf
// entry), told by libpq's message: waiting will not make the login right,
// and repeated failed logins can lock the account.
bool is_authentication_failure(const std::string& reason) {
  static const std::regex refused(
      "authentication failed|no pg_hba\\.conf entry|pg_hba\\.conf rejects connection|no password supplied|"
      "role \".*\" does not exist");
  return std::regex_search(reason, refused);
}

// libpq's message on one line: its lines (a hint is indented on a line of
// its own) joined with "; ", trailing line ends and blanks dropped.
std::string reason_of(const pqxx::broken_connection& e) {
  std::string reason;
  bool line_end = false;
  for (const char c : std::string(e.what())) {
    if (c == '\n' || c == '\r') {
      line_end = true;
    } else if (!(line_end && std::isspace(static_cast<unsigned char>(c)) != 0)) {
      if (line_end && !reason.empty()) reason += "; ";
      line_end = false;
      reason += c;
    }
  }
  while (!reason.empty() && reason.back() == ' ') reason.pop_back();
  return reason;
}

}  // namespace

int HxModule_PG_Ostrel::check_client(const bool& verbose) {
  try {
    // A server that is starting (or restarting) refuses connections for a
    // while: the check waits up to a minute for it, with an Info line for
    // each failed attempt. A refused login is not tried again (its reason is
    // in the Error line below).
    std::shared_ptr<pqxx::connection> connection;
    std::string reason;
    int attempts = 0;
    while (attempts < kConnectAttempts) {
      try {
        connection = std::make_shared<pqxx::connection>(get_conn_string());
        break;
      } catch (const pqxx::broken_connection& e) {
        reason = reason_of(e);
        if (is_authentication_failure(reason)) {
          attempts = kConnectAttempts;
          break;
        }
        ++attempts;
        // The administrator sees why the minute passes, attempt by attempt.
        HxLogStream(HxLogLvl::Info) << "Connection to the database failed (attempt " << attempts << " of "
                                    << kConnectAttempts << "): " << reason << std::endl;
        hx_utils_common::sleep_seconds(kConnectPauseSeconds);
      }
    }
    if (attempts == kConnectAttempts) {
      HxLogStream(HxLogLvl::Error) << kCheckSignature << ": can't connect to the database: " << reason << std::endl;
      HxLogStream(HxLogLvl::Error) << "Can't connect to the database" << std::endl;
      return 2;
    }
    // GCOVR_EXCL_START: a connection that could not be opened has thrown broken_connection above
    if (!connection->is_open()) {
      HxLogStream(HxLogLvl::Error) << "Can't open the database" << std::endl;
      return 2;
    }
    // GCOVR_EXCL_STOP

    if (verbose) std::cout << "Module version: " << kModuleVersionMajor << "." << kModuleVersionMinor << std::endl;

    if (!hx_postgresql_common::check_archive_mode(connection)) {
      HxLogStream(HxLogLvl::Error) << "You must turn PostgreSQL archive mode on" << std::endl;
      return 2;
    }

    if (!boost::filesystem::exists(kLvscanPath)) {
      HxLogStream(HxLogLvl::Error) << kCheckSignature << ": can't find " << kLvscanPath << std::endl;
      return 2;
    }
    // A tool that fails, or that names no version, fails the check.
    std::string lvm_output;
    const int lvm_status = hx_utils_common::execute_command(kLvmVersionCommand, lvm_output);
    const std::string lvm_version = lvm_version_of(lvm_output);
    if (lvm_status != 0 || lvm_version.empty()) {
      HxLogStream(HxLogLvl::Error) << kCheckSignature << ": command: " << kLvmVersionCommand << std::endl;
      HxLogStream(HxLogLvl::Error) << lvm_output << (!lvm_output.empty() && lvm_output.back() == '\n' ? "" : "\n");
      return 2;
    }
    if (verbose) std::cout << "LVM version: " + HxDestination::printable(lvm_version) + "\n" << std::flush;

    // A failure leaves pg_version_ as it was (0.0 on a fresh object), which
    // the version test below refuses.
    hx_postgresql_common::get_pg_version(connection, pg_version_, verbose);
    const unsigned int major = pg_version_.major;
    const unsigned int minor = pg_version_.minor;
    if (major == 9 && minor < 6) {
      HxLogStream(HxLogLvl::Error) << "Unsupported major PostgreSQL version: " << major << "." << minor << std::endl;
      return 2;
    }
    if (major < 9 || major > 15) {
      HxLogStream(HxLogLvl::Error) << "Unsupported PostgreSQL version: " << major << "." << minor << std::endl;
      return 2;
    }

    std::string config_file;
    if (!hx_postgresql_common::show_config_file(connection, config_file)) {
      HxLogStream(HxLogLvl::Error) << "Unable to determine PostgreSQL config_file" << std::endl;
      return 2;
    }
    // GCOVR_EXCL_START: a role that may read config_file may read data_directory
    if (!hx_postgresql_common::show_data_directory(connection, data_directory_)) {
      HxLogStream(HxLogLvl::Error) << "Unable to determine PostgreSQL data_directory" << std::endl;
      return 2;
    }
    // GCOVR_EXCL_STOP
    // From version 12 on a restore only signals recovery: the server's own
    // restore_command must then fetch the archived WAL files.
    if (major > 11) {
      std::string restore_command;
      // GCOVR_EXCL_START: every role may read restore_command, and its SHOW returns one row
      if (!hx_postgresql_common::show_restore_command(connection, restore_command)) {
        HxLogStream(HxLogLvl::Error) << "Unable to determine PostgreSQL restore_command" << std::endl;
        return 2;
      }
      // GCOVR_EXCL_STOP
      if (restore_command.empty()) {
        HxLogStream(HxLogLvl::Error) << "You MUST define restore_command in the " << config_file << std::endl;
        return 2;
      }
    }

    // A full backup reads the data directory and every tablespace from LVM
    // snapshots: each must lie on a logical volume.
    if (verbose) HxLogStream(HxLogLvl::Info) << "Checking the database placement:" << std::endl;
    std::string device;
    std::string volume_group;
    std::string mount_point;
    if (!get_lvm_info_of_mountpoint(data_directory_, device, volume_group, mount_point)) return 2;
    if (verbose) {
      HxLogStream(HxLogLvl::Info) << "PostgreSQL data directory: " << data_directory_ << " used LVM volume '"
                                  << device << "' in the volume group: '" << volume_group << "'" << std::endl;
    }
    std::set<std::string> tablespaces;
    if (!hx_postgresql_common::get_tablespaces(connection, tablespaces)) return 2;
    for (const auto& location : tablespaces) {
      if (!get_lvm_info_of_mountpoint(location, device, volume_group, mount_point)) return 2;
      if (verbose) {
        HxLogStream(HxLogLvl::Info) << "Tablespace: " << location << " used LVM volume '" << device
                                    << "' in the volume group: '" << volume_group << "'" << std::endl;
      }
    }
    return 0;
    // GCOVR_EXCL_START: every query above catches its own database errors, and the connection loop its broken_connection
  } catch (const pqxx::sql_error& e) {
    HxLogStream(HxLogLvl::Error) << kCheckSignature << ": Database error: " << e.what() << std::endl;
  } catch (const pqxx::broken_connection& e) {
    HxLogStream(HxLogLvl::Info) << kCheckSignature << ": can't connect to the database: " << e.what() << std::endl;
    // GCOVR_EXCL_STOP
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kCheckSignature << ": " << e.what() << std::endl;
  }
  return 2;
}

int HxModule_PG_Ostrel::list_header_labels() {
  std::cout << "Database" << std::endl;
  return 0;
}

int HxModule_PG_Ostrel::list_all_resources() {
  if (check_client(false) != 0) return 2;
  std::cout << "PostgreSQL " << pg_version_.major << "." << pg_version_.minor << std::endl;
  return 0;
}

int HxModule_PG_Ostrel::list_all_resources_with_header_labels() {
  list_header_labels();
  std::cout << "----" << std::endl;
  return list_all_resources();
}
