// Raster images through stb_image: the metadata builder's records and the decoding.
#include "umbracore/umbrautils/format/raster.h"

#include <gtest/gtest.h>

#include <string>

#include "support/run_tool.h"
#include "support/test_rng.h"
#include "support/texture_files.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/ufs/fs_meta_builders.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

using namespace umbra;
using umbra_test::read_file;
using umbra_test::texture_fixture;

namespace {

struct png_case_t {
  const char* name;
  format_t format;
  u32 width, height;
};

// A 16-bit RGB image still reports 8-bit RGB: that is what it decodes to.
const png_case_t PNG_CASES[] = {
    {"magick_rgb8_13x7.png", format_t::R8G8B8_UNORM_SRGB, 13, 7},
    {"magick_rgba8_9x5.png", format_t::R8G8B8A8_UNORM_SRGB, 9, 5},
    {"magick_rgb16_11x3.png", format_t::R8G8B8_UNORM_SRGB, 11, 3},
    {"magick_rgba16_5x6.png", format_t::R16G16B16A16_UNORM, 5, 6},
    {"magick_grey16_6x4.png", format_t::R16_UNORM, 6, 4},
};

std::string fixture(const char* name) { return read_file(texture_fixture(std::string("raster/") + name)); }

}  // namespace

TEST(fs_meta_raster, records_the_image_and_its_decoded_size) {
  for (const png_case_t& c : PNG_CASES) {
    SCOPED_TRACE(c.name);
    const std::string png = fixture(c.name);
    auto_ptr_t<file_t> file = mem_file_create_read_only(png.data(), png.size(), c.name);
    fs_mstat_t set;
    ASSERT_TRUE(fs_meta_raster(&set, *file, 4096, 0));
    fs_meta_image_t image;
    ASSERT_TRUE(fs_meta_get_image(&set, &image));
    EXPECT_EQ(image.format, c.format);
    EXPECT_EQ(image.width, c.width);
    EXPECT_EQ(image.height, c.height);
    EXPECT_EQ(image.mip_count, 1u);
    EXPECT_EQ(image.face_count, 1u);
    EXPECT_EQ(image.pitch_alignment, 1u);
    fs_chunk_t chunk;
    ASSERT_TRUE(fs_meta_get_chunk(&set, FS_TOKEN_CHUNK_MIP_TAIL, &chunk));
    EXPECT_EQ(chunk.attribute, 3);
    EXPECT_EQ(chunk.compression, 0);
    EXPECT_EQ(chunk.stored_size, png.size());
    EXPECT_EQ(chunk.aux_size, png.size());
    EXPECT_EQ(chunk.size, (u64)format_bits_per_pixel(c.format) / 8 * c.width * c.height);
    EXPECT_EQ(chunk.offset, 4096u);
  }
}

TEST(fs_meta_raster, refuses_what_is_no_image) {
  for (const std::string& bytes : {std::string(), std::string("not an image at all"), fixture("magick_rgb8_13x7.png").substr(0, 12)}) {
    auto_ptr_t<file_t> file = mem_file_create_read_only(bytes.data(), bytes.size(), "x.png");
    fs_mstat_t set;
    EXPECT_FALSE(fs_meta_raster(&set, *file, 0, 0));
    EXPECT_EQ(set.records.count(), 0u);
  }
}

// The decoder must give exactly the image that was probed; a file that changed in
// between, or an info that promises something else, is refused.
TEST(raster_decode, refuses_an_image_other_than_the_probed_one) {
  const std::string png = fixture("magick_rgba8_9x5.png");
  const u8* bytes = reinterpret_cast<const u8*>(png.data());
  raster_info_t info;
  ASSERT_TRUE(raster_probe(bytes, png.size(), &info));
  array_dyn_t<u8> pixels;
  ASSERT_TRUE(raster_decode(bytes, png.size(), info, pixels));
  EXPECT_EQ(pixels.count(), 9u * 5 * 4);
  raster_info_t wider = info, fewer_channels = info, deeper = info;
  wider.width = 10;
  fewer_channels.components = 3;
  deeper.is_16_bit = true;
  for (const raster_info_t& other : {wider, fewer_channels, deeper}) {
    EXPECT_FALSE(raster_decode(bytes, png.size(), other, pixels));
  }
  EXPECT_FALSE(raster_decode(bytes, png.size() / 2, info, pixels));
}

// Damaged files: whatever the decoder makes of them, it stays inside its buffers (the
// sanitizer build checks) and never returns pixels of another size than it promised.
TEST(raster_decode, damaged_files_decode_to_the_promised_size_or_fail) {
  umbra_test::rng_t rng{77};
  for (const png_case_t& c : PNG_CASES) {
    const std::string png = fixture(c.name);
    for (int round = 0; round < 200; ++round) {
      std::string damaged = png;
      const u32 flips = 1 + rng.below(4);
      for (u32 i = 0; i < flips; ++i) damaged[rng.below((u32)damaged.size())] = (char)rng.next();
      if (rng.below(4) == 0) damaged.resize(rng.below((u32)damaged.size()));
      const u8* bytes = reinterpret_cast<const u8*>(damaged.data());
      raster_info_t info;
      if (!raster_probe(bytes, damaged.size(), &info)) continue;
      array_dyn_t<u8> pixels;
      u64 expected = 0;
      if (!raster_decoded_size(info, &expected) || expected > (1u << 20)) continue;
      if (raster_decode(bytes, damaged.size(), info, pixels)) {
        EXPECT_EQ(pixels.count(), expected);
      }
    }
  }
}
