// Counter mode (NIST SP 800-38A) over any block cipher, as a stream cipher.
#ifndef HX_CRYPTO_CTR_H
#define HX_CRYPTO_CTR_H

#include <cstddef>
#include <memory>

#include "crypto/block_cipher.h"
#include "crypto/stream_cipher.h"

namespace cppcrypto {

class ctr : public stream_cipher {
 public:
  // Works on a keyless clone of cipher; the caller's object is neither used
  // nor kept.
  explicit ctr(const block_cipher& cipher);
  // clear(), then releases the buffers and the cipher.
  ~ctr() override;

  // Key size of the cipher, in bits.
  size_t keysize() const override;
  // The cipher's block size, in bits.
  size_t ivsize() const override;
  // A new ctr over a keyless clone of the cipher; init() must be called.
  stream_cipher* clone() const override;
  // Zeroes the key-stream block and the counter and clears the cipher's key.
  void clear() override;
  // Keys the cipher for encryption with keysize()/8 bytes of key (keylen is
  // not consulted), sets the counter to the ivlen bytes of iv followed by
  // zero bytes and rewinds the key stream. Of an IV longer than the block
  // only the first block-size bytes are used.
  void init(const unsigned char* key, size_t keylen, const unsigned char* iv, size_t ivlen) override;
  // out = in XOR the next len key-stream bytes E(T1) || E(T2) || ..., where
  // the counter is one big-endian number incremented after each block and
  // wrapping to zero. Independent of how the data is split into calls; in and
  // out may be the same buffer.
  void encrypt(const unsigned char* in, size_t len, unsigned char* out) override;
  // Same as encrypt().
  void decrypt(const unsigned char* in, size_t len, unsigned char* out) override;

 protected:
  std::unique_ptr<unsigned char[]> block_;  // current key-stream block E(counter)
  std::unique_ptr<unsigned char[]> iv_;     // the counter block
  size_t pos;                               // bytes of block_ already used
  size_t nb_;                               // block size in bytes
  std::unique_ptr<block_cipher> cipher_;

 private:
  void increment_counter();
};

}  // namespace cppcrypto

#endif
