// Texture descriptors (".tobj"): a 40-byte header with the sampling state, followed by
// the names of the DDS images they describe. Also the one-word sampler record made from
// the header, its inverse, and the colour-space rule for the image format.
#pragma once

#include <cstddef>

#include "umbracore/strings/string.h"
#include "umbracore/types.h"
#include "umbracore/umbrautils/format/format_tools.h"

namespace umbra {

class file_t;

constexpr u32 TOBJ_MAGIC = 0x70B10A01;
constexpr u32 TOBJ_HEADER_SIZE = 40;
constexpr u8 TOBJ_TEXTURE_TYPE_CUBE = 5;
constexpr u8 TOBJ_TEXTURE_TYPE_SINGLE = 2;  // what a rebuilt descriptor of a single image says
constexpr u8 TOBJ_COLOR_SPACE_LINEAR = 1;
constexpr u8 TOBJ_ADDRESS_MODE_MAX = 6;
// A map name count at or above this is invalid.
constexpr u64 TOBJ_MAP_NAME_COUNT_LIMIT = 0xFFFFFFFFull;

// The header exactly as it lies in the file (little-endian). Fields named unused_* have
// no meaning here; they are read and ignored, and a rebuilt descriptor writes constants.
struct tobj_header_t {
  u32 magic;
  u8 unused_4[16];
  u8 unused_20;  // 1 in rebuilt descriptors
  u8 unused_21[3];
  u8 texture_type;  // TOBJ_TEXTURE_TYPE_CUBE, or anything else for a single image
  u8 unused_25;
  u8 filter_primary;    // zero / non-zero
  u8 filter_secondary;  // zero / non-zero
  u8 mip_filter;        // 0, 2, or other
  u8 unused_29;
  u8 address_u;  // r_tobj_addr 0..6
  u8 address_v;
  u8 address_w;
  u8 unused_33[4];
  u8 unused_37;  // 1 in rebuilt descriptors
  u8 color_space;  // TOBJ_COLOR_SPACE_LINEAR turns sRGB formats into their linear twins
  u8 unused_39;
};
static_assert(sizeof(tobj_header_t) == TOBJ_HEADER_SIZE, "descriptor header is 40 bytes");
static_assert(offsetof(tobj_header_t, texture_type) == 24 && offsetof(tobj_header_t, filter_primary) == 26 &&
                  offsetof(tobj_header_t, address_u) == 30 && offsetof(tobj_header_t, color_space) == 38,
              "descriptor header field offsets");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the header is read as it lies in the file");

inline bool tobj_is_cube(const tobj_header_t& header) { return header.texture_type == TOBJ_TEXTURE_TYPE_CUBE; }
// Faces of the image a descriptor describes: 6 for a cube, else 1, whatever its DDS holds.
inline u32 tobj_face_count(const tobj_header_t& header) { return tobj_is_cube(header) ? 6 : 1; }
// Image type of the image record: 1 for a cube, else 0.
inline u32 tobj_image_type(const tobj_header_t& header) { return tobj_is_cube(header) ? 1 : 0; }

// The sampler address mode (3 bits) of an r_tobj_addr value. Values above
// TOBJ_ADDRESS_MODE_MAX stop the process: check untrusted headers with
// tobj_sampler_is_valid first.
unsigned get_address_mode_from_tobj(u32 r_tobj_addr);
// Whether every address byte of the header has a sampler address mode.
bool tobj_sampler_is_valid(const tobj_header_t& header);
// The sampler record word of a header (bytes 26-28 and 30-32).
u32 tobj_encode_sampler(const tobj_header_t& header);
// Writes bytes 26-28 and 30-32 of the header from a sampler word. Values without a
// meaning are logged and replaced by the defaults (linear mip filter, repeat).
void tobj_decode_sampler(u32 sampler, tobj_header_t* header);

// The image format after the descriptor's colour-space rule.
format_t tobj_apply_color_space(const tobj_header_t& header, format_t format);

// The header of a rebuilt descriptor before its sampler bytes are decoded into it: the
// constant bytes, the texture type and the sampler bytes of an entry without sampler.
tobj_header_t tobj_make_rebuild_header(bool cube);

// Reads one map name (u64 count, then the bytes) from the file's position into out.
// False on a failed read, a count at or above TOBJ_MAP_NAME_COUNT_LIMIT, a name that
// does not fit out, or a zero byte inside the name.
bool tobj_read_map_name(file_t& file, string& out);
// The same over a buffer of size bytes, starting at *cursor, which is moved past the name.
bool tobj_read_map_name(const u8* data, u64 size, u64* cursor, string& out);

}  // namespace umbra
