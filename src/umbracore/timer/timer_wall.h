// The wall timer: the first of two performance-counter timers whose start-up succeeds
// measures elapsed microseconds for the profiler and the file cache.
#pragma once

#include "umbracore/types.h"

namespace umbra {

enum qpc_source_t : u32 {
  QPC_SOURCE_UNKNOWN = 0,
  QPC_SOURCE_PIT = 1,
  QPC_SOURCE_RTC = 2,
  QPC_SOURCE_ACPI = 3,
  QPC_SOURCE_TSC = 4,
  QPC_SOURCE_TSC_INVARIANT = 5,
  QPC_SOURCE_HPET = 6,
};

// "unknown", "PIT 8254", "RTC", "ACPI (PM Clock)", "TSC", "TSC invariant", "HPET".
const char* timer_qpc_source_name(u32 source);

struct qpc_classification_t {
  u32 source = QPC_SOURCE_UNKNOWN;
  bool usable = false;  // false: the classifying timer fails and the next one is tried
};

// Guesses the counter's hardware from its frequency. cpu_speed_hz is 0 when unknown.
qpc_classification_t timer_classify_qpc(u64 frequency, u64 cpu_speed_hz, u32 processor_count);

// Microseconds between successive counter readings; the division remainder is carried
// so that the sum of the results never drifts from the counter.
struct elapsed_counter_t {
  u64 frequency = 1;
  u64 previous = 0;
  u64 remainder = 0;

  void start(u64 counter_frequency, u64 now);
  // 0 when the counter went backwards.
  u64 advance(u64 now);
};

// Selects the first timer whose start-up succeeds; report logs the choice at info level.
// No timer at all stops the process ("Failed to initialize system timer").
void timer_initialize(bool report);
void timer_shutdown();
// Logs the selected timer's choice.
void timer_report();
// Microseconds since the previous call (since initialisation for the first call).
u64 timer_elapsed_us();
// "QPC" or "pure QPC" after initialisation, "" before.
const char* timer_selected_name();
// The source found by the classifying timer (QPC_SOURCE_UNKNOWN when it failed).
u32 timer_selected_source();

// Start-up as the runtime calls it: initialisation with its report.
void timer_startup();

}  // namespace umbra
