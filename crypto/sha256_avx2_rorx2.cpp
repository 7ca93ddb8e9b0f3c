// SHA-256 block function for processors with AVX2 and BMI2. Two blocks are
// scheduled at once, one per 128-bit lane of the 256-bit registers, while the
// rounds of the first block run; the rounds of the second block then read the
// schedule words saved for it. An odd last block is processed alone. The
// scalar rotations compile to the flag-free RORX instruction.
//
// This file is compiled with -mavx2 -mbmi2 and must only be entered after the
// processor was found to have them; it defines nothing inline that other
// files could share.
#include <immintrin.h>

#include <cstdint>

#include "crypto/sha256_block.h"

namespace cppcrypto {

namespace {

// The constants K, each group of four repeated once: one copy per lane.
alignas(64) const uint32_t K2[128] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5,
    0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3,
    0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc,
    0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
    0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3,
    0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5,
    0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// vpshufb masks (per lane): big-endian words to native order; dwords 0 and 2
// to positions 0,1 (rest zeroed); dwords 0 and 2 to positions 2,3.
alignas(32) const uint8_t BSWAP_MASK[32] = {3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12,
                                            3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12};
alignas(32) const uint8_t SHUF_00BA[32] = {
    0, 1, 2, 3, 8, 9, 10, 11, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0, 1, 2, 3, 8, 9, 10, 11, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
alignas(32) const uint8_t SHUF_DC00[32] = {
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0, 1, 2, 3, 8, 9, 10, 11,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0, 1, 2, 3, 8, 9, 10, 11};

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

// Next four schedule words of each lane's block from X0 = W[t-16..t-13], X1,
// X2, X3 = W[t-4..t-1].
inline __m256i schedule(__m256i X0, __m256i X1, __m256i X2, __m256i X3, __m256i shuf00ba,
                        __m256i shufdc00) {
  const __m256i w15 = _mm256_alignr_epi8(X1, X0, 4);  // W[t-15..t-12]
  const __m256i w7 = _mm256_alignr_epi8(X3, X2, 4);   // W[t-7..t-4]
  __m256i s0 = _mm256_xor_si256(_mm256_srli_epi32(w15, 7), _mm256_slli_epi32(w15, 25));
  s0 = _mm256_xor_si256(s0, _mm256_srli_epi32(w15, 18));
  s0 = _mm256_xor_si256(s0, _mm256_slli_epi32(w15, 14));
  s0 = _mm256_xor_si256(s0, _mm256_srli_epi32(w15, 3));
  __m256i w = _mm256_add_epi32(_mm256_add_epi32(X0, w7), s0);

  // sigma1 of W[t-2], W[t-1]: each word doubled into a 64-bit lane, so a 64-bit
  // shift leaves the 32-bit rotation in the low half.
  __m256i x = _mm256_shuffle_epi32(X3, 0xFA);
  __m256i s1 = _mm256_xor_si256(_mm256_srli_epi64(x, 17), _mm256_srli_epi64(x, 19));
  s1 = _mm256_xor_si256(s1, _mm256_srli_epi32(x, 10));
  w = _mm256_add_epi32(w, _mm256_shuffle_epi8(s1, shuf00ba));

  x = _mm256_shuffle_epi32(w, 0x50);
  s1 = _mm256_xor_si256(_mm256_srli_epi64(x, 17), _mm256_srli_epi64(x, 19));
  s1 = _mm256_xor_si256(s1, _mm256_srli_epi32(x, 10));
  return _mm256_add_epi32(w, _mm256_shuffle_epi8(s1, shufdc00));
}

// Saves W+K of both lanes for rounds kidx..kidx+3 at wk + 2*kidx, advances the
// schedule group X0 and runs the four rounds of the first lane.
#define FOUR_ROUNDS_SCHED(a, b, c, d, e, f, g, h, X0, X1, X2, X3, kidx)                        \
  do {                                                                                         \
    _mm256_store_si256(reinterpret_cast<__m256i*>(wk + 2 * (kidx)),                            \
                       _mm256_add_epi32(X0, _mm256_load_si256(                                 \
                                                reinterpret_cast<const __m256i*>(K2 + 2 * (kidx))))); \
    X0 = schedule(X0, X1, X2, X3, shuf00ba, shufdc00);                                         \
    RND(a, b, c, d, e, f, g, h, wk[2 * (kidx) + 0]);                                           \
    RND(h, a, b, c, d, e, f, g, wk[2 * (kidx) + 1]);                                           \
    RND(g, h, a, b, c, d, e, f, wk[2 * (kidx) + 2]);                                           \
    RND(f, g, h, a, b, c, d, e, wk[2 * (kidx) + 3]);                                           \
  } while (0)

#define FOUR_ROUNDS(a, b, c, d, e, f, g, h, X0, kidx)                                          \
  do {                                                                                         \
    _mm256_store_si256(reinterpret_cast<__m256i*>(wk + 2 * (kidx)),                            \
                       _mm256_add_epi32(X0, _mm256_load_si256(                                 \
                                                reinterpret_cast<const __m256i*>(K2 + 2 * (kidx))))); \
    RND(a, b, c, d, e, f, g, h, wk[2 * (kidx) + 0]);                                           \
    RND(h, a, b, c, d, e, f, g, wk[2 * (kidx) + 1]);                                           \
    RND(g, h, a, b, c, d, e, f, wk[2 * (kidx) + 2]);                                           \
    RND(f, g, h, a, b, c, d, e, wk[2 * (kidx) + 3]);                                           \
  } while (0)

// Rounds of the second lane from the saved words (offset 4 in each group of 8).
#define FOUR_ROUNDS_SAVED(a, b, c, d, e, f, g, h, kidx)  \
  do {                                                   \
    RND(a, b, c, d, e, f, g, h, wk[2 * (kidx) + 4]);     \
    RND(h, a, b, c, d, e, f, g, wk[2 * (kidx) + 5]);     \
    RND(g, h, a, b, c, d, e, f, wk[2 * (kidx) + 6]);     \
    RND(f, g, h, a, b, c, d, e, wk[2 * (kidx) + 7]);     \
  } while (0)

// Rounds of the lane-0 block of X0..X3 (already byte-swapped), with the other
// lane's W+K saved in wk for a later pass.
#define FIRST_LANE_ROUNDS()                                          \
  do {                                                               \
    for (int k = 0; k < 48; k += 16) {                               \
      FOUR_ROUNDS_SCHED(a, b, c, d, e, f, g, h, X0, X1, X2, X3, k);  \
      FOUR_ROUNDS_SCHED(e, f, g, h, a, b, c, d, X1, X2, X3, X0, k + 4); \
      FOUR_ROUNDS_SCHED(a, b, c, d, e, f, g, h, X2, X3, X0, X1, k + 8); \
      FOUR_ROUNDS_SCHED(e, f, g, h, a, b, c, d, X3, X0, X1, X2, k + 12); \
    }                                                                \
    FOUR_ROUNDS(a, b, c, d, e, f, g, h, X0, 48);                     \
    FOUR_ROUNDS(e, f, g, h, a, b, c, d, X1, 52);                     \
    FOUR_ROUNDS(a, b, c, d, e, f, g, h, X2, 56);                     \
    FOUR_ROUNDS(e, f, g, h, a, b, c, d, X3, 60);                     \
  } while (0)

#define ADD_STATE()      \
  do {                   \
    a = state[0] += a;   \
    b = state[1] += b;   \
    c = state[2] += c;   \
    d = state[3] += d;   \
    e = state[4] += e;   \
    f = state[5] += f;   \
    g = state[6] += g;   \
    h = state[7] += h;   \
  } while (0)

inline __m256i load_pair(const unsigned char* p1, const unsigned char* p2, __m256i bswap) {
  const __m256i v = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p1))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(p2)), 1);
  return _mm256_shuffle_epi8(v, bswap);
}

}  // namespace

void sha256_rorx(const void* data, uint32_t* state, uint64_t blocks) {
  if (blocks == 0) return;
  const __m256i bswap = _mm256_load_si256(reinterpret_cast<const __m256i*>(BSWAP_MASK));
  const __m256i shuf00ba = _mm256_load_si256(reinterpret_cast<const __m256i*>(SHUF_00BA));
  const __m256i shufdc00 = _mm256_load_si256(reinterpret_cast<const __m256i*>(SHUF_DC00));
  const unsigned char* p = static_cast<const unsigned char*>(data);
  alignas(32) uint32_t wk[128];

  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (; blocks >= 2; blocks -= 2, p += 128) {
    __m256i X0 = load_pair(p, p + 64, bswap);
    __m256i X1 = load_pair(p + 16, p + 80, bswap);
    __m256i X2 = load_pair(p + 32, p + 96, bswap);
    __m256i X3 = load_pair(p + 48, p + 112, bswap);
    uint32_t ab = b ^ c;
    FIRST_LANE_ROUNDS();
    ADD_STATE();
    ab = b ^ c;
    for (int k = 0; k < 64; k += 8) {
      FOUR_ROUNDS_SAVED(a, b, c, d, e, f, g, h, k);
      FOUR_ROUNDS_SAVED(e, f, g, h, a, b, c, d, k + 4);
    }
    ADD_STATE();
  }
  if (blocks) {
    // Odd last block: the same block in both lanes, only lane 0 is used.
    __m256i X0 = load_pair(p, p, bswap);
    __m256i X1 = load_pair(p + 16, p + 16, bswap);
    __m256i X2 = load_pair(p + 32, p + 32, bswap);
    __m256i X3 = load_pair(p + 48, p + 48, bswap);
    uint32_t ab = b ^ c;
    FIRST_LANE_ROUNDS();
    ADD_STATE();
  }
}

}  // namespace cppcrypto
