// The module framework: the parsed command line (HxModuleOptions), the
// abstract module HxModuleUniversal with its operation dispatcher, module
// parameters, signal handling, resource lock, archiver runs, snapshot files,
// backup/restore/apply sequences, and the resource lists of -B.
#pragma once

#include <array>
#include <cstddef>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/types.h>

#include <boost/interprocess/sync/named_mutex.hpp>
#include <boost/shared_ptr.hpp>

#include "utils/descriptors.h"

// The operation chosen by the command line (values of HxModuleOptions::mode).
enum HxModuleMode : int {
  None = 0,
  CheckClient = 1,
  ListAllResources = 2,
  ListAllResourcesWithHeaders = 3,
  ListHeaders = 4,
  IsBackupTypeSupported = 5,
  IsDedupSupported = 6,
  IsArchivingSupported = 7,
  Backup = 8,
  BackupList = 9,
  Restore = 10,
  CreateReplica = 11,
  ApplyReplica = 12,
  Version = 13,
  ShowBackupOptions = 14,
  IsAutonomousSupported = 15,
  ShowModuleProperties = 16,
  RestoreParameters = 17,
};

// Values of HxModuleOptions::backup_type.
enum HxBackupType : int {
  Full = 1,
  Incremental = 2,
  Differential = 3,
};

// Indices into HxModuleOptions::capabilities.
enum HxModuleCapability : int {
  IncrementalBackup = 0,
  Deduplication = 1,
  Archiving = 2,
  AutonomousMode = 3,
  OneOperationAtATime = 4,
  SetToNumeric = 5,
};

// Resource names read from the JSON file of -B.
class ResourceList {
 public:
  // Fills the list from the "path" members of each top-level element; false
  // when the file is missing or is not valid JSON (the list is then empty).
  bool parse_json_file(const std::string& path);
  void clear();
  bool is_empty() const;
  // False (with an Error line) when a listed name equals a restriction entry.
  bool check_local_restrictions(const std::vector<std::string>& restrictions) const;
  const std::list<std::string>& resources() const { return resources_; }

 private:
  std::list<std::string> resources_;
};

// The parsed command line and the module's capabilities.
struct HxModuleOptions {
  HxModuleOptions();
  HxModuleOptions(const HxModuleOptions&) = default;
  HxModuleOptions& operator=(const HxModuleOptions&) = default;
  ~HxModuleOptions() = default;

  std::string program_path;
  int mode;
  int backup_type;
  std::string resource;
  ResourceList resource_list;
  std::string resource_list_file;
  std::string tmp_operation_directory;
  std::string archive_name;
  std::string reference_snapshot;
  std::string archive_to_patch;
  int compress;
  bool local_restrictions;
  std::string module_params;
  std::string crypto;
  std::string key_file;
  std::string destination_resource;
  std::string media_server;
  std::string task_id;
  std::string record_id;
  std::string meta_file;
  std::string resolved_meta_file;
  unsigned int parallelism;
  bool archiving;
  bool dgst;
  bool autonomous;
  std::string restriction_list_file;
  std::string granular_list;
  std::array<bool, 6> capabilities;
  std::string remote_host;
  std::string remote_user;
  unsigned int memory_threshold;
};

// The per-resource lock: a system-wide named mutex whose name exists while a
// task holds it, and beside it an owner lock (see hx_owner_lock) in the
// directory `owner_directory`, which only root may write. A name left behind
// by a task that died without releasing it is recognised and taken over;
// anything else found at the name (in /dev/shm, which every user may write)
// is not the module's and refuses the task, never taken for a running one.
class hx_module_mutex {
 public:
  hx_module_mutex(std::string name, std::string owner_directory);
  ~hx_module_mutex();
  hx_module_mutex(const hx_module_mutex&) = delete;
  hx_module_mutex& operator=(const hx_module_mutex&) = delete;

  bool is_created() const;
  boost::shared_ptr<boost::interprocess::named_mutex> get() const;
  // Why the name was not had when no running task holds it (its path, type
  // and owner when something else lies there, or the owner directory's
  // fault); empty otherwise.
  const std::string& refusal() const { return refusal_; }

 private:
  boost::shared_ptr<boost::interprocess::named_mutex> mutex_;
  bool created_;
  std::string name_;
  hx_utils_common::UniqueFd owner_directory_;
  int owner_fd_ = -1;  // descriptor holding the liveness lock of the name
  std::string refusal_;
};

// A lock that a live process holds on a named thing: an owner file locked
// with flock(), which the kernel lets go when the process ends in any way
// (SIGKILL and crashes included), so a lock is never left behind. The holder
// records a description of itself in the file, so that a refused task can
// say who holds the thing. The file lies in a directory of the program's own
// that only root may write (opened with open_private_directory), so no
// other account can plant anything at its name; it is opened without
// following a link, and anything there that is not a plain file of this
// process's user is removed.
class hx_owner_lock {
 public:
  hx_owner_lock() = default;
  ~hx_owner_lock();
  hx_owner_lock(const hx_owner_lock&) = delete;
  hx_owner_lock& operator=(const hx_owner_lock&) = delete;

  // Takes the lock `name` (a file name: letters, digits, "_", "-", ".") in
  // the directory `directory` for this process and records `description` in
  // it. False when another live process holds it: `holder` then receives
  // that process's description (empty when it could not be read), or when
  // the owner file cannot be had (see unavailable).
  bool try_lock(const std::string& directory, const std::string& name, const std::string& description,
                std::string& holder);
  // Lets the lock go (the owner file is removed first); nothing when not held.
  void unlock();
  bool locked() const { return fd_ >= 0; }
  // True after a try_lock that failed because the owner file could not be
  // had (its directory or the file not made or opened): whether another
  // process holds the lock could not be told. problem() says why.
  bool unavailable() const { return unavailable_; }
  const std::string& problem() const { return problem_; }

 private:
  int fd_ = -1;
  hx_utils_common::UniqueFd directory_;
  std::string name_;
  bool unavailable_ = false;
  std::string problem_;
};

class HxModuleUniversal;

// Installs the handlers of interrupt, terminate, segmentation fault, terminal
// stop, continue and broken pipe for the lifetime of the object.
//
// The handlers only record the signal (one byte into a pipe); a thread of
// this object reads the pipe and does the work in ordinary code: a pause
// stops the archiver and holds the task's work, a continue resumes both, and
// an abort ends the task's processes, cleans up the current operation,
// releases the resource lock and ends the program with exit code 17. The
// work runs on the thread that created the object; the abort waits until
// that thread waits for an outside process or for time (see
// hx_utils_common::OutsideWait) or reaches the end of a section that defers
// it, and that thread never goes on afterwards.
//
// The object must be created and destroyed on the same thread.
class HxModuleSignalHandler {
 public:
  static std::unique_ptr<HxModuleSignalHandler> init(HxModuleUniversal* module);
  explicit HxModuleSignalHandler(HxModuleUniversal* module);
  ~HxModuleSignalHandler();
  HxModuleSignalHandler(const HxModuleSignalHandler&) = delete;
  HxModuleSignalHandler& operator=(const HxModuleSignalHandler&) = delete;

  static void shutdown_handler(int sig);
  static void pause_handler(int sig);
  static void continue_handler(int sig);
  static void sigpipe_handler(int sig);
  // Segmentation fault: one sent by a process aborts like terminate; a real
  // fault kills the task's processes and ends the program with 17 at once,
  // doing only what is safe in a signal handler.
  static void fault_handler(int sig, siginfo_t* info, void* context);

  static HxModuleUniversal* module_ptr_;

  class Control;

 private:
  std::unique_ptr<Control> control_;
};

// While an object of this class lives on the thread that does the task's
// work, an abort requested by a signal waits: the operation in progress runs
// to its end first (the release of a backup, for one), and the abort follows
// when the last such object goes. Objects nest; elsewhere they do nothing.
class HxAbortDeferral {
 public:
  HxAbortDeferral();
  ~HxAbortDeferral();
  HxAbortDeferral(const HxAbortDeferral&) = delete;
  HxAbortDeferral& operator=(const HxAbortDeferral&) = delete;

 private:
  bool active_;
};

// While an object of this class lives, an abort of the task runs `cleanup`
// as part of its clean-up (before the release of a backup): for what the
// operation in progress has set up outside this host's task directories, a
// remote host's task files for one. The callback runs on the thread that
// serves the abort, with the task's work stopped.
class HxAbortCleanup {
 public:
  explicit HxAbortCleanup(std::function<void()> cleanup);
  ~HxAbortCleanup();
  HxAbortCleanup(const HxAbortCleanup&) = delete;
  HxAbortCleanup& operator=(const HxAbortCleanup&) = delete;

  // Runs every registered clean-up once, newest first; used by the abort.
  static void run_all();
};

// The exit code of a program whose operation ended with `code`: when its
// answer could not all be written to standard output (full, or a closed
// pipe), an Error line goes to the log and 13 replaces a 0, so that a lost
// answer never reads as success.
int answer_exit_code(int code);

// The directory of the program's own records, which only root may write
// (open it with hx_utils_common::open_private_directory): the base, then
// "/" and the file name of `program_path`. The base is "/opt/halvex/var";
// tests that run outside the test bed set another with
// set_module_state_base.
std::string module_state_directory(const std::string& program_path);
void set_module_state_base(const std::string& base);
// The directory of records that every program of the product shares, which
// only root may write: the base, then "/shared". Locks of things that are
// the same whatever program works on them (an LVM snapshot's name) live
// there, so that two programs never take one for the other's leftover.
std::string shared_state_directory();

// Splits "a.b.c..." into version "a.b" and rest "c"; 0, or 1 on an exception.
int split_full_version(const std::string& full, std::string& version, std::string& rest);

// Abstract base of every backup module.
class HxModuleUniversal {
 public:
  explicit HxModuleUniversal(const HxModuleOptions& options);
  virtual ~HxModuleUniversal();
  HxModuleUniversal(const HxModuleUniversal&) = delete;
  HxModuleUniversal& operator=(const HxModuleUniversal&) = delete;

  // ---- Operations a concrete module provides (in slot order) -------------
  virtual bool prepare_resource_before_backup(const bool& replica) = 0;
  virtual bool release_resource_after_backup() = 0;
  virtual bool load_module_config() = 0;
  virtual void usage_custom() = 0;
  virtual int check_client(const bool& verbose) = 0;
  virtual std::string get_full_module_version() = 0;
  virtual int list_header_labels() = 0;
  virtual int list_all_resources() = 0;
  virtual int list_all_resources_with_header_labels() = 0;
  virtual bool resource_exists() = 0;
  virtual bool before_restore() = 0;
  virtual bool after_restore() = 0;
  virtual bool after_restore_last_file() = 0;
  virtual bool deployment(const bool& replica) = 0;
  virtual void autonomous_options() = 0;
  virtual void make_archiving() = 0;
  virtual std::string archive_sign_filename() const;
  virtual int define_restore_directory();
  virtual void list_restore_parameters();
  virtual void load_custom_module_parameters();
  virtual void handle_shutdown_signal();
  virtual bool apply_replica();
  virtual void close_restore();
  // Runs once a backup has been reported as made (after a successful closing
  // step, past the task's point of no return: an abort no longer stops it);
  // a module removes there what only a completed backup makes obsolete.
  // Does nothing in the base.
  virtual void backup_completed();
  // Runs right after the resource lock and the module configuration in the
  // backup, restore and apply sequences: a module whose resource can be
  // named in more than one way locks here what the task will really work on
  // (with lock_target), so that two tasks on one thing under two names never
  // run at once. False refuses the task with exit code 2 before anything is
  // touched; the module logs why. True in the base.
  virtual bool lock_task_target();
  // Runs right after the module configuration in the backup, restore and
  // apply sequences: a module judges the module parameters (-e) it reads
  // there, before anything is changed. False refuses the task with exit code
  // 14; the module logs which parameter and why. The base judges the
  // framework's settings (parameter_refusals_); a module that overrides it
  // calls the base as well.
  virtual bool module_parameters_valid();
  // Runs in the backup sequence right after the reference snapshot (-s) was
  // taken (unpack_snapshot_file): a module reads there what it takes from the
  // reference backup, through read_reference_file. False refuses the backup
  // with exit code 2 before anything is done; the module logs why. True in
  // the base.
  virtual bool read_reference_snapshot();

  // ---- Command line ---------------------------------------------------------
  // Installs the signal handlers, then parses the command line.
  bool init(int argc, char** argv);
  bool parse_module_options(int argc, char** argv, HxModuleOptions& options);
  // Why parse_module_options refused a command line that it refused without
  // a message of its own (which option is missing, or which options do not
  // go together), for the line after "Wrong combination of options"; empty
  // otherwise.
  const std::string& options_refusal() const { return options_refusal_; }
  void usage(const std::string& program_path);
  static std::string compress_mode_str(unsigned int compress);

  // ---- Dispatcher -----------------------------------------------------------
  // Performs the selected operation and returns the process exit code.
  unsigned int run();
  bool is_module_interrupted() const;
  void module_properties();

  // ---- Module parameters ----------------------------------------------------
  void parce_param_string();
  bool find_special_param(const std::string& key, std::string& value) const;
  // The Error text of a module parameter whose value is refused: names the
  // parameter, its value and what `accepted` says is accepted.
  static std::string invalid_parameter(const std::string& key, const std::string& value,
                                       const std::string& accepted);

  // ---- Signals --------------------------------------------------------------
  // Sends the signal to the running archiver and, for SIGSTOP and SIGCONT,
  // to the processes below it; nothing when no archiver of this task runs.
  void send_signal_to_hxfd(int signal);
  // Sets the pause flag and logs the pause; the work is held at its next
  // wait (hold_while_paused) until continue_working.
  void set_to_pause();
  bool is_paused() const;
  // Clears the pause flag, lets held work go on and logs it.
  void continue_working();
  // Pause: the archiver is stopped (a local one with SIGSTOP, which works
  // also where the kernel discards a terminal stop), then the module is
  // paused; one step, so that an archiver that starts meanwhile is stopped too.
  void pause_task();
  // Returns when the task is not paused, or at once while the archiver's
  // PID is awaited (see pause_holds_work).
  void hold_while_paused();
  // True when a pause holds the task's work: the task is paused, and no
  // archiver has been started whose PID line is still to be read (that line
  // is read during a pause, so that the archiver is stopped as soon as its
  // PID is known).
  bool pause_holds_work() const;
  // Stops the running archiver for a pause: a local one with SIGSTOP, a
  // remote one through its signal helper.
  void pause_archiver();
  // Sets the process that pause, continue and the archiver's forwarding
  // address (0: none), guarded against the signal thread.
  void set_hxfd_pid(pid_t pid);
  // The clean-up of an abort: handle_shutdown_signal while run() performs
  // an operation; before and after that only the resource lock is released.
  void abort_cleanup();
  // The release hook of a backup, run at most once per task whoever asks
  // (the backup sequence or an abort); later calls return the first result.
  // An abort waits until a running release has ended.
  bool release_resource_once();

  // ---- Resource lock ----------------------------------------------------------
  bool lock_resource_handling(const std::string& resource);
  // Releases the resource lock and the locks of lock_target.
  void unlock_resource_handling();
  // Takes, for the rest of the task, the lock of the thing `key` names (a
  // cluster's data directory, say; a path is resolved to its real path
  // first, so that every spelling of it takes the same lock), recording what
  // this task is. False, with an Error line naming `what` and the task that
  // holds it, when another live task of this program holds it.
  bool lock_target(const std::string& key, const std::string& what);

  // ---- Points of no return ------------------------------------------------------
  // From here on an abort no longer ends the task: what was started (a
  // deployment into a stopped server, say) is finished or put back, and the
  // task reports its real result; an abort that comes later is reported with
  // a Warning that it came too late, naming `what`. An abort already pending
  // ends the task here instead, before anything of that step is done.
  // Called on the thread that does the task's work; elsewhere it does nothing.
  static void pass_point_of_no_return(const std::string& what);

  // ---- Archiver child process -------------------------------------------------
  bool run_hxfd_command(const std::string& command, std::string& output, pid_t& pid, std::string& last_statistics);
  std::string get_task_secret() const;

  // ---- Task files and snapshot files -------------------------------------------
  std::string archive_filename() const;
  // The name in -d of the signature file of a backup with --dgst, the last
  // element of archive_sign_filename(): "<-n>.signature" ("<-n>.hxfd.signature"
  // in the autonomous form).
  std::string archive_sign_name() const;
  std::string snapshot_filename() const;
  std::string snapshot_directory_path() const;
  std::string leveldb_directory_path() const;
  std::string meta_filename() const;
  std::string reference_snapshot_directory_path() const;
  int pack_snapshot_file() const;
  // Takes the client's snapshot file or meta file `file` (-s of a backup, -M
  // of a restore), which decides what a backup holds and what the archiver
  // is given. It must be a regular file of this process's user with a single
  // name that group or others may not write, in a directory in which no other
  // account can rename, replace or remove it (open_trusted_directory); it is
  // opened once, without following a link or blocking, and judged on the
  // descriptor. A ".meta" file becomes the resolved meta file as it stands.
  // A ".snap" file is unpacked by tar through that descriptor into
  // "<-d>/<stem>.snap_dir" (made afresh), whose meta file becomes the
  // resolved one, and is then removed (kept when autonomous).
  // reference_directory_ holds the directory of the resolved meta file.
  // 0, or 12 with an Error naming the file, what lies there and why.
  int unpack_snapshot_file(const std::string& file);
  // Reads the file `name` beside the resolved meta file, through
  // reference_directory_, when it holds at most `limit` bytes and satisfies
  // what unpack_snapshot_file asks of the snapshot file (a regular file of
  // this process's user with a single name that group or others may not
  // write). False otherwise: with `missing` set when nothing lies at the name
  // (or no reference was taken), and nothing logged; else with an Error
  // prefixed with `signature` naming the file, what lies there and why.
  bool read_reference_file(const char* signature, const std::string& name, std::size_t limit, std::string& content,
                           bool& missing) const;

  // ---- Backup archiver command and closing step ----------------------------------
  bool make_backup();
  bool make_backup_cmd_common(std::string& command);
  bool make_backup_locally();
  bool add_to_hxfd_list_file(const std::string& path, const std::map<std::string, std::string>& records, bool append);
  bool close_backup(const bool& replica);

  // ---- Local restrictions ------------------------------------------------------------
  std::vector<std::string> read_local_restrictions() const;
  bool check_local_restrictions() const;

  // ---- Remote archiver run ---------------------------------------------------------------
  bool make_backup_remotely();
  bool cleanup_remote_host(const std::string& ssh);

  // ---- Script runner and special records -----------------------------------------------
  bool run_script(const std::string& script, const std::string& arguments);
  bool append_some_special();

  // ---- Restore and apply-replica road ---------------------------------------------------
  bool make_restore(const bool& replica);
  void remove_reference_snapshot_directory();
  int check_file_to_restore_for_sparse(const std::string& file) const;

  // ---- Sequences of the task modes ----------------------------------------------------------
  unsigned int backup_sequence(bool replica);
  unsigned int restore_sequence();
  unsigned int apply_sequence();

  const HxModuleOptions& options() const { return options_; }

 protected:
  friend class HxModuleSignalHandler;

  HxModuleOptions options_;
  std::map<std::string, std::string> special_records_;
  bool without_reference_snapshot_;
  bool remove_tmp_operation_directory_;
  std::string hxd_hash_algorithm_;
  unsigned int hxd_hash_length_;
  unsigned int hxd_block_size_;
  bool file_list_;
  bool numeric_owner_;
  bool last_;
  std::string tmp_catalog_;
  bool without_deployment_restore_;
  pid_t hxfd_pid_;
  bool paused_;
  std::unique_ptr<hx_module_mutex> resource_mutex_;
  std::string reference_snapshot_directory_;
  std::unique_ptr<HxModuleSignalHandler> signal_handler_;
  std::map<std::string, std::string> special_params_;
  // Why items of -e that set the framework's settings cannot be read as
  // meant (an item without ":", a value outside those accepted), in the
  // order given; module_parameters_valid refuses the task for them.
  std::vector<std::string> parameter_refusals_;
  bool interrupted_;
  bool hxfd_succeeded_;
  std::string options_refusal_;
  // Set once define_restore_directory has extended tmp_operation_directory to
  // the restore directory (until then it names the client's -d directory).
  bool restore_directory_defined_ = false;
  // Directories this task made itself: a failed or aborted task removes
  // them, and never one that it found in place (an archive to patch, say).
  // The restore directory is kept by path: the restore hooks may extend
  // tmp_operation_directory below it.
  std::string created_restore_directory_;
  bool snapshot_directory_created_ = false;
  // The -d directory of a backup, once open_operation_directory opened it.
  hx_utils_common::UniqueFd operation_directory_;
  // The directory of the resolved meta file, opened by unpack_snapshot_file:
  // the reference snapshot directory it made, or the trusted directory of a
  // meta file given directly. Empty until then.
  hx_utils_common::UniqueFd reference_directory_;

  // Opens the client's snapshot or meta file `file` for unpack_snapshot_file
  // and, into `directory`, the directory it lies in, as unpack_snapshot_file
  // asks of them; `st` receives the file's fstat result. Empty, with an
  // Error naming the file, what lies there and why, otherwise.
  hx_utils_common::UniqueFd open_reference_file(const std::string& file, hx_utils_common::UniqueFd& directory,
                                                struct stat& st) const;
  // Makes the reference snapshot directory `name` (shown as `path`) in
  // tmp_operation_directory afresh and opens it: a leftover of this user's
  // goes first, anything else lying there refuses it. Empty, with an Error,
  // when it can't be made.
  hx_utils_common::UniqueFd make_reference_directory(const std::string& name, const std::string& path);

  // Opens -d (tmp_operation_directory) as a directory in which no other
  // account can rename, replace or remove what the task makes there
  // (hx_utils_common::open_trusted_directory: every element from "/" root's,
  // writable by group or others only when sticky); true at once when it is
  // open. False, with an Error naming -d, the element and the reason.
  bool open_operation_directory();

  // Guards paused_ and hxfd_pid_, which the signal thread reads and writes
  // while the work goes on.
  mutable std::recursive_mutex control_mutex_;
  std::condition_variable_any resumed_;
  // Set from the start of an archiver run until its PID line has been read.
  bool archiver_pid_pending_ = false;

 private:
  // The task's files on a remote host, as the words of an rm command: the
  // list file, the task secret file, the meta file and the restriction list's
  // copy (each preceded by a blank).
  std::string remote_files() const;
  // Removes the directories of a failed or aborted backup that it made
  // itself: the snapshot directory and an unpacked reference snapshot.
  void remove_created_directories();
  // Removes the restore directory of a failed or aborted restore, with
  // everything in it, when this task made it.
  void remove_created_restore_directory();
  // load_module_config(); its failure is logged here.
  bool config_loaded();
  // Makes the snapshot directory and the leveldb directory below it in -d
  // (or reuses those an earlier run of this task left), never through a
  // link, and makes sure that nothing another account could have placed
  // lies at the snapshot file's name, nor at the signature file's with
  // --dgst. False, with an Error naming what was refused (its path, type and
  // owner), otherwise.
  bool make_snapshot_directories();
  unsigned int backup_steps(bool replica);

  // Target locks of lock_target, held until the program ends.
  std::vector<std::unique_ptr<hx_owner_lock>> target_locks_;

  enum class Release { NotRun, Running, Done };
  Release release_state_ = Release::NotRun;
  bool release_result_ = false;
  bool task_running_ = false;
};
