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
// again, from the records it keeps where only root can write (placement.h).
//
// The restored tree is read through descriptors opened once, without
// following a link in any element below the restore root; the destinations
// (whose owner, the server's account, may change them at any moment) are
// worked on through descriptors opened without following links too. Every
// outside program runs from an argument vector, never through a shell of
// this process, so no path or setting can become part of a command.
#include "postgresql/hx_postgresql_common.h"
#include "postgresql/placement.h"

#include "log/hx_logger.h"
#include "module/hx_modules_common.h"
#include "utils/hx_utils_common.h"

#include <boost/format.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace {

namespace pl = hx_postgresql_common::placement;
using hx_postgresql_common::owner_t;
using hx_utils_common::command_text;
using hx_utils_common::run_program;
using hx_utils_common::UniqueFd;
using pl::path_text;
using pl::Placement;

const char* const kDeploymentSignature =
    "bool hx_postgresql_common::deployment(const hx_pg_conf&, const pg_version&, const string&, const string&, "
    "const string&)";

// Regular files of the restored data directory that the deployment reads: a
// destination receives copies of them, so that what the server's account
// may change there never comes back into the restore root.
const std::set<std::string> kReadFiles = {"backup_label", "tablespace_map"};

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
    if (name == "." || name.empty() || name == "/") continue;
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
// the location, which is the whole rest of the line (blanks included; a
// carriage return that ends the line left out); the server writes a
// backslash before a backslash, a carriage return or a line feed of the
// location. Empty for a blank line, a comment or a line of one word.
std::string tablespace_location(const std::string& line) {
  const std::size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos || line[first] == '#') return "";
  const std::size_t gap = line.find_first_of(" \t", first);
  if (gap == std::string::npos) return "";
  const std::size_t start = line.find_first_not_of(" \t", gap);
  if (start == std::string::npos) return "";
  std::string location;
  for (std::size_t i = start; i < line.size(); ++i) {
    if (line[i] == '\r' && i + 1 == line.size()) break;
    if (line[i] == '\\' && i + 1 < line.size()) ++i;
    location += line[i];
  }
  return location;
}

// The locations of tablespace_map, line by line; a line feed after an
// escaping backslash belongs to the location.
std::vector<std::string> tablespace_locations(const std::string& map) {
  std::vector<std::string> lines(1);
  for (std::size_t i = 0; i < map.size(); ++i) {
    if (map[i] == '\n') {
      lines.emplace_back();
      continue;
    }
    lines.back() += map[i];
    if (map[i] == '\\' && i + 1 < map.size()) lines.back() += map[++i];
  }
  std::vector<std::string> locations;
  for (const std::string& line : lines) {
    const std::string location = tablespace_location(line);
    if (!location.empty()) locations.push_back(location);
  }
  return locations;
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
  if (elements(path).empty()) return refuse("the destination " + path_text(path) + " is the root directory");
  return true;
}

// The link `name` of the directory `at`, read once; false when it is none.
bool read_link_at(int at, const std::string& name, std::string& target) {
  std::vector<char> buffer(PATH_MAX + 1);
  const ssize_t size = ::readlinkat(at, name.c_str(), buffer.data(), buffer.size());
  if (size < 0 || static_cast<std::size_t>(size) >= buffer.size()) return false;
  target.assign(buffer.data(), static_cast<std::size_t>(size));
  return true;
}

// The directory `path` below the directory `start` (shown as `shown`),
// opened element by element without following a link. Missing elements are
// made when `owner` is given (root's, 0755; the last one 0700 and given to
// the owner); otherwise `missing` is set and the result is the deepest
// directory that exists, whose path `deepest` (when given) receives. A link
// or anything else that is no directory on the way gives an empty result and
// `why`.
UniqueFd walk(int start, const fs::path& shown, const fs::path& path, const owner_t* owner, bool& missing,
              std::string& why, fs::path* deepest = nullptr) {
  missing = false;
  const std::vector<std::string> names = elements(path);
  UniqueFd current(::openat(start, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  fs::path reached = shown;
  for (std::size_t i = 0; current && i < names.size(); ++i) {
    const bool last = i + 1 == names.size();
    reached /= names[i];
    UniqueFd next = hx_utils_common::open_directory_at(current.get(), names[i]);
    bool made = false;
    if (!next && errno == ENOENT && owner == nullptr) {
      missing = true;
      if (deepest != nullptr) *deepest = reached.parent_path();
      return current;
    }
    if (!next && errno == ENOENT) {
      // What is opened is checked to be the directory just made, before it
      // is handed over: one that the account put at the name meanwhile is
      // never taken for it.
      next = hx_utils_common::make_directory_at(current.get(), names[i], last ? 0700 : 0755);
      made = next.valid();
      // The directory made reaches stable storage with its name.
      if (made) ::fsync(current.get());
      // Made meanwhile by someone else: judged as found.
      if (!next && errno == EEXIST) next = hx_utils_common::open_directory_at(current.get(), names[i]);
    }
    if (!next) {
      const int reason = errno;
      struct stat st {};
      why = ::fstatat(current.get(), names[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
                ? path_text(reached) + " on the way is a " + hx_utils_common::file_type_word(st.st_mode)
                : path_text(reached) + " can't be opened (" + std::strerror(reason) + ")";
      return UniqueFd();
    }
    struct stat found {};
    if (!made && last && owner != nullptr && boost::tuples::get<0>(*owner) != 0 &&
        (::fstat(next.get(), &found) != 0 || found.st_uid != boost::tuples::get<0>(*owner))) {
      why = path_text(reached) + " was made meanwhile by another than the server's account: it is " +
            hx_utils_common::describe_entry(found);
      return UniqueFd();
    }
    if (made && last &&
        ::fchown(next.get(), boost::tuples::get<0>(*owner), boost::tuples::get<1>(*owner)) != 0) {
      HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ":"
                                   << (boost::format(" chown directory \"%1%\" by %2%:%3% failed (%4%)") %
                                       reached.string() % boost::tuples::get<0>(*owner) %
                                       boost::tuples::get<1>(*owner) % std::strerror(errno))
                                          .str();
    }
    current = std::move(next);
  }
  return current;
}

// The directory at the absolute `path`, walked from "/".
UniqueFd walk(const fs::path& path, const owner_t* owner, bool& missing, std::string& why,
              fs::path* deepest = nullptr) {
  const UniqueFd top(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return walk(top.get(), "/", path, owner, missing, why, deepest);
}

// What the checks found: the server's account, the restored tree (opened),
// the destinations with their directories, and the WAL directory a pg_wal
// link leads to when it is to be made.
struct Plan {
  std::string account;  // the server's account, which owns every destination
  owner_t owner;
  UniqueFd root;
  fs::path data_source;
  fs::path archive_source;
  std::vector<Placement> placements;
  std::string wal_name;
  fs::path wal_outside;  // the server's own WAL directory, missing: made before the server stops
  UniqueFd wal_base;     // the deepest directory on its way that exists, the account's
  fs::path wal_base_path;
  fs::path wal_inside;   // inside a destination: made once the destinations are filled
  std::size_t wal_inside_of = 0;  // that destination
};

// True when the directory `fd` at `path` is the server's account's. Only
// such a directory is emptied and filled, and a missing destination (`made`)
// is made only in one: a tablespace location or a pg_wal link, which the
// account could have chosen, never leads the deployment to replace or add to
// what root or another account owns.
bool account_owns(const Plan& plan, int fd, const fs::path& path, const fs::path& made = fs::path()) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return refuse("can't examine " + path_text(path) + " (" + std::strerror(errno) + ")");
  const uid_t uid = boost::tuples::get<0>(plan.owner);
  if (st.st_uid == uid) return true;
  const std::string owned = "owned by uid " + std::to_string(st.st_uid) + ", not by the server's account " +
                            plan.account + " (uid " + std::to_string(uid) + ")";
  if (made.empty()) return refuse("the destination " + path_text(path) + " is " + owned);
  return refuse("the destination " + path_text(made) + " does not exist, and " + path_text(path) +
                ", where it would be made, is " + owned + ": make it for that account and run the restore again");
}

// Whether the missing destination of `placement` may be made in the parent
// it opened: one of the server's account's or, for the data directory and
// the WAL archive (which the client and root's configuration name), one of
// root's that is reached from "/" through directories only root can change,
// so that no other account could have led the path there. The parent kept is
// the one judged.
bool parent_may_hold(const Plan& plan, Placement& placement, const std::string& destination, bool configured) {
  const fs::path target = placement.record.target;
  struct stat st {};
  if (configured && ::fstat(placement.parent.get(), &st) == 0 && st.st_uid == 0) {
    // The parent as named: a link on the way is never followed.
    const std::vector<std::string> names = elements(destination);
    fs::path parent("/");
    for (std::size_t i = 0; i + 1 < names.size(); ++i) parent /= names[i];
    std::string why;
    UniqueFd trusted = hx_utils_common::open_trusted_directory(parent.string(), why);
    if (!trusted) {
      return refuse("the destination " + path_text(destination) +
                    " does not exist, and the directory to make it in can't be trusted: " + why);
    }
    placement.parent = std::move(trusted);
    return true;
  }
  return account_owns(plan, placement.parent.get(), target.parent_path(), target);
}

// Whether the server's account reaches the directory `fd` by the path
// `path` with its own permissions: a child process that takes the account's
// credentials opens the path, following whatever links the server would
// follow, and it must find that very directory. A directory the account
// cannot reach (inside one that only root may enter, say, through a link
// the account planted on the way) is no directory of its server's, and the
// deployment never changes it for it. False with a refusal logged.
bool account_reaches(const Plan& plan, int fd, const std::string& path, const std::string& what) {
  const uid_t uid = boost::tuples::get<0>(plan.owner);
  const gid_t gid = boost::tuples::get<1>(plan.owner);
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  if (::getgrouplist(plan.account.c_str(), gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
    if (::getgrouplist(plan.account.c_str(), gid, groups.data(), &count) < 0) count = 0;
  }
  struct Reached {
    int error;
    dev_t device;
    ino_t inode;
  } reached{EINVAL, 0, 0};
  int channel[2];
  if (::pipe2(channel, O_CLOEXEC) != 0) return refuse("can't examine " + what + " (" + std::strerror(errno) + ")");
  const char* const name = path.c_str();
  const pid_t child = ::fork();
  if (child == 0) {
    // Only calls that are safe in the child of a process with threads.
    Reached result{0, 0, 0};
    struct stat st {};
    int opened = -1;
    if (::setgroups(static_cast<std::size_t>(count), groups.data()) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) {
      result.error = errno;
    } else if ((opened = ::open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0 ||  // by name, as the account
               ::fstat(opened, &st) != 0) {
      result.error = errno;
    } else {
      result.device = st.st_dev;
      result.inode = st.st_ino;
    }
    const ssize_t written = ::write(channel[1], &result, sizeof result);
    ::_exit(written == static_cast<ssize_t>(sizeof result) ? 0 : 1);
  }
  ::close(channel[1]);
  const ssize_t got = child > 0 ? ::read(channel[0], &reached, sizeof reached) : -1;
  ::close(channel[0]);
  if (child > 0) ::waitpid(child, nullptr, 0);
  struct stat st {};
  if (got == static_cast<ssize_t>(sizeof reached) && reached.error == 0 && ::fstat(fd, &st) == 0 &&
      st.st_dev == reached.device && st.st_ino == reached.inode) {
    return true;
  }
  return refuse("the server's account " + plan.account + " can't reach " + what + " by its path " +
                path_text(path) +
                (got == static_cast<ssize_t>(sizeof reached) && reached.error != 0
                     ? " (" + std::string(std::strerror(reached.error)) + ")"
                     : ", which leads it to another directory") +
                ": the deployment changes only directories the server can use");
}

// The restored directory `path` of the server below the restore root, opened
// without following a link in any element; false with errno set.
bool open_restored(const Plan& plan, const std::string& path, UniqueFd& out) {
  out = hx_utils_common::open_directory_nofollow(fs::path(path).relative_path().string(), plan.root.get());
  return out.valid();
}

bool not_plain_tree(const fs::path& source, const std::string& root) {
  return refuse("the restored " + path_text(source) +
                " is not a directory reached without following links; remove the restore root " + path_text(root) +
                " and run the restore again");
}

// The restored tree: the restore root, the data directory, the WAL archive
// (made empty when missing) and the tablespaces that tablespace_map names.
bool check_restored_tree(Plan& plan, const hx_pg_conf& conf, const std::string& data_directory,
                         const std::string& root, std::vector<std::string>& locations) {
  using HxDestination::printable;
  plan.root = hx_utils_common::open_directory_nofollow(root);
  UniqueFd data;
  plan.data_source = root + data_directory;
  if (!plan.root || !open_restored(plan, data_directory, data)) {
    if (errno != ENOENT) return not_plain_tree(plan.data_source, root);
    HxLogStream(HxLogLvl::Error) << "Can't find data_directory in the restored archive: " << root << std::endl;
    return false;
  }
  std::cout << "Found PostgreSQL DB data_directory in the restored archive: " +
                   printable(plan.data_source.string()) + "\n"
            << std::flush;

  plan.archive_source = root + conf.archive_catalog;
  UniqueFd archive;
  if (open_restored(plan, conf.archive_catalog, archive)) {
    std::cout << "Found PostgreSQL DB archive WAL in the restored archive: " +
                     printable(plan.archive_source.string()) + "\n"
              << std::flush;
  } else if (errno == ENOENT) {
    HxLogStream(HxLogLvl::Error) << "Can't find archive WAL in the restored archive: " << root << std::endl;
    HxLogStream(HxLogLvl::Error) << "Create empty: " << plan.archive_source << std::endl;
    bool missing = false;
    std::string why;
    const owner_t owner(0, 0);
    archive = walk(plan.root.get(), root, fs::path(conf.archive_catalog).relative_path(), &owner, missing, why);
    if (!archive) return not_plain_tree(plan.archive_source, root);
  } else {
    return not_plain_tree(plan.archive_source, root);
  }

  const std::string map_path = root + "/" + data_directory + "/" + "tablespace_map";
  std::string map;
  std::string why;
  if (!hx_utils_common::read_regular_file("tablespace_map", map, why, data.get())) {
    HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": Can't open: " << map_path << std::endl;
    return false;
  }
  for (const std::string& location : tablespace_locations(map)) {
    if (!destination_is_plain(location)) return false;
    const fs::path source = root + location;
    UniqueFd opened;
    if (!open_restored(plan, location, opened)) {
      if (errno != ENOENT) return not_plain_tree(source, root);
      HxLogStream(HxLogLvl::Error) << "Tablespace catalog not found in archive: " << source.string() << std::endl;
      return false;
    }
    HxLogStream(HxLogLvl::Info) << "Found tablespace catalog in restored archive: " << source.string() << std::endl;
    locations.push_back(location);
  }
  return true;
}

// Adds the destination `destination` with its restored tree `source` (a path
// of the server, or empty): resolved through the server's own links, then
// opened without following any (or its parent, when it does not exist and
// may be made there; `configured` for those the client or root's
// configuration names).
bool add_placement(Plan& plan, const std::string& source, const std::string& destination, const std::string& root,
                   bool configured) {
  Placement placement;
  placement.record.destination = destination;
  placement.record.target = resolved(destination).string();
  const fs::path target = placement.record.target;
  if (!source.empty()) {
    placement.record.source = fs::path(source).relative_path().string();
    placement.source_path = root + source;
    if (!open_restored(plan, source, placement.source)) return not_plain_tree(placement.source_path, root);
  }
  placement.target = hx_utils_common::open_directory_nofollow(target.string());
  if (!placement.target) {
    if (errno != ENOENT) return refuse("the destination " + path_text(destination) + " is not a directory");
    placement.parent = hx_utils_common::open_directory_nofollow(target.parent_path().string());
    if (!placement.parent) {
      return refuse("the parent directory of the destination " + path_text(destination) + " does not exist");
    }
    if (!parent_may_hold(plan, placement, destination, configured)) return false;
    placement.record.made = pl::Step::Begun;
  }
  placement.record.aside = pl::Step::Begun;
  plan.placements.push_back(std::move(placement));
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
    const pl::Record& placement = placements[i].record;
    if (is_within(real_root, placement.target) || is_within(placement.target, real_root)) {
      HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": the restore root " << root << " and the destination "
                                   << fs::path(placement.destination)
                                   << " overlap; restore into a directory outside the server's directories. "
                                      "Nothing was changed"
                                   << std::endl;
      return false;
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (is_within(placement.target, placements[j].record.target) ||
          is_within(placements[j].record.target, placement.target)) {
        return refuse("the destinations " + path_text(placements[j].record.destination) + " and " +
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

// The WAL directory of the restored cluster (servers of major 9 name it
// pg_xlog). A pg_wal link leads to the directory that receives the
// cluster's WAL: inside a destination it is made after the fill; outside,
// only the server's own WAL directory (where its live pg_wal leads) is
// emptied, or made when missing, and an empty directory is used as it is;
// either is the account's, or made below a directory of the account's.
// The directory is reached without following any link.
bool check_wal_link(Plan& plan, const pg_version& version) {
  Placement& data = plan.placements.front();
  const int restored = data.source.get();
  struct stat st {};
  plan.wal_name = "pg_wal";
  if (version.major == 9 && ::fstatat(restored, "pg_wal", &st, AT_SYMLINK_NOFOLLOW) != 0 &&
      ::fstatat(restored, "pg_xlog", &st, AT_SYMLINK_NOFOLLOW) == 0) {
    plan.wal_name = "pg_xlog";
  }
  std::string link;
  if (!read_link_at(restored, plan.wal_name, link)) return true;
  HxLogStream(HxLogLvl::Debug4) << "'pg_wal' directory is symlink. Trying to find the directory that 'pg_wal' refers to"
                                << std::endl;
  const fs::path data_target = data.record.target;
  auto leads_to = [&](const std::string& text) {
    const fs::path to(text);
    return (to.is_relative() ? data_target / to : to).lexically_normal();
  };
  const fs::path target = leads_to(link);
  for (std::size_t i = 0; i < plan.placements.size(); ++i) {
    if (is_within(target, plan.placements[i].record.target)) {
      plan.wal_inside = target;
      plan.wal_inside_of = i;
      return true;
    }
  }
  std::string live;
  const bool own = data.target && read_link_at(data.target.get(), plan.wal_name, live) && leads_to(live) == target;
  bool missing = false;
  std::string why;
  fs::path deepest;
  UniqueFd found = walk(target, nullptr, missing, why, &deepest);
  const std::string head = "the restored " + plan.wal_name + " is a link to " + path_text(target);
  if (!why.empty()) return refuse(head + ", and " + why);
  std::vector<std::string> names;
  if (!own) {
    if (missing || !hx_utils_common::directory_names(found.get(), names) || !names.empty()) {
      return refuse(head + ", which is not the WAL directory of the server's cluster");
    }
    return account_owns(plan, found.get(), target);
  }
  if (missing) {
    if (!account_owns(plan, found.get(), deepest, target) ||
        !account_reaches(plan, found.get(), deepest.string(),
                         "the directory " + path_text(deepest) + " that is to hold " + path_text(target))) {
      return false;
    }
    plan.wal_outside = target;
    plan.wal_base = std::move(found);
    plan.wal_base_path = deepest;
    return true;
  }
  Placement placement;
  placement.record.destination = target.string();
  placement.record.target = target.string();
  placement.record.aside = pl::Step::Begun;
  placement.target = std::move(found);
  plan.placements.push_back(std::move(placement));
  return true;
}

// The destination exists as a directory of the server's account or can be
// made in an existing parent; it holds no set-aside directory that no
// deployment recorded; entries of it that are mount points become
// destinations of their own (filled by entries, never replaced), appended to
// the plan's placements.
bool destination_is_usable(Plan& plan, std::size_t index) {
  std::vector<Placement>& placements = plan.placements;
  if (!placements[index].target) {
    const fs::path parent = fs::path(placements[index].record.destination).parent_path();
    return account_reaches(plan, placements[index].parent.get(), parent.string(),
                           "the directory " + path_text(parent) + " that is to hold the destination " +
                               path_text(placements[index].record.destination));
  }
  const int target = placements[index].target.get();
  const fs::path target_path = placements[index].record.target;
  if (!account_owns(plan, target, target_path)) return false;
  if (!account_reaches(plan, target, placements[index].record.destination,
                       "the destination " + path_text(placements[index].record.destination))) {
    return false;
  }
  struct stat st {};
  std::vector<std::string> names;
  if (::fstat(target, &st) != 0 || !hx_utils_common::directory_names(target, names)) {
    return refuse("can't read the destination " + path_text(placements[index].record.destination) + " (" +
                  std::strerror(errno) + ")");
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (name.rfind(pl::kTaskDirectory, 0) == 0) {
      return refuse("the destination " + path_text(placements[index].record.destination) + " holds " +
                    path_text(target_path / name) +
                    ", which no deployment of this module recorded (it was not read); remove it and run the "
                    "restore again");
    }
    struct stat entry {};
    if (::fstatat(target, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(entry.st_mode) ||
        entry.st_dev == st.st_dev) {
      continue;
    }
    Placement nested;
    nested.record.destination = (fs::path(placements[index].record.destination) / name).string();
    nested.record.target = (target_path / name).string();
    nested.record.aside = pl::Step::Begun;
    nested.target = hx_utils_common::open_directory_at(target, name);
    if (!nested.target) return refuse("can't open the mount point " + path_text(nested.record.target));
    if (placements[index].source) {
      const fs::path source = placements[index].source_path / name;
      struct stat restored {};
      if (::fstatat(placements[index].source.get(), name.c_str(), &restored, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISDIR(restored.st_mode)) {
          return refuse("the destination " + path_text(nested.record.destination) +
                        " is a mount point and the restored " + path_text(source) + " is not a directory");
        }
        nested.record.source = (fs::path(placements[index].record.source) / name).string();
        nested.source_path = source;
        nested.source = hx_utils_common::open_directory_at(placements[index].source.get(), name);
        if (!nested.source) return refuse("can't open the restored " + path_text(source));
      }
    }
    placements[index].skipped.insert(name);
    placements.push_back(std::move(nested));
  }
  // Everything the destination holds goes aside and, once the restored
  // cluster is in place, is removed: all of it must be the server's account's.
  const std::string foreign =
      pl::first_foreign_entry(target, target_path, boost::tuples::get<0>(plan.owner), placements[index].skipped);
  if (!foreign.empty()) {
    return refuse("the destination " + path_text(placements[index].record.destination) + " holds " + foreign +
                  "; the deployment sets aside and removes only what the server's account owns on the "
                  "destination's own mount: move it out of the destination and run the restore again");
  }
  return true;
}

// Every file system that receives copies has room for them while the
// server's own files are still there.
bool room_is_there(const std::vector<Placement>& placements) try {
  struct Need {
    std::string destination;
    struct statvfs space;
    std::uint64_t bytes = 0;
    std::uint64_t entries = 0;
  };
  std::map<dev_t, Need> needs;
  for (const Placement& placement : placements) {
    if (!placement.source || !pl::crosses_file_systems(placement)) continue;
    const int where = placement.target ? placement.target.get() : placement.parent.get();
    struct stat st {};
    struct statvfs space {};
    if (::fstat(where, &st) != 0 || ::fstatvfs(where, &space) != 0) {
      return refuse("can't examine the file system of " + path_text(placement.record.destination) + " (" +
                    std::strerror(errno) + ")");
    }
    Need& need = needs[st.st_dev];
    if (need.destination.empty()) {
      need.destination = placement.record.destination;
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

// Everything that can be known before the server is stopped.
bool make_plan(Plan& plan, const hx_pg_conf& conf, const pg_version& version, const std::string& data_directory,
               const std::string& config_directory, const std::string& root, const std::string& last_wal_file) {
  std::vector<std::string> locations;
  if (!check_restored_tree(plan, conf, data_directory, root, locations)) return false;
  if (!destination_is_plain(data_directory) || !destination_is_plain(conf.archive_catalog)) return false;
  if (!add_placement(plan, data_directory, data_directory, root, true)) return false;
  // A WAL archive or tablespace inside the data directory travels with it.
  if (!is_within(conf.archive_catalog, data_directory) &&
      !add_placement(plan, conf.archive_catalog, conf.archive_catalog, root, true)) {
    return false;
  }
  for (const std::string& location : locations) {
    if (!is_within(location, data_directory) && !add_placement(plan, location, location, root, false)) return false;
  }
  if (!check_wal_link(plan, version)) return false;
  if (!layout_is_safe(plan.placements, root, {conf.postgresql_admin, conf.pg_ctl, config_directory})) return false;
  if (!hx_postgresql_common::restored_wal_chain_complete(plan.data_source.string(), plan.archive_source.string(),
                                                         last_wal_file)) {
    return false;
  }
  for (std::size_t i = 0; i < plan.placements.size(); ++i) {
    if (!destination_is_usable(plan, i)) return false;
  }
  // The deployment's own directories have their names in every destination:
  // a restored tree holding one (a backup made while a set-aside directory
  // was kept) can't be put in place.
  for (const Placement& placement : plan.placements) {
    std::vector<std::string> names;
    if (!placement.source || !hx_utils_common::directory_names(placement.source.get(), names)) continue;
    for (const std::string& name : names) {
      if (name.rfind(pl::kTaskDirectory, 0) != 0) continue;
      return refuse("the restored " + path_text(placement.source_path / name) + " has a name the deployment keeps "
                    "for its own directory: restore the record without deployment and remove it from the restored "
                    "tree before it is put in place");
    }
  }
  // A pg_wal that is a mount point of the server is filled by entries.
  struct stat st {};
  if (::fstatat(plan.placements.front().source.get(), plan.wal_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
      plan.placements.front().skipped.count(plan.wal_name) == 0) {
    HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": "
                                 << "pg_wal doesn't exist. "
                                 << "Can't start PostgreSQL without pg_wal" << std::endl;
    return false;
  }
  return room_is_there(plan.placements);
}

// The server's commands, run as its account through sudo.
class Server {
 public:
  Server(const hx_pg_conf& conf, std::string config_directory)
      : sudo_{"/usr/bin/sudo", "-iu", conf.postgresql_admin, conf.pg_ctl}, config_directory_(std::move(config_directory)) {}

  std::vector<std::string> command(const std::vector<std::string>& tail) const {
    std::vector<std::string> args = sudo_;
    args.insert(args.end(), tail.begin(), tail.end());
    return args;
  }

  // pg_ctl status: 0 running, 3 not running, 4 no accessible data
  // directory (not running either); anything else is a failed check (sudo
  // refusing, a login shell failing, no pg_ctl), which says nothing and is
  // refused.
  bool status(bool& running) const {
    const std::vector<std::string> status = command({"status", "-D", config_directory_});
    std::string output;
    const int state = run_program(status, &output);
    if (state != 0 && state != 3 && state != 4) {
      failed(status, output);
      return refuse("can't tell whether PostgreSQL is running (exit status " + std::to_string(state) + ")");
    }
    running = state == 0;
    return true;
  }

  bool stop(bool running) const {
    if (!running) {
      HxLogStream(HxLogLvl::Info) << "PostgreSQL is down now" << std::endl;
      return true;
    }
    HxLogStream(HxLogLvl::Info) << "PostgreSQL is up now. Shutdown required" << std::endl;
    const std::vector<std::string> stop = command({"stop", "-D", config_directory_});
    std::string output;
    if (run_program(stop, &output) != 0) {
      failed(stop, output);
      HxLogStream(HxLogLvl::Error) << "Can't shutdown PostgreSQL" << std::endl;
      return false;
    }
    HxLogStream(HxLogLvl::Info) << "PostgreSQL shutted down" << std::endl;
    return true;
  }

  bool start() const {
    HxLogStream(HxLogLvl::Info) << " Try to start PostgreSQL..." << std::endl;
    if (run_program(command({"start", "-D", config_directory_, "-l", "/dev/null"}), nullptr) != 0) return false;
    HxLogStream(HxLogLvl::Info) << "PostgreSQL started" << std::endl;
    return true;
  }

  // Starts a server that ran before, after its own files are back.
  void restart_if(bool ran) const {
    if (ran && !start()) HxLogStream(HxLogLvl::Error) << "Can't start PostgreSQL" << std::endl;
  }

  std::string start_by_hand() const { return command_text(command({"start", "-D", config_directory_})); }

 private:
  // The Error lines of a server command that failed: the command, its output.
  static void failed(const std::vector<std::string>& args, const std::string& output) {
    error("command: " + command_text(args));
    HxLogStream(HxLogLvl::Error) << output << (output.empty() || output.back() != '\n' ? "\n" : "");
  }

  std::vector<std::string> sudo_;
  std::string config_directory_;
};

// Removes what every recorded destination set aside, the data directory's
// last; false when something could not be removed (what is kept because it
// is not the account's was named in Warnings and is no failure).
bool finish_all(const pl::Records& records, uid_t account) {
  for (auto it = records.placements.rbegin(); it != records.placements.rend(); ++it) {
    try {
      pl::finish(*it, account);
    } catch (const std::exception& e) {
      error(e.what());
      return false;
    }
  }
  return true;
}

// Puts every recorded destination back as it was; false when something
// stays. `root_whole` becomes false when the restore root no longer holds
// every restored entry.
bool roll_back_all(const pl::Records& records, uid_t account, bool& root_whole) {
  bool whole = true;
  root_whole = true;
  for (const pl::Record& record : records.placements) {
    try {
      if (!pl::roll_back(record, records.root, account)) root_whole = false;
    } catch (const std::exception& e) {
      error(e.what());
      whole = false;
      root_whole = false;
    }
  }
  return whole;
}

// Refuses, before the server is stopped, an interrupted deployment whose
// destinations hold a set-aside entry its records do not name.
bool interrupted_is_ours(const pl::Records& records) {
  for (const pl::Record& record : records.placements) {
    const UniqueFd target = hx_utils_common::open_directory_nofollow(record.target);
    std::vector<std::string> names;
    if (!target || !hx_utils_common::directory_names(target.get(), names)) continue;
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (name.rfind(pl::kTaskDirectory, 0) != 0) continue;
      std::string at;
      if (name == pl::kTaskDirectory && pl::recorded_aside(target.get(), record, nullptr, &at) == pl::Aside::Ours &&
          at == name) {
        continue;
      }
      return refuse("the destination " + path_text(record.destination) + " holds " +
                    path_text(fs::path(record.target) / name) +
                    ", which the records of the interrupted deployment do not name (it was not read); remove it "
                    "and run the restore again");
    }
  }
  return true;
}

// Removes the restore root, which only root can change.
void remove_root(const std::string& root) {
  const fs::path path(root);
  const UniqueFd parent = hx_utils_common::open_directory_nofollow(path.parent_path().string());
  std::string where;
  // Renamed first (to a name of its own, beside what an earlier removal
  // left): a removal cut short never leaves part of a restored tree under
  // the root's name, for a later run to take for a whole one.
  int failed = parent ? 0 : errno;
  std::string removed;
  for (unsigned n = 0; failed == 0; ++n) {
    removed = path.filename().string() + ".removed" + (n == 0 ? "" : "." + std::to_string(n));
    if (::renameat2(parent.get(), path.filename().c_str(), parent.get(), removed.c_str(), RENAME_NOREPLACE) == 0) {
      failed = hx_utils_common::remove_tree_at(parent.get(), removed, where);
      break;
    }
    if (errno == ENOENT) break;
    if (errno != EEXIST) failed = errno;
  }
  if (failed != 0) {
    HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": can't delete: " << path << " ("
                                 << std::strerror(failed) << ")" << std::endl;
  }
  HxLogStream(HxLogLvl::Info) << "Remove obsoleted: " << root << std::endl;
}

// The records of this run, from its destinations.
pl::Records records_of(const std::string& root, bool ran, bool complete, const std::vector<Placement>& placements) {
  pl::Records records;
  records.root = root;
  records.server_ran = ran;
  records.complete = complete;
  for (const Placement& placement : placements) records.placements.push_back(placement.record);
  return records;
}

// Sets the server's own files aside and fills every destination (the data
// directory last), writing the records ahead of each step; throws when a
// step fails.
void set_aside_and_fill(Plan& plan, const pl::RecordStore& store, const std::string& root, bool ran,
                        const owner_t& owner) {
  std::vector<Placement>& placements = plan.placements;
  auto save = [&](bool complete) { store.save(records_of(root, ran, complete, placements)); };
  for (Placement& placement : placements) pl::prepare(placement);
  save(false);
  for (const Placement& placement : placements) pl::hand_over_made(placement);
  for (Placement& placement : placements) {
    HxLogStream(HxLogLvl::Info) << "   remove PostgreSQL path: " << fs::path(placement.record.destination)
                                << std::endl;
    pl::set_aside(placement);
    placement.record.set_aside = true;
  }
  save(false);
  for (std::size_t i = placements.size(); i-- > 0;) {
    Placement& placement = placements[i];
    if (!placement.source) continue;
    const fs::path destination = placement.record.destination;
    if (placement.record.made == pl::Step::Done) {
      HxLogStream(HxLogLvl::Info) << "Move: " << placement.source_path << " to " << destination.parent_path()
                                  << std::endl;
    } else {
      HxLogStream(HxLogLvl::Info) << "Move all files from: " << placement.source_path << " to " << destination
                                  << std::endl;
    }
    pl::fill(placement, i == 0 ? kReadFiles : std::set<std::string>(),
             [&] { store.save_moved(i, placement.record.moved); });
  }
  if (!plan.wal_inside.empty()) {
    bool missing = false;
    std::string why;
    const Placement& holder = placements[plan.wal_inside_of];
    const fs::path base = holder.record.target;
    if (!walk(holder.target.get(), base, plan.wal_inside.lexically_relative(base), &owner, missing, why)) {
      throw std::runtime_error("can't make the WAL directory " + path_text(plan.wal_inside) + ": " + why);
    }
  }
  // Every rename reaches stable storage before the records say the restored
  // cluster is in place: after a crash of the host the records, the server's
  // old files and the restored ones agree.
  for (const Placement& placement : placements) pl::make_durable(placement);
  save(true);
}

// What resolving a deployment of this restore that was killed half way gave.
enum class Resolved { Failed, Completed, RolledBack };

// The restore root no longer holds the whole restored tree: restored entries
// that the roll-back took back (and removed: they had been within the
// server's account's reach) were renamed out of it. It goes, so that no
// later run deploys what is left of it.
void give_up_root(const std::string& root, bool* keep_root) {
  *keep_root = false;
  remove_root(root);
  error("restored entries that had been moved into the server's directories were removed, and the restore root " +
        path_text(root) + " with them: run the whole restore again");
}

// Finishes or rolls back a deployment of this restore that was killed half
// way: first, since the restored tree may lack what it had moved out. A
// complete one is finished (the restored cluster is in place: the server is
// started, then the old files and the root removed); otherwise the server is
// stopped and its own files put back. `ran` receives whether the server ran
// before.
Resolved resolve_interrupted(const pl::Records& found, const pl::RecordStore& store, const Server& server,
                             const std::string& root, uid_t account, bool* keep_root, bool& ran) {
  bool running = false;
  if (!interrupted_is_ours(found) || !server.status(running)) return Resolved::Failed;
  HxModuleUniversal::pass_point_of_no_return("the deployment into the server has begun");
  *keep_root = true;
  ran = running || found.server_ran;
  HxLogStream(HxLogLvl::Info) << "Found the files of an interrupted deployment of this restore: "
                              << (found.complete ? "completing it" : "putting the server's own files back")
                              << std::endl;
  if (found.complete) {
    if (!running && !server.start()) {
      HxLogStream(HxLogLvl::Error) << "Can't start PostgreSQL. The restored cluster is in place; start it by hand: "
                                   << server.start_by_hand() << std::endl;
    }
    if (!finish_all(found, account)) {
      error("the old files of the interrupted deployment could not all be removed; run the same restore again");
      return Resolved::Failed;
    }
    store.clear();
    *keep_root = false;
    remove_root(root);
    return Resolved::Completed;
  }
  if (!server.stop(running)) return Resolved::Failed;
  bool root_whole = true;
  if (!roll_back_all(found, account, root_whole)) {
    error("the interrupted deployment could not be resolved; the server was not started");
    return Resolved::Failed;
  }
  // A root that lost restored entries goes before the records do: a run
  // killed in between finds the records and judges the root again.
  if (!root_whole) give_up_root(root, keep_root);
  store.clear();
  if (!root_whole) {
    server.restart_if(ran);
    return Resolved::Failed;
  }
  return Resolved::RolledBack;
}

// Sets aside, fills, starts the server and finishes, the records written
// first; a failure before the start puts everything back and starts a
// server that ran. True when the restored cluster is in place.
bool put_in_place(Plan& plan, const pl::RecordStore& store, const Server& server, const std::string& root, bool ran,
                  bool* keep_root) {
  const uid_t account = boost::tuples::get<0>(plan.owner);
  try {
    set_aside_and_fill(plan, store, root, ran, plan.owner);
  } catch (const std::exception& e) {
    error(e.what());
    HxLogStream(HxLogLvl::Info) << "Putting the server's own files back" << std::endl;
    bool root_whole = true;
    if (!roll_back_all(records_of(root, ran, false, plan.placements), account, root_whole)) {
      error(
          "the server's own files could not all be put back; the server was not started. Run the same "
          "restore again: it puts them back or completes the deployment first");
      return false;
    }
    if (root_whole) {
      error("the restored cluster was not deployed: the server's own files are back in place and the restore root " +
            path_text(root) + " is kept for another run");
    } else {
      error("the restored cluster was not deployed: the server's own files are back in place");
      give_up_root(root, keep_root);
    }
    store.clear();
    server.restart_if(ran);
    return false;
  }
  // The restored cluster is wholly in place and the records say so: the
  // server starts at once, and what was set aside goes while it runs.
  if (!server.start()) {
    HxLogStream(HxLogLvl::Error) << "Can't start PostgreSQL. The restored cluster is in place; start it by hand: "
                                 << server.start_by_hand() << std::endl;
  }
  if (finish_all(records_of(root, ran, true, plan.placements), account)) {
    store.clear();
  } else {
    error("the server's old files stay in " +
          path_text(fs::path(plan.placements.front().record.target) / pl::kTaskDirectory) +
          " and below; the same restore run again removes them");
  }
  return true;
}

// Flushes the file systems that receive the restored trees, which the
// archiver has just written, before the server is stopped: the server's own
// shutdown checkpoint then finds little to write, and the renames that
// follow never give a name to data that are only in memory.
void flush_destinations(const std::vector<Placement>& placements) {
  std::set<dev_t> flushed;
  for (const Placement& placement : placements) {
    const int where = placement.target ? placement.target.get() : placement.parent.get();
    struct stat st {};
    if (where < 0 || ::fstat(where, &st) != 0 || !flushed.insert(st.st_dev).second) continue;
    if (::syncfs(where) != 0) {
      throw std::runtime_error("can't flush the file system of " + path_text(placement.record.destination) + " (" +
                               std::strerror(errno) + ")");
    }
  }
}

// A checkpoint of the running server just before it is stopped, so that
// its shutdown checkpoint is short. It needs a role that may checkpoint; a
// failure only means a longer stop.
void checkpoint(const hx_pg_conf& conf) {
  try {
    pqxx::connection connection(hx_postgresql_common::conn_string(conf));
    const hx_utils_common::AbortInterruption interruption([&connection] {
      try {
        connection.cancel_query();
      } catch (const std::exception&) {
        // Nothing left to cancel.
      }
    });
    pqxx::nontransaction transaction(connection);
    transaction.exec("CHECKPOINT");
  } catch (const std::exception& e) {
    std::string text = e.what();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    HxLogStream(HxLogLvl::Info) << "No checkpoint before the stop: " << text << std::endl;
  }
}

}  // namespace

namespace hx_postgresql_common {

bool deployment(const hx_pg_conf& conf, const pg_version& version, const std::string& data_directory,
                const std::string& config_file, const std::string& root, const std::string& records_directory,
                const std::string& last_wal_file, bool* keep_root) {
  bool kept = false;
  if (keep_root == nullptr) keep_root = &kept;
  *keep_root = false;
  try {
    const std::string config_directory = fs::path(config_file).parent_path().string();
    using HxDestination::printable;
    std::cout << "Direct restore PostgreSQL database cluster: " + printable(data_directory) + "...\n" << std::flush;
    const Server server(conf, config_directory);

    // ---- The records of the cluster ------------------------------------------
    pl::RecordStore store;
    std::string why;
    if (!store.open(records_directory, why)) return refuse("can't open the deployment records: " + why);
    pl::Records found;
    const bool interrupted = store.load(found);
    if (interrupted && found.root != root) {
      return refuse("the cluster holds an interrupted deployment of the restore root " + path_text(found.root) +
                    ": run that restore again to complete it");
    }
    bool ran = false;
    if (interrupted) {
      const Resolved resolved = resolve_interrupted(found, store, server, root,
                                                    boost::tuples::get<0>(get_user_uid_gid(conf.postgresql_admin)),
                                                    keep_root, ran);
      if (resolved != Resolved::RolledBack) return resolved == Resolved::Completed;
    }

    // ---- Everything that can be known, then the server stops -------------------
    Plan plan;
    plan.account = conf.postgresql_admin;
    plan.owner = get_user_uid_gid(conf.postgresql_admin);
    const owner_t& owner = plan.owner;
    if (!make_plan(plan, conf, version, data_directory, config_directory, root, last_wal_file)) {
      server.restart_if(interrupted && ran);
      return false;
    }
    bool running = false;
    if (!interrupted) {
      if (!server.status(running)) return false;
      ran = running;
    }
    // The restored trees on stable storage, and the server's own dirty data
    // written, while the server still runs.
    flush_destinations(plan.placements);
    if (running) checkpoint(conf);
    if (!interrupted) {
      // From here the server changes: an abort no longer stops the
      // deployment, which finishes or puts everything back.
      HxModuleUniversal::pass_point_of_no_return("the deployment into the server has begun");
    }
    if (!plan.wal_outside.empty()) {
      bool missing = false;
      if (!walk(plan.wal_base.get(), plan.wal_base_path, plan.wal_outside.lexically_relative(plan.wal_base_path), &owner,
                missing, why)) {
        server.restart_if(interrupted && ran);
        return refuse("can't make the WAL directory " + path_text(plan.wal_outside) + ": " + why);
      }
    }
    store.clear();
    store.save(records_of(root, ran, false, plan.placements));
    if (!interrupted && !server.stop(running)) {
      store.clear();
      return false;
    }
    *keep_root = true;

    // ---- Set aside, fill (the data directory last), complete -------------------
    if (!put_in_place(plan, store, server, root, ran, keep_root)) return false;
    *keep_root = false;
    remove_root(root);
    return true;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kDeploymentSignature << ": " << e.what() << std::endl;
    return false;
  }
}

}  // namespace hx_postgresql_common
