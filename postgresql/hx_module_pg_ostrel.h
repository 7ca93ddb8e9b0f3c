// The PostgreSQL data-source module.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <pqxx/pqxx>

#include "module/hx_modules_common.h"
#include "utils/hx_utils_common.h"
#include "postgresql/hx_postgresql_common.h"
#include "postgresql/wal_archive.h"

class HxModule_PG_Ostrel : public HxModuleUniversal {
 public:
  explicit HxModule_PG_Ostrel(HxModuleOptions options);
  ~HxModule_PG_Ostrel() override;

  // ---- Operations of the framework -------------------------------------------
  bool prepare_resource_before_backup(const bool& replica) override;
  bool release_resource_after_backup() override;
  bool load_module_config() override;
  void usage_custom() override;
  int check_client(const bool& verbose) override;
  std::string get_full_module_version() override;
  int list_header_labels() override;
  int list_all_resources() override;
  int list_all_resources_with_header_labels() override;
  bool resource_exists() override;
  bool before_restore() override;
  bool after_restore() override;
  bool after_restore_last_file() override;
  bool deployment(const bool& replica) override;
  void autonomous_options() override;
  void make_archiving() override;
  // Locks the cluster the task works on by its data directory: the server's
  // for a backup, the module parameter data_directory for a restore that
  // deploys and for an apply.
  bool lock_task_target() override;
  // Judges the module parameters (-e) before the task changes anything:
  // pg_version digits and dots, data_directory and config_file absolute
  // paths without "." or ".." elements, lvm_snapshot_size a whole number
  // (held to 10..100 with a Warning); false, with an Error line for each
  // invalid one, refuses the task. A key no part of the program reads gets
  // a Warning.
  bool module_parameters_valid() override;
  // An incremental or differential backup reads the reference backup's WAL
  // snapshot file beside the reference meta file (read_reference_file) into
  // reference_wal_snapshot_. False, with an Error, when something lies there
  // that may not be read; a missing file is left to the preparation to
  // report. True at once for other backup types.
  bool read_reference_snapshot() override;

  // Opens the connection and long-lived transaction of the backup modes.
  bool prapare_module();
  // Connection string of the module configuration.
  std::string get_conn_string();

  // ---- LVM snapshots -------------------------------------------------------------
  bool get_lvm_info_of_mountpoint(std::string path, std::string& device, std::string& vg, std::string& mount_point);
  bool create_lvm_snapshot(std::string volume, std::string& snapshot, unsigned int percent);
  bool does_snapshot_exist(std::string snapshot);
  bool get_lvm_data_percent(std::string snapshot, std::string& out);
  bool remove_snapshot(lvm_snapshot_info info, bool& overflow);
  // Snapshots the volumes of lvm_volumes_ and mounts the snapshots below the
  // task directory. The caller holds the lock of each snapshot name
  // (lock_snapshot_name), so a snapshot of such a name is a leftover of an
  // earlier run and is removed first.
  bool make_lvm_snapshots_and_mount();
  void umount_and_remove_snapshots();
  // Makes the directory where the snapshot of the volume mounted at
  // `origin_mount_point` is mounted: `directory`, that mount point below the
  // task directory. It is made before the mount, by descriptor and never
  // through a link, so it lies inside the task directory; false, with an
  // Error, when it cannot be.
  bool make_mount_directory(const std::string& origin_mount_point, const std::string& directory);
  // Takes the owner lock of a snapshot name for this task, held until the
  // snapshot is removed; true also when this task holds it already. False
  // when another live task holds it (the snapshot of that name is that
  // task's, never a leftover) or the lock cannot be had: `refusal` then says
  // which (naming the task that holds it).
  bool lock_snapshot_name(const std::string& snapshot, std::string& refusal);
  // Lets go of the snapshot locks of names this task has no snapshot of
  // (never made, or removed).
  void release_snapshot_locks();

  // ---- Backup ----------------------------------------------------------------------
  bool prepare_to_archive_WAL_backup();
  bool release_after_archive_WAL_backup();
  bool release_after_base_backup();
  bool pg_stop_backup(pqxx::result& result);
  void pg_stop_backup();
  bool prepare_to_base_backup();
  // The steps of prepare_to_base_backup, each failing it with an Error
  // (Failed thrown, or false returned) when it cannot be done. First the
  // data directory, the tablespaces (`tablespaces`, as the server names
  // them) and their LVM volumes (lvm_volumes_, their snapshot names locked):
  // each location resolved to its real path (into `real_locations`, the
  // data directory's included), which must be a directory of the server's
  // account.
  bool find_backup_volumes(const hx_postgresql_common::connection_ptr& connection, std::set<std::string>& tablespaces,
                           std::map<std::string, std::string>& real_locations);
  // Backup mode begun, the snapshots made and mounted, backup mode stopped
  // (its result into `stopped`).
  bool snapshot_in_backup_mode(pqxx::result& stopped);
  // backup_label and tablespace_map written from the stop result into the
  // task directory and added to `list` (`label_text` receives the label,
  // `stop_lsn` the stop location, "X/Y"); a tablespace created or dropped
  // meanwhile fails the backup.
  void backup_label_files(const pqxx::result& stopped, const std::set<std::string>& tablespaces,
                          std::map<std::string, std::string>& list, std::string& label_text, std::string& stop_lsn);
  // Each location's copy in the snapshots, checked to be a directory of the
  // server's account at its real path below the task directory (no link on
  // the way), the runtime files removed from the data directory's, added
  // to `list`.
  void list_snapshot_sources(const std::string& task_directory,
                             const std::map<std::string, std::string>& real_locations,
                             std::map<std::string, std::string>& list);
  // The backup's WAL range, from the label's start (`label_text`) to the
  // segment that holds the WAL before the stop location `stop_lsn` (the
  // server's answers), added to `list` (list_wal_files) once its last file
  // is archived; its backup history file taken (take_backup_history); and
  // the WAL files the backup makes obsolete (wal_files_).
  bool list_base_backup_wal(const hx_postgresql_common::connection_ptr& connection, const std::string& label_text,
                            const std::string& stop_lsn, std::map<std::string, std::string>& list);
  // The backup history file the server wrote for this backup, named after
  // the label's start (`history` receives its path in the archive), read
  // through wal_archive_: it must be the server account's regular file of
  // at most kHistoryFileBound bytes whose START line is the label's and
  // whose STOP line names the stop location `stop_lsn` and the segment
  // before it. Sets start_wal_file_ and stop_wal_file_ and keeps the file's
  // text as the WAL snapshot file; any disagreement fails the preparation
  // with an Error naming the file and what disagrees.
  void take_backup_history(const std::string& label_text, const std::string& stop_lsn, std::uint64_t segment_size,
                           std::string& history);
  // Adds the WAL files `paths` of the archive to the archiver's `list`:
  // each fixed by wal_archive_ (a segment of `segment_size` bytes) and read
  // through its link, named in the archive by its own path. False, with an
  // Error naming the first one that cannot be fixed (no regular file, not
  // the server's, or of another size).
  bool list_wal_files(const std::vector<std::string>& paths, std::uint64_t segment_size,
                      std::map<std::string, std::string>& list);
  // The uid of the server's account (postgresql_admin).
  uid_t server_uid() const;
  // Undoes what a failed full-backup preparation left: ends the module's
  // session when backup mode may still be on in it, removes the snapshots and
  // the task directory (never while anything is mounted below it).
  void clean_up_failed_base_backup(bool backup_mode_may_be_on);
  // Removes the archived WAL files that the backup selected (wal_files_),
  // once the framework has reported the backup as made.
  void backup_completed() override;

  // Path of this task's WAL snapshot file, inside its snapshot directory, so
  // that it is packed into the task's snapshot file with the meta file.
  std::string wal_snapshot_filename() const;
  // Writes the task's WAL snapshot file afresh with `text`: made by the task,
  // exclusively and never through a link. False, with `error` saying why.
  bool write_wal_snapshot(const std::string& text, std::string& error);

  // The task directory: tmp_operation_directory + "/" + archive_name.
  std::string task_directory_path() const;
  // Opens the task directory by descriptor (task_directory_): made by this
  // task (mode 0700) or left by an earlier run of it, never through a link,
  // in a -d that no other account can change (open_operation_directory);
  // and makes sure that nothing another account could have placed lies at
  // the list file's name beside it. True at once when it is open. False,
  // with an Error prefixed with `signature` naming what was refused (its
  // path, type and owner) or why, otherwise.
  bool claim_task_directory(const std::string& signature);
  // Removes the task directory with everything in it, never while anything
  // is mounted below it (hx_pg_backup::remove_task_directory), and lets its
  // descriptor go.
  void remove_task_directory(const std::string& signature);
  // Path of the reference backup's WAL snapshot file: in the directory the
  // reference snapshot file was unpacked into, or beside a reference meta
  // file; empty when no reference was given. It names the file in messages;
  // the file is read through the directory's descriptor
  // (read_reference_snapshot).
  std::string reference_wal_snapshot_filename() const;

  const hx_pg_conf& pg_conf() const { return pg_conf_; }
  const pg_version& server_version() const { return pg_version_; }

 protected:
  hx_pg_conf pg_conf_;
  pg_version pg_version_;
  std::shared_ptr<pqxx::connection> connection_;
  std::shared_ptr<pqxx::work> transaction_;
  // Cancels the statement running on connection_ when an abort finds the
  // work busy on it (the stop of backup mode waiting for the WAL archive).
  std::unique_ptr<hx_utils_common::AbortInterruption> cancel_on_abort_;
  std::string data_directory_;
  std::string config_file_;
  // Whether the restored data directory got its recovery settings: a cluster
  // without them would start as if it had crashed (or not at all) in place
  // of the server's own, so it is not deployed.
  bool recovery_settings_written_ = false;
  std::string start_wal_file_;
  std::string stop_wal_file_;
  // The text of the reference backup's WAL snapshot file, once
  // read_reference_snapshot read it.
  std::optional<std::string> reference_wal_snapshot_;
  std::vector<std::string> wal_files_;
  std::map<std::string, std::string> lvm_volumes_;
  std::vector<lvm_snapshot_info> lvm_snapshots_;
  unsigned int lvm_snapshot_size_;
  // Snapshots found full (100 percent) when they were removed: LVM had
  // invalidated them while the archiver read them, so the backup is unusable.
  std::vector<lvm_snapshot_info> overflowed_snapshots_;
  // Owner locks of the snapshot names this task works on, by snapshot name.
  std::map<std::string, std::unique_ptr<hx_owner_lock>> snapshot_locks_;
  // The task directory, once claim_task_directory opened it.
  hx_utils_common::UniqueFd task_directory_;
  // The WAL archive, opened by the preparation of a backup; every later
  // step reads, links and removes its WAL files through it.
  hx_pg_backup::WalArchive wal_archive_;
};
