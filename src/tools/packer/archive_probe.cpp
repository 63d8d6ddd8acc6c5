#include "tools/packer/archive_probe.h"

#include <cstring>

#include "umbracore/log/log.h"
#include "umbracore/ufs/cairn_format.h"
#include "umbracore/ufs/fs_device.h"

namespace umbra {

bool open_archive(const char* archive_path, auto_ptr_t<file_t>& archive, u16* version) {
  fs_device_t* system_device = fs_get_system_device();
  if (!system_device || !system_device->is_file(archive_path)) {
    log_error("'%s' not found", archive_path);
    return false;
  }
  if (!fs_open(archive, archive_path, FS_MODE_READ_ONLY, FS_DEVICE_SYSFS)) return false;
  u64 size = 0;
  if (!archive->find_size(&size)) return false;
  // Too short to hold the probe is not a read failure but a file of another kind.
  if (size < CAIRN_PROBE_SIZE) {
    log_error("Unsupported file format!");
    return false;
  }
  u8 bytes[CAIRN_PROBE_SIZE];
  if (!archive->read_at(bytes, CAIRN_PROBE_SIZE, 0)) {
    log_error("Failed to read the archive '%s'!", archive_path);
    return false;
  }
  cairn_probe_t probe;
  if (!cairn_decode_probe(bytes, sizeof bytes, &probe) || !cairn_has_magic(probe.magic)) {
    log_error("Unsupported file format!");
    return false;
  }
  if (probe.version != CAIRN_V1_VERSION && probe.version != CAIRN_V2_VERSION) {
    log_error("Unsupported version of cairn format!");
    return false;
  }
  *version = probe.version;
  return true;
}

}  // namespace umbra
