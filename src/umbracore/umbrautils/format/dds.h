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
constexpr u32 DDS_HEADER_SIZE = 128;
constexpr u32 DDS_DX10_HEADER_SIZE = 20;

// Byte offsets of the fields that are read, counted from the start of the file.
constexpr u32 DDS_OFFSET_FLAGS = 8;
constexpr u32 DDS_OFFSET_HEIGHT = 12;
constexpr u32 DDS_OFFSET_WIDTH = 16;
constexpr u32 DDS_OFFSET_MIP_COUNT = 28;
constexpr u32 DDS_OFFSET_PF_FLAGS = 80;
constexpr u32 DDS_OFFSET_PF_FOURCC = 84;
constexpr u32 DDS_OFFSET_PF_BIT_COUNT = 88;
constexpr u32 DDS_OFFSET_PF_R_MASK = 92;
constexpr u32 DDS_OFFSET_PF_G_MASK = 96;
constexpr u32 DDS_OFFSET_PF_B_MASK = 100;
constexpr u32 DDS_OFFSET_PF_A_MASK = 104;
constexpr u32 DDS_OFFSET_CAPS = 108;
constexpr u32 DDS_OFFSET_CAPS2 = 112;
constexpr u32 DDS_OFFSET_DXGI_FORMAT = 128;

constexpr u32 DDS_FLAG_PIXEL_FORMAT = 0x1000;
constexpr u32 DDS_PF_ALPHA = 0x2;
constexpr u32 DDS_PF_FOURCC = 0x4;
constexpr u32 DDS_PF_RGB = 0x40;
constexpr u32 DDS_PF_RGBA = 0x41;
constexpr u32 DDS_CAPS_COMPLEX = 0x8;
constexpr u32 DDS_CAPS_MIPMAP = 0x400000;
constexpr u32 DDS_CAPS2_CUBEMAP = 0x200;

constexpr u32 dds_fourcc(char a, char b, char c, char d) {
  return (u32)(u8)a | (u32)(u8)b << 8 | (u32)(u8)c << 16 | (u32)(u8)d << 24;
}

// The format of a legacy header (the first DDS_HEADER_SIZE bytes of the file);
// UNKNOWN when the header describes nothing the system can use.
format_t dds_get_format(const u8* header);

// Whether the bytes that a DDS's mip tail chunk describes hold every level of faces
// faces of the image. A DDS file may declare more pixel data than it holds; the chunk
// records only what the file has, so whoever reads the levels checks here first.
bool dds_chunk_holds_levels(const fs_chunk_t& chunk, format_t format, u32 width, u32 height, u32 faces, u32 mips);
// The same for the faces the image record itself declares.
bool dds_chunk_holds_image(const fs_chunk_t& chunk, const fs_meta_image_t& image);

// ---- writing ----

constexpr u32 DDS_MAX_HEADER_SIZE = DDS_HEADER_SIZE + DDS_DX10_HEADER_SIZE;

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
  u8 bytes[DDS_MAX_HEADER_SIZE];
  u32 size;  // DDS_MAX_HEADER_SIZE with the DX10 extension, else DDS_HEADER_SIZE
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
