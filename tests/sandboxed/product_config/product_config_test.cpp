// Readers of the product configuration file /opt/halvex/etc/config.file. Runs
// in the bare sandbox, whose private /opt holds the product tree.
#include "utils/hx_utils_common.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kConfig[] = "/opt/halvex/etc/config.file";

void write_config(const std::string& text) {
  std::ofstream out(kConfig, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.good());
}

struct ChildResult {
  int exit_code = -1;
  std::string err;
};

// Runs body in a forked child and collects its exit code and standard error.
ChildResult in_child(const std::function<void()>& body) {
  int p[2];
  EXPECT_EQ(0, ::pipe(p));
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(p[0]);
    ::dup2(p[1], STDERR_FILENO);
    body();
    std::_Exit(0);
  }
  ::close(p[1]);
  ChildResult result;
  char buf[512];
  ssize_t n;
  while ((n = ::read(p[0], buf, sizeof buf)) > 0) result.err.append(buf, static_cast<std::size_t>(n));
  ::close(p[0]);
  int status = 0;
  EXPECT_EQ(pid, ::waitpid(pid, &status, 0));
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

// The keyword/value pairs that libpq itself reads from a connection string.
// libpq is loaded at run time (it is there as the dependency of libpqxx; the
// test program does not link it directly).
std::map<std::string, std::string> libpq_parse(const std::string& conninfo) {
  std::map<std::string, std::string> values;
  static void* libpq = ::dlopen("libpq.so.5", RTLD_NOW);
  if (libpq == nullptr) {
    ADD_FAILURE() << "libpq.so.5 not loadable: " << ::dlerror();
    return values;
  }
  const auto parse = reinterpret_cast<decltype(&PQconninfoParse)>(::dlsym(libpq, "PQconninfoParse"));
  const auto free_options = reinterpret_cast<decltype(&PQconninfoFree)>(::dlsym(libpq, "PQconninfoFree"));
  const auto free_mem = reinterpret_cast<decltype(&PQfreemem)>(::dlsym(libpq, "PQfreemem"));
  if (parse == nullptr || free_options == nullptr || free_mem == nullptr) {
    ADD_FAILURE() << "libpq functions missing";
    return values;
  }
  char* error = nullptr;
  PQconninfoOption* options = parse(conninfo.c_str(), &error);
  if (options == nullptr) {
    ADD_FAILURE() << "libpq refuses [" << conninfo << "]: " << (error != nullptr ? error : "");
    free_mem(error);
    return values;
  }
  for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
    if (o->val != nullptr) values[o->keyword] = o->val;
  }
  free_options(options);
  return values;
}

const char kDbKeys[] =
    "who-is-primary-server primary.example\n"
    "who-is-secondary-server secondary.example\n"
    "dbname halvex\n"
    "user hxadmin\n"
    "host 127.0.0.1\n"
    "port 5432\n";

class ProductConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    // The configuration file is the product's fixed path: only inside the sandbox.
    ASSERT_NE(nullptr, std::getenv("HX_SANDBOX_DIR")) << "run inside testbed/sandbox";
  }
  void TearDown() override { std::remove(kConfig); }
};

}  // namespace

TEST(HxAuth, ConstructorFillsTheLastFourFields) {
  hx_auth auth("db.host", "5433", "base", "owner");
  EXPECT_EQ("", auth.primary_server);
  EXPECT_EQ("", auth.secondary_server);
  EXPECT_EQ("", auth.user);
  EXPECT_EQ("", auth.password);
  EXPECT_EQ(0, auth.reserved);
  EXPECT_EQ("db.host", auth.host);
  EXPECT_EQ("5433", auth.port);
  EXPECT_EQ("base", auth.dbname);
  EXPECT_EQ("owner", auth.user_copy);
}

TEST_F(ProductConfig, LogfileLastLineWins) {
  write_config(
      "# product settings\n"
      "logfile /var/log/first.log\n"
      "#logfile /var/log/commented.log\n"
      "other-key value\n"
      "logfile /var/log/second.log\n"
      "   # logfile /var/log/indented-comment.log\n"
      "logfilex /var/log/other-key.log\n");
  EXPECT_EQ("/var/log/second.log", hx_utils_common::get_logfile());
}

TEST_F(ProductConfig, LogfileLinesArePreparedBeforeMatching) {
  write_config("\t logfile\t\t/var/log/with  inner\t blanks.log  \r\n");
  EXPECT_EQ("/var/log/with inner blanks.log", hx_utils_common::get_logfile());
  write_config("logfile\t/var/log/tab.log\n");
  EXPECT_EQ("/var/log/tab.log", hx_utils_common::get_logfile());
}

TEST_F(ProductConfig, LogfileDefault) {
  write_config("logfile\nlogfile   \n\n#logfile /x\n");
  EXPECT_EQ("/opt/halvex/log/Halvex.log", hx_utils_common::get_logfile());
  write_config("");
  EXPECT_EQ("/opt/halvex/log/Halvex.log", hx_utils_common::get_logfile());
}

TEST_F(ProductConfig, MissingFileEndsTheProcess) {
  std::remove(kConfig);
  auto r = in_child([] { hx_utils_common::get_logfile(); });
  EXPECT_EQ(1, r.exit_code);
  EXPECT_EQ("Can't open config file: /opt/halvex/etc/config.file\n", r.err);
  r = in_child([] {
    std::string conninfo;
    hx_utils_common::server::load_db_connection(conninfo);
  });
  EXPECT_EQ(1, r.exit_code);
  EXPECT_EQ("Can't open config file: /opt/halvex/etc/config.file\n", r.err);
}

TEST_F(ProductConfig, PlainCredentials) {
  write_config(std::string(kDbKeys) + "password s3cret\n");
  std::string conninfo = "replaced";
  const auto auth = hx_utils_common::server::load_db_connection(conninfo);
  ASSERT_TRUE(auth);
  EXPECT_EQ("primary.example", auth->primary_server);
  EXPECT_EQ("secondary.example", auth->secondary_server);
  EXPECT_EQ("hxadmin", auth->user);
  EXPECT_EQ("s3cret", auth->password);
  EXPECT_EQ(0, auth->reserved);
  EXPECT_EQ("127.0.0.1", auth->host);
  EXPECT_EQ("5432", auth->port);
  EXPECT_EQ("halvex", auth->dbname);
  EXPECT_EQ("hxadmin", auth->user_copy);
  EXPECT_EQ("dbname = 'halvex' user = 'hxadmin' password = 's3cret' host = 127.0.0.1 port = 5432", conninfo);
}

TEST_F(ProductConfig, LastValueOfEachKeyAndValuesWithBlanks) {
  write_config(std::string(kDbKeys) +
               "password first\n"
               "dbname\tsecond base\n"
               "password  two  words \n"
               "#password commented\n");
  std::string conninfo;
  const auto auth = hx_utils_common::server::load_db_connection(conninfo);
  EXPECT_EQ("two words", auth->password);
  EXPECT_EQ("second base", auth->dbname);
  EXPECT_EQ("dbname = 'second base' user = 'hxadmin' password = 'two words' host = 127.0.0.1 port = 5432",
            conninfo);
  const auto parsed = libpq_parse(conninfo);
  EXPECT_EQ("second base", parsed.at("dbname"));
  EXPECT_EQ("two words", parsed.at("password"));
}

TEST_F(ProductConfig, QuotesAndBackslashesAreEscapedForLibpq) {
  write_config(
      "dbname o'base\n"
      "user us\\er\n"
      "password it's a \\'trap\\\n"
      "host my host\n"
      "port 54'32\n");
  std::string conninfo;
  const auto auth = hx_utils_common::server::load_db_connection(conninfo);
  EXPECT_EQ("it's a \\'trap\\", auth->password);  // the record keeps the plain text
  EXPECT_EQ("o'base", auth->dbname);
  EXPECT_EQ(
      "dbname = 'o\\'base' user = 'us\\\\er' password = 'it\\'s a \\\\\\'trap\\\\' host = 'my host' "
      "port = '54\\'32'",
      conninfo);
  const auto parsed = libpq_parse(conninfo);
  EXPECT_EQ("o'base", parsed.at("dbname"));
  EXPECT_EQ("us\\er", parsed.at("user"));
  EXPECT_EQ("it's a \\'trap\\", parsed.at("password"));
  EXPECT_EQ("my host", parsed.at("host"));
  EXPECT_EQ("54'32", parsed.at("port"));
}

TEST_F(ProductConfig, CryptedPasswordIsDeciphered) {
  std::string enciphered = "p@ss 'word'";
  hx_utils_common::server::encrypt_string(enciphered);
  write_config(std::string(kDbKeys) + "password crypted " + enciphered + "\n");
  std::string conninfo;
  const auto auth = hx_utils_common::server::load_db_connection(conninfo);
  EXPECT_EQ("p@ss 'word'", auth->password);
  EXPECT_EQ("p@ss 'word'", libpq_parse(conninfo).at("password"));

  // "crypted" without anything after it is a plain password.
  write_config(std::string(kDbKeys) + "password crypted\n");
  EXPECT_EQ("crypted", hx_utils_common::server::load_db_connection(conninfo)->password);
}

TEST_F(ProductConfig, CryptedPasswordOfAnotherMachineIsNotRefused) {
  std::string enciphered = "secret";
  hx_utils_common::server::encrypt_string_with_id(
      enciphered, hx_utils_common::server::hardware_id_from("another-host", "", "Linux"));
  write_config(std::string(kDbKeys) + "password crypted " + enciphered + "\n");
  // Deciphered to other bytes without an error (a NUL among them would
  // shorten the text, and an empty result is a missing password).
  const auto r = in_child([] {
    std::string conninfo;
    const auto auth = hx_utils_common::server::load_db_connection(conninfo);
    std::_Exit(auth->password == "secret" ? 3 : 0);
  });
  EXPECT_TRUE(r.exit_code == 0 || (r.exit_code == 1 && r.err == "No password  in config file\n"))
      << r.exit_code << " " << r.err;
}

TEST_F(ProductConfig, InvalidCryptedPasswordEndsTheProcess) {
  write_config(std::string(kDbKeys) + "password crypted 0a1\n");
  auto r = in_child([] {
    std::string conninfo;
    hx_utils_common::server::load_db_connection(conninfo);
  });
  EXPECT_EQ(1, r.exit_code);
  EXPECT_EQ(
      "Can't decipher the crypted password in config file: decrypt_string: hexadecimal text of odd length (3 "
      "characters)\n",
      r.err);

  write_config(std::string(kDbKeys) + "password crypted 0a1x\n");
  r = in_child([] {
    std::string conninfo;
    hx_utils_common::server::load_db_connection(conninfo);
  });
  EXPECT_EQ(1, r.exit_code);
  EXPECT_EQ("Can't decipher the crypted password in config file: decrypt_string: not a hexadecimal digit at "
            "position 3\n",
            r.err);
}

TEST_F(ProductConfig, MissingKeysAreReportedInOrder) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"", "No dbname  in config file\n"},
      {"dbname d\nuser u\npassword p\nhost h\n", "No port  in config file\n"},
      {"port 1\nhost h\npassword p\nuser u\n", "No dbname  in config file\n"},
      {"dbname d\nport 1\nhost h\npassword p\n", "No user  in config file\n"},
      {"dbname d\nuser u\nport 1\npassword p\n", "No host  in config file\n"},
      {"dbname d\nuser u\nport 1\nhost h\n#password p\npassword\n", "No password  in config file\n"},
      {"dbname d\nuser u\nport 1\nhost h\nhost\tdb\n", "No password  in config file\n"},
  };
  for (const auto& c : cases) {
    write_config(c.text);
    const auto r = in_child([] {
      std::string conninfo;
      hx_utils_common::server::load_db_connection(conninfo);
    });
    EXPECT_EQ(1, r.exit_code) << c.text;
    EXPECT_EQ(c.message, r.err) << c.text;
  }

  // The enciphered form of the empty text deciphers to an empty password.
  std::string empty;
  hx_utils_common::server::encrypt_string(empty);
  write_config("dbname d\nuser u\nport 1\nhost h\npassword crypted " + empty + "\n");
  const auto r = in_child([] {
    std::string conninfo;
    hx_utils_common::server::load_db_connection(conninfo);
  });
  EXPECT_EQ(1, r.exit_code);
  EXPECT_EQ("No password  in config file\n", r.err);
}
