// Server queries, the connection string and the module's preparation step
// against the real PostgreSQL server of the test bed. Cases that restart the
// server with other settings put it back as the test bed made it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>

#include "postgresql/hx_module_pg_ostrel.h"
#include "postgresql/hx_postgresql_common.h"
#include "unit/postgresql/pg_test_support.h"

namespace {

namespace fs = boost::filesystem;
namespace pg = hx_postgresql_common;

const char* const kSigPrefix = "Error: bool hx_postgresql_common::";

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Runs testbed/pg with the given arguments; its exit status.
int testbed_pg(const std::string& arguments) {
  const std::string command = env("HX_TESTBED_DIR") + "/pg " + arguments;
  return std::system(command.c_str());
}

// Configuration of the module's user on the test bed's server.
hx_pg_conf module_conf() {
  hx_pg_conf conf;
  conf.host = "127.0.0.1";
  conf.port = env("PGPORT");
  conf.username = env("HX_PG_USER");
  conf.password = env("HX_PG_PASSWORD");
  conf.archive_catalog = env("HX_PG_ARCHIVE");
  conf.pg_ctl = env("HX_PG_BIN") + "/pg_ctl";
  return conf;
}

std::shared_ptr<pqxx::connection> connect_as(const hx_pg_conf& conf) {
  return std::make_shared<pqxx::connection>(pg::conn_string(conf));
}

// The superuser over the unix socket, for setting things up.
std::unique_ptr<pqxx::connection> admin() {
  return std::make_unique<pqxx::connection>("host=" + env("PGHOST") + " port=" + env("PGPORT") +
                                            " user=postgres dbname=postgres");
}

std::string admin_value(const std::string& sql) {
  auto connection = admin();
  pqxx::nontransaction transaction(*connection);
  return transaction.exec(sql)[0][0].c_str();
}

void admin_exec(const std::string& sql) {
  auto connection = admin();
  pqxx::nontransaction transaction(*connection);
  transaction.exec(sql);
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

class PgServer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(env("HX_PG_DATA").empty()) << "run inside the full testbed/sandbox"; }
  void TearDown() override {
    if (restarted_) {
      EXPECT_EQ(testbed_pg("restart"), 0);
    }
  }
  // Restarts the server with extra settings; the test bed's settings come
  // back after the test.
  void restart_with(const std::string& settings) {
    restarted_ = true;
    ASSERT_EQ(testbed_pg("restart " + settings), 0) << settings;
  }

  pg_test::LogCapture log_;
  bool restarted_ = false;
};

TEST_F(PgServer, Version) {
  auto connection = connect_as(module_conf());
  const long number = std::stol(admin_value("SHOW server_version_num"));
  const std::string text = admin_value("SHOW server_version");

  pg_version version;
  {
    CoutCapture out;
    ASSERT_TRUE(pg::get_pg_version(connection, version, true)) << log_.text();
    EXPECT_EQ(out.text(), "PostgreSQL version: " + text + "\n");
  }
  EXPECT_EQ(version.major, 15u);
  EXPECT_EQ(version.major, static_cast<unsigned int>(number / 10000));
  EXPECT_EQ(version.minor, static_cast<unsigned int>(number % 100));

  pg_version quiet;
  CoutCapture out;
  ASSERT_TRUE(pg::get_pg_version(connection, quiet, false));
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(quiet.major, version.major);
  EXPECT_TRUE(log_.lines().empty()) << log_.text();
}

TEST_F(PgServer, FileLocations) {
  auto connection = connect_as(module_conf());
  std::string data;
  std::string config;
  std::string hba;
  ASSERT_TRUE(pg::show_data_directory(connection, data));
  ASSERT_TRUE(pg::show_config_file(connection, config));
  ASSERT_TRUE(pg::show_hba_file(connection, hba));
  EXPECT_EQ(data, env("HX_PG_DATA"));
  EXPECT_EQ(config, env("HX_PG_DATA") + "/postgresql.conf");
  EXPECT_EQ(hba, env("HX_PG_DATA") + "/pg_hba.conf");
  EXPECT_TRUE(log_.lines().empty()) << log_.text();
}

TEST_F(PgServer, RestoreCommand) {
  std::string command;
  {
    auto connection = connect_as(module_conf());
    ASSERT_TRUE(pg::show_restore_command(connection, command));
    EXPECT_EQ(command, "cp \"" + env("HX_PG_ARCHIVE") + "/%f\" \"%p\"");
  }
  restart_with("-c restore_command=");
  auto connection = connect_as(module_conf());
  command = "old value";
  ASSERT_TRUE(pg::show_restore_command(connection, command));
  EXPECT_EQ(command, "");
  EXPECT_TRUE(log_.lines().empty()) << log_.text();
}

TEST_F(PgServer, Tablespaces) {
  auto connection = connect_as(module_conf());
  std::set<std::string> found;
  ASSERT_TRUE(pg::get_tablespaces(connection, found));
  EXPECT_EQ(found, std::set<std::string>{env("HX_PG_TBLSPC")});

  // The set is added to, not emptied first.
  std::set<std::string> added{"/already/there"};
  ASSERT_TRUE(pg::get_tablespaces(connection, added));
  EXPECT_EQ(added, (std::set<std::string>{"/already/there", env("HX_PG_TBLSPC")}));

  // Only the two built-in tablespaces.
  admin_exec("DROP TABLESPACE ts1");
  std::set<std::string> none;
  const bool none_ok = pg::get_tablespaces(connection, none);
  const std::string second = env("HX_SANDBOX_DIR") + "/pg/ts2";
  fs::create_directories(second);
  ASSERT_EQ(std::system(("chown postgres:postgres '" + second + "'").c_str()), 0);
  admin_exec("CREATE TABLESPACE ts1 LOCATION '" + env("HX_PG_TBLSPC") + "'");
  admin_exec("CREATE TABLESPACE ts2 LOCATION '" + second + "'");
  EXPECT_TRUE(none_ok);
  EXPECT_TRUE(none.empty());

  std::set<std::string> two;
  ASSERT_TRUE(pg::get_tablespaces(connection, two));
  admin_exec("DROP TABLESPACE ts2");
  EXPECT_EQ(two, (std::set<std::string>{env("HX_PG_TBLSPC"), second}));
  EXPECT_TRUE(log_.lines().empty()) << log_.text();
}

TEST_F(PgServer, ArchiveCheckOnTheTestBedsSettings) {
  EXPECT_TRUE(pg::check_archive_mode(connect_as(module_conf())));
  EXPECT_TRUE(log_.lines().empty()) << log_.text();
}

TEST_F(PgServer, ArchiveCheckWithWalLevelMinimal) {
  // archive_mode must be off too: the server refuses to start otherwise. The
  // wal_level test comes first and decides.
  restart_with("-c wal_level=minimal -c max_wal_senders=0 -c archive_mode=off");
  EXPECT_FALSE(pg::check_archive_mode(connect_as(module_conf())));
  EXPECT_EQ(log_.lines(), std::vector<std::string>{std::string(kSigPrefix) +
                                                   "check_archive_mode(std::shared_ptr<pqxx::basic_connection_base<"
                                                   "pqxx::connect_direct> >): wal_level must be set to replica or "
                                                   "logical"});
}

TEST_F(PgServer, ArchiveCheckWithArchiveModeOff) {
  restart_with("-c archive_mode=off");
  EXPECT_FALSE(pg::check_archive_mode(connect_as(module_conf())));
  EXPECT_EQ(log_.lines(), std::vector<std::string>{std::string(kSigPrefix) +
                                                   "check_archive_mode(std::shared_ptr<pqxx::basic_connection_base<"
                                                   "pqxx::connect_direct> >): archive_mode must be set to \"on\" or "
                                                   "\"always\""});
}

TEST_F(PgServer, ArchiveCheckPassesWithAlwaysAndAnEmptyCommand) {
  restart_with("-c archive_mode=always -c archive_command=");
  auto connection = connect_as(module_conf());
  EXPECT_EQ(admin_value("SHOW archive_command"), "");
  EXPECT_TRUE(pg::check_archive_mode(connection));
  EXPECT_TRUE(log_.lines().empty()) << log_.text();
}

TEST_F(PgServer, ArchiveCheckPassesWithWalLevelLogical) {
  restart_with("-c wal_level=logical");
  EXPECT_TRUE(pg::check_archive_mode(connect_as(module_conf())));
  EXPECT_TRUE(log_.lines().empty()) << log_.text();
}

TEST_F(PgServer, WrongPasswordFailsCleanly) {
  hx_pg_conf conf = module_conf();
  conf.password = "wrong";
  try {
    connect_as(conf);
    FAIL() << "connected with a wrong password";
  } catch (const pqxx::broken_connection& e) {
    EXPECT_NE(std::string(e.what()).find("password authentication failed for user \"hxbackup\""), std::string::npos)
        << e.what();
  }
}

TEST_F(PgServer, PasswordsAndNamesThatNeedQuotes) {
  struct Role {
    std::string name;
    std::string password;
  };
  const std::vector<Role> roles{
      {"hx_quote1", "a b'c\\d"},
      {"hx_quote2", "'starts with a quote"},
      {"hx_quote3", "ends with a backslash\\"},
      {"hx_quote4", "pw sslmode=require host=nowhere.invalid"},
      {"hx quote5", "plain"},
  };
  for (const Role& role : roles) {
    SCOPED_TRACE(role.name + " / " + role.password);
    {
      auto connection = admin();
      pqxx::nontransaction transaction(*connection);
      transaction.exec("CREATE ROLE " + transaction.quote_name(role.name) + " LOGIN PASSWORD " +
                       transaction.quote(role.password));
    }
    hx_pg_conf conf = module_conf();
    conf.username = role.name;
    conf.password = role.password;
    try {
      auto connection = connect_as(conf);
      pqxx::nontransaction transaction(*connection);
      EXPECT_EQ(std::string(transaction.exec("SELECT current_user")[0][0].c_str()), role.name);
    } catch (const std::exception& e) {
      ADD_FAILURE() << pg::conn_string(conf) << ": " << e.what();
    }
    // A wrong password is still refused: the quoting adds nothing.
    conf.password = role.password + "x";
    EXPECT_THROW(connect_as(conf), pqxx::broken_connection);
  }
}

TEST_F(PgServer, StopWalFileName) {
  const hx_pg_conf conf = module_conf();
  admin_exec("SELECT pg_switch_wal()");
  const std::string lsn = admin_value("SELECT pg_current_wal_lsn()");
  const std::string expected = admin_value("SELECT pg_walfile_name('" + lsn + "')");
  std::string name;
  ASSERT_TRUE(pg::get_stop_wal_file_from_server(name, lsn, pg_version(15, 0), conf)) << log_.text();
  EXPECT_EQ(name, expected);
  EXPECT_EQ(log_.lines(), (std::vector<std::string>{"Info: Using 127.0.0.1 to get stop wal file.",
                                                    "Info: Using port " + conf.port + "."}));
}

TEST_F(PgServer, StopWalFileLocationCannotEndTheLiteral) {
  // Put into the statement unescaped, this location would make the server
  // return a file name with an x appended.
  const hx_pg_conf conf = module_conf();
  std::string name = "unchanged";
  EXPECT_FALSE(pg::get_stop_wal_file_from_server(name, "0/1') || ('x", pg_version(15, 0), conf));
  EXPECT_EQ(name, "unchanged");
  const auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 3u) << log_.text();
  EXPECT_EQ(lines[2].rfind("Error: Postgresql node connection failure: ", 0), 0u) << lines[2];
  EXPECT_NE(lines[2].find("pg_lsn"), std::string::npos) << lines[2];

  log_.clear();
  EXPECT_FALSE(pg::get_stop_wal_file_from_server(name, "0/1'); SELECT pg_switch_wal(); --", pg_version(15, 0), conf));
  EXPECT_EQ(name, "unchanged");
}

TEST_F(PgServer, StopWalFileOnOldVersionsUsesTheXlogFunction) {
  // The server is 15: the function of 9.x does not exist there.
  std::string name = "unchanged";
  EXPECT_FALSE(pg::get_stop_wal_file_from_server(name, "0/1000000", pg_version(9, 6), module_conf()));
  EXPECT_EQ(name, "unchanged");
  ASSERT_EQ(log_.lines().size(), 3u) << log_.text();
  EXPECT_EQ(log_.lines()[2].rfind("Error: Postgresql node connection failure: ", 0), 0u);
  EXPECT_NE(log_.lines()[2].find("pg_xlogfile_name"), std::string::npos) << log_.text();
}

TEST_F(PgServer, StopWalFileWithoutAConnection) {
  hx_pg_conf conf = module_conf();
  conf.password = "wrong";
  std::string name = "unchanged";
  EXPECT_FALSE(pg::get_stop_wal_file_from_server(name, "0/1000000", pg_version(15, 0), conf));
  EXPECT_EQ(name, "unchanged");
  ASSERT_EQ(log_.lines().size(), 3u) << log_.text();
  EXPECT_EQ(log_.lines()[2].rfind("Error: Connection to primary node failed: ", 0), 0u) << log_.text();
}

TEST_F(PgServer, QueriesOnALostConnectionFailWithTheirSignature) {
  auto connection = connect_as(module_conf());
  restarted_ = true;
  ASSERT_EQ(testbed_pg("stop"), 0);

  const std::string sp = "(std::shared_ptr<pqxx::basic_connection_base<pqxx::connect_direct> >";
  std::string text = "unchanged";
  pg_version version(1, 2);
  std::set<std::string> spaces{"kept"};
  struct Case {
    std::string prefix;
    bool result;
  };
  const std::vector<Case> cases{
      {kSigPrefix + std::string("get_pg_version") + sp + ", pg_version&, bool): ",
       pg::get_pg_version(connection, version, true)},
      {kSigPrefix + std::string("show_data_directory") + sp + ", std::string&): ",
       pg::show_data_directory(connection, text)},
      {kSigPrefix + std::string("show_config_file") + sp + ", std::string&): ", pg::show_config_file(connection, text)},
      {kSigPrefix + std::string("show_restore_command") + sp + ", std::string&): ",
       pg::show_restore_command(connection, text)},
      {kSigPrefix + std::string("show_hba_file") + sp + ", std::string&): ", pg::show_hba_file(connection, text)},
      {kSigPrefix + std::string("check_archive_mode") + sp + "): ", pg::check_archive_mode(connection)},
      {kSigPrefix + std::string("get_tablespaces") + sp + ", std::set<std::__cxx11::basic_string<char> >&): ",
       pg::get_tablespaces(connection, spaces)},
  };
  const auto lines = log_.lines();
  ASSERT_EQ(lines.size(), cases.size()) << log_.text();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_FALSE(cases[i].result) << cases[i].prefix;
    EXPECT_EQ(lines[i].rfind(cases[i].prefix, 0), 0u) << lines[i];
  }
  EXPECT_EQ(text, "unchanged");
  EXPECT_EQ(version.major, 1u);
  EXPECT_EQ(spaces, std::set<std::string>{"kept"});
}

TEST_F(PgServer, QueriesWithoutAConnectionObject) {
  std::string text = "unchanged";
  EXPECT_FALSE(pg::show_data_directory(nullptr, text));
  EXPECT_EQ(text, "unchanged");
  ASSERT_EQ(log_.lines().size(), 1u);
  EXPECT_NE(log_.lines()[0].find("): no database connection"), std::string::npos) << log_.text();
}

// ---- The module's preparation step --------------------------------------------

class InspectedModule : public HxModule_PG_Ostrel {
 public:
  explicit InspectedModule(const HxModuleOptions& options) : HxModule_PG_Ostrel(options) {}
  bool has_connection() const { return static_cast<bool>(connection_); }
  bool has_transaction() const { return static_cast<bool>(transaction_); }
};

HxModuleOptions options_for(const std::string& program, int mode) {
  HxModuleOptions options;
  options.program_path = "/usr/local/bin/" + program;
  options.mode = mode;
  return options;
}

// Sessions of a user in the given state ("" for any state).
int sessions(const std::string& user, const std::string& state) {
  std::string sql = "SELECT count(*) FROM pg_stat_activity WHERE usename = '" + user + "'";
  if (!state.empty()) sql += " AND state = '" + state + "'";
  return std::stoi(admin_value(sql));
}

// Waits up to five seconds for a count of sessions.
bool wait_for_sessions(const std::string& user, int count) {
  for (int i = 0; i < 50; ++i) {
    if (sessions(user, "") == count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

TEST_F(PgServer, PreparationOpensTheConnectionAndTransactionOfABackup) {
  for (int mode : {HxModuleMode::Backup, HxModuleMode::BackupList, HxModuleMode::CreateReplica}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    log_.clear();
    {
      InspectedModule module(options_for("hx_module_pg_ostrel", mode));
      CoutCapture out;
      ASSERT_TRUE(module.prapare_module()) << log_.text();
      EXPECT_EQ(out.text(), "PostgreSQL version: " + admin_value("SHOW server_version") + "\n");
      EXPECT_EQ(module.server_version().major, 15u);
      EXPECT_TRUE(module.has_connection());
      EXPECT_TRUE(module.has_transaction());
      // One session of the module's user, inside its open transaction.
      EXPECT_EQ(sessions(env("HX_PG_USER"), "idle in transaction"), 1);
      EXPECT_EQ(sessions(env("HX_PG_USER"), ""), 1);
    }
    EXPECT_TRUE(wait_for_sessions(env("HX_PG_USER"), 0)) << "the session outlived the module object";
    EXPECT_TRUE(log_.lines().empty()) << log_.text();
  }
}

TEST_F(PgServer, PreparationOpensNothingInOtherModes) {
  for (int mode : {HxModuleMode::CheckClient, HxModuleMode::ListAllResources, HxModuleMode::ListHeaders,
                   HxModuleMode::Version, HxModuleMode::Restore, HxModuleMode::ApplyReplica}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    InspectedModule module(options_for("hx_module_pg_ostrel", mode));
    CoutCapture out;
    EXPECT_TRUE(module.prapare_module());
    EXPECT_EQ(out.text(), "");
    EXPECT_FALSE(module.has_connection());
    EXPECT_EQ(sessions(env("HX_PG_USER"), ""), 0);
  }
}

TEST_F(PgServer, PreparationFailsWithAWrongPassword) {
  const std::string program = "hx_pg_wrong_password";
  const std::string path = "/opt/halvex/etc/" + program + ".conf";
  {
    std::ofstream out(path);
    const hx_pg_conf conf = module_conf();
    out << "username " << conf.username << "\npassword wrong\nport " << conf.port << "\nhost 127.0.0.1\npg_ctl "
        << conf.pg_ctl << "\n";
  }
  InspectedModule module(options_for(program, HxModuleMode::Backup));
  CoutCapture out;
  EXPECT_FALSE(module.prapare_module());
  fs::remove(path);
  EXPECT_EQ(out.text(), "");
  EXPECT_FALSE(module.has_connection());
  EXPECT_FALSE(module.has_transaction());
  const auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 1u) << log_.text();
  EXPECT_EQ(lines[0].rfind("Error: bool HxModule_PG_Ostrel::prapare_module(): ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("password authentication failed"), std::string::npos) << lines[0];
}

TEST_F(PgServer, PreparationWithAPasswordThatNeedsQuotesFromTheFile) {
  admin_exec("CREATE ROLE hx_file_quote LOGIN SUPERUSER PASSWORD 'x y''z\\w'");
  const std::string program = "hx_pg_quoted_password";
  const std::string path = "/opt/halvex/etc/" + program + ".conf";
  {
    std::ofstream out(path);
    const hx_pg_conf conf = module_conf();
    out << "username hx_file_quote\npassword x y'z\\w\nport " << conf.port << "\nhost 127.0.0.1\npg_ctl "
        << conf.pg_ctl << "\n";
  }
  InspectedModule module(options_for(program, HxModuleMode::Backup));
  CoutCapture out;
  EXPECT_TRUE(module.prapare_module()) << log_.text();
  fs::remove(path);
  EXPECT_TRUE(module.has_transaction());
}

TEST_F(PgServer, PreparationFailsWhenTheServerIsDown) {
  restarted_ = true;
  ASSERT_EQ(testbed_pg("stop"), 0);
  InspectedModule module(options_for("hx_module_pg_ostrel", HxModuleMode::Backup));
  CoutCapture out;
  EXPECT_FALSE(module.prapare_module());
  EXPECT_EQ(out.text(), "");
  EXPECT_FALSE(module.has_connection());
  ASSERT_EQ(log_.lines().size(), 1u) << log_.text();
  EXPECT_EQ(log_.lines()[0].rfind("Error: bool HxModule_PG_Ostrel::prapare_module(): ", 0), 0u);
}

}  // namespace
