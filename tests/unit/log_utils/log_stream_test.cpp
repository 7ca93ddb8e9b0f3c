// Level names, the choice of destinations and the text of a log line.
#include "log_test_support.h"

#include <iomanip>

#include <unistd.h>

namespace {

using hx_log_test::LogTest;
using hx_log_test::read_file;
using hx_log_test::unstamped_lines;
using Lines = std::vector<std::string>;

TEST(LogLevelNames, FirstNameWins) {
  const std::pair<unsigned, const char*> cases[] = {
      {1, "Error"},       {3, "WarningMask"}, {7, "InfoMask"}, {8, "Debug"},           {3840, "FuncAll"},
      {5, "Unknown"},     {15, "DebugMask"},  {255, "Debug4Mask"}, {HxLogLvl::Measure, "Measure"},
      {HxLogLvl::SqlReq, "SqlReq"}, {HxLogLvl::FuncAny, "FuncAny"}};
  for (const auto& c : cases) EXPECT_EQ(HxLogLvl::to_string(static_cast<HxLogLvl::Level>(c.first)), c.second);
}

// Start-up routing: Warning and Info once to the file and once to stdout, an
// Error only through the Error list (not twice), Debug and finer discarded.
TEST_F(LogTest, StartupConfigurationRoutesEachLevel) {
  const std::string path = configure_like_startup();
  testing::internal::CaptureStdout();
  HxLogStream(HxLogLvl::Warning) << "disk almost full: " << 93 << "%" << std::endl;
  HxLogStream(HxLogLvl::Error) << "it broke" << std::endl;
  HxLogStream(HxLogLvl::Debug) << "hidden" << std::endl;
  HxLogStream(HxLogLvl::Debug4) << "hidden" << std::endl;
  HxLogStream(HxLogLvl::FuncBase) << "hidden" << std::endl;
  HX_LOG_INFO << "shown" << std::endl;
  HxLogStream::m_logging_enabled = false;  // every message discarded
  HX_LOG_ERROR << "hidden" << std::endl;
  HxLogStream::m_logging_enabled = true;
  const Lines want = {"Warning: disk almost full: 93%", "Error: it broke", "Info: shown"};
  EXPECT_EQ(unstamped_lines(testing::internal::GetCapturedStdout()), want);
  EXPECT_EQ(unstamped_lines(read_file(path)), want);
}

// A mask list replaces the defaults; setting a key again replaces its list;
// only the first mask sharing a bit is tested for emptiness, and every
// matching mask from there on is written.
TEST_F(LogTest, MaskListsChooseTheDestinations) {
  auto file = [this](const char* n) { return (dir_ / n).string(); };
  HxLogStream::set_default_loggers(HxDestination::File(file("general")));
  HxLogStream::set_log_level_logger(HxLogLvl::Error, HxDestination::File(file("errors")));
  HX_LOG_ERROR << "e" << std::endl;
  HX_LOG_WARNING << "w" << std::endl;
  HxLogStream::set_log_level_logger(HxLogLvl::Error, HxDestination::File(file("errors2")));
  HX_LOG_ERROR << "e2" << std::endl;
  EXPECT_EQ(unstamped_lines(read_file(file("errors"))), Lines{"Error: e"});
  EXPECT_EQ(unstamped_lines(read_file(file("errors2"))), Lines{"Error: e2"});
  EXPECT_EQ(unstamped_lines(read_file(file("general"))), Lines{"Warning: w"});

  HxLogStream::set_log_level_logger(HxLogLvl::ErrorMask);  // key 1 now empty: an Error goes to the defaults
  HxLogStream::set_log_level_logger(HxLogLvl::WarningMask, HxDestination::File(file("w")));
  HxLogStream::set_log_level_logger(HxLogLvl::InfoMask, HxDestination::File(file("i")));
  HxLogStream::set_log_level_logger(HxLogLvl::DebugMask);  // empty: skipped
  HxLogStream::set_log_level_logger(HxLogLvl::FuncAll, HxDestination::File(file("func")));  // no common bit
  HX_LOG_ERROR << "e3" << std::endl;
  HX_LOG_WARNING << "w2" << std::endl;  // keys 3 and 7
  HX_LOG_INFO << "i" << std::endl;      // key 7 only
  EXPECT_EQ(unstamped_lines(read_file(file("general"))), (Lines{"Warning: w", "Error: e3"}));
  EXPECT_EQ(unstamped_lines(read_file(file("w"))), Lines{"Warning: w2"});
  EXPECT_EQ(unstamped_lines(read_file(file("i"))), (Lines{"Warning: w2", "Info: i"}));
  EXPECT_FALSE(boost::filesystem::exists(file("func")));
}

// Nothing configured for a level: stdout once; a mask list alone serves its
// levels. Local destinations take precedence. A destination that fails does
// not stop the others.
TEST_F(LogTest, FallbackLocalAndFailingDestinations) {
  const std::string errors = (dir_ / "errors.log").string();
  HxLogStream::set_log_level_logger(HxLogLvl::Error, HxDestination::File(errors));
  testing::internal::CaptureStdout();
  HX_LOG_INFO << "before configuration" << std::endl;
  HX_LOG_ERROR << "to the Error list" << std::endl;
  EXPECT_EQ(unstamped_lines(testing::internal::GetCapturedStdout()), Lines{"Info: before configuration"});
  EXPECT_EQ(unstamped_lines(read_file(errors)), Lines{"Error: to the Error list"});

  const std::string configured = configure_like_startup();
  const std::string local = (dir_ / "local.log").string();
  testing::internal::CaptureStdout();
  HxLogStream(HxLogLvl::Error, HxDestination::File(local)) << "only here" << std::endl;
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(unstamped_lines(read_file(local)), Lines{"Error: only here"});
  EXPECT_FALSE(boost::filesystem::exists(configured));

  const std::string unreachable = (dir_ / "no-such-dir" / "prog.log").string();
  HxLogStream::set_default_loggers(HxDestination::File(unreachable), HxDestination::Stdout());
  testing::internal::CaptureStdout();
  HX_LOG_WARNING << "still printed" << std::endl;
  EXPECT_EQ(unstamped_lines(testing::internal::GetCapturedStdout()), Lines{"Warning: still printed"});
  EXPECT_FALSE(boost::filesystem::exists(unreachable));
}

// The exact line: stamp, tag with pid, level, ostream insertion rules; a
// message without a line end continues the physical line.
TEST_F(LogTest, LineText) {
  const std::string path = (dir_ / "f.log").string();
  HxLogStream::set_default_loggers(HxDestination::File(path));
  HX_LOG_INFO << "first";
  HX_LOG_WARNING << "second" << "\n";
  EXPECT_TRUE(std::regex_match(
      read_file(path), std::regex(R"(\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\] Info: first)"
                                  R"(\[[0-9-]{10} [0-9:]{8}\] Warning: second\n)")))
      << read_file(path);

  boost::filesystem::remove(path);
  HX_LOG_INFO << std::hex << 255 << std::dec << " " << 255 << " " << std::quoted(std::string("a b")) << " "
              << boost::filesystem::path("/x y/\"z\"") << " " << 'c' << " " << 7u << " " << -3L << std::endl;
  HX_LOG_INFO << std::oct << boost::filesystem::owner_all << std::dec << std::endl;
  HxLogStream::tag_ = "hxmod";
  HX_LOG_INFO << "tagged" << std::endl;
  EXPECT_EQ(unstamped_lines(read_file(path)),
            (Lines{"Info: ff 255 \"a b\" \"/x y/&\"z&\"\" c 7 -3", "Info: 700",
                   "hxmod[" + std::to_string(getpid()) + "] Info: tagged"}));
}

}  // namespace
