// WAL archive directory: listing, runs of WAL files, the newest backup history
// file, the START and STOP readers, and the archiving wait without a server.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "postgresql/hx_postgresql_common.h"
#include "utils/descriptors.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = boost::filesystem;
namespace pg = hx_postgresql_common;
using Lines = std::vector<std::string>;

const std::string kSigList =
    "int hx_postgresql_common::get_wal_files_list(const string&, std::vector<boost::filesystem::path>&)";
const std::string kSigSequence =
    "int hx_postgresql_common::get_wal_files_sequence(const string&, const string&, const string&, "
    "std::vector<std::__cxx11::basic_string<char> >&, bool, bool)";
const std::string kSigWait =
    "int hx_postgresql_common::wait_until_file_archiving_finished(const string&, "
    "std::shared_ptr<pqxx::basic_connection_base<pqxx::connect_direct> >, long int, long int)";
const std::string kHistory2 = "000000010000000000000002.00000028.backup";
const std::string kSigStartWal = "int hx_postgresql_common::get_start_wal_file(const string&, std::string&)";
const std::string kSigStopWal = "int hx_postgresql_common::get_stop_wal_file(const string&, std::string&)";

using hx_test::wal_segment;

Lines strings(const std::vector<fs::path>& paths) {
  Lines out;
  for (const auto& p : paths) out.push_back(p.string());
  return out;
}

std::string missing_catalog(const std::string& dir) { return "Archive catalog for WAL files doesn't exist: " + dir; }
std::string lacks(const std::string& name, const std::string& start, const std::string& stop) {
  return kSigSequence + ": the WAL archive lacks the WAL file " + name + ", which the run from " + start + " to " + stop +
         " needs";
}

TEST(WalFilesList, EntriesAppendedThenSortedAndBadDirectoriesRefused) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  hx_test::TempDir dir;
  for (const std::string& name : {wal_segment(0, 7), std::string("00000002.history"), wal_segment(0, 2), kHistory2, wal_segment(0, 0xA)})
    dir.write(name);
  // Whatever else the server's account put there takes no part: a name of
  // no WAL file (one that would split a line of the archiver's list file, a
  // .partial, lower-case digits), or a WAL file's name on something that is
  // no regular file.
  const std::string split = wal_segment(0, 3) + " : x\n   srv : y";
  for (const std::string& name : {split, wal_segment(0, 4) + ".partial", std::string("00000001000000000000000b"),
                                  kHistory2.substr(0, 39), std::string("0000000A.history.x")})
    dir.write(name);
  fs::create_directory(dir / "archive_status");
  fs::create_directory(dir / wal_segment(0, 5));
  ASSERT_EQ(mkfifo((dir / wal_segment(0, 6)).c_str(), 0600), 0);
  ASSERT_EQ(symlink((dir / wal_segment(0, 7)).c_str(), (dir / wal_segment(0, 8)).c_str()), 0);
  std::vector<fs::path> out = {dir / "zzz", dir / "0"};
  // A trailing "/" still gives single separators.
  ASSERT_EQ(pg::get_wal_files_list(dir.str() + "/", out), 0);
  EXPECT_EQ(strings(out), (Lines{dir / "0", dir / wal_segment(0, 2), dir / kHistory2, dir / wal_segment(0, 7), dir / wal_segment(0, 0xA),
                                 dir / "00000002.history", dir / "zzz"}));
  EXPECT_EQ(log.at("Debug").size(), 5u);  // one line per entry taken
  EXPECT_TRUE(log.has("Debug", kSigList + ": " + (dir / kHistory2)));
  EXPECT_TRUE(log.at("Error").empty());
  const auto skipped = [&](const std::string& name, const std::string& what) {
    return kSigList + ": " + (dir / name) + " is " + what + "; it is neither archived nor removed";
  };
  Lines warnings = log.at("Warning");
  std::sort(warnings.begin(), warnings.end());
  Lines expected{skipped("00000001000000000000000b", "not named as a WAL file"),
                 skipped(wal_segment(0, 3) + " : x\\n   srv : y", "not named as a WAL file"),
                 skipped(wal_segment(0, 4) + ".partial", "not named as a WAL file"),
                 skipped(wal_segment(0, 5), "a directory, not a regular file"),
                 skipped(wal_segment(0, 6), "a FIFO, not a regular file"),
                 skipped(wal_segment(0, 8), "a symbolic link, not a regular file"),
                 skipped(kHistory2.substr(0, 39), "not named as a WAL file"),
                 skipped("0000000A.history.x", "not named as a WAL file"),
                 skipped("archive_status", "not named as a WAL file")};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(warnings, expected);
  // The listing made only to look something up says nothing of them.
  log.clear();
  out.clear();
  ASSERT_EQ(pg::get_wal_files_list(dir.str(), out, false), 0);
  EXPECT_EQ(out.size(), 5u);
  EXPECT_TRUE(log.at("Warning").empty());

  std::vector<fs::path> kept = {"/kept"};
  EXPECT_EQ(pg::get_wal_files_list(dir / "absent", kept), 6);
  EXPECT_EQ(pg::get_wal_files_list(dir / wal_segment(0, 2), kept), 6);
  EXPECT_EQ(strings(kept), Lines{"/kept"});
  EXPECT_EQ(log.at("Error"), (Lines{missing_catalog(dir / "absent"),
                                    "Archive catalog for WAL files is not a directory: " + (dir / wal_segment(0, 2))}));

  // Of many other names, the first twenty are named, the rest counted.
  hx_test::TempDir junk;
  for (int i = 0; i < 23; ++i) junk.write("junk." + std::to_string(i));
  log.clear();
  out.clear();
  ASSERT_EQ(pg::get_wal_files_list(junk.str(), out), 0);
  const Lines junk_warnings = log.at("Warning");
  ASSERT_EQ(junk_warnings.size(), 21u);
  EXPECT_EQ(junk_warnings.back(), kSigList + ": " + junk.str() + " holds 3 further entries that are no WAL files of "
                                  "the server; they are neither archived nor removed");
}

// A directory that cannot be opened gives an empty listing and success, its
// users report the empty listing, and the wait's look at a file inside throws.
// Root reads every directory, so the checks run in a child that drops to nobody.
TEST(WalFilesList, UnreadableDirectory) {
  hx_test::TempDir dir;
  ASSERT_EQ(chmod(dir.str().c_str(), 0755), 0);
  fs::create_directory(dir / "locked");
  const std::string inside = (dir / "locked") + "/" + wal_segment(0, 1);
  std::ofstream(inside).put('x');
  ASSERT_EQ(chmod((dir / "locked").c_str(), 0700), 0);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
    int code = 0;
    {
      hx_test::LogCapture log{HxLogLvl::DebugMask};
      std::vector<fs::path> out;
      if (pg::get_wal_files_list(dir / "locked", out) != 0 || !out.empty() || !log.at("Error").empty()) code |= 1;
      Lines run;
      if (pg::get_wal_files_sequence(dir / "locked", wal_segment(0, 1), wal_segment(0, 1), run, false, false) != 6) code |= 2;
      std::string backup;
      if (pg::get_latest_backup_file(dir / "locked", backup) != 6) code |= 4;
      if (log.at("Error") != Lines{"WAL files list is empty", "Unable to find backup WAL file"}) code |= 8;
      try {
        pg::wait_until_file_archiving_finished(inside, nullptr, 1, 1);
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

class WalSequence : public ::testing::Test {
 protected:
  void SetUp() override {
    for (unsigned s = 1; s <= 7; ++s) dir_.write(wal_segment(0, s));
    dir_.write(kHistory2);
    dir_.write("00000001.history");
  }
  hx_test::TempDir dir_;
  hx_test::LogCapture log_{HxLogLvl::DebugMask};
};

TEST_F(WalSequence, RunFromStartToStopWithTheHistoryFileBetween) {
  Lines out = {"kept"};
  ASSERT_EQ(pg::get_wal_files_sequence(dir_.str(), wal_segment(0, 2), wal_segment(0, 4), out, false, false), 0);
  // out is not cleared; the backup history file sorts between 2 and 3.
  EXPECT_EQ(out, (Lines{"kept", dir_ / wal_segment(0, 2), dir_ / kHistory2, dir_ / wal_segment(0, 3), dir_ / wal_segment(0, 4)}));
  EXPECT_TRUE(log_.has("Debug", kSigSequence + ": " + (dir_ / kHistory2)));
  Lines one;
  ASSERT_EQ(pg::get_wal_files_sequence(dir_.str(), wal_segment(0, 7), wal_segment(0, 7), one, false, false), 0);
  EXPECT_EQ(one, Lines{dir_ / wal_segment(0, 7)});
}

TEST_F(WalSequence, MissingStartIsInsertedOnlyWhenAllowed) {
  hx_test::TempDir other;
  other.write(wal_segment(0, 5));
  other.write(wal_segment(0, 6));
  Lines out;
  EXPECT_EQ(pg::get_wal_files_sequence(other.str(), wal_segment(0, 4), wal_segment(0, 6), out, false, false), 6);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(log_.at("Error"), (Lines{"Unable to find start WAL file in the directory", lacks(wal_segment(0, 4), wal_segment(0, 4), wal_segment(0, 6))}));
  log_.clear();
  // Written with a trailing "/", the directory still gives single separators.
  ASSERT_EQ(pg::get_wal_files_sequence(other.str() + "/", wal_segment(0, 4), wal_segment(0, 6), out, true, false), 0);
  EXPECT_EQ(out, (Lines{other / wal_segment(0, 4), other / wal_segment(0, 5), other / wal_segment(0, 6)}));
  EXPECT_TRUE(log_.has("Debug", kSigSequence + ": insert start_file_name: " + wal_segment(0, 4)));
  EXPECT_FALSE(fs::exists(out.front()));
  EXPECT_TRUE(log_.at("Error").empty());
}

TEST_F(WalSequence, MissingStopEmptyOrMissingDirectoryAndStopBeforeStart) {
  Lines out = {"kept"};
  EXPECT_EQ(pg::get_wal_files_sequence(dir_.str(), wal_segment(0, 2), wal_segment(0, 9), out, true, false), 6);
  fs::create_directory(dir_ / "empty");
  EXPECT_EQ(pg::get_wal_files_sequence(dir_ / "empty", wal_segment(0, 2), wal_segment(0, 3), out, true, false), 6);
  EXPECT_EQ(pg::get_wal_files_sequence(dir_ / "absent", wal_segment(0, 2), wal_segment(0, 3), out, true, false), 6);
  EXPECT_EQ(pg::get_wal_files_sequence(dir_.str(), wal_segment(0, 5), wal_segment(0, 3), out, false, true), 6);
  EXPECT_EQ(out, Lines{"kept"});
  EXPECT_EQ(log_.at("Error"), (Lines{"Unable to find stop WAL file in the directory", "WAL files list is empty",
                                     missing_catalog(dir_ / "absent"), "Unable to get archived WAL files list",
                                     kSigSequence + ": The stop WAL file " + wal_segment(0, 3) +
                                         " sorts before the start WAL file " + wal_segment(0, 5)}));
}

TEST_F(WalSequence, BrokenChainFailsUnlessSkipped) {
  fs::remove(dir_ / wal_segment(0, 4));
  Lines out;
  EXPECT_EQ(pg::get_wal_files_sequence(dir_.str(), wal_segment(0, 3), wal_segment(0, 5), out, false, false), 6);
  EXPECT_EQ(log_.at("Error"), (Lines{kSigSequence + ": The WAL file chain is not correct!",
                                     lacks(wal_segment(0, 4), wal_segment(0, 3), wal_segment(0, 5))}));
  EXPECT_EQ(out, (Lines{dir_ / wal_segment(0, 3), dir_ / wal_segment(0, 5)}));  // what was appended stays
  Lines skipped;
  EXPECT_EQ(pg::get_wal_files_sequence(dir_.str(), wal_segment(0, 3), wal_segment(0, 5), skipped, false, true), 0);
  EXPECT_EQ(skipped, out);
}

// A segment is only the file of its own name: a backup history file named
// after it stands in for it neither at the start of a run nor inside it; a
// missing start is inserted by its own name.
TEST_F(WalSequence, OnlyTheSegmentsOwnNameCounts) {
  fs::remove(dir_ / wal_segment(0, 2));
  fs::remove(dir_ / wal_segment(0, 5));
  dir_.write(wal_segment(0, 5) + ".00000060.backup");
  Lines out;
  EXPECT_EQ(pg::get_wal_files_sequence(dir_.str(), wal_segment(0, 2), wal_segment(0, 4), out, false, false), 6);
  EXPECT_EQ(pg::get_wal_files_sequence(dir_.str(), wal_segment(0, 3), wal_segment(0, 7), out, true, false), 6);
  EXPECT_EQ(log_.at("Error"), (Lines{"Unable to find start WAL file in the directory",
                                     lacks(wal_segment(0, 2), wal_segment(0, 2), wal_segment(0, 4)),
                                     kSigSequence + ": The WAL file chain is not correct!",
                                     lacks(wal_segment(0, 5), wal_segment(0, 3), wal_segment(0, 7))}));
  out.clear();
  ASSERT_EQ(pg::get_wal_files_sequence(dir_.str(), wal_segment(0, 2), wal_segment(0, 4), out, true, false), 0);
  EXPECT_EQ(out, (Lines{dir_ / wal_segment(0, 2), dir_ / kHistory2, dir_ / wal_segment(0, 3), dir_ / wal_segment(0, 4)}));
}

TEST(WalLatestBackup, LastBackupHistoryFileInNameOrder) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  hx_test::TempDir dir;
  std::string out = "kept";
  EXPECT_EQ(pg::get_latest_backup_file(dir.str(), out), 6);  // empty directory
  for (const auto& name : {wal_segment(0, 2), wal_segment(0, 0xA), std::string("00000002.history")}) dir.write(name);
  EXPECT_EQ(pg::get_latest_backup_file(dir.str(), out), 6);
  EXPECT_EQ(pg::get_latest_backup_file(dir / "absent", out), 6);
  EXPECT_EQ(out, "kept");
  EXPECT_EQ(log.at("Error"), (Lines{"Unable to find backup WAL file", "Unable to find backup WAL file",
                                    missing_catalog(dir / "absent"), "Unable to get archived WAL files list"}));
  dir.write(kHistory2);
  dir.write("000000010000000000000009.00000060.backup");
  // Newer names on no regular file, or of no history file, are not it.
  ASSERT_EQ(mkfifo((dir / "00000001000000000000000B.00000028.backup").c_str(), 0600), 0);
  ASSERT_EQ(symlink(kHistory2.c_str(), (dir / "00000001000000000000000C.00000028.backup").c_str()), 0);
  dir.write("00000001000000000000000D.00000028.backup.partial");
  ASSERT_EQ(pg::get_latest_backup_file(dir.str(), out), 0);
  EXPECT_EQ(out, dir / "000000010000000000000009.00000060.backup");
}

TEST(WalLocationReaders, StartAndStopOfBackupAndSnapshotFiles) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  hx_test::TempDir dir;
  struct Case {
    std::string content, start, stop;
  };
  const std::vector<Case> cases{
      {"START WAL LOCATION: 0/2000028 (file 000000010000000000000002)\n"
       "STOP WAL LOCATION: 0/2000100 (file 000000010000000000000003)\n"
       "CHECKPOINT LOCATION: 0/2000060\nBACKUP METHOD: streamed\nLABEL: a0\nSTOP TIMELINE: 1\n",
       "000000010000000000000002", "000000010000000000000003"},
      {"\t START\tWAL  LOCATION:\t\t0/2000028 (file\t000000010000000000000002)  \n"
       "STOP\tWAL\tLOCATION:\t0/2000100\t(file\t000000010000000000000002)\r\n",
       "000000010000000000000002", "000000010000000000000002"},
      // Later lines overwrite earlier ones; a line without a sixth word leaves the name before it.
      {"LABEL: a1\nSTART WAL LOCATION: 0 (file 000000010000000000000004)\n"
       "STOP WAL LOCATION: 0 (file 000000010000000000000006)\n"
       "START WAL LOCATION: 0 (file 000000010000000000000005)\n"
       "STOP WAL LOCATION: 0 (file 000000010000000000000008)\nSTOP WAL LOCATION: 0 (file\n",
       "000000010000000000000005", "000000010000000000000008"},
  };
  for (const Case& c : cases) {
    const std::string file = dir.write("backup", c.content);
    std::string start, stop;
    EXPECT_EQ(pg::get_start_wal_file(file, start), 0);
    EXPECT_EQ(pg::get_stop_wal_file(file, stop), 0);
    EXPECT_EQ(start, c.start) << c.content;
    EXPECT_EQ(stop, c.stop) << c.content;
  }
  EXPECT_TRUE(log.at("Error").empty());

  // Without the blank after the colon, or with too few words, a line gives nothing.
  const std::string file = dir.write("partial",
                                     "START WAL LOCATION:0/2000028 (file 000000010000000000000002)\n"
                                     "START WAL LOCATION: 0/2000028\nSTOP TIME: 2024-03-01 10:00:05 UTC\n");
  std::string out = "kept";
  EXPECT_EQ(pg::get_start_wal_file(file, out), 6);
  EXPECT_EQ(pg::get_stop_wal_file(file, out), 1);
  EXPECT_EQ(pg::get_start_wal_file(dir / "absent", out), 6);
  EXPECT_EQ(pg::get_stop_wal_file(dir / "absent", out), 1);
  EXPECT_EQ(out, "kept");
  EXPECT_EQ(log.at("Error"), (Lines{"START WAL LOCATION wasn't found in backup file: " + file,
                                    "STOP WAL LOCATION wasn't found in backup file: " + file,
                                    "Unable to open backup file: " + (dir / "absent"),
                                    "Unable to open backup file: " + (dir / "absent")}));

  // A FIFO planted at the name is not read, nor waited on.
  log.clear();
  const std::string fifo = dir / kHistory2;
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(pg::get_start_wal_file(fifo, out), 6);
  EXPECT_EQ(log.at("Error"), (Lines{"int hx_postgresql_common::get_start_wal_file(const string&, std::string&): " +
                                        fifo + " is a FIFO, not a regular file",
                                    "Unable to open backup file: " + fifo}));

  // A STOP (or START) word of a backup history or WAL snapshot file is taken
  // only when it is a WAL segment file name: any other word could lead a
  // path out of the archive. The label's START reader leaves that to its user.
  log.clear();
  const std::string text = "START WAL LOCATION: 0 (file ../rootonly/secret)\n"
                           "STOP WAL LOCATION: 0 (file ../rootonly/secret)\n";
  const std::string planted = dir.write("planted", text);
  const std::string named = " names ../rootonly/secret as the file of its ";
  EXPECT_EQ(pg::get_stop_wal_file(planted, out), 1);
  EXPECT_EQ(pg::stop_wal_file_in_text(text, planted, out), 1);
  EXPECT_EQ(pg::start_wal_file_in_text(text, planted, out), 6);
  EXPECT_EQ(out, "kept");
  EXPECT_EQ(pg::get_start_wal_file(planted, out), 0);
  EXPECT_EQ(out, "../rootonly/secret");
  const std::string no_segment = ", which is no WAL segment file name";
  EXPECT_EQ(log.at("Error"), (Lines{kSigStopWal + ": " + planted + named + "STOP WAL LOCATION" + no_segment,
                                    kSigStopWal + ": " + planted + named + "STOP WAL LOCATION" + no_segment,
                                    kSigStartWal + ": " + planted + named + "START WAL LOCATION" + no_segment}));
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// No connection is given: none of these cases may touch the server.
TEST(WalArchivingWait, NoChecksWhenTheQuotientIsZeroOrThePeriodIsUnusable) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  hx_test::TempDir dir;
  const std::string file = dir.write(wal_segment(0, 1), "x");
  const auto start = std::chrono::steady_clock::now();
  for (const auto& wait_period : std::vector<std::pair<long, long>>{{5, 10}, {-3, 1}, {0, 1}, {10, 0}, {10, -2}})
    EXPECT_EQ(pg::wait_until_file_archiving_finished(file, nullptr, wait_period.first, wait_period.second), 6);
  EXPECT_LT(seconds_since(start), 0.9);  // not one sleep of a whole second
  EXPECT_TRUE(log.at("Info").empty());
  EXPECT_EQ(log.at("Error"), (Lines{kSigWait + ": the period between checks must be at least 1 second, not 0",
                                    kSigWait + ": the period between checks must be at least 1 second, not -2"}));
  EXPECT_EQ(log.at("Debug").front(), kSigWait + " : wal_file_name:" + file + " : wait_timeout:5 : attempt_timeout:10");

  // Looked up in a directory by its descriptor, the file must be a segment's:
  // nothing is opened or slept on for any other name.
  log.clear();
  const hx_utils_common::UniqueFd at(open(dir.str().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const std::string outside = dir / "../rootonly/secret";
  EXPECT_EQ(pg::wait_until_file_archiving_finished(outside, nullptr, 5, 1, at.get()), 6);
  EXPECT_EQ(log.at("Error"), Lines{kSigWait + ": " + outside + " is not named as a WAL segment file"});
  EXPECT_TRUE(log.at("Info").empty());
}

// 5 / 2 = 2 checks, each followed by a sleep of 2 s. The file is looked up
// in the directory the descriptor holds, whatever the path names.
TEST(WalArchivingWait, MissingFileIsCheckedWithoutTheServerAndSleptOn) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  hx_test::TempDir dir;
  hx_test::TempDir other;
  other.write(wal_segment(0, 1), "x");
  const std::string file = other / wal_segment(0, 1);
  const hx_utils_common::UniqueFd at(open(dir.str().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pg::wait_until_file_archiving_finished(file, nullptr, 5, 2, at.get()), 6);
  EXPECT_GE(seconds_since(start), 4.0);
  EXPECT_LT(seconds_since(start), 6.0);  // not a third sleep
  EXPECT_EQ(log.at("Info"), Lines(2, "The file \"" + file + "\" is not yet available. Keep waiting..."));
  EXPECT_TRUE(log.at("Error").empty());  // giving up is silent
}

}  // namespace
