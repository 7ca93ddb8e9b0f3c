// HMAC of RFC 2104 over any crypto_hash; itself a crypto_hash, so
// hash_string() computes a whole MAC in one call.
#ifndef HX_CRYPTO_HMAC_H
#define HX_CRYPTO_HMAC_H

#include <cstddef>
#include <memory>
#include <string>

#include "crypto/crypto_hash.h"

namespace cppcrypto {

class hmac : public crypto_hash {
 public:
  // The key is every byte of key. The hmac works on its own clone of hash; the
  // caller's object is neither used nor kept. Does not call init().
  hmac(const crypto_hash& hash, const std::string& key);
  hmac(const crypto_hash& hash, const unsigned char* key, size_t keylen);
  // clear(), then zeroes both pads and releases them and the hash.
  ~hmac() override;

  // Starts a MAC: init on the hash, then the ipad block.
  void init() override;
  void update(const unsigned char* data, size_t len) override;
  // Writes hashsize()/8 bytes: H(opad || H(ipad || message)).
  void final(unsigned char* mac) override;
  size_t hashsize() const override;
  size_t blocksize() const override;
  // A new hmac with the same key over a fresh clone of the hash; no message
  // data is carried over, init() must be called.
  crypto_hash* clone() const override;
  // Wipes the hash's state; the key pads stay, so init() starts a new MAC
  // with the same key.
  void clear() override;

 private:
  // Builds a clone with the pads of src.
  explicit hmac(const hmac& src, int);
  void prepare_key(const unsigned char* key, size_t keylen);

  std::unique_ptr<unsigned char[]> ipad_;  // padded key XOR 0x36
  std::unique_ptr<unsigned char[]> opad_;  // padded key XOR 0x5c
  std::unique_ptr<crypto_hash> hash_;
};

}  // namespace cppcrypto

#endif
