// LVM snapshots of the module on the test bed's stand-in volumes (ext4 and
// xfs image files on loop devices under /dev/mapper) with the live server:
// volume lookup, snapshots made, mounted, read, measured, unmounted and
// removed, nested mount points, stale snapshots, failures that must end the
// server's backup mode, full snapshots, the stop statements, and snapshots
// taken while the server is under load.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "postgresql/hx_module_pg_ostrel.h"
#include "unit/postgresql/pg_test_support.h"

namespace {

namespace fs = boost::filesystem;

const std::string kInfoSig =
    "bool HxModule_PG_Ostrel::get_lvm_info_of_mountpoint(std::string, std::string&, std::string&, std::string&)";
const std::string kCreateSig = "bool HxModule_PG_Ostrel::create_lvm_snapshot(std::string, std::string&, unsigned int)";
const std::string kRemoveSig = "bool HxModule_PG_Ostrel::remove_snapshot(lvm_snapshot_info, bool&)";
const std::string kMakeSig = "bool HxModule_PG_Ostrel::make_lvm_snapshots_and_mount()";
const std::string kStopSig = "bool HxModule_PG_Ostrel::pg_stop_backup(pqxx::result&)";

const std::string kDataDev = "/dev/mapper/hxvg-data";
const std::string kTsDev = "/dev/mapper/hxvg-ts";

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Runs a shell command; its exit status, with standard output and error in out.
int sh(const std::string& command, std::string* out = nullptr) {
  std::string text;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  while (fgets(buffer, sizeof(buffer), pipe) != nullptr) text += buffer;
  const int status = pclose(pipe);
  if (out != nullptr) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios_base::trunc);
  out << text;
}

// A mountinfo field with its octal escapes (\040 for a blank) decoded.
std::string unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// Mount points (field 5 of mountinfo) and their mount source.
std::map<std::string, std::string> mounts() {
  std::map<std::string, std::string> result;
  for (const auto& line : read_lines("/proc/self/mountinfo")) {
    std::istringstream in(line);
    std::vector<std::string> f;
    std::string word;
    while (in >> word) f.push_back(word);
    const auto sep = std::find(f.begin(), f.end(), "-");
    if (sep == f.end() || sep + 2 >= f.end() || f.size() < 5) continue;
    result[unescape(f[4])] = *(sep + 2);
  }
  return result;
}

// Mount options (per-mount and super options) of a mount point.
std::string mount_options(const std::string& mount_point) {
  for (const auto& line : read_lines("/proc/self/mountinfo")) {
    std::istringstream in(line);
    std::vector<std::string> f;
    std::string word;
    while (in >> word) f.push_back(word);
    if (f.size() > 5 && unescape(f[4]) == mount_point) return f[5] + " " + f.back();
  }
  return "";
}

// Lines of the stand-in registry (testbed/lvm list).
std::vector<std::string> registry() {
  std::string out;
  sh(env("HX_TESTBED_DIR") + "/lvm list", &out);
  std::vector<std::string> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool registered(const std::string& node) {
  for (const auto& line : registry()) {
    std::istringstream in(line);
    std::string vg, lv, n;
    in >> vg >> lv >> n;
    if (n == node) return true;
  }
  return false;
}

bool contains_line(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

// Index of the first line equal to `line`, or -1.
long index_of(const std::vector<std::string>& lines, const std::string& line) {
  const auto it = std::find(lines.begin(), lines.end(), line);
  return it == lines.end() ? -1 : static_cast<long>(it - lines.begin());
}

// The module with its protected state within reach.
class TestModule : public HxModule_PG_Ostrel {
 public:
  explicit TestModule(const HxModuleOptions& options) : HxModule_PG_Ostrel(options) {}
  std::map<std::string, std::string>& volumes() { return lvm_volumes_; }
  std::vector<lvm_snapshot_info>& snapshots() { return lvm_snapshots_; }
  void set_snapshot_size(unsigned int percent) { lvm_snapshot_size_ = percent; }
  void set_major(unsigned int major) { pg_version_.major = major; }
  pqxx::work& transaction() { return *transaction_; }
  bool has_transaction() const { return static_cast<bool>(transaction_); }
};

class LvmSnapshots : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(env("HX_VOLUME_DATA_MNT").empty()) << "run inside the full testbed/sandbox";
    data_mnt_ = env("HX_VOLUME_DATA_MNT");
    ts_mnt_ = env("HX_VOLUME_TS_MNT");
    argv_log_ = env("HX_STANDIN_LOG_DIR") + "/lvm.argv";
    lsblk_log_ = env("HX_STANDIN_LOG_DIR") + "/lsblk.argv";
    argv_start_ = read_lines(argv_log_).size();
    lsblk_start_ = read_lines(lsblk_log_).size();
    tmp_ = env("HX_SANDBOX_DIR") + "/task-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(tmp_);
    fs::permissions(tmp_, fs::perms(0755));
    unsetenv("HX_LVM_FAIL");
    unsetenv("HX_LVM_DATA_PERCENT");
  }

  void TearDown() override {
    unsetenv("HX_LVM_FAIL");
    unsetenv("HX_LVM_DATA_PERCENT");
    // Whatever a failed case left: snapshots unmounted and removed.
    for (const auto& line : registry()) {
      std::istringstream in(line);
      std::string vg, lv, node, image, loop, origin;
      in >> vg >> lv >> node >> image >> loop >> origin;
      if (origin != "-") {
        sh("umount -l " + node + " 2>/dev/null; /sbin/lvremove -y " + node);
      }
    }
  }

  HxModuleOptions options(int mode = HxModuleMode::None) const {
    HxModuleOptions o;
    o.program_path = fs::path(env("HX_PG_CONF")).stem().string();
    o.mode = mode;
    o.tmp_operation_directory = tmp_;
    o.archive_name = "archive-1";
    return o;
  }

  // A module in backup mode's preparation state: its connection and
  // long-lived transaction open on the test bed's server.
  std::unique_ptr<TestModule> backup_module() {
    auto module = std::make_unique<TestModule>(options(HxModuleMode::Backup));
    std::streambuf* saved = std::cout.rdbuf(nullptr);  // the version line
    const bool ok = module->prapare_module();
    std::cout.rdbuf(saved);
    EXPECT_TRUE(ok) << log_.text();
    return module;
  }

  // Mount directory of a snapshot of an origin mounted at origin_mnt.
  std::string snapshot_dir(const std::string& origin_mnt) const { return tmp_ + "/archive-1" + origin_mnt; }

  std::vector<std::string> new_argv() const {
    auto lines = read_lines(argv_log_);
    return std::vector<std::string>(lines.begin() + static_cast<long>(std::min(argv_start_, lines.size())),
                                    lines.end());
  }
  std::vector<std::string> new_lsblk() const {
    auto lines = read_lines(lsblk_log_);
    return std::vector<std::string>(lines.begin() + static_cast<long>(std::min(lsblk_start_, lines.size())),
                                    lines.end());
  }

  long long volume_size(const std::string& node) {
    std::string out;
    EXPECT_EQ(sh("/sbin/lvs " + node + " --nosuffix --units B -o lv_size --noheadings", &out), 0) << out;
    return std::stoll(out);
  }

  pg_test::LogCapture log_;
  std::string data_mnt_;
  std::string ts_mnt_;
  std::string argv_log_;
  std::string lsblk_log_;
  std::size_t argv_start_ = 0;
  std::size_t lsblk_start_ = 0;
  std::string tmp_;
};

TEST_F(LvmSnapshots, VolumeOfServerDirectories) {
  TestModule module(options());
  std::string device, vg, mount_point;
  ASSERT_TRUE(module.get_lvm_info_of_mountpoint(env("HX_PG_DATA"), device, vg, mount_point)) << log_.text();
  EXPECT_EQ(device, kDataDev);
  EXPECT_EQ(vg, "hxvg");
  EXPECT_EQ(mount_point, data_mnt_);
  ASSERT_TRUE(module.get_lvm_info_of_mountpoint(env("HX_PG_TBLSPC"), device, vg, mount_point)) << log_.text();
  EXPECT_EQ(device, kTsDev);
  EXPECT_EQ(vg, "hxvg");
  EXPECT_EQ(mount_point, ts_mnt_);
  EXPECT_TRUE(log_.lines().empty()) << log_.text();
  EXPECT_EQ(new_argv(), (std::vector<std::string>{
                            "/sbin/lvs " + kDataDev + " --nosuffix --units B -o vg_name --noheadings",
                            "/sbin/lvs " + kTsDev + " --nosuffix --units B -o vg_name --noheadings"}));
}

TEST_F(LvmSnapshots, PlainDirectoryIsNotOnLvm) {
  TestModule module(options());
  std::string df;
  ASSERT_EQ(sh("LANG=C df " + tmp_ + " | grep ^/dev | awk '{print $1}'", &df), 0)
      << "the sandbox directory must lie on a /dev file system for this case";
  df.erase(df.find_last_not_of('\n') + 1);

  std::string device, vg = "unchanged", mount_point;
  EXPECT_FALSE(module.get_lvm_info_of_mountpoint(tmp_, device, vg, mount_point));
  EXPECT_EQ(device, df);
  EXPECT_EQ(vg, "unchanged");
  const auto lines = log_.lines();
  ASSERT_GE(lines.size(), 3u) << log_.text();
  EXPECT_EQ(lines[0], "Error: Device: " + df + " is not a LVM volume");
  EXPECT_EQ(lines[1], "Error: " + kInfoSig + ": command: LANG=C /sbin/lvs " + df +
                          " --nosuffix --units B -o vg_name --noheadings");
  EXPECT_EQ(lines[2], "Error:   \"" + df + "\": Invalid path for Logical Volume.");
}

TEST_F(LvmSnapshots, MissingPathFailsTheDfCommand) {
  TestModule module(options());
  std::string device = "d", vg = "v", mount_point = "m";
  EXPECT_FALSE(module.get_lvm_info_of_mountpoint("/nonexistent/dir", device, vg, mount_point));
  const auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 2u) << log_.text();
  EXPECT_EQ(lines[0], "Error: " + kInfoSig + ": command: LANG=C df /nonexistent/dir | grep ^/dev");
  // df reports on standard error, which the pipe does not collect: the
  // output line is empty.
  EXPECT_EQ(lines[1], "Error: ");
  EXPECT_EQ(device, "d");
  EXPECT_TRUE(new_argv().empty());
}

TEST_F(LvmSnapshots, PathWithBlanksIsQuotedForTheShell) {
  const std::string dir = data_mnt_ + "/dir with 'quotes' and $HOME";
  fs::create_directories(dir);
  TestModule module(options());
  std::string device, vg, mount_point;
  EXPECT_TRUE(module.get_lvm_info_of_mountpoint(dir, device, vg, mount_point)) << log_.text();
  EXPECT_EQ(device, kDataDev);
  EXPECT_EQ(vg, "hxvg");
  fs::remove_all(dir);
}

// Create, mount, read, measure, unmount and remove, on both volumes.
TEST_F(LvmSnapshots, EndToEnd) {
  write_file(data_mnt_ + "/before.txt", "written before the snapshot\n");
  write_file(ts_mnt_ + "/before.txt", "on the xfs volume\n");
  sync();
  // 10 percent of 512 MiB is 53,687,091.2 bytes: 104,857.6 sectors, so
  // 104,858 sectors; of 320 MiB exactly 65,536 sectors.
  ASSERT_EQ(volume_size(kDataDev), 536870912LL);
  ASSERT_EQ(volume_size(kTsDev), 335544320LL);
  argv_start_ = read_lines(argv_log_).size();

  TestModule module(options());
  module.volumes()[kDataDev] = data_mnt_;
  module.volumes()[kTsDev] = ts_mnt_;
  ASSERT_TRUE(module.make_lvm_snapshots_and_mount()) << log_.text();

  const std::string data_snap_dir = snapshot_dir(data_mnt_);
  const std::string ts_snap_dir = snapshot_dir(ts_mnt_);
  ASSERT_EQ(module.snapshots().size(), 2u);
  EXPECT_EQ(module.snapshots()[0].volume, kDataDev);
  EXPECT_EQ(module.snapshots()[0].snapshot, kDataDev + ".snap");
  EXPECT_EQ(module.snapshots()[0].mount_point, data_snap_dir);
  EXPECT_EQ(module.snapshots()[1].volume, kTsDev);
  EXPECT_EQ(module.snapshots()[1].snapshot, kTsDev + ".snap");
  EXPECT_EQ(module.snapshots()[1].mount_point, ts_snap_dir);

  // Each snapshot is mounted from its own node; xfs with nouuid.
  auto m = mounts();
  EXPECT_EQ(m[data_snap_dir], kDataDev + ".snap");
  EXPECT_EQ(m[ts_snap_dir], kTsDev + ".snap");
  EXPECT_NE(mount_options(ts_snap_dir).find("nouuid"), std::string::npos) << mount_options(ts_snap_dir);
  EXPECT_EQ(mount_options(data_snap_dir).find("nouuid"), std::string::npos);

  // Files written before are there; a file written afterwards is not, and a
  // change to the origin does not reach the snapshot.
  EXPECT_EQ(pg_test::read_file(data_snap_dir + "/before.txt"), "written before the snapshot\n");
  EXPECT_EQ(pg_test::read_file(ts_snap_dir + "/before.txt"), "on the xfs volume\n");
  EXPECT_TRUE(fs::exists(data_snap_dir + "/pgdata/PG_VERSION"));
  write_file(data_mnt_ + "/after.txt", "later\n");
  write_file(data_mnt_ + "/before.txt", "changed\n");
  EXPECT_FALSE(fs::exists(data_snap_dir + "/after.txt"));
  EXPECT_EQ(pg_test::read_file(data_snap_dir + "/before.txt"), "written before the snapshot\n");

  // Fill level: small at first, grows with the changes to the origin.
  std::string percent;
  ASSERT_TRUE(module.get_lvm_data_percent(kDataDev + ".snap", percent)) << log_.text();
  const float first = std::stof(percent);
  EXPECT_LT(first, 5.0f) << percent;
  ASSERT_EQ(sh("dd if=/dev/urandom of=" + data_mnt_ + "/grow.bin bs=1M count=8 conv=fsync status=none"), 0);
  ASSERT_TRUE(module.get_lvm_data_percent(kDataDev + ".snap", percent)) << log_.text();
  EXPECT_GT(std::stof(percent), first + 10.0f) << percent;  // 8 MiB of 51.2 MiB
  EXPECT_LT(std::stof(percent), 100.0f) << percent;

  const auto made = new_argv();
  EXPECT_EQ(made[0], "/sbin/lvs " + kDataDev + ".snap");
  EXPECT_EQ(made[1], "/sbin/lvs " + kDataDev + " --nosuffix --units B -o lv_size --noheadings");
  EXPECT_EQ(made[2], "/sbin/lvcreate --size 53687296B --snapshot --name " + kDataDev + ".snap " + kDataDev);
  EXPECT_EQ(made[3], "/sbin/lvs " + kTsDev + ".snap");
  EXPECT_EQ(made[4], "/sbin/lvs " + kTsDev + " --nosuffix --units B -o lv_size --noheadings");
  EXPECT_EQ(made[5], "/sbin/lvcreate --size 33554432B --snapshot --name " + kTsDev + ".snap " + kTsDev);
  EXPECT_EQ(new_lsblk(), (std::vector<std::string>{"/bin/lsblk -nf " + kDataDev + ".snap",
                                                   "/bin/lsblk -nf " + kTsDev + ".snap"}));
  EXPECT_TRUE(contains_line(log_.lines(), "Info: Create snapshot for the volume: '" + kDataDev +
                                              "', snapshot: '" + kDataDev + ".snap'"))
      << log_.text();
  EXPECT_TRUE(contains_line(log_.lines(), "Info: Create snapshot for the volume: '" + kTsDev + "', snapshot: '" +
                                              kTsDev + ".snap'"))
      << log_.text();

  // Removal: the longer mount directory first (.../volumes/data is longer
  // than .../volumes/ts).
  log_.clear();
  argv_start_ = read_lines(argv_log_).size();
  module.umount_and_remove_snapshots();
  m = mounts();
  EXPECT_EQ(m.count(data_snap_dir), 0u);
  EXPECT_EQ(m.count(ts_snap_dir), 0u);
  EXPECT_FALSE(registered(kDataDev + ".snap"));
  EXPECT_FALSE(registered(kTsDev + ".snap"));
  EXPECT_FALSE(fs::exists(kDataDev + ".snap"));
  EXPECT_TRUE(registered(kDataDev));
  EXPECT_EQ(module.snapshots().size(), 2u);  // the records stay
  EXPECT_EQ(new_argv(), (std::vector<std::string>{
                            "/sbin/lvs " + kDataDev + ".snap --nosuffix -o data_percent --noheadings",
                            "/sbin/lvremove -y " + kDataDev + ".snap",
                            "/sbin/lvs " + kTsDev + ".snap --nosuffix -o data_percent --noheadings",
                            "/sbin/lvremove -y " + kTsDev + ".snap"}));
  const auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 4u) << log_.text();
  EXPECT_EQ(lines[0].rfind("Info: Snapshot '" + kDataDev + ".snap' was used for:   ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[0].back(), '%');
  EXPECT_EQ(lines[1], "Info: The snapshot was removed: " + kDataDev + ".snap");
  EXPECT_EQ(lines[2].rfind("Info: Snapshot '" + kTsDev + ".snap' was used for:   ", 0), 0u) << lines[2];
  EXPECT_EQ(lines[3], "Info: The snapshot was removed: " + kTsDev + ".snap");

  fs::remove(data_mnt_ + "/grow.bin");
  fs::remove(data_mnt_ + "/after.txt");
  fs::remove(data_mnt_ + "/before.txt");
  fs::remove(ts_mnt_ + "/before.txt");
}

// A task directory with a blank and a quote: the mount command gets it
// quoted for the shell, and the snapshot is mounted there.
TEST_F(LvmSnapshots, TaskDirectoryWithBlankIsQuoted) {
  HxModuleOptions o = options();
  o.tmp_operation_directory = tmp_ + "/it's a dir";
  fs::create_directories(o.tmp_operation_directory);
  TestModule module(o);
  module.volumes()[kDataDev] = data_mnt_;
  ASSERT_TRUE(module.make_lvm_snapshots_and_mount()) << log_.text();
  const std::string dir = o.tmp_operation_directory + "/archive-1" + data_mnt_;
  EXPECT_EQ(module.snapshots().at(0).mount_point, dir);
  EXPECT_EQ(mounts()[dir], kDataDev + ".snap");
  EXPECT_TRUE(fs::exists(dir + "/pgdata/PG_VERSION"));
  module.umount_and_remove_snapshots();
  EXPECT_FALSE(registered(kDataDev + ".snap"));
  EXPECT_FALSE(fs::exists(dir + "/pgdata"));
}

// The size example of a 1 GiB origin, on a 1 GiB stand-in volume, and the
// module parameter's range.
TEST_F(LvmSnapshots, SizeOfSnapshotOfOneGib) {
  const std::string mnt = env("HX_SANDBOX_DIR") + "/volumes/big";
  ASSERT_EQ(sh(env("HX_TESTBED_DIR") + "/lvm create-volume hxvg big 1024 ext4 " + mnt), 0);
  const std::string dev = "/dev/mapper/hxvg-big";
  EXPECT_EQ(volume_size(dev), 1073741824LL);
  argv_start_ = read_lines(argv_log_).size();

  TestModule module(options());
  std::string name = dev + ".snap";
  ASSERT_TRUE(module.create_lvm_snapshot(dev, name, 10)) << log_.text();
  EXPECT_EQ(name, dev + ".snap");
  std::string snap100 = dev + ".full";
  ASSERT_TRUE(module.create_lvm_snapshot(dev, snap100, 100)) << log_.text();
  EXPECT_EQ(new_argv(), (std::vector<std::string>{
                            "/sbin/lvs " + dev + " --nosuffix --units B -o lv_size --noheadings",
                            "/sbin/lvcreate --size 107374080B --snapshot --name " + dev + ".snap " + dev,
                            "/sbin/lvs " + dev + " --nosuffix --units B -o lv_size --noheadings",
                            "/sbin/lvcreate --size 1073741824B --snapshot --name " + dev + ".full " + dev}));
  EXPECT_EQ(volume_size(dev + ".snap"), 107374080LL);
  EXPECT_TRUE(module.does_snapshot_exist(dev + ".snap"));
  EXPECT_FALSE(module.does_snapshot_exist(dev + ".none"));
  bool overflow = false;
  EXPECT_TRUE(module.remove_snapshot(lvm_snapshot_info("", dev + ".snap", ""), overflow)) << log_.text();
  EXPECT_TRUE(module.remove_snapshot(lvm_snapshot_info("", dev + ".full", ""), overflow)) << log_.text();
  EXPECT_FALSE(overflow);
  EXPECT_FALSE(module.does_snapshot_exist(dev + ".snap"));
  EXPECT_EQ(sh(env("HX_TESTBED_DIR") + "/lvm remove-volume " + dev), 0);
}

TEST_F(LvmSnapshots, NestedMountPointsRemovedDeepestFirst) {
  const std::string nested_mnt = data_mnt_ + "/nested";
  ASSERT_EQ(sh(env("HX_TESTBED_DIR") + "/lvm create-volume hxvg nested 64 ext4 " + nested_mnt), 0);
  const std::string nested_dev = "/dev/mapper/hxvg-nested";
  write_file(nested_mnt + "/inner.txt", "inner volume\n");
  write_file(data_mnt_ + "/outer.txt", "outer volume\n");
  sync();

  TestModule module(options());
  module.volumes()[kDataDev] = data_mnt_;
  module.volumes()[nested_dev] = nested_mnt;
  ASSERT_TRUE(module.make_lvm_snapshots_and_mount()) << log_.text();
  EXPECT_EQ(pg_test::read_file(snapshot_dir(data_mnt_) + "/outer.txt"), "outer volume\n");
  EXPECT_EQ(pg_test::read_file(snapshot_dir(nested_mnt) + "/inner.txt"), "inner volume\n");
  EXPECT_EQ(mounts()[snapshot_dir(nested_mnt)], nested_dev + ".snap");

  argv_start_ = read_lines(argv_log_).size();
  log_.clear();
  module.umount_and_remove_snapshots();
  const auto removal = new_argv();
  const long nested_at = index_of(removal, "/sbin/lvremove -y " + nested_dev + ".snap");
  const long data_at = index_of(removal, "/sbin/lvremove -y " + kDataDev + ".snap");
  ASSERT_GE(nested_at, 0) << joined(removal);
  ASSERT_GE(data_at, 0) << joined(removal);
  EXPECT_LT(nested_at, data_at) << joined(removal);
  ASSERT_EQ(module.snapshots().size(), 2u);
  EXPECT_EQ(module.snapshots()[0].mount_point, snapshot_dir(nested_mnt));
  EXPECT_EQ(module.snapshots()[1].mount_point, snapshot_dir(data_mnt_));
  EXPECT_EQ(mounts().count(snapshot_dir(data_mnt_)), 0u);
  EXPECT_FALSE(registered(nested_dev + ".snap"));
  EXPECT_FALSE(registered(kDataDev + ".snap"));

  EXPECT_EQ(sh(env("HX_TESTBED_DIR") + "/lvm remove-volume " + nested_dev), 0);
  fs::remove(data_mnt_ + "/outer.txt");
  fs::remove(nested_mnt);
}

TEST_F(LvmSnapshots, StaleSnapshotRemovedFirst) {
  // A snapshot of the same name left over, still mounted somewhere.
  const std::string stale_dir = env("HX_SANDBOX_DIR") + "/stale-mount";
  fs::create_directories(stale_dir);
  ASSERT_EQ(sh("/sbin/lvcreate --size 8M --snapshot --name " + kDataDev + ".snap " + kDataDev), 0);
  ASSERT_EQ(sh("/bin/mount " + kDataDev + ".snap " + stale_dir), 0);
  write_file(data_mnt_ + "/fresh.txt", "after the stale snapshot\n");
  sync();
  argv_start_ = read_lines(argv_log_).size();

  TestModule module(options());
  module.volumes()[kDataDev] = data_mnt_;
  ASSERT_TRUE(module.make_lvm_snapshots_and_mount()) << log_.text();
  const auto lines = log_.lines();
  ASSERT_GE(lines.size(), 3u) << log_.text();
  EXPECT_EQ(lines[0], "Info: Snapshot: " + kDataDev + ".snap exists. Try to remove it");
  EXPECT_EQ(lines[1].rfind("Info: Snapshot '" + kDataDev + ".snap' was used for: ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], "Info: The snapshot was removed: " + kDataDev + ".snap");
  const auto argv = new_argv();
  ASSERT_GE(argv.size(), 5u) << joined(argv);
  EXPECT_EQ(argv[0], "/sbin/lvs " + kDataDev + ".snap");
  EXPECT_EQ(argv[1], "/sbin/lvs " + kDataDev + ".snap --nosuffix -o data_percent --noheadings");
  EXPECT_EQ(argv[2], "/sbin/lvremove -y " + kDataDev + ".snap");
  EXPECT_EQ(argv[3], "/sbin/lvs " + kDataDev + " --nosuffix --units B -o lv_size --noheadings");
  EXPECT_EQ(argv[4].rfind("/sbin/lvcreate --size ", 0), 0u);
  // The stale mount went with it (unmounted by its device name), and the new
  // snapshot is a fresh one.
  EXPECT_EQ(mounts().count(stale_dir), 0u);
  EXPECT_EQ(pg_test::read_file(snapshot_dir(data_mnt_) + "/fresh.txt"), "after the stale snapshot\n");
  module.umount_and_remove_snapshots();
  EXPECT_FALSE(registered(kDataDev + ".snap"));
  fs::remove(data_mnt_ + "/fresh.txt");
}

// In backup mode on the module's transaction: whether a new backup could
// start in this session tells whether backup mode is still on. The probe
// runs in a savepoint, so a refusal leaves the transaction usable.
bool backup_mode_on(pqxx::work& transaction) {
  try {
    pqxx::subtransaction probe(transaction, "probe");
    probe.exec("SELECT pg_backup_start('probe', true)");
    probe.exec("SELECT pg_backup_stop(false)");
    probe.commit();
    return false;
  } catch (const pqxx::sql_error& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("a backup is already in progress in this session"), std::string::npos) << what;
    return true;
  }
}

TEST_F(LvmSnapshots, FailingCreateEndsBackupModeAndRemovesWhatWasMade) {
  auto module = backup_module();
  ASSERT_TRUE(module->has_transaction());
  module->transaction().exec("SELECT pg_backup_start('lvm-test', true)");
  ASSERT_TRUE(backup_mode_on(module->transaction()));

  // The data volume's snapshot is made and mounted, the second one fails.
  setenv("HX_LVM_FAIL", "lvcreate@hxvg-ts", 1);
  module->volumes()[kDataDev] = data_mnt_;
  module->volumes()[kTsDev] = ts_mnt_;
  log_.clear();
  EXPECT_FALSE(module->make_lvm_snapshots_and_mount());

  EXPECT_FALSE(backup_mode_on(module->transaction())) << "backup mode must have ended";
  const auto lines = log_.lines();
  const long failed = index_of(lines, "Error: " + kCreateSig + ": unable create a snapshot for the volume: '" +
                                          kTsDev + "'");
  ASSERT_GE(failed, 0) << log_.text();
  EXPECT_EQ(lines[failed + 1], "Error:   lvcreate: failure requested by the test bed");
  EXPECT_EQ(lines[failed + 2], "Info: Stop PostgreSQL base backup");
  EXPECT_EQ(lines.back(), "Info: The snapshot was removed: " + kDataDev + ".snap");
  EXPECT_FALSE(registered(kDataDev + ".snap"));
  EXPECT_FALSE(registered(kTsDev + ".snap"));
  EXPECT_EQ(mounts().count(snapshot_dir(data_mnt_)), 0u);
  ASSERT_EQ(module->snapshots().size(), 1u);
  EXPECT_EQ(module->snapshots()[0].snapshot, kDataDev + ".snap");
}

TEST_F(LvmSnapshots, FailingFirstCreateStillEndsBackupMode) {
  auto module = backup_module();
  module->transaction().exec("SELECT pg_backup_start('lvm-test', true)");
  setenv("HX_LVM_FAIL", "lvcreate", 1);
  module->volumes()[kDataDev] = data_mnt_;
  EXPECT_FALSE(module->make_lvm_snapshots_and_mount());
  EXPECT_FALSE(backup_mode_on(module->transaction()));
  EXPECT_TRUE(module->snapshots().empty());
  EXPECT_FALSE(fs::exists(snapshot_dir(data_mnt_)));  // no directory before a snapshot exists
}

// Without the file-system type the xfs snapshot is mounted without nouuid,
// which xfs refuses while its origin is mounted: a real mount failure. (A
// failing lsblk goes unnoticed: the pipeline's status is awk's, and lsblk's
// complaint goes to standard error; only the type is missing.)
TEST_F(LvmSnapshots, FailingMountEndsBackupModeAndNextRunRemovesTheLeftover) {
  auto module = backup_module();
  module->transaction().exec("SELECT pg_backup_start('lvm-test', true)");
  setenv("HX_LVM_FAIL", "lsblk@hxvg-ts", 1);
  module->volumes()[kDataDev] = data_mnt_;
  module->volumes()[kTsDev] = ts_mnt_;
  log_.clear();
  EXPECT_FALSE(module->make_lvm_snapshots_and_mount());
  EXPECT_FALSE(backup_mode_on(module->transaction()));

  const std::string type_command = "/bin/lsblk -nf " + kTsDev + ".snap | /usr/bin/awk '{print $2}'";
  const std::string mount_command = "/bin/mount  " + kTsDev + ".snap " + snapshot_dir(ts_mnt_);
  const auto lines = log_.lines();
  EXPECT_EQ(index_of(lines, "Warning: " + kMakeSig + ": command: " + type_command), -1) << log_.text();
  EXPECT_EQ(new_lsblk(), (std::vector<std::string>{"/bin/lsblk -nf " + kDataDev + ".snap",
                                                   "/bin/lsblk -nf " + kTsDev + ".snap"}));
  const long err = index_of(lines, "Error: " + kMakeSig + ": command: " + mount_command);
  ASSERT_GE(err, 0) << log_.text();
  EXPECT_EQ(lines[err + 1].rfind("Error: mount: ", 0), 0u) << lines[err + 1];
  EXPECT_EQ(lines[err + 2], "Info: Stop PostgreSQL base backup");
  EXPECT_EQ(lines.back(), "Info: The snapshot was removed: " + kDataDev + ".snap");
  EXPECT_FALSE(registered(kDataDev + ".snap"));
  // The snapshot whose mount failed was never recorded: it stays ...
  EXPECT_TRUE(registered(kTsDev + ".snap"));
  EXPECT_TRUE(fs::is_directory(snapshot_dir(ts_mnt_)));

  // ... until the next run removes it as stale and succeeds.
  unsetenv("HX_LVM_FAIL");
  TestModule next(options());
  next.volumes()[kTsDev] = ts_mnt_;
  log_.clear();
  ASSERT_TRUE(next.make_lvm_snapshots_and_mount()) << log_.text();
  EXPECT_EQ(log_.lines()[0], "Info: Snapshot: " + kTsDev + ".snap exists. Try to remove it");
  EXPECT_NE(mount_options(snapshot_dir(ts_mnt_)).find("nouuid"), std::string::npos);
  next.umount_and_remove_snapshots();
  EXPECT_FALSE(registered(kTsDev + ".snap"));
}

TEST_F(LvmSnapshots, FullSnapshotIsReportedAndStillRemoved) {
  TestModule module(options());
  module.volumes()[kDataDev] = data_mnt_;
  ASSERT_TRUE(module.make_lvm_snapshots_and_mount()) << log_.text();

  setenv("HX_LVM_DATA_PERCENT", "99.99", 1);
  bool overflow = false;
  log_.clear();
  const lvm_snapshot_info record = module.snapshots()[0];
  // A fill level just under 100 is no overflow.
  std::string percent;
  ASSERT_TRUE(module.get_lvm_data_percent(record.snapshot, percent));
  EXPECT_EQ(percent, "  99.99\n");

  setenv("HX_LVM_DATA_PERCENT", "100.00", 1);
  log_.clear();
  module.umount_and_remove_snapshots();
  const auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 4u) << log_.text();
  EXPECT_EQ(lines[0], "Info: Snapshot '" + kDataDev + ".snap' was used for:   100.00%");
  EXPECT_EQ(lines[1], "Error: " + kRemoveSig + ": snapshot was used for 100%");
  EXPECT_EQ(lines[2], "Info: The snapshot was removed: " + kDataDev + ".snap");
  EXPECT_EQ(lines[3], "Error: void HxModule_PG_Ostrel::umount_and_remove_snapshots(): the snapshot " + kDataDev +
                          ".snap of " + kDataDev +
                          " overflowed: the data read from it may be incomplete; do not rely on this backup and "
                          "raise lvm_snapshot_size");
  EXPECT_FALSE(registered(kDataDev + ".snap"));

  // The flag of remove_snapshot itself: set at 100, never cleared.
  ASSERT_EQ(sh("/sbin/lvcreate --size 8M --snapshot --name " + kDataDev + ".snap " + kDataDev), 0);
  overflow = false;
  EXPECT_TRUE(module.remove_snapshot(lvm_snapshot_info("", kDataDev + ".snap", ""), overflow));
  EXPECT_TRUE(overflow);
  setenv("HX_LVM_DATA_PERCENT", "99.99", 1);
  ASSERT_EQ(sh("/sbin/lvcreate --size 8M --snapshot --name " + kDataDev + ".snap " + kDataDev), 0);
  EXPECT_TRUE(module.remove_snapshot(lvm_snapshot_info("", kDataDev + ".snap", ""), overflow));
  EXPECT_TRUE(overflow);
  bool fresh = false;
  ASSERT_EQ(sh("/sbin/lvcreate --size 8M --snapshot --name " + kDataDev + ".snap " + kDataDev), 0);
  EXPECT_TRUE(module.remove_snapshot(lvm_snapshot_info("", kDataDev + ".snap", ""), fresh));
  EXPECT_FALSE(fresh);
}

TEST_F(LvmSnapshots, RemovalFailuresAreReported) {
  TestModule module(options());
  bool overflow = false;
  // No such snapshot: the fill-level query fails, the removal too.
  log_.clear();
  EXPECT_FALSE(module.remove_snapshot(lvm_snapshot_info("", kDataDev + ".none", ""), overflow));
  auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 6u) << log_.text();
  EXPECT_EQ(lines[0], "Error: Device: " + kDataDev + ".none is not a LVM volume");
  EXPECT_EQ(lines[1], "Error: bool HxModule_PG_Ostrel::get_lvm_data_percent(std::string, std::string&): command: "
                      "LANG=C /sbin/lvs " + kDataDev + ".none --nosuffix -o data_percent --noheadings");
  EXPECT_EQ(lines[2], "Error:   Failed to find logical volume \"hxvg/data.none\"");
  EXPECT_EQ(lines[3], "Error: " + kRemoveSig + ": can't remove snapshot: " + kDataDev + ".none");
  EXPECT_EQ(lines[4], "Error: : command: LANG=C /sbin/lvremove -y " + kDataDev + ".none");
  EXPECT_EQ(lines[5], "Error:   Failed to find logical volume \"hxvg/data.none\"");

  // A fill level that is no number: the exception ends the removal before
  // the remove command (the snapshot stays).
  ASSERT_EQ(sh("/sbin/lvcreate --size 8M --snapshot --name " + kDataDev + ".snap " + kDataDev), 0);
  setenv("HX_LVM_DATA_PERCENT", "n/a", 1);
  log_.clear();
  EXPECT_FALSE(module.remove_snapshot(lvm_snapshot_info("", kDataDev + ".snap", ""), overflow));
  lines = log_.lines();
  ASSERT_EQ(lines.size(), 2u) << log_.text();
  EXPECT_EQ(lines[1], "Error: " + kRemoveSig + ": stof");
  EXPECT_TRUE(registered(kDataDev + ".snap"));
}

// The stop statement by server major version: on this 15 server the 9 and
// 10-14 forms name functions it does not have, the 15+ form ends backup mode.
TEST_F(LvmSnapshots, StopStatementByVersion) {
  struct Case {
    unsigned int major;
    std::string missing_function;
  };
  for (const Case& c : {Case{9, "pg_stop_backup(boolean)"}, Case{12, "pg_stop_backup(boolean, boolean)"},
                        Case{14, "pg_stop_backup(boolean, boolean)"}}) {
    auto module = backup_module();
    module->set_major(c.major);
    log_.clear();
    pqxx::result result;
    EXPECT_FALSE(module->pg_stop_backup(result));
    const auto lines = log_.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("Error: " + kStopSig + ": ", 0), 0u) << lines[0];
    EXPECT_NE(log_.text().find("function " + c.missing_function + " does not exist"), std::string::npos)
        << c.major << ": " << log_.text();
  }
  for (unsigned int major : {15u, 16u}) {
    auto module = backup_module();
    module->set_major(major);
    module->transaction().exec("SELECT pg_backup_start('stop-test', true)");
    log_.clear();
    pqxx::result result;
    EXPECT_TRUE(module->pg_stop_backup(result)) << log_.text();
    EXPECT_EQ(log_.lines(), (std::vector<std::string>{"Info: Stop PostgreSQL base backup"}));
    ASSERT_EQ(result.size(), 1u);
    EXPECT_NE(std::string(result[0][0].c_str()).find("START WAL LOCATION"), std::string::npos);
    EXPECT_FALSE(backup_mode_on(module->transaction()));
    // Not in backup mode: the server refuses.
    log_.clear();
    EXPECT_FALSE(module->pg_stop_backup(result));
    EXPECT_NE(log_.text().find("backup is not in progress"), std::string::npos) << log_.text();
  }
}

// Crash consistency: with the server under load (pgbench and a writer that
// records each committed row), every row committed before the snapshot is
// in it. A second server started on the snapshot recovers from its crash
// image and shows them.
TEST_F(LvmSnapshots, CrashConsistentUnderLoad) {
  const std::string bin = env("HX_PG_BIN");
  const std::string psql = bin + "/psql -X -q -v ON_ERROR_STOP=1 -h " + env("PGHOST") + " -p " + env("PGPORT") +
                           " -U postgres";
  std::string out;
  ASSERT_EQ(sh(psql + " -d postgres -c 'CREATE DATABASE bench'", &out), 0) << out;
  ASSERT_EQ(sh(bin + "/pgbench -q -i -s 2 -h " + env("PGHOST") + " -p " + env("PGPORT") + " -U postgres bench",
               &out),
            0)
      << out;
  ASSERT_EQ(sh(psql + " -d bench -c 'CREATE TABLE committed (id int PRIMARY KEY)' -c "
                      "'CREATE TABLE on_ts (note text) TABLESPACE ts1' -c \"INSERT INTO on_ts VALUES ('static')\"",
               &out),
            0)
      << out;

  const std::string w = env("HX_SANDBOX_DIR");
  const std::string last = w + "/committed.last";
  // Load: pgbench clients, and a writer that writes each id to a file only
  // after its insert was committed.
  const std::string load_script = w + "/load.sh";
  write_file(load_script,
             "#!/bin/bash\n" + bin + "/pgbench -n -c 4 -j 2 -T 120 -h " + env("PGHOST") + " -p " + env("PGPORT") +
                 " -U postgres bench >" + w + "/pgbench.log 2>&1 &\n"
                 "echo $! >" + w + "/pgbench.pid\n"
                 "i=0\nwhile [ ! -e " + w + "/stop-load ]; do\n  i=$((i+1))\n  " + psql +
                 " -d bench -c \"INSERT INTO committed VALUES ($i)\" >/dev/null 2>&1 || break\n"
                 "  echo $i >" + last + ".tmp && mv " + last + ".tmp " + last + "\ndone\n"
                 "kill $(cat " + w + "/pgbench.pid) 2>/dev/null\nwait\n");
  ASSERT_EQ(sh("chmod 755 " + load_script + " && (" + load_script + " >/dev/null 2>&1 & echo $! >" + w +
               "/load.pid)"),
            0);
  // Let the load build up.
  for (int i = 0; i < 100 && !fs::exists(last); ++i) usleep(100000);
  sleep(3);
  ASSERT_TRUE(fs::exists(last));

  auto module = backup_module();
  module->transaction().exec("SELECT pg_backup_start('crash-test', true)");
  module->volumes()[kDataDev] = data_mnt_;
  module->volumes()[kTsDev] = ts_mnt_;
  const long committed_before = std::stol(pg_test::read_file(last));
  const bool made = module->make_lvm_snapshots_and_mount();
  pqxx::result stop;
  EXPECT_TRUE(module->pg_stop_backup(stop));
  sleep(1);
  const long committed_after_snapshot = std::stol(pg_test::read_file(last));
  write_file(w + "/stop-load", "");
  std::string load_pid = pg_test::read_file(w + "/load.pid");
  load_pid.erase(load_pid.find_last_not_of('\n') + 1);
  sh("while kill -0 " + load_pid + " 2>/dev/null; do sleep 0.2; done");
  ASSERT_TRUE(made) << log_.text();
  EXPECT_GT(committed_after_snapshot, committed_before) << "the writer must have run while the snapshot was taken";

  // A second server on the snapshot: its own port and socket, no archiving,
  // the tablespace link pointing into the tablespace's snapshot.
  const std::string snap_data = snapshot_dir(data_mnt_) + "/pgdata";
  const std::string snap_ts = snapshot_dir(ts_mnt_) + "/ts1";
  const std::string sock = w + "/snap-sock";
  fs::create_directories(sock);
  sh("chown postgres:postgres " + sock);
  fs::remove(snap_data + "/postmaster.pid");
  for (fs::directory_iterator it(snap_data + "/pg_tblspc"), end; it != end; ++it) {
    const fs::path link = it->path();
    fs::remove(link);
    fs::create_symlink(snap_ts, link);
    sh("chown -h postgres:postgres " + link.string());
  }
  const std::string port = "54329";
  const std::string start = "cd / && setpriv --reuid=postgres --regid=postgres --init-groups " + bin +
                            "/pg_ctl -D " + snap_data + " -l " + sock + "/server.log -w -t 60 -o \"-c port=" + port +
                            " -c listen_addresses='' -c unix_socket_directories=" + sock +
                            " -c archive_mode=off\" start";
  ASSERT_EQ(sh(start, &out), 0) << out << pg_test::read_file(sock + "/server.log");
  const std::string snap_psql = bin + "/psql -X -At -h " + sock + " -p " + port + " -U postgres -d bench -c ";
  std::string count, max_id, note;
  EXPECT_EQ(sh(snap_psql + "'SELECT count(*) FROM committed WHERE id <= " + std::to_string(committed_before) + "'",
               &count),
            0)
      << count;
  EXPECT_EQ(sh(snap_psql + "'SELECT max(id) FROM committed'", &max_id), 0) << max_id;
  EXPECT_EQ(sh(snap_psql + "'SELECT note FROM on_ts'", &note), 0) << note;
  EXPECT_EQ(sh(snap_psql + "'SELECT count(*) FROM pgbench_accounts'", &out), 0) << out;
  EXPECT_EQ(out, "200000\n");
  sh("cd / && setpriv --reuid=postgres --regid=postgres --init-groups " + bin + "/pg_ctl -D " + snap_data +
     " -m immediate -w stop");

  EXPECT_EQ(std::stol(count), committed_before) << "rows committed before the snapshot are missing";
  EXPECT_GE(std::stol(max_id), committed_before);
  EXPECT_LE(std::stol(max_id), committed_after_snapshot);
  EXPECT_EQ(note, "static\n");

  module->umount_and_remove_snapshots();
  EXPECT_FALSE(registered(kDataDev + ".snap"));
  EXPECT_FALSE(registered(kTsDev + ".snap"));
  sh(psql + " -d postgres -c 'DROP DATABASE bench'");
}

}  // namespace
