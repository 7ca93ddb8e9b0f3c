#include <gtest/gtest.h>

#include <algorithm>
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
using Bytes = std::vector<unsigned char>;

namespace {

const Bytes kKey = unhex("8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef");

// E(block) with the key above.
std::string E(const std::string& block_hex) {
  kuznyechik k;
  k.init(kKey.data(), block_cipher::encryption);
  unsigned char out[16];
  k.encrypt_block(unhex(block_hex).data(), out);
  return hex(out, 16);
}

Bytes run(stream_cipher& c, const Bytes& in) {
  Bytes out(in.size());
  c.encrypt(in.data(), in.size(), out.data());
  return out;
}

void init(stream_cipher& c, const std::string& iv_hex) {
  const Bytes iv = unhex(iv_hex);
  c.init(kKey.data(), kKey.size(), iv.data(), iv.size());
}

}  // namespace

// GOST R 34.13-2015 counter-mode example for Kuznyechik: the 64-bit IV is the
// top half of the first counter block. A fresh init rewinds the stream. The
// caller's cipher is cloned (its key does not matter, it may go at once), and
// a clone of the ctr starts without state.
TEST(CtrKuznyechik, GostR3413Example) {
  std::unique_ptr<stream_cipher> c;
  {
    kuznyechik k;
    k.init(crypto_test::pseudo_random(32, 1).data(), block_cipher::encryption);
    ctr source(k);
    init(source, "a1b2");
    run(source, Bytes(5, 0));
    c.reset(source.clone());
  }
  EXPECT_EQ(c->keysize(), 256u);
  EXPECT_EQ(c->ivsize(), 128u);
  const Bytes plain = unhex(
      "1122334455667700ffeeddccbbaa998800112233445566778899aabbcceeff0a"
      "112233445566778899aabbcceeff0a002233445566778899aabbcceeff0a0011");
  const std::string cipher =
      "f195d8bec10ed1dbd57b5fa240bda1b885eee733f6a13e5df33ce4b33c45dee4"
      "a5eae88be6356ed3d5e877f13564a3a5cb91fab1f20cbab6d1c6d15820bdba73";
  init(*c, "1234567890abcef0");
  EXPECT_EQ(hex(run(*c, plain)), cipher);
  init(*c, "1234567890abcef0");
  Bytes buf = unhex(cipher);
  c->decrypt(buf.data(), buf.size(), buf.data());
  EXPECT_EQ(hex(buf), hex(plain));
}

// Zero plaintext shows the key stream E(T1) || E(T2) || ...: a short IV is
// padded with zeros, a whole-block IV is used entirely, a longer one is cut,
// and the counter is one big-endian number that carries and wraps.
TEST(CtrKuznyechik, KeyStreamIsTheEncryptedCounter) {
  const struct {
    std::string iv;
    std::vector<std::string> counters;
  } cases[] = {
      {"a1b2", {"a1b20000000000000000000000000000", "a1b20000000000000000000000000001"}},
      {"", {std::string(32, '0'), "00000000000000000000000000000001"}},
      {"00112233445566778899aabbccddeeff",
       {"00112233445566778899aabbccddeeff", "00112233445566778899aabbccddef00", "00112233445566778899aabbccddef01"}},
      {"00112233445566778899aabbccddeeff0102030405", {"00112233445566778899aabbccddeeff"}},
      {std::string(32, 'f'),
       {std::string(32, 'f'), std::string(32, '0'), "00000000000000000000000000000001"}},
      {"0000000000000000000000000001ffff", {"0000000000000000000000000001ffff", "00000000000000000000000000020000"}},
  };
  ctr c{kuznyechik()};
  for (const auto& k : cases) {
    init(c, k.iv);
    const std::string ks = hex(run(c, Bytes(16 * k.counters.size(), 0)));
    for (size_t i = 0; i < k.counters.size(); i++) EXPECT_EQ(ks.substr(32 * i, 32), E(k.counters[i])) << k.iv << " " << i;
  }
}

// A block "cipher" of any size whose encryption is the identity: the key
// stream of ctr over it is the sequence of counter blocks itself.
class identity_cipher : public block_cipher {
 public:
  explicit identity_cipher(size_t bytes) : bytes_(bytes) {}
  size_t blocksize() const override { return bytes_ * 8; }
  size_t keysize() const override { return 0; }
  block_cipher* clone() const override { return new identity_cipher(bytes_); }
  void clear() override {}
  bool init(const unsigned char*, direction) override { return true; }
  void encrypt_block(const unsigned char* in, unsigned char* out) override { std::memmove(out, in, bytes_); }
  void decrypt_block(const unsigned char* in, unsigned char* out) override { std::memmove(out, in, bytes_); }

 private:
  size_t bytes_;
};

// Blocks of 8, 24 and 40 bytes (XORed partly as vectors, partly byte by
// byte): IV || zeros, then plus one, plus two, whatever the split into calls.
TEST(CtrOtherBlockSizes, KeyStreamIsTheCounterSequence) {
  for (size_t nb : {8, 24, 40}) {
    Bytes want;
    for (unsigned char k = 0; k < 3; k++) {
      Bytes block(nb, 0);
      block[0] = 0xa1;
      block[1] = 0xb2;
      block[nb - 1] = k;
      want.insert(want.end(), block.begin(), block.end());
    }
    want.resize(3 * nb - 5);
    for (size_t piece : {want.size(), size_t(1), nb + 1}) {
      ctr c{identity_cipher(nb)};
      EXPECT_EQ(c.ivsize(), nb * 8);
      init(c, "a1b2");
      Bytes got;
      for (size_t off = 0; off < want.size(); off += piece) {
        const Bytes part = run(c, Bytes(std::min(piece, want.size() - off), 0));
        got.insert(got.end(), part.begin(), part.end());
      }
      EXPECT_EQ(hex(got), hex(want)) << nb << " bytes, pieces of " << piece;
    }
  }
}

// The stream does not depend on how the data is split into calls, in place
// or not; a call of length 0 changes nothing.
TEST(CtrKuznyechik, SplitCallsGiveOneStream) {
  ctr c{kuznyechik()};
  const Bytes in = crypto_test::pseudo_random(1000, 22);
  init(c, "0102");
  const Bytes whole = run(c, in);
  const std::vector<std::vector<size_t>> splits = {{5, 11, 24, 960}, {1, 15, 16, 17, 0, 33, 100, 3, 815}};
  for (const auto& sizes : splits) {
    init(c, "0102");
    Bytes buf = in;
    size_t off = 0;
    for (size_t s : sizes) {
      c.encrypt(buf.data() + off, s, buf.data() + off);
      off += s;
    }
    ASSERT_EQ(off, in.size());
    EXPECT_EQ(hex(buf), hex(whole)) << "first piece " << sizes[0];
  }
  unsigned char out[4] = {0x77, 0x77, 0x77, 0x77};
  c.encrypt(out, 0, out);
  EXPECT_EQ(hex(out, 4), "77777777");
}
