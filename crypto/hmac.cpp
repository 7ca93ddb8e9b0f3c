#include "crypto/hmac.h"

#include <cstring>
#include <typeinfo>

#include "crypto/sha256.h"

namespace cppcrypto {

namespace {

// Zeroes n bytes in a way the compiler may not drop as a dead store.
void wipe(void* p, size_t n) {
  volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
  for (size_t i = 0; i < n; i++) v[i] = 0;
}

// h as a sha256 when its class is exactly sha256 or sha224, else null.
sha256* exact_sha256(crypto_hash& h) {
  const std::type_info& t = typeid(h);
  if (t == typeid(sha256) || t == typeid(sha224)) return static_cast<sha256*>(&h);
  return nullptr;
}

}  // namespace

hmac::hmac(const crypto_hash& hash, const std::string& key) : hash_(hash.clone()) {
  prepare_key(reinterpret_cast<const unsigned char*>(key.data()), key.size());
  prepare_pad_states();
}

hmac::hmac(const crypto_hash& hash, const unsigned char* key, size_t keylen) : hash_(hash.clone()) {
  prepare_key(key, keylen);
  prepare_pad_states();
}

hmac::hmac(const hmac& src, int) : hash_(src.hash_->clone()) {
  const size_t b = blocksize() / 8;
  ipad_.reset(new unsigned char[b]);
  opad_.reset(new unsigned char[b]);
  std::memcpy(ipad_.get(), src.ipad_.get(), b);
  std::memcpy(opad_.get(), src.opad_.get(), b);
  // The clone of an exact sha256 or sha224 is of the same class, so the
  // saved states carry over as they are.
  if (src.sha_) {
    sha_ = static_cast<sha256*>(hash_.get());
    std::memcpy(istate_, src.istate_, sizeof istate_);
    std::memcpy(ostate_, src.ostate_, sizeof ostate_);
    ibits_ = src.ibits_;
    obits_ = src.obits_;
  }
}

void hmac::prepare_key(const unsigned char* key, size_t keylen) {
  const size_t b = blocksize() / 8;
  const size_t l = hashsize() / 8;
  ipad_.reset(new unsigned char[b]());
  opad_.reset(new unsigned char[b]());
  if (keylen <= b) {
    if (keylen) {
      std::memcpy(ipad_.get(), key, keylen);
      std::memcpy(opad_.get(), key, keylen);
    }
  } else {
    // A key longer than a block is replaced by its hash.
    hash_->hash_string(key, keylen, ipad_.get());
    std::memcpy(opad_.get(), ipad_.get(), l);
  }
  for (size_t i = 0; i < b; i++) {
    opad_[i] ^= 0x5c;
    ipad_[i] ^= 0x36;
  }
}

void hmac::prepare_pad_states() {
  sha256* s = exact_sha256(*hash_);
  if (!s) return;
  const size_t b = blocksize() / 8;
  // Each pad is one whole block, so the state after it lies at a block
  // boundary, where it can always be saved.
  s->init();
  s->update(ipad_.get(), b);
  s->save_state(istate_, ibits_);
  s->init();
  s->update(opad_.get(), b);
  s->save_state(ostate_, obits_);
  // Leave no key-derived state in the hash itself; init() loads what it needs.
  s->clear();
  sha_ = s;
}

hmac::~hmac() {
  clear();
  const size_t b = blocksize() / 8;
  wipe(ipad_.get(), b);
  wipe(opad_.get(), b);
  wipe(istate_, sizeof istate_);
  wipe(ostate_, sizeof ostate_);
}

void hmac::init() {
  if (sha_) {
    sha_->load_state(istate_, ibits_);
    return;
  }
  hash_->init();
  hash_->update(ipad_.get(), blocksize() / 8);
}

void hmac::update(const unsigned char* data, size_t len) { hash_->update(data, len); }

void hmac::final(unsigned char* mac) {
  const size_t l = hashsize() / 8;
  if (sha_) {
    unsigned char inner[32];  // 32 bytes for sha256, 28 for sha224
    sha_->final(inner);
    sha_->load_state(ostate_, obits_);
    sha_->update(inner, l);
    wipe(inner, l);
    sha_->final(mac);
    return;
  }
  std::unique_ptr<unsigned char[]> inner(new unsigned char[l]);
  hash_->final(inner.get());
  hash_->init();
  hash_->update(opad_.get(), blocksize() / 8);
  hash_->update(inner.get(), l);
  wipe(inner.get(), l);
  inner.reset();
  hash_->final(mac);
}

size_t hmac::hashsize() const { return hash_->hashsize(); }

size_t hmac::blocksize() const { return hash_->blocksize(); }

crypto_hash* hmac::clone() const {
  return new hmac(*this, 0);  // GCOVR_EXCL_BR_LINE: the cleanup after a failed construction (out of memory)
}

void hmac::clear() { hash_->clear(); }

}  // namespace cppcrypto
