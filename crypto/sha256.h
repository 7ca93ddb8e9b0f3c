// SHA-256 and SHA-224 of FIPS 180-4.
#ifndef HX_CRYPTO_SHA256_H
#define HX_CRYPTO_SHA256_H

#include <cstdint>
#include <functional>

#include "crypto/alignedarray.h"
#include "crypto/cpuinfo.h"
#include "crypto/crypto_hash.h"

namespace cppcrypto {

class sha256 : public crypto_hash {
 public:
  // Allocates the state and picks the block function from cpu_info (AVX2 and
  // BMI2, else SSE4.1, else SSE2, else portable). Does not start a message:
  // call init().
  sha256();
  // The same, choosing from the given feature words instead of this
  // processor's; the caller must give only features the processor has. Lets
  // tests run every block function through the whole hash on any processor.
  explicit sha256(const cpu_info::cpu_info_impl& features);
  // Wipes the state (clear()) and releases it.
  ~sha256() override;

  // H = initial hash value, no data held, length 0.
  void init() override;
  // Whole 64-byte blocks are hashed straight from data; only a partial block
  // is copied into the object.
  void update(const unsigned char* data, size_t len) override;
  // Writes hashsize()/8 bytes. Leaves H byte-swapped: init() is needed again.
  void final(unsigned char* hash) override;
  size_t hashsize() const override { return 256; }
  size_t blocksize() const override { return 512; }
  // A new, freshly constructed sha256 (no message state).
  crypto_hash* clone() const override;
  // Zeroes H and the partial block; pos and total are left as they are.
  void clear() override;

  // Chaining state at a block boundary, for a caller that starts many
  // messages with the same whole blocks (hmac's key pads): it hashes them
  // once, saves the state and loads it at the start of each message instead
  // of hashing them again.
  // save_state copies H and the length so far (in bits) into h and
  // total_bits; it returns false and copies nothing when a partial block is
  // held, since that part of the message is not in H.
  bool save_state(uint32_t h[8], uint64_t& total_bits) const;
  // Continues as after the message whose state save_state gave: H = h,
  // length = total_bits, no partial block. Replaces init() for such a
  // message.
  void load_state(const uint32_t h[8], uint64_t total_bits);

 protected:
  // Portable block function on this object's H; 0 blocks changes nothing.
  void transform(const void* data, uint64_t blocks);

  // The block function chosen at construction; works on this object's H.
  std::function<void(const void*, uint64_t)> transfunc;
  // Chaining state in a separate 32-byte-aligned allocation.
  aligned_pod_array<uint32_t, 8, 32> H;
  unsigned char m[64];  // partial block not yet hashed
  size_t pos;           // bytes held in m
  uint64_t total;       // message length so far, in bits
};

class sha224 : public sha256 {
 public:
  // H = SHA-224 initial hash value, no data held, length 0.
  void init() override;
  size_t hashsize() const override { return 224; }
  // A new, freshly constructed sha224.
  crypto_hash* clone() const override;
};

}  // namespace cppcrypto

#endif
