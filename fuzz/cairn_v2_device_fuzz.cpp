// libFuzzer target for the version 2 read device: any bytes as an archive held in
// memory, mounted, walked from the root, every file's metadata read, its data chunk
// checked and decoded as extraction decodes it, image entries planned for rebuilding,
// and every file opened and read through the device.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "umbracore/ufs/cairn_v2_device.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  umbra_fuzz::startup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  umbra_fuzz::mount_and_walk<umbra::cairn_v2_device_t>(data, size);
  return 0;
}
