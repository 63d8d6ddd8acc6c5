// The extract command: find the archive, read its first 12 bytes, and hand it to the
// extractor of its version.
#include "tools/packer/extract.h"

#include <cstring>

#include "tools/packer/commands.h"
#include "umbracore/log/log.h"
#include "umbracore/ufs/fs_device.h"

namespace umbra {

namespace {

// Magic, version, salt and hash method.
constexpr u64 PROBE_SIZE = 12;

u16 read_u16_le(const u8* bytes) { return (u16)(bytes[0] | (bytes[1] << 8)); }

}  // namespace

int extract(const char* root, const char* archive_path) {
  fs_device_t* system_device = fs_get_system_device();
  if (!system_device || !system_device->is_file(archive_path)) {
    log_error("'%s' not found", archive_path);
    return 1;
  }
  auto_ptr_t<file_t> archive;
  if (!fs_open(archive, archive_path, FS_MODE_READ_ONLY, FS_DEVICE_SYSFS)) return 1;
  const char* destination = root && root[0] != '\0' ? root : ".";
  // Too short to hold the probe is not a read failure but a file of another kind.
  if (archive->get_size() < PROBE_SIZE) {
    log_error("Unsupported file format!");
    return 1;
  }
  u8 probe[PROBE_SIZE];
  if (!archive->read_at(probe, PROBE_SIZE, 0)) return 1;
  if (std::memcmp(probe, "QAR#", 4) != 0) {
    log_error("Unsupported file format!");
    return 1;
  }
  switch (read_u16_le(probe + 4)) {
    case 1:
      return extract_v1(destination, archive) ? 0 : 1;
    case 2:
      return extract_v2(destination, archive) ? 0 : 1;
    default:
      log_error("Unsupported version of cairn format!");
      return 1;
  }
}

}  // namespace umbra
