// Raster images (PNG, JPEG, TGA, PNM and the other kinds stb_image reads): the header
// probes that tell an image's size, channel count and sample depth, the pixel format
// those imply, and the decoding into tight rows of that format.
//
// Every header and every byte of pixel data may be hostile: sizes are checked before
// anything is allocated for them, and a file that decodes to anything other than what
// its probe reported is refused.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"
#include "umbracore/umbrautils/format/format_tools.h"

namespace umbra {

class file_t;

// The largest side of a raster image: what an image record can describe.
constexpr u32 RASTER_MAX_DIMENSION = 65536;

struct raster_info_t {
  u32 width;
  u32 height;
  u32 components;  // channels in the file: 1 grey, 2 grey and alpha, 3 RGB, 4 RGBA
  bool is_16_bit;  // samples of 16 bits
};

// Probes the image from the file's current position (the info probe, then the 16-bit
// probe from that same first byte). The position is left after what the probes read.
// False when stb_image does not recognise the header.
bool raster_probe(file_t& file, raster_info_t* out);
// The same over an image held in memory.
bool raster_probe(const u8* bytes, u64 size, raster_info_t* out);

// The pixel format of a probed image: 1 channel R8 or R16, 2 R8G8 or R16G16, 3 always
// R8G8B8 sRGB (8-bit samples even in a 16-bit file), 4 R8G8B8A8 sRGB or R16G16B16A16;
// UNKNOWN for any other channel count.
format_t raster_format(const raster_info_t& info);

// Bytes of the image decoded into tight rows of its format; false when they cannot be
// counted in 64 bits or the format has no size.
bool raster_decoded_size(const raster_info_t& info, u64* size);

// Decodes the image of size bytes into pixels: tight rows of raster_format(info),
// 16-bit samples little-endian. False when the image does not decode or decodes to
// another size, channel count or depth than info says.
bool raster_decode(const u8* bytes, u64 size, const raster_info_t& info, array_dyn_t<u8>& pixels);

}  // namespace umbra
