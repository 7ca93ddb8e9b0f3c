// The backup hooks of the PostgreSQL module on the test bed's live server:
// the snapshot-size parameter, an unknown backup type, and a release that
// runs again (the abort of a task after the main flow's own release, or
// after a preparation that stopped half-way) without removing or reporting
// anything twice.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "postgresql/hx_module_pg_ostrel.h"
#include "postgresql/hx_postgresql_common.h"
#include "postgresql/lvm_details.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = boost::filesystem;
using hx_test::env;
using Lines = std::vector<std::string>;

const std::string kPrepareSig = "virtual bool HxModule_PG_Ostrel::prepare_resource_before_backup(const bool&)";

class HookModule : public HxModule_PG_Ostrel {
 public:
  explicit HookModule(const HxModuleOptions& options) : HxModule_PG_Ostrel(options) {}
  unsigned int snapshot_size() const { return lvm_snapshot_size_; }
  void interrupt() { interrupted_ = true; }
  hx_pg_conf& conf() { return pg_conf_; }
  HxModuleOptions& options() { return options_; }
  std::size_t snapshots() const { return lvm_snapshots_.size(); }
  void drop_transaction() { transaction_.reset(); }
  void set_major(unsigned int major) { pg_version_.major = major; }
  pqxx::work& transaction() { return *transaction_; }
};

const std::string kBaseSig = "Error: bool HxModule_PG_Ostrel::prepare_to_base_backup(): ";
const std::string kWalSig = "Error: bool HxModule_PG_Ostrel::prepare_to_archive_WAL_backup(): ";

int psql(const std::string& sql) { return hx_test::sh(env("HX_TESTBED_DIR") + "/pg psql -q -c \"" + sql + "\""); }

// Snapshots the stand-ins have registered.
int registered_snapshots() {
  std::string out;
  hx_test::sh(env("HX_TESTBED_DIR") + "/lvm list | awk -F'\\t' '$6 != \"-\"' | wc -l", &out);
  return std::stoi(out);
}

class BackupHooks : public ::testing::Test {
 protected:
  // A module as the entry point prepares it for a backup of the given type.
  std::unique_ptr<HookModule> module(int type, const std::string& params = "") {
    HxModuleOptions o;
    o.program_path = fs::path(env("HX_PG_CONF")).stem().string();
    o.mode = HxModuleMode::Backup;
    o.backup_type = type;
    o.tmp_operation_directory = dir_.str();
    o.archive_name = "hooks";
    o.module_params = params;
    auto m = std::make_unique<HookModule>(o);
    m->parce_param_string();
    fs::create_directories(m->snapshot_directory_path());  // as the backup sequence does
    hx_test::CoutCapture version_line;
    EXPECT_TRUE(m->prapare_module());
    return m;
  }
  // True when a logged line begins with `text`.
  bool logged(const std::string& text) const {
    for (const auto& line : log_.messages())
      if (line.rfind(text, 0) == 0) return true;
    return false;
  }
  // True when a logged line begins with `text` and holds `part` after it.
  bool logged_with(const std::string& text, const std::string& part) const {
    for (const auto& line : log_.messages())
      if (line.rfind(text, 0) == 0 && line.find(part, text.size()) != std::string::npos) return true;
    return false;
  }
  // A reference backup whose WAL snapshot file ends at `stop`.
  void reference(HookModule& m, const std::string& stop) {
    fs::create_directories(dir_ / "ref");
    std::ofstream(dir_ / "ref/pg_wal_snapshot") << "STOP WAL LOCATION: 0 (file " << stop << ")\n";
    std::ofstream(dir_ / "ref/ref.meta") << "meta";
    // As the backup sequence takes a reference meta file (-s).
    ASSERT_EQ(m.unpack_snapshot_file(dir_ / "ref/ref.meta"), 0);
    ASSERT_TRUE(m.read_reference_snapshot());
  }

  hx_test::TempDir dir_;
  hx_test::LogCapture log_{HxLogLvl::InfoMask};
};

TEST_F(BackupHooks, SnapshotSizeParameterAndUnknownBackupType) {
  const std::vector<std::pair<std::string, unsigned int>> sizes = {
      {"", 10}, {"lvm_snapshot_size:", 10}, {"lvm_snapshot_size:5", 10}, {"lvm_snapshot_size:50", 50},
      {"lvm_snapshot_size:250", 100}, {"lvm_snapshot_size:-1", 100}, {"lvm_snapshot_size:30abc", 30}};
  for (const auto& size : sizes) {
    log_.clear();
    auto m = module(0, size.first);
    EXPECT_FALSE(m->prepare_resource_before_backup(false));
    EXPECT_EQ(m->snapshot_size(), size.second) << size.first;
    EXPECT_EQ(log_.messages(), Lines{"Error: Wrong backup type: 0"}) << size.first;
    log_.clear();
    EXPECT_FALSE(m->release_resource_after_backup());
    EXPECT_EQ(log_.messages(), Lines{"Error: Wrong backup type: 0"});
  }
  log_.clear();
  EXPECT_FALSE(module(HxBackupType::Full, "lvm_snapshot_size:abc")->prepare_resource_before_backup(false));
  EXPECT_EQ(log_.messages(), Lines{"Error: " + kPrepareSig + ": stoi"});
  EXPECT_TRUE(fs::exists(dir_ / "hooks")) << "the task directory is made before anything can fail";
}

TEST_F(BackupHooks, ReleaseRunsAgainWithoutRepeatingAnything) {
  // The main flow's release, then the release of an abort.
  auto m = module(HxBackupType::Full);
  ASSERT_TRUE(m->prepare_resource_before_backup(false)) << log_.text();
  EXPECT_EQ(registered_snapshots(), 2);
  struct stat task {};
  EXPECT_EQ(0, ::stat((dir_ / "hooks").c_str(), &task));
  EXPECT_EQ(0700u, task.st_mode & 07777) << "the task directory is root's alone";
  std::string settings;
  {
    hx_test::CoutCapture out;
    EXPECT_TRUE(m->release_resource_after_backup()) << log_.text();
    settings = out.text();
  }
  EXPECT_NE(settings.find("MODULE SETTING:pg_version:15."), std::string::npos) << settings;
  EXPECT_EQ(registered_snapshots(), 0);
  EXPECT_FALSE(fs::exists(dir_ / "hooks"));
  log_.clear();
  m->interrupt();
  {
    hx_test::CoutCapture out;
    EXPECT_TRUE(m->release_resource_after_backup());
    EXPECT_EQ(out.text(), "");
  }
  EXPECT_EQ(log_.messages(), Lines{});

  // A preparation that stops after the snapshots were mounted (its WAL
  // archive holds no backup history file) removes them itself; the release
  // of an abort then has nothing left to do.
  hx_test::TempDir empty_archive;
  hx_test::sh("chown postgres " + empty_archive.str());
  auto half = module(HxBackupType::Full);
  half->load_module_config();
  half->conf().archive_catalog = empty_archive.str();
  log_.clear();
  EXPECT_FALSE(half->prepare_resource_before_backup(false));
  EXPECT_TRUE(logged(kBaseSig + "Unable to find backup file for PostgreSQL")) << log_.text();
  EXPECT_EQ(registered_snapshots(), 0);
  EXPECT_EQ(half->snapshots(), 0u);
  half->interrupt();
  {
    hx_test::CoutCapture out;
    EXPECT_TRUE(half->release_resource_after_backup());
    EXPECT_EQ(out.text(), "");
  }
}

// A process that may not hand files over (no CAP_CHOWN) and runtime files
// the snapshot cannot lose (immutable on the volume, so in its snapshot too):
// each is reported on standard error and the backup goes on.
TEST_F(BackupHooks, LabelsThatCannotBeHandedOverAndRuntimeFilesThatStay) {
  const std::string data = env("HX_PG_DATA");
  const std::string locked = data + "/pg_internal.init " + data + "/pg_stat_tmp/hx_locked";
  ASSERT_EQ(hx_test::sh("touch " + locked + " && chattr +i " + locked), 0);
  // A runtime path that is a link in a loop: removed as a link, never followed.
  const std::string opts = data + "/postmaster.opts";
  fs::rename(opts, opts + ".hx");
  fs::create_symlink("postmaster.opts", opts);
  auto m = module(HxBackupType::Full);
  bool prepared = false;
  std::string warnings;
  {
    hx_test::CoutCapture err(std::cerr);
    hx_test::CoutCapture out;
    const hx_test::WithoutCapability no_chown(CAP_CHOWN);
    prepared = m->prepare_resource_before_backup(false);
    warnings = err.text();
  }
  hx_test::sh("chattr -i " + locked + " && rm -f " + locked);
  fs::remove(opts);
  fs::rename(opts + ".hx", opts);
  EXPECT_TRUE(prepared) << log_.text();
  const auto owner = hx_postgresql_common::get_user_uid_gid("postgres");
  const std::string to = "\" to " + std::to_string(boost::tuples::get<0>(owner)) + ":" +
                         std::to_string(boost::tuples::get<1>(owner)) + " failed (Operation not permitted)\n";
  const std::string snapshot = dir_ / "hooks" + data;
  EXPECT_EQ(warnings, "Warning: chown \"" + dir_ / "hooks/backup_label" + to + "Warning: chown \"" +
                          dir_ / "hooks/tablespace_map" + to + "prepare_to_base_backup: can't delete: \"" + snapshot +
                          "/pg_stat_tmp/hx_locked\"\nprepare_to_base_backup: can't delete: " + snapshot +
                          "/pg_internal.init\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(snapshot + "/postmaster.opts")));
  hx_test::CoutCapture out;
  EXPECT_TRUE(m->release_resource_after_backup()) << log_.text();
  EXPECT_EQ(registered_snapshots(), 0);
}

// Preparations that stop at one step each, with the Error line of that step;
// the release of the aborted task then leaves no snapshot behind.
TEST_F(BackupHooks, EachFailingStepOfThePreparation) {
  const std::string argv_log = env("HX_STANDIN_LOG_DIR") + "/lvm.argv";
  const std::string late = env("HX_VOLUME_TS_MNT") + "/hx_late";
  const std::string gone = env("HX_VOLUME_TS_MNT") + "/hx_gone";
  const std::string outer = env("HX_VOLUME_TS_MNT") + "/hx_outer";
  const std::string swapped = env("HX_VOLUME_TS_MNT") + "/hx_swap/ts";
  ASSERT_EQ(psql("CREATE ROLE hx_plain LOGIN PASSWORD 'plain'"), 0);
  // Runs `command` in the background once the stand-ins have logged `count`
  // calls whose argv matches `text`, then lets a tool that waits for `go` on.
  const std::string go = dir_ / "go";
  const auto once_logged = [&](const std::string& text, int count, const std::string& command) {
    std::ofstream truncated(argv_log);
    fs::remove(go);
    hx_test::sh("(for i in $(seq 300); do [ $(grep -c '" + text + "' " + argv_log + ") -ge " + std::to_string(count) +
                " ] && break; sleep 0.1; done; " + command + "; touch " + go + ") >/dev/null 2>&1 &");
  };
  const std::string psql_command = env("HX_TESTBED_DIR") + "/pg psql -q -c ";
  struct Case {
    int type;
    std::function<void(HookModule&)> arrange;
    std::string line;  // the beginning of a logged line
  };
  const int full = HxBackupType::Full, incremental = HxBackupType::Incremental;
  const std::vector<Case> cases = {
      {full, [&](HookModule& m) { m.conf().archive_catalog = dir_ / "none"; },
       "Error: " + kPrepareSig + ": can't get stat for the directory '" + dir_ / "none" + "'"},
      {full, [](HookModule& m) { m.drop_transaction(); }, kBaseSig + "no database transaction"},
      {HxBackupType::Differential, [](HookModule& m) { m.drop_transaction(); }, kWalSig + "no database transaction"},
      // Backup mode is on already in the module's session; a statement that
      // failed there earlier closed the transaction.
      {full, [](HookModule& m) { m.transaction().exec("SELECT pg_backup_start('other', true)"); },
       kBaseSig + "ERROR:  a backup is already in progress in this session"},
      {full, [](HookModule& m) { m.pg_stop_backup(); }, kBaseSig + "Error executing query .  Attempt to activate"},
      {incremental, [](HookModule& m) { m.pg_stop_backup(); },
       kWalSig + "Error executing query .  Attempt to activate transaction<READ COMMITTED> which is already closed."},
      {full, [](HookModule& m) { m.conf().username = "hx_plain"; m.conf().password = "plain"; },
       "Error: Unable to determine PostgreSQL data_directory"},
      {full, [](HookModule&) { setenv("HX_LVM_FAIL", "lvs", 1); }, "Error: Device: /dev/mapper/hxvg-data is not"},
      {full, [](HookModule&) { setenv("HX_LVM_FAIL", "lvcreate", 1); },
       "Error: bool HxModule_PG_Ostrel::create_lvm_snapshot(std::string, std::string&, unsigned int): unable create"},
      {full, [](HookModule& m) { fs::remove_all(m.snapshot_directory_path()); }, kBaseSig + "Unable to copy backup_file "},
      {full, [&](HookModule&) { fs::create_directories(dir_ / "hooks/backup_label"); },
       "Error: Can't create backup_label file for PostgreSQL: " + dir_ / "hooks/backup_label"},
      // A link at a label file's name is neither written through nor removed.
      {full,
       [&](HookModule&) {
         fs::create_directories(dir_ / "hooks");
         fs::create_symlink("/dev/full", dir_ / "hooks/tablespace_map");
       },
       kBaseSig + "can't use " + dir_ / "hooks/tablespace_map" + ": a symbolic link owned by uid 0, which another "
                  "account could have placed; it is neither used nor removed"},
      {full, [](HookModule& m) { m.conf().wal_wait_timeout = 0; }, kBaseSig + "Last WAL file is absent in archive"},
      {incremental, [&](HookModule& m) { reference(m, "000000010000000000000001"); m.conf().wal_wait_timeout = 0; },
       "Error: Last WAL file is absent in archive directory: "},
      // The reference's last WAL file lies on another timeline: no chain leads from it.
      {incremental, [&](HookModule& m) { reference(m, "000000020000000000000001"); },
       "Error: Unable to determine wal files sequence"},
      // A tablespace made while the volumes are looked up (slowly), before
      // backup mode begins: in the map, on no snapshot.
      {full,
       [&](HookModule&) {
         setenv("HX_LVM_SLOW", "lvs@vg_name:2", 1);
         std::ofstream truncated(argv_log);
         hx_test::sh("mkdir -p " + late + " && chown postgres " + late + " && (for i in $(seq 100); do " +
                     "[ $(grep -c vg_name " + argv_log + ") -ge 2 ] && break; sleep 0.1; done; " +
                     env("HX_TESTBED_DIR") + "/pg psql -q -c \"CREATE TABLESPACE hx_late LOCATION '" + late +
                     "'\") >/dev/null 2>&1 &");
       },
       kBaseSig + "the tablespace at '" + late + "' was created during the backup: it is on no snapshot of this "
                  "backup. Run the backup again"},
      // One dropped at that moment: on a snapshot, not in the map.
      {full,
       [&](HookModule&) {
         hx_test::sh("mkdir -p " + gone + " && chown postgres " + gone);
         ASSERT_EQ(psql("CREATE TABLESPACE hx_gone LOCATION '" + gone + "'"), 0);
         setenv("HX_LVM_SLOW", "lvs@vg_name:2", 1);
         once_logged("vg_name", 2, psql_command + "\"DROP TABLESPACE hx_gone\"");
       },
       kBaseSig + "the tablespace at '" + gone + "' was dropped during the backup. Run the backup again"},
      // A tablespace whose parent directory becomes a link to its new place
      // on the live volume while the volume's snapshot is being made: inside
      // the snapshot its path leads back out.
      {full,
       [&](HookModule&) {
         hx_test::sh("mkdir -p " + outer + "/hx_out && chown postgres " + outer + "/hx_out");
         ASSERT_EQ(psql("CREATE TABLESPACE hx_out LOCATION '" + outer + "/hx_out'"), 0);
         setenv("HX_LVM_SLOW", ("lvcreate@hxvg-ts:" + go).c_str(), 1);
         once_logged("lvcreate.*hxvg-ts", 1,
                     "mv " + outer + " " + outer + ".real && ln -s " + outer + ".real " + outer);
       },
       kBaseSig + "the tablespace " + dir_ / "hooks" + outer + "/hx_out does not lie inside the mounted snapshot " +
           dir_ / "hooks"},
      // The server's account, which owns the tablespace's parent, swaps a
      // directory of root's in there for the tablespace while the volume's
      // snapshot is being made: the snapshot's copy is not the server's.
      {full,
       [&](HookModule&) {
         hx_test::sh("mkdir -p " + swapped + " && chown -R postgres " + swapped + "/.. && mkdir -m 700 " + swapped +
                     "/../root_only");
         ASSERT_EQ(psql("CREATE TABLESPACE hx_swapped LOCATION '" + swapped + "'"), 0);
         setenv("HX_LVM_SLOW", ("lvcreate@hxvg-ts:" + go).c_str(), 1);
         once_logged("lvcreate.*hxvg-ts", 1,
                     "cd " + swapped + "/.. && setpriv --reuid=postgres --regid=postgres --clear-groups "
                     "sh -c 'mv ts ts.real && mv root_only ts'");
       },
       kBaseSig + "the tablespace " + dir_ / "hooks" + swapped + " in the snapshot: a directory owned by uid 0, not the "
                  "server account's; only a directory of the server's account is backed up as its location"},
  };
  for (const Case& c : cases) {
    auto m = module(c.type);
    c.arrange(*m);
    log_.clear();
    EXPECT_FALSE(m->prepare_resource_before_backup(false)) << c.line;
    unsetenv("HX_LVM_FAIL");
    unsetenv("HX_LVM_SLOW");
    EXPECT_TRUE(logged(c.line)) << c.line << "\n" << log_.text();
    // A failed preparation removes the snapshots it made itself.
    EXPECT_EQ(registered_snapshots(), 0) << c.line;
    m->interrupt();
    EXPECT_TRUE(m->release_resource_after_backup());
    EXPECT_FALSE(fs::exists(dir_ / "hooks")) << c.line << ": the release of an abort removes the task directory";
  }
  ASSERT_EQ(psql("DROP TABLESPACE hx_late"), 0);
  ASSERT_EQ(hx_test::sh("rm " + outer + " && mv " + outer + ".real " + outer), 0);
  ASSERT_EQ(psql("DROP TABLESPACE hx_out"), 0);
  ASSERT_EQ(hx_test::sh("rmdir " + swapped + " && mv " + swapped + ".real " + swapped), 0);
  ASSERT_EQ(psql("DROP TABLESPACE hx_swapped"), 0);

  // A stop cancelled while it waits for the WAL archive: the failed
  // preparation ends the module's session, and with it backup mode.
  {
    auto m = module(full);
    const std::string hold = env("HX_PG_ARCHIVE_HOLD");
    std::ofstream{hold};
    hx_test::sh("(for i in $(seq 300); do " + psql_command +
                "\"SELECT pg_cancel_backend(pid) FROM pg_stat_activity WHERE wait_event = 'BackupWaitWalArchive'\" "
                "-At | grep -q t && break; sleep 0.1; done) >/dev/null 2>&1 &");
    log_.clear();
    EXPECT_FALSE(m->prepare_resource_before_backup(false));
    fs::remove(hold);
    EXPECT_TRUE(logged("Error: bool HxModule_PG_Ostrel::pg_stop_backup(pqxx::result&): ERROR:  canceling statement "
                       "due to user request")) << log_.text();
    std::string sessions;
    for (int i = 0; i < 50 && sessions != "0\n"; ++i, usleep(100000)) {
      hx_test::sh(env("HX_TESTBED_DIR") + "/pg psql -At -c \"SELECT count(*) FROM pg_stat_activity WHERE usename = '" +
                      env("HX_PG_USER") + "'\"",
                  &sessions);
    }
    EXPECT_EQ(sessions, "0\n") << "a session of the module is left, in backup mode";
  }

  // A full file system under the task directory (a small one mounted at
  // it): backup_label fits, tablespace_map does not. The task directory,
  // with something still mounted at it, is never removed: what is on it
  // stays.
  {
    fs::create_directories(dir_ / "hooks");
    ASSERT_EQ(hx_test::sh("mount -t tmpfs -o size=4k hx-full " + dir_ / "hooks"), 0);
    auto m = module(full);
    log_.clear();
    EXPECT_FALSE(m->prepare_resource_before_backup(false));
    EXPECT_TRUE(logged("Error: Can't create tablespace_map file for PostgreSQL: " + dir_ / "hooks/tablespace_map"))
        << log_.text();
    EXPECT_TRUE(logged(kBaseSig + "the task directory " + dir_ / "hooks" + " is left in place: " + dir_ / "hooks" +
                       " is still mounted")) << log_.text();
    EXPECT_NE(hx_test::read_file(dir_ / "hooks/backup_label").find("\nLABEL: hooks\n"), std::string::npos);
    EXPECT_EQ(registered_snapshots(), 0);
    ASSERT_EQ(hx_test::sh("umount " + dir_ / "hooks"), 0);
    m->interrupt();
    EXPECT_TRUE(m->release_resource_after_backup());
    EXPECT_FALSE(fs::exists(dir_ / "hooks"));
  }

  // A snapshot whose name a running task holds is that task's, never a
  // leftover: the backup is refused before it makes or removes any.
  {
    hx_owner_lock held;
    std::string holder;
    ASSERT_TRUE(held.try_lock(shared_state_directory(), hx_pg_lvm::snapshot_lock_name("/dev/mapper/hxvg-ts.snap"),
                              "PID 1, a test", holder));
    log_.clear();
    EXPECT_FALSE(module(full)->prepare_resource_before_backup(false));
    EXPECT_TRUE(logged(kBaseSig + "the snapshot /dev/mapper/hxvg-ts.snap belongs to another running task of this "
                                  "module (PID 1, a test); it is not removed. Run the backup again when that task "
                                  "has ended")) << log_.text();
  }
  // Nor is it when the snapshot locks' directory may be changed by another
  // account: whether a task holds a snapshot cannot be told.
  ASSERT_EQ(0, ::chown(shared_state_directory().c_str(), 65534, 65534));
  log_.clear();
  EXPECT_FALSE(module(full)->prepare_resource_before_backup(false));
  ASSERT_EQ(0, ::chown(shared_state_directory().c_str(), 0, 0));
  EXPECT_TRUE(logged(kBaseSig + "the lock of the snapshot /dev/mapper/hxvg-data.snap cannot be taken: its directory "
                                "cannot be used: \"" + shared_state_directory() + "\": it is owned by uid 65534"))
      << log_.text();
  EXPECT_EQ(registered_snapshots(), 0);

  // Without the server a preparation cannot open its own connection.
  auto base = module(full);
  auto wal = module(incremental);
  ASSERT_EQ(hx_test::sh(env("HX_TESTBED_DIR") + "/pg stop"), 0);
  log_.clear();
  EXPECT_FALSE(base->prepare_resource_before_backup(false));
  EXPECT_FALSE(wal->prepare_resource_before_backup(false));
  ASSERT_EQ(hx_test::sh(env("HX_TESTBED_DIR") + "/pg start"), 0);
  EXPECT_TRUE(logged(kBaseSig + "can't connect to the database: ")) << log_.text();
  EXPECT_TRUE(logged(kWalSig + "can't connect to the database: ")) << log_.text();

  // A data directory named through a link (which, inside the snapshot, leads
  // back out to the live volume): read from the snapshot by its real path.
  // The server answers as one of major 9 (functions of the old names over
  // the new ones): its stop result of three columns becomes the label files.
  const std::string data = env("HX_PG_DATA");
  const std::string alias = fs::path(data).parent_path().string() + "/hx_alias";
  fs::create_symlink(data, alias);
  ASSERT_EQ(hx_test::sh(env("HX_TESTBED_DIR") + "/pg restart -c data_directory=" + alias), 0);
  ASSERT_EQ(psql("CREATE FUNCTION pg_start_backup(label text, fast boolean, exclusive boolean) RETURNS pg_lsn "
                 "LANGUAGE sql AS 'SELECT pg_backup_start(label, fast)'; "
                 "CREATE FUNCTION pg_stop_backup(exclusive boolean, OUT lsn pg_lsn, OUT labelfile text, "
                 "OUT spcmapfile text) LANGUAGE sql AS 'SELECT * FROM pg_backup_stop(true)'"),
            0);
  auto linked = module(full);
  linked->set_major(9);
  log_.clear();
  EXPECT_TRUE(linked->prepare_resource_before_backup(false)) << log_.text();
  EXPECT_TRUE(fs::exists(alias + "/postmaster.pid")) << "the live server's runtime files stay";
  const std::string list = hx_test::read_file(dir_ / "hooks.hxfd.list");
  EXPECT_NE(list.find("   " + dir_ / "hooks" + data + " : " + alias.substr(1) + "\n"), std::string::npos) << list;
  EXPECT_NE(hx_test::read_file(dir_ / "hooks/backup_label").find("\nLABEL: hooks\n"), std::string::npos);
  EXPECT_NE(hx_test::read_file(dir_ / "hooks/tablespace_map").find(" " + env("HX_PG_TBLSPC") + "\n"),
            std::string::npos);
  linked->interrupt();
  EXPECT_TRUE(linked->release_resource_after_backup());
  linked.reset();
  ASSERT_EQ(psql("DROP FUNCTION pg_start_backup, pg_stop_backup"), 0);
  ASSERT_EQ(hx_test::sh(env("HX_TESTBED_DIR") + "/pg restart"), 0);
  fs::remove(alias);
  EXPECT_EQ(registered_snapshots(), 0);
}

// The server's account rewrites the backup history file the server archived
// for the backup (its archive command then runs a script on the archived
// file): the backup takes its WAL range from the server's own answers and
// reads exactly the history file the server named after the label's start,
// which must agree with them; otherwise it fails, naming the file and what
// disagrees. A sibling planted beside it changes nothing.
TEST_F(BackupHooks, HistoryFileIsCheckedAgainstTheServersAnswers) {
  const std::string w = env("HX_SANDBOX_DIR");
  const std::string archive = env("HX_PG_ARCHIVE");
  const std::string act = w + "/tamper.sh", calls = w + "/tampered.log", command = w + "/tampering_archive";
  std::ofstream(command) << "#!/bin/sh\n\"" << w << "/pg/bin/archive_wal\" \"$1\" \"$2\" || exit 1\necho \"$2\" >>'"
                         << calls << "'\ncase \"$2\" in *.backup) [ ! -f '" << act << "' ] || sh '" << act << "' '"
                         << archive << "/'\"$2\" ;; esac\n";
  const std::string aside = w + "/tamper_aside";
  ASSERT_EQ(hx_test::sh("chmod 755 " + command + " && install -o postgres /dev/null " + calls + " && mkdir -p " + aside +
                        " && chown postgres " + aside + " && echo root > " + aside + "/root_history"),
            0);
  ASSERT_EQ(psql("ALTER SYSTEM SET archive_command = '" + command + " %p %f'"), 0);
  ASSERT_EQ(psql("SELECT pg_reload_conf()"), 0);
  // The server archives with it once a WAL file switched now was archived
  // by it (a failing archive command is retried only after up to a minute).
  std::string switched;
  ASSERT_EQ(hx_test::sh(env("HX_TESTBED_DIR") + "/pg psql -qAt -c \"CREATE TEMP TABLE probe (); "
                                                "SELECT pg_walfile_name(pg_switch_wal())\"",
                        &switched),
            0);
  ASSERT_EQ(hx_test::sh("for i in $(seq 1200); do grep -qx " + switched.substr(0, 24) + " " + calls +
                        " && exit 0; sleep 0.1; done; exit 1"),
            0);

  struct Tamper {
    std::string act, line, part;
  };
  const std::string history = kBaseSig + "the backup history file " + archive + "/";
  const std::vector<Tamper> cases = {
      {"sed -i 's|^START WAL LOCATION: .*|START WAL LOCATION: 0/1000028 (file 000000010000000000000001)|' \"$1\"",
       history, ".backup does not belong to this backup, whose label says: START WAL LOCATION: "},
      {"sed -i 's|^STOP WAL LOCATION: [^ ]*|STOP WAL LOCATION: 0/1|' \"$1\"", history,
       ".backup says STOP WAL LOCATION: 0/1, but the server stopped the backup at "},
      {"sed -i '/^STOP WAL LOCATION/s|(file [0-9A-F]*)|(file 0000000100000000000000AA)|' \"$1\"", history,
       ".backup names the stop WAL file 0000000100000000000000AA, but the server's stop location "},
      {"sed -i '/^STOP WAL LOCATION/s|(file [0-9A-F]*)|(file ../rootonly/secret)|' \"$1\"",
       "Error: int hx_postgresql_common::get_stop_wal_file(const string&, std::string&): " + archive + "/",
       ".backup names ../rootonly/secret as the file of its STOP WAL LOCATION, which is no WAL segment file name"},
      {"truncate -s 100M \"$1\"", kBaseSig + "can't read " + archive + "/",
       ".backup: a regular file of 104857600 bytes, more than the 65536 bytes that are read of it"},
      {"mv -f '" + aside + "/root_history' \"$1\"", history,
       ".backup is a regular file owned by uid 0, not a file of the server's account"},
      {"rm \"$1\"", kBaseSig + "the WAL archive holds no backup history file " + archive + "/",
       ".backup, which the server wrote for this backup"},
  };
  const auto run = [&](const std::string& text) {
    std::ofstream(act) << text << "\n";
    auto m = module(HxBackupType::Full);
    log_.clear();
    const bool prepared = m->prepare_resource_before_backup(false);
    std::string snapshot;
    if (prepared) snapshot = hx_test::read_file(m->wal_snapshot_filename());
    m->interrupt();
    EXPECT_TRUE(m->release_resource_after_backup());
    EXPECT_EQ(registered_snapshots(), 0) << text;
    return std::make_pair(prepared, snapshot);
  };
  // A sibling that sorts after the server's file, with this backup's start
  // and a stop at its first WAL file, is no part of the backup's range.
  const auto planted = run("sed 's|^STOP WAL LOCATION: .*|STOP WAL LOCATION: 0/1000028 (file 000000010000000000000001)|; "
                           "/^LABEL/d' \"$1\" >\"${1%.*.*}.FFFFFFFF.backup\"");
  EXPECT_TRUE(planted.first) << log_.text();
  EXPECT_NE(planted.second.find("\nLABEL: hooks\n"), std::string::npos) << planted.second;
  for (const Tamper& c : cases) {
    EXPECT_FALSE(run(c.act).first) << c.act;
    EXPECT_TRUE(logged_with(c.line, c.part)) << c.act << "\n" << log_.text();
  }
  EXPECT_TRUE(logged(kBaseSig + "Unable to find backup file for PostgreSQL")) << log_.text();
  fs::remove(act);
  ASSERT_EQ(psql("ALTER SYSTEM RESET archive_command"), 0);
  ASSERT_EQ(psql("SELECT pg_reload_conf()"), 0);
  hx_test::sh("find " + archive + " -name '*.FFFFFFFF.backup' -delete -o -name '*.backup' -size +64k -delete");
}

// The release of an incremental backup: a WAL snapshot file that cannot be
// written fails it; settings the module's account may not read are reported
// and left out.
TEST_F(BackupHooks, ReleaseOfAnIncrementalBackup) {
  ASSERT_EQ(psql("CREATE ROLE hx_plain_release LOGIN PASSWORD 'plain'"), 0);
  auto m = module(HxBackupType::Differential);  // which takes the incremental road
  m->conf().username = "hx_plain_release";
  m->conf().password = "plain";
  {
    hx_test::CoutCapture out;
    EXPECT_TRUE(m->release_resource_after_backup());
    EXPECT_EQ(out.text(), "MODULE SETTING:start_wal_location:\nMODULE SETTING:stop_wal_location:\n"
                          "MODULE SETTING:pg_version:15." + std::to_string(m->server_version().minor) + "\n");
  }
  EXPECT_EQ(log_.at("Error").size(), 4u) << log_.text();
  EXPECT_TRUE(log_.has("Error", "Can't show_config_file") && log_.has("Error", "Can't show_data_directory"));
  const std::string path = m->wal_snapshot_filename();
  const auto cannot_write = [&](const std::string& why) {
    return Lines{"Error: bool HxModule_PG_Ostrel::release_after_archive_WAL_backup(): can't use " + path + ": " + why,
                 "Error: Can't create empty snapshot file for archive WAL PostgreSQL backup: " + path};
  };
  // On a full disk (here a file-size limit), through a link planted at its
  // name (never followed), and in a directory that is gone.
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit small{20, saved.rlim_max};
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  log_.clear();
  EXPECT_FALSE(m->release_resource_after_backup());
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_EQ(log_.messages(), cannot_write("File too large"));
  const std::string target = dir_ / "kept";
  std::ofstream(target) << "kept";
  fs::remove(path);
  fs::create_symlink(target, path);
  log_.clear();
  EXPECT_FALSE(m->release_resource_after_backup());
  EXPECT_EQ(log_.messages(), cannot_write("a symbolic link owned by uid 0, which another account could have placed; "
                                          "it is neither used nor removed"));
  EXPECT_EQ(hx_test::read_file(target), "kept");
  fs::remove_all(m->snapshot_directory_path());
  log_.clear();
  EXPECT_FALSE(m->release_resource_after_backup());
  EXPECT_EQ(log_.messages(), cannot_write("No such file or directory"));
}

}  // namespace
