#include "umbracore/umbrautils/format/format_tools.h"
#include "support/death_pattern.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using umbra::format_t;
using umbra::surface_level_layout_t;
using umbra::u32;
using umbra::u64;
using umbra::u8;

format_t fmt(unsigned number) { return static_cast<format_t>(number); }

struct format_row_case_t {
  unsigned number;
  const char* name;
  unsigned bits_per_pixel;
  unsigned srgb;
  unsigned block_kind;
};

// Both ends of every run of equal rows, so a row shifted by one shows up.
TEST(format_table, rows_at_every_boundary) {
  const format_row_case_t cases[] = {
      {0, "UNKNOWN", 0, 0, 0},
      {1, "R32G32B32A32_TYPELESS", 128, 0, 0},
      {4, "R32G32B32A32_SINT", 128, 0, 0},
      {5, "R32G32B32_TYPELESS", 96, 0, 0},
      {8, "R32G32B32_SINT", 96, 0, 0},
      {9, "R16G16B16A16_TYPELESS", 64, 0, 0},
      {22, "X32_TYPELESS_G8X24_UINT", 64, 0, 0},
      {23, "R10G10B10A2_TYPELESS", 32, 0, 0},
      {29, "R8G8B8A8_UNORM_SRGB", 32, 1, 0},
      {47, "X24_TYPELESS_G8_UINT", 32, 0, 0},
      {48, "R8G8_TYPELESS", 16, 0, 0},
      {59, "R16_SINT", 16, 0, 0},
      {60, "R8_TYPELESS", 8, 0, 0},
      {65, "A8_UNORM", 8, 0, 0},
      {66, "R1_UNORM", 1, 0, 4},
      {67, "R9G9B9E5_SHAREDEXP", 32, 0, 0},
      {69, "G8R8_G8B8_UNORM", 32, 0, 0},
      {70, "BC1_TYPELESS", 4, 0, 1},
      {72, "BC1_UNORM_SRGB", 4, 1, 1},
      {73, "BC2_TYPELESS", 8, 0, 1},
      {75, "BC2_UNORM_SRGB", 8, 1, 1},
      {78, "BC3_UNORM_SRGB", 8, 1, 1},
      {79, "BC4_TYPELESS", 4, 0, 1},
      {81, "BC4_SNORM", 4, 0, 1},
      {82, "BC5_TYPELESS", 8, 0, 1},
      {84, "BC5_SNORM", 8, 0, 1},
      {85, "B5G6R5_UNORM", 16, 0, 0},
      {86, "B5G5R5A1_UNORM", 16, 0, 0},
      {87, "B8G8R8A8_UNORM", 32, 0, 0},
      {91, "B8G8R8A8_UNORM_SRGB", 32, 1, 0},
      {93, "B8G8R8X8_UNORM_SRGB", 32, 1, 0},
      {94, "BC6H_TYPELESS", 8, 0, 1},
      {99, "BC7_UNORM_SRGB", 8, 1, 1},
      {200, "R8G8B8_UNORM", 24, 0, 0},
      {202, "R8G8B8_UNORM_SRGB", 24, 1, 0},
      {203, "B8G8R8_UNORM_SRGB", 24, 1, 0},
      {204, "R10G10B10A2_SNORM", 32, 0, 0},
      {205, "R10G10B10X2_SNORM", 32, 0, 0},
      {206, "L8_UNORM", 8, 0, 0},
      {207, "L8A8_UNORM", 16, 0, 0},
      {208, "D24_UNORM", 24, 0, 0},
      {209, "B10G10R10A2_UNORM", 32, 0, 0},
      {212, "PVRTC_2BPP_RGB", 2, 0, 2},
      {213, "PVRTC_2BPP_RGBA", 2, 0, 2},
      {214, "PVRTC_4BPP_RGB", 4, 0, 3},
      {215, "PVRTC_4BPP_RGBA", 4, 0, 3},
      {216, "R4G4B4A4_UNORM", 16, 0, 0},
      {218, "B5G5R5X1_UNORM", 16, 0, 0},
      {219, "R8G8B8X8_UNORM", 32, 0, 0},
      {220, "R8G8B8X8_UNORM_SRGB", 32, 1, 0},
      {221, "D24_UNORM_X8_UINT", 32, 0, 0},
  };
  for (const format_row_case_t& c : cases) {
    SCOPED_TRACE(c.number);
    const umbra::format_info_t& info = umbra::format_get_info(fmt(c.number));
    EXPECT_EQ(info.id, c.number);
    EXPECT_STREQ(info.name, c.name);
    EXPECT_EQ(info.bits_per_pixel, c.bits_per_pixel);
    EXPECT_EQ(info.srgb, c.srgb);
    EXPECT_EQ(info.block_kind, c.block_kind);
  }
  EXPECT_EQ(static_cast<unsigned>(format_t::BC7_UNORM), 98u);
  EXPECT_EQ(static_cast<unsigned>(format_t::D24_UNORM_X8_UINT), 221u);
}

TEST(format_table, every_row_carries_its_own_number_and_only_the_listed_ones_are_srgb) {
  std::vector<unsigned> srgb;
  for (unsigned n = 0; n < 256; ++n) {
    const umbra::format_info_t& info = umbra::format_get_info(fmt(n));
    if (info.id != 0) {
      EXPECT_EQ(info.id, n);
    }
    if (info.srgb) srgb.push_back(n);
  }
  EXPECT_EQ(srgb, (std::vector<unsigned>{29, 72, 75, 78, 91, 93, 99, 202, 203, 220}));
}

TEST(format_table, unassigned_numbers_behave_as_unknown) {
  for (unsigned n : {100u, 150u, 199u, 210u, 211u, 222u, 255u}) {
    SCOPED_TRACE(n);
    const umbra::format_info_t& info = umbra::format_get_info(fmt(n));
    EXPECT_EQ(&info, &umbra::format_get_info(format_t::UNKNOWN));
    EXPECT_STREQ(info.name, "UNKNOWN");
    EXPECT_EQ(umbra::format_bits_per_pixel(fmt(n)), 0u);
    EXPECT_FALSE(umbra::format_is_layout_supported(fmt(n)));
    EXPECT_EQ(umbra::surface_get_chain_size(fmt(n), 64, 64, 3), 0u);
    EXPECT_EQ(umbra::surface_get_image_pitch(fmt(n), 64, 1), 0u);
  }
}

TEST(format_table, layout_support_is_plain_pixels_and_4x4_blocks) {
  EXPECT_TRUE(umbra::format_is_layout_supported(format_t::R8G8B8A8_UNORM));
  EXPECT_TRUE(umbra::format_is_layout_supported(format_t::BC7_UNORM));
  EXPECT_TRUE(umbra::format_is_layout_supported(format_t::R8G8B8_UNORM_SRGB));
  EXPECT_FALSE(umbra::format_is_layout_supported(format_t::R1_UNORM));
  EXPECT_FALSE(umbra::format_is_layout_supported(format_t::PVRTC_2BPP_RGB));
  EXPECT_FALSE(umbra::format_is_layout_supported(format_t::PVRTC_4BPP_RGBA));
  EXPECT_FALSE(umbra::format_is_layout_supported(format_t::UNKNOWN));
}

struct pitch_case_t {
  format_t format;
  unsigned width;
  unsigned alignment;
  unsigned pitch;
};

TEST(surface_pitch, table) {
  const pitch_case_t cases[] = {
      {format_t::BC1_UNORM, 1, 256, 256},
      {format_t::BC1_UNORM, 8, 1, 16},
      {format_t::BC1_UNORM, 0, 0, 8},  // a block row is never narrower than one block
      {format_t::BC1_UNORM, 6, 1, 16},  // a partial block still takes a whole block
      {format_t::BC3_UNORM, 8, 0, 32},
      {format_t::BC7_UNORM, 1024, 256, 4096},
      {format_t::R8G8B8A8_UNORM, 3, 1, 12},
      {format_t::R8G8B8A8_UNORM, 0, 1, 4},
      {format_t::R8G8B8_UNORM, 5, 4, 16},
      {format_t::R8G8B8_UNORM, 5, 0, 15},
      {format_t::R32G32B32A32_FLOAT, 16, 256, 256},
      {format_t::R8_UNORM, 257, 256, 512},
      // A row that does not fit in 32 bits is reported, not wrapped.
      {format_t::R32G32B32A32_FLOAT, 0xFFFFFFFFu, 1, 0},
      {format_t::R8_UNORM, 0xFFFFFFFFu, 256, 0},
  };
  for (const pitch_case_t& c : cases) {
    SCOPED_TRACE(::testing::Message() << static_cast<unsigned>(c.format) << " w=" << c.width << " a=" << c.alignment);
    EXPECT_EQ(umbra::surface_get_image_pitch(c.format, c.width, c.alignment), c.pitch);
  }
}

TEST(surface_pitch_death, other_block_kinds_stop) {
  EXPECT_DEATH(umbra::surface_get_image_pitch(format_t::PVRTC_4BPP_RGB, 8, 1), "Unsupported blocks type");
  EXPECT_DEATH(umbra::surface_get_image_pitch(format_t::R1_UNORM, 8, 1), "Unsupported blocks type");
}

std::vector<surface_level_layout_t> layout_of(format_t format, u32 w, u32 h, u32 mips, u32 faces, u32 pa, u32 ia,
                                              u64* total, bool* ok = nullptr) {
  std::vector<surface_level_layout_t> levels(faces * mips);
  const bool result = umbra::surface_compute_layout(format, w, h, mips, pa, ia, faces * mips, levels.data(),
                                                    nullptr, nullptr, total);
  if (ok) *ok = result;
  return levels;
}

TEST(surface_layout, bc3_two_mips_with_row_and_level_alignment) {
  u32 rows[2], lines[2];
  surface_level_layout_t levels[2];
  u64 total = 1;
  ASSERT_TRUE(umbra::surface_compute_layout(format_t::BC3_UNORM, 8, 8, 2, 256, 512, 2, levels, rows, lines, &total));
  EXPECT_EQ(levels[0].offset, 0u);
  EXPECT_EQ(levels[0].width, 8u);
  EXPECT_EQ(levels[0].height, 8u);
  EXPECT_EQ(levels[0].pitch, 256u);
  EXPECT_EQ(levels[0].size, 288u);
  EXPECT_EQ(rows[0], 2u);
  EXPECT_EQ(lines[0], 32u);
  EXPECT_EQ(levels[1].offset, 512u);
  EXPECT_EQ(levels[1].width, 4u);
  EXPECT_EQ(levels[1].height, 4u);
  EXPECT_EQ(levels[1].pitch, 256u);
  EXPECT_EQ(levels[1].size, 16u);
  EXPECT_EQ(rows[1], 1u);
  EXPECT_EQ(lines[1], 16u);
  EXPECT_EQ(total, 528u);
}

TEST(surface_layout, bc1_full_chain_of_nine_mips) {
  u64 total = 0;
  const auto levels = layout_of(format_t::BC1_UNORM, 256, 256, 9, 1, 256, 512, &total);
  const u32 offsets[9] = {0, 32768, 40960, 45056, 47104, 48128, 48640, 49152, 49664};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(levels[i].offset, offsets[i]) << "mip " << i;
  EXPECT_EQ(levels[8].width, 4u);
  EXPECT_EQ(levels[8].size, 8u);
  EXPECT_EQ(total, 49672u);

  // Stored tightly the same chain is exactly what a DDS file holds.
  const auto tight = layout_of(format_t::BC1_UNORM, 256, 256, 9, 1, 1, 1, &total);
  EXPECT_EQ(total, umbra::surface_get_chain_size(format_t::BC1_UNORM, 256, 256, 9));
  EXPECT_EQ(total, 43704u);
}

TEST(surface_layout, small_cases) {
  u64 total = 0;
  auto levels = layout_of(format_t::R8G8B8A8_UNORM, 4, 2, 1, 1, 1, 1, &total);
  EXPECT_EQ(levels[0].size, 32u);
  EXPECT_EQ(total, 32u);

  // The last row of a level is not padded, and neither is the end of the image.
  levels = layout_of(format_t::R8G8B8A8_UNORM, 3, 3, 1, 1, 16, 64, &total);
  EXPECT_EQ(levels[0].pitch, 16u);
  EXPECT_EQ(levels[0].size, 2 * 16u + 12u);
  EXPECT_EQ(total, 44u);

  // Block formats round partial blocks up, and small mips never shrink below one block.
  levels = layout_of(format_t::BC1_UNORM, 5, 3, 3, 1, 1, 1, &total);
  EXPECT_EQ(levels[0].width, 8u);
  EXPECT_EQ(levels[0].height, 4u);
  EXPECT_EQ(levels[0].size, 16u);
  EXPECT_EQ(levels[1].width, 4u);
  EXPECT_EQ(levels[2].offset, 24u);
  EXPECT_EQ(total, 32u);
}

TEST(surface_layout, faces_are_numbered_face_major) {
  u64 total = 0;
  const auto levels = layout_of(format_t::R8G8B8A8_UNORM, 4, 4, 2, 6, 1, 512, &total);
  ASSERT_EQ(levels.size(), 12u);
  for (u32 face = 0; face < 6; ++face) {
    EXPECT_EQ(levels[face * 2].width, 4u);
    EXPECT_EQ(levels[face * 2].offset, face * 1024u);
    EXPECT_EQ(levels[face * 2 + 1].width, 2u);
    EXPECT_EQ(levels[face * 2 + 1].offset, face * 1024u + 512u);
    EXPECT_EQ(levels[face * 2 + 1].size, 16u);
  }
  EXPECT_EQ(total, 5 * 1024u + 512u + 16u);
}

TEST(surface_layout, degenerate_and_hostile_requests) {
  u64 total = 7;
  EXPECT_TRUE(umbra::surface_compute_layout(format_t::BC1_UNORM, 4, 4, 1, 1, 1, 0, nullptr, nullptr, nullptr, &total));
  EXPECT_EQ(total, 0u);

  total = 7;
  EXPECT_FALSE(umbra::surface_compute_layout(format_t::BC1_UNORM, 4, 4, 0, 1, 1, 1, nullptr, nullptr, nullptr, &total));
  EXPECT_EQ(total, 0u);

  bool ok = true;
  // 64 GiB of pixels: no 32-bit offset or size can describe it.
  layout_of(format_t::R32G32B32A32_FLOAT, 65536, 65536, 1, 1, 1, 1, &total, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(total, 0u);
  // Each face fits, six of them do not.
  layout_of(format_t::R8G8B8A8_UNORM, 16384, 16384, 1, 6, 1, 1, &total, &ok);
  EXPECT_FALSE(ok);
  // A width whose block rounding would wrap.
  layout_of(format_t::BC1_UNORM, 0xFFFFFFFFu, 4, 1, 1, 1, 1, &total, &ok);
  EXPECT_FALSE(ok);
  // Mips far beyond 1x1, with a mip count past the shift width of the dimensions.
  const auto levels = layout_of(format_t::R8G8B8A8_UNORM, 2, 2, 40, 1, 1, 1, &total, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(levels[39].width, 1u);
  EXPECT_EQ(total, 16u + 39 * 4u);
  // Kinds the layout does not support give empty levels instead of garbage.
  layout_of(format_t::PVRTC_4BPP_RGB, 16, 16, 2, 1, 256, 512, &total, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(total, 0u);
}

struct chain_case_t {
  format_t format;
  u32 width, height, mips;
  u64 size;
};

TEST(surface_chain_size, table) {
  const chain_case_t cases[] = {
      {format_t::BC1_UNORM, 4, 4, 3, 24},
      {format_t::BC1_UNORM, 256, 256, 9, 43704},
      {format_t::BC1_UNORM, 256, 256, 0, 0},
      {format_t::BC3_UNORM, 8, 8, 2, 64 + 16},
      {format_t::BC7_UNORM, 5, 3, 1, 32},
      {format_t::R8G8B8A8_UNORM, 4, 4, 3, 64 + 16 + 4},
      {format_t::R8G8B8A8_UNORM, 8, 2, 4, 64 + 16 + 8 + 4},
      {format_t::R8G8B8_UNORM, 3, 1, 1, 9},
      {format_t::PVRTC_2BPP_RGB, 4, 4, 1, 32},  // at least 16x8 pixels at 2 bits
      {format_t::PVRTC_4BPP_RGB, 4, 4, 2, 64},  // at least 8x8 pixels at 4 bits
      {format_t::R1_UNORM, 9, 3, 1, 6},
      // A 1x1 tail counted at once, however long it is declared.
      {format_t::R8G8B8A8_UNORM, 1, 1, 0xFFFFFFFFu, 4ull * 0xFFFFFFFFu},
      // Sizes past 64 bits saturate, so any comparison with a real file size fails.
      {format_t::R32G32B32A32_FLOAT, 0xFFFFFFFFu, 0xFFFFFFFFu, 1, umbra::SURFACE_SIZE_OVERFLOW},
      {format_t::R32G32B32A32_FLOAT, 0x80000000u, 0x80000000u, 2, umbra::SURFACE_SIZE_OVERFLOW},
  };
  for (const chain_case_t& c : cases) {
    SCOPED_TRACE(::testing::Message() << static_cast<unsigned>(c.format) << " " << c.width << "x" << c.height << " m"
                                      << c.mips);
    EXPECT_EQ(umbra::surface_get_chain_size(c.format, c.width, c.height, c.mips), c.size);
  }
}

// A source buffer with a recognisable byte in every position.
std::vector<u8> pattern(size_t n, u8 seed) {
  std::vector<u8> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<u8>(seed + i * 7 + (i >> 8));
  return v;
}

TEST(texture_copy, repitches_rows_and_leaves_padding_alone) {
  // BC1 12x8: three blocks (24 bytes) per block row, two block rows.
  const std::vector<u8> src = pattern(2 * 24, 1);
  alignas(64) u8 dst[2 * 256];
  std::memset(dst, 0xEE, sizeof(dst));
  umbra::texture_image_simple_copy(dst, src.data(), 12, 8, format_t::BC1_UNORM, 256, 24, false);
  for (int row = 0; row < 2; ++row) {
    EXPECT_EQ(std::memcmp(dst + row * 256, src.data() + row * 24, 24), 0) << row;
    for (int i = 24; i < 256; ++i) ASSERT_EQ(dst[row * 256 + i], 0xEE) << row << ":" << i;
  }

  // Back to tight rows: the round trip restores the source exactly.
  std::vector<u8> back(src.size());
  umbra::texture_image_simple_copy(back.data(), dst, 12, 8, format_t::BC1_UNORM, 24, 256, true);
  EXPECT_EQ(back, src);
}

TEST(texture_copy, equal_pitches_copy_the_whole_level_at_once) {
  const std::vector<u8> src = pattern(7 * 5 * 3, 9);  // R8G8B8 7x5
  std::vector<u8> dst(src.size() + 3, 0xEE);
  umbra::texture_image_simple_copy(dst.data(), src.data(), 7, 5, format_t::R8G8B8_UNORM, 21, 21, false);
  EXPECT_EQ(std::memcmp(dst.data(), src.data(), src.size()), 0);
  EXPECT_EQ(dst[src.size()], 0xEE);
}

TEST(texture_copy, unaligned_rows_and_partial_blocks) {
  // RGBA 5x3 into rows of 33 bytes at an odd address: only ordinary copies are possible.
  const std::vector<u8> src = pattern(5 * 4 * 3, 3);
  std::vector<u8> dst(1 + 33 * 3, 0xEE);
  umbra::texture_image_simple_copy(dst.data() + 1, src.data(), 5, 3, format_t::R8G8B8A8_UNORM, 33, 20, false);
  for (int row = 0; row < 3; ++row) EXPECT_EQ(std::memcmp(dst.data() + 1 + row * 33, src.data() + row * 20, 20), 0);
  EXPECT_EQ(dst[0], 0xEE);
  EXPECT_EQ(dst[1 + 20], 0xEE);

  // BC3 6x6 holds 2x2 blocks of 16 bytes even though 6 is not a multiple of 4.
  const std::vector<u8> blocks = pattern(2 * 32, 5);
  std::vector<u8> out(2 * 48, 0xEE);
  umbra::texture_image_simple_copy(out.data(), blocks.data(), 6, 6, format_t::BC3_UNORM, 48, 32, false);
  EXPECT_EQ(std::memcmp(out.data(), blocks.data(), 32), 0);
  EXPECT_EQ(std::memcmp(out.data() + 48, blocks.data() + 32, 32), 0);
}

TEST(texture_copy, empty_levels_copy_nothing) {
  u8 dst[4] = {1, 2, 3, 4};
  const u8 src[4] = {9, 9, 9, 9};
  umbra::texture_image_simple_copy(dst, src, 0, 4, format_t::R8_UNORM, 0, 0, false);
  umbra::texture_image_simple_copy(dst, src, 4, 0, format_t::R8_UNORM, 0, 0, false);
  EXPECT_EQ(dst[0], 1);
}

TEST(texture_copy_death, pitches_shorter_than_a_row_stop) {
  u8 buffer[256] = {};
  EXPECT_DEATH(umbra::texture_image_simple_copy(buffer, buffer + 128, 4, 1, format_t::R8G8B8A8_UNORM, 16, 12, false),
               "Source pitch can't be smaller than line byte size!");
  EXPECT_DEATH(umbra::texture_image_simple_copy(buffer, buffer + 128, 4, 1, format_t::R8G8B8A8_UNORM, 15, 16, false),
               "Target pitch can't be smaller than line byte size!");
  EXPECT_DEATH(umbra::texture_image_simple_copy(buffer, buffer + 128, 8, 4, format_t::BC1_UNORM, 16, 8, false),
               "format_tools\\.cpp\\(" UMBRA_RE_DIGITS "\\): texture_image_simple_copy: Source pitch");
}

}  // namespace
