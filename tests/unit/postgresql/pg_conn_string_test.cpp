// The libpq keyword/value connection string built from the module
// configuration: exact text for plain values, and every string read back by
// libpq's own parser, so a value cannot end early, swallow the next keyword
// or add keywords of its own.
#include <dlfcn.h>
#include <gtest/gtest.h>
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

// Keywords and values as libpq reads the string ("!error" when it refuses it).
// libpq is loaded through libpqxx; its parser is looked up at run time.
std::map<std::string, std::string> parse_with_libpq(const std::string& conninfo) {
  auto parse = reinterpret_cast<PQconninfoOption* (*)(const char*, char**)>(dlsym(RTLD_DEFAULT, "PQconninfoParse"));
  auto free_options = reinterpret_cast<void (*)(PQconninfoOption*)>(dlsym(RTLD_DEFAULT, "PQconninfoFree"));
  std::map<std::string, std::string> out;
  char* error = nullptr;
  PQconninfoOption* options = parse != nullptr ? parse(conninfo.c_str(), &error) : nullptr;
  if (options == nullptr) {
    out["!error"] = error != nullptr ? error : "libpq parser unavailable";
    return out;
  }
  for (PQconninfoOption* option = options; option->keyword != nullptr; ++option)
    if (option->val != nullptr) out[option->keyword] = option->val;
  free_options(options);
  return out;
}

TEST(PgConnString, ExactTexts) {
  const std::string head = "host = localhost port = 5432 dbname = postgres user = ";
  const std::map<std::string, std::string> cases{
      {"secret", head + "backup password = secret"},
      {"p@ss=word%1,+:/", head + "backup password = p@ss=word%1,+:/"},
      {"", head + "backup password = "},  // ends in the blank after the last "="
      {"a b", head + "backup password = 'a b'"},
      {"it's", head + "backup password = 'it\\'s'"},
      {"back\\slash", head + "backup password = 'back\\\\slash'"},
  };
  for (const auto& c : cases) EXPECT_EQ(conn_string(make_conf("localhost", "5432", "backup", c.first)), c.second);
  EXPECT_EQ(conn_string(make_conf("localhost", "5432", "my user", "x")), head + "'my user' password = x");
  // Unquoted, "port = " would take the next word "dbname" as the port.
  EXPECT_EQ(conn_string(make_conf("localhost", "", "", "pw")),
            "host = localhost port = '' dbname = postgres user = '' password = pw");
}

TEST(PgConnString, EveryValueReadsBackUnchanged) {
  for (const hx_pg_conf& conf :
       {make_conf("localhost", "5432", "backup", ""), make_conf("", "", "", ""),
        make_conf("localhost", "5432", "backup", "a b' c\\d"), make_conf("localhost", "5432", "backup", "'"),
        make_conf("localhost", "5432", "backup", "ends with backslash\\"),
        make_conf("localhost", "5432", "backup", "tab\there"), make_conf("db host", "5432", "o'brien", "x"),
        // Unquoted, libpq would read sslmode and host as keywords of their own.
        make_conf("localhost", "5432", "backup", "pw sslmode=disable host=elsewhere")}) {
    const std::map<std::string, std::string> expected{{"host", conf.host},
                                                      {"port", conf.port},
                                                      {"dbname", "postgres"},
                                                      {"user", conf.username},
                                                      {"password", conf.password}};
    EXPECT_EQ(parse_with_libpq(conn_string(conf)), expected) << conn_string(conf);
  }
}

}  // namespace
