// The performance counter: QueryPerformanceCounter/Frequency on Windows. On Linux it is
// CLOCK_MONOTONIC in nanoseconds (frequency 1e9), and the kernel names the hardware
// behind it, which Windows leaves to be guessed from the frequency.
#pragma once

#include <ctime>

#include "umbracore/types.h"

namespace umbra {
namespace platform {

bool qpc_frequency(u64* frequency);
bool qpc_counter(u64* counter);

// The calendar clock: microseconds since 1970-01-01 UTC (0 when unavailable).
u64 wall_clock_us();
// The local broken-down time of a moment given in seconds since 1970-01-01 UTC.
bool local_time(u64 unix_seconds, std::tm* out);

// The counter's source as an index of the wall timer's source names (3 ACPI, 5 TSC
// invariant, 6 HPET, 0 a source that cannot be told). Returns false where the platform
// does not name it, so the caller classifies by frequency.
bool qpc_named_source(u32* source);

}  // namespace platform
}  // namespace umbra
