// SHA-256 block function for processors with SSE2 (every x86-64 processor):
// the message schedule is computed four words at a time in 128-bit registers
// using SSE2 instructions only, interleaved with the scalar rounds.
//
// This file is compiled with -msse2 only; it defines nothing inline that other
// files could share.
#include <emmintrin.h>

#include <cstdint>

#include "crypto/sha256_block.h"

namespace cppcrypto {

namespace {

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

// Big-endian 32-bit words to native order without a byte shuffle instruction.
inline __m128i bswap32(__m128i x) {
  x = _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));
  return _mm_shufflelo_epi16(_mm_shufflehi_epi16(x, 0xB1), 0xB1);
}

// Words 1..3 of lo followed by word 0 of hi.
inline __m128i align4(__m128i hi, __m128i lo) {
  return _mm_or_si128(_mm_srli_si128(lo, 4), _mm_slli_si128(hi, 12));
}

// sigma1 of words 0 and 2 of x, which hold each word doubled (64-bit lanes).
inline __m128i sigma1_pairs(__m128i x) {
  __m128i s1 = _mm_xor_si128(_mm_srli_epi64(x, 17), _mm_srli_epi64(x, 19));
  s1 = _mm_xor_si128(s1, _mm_srli_epi32(x, 10));
  return _mm_shuffle_epi32(s1, 0x08);  // words 0, 2 to positions 0, 1
}

inline __m128i schedule(__m128i X0, __m128i X1, __m128i X2, __m128i X3) {
  const __m128i w15 = align4(X1, X0);
  const __m128i w7 = align4(X3, X2);
  __m128i s0 = _mm_xor_si128(_mm_srli_epi32(w15, 7), _mm_slli_epi32(w15, 25));
  s0 = _mm_xor_si128(s0, _mm_srli_epi32(w15, 18));
  s0 = _mm_xor_si128(s0, _mm_slli_epi32(w15, 14));
  s0 = _mm_xor_si128(s0, _mm_srli_epi32(w15, 3));
  __m128i w = _mm_add_epi32(_mm_add_epi32(X0, w7), s0);
  w = _mm_add_epi32(w, _mm_move_epi64(sigma1_pairs(_mm_shuffle_epi32(X3, 0xFA))));
  return _mm_add_epi32(
      w, _mm_unpacklo_epi64(_mm_setzero_si128(), sigma1_pairs(_mm_shuffle_epi32(w, 0x50))));
}

alignas(16) const uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

#define FOUR_ROUNDS_SCHED(a, b, c, d, e, f, g, h, X0, X1, X2, X3, kidx)                  \
  do {                                                                                   \
    _mm_store_si128(reinterpret_cast<__m128i*>(wk),                                      \
                    _mm_add_epi32(X0, _mm_load_si128(reinterpret_cast<const __m128i*>(K + (kidx))))); \
    X0 = schedule(X0, X1, X2, X3);                                                       \
    RND(a, b, c, d, e, f, g, h, wk[0]);                                                  \
    RND(h, a, b, c, d, e, f, g, wk[1]);                                                  \
    RND(g, h, a, b, c, d, e, f, wk[2]);                                                  \
    RND(f, g, h, a, b, c, d, e, wk[3]);                                                  \
  } while (0)

#define FOUR_ROUNDS(a, b, c, d, e, f, g, h, X0, kidx)                                    \
  do {                                                                                   \
    _mm_store_si128(reinterpret_cast<__m128i*>(wk),                                      \
                    _mm_add_epi32(X0, _mm_load_si128(reinterpret_cast<const __m128i*>(K + (kidx))))); \
    RND(a, b, c, d, e, f, g, h, wk[0]);                                                  \
    RND(h, a, b, c, d, e, f, g, wk[1]);                                                  \
    RND(g, h, a, b, c, d, e, f, wk[2]);                                                  \
    RND(f, g, h, a, b, c, d, e, wk[3]);                                                  \
  } while (0)

}  // namespace

void X86_SHA256_HashBlocks(uint32_t* state, const uint32_t* data, size_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  __m128i* st = reinterpret_cast<__m128i*>(state);
  alignas(16) uint32_t s[8];
  alignas(16) uint32_t wk[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(s), _mm_load_si128(st));
  _mm_store_si128(reinterpret_cast<__m128i*>(s + 4), _mm_load_si128(st + 1));
  uint32_t a = s[0], b = s[1], c = s[2], d = s[3], e = s[4], f = s[5], g = s[6], h = s[7];

  for (size_t blocks = length / 64; blocks; blocks--, p += 64) {
    uint32_t ab = b ^ c;
    __m128i X0 = bswap32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    __m128i X1 = bswap32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
    __m128i X2 = bswap32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)));
    __m128i X3 = bswap32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)));
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
    a = s[0] += a;
    b = s[1] += b;
    c = s[2] += c;
    d = s[3] += d;
    e = s[4] += e;
    f = s[5] += f;
    g = s[6] += g;
    h = s[7] += h;
  }
  _mm_store_si128(st, _mm_load_si128(reinterpret_cast<const __m128i*>(s)));
  _mm_store_si128(st + 1, _mm_load_si128(reinterpret_cast<const __m128i*>(s + 4)));
}

}  // namespace cppcrypto
