// How the Linux registry stand-in finds a processor's nominal clock in the kernel's
// description of it (for its tests; the runtime reads the value through the registry).
#pragma once

#include "umbracore/types.h"

namespace umbra {
namespace platform {

// The nominal clock of a processor in MHz from the kernel's description, 0 when unknown.
u32 registry_nominal_cpu_mhz(u32 processor);
// "model name : ... @ 3.60GHz" → 3600; 0 when the text names no clock.
u32 registry_parse_model_name_mhz(const char* model_name);
// Fields of one processor's block of /proc/cpuinfo text: the clock its "model name"
// names, and its "cpu MHz" rounded; 0 when the processor or the field is not there.
u32 registry_parse_cpuinfo_model_mhz(const char* cpuinfo, u32 processor);
u32 registry_parse_cpuinfo_cpu_mhz(const char* cpuinfo, u32 processor);

}  // namespace platform
}  // namespace umbra
