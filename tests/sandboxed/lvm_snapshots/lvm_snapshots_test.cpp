// LVM snapshots of the module on the test bed's stand-in volumes (ext4 and
// xfs images on loop devices under /dev/mapper) with the live server: made,
// mounted, read, unmounted and removed; nested mount points, stale snapshots,
// failures that must end backup mode, full snapshots, the stop statements,
// and a snapshot taken under load.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "postgresql/hx_module_pg_ostrel.h"
#include "unit/postgresql/pg_test_support.h"

namespace {

namespace fs = boost::filesystem;
using pg_test::env;
using pg_test::sh;
using Lines = std::vector<std::string>;

const std::string kRemoveSig = "bool HxModule_PG_Ostrel::remove_snapshot(lvm_snapshot_info, bool&)";
const std::string kMakeSig = "bool HxModule_PG_Ostrel::make_lvm_snapshots_and_mount()";
const std::string kDataDev = "/dev/mapper/hxvg-data";
const std::string kTsDev = "/dev/mapper/hxvg-ts";

Lines read_lines(const std::string& path) {
  Lines lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A column of findmnt for a mount point ("" when nothing is mounted there).
std::string findmnt(const std::string& point, const std::string& column) {
  setenv("HX_POINT", point.c_str(), 1);
  std::string out;
  sh("findmnt -n -o " + column + " --mountpoint \"$HX_POINT\"", &out);
  return out.substr(0, out.find('\n'));
}
std::string mount_source(const std::string& point) { return findmnt(point, "SOURCE"); }
bool nouuid(const std::string& point) { return findmnt(point, "FS-OPTIONS").find("nouuid") != std::string::npos; }

bool registered(const std::string& node) {
  std::string out;
  sh(env("HX_TESTBED_DIR") + "/lvm list", &out);
  return out.find("\t" + node + "\t") != std::string::npos;
}

std::string lvcreate_8m(const std::string& dev) {
  return "/sbin/lvcreate --size 8M --snapshot --name " + dev + ".snap " + dev;
}

// Whether backup mode is on in the transaction's session: a second start is
// refused then. The probe runs in a savepoint, so a refusal leaves the
// transaction usable.
bool backup_mode_on(pqxx::work& transaction) {
  try {
    pqxx::subtransaction probe(transaction, "probe");
    probe.exec("SELECT pg_backup_start('probe', true)");
    probe.exec("SELECT pg_backup_stop(false)");
    probe.commit();
    return false;
  } catch (const pqxx::sql_error& e) {
    EXPECT_NE(std::string(e.what()).find("a backup is already in progress in this session"), std::string::npos);
    return true;
  }
}

class TestModule : public HxModule_PG_Ostrel {
 public:
  explicit TestModule(const HxModuleOptions& options) : HxModule_PG_Ostrel(options) {}
  std::map<std::string, std::string>& volumes() { return lvm_volumes_; }
  std::vector<lvm_snapshot_info>& snapshots() { return lvm_snapshots_; }
  void set_major(unsigned int major) { pg_version_.major = major; }
  void set_snapshot_size(unsigned int percent) { lvm_snapshot_size_ = percent; }
  pqxx::work& transaction() { return *transaction_; }
};

class LvmSnapshots : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(env("HX_VOLUME_DATA_MNT").empty()) << "run inside the full testbed/sandbox";
    data_mnt_ = env("HX_VOLUME_DATA_MNT");
    ts_mnt_ = env("HX_VOLUME_TS_MNT");
    tmp_ = env("HX_SANDBOX_DIR") + "/task-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(tmp_);
    fs::permissions(tmp_, fs::perms(0755));
    mark_logs();
  }
  void TearDown() override {
    unsetenv("HX_LVM_FAIL");
    unsetenv("HX_LVM_DATA_PERCENT");
    // Whatever a failed case left: snapshots unmounted and removed.
    sh(env("HX_TESTBED_DIR") +
       "/lvm list | awk -F'\t' '$6 != \"-\" {print $3}' | "
       "while read -r n; do umount -l $n; /sbin/lvremove -y $n; done");
  }

  HxModuleOptions options(int mode = HxModuleMode::None, const std::string& tmp = "") const {
    HxModuleOptions o;
    o.program_path = fs::path(env("HX_PG_CONF")).stem().string();
    o.mode = mode;
    o.tmp_operation_directory = tmp.empty() ? tmp_ : tmp;
    o.archive_name = "archive-1";
    return o;
  }
  std::unique_ptr<TestModule> module_of(const std::map<std::string, std::string>& volumes) {
    auto module = std::make_unique<TestModule>(options());
    module->volumes() = volumes;
    return module;
  }
  // A module as in a backup's preparation: its connection and long-lived
  // transaction open on the test bed's server, backup mode started.
  std::unique_ptr<TestModule> backup_module(bool start_backup = true) {
    auto module = std::make_unique<TestModule>(options(HxModuleMode::Backup));
    {
      pg_test::CoutCapture version_line;
      EXPECT_TRUE(module->prapare_module()) << log_.text();
    }
    if (start_backup) module->transaction().exec("SELECT pg_backup_start('lvm-test', true)");
    return module;
  }
  std::string snapshot_dir(const std::string& origin_mnt) const { return tmp_ + "/archive-1" + origin_mnt; }

  // Empties the log capture and the stand-ins' argv logs.
  void mark_logs() {
    log_.clear();
    std::ofstream(env("HX_STANDIN_LOG_DIR") + "/lvm.argv");
    std::ofstream(env("HX_STANDIN_LOG_DIR") + "/lsblk.argv");
  }
  Lines new_argv() const { return read_lines(env("HX_STANDIN_LOG_DIR") + "/lvm.argv"); }
  Lines new_lsblk() const { return read_lines(env("HX_STANDIN_LOG_DIR") + "/lsblk.argv"); }
  long index_of(const std::string& line) const {
    const Lines lines = log_.lines();
    const auto it = std::find(lines.begin(), lines.end(), line);
    return it == lines.end() ? -1 : static_cast<long>(it - lines.begin());
  }

  pg_test::LogCapture log_;
  std::string data_mnt_, ts_mnt_, tmp_;
};

// Made, mounted (xfs with nouuid), read, unmounted and removed, on both volumes.
TEST_F(LvmSnapshots, BothVolumesEndToEnd) {
  std::ofstream(data_mnt_ + "/before.txt") << "written before the snapshot\n";
  std::ofstream(ts_mnt_ + "/before.txt") << "on the xfs volume\n";
  sync();
  mark_logs();
  auto module = module_of({{kDataDev, data_mnt_}, {kTsDev, ts_mnt_}});
  ASSERT_TRUE(module->make_lvm_snapshots_and_mount()) << log_.text();

  const std::string data_dir = snapshot_dir(data_mnt_);
  const std::string ts_dir = snapshot_dir(ts_mnt_);
  std::string records;
  for (const auto& r : module->snapshots()) records += r.volume + " " + r.snapshot + " " + r.mount_point + "\n";
  EXPECT_EQ(records,
            kDataDev + " " + kDataDev + ".snap " + data_dir + "\n" + kTsDev + " " + kTsDev + ".snap " + ts_dir + "\n");
  EXPECT_EQ(mount_source(data_dir), kDataDev + ".snap");
  EXPECT_EQ(mount_source(ts_dir), kTsDev + ".snap");
  EXPECT_TRUE(nouuid(ts_dir)) << findmnt(ts_dir, "FS-OPTIONS");
  EXPECT_FALSE(nouuid(data_dir));

  // Files written before are there; a later change to the origin is not.
  std::ofstream(data_mnt_ + "/before.txt") << "changed\n";
  std::ofstream(data_mnt_ + "/after.txt") << "later\n";
  EXPECT_EQ(pg_test::read_file(data_dir + "/before.txt"), "written before the snapshot\n");
  EXPECT_EQ(pg_test::read_file(ts_dir + "/before.txt"), "on the xfs volume\n");
  EXPECT_TRUE(fs::exists(data_dir + "/pgdata/PG_VERSION"));
  EXPECT_FALSE(fs::exists(data_dir + "/after.txt"));

  // 10 percent of 512 MiB is 104,857.6 sectors -> 104,858; of 320 MiB exactly 65,536.
  EXPECT_EQ(new_argv(), (Lines{"/sbin/lvs " + kDataDev + ".snap",
                               "/sbin/lvs " + kDataDev + " --nosuffix --units B -o lv_size --noheadings",
                               "/sbin/lvcreate --size 53687296B --snapshot --name " + kDataDev + ".snap " + kDataDev,
                               "/sbin/lvs " + kTsDev + ".snap",
                               "/sbin/lvs " + kTsDev + " --nosuffix --units B -o lv_size --noheadings",
                               "/sbin/lvcreate --size 33554432B --snapshot --name " + kTsDev + ".snap " + kTsDev}));
  EXPECT_EQ(new_lsblk(), (Lines{"/bin/lsblk -nf " + kDataDev + ".snap", "/bin/lsblk -nf " + kTsDev + ".snap"}));
  EXPECT_GE(index_of("Info: Create snapshot for the volume: '" + kTsDev + "', snapshot: '" + kTsDev + ".snap'"), 0)
      << log_.text();

  // Removal: the longer mount directory (.../volumes/data) first.
  mark_logs();
  module->umount_and_remove_snapshots();
  EXPECT_EQ(mount_source(data_dir), "");
  EXPECT_EQ(mount_source(ts_dir), "");
  EXPECT_FALSE(registered(kDataDev + ".snap"));
  EXPECT_FALSE(registered(kTsDev + ".snap"));
  EXPECT_EQ(new_argv(), (Lines{"/sbin/lvs " + kDataDev + ".snap --nosuffix -o data_percent --noheadings",
                               "/sbin/lvremove -y " + kDataDev + ".snap",
                               "/sbin/lvs " + kTsDev + ".snap --nosuffix -o data_percent --noheadings",
                               "/sbin/lvremove -y " + kTsDev + ".snap"}));
  const Lines lines = log_.lines();
  ASSERT_EQ(lines.size(), 4u) << log_.text();
  EXPECT_EQ(lines[0].rfind("Info: Snapshot '" + kDataDev + ".snap' was used for:   ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[0].back(), '%');
  EXPECT_EQ(lines[1], "Info: The snapshot was removed: " + kDataDev + ".snap");
  EXPECT_EQ(lines[3], "Info: The snapshot was removed: " + kTsDev + ".snap");
  for (const char* f : {"/before.txt", "/after.txt"}) fs::remove(data_mnt_ + f);
  fs::remove(ts_mnt_ + "/before.txt");
}

// Paths with blanks, quotes and "$" reach the commands quoted for the shell;
// a df that fails is reported with its command.
TEST_F(LvmSnapshots, QuotedPathsAndAFailingDf) {
  const std::string odd = data_mnt_ + "/dir with 'quotes' and $HOME";
  fs::create_directories(odd);
  const std::string task = tmp_ + "/it's a dir";
  fs::create_directories(task);
  TestModule module(options(HxModuleMode::None, task));
  std::string device, vg, mount_point;
  EXPECT_TRUE(module.get_lvm_info_of_mountpoint(odd, device, vg, mount_point)) << log_.text();
  EXPECT_EQ(device + " " + vg + " " + mount_point, kDataDev + " hxvg " + data_mnt_);
  fs::remove_all(odd);

  module.volumes()[kDataDev] = data_mnt_;
  ASSERT_TRUE(module.make_lvm_snapshots_and_mount()) << log_.text();
  const std::string dir = task + "/archive-1" + data_mnt_;
  EXPECT_EQ(module.snapshots().at(0).mount_point, dir);
  EXPECT_EQ(mount_source(dir), kDataDev + ".snap");
  EXPECT_TRUE(fs::exists(dir + "/pgdata/PG_VERSION"));
  module.umount_and_remove_snapshots();
  EXPECT_FALSE(registered(kDataDev + ".snap"));

  mark_logs();
  EXPECT_FALSE(module.get_lvm_info_of_mountpoint("/nonexistent/dir", device, vg, mount_point));
  // df complains on standard error, which the pipe does not collect.
  EXPECT_EQ(log_.lines(), (Lines{"Error: bool HxModule_PG_Ostrel::get_lvm_info_of_mountpoint(std::string, "
                                 "std::string&, std::string&, std::string&): command: LANG=C df /nonexistent/dir | "
                                 "grep ^/dev",
                                 "Error: "}));
  EXPECT_TRUE(new_argv().empty());

  // A link on the way to a mount directory (in a task directory of root's
  // left from an earlier run) is refused before anything is mounted, never
  // followed out of the task directory; the snapshot made for it goes.
  const std::string outside = tmp_ + "/outside";
  const std::string first = std::next(fs::path(data_mnt_).begin())->string();  // below "/"
  fs::create_directories(outside);
  fs::create_directories(tmp_ + "/linked/archive-1");
  fs::create_symlink(outside, tmp_ + "/linked/archive-1/" + first);
  TestModule blocked(options(HxModuleMode::None, tmp_ + "/linked"));
  blocked.volumes()[kDataDev] = data_mnt_;
  mark_logs();
  EXPECT_FALSE(blocked.make_lvm_snapshots_and_mount());
  EXPECT_GE(index_of("Error: " + kMakeSig + ": can't make the mount directory " + tmp_ + "/linked/archive-1" +
                     data_mnt_ + " below the task directory: \"" + first +
                     "\" is a symbolic link, not a directory"),
            0)
      << log_.text();
  EXPECT_EQ(sh("findmnt -rn -o TARGET | grep -q '^" + outside + "'"), 1) << "mounted outside the task directory";
  EXPECT_TRUE(fs::is_empty(outside));
  EXPECT_FALSE(registered(kDataDev + ".snap"));
  blocked.umount_and_remove_snapshots();
}

// A snapshot of the same name left over and still mounted goes first; a
// volume mounted inside another is unmounted and removed first.
TEST_F(LvmSnapshots, StaleSnapshotAndNestedMountPoints) {
  const std::string stale_dir = env("HX_SANDBOX_DIR") + "/stale-mount";
  const std::string nested_mnt = data_mnt_ + "/nested";
  // The inner volume's device sorts before its parent's: it must still be
  // mounted after it, or the parent's snapshot would hide it.
  const std::string nested_dev = "/dev/mapper/hxvg-child";
  fs::create_directories(stale_dir);
  ASSERT_EQ(sh(env("HX_TESTBED_DIR") + "/lvm create-volume hxvg child 64 ext4 " + nested_mnt), 0);
  ASSERT_EQ(sh(lvcreate_8m(kDataDev) + " && /bin/mount " + kDataDev + ".snap " + stale_dir), 0);
  std::ofstream(nested_mnt + "/inner.txt") << "inner volume\n";
  std::ofstream(data_mnt_ + "/fresh.txt") << "after the stale snapshot\n";
  sync();
  mark_logs();
  auto module = module_of({{kDataDev, data_mnt_}, {nested_dev, nested_mnt}});
  ASSERT_TRUE(module->make_lvm_snapshots_and_mount()) << log_.text();
  const Lines lines = log_.lines();
  ASSERT_GE(lines.size(), 3u) << log_.text();
  EXPECT_EQ(lines[0], "Info: Snapshot: " + kDataDev + ".snap exists. Try to remove it");
  EXPECT_EQ(lines[1].rfind("Info: Snapshot '" + kDataDev + ".snap' was used for: ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], "Info: The snapshot was removed: " + kDataDev + ".snap");
  const Lines argv = new_argv();
  ASSERT_GE(argv.size(), 4u);
  EXPECT_EQ(Lines(argv.begin(), argv.begin() + 4),
            (Lines{"/sbin/lvs " + kDataDev + ".snap",
                   "/sbin/lvs " + kDataDev + ".snap --nosuffix -o data_percent --noheadings",
                   "/sbin/lvremove -y " + kDataDev + ".snap",
                   "/sbin/lvs " + kDataDev + " --nosuffix --units B -o lv_size --noheadings"}));
  // The stale mount went with it, and the new snapshot is a fresh one.
  EXPECT_EQ(mount_source(stale_dir), "");
  EXPECT_EQ(pg_test::read_file(snapshot_dir(data_mnt_) + "/fresh.txt"), "after the stale snapshot\n");
  EXPECT_EQ(pg_test::read_file(snapshot_dir(nested_mnt) + "/inner.txt"), "inner volume\n");
  EXPECT_EQ(mount_source(snapshot_dir(nested_mnt)), nested_dev + ".snap");

  mark_logs();
  module->umount_and_remove_snapshots();
  const Lines removal = new_argv();
  const auto nested_at = std::find(removal.begin(), removal.end(), "/sbin/lvremove -y " + nested_dev + ".snap");
  const auto data_at = std::find(removal.begin(), removal.end(), "/sbin/lvremove -y " + kDataDev + ".snap");
  EXPECT_TRUE(nested_at < data_at && data_at != removal.end()) << log_.text();
  EXPECT_EQ(mount_source(snapshot_dir(data_mnt_)), "");
  EXPECT_FALSE(registered(nested_dev + ".snap"));
  EXPECT_FALSE(registered(kDataDev + ".snap"));
  EXPECT_EQ(sh(env("HX_TESTBED_DIR") + "/lvm remove-volume " + nested_dev), 0);
  fs::remove(nested_mnt);
  fs::remove(data_mnt_ + "/fresh.txt");
}

// The data volume's snapshot is made and mounted, then the second one fails:
// its lvcreate, or its mount. Without its file-system type (lsblk fails
// unnoticed: the pipeline's status is awk's; or lsblk knows no type, as on a
// host without udev) the xfs snapshot is mounted without nouuid, which xfs
// refuses while its origin is mounted.
TEST_F(LvmSnapshots, FailingCreateOrMountEndsBackupModeAndRemovesWhatWasMade) {
  const std::string mount_failed =
      "Error: " + kMakeSig + ": command: /bin/mount  " + kTsDev + ".snap " + snapshot_dir(ts_mnt_);
  const std::vector<std::vector<std::string>> cases{
      {"HX_LVM_FAIL", "lvs@hxvg-ts",
       "Error: bool HxModule_PG_Ostrel::create_lvm_snapshot(std::string, std::string&, unsigned int): command: "
       "LANG=C /sbin/lvs " + kTsDev + " --nosuffix --units B -o lv_size --noheadings",
       "Error:   lvs: failure requested by the test bed"},
      {"HX_LVM_FAIL", "lvcreate@hxvg-ts",
       "Error: bool HxModule_PG_Ostrel::create_lvm_snapshot(std::string, std::string&, unsigned int): unable create a "
       "snapshot for the volume: '" +
           kTsDev + "'",
       "Error:   lvcreate: failure requested by the test bed"},
      {"HX_LVM_STALE_FSTYPE", "ext4@hxvg-ts", mount_failed, "Error: mount: "}};
  for (const auto& c : cases) {
    auto module = backup_module();
    ASSERT_TRUE(backup_mode_on(module->transaction()));
    setenv(c[0].c_str(), c[1].c_str(), 1);
    module->volumes() = {{kDataDev, data_mnt_}, {kTsDev, ts_mnt_}};
    mark_logs();
    EXPECT_FALSE(module->make_lvm_snapshots_and_mount());
    unsetenv(c[0].c_str());
    EXPECT_FALSE(backup_mode_on(module->transaction())) << c[1] << ": backup mode must have ended";
    const long at = index_of(c[2]);
    ASSERT_GE(at, 0) << log_.text();
    const Lines lines = log_.lines();
    EXPECT_EQ(lines[at + 1].rfind(c[3], 0), 0u) << lines[at + 1];
    EXPECT_EQ(lines[at + 2], "Info: Stop PostgreSQL base backup");
    EXPECT_GE(index_of("Info: The snapshot was removed: " + kDataDev + ".snap"), at);
    // The snapshot whose mount failed is recorded as soon as it is made, and
    // goes with the others.
    EXPECT_FALSE(registered(kDataDev + ".snap") || registered(kTsDev + ".snap")) << c[1];
    EXPECT_EQ(mount_source(snapshot_dir(data_mnt_)), "");
  }
  EXPECT_EQ(new_lsblk(), (Lines{"/bin/lsblk -nf " + kDataDev + ".snap", "/bin/lsblk -nf " + kTsDev + ".snap"}));
  auto next = module_of({{kTsDev, ts_mnt_}});
  mark_logs();
  ASSERT_TRUE(next->make_lvm_snapshots_and_mount()) << log_.text();
  EXPECT_EQ(index_of("Info: Snapshot: " + kTsDev + ".snap exists. Try to remove it"), -1);
  EXPECT_TRUE(nouuid(snapshot_dir(ts_mnt_)));
  next->umount_and_remove_snapshots();
  EXPECT_FALSE(registered(kTsDev + ".snap"));

  // A host without udev: lsblk knows no file-system type, the xfs copy is
  // still mounted with nouuid.
  setenv("HX_LVM_NO_FSTYPE", "1", 1);
  auto no_udev = module_of({{kTsDev, ts_mnt_}});
  EXPECT_TRUE(no_udev->make_lvm_snapshots_and_mount()) << log_.text();
  unsetenv("HX_LVM_NO_FSTYPE");
  EXPECT_TRUE(nouuid(snapshot_dir(ts_mnt_)));
  no_udev->umount_and_remove_snapshots();
}

TEST_F(LvmSnapshots, FullAndFailingRemovalsAreReported) {
  auto module = module_of({{kDataDev, data_mnt_}});
  ASSERT_TRUE(module->make_lvm_snapshots_and_mount()) << log_.text();
  setenv("HX_LVM_DATA_PERCENT", "100.00", 1);
  mark_logs();
  module->umount_and_remove_snapshots();
  EXPECT_EQ(log_.lines(),
            (Lines{"Info: Snapshot '" + kDataDev + ".snap' was used for:   100.00%",
                   "Error: " + kRemoveSig + ": snapshot was used for 100%",
                   "Info: The snapshot was removed: " + kDataDev + ".snap"}));
  EXPECT_FALSE(registered(kDataDev + ".snap"));

  // Just under 100 is no overflow.
  setenv("HX_LVM_DATA_PERCENT", "99.99", 1);
  ASSERT_EQ(sh(lvcreate_8m(kDataDev)), 0);
  bool overflow = false;
  EXPECT_TRUE(module->remove_snapshot(lvm_snapshot_info("", kDataDev + ".snap", ""), overflow));
  EXPECT_FALSE(overflow);

  // Held open for a moment (a udev rule, a short-lived reader): tried again until it goes.
  ASSERT_EQ(sh(lvcreate_8m(kDataDev)), 0);
  setenv("HX_LVM_BUSY", "hxvg-data.snap:2", 1);
  mark_logs();
  EXPECT_TRUE(module->remove_snapshot(lvm_snapshot_info("", kDataDev + ".snap", ""), overflow));
  unsetenv("HX_LVM_BUSY");
  EXPECT_EQ(log_.lines().at(1), "Info: The snapshot " + kDataDev + ".snap can't be removed yet; trying again for 5 "
                                "seconds") << log_.text();

  // No such snapshot: the fill-level query fails, the removal too.
  mark_logs();
  EXPECT_FALSE(module->remove_snapshot(lvm_snapshot_info("", kDataDev + ".none", ""), overflow));
  const std::string missing = "Error:   Failed to find logical volume \"hxvg/data.none\"";
  EXPECT_EQ(log_.lines(), (Lines{"Error: Device: " + kDataDev + ".none is not a LVM volume",
                                 "Error: bool HxModule_PG_Ostrel::get_lvm_data_percent(std::string, std::string&): "
                                 "command: LANG=C /sbin/lvs " +
                                     kDataDev + ".none --nosuffix -o data_percent --noheadings",
                                 missing, "Error: " + kRemoveSig + ": can't remove snapshot: " + kDataDev + ".none",
                                 "Error: : command: LANG=C /sbin/lvremove -y " + kDataDev + ".none", missing}));

  // A fill level that is no number ends the removal before the remove command.
  ASSERT_EQ(sh(lvcreate_8m(kDataDev)), 0);
  setenv("HX_LVM_DATA_PERCENT", "n/a", 1);
  mark_logs();
  EXPECT_FALSE(module->remove_snapshot(lvm_snapshot_info("", kDataDev + ".snap", ""), overflow));
  ASSERT_EQ(log_.lines().size(), 2u) << log_.text();
  EXPECT_EQ(log_.lines()[1], "Error: " + kRemoveSig + ": stof");
  EXPECT_TRUE(registered(kDataDev + ".snap"));
}

// On this 15 server the 9 and 10-14 statements name functions it does not
// have; the 15+ one ends backup mode and is refused outside it.
TEST_F(LvmSnapshots, StopStatementByVersion) {
  for (const auto& c : std::map<unsigned, std::string>{{9, "pg_stop_backup(boolean)"},
                                                       {14, "pg_stop_backup(boolean, boolean)"},
                                                       {16, "backup is not in progress"}}) {
    auto module = backup_module(false);
    module->set_major(c.first);
    log_.clear();
    pqxx::result result;
    EXPECT_FALSE(module->pg_stop_backup(result));
    EXPECT_EQ(log_.text().rfind("Error: bool HxModule_PG_Ostrel::pg_stop_backup(pqxx::result&): ", 0), 0u);
    EXPECT_NE(log_.text().find(c.second), std::string::npos) << log_.text();
  }
  auto module = backup_module();
  module->set_major(16);
  log_.clear();
  pqxx::result result;
  EXPECT_TRUE(module->pg_stop_backup(result)) << log_.text();
  EXPECT_EQ(log_.lines(), Lines{"Info: Stop PostgreSQL base backup"});
  ASSERT_EQ(result.size(), 1u);
  EXPECT_NE(std::string(result[0][0].c_str()).find("START WAL LOCATION"), std::string::npos);
  EXPECT_FALSE(backup_mode_on(module->transaction()));
}

// Crash consistency: under load (pgbench, and a writer that records each id
// only after its insert committed), every row committed before the snapshot
// is in it, as a second server started on the snapshot shows.
TEST_F(LvmSnapshots, CrashConsistentUnderLoad) {
  const std::string bin = env("HX_PG_BIN");
  const std::string w = env("HX_SANDBOX_DIR");
  const std::string conn = " -h " + env("PGHOST") + " -p " + env("PGPORT") + " -U postgres";
  const std::string psql = bin + "/psql -X -q -v ON_ERROR_STOP=1" + conn;
  const std::string last = w + "/committed.last";
  std::string out;
  ASSERT_EQ(sh(psql + " -d postgres -c 'CREATE DATABASE bench' && " + bin + "/pgbench -q -i -s 2" + conn +
                   " bench && " + psql +
                   " -d bench -c 'CREATE TABLE committed (id int PRIMARY KEY)' -c 'CREATE TABLE on_ts (note text) "
                   "TABLESPACE ts1' -c \"INSERT INTO on_ts VALUES ('static')\"",
               &out),
            0)
      << out;
  std::ofstream(w + "/load.sh") << "#!/bin/bash\n" + bin + "/pgbench -n -c 4 -j 2 -T 120" + conn + " bench >" + w +
                                       "/pgbench.log 2>&1 &\nbench=$!\ni=0\nwhile [ ! -e " + w +
                                       "/stop-load ]; do\n  i=$((i+1))\n  " + psql +
                                       " -d bench -c \"INSERT INTO committed VALUES ($i)\" >/dev/null 2>&1 || break\n"
                                       "  echo $i >" +
                                       last + ".tmp && mv " + last + ".tmp " + last +
                                       "\ndone\nkill $bench 2>/dev/null\nwait\n";
  ASSERT_EQ(sh("(bash " + w + "/load.sh >/dev/null 2>&1 & echo $! >" + w + "/load.pid)"), 0);
  for (int i = 0; i < 100 && !fs::exists(last); ++i) usleep(100000);
  sleep(3);  // let the load build up
  ASSERT_TRUE(fs::exists(last));

  auto module = backup_module();
  module->volumes() = {{kDataDev, data_mnt_}, {kTsDev, ts_mnt_}};
  // Room for what the load and the second server's recovery write: a
  // snapshot that filled up would no longer read.
  module->set_snapshot_size(40);
  const long committed_before = std::stol(pg_test::read_file(last));
  const bool made = module->make_lvm_snapshots_and_mount();
  pqxx::result stop;
  EXPECT_TRUE(module->pg_stop_backup(stop));
  sleep(1);
  const long committed_after = std::stol(pg_test::read_file(last));
  std::ofstream(w + "/stop-load").put('\n');
  sh("while kill -0 $(cat " + w + "/load.pid) 2>/dev/null; do sleep 0.2; done");
  ASSERT_TRUE(made) << log_.text();
  EXPECT_GT(committed_after, committed_before) << "the writer must have run while the snapshot was taken";

  // A second server on the snapshot: own port and socket, no archiving, the
  // tablespace link pointing into the tablespace's snapshot.
  const std::string snap_data = snapshot_dir(data_mnt_) + "/pgdata";
  const std::string sock = w + "/snap-sock";
  // The task directory and the mount directories in it are root's alone;
  // the second server's account must pass through them.
  for (fs::path p = fs::path(snapshot_dir(data_mnt_)).parent_path(); p.string().size() >= tmp_.size();
       p = p.parent_path()) {
    fs::permissions(p, fs::perms(0755));
  }
  const std::string as_postgres =
      "cd / && setpriv --reuid=postgres --regid=postgres --init-groups " + bin + "/pg_ctl -D " + snap_data;
  fs::create_directories(sock);
  sh("chown postgres:postgres " + sock);
  fs::remove(snap_data + "/postmaster.pid");
  for (fs::directory_iterator it(snap_data + "/pg_tblspc"), end; it != end; ++it) {
    fs::remove(it->path());
    fs::create_symlink(snapshot_dir(ts_mnt_) + "/ts1", it->path());
    sh("chown -h postgres:postgres " + it->path().string());
  }
  ASSERT_EQ(sh(as_postgres + " -l " + sock + "/server.log -w -t 60 -o \"-c port=54329 -c listen_addresses='' " +
                   "-c unix_socket_directories=" + sock + " -c archive_mode=off\" start",
               &out),
            0)
      << out << pg_test::read_file(sock + "/server.log");
  const int queried =
      sh(bin + "/psql -X -At -h " + sock + " -p 54329 -U postgres -d bench -c 'SELECT count(*) FROM " +
             "committed WHERE id <= " + std::to_string(committed_before) + "' -c 'SELECT max(id) FROM " +
             "committed' -c 'SELECT note FROM on_ts' -c 'SELECT count(*) FROM pgbench_accounts'",
         &out);
  sh(as_postgres + " -m immediate -w stop");
  ASSERT_EQ(queried, 0) << out;
  std::istringstream answers(out);
  long count = 0, max_id = 0;
  std::string note, accounts;
  answers >> count >> max_id >> note >> accounts;
  EXPECT_EQ(count, committed_before) << "rows committed before the snapshot are missing";
  EXPECT_GE(max_id, committed_before);
  EXPECT_LE(max_id, committed_after);
  EXPECT_EQ(note + " " + accounts, "static 200000");
  module->umount_and_remove_snapshots();
  EXPECT_FALSE(registered(kDataDev + ".snap"));
  EXPECT_FALSE(registered(kTsDev + ".snap"));
  sh(psql + " -d postgres -c 'DROP DATABASE bench'");
}

}  // namespace
