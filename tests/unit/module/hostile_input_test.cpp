// Hostile command lines and resource lists: names that would lead out of the
// task's directory, signed numbers for unsigned options, JSON files that are
// too deep, too large or no files at all.
#include "options_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using hx_test::LogCapture;
using hx_test::TempDir;
using hx_test::StubModule;

const std::string kRule = "' (it may not contain \"/\" or control characters, nor be \".\" or \"..\")";

TEST(HostileInput, NamesThatBecomePathsAreRefused) {
  const struct {
    std::vector<std::string> args;
    std::string error;  // "" when accepted
  } cases[] = {
      {{"-b", "/r", "-d", "/t", "-n", "../db1"}, "Error: Archive name is not a valid name: '../db1" + kRule},
      {{"-b", "/r", "-d", "/t", "-n", ".."}, "Error: Archive name is not a valid name: '.." + kRule},
      {{"-b", "/r", "-m", "m", "-T", "."}, "Error: Task ID is not a valid name: '." + kRule},
      {{"-r", "a/../../etc", "-d", "/t"}, "Error: Record ID is not a valid name: 'a/../../etc" + kRule},
      {{"-r", "db1\nMAIN ARCHIVE FILENAME:/x"},
       "Error: Record ID is not a valid name: 'db1\\nMAIN ARCHIVE FILENAME:/x" + kRule},
      {{"-r", "db2", "-i", "../old"}, "Error: Archive to patch is not a valid name: '../old" + kRule},
      {{"-r", "/media/x/..", "--autonomous"}, "Error: Archive file name is not a valid name: '.." + kRule},
      // Ordinary names, an autonomous archive file named by its path, and
      // -i outside a restore, where it names nothing.
      {{"-b", "/r", "-n", "db 1;x'y..z", "-m", "m", "-T", "t-1"}, ""},
      {{"-r", "/media/x/db1_full_2024.hxfd", "--autonomous"}, ""},
      {{"-V", "-i", "../old"}, ""},
  };
  for (const auto& c : cases) {
    LogCapture log;
    StubModule module;
    EXPECT_EQ(c.error.empty(), module.parse(c.args)) << c.args[1];
    EXPECT_EQ(log.messages(), c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error})
        << c.args[1];
  }
}

TEST(HostileInput, UnsignedOptionsTakeDigitsOnly) {
  const std::string sig = "Error: bool HxModuleUniversal::parse_module_options(int, char**, HxModuleOptions&): ";
  const struct {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{"-V", "--parallelism=-1"}, "the argument ('-1') for option '--parallelism' is invalid"},
      {{"-V", "-G", "-5"}, "the argument ('-5') for option '--memory-threshold' is invalid"},
      {{"-V", "-p", "4294967296"}, "the argument ('4294967296') for option '--parallelism' is invalid"},
      {{"-V", "-p", "+3"}, "the argument ('+3') for option '--parallelism' is invalid"},
  };
  for (const auto& c : cases) {
    LogCapture log;
    StubModule module;
    EXPECT_FALSE(module.parse(c.args)) << c.args[1];
    EXPECT_EQ(log.messages(), std::vector<std::string>{sig + c.error});
  }
  StubModule module;
  ASSERT_TRUE(module.parse({"-V", "-p", "0", "-G", "4294967295"}));
  EXPECT_EQ(module.options_.parallelism, 0u);
  EXPECT_EQ(module.options_.memory_threshold, 4294967295u);
}

// Files that are no resource list are refused with the parser's error before
// the reader sees them; nothing crashes.
TEST(HostileInput, JsonTooDeepTooLargeOrNoFile) {
  TempDir dir;
  const std::string deep = dir.write("deep.json", std::string(200000, '[') + std::string(200000, ']'));
  const std::string large = dir.sparse("large.json", (16u << 20) + 1);
  // Brackets inside a text, after an escaped quote, nest nothing.
  const std::string brackets_in_text =
      dir.write("text.json", "[{\"path\": \"\\\"" + std::string(100, '[') + "\"}]");

  const std::string sig = "Error: bool ResourceList::parse_json_file(const string&): json parser error: ";
  const std::pair<std::string, std::string> refused[] = {
      {deep, deep + ": nested deeper than 64 levels"},
      {large, large + ": larger than 16777216 bytes"},
      {dir.str(), dir.str() + ": not a regular file"},
  };
  for (const auto& [path, error] : refused) {
    LogCapture log;
    ResourceList list;
    EXPECT_FALSE(list.parse_json_file(path)) << path;
    EXPECT_EQ(log.messages(), std::vector<std::string>{sig + error});
  }
  ResourceList list;
  EXPECT_TRUE(list.parse_json_file(brackets_in_text));
  EXPECT_EQ(list.resources().front(), "\"" + std::string(100, '['));
}

}  // namespace
