// Each block function, called directly, against the portable one.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/alignedarray.h"
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
    case Impl::Sse2:
      if (blocks) X86_SHA256_HashBlocks(state, reinterpret_cast<const uint32_t*>(data), blocks * 64);
      break;
    case Impl::Sse4: sha256_sse4(data, state, blocks); break;
    case Impl::Avx2: sha256_rorx(data, state, blocks); break;
  }
}

const uint32_t kInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// Digest of a message of whole blocks plus FIPS padding, with block function i.
std::string digest_with(Impl i, const std::vector<unsigned char>& msg) {
  aligned_pod_array<uint32_t, 8, 32> st;
  std::memcpy(st.get(), kInit, 32);
  const size_t whole = msg.size() / 64;
  run(i, msg.data(), st.get(), whole);
  unsigned char tail[128] = {};
  const size_t rest = msg.size() % 64;
  std::memcpy(tail, msg.data() + whole * 64, rest);
  tail[rest] = 0x80;
  const size_t tail_blocks = rest + 9 > 64 ? 2 : 1;
  const uint64_t bits = uint64_t(msg.size()) * 8;
  for (int k = 0; k < 8; k++) tail[tail_blocks * 64 - 1 - k] = static_cast<unsigned char>(bits >> (8 * k));
  run(i, tail, st.get(), tail_blocks);
  unsigned char out[32];
  for (int k = 0; k < 8; k++) {
    out[4 * k] = static_cast<unsigned char>(st[k] >> 24);
    out[4 * k + 1] = static_cast<unsigned char>(st[k] >> 16);
    out[4 * k + 2] = static_cast<unsigned char>(st[k] >> 8);
    out[4 * k + 3] = static_cast<unsigned char>(st[k]);
  }
  return crypto_test::hex(out, 32);
}

class BlockFunction : public ::testing::TestWithParam<Impl> {
 protected:
  void SetUp() override {
    if (!available(GetParam())) GTEST_SKIP() << name(GetParam()) << " not supported by this processor";
  }
};

}  // namespace

TEST_P(BlockFunction, FipsVectors) {
  const std::string abc = "abc";
  const std::string m448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(digest_with(GetParam(), std::vector<unsigned char>(abc.begin(), abc.end())),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(digest_with(GetParam(), std::vector<unsigned char>(m448.begin(), m448.end())),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(digest_with(GetParam(), std::vector<unsigned char>(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// 1, 2, 3 and many blocks (odd and even counts), from an unaligned address,
// give the portable function's state; bytes around the input are not read
// into the result and the state is not touched beyond its eight words.
TEST_P(BlockFunction, MatchesPortableOnUnalignedInput) {
  const std::vector<unsigned char> buf = crypto_test::pseudo_random(64 * 40 + 3, 11);
  for (uint64_t blocks : {1u, 2u, 3u, 4u, 5u, 16u, 17u, 39u}) {
    for (size_t offset : {size_t(0), size_t(1), size_t(3)}) {
      alignas(32) uint32_t ref[16];
      alignas(32) uint32_t got[16];
      for (int k = 0; k < 8; k++) ref[k] = got[k] = kInit[k] ^ (0x01010101u * static_cast<uint32_t>(blocks));
      for (int k = 8; k < 16; k++) ref[k] = got[k] = 0xA5A5A5A5u;
      sha256_portable(buf.data() + offset, ref, blocks);
      run(GetParam(), buf.data() + offset, got, blocks);
      for (int k = 0; k < 16; k++)
        EXPECT_EQ(got[k], ref[k]) << name(GetParam()) << " blocks=" << blocks << " offset=" << offset
                                  << " word " << k;
    }
  }
}

// The portable, SSE4 and AVX2 functions accept 0 blocks and change nothing
// (the SSE2 one is only ever given at least one block).
TEST(BlockFunctionZero, ZeroBlocksChangesNothing) {
  for (Impl i : {Impl::Portable, Impl::Sse4, Impl::Avx2}) {
    if (!available(i)) continue;
    alignas(32) uint32_t st[8];
    std::memcpy(st, kInit, 32);
    unsigned char dummy[64] = {};
    run(i, dummy, st, 0);
    EXPECT_EQ(0, std::memcmp(st, kInit, 32)) << name(i);
  }
}

INSTANTIATE_TEST_SUITE_P(All, BlockFunction,
                         ::testing::Values(Impl::Portable, Impl::Sse2, Impl::Sse4, Impl::Avx2),
                         [](const ::testing::TestParamInfo<Impl>& i) { return std::string(name(i.param)); });

// The portable member function works on the object's own state.
TEST(Sha256Transform, MemberUsesObjectState) {
  class exposed : public sha256 {
   public:
    using sha256::transform;
    const uint32_t* state() const { return H.get(); }
  } h;
  h.init();
  const std::vector<unsigned char> data = crypto_test::pseudo_random(192, 5);
  uint32_t ref[8];
  std::memcpy(ref, kInit, 32);
  sha256_portable(data.data(), ref, 3);
  h.transform(data.data(), 3);
  EXPECT_EQ(0, std::memcmp(h.state(), ref, 32));
  h.transform(data.data(), 0);
  EXPECT_EQ(0, std::memcmp(h.state(), ref, 32));
}
