// The script runner and the special records added to a written archive, with
// the product's script directory and the archiver stand-in of the bare sandbox.
#include "unit/module/archiver_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>

#include <sys/stat.h>

namespace {

using namespace hx_archiver_test;

const std::string kScripts = "/opt/halvex/scripts";
const std::string kHead = "/opt/halvex/bin/hxfd -a sha2 -2  -b 16384";

class SpecialModule : public TaskModule {
 public:
  using HxModuleUniversal::special_records_;
};

std::string script(const std::string& name, const std::string& body) {
  const std::string path = kScripts + "/" + name;
  std::ofstream(path) << "#!/bin/sh\n" << body;
  chmod(path.c_str(), 0755);
  return path;
}

TEST(RunScript, RunsOnlyFromTheScriptDirectoryWithShellArguments) {
  TempDir dir;
  fs::create_directories(dir / "elsewhere");
  const std::string marker = dir / "elsewhere-ran";
  std::ofstream(dir / "elsewhere/x.sh") << "#!/bin/sh\ntouch " << marker << "\n";
  chmod((dir / "elsewhere/x.sh").c_str(), 0755);
  script("x.sh", "printf '[%s]' \"$@\" > " + (dir / "args") + "\necho ran here\n");

  SpecialModule module;
  LogSink log;
  EXPECT_TRUE(module.run_script(dir / "elsewhere/x.sh", "one 'two words'"));
  EXPECT_TRUE(log.has("Warning: Change script path to: /opt/halvex/scripts"));
  EXPECT_TRUE(log.has("Info: Run script before LVM snapshot creation. Script name: /opt/halvex/scripts/x.sh "
                      "one 'two words'"));
  EXPECT_TRUE(log.has("Info: ran here"));
  EXPECT_TRUE(log.has("Info: Script returned code: 0"));
  EXPECT_EQ(read_file(dir / "args"), "[one][two words]");
  EXPECT_FALSE(fs::exists(marker));

  log.clear();
  EXPECT_TRUE(module.run_script(kScripts + "/x.sh", ""));
  EXPECT_FALSE(log.has("Warning: Change script path to: /opt/halvex/scripts"));
  EXPECT_EQ(read_file(dir / "args"), "[]");

  // A name with a blank and shell characters is the script's name, nothing else.
  script("it's two;$(touch hx-ran).sh", "printf '[%s]' \"$@\" > " + (dir / "args") + "\n");
  EXPECT_TRUE(module.run_script("/elsewhere/it's two;$(touch hx-ran).sh", "three"));
  EXPECT_EQ(read_file(dir / "args"), "[three]");
  EXPECT_FALSE(fs::exists("hx-ran") || fs::exists(kScripts + "/hx-ran"));
}

TEST(RunScript, MissingNotRegularAndFailingScripts) {
  SpecialModule module;
  LogSink log;
  EXPECT_FALSE(module.run_script("/tmp/a\"b&c.sh", "x"));
  EXPECT_TRUE(log.has("Error: Script doesn't exist: \"/opt/halvex/scripts/a&\"b&&c.sh\""));

  fs::create_directories(kScripts + "/dir.sh");
  EXPECT_FALSE(module.run_script(kScripts + "/dir.sh", ""));
  EXPECT_TRUE(log.has("Error: \"/opt/halvex/scripts/dir.sh\" is not a regular file"));

  script("fails.sh", "echo broken; exit 3\n");
  log.clear();
  EXPECT_FALSE(module.run_script("fails.sh", ""));
  EXPECT_TRUE(log.has("Info: broken"));
  EXPECT_TRUE(log.has("Info: Script returned code: 3"));
  EXPECT_TRUE(log.has("Warning: Script returns code is not NULL"));
}

// A task T/db1 whose archive the stand-in has written, and one special record.
class AppendSpecial : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "data");
    dir_.write("data/d.txt", "data\n");
    dir_.write("extra.txt", "special\n");
    fs::create_directories(module_.snapshot_directory_path());
    module_.options_.tmp_operation_directory = T;
    module_.options_.archive_name = "db1";
    module_.options_.media_server = "ms1";
    module_.options_.task_id = "t1";
    module_.options_.resource_list_file = dir_ / "special.list";
    module_.special_records_[dir_ / "extra.txt"] = "extra/e.txt";
  }
  void write_archive(const std::string& form) {
    fs::create_directories(module_.snapshot_directory_path());
    std::string output;
    ASSERT_EQ(hx_utils_common::execute_command(
                  kHead + " -c " + (dir_ / "data") + " " + form + " -m " + module_.meta_filename(), output),
              0)
        << output;
  }
  std::string logged_command(const LogSink& log) const {
    const std::string marker = "Info: bool HxModuleUniversal::append_some_special(): Execute command:";
    for (const std::string& message : log.messages()) {
      if (message.rfind(marker, 0) == 0) return message.substr(marker.size());
    }
    return "";
  }

  TempDir dir_;
  const std::string T = dir_.str();
  SpecialModule module_;
};

// No records: nothing runs, even without a list file. Records without a list
// file, or whose list file cannot be written: false, with the reason logged.
TEST_F(AppendSpecial, NothingToAddRunsNothing) {
  module_.special_records_.clear();
  module_.options_.resource_list_file.clear();
  LogSink log(HxLogLvl::DebugMask);
  EXPECT_TRUE(module_.append_some_special());
  EXPECT_TRUE(log.messages().empty());
  module_.special_records_["x"] = "y";
  EXPECT_FALSE(module_.append_some_special());
  EXPECT_EQ(log.messages(), std::vector<std::string>{
                                "Debug: bool HxModuleUniversal::append_some_special(): options_.resource_list_file "
                                "is empty"});
  log.clear();
  module_.options_.resource_list_file = dir_ / "no-such-dir/special.list";
  EXPECT_FALSE(module_.append_some_special());
  EXPECT_EQ(log.messages(), std::vector<std::string>{
                                "Error: bool HxModuleUniversal::add_to_hxfd_list_file(const string&, const "
                                "std::map<std::__cxx11::basic_string<char>, std::__cxx11::basic_string<char> >&, "
                                "bool): can't create hxfd list file"});
}

TEST_F(AppendSpecial, AutonomousArchiveGetsTheRecords) {
  module_.options_.autonomous = true;
  write_archive("-n " + module_.archive_filename());
  LogSink log;
  ASSERT_TRUE(module_.append_some_special());
  EXPECT_EQ(logged_command(log), "cd '" + T + "' && " + kHead + " -u " + T + "/db1.hxfd --add " +
                                     (dir_ / "special.list") + " -z None");
  EXPECT_EQ(read_file(dir_ / "special.list"), "HXFD file list:\n   " + (dir_ / "extra.txt") + " : extra/e.txt\n");
  fs::create_directories(dir_ / "out");
  std::string output;
  ASSERT_EQ(hx_utils_common::execute_command(kHead + " -r " + module_.archive_filename() + " -d " + (dir_ / "out"),
                                             output),
            0)
      << output;
  EXPECT_EQ(read_file(dir_ / "out/extra/e.txt"), "special\n");
}

// Signature, cipher and memory threshold in the command; a cipher without a
// usable key file runs nothing.
TEST_F(AppendSpecial, SignatureCipherAndLimits) {
  module_.options_.autonomous = true;
  module_.options_.dgst = true;
  module_.options_.crypto = "kuznyechik";
  module_.options_.compress = 0;
  module_.options_.memory_threshold = 64;
  const std::string loop = dir_.self_link("loop.key");  // no key file
  const std::pair<std::string, std::string> refused[] = {{"", "Error: you must define key file"},
                                                         {loop, "Error: there is no key file: " + loop}};
  for (const auto& [key, error] : refused) {
    module_.options_.key_file = key;
    LogSink log;
    EXPECT_FALSE(module_.append_some_special());
    EXPECT_EQ(log.messages().back(), error);
    EXPECT_EQ(logged_command(log), "");
  }
  module_.options_.key_file = "/opt/halvex/keys/master-key";
  LogSink log;
  EXPECT_FALSE(module_.append_some_special());  // no archive to add to
  EXPECT_EQ(logged_command(log), "cd '" + T + "' && " + kHead + " -u " + T + "/db1.hxfd --add " +
                                     (dir_ / "special.list") + " -g " + T +
                                     "/db1.hxfd.signature --passin /opt/halvex/keys/master-key --sign "
                                     "/opt/halvex/keys/secret-key.pem -C kuznyechik -k /opt/halvex/keys/master-key "
                                     "--memory-threshold 64");
}

TEST_F(AppendSpecial, MediaArchiveGetsTheRecordsAndAFailureIsReported) {
  write_archive("-M ms1 -N db1 -T t1 -s x");
  module_.options_.parallelism = 4;
  LogSink log;
  ASSERT_TRUE(module_.append_some_special());
  const std::string command = "cd '" + T + "' && " + kHead + " -U db1 --add " + (dir_ / "special.list") +
                              " -M ms1 -T t1 -s /opt/halvex/var/tasks//task_secret_t1 -m " +
                              module_.meta_filename() + " -p 4 -z None";
  EXPECT_EQ(logged_command(log), command);
  std::string listing;
  ASSERT_EQ(hx_utils_common::execute_command("/opt/halvex/bin/hxfd -l " + module_.meta_filename(), listing), 0);
  EXPECT_NE(listing.find("extra/e.txt\n"), std::string::npos) << listing;

  setenv("HX_HXFD_FAIL", "add", 1);
  log.clear();
  EXPECT_FALSE(module_.append_some_special());
  unsetenv("HX_HXFD_FAIL");
  EXPECT_TRUE(log.has("Error: base_backup command: " + command));
  // The result is the archiver's whole output, its PID line first.
  const std::regex result("Error: base_backup command result: HXFD PID: [0-9]+\n"
                          "hxfd: error: add failed on request \\(HX_HXFD_FAIL\\)");
  bool found = false;
  for (const std::string& message : log.messages()) found = found || std::regex_match(message, result);
  EXPECT_TRUE(found);
}

}  // namespace
