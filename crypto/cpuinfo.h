// Processor features, read once by a static initialiser before main() and
// read-only afterwards, so every thread may query them without locking.
#ifndef HX_CRYPTO_CPUINFO_H
#define HX_CRYPTO_CPUINFO_H

#include <cstdint>

namespace cppcrypto {

class cpu_info {
 public:
  // The CPUID feature words that the queries consult. A word whose leaf the
  // processor does not offer stays 0, so its features count as absent.
  class cpu_info_impl {
   public:
    // Executes CPUID leaf `leaf`, sub-leaf `subleaf`, and stores EAX, EBX, ECX,
    // EDX in regs[0..3].
    typedef void (*cpuid_function)(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]);

    // Reads the features of the processor this program runs on.
    cpu_info_impl();
    // Reads the features through `cpuid` instead of the CPUID instruction.
    explicit cpu_info_impl(cpuid_function cpuid);

    uint32_t ecx1_;   // leaf 1, ECX
    uint32_t edx1_;   // leaf 1, EDX
    uint32_t ebx7_;   // leaf 7 sub-leaf 0, EBX
    uint32_t ecx7_;   // leaf 7 sub-leaf 0, ECX
    uint32_t ecx81_;  // leaf 0x80000001, ECX
    uint32_t edx81_;  // leaf 0x80000001, EDX

    bool sse2() const { return (edx1_ >> 26) & 1; }
    bool sse41() const { return (ecx1_ >> 19) & 1; }
    bool avx2() const { return (ebx7_ >> 5) & 1; }
    bool bmi2() const { return (ebx7_ >> 8) & 1; }

   private:
    void fill(cpuid_function cpuid);
  };

  static bool sse2() { return impl_.sse2(); }
  static bool sse41() { return impl_.sse41(); }
  static bool avx2() { return impl_.avx2(); }
  static bool bmi2() { return impl_.bmi2(); }

  // The record behind the queries.
  static const cpu_info_impl& features() { return impl_; }

 private:
  static const cpu_info_impl impl_;
};

}  // namespace cppcrypto

#endif
