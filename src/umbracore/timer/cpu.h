// The logical processors of the machine: topology (package, core, thread in core),
// vendor, brand, instruction-set features and clock speed, found once at start-up.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/platform/cpu_platform.h"
#include "umbracore/types.h"

namespace umbra {

enum cpu_vendor_t : u32 {
  CPU_VENDOR_INTEL = 0,  // "GenuineIntel"
  CPU_VENDOR_AMD = 1,    // "AuthenticAMD"
  CPU_VENDOR_OTHER = 2,
};

constexpr u32 CPU_SPEED_UNKNOWN = 0xFFFFFFFFu;

// Instruction-set features read with cpuid (bit numbers in cpu_t::features).
enum cpu_feature_t : u32 {
  CPU_FEATURE_SSE2 = 0,
  CPU_FEATURE_SSE3,
  CPU_FEATURE_SSSE3,
  CPU_FEATURE_SSE41,
  CPU_FEATURE_SSE42,
  CPU_FEATURE_POPCNT,
  CPU_FEATURE_AVX,
  CPU_FEATURE_F16C,
  CPU_FEATURE_FMA,
  CPU_FEATURE_AVX2,
  CPU_FEATURE_BMI1,
  CPU_FEATURE_BMI2,
  CPU_FEATURE_AVX512F,
  CPU_FEATURE_AVX512BW,
  CPU_FEATURE_AVX512VL,
  CPU_FEATURE_AVX512CD,
  CPU_FEATURE_AVX512VBMI2,
  CPU_FEATURE_INVARIANT_TSC,
  CPU_FEATURE_COUNT
};

struct cpu_t {
  u32 vendor = CPU_VENDOR_OTHER;
  u32 speed = 0;  // kHz; CPU_SPEED_UNKNOWN when it could not be found
  u32 package = 0;
  u32 core = 0;            // counted over all packages
  u32 thread_in_core = 0;  // 0 for a core's first logical processor
  u32 processor_number = 0;
  u64 affinity_mask = 0;  // the single-processor mask (0 for processors beyond 63)
  u64 features = 0;       // bit (1 << cpu_feature_t)
  char brand[49] = "Unknown";

  bool is_secondary() const { return thread_in_core != 0; }
  bool has_feature(cpu_feature_t feature) const { return (features >> feature) & 1; }
};

// Numbers the platform's processors: core records in the order of their first
// processor, the threads of a core by ascending processor number, packages likewise.
// Processor numbers, masks and topology only; other fields keep their defaults.
bool cpu_build_topology(const array_t<platform::cpu_topology_entry_t>& entries, array_t<cpu_t>& cpus);
// Vendor, brand and feature flags of the processor the calling thread runs on.
void cpu_read_identity(cpu_t* cpu);
// 0 "GenuineIntel", 1 "AuthenticAMD", 2 anything else.
u32 cpu_vendor_from_id(const char* vendor_id);

// Fills the processor table; false only when nothing could be learnt (one cpu_t is still set up).
bool cpu_init();
// The processor table (empty before cpu_init).
const array_t<cpu_t>& cpu_list();
// Processors that are not secondary logical processors of a core (at least 1).
u32 cpu_count_physical_cores(const array_t<cpu_t>& cpus);
// Feature of the processor the process runs on (read on first use when cpu_init has not run).
// Every choice of an instruction-set path asks here, so the variable below reaches them all.
bool cpu_has_feature(cpu_feature_t feature);
const char* cpu_feature_name(cpu_feature_t feature);

// Names features to treat as absent, so that one machine can run every code path (tests
// run once per path with it): a list of cpu_feature_name values separated by commas, in
// any case, e.g. "avx512f" (256-bit paths) or "sse2" (portable code only).
constexpr const char* CPU_DISABLE_FEATURES_VARIABLE = "UMBRA_DISABLE_CPU_FEATURES";
// The feature bits such a list turns off: the named features and every feature that
// builds on them (AVX2 off takes the AVX-512 subsets with it). Unknown names are skipped.
u64 cpu_features_disabled_by(const char* list);

// Clock speed in kHz: the registry's nominal value when plausible, else a measurement.
u32 cpu_speed(const cpu_t& cpu);
// The plausibility rule for the registry value: true with the speed in kHz when the GHz
// lie within 1.0 to 30.0; otherwise logs the off-range warning and returns false.
bool cpu_speed_from_registry_mhz(u32 mhz, u32* khz);
// The estimate's averaging rule over kHz samples: the mean of those above 0.8 x maximum.
u32 cpu_speed_average_samples(const u32* samples, u32 count);
// Measures the clock against the wall counter (about 140 ms); CPU_SPEED_UNKNOWN without
// a time-stamp counter.
u32 cpu_speed_estimate();

// Start-up and shutdown of the processor table.
void cpu_startup();
void cpu_shutdown();

}  // namespace umbra
