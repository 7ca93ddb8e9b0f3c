// Kuznyechik, the 128-bit block cipher of GOST R 34.12-2015 (RFC 7801), with a
// 256-bit key; table driven. Blocks and keys are byte arrays in the order in
// which RFC 7801 writes its vectors (byte 0 of a block is a15; key bytes 0..15
// are K1, 16..31 are K2).
#ifndef HX_CRYPTO_KUZNYECHIK_H
#define HX_CRYPTO_KUZNYECHIK_H

#include <cstdint>

#include "crypto/block_cipher.h"

namespace cppcrypto {

class kuznyechik : public block_cipher {
 public:
  // No key: init() must precede use.
  kuznyechik() = default;
  // Calls clear().
  ~kuznyechik() override;

  size_t blocksize() const override { return 128; }
  size_t keysize() const override { return 256; }
  // A new kuznyechik without a key.
  block_cipher* clone() const override;
  // Sets all ten round keys to zero.
  void clear() override;
  // Key schedule from 32 key bytes for dir; an object initialised for one
  // direction gives wrong results in the other. Always returns true.
  bool init(const unsigned char* key, direction dir) override;
  // One 16-byte block; in and out may be the same buffer.
  void encrypt_block(const unsigned char* in, unsigned char* out) override;
  void decrypt_block(const unsigned char* in, unsigned char* out) override;

 protected:
  // Round keys K1..K10, bytes in block order. For decryption K2..K10 hold the
  // inverse of L of the round keys.
  alignas(16) uint64_t rk[10][2];
};

}  // namespace cppcrypto

#endif
