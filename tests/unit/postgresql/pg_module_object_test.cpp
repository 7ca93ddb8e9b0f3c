// The PostgreSQL module object: its small overrides, and preparation in the
// modes that open no connection.
#include <gtest/gtest.h>

#include <string>

#include "postgresql/hx_module_pg_ostrel.h"
#include "unit/postgresql/pg_test_support.h"

namespace {

class InspectedModule : public HxModule_PG_Ostrel {
 public:
  explicit InspectedModule(int mode) : HxModule_PG_Ostrel(options_for(mode)) {}
  bool has_connection() const { return static_cast<bool>(connection_) || static_cast<bool>(transaction_); }
  hx_pg_conf& conf() { return pg_conf_; }

 private:
  static HxModuleOptions options_for(int mode) {
    HxModuleOptions options;
    options.program_path = "/nonexistent/hx_module_pg_ostrel_unit";
    options.mode = mode;
    return options;
  }
};

TEST(PgModuleObject, SmallOverrides) {
  pg_test::LogCapture log;
  InspectedModule module(HxModuleMode::None);
  EXPECT_TRUE(module.resource_exists());
  module.make_archiving();
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Error: No archiving capability"});
  module.conf().host = "db.example";
  module.conf().port = "6000";
  module.conf().username = "u";
  module.conf().password = "p w";
  EXPECT_EQ(module.get_conn_string(), "host = db.example port = 6000 dbname = postgres user = u password = 'p w'");
}

TEST(PgModuleObject, PreparationOpensNothingOutsideTheBackupModes) {
  pg_test::LogCapture log;
  for (int mode = HxModuleMode::None; mode <= HxModuleMode::RestoreParameters; ++mode) {
    if (mode == HxModuleMode::Backup || mode == HxModuleMode::BackupList || mode == HxModuleMode::CreateReplica)
      continue;
    InspectedModule module(mode);
    EXPECT_TRUE(module.prapare_module()) << "mode " << mode;
    EXPECT_FALSE(module.has_connection()) << "mode " << mode;
  }
  // Not even the configuration was read.
  EXPECT_TRUE(log.lines().empty()) << log.text();
}

}  // namespace
