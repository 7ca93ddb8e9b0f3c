// Deployment of a restored cluster: the server is stopped, its data
// directory, WAL archive directory and tablespace locations are emptied and
// filled with the restored trees, and the server is started again.
//
// Every outside program runs from an argument vector, never through a shell
// of this process, so no path or setting can become part of a command.
#include "postgresql/hx_postgresql_common.h"

#include "log/hx_logger.h"
#include "module/hx_modules_common.h"
#include "utils/hx_utils_common.h"

#include <boost/format.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace fs = boost::filesystem;

namespace {

using hx_utils_common::command_text;
using hx_utils_common::run_program;

const char* const kDeploymentSignature =
    "bool hx_postgresql_common::deployment(const hx_pg_conf&, const pg_version&, const string&, const string&, "
    "const string&)";

// Entries moved by one mv run.
const std::size_t kMoveBatch = 256;

using Pairs = std::vector<std::pair<fs::path, fs::path>>;

// A text in double quotes with a backslash before each double quote and
// backslash, as the move messages write their arguments.
std::string double_quoted(const std::string& text) {
  std::ostringstream out;
  out << std::quoted(text);
  return out.str();
}

// The path's elements without "." and with ".." applied.
std::vector<std::string> elements(const fs::path& path) {
  std::vector<std::string> out;
  for (const fs::path& part : path.lexically_normal()) {
    const std::string name = part.string();
    if (name == "." || name.empty()) continue;
    out.push_back(name);
  }
  return out;
}

// True when `path` is `directory` or lies below it (compared element by
// element, so /srv/pgdata2 is not inside /srv/pgdata).
bool is_within(const fs::path& path, const fs::path& directory) {
  const std::vector<std::string> p = elements(path);
  const std::vector<std::string> d = elements(directory);
  return d.size() <= p.size() && std::equal(d.begin(), d.end(), p.begin());
}

// The path with symbolic links of its existing part resolved.
fs::path resolved(const fs::path& path) {
  boost::system::error_code ec;
  const fs::path canonical = fs::weakly_canonical(path, ec);
  return ec ? path.lexically_normal() : canonical;
}

// One location line of tablespace_map: the object number, one separator and
// the location, which is the whole rest of the line (blanks included); the
// server writes a backslash before a backslash, a carriage return or a line
// feed of the location. Empty for a blank line, a comment or a line of one word.
std::string tablespace_location(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const std::size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos || line[first] == '#') return "";
  const std::size_t gap = line.find_first_of(" \t", first);
  if (gap == std::string::npos) return "";
  const std::size_t start = line.find_first_not_of(" \t", gap);
  if (start == std::string::npos) return "";
  std::string location;
  for (std::size_t i = start; i < line.size(); ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) ++i;
    location += line[i];
  }
  return location;
}

// Deletes what lies at a destination: a file or link itself, the entries of
// a directory (the directory stays). Failures are logged and passed over.
void empty_destination(const fs::path& destination) {
  HxLogStream(HxLogLvl::Info) << "   remove PostgreSQL path: " << destination << std::endl;
  boost::system::error_code ec;
  const fs::file_status status = fs::status(destination, ec);
  if (fs::is_regular_file(status) || fs::is_symlink(fs::symlink_status(destination, ec))) {
    if (!fs::remove(destination, ec) || ec) {
      HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": can't delete: " << destination << std::endl;
    }
    return;
  }
  if (!fs::is_directory(status)) return;
  for (fs::directory_iterator it(destination, ec), end; !ec && it != end; it.increment(ec)) {
    boost::system::error_code remove_ec;
    if (fs::remove_all(it->path(), remove_ec) == 0) {
      HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": can't delete: " << it->path() << std::endl;
    }
  }
}

// Moves a restored tree into place: into an existing destination directory
// its entries (dot entries too), otherwise the tree itself to the
// destination's name. Throws when mv fails.
void move_into_place(const fs::path& source, const fs::path& destination) {
  const bool into_directory = fs::is_directory(destination);
  std::vector<std::string> entries;
  std::string source_argument;
  if (into_directory) {
    HxLogStream(HxLogLvl::Info) << "Move all files from: " << source << " to " << destination << std::endl;
    for (fs::directory_iterator it(source), end; it != end; ++it) entries.push_back(it->path().string());
    std::sort(entries.begin(), entries.end());
    source_argument = double_quoted(source.string()) + "/*";
  } else {
    HxLogStream(HxLogLvl::Info) << "Move: " << source << " to " << destination.parent_path() << std::endl;
    source_argument = double_quoted(source.string());
  }
  const std::string failure = (boost::format("can't move %1% to %2%") % source_argument % destination).str();

  if (!into_directory) {
    // -T: the tree becomes the destination, never a new entry inside an
    // unexpected directory of that name.
    if (run_program({"mv", "-T", "--", source.string(), destination.string()}, nullptr) != 0) {
      throw std::runtime_error(failure);
    }
    return;
  }
  for (std::size_t begin = 0; begin < entries.size(); begin += kMoveBatch) {
    std::vector<std::string> args = {"mv", "--"};
    const std::size_t end = std::min(entries.size(), begin + kMoveBatch);
    args.insert(args.end(), entries.begin() + static_cast<std::ptrdiff_t>(begin),
                entries.begin() + static_cast<std::ptrdiff_t>(end));
    args.push_back(destination.string());
    if (run_program(args, nullptr) != 0) throw std::runtime_error(failure);
  }
}

// The first entry named as a WAL directory directly inside `directory`.
fs::path find_wal_directory(const fs::path& directory, const pg_version& version) {
  if (!fs::is_directory(directory)) return fs::path();
  for (fs::directory_iterator it(directory), end; it != end; ++it) {
    const std::string name = it->path().filename().string();
    // Servers of major 9 name it pg_xlog.
    if (name == "pg_wal" || (version.major == 9 && name == "pg_xlog")) return it->path();
  }
  return fs::path();
}

// Refuses layouts that the deployment cannot handle safely, before anything
// on the server changes: destinations that are not absolute paths, a restore
// root and a destination of which one contains the other (emptying the
// destination, or removing the root, would destroy the other), and server
// commands whose values the account's login shell would expand.
bool layout_is_safe(const Pairs& moves, const fs::path& root, const std::vector<std::string>& shell_values) {
  const fs::path real_root = resolved(root);
  for (const auto& move : moves) {
    const fs::path& destination = move.second;
    if (!destination.is_absolute()) {
      HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": the destination " << destination
                                   << " is not an absolute path; nothing was changed" << std::endl;
      return false;
    }
    const fs::path real_destination = resolved(destination);
    if (is_within(real_root, real_destination) || is_within(real_destination, real_root)) {
      HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": the restore root " << root
                                   << " and the destination " << destination
                                   << " overlap; restore into a directory outside the server's directories. "
                                      "Nothing was changed"
                                   << std::endl;
      return false;
    }
  }
  for (const std::string& value : shell_values) {
    if (value.empty() || value.find('$') != std::string::npos) {
      HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": unusable value for the server's commands: "
                                   << double_quoted(value) << "; nothing was changed" << std::endl;
      return false;
    }
  }
  return true;
}

}  // namespace

namespace hx_postgresql_common {

bool deployment(const hx_pg_conf& conf, const pg_version& version, const std::string& data_directory,
                const std::string& config_file, const std::string& root) {
  try {
    const std::string config_directory = fs::path(config_file).parent_path().string();
    using HxDestination::printable;
    std::cout << "Direct restore PostgreSQL database cluster: " + printable(data_directory) + "...\n" << std::flush;

    Pairs moves;
    const fs::path data_source = root + data_directory;
    if (!fs::exists(data_source)) {
      HxLogStream(HxLogLvl::Error) << "Can't find data_directory in the restored archive: " << root << std::endl;
      return false;
    }
    std::cout << "Found PostgreSQL DB data_directory in the restored archive: " + printable(data_source.string()) +
                     "\n"
              << std::flush;
    moves.emplace_back(data_source, data_directory);

    const fs::path archive_source = root + conf.archive_catalog;
    if (fs::exists(archive_source)) {
      std::cout << "Found PostgreSQL DB archive WAL in the restored archive: " + printable(archive_source.string()) +
                       "\n"
                << std::flush;
    } else {
      HxLogStream(HxLogLvl::Error) << "Can't find archive WAL in the restored archive: " << root << std::endl;
      HxLogStream(HxLogLvl::Error) << "Create empty: " << archive_source << std::endl;
      fs::create_directories(archive_source);
    }
    // An archive directory inside the data directory travels with it.
    if (!is_within(archive_source, data_source)) moves.emplace_back(archive_source, conf.archive_catalog);

    const std::string map_path = root + "/" + data_directory + "/" + "tablespace_map";
    std::ifstream map(map_path);
    if (!map.is_open()) {
      HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": Can't open: " << map_path << std::endl;
      return false;
    }
    for (std::string line; std::getline(map, line);) {
      const std::string location = tablespace_location(line);
      if (location.empty()) continue;
      const fs::path source = root + location;
      if (!fs::exists(source)) {
        HxLogStream(HxLogLvl::Error) << "Tablespace catalog not found in archive: " << source.string() << std::endl;
        return false;
      }
      HxLogStream(HxLogLvl::Info) << "Found tablespace catalog in restored archive: " << source.string()
                                  << std::endl;
      // A tablespace inside the data directory travels with it.
      if (!is_within(source, data_source)) moves.emplace_back(source, location);
    }

    const std::vector<std::string> sudo = {"/usr/bin/sudo", "-iu", conf.postgresql_admin, conf.pg_ctl};
    if (!layout_is_safe(moves, root, {conf.postgresql_admin, conf.pg_ctl, config_directory})) return false;
    auto server_command = [&](std::vector<std::string> tail) {
      std::vector<std::string> args = sudo;
      args.insert(args.end(), tail.begin(), tail.end());
      return args;
    };

    // From here the server's files change: an abort no longer stops the
    // deployment, which goes on to its end.
    HxModuleUniversal::pass_point_of_no_return("the deployment into the server has begun");
    if (run_program(server_command({"status", "-D", config_directory}), nullptr) == 0) {
      HxLogStream(HxLogLvl::Info) << "PostgreSQL is up now. Shutdown required" << std::endl;
      const std::vector<std::string> stop = server_command({"stop", "-D", config_directory});
      std::string output;
      if (run_program(stop, &output) != 0) {
        HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": command: " << command_text(stop) << std::endl;
        HxLogStream(HxLogLvl::Error) << output << (output.empty() || output.back() != '\n' ? "\n" : "");
        HxLogStream(HxLogLvl::Error) << "Can't shutdown PostgreSQL" << std::endl;
        return false;
      }
      HxLogStream(HxLogLvl::Info) << "PostgreSQL shutted down" << std::endl;
    } else {
      HxLogStream(HxLogLvl::Info) << "PostgreSQL is down now" << std::endl;
    }

    for (const auto& move : moves) empty_destination(move.second);

    fs::path wal_directory;
    for (const auto& move : moves) {
      move_into_place(move.first, move.second);
      if (wal_directory.empty()) wal_directory = find_wal_directory(move.second, version);
    }

    const owner_t owner = get_user_uid_gid(conf.postgresql_admin);
    if (wal_directory.empty()) {
      HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": "
                                   << "pg_wal doesn't exist. "
                                   << "Can't start PostgreSQL without pg_wal" << std::endl;
      return false;
    }
    if (fs::is_symlink(wal_directory)) {
      HxLogStream(HxLogLvl::Debug4)
          << "'pg_wal' directory is symlink. Trying to find the directory that 'pg_wal' refers to" << std::endl;
      fs::path target = fs::read_symlink(wal_directory);
      if (target.is_relative()) target = wal_directory.parent_path() / target;
      // The link's target may hold the WAL of the server that was replaced,
      // written after the backup, which recovery would replay. It is emptied
      // unless it lies in a restored tree or holds one (or the restore root).
      const fs::path real_target = resolved(target);
      bool shared = is_within(resolved(root), real_target);
      for (const auto& move : moves) {
        const fs::path real_destination = resolved(move.second);
        shared = shared || is_within(real_target, real_destination) || is_within(real_destination, real_target);
      }
      if (!shared && fs::exists(target)) empty_destination(target);
      fs::create_directories(target);
      if (::chown(target.c_str(), boost::tuples::get<0>(owner), boost::tuples::get<1>(owner)) != 0) {
        HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ":"
                                     << (boost::format(" chown directory \"%1%\" by %2%:%3% failed (%4%)") %
                                         target % boost::tuples::get<0>(owner) % boost::tuples::get<1>(owner) %
                                         std::strerror(errno))
                                            .str();
      }
    }

    HxLogStream(HxLogLvl::Info) << " Try to start PostgreSQL..." << std::endl;
    const std::vector<std::string> start = server_command({"start", "-D", config_directory, "-l", "/dev/null"});
    if (run_program(start, nullptr) == 0) {
      HxLogStream(HxLogLvl::Info) << "PostgreSQL started" << std::endl;
    } else {
      HxLogStream(HxLogLvl::Error) << "Can't start PostgreSQL. The restored cluster is in place; start it by hand: "
                                   << command_text(server_command({"start", "-D", config_directory})) << std::endl;
    }
    boost::system::error_code ec;
    fs::remove_all(root, ec);
    if (ec) {
      HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": can't delete: " << fs::path(root) << " ("
                                   << ec.message() << ")" << std::endl;
    }
    HxLogStream(HxLogLvl::Info) << "Remove obsoleted: " << root << std::endl;
    return true;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": " << e.what() << std::endl;
    return false;
  }
}

}  // namespace hx_postgresql_common
