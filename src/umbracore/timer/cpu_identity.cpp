// Vendor, brand string and instruction-set features through cpuid.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "umbracore/timer/cpu.h"

namespace umbra {

namespace {

using platform::cpuid_result_t;

constexpr u64 XCR0_SSE_AVX = 0x6;  // XMM and YMM state saved
constexpr u64 XCR0_AVX512 = 0xE0;  // opmask, ZMM_Hi256, Hi16_ZMM
constexpr u32 LEAF1_ECX_AVX = 1u << 28;

void set_if(u64& features, cpu_feature_t feature, bool present) {
  if (present) features |= 1ull << feature;
}

u64 read_features() {
  u64 features = 0;
  cpuid_result_t leaf1;
  if (!platform::cpu_cpuid(1, 0, &leaf1)) return 0;
  u64 xcr0 = 0;
  bool have_xcr0 = platform::cpu_xgetbv(0, &xcr0);
  // AVX registers are usable only when the system saves them on context switches.
  bool os_avx = have_xcr0 && (xcr0 & XCR0_SSE_AVX) == XCR0_SSE_AVX;
  bool os_avx512 = os_avx && (xcr0 & XCR0_AVX512) == XCR0_AVX512;
  set_if(features, CPU_FEATURE_SSE2, leaf1.edx & (1u << 26));
  set_if(features, CPU_FEATURE_SSE3, leaf1.ecx & (1u << 0));
  set_if(features, CPU_FEATURE_SSSE3, leaf1.ecx & (1u << 9));
  set_if(features, CPU_FEATURE_SSE41, leaf1.ecx & (1u << 19));
  set_if(features, CPU_FEATURE_SSE42, leaf1.ecx & (1u << 20));
  set_if(features, CPU_FEATURE_POPCNT, leaf1.ecx & (1u << 23));
  bool avx = os_avx && (leaf1.ecx & LEAF1_ECX_AVX);
  set_if(features, CPU_FEATURE_AVX, avx);
  set_if(features, CPU_FEATURE_F16C, avx && (leaf1.ecx & (1u << 29)));
  set_if(features, CPU_FEATURE_FMA, avx && (leaf1.ecx & (1u << 12)));
  cpuid_result_t leaf7;
  if (platform::cpu_cpuid(7, 0, &leaf7)) {
    set_if(features, CPU_FEATURE_AVX2, avx && (leaf7.ebx & (1u << 5)));
    set_if(features, CPU_FEATURE_BMI1, leaf7.ebx & (1u << 3));
    set_if(features, CPU_FEATURE_BMI2, leaf7.ebx & (1u << 8));
    set_if(features, CPU_FEATURE_AVX512F, os_avx512 && (leaf7.ebx & (1u << 16)));
    set_if(features, CPU_FEATURE_AVX512BW, os_avx512 && (leaf7.ebx & (1u << 30)));
    set_if(features, CPU_FEATURE_AVX512VL, os_avx512 && (leaf7.ebx & (1u << 31)));
    set_if(features, CPU_FEATURE_AVX512CD, os_avx512 && (leaf7.ebx & (1u << 28)));
    set_if(features, CPU_FEATURE_AVX512VBMI2, os_avx512 && (leaf7.ecx & (1u << 6)));
  }
  cpuid_result_t power;
  if (platform::cpu_cpuid(0x80000007u, 0, &power)) set_if(features, CPU_FEATURE_INVARIANT_TSC, power.edx & (1u << 8));
  const char* disabled = std::getenv(CPU_DISABLE_FEATURES_VARIABLE);
  return disabled ? features & ~cpu_features_disabled_by(disabled) : features;
}

// The feature each one builds on (itself for the roots): code that uses a feature may
// use what it builds on, so turning a feature off turns off all that stands on it.
constexpr cpu_feature_t FEATURE_BASE[CPU_FEATURE_COUNT] = {
    CPU_FEATURE_SSE2,          // SSE2
    CPU_FEATURE_SSE2,          // SSE3
    CPU_FEATURE_SSE3,          // SSSE3
    CPU_FEATURE_SSSE3,         // SSE4.1
    CPU_FEATURE_SSE41,         // SSE4.2
    CPU_FEATURE_POPCNT,        // POPCNT
    CPU_FEATURE_SSE42,         // AVX
    CPU_FEATURE_AVX,           // F16C
    CPU_FEATURE_AVX,           // FMA
    CPU_FEATURE_AVX,           // AVX2
    CPU_FEATURE_BMI1,          // BMI1
    CPU_FEATURE_BMI2,          // BMI2
    CPU_FEATURE_AVX2,          // AVX512F
    CPU_FEATURE_AVX512F,       // AVX512BW
    CPU_FEATURE_AVX512F,       // AVX512VL
    CPU_FEATURE_AVX512F,       // AVX512CD
    CPU_FEATURE_AVX512F,       // AVX512VBMI2
    CPU_FEATURE_INVARIANT_TSC  // invariant TSC
};

constexpr bool bases_come_first() {
  for (u32 f = 0; f < CPU_FEATURE_COUNT; ++f) {
    if (FEATURE_BASE[f] > f) return false;
  }
  return true;
}
static_assert(bases_come_first(), "cpu_features_disabled_by walks the features once, bases first");

bool feature_name_equals(const char* name, const char* word, size_t length) {
  size_t i = 0;
  for (; i < length && name[i]; ++i) {
    if (std::tolower((unsigned char)name[i]) != std::tolower((unsigned char)word[i])) return false;
  }
  return i == length && name[i] == 0;
}

// The feature a word of the list names; CPU_FEATURE_COUNT for none.
cpu_feature_t feature_named(const char* word, size_t length) {
  for (u32 f = 0; f < CPU_FEATURE_COUNT; ++f) {
    if (feature_name_equals(cpu_feature_name((cpu_feature_t)f), word, length)) return (cpu_feature_t)f;
  }
  return CPU_FEATURE_COUNT;
}

void read_brand(char* brand) {
  char text[49] = {};
  for (u32 i = 0; i < 3; ++i) {
    cpuid_result_t part;
    if (!platform::cpu_cpuid(0x80000002u + i, 0, &part)) {
      std::strcpy(brand, "Unknown");
      return;
    }
    std::memcpy(text + i * 16 + 0, &part.eax, 4);
    std::memcpy(text + i * 16 + 4, &part.ebx, 4);
    std::memcpy(text + i * 16 + 8, &part.ecx, 4);
    std::memcpy(text + i * 16 + 12, &part.edx, 4);
  }
  text[48] = 0;
  const char* start = text;
  while (*start == ' ') ++start;
  size_t length = std::strlen(start);
  while (length > 0 && start[length - 1] == ' ') --length;
  if (length == 0) {
    std::strcpy(brand, "Unknown");
    return;
  }
  std::memcpy(brand, start, length);
  brand[length] = 0;
}

}  // namespace

u32 cpu_vendor_from_id(const char* vendor_id) {
  if (std::strcmp(vendor_id, "GenuineIntel") == 0) return CPU_VENDOR_INTEL;
  if (std::strcmp(vendor_id, "AuthenticAMD") == 0) return CPU_VENDOR_AMD;
  return CPU_VENDOR_OTHER;
}

void cpu_read_identity(cpu_t* cpu) {
  cpu->vendor = CPU_VENDOR_OTHER;
  cpu->features = 0;
  std::strcpy(cpu->brand, "Unknown");
  cpuid_result_t leaf0;
  if (!platform::cpu_cpuid(0, 0, &leaf0)) return;
  char vendor_id[13] = {};
  std::memcpy(vendor_id + 0, &leaf0.ebx, 4);
  std::memcpy(vendor_id + 4, &leaf0.edx, 4);
  std::memcpy(vendor_id + 8, &leaf0.ecx, 4);
  cpu->vendor = cpu_vendor_from_id(vendor_id);
  cpu->features = read_features();
  read_brand(cpu->brand);
}

bool cpu_has_feature(cpu_feature_t feature) {
  // Read once for the whole process; the kernels that ask may run before cpu_init.
  static const u64 features = read_features();
  return feature < CPU_FEATURE_COUNT && ((features >> feature) & 1) != 0;
}

const char* cpu_feature_name(cpu_feature_t feature) {
  static const char* const names[CPU_FEATURE_COUNT] = {
      "SSE2", "SSE3", "SSSE3",   "SSE4.1",   "SSE4.2",   "POPCNT",   "AVX",         "F16C",         "FMA",
      "AVX2", "BMI1", "BMI2",    "AVX512F",  "AVX512BW", "AVX512VL", "AVX512CD",    "AVX512VBMI2", "invariant TSC"};
  return feature < CPU_FEATURE_COUNT ? names[feature] : "unknown";
}

u64 cpu_features_disabled_by(const char* list) {
  u64 disabled = 0;
  for (const char* word = list; *word;) {
    const char* end = std::strchr(word, ',');
    const size_t length = end ? (size_t)(end - word) : std::strlen(word);
    const cpu_feature_t feature = feature_named(word, length);
    if (feature != CPU_FEATURE_COUNT) disabled |= 1ull << feature;
    word += end ? length + 1 : length;
  }
  // The base of a feature comes before it in the enumeration, so one pass in order
  // carries the switch-off up every chain.
  for (u32 f = 0; f < CPU_FEATURE_COUNT; ++f) {
    if ((disabled >> FEATURE_BASE[f]) & 1) disabled |= 1ull << f;
  }
  return disabled;
}

}  // namespace umbra
