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
const srgb_twin_t srgb_twins[] = {
    {format_t::R8G8B8A8_UNORM_SRGB, format_t::R8G8B8A8_UNORM}, {format_t::BC1_UNORM_SRGB, format_t::BC1_UNORM},
    {format_t::BC2_UNORM_SRGB, format_t::BC2_UNORM},           {format_t::BC3_UNORM_SRGB, format_t::BC3_UNORM},
    {format_t::B8G8R8A8_UNORM_SRGB, format_t::B8G8R8A8_UNORM}, {format_t::R8G8B8_UNORM_SRGB, format_t::R8G8B8_UNORM},
    {format_t::B8G8R8_UNORM_SRGB, format_t::B8G8R8_UNORM},
};

// The sampler word's fields.
constexpr u32 sampler_filter_primary_bit = 0;
constexpr u32 sampler_filter_secondary_bit = 1;
constexpr u32 sampler_mip_filter_shift = 2;
constexpr u32 sampler_address_u_shift = 4;
constexpr u32 sampler_address_v_shift = 7;
constexpr u32 sampler_address_w_shift = 10;

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
  return header.address_u <= tobj_address_mode_max && header.address_v <= tobj_address_mode_max &&
         header.address_w <= tobj_address_mode_max;
}

void tobj_decode_sampler(u32 sampler, tobj_header_t* header) {
  header->filter_primary = (sampler >> sampler_filter_primary_bit) & 1;
  header->filter_secondary = (sampler >> sampler_filter_secondary_bit) & 1;
  header->mip_filter = decode_mip_filter((sampler >> sampler_mip_filter_shift) & 3);
  header->address_u = decode_address((sampler >> sampler_address_u_shift) & 7);
  header->address_v = decode_address((sampler >> sampler_address_v_shift) & 7);
  header->address_w = decode_address((sampler >> sampler_address_w_shift) & 7);
}

u32 tobj_encode_sampler(const tobj_header_t& header) {
  u32 mip_filter = 1;
  if (header.mip_filter == 0) mip_filter = 0;
  if (header.mip_filter == 2) mip_filter = 2;
  return (header.filter_primary ? 1u : 0u) << sampler_filter_primary_bit |
         (header.filter_secondary ? 1u : 0u) << sampler_filter_secondary_bit |
         mip_filter << sampler_mip_filter_shift |
         get_address_mode_from_tobj(header.address_u) << sampler_address_u_shift |
         get_address_mode_from_tobj(header.address_v) << sampler_address_v_shift |
         get_address_mode_from_tobj(header.address_w) << sampler_address_w_shift;
}

format_t tobj_apply_color_space(const tobj_header_t& header, format_t format) {
  if (header.color_space != tobj_color_space_linear) return format;
  for (const srgb_twin_t& twin : srgb_twins) {
    if (twin.srgb == format) return twin.linear;
  }
  return format;
}

tobj_header_t tobj_make_rebuild_header(bool cube) {
  tobj_header_t header;
  std::memset(&header, 0, sizeof(header));
  header.magic = tobj_magic;
  header.unused_20 = 1;
  header.texture_type = cube ? tobj_texture_type_cube : tobj_texture_type_single;
  header.filter_primary = 3;
  header.filter_secondary = 3;
  header.mip_filter = 3;
  header.unused_37 = 1;
  return header;
}

bool tobj_read_map_name(file_t& file, string& out) {
  u64 count = 0;
  if (!file.read(&count, sizeof(count)) || count >= tobj_map_name_count_limit) return false;
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
  if (count >= tobj_map_name_count_limit || count > size - at - sizeof(u64)) return false;
  if (!is_acceptable_name(data + at + sizeof(u64), count, out)) return false;
  *cursor = at + sizeof(u64) + count;
  return true;
}

}  // namespace umbra
