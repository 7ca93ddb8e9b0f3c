// Each block function, called directly, against the portable one (the sha256
// tests hold each of them, forced, to the FIPS vectors).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/cpuinfo.h"
#include "crypto/sha256.h"
#include "crypto/sha256_block.h"
#include "crypto_test_util.h"

using namespace cppcrypto;

namespace {

enum class Impl { Portable, Sse2, Sse4, Avx2 };

const char* name(Impl i) {
  switch (i) {
    case Impl::Portable: return "portable";
    case Impl::Sse2: return "sse2";
    case Impl::Sse4: return "sse4";
    case Impl::Avx2: return "avx2";
  }
  return "?";
}

bool available(Impl i) {
  switch (i) {
    case Impl::Portable: return true;
    case Impl::Sse2: return cpu_info::sse2();
    case Impl::Sse4: return cpu_info::sse41();
    case Impl::Avx2: return cpu_info::avx2() && cpu_info::bmi2();
  }
  return false;
}

void run(Impl i, const unsigned char* data, uint32_t* state, uint64_t blocks) {
  switch (i) {
    case Impl::Portable: sha256_portable(data, state, blocks); break;
    case Impl::Sse2: X86_SHA256_HashBlocks(state, reinterpret_cast<const uint32_t*>(data), blocks * 64); break;
    case Impl::Sse4: sha256_sse4(data, state, blocks); break;
    case Impl::Avx2: sha256_rorx(data, state, blocks); break;
  }
}

const uint32_t kInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

class BlockFunction : public ::testing::TestWithParam<Impl> {
 protected:
  void SetUp() override {
    if (!available(GetParam())) GTEST_SKIP() << name(GetParam()) << " not supported by this processor";
  }
};

}  // namespace

// The portable, SSE4 and AVX2 functions accept 0 blocks and change nothing
// (the SSE2 one is never given 0 blocks: its contract starts at one).
TEST(BlockFunctions, ZeroBlocksChangeNothing) {
  for (Impl i : {Impl::Portable, Impl::Sse4, Impl::Avx2}) {
    if (!available(i)) continue;
    alignas(32) uint32_t st[8];
    std::memcpy(st, kInit, 32);
    unsigned char dummy[64] = {};
    run(i, dummy, st, 0);
    EXPECT_EQ(0, std::memcmp(st, kInit, 32)) << name(i);
  }
}

// 1, 2, 3 and many blocks (odd and even counts), from unaligned addresses,
// give the portable function's state, and no word past the eight is touched.
TEST_P(BlockFunction, MatchesPortableOnUnalignedInput) {
  const std::vector<unsigned char> buf = crypto_test::pseudo_random(64 * 40 + 3, 11);
  for (uint64_t blocks : {1u, 2u, 3u, 4u, 5u, 16u, 17u, 39u}) {
    for (size_t offset : {size_t(0), size_t(1), size_t(3)}) {
      alignas(32) uint32_t ref[16];
      alignas(32) uint32_t got[16];
      for (int k = 0; k < 16; k++)
        ref[k] = got[k] = k < 8 ? kInit[k] ^ (0x01010101u * static_cast<uint32_t>(blocks)) : 0xA5A5A5A5u;
      sha256_portable(buf.data() + offset, ref, blocks);
      run(GetParam(), buf.data() + offset, got, blocks);
      for (int k = 0; k < 16; k++)
        EXPECT_EQ(got[k], ref[k]) << name(GetParam()) << " blocks=" << blocks << " offset=" << offset << " word " << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, BlockFunction,
                         ::testing::Values(Impl::Portable, Impl::Sse2, Impl::Sse4, Impl::Avx2),
                         [](const ::testing::TestParamInfo<Impl>& i) { return std::string(name(i.param)); });
