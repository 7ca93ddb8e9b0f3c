// Machine identifier and configuration-password cipher.
#include "utils/hx_utils_common.h"

#include "crypto/ctr.h"
#include "crypto/hmac.h"
#include "crypto/kuznyechik.h"
#include "crypto/sha256.h"
#include "utils/hx_secrets.h"

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

// HMAC-SHA-256 under the MAC key of node name + machine id + system name, 64
// lowercase hex digits; it changes with the node name and needs no machine id.
TEST(HardwareId, IsTheMacOfTheHostIdentity) {
  const std::string id = hardware_id();
  EXPECT_EQ(64u, id.size());
  EXPECT_TRUE(lower_hex(id)) << id;
  EXPECT_EQ(this_host_id(""), id);
  EXPECT_NE(this_host_id("-other"), id);

  cppcrypto::sha256 hash;
  cppcrypto::hmac mac(hash, mac_key());
  unsigned char digest[32];
  mac.hash_string(std::string("hostA") + "Linux", digest);
  EXPECT_EQ(hx_utils_common::digest_as_string(digest, 32), hardware_id_from("hostA", "", "Linux"));
  EXPECT_NE(hardware_id_from("a", "", "Linux"), hardware_id_from("b", "", "Linux"));
}

// NUL padding to the next multiple of 16 strictly above the length; the
// result is the padded text XOR the Kuznyechik-CTR key stream keyed with the
// first 32 identifier characters and the pass phrase's first two bytes as IV.
TEST(PasswordCipher, LengthsAndKeyStream) {
  const std::pair<size_t, size_t> lengths[] = {{0, 32}, {1, 32}, {15, 32}, {16, 64}, {17, 64}, {31, 64}, {32, 96}};
  for (const auto& [plain, hex_length] : lengths) {
    std::string text(plain, 'p');
    encrypt_string(text);
    EXPECT_EQ(hex_length, text.size()) << plain;
    EXPECT_TRUE(lower_hex(text)) << text;
  }
  const std::string id = hardware_id_from("node", "mid", "Linux");
  std::string text = "secret";
  encrypt_string_with_id(text, id);
  unsigned char padded[16] = {'s', 'e', 'c', 'r', 'e', 't'}, out[16];
  const unsigned char iv[2] = {static_cast<unsigned char>(pass_phrase()[0]),
                               static_cast<unsigned char>(pass_phrase()[1])};
  cppcrypto::ctr cipher(cppcrypto::kuznyechik{});
  cipher.init(reinterpret_cast<const unsigned char*>(id.data()), 32, iv, 2);
  cipher.encrypt(padded, 16, out);
  EXPECT_EQ(hx_utils_common::digest_as_string(out, 16), text);
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
      {"0x11", ""}, {" 011", ""}, {"01-2", ""}, {"zz", ""}};
  for (const auto& [input, what] : cases) {
    std::string text = input;
    try {
      decrypt_string(text);
      ADD_FAILURE() << "no exception for " << input;
    } catch (const std::invalid_argument& e) {
      EXPECT_TRUE(what.empty() || what == e.what()) << e.what();
    }
    EXPECT_EQ(input, text);
  }
  std::string empty;
  EXPECT_NO_THROW(decrypt_string(empty));
  EXPECT_EQ("", empty);
}
