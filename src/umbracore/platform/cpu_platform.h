// The processor facts the platform gives: which logical processors exist and how they
// group into cores and packages (GetLogicalProcessorInformation on Windows, sysfs on
// Linux), and the cpuid and rdtsc instructions where the processor has them.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"

namespace umbra {
namespace platform {

// One logical processor as the kernel describes it; ids are the kernel's own numbers,
// not indices (they may have gaps).
struct cpu_topology_entry_t {
  u32 processor = 0;
  u32 package_id = 0;
  u32 core_id = 0;
};

// The online logical processors in ascending order (at least one entry on success).
bool cpu_list_processors(array_t<u32>& processors);
// Package and core ids of every online processor; false when the platform has none.
bool cpu_read_topology(array_t<cpu_topology_entry_t>& entries);

struct cpuid_result_t {
  u32 eax = 0;
  u32 ebx = 0;
  u32 ecx = 0;
  u32 edx = 0;
};
// false (all zero) on processors without the instruction or beyond its highest leaf.
bool cpu_cpuid(u32 leaf, u32 subleaf, cpuid_result_t* result);
// Extended control register (xgetbv): which register sets the system saves; false
// where the instruction is not available.
bool cpu_xgetbv(u32 index, u64* value);
// Processor time-stamp counter; false when there is none.
bool cpu_read_tsc(u64* ticks);

}  // namespace platform
}  // namespace umbra
