// libFuzzer target for the readers of source images at create: any bytes as the image
// file a descriptor names ("a.dds" when they begin with the DDS magic, "a.png"
// otherwise; the raster reader tells the format by content), read for the image's
// metadata and built into an image entry by the same code create runs, of a single
// image or, for inputs of odd length, of a cube.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "tools/packer/packer_image.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/umbrautils/format/tobj.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

namespace {

using namespace umbra;

// A descriptor of the given texture type that names one image.
array_dyn_t<u8> descriptor_naming(const char* name, u8 texture_type) {
  tobj_header_t header = tobj_make_rebuild_header(false);
  header.texture_type = texture_type;
  const u64 length = std::strlen(name);
  array_dyn_t<u8> bytes;
  if (!bytes.resize(TOBJ_HEADER_SIZE + sizeof(u64) + length)) umbra_fuzz::fail("out of memory");
  std::memcpy(bytes.data(), &header, TOBJ_HEADER_SIZE);
  std::memcpy(bytes.data() + TOBJ_HEADER_SIZE, &length, sizeof(u64));
  std::memcpy(bytes.data() + TOBJ_HEADER_SIZE + sizeof(u64), name, length);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Paths without a root are looked up in the scratch directory.
  umbra_fuzz::startup(umbra_fuzz::scratch_dir().c_str());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const bool dds = size >= 4 && std::memcmp(data, "DDS ", 4) == 0;
  const char* name = dds ? "a.dds" : "a.png";

  // The image's own metadata, as create records it for an image file.
  mem_file_t file(const_cast<uint8_t*>(data), size, name);
  file.set_read_only(true);
  fs_mstat_t metadata;
  fs_meta_build(&metadata, file, 0, 0);

  // The image entry of a descriptor naming it.
  umbra_fuzz::write_scratch_file(name, data, size);
  const array_dyn_t<u8> descriptor =
      descriptor_naming(name, (size & 1) ? TOBJ_TEXTURE_TYPE_CUBE : TOBJ_TEXTURE_TYPE_SINGLE);
  image_entry_t entry;
  build_image_entry(descriptor.data(), descriptor.count(), "/fuzz.tobj", "", &entry);
  return 0;
}
