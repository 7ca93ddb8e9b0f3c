// SHA-256 block functions. Each applies the FIPS 180-4 compression function to
// consecutive 64-byte blocks and adds the result into the eight state words,
// which are in the processor's own byte order. All four give identical states;
// they differ in speed and in the processor features they need.
#ifndef HX_CRYPTO_SHA256_BLOCK_H
#define HX_CRYPTO_SHA256_BLOCK_H

#include <cstddef>
#include <cstdint>

namespace cppcrypto {

// The 64 round constants K of FIPS 180-4.
extern const uint32_t SHA256_K[64];

// Portable C++; any processor. 0 blocks changes nothing.
void sha256_portable(const void* data, uint32_t* state, uint64_t blocks);

// SSE2. length is in bytes, a multiple of 64 and at least 64. state must be
// 16-byte aligned (it is read and written with aligned accesses).
void X86_SHA256_HashBlocks(uint32_t* state, const uint32_t* data, size_t length);

// SSSE3 and SSE4.1 (128-bit registers). 0 blocks returns at once; data may be
// unaligned.
void sha256_sse4(const void* data, uint32_t* state, uint64_t blocks);

// AVX2 and BMI2: schedules two blocks per pass in 256-bit registers and
// finishes an odd last block alone. 0 blocks returns at once; data may be
// unaligned.
void sha256_rorx(const void* data, uint32_t* state, uint64_t blocks);

}  // namespace cppcrypto

#endif
