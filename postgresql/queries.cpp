// The server connection string and the queries that read the server's
// version, file locations, archiving settings and tablespaces.
#include "postgresql/hx_postgresql_common.h"

#include "log/hx_logger.h"
#include "utils/hx_utils_common.h"

#include <boost/algorithm/string.hpp>
#include <boost/algorithm/string/trim_all.hpp>

#include <iostream>
#include <string>
#include <vector>

namespace hx_postgresql_common {

namespace {

const char* const kGetPgVersionSignature =
    "bool hx_postgresql_common::get_pg_version(std::shared_ptr<pqxx::basic_connection_base<pqxx::connect_direct> "
    ">, pg_version&, bool)";
const char* const kShowDataDirectorySignature =
    "bool hx_postgresql_common::show_data_directory(std::shared_ptr<pqxx::basic_connection_base<pqxx::connect_"
    "direct> >, std::string&)";
const char* const kShowRestoreCommandSignature =
    "bool hx_postgresql_common::show_restore_command(std::shared_ptr<pqxx::basic_connection_base<pqxx::connect_"
    "direct> >, std::string&)";
const char* const kShowConfigFileSignature =
    "bool hx_postgresql_common::show_config_file(std::shared_ptr<pqxx::basic_connection_base<pqxx::connect_"
    "direct> >, std::string&)";
const char* const kShowHbaFileSignature =
    "bool hx_postgresql_common::show_hba_file(std::shared_ptr<pqxx::basic_connection_base<pqxx::connect_direct> "
    ">, std::string&)";
const char* const kCheckArchiveModeSignature =
    "bool hx_postgresql_common::check_archive_mode(std::shared_ptr<pqxx::basic_connection_base<pqxx::connect_"
    "direct> >)";
const char* const kGetTablespacesSignature =
    "bool hx_postgresql_common::get_tablespaces(std::shared_ptr<pqxx::basic_connection_base<pqxx::connect_direct> "
    ">, std::set<std::__cxx11::basic_string<char> >&)";

// Runs "SHOW <setting>" and stores the first field of the first row. False
// without a log line when no row comes back; false with an Error line (the
// function's signature and the exception text) on an exception.
bool show_setting(const connection_ptr& connection, const char* statement, const char* signature,
                  const char* sql_error_prefix, std::string& out) {
  try {
    if (!connection) throw std::invalid_argument("no database connection");
    pqxx::nontransaction transaction(*connection, "");
    const pqxx::result result = transaction.exec(statement, "");
    if (result.empty()) return false;  // GCOVR_EXCL_LINE: a SHOW of a setting the server has always returns one row
    out = result[0][0].c_str();
    return true;
  } catch (const pqxx::sql_error& e) {
    HxLogStream(HxLogLvl::Error) << signature << ": " << sql_error_prefix << e.what() << std::endl;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << signature << ": " << e.what() << std::endl;
  }
  return false;
}

}  // namespace

std::string conn_string(const hx_pg_conf& conf) {
  using hx_utils_common::conninfo_value;
  return "host = " + conninfo_value(conf.host) + " port = " + conninfo_value(conf.port) +
         " dbname = postgres user = " + conninfo_value(conf.username) +
         " password = " + conninfo_value(conf.password, true);
}

pg_version split_pg_version(std::string text) {
  std::vector<std::string> pieces;
  boost::algorithm::split(pieces, text, boost::algorithm::is_any_of("."));
  pg_version version;
  version.major = static_cast<unsigned int>(std::stoi(pieces.at(0)));
  if (pieces.size() > 1) version.minor = static_cast<unsigned int>(std::stoi(pieces[1]));
  return version;
}

bool get_pg_version(connection_ptr connection, pg_version& out, bool print) {
  try {
    if (!connection) throw std::invalid_argument("no database connection");
    pqxx::nontransaction transaction(*connection, "");
    const pqxx::result result = transaction.exec("SHOW server_version", "");
    // GCOVR_EXCL_START: a SHOW of a setting the server has always returns one row
    if (result.empty()) {
      HxLogStream(HxLogLvl::Error) << "Unable to determine PostgreSQL version" << std::endl;
      return false;
    }
    // GCOVR_EXCL_STOP
    const std::string text = result[0][0].c_str();
    // The server's text stays on its one line.
    if (print) std::cout << "PostgreSQL version: " + HxDestination::printable(text) + "\n" << std::flush;
    out = split_pg_version(text);
    return true;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kGetPgVersionSignature << ": " << e.what() << std::endl;
  }
  return false;
}

bool show_data_directory(connection_ptr connection, std::string& out) {
  return show_setting(connection, "SHOW data_directory", kShowDataDirectorySignature, "", out);
}

bool show_config_file(connection_ptr connection, std::string& out) {
  return show_setting(connection, "SHOW config_file", kShowConfigFileSignature, "", out);
}

bool show_restore_command(connection_ptr connection, std::string& out) {
  return show_setting(connection, "SHOW restore_command", kShowRestoreCommandSignature, "", out);
}

bool show_hba_file(connection_ptr connection, std::string& out) {
  return show_setting(connection, "SHOW hba_file", kShowHbaFileSignature, "Database error: ", out);
}

bool check_archive_mode(connection_ptr connection) {
  const char* const sig = kCheckArchiveModeSignature;
  try {
    if (!connection) throw std::invalid_argument("no database connection");
    pqxx::nontransaction transaction(*connection, "");

    // Each setting, trimmed; false (with its Error line) when the server has no such row.
    auto show = [&](const char* name, std::string& value) {
      const pqxx::result result = transaction.exec(std::string("SHOW ") + name, "");
      // GCOVR_EXCL_START: a SHOW of a setting the server has always returns one row
      if (result.empty()) {
        HxLogStream(HxLogLvl::Error) << sig << ": " << name << " is not defined" << std::endl;
        return false;
      }
      // GCOVR_EXCL_STOP
      value = result[0][0].c_str();
      boost::algorithm::trim_all(value);
      return true;
    };

    std::string value;
    if (!show("wal_level", value)) return false;
    if (value != "replica" && value != "logical") {
      HxLogStream(HxLogLvl::Error) << sig << ": wal_level must be set to replica or logical" << std::endl;
      return false;
    }
    if (!show("archive_mode", value)) return false;
    if (value != "on" && value != "always") {
      HxLogStream(HxLogLvl::Error) << sig << ": archive_mode must be set to \"on\" or \"always\"" << std::endl;
      return false;
    }
    // The archive command's text is not judged: an empty one passes.
    return show("archive_command", value);
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << sig << ": " << e.what() << std::endl;
  }
  return false;
}

bool get_tablespaces(connection_ptr connection, std::set<std::string>& out) {
  try {
    if (!connection) throw std::invalid_argument("no database connection");
    pqxx::nontransaction transaction(*connection, "");
    const pqxx::result result = transaction.exec(
        "SELECT pg_tablespace_location(oid) FROM pg_tablespace where spcname<>'pg_default' and "
        "spcname<>'pg_global'",
        "");
    for (const auto& row : result) out.insert(row[0].c_str());
    return true;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kGetTablespacesSignature << ": " << e.what() << std::endl;
  }
  return false;
}

bool get_stop_wal_file_from_server(std::string& out, const std::string& lsn, const pg_version& version,
                                   const hx_pg_conf& conf) {
  HxLogStream(HxLogLvl::Info) << "Using " << conf.host << " to get stop wal file." << std::endl;
  HxLogStream(HxLogLvl::Info) << "Using port " << conf.port << "." << std::endl;
  try {
    pqxx::connection connection(conn_string(conf));
    pqxx::nontransaction transaction(connection, "");

    const pqxx::result recovery = transaction.exec("SELECT pg_is_in_recovery()", "");
    std::string in_recovery;
    if (!recovery.empty()) in_recovery = recovery[0][0].c_str();
    if (in_recovery == "t") {
      HxLogStream(HxLogLvl::Error) << "DB server(" << conf.host << ") is not primary." << std::endl;
      return false;
    }

    // The location travels as a statement parameter, so no text in it can
    // end the literal or the statement.
    const char* const statement = (version.major == 8 || version.major == 9) ? "SELECT pg_xlogfile_name($1)"
                                                                               : "SELECT pg_walfile_name($1)";
    const pqxx::result name = transaction.exec_params(statement, lsn);
    out = name.at(0).at(0).c_str();
    return true;
  } catch (const pqxx::broken_connection& e) {
    HxLogStream(HxLogLvl::Error) << "Connection to primary node failed: " << e.what() << std::endl;
  } catch (const pqxx::failure& e) {
    HxLogStream(HxLogLvl::Error) << "Postgresql node connection failure: " << e.what() << std::endl;
  }
  return false;
}

}  // namespace hx_postgresql_common
