#include "umbracore/umbrautils/format/format_tools.h"

#include <cstring>

#include "umbracore/log/assert.h"
#include "umbracore/umbrautils/format/memory_copy.h"

namespace umbra {

namespace {

// Rows indexed by format number; the extension rows start at 200.
const format_info_t FORMAT_TABLE_MAIN[100] = {
    {0, 0, 0, FORMAT_BLOCK_PIXELS, "UNKNOWN"},
    {1, 128, 0, FORMAT_BLOCK_PIXELS, "R32G32B32A32_TYPELESS"},
    {2, 128, 0, FORMAT_BLOCK_PIXELS, "R32G32B32A32_FLOAT"},
    {3, 128, 0, FORMAT_BLOCK_PIXELS, "R32G32B32A32_UINT"},
    {4, 128, 0, FORMAT_BLOCK_PIXELS, "R32G32B32A32_SINT"},
    {5, 96, 0, FORMAT_BLOCK_PIXELS, "R32G32B32_TYPELESS"},
    {6, 96, 0, FORMAT_BLOCK_PIXELS, "R32G32B32_FLOAT"},
    {7, 96, 0, FORMAT_BLOCK_PIXELS, "R32G32B32_UINT"},
    {8, 96, 0, FORMAT_BLOCK_PIXELS, "R32G32B32_SINT"},
    {9, 64, 0, FORMAT_BLOCK_PIXELS, "R16G16B16A16_TYPELESS"},
    {10, 64, 0, FORMAT_BLOCK_PIXELS, "R16G16B16A16_FLOAT"},
    {11, 64, 0, FORMAT_BLOCK_PIXELS, "R16G16B16A16_UNORM"},
    {12, 64, 0, FORMAT_BLOCK_PIXELS, "R16G16B16A16_UINT"},
    {13, 64, 0, FORMAT_BLOCK_PIXELS, "R16G16B16A16_SNORM"},
    {14, 64, 0, FORMAT_BLOCK_PIXELS, "R16G16B16A16_SINT"},
    {15, 64, 0, FORMAT_BLOCK_PIXELS, "R32G32_TYPELESS"},
    {16, 64, 0, FORMAT_BLOCK_PIXELS, "R32G32_FLOAT"},
    {17, 64, 0, FORMAT_BLOCK_PIXELS, "R32G32_UINT"},
    {18, 64, 0, FORMAT_BLOCK_PIXELS, "R32G32_SINT"},
    {19, 64, 0, FORMAT_BLOCK_PIXELS, "R32G8X24_TYPELESS"},
    {20, 64, 0, FORMAT_BLOCK_PIXELS, "D32_FLOAT_S8X24_UINT"},
    {21, 64, 0, FORMAT_BLOCK_PIXELS, "R32_FLOAT_X8X24_TYPELESS"},
    {22, 64, 0, FORMAT_BLOCK_PIXELS, "X32_TYPELESS_G8X24_UINT"},
    {23, 32, 0, FORMAT_BLOCK_PIXELS, "R10G10B10A2_TYPELESS"},
    {24, 32, 0, FORMAT_BLOCK_PIXELS, "R10G10B10A2_UNORM"},
    {25, 32, 0, FORMAT_BLOCK_PIXELS, "R10G10B10A2_UINT"},
    {26, 32, 0, FORMAT_BLOCK_PIXELS, "R11G11B10_FLOAT"},
    {27, 32, 0, FORMAT_BLOCK_PIXELS, "R8G8B8A8_TYPELESS"},
    {28, 32, 0, FORMAT_BLOCK_PIXELS, "R8G8B8A8_UNORM"},
    {29, 32, 1, FORMAT_BLOCK_PIXELS, "R8G8B8A8_UNORM_SRGB"},
    {30, 32, 0, FORMAT_BLOCK_PIXELS, "R8G8B8A8_UINT"},
    {31, 32, 0, FORMAT_BLOCK_PIXELS, "R8G8B8A8_SNORM"},
    {32, 32, 0, FORMAT_BLOCK_PIXELS, "R8G8B8A8_SINT"},
    {33, 32, 0, FORMAT_BLOCK_PIXELS, "R16G16_TYPELESS"},
    {34, 32, 0, FORMAT_BLOCK_PIXELS, "R16G16_FLOAT"},
    {35, 32, 0, FORMAT_BLOCK_PIXELS, "R16G16_UNORM"},
    {36, 32, 0, FORMAT_BLOCK_PIXELS, "R16G16_UINT"},
    {37, 32, 0, FORMAT_BLOCK_PIXELS, "R16G16_SNORM"},
    {38, 32, 0, FORMAT_BLOCK_PIXELS, "R16G16_SINT"},
    {39, 32, 0, FORMAT_BLOCK_PIXELS, "R32_TYPELESS"},
    {40, 32, 0, FORMAT_BLOCK_PIXELS, "D32_FLOAT"},
    {41, 32, 0, FORMAT_BLOCK_PIXELS, "R32_FLOAT"},
    {42, 32, 0, FORMAT_BLOCK_PIXELS, "R32_UINT"},
    {43, 32, 0, FORMAT_BLOCK_PIXELS, "R32_SINT"},
    {44, 32, 0, FORMAT_BLOCK_PIXELS, "R24G8_TYPELESS"},
    {45, 32, 0, FORMAT_BLOCK_PIXELS, "D24_UNORM_S8_UINT"},
    {46, 32, 0, FORMAT_BLOCK_PIXELS, "R24_UNORM_X8_TYPELESS"},
    {47, 32, 0, FORMAT_BLOCK_PIXELS, "X24_TYPELESS_G8_UINT"},
    {48, 16, 0, FORMAT_BLOCK_PIXELS, "R8G8_TYPELESS"},
    {49, 16, 0, FORMAT_BLOCK_PIXELS, "R8G8_UNORM"},
    {50, 16, 0, FORMAT_BLOCK_PIXELS, "R8G8_UINT"},
    {51, 16, 0, FORMAT_BLOCK_PIXELS, "R8G8_SNORM"},
    {52, 16, 0, FORMAT_BLOCK_PIXELS, "R8G8_SINT"},
    {53, 16, 0, FORMAT_BLOCK_PIXELS, "R16_TYPELESS"},
    {54, 16, 0, FORMAT_BLOCK_PIXELS, "R16_FLOAT"},
    {55, 16, 0, FORMAT_BLOCK_PIXELS, "D16_UNORM"},
    {56, 16, 0, FORMAT_BLOCK_PIXELS, "R16_UNORM"},
    {57, 16, 0, FORMAT_BLOCK_PIXELS, "R16_UINT"},
    {58, 16, 0, FORMAT_BLOCK_PIXELS, "R16_SNORM"},
    {59, 16, 0, FORMAT_BLOCK_PIXELS, "R16_SINT"},
    {60, 8, 0, FORMAT_BLOCK_PIXELS, "R8_TYPELESS"},
    {61, 8, 0, FORMAT_BLOCK_PIXELS, "R8_UNORM"},
    {62, 8, 0, FORMAT_BLOCK_PIXELS, "R8_UINT"},
    {63, 8, 0, FORMAT_BLOCK_PIXELS, "R8_SNORM"},
    {64, 8, 0, FORMAT_BLOCK_PIXELS, "R8_SINT"},
    {65, 8, 0, FORMAT_BLOCK_PIXELS, "A8_UNORM"},
    {66, 1, 0, FORMAT_BLOCK_1BPP, "R1_UNORM"},
    {67, 32, 0, FORMAT_BLOCK_PIXELS, "R9G9B9E5_SHAREDEXP"},
    {68, 32, 0, FORMAT_BLOCK_PIXELS, "R8G8_B8G8_UNORM"},
    {69, 32, 0, FORMAT_BLOCK_PIXELS, "G8R8_G8B8_UNORM"},
    {70, 4, 0, FORMAT_BLOCK_4X4, "BC1_TYPELESS"},
    {71, 4, 0, FORMAT_BLOCK_4X4, "BC1_UNORM"},
    {72, 4, 1, FORMAT_BLOCK_4X4, "BC1_UNORM_SRGB"},
    {73, 8, 0, FORMAT_BLOCK_4X4, "BC2_TYPELESS"},
    {74, 8, 0, FORMAT_BLOCK_4X4, "BC2_UNORM"},
    {75, 8, 1, FORMAT_BLOCK_4X4, "BC2_UNORM_SRGB"},
    {76, 8, 0, FORMAT_BLOCK_4X4, "BC3_TYPELESS"},
    {77, 8, 0, FORMAT_BLOCK_4X4, "BC3_UNORM"},
    {78, 8, 1, FORMAT_BLOCK_4X4, "BC3_UNORM_SRGB"},
    {79, 4, 0, FORMAT_BLOCK_4X4, "BC4_TYPELESS"},
    {80, 4, 0, FORMAT_BLOCK_4X4, "BC4_UNORM"},
    {81, 4, 0, FORMAT_BLOCK_4X4, "BC4_SNORM"},
    {82, 8, 0, FORMAT_BLOCK_4X4, "BC5_TYPELESS"},
    {83, 8, 0, FORMAT_BLOCK_4X4, "BC5_UNORM"},
    {84, 8, 0, FORMAT_BLOCK_4X4, "BC5_SNORM"},
    {85, 16, 0, FORMAT_BLOCK_PIXELS, "B5G6R5_UNORM"},
    {86, 16, 0, FORMAT_BLOCK_PIXELS, "B5G5R5A1_UNORM"},
    {87, 32, 0, FORMAT_BLOCK_PIXELS, "B8G8R8A8_UNORM"},
    {88, 32, 0, FORMAT_BLOCK_PIXELS, "B8G8R8X8_UNORM"},
    {89, 32, 0, FORMAT_BLOCK_PIXELS, "R10G10B10_XR_BIAS_A2_UNORM"},
    {90, 32, 0, FORMAT_BLOCK_PIXELS, "B8G8R8A8_TYPELESS"},
    {91, 32, 1, FORMAT_BLOCK_PIXELS, "B8G8R8A8_UNORM_SRGB"},
    {92, 32, 0, FORMAT_BLOCK_PIXELS, "B8G8R8X8_TYPELESS"},
    {93, 32, 1, FORMAT_BLOCK_PIXELS, "B8G8R8X8_UNORM_SRGB"},
    {94, 8, 0, FORMAT_BLOCK_4X4, "BC6H_TYPELESS"},
    {95, 8, 0, FORMAT_BLOCK_4X4, "BC6H_UF16"},
    {96, 8, 0, FORMAT_BLOCK_4X4, "BC6H_SF16"},
    {97, 8, 0, FORMAT_BLOCK_4X4, "BC7_TYPELESS"},
    {98, 8, 0, FORMAT_BLOCK_4X4, "BC7_UNORM"},
    {99, 8, 1, FORMAT_BLOCK_4X4, "BC7_UNORM_SRGB"},
};

const format_info_t FORMAT_TABLE_EXTENSION[22] = {
    {200, 24, 0, FORMAT_BLOCK_PIXELS, "R8G8B8_UNORM"},
    {201, 24, 0, FORMAT_BLOCK_PIXELS, "B8G8R8_UNORM"},
    {202, 24, 1, FORMAT_BLOCK_PIXELS, "R8G8B8_UNORM_SRGB"},
    {203, 24, 1, FORMAT_BLOCK_PIXELS, "B8G8R8_UNORM_SRGB"},
    {204, 32, 0, FORMAT_BLOCK_PIXELS, "R10G10B10A2_SNORM"},
    {205, 32, 0, FORMAT_BLOCK_PIXELS, "R10G10B10X2_SNORM"},
    {206, 8, 0, FORMAT_BLOCK_PIXELS, "L8_UNORM"},
    {207, 16, 0, FORMAT_BLOCK_PIXELS, "L8A8_UNORM"},
    {208, 24, 0, FORMAT_BLOCK_PIXELS, "D24_UNORM"},
    {209, 32, 0, FORMAT_BLOCK_PIXELS, "B10G10R10A2_UNORM"},
    {0, 0, 0, FORMAT_BLOCK_PIXELS, ""},  // 210: not assigned
    {0, 0, 0, FORMAT_BLOCK_PIXELS, ""},  // 211: not assigned
    {212, 2, 0, FORMAT_BLOCK_PVRTC_2BPP, "PVRTC_2BPP_RGB"},
    {213, 2, 0, FORMAT_BLOCK_PVRTC_2BPP, "PVRTC_2BPP_RGBA"},
    {214, 4, 0, FORMAT_BLOCK_PVRTC_4BPP, "PVRTC_4BPP_RGB"},
    {215, 4, 0, FORMAT_BLOCK_PVRTC_4BPP, "PVRTC_4BPP_RGBA"},
    {216, 16, 0, FORMAT_BLOCK_PIXELS, "R4G4B4A4_UNORM"},
    {217, 16, 0, FORMAT_BLOCK_PIXELS, "R5G6B5_UNORM"},
    {218, 16, 0, FORMAT_BLOCK_PIXELS, "B5G5R5X1_UNORM"},
    {219, 32, 0, FORMAT_BLOCK_PIXELS, "R8G8B8X8_UNORM"},
    {220, 32, 1, FORMAT_BLOCK_PIXELS, "R8G8B8X8_UNORM_SRGB"},
    {221, 32, 0, FORMAT_BLOCK_PIXELS, "D24_UNORM_X8_UINT"},
};

constexpr u32 FORMAT_EXTENSION_FIRST = 200;
constexpr u64 U32_LIMIT = 0xFFFFFFFFull;

u64 round_up(u64 value, u64 alignment) { return (value + alignment - 1) / alignment * alignment; }

// A zero alignment means "no alignment".
u64 effective_alignment(u32 alignment) { return alignment ? alignment : 1; }

// A shift by the bit width or more is undefined; such a mip is simply empty.
u64 mip_dimension(u32 dimension, u32 mip) { return mip >= 32 ? 0 : dimension >> mip; }

// The level's width or height before rounding to whole blocks.
u64 level_dimension(u32 dimension, u32 mip, u32 block_kind) {
  const u64 d = mip_dimension(dimension, mip);
  switch (block_kind) {
    case FORMAT_BLOCK_PIXELS:
      return d > 1 ? d : 1;
    case FORMAT_BLOCK_4X4:
      return d > 4 ? d : 4;
    default:
      return 0;
  }
}

u64 saturating_add(u64 a, u64 b) {
  u64 r;
  return __builtin_add_overflow(a, b, &r) ? SURFACE_SIZE_OVERFLOW : r;
}

u64 saturating_mul(u64 a, u64 b) {
  u64 r;
  return __builtin_mul_overflow(a, b, &r) ? SURFACE_SIZE_OVERFLOW : r;
}

// Tight bytes of one mip level of w x h pixels (both at least 1).
u64 tight_level_size(const format_info_t& info, u64 w, u64 h) {
  switch (info.block_kind) {
    case FORMAT_BLOCK_PIXELS:
      return saturating_mul(saturating_mul(info.bits_per_pixel / 8, w), h);
    case FORMAT_BLOCK_4X4:
      return saturating_mul(saturating_mul((w + 3) / 4, (h + 3) / 4), 16u * info.bits_per_pixel / 8);
    case FORMAT_BLOCK_PVRTC_2BPP:
      return saturating_add(saturating_mul(saturating_mul(w > 16 ? w : 16, h > 8 ? h : 8), 2), 7) / 8;
    case FORMAT_BLOCK_PVRTC_4BPP:
      return saturating_add(saturating_mul(saturating_mul(w > 8 ? w : 8, h > 8 ? h : 8), 4), 7) / 8;
    case FORMAT_BLOCK_1BPP:
      return saturating_mul((w + 7) / 8, h);
    default:
      return 0;
  }
}

// Bytes of one row of a level: a row of pixels, or a row of 4x4 blocks. Widths that
// are not whole blocks count the partial block, as the data holds it.
u64 row_bytes(const format_info_t& info, u64 width) {
  if (info.block_kind == FORMAT_BLOCK_4X4) return (width + 3) / 4 * (16u * info.bits_per_pixel / 8);
  return (info.bits_per_pixel * width + 7) / 8;
}

}  // namespace

const format_info_t& format_get_info(format_t format) {
  const u32 number = static_cast<u8>(format);
  if (number < 100) return FORMAT_TABLE_MAIN[number];
  if (number >= FORMAT_EXTENSION_FIRST && number < FORMAT_EXTENSION_FIRST + 22) {
    const format_info_t& row = FORMAT_TABLE_EXTENSION[number - FORMAT_EXTENSION_FIRST];
    if (row.id != 0) return row;
  }
  return FORMAT_TABLE_MAIN[0];
}

bool format_is_layout_supported(format_t format) {
  const format_info_t& info = format_get_info(format);
  return info.id != 0 && (info.block_kind == FORMAT_BLOCK_PIXELS || info.block_kind == FORMAT_BLOCK_4X4);
}

unsigned surface_get_image_pitch(format_t format, unsigned width, unsigned alignment) {
  const format_info_t& info = format_get_info(format);
  u64 line = 0;
  if (info.block_kind == FORMAT_BLOCK_PIXELS) {
    const u64 w = width > 1 ? width : 1;
    line = w * info.bits_per_pixel / 8;
  } else if (info.block_kind == FORMAT_BLOCK_4X4) {
    const u64 w = width > 4 ? width : 4;
    line = row_bytes(info, w);
  } else {
    UMBRA_FAIL("Unsupported blocks type");
  }
  const u64 pitch = round_up(line, effective_alignment(alignment));
  return pitch > U32_LIMIT ? 0 : static_cast<unsigned>(pitch);
}

bool surface_compute_layout(format_t format, u32 width, u32 height, u32 mip_count, u32 pitch_alignment,
                            u32 image_alignment, u32 level_count, surface_level_layout_t* layouts,
                            u32* row_counts, u32* line_sizes, u64* total_size) {
  if (total_size) *total_size = 0;
  if (level_count == 0) return true;
  if (mip_count == 0) return false;

  const format_info_t& info = format_get_info(format);
  const u64 block = info.block_kind == FORMAT_BLOCK_4X4 ? 4 : 1;
  const u64 unit = info.block_kind == FORMAT_BLOCK_4X4 ? 16u * info.bits_per_pixel / 8 : info.bits_per_pixel / 8;
  const u64 row_alignment = effective_alignment(pitch_alignment);
  const u64 level_alignment = effective_alignment(image_alignment);

  u64 offset = 0;
  u64 end = 0;
  for (u32 i = 0; i < level_count; ++i) {
    const u32 mip = i % mip_count;
    const u64 w = round_up(level_dimension(width, mip, info.block_kind), block);
    const u64 h = round_up(level_dimension(height, mip, info.block_kind), block);
    const u64 line = w / block * unit;
    const u64 pitch = round_up(line, row_alignment);
    const u64 rows = h / block;
    if (w > U32_LIMIT || h > U32_LIMIT || pitch > U32_LIMIT || offset > U32_LIMIT) return false;
    const u64 size = rows ? (rows - 1) * pitch + line : 0;
    end = offset + size;
    if (end > U32_LIMIT) return false;

    if (layouts) layouts[i] = {static_cast<u32>(offset), static_cast<u32>(w), static_cast<u32>(h),
                               static_cast<u32>(pitch), static_cast<u32>(size)};
    if (row_counts) row_counts[i] = static_cast<u32>(rows);
    if (line_sizes) line_sizes[i] = static_cast<u32>(line);
    offset = round_up(end, level_alignment);
  }
  if (total_size) *total_size = end;
  return true;
}

u64 surface_get_chain_size(format_t format, u32 width, u32 height, u32 mip_count) {
  const format_info_t& info = format_get_info(format);
  u64 total = 0;
  for (u32 mip = 0; mip < mip_count; ++mip) {
    const u64 w = mip_dimension(width, mip) > 1 ? mip_dimension(width, mip) : 1;
    const u64 h = mip_dimension(height, mip) > 1 ? mip_dimension(height, mip) : 1;
    const u64 level = tight_level_size(info, w, h);
    if (w == 1 && h == 1) {
      // Every further level is 1x1 as well: count them at once, however many are declared.
      return saturating_add(total, saturating_mul(level, mip_count - mip));
    }
    total = saturating_add(total, level);
  }
  return total;
}

void texture_image_simple_copy(void* dst, const void* src, unsigned width, unsigned height, format_t format,
                               unsigned dst_pitch, unsigned src_pitch, bool unused_flag) {
  (void)unused_flag;
  if (width == 0 || height == 0) return;
  const format_info_t& info = format_get_info(format);
  const u64 line = row_bytes(info, width);
  const u64 rows = info.block_kind == FORMAT_BLOCK_4X4 ? (u64(height) + 3) / 4 : height;
  UMBRA_ASSERT(src_pitch >= line, "Source pitch can't be smaller than line byte size!");
  UMBRA_ASSERT(dst_pitch >= line, "Target pitch can't be smaller than line byte size!");

  if (dst_pitch == line && src_pitch == line) {
    memory_copy_streaming(dst, src, rows * line);
    return;
  }
  u8* to = static_cast<u8*>(dst);
  const u8* from = static_cast<const u8*>(src);
  for (u64 row = 0; row < rows; ++row) {
    if (memory_copy_is_aligned(to, from, 16)) {
      memory_copy_streaming(to, from, line);
    } else {
      std::memcpy(to, from, line);
    }
    to += dst_pitch;
    from += src_pitch;
  }
}

}  // namespace umbra
