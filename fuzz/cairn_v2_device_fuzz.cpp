// libFuzzer target for the version 2 read device: any bytes as an archive held in
// memory, mounted, walked from the root, every file's metadata read, its data chunk
// checked and decoded as extraction decodes it, image entries planned for rebuilding,
// and every file opened and read through the device.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "umbracore/ufs/cairn_v2_device.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  umbra_fuzz::startup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace umbra;
  auto_ptr_t<file_t> archive(new mem_file_t(const_cast<uint8_t*>(data), size, "fuzz.qar"));
  static_cast<mem_file_t*>(archive.get())->set_read_only(true);
  cairn_v2_device_t device(archive, "");
  if (device.is_available()) umbra_fuzz::walk_archive(device, data, size);
  return 0;
}
