#include "umbracore/umbrautils/format/dds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/run_tool.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_file.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/ufs/fs_meta_builders.h"

using namespace umbra;

namespace {

// A DDS file assembled field by field; offsets count from the start of the file.
struct dds_bytes_t {
  std::vector<u8> bytes = std::vector<u8>(DDS_HEADER_SIZE, 0);

  dds_bytes_t() {
    std::memcpy(bytes.data(), "DDS ", 4);
    put(4, 124);
    put(DDS_OFFSET_FLAGS, 0x1007 | DDS_FLAG_PIXEL_FORMAT);
    put(76, 32);
  }
  dds_bytes_t& put(u32 offset, u32 value) {
    if (bytes.size() < offset + 4) bytes.resize(offset + 4, 0);
    std::memcpy(bytes.data() + offset, &value, 4);
    return *this;
  }
  dds_bytes_t& size(u32 width, u32 height) { return put(DDS_OFFSET_WIDTH, width).put(DDS_OFFSET_HEIGHT, height); }
  dds_bytes_t& fourcc(const char* code) {
    return put(DDS_OFFSET_PF_FLAGS, DDS_PF_FOURCC)
        .put(DDS_OFFSET_PF_FOURCC, dds_fourcc(code[0], code[1], code[2], code[3]));
  }
  dds_bytes_t& masks(u32 flags, u32 bit_count, u32 r, u32 g, u32 b, u32 a) {
    return put(DDS_OFFSET_PF_FLAGS, flags)
        .put(DDS_OFFSET_PF_BIT_COUNT, bit_count)
        .put(DDS_OFFSET_PF_R_MASK, r)
        .put(DDS_OFFSET_PF_G_MASK, g)
        .put(DDS_OFFSET_PF_B_MASK, b)
        .put(DDS_OFFSET_PF_A_MASK, a);
  }
  dds_bytes_t& caps(u32 caps, u32 caps2, u32 mip_count) {
    return put(DDS_OFFSET_CAPS, caps).put(DDS_OFFSET_CAPS2, caps2).put(DDS_OFFSET_MIP_COUNT, mip_count);
  }
  // The DX10 header: format, resource dimension 3 (2D), misc flag, array size.
  dds_bytes_t& dx10(u32 dxgi_format, u32 array_size = 1) {
    fourcc("DX10");
    bytes.resize(DDS_HEADER_SIZE + DDS_DX10_HEADER_SIZE, 0);
    return put(128, dxgi_format).put(132, 3).put(140, array_size);
  }
  dds_bytes_t& pixels(size_t n) {
    for (size_t i = 0; i < n; ++i) bytes.push_back(static_cast<u8>(i));
    return *this;
  }
  std::string text() const { return std::string(bytes.begin(), bytes.end()); }
};

struct legacy_case_t {
  const char* what;
  dds_bytes_t header;
  format_t format;
};

TEST(dds_get_format, legacy_mapping) {
  const u32 rgb = DDS_PF_RGB, rgba = DDS_PF_RGBA;
  const legacy_case_t cases[] = {
      {"DXT1", dds_bytes_t().fourcc("DXT1"), format_t::BC1_UNORM_SRGB},
      {"DXT3", dds_bytes_t().fourcc("DXT3"), format_t::BC2_UNORM_SRGB},
      {"DXT5", dds_bytes_t().fourcc("DXT5"), format_t::BC3_UNORM_SRGB},
      {"ATI1", dds_bytes_t().fourcc("ATI1"), format_t::BC4_UNORM},
      {"ATI2", dds_bytes_t().fourcc("ATI2"), format_t::BC5_UNORM},
      {"DXT1 without DDSD_PIXELFORMAT", dds_bytes_t().fourcc("DXT1").put(DDS_OFFSET_FLAGS, 0x7), format_t::UNKNOWN},
      {"D3D 111", dds_bytes_t().put(DDS_OFFSET_PF_FLAGS, 4).put(DDS_OFFSET_PF_FOURCC, 111), format_t::R16_FLOAT},
      {"D3D 112", dds_bytes_t().put(DDS_OFFSET_PF_FLAGS, 4).put(DDS_OFFSET_PF_FOURCC, 112), format_t::R16G16_FLOAT},
      {"D3D 113", dds_bytes_t().put(DDS_OFFSET_PF_FLAGS, 4).put(DDS_OFFSET_PF_FOURCC, 113),
       format_t::R16G16B16A16_FLOAT},
      {"D3D 114", dds_bytes_t().put(DDS_OFFSET_PF_FLAGS, 4).put(DDS_OFFSET_PF_FOURCC, 114), format_t::R32_FLOAT},
      {"D3D 115", dds_bytes_t().put(DDS_OFFSET_PF_FLAGS, 4).put(DDS_OFFSET_PF_FOURCC, 115), format_t::R32G32_FLOAT},
      {"D3D 116", dds_bytes_t().put(DDS_OFFSET_PF_FLAGS, 4).put(DDS_OFFSET_PF_FOURCC, 116),
       format_t::R32G32B32A32_FLOAT},
      {"D3D number without FOURCC flag", dds_bytes_t().put(DDS_OFFSET_PF_FOURCC, 113), format_t::UNKNOWN},
      {"unknown FourCC alone", dds_bytes_t().fourcc("DXT2"), format_t::UNKNOWN},
      {"unknown FourCC goes on to the masks",
       dds_bytes_t().masks(DDS_PF_FOURCC | rgba, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000u).put(DDS_OFFSET_PF_FOURCC, 1),
       format_t::B8G8R8A8_UNORM_SRGB},
      {"A8R8G8B8", dds_bytes_t().masks(rgba, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000u), format_t::B8G8R8A8_UNORM_SRGB},
      {"A8B8G8R8", dds_bytes_t().masks(rgba, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000u), format_t::R8G8B8A8_UNORM_SRGB},
      {"shared exponent", dds_bytes_t().masks(rgba, 32, 0xFF800000u, 0x7FC000, 0x3FE0, 0x1F),
       format_t::R9G9B9E5_SHAREDEXP},
      {"other alpha masks", dds_bytes_t().masks(rgba, 16, 0xF00, 0xF0, 0xF, 0xF000), format_t::UNKNOWN},
      {"alpha flag with RGB masks", dds_bytes_t().masks(rgba, 24, 0xFF0000, 0xFF00, 0xFF, 0), format_t::UNKNOWN},
      {"R8G8B8 at 24 bits", dds_bytes_t().masks(rgb, 24, 0xFF0000, 0xFF00, 0xFF, 0), format_t::B8G8R8_UNORM_SRGB},
      {"B8G8R8 at 24 bits", dds_bytes_t().masks(rgb, 24, 0xFF, 0xFF00, 0xFF0000, 0), format_t::R8G8B8_UNORM_SRGB},
      // The X8 layouts share the masks of the 24-bit ones; only the bit count tells them apart.
      {"X8R8G8B8", dds_bytes_t().masks(rgb, 32, 0xFF0000, 0xFF00, 0xFF, 0), format_t::B8G8R8X8_UNORM_SRGB},
      {"X8B8G8R8", dds_bytes_t().masks(rgb, 32, 0xFF, 0xFF00, 0xFF0000, 0), format_t::R8G8B8X8_UNORM_SRGB},
      {"RGB masks at 16 bits", dds_bytes_t().masks(rgb, 16, 0xFF0000, 0xFF00, 0xFF, 0), format_t::UNKNOWN},
      {"BGR masks without bit count", dds_bytes_t().masks(rgb, 0, 0xFF, 0xFF00, 0xFF0000, 0), format_t::UNKNOWN},
      {"G16R16", dds_bytes_t().masks(rgb, 32, 0xFFFF, 0xFFFF0000u, 0, 0), format_t::R16G16_UNORM},
      {"R5G6B5", dds_bytes_t().masks(rgb, 16, 0xF800, 0x7E0, 0x1F, 0), format_t::UNKNOWN},
      {"A8", dds_bytes_t().masks(DDS_PF_ALPHA, 8, 0, 0, 0, 0xFF), format_t::R8_UNORM},
      {"alpha flag with another mask", dds_bytes_t().masks(DDS_PF_ALPHA, 8, 0, 0, 0, 0xFF00), format_t::UNKNOWN},
      {"only the low flag byte counts", dds_bytes_t().masks(0x80000000u | rgb, 24, 0xFF0000, 0xFF00, 0xFF, 0),
       format_t::B8G8R8_UNORM_SRGB},
      {"flags above the low byte alone", dds_bytes_t().masks(0x4100, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000u),
       format_t::UNKNOWN},
      {"no pixel format flags", dds_bytes_t(), format_t::UNKNOWN},
  };
  for (const legacy_case_t& c : cases) {
    EXPECT_EQ(static_cast<unsigned>(dds_get_format(c.header.bytes.data())), static_cast<unsigned>(c.format)) << c.what;
  }
}

// A temporary directory served by the system device, and the file system around it.
class dds_files_t : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_shutdown();
    ASSERT_TRUE(fs_startup(dir_.path().c_str()));
  }
  void TearDown() override { fs_shutdown(); }

  // Writes the file, opens it through the system device and runs the DDS builder.
  bool build(const std::string& name, const dds_bytes_t& dds, fs_mstat_t* set, u64 base_offset = 0,
             u8 compression = 0) {
    umbra_test::write_file(dir_ / name, dds.text());
    return build_existing("/" + name, set, base_offset, compression);
  }
  bool build_existing(const std::string& path, fs_mstat_t* set, u64 base_offset = 0, u8 compression = 0) {
    auto_ptr_t<file_t> file;
    if (!fs_open(file, path.c_str(), FS_MODE_READ_ONLY, FS_DEVICE_SYSFS)) {
      ADD_FAILURE() << "cannot open " << path;
      return false;
    }
    return fs_meta_dds(set, *file, base_offset, compression);
  }

  umbra_test::temp_dir_t dir_;
  umbra_test::log_capture_t log_;
};

struct image_expect_t {
  format_t format;
  u32 width, height, faces, mips;
};

void expect_image(const fs_mstat_t& set, const image_expect_t& e) {
  fs_meta_image_t image{};
  ASSERT_TRUE(fs_meta_get_image(&set, &image));
  EXPECT_EQ(static_cast<unsigned>(image.format), static_cast<unsigned>(e.format));
  EXPECT_EQ(image.image_type, 0u);
  EXPECT_EQ(image.width, e.width);
  EXPECT_EQ(image.height, e.height);
  EXPECT_EQ(image.face_count, e.faces);
  EXPECT_EQ(image.mip_count, e.mips);
  EXPECT_EQ(image.pitch_alignment, 1u);
  EXPECT_EQ(image.image_alignment, 1u);
}

fs_chunk_t mip_tail(const fs_mstat_t& set) {
  fs_chunk_t chunk{};
  EXPECT_TRUE(fs_meta_get_chunk(&set, FS_TOKEN_CHUNK_MIP_TAIL, &chunk));
  return chunk;
}

struct caps_case_t {
  const char* what;
  dds_bytes_t dds;
  image_expect_t image;
};

TEST_F(dds_files_t, faces_and_mips_follow_the_caps) {
  const u32 complex = DDS_CAPS_COMPLEX, mipmap = DDS_CAPS_MIPMAP, cube = DDS_CAPS2_CUBEMAP;
  const caps_case_t cases[] = {
      {"mipmapped", dds_bytes_t().fourcc("DXT1").size(16, 16).caps(complex | mipmap, 0, 5),
       {format_t::BC1_UNORM_SRGB, 16, 16, 1, 5}},
      {"cube without mipmap caps", dds_bytes_t().fourcc("DXT1").size(16, 16).caps(complex, cube | 0xFC00, 10),
       {format_t::BC1_UNORM_SRGB, 16, 16, 6, 1}},
      {"cube with mips", dds_bytes_t().fourcc("DXT5").size(8, 8).caps(complex | mipmap, 0xFE00, 4),
       {format_t::BC3_UNORM_SRGB, 8, 8, 6, 4}},
      {"mipmap caps without complex", dds_bytes_t().fourcc("DXT1").size(16, 16).caps(mipmap, cube, 5),
       {format_t::BC1_UNORM_SRGB, 16, 16, 1, 1}},
      {"mip count 0", dds_bytes_t().fourcc("DXT1").size(16, 16).caps(complex | mipmap, 0, 0),
       {format_t::BC1_UNORM_SRGB, 16, 16, 1, 1}},
      {"DX10 array of six without cube caps", dds_bytes_t().dx10(98, 6).size(64, 32).caps(complex, 0, 0),
       {format_t::BC7_UNORM, 64, 32, 1, 1}},
      {"DX10 cube", dds_bytes_t().dx10(71, 1).size(4, 4).caps(complex, cube, 0), {format_t::BC1_UNORM, 4, 4, 6, 1}},
      {"largest size", dds_bytes_t().fourcc("ATI1").size(65536, 1).caps(complex | mipmap, 0, 16),
       {format_t::BC4_UNORM, 65536, 1, 1, 16}},
  };
  for (const caps_case_t& c : cases) {
    SCOPED_TRACE(c.what);
    fs_mstat_t set;
    ASSERT_TRUE(build("case.dds", c.dds, &set));
    expect_image(set, c.image);
  }
  EXPECT_TRUE(log_.errors().empty());
}

TEST_F(dds_files_t, loose_file_chunk_covers_the_bytes_after_the_headers) {
  fs_mstat_t set;
  // 4x4 B8G8R8A8: 64 pixel bytes behind the 128-byte header.
  ASSERT_TRUE(build("bgra.dds",
                    dds_bytes_t().masks(DDS_PF_RGBA, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000u).size(4, 4).pixels(64),
                    &set));
  expect_image(set, {format_t::B8G8R8A8_UNORM_SRGB, 4, 4, 1, 1});
  fs_chunk_t chunk = mip_tail(set);
  EXPECT_EQ(chunk.stored_size, 64u);
  EXPECT_EQ(chunk.size, 64u);
  EXPECT_EQ(chunk.aux_size, 0u);
  EXPECT_EQ(chunk.offset, 128u);
  EXPECT_EQ(chunk.payload_offset, 0u);
  EXPECT_EQ(chunk.compression, 0u);
  EXPECT_EQ(chunk.attribute, 1u);

  // A DX10 file's pixels begin after both headers; the base offset moves the chunk.
  fs_mstat_t dx10;
  ASSERT_TRUE(build("dx10.dds", dds_bytes_t().dx10(28).size(2, 2).pixels(16), &dx10, 4096));
  chunk = mip_tail(dx10);
  EXPECT_EQ(chunk.size, 16u);
  EXPECT_EQ(chunk.offset, 4096u + 148u);
}

TEST_F(dds_files_t, records_come_in_order_through_the_general_builder) {
  umbra_test::write_file(dir_ / "full.dds", dds_bytes_t().fourcc("DXT1").size(4, 4).pixels(8).text());
  auto_ptr_t<file_t> file;
  ASSERT_TRUE(fs_open(file, "/full.dds", FS_MODE_READ_ONLY, FS_DEVICE_SYSFS));
  fs_mstat_t set;
  ASSERT_TRUE(fs_meta_build(&set, *file, 0, 0));
  ASSERT_EQ(set.records.count(), 3u);
  EXPECT_EQ(set.records[0].token, FS_TOKEN_IMAGE);
  EXPECT_EQ(set.records[1].token, FS_TOKEN_CHUNK_MIP_TAIL);
  EXPECT_EQ(set.records[2].token, FS_TOKEN_CHUNK_PLAIN);
  EXPECT_EQ(set.words.count(), 14u);
  // Image word 0: format 72 in bits 4-11; word 1: width - 1 and height - 1.
  EXPECT_EQ(set.words[0], 72u << 4);
  EXPECT_EQ(set.words[1], 3u | 3u << 16);
  // Mip tail: attribute 1, 8 bytes at 128.
  EXPECT_EQ(std::vector<u32>(set.words.begin() + 2, set.words.begin() + 8), (std::vector<u32>{0x10, 8, 0, 8, 128, 0}));
}

// A file inside a compressed container: its stat tells the unpacked size and the stored size.
class container_file_t final : public file_t {
 public:
  container_file_t(const char* name, std::vector<u8> bytes, u64 stored_size)
      : file_t(name), bytes_(std::move(bytes)), stored_size_(stored_size) {}
  bool stat(fs_stat_t* out) override {
    out->kind = FS_KIND_FILE;
    out->size = bytes_.size();
    out->stored_size = stored_size_;
    return true;
  }
  fs_io_request_t* io_read(void* buffer, u64 size, u64 offset, u32) override {
    if (offset > bytes_.size() || size > bytes_.size() - offset) return nullptr;
    std::memcpy(buffer, bytes_.data() + offset, size);
    return fs_completed_request();
  }
  bool io_wait(fs_io_request_t*) override { return true; }
  bool get_path(string& out) override { return out.assign(name); }
  bool get_ufs_path(string&) override { return false; }
  void get_debug_name(string& out) override { out.assign(name); }

 private:
  std::vector<u8> bytes_;
  u64 stored_size_;
};

TEST(dds_container, compressed_container_describes_the_whole_stored_file) {
  for (const bool dx10 : {false, true}) {
    dds_bytes_t dds = dx10 ? dds_bytes_t().dx10(77) : dds_bytes_t().fourcc("DXT5");
    dds.size(8, 8).pixels(64);
    container_file_t file("packed.dds", dds.bytes, 77);
    fs_mstat_t set;
    ASSERT_TRUE(fs_meta_dds(&set, file, 5000, 1));
    fs_chunk_t chunk = mip_tail(set);
    EXPECT_EQ(chunk.stored_size, 77u);
    EXPECT_EQ(chunk.size, dds.bytes.size());
    EXPECT_EQ(chunk.offset, 5000u);
    EXPECT_EQ(chunk.payload_offset, dx10 ? 148u : 128u);
    EXPECT_EQ(chunk.compression, 1u);
    EXPECT_EQ(chunk.attribute, 1u);
    EXPECT_EQ(chunk.aux_size, 0u);
    // What the pixels need is measured from the payload offset.
    EXPECT_TRUE(dds_chunk_holds_image(chunk, fs_meta_image_t{format_t::BC3_UNORM, 0, 8, 8, 1, 1, 1, 1}));
    EXPECT_FALSE(dds_chunk_holds_image(chunk, fs_meta_image_t{format_t::BC3_UNORM, 0, 8, 8, 1, 2, 1, 1}));
  }
}

TEST_F(dds_files_t, declared_pixels_beyond_the_file_are_not_claimed) {
  // BC1 64x64 with 7 mips needs 2048 + 512 + 128 + 32 + 3 * 8 = 2744 bytes; the file holds 100.
  fs_mstat_t set;
  ASSERT_TRUE(build("short.dds", dds_bytes_t().fourcc("DXT1").size(64, 64).caps(0x401008, 0, 7).pixels(100), &set));
  fs_meta_image_t image{};
  ASSERT_TRUE(fs_meta_get_image(&set, &image));
  fs_chunk_t chunk = mip_tail(set);
  EXPECT_EQ(chunk.size, 100u);
  EXPECT_EQ(chunk.stored_size, 100u);
  EXPECT_FALSE(dds_chunk_holds_image(chunk, image));

  // Exactly enough, and more than enough, are both fine; six faces of it are not.
  fs_mstat_t exact, more;
  ASSERT_TRUE(build("exact.dds", dds_bytes_t().fourcc("DXT1").size(64, 64).caps(0x401008, 0, 7).pixels(2744), &exact));
  ASSERT_TRUE(build("more.dds", dds_bytes_t().fourcc("DXT1").size(64, 64).caps(0x401008, 0, 7).pixels(2745), &more));
  EXPECT_TRUE(dds_chunk_holds_image(mip_tail(exact), image));
  EXPECT_TRUE(dds_chunk_holds_image(mip_tail(more), image));
  EXPECT_FALSE(dds_chunk_holds_levels(mip_tail(exact), image.format, 64, 64, 6, 7));

  // A header without any pixel bytes at all.
  fs_mstat_t empty;
  ASSERT_TRUE(build("empty.dds", dds_bytes_t().fourcc("DXT1").size(4, 4), &empty));
  EXPECT_EQ(mip_tail(empty).size, 0u);
  EXPECT_FALSE(dds_chunk_holds_levels(mip_tail(empty), format_t::BC1_UNORM, 4, 4, 1, 1));
}

struct failure_case_t {
  const char* name;
  dds_bytes_t dds;
  const char* message;
};

TEST_F(dds_files_t, failures_log_one_line_and_append_nothing) {
  dds_bytes_t short_header;
  short_header.bytes.resize(127);
  dds_bytes_t short_dx10 = dds_bytes_t().dx10(98).size(4, 4);
  short_dx10.bytes.resize(147);
  const failure_case_t cases[] = {
      {"short.dds", short_header, "[dds] Failed to read header of '/short.dds'"},
      {"short_dx10.dds", short_dx10, "[dds] Failed to read dx10 header of '/short_dx10.dds'"},
      {"dx10_zero.dds", dds_bytes_t().dx10(0).size(4, 4), "[dds] Incompatible image type '/dx10_zero.dds'"},
      {"no_pf.dds", dds_bytes_t().fourcc("DXT1").put(DDS_OFFSET_FLAGS, 0x7).size(4, 4),
       "[dds] Incompatible image type '/no_pf.dds'"},
      {"r5g6b5.dds", dds_bytes_t().masks(DDS_PF_RGB, 16, 0xF800, 0x7E0, 0x1F, 0).size(4, 4),
       "[dds] Incompatible image type '/r5g6b5.dds'"},
      // Formats without a table row or whose levels cannot be laid out.
      {"dx10_150.dds", dds_bytes_t().dx10(150).size(4, 4), "[dds] Incompatible image type '/dx10_150.dds'"},
      {"dx10_r1.dds", dds_bytes_t().dx10(66).size(8, 8), "[dds] Incompatible image type '/dx10_r1.dds'"},
      {"dx10_pvrtc.dds", dds_bytes_t().dx10(214).size(8, 8), "[dds] Incompatible image type '/dx10_pvrtc.dds'"},
      // 0x162 is no format; its low byte (98) must not be taken for BC7.
      {"dx10_wide.dds", dds_bytes_t().dx10(0x162).size(4, 4), "[dds] Incompatible image type '/dx10_wide.dds'"},
      // Sizes the image record cannot hold.
      {"zero_width.dds", dds_bytes_t().fourcc("DXT1").size(0, 4), "[dds] Incompatible image type '/zero_width.dds'"},
      {"zero_height.dds", dds_bytes_t().fourcc("DXT1").size(4, 0), "[dds] Incompatible image type '/zero_height.dds'"},
      {"wide.dds", dds_bytes_t().fourcc("DXT1").size(65537, 4), "[dds] Incompatible image type '/wide.dds'"},
      {"mips.dds", dds_bytes_t().fourcc("DXT1").size(65536, 65536).caps(0x401008, 0, 17),
       "[dds] Incompatible image type '/mips.dds'"},
      {"chain.dds", dds_bytes_t().fourcc("DXT1").size(4, 2).caps(0x401008, 0, 4),
       "[dds] Incompatible image type '/chain.dds'"},
  };
  for (const failure_case_t& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    fs_mstat_t set;
    EXPECT_FALSE(build(c.name, c.dds, &set));
    log_.expect_last_error_once(c.message);
    EXPECT_EQ(set.records.count(), 0u);
    EXPECT_EQ(set.words.count(), 0u);
  }
}

struct fixture_case_t {
  const char* name;
  image_expect_t image;
  u64 pixel_bytes;
};

// Files written by independent tools (see tests/fixtures/dds/README.md).
TEST(dds_fixtures, headers_written_by_other_tools) {
  const fixture_case_t cases[] = {
      {"nvtt_bc1_32x32_mips.dds", {format_t::BC1_UNORM_SRGB, 32, 32, 1, 6}, 696},
      {"nvtt_bc3_32x16_mips.dds", {format_t::BC3_UNORM_SRGB, 32, 16, 1, 6}, 720},
      {"nvtt_bc5_32x32_mips.dds", {format_t::BC5_UNORM, 32, 32, 1, 6}, 1392},
      {"nvtt_a8r8g8b8_8x8.dds", {format_t::B8G8R8A8_UNORM_SRGB, 8, 8, 1, 1}, 256},
      // 32-bit pixels without alpha: read as 24-bit they would be packed wrongly.
      {"nvtt_x8r8g8b8_cube_8x8.dds", {format_t::B8G8R8X8_UNORM_SRGB, 8, 8, 6, 1}, 1536},
      {"magick_r8g8b8_8x8.dds", {format_t::B8G8R8_UNORM_SRGB, 8, 8, 1, 1}, 192},
  };
  umbra_test::log_capture_t log;
  fs_shutdown();
  ASSERT_TRUE(fs_startup(UMBRA_SOURCE_DIR "/tests/fixtures/dds"));
  for (const fixture_case_t& c : cases) {
    SCOPED_TRACE(c.name);
    auto_ptr_t<file_t> file;
    ASSERT_TRUE(fs_open(file, (std::string("/") + c.name).c_str(), FS_MODE_READ_ONLY, FS_DEVICE_SYSFS));
    fs_mstat_t set;
    ASSERT_TRUE(fs_meta_dds(&set, *file, 0, 0));
    expect_image(set, c.image);
    fs_chunk_t chunk = mip_tail(set);
    EXPECT_EQ(chunk.size, c.pixel_bytes);
    EXPECT_EQ(chunk.offset, 128u);
    // Each tool wrote exactly the tight chains its header declares.
    fs_meta_image_t image{};
    ASSERT_TRUE(fs_meta_get_image(&set, &image));
    EXPECT_EQ(surface_get_chain_size(image.format, image.width, image.height, image.mip_count) * image.face_count,
              c.pixel_bytes);
  }
  EXPECT_TRUE(log.errors().empty());
  fs_shutdown();
}

}  // namespace
