// The extract command: find the archive, read its first 12 bytes, and hand it to the
// extractor of its version.
#include "tools/packer/extract.h"

#include "tools/packer/archive_probe.h"
#include "tools/packer/commands.h"

namespace umbra {

int extract(const char* root, const char* archive_path) {
  auto_ptr_t<file_t> archive;
  u16 version = 0;
  if (!open_archive(archive_path, archive, &version)) return 1;
  const char* destination = root && root[0] != '\0' ? root : ".";
  if (version == 1) return extract_v1(destination, archive) ? 0 : 1;
  return extract_v2(destination, archive) ? 0 : 1;
}

}  // namespace umbra
