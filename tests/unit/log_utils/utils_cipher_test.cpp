// Machine identifier and configuration-password cipher.
#include "utils/hx_utils_common.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <utility>

#include <sys/utsname.h>

using namespace hx_utils_common::server;

namespace {

bool lower_hex(const std::string& s) { return std::regex_match(s, std::regex("[0-9a-f]*")); }

// hardware_id_from() of this host with its node name changed by `suffix`.
std::string this_host_id(const std::string& suffix) {
  struct utsname names;
  EXPECT_EQ(0, ::uname(&names));
  std::ifstream in("/etc/machine-id");
  std::string machine_id;
  if (in) std::getline(in, machine_id);
  return hardware_id_from(names.nodename + suffix, machine_id, names.sysname);
}

}  // namespace

// Known answers, computed once outside this code base (Python's hmac and
// hashlib for the identifiers; the Kuznyechik key stream with the gost engine
// of OpenSSL, "openssl enc -engine gost -kuznyechik-ctr", cross-checked
// against kuznyechik-ecb of the counter blocks). A change of the MAC key, the
// pass phrase or the cipher would make every password already enciphered in
// the field unreadable, so it must fail here.
const char kIdNodeMidLinux[] = "55a12c70f32d4eb668dc12dfb06e863116974504869e7749e01ba9d330fb692a";

// HMAC-SHA-256 under the MAC key of node name + machine id + system name, 64
// lowercase hex digits; it changes with the node name and needs no machine id.
TEST(HardwareId, IsTheMacOfTheHostIdentity) {
  EXPECT_EQ(kIdNodeMidLinux, hardware_id_from("node", "mid", "Linux"));
  EXPECT_EQ("3804097ee06a9b2207b961eed1c2593bc399c536017a8d8214dc444d0a111ec6", hardware_id_from("hostA", "", "Linux"));
  const std::string id = hardware_id();
  EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{64}"))) << id;
  EXPECT_EQ(this_host_id(""), id);
  EXPECT_NE(this_host_id("-other"), id);
}

// NUL padding to the next multiple of 16 strictly above the length; the
// result is the padded text XOR the Kuznyechik-CTR key stream keyed with the
// first 32 identifier characters and the pass phrase's first two bytes ("f8")
// followed by zero bytes as the first counter block.
TEST(PasswordCipher, LengthsAndKeyStream) {
  const std::pair<size_t, size_t> lengths[] = {{0, 32}, {1, 32}, {15, 32}, {16, 64}, {17, 64}, {31, 64}, {32, 96}};
  for (const auto& [plain, hex_length] : lengths) {
    std::string text(plain, 'p');
    encrypt_string(text);
    EXPECT_EQ(hex_length, text.size()) << plain;
    EXPECT_TRUE(lower_hex(text)) << text;
  }
  const std::pair<std::string, std::string> known[] = {
      {"", "2309222f5966ee607a88ec2d3d2715a4"},
      {"secret", "506c415d3c12ee607a88ec2d3d2715a4"},
      {"0123456789abcdefghijklmnopqrstuv",  // three counter blocks
       "1338101c6d53d85742b18d4f5e4370c235c984a79b3031a2fb1212a0c86d47852009b9a6ff2535d6e1cbd68b115586a4"}};
  for (const auto& [plain, enciphered] : known) {
    std::string text = plain;
    encrypt_string_with_id(text, kIdNodeMidLinux);
    EXPECT_EQ(enciphered, text) << plain;
    decrypt_string_with_id(text, kIdNodeMidLinux);
    EXPECT_EQ(plain, text);
  }
}

// On this machine any text comes back (up to a NUL; upper-case hex is read);
// enciphered for another identity it does not, and nothing is reported.
TEST(PasswordCipher, RoundTrips) {
  for (const std::string plain : {"", "a", "p@ss'word\\with \"quotes\"", "xxxxxxxxxxxxxxx", "yyyyyyyyyyyyyyyy",
                                  "\x01\x7f\x80\xff bytes"}) {
    std::string text = plain;
    encrypt_string(text);
    EXPECT_NE(plain, text);
    decrypt_string(text);
    EXPECT_EQ(plain, text);
  }
  std::string text = std::string("abc\0def", 7);
  encrypt_string(text);
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  decrypt_string(text);
  EXPECT_EQ("abc", text);

  const std::string other = this_host_id("x");
  for (const std::string plain : {"password", "a much longer database password 123"}) {
    std::string text = plain;
    encrypt_string_with_id(text, other);
    const std::string enciphered = text;
    EXPECT_NO_THROW(decrypt_string(text));
    EXPECT_NE(plain, text);
    decrypt_string_with_id(text = enciphered, other);
    EXPECT_EQ(plain, text);
  }
}

// Odd length or a character that is not a hex digit is refused and the text
// left unchanged; the empty text is valid.
TEST(PasswordCipher, InvalidHexTextIsRefused) {
  const std::pair<std::string, std::string> cases[] = {
      {"abc", "decrypt_string: hexadecimal text of odd length (3 characters)"},
      {"00112g", "decrypt_string: not a hexadecimal digit at position 5"},
      {"0x11", "decrypt_string: not a hexadecimal digit at position 1"},
      {" 011", "decrypt_string: not a hexadecimal digit at position 0"},
      {"01-2", "decrypt_string: not a hexadecimal digit at position 2"},
      {"zz", "decrypt_string: not a hexadecimal digit at position 0"}};
  for (const auto& [input, what] : cases) {
    std::string text = input;
    try {
      decrypt_string(text);
      ADD_FAILURE() << "no exception for " << input;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(what, e.what());
    }
    EXPECT_EQ(input, text);
  }
  std::string empty;
  EXPECT_NO_THROW(decrypt_string(empty));
  EXPECT_EQ("", empty);
}
