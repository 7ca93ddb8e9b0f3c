#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "crypto/hmac.h"
#include "crypto/sha256.h"
#include "crypto_test_util.h"

using cppcrypto::crypto_hash;
using cppcrypto::hmac;
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

}  // namespace

// RFC 4231 test cases 1 to 7. Case 5 specifies a result truncated to 128 bits;
// the full 32 bytes are always written, so its first 16 bytes are compared.
TEST(HmacSha256, Rfc4231) {
  EXPECT_EQ(mac_of(std::vector<unsigned char>(20, 0x0b), "Hi There"),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  EXPECT_EQ(mac_of(unhex("4a656665"), "what do ya want for nothing?"),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(mac_of(std::vector<unsigned char>(20, 0xaa), std::string(50, '\xdd')),
            "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe");
  EXPECT_EQ(mac_of(unhex("0102030405060708090a0b0c0d0e0f10111213141516171819"), std::string(50, '\xcd')),
            "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b");
  EXPECT_EQ(mac_of(std::vector<unsigned char>(20, 0x0c), "Test With Truncation").substr(0, 32),
            "a3b6167473100ee06e0c796c2955552b");
  EXPECT_EQ(mac_of(std::vector<unsigned char>(131, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First"),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
  EXPECT_EQ(mac_of(std::vector<unsigned char>(131, 0xaa),
                   "This is a test using a larger than block-size key and a larger than block-size data. "
                   "The key needs to be hashed before being used by the HMAC algorithm."),
            "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2");
}

TEST(HmacSha256, SizesFollowTheHash) {
  sha256 h;
  hmac m(h, std::string("k"));
  EXPECT_EQ(m.hashsize(), 256u);
  EXPECT_EQ(m.blocksize(), 512u);
}

// A key of exactly one block is used as it is; one byte more and the key is
// replaced by its SHA-256 digest.
TEST(HmacSha256, BlockSizedKeyUsedDirectlyLongerKeyHashed) {
  std::vector<unsigned char> k64(64), k65(65);
  for (int i = 0; i < 64; i++) k64[i] = static_cast<unsigned char>(i);
  for (int i = 0; i < 65; i++) k65[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(mac_of(k64, "message"), "eb97f15211c02e38e3213edb045e8301601867c1cd49df01c687eb04f8909e98");
  EXPECT_EQ(mac_of(k65, "message"), "2d55f05a56fff8d5ba47a50eb1c006240377002f70e09d8862f8a5cb1c880e4a");

  sha256 h;
  std::vector<unsigned char> d65(32), d64(32);
  h.hash_string(k65.data(), k65.size(), d65.data());
  h.hash_string(k64.data(), k64.size(), d64.data());
  EXPECT_EQ(mac_of(k65, "message"), mac_of(d65, "message"));
  EXPECT_NE(mac_of(k64, "message"), mac_of(d64, "message"));
}

// An empty key gives pads of 64 bytes 0x36 and 0x5c, the same as a key of
// zero bytes up to the block size.
TEST(HmacSha256, EmptyKey) {
  EXPECT_EQ(mac_of({}, "what do ya want for nothing?"),
            "76d9e7194e7dbc3aa00bbe8ffb9f6fcb5a932170f971f948bb2ab61607d2b9d6");
  EXPECT_EQ(mac_of({}, "what do ya want for nothing?"),
            mac_of(std::vector<unsigned char>(64, 0), "what do ya want for nothing?"));
  sha256 h;
  hmac m(h, std::string());
  unsigned char out[32];
  m.hash_string(std::string(), out);
  EXPECT_EQ(hex(out, 32), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

TEST(HmacSha256, StringKeyUsesAllBytes) {
  const std::string key("Je\0fe", 5);
  sha256 h;
  hmac m(h, key);
  unsigned char out[32];
  m.hash_string(std::string("what do ya want for nothing?"), out);
  EXPECT_EQ(hex(out, 32), mac_of(unhex("4a65006665"), "what do ya want for nothing?"));
  EXPECT_NE(hex(out, 32), mac_of(unhex("4a65"), "what do ya want for nothing?"));
}

// The hash given to the constructor may be destroyed at once; repeated MACs
// and MACs fed in pieces agree.
TEST(HmacSha256, RepeatedAndSplitUpdates) {
  std::unique_ptr<hmac> m;
  {
    sha256 h;
    m.reset(new hmac(h, std::string("Jefe")));
  }
  const std::string msg = "what do ya want for nothing?";
  unsigned char a[32], b[32], c[32];
  m->hash_string(msg, a);
  m->hash_string(msg, b);
  EXPECT_EQ(hex(a, 32), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(hex(b, 32), hex(a, 32));
  m->init();
  const unsigned char* p = reinterpret_cast<const unsigned char*>(msg.data());
  m->update(p, 1);
  m->update(p + 1, 0);
  m->update(p + 1, 20);
  m->update(p + 21, msg.size() - 21);
  m->final(c);
  EXPECT_EQ(hex(c, 32), hex(a, 32));

  // A long message in odd pieces.
  const std::vector<unsigned char> big = crypto_test::pseudo_random(1000, 3);
  m->hash_string(big.data(), big.size(), a);
  m->init();
  for (size_t off = 0; off < big.size(); off += 65) m->update(big.data() + off, std::min<size_t>(65, big.size() - off));
  m->final(b);
  EXPECT_EQ(hex(b, 32), hex(a, 32));
}

// A clone made in the middle of a message has the same key but none of the
// pending data.
TEST(HmacSha256, CloneKeepsKeyDropsMessage) {
  sha256 h;
  hmac m(h, std::string("Jefe"));
  m.init();
  m.update(reinterpret_cast<const unsigned char*>("pending"), 7);
  std::unique_ptr<crypto_hash> c(m.clone());
  EXPECT_EQ(c->hashsize(), 256u);
  unsigned char out[32];
  c->hash_string(std::string("what do ya want for nothing?"), out);
  EXPECT_EQ(hex(out, 32), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  // The source still finishes its own message.
  m.update(reinterpret_cast<const unsigned char*>(" data"), 5);
  m.final(out);
  EXPECT_EQ(hex(out, 32), mac_of(unhex("4a656665"), "pending data"));
}

// clear() wipes the hash state but keeps the key.
TEST(HmacSha256, ClearKeepsKey) {
  sha256 h;
  hmac m(h, std::string("Jefe"));
  m.init();
  m.update(reinterpret_cast<const unsigned char*>("abc"), 3);
  m.clear();
  unsigned char out[32];
  m.hash_string(std::string("what do ya want for nothing?"), out);
  EXPECT_EQ(hex(out, 32), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(HmacSha256, Sha224Underneath) {
  cppcrypto::sha224 h;
  hmac m(h, std::string("Jefe"));
  EXPECT_EQ(m.hashsize(), 224u);
  unsigned char out[28];
  m.hash_string(std::string("what do ya want for nothing?"), out);
  // RFC 4231 test case 2, HMAC-SHA-224.
  EXPECT_EQ(hex(out, 28), "a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44");
}
