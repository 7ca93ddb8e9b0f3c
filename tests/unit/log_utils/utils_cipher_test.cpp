// Machine identifier and configuration-password cipher.
#include "utils/hx_utils_common.h"

#include "crypto/ctr.h"
#include "crypto/hmac.h"
#include "crypto/kuznyechik.h"
#include "crypto/sha256.h"
#include "utils/hx_secrets.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>

#include <sys/utsname.h>

using namespace hx_utils_common::server;

namespace {

bool lower_hex(const std::string& s) { return std::regex_match(s, std::regex("[0-9a-f]*")); }

std::string machine_id_line() {
  std::ifstream in("/etc/machine-id");
  std::string line;
  if (in) std::getline(in, line);
  return line;
}

}  // namespace

TEST(HardwareId, IsTheMacOfNodeMachineIdAndSystemName) {
  const std::string id = hardware_id();
  EXPECT_EQ(64u, id.size());
  EXPECT_TRUE(lower_hex(id)) << id;
  EXPECT_EQ(id, hardware_id());

  struct utsname names;
  ASSERT_EQ(0, ::uname(&names));
  EXPECT_EQ(hardware_id_from(names.nodename, machine_id_line(), names.sysname), id);

  // The formula on its own: HMAC-SHA-256 under the MAC key, computed here with
  // the primitives directly.
  cppcrypto::sha256 hash;
  cppcrypto::hmac mac(hash, mac_key());
  unsigned char digest[32];
  mac.hash_string(std::string("hostA") + "0123456789abcdef0123456789abcdef" + "Linux", digest);
  std::string expected;
  char piece[3];
  for (unsigned char b : digest) {
    std::snprintf(piece, sizeof piece, "%02x", b);
    expected += piece;
  }
  EXPECT_EQ(expected, hardware_id_from("hostA", "0123456789abcdef0123456789abcdef", "Linux"));
}

TEST(HardwareId, ChangesWithTheNodeName) {
  struct utsname names;
  ASSERT_EQ(0, ::uname(&names));
  const std::string other = hardware_id_from(std::string(names.nodename) + "-other", machine_id_line(), names.sysname);
  EXPECT_EQ(64u, other.size());
  EXPECT_NE(hardware_id(), other);
  // Without a machine id there is still an identifier.
  EXPECT_EQ(64u, hardware_id_from(names.nodename, "", names.sysname).size());
  EXPECT_NE(hardware_id_from("a", "", "Linux"), hardware_id_from("b", "", "Linux"));
}

TEST(PasswordCipher, LengthsOfTheEncipheredText) {
  const struct {
    std::size_t plain;
    std::size_t hex;
  } cases[] = {{0, 32}, {1, 32}, {15, 32}, {16, 64}, {17, 64}, {31, 64}, {32, 96}};
  for (const auto& c : cases) {
    std::string text(c.plain, 'p');
    encrypt_string(text);
    EXPECT_EQ(c.hex, text.size()) << c.plain;
    EXPECT_TRUE(lower_hex(text)) << text;
  }
}

TEST(PasswordCipher, IsKuznyechikCtrKeyedFromTheIdentifier) {
  const std::string id = hardware_id_from("node", "mid", "Linux");
  std::string text = "secret";
  encrypt_string_with_id(text, id);

  // Reference: the padded text XOR the key stream of Kuznyechik-CTR with the
  // first 32 identifier characters as key and the pass phrase's first two
  // bytes as IV.
  unsigned char padded[16] = {'s', 'e', 'c', 'r', 'e', 't'};
  unsigned char out[16];
  const unsigned char iv[2] = {static_cast<unsigned char>(pass_phrase()[0]),
                               static_cast<unsigned char>(pass_phrase()[1])};
  cppcrypto::ctr cipher(cppcrypto::kuznyechik{});
  cipher.init(reinterpret_cast<const unsigned char*>(id.data()), 32, iv, 2);
  cipher.encrypt(padded, 16, out);
  std::string expected;
  char piece[3];
  for (unsigned char b : out) {
    std::snprintf(piece, sizeof piece, "%02x", b);
    expected += piece;
  }
  EXPECT_EQ(expected, text);
}

TEST(PasswordCipher, RoundTripOnThisMachine) {
  const std::string texts[] = {"",
                               "a",
                               "p@ss'word\\with \"quotes\"",
                               std::string(15, 'x'),
                               std::string(16, 'y'),
                               std::string(100, 'z'),
                               "\x01\x7f\x80\xff bytes"};
  for (const std::string& plain : texts) {
    std::string text = plain;
    encrypt_string(text);
    EXPECT_NE(plain, text);
    decrypt_string(text);
    EXPECT_EQ(plain, text);
  }
}

TEST(PasswordCipher, DecipheringStopsAtTheFirstNul) {
  std::string text = std::string("abc\0def", 7);
  encrypt_string(text);
  decrypt_string(text);
  EXPECT_EQ("abc", text);
}

TEST(PasswordCipher, UppercaseHexIsRead) {
  std::string text = "hello";
  encrypt_string(text);
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  decrypt_string(text);
  EXPECT_EQ("hello", text);
}

TEST(PasswordCipher, AnotherIdentityDoesNotGiveTheTextBack) {
  struct utsname names;
  ASSERT_EQ(0, ::uname(&names));
  const std::string other = hardware_id_from(std::string(names.nodename) + "x", machine_id_line(), names.sysname);
  for (const std::string plain : {"password", "a much longer database password 123"}) {
    std::string text = plain;
    encrypt_string_with_id(text, other);
    const std::string enciphered = text;
    EXPECT_NO_THROW(decrypt_string(text));  // nothing is reported
    EXPECT_NE(plain, text);
    // With the right identity it comes back.
    text = enciphered;
    decrypt_string_with_id(text, other);
    EXPECT_EQ(plain, text);
  }
}

TEST(PasswordCipher, InvalidHexTextIsRefused) {
  std::string odd = "abc";
  try {
    decrypt_string(odd);
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ("decrypt_string: hexadecimal text of odd length (3 characters)", e.what());
  }
  EXPECT_EQ("abc", odd);  // unchanged

  std::string not_hex = "00112g";
  try {
    decrypt_string(not_hex);
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ("decrypt_string: not a hexadecimal digit at position 5", e.what());
  }
  EXPECT_EQ("00112g", not_hex);

  for (std::string bad : {"0x11", " 011", "01-2", "zz"}) {
    const std::string before = bad;
    EXPECT_THROW(decrypt_string(bad), std::invalid_argument) << before;
    EXPECT_EQ(before, bad);
  }
  std::string empty;
  EXPECT_NO_THROW(decrypt_string(empty));
  EXPECT_EQ("", empty);
}
