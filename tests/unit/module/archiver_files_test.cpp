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
  auto m = task("/nonexistent-task-dir", "db1");
  EXPECT_EQ(m->unpack_snapshot_file("/nowhere/db0.meta"), 0);  // no file access
  EXPECT_EQ(m->options_.resolved_meta_file, "/nowhere/db0.meta");
  EXPECT_EQ(m->reference_snapshot_directory_, "");
  for (const std::string file : {"/x/db0.SNAP", "/x/db0.tar.gz", "/x/db0", "/x/db0.snap.bak"}) {
    m = task("/nonexistent-task-dir", "db1");
    EXPECT_EQ(m->unpack_snapshot_file(file), 12) << file;
    EXPECT_TRUE(log.has("Error: Invalid snapshot file extension: \"" + file + "\"")) << file;
    EXPECT_EQ(m->options_.resolved_meta_file, "");
  }
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
  log.clear();
  EXPECT_EQ(m->unpack_snapshot_file(backup->snapshot_filename()), 12);
  EXPECT_EQ(log.messages(), std::vector<std::string>{"Error: " + kUnpackSig + ": can't use " +
                                                     m->snapshot_directory_path() + ": a directory owned by uid "
                                                     "65534, which another account could have placed; it is neither "
                                                     "used nor removed"});
  EXPECT_EQ(read_file(m->meta_filename()), "fresh");
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
  EXPECT_TRUE(logged_prefix(log, "Error: " + kUnpackSig + ": command: '/bin/tar xzf " + snap + " -C " +
                                     (dir / "db0.snap_dir") + "' returned code: 2 result: "));
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
