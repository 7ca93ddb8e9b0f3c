// The PostgreSQL module object: its small overrides, and preparation in the
// modes that open no connection.
#include <gtest/gtest.h>

#include <string>

#include "postgresql/hx_module_pg_ostrel.h"
#include "tests/support/test_support.h"

namespace {

class InspectedModule : public HxModule_PG_Ostrel {
 public:
  explicit InspectedModule(int mode) : HxModule_PG_Ostrel(options_for(mode)) {}
  bool has_connection() const { return static_cast<bool>(connection_) || static_cast<bool>(transaction_); }
  hx_pg_conf& conf() { return pg_conf_; }
  HxModuleOptions& options() { return options_; }

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

}  // namespace
