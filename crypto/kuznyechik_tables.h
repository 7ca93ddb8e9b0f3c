// Constant tables of Kuznyechik, generated at build time. Blocks are in block
// byte order (byte 0 is the most significant component a15).
#ifndef HX_CRYPTO_KUZNYECHIK_TABLES_H
#define HX_CRYPTO_KUZNYECHIK_TABLES_H

namespace cppcrypto {
namespace kuznyechik_tables {

// pi and its inverse.
alignas(64) extern const unsigned char S[256];
alignas(64) extern const unsigned char IS[256];
// Key-schedule constants C1..C32: C[i-1] = L(Vec128(i)).
alignas(64) extern const unsigned char C[32][16];
// T[j][x] = L of the block holding pi(x) at byte j and zero elsewhere.
alignas(64) extern const unsigned char T[16][256][16];
// IT[j][x] = inverse of L of the block holding the inverse of pi of x at byte j.
alignas(64) extern const unsigned char IT[16][256][16];

}  // namespace kuznyechik_tables
}  // namespace cppcrypto

#endif
