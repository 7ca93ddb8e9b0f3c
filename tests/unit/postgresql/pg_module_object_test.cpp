// The PostgreSQL module object: initial state, version, special options, the
// small overrides, and preparation in the modes that open no connection.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

#include "postgresql/hx_module_pg_ostrel.h"
#include "unit/postgresql/pg_test_support.h"

namespace {

// Exposes the protected state for inspection.
class InspectedModule : public HxModule_PG_Ostrel {
 public:
  explicit InspectedModule(const HxModuleOptions& options) : HxModule_PG_Ostrel(options) {}
  bool without_reference_snapshot() const { return without_reference_snapshot_; }
  unsigned int lvm_snapshot_size() const { return lvm_snapshot_size_; }
  bool has_connection() const { return static_cast<bool>(connection_); }
  bool has_transaction() const { return static_cast<bool>(transaction_); }
  hx_pg_conf& conf() { return pg_conf_; }
};

HxModuleOptions options_for(int mode) {
  HxModuleOptions options;
  options.program_path = "/nonexistent/hx_module_pg_ostrel_unit";
  options.mode = mode;
  return options;
}

// Everything written to std::cout while the object lives.
class CoutCapture {
 public:
  CoutCapture() : saved_(std::cout.rdbuf(buffer_.rdbuf())) {}
  ~CoutCapture() { std::cout.rdbuf(saved_); }
  std::string text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::streambuf* saved_;
};

TEST(PgModuleObject, InitialState) {
  InspectedModule module(options_for(HxModuleMode::None));
  EXPECT_TRUE(module.without_reference_snapshot());
  EXPECT_EQ(module.lvm_snapshot_size(), 10u);
  EXPECT_EQ(module.server_version().major, 0u);
  EXPECT_EQ(module.server_version().minor, 0u);
  EXPECT_FALSE(module.has_connection());
  EXPECT_FALSE(module.has_transaction());
  EXPECT_EQ(module.pg_conf().host, "localhost");
  EXPECT_EQ(module.pg_conf().postgresql_admin, "postgres");
}

TEST(PgModuleObject, FullVersion) {
  InspectedModule module(options_for(HxModuleMode::Version));
  EXPECT_EQ(module.get_full_module_version(), "2.0.3906709");
  std::string version;
  std::string rest;
  ASSERT_EQ(split_full_version(module.get_full_module_version(), version, rest), 0);
  EXPECT_EQ(version, "2.0");
  EXPECT_EQ(rest, "3906709");
}

TEST(PgModuleObject, SpecialBackupOptions) {
  InspectedModule module(options_for(HxModuleMode::ShowBackupOptions));
  CoutCapture out;
  module.autonomous_options();
  EXPECT_EQ(out.text(),
            "file_list : boolean Save listing of files in the archive\n"
            "numeric_owner : boolean Use uid and gid in the archive file list instead of username and groupname\n"
            "lvm_snapshot_size : integer LVM snapshot size in percent\n");
}

TEST(PgModuleObject, SmallOverrides) {
  pg_test::LogCapture log;
  InspectedModule module(options_for(HxModuleMode::None));
  EXPECT_TRUE(module.resource_exists());
  {
    CoutCapture out;
    module.usage_custom();
    EXPECT_EQ(out.text(), "");
  }
  module.make_archiving();
  ASSERT_EQ(log.lines().size(), 1u) << log.text();
  EXPECT_EQ(log.lines()[0], "Error: No archiving capability");
}

TEST(PgModuleObject, ConnectionStringComesFromTheConfiguration) {
  InspectedModule module(options_for(HxModuleMode::None));
  module.conf().host = "db.example";
  module.conf().port = "6000";
  module.conf().username = "u";
  module.conf().password = "p w";
  EXPECT_EQ(module.get_conn_string(), "host = db.example port = 6000 dbname = postgres user = u password = 'p w'");
}

TEST(PgModuleObject, PreparationOpensNothingOutsideTheBackupModes) {
  pg_test::LogCapture log;
  for (int mode = HxModuleMode::None; mode <= HxModuleMode::RestoreParameters; ++mode) {
    if (mode == HxModuleMode::Backup || mode == HxModuleMode::BackupList || mode == HxModuleMode::CreateReplica) {
      continue;
    }
    SCOPED_TRACE("mode " + std::to_string(mode));
    InspectedModule module(options_for(mode));
    EXPECT_TRUE(module.prapare_module());
    EXPECT_FALSE(module.has_connection());
    EXPECT_FALSE(module.has_transaction());
  }
  // Not even the configuration was read.
  EXPECT_TRUE(log.lines().empty()) << log.text();
}

}  // namespace
