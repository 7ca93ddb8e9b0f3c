// JSON resource lists of -B, the local restriction list and both restriction tests.
#include "options_test_support.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <list>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = boost::filesystem;
using hx_test::LogSink;
using hx_test::StubModule;

const std::string kJsonSig = "bool ResourceList::parse_json_file(const string&)";
const std::string kListSig =
    "bool ResourceList::check_local_restrictions(const std::vector<std::__cxx11::basic_string<char> >&) const";
const std::string kReadSig =
    "std::vector<std::__cxx11::basic_string<char> > HxModuleUniversal::read_local_restrictions() const";

class ResourceListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / fs::unique_path("hx-reslist-%%%%-%%%%");
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    const fs::path path = dir_ / name;
    std::ofstream(path.string(), std::ios_base::binary) << content;
    return path.string();
  }

  static std::list<std::string> names(const ResourceList& list) { return list.resources(); }

  fs::path dir_;
};

TEST_F(ResourceListTest, PathsOfTopLevelElementsInOrder) {
  LogSink log;
  ResourceList list;
  const auto file = write("a.json", R"([{"path": "/srv/a"}, {"path": "/srv/b"}])");
  EXPECT_TRUE(list.parse_json_file(file));
  EXPECT_EQ(names(list), (std::list<std::string>{"/srv/a", "/srv/b"}));
  EXPECT_FALSE(list.is_empty());
  EXPECT_TRUE(log.messages().empty());
}

TEST_F(ResourceListTest, EveryPathMemberOfAnElementDuplicatesIncluded) {
  ResourceList list;
  const auto file = write("d.json",
                          R"({"first": {"path": "/x", "other": "/no", "path": "/y"},
                              "second": {"path": "/x"}})");
  EXPECT_TRUE(list.parse_json_file(file));
  EXPECT_EQ(names(list), (std::list<std::string>{"/x", "/y", "/x"}));
}

TEST_F(ResourceListTest, EmptyDocumentsGiveAWarningAndSucceed) {
  for (const std::string& doc : {std::string("[]"), std::string("{}")}) {
    LogSink log;
    ResourceList list;
    const auto file = write("empty.json", doc);
    EXPECT_TRUE(list.parse_json_file(file)) << doc;
    EXPECT_TRUE(list.is_empty()) << doc;
    ASSERT_EQ(log.messages().size(), 1u) << doc;
    EXPECT_EQ(log.messages()[0], "Warning: " + kJsonSig + ": there is no any resource in json file: " + file);
  }
}

TEST_F(ResourceListTest, OnlyTheSecondLevelIsExamined) {
  LogSink log;
  ResourceList list;
  // A top-level "path" and a "path" two levels down are both ignored.
  const auto file = write("levels.json", R"({"path": "/top", "o": {"inner": {"path": "/deep"}}})");
  EXPECT_TRUE(list.parse_json_file(file));
  EXPECT_TRUE(list.is_empty());
  ASSERT_EQ(log.messages().size(), 1u);
  EXPECT_EQ(log.messages()[0].rfind("Warning: ", 0), 0u);
}

TEST_F(ResourceListTest, PathWithObjectOrArrayValueGivesEmptyName) {
  ResourceList list;
  const auto file = write("obj.json", R"([{"path": {"a": "b"}}, {"path": ["/c"]}, {"path": "/d"}])");
  EXPECT_TRUE(list.parse_json_file(file));
  EXPECT_EQ(names(list), (std::list<std::string>{"", "", "/d"}));
}

TEST_F(ResourceListTest, MalformedJsonFailsAndEmptiesTheList) {
  ResourceList list;
  ASSERT_TRUE(list.parse_json_file(write("good.json", R"([{"path": "/srv/a"}])")));
  LogSink log;
  const auto bad = write("bad.json", R"([{"path": "/srv/a"},)");
  EXPECT_FALSE(list.parse_json_file(bad));
  EXPECT_TRUE(list.is_empty());
  ASSERT_EQ(log.messages().size(), 1u);
  const std::string prefix = "Error: " + kJsonSig + ": json parser error: ";
  EXPECT_EQ(log.messages()[0].rfind(prefix, 0), 0u) << log.messages()[0];
  EXPECT_GT(log.messages()[0].size(), prefix.size());  // the reader's own text follows
}

TEST_F(ResourceListTest, MissingFileFailsWithItsMessage) {
  ResourceList list;
  ASSERT_TRUE(list.parse_json_file(write("good.json", R"([{"path": "/srv/a"}])")));
  LogSink log;
  const std::string missing = (dir_ / "missing.json").string();
  EXPECT_FALSE(list.parse_json_file(missing));
  EXPECT_TRUE(list.is_empty());
  ASSERT_EQ(log.messages().size(), 1u);
  EXPECT_EQ(log.messages()[0], "Error: " + kJsonSig + ": resource list file does not exist: " + missing);
}

TEST_F(ResourceListTest, ClearEmptiesTheList) {
  ResourceList list;
  ASSERT_TRUE(list.parse_json_file(write("good.json", R"([{"path": "/srv/a"}])")));
  list.clear();
  EXPECT_TRUE(list.is_empty());
}

TEST_F(ResourceListTest, ListRestrictionReportsTheFirstRestrictedEntry) {
  ResourceList list;
  ASSERT_TRUE(list.parse_json_file(write("l.json", R"([{"path": "/a"}, {"path": "/b"}])")));
  {
    LogSink log;
    EXPECT_FALSE(list.check_local_restrictions({"/b", "/a"}));
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_EQ(log.messages()[0],
              "Error: " + kListSig + ": Unable to backup this resource from ResourceList: /b. Local restriction");
  }
  {
    LogSink log;
    EXPECT_TRUE(list.check_local_restrictions({"/a ", "/B", "", "/c"}));
    EXPECT_TRUE(log.messages().empty());
  }
}

using RestrictionTest = ResourceListTest;

TEST_F(RestrictionTest, LinesAreTakenExactlyAsRead) {
  const auto file = write("r.list", "/srv/a\n\n/srv/b \n/srv/c\r\n#/srv/d\n/srv/e");
  HxModuleOptions options;
  options.restriction_list_file = file;
  StubModule m(options);
  EXPECT_EQ(m.read_local_restrictions(),
            (std::vector<std::string>{"/srv/a", "", "/srv/b ", "/srv/c\r", "#/srv/d", "/srv/e"}));
}

TEST_F(RestrictionTest, MissingListRestrictsNothingSilently) {
  LogSink log;
  HxModuleOptions options;
  options.resource = "/srv/a";
  options.restriction_list_file = (dir_ / "none.list").string();
  StubModule m(options);
  EXPECT_TRUE(m.read_local_restrictions().empty());
  EXPECT_TRUE(m.check_local_restrictions());
  options.restriction_list_file = "";
  StubModule unset(options);
  EXPECT_TRUE(unset.check_local_restrictions());
  EXPECT_TRUE(log.messages().empty());
}

TEST_F(RestrictionTest, UnreadableListIsReportedAndRestrictsNothing) {
  // A symbolic link to itself: its status cannot be read and it cannot be opened.
  const fs::path loop = dir_ / "loop.list";
  ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
  LogSink log;
  HxModuleOptions options;
  options.resource = "/srv/a";
  options.restriction_list_file = loop.string();
  StubModule m(options);
  EXPECT_TRUE(m.check_local_restrictions());
  ASSERT_EQ(log.messages().size(), 1u);
  EXPECT_EQ(log.messages()[0], "Error: " + kReadSig + ": unable to open " + loop.string());
}

TEST_F(RestrictionTest, ResourceMatchesOnlyAWholeIdenticalLine) {
  {
    HxModuleOptions options;
    options.resource = "/srv/a";
    options.restriction_list_file = write("trail.list", "/srv/a \n/srv/a\r\n/SRV/A\n/srv\n/srv/ab");
    StubModule m(options);
    EXPECT_TRUE(m.check_local_restrictions());
  }
  {
    HxModuleOptions options;
    options.resource = "/srv/a";
    options.restriction_list_file = write("hit.list", "/srv/x\n/srv/a");  // last line without a line feed
    StubModule m(options);
    LogSink log;
    EXPECT_FALSE(m.check_local_restrictions());
    EXPECT_TRUE(log.messages().empty());  // the caller reports it
  }
}

TEST_F(RestrictionTest, ParserAcceptsAnEmptyJsonListWithAWarning) {
  const auto file = write("empty.json", "[]");
  LogSink log;
  StubModule m;
  EXPECT_TRUE(m.parse({"prog", "-B", file}));
  EXPECT_EQ(m.options_.mode, HxModuleMode::BackupList);
  EXPECT_TRUE(m.options_.resource_list.is_empty());
  ASSERT_EQ(log.messages().size(), 1u);
  EXPECT_EQ(log.messages()[0].rfind("Warning: ", 0), 0u);
}

TEST_F(RestrictionTest, ParserFillsTheResourceList) {
  const auto file = write("two.json", R"([{"path": "/srv/a"}, {"path": "/srv/b"}])");
  StubModule m;
  EXPECT_TRUE(m.parse({"prog", "-1", "-B", file, "-d", "/tmp/t", "-n", "N"}));
  EXPECT_EQ(m.options_.mode, HxModuleMode::BackupList);
  EXPECT_EQ(m.options_.backup_type, HxBackupType::Full);
  EXPECT_EQ(m.options_.resource, file);
  EXPECT_EQ(m.options_.resource_list.resources(), (std::list<std::string>{"/srv/a", "/srv/b"}));
}

}  // namespace
