// Readers of the product configuration file: the product's log file and the
// settings of the product's own database.
#include "utils/hx_utils_common.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/trim_all.hpp>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <stdexcept>

hx_auth::hx_auth(std::string host, std::string port, std::string dbname, std::string user)
    : host(std::move(host)), port(std::move(port)), dbname(std::move(dbname)), user_copy(std::move(user)) {}

namespace hx_utils_common {

namespace {

const char kConfigFile[] = "/opt/halvex/etc/config.file";

// Calls `on_line` with every meaningful line of the configuration file, each
// with tabs turned into blanks, outer white space removed and inner runs of
// white space reduced to one blank; empty lines and "#" comments are skipped.
// A file that cannot be opened ends the process with exit code 1.
void read_config(const std::function<void(const std::string&)>& on_line) {
  std::ifstream in(kConfigFile);
  if (!in) {
    std::cerr << "Can't open config file: " << kConfigFile << std::endl;
    std::exit(1);
  }
  std::string line;
  while (std::getline(in, line)) {
    boost::algorithm::replace_all(line, "\t", " ");
    boost::algorithm::trim_all(line);
    if (line.empty() || line[0] == '#') continue;
    on_line(line);
  }
}

// True when the prepared line holds `key` (the key followed by one blank);
// `value` is then everything after that blank.
bool key_value(const std::string& line, const std::string& key, std::string& value) {
  if (line.size() <= key.size() || line.compare(0, key.size(), key) != 0 || line[key.size()] != ' ') {
    return false;
  }
  value = line.substr(key.size() + 1);
  return true;
}

}  // namespace

std::string get_logfile() {
  std::string logfile = "/opt/halvex/log/Halvex.log";
  read_config([&](const std::string& line) {
    std::string value;
    if (key_value(line, "logfile", value)) logfile = value;
  });
  return logfile;
}

namespace server {

std::shared_ptr<hx_auth> load_db_connection(std::string& conninfo) {
  std::map<std::string, std::string> values;
  static const char* const keys[] = {"who-is-primary-server", "who-is-secondary-server", "dbname", "user",
                                     "password", "host", "port"};
  read_config([&](const std::string& line) {
    for (const char* key : keys) {
      std::string value;
      if (!key_value(line, key, value)) continue;
      static const char crypted[] = "crypted ";
      if (std::strcmp(key, "password") == 0 && value.compare(0, sizeof crypted - 1, crypted) == 0) {
        value.erase(0, sizeof crypted - 1);
        try {
          decrypt_string(value);
        } catch (const std::invalid_argument& e) {
          std::cerr << "Can't decipher the crypted password in config file: " << e.what() << std::endl;
          std::exit(1);
        }
      }
      values[key] = value;
      break;
    }
  });

  for (const char* key : {"dbname", "user", "password", "host", "port"}) {
    if (values[key].empty()) {
      std::cerr << "No " << key << " " << " in config file" << std::endl;
      std::exit(1);
    }
  }

  auto auth = std::make_shared<hx_auth>(values["host"], values["port"], values["dbname"], values["user"]);
  auth->primary_server = values["who-is-primary-server"];
  auth->secondary_server = values["who-is-secondary-server"];
  auth->user = values["user"];
  auth->password = values["password"];

  using hx_utils_common::conninfo_escaped;
  using hx_utils_common::conninfo_value;
  conninfo = "dbname = '" + conninfo_escaped(values["dbname"]) + "' user = '" + conninfo_escaped(values["user"]) +
             "' password = '" + conninfo_escaped(values["password"]) + "' host = " + conninfo_value(values["host"]) +
             " port = " + conninfo_value(values["port"], true);
  return auth;
}

}  // namespace server
}  // namespace hx_utils_common
