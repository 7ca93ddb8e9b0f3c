// The backup, restore and apply sequences up to and around the archiver run:
// the order of the hooks, the exit codes and what each failure leaves.
#include "archiver_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

namespace fs = boost::filesystem;
using hx_archiver_test::archiver_installed;
using hx_archiver_test::logged;
using hx_archiver_test::logged_hxfd_command;
using hx_archiver_test::TaskModule;
using hx_archiver_test::TempDir;
using hx_test::LogSink;
using Calls = std::vector<std::string>;

class BackupSequence : public ::testing::Test {
 protected:
  LogSink quiet_;  // keeps the lines of tests that do not look at them off the output
  void SetUp() override {
    resource_ = dir_ / "resource";
    fs::create_directories(resource_);
    module_.options_.mode = HxModuleMode::Backup;
    module_.options_.resource = resource_;
    module_.options_.tmp_operation_directory = dir_ / "T";
    module_.options_.archive_name = "db1";
    module_.options_.restriction_list_file = dir_ / "restriction.list";
    module_.options_.media_server = "ms1";
    module_.options_.task_id = "t1";
  }
  TempDir dir_;
  TaskModule module_;
  std::string resource_;
};

TEST_F(BackupSequence, ConfigurationFailureEndsWith2) {
  module_.failing = {"config"};
  EXPECT_EQ(module_.backup_sequence(false), 2u);
  EXPECT_EQ(module_.calls, (Calls{"config"}));
  EXPECT_FALSE(fs::exists(dir_ / "T"));
}

TEST_F(BackupSequence, MissingDirectoryOrArchiveName) {
  {
    LogSink log;
    module_.options_.tmp_operation_directory.clear();
    EXPECT_EQ(module_.backup_sequence(false), 4u);
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{"Error: Backup module: you must define tmp_operation_directory directory"}));
  }
  {
    LogSink log;
    module_.options_.tmp_operation_directory = dir_ / "T";
    module_.options_.archive_name.clear();
    EXPECT_EQ(module_.backup_sequence(false), 5u);
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"Error: Backup module: you must define archive name"}));
  }
}

TEST_F(BackupSequence, LocalRestrictionOfEachMode) {
  dir_.write("restriction.list", "/other\n" + resource_ + "\n");
  module_.options_.local_restrictions = true;
  {
    LogSink log;
    EXPECT_EQ(module_.backup_sequence(false), 11u);
    EXPECT_TRUE(logged(log, "Error: Backup module: Unable to backup this resource " + resource_ +
                                ". Local restriction"));
    // The task directories are made before the restriction test.
    EXPECT_TRUE(fs::is_directory(module_.leveldb_directory_path()));
  }
  {
    LogSink log;
    module_.options_.mode = HxModuleMode::CreateReplica;
    EXPECT_EQ(module_.backup_sequence(true), 11u);
    EXPECT_TRUE(logged(log, "Error: Backup module: Unable to backup this resource " + resource_ +
                                " due to the local restriction"));
  }
  {
    LogSink log;
    module_.options_.mode = HxModuleMode::BackupList;
    const std::string json = dir_.write("list.json", "[{\"path\": \"/fine\"}, {\"path\": \"" + resource_ + "\"}]");
    ASSERT_TRUE(module_.options_.resource_list.parse_json_file(json));
    module_.options_.resource = json;
    EXPECT_EQ(module_.backup_sequence(false), 11u);
    // Only the list check's own message.
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_NE(log.messages()[0].find("Unable to backup this resource from ResourceList: " + resource_),
              std::string::npos);
  }
  EXPECT_EQ(std::count(module_.calls.begin(), module_.calls.end(), "exists"), 0);
}

TEST_F(BackupSequence, MissingResource) {
  LogSink log;
  module_.failing = {"exists"};
  EXPECT_EQ(module_.backup_sequence(false), 2u);
  EXPECT_TRUE(logged(log, "Error: Backup module: Unable to backup this resource " + resource_ +
                              ". Resource doesn't exist"));
  EXPECT_EQ(module_.calls, (Calls{"config", "exists"}));
}

TEST_F(BackupSequence, ReferenceSnapshotThatCannotBeUnpacked) {
  LogSink log;
  module_.options_.backup_type = HxBackupType::Incremental;
  module_.options_.reference_snapshot = dir_ / "db0.tar";
  EXPECT_EQ(module_.backup_sequence(false), 2u);
  EXPECT_TRUE(logged(log, "Error: Backup module: Unable to unpack reference snapshot file: " + (dir_ / "db0.tar")));
  EXPECT_EQ(module_.calls, (Calls{"config", "exists"}));
}

TEST_F(BackupSequence, PreparationFailureSkipsArchiverAndRelease) {
  LogSink log;
  module_.failing = {"prepare(replica)"};
  module_.options_.mode = HxModuleMode::CreateReplica;
  EXPECT_EQ(module_.backup_sequence(true), 6u);
  EXPECT_EQ(module_.calls, (Calls{"config", "exists", "prepare(replica)"}));
  EXPECT_EQ(logged_hxfd_command(log), "");
}

TEST_F(BackupSequence, FailedArchiverRunIsReleasedAndNotClosed) {
  if (archiver_installed()) GTEST_SKIP() << "an archiver is installed on this host";
  LogSink log;
  testing::internal::CaptureStdout();
  const unsigned int code = module_.backup_sequence(false);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(code, 6u);
  EXPECT_EQ(module_.calls, (Calls{"config", "exists", "prepare", "release"}));
  EXPECT_NE(logged_hxfd_command(log), "");
  EXPECT_EQ(printed.find("MAIN ARCHIVE FILENAME:"), std::string::npos);
  EXPECT_TRUE(fs::exists(module_.leveldb_directory_path()));  // no closing step

  // A failing release after a failed run: still 6.
  module_.calls.clear();
  module_.failing = {"release"};
  testing::internal::CaptureStdout();
  EXPECT_EQ(module_.backup_sequence(false), 6u);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(module_.calls, (Calls{"config", "exists", "prepare", "release"}));
}

// ---- restore ---------------------------------------------------------------------------

class RestoreSequence : public ::testing::Test {
 protected:
  LogSink quiet_;  // keeps the lines of tests that do not look at them off the output
  void SetUp() override {
    module_.options_.mode = HxModuleMode::Restore;
    module_.options_.record_id = "R1";
    module_.options_.tmp_operation_directory = dir_.str();
    module_.options_.media_server = "ms1";
    module_.options_.task_id = "t1";
    module_.options_.meta_file = dir_ / "db1.meta";
  }
  TempDir dir_;
  TaskModule module_;
};

TEST_F(RestoreSequence, MissingPatchDirectoryEndsWith7) {
  module_.options_.archive_to_patch = "old";
  EXPECT_EQ(module_.restore_sequence(), 7u);
  EXPECT_EQ(module_.calls, (Calls{"config"}));
}

TEST_F(RestoreSequence, UnpackFailureEndsWith2AndKeepsTheDirectory) {
  LogSink log;
  module_.options_.meta_file = dir_ / "db1.zip";
  EXPECT_EQ(module_.restore_sequence(), 2u);
  EXPECT_TRUE(logged(log, "Error: Unable to unpack snapshot file: " + (dir_ / "db1.zip")));
  EXPECT_TRUE(fs::is_directory(dir_ / "R1.rest"));
  EXPECT_EQ(module_.calls, (Calls{"config"}));
}

TEST_F(RestoreSequence, FailedBeforeRestoreRemovesTheRestoreDirectory) {
  module_.failing = {"before_restore"};
  EXPECT_EQ(module_.restore_sequence(), 7u);
  EXPECT_TRUE(module_.last_);
  EXPECT_FALSE(fs::exists(dir_ / "R1.rest"));
  EXPECT_TRUE(fs::exists(dir_.str()));  // the client's directory stays
  EXPECT_EQ(module_.calls, (Calls{"config", "before_restore"}));
}

TEST_F(RestoreSequence, FailedArchiverRunStillCallsAfterRestore) {
  if (archiver_installed()) GTEST_SKIP() << "an archiver is installed on this host";
  LogSink log;
  EXPECT_EQ(module_.restore_sequence(), 7u);
  EXPECT_EQ(module_.calls, (Calls{"config", "before_restore", "after_restore"}));
  EXPECT_FALSE(fs::exists(dir_ / "R1.rest"));
  EXPECT_EQ(logged_hxfd_command(log).find("/opt/halvex/bin/hxfd -a sha2 -2  -b 16384 -R R1 -M ms1 -T t1 "), 0u);
}

// ---- apply ---------------------------------------------------------------------------------

class ApplySequence : public RestoreSequence {
 protected:
  void SetUp() override {
    RestoreSequence::SetUp();
    module_.options_.mode = HxModuleMode::ApplyReplica;
  }
};

TEST_F(ApplySequence, UnpackFailureRemovesTheReferenceDirectory) {
  LogSink log;
  // A snapshot file without a meta file: unpacked, then refused.
  TempDir source;
  fs::create_directories(source / "db0.snap_dir");
  std::ofstream(source / "db0.snap_dir/notes") << "x";
  std::string output;
  ASSERT_EQ(hx_utils_common::execute_command("cd " + (source / "db0.snap_dir") + " && /bin/tar czf " +
                                                 (source / "db0.snap") + " .",
                                             output),
            0);
  module_.options_.meta_file = source / "db0.snap";
  EXPECT_EQ(module_.apply_sequence(), 2u);
  EXPECT_TRUE(logged(log, "Error: Unable to unpack snapshot file: " + (source / "db0.snap")));
  EXPECT_TRUE(logged(log, "Info: Remove obsolete snapshot directory: " + (dir_ / "db0.snap_dir")));
  EXPECT_FALSE(fs::exists(dir_ / "db0.snap_dir"));
  EXPECT_FALSE(fs::exists(dir_ / "R1.rest"));  // no restore directory in this mode
}

TEST_F(ApplySequence, FailedBeforeRestoreEndsWith7) {
  module_.failing = {"before_restore"};
  EXPECT_EQ(module_.apply_sequence(), 7u);
  EXPECT_EQ(module_.calls, (Calls{"config", "before_restore"}));
  EXPECT_TRUE(fs::exists(dir_.str()));
}

TEST_F(ApplySequence, FailedArchiverRunEndsWith7WithoutDeployment) {
  if (archiver_installed()) GTEST_SKIP() << "an archiver is installed on this host";
  LogSink log;
  EXPECT_EQ(module_.apply_sequence(), 7u);
  EXPECT_EQ(module_.calls, (Calls{"config", "before_restore", "after_restore"}));
  const std::string command = logged_hxfd_command(log);
  EXPECT_NE(command.find(" -d '" + dir_.str() + "' -E  2>&1"), std::string::npos) << command;
}

}  // namespace
