// Abstract interface of a block cipher. Sizes are in bits.
#ifndef HX_CRYPTO_BLOCK_CIPHER_H
#define HX_CRYPTO_BLOCK_CIPHER_H

#include <cstddef>

namespace cppcrypto {

class block_cipher {
 public:
  enum direction { encryption = 0, decryption = 1 };

  block_cipher() = default;
  virtual ~block_cipher();

  block_cipher(const block_cipher&) = delete;
  block_cipher& operator=(const block_cipher&) = delete;

  // Block size in bits.
  virtual size_t blocksize() const = 0;
  // Key size in bits.
  virtual size_t keysize() const = 0;
  // A new object of the same class, owned by the caller, without a key: init()
  // must be called on it.
  virtual block_cipher* clone() const = 0;
  // Wipes the key schedule.
  virtual void clear() = 0;
  // Reads keysize()/8 bytes of key and prepares the key schedule for dir only.
  virtual bool init(const unsigned char* key, direction dir) = 0;
  // One block; in and out may be the same buffer.
  virtual void encrypt_block(const unsigned char* in, unsigned char* out) = 0;
  virtual void decrypt_block(const unsigned char* in, unsigned char* out) = 0;
  // n consecutive blocks, as n calls of encrypt_block/decrypt_block; n = 0
  // writes nothing.
  virtual void encrypt_blocks(const unsigned char* in, unsigned char* out, size_t n);
  virtual void decrypt_blocks(const unsigned char* in, unsigned char* out, size_t n);
};

}  // namespace cppcrypto

#endif
