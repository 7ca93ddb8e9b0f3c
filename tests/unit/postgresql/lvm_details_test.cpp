// The parts of the LVM snapshot code that need no volumes: snapshot size,
// df and lsblk output, the fill level, the order of removal, and the module's
// snapshot operations with nothing to do.
#include "postgresql/lvm_details.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "postgresql/hx_module_pg_ostrel.h"
#include "tests/support/test_support.h"

namespace {

namespace lvm = hx_pg_lvm;

TEST(LvmDetails, SnapshotSizeIsTheMultipleOf512NearestToTheShare) {
  struct Case {
    unsigned int percent;
    long long origin;
    std::uint64_t bytes;
  };
  for (const Case& c : {
           Case{10, 1073741824LL, 107374080u},  // 107,374,182.4 -> 209,715.2 sectors -> 209,715
           Case{10, 536870912LL, 53687296u},    // 104,857.6 sectors -> 104,858
           Case{100, 536870912LL, 536870912u}, Case{50, 0, 0u},
           Case{100, 256, 512u},  // half a sector rounds away from zero
           Case{100, 255, 0u}, Case{10, 5, 0u},
           Case{33, 2327, 1024u},  // 767.91 -> 768 bytes first, then 1.5 sectors -> 2
       })
    EXPECT_EQ(lvm::snapshot_size_bytes(c.percent, c.origin), c.bytes) << c.percent << "% of " << c.origin;
}

TEST(LvmDetails, DfLineGivesDeviceAndMountPoint) {
  struct Case {
    const char* line;
    const char* device;
    const char* mount_point;
  };
  for (const Case& c : {
           Case{"/dev/mapper/vg0-data 10255636 36888 9678076 1% /var/lib/postgresql\n", "/dev/mapper/vg0-data",
                "/var/lib/postgresql"},
           Case{"  /dev/mapper/hxvg-data    498900 39212    422992   9% /tmp/x/data  \n", "/dev/mapper/hxvg-data",
                "/tmp/x/data"},
           Case{"/dev/sdb1 100 10 90 10% /mnt/my data\n", "/dev/sdb1", "/mnt/my"},  // cut at the blank
           Case{"/dev/sdc 1 2 3\n", "/dev/sdc", "/kept"},  // too short: the caller's mount point stays
       }) {
    std::string device = "old";
    std::string mount_point = "/kept";
    lvm::parse_df_output(c.line, device, mount_point);
    EXPECT_EQ(device, c.device) << c.line;
    EXPECT_EQ(mount_point, c.mount_point) << c.line;
  }
}

TEST(LvmDetails, OnlyExactXfsSelectsNouuidAndOnlyHundredIsFull) {
  for (const char* text : {"xfs\n", "xfs"}) EXPECT_TRUE(lvm::is_xfs_type(text)) << text;
  for (const char* text : {"xfs \n", " xfs\n", "ext4\n", "XFS\n", "\n"}) EXPECT_FALSE(lvm::is_xfs_type(text)) << text;
  for (const char* text : {"100.00", "  100.00", "100"}) EXPECT_TRUE(lvm::is_full_snapshot(text)) << text;
  for (const char* text : {"99.99", "  0.01", "100.01"}) EXPECT_FALSE(lvm::is_full_snapshot(text)) << text;
  EXPECT_THROW(lvm::is_full_snapshot("  "), std::invalid_argument);
}

TEST(LvmDetails, RemovalOrderIsByDescendingMountPointLength) {
  std::vector<lvm_snapshot_info> records;
  for (const char* m : {"/t/a", "/t/a/pg/ts1/deeper", "/t", "/t/a/pg", "/t/a/pg/ts1"})
    records.emplace_back("v", "s", m);
  lvm::order_for_removal(records);
  std::vector<std::string> order;
  for (const auto& r : records) order.push_back(r.mount_point);
  EXPECT_EQ(order, (std::vector<std::string>{"/t/a/pg/ts1/deeper", "/t/a/pg/ts1", "/t/a/pg", "/t/a", "/t"}));
}

TEST(LvmDetails, NestedVolumesMountParentFirstWhateverTheirDevicesSortAs) {
  // The tablespace volume's device sorts first but is mounted inside the
  // data volume; /srv/pg-x only shares a prefix of characters and does not
  // nest, so it keeps its device order.
  const std::map<std::string, std::string> volumes{{"/dev/mapper/a-ts", "/srv/pg/ts"},
                                                   {"/dev/mapper/b-data", "/srv/pg"},
                                                   {"/dev/mapper/c-other", "/srv/pg-x"},
                                                   {"/dev/mapper/d-deep", "/srv/pg/ts/deeper"}};
  std::vector<std::string> order;
  for (const auto& entry : lvm::order_for_mounting(volumes)) order.push_back(entry.second);
  EXPECT_EQ(order, (std::vector<std::string>{"/srv/pg", "/srv/pg-x", "/srv/pg/ts", "/srv/pg/ts/deeper"}));
  // The root file system holds every other mount point.
  order.clear();
  for (const auto& entry : lvm::order_for_mounting({{"/dev/a", "/var"}, {"/dev/b", "/"}})) order.push_back(entry.second);
  EXPECT_EQ(order, (std::vector<std::string>{"/", "/var"}));
}

class SnapshotModule : public HxModule_PG_Ostrel {
 public:
  explicit SnapshotModule(const HxModuleOptions& options) : HxModule_PG_Ostrel(options) {}
  std::vector<lvm_snapshot_info>& snapshots() { return lvm_snapshots_; }
};

TEST(LvmDetails, NothingToDoRunsNoCommandAndStopWithoutTransactionFails) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  HxModuleOptions options;
  options.program_path = "/nonexistent/hx_module_pg_ostrel_unit";
  options.tmp_operation_directory = "/nonexistent/tmp";
  options.archive_name = "archive";
  SnapshotModule module(options);
  EXPECT_TRUE(module.make_lvm_snapshots_and_mount());
  EXPECT_TRUE(module.snapshots().empty());
  module.umount_and_remove_snapshots();
  EXPECT_TRUE(log.messages().empty()) << log.text();

  pqxx::result result;
  EXPECT_FALSE(module.pg_stop_backup(result));
  EXPECT_EQ(log.messages(), std::vector<std::string>{"Error: bool HxModule_PG_Ostrel::pg_stop_backup(pqxx::result&): "
                                                  "no database transaction"});
}

}  // namespace
