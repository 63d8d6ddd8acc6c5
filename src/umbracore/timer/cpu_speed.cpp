// The processor clock: the registry's nominal value when plausible, else measured
// against the wall counter with the time-stamp counter.
#include <cstdio>

#include "umbracore/log/log.h"
#include "umbracore/platform/thread_platform.h"
#include "umbracore/platform/timer_platform.h"
#include "umbracore/timer/cpu.h"
#include "umbracore/timer/registry.h"

namespace umbra {

namespace {

constexpr double LOWEST_GHZ = 1.0;
constexpr double HIGHEST_GHZ = 30.0;
constexpr u32 SAMPLE_COUNT = 7;
constexpr u64 SAMPLE_MICROSECONDS = 20000;
constexpr u32 OVERFLOWED_SAMPLE = 1337;

bool counter_microseconds(u64* microseconds) {
  u64 frequency = 0;
  u64 counter = 0;
  if (!platform::qpc_frequency(&frequency) || frequency == 0 || !platform::qpc_counter(&counter)) return false;
  *microseconds = (u64)((unsigned __int128)counter * 1000000u / frequency);
  return true;
}

// One sample in kHz: time-stamp ticks x 1000 per elapsed microsecond over >= 20 ms.
bool take_sample(u32* khz) {
  u64 start_us = 0;
  u64 start_ticks = 0;
  if (!counter_microseconds(&start_us) || !platform::cpu_read_tsc(&start_ticks)) return false;
  // Sleeping instead of spinning leaves the other cores' work alone; the ratio of the
  // two counters is what is measured, not the time spent.
  platform::thread_sleep_ms((u32)(SAMPLE_MICROSECONDS / 1000));
  u64 now_us = start_us;
  do {
    if (!counter_microseconds(&now_us)) return false;
  } while (now_us - start_us < SAMPLE_MICROSECONDS);
  u64 end_ticks = 0;
  platform::cpu_read_tsc(&end_ticks);
  u64 sample = (u64)((unsigned __int128)(end_ticks - start_ticks) * 1000u / (now_us - start_us));
  *khz = sample > 0xFFFFFFFFull ? OVERFLOWED_SAMPLE : (u32)sample;
  return true;
}

}  // namespace

bool cpu_speed_from_registry_mhz(u32 mhz, u32* khz) {
  double ghz = mhz * 0.001;
  if (ghz >= LOWEST_GHZ && ghz <= HIGHEST_GHZ) {
    *khz = mhz * 1000;
    return true;
  }
  log_warning("[cpu] The OS reported CPU speed %.1fGHz is off the expected range (%.1fGHz - %.1fGHz)", ghz, LOWEST_GHZ,
              HIGHEST_GHZ);
  return false;
}

u32 cpu_speed_average_samples(const u32* samples, u32 count) {
  if (count == 0) return CPU_SPEED_UNKNOWN;
  u32 largest = 0;
  for (u32 i = 0; i < count; ++i) {
    if (samples[i] > largest) largest = samples[i];
  }
  double threshold = 0.8 * largest;
  u64 sum = 0;
  u32 taken = 0;
  for (u32 i = 0; i < count; ++i) {
    if (samples[i] > threshold) {
      sum += samples[i];
      ++taken;
    }
  }
  // Only an all-zero sample set takes nothing.
  return taken == 0 ? 0 : (u32)(sum / taken);
}

u32 cpu_speed_estimate() {
  u64 ticks = 0;
  u64 first_us = 0;
  if (!platform::cpu_read_tsc(&ticks) || !counter_microseconds(&first_us)) return CPU_SPEED_UNKNOWN;
  u64 now_us = first_us;
  // Start on a fresh counter tick so the first sample is not short by a partial tick.
  while (now_us == first_us) {
    if (!counter_microseconds(&now_us)) return CPU_SPEED_UNKNOWN;
  }
  u32 samples[SAMPLE_COUNT];
  for (u32 i = 0; i < SAMPLE_COUNT; ++i) {
    if (!take_sample(&samples[i])) return CPU_SPEED_UNKNOWN;
  }
  return cpu_speed_average_samples(samples, SAMPLE_COUNT);
}

u32 cpu_speed(const cpu_t& cpu) {
  char path[128];
  std::snprintf(path, sizeof(path), "HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\%u\\~MHz",
                cpu.processor_number);
  u32 mhz = 0;
  u32 khz = 0;
  if (registry_read_u32(path, &mhz) && cpu_speed_from_registry_mhz(mhz, &khz)) return khz;
  khz = cpu_speed_estimate();
  if (khz != CPU_SPEED_UNKNOWN) log_warning("[cpu] Using estimated CPU speed (%.1fGHz)", khz * 0.000001);
  return khz;
}

}  // namespace umbra
