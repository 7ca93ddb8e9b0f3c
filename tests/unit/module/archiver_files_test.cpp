// Task file names below the temporary operation directory, and packing and
// unpacking of snapshot files with the real tar.
#include "archiver_test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace fs = boost::filesystem;
using namespace hx_archiver_test;

const std::string kUnpackSig = "int HxModuleUniversal::unpack_snapshot_file(const string&)";

std::unique_ptr<TaskModule> task(const std::string& tmp, const std::string& name, bool autonomous = false) {
  HxModuleOptions options;
  options.tmp_operation_directory = tmp;
  options.archive_name = name;
  options.autonomous = autonomous;
  return std::make_unique<TaskModule>(options);
}

// True when some logged message starts with `prefix`.
bool logged_prefix(const LogCapture& log, const std::string& prefix) {
  for (const std::string& message : log.messages()) {
    if (message.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// Builds T/N.snap_dir with N.meta (its leveldb directory removed) and packs it.
void make_snapshot(TaskModule& module, const std::string& meta_text = "meta of the archive") {
  fs::create_directories(module.leveldb_directory_path());
  std::ofstream(module.meta_filename()) << meta_text;
  fs::remove_all(module.leveldb_directory_path());
  ASSERT_EQ(module.pack_snapshot_file(), 0);
}

TEST(SnapshotFiles, PackThenUnpackInAnotherTask) {
  LogCapture log;
  TempDir first;
  TempDir second;
  const auto backup = task(first.str(), "db0");
  make_snapshot(*backup);
  const std::string snap = backup->snapshot_filename();
  std::string listing;
  ASSERT_EQ(hx_utils_common::execute_command("/bin/tar tzf '" + snap + "'", listing), 0);
  EXPECT_EQ(listing, "./\n./db0.meta\n");  // members named relative to the snapshot directory

  // Autonomous: the snapshot file stays; otherwise the client's file is used up.
  for (bool autonomous : {true, false}) {
    const auto incremental = task(second.str(), "db1", autonomous);
    log.clear();
    EXPECT_EQ(incremental->unpack_snapshot_file(snap), 0);
    EXPECT_EQ(incremental->reference_snapshot_directory_, second / "db0.snap_dir");
    EXPECT_EQ(incremental->options_.resolved_meta_file, second / "db0.snap_dir/db0.meta");
    EXPECT_EQ(read_file(second / "db0.snap_dir/db0.meta"), "meta of the archive");
    EXPECT_EQ(fs::exists(snap), autonomous);
    EXPECT_EQ(log.has("Info: Removing obsolete snapshot file: " + snap), !autonomous);
  }
}

TEST(SnapshotFiles, MetaFileIsTakenAsItIsOtherExtensionsAreRefused) {
  LogCapture log;
  TempDir dir;
  const std::string meta = dir.write("db0.meta", "meta");
  ::chmod(meta.c_str(), 0644);
  dir.write("pg_wal_snapshot", "STOP");
  auto m = task("/nonexistent-task-dir", "db1");
  EXPECT_EQ(m->unpack_snapshot_file(meta), 0);
  EXPECT_EQ(m->options_.resolved_meta_file, meta);
  EXPECT_EQ(m->reference_snapshot_directory_, "");
  EXPECT_EQ(read_file(meta), "meta");  // the client's meta file stays
  std::string content;
  bool missing = true;
  EXPECT_TRUE(m->read_reference_file("sig", "pg_wal_snapshot", 4, content, missing));
  EXPECT_EQ(content, "STOP");
  EXPECT_FALSE(missing);
  for (const std::string file : {"/x/db0.SNAP", "/x/db0.tar.gz", "/x/db0", "/x/db0.snap.bak"}) {
    m = task("/nonexistent-task-dir", "db1");
    EXPECT_EQ(m->unpack_snapshot_file(file), 12) << file;
    EXPECT_TRUE(log.has("Error: Invalid snapshot file extension: \"" + file + "\"")) << file;
    EXPECT_EQ(m->options_.resolved_meta_file, "");
    EXPECT_FALSE(m->read_reference_file("sig", "pg_wal_snapshot", 100, content, missing));
    EXPECT_TRUE(missing) << "no reference taken";
  }
}

const std::string kReferenceRule =
    ". A snapshot or meta file, and what is read beside it, must be a regular file owned by root with a single name "
    "that group or others may not write, in a directory in which no other account can rename, replace or remove it: "
    "every element from / a directory (not a link) owned by root, and writable by group or others only when sticky "
    "(as /tmp)";

// What the client gives with -s or -M decides what a backup holds and what
// the archiver is given: only a file no other account can change or replace
// is taken, in either form, and a refused one is never removed.
TEST(SnapshotFiles, OnlyFilesNoOtherAccountCanChangeAreTaken) {
  LogCapture log;
  TempDir dir;
  TempDir work;
  const auto backup = task(dir.str(), "db0");
  make_snapshot(*backup);
  const std::string sticky = dir / "sticky";
  const std::string foreign = dir / "sticky/nobody";
  fs::create_directories(foreign);
  ::chmod(sticky.c_str(), 01777);
  ASSERT_EQ(0, ::chown(foreign.c_str(), 65534, 65534));
  fs::create_directories(dir / "open");
  ::chmod((dir / "open").c_str(), 0777);
  struct Case {
    std::string file;   // given with -s
    std::string setup;  // shell text run before, in the test's directory
    std::string error;  // what follows "can't use <file>: "
  };
  const std::vector<Case> cases = {
      {sticky + "/ref.meta", "cp db0.snap_dir/db0.meta sticky/ref.meta && chown 65534 sticky/ref.meta",
       "it is a regular file owned by uid 65534; it is neither read nor removed" + kReferenceRule},
      {sticky + "/two.snap", "cp db0.snap sticky/two.snap && ln sticky/two.snap two-names",
       "it is a regular file owned by uid 0 with 2 names; it is neither read nor removed" + kReferenceRule},
      {sticky + "/shared.meta", "cp db0.snap_dir/db0.meta sticky/shared.meta && chmod 666 sticky/shared.meta",
       "it is a regular file owned by uid 0 that group or others may write; it is neither read nor removed" + kReferenceRule},
      {foreign + "/base.meta", "cp db0.snap_dir/db0.meta sticky/nobody/base.meta",
       "\"" + foreign + "\": it is owned by uid 65534" + kReferenceRule},
      {dir / "open/ref.snap", "cp db0.snap open/ref.snap", "\"" + dir / "open" + "\": group or others may write it" + kReferenceRule},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(hx_test::sh("cd '" + dir.str() + "' && " + c.setup), 0) << c.setup;
    struct stat before {};
    const bool present = ::lstat(c.file.c_str(), &before) == 0;
    const auto m = task(work.str(), "db1");
    log.clear();
    EXPECT_EQ(m->unpack_snapshot_file(c.file), 12) << c.file;
    EXPECT_EQ(log.messages(), std::vector<std::string>{"Error: " + kUnpackSig + ": can't use " + c.file + ": " + c.error});
    EXPECT_EQ(m->options_.resolved_meta_file, "");
    EXPECT_EQ(m->reference_snapshot_directory_, "");
    EXPECT_FALSE(m->reference_directory_.valid());
    EXPECT_TRUE(fs::is_empty(work.str())) << "nothing is done before the file is judged";
    struct stat after {};
    EXPECT_EQ(::lstat(c.file.c_str(), &after) == 0, present) << c.file << " is never removed";
    if (present) {
      EXPECT_EQ(after.st_ino, before.st_ino);
    }
  }

  // Root's own file in a sticky directory (as /tmp): others cannot rename or
  // remove it there; it is used up.
  ASSERT_EQ(hx_test::sh("cp '" + backup->snapshot_filename() + "' '" + sticky + "/mine.snap'"), 0);
  const auto m = task(work.str(), "db1");
  log.clear();
  EXPECT_EQ(m->unpack_snapshot_file(sticky + "/mine.snap"), 0) << log.text();
  EXPECT_EQ(m->options_.resolved_meta_file, work / "mine.snap_dir/db0.meta");
  EXPECT_FALSE(fs::exists(sticky + "/mine.snap"));
}

// A file read beside the resolved meta file (the reference's WAL snapshot
// file) is read through the directory the reference was taken from, bounded,
// and only when it is as the snapshot file must be.
TEST(SnapshotFiles, FilesBesideTheMetaFileAreJudgedAsItIs) {
  LogCapture log;
  TempDir dir;
  const auto backup = task(dir.str(), "db0");
  make_snapshot(*backup);
  ASSERT_EQ(hx_test::sh("cd '" + dir.str() + "' && mkdir ref && cp db0.snap_dir/db0.meta ref/db0.meta"), 0);
  struct Case {
    std::string setup;  // shell text run in the reference directory
    std::string error;  // what follows "can't use <file>: "; empty: missing, nothing logged
  };
  const std::vector<Case> cases = {
      {"true", ""},
      {"echo x >pg_wal_snapshot && chmod 620 pg_wal_snapshot",
       "it is a regular file owned by uid 0 that group or others may write; it is not read" + kReferenceRule},
      {"head -c 101 /dev/zero >pg_wal_snapshot",
       "it is a regular file of 101 bytes, more than the 100 bytes that are read of it"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(hx_test::sh("cd '" + dir / "ref" + "' && rm -f pg_wal_snapshot ../second && " + c.setup), 0) << c.setup;
    const auto m = task(dir.str(), "db1");
    ASSERT_EQ(m->unpack_snapshot_file(dir / "ref/db0.meta"), 0);
    log.clear();
    std::string content = "left";
    bool missing = false;
    EXPECT_FALSE(m->read_reference_file("sig", "pg_wal_snapshot", 100, content, missing)) << c.setup;
    EXPECT_EQ(missing, c.error.empty()) << c.setup;
    EXPECT_EQ(log.messages(), c.error.empty() ? std::vector<std::string>{}
                                              : std::vector<std::string>{"Error: sig: can't use " +
                                                                         dir / "ref/pg_wal_snapshot: " + c.error});
  }

  // The same through the reference snapshot directory a snapshot file was
  // unpacked into.
  ASSERT_EQ(hx_test::sh("cd '" + dir.str() + "' && printf 'STOP\\n' >db0.snap_dir/pg_wal_snapshot"), 0);
  ASSERT_EQ(backup->pack_snapshot_file(), 0);
  TempDir other;
  const auto m = task(other.str(), "db1");
  ASSERT_EQ(m->unpack_snapshot_file(backup->snapshot_filename()), 0);
  std::string content;
  bool missing = true;
  EXPECT_TRUE(m->read_reference_file("sig", "pg_wal_snapshot", 100, content, missing));
  EXPECT_EQ(content, "STOP\n");
  EXPECT_FALSE(missing);
  // Read through the descriptor taken then: the directory's name no longer
  // matters.
  fs::rename(other / "db0.snap_dir", other / "moved");
  EXPECT_TRUE(m->read_reference_file("sig", "pg_wal_snapshot", 100, content, missing));
}

TEST(SnapshotFiles, ExistingReferenceDirectoryIsReplaced) {
  LogCapture log;
  TempDir dir;
  TempDir elsewhere;
  const auto backup = task(elsewhere.str(), "db1");
  make_snapshot(*backup, "fresh");
  // The task's own snapshot directory has the same stem and holds old files.
  const auto m = task(dir.str(), "db1");
  fs::create_directories(m->snapshot_directory_path());
  std::ofstream(m->snapshot_directory_path() + "/stale") << "old";
  EXPECT_EQ(m->unpack_snapshot_file(backup->snapshot_filename()), 0);
  EXPECT_TRUE(log.has("Warning: " + kUnpackSig + ": Removing already existing directory " + m->snapshot_directory_path()));
  EXPECT_FALSE(fs::exists(m->snapshot_directory_path() + "/stale"));
  EXPECT_EQ(read_file(m->meta_filename()), "fresh");

  // One that another account could have placed (in a -d that others may
  // write) is neither used nor removed.
  ASSERT_EQ(0, ::chown(m->snapshot_directory_path().c_str(), 65534, 65534));
  ASSERT_EQ(backup->pack_snapshot_file(), 0);  // the first unpack used it up
  log.clear();
  const auto next = task(dir.str(), "db1");
  EXPECT_EQ(next->unpack_snapshot_file(backup->snapshot_filename()), 12);
  EXPECT_EQ(log.messages(), std::vector<std::string>{"Error: " + kUnpackSig + ": can't use " +
                                                     m->snapshot_directory_path() + ": a directory owned by uid "
                                                     "65534, which another account could have placed; it is neither "
                                                     "used nor removed"});
  EXPECT_EQ(read_file(m->meta_filename()), "fresh");
  EXPECT_EQ(next->reference_snapshot_directory_, "") << "not this task's to remove";
  EXPECT_TRUE(fs::exists(backup->snapshot_filename())) << "nothing unpacked, nothing removed";
}

TEST(SnapshotFiles, SnapshotWithoutMetaFileFailsAndLeavesItsDirectory) {
  LogCapture log;
  TempDir dir;
  const auto backup = task(dir.str(), "db0");
  fs::create_directories(backup->snapshot_directory_path());
  std::ofstream(backup->snapshot_directory_path() + "/notes.txt") << "no meta here";
  ASSERT_EQ(backup->pack_snapshot_file(), 0);
  TempDir other;
  const auto m = task(other.str(), "db1");
  EXPECT_EQ(m->unpack_snapshot_file(backup->snapshot_filename()), 12);
  EXPECT_TRUE(log.has("Error: " + kUnpackSig + ": Snapshot doesn't contain any metafile!"));
  EXPECT_TRUE(fs::exists(other / "db0.snap_dir/notes.txt"));
  EXPECT_EQ(m->reference_snapshot_directory_, other / "db0.snap_dir");
}

TEST(SnapshotFiles, DamagedSnapshotOrUnwritableTaskDirectoryFails) {
  LogCapture log;
  TempDir dir;
  const std::string snap = dir.write("db0.snap", "this is not a gzip file");
  EXPECT_EQ(task(dir.str(), "db1")->unpack_snapshot_file(snap), 12);
  // tar reads the judged file through this process's descriptor of it.
  EXPECT_TRUE(logged_prefix(log, "Error: " + kUnpackSig + ": command: '/bin/tar xzf /proc/" +
                                     std::to_string(::getpid()) + "/fd/"));
  EXPECT_TRUE(log.text().find(" -C " + (dir / "db0.snap_dir") + "' returned code: 2 result: ") != std::string::npos);
  EXPECT_TRUE(fs::exists(snap));  // a failed unpack deletes nothing
  const std::string file = dir.write("not-a-directory", "x");
  EXPECT_EQ(task(file, "db1")->unpack_snapshot_file(snap), 12);
  EXPECT_TRUE(log.has("Error: " + kUnpackSig + ": can't use " + file + "/db0.snap_dir: \"" + file +
                      "\" is a regular file, not a directory"));
  // The unpacked files are read by path: never below a directory another
  // account may change.
  fs::create_directories(dir / "shared");
  ::chmod((dir / "shared").c_str(), 0777);
  EXPECT_EQ(task(dir / "shared", "db1")->unpack_snapshot_file(snap), 12);
  EXPECT_TRUE(log.has("Error: " + kUnpackSig + ": can't use " + dir / "shared/db0.snap_dir: \"" + dir / "shared" +
                      "\": group or others may write it"));
  EXPECT_FALSE(fs::exists(dir / "shared/db0.snap_dir"));
  EXPECT_EQ(task("/nonexistent-hx-task-dir", "db1")->pack_snapshot_file(), 12);
  EXPECT_TRUE(logged_prefix(log, "Error: Unable to pack snapshot file: "));
}

}  // namespace
