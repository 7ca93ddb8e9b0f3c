// WAL files against the real PostgreSQL server of the test bed: the wait for a
// WAL file to be archived completely (segment size asked of the server), and
// a real WAL archive with a base backup made by the server's own functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "postgresql/hx_postgresql_common.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = boost::filesystem;
namespace pg = hx_postgresql_common;
using hx_test::env;
using Lines = std::vector<std::string>;

const std::string kSigWait =
    "int hx_postgresql_common::wait_until_file_archiving_finished(const string&, "
    "std::shared_ptr<pqxx::basic_connection_base<pqxx::connect_direct> >, long int, long int)";
constexpr std::uintmax_t kSegmentSize = 16u * 1024u * 1024u;

std::string archive() { return env("HX_PG_ARCHIVE"); }

// The module's user over TCP, as the module connects; with superuser the
// postgres account over the unix socket.
std::shared_ptr<pqxx::connection> connect(bool superuser = false) {
  return std::make_shared<pqxx::connection>(
      superuser ? "host=" + env("PGHOST") + " port=" + env("HX_PG_PORT_TCP") + " user=postgres dbname=postgres"
                : "host=127.0.0.1 port=" + env("HX_PG_PORT_TCP") + " dbname=postgres user=" + env("HX_PG_USER") +
                      " password=" + env("HX_PG_PASSWORD"));
}

std::string value(pqxx::connection& connection, const std::string& sql) {
  pqxx::nontransaction transaction(connection);
  return transaction.exec(sql).at(0).at(0).c_str();
}

// Writes some rows, switches to a new WAL file and waits (up to 60 s) until
// the closed one is archived with its full size; its name.
std::string switch_wal(pqxx::connection& connection) {
  value(connection,
        "CREATE TABLE IF NOT EXISTS wal_test_rows (n integer, t text); "
        "INSERT INTO wal_test_rows SELECT g, repeat('x', 100) FROM generate_series(1, 2000) g; SELECT 1");
  const std::string name = value(connection, "SELECT pg_walfile_name(pg_switch_wal())");
  boost::system::error_code ec;
  for (int i = 0; i < 600 && fs::file_size(archive() + "/" + name, ec) != kSegmentSize; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(fs::file_size(archive() + "/" + name, ec), kSegmentSize) << name << " was not archived";
  return name;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string waiting_line(const std::string& path) {
  return "The file \"" + path + "\" is not yet available. Keep waiting...";
}

class WalServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(archive().empty()) << "run inside the full testbed/sandbox";
    if (segment_.empty()) segment_ = switch_wal(*connect(true));
    connection_ = connect();
  }
  // A copy of a real archived segment under a WAL file name in the test's directory.
  std::string copy_of_segment(const std::string& name) {
    fs::copy_file(archive() + "/" + segment_, dir_ / name);
    return dir_ / name;
  }

  static std::string segment_;
  hx_test::TempDir dir_;
  std::shared_ptr<pqxx::connection> connection_;
};

std::string WalServer::segment_;

TEST_F(WalServer, CompleteSegmentIsFoundAtTheFirstCheck) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  const std::string path = copy_of_segment("000000010000000000000099");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pg::wait_until_file_archiving_finished(path, connection_, 10, 1), 0);
  EXPECT_EQ(pg::wait_until_file_archiving_finished(archive() + "/" + segment_, connection_, 1, 1), 0);
  EXPECT_LT(seconds_since(start), 0.9);
  EXPECT_TRUE(log.at("Info").empty());
  EXPECT_TRUE(log.at("Error").empty());
  const Lines debug = log.at("Debug");
  ASSERT_GE(debug.size(), 3u);
  EXPECT_EQ(Lines(debug.begin(), debug.begin() + 3),
            (Lines{kSigWait + " : wal_file_name:" + path + " : wait_timeout:10 : attempt_timeout:1",
                   kSigWait + ":  file_expected_size - 16777216", kSigWait + ":  file_real_size - 16777216"}));
}

TEST_F(WalServer, ShortFileCompletedDuringTheWait) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  const std::string content = hx_test::read_file(archive() + "/" + segment_);
  ASSERT_EQ(content.size(), kSegmentSize);
  const std::string path = dir_.write("00000001000000000000009A", content.substr(0, content.size() / 2));
  // The rest arrives about 1.5 s later, as if the copy were still running.
  std::thread copier([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::ofstream(path, std::ios_base::binary | std::ios_base::app) << content.substr(content.size() / 2);
  });
  const auto start = std::chrono::steady_clock::now();
  const int result = pg::wait_until_file_archiving_finished(path, connection_, 10, 1);
  const double elapsed = seconds_since(start);
  copier.join();
  EXPECT_EQ(result, 0);
  // Checks at 0 s and 1 s see the half file, the check at 2 s the whole one.
  EXPECT_GE(elapsed, 1.5);
  EXPECT_LT(elapsed, 3.5);
  EXPECT_EQ(log.at("Info"), Lines(2, waiting_line(path)));
  EXPECT_TRUE(log.has("Debug", kSigWait + ":  file_real_size - " + std::to_string(content.size() / 2)));
  EXPECT_EQ(log.at("Debug").back(), kSigWait + ":  file_real_size - 16777216");
  EXPECT_TRUE(log.at("Error").empty());
}

TEST_F(WalServer, BrokenConnectionReachesTheCaller) {
  const std::string path = copy_of_segment("00000001000000000000009E");
  value(*connect(true), "SELECT pg_terminate_backend(" + value(*connection_, "SELECT pg_backend_pid()") + ")");
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  EXPECT_THROW(pg::wait_until_file_archiving_finished(path, connection_, 3, 1), pqxx::failure);
  EXPECT_TRUE(log.at("Info").empty());
  std::uint64_t size = 1;
  EXPECT_FALSE(pg::get_wal_segment_size(connection_, size));
  EXPECT_EQ(size, 1u);
  ASSERT_EQ(log.at("Error").size(), 1u);
  EXPECT_EQ(log.at("Error")[0].rfind("Unable to read wal_segment_size: ", 0), 0u) << log.text();
}

TEST_F(WalServer, RealArchiveWithABaseBackup) {
  auto connection = connect(true);
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  // A non-exclusive base backup on one session, with WAL switched while it
  // runs so that it spans several WAL files.
  auto session = connect(true);
  pqxx::nontransaction backup(*session);
  const std::string start_lsn = backup.exec("SELECT pg_backup_start('wal_server_test', true)").at(0).at(0).c_str();
  switch_wal(*connection);
  switch_wal(*connection);
  const pqxx::result stopped = backup.exec("SELECT lsn, labelfile FROM pg_backup_stop(true)");
  const std::string start_name = value(*connection, "SELECT pg_walfile_name('" + start_lsn + "')");
  const std::string stop_name =
      value(*connection, std::string("SELECT pg_walfile_name('") + stopped[0][0].c_str() + "')");
  ASSERT_NE(std::string(stopped[0][1].c_str()).find("START WAL LOCATION: " + start_lsn + " (file " + start_name + ")"),
            std::string::npos);

  std::string history, start, stop;
  ASSERT_EQ(pg::get_latest_backup_file(archive(), history), 0);
  EXPECT_EQ(fs::path(history).parent_path(), fs::path(archive()));
  EXPECT_EQ(fs::path(history).filename().string().rfind(start_name + ".", 0), 0u) << history;
  EXPECT_EQ(fs::path(history).extension(), ".backup");
  ASSERT_EQ(pg::get_start_wal_file(history, start), 0);
  ASSERT_EQ(pg::get_stop_wal_file(history, stop), 0);
  EXPECT_EQ(start, start_name);
  EXPECT_EQ(stop, stop_name);
  EXPECT_NE(start, stop);
  ASSERT_EQ(pg::wait_until_file_archiving_finished(archive() + "/" + stop, connect(), 30, 1), 0);

  Lines run;
  ASSERT_EQ(pg::get_wal_files_sequence(archive(), start, stop, run, false, false), 0);
  ASSERT_GE(run.size(), 3u);
  EXPECT_EQ(run.front(), archive() + "/" + start);
  EXPECT_EQ(run.back(), archive() + "/" + stop);
  EXPECT_NE(std::find(run.begin(), run.end(), history), run.end());
  // The whole archive, from its first file to the backup's last, is one chain.
  std::vector<fs::path> listed;
  ASSERT_EQ(pg::get_wal_files_list(archive(), listed), 0);
  Lines everything;
  EXPECT_EQ(pg::get_wal_files_sequence(archive(), listed.front().filename().string(), stop, everything, false, false),
            0);
  EXPECT_TRUE(log.at("Error").empty());
}

}  // namespace
