#include "umbracore/ufs/fs_meta_builders.h"

namespace umbra {

// Raster images are not described yet: every build of one fails.
bool fs_meta_raster(fs_mstat_t* set, file_t& file, u64 base_offset, u8 compression) { return false; }

}  // namespace umbra
