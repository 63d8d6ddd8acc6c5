// Placeholder until the version 2 extractor lands.
#include "tools/packer/extract.h"
#include "umbracore/log/log.h"

namespace umbra {

bool extract_v2(const char* root, auto_ptr_t<file_t>& archive) {
  log_error("Extraction of this archive version is not available yet.");
  return false;
}

}  // namespace umbra
