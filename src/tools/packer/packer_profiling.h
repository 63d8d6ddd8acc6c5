// The category of the packer's own trace scopes (create and extract).
#pragma once

#include "umbracore/profiling/profiler_system.h"

namespace umbra {

extern const profiler_id_t PACKER_PROFILER_ID;

}  // namespace umbra
