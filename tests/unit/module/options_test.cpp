// The command-line parser's effect on HxModuleOptions, and the dispatcher's
// own rules (version split, compression names, exit codes, exceptions).
#include "options_test_support.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <stdexcept>

namespace {

using hx_test::LogSink;
using hx_test::StubModule;

const std::string kParseSig = "bool HxModuleUniversal::parse_module_options(int, char**, HxModuleOptions&)";

TEST(Options, Defaults) {
  HxModuleOptions o;
  EXPECT_EQ(o.mode, HxModuleMode::None);
  EXPECT_EQ(o.backup_type, HxBackupType::Full);
  EXPECT_EQ(o.compress, 1);
  EXPECT_EQ(o.crypto, "nocrypt");
  EXPECT_EQ(o.parallelism, 1u);
  EXPECT_EQ(o.remote_user, "root");
  EXPECT_EQ(o.memory_threshold, 0u);
  for (bool c : o.capabilities) EXPECT_FALSE(c);
}

TEST(Options, NoArgumentsPrintsUsageAndRefuses) {
  testing::internal::CaptureStdout();
  StubModule m;
  EXPECT_FALSE(m.parse({"/x/prog"}));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(m.options_.program_path, "/x/prog");
  EXPECT_EQ(out.rfind("This utility is a part of Halvex project\nVersion: 1.2.345\nUsage: /x/prog\n", 0), 0u);
}

TEST(Options, BackupTypeOptionsCombineInAnyOrder) {
  for (auto args : {std::vector<std::string>{"p", "-b", "X", "-1"}, std::vector<std::string>{"p", "-1", "-b", "X"},
                    std::vector<std::string>{"p", "-b", "X"}}) {
    StubModule m;
    ASSERT_TRUE(m.parse(args));
    EXPECT_EQ(m.options_.mode, HxModuleMode::Backup);
    EXPECT_EQ(m.options_.backup_type, HxBackupType::Full);
    EXPECT_EQ(m.options_.resource, "X");
  }
  StubModule incr;
  ASSERT_TRUE(incr.parse({"p", "-b", "X", "-2", "-s", "F", "-d", "D", "-n", "N"}));
  EXPECT_EQ(incr.options_.mode, HxModuleMode::Backup);
  EXPECT_EQ(incr.options_.backup_type, HxBackupType::Incremental);
  EXPECT_EQ(incr.options_.reference_snapshot, "F");
  EXPECT_EQ(incr.options_.tmp_operation_directory, "D");
  EXPECT_EQ(incr.options_.archive_name, "N");

  StubModule replica;
  ASSERT_TRUE(replica.parse({"p", "-A", "R", "-2"}));
  EXPECT_EQ(replica.options_.mode, HxModuleMode::CreateReplica);
  EXPECT_EQ(replica.options_.backup_type, HxBackupType::Incremental);
}

TEST(Options, ApplyReplicaCopiesTheDirectory) {
  StubModule m;
  ASSERT_TRUE(m.parse({"p", "-R", "R", "-d", "D"}));
  EXPECT_EQ(m.options_.mode, HxModuleMode::ApplyReplica);
  EXPECT_EQ(m.options_.record_id, "R");
  EXPECT_EQ(m.options_.tmp_operation_directory, "D");
  EXPECT_EQ(m.options_.destination_resource, "D");

  StubModule restore;
  ASSERT_TRUE(restore.parse({"p", "-r", "R", "-d", "D"}));
  EXPECT_EQ(restore.options_.destination_resource, "");
}

TEST(Options, CompressOutOfRangeBecomesOne) {
  for (const auto& [given, stored] : std::vector<std::pair<std::string, int>>{
           {"9", 1}, {"0", 1}, {"-3", 1}, {"4", 4}, {"2", 2}}) {
    StubModule m;
    ASSERT_TRUE(m.parse({"p", "-z", given, "-b", "X"})) << given;
    EXPECT_EQ(m.options_.compress, stored) << given;
  }
  StubModule query;
  EXPECT_FALSE(query.parse({"p", "-z", "9", "-t"}));
}

TEST(Options, DigestOnlyForBackupModes) {
  StubModule restore;
  ASSERT_TRUE(restore.parse({"p", "--dgst", "-r", "R"}));
  EXPECT_FALSE(restore.options_.dgst);
  StubModule query;
  ASSERT_TRUE(query.parse({"p", "--dgst", "-V"}));
  EXPECT_FALSE(query.options_.dgst);
  for (const char* op : {"-b", "-B", "-A"}) {
    StubModule m;
    const std::string file = (boost::filesystem::temp_directory_path() / "hx-options-dgst.json").string();
    if (std::string(op) == "-B") {
      std::ofstream(file) << R"([{"path":"/a"}])";
    }
    ASSERT_TRUE(m.parse({"p", op, std::string(op) == "-B" ? file : "X", "--dgst"})) << op;
    EXPECT_TRUE(m.options_.dgst) << op;
    boost::filesystem::remove(file);
  }
}

TEST(Options, ArchivingFlagOfAFullBackup) {
  testing::internal::CaptureStdout();
  StubModule m;
  ASSERT_TRUE(m.parse({"/opt/m/prog", "-b", "X", "-a"}));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Archiving mode: the module '/opt/m/prog' will delete the resource after the task is completed\n");
  EXPECT_TRUE(m.options_.archiving);
  EXPECT_EQ(m.options_.mode, HxModuleMode::Backup);

  StubModule alone;
  ASSERT_TRUE(alone.parse({"p", "-a"}));
  EXPECT_EQ(alone.options_.mode, HxModuleMode::IsArchivingSupported);
  EXPECT_FALSE(alone.options_.archiving);

  for (auto args : {std::vector<std::string>{"p", "-2", "-b", "X", "-a"}, std::vector<std::string>{"p", "-A", "X", "-a"},
                    std::vector<std::string>{"p", "-r", "X", "-a"}, std::vector<std::string>{"p", "-1", "-a"}}) {
    StubModule refused;
    LogSink log;
    EXPECT_FALSE(refused.parse(args)) << args[1];
    EXPECT_TRUE(log.messages().empty()) << args[1];
  }
}

TEST(Options, AutonomousFlagAndQuery) {
  StubModule query;
  ASSERT_TRUE(query.parse({"p", "--autonomous"}));
  EXPECT_EQ(query.options_.mode, HxModuleMode::IsAutonomousSupported);
  EXPECT_FALSE(query.options_.autonomous);

  for (auto args : {std::vector<std::string>{"p", "--autonomous", "-b", "X"},
                    std::vector<std::string>{"p", "-r", "R", "--autonomous"}}) {
    StubModule m;
    ASSERT_TRUE(m.parse(args));
    EXPECT_TRUE(m.options_.autonomous);
    EXPECT_NE(m.options_.mode, HxModuleMode::IsAutonomousSupported);
  }
  for (auto args : {std::vector<std::string>{"p", "--autonomous", "-t"}, std::vector<std::string>{"p", "--autonomous", "-A", "X"},
                    std::vector<std::string>{"p", "--autonomous", "-R", "X"}, std::vector<std::string>{"p", "--autonomous", "-1"}}) {
    StubModule m;
    LogSink log;
    EXPECT_FALSE(m.parse(args)) << args[2];
    EXPECT_TRUE(log.messages().empty()) << args[2];
  }
}

TEST(Options, AutonomousRefusalsAndTheirWords) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"p", "-r", "R", "--autonomous", "-m", "M"}, "Error: Can't use media server with autonomous mode"},
      {{"p", "--autonomous", "-b", "X", "-T", "T"}, "Error: Can't use a media server with autonomous mode"},
      {{"p", "-b", "X", "-T", "T"}, "Error: You must define media-server before task ID"},
      {{"p", "-1", "-s", "F", "-b", "X"}, "Error: Reference snapshot cannot be defined for full backup."},
      {{"p", "-b", "X", "-f", "L"}, "Error: The '-r' option must also be specified for granular restore"},
      {{"p", "-b", ""}, "Error: Resource is empty"},
      {{"p", "-A", ""}, "Error: Resource is empty"},
      {{"p", "-r", ""}, "Error: Record ID is empty"},
      {{"p", "-R", ""}, "Error: Record ID is empty"},
      {{"p", "-B", ""}, "Error: " + kParseSig + ": resource is empty"},
      {{"p", "-p", "abc", "-b", "X"},
       "Error: " + kParseSig + ": the argument ('abc') for option '--parallelism' is invalid"},
      {{"p", "--no-such-option"}, "Error: " + kParseSig + ": unrecognised option '--no-such-option'"},
      {{"p", "-b", "X", "-b", "Y"}, "Error: " + kParseSig + ": option '--backup' cannot be specified more than once"},
  };
  for (const Case& c : cases) {
    StubModule m;
    LogSink log;
    EXPECT_FALSE(m.parse(c.args)) << c.message;
    EXPECT_EQ(log.messages(), std::vector<std::string>{c.message});
  }
}

TEST(Options, SilentRefusals) {
  const std::vector<std::vector<std::string>> lines = {
      {"p", "-1", "-2"},           {"p", "-V", "-t"},          {"p", "-s", "F"},
      {"p", "-b", "X", "-r", "R"}, {"p", "-B", "F", "-b", "X"}, {"p", "-D", "-1"},
      {"p", "-j", "-r", "R"},      {"p", "-n", "N", "-r", "R"}, {"p", "-d", "D"},
      {"p", "-e", "a:b", "-t"},    {"p", "-o", "-V"},          {"p", "-a", "-o"},
      {"p", "-m", "M", "-c"},      {"p", "-T", "T", "-l"},     {"p", "-s", "F", "-A", "X", "-2"},
  };
  for (const auto& args : lines) {
    StubModule m;
    LogSink log;
    EXPECT_FALSE(m.parse(args)) << args[1] << " " << args[2];
    EXPECT_TRUE(log.messages().empty()) << args[1] << " " << args[2];
  }
}

TEST(Options, TaskIdAfterMediaServerWhateverTheCommandLineOrder) {
  StubModule m;
  ASSERT_TRUE(m.parse({"p", "-T", "T1", "-b", "X", "-m", "M1"}));
  EXPECT_EQ(m.options_.task_id, "T1");
  EXPECT_EQ(m.options_.media_server, "M1");
}

TEST(Options, ValuesAcceptedInEveryMode) {
  StubModule m;
  ASSERT_TRUE(m.parse({"p", "-V", "-C", "kuz", "-k", "/k", "-M", "/m.meta", "-p", "3", "-i", "/patch", "-G", "77"}));
  EXPECT_EQ(m.options_.mode, HxModuleMode::Version);
  EXPECT_EQ(m.options_.crypto, "kuz");
  EXPECT_EQ(m.options_.key_file, "/k");
  EXPECT_EQ(m.options_.meta_file, "/m.meta");
  EXPECT_EQ(m.options_.parallelism, 3u);
  EXPECT_EQ(m.options_.archive_to_patch, "/patch");
  EXPECT_EQ(m.options_.memory_threshold, 77u);
}

TEST(Options, QueriesSelectTheirModes) {
  const std::pair<const char*, int> queries[] = {
      {"-V", HxModuleMode::Version},
      {"-c", HxModuleMode::ListHeaders},
      {"-L", HxModuleMode::ListAllResourcesWithHeaders},
      {"--show-backup-options", HxModuleMode::ShowBackupOptions},
      {"--show-module-properties", HxModuleMode::ShowModuleProperties},
      {"-t", HxModuleMode::CheckClient},
      {"-l", HxModuleMode::ListAllResources},
      {"-1", HxModuleMode::IsBackupTypeSupported},
      {"-2", HxModuleMode::IsBackupTypeSupported},
      {"-D", HxModuleMode::IsDedupSupported},
      {"-a", HxModuleMode::IsArchivingSupported},
      {"--autonomous", HxModuleMode::IsAutonomousSupported},
      {"-o", HxModuleMode::RestoreParameters},
  };
  for (const auto& [option, mode] : queries) {
    StubModule m;
    ASSERT_TRUE(m.parse({"p", option})) << option;
    EXPECT_EQ(m.options_.mode, mode) << option;
  }
}

TEST(Options, LocalRestrictionsAndGranularList) {
  StubModule backup;
  ASSERT_TRUE(backup.parse({"p", "-b", "X", "-j"}));
  EXPECT_TRUE(backup.options_.local_restrictions);
  StubModule restore;
  ASSERT_TRUE(restore.parse({"p", "-f", "/list", "-r", "R"}));
  EXPECT_EQ(restore.options_.granular_list, "/list");
}

TEST(Options, HelpIgnoresEverythingElse) {
  testing::internal::CaptureStdout();
  StubModule m;
  LogSink log;
  // Conflicting operations and a module parameter that would not convert.
  EXPECT_TRUE(m.parse({"p", "-1", "-2", "-h", "-e", "hxd_hash_length:abc"}));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(m.options_.mode, HxModuleMode::None);
  EXPECT_EQ(m.custom_parameter_calls, 0);
  EXPECT_TRUE(log.messages().empty());
  EXPECT_NE(out.find("Options description:\n  -h [ --help ]                         this message\n"), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 2), "\n\n");  // the table is followed by an end of line

  StubModule unknown;
  LogSink log2;
  EXPECT_FALSE(unknown.parse({"p", "-h", "--bogus"}));
  EXPECT_EQ(log2.messages().size(), 1u);
}

sighandler_t current_handler(int sig) {
  struct sigaction action {};
  sigaction(sig, nullptr, &action);
  return action.sa_handler;
}

TEST(Options, InitInstallsTheHandlersThenParses) {
  {
    StubModule m;
    EXPECT_TRUE(m.init_with({"p", "-V"}));
    EXPECT_EQ(m.options_.mode, HxModuleMode::Version);
    EXPECT_EQ(current_handler(SIGTERM), &HxModuleSignalHandler::shutdown_handler);
    EXPECT_EQ(current_handler(SIGTSTP), &HxModuleSignalHandler::pause_handler);
  }
  EXPECT_EQ(current_handler(SIGTERM), SIG_DFL);  // the module's end restores the defaults
  {
    // A refused command line: the handlers are in place all the same.
    StubModule m;
    LogSink log;
    EXPECT_FALSE(m.init_with({"p", "-1", "-2"}));
    EXPECT_EQ(current_handler(SIGINT), &HxModuleSignalHandler::shutdown_handler);
  }
  EXPECT_EQ(current_handler(SIGINT), SIG_DFL);
}

TEST(Dispatcher, SplitFullVersion) {
  std::string version;
  std::string rest = "unchanged";
  EXPECT_EQ(split_full_version("2.0.3906709", version, rest), 0);
  EXPECT_EQ(version, "2.0");
  EXPECT_EQ(rest, "3906709");

  rest = "unchanged";
  EXPECT_EQ(split_full_version("7", version, rest), 0);
  EXPECT_EQ(version, "7.");
  EXPECT_EQ(rest, "unchanged");

  EXPECT_EQ(split_full_version("1.2", version, rest), 0);
  EXPECT_EQ(version, "1.2");
  EXPECT_EQ(rest, "unchanged");

  EXPECT_EQ(split_full_version("1.2.3.4", version, rest), 0);
  EXPECT_EQ(version, "1.2");
  EXPECT_EQ(rest, "3");
}

TEST(Dispatcher, CompressionNames) {
  EXPECT_EQ(HxModuleUniversal::compress_mode_str(1), "None");
  EXPECT_EQ(HxModuleUniversal::compress_mode_str(2), "fast");
  EXPECT_EQ(HxModuleUniversal::compress_mode_str(3), "optimal");
  EXPECT_EQ(HxModuleUniversal::compress_mode_str(4), "best");
  EXPECT_EQ(HxModuleUniversal::compress_mode_str(0), "Wrong or deprecated compression type: 0");
  EXPECT_EQ(HxModuleUniversal::compress_mode_str(5), "Wrong or deprecated compression type: 5");
}

TEST(Dispatcher, ModesWithoutOperation) {
  StubModule m;
  m.options_.mode = HxModuleMode::None;
  EXPECT_EQ(m.run(), 1u);
  m.options_.mode = 18;
  EXPECT_EQ(m.run(), 1u);
  m.options_.mode = -1;
  EXPECT_EQ(m.run(), 1u);
}

TEST(Dispatcher, ConfigurationFailureOfAQuery) {
  for (int mode : {HxModuleMode::CheckClient, HxModuleMode::ListAllResources,
                   HxModuleMode::ListAllResourcesWithHeaders, HxModuleMode::ListHeaders}) {
    StubModule m;
    m.config_hook = [] { return false; };
    m.options_.mode = mode;
    LogSink log;
    EXPECT_EQ(m.run(), 2u) << mode;
    EXPECT_EQ(log.messages(), std::vector<std::string>{"Error: Unable to load configuration from config file."});
  }
}

TEST(Dispatcher, ExceptionsBecomeExitCode13) {
  {
    StubModule m;
    m.options_.mode = HxModuleMode::CheckClient;
    m.config_hook = []() -> bool {
      throw boost::filesystem::filesystem_error("cannot stat", boost::filesystem::path("/nowhere"),
                                                boost::system::errc::make_error_code(
                                                    boost::system::errc::permission_denied));
    };
    LogSink log;
    EXPECT_EQ(m.run(), 13u);
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_EQ(log.messages()[0].rfind("Error: unsigned int HxModuleUniversal::run(): filesystem error: cannot stat", 0),
              0u)
        << log.messages()[0];
  }
  {
    StubModule m;
    m.options_.mode = HxModuleMode::ListHeaders;
    m.config_hook = []() -> bool { throw std::runtime_error("connection lost"); };
    LogSink log;
    EXPECT_EQ(m.run(), 13u);
    EXPECT_EQ(log.messages(),
              std::vector<std::string>{"Error: unsigned int HxModuleUniversal::run(): Database error: connection lost"});
  }
}

}  // namespace
