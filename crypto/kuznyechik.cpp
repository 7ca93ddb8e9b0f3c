#include "crypto/kuznyechik.h"

#include <cstring>

#include "crypto/kuznyechik_tables.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace cppcrypto {

using kuznyechik_tables::C;
using kuznyechik_tables::IS;
using kuznyechik_tables::IT;
using kuznyechik_tables::S;
using kuznyechik_tables::T;

namespace {

typedef unsigned char table_t[16][256][16];

#if defined(__SSE2__)

typedef __m128i block_t;

inline block_t load_block(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void store_block(void* p, block_t x) { _mm_storeu_si128(static_cast<__m128i*>(p), x); }
inline block_t xor_block(block_t a, block_t b) { return _mm_xor_si128(a, b); }
inline block_t entry(const table_t& t, int j, unsigned x) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(t[j][x]));
}

// XOR over j of t[j][byte j of x]: L(pi(x)) with T, inverse L of inverse pi
// with IT.
inline block_t lookup(const table_t& t, block_t x) {
  const uint64_t lo = static_cast<uint64_t>(_mm_cvtsi128_si64(x));
  const uint64_t hi = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(x, x)));
  block_t r0 = _mm_xor_si128(entry(t, 0, lo & 0xff), entry(t, 1, (lo >> 8) & 0xff));
  block_t r1 = _mm_xor_si128(entry(t, 2, (lo >> 16) & 0xff), entry(t, 3, (lo >> 24) & 0xff));
  block_t r2 = _mm_xor_si128(entry(t, 4, (lo >> 32) & 0xff), entry(t, 5, (lo >> 40) & 0xff));
  block_t r3 = _mm_xor_si128(entry(t, 6, (lo >> 48) & 0xff), entry(t, 7, lo >> 56));
  r0 = _mm_xor_si128(r0, entry(t, 8, hi & 0xff));
  r1 = _mm_xor_si128(r1, entry(t, 9, (hi >> 8) & 0xff));
  r2 = _mm_xor_si128(r2, entry(t, 10, (hi >> 16) & 0xff));
  r3 = _mm_xor_si128(r3, entry(t, 11, (hi >> 24) & 0xff));
  r0 = _mm_xor_si128(r0, entry(t, 12, (hi >> 32) & 0xff));
  r1 = _mm_xor_si128(r1, entry(t, 13, (hi >> 40) & 0xff));
  r2 = _mm_xor_si128(r2, entry(t, 14, (hi >> 48) & 0xff));
  r3 = _mm_xor_si128(r3, entry(t, 15, hi >> 56));
  return _mm_xor_si128(_mm_xor_si128(r0, r1), _mm_xor_si128(r2, r3));
}

#else

// Two 64-bit words whose bytes in memory are the block bytes in order.
struct block_t {
  uint64_t w[2];
};

inline block_t load_block(const void* p) {
  block_t b;
  std::memcpy(b.w, p, 16);
  return b;
}
inline void store_block(void* p, block_t x) { std::memcpy(p, x.w, 16); }
inline block_t xor_block(block_t a, block_t b) { return block_t{{a.w[0] ^ b.w[0], a.w[1] ^ b.w[1]}}; }

inline block_t lookup(const table_t& t, block_t x) {
  unsigned char b[16];
  std::memcpy(b, x.w, 16);
  block_t r = load_block(t[0][b[0]]);
  for (int j = 1; j < 16; j++) r = xor_block(r, load_block(t[j][b[j]]));
  return r;
}

#endif

inline block_t key_block(const uint64_t k[2]) { return load_block(k); }

}  // namespace

kuznyechik::~kuznyechik() { clear(); }

block_cipher* kuznyechik::clone() const { return new kuznyechik; }

void kuznyechik::clear() {
  volatile unsigned char* p = reinterpret_cast<volatile unsigned char*>(rk);
  for (size_t i = 0; i < sizeof(rk); i++) p[i] = 0;
}

bool kuznyechik::init(const unsigned char* key, direction dir) {
  block_t a1 = load_block(key);
  block_t a0 = load_block(key + 16);
  store_block(rk[0], a1);
  store_block(rk[1], a0);
  // Eight Feistel steps F[C] per pair of round keys:
  // F[C](a1, a0) = (L(pi(a1 ^ C)) ^ a0, a1).
  for (int i = 0; i < 4; i++) {
    for (int k = 0; k < 8; k++) {
      const block_t t = xor_block(lookup(T, xor_block(a1, load_block(C[8 * i + k]))), a0);
      a0 = a1;
      a1 = t;
    }
    store_block(rk[2 * i + 2], a1);
    store_block(rk[2 * i + 3], a0);
  }
  if (dir == decryption) {
    // Inverse of L of K2..K10; IT holds the inverse of pi, so the bytes are
    // first passed through pi.
    for (int r = 1; r < 10; r++) {
      unsigned char b[16];
      std::memcpy(b, rk[r], 16);
      for (int j = 0; j < 16; j++) b[j] = S[b[j]];
      store_block(rk[r], lookup(IT, load_block(b)));
      std::memset(b, 0, sizeof b);
    }
  }
  return true;
}

void kuznyechik::encrypt_block(const unsigned char* in, unsigned char* out) {
  block_t x = xor_block(load_block(in), key_block(rk[0]));
  for (int r = 1; r < 10; r++) x = xor_block(lookup(T, x), key_block(rk[r]));
  store_block(out, x);
}

void kuznyechik::decrypt_block(const unsigned char* in, unsigned char* out) {
  unsigned char b[16];
  std::memcpy(b, in, 16);
  for (int j = 0; j < 16; j++) b[j] = S[b[j]];
  block_t y = xor_block(lookup(IT, load_block(b)), key_block(rk[9]));
  for (int r = 8; r >= 1; r--) y = xor_block(lookup(IT, y), key_block(rk[r]));
  store_block(b, y);
  for (int j = 0; j < 16; j++) b[j] = IS[b[j]];
  store_block(out, xor_block(load_block(b), key_block(rk[0])));
}

}  // namespace cppcrypto
