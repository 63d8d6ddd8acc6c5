// cpuid and rdtsc; other architectures report that neither exists.
#include "umbracore/platform/cpu_platform.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <x86intrin.h>
#define UMBRA_HAS_CPUID 1
#else
#define UMBRA_HAS_CPUID 0
#endif

namespace umbra {
namespace platform {

bool cpu_cpuid(u32 leaf, u32 subleaf, cpuid_result_t* result) {
  *result = cpuid_result_t();
#if UMBRA_HAS_CPUID
  u32 highest = __get_cpuid_max(leaf & 0x80000000u, nullptr);
  if (highest == 0 || leaf > highest) return false;
  __cpuid_count(leaf, subleaf, result->eax, result->ebx, result->ecx, result->edx);
  return true;
#else
  (void)leaf;
  (void)subleaf;
  return false;
#endif
}

bool cpu_xgetbv(u32 index, u64* value) {
  *value = 0;
#if UMBRA_HAS_CPUID
  cpuid_result_t leaf1;
  // OSXSAVE: the system enabled xgetbv.
  if (!cpu_cpuid(1, 0, &leaf1) || !(leaf1.ecx & (1u << 27))) return false;
  u32 low = 0;
  u32 high = 0;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(index));
  *value = ((u64)high << 32) | low;
  return true;
#else
  (void)index;
  return false;
#endif
}

bool cpu_read_tsc(u64* ticks) {
#if UMBRA_HAS_CPUID
  *ticks = __rdtsc();
  return true;
#else
  *ticks = 0;
  return false;
#endif
}

}  // namespace platform
}  // namespace umbra
