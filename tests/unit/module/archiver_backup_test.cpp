// The exact backup archiver command, its local run, the archiver list file and
// the closing step of a backup.
#include "archiver_test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = boost::filesystem;
using namespace hx_archiver_test;

const std::string kCmdSig = "bool HxModuleUniversal::make_backup_cmd_common(std::string&)";
const std::string kCloseSig = "bool HxModuleUniversal::close_backup(const bool&)";
const std::string kListSig =
    "Error: bool HxModuleUniversal::add_to_hxfd_list_file(const string&, const "
    "std::map<std::__cxx11::basic_string<char>, std::__cxx11::basic_string<char> >&, bool)";
const std::string kHead = "cd / && /opt/halvex/bin/hxfd -a sha2 -2  -b 16384";
const std::string kKeys = " -x /opt/halvex/keys/master-key,/opt/halvex/keys/secret-key.pem";

// A backup task of /srv/data in a temporary directory T, archive name db1, with its list file.
class BackupCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    module_.options_.mode = HxModuleMode::Backup;
    module_.options_.resource = "/srv/data";
    module_.options_.tmp_operation_directory = T;
    module_.options_.archive_name = "db1";
    module_.options_.restriction_list_file = dir_ / "restriction.list";
    module_.options_.resource_list_file = list_;
  }

  // make_backup_cmd_common's text (it replaces what the string held).
  std::string common() {
    std::string command = "previous text";
    EXPECT_TRUE(module_.make_backup_cmd_common(command));
    return command;
  }
  // make_backup_cmd_common fails with the Error line `message`.
  void common_fails(const std::string& message) {
    LogCapture log;
    std::string command;
    EXPECT_FALSE(module_.make_backup_cmd_common(command));
    EXPECT_TRUE(log.has("Error: " + kCmdSig + ": " + message)) << message;
  }
  // The command make_backup_locally ran (the run fails: no archiver outside the test bed).
  std::string local_command() {
    LogCapture log;
    EXPECT_FALSE(module_.make_backup_locally());
    return logged_hxfd_command(log);
  }

  TempDir dir_;
  const std::string T = dir_.str();
  const std::string list_ = dir_.write("db1.hxfd.list", "HXFD file list:\n");
  TaskModule module_;
};

TEST_F(BackupCommand, HeadSettings) {
  EXPECT_EQ(common(), kHead + " -c " + list_ + kKeys + " -z None");
  module_.options_.parallelism = 0;
  EXPECT_EQ(common(), kHead + " -c " + list_ + " -p 0" + kKeys + " -z None");
  module_.hxd_hash_length_ = 512;
  module_.hxd_hash_algorithm_ = "gost";
  module_.hxd_block_size_ = 65536;
  module_.options_.parallelism = 8;
  EXPECT_EQ(common(), "cd / && /opt/halvex/bin/hxfd -a gost -5  -b 65536 -c " + list_ + " -p 8" + kKeys + " -z None");
}

TEST_F(BackupCommand, NumericOwnerCompressionAndMemoryThreshold) {
  module_.numeric_owner_ = true;
  module_.options_.compress = 4;
  module_.options_.memory_threshold = 512;
  EXPECT_EQ(common(), kHead + " -c " + list_ + kKeys + " --numeric-owner -z best --memory-threshold 512");
  module_.options_.compress = 0;
  EXPECT_EQ(common(), kHead + " -c " + list_ + kKeys + " --numeric-owner --memory-threshold 512");
  module_.options_.compress = 2;
  module_.options_.memory_threshold = 0;
  EXPECT_EQ(common(), kHead + " -c " + list_ + kKeys + " --numeric-owner -z fast");
}

TEST_F(BackupCommand, LocalRestrictionsJoinTheKeyList) {
  module_.options_.local_restrictions = true;
  EXPECT_EQ(common(), kHead + " -c " + list_ + kKeys + ", -z None");  // missing list: "," alone
  dir_.write("restriction.list", "");
  EXPECT_EQ(common(), kHead + " -c " + list_ + kKeys + ", -z None");
  // Entries in file order; one with a blank and a quote stays part of the one word.
  dir_.write("restriction.list", "/srv/a\n/srv/b c's\n\n/srv/d");
  EXPECT_EQ(common(), kHead + " -c " + list_ + kKeys + ",/srv/a,'/srv/b c'\\''s',,/srv/d -z None");
}

TEST_F(BackupCommand, BackupTypes) {
  for (int type : {HxBackupType::Incremental, HxBackupType::Differential}) {
    module_.options_.backup_type = type;
    module_.options_.resolved_meta_file.clear();
    common_fails("you must define reference snapshot name (-s option)");
    module_.options_.resolved_meta_file = "/t/db0.snap_dir/db0.meta";
    EXPECT_EQ(common(), kHead + " -c " + list_ + kKeys + " -S /t/db0.snap_dir/db0.meta -z None");
  }
  module_.without_reference_snapshot_ = true;
  module_.options_.resolved_meta_file.clear();
  EXPECT_EQ(common(), kHead + " -c " + list_ + kKeys + " -z None");
  module_.options_.backup_type = 7;
  common_fails("wrong backup type: 7");
}

TEST_F(BackupCommand, ListFileOrTheResourceItself) {
  module_.options_.resource_list_file = dir_ / "missing.list";
  common_fails("resource list file doesn't exist: " + (dir_ / "missing.list"));
  fs::create_directories(dir_ / "a.list");
  module_.options_.resource_list_file = dir_ / "a.list";
  common_fails("resource list file is not a regular file: " + (dir_ / "a.list"));
  module_.options_.resource_list_file.clear();
  module_.options_.resource = dir_.write("dump.sql", "data");
  EXPECT_EQ(common(), kHead + " -c " + module_.options_.resource + kKeys + " -z None");
  module_.options_.resource = T;  // a directory: the archiver takes its working directory
  EXPECT_EQ(common(), kHead + " -c . " + kKeys + " -z None");
}

TEST_F(BackupCommand, ValuesWithShellCharactersAreQuoted) {
  module_.options_.resource_list_file = dir_.write("list it's; rm -rf x", "HXFD file list:\n");
  module_.hxd_hash_algorithm_ = "sha2;reboot";
  EXPECT_EQ(common(),
            "cd / && /opt/halvex/bin/hxfd -a 'sha2;reboot' -2  -b 16384 -c '" + T + "/list it'\\''s; rm -rf x'" + kKeys +
                " -z None");
  HX_SKIP_UNLESS_WITHOUT_ARCHIVER();
  module_.options_.resource_list_file = list_;
  module_.hxd_hash_algorithm_ = "sha2";
  module_.options_.archive_name = "db 1;x'y";
  module_.options_.media_server = "ms one";
  module_.options_.task_id = "t;1";
  EXPECT_EQ(local_command(), kHead + " -c " + list_ + kKeys +
                                 " -z None -M 'ms one' -N 'db 1;x'\\''y' -T 't;1' -s "
                                 "'/opt/halvex/var/tasks//task_secret_t;1' -m '" + T +
                                 "/db 1;x'\\''y.snap_dir/db 1;x'\\''y.meta' 2>&1");
}

TEST_F(BackupCommand, LocalRunOfTheAutonomousDefaults) {
  HX_SKIP_UNLESS_WITHOUT_ARCHIVER();
  LogCapture log;
  module_.options_.autonomous = true;
  umask(022);
  EXPECT_FALSE(module_.make_backup_locally());
  const std::string expected = "cd / && /opt/halvex/bin/hxfd -a sha2 -2  -b 16384 -c " + T +
                               "/db1.hxfd.list -x /opt/halvex/keys/master-key,/opt/halvex/keys/secret-key.pem "
                               "-z None -n " + T + "/db1.hxfd -m " + T + "/db1.snap_dir/db1.meta 2>&1";
  EXPECT_EQ(logged_hxfd_command(log), expected);
  EXPECT_TRUE(log.has("Error: bool HxModuleUniversal::make_backup_locally(): " + expected));
  bool out_logged = false;
  for (const std::string& message : log.messages()) {
    out_logged |= message.rfind("Error: hxfd out: ", 0) == 0 && message.find("not found") != std::string::npos;
  }
  EXPECT_TRUE(out_logged);
  EXPECT_FALSE(module_.hxfd_succeeded_);
  EXPECT_EQ(module_.hxfd_pid_, 0);
  EXPECT_EQ(umask(022), 077u);  // the mask is private again after the run
}

TEST_F(BackupCommand, LocalRunThroughAMediaServerWithEveryOption) {
  HX_SKIP_UNLESS_WITHOUT_ARCHIVER();
  module_.options_.media_server = "ms1.example:4000";
  module_.options_.task_id = "task-17";
  module_.options_.dgst = true;
  module_.options_.local_restrictions = true;
  dir_.write("restriction.list", "/srv/no");
  module_.options_.crypto = "kuznyechik";
  module_.options_.key_file = dir_.write("key.bin", "k");
  const std::string expected =
      kHead + " -c " + list_ + kKeys + ",/srv/no -z None -M ms1.example:4000 -N db1 -T task-17 -s " +
      "/opt/halvex/var/tasks//task_secret_task-17 -m " + T + "/db1.snap_dir/db1.meta -g " + T +
      "/db1.signature --passin /opt/halvex/keys/master-key --sign /opt/halvex/keys/secret-key.pem -X " + T +
      "/restriction.list -C kuznyechik -k " + T + "/key.bin 2>&1";
  EXPECT_EQ(local_command(), expected);
  // make_backup refuses a remote host before running anything.
  module_.options_.remote_host = "backup-host";
  LogCapture log;
  EXPECT_FALSE(module_.make_backup());
  ASSERT_EQ(log.messages().size(), 1u);
  EXPECT_EQ(log.messages()[0].rfind("Error: bool HxModuleUniversal::make_backup_remotely(): ", 0), 0u);
}

// A key file or list file whose status cannot be read (a link to itself)
// fails the run before anything is started, locally and remotely.
TEST_F(BackupCommand, FilesThatCannotBeExaminedFailTheRun) {
  const std::string loop = dir_.self_link("loop");
  const std::string error = ": filesystem error: boost::filesystem::status: Too many levels of symbolic links: \"" +
                            loop + "\"";
  module_.options_.crypto = "kuznyechik";
  module_.options_.key_file = loop;
  LogCapture log;
  EXPECT_FALSE(module_.make_backup());
  module_.options_.crypto = "nocrypt";
  module_.options_.remote_host = "backup-host";
  module_.options_.resource_list_file = loop;
  EXPECT_FALSE(module_.make_backup());
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"Error: bool HxModuleUniversal::make_backup_locally()" + error,
                                                      "Error: bool HxModuleUniversal::make_backup_remotely()" + error}));
}

TEST(ArchiverListFile, HeaderThenRecordsInKeyOrder) {
  LogCapture log;
  TempDir dir;
  TaskModule module;
  const std::string path = dir / "db1.hxfd.list";
  EXPECT_TRUE(module.add_to_hxfd_list_file(path, {{"/srv/b", "srv/b"}, {"/srv/a", "srv/a"}}, false));
  EXPECT_EQ(read_file(path), "HXFD file list:\n   /srv/a : srv/a\n   /srv/b : srv/b\n");
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"Info: Adding record to hxfd file list: HXFD file list:",
                                                      "Info: Adding record to hxfd file list: /srv/a : srv/a",
                                                      "Info: Adding record to hxfd file list: /srv/b : srv/b"}));
  EXPECT_TRUE(module.add_to_hxfd_list_file(path, {{"/wal/0001", "wal/0001"}}, true));  // appends the records only
  EXPECT_EQ(read_file(path), "HXFD file list:\n   /srv/a : srv/a\n   /srv/b : srv/b\n   /wal/0001 : wal/0001\n");
  EXPECT_TRUE(module.add_to_hxfd_list_file(path, {}, false));  // starts afresh
  EXPECT_EQ(read_file(path), "HXFD file list:\n");
  log.clear();
  EXPECT_FALSE(module.add_to_hxfd_list_file("/nonexistent-hx-dir/db1.hxfd.list", {{"/a", "a"}}, false));
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{"Error: bool HxModuleUniversal::add_to_hxfd_list_file(const string&, const "
                                      "std::map<std::__cxx11::basic_string<char>, std::__cxx11::basic_string<char> >&, "
                                      "bool): can't create hxfd list file"}));
  // A full disk (here a file-size limit): the file opens, its lines do not all reach it.
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit small{20, saved.rlim_max};
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  EXPECT_FALSE(module.add_to_hxfd_list_file(path, {{"/a", "a"}}, false));
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_EQ(log.messages().back(), kListSig + ": can't write hxfd list file completely: " + path);

  // Nothing planted at its path is written through, waited for or removed: a
  // link (its target stays as it is), a FIFO, a second name of another file
  // or another account's file is refused, fresh list or appended one.
  const std::string target = dir.write("target", "kept\n");
  const std::string link = dir / "link.list", fifo = dir / "fifo.list", hard = dir / "hard.list";
  const std::string foreign = dir.write("foreign.list", "HXFD file list:\n");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(::link(target.c_str(), hard.c_str()), 0);
  ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // a FIFO that would take the list
  const std::vector<std::pair<std::string, std::string>> planted{{link, "a symbolic link owned by uid 0"},
                                                                 {fifo, "a FIFO owned by uid 0"},
                                                                 {hard, "a regular file owned by uid 0 with 2 names"},
                                                                 {foreign, "a regular file owned by uid 65534"}};
  for (const auto& entry : planted) {
    for (const bool append : {false, true}) {
      log.clear();
      EXPECT_FALSE(module.add_to_hxfd_list_file(entry.first, {{"/a", "a"}}, append));
      EXPECT_EQ(log.messages(),
                (std::vector<std::string>{kListSig + ": can't use " + entry.first + ": " + entry.second +
                                              ", which another account could have placed; it is neither used nor "
                                              "removed",
                                          kListSig + ": can't create hxfd list file"}));
    }
  }
  char byte = 0;
  EXPECT_EQ(read(reader, &byte, 1), 0);
  close(reader);
  EXPECT_EQ(read_file(target), "kept\n");
  EXPECT_EQ(read_file(foreign), "HXFD file list:\n");
  // A list that others may write is not appended to: lines they add would
  // be archived as root's.
  chmod(path.c_str(), 0666);
  log.clear();
  EXPECT_FALSE(module.add_to_hxfd_list_file(path, {{"/a", "a"}}, true));
  EXPECT_EQ(log.messages().front(), kListSig + ": can't use " + path + ": a regular file owned by uid 0 that group or "
                                    "others may write, which another account could have placed; it is neither used "
                                    "nor removed");

  // No record becomes another line or another path when the archiver splits
  // its line at the first " : ": refused, nothing written.
  const std::string list = dir.write("kept.list", "HXFD file list:\n");
  const std::string line_end = "it holds a line end or another control character";
  const std::string split = "its path holds \" : \", where the line would be split";
  for (const auto& record : std::vector<std::vector<std::string>>{{"/w/0001 : x\n   srv : y", "w/0001", line_end},
                                                                  {"/w/0001", "w/0001\r", line_end},
                                                                  {"/w/a : b", "w/a", split},
                                                                  {"/w/a :", "w/a", split}}) {
    log.clear();
    EXPECT_FALSE(module.add_to_hxfd_list_file(list, {{"/a", "a"}, {record[0], record[1]}}, true)) << record[0];
    EXPECT_EQ(log.messages(), std::vector<std::string>{kListSig + ": can't write the record " +
                                                       HxDestination::printable(record[0]) + " : " +
                                                       HxDestination::printable(record[1]) +
                                                       " as one line of the list file: " + record[2]});
  }
  EXPECT_EQ(read_file(list), "HXFD file list:\n");
}

// The closing step, with a snapshot directory holding a leveldb directory and the meta file.
class CloseBackup : public BackupCommand {
 protected:
  void SetUp() override {
    BackupCommand::SetUp();
    fs::create_directories(module_.leveldb_directory_path());
    std::ofstream(module_.meta_filename()) << "meta";
    fs::create_directories(reference_);
    module_.reference_snapshot_directory_ = reference_;
  }
  // close_backup's result; what it printed goes to `printed_`.
  bool close(bool replica) {
    testing::internal::CaptureStdout();
    const bool result = module_.close_backup(replica);
    printed_ = testing::internal::GetCapturedStdout();
    return result;
  }
  const std::string reference_ = dir_ / "db0.snap_dir";
  std::string printed_;
};

TEST_F(CloseBackup, PacksPrintsAndCleansUp) {
  LogCapture log;
  EXPECT_TRUE(close(false));
  EXPECT_EQ(printed_, "MAIN ARCHIVE FILENAME:" + T + "/db1.snap\nMAIN SNAPSHOT FILENAME:" + T +
                          "/db1.snap\nMAIN ARCHIVE SIGN FILENAME:" + T + "/db1.signature\n");
  std::string listing;
  ASSERT_EQ(hx_utils_common::execute_command("/bin/tar tzf " + T + "/db1.snap", listing), 0);
  EXPECT_EQ(listing, "./\n./db1.meta\n");  // the leveldb directory was removed before packing
  EXPECT_FALSE(fs::exists(module_.snapshot_directory_path()));
  EXPECT_FALSE(fs::exists(reference_));
  EXPECT_TRUE(log.has("Info: Remove obsolete file: " + reference_));
  EXPECT_TRUE(log.has("Info: The task to make a full backup of resource '/srv/data' completed successfully\n"));
  EXPECT_TRUE(module_.calls.empty());  // no archiving without the capability
}

TEST_F(CloseBackup, AutonomousNamesTypeWordsAndArchiving) {
  LogCapture log;
  module_.options_.autonomous = true;
  module_.options_.backup_type = HxBackupType::Differential;
  EXPECT_TRUE(close(true));
  EXPECT_EQ(printed_, "MAIN ARCHIVE FILENAME:" + T + "/db1.hxfd\nMAIN SNAPSHOT FILENAME:" + T +
                          "/db1.snap\nMAIN ARCHIVE SIGN FILENAME:" + T + "/db1.hxfd.signature\n");
  EXPECT_TRUE(log.has("Info: The task to make a differential backup of resource '/srv/data' completed successfully\n"));
  SetUp();  // a fresh snapshot directory
  module_.options_.archiving = true;
  module_.options_.capabilities[HxModuleCapability::Archiving] = true;
  module_.options_.backup_type = HxBackupType::Incremental;
  EXPECT_TRUE(close(false));
  EXPECT_EQ(module_.calls, (std::vector<std::string>{"make_archiving"}));
  EXPECT_TRUE(log.has("Info: The task to make an incremental backup of resource '/srv/data' completed successfully\n"));
  SetUp();
  module_.options_.backup_type = 7;  // no type word
  EXPECT_TRUE(close(false));
  EXPECT_TRUE(log.has("Info: The task to make  backup of resource '/srv/data' completed successfully\n"));
}

TEST_F(CloseBackup, MainFileThatCannotBeExaminedFailsTheListing) {
  LogCapture log;
  module_.options_.autonomous = true;
  module_.file_list_ = true;
  const std::string loop = dir_.self_link("db1.hxfd");  // the main file
  EXPECT_FALSE(close(false));
  EXPECT_EQ(printed_.rfind("MAIN ARCHIVE FILENAME:" + loop + "\n", 0), 0u);
  EXPECT_EQ(log.messages().back(), "Error: " + kCloseSig +
                                       ": filesystem error: boost::filesystem::status: Too many levels of symbolic "
                                       "links: \"" + loop + "\"");
  EXPECT_TRUE(fs::exists(module_.snapshot_directory_path()));
}

// Anything at the snapshot file's name that is not a file the task made (a
// directory; a link, never written through) fails the closing step, and
// stays; so does the snapshot directory.
TEST_F(CloseBackup, PackFailureKeepsTheSnapshotDirectory) {
  LogCapture log;
  const std::string target = dir_.write("kept", "kept");
  fs::create_directories(module_.snapshot_filename());
  for (const std::string found : {"a directory", "a symbolic link"}) {
    log.clear();
    EXPECT_FALSE(close(false));
    EXPECT_EQ(log.messages(), (std::vector<std::string>{
                                  "Error: " + kCloseSig + ": can't use " + module_.snapshot_filename() + ": " + found +
                                      " owned by uid 0, which another account could have placed; it is neither used "
                                      "nor removed",
                                  "Error: " + kCloseSig + ": can't create the main snapshot file: "}));
    EXPECT_EQ(printed_, "");
    EXPECT_TRUE(fs::exists(module_.meta_filename()));
    fs::remove(module_.snapshot_filename());
    fs::create_symlink(target, module_.snapshot_filename());
  }
  EXPECT_EQ(read_file(target), "kept");
  // tar cannot write the file the task made (a full disk; here a file-size limit).
  fs::remove(module_.snapshot_filename());
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit small{20, saved.rlim_max};
  setrlimit(RLIMIT_FSIZE, &small);
  log.clear();
  EXPECT_FALSE(close(false));
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_TRUE(log.has("Error: " + kCloseSig + ": can't create the main snapshot file: "));
  EXPECT_TRUE(fs::exists(module_.meta_filename()));
}

TEST_F(CloseBackup, FailedListingFailsTheBackupAndKeepsTheDirectories) {
  HX_SKIP_UNLESS_WITHOUT_ARCHIVER();
  LogCapture log;
  module_.file_list_ = true;
  EXPECT_FALSE(close(false));
  EXPECT_TRUE(log.has("Error: " + kCloseSig + ": command produced error: /opt/halvex/bin/hxfd -l '" +
                      module_.meta_filename() + "' -v 1"));
  EXPECT_TRUE(log.has("Error: Command output start: ---------------------------------------------- "));
  EXPECT_TRUE(log.has("Error: Command output end ------------------------------------------------- "));
  EXPECT_EQ(printed_.find("FILE LISTING"), std::string::npos);
  EXPECT_TRUE(fs::exists(module_.snapshot_directory_path()));
  EXPECT_TRUE(fs::exists(reference_));
}

}  // namespace
