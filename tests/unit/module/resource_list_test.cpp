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
using hx_test::LogCapture;
using hx_test::StubModule;
using Names = std::list<std::string>;

class ResourceListTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios_base::binary) << content;
    return path;
  }

  // A module whose resource is /srv/a and whose restriction list is `list`.
  std::unique_ptr<StubModule> restricted_by(const std::string& list) {
    HxModuleOptions options;
    options.resource = "/srv/a";
    options.restriction_list_file = list;
    return std::make_unique<StubModule>(options);
  }

  fs::path dir_ = fs::temp_directory_path() / fs::unique_path("hx-reslist-%%%%-%%%%");
};

TEST_F(ResourceListTest, PathMembersOfTheSecondLevelOnly) {
  const std::pair<std::string, Names> cases[] = {
      {R"([{"path": "/srv/a"}, {"path": "/srv/b"}])", {"/srv/a", "/srv/b"}},
      // Every "path" member of an element, duplicates included.
      {R"({"first": {"path": "/x", "other": "/no", "path": "/y"}, "second": {"path": "/x"}})", {"/x", "/y", "/x"}},
      // A "path" whose value is no text gives an empty name.
      {R"([{"path": {"a": "b"}}, {"path": ["/c"]}, {"path": "/d"}])", {"", "", "/d"}},
  };
  for (const auto& [json, names] : cases) {
    LogCapture log;
    ResourceList list;
    EXPECT_TRUE(list.parse_json_file(write("a.json", json))) << json;
    EXPECT_EQ(list.resources(), names) << json;
    EXPECT_TRUE(log.messages().empty()) << json;
  }
}

TEST_F(ResourceListTest, NoNamesGiveAWarningAndSucceed) {
  // A top-level "path" and a "path" two levels down are both ignored.
  for (const std::string doc : {"[]", "{}", R"({"path": "/top", "o": {"inner": {"path": "/deep"}}})"}) {
    LogCapture log;
    ResourceList list;
    EXPECT_TRUE(list.parse_json_file(write("empty.json", doc))) << doc;
    EXPECT_TRUE(list.is_empty()) << doc;
    ASSERT_EQ(log.messages().size(), 1u) << doc;
    EXPECT_EQ(log.messages()[0].rfind("Warning: ", 0), 0u) << doc;
  }
}

TEST_F(ResourceListTest, MissingOrMalformedFileFailsAndEmptiesTheList) {
  const std::string sig = "Error: bool ResourceList::parse_json_file(const string&): ";
  const std::string missing = (dir_ / "missing.json").string();
  const std::string loop = (dir_ / "loop.json").string();  // a link to itself: its status cannot be read
  ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
  // The file, and the Error line (of which the reader's own text is free).
  const std::pair<std::string, std::string> cases[] = {
      {write("bad.json", R"([{"path": "/srv/a"},)"), sig + "json parser error: " + dir_.string() + "/bad.json(1): "},
      {missing, sig + "resource list file does not exist: " + missing},
      {loop, sig + "filesystem error: boost::filesystem::status: Too many levels of symbolic links: \"" + loop + "\""}};
  for (const auto& [bad, message] : cases) {
    ResourceList list;
    ASSERT_TRUE(list.parse_json_file(write("good.json", R"([{"path": "/srv/a"}])")));
    LogCapture log;
    EXPECT_FALSE(list.parse_json_file(bad)) << bad;
    EXPECT_TRUE(list.is_empty()) << bad;
    ASSERT_EQ(log.messages().size(), 1u) << bad;
    const std::string logged = log.messages()[0];
    EXPECT_EQ(bad == cases[0].first ? logged.substr(0, message.size()) : logged, message);
  }
}

TEST_F(ResourceListTest, ListRestrictionNamesTheFirstRestrictedEntry) {
  ResourceList list;
  ASSERT_TRUE(list.parse_json_file(write("l.json", R"([{"path": "/a"}, {"path": "/b"}])")));
  LogCapture log;
  EXPECT_FALSE(list.check_local_restrictions({"/b", "/a"}));
  ASSERT_EQ(log.messages().size(), 1u);
  const std::string tail = ": Unable to backup this resource from ResourceList: /b. Local restriction";
  EXPECT_EQ(log.messages()[0].substr(log.messages()[0].size() - tail.size()), tail);
  log.clear();
  EXPECT_TRUE(list.check_local_restrictions({"/a ", "/B", "", "/c"}));
  EXPECT_TRUE(log.messages().empty());
}

TEST_F(ResourceListTest, RestrictionLinesAreTakenExactlyAsRead) {
  const auto m = restricted_by(write("r.list", "/srv/x\n\n/srv/b \n/srv/c\r\n#/srv/d\n/srv/e"));
  EXPECT_EQ(m->read_local_restrictions(),
            (std::vector<std::string>{"/srv/x", "", "/srv/b ", "/srv/c", "#/srv/d", "/srv/e"}));
  // Only a whole identical line restricts the resource, the last one without
  // a line feed too; a CRLF line end is a line end.
  EXPECT_TRUE(restricted_by(write("trail.list", "/srv/a \n/srv/a\r\r\n/SRV/A\n/srv\n/srv/ab"))->check_local_restrictions());
  LogCapture log;
  EXPECT_FALSE(restricted_by(write("hit.list", "/srv/x\n/srv/a"))->check_local_restrictions());
  EXPECT_FALSE(restricted_by(write("crlf.list", "/srv/x\r\n/srv/a\r\n"))->check_local_restrictions());
  EXPECT_TRUE(log.messages().empty());  // the caller reports it
}

TEST_F(ResourceListTest, MissingListRestrictsNothingUnreadableListIsReported) {
  LogCapture log;
  EXPECT_TRUE(restricted_by((dir_ / "none.list").string())->read_local_restrictions().empty());
  EXPECT_TRUE(restricted_by((dir_ / "none.list").string())->check_local_restrictions());
  EXPECT_TRUE(restricted_by("")->check_local_restrictions());
  EXPECT_TRUE(log.messages().empty());
  // A symbolic link to itself: its status cannot be read and it cannot be opened.
  const std::string loop = (dir_ / "loop.list").string();
  ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
  EXPECT_TRUE(restricted_by(loop)->check_local_restrictions());
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"Error: std::vector<std::__cxx11::basic_string<char> > "
                                                      "HxModuleUniversal::read_local_restrictions() const: unable to open " +
                                                      loop}));
}

}  // namespace
