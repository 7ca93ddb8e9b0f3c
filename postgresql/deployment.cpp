// Deployment of a restored cluster: the server is stopped, its data
// directory, WAL archive directory and tablespace locations receive the
// restored trees, and the server is started again.
//
// Nothing on the server changes before everything that can be known has
// been checked: the restored tree, the locations it names, the WAL chain,
// the destinations and the room on their file systems, the server's state.
// From then on the server's own files are set aside inside each destination
// and removed only once every restored tree is in place (the data directory
// last); a failure puts them back and starts the server on them again. What
// a deployment killed half way leaves is resolved by the same restore run
// again (see placement.h).
//
// Every outside program runs from an argument vector, never through a shell
// of this process, so no path or setting can become part of a command.
#include "postgresql/hx_postgresql_common.h"
#include "postgresql/placement.h"

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
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/statvfs.h>

namespace fs = boost::filesystem;

namespace {

namespace pl = hx_postgresql_common::placement;
using hx_utils_common::command_text;
using hx_utils_common::run_program;
using pl::lexists;
using pl::path_text;
using pl::Placement;

const char* const kDeploymentSignature =
    "bool hx_postgresql_common::deployment(const hx_pg_conf&, const pg_version&, const string&, const string&, "
    "const string&)";

void error(const std::string& text) {
  HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": " << text << std::endl;
}

// An Error line for a deployment refused before anything was changed.
bool refuse(const std::string& text) {
  error(text + "; nothing was changed");
  return false;
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

// A destination the server names, judged as written: an absolute path
// without "." or ".." elements that is not the root directory.
bool destination_is_plain(const std::string& destination) {
  const fs::path path(destination);
  if (!path.is_absolute()) return refuse("the destination " + path_text(path) + " is not an absolute path");
  for (const fs::path& part : path) {
    if (part == "." || part == "..") {
      return refuse("the destination " + path_text(path) + " has \".\" or \"..\" elements");
    }
  }
  if (elements(path).size() <= 1) return refuse("the destination " + path_text(path) + " is the root directory");
  return true;
}

// Refuses layouts that the deployment cannot handle safely: a restore root
// and a destination of which one contains the other (filling the
// destination, or removing the root, would destroy the other), destinations
// that contain one another (those inside the data directory travel with it
// and are no destinations of their own), and server commands whose values
// the account's login shell would expand.
bool layout_is_safe(const std::vector<Placement>& placements, const fs::path& root,
                    const std::vector<std::string>& shell_values) {
  const fs::path real_root = resolved(root);
  for (std::size_t i = 0; i < placements.size(); ++i) {
    const Placement& placement = placements[i];
    if (is_within(real_root, placement.target) || is_within(placement.target, real_root)) {
      HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": the restore root " << root << " and the destination "
                                   << placement.destination
                                   << " overlap; restore into a directory outside the server's directories. "
                                      "Nothing was changed"
                                   << std::endl;
      return false;
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (is_within(placement.target, placements[j].target) || is_within(placements[j].target, placement.target)) {
        return refuse("the destinations " + path_text(placements[j].destination) + " and " +
                      path_text(placement.destination) + " contain one another");
      }
    }
  }
  for (const std::string& value : shell_values) {
    if (value.empty() || value.find('$') != std::string::npos) {
      std::ostringstream text;
      text << std::quoted(value);
      return refuse("unusable value for the server's commands: " + text.str());
    }
  }
  return true;
}

// The destination exists as a directory or can be made in an existing
// parent; entries of it that are mount points become destinations of their
// own (filled by entries, never replaced), appended to `placements`.
bool destination_is_usable(std::vector<Placement>& placements, std::size_t index) {
  struct stat st {};
  const fs::path target = placements[index].target;
  if (!lexists(target, &st)) {
    struct stat parent {};
    if (::stat(target.parent_path().c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode)) {
      return refuse("the parent directory of the destination " + path_text(placements[index].destination) +
                    " does not exist");
    }
    return true;
  }
  if (!S_ISDIR(st.st_mode)) {
    return refuse("the destination " + path_text(placements[index].destination) + " is not a directory");
  }
  for (fs::directory_iterator it(target), end; it != end; ++it) {
    struct stat entry {};
    const std::string name = it->path().filename().string();
    if (name == pl::kTaskDirectory || !lexists(it->path(), &entry) || !S_ISDIR(entry.st_mode) ||
        entry.st_dev == st.st_dev) {
      continue;
    }
    Placement nested;
    nested.destination = placements[index].destination / name;
    nested.target = it->path();
    if (!placements[index].source.empty()) {
      const fs::path source = placements[index].source / name;
      struct stat restored {};
      if (lexists(source, &restored)) {
        if (!S_ISDIR(restored.st_mode)) {
          return refuse("the destination " + path_text(nested.destination) + " is a mount point and the restored " +
                        path_text(source) + " is not a directory");
        }
        nested.source = source;
      }
    }
    placements[index].skipped.insert(name);
    placements.push_back(nested);
  }
  return true;
}

// Every file system that receives copies has room for them while the
// server's own files are still there.
bool room_is_there(const std::vector<Placement>& placements) try {
  struct Need {
    fs::path destination;
    struct statvfs space;
    std::uint64_t bytes = 0;
    std::uint64_t entries = 0;
  };
  std::map<dev_t, Need> needs;
  for (const Placement& placement : placements) {
    if (placement.source.empty() || !pl::crosses_file_systems(placement)) continue;
    const fs::path where = lexists(placement.target) ? placement.target : placement.target.parent_path();
    struct stat st {};
    struct statvfs space {};
    if (::stat(where.c_str(), &st) != 0 || ::statvfs(where.c_str(), &space) != 0) {
      return refuse("can't examine the file system of " + path_text(placement.destination) + " (" +
                    std::strerror(errno) + ")");
    }
    Need& need = needs[st.st_dev];
    if (need.destination.empty()) {
      need.destination = placement.destination;
      need.space = space;
    }
    pl::tree_size(placement, space.f_frsize, need.bytes, need.entries);
  }
  for (const auto& entry : needs) {
    const Need& need = entry.second;
    const std::uint64_t free_bytes = static_cast<std::uint64_t>(need.space.f_bavail) * need.space.f_frsize;
    if (need.bytes > free_bytes) {
      return refuse("not enough free space on the file system of " + path_text(need.destination) +
                    " for the restored files: " + std::to_string(need.bytes) + " bytes needed, " +
                    std::to_string(free_bytes) + " bytes free");
    }
    if (need.space.f_files != 0 && need.entries > need.space.f_favail) {
      return refuse("not enough free inodes on the file system of " + path_text(need.destination) +
                    " for the restored files: " + std::to_string(need.entries) + " needed, " +
                    std::to_string(need.space.f_favail) + " free");
    }
  }
  return true;
} catch (const std::exception& e) {
  return refuse(std::string("can't measure the restored files: ") + e.what());
}

// Removes what every destination set aside, the data directory's record of
// completion last; false when something stays.
bool finish_all(const std::vector<Placement>& placements) {
  for (auto it = placements.rbegin(); it != placements.rend(); ++it) {
    try {
      pl::finish(*it);
    } catch (const std::exception& e) {
      error(e.what());
      return false;
    }
  }
  return true;
}

// The Error lines of a server command that failed: the command, its output.
void command_failed(const std::vector<std::string>& args, const std::string& output) {
  error("command: " + command_text(args));
  HxLogStream(HxLogLvl::Error) << output << (output.empty() || output.back() != '\n' ? "\n" : "");
}

// Puts every destination back as it was; false when something stays.
bool roll_back(const std::vector<Placement>& placements) {
  bool whole = true;
  for (const Placement& placement : placements) {
    try {
      pl::roll_back(placement);
    } catch (const std::exception& e) {
      error(e.what());
      whole = false;
    }
  }
  return whole;
}

}  // namespace

namespace hx_postgresql_common {

bool deployment(const hx_pg_conf& conf, const pg_version& version, const std::string& data_directory,
                const std::string& config_file, const std::string& root, const std::string& last_wal_file,
                bool* keep_root) {
  if (keep_root != nullptr) *keep_root = false;
  try {
    const std::string config_directory = fs::path(config_file).parent_path().string();
    using HxDestination::printable;
    std::cout << "Direct restore PostgreSQL database cluster: " + printable(data_directory) + "...\n" << std::flush;

    // ---- The restored tree -------------------------------------------------
    const fs::path data_source = root + data_directory;
    if (!fs::exists(data_source)) {
      HxLogStream(HxLogLvl::Error) << "Can't find data_directory in the restored archive: " << root << std::endl;
      return false;
    }
    std::cout << "Found PostgreSQL DB data_directory in the restored archive: " + printable(data_source.string()) + "\n"
              << std::flush;

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

    const std::string map_path = root + "/" + data_directory + "/" + "tablespace_map";
    std::ifstream map(map_path);
    if (!map.is_open()) {
      HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": Can't open: " << map_path << std::endl;
      return false;
    }
    std::vector<std::string> locations;
    for (std::string line; std::getline(map, line);) {
      const std::string location = tablespace_location(line);
      if (location.empty()) continue;
      if (!destination_is_plain(location)) return false;
      const fs::path source = root + location;
      if (!fs::exists(source)) {
        HxLogStream(HxLogLvl::Error) << "Tablespace catalog not found in archive: " << source.string() << std::endl;
        return false;
      }
      HxLogStream(HxLogLvl::Info) << "Found tablespace catalog in restored archive: " << source.string() << std::endl;
      locations.push_back(location);
    }

    // ---- Destinations --------------------------------------------------------
    if (!destination_is_plain(data_directory) || !destination_is_plain(conf.archive_catalog)) return false;
    std::vector<Placement> placements;
    auto add = [&](const fs::path& source, const std::string& destination) {
      Placement placement;
      placement.source = source;
      placement.destination = destination;
      placement.target = resolved(destination);
      placements.push_back(placement);
    };
    add(data_source, data_directory);
    // A WAL archive or tablespace inside the data directory travels with it.
    if (!is_within(conf.archive_catalog, data_directory)) add(archive_source, conf.archive_catalog);
    for (const std::string& location : locations) {
      if (!is_within(location, data_directory)) add(root + location, location);
    }

    // The WAL directory of the restored cluster; servers of major 9 name it
    // pg_xlog. A link leads to the directory that receives the cluster's WAL.
    std::string wal_name = "pg_wal";
    if (version.major == 9 && !lexists(data_source / wal_name) && lexists(data_source / "pg_xlog")) {
      wal_name = "pg_xlog";
    }
    const fs::path wal_source = data_source / wal_name;
    fs::path wal_target;  // a link's target, made when it is missing
    if (fs::is_symlink(wal_source)) {
      HxLogStream(HxLogLvl::Debug4)
          << "'pg_wal' directory is symlink. Trying to find the directory that 'pg_wal' refers to" << std::endl;
      // Where a pg_wal link of the data directory leads, also when that is missing.
      auto leads_to = [&](const fs::path& link) {
        const fs::path to = fs::read_symlink(link);
        return resolved(to.is_relative() ? fs::path(data_directory) / to : to);
      };
      wal_target = leads_to(wal_source);
      bool inside = false;
      for (const Placement& placement : placements) inside = inside || is_within(wal_target, placement.target);
      // Outside the restored trees only the server's own WAL directory (where
      // its pg_wal leads) is emptied of the replaced server's WAL, which
      // recovery would replay, or made when it is missing; an empty directory
      // is used as it is. Anything else belongs to someone else.
      struct stat st {};
      boost::system::error_code ec;
      const fs::path live = fs::path(data_directory) / wal_name;
      const bool own = wal_target == (fs::is_symlink(fs::symlink_status(live, ec)) ? leads_to(live) : resolved(live));
      const bool present = lexists(wal_target, &st);
      if (!inside && !own) {
        if (!present || !S_ISDIR(st.st_mode) || !fs::is_empty(wal_target, ec) || ec) {
          return refuse("the restored " + wal_name + " is a link to " + path_text(wal_target) +
                        ", which is not the WAL directory of the server's cluster");
        }
        wal_target.clear();
      } else if (!inside && present) {
        Placement placement;
        placement.destination = wal_target;
        placement.target = wal_target;
        placements.push_back(placement);
      }
    }
    if (!layout_is_safe(placements, root, {conf.postgresql_admin, conf.pg_ctl, config_directory})) return false;

    if (!restored_wal_chain_complete(data_source.string(), archive_source.string(), last_wal_file)) return false;

    for (std::size_t i = 0, n = placements.size(); i < n; ++i) {
      if (!destination_is_usable(placements, i)) return false;
    }
    // A pg_wal that is a mount point of the server is filled by entries.
    if (!lexists(wal_source) && placements.front().skipped.count(wal_name) == 0) {
      HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": "
                                   << "pg_wal doesn't exist. "
                                   << "Can't start PostgreSQL without pg_wal" << std::endl;
      return false;
    }
    const owner_t owner = get_user_uid_gid(conf.postgresql_admin);

    // What a deployment of this restore killed half way left is resolved
    // once the server is stopped; one of another restore root stays.
    bool interrupted = false;
    for (const Placement& placement : placements) {
      std::string recorded;
      if (!pl::interrupted(placement, recorded)) continue;
      if (recorded != root) {
        return refuse("the destination " + path_text(placement.destination) +
                      " holds the set-aside files of an interrupted deployment of the restore root " +
                      path_text(recorded) + ": run that restore again to complete it");
      }
      interrupted = true;
    }
    if (!interrupted && !room_is_there(placements)) return false;

    // ---- The server ------------------------------------------------------------
    const std::vector<std::string> sudo = {"/usr/bin/sudo", "-iu", conf.postgresql_admin, conf.pg_ctl};
    auto server_command = [&](std::vector<std::string> tail) {
      std::vector<std::string> args = sudo;
      args.insert(args.end(), tail.begin(), tail.end());
      return args;
    };
    const std::vector<std::string> start = server_command({"start", "-D", config_directory, "-l", "/dev/null"});
    auto start_server = [&]() {
      HxLogStream(HxLogLvl::Info) << " Try to start PostgreSQL..." << std::endl;
      if (run_program(start, nullptr) != 0) return false;
      HxLogStream(HxLogLvl::Info) << "PostgreSQL started" << std::endl;
      return true;
    };

    // pg_ctl status: 0 running, 3 not running, 4 no accessible data
    // directory (not running either); anything else is a failed check (sudo
    // refusing, a login shell failing, no pg_ctl), which says nothing.
    const std::vector<std::string> status = server_command({"status", "-D", config_directory});
    std::string output;
    const int state = run_program(status, &output);
    if (state != 0 && state != 3 && state != 4) {
      command_failed(status, output);
      return refuse("can't tell whether PostgreSQL is running (exit status " + std::to_string(state) + ")");
    }
    const bool was_running = state == 0;
    // From here the server changes: an abort no longer stops the
    // deployment, which finishes or puts everything back.
    HxModuleUniversal::pass_point_of_no_return("the deployment into the server has begun");
    if (was_running) {
      HxLogStream(HxLogLvl::Info) << "PostgreSQL is up now. Shutdown required" << std::endl;
      const std::vector<std::string> stop = server_command({"stop", "-D", config_directory});
      output.clear();
      if (run_program(stop, &output) != 0) {
        command_failed(stop, output);
        HxLogStream(HxLogLvl::Error) << "Can't shutdown PostgreSQL" << std::endl;
        return false;
      }
      HxLogStream(HxLogLvl::Info) << "PostgreSQL shutted down" << std::endl;
    } else {
      HxLogStream(HxLogLvl::Info) << "PostgreSQL is down now" << std::endl;
    }
    if (keep_root != nullptr) *keep_root = true;

    if (interrupted) {
      const bool complete = pl::completed(placements.front());
      HxLogStream(HxLogLvl::Info) << "Found the files of an interrupted deployment of this restore: "
                                  << (complete ? "completing it" : "putting the server's own files back") << std::endl;
      if (!(complete ? finish_all(placements) : roll_back(placements))) {
        error("the interrupted deployment could not be resolved; the server was not started");
        return false;
      }
      if (!room_is_there(placements)) {
        if (was_running && !start_server()) HxLogStream(HxLogLvl::Error) << "Can't start PostgreSQL" << std::endl;
        return false;
      }
    }

    // ---- Set aside, fill (the data directory last), complete -------------------
    try {
      std::vector<bool> made;
      for (const Placement& placement : placements) made.push_back(pl::prepare(placement, root));
      for (const Placement& placement : placements) {
        HxLogStream(HxLogLvl::Info) << "   remove PostgreSQL path: " << placement.destination << std::endl;
        pl::set_aside(placement);
      }
      for (std::size_t i = placements.size(); i-- > 0;) {
        const Placement& placement = placements[i];
        if (placement.source.empty()) continue;
        if (made[i]) {
          HxLogStream(HxLogLvl::Info) << "Move: " << placement.source << " to " << placement.destination.parent_path()
                                      << std::endl;
        } else {
          HxLogStream(HxLogLvl::Info) << "Move all files from: " << placement.source << " to " << placement.destination
                                      << std::endl;
        }
        pl::fill(placement);
      }
      if (!wal_target.empty() && !lexists(wal_target)) {
        fs::create_directories(wal_target);
        if (!hand_over(wal_target, owner)) {
          HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ":"
                                       << (boost::format(" chown directory \"%1%\" by %2%:%3% failed (%4%)") %
                                           wal_target % boost::tuples::get<0>(owner) %
                                           boost::tuples::get<1>(owner) % std::strerror(errno))
                                              .str();
        }
      }
      pl::mark_completed(placements.front());
    } catch (const std::exception& e) {
      error(e.what());
      HxLogStream(HxLogLvl::Info) << "Putting the server's own files back" << std::endl;
      if (!roll_back(placements)) {
        error(
            "the server's own files could not all be put back; the server was not started. Run the same "
            "restore again: it puts them back or completes the deployment first");
        return false;
      }
      error(
          "the restored cluster was not deployed: the server's own files are back in place and the restore "
          "root " +
          path_text(root) + " is kept for another run");
      if (was_running && !start_server()) HxLogStream(HxLogLvl::Error) << "Can't start PostgreSQL" << std::endl;
      return false;
    }

    // The restored cluster is wholly in place: what was set aside goes.
    if (!finish_all(placements)) {
      error("the server's old files stay in " + path_text(pl::task_directory(placements.front())) +
            " and below; the same restore run again removes them");
    }

    if (!start_server()) {
      HxLogStream(HxLogLvl::Error) << "Can't start PostgreSQL. The restored cluster is in place; start it by hand: "
                                   << command_text(server_command({"start", "-D", config_directory})) << std::endl;
    }
    if (keep_root != nullptr) *keep_root = false;
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
