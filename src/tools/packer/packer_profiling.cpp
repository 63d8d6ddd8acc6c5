#include "tools/packer/packer_profiling.h"

namespace umbra {

const profiler_id_t PACKER_PROFILER_ID(PROFILER_ID_SCOPE, "packer");

}  // namespace umbra
