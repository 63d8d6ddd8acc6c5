// DDS image headers: the legacy DDS_HEADER (with its pixel format) and the DX10
// extension. Pixels are never decoded; the header tells the format, the size, the faces
// and the mips, and where the pixel bytes lie.
#pragma once

#include "umbracore/types.h"
#include "umbracore/umbrautils/format/format_tools.h"

namespace umbra {

struct fs_chunk_t;
struct fs_meta_image_t;

// Bytes from the start of the file: the magic and the DDS_HEADER, then the DX10 header.
constexpr u32 dds_header_size = 128;
constexpr u32 dds_dx10_header_size = 20;

// Byte offsets of the fields that are read, counted from the start of the file.
constexpr u32 dds_offset_flags = 8;
constexpr u32 dds_offset_height = 12;
constexpr u32 dds_offset_width = 16;
constexpr u32 dds_offset_mip_count = 28;
constexpr u32 dds_offset_pf_flags = 80;
constexpr u32 dds_offset_pf_fourcc = 84;
constexpr u32 dds_offset_pf_bit_count = 88;
constexpr u32 dds_offset_pf_r_mask = 92;
constexpr u32 dds_offset_pf_g_mask = 96;
constexpr u32 dds_offset_pf_b_mask = 100;
constexpr u32 dds_offset_pf_a_mask = 104;
constexpr u32 dds_offset_caps = 108;
constexpr u32 dds_offset_caps2 = 112;
constexpr u32 dds_offset_dxgi_format = 128;

constexpr u32 dds_flag_pixel_format = 0x1000;
constexpr u32 dds_pf_alpha = 0x2;
constexpr u32 dds_pf_fourcc = 0x4;
constexpr u32 dds_pf_rgb = 0x40;
constexpr u32 dds_pf_rgba = 0x41;
constexpr u32 dds_caps_complex = 0x8;
constexpr u32 dds_caps_mipmap = 0x400000;
constexpr u32 dds_caps2_cubemap = 0x200;

constexpr u32 dds_fourcc(char a, char b, char c, char d) {
  return (u32)(u8)a | (u32)(u8)b << 8 | (u32)(u8)c << 16 | (u32)(u8)d << 24;
}

// The format of a legacy header (the first dds_header_size bytes of the file);
// UNKNOWN when the header describes nothing the system can use.
format_t dds_get_format(const u8* header);

// Whether the bytes that a DDS's mip tail chunk describes hold every level of faces
// faces of the image. A DDS file may declare more pixel data than it holds; the chunk
// records only what the file has, so whoever reads the levels checks here first.
bool dds_chunk_holds_levels(const fs_chunk_t& chunk, format_t format, u32 width, u32 height, u32 faces, u32 mips);
// The same for the faces the image record itself declares.
bool dds_chunk_holds_image(const fs_chunk_t& chunk, const fs_meta_image_t& image);

// ---- writing ----

constexpr u32 dds_max_header_size = dds_header_size + dds_dx10_header_size;

// What a written DDS file holds after its header: every level of every face, face-major,
// rows back to back.
struct dds_surface_t {
  format_t format;
  u32 width;
  u32 height;
  u32 mip_count;
  bool cube;  // six faces
};

struct dds_written_header_t {
  u8 bytes[dds_max_header_size];
  u32 size;  // dds_max_header_size with the DX10 extension, else dds_header_size
  // The legacy header names the sRGB twin of the surface's linear format (legacy headers
  // cannot tell the two apart): whoever reads the file must be told the colour space.
  bool linear;
};

// The header of a DDS file holding the surface. By default the DX10 extension carries
// the format number. With legacy, formats that a pre-DX10 header can name (by FourCC or
// by bit masks, as dds_get_format reads them back) get that header instead, which far
// more readers understand; the others keep the DX10 one.
dds_written_header_t dds_make_header(const dds_surface_t& surface, bool legacy);

}  // namespace umbra
