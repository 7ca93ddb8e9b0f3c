// The PostgreSQL module object: its small overrides, and preparation in the
// modes that open no connection.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "postgresql/hx_module_pg_ostrel.h"
#include "tests/support/test_support.h"

namespace {

class InspectedModule : public HxModule_PG_Ostrel {
 public:
  explicit InspectedModule(int mode) : HxModule_PG_Ostrel(options_for(mode)) {}
  bool has_connection() const { return static_cast<bool>(connection_) || static_cast<bool>(transaction_); }
  hx_pg_conf& conf() { return pg_conf_; }
  HxModuleOptions& options() { return options_; }
  std::vector<std::string>& wal_files() { return wal_files_; }
  hx_pg_backup::WalArchive& wal_archive() { return wal_archive_; }

 private:
  static HxModuleOptions options_for(int mode) {
    HxModuleOptions options;
    options.program_path = "/nonexistent/hx_module_pg_ostrel_unit";
    options.mode = mode;
    return options;
  }
};

TEST(PgModuleObject, SmallOverrides) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  InspectedModule module(HxModuleMode::Backup);
  module.options().resource = "cluster";  // the client's name of the resource, no path: not examined
  EXPECT_TRUE(module.resource_exists());
  module.make_archiving();
  EXPECT_EQ(log.messages(), std::vector<std::string>{"Error: No archiving capability"});
  module.conf().host = "db.example";
  module.conf().port = "6000";
  module.conf().username = "u";
  module.conf().password = "p w";
  EXPECT_EQ(module.get_conn_string(), "host = db.example port = 6000 dbname = postgres user = u password = 'p w'");
}

TEST(PgModuleObject, PreparationOpensNothingOutsideTheBackupModes) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  for (int mode = HxModuleMode::None; mode <= HxModuleMode::RestoreParameters; ++mode) {
    if (mode == HxModuleMode::Backup || mode == HxModuleMode::BackupList || mode == HxModuleMode::CreateReplica)
      continue;
    InspectedModule module(mode);
    EXPECT_TRUE(module.prapare_module()) << "mode " << mode;
    EXPECT_FALSE(module.has_connection()) << "mode " << mode;
  }
  // Not even the configuration was read.
  EXPECT_TRUE(log.messages().empty()) << log.text();
}

// The archived WAL files a completed backup selected: kept without
// auto_remove_wal; otherwise removed, one already gone no error. Whatever is
// not a regular file of a WAL file's name is reported and stays, whatever
// planted it there.
TEST(PgModuleObject, BackupCompletedRemovesTheSelectedWalFiles) {
  using hx_test::wal_segment;
  hx_test::TempDir dir;
  const std::vector<std::string> selected = {dir.write(wal_segment(0, 1)), dir / wal_segment(0, 2),
                                             dir / wal_segment(0, 3), dir.write("stray"),
                                             dir / (wal_segment(0, 4) + ".00000028.backup")};
  boost::filesystem::create_directory(selected[1]);
  ASSERT_EQ(symlink(selected[3].c_str(), selected[4].c_str()), 0);
  InspectedModule module(HxModuleMode::Backup);
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  module.conf().auto_remove_wal = false;
  module.wal_files() = selected;
  module.backup_completed();
  EXPECT_TRUE(boost::filesystem::exists(selected[0]) && log.messages().empty());

  module.conf().auto_remove_wal = true;
  uid_t owner = 0;
  ASSERT_TRUE(module.wal_archive().open(dir.str(), ::geteuid(), owner));
  module.backup_completed();
  EXPECT_FALSE(boost::filesystem::exists(selected[0]));
  EXPECT_TRUE(boost::filesystem::is_directory(selected[1]) && boost::filesystem::exists(selected[3]) &&
              boost::filesystem::is_symlink(selected[4]));
  EXPECT_TRUE(module.wal_files().empty());
  EXPECT_EQ(log.messages(), (std::vector<std::string>{
                                "Info: Remove obsoleted WAL files:", "Info: Remove: " + selected[0],
                                "Info: Remove: " + selected[1],
                                "Error: Can't delete " + selected[1] + ": a directory, not a regular file",
                                "Info: Remove: " + selected[2], "Info: Remove: " + selected[3],
                                "Error: Can't delete " + selected[3] + ": not named as a WAL file",
                                "Info: Remove: " + selected[4],
                                "Error: Can't delete " + selected[4] + ": a symbolic link, not a regular file"}));
}

// Restore hooks that meet a restore directory that is not there: the
// ownership hook fails; the recovery settings fail, which the last-file hook
// reports and passes over, and the deployment refuses.
TEST(PgModuleObject, RestoreHooksWithoutTheRestoreDirectory) {
  hx_test::TempDir dir;
  InspectedModule module(HxModuleMode::Restore);
  module.options().tmp_operation_directory = dir / "absent";
  module.options().module_params = "data_directory:/srv/data,pg_version:15.2";
  module.parce_param_string();
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  EXPECT_FALSE(module.after_restore());
  EXPECT_TRUE(module.after_restore_last_file());
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{
                "Error: Temporary operation (restore) directory path \"" + dir / "absent" +
                    "\" is invalid (system:2)!",
                "Error: bool hx_postgresql_common::post_restore(const hx_pg_conf&, const pg_version&, const string&): "
                "can't create \"" + dir / "absent/srv/data/recovery.signal" + "\"",
                "Error: Can't execute post restore procedure"}));
  // A cluster without its recovery settings never replaces the server's.
  log.clear();
  EXPECT_FALSE(module.deployment(false));
  EXPECT_EQ(log.messages(), std::vector<std::string>{"Error: The restored data directory has no recovery settings: "
                                                     "the restored cluster is not deployed and the server is left "
                                                     "as it is"});
}

// The texts that tell the administrator what to do: the reason after a
// refused combination of options, and the judgement of the module parameters
// (invalid values refused with what is accepted, sizes held with a Warning,
// unknown keys named; the settings a backup printed pass without a word).
TEST(PgModuleObject, RefusalsAndModuleParametersSayWhatToDo) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
      {{"-V", "-t"}, "The options -V and -t do not go together"},
      {{"-1", "--autonomous"}, "The option --autonomous needs one of the options -b, -B or -r"},
      {{"-d", "D"}, "The option -d needs one of the options -b, -B, -r, -A or -R"},
      {{"-j", "-r", "R"}, "The option -j does not go with -r; it goes only with -b, -B or -A"},
      {{"-2", "-b", "X", "-a"}, "The option -a goes only with a full backup, not with -2"},
      {{"-b", "X", "-d", "tasks/t1"}, "The option -d needs an absolute path, not 'tasks/t1'"},
      {{"-R", "R", "-d", "./d"}, "The option -d needs an absolute path, not './d'"},
      {{"-b", ""}, ""},  // refused with a message of its own
      {{"-b", "X", "-e", "a:b"}, ""},  // accepted
  };
  for (const auto& [args, reason] : refusals) {
    hx_test::LogCapture log;
    InspectedModule module(HxModuleMode::None);
    std::vector<std::string> words = {"p"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    EXPECT_EQ(module.parse_module_options(static_cast<int>(argv.size()), argv.data(), module.options()),
              reason.empty() && args[1] != "")
        << args[0];
    EXPECT_EQ(module.options_refusal(), reason) << args[0];
  }

  const auto judged = [](const std::string& params, bool valid) {
    InspectedModule module(HxModuleMode::Restore);
    module.options().module_params = params;
    module.parce_param_string();
    hx_test::LogCapture log;
    EXPECT_EQ(module.module_parameters_valid(), valid) << params;
    std::string size;
    module.find_special_param("lvm_snapshot_size", size);
    return log.text() + size;
  };
  const std::string invalid = "Error: The module parameter ";
  EXPECT_EQ(judged("pg_version:15.18/../../../x,data_directory:/srv/./data,config_file:etc/pg.conf,"
                   "lvm_snapshot_size:5O,lvm_snapshot_siz:50,last:true,hxd_block_size:65536,file_list:yes",
                   false),
            invalid + "file_list has an invalid value 'yes': only t, true, f or false is accepted\n" + invalid +
                "config_file has an invalid value 'etc/pg.conf': only an absolute path without \".\" or "
                      "\"..\" elements is accepted\n" +
                invalid + "data_directory has an invalid value '/srv/./data': only an absolute path without \".\" "
                          "or \"..\" elements is accepted\n"
                          "Warning: The module parameter 'lvm_snapshot_siz' is unknown and is ignored (known: "
                          "config_file, data_directory, file_list, hxd_block_size, hxd_hash_algorithm, "
                          "hxd_hash_length, last, lvm_snapshot_size, numeric_owner, pg_version, start_wal_location, "
                          "stop_wal_location, tmp_catalog, without_deployment_restore)\n" +
                invalid + "lvm_snapshot_size has an invalid value '5O': only a whole number of percent is accepted "
                          "(10 to 100; a smaller number counts as 10, a larger one as 100)\n" +
                invalid + "pg_version has an invalid value '15.18/../../../x': only a version of numbers joined by "
                          "dots, such as 15.4, is accepted\n5O");
  EXPECT_EQ(judged("pg_version:15,data_directory:/srv//data/,config_file:/etc/pg.conf,start_wal_location:00000001000000"
                   "0000000002,stop_wal_location:000000010000000000000003,lvm_snapshot_size:050",
                   true),
            "50");
  EXPECT_EQ(judged("data_directory:/srv/../etc,config_file:/srv/pg/..", false),
            invalid + "config_file has an invalid value '/srv/pg/..': only an absolute path without \".\" or \"..\" "
                      "elements is accepted\n" +
                invalid + "data_directory has an invalid value '/srv/../etc': only an absolute path without \".\" "
                          "or \"..\" elements is accepted\n");
  EXPECT_EQ(judged("pg_version:,lvm_snapshot_size:5", true),
            "Warning: The module parameter lvm_snapshot_size is 5, outside 10 to 100: the snapshots get 10 percent\n10");
}

}  // namespace
