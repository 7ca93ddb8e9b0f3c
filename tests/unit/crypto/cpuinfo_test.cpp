#include <gtest/gtest.h>

#include <cpuid.h>

#include <array>
#include <map>
#include <set>

#include "crypto/cpuinfo.h"

using cppcrypto::cpu_info;

namespace {

// A scripted processor: each leaf answers fixed registers; leaves that are
// called are recorded.
struct FakeCpu {
  std::map<uint32_t, std::array<uint32_t, 4>> leaves;
  std::set<uint32_t> called;
};
FakeCpu* g_fake = nullptr;

void fake_cpuid(uint32_t leaf, uint32_t, uint32_t regs[4]) {
  g_fake->called.insert(leaf);
  auto it = g_fake->leaves.find(leaf);
  for (int i = 0; i < 4; i++) regs[i] = it == g_fake->leaves.end() ? 0 : it->second[i];
}

const uint32_t kAll = 0xFFFFFFFFu;

}  // namespace

TEST(CpuInfo, MaxLeafBelowSevenMeansNoAvx2OrBmi2) {
  FakeCpu cpu;
  cpu.leaves[0] = {6, 0, 0, 0};
  cpu.leaves[1] = {0, 0, kAll, kAll};
  cpu.leaves[7] = {0, kAll, kAll, 0};
  cpu.leaves[0x80000000u] = {0x80000008u, 0, 0, 0};
  cpu.leaves[0x80000001u] = {0, 0, 0x21, 0x2C100800};
  g_fake = &cpu;
  const cpu_info::cpu_info_impl f(fake_cpuid);
  EXPECT_EQ(cpu.called.count(7), 0u);
  EXPECT_EQ(f.ebx7_, 0u);
  EXPECT_EQ(f.ecx7_, 0u);
  EXPECT_FALSE(f.avx2());
  EXPECT_FALSE(f.bmi2());
  EXPECT_TRUE(f.sse2());
  EXPECT_TRUE(f.sse41());
  EXPECT_EQ(f.ecx81_, 0x21u);
  EXPECT_EQ(f.edx81_, 0x2C100800u);
}

TEST(CpuInfo, FeatureBits) {
  FakeCpu cpu;
  cpu.leaves[0] = {7, 0, 0, 0};
  cpu.leaves[1] = {0, 0, 1u << 19, 1u << 26};
  cpu.leaves[7] = {0, (1u << 5) | (1u << 8), 0x1234, 0};
  g_fake = &cpu;
  const cpu_info::cpu_info_impl f(fake_cpuid);
  EXPECT_TRUE(f.sse2());
  EXPECT_TRUE(f.sse41());
  EXPECT_TRUE(f.avx2());
  EXPECT_TRUE(f.bmi2());
  EXPECT_EQ(f.ecx7_, 0x1234u);
  // No extended leaves: their words stay zero.
  EXPECT_EQ(f.ecx81_, 0u);
  EXPECT_EQ(f.edx81_, 0u);
  EXPECT_EQ(cpu.called.count(0x80000001u), 0u);

  cpu.leaves[1] = {0, 0, ~(1u << 19), ~(1u << 26)};
  cpu.leaves[7] = {0, 1u << 5, 0, 0};
  const cpu_info::cpu_info_impl g(fake_cpuid);
  EXPECT_FALSE(g.sse2());
  EXPECT_FALSE(g.sse41());
  EXPECT_TRUE(g.avx2());
  EXPECT_FALSE(g.bmi2());
}

// The maximum leaf is read as a signed number: a value with the top bit set
// counts as no standard leaves at all.
TEST(CpuInfo, NegativeMaxLeafReadsNothing) {
  FakeCpu cpu;
  cpu.leaves[0] = {0x80000001u, 0, 0, 0};
  cpu.leaves[1] = {0, 0, kAll, kAll};
  cpu.leaves[7] = {0, kAll, kAll, 0};
  g_fake = &cpu;
  const cpu_info::cpu_info_impl f(fake_cpuid);
  EXPECT_EQ(f.ecx1_, 0u);
  EXPECT_EQ(f.edx1_, 0u);
  EXPECT_EQ(f.ebx7_, 0u);
  EXPECT_EQ(cpu.called.count(1), 0u);
}

// The record read at start-up agrees with the compiler's own processor probe.
TEST(CpuInfo, RealProcessorMatchesCompilerProbe) {
  __builtin_cpu_init();
  EXPECT_EQ(cpu_info::sse2(), bool(__builtin_cpu_supports("sse2")));
  EXPECT_EQ(cpu_info::sse41(), bool(__builtin_cpu_supports("sse4.1")));
  EXPECT_EQ(cpu_info::avx2(), bool(__builtin_cpu_supports("avx2")));
  EXPECT_EQ(cpu_info::bmi2(), bool(__builtin_cpu_supports("bmi2")));
}
