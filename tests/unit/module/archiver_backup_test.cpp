// The backup archiver command, its local run, the archiver list file and the
// closing step of a backup.
#include "archiver_test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include <sys/stat.h>

namespace {

namespace fs = boost::filesystem;
using hx_archiver_test::archiver_installed;
using hx_archiver_test::logged;
using hx_archiver_test::logged_hxfd_command;
using hx_archiver_test::read_file;
using hx_archiver_test::TaskModule;
using hx_archiver_test::TempDir;
using hx_test::LogSink;

const std::string kCmdSig = "bool HxModuleUniversal::make_backup_cmd_common(std::string&)";
const std::string kLocallySig = "bool HxModuleUniversal::make_backup_locally()";
const std::string kCloseSig = "bool HxModuleUniversal::close_backup(const bool&)";
const std::string kListSig =
    "bool HxModuleUniversal::add_to_hxfd_list_file(const string&, const std::map<std::__cxx11::basic_string<char>, "
    "std::__cxx11::basic_string<char> >&, bool)";
const std::string kHead = "cd / && /opt/halvex/bin/hxfd -a sha2 -2  -b 16384";
const std::string kKeys = " -x /opt/halvex/keys/master-key,/opt/halvex/keys/secret-key.pem";

// A backup task in a temporary directory T with archive name db1 and its list file.
class BackupCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    module_.options_.mode = HxModuleMode::Backup;
    module_.options_.resource = "/srv/data";
    module_.options_.tmp_operation_directory = dir_.str();
    module_.options_.archive_name = "db1";
    module_.options_.restriction_list_file = dir_ / "restriction.list";
    list_file_ = dir_.write("db1.hxfd.list", "HXFD file list:\n");
    module_.options_.resource_list_file = list_file_;
  }

  std::string common() {
    std::string command = "previous text";
    EXPECT_TRUE(module_.make_backup_cmd_common(command));
    return command;
  }

  TempDir dir_;
  TaskModule module_;
  std::string list_file_;
};

TEST_F(BackupCommand, DefaultsOfAFullBackup) {
  EXPECT_EQ(common(), kHead + " -c " + list_file_ + kKeys + " -z None");
}

TEST_F(BackupCommand, HashLengthOtherThan256GivesFlag5) {
  module_.hxd_hash_length_ = 512;
  module_.hxd_hash_algorithm_ = "gost";
  module_.hxd_block_size_ = 65536;
  EXPECT_EQ(common(), "cd / && /opt/halvex/bin/hxfd -a gost -5  -b 65536 -c " + list_file_ + kKeys + " -z None");
}

TEST_F(BackupCommand, ParallelismOtherThanOne) {
  module_.options_.parallelism = 0;
  EXPECT_EQ(common(), kHead + " -c " + list_file_ + " -p 0" + kKeys + " -z None");
  module_.options_.parallelism = 8;
  EXPECT_EQ(common(), kHead + " -c " + list_file_ + " -p 8" + kKeys + " -z None");
}

TEST_F(BackupCommand, LocalRestrictionsJoinTheKeyList) {
  module_.options_.local_restrictions = true;
  // Missing list: the "," stands alone.
  EXPECT_EQ(common(), kHead + " -c " + list_file_ + kKeys + "," + " -z None");
  // Empty list: the same.
  dir_.write("restriction.list", "");
  EXPECT_EQ(common(), kHead + " -c " + list_file_ + kKeys + "," + " -z None");
  // Entries in file order; an entry with a blank and a quote stays part of the one word.
  dir_.write("restriction.list", "/srv/a\n/srv/b c's\n\n/srv/d");
  EXPECT_EQ(common(), kHead + " -c " + list_file_ + kKeys + ",/srv/a,'/srv/b c'\\''s',,/srv/d" + " -z None");
}

TEST_F(BackupCommand, NumericOwnerCompressionAndMemoryThreshold) {
  module_.numeric_owner_ = true;
  module_.options_.compress = 4;
  module_.options_.memory_threshold = 512;
  EXPECT_EQ(common(), kHead + " -c " + list_file_ + kKeys + " --numeric-owner -z best --memory-threshold 512");
  module_.options_.compress = 0;
  EXPECT_EQ(common(), kHead + " -c " + list_file_ + kKeys + " --numeric-owner --memory-threshold 512");
  module_.options_.compress = 2;
  module_.options_.memory_threshold = 0;
  EXPECT_EQ(common(), kHead + " -c " + list_file_ + kKeys + " --numeric-owner -z fast");
}

TEST_F(BackupCommand, IncrementalNeedsTheReferenceMeta) {
  for (int type : {HxBackupType::Incremental, HxBackupType::Differential}) {
    LogSink log;
    module_.options_.backup_type = type;
    module_.options_.resolved_meta_file.clear();
    std::string command;
    EXPECT_FALSE(module_.make_backup_cmd_common(command));
    EXPECT_TRUE(logged(log, "Error: " + kCmdSig + ": you must define reference snapshot name (-s option)"));
    module_.options_.resolved_meta_file = "/t/db0.snap_dir/db0.meta";
    EXPECT_EQ(common(), kHead + " -c " + list_file_ + kKeys + " -S /t/db0.snap_dir/db0.meta -z None");
  }
}

TEST_F(BackupCommand, IncrementalWithoutReferenceSnapshot) {
  module_.options_.backup_type = HxBackupType::Incremental;
  module_.without_reference_snapshot_ = true;
  EXPECT_EQ(common(), kHead + " -c " + list_file_ + kKeys + " -z None");
}

TEST_F(BackupCommand, WrongBackupType) {
  LogSink log;
  module_.options_.backup_type = 7;
  std::string command;
  EXPECT_FALSE(module_.make_backup_cmd_common(command));
  EXPECT_TRUE(logged(log, "Error: " + kCmdSig + ": wrong backup type: 7"));
}

TEST_F(BackupCommand, ListFileMustBeAnExistingRegularFile) {
  {
    LogSink log;
    module_.options_.resource_list_file = dir_ / "missing.list";
    std::string command;
    EXPECT_FALSE(module_.make_backup_cmd_common(command));
    EXPECT_TRUE(logged(log, "Error: " + kCmdSig + ": resource list file doesn't exist: " + (dir_ / "missing.list")));
  }
  {
    LogSink log;
    fs::create_directories(dir_ / "a.list");
    module_.options_.resource_list_file = dir_ / "a.list";
    std::string command;
    EXPECT_FALSE(module_.make_backup_cmd_common(command));
    EXPECT_TRUE(logged(log, "Error: " + kCmdSig + ": resource list file is not a regular file: " + (dir_ / "a.list")));
  }
}

TEST_F(BackupCommand, WithoutListFileTheResourceItself) {
  module_.options_.resource_list_file.clear();
  module_.options_.resource = dir_.write("dump.sql", "data");
  EXPECT_EQ(common(), kHead + " -c " + module_.options_.resource + kKeys + " -z None");
  // A directory resource: the archiver takes its working directory.
  module_.options_.resource = dir_.str();
  EXPECT_EQ(common(), kHead + " -c . " + kKeys + " -z None");
}

TEST_F(BackupCommand, ValuesWithShellCharactersAreQuoted) {
  const std::string odd = dir_ / "list it's; rm -rf x";
  dir_.write("list it's; rm -rf x", "HXFD file list:\n");
  module_.options_.resource_list_file = odd;
  module_.hxd_hash_algorithm_ = "sha2;reboot";
  EXPECT_EQ(common(), "cd / && /opt/halvex/bin/hxfd -a 'sha2;reboot' -2  -b 16384 -c '" + dir_.str() +
                          "/list it'\\''s; rm -rf x'" + kKeys + " -z None");
}

// ---- make_backup_locally: the command the archiver gets -------------------

class BackupLocally : public BackupCommand {
 protected:
  void SetUp() override {
    BackupCommand::SetUp();
    if (archiver_installed()) GTEST_SKIP() << "an archiver is installed on this host";
  }
};

TEST_F(BackupLocally, AutonomousCommandOfTheDefaults) {
  LogSink log;
  module_.options_.autonomous = true;
  umask(022);
  EXPECT_FALSE(module_.make_backup_locally());  // no archiver outside the test bed
  const std::string T = dir_.str();
  const std::string expected = "cd / && /opt/halvex/bin/hxfd -a sha2 -2  -b 16384 -c " + T +
                               "/db1.hxfd.list -x /opt/halvex/keys/master-key,/opt/halvex/keys/secret-key.pem "
                               "-z None -n " + T + "/db1.hxfd -m " + T + "/db1.snap_dir/db1.meta 2>&1";
  EXPECT_EQ(logged_hxfd_command(log), expected);
  EXPECT_TRUE(logged(log, "Error: " + kLocallySig + ": " + expected));
  bool out_logged = false;
  for (const std::string& message : log.messages()) {
    if (message.rfind("Error: hxfd out: ", 0) == 0 && message.find("not found") != std::string::npos) {
      out_logged = true;
    }
  }
  EXPECT_TRUE(out_logged);
  EXPECT_FALSE(module_.hxfd_succeeded_);
  EXPECT_EQ(module_.hxfd_pid_, 0);
  // The mask is private again after the run.
  const mode_t mask = umask(022);
  EXPECT_EQ(mask, 077u);
}

TEST_F(BackupLocally, MediaServerSignatureRestrictionsAndEncryption) {
  LogSink log;
  module_.options_.media_server = "ms1.example:4000";
  module_.options_.task_id = "task-17";
  module_.options_.dgst = true;
  module_.options_.local_restrictions = true;
  dir_.write("restriction.list", "/srv/no");
  module_.options_.crypto = "kuznyechik";
  module_.options_.key_file = dir_.write("key.bin", "k");
  EXPECT_FALSE(module_.make_backup_locally());
  const std::string T = dir_.str();
  EXPECT_EQ(logged_hxfd_command(log),
            kHead + " -c " + list_file_ + kKeys + ",/srv/no -z None -M ms1.example:4000 -N db1 -T task-17 -s " +
                "/opt/halvex/var/tasks//task_secret_task-17 -m " + T + "/db1.snap_dir/db1.meta -g " + T +
                "/db1.signature --passin /opt/halvex/keys/master-key --sign /opt/halvex/keys/secret-key.pem -X " + T +
                "/restriction.list -C kuznyechik -k " + T + "/key.bin 2>&1");
}

TEST_F(BackupLocally, KeyFileChecksComeBeforeAnyRun) {
  {
    LogSink log;
    module_.options_.crypto = "kuznyechik";
    EXPECT_FALSE(module_.make_backup_locally());
    EXPECT_TRUE(logged(log, "Error: you must define key file"));
    EXPECT_EQ(logged_hxfd_command(log), "");
  }
  {
    LogSink log;
    module_.options_.key_file = dir_ / "no-such-key";
    EXPECT_FALSE(module_.make_backup_locally());
    EXPECT_TRUE(logged(log, "Error: there is no key file: " + (dir_ / "no-such-key")));
    EXPECT_EQ(logged_hxfd_command(log), "");
  }
}

TEST_F(BackupLocally, NamesWithShellCharactersAreQuoted) {
  LogSink log;
  module_.options_.archive_name = "db 1;x'y";
  module_.options_.media_server = "ms one";
  module_.options_.task_id = "t;1";
  EXPECT_FALSE(module_.make_backup_locally());
  const std::string T = dir_.str();
  EXPECT_EQ(logged_hxfd_command(log), kHead + " -c " + list_file_ + kKeys +
                                          " -z None -M 'ms one' -N 'db 1;x'\\''y' -T 't;1' -s "
                                          "'/opt/halvex/var/tasks//task_secret_t;1' -m '" + T +
                                          "/db 1;x'\\''y.snap_dir/db 1;x'\\''y.meta' 2>&1");
}

TEST_F(BackupLocally, MakeBackupRunsLocallyOrRefusesARemoteHost) {
  {
    LogSink log;
    EXPECT_FALSE(module_.make_backup());
    EXPECT_NE(logged_hxfd_command(log), "");
  }
  {
    LogSink log;
    module_.options_.remote_host = "backup-host";
    EXPECT_FALSE(module_.make_backup());
    EXPECT_EQ(logged_hxfd_command(log), "");  // nothing was run
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_EQ(log.messages()[0].rfind("Error: bool HxModuleUniversal::make_backup_remotely(): ", 0), 0u);
  }
}

// ---- the archiver list file ---------------------------------------------------

TEST(ArchiverListFile, HeaderThenRecordsInKeyOrder) {
  LogSink log;
  TempDir dir;
  TaskModule module;
  const std::string path = dir / "db1.hxfd.list";
  const std::map<std::string, std::string> records = {{"/srv/b", "srv/b"}, {"/srv/a", "srv/a"}};
  EXPECT_TRUE(module.add_to_hxfd_list_file(path, records, false));
  EXPECT_EQ(read_file(path), "HXFD file list:\n   /srv/a : srv/a\n   /srv/b : srv/b\n");
  EXPECT_EQ(log.messages(), (std::vector<std::string>{
                                "Info: Adding record to hxfd file list: HXFD file list:",
                                "Info: Adding record to hxfd file list: /srv/a : srv/a",
                                "Info: Adding record to hxfd file list: /srv/b : srv/b"}));

  // Appending adds only the record lines.
  EXPECT_TRUE(module.add_to_hxfd_list_file(path, {{"/wal/0001", "wal/0001"}}, true));
  EXPECT_EQ(read_file(path), "HXFD file list:\n   /srv/a : srv/a\n   /srv/b : srv/b\n   /wal/0001 : wal/0001\n");

  // Not appending starts afresh.
  EXPECT_TRUE(module.add_to_hxfd_list_file(path, {{"/x y", "x y"}}, false));
  EXPECT_EQ(read_file(path), "HXFD file list:\n   /x y : x y\n");

  // Without records, only the header.
  EXPECT_TRUE(module.add_to_hxfd_list_file(path, {}, false));
  EXPECT_EQ(read_file(path), "HXFD file list:\n");
}

TEST(ArchiverListFile, UnwritablePathFails) {
  LogSink log;
  TaskModule module;
  EXPECT_FALSE(module.add_to_hxfd_list_file("/nonexistent-hx-dir/db1.hxfd.list", {{"/a", "a"}}, false));
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"Error: " + kListSig + ": can't create hxfd list file"}));
}

// ---- the closing step ------------------------------------------------------------

class CloseBackup : public BackupCommand {
 protected:
  void SetUp() override {
    BackupCommand::SetUp();
    fs::create_directories(module_.leveldb_directory_path());
    std::ofstream(module_.meta_filename()) << "meta";
  }

  bool close(bool replica, std::string& printed) {
    testing::internal::CaptureStdout();
    const bool result = module_.close_backup(replica);
    printed = testing::internal::GetCapturedStdout();
    return result;
  }
};

TEST_F(CloseBackup, PacksPrintsAndCleansUp) {
  LogSink log;
  const std::string reference = dir_ / "db0.snap_dir";
  fs::create_directories(reference);
  module_.reference_snapshot_directory_ = reference;
  std::string printed;
  EXPECT_TRUE(close(false, printed));
  const std::string T = dir_.str();
  EXPECT_EQ(printed, "MAIN ARCHIVE FILENAME:" + T + "/db1.snap\nMAIN SNAPSHOT FILENAME:" + T +
                         "/db1.snap\nMAIN ARCHIVE SIGN FILENAME:" + T + "/db1.signature\n");
  EXPECT_TRUE(fs::is_regular_file(T + "/db1.snap"));
  std::string listing;
  ASSERT_EQ(hx_utils_common::execute_command("/bin/tar tzf " + T + "/db1.snap", listing), 0);
  EXPECT_EQ(listing, "./\n./db1.meta\n");  // the leveldb directory was removed before packing
  EXPECT_FALSE(fs::exists(module_.snapshot_directory_path()));
  EXPECT_FALSE(fs::exists(reference));
  EXPECT_TRUE(logged(log, "Info: Remove obsolete file: " + reference));
  EXPECT_TRUE(logged(log, "Info: The task to make a full backup of resource '/srv/data' completed successfully\n"));
  EXPECT_TRUE(module_.calls.empty());  // no archiving without the capability
}

TEST_F(CloseBackup, AutonomousMainFileAndTypeWords) {
  LogSink log;
  module_.options_.autonomous = true;
  module_.options_.backup_type = HxBackupType::Differential;
  std::string printed;
  EXPECT_TRUE(close(true, printed));
  const std::string T = dir_.str();
  EXPECT_EQ(printed, "MAIN ARCHIVE FILENAME:" + T + "/db1.hxfd\nMAIN SNAPSHOT FILENAME:" + T +
                         "/db1.snap\nMAIN ARCHIVE SIGN FILENAME:" + T + "/db1.hxfd.signature\n");
  EXPECT_TRUE(
      logged(log, "Info: The task to make a differential backup of resource '/srv/data' completed successfully\n"));
}

TEST_F(CloseBackup, ArchivingNeedsCapabilityAndOption) {
  LogSink log;
  module_.options_.archiving = true;
  module_.options_.capabilities[HxModuleCapability::Archiving] = true;
  module_.options_.backup_type = HxBackupType::Incremental;
  std::string printed;
  EXPECT_TRUE(close(false, printed));
  EXPECT_EQ(module_.calls, (std::vector<std::string>{"make_archiving"}));
  EXPECT_TRUE(
      logged(log, "Info: The task to make an incremental backup of resource '/srv/data' completed successfully\n"));
}

TEST_F(CloseBackup, PackFailureKeepsTheSnapshotDirectory) {
  LogSink log;
  // A directory in the way of the snapshot file makes tar fail.
  fs::create_directories(module_.snapshot_filename());
  std::string printed;
  EXPECT_FALSE(close(false, printed));
  EXPECT_TRUE(logged(log, "Error: " + kCloseSig + ": can't create the main snapshot file: "));
  EXPECT_EQ(printed, "");
  EXPECT_TRUE(fs::exists(module_.meta_filename()));
}

TEST_F(CloseBackup, FailedListingFailsTheBackup) {
  if (archiver_installed()) GTEST_SKIP() << "an archiver is installed on this host";
  LogSink log;
  module_.file_list_ = true;
  std::ofstream(module_.snapshot_filename()) << "the main file exists";
  const std::string reference = dir_ / "db0.snap_dir";
  fs::create_directories(reference);
  module_.reference_snapshot_directory_ = reference;
  std::string printed;
  EXPECT_FALSE(close(false, printed));
  const std::string command = "/opt/halvex/bin/hxfd -l '" + module_.meta_filename() + "' -v 1";
  EXPECT_TRUE(logged(log, "Error: " + kCloseSig + ": command produced error: " + command));
  EXPECT_TRUE(logged(log, "Error: Command output start: ---------------------------------------------- "));
  EXPECT_TRUE(logged(log, "Error: Command output end ------------------------------------------------- "));
  EXPECT_EQ(printed.find("FILE LISTING"), std::string::npos);
  EXPECT_TRUE(fs::exists(module_.snapshot_directory_path()));
  EXPECT_TRUE(fs::exists(reference));
}

TEST_F(CloseBackup, NoListingForAReplicaOrWithoutTheMainFile) {
  LogSink log;
  module_.file_list_ = true;
  std::string printed;
  // The snapshot file is packed by the step itself, so it exists: a replica never lists.
  EXPECT_TRUE(close(true, printed));
  EXPECT_EQ(printed.find("FILE LISTING"), std::string::npos);
}

}  // namespace
