#include "umbracore/umbrautils/format/tobj.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/death_pattern.h"

using namespace umbra;

namespace {

tobj_header_t zero_header() {
  tobj_header_t header;
  std::memset(&header, 0, sizeof(header));
  header.magic = TOBJ_MAGIC;
  return header;
}

tobj_header_t sampler_header(u8 primary, u8 secondary, u8 mip, u8 u, u8 v, u8 w) {
  tobj_header_t header = zero_header();
  header.filter_primary = primary;
  header.filter_secondary = secondary;
  header.mip_filter = mip;
  header.address_u = u;
  header.address_v = v;
  header.address_w = w;
  return header;
}

TEST(tobj_address_mode, table) {
  const unsigned expected[7] = {0, 2, 2, 3, 1, 1, 1};
  for (u32 value = 0; value < 7; ++value) EXPECT_EQ(get_address_mode_from_tobj(value), expected[value]) << value;
}

TEST(tobj_address_mode_death, values_above_six_stop) {
  EXPECT_DEATH(get_address_mode_from_tobj(7),
               "fs_meta_tobj\\.cpp\\(" UMBRA_RE_DIGITS "\\): get_address_mode_from_tobj: Failed to convert TOBJ address mode");
  EXPECT_DEATH(get_address_mode_from_tobj(255), "Failed to convert TOBJ address mode");
}

struct encode_case_t {
  tobj_header_t header;
  u32 sampler;
};

TEST(tobj_sampler, encoding) {
  const encode_case_t cases[] = {
      {sampler_header(0, 0, 0, 0, 0, 0), 0},
      {sampler_header(1, 0, 0, 0, 0, 0), 0x1},
      {sampler_header(0, 255, 0, 0, 0, 0), 0x2},
      // Mip filter 3 is "other": linear.
      {sampler_header(3, 3, 3, 0, 0, 0), 0x7},
      {sampler_header(0, 0, 1, 0, 0, 0), 1u << 2},
      {sampler_header(0, 0, 2, 0, 0, 0), 2u << 2},
      {sampler_header(0, 0, 200, 0, 0, 0), 1u << 2},
      // Address bytes 0, 1, 5 become modes 0, 2, 1.
      {sampler_header(0, 0, 0, 0, 1, 5), 0u << 4 | 2u << 7 | 1u << 10},
      {sampler_header(0, 0, 0, 3, 4, 6), 3u << 4 | 1u << 7 | 1u << 10},
      {sampler_header(0, 0, 0, 2, 0, 3), 2u << 4 | 3u << 10},
      {sampler_header(1, 1, 2, 3, 3, 3), 0x3 | 2u << 2 | 3u << 4 | 3u << 7 | 3u << 10},
  };
  for (const encode_case_t& c : cases) {
    const tobj_header_t& h = c.header;
    EXPECT_EQ(tobj_encode_sampler(h), c.sampler)
        << unsigned(h.filter_primary) << "," << unsigned(h.filter_secondary) << "," << unsigned(h.mip_filter) << " "
        << unsigned(h.address_u) << "," << unsigned(h.address_v) << "," << unsigned(h.address_w);
  }
}

TEST(tobj_sampler, only_address_bytes_up_to_six_are_valid) {
  EXPECT_TRUE(tobj_sampler_is_valid(sampler_header(255, 255, 255, 6, 6, 6)));
  EXPECT_FALSE(tobj_sampler_is_valid(sampler_header(0, 0, 0, 7, 0, 0)));
  EXPECT_FALSE(tobj_sampler_is_valid(sampler_header(0, 0, 0, 0, 200, 0)));
  EXPECT_FALSE(tobj_sampler_is_valid(sampler_header(0, 0, 0, 0, 0, 7)));
}

struct decode_case_t {
  u32 sampler;
  u8 primary, secondary, mip, u, v, w;
  std::vector<std::string> warnings;
};

TEST(tobj_sampler, decoding) {
  const std::string mip_warning = "Unknown mipmap filtering mode provided, defaulting to linear";
  const std::string address_warning = "Unknown texture addressing mode provided, defaulting to repeat";
  const decode_case_t cases[] = {
      {0, 0, 0, 0, 0, 0, 0, {}},
      {0x3, 1, 1, 0, 0, 0, 0, {}},
      {1u << 2, 0, 0, 1, 0, 0, 0, {}},
      {2u << 2, 0, 0, 2, 0, 0, 0, {}},
      {3u << 2, 0, 0, 1, 0, 0, 0, {mip_warning}},
      // Modes 0-3 come back as address bytes 0, 4, 2, 3.
      {1u << 4 | 2u << 7 | 3u << 10, 0, 0, 0, 4, 2, 3, {}},
      {4u << 4, 0, 0, 0, 0, 0, 0, {address_warning}},
      {7u << 4 | 5u << 7 | 6u << 10, 0, 0, 0, 0, 0, 0, {address_warning, address_warning, address_warning}},
      // Bits above 12 carry nothing.
      {0xFFFFE000u, 0, 0, 0, 0, 0, 0, {}},
  };
  for (const decode_case_t& c : cases) {
    SCOPED_TRACE(c.sampler);
    umbra_test::log_capture_t log;
    tobj_header_t header = zero_header();
    tobj_decode_sampler(c.sampler, &header);
    EXPECT_EQ(header.filter_primary, c.primary);
    EXPECT_EQ(header.filter_secondary, c.secondary);
    EXPECT_EQ(header.mip_filter, c.mip);
    EXPECT_EQ(header.address_u, c.u);
    EXPECT_EQ(header.address_v, c.v);
    EXPECT_EQ(header.address_w, c.w);
    EXPECT_EQ(log.texts(), c.warnings);
    for (const auto& m : log.messages()) EXPECT_EQ(m.level, LOG_LEVEL_WARNING);
  }
}

TEST(tobj_sampler, round_trip_keeps_all_but_the_merged_address_modes) {
  const u8 back[7] = {0, 2, 2, 3, 4, 4, 4};
  for (u8 address = 0; address <= 6; ++address) {
    tobj_header_t header = zero_header();
    tobj_decode_sampler(tobj_encode_sampler(sampler_header(0, 0, 0, address, address, address)), &header);
    EXPECT_EQ(header.address_u, back[address]) << unsigned(address);
    EXPECT_EQ(header.address_v, back[address]) << unsigned(address);
    EXPECT_EQ(header.address_w, back[address]) << unsigned(address);
  }
  const u8 mip_back[4] = {0, 1, 2, 1};
  for (u8 mip = 0; mip < 4; ++mip) {
    tobj_header_t header = zero_header();
    tobj_decode_sampler(tobj_encode_sampler(sampler_header(3, 0, mip, 0, 0, 0)), &header);
    EXPECT_EQ(header.mip_filter, mip_back[mip]);
    EXPECT_EQ(header.filter_primary, 1);
    EXPECT_EQ(header.filter_secondary, 0);
  }
}

TEST(tobj_color_space, linear_descriptors_drop_the_srgb_formats) {
  struct color_case_t {
    format_t format;
    format_t linear;
  };
  const color_case_t cases[] = {
      {format_t::R8G8B8A8_UNORM_SRGB, format_t::R8G8B8A8_UNORM},
      {format_t::BC1_UNORM_SRGB, format_t::BC1_UNORM},
      {format_t::BC2_UNORM_SRGB, format_t::BC2_UNORM},
      {format_t::BC3_UNORM_SRGB, format_t::BC3_UNORM},
      {format_t::B8G8R8A8_UNORM_SRGB, format_t::B8G8R8A8_UNORM},
      {format_t::R8G8B8_UNORM_SRGB, format_t::R8G8B8_UNORM},
      {format_t::B8G8R8_UNORM_SRGB, format_t::B8G8R8_UNORM},
      // sRGB formats without a listed twin, and formats that are linear already.
      {format_t::B8G8R8X8_UNORM_SRGB, format_t::B8G8R8X8_UNORM_SRGB},
      {format_t::BC7_UNORM_SRGB, format_t::BC7_UNORM_SRGB},
      {format_t::R8G8B8X8_UNORM_SRGB, format_t::R8G8B8X8_UNORM_SRGB},
      {format_t::BC1_UNORM, format_t::BC1_UNORM},
      {format_t::BC5_UNORM, format_t::BC5_UNORM},
      {format_t::UNKNOWN, format_t::UNKNOWN},
  };
  for (const color_case_t& c : cases) {
    for (u8 space : {0, 1, 2, 255}) {
      tobj_header_t header = zero_header();
      header.color_space = space;
      const format_t expected = space == 1 ? c.linear : c.format;
      EXPECT_EQ(static_cast<unsigned>(tobj_apply_color_space(header, c.format)), static_cast<unsigned>(expected))
          << static_cast<unsigned>(c.format) << " space " << unsigned(space);
    }
  }
}

TEST(tobj_header, rebuild_constants) {
  for (const bool cube : {false, true}) {
    const tobj_header_t header = tobj_make_rebuild_header(cube);
    u8 bytes[TOBJ_HEADER_SIZE];
    std::memcpy(bytes, &header, sizeof(bytes));
    u8 expected[TOBJ_HEADER_SIZE] = {0x01, 0x0A, 0xB1, 0x70};
    expected[20] = 1;
    expected[24] = cube ? 5 : 2;
    expected[26] = expected[27] = expected[28] = 3;
    expected[37] = 1;
    EXPECT_EQ(std::memcmp(bytes, expected, sizeof(bytes)), 0) << cube;
    EXPECT_EQ(tobj_face_count(header), cube ? 6u : 1u);
    EXPECT_EQ(tobj_image_type(header), cube ? 1u : 0u);
  }
}

// Map names as they follow the header: a u64 count, then the bytes.
std::vector<u8> names_blob(const std::vector<std::string>& names) {
  std::vector<u8> blob;
  for (const std::string& name : names) {
    const u64 count = name.size();
    blob.insert(blob.end(), reinterpret_cast<const u8*>(&count), reinterpret_cast<const u8*>(&count) + 8);
    blob.insert(blob.end(), name.begin(), name.end());
  }
  return blob;
}

TEST(tobj_map_names, read_from_a_buffer_until_the_end) {
  const std::vector<u8> blob = names_blob({"/a.dds", "", "/textures/b.dds"});
  u64 cursor = 0;
  path_string_t name;
  std::vector<std::string> names;
  while (cursor < blob.size()) {
    ASSERT_TRUE(tobj_read_map_name(blob.data(), blob.size(), &cursor, name));
    names.push_back(name.c_str());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"/a.dds", "", "/textures/b.dds"}));
  EXPECT_EQ(cursor, blob.size());
  EXPECT_FALSE(tobj_read_map_name(blob.data(), blob.size(), &cursor, name));
}

TEST(tobj_map_names, bad_names_are_refused_without_moving_the_cursor) {
  struct bad_case_t {
    const char* what;
    std::vector<u8> blob;
  };
  std::vector<u8> huge = names_blob({"x"});
  const u64 limit = 0xFFFFFFFFull;
  std::memcpy(huge.data(), &limit, 8);
  std::vector<u8> beyond = names_blob({"/a.dds"});
  beyond.pop_back();
  std::vector<u8> zero_inside = names_blob({std::string("/a\0b.dds", 8)});
  const bad_case_t cases[] = {
      {"count 0xFFFFFFFF", huge},
      {"name past the end", beyond},
      {"count cut short", std::vector<u8>(7, 0)},
      {"zero byte inside", zero_inside},
      {"longer than the string", names_blob({std::string(256, 'n')})},
  };
  for (const bad_case_t& c : cases) {
    u64 cursor = 0;
    path_string_t name;
    EXPECT_FALSE(tobj_read_map_name(c.blob.data(), c.blob.size(), &cursor, name)) << c.what;
    EXPECT_EQ(cursor, 0u) << c.what;
  }
}

}  // namespace
