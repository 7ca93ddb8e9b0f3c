// PostgreSQL support: the module configuration, server queries, WAL file
// names and sequences, file ownership, recovery settings and deployment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/tuple/tuple.hpp>
#include <boost/utility/string_view.hpp>
#include <pqxx/pqxx>

// Settings of the module configuration file "/opt/halvex/etc/<program>.conf".
struct hx_pg_conf {
  hx_pg_conf();

  std::string username;
  std::string password;
  std::string port;
  std::string host;
  std::string archive_catalog;
  std::string pg_ctl;
  std::string exclude_file;
  bool auto_remove_wal;
  bool direct_restore;
  std::string patroni_host;
  std::string patroni_port;
  std::string postgresql_admin;
  long wal_wait_timeout;
  long wal_check_period;
  bool execute_only_on_leader;
};

// Server release: major and minor number (0.0 when not read yet).
struct pg_version {
  pg_version() : major(0), minor(0) {}
  pg_version(unsigned int major_number, unsigned int minor_number) : major(major_number), minor(minor_number) {}

  unsigned int major;
  unsigned int minor;
};

// One LVM snapshot made for a backup. Records order by the length of their
// mount point only.
struct lvm_snapshot_info {
  lvm_snapshot_info() = default;
  lvm_snapshot_info(std::string volume_path, std::string snapshot_name, std::string mount)
      : volume(std::move(volume_path)), snapshot(std::move(snapshot_name)), mount_point(std::move(mount)) {}
  lvm_snapshot_info(const lvm_snapshot_info&) = default;
  lvm_snapshot_info(lvm_snapshot_info&&) = default;
  lvm_snapshot_info& operator=(lvm_snapshot_info&&) = default;
  lvm_snapshot_info& operator=(const lvm_snapshot_info&) = default;
  ~lvm_snapshot_info() = default;

  bool operator<(const lvm_snapshot_info& other) const { return mount_point.size() < other.mount_point.size(); }

  std::string volume;
  std::string snapshot;
  std::string mount_point;
};

namespace hx_postgresql_common {

using connection_ptr = std::shared_ptr<pqxx::connection>;
using owner_t = boost::tuples::tuple<unsigned int, unsigned int>;

// ---- Module configuration ------------------------------------------------
// "/opt/halvex/etc/" + file name of program_path + ".conf".
std::string module_config_path(const std::string& program_path);
// Reads module_config_path(program_path) into conf.
bool load_hx_pg_config(const std::string& program_path, hx_pg_conf& conf);

// ---- Connection and queries ------------------------------------------------
// libpq keyword/value connection string of the configuration (database postgres).
std::string conn_string(const hx_pg_conf& conf);

// Major and minor number of a version text; std::stoi errors propagate.
pg_version split_pg_version(std::string text);
bool get_pg_version(connection_ptr connection, pg_version& out, bool print);
bool show_data_directory(connection_ptr connection, std::string& out);
bool show_config_file(connection_ptr connection, std::string& out);
bool show_restore_command(connection_ptr connection, std::string& out);
bool show_hba_file(connection_ptr connection, std::string& out);
bool check_archive_mode(connection_ptr connection);
bool get_tablespaces(connection_ptr connection, std::set<std::string>& out);
bool get_stop_wal_file_from_server(std::string& out, const std::string& lsn, const pg_version& version,
                                   const hx_pg_conf& conf);

// ---- Ownership and permissions -----------------------------------------------
owner_t get_user_uid_gid(boost::string_view name);
bool is_owner(const boost::filesystem::path& path, const owner_t& owner);
bool change_owner(const boost::filesystem::path& path, const owner_t& owner, bool recursive);
void change_permissions(const boost::filesystem::path& path, boost::filesystem::perms perms);

// ---- WAL file names and sequences ----------------------------------------------
// A WAL segment file name: timeline (8 hex digits), log id (8), seg_high (6), seg_low (2).
struct wal_name {
  std::uint32_t timeline = 0;
  std::uint32_t log_id = 0;
  std::uint32_t seg_high = 0;
  std::uint16_t seg_low = 0;

  bool operator==(const wal_name& other) const;
  // Field-by-field comparison: false as soon as a field of this name is
  // greater than the same field of the other.
  bool operator<=(const wal_name& other) const;
  // Next segment: seg_low up to 255, then log_id + 1 with seg_low 0.
  wal_name& operator++();
  // Next segment of a cluster with the given number of segments per log id
  // (4 GiB divided by the WAL segment size): the segment number, seg_high and
  // seg_low together, grows by one and wraps to 0 in the next log id.
  wal_name& next(std::uint64_t segments_per_log_id);
};

// WAL segment size of a cluster made with the default --wal-segsize.
constexpr std::uint64_t kDefaultWalSegmentSize = 16 * 1024 * 1024;

// Bytes of a wal_segment_size setting as the server shows it ("16MB",
// "1GB", a number with "KB"); 0 when the text is not such a size.
std::uint64_t wal_segment_size_from_text(const std::string& text);

// The server's WAL segment size in bytes ("show wal_segment_size"); false
// with an Error line when it cannot be read or understood.
bool get_wal_segment_size(connection_ptr connection, std::uint64_t& out);

// The files the server writes into its WAL archive, told apart by their
// whole names in upper-case hexadecimal digits as the server writes them: a
// segment (24 digits), a backup history file (24 digits, ".", 8 digits,
// ".backup") and a timeline history file (8 digits, ".history").
enum class wal_file_kind { other, segment, backup_history, timeline_history };
wal_file_kind wal_file_kind_of(std::string_view name);

// The WAL files of the archive `directory`, appended to out and sorted:
// regular files (links not followed) whose names are of a wal_file_kind.
// Every other entry is left out, with a Warning naming it when `warn` is
// set. With `at`, the directory read is the one that descriptor holds open
// (`directory` only names the entries), whatever its path leads to by now.
int get_wal_files_list(const std::string& directory, std::vector<boost::filesystem::path>& out,
                       bool warn = true, int at = -1);
int get_wal_files_sequence(const std::string& directory, const std::string& start, const std::string& stop,
                           std::vector<std::string>& out, bool allow_missing_start, bool skip_integrity,
                           std::uint64_t segment_size = kDefaultWalSegmentSize);
// The same over a listing of get_wal_files_list, which is not made again.
int get_wal_files_sequence(std::vector<boost::filesystem::path> listing, const std::string& start,
                           const std::string& stop, std::vector<std::string>& out, bool allow_missing_start,
                           bool skip_integrity, std::uint64_t segment_size = kDefaultWalSegmentSize);
int get_latest_backup_file(const std::string& directory, std::string& out);
int get_latest_backup_file(const std::vector<boost::filesystem::path>& listing, std::string& out);
// The most that is read of a backup history file or a WAL snapshot file,
// which hold a few hundred bytes (a label of at most 1 KiB included): a
// larger file is no such file and is refused unread.
constexpr std::size_t kHistoryFileBound = 64 * 1024;

// The WAL file named in the last START (STOP) WAL LOCATION line of the
// backup history or WAL snapshot file `file`, a regular file (links not
// followed) of at most kHistoryFileBound bytes. get_stop_wal_file takes only
// a WAL segment file name (24 hexadecimal digits): any other word, which
// could be a path, fails it with an Error naming it.
int get_start_wal_file(const std::string& file, std::string& out);
int get_stop_wal_file(const std::string& file, std::string& out);
// The same over the text of `file` read before (`file` names it in messages),
// both taking only WAL segment file names.
int start_wal_file_in_text(const std::string& text, const std::string& file, std::string& out);
int stop_wal_file_in_text(const std::string& text, const std::string& file, std::string& out);
// Waits until the WAL file `path` is a regular file of the server's WAL
// segment size, looking every `attempt_timeout` seconds for `wait_timeout`
// seconds; 0 then, 6 otherwise. With `at`, the file is the last element of
// `path` (which must be a WAL segment file name) in the directory that
// descriptor holds open; `path` only names it in messages.
int wait_until_file_archiving_finished(const std::string& path, connection_ptr connection, long wait_timeout,
                                       long attempt_timeout, int at = -1);
wal_name wal_name_from_string(const std::string& text);
bool check_sequence_integrity(const std::vector<std::string>& paths, const std::string& start,
                              const std::string& stop, std::uint64_t segment_size = kDefaultWalSegmentSize);
int compare_timelines_id(const std::string& first, const std::string& second);

// ---- Restore ---------------------------------------------------------------------
bool post_restore(const hx_pg_conf& conf, const pg_version& version, const std::string& data_dir);
// Puts the cluster restored below `root` in place. `records_directory` is
// the directory, of the program's own and writable by root only, that keeps
// the records of the cluster's deployment (made when missing). `last_wal_file`,
// when given, is the last WAL file of the last part restored, up to which the
// restored WAL archive must be whole. `keep_root`, when given, tells after a
// failure whether the restore root must stay for another run of the restore
// (the server's files were set aside and put back, or could not all be).
bool deployment(const hx_pg_conf& conf, const pg_version& version, const std::string& data_directory,
                const std::string& config_file, const std::string& root, const std::string& records_directory,
                const std::string& last_wal_file = "", bool* keep_root = nullptr);

// True when the WAL archive `archive` of a restored cluster holds every WAL
// segment file from the start of the backup that the backup_label of
// `data_directory` names through its newest segment file (and through
// `last_wal_file`, when given and later), on whatever timeline, each of the
// size of the backup's first segment file (a WAL segment size). A cluster
// without backup_label (a copy of a stopped one) needs none. False with an
// Error line naming the first missing file or the file of another size.
bool restored_wal_chain_complete(const std::string& data_directory, const std::string& archive,
                                 const std::string& last_wal_file);

}  // namespace hx_postgresql_common
