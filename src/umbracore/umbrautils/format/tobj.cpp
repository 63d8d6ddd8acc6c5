#include "umbracore/umbrautils/format/tobj.h"

#include <cstring>

#include "umbracore/log/log.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

namespace {

struct srgb_twin_t {
  format_t srgb;
  format_t linear;
};

// The sRGB formats that the DDS reader reports for 8-bit colour and DXT images.
const srgb_twin_t SRGB_TWINS[] = {
    {format_t::R8G8B8A8_UNORM_SRGB, format_t::R8G8B8A8_UNORM}, {format_t::BC1_UNORM_SRGB, format_t::BC1_UNORM},
    {format_t::BC2_UNORM_SRGB, format_t::BC2_UNORM},           {format_t::BC3_UNORM_SRGB, format_t::BC3_UNORM},
    {format_t::B8G8R8A8_UNORM_SRGB, format_t::B8G8R8A8_UNORM}, {format_t::R8G8B8_UNORM_SRGB, format_t::R8G8B8_UNORM},
    {format_t::B8G8R8_UNORM_SRGB, format_t::B8G8R8_UNORM},
};

// The sampler word's fields.
constexpr u32 SAMPLER_FILTER_PRIMARY_BIT = 0;
constexpr u32 SAMPLER_FILTER_SECONDARY_BIT = 1;
constexpr u32 SAMPLER_MIP_FILTER_SHIFT = 2;
constexpr u32 SAMPLER_ADDRESS_U_SHIFT = 4;
constexpr u32 SAMPLER_ADDRESS_V_SHIFT = 7;
constexpr u32 SAMPLER_ADDRESS_W_SHIFT = 10;

u8 decode_address(u32 mode) {
  switch (mode) {
    case 0:
      return 0;
    case 1:
      return 4;
    case 2:
      return 2;
    case 3:
      return 3;
    default:
      log_warning("Unknown texture addressing mode provided, defaulting to repeat");
      return 0;
  }
}

u8 decode_mip_filter(u32 mode) {
  if (mode <= 2) return static_cast<u8>(mode);
  log_warning("Unknown mipmap filtering mode provided, defaulting to linear");
  return 1;
}

// A zero byte would cut the path short and name another file.
bool is_acceptable_name(const u8* bytes, u64 count, string& out) {
  if (count == 0) {
    out.clear();
    return true;
  }
  if (std::memchr(bytes, 0, count)) return false;
  return out.assign(reinterpret_cast<const char*>(bytes), count);
}

}  // namespace

bool tobj_sampler_is_valid(const tobj_header_t& header) {
  return header.address_u <= TOBJ_ADDRESS_MODE_MAX && header.address_v <= TOBJ_ADDRESS_MODE_MAX &&
         header.address_w <= TOBJ_ADDRESS_MODE_MAX;
}

void tobj_decode_sampler(u32 sampler, tobj_header_t* header) {
  header->filter_primary = (sampler >> SAMPLER_FILTER_PRIMARY_BIT) & 1;
  header->filter_secondary = (sampler >> SAMPLER_FILTER_SECONDARY_BIT) & 1;
  header->mip_filter = decode_mip_filter((sampler >> SAMPLER_MIP_FILTER_SHIFT) & 3);
  header->address_u = decode_address((sampler >> SAMPLER_ADDRESS_U_SHIFT) & 7);
  header->address_v = decode_address((sampler >> SAMPLER_ADDRESS_V_SHIFT) & 7);
  header->address_w = decode_address((sampler >> SAMPLER_ADDRESS_W_SHIFT) & 7);
}

u32 tobj_encode_sampler(const tobj_header_t& header) {
  u32 mip_filter = 1;
  if (header.mip_filter == 0) mip_filter = 0;
  if (header.mip_filter == 2) mip_filter = 2;
  return (header.filter_primary ? 1u : 0u) << SAMPLER_FILTER_PRIMARY_BIT |
         (header.filter_secondary ? 1u : 0u) << SAMPLER_FILTER_SECONDARY_BIT | mip_filter << SAMPLER_MIP_FILTER_SHIFT |
         get_address_mode_from_tobj(header.address_u) << SAMPLER_ADDRESS_U_SHIFT |
         get_address_mode_from_tobj(header.address_v) << SAMPLER_ADDRESS_V_SHIFT |
         get_address_mode_from_tobj(header.address_w) << SAMPLER_ADDRESS_W_SHIFT;
}

format_t tobj_apply_color_space(const tobj_header_t& header, format_t format) {
  if (header.color_space != TOBJ_COLOR_SPACE_LINEAR) return format;
  for (const srgb_twin_t& twin : SRGB_TWINS) {
    if (twin.srgb == format) return twin.linear;
  }
  return format;
}

tobj_header_t tobj_make_rebuild_header(bool cube) {
  tobj_header_t header;
  std::memset(&header, 0, sizeof(header));
  header.magic = TOBJ_MAGIC;
  header.unused_20 = 1;
  header.texture_type = cube ? TOBJ_TEXTURE_TYPE_CUBE : TOBJ_TEXTURE_TYPE_SINGLE;
  header.filter_primary = 3;
  header.filter_secondary = 3;
  header.mip_filter = 3;
  header.unused_37 = 1;
  return header;
}

bool tobj_read_map_name(file_t& file, string& out) {
  u64 count = 0;
  if (!file.read(&count, sizeof(count)) || count >= TOBJ_MAP_NAME_COUNT_LIMIT) return false;
  // A hostile count must never size a buffer: inline strings stop at their capacity,
  // growable ones at what the file still holds.
  if (!out.is_growable() && count >= out.capacity()) return false;
  if (count > sizeof(path_string_t)) {
    fs_stat_t stat;
    if (!file.stat(&stat) || stat.size < file.get_position() || count > stat.size - file.get_position()) return false;
  }
  array_dyn_t<u8> bytes;
  if (!bytes.resize(count) || !file.read(bytes.data(), count)) return false;
  return is_acceptable_name(bytes.data(), count, out);
}

bool tobj_read_map_name(const u8* data, u64 size, u64* cursor, string& out) {
  const u64 at = *cursor;
  if (at > size || size - at < sizeof(u64)) return false;
  u64 count;
  std::memcpy(&count, data + at, sizeof(count));
  if (count >= TOBJ_MAP_NAME_COUNT_LIMIT || count > size - at - sizeof(u64)) return false;
  if (!is_acceptable_name(data + at + sizeof(u64), count, out)) return false;
  *cursor = at + sizeof(u64) + count;
  return true;
}

}  // namespace umbra
