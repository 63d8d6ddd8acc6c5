// Headers of the DDS files that extraction writes: the DX10 header by default, the
// pre-DX10 one on request for formats it can name.
#include <cstring>

#include "umbracore/mem.h"
#include "umbracore/umbrautils/format/dds.h"

namespace umbra {

namespace {

// dwFlags
constexpr u32 ddsd_caps = 0x1;
constexpr u32 ddsd_height = 0x2;
constexpr u32 ddsd_width = 0x4;
constexpr u32 ddsd_pitch = 0x8;
constexpr u32 ddsd_mipmap_count = 0x20000;
constexpr u32 ddsd_linear_size = 0x80000;
constexpr u32 ddsd_required = ddsd_caps | ddsd_height | ddsd_width | dds_flag_pixel_format;
// dwCaps, dwCaps2
constexpr u32 ddscaps_texture = 0x1000;
constexpr u32 ddscaps2_cube_all_faces = 0xFE00;  // the cube flag and all six faces
// DDS_HEADER_DXT10
constexpr u32 dx10_dimension_texture2d = 3;
constexpr u32 dx10_misc_texture_cube = 0x4;

constexpr u32 dds_header_struct_size = 124;
constexpr u32 dds_pixel_format_size = 32;
constexpr u32 dds_offset_size = 4;
constexpr u32 dds_offset_pitch = 20;
constexpr u32 dds_offset_pf_size = 76;
constexpr u32 dds_offset_dx10_dimension = 132;
constexpr u32 dds_offset_dx10_misc = 136;
constexpr u32 dds_offset_dx10_array_size = 140;

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

const legacy_format_t legacy_formats[] = {
    {format_t::BC1_UNORM_SRGB, dds_pf_fourcc, dds_fourcc('D', 'X', 'T', '1'), 0, 0, 0, 0, 0, false},
    {format_t::BC1_UNORM, dds_pf_fourcc, dds_fourcc('D', 'X', 'T', '1'), 0, 0, 0, 0, 0, true},
    {format_t::BC2_UNORM_SRGB, dds_pf_fourcc, dds_fourcc('D', 'X', 'T', '3'), 0, 0, 0, 0, 0, false},
    {format_t::BC2_UNORM, dds_pf_fourcc, dds_fourcc('D', 'X', 'T', '3'), 0, 0, 0, 0, 0, true},
    {format_t::BC3_UNORM_SRGB, dds_pf_fourcc, dds_fourcc('D', 'X', 'T', '5'), 0, 0, 0, 0, 0, false},
    {format_t::BC3_UNORM, dds_pf_fourcc, dds_fourcc('D', 'X', 'T', '5'), 0, 0, 0, 0, 0, true},
    {format_t::BC4_UNORM, dds_pf_fourcc, dds_fourcc('A', 'T', 'I', '1'), 0, 0, 0, 0, 0, false},
    {format_t::BC5_UNORM, dds_pf_fourcc, dds_fourcc('A', 'T', 'I', '2'), 0, 0, 0, 0, 0, false},
    // Floating-point images: the Direct3D 9 format number stands in the FourCC.
    {format_t::R16_FLOAT, dds_pf_fourcc, (111), 0, 0, 0, 0, 0, false},
    {format_t::R16G16_FLOAT, dds_pf_fourcc, (112), 0, 0, 0, 0, 0, false},
    {format_t::R16G16B16A16_FLOAT, dds_pf_fourcc, (113), 0, 0, 0, 0, 0, false},
    {format_t::R32_FLOAT, dds_pf_fourcc, (114), 0, 0, 0, 0, 0, false},
    {format_t::R32G32_FLOAT, dds_pf_fourcc, (115), 0, 0, 0, 0, 0, false},
    {format_t::R32G32B32A32_FLOAT, dds_pf_fourcc, (116), 0, 0, 0, 0, 0, false},
    {format_t::B8G8R8A8_UNORM_SRGB, dds_pf_rgba, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000u, false},
    {format_t::B8G8R8A8_UNORM, dds_pf_rgba, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000u, true},
    {format_t::R8G8B8A8_UNORM_SRGB, dds_pf_rgba, 0, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000u, false},
    {format_t::R8G8B8A8_UNORM, dds_pf_rgba, 0, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000u, true},
    {format_t::B8G8R8_UNORM_SRGB, dds_pf_rgb, 0, 24, 0xFF0000, 0xFF00, 0xFF, 0, false},
    {format_t::B8G8R8_UNORM, dds_pf_rgb, 0, 24, 0xFF0000, 0xFF00, 0xFF, 0, true},
    {format_t::R8G8B8_UNORM_SRGB, dds_pf_rgb, 0, 24, 0xFF, 0xFF00, 0xFF0000, 0, false},
    {format_t::R8G8B8_UNORM, dds_pf_rgb, 0, 24, 0xFF, 0xFF00, 0xFF0000, 0, true},
    // The unused byte of these has no linear twin in a descriptor: B8G8R8X8_UNORM and
    // R8G8B8X8_UNORM keep the DX10 header.
    {format_t::B8G8R8X8_UNORM_SRGB, dds_pf_rgb, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0, false},
    {format_t::R8G8B8X8_UNORM_SRGB, dds_pf_rgb, 0, 32, 0xFF, 0xFF00, 0xFF0000, 0, false},
    {format_t::R16G16_UNORM, dds_pf_rgb, 0, 32, 0xFFFF, 0xFFFF0000u, 0, 0, false},
    // What the reader takes an 8-bit alpha-only file for.
    {format_t::R8_UNORM, dds_pf_alpha, 0, 8, 0, 0, 0, 0xFF, false},
};

const legacy_format_t* find_legacy_format(format_t format) {
  for (const legacy_format_t& entry : legacy_formats) {
    if (entry.format == format) return &entry;
  }
  return nullptr;
}

u32 caps_of(const dds_surface_t& surface) {
  u32 caps = ddscaps_texture;
  if (surface.cube) caps |= dds_caps_complex;
  if (surface.mip_count > 1) caps |= dds_caps_complex | dds_caps_mipmap;
  return caps;
}

// The fields both kinds of header share; extra_flags adds to dwFlags.
void write_common(const dds_surface_t& surface, u32 extra_flags, u8* out) {
  std::memcpy(out, "DDS ", 4);
  store_le32(out + dds_offset_size, dds_header_struct_size);
  store_le32(out + dds_offset_flags, ddsd_required | (surface.mip_count > 1 ? ddsd_mipmap_count : 0) | extra_flags);
  store_le32(out + dds_offset_height, surface.height);
  store_le32(out + dds_offset_width, surface.width);
  store_le32(out + dds_offset_mip_count, surface.mip_count > 1 ? surface.mip_count : 0);
  store_le32(out + dds_offset_pf_size, dds_pixel_format_size);
  store_le32(out + dds_offset_caps, caps_of(surface));
  store_le32(out + dds_offset_caps2, surface.cube ? ddscaps2_cube_all_faces : 0);
}

void write_dx10(const dds_surface_t& surface, u8* out) {
  write_common(surface, 0, out);
  store_le32(out + dds_offset_pf_flags, dds_pf_fourcc);
  store_le32(out + dds_offset_pf_fourcc, dds_fourcc('D', 'X', '1', '0'));
  store_le32(out + dds_offset_dxgi_format, static_cast<u8>(surface.format));
  store_le32(out + dds_offset_dx10_dimension, dx10_dimension_texture2d);
  store_le32(out + dds_offset_dx10_misc, surface.cube ? dx10_misc_texture_cube : 0);
  store_le32(out + dds_offset_dx10_array_size, 1);
}

bool has_blocks(const dds_surface_t& surface) { return format_block_kind(surface.format) == FORMAT_BLOCK_4X4; }

// Block formats state the size of the top level, the others the bytes of one of its rows.
u32 pitch_or_linear_size(const dds_surface_t& surface) {
  const u64 value = has_blocks(surface) ? surface_get_chain_size(surface.format, surface.width, surface.height, 1)
                                        : ((u64)surface.width * format_bits_per_pixel(surface.format) + 7) / 8;
  return value > 0xFFFFFFFFull ? 0 : (u32)value;  // too large to state: readers compute it anyway
}

void write_legacy(const dds_surface_t& surface, const legacy_format_t& legacy, u8* out) {
  write_common(surface, has_blocks(surface) ? ddsd_linear_size : ddsd_pitch, out);
  store_le32(out + dds_offset_pitch, pitch_or_linear_size(surface));
  store_le32(out + dds_offset_pf_flags, legacy.flags);
  store_le32(out + dds_offset_pf_fourcc, legacy.fourcc);
  store_le32(out + dds_offset_pf_bit_count, legacy.bit_count);
  store_le32(out + dds_offset_pf_r_mask, legacy.r);
  store_le32(out + dds_offset_pf_g_mask, legacy.g);
  store_le32(out + dds_offset_pf_b_mask, legacy.b);
  store_le32(out + dds_offset_pf_a_mask, legacy.a);
}

}  // namespace

dds_written_header_t dds_make_header(const dds_surface_t& surface, bool legacy) {
  dds_written_header_t header;
  std::memset(&header, 0, sizeof(header));
  const legacy_format_t* legacy_format = legacy ? find_legacy_format(surface.format) : nullptr;
  if (legacy_format) {
    write_legacy(surface, *legacy_format, header.bytes);
    header.size = dds_header_size;
    header.linear = legacy_format->linear;
  } else {
    write_dx10(surface, header.bytes);
    header.size = dds_max_header_size;
  }
  return header;
}

}  // namespace umbra
