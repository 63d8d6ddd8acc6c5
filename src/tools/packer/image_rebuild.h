// Turning an image entry back into a texture descriptor and a DDS file.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/strings/string.h"
#include "umbracore/ufs/fs_meta.h"

namespace umbra {

// Writes the descriptor at the entry's path and the DDS beside it, below root.
bool rebuild_image_entry(const string& path, const fs_mstat_t& metadata, const array_t<u8>& data,
                         const char* root);

}  // namespace umbra
