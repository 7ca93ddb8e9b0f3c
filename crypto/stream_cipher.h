// Abstract interface of a stream cipher. Sizes are in bits.
#ifndef HX_CRYPTO_STREAM_CIPHER_H
#define HX_CRYPTO_STREAM_CIPHER_H

#include <cstddef>

namespace cppcrypto {

class stream_cipher {
 public:
  stream_cipher() = default;
  virtual ~stream_cipher();

  stream_cipher(const stream_cipher&) = delete;
  stream_cipher& operator=(const stream_cipher&) = delete;

  // Key size in bits.
  virtual size_t keysize() const = 0;
  // Largest IV in bits.
  virtual size_t ivsize() const = 0;
  // A new object of the same class, owned by the caller, without key or IV.
  virtual stream_cipher* clone() const = 0;
  // Wipes key-dependent state.
  virtual void clear() = 0;
  // Sets key and IV and rewinds the key stream.
  virtual void init(const unsigned char* key, size_t keylen, const unsigned char* iv,
                    size_t ivlen) = 0;
  // XORs len bytes of in with the next len key-stream bytes into out; in and
  // out may be the same buffer.
  virtual void encrypt(const unsigned char* in, size_t len, unsigned char* out) = 0;
  // The same operation as encrypt().
  virtual void decrypt(const unsigned char* in, size_t len, unsigned char* out) = 0;
};

}  // namespace cppcrypto

#endif
