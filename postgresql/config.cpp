// The module configuration file: one "key value" setting per line in
// "/opt/halvex/etc/" + the program's file name + ".conf".
#include "postgresql/hx_postgresql_common.h"

#include "log/hx_logger.h"

#include <boost/algorithm/string.hpp>
#include <boost/algorithm/string/trim_all.hpp>
#include <boost/filesystem.hpp>

#include <fstream>
#include <stdexcept>
#include <string>

hx_pg_conf::hx_pg_conf()
    : host("localhost"),
      auto_remove_wal(true),
      direct_restore(false),
      postgresql_admin("postgres"),
      wal_wait_timeout(10),
      wal_check_period(1),
      execute_only_on_leader(false) {}

namespace hx_postgresql_common {

namespace {

const char* const kLoadSignature = "bool hx_postgresql_common::load_hx_pg_config(const string&, hx_pg_conf&)";

// The keys in the order in which a line is matched against them. The first
// twelve end in a blank, so a key word alone on its line (its trailing blank
// trimmed away) matches none of them.
enum class Key {
  username,
  password,
  port,
  host,
  archive_catalog,
  pg_ctl,
  exclude_file,
  patroni_host,
  patroni_port,
  auto_remove_wal,
  direct_restore,
  postgresql_admin,
  wal_wait_timeout,
  wal_check_period,
  execute_only_on_leader,
};

struct KeyText {
  Key key;
  const char* text;
};

const KeyText kKeys[] = {
    {Key::username, "username "},
    {Key::password, "password "},
    {Key::port, "port "},
    {Key::host, "host "},
    {Key::archive_catalog, "archive_catalog "},
    {Key::pg_ctl, "pg_ctl "},
    {Key::exclude_file, "exclude_file "},
    {Key::patroni_host, "patroni_host "},
    {Key::patroni_port, "patroni_port "},
    {Key::auto_remove_wal, "auto_remove_wal "},
    {Key::direct_restore, "direct_restore "},
    {Key::postgresql_admin, "postgresql_admin "},
    {Key::wal_wait_timeout, "wal_wait_timeout"},
    {Key::wal_check_period, "wal_check_period"},
    {Key::execute_only_on_leader, "execute_only_on_leader"},
};

bool yes_or_true(const std::string& value) { return value == "yes" || value == "true"; }

// The keys as a list for a line that names none of them.
std::string key_list() {
  std::string list;
  for (const KeyText& key : kKeys) {
    if (!list.empty()) list += ", ";
    list += boost::algorithm::trim_copy(std::string(key.text));
  }
  return list;
}

// Reads a number of seconds the way std::stol does (leading white space, an
// optional sign, decimal digits; anything after the digits ignored). False,
// with the Error line for the key, when there is no number or it is out of range.
bool read_seconds(const std::string& value, const char* key, long& out) {
  try {
    out = std::stol(value, nullptr, 10);
    return true;
  } catch (const std::invalid_argument&) {
    HxLogStream(HxLogLvl::Error) << "Configuration file error: \"" << key << "\" parameter has incompatible value."
                                 << std::endl;
  } catch (const std::out_of_range&) {
    HxLogStream(HxLogLvl::Error) << "Configuration file error: \"" << key << "\" parameter is out of range."
                                 << std::endl;
  }
  return false;
}

}  // namespace

std::string module_config_path(const std::string& program_path) {
  return "/opt/halvex/etc/" + boost::filesystem::path(program_path).filename().string() + ".conf";
}

bool load_hx_pg_config(const std::string& program_path, hx_pg_conf& conf) {
  const std::string path = module_config_path(program_path);

  std::ifstream file(path);
  if (!file.is_open()) {
    HxLogStream(HxLogLvl::Error) << kLoadSignature << ": Can't open: " << path << std::endl;
    return false;
  }

  std::string line;
  while (std::getline(file, line)) {
    boost::algorithm::replace_all(line, "\t", " ");
    boost::algorithm::trim_all(line);
    if (line.empty() || line[0] == '#') continue;

    const KeyText* match = nullptr;
    for (const KeyText& candidate : kKeys) {
      if (boost::algorithm::starts_with(line, candidate.text)) {
        match = &candidate;
        break;
      }
    }
    if (match == nullptr) {
      HxLogStream(HxLogLvl::Error) << path << ": unable to parse the line: " << line << " (known keys: " << key_list()
                                   << ")" << std::endl;
      continue;
    }

    const std::string value = line.substr(std::char_traits<char>::length(match->text));
    switch (match->key) {
      case Key::username: conf.username = value; break;
      case Key::password: conf.password = value; break;
      case Key::port: conf.port = value; break;
      case Key::host: conf.host = value; break;
      case Key::archive_catalog: conf.archive_catalog = value; break;
      case Key::pg_ctl: conf.pg_ctl = value; break;
      case Key::exclude_file: conf.exclude_file = value; break;
      case Key::patroni_host: conf.patroni_host = value; break;
      case Key::patroni_port: conf.patroni_port = value; break;
      case Key::auto_remove_wal: conf.auto_remove_wal = yes_or_true(value); break;
      case Key::direct_restore: conf.direct_restore = yes_or_true(value); break;
      case Key::postgresql_admin:
        if (!value.empty()) conf.postgresql_admin = value;
        break;
      case Key::wal_wait_timeout:
        if (!read_seconds(value, "wal_wait_timeout", conf.wal_wait_timeout)) return false;
        break;
      case Key::wal_check_period:
        if (!read_seconds(value, "wal_check_period", conf.wal_check_period)) return false;
        break;
      case Key::execute_only_on_leader: {
        std::string word = value;
        boost::algorithm::erase_all(word, " ");
        boost::algorithm::erase_all(word, "\t");
        if (word == "yes") {
          conf.execute_only_on_leader = true;
        } else if (word == "no") {
          conf.execute_only_on_leader = false;
        } else {
          HxLogStream(HxLogLvl::Error) << "Configuration file error: \"execute_only_on_leader\" parameter has "
                                          "incompatible value. Acceptable values: yes/no."
                                       << std::endl;
          return false;
        }
        break;
      }
    }
  }
  file.close();

  if (conf.pg_ctl.empty()) {
    HxLogStream(HxLogLvl::Error) << "Please define pg_ctl  in the " << path << std::endl;
    return false;
  }
  if (!boost::filesystem::exists(conf.pg_ctl)) {
    HxLogStream(HxLogLvl::Error) << "Wrong value pg_ctl  in the " << path << std::endl;
    HxLogStream(HxLogLvl::Error) << conf.pg_ctl << " doesn't exist" << std::endl;
    return false;
  }

  // The waits for WAL archiving divide by the check period and sleep for it,
  // and a negative timeout would make them end before the first check; such
  // values are refused here rather than misbehaving in the middle of a backup.
  // The last value read for each key is the one judged.
  bool waits_valid = true;
  if (conf.wal_wait_timeout < 0) {
    HxLogStream(HxLogLvl::Error) << "Configuration file error: \"wal_wait_timeout\" parameter must not be negative."
                                 << std::endl;
    waits_valid = false;
  }
  if (conf.wal_check_period < 1) {
    HxLogStream(HxLogLvl::Error) << "Configuration file error: \"wal_check_period\" parameter must be at least 1."
                                 << std::endl;
    waits_valid = false;
  }
  if (!waits_valid) return false;

  if (conf.host.empty()) {
    conf.host = "localhost";
    HxLogStream(HxLogLvl::Warning) << "host param is empty in the module config file. Change to localhost"
                                   << std::endl;
  }
  return true;
}

}  // namespace hx_postgresql_common
