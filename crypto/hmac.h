// HMAC of RFC 2104 over any crypto_hash; itself a crypto_hash, so
// hash_string() computes a whole MAC in one call.
#ifndef HX_CRYPTO_HMAC_H
#define HX_CRYPTO_HMAC_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "crypto/crypto_hash.h"

namespace cppcrypto {

class sha256;

class hmac : public crypto_hash {
 public:
  // The key is every byte of key. The hmac works on its own clone of hash; the
  // caller's object is neither used nor kept. Does not call init().
  hmac(const crypto_hash& hash, const std::string& key);
  hmac(const crypto_hash& hash, const unsigned char* key, size_t keylen);
  // clear(), then zeroes both pads and releases them and the hash.
  ~hmac() override;

  // Starts a MAC: the hash in the state after the ipad block. Over a sha256
  // or sha224 that state is loaded from the one saved for this key; over any
  // other hash it is init on the hash, then the ipad block.
  void init() override;
  void update(const unsigned char* data, size_t len) override;
  // Writes hashsize()/8 bytes: H(opad || H(ipad || message)). Over a sha256
  // or sha224 the outer hash starts from the state saved after the opad
  // block instead of hashing that block again.
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
  // When hash_ is exactly a sha256 or sha224, hashes each pad block once and
  // saves the states after them, and points sha_ at hash_; otherwise leaves
  // sha_ null.
  void prepare_pad_states();

  std::unique_ptr<unsigned char[]> ipad_;  // padded key XOR 0x36
  std::unique_ptr<unsigned char[]> opad_;  // padded key XOR 0x5c
  std::unique_ptr<crypto_hash> hash_;

  // A MAC over SHA-256 of a short message costs mostly block compressions;
  // with the pad states saved per key it takes the message blocks plus one
  // outer block instead of two more. Only exact sha256 and sha224 objects
  // qualify: a class derived from them could keep state of its own that a
  // saved chaining state does not hold.
  sha256* sha_ = nullptr;  // hash_ itself when the saved states are in use
  uint32_t istate_[8] = {};  // chaining state after the ipad block
  uint32_t ostate_[8] = {};  // chaining state after the opad block
  uint64_t ibits_ = 0;       // message length in bits after the ipad block
  uint64_t obits_ = 0;       // message length in bits after the opad block
};

}  // namespace cppcrypto

#endif
