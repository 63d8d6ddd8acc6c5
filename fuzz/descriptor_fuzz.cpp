// libFuzzer target for the texture descriptor reader at create: any bytes as a ".tobj"
// file, read for its metadata and built into an image entry by the same code create
// runs. The images it may name lie in the scratch directory: DDS files of one level and
// of a chain, a cube, six faces and a PNG, copied from the test fixtures at start.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz_support.h"
#include "tools/packer/packer_image.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

namespace {

const char* const FIXTURE_IMAGES[] = {
    "dds/nvtt_bc1_32x32_mips.dds", "dds/nvtt_x8r8g8b8_cube_8x8.dds", "dds/nvtt_bc1_face0_8x8.dds",
    "dds/nvtt_bc1_face1_8x8.dds",  "dds/nvtt_bc1_face2_8x8.dds",     "dds/nvtt_bc1_face3_8x8.dds",
    "dds/nvtt_bc1_face4_8x8.dds",  "dds/nvtt_bc1_face5_8x8.dds",     "dds/magick_r8g8b8_8x8.dds",
    "raster/magick_rgba8_9x5.png",
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Paths without a root are looked up in the scratch directory.
  umbra_fuzz::startup(umbra_fuzz::scratch_dir().c_str());
  // Descriptors name these by their file names, relative to the root the entry is built in.
  for (const char* image : FIXTURE_IMAGES) {
    const std::filesystem::path from = std::filesystem::path(UMBRA_FIXTURES_DIR) / image;
    std::error_code error;
    std::filesystem::copy_file(from, umbra_fuzz::scratch_dir() / from.filename(),
                               std::filesystem::copy_options::overwrite_existing, error);
    if (error) umbra_fuzz::fail("fixture image cannot be copied");
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace umbra;
  // fs_meta_tobj resolves the image it names through the file system's root device.
  mem_file_t file(const_cast<uint8_t*>(data), size, "fuzz.tobj");
  file.set_read_only(true);
  fs_mstat_t metadata;
  fs_meta_build(&metadata, file, 0, 0);

  image_entry_t entry;
  build_image_entry(data, size, "/fuzz.tobj", "", &entry);
  return 0;
}
