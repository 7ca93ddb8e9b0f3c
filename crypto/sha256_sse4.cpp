// SHA-256 block function for processors with SSSE3 and SSE4.1: the message
// schedule is computed four words at a time in 128-bit registers, interleaved
// with the scalar rounds that consume the previous four words.
//
// This file is compiled with -mssse3 -msse4.1 and must only be entered after
// the processor was found to have them; it defines nothing inline that other
// files could share.
#include <immintrin.h>

#include <cstdint>

#include "crypto/sha256_block.h"

namespace cppcrypto {

namespace {

alignas(64) const uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// pshufb masks: big-endian words to native order; dwords 0 and 2 moved to
// positions 0,1 (rest zeroed); dwords 0 and 2 moved to positions 2,3.
alignas(16) const uint8_t BSWAP_MASK[16] = {3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12};
alignas(16) const uint8_t SHUF_00BA[16] = {0,    1,    2,    3,    8,    9,    10,   11,
                                           0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
alignas(16) const uint8_t SHUF_DC00[16] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                           0,    1,    2,    3,    8,    9,    10,   11};

#define ROTR32(x, n) (((x) >> (n)) | ((x) << (32 - (n))))

#define SIGMA1(e) (ROTR32(e, 6) ^ ROTR32(e, 11) ^ ROTR32(e, 25))
#define SIGMA0(a) (ROTR32(a, 2) ^ ROTR32(a, 13) ^ ROTR32(a, 22))

// One round; d and h are updated in place, the caller rotates the names.
// ab holds a ^ b of the round before (that is, b ^ c of this round) and is
// left holding a ^ b of this round, so Maj costs two operations.
#define RND(a, b, c, d, e, f, g, h, wk)                                      \
  do {                                                                       \
    const uint32_t t1_ = h + (wk) + (((f ^ g) & e) ^ g) + SIGMA1(e);         \
    const uint32_t bc_ = ab;                                                 \
    ab = a ^ b;                                                              \
    d += t1_;                                                                \
    h = t1_ + SIGMA0(a) + ((ab & bc_) ^ b);                                  \
  } while (0)

// Next four schedule words W[t..t+3] from X0 = W[t-16..t-13], X1, X2,
// X3 = W[t-4..t-1].
inline __m128i schedule(__m128i X0, __m128i X1, __m128i X2, __m128i X3, __m128i shuf00ba,
                        __m128i shufdc00) {
  const __m128i w15 = _mm_alignr_epi8(X1, X0, 4);  // W[t-15..t-12]
  const __m128i w7 = _mm_alignr_epi8(X3, X2, 4);   // W[t-7..t-4]
  __m128i s0 = _mm_xor_si128(_mm_srli_epi32(w15, 7), _mm_slli_epi32(w15, 25));
  s0 = _mm_xor_si128(s0, _mm_srli_epi32(w15, 18));
  s0 = _mm_xor_si128(s0, _mm_slli_epi32(w15, 14));
  s0 = _mm_xor_si128(s0, _mm_srli_epi32(w15, 3));
  __m128i w = _mm_add_epi32(_mm_add_epi32(X0, w7), s0);

  // sigma1 of W[t-2], W[t-1]: each word doubled into a 64-bit lane, so a 64-bit
  // shift leaves the 32-bit rotation in the low half.
  __m128i x = _mm_shuffle_epi32(X3, 0xFA);  // {w14, w14, w15, w15}
  __m128i s1 = _mm_xor_si128(_mm_srli_epi64(x, 17), _mm_srli_epi64(x, 19));
  s1 = _mm_xor_si128(s1, _mm_srli_epi32(x, 10));
  w = _mm_add_epi32(w, _mm_shuffle_epi8(s1, shuf00ba));  // W[t], W[t+1] final

  x = _mm_shuffle_epi32(w, 0x50);  // {W[t], W[t], W[t+1], W[t+1]}
  s1 = _mm_xor_si128(_mm_srli_epi64(x, 17), _mm_srli_epi64(x, 19));
  s1 = _mm_xor_si128(s1, _mm_srli_epi32(x, 10));
  return _mm_add_epi32(w, _mm_shuffle_epi8(s1, shufdc00));
}

// Four rounds on wk[0..3] while the schedule word group X0 is advanced.
#define FOUR_ROUNDS_SCHED(a, b, c, d, e, f, g, h, X0, X1, X2, X3, kidx)            \
  do {                                                                             \
    _mm_store_si128(reinterpret_cast<__m128i*>(wk),                                \
                    _mm_add_epi32(X0, _mm_load_si128(reinterpret_cast<const __m128i*>(K + (kidx))))); \
    X0 = schedule(X0, X1, X2, X3, shuf00ba, shufdc00);                             \
    RND(a, b, c, d, e, f, g, h, wk[0]);                                            \
    RND(h, a, b, c, d, e, f, g, wk[1]);                                            \
    RND(g, h, a, b, c, d, e, f, wk[2]);                                            \
    RND(f, g, h, a, b, c, d, e, wk[3]);                                            \
  } while (0)

#define FOUR_ROUNDS(a, b, c, d, e, f, g, h, X0, kidx)                              \
  do {                                                                             \
    _mm_store_si128(reinterpret_cast<__m128i*>(wk),                                \
                    _mm_add_epi32(X0, _mm_load_si128(reinterpret_cast<const __m128i*>(K + (kidx))))); \
    RND(a, b, c, d, e, f, g, h, wk[0]);                                            \
    RND(h, a, b, c, d, e, f, g, wk[1]);                                            \
    RND(g, h, a, b, c, d, e, f, wk[2]);                                            \
    RND(f, g, h, a, b, c, d, e, wk[3]);                                            \
  } while (0)

}  // namespace

void sha256_sse4(const void* data, uint32_t* state, uint64_t blocks) {
  if (blocks == 0) return;
  const __m128i bswap = _mm_load_si128(reinterpret_cast<const __m128i*>(BSWAP_MASK));
  const __m128i shuf00ba = _mm_load_si128(reinterpret_cast<const __m128i*>(SHUF_00BA));
  const __m128i shufdc00 = _mm_load_si128(reinterpret_cast<const __m128i*>(SHUF_DC00));
  const unsigned char* p = static_cast<const unsigned char*>(data);
  alignas(16) uint32_t wk[4];

  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  do {
    uint32_t ab = b ^ c;
    // GCOVR_EXCL_BR_START: gcov gives the inlined pshufb builtin an edge that is never taken; no condition here
    __m128i X0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), bswap);
    __m128i X1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), bswap);
    __m128i X2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), bswap);
    __m128i X3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), bswap);
    // GCOVR_EXCL_BR_STOP

    for (int k = 0; k < 48; k += 16) {
      FOUR_ROUNDS_SCHED(a, b, c, d, e, f, g, h, X0, X1, X2, X3, k);
      FOUR_ROUNDS_SCHED(e, f, g, h, a, b, c, d, X1, X2, X3, X0, k + 4);
      FOUR_ROUNDS_SCHED(a, b, c, d, e, f, g, h, X2, X3, X0, X1, k + 8);
      FOUR_ROUNDS_SCHED(e, f, g, h, a, b, c, d, X3, X0, X1, X2, k + 12);
    }
    FOUR_ROUNDS(a, b, c, d, e, f, g, h, X0, 48);
    FOUR_ROUNDS(e, f, g, h, a, b, c, d, X1, 52);
    FOUR_ROUNDS(a, b, c, d, e, f, g, h, X2, 56);
    FOUR_ROUNDS(e, f, g, h, a, b, c, d, X3, 60);

    a = state[0] += a;
    b = state[1] += b;
    c = state[2] += c;
    d = state[3] += d;
    e = state[4] += e;
    f = state[5] += f;
    g = state[6] += g;
    h = state[7] += h;
    p += 64;
  } while (--blocks);
}

}  // namespace cppcrypto
