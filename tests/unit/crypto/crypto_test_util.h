// Helpers shared by the crypto unit tests.
#ifndef HX_TESTS_UNIT_CRYPTO_TEST_UTIL_H
#define HX_TESTS_UNIT_CRYPTO_TEST_UTIL_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace crypto_test {

inline std::vector<unsigned char> unhex(const std::string& hex) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    throw std::invalid_argument("bad hex digit");
  };
  std::vector<unsigned char> out(hex.size() / 2);
  for (size_t i = 0; i < out.size(); i++)
    out[i] = static_cast<unsigned char>(nibble(hex[2 * i]) * 16 + nibble(hex[2 * i + 1]));
  return out;
}

inline std::string hex(const unsigned char* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

inline std::string hex(const std::vector<unsigned char>& v) { return hex(v.data(), v.size()); }

inline std::vector<unsigned char> bytes(const std::string& s) { return std::vector<unsigned char>(s.begin(), s.end()); }

// Deterministic pseudo-random bytes (xorshift64*), so failures reproduce.
inline std::vector<unsigned char> pseudo_random(size_t n, uint64_t seed) {
  std::vector<unsigned char> out(n);
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (size_t i = 0; i < n; i++) {
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    out[i] = static_cast<unsigned char>((x * 0x2545F4914F6CDD1Dull) >> 56);
  }
  return out;
}

}  // namespace crypto_test

#endif
