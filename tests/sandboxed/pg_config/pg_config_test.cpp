// The module configuration file, read from its fixed place
// /opt/halvex/etc/<program>.conf inside the sandbox: line normalisation,
// keys, values, messages and the checks at the end of the file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "postgresql/hx_postgresql_common.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = boost::filesystem;
using Lines = std::vector<std::string>;

std::string config_error(const std::string& key, const std::string& text) {
  return "Error: Configuration file error: \"" + key + "\" parameter " + text;
}

class PgConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::is_directory("/opt/halvex/etc")) << "run inside testbed/sandbox";
    pg_ctl_ = dir_.write("pg_ctl", "#!/bin/sh\n");
    program_ = std::string("hx_cfg_") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    path_ = "/opt/halvex/etc/" + program_ + ".conf";
  }
  void TearDown() override { fs::remove(path_); }
  // Writes the file byte for byte and loads it into conf through a program
  // path in another directory (only the file name counts); the log starts empty.
  bool load(const std::string& content, hx_pg_conf& conf) {
    std::ofstream(path_, std::ios_base::binary | std::ios_base::trunc) << content;
    log_.clear();
    return hx_postgresql_common::load_hx_pg_config("/usr/local/bin/" + program_, conf);
  }
  std::string pg_ctl_line() const { return "pg_ctl " + pg_ctl_ + "\n"; }

  hx_test::TempDir dir_;
  hx_test::LogCapture log_{HxLogLvl::DebugMask};
  std::string pg_ctl_, program_, path_;
};

TEST_F(PgConfig, EveryKeyWithBlanksTabsCommentsAndCarriageReturns) {
  hx_pg_conf conf;
  conf.wal_check_period = 3;  // not in the file: keeps its value
  ASSERT_TRUE(
      load("# module configuration\n   # indented comment\n\t# after a tab\n\n   \t  \n"
           "username\tfirst\nusername backup\r\n"
           "password a \t  b\t\tc  \n"
           "port\t\t5432\n"
           "host     db.example\n"
           "archive_catalog /a/b # note\n"
           "pg_ctl /no/such/pg_ctl\n" +
               pg_ctl_line() +
               "exclude_file /etc/hx/exclude\n"
               "auto_remove_wal no\n"
               "direct_restore yes\r\n"
               "patroni_host p.example\npatroni_port     8008\npostgresql_admin pgadmin\n"
               "wal_wait_timeout 30s\n"
               "execute_only_on_leader yes\r\n",
           conf))
      << log_.text();
  EXPECT_TRUE(log_.messages().empty()) << log_.text();
  // The last value of a key wins; a "#" after the key is part of the value.
  EXPECT_EQ(conf.username + "|" + conf.password + "|" + conf.port + "|" + conf.host + "|" + conf.archive_catalog + "|" +
                conf.exclude_file + "|" + conf.patroni_host + "|" + conf.patroni_port + "|" + conf.postgresql_admin,
            "backup|a b c|5432|db.example|/a/b # note|/etc/hx/exclude|p.example|8008|pgadmin");
  EXPECT_EQ(conf.pg_ctl, pg_ctl_);
  EXPECT_FALSE(conf.auto_remove_wal);
  EXPECT_TRUE(conf.direct_restore && conf.execute_only_on_leader);
  EXPECT_EQ(conf.wal_wait_timeout, 30);
  EXPECT_EQ(conf.wal_check_period, 3);
}

TEST_F(PgConfig, UnparsableLinesAreReportedAndSkipped) {
  hx_pg_conf conf;
  // "username" alone does not match the key "username " (its blank was trimmed away).
  ASSERT_TRUE(load("username\nUsername backup\n  some   unknown\tline  \nhost\npostgresql_admin\n" + pg_ctl_line() +
                       "archive_catalogue /srv/wal\nport 5432\n",
                   conf))
      << log_.text();
  // Each line names the keys that exist.
  const std::string prefix = "Error: " + path_ + ": unable to parse the line: ";
  const std::string keys =
      " (known keys: username, password, port, host, archive_catalog, pg_ctl, exclude_file, patroni_host, "
      "patroni_port, auto_remove_wal, direct_restore, postgresql_admin, wal_wait_timeout, wal_check_period, "
      "execute_only_on_leader)";
  EXPECT_EQ(log_.messages(),
            (Lines{prefix + "username" + keys, prefix + "Username backup" + keys, prefix + "some unknown line" + keys,
                   prefix + "host" + keys, prefix + "postgresql_admin" + keys,
                   prefix + "archive_catalogue /srv/wal" + keys}));
  EXPECT_EQ(conf.archive_catalog, "");
  EXPECT_EQ(conf.username, "");
  EXPECT_EQ(conf.host, "localhost");
  EXPECT_EQ(conf.postgresql_admin, "postgres");
  EXPECT_EQ(conf.port, "5432");  // reading went on after the bad lines
}

TEST_F(PgConfig, WaitNumbersReadLikeStol) {
  hx_pg_conf glued;
  ASSERT_TRUE(load("wal_wait_timeout30\nwal_check_period\t+7 seconds\n" + pg_ctl_line(), glued)) << log_.text();
  EXPECT_EQ(glued.wal_wait_timeout, 30);
  EXPECT_EQ(glued.wal_check_period, 7);
  hx_pg_conf big;
  ASSERT_TRUE(load("wal_wait_timeout 9223372036854775807\n" + pg_ctl_line(), big));
  EXPECT_EQ(big.wal_wait_timeout, 9223372036854775807L);

  // A value without a number, or out of range, ends reading at once.
  hx_pg_conf conf;
  EXPECT_FALSE(load("wal_wait_timeout =30\nusername late\ngarbage line\n" + pg_ctl_line(), conf));
  EXPECT_EQ(log_.messages(), Lines{config_error("wal_wait_timeout", "has incompatible value.")});
  EXPECT_EQ(conf.username, "");
  EXPECT_EQ(conf.wal_wait_timeout, 10);
  for (const auto& c : std::vector<std::pair<std::string, std::string>>{
           {"wal_wait_timeout 9223372036854775808", config_error("wal_wait_timeout", "is out of range.")},
           {"wal_wait_timeout -99999999999999999999", config_error("wal_wait_timeout", "is out of range.")},
           {"wal_check_period 99999999999999999999", config_error("wal_check_period", "is out of range.")},
           {"wal_check_period abc", config_error("wal_check_period", "has incompatible value.")},
           {"wal_check_period", config_error("wal_check_period", "has incompatible value.")},
           {"wal_wait_timeout s30", config_error("wal_wait_timeout", "has incompatible value.")}}) {
    hx_pg_conf refused;
    EXPECT_FALSE(load(c.first + "\n" + pg_ctl_line(), refused)) << c.first;
    EXPECT_EQ(log_.messages(), Lines{c.second}) << c.first;
  }
}

// wal_check_period divides and sleeps in the archiving wait: the loader
// refuses values below 1 (and a negative wal_wait_timeout) after reading them.
TEST_F(PgConfig, WaitValuesThatCannotWorkAreRefused) {
  const std::string negative = config_error("wal_wait_timeout", "must not be negative.");
  const std::string below_one = config_error("wal_check_period", "must be at least 1.");
  hx_pg_conf conf;
  EXPECT_FALSE(load("wal_check_period -2\n" + pg_ctl_line(), conf));
  EXPECT_EQ(conf.wal_check_period, -2);
  EXPECT_EQ(log_.messages(), Lines{below_one});
  EXPECT_FALSE(load("wal_wait_timeout -1\nwal_check_period 0\n" + pg_ctl_line(), conf));
  EXPECT_EQ(log_.messages(), (Lines{negative, below_one}));
  EXPECT_TRUE(load("wal_wait_timeout 0\nwal_check_period 0\nwal_check_period 5\n" + pg_ctl_line(), conf));
  EXPECT_EQ(conf.wal_check_period, 5);
}

TEST_F(PgConfig, SwitchValues) {
  for (const auto& c : std::vector<std::pair<std::string, bool>>{
           {" yes", true}, {" y e s", true}, {"\ty\te\ts", true}, {"yes", true}, {" no", false}, {" n  o", false}}) {
    hx_pg_conf conf;
    conf.execute_only_on_leader = !c.second;
    EXPECT_TRUE(load("execute_only_on_leader" + c.first + "\n" + pg_ctl_line(), conf)) << log_.text();
    EXPECT_EQ(conf.execute_only_on_leader, c.second) << c.first;
    EXPECT_TRUE(log_.messages().empty()) << log_.text();
  }
  for (const char* value : {"true", "Yes", "on", "yess", ""}) {
    hx_pg_conf conf;
    EXPECT_FALSE(load(std::string("execute_only_on_leader ") + value + "\nusername after\n" + pg_ctl_line(), conf));
    EXPECT_EQ(log_.messages(),
              Lines{config_error("execute_only_on_leader", "has incompatible value. Acceptable values: yes/no.")})
        << value;
    EXPECT_EQ(conf.username, "");
  }
  // auto_remove_wal and direct_restore: "yes" or "true", anything else is false.
  for (const auto& v : std::vector<std::pair<std::string, bool>>{
           {"yes", true}, {"true", true}, {"no", false}, {"Yes", false}, {"TRUE", false}, {"yes please", false}}) {
    hx_pg_conf conf;
    conf.auto_remove_wal = conf.direct_restore = !v.second;
    ASSERT_TRUE(load("auto_remove_wal " + v.first + "\ndirect_restore " + v.first + "\n" + pg_ctl_line(), conf));
    EXPECT_EQ(conf.auto_remove_wal, v.second) << v.first;
    EXPECT_EQ(conf.direct_restore, v.second) << v.first;
  }
}

TEST_F(PgConfig, PgCtlHostAndMissingFile) {
  hx_pg_conf conf;
  EXPECT_FALSE(load("username backup\npassword x\nport 5432\nhost h\narchive_catalog /a\n", conf));
  EXPECT_EQ(log_.messages(), Lines{"Error: Please define pg_ctl  in the " + path_});
  EXPECT_EQ(conf.archive_catalog, "/a");  // lines read before the failure keep their values
  EXPECT_FALSE(load("pg_ctl /no/such/dir/pg_ctl\n", conf));
  EXPECT_EQ(log_.messages(),
            (Lines{"Error: Wrong value pg_ctl  in the " + path_, "Error: /no/such/dir/pg_ctl doesn't exist"}));

  // A "host" line cannot leave the value empty; an empty host passed in can.
  conf.host = "";
  ASSERT_TRUE(load(pg_ctl_line(), conf));
  EXPECT_EQ(conf.host, "localhost");
  EXPECT_EQ(log_.messages(), Lines{"Warning: host param is empty in the module config file. Change to localhost"});

  fs::remove(path_);
  log_.clear();
  hx_pg_conf defaults;
  EXPECT_FALSE(hx_postgresql_common::load_hx_pg_config("./" + program_, defaults));
  EXPECT_EQ(log_.messages(), Lines{"Error: bool hx_postgresql_common::load_hx_pg_config(const string&, hx_pg_conf&): "
                                "Can't open: " +
                                path_});
  EXPECT_EQ(defaults.host, "localhost");
  EXPECT_EQ(defaults.pg_ctl, "");
  EXPECT_EQ(defaults.wal_wait_timeout, 10);
}

}  // namespace
