#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "crypto/ctr.h"
#include "crypto/kuznyechik.h"
#include "crypto_test_util.h"

using cppcrypto::block_cipher;
using cppcrypto::ctr;
using cppcrypto::kuznyechik;
using cppcrypto::stream_cipher;
using crypto_test::hex;
using crypto_test::unhex;

namespace {

const std::vector<unsigned char> kKey =
    unhex("8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef");

// E(block) with the key above.
std::string E(const std::string& block_hex) {
  kuznyechik k;
  k.init(kKey.data(), block_cipher::encryption);
  unsigned char out[16];
  k.encrypt_block(unhex(block_hex).data(), out);
  return hex(out, 16);
}

std::vector<unsigned char> run(ctr& c, const std::vector<unsigned char>& in) {
  std::vector<unsigned char> out(in.size());
  c.encrypt(in.data(), in.size(), out.data());
  return out;
}

}  // namespace

TEST(CtrKuznyechik, SizesInBits) {
  kuznyechik k;
  ctr c(k);
  EXPECT_EQ(c.keysize(), 256u);
  EXPECT_EQ(c.ivsize(), 128u);
}

// GOST R 34.13-2015 counter-mode example for Kuznyechik: the 64-bit IV is the
// top half of the first counter block.
TEST(CtrKuznyechik, GostR3413Example) {
  kuznyechik k;
  ctr c(k);
  const std::vector<unsigned char> iv = unhex("1234567890abcef0");
  const std::vector<unsigned char> plain = unhex(
      "1122334455667700ffeeddccbbaa9988"
      "00112233445566778899aabbcceeff0a"
      "112233445566778899aabbcceeff0a00"
      "2233445566778899aabbcceeff0a0011");
  const std::string cipher =
      "f195d8bec10ed1dbd57b5fa240bda1b8"
      "85eee733f6a13e5df33ce4b33c45dee4"
      "a5eae88be6356ed3d5e877f13564a3a5"
      "cb91fab1f20cbab6d1c6d15820bdba73";
  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
  EXPECT_EQ(hex(run(c, plain)), cipher);
  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
  EXPECT_EQ(hex(run(c, unhex(cipher))), hex(plain));
}

// Zero plaintext shows the key stream: E(counter), E(counter + 1).
TEST(CtrKuznyechik, KeyStreamIsEncryptedCounter) {
  kuznyechik k;
  ctr c(k);
  const std::vector<unsigned char> iv = unhex("a1b2");
  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
  const std::string ks = hex(run(c, std::vector<unsigned char>(32, 0)));
  EXPECT_EQ(ks.substr(0, 32), E("a1b20000000000000000000000000000"));
  EXPECT_EQ(ks.substr(32), E("a1b20000000000000000000000000001"));
}

TEST(CtrKuznyechik, FullBlockIvUsedEntirely) {
  kuznyechik k;
  ctr c(k);
  const std::vector<unsigned char> iv = unhex("00112233445566778899aabbccddeeff");
  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
  const std::string ks = hex(run(c, std::vector<unsigned char>(48, 0)));
  EXPECT_EQ(ks.substr(0, 32), E("00112233445566778899aabbccddeeff"));
  EXPECT_EQ(ks.substr(32, 32), E("00112233445566778899aabbccddef00"));
  EXPECT_EQ(ks.substr(64), E("00112233445566778899aabbccddef01"));
}

// An IV longer than the block: only its first 16 bytes form the counter.
TEST(CtrKuznyechik, OverlongIvIsCut) {
  kuznyechik k;
  ctr c(k);
  const std::vector<unsigned char> iv = unhex("00112233445566778899aabbccddeeff0102030405");
  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
  EXPECT_EQ(hex(run(c, std::vector<unsigned char>(16, 0))), E("00112233445566778899aabbccddeeff"));
}

// The counter is one big-endian number that wraps to zero.
TEST(CtrKuznyechik, CounterWraps) {
  kuznyechik k;
  ctr c(k);
  const std::vector<unsigned char> iv(16, 0xff);
  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
  const std::string ks = hex(run(c, std::vector<unsigned char>(48, 0)));
  EXPECT_EQ(ks.substr(0, 32), E("ffffffffffffffffffffffffffffffff"));
  EXPECT_EQ(ks.substr(32, 32), E("00000000000000000000000000000000"));
  EXPECT_EQ(ks.substr(64), E("00000000000000000000000000000001"));

  // A carry through several bytes.
  const std::vector<unsigned char> iv2 = unhex("0000000000000000000000000001ffff");
  c.init(kKey.data(), kKey.size(), iv2.data(), iv2.size());
  const std::string ks2 = hex(run(c, std::vector<unsigned char>(32, 0)));
  EXPECT_EQ(ks2.substr(32), E("00000000000000000000000000020000"));
}

// The key stream does not depend on how the data is split into calls.
TEST(CtrKuznyechik, SplitCallsGiveOneStream) {
  kuznyechik k;
  ctr c(k);
  const std::vector<unsigned char> iv = unhex("0102");
  const std::vector<unsigned char> in = crypto_test::pseudo_random(40, 21);
  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
  const std::vector<unsigned char> whole = run(c, in);

  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
  std::vector<unsigned char> parts(40);
  c.encrypt(in.data(), 5, parts.data());
  c.encrypt(in.data() + 5, 11, parts.data() + 5);
  c.encrypt(in.data() + 16, 24, parts.data() + 16);
  EXPECT_EQ(hex(parts), hex(whole));

  // Longer stream in irregular pieces, in place.
  const std::vector<unsigned char> big = crypto_test::pseudo_random(1000, 22);
  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
  const std::vector<unsigned char> ref = run(c, big);
  std::vector<unsigned char> buf = big;
  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
  const size_t sizes[] = {1, 15, 16, 17, 0, 33, 100, 3, 815};
  size_t off = 0;
  for (size_t s : sizes) {
    c.encrypt(buf.data() + off, s, buf.data() + off);
    off += s;
  }
  ASSERT_EQ(off, big.size());
  EXPECT_EQ(hex(buf), hex(ref));
}

TEST(CtrKuznyechik, ZeroLengthChangesNothing) {
  kuznyechik k;
  ctr c(k);
  const std::vector<unsigned char> iv = unhex("0102");
  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
  const std::vector<unsigned char> ref = run(c, std::vector<unsigned char>(20, 0));

  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
  unsigned char out[20];
  std::memset(out, 0x77, sizeof out);
  c.encrypt(out, 0, out);
  for (unsigned char b : out) EXPECT_EQ(b, 0x77);
  unsigned char zero[20] = {};
  c.encrypt(zero, 3, out);
  c.encrypt(zero, 0, out + 3);
  c.encrypt(zero, 17, out + 3);
  EXPECT_EQ(hex(out, 20), hex(ref));
}

// encrypt and decrypt are the same operation; a fresh init rewinds the stream.
TEST(CtrKuznyechik, RoundTripAfterReinit) {
  kuznyechik k;
  ctr c(k);
  const std::vector<unsigned char> iv = unhex("beef");
  const std::string text = "configuration password, padded!!";
  std::vector<unsigned char> buf(text.begin(), text.end());
  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
  c.encrypt(buf.data(), buf.size(), buf.data());
  EXPECT_NE(std::string(buf.begin(), buf.end()), text);
  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
  c.decrypt(buf.data(), buf.size(), buf.data());
  EXPECT_EQ(std::string(buf.begin(), buf.end()), text);
  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
  c.decrypt(buf.data(), buf.size(), buf.data());
  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
  c.encrypt(buf.data(), buf.size(), buf.data());
  EXPECT_EQ(std::string(buf.begin(), buf.end()), text);
}

// The caller's cipher is not used: it may be destroyed at once and its key
// does not matter.
TEST(CtrKuznyechik, CipherIsCloned) {
  std::unique_ptr<ctr> c;
  {
    kuznyechik k;
    k.init(crypto_test::pseudo_random(32, 1).data(), block_cipher::encryption);
    c.reset(new ctr(k));
  }
  const std::vector<unsigned char> iv = unhex("a1b2");
  c->init(kKey.data(), kKey.size(), iv.data(), iv.size());
  EXPECT_EQ(hex(run(*c, std::vector<unsigned char>(16, 0))), E("a1b20000000000000000000000000000"));
}

TEST(CtrKuznyechik, CloneStartsWithoutState) {
  kuznyechik k;
  ctr c(k);
  const std::vector<unsigned char> iv = unhex("a1b2");
  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
  run(c, std::vector<unsigned char>(5, 0));
  std::unique_ptr<stream_cipher> d(c.clone());
  EXPECT_EQ(d->keysize(), 256u);
  EXPECT_EQ(d->ivsize(), 128u);
  d->init(kKey.data(), kKey.size(), iv.data(), iv.size());
  std::vector<unsigned char> zero(16, 0), out(16);
  d->encrypt(zero.data(), 16, out.data());
  EXPECT_EQ(hex(out), E("a1b20000000000000000000000000000"));
}

// A block cipher of 8-byte blocks, to exercise the byte-wise path and a block
// size other than 16.
namespace {
class toy64 : public block_cipher {
 public:
  size_t blocksize() const override { return 64; }
  size_t keysize() const override { return 64; }
  block_cipher* clone() const override { return new toy64; }
  void clear() override { std::memset(k_, 0, 8); }
  bool init(const unsigned char* key, direction) override {
    std::memcpy(k_, key, 8);
    return true;
  }
  void encrypt_block(const unsigned char* in, unsigned char* out) override {
    for (int i = 0; i < 8; i++) out[i] = static_cast<unsigned char>((in[(i + 1) % 8] ^ k_[i]) + i);
  }
  void decrypt_block(const unsigned char*, unsigned char*) override {}

 private:
  unsigned char k_[8] = {};
};
}  // namespace

TEST(CtrOtherBlockSize, EightByteBlocks) {
  toy64 t;
  ctr c(t);
  EXPECT_EQ(c.ivsize(), 64u);
  const std::vector<unsigned char> key = unhex("0011223344556677");
  const std::vector<unsigned char> iv = unhex("aabbccddeeffffff");
  c.init(key.data(), key.size(), iv.data(), iv.size());
  const std::vector<unsigned char> ks = run(c, std::vector<unsigned char>(20, 0));
  toy64 ref;
  ref.init(key.data(), block_cipher::encryption);
  unsigned char e[8];
  ref.encrypt_block(iv.data(), e);
  EXPECT_EQ(hex(ks.data(), 8), hex(e, 8));
  ref.encrypt_block(unhex("aabbccddef000000").data(), e);
  EXPECT_EQ(hex(ks.data() + 8, 8), hex(e, 8));
  ref.encrypt_block(unhex("aabbccddef000001").data(), e);
  EXPECT_EQ(hex(ks.data() + 16, 4), hex(e, 4));
}
