// Processor topology from sysfs: /sys/devices/system/cpu/online lists the processors,
// cpuN/topology/{physical_package_id,core_id} groups them.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "umbracore/platform/cpu_platform.h"
#include "umbracore/platform/posix/cpu_linux.h"

namespace umbra {
namespace platform {

namespace {

constexpr u32 MAX_PROCESSORS = 4096;

// Reads a small text file into buffer (zero-terminated); false when it cannot be read.
bool read_small_file(const char* path, char* buffer, u32 size) {
  FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  size_t got = std::fread(buffer, 1, size - 1, file);
  std::fclose(file);
  buffer[got] = 0;
  return got != 0;
}

bool read_u32_file(const char* path, u32* value) {
  char text[32];
  if (!read_small_file(path, text, sizeof(text))) return false;
  char* end = nullptr;
  unsigned long parsed = std::strtoul(text, &end, 10);
  if (end == text || parsed > 0xFFFFFFFFul) return false;
  *value = (u32)parsed;
  return true;
}

bool parse_number(const char*& p, u32* value) {
  if (*p < '0' || *p > '9') return false;
  u64 v = 0;
  while (*p >= '0' && *p <= '9') {
    v = v * 10 + (u64)(*p - '0');
    if (v >= MAX_PROCESSORS) return false;
    ++p;
  }
  *value = (u32)v;
  return true;
}

}  // namespace

bool cpu_parse_processor_list(const char* text, array_t<u32>& processors) {
  processors.clear();
  const char* p = text;
  while (*p && *p != '\n') {
    u32 first = 0;
    if (!parse_number(p, &first)) return false;
    u32 last = first;
    if (*p == '-') {
      ++p;
      if (!parse_number(p, &last) || last < first) return false;
    }
    for (u32 n = first; n <= last; ++n) {
      if (processors.count() >= MAX_PROCESSORS || !processors.append(n)) return false;
    }
    if (*p == ',') ++p;
  }
  return !processors.empty();
}

bool cpu_list_processors(array_t<u32>& processors) {
  char text[1024];
  if (read_small_file("/sys/devices/system/cpu/online", text, sizeof(text)) &&
      cpu_parse_processor_list(text, processors)) {
    return true;
  }
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  if (count < 1) count = 1;
  if (count > (long)MAX_PROCESSORS) count = MAX_PROCESSORS;
  processors.clear();
  for (long i = 0; i < count; ++i) {
    if (!processors.append((u32)i)) return false;
  }
  return true;
}

bool cpu_read_topology(array_t<cpu_topology_entry_t>& entries) {
  array_dyn_t<u32> processors;
  if (!cpu_list_processors(processors)) return false;
  entries.clear();
  for (u32 processor : processors) {
    cpu_topology_entry_t entry;
    entry.processor = processor;
    char path[128];
    std::snprintf(path, sizeof(path), "/sys/devices/system/cpu/cpu%u/topology/physical_package_id", processor);
    if (!read_u32_file(path, &entry.package_id)) return false;
    std::snprintf(path, sizeof(path), "/sys/devices/system/cpu/cpu%u/topology/core_id", processor);
    if (!read_u32_file(path, &entry.core_id)) return false;
    if (!entries.append(entry)) return false;
  }
  return !entries.empty();
}

}  // namespace platform
}  // namespace umbra
