#include <gtest/gtest.h>

#include <array>
#include <map>
#include <set>

#include "crypto/cpuinfo.h"

using cppcrypto::cpu_info;

namespace {

// A scripted processor: each leaf answers fixed registers (others all zero);
// the leaves that are called are recorded.
std::map<uint32_t, std::array<uint32_t, 4>> g_leaves;
std::set<uint32_t> g_called;

void fake_cpuid(uint32_t leaf, uint32_t, uint32_t regs[4]) {
  g_called.insert(leaf);
  auto it = g_leaves.find(leaf);
  for (int i = 0; i < 4; i++) regs[i] = it == g_leaves.end() ? 0 : it->second[i];
}

const uint32_t kAll = 0xFFFFFFFFu;

}  // namespace

// The maximum standard leaf decides which leaves are read (taken as signed: a
// top bit set means none); the extended leaf only when offered.
TEST(CpuInfo, FeatureWordsFromScriptedProcessors) {
  const struct {
    uint32_t max_leaf, max_ext;
    std::array<uint32_t, 4> leaf1, leaf7;
    bool sse2, sse41, avx2, bmi2, leaf1_read, leaf7_read, ext_read;
  } cases[] = {
      {6, 0x80000008u, {0, 0, kAll, kAll}, {0, kAll, kAll, 0}, true, true, false, false, true, false, true},
      {7, 0, {0, 0, 1u << 19, 1u << 26}, {0, (1u << 5) | (1u << 8), 0x1234, 0}, true, true, true, true, true, true,
       false},
      {7, 0, {0, 0, ~(1u << 19), ~(1u << 26)}, {0, 1u << 5, 0, 0}, false, false, true, false, true, true, false},
      {0x80000001u, 0, {0, 0, kAll, kAll}, {0, kAll, kAll, 0}, false, false, false, false, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("max leaf " + std::to_string(c.max_leaf));
    g_leaves = {{0, {c.max_leaf, 0, 0, 0}},
                {1, c.leaf1},
                {7, c.leaf7},
                {0x80000000u, {c.max_ext, 0, 0, 0}},
                {0x80000001u, {0, 0, 0x21, 0x2C100800}}};
    g_called.clear();
    const cpu_info::cpu_info_impl f(fake_cpuid);
    EXPECT_EQ(f.sse2(), c.sse2);
    EXPECT_EQ(f.sse41(), c.sse41);
    EXPECT_EQ(f.avx2(), c.avx2);
    EXPECT_EQ(f.bmi2(), c.bmi2);
    EXPECT_EQ(g_called.count(1), c.leaf1_read ? 1u : 0u);
    EXPECT_EQ(g_called.count(7), c.leaf7_read ? 1u : 0u);
    EXPECT_EQ(f.ecx1_, c.leaf1_read ? c.leaf1[2] : 0u);
    EXPECT_EQ(f.ebx7_, c.leaf7_read ? c.leaf7[1] : 0u);
    EXPECT_EQ(f.ecx7_, c.leaf7_read ? c.leaf7[2] : 0u);
    EXPECT_EQ(f.ecx81_, c.ext_read ? 0x21u : 0u);
    EXPECT_EQ(f.edx81_, c.ext_read ? 0x2C100800u : 0u);
  }
}

// The record read at start-up agrees with the compiler's own processor probe.
TEST(CpuInfo, RealProcessorMatchesCompilerProbe) {
  __builtin_cpu_init();
  EXPECT_EQ(cpu_info::sse2(), bool(__builtin_cpu_supports("sse2")));
  EXPECT_EQ(cpu_info::sse41(), bool(__builtin_cpu_supports("sse4.1")));
  EXPECT_EQ(cpu_info::avx2(), bool(__builtin_cpu_supports("avx2")));
  EXPECT_EQ(cpu_info::bmi2(), bool(__builtin_cpu_supports("bmi2")));
}
