// The restore directory, the exact unpack command, the removal of what a
// restore leaves behind, and the sparse-file check.
#include "archiver_test_support.h"

#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>

namespace {

namespace fs = boost::filesystem;
using namespace hx_archiver_test;

const std::string kRestoreSig = "bool HxModuleUniversal::make_restore(const bool&)";

class RestoreDirectory : public ::testing::Test {
 protected:
  void SetUp() override { module_.options_.mode = HxModuleMode::Restore; }
  // define_restore_directory's result for -d `tmp` and record `record`.
  int define(const std::string& tmp, const std::string& record) {
    module_.options_.tmp_operation_directory = tmp;
    module_.options_.record_id = record;
    return module_.define_restore_directory();
  }
  LogCapture log_;
  TempDir dir_;
  TaskModule module_;
};

TEST_F(RestoreDirectory, AutonomousNameFromTheArchiveFile) {
  const std::pair<std::string, std::string> cases[] = {
      {"/data/db1_FULL_2024.hxfd", "2024"}, {"/data/a_full_b_full_c.hxfd", "b"},
      {"/data/plain-name.hxfd", "plain-name"}, {"/data/x_Full_y.tar.hxfd", "y.tar"}, {"relative_full_.hxfd", ""}};
  module_.options_.autonomous = true;
  for (const auto& [record, name] : cases) {
    EXPECT_EQ(define(dir_.str(), record), 0) << record;
    EXPECT_EQ(module_.options_.tmp_operation_directory, dir_ / (name + ".rest")) << record;
  }
}

// The restore directory is made root's (0700) in a task directory no other
// account can change; one found (an archive to patch, a kept one) must be
// root's alone; every refusal says what to do.
TEST_F(RestoreDirectory, ArchiveToPatchMustExistAndEveryDirectoryBeRootsAlone) {
  const std::string s = "Error: virtual int HxModuleUniversal::define_restore_directory(): ";
  module_.options_.archive_to_patch = "old";
  EXPECT_EQ(define(dir_.str(), "R2"), 1);
  EXPECT_EQ(log_.messages(), (std::vector<std::string>{s + "catalog 'archive to patch' doesn't exist: " +
                                                       (dir_ / "old.rest")}));
  EXPECT_FALSE(fs::exists(dir_ / "old.rest") || fs::exists(dir_ / "R2.rest") || module_.restore_directory_defined_);
  fs::create_directories(dir_ / "old.rest");
  EXPECT_EQ(define(dir_.str(), "R2"), 0);
  EXPECT_EQ(module_.options_.tmp_operation_directory, dir_ / "old.rest");
  ASSERT_EQ(0, ::chown((dir_ / "old.rest").c_str(), 1, 1));
  log_.clear();
  EXPECT_EQ(define(dir_.str(), "R2"), 1);
  module_.options_.archive_to_patch.clear();
  EXPECT_EQ(define(dir_.str() + "/new/d", "R3"), 0);
  struct stat made {};
  ::stat((dir_ / "new/d/R3.rest").c_str(), &made);
  EXPECT_EQ(040700u, made.st_mode);
  fs::create_symlink(dir_.str(), dir_ / "R4.rest");
  EXPECT_EQ(define(dir_.str(), "R4"), 1);
  EXPECT_EQ(define(dir_.write("plain-file", "x"), "R5"), 1);
  ASSERT_EQ(0, ::chown(dir_.str().c_str(), 1, 1));
  EXPECT_EQ(define(dir_.str(), "R6"), 1);
  ASSERT_EQ(0, ::chown(dir_.str().c_str(), 0, 0));
  const std::string what = "): remove it and run the restore again";
  EXPECT_EQ(log_.messages(),
            (std::vector<std::string>{
                s + "the restore directory \"" + dir_ / "old.rest" + "\" can't be used (it is owned by uid 1" + what,
                s + "the restore directory \"" + dir_ / "R4.rest" + "\" can't be used (it is a symbolic link" + what,
                s + "the directory -d \"" + dir_ / "plain-file" + "\" can't hold a restore: \"" + dir_ / "plain-file" +
                    "\" is a regular file, not a directory; use a directory that only root can change",
                s + "the directory -d \"" + dir_.str() + "\" can't hold a restore: \"" + dir_.str() +
                    "\": it is owned by uid 1; use a directory that only root can change"}));
}

class RestoreCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    HX_SKIP_UNLESS_WITHOUT_ARCHIVER();
    module_.options_.mode = HxModuleMode::Restore;
    module_.options_.record_id = "R42";
    module_.options_.media_server = "ms1";
    module_.options_.task_id = "t9";
    module_.options_.resolved_meta_file = "/tmp/w/R42.rest/db1.snap_dir/db1.meta";
    module_.options_.tmp_operation_directory = "/tmp/w/R42.rest";
  }
  // The command the archiver was given (the run fails outside the test bed) and
  // reported with the failure.
  std::string command(bool replica = false) {
    LogCapture log;
    EXPECT_FALSE(module_.make_restore(replica));
    const std::string text = logged_hxfd_command(log);
    EXPECT_TRUE(log.has("Error: " + kRestoreSig + ": " + text));
    for (const std::string& message : log.messages()) {
      EXPECT_EQ(message.find("unpacked successfully"), std::string::npos);
    }
    EXPECT_EQ(module_.hxfd_pid_, 0);
    return text;
  }
  TaskModule module_;
};

const std::string kMediaForm =
    "/opt/halvex/bin/hxfd -a sha2 -2  -b 16384 -R R42 -M ms1 -T t9 -s /opt/halvex/var/tasks//task_secret_t9 "
    "-m /tmp/w/R42.rest/db1.snap_dir/db1.meta -d '/tmp/w/R42.rest'";

TEST_F(RestoreCommand, MediaServerFormAndItsOptions) {
  EXPECT_EQ(command(), kMediaForm + " 2>&1");
  module_.options_.parallelism = 0;
  EXPECT_EQ(command(), kMediaForm + " -p 0 2>&1");
  module_.options_.parallelism = 1;
  EXPECT_EQ(command(true), kMediaForm + " -E  2>&1");
  module_.options_.parallelism = 4;
  module_.options_.granular_list = "base/1,base/2";
  module_.options_.capabilities[HxModuleCapability::SetToNumeric] = true;
  EXPECT_EQ(command(true), kMediaForm + " -E  -p 4 -f base/1,base/2 --set-to-numeric 2>&1");
}

TEST_F(RestoreCommand, AutonomousFormOtherHashAndEncryption) {
  TempDir dir;
  module_.options_.autonomous = true;
  module_.options_.record_id = "/media/db1_full_1.hxfd";
  module_.hxd_hash_length_ = 512;
  module_.options_.crypto = "kuznyechik";
  const std::string loop = dir.self_link("loop.key");
  const std::pair<std::string, std::string> refused[] = {
      {"", ": you must define key file"},
      {dir / "missing.key", ": there is no key file: " + (dir / "missing.key")},
      {loop, ": filesystem error: boost::filesystem::status: Too many levels of symbolic links: \"" + loop + "\""}};
  for (const auto& [key, error] : refused) {
    module_.options_.key_file = key;
    LogCapture log;
    EXPECT_FALSE(module_.make_restore(false));
    EXPECT_EQ(log.messages(), std::vector<std::string>{"Error: " + kRestoreSig + error});
  }
  module_.options_.key_file = dir.write("k.key", "key");
  EXPECT_EQ(command(), "/opt/halvex/bin/hxfd -a sha2 -5  -b 16384 -r /media/db1_full_1.hxfd -d '/tmp/w/R42.rest' "
                       "-C kuznyechik -k " + (dir / "k.key") + " 2>&1");
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

TEST(RestoreCleanup, WhatCloseRestoreRemoves) {
  TempDir dir;
  const std::string restore = dir / "R1.rest";
  const std::string reference = restore + "/db0.snap_dir";
  // close_restore in `mode` with `last`; the messages it logged.
  auto close = [&](int mode, bool last, bool removal = true) {
    fs::create_directories(reference);
    std::ofstream(restore + "/data") << "restored";
    TaskModule module;
    module.options_.mode = mode;
    module.options_.tmp_operation_directory = restore;
    module.reference_snapshot_directory_ = reference;
    module.last_ = last;
    module.remove_tmp_operation_directory_ = removal;
    LogCapture log;
    module.close_restore();
    EXPECT_FALSE(fs::exists(reference));
    return log.messages();
  };
  const std::string removed_reference = "Info: Remove obsolete snapshot directory: " + reference;
  // Not the last part: the restore directory stays.
  EXPECT_EQ(close(HxModuleMode::Restore, false), std::vector<std::string>{removed_reference});
  EXPECT_TRUE(fs::exists(restore + "/data"));
  EXPECT_EQ(close(HxModuleMode::ApplyReplica, true), std::vector<std::string>{removed_reference});
  EXPECT_TRUE(fs::exists(restore + "/data"));
  close(HxModuleMode::Restore, true, false);
  EXPECT_TRUE(fs::exists(restore + "/data"));
  EXPECT_EQ(close(HxModuleMode::Restore, true),
            (std::vector<std::string>{removed_reference, "Info: Remove temporary operation directory: " + restore}));
  EXPECT_FALSE(fs::exists(restore));
  // Removing a reference directory that is gone or was never named logs nothing.
  TaskModule module;
  module.reference_snapshot_directory_ = reference;
  LogCapture log;
  module.remove_reference_snapshot_directory();
  module.reference_snapshot_directory_.clear();
  module.remove_reference_snapshot_directory();
  EXPECT_TRUE(log.messages().empty());
  // Directories below a link to itself: both removals report and go on.
  const std::string loop = dir.self_link("loop");
  module.options_.mode = HxModuleMode::Restore;
  module.options_.tmp_operation_directory = loop + "/R1.rest";
  module.reference_snapshot_directory_ = loop + "/db0.snap_dir";
  module.last_ = true;
  module.close_restore();
  const std::string too_many = ": Too many levels of symbolic links: \"" + loop;
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{"Error: void HxModuleUniversal::remove_reference_snapshot_directory(): "
                                      "boost::filesystem: boost::filesystem::status" + too_many + "/db0.snap_dir\"",
                                      "Info: Remove temporary operation directory: " + loop + "/R1.rest",
                                      "Error: virtual void HxModuleUniversal::close_restore(): can't remove \"" +
                                          loop + "\" (Not a directory)"}));
}

TEST(SparseCheck, FullMissingAndSparseFiles) {
  const std::string sig = "int HxModuleUniversal::check_file_to_restore_for_sparse(const string&) const";
  TempDir dir;
  const std::string holes = dir / "holes";
  {
    std::ofstream out(holes, std::ios_base::binary);
    out.seekp(64 * 1024 * 1024);
    out << 'x';
  }
  TaskModule module;
  module.options_.tmp_operation_directory = dir.str();
  LogCapture log;
  EXPECT_EQ(module.check_file_to_restore_for_sparse(dir.write("full", std::string(8192, 'x'))), 0);
  EXPECT_TRUE(log.messages().empty());
  EXPECT_EQ(module.check_file_to_restore_for_sparse(dir / "missing"), 0);
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"Warning: " + sig + ": unable to check sparse status of '" +
                                                      (dir / "missing") + "' file, error: No such file or directory"}));
  log.clear();
  EXPECT_EQ(module.check_file_to_restore_for_sparse(holes), 7);
  ASSERT_EQ(log.messages().size(), 1u);
  const std::string expected = "Error: " + sig + ": file '" + holes +
                               "' is a sparse file, i.e. it doesn't contain all the data required for restore."
                               " Probably it is not enough free space in a \"" + dir.str() + "\" folder. Free space is: ";
  const std::string message = log.messages()[0];
  ASSERT_EQ(message.rfind(expected, 0), 0u) << message;
  const std::string figure = message.substr(expected.size());  // fixed notation, six decimals
  EXPECT_TRUE(figure.size() > 8 && figure.back() == '%' && figure[figure.size() - 8] == '.') << figure;
  // Space that cannot be read gives an unknown figure.
  module.options_.tmp_operation_directory = dir / "no-such-directory";
  log.clear();
  EXPECT_EQ(module.check_file_to_restore_for_sparse(holes), 7);
  ASSERT_EQ(log.messages().size(), 2u);
  EXPECT_EQ(log.messages()[0].rfind("Warning: " + sig + ": unable to get space info of \"" +
                                        (dir / "no-such-directory") + "\", error: system:2", 0),
            0u);
  const std::string tail = "\" folder. Free space is: Unknown";
  EXPECT_EQ(log.messages()[1].substr(log.messages()[1].size() - tail.size()), tail);
}

}  // namespace
