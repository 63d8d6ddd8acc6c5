#include "umbracore/ufs/cairn_device_factory.h"

#include "umbracore/ufs/cairn_device_common.h"
#include "umbracore/ufs/cairn_format.h"
#include "umbracore/ufs/cairn_v1_device.h"
#include "umbracore/ufs/cairn_v2_device.h"

namespace umbra {

fs_device_t* open_cairn_device(auto_ptr_t<file_t>& archive) {
  if (!archive) return nullptr;
  u8 bytes[CAIRN_PROBE_SIZE];
  cairn_probe_t probe;
  if (!archive->read_at(bytes, sizeof(bytes), 0) || !cairn_decode_probe(bytes, sizeof(bytes), &probe) ||
      !cairn_has_magic(probe.magic))
    return nullptr;
  mstring_t path;
  cairn_archive_path(*archive, path);
  auto_ptr_t<fs_device_t> device;
  if (probe.version == CAIRN_V2_VERSION) {
    device.reset(new cairn_v2_device_t(archive, path.c_str()));
  } else if (probe.version == CAIRN_V1_VERSION) {
    device.reset(new cairn_v1_device_t(archive, path.c_str()));
  } else {
    return nullptr;
  }
  if (!device->is_available()) return nullptr;
  return device.detach();
}

}  // namespace umbra
