// The backup hooks of the PostgreSQL module on the test bed's live server:
// the snapshot-size parameter, an unknown backup type, and a release that
// runs again (the abort of a task after the main flow's own release, or
// after a preparation that stopped half-way) without removing or reporting
// anything twice.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "postgresql/hx_module_pg_ostrel.h"
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
  std::size_t snapshots() const { return lvm_snapshots_.size(); }
};

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
  // archive holds no backup history file), then the release of an abort:
  // the snapshots go, nothing is printed.
  hx_test::TempDir empty_archive;
  hx_test::sh("chown postgres " + empty_archive.str());
  auto half = module(HxBackupType::Full);
  half->load_module_config();
  half->conf().archive_catalog = empty_archive.str();
  log_.clear();
  EXPECT_FALSE(half->prepare_resource_before_backup(false));
  EXPECT_EQ(log_.messages().back(),
            "Error: bool HxModule_PG_Ostrel::prepare_to_base_backup(): Unable to find backup file for PostgreSQL");
  EXPECT_EQ(registered_snapshots(), 2);
  half->interrupt();
  {
    hx_test::CoutCapture out;
    EXPECT_TRUE(half->release_resource_after_backup());
    EXPECT_EQ(out.text(), "");
  }
  EXPECT_EQ(registered_snapshots(), 0);
  EXPECT_EQ(half->snapshots(), 0u);
}

}  // namespace
