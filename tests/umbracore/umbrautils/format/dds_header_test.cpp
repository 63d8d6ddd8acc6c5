// The DDS headers that extraction writes, and that the DDS reader must read back as the
// image they were written for.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/run_tool.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_file.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/ufs/fs_meta_builders.h"
#include "umbracore/umbrautils/format/dds.h"
#include "umbracore/umbrautils/format/tobj.h"

using namespace umbra;

namespace {

u32 load(const u8* bytes, u32 offset) {
  u32 value;
  std::memcpy(&value, bytes + offset, 4);
  return value;
}

// Every field of a header, laid out as the published DDS header has them; the ones not
// given stay zero.
struct dds_fields_t {
  u32 flags, height, width, pitch, mip_count;
  u32 pf_flags, fourcc, bit_count, r, g, b, a;
  u32 caps, caps2;
  bool dx10;
  u32 dxgi_format, misc;

  std::vector<u8> bytes() const {
    std::vector<u8> out(dx10 ? 148 : 128, 0);
    auto put = [&](u32 offset, u32 value) { std::memcpy(out.data() + offset, &value, 4); };
    std::memcpy(out.data(), "DDS ", 4);
    put(4, 124);
    put(8, flags);
    put(12, height);
    put(16, width);
    put(20, pitch);
    put(28, mip_count);
    put(76, 32);
    put(80, pf_flags);
    put(84, fourcc);
    put(88, bit_count);
    put(92, r);
    put(96, g);
    put(100, b);
    put(104, a);
    put(108, caps);
    put(112, caps2);
    if (dx10) {
      put(128, dxgi_format);
      put(132, 3);  // a 2D texture
      put(136, misc);
      put(140, 1);  // array size
    }
    return out;
  }
};

std::vector<u8> header_bytes(const dds_written_header_t& header) {
  return std::vector<u8>(header.bytes, header.bytes + header.size);
}

constexpr u32 DX10_FOURCC = dds_fourcc('D', 'X', '1', '0');

struct header_case_t {
  const char* what;
  dds_surface_t surface;
  bool legacy;
  dds_fields_t expected;
};

TEST(dds_make_header, gives_every_field_of_the_header) {
  const u32 dxt1 = dds_fourcc('D', 'X', 'T', '1');
  const header_case_t cases[] = {
      {"2D, one mip",
       {format_t::BC1_UNORM, 256, 128, 1, false},
       false,
       {0x1007, 128, 256, 0, 0, 0x4, DX10_FOURCC, 0, 0, 0, 0, 0, 0x1000, 0, true, 71, 0}},
      {"cube, 10 mips",
       {format_t::BC7_UNORM, 512, 512, 10, true},
       false,
       {0x21007, 512, 512, 0, 10, 0x4, DX10_FOURCC, 0, 0, 0, 0, 0, 0x401008, 0xFE00, true, 98, 4}},
      {"2D, 9 mips",
       {format_t::R8G8B8A8_UNORM, 256, 256, 9, false},
       false,
       {0x21007, 256, 256, 0, 9, 0x4, DX10_FOURCC, 0, 0, 0, 0, 0, 0x401008, 0, true, 28, 0}},
      {"cube, one mip",
       {format_t::R16G16B16A16_FLOAT, 4, 4, 1, true},
       false,
       {0x1007, 4, 4, 0, 0, 0x4, DX10_FOURCC, 0, 0, 0, 0, 0, 0x1008, 0xFE00, true, 10, 4}},
      {"our own format number",
       {format_t::B8G8R8_UNORM_SRGB, 3, 5, 1, false},
       false,
       {0x1007, 5, 3, 0, 0, 0x4, DX10_FOURCC, 0, 0, 0, 0, 0, 0x1000, 0, true, 203, 0}},
      {"legacy block format: linear size of the top level",
       {format_t::BC1_UNORM_SRGB, 256, 256, 9, false},
       true,
       {0xA1007, 256, 256, 32768, 9, 0x4, dxt1, 0, 0, 0, 0, 0, 0x401008, 0, false, 0, 0}},
      {"legacy block format below one block",
       {format_t::BC1_UNORM, 2, 1, 1, true},
       true,
       {0x81007, 1, 2, 8, 0, 0x4, dxt1, 0, 0, 0, 0, 0, 0x1008, 0xFE00, false, 0, 0}},
      {"legacy 24-bit pixels: pitch of a row",
       {format_t::B8G8R8_UNORM_SRGB, 5, 3, 3, false},
       true,
       {0x2100F, 3, 5, 15, 3, 0x40, 0, 24, 0xFF0000, 0xFF00, 0xFF, 0, 0x401008, 0, false, 0, 0}},
      {"legacy floats",
       {format_t::R32G32B32A32_FLOAT, 7, 2, 1, false},
       true,
       {0x100F, 2, 7, 112, 0, 0x4, 116, 0, 0, 0, 0, 0, 0x1000, 0, false, 0, 0}},
      {"legacy asked for, none there",
       {format_t::BC7_UNORM, 8, 8, 1, false},
       true,
       {0x1007, 8, 8, 0, 0, 0x4, DX10_FOURCC, 0, 0, 0, 0, 0, 0x1000, 0, true, 98, 0}},
  };
  for (const header_case_t& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(header_bytes(dds_make_header(c.surface, c.legacy)), c.expected.bytes());
  }
}

// Formats the legacy header can name, by what the DDS reader makes of it and, for the
// linear ones, the descriptor's colour space.
const std::set<unsigned> LEGACY_FORMATS = {2,  10, 16, 28, 29, 34, 35, 41, 54,  61,  71,  72,  74,
                                           75, 77, 78, 80, 83, 87, 91, 93, 200, 201, 202, 203, 220};

// Reading a written header back must give the image it was written for: the DDS reader
// of `create` on a file of the header and the levels, then the colour-space rule of a
// descriptor that says what the header told.
class dds_header_round_trip_t : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_shutdown();
    ASSERT_TRUE(fs_startup(dir_.path().c_str()));
  }
  void TearDown() override { fs_shutdown(); }

  // The image record of the surface as `create` reads it from a rebuilt file, or a
  // failure.
  ::testing::AssertionResult read_back(const dds_surface_t& surface, bool legacy, fs_meta_image_t* image) {
    const dds_written_header_t header = dds_make_header(surface, legacy);
    std::string file(reinterpret_cast<const char*>(header.bytes), header.size);
    const u64 faces = surface.cube ? 6 : 1;
    file.append(faces * surface_get_chain_size(surface.format, surface.width, surface.height, surface.mip_count), 'p');
    umbra_test::write_file(dir_ / "x.dds", file);
    auto_ptr_t<file_t> opened;
    fs_mstat_t set;
    if (!fs_open(opened, "/x.dds", FS_MODE_READ_ONLY, FS_DEVICE_SYSFS) || !fs_meta_dds(&set, *opened, 0, 0)) {
      return ::testing::AssertionFailure() << "not readable";
    }
    fs_chunk_t chunk{};
    if (!fs_meta_get_image(&set, image) || !fs_meta_get_chunk(&set, FS_TOKEN_CHUNK_MIP_TAIL, &chunk))
      return ::testing::AssertionFailure() << "no records";
    tobj_header_t descriptor = tobj_make_rebuild_header(surface.cube);
    if (header.linear) descriptor.color_space = TOBJ_COLOR_SPACE_LINEAR;
    image->format = tobj_apply_color_space(descriptor, image->format);
    if (chunk.offset != header.size || chunk.size != file.size() - header.size)
      return ::testing::AssertionFailure() << "pixels at " << chunk.offset;
    return ::testing::AssertionSuccess();
  }

  umbra_test::temp_dir_t dir_;
  umbra_test::log_capture_t log_;
};

TEST_F(dds_header_round_trip_t, every_format_reads_back_as_itself_with_either_header) {
  std::set<unsigned> seen_legacy;
  for (unsigned number = 0; number < 256; ++number) {
    const format_t format = static_cast<format_t>(number);
    if (!format_is_layout_supported(format)) continue;
    for (const bool legacy : {false, true}) {
      for (const dds_surface_t& surface : {dds_surface_t{format, 8, 4, 4, false}, dds_surface_t{format, 4, 4, 1, true}}) {
        SCOPED_TRACE(std::string(format_name(format)) + (legacy ? " legacy" : " DX10") + (surface.cube ? " cube" : ""));
        const dds_written_header_t header = dds_make_header(surface, legacy);
        if (!legacy || header.size == DDS_HEADER_SIZE + DDS_DX10_HEADER_SIZE) {
          EXPECT_EQ(header.size, 148u);
          EXPECT_EQ(load(header.bytes, 128), number);
          EXPECT_FALSE(header.linear);
        } else {
          EXPECT_EQ(header.size, 128u);
          seen_legacy.insert(number);
        }
        fs_meta_image_t image{};
        ASSERT_TRUE(read_back(surface, legacy, &image));
        EXPECT_EQ(static_cast<unsigned>(image.format), number);
        EXPECT_EQ(image.width, surface.width);
        EXPECT_EQ(image.height, surface.height);
        EXPECT_EQ(image.mip_count, surface.mip_count);
        EXPECT_EQ(image.face_count, surface.cube ? 6u : 1u);
      }
    }
  }
  EXPECT_EQ(seen_legacy, LEGACY_FORMATS);
}

TEST(dds_make_header, legacy_headers_flag_linear_formats_only) {
  const std::set<unsigned> linear = {28, 71, 74, 77, 87, 200, 201};
  for (unsigned number : LEGACY_FORMATS) {
    const dds_written_header_t header = dds_make_header({static_cast<format_t>(number), 4, 4, 1, false}, true);
    EXPECT_EQ(header.linear, linear.count(number) == 1) << number;
  }
}

}  // namespace
