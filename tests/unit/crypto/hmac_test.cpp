#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/hmac.h"
#include "crypto/sha256.h"
#include "crypto_test_util.h"

using cppcrypto::hmac;
using cppcrypto::sha224;
using cppcrypto::sha256;
using crypto_test::hex;
using crypto_test::unhex;

namespace {

std::string mac_of(const std::vector<unsigned char>& key, const std::string& msg) {
  sha256 h;
  hmac m(h, key.data(), key.size());
  unsigned char out[32];
  m.hash_string(msg, out);
  return hex(out, 32);
}

std::vector<unsigned char> counting(size_t n) {
  std::vector<unsigned char> k(n);
  for (size_t i = 0; i < n; i++) k[i] = static_cast<unsigned char>(i);
  return k;
}

}  // namespace

// RFC 4231 test cases 1 to 7 (case 5 is truncated to 128 bits in the RFC; the
// full 32 bytes are always written, so its first 16 are compared), a key of
// exactly one block (used as it is), one byte longer (hashed first) and the
// empty key (pads of bare 0x36 and 0x5c).
TEST(HmacSha256, KnownMacs) {
  const std::string jefe = "what do ya want for nothing?";
  const struct {
    std::vector<unsigned char> key;
    std::string msg;
    std::string mac;
  } cases[] = {
      {std::vector<unsigned char>(20, 0x0b), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {unhex("4a656665"), jefe, "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::vector<unsigned char>(20, 0xaa), std::string(50, '\xdd'),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {unhex("0102030405060708090a0b0c0d0e0f10111213141516171819"), std::string(50, '\xcd'),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {std::vector<unsigned char>(20, 0x0c), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b"},
      {std::vector<unsigned char>(131, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {std::vector<unsigned char>(131, 0xaa),
       "This is a test using a larger than block-size key and a larger than block-size data. "
       "The key needs to be hashed before being used by the HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
      {counting(64), "message", "eb97f15211c02e38e3213edb045e8301601867c1cd49df01c687eb04f8909e98"},
      {counting(65), "message", "2d55f05a56fff8d5ba47a50eb1c006240377002f70e09d8862f8a5cb1c880e4a"},
      {{}, jefe, "76d9e7194e7dbc3aa00bbe8ffb9f6fcb5a932170f971f948bb2ab61607d2b9d6"},
      {std::vector<unsigned char>(64, 0), jefe, "76d9e7194e7dbc3aa00bbe8ffb9f6fcb5a932170f971f948bb2ab61607d2b9d6"},
      {{}, "", "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
  };
  for (const auto& c : cases) EXPECT_EQ(mac_of(c.key, c.msg).substr(0, c.mac.size()), c.mac) << hex(c.key);

  // The 65-byte key is its digest; the 64-byte one is not.
  sha256 h;
  std::vector<unsigned char> d65(32), d64(32);
  h.hash_string(counting(65).data(), 65, d65.data());
  h.hash_string(counting(64).data(), 64, d64.data());
  EXPECT_EQ(mac_of(counting(65), "message"), mac_of(d65, "message"));
  EXPECT_NE(mac_of(counting(64), "message"), mac_of(d64, "message"));
}

// The string constructor takes every byte of the key, a zero byte included;
// over SHA-224 the MAC is HMAC-SHA-224 (RFC 4231 case 2).
TEST(HmacSha256, StringKeyAndSha224) {
  sha256 h;
  hmac m(h, std::string("Je\0fe", 5));
  unsigned char out[32];
  m.hash_string(std::string("what do ya want for nothing?"), out);
  EXPECT_EQ(hex(out, 32), mac_of(unhex("4a65006665"), "what do ya want for nothing?"));
  EXPECT_NE(hex(out, 32), mac_of(unhex("4a65"), "what do ya want for nothing?"));

  sha224 h224;
  hmac m224(h224, std::string("Jefe"));
  EXPECT_EQ(m224.hashsize(), 224u);
  m224.hash_string(std::string("what do ya want for nothing?"), out);
  EXPECT_EQ(hex(out, 28), "a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44");
}
