// The preparation of a full backup: a non-exclusive base backup read from LVM
// snapshots. Backup mode is started, the volumes of the data directory and
// of every tablespace are snapshotted and mounted below the task directory,
// backup mode is stopped, backup_label and tablespace_map are written from
// the stop result, the server's runtime files are deleted inside the mounted
// snapshot, and the archiver list file names every path to archive: the data
// directory, the two label files inside it, the tablespaces and the WAL
// files of the backup's range.
#include "postgresql/hx_module_pg_ostrel.h"
#include "postgresql/backup_details.h"

#include "log/hx_logger.h"
#include "utils/descriptors.h"
#include "utils/hx_utils_common.h"

#include <boost/algorithm/string.hpp>
#include <boost/algorithm/string/trim_all.hpp>
#include <boost/filesystem.hpp>
#include <boost/format.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = boost::filesystem;
using hx_pg_backup::archive_name_of;

const char* const kSignature = "bool HxModule_PG_Ostrel::prepare_to_base_backup()";

// Files and directories of a running server that a restored cluster must not
// find: they are deleted inside the mounted snapshot, in this order.
const char* const kRuntimeFiles[] = {"/postmaster.pid", "/postmaster.opts", "/pg_replslot", "/pg_dynshmem",
                                     "/pg_notify",      "/pg_serial",       "/pg_snapshots", "/pg_stat_tmp",
                                     "/pg_subtrans",    "/pg_internal.init"};

class Failed {};

// Logs an Error line and ends the preparation.
[[noreturn]] void fail(const std::string& text) {
  HxLogStream(HxLogLvl::Error) << text << std::endl;
  throw Failed();
}

// Writes the label file `name` of the task directory `directory` (`path`
// names it in messages) afresh with `text` exactly (no line end added), made
// by the task and never through a link, and hands the very file made to the
// server's account; a chown failure is only a warning. A file that cannot
// be made or written completely fails the preparation.
void write_label_file(int directory, const std::string& name, const std::string& path, const std::string& text,
                      const std::string& error_text, const hx_postgresql_common::owner_t& owner) {
  std::string error;
  const hx_utils_common::UniqueFd file = hx_utils_common::create_file_at(directory, name, 0666, error);
  if (!file) {
    HxLogStream(HxLogLvl::Error) << kSignature << ": can't use " << path << ": " << error << std::endl;
    fail(error_text + path);
  }
  if (!hx_utils_common::write_all(file.get(), text)) fail(error_text + path);
  if (fchown(file.get(), boost::tuples::get<0>(owner), boost::tuples::get<1>(owner)) != 0) {
    std::cerr << boost::format("Warning: chown \"%1%\" to %2%:%3% failed (%4%)") % path %
                     boost::tuples::get<0>(owner) % boost::tuples::get<1>(owner) % std::strerror(errno)
              << std::endl;
  }
}

// Deletes one runtime path of the snapshot: a file or link itself, the
// entries of a directory (which stays). Failures are reported on standard
// error and do not fail the backup.
void remove_runtime_path(const fs::path& path) {
  std::cout << "   remove from the archive: " + HxDestination::printable(path.string()) + "\n" << std::flush;
  boost::system::error_code ec;
  // The path's own type, links not followed: a link is removed itself,
  // whatever it leads to (a loop or a missing target included).
  const fs::file_status own = fs::symlink_status(path, ec);
  if (fs::is_regular_file(own) || fs::is_symlink(own)) {
    if (!fs::remove(path, ec)) std::cerr << "prepare_to_base_backup: can't delete: " << path.string() << std::endl;
    return;
  }
  if (!fs::is_directory(own)) return;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) entries.push_back(it->path());
  for (const auto& entry : entries) {
    boost::system::error_code remove_ec;
    if (fs::remove_all(entry, remove_ec) == 0 || remove_ec) {
      std::cerr << "prepare_to_base_backup: can't delete: " << entry << std::endl;
    }
  }
}

// Removes from the snapshot a file of the backup's own label files' names
// that the live cluster had (`server_path` names it in the messages): a file
// or link itself, a directory with everything in it. True when nothing is
// left at the path.
bool remove_planted_label(const fs::path& path, const std::string& server_path) {
  boost::system::error_code ec;
  const fs::file_status own = fs::symlink_status(path, ec);
  if (!fs::exists(own)) return true;
  HxLogStream(HxLogLvl::Warning) << kSignature << ": the live data directory holds a file " << server_path
                                 << "; the backup's own replaces it in the archive" << std::endl;
  if (fs::is_directory(own)) {
    fs::remove_all(path, ec);
  } else {
    fs::remove(path, ec);
  }
  return !fs::exists(fs::symlink_status(path, ec));
}

// The last "START WAL LOCATION: " line of the text of a label or backup
// history file, trimmed; empty when there is none.
std::string start_location_line(const std::string& text) {
  std::istringstream in(text);
  std::string found;
  for (std::string line; std::getline(in, line);) {
    boost::algorithm::trim_all(line);
    if (line.find("START WAL LOCATION: ") != std::string::npos) found = line;
  }
  return found;
}

// True when `path` is absolute and has no ".", ".." or empty element.
bool plain_absolute_path(const std::string& path) {
  if (path.size() < 2 || path.front() != '/') return false;
  std::size_t begin = 1;
  while (begin <= path.size()) {
    const std::size_t end = std::min(path.find('/', begin), path.size());
    const std::string element = path.substr(begin, end - begin);
    if (element.empty() || element == "." || element == "..") return false;
    begin = end + 1;
  }
  return true;
}

// Empty when the directory `path` (relative to `at` unless absolute),
// opened without following a link in any element, belongs to `uid`;
// otherwise what lies there. `outside` (when given) tells that no directory
// could be reached at all (a link or no directory on the way, or nothing).
std::string foreign_directory(int at, const std::string& path, uid_t uid, bool* outside = nullptr) {
  if (outside != nullptr) *outside = false;
  const hx_utils_common::UniqueFd directory = hx_utils_common::open_directory_nofollow(path, at);
  struct stat st {};
  if (!directory || ::fstat(directory.get(), &st) != 0) {
    if (outside != nullptr) *outside = true;
    if (errno == ELOOP || errno == ENOTDIR) return "a symbolic link or no directory lies on its path";
    return std::strerror(errno);
  }
  if (st.st_uid == uid) return std::string();
  return hx_utils_common::describe_entry(st) + ", not the server account's";
}

// Fails the preparation for a location (`what` names it) that is no
// directory of the server's account (`problem` says what it is instead).
void refuse_foreign_location(const std::string& what, const std::string& problem) {
  if (problem.empty()) return;
  fail(std::string(kSignature) + ": " + what + ": " + problem +
       "; only a directory of the server's account is backed up as its location");
}

}  // namespace

bool HxModule_PG_Ostrel::prepare_to_base_backup() {
  // Set from the start statement on until the stop statement has succeeded.
  bool backup_mode_may_be_on = false;
  const bool prepared = [&]() -> bool {
    try {
      // 1. Paths. The list file lies beside the task directory.
      const std::string task_directory = options_.tmp_operation_directory + "/" + options_.archive_name;
      options_.resource_list_file = task_directory + "." + "hxfd.list";
      std::map<std::string, std::string> list;
      if (!claim_task_directory(kSignature)) return false;

      // 2. The operation's own connection; backup mode uses transaction_.
      auto connection = std::make_shared<pqxx::connection>(get_conn_string());
      if (!connection->is_open()) fail(std::string(kSignature) + ": can't open the database");  // GCOVR_EXCL_LINE: the connection's constructor throws broken_connection when it cannot open

      // 3-5. The data directory, the tablespaces and their LVM volumes.
      std::set<std::string> tablespaces;
      std::map<std::string, std::string> real_locations;
      if (!find_backup_volumes(connection, tablespaces, real_locations)) return false;

      // 6-8. Backup mode, the snapshots, the stop.
      pqxx::result stopped;
      backup_mode_may_be_on = true;
      if (!snapshot_in_backup_mode(stopped)) return false;
      backup_mode_may_be_on = false;

      // 9-13. backup_label and tablespace_map, owned by the server's account.
      std::string label_text;
      std::string stop_lsn;
      backup_label_files(stopped, tablespaces, list, label_text, stop_lsn);

      // 14-15. The data directory and the tablespaces, read from the snapshots.
      list_snapshot_sources(task_directory, real_locations, list);

      // 16-20. The WAL files of the backup and those it makes obsolete.
      if (!list_base_backup_wal(connection, label_text, stop_lsn, list)) return false;

      // 21. The list file for the archiver.
      return add_to_hxfd_list_file(options_.resource_list_file, list, false);
    } catch (const Failed&) {
    } catch (const fs::filesystem_error& e) {
      HxLogStream(HxLogLvl::Error) << kSignature << ": " << e.what() << std::endl;
    } catch (const pqxx::sql_error& e) {
      HxLogStream(HxLogLvl::Error) << kSignature << ": " << e.what() << std::endl;
    } catch (const pqxx::broken_connection& e) {
      HxLogStream(HxLogLvl::Error) << kSignature << ": can't connect to the database: " << e.what() << std::endl;
    } catch (const std::exception& e) {
      HxLogStream(HxLogLvl::Error) << kSignature << ": " << e.what() << std::endl;
    }
    return false;
  }();
  if (!prepared) clean_up_failed_base_backup(backup_mode_may_be_on);
  return prepared;
}

bool HxModule_PG_Ostrel::find_backup_volumes(const hx_postgresql_common::connection_ptr& connection,
                                             std::set<std::string>& tablespaces,
                                             std::map<std::string, std::string>& real_locations) {
  // Each location is found by its real path: a location reached through a
  // symbolic link lies on the volume the link leads to, and inside the
  // snapshot only its real path is the snapshot's copy (the link would lead
  // back out to the live file system). The server's account can change the
  // links (pg_tblspc, a directory of its own on the way), so the real path
  // must be a directory of that account, as the server's own locations are.
  const uid_t uid = server_uid();
  if (!hx_postgresql_common::show_data_directory(connection, data_directory_)) {
    fail("Unable to determine PostgreSQL data_directory");
  }
  const std::string real_data_directory = fs::canonical(data_directory_).string();
  refuse_foreign_location("the data directory '" + data_directory_ + "' is " + real_data_directory,
                          foreign_directory(AT_FDCWD, real_data_directory, uid));
  std::string device;
  std::string group;
  std::string mount_point;
  if (!get_lvm_info_of_mountpoint(real_data_directory, device, group, mount_point)) return false;
  lvm_volumes_.emplace(device, mount_point);
  real_locations.emplace(data_directory_, real_data_directory);

  if (!hx_postgresql_common::get_tablespaces(connection, tablespaces)) {
    fail("Unable to determine PostgreSQL tablespaces");
  }
  for (const auto& location : tablespaces) {
    // The archive names the tablespace by its location, and a restore puts
    // it there: the text of the server's link (which its account chooses)
    // must name it plainly.
    if (!plain_absolute_path(location)) {
      fail(std::string(kSignature) + ": the tablespace at '" + location + "' is no plain absolute path (it has \".\", "
           "\"..\" or empty elements); the archive names a tablespace by its location");
    }
    const std::string real_location = fs::canonical(location).string();
    refuse_foreign_location("the tablespace at '" + location + "' is " + real_location,
                            foreign_directory(AT_FDCWD, real_location, uid));
    if (!get_lvm_info_of_mountpoint(real_location, device, group, mount_point)) return false;
    lvm_volumes_.emplace(device, mount_point);
    real_locations.emplace(location, real_location);
  }

  // The snapshot names, each this task's before backup mode starts: a
  // snapshot that another running task made is never taken for a leftover.
  for (const auto& volume : lvm_volumes_) {
    const std::string snapshot = volume.first + ".snap";
    std::string refusal;
    if (!lock_snapshot_name(snapshot, refusal)) fail(std::string(kSignature) + ": " + refusal);
  }
  return true;
}

bool HxModule_PG_Ostrel::snapshot_in_backup_mode(pqxx::result& stopped) {
  // Backup mode, labelled with the archive name, on the module's long-lived
  // transaction so that the stop runs in the same session. The label is
  // quoted by the connection, which knows how the session reads a string
  // literal (standard_conforming_strings): no name can end the literal.
  if (!transaction_) fail(std::string(kSignature) + ": no database transaction");
  const std::string start =
      hx_pg_backup::start_backup_statement(pg_version_.major, transaction_->quote(options_.archive_name));
  const pqxx::result started = transaction_->exec(start, "");
  if (started.empty()) fail(std::string(kSignature) + ": " + start + ": empty result");  // GCOVR_EXCL_LINE: a SELECT of a function in its select list returns one row
  HxLogStream(HxLogLvl::Debug) << kSignature << ": " << start << " result: " << started[0][0].c_str() << std::endl;

  if (!make_lvm_snapshots_and_mount()) return false;
  if (!pg_stop_backup(stopped)) return false;
  HxLogStream(HxLogLvl::Debug) << kSignature << ": " << "pg_stop_backup result: " << stopped[0][0].c_str()
                               << std::endl;
  return true;
}

void HxModule_PG_Ostrel::backup_label_files(const pqxx::result& stopped, const std::set<std::string>& tablespaces,
                                            std::map<std::string, std::string>& list, std::string& label_text,
                                            std::string& stop_lsn) {
  // The stop location, the label and the map texts: the fields of the stop
  // result, as separate columns (major 9) or inside one row value.
  std::string map_text;
  if (stopped.columns() >= 3) {
    stop_lsn = stopped[0][0].c_str();
    label_text = stopped[0][1].c_str();
    map_text = stopped[0][2].c_str();
  } else {
    std::vector<std::string> fields;
    if (!hx_pg_backup::parse_row_value(stopped[0][0].c_str(), fields)) {
      fail(std::string(kSignature) + ": unreadable result of the stop statement: " + stopped[0][0].c_str());
    }
    stop_lsn = fields[0];
    if (fields.size() > 1) label_text = fields[1];
    if (fields.size() > 2) map_text = fields[2];
  }

  // The map holds the tablespaces the server found when backup mode began,
  // the snapshots those found before: a tablespace created in between (the
  // start's checkpoint may take minutes) is on no snapshot, one dropped in
  // between is archived for nothing. Such a backup cannot be restored as it
  // is.
  const std::vector<std::string> mapped = hx_pg_backup::tablespace_map_locations(map_text);
  const std::set<std::string> in_map(mapped.begin(), mapped.end());
  bool tablespaces_changed = false;
  for (const auto& location : in_map) {
    if (tablespaces.count(location) != 0) continue;
    HxLogStream(HxLogLvl::Error) << kSignature << ": the tablespace at '" << location
                                 << "' was created during the backup: it is on no snapshot of this backup. "
                                    "Run the backup again"
                                 << std::endl;
    tablespaces_changed = true;
  }
  for (const auto& location : tablespaces) {
    if (in_map.count(location) != 0) continue;
    HxLogStream(HxLogLvl::Error) << kSignature << ": the tablespace at '" << location
                                 << "' was dropped during the backup. Run the backup again" << std::endl;
    tablespaces_changed = true;
  }
  if (tablespaces_changed) throw Failed();

  const std::string label_path = task_directory_path() + "/" + "backup_label";
  const std::string map_path = task_directory_path() + "/" + "tablespace_map";
  const hx_postgresql_common::owner_t owner = hx_postgresql_common::get_user_uid_gid(pg_conf_.postgresql_admin);
  HxLogStream(HxLogLvl::Info) << "Backup_label: " << label_text << std::endl;
  write_label_file(task_directory_.get(), "backup_label", label_path, label_text,
                   "Can't create backup_label file for PostgreSQL: ", owner);
  HxLogStream(HxLogLvl::Info) << "Tablespace_map: " << map_text << std::endl;
  write_label_file(task_directory_.get(), "tablespace_map", map_path, map_text,
                   "Can't create tablespace_map file for PostgreSQL: ", owner);
  list.emplace(label_path, archive_name_of(data_directory_ + "/" + "backup_label"));
  list.emplace(map_path, archive_name_of(data_directory_ + "/" + "tablespace_map"));
}

void HxModule_PG_Ostrel::list_snapshot_sources(const std::string& task_directory,
                                               const std::map<std::string, std::string>& real_locations,
                                               std::map<std::string, std::string>& list) {
  // Every source the archiver reads lies inside a snapshot, at the real path
  // its location had before backup mode: each element a directory (a link
  // there would lead back out, or elsewhere in the snapshot), the last one
  // the server account's. Only root can reach the snapshots, so what was
  // checked stays as it is.
  const uid_t uid = server_uid();
  const std::string snapshot_data = task_directory + real_locations.at(data_directory_);
  for (const auto& location : real_locations) {
    const std::string what = location.first == data_directory_ ? "the data directory " : "the tablespace ";
    const std::string source = task_directory + location.second;
    bool outside = false;
    const std::string problem = foreign_directory(task_directory_.get(), location.second.substr(1), uid, &outside);
    if (outside) {
      fail(std::string(kSignature) + ": " + what + source + " does not lie inside the mounted snapshot " +
           task_directory + ": " + problem);
    }
    refuse_foreign_location(what + source + " in the snapshot", problem);
  }

  // The backup's own label files replace whatever the live cluster had under
  // their names (another tool's backup, or files planted by a role that may
  // write server files): the archive holds each name once.
  for (const char* name : {"/backup_label", "/tablespace_map"}) {
    if (!remove_planted_label(snapshot_data + name, data_directory_ + name)) {
      fail(std::string(kSignature) + ": can't remove " + snapshot_data + name +
           " from the snapshot: the archive would hold two files " + data_directory_ + name);
    }
  }
  // Runtime files, inside the mounted snapshot only.
  for (const char* name : kRuntimeFiles) remove_runtime_path(snapshot_data + name);

  // Read from the snapshots by their real paths and named in the archive by
  // the server's paths.
  for (const auto& location : real_locations) {
    list.emplace(task_directory + location.second, archive_name_of(location.first));
  }
}

void HxModule_PG_Ostrel::take_backup_history(const std::string& label_text, const std::string& stop_lsn,
                                             std::uint64_t segment_size, std::string& history) {
  namespace pg = hx_postgresql_common;
  // The server's account writes the WAL archive, so the backup history file
  // is only checked against the server's own answers: exactly the file the
  // server wrote for this backup, named after the label's start, read
  // through the archive's descriptor, bounded, and the account's.
  hx_pg_backup::WalLocation start;
  if (!hx_pg_backup::wal_location_line(label_text, "START WAL LOCATION: ", start)) {
    HxLogStream(HxLogLvl::Error) << kSignature << ": the backup label names no START WAL LOCATION of the server's "
                                 << "form: " << start_location_line(label_text) << std::endl;
    fail(std::string(kSignature) + ": Unable to find start wal file");
  }
  std::uint64_t stop = 0;
  if (!hx_pg_backup::parse_lsn(stop_lsn, stop) || stop == 0) {
    fail(std::string(kSignature) + ": the stop statement gave no WAL location: " + stop_lsn);
  }
  const std::string history_name = hx_pg_backup::backup_history_name(start, segment_size);
  history = (fs::path(pg_conf_.archive_catalog) / history_name).string();
  std::string history_text;
  std::string error;
  struct stat st {};
  if (!hx_utils_common::read_regular_file_bounded(wal_archive_.fd(), history_name, pg::kHistoryFileBound,
                                                   history_text, st, error)) {
    if (errno == ENOENT) {
      HxLogStream(HxLogLvl::Error) << kSignature << ": the WAL archive holds no backup history file " << history
                                   << ", which the server wrote for this backup" << std::endl;
      fail(std::string(kSignature) + ": Unable to find backup file for PostgreSQL");
    }
    HxLogStream(HxLogLvl::Error) << kSignature << ": can't read " << history << ": " << error << std::endl;
    fail(std::string(kSignature) + ": Unable to copy backup_file " + history + " to snapshot " +
         wal_snapshot_filename());
  }
  if (st.st_uid != server_uid()) {
    fail(std::string(kSignature) + ": the backup history file " + history + " is " +
         hx_utils_common::describe_entry(st) + ", not a file of the server's account");
  }
  // Its start must be the one the label records, its stop the server's.
  const std::string label_start = start_location_line(label_text);
  if (start_location_line(history_text) != label_start) {
    fail(std::string(kSignature) + ": the backup history file " + history +
         " does not belong to this backup, whose label says: " + label_start);
  }
  if (pg::start_wal_file_in_text(history_text, history, start_wal_file_) != 0) {
    fail(std::string(kSignature) + ": Unable to find start wal file");
  }
  std::string history_stop_file;
  if (pg::stop_wal_file_in_text(history_text, history, history_stop_file) != 0) {
    fail(std::string(kSignature) + ": Unable to find stop wal file");
  }
  hx_pg_backup::WalLocation history_stop;
  if (!hx_pg_backup::wal_location_line(history_text, "STOP WAL LOCATION: ", history_stop) ||
      history_stop.lsn != stop) {
    fail(std::string(kSignature) + ": the backup history file " + history + " says STOP WAL LOCATION: " +
         (history_stop.lsn_text.empty() ? std::string("(none of the server's form)") : history_stop.lsn_text) +
         ", but the server stopped the backup at " + stop_lsn);
  }
  stop_wal_file_ = hx_pg_backup::segment_before(start.file, stop, segment_size);
  if (history_stop_file != stop_wal_file_) {
    fail(std::string(kSignature) + ": the backup history file " + history + " names the stop WAL file " +
         history_stop_file + ", but the server's stop location " + stop_lsn + " lies in " + stop_wal_file_);
  }
  // Kept as this backup's WAL snapshot file: the very text that was checked.
  if (!write_wal_snapshot(history_text, error)) {
    HxLogStream(HxLogLvl::Error) << kSignature << ": can't use " << wal_snapshot_filename() << ": " << error
                                 << std::endl;
    fail(std::string(kSignature) + ": Unable to copy backup_file " + history + " to snapshot " +
         wal_snapshot_filename());
  }
}

bool HxModule_PG_Ostrel::list_base_backup_wal(const hx_postgresql_common::connection_ptr& connection,
                                              const std::string& label_text, const std::string& stop_lsn,
                                              std::map<std::string, std::string>& list) {
  namespace pg = hx_postgresql_common;
  const std::string& archive = pg_conf_.archive_catalog;
  std::uint64_t segment_size = 0;
  if (!pg::get_wal_segment_size(connection, segment_size)) return false;
  std::string history;
  take_backup_history(label_text, stop_lsn, segment_size, history);

  // The last WAL file of the range, completely archived, before the range is
  // listed.
  if (pg::wait_until_file_archiving_finished(archive + "/" + stop_wal_file_, connection, pg_conf_.wal_wait_timeout,
                                             pg_conf_.wal_check_period, wal_archive_.fd()) != 0) {
    fail(std::string(kSignature) + ": Last WAL file is absent in archive directory: " + stop_wal_file_);
  }
  // The archive as it is now that the last WAL file is in it; the range and
  // the obsolete files are both taken from this listing, which also reports,
  // once, what the archive holds besides WAL files.
  std::vector<fs::path> listing;
  if (pg::get_wal_files_list(archive, listing, true, wal_archive_.fd()) != 0) {
    HxLogStream(HxLogLvl::Error) << "Unable to get archived WAL files list" << std::endl;
    fail(std::string(kSignature) + ": Unable to determine wal files sequence");
  }
  std::vector<std::string> range;
  if (pg::get_wal_files_sequence(listing, start_wal_file_, stop_wal_file_, range, false, false, segment_size) != 0) {
    fail(std::string(kSignature) + ": Unable to determine wal files sequence");
  }
  if (!list_wal_files(range, segment_size, list)) return false;

  // Archived files this backup makes obsolete: everything up to its last WAL
  // file and its history file, removed only once the backup has been
  // reported as made. Timeline history files stay (recovery follows
  // timelines with them), and a gap in files about to be deleted does not
  // matter, so the selection is not held to an unbroken chain.
  if (pg_conf_.auto_remove_wal && !listing.empty()) {
    const std::string first = listing.front().filename().string();
    std::vector<std::string> selection;
    if (pg::get_wal_files_sequence(std::move(listing), first, stop_wal_file_, selection, false, true,
                                   segment_size) != 0) {
      fail("Unable to determine wal files sequence");
    }
    for (const auto& path : selection) {
      if (pg::wal_file_kind_of(fs::path(path).filename().string()) != pg::wal_file_kind::timeline_history) {
        wal_files_.push_back(path);
      }
    }
    if (std::find(wal_files_.begin(), wal_files_.end(), history) == wal_files_.end()) {
      wal_files_.push_back(history);
    }
  }
  return true;
}

void HxModule_PG_Ostrel::clean_up_failed_base_backup(bool backup_mode_may_be_on) {
  if (backup_mode_may_be_on) {
    // The stop did not succeed: backup mode may still be on in the module's
    // session, whose transaction a failed statement has left unusable. The
    // server ends the backup mode of a session that ends.
    transaction_.reset();
    connection_.reset();
  }
  // Nothing is read from the snapshots any more.
  umount_and_remove_snapshots();
  release_snapshot_locks();
  wal_files_.clear();
  remove_task_directory(kSignature);
}
