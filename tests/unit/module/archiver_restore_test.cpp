// The restore directory, the archiver's unpack command and the removal of
// what a restore leaves behind.
#include "archiver_test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace fs = boost::filesystem;
using hx_archiver_test::archiver_installed;
using hx_archiver_test::logged;
using hx_archiver_test::logged_hxfd_command;
using hx_archiver_test::TaskModule;
using hx_archiver_test::TempDir;
using hx_test::LogSink;

const std::string kDefineSig = "virtual int HxModuleUniversal::define_restore_directory()";
const std::string kRestoreSig = "bool HxModuleUniversal::make_restore(const bool&)";

class RestoreDirectory : public ::testing::Test {
 protected:
  LogSink quiet_;  // keeps the lines of tests that do not look at them off the output
  void SetUp() override {
    module_.options_.mode = HxModuleMode::Restore;
    module_.options_.tmp_operation_directory = dir_.str();
  }
  TempDir dir_;
  TaskModule module_;
};

TEST_F(RestoreDirectory, RecordIdNamesTheDirectory) {
  LogSink log;
  module_.options_.record_id = "R42";
  EXPECT_EQ(module_.define_restore_directory(), 0);
  EXPECT_EQ(module_.options_.tmp_operation_directory, dir_ / "R42.rest");
  EXPECT_TRUE(fs::is_directory(dir_ / "R42.rest"));
  EXPECT_TRUE(module_.restore_directory_defined_);
  EXPECT_TRUE(log.messages().empty());
}

TEST_F(RestoreDirectory, ExistingDirectoryIsReusedWithMissingParentsCreated) {
  module_.options_.tmp_operation_directory = dir_ / "a/b";
  module_.options_.record_id = "R1";
  EXPECT_EQ(module_.define_restore_directory(), 0);
  EXPECT_TRUE(fs::is_directory(dir_ / "a/b/R1.rest"));
  std::ofstream(dir_ / "a/b/R1.rest/kept") << "x";
  module_.options_.tmp_operation_directory = dir_ / "a/b";
  EXPECT_EQ(module_.define_restore_directory(), 0);
  EXPECT_TRUE(fs::exists(dir_ / "a/b/R1.rest/kept"));
}

TEST_F(RestoreDirectory, AutonomousNameFromTheArchiveFile) {
  const std::pair<std::string, std::string> cases[] = {
      {"/data/db1_FULL_2024.hxfd", "2024"},
      {"/data/a_full_b_full_c.hxfd", "b"},
      {"/data/plain-name.hxfd", "plain-name"},
      {"/data/x_Full_y.tar.hxfd", "y.tar"},
      {"relative_full_.hxfd", ""},
  };
  for (const auto& c : cases) {
    module_.options_.tmp_operation_directory = dir_.str();
    module_.options_.autonomous = true;
    module_.options_.record_id = c.first;
    EXPECT_EQ(module_.define_restore_directory(), 0) << c.first;
    EXPECT_EQ(module_.options_.tmp_operation_directory, dir_ / (c.second + ".rest")) << c.first;
  }
}

TEST_F(RestoreDirectory, ArchiveToPatchMustExist) {
  {
    LogSink log;
    module_.options_.record_id = "R2";
    module_.options_.archive_to_patch = "old";
    EXPECT_EQ(module_.define_restore_directory(), 1);
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"Error: " + kDefineSig +
                                                        ": catalog 'archive to patch' doesn't exist: " +
                                                        (dir_ / "old.rest")}));
    EXPECT_FALSE(fs::exists(dir_ / "old.rest"));
    EXPECT_FALSE(fs::exists(dir_ / "R2.rest"));
    EXPECT_FALSE(module_.restore_directory_defined_);
  }
  {
    LogSink log;
    fs::create_directories(dir_ / "old.rest");
    module_.options_.tmp_operation_directory = dir_.str();
    EXPECT_EQ(module_.define_restore_directory(), 0);
    EXPECT_EQ(module_.options_.tmp_operation_directory, dir_ / "old.rest");
    EXPECT_TRUE(module_.restore_directory_defined_);
  }
}

TEST_F(RestoreDirectory, FilesystemErrorIsReported) {
  LogSink log;
  const std::string file = dir_.write("plain-file", "x");
  module_.options_.tmp_operation_directory = file;
  module_.options_.record_id = "R3";
  EXPECT_EQ(module_.define_restore_directory(), 1);
  ASSERT_EQ(log.messages().size(), 1u);
  EXPECT_EQ(log.messages()[0].rfind("Error: " + kDefineSig + ": filesystem error: ", 0), 0u);
}

// ---- the unpack command ------------------------------------------------------------

class RestoreCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    if (archiver_installed()) GTEST_SKIP() << "an archiver is installed on this host";
    module_.options_.mode = HxModuleMode::Restore;
    module_.options_.record_id = "R42";
    module_.options_.media_server = "ms1";
    module_.options_.task_id = "t9";
    module_.options_.resolved_meta_file = "/tmp/w/R42.rest/db1.snap_dir/db1.meta";
    module_.options_.tmp_operation_directory = "/tmp/w/R42.rest";
  }

  // The command the archiver was given; the run itself fails outside the test bed.
  std::string command(bool replica = false) {
    LogSink log;
    EXPECT_FALSE(module_.make_restore(replica));
    const std::string text = logged_hxfd_command(log);
    EXPECT_TRUE(logged(log, "Error: " + kRestoreSig + ": " + text));
    last_messages_ = log.messages();
    return text;
  }

  TaskModule module_;
  std::vector<std::string> last_messages_;
};

const std::string kMediaForm =
    "/opt/halvex/bin/hxfd -a sha2 -2  -b 16384 -R R42 -M ms1 -T t9 -s /opt/halvex/var/tasks//task_secret_t9 "
    "-m /tmp/w/R42.rest/db1.snap_dir/db1.meta -d '/tmp/w/R42.rest'";

TEST_F(RestoreCommand, MediaServerFormOfTheDefaults) {
  EXPECT_EQ(command(), kMediaForm + " 2>&1");
  bool out_logged = false;
  for (const std::string& message : last_messages_) {
    if (message.rfind("Error: hxfd out: ", 0) == 0) out_logged = true;
    EXPECT_EQ(message.find("unpacked successfully"), std::string::npos);
  }
  EXPECT_TRUE(out_logged);
  EXPECT_EQ(module_.hxfd_pid_, 0);
}

TEST_F(RestoreCommand, ParallelismReplicaGranularListAndNumericOwners) {
  module_.options_.parallelism = 0;
  EXPECT_EQ(command(), kMediaForm + " -p 0 2>&1");
  module_.options_.parallelism = 1;
  EXPECT_EQ(command(true), kMediaForm + " -E  2>&1");
  module_.options_.parallelism = 4;
  module_.options_.granular_list = "base/1,base/2";
  module_.options_.capabilities[HxModuleCapability::SetToNumeric] = true;
  EXPECT_EQ(command(true), kMediaForm + " -E  -p 4 -f base/1,base/2 --set-to-numeric 2>&1");
}

TEST_F(RestoreCommand, AutonomousFormAndOtherHash) {
  module_.options_.autonomous = true;
  module_.options_.record_id = "/media/db1_full_1.hxfd";
  module_.hxd_hash_length_ = 512;
  EXPECT_EQ(command(), "/opt/halvex/bin/hxfd -a sha2 -5  -b 16384 -r /media/db1_full_1.hxfd -d '/tmp/w/R42.rest' 2>&1");
}

TEST_F(RestoreCommand, EncryptionNeedsAnExistingKeyFile) {
  TempDir dir;
  module_.options_.crypto = "kuznyechik";
  {
    LogSink log;
    EXPECT_FALSE(module_.make_restore(false));
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"Error: " + kRestoreSig + ": you must define key file"}));
  }
  {
    LogSink log;
    module_.options_.key_file = dir / "missing.key";
    EXPECT_FALSE(module_.make_restore(false));
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"Error: " + kRestoreSig + ": there is no key file: " +
                                                        (dir / "missing.key")}));
  }
  module_.options_.key_file = dir.write("k.key", "key");
  EXPECT_EQ(command(), kMediaForm + " -C kuznyechik -k " + (dir / "k.key") + " 2>&1");
}

TEST_F(RestoreCommand, ValuesWithShellCharactersAreQuoted) {
  module_.options_.record_id = "R 1;x";
  module_.options_.task_id = "t'9";
  module_.options_.tmp_operation_directory = "/tmp/it's here;/R 1;x.rest";
  module_.options_.resolved_meta_file = "/tmp/m $(x).meta";
  module_.options_.granular_list = "a b";
  EXPECT_EQ(command(), "/opt/halvex/bin/hxfd -a sha2 -2  -b 16384 -R 'R 1;x' -M ms1 -T 't'\\''9' -s "
                       "'/opt/halvex/var/tasks//task_secret_t'\\''9' -m '/tmp/m $(x).meta' "
                       "-d '/tmp/it'\\''s here;/R 1;x.rest' -f 'a b' 2>&1");
}

// ---- removal of what a restore leaves ------------------------------------------------

class RestoreCleanup : public ::testing::Test {
 protected:
  LogSink quiet_;  // keeps the lines of tests that do not look at them off the output
  void SetUp() override {
    restore_ = dir_ / "R1.rest";
    reference_ = restore_ + "/db0.snap_dir";
    fs::create_directories(reference_);
    std::ofstream(restore_ + "/data") << "restored";
    module_.options_.tmp_operation_directory = restore_;
    module_.reference_snapshot_directory_ = reference_;
  }
  TempDir dir_;
  TaskModule module_;
  std::string restore_;
  std::string reference_;
};

TEST_F(RestoreCleanup, NotTheLastPartKeepsTheRestoreDirectory) {
  LogSink log;
  module_.options_.mode = HxModuleMode::Restore;
  module_.close_restore();
  EXPECT_FALSE(fs::exists(reference_));
  EXPECT_TRUE(fs::exists(restore_ + "/data"));
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"Info: Remove obsolete snapshot directory: " + reference_}));
}

TEST_F(RestoreCleanup, LastPartRemovesTheRestoreDirectory) {
  LogSink log;
  module_.options_.mode = HxModuleMode::Restore;
  module_.last_ = true;
  module_.close_restore();
  EXPECT_FALSE(fs::exists(restore_));
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"Info: Remove obsolete snapshot directory: " + reference_,
                                                      "Info: Remove temporary operation directory: " + restore_}));
}

TEST_F(RestoreCleanup, ApplyModeAndDisabledRemovalKeepIt) {
  module_.options_.mode = HxModuleMode::ApplyReplica;
  module_.last_ = true;
  module_.close_restore();
  EXPECT_TRUE(fs::exists(restore_ + "/data"));
  module_.options_.mode = HxModuleMode::Restore;
  module_.remove_tmp_operation_directory_ = false;
  module_.close_restore();
  EXPECT_TRUE(fs::exists(restore_ + "/data"));
}

TEST_F(RestoreCleanup, ReferenceDirectoryOnlyWhenItExists) {
  LogSink log;
  module_.remove_reference_snapshot_directory();
  EXPECT_FALSE(fs::exists(reference_));
  log.clear();
  module_.remove_reference_snapshot_directory();
  module_.reference_snapshot_directory_.clear();
  module_.remove_reference_snapshot_directory();
  EXPECT_TRUE(log.messages().empty());
}

// ---- the sparse-file check -----------------------------------------------------------

const std::string kSparseSig = "int HxModuleUniversal::check_file_to_restore_for_sparse(const string&) const";

TEST(SparseCheck, FullFileMissingFileAndSparseFile) {
  TempDir dir;
  TaskModule module;
  module.options_.tmp_operation_directory = dir.str();
  {
    LogSink log;
    const std::string full = dir.write("full", std::string(8192, 'x'));
    EXPECT_EQ(module.check_file_to_restore_for_sparse(full), 0);
    EXPECT_TRUE(log.messages().empty());
  }
  {
    LogSink log;
    EXPECT_EQ(module.check_file_to_restore_for_sparse(dir / "missing"), 0);
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"Warning: " + kSparseSig + ": unable to check sparse status of '" +
                                                        (dir / "missing") +
                                                        "' file, error: No such file or directory"}));
  }
  {
    LogSink log;
    const std::string holes = dir / "holes";
    {
      std::ofstream out(holes, std::ios_base::binary);
      out.seekp(64 * 1024 * 1024);
      out << 'x';
    }
    EXPECT_EQ(module.check_file_to_restore_for_sparse(holes), 7);
    ASSERT_EQ(log.messages().size(), 1u);
    const std::string expected = "Error: " + kSparseSig + ": file '" + holes +
                                 "' is a sparse file, i.e. it doesn't contain all the data required for restore."
                                 " Probably it is not enough free space in a \"" + dir.str() +
                                 "\" folder. Free space is: ";
    const std::string message = log.messages()[0];
    EXPECT_EQ(message.rfind(expected, 0), 0u) << message;
    // A percentage in fixed notation with six decimals.
    const std::string figure = message.substr(expected.size());
    EXPECT_TRUE(figure.size() > 8 && figure.back() == '%' && figure[figure.size() - 8] == '.') << figure;
  }
}

TEST(SparseCheck, UnreadableSpaceGivesAnUnknownFigure) {
  LogSink log;
  TempDir dir;
  TaskModule module;
  module.options_.tmp_operation_directory = dir / "no-such-directory";
  const std::string holes = dir / "holes";
  {
    std::ofstream out(holes, std::ios_base::binary);
    out.seekp(64 * 1024 * 1024);
    out << 'x';
  }
  EXPECT_EQ(module.check_file_to_restore_for_sparse(holes), 7);
  ASSERT_EQ(log.messages().size(), 2u);
  EXPECT_EQ(log.messages()[0].rfind("Warning: " + kSparseSig + ": unable to get space info of \"" +
                                        (dir / "no-such-directory") + "\", error: system:2", 0),
            0u)
      << log.messages()[0];
  const std::string tail = "\" folder. Free space is: Unknown";
  const std::string error = log.messages()[1];
  ASSERT_GT(error.size(), tail.size());
  EXPECT_EQ(error.substr(error.size() - tail.size()), tail);
}

}  // namespace
