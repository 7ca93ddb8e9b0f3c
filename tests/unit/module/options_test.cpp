// The fields the command-line parser fills (texts and exit codes are checked on
// the real program by the end-to-end scripts), and the dispatcher's own rules.
#include "options_test_support.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using hx_test::LogCapture;
using hx_test::StubModule;

// Parses an accepted command line.
std::unique_ptr<StubModule> parsed(const std::vector<std::string>& args) {
  auto module = std::make_unique<StubModule>();
  EXPECT_TRUE(module->parse(args)) << args[0];
  return module;
}

TEST(Options, BackupModeAndTypeWhateverTheOrder) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"-b", "X", "-1"}, {"-1", "-b", "X"}, {"-b", "X"}}) {
    const auto m = parsed(args);
    EXPECT_EQ(m->options_.mode, HxModuleMode::Backup);
    EXPECT_EQ(m->options_.backup_type, HxBackupType::Full);
    EXPECT_EQ(m->options_.resource, "X");
  }
  auto m = parsed({"-b", "X", "-2", "-s", "F", "-d", "/D", "-n", "N", "-j", "-T", "T1", "-m", "M1"});
  EXPECT_EQ(m->options_.backup_type, HxBackupType::Incremental);
  EXPECT_EQ(m->options_.reference_snapshot, "F");
  EXPECT_EQ(m->options_.tmp_operation_directory, "/D");
  EXPECT_EQ(m->options_.archive_name, "N");
  EXPECT_TRUE(m->options_.local_restrictions);
  EXPECT_EQ(m->options_.task_id, "T1");
  EXPECT_EQ(m->options_.media_server, "M1");
  m = parsed({"-A", "R", "-2"});
  EXPECT_EQ(m->options_.mode, HxModuleMode::CreateReplica);
  EXPECT_EQ(m->options_.backup_type, HxBackupType::Incremental);
}

TEST(Options, ApplyReplicaCopiesTheDirectoryARestoreDoesNot) {
  auto m = parsed({"-R", "R", "-d", "/D"});
  EXPECT_EQ(m->options_.mode, HxModuleMode::ApplyReplica);
  EXPECT_EQ(m->options_.record_id, "R");
  EXPECT_EQ(m->options_.tmp_operation_directory, "/D");
  EXPECT_EQ(m->options_.destination_resource, "/D");
  m = parsed({"-r", "R", "-d", "/D", "-f", "/list"});
  EXPECT_EQ(m->options_.destination_resource, "");
  EXPECT_EQ(m->options_.granular_list, "/list");
}

TEST(Options, CompressOutOfRangeBecomesOne) {
  for (const auto& [given, stored] : std::vector<std::pair<std::string, int>>{{"5", 1}, {"9", 1}, {"0", 1}, {"-3", 1}, {"1", 1}, {"4", 4}}) {
    EXPECT_EQ(parsed({"-z", given, "-b", "X"})->options_.compress, stored) << given;
  }
}

TEST(Options, DigestOnlyForBackupModes) {
  EXPECT_FALSE(parsed({"--dgst", "-r", "R"})->options_.dgst);
  EXPECT_FALSE(parsed({"--dgst", "-V"})->options_.dgst);
  EXPECT_TRUE(parsed({"-b", "X", "--dgst"})->options_.dgst);
  EXPECT_TRUE(parsed({"-A", "X", "--dgst"})->options_.dgst);
}

TEST(Options, ArchivingAndAutonomousAreFlagsOrQueries) {
  testing::internal::CaptureStdout();
  auto m = parsed({"-b", "X", "-a"});
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(m->options_.archiving);
  EXPECT_EQ(m->options_.mode, HxModuleMode::Backup);
  m = parsed({"-a"});
  EXPECT_EQ(m->options_.mode, HxModuleMode::IsArchivingSupported);
  EXPECT_FALSE(m->options_.archiving);
  m = parsed({"--autonomous"});
  EXPECT_EQ(m->options_.mode, HxModuleMode::IsAutonomousSupported);
  EXPECT_FALSE(m->options_.autonomous);
  m = parsed({"-r", "R", "--autonomous"});
  EXPECT_EQ(m->options_.mode, HxModuleMode::Restore);
  EXPECT_TRUE(m->options_.autonomous);
}

TEST(Dispatcher, SplitFullVersion) {
  std::string version;
  std::string rest = "unchanged";
  EXPECT_EQ(split_full_version("7", version, rest), 0);
  EXPECT_EQ(version + "|" + rest, "7.|unchanged");
  EXPECT_EQ(split_full_version("2.0.3906709", version, rest), 0);
  EXPECT_EQ(version + "|" + rest, "2.0|3906709");
  EXPECT_EQ(split_full_version("1.2.3.4", version, rest), 0);
  EXPECT_EQ(version + "|" + rest, "1.2|3");
}

TEST(Dispatcher, OddModesAndCompressionTypes) {
  StubModule m;
  for (int mode : {static_cast<int>(HxModuleMode::None), 18, -1}) {
    m.options_.mode = mode;
    EXPECT_EQ(m.run(), 1u) << mode;
  }
  EXPECT_EQ(HxModuleUniversal::compress_mode_str(5), "Wrong or deprecated compression type: 5");
}

TEST(Dispatcher, ExceptionsBecomeExitCode13) {
  StubModule m;
  m.options_.mode = HxModuleMode::CheckClient;
  m.config_hook = []() -> bool {
    throw boost::filesystem::filesystem_error("cannot stat", boost::filesystem::path("/nowhere"),
                                              boost::system::errc::make_error_code(boost::system::errc::permission_denied));
  };
  {
    LogCapture log;
    EXPECT_EQ(m.run(), 13u);
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_EQ(log.messages()[0].rfind("Error: unsigned int HxModuleUniversal::run(): filesystem error: cannot stat", 0), 0u);
  }
  m.options_.mode = HxModuleMode::ListHeaders;
  m.config_hook = []() -> bool { throw std::runtime_error("connection lost"); };
  LogCapture log;
  EXPECT_EQ(m.run(), 13u);
  EXPECT_EQ(log.messages(),
            std::vector<std::string>{"Error: unsigned int HxModuleUniversal::run(): Database error: connection lost"});
}

}  // namespace
