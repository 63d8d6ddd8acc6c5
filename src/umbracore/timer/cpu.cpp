// The processor table: topology from the platform, identity read once with cpuid, and
// the clock measured on the first core and copied to the others.
#include "umbracore/timer/cpu.h"

namespace umbra {

namespace {

array_dyn_t<cpu_t>& cpu_table() {
  static array_dyn_t<cpu_t>* table = new array_dyn_t<cpu_t>();
  return *table;
}

u64 single_processor_mask(u32 processor) { return processor < 64 ? 1ull << processor : 0; }

// Each online processor counted as a core of its own, in package 0.
bool build_flat_topology(array_t<cpu_t>& cpus) {
  array_dyn_t<u32> processors;
  if (!platform::cpu_list_processors(processors)) return false;
  cpus.clear();
  for (u32 i = 0; i < processors.count(); ++i) {
    cpu_t cpu;
    cpu.processor_number = processors[i];
    cpu.affinity_mask = single_processor_mask(processors[i]);
    cpu.core = i;
    if (!cpus.append(cpu)) return false;
  }
  return !cpus.empty();
}

}  // namespace

bool cpu_build_topology(const array_t<platform::cpu_topology_entry_t>& entries, array_t<cpu_t>& cpus) {
  cpus.clear();
  if (entries.empty() || !cpus.resize(entries.count())) return false;
  u32 next_core = 0;
  u32 next_package = 0;
  for (u64 i = 0; i < entries.count(); ++i) {
    const platform::cpu_topology_entry_t& entry = entries[i];
    cpu_t& cpu = cpus[i];
    cpu.processor_number = entry.processor;
    cpu.affinity_mask = single_processor_mask(entry.processor);
    // Earlier processors of the same core (same package and core id) or package.
    bool core_found = false;
    bool package_found = false;
    u32 threads_before = 0;
    for (u64 j = 0; j < i; ++j) {
      const platform::cpu_topology_entry_t& other = entries[j];
      if (other.package_id != entry.package_id) continue;
      if (!package_found) {
        package_found = true;
        cpu.package = cpus[j].package;
      }
      if (other.core_id == entry.core_id) {
        if (!core_found) cpu.core = cpus[j].core;
        core_found = true;
        ++threads_before;
      }
    }
    if (!package_found) cpu.package = next_package++;
    if (!core_found) cpu.core = next_core++;
    cpu.thread_in_core = threads_before;
  }
  return true;
}

bool cpu_init() {
  array_dyn_t<cpu_t>& cpus = cpu_table();
  cpus.clear();
  array_dyn_t<platform::cpu_topology_entry_t> entries;
  bool known = (platform::cpu_read_topology(entries) && cpu_build_topology(entries, cpus)) ||
               build_flat_topology(cpus);
  if (!known) {
    cpus.clear();
    cpus.resize(1);
    cpus[0].affinity_mask = 1;
  }
  // Identity is read once on the calling thread rather than by moving it across every
  // processor: vendor and brand are the same on every processor of one machine, and the
  // features asked for here are common to all cores of hybrid designs.
  cpu_t identity;
  cpu_read_identity(&identity);
  u64 measured_index = 0;
  for (u64 i = 0; i < cpus.count(); ++i) {
    cpus[i].vendor = identity.vendor;
    cpus[i].features = identity.features;
    for (u32 b = 0; b < sizeof(identity.brand); ++b) cpus[i].brand[b] = identity.brand[b];
    if (cpus[i].core == 0 && cpus[i].thread_in_core == 0) measured_index = i;
  }
  u32 speed = cpu_speed(cpus[measured_index]);
  for (cpu_t& cpu : cpus) cpu.speed = speed;
  return known;
}

const array_t<cpu_t>& cpu_list() { return cpu_table(); }

u32 cpu_count_physical_cores(const array_t<cpu_t>& cpus) {
  u32 cores = 0;
  for (const cpu_t& cpu : cpus) {
    if (!cpu.is_secondary()) ++cores;
  }
  return cores == 0 ? 1 : cores;
}

void cpu_startup() { cpu_init(); }

void cpu_shutdown() { cpu_table().release_storage(); }

}  // namespace umbra
