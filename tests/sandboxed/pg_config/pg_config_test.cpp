// The module configuration file, read from its fixed place
// /opt/halvex/etc/<program>.conf inside the sandbox: line normalisation,
// keys, values, messages and the checks at the end of the file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "postgresql/hx_postgresql_common.h"
#include "unit/postgresql/pg_test_support.h"

namespace {

namespace fs = boost::filesystem;
using hx_postgresql_common::load_hx_pg_config;

class PgConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::is_directory("/opt/halvex/etc")) << "run inside testbed/sandbox";
    pg_ctl_ = dir_.write("pg_ctl", "#!/bin/sh\n");
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    program_ = std::string("hx_cfg_") + info->name();
    path_ = "/opt/halvex/etc/" + program_ + ".conf";
  }
  void TearDown() override {
    boost::system::error_code ec;
    fs::remove(path_, ec);
  }
  // Writes the configuration file byte for byte.
  void write(const std::string& content) {
    std::ofstream out(path_, std::ios_base::binary | std::ios_base::trunc);
    out << content;
  }
  // Loads through a program path in some other directory: only the file name counts.
  bool load(hx_pg_conf& conf) { return load_hx_pg_config("/usr/local/bin/" + program_, conf); }
  std::string pg_ctl_line() const { return "pg_ctl " + pg_ctl_ + "\n"; }
  std::vector<std::string> lines() const { return log_.lines(); }

  pg_test::TempDir dir_;
  pg_test::LogCapture log_;
  std::string pg_ctl_;
  std::string program_;
  std::string path_;
};

TEST_F(PgConfig, Defaults) {
  const hx_pg_conf conf;
  EXPECT_EQ(conf.username, "");
  EXPECT_EQ(conf.password, "");
  EXPECT_EQ(conf.port, "");
  EXPECT_EQ(conf.host, "localhost");
  EXPECT_EQ(conf.archive_catalog, "");
  EXPECT_EQ(conf.pg_ctl, "");
  EXPECT_EQ(conf.exclude_file, "");
  EXPECT_TRUE(conf.auto_remove_wal);
  EXPECT_FALSE(conf.direct_restore);
  EXPECT_EQ(conf.patroni_host, "");
  EXPECT_EQ(conf.patroni_port, "");
  EXPECT_EQ(conf.postgresql_admin, "postgres");
  EXPECT_EQ(conf.wal_wait_timeout, 10);
  EXPECT_EQ(conf.wal_check_period, 1);
  EXPECT_FALSE(conf.execute_only_on_leader);
}

TEST_F(PgConfig, EveryKeyWithTabsBlanksAndComments) {
  write("# module configuration\n"
        "   # indented comment\n"
        "\t# comment after a tab\n"
        "\n"
        "   \t  \n"
        "username\tbackup\n"
        "password   s3cret  \n"
        "port\t\t5432\n"
        "host     db.example\n"
        "archive_catalog /a/b # note\n" +
        pg_ctl_line() +
        "exclude_file /etc/hx/exclude\n"
        "auto_remove_wal no\n"
        "direct_restore yes\n"
        "patroni_host p.example\n"
        "patroni_port 8008\n"
        "postgresql_admin pgadmin\n"
        "wal_wait_timeout 30\n"
        "wal_check_period 2\n"
        "execute_only_on_leader yes\n");
  hx_pg_conf conf;
  ASSERT_TRUE(load(conf)) << log_.text();
  EXPECT_TRUE(lines().empty()) << log_.text();
  EXPECT_EQ(conf.username, "backup");
  EXPECT_EQ(conf.password, "s3cret");
  EXPECT_EQ(conf.port, "5432");
  EXPECT_EQ(conf.host, "db.example");
  EXPECT_EQ(conf.archive_catalog, "/a/b # note");
  EXPECT_EQ(conf.pg_ctl, pg_ctl_);
  EXPECT_EQ(conf.exclude_file, "/etc/hx/exclude");
  EXPECT_FALSE(conf.auto_remove_wal);
  EXPECT_TRUE(conf.direct_restore);
  EXPECT_EQ(conf.patroni_host, "p.example");
  EXPECT_EQ(conf.patroni_port, "8008");
  EXPECT_EQ(conf.postgresql_admin, "pgadmin");
  EXPECT_EQ(conf.wal_wait_timeout, 30);
  EXPECT_EQ(conf.wal_check_period, 2);
  EXPECT_TRUE(conf.execute_only_on_leader);
}

TEST_F(PgConfig, InnerRunsOfBlanksAndTabsBecomeOneBlank) {
  write("port\t\t5432\n"
        "password a \t  b\t\tc\n"
        "archive_catalog   /x   y\n" +
        pg_ctl_line());
  hx_pg_conf conf;
  ASSERT_TRUE(load(conf)) << log_.text();
  EXPECT_EQ(conf.port, "5432");
  EXPECT_EQ(conf.password, "a b c");
  EXPECT_EQ(conf.archive_catalog, "/x y");

  write("port     5432\n" + pg_ctl_line());
  hx_pg_conf other;
  ASSERT_TRUE(load(other));
  EXPECT_EQ(other.port, "5432");
}

TEST_F(PgConfig, CarriageReturnsAreTrimmed) {
  write("username backup\r\n"
        "port 5432\r\n"
        "# comment\r\n"
        "\r\n"
        "auto_remove_wal yes\r\n"
        "execute_only_on_leader no\r\n"
        "wal_wait_timeout 15\r\n" +
        std::string("pg_ctl ") + pg_ctl_ + "\r\n");
  hx_pg_conf conf;
  conf.auto_remove_wal = false;
  ASSERT_TRUE(load(conf)) << log_.text();
  EXPECT_TRUE(lines().empty()) << log_.text();
  EXPECT_EQ(conf.username, "backup");
  EXPECT_EQ(conf.port, "5432");
  EXPECT_TRUE(conf.auto_remove_wal);
  EXPECT_EQ(conf.wal_wait_timeout, 15);
  EXPECT_EQ(conf.pg_ctl, pg_ctl_);
}

TEST_F(PgConfig, UnparsableLinesAreReportedAndSkipped) {
  write("username\n"
        "Username backup\n"
        "  some   unknown\tline  \n"
        "host\n"
        "postgresql_admin\n" +
        pg_ctl_line() + "port 5432\n");
  hx_pg_conf conf;
  ASSERT_TRUE(load(conf)) << log_.text();
  const std::vector<std::string> expected{
      "Error: " + path_ + ": unable to parse the line: username",
      "Error: " + path_ + ": unable to parse the line: Username backup",
      "Error: " + path_ + ": unable to parse the line: some unknown line",
      "Error: " + path_ + ": unable to parse the line: host",
      "Error: " + path_ + ": unable to parse the line: postgresql_admin",
  };
  EXPECT_EQ(lines(), expected);
  EXPECT_EQ(conf.username, "");
  EXPECT_EQ(conf.host, "localhost");
  EXPECT_EQ(conf.postgresql_admin, "postgres");
  // Reading went on after the bad lines.
  EXPECT_EQ(conf.port, "5432");
}

TEST_F(PgConfig, WaitNumbersReadLikeStol) {
  write("wal_wait_timeout 30s\n" + pg_ctl_line());
  hx_pg_conf conf;
  ASSERT_TRUE(load(conf)) << log_.text();
  EXPECT_EQ(conf.wal_wait_timeout, 30);

  write("wal_wait_timeout30\nwal_check_period\t+7 seconds\n" + pg_ctl_line());
  hx_pg_conf glued;
  ASSERT_TRUE(load(glued)) << log_.text();
  EXPECT_EQ(glued.wal_wait_timeout, 30);
  EXPECT_EQ(glued.wal_check_period, 7);

  write("wal_wait_timeout 0\n" + pg_ctl_line());
  hx_pg_conf zero;
  ASSERT_TRUE(load(zero)) << log_.text();
  EXPECT_EQ(zero.wal_wait_timeout, 0);
  EXPECT_TRUE(lines().empty()) << log_.text();
}

TEST_F(PgConfig, WaitTimeoutWithoutANumberStopsReading) {
  write("wal_wait_timeout =30\n"
        "username late\n"
        "garbage line\n" +
        pg_ctl_line());
  hx_pg_conf conf;
  EXPECT_FALSE(load(conf));
  const std::vector<std::string> expected{
      "Error: Configuration file error: \"wal_wait_timeout\" parameter has incompatible value."};
  EXPECT_EQ(lines(), expected);
  EXPECT_EQ(conf.username, "");
  EXPECT_EQ(conf.wal_wait_timeout, 10);
}

TEST_F(PgConfig, WaitNumbersOutOfRangeOrMissing) {
  struct Case {
    std::string line;
    std::string message;
  };
  const std::vector<Case> cases{
      {"wal_wait_timeout 9223372036854775808",
       "Error: Configuration file error: \"wal_wait_timeout\" parameter is out of range."},
      {"wal_wait_timeout -99999999999999999999",
       "Error: Configuration file error: \"wal_wait_timeout\" parameter is out of range."},
      {"wal_check_period 99999999999999999999",
       "Error: Configuration file error: \"wal_check_period\" parameter is out of range."},
      {"wal_check_period abc", "Error: Configuration file error: \"wal_check_period\" parameter has incompatible value."},
      {"wal_check_period", "Error: Configuration file error: \"wal_check_period\" parameter has incompatible value."},
      {"wal_wait_timeout s30", "Error: Configuration file error: \"wal_wait_timeout\" parameter has incompatible value."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    log_.clear();
    write(c.line + "\n" + pg_ctl_line());
    hx_pg_conf conf;
    EXPECT_FALSE(load(conf));
    EXPECT_EQ(lines(), std::vector<std::string>{c.message});
  }
  // The largest number that fits is taken.
  log_.clear();
  write("wal_wait_timeout 9223372036854775807\n" + pg_ctl_line());
  hx_pg_conf big;
  EXPECT_TRUE(load(big)) << log_.text();
  EXPECT_EQ(big.wal_wait_timeout, 9223372036854775807L);
}

TEST_F(PgConfig, WaitValuesThatCannotWorkAreRefused) {
  write("wal_check_period -2\n" + pg_ctl_line());
  hx_pg_conf negative;
  EXPECT_FALSE(load(negative));
  // The number was read; the check at the end of the file refused it.
  EXPECT_EQ(negative.wal_check_period, -2);
  EXPECT_EQ(lines(), std::vector<std::string>{
                         "Error: Configuration file error: \"wal_check_period\" parameter must be at least 1."});

  log_.clear();
  write("wal_check_period 0\n" + pg_ctl_line());
  hx_pg_conf zero;
  EXPECT_FALSE(load(zero));
  EXPECT_EQ(lines(), std::vector<std::string>{
                         "Error: Configuration file error: \"wal_check_period\" parameter must be at least 1."});

  log_.clear();
  write("wal_wait_timeout -1\n" + pg_ctl_line());
  hx_pg_conf timeout;
  EXPECT_FALSE(load(timeout));
  EXPECT_EQ(lines(), std::vector<std::string>{
                         "Error: Configuration file error: \"wal_wait_timeout\" parameter must not be negative."});

  log_.clear();
  write("wal_wait_timeout -1\nwal_check_period 0\n" + pg_ctl_line());
  hx_pg_conf both;
  EXPECT_FALSE(load(both));
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "Error: Configuration file error: \"wal_wait_timeout\" parameter must not be negative.",
                         "Error: Configuration file error: \"wal_check_period\" parameter must be at least 1."}));

  // The last value of a key is the one judged.
  log_.clear();
  write("wal_check_period 0\nwal_check_period 5\n" + pg_ctl_line());
  hx_pg_conf corrected;
  EXPECT_TRUE(load(corrected)) << log_.text();
  EXPECT_EQ(corrected.wal_check_period, 5);
}

TEST_F(PgConfig, ExecuteOnlyOnLeaderTakesYesOrNoOnly) {
  const std::vector<std::pair<std::string, bool>> accepted{
      {"execute_only_on_leader yes", true},  {"execute_only_on_leader y e s", true},
      {"execute_only_on_leader\ty\te\ts", true}, {"execute_only_on_leaderyes", true},
      {"execute_only_on_leader no", false},  {"execute_only_on_leader n  o", false},
  };
  for (const auto& c : accepted) {
    SCOPED_TRACE(c.first);
    log_.clear();
    write(c.first + "\n" + pg_ctl_line());
    hx_pg_conf conf;
    conf.execute_only_on_leader = !c.second;
    EXPECT_TRUE(load(conf)) << log_.text();
    EXPECT_EQ(conf.execute_only_on_leader, c.second);
    EXPECT_TRUE(lines().empty()) << log_.text();
  }
  for (const char* value : {"true", "Yes", "on", "yess", ""}) {
    SCOPED_TRACE(value);
    log_.clear();
    write(std::string("execute_only_on_leader ") + value + "\nusername after\n" + pg_ctl_line());
    hx_pg_conf conf;
    EXPECT_FALSE(load(conf));
    EXPECT_EQ(lines(), std::vector<std::string>{"Error: Configuration file error: \"execute_only_on_leader\" "
                                                "parameter has incompatible value. Acceptable values: yes/no."});
    EXPECT_EQ(conf.username, "");
  }
}

TEST_F(PgConfig, YesNoSwitches) {
  const std::vector<std::pair<std::string, bool>> values{
      {"yes", true}, {"true", true}, {"no", false}, {"Yes", false}, {"TRUE", false}, {"on", false}, {"yes please", false},
  };
  for (const auto& v : values) {
    SCOPED_TRACE(v.first);
    write("auto_remove_wal " + v.first + "\ndirect_restore " + v.first + "\n" + pg_ctl_line());
    hx_pg_conf conf;
    conf.auto_remove_wal = !v.second;
    conf.direct_restore = !v.second;
    ASSERT_TRUE(load(conf)) << log_.text();
    EXPECT_EQ(conf.auto_remove_wal, v.second);
    EXPECT_EQ(conf.direct_restore, v.second);
  }
}

TEST_F(PgConfig, LastValueWins) {
  write("username first\nusername second\nport 1\nport 2\n" + pg_ctl_line() + "pg_ctl /no/such/pg_ctl\n" +
        pg_ctl_line());
  hx_pg_conf conf;
  ASSERT_TRUE(load(conf)) << log_.text();
  EXPECT_EQ(conf.username, "second");
  EXPECT_EQ(conf.port, "2");
  EXPECT_EQ(conf.pg_ctl, pg_ctl_);
}

TEST_F(PgConfig, MissingPgCtl) {
  write("username backup\npassword x\nport 5432\nhost h\narchive_catalog /a\n");
  hx_pg_conf conf;
  EXPECT_FALSE(load(conf));
  EXPECT_EQ(lines(), std::vector<std::string>{"Error: Please define pg_ctl  in the " + path_});
  // The lines read before the failure keep their values.
  EXPECT_EQ(conf.username, "backup");
  EXPECT_EQ(conf.archive_catalog, "/a");
}

TEST_F(PgConfig, PgCtlThatDoesNotExist) {
  write("pg_ctl /no/such/dir/pg_ctl\n");
  hx_pg_conf conf;
  EXPECT_FALSE(load(conf));
  EXPECT_EQ(lines(), (std::vector<std::string>{"Error: Wrong value pg_ctl  in the " + path_,
                                               "Error: /no/such/dir/pg_ctl doesn't exist"}));
}

TEST_F(PgConfig, EmptyHostBecomesLocalhostWithAWarning) {
  // A "host" line cannot leave the value empty (its blank is trimmed away);
  // an empty host in the record the caller passes is the case left.
  write(pg_ctl_line());
  hx_pg_conf conf;
  conf.host = "";
  ASSERT_TRUE(load(conf));
  EXPECT_EQ(conf.host, "localhost");
  EXPECT_EQ(lines(),
            std::vector<std::string>{"Warning: host param is empty in the module config file. Change to localhost"});
}

TEST_F(PgConfig, FieldsNotInTheFileKeepTheirValues) {
  write("port 7000\n" + pg_ctl_line());
  hx_pg_conf conf;
  conf.username = "kept";
  conf.wal_check_period = 3;
  ASSERT_TRUE(load(conf));
  EXPECT_EQ(conf.username, "kept");
  EXPECT_EQ(conf.wal_check_period, 3);
  EXPECT_EQ(conf.port, "7000");
}

TEST_F(PgConfig, MissingFile) {
  hx_pg_conf conf;
  EXPECT_FALSE(load(conf));
  EXPECT_EQ(lines(),
            std::vector<std::string>{"Error: bool hx_postgresql_common::load_hx_pg_config(const string&, "
                                     "hx_pg_conf&): Can't open: " + path_});
  const hx_pg_conf defaults;
  EXPECT_EQ(conf.host, defaults.host);
  EXPECT_EQ(conf.pg_ctl, "");
  EXPECT_EQ(conf.wal_wait_timeout, defaults.wal_wait_timeout);
}

TEST_F(PgConfig, OnlyTheFileNameOfTheProgramPathCounts) {
  write("username by_name\n" + pg_ctl_line());
  for (const std::string& program : {program_, "./" + program_, "/opt/other/dir/" + program_}) {
    SCOPED_TRACE(program);
    hx_pg_conf conf;
    ASSERT_TRUE(load_hx_pg_config(program, conf)) << log_.text();
    EXPECT_EQ(conf.username, "by_name");
  }
}

}  // namespace
