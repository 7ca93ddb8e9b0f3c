#include "crypto/sha256.h"

#include <cstring>

#include "crypto/cpuinfo.h"
#include "crypto/sha256_block.h"

namespace cppcrypto {

const uint32_t SHA256_K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

namespace {

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be32(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void store_be32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

}  // namespace

void sha256_portable(const void* data, uint32_t* state, uint64_t blocks) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t W[64];
  for (uint64_t blk = 0; blk < blocks; blk++, p += 64) {
    for (int t = 0; t < 16; t++) W[t] = load_be32(p + 4 * t);
    for (int t = 16; t < 64; t++) {
      const uint32_t s0 = rotr(W[t - 15], 7) ^ rotr(W[t - 15], 18) ^ (W[t - 15] >> 3);
      const uint32_t s1 = rotr(W[t - 2], 17) ^ rotr(W[t - 2], 19) ^ (W[t - 2] >> 10);
      W[t] = W[t - 16] + s0 + W[t - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; t++) {
      const uint32_t S1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
      const uint32_t ch = (e & f) ^ (~e & g);
      const uint32_t t1 = h + S1 + ch + SHA256_K[t] + W[t];
      const uint32_t S0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
      const uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
      const uint32_t t2 = S0 + maj;
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

sha256::sha256() : sha256(cpu_info::features()) {}

sha256::sha256(const cpu_info::cpu_info_impl& cpu) : pos(0), total(0) {
  uint32_t* state = H.get();
  if (cpu.avx2() && cpu.bmi2()) {
    // The two-block code gains nothing on a single block.
    transfunc = [state](const void* data, uint64_t blocks) {
      if (blocks < 2)
        sha256_sse4(data, state, blocks);
      else
        sha256_rorx(data, state, blocks);
    };
  } else if (cpu.sse41()) {
    transfunc = [state](const void* data, uint64_t blocks) { sha256_sse4(data, state, blocks); };
  } else if (cpu.sse2()) {
    transfunc = [state](const void* data, uint64_t blocks) {
      X86_SHA256_HashBlocks(state, static_cast<const uint32_t*>(data), blocks * 64);
    };
  } else {
    transfunc = [this](const void* data, uint64_t blocks) { transform(data, blocks); };
  }
}

sha256::~sha256() { clear(); }

void sha256::transform(const void* data, uint64_t blocks) { sha256_portable(data, H.get(), blocks); }

void sha256::init() {
  H[0] = 0x6a09e667;
  H[1] = 0xbb67ae85;
  H[2] = 0x3c6ef372;
  H[3] = 0xa54ff53a;
  H[4] = 0x510e527f;
  H[5] = 0x9b05688c;
  H[6] = 0x1f83d9ab;
  H[7] = 0x5be0cd19;
  pos = 0;
  total = 0;
}

void sha224::init() {
  H[0] = 0xc1059ed8;
  H[1] = 0x367cd507;
  H[2] = 0x3070dd17;
  H[3] = 0xf70e5939;
  H[4] = 0xffc00b31;
  H[5] = 0x68581511;
  H[6] = 0x64f98fa7;
  H[7] = 0xbefa4fa4;
  pos = 0;
  total = 0;
}

void sha256::update(const unsigned char* data, size_t len) {
  if (pos > 0 && pos + len >= 64) {
    const size_t fill = 64 - pos;
    std::memcpy(m + pos, data, fill);
    transfunc(m, 1);
    total += fill * 8;
    data += fill;
    len -= fill;
    pos = 0;
  }
  if (len >= 64) {
    const size_t blocks = len / 64;
    transfunc(data, blocks);
    total += uint64_t(blocks) * 64 * 8;
    data += blocks * 64;
    len %= 64;
  }
  if (len) std::memcpy(m + pos, data, len);
  pos += len;
  total += uint64_t(len) * 8;
}

void sha256::final(unsigned char* hash) {
  m[pos++] = 0x80;
  if (pos > 56) {
    std::memset(m + pos, 0, 64 - pos);
    transfunc(m, 1);
    pos = 0;
  }
  std::memset(m + pos, 0, 56 - pos);
  for (int i = 0; i < 8; i++) m[56 + i] = static_cast<unsigned char>(total >> (56 - 8 * i));
  transfunc(m, 1);
  // H is left in big-endian byte order; init() restores it.
  unsigned char* h = reinterpret_cast<unsigned char*>(H.get());
  for (int i = 0; i < 8; i++) {
    const uint32_t w = H[i];
    store_be32(h + 4 * i, w);
  }
  std::memcpy(hash, h, hashsize() / 8);
}

bool sha256::save_state(uint32_t h[8], uint64_t& total_bits) const {
  if (pos != 0) return false;
  std::memcpy(h, H.get(), H.bytes());
  total_bits = total;
  return true;
}

void sha256::load_state(const uint32_t h[8], uint64_t total_bits) {
  std::memcpy(H.get(), h, H.bytes());
  pos = 0;
  total = total_bits;
}

// GCOVR_EXCL_BR_START: the cleanup after a failed construction (out of memory)
crypto_hash* sha256::clone() const { return new sha256; }

crypto_hash* sha224::clone() const { return new sha224; }
// GCOVR_EXCL_BR_STOP

void sha256::clear() {
  volatile unsigned char* h = reinterpret_cast<volatile unsigned char*>(H.get());
  for (size_t i = 0; i < H.bytes(); i++) h[i] = 0;
  volatile unsigned char* mm = m;
  for (size_t i = 0; i < sizeof(m); i++) mm[i] = 0;
}

}  // namespace cppcrypto
