// The DDS metadata builder: image record and mip tail chunk record from a DDS header.
#include "umbracore/umbrautils/format/dds.h"

#include "umbracore/log/log.h"
#include "umbracore/mem.h"
#include "umbracore/ufs/fs_file.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/ufs/fs_meta_builders.h"

namespace umbra {

namespace {

constexpr u32 DDS_FOURCC_DX10 = dds_fourcc('D', 'X', '1', '0');

struct legacy_fourcc_t {
  u32 code;
  format_t format;
};

// Block-compressed colour comes out sRGB; a descriptor can declare it linear.
const legacy_fourcc_t LEGACY_FOURCC_FORMATS[] = {
    {dds_fourcc('D', 'X', 'T', '1'), format_t::BC1_UNORM_SRGB},
    {dds_fourcc('D', 'X', 'T', '3'), format_t::BC2_UNORM_SRGB},
    {dds_fourcc('D', 'X', 'T', '5'), format_t::BC3_UNORM_SRGB},
    {dds_fourcc('A', 'T', 'I', '1'), format_t::BC4_UNORM},
    {dds_fourcc('A', 'T', 'I', '2'), format_t::BC5_UNORM},
};

// Legacy Direct3D format numbers for floating-point images, stored in the FourCC's low byte.
format_t float_format_from_d3d_number(u32 number) {
  switch (number) {
    case 111:
      return format_t::R16_FLOAT;
    case 112:
      return format_t::R16G16_FLOAT;
    case 113:
      return format_t::R16G16B16A16_FLOAT;
    case 114:
      return format_t::R32_FLOAT;
    case 115:
      return format_t::R32G32_FLOAT;
    case 116:
      return format_t::R32G32B32A32_FLOAT;
    default:
      return format_t::UNKNOWN;
  }
}

struct masks_t {
  u32 r, g, b, a;
  bool is(u32 r_mask, u32 g_mask, u32 b_mask) const { return r == r_mask && g == g_mask && b == b_mask; }
};

format_t format_from_rgba_masks(const masks_t& m) {
  if (m.a == 0xFF000000u && m.is(0xFF0000, 0xFF00, 0xFF)) return format_t::B8G8R8A8_UNORM_SRGB;
  if (m.a == 0xFF000000u && m.is(0xFF, 0xFF00, 0xFF0000)) return format_t::R8G8B8A8_UNORM_SRGB;
  if (m.a == 0x1F && m.is(0xFF800000u, 0x7FC000, 0x3FE0)) return format_t::R9G9B9E5_SHAREDEXP;
  return format_t::UNKNOWN;
}

// The same masks describe 24-bit pixels and 32-bit pixels with an unused byte; only
// the bit count tells how the pixels are packed.
format_t format_from_rgb_masks(const masks_t& m, u32 bit_count) {
  if (m.is(0xFF0000, 0xFF00, 0xFF)) {
    if (bit_count == 24) return format_t::B8G8R8_UNORM_SRGB;
    if (bit_count == 32) return format_t::B8G8R8X8_UNORM_SRGB;
    return format_t::UNKNOWN;
  }
  if (m.is(0xFF, 0xFF00, 0xFF0000)) {
    if (bit_count == 24) return format_t::R8G8B8_UNORM_SRGB;
    if (bit_count == 32) return format_t::R8G8B8X8_UNORM_SRGB;
    return format_t::UNKNOWN;
  }
  if (m.is(0xFFFF, 0xFFFF0000u, 0)) return format_t::R16G16_UNORM;
  return format_t::UNKNOWN;
}

struct dds_image_t {
  format_t format = format_t::UNKNOWN;
  u32 width = 0;
  u32 height = 0;
  u32 face_count = 1;
  u32 mip_count = 1;
};

// Faces and mips count only when the header says the surface is complex.
void read_faces_and_mips(const u8* header, dds_image_t& image) {
  const u32 caps = load_le32(header + DDS_OFFSET_CAPS);
  if (!(caps & DDS_CAPS_COMPLEX)) return;
  if (caps & DDS_CAPS_MIPMAP) {
    const u32 declared = load_le32(header + DDS_OFFSET_MIP_COUNT);
    image.mip_count = declared ? declared : 1;
  }
  image.face_count = (load_le32(header + DDS_OFFSET_CAPS2) & DDS_CAPS2_CUBEMAP) ? 6 : 1;
}

// Levels halve down to 1x1: a longer chain describes no image (and could not be
// extracted again).
u32 full_chain_mips(u32 width, u32 height) {
  const u32 larger = width > height ? width : height;
  return larger ? 32 - (u32)__builtin_clz(larger) : 0;
}

// Images whose levels cannot be laid out, or whose size does not fit the image record,
// would be cut or misread further on; they are refused here, where the file is named.
bool is_usable(const dds_image_t& image) {
  return format_is_layout_supported(image.format) && image.width >= 1 && image.width <= 65536 &&
         image.height >= 1 && image.height <= 65536 && image.mip_count <= 16 &&
         image.mip_count <= full_chain_mips(image.width, image.height);
}

}  // namespace

format_t dds_get_format(const u8* header) {
  if (!(load_le32(header + DDS_OFFSET_FLAGS) & DDS_FLAG_PIXEL_FORMAT)) return format_t::UNKNOWN;
  // Only the low byte of the pixel format flags is looked at.
  const u32 flags = load_le32(header + DDS_OFFSET_PF_FLAGS) & 0xFF;
  const u32 fourcc = load_le32(header + DDS_OFFSET_PF_FOURCC);
  if (flags & DDS_PF_FOURCC) {
    for (const legacy_fourcc_t& entry : LEGACY_FOURCC_FORMATS) {
      if (entry.code == fourcc) return entry.format;
    }
    const format_t float_format = float_format_from_d3d_number(fourcc & 0xFF);
    if (float_format != format_t::UNKNOWN) return float_format;
  }
  const masks_t masks = {load_le32(header + DDS_OFFSET_PF_R_MASK), load_le32(header + DDS_OFFSET_PF_G_MASK),
                         load_le32(header + DDS_OFFSET_PF_B_MASK), load_le32(header + DDS_OFFSET_PF_A_MASK)};
  if ((flags & DDS_PF_RGBA) == DDS_PF_RGBA) return format_from_rgba_masks(masks);
  if (flags & DDS_PF_RGB) return format_from_rgb_masks(masks, load_le32(header + DDS_OFFSET_PF_BIT_COUNT));
  if ((flags & DDS_PF_ALPHA) && masks.a == 0xFF) return format_t::R8_UNORM;
  return format_t::UNKNOWN;
}

bool dds_chunk_holds_levels(const fs_chunk_t& chunk, format_t format, u32 width, u32 height, u32 faces, u32 mips) {
  if (chunk.size < chunk.payload_offset) return false;
  const u64 available = chunk.size - chunk.payload_offset;
  const u64 face_size = surface_get_chain_size(format, width, height, mips);
  u64 needed;
  if (__builtin_mul_overflow(face_size, (u64)faces, &needed)) return false;
  return needed <= available;
}

bool dds_chunk_holds_image(const fs_chunk_t& chunk, const fs_meta_image_t& image) {
  return dds_chunk_holds_levels(chunk, image.format, image.width, image.height, image.face_count, image.mip_count);
}

bool fs_meta_dds(fs_mstat_t* set, file_t& file, u64 base_offset, u8 compression) {
  fs_stat_t stat;
  if (!file.stat(&stat)) return false;

  u8 header[DDS_HEADER_SIZE + DDS_DX10_HEADER_SIZE];
  if (!file.read(header, DDS_HEADER_SIZE)) {
    log_error("[dds] Failed to read header of '%s'", file.get_name().c_str());
    return false;
  }

  dds_image_t image;
  const bool has_fourcc = (load_le32(header + DDS_OFFSET_PF_FLAGS) & DDS_PF_FOURCC) != 0;
  if (has_fourcc && load_le32(header + DDS_OFFSET_PF_FOURCC) == DDS_FOURCC_DX10) {
    if (!file.read(header + DDS_HEADER_SIZE, DDS_DX10_HEADER_SIZE)) {
      log_error("[dds] Failed to read dx10 header of '%s'", file.get_name().c_str());
      return false;
    }
    // Format numbers are 8 bits; a larger number names no format we know, and its low
    // byte must not be mistaken for one.
    const u32 dxgi_format = load_le32(header + DDS_OFFSET_DXGI_FORMAT);
    image.format = dxgi_format <= 0xFF ? static_cast<format_t>(dxgi_format) : format_t::UNKNOWN;
  } else {
    image.format = dds_get_format(header);
  }
  image.width = load_le32(header + DDS_OFFSET_WIDTH);
  image.height = load_le32(header + DDS_OFFSET_HEIGHT);
  read_faces_and_mips(header, image);

  const u64 pixels_at = file.get_position();
  fs_chunk_t chunk{};
  chunk.compression = compression;
  chunk.attribute = 1;
  if (compression == 0) {
    // What the file holds past the headers, whatever the header declares.
    chunk.size = stat.size > pixels_at ? stat.size - pixels_at : 0;
    chunk.stored_size = chunk.size;
    chunk.offset = base_offset + pixels_at;
  } else {
    // Inside a compressed container the pixels begin this far into the unpacked bytes.
    chunk.stored_size = stat.stored_size;
    chunk.size = stat.size;
    chunk.offset = base_offset;
    chunk.payload_offset = static_cast<u8>(pixels_at);
  }

  fs_meta_image_t record{};
  record.format = image.format;
  record.image_type = 0;  // only a descriptor makes an image a cube
  record.width = image.width;
  record.height = image.height;
  record.face_count = image.face_count;
  record.mip_count = image.mip_count;
  record.pitch_alignment = 1;  // rows and levels lie back to back in every DDS
  record.image_alignment = 1;

  u32 image_words[FS_META_IMAGE_WORDS];
  u32 chunk_words[FS_META_CHUNK_WORDS];
  if (!is_usable(image) || !fs_meta_pack_image(record, image_words) || !fs_meta_pack_chunk(chunk, chunk_words)) {
    log_error("[dds] Incompatible image type '%s'", file.get_name().c_str());
    return false;
  }
  fs_meta_append(set, FS_TOKEN_IMAGE, FS_META_IMAGE_WORDS, image_words);
  fs_meta_append(set, FS_TOKEN_CHUNK_MIP_TAIL, FS_META_CHUNK_WORDS, chunk_words);
  return true;
}

}  // namespace umbra
