// How a stored chunk's bytes relate to its content. The values are stored in archives
// (four bits of a chunk record), so they never change.
#pragma once

#include "umbracore/types.h"

namespace umbra {

enum fs_compression_t : u8 {
  FS_COMPRESSION_NONE = 0,     // the content itself
  FS_COMPRESSION_ZLIB = 1,     // a zlib stream (RFC 1950)
  FS_COMPRESSION_DEFLATE = 2,  // a raw deflate stream (RFC 1951)
  FS_COMPRESSION_GDEFLATE = 3, // a GDeflate tile stream
  FS_COMPRESSION_ZSTD = 4,     // a Zstandard frame (RFC 8878)
};

// Values 5..15 fit the stored field but name no method.
constexpr bool fs_compression_is_known(u32 value) { return value <= FS_COMPRESSION_ZSTD; }

}  // namespace umbra
