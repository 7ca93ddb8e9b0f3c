// WAL files against the real PostgreSQL server of the test bed: the wait for a
// WAL file to be archived completely (segment size asked of the server), and
// a real WAL archive with a base backup made by the server's own functions.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>

#include "postgresql/hx_postgresql_common.h"
#include "unit/postgresql/wal_test_support.h"

namespace {

namespace fs = boost::filesystem;
namespace pg = hx_postgresql_common;

const std::string kSigWait =
    "int hx_postgresql_common::wait_until_file_archiving_finished(const string&, "
    "std::shared_ptr<pqxx::basic_connection_base<pqxx::connect_direct> >, long int, long int)";
constexpr std::uintmax_t kSegmentSize = 16u * 1024u * 1024u;

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string archive() { return env("HX_PG_ARCHIVE"); }

// The module's user over TCP, as the module connects.
std::shared_ptr<pqxx::connection> module_connection() {
  return std::make_shared<pqxx::connection>("host=127.0.0.1 port=" + env("HX_PG_PORT_TCP") +
                                            " dbname=postgres user=" + env("HX_PG_USER") +
                                            " password=" + env("HX_PG_PASSWORD"));
}

// The superuser over the unix socket, for driving the server.
std::unique_ptr<pqxx::connection> admin() {
  return std::make_unique<pqxx::connection>("host=" + env("PGHOST") + " port=" + env("HX_PG_PORT_TCP") +
                                            " user=postgres dbname=postgres");
}

std::string admin_value(pqxx::connection& connection, const std::string& sql) {
  pqxx::nontransaction transaction(connection);
  return transaction.exec(sql).at(0).at(0).c_str();
}

// Waits (up to 60 s) until the archive holds name with the full segment size.
bool archived(const std::string& name) {
  const std::string path = archive() + "/" + name;
  for (int i = 0; i < 600; ++i) {
    boost::system::error_code ec;
    if (fs::exists(path, ec) && fs::file_size(path, ec) == kSegmentSize) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// Writes some rows, switches to a new WAL file and waits until the closed one
// is archived; its name.
std::string switch_wal(pqxx::connection& connection) {
  {
    pqxx::nontransaction transaction(connection);
    transaction.exec("CREATE TABLE IF NOT EXISTS wal_test_rows (n integer, t text)");
    transaction.exec("INSERT INTO wal_test_rows SELECT g, repeat('x', 100) FROM generate_series(1, 2000) g");
  }
  const std::string name = admin_value(connection, "SELECT pg_walfile_name(pg_switch_wal())");
  EXPECT_TRUE(archived(name)) << name << " was not archived";
  return name;
}

std::vector<char> read_all(const std::string& path) {
  std::ifstream in(path, std::ios_base::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_all(const std::string& path, const char* data, std::size_t size, bool append) {
  std::ofstream out(path, std::ios_base::binary | (append ? std::ios_base::app : std::ios_base::trunc));
  out.write(data, static_cast<std::streamsize>(size));
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string waiting_line(const std::string& path) {
  return "The file \"" + path + "\" is not yet available. Keep waiting...";
}

class WalServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (env("HX_PG_ARCHIVE").empty()) return;
    auto connection = admin();
    // A few archived WAL files to work with.
    for (int i = 0; i < 3; ++i) segments_.push_back(switch_wal(*connection));
  }

  void SetUp() override {
    ASSERT_FALSE(env("HX_PG_ARCHIVE").empty()) << "run inside the full testbed/sandbox";
    ASSERT_EQ(segments_.size(), 3u);
    for (const auto& name : segments_) ASSERT_TRUE(fs::exists(archive() + "/" + name)) << name;
  }

  // A copy of a real archived segment, under the name of a WAL file, in a
  // directory of the test.
  std::string copy_of_segment(const std::string& name) {
    const std::string target = dir_ / name;
    fs::copy_file(archive() + "/" + segments_.back(), target);
    return target;
  }

  static std::vector<std::string> segments_;
  wal_test::TempDir dir_;
};

std::vector<std::string> WalServer::segments_;

TEST_F(WalServer, CompleteSegmentIsFoundAtTheFirstCheck) {
  auto connection = module_connection();
  wal_test::LogCapture log;
  const std::string path = copy_of_segment("000000010000000000000099");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pg::wait_until_file_archiving_finished(path, connection, 10, 1), 0);
  EXPECT_LT(seconds_since(start), 0.9);
  EXPECT_TRUE(log.at("Info").empty());
  EXPECT_TRUE(log.at("Error").empty());
  EXPECT_EQ(log.at("Debug"), (std::vector<std::string>{
                                 kSigWait + " : wal_file_name:" + path + " : wait_timeout:10 : attempt_timeout:1",
                                 kSigWait + ":  file_expected_size - 16777216",
                                 kSigWait + ":  file_real_size - 16777216"}));

  // The archive's own files, read in place.
  log.clear();
  EXPECT_EQ(pg::wait_until_file_archiving_finished(archive() + "/" + segments_.front(), connection, 1, 1), 0);
  EXPECT_TRUE(log.at("Info").empty());
}

TEST_F(WalServer, ShortFileCompletedDuringTheWait) {
  auto connection = module_connection();
  wal_test::LogCapture log;
  const std::vector<char> content = read_all(archive() + "/" + segments_.back());
  ASSERT_EQ(content.size(), kSegmentSize);
  const std::string path = dir_ / "00000001000000000000009A";
  const std::size_t half = content.size() / 2;
  write_all(path, content.data(), half, false);

  // The rest arrives about 1.5 s later, as if the copy were still running.
  std::thread copier([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    write_all(path, content.data() + half, content.size() - half, true);
  });
  const auto start = std::chrono::steady_clock::now();
  const int result = pg::wait_until_file_archiving_finished(path, connection, 10, 1);
  const double elapsed = seconds_since(start);
  copier.join();

  EXPECT_EQ(result, 0);
  // Checks at 0 s and 1 s see the half file, the check at 2 s the whole one.
  EXPECT_GE(elapsed, 1.5);
  EXPECT_LT(elapsed, 3.5);
  EXPECT_EQ(log.at("Info"), (std::vector<std::string>{waiting_line(path), waiting_line(path)}));
  EXPECT_TRUE(log.has("Debug", kSigWait + ":  file_real_size - " + std::to_string(half)));
  EXPECT_EQ(log.at("Debug").back(), kSigWait + ":  file_real_size - 16777216");
  EXPECT_TRUE(log.at("Error").empty());
}

TEST_F(WalServer, FileThatNeverComesUsesUpTheChecksSilently) {
  auto connection = module_connection();
  wal_test::LogCapture log;
  const std::string missing = dir_ / "00000001000000000000009B";
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pg::wait_until_file_archiving_finished(missing, connection, 3, 1), 6);
  double elapsed = seconds_since(start);
  // Three checks, each followed by a sleep of one second.
  EXPECT_GE(elapsed, 3.0);
  EXPECT_LT(elapsed, 4.0);
  EXPECT_EQ(log.at("Info"), std::vector<std::string>(3, waiting_line(missing)));
  EXPECT_TRUE(log.at("Error").empty());
  EXPECT_EQ(log.at("Debug").size(), 1u);  // the server is not asked about a missing file

  // A file that stays short: every check asks the server for the size.
  log.clear();
  const std::string short_file = dir_ / "00000001000000000000009C";
  write_all(short_file, "WAL", 3, false);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(pg::wait_until_file_archiving_finished(short_file, connection, 7, 2), 6);
  elapsed = seconds_since(start);
  EXPECT_GE(elapsed, 6.0);  // 7 / 2 = 3 checks, each followed by a sleep of 2 s
  EXPECT_LT(elapsed, 7.0);
  EXPECT_EQ(log.at("Info"), std::vector<std::string>(3, waiting_line(short_file)));
  const auto debug = log.at("Debug");
  EXPECT_EQ(std::count(debug.begin(), debug.end(), kSigWait + ":  file_expected_size - 16777216"), 3);
  EXPECT_EQ(std::count(debug.begin(), debug.end(), kSigWait + ":  file_real_size - 3"), 3);
  EXPECT_TRUE(log.at("Error").empty());
}

TEST_F(WalServer, WaitTimeoutBelowAttemptTimeoutGivesUpAtOnce) {
  auto connection = module_connection();
  wal_test::LogCapture log;
  const std::string path = copy_of_segment("00000001000000000000009D");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pg::wait_until_file_archiving_finished(path, connection, 5, 10), 6);
  EXPECT_EQ(pg::wait_until_file_archiving_finished(path, connection, -1, 1), 6);
  EXPECT_LT(seconds_since(start), 0.5);
  EXPECT_TRUE(log.at("Info").empty());
  EXPECT_TRUE(log.at("Error").empty());
}

TEST_F(WalServer, ArchiveDirectoryThatDoesNotExist) {
  auto connection = module_connection();
  wal_test::LogCapture log;
  const std::string absent = dir_ / "no_archive";
  std::vector<fs::path> listed;
  EXPECT_EQ(pg::get_wal_files_list(absent, listed), 6);
  EXPECT_EQ(log.at("Error"), std::vector<std::string>{"Archive catalog for WAL files doesn't exist: " + absent});
  std::string backup;
  EXPECT_EQ(pg::get_latest_backup_file(absent, backup), 6);
  std::vector<std::string> run;
  EXPECT_EQ(pg::get_wal_files_sequence(absent, segments_.front(), segments_.back(), run, false, false), 6);
  EXPECT_TRUE(run.empty());
  // Waiting for a file in it is waiting for a file that never comes.
  log.clear();
  EXPECT_EQ(pg::wait_until_file_archiving_finished(absent + "/" + segments_.back(), connection, 1, 1), 6);
  EXPECT_EQ(log.at("Info"), std::vector<std::string>{waiting_line(absent + "/" + segments_.back())});
}

// The archive belongs to postgres (mode 750): an account outside its group
// cannot read it. The check runs in a child process that drops to nobody.
TEST_F(WalServer, ArchiveDirectoryThatCannotBeRead) {
  const std::string path = archive() + "/" + segments_.back();
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    int code = 0;
    {
      wal_test::LogCapture log;
      // The listing is empty and a success; its users report the empty listing.
      std::vector<fs::path> listed;
      if (pg::get_wal_files_list(archive(), listed) != 0 || !listed.empty()) code |= 1;
      std::string backup;
      if (pg::get_latest_backup_file(archive(), backup) != 6) code |= 2;
      std::vector<std::string> run;
      if (pg::get_wal_files_sequence(archive(), segments_.front(), segments_.back(), run, false, false) != 6)
        code |= 4;
      if (log.at("Error") != std::vector<std::string>{"Unable to find backup WAL file", "WAL files list is empty"})
        code |= 8;
      // A file inside cannot even be looked at: the file-system error reaches the caller.
      try {
        pg::wait_until_file_archiving_finished(path, nullptr, 1, 1);
        code |= 16;
      } catch (const fs::filesystem_error&) {
      }
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 100) << "could not drop to the nobody account";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "failed checks (bits): " << WEXITSTATUS(status);
}

TEST_F(WalServer, BrokenConnectionReachesTheCaller) {
  auto connection = module_connection();
  const std::string path = copy_of_segment("00000001000000000000009E");
  auto killer = admin();
  const std::string pid = admin_value(*connection, "SELECT pg_backend_pid()");
  admin_value(*killer, "SELECT pg_terminate_backend(" + pid + ")");
  wal_test::LogCapture log;
  EXPECT_THROW(pg::wait_until_file_archiving_finished(path, connection, 3, 1), pqxx::failure);
  EXPECT_TRUE(log.at("Info").empty());
}

TEST_F(WalServer, RealArchiveWithABaseBackup) {
  auto connection = admin();
  wal_test::LogCapture log;

  // Every switched-out file is listed, in name order.
  std::vector<fs::path> listed;
  ASSERT_EQ(pg::get_wal_files_list(archive(), listed), 0);
  ASSERT_TRUE(std::is_sorted(listed.begin(), listed.end()));
  for (const auto& name : segments_)
    EXPECT_NE(std::find(listed.begin(), listed.end(), fs::path(archive()) / name), listed.end()) << name;

  // A non-exclusive base backup on one session, with WAL written and
  // switched while it runs so that it spans several WAL files.
  auto session = admin();
  std::string start_lsn;
  std::string stop_lsn;
  std::string label_file;
  {
    pqxx::nontransaction backup(*session);
    start_lsn = backup.exec("SELECT pg_backup_start('wal_server_test', true)").at(0).at(0).c_str();
    switch_wal(*connection);
    switch_wal(*connection);
    const pqxx::result stopped = backup.exec("SELECT lsn, labelfile FROM pg_backup_stop(true)");
    stop_lsn = stopped.at(0).at(0).c_str();
    label_file = stopped.at(0).at(1).c_str();
  }
  const std::string start_name = admin_value(*connection, "SELECT pg_walfile_name('" + start_lsn + "')");
  const std::string stop_name = admin_value(*connection, "SELECT pg_walfile_name('" + stop_lsn + "')");
  ASSERT_NE(label_file.find("START WAL LOCATION: " + start_lsn + " (file " + start_name + ")"), std::string::npos)
      << label_file;

  std::string history;
  ASSERT_EQ(pg::get_latest_backup_file(archive(), history), 0);
  EXPECT_EQ(fs::path(history).parent_path(), fs::path(archive()));
  EXPECT_EQ(fs::path(history).filename().string().rfind(start_name + ".", 0), 0u) << history;
  EXPECT_EQ(fs::path(history).extension(), ".backup");

  std::string start;
  std::string stop;
  ASSERT_EQ(pg::get_start_wal_file(history, start), 0);
  ASSERT_EQ(pg::get_stop_wal_file(history, stop), 0);
  EXPECT_EQ(start, start_name);
  EXPECT_EQ(stop, stop_name);
  EXPECT_NE(start, stop);

  auto module = module_connection();
  ASSERT_EQ(pg::wait_until_file_archiving_finished(archive() + "/" + stop, module, 30, 1), 0);

  std::vector<std::string> run;
  ASSERT_EQ(pg::get_wal_files_sequence(archive(), start, stop, run, false, false), 0);
  ASSERT_GE(run.size(), 3u);
  EXPECT_EQ(run.front(), archive() + "/" + start);
  EXPECT_EQ(run.back(), archive() + "/" + stop);
  EXPECT_NE(std::find(run.begin(), run.end(), history), run.end());

  // The whole archive, from its first file to the backup's last, is one chain.
  std::vector<std::string> everything;
  ASSERT_EQ(pg::get_wal_files_sequence(archive(), fs::path(listed.front()).filename().string(), stop, everything,
                                       false, false),
            0);
  EXPECT_TRUE(log.at("Error").empty());

  // The chain check notices a WAL file taken out of the archive.
  auto inner = std::find_if(run.begin() + 1, run.end() - 1,
                            [](const std::string& p) { return fs::path(p).extension() != ".backup"; });
  ASSERT_NE(inner, run.end() - 1) << "no segment between start and stop";
  const std::string taken = *inner;
  const std::string aside = dir_ / "aside";
  fs::rename(taken, aside);
  std::vector<std::string> broken;
  const int result = pg::get_wal_files_sequence(archive(), start, stop, broken, false, false);
  fs::rename(aside, taken);
  EXPECT_EQ(result, 6);
  EXPECT_TRUE(log.has("Error",
                      "int hx_postgresql_common::get_wal_files_sequence(const string&, const string&, const string&, "
                      "std::vector<std::__cxx11::basic_string<char> >&, bool, bool): The WAL file chain is not "
                      "correct!"));
}

}  // namespace
