// Pixel formats and the arithmetic of image surfaces: how wide a row is, where every
// level of an image lies for given row and level alignments, how large a tightly stored
// mip chain is, and the row copy between two pitches.
//
// Every size here can come from a hostile file header, so the arithmetic runs in 64 bits
// and a result that does not fit its field is reported instead of wrapping.
#pragma once

#include <cstddef>

#include "umbracore/types.h"

namespace umbra {

// 0-99 are the DXGI_FORMAT numbers of the same names, 200-221 our own extensions.
// Numbers without a name (100-199, 210, 211, 222-255) behave as UNKNOWN.
enum class format_t : u8 {
  UNKNOWN = 0,
  R32G32B32A32_TYPELESS = 1,
  R32G32B32A32_FLOAT = 2,
  R32G32B32A32_UINT = 3,
  R32G32B32A32_SINT = 4,
  R32G32B32_TYPELESS = 5,
  R32G32B32_FLOAT = 6,
  R32G32B32_UINT = 7,
  R32G32B32_SINT = 8,
  R16G16B16A16_TYPELESS = 9,
  R16G16B16A16_FLOAT = 10,
  R16G16B16A16_UNORM = 11,
  R16G16B16A16_UINT = 12,
  R16G16B16A16_SNORM = 13,
  R16G16B16A16_SINT = 14,
  R32G32_TYPELESS = 15,
  R32G32_FLOAT = 16,
  R32G32_UINT = 17,
  R32G32_SINT = 18,
  R32G8X24_TYPELESS = 19,
  D32_FLOAT_S8X24_UINT = 20,
  R32_FLOAT_X8X24_TYPELESS = 21,
  X32_TYPELESS_G8X24_UINT = 22,
  R10G10B10A2_TYPELESS = 23,
  R10G10B10A2_UNORM = 24,
  R10G10B10A2_UINT = 25,
  R11G11B10_FLOAT = 26,
  R8G8B8A8_TYPELESS = 27,
  R8G8B8A8_UNORM = 28,
  R8G8B8A8_UNORM_SRGB = 29,
  R8G8B8A8_UINT = 30,
  R8G8B8A8_SNORM = 31,
  R8G8B8A8_SINT = 32,
  R16G16_TYPELESS = 33,
  R16G16_FLOAT = 34,
  R16G16_UNORM = 35,
  R16G16_UINT = 36,
  R16G16_SNORM = 37,
  R16G16_SINT = 38,
  R32_TYPELESS = 39,
  D32_FLOAT = 40,
  R32_FLOAT = 41,
  R32_UINT = 42,
  R32_SINT = 43,
  R24G8_TYPELESS = 44,
  D24_UNORM_S8_UINT = 45,
  R24_UNORM_X8_TYPELESS = 46,
  X24_TYPELESS_G8_UINT = 47,
  R8G8_TYPELESS = 48,
  R8G8_UNORM = 49,
  R8G8_UINT = 50,
  R8G8_SNORM = 51,
  R8G8_SINT = 52,
  R16_TYPELESS = 53,
  R16_FLOAT = 54,
  D16_UNORM = 55,
  R16_UNORM = 56,
  R16_UINT = 57,
  R16_SNORM = 58,
  R16_SINT = 59,
  R8_TYPELESS = 60,
  R8_UNORM = 61,
  R8_UINT = 62,
  R8_SNORM = 63,
  R8_SINT = 64,
  A8_UNORM = 65,
  R1_UNORM = 66,
  R9G9B9E5_SHAREDEXP = 67,
  R8G8_B8G8_UNORM = 68,
  G8R8_G8B8_UNORM = 69,
  BC1_TYPELESS = 70,
  BC1_UNORM = 71,
  BC1_UNORM_SRGB = 72,
  BC2_TYPELESS = 73,
  BC2_UNORM = 74,
  BC2_UNORM_SRGB = 75,
  BC3_TYPELESS = 76,
  BC3_UNORM = 77,
  BC3_UNORM_SRGB = 78,
  BC4_TYPELESS = 79,
  BC4_UNORM = 80,
  BC4_SNORM = 81,
  BC5_TYPELESS = 82,
  BC5_UNORM = 83,
  BC5_SNORM = 84,
  B5G6R5_UNORM = 85,
  B5G5R5A1_UNORM = 86,
  B8G8R8A8_UNORM = 87,
  B8G8R8X8_UNORM = 88,
  R10G10B10_XR_BIAS_A2_UNORM = 89,
  B8G8R8A8_TYPELESS = 90,
  B8G8R8A8_UNORM_SRGB = 91,
  B8G8R8X8_TYPELESS = 92,
  B8G8R8X8_UNORM_SRGB = 93,
  BC6H_TYPELESS = 94,
  BC6H_UF16 = 95,
  BC6H_SF16 = 96,
  BC7_TYPELESS = 97,
  BC7_UNORM = 98,
  BC7_UNORM_SRGB = 99,
  R8G8B8_UNORM = 200,
  B8G8R8_UNORM = 201,
  R8G8B8_UNORM_SRGB = 202,
  B8G8R8_UNORM_SRGB = 203,
  R10G10B10A2_SNORM = 204,
  R10G10B10X2_SNORM = 205,
  L8_UNORM = 206,
  L8A8_UNORM = 207,
  D24_UNORM = 208,
  B10G10R10A2_UNORM = 209,
  PVRTC_2BPP_RGB = 212,
  PVRTC_2BPP_RGBA = 213,
  PVRTC_4BPP_RGB = 214,
  PVRTC_4BPP_RGBA = 215,
  R4G4B4A4_UNORM = 216,
  R5G6B5_UNORM = 217,
  B5G5R5X1_UNORM = 218,
  R8G8B8X8_UNORM = 219,
  R8G8B8X8_UNORM_SRGB = 220,
  D24_UNORM_X8_UINT = 221,
};

// How a format packs its pixels. The surface layout supports plain pixels and 4x4 blocks;
// the other kinds exist in the table only.
enum format_block_kind_t : u8 {
  FORMAT_BLOCK_PIXELS = 0,
  FORMAT_BLOCK_4X4 = 1,
  FORMAT_BLOCK_PVRTC_2BPP = 2,  // levels of at least 16x8 pixels
  FORMAT_BLOCK_PVRTC_4BPP = 3,  // levels of at least 8x8 pixels
  FORMAT_BLOCK_1BPP = 4,        // eight pixels per byte
};

struct format_info_t {
  u8 id;              // the format's own number; 0 for a number without a row
  u8 bits_per_pixel;  // average bits per pixel for block formats
  u8 srgb;            // 1 for sRGB-encoded colour
  u8 block_kind;      // format_block_kind_t
  const char* name;
};

// The row of a format; unassigned numbers give the UNKNOWN row.
const format_info_t& format_get_info(format_t format);
inline u32 format_bits_per_pixel(format_t format) { return format_get_info(format).bits_per_pixel; }
inline u32 format_block_kind(format_t format) { return format_get_info(format).block_kind; }
inline bool format_is_srgb(format_t format) { return format_get_info(format).srgb != 0; }
inline const char* format_name(format_t format) { return format_get_info(format).name; }
// True for a format with a row whose surfaces the layout functions can describe.
bool format_is_layout_supported(format_t format);

// Where one level (face, mip) of an image lies in the image data.
struct surface_level_layout_t {
  u32 offset;  // from the start of the image data
  u32 width;   // rounded up to the block width
  u32 height;  // rounded up to the block height
  u32 pitch;   // bytes from one row of pixels or blocks to the next
  u32 size;    // bytes of the level; its last row carries no padding
};

// Bytes of one row (of pixels, or of 4x4 blocks) of a level of the given width, rounded
// up to the alignment (0 counts as 1). 0 when the row does not fit in 32 bits.
// Stops the process for block kinds other than plain pixels and 4x4 blocks.
unsigned surface_get_image_pitch(format_t format, unsigned width, unsigned alignment);

// Lays out level_count levels, face-major (level i is mip i mod mip_count), each level
// starting at a multiple of image_alignment and each row at a multiple of pitch_alignment
// from its level's start (0 counts as 1 for both). Any output may be null; the arrays
// hold level_count entries. The total is the end of the last level (no trailing padding).
// Returns false (total 0) when mip_count is 0 with levels requested, or when an offset or
// a size does not fit its 32-bit field: such an image cannot be described.
bool surface_compute_layout(format_t format, u32 width, u32 height, u32 mip_count, u32 pitch_alignment,
                            u32 image_alignment, u32 level_count, surface_level_layout_t* layouts,
                            u32* row_counts, u32* line_sizes, u64* total_size);

// Bytes of one face's mip chain stored tightly, as in a DDS file. Saturates at
// SURFACE_SIZE_OVERFLOW, which no file can hold, so a comparison with a real size fails.
constexpr u64 SURFACE_SIZE_OVERFLOW = ~0ull;
u64 surface_get_chain_size(format_t format, u32 width, u32 height, u32 mip_count);

// Copies one level of width x height pixels between two row pitches. Both pitches must
// hold a row of the level (stops the process otherwise). The last flag has no effect.
void texture_image_simple_copy(void* dst, const void* src, unsigned width, unsigned height, format_t format,
                               unsigned dst_pitch, unsigned src_pitch, bool unused_flag);

}  // namespace umbra
