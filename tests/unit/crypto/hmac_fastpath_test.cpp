// hmac over an exact sha256 or sha224 starts each MAC from chaining states
// saved once per key; over any other hash (a derived class included) it hashes
// the pad blocks every time. Both paths must match plain RFC 2104.
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
using cppcrypto::sha224;
using cppcrypto::sha256;
using crypto_test::hex;
using crypto_test::pseudo_random;
using Bytes = std::vector<unsigned char>;

namespace {

// Derived from sha256 or sha224, so hmac must take the pad-hashing path and
// not bypass its update(); counts the bytes fed, in a counter shared with clones.
template <class Base>
class counting : public Base {
 public:
  explicit counting(std::shared_ptr<size_t> fed) : fed_(std::move(fed)) {}
  void update(const unsigned char* data, size_t len) override {
    *fed_ += len;
    Base::update(data, len);
  }
  crypto_hash* clone() const override { return new counting(fed_); }

 private:
  std::shared_ptr<size_t> fed_;
};

// A new sha256 or sha224; counting (derived) when `fed` is given.
crypto_hash* make_hash(bool is224, std::shared_ptr<size_t> fed = nullptr) {
  if (fed) return is224 ? static_cast<crypto_hash*>(new counting<sha224>(fed)) : new counting<sha256>(fed);
  return is224 ? static_cast<crypto_hash*>(new sha224) : new sha256;
}

// H((K0 ^ opad) || H((K0 ^ ipad) || m)), each hash over one buffer.
std::string reference_mac(bool is224, const Bytes& key, const Bytes& msg) {
  std::unique_ptr<crypto_hash> h(make_hash(is224));
  const size_t l = h->hashsize() / 8;
  Bytes k0(64, 0), inner_in(64 + msg.size()), outer_in(64 + l), out(l);
  if (key.size() > 64)
    h->hash_string(key.data(), key.size(), k0.data());
  else
    std::copy(key.begin(), key.end(), k0.begin());
  for (size_t i = 0; i < 64; i++) {
    inner_in[i] = k0[i] ^ 0x36;
    outer_in[i] = k0[i] ^ 0x5c;
  }
  std::copy(msg.begin(), msg.end(), inner_in.begin() + 64);
  h->hash_string(inner_in.data(), inner_in.size(), outer_in.data() + 64);
  h->hash_string(outer_in.data(), outer_in.size(), out.data());
  return hex(out);
}

// MAC of msg fed in pieces of `piece` bytes (0: one hash_string call);
// checks that nothing is written past hashsize()/8 bytes.
std::string mac(crypto_hash& m, const Bytes& msg, size_t piece = 0) {
  const size_t l = m.hashsize() / 8;
  Bytes out(40, 0xee);
  if (piece == 0) {
    m.hash_string(msg.data(), msg.size(), out.data());
  } else {
    m.init();
    for (size_t off = 0; off < msg.size(); off += piece) m.update(msg.data() + off, std::min(piece, msg.size() - off));
    m.final(out.data());
  }
  for (size_t i = l; i < out.size(); i++) EXPECT_EQ(out[i], 0xee) << "byte " << i << " written past the MAC";
  return hex(out.data(), l);
}

}  // namespace

// Keys empty, shorter than, equal to and longer than a block; messages around
// the padding boundaries; every split: both paths agree with the definition,
// for SHA-256 and SHA-224.
TEST(HmacPaths, AgreeWithDefinitionOverKeysMessagesAndSplits) {
  for (bool is224 : {false, true}) {
    for (size_t kl : {0, 1, 32, 63, 64, 65, 131}) {
      const Bytes key = pseudo_random(kl, 100 + kl);
      auto fed = std::make_shared<size_t>(0);
      const std::unique_ptr<crypto_hash> plain(make_hash(is224)), counted(make_hash(is224, fed));
      hmac fast(*plain, key.data(), key.size());
      hmac generic(*counted, key.data(), key.size());
      const size_t l = is224 ? 28 : 32;
      ASSERT_EQ(fast.hashsize(), l * 8);
      for (size_t ml : {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 129, 1000}) {
        const Bytes msg = pseudo_random(ml, 7 * ml + kl);
        const std::string want = reference_mac(is224, key, msg);
        SCOPED_TRACE("sha" + std::string(is224 ? "224" : "256") + " key " + std::to_string(kl) + " msg " +
                     std::to_string(ml));
        for (size_t piece : {0, 1, 63, 64, 65}) {
          EXPECT_EQ(mac(fast, msg, piece), want) << "pieces of " << piece;
          *fed = 0;
          EXPECT_EQ(mac(generic, msg, piece), want) << "pieces of " << piece;
          if (piece == 0) {
            EXPECT_EQ(*fed, 64 + ml + 64 + l) << "ipad, message, opad, inner digest through update()";
          }
        }
      }
    }
  }
}

// A clone (mid-message, of a clone, outliving its source) has the same key and
// none of the pending data; clear() and init() drop a message in progress but
// keep the key; on both paths.
TEST(HmacPaths, CloneAndClear) {
  const Bytes pending = pseudo_random(70, 9), msg = pseudo_random(64, 10);
  Bytes both(pending);
  both.insert(both.end(), msg.begin(), msg.end());
  for (bool is224 : {false, true}) {
    for (size_t kl : {0, 64, 93}) {
      SCOPED_TRACE("sha" + std::string(is224 ? "224" : "256") + " key " + std::to_string(kl));
      const Bytes key = pseudo_random(kl, kl + 1);
      const std::string want = reference_mac(is224, key, msg);
      auto fed = std::make_shared<size_t>(0);
      std::unique_ptr<hmac> paths[2];
      {
        const std::unique_ptr<crypto_hash> plain(make_hash(is224)), counted(make_hash(is224, fed));
        paths[0].reset(new hmac(*plain, key.data(), key.size()));  // the hashes may go at once
        paths[1].reset(new hmac(*counted, key.data(), key.size()));
      }
      for (auto& m : paths) {
        m->init();
        m->update(pending.data(), pending.size());
        std::unique_ptr<crypto_hash> c1(m->clone());
        std::unique_ptr<crypto_hash> c2(c1->clone());
        EXPECT_EQ(c1->hashsize(), is224 ? 224u : 256u);
        EXPECT_EQ(mac(*c1, msg), want);
        EXPECT_EQ(mac(*c2, msg, 1), want);
        // The source finishes its own message: pending, then msg.
        m->update(msg.data(), msg.size());
        Bytes out(m->hashsize() / 8);
        m->final(out.data());
        EXPECT_EQ(hex(out), reference_mac(is224, key, both));

        std::unique_ptr<crypto_hash> orphan;
        {
          std::unique_ptr<crypto_hash> tmp(m->clone());
          orphan.reset(tmp->clone());
        }
        EXPECT_EQ(mac(*orphan, msg), want);

        m->init();
        m->update(pending.data(), 10);
        m->clear();
        EXPECT_EQ(mac(*m, msg), want);
        m->clear();
        m->clear();
        EXPECT_EQ(mac(*m, msg, 65), want);
        m->init();
        m->update(pending.data(), 10);  // a partial block, discarded by init()
        EXPECT_EQ(mac(*m, msg, 7), want);
        EXPECT_EQ(mac(*m, msg), want);
      }
    }
  }
}
