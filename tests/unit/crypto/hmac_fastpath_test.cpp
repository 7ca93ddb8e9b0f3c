// hmac over an exact sha256 or sha224 starts each MAC from chaining states
// saved once per key; over any other hash it hashes the pad blocks every time.
// These tests hold the two paths, and a plain RFC 2104 computation, to the
// same results.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "crypto/hmac.h"
#include "crypto/sha256.h"
#include "crypto_test_util.h"

using cppcrypto::crypto_hash;
using cppcrypto::hmac;
using cppcrypto::sha224;
using cppcrypto::sha256;
using crypto_test::hex;
using crypto_test::pseudo_random;

namespace {

// A crypto_hash that is not a sha256 but forwards every operation to one (or
// to a sha224), so an hmac over it takes the path that hashes the pads each
// time. It counts the bytes it is given, in a counter shared with its clones.
class forwarding_hash : public crypto_hash {
 public:
  forwarding_hash(crypto_hash* inner, std::shared_ptr<size_t> fed) : inner_(inner), fed_(std::move(fed)) {}
  void init() override { inner_->init(); }
  void update(const unsigned char* data, size_t len) override {
    *fed_ += len;
    inner_->update(data, len);
  }
  void final(unsigned char* hash) override { inner_->final(hash); }
  size_t hashsize() const override { return inner_->hashsize(); }
  size_t blocksize() const override { return inner_->blocksize(); }
  crypto_hash* clone() const override { return new forwarding_hash(inner_->clone(), fed_); }
  void clear() override { inner_->clear(); }
  size_t fed() const { return *fed_; }

 private:
  std::unique_ptr<crypto_hash> inner_;
  std::shared_ptr<size_t> fed_;
};

// A class derived from sha256 that counts update calls. It is a sha256 but not
// exactly one, so hmac must not bypass it with saved states.
class counting_sha256 : public sha256 {
 public:
  explicit counting_sha256(std::shared_ptr<size_t> calls) : calls_(std::move(calls)) {}
  void update(const unsigned char* data, size_t len) override {
    ++*calls_;
    sha256::update(data, len);
  }
  crypto_hash* clone() const override { return new counting_sha256(calls_); }

 private:
  std::shared_ptr<size_t> calls_;
};

// HMAC written out from its definition: H((K0 ^ opad) || H((K0 ^ ipad) || m))
// with each hash over one concatenated buffer.
std::string reference_mac(bool is224, const std::vector<unsigned char>& key, const std::vector<unsigned char>& msg) {
  std::unique_ptr<crypto_hash> h(is224 ? static_cast<crypto_hash*>(new sha224) : new sha256);
  const size_t l = h->hashsize() / 8;
  std::vector<unsigned char> k0(64, 0);
  if (key.size() > 64)
    h->hash_string(key.data(), key.size(), k0.data());
  else
    std::copy(key.begin(), key.end(), k0.begin());
  std::vector<unsigned char> inner_in(64 + msg.size()), outer_in(64 + l), out(l);
  for (size_t i = 0; i < 64; i++) {
    inner_in[i] = k0[i] ^ 0x36;
    outer_in[i] = k0[i] ^ 0x5c;
  }
  std::copy(msg.begin(), msg.end(), inner_in.begin() + 64);
  h->hash_string(inner_in.data(), inner_in.size(), outer_in.data() + 64);
  h->hash_string(outer_in.data(), outer_in.size(), out.data());
  return hex(out);
}

// MAC of msg on m, fed in pieces of `piece` bytes (0: one update call).
// Checks that exactly hashsize()/8 bytes are written.
std::string mac_in_pieces(crypto_hash& m, const std::vector<unsigned char>& msg, size_t piece) {
  const size_t l = m.hashsize() / 8;
  std::vector<unsigned char> out(40, 0xee);
  m.init();
  if (piece == 0) {
    m.update(msg.data(), msg.size());
  } else {
    for (size_t off = 0; off < msg.size(); off += piece)
      m.update(msg.data() + off, std::min(piece, msg.size() - off));
  }
  m.final(out.data());
  for (size_t i = l; i < out.size(); i++) EXPECT_EQ(out[i], 0xee) << "byte " << i << " written past the MAC";
  return hex(out.data(), l);
}

std::string mac_once(crypto_hash& m, const std::vector<unsigned char>& msg) {
  std::vector<unsigned char> out(m.hashsize() / 8);
  m.hash_string(msg.data(), msg.size(), out.data());
  return hex(out);
}

const size_t kKeyLengths[] = {0, 1, 31, 32, 63, 64, 65, 93, 131, 200};
const size_t kMsgLengths[] = {0, 1, 31, 55, 56, 63, 64, 65, 119, 120, 127, 128, 129, 200, 1000};
const size_t kPieces[] = {0, 1, 7, 63, 64, 65};

}  // namespace

// Over every key length (empty, shorter than, equal to, longer than a block)
// and message length around the padding boundaries, in every split, the saved
// state path, the pad-hashing path over a non-sha256 hash and over a class
// derived from sha256, and the plain definition agree, for SHA-256 and SHA-224.
TEST(HmacPadStates, BothPathsMatchDefinitionOverKeysMessagesAndSplits) {
  for (bool is224 : {false, true}) {
    for (size_t kl : kKeyLengths) {
      const std::vector<unsigned char> key = pseudo_random(kl, 100 + kl);
      sha256 s256;
      sha224 s224;
      crypto_hash& base = is224 ? static_cast<crypto_hash&>(s224) : s256;
      hmac fast(base, key.data(), key.size());
      auto fed = std::make_shared<size_t>(0);
      hmac generic(forwarding_hash(base.clone(), fed), key.data(), key.size());
      auto calls = std::make_shared<size_t>(0);
      counting_sha256 counted(calls);
      std::unique_ptr<hmac> derived;
      if (!is224) derived.reset(new hmac(counted, key.data(), key.size()));
      const size_t l = is224 ? 28 : 32;
      ASSERT_EQ(fast.hashsize(), l * 8);
      ASSERT_EQ(generic.hashsize(), l * 8);

      for (size_t ml : kMsgLengths) {
        const std::vector<unsigned char> msg = pseudo_random(ml, 7 * ml + kl);
        const std::string want = reference_mac(is224, key, msg);
        SCOPED_TRACE("sha" + std::string(is224 ? "224" : "256") + " key " + std::to_string(kl) + " msg " +
                     std::to_string(ml));
        EXPECT_EQ(mac_once(fast, msg), want);
        EXPECT_EQ(mac_once(generic, msg), want);
        if (derived) {
          EXPECT_EQ(mac_once(*derived, msg), want);
        }
        for (size_t piece : kPieces) {
          EXPECT_EQ(mac_in_pieces(fast, msg, piece), want) << "pieces of " << piece;
          EXPECT_EQ(mac_in_pieces(generic, msg, piece), want) << "pieces of " << piece;
        }
      }
    }
  }
}

// The pad-hashing path really runs for hashes that are not exactly sha256 or
// sha224: each MAC feeds the hash the ipad block, the message, then the opad
// block and the inner digest.
TEST(HmacPadStates, OtherHashesHashThePadsForEveryMac) {
  auto fed = std::make_shared<size_t>(0);
  hmac m(forwarding_hash(new sha256, fed), std::string("Jefe"));
  *fed = 0;
  unsigned char out[32];
  m.hash_string(std::string("what do ya want for nothing?"), out);
  EXPECT_EQ(hex(out, 32), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(*fed, 64u + 28u + 64u + 32u);

  // A class derived from sha256 gets every update, pads included: ipad,
  // message, opad, inner digest.
  auto calls = std::make_shared<size_t>(0);
  counting_sha256 c(calls);
  hmac d(c, std::string("Jefe"));
  *calls = 0;
  d.hash_string(std::string("what do ya want for nothing?"), out);
  EXPECT_EQ(hex(out, 32), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(*calls, 4u);
}

// RFC 4231 test cases 1, 2, 3, 4, 6 and 7 (case 5 truncates its result) for
// HMAC-SHA-256 and HMAC-SHA-224, on both paths.
TEST(HmacPadStates, Rfc4231OnBothPaths) {
  struct Case {
    std::vector<unsigned char> key;
    std::string data;
    const char* sha256;
    const char* sha224;
  };
  std::vector<unsigned char> k4(25);
  for (int i = 0; i < 25; i++) k4[i] = static_cast<unsigned char>(i + 1);
  const Case cases[] = {
      {std::vector<unsigned char>(20, 0x0b), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7",
       "896fb1128abbdf196832107cd49df33f47b4b1169912ba4f53684b22"},
      {{'J', 'e', 'f', 'e'}, "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843",
       "a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44"},
      {std::vector<unsigned char>(20, 0xaa), std::string(50, '\xdd'),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe",
       "7fb3cb3588c6c1f6ffa9694d7d6ad2649365b0c1f65d69d1ec8333ea"},
      {k4, std::string(50, '\xcd'), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b",
       "6c11506874013cac6a2abc1bb382627cec6a90d86efc012de7afec5a"},
      {std::vector<unsigned char>(131, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54",
       "95e9a0db962095adaebe9b2d6f0dbce2d499f112f2d2b7273fa6870e"},
      {std::vector<unsigned char>(131, 0xaa),
       "This is a test using a larger than block-size key and a larger than block-size data. "
       "The key needs to be hashed before being used by the HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2",
       "3a854166ac5d9f023f54d517d0b39dbd946770db9c2b95c9f6f565d1"},
  };
  for (const Case& c : cases) {
    const std::vector<unsigned char> msg(c.data.begin(), c.data.end());
    sha256 s256;
    sha224 s224;
    auto fed = std::make_shared<size_t>(0);
    hmac f256(s256, c.key.data(), c.key.size());
    hmac f224(s224, c.key.data(), c.key.size());
    hmac g256(forwarding_hash(new sha256, fed), c.key.data(), c.key.size());
    hmac g224(forwarding_hash(new sha224, fed), c.key.data(), c.key.size());
    EXPECT_EQ(mac_once(f256, msg), c.sha256);
    EXPECT_EQ(mac_once(g256, msg), c.sha256);
    EXPECT_EQ(mac_once(f224, msg), c.sha224);
    EXPECT_EQ(mac_once(g224, msg), c.sha224);
  }
}

// A clone, made mid-message or fresh, of a clone too, has the same key and
// none of the pending data; the source is not disturbed by its clone.
TEST(HmacPadStates, ClonesAgreeWithTheGenericPath) {
  for (size_t kl : {size_t(0), size_t(64), size_t(93)}) {
    const std::vector<unsigned char> key = pseudo_random(kl, kl + 1);
    const std::vector<unsigned char> pending = pseudo_random(70, 9);
    const std::vector<unsigned char> msg = pseudo_random(64, 10);
    auto fed = std::make_shared<size_t>(0);
    sha256 h;
    hmac fast(h, key.data(), key.size());
    hmac generic(forwarding_hash(new sha256, fed), key.data(), key.size());
    const std::string want = mac_once(generic, msg);

    fast.init();
    fast.update(pending.data(), pending.size());
    std::unique_ptr<crypto_hash> c1(fast.clone());
    std::unique_ptr<crypto_hash> c2(c1->clone());
    EXPECT_EQ(mac_once(*c1, msg), want) << "key " << kl;
    EXPECT_EQ(mac_in_pieces(*c2, msg, 1), want) << "key " << kl;

    // The source finishes its own message: pending then msg.
    fast.update(msg.data(), msg.size());
    unsigned char out[32];
    fast.final(out);
    std::vector<unsigned char> both(pending);
    both.insert(both.end(), msg.begin(), msg.end());
    EXPECT_EQ(hex(out, 32), reference_mac(false, key, both)) << "key " << kl;
    EXPECT_EQ(hex(out, 32), mac_once(generic, both)) << "key " << kl;

    // A clone outlives its source.
    std::unique_ptr<crypto_hash> c3;
    {
      hmac tmp(h, key.data(), key.size());
      c3.reset(tmp.clone());
    }
    EXPECT_EQ(mac_once(*c3, msg), want) << "key " << kl;
  }

  // A clone of an hmac over SHA-224 still writes 28 bytes of HMAC-SHA-224.
  sha224 h224;
  hmac m224(h224, std::string("Jefe"));
  std::unique_ptr<crypto_hash> c224(m224.clone());
  const std::string jefe_msg = "what do ya want for nothing?";
  EXPECT_EQ(c224->hashsize(), 224u);
  EXPECT_EQ(mac_in_pieces(*c224, std::vector<unsigned char>(jefe_msg.begin(), jefe_msg.end()), 5),
            "a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44");
}

// clear() wipes the hash mid-message or after a MAC; init() then starts a
// correct MAC with the same key, on both paths. Repeated hash_string calls,
// interleaved with other messages, give the same results.
TEST(HmacPadStates, ClearThenInitAndRepeatedMacs) {
  const std::vector<unsigned char> key = pseudo_random(93, 5);
  const std::vector<unsigned char> a = pseudo_random(64, 1);
  const std::vector<unsigned char> b = pseudo_random(3, 2);
  const std::string want_a = reference_mac(false, key, a);
  const std::string want_b = reference_mac(false, key, b);
  auto fed = std::make_shared<size_t>(0);
  sha256 h;
  hmac fast(h, key.data(), key.size());
  hmac generic(forwarding_hash(new sha256, fed), key.data(), key.size());
  for (hmac* m : {&fast, &generic}) {
    m->init();
    m->update(b.data(), b.size());
    m->clear();
    EXPECT_EQ(mac_once(*m, a), want_a);
    m->clear();
    EXPECT_EQ(mac_in_pieces(*m, a, 65), want_a);
    m->clear();
    m->clear();
    EXPECT_EQ(mac_once(*m, b), want_b);
    for (int i = 0; i < 5; i++) {
      EXPECT_EQ(mac_once(*m, a), want_a);
      EXPECT_EQ(mac_once(*m, b), want_b);
    }
    // init() discards a message in progress, partial block included.
    m->init();
    m->update(a.data(), 10);
    m->init();
    m->update(a.data(), a.size());
    unsigned char out[32];
    m->final(out);
    EXPECT_EQ(hex(out, 32), want_a);
  }
}

// The hash object's saved state is exact only at a block boundary.
TEST(Sha256SavedState, SaveAndLoadAtBlockBoundary) {
  const std::vector<unsigned char> prefix = pseudo_random(128, 4);
  const std::vector<unsigned char> rest = pseudo_random(77, 8);
  std::vector<unsigned char> all(prefix);
  all.insert(all.end(), rest.begin(), rest.end());
  for (bool is224 : {false, true}) {
    std::unique_ptr<sha256> h(is224 ? new sha224 : new sha256);
    const size_t l = h->hashsize() / 8;
    std::vector<unsigned char> want(l), got(l);
    h->hash_string(all.data(), all.size(), want.data());

    uint32_t st[8];
    uint64_t bits = 0;
    h->init();
    h->update(prefix.data(), 100);
    EXPECT_FALSE(h->save_state(st, bits)) << "a partial block is held";
    h->update(prefix.data() + 100, prefix.size() - 100);
    ASSERT_TRUE(h->save_state(st, bits));
    EXPECT_EQ(bits, 128u * 8);

    // Loading replaces init(): twice in a row, and after a finished message.
    for (int i = 0; i < 2; i++) {
      h->load_state(st, bits);
      h->update(rest.data(), rest.size());
      h->final(got.data());
      EXPECT_EQ(hex(got), hex(want));
    }
    h->clear();
    h->load_state(st, bits);
    h->update(rest.data(), 1);
    h->update(rest.data() + 1, rest.size() - 1);
    h->final(got.data());
    EXPECT_EQ(hex(got), hex(want));
  }
}
