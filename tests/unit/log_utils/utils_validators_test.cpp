// Text checks, Base64, quoting and digest texts of hx_utils_common.
#include "utils/hx_utils_common.h"

#include <gtest/gtest.h>

#include <string>

using namespace hx_utils_common;

TEST(IsUint, AcceptsOnlyTheCanonicalDecimalForm) {
  EXPECT_TRUE(is_uint("42"));
  EXPECT_TRUE(is_uint("0"));
  EXPECT_TRUE(is_uint("4294967296"));             // 2^32
  EXPECT_TRUE(is_uint("18446744073709551615"));   // 2^64 - 1
  EXPECT_FALSE(is_uint("18446744073709551616"));  // out of range
  EXPECT_FALSE(is_uint("042"));
  EXPECT_FALSE(is_uint("+42"));
  EXPECT_FALSE(is_uint(" 42"));
  EXPECT_FALSE(is_uint("42 "));
  EXPECT_FALSE(is_uint("4x2"));
  EXPECT_FALSE(is_uint(""));
  EXPECT_FALSE(is_uint("-1"));
  EXPECT_FALSE(is_uint("0x10"));
}

TEST(StringToUint, StoresTheValueCutTo32BitsOnlyWhenValid) {
  unsigned int value = 7;
  EXPECT_TRUE(string_to_uint("42", value));
  EXPECT_EQ(42u, value);
  EXPECT_TRUE(string_to_uint("4294967296", value));
  EXPECT_EQ(0u, value);
  EXPECT_TRUE(string_to_uint("4294967297", value));
  EXPECT_EQ(1u, value);
  value = 7;
  EXPECT_FALSE(string_to_uint("-1", value));
  EXPECT_FALSE(string_to_uint("", value));
  EXPECT_FALSE(string_to_uint("007", value));
  EXPECT_EQ(7u, value);
}

TEST(IsTime, ReadsHoursMinutesSeconds) {
  EXPECT_TRUE(is_time("00:00:00"));
  EXPECT_TRUE(is_time("23:59:59"));
  EXPECT_TRUE(is_time("12:30:45 and more"));  // nothing after the seconds is examined
  EXPECT_FALSE(is_time("24:00:00"));
  EXPECT_FALSE(is_time("12:60:00"));
  EXPECT_FALSE(is_time("12:3x:00"));
  EXPECT_FALSE(is_time("noon"));
  EXPECT_FALSE(is_time(""));
}

TEST(IsHostname, LabelRules) {
  const std::string label63(63, 'a');
  const std::string label64(64, 'a');
  EXPECT_TRUE(is_hostname("a"));
  EXPECT_TRUE(is_hostname("db-1.example"));
  EXPECT_TRUE(is_hostname(label63));
  EXPECT_TRUE(is_hostname(label63 + "." + label63));
  EXPECT_TRUE(is_hostname("10.0.0.1"));
  EXPECT_FALSE(is_hostname(label64));
  EXPECT_FALSE(is_hostname("x." + label64));
  EXPECT_FALSE(is_hostname("-db"));
  EXPECT_FALSE(is_hostname("db-"));
  EXPECT_FALSE(is_hostname("db.-x"));
  EXPECT_FALSE(is_hostname("db..example"));
  EXPECT_FALSE(is_hostname("db.example."));
  EXPECT_FALSE(is_hostname(".db"));
  EXPECT_FALSE(is_hostname("db_1"));
  EXPECT_FALSE(is_hostname(""));
}

TEST(IsEmail, Pattern) {
  EXPECT_TRUE(is_email("first.last+tag@mail.example.org"));
  EXPECT_TRUE(is_email("a_b%c-d@x-y.io"));
  EXPECT_FALSE(is_email("user@host"));           // no top-level part
  EXPECT_FALSE(is_email("user@host.c"));         // one letter
  EXPECT_FALSE(is_email("user@host.abcdefg"));   // seven letters
  EXPECT_FALSE(is_email("user@host.c0m"));
  EXPECT_FALSE(is_email("@host.com"));
  EXPECT_FALSE(is_email("us er@host.com"));
  EXPECT_FALSE(is_email("user@@host.com"));
}

TEST(IsHttpsUrlStrict, Pattern) {
  EXPECT_TRUE(is_https_url_strict("https://backup.example.com"));
  EXPECT_TRUE(is_https_url_strict("backup.example.com/api/v1"));
  EXPECT_TRUE(is_https_url_strict("https://user@host.example.org/x=1/file.tar"));
  EXPECT_TRUE(is_https_url_strict("https://host:8443.example.org"));
  EXPECT_FALSE(is_https_url_strict("https://host.example.org:8443/x"));  // nothing like a port after the domain
  EXPECT_FALSE(is_https_url_strict("https://localhost"));
  EXPECT_FALSE(is_https_url_strict("https://a.b"));  // one character before the dot, one after
  EXPECT_FALSE(is_https_url_strict("https://host.example.com/a b"));
  EXPECT_FALSE(is_https_url_strict(""));
}

TEST(IsHttpsIpStrict, Ipv4AndFullIpv6Only) {
  EXPECT_TRUE(is_https_ip_strict("https://0.0.0.0"));
  EXPECT_TRUE(is_https_ip_strict("https://192.168.10.255"));
  EXPECT_TRUE(is_https_ip_strict("https://255.255.255.255"));
  EXPECT_TRUE(is_https_ip_strict("https://2001:db8:0:0:0:0:0:1"));
  EXPECT_TRUE(is_https_ip_strict("https://FFFF:ffff:1:2:3:4:5:6"));
  EXPECT_FALSE(is_https_ip_strict("https://192.168.10.256"));
  EXPECT_FALSE(is_https_ip_strict("https://192.168.010.1"));
  EXPECT_FALSE(is_https_ip_strict("http://192.168.10.1"));
  EXPECT_FALSE(is_https_ip_strict("192.168.10.1"));
  EXPECT_FALSE(is_https_ip_strict("https://192.168.10.1:443"));
  EXPECT_FALSE(is_https_ip_strict("https://192.168.10.1/"));
  EXPECT_FALSE(is_https_ip_strict("https://192.168.10"));
  EXPECT_FALSE(is_https_ip_strict("https://2001:db8::1"));
  EXPECT_FALSE(is_https_ip_strict("https://2001:db8:0:0:0:0:0:12345"));
}

TEST(IsIpAddress, Ipv4AndIpv6) {
  EXPECT_TRUE(is_ip_address("127.0.0.1"));
  EXPECT_TRUE(is_ip_address("::1"));
  EXPECT_TRUE(is_ip_address("2001:db8::ff00:42:8329"));
  EXPECT_FALSE(is_ip_address("256.0.0.1"));
  EXPECT_FALSE(is_ip_address("1.2.3"));
  EXPECT_FALSE(is_ip_address("localhost"));
  EXPECT_FALSE(is_ip_address(""));
}

TEST(IsValidUuid, KnownVersionsOnly) {
  EXPECT_TRUE(is_valid_uuid("123e4567-e89b-12d3-a456-426614174000"));  // version 1
  EXPECT_TRUE(is_valid_uuid("f47ac10b-58cc-4372-a567-0e02b2c3d479"));  // version 4
  EXPECT_TRUE(is_valid_uuid("{f47ac10b-58cc-4372-a567-0e02b2c3d479}"));
  EXPECT_TRUE(is_valid_uuid("f47ac10b58cc4372a5670e02b2c3d479"));
  EXPECT_TRUE(is_valid_uuid("886313e1-3b8a-5372-9b90-0c9aee199e5d"));  // version 5
  EXPECT_FALSE(is_valid_uuid("00000000-0000-0000-0000-000000000000"));  // nil
  EXPECT_FALSE(is_valid_uuid("f47ac10b-58cc-0372-a567-0e02b2c3d479"));  // version 0
  EXPECT_FALSE(is_valid_uuid("f47ac10b-58cc-7372-a567-0e02b2c3d479"));  // version 7
  EXPECT_FALSE(is_valid_uuid("f47ac10b-58cc-4372-a567-0e02b2c3d47"));   // too short
  EXPECT_FALSE(is_valid_uuid("not a uuid"));
  EXPECT_FALSE(is_valid_uuid(""));
}

TEST(CheckPasswordComplexity, Rules) {
  const std::string text =
      "Password minimum length must be no shorter than 12 symbols and must contain at least 1 upper case "
      "letter, 1 special character, 1 digit";
  std::string message;
  EXPECT_TRUE(check_password_complexity("abcdefghiJ1!", message, false));
  EXPECT_EQ("", message);
  EXPECT_FALSE(check_password_complexity("abcdefghJ1!", message, false));  // 11 characters
  EXPECT_EQ(text, message);
  message.clear();
  EXPECT_FALSE(check_password_complexity("abcdefghijk1!", message, false));  // no upper case
  EXPECT_EQ(text, message);
  message.clear();
  EXPECT_FALSE(check_password_complexity("abcdefghijkL1", message, false));  // no punctuation
  EXPECT_EQ(text, message);
  message.clear();
  EXPECT_FALSE(check_password_complexity("abcdefghijkL!", message, false));  // no digit
  EXPECT_EQ(text, message);
  message.clear();
  EXPECT_FALSE(check_password_complexity("abc def ghiJ1", message, false));  // a blank is not punctuation
  EXPECT_EQ(text, message);
  message.clear();
  EXPECT_FALSE(check_password_complexity("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", message, false));
  EXPECT_EQ(text, message);
  // Only the message is wanted: a good password still gives false.
  message.clear();
  EXPECT_FALSE(check_password_complexity("abcdefghiJ1!", message, true));
  EXPECT_EQ(text, message);
}

TEST(Base64, EncodeWithPadding) {
  EXPECT_EQ("YWJj", base64_encode("abc"));
  EXPECT_EQ("YWI=", base64_encode("ab"));
  EXPECT_EQ("YQ==", base64_encode("a"));
  EXPECT_EQ("", base64_encode(""));
  EXPECT_EQ("Zm9vYmFy", base64_encode("foobar"));
  EXPECT_EQ("Zm9vYg==", base64_encode("foob"));
  EXPECT_EQ("AP8Q", base64_encode(std::string("\x00\xff\x10", 3)));
  EXPECT_EQ("+/8=", base64_encode("\xfb\xff"));
  // No line breaks in long output.
  const std::string long_text = base64_encode(std::string(300, 'x'));
  EXPECT_EQ(400u, long_text.size());
  EXPECT_EQ(std::string::npos, long_text.find('\n'));
}

TEST(Base64, DecodeGivesNulBytesForPadding) {
  EXPECT_EQ("abc", base64_decode("YWJj"));
  EXPECT_EQ(std::string("ab\0", 3), base64_decode("YWI="));
  EXPECT_EQ(std::string("a\0\0", 3), base64_decode("YQ=="));
  EXPECT_EQ("foobar", base64_decode("Zm9vYmFy"));
  EXPECT_EQ(std::string("\x00\xff\x10", 3), base64_decode("AP8Q"));
  EXPECT_EQ("\xfb\xff", base64_decode("+/8=").substr(0, 2));
  EXPECT_EQ("", base64_decode(""));
  // A character outside the alphabet: empty result.
  EXPECT_EQ("", base64_decode("YW*j"));
  EXPECT_EQ("", base64_decode("YW j"));
}

TEST(Base64, RoundTripOfAllByteValues) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 255u, 256u}) {
    const std::string data = bytes.substr(0, n);
    const std::string decoded = base64_decode(base64_encode(data));
    const std::size_t pads = (3 - n % 3) % 3;
    ASSERT_EQ(n + pads, decoded.size()) << n;
    EXPECT_EQ(data, decoded.substr(0, n)) << n;
    EXPECT_EQ(std::string(pads, '\0'), decoded.substr(n)) << n;
  }
}

TEST(QuoteString, NothingIsEscaped) {
  EXPECT_EQ("'abc'", quote_string("abc"));
  EXPECT_EQ("''", quote_string(""));
  EXPECT_EQ("'it's'", quote_string("it's"));
  EXPECT_EQ("'a\\b \"c\"'", quote_string("a\\b \"c\""));
}

TEST(DigestText, TwoLowercaseDigitsPerByte) {
  const unsigned char bytes[] = {0x01, 0x0a, 0x00, 0xff, 0x10, 0xAB};
  EXPECT_EQ("010a00ff10ab", digest_as_string(bytes, 6));
  EXPECT_EQ("010a", digest_as_string(bytes, 2));
  EXPECT_EQ("", digest_as_string(bytes, 0));
}

TEST(DigestText, PrintDigestWritesBytesWithBlanks) {
  unsigned char bytes[] = {0x01, 0x0a, 0x00, 0xff, 0x10, 0xAB};
  testing::internal::CaptureStdout();
  print_digest(bytes, 48);
  print_digest(bytes, 20);  // whole bytes only: 2
  print_digest(bytes, 0);
  EXPECT_EQ("01 0a 00 ff 10 ab \n01 0a \n\n", testing::internal::GetCapturedStdout());
}
