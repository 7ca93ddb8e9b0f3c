// WAL archive directory: listing, runs of WAL files, the newest backup history
// file, the START and STOP readers, and the parts of the archiving wait that
// need no server.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "postgresql/hx_postgresql_common.h"
#include "unit/postgresql/wal_test_support.h"

namespace {

namespace fs = boost::filesystem;
namespace pg = hx_postgresql_common;

const std::string kSigList =
    "int hx_postgresql_common::get_wal_files_list(const string&, std::vector<boost::filesystem::path>&)";
const std::string kSigSequence =
    "int hx_postgresql_common::get_wal_files_sequence(const string&, const string&, const string&, "
    "std::vector<std::__cxx11::basic_string<char> >&, bool, bool)";
const std::string kSigLatestBackup = "int hx_postgresql_common::get_latest_backup_file(const string&, std::string&)";
const std::string kSigStartWal = "int hx_postgresql_common::get_start_wal_file(const string&, std::string&)";
const std::string kSigStopWal = "int hx_postgresql_common::get_stop_wal_file(const string&, std::string&)";
const std::string kSigWait =
    "int hx_postgresql_common::wait_until_file_archiving_finished(const string&, "
    "std::shared_ptr<pqxx::basic_connection_base<pqxx::connect_direct> >, long int, long int)";

const std::string kHistory2 = "000000010000000000000002.00000028.backup";

std::string seg(unsigned log_id, unsigned segment) {
  char text[25];
  std::snprintf(text, sizeof text, "%08X%08X%08X", 1u, log_id, segment);
  return text;
}

std::vector<std::string> strings(const std::vector<fs::path>& paths) {
  std::vector<std::string> out;
  for (const auto& p : paths) out.push_back(p.string());
  return out;
}

// ---- get_wal_files_list --------------------------------------------------------

TEST(WalFilesList, MissingDirectoryAndPlainFileAreRefused) {
  wal_test::LogCapture log;
  wal_test::TempDir dir;
  std::vector<fs::path> out = {"/kept"};

  EXPECT_EQ(pg::get_wal_files_list(dir / "absent", out), 6);
  EXPECT_EQ(pg::get_wal_files_list(dir.write("plain"), out), 6);
  EXPECT_EQ(strings(out), std::vector<std::string>{"/kept"});
  EXPECT_EQ(log.at("Error"), (std::vector<std::string>{
                                 "Archive catalog for WAL files doesn't exist: " + (dir / "absent"),
                                 "Archive catalog for WAL files is not a directory: " + (dir / "plain")}));
}

TEST(WalFilesList, EveryEntryAppendedThenWholeVectorSorted) {
  wal_test::LogCapture log;
  wal_test::TempDir dir;
  for (const std::string& name : {seg(0, 7), std::string("00000002.history"), seg(0, 2), kHistory2, seg(0, 0xA), seg(0, 3)})
    dir.write(name);
  fs::create_directory(dir / "archive_status");

  std::vector<fs::path> out = {dir / "zzz", dir / "0"};
  ASSERT_EQ(pg::get_wal_files_list(dir.path(), out), 0);
  // Byte order of the names: the timeline-2 history file after the segments of timeline 1.
  EXPECT_EQ(strings(out), (std::vector<std::string>{dir / "0", dir / seg(0, 2), dir / kHistory2, dir / seg(0, 3),
                                                    dir / seg(0, 7), dir / seg(0, 0xA), dir / "00000002.history",
                                                    dir / "archive_status", dir / "zzz"}));
  // One Debug line per entry taken.
  const auto debug = log.at("Debug");
  EXPECT_EQ(debug.size(), 7u);
  EXPECT_TRUE(log.has("Debug", kSigList + ": " + (dir / kHistory2)));
  EXPECT_TRUE(log.at("Error").empty());

  // An empty directory is a success with nothing appended.
  fs::create_directory(dir / "empty");
  std::vector<fs::path> none;
  EXPECT_EQ(pg::get_wal_files_list(dir / "empty", none), 0);
  EXPECT_TRUE(none.empty());
}

TEST(WalFilesList, TrailingSlashGivesSingleSeparator) {
  wal_test::LogCapture log;
  wal_test::TempDir dir;
  dir.write(seg(0, 1));
  std::vector<fs::path> out;
  ASSERT_EQ(pg::get_wal_files_list(dir.path() + "/", out), 0);
  EXPECT_EQ(strings(out), std::vector<std::string>{dir / seg(0, 1)});
}

// A directory that cannot be opened gives an empty listing and success; the
// sequence then reports the empty listing. Root reads every directory, so the
// check runs in a child process that has dropped to the nobody account.
TEST(WalFilesList, UnreadableDirectoryGivesAnEmptyListing) {
  wal_test::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  fs::create_directory(dir / "locked");
  std::ofstream(dir / "locked" + "/" + seg(0, 1)).put('x');
  ASSERT_EQ(chmod((dir / "locked").c_str(), 0700), 0);

  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    int code = 0;
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
    {
      wal_test::LogCapture log;
      std::vector<fs::path> out;
      if (pg::get_wal_files_list(dir / "locked", out) != 0) code |= 1;
      if (!out.empty()) code |= 2;
      if (!log.at("Error").empty()) code |= 4;
      std::vector<std::string> run;
      if (pg::get_wal_files_sequence(dir / "locked", seg(0, 1), seg(0, 1), run, false, false) != 6) code |= 8;
      if (log.at("Error") != std::vector<std::string>{"WAL files list is empty"}) code |= 16;
      if (!run.empty()) code |= 32;
    }
    std::fflush(stdout);
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 100) << "could not drop to the nobody account";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "failed checks (bits): " << WEXITSTATUS(status);
}

// ---- get_wal_files_sequence ----------------------------------------------------

class WalSequence : public ::testing::Test {
 protected:
  void SetUp() override {
    for (unsigned s = 1; s <= 7; ++s) dir_.write(seg(0, s));
    dir_.write(kHistory2);
    dir_.write("00000001.history");
  }
  wal_test::TempDir dir_;
};

TEST_F(WalSequence, RunFromStartToStopWithTheHistoryFileBetween) {
  wal_test::LogCapture log;
  std::vector<std::string> out = {"kept"};
  ASSERT_EQ(pg::get_wal_files_sequence(dir_.path(), seg(0, 2), seg(0, 4), out, false, false), 0);
  // out is not cleared; the backup history file sorts between 2 and 3.
  EXPECT_EQ(out, (std::vector<std::string>{"kept", dir_ / seg(0, 2), dir_ / kHistory2, dir_ / seg(0, 3),
                                           dir_ / seg(0, 4)}));
  EXPECT_TRUE(log.has("Debug", kSigSequence + ": " + (dir_ / kHistory2)));
  // The chain check reads the whole of out: the earlier entry logs its parse error.
  ASSERT_EQ(log.at("Error").size(), 1u);
  EXPECT_EQ(log.at("Error")[0].rfind("hx_postgresql_common::wal_name hx_postgresql_common::wal_name_from_string", 0), 0u);

  // Start equal to stop gives that one entry.
  std::vector<std::string> one;
  ASSERT_EQ(pg::get_wal_files_sequence(dir_.path(), seg(0, 7), seg(0, 7), one, false, false), 0);
  EXPECT_EQ(one, std::vector<std::string>{dir_ / seg(0, 7)});
}

TEST_F(WalSequence, StartAndStopAreMatchedAsSubstrings) {
  wal_test::LogCapture log;
  std::vector<std::string> out;
  // "00000028" occurs only in the history file's name, "00000005" first in segment 5's.
  ASSERT_EQ(pg::get_wal_files_sequence(dir_.path(), "00000028", "00000005", out, false, true), 0);
  EXPECT_EQ(out, (std::vector<std::string>{dir_ / kHistory2, dir_ / seg(0, 3), dir_ / seg(0, 4), dir_ / seg(0, 5)}));
  // The plain segment file sorts before the history file that begins with its name.
  out.clear();
  ASSERT_EQ(pg::get_wal_files_sequence(dir_.path(), seg(0, 2), seg(0, 3), out, false, false), 0);
  EXPECT_EQ(out.front(), dir_ / seg(0, 2));
}

TEST_F(WalSequence, MissingStartIsInsertedWhenAllowed) {
  wal_test::LogCapture log;
  wal_test::TempDir other;
  other.write(seg(0, 5));
  other.write(seg(0, 6));

  std::vector<std::string> out;
  EXPECT_EQ(pg::get_wal_files_sequence(other.path(), seg(0, 4), seg(0, 6), out, false, false), 6);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(log.at("Error"), std::vector<std::string>{"Unable to find start WAL file in the directory"});

  log.clear();
  ASSERT_EQ(pg::get_wal_files_sequence(other.path(), seg(0, 4), seg(0, 6), out, true, false), 0);
  EXPECT_EQ(out, (std::vector<std::string>{other / seg(0, 4), other / seg(0, 5), other / seg(0, 6)}));
  EXPECT_TRUE(log.has("Debug", kSigSequence + ": insert start_file_name: " + seg(0, 4)));
  // The inserted path names a file that exists nowhere.
  EXPECT_FALSE(fs::exists(out.front()));
  EXPECT_TRUE(log.at("Error").empty());

  // Written with a trailing "/", the directory still gives single separators.
  std::vector<std::string> slashed;
  ASSERT_EQ(pg::get_wal_files_sequence(other.path() + "/", seg(0, 4), seg(0, 6), slashed, true, false), 0);
  EXPECT_EQ(slashed, out);
}

TEST_F(WalSequence, MissingStopEmptyOrMissingDirectory) {
  wal_test::LogCapture log;
  std::vector<std::string> out = {"kept"};
  EXPECT_EQ(pg::get_wal_files_sequence(dir_.path(), seg(0, 2), seg(0, 9), out, true, false), 6);
  EXPECT_EQ(log.at("Error"), std::vector<std::string>{"Unable to find stop WAL file in the directory"});

  log.clear();
  fs::create_directory(dir_ / "empty");
  EXPECT_EQ(pg::get_wal_files_sequence(dir_ / "empty", seg(0, 2), seg(0, 3), out, true, false), 6);
  EXPECT_EQ(log.at("Error"), std::vector<std::string>{"WAL files list is empty"});

  log.clear();
  EXPECT_EQ(pg::get_wal_files_sequence(dir_ / "absent", seg(0, 2), seg(0, 3), out, true, false), 6);
  EXPECT_EQ(log.at("Error"), (std::vector<std::string>{"Archive catalog for WAL files doesn't exist: " + (dir_ / "absent"),
                                                       "Unable to get archived WAL files list"}));
  EXPECT_EQ(out, std::vector<std::string>{"kept"});
}

TEST_F(WalSequence, StopBeforeStartIsRefusedBeforeAnythingIsAppended) {
  wal_test::LogCapture log;
  std::vector<std::string> out = {"kept"};
  EXPECT_EQ(pg::get_wal_files_sequence(dir_.path(), seg(0, 5), seg(0, 3), out, false, true), 6);
  EXPECT_EQ(out, std::vector<std::string>{"kept"});
  EXPECT_EQ(log.at("Error"), std::vector<std::string>{kSigSequence + ": The stop WAL file " + seg(0, 3) +
                                                      " sorts before the start WAL file " + seg(0, 5)});
  EXPECT_TRUE(log.at("Debug").size() > 0);
  for (const auto& line : log.at("Debug")) EXPECT_EQ(line.rfind(kSigList, 0), 0u) << line;
}

TEST_F(WalSequence, BrokenChainFailsUnlessSkipped) {
  wal_test::LogCapture log;
  fs::remove(dir_ / seg(0, 4));
  std::vector<std::string> out;
  EXPECT_EQ(pg::get_wal_files_sequence(dir_.path(), seg(0, 3), seg(0, 5), out, false, false), 6);
  EXPECT_EQ(log.at("Error"), std::vector<std::string>{kSigSequence + ": The WAL file chain is not correct!"});
  // What was appended stays.
  EXPECT_EQ(out, (std::vector<std::string>{dir_ / seg(0, 3), dir_ / seg(0, 5)}));

  std::vector<std::string> skipped;
  EXPECT_EQ(pg::get_wal_files_sequence(dir_.path(), seg(0, 3), seg(0, 5), skipped, false, true), 0);
  EXPECT_EQ(skipped, out);
}

TEST(WalSequenceBoundary, GapAtSegmentFFAcrossTheLogIdBoundaryFails) {
  wal_test::LogCapture log;
  wal_test::TempDir dir;
  for (const auto& name : {seg(0, 0xFE), seg(0, 0xFF), seg(1, 0), seg(1, 1), seg(1, 2)}) dir.write(name);
  std::vector<std::string> out;
  ASSERT_EQ(pg::get_wal_files_sequence(dir.path(), seg(0, 0xFE), seg(1, 2), out, false, false), 0);
  EXPECT_EQ(out.size(), 5u);

  fs::remove(dir / seg(0, 0xFF));
  out.clear();
  EXPECT_EQ(pg::get_wal_files_sequence(dir.path(), seg(0, 0xFE), seg(1, 2), out, false, false), 6);
  EXPECT_TRUE(log.has("Error", kSigSequence + ": The WAL file chain is not correct!"));
}

// ---- get_latest_backup_file ------------------------------------------------------

TEST(WalLatestBackup, LastBackupHistoryFileInNameOrder) {
  wal_test::LogCapture log;
  wal_test::TempDir dir;
  for (const auto& name : {kHistory2, std::string("000000010000000000000009.00000060.backup"), seg(0, 2), seg(0, 9),
                           seg(0, 0xA), std::string("00000002.history")})
    dir.write(name);
  std::string out;
  ASSERT_EQ(pg::get_latest_backup_file(dir.path(), out), 0);
  EXPECT_EQ(out, dir / "000000010000000000000009.00000060.backup");
  EXPECT_TRUE(log.has("Debug", kSigLatestBackup + ": " + out));
  EXPECT_TRUE(log.at("Error").empty());
}

TEST(WalLatestBackup, NoBackupHistoryFileOrNoDirectory) {
  wal_test::LogCapture log;
  wal_test::TempDir dir;
  std::string out = "kept";
  EXPECT_EQ(pg::get_latest_backup_file(dir.path(), out), 6);  // empty directory
  dir.write(seg(0, 1));
  dir.write("00000002.history");
  EXPECT_EQ(pg::get_latest_backup_file(dir.path(), out), 6);
  EXPECT_EQ(log.at("Error"),
            (std::vector<std::string>{"Unable to find backup WAL file", "Unable to find backup WAL file"}));

  log.clear();
  EXPECT_EQ(pg::get_latest_backup_file(dir / "absent", out), 6);
  EXPECT_EQ(log.at("Error"), (std::vector<std::string>{"Archive catalog for WAL files doesn't exist: " + (dir / "absent"),
                                                       "Unable to get archived WAL files list"}));
  EXPECT_EQ(out, "kept");
}

// ---- START and STOP readers ---------------------------------------------------------

TEST(WalLocationReaders, ServerBackupHistoryFile) {
  wal_test::LogCapture log;
  wal_test::TempDir dir;
  const std::string file = dir.write(kHistory2,
                                     "START WAL LOCATION: 0/2000028 (file 000000010000000000000002)\n"
                                     "STOP WAL LOCATION: 0/2000100 (file 000000010000000000000003)\n"
                                     "CHECKPOINT LOCATION: 0/2000060\n"
                                     "BACKUP METHOD: streamed\n"
                                     "BACKUP FROM: primary\n"
                                     "START TIME: 2024-03-01 10:00:00 UTC\n"
                                     "LABEL: a0\n"
                                     "START TIMELINE: 1\n"
                                     "STOP TIME: 2024-03-01 10:00:05 UTC\n"
                                     "STOP TIMELINE: 1\n");
  std::string start;
  std::string stop;
  ASSERT_EQ(pg::get_start_wal_file(file, start), 0);
  ASSERT_EQ(pg::get_stop_wal_file(file, stop), 0);
  EXPECT_EQ(start, "000000010000000000000002");
  EXPECT_EQ(stop, "000000010000000000000003");
  EXPECT_EQ(log.at("Debug"), (std::vector<std::string>{kSigStartWal + ": wal_file_name:000000010000000000000002",
                                                       kSigStopWal + ": wal_file_name:000000010000000000000003"}));
  EXPECT_TRUE(log.at("Error").empty());
}

TEST(WalLocationReaders, TabsAndBlanksBetweenWordsAndTheLastLineWins) {
  wal_test::LogCapture log;
  wal_test::TempDir dir;
  const std::string tabs = dir.write("tabs",
                                     "\t START\tWAL  LOCATION:\t\t0/2000028 (file\t000000010000000000000002)  \n"
                                     "STOP\tWAL\tLOCATION:\t0/2000100\t(file\t000000010000000000000002)\r\n");
  std::string start;
  std::string stop;
  ASSERT_EQ(pg::get_start_wal_file(tabs, start), 0);
  ASSERT_EQ(pg::get_stop_wal_file(tabs, stop), 0);
  EXPECT_EQ(start, "000000010000000000000002");
  EXPECT_EQ(stop, "000000010000000000000002");

  // The WAL snapshot file form; later lines overwrite earlier ones, and a
  // matching line without a sixth word leaves the name found before it.
  const std::string snapshot = dir.write("snapshot",
                                         "LABEL: a1\n"
                                         "START WAL LOCATION: 0 (file 000000010000000000000004)\n"
                                         "STOP WAL LOCATION: 0 (file 000000010000000000000006)\n"
                                         "START WAL LOCATION: 0 (file 000000010000000000000005)\n"
                                         "STOP WAL LOCATION: 0 (file 000000010000000000000008)\n"
                                         "STOP WAL LOCATION: 0 (file\n");
  ASSERT_EQ(pg::get_start_wal_file(snapshot, start), 0);
  ASSERT_EQ(pg::get_stop_wal_file(snapshot, stop), 0);
  EXPECT_EQ(start, "000000010000000000000005");
  EXPECT_EQ(stop, "000000010000000000000008");
  EXPECT_TRUE(log.at("Error").empty());
}

TEST(WalLocationReaders, MissingLineAndUnopenableFile) {
  wal_test::LogCapture log;
  wal_test::TempDir dir;
  // Without the blank after the colon, or with too few words, a line gives nothing.
  const std::string file = dir.write("partial",
                                     "START WAL LOCATION:0/2000028 (file 000000010000000000000002)\n"
                                     "START WAL LOCATION: 0/2000028\n"
                                     "STOP TIME: 2024-03-01 10:00:05 UTC\n");
  std::string out = "kept";
  EXPECT_EQ(pg::get_start_wal_file(file, out), 6);
  EXPECT_EQ(pg::get_stop_wal_file(file, out), 1);
  EXPECT_EQ(pg::get_start_wal_file(dir / "absent", out), 6);
  EXPECT_EQ(pg::get_stop_wal_file(dir / "absent", out), 1);
  EXPECT_EQ(out, "kept");
  EXPECT_EQ(log.at("Error"), (std::vector<std::string>{"START WAL LOCATION wasn't found in backup file: " + file,
                                                       "STOP WAL LOCATION wasn't found in backup file: " + file,
                                                       "Unable to open backup file: " + (dir / "absent"),
                                                       "Unable to open backup file: " + (dir / "absent")}));
}

// ---- wait_until_file_archiving_finished without a server ----------------------------

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(WalArchivingWait, NoChecksWhenTheQuotientIsZeroOrThePeriodIsUnusable) {
  wal_test::LogCapture log;
  wal_test::TempDir dir;
  const std::string file = dir.write(seg(0, 1), "x");
  // No connection is given: none of these cases may touch the server.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pg::wait_until_file_archiving_finished(file, nullptr, 5, 10), 6);
  EXPECT_EQ(pg::wait_until_file_archiving_finished(file, nullptr, -3, 1), 6);
  EXPECT_EQ(pg::wait_until_file_archiving_finished(file, nullptr, 0, 1), 6);
  EXPECT_EQ(pg::wait_until_file_archiving_finished(file, nullptr, 10, 0), 6);
  EXPECT_EQ(pg::wait_until_file_archiving_finished(file, nullptr, 10, -2), 6);
  EXPECT_LT(seconds_since(start), 0.5);

  EXPECT_TRUE(log.at("Info").empty());
  EXPECT_EQ(log.at("Error"),
            (std::vector<std::string>{kSigWait + ": the period between checks must be at least 1 second, not 0",
                                      kSigWait + ": the period between checks must be at least 1 second, not -2"}));
  EXPECT_EQ(log.at("Debug").front(), kSigWait + " : wal_file_name:" + file + " : wait_timeout:5 : attempt_timeout:10");
}

TEST(WalArchivingWait, MissingFileIsCheckedWithoutTheServerAndSleptOn) {
  wal_test::LogCapture log;
  wal_test::TempDir dir;
  const std::string file = dir / seg(0, 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pg::wait_until_file_archiving_finished(file, nullptr, 2, 1), 6);
  const double elapsed = seconds_since(start);
  EXPECT_GE(elapsed, 2.0);
  EXPECT_LT(elapsed, 3.0);
  const std::string waiting = "The file \"" + file + "\" is not yet available. Keep waiting...";
  EXPECT_EQ(log.at("Info"), (std::vector<std::string>{waiting, waiting}));
  EXPECT_TRUE(log.at("Error").empty());  // giving up is silent
}

}  // namespace
