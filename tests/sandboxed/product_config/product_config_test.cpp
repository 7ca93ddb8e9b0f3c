// Readers of the product configuration file /opt/halvex/etc/config.file. Runs
// in the bare sandbox, whose private /opt holds the product tree.
#include "utils/hx_utils_common.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include <dlfcn.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kConfig[] = "/opt/halvex/etc/config.file";

void write_config(const std::string& text) {
  std::ofstream out(kConfig, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.good());
}

// Runs body in a forked child: its exit code, a blank, and its standard error.
std::string in_child(const std::function<void()>& body) {
  int p[2];
  EXPECT_EQ(0, ::pipe(p));
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(p[1], STDERR_FILENO);
    body();
    hx_process::exit_now(0);
  }
  ::close(p[1]);
  std::string err;
  char buf[512];
  for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;) err.append(buf, static_cast<std::size_t>(n));
  ::close(p[0]);
  int status = 0;
  EXPECT_EQ(pid, ::waitpid(pid, &status, 0));
  return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) + " " + err;
}

// The keyword/value pairs that libpq itself reads from a connection string
// (libpq loaded at run time: the test program does not link it directly).
std::map<std::string, std::string> libpq_parse(const std::string& conninfo) {
  std::map<std::string, std::string> values;
  static void* libpq = ::dlopen("libpq.so.5", RTLD_NOW);
  const auto parse = reinterpret_cast<decltype(&PQconninfoParse)>(libpq ? ::dlsym(libpq, "PQconninfoParse") : nullptr);
  const auto free_options = reinterpret_cast<decltype(&PQconninfoFree)>(libpq ? ::dlsym(libpq, "PQconninfoFree") : nullptr);
  PQconninfoOption* options = nullptr;
  char* error = nullptr;
  if (parse == nullptr || free_options == nullptr || (options = parse(conninfo.c_str(), &error)) == nullptr) {
    ADD_FAILURE() << "libpq missing or refuses [" << conninfo << "]: " << (error != nullptr ? error : "");
    return values;
  }
  for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
    if (o->val != nullptr) values[o->keyword] = o->val;
  }
  free_options(options);
  return values;
}

// Makes this (child) process see the node name "node" and the machine id
// "mid" (or no /etc/machine-id at all), in namespaces of its own; exits 90
// when it cannot.
void be_host_node(bool with_machine_id_mid = true) {
  const std::string file = std::string(std::getenv("HX_SANDBOX_DIR")) + "/machine-id.mid";
  std::ofstream(file) << "mid\n";
  if (::unshare(CLONE_NEWUTS | CLONE_NEWNS) != 0 || ::sethostname("node", 4) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      (with_machine_id_mid ? ::mount(file.c_str(), "/etc/machine-id", nullptr, MS_BIND, nullptr)
                           : ::mount("none", "/etc", "tmpfs", 0, nullptr)) != 0)
    std::_Exit(90);
}

const char kDbKeys[] =
    "who-is-primary-server primary.example\n"
    "who-is-secondary-server secondary.example\n"
    "dbname halvex\n"
    "user hxadmin\n"
    "host 127.0.0.1\n"
    "port 5432\n";

void load() {
  std::string conninfo;
  hx_utils_common::server::load_db_connection(conninfo);
}

std::string fields(const hx_auth& a) {
  return a.primary_server + "|" + a.secondary_server + "|" + a.user + "|" + a.password + "|" +
         std::to_string(a.reserved) + "|" + a.host + "|" + a.port + "|" + a.dbname + "|" + a.user_copy;
}

class ProductConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, std::getenv("HX_SANDBOX_DIR")) << "run inside testbed/sandbox";
  }
  void TearDown() override { std::remove(kConfig); }
};

}  // namespace

// Last line wins; comments (also indented) and other keys are skipped; tabs
// and runs of blanks are prepared away; a key without value does not count.
TEST_F(ProductConfig, Logfile) {
  const std::pair<std::string, std::string> cases[] = {
      {"# product settings\nlogfile /var/log/first.log\n#logfile /var/log/commented.log\nother-key value\n"
       "logfile /var/log/second.log\n   # logfile /var/log/indented.log\nlogfilex /var/log/other-key.log\n",
       "/var/log/second.log"},
      {"\t logfile\t\t/var/log/with  inner\t blanks.log  \r\n", "/var/log/with inner blanks.log"},
      {"logfile\t/var/log/tab.log\n", "/var/log/tab.log"},
      {"logfile\nlogfile   \n\n#logfile /x\n", "/opt/halvex/log/Halvex.log"},
      {"", "/opt/halvex/log/Halvex.log"},
  };
  for (const auto& [text, want] : cases) {
    write_config(text);
    EXPECT_EQ(want, hx_utils_common::get_logfile()) << text;
  }
}

TEST_F(ProductConfig, MissingFileEndsTheProcess) {
  std::remove(kConfig);
  for (auto body : {std::function<void()>([] { hx_utils_common::get_logfile(); }), std::function<void()>(load)}) {
    EXPECT_EQ("1 Can't open config file: /opt/halvex/etc/config.file\n", in_child(body));
  }
}

// Every field of the record (the constructor fills the last four) and the
// connection string; the last value of a key wins and may hold blanks.
TEST_F(ProductConfig, PlainCredentials) {
  const hx_auth bare("db.host", "5433", "base", "owner");
  EXPECT_EQ("||||0|db.host|5433|base|owner", fields(bare));
  write_config(std::string(kDbKeys) + "password s3cret\n");
  std::string conninfo = "replaced";
  auto auth = hx_utils_common::server::load_db_connection(conninfo);
  ASSERT_TRUE(auth);
  EXPECT_EQ("primary.example|secondary.example|hxadmin|s3cret|0|127.0.0.1|5432|halvex|hxadmin", fields(*auth));
  EXPECT_EQ("dbname = 'halvex' user = 'hxadmin' password = 's3cret' host = 127.0.0.1 port = 5432", conninfo);

  write_config(std::string(kDbKeys) + "password first\ndbname\tsecond base\npassword  two  words \n#password x\n");
  auth = hx_utils_common::server::load_db_connection(conninfo);
  EXPECT_EQ("two words", auth->password);
  EXPECT_EQ("dbname = 'second base' user = 'hxadmin' password = 'two words' host = 127.0.0.1 port = 5432",
            conninfo);
  const auto parsed = libpq_parse(conninfo);
  EXPECT_EQ("second base", parsed.at("dbname"));
  EXPECT_EQ("two words", parsed.at("password"));
}

// Quotes and backslashes are escaped so that libpq reads back the values.
TEST_F(ProductConfig, QuotesAndBackslashesAreEscapedForLibpq) {
  write_config("dbname o'base\nuser us\\er\npassword it's a \\'trap\\\nhost my host\nport 54'32\n");
  std::string conninfo;
  const auto auth = hx_utils_common::server::load_db_connection(conninfo);
  EXPECT_EQ("it's a \\'trap\\", auth->password);  // the record keeps the plain text
  EXPECT_EQ(
      "dbname = 'o\\'base' user = 'us\\\\er' password = 'it\\'s a \\\\\\'trap\\\\' host = 'my host' "
      "port = '54\\'32'",
      conninfo);
  const std::map<std::string, std::string> want = {
      {"dbname", "o'base"}, {"user", "us\\er"}, {"password", "it's a \\'trap\\"}, {"host", "my host"}, {"port", "54'32"}};
  auto parsed = libpq_parse(conninfo);
  for (const auto& [key, value] : want) EXPECT_EQ(value, parsed[key]) << key;
}

// "crypted " + hex is deciphered ("crypted" alone is a plain password); hex of
// another machine gives other bytes without an error; invalid hex ends the
// process with the reason.
TEST_F(ProductConfig, CryptedPassword) {
  std::string enciphered = "p@ss 'word'";
  hx_utils_common::server::encrypt_string(enciphered);
  write_config(std::string(kDbKeys) + "password crypted " + enciphered + "\n");
  std::string conninfo;
  EXPECT_EQ("p@ss 'word'", hx_utils_common::server::load_db_connection(conninfo)->password);
  EXPECT_EQ("p@ss 'word'", libpq_parse(conninfo).at("password"));
  write_config(std::string(kDbKeys) + "password crypted\n");
  EXPECT_EQ("crypted", hx_utils_common::server::load_db_connection(conninfo)->password);

  // In a child that is the host "node" with machine id "mid", known answers
  // (computed outside this code base with Python's hmac and the gost engine
  // of OpenSSL) decipher through the whole road: "secret" enciphered there,
  // and "secret" enciphered on the host "another-host", which gives other
  // bytes and no error.
  const std::pair<std::string, std::string> known[] = {
      {"506c415d3c12ee607a88ec2d3d2715a4", "0 736563726574"},
      {"3b34cc98a4f3cc724286131e5ad9414f", "0 183deeb7fd952212380eff3367fe54eb"}};
  for (const auto& [hex, result] : known) {
    write_config(std::string(kDbKeys) + "password crypted " + hex + "\n");
    EXPECT_EQ(result, in_child([] {
                be_host_node();
                std::string conninfo;
                const std::string password = hx_utils_common::server::load_db_connection(conninfo)->password;
                std::fputs(hx_utils_common::digest_as_string(reinterpret_cast<const unsigned char*>(password.data()),
                                                             password.size()).c_str(), stderr);
              }));
  }

  // Without /etc/machine-id the identifier comes from node name and system name alone.
  EXPECT_EQ("0 " + hx_utils_common::server::hardware_id_from("node", "", "Linux"), in_child([] {
              be_host_node(false);
              std::fputs(hx_utils_common::server::hardware_id().c_str(), stderr);
            }));

  const std::pair<std::string, std::string> invalid[] = {
      {"0a1", "hexadecimal text of odd length (3 characters)"}, {"0a1x", "not a hexadecimal digit at position 3"}};
  for (const auto& [hex, reason] : invalid) {
    write_config(std::string(kDbKeys) + "password crypted " + hex + "\n");
    EXPECT_EQ("1 Can't decipher the crypted password in config file: decrypt_string: " + reason + "\n",
              in_child(load));
  }
}

// The first empty key of dbname, user, password, host, port ends the process.
TEST_F(ProductConfig, MissingKeysAreReportedInOrder) {
  std::string empty;
  hx_utils_common::server::encrypt_string(empty);  // deciphers to an empty password
  const std::pair<std::string, std::string> cases[] = {
      {"", "dbname"},
      {"dbname d\nuser u\npassword p\nhost h\n", "port"},
      {"port 1\nhost h\npassword p\nuser u\n", "dbname"},
      {"dbname d\nport 1\nhost h\npassword p\n", "user"},
      {"dbname d\nuser u\nport 1\npassword p\n", "host"},
      {"dbname d\nuser u\nport 1\nhost h\n#password p\npassword\n", "password"},
      {"dbname d\nuser u\nport 1\nhost h\npassword crypted " + empty + "\n", "password"},
  };
  for (const auto& [text, key] : cases) {
    write_config(text);
    EXPECT_EQ("1 No " + key + "  in config file\n", in_child(load)) << text;
  }
}
