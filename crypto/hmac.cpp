#include "crypto/hmac.h"

#include <cstring>

namespace cppcrypto {

hmac::hmac(const crypto_hash& hash, const std::string& key) : hash_(hash.clone()) {
  prepare_key(reinterpret_cast<const unsigned char*>(key.data()), key.size());
}

hmac::hmac(const crypto_hash& hash, const unsigned char* key, size_t keylen) : hash_(hash.clone()) {
  prepare_key(key, keylen);
}

hmac::hmac(const hmac& src, int) : hash_(src.hash_->clone()) {
  const size_t b = blocksize() / 8;
  ipad_.reset(new unsigned char[b]);
  opad_.reset(new unsigned char[b]);
  std::memcpy(ipad_.get(), src.ipad_.get(), b);
  std::memcpy(opad_.get(), src.opad_.get(), b);
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

hmac::~hmac() {
  clear();
  const size_t b = blocksize() / 8;
  volatile unsigned char* ip = ipad_.get();
  volatile unsigned char* op = opad_.get();
  for (size_t i = 0; i < b; i++) ip[i] = op[i] = 0;
}

void hmac::init() {
  hash_->init();
  hash_->update(ipad_.get(), blocksize() / 8);
}

void hmac::update(const unsigned char* data, size_t len) { hash_->update(data, len); }

void hmac::final(unsigned char* mac) {
  const size_t l = hashsize() / 8;
  std::unique_ptr<unsigned char[]> inner(new unsigned char[l]);
  hash_->final(inner.get());
  hash_->init();
  hash_->update(opad_.get(), blocksize() / 8);
  hash_->update(inner.get(), l);
  volatile unsigned char* in = inner.get();
  for (size_t i = 0; i < l; i++) in[i] = 0;
  inner.reset();
  hash_->final(mac);
}

size_t hmac::hashsize() const { return hash_->hashsize(); }

size_t hmac::blocksize() const { return hash_->blocksize(); }

crypto_hash* hmac::clone() const { return new hmac(*this, 0); }

void hmac::clear() { hash_->clear(); }

}  // namespace cppcrypto
