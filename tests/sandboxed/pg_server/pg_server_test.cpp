// Server queries, the connection string and the module's preparation step
// against the real PostgreSQL server of the test bed. Cases that restart or
// stop the server put it back as the test bed made it.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "postgresql/hx_module_pg_ostrel.h"
#include "postgresql/hx_postgresql_common.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = boost::filesystem;
namespace pg = hx_postgresql_common;
using hx_test::env;
using Lines = std::vector<std::string>;

const std::string kConnArg = "(std::shared_ptr<pqxx::basic_connection_base<pqxx::connect_direct> >";

hx_pg_conf module_conf() {
  hx_pg_conf conf;
  conf.host = "127.0.0.1";
  conf.port = env("PGPORT");
  conf.username = env("HX_PG_USER");
  conf.password = env("HX_PG_PASSWORD");
  conf.pg_ctl = env("HX_PG_BIN") + "/pg_ctl";
  return conf;
}

std::shared_ptr<pqxx::connection> connect_as(const hx_pg_conf& conf) {
  return std::make_shared<pqxx::connection>(pg::conn_string(conf));
}

// A statement of the superuser over the unix socket; the first value of its result.
std::string admin(const std::string& sql) {
  pqxx::connection connection("host=" + env("PGHOST") + " port=" + env("PGPORT") + " user=postgres dbname=postgres");
  pqxx::nontransaction transaction(connection);
  const pqxx::result result = transaction.exec(sql);
  return result.empty() || result[0].empty() ? "" : result[0][0].c_str();
}

// Writes the module configuration file of a program name for the given account.
std::string write_conf(const std::string& program, const std::string& user, const std::string& password) {
  const std::string path = "/opt/halvex/etc/" + program + ".conf";
  std::ofstream(path) << "username " << user << "\npassword " << password << "\nport " << env("PGPORT")
                      << "\nhost 127.0.0.1\npg_ctl " << module_conf().pg_ctl << "\narchive_catalog "
                      << env("HX_PG_ARCHIVE") << "\n";
  return path;
}

class InspectedModule : public HxModule_PG_Ostrel {
 public:
  InspectedModule(const std::string& program, int mode) : HxModule_PG_Ostrel(options_for(program, mode)) {}
  bool has_connection() const { return static_cast<bool>(connection_); }
  bool has_transaction() const { return static_cast<bool>(transaction_); }

 private:
  static HxModuleOptions options_for(const std::string& program, int mode) {
    HxModuleOptions options;
    options.program_path = "/usr/local/bin/" + program;
    options.mode = mode;
    return options;
  }
};

int sessions(const std::string& state = "") {
  return std::stoi(admin("SELECT count(*) FROM pg_stat_activity WHERE usename = '" + env("HX_PG_USER") + "'" +
                         (state.empty() ? "" : " AND state = '" + state + "'")));
}

class PgServer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(env("HX_PG_DATA").empty()) << "run inside the full testbed/sandbox"; }
  void TearDown() override { EXPECT_TRUE(!changed_ || testbed_pg("restart") == 0); }
  int testbed_pg(const std::string& arguments) {
    changed_ = true;
    return hx_test::sh(env("HX_TESTBED_DIR") + "/pg " + arguments);
  }

  hx_test::LogCapture log_{HxLogLvl::DebugMask};
  bool changed_ = false;
};

// (The printed version, data directory, config file, restore command and
// archive check are read on the client check's road, end to end.)
TEST_F(PgServer, QueriesOnTheTestBedsServer) {
  auto connection = connect_as(module_conf());
  pg_version version;
  std::string hba;
  {
    hx_test::CoutCapture out;
    ASSERT_TRUE(pg::get_pg_version(connection, version, false)) << log_.text();
    EXPECT_EQ(out.text(), "");
  }
  EXPECT_EQ(version.major, 15u);
  EXPECT_EQ(version.minor, std::stoul(admin("SHOW server_version_num")) % 100);
  ASSERT_TRUE(pg::show_hba_file(connection, hba));
  EXPECT_EQ(hba, env("HX_PG_DATA") + "/pg_hba.conf");

  // The set of tablespaces is added to, not emptied first.
  std::set<std::string> spaces{"/already/there"};
  ASSERT_TRUE(pg::get_tablespaces(connection, spaces));
  EXPECT_EQ(spaces, (std::set<std::string>{"/already/there", env("HX_PG_TBLSPC")}));
  // Only the two built-in tablespaces: true and nothing added.
  admin("DROP TABLESPACE ts1");
  std::set<std::string> none;
  const bool none_ok = pg::get_tablespaces(connection, none);
  admin("CREATE TABLESPACE ts1 LOCATION '" + env("HX_PG_TBLSPC") + "'");
  EXPECT_TRUE(none_ok);
  EXPECT_TRUE(none.empty());
  EXPECT_TRUE(log_.messages().empty()) << log_.text();
}

TEST_F(PgServer, ArchiveCheckPassesWithWalLevelLogical) {
  ASSERT_EQ(testbed_pg("restart -c wal_level=logical"), 0);
  EXPECT_TRUE(pg::check_archive_mode(connect_as(module_conf())));
  EXPECT_TRUE(log_.messages().empty()) << log_.text();
}

// The connection string's quoting against the server's own authentication.
TEST_F(PgServer, PasswordsAndNamesThatNeedQuotes) {
  hx_pg_conf conf = module_conf();
  for (const auto& role :
       std::vector<std::pair<std::string, std::string>>{{"hx_quote1", "'a b'c\\d"},
                                                        {"hx_quote2", "ends with a backslash\\"},
                                                        {"hx_quote3", "pw sslmode=require host=nowhere.invalid"},
                                                        {"hx quote4", "plain"}}) {
    {
      pqxx::connection c("host=" + env("PGHOST") + " port=" + env("PGPORT") + " user=postgres dbname=postgres");
      pqxx::nontransaction t(c);
      t.exec("CREATE ROLE " + t.quote_name(role.first) + " LOGIN PASSWORD " + t.quote(role.second));
    }
    conf.username = role.first;
    conf.password = role.second;
    try {
      auto connection = connect_as(conf);
      pqxx::nontransaction transaction(*connection);
      EXPECT_EQ(std::string(transaction.exec("SELECT current_user")[0][0].c_str()), role.first);
    } catch (const std::exception& e) {
      ADD_FAILURE() << pg::conn_string(conf) << ": " << e.what();
    }
    conf.password = role.second + "x";  // a wrong password is still refused
    EXPECT_THROW(connect_as(conf), pqxx::broken_connection) << role.first;
  }
}

TEST_F(PgServer, StopWalFileFromTheServer) {
  const hx_pg_conf conf = module_conf();
  admin("SELECT pg_switch_wal()");
  const std::string lsn = admin("SELECT pg_current_wal_lsn()");
  std::string name;
  ASSERT_TRUE(pg::get_stop_wal_file_from_server(name, lsn, pg_version(15, 0), conf)) << log_.text();
  EXPECT_EQ(name, admin("SELECT pg_walfile_name('" + lsn + "')"));
  EXPECT_EQ(log_.messages(),
            (Lines{"Info: Using 127.0.0.1 to get stop wal file.", "Info: Using port " + conf.port + "."}));

  // A location cannot end the SQL literal; the 9.x function does not exist
  // on this server; a refused login is its own failure. The name stays.
  hx_pg_conf wrong = conf;
  wrong.password = "wrong";
  struct Case {
    std::string location;
    unsigned int major;
    hx_pg_conf conf;
    std::string error_begin, error_part;
  };
  for (const Case& c :
       {Case{"0/1') || ('x", 15, conf, "Error: Postgresql node connection failure: ", "pg_lsn"},
        Case{"0/1'); SELECT pg_switch_wal(); --", 15, conf, "Error: Postgresql node connection failure: ", "pg_lsn"},
        Case{"0/1000000", 9, conf, "Error: Postgresql node connection failure: ", "pg_xlogfile_name"},
        Case{"0/1000000", 15, wrong, "Error: Connection to primary node failed: ", "password"}}) {
    log_.clear();
    name = "unchanged";
    EXPECT_FALSE(pg::get_stop_wal_file_from_server(name, c.location, pg_version(c.major, 6), c.conf));
    EXPECT_EQ(name, "unchanged");
    const Lines lines = log_.messages();
    ASSERT_EQ(lines.size(), 3u) << log_.text();
    EXPECT_EQ(lines[2].rfind(c.error_begin, 0), 0u) << lines[2];
    EXPECT_NE(lines[2].find(c.error_part), std::string::npos) << lines[2];
  }

  // A standby (the server in recovery) is refused.
  const std::string signal = env("HX_PG_DATA") + "/standby.signal";
  ASSERT_EQ(testbed_pg("stop"), 0);
  std::ofstream{signal};
  ASSERT_EQ(testbed_pg("start"), 0);
  log_.clear();
  const bool from_standby = pg::get_stop_wal_file_from_server(name, lsn, pg_version(15, 0), conf);
  ASSERT_EQ(testbed_pg("stop"), 0);
  fs::remove(signal);
  EXPECT_FALSE(from_standby);
  EXPECT_EQ(log_.messages().back(), "Error: DB server(127.0.0.1) is not primary.");
  EXPECT_EQ(name, "unchanged");
}

TEST_F(PgServer, QueriesWithoutAServerFailWithTheirSignature) {
  std::string text = "unchanged";
  EXPECT_FALSE(pg::show_data_directory(nullptr, text));
  ASSERT_EQ(log_.messages().size(), 1u);
  EXPECT_NE(log_.messages()[0].find("): no database connection"), std::string::npos) << log_.text();
  pg_version none;
  std::set<std::string> no_spaces;
  EXPECT_FALSE(pg::get_pg_version(nullptr, none, false) || pg::check_archive_mode(nullptr) ||
               pg::get_tablespaces(nullptr, no_spaces));
  EXPECT_EQ(log_.messages().size(), 4u) << log_.text();

  auto connection = connect_as(module_conf());
  ASSERT_EQ(testbed_pg("stop"), 0);
  log_.clear();
  pg_version version(1, 2);
  std::set<std::string> spaces{"kept"};
  const std::string p = "Error: bool hx_postgresql_common::";
  const std::vector<std::pair<std::string, bool>> cases{
      {p + "get_pg_version" + kConnArg + ", pg_version&, bool): ", pg::get_pg_version(connection, version, true)},
      {p + "show_data_directory" + kConnArg + ", std::string&): ", pg::show_data_directory(connection, text)},
      {p + "show_config_file" + kConnArg + ", std::string&): ", pg::show_config_file(connection, text)},
      {p + "show_restore_command" + kConnArg + ", std::string&): ", pg::show_restore_command(connection, text)},
      {p + "show_hba_file" + kConnArg + ", std::string&): ", pg::show_hba_file(connection, text)},
      {p + "check_archive_mode" + kConnArg + "): ", pg::check_archive_mode(connection)},
      {p + "get_tablespaces" + kConnArg + ", std::set<std::__cxx11::basic_string<char> >&): ",
       pg::get_tablespaces(connection, spaces)},
  };
  const Lines lines = log_.messages();
  ASSERT_EQ(lines.size(), cases.size()) << log_.text();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_FALSE(cases[i].second) << cases[i].first;
    EXPECT_EQ(lines[i].rfind(cases[i].first, 0), 0u) << lines[i];
  }
  EXPECT_EQ(text, "unchanged");
  EXPECT_EQ(version.major, 1u);
  EXPECT_EQ(spaces, std::set<std::string>{"kept"});
}

// The backup modes open one session inside an open transaction, which ends
// with the module object; a password that needs quotes comes through the file.
TEST_F(PgServer, PreparationOfTheBackupModes) {
  for (int mode : {HxModuleMode::Backup, HxModuleMode::BackupList, HxModuleMode::CreateReplica}) {
    log_.clear();
    {
      InspectedModule module("hx_module_pg_ostrel", mode);
      hx_test::CoutCapture out;
      ASSERT_TRUE(module.prapare_module()) << log_.text();
      EXPECT_EQ(out.text(), "PostgreSQL version: " + admin("SHOW server_version") + "\n");
      EXPECT_EQ(module.server_version().major, 15u);
      EXPECT_TRUE(module.has_connection() && module.has_transaction()) << mode;
      EXPECT_EQ(sessions("idle in transaction"), 1) << mode;
      EXPECT_EQ(sessions(), 1) << mode;
    }
    int left = -1;
    for (int i = 0; i < 50 && (left = sessions()) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(left, 0) << "the session outlived the module object";
    EXPECT_TRUE(log_.messages().empty()) << log_.text();
  }

  admin("CREATE ROLE hx_file_quote LOGIN SUPERUSER PASSWORD 'x y''z\\w'");
  const std::string path = write_conf("hx_pg_quoted_password", "hx_file_quote", "x y'z\\w");
  InspectedModule module("hx_pg_quoted_password", HxModuleMode::Backup);
  hx_test::CoutCapture out;
  EXPECT_TRUE(module.prapare_module()) << log_.text();
  fs::remove(path);
  EXPECT_TRUE(module.has_transaction());
}

}  // namespace
