// Task file names below the temporary operation directory, and packing and
// unpacking of snapshot files with the real tar.
#include "archiver_test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace fs = boost::filesystem;
using hx_archiver_test::logged;
using hx_archiver_test::read_file;
using hx_archiver_test::TaskModule;
using hx_archiver_test::TempDir;
using hx_test::LogSink;

const std::string kUnpackSig = "int HxModuleUniversal::unpack_snapshot_file(const string&)";

TaskModule task(const std::string& tmp, const std::string& name, bool autonomous = false) {
  HxModuleOptions options;
  options.tmp_operation_directory = tmp;
  options.archive_name = name;
  options.autonomous = autonomous;
  return TaskModule(options);
}

TEST(TaskFiles, NamesBelowTheOperationDirectory) {
  TaskModule module = task("/tmp/task", "db1");
  EXPECT_EQ(module.archive_filename(), "/tmp/task/db1");
  EXPECT_EQ(module.archive_sign_filename(), "/tmp/task/db1.signature");
  EXPECT_EQ(module.snapshot_filename(), "/tmp/task/db1.snap");
  EXPECT_EQ(module.snapshot_directory_path(), "/tmp/task/db1.snap_dir");
  EXPECT_EQ(module.leveldb_directory_path(), "/tmp/task/db1.snap_dir/leveldb");
  EXPECT_EQ(module.meta_filename(), "/tmp/task/db1.snap_dir/db1.meta");

  TaskModule autonomous = task("/tmp/task", "db1", true);
  EXPECT_EQ(autonomous.archive_filename(), "/tmp/task/db1.hxfd");
  EXPECT_EQ(autonomous.archive_sign_filename(), "/tmp/task/db1.hxfd.signature");
  EXPECT_EQ(autonomous.snapshot_filename(), "/tmp/task/db1.snap");
  EXPECT_EQ(autonomous.meta_filename(), "/tmp/task/db1.snap_dir/db1.meta");
}

TEST(TaskFiles, PartsAreJoinedAsTheyStand) {
  TaskModule module = task("/tmp/task/", "db 1");
  EXPECT_EQ(module.archive_filename(), "/tmp/task//db 1");
  EXPECT_EQ(module.meta_filename(), "/tmp/task//db 1.snap_dir/db 1.meta");
}

TEST(TaskFiles, ReferenceDirectoryIsTheStoredValue) {
  TaskModule module = task("/tmp/task", "db1");
  EXPECT_EQ(module.reference_snapshot_directory_path(), "");
  module.reference_snapshot_directory_ = "/x/db0.snap_dir";
  EXPECT_EQ(module.reference_snapshot_directory_path(), "/x/db0.snap_dir");
}

// Builds T/N.snap_dir with N.meta (and a leveldb directory) and packs it.
void make_snapshot(TaskModule& module, const std::string& meta_text = "meta of the archive") {
  fs::create_directories(module.leveldb_directory_path());
  std::ofstream(module.meta_filename()) << meta_text;
  fs::remove_all(module.leveldb_directory_path());
  ASSERT_EQ(module.pack_snapshot_file(), 0);
}

TEST(SnapshotFiles, PackThenUnpackInAnotherTask) {
  LogSink log;
  TempDir first;
  TempDir second;
  TaskModule backup = task(first.str(), "db0");
  make_snapshot(backup);
  const std::string snap = backup.snapshot_filename();
  ASSERT_TRUE(fs::is_regular_file(snap));

  // Members are named relative to the snapshot directory.
  std::string listing;
  ASSERT_EQ(hx_utils_common::execute_command("/bin/tar tzf '" + snap + "'", listing), 0);
  EXPECT_EQ(listing, "./\n./db0.meta\n");

  TaskModule incremental = task(second.str(), "db1");
  log.clear();
  EXPECT_EQ(incremental.unpack_snapshot_file(snap), 0);
  const std::string reference = second / "db0.snap_dir";
  EXPECT_EQ(incremental.reference_snapshot_directory_, reference);
  EXPECT_EQ(incremental.options_.resolved_meta_file, reference + "/db0.meta");
  EXPECT_EQ(read_file(reference + "/db0.meta"), "meta of the archive");
  // Outside autonomous mode the client's snapshot file is used up.
  EXPECT_FALSE(fs::exists(snap));
  EXPECT_TRUE(logged(log, "Info: Removing obsolete snapshot file: " + snap));
}

TEST(SnapshotFiles, AutonomousUnpackKeepsTheSnapshotFile) {
  LogSink log;
  TempDir first;
  TempDir second;
  TaskModule backup = task(first.str(), "db0");
  make_snapshot(backup);
  TaskModule restore = task(second.str(), "db1", true);
  EXPECT_EQ(restore.unpack_snapshot_file(backup.snapshot_filename()), 0);
  EXPECT_TRUE(fs::exists(backup.snapshot_filename()));
  EXPECT_EQ(restore.options_.resolved_meta_file, second / "db0.snap_dir/db0.meta");
}

TEST(SnapshotFiles, MetaFileIsTakenAsItIs) {
  LogSink log;
  TaskModule module = task("/nonexistent-task-dir", "db1");
  EXPECT_EQ(module.unpack_snapshot_file("/nowhere/db0.meta"), 0);
  EXPECT_EQ(module.options_.resolved_meta_file, "/nowhere/db0.meta");
  EXPECT_EQ(module.reference_snapshot_directory_, "");
}

TEST(SnapshotFiles, OtherExtensionsAreRefused) {
  for (const std::string file : {"/x/db0.SNAP", "/x/db0.tar.gz", "/x/db0", "/x/db0.snap.bak"}) {
    LogSink log;
    TaskModule module = task("/nonexistent-task-dir", "db1");
    EXPECT_EQ(module.unpack_snapshot_file(file), 12) << file;
    EXPECT_TRUE(logged(log, "Error: Invalid snapshot file extension: \"" + file + "\"")) << file;
    EXPECT_EQ(module.options_.resolved_meta_file, "");
  }
}

TEST(SnapshotFiles, ExistingReferenceDirectoryIsReplaced) {
  LogSink log;
  TempDir dir;
  TempDir elsewhere;
  TaskModule backup = task(elsewhere.str(), "db1");
  make_snapshot(backup, "fresh");
  // The task's own snapshot directory has the same stem and holds old files.
  TaskModule module = task(dir.str(), "db1");
  fs::create_directories(module.snapshot_directory_path());
  std::ofstream(module.snapshot_directory_path() + "/stale") << "old";
  log.clear();
  EXPECT_EQ(module.unpack_snapshot_file(backup.snapshot_filename()), 0);
  EXPECT_TRUE(logged(log, "Warning: " + kUnpackSig + ": Removing already existing directory " +
                              module.snapshot_directory_path()));
  EXPECT_FALSE(fs::exists(module.snapshot_directory_path() + "/stale"));
  EXPECT_EQ(read_file(module.meta_filename()), "fresh");
}

TEST(SnapshotFiles, SnapshotWithoutMetaFileFailsAndLeavesItsDirectory) {
  LogSink log;
  TempDir dir;
  TaskModule backup = task(dir.str(), "db0");
  fs::create_directories(backup.snapshot_directory_path());
  std::ofstream(backup.snapshot_directory_path() + "/notes.txt") << "no meta here";
  ASSERT_EQ(backup.pack_snapshot_file(), 0);
  TempDir other;
  TaskModule module = task(other.str(), "db1");
  EXPECT_EQ(module.unpack_snapshot_file(backup.snapshot_filename()), 12);
  EXPECT_TRUE(logged(log, "Error: " + kUnpackSig + ": Snapshot doesn't contain any metafile!"));
  EXPECT_TRUE(fs::exists(other / "db0.snap_dir/notes.txt"));
  EXPECT_EQ(module.reference_snapshot_directory_, other / "db0.snap_dir");
}

TEST(SnapshotFiles, DamagedSnapshotFails) {
  LogSink log;
  TempDir dir;
  const std::string snap = dir.write("db0.snap", "this is not a gzip file");
  TaskModule module = task(dir.str(), "db1");
  EXPECT_EQ(module.unpack_snapshot_file(snap), 12);
  const std::string command = "/bin/tar xzf " + snap + " -C " + (dir / "db0.snap_dir");
  bool found = false;
  for (const std::string& message : log.messages()) {
    const std::string prefix = "Error: " + kUnpackSig + ": command: '" + command + "' returned code: 2 result: ";
    if (message.rfind(prefix, 0) == 0) found = true;
  }
  EXPECT_TRUE(found);
  EXPECT_TRUE(fs::exists(snap));  // a failed unpack deletes nothing
}

TEST(SnapshotFiles, PackFailureIsReported) {
  LogSink log;
  TaskModule module = task("/nonexistent-hx-task-dir", "db1");
  EXPECT_EQ(module.pack_snapshot_file(), 12);
  bool found = false;
  for (const std::string& message : log.messages()) {
    if (message.rfind("Error: Unable to pack snapshot file: ", 0) == 0) found = true;
  }
  EXPECT_TRUE(found);
}

TEST(SnapshotFiles, PathsWithShellCharactersStayWhole) {
  LogSink log;
  TempDir dir;
  const std::string tmp = dir / "it's a; dir";
  fs::create_directories(tmp);
  TaskModule backup = task(tmp, "db 0;x'y");
  make_snapshot(backup, "quoted");
  EXPECT_TRUE(fs::is_regular_file(tmp + "/db 0;x'y.snap"));

  const std::string other = dir / "other $(dir)";
  fs::create_directories(other);
  TaskModule module = task(other, "db1");
  EXPECT_EQ(module.unpack_snapshot_file(backup.snapshot_filename()), 0);
  EXPECT_EQ(module.options_.resolved_meta_file, other + "/db 0;x'y.snap_dir/db 0;x'y.meta");
  EXPECT_EQ(read_file(module.options_.resolved_meta_file), "quoted");
  // Nothing was created beside the directories named.
  std::size_t entries = 0;
  for (fs::directory_iterator it(dir.str()), end; it != end; ++it) ++entries;
  EXPECT_EQ(entries, 2u);
}

}  // namespace
