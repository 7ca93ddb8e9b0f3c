#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "crypto/kuznyechik.h"
#include "crypto_test_util.h"

using cppcrypto::block_cipher;
using cppcrypto::kuznyechik;
using crypto_test::hex;
using crypto_test::unhex;

namespace {

const std::vector<unsigned char> kKey = unhex("8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef");
const char* kPlain = "1122334455667700ffeeddccbbaa9988";
const char* kCipher = "7f679d90bebc24305a468d42b9d4edcd";

class inspectable_kuznyechik : public kuznyechik {
 public:
  std::string round_key(int i) const { return hex(reinterpret_cast<const unsigned char*>(rk[i]), 16); }
};

}  // namespace

// The ten round keys of RFC 7801's example key; clear() zeroes them all.
TEST(Kuznyechik, Rfc7801RoundKeysAndClear) {
  inspectable_kuznyechik k;
  ASSERT_TRUE(k.init(kKey.data(), block_cipher::encryption));
  const char* expected[10] = {
      "8899aabbccddeeff0011223344556677", "fedcba98765432100123456789abcdef",
      "db31485315694343228d6aef8cc78c44", "3d4553d8e9cfec6815ebadc40a9ffd04",
      "57646468c44a5e28d3e59246f429f1ac", "bd079435165c6432b532e82834da581b",
      "51e640757e8745de705727265a0098b1", "5a7925017b9fdd3ed72a91a22286f984",
      "bb44e25378c73123a5f32f73cdb6e517", "72e9dd7416bcf45b755dbaa88e4a4043"};
  for (int i = 0; i < 10; i++) EXPECT_EQ(k.round_key(i), expected[i]) << "K" << i + 1;
  k.clear();
  for (int i = 0; i < 10; i++) EXPECT_EQ(k.round_key(i), std::string(32, '0')) << i;
}

// The RFC 7801 example in both directions, also in place; an object keyed
// for encryption does not decrypt; a clone needs and takes its own key.
TEST(Kuznyechik, Rfc7801EncryptDecryptAndClone) {
  kuznyechik enc, dec;
  ASSERT_TRUE(enc.init(kKey.data(), block_cipher::encryption));
  ASSERT_TRUE(dec.init(kKey.data(), block_cipher::decryption));
  std::vector<unsigned char> buf = unhex(kPlain);
  unsigned char out[16];
  enc.encrypt_block(buf.data(), out);
  EXPECT_EQ(hex(out, 16), kCipher);
  dec.decrypt_block(out, out);
  EXPECT_EQ(hex(out, 16), kPlain);
  enc.encrypt_block(buf.data(), buf.data());
  EXPECT_EQ(hex(buf), kCipher);
  enc.decrypt_block(buf.data(), out);
  EXPECT_NE(hex(out, 16), kPlain);
  dec.decrypt_block(buf.data(), buf.data());
  EXPECT_EQ(hex(buf), kPlain);

  std::unique_ptr<block_cipher> c(enc.clone());
  EXPECT_EQ(c->blocksize(), 128u);
  EXPECT_EQ(c->keysize(), 256u);
  ASSERT_TRUE(c->init(kKey.data(), block_cipher::encryption));
  c->encrypt_block(unhex(kPlain).data(), out);
  EXPECT_EQ(hex(out, 16), kCipher);
}

// Random keys round-trip; encrypt_blocks equals single-block calls and n = 0 writes nothing.
TEST(Kuznyechik, RoundTripsAndMultipleBlocks) {
  for (uint64_t seed = 1; seed <= 5; seed++) {
    const std::vector<unsigned char> key = crypto_test::pseudo_random(32, seed);
    const std::vector<unsigned char> in = crypto_test::pseudo_random(16 * 7, seed + 1000);
    kuznyechik enc, dec;
    enc.init(key.data(), block_cipher::encryption);
    dec.init(key.data(), block_cipher::decryption);
    std::vector<unsigned char> many(in.size()), single(in.size()), back(in.size());
    enc.encrypt_blocks(in.data(), many.data(), 7);
    for (int i = 0; i < 7; i++) enc.encrypt_block(in.data() + 16 * i, single.data() + 16 * i);
    EXPECT_EQ(hex(many), hex(single));
    EXPECT_NE(hex(many), hex(in));
    dec.decrypt_blocks(many.data(), back.data(), 7);
    EXPECT_EQ(hex(back), hex(in)) << seed;
    std::vector<unsigned char> untouched(32, 0x5A);
    enc.encrypt_blocks(in.data(), untouched.data(), 0);
    dec.decrypt_blocks(in.data(), untouched.data(), 0);
    EXPECT_EQ(untouched, std::vector<unsigned char>(32, 0x5A));
  }
}
