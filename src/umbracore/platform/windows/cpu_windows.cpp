// Processor topology from GetLogicalProcessorInformation: one record per physical core
// and per package, each with the mask of its logical processors. The processors of the
// process's affinity mask (GetSystemInfo when it cannot be read) are the ones listed.
#include <algorithm>

#include "umbracore/platform/cpu_platform.h"
#include "umbracore/platform/windows/win32.h"

namespace umbra {
namespace platform {

namespace {

constexpr u32 MASK_BITS = sizeof(ULONG_PTR) * 8;

bool entry_less(const cpu_topology_entry_t& a, const cpu_topology_entry_t& b) { return a.processor < b.processor; }

bool read_processor_records(array_dyn_t<SYSTEM_LOGICAL_PROCESSOR_INFORMATION>& records) {
  DWORD bytes = 0;
  if (GetLogicalProcessorInformation(nullptr, &bytes) || GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) {
    return false;
  }
  u64 count = bytes / sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION) + 1;
  if (!records.resize(count)) return false;
  bytes = (DWORD)(count * sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
  if (!GetLogicalProcessorInformation(records.data(), &bytes)) return false;
  records.resize(bytes / sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
  return true;
}

cpu_topology_entry_t* find_entry(array_t<cpu_topology_entry_t>& entries, u32 processor) {
  for (cpu_topology_entry_t& entry : entries) {
    if (entry.processor == processor) return &entry;
  }
  return nullptr;
}

}  // namespace

bool cpu_list_processors(array_t<u32>& processors) {
  processors.clear();
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) && process_mask != 0) {
    for (u32 bit = 0; bit < MASK_BITS; ++bit) {
      if (((process_mask >> bit) & 1) && !processors.append(bit)) return false;
    }
    return true;
  }
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  u32 count = info.dwNumberOfProcessors ? info.dwNumberOfProcessors : 1;
  for (u32 i = 0; i < count && i < MASK_BITS; ++i) {
    if (!processors.append(i)) return false;
  }
  return true;
}

bool cpu_read_topology(array_t<cpu_topology_entry_t>& entries) {
  entries.clear();
  array_dyn_t<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> records;
  if (!read_processor_records(records)) return false;
  array_dyn_t<u32> allowed;
  if (!cpu_list_processors(allowed)) return false;
  // Core records first: they create the entries; package records then label them.
  u32 core = 0;
  for (const SYSTEM_LOGICAL_PROCESSOR_INFORMATION& record : records) {
    if (record.Relationship != RelationProcessorCore) continue;
    for (u32 bit = 0; bit < MASK_BITS; ++bit) {
      if (!((record.ProcessorMask >> bit) & 1) || std::find(allowed.begin(), allowed.end(), bit) == allowed.end()) {
        continue;
      }
      cpu_topology_entry_t entry;
      entry.processor = bit;
      entry.core_id = core;
      if (!entries.append(entry)) return false;
    }
    ++core;
  }
  u32 package = 0;
  for (const SYSTEM_LOGICAL_PROCESSOR_INFORMATION& record : records) {
    if (record.Relationship != RelationProcessorPackage) continue;
    for (u32 bit = 0; bit < MASK_BITS; ++bit) {
      if (!((record.ProcessorMask >> bit) & 1)) continue;
      if (cpu_topology_entry_t* entry = find_entry(entries, bit)) entry->package_id = package;
    }
    ++package;
  }
  std::sort(entries.begin(), entries.end(), entry_less);
  return !entries.empty();
}

}  // namespace platform
}  // namespace umbra
