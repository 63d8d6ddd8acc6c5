// How the POSIX counter names its source from the kernel's clocksource.
#pragma once

#include "umbracore/types.h"

namespace umbra {
namespace platform {

// Maps a Linux clocksource name ("tsc", "hpet", "acpi_pm", ...) to a source index.
u32 qpc_source_from_clocksource_name(const char* name);

}  // namespace platform
}  // namespace umbra
