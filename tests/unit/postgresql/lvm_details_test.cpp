// The parts of the LVM snapshot code that need no volumes: snapshot size
// arithmetic, reading df and lsblk output, the fill level, the order of
// removal, and the module's snapshot operations with nothing to do.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "postgresql/hx_module_pg_ostrel.h"
#include "postgresql/lvm_details.h"
#include "unit/postgresql/pg_test_support.h"

namespace {

using hx_pg_lvm::snapshot_size_bytes;

TEST(LvmSnapshotSize, OneGibAtTenPercent) {
  // 107,374,182.4 bytes -> 107,374,182; /512 = 209,715.2 -> 209,715 sectors.
  EXPECT_EQ(snapshot_size_bytes(10, 1073741824LL), 107374080u);
}

TEST(LvmSnapshotSize, MultipleOf512NearestToTheShare) {
  EXPECT_EQ(snapshot_size_bytes(100, 536870912LL), 536870912u);
  EXPECT_EQ(snapshot_size_bytes(10, 536870912LL), 53687296u);   // 53687091.2 -> 104857.6 -> 104858
  EXPECT_EQ(snapshot_size_bytes(10, 335544320LL), 33554432u);   // exact: 65536 sectors
  EXPECT_EQ(snapshot_size_bytes(50, 0), 0u);
  for (long long size : {1LL, 511LL, 1000LL, 123456789LL, 10737418240LL, 999999999999LL}) {
    for (unsigned int percent : {10u, 11u, 33u, 99u, 100u}) {
      const std::uint64_t n = snapshot_size_bytes(percent, size);
      EXPECT_EQ(n % 512, 0u) << percent << "% of " << size;
      const double share = static_cast<double>(percent) * static_cast<double>(size) / 100.0;
      EXPECT_LE(static_cast<double>(n) - share, 512.0 / 2 + 1) << percent << "% of " << size;
      EXPECT_LE(share - static_cast<double>(n), 512.0 / 2 + 1) << percent << "% of " << size;
    }
  }
}

TEST(LvmSnapshotSize, HalvesRoundAwayFromZero) {
  // 10% of 5 bytes is 0.5 -> 1 byte -> 1/512 sector -> 0.
  EXPECT_EQ(snapshot_size_bytes(10, 5), 0u);
  // 100% of 256 bytes: 256/512 = 0.5 sector -> 1 sector.
  EXPECT_EQ(snapshot_size_bytes(100, 256), 512u);
  // 100% of 255 bytes: 0.498 sector -> 0.
  EXPECT_EQ(snapshot_size_bytes(100, 255), 0u);
  // 50% of 1537 bytes: 768.5 -> 769 bytes -> 1.502 sectors -> 2 sectors.
  EXPECT_EQ(snapshot_size_bytes(50, 1537), 1024u);
  // 100% of 768 bytes: 1.5 sectors -> 2.
  EXPECT_EQ(snapshot_size_bytes(100, 768), 1024u);
  // 33% of 1553 bytes: 512.49 -> 512 bytes -> exactly 1 sector.
  EXPECT_EQ(snapshot_size_bytes(33, 1553), 512u);
  // 33% of 2327 bytes: 767.91 -> 768 bytes -> 1.5 sectors -> 2 (rounding the
  // bytes first matters: 767.91 / 512 alone would be 1.4998 -> 1).
  EXPECT_EQ(snapshot_size_bytes(33, 2327), 1024u);
}

TEST(LvmDfOutput, DeviceAndMountPoint) {
  std::string device;
  std::string mount_point = "unchanged";
  hx_pg_lvm::parse_df_output("/dev/mapper/vg0-data 10255636 36888 9678076 1% /var/lib/postgresql\n", device,
                             mount_point);
  EXPECT_EQ(device, "/dev/mapper/vg0-data");
  EXPECT_EQ(mount_point, "/var/lib/postgresql");
}

TEST(LvmDfOutput, RunsOfBlanksAndPadding) {
  std::string device;
  std::string mount_point;
  hx_pg_lvm::parse_df_output("  /dev/mapper/hxvg-data    498900 39212    422992   9% /tmp/x/volumes/data  \n",
                             device, mount_point);
  EXPECT_EQ(device, "/dev/mapper/hxvg-data");
  EXPECT_EQ(mount_point, "/tmp/x/volumes/data");
}

TEST(LvmDfOutput, MountPointWithBlankIsCut) {
  std::string device;
  std::string mount_point;
  hx_pg_lvm::parse_df_output("/dev/sdb1 100 10 90 10% /mnt/my data\n", device, mount_point);
  EXPECT_EQ(device, "/dev/sdb1");
  EXPECT_EQ(mount_point, "/mnt/my");
}

TEST(LvmDfOutput, ShortLineKeepsCallersMountPoint) {
  std::string device = "old";
  std::string mount_point = "/kept";
  hx_pg_lvm::parse_df_output("/dev/sdc 1 2 3\n", device, mount_point);
  EXPECT_EQ(device, "/dev/sdc");
  EXPECT_EQ(mount_point, "/kept");
}

TEST(LvmTextHelpers, TrimAllAndNewlines) {
  EXPECT_EQ(hx_pg_lvm::trim_all("  hxvg\n"), "hxvg");
  EXPECT_EQ(hx_pg_lvm::trim_all("\t a  \t b \n"), "a b");
  EXPECT_EQ(hx_pg_lvm::without_newlines("  536870912\n"), "  536870912");
  EXPECT_EQ(hx_pg_lvm::without_newlines("a\nb\n\n"), "ab");
}

TEST(LvmFileSystemType, OnlyExactXfsSelectsNouuid) {
  EXPECT_TRUE(hx_pg_lvm::is_xfs_type("xfs\n"));
  EXPECT_TRUE(hx_pg_lvm::is_xfs_type("xfs"));
  EXPECT_FALSE(hx_pg_lvm::is_xfs_type("xfs \n"));
  EXPECT_FALSE(hx_pg_lvm::is_xfs_type(" xfs\n"));
  EXPECT_FALSE(hx_pg_lvm::is_xfs_type("ext4\n"));
  EXPECT_FALSE(hx_pg_lvm::is_xfs_type("XFS\n"));
  EXPECT_FALSE(hx_pg_lvm::is_xfs_type("\n"));
}

TEST(LvmFillLevel, FullOnlyAtExactlyHundred) {
  EXPECT_TRUE(hx_pg_lvm::is_full_snapshot("100.00"));
  EXPECT_TRUE(hx_pg_lvm::is_full_snapshot("  100.00"));
  EXPECT_TRUE(hx_pg_lvm::is_full_snapshot("100"));
  EXPECT_FALSE(hx_pg_lvm::is_full_snapshot("99.99"));
  EXPECT_FALSE(hx_pg_lvm::is_full_snapshot("  0.01"));
  EXPECT_FALSE(hx_pg_lvm::is_full_snapshot("100.01"));
  EXPECT_THROW(hx_pg_lvm::is_full_snapshot(""), std::invalid_argument);
  EXPECT_THROW(hx_pg_lvm::is_full_snapshot("  "), std::invalid_argument);
}

TEST(LvmSnapshotOrder, ComparesMountPointLengthOnly) {
  const lvm_snapshot_info shorter("/dev/z", "/dev/z.snap", "/t/a/pg");
  const lvm_snapshot_info longer("/dev/a", "/dev/a.snap", "/t/a/pg/ts1");
  EXPECT_TRUE(shorter < longer);
  EXPECT_FALSE(longer < shorter);
  const lvm_snapshot_info same_length("/dev/b", "/dev/b.snap", "/x/y/zz");
  EXPECT_FALSE(shorter < same_length);
  EXPECT_FALSE(same_length < shorter);
}

TEST(LvmSnapshotOrder, NestedMountPointsFirst) {
  std::vector<lvm_snapshot_info> records;
  records.emplace_back("/dev/mapper/vg-data", "/dev/mapper/vg-data.snap", "/t/a/pg");
  records.emplace_back("/dev/mapper/vg-ts", "/dev/mapper/vg-ts.snap", "/t/a/pg/ts1");
  hx_pg_lvm::order_for_removal(records);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].mount_point, "/t/a/pg/ts1");
  EXPECT_EQ(records[1].mount_point, "/t/a/pg");

  std::vector<lvm_snapshot_info> many;
  for (const char* m : {"/t/a", "/t/a/pg/ts1/deeper", "/t", "/t/a/pg", "/t/a/pg/ts1"}) {
    many.emplace_back("v", "s", m);
  }
  hx_pg_lvm::order_for_removal(many);
  std::vector<std::string> order;
  for (const auto& r : many) order.push_back(r.mount_point);
  EXPECT_EQ(order, (std::vector<std::string>{"/t/a/pg/ts1/deeper", "/t/a/pg/ts1", "/t/a/pg", "/t/a", "/t"}));
}

TEST(LvmSnapshotOrder, RecordIsCopiedAndMovedMemberwise) {
  lvm_snapshot_info a("/dev/v", "/dev/v.snap", "/m");
  lvm_snapshot_info b(a);
  EXPECT_EQ(b.volume, "/dev/v");
  EXPECT_EQ(b.snapshot, "/dev/v.snap");
  EXPECT_EQ(b.mount_point, "/m");
  lvm_snapshot_info c;
  EXPECT_TRUE(c.volume.empty() && c.snapshot.empty() && c.mount_point.empty());
  c = std::move(b);
  EXPECT_EQ(c.snapshot, "/dev/v.snap");
}

// Exposes the snapshot state of the module.
class SnapshotModule : public HxModule_PG_Ostrel {
 public:
  explicit SnapshotModule(const HxModuleOptions& options) : HxModule_PG_Ostrel(options) {}
  std::vector<lvm_snapshot_info>& snapshots() { return lvm_snapshots_; }
  std::map<std::string, std::string>& volumes() { return lvm_volumes_; }
};

TEST(LvmModuleNothingToDo, NoVolumesMakesNoSnapshot) {
  pg_test::LogCapture log;
  HxModuleOptions options;
  options.program_path = "/nonexistent/hx_module_pg_ostrel_unit";
  options.tmp_operation_directory = "/nonexistent/tmp";
  options.archive_name = "archive";
  SnapshotModule module(options);
  EXPECT_TRUE(module.make_lvm_snapshots_and_mount());
  EXPECT_TRUE(module.snapshots().empty());
  module.umount_and_remove_snapshots();
  EXPECT_TRUE(log.lines().empty()) << log.text();
}

TEST(LvmModuleNothingToDo, StopBackupWithoutTransactionFails) {
  pg_test::LogCapture log;
  HxModuleOptions options;
  options.program_path = "/nonexistent/hx_module_pg_ostrel_unit";
  SnapshotModule module(options);
  pqxx::result result;
  EXPECT_FALSE(module.pg_stop_backup(result));
  ASSERT_EQ(log.lines().size(), 1u) << log.text();
  EXPECT_EQ(log.lines()[0].rfind("Error: bool HxModule_PG_Ostrel::pg_stop_backup(pqxx::result&): ", 0), 0u)
      << log.text();
}

}  // namespace
