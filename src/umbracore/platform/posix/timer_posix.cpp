#include <time.h>

#include <cstdio>
#include <cstring>

#include "umbracore/platform/posix/timer_posix.h"
#include "umbracore/platform/timer_platform.h"

namespace umbra {
namespace platform {

namespace {

constexpr u64 NANOSECONDS_PER_SECOND = 1000000000ull;

// Source indices of the wall timer's name table.
constexpr u32 SOURCE_UNKNOWN = 0;
constexpr u32 SOURCE_ACPI = 3;
constexpr u32 SOURCE_TSC_INVARIANT = 5;
constexpr u32 SOURCE_HPET = 6;

}  // namespace

bool qpc_frequency(u64* frequency) {
  *frequency = NANOSECONDS_PER_SECOND;
  return true;
}

bool qpc_counter(u64* counter) {
  timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    *counter = 0;
    return false;
  }
  *counter = (u64)now.tv_sec * NANOSECONDS_PER_SECOND + (u64)now.tv_nsec;
  return true;
}

u64 wall_clock_us() {
  timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) return 0;
  return (u64)now.tv_sec * 1000000ull + (u64)now.tv_nsec / 1000ull;
}

bool local_time(u64 unix_seconds, std::tm* out) {
  time_t seconds = (time_t)unix_seconds;
  return localtime_r(&seconds, out) != nullptr;
}

u32 qpc_source_from_clocksource_name(const char* name) {
  // The kernel only keeps "tsc" as its clocksource while the counter is stable across
  // processors and power states, which is what the invariant TSC promises.
  if (std::strcmp(name, "tsc") == 0) return SOURCE_TSC_INVARIANT;
  if (std::strcmp(name, "hpet") == 0) return SOURCE_HPET;
  if (std::strcmp(name, "acpi_pm") == 0) return SOURCE_ACPI;
  return SOURCE_UNKNOWN;
}

bool qpc_named_source(u32* source) {
  *source = SOURCE_UNKNOWN;
  FILE* file = std::fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "rb");
  if (!file) return true;
  char name[64] = {};
  size_t got = std::fread(name, 1, sizeof(name) - 1, file);
  std::fclose(file);
  name[got] = 0;
  char* newline = std::strchr(name, '\n');
  if (newline) *newline = 0;
  *source = qpc_source_from_clocksource_name(name);
  return true;
}

}  // namespace platform
}  // namespace umbra
