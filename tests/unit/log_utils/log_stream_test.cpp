// Level names, the choice of destinations and the text of a log line.
#include "log_test_support.h"

#include <boost/system/error_code.hpp>

#include <iomanip>

#include <unistd.h>

namespace {

using hx_log_test::LogTest;
using hx_log_test::read_file;
using hx_log_test::unstamped_lines;

TEST(LogLevelNames, FirstNameWins) {
  using HxLogLvl::Level;
  EXPECT_EQ(HxLogLvl::to_string(static_cast<Level>(1)), "Error");
  EXPECT_EQ(HxLogLvl::to_string(static_cast<Level>(3)), "WarningMask");
  EXPECT_EQ(HxLogLvl::to_string(static_cast<Level>(7)), "InfoMask");
  EXPECT_EQ(HxLogLvl::to_string(static_cast<Level>(8)), "Debug");
  EXPECT_EQ(HxLogLvl::to_string(static_cast<Level>(3840)), "FuncAll");
  EXPECT_EQ(HxLogLvl::to_string(static_cast<Level>(5)), "Unknown");
  EXPECT_EQ(HxLogLvl::to_string(static_cast<Level>(15)), "DebugMask");
  EXPECT_EQ(HxLogLvl::to_string(static_cast<Level>(255)), "Debug4Mask");
  EXPECT_EQ(HxLogLvl::to_string(HxLogLvl::Measure), "Measure");
  EXPECT_EQ(HxLogLvl::to_string(HxLogLvl::SqlReq), "SqlReq");
  EXPECT_EQ(HxLogLvl::to_string(HxLogLvl::FuncAny), "FuncAny");
  // 14 levels and 9 masks, of which ErrorMask shares its value with Error.
  EXPECT_EQ(HxLogLvl::log_levels_info_.size(), 22u);
}

TEST_F(LogTest, StartupConfigurationRoutesEachLevel) {
  const std::string path = configure_like_startup();

  testing::internal::CaptureStdout();
  HxLogStream(HxLogLvl::Warning) << "disk almost full: " << 93 << "%" << std::endl;
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(unstamped_lines(out), std::vector<std::string>{"Warning: disk almost full: 93%"});
  EXPECT_EQ(unstamped_lines(read_file(path)), std::vector<std::string>{"Warning: disk almost full: 93%"});

  // An Error goes to the Error list only: once to the file, once to stdout.
  testing::internal::CaptureStdout();
  HxLogStream(HxLogLvl::Error) << "it broke" << std::endl;
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(unstamped_lines(out), std::vector<std::string>{"Error: it broke"});
  EXPECT_EQ(unstamped_lines(read_file(path)),
            (std::vector<std::string>{"Warning: disk almost full: 93%", "Error: it broke"}));

  // Debug and finer levels are discarded.
  testing::internal::CaptureStdout();
  HxLogStream(HxLogLvl::Debug) << "hidden" << std::endl;
  HxLogStream(HxLogLvl::Debug4) << "hidden" << std::endl;
  HxLogStream(HxLogLvl::FuncBase) << "hidden" << std::endl;
  HX_LOG_INFO << "shown" << std::endl;
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(unstamped_lines(out), std::vector<std::string>{"Info: shown"});
  EXPECT_EQ(unstamped_lines(read_file(path)).size(), 3u);
}

TEST_F(LogTest, ErrorListReplacesTheDefaults) {
  const std::string general = (dir_ / "general.log").string();
  const std::string errors = (dir_ / "errors.log").string();
  HxLogStream::set_default_loggers(HxDestination::File(general));
  HxLogStream::set_log_level_logger(HxLogLvl::Error, HxDestination::File(errors));
  HX_LOG_ERROR << "e" << std::endl;
  HX_LOG_WARNING << "w" << std::endl;
  EXPECT_EQ(unstamped_lines(read_file(errors)), std::vector<std::string>{"Error: e"});
  EXPECT_EQ(unstamped_lines(read_file(general)), std::vector<std::string>{"Warning: w"});

  // Setting the same key again replaces its list.
  const std::string errors2 = (dir_ / "errors2.log").string();
  HxLogStream::set_log_level_logger(HxLogLvl::Error, HxDestination::File(errors2));
  HX_LOG_ERROR << "e2" << std::endl;
  EXPECT_EQ(unstamped_lines(read_file(errors)).size(), 1u);
  EXPECT_EQ(unstamped_lines(read_file(errors2)), std::vector<std::string>{"Error: e2"});
}

TEST_F(LogTest, OnlyTheFirstMatchingMaskIsTestedForEmptiness) {
  const std::string general = (dir_ / "general.log").string();
  const std::string masked = (dir_ / "masked.log").string();
  HxLogStream::set_default_loggers(HxDestination::File(general));
  HxLogStream::set_log_level_logger(HxLogLvl::ErrorMask);  // an empty list
  HxLogStream::set_log_level_logger(HxLogLvl::WarningMask, HxDestination::File(masked));
  // Error: the first entry with a common bit (1) is empty, so not matched: defaults.
  HX_LOG_ERROR << "e" << std::endl;
  // Warning: key 1 has no common bit; key 3 is the first match and is not empty.
  HX_LOG_WARNING << "w" << std::endl;
  EXPECT_EQ(unstamped_lines(read_file(general)), std::vector<std::string>{"Error: e"});
  EXPECT_EQ(unstamped_lines(read_file(masked)), std::vector<std::string>{"Warning: w"});
}

TEST_F(LogTest, EveryMatchingMaskFromTheFirstOnIsWritten) {
  const std::string a = (dir_ / "a.log").string();
  const std::string b = (dir_ / "b.log").string();
  HxLogStream::set_log_level_logger(HxLogLvl::ErrorMask, HxDestination::File(a));
  HxLogStream::set_log_level_logger(HxLogLvl::InfoMask, HxDestination::File(b));
  HX_LOG_ERROR << "e" << std::endl;  // both keys share bit 1
  HX_LOG_INFO << "i" << std::endl;   // key 7 only
  EXPECT_EQ(unstamped_lines(read_file(a)), std::vector<std::string>{"Error: e"});
  EXPECT_EQ(unstamped_lines(read_file(b)), (std::vector<std::string>{"Error: e", "Info: i"}));
}

TEST_F(LogTest, UnconfiguredStreamFallsBackToStdout) {
  testing::internal::CaptureStdout();
  HX_LOG_INFO << "before configuration" << std::endl;
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(unstamped_lines(out), std::vector<std::string>{"Info: before configuration"});
}

TEST_F(LogTest, LocalDestinationsTakePrecedence) {
  const std::string configured = configure_like_startup();
  const std::string local = (dir_ / "local.log").string();
  testing::internal::CaptureStdout();
  HxLogStream(HxLogLvl::Error, HxDestination::File(local)) << "only here" << std::endl;
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(unstamped_lines(read_file(local)), std::vector<std::string>{"Error: only here"});
  EXPECT_FALSE(boost::filesystem::exists(configured));
}

TEST_F(LogTest, LineFormat) {
  const std::string path = (dir_ / "f.log").string();
  HxLogStream::set_default_loggers(HxDestination::File(path));
  HX_LOG_INFO << "Module pid: " << 4242 << " put on pause" << std::endl;
  const std::string text = read_file(path);
  const std::regex line(R"(\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\] Info: Module pid: 4242 put on pause\n)");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST_F(LogTest, MessageWithoutLineEndContinuesTheLine) {
  const std::string path = (dir_ / "f.log").string();
  HxLogStream::set_default_loggers(HxDestination::File(path));
  HX_LOG_INFO << "first";
  HX_LOG_WARNING << "second" << "\n";
  const std::string text = read_file(path);
  const std::regex line(
      R"(\[[0-9-]{10} [0-9:]{8}\] Info: first\[[0-9-]{10} [0-9:]{8}\] Warning: second\n)");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST_F(LogTest, TagPrefixesEveryMessage) {
  const std::string path = (dir_ / "f.log").string();
  HxLogStream::set_default_loggers(HxDestination::File(path));
  HxLogStream::tag_ = "hxmod";
  HX_LOG_INFO << "tagged" << std::endl;
  EXPECT_EQ(unstamped_lines(read_file(path)),
            std::vector<std::string>{"hxmod[" + std::to_string(getpid()) + "] Info: tagged"});
}

TEST_F(LogTest, InsertionFollowsTheOstreamRules) {
  const std::string path = (dir_ / "f.log").string();
  HxLogStream::set_default_loggers(HxDestination::File(path));
  HX_LOG_INFO << std::hex << 255 << std::dec << " " << 255 << " " << std::quoted(std::string("a b")) << " "
              << boost::filesystem::path("/x y/\"z\"") << " " << 'c' << " " << 7u << " " << -3L << std::endl;
  HX_LOG_INFO << std::oct << boost::filesystem::owner_all << std::dec << std::endl;
  EXPECT_EQ(unstamped_lines(read_file(path)),
            (std::vector<std::string>{"Info: ff 255 \"a b\" \"/x y/&\"z&\"\" c 7 -3", "Info: 700"}));
}

TEST_F(LogTest, FailingDestinationDoesNotStopTheOthers) {
  const std::string unreachable = (dir_ / "no-such-dir" / "prog.log").string();
  HxLogStream::set_default_loggers(HxDestination::File(unreachable), HxDestination::Stdout());
  testing::internal::CaptureStdout();
  HX_LOG_WARNING << "still printed" << std::endl;
  EXPECT_EQ(unstamped_lines(testing::internal::GetCapturedStdout()), std::vector<std::string>{"Warning: still printed"});
  EXPECT_FALSE(boost::filesystem::exists(unreachable));
}

}  // namespace
