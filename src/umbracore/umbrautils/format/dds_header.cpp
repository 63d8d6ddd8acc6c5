// Headers of the DDS files that extraction writes: the DX10 header by default, the
// pre-DX10 one on request for formats it can name.
#include <cstring>

#include "umbracore/mem.h"
#include "umbracore/umbrautils/format/dds.h"

namespace umbra {

namespace {

// dwFlags
constexpr u32 DDSD_CAPS = 0x1;
constexpr u32 DDSD_HEIGHT = 0x2;
constexpr u32 DDSD_WIDTH = 0x4;
constexpr u32 DDSD_PITCH = 0x8;
constexpr u32 DDSD_MIPMAP_COUNT = 0x20000;
constexpr u32 DDSD_LINEAR_SIZE = 0x80000;
constexpr u32 DDSD_REQUIRED = DDSD_CAPS | DDSD_HEIGHT | DDSD_WIDTH | DDS_FLAG_PIXEL_FORMAT;
// dwCaps, dwCaps2
constexpr u32 DDSCAPS_TEXTURE = 0x1000;
constexpr u32 DDSCAPS2_CUBE_ALL_FACES = 0xFE00;  // the cube flag and all six faces
// DDS_HEADER_DXT10
constexpr u32 DX10_DIMENSION_TEXTURE2D = 3;
constexpr u32 DX10_MISC_TEXTURE_CUBE = 0x4;

constexpr u32 DDS_HEADER_STRUCT_SIZE = 124;
constexpr u32 DDS_PIXEL_FORMAT_SIZE = 32;
constexpr u32 DDS_OFFSET_SIZE = 4;
constexpr u32 DDS_OFFSET_PITCH = 20;
constexpr u32 DDS_OFFSET_PF_SIZE = 76;
constexpr u32 DDS_OFFSET_DX10_DIMENSION = 132;
constexpr u32 DDS_OFFSET_DX10_MISC = 136;
constexpr u32 DDS_OFFSET_DX10_ARRAY_SIZE = 140;

// A pre-DX10 pixel format, as dds_get_format reads it back. Legacy headers have no
// way to say whether 8-bit or DXT colour is sRGB: the reader takes it as sRGB, so a
// linear format is written as its sRGB twin and flagged.
struct legacy_format_t {
  format_t format;
  u32 flags;  // ddspf.dwFlags
  u32 fourcc;
  u32 bit_count;
  u32 r, g, b, a;
  bool linear;
};

const legacy_format_t LEGACY_FORMATS[] = {
    {format_t::BC1_UNORM_SRGB, DDS_PF_FOURCC, dds_fourcc('D', 'X', 'T', '1'), 0, 0, 0, 0, 0, false},
    {format_t::BC1_UNORM, DDS_PF_FOURCC, dds_fourcc('D', 'X', 'T', '1'), 0, 0, 0, 0, 0, true},
    {format_t::BC2_UNORM_SRGB, DDS_PF_FOURCC, dds_fourcc('D', 'X', 'T', '3'), 0, 0, 0, 0, 0, false},
    {format_t::BC2_UNORM, DDS_PF_FOURCC, dds_fourcc('D', 'X', 'T', '3'), 0, 0, 0, 0, 0, true},
    {format_t::BC3_UNORM_SRGB, DDS_PF_FOURCC, dds_fourcc('D', 'X', 'T', '5'), 0, 0, 0, 0, 0, false},
    {format_t::BC3_UNORM, DDS_PF_FOURCC, dds_fourcc('D', 'X', 'T', '5'), 0, 0, 0, 0, 0, true},
    {format_t::BC4_UNORM, DDS_PF_FOURCC, dds_fourcc('A', 'T', 'I', '1'), 0, 0, 0, 0, 0, false},
    {format_t::BC5_UNORM, DDS_PF_FOURCC, dds_fourcc('A', 'T', 'I', '2'), 0, 0, 0, 0, 0, false},
    // Floating-point images: the Direct3D 9 format number stands in the FourCC.
    {format_t::R16_FLOAT, DDS_PF_FOURCC, (111), 0, 0, 0, 0, 0, false},
    {format_t::R16G16_FLOAT, DDS_PF_FOURCC, (112), 0, 0, 0, 0, 0, false},
    {format_t::R16G16B16A16_FLOAT, DDS_PF_FOURCC, (113), 0, 0, 0, 0, 0, false},
    {format_t::R32_FLOAT, DDS_PF_FOURCC, (114), 0, 0, 0, 0, 0, false},
    {format_t::R32G32_FLOAT, DDS_PF_FOURCC, (115), 0, 0, 0, 0, 0, false},
    {format_t::R32G32B32A32_FLOAT, DDS_PF_FOURCC, (116), 0, 0, 0, 0, 0, false},
    {format_t::B8G8R8A8_UNORM_SRGB, DDS_PF_RGBA, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000u, false},
    {format_t::B8G8R8A8_UNORM, DDS_PF_RGBA, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000u, true},
    {format_t::R8G8B8A8_UNORM_SRGB, DDS_PF_RGBA, 0, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000u, false},
    {format_t::R8G8B8A8_UNORM, DDS_PF_RGBA, 0, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000u, true},
    {format_t::B8G8R8_UNORM_SRGB, DDS_PF_RGB, 0, 24, 0xFF0000, 0xFF00, 0xFF, 0, false},
    {format_t::B8G8R8_UNORM, DDS_PF_RGB, 0, 24, 0xFF0000, 0xFF00, 0xFF, 0, true},
    {format_t::R8G8B8_UNORM_SRGB, DDS_PF_RGB, 0, 24, 0xFF, 0xFF00, 0xFF0000, 0, false},
    {format_t::R8G8B8_UNORM, DDS_PF_RGB, 0, 24, 0xFF, 0xFF00, 0xFF0000, 0, true},
    // The unused byte of these has no linear twin in a descriptor: B8G8R8X8_UNORM and
    // R8G8B8X8_UNORM keep the DX10 header.
    {format_t::B8G8R8X8_UNORM_SRGB, DDS_PF_RGB, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0, false},
    {format_t::R8G8B8X8_UNORM_SRGB, DDS_PF_RGB, 0, 32, 0xFF, 0xFF00, 0xFF0000, 0, false},
    {format_t::R16G16_UNORM, DDS_PF_RGB, 0, 32, 0xFFFF, 0xFFFF0000u, 0, 0, false},
    // What the reader takes an 8-bit alpha-only file for.
    {format_t::R8_UNORM, DDS_PF_ALPHA, 0, 8, 0, 0, 0, 0xFF, false},
};

const legacy_format_t* find_legacy_format(format_t format) {
  for (const legacy_format_t& entry : LEGACY_FORMATS) {
    if (entry.format == format) return &entry;
  }
  return nullptr;
}

u32 caps_of(const dds_surface_t& surface) {
  u32 caps = DDSCAPS_TEXTURE;
  if (surface.cube) caps |= DDS_CAPS_COMPLEX;
  if (surface.mip_count > 1) caps |= DDS_CAPS_COMPLEX | DDS_CAPS_MIPMAP;
  return caps;
}

// The fields both kinds of header share; extra_flags adds to dwFlags.
void write_common(const dds_surface_t& surface, u32 extra_flags, u8* out) {
  std::memcpy(out, "DDS ", 4);
  store_le32(out + DDS_OFFSET_SIZE, DDS_HEADER_STRUCT_SIZE);
  store_le32(out + DDS_OFFSET_FLAGS, DDSD_REQUIRED | (surface.mip_count > 1 ? DDSD_MIPMAP_COUNT : 0) | extra_flags);
  store_le32(out + DDS_OFFSET_HEIGHT, surface.height);
  store_le32(out + DDS_OFFSET_WIDTH, surface.width);
  store_le32(out + DDS_OFFSET_MIP_COUNT, surface.mip_count > 1 ? surface.mip_count : 0);
  store_le32(out + DDS_OFFSET_PF_SIZE, DDS_PIXEL_FORMAT_SIZE);
  store_le32(out + DDS_OFFSET_CAPS, caps_of(surface));
  store_le32(out + DDS_OFFSET_CAPS2, surface.cube ? DDSCAPS2_CUBE_ALL_FACES : 0);
}

void write_dx10(const dds_surface_t& surface, u8* out) {
  write_common(surface, 0, out);
  store_le32(out + DDS_OFFSET_PF_FLAGS, DDS_PF_FOURCC);
  store_le32(out + DDS_OFFSET_PF_FOURCC, dds_fourcc('D', 'X', '1', '0'));
  store_le32(out + DDS_OFFSET_DXGI_FORMAT, static_cast<u8>(surface.format));
  store_le32(out + DDS_OFFSET_DX10_DIMENSION, DX10_DIMENSION_TEXTURE2D);
  store_le32(out + DDS_OFFSET_DX10_MISC, surface.cube ? DX10_MISC_TEXTURE_CUBE : 0);
  store_le32(out + DDS_OFFSET_DX10_ARRAY_SIZE, 1);
}

bool has_blocks(const dds_surface_t& surface) { return format_block_kind(surface.format) == FORMAT_BLOCK_4X4; }

// Block formats state the size of the top level, the others the bytes of one of its rows.
u32 pitch_or_linear_size(const dds_surface_t& surface) {
  const u64 value = has_blocks(surface) ? surface_get_chain_size(surface.format, surface.width, surface.height, 1)
                                        : ((u64)surface.width * format_bits_per_pixel(surface.format) + 7) / 8;
  return value > 0xFFFFFFFFull ? 0 : (u32)value;  // too large to state: readers compute it anyway
}

void write_legacy(const dds_surface_t& surface, const legacy_format_t& legacy, u8* out) {
  write_common(surface, has_blocks(surface) ? DDSD_LINEAR_SIZE : DDSD_PITCH, out);
  store_le32(out + DDS_OFFSET_PITCH, pitch_or_linear_size(surface));
  store_le32(out + DDS_OFFSET_PF_FLAGS, legacy.flags);
  store_le32(out + DDS_OFFSET_PF_FOURCC, legacy.fourcc);
  store_le32(out + DDS_OFFSET_PF_BIT_COUNT, legacy.bit_count);
  store_le32(out + DDS_OFFSET_PF_R_MASK, legacy.r);
  store_le32(out + DDS_OFFSET_PF_G_MASK, legacy.g);
  store_le32(out + DDS_OFFSET_PF_B_MASK, legacy.b);
  store_le32(out + DDS_OFFSET_PF_A_MASK, legacy.a);
}

}  // namespace

dds_written_header_t dds_make_header(const dds_surface_t& surface, bool legacy) {
  dds_written_header_t header;
  std::memset(&header, 0, sizeof(header));
  const legacy_format_t* legacy_format = legacy ? find_legacy_format(surface.format) : nullptr;
  if (legacy_format) {
    write_legacy(surface, *legacy_format, header.bytes);
    header.size = DDS_HEADER_SIZE;
    header.linear = legacy_format->linear;
  } else {
    write_dx10(surface, header.bytes);
    header.size = DDS_MAX_HEADER_SIZE;
  }
  return header;
}

}  // namespace umbra
