// Abstract interface of a cryptographic hash function. Every size reported by
// this interface is in bits.
#ifndef HX_CRYPTO_CRYPTO_HASH_H
#define HX_CRYPTO_CRYPTO_HASH_H

#include <cstddef>
#include <initializer_list>
#include <string>

namespace cppcrypto {

class crypto_hash {
 public:
  crypto_hash() = default;
  virtual ~crypto_hash();

  crypto_hash(const crypto_hash&) = delete;
  crypto_hash& operator=(const crypto_hash&) = delete;

  // Starts a new message. Required before the first update() and again after
  // every final().
  virtual void init() = 0;

  // Appends len bytes of data to the message. Any split of a message into
  // update() calls gives the same digest.
  virtual void update(const unsigned char* data, size_t len) = 0;

  // Pads and finishes the message and writes hashsize()/8 bytes to hash. The
  // object then needs init() before it can hash again.
  virtual void final(unsigned char* hash) = 0;

  // Digest size in bits.
  virtual size_t hashsize() const = 0;

  // Block size in bits.
  virtual size_t blocksize() const = 0;

  // Returns a new object of the same class, owned by the caller, in the freshly
  // constructed state: nothing of this object's message is carried over and
  // init() must be called on it.
  virtual crypto_hash* clone() const = 0;

  // Wipes the object's secret-bearing state.
  virtual void clear() = 0;

  // init(), update(data, len), final(hash) in one call, through the virtual
  // operations (so on an hmac it yields the MAC).
  void hash_string(const unsigned char* data, size_t len, unsigned char* hash);
  void hash_string(const char* data, size_t len, unsigned char* hash);
  // Hashes all data.size() bytes, embedded zero bytes included.
  void hash_string(const std::string& data, unsigned char* hash);

 protected:
  // For hashes with a selectable output size: throws std::runtime_error with
  // "hash size can't be zero" when hs is 0, "cppcrypto does not support
  // non-byte hash sizes" when hs is not a multiple of 8, "invalid hash size"
  // when hs exceeds max; returns otherwise.
  void validate_hash_size(size_t hs, size_t max);
  // Throws std::runtime_error with "hash size can't be zero" when hs is 0 and
  // "invalid hash size" when hs is not among allowed; returns otherwise.
  void validate_hash_size(size_t hs, std::initializer_list<size_t> allowed);
};

}  // namespace cppcrypto

#endif
