#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "crypto/kuznyechik.h"
#include "crypto/kuznyechik_tables.h"
#include "crypto_test_util.h"

using cppcrypto::block_cipher;
using cppcrypto::kuznyechik;
using crypto_test::hex;
using crypto_test::unhex;

namespace {

const char* kKey = "8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef";
const char* kPlain = "1122334455667700ffeeddccbbaa9988";
const char* kCipher = "7f679d90bebc24305a468d42b9d4edcd";

// Exposes the round keys.
class inspectable_kuznyechik : public kuznyechik {
 public:
  std::string round_key(int i) const { return hex(reinterpret_cast<const unsigned char*>(rk[i]), 16); }
};

// L of a block, through the tables: T[j][x] holds L of pi(x) at byte j.
std::vector<unsigned char> L_of(const std::vector<unsigned char>& a) {
  using namespace cppcrypto::kuznyechik_tables;
  std::vector<unsigned char> r(16, 0);
  for (int j = 0; j < 16; j++)
    for (int k = 0; k < 16; k++) r[k] ^= T[j][IS[a[j]]][k];
  return r;
}

std::vector<unsigned char> S_of(const std::vector<unsigned char>& a) {
  std::vector<unsigned char> r(16);
  for (int j = 0; j < 16; j++) r[j] = cppcrypto::kuznyechik_tables::S[a[j]];
  return r;
}

}  // namespace

TEST(Kuznyechik, SizesInBits) {
  kuznyechik k;
  EXPECT_EQ(k.blocksize(), 128u);
  EXPECT_EQ(k.keysize(), 256u);
}

// The RFC 7801 examples of the substitution, the linear transformation and the
// first key-schedule constants, checked against the generated tables.
TEST(Kuznyechik, TablesMatchRfc7801Examples) {
  EXPECT_EQ(hex(S_of(unhex("ffeeddccbbaa99881122334455667700"))), "b66cd8887d38e8d77765aeea0c9a7efc");
  EXPECT_EQ(hex(S_of(unhex("b66cd8887d38e8d77765aeea0c9a7efc"))), "559d8dd7bd06cbfe7e7b262523280d39");
  EXPECT_EQ(hex(L_of(unhex("64a59400000000000000000000000000"))), "d456584dd0e3e84cc3166e4b7fa2890d");
  EXPECT_EQ(hex(L_of(unhex("d456584dd0e3e84cc3166e4b7fa2890d"))), "79d26221b87b584cd42fbc4ffea5de9a");
  using cppcrypto::kuznyechik_tables::C;
  EXPECT_EQ(hex(C[0], 16), "6ea276726c487ab85d27bd10dd849401");
  EXPECT_EQ(hex(C[1], 16), "dc87ece4d890f4b3ba4eb92079cbeb02");
  EXPECT_EQ(hex(C[7], 16), "f6593616e6055689adfba18027aa2a08");
  for (int x = 0; x < 256; x++) {
    EXPECT_EQ(cppcrypto::kuznyechik_tables::IS[cppcrypto::kuznyechik_tables::S[x]], x);
  }
}

TEST(Kuznyechik, Rfc7801RoundKeys) {
  inspectable_kuznyechik k;
  ASSERT_TRUE(k.init(unhex(kKey).data(), block_cipher::encryption));
  const char* expected[10] = {
      "8899aabbccddeeff0011223344556677", "fedcba98765432100123456789abcdef",
      "db31485315694343228d6aef8cc78c44", "3d4553d8e9cfec6815ebadc40a9ffd04",
      "57646468c44a5e28d3e59246f429f1ac", "bd079435165c6432b532e82834da581b",
      "51e640757e8745de705727265a0098b1", "5a7925017b9fdd3ed72a91a22286f984",
      "bb44e25378c73123a5f32f73cdb6e517", "72e9dd7416bcf45b755dbaa88e4a4043"};
  for (int i = 0; i < 10; i++) EXPECT_EQ(k.round_key(i), expected[i]) << "K" << i + 1;
}

TEST(Kuznyechik, Rfc7801EncryptDecrypt) {
  const std::vector<unsigned char> key = unhex(kKey);
  kuznyechik enc, dec;
  ASSERT_TRUE(enc.init(key.data(), block_cipher::encryption));
  ASSERT_TRUE(dec.init(key.data(), block_cipher::decryption));
  std::vector<unsigned char> buf = unhex(kPlain);
  unsigned char out[16];
  enc.encrypt_block(buf.data(), out);
  EXPECT_EQ(hex(out, 16), kCipher);
  dec.decrypt_block(out, out);
  EXPECT_EQ(hex(out, 16), kPlain);
  // In place.
  enc.encrypt_block(buf.data(), buf.data());
  EXPECT_EQ(hex(buf), kCipher);
  dec.decrypt_block(buf.data(), buf.data());
  EXPECT_EQ(hex(buf), kPlain);
}

// Decryption keys are not encryption keys: an object keyed for one direction
// gives wrong results in the other.
TEST(Kuznyechik, DirectionMatters) {
  const std::vector<unsigned char> key = unhex(kKey);
  kuznyechik enc;
  enc.init(key.data(), block_cipher::encryption);
  unsigned char out[16];
  enc.decrypt_block(unhex(kCipher).data(), out);
  EXPECT_NE(hex(out, 16), kPlain);
}

TEST(Kuznyechik, RandomRoundTrips) {
  for (uint64_t seed = 1; seed <= 20; seed++) {
    const std::vector<unsigned char> key = crypto_test::pseudo_random(32, seed);
    const std::vector<unsigned char> plain = crypto_test::pseudo_random(16, seed + 1000);
    kuznyechik enc, dec;
    enc.init(key.data(), block_cipher::encryption);
    dec.init(key.data(), block_cipher::decryption);
    unsigned char c[16], p[16];
    enc.encrypt_block(plain.data(), c);
    EXPECT_NE(0, std::memcmp(c, plain.data(), 16));
    dec.decrypt_block(c, p);
    EXPECT_EQ(hex(p, 16), hex(plain)) << seed;
  }
}

TEST(Kuznyechik, BlocksEqualSingleBlockCalls) {
  const std::vector<unsigned char> key = unhex(kKey);
  kuznyechik enc, dec;
  enc.init(key.data(), block_cipher::encryption);
  dec.init(key.data(), block_cipher::decryption);
  const std::vector<unsigned char> in = crypto_test::pseudo_random(16 * 7, 9);
  std::vector<unsigned char> many(in.size()), single(in.size()), back(in.size());
  enc.encrypt_blocks(in.data(), many.data(), 7);
  for (int i = 0; i < 7; i++) enc.encrypt_block(in.data() + 16 * i, single.data() + 16 * i);
  EXPECT_EQ(hex(many), hex(single));
  dec.decrypt_blocks(many.data(), back.data(), 7);
  EXPECT_EQ(hex(back), hex(in));

  // n = 0 writes nothing.
  std::vector<unsigned char> untouched(32, 0x5A);
  enc.encrypt_blocks(in.data(), untouched.data(), 0);
  dec.decrypt_blocks(in.data(), untouched.data(), 0);
  EXPECT_EQ(untouched, std::vector<unsigned char>(32, 0x5A));
}

TEST(Kuznyechik, CloneNeedsItsOwnKey) {
  const std::vector<unsigned char> key = unhex(kKey);
  kuznyechik k;
  k.init(key.data(), block_cipher::encryption);
  std::unique_ptr<block_cipher> c(k.clone());
  EXPECT_EQ(c->blocksize(), 128u);
  EXPECT_EQ(c->keysize(), 256u);
  ASSERT_TRUE(c->init(key.data(), block_cipher::encryption));
  unsigned char out[16];
  c->encrypt_block(unhex(kPlain).data(), out);
  EXPECT_EQ(hex(out, 16), kCipher);
}

TEST(Kuznyechik, ClearZeroesRoundKeys) {
  inspectable_kuznyechik k;
  k.init(unhex(kKey).data(), block_cipher::encryption);
  k.clear();
  for (int i = 0; i < 10; i++) EXPECT_EQ(k.round_key(i), std::string(32, '0')) << i;
}
