// Test support: small DDS images and texture descriptors written byte by byte, and the
// layout that image entries give their levels, computed independently of the tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace umbra_test {

// A DDS header. With fourcc "DX10" the DX10 extension follows and carries dxgi_format;
// with another non-empty fourcc the pixel format is that FourCC; with an empty fourcc
// it is given by the bit count and masks (pf_flags 0x40 RGB, 0x41 with alpha).
struct dds_desc_t {
  uint32_t width = 4;
  uint32_t height = 4;
  uint32_t mips = 1;  // above 1 sets the complex and mipmap caps
  bool cube = false;  // sets the complex caps and every cube face flag
  std::string fourcc = "DX10";
  uint32_t dxgi_format = 71;  // BC1_UNORM
  uint32_t pf_flags = 0;
  uint32_t bit_count = 0;
  uint32_t r_mask = 0, g_mask = 0, b_mask = 0, a_mask = 0;
};

// The 128-byte header (148 with "DX10").
std::string dds_header(const dds_desc_t& desc);
// Header, then the pixel bytes.
std::string dds_file(const dds_desc_t& desc, const std::string& pixels);
// Deterministic bytes that look like pixel data (a noisy ramp), or that no compressor
// can shrink (uniform random).
std::string patterned_bytes(size_t n, uint32_t seed);
std::string random_bytes(size_t n, uint32_t seed);

// A texture descriptor: the 40-byte header, then each name as a u64 count and its bytes.
struct tobj_desc_t {
  uint8_t texture_type = 2;  // 5 is a cube map
  uint8_t filter_primary = 1;
  uint8_t filter_secondary = 1;
  uint8_t mip_filter = 2;
  uint8_t address_u = 0, address_v = 0, address_w = 0;
  uint8_t color_space = 0;  // 1 declares sRGB formats linear
  std::vector<std::string> names;
};
std::string tobj_file(const tobj_desc_t& desc);

// How a format stores its levels, for the layout below.
struct surface_kind_t {
  uint32_t bytes;  // per pixel, or per 4x4 block
  bool blocks;     // 4x4 blocks
};

// One level of an image entry's layout.
struct level_place_t {
  uint64_t offset;   // from the start of the entry's data
  uint64_t line;     // bytes of one row (of pixels or of blocks)
  uint64_t rows;
  uint64_t pitch;    // line rounded up to 256
  uint64_t tight;    // offset of the level in a tightly stored face (as in a DDS)
};

// The levels of one face laid out tightly and, face after face, laid out as an image
// entry stores them (rows at multiples of 256, levels at multiples of 512, no padding
// after the last row). total is the entry's data size.
std::vector<level_place_t> entry_levels(surface_kind_t kind, uint32_t width, uint32_t height, uint32_t mips,
                                        uint32_t faces, uint64_t* total, uint64_t* face_bytes);

// The entry data expected for tightly stored faces (face after face, as in a DDS file).
std::string expected_entry_data(surface_kind_t kind, uint32_t width, uint32_t height, uint32_t mips, uint32_t faces,
                                const std::string& tight_faces);

// A file of tests/fixtures, e.g. "dds/nvtt_bc1_32x32_mips.dds".
std::string texture_fixture(const std::string& name);

}  // namespace umbra_test
