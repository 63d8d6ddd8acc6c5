#include "tools/packer/commands.h"
#include "umbracore/log/log.h"

namespace umbra {

bool create(const char* archive_path, const char* root) {
  log_error("Archive creation is not available yet.");
  return false;
}

}  // namespace umbra
