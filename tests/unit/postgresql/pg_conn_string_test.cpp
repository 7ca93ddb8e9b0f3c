// The libpq keyword/value connection string built from the module
// configuration. Every string is also read back with libpq's own parser, so a
// value that would end early, swallow the next keyword or add a keyword of its
// own is caught.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <libpq-fe.h>

#include <map>
#include <string>

#include "postgresql/hx_postgresql_common.h"

namespace {

using hx_postgresql_common::conn_string;

hx_pg_conf make_conf(const std::string& host, const std::string& port, const std::string& user,
                     const std::string& password) {
  hx_pg_conf conf;
  conf.host = host;
  conf.port = port;
  conf.username = user;
  conf.password = password;
  return conf;
}

// Keywords and values as libpq reads the string; "!error: ..." when it refuses it.
// libpq is already loaded (libpqxx uses it), so its parser is looked up at run time.
std::map<std::string, std::string> parse_with_libpq(const std::string& conninfo) {
  using parse_fn = PQconninfoOption* (*)(const char*, char**);
  using free_fn = void (*)(PQconninfoOption*);
  using freemem_fn = void (*)(void*);
  auto parse = reinterpret_cast<parse_fn>(dlsym(RTLD_DEFAULT, "PQconninfoParse"));
  auto free_options = reinterpret_cast<free_fn>(dlsym(RTLD_DEFAULT, "PQconninfoFree"));
  auto free_memory = reinterpret_cast<freemem_fn>(dlsym(RTLD_DEFAULT, "PQfreemem"));
  std::map<std::string, std::string> out;
  if (parse == nullptr || free_options == nullptr || free_memory == nullptr) {
    out["!error"] = "libpq is not loaded";
    return out;
  }
  char* error = nullptr;
  PQconninfoOption* options = parse(conninfo.c_str(), &error);
  if (options == nullptr) {
    out["!error"] = error != nullptr ? error : "unknown";
    if (error != nullptr) free_memory(error);
    return out;
  }
  for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
    if (option->val != nullptr) out[option->keyword] = option->val;
  }
  free_options(options);
  return out;
}

void expect_reads_back(const hx_pg_conf& conf) {
  const std::string text = conn_string(conf);
  SCOPED_TRACE("connection string: " + text);
  const auto parsed = parse_with_libpq(text);
  ASSERT_EQ(parsed.count("!error"), 0u) << parsed.at("!error");
  std::map<std::string, std::string> expected{{"host", conf.host},
                                              {"port", conf.port},
                                              {"dbname", "postgres"},
                                              {"user", conf.username},
                                              {"password", conf.password}};
  EXPECT_EQ(parsed, expected);
}

TEST(PgConnString, PlainValuesKeepTheExactText) {
  EXPECT_EQ(conn_string(make_conf("localhost", "5432", "backup", "secret")),
            "host = localhost port = 5432 dbname = postgres user = backup password = secret");
  EXPECT_EQ(conn_string(make_conf("127.0.0.1", "6543", "hx_user", "p@ss=word%1,+:/")),
            "host = 127.0.0.1 port = 6543 dbname = postgres user = hx_user password = p@ss=word%1,+:/");
}

TEST(PgConnString, EmptyPasswordEndsAfterTheLastEqualsSign) {
  const std::string text = conn_string(make_conf("localhost", "5432", "backup", ""));
  EXPECT_EQ(text, "host = localhost port = 5432 dbname = postgres user = backup password = ");
  expect_reads_back(make_conf("localhost", "5432", "backup", ""));
}

TEST(PgConnString, ValuesThatNeedQuotesAreQuotedForLibpq) {
  EXPECT_EQ(conn_string(make_conf("localhost", "5432", "backup", "a b")),
            "host = localhost port = 5432 dbname = postgres user = backup password = 'a b'");
  EXPECT_EQ(conn_string(make_conf("localhost", "5432", "backup", "it's")),
            "host = localhost port = 5432 dbname = postgres user = backup password = 'it\\'s'");
  EXPECT_EQ(conn_string(make_conf("localhost", "5432", "backup", "back\\slash")),
            "host = localhost port = 5432 dbname = postgres user = backup password = 'back\\\\slash'");
  EXPECT_EQ(conn_string(make_conf("localhost", "5432", "my user", "x")),
            "host = localhost port = 5432 dbname = postgres user = 'my user' password = x");
}

TEST(PgConnString, EmptyValuesBeforeTheEndAreQuoted) {
  // Unquoted, "port = " would take the next word "dbname" as the port.
  EXPECT_EQ(conn_string(make_conf("localhost", "", "", "pw")),
            "host = localhost port = '' dbname = postgres user = '' password = pw");
  expect_reads_back(make_conf("", "", "", ""));
}

TEST(PgConnString, EveryValueReadsBackUnchanged) {
  expect_reads_back(make_conf("localhost", "5432", "backup", "secret"));
  expect_reads_back(make_conf("localhost", "5432", "backup", "a b' c\\d"));
  expect_reads_back(make_conf("localhost", "5432", "backup", "'"));
  expect_reads_back(make_conf("localhost", "5432", "backup", "\\"));
  expect_reads_back(make_conf("localhost", "5432", "backup", "ends with backslash\\"));
  expect_reads_back(make_conf("localhost", "5432", "backup", "tab\there"));
  expect_reads_back(make_conf("db host", "5432", "o'brien", "x"));
}

TEST(PgConnString, PasswordCannotAddKeywordsOfItsOwn) {
  // Without quotes libpq would read sslmode and host as keywords of their own.
  const hx_pg_conf conf = make_conf("localhost", "5432", "backup", "pw sslmode=disable host=elsewhere");
  expect_reads_back(conf);
  const auto parsed = parse_with_libpq(conn_string(conf));
  EXPECT_EQ(parsed.count("sslmode"), 0u);
  EXPECT_EQ(parsed.at("host"), "localhost");
}

}  // namespace
