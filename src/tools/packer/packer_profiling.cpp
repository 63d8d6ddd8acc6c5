#include "tools/packer/packer_profiling.h"

namespace umbra {

const profiler_id_t packer_profiler_id(PROFILER_ID_SCOPE, "packer");

}  // namespace umbra
