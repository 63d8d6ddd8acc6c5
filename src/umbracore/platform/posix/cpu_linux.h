// The text formats of the Linux processor description in sysfs.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"

namespace umbra {
namespace platform {

// Parses a kernel processor list such as "0-3,8,10-11" (bounded: at most 4096 entries).
bool cpu_parse_processor_list(const char* text, array_t<u32>& processors);

}  // namespace platform
}  // namespace umbra
