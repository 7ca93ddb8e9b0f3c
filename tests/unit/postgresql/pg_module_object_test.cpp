// The PostgreSQL module object: its small overrides, and preparation in the
// modes that open no connection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "postgresql/hx_module_pg_ostrel.h"
#include "tests/support/test_support.h"

namespace {

class InspectedModule : public HxModule_PG_Ostrel {
 public:
  explicit InspectedModule(int mode) : HxModule_PG_Ostrel(options_for(mode)) {}
  bool has_connection() const { return static_cast<bool>(connection_) || static_cast<bool>(transaction_); }
  hx_pg_conf& conf() { return pg_conf_; }
  HxModuleOptions& options() { return options_; }
  std::vector<std::string>& wal_files() { return wal_files_; }

 private:
  static HxModuleOptions options_for(int mode) {
    HxModuleOptions options;
    options.program_path = "/nonexistent/hx_module_pg_ostrel_unit";
    options.mode = mode;
    return options;
  }
};

TEST(PgModuleObject, SmallOverrides) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  InspectedModule module(HxModuleMode::Backup);
  module.options().resource = "cluster";  // the client's name of the resource, no path: not examined
  EXPECT_TRUE(module.resource_exists());
  module.make_archiving();
  EXPECT_EQ(log.messages(), std::vector<std::string>{"Error: No archiving capability"});
  module.conf().host = "db.example";
  module.conf().port = "6000";
  module.conf().username = "u";
  module.conf().password = "p w";
  EXPECT_EQ(module.get_conn_string(), "host = db.example port = 6000 dbname = postgres user = u password = 'p w'");
}

TEST(PgModuleObject, PreparationOpensNothingOutsideTheBackupModes) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  for (int mode = HxModuleMode::None; mode <= HxModuleMode::RestoreParameters; ++mode) {
    if (mode == HxModuleMode::Backup || mode == HxModuleMode::BackupList || mode == HxModuleMode::CreateReplica)
      continue;
    InspectedModule module(mode);
    EXPECT_TRUE(module.prapare_module()) << "mode " << mode;
    EXPECT_FALSE(module.has_connection()) << "mode " << mode;
  }
  // Not even the configuration was read.
  EXPECT_TRUE(log.messages().empty()) << log.text();
}

// The archived WAL files a completed backup selected: kept without
// auto_remove_wal; otherwise removed, a path that cannot be removed reported
// and passed over, one already gone no error.
TEST(PgModuleObject, BackupCompletedRemovesTheSelectedWalFiles) {
  hx_test::TempDir dir;
  const std::vector<std::string> selected = {dir.write("a"), dir / "busy", dir / "gone", dir.write("b")};
  boost::filesystem::create_directory(selected[1]);
  dir.write("busy/x");  // a directory that is not empty cannot be removed
  InspectedModule module(HxModuleMode::Backup);
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  module.conf().auto_remove_wal = false;
  module.wal_files() = selected;
  module.backup_completed();
  EXPECT_TRUE(boost::filesystem::exists(selected[0]) && log.messages().empty());

  module.conf().auto_remove_wal = true;
  module.backup_completed();
  EXPECT_FALSE(boost::filesystem::exists(selected[0]) || boost::filesystem::exists(selected[3]));
  EXPECT_TRUE(module.wal_files().empty());
  EXPECT_EQ(log.messages(), (std::vector<std::string>{
                                "Info: Remove obsoleted WAL files:", "Info: Remove: " + selected[0],
                                "Info: Remove: " + selected[1],
                                "Error: Can't delete " + selected[1] + ": boost::filesystem::remove: Directory not "
                                "empty: \"" + selected[1] + "\"",
                                "Info: Remove: " + selected[2], "Info: Remove: " + selected[3]}));
}

// Restore hooks that meet a restore directory that is not there: the
// ownership hook fails; the recovery settings fail, which the last-file hook
// reports and passes over.
TEST(PgModuleObject, RestoreHooksWithoutTheRestoreDirectory) {
  hx_test::TempDir dir;
  InspectedModule module(HxModuleMode::Restore);
  module.options().tmp_operation_directory = dir / "absent";
  module.options().module_params = "data_directory:/srv/data,pg_version:15.2";
  module.parce_param_string();
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  EXPECT_FALSE(module.after_restore());
  EXPECT_TRUE(module.after_restore_last_file());
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{
                "Error: Temporary operation (restore) directory path \"" + dir / "absent" +
                    "\" is invalid (system:2)!",
                "Error: bool hx_postgresql_common::post_restore(const hx_pg_conf&, const pg_version&, const string&): "
                "can't create \"" + dir / "absent/srv/data/recovery.signal" + "\"",
                "Error: Can't execute post restore procedure"}));
}

}  // namespace
