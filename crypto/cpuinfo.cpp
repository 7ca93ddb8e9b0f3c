#include "crypto/cpuinfo.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace cppcrypto {

namespace {

void native_cpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]) {
#if defined(__i386__) || defined(__x86_64__)
  unsigned a, b, c, d;
  __cpuid_count(leaf, subleaf, a, b, c, d);
  regs[0] = a;
  regs[1] = b;
  regs[2] = c;
  regs[3] = d;
#else
  (void)leaf;
  (void)subleaf;
  regs[0] = regs[1] = regs[2] = regs[3] = 0;
#endif
}

}  // namespace

cpu_info::cpu_info_impl::cpu_info_impl() { fill(native_cpuid); }

cpu_info::cpu_info_impl::cpu_info_impl(cpuid_function cpuid) { fill(cpuid); }

void cpu_info::cpu_info_impl::fill(cpuid_function cpuid) {
  ecx1_ = edx1_ = ebx7_ = ecx7_ = ecx81_ = edx81_ = 0;
  uint32_t r[4];
  cpuid(0, 0, r);
  const int32_t max_leaf = static_cast<int32_t>(r[0]);
  if (max_leaf > 0) {
    cpuid(1, 0, r);
    ecx1_ = r[2];
    edx1_ = r[3];
    if (max_leaf > 6) {
      cpuid(7, 0, r);
      ebx7_ = r[1];
      ecx7_ = r[2];
    }
  }
  cpuid(0x80000000u, 0, r);
  if (r[0] > 0x80000000u) {
    cpuid(0x80000001u, 0, r);
    ecx81_ = r[2];
    edx81_ = r[3];
  }
}

// Filled ahead of ordinary static initialisers, so that hash objects built by
// other static initialisers already see the processor's features.
const cpu_info::cpu_info_impl cpu_info::impl_ __attribute__((init_priority(101)));

}  // namespace cppcrypto
