#include "tools/packer/image_rebuild.h"

#include "umbracore/log/log.h"

namespace umbra {

bool rebuild_image_entry(const string& path, const fs_mstat_t& metadata, const array_t<u8>& data,
                         const char* root) {
  // Image entries are rebuilt by the texture extraction, which this build does not have.
  log_error("Image entry '%s' cannot be extracted: texture extraction is not available.", path.c_str());
  return false;
}

}  // namespace umbra
