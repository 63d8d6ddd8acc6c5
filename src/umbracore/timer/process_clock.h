// The process clock: microseconds counted from the wall timer, advanced by the tracer
// buffers as they start and end, read by the file cache and the trace writer.
#pragma once

#include "umbracore/types.h"

namespace umbra {

// Adds the wall timer's elapsed microseconds and returns the new value.
u64 process_clock_advance();
// The current value without advancing it.
u64 process_clock_now_us();
// Back to zero (start-up and tests).
void process_clock_reset();

}  // namespace umbra
