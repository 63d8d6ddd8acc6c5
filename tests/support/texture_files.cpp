#include "support/texture_files.h"

#include <cstring>

#include "support/run_tool.h"
#include "support/test_rng.h"

namespace umbra_test {

namespace {

void put32(std::string& bytes, size_t offset, uint32_t value) { std::memcpy(&bytes[offset], &value, 4); }

uint64_t align_up(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

}  // namespace

std::string dds_header(const dds_desc_t& desc) {
  const bool dx10 = desc.fourcc == "DX10";
  std::string bytes(dx10 ? 148 : 128, '\0');
  std::memcpy(&bytes[0], "DDS ", 4);
  put32(bytes, 4, 124);
  put32(bytes, 8, 0x1007 | (desc.mips > 1 ? 0x20000 : 0));
  put32(bytes, 12, desc.height);
  put32(bytes, 16, desc.width);
  put32(bytes, 28, desc.mips > 1 ? desc.mips : 0);
  put32(bytes, 76, 32);
  if (!desc.fourcc.empty()) {
    put32(bytes, 80, 0x4);
    std::memcpy(&bytes[84], desc.fourcc.data(), 4);
  } else {
    put32(bytes, 80, desc.pf_flags);
    put32(bytes, 88, desc.bit_count);
    put32(bytes, 92, desc.r_mask);
    put32(bytes, 96, desc.g_mask);
    put32(bytes, 100, desc.b_mask);
    put32(bytes, 104, desc.a_mask);
  }
  uint32_t caps = 0x1000;
  if (desc.mips > 1) caps |= 0x400008;
  if (desc.cube) caps |= 0x8;
  put32(bytes, 108, caps);
  put32(bytes, 112, desc.cube ? 0xFE00 : 0);
  if (dx10) {
    put32(bytes, 128, desc.dxgi_format);
    put32(bytes, 132, 3);
    put32(bytes, 136, desc.cube ? 4 : 0);
    put32(bytes, 140, 1);
  }
  return bytes;
}

std::string dds_file(const dds_desc_t& desc, const std::string& pixels) { return dds_header(desc) + pixels; }

std::string patterned_bytes(size_t n, uint32_t seed) {
  rng_t rng{seed};
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = (char)((i * 7 + seed) / 13 + rng.below(4));
  return bytes;
}

std::string random_bytes(size_t n, uint32_t seed) {
  rng_t rng{seed};
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = (char)rng.next();
  return bytes;
}

std::string tobj_file(const tobj_desc_t& desc) {
  std::string bytes(40, '\0');
  put32(bytes, 0, 0x70B10A01);
  bytes[24] = (char)desc.texture_type;
  bytes[26] = (char)desc.filter_primary;
  bytes[27] = (char)desc.filter_secondary;
  bytes[28] = (char)desc.mip_filter;
  bytes[30] = (char)desc.address_u;
  bytes[31] = (char)desc.address_v;
  bytes[32] = (char)desc.address_w;
  bytes[38] = (char)desc.color_space;
  for (const std::string& name : desc.names) {
    uint64_t count = name.size();
    bytes.append(reinterpret_cast<const char*>(&count), 8);
    bytes += name;
  }
  return bytes;
}

std::vector<level_place_t> entry_levels(surface_kind_t kind, uint32_t width, uint32_t height, uint32_t mips,
                                        uint32_t faces, uint64_t* total, uint64_t* face_bytes) {
  std::vector<level_place_t> levels;
  uint64_t end = 0, tight = 0;
  for (uint32_t f = 0; f < faces; ++f) {
    tight = 0;
    for (uint32_t m = 0; m < mips; ++m) {
      uint64_t w = width >> m, h = height >> m;
      if (w < 1) w = 1;
      if (h < 1) h = 1;
      level_place_t level;
      if (kind.blocks) {
        level.line = (w + 3) / 4 * kind.bytes;
        level.rows = (h + 3) / 4;
      } else {
        level.line = w * kind.bytes;
        level.rows = h;
      }
      level.pitch = align_up(level.line, 256);
      level.offset = align_up(end, 512);
      level.tight = tight;
      end = level.offset + (level.rows - 1) * level.pitch + level.line;
      tight += level.rows * level.line;
      levels.push_back(level);
    }
  }
  *total = end;
  if (face_bytes) *face_bytes = tight;
  return levels;
}

std::string expected_entry_data(surface_kind_t kind, uint32_t width, uint32_t height, uint32_t mips, uint32_t faces,
                                const std::string& tight_faces) {
  uint64_t total = 0, face_bytes = 0;
  std::vector<level_place_t> levels = entry_levels(kind, width, height, mips, faces, &total, &face_bytes);
  std::string data(total, '\0');
  for (size_t i = 0; i < levels.size(); ++i) {
    const level_place_t& level = levels[i];
    const uint64_t face = i / mips;
    for (uint64_t r = 0; r < level.rows; ++r) {
      data.replace(level.offset + r * level.pitch, level.line,
                   tight_faces.substr(face * face_bytes + level.tight + r * level.line, level.line));
    }
  }
  return data;
}

std::string texture_fixture(const std::string& name) { return std::string(UMBRA_SOURCE_DIR) + "/tests/fixtures/" + name; }

}  // namespace umbra_test
