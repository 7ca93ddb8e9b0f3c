// Text checks, Base64, quoting and digest texts of hx_utils_common.
#include "utils/hx_utils_common.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace hx_utils_common;

TEST(Validators, AcceptAndRefuse) {
  const std::string l63(63, 'a'), l64(64, 'a');
  const struct {
    bool (*check)(const std::string&);
    const char* name;
    std::vector<std::string> accepted, refused;
  } cases[] = {
      {is_uint, "is_uint", {"42", "0", "4294967296", "18446744073709551615"},
       {"18446744073709551616", "042", "+42", " 42", "42 ", "4x2", "", "-1", "0x10"}},
      {is_time, "is_time", {"00:00:00", "23:59:59", "12:30:45 and more"},
       {"24:00:00", "12:60:00", "12:3x:00", "noon", ""}},
      {is_hostname, "is_hostname", {"a", "db-1.example", l63, l63 + "." + l63, "10.0.0.1"},
       {l64, "x." + l64, "-db", "db-", "db.-x", "db..example", "db.example.", ".db", "db_1", ""}},
      {is_email, "is_email", {"first.last+tag@mail.example.org", "a_b%c-d@x-y.io"},
       {"user@host", "user@host.c", "user@host.abcdefg", "user@host.c0m", "@host.com", "us er@host.com",
        "user@@host.com"}},
      {is_https_url_strict, "is_https_url_strict",
       {"https://backup.example.com", "backup.example.com/api/v1", "https://user@host.example.org/x=1/file.tar",
        "https://host:8443.example.org"},
       {"https://host.example.org:8443/x", "https://localhost", "https://a.b", "https://host.example.com/a b", ""}},
      {is_https_ip_strict, "is_https_ip_strict",
       {"https://0.0.0.0", "https://192.168.10.255", "https://255.255.255.255", "https://2001:db8:0:0:0:0:0:1",
        "https://FFFF:ffff:1:2:3:4:5:6"},
       {"https://192.168.10.256", "https://192.168.010.1", "http://192.168.10.1", "192.168.10.1",
        "https://192.168.10.1:443", "https://192.168.10.1/", "https://192.168.10", "https://2001:db8::1",
        "https://2001:db8:0:0:0:0:0:12345"}},
      {is_ip_address, "is_ip_address", {"127.0.0.1", "::1", "2001:db8::ff00:42:8329"},
       {"256.0.0.1", "1.2.3", "localhost", ""}},
      {is_valid_uuid, "is_valid_uuid",
       {"123e4567-e89b-12d3-a456-426614174000", "f47ac10b-58cc-4372-a567-0e02b2c3d479",
        "{f47ac10b-58cc-4372-a567-0e02b2c3d479}", "f47ac10b58cc4372a5670e02b2c3d479",
        "886313e1-3b8a-5372-9b90-0c9aee199e5d"},
       {"00000000-0000-0000-0000-000000000000", "f47ac10b-58cc-0372-a567-0e02b2c3d479",
        "f47ac10b-58cc-7372-a567-0e02b2c3d479", "f47ac10b-58cc-4372-a567-0e02b2c3d47", "not a uuid", ""}},
  };
  for (const auto& c : cases) {
    for (const auto& s : c.accepted) EXPECT_TRUE(c.check(s)) << c.name << "(\"" << s << "\")";
    for (const auto& s : c.refused) EXPECT_FALSE(c.check(s)) << c.name << "(\"" << s << "\")";
  }
}

// The value is stored, cut to 32 bits, only when the text is valid.
TEST(Validators, StringToUint) {
  unsigned int value = 7;
  EXPECT_FALSE(string_to_uint("-1", value));
  EXPECT_FALSE(string_to_uint("007", value));
  EXPECT_EQ(7u, value);
  const std::pair<const char*, unsigned> cases[] = {{"42", 42}, {"4294967296", 0}, {"4294967297", 1}};
  for (const auto& c : cases) {
    EXPECT_TRUE(string_to_uint(c.first, value)) << c.first;
    EXPECT_EQ(c.second, value) << c.first;
  }
}

TEST(Validators, PasswordComplexity) {
  const std::string text =
      "Password minimum length must be no shorter than 12 symbols and must contain at least 1 upper case "
      "letter, 1 special character, 1 digit";
  std::string message;
  EXPECT_TRUE(check_password_complexity("abcdefghiJ1!", message, false));
  EXPECT_TRUE(check_password_complexity("#Backup-2024", message, false));
  EXPECT_EQ("", message);
  // 11 characters; no upper case; no punctuation; no digit; a blank is not
  // punctuation; bytes outside ASCII are none of the classes.
  for (const char* bad : {"abcdefghJ1!", "abcdefghijk1!", "abcdefghijkL1", "abcdefghijkL!", "abc def ghiJ1",
                          "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"}) {
    message.clear();
    EXPECT_FALSE(check_password_complexity(bad, message, false)) << bad;
    EXPECT_EQ(text, message) << bad;
  }
  message.clear();
  EXPECT_FALSE(check_password_complexity("abcdefghiJ1!", message, true));  // only the message wanted
  EXPECT_EQ(text, message);
}

// Encoding pads with "="; decoding turns each "=" into a NUL byte and gives an
// empty result for a character outside the alphabet.
TEST(Encoders, Base64) {
  const std::pair<std::string, std::string> pairs[] = {
      {"abc", "YWJj"},   {"ab", "YWI="},     {"a", "YQ=="}, {"", ""}, {"foobar", "Zm9vYmFy"}, {"foob", "Zm9vYg=="},
      {std::string("\x00\xff\x10", 3), "AP8Q"}, {"\xfb\xff", "+/8="}};
  for (const auto& [plain, encoded] : pairs) {
    EXPECT_EQ(encoded, base64_encode(plain)) << encoded;
    const size_t pads = (3 - plain.size() % 3) % 3;
    EXPECT_EQ(plain + std::string(pads, '\0'), base64_decode(encoded)) << encoded;
  }
  const std::string long_text = base64_encode(std::string(300, 'x'));
  EXPECT_EQ(400u, long_text.size());
  EXPECT_EQ(std::string::npos, long_text.find('\n'));
  EXPECT_EQ("", base64_decode("YW*j"));
  EXPECT_EQ("", base64_decode("YW j"));
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(all + std::string(2, '\0'), base64_decode(base64_encode(all)));  // 256 bytes: two pads
}

// Values for the shell and libpq connection strings: ordinary shell
// words stay as they are, anything else is quoted so that it stays one word.
TEST(Encoders, ShellAndConninfoQuoting) {
  const std::vector<std::pair<std::string, std::string>> shell = {
      {"/var/lib/pg_15/data-1", "/var/lib/pg_15/data-1"}, {"a=b,c:d@e%f+g", "a=b,c:d@e%f+g"}, {"", "''"},
      {"two words", "'two words'"}, {"it's", "'it'\\''s'"}, {"$(rm -rf /)", "'$(rm -rf /)'"}};
  for (const auto& [value, quoted] : shell) EXPECT_EQ(quoted, shell_arg(value)) << value;
  EXPECT_EQ("\"a\\\"b\\$c\\`d\\\\e\"", shell_double_quoted("a\"b$c`d\\e"));
  EXPECT_EQ("'a\\'b\\\\c'", conninfo_value("a'b\\c"));
  EXPECT_EQ("'two words'", conninfo_value("two words"));
  EXPECT_EQ("''", conninfo_value(""));
  EXPECT_EQ("", conninfo_value("", true));
  EXPECT_EQ("5432", conninfo_value("5432"));
}

TEST(Encoders, QuoteAndDigestTexts) {
  EXPECT_EQ("'abc'", quote_string("abc"));
  EXPECT_EQ("''", quote_string(""));
  EXPECT_EQ("'it's'", quote_string("it's"));  // nothing escaped
  EXPECT_EQ("'a\\b \"c\"'", quote_string("a\\b \"c\""));
  unsigned char bytes[] = {0x01, 0x0a, 0x00, 0xff, 0x10, 0xAB};
  EXPECT_EQ("010a00ff10ab", digest_as_string(bytes, 6));
  EXPECT_EQ("", digest_as_string(bytes, 0));
  testing::internal::CaptureStdout();
  print_digest(bytes, 48);
  print_digest(bytes, 20);  // whole bytes only: 2
  print_digest(bytes, 0);
  EXPECT_EQ("01 0a 00 ff 10 ab \n01 0a \n\n", testing::internal::GetCapturedStdout());
}
